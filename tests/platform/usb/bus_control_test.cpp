// The simulated bus: control requests, configuration and interface
// selection, malformed URBs, fault rules, the port IOCTLs, the USBDI bus
// interface and the PDO's identity.
#include <cstring>

#include "bus_test_util.h"
#include "sim/iomgr.h"
#include "nt/zw.h"
#include "sim/registry.h"
#include "usb/usbd.h"

namespace bustest {
namespace {

using simusb::BusFaultRule;
using simusb::ControlRule;

TEST_F(BusTest, ControlRequestCompletesInsideIoCallDriver) {
    uint8_t buffer[64];
    std::memset(buffer, 0xEE, sizeof(buffer));
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE,
                                 0, 0, buffer, nullptr, sizeof(buffer), nullptr);
    UsbRequest r(pdo(), &urb);
    EXPECT_EQ(r.Send(), STATUS_SUCCESS);
    EXPECT_TRUE(r.completedInsideCall());
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    const simusb::Bytes& expected = device().descriptors().device;
    ASSERT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, expected.size());
    EXPECT_EQ(0, std::memcmp(buffer, expected.data(), expected.size()));
    EXPECT_EQ(buffer[expected.size()], 0xEE) << "wrote past the answer";
}

TEST_F(BusTest, StallIsStallPidAndUnsuccessful) {
    uint8_t buffer[4];
    URB urb{};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN, 0, 0x77, 0, 0, buffer, nullptr, sizeof(buffer), nullptr);
    UsbRequest r(pdo(), &urb);
    EXPECT_EQ(r.Send(), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(r.completedInsideCall());
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 0u);
}

TEST_F(BusTest, UnansweredRequestPendsUntilCancelled) {
    ControlRule rule;
    rule.bRequest = USB_REQUEST_GET_DESCRIPTOR;
    rule.action = ControlRule::NoAnswer;
    device().AddControlRule(rule);
    uint8_t buffer[18];
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE,
                                 0, 0, buffer, nullptr, sizeof(buffer), nullptr);
    UsbRequest r(pdo(), &urb);
    EXPECT_EQ(r.Send(), STATUS_PENDING);
    EXPECT_EQ(bus().PendingControlRequests(), 1u);
    EXPECT_FALSE(r.Wait(2000)) << "an unanswered request completed";
    r.Cancel();
    ASSERT_TRUE(r.Wait(1));
    EXPECT_EQ(r.status(), STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(bus().PendingControlRequests(), 0u);
}

TEST_F(BusTest, LateAnswerCompletesOnTheDpcAfterItsDelay) {
    ControlRule rule;
    rule.bRequest = USB_REQUEST_GET_DESCRIPTOR;
    rule.action = ControlRule::Late;
    rule.delayMs = 40;
    device().AddControlRule(rule);
    uint8_t buffer[18] = {};
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE,
                                 0, 0, buffer, nullptr, sizeof(buffer), nullptr);
    UsbRequest r(pdo(), &urb);
    ASSERT_EQ(r.Send(), STATUS_PENDING);
    ASSERT_TRUE(r.Wait(1000));
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.completedAt() - r.sentAt(), 40 * kMs);
    EXPECT_EQ(r.completionIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(buffer[1], USB_DEVICE_DESCRIPTOR_TYPE);
}

TEST_F(BusTest, UnplugFailsPendingAndLaterRequests) {
    ASSERT_EQ(SelectConfiguration(), STATUS_SUCCESS);
    uint8_t status[2];
    URB interrupt{};
    UsbBuildInterruptOrBulkTransferRequest(&interrupt, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           bus().PipeHandle(0x83), status, nullptr, sizeof(status),
                                           USBD_TRANSFER_DIRECTION_IN, nullptr);
    UsbRequest pending(pdo(), &interrupt);
    ASSERT_EQ(pending.Send(), STATUS_PENDING);
    bus().Unplug();
    ASSERT_TRUE(pending.Wait(1));
    EXPECT_EQ(pending.status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(interrupt.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    uint8_t buffer[18];
    EXPECT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof(buffer)), STATUS_DEVICE_NOT_CONNECTED);
    ULONG port = 0;
    UsbRequest query(pdo(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port);
    EXPECT_EQ(query.SendAndWait(), STATUS_DEVICE_NOT_CONNECTED);
}

// ------------------------------------------------------------ configuration

TEST_F(BusTest, SelectConfigurationFillsPipesAndConfiguresTheDevice) {
    simusb::Bytes config = device().descriptors().configuration;
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    USBD_INTERFACE_LIST_ENTRY list[4] = {};
    for (LONG i = 0; i < 3; ++i)
        list[i].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, i, 0, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(Submit(urb), STATUS_SUCCESS);
    EXPECT_NE(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    const PUSBD_INTERFACE_INFORMATION control = list[0].Interface;
    EXPECT_EQ(control->Class, USB_DEVICE_CLASS_AUDIO);
    ASSERT_EQ(control->NumberOfPipes, 1u);
    EXPECT_EQ(control->Pipes[0].EndpointAddress, 0x83);
    EXPECT_EQ(control->Pipes[0].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(control->Pipes[0].MaximumPacketSize, 2);
    EXPECT_EQ(control->Pipes[0].PipeHandle, bus().PipeHandle(0x83));
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 0u);
    EXPECT_EQ(device().configuration(), 1);
    ExFreePool(urb);
}

TEST_F(BusTest, PipeHandlesAreNeverReused) {
    ASSERT_EQ(SelectConfiguration(), STATUS_SUCCESS);
    std::vector<USBD_PIPE_HANDLE> seen;
    for (int round = 0; round < 3; ++round) {
        std::vector<USBD_PIPE_INFORMATION> pipes;
        ASSERT_EQ(SelectInterface(1, 1, &pipes), STATUS_SUCCESS);
        ASSERT_EQ(pipes.size(), 1u);
        for (USBD_PIPE_HANDLE h : seen) EXPECT_NE(h, pipes[0].PipeHandle);
        seen.push_back(pipes[0].PipeHandle);
        ASSERT_EQ(SelectInterface(1, 0), STATUS_SUCCESS);
    }
    EXPECT_EQ(device().AlternateSetting(1), 0);
    // The stale handle of an earlier selection fails.
    URB abort{};
    UsbBuildPipeRequest(&abort, URB_FUNCTION_ABORT_PIPE, seen[0]);
    EXPECT_EQ(Submit(&abort), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(abort.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

// Malformed requests fail at once, inside IoCallDriver, and change nothing.
struct MalformedCase {
    const char* name;
    void (*build)(PURB urb, USBD_CONFIGURATION_HANDLE config);
    USBD_STATUS usbd;
};

void UnknownFunction(PURB urb, USBD_CONFIGURATION_HANDLE) {
    urb->UrbHeader.Function = 0x0029;
    urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
}
void ShortDescriptorRequest(PURB urb, USBD_CONFIGURATION_HANDLE) {
    static uint8_t buffer[18];
    UsbBuildGetDescriptorRequest(urb, 100, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, 18, nullptr);
}
void MissingBuffer(PURB urb, USBD_CONFIGURATION_HANDLE) {
    UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE,
                                 0, 0, nullptr, nullptr, 18, nullptr);
}
void UnknownPipe(PURB urb, USBD_CONFIGURATION_HANDLE) {
    UsbBuildPipeRequest(urb, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, reinterpret_cast<USBD_PIPE_HANDLE>(0x1234));
}
void SelectInterfaceTooShort(PURB urb, USBD_CONFIGURATION_HANDLE config) {
    // Alternate setting 1 of interface 1 has one endpoint: 56 + 24 bytes.
    UsbBuildSelectInterfaceRequest(urb, GET_SELECT_INTERFACE_REQUEST_SIZE(0), config, 1, 1);
}
void SelectInterfaceUnknownAlternate(PURB urb, USBD_CONFIGURATION_HANDLE config) {
    UsbBuildSelectInterfaceRequest(urb, GET_SELECT_INTERFACE_REQUEST_SIZE(1), config, 1, 7);
}
void SelectInterfaceStaleConfiguration(PURB urb, USBD_CONFIGURATION_HANDLE) {
    UsbBuildSelectInterfaceRequest(urb, GET_SELECT_INTERFACE_REQUEST_SIZE(1),
                                   reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x4321), 1, 1);
}
void FrameNumberTooShort(PURB urb, USBD_CONFIGURATION_HANDLE) {
    urb->UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    urb->UrbHeader.Length = sizeof(struct _URB_HEADER);
}

class MalformedUrbTest : public BusTest, public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedUrbTest, FailsAtOnce) {
    ASSERT_EQ(SelectConfiguration(), STATUS_SUCCESS);
    UrbBuffer buffer(sizeof(URB));
    GetParam().build(buffer.urb(), bus().ConfigurationHandle());
    UsbRequest r(pdo(), buffer.urb());
    EXPECT_EQ(r.Send(), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(r.completedInsideCall());
    EXPECT_EQ(buffer.urb()->UrbHeader.Status, GetParam().usbd);
    EXPECT_EQ(device().AlternateSetting(1), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Urbs, MalformedUrbTest,
    ::testing::Values(MalformedCase{"UnknownFunction", UnknownFunction, USBD_STATUS_INVALID_URB_FUNCTION},
                      MalformedCase{"ShortDescriptorRequest", ShortDescriptorRequest, USBD_STATUS_INVALID_PARAMETER},
                      MalformedCase{"MissingBuffer", MissingBuffer, USBD_STATUS_INVALID_PARAMETER},
                      MalformedCase{"UnknownPipe", UnknownPipe, USBD_STATUS_INVALID_PIPE_HANDLE},
                      MalformedCase{"SelectInterfaceTooShort", SelectInterfaceTooShort, USBD_STATUS_INVALID_PARAMETER},
                      MalformedCase{"SelectInterfaceUnknownAlternate", SelectInterfaceUnknownAlternate,
                                    USBD_STATUS_INVALID_PARAMETER},
                      MalformedCase{"SelectInterfaceStaleConfiguration", SelectInterfaceStaleConfiguration,
                                    USBD_STATUS_INVALID_PARAMETER},
                      MalformedCase{"FrameNumberTooShort", FrameNumberTooShort, USBD_STATUS_INVALID_PARAMETER}),
    [](const ::testing::TestParamInfo<MalformedCase>& info) { return std::string(info.param.name); });

TEST_F(BusTest, UnknownIoctlIsAnInvalidDeviceRequest) {
    UsbRequest r(pdo(), 0x00220FFFu);
    EXPECT_EQ(r.Send(), STATUS_INVALID_DEVICE_REQUEST);
}

// ------------------------------------------------------------ fault rules

struct RuleCase {
    const char* name;
    BusFaultRule rule;
    NTSTATUS first, second;  // two GET_DESCRIPTOR(device) requests in a row
};

BusFaultRule Rule(BusFaultRule::Action action, std::optional<USHORT> function, std::optional<UCHAR> endpoint,
                  ULONG skip = 0, LONG count = -1) {
    BusFaultRule r;
    r.action = action;
    r.urbFunction = function;
    r.endpoint = endpoint;
    r.skip = skip;
    r.count = count;
    return r;
}

class FaultRuleTest : public BusTest, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(FaultRuleTest, MatchesFunctionEndpointSkipAndCount) {
    bus().AddFaultRule(GetParam().rule);
    uint8_t buffer[18];
    EXPECT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof(buffer)), GetParam().first);
    EXPECT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof(buffer)), GetParam().second);
}

constexpr USHORT kGetDescriptor = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;

INSTANTIATE_TEST_SUITE_P(
    Rules, FaultRuleTest,
    ::testing::Values(
        RuleCase{"FunctionFailsEveryTime", Rule(BusFaultRule::Fail, kGetDescriptor, std::nullopt),
                 STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL},
        RuleCase{"OtherFunctionPasses", Rule(BusFaultRule::Fail, URB_FUNCTION_VENDOR_DEVICE, std::nullopt),
                 STATUS_SUCCESS, STATUS_SUCCESS},
        RuleCase{"DefaultPipeEndpointZero", Rule(BusFaultRule::NotConnected, std::nullopt, 0),
                 STATUS_DEVICE_NOT_CONNECTED, STATUS_DEVICE_NOT_CONNECTED},
        RuleCase{"OtherEndpointPasses", Rule(BusFaultRule::Fail, std::nullopt, 0x01), STATUS_SUCCESS,
                 STATUS_SUCCESS},
        RuleCase{"SkipOne", Rule(BusFaultRule::Fail, kGetDescriptor, std::nullopt, 1), STATUS_SUCCESS,
                 STATUS_UNSUCCESSFUL},
        RuleCase{"CountOne", Rule(BusFaultRule::Fail, kGetDescriptor, std::nullopt, 0, 1), STATUS_UNSUCCESSFUL,
                 STATUS_SUCCESS},
        RuleCase{"LateStillAnswers", [] {
                     BusFaultRule r = Rule(BusFaultRule::Late, kGetDescriptor, std::nullopt, 0, 1);
                     r.delayMs = 30;
                     return r;
                 }(),
                 STATUS_SUCCESS, STATUS_SUCCESS}),
    [](const ::testing::TestParamInfo<RuleCase>& info) { return std::string(info.param.name); });

TEST_F(BusTest, IoctlRuleHoldsTheRequestUntilCancelled) {
    BusFaultRule rule;
    rule.ioctl = IOCTL_INTERNAL_USB_RESET_PORT;
    rule.action = BusFaultRule::NoAnswer;
    bus().AddFaultRule(rule);
    UsbRequest r(pdo(), IOCTL_INTERNAL_USB_RESET_PORT);
    ASSERT_EQ(r.Send(), STATUS_PENDING);
    EXPECT_FALSE(r.Wait(1000));
    r.Cancel();
    ASSERT_TRUE(r.Wait(1));
    EXPECT_EQ(r.status(), STATUS_CANCELLED);
    EXPECT_EQ(bus().ResetPortCount(), 0);
}

// ------------------------------------------------------------ port

TEST_F(BusTest, PortStatusFollowsItsScriptThenTheDefault) {
    bus().ScriptPortStatus({{STATUS_NO_SUCH_DEVICE, 0}, {STATUS_SUCCESS, USBD_PORT_ENABLED}});
    const std::vector<std::pair<NTSTATUS, ULONG>> expected = {
        {STATUS_NO_SUCH_DEVICE, 0xAAAA},
        {STATUS_SUCCESS, USBD_PORT_ENABLED},
        {STATUS_SUCCESS, USBD_PORT_ENABLED | USBD_PORT_CONNECTED}};
    for (const auto& e : expected) {
        ULONG port = 0xAAAA;
        UsbRequest r(pdo(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port);
        EXPECT_EQ(r.Send(), e.first);
        EXPECT_EQ(port, e.second);
    }
    EXPECT_EQ(bus().PortStatusQueries(), 3);
}

TEST_F(BusTest, ResetPortCancelsTransfersAndReturnsToAlternateZero) {
    ASSERT_EQ(SelectConfiguration(), STATUS_SUCCESS);
    std::vector<USBD_PIPE_INFORMATION> pipes;
    ASSERT_EQ(SelectInterface(1, 1, &pipes), STATUS_SUCCESS);
    uint8_t status[2];
    URB interrupt{};
    UsbBuildInterruptOrBulkTransferRequest(&interrupt, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           bus().PipeHandle(0x83), status, nullptr, sizeof(status),
                                           USBD_TRANSFER_DIRECTION_IN, nullptr);
    UsbRequest pending(pdo(), &interrupt);
    ASSERT_EQ(pending.Send(), STATUS_PENDING);
    UsbRequest reset(pdo(), IOCTL_INTERNAL_USB_RESET_PORT);
    EXPECT_EQ(reset.Send(), STATUS_SUCCESS);
    EXPECT_TRUE(pending.completed()) << "the reset completed before the transfer it cancelled";
    EXPECT_EQ(pending.status(), STATUS_CANCELLED);
    EXPECT_EQ(device().AlternateSetting(1), 0);
    EXPECT_EQ(bus().PipeHandle(0x01), nullptr) << "the streaming pipe survived the reset";
    EXPECT_EQ(bus().ResetPortCount(), 1);
}

TEST_F(BusTest, CyclePortMarksTheDeviceGone) {
    UCHAR scratch[4];
    UsbRequest cycle(pdo(), IOCTL_INTERNAL_USB_CYCLE_PORT, scratch);
    EXPECT_EQ(cycle.Send(), STATUS_SUCCESS);
    EXPECT_FALSE(bus().plugged());
    EXPECT_EQ(bus().CyclePortCount(), 1);
    uint8_t buffer[18];
    EXPECT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof(buffer)), STATUS_DEVICE_NOT_CONNECTED);
}

// ------------------------------------------------------------ bus interface

struct InterfaceQuery {
    USB_BUS_INTERFACE_USBDI_V1 bi{};
    NTSTATUS status = STATUS_PENDING;
};

InterfaceQuery QueryBusInterface(PDEVICE_OBJECT pdo, USHORT version, USHORT size) {
    InterfaceQuery q;
    UsbRequest r(pdo, 0u);
    PIO_STACK_LOCATION sp = r.Next();
    sp->MajorFunction = IRP_MJ_PNP;
    sp->MinorFunction = IRP_MN_QUERY_INTERFACE;
    sp->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
    sp->Parameters.QueryInterface.Size = size;
    sp->Parameters.QueryInterface.Version = version;
    sp->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&q.bi);
    r.irp()->IoStatus.Status = STATUS_NOT_SUPPORTED;
    q.status = r.SendAndWait();
    return q;
}

TEST_F(BusTest, BusInterfaceIsReferencedAndAnswersFrameAndSpeed) {
    bus().SetFrameNumber(0xFFFFFFF0u);
    InterfaceQuery q = QueryBusInterface(pdo(), USB_BUSIF_USBDI_VERSION_1, sizeof(USB_BUS_INTERFACE_USBDI_V1));
    ASSERT_EQ(q.status, STATUS_SUCCESS);
    EXPECT_EQ(q.bi.Size, 0x48);
    EXPECT_EQ(q.bi.Version, USB_BUSIF_USBDI_VERSION_1);
    ASSERT_NE(q.bi.BusContext, nullptr);
    EXPECT_EQ(bus().BusInterfaceReferences(), 1);
    EXPECT_FALSE(q.bi.IsDeviceHighSpeed(q.bi.BusContext));
    sim::Sleep(20 * kMs);
    ULONG frame = 0;
    EXPECT_EQ(q.bi.QueryBusTime(q.bi.BusContext, &frame), STATUS_SUCCESS);
    EXPECT_EQ(frame, 4u) << "the 32-bit frame number wraps";
    bus().FailQueryBusTime(STATUS_UNSUCCESSFUL);
    frame = 77;
    EXPECT_EQ(q.bi.QueryBusTime(q.bi.BusContext, &frame), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(frame, 77u);
    q.bi.InterfaceDereference(q.bi.BusContext);
    EXPECT_EQ(bus().BusInterfaceReferences(), 0);
}

struct InterfaceCase {
    const char* name;
    simusb::BusInterfaceMode mode;
    USHORT version, size;
    NTSTATUS status;
    bool context;
};

class BusInterfaceTest : public BusTest, public ::testing::WithParamInterface<InterfaceCase> {};

TEST_P(BusInterfaceTest, AnswersAsConfigured) {
    bus().SetBusInterfaceMode(GetParam().mode);
    InterfaceQuery q = QueryBusInterface(pdo(), GetParam().version, GetParam().size);
    EXPECT_EQ(q.status, GetParam().status);
    EXPECT_EQ(q.bi.BusContext != nullptr, GetParam().context);
    EXPECT_EQ(bus().BusInterfaceReferences(), GetParam().context ? 1 : 0);
    if (q.bi.BusContext != nullptr) q.bi.InterfaceDereference(q.bi.BusContext);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, BusInterfaceTest,
    ::testing::Values(InterfaceCase{"Normal", simusb::BusInterfaceMode::Normal, 1, 0x48, STATUS_SUCCESS, true},
                      InterfaceCase{"LargerSize", simusb::BusInterfaceMode::Normal, 1, 0x60, STATUS_SUCCESS, true},
                      InterfaceCase{"ShortSize", simusb::BusInterfaceMode::Normal, 1, 0x40, STATUS_NOT_SUPPORTED, false},
                      InterfaceCase{"OtherVersion", simusb::BusInterfaceMode::Normal, 2, 0x48, STATUS_NOT_SUPPORTED, false},
                      InterfaceCase{"Refused", simusb::BusInterfaceMode::Refuse, 1, 0x48, STATUS_NOT_SUPPORTED, false},
                      InterfaceCase{"NullContext", simusb::BusInterfaceMode::NullContext, 1, 0x48, STATUS_SUCCESS,
                                    false}),
    [](const ::testing::TestParamInfo<InterfaceCase>& info) { return std::string(info.param.name); });

// ------------------------------------------------------------ identity

TEST_F(BusTest, PdoCarriesTheDeviceIdentity) {
    WCHAR ids[256] = {};
    ULONG length = 0;
    ASSERT_EQ(IoGetDeviceProperty(pdo(), DevicePropertyHardwareID, sizeof(ids), ids, &length), STATUS_SUCCESS);
    const std::u16string first(ids), second(ids + first.size() + 1);
    EXPECT_EQ(first, u"USB\\VID_1209&PID_7A01&REV_0100");
    EXPECT_EQ(second, u"USB\\VID_1209&PID_7A01");
    const std::u16string key =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1209&PID_7A01\\" +
        std::u16string(simusb::kDefaultUsbInstance);
    EXPECT_EQ(sim::IoEnumKeyPath(pdo()), key);
    port_->SetDeviceParameter(u"SelectiveSuspendEnabled", 1);
    auto value = sim::RegistryGetValue(key + u"\\Device Parameters", u"SelectiveSuspendEnabled");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, (ULONG)REG_DWORD);
}

}  // namespace
}  // namespace bustest

// The adapter object's CUsbTransport on the simulated bus: the start-up steps, and the edge
// cases of the transport as one table (time-out then cancel, the
// not-connected latch, port-status sequences and their recovery,
// interfaces numbered with gaps, a failed second configuration read, a
// failing QueryBusTime).
#include <gtest/gtest.h>

#include <cstring>

#include "sim/executor.h"
#include "tests/adapter/usb/usb_adapter.h"
#include "tests/support/kernel_test.h"

namespace adaptertest {
namespace {

using simusb::ControlRule;
using simusb::DescriptorSet;

constexpr LONGLONG kMs = sim::kTicksPerMillisecond;

class TransportTest : public UsbAdapterTest {
protected:
    sim::ExecutorOptions Options() const override {  // exact virtual times
        sim::ExecutorOptions options = sim::ExecutorOptions::FromEnvironment();
        options.stress = false;
        return options;
    }
};

TEST_F(TransportTest, StartReadsDescriptorsSelectsTheConfigurationAndGetsTheBusInterface) {
    UsbAdapter& a = Make();
    ASSERT_EQ(a.Start(), STATUS_SUCCESS);
    CUsbTransport& t = a.transport();
    EXPECT_EQ(t.VendorId(), simusb::kSimVendorId);
    EXPECT_EQ(t.ProductId(), simusb::kUac1HeadsetProductId);
    EXPECT_EQ(t.ManufacturerStringIndex(), 1);
    EXPECT_EQ(t.ProductStringIndex(), 2);
    const simusb::Bytes& config = a.device().descriptors().configuration;
    ASSERT_NE(t.GetConfigurationDescriptor(), nullptr);
    EXPECT_EQ(0, std::memcmp(t.GetConfigurationDescriptor(), config.data(), config.size()));
    EXPECT_EQ(t.GetConfigurationHandle(), a.bus().ConfigurationHandle());
    ASSERT_EQ(t.InterfaceCount(), 3u);
    for (ULONG i = 0; i < 3; ++i) EXPECT_EQ(t.InterfaceInfo(i)->InterfaceNumber, i);
    EXPECT_EQ(t.InterfaceInfo(0)->Pipes[0].PipeHandle, a.bus().PipeHandle(0x83));
    EXPECT_EQ(t.InterfaceInfo(3), nullptr);
    EXPECT_FALSE(t.IsHighSpeed());
    EXPECT_EQ(a.bus().BusInterfaceReferences(), 1);
    a.bus().SetFrameNumber(1000);
    ULONG frame = 0;
    EXPECT_EQ(t.GetCurrentFrameNumber(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame, 1000u);
    EXPECT_EQ(t.GetLowerDeviceObject(), a.port().Pdo());
}

TEST_F(TransportTest, HighSpeedDeviceIsReportedHighSpeed) {
    UsbAdapter& a = Make(simusb::BuildUac2AsyncDevice());
    ASSERT_EQ(a.Start(), STATUS_SUCCESS);
    EXPECT_TRUE(a.transport().IsHighSpeed());
}

TEST_F(TransportTest, AllocatedIrpsCarryTheAdaptersLocation) {
    UsbAdapter& a = Make();
    ASSERT_EQ(a.Start(), STATUS_SUCCESS);
    PIRP irp = a.transport().AllocateIrp();
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, a.fdo()->StackSize + 1);
    EXPECT_EQ(a.transport().FreeIrp(irp), STATUS_SUCCESS);
    EXPECT_EQ(a.transport().BusyAddRef(), 1);
    EXPECT_EQ(a.transport().BusyRelease(), 0);
}

// ------------------------------------------------------------ edge cases

NTSTATUS VendorRequest(CUsbTransport& t, UCHAR request, URB* urb) {
    static UCHAR buffer[4];
    std::memset(urb, 0, sizeof(*urb));
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN, 0, request, 0, 0, buffer, nullptr, sizeof(buffer), nullptr);
    return t.SubmitUrbSync(urb);
}

ControlRule RequestRule(UCHAR request, ControlRule::Action action) {
    ControlRule r;
    r.bRequest = request;
    r.action = action;
    return r;
}

void NeverAnswering(UsbAdapter& a) {
    a.device().AddControlRule(RequestRule(0x42, ControlRule::NoAnswer));
    URB urb;
    const LONGLONG before = sim::Now();
    EXPECT_EQ(VendorRequest(a.transport(), 0x42, &urb), STATUS_CANCELLED);
    EXPECT_EQ(sim::Now() - before, 500 * kMs);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(a.bus().PendingControlRequests(), 0u);
    EXPECT_TRUE(a.transport().DevicePresent());
}

void NotConnectedLatches(UsbAdapter& a) {
    a.device().AddControlRule(RequestRule(0x42, ControlRule::NotConnected));
    URB urb;
    EXPECT_EQ(VendorRequest(a.transport(), 0x42, &urb), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(a.transport().DevicePresent());
    const size_t sent = a.device().RequestLog().size();
    EXPECT_EQ(VendorRequest(a.transport(), 0x43, &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(a.device().RequestLog().size(), sent) << "a request reached the device after the latch";
    EXPECT_TRUE(a.transport().CheckPresenceAndRecover());
    EXPECT_EQ(a.bus().PortStatusQueries(), 0);
}

void ConnectedPortChangesNothing(UsbAdapter& a) {
    a.transport().SetModelPower(&a.modelPower());
    EXPECT_FALSE(a.transport().CheckPresenceAndRecover());
    EXPECT_EQ(a.bus().PortStatusQueries(), 1);
    EXPECT_EQ(a.bus().ResetPortCount(), 0);
    EXPECT_EQ(a.bus().CyclePortCount(), 0);
    EXPECT_TRUE(a.modelPower().calls().empty());
    EXPECT_TRUE(a.transport().DevicePresent());
}

void NoSuchDeviceTwiceCyclesOnce(UsbAdapter& a) {
    a.bus().ScriptPortStatus({{STATUS_NO_SUCH_DEVICE, 0}, {STATUS_NO_SUCH_DEVICE, 0}});
    const LONGLONG before = sim::Now();
    EXPECT_TRUE(a.transport().CheckPresenceAndRecover());
    EXPECT_EQ(sim::Now() - before, 100 * kMs) << "the pause between the two queries";
    EXPECT_EQ(a.bus().CyclePortCount(), 1);
    EXPECT_TRUE(a.transport().CheckPresenceAndRecover());
    EXPECT_TRUE(a.transport().CyclePortOnce());
    EXPECT_EQ(a.bus().CyclePortCount(), 1) << "the port was cycled twice";
    EXPECT_EQ(a.bus().PortStatusQueries(), 2);
}

void NoSuchDeviceThenConnectedResetsThroughD3AndD0(UsbAdapter& a) {
    a.transport().SetModelPower(&a.modelPower());
    a.bus().ScriptPortStatus({{STATUS_NO_SUCH_DEVICE, 0}, {}});
    EXPECT_FALSE(a.transport().CheckPresenceAndRecover());
    EXPECT_EQ(a.bus().ResetPortCount(), 1);
    EXPECT_EQ(a.modelPower().calls(), (std::vector<DEVICE_POWER_STATE>{PowerDeviceD3, PowerDeviceD0}));
    EXPECT_EQ(a.bus().CyclePortCount(), 0);
}

void ResetWithoutModelPower(UsbAdapter& a) {
    a.transport().SetModelPower(nullptr);  // the started adapter gave it the model's
    a.bus().ScriptPortStatus({{STATUS_NO_SUCH_DEVICE, 0}, {}});
    EXPECT_FALSE(a.transport().CheckPresenceAndRecover());
    EXPECT_EQ(a.bus().ResetPortCount(), 1);
    EXPECT_TRUE(a.modelPower().calls().empty());
}

void NoSuchDeviceThenDisconnected(UsbAdapter& a) {
    a.bus().ScriptPortStatus({{STATUS_NO_SUCH_DEVICE, 0}, {STATUS_SUCCESS, USBD_PORT_ENABLED}});
    EXPECT_TRUE(a.transport().CheckPresenceAndRecover());
    EXPECT_EQ(a.bus().ResetPortCount() + a.bus().CyclePortCount(), 0);
}

void FailedPortQueryMeansGone(UsbAdapter& a) {
    a.bus().ScriptPortStatus({{STATUS_UNSUCCESSFUL, 0}});
    EXPECT_TRUE(a.transport().CheckPresenceAndRecover());
    EXPECT_EQ(a.bus().PortStatusQueries(), 1);
    URB urb;
    EXPECT_EQ(VendorRequest(a.transport(), 0x42, &urb), STATUS_UNSUCCESSFUL);
}

void FailingQueryBusTime(UsbAdapter& a) {
    a.bus().FailQueryBusTime(STATUS_UNSUCCESSFUL);
    ULONG frame = 77;
    EXPECT_EQ(a.transport().GetCurrentFrameNumber(&frame), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(frame, 0u);
}

void InterfacesWithAGap(UsbAdapter& a) {
    ASSERT_EQ(a.transport().InterfaceCount(), 3u);
    EXPECT_EQ(a.transport().InterfaceInfo(0)->InterfaceNumber, 0);
    EXPECT_EQ(a.transport().InterfaceInfo(1)->InterfaceNumber, 2);
    EXPECT_EQ(a.transport().InterfaceInfo(2)->InterfaceNumber, 3);
    EXPECT_NE(a.bus().PipeHandle(0x85), nullptr);
}

void NothingStored(UsbAdapter& a) {
    EXPECT_EQ(a.transport().GetConfigurationDescriptor(), nullptr);
    EXPECT_EQ(a.transport().InterfaceCount(), 0u);
}

void SecondConfigurationReadFails(UsbAdapter& a) {
    ControlRule r = RequestRule(USB_REQUEST_GET_DESCRIPTOR, ControlRule::Stall);
    r.wValue = USB_CONFIGURATION_DESCRIPTOR_TYPE << 8;
    r.skip = 1;
    a.device().AddControlRule(r);
}

// Interfaces 0 (audio control), 2 (streaming) and 3 (HID): three
// interfaces, numbered with a gap.
DescriptorSet GapDevice() {
    DescriptorSet set = simusb::BuildUac1Headset();
    simusb::ConfigBuilder c;
    c.Configuration()
        .Interface(0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, 0)
        .Uac1Header({2})
        .Interface(2, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0)
        .Interface(3, 0, USB_DEVICE_CLASS_HUMAN_INTERFACE, 0, 0)
        .HidDescriptor(32)
        .Endpoint(0x85, USB_ENDPOINT_TYPE_INTERRUPT, 8, 10);
    set.configuration = c.Build();
    return set;
}

struct EdgeCase {
    const char* name;
    DescriptorSet (*descriptors)();
    void (*beforeStart)(UsbAdapter&);
    NTSTATUS start;
    void (*check)(UsbAdapter&);
};

class TransportEdgeTest : public TransportTest, public ::testing::WithParamInterface<EdgeCase> {};

TEST_P(TransportEdgeTest, Behaves) {
    const EdgeCase& c = GetParam();
    UsbAdapter& a = Make(c.descriptors());
    if (c.beforeStart) c.beforeStart(a);
    ASSERT_EQ(a.Start(), c.start);
    c.check(a);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, TransportEdgeTest,
    ::testing::Values(
        EdgeCase{"NeverAnswering", simusb::BuildUac1Headset, nullptr, STATUS_SUCCESS, NeverAnswering},
        EdgeCase{"NotConnectedLatches", simusb::BuildUac1Headset, nullptr, STATUS_SUCCESS, NotConnectedLatches},
        EdgeCase{"ConnectedPortChangesNothing", simusb::BuildUac1Headset, nullptr, STATUS_SUCCESS,
                 ConnectedPortChangesNothing},
        EdgeCase{"NoSuchDeviceTwiceCyclesOnce", simusb::BuildUac1Headset, nullptr, STATUS_SUCCESS,
                 NoSuchDeviceTwiceCyclesOnce},
        EdgeCase{"NoSuchDeviceThenConnectedResetsThroughD3AndD0", simusb::BuildUac1Headset, nullptr,
                 STATUS_SUCCESS, NoSuchDeviceThenConnectedResetsThroughD3AndD0},
        EdgeCase{"ResetWithoutModelPower", simusb::BuildUac1Headset, nullptr, STATUS_SUCCESS,
                 ResetWithoutModelPower},
        EdgeCase{"NoSuchDeviceThenDisconnected", simusb::BuildUac1Headset, nullptr, STATUS_SUCCESS,
                 NoSuchDeviceThenDisconnected},
        EdgeCase{"FailedPortQueryMeansGone", simusb::BuildUac1Headset, nullptr, STATUS_SUCCESS,
                 FailedPortQueryMeansGone},
        EdgeCase{"FailingQueryBusTime", simusb::BuildUac1Headset, nullptr, STATUS_SUCCESS, FailingQueryBusTime},
        EdgeCase{"InterfacesWithAGap", GapDevice, nullptr, STATUS_SUCCESS, InterfacesWithAGap},
        EdgeCase{"SecondConfigurationReadFails", simusb::BuildUac1Headset, SecondConfigurationReadFails,
                 STATUS_UNSUCCESSFUL, NothingStored}),
    [](const ::testing::TestParamInfo<EdgeCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace adaptertest

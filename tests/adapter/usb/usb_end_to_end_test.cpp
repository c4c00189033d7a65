// End to end: a simulated device plugged into the PnP harness, a test
// driver on the port-class driver whose StartDevice brings up the USB
// transport (descriptors, configuration, bus interface) and selective
// suspend; isochronous OUT for simulated seconds with every sample arriving
// in order at the device; then the idle device goes to D2 and the next IRP
// wakes it. Runs with the built-in headset and with descriptor files.
#include <gtest/gtest.h>

#include <cstring>

#include "adapter/base/unknown.h"
#include "adapter/usb/selective_suspend.h"
#include "adapter/usb/usb_transport.h"
#include "portcls/portcls.h"
#include "platform/portcls/sim_portcls.h"
#include "sim/executor.h"
#include "sim/registry.h"
#include "platform/usb/descriptor_file.h"
#include "platform/usb/usb_port.h"
#include "tests/support/kernel_test.h"

namespace adaptertest {
namespace {

constexpr ULONG kTestTag = MakePoolTag("E2Et");

// ------------------------------------------------------------ test driver

// A test adapter with the transport, selective suspend and the power
// state the port class moves.
class CTestAdapter final : public IAdapterPowerManagement, public CUnknown, public IIdleOwner {
public:
    explicit CTestAdapter(PUNKNOWN outer) : CUnknown(outer) {}
    ~CTestAdapter() override { m_Idle.Shutdown(); }
    DECLARE_FORWARDING_UNKNOWN()

    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override {
        if (iid == IID_IUnknown || iid == IID_IAdapterPowerManagement)
            return ReturnInterface(static_cast<IAdapterPowerManagement*>(this), out);
        return RefuseInterface(out);
    }

    NTSTATUS Init(PDEVICE_OBJECT fdo, PDEVICE_OBJECT lower, PDEVICE_OBJECT pdo) {
        m_Fdo = fdo;
        m_Lower = lower;
        m_Pdo = pdo;
        m_Transport.Init(fdo, lower);
        NTSTATUS status = m_Transport.ReadDescriptors();
        if (NT_SUCCESS(status)) status = m_Transport.SelectConfiguration();
        if (NT_SUCCESS(status)) status = m_Transport.QueryBusInterface();
        m_Idle.Start(NT_SUCCESS(status));
        return status;
    }

    VOID PowerChangeState(POWER_STATE state) override { m_Power = state.DeviceState; }
    NTSTATUS QueryPowerChangeState(POWER_STATE) override { return STATUS_SUCCESS; }
    NTSTATUS QueryDeviceCapabilities(PDEVICE_CAPABILITIES) override { return STATUS_SUCCESS; }

    PDEVICE_OBJECT IdleFdo() override { return m_Fdo; }
    PDEVICE_OBJECT IdlePdo() override { return m_Pdo; }
    PDEVICE_OBJECT IdleLowerDevice() override { return m_Lower; }
    DEVICE_POWER_STATE IdlePowerState() override { return m_Power; }

    CUsbTransport& transport() { return m_Transport; }
    CIdleControl& idle() { return m_Idle; }

private:
    PDEVICE_OBJECT m_Fdo = nullptr, m_Lower = nullptr, m_Pdo = nullptr;
    volatile DEVICE_POWER_STATE m_Power = PowerDeviceD0;
    CUsbTransport m_Transport;
    CIdleControl m_Idle{this, &m_Transport};
};

// The driver's part of the FDO's extension, after the port class's part.
struct DriverContext {
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo;
    CTestAdapter* adapter;
};

DriverContext* ContextOf(PDEVICE_OBJECT fdo) {
    return reinterpret_cast<DriverContext*>(static_cast<PUCHAR>(fdo->DeviceExtension) +
                                            PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

CTestAdapter* g_adapter = nullptr;  // the one started device, for the test body

NTSTATUS StartDevice(PDEVICE_OBJECT fdo, PIRP, PRESOURCELIST) {
    DriverContext* ctx = ContextOf(fdo);
    auto* adapter = new (NonPagedPoolNx, kTestTag) CTestAdapter(nullptr);
    if (adapter == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    adapter->AddRef();
    NTSTATUS status = adapter->Init(fdo, ctx->lower, ctx->pdo);
    if (NT_SUCCESS(status))
        status = PcRegisterAdapterPowerManagement(static_cast<IAdapterPowerManagement*>(adapter), fdo);
    if (!NT_SUCCESS(status)) {
        adapter->Release();
        return status;
    }
    ctx->adapter = g_adapter = adapter;
    return STATUS_SUCCESS;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT lower = IoGetAttachedDeviceReference(pdo);
    NTSTATUS status = PcAddAdapterDevice(driver, pdo, StartDevice, 4,
                                         PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(DriverContext));
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(lower);
        return status;
    }
    DriverContext* ctx = ContextOf(IoGetAttachedDevice(pdo));
    ctx->lower = lower;
    ctx->pdo = pdo;
    return STATUS_SUCCESS;
}

// Every device-control IRP passes the idle gate first.
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT fdo, PIRP irp) {
    if (ContextOf(fdo)->adapter != nullptr) ContextOf(fdo)->adapter->idle().PreprocessIrp(irp);
    return PcDispatchIrp(fdo, irp);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    DriverContext* ctx = ContextOf(fdo);
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if ((minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_STOP_DEVICE) && ctx->adapter != nullptr) {
        ctx->adapter->Release();
        ctx->adapter = g_adapter = nullptr;
    }
    PDEVICE_OBJECT lower = ctx->lower;
    const NTSTATUS status = PcDispatchIrp(fdo, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) ObDereferenceObject(lower);
    return status;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    NTSTATUS status = PcInitializeAdapterDriver(driver, registryPath, AddDevice);
    if (!NT_SUCCESS(status)) return status;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    return STATUS_SUCCESS;
}

// ------------------------------------------------------------ streaming

// Isochronous OUT through the transport: URBs of 8 packets, resubmitted
// from their completion routine (DISPATCH_LEVEL); the data is a running
// 16-bit counter, so the device's recording shows loss or reordering.
class OutStream {
public:
    OutStream(CUsbTransport& t, USBD_PIPE_HANDLE pipe, ULONG packetBytes, int inFlight, int total)
        : t_(t), pipe_(pipe), packetBytes_(packetBytes), remaining_(total - inFlight) {
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
        for (int i = 0; i < inFlight; ++i) {
            auto u = std::make_unique<Urb>();
            u->stream = this;
            u->storage.resize(GET_ISO_URB_SIZE(kPackets));
            u->data.resize(kPackets * packetBytes);
            u->irp = t.AllocateIrp();
            urbs_.push_back(std::move(u));
        }
    }
    ~OutStream() {
        for (auto& u : urbs_) t_.FreeIrp(u->irp);
    }
    bool Run(LONGLONG timeout) {
        outstanding_ = (LONG)urbs_.size();
        for (auto& u : urbs_) Submit(u.get());
        LARGE_INTEGER t;
        t.QuadPart = -timeout;
        return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS;
    }
    LONG failures() const { return failures_; }
    // The byte the stream sent at position i.
    static uint8_t ByteAt(size_t i) { return (uint8_t)((i & 1) ? (i / 2) >> 8 : (i / 2)); }

private:
    static constexpr ULONG kPackets = 8;
    struct Urb {
        OutStream* stream;
        std::vector<uint64_t> storage;  // the URB, 8-byte aligned
        std::vector<uint8_t> data;
        PIRP irp;
    };

    void Submit(Urb* u) {
        for (uint8_t& b : u->data) b = ByteAt(sent_++);
        auto& iso = reinterpret_cast<PURB>(u->storage.data())->UrbIsochronousTransfer;
        std::memset(&iso, 0, GET_ISO_URB_SIZE(kPackets));
        iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        iso.Hdr.Length = (USHORT)GET_ISO_URB_SIZE(kPackets);
        iso.PipeHandle = pipe_;
        iso.TransferFlags = USBD_START_ISO_TRANSFER_ASAP;
        iso.TransferBuffer = u->data.data();
        iso.TransferBufferLength = (ULONG)u->data.size();
        iso.NumberOfPackets = kPackets;
        for (ULONG i = 0; i < kPackets; ++i) iso.IsoPacket[i] = {i * packetBytes_, packetBytes_, 0};
        IoReuseIrp(u->irp, STATUS_NOT_SUPPORTED);
        IoSetNextIrpStackLocation(u->irp);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(u->irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &iso;
        IoSetCompletionRoutine(u->irp, Completed, u, TRUE, TRUE, TRUE);
        t_.CallLowerDriver(u->irp);
    }
    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* u = static_cast<Urb*>(context);
        OutStream* s = u->stream;
        if (irp->IoStatus.Status != STATUS_SUCCESS) InterlockedIncrement(&s->failures_);
        if (InterlockedDecrement(&s->remaining_) >= 0)
            s->Submit(u);
        else if (InterlockedDecrement(&s->outstanding_) == 0)
            KeSetEvent(&s->done_, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    CUsbTransport& t_;
    USBD_PIPE_HANDLE pipe_;
    ULONG packetBytes_;
    volatile LONG remaining_;
    volatile LONG outstanding_ = 0;
    volatile LONG failures_ = 0;
    size_t sent_ = 0;  // touched by one completion at a time (in order per pipe)
    KEVENT done_;
    std::vector<std::unique_ptr<Urb>> urbs_;
};

// ------------------------------------------------------------ the test

struct DeviceCase {
    const char* name;
    simusb::DescriptorSet (*descriptors)();
    ULONG packetBytes;  // 48 kHz: 48 frames per 1 ms packet, or 6 per 125 us microframe
    bool uac2;
};

simusb::DescriptorSet FromFile(const char* file, simusb::UsbSpeed speed) {
    simusb::DescriptorSet set;
    simusb::DescriptorFileError error;
    EXPECT_TRUE(simusb::LoadDescriptorFile(std::string(USB_FIXTURE_DIR) + "/" + file, speed, &set, &error))
        << error.message;
    return set;
}
simusb::DescriptorSet HeadsetFile() { return FromFile("uac1_headset.txt", simusb::UsbSpeed::Full); }
simusb::DescriptorSet AsyncDeviceFile() { return FromFile("uac2_async_device.txt", simusb::UsbSpeed::High); }

class EndToEndTest : public sim::KernelTest, public ::testing::WithParamInterface<DeviceCase> {
protected:
    sim::ExecutorOptions Options() const override {  // virtual time throughout
        sim::ExecutorOptions options = sim::ExecutorOptions::FromEnvironment();
        options.stress = false;
        return options;
    }
    void SetUp() override {
        sim::KernelTest::SetUp();
        sim::RegistryReset();
        sim::PcResetState();
        port_ = std::make_unique<simusb::SimUsbPort>(GetParam().descriptors());
        port_->SetDeviceParameter(u"SelectiveSuspendEnabled", 1);
    }
    void TearDown() override {
        port_.reset();
        sim::KernelTest::TearDown();
    }
    NTSTATUS Submit(PURB urb) { return g_adapter->transport().SubmitUrbSync(urb); }
    NTSTATUS SelectPlayback(UCHAR alternate, USBD_PIPE_HANDLE* pipe);
    NTSTATUS SetRate(ULONG rate);

    std::unique_ptr<simusb::SimUsbPort> port_;
};

NTSTATUS EndToEndTest::SelectPlayback(UCHAR alternate, USBD_PIPE_HANDLE* pipe) {
    std::vector<uint64_t> storage(sizeof(URB) / 8 + 8);  // room for two pipes
    auto urb = reinterpret_cast<PURB>(storage.data());
    UsbBuildSelectInterfaceRequest(urb, (USHORT)GET_SELECT_INTERFACE_REQUEST_SIZE(2),
                                   g_adapter->transport().GetConfigurationHandle(), 1, alternate);
    const NTSTATUS status = Submit(urb);
    if (pipe != nullptr && NT_SUCCESS(status)) *pipe = urb->UrbSelectInterface.Interface.Pipes[0].PipeHandle;
    return status;
}

NTSTATUS EndToEndTest::SetRate(ULONG rate) {
    UCHAR data[4] = {(UCHAR)rate, (UCHAR)(rate >> 8), (UCHAR)(rate >> 16), (UCHAR)(rate >> 24)};
    URB urb{};
    if (GetParam().uac2)  // the clock source 10 of interface 0
        UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              USBD_TRANSFER_DIRECTION_OUT, 0, UAC2_CUR, UAC2_CS_SAM_FREQ << 8, 10 << 8, data,
                              nullptr, 4, nullptr);
    else  // the playback endpoint 0x01
        UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_ENDPOINT, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              USBD_TRANSFER_DIRECTION_OUT, 0, UAC1_SET_CUR, UAC1_EP_SAMPLING_FREQ << 8, 0x01, data,
                              nullptr, 3, nullptr);
    return Submit(&urb);
}

TEST_P(EndToEndTest, StartsStreamsEverySampleThenSuspendsAndWakes) {
    sim::PnpHarness& pnp = port_->harness();
    simusb::SimUsbBus& bus = port_->bus();
    ASSERT_EQ(pnp.LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(pnp.AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(pnp.StartDevice(), STATUS_SUCCESS);
    ASSERT_NE(g_adapter, nullptr);
    CUsbTransport& t = g_adapter->transport();
    EXPECT_EQ(t.InterfaceCount(), 3u);
    EXPECT_EQ(t.IsHighSpeed(), bus.highSpeed());
    EXPECT_EQ(bus.BusInterfaceReferences(), 1);
    EXPECT_TRUE(g_adapter->idle().IdleTimerEnabled());

    // Three simulated seconds of playback.
    ASSERT_EQ(SetRate(48000), STATUS_SUCCESS);
    USBD_PIPE_HANDLE pipe = nullptr;
    ASSERT_EQ(SelectPlayback(1, &pipe), STATUS_SUCCESS);
    t.BusyAddRef();
    simusb::AudioSink* sink = port_->device().Sink(0x01);
    ASSERT_NE(sink, nullptr);
    sink->SetRecording(true);
    sink->ClearRecording();
    const int urbs = bus.highSpeed() ? 3000 : 375;  // 3 s in 1 ms or 8 ms URBs
    {
        OutStream stream(t, pipe, GetParam().packetBytes, 3, urbs);
        ASSERT_TRUE(stream.Run(10 * sim::kTicksPerSecond));
        EXPECT_EQ(stream.failures(), 0);
    }
    const std::vector<uint8_t>& recorded = sink->recorded();
    ASSERT_EQ(recorded.size(), (size_t)urbs * 8 * GetParam().packetBytes);
    for (size_t i = 0; i < recorded.size(); ++i)
        ASSERT_EQ(recorded[i], OutStream::ByteAt(i)) << "byte " << i;
    EXPECT_EQ(sink->underruns(), 0u);
    ASSERT_EQ(SelectPlayback(0, nullptr), STATUS_SUCCESS);
    t.BusyRelease();

    // Idle: the next check sends the idle request and the device goes to D2.
    // The hub's callback returns once the D2 request has completed.
    ASSERT_TRUE(bus.WaitUntil([&] { return bus.IdleCallbackCount() == 1; }, 11000));
    EXPECT_TRUE(bus.suspended());
    EXPECT_EQ(pnp.PdoPowerState(), PowerDeviceD2);
    EXPECT_EQ(g_adapter->IdlePowerState(), PowerDeviceD2);

    // The next request wakes it.
    sim::SendIrp(pnp.Pdo(), [](PIRP, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        sp->Parameters.DeviceIoControl.IoControlCode = 0x2F0003;
    });
    EXPECT_FALSE(bus.suspended());
    EXPECT_EQ(pnp.PdoPowerState(), PowerDeviceD0);
    EXPECT_EQ(g_adapter->IdlePowerState(), PowerDeviceD0);
    EXPECT_EQ(bus.SuspendedFailures(), 0u);
    uint8_t buffer[18];
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0,
                                 0, buffer, nullptr, sizeof(buffer), nullptr);
    EXPECT_EQ(Submit(&urb), STATUS_SUCCESS);

    EXPECT_EQ(pnp.RemoveDevice(), STATUS_SUCCESS);
    EXPECT_EQ(g_adapter, nullptr);
    EXPECT_EQ(bus.BusInterfaceReferences(), 0);
    EXPECT_FALSE(bus.IdleRequestPending());
    pnp.UnloadDriver();
}

INSTANTIATE_TEST_SUITE_P(
    Devices, EndToEndTest,
    ::testing::Values(DeviceCase{"BuiltInHeadset", simusb::BuildUac1Headset, 48 * 4, false},
                      DeviceCase{"HeadsetFile", HeadsetFile, 48 * 4, false},
                      DeviceCase{"AsyncDeviceFile", AsyncDeviceFile, 6 * 8, true}),
    [](const ::testing::TestParamInfo<DeviceCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace adaptertest

// Simulated USB bus and device, as a ratio of simulated to wall-clock time
// ("sim_per_wall": simulated seconds per wall second). The whole device path
// (URB through IoCallDriver, slot scheduling on the virtual clock, the
// device's sink or source, completion on the DPC thread, resubmission from
// the completion routine) has to run well above real time, since every
// streaming test and the driver's later data-path benchmarks sit on it.
//
//   FullSpeedOut48kStereo     UAC 1.0 headset, 16-bit stereo, 8-packet URBs
//   HighSpeedOut192k8chFeedback UAC 2.0 device, 8 x 32-bit slots at 192 kHz,
//                             1 ms URBs plus explicit feedback IN URBs
//   FullSpeedCapture48kMono   UAC 1.0 headset microphone
//   DeviceOnly*               the same packets handed straight to the
//                             device
//   ExecutorFloor8ms          the virtual clock alone: one scheduled callback
//                             every 8 ms, as many clock steps as an 8 ms URB
//                             stream needs
// Both streams use URBs of 8 ms of audio (8 packets at full speed, 64 at
// high speed). The bus's share is the stream's time less the device's and
// the clock's.
#include <benchmark/benchmark.h>

#include <functional>
#include <memory>
#include <vector>

#include "nt/io.h"
#include "sim/executor.h"
#include "sim/iomgr.h"
#include "platform/usb/bus.h"
#include "usb/usbd.h"

namespace {

using simusb::Bytes;
using simusb::DescriptorSet;

constexpr int kSimulatedSeconds = 10;

// UAC 2.0 high-speed device with eight 32-bit channels (slot 4, 24 bits)
// and explicit feedback: 192 kHz is 24 frames per microframe, 25 with the
// slack of an asynchronous stream.
DescriptorSet EightChannelDevice() {
    DescriptorSet set = simusb::BuildUac2AsyncDevice();
    const UCHAR kAudio = USB_DEVICE_CLASS_AUDIO, kV2 = USB_AUDIO_PROTOCOL_2_0;
    const ULONG kVolume = 3u << 2, kMute = 3u;
    simusb::ConfigBuilder c;
    c.Configuration(1, USB_CONFIG_BUS_POWERED, 100)
        .Association(0, 2, kAudio, 0x00, kV2)
        .Interface(0, 0, kAudio, USB_AUDIO_SUBCLASS_AUDIOCONTROL, kV2)
        .Uac2Header(0x0A)
        .Uac2ClockSource(10, 0x03, 0x07)
        .Uac2InputTerminal(1, simusb::UAC_TERMINAL_USB_STREAMING, 10, 8, 0xFF)
        .Uac2FeatureUnit(2, 1, std::vector<ULONG>(9, kMute | kVolume))
        .Uac2OutputTerminal(3, simusb::UAC_TERMINAL_HEADPHONES, 2, 10)
        .Interface(1, 0, kAudio, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, kV2)
        .Interface(1, 1, kAudio, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, kV2)
        .Uac2AsGeneral(1, 0x05, UAC_FORMAT_TYPE_I, 0x00000001, 8, 0xFF)
        .Uac2FormatTypeI(4, 24)
        .Endpoint(0x01, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS, 25 * 32, 1)
        .Uac2IsoEndpoint()
        .Endpoint(0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_USAGE_FEEDBACK, 4, 4);
    set.configuration = c.Build();
    return set;
}

// A physical device object whose dispatch is the bus.
class BusPdo {
public:
    explicit BusPdo(simusb::SimUsbBus& bus) : bus_(bus) {
        driver_ = sim::IoCreateDriverObject(u"benchbus");
        for (auto& entry : driver_->MajorFunction) entry = Dispatch;
        IoCreateDevice(driver_, sizeof(BusPdo*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo_);
        *static_cast<BusPdo**>(pdo_->DeviceExtension) = this;
        pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    ~BusPdo() {
        IoDeleteDevice(pdo_);
        sim::IoReleaseDriverObject(driver_);
    }
    PDEVICE_OBJECT pdo() const { return pdo_; }

    NTSTATUS Send(PURB urb) {
        PIRP irp = IoAllocateIrp(pdo_->StackSize + 1, FALSE);
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(irp, Signal, &done, TRUE, TRUE, TRUE);
        if (IoCallDriver(pdo_, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        const NTSTATUS status = irp->IoStatus.Status;
        IoFreeIrp(irp);
        return status;
    }
    NTSTATUS Configure() {
        Bytes config = bus_.device().descriptors().configuration;
        auto* d = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
        std::vector<USBD_INTERFACE_LIST_ENTRY> list(d->bNumInterfaces + 1);
        for (LONG i = 0; i < d->bNumInterfaces; ++i)
            list[i].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(d, d, i, 0, -1, -1, -1);
        PURB urb = USBD_CreateConfigurationRequestEx(d, list.data());
        const NTSTATUS status = Send(urb);
        ExFreePool(urb);
        return status;
    }
    NTSTATUS SelectAlternate(UCHAR number, UCHAR alternate) {
        std::vector<uint64_t> storage(sizeof(URB) / 8 + 8);
        auto urb = reinterpret_cast<PURB>(storage.data());
        UsbBuildSelectInterfaceRequest(urb, (USHORT)GET_SELECT_INTERFACE_REQUEST_SIZE(2), bus_.ConfigurationHandle(),
                                       number, alternate);
        return Send(urb);
    }
    NTSTATUS ClassRequest(USHORT function, UCHAR request, USHORT value, USHORT index, ULONG data, ULONG length) {
        URB urb{};
        UsbBuildVendorRequest(&urb, function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              USBD_TRANSFER_DIRECTION_OUT, 0, request, value, index, &data, nullptr, length, nullptr);
        return Send(&urb);
    }

private:
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
        BusPdo* self = *static_cast<BusPdo**>(device->DeviceExtension);
        NTSTATUS status;
        if (self->bus_.HandleIrp(device, irp, &status)) return status;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NOT_SUPPORTED;
    }
    static NTSTATUS Signal(PDEVICE_OBJECT, PIRP, PVOID context) {
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    simusb::SimUsbBus& bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
};

// Isochronous transfers kept in flight by their completion routine until
// `total` have completed; OUT buffers are refilled before each submission.
class IsoLoop {
public:
    IsoLoop(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, ULONG packets, ULONG packetBytes, int inFlight, int total)
        : pdo_(pdo), pipe_(pipe), packets_(packets), packetBytes_(packetBytes), remaining_(total - inFlight) {
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
        for (int i = 0; i < inFlight; ++i) {
            auto u = std::make_unique<Urb>();
            u->loop = this;
            u->storage.resize(GET_ISO_URB_SIZE(packets) / 8 + 1);
            u->data.resize(packets * packetBytes);
            u->irp = IoAllocateIrp(pdo->StackSize + 1, FALSE);
            urbs_.push_back(std::move(u));
        }
    }
    ~IsoLoop() {
        for (auto& u : urbs_) IoFreeIrp(u->irp);
    }
    void Start() {
        outstanding_ = (LONG)urbs_.size();
        for (auto& u : urbs_) Submit(u.get());
    }
    void Wait() { KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr); }

private:
    struct Urb {
        IsoLoop* loop;
        std::vector<uint64_t> storage;
        std::vector<uint8_t> data;
        PIRP irp;
    };
    void Submit(Urb* u) {
        for (size_t i = 0; i < u->data.size(); i += 64) u->data[i] = (uint8_t)(counter_++);
        auto& iso = reinterpret_cast<PURB>(u->storage.data())->UrbIsochronousTransfer;
        iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        iso.Hdr.Length = (USHORT)GET_ISO_URB_SIZE(packets_);
        iso.PipeHandle = pipe_;
        iso.TransferFlags = USBD_START_ISO_TRANSFER_ASAP;
        iso.TransferBuffer = u->data.data();
        iso.TransferBufferLength = (ULONG)u->data.size();
        iso.TransferBufferMDL = nullptr;
        iso.NumberOfPackets = packets_;
        for (ULONG i = 0; i < packets_; ++i) iso.IsoPacket[i] = {i * packetBytes_, packetBytes_, 0};
        IoReuseIrp(u->irp, STATUS_NOT_SUPPORTED);
        IoSetNextIrpStackLocation(u->irp);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(u->irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &iso;
        IoSetCompletionRoutine(u->irp, Completed, u, TRUE, TRUE, TRUE);
        IoCallDriver(pdo_, u->irp);
    }
    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP, PVOID context) {
        auto* u = static_cast<Urb*>(context);
        IsoLoop* loop = u->loop;
        if (InterlockedDecrement(&loop->remaining_) >= 0)
            loop->Submit(u);
        else if (InterlockedDecrement(&loop->outstanding_) == 0)
            KeSetEvent(&loop->done_, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PDEVICE_OBJECT pdo_;
    USBD_PIPE_HANDLE pipe_;
    ULONG packets_, packetBytes_;
    volatile LONG remaining_;
    volatile LONG outstanding_ = 0;
    uint32_t counter_ = 0;
    KEVENT done_;
    std::vector<std::unique_ptr<Urb>> urbs_;
};

struct StreamSpec {
    DescriptorSet (*descriptors)();
    UCHAR interfaceNumber;
    UCHAR endpoint;
    ULONG packets, packetBytes;  // per URB; one URB spans packets / packetsPerMs ms
    ULONG packetsPerMs;
    UCHAR feedbackEndpoint;      // 0: none
    bool uac2;
    ULONG rate;
};

// Runs kSimulatedSeconds of one stream per iteration; sim_per_wall is the
// ratio of simulated to wall time.
void RunStream(benchmark::State& state, const StreamSpec& spec) {
    sim::KernelScope scope;
    {
        simusb::SimDevice device(spec.descriptors());
        simusb::SimUsbBus bus(device);
        BusPdo pdo(bus);
        pdo.Configure();
        if (spec.uac2)
            pdo.ClassRequest(URB_FUNCTION_CLASS_INTERFACE, UAC2_CUR, UAC2_CS_SAM_FREQ << 8, 10 << 8, spec.rate, 4);
        else
            pdo.ClassRequest(URB_FUNCTION_CLASS_ENDPOINT, UAC1_SET_CUR, UAC1_EP_SAMPLING_FREQ << 8, spec.endpoint,
                             spec.rate, 3);
        pdo.SelectAlternate(spec.interfaceNumber, 1);
        if (simusb::AudioSink* sink = device.Sink(spec.endpoint)) sink->SetRecording(false);
        const int urbs = (int)(kSimulatedSeconds * 1000 * spec.packetsPerMs / spec.packets);
        double simulated = 0;
        for (auto _ : state) {
            IsoLoop data(pdo.pdo(), bus.PipeHandle(spec.endpoint), spec.packets, spec.packetBytes, 3, urbs);
            std::unique_ptr<IsoLoop> feedback;
            if (spec.feedbackEndpoint != 0)  // 8 frames per URB, one packet per frame
                feedback = std::make_unique<IsoLoop>(pdo.pdo(), bus.PipeHandle(spec.feedbackEndpoint), 8, 4, 2,
                                                     kSimulatedSeconds * 1000 / 8);
            data.Start();
            if (feedback) feedback->Start();
            data.Wait();
            if (feedback) feedback->Wait();
            simulated += kSimulatedSeconds;
        }
        state.counters["sim_per_wall"] = benchmark::Counter(simulated, benchmark::Counter::kIsRate);
    }
    scope.Finish();
}

// The device's own work for the same audio: every packet handed straight
// to ConsumeIsoOut / ProduceIsoIn, no URBs, no clock.
void RunDeviceOnly(benchmark::State& state, const StreamSpec& spec) {
    sim::KernelScope scope;
    {
        simusb::SimDevice device(spec.descriptors());
        auto control = [&](UCHAR type, UCHAR request, USHORT value, USHORT index, ULONG data, ULONG length) {
            device.HandleControlTransfer({type, request, value, index, (USHORT)length},
                                         reinterpret_cast<uint8_t*>(&data), length);
        };
        control(0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0, 0);
        if (spec.uac2)
            control(0x21, UAC2_CUR, UAC2_CS_SAM_FREQ << 8, 10 << 8, spec.rate, 4);
        else
            control(0x22, UAC1_SET_CUR, UAC1_EP_SAMPLING_FREQ << 8, spec.endpoint, spec.rate, 3);
        control(0x01, USB_REQUEST_SET_INTERFACE, 1, spec.interfaceNumber, 0, 0);
        if (simusb::AudioSink* sink = device.Sink(spec.endpoint)) sink->SetRecording(false);
        std::vector<uint8_t> packet(spec.packetBytes);
        uint8_t feedback[4];
        const ULONG packets = kSimulatedSeconds * 1000 * spec.packetsPerMs;
        double simulated = 0;
        for (auto _ : state) {
            for (ULONG i = 0; i < packets; ++i) {
                if (spec.endpoint & 0x80)
                    device.ProduceIsoIn(spec.endpoint, packet.data(), spec.packetBytes);
                else
                    device.ConsumeIsoOut(spec.endpoint, packet.data(), spec.packetBytes);
                if (spec.feedbackEndpoint != 0 && i % spec.packetsPerMs == 0)
                    device.ProduceIsoIn(spec.feedbackEndpoint, feedback, sizeof(feedback));
            }
            simulated += kSimulatedSeconds;
        }
        state.counters["sim_per_wall"] = benchmark::Counter(simulated, benchmark::Counter::kIsRate);
    }
    scope.Finish();
}

// One callback every 8 ms of virtual time, chained; the executor's cost of
// the clock steps a stream of 8 ms URBs makes.
void ExecutorFloor8ms(benchmark::State& state) {
    sim::KernelScope scope;
    double simulated = 0;
    for (auto _ : state) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        int left = kSimulatedSeconds * 125;
        std::function<void()> step = [&] {
            if (--left > 0)
                sim::ScheduleAfter(8 * sim::kTicksPerMillisecond, step);
            else
                KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
        };
        sim::ScheduleAfter(8 * sim::kTicksPerMillisecond, step);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        simulated += kSimulatedSeconds;
    }
    state.counters["sim_per_wall"] = benchmark::Counter(simulated, benchmark::Counter::kIsRate);
    scope.Finish();
}

const StreamSpec kFullSpeedOut{simusb::BuildUac1Headset, 1, 0x01, 8, 48 * 4, 1, 0, false, 48000};
const StreamSpec kHighSpeedOut{EightChannelDevice, 1, 0x01, 64, 24 * 32, 8, 0x81, true, 192000};
const StreamSpec kCapture{simusb::BuildUac1Headset, 2, 0x82, 8, 98, 1, 0, false, 48000};

void FullSpeedOut48kStereo(benchmark::State& state) { RunStream(state, kFullSpeedOut); }
void HighSpeedOut192k8chFeedback(benchmark::State& state) { RunStream(state, kHighSpeedOut); }
void FullSpeedCapture48kMono(benchmark::State& state) { RunStream(state, kCapture); }
void DeviceOnlyFullSpeedOut(benchmark::State& state) { RunDeviceOnly(state, kFullSpeedOut); }
void DeviceOnlyHighSpeedOut(benchmark::State& state) { RunDeviceOnly(state, kHighSpeedOut); }
void DeviceOnlyCapture(benchmark::State& state) { RunDeviceOnly(state, kCapture); }

BENCHMARK(FullSpeedOut48kStereo)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(HighSpeedOut192k8chFeedback)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(FullSpeedCapture48kMono)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(DeviceOnlyFullSpeedOut)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(DeviceOnlyHighSpeedOut)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(DeviceOnlyCapture)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ExecutorFloor8ms)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

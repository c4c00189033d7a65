// Fuzzes CUsbCaptureStream::ProcessCapturedPackets: each input opens a
// capture stream on a simulated microphone whose endpoint declares extra
// transactions (bits 11-12 of wMaxPacketSize), with a format and a
// transfer geometry taken from the input, then hands it completed
// transfers whose packet lengths, offsets and statuses come from the
// input. The ring must stay in bounds (ASan) and the clients must get
// exactly the whole blocks that were counted as delivered.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "sim/executor.h"
#include "stream/usb/usb_capture_stream.h"
#include "tests/fakes/stream/fake_usb_model.h"
#include "tests/fakes/stream/formats.h"
#include "tests/fakes/stream/recording_client.h"
#include "tests/fakes/stream/uac1_devices.h"

using namespace streamfakes;

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    uint8_t Byte() {
        if (size == 0) return 0;
        size--;
        return *data++;
    }
    uint16_t Word() { return (uint16_t)(Byte() | Byte() << 8); }
};

const WAVEFORMATEXTENSIBLE kFormats[] = {PcmFormat(1, 48000, 16), PcmFormat(2, 44100, 24), PcmFormat(6, 48000, 32),
                                         PcmFormat(8, 44100, 16), PcmFormat(3, 48000, 24, 32)};

struct Rig {
    Rig() {
        Uac1DeviceSpec spec;
        spec.inMaxPacket = 0x1000 | 196;
        port = std::make_unique<simusb::SimUsbPort>(BuildUac1Device(spec));
        model = FakeUsbModel::Create(*port, nullptr);
        stream = new (NonPagedPoolNx, MakePoolTag("Fuzz")) CUsbCaptureStream(NULL, kCaptureInterface, 6);
        stream->AddRef();
        stream->Init(1, static_cast<IAudioHal*>(model));
        for (const auto& f : kFormats) stream->AddFormat(&f, kAltStreaming);
        stream->AllocateBuffers();
    }
    // At exit: the stream's worker thread ends before the executor does,
    // and whatever the run left behind (a queued timer, a pool block, an
    // open handle) fails it.
    ~Rig() {
        stream->Release();
        model->Release();
        port.reset();
        sim::ScopeReport report = scope.Finish();
        if (!report.Clean()) {
            fprintf(stderr, "teardown left:\n%s", report.problems.c_str());
            abort();
        }
    }
    sim::KernelScope scope;
    std::unique_ptr<simusb::SimUsbPort> port;
    FakeUsbModel* model = nullptr;
    CUsbCaptureStream* stream = nullptr;
};

// One rig for the whole run, torn down when libFuzzer calls exit(). It is
// thread_local, not static: exit() destroys the calling thread's
// thread_local objects first, newest first, and only then the static ones.
// The executor's record of this thread as managed is such an object, made
// while the rig's scope was constructed, so it goes after the rig. A static
// rig would be destroyed after this thread had left the executor: the
// stream's worker, waiting without a time-out with no managed thread left
// running, would be reported as a deadlock before the rig could end it.
Rig& TheRig() {
    thread_local Rig rig;
    return rig;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Rig& rig = TheRig();
    Input in{data, size};
    const WAVEFORMATEXTENSIBLE& format = kFormats[in.Byte() % (sizeof(kFormats) / sizeof(kFormats[0]))];
    const ULONG framesPerTransfer = 1 + in.Byte() % 10, transfers = 1 + in.Byte() % 10;
    RecordingClient client("fuzz", nullptr, format.Format.nChannels);
    client.keepAllCaptureData = true;
    if (!NT_SUCCESS(client.Register(rig.stream, CYCLIC_CLIENT_WAVE, format, framesPerTransfer, transfers))) abort();
    ULONG frames = 0, frame = 0;
    if (NT_SUCCESS(rig.stream->ClientAcquire(client.Handle(), &frames, &frame))) {
        const ULONG packets = rig.stream->FramesPerTransfer() * rig.stream->PacketsPerFrame();
        const ULONG slot = rig.stream->SamplesPerPacket() * format.Format.nBlockAlign;
        while (in.size > 0) {
            std::vector<uint64_t> urb(GET_ISO_URB_SIZE(packets) / 8 + 1);
            std::vector<uint8_t> buffer((size_t)slot * packets, 0xA5);
            USB_TRANSFER_CONTEXT ctx = {};
            ctx.Urb = reinterpret_cast<PURB>(urb.data());
            ctx.Buffer = buffer.data();
            auto& iso = ctx.Urb->UrbIsochronousTransfer;
            iso.NumberOfPackets = in.Byte() % 2 ? packets : in.Word();
            for (ULONG i = 0; i < packets; i++) {
                uint8_t shape = in.Byte();
                iso.IsoPacket[i].Offset = shape & 1 ? i * slot : (ULONG)in.Word() << (shape & 0x10 ? 16 : 0);
                iso.IsoPacket[i].Length = shape & 2 ? in.Word() : (ULONG)in.Word() << (shape & 0x20 ? 8 : 0);
                iso.IsoPacket[i].Status = shape & 4 ? USBD_STATUS_SUCCESS : (USBD_STATUS)(0xC0000000u | in.Byte());
            }
            KIRQL irql;
            KeRaiseIrql(DISPATCH_LEVEL, &irql);
            rig.stream->ProcessCapturedPackets(&ctx);
            KeLowerIrql(irql);
        }
        size_t counted = 0;
        for (const ClientMessage& m : client.MessagesWithCode(CYCLIC_MSG_BYTES_DONE)) counted += m.value;
        if (counted != client.Captured().size() || counted % format.Format.nBlockAlign != 0) abort();
        rig.stream->ClientRelease(client.Handle());
    }
    rig.stream->UnregisterClient(client.Handle());
    return 0;
}

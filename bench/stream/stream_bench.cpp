// Stream benchmarks.
//
// ProcessData/<bits>/<channels>/<frames>/<nodes>: one block through the data
// path (nodes 0: untouched; 1: one node that changes nothing, so the block
// makes the float round trip). Peers on the same block: Memcpy (the
// untouched case), Swr (a resampler library converting interleaved integer
// samples to planar float and back; 24-bit blocks as 32-bit), Src16 (a
// sample-rate converter's short <-> float helpers, 16-bit only).
// RenderTransfer and CaptureTransfer: one completion with the next
// transfer built, filled and processed (render), or one completed IN
// transfer through the ring to the client (capture), against memcpy of
// the transfer's bytes. RealTime: simulated seconds of a running render
// and capture pair per wall second (counter sim_s_per_wall_s).
// AsyncRenderTransfer and CaptureExTransfer: the same for the UAC 2.0
// streams (10 ms transfers, each render transfer with its feedback
// transfer); compare bytes per second with RenderTransfer and
// TransferMemcpy. AsyncRealTime: simulated seconds per wall second of a
// UAC 2.0 render stream with feedback at 192 kHz, 8 channels, high speed.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "sim/executor.h"
#include "stream/usb/usb_capture_stream.h"
#include "stream/usb/usb_capture_stream_ex.h"
#include "stream/usb/usb_render_stream.h"
#include "stream/usb/usb_stereo_render_stream.h"
#include "tests/fakes/stream/fake_node.h"
#include "tests/fakes/stream/fake_usb_model.h"
#include "tests/fakes/stream/formats.h"
#include "tests/fakes/stream/recording_client.h"
#include "tests/fakes/stream/uac1_devices.h"
#include "tests/fakes/stream/uac2_devices.h"

#if STREAM_BENCH_PEERS
extern "C" {
#include <libswresample/swresample.h>
#include <samplerate.h>
}
#endif

using namespace streamfakes;

namespace {

class BenchEngine : public CStreamEngine {
public:
    BenchEngine() : CStreamEngine(NULL, 1) {}
    void SetCurrentFormat(const WAVEFORMATEXTENSIBLE& f) { m_CurrentWaveFormat = f; }
};

std::vector<uint8_t> Block(int bits, int channels, int frames) {
    std::vector<uint8_t> block((size_t)frames * channels * bits / 8);
    uint32_t x = 12345;
    for (auto& b : block) b = (uint8_t)((x = x * 1103515245 + 12345) >> 16);
    return block;
}

void ProcessData(benchmark::State& state) {
    const int bits = (int)state.range(0), channels = (int)state.range(1), frames = (int)state.range(2);
    auto* engine = new (NonPagedPoolNx, STREAM_ENGINE_TAG) BenchEngine();
    engine->AddRef();
    engine->Init(0);
    engine->AllocateBuffers();
    engine->SetCurrentFormat(PcmFormat((USHORT)channels, 48000, (USHORT)bits));
    FakeDspNode* node = nullptr;
    if (state.range(3)) {
        node = FakeDspNode::Create();
        engine->AddDspNode(node);
    }
    std::vector<uint8_t> block = Block(bits, channels, frames);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    for (auto _ : state) {
        engine->ProcessData(block.data(), (ULONG)block.size());
        benchmark::ClobberMemory();
    }
    KeLowerIrql(irql);
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)block.size());
    engine->Release();
    if (node) node->Release();
}

void Memcpy(benchmark::State& state) {
    std::vector<uint8_t> a = Block((int)state.range(0), (int)state.range(1), (int)state.range(2)), b(a.size());
    for (auto _ : state) {
        memcpy(b.data(), a.data(), a.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)a.size());
}

#if STREAM_BENCH_PEERS
// Interleaved integer samples to planar float and back, as the data path
// does around its nodes.
void Swr(benchmark::State& state) {
    const int bits = (int)state.range(0), channels = (int)state.range(1), frames = (int)state.range(2);
    const AVSampleFormat packed = bits == 16 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S32;
    const int bytes = bits == 16 ? 2 : 4;
    AVChannelLayout layout;
    av_channel_layout_default(&layout, channels);
    SwrContext *toFloat = nullptr, *toInt = nullptr;
    swr_alloc_set_opts2(&toFloat, &layout, AV_SAMPLE_FMT_FLTP, 48000, &layout, packed, 48000, 0, nullptr);
    swr_alloc_set_opts2(&toInt, &layout, packed, 48000, &layout, AV_SAMPLE_FMT_FLTP, 48000, 0, nullptr);
    swr_init(toFloat);
    swr_init(toInt);
    std::vector<uint8_t> block = Block(bytes * 8, channels, frames);
    std::vector<std::vector<float>> planes(channels, std::vector<float>(frames));
    std::vector<uint8_t*> planePtrs;
    for (auto& p : planes) planePtrs.push_back(reinterpret_cast<uint8_t*>(p.data()));
    for (auto _ : state) {
        const uint8_t* in = block.data();
        uint8_t* out = block.data();
        swr_convert(toFloat, planePtrs.data(), frames, &in, frames);
        swr_convert(toInt, &out, frames, const_cast<const uint8_t**>(planePtrs.data()), frames);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)block.size());
    swr_free(&toFloat);
    swr_free(&toInt);
}

void Src16(benchmark::State& state) {
    const int channels = (int)state.range(1), frames = (int)state.range(2);
    std::vector<uint8_t> block = Block(16, channels, frames);
    std::vector<float> floats((size_t)frames * channels);
    for (auto _ : state) {
        src_short_to_float_array(reinterpret_cast<const short*>(block.data()), floats.data(), (int)floats.size());
        src_float_to_short_array(floats.data(), reinterpret_cast<short*>(block.data()), (int)floats.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)block.size());
}
#endif

void DataPathArgs(benchmark::internal::Benchmark* b, bool nodes, bool only16) {
    for (int bits : {16, 24, 32}) {
        if (only16 && bits != 16) continue;
        for (int channels : {2, 8})
            for (int frames : {48, 512, 1300})
                for (int node = 0; node <= (nodes ? 1 : 0); node++) b->Args({bits, channels, frames, node});
    }
}

BENCHMARK(ProcessData)->Apply([](auto* b) { DataPathArgs(b, true, false); });
BENCHMARK(Memcpy)->Apply([](auto* b) { DataPathArgs(b, false, false); });
#if STREAM_BENCH_PEERS
BENCHMARK(Swr)->Apply([](auto* b) { DataPathArgs(b, false, false); });
BENCHMARK(Src16)->Apply([](auto* b) { DataPathArgs(b, false, true); });
#endif

// ---- per-transfer paths ------------------------------------------------------

struct StreamBench {
    explicit StreamBench(const Uac1DeviceSpec& spec)
        : port(BuildUac1Device(spec)), model(FakeUsbModel::Create(port, nullptr)) {}
    ~StreamBench() { model->Release(); }
    simusb::SimUsbPort port;
    FakeUsbModel* model;
};

Uac1DeviceSpec Device(bool high, UCHAR channels, ULONG rate) {
    Uac1DeviceSpec spec;
    spec.speed = high ? simusb::UsbSpeed::High : simusb::UsbSpeed::Full;
    spec.renderChannels = spec.captureChannels = channels;
    spec.rates = {rate};
    return spec;
}

template <typename T>
T* MakeStream(FakeUsbModel* model, UCHAR iface, ULONG capture, const WAVEFORMATEXTENSIBLE& format) {
    T* stream = new (NonPagedPoolNx, UAC1_STREAM_TAG) T(NULL, iface, 1);
    stream->AddRef();
    stream->Init(capture, static_cast<IAudioHal*>(model));
    stream->AddFormat(&format, kAltStreaming);
    stream->AllocateBuffers();
    return stream;
}

// Stops a stream whose transfers only this thread completes (Stop waits
// for the transfers in flight).
void StopLooped(CCyclicControl* stream, RecordingClient& client, FakeUsbModel* model) {
    std::atomic<bool> stopped{false};
    sim::TestThread stopper("stopper", [&] {
        stream->ClientStop(client.Handle(), nullptr);
        stopped = true;
    });
    while (!stopped) model->CompleteQueued();
    stopper.Join();
    stream->ClientRelease(client.Handle());
    stream->UnregisterClient(client.Handle());
    stream->Release();
}

// Args: high speed, channels, rate.
template <class Stream>
void RenderTransferOf(benchmark::State& state) {
    const bool high = state.range(0) != 0;
    const UCHAR channels = (UCHAR)state.range(1);
    const ULONG rate = (ULONG)state.range(2);
    StreamBench bench(Device(high, channels, rate));
    bench.model->SetLoopback(true);
    WAVEFORMATEXTENSIBLE format = PcmFormat(channels, rate, 16);
    auto* stream = MakeStream<Stream>(bench.model, kRenderInterface, 0, format);
    RecordingClient client("wave", nullptr, channels);
    client.Register(stream, CYCLIC_CLIENT_WAVE, format, 5, 3);
    ULONG fpt = 0, frame = 0;
    stream->ClientAcquire(client.Handle(), &fpt, &frame);
    stream->ClientRun(client.Handle(), frame + 2, &fpt, nullptr);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    for (auto _ : state) bench.model->CompleteQueued();
    KeLowerIrql(irql);
    state.SetBytesProcessed((int64_t)state.iterations() * (rate / 1000) * 5 * channels * 2);
    client.Clear();
    StopLooped(stream, client, bench.model);
}

// One transfer's worth of nominal packets, made by hand, delivered through
// the opened stream's ring to its client in each iteration; the stream is
// closed and released after.
void CaptureLoop(benchmark::State& state, CUsbCaptureStream* stream, RecordingClient& client, UCHAR channels,
                 ULONG rate) {
    const ULONG packets = stream->FramesPerTransfer() * stream->PacketsPerFrame();
    const ULONG slot = stream->SamplesPerPacket() * channels * 2;
    const ULONG nominal = rate / 1000 / stream->PacketsPerFrame() * channels * 2;
    std::vector<uint64_t> urb(GET_ISO_URB_SIZE(packets) / 8 + 1);
    std::vector<uint8_t> data((size_t)slot * packets, 0x5A);
    USB_TRANSFER_CONTEXT ctx = {};
    ctx.Urb = reinterpret_cast<PURB>(urb.data());
    ctx.Buffer = data.data();
    ctx.Urb->UrbIsochronousTransfer.NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; i++) ctx.Urb->UrbIsochronousTransfer.IsoPacket[i] = {i * slot, nominal, 0};
    for (auto _ : state) {
        stream->ProcessCapturedPackets(&ctx);
        client.Clear();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * packets * nominal);
    stream->ClientRelease(client.Handle());
    stream->UnregisterClient(client.Handle());
    stream->Release();
}

void RenderTransfer(benchmark::State& state) { RenderTransferOf<CUsbRenderStream>(state); }

// Chip family C's stream on the same 8-channel transfer: the data path,
// the limiter over all channels and the reduction to 2.
void StereoRenderTransfer(benchmark::State& state) { RenderTransferOf<CUsbStereoRenderStream>(state); }

// The reduction alone, in place over one transfer of 16-bit frames of
// `channels` (10 ms at the rate), against memcpy of the wire bytes.
class ReducingStream : public CUsbStereoRenderStream {
public:
    using CUsbStereoRenderStream::CUsbStereoRenderStream;
    void Use(const WAVEFORMATEXTENSIBLE& format) { m_CurrentWaveFormat = format; }
    using CUsbStereoRenderStream::ReduceToStereo;
};

void StereoReduction(benchmark::State& state) {
    const UCHAR channels = (UCHAR)state.range(1);
    const ULONG frames = (ULONG)state.range(2) / 100;
    StreamBench bench(Device(false, channels, (ULONG)state.range(2)));
    const WAVEFORMATEXTENSIBLE format = PcmFormat(channels, (ULONG)state.range(2), 16);
    auto* stream = MakeStream<ReducingStream>(bench.model, kRenderInterface, 0, format);
    stream->Use(format);
    std::vector<uint8_t> buffer((size_t)frames * channels * 2, 0x5A);
    for (auto _ : state) {
        stream->ReduceToStereo(buffer.data(), frames);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * frames * 4);
    stream->Release();
}

void WireMemcpy(benchmark::State& state) {
    const size_t bytes = (size_t)state.range(2) / 100 * 4;
    std::vector<uint8_t> a(bytes, 1), b(bytes);
    for (auto _ : state) {
        memcpy(b.data(), a.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)bytes);
}

void CaptureTransfer(benchmark::State& state) {
    const bool high = state.range(0) != 0;
    const UCHAR channels = (UCHAR)state.range(1);
    const ULONG rate = (ULONG)state.range(2);
    StreamBench bench(Device(high, channels, rate));
    WAVEFORMATEXTENSIBLE format = PcmFormat(channels, rate, 16);
    auto* stream = MakeStream<CUsbCaptureStream>(bench.model, kCaptureInterface, 1, format);
    RecordingClient client("wave", nullptr, channels);
    client.Register(stream, CYCLIC_CLIENT_WAVE, format, 5, 3);
    ULONG fpt = 0, frame = 0;
    stream->ClientAcquire(client.Handle(), &fpt, &frame);
    CaptureLoop(state, stream, client, channels, rate);
}

// memcpy of one transfer's bytes, for the ratios.
void TransferMemcpy(benchmark::State& state) {
    const size_t bytes = (size_t)(state.range(2) / 1000) * 5 * state.range(1) * 2;
    std::vector<uint8_t> a(bytes, 1), b(bytes);
    for (auto _ : state) {
        memcpy(b.data(), a.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)bytes);
}

void TransferArgs(benchmark::internal::Benchmark* b) {
    b->Args({0, 2, 48000});
    b->Args({1, 8, 192000});
}

BENCHMARK(RenderTransfer)->Apply(TransferArgs);
BENCHMARK(CaptureTransfer)->Apply(TransferArgs);
BENCHMARK(TransferMemcpy)->Apply(TransferArgs);
// 8 channels at 48 kHz, full speed: both render streams on one transfer.
BENCHMARK(RenderTransfer)->Args({0, 8, 48000});
BENCHMARK(StereoRenderTransfer)->Args({0, 8, 48000});
BENCHMARK(TransferMemcpy)->Args({0, 8, 48000});
BENCHMARK(StereoReduction)->Args({0, 8, 48000});
BENCHMARK(WireMemcpy)->Args({0, 8, 48000});

// ---- UAC 2.0 streams -------------------------------------------------------------

// A simulated UAC 2.0 device, the model over it with the clock source's
// node, and a stream of each direction.
struct Uac2Bench {
    Uac2Bench(bool high, UCHAR channels)
        : port(BuildUac2StreamDevice(Spec(high, channels))), model(FakeUsbModel::Create(port, nullptr)) {
        clock = FakeClockNode::Create(kClockUnitId, static_cast<IUsbAudioDevice*>(model));
        model->AddModelUnit(clock);
    }
    ~Uac2Bench() {
        clock->Release();
        model->Release();
    }
    static Uac2DeviceSpec Spec(bool high, UCHAR channels) {
        Uac2DeviceSpec spec;
        spec.speed = high ? simusb::UsbSpeed::High : simusb::UsbSpeed::Full;
        spec.channels = channels;
        return spec;
    }
    template <typename T>
    T* Make(UCHAR iface, ULONG capture, const WAVEFORMATEXTENSIBLE& format) {
        T* stream = new (NonPagedPoolNx, UAC2_STREAM_TAG) T(NULL, iface, capture ? 6 : 1, kClockUnitId);
        stream->AddRef();
        stream->Init(capture, static_cast<IAudioHal*>(model));
        stream->AddFormat(&format, kAltStreaming);
        stream->AllocateBuffers();
        return stream;
    }
    simusb::SimUsbPort port;
    FakeUsbModel* model;
    FakeClockNode* clock;
};

// Args: high speed, channels, rate. One iteration: a feedback and a data
// completion, the next pair built, filled and processed.
void AsyncRenderTransfer(benchmark::State& state) {
    const bool high = state.range(0) != 0;
    const UCHAR channels = (UCHAR)state.range(1);
    const ULONG rate = (ULONG)state.range(2);
    Uac2Bench bench(high, channels);
    bench.model->SetLoopback(true);
    WAVEFORMATEXTENSIBLE format = PcmFormat(channels, rate, 16);
    auto* stream = bench.Make<CUsbAsyncRenderStream>(kRenderInterface, 0, format);
    RecordingClient client("wave", nullptr, channels);
    client.Register(stream, CYCLIC_CLIENT_WAVE, format, 10, 3);
    ULONG fpt = 0, frame = 0;
    stream->ClientAcquire(client.Handle(), &fpt, &frame);
    stream->ClientRun(client.Handle(), frame + 2, &fpt, nullptr);
    if (!stream->HasFeedback()) state.SkipWithError("no feedback pipe");
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    for (auto _ : state) {
        bench.model->CompleteQueued();
        bench.model->CompleteQueued();
        client.Clear();
    }
    KeLowerIrql(irql);
    state.SetBytesProcessed((int64_t)state.iterations() * (rate / 100) * channels * 2);
    StopLooped(stream, client, bench.model);
}

void CaptureExTransfer(benchmark::State& state) {
    const bool high = state.range(0) != 0;
    const UCHAR channels = (UCHAR)state.range(1);
    const ULONG rate = (ULONG)state.range(2);
    Uac2Bench bench(high, channels);
    WAVEFORMATEXTENSIBLE format = PcmFormat(channels, rate, 16);
    auto* stream = bench.Make<CUsbCaptureStreamEx>(kCaptureInterface, 1, format);
    RecordingClient client("wave", nullptr, channels);
    client.Register(stream, CYCLIC_CLIENT_WAVE, format, 10, 3);
    ULONG fpt = 0, frame = 0;
    stream->ClientAcquire(client.Handle(), &fpt, &frame);
    CaptureLoop(state, stream, client, channels, rate);
}

void Uac2TransferArgs(benchmark::internal::Benchmark* b) {
    b->Args({0, 2, 48000});
    b->Args({1, 8, 192000});
}

BENCHMARK(AsyncRenderTransfer)->Apply(Uac2TransferArgs);
BENCHMARK(CaptureExTransfer)->Apply(Uac2TransferArgs);

// Ten simulated seconds of a UAC 2.0 render stream with feedback from a
// device whose clock runs 300 ppm fast.
void AsyncRealTime(benchmark::State& state) {
    Uac2Bench bench(true, 8);
    WAVEFORMATEXTENSIBLE format = PcmFormat(8, 192000, 16);
    auto* render = bench.Make<CUsbAsyncRenderStream>(kRenderInterface, 0, format);
    RecordingClient out("out", nullptr, 8);
    ULONG fpt = 0, frame = 0;
    out.Register(render, CYCLIC_CLIENT_WAVE, format, 10, 3);
    render->ClientAcquire(out.Handle(), &fpt, &frame);
    render->ClientRun(out.Handle(), frame + 2, &fpt, nullptr);
    {
        auto lock = bench.port.device().lock();
        bench.port.device().Sink(kRenderEndpoint)->SetRecording(false);
        bench.port.device().Sink(kRenderEndpoint)->SetDriftPpm(300);
    }
    double simulated = 0;
    for (auto _ : state) {
        sim::Sleep(10 * sim::kTicksPerSecond);
        simulated += 10;
        out.Clear();
    }
    state.counters["sim_s_per_wall_s"] = benchmark::Counter(simulated, benchmark::Counter::kIsRate);
    render->ClientStop(out.Handle(), nullptr);
    render->ClientRelease(out.Handle());
    render->UnregisterClient(out.Handle());
    render->Release();
}

BENCHMARK(AsyncRealTime)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Ten simulated seconds of a render and a capture stream, both running.
void RealTime(benchmark::State& state) {
    StreamBench bench(Device(false, 2, 48000));
    WAVEFORMATEXTENSIBLE format = PcmFormat(2, 48000, 16);
    auto* render = MakeStream<CUsbRenderStream>(bench.model, kRenderInterface, 0, format);
    auto* capture = MakeStream<CUsbCaptureStream>(bench.model, kCaptureInterface, 1, format);
    RecordingClient out("out", nullptr, 2), in("in", nullptr, 2);
    ULONG fpt = 0, frame = 0;
    out.Register(render, CYCLIC_CLIENT_WAVE, format, 5, 3);
    in.Register(capture, CYCLIC_CLIENT_WAVE, format, 5, 3);
    render->ClientAcquire(out.Handle(), &fpt, &frame);
    render->ClientRun(out.Handle(), frame + 2, &fpt, nullptr);
    capture->ClientAcquire(in.Handle(), &fpt, &frame);
    capture->ClientRun(in.Handle(), frame + 2, &fpt, nullptr);
    double simulated = 0;
    for (auto _ : state) {
        sim::Sleep(10 * sim::kTicksPerSecond);
        simulated += 10;
        out.Clear();
        in.Clear();
    }
    state.counters["sim_s_per_wall_s"] = benchmark::Counter(simulated, benchmark::Counter::kIsRate);
    for (auto* s : {(CCyclicControl*)render, (CCyclicControl*)capture}) {
        PVOID handle = s == render ? out.Handle() : in.Handle();
        s->ClientStop(handle, nullptr);
        s->ClientRelease(handle);
        s->UnregisterClient(handle);
        s->Release();
    }
}

BENCHMARK(RealTime)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    sim::KernelScope scope(sim::ExecutorOptions::FromEnvironment());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    sim::ScopeReport report = scope.Finish();
    if (!report.Clean()) {
        std::fprintf(stderr, "%s", report.problems.c_str());
        return 1;
    }
    return 0;
}

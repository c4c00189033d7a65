// The wave-cyclic stream's share of the isochronous loop, and the whole
// driver through the host program.
//
//   WaveMessages/<format>   per 5 ms transfer: the RENDER_FILL copy out of
//                           the cyclic buffer, the BYTES_DONE position
//                           update with the port's notification, and one
//                           GetPosition; "ratio_to_memcpy" divides by a
//                           memcpy of the transfer's bytes
//   HostPlayback, HostCapture  the real driver on the built-in headset
//                           through the port-class pin, 10 simulated
//                           seconds; "sim_per_wall" is simulated seconds
//                           per wall second (the real-time factor)
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "sim/executor.h"
#include "stream/wave/miniport_wave_cyclic_stream.h"
#include "tests/fakes/stream/formats.h"
#include "tests/fakes/wave/fake_cyclic_engine.h"
#include "tests/fakes/wave/fake_wave_adapter.h"
#include "tools/host/host_stream.h"

namespace {

using Clock = std::chrono::steady_clock;

double MemcpyNanoseconds(size_t bytes) {
    std::vector<uint8_t> from(bytes, 1), to(bytes);
    const int rounds = 20000;
    auto start = Clock::now();
    for (int i = 0; i < rounds; i++) {
        memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / rounds;
}

// A running wave stream on a scripted USB stream, its miniport on a
// counting port; messages are handed to the stream directly, as the USB
// stream's callback object would.
void WaveMessages(benchmark::State& state, WAVEFORMATEXTENSIBLE format) {
    sim::KernelScope scope;
    auto* engine = wavefakes::FakeCyclicEngine::Create(false, {format});
    auto* adapter = wavefakes::FakeWaveAdapter::Create({engine});
    auto* port = wavefakes::FakeWavePort::Create();
    PUNKNOWN unknown = NULL;
    CreateMiniportWaveCyclic(&unknown, CLSID_PortWaveCyclic, NULL, NonPagedPoolNx, 0);
    IMiniportWaveCyclic* wave = NULL;
    unknown->QueryInterface(IID_IMiniportWaveCyclic, (PVOID*)&wave);
    wave->Init(static_cast<IAudioHal*>(adapter), NULL, port);
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE connect = {};
    connect.DataFormat = {{sizeof(connect), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_PCM,
                           KSDATAFORMAT_SPECIFIER_WAVEFORMATEX}};
    connect.WaveFormatExt = format;
    PMINIPORTWAVECYCLICSTREAM stream = NULL;
    PDMACHANNEL dma = NULL;
    PSERVICEGROUP group = NULL;
    wave->NewStream(&stream, NULL, NonPagedPoolNx, 0, FALSE, &connect.DataFormat, &dma, &group);
    for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) stream->SetState(s);
    auto* object = static_cast<CMiniportWaveCyclicStream*>(stream);

    const ULONG bytes = format.Format.nAvgBytesPerSec / 1000 * 5;
    std::vector<UCHAR> transfer(bytes);
    CYCLIC_CONTROL_MSG fill = {engine->Registered(), CYCLIC_MSG_RENDER_FILL, {transfer.data()}, bytes};
    CYCLIC_CONTROL_MSG done = {engine->Registered(), CYCLIC_MSG_BYTES_DONE, {NULL}, 0};
    done.Bytes = bytes;
    const double memcpyNs = MemcpyNanoseconds(bytes);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    ULONG position = 0;
    auto start = Clock::now();
    for (auto _ : state) {
        object->OnCyclicControlMsg(&fill);
        object->OnCyclicControlMsg(&done);
        stream->GetPosition(&position);
        benchmark::DoNotOptimize(position);
    }
    double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / state.iterations();
    KeLowerIrql(irql);
    state.counters["ratio_to_memcpy"] = ns / memcpyNs;
    state.SetBytesProcessed((int64_t)state.iterations() * bytes);

    for (KSSTATE s : {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}) stream->SetState(s);
    group->Release();
    dma->Release();
    stream->Release();
    wave->Release();
    unknown->Release();
    port->Release();
    adapter->Release();
    engine->Release();
}

BENCHMARK_CAPTURE(WaveMessages, Stereo16At48k, streamfakes::PcmFormat(2, 48000, 16));
BENCHMARK_CAPTURE(WaveMessages, Eight32At192k, streamfakes::PcmFormat(8, 192000, 32));

constexpr double kHostSeconds = 10.0;

void HostRun(benchmark::State& state, bool capture) {
    double simulated = 0, wall = 0;
    for (auto _ : state) {
        sim::KernelScope scope;
        {
            host::HostSession session;
            std::string error;
            session.PlugDevice({}, &error);
            session.Start();
            WAVEFORMATEXTENSIBLE format = streamfakes::PcmFormat(2, 48000, 16);
            std::vector<uint8_t> tone = host::ToneBytes(format, 1000, -20, kHostSeconds);
            auto start = Clock::now();
            host::StreamRun run = capture ? host::Record(session, kHostSeconds, nullptr)
                                          : host::Play(session, format, tone, nullptr);
            wall += std::chrono::duration<double>(Clock::now() - start).count();
            simulated += kHostSeconds;
            if (!NT_SUCCESS(run.status)) state.SkipWithError(run.error.c_str());
        }
        scope.Finish();
    }
    state.counters["sim_per_wall"] = simulated / wall;
}

BENCHMARK_CAPTURE(HostRun, HostPlayback, false)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(HostRun, HostCapture, true)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();

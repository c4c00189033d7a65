// Per-chunk cost of the software processing nodes, run at DISPATCH_LEVEL
// as the stream engine runs them, beside the plain operation each one
// stands for: memset for silencing, a scalar multiply loop for the
// attenuation, an empty call for the pass-through cases and the pointer
// swap. Arguments: frames per chunk (480, 512) and channels (2, 6, 8).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "sim/executor.h"
#include "topology/dsp_mute_node.h"
#include "topology/jack_state_node.h"
#include "topology/remap_nodes.h"

namespace {

constexpr ULONG kUnitTag = MakePoolTag("BUnt");

struct Chunk {
    Chunk(ULONG frames, ULONG channels) : buffers(channels, std::vector<float>(frames, 0.5f)), table(8, nullptr) {
        for (ULONG c = 0; c < channels; ++c) table[c] = buffers[c].data();
        format.Format.wFormatTag = WAVE_FORMAT_PCM;
        format.Format.nChannels = (USHORT)channels;
        format.Format.nBlockAlign = (USHORT)(4 * channels);
    }
    std::vector<std::vector<float>> buffers;
    std::vector<float*> table;
    WAVEFORMATEXTENSIBLE format = {};
};

// Runs body once per iteration at DISPATCH_LEVEL.
template <class Body>
void AtDispatch(benchmark::State& state, Body body) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (auto _ : state) {
        body();
        benchmark::ClobberMemory();
    }
    KeLowerIrql(old);
}

IDspNode* MuteNode(bool muted) {
    CDspMuteNode* node = new (NonPagedPoolNx, kUnitTag) CDspMuteNode(NULL, 1);
    node->AddRef();
    node->Init(0, 1);
    node->SetValue(0, muted ? 1 : 0);
    return node;
}

IDspNode* JackNode(ULONG jackState) {
    CJackStateNode* node = new (NonPagedPoolNx, DSP_REMAP_NODE_TAG) CJackStateNode(NULL);
    node->AddRef();
    node->SetState(jackState);
    return node;
}

void RunNode(benchmark::State& state, IDspNode* node) {
    Chunk chunk((ULONG)state.range(0), (ULONG)state.range(1));
    ULONG frames = (ULONG)state.range(0);
    AtDispatch(state, [&] { node->Process(&chunk.format, chunk.table.data(), frames); });
    node->Release();
}

void BM_MuteMuted(benchmark::State& s) { RunNode(s, MuteNode(true)); }
void BM_MuteUnmuted(benchmark::State& s) { RunNode(s, MuteNode(false)); }
void BM_JackPass(benchmark::State& s) { RunNode(s, JackNode(JACK_STATE_PASS)); }
void BM_JackAttenuate(benchmark::State& s) { RunNode(s, JackNode(JACK_STATE_ATTENUATE)); }
void BM_JackSilence(benchmark::State& s) { RunNode(s, JackNode(JACK_STATE_SILENCE)); }
void BM_ChannelSwap(benchmark::State& s) {
    CChannelSwapProcessor* node = new (NonPagedPoolNx, DSP_REMAP_NODE_TAG) CChannelSwapProcessor(NULL);
    node->AddRef();
    RunNode(s, node);
}

// The remapped family's processed nodes with their condition met (the
// S/PDIF profile, channel 0 muted, every channel at -6 dB).
void BM_ProcessedMuteMuted(benchmark::State& s) {
    CProcessedMuteNode* node = new (NonPagedPoolNx, REMAP_NODE_TAG) CProcessedMuteNode(NULL, 1);
    node->AddRef();
    node->CBoolUnit::Init(0, 1);
    node->CBoolUnit::SetValue(0, 1);
    node->CBoolUnit::SelectProfile(ENDPOINT_SPDIF, NULL);
    RunNode(s, node);
}
void BM_ProcessedVolume(benchmark::State& s) {
    CProcessedVolumeNode* node = new (NonPagedPoolNx, REMAP_NODE_TAG) CProcessedVolumeNode(NULL, 1);
    node->AddRef();
    node->CLevelUnit::Init(0, (ULONG)s.range(1), 0, -96 * 65536, 65536);
    for (ULONG c = 0; c < (ULONG)s.range(1); ++c) node->CLevelUnit::SetValue(c, -6 * 65536);
    // Nothing stored for the profile: the levels stay, the gains follow.
    node->SelectProfile(ENDPOINT_SPDIF, NULL);
    RunNode(s, node);
}

void BM_PeerMemset(benchmark::State& state) {
    Chunk chunk((ULONG)state.range(0), (ULONG)state.range(1));
    AtDispatch(state, [&] {
        for (float* p : chunk.table) {
            if (p) memset(p, 0, (size_t)state.range(0) * sizeof(float));
        }
    });
}

void BM_PeerScalarMultiply(benchmark::State& state) {
    Chunk chunk((ULONG)state.range(0), (ULONG)state.range(1));
    const int64_t frames = state.range(0);
    AtDispatch(state, [&] {
        for (float* p : chunk.table) {
            if (p == nullptr) continue;
            for (int64_t i = 0; i < frames; ++i) p[i] *= 0.25f;
        }
    });
}

__attribute__((noinline)) NTSTATUS EmptyCall(const WAVEFORMATEXTENSIBLE*, PVOID, ULONG) {
    benchmark::ClobberMemory();
    return STATUS_SUCCESS;
}

void BM_PeerEmptyCall(benchmark::State& state) {
    Chunk chunk((ULONG)state.range(0), (ULONG)state.range(1));
    NTSTATUS (*volatile call)(const WAVEFORMATEXTENSIBLE*, PVOID, ULONG) = EmptyCall;
    AtDispatch(state, [&] { call(&chunk.format, chunk.table.data(), (ULONG)state.range(0)); });
}

#define CHUNKS ArgsProduct({{480, 512}, {2, 6, 8}})
BENCHMARK(BM_MuteMuted)->CHUNKS;
BENCHMARK(BM_MuteUnmuted)->CHUNKS;
BENCHMARK(BM_JackPass)->CHUNKS;
BENCHMARK(BM_JackAttenuate)->CHUNKS;
BENCHMARK(BM_JackSilence)->CHUNKS;
BENCHMARK(BM_ChannelSwap)->CHUNKS;
BENCHMARK(BM_ProcessedMuteMuted)->CHUNKS;
BENCHMARK(BM_ProcessedVolume)->CHUNKS;
BENCHMARK(BM_PeerMemset)->CHUNKS;
BENCHMARK(BM_PeerScalarMultiply)->CHUNKS;
BENCHMARK(BM_PeerEmptyCall)->CHUNKS;

}  // namespace

// The nodes run on the kernel stand-in: one executor for the whole run.
int main(int argc, char** argv) {
    sim::KernelScope scope(sim::ExecutorOptions::FromEnvironment());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    scope.Finish();
    return 0;
}

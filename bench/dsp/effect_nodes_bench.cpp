// Process of the surround and headphone effect nodes at DISPATCH_LEVEL, as
// the stream engine runs them: 48 kHz with 2, 6 and 8 channels and 96 kHz
// with 8, calls of 48, 480 and 512 frames, the switch steady off, steady on
// and in the block of a change (the cross-fade). Beside them, each node's
// engine alone on the same blocks and a memcpy of 2 x channels x frames
// floats, for the node's own cost.
//
// Counters per case: mean_us and max_us per call, rtf (the mean call against
// the frames' real-time duration; below 1 keeps up with the stream).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

#include "common/zvk/zvkheadphone.h"
#include "dsp/effect_nodes.h"
#include "dsp/surround_virtualizer.h"
#include "sim/executor.h"
#include "topology/uac_controls.h"

namespace {

constexpr ULONG kBenchTag = MakePoolTag("BEfx");

// The entity a switch binds to: every switch request is accepted.
class BenchEntity : public IBoolControl, public CUnknown {
public:
    BenchEntity() : CUnknown(NULL) {}
    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override {
        if (IsEqualGUID(iid, IID_IBoolControl)) return ReturnInterface(static_cast<IBoolControl*>(this), out);
        return CUnknown::NonDelegatingQueryInterface(iid, out);
    }
    NTSTATUS GetBool(ULONG, ULONG, UCHAR* value) override {
        *value = 0;
        return STATUS_SUCCESS;
    }
    NTSTATUS SetBool(ULONG, ULONG, UCHAR) override { return STATUS_SUCCESS; }
    NTSTATUS GetBoolChannelCount(ULONG, ULONG* count) override {
        *count = 1;
        return STATUS_SUCCESS;
    }
    NTSTATUS CreateNodes(IAudioHal*) override { return STATUS_SUCCESS; }
};

WAVEFORMATEXTENSIBLE Pcm(ULONG channels, ULONG rate) {
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_PCM;
    f.Format.nChannels = (WORD)channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = 16;
    f.Format.nBlockAlign = (WORD)(2 * channels);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    return f;
}

struct Blocks {
    explicit Blocks(ULONG frames) : data(EFFECT_SET_CHANNELS, std::vector<float>(frames)), table(EFFECT_SET_CHANNELS) {
        for (ULONG c = 0; c < EFFECT_SET_CHANNELS; ++c) {
            for (ULONG i = 0; i < frames; ++i) data[c][i] = 0.3f * std::sin(0.01f * (float)((c + 1) * i));
            table[c] = data[c].data();
        }
    }
    std::vector<std::vector<float>> data;
    std::vector<float*> table;
};

enum Switch { kOff = 0, kOn = 1, kFade = 2 };

// Times each call by itself at DISPATCH_LEVEL: mean and maximum per call,
// real-time factor. prepare runs before each call at PASSIVE_LEVEL,
// untimed.
template <class Call, class Prepare>
void Timed(benchmark::State& state, ULONG frames, ULONG rate, Call call, Prepare prepare) {
    double total = 0, worst = 0;
    for (auto _ : state) {
        state.PauseTiming();
        prepare();
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        call();
        const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
        total += us;
        worst = std::max(worst, us);
        benchmark::ClobberMemory();
        state.PauseTiming();
        KeLowerIrql(old);
        state.ResumeTiming();
    }
    const double mean = total / (double)state.iterations();
    state.counters["mean_us"] = mean;
    state.counters["max_us"] = worst;
    state.counters["rtf"] = mean / (1e6 * frames / rate);
}

template <class Call>
void Timed(benchmark::State& state, ULONG frames, ULONG rate, Call call) {
    Timed(state, frames, rate, call, [] {});
}

template <class Node>
void RunNode(benchmark::State& state, ULONG cs) {
    const ULONG rate = (ULONG)state.range(0), channels = (ULONG)state.range(1), frames = (ULONG)state.range(2);
    const Switch mode = (Switch)state.range(3);
    BenchEntity* entity = new (NonPagedPoolNx, kBenchTag) BenchEntity();
    entity->AddRef();
    Node* node = new (NonPagedPoolNx, EFFECT_NODE_TAG) Node(NULL, 7);
    static_cast<IUacUnit*>(node)->AddRef();
    node->Init(static_cast<IBoolControl*>(entity), cs, NULL);
    const WAVEFORMATEXTENSIBLE format = Pcm(channels, rate);
    node->SetFormat(&format);
    Blocks blocks(frames);
    IDspNode* dsp = node;
    IEffectUnit* effect = node;
    effect->SetValue(mode == kOn ? 1 : 0);
    dsp->Process(&format, blocks.table.data(), frames);  // latches the switch
    BYTE on = 0;
    Timed(
        state, frames, rate, [&] { dsp->Process(&format, blocks.table.data(), frames); },
        [&] {
            if (mode == kFade) {
                // The control path's part of a change; the node then fades.
                on ^= 1;
                effect->SetValue(on);
            }
        });
    static_cast<IUacUnit*>(node)->Release();
    entity->Release();
}

void BM_Surround(benchmark::State& state) { RunNode<CSurroundEffect>(state, UAC_CS_VENDOR_SWITCH_B); }
void BM_Headphone(benchmark::State& state) { RunNode<CHeadphoneEffect>(state, UAC_CS_VENDOR_SWITCH_C); }

// The engines alone, set up as the nodes set them up.
void BM_VirtualizerAlone(benchmark::State& state) {
    const ULONG rate = (ULONG)state.range(0), channels = (ULONG)state.range(1), frames = (ULONG)state.range(2);
    CSurroundVirtualizer* v = new (NonPagedPoolNx, kBenchTag) CSurroundVirtualizer();
    v->Init();
    v->SetFormat((int)rate, (int)channels - 1);
    Blocks blocks(frames);
    Timed(state, frames, rate, [&] { v->Process(blocks.table.data(), blocks.table.data(), (int)frames); });
    delete v;
}

void BM_HeadphoneAlone(benchmark::State& state) {
    const ULONG rate = (ULONG)state.range(0), channels = (ULONG)state.range(1), frames = (ULONG)state.range(2);
    CZvkHeadphone* w = new (NonPagedPoolNx, kBenchTag) CZvkHeadphone();
    WAVEFORMATEX format = {WAVE_FORMAT_IEEE_FLOAT, (WORD)channels, rate, rate * channels * 2, (WORD)(channels * 2), 16, 0};
    w->SetFormat(&format);
    w->SetEnable(1);
    w->SetSpeakerMode(0);
    w->SetHeadphoneAngle(3);
    w->SetSpeakerAngle(3);
    w->SetCTCAngle(0);
    Blocks blocks(frames);
    Timed(state, frames, rate, [&] { w->Process(blocks.table.data(), (int)frames); });
    delete w;
}

// The copies a node cannot avoid: 2 x channels x frames floats.
void BM_PeerMemcpy(benchmark::State& state) {
    const ULONG rate = (ULONG)state.range(0), channels = (ULONG)state.range(1), frames = (ULONG)state.range(2);
    Blocks from(frames), to(frames);
    Timed(state, frames, rate, [&] {
        for (int copy = 0; copy < 2; ++copy)
            for (ULONG c = 0; c < channels; ++c) memcpy(to.table[c], from.table[c], frames * sizeof(float));
    });
}

void NodeCases(benchmark::internal::Benchmark* b) {
    for (long frames : {48, 480, 512}) {
        for (long sw : {kOff, kOn, kFade}) {
            for (long channels : {2, 6, 8}) b->Args({48000, channels, frames, sw});
            b->Args({96000, 8, frames, sw});
        }
    }
}

void PeerCases(benchmark::internal::Benchmark* b) {
    for (long frames : {48, 480, 512}) {
        for (long channels : {2, 6, 8}) b->Args({48000, channels, frames});
        b->Args({96000, 8, frames});
    }
}

BENCHMARK(BM_Surround)->Apply(NodeCases);
BENCHMARK(BM_Headphone)->Apply(NodeCases);
BENCHMARK(BM_VirtualizerAlone)->Apply(PeerCases);
BENCHMARK(BM_HeadphoneAlone)->Apply(PeerCases);
BENCHMARK(BM_PeerMemcpy)->Apply(PeerCases);

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

// DSP blocks per 512-frame block. Every case reports "rt_factor": seconds
// of audio processed per second of wall time (the inverse of the time per
// block over the block's duration: 10.67 ms at 48 kHz, 5.33 ms at 96 kHz,
// 2.67 ms at 192 kHz). Peers run on the same buffers for the ratios.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "dsp/interleave_src.h"
#include "dsp/limiter.h"
#include "dsp/mix_channels.h"
#include "dsp/rate_converters.h"
#include "dsp/surround_virtualizer.h"
#include "sim/executor.h"
#include "tests/primitives/support/mxcsr.h"
#ifdef DSP_BENCH_SAMPLERATE
#include <samplerate.h>
#endif

namespace {

constexpr int kBlock = 512;

void RealTime(benchmark::State& state, double frames, double rate) {
    state.counters["rt_factor"] =
        benchmark::Counter(frames / rate * (double)state.iterations(), benchmark::Counter::kIsRate);
}

struct Set {
    std::vector<std::vector<float>> data;
    std::vector<float*> ptrs;
    Set(int channels, int frames, unsigned seed, float amp) : data((size_t)channels, std::vector<float>((size_t)frames)) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> u(-amp, amp);
        for (auto& ch : data) {
            for (float& v : ch) v = u(rng);
            ptrs.push_back(ch.data());
        }
    }
};

// ---- Surround virtualizer ----------------------------------------------------

// Arguments: rate, mode, tail. With tail set, the network rings out after
// a loud block on silent input, where decaying state could stall on
// subnormal numbers (the data path flushes them to zero).
void BM_Virtualizer(benchmark::State& state) {
    sptest::MxcsrScope mxcsr(sptest::kMxcsrDataPath);
    const int rate = (int)state.range(0), mode = (int)state.range(1);
    const bool tail = state.range(2) != 0;
    CSurroundVirtualizer* v = new (NonPagedPoolNx, MakePoolTag("DoHP")) CSurroundVirtualizer();
    v->Init();
    v->SetFormat(rate, mode);
    Set loud(8, kBlock, 4, 0.9f);
    Set in(8, kBlock, 5, tail ? 0.0f : 0.5f);
    std::vector<float> left(kBlock), right(kBlock);
    float* out[2] = {left.data(), right.data()};
    v->Process(loud.ptrs.data(), out, kBlock);
    for (auto _ : state) {
        v->Process(in.ptrs.data(), out, kBlock);
        benchmark::DoNotOptimize(left[0]);
    }
    RealTime(state, kBlock, (double)rate);
    delete v;
}
BENCHMARK(BM_Virtualizer)
    ->ArgNames({"rate", "mode", "tail"})
    ->Args({48000, 5, 0})
    ->Args({48000, 7, 0})
    ->Args({96000, 5, 0})
    ->Args({96000, 7, 0})
    ->Args({48000, 7, 1});

// ---- MixChannels ----------------------------------------------------------------

void BM_MixChannels(benchmark::State& state) {
    sptest::MxcsrScope mxcsr(sptest::kMxcsrDataPath);
    const ULONG nIn = (ULONG)state.range(0);
    const BOOLEAN plain = (BOOLEAN)state.range(1);
    Set set(8, kBlock, 1, 0.5f);
    Set source(8, kBlock, 1, 0.5f);
    for (auto _ : state) {
        // The fold writes channels 0 and 1 from the others; refresh them so
        // every block folds the same values.
        std::memcpy(set.ptrs[0], source.ptrs[0], kBlock * sizeof(float));
        std::memcpy(set.ptrs[1], source.ptrs[1], kBlock * sizeof(float));
        MixChannels(set.ptrs.data(), nIn, 2, kBlock, plain);
        benchmark::DoNotOptimize(set.ptrs[0][0]);
    }
    RealTime(state, kBlock, 96000.0);
}
BENCHMARK(BM_MixChannels)->ArgNames({"in", "plain"})->Args({8, 1})->Args({8, 0})->Args({6, 1})->Args({6, 0});

// Peer: the weighted 8 -> 2 formulas as one plain loop.
void BM_MixChannelsPlainLoopPeer(benchmark::State& state) {
    sptest::MxcsrScope mxcsr(sptest::kMxcsrDataPath);
    Set set(8, kBlock, 1, 0.5f);
    Set source(8, kBlock, 1, 0.5f);
    const float h = 0.707f, b2 = 0.4355f, c2 = 0.245f;
    for (auto _ : state) {
        std::memcpy(set.ptrs[0], source.ptrs[0], kBlock * sizeof(float));
        std::memcpy(set.ptrs[1], source.ptrs[1], kBlock * sizeof(float));
        float** x = set.ptrs.data();
        for (int t = 0; t < kBlock; ++t) {
            float centre = h * (x[2][t] + x[3][t]);
            float l = ((centre - b2 * (x[4][t] + x[6][t])) - c2 * (x[5][t] + x[7][t])) + x[0][t];
            float r = ((centre + c2 * (x[4][t] + x[6][t])) + b2 * (x[5][t] + x[7][t])) + x[1][t];
            x[0][t] = l;
            x[1][t] = r;
        }
        benchmark::DoNotOptimize(set.ptrs[0][0]);
    }
    RealTime(state, kBlock, 96000.0);
}
BENCHMARK(BM_MixChannelsPlainLoopPeer);

// Peer: a memcpy of the bytes an 8 -> 2 fold reads.
void BM_MixChannelsMemcpyPeer(benchmark::State& state) {
    Set set(8, kBlock, 1, 0.5f);
    std::vector<float> out(8 * kBlock);
    for (auto _ : state) {
        for (int c = 0; c < 8; ++c) std::memcpy(out.data() + c * kBlock, set.ptrs[(size_t)c], kBlock * sizeof(float));
        benchmark::DoNotOptimize(out[0]);
    }
    RealTime(state, kBlock, 96000.0);
}
BENCHMARK(BM_MixChannelsMemcpyPeer);

// ---- limiter -----------------------------------------------------------------------

struct LimiterRig {
    CLimiter* limiter;
    explicit LimiterRig(int channels) {
        limiter = new (NonPagedPoolNx, MakePoolTag("USBS")) CLimiter();
        limiter->AllocateBuffers();
        limiter->SetMode(0);
        limiter->SetMakeupGain(1.0f);
        limiter->SetThreshold(1.0f);
        WAVEFORMATEXTENSIBLE f;
        std::memset(&f, 0, sizeof(f));
        f.Format.nChannels = (USHORT)channels;
        f.Format.nSamplesPerSec = 48000;
        limiter->SetFormat(&f);
    }
    ~LimiterRig() {
        limiter->FreeBuffers();
        delete limiter;
    }
};

// Arguments: channels, frames per call, attack-heavy (a loud burst in
// every other block, so the gain ramps down and back all the time).
void BM_Limiter(benchmark::State& state) {
    sptest::MxcsrScope mxcsr(sptest::kMxcsrDataPath);
    const int channels = (int)state.range(0), call = (int)state.range(1);
    const bool attack = state.range(2) != 0;
    LimiterRig rig(channels);
    Set set(channels, kBlock, 2, 0.3f);
    if (attack)
        for (auto& ch : set.data)
            for (int t = 0; t < kBlock; t += 256) ch[(size_t)t] = 3.0f;
    std::vector<std::vector<float>> source = set.data;
    std::vector<float*> ptrs((size_t)channels);
    for (auto _ : state) {
        state.PauseTiming();
        for (int c = 0; c < channels; ++c) set.data[(size_t)c] = source[(size_t)c];
        state.ResumeTiming();
        for (int done = 0; done < kBlock; done += call) {
            for (int c = 0; c < channels; ++c) ptrs[(size_t)c] = set.ptrs[(size_t)c] + done;
            rig.limiter->Process(ptrs.data(), std::min(call, kBlock - done));
        }
        benchmark::DoNotOptimize(set.ptrs[0][0]);
    }
    RealTime(state, kBlock, 48000.0);
}
BENCHMARK(BM_Limiter)
    ->ArgNames({"ch", "call", "attack"})
    ->Args({2, 512, 0})
    ->Args({2, 48, 0})
    ->Args({2, 512, 1})
    ->Args({8, 512, 0})
    ->Args({8, 48, 0})
    ->Args({8, 512, 1});

// Peer: a plain per-sample ramped gain over the same channels.
void BM_LimiterRampedGainPeer(benchmark::State& state) {
    sptest::MxcsrScope mxcsr(sptest::kMxcsrDataPath);
    const int channels = (int)state.range(0);
    Set set(channels, kBlock, 2, 0.3f);
    float gain = 1.0f;
    for (auto _ : state) {
        for (int c = 0; c < channels; ++c) {
            float g = gain, step = (0.5f - g) / (float)kBlock;
            float* x = set.ptrs[(size_t)c];
            for (int t = 0; t < kBlock; ++t) {
                x[t] *= g;
                g += step;
            }
        }
        benchmark::DoNotOptimize(set.ptrs[0][0]);
    }
    RealTime(state, kBlock, 48000.0);
}
BENCHMARK(BM_LimiterRampedGainPeer)->ArgNames({"ch"})->Arg(2)->Arg(8);

// ---- rate converters ----------------------------------------------------------------

// Arguments: converter (2, 4, or 441 for 44.1 <-> 48 kHz), up.
void BM_Converter(benchmark::State& state) {
    sptest::MxcsrScope mxcsr(sptest::kMxcsrDataPath);
    const int kind = (int)state.range(0);
    const bool up = state.range(1) != 0;
    CSampleRateConverter* c = nullptr;
    if (kind == 2) c = new (NonPagedPoolNx, DSP_FORMAT_LAYER_TAG) CSrcRatio2();
    else if (kind == 4) c = new (NonPagedPoolNx, DSP_FORMAT_LAYER_TAG) CSrcRatio4();
    else c = new (NonPagedPoolNx, DSP_FORMAT_LAYER_TAG) CSrc44k48k();
    c->Init();
    c->m_bUp = up ? TRUE : FALSE;
    c->Reset();
    Set set(1, kBlock, 3, 0.9f);
    for (auto _ : state) {
        int count = kBlock;
        c->Process(0, set.ptrs[0], &count);
        c->m_nOutPos[0] = 0;
        benchmark::DoNotOptimize(c->m_pChannelOut[0][0]);
    }
    // The block's duration at its input rate.
    double rate = kind == 441 ? (up ? 44100.0 : 48000.0) : (up ? 48000.0 : 48000.0 * kind);
    RealTime(state, kBlock, rate);
    if (kind == 2) delete static_cast<CSrcRatio2*>(c);
    else if (kind == 4) delete static_cast<CSrcRatio4*>(c);
    else delete static_cast<CSrc44k48k*>(c);
}
BENCHMARK(BM_Converter)
    ->ArgNames({"kind", "up"})
    ->Args({2, 1})
    ->Args({2, 0})
    ->Args({4, 1})
    ->Args({4, 0})
    ->Args({441, 1})
    ->Args({441, 0});

#ifdef DSP_BENCH_SAMPLERATE
// Context: libsamplerate's fastest sinc converter on the same block.
void BM_ConverterSamplerateContext(benchmark::State& state) {
    const double ratio = (double)state.range(0) / (double)state.range(1);
    int error = 0;
    SRC_STATE* src = src_new(SRC_SINC_FASTEST, 1, &error);
    Set set(1, kBlock, 3, 0.9f);
    std::vector<float> out((size_t)(kBlock * ratio) + 16);
    for (auto _ : state) {
        SRC_DATA d;
        std::memset(&d, 0, sizeof(d));
        d.data_in = set.ptrs[0];
        d.input_frames = kBlock;
        d.data_out = out.data();
        d.output_frames = (long)out.size();
        d.src_ratio = ratio;
        src_process(src, &d);
        benchmark::DoNotOptimize(out[0]);
    }
    src_delete(src);
    RealTime(state, kBlock, (double)state.range(1));
}
BENCHMARK(BM_ConverterSamplerateContext)
    ->ArgNames({"out", "in"})
    ->Args({96000, 48000})
    ->Args({48000, 96000})
    ->Args({192000, 48000})
    ->Args({48000, 192000})
    ->Args({48000, 44100})
    ->Args({44100, 48000});
#endif

// ---- format layer -------------------------------------------------------------------

// SetFormat + ResetAll, the work done under the wave stream's spin lock
// on every format change (duration ratio against one 48 kHz block).
void BM_FormatLayerSetFormat(benchmark::State& state) {
    CDspInterleaveSrc* layer = new (NonPagedPoolNx, MakePoolTag("CCST")) CDspInterleaveSrc();
    layer->Init();
    WAVEFORMATEXTENSIBLE in, out;
    std::memset(&in, 0, sizeof(in));
    in.Format.wFormatTag = 1;
    in.Format.nChannels = 2;
    in.Format.nSamplesPerSec = 176400;
    in.Format.wBitsPerSample = 24;
    out = in;
    out.Format.nSamplesPerSec = 48000;
    for (auto _ : state) {
        layer->ResetAll();
        benchmark::DoNotOptimize(layer->SetFormat(&in, &out));
    }
    RealTime(state, kBlock, 48000.0);
    layer->Cleanup();
    delete layer;
}
BENCHMARK(BM_FormatLayerSetFormat);

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

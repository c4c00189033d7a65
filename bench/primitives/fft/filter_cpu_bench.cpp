// The filters under each build (first argument: 0 generic, 1-3 the CPU
// builds) beside their peers, measured side by side in one run so
// tools/fft_bench_ratios.py can report every build's time divided by the
// generic build's and by the peer's:
//   direct FIR 101 x 128 and 20/24 x 512 (liquid-dsp firfilt);
//   multirate 66 taps (1,2)/(2,1), 132 taps (1,4)/(4,1) on 512 iterations
//   (liquid-dsp firdecim / firinterp);
//   the one-sample step with 20/24 taps, 512 steps (firfilt push + execute);
//   IIR orders 1, 3, 5 and 8 on 1024 samples (iirfilt) and a three-section
//   biquad cascade on 1024 samples (iirfilt from second-order sections);
//   up/down by 2 and 4 on 4096 samples (and a memcpy of the same bytes).
// The 256-tap FFT path is in fir_bench.cpp. A peer named Liquid_<case>
// takes the arguments of <case> without the build. A build the processor
// lacks, a call that does not answer SP_STS_OK and a missing peer stop the
// benchmark with a message.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bench/primitives/fft/bench_support.h"
#include "bench/primitives/fft/peers.h"
#include "primitives/convert/entry_table_a.h"
#include "primitives/sp_records.h"
#include "primitives/vector/entry_table_b.h"

namespace {

using spbench::BuildScope;
using spbench::peerReady;
using spbench::randomFloats;
using spbench::statusOk;

// Args: build, taps, samples.
void FirDirect(benchmark::State& state) {
    BuildScope scope(state, state.range(0));
    if (!scope.ok()) return;
    const int taps = static_cast<int>(state.range(1)), n = static_cast<int>(state.range(2));
    const std::vector<float> h = randomFloats(taps, 1), x = randomFloats(n, 2);
    std::vector<float> y(n);
    int size = 0;
    if (!statusOk(state, spFirStateSize(taps, &size), "spFirStateSize")) return;
    std::vector<uint8_t> buf(size);
    SpFirState* fir = nullptr;
    if (!statusOk(state, spFirInit(&fir, h.data(), taps, nullptr, buf.data()), "spFirInit")) return;
    for (auto _ : state) {
        if (!statusOk(state, spFirFilterF32(x.data(), y.data(), n, fir), "spFirFilterF32")) break;
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK(FirDirect)->ArgsProduct({{0, 1, 2, 3}, {101}, {128}})->ArgsProduct({{0, 1, 2, 3}, {20, 24}, {512}});

// Args: taps, samples.
void Liquid_FirDirect(benchmark::State& state) {
    const int taps = static_cast<int>(state.range(0)), n = static_cast<int>(state.range(1));
    const std::vector<float> h = randomFloats(taps, 1), x = randomFloats(n, 2);
    std::vector<float> y(n);
    const spbench::LiquidPeer peer = spbench::liquidFirBlock(h);
    if (!peerReady(state, peer)) return;
    for (auto _ : state) {
        peer(x.data(), y.data(), n);
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK(Liquid_FirDirect)->Args({101, 128})->Args({20, 512})->Args({24, 512});

// Args: build, taps, up, down; 512 iterations.
void FirMultirate(benchmark::State& state) {
    BuildScope scope(state, state.range(0));
    if (!scope.ok()) return;
    const int taps = static_cast<int>(state.range(1)), up = static_cast<int>(state.range(2)),
              down = static_cast<int>(state.range(3));
    const std::vector<float> h = randomFloats(taps, 1), x = randomFloats(512 * down, 2);
    std::vector<float> y(512 * up);
    int size = 0;
    if (!statusOk(state, spFirMultirateStateSize(taps, up, down, &size), "spFirMultirateStateSize")) return;
    std::vector<uint8_t> buf(size);
    SpFirState* fir = nullptr;
    if (!statusOk(state, spFirMultirateInit(&fir, h.data(), taps, up, 0, down, 0, nullptr, buf.data()),
                  "spFirMultirateInit"))
        return;
    for (auto _ : state) {
        if (!statusOk(state, spFirFilterF32(x.data(), y.data(), 512, fir), "spFirFilterF32")) break;
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK(FirMultirate)
    ->ArgsProduct({{0, 1, 2, 3}, {66}, {1}, {2}})
    ->ArgsProduct({{0, 1, 2, 3}, {66}, {2}, {1}})
    ->ArgsProduct({{0, 1, 2, 3}, {132}, {1}, {4}})
    ->ArgsProduct({{0, 1, 2, 3}, {132}, {4}, {1}});

// Args: taps, up, down (one of them 1); 512 iterations as above.
void Liquid_FirMultirate(benchmark::State& state) {
    const int taps = static_cast<int>(state.range(0)), up = static_cast<int>(state.range(1)),
              down = static_cast<int>(state.range(2));
    const std::vector<float> h = randomFloats(taps, 1), x = randomFloats(512 * down, 2);
    std::vector<float> y(512 * up);
    const spbench::LiquidPeer peer = up > 1 ? spbench::liquidInterpolator(h, up) : spbench::liquidDecimator(h, down);
    if (!peerReady(state, peer)) return;
    for (auto _ : state) {
        peer(x.data(), y.data(), 512);
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK(Liquid_FirMultirate)->Args({66, 1, 2})->Args({66, 2, 1})->Args({132, 1, 4})->Args({132, 4, 1});

// Args: build, taps; one block of 512 steps.
void FirOneStep(benchmark::State& state) {
    BuildScope scope(state, state.range(0));
    if (!scope.ok()) return;
    const int taps = static_cast<int>(state.range(1));
    const std::vector<float> h = randomFloats(taps, 1), x = randomFloats(512, 2);
    std::vector<float> dly(2 * taps, 0.0f), y(512);
    int idx = 0;
    if (!statusOk(state, spFirOneDirectF32(x[0], &y[0], h.data(), taps, dly.data(), &idx), "spFirOneDirectF32")) return;
    for (auto _ : state) {
        for (int i = 0; i < 512; ++i) spFirOneDirectF32(x[i], &y[i], h.data(), taps, dly.data(), &idx);
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK(FirOneStep)->ArgsProduct({{0, 1, 2, 3}, {20, 24}});

// Args: taps.
void Liquid_FirOneStep(benchmark::State& state) {
    const int taps = static_cast<int>(state.range(0));
    const std::vector<float> h = randomFloats(taps, 1), x = randomFloats(512, 2);
    std::vector<float> y(512);
    const spbench::LiquidPeer peer = spbench::liquidFirSteps(h);
    if (!peerReady(state, peer)) return;
    for (auto _ : state) {
        peer(x.data(), y.data(), 512);
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK(Liquid_FirOneStep)->Arg(20)->Arg(24);

// A stable low-pass of the given order, as (b0..bN, a0..aN) in the
// library's layout: zeros at z = -1 scaled to unit gain at DC, poles in
// conjugate pairs of radius 0.6 (and one at 0.5 for an odd order).
std::vector<float> iirTaps(int order) {
    std::vector<double> a = {1.0}, b = {1.0};
    auto multiply = [](std::vector<double>& p, const std::vector<double>& q) {
        std::vector<double> r(p.size() + q.size() - 1, 0.0);
        for (size_t i = 0; i < p.size(); ++i)
            for (size_t j = 0; j < q.size(); ++j) r[i + j] += p[i] * q[j];
        p = r;
    };
    for (int k = 0; k < order / 2; ++k) {
        const double angle = 0.3 + 0.4 * k;
        multiply(a, {1.0, -1.2 * std::cos(angle), 0.36});
    }
    if (order % 2 != 0) multiply(a, {1.0, -0.5});
    for (int k = 0; k < order; ++k) multiply(b, {1.0, 1.0});
    double gainA = 0.0, gainB = 0.0;
    for (double v : a) gainA += v;
    for (double v : b) gainB += v;
    std::vector<float> taps;
    for (double v : b) taps.push_back(static_cast<float>(v * gainA / gainB));
    for (double v : a) taps.push_back(static_cast<float>(v));
    return taps;
}

// Args: build, order; 1024 samples through the public entries.
void Iir(benchmark::State& state) {
    BuildScope scope(state, state.range(0));
    if (!scope.ok()) return;
    const int order = static_cast<int>(state.range(1));
    const std::vector<float> taps = iirTaps(order), x = randomFloats(1024, 3);
    std::vector<float> y(1024);
    SpIirState* iir = nullptr;
    if (!statusOk(state, spIirCreate(&iir, taps.data(), order, nullptr), "spIirCreate")) return;
    for (auto _ : state) {
        if (!statusOk(state, spIirFilterF32(x.data(), y.data(), 1024, iir), "spIirFilterF32")) break;
        benchmark::DoNotOptimize(y.data());
    }
    spIirDestroy(iir);
}
BENCHMARK(Iir)->ArgsProduct({{0, 1, 2, 3}, {1, 3, 5, 8}});

// Args: order.
void Liquid_Iir(benchmark::State& state) {
    const int order = static_cast<int>(state.range(0));
    const std::vector<float> taps = iirTaps(order), x = randomFloats(1024, 3);
    std::vector<float> y(1024);
    const std::vector<float> b(taps.begin(), taps.begin() + order + 1), a(taps.begin() + order + 1, taps.end());
    const spbench::LiquidPeer peer = spbench::liquidIir(b, a);
    if (!peerReady(state, peer)) return;
    for (auto _ : state) {
        peer(x.data(), y.data(), 1024);
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK(Liquid_Iir)->Arg(1)->Arg(3)->Arg(5)->Arg(8);

// b0 b1 b2 a0 a1 a2 of section k: a low-pass biquad, poles of radius
// 0.5 + 0.1 k.
std::vector<float> sectionTaps(int k) {
    const double r = 0.5 + 0.1 * k, a1 = -2.0 * r * std::cos(0.4 + 0.5 * k), a2 = r * r;
    const double g = (1.0 + a1 + a2) / 4.0;
    return {static_cast<float>(g), static_cast<float>(2 * g), static_cast<float>(g), 1.0f, static_cast<float>(a1),
            static_cast<float>(a2)};
}

// A biquad cascade record ('II02'; the library has no builder for one):
// five coefficients and a delay pair per section, which the generic build
// reads, and for builds 1-3 each section's feed-forward and feedback tables
// (those of an order-2 state of the same build), its one-sample
// coefficients and a 2048-float work area. The CPU areas are 16-byte aligned.
class BiquadCascade {
public:
    // Builds the record for the dispatch index in force; false with the
    // benchmark stopped when a call of the build refuses.
    bool build(benchmark::State& state, int sections) {
        coeffs_.clear();
        dly_.assign(2 * sections, 0.0f);
        area_.assign((12 + 20 + 8) * sections + 2048 + 3, 0.0f);  // + 3 for the alignment
        float* base = area_.data();
        while (reinterpret_cast<uintptr_t>(base) % 16 != 0) ++base;
        float* ff = base;
        float* fb = ff + 12 * sections;
        float* quad = fb + 20 * sections;
        float* work = quad + 8 * sections;
        for (int k = 0; k < sections; ++k) {
            const std::vector<float> t = sectionTaps(k);
            coeffs_.insert(coeffs_.end(), {t[0], t[1], t[2], t[4], t[5]});
            const float one[8] = {t[0], t[1], t[2], 0.0f, -t[4], -t[5], 0.0f, 0.0f};
            std::memcpy(quad + 8 * k, one, sizeof one);
            if (spDispatchIndex.load() == SP_BUILD_GEN) continue;
            int size = 0;
            if (!statusOk(state, spIirStateSize(2, &size), "spIirStateSize")) return false;
            std::vector<uint8_t> buf(size);
            SpIirState* section = nullptr;
            if (!statusOk(state, spIirInit(&section, t.data(), 2, nullptr, buf.data()), "spIirInit")) return false;
            std::memcpy(ff + 12 * k, section->ffTable, 12 * sizeof(float));
            std::memcpy(fb + 20 * k, section->fbTable, 20 * sizeof(float));
        }
        rec_ = SpIirState{};
        rec_.id = SP_CTX_IIR_BQ;
        rec_.coeffs = coeffs_.data();
        rec_.dlyLine = dly_.data();
        rec_.order = 2 * sections;
        rec_.numBiquads = sections;
        rec_.ffTable = ff;
        rec_.fbTable = fb;
        rec_.biquadTable = quad;
        rec_.workArea = work;
        rec_.workArea2 = work + 1024;
        return true;
    }
    SpIirState* record() { return &rec_; }

private:
    std::vector<float> coeffs_, dly_, area_;
    SpIirState rec_{};
};

// Args: build, sections; 1024 samples.
void IirSections(benchmark::State& state) {
    BuildScope scope(state, state.range(0));
    if (!scope.ok()) return;
    BiquadCascade cascade;
    if (!cascade.build(state, static_cast<int>(state.range(1)))) return;
    const std::vector<float> x = randomFloats(1024, 3);
    std::vector<float> y(1024);
    for (auto _ : state) {
        if (!statusOk(state, spIirFilterF32(x.data(), y.data(), 1024, cascade.record()), "spIirFilterF32")) break;
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK(IirSections)->ArgsProduct({{0, 1, 2, 3}, {3}});

// Args: sections.
void Liquid_IirSections(benchmark::State& state) {
    std::vector<float> b, a;
    for (int k = 0; k < state.range(0); ++k) {
        const std::vector<float> t = sectionTaps(k);
        b.insert(b.end(), t.begin(), t.begin() + 3);
        a.insert(a.end(), t.begin() + 3, t.end());
    }
    const std::vector<float> x = randomFloats(1024, 3);
    std::vector<float> y(1024);
    const spbench::LiquidPeer peer = spbench::liquidIirSections(b, a);
    if (!peerReady(state, peer)) return;
    for (auto _ : state) {
        peer(x.data(), y.data(), 1024);
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK(Liquid_IirSections)->Arg(3);

// Args: build, factor; 4096 input samples (up) or 4096 x factor (down).
void Upsample(benchmark::State& state) {
    BuildScope scope(state, state.range(0));
    if (!scope.ok()) return;
    const int factor = static_cast<int>(state.range(1));
    const std::vector<float> x = randomFloats(4096, 2);
    std::vector<float> y(4096 * factor);
    for (auto _ : state) {
        int len = 0, phase = 0;
        if (!statusOk(state, spUpsampleF32(x.data(), 4096, y.data(), &len, factor, &phase), "spUpsampleF32")) break;
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK(Upsample)->ArgsProduct({{0, 1, 2, 3}, {2, 4}});

void Downsample(benchmark::State& state) {
    BuildScope scope(state, state.range(0));
    if (!scope.ok()) return;
    const int factor = static_cast<int>(state.range(1));
    const std::vector<float> x = randomFloats(4096 * factor, 2);
    std::vector<float> y(4096);
    for (auto _ : state) {
        int len = 0, phase = 0;
        if (!statusOk(state, spDownsampleF32(x.data(), 4096 * factor, y.data(), &len, factor, &phase),
                      "spDownsampleF32"))
            break;
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK(Downsample)->ArgsProduct({{0, 1, 2, 3}, {2, 4}});

// The bytes the sampling calls write, moved by memcpy (factor 2 and 4).
void SamplingMemcpy(benchmark::State& state) {
    const int factor = static_cast<int>(state.range(0));
    const std::vector<float> x = randomFloats(4096 * factor, 2);
    std::vector<float> y(4096 * factor);
    for (auto _ : state) {
        std::memcpy(y.data(), x.data(), y.size() * sizeof(float));
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK(SamplingMemcpy)->Arg(2)->Arg(4);

}  // namespace

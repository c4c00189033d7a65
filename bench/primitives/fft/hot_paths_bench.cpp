// The other per-block paths of the effects engine, one 512-frame block of
// one channel each, under each build; tools/fft_bench_ratios.py reports them
// as fractions of the block's 10.67 ms at 48 kHz and as each build's time
// divided by the generic build's. The first argument is the build (0
// generic, 1-3 the CPU builds); the others, where present, are taps or
// factors. A call that does not answer SP_STS_OK stops its benchmark.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench/primitives/fft/bench_support.h"
#include "primitives/convert/entry_table_a.h"
#include "primitives/vector/entry_table_b.h"

namespace {

using spbench::BuildScope;
using spbench::statusOk;

std::vector<float> randomFloats(int n, unsigned seed) { return spbench::randomFloats(n, seed, 0.5f); }

void Hot_PackedProduct1024(benchmark::State& state) {
    BuildScope scope(state, state.range(0));
    if (!scope.ok()) return;
    const std::vector<float> a = randomFloats(1024, 1), b = randomFloats(1024, 2);
    std::vector<float> d(1024);
    for (auto _ : state) {
        if (!statusOk(state, spMulPackedSpectraF32(a.data(), b.data(), d.data(), 1024), "spMulPackedSpectraF32")) break;
        benchmark::DoNotOptimize(d.data());
    }
}

void Hot_IirOrder3x1024(benchmark::State& state) {
    BuildScope scope(state, state.range(0));
    if (!scope.ok()) return;
    const float taps[8] = {1 / 6.0f, 0.5f, 0.5f, 1 / 6.0f, 1.0f, 0.0f, 1 / 3.0f, 0.0f};
    SpIirState* iir = nullptr;
    if (!statusOk(state, spIirCreate(&iir, taps, 3, nullptr), "spIirCreate")) return;
    const std::vector<float> x = randomFloats(1024, 3);
    std::vector<float> y(1024);
    for (auto _ : state) {
        if (!statusOk(state, spIirFilterF32(x.data(), y.data(), 1024, iir), "spIirFilterF32")) break;
        benchmark::DoNotOptimize(y.data());
    }
    spIirDestroy(iir);
}

// 512 one-sample steps, as a 512-frame block of the 44.1/48 kHz converters.
void Hot_FirOneStepBlock(benchmark::State& state) {
    BuildScope scope(state, state.range(0));
    if (!scope.ok()) return;
    const int taps = static_cast<int>(state.range(1));
    const std::vector<float> h = randomFloats(taps, 4), x = randomFloats(512, 5);
    std::vector<float> dly(2 * taps, 0.0f);
    int idx = 0;
    float y = 0.0f;
    if (!statusOk(state, spFirOneDirectF32(x[0], &y, h.data(), taps, dly.data(), &idx), "spFirOneDirectF32")) return;
    for (auto _ : state) {
        for (int i = 0; i < 512; ++i) spFirOneDirectF32(x[i], &y, h.data(), taps, dly.data(), &idx);
        benchmark::DoNotOptimize(y);
    }
}

// Multirate FIR on 512 input samples: build, taps, up, down.
void Hot_Multirate(benchmark::State& state) {
    BuildScope scope(state, state.range(0));
    if (!scope.ok()) return;
    const int taps = static_cast<int>(state.range(1));
    const int up = static_cast<int>(state.range(2));
    const int down = static_cast<int>(state.range(3));
    const std::vector<float> h = randomFloats(taps, 6), x = randomFloats(512, 7);
    int size = 0;
    if (!statusOk(state, spFirMultirateStateSize(taps, up, down, &size), "spFirMultirateStateSize")) return;
    std::vector<uint8_t> buffer(size);
    SpFirState* fir = nullptr;
    if (!statusOk(state, spFirMultirateInit(&fir, h.data(), taps, up, 0, down, 0, nullptr, buffer.data()),
                  "spFirMultirateInit"))
        return;
    std::vector<float> y(512 * up);
    for (auto _ : state) {
        if (!statusOk(state, spFirFilterF32(x.data(), y.data(), 512 / down, fir), "spFirFilterF32")) break;
        benchmark::DoNotOptimize(y.data());
    }
}

void Hot_Upsample(benchmark::State& state) {
    BuildScope scope(state, state.range(0));
    if (!scope.ok()) return;
    const int factor = static_cast<int>(state.range(1));
    const std::vector<float> x = randomFloats(512, 8);
    std::vector<float> y(512 * factor);
    int len = 0, phase = 0;
    for (auto _ : state) {
        if (!statusOk(state, spUpsampleF32(x.data(), 512, y.data(), &len, factor, &phase), "spUpsampleF32")) break;
        benchmark::DoNotOptimize(y.data());
    }
}

void Hot_Downsample(benchmark::State& state) {
    BuildScope scope(state, state.range(0));
    if (!scope.ok()) return;
    const int factor = static_cast<int>(state.range(1));
    const std::vector<float> x = randomFloats(512, 9);
    std::vector<float> y(512);
    int len = 0, phase = 0;
    for (auto _ : state) {
        if (!statusOk(state, spDownsampleF32(x.data(), 512, y.data(), &len, factor, &phase), "spDownsampleF32")) break;
        benchmark::DoNotOptimize(y.data());
    }
}

const std::vector<int64_t> kBuilds = {0, 1, 2, 3};

}  // namespace

BENCHMARK(Hot_PackedProduct1024)->DenseRange(0, 3);
BENCHMARK(Hot_IirOrder3x1024)->DenseRange(0, 3);
BENCHMARK(Hot_FirOneStepBlock)->ArgsProduct({kBuilds, {20, 24}});
BENCHMARK(Hot_Multirate)
    ->ArgsProduct({kBuilds, {66}, {1}, {2}})
    ->ArgsProduct({kBuilds, {66}, {2}, {1}})
    ->ArgsProduct({kBuilds, {132}, {1}, {4}})
    ->ArgsProduct({kBuilds, {132}, {4}, {1}});
BENCHMARK(Hot_Upsample)->ArgsProduct({kBuilds, {2, 4}});
BENCHMARK(Hot_Downsample)->ArgsProduct({kBuilds, {2, 4}});

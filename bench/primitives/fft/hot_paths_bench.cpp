// The other per-block paths of the effects engine, one 512-frame block of
// one channel each; tools/bench_ratios.py reports them as fractions of the
// block's 10.67 ms at 48 kHz. Arguments, where present, are taps or factors.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "primitives/convert/entry_table_a.h"
#include "primitives/convert/sp_cpu.h"
#include "primitives/vector/entry_table_b.h"

namespace {

std::vector<float> randomFloats(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-0.5f, 0.5f);
    std::vector<float> v(n);
    for (float& x : v) x = u(rng);
    return v;
}

// Argument: the build the entry runs (spDispatchIndex, 0 generic to 3).
void Hot_PackedProduct1024(benchmark::State& state) {
    const int build = static_cast<int>(state.range(0));
    const bool runs = build == 0 || (build == 1 && spCpuHasSse3() != 0) || (build == 2 && spCpuHasSsse3() != 0) ||
                      (build == 3 && spCpuHasSse41() != 0);
    if (!runs) {
        state.SkipWithError("build not supported by this CPU");
        return;
    }
    const std::vector<float> a = randomFloats(1024, 1), b = randomFloats(1024, 2);
    std::vector<float> d(1024);
    const int32_t saved = spDispatchIndex.exchange(build);
    for (auto _ : state) {
        spMulPackedSpectraF32(a.data(), b.data(), d.data(), 1024);
        benchmark::DoNotOptimize(d.data());
    }
    spDispatchIndex.store(saved);
}

void Hot_IirOrder3x1024(benchmark::State& state) {
    const float taps[8] = {1 / 6.0f, 0.5f, 0.5f, 1 / 6.0f, 1.0f, 0.0f, 1 / 3.0f, 0.0f};
    SpIirState* iir = nullptr;
    spIirCreate(&iir, taps, 3, nullptr);
    const std::vector<float> x = randomFloats(1024, 3);
    std::vector<float> y(1024);
    for (auto _ : state) {
        spIirFilterF32(x.data(), y.data(), 1024, iir);
        benchmark::DoNotOptimize(y.data());
    }
    spIirDestroy(iir);
}

// 512 one-sample steps, as a 512-frame block of the 44.1/48 kHz converters.
void Hot_FirOneStepBlock(benchmark::State& state) {
    const int taps = static_cast<int>(state.range(0));
    const std::vector<float> h = randomFloats(taps, 4), x = randomFloats(512, 5);
    std::vector<float> dly(2 * taps, 0.0f);
    int idx = 0;
    float y = 0.0f;
    for (auto _ : state) {
        for (int i = 0; i < 512; ++i) spFirOneDirectF32(x[i], &y, h.data(), taps, dly.data(), &idx);
        benchmark::DoNotOptimize(y);
    }
}

// Multirate FIR on 512 input samples: taps, up, down.
void Hot_Multirate(benchmark::State& state) {
    const int taps = static_cast<int>(state.range(0));
    const int up = static_cast<int>(state.range(1));
    const int down = static_cast<int>(state.range(2));
    const std::vector<float> h = randomFloats(taps, 6), x = randomFloats(512, 7);
    int size = 0;
    spFirMultirateStateSize(taps, up, down, &size);
    std::vector<uint8_t> buffer(size);
    SpFirState* fir = nullptr;
    spFirMultirateInit(&fir, h.data(), taps, up, 0, down, 0, nullptr, buffer.data());
    std::vector<float> y(512 * up);
    for (auto _ : state) {
        spFirFilterF32(x.data(), y.data(), 512 / down, fir);
        benchmark::DoNotOptimize(y.data());
    }
}

void Hot_Upsample(benchmark::State& state) {
    const int factor = static_cast<int>(state.range(0));
    const std::vector<float> x = randomFloats(512, 8);
    std::vector<float> y(512 * factor);
    int len = 0, phase = 0;
    for (auto _ : state) {
        spUpsampleF32(x.data(), 512, y.data(), &len, factor, &phase);
        benchmark::DoNotOptimize(y.data());
    }
}

void Hot_Downsample(benchmark::State& state) {
    const int factor = static_cast<int>(state.range(0));
    const std::vector<float> x = randomFloats(512, 9);
    std::vector<float> y(512);
    int len = 0, phase = 0;
    for (auto _ : state) {
        spDownsampleF32(x.data(), 512, y.data(), &len, factor, &phase);
        benchmark::DoNotOptimize(y.data());
    }
}

}  // namespace

BENCHMARK(Hot_PackedProduct1024)->DenseRange(0, 3);
BENCHMARK(Hot_IirOrder3x1024);
BENCHMARK(Hot_FirOneStepBlock)->Arg(20)->Arg(24);
BENCHMARK(Hot_Multirate)->Args({66, 1, 2})->Args({66, 2, 1})->Args({132, 1, 4})->Args({132, 4, 1});
BENCHMARK(Hot_Upsample)->Arg(2)->Arg(4);
BENCHMARK(Hot_Downsample)->Arg(2)->Arg(4);

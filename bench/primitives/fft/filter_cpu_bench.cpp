// The filters under each build (first argument: 0 generic, 1-3 the CPU
// builds), measured side by side in one run so tools/fft_bench_ratios.py can
// report every build's time divided by the generic build's:
//   direct FIR 101 x 128 and 20/24 x 512, the 256-tap FFT path on 512;
//   multirate 66 taps (1,2)/(2,1), 132 taps (1,4)/(4,1) on 512 iterations;
//   the one-sample step with 20/24 taps, 512 steps;
//   up/down by 2 and 4 on 4096 samples (and a memcpy of the same bytes).
// A build the processor lacks is skipped with a message.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "primitives/convert/entry_table_a.h"
#include "primitives/convert/sp_cpu.h"
#include "primitives/vector/entry_table_b.h"

namespace {

std::vector<float> randomFloats(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = u(rng);
    return v;
}

// Selects the build for the benchmark's scope; false (with a skip) when the
// processor lacks it.
class BuildScope {
public:
    BuildScope(benchmark::State& state, int build) : saved_(spDispatchIndex.load()) {
        const int has[4] = {1, spCpuHasSse3(), spCpuHasSsse3(), spCpuHasSse41()};
        ok_ = has[build] != 0;
        if (!ok_) state.SkipWithError("build not supported by this processor");
        spDispatchIndex.store(build);
    }
    ~BuildScope() { spDispatchIndex.store(saved_); }
    bool ok() const { return ok_; }

private:
    int32_t saved_;
    bool ok_;
};

// Args: build, taps, samples.
void FirDirect(benchmark::State& state) {
    BuildScope scope(state, static_cast<int>(state.range(0)));
    if (!scope.ok()) return;
    const int taps = static_cast<int>(state.range(1)), n = static_cast<int>(state.range(2));
    const std::vector<float> h = randomFloats(taps, 1), x = randomFloats(n, 2);
    std::vector<float> y(n);
    int size = 0;
    spFirStateSize(taps, &size);
    std::vector<uint8_t> buf(size);
    SpFirState* fir = nullptr;
    spFirInit(&fir, h.data(), taps, nullptr, buf.data());
    for (auto _ : state) {
        spFirFilterF32(x.data(), y.data(), n, fir);
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK(FirDirect)->ArgsProduct({{0, 1, 2, 3}, {101}, {128}})->ArgsProduct({{0, 1, 2, 3}, {20, 24}, {512}});

void FirFftPath(benchmark::State& state) {
    BuildScope scope(state, static_cast<int>(state.range(0)));
    if (!scope.ok()) return;
    const std::vector<float> h = randomFloats(256, 1), x = randomFloats(512, 2);
    std::vector<float> y(512);
    SpFirState* fir = nullptr;
    spFirCreate(&fir, h.data(), 256, nullptr);
    for (auto _ : state) {
        spFirFilterF32(x.data(), y.data(), 512, fir);
        benchmark::DoNotOptimize(y.data());
    }
    spFirDestroy(fir);
}
BENCHMARK(FirFftPath)->DenseRange(0, 3);

// Args: build, taps, up, down; 512 iterations.
void FirMultirate(benchmark::State& state) {
    BuildScope scope(state, static_cast<int>(state.range(0)));
    if (!scope.ok()) return;
    const int taps = static_cast<int>(state.range(1)), up = static_cast<int>(state.range(2)),
              down = static_cast<int>(state.range(3));
    const std::vector<float> h = randomFloats(taps, 1), x = randomFloats(512 * down, 2);
    std::vector<float> y(512 * up);
    int size = 0;
    spFirMultirateStateSize(taps, up, down, &size);
    std::vector<uint8_t> buf(size);
    SpFirState* fir = nullptr;
    spFirMultirateInit(&fir, h.data(), taps, up, 0, down, 0, nullptr, buf.data());
    for (auto _ : state) {
        spFirFilterF32(x.data(), y.data(), 512, fir);
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK(FirMultirate)
    ->ArgsProduct({{0, 1, 2, 3}, {66}, {1}, {2}})
    ->ArgsProduct({{0, 1, 2, 3}, {66}, {2}, {1}})
    ->ArgsProduct({{0, 1, 2, 3}, {132}, {1}, {4}})
    ->ArgsProduct({{0, 1, 2, 3}, {132}, {4}, {1}});

// Args: build, taps; one block of 512 steps.
void FirOneStep(benchmark::State& state) {
    BuildScope scope(state, static_cast<int>(state.range(0)));
    if (!scope.ok()) return;
    const int taps = static_cast<int>(state.range(1));
    const std::vector<float> h = randomFloats(taps, 1), x = randomFloats(512, 2);
    std::vector<float> dly(2 * taps, 0.0f), y(512);
    int idx = 0;
    for (auto _ : state) {
        for (int i = 0; i < 512; ++i) spFirOneDirectF32(x[i], &y[i], h.data(), taps, dly.data(), &idx);
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK(FirOneStep)->ArgsProduct({{0, 1, 2, 3}, {20, 24}});

// Args: build, factor; 4096 input samples (up) or 4096 x factor (down).
void Upsample(benchmark::State& state) {
    BuildScope scope(state, static_cast<int>(state.range(0)));
    if (!scope.ok()) return;
    const int factor = static_cast<int>(state.range(1));
    const std::vector<float> x = randomFloats(4096, 2);
    std::vector<float> y(4096 * factor);
    for (auto _ : state) {
        int len = 0, phase = 0;
        spUpsampleF32(x.data(), 4096, y.data(), &len, factor, &phase);
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK(Upsample)->ArgsProduct({{0, 1, 2, 3}, {2, 4}});

void Downsample(benchmark::State& state) {
    BuildScope scope(state, static_cast<int>(state.range(0)));
    if (!scope.ok()) return;
    const int factor = static_cast<int>(state.range(1));
    const std::vector<float> x = randomFloats(4096 * factor, 2);
    std::vector<float> y(4096);
    for (auto _ : state) {
        int len = 0, phase = 0;
        spDownsampleF32(x.data(), 4096 * factor, y.data(), &len, factor, &phase);
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

// FFT-path FIR filtering on created states against overlap-save filters with
// the same N and B on fftwf and KissFFT: 256 taps x 512 samples (the
// crosstalk canceller's call: N 1024, B 769) and 64, 256 and 1024 taps x
// 4096 samples (N 256, 1024, 4096; the last through the blocked transform).
// Arguments: taps, samples.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "bench/primitives/fft/peers.h"
#include "primitives/vector/entry_table_b.h"

namespace {

std::vector<float> randomFloats(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = u(rng);
    return v;
}

// N of the library's FFT path for L taps: 2^(floor(log2 L) + 2).
int fftLength(int taps) {
    int order = 1;
    while (taps >= (1 << order)) ++order;
    return 1 << (order + 1);
}

void Fir_Ours(benchmark::State& state) {
    const int taps = static_cast<int>(state.range(0));
    const int n = static_cast<int>(state.range(1));
    const std::vector<float> h = randomFloats(taps, 1), x = randomFloats(n, 2);
    std::vector<float> y(n);
    SpFirState* fir = nullptr;
    spFirCreate(&fir, h.data(), taps, nullptr);
    for (auto _ : state) {
        spFirFilterF32(x.data(), y.data(), n, fir);
        benchmark::DoNotOptimize(y.data());
    }
    spFirDestroy(fir);
}

template <typename Fft>
void firPeer(benchmark::State& state) {
    const int taps = static_cast<int>(state.range(0));
    const int n = static_cast<int>(state.range(1));
    const std::vector<float> h = randomFloats(taps, 1), x = randomFloats(n, 2);
    std::vector<float> y(n);
    spbench::OverlapSave<Fft> filter(h, fftLength(taps));
    for (auto _ : state) {
        filter.filter(x.data(), y.data(), n);
        benchmark::DoNotOptimize(y.data());
    }
}

void Fir_Fftwf(benchmark::State& s) { firPeer<spbench::FftwfReal>(s); }
void Fir_Kiss(benchmark::State& s) { firPeer<spbench::KissReal>(s); }

void firArgs(benchmark::internal::Benchmark* b) {
    b->Args({256, 512})->Args({64, 4096})->Args({256, 4096})->Args({1024, 4096});
}

}  // namespace

BENCHMARK(Fir_Ours)->Apply(firArgs);
BENCHMARK(Fir_Fftwf)->Apply(firArgs);
BENCHMARK(Fir_Kiss)->Apply(firArgs);

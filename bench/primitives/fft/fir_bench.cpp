// FFT-path FIR filtering on created states under each build (first
// argument of Fir_Ours: 0 generic, 1-3 the CPU builds) against overlap-save
// filters with the same N and B on fftwf and KissFFT and against
// liquid-dsp's fftfilt with blocks of N/2: 256 taps x 512 samples (the
// crosstalk canceller's call: N 1024, B 769) and 64, 256 and 1024 taps x
// 4096 samples (N 256, 1024, 4096; the last through the blocked transform).
// Arguments of the peers: taps, samples.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench/primitives/fft/bench_support.h"
#include "bench/primitives/fft/peers.h"
#include "primitives/vector/entry_table_b.h"

namespace {

using spbench::randomFloats;

// N of the library's FFT path for L taps: 2^(floor(log2 L) + 2).
int fftLength(int taps) {
    int order = 1;
    while (taps >= (1 << order)) ++order;
    return 1 << (order + 1);
}

// Args: build, taps, samples.
void Fir_Ours(benchmark::State& state) {
    spbench::BuildScope scope(state, state.range(0));
    if (!scope.ok()) return;
    const int taps = static_cast<int>(state.range(1));
    const int n = static_cast<int>(state.range(2));
    const std::vector<float> h = randomFloats(taps, 1), x = randomFloats(n, 2);
    std::vector<float> y(n);
    SpFirState* fir = nullptr;
    if (!spbench::statusOk(state, spFirCreate(&fir, h.data(), taps, nullptr), "spFirCreate")) return;
    for (auto _ : state) {
        if (!spbench::statusOk(state, spFirFilterF32(x.data(), y.data(), n, fir), "spFirFilterF32")) break;
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

void Fir_Liquid(benchmark::State& state) {
    const int taps = static_cast<int>(state.range(0));
    const int n = static_cast<int>(state.range(1));
    const std::vector<float> h = randomFloats(taps, 1), x = randomFloats(n, 2);
    std::vector<float> y(n);
    const spbench::LiquidPeer peer = spbench::liquidFftFir(h, fftLength(taps) / 2);
    if (!spbench::peerReady(state, peer)) return;
    for (auto _ : state) {
        peer(x.data(), y.data(), n);
        benchmark::DoNotOptimize(y.data());
    }
}

void firArgs(benchmark::internal::Benchmark* b) {
    b->Args({256, 512})->Args({64, 4096})->Args({256, 4096})->Args({1024, 4096});
}

void firBuildArgs(benchmark::internal::Benchmark* b) {
    for (int build = 0; build < SP_BUILD_COUNT; ++build)
        b->Args({build, 256, 512})->Args({build, 64, 4096})->Args({build, 256, 4096})->Args({build, 1024, 4096});
}

}  // namespace

BENCHMARK(Fir_Ours)->Apply(firBuildArgs);
BENCHMARK(Fir_Fftwf)->Apply(firArgs);
BENCHMARK(Fir_Kiss)->Apply(firArgs);
BENCHMARK(Fir_Liquid)->Apply(firArgs);

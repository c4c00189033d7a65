// Real FFT, orders 6 to 12, forward and inverse: the library's transform in
// place (the public entries) and out of place (the generic bodies) against
// fftwf (FFTW_MEASURE) and KissFFT. Every iteration first copies the same
// input into the transform's buffer, for every contender alike, so repeated
// transforms never drift into denormals or infinities. tools/bench_ratios.py
// turns the JSON into ratios (ours / peer).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "bench/primitives/fft/peers.h"
#include "primitives/fft/sp_fft_gen.h"
#include "primitives/vector/entry_table_b.h"

namespace {

std::vector<float> input(int n) {
    std::mt19937 rng(42);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = u(rng);
    return v;
}

struct Spec {
    SpFftSpec* spec = nullptr;
    explicit Spec(int order) { spRealFftCreate(&spec, order, SP_FFT_DIV_INV_BY_N, 0); }
    ~Spec() { spRealFftDestroy(spec); }
};

void Fwd_OursInPlace(benchmark::State& state) {
    const int order = static_cast<int>(state.range(0));
    Spec s(order);
    const std::vector<float> x = input(1 << order);
    std::vector<float> buf(x.size());
    for (auto _ : state) {
        std::copy(x.begin(), x.end(), buf.begin());
        spRealFftForward(buf.data(), s.spec, nullptr);
        benchmark::DoNotOptimize(buf.data());
    }
}

void Fwd_OursOutOfPlace(benchmark::State& state) {
    const int order = static_cast<int>(state.range(0));
    Spec s(order);
    const std::vector<float> x = input(1 << order);
    std::vector<float> src(x.size()), dst(x.size());
    for (auto _ : state) {
        std::copy(x.begin(), x.end(), src.begin());
        spRealFftForwardOutOfPlace_Gen(src.data(), dst.data(), s.spec, nullptr);
        benchmark::DoNotOptimize(dst.data());
    }
}

void Inv_OursInPlace(benchmark::State& state) {
    const int order = static_cast<int>(state.range(0));
    Spec s(order);
    const std::vector<float> x = input(1 << order);
    std::vector<float> buf(x.size());
    for (auto _ : state) {
        std::copy(x.begin(), x.end(), buf.begin());
        spRealFftInverse(buf.data(), s.spec, nullptr);
        benchmark::DoNotOptimize(buf.data());
    }
}

void Inv_OursOutOfPlace(benchmark::State& state) {
    const int order = static_cast<int>(state.range(0));
    Spec s(order);
    const std::vector<float> x = input(1 << order);
    std::vector<float> src(x.size()), dst(x.size());
    for (auto _ : state) {
        std::copy(x.begin(), x.end(), src.begin());
        spRealFftInverseOutOfPlace_Gen(src.data(), dst.data(), s.spec, nullptr);
        benchmark::DoNotOptimize(dst.data());
    }
}

template <typename Peer>
void forwardPeer(benchmark::State& state) {
    const int n = 1 << state.range(0);
    Peer peer(n);
    const std::vector<float> x = input(n);
    for (auto _ : state) {
        std::copy(x.begin(), x.end(), peer.time());
        peer.forward();
        benchmark::DoNotOptimize(peer.freq());
    }
}

template <typename Peer>
void inversePeer(benchmark::State& state) {
    const int n = 1 << state.range(0);
    Peer peer(n);
    const std::vector<float> x = input(n);  // the same floats as a half spectrum
    auto* f = reinterpret_cast<float*>(peer.freq());
    for (auto _ : state) {
        std::copy(x.begin(), x.end(), f);
        peer.inverse();
        benchmark::DoNotOptimize(peer.time());
    }
}

void Fwd_Fftwf(benchmark::State& s) { forwardPeer<spbench::FftwfReal>(s); }
void Fwd_Kiss(benchmark::State& s) { forwardPeer<spbench::KissReal>(s); }
void Inv_Fftwf(benchmark::State& s) { inversePeer<spbench::FftwfReal>(s); }
void Inv_Kiss(benchmark::State& s) { inversePeer<spbench::KissReal>(s); }

}  // namespace

BENCHMARK(Fwd_OursInPlace)->DenseRange(6, 12);
BENCHMARK(Fwd_OursOutOfPlace)->DenseRange(6, 12);
BENCHMARK(Fwd_Fftwf)->DenseRange(6, 12);
BENCHMARK(Fwd_Kiss)->DenseRange(6, 12);
BENCHMARK(Inv_OursInPlace)->DenseRange(6, 12);
BENCHMARK(Inv_OursOutOfPlace)->DenseRange(6, 12);
BENCHMARK(Inv_Fftwf)->DenseRange(6, 12);
BENCHMARK(Inv_Kiss)->DenseRange(6, 12);

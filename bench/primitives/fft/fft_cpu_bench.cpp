// The FFT CPU builds against the generic build, fftwf (FFTW_MEASURE, planned
// outside the loop) and KissFFT: complex forward transforms of orders 6 to
// 22 (KissFFT to 16) and real forward and inverse transforms of orders 6 to 16, each build's
// body called by name with a caller work buffer on a record of its own
// layout. Every iteration first copies the same input into the buffer, for
// every contender alike. Read the results as ratios (ours / peer and
// ours / generic) from one run.
#include <benchmark/benchmark.h>
#include <fftw3.h>
#include <kiss_fft.h>

#include <algorithm>
#include <complex>
#include <random>
#include <vector>

#include "bench/primitives/fft/peers.h"
#include "primitives/convert/sp_cpu.h"
#include "primitives/fft/sp_fft_cpu.h"
#include "primitives/fft/sp_fft_gen.h"
#include "primitives/fft_simd/sp_fft_simd.h"
#include "primitives/vector/entry_table_b.h"

namespace {

std::vector<float> input(size_t n) {
    std::mt19937 rng(42);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = u(rng);
    return v;
}

using Create = SpStatus (*)(SpFftSpec**, int, int, int);
using Transform = SpStatus (*)(const float*, float*, const SpFftSpec*, uint8_t*);

struct BuildBodies {
    Create complexCreate, realCreate;
    Transform complexForward, realForward, realInverse;
    bool (*available)();
};

bool always() { return true; }
bool hasSse3() { return spCpuHasSse3() != 0; }
bool hasSsse3() { return spCpuHasSsse3() != 0; }
bool hasSse41() { return spCpuHasSse41() != 0; }

const BuildBodies kBodies[4] = {
    {spComplexFftCreate_Gen, spRealFftCreate_Gen, spComplexFftForward_Gen, spRealFftForwardOutOfPlace_Gen,
     spRealFftInverseOutOfPlace_Gen, always},
    {spComplexFftCreate_Sse3, spRealFftCreate_Sse3, spComplexFftForward_Sse3, spRealFftForwardOutOfPlace_Sse3,
     spRealFftInverseOutOfPlace_Sse3, hasSse3},
    {spComplexFftCreate_Ssse3, spRealFftCreate_Ssse3, spComplexFftForward_Ssse3, spRealFftForwardOutOfPlace_Ssse3,
     spRealFftInverseOutOfPlace_Ssse3, hasSsse3},
    {spComplexFftCreate_Sse41, spRealFftCreate_Sse41, spComplexFftForward_Sse41, spRealFftForwardOutOfPlace_Sse41,
     spRealFftInverseOutOfPlace_Sse41, hasSse41},
};

// A record of one build with its work buffer (workSize + 32 bytes).
struct Record {
    SpFftSpec* spec = nullptr;
    std::vector<uint8_t> work;
    Record(Create create, int order) {
        create(&spec, order, SP_FFT_DIV_INV_BY_N, 0);
        work.resize(spec != nullptr && spec->workSize > 0 ? spec->workSize + 32 : 32);
    }
    ~Record() {
        if (spec == nullptr) return;
        spec->id == SP_CTX_COMPLEX_FFT ? spComplexFftDestroy_Gen(spec) : spRealFftDestroy_Gen(spec);
    }
};

// Complex forward, in place, of build state.range(1).
void Complex_Ours(benchmark::State& state) {
    const int order = static_cast<int>(state.range(0));
    const BuildBodies& b = kBodies[state.range(1)];
    if (!b.available()) {
        state.SkipWithError("build not supported by this CPU");
        return;
    }
    Record r(b.complexCreate, order);
    const std::vector<float> x = input(size_t{2} << order);
    std::vector<float> buf(x.size());
    for (auto _ : state) {
        std::copy(x.begin(), x.end(), buf.begin());
        b.complexForward(buf.data(), buf.data(), r.spec, r.work.data());
        benchmark::DoNotOptimize(buf.data());
    }
}

void Complex_Fftwf(benchmark::State& state) {
    const int n = 1 << state.range(0);
    fftwf_complex* buf = fftwf_alloc_complex(n);
    fftwf_plan plan = fftwf_plan_dft_1d(n, buf, buf, FFTW_FORWARD, FFTW_MEASURE);
    const std::vector<float> x = input(2 * static_cast<size_t>(n));
    for (auto _ : state) {
        std::copy(x.begin(), x.end(), reinterpret_cast<float*>(buf));
        fftwf_execute(plan);
        benchmark::DoNotOptimize(buf);
    }
    fftwf_destroy_plan(plan);
    fftwf_free(buf);
}

void Complex_Kiss(benchmark::State& state) {
    const int n = 1 << state.range(0);
    kiss_fft_cfg cfg = kiss_fft_alloc(n, 0, nullptr, nullptr);
    const std::vector<float> x = input(2 * static_cast<size_t>(n));
    std::vector<kiss_fft_cpx> in(n), out(n);
    for (auto _ : state) {
        std::copy(x.begin(), x.end(), reinterpret_cast<float*>(in.data()));
        kiss_fft(cfg, in.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    kiss_fft_free(cfg);
}

// Real forward (range(2) 0) or inverse (1), in place, of build range(1).
void Real_Ours(benchmark::State& state) {
    const int order = static_cast<int>(state.range(0));
    const BuildBodies& b = kBodies[state.range(1)];
    if (!b.available()) {
        state.SkipWithError("build not supported by this CPU");
        return;
    }
    const Transform t = state.range(2) == 0 ? b.realForward : b.realInverse;
    Record r(b.realCreate, order);
    const std::vector<float> x = input(size_t{1} << order);
    std::vector<float> buf(x.size());
    for (auto _ : state) {
        std::copy(x.begin(), x.end(), buf.begin());
        t(buf.data(), buf.data(), r.spec, r.work.data());
        benchmark::DoNotOptimize(buf.data());
    }
}

template <typename Peer>
void realPeer(benchmark::State& state) {
    const int n = 1 << state.range(0);
    Peer peer(n);
    const std::vector<float> x = input(static_cast<size_t>(n) + 2);
    for (auto _ : state) {
        if (state.range(1) == 0) {
            std::copy(x.begin(), x.begin() + n, peer.time());
            peer.forward();
        } else {
            std::copy(x.begin(), x.end(), reinterpret_cast<float*>(peer.freq()));
            peer.inverse();
        }
        benchmark::DoNotOptimize(peer.time());
    }
}
void Real_Fftwf(benchmark::State& s) { realPeer<spbench::FftwfReal>(s); }
void Real_Kiss(benchmark::State& s) { realPeer<spbench::KissReal>(s); }

// Builds 0 (generic) to 3.
// Complex orders 17 to 22 run the large drivers.
BENCHMARK(Complex_Ours)->ArgsProduct({benchmark::CreateDenseRange(6, 22, 1), {0, 1, 2, 3}});
BENCHMARK(Complex_Fftwf)->DenseRange(6, 22);
BENCHMARK(Complex_Kiss)->DenseRange(6, 16);
BENCHMARK(Real_Ours)->ArgsProduct({benchmark::CreateDenseRange(6, 16, 1), {0, 1, 2, 3}, {0, 1}});
BENCHMARK(Real_Fftwf)->ArgsProduct({benchmark::CreateDenseRange(6, 16, 1), {0, 1}});
BENCHMARK(Real_Kiss)->ArgsProduct({benchmark::CreateDenseRange(6, 16, 1), {0, 1}});

}  // namespace

// Two kernels of the FFT builds against their peers, side by side in one run
// (names Op/impl/align/size, as ratios.py reads them):
// - PairProducts: 512 complex pair products of each CPU build against VOLK's
//   SSE3 complex multiply (aligned and unaligned forms) and a plain loop;
// - BitReverse: the in-place pair-table reversal of 2^12 to 2^22 complex
//   floats of each CPU build against a scalar loop over the same swap list.
// A build the processor lacks is skipped with a message.
#include <benchmark/benchmark.h>

#include <complex>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "primitives/fft/sp_fft_cpu.h"
#include "primitives/fft/sp_fft_gen.h"
#include "primitives/fft_simd/sp_fft_simd.h"

#ifdef SP_HAVE_VOLK
#include <volk/volk.h>
#endif

namespace {

bool buildRuns(int build) {
    if (build == 1) return __builtin_cpu_supports("sse3");
    if (build == 2) return __builtin_cpu_supports("ssse3");
    return __builtin_cpu_supports("sse4.1");
}

const char* buildName(int build) { return build == 1 ? "sse3" : build == 2 ? "ssse3" : "sse41"; }

// 64-byte aligned floats, `offset` floats past the boundary.
struct Floats {
    Floats(size_t n, size_t offset, float seed) : store(n + offset + 16) {
        const uintptr_t base = (reinterpret_cast<uintptr_t>(store.data()) + 63) & ~uintptr_t{63};
        data = reinterpret_cast<float*>(base) + offset;
        for (size_t i = 0; i < n; ++i) data[i] = seed + 0.001f * static_cast<float>(i % 997);
    }
    std::vector<float> store;
    float* data;
};

constexpr unsigned kPairs = 512;

using PairKernel = void (*)(const float*, const float*, float*, unsigned);
constexpr PairKernel kPairKernels[] = {spMulComplexPairsF32_Sse3, spMulComplexPairsF32_Ssse3,
                                       spMulComplexPairsF32_Sse41};

void pairProducts(benchmark::State& state, int build, size_t offset) {
    if (!buildRuns(build)) {
        state.SkipWithError("build not supported by this CPU");
        return;
    }
    Floats a(2 * kPairs, offset, 0.5f), b(2 * kPairs, offset, -0.25f), d(2 * kPairs, offset, 0.0f);
    for (auto _ : state) {
        kPairKernels[build - 1](a.data, b.data, d.data, kPairs);
        benchmark::DoNotOptimize(d.data);
    }
}

void pairProductsLoop(benchmark::State& state, size_t offset) {
    Floats a(2 * kPairs, offset, 0.5f), b(2 * kPairs, offset, -0.25f), d(2 * kPairs, offset, 0.0f);
    for (auto _ : state) {
        for (unsigned i = 0; i < kPairs; ++i) {
            const float ar = a.data[2 * i], ai = a.data[2 * i + 1], br = b.data[2 * i], bi = b.data[2 * i + 1];
            d.data[2 * i] = ar * br - ai * bi;
            d.data[2 * i + 1] = ar * bi + ai * br;
        }
        benchmark::DoNotOptimize(d.data);
        benchmark::ClobberMemory();
    }
}

#ifdef SP_HAVE_VOLK
void pairProductsVolk(benchmark::State& state, size_t offset, const char* impl) {
    Floats a(2 * kPairs, offset, 0.5f), b(2 * kPairs, offset, -0.25f), d(2 * kPairs, offset, 0.0f);
    for (auto _ : state) {
        volk_32fc_x2_multiply_32fc_manual(reinterpret_cast<lv_32fc_t*>(d.data), reinterpret_cast<lv_32fc_t*>(a.data),
                                          reinterpret_cast<lv_32fc_t*>(b.data), kPairs, impl);
        benchmark::DoNotOptimize(d.data);
    }
}
#endif

// The pair table of 2^L elements and the same swaps as an index list.
struct Reversal {
    explicit Reversal(int L) : table((size_t{1} << (L - 2)) + 1100, -1) {
        spFftBuildBitRevTable_Gen(L, table.data());
        const uint32_t n = 1u << L;
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t r = 0;
            for (int b = 0; b < L; ++b) r |= ((i >> b) & 1u) << (L - 1 - b);
            if (i < r) swaps.emplace_back(i, r);
        }
    }
    std::vector<int32_t> table;
    std::vector<std::pair<uint32_t, uint32_t>> swaps;
};

using ReverseKernel = void (*)(float*, int, const int32_t*);
constexpr ReverseKernel kReverseKernels[] = {spFftBitReversePairs_Sse3, spFftBitReversePairs_Ssse3,
                                             spFftBitReversePairs_Sse41};

void bitReverse(benchmark::State& state, int build, int L) {
    if (!buildRuns(build)) {
        state.SkipWithError("build not supported by this CPU");
        return;
    }
    const Reversal rev(L);
    Floats data(size_t{2} << L, 0, 1.0f);
    for (auto _ : state) {
        kReverseKernels[build - 1](data.data, 1 << L, rev.table.data());
        benchmark::ClobberMemory();
    }
}

void bitReverseLoop(benchmark::State& state, int L) {
    const Reversal rev(L);
    Floats data(size_t{2} << L, 0, 1.0f);
    auto* c = reinterpret_cast<std::complex<float>*>(data.data);
    for (auto _ : state) {
        for (const auto& [i, r] : rev.swaps) std::swap(c[i], c[r]);
        benchmark::ClobberMemory();
    }
}

int registerAll() {
    const std::pair<const char*, size_t> aligns[] = {{"aligned", 0}, {"offset4", 1}};
    const std::string pairs = "/" + std::to_string(kPairs);
    for (const auto& [align, offset] : aligns) {
        for (int build = 1; build <= 3; ++build)
            benchmark::RegisterBenchmark(
                ("PairProducts/" + std::string(buildName(build)) + "/" + align + pairs).c_str(),
                [build, offset = offset](benchmark::State& s) { pairProducts(s, build, offset); });
        benchmark::RegisterBenchmark(("PairProducts/loop/" + std::string(align) + pairs).c_str(),
                                     [offset = offset](benchmark::State& s) { pairProductsLoop(s, offset); });
#ifdef SP_HAVE_VOLK
        // The unaligned form for both; the aligned one only where it may run.
        benchmark::RegisterBenchmark(("PairProducts/volk_u_sse3/" + std::string(align) + pairs).c_str(),
                                     [offset = offset](benchmark::State& s) { pairProductsVolk(s, offset, "u_sse3"); });
        if (offset == 0)
            benchmark::RegisterBenchmark(("PairProducts/volk_a_sse3/" + std::string(align) + pairs).c_str(),
                                         [](benchmark::State& s) { pairProductsVolk(s, 0, "a_sse3"); });
#endif
    }
    for (int L = 12; L <= 22; L += 2) {
        const std::string size = "/aligned/" + std::to_string(1 << L);
        for (int build = 1; build <= 3; ++build)
            benchmark::RegisterBenchmark(("BitReverse/" + std::string(buildName(build)) + size).c_str(),
                                         [build, L](benchmark::State& s) { bitReverse(s, build, L); });
        benchmark::RegisterBenchmark(("BitReverse/loop" + size).c_str(),
                                     [L](benchmark::State& s) { bitReverseLoop(s, L); });
    }
    return 0;
}

const int kRegistered = registerAll();

}  // namespace

// Full sweeps of the CPU builds' exponential and logarithm (exhaustive
// label): every float of the exponential's computed range against
// exp(double), every positive normal float through both logarithm paths
// against log(double). The maxima are printed for the closing notes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "tests/primitives/support/ulp.h"
#include "tests/primitives/vector/builds/vec_kernels.h"

namespace sptest {
namespace {

constexpr size_t kChunk = 1 << 16;

// Calls fn(first bits, count) over [lo, hi] in chunks.
template <typename Fn>
void sweep(uint32_t lo, uint32_t hi, Fn fn) {
    for (uint64_t b = lo; b <= hi; b += kChunk) fn((uint32_t)b, (size_t)std::min<uint64_t>(kChunk, (uint64_t)hi - b + 1));
}

TEST(VecExpFull, EveryFloatOfTheComputedRange) {
    forEachVecBuild([&](int build, const SpVecKernels& k) {
        double worst = 0;
        std::vector<float> in(kChunk), out(kChunk);
        auto run = [&](uint32_t first, size_t n) {
            for (size_t i = 0; i < n; ++i) in[i] = bitsFloat(first + (uint32_t)i);
            k.spExpF32Kernel(in.data(), out.data(), (int)n);
            for (size_t i = 0; i < n; ++i) {
                if (std::fabs(in[i]) < 1.17549435e-38f) continue;
                double err = ulpError(out[i], std::exp((double)in[i]));
                worst = std::max(worst, err);
                if (err > 6.0) ADD_FAILURE() << in[i] << " err " << err;
            }
        };
        sweep(0x80800000u, 0xc2aeac49u, run);  // (-87.3365021, -2^-126]
        sweep(0x00800000u, 0x42ae3333u, run);  // [2^-126, 87.0999985]
        std::printf("[ measure  ] build %d exp max error %.3f ulp (all floats)\n", build, worst);
    });
}

TEST(VecLnFull, EveryPositiveNormalFloatOnBothPaths) {
    forEachVecBuild([&](int build, const SpVecKernels& k) {
        double worstShort = 0, worstVector = 0;
        alignas(16) static float v[kChunk];
        alignas(16) static char scratch[2048];
        sweep(0x00800000u, 0x7f7fffffu, [&](uint32_t first, size_t n) {
            for (size_t i = 0; i < n; ++i) v[i] = bitsFloat(first + (uint32_t)i);
            for (size_t i = 0; i < n; i += 16) k.spLnF32Kernel(v + i, (int)std::min<size_t>(16, n - i), scratch);
            for (size_t i = 0; i < n; ++i)
                worstShort = std::max(worstShort, ulpError(v[i], std::log((double)bitsFloat(first + (uint32_t)i))));
            for (size_t i = 0; i < n; ++i) v[i] = bitsFloat(first + (uint32_t)i);
            size_t whole = n / 256 * 256;
            for (size_t i = 0; i < whole; i += 256) k.spLnF32Kernel(v + i, 256, scratch);
            for (size_t i = 0; i < whole; ++i)
                worstVector = std::max(worstVector, ulpError(v[i], std::log((double)bitsFloat(first + (uint32_t)i))));
        });
        std::printf("[ measure  ] build %d ln max error (all positive normals): short %.3f, vector %.3f ulp\n", build,
                    worstShort, worstVector);
        EXPECT_LE(worstShort, 3.0);
        EXPECT_LE(worstVector, 5.0);
    });
}

}  // namespace
}  // namespace sptest

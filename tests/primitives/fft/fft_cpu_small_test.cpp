// The CPU rows of the complex small-kernel table (orders 0 to 3 of the
// builds' complex forward) give the generic rows' bits: scaled or not, in
// place or not, at any float alignment, on values with signed zeros,
// subnormals and wide exponents.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "primitives/fft/sp_fft_gen.h"
#include "primitives/sp_records.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/ulp.h"

namespace {

std::vector<float> seededValues(uint32_t seed, size_t n) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> mant(-1.0f, 1.0f);
    std::uniform_int_distribution<int> expo(-40, 40), pick(0, 9);
    const float specials[] = {0.0f, -0.0f, 1e-40f, -1e-40f, 1.0f, -1.0f};
    std::vector<float> v(n);
    for (float& x : v) {
        const int p = pick(rng);
        x = p < 6 ? specials[p] : std::ldexp(mant(rng), expo(rng));
    }
    return v;
}

void runKernel(const SpFftSmallKernel& k, bool scaled, const float* src, float* dst, float s) {
    if (scaled) {
        k.scaled(src, dst, s);
    } else {
        k.plain(src, dst);
    }
}

TEST(FftCpuSmallKernels, ComplexRowsGiveTheGenericBits) {
    for (int build = 1; build < SP_BUILD_COUNT; ++build) {
        if (!sptest::cpuHasBuild(build)) {
            std::printf("[ note     ] %s: not supported by this CPU, skipped\n",
                        sptest::buildName(build));
            continue;
        }
        SCOPED_TRACE(sptest::buildName(build));
        for (int scaled = 0; scaled < 2; ++scaled) {
            for (int order = 0; order <= 3; ++order) {
                const size_t floats = size_t{2} << order;
                const SpFftSmallKernel& gen = SP_COMPLEX_FFT_SMALL_KERNELS[scaled][order];
                const SpFftSmallKernel& cpu =
                    SP_COMPLEX_FFT_SMALL_KERNELS[2 * build + scaled][order];
                for (uint32_t seed = 1; seed <= 200; ++seed) {
                    const std::vector<float> in = seededValues(seed * 8 + order, floats);
                    const float s = scaled ? 1.0f / static_cast<float>(seed) : 1.0f;
                    std::vector<float> want(floats);
                    runKernel(gen, scaled, in.data(), want.data(), s);
                    for (size_t offset : {0u, 1u, 3u}) {
                        std::vector<float> src(floats + 8), dst(floats + 8, -7.0f);
                        std::memcpy(src.data() + offset, in.data(), floats * 4);
                        runKernel(cpu, scaled, src.data() + offset, dst.data() + offset, s);
                        std::vector<float> inPlace(src);
                        runKernel(cpu, scaled, inPlace.data() + offset, inPlace.data() + offset, s);
                        for (size_t i = 0; i < floats; ++i) {
                            ASSERT_EQ(sptest::floatBits(dst[offset + i]),
                                      sptest::floatBits(want[i]))
                                << "order " << order << " scaled " << scaled << " seed " << seed
                                << " float " << i;
                            ASSERT_EQ(sptest::floatBits(inPlace[offset + i]),
                                      sptest::floatBits(want[i]));
                        }
                        EXPECT_EQ(dst[offset + floats], -7.0f);
                        if (offset > 0) {
                            EXPECT_EQ(dst[offset - 1], -7.0f);
                        }
                    }
                }
            }
        }
    }
}

}  // namespace

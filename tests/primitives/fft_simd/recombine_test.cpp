// Build 1's real-FFT recombination passes against the generic passes, each
// with the table of its own build's record: the same bits on the same data,
// at any float alignment and in place.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "primitives/fft/sp_fft_cpu.h"
#include "primitives/fft/sp_fft_gen.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/ulp.h"

namespace {

// A real record of one build, in its own block.
struct RealRecord {
    std::vector<uint8_t> block, init;
    SpFftSpec* spec = nullptr;
    RealRecord(int order, SpStatus (*size)(int, int, int, int*, int*, int*),
               SpStatus (*build)(SpFftSpec**, int, int, int, uint8_t*, uint8_t*)) {
        int s = 0, i = 0, w = 0;
        EXPECT_EQ(size(order, SP_FFT_NODIV_BY_ANY, 0, &s, &i, &w), SP_STS_OK);
        block.resize(s);
        init.resize(i + 1);
        EXPECT_EQ(build(&spec, order, SP_FFT_NODIV_BY_ANY, 0, block.data(), init.data()),
                  SP_STS_OK);
    }
};

std::vector<float> seeded(uint32_t seed, size_t n) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = dist(rng);
    return v;
}

::testing::AssertionResult sameBits(const float* a, const float* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (sptest::floatBits(a[i]) != sptest::floatBits(b[i])) {
            return ::testing::AssertionFailure() << "float " << i << ": " << a[i] << " vs " << b[i];
        }
    }
    return ::testing::AssertionSuccess();
}

class Recombine : public ::testing::Test {
protected:
    void SetUp() override {
        if (!sptest::cpuHasBuild(1)) GTEST_SKIP() << "build 1 not supported by this CPU";
    }
};

TEST_F(Recombine, ForwardAndInverseGiveTheGenericBits) {
    for (int order = 4; order <= 16; ++order) {
        SCOPED_TRACE("order " + std::to_string(order));
        const RealRecord gen(order, spRealFftGetSize_Gen, spRealFftInit_Gen);
        const RealRecord cpu(order, spRealFftGetSize_Sse3, spRealFftInit_Sse3);
        const int n = 1 << (order - 1);
        const size_t floats = 2 * size_t(n);
        for (int zeroAtQuarter = 0; zeroAtQuarter < 2; ++zeroAtQuarter) {
            std::vector<float> z = seeded(order * 2 + zeroAtQuarter, floats);
            if (zeroAtQuarter) z[n + 1] = 0.0f;  // Im Z[N/4]
            std::vector<float> want(z);
            spRealFftRecombineFwd_Gen(want.data(), n, 1, gen.spec->recombineFwd);
            for (size_t offset : {0, 1, 3}) {
                std::vector<float> got(floats + 4, -9.0f);
                std::memcpy(got.data() + offset, z.data(), floats * 4);
                spRealFftRecombineFwd_Sse3(got.data() + offset, n, 1, cpu.spec->recombineFwd);
                EXPECT_TRUE(sameBits(got.data() + offset, want.data(), floats)) << "fwd " << offset;
                EXPECT_EQ(got[offset + floats], -9.0f);
            }

            std::vector<float> wantInv(floats, 5.0f);
            spRealFftRecombineInv_Gen(z.data(), wantInv.data(), n, -1, gen.spec->recombineInv);
            for (size_t offset : {0, 1, 3}) {
                std::vector<float> src(floats + 4), dst(floats + 4, 5.0f);
                std::memcpy(src.data() + offset, z.data(), floats * 4);
                spRealFftRecombineInv_Sse3(src.data() + offset, dst.data() + 3 - offset, n, -1,
                                           cpu.spec->recombineInv);
                EXPECT_TRUE(sameBits(dst.data() + 3 - offset, wantInv.data(), floats))
                    << "inv " << offset;
                spRealFftRecombineInv_Sse3(src.data() + offset, src.data() + offset, n, -1,
                                           cpu.spec->recombineInv);
                std::vector<float> inPlaceWant(wantInv);
                inPlaceWant[0] = z[0];
                inPlaceWant[1] = z[1];  // bin 0 is the caller's
                EXPECT_TRUE(sameBits(src.data() + offset, inPlaceWant.data(), floats))
                    << "inv in place " << offset;
            }
        }
    }
}

TEST_F(Recombine, QuarterBinAndRoundTrip) {
    const RealRecord cpu(6, spRealFftGetSize_Sse3, spRealFftInit_Sse3);
    const int n = 32;
    std::vector<float> z = seeded(11, 2 * n);
    z[n] = 1.0f;
    z[n + 1] = 1.0f;
    std::vector<float> inv(2 * n);
    spRealFftRecombineInv_Sse3(z.data(), inv.data(), n, -1, cpu.spec->recombineInv);
    EXPECT_EQ(inv[n], 2.0f);
    EXPECT_EQ(inv[n + 1], -2.0f);

    // The inverse pass undoes the forward one up to its factor 2.
    std::vector<float> x(z);
    spRealFftRecombineFwd_Sse3(x.data(), n, 1, cpu.spec->recombineFwd);
    std::vector<float> back(2 * n);
    spRealFftRecombineInv_Sse3(x.data(), back.data(), n, -1, cpu.spec->recombineInv);
    for (int i = 2; i < 2 * n; ++i) EXPECT_NEAR(back[i], 2.0f * z[i], 1e-5f) << i;
}

}  // namespace

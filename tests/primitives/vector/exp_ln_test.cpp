// Exponential and logarithm: the edge lists, the runtime/Pade split, and
// strided sweeps against glibc (the full sweeps are in exp_ln_sweep_test).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/ulp.h"
#include "tests/primitives/vector/exp_ln_sweep.h"

namespace sptest {
namespace {

std::vector<uint32_t> expBits(std::vector<float> v) {
    EXPECT_EQ(spExpF32InPlace(v.data(), (int)v.size()), SP_STS_OK);
    std::vector<uint32_t> bits;
    for (float f : v) bits.push_back(floatBits(f));
    return bits;
}

TEST(ExpEdges, ZerosAndSubnormalsGiveOneAndTheLoneNormalTakesTheRuntime) {
    EXPECT_EQ(expBits({0.0f, 1e-40f, -0.0f, 1.0f}),
              (std::vector<uint32_t>{0x3F800000u, 0x3F800000u, 0x3F800000u, floatBits((float)std::exp(1.0))}));
    EXPECT_EQ(floatBits((float)std::exp(1.0)), floatBits(2.7182817f));
    EXPECT_EQ(expBits({0.0f, 1e-40f, -0.0f}), (std::vector<uint32_t>{0x3F800000u, 0x3F800000u, 0x3F800000u}));
}

TEST(ExpEdges, ThresholdsInfinitiesAndNans) {
    const float inf = INFINITY;
    EXPECT_EQ(expBits({88.72283935546875f, -87.3365478515625f, -88.0f, 2.0f}),
              (std::vector<uint32_t>{0x7F800000u, 0u, 0u, floatBits((float)std::exp(2.0))}));
    std::vector<uint32_t> lone = expBits({-88.0f});
    EXPECT_GT(lone[0], 0u);
    EXPECT_LT(lone[0], 0x00800000u);  // a denormal, about 6.05e-39, on the runtime path
    EXPECT_EQ(expBits({bitsFloat(0x7FC00000u), bitsFloat(0xFFC00001u), bitsFloat(0x7F800001u), bitsFloat(0xFF812345u),
                       inf, -inf}),
              (std::vector<uint32_t>{0xFFC00000u, 0xFFC00000u, 0xFFC00000u, 0xFFC00000u, 0x7F800000u, 0u}));
}

// Five normal elements: index 0 on the runtime path, 1-4 in one Pade group.
TEST(ExpSplit, LowestIndicesTakeTheRuntimeAndTheRestThePadeGroups) {
    std::vector<float> x = {0.3f, -1.7f, 5.25f, 10.5f, -20.125f};
    std::vector<uint32_t> got = expBits(x);
    EXPECT_EQ(got[0], floatBits((float)std::exp((double)x[0])));
    for (int i = 1; i < 5; ++i) EXPECT_LE(ulpError(bitsFloat(got[i]), std::exp((double)x[i])), 2.0) << i;
}

TEST(ExpSweep, StridedFloatsOfTheOpenIntervalWithinTwoUlp) {
    SweepResult r = sweepExp(9973);
    std::printf("[ measure  ] exp, every 9973rd float: max %.3f ulp (Pade), %.3f ulp (runtime), %llu values\n",
                r.worstPade, r.worstRuntime, (unsigned long long)r.count);
    EXPECT_LE(r.worstPade, 2.0);
    EXPECT_LE(r.worstRuntime, 1.0);
}

TEST(LnEdges, FirstOffenderDecidesTheWarning) {
    std::vector<float> a = {1.0f, 0.0f, -1.0f};
    EXPECT_EQ(spLnF32InPlace(a.data(), 3), SP_STS_LN_ZERO_ARG);
    EXPECT_EQ(floatBits(a[0]), 0u);
    EXPECT_EQ(floatBits(a[1]), 0xFF800000u);
    EXPECT_EQ(floatBits(a[2]), 0xFFC00000u);
    std::vector<float> b = {-1.0f, 0.0f};
    EXPECT_EQ(spLnF32InPlace(b.data(), 2), SP_STS_LN_NEG_ARG);
    float c = -0.0f;
    EXPECT_EQ(spLnF32InPlace(&c, 1), SP_STS_LN_NEG_ARG);
    EXPECT_EQ(floatBits(c), 0xFFC00000u);
    float d = bitsFloat(0x7FC00000u);
    EXPECT_EQ(spLnF32InPlace(&d, 1), SP_STS_OK);
    EXPECT_EQ(floatBits(d), 0xFFC00000u);
}

TEST(LnEdges, InfinitySignallingNanAndSubnormals) {
    std::vector<float> v = {INFINITY, bitsFloat(0x7F800001u), bitsFloat(1), std::ldexp(1.0f, -130), 1e30f};
    EXPECT_EQ(spLnF32InPlace(v.data(), 5), SP_STS_OK);
    EXPECT_EQ(floatBits(v[0]), 0x7F800000u);
    EXPECT_TRUE(std::isnan(v[1]));
    EXPECT_LE(ulpError(v[2], std::log(std::ldexp(1.0, -149))), 1.0);
    EXPECT_LE(ulpError(v[3], -130.0 * std::log(2.0)), 1.0);
}

TEST(LnSweep, StridedPositiveFloatsWithinOneUlp) {
    SweepResult r = sweepLn(4099);
    std::printf("[ measure  ] ln, every 4099th positive float: max %.3f ulp, %llu values\n", r.worstRuntime,
                (unsigned long long)r.count);
    EXPECT_LE(r.worstRuntime, 1.0);
}

}  // namespace
}  // namespace sptest

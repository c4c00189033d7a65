// Vector power: the edge list bit for bit, the special table against glibc,
// grouping, accuracy against double-precision pow, the decibel-to-gain
// chain of the volume nodes, MXCSR handling and the generated tables.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "primitives/convert/entry_table_a.h"
#include "primitives/convert/pow_tables.h"
#include "primitives/convert/sp_gen.h"
#include "tests/primitives/support/mxcsr.h"
#include "tests/primitives/support/special_values.h"
#include "tests/primitives/support/ulp.h"

namespace sptest {
namespace {

struct PowCase {
    std::string name;
    float x, y;
    uint32_t expected;
    SpStatus status;
};

std::vector<PowCase> edgeList() {
    const float inf = INFINITY;
    return {
        {"TenToMinusOne", 10.0f, -1.0f, 0x3DCCCCCDu, SP_STS_OK},
        {"TenSquared", 10.0f, 2.0f, floatBits(100.0f), SP_STS_OK},
        {"TenToZero", 10.0f, 0.0f, floatBits(1.0f), SP_STS_OK},
        {"MinusInfinityDecibels", 10.0f, -1638.4f, 0u, SP_STS_OK},
        {"NegativeBaseThirdIsDomain", -8.0f, 1.0f / 3.0f, 0xFFC00000u, SP_STS_DOMAIN},
        {"NegativeBaseOddPower", -2.0f, 3.0f, floatBits(-8.0f), SP_STS_OK},
        {"NegativeBaseHugeEvenPowerOverflows", -2.0f, 16777216.0f, 0x7F800000u, SP_STS_OK},
        {"ZeroToMinusOneIsPole", 0.0f, -1.0f, 0x7F800000u, SP_STS_DOMAIN},
        {"MinusZeroToMinusThreeIsPole", -0.0f, -3.0f, 0xFF800000u, SP_STS_DOMAIN},
        {"MinusZeroToThree", -0.0f, 3.0f, 0x80000000u, SP_STS_OK},
        {"MinusZeroToTwo", -0.0f, 2.0f, 0u, SP_STS_OK},
        {"NanToZero", NAN, 0.0f, floatBits(1.0f), SP_STS_OK},
        {"OneToNan", 1.0f, NAN, floatBits(1.0f), SP_STS_OK},
        {"NanPayloadKept", bitsFloat(0x7FC12345u), 2.0f, 0x7FC12345u, SP_STS_OK},
        {"SignallingNanKept", bitsFloat(0xFF800001u), 2.0f, 0xFF800001u, SP_STS_OK},
        {"YNanPayloadKept", 2.0f, bitsFloat(0xFFA00001u), 0xFFA00001u, SP_STS_OK},
        {"HalfToMinusInfinity", 0.5f, -inf, 0x7F800000u, SP_STS_OK},
        {"TwoToMinusInfinity", 2.0f, -inf, 0u, SP_STS_OK},
        {"MinusOneToInfinity", -1.0f, inf, floatBits(1.0f), SP_STS_OK},
        {"ZeroToMinusInfinityIsPole", 0.0f, -inf, 0x7F800000u, SP_STS_DOMAIN},
        {"MinusInfinityToMinusThree", -inf, -3.0f, 0x80000000u, SP_STS_OK},
        {"MinusInfinityToThree", -inf, 3.0f, 0xFF800000u, SP_STS_OK},
        {"MinusInfinityToHalf", -inf, 0.5f, 0x7F800000u, SP_STS_OK},
        {"SubnormalBaseUsesThePrescale", std::ldexp(1.0f, -140), 0.5f, floatBits(std::ldexp(1.0f, -70)), SP_STS_OK},
        {"OverflowThroughTheSpecialRoutine", 3.0f, 200.0f, 0x7F800000u, SP_STS_OK},
        {"UnderflowToZero", 3.0f, -200.0f, 0u, SP_STS_OK},
    };
}

class PowEdges : public ::testing::TestWithParam<PowCase> {};

TEST_P(PowEdges, SingleElementGivesTheExpectedBitsAndStatus) {
    const PowCase& c = GetParam();
    float out = 123.0f;
    EXPECT_EQ(spPowF32(&c.x, &c.y, &out, 1), c.status);
    EXPECT_EQ(floatBits(out), c.expected) << std::hex << floatBits(out);
}

INSTANTIATE_TEST_SUITE_P(EdgeList, PowEdges, ::testing::ValuesIn(edgeList()),
                         [](const ::testing::TestParamInfo<PowCase>& info) { return info.param.name; });

// Cases that reach the special table, compared with glibc powf: equal bits
// where the result is a number, the table's own NaN bits otherwise.
TEST(PowSpecialTable, AgreesWithGlibcPowfAndKeepsNanBits) {
    std::vector<float> values;
    for (const NamedFloat& v : ieeeSpecials()) values.push_back(v.value());
    for (float v : {1.0f, -1.0f, 0.5f, -0.5f, 2.0f, -2.0f, 3.0f, -3.0f, 1.0f / 3.0f, 16777216.0f, -16777217.0f})
        values.push_back(v);
    int compared = 0;
    for (float x : values) {
        for (float y : values) {
            bool special = x == 0.0f || y == 0.0f || std::isinf(x) || std::isinf(y) || std::isnan(x) ||
                           std::isnan(y) || (x < 0.0f && std::nearbyint(y) != y);
            if (!special) continue;
            float got;
            SpStatus status = SP_STS_OK;
            spPowSpecialF32(&x, &y, &got, 0, &status);
            float want = std::pow(x, y);
            if (y == 0.0f || x == 1.0f) {  // glibc gives NaN for a signalling NaN here
                EXPECT_EQ(floatBits(got), 0x3F800000u) << x << " ^ " << y;
            } else if (std::isnan(want)) {
                uint32_t expected = std::isnan(x) ? floatBits(x) : std::isnan(y) ? floatBits(y) : 0xFFC00000u;
                EXPECT_EQ(floatBits(got), expected) << x << " ^ " << y;
            } else {
                EXPECT_EQ(floatBits(got), floatBits(want)) << x << " ^ " << y;
                ++compared;
            }
            bool pole = (x == 0.0f && y < 0.0f) || (x < 0.0f && std::isfinite(x) && std::isfinite(y) &&
                                                   std::nearbyint(y) != y);
            EXPECT_EQ(status, pole ? SP_STS_DOMAIN : SP_STS_OK) << x << " ^ " << y;
        }
    }
    EXPECT_GT(compared, 100);
}

// A group of 4 with one element off the fast path goes wholly through the
// special routine; len 9 makes two groups and one single element.
TEST(PowGroups, OneFailingElementSendsItsWholeGroupToTheSpecialRoutine) {
    std::vector<float> x(9, 10.0f), y = {-1638.4f, -0.05f, 0.37f, 1.3f, -0.05f, 0.37f, 1.3f, 2.1f, 0.37f};
    std::vector<float> out(9);
    ASSERT_EQ(spPowF32(x.data(), y.data(), out.data(), 9), SP_STS_OK);
    EXPECT_EQ(floatBits(out[0]), 0u);
    for (int i = 1; i < 4; ++i) {
        float special;
        SpStatus status = SP_STS_OK;
        spPowSpecialF32(x.data(), y.data(), &special - i, i, &status);
        EXPECT_EQ(floatBits(out[i]), floatBits(special)) << i;
    }
    for (int i = 1; i < 9; ++i) EXPECT_LE(ulpDistance(out[i], (float)std::pow(10.0, (double)y[i])), 1) << i;
}

TEST(PowGroups, StatusIsKeptAcrossGroupsAndEveryElementIsWritten) {
    std::vector<float> x = {2, 2, 2, 2, 2, 2, 2, 2, -8.0f}, y = {1, 2, 3, 4, 5, 6, 7, 8, 0.5f};
    std::vector<float> out(9, 0.0f);
    EXPECT_EQ(spPowF32(x.data(), y.data(), out.data(), 9), SP_STS_DOMAIN);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(out[i], std::ldexp(1.0f, i + 1));
    EXPECT_EQ(floatBits(out[8]), 0xFFC00000u);
}

double worstPowError(const std::vector<float>& x, const std::vector<float>& y, int64_t* worstUlps) {
    std::vector<float> out(x.size());
    spPowF32(x.data(), y.data(), out.data(), (int)x.size());
    double worst = 0.0;
    *worstUlps = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        double ref = std::pow((double)x[i], (double)y[i]);
        *worstUlps = std::max(*worstUlps, ulpDistance(out[i], (float)ref));
        worst = std::max(worst, ulpError(out[i], ref));
    }
    return worst;
}

TEST(PowAccuracy, SeededOperandsWithinOneUlpOfDoublePow) {
    std::mt19937 rng(20240605);
    std::uniform_real_distribution<float> base(0.001f, 1000.0f), exponent(-12.0f, 12.0f);
    std::vector<float> x, y;
    for (int i = 0; i < 200000; ++i) {
        x.push_back(base(rng));
        y.push_back(exponent(rng));
    }
    for (int i = 0; i < 2000; ++i) {  // negative bases with integer powers, subnormal bases
        x.push_back(-base(rng));
        y.push_back((float)(int)exponent(rng));
        x.push_back(std::ldexp(base(rng), -140));
        y.push_back(exponent(rng) / 24.0f);
    }
    int64_t ulps;
    double err = worstPowError(x, y, &ulps);
    std::printf("[ measure  ] pow vs (float)pow(double): max %.3f ulp of the exact value, %lld ulp of its float\n",
                err, (long long)ulps);
    EXPECT_LE(ulps, 1);
}

// The volume nodes' chain on every finite UAC volume (1/256 dB steps) as a
// 16.16 level: spI32ToF32, divide by 1310720, 10^x. Each gain is within
// one ulp of double pow on the exponent the chain computed; 0x80000000
// (minus infinity) gives +0.0.
TEST(PowVolumeChain, EveryUacVolumeStepGivesItsGain) {
    std::vector<int32_t> levels;
    for (int v = -32767; v <= 32767; ++v) levels.push_back(v * 256);
    levels.push_back(INT32_MIN);
    const int n = (int)levels.size();
    std::vector<float> exponents(n), base(n, 10.0f), gains(n);
    ASSERT_EQ(spI32ToF32(levels.data(), exponents.data(), n), SP_STS_OK);
    ASSERT_EQ(spDivConstF32InPlace(1310720.0f, exponents.data(), n), SP_STS_OK);
    ASSERT_EQ(spPowF32(base.data(), exponents.data(), gains.data(), n), SP_STS_OK);
    int64_t worst = 0;
    for (int i = 0; i + 1 < n; ++i) {
        float want = (float)std::pow(10.0, (double)exponents[i]);
        worst = std::max(worst, ulpDistance(gains[i], want));
    }
    std::printf("[ measure  ] volume chain: max %lld ulp from (float)pow(10, exponent)\n", (long long)worst);
    EXPECT_LE(worst, 1);
    EXPECT_EQ(floatBits(gains[n - 1]), 0u);
    EXPECT_EQ(gains[32767], 1.0f);  // 0 dB
}

// Under flush-to-zero, denormals-are-zero or round-toward-zero the results
// equal the default ones, and the caller's MXCSR comes back exactly.
TEST(PowMxcsr, CallerModesDoNotChangeResultsAndAreRestored) {
    std::vector<float> x = randomFiniteFloats(77, 512), y = randomFiniteFloats(78, 512);
    for (size_t i = 0; i < x.size(); ++i) {
        x[i] = std::fabs(x[i]);
        y[i] = std::fmod(y[i], 8.0f);
        if (i % 5 == 0) x[i] = std::ldexp(1.0f + (float)i / 512, -130);  // subnormal bases
    }
    std::vector<float> reference(512), got(512);
    spPowF32(x.data(), y.data(), reference.data(), 512);
    for (uint32_t mode : {kMxcsrDefault | kMxcsrFtz, kMxcsrDefault | kMxcsrDaz, kMxcsrDefault | kMxcsrRoundZero,
                          kMxcsrDefault | kMxcsrFtz | kMxcsrDaz | kMxcsrRoundUp}) {
        uint32_t after;
        {
            MxcsrScope scope(mode);
            spPowF32(x.data(), y.data(), got.data(), 512);
            after = readMxcsr();
        }
        EXPECT_EQ(after, mode) << std::hex << mode;
        for (size_t i = 0; i < 512; ++i) ASSERT_EQ(floatBits(got[i]), floatBits(reference[i])) << i;
    }
}

TEST(PowMxcsr, DomainCaseLeavesTheInvalidFlagAtDefaultMxcsr) {
    MxcsrScope scope(kMxcsrDefault);
    float x = -8.0f, y = 0.5f, out;
    EXPECT_EQ(spPowF32(&x, &y, &out, 1), SP_STS_DOMAIN);
    EXPECT_NE(readMxcsr() & kMxcsrInvalidFlag, 0u);
}

TEST(RaiseFpException, EachCodeRaisesItsFlagAndOthersNothing) {
    struct Code {
        int code;
        uint32_t flag;
    };
    for (Code c : {Code{SP_STS_DOMAIN, 0x01}, Code{SP_STS_SINGULARITY, 0x04}, Code{SP_STS_OVERFLOW, 0x08},
                   Code{SP_STS_UNDERFLOW, 0x10}, Code{5, 0}}) {
        MxcsrScope scope(kMxcsrDefault);
        spRaiseFpException(c.code);
        uint32_t flags = readMxcsr() & (kMxcsrFlags & ~0x20u);  // precision may come along
        EXPECT_EQ(flags, c.flag) << c.code;
    }
}

TEST(PowTables, PinnedEntriesAndSums) {
    EXPECT_EQ(floatBits(spPowTable.expPair[0][0]), 0x3F800000u);
    EXPECT_EQ(floatBits(spPowTable.expPair[0][1]), 0u);
    EXPECT_EQ(floatBits(spPowTable.expPair[64][0]), 0x3FB504F3u);
    EXPECT_EQ(doubleBits(spPowTable.logTable[256][0]), 0x3FE62E42FEFA39EFull);
    EXPECT_EQ(spPowTable.logTable[256][1], 0.5);
    EXPECT_EQ(spPowTable.logTable[0][0], 0.0);
    EXPECT_EQ(spPowTable.expFraction[0], 0u);
    EXPECT_EQ(spPowTable.expFraction[64], 0x6A09E667F3BCDull);
    double lnSum = 0.0, invSum = 0.0, hiSum = 0.0;
    for (int j = 0; j <= 256; ++j) lnSum += spPowTable.logTable[j][0], invSum += spPowTable.logTable[j][1];
    for (int j = 0; j < 128; ++j) hiSum += spPowTable.expPair[j][0];
    // Sums of ln(1 + j/256), 1/(1 + j/256) and 2^(j/128) (T_hi is truncated,
    // so its sum lies at most 128 float ulps below).
    EXPECT_NEAR(lnSum, 99.23776727670015, 1e-12);
    EXPECT_NEAR(invSum, 178.19592236350542, 1e-12);
    EXPECT_NEAR(hiSum, 184.16541650126248, 128 * 2.4e-7);
    for (int j = 0; j < 128; ++j) {
        double exact = std::exp2(j / 128.0);
        EXPECT_LE(spPowTable.expPair[j][0], exact) << j;
        EXPECT_NEAR((double)spPowTable.expPair[j][0] * (1.0 + spPowTable.expPair[j][1]), exact, 1e-13) << j;
    }
}

}  // namespace
}  // namespace sptest

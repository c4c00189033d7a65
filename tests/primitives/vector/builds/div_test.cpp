// Single-precision division of builds 1-3: the zero-divisor edge list bit
// for bit, exact groups around a zero divisor, the estimate path within its
// error bound and equal across the builds, overflowing quotients, and every
// alignment of the three pointers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/ulp.h"
#include "tests/primitives/vector/builds/vec_kernels.h"

namespace sptest {
namespace {

// Estimate path: r = rcpps(d) (relative error <= 1.5 * 2^-12) refined to
// second order; the bound holds on every processor model.
constexpr double kDivUlpBound = 3.0;

constexpr uint32_t kQuietNan = 0x7FC00000u, kPlusInf = 0x7F800000u, kMinusInf = 0xFF800000u;

// Largest ulp error over a run, reported once per test.
struct MaxUlp {
    double worst = 0.0;
    void add(double e) { worst = std::max(worst, e); }
};

TEST(VecDivKernels, ZeroDivisorsFollowTheEdgeList) {
    struct Case {
        float a, d;
        uint32_t want;
    } cases[] = {
        {1.0f, 0.0f, kPlusInf},          {1.0f, -0.0f, kPlusInf},           {5.0f, -0.0f, kPlusInf},
        {-1.0f, 0.0f, kMinusInf},        {0.0f, 0.0f, kQuietNan},           {-0.0f, 0.0f, kQuietNan},
        {bitsFloat(0xFFC12345u), 0.0f, kQuietNan}, {INFINITY, -0.0f, kPlusInf},
    };
    forEachBuild(spEntryTableB.spDivF32, [&](int build) {
        if (build == SP_BUILD_GEN) return;
        for (const Case& c : cases) {
            // Alone and inside a block of 8 at a 16-byte boundary.
            for (size_t n : {1u, 8u}) {
                SpBuffer<float> d(std::vector<float>(n, 2.0f), 0), a(std::vector<float>(n, 6.0f), 0), out(n, 0);
                d.set(n - 1, c.d);
                a.set(n - 1, c.a);
                EXPECT_EQ(spDivF32(d.data(), a.data(), out.data(), (int)n), SP_STS_DIV_BY_ZERO);
                EXPECT_EQ(floatBits(out.get(n - 1)), c.want) << c.a << " / " << c.d << " len " << n;
                for (size_t i = 0; i + 1 < n; ++i) EXPECT_EQ(out.get(i), 3.0f);
                EXPECT_TRUE(out.checkCanaries());
            }
        }
    });
}

// A zero divisor sends its block of 8 (the constant kernel: its group of 4)
// down the exact path: every other element is the IEEE quotient.
TEST(VecDivKernels, ElementsBesideAZeroDivisorAreExact) {
    std::mt19937 rng(20);
    std::uniform_real_distribution<float> dist(-100.0f, 100.0f);
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (int trial = 0; trial < 200; ++trial) {
            SpBuffer<float> d(16, 0), a(16, 0), out(16, 0);
            for (size_t i = 0; i < 16; ++i) d.set(i, dist(rng)), a.set(i, dist(rng));
            size_t zero = (size_t)trial % 8;
            d.set(zero, 0.0f);
            EXPECT_EQ(k.spDivF32Kernel(d.data(), a.data(), out.data(), 16), 1);
            for (size_t i = 0; i < 8; ++i)
                if (i != zero) {
                    ASSERT_EQ(floatBits(out.get(i)), floatBits(a.get(i) / d.get(i))) << "element " << i;
                }
            float val = a.get(0);
            EXPECT_EQ(k.spConstDivF32Kernel(d.data(), &val, out.data(), 16), 1);
            for (size_t i = zero / 4 * 4; i < zero / 4 * 4 + 4; ++i)
                if (i != zero) {
                    ASSERT_EQ(floatBits(out.get(i)), floatBits(val / d.get(i))) << "element " << i;
                }
        }
        SpBuffer<float> src(std::vector<float>{4.0f, 0.0f, -1.0f, 8.0f}, 0), out(4, 0);
        const float two = 2.0f;
        EXPECT_EQ(k.spConstDivF32Kernel(src.data(), &two, out.data(), 4), 1);
        EXPECT_EQ(out.values(), (std::vector<float>{0.5f, INFINITY, -2.0f, 0.25f}));
    });
}

// Checks one quotient: zero divisors by the edge list, others within the
// estimate's bound of the IEEE quotient.
void expectQuotient(float a, float d, float got, MaxUlp& worst) {
    if (d == 0.0f) {
        uint32_t want = (a == 0.0f || a != a) ? kQuietNan : (a > 0.0f ? kPlusInf : kMinusInf);
        ASSERT_EQ(floatBits(got), want) << a << " / " << d;
        return;
    }
    double e = ulpError(got, (double)(a / d));
    worst.add(e);
    ASSERT_LE(e, kDivUlpBound) << a << " / " << d << " gave " << got;
}

// Every alignment of divisors, dividends and dst (byte offsets 0-15 sampled
// as {0, 1, 2, 4, 8, 12}) at lengths 1-40, zeros sprinkled, canaries around
// dst; the constant kernel likewise; and the builds agree bit for bit.
TEST(VecDivKernels, EveryAlignmentWithinTheBoundAndEqualAcrossBuilds) {
    const size_t offsets[] = {0, 1, 2, 4, 8, 12};
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> mant(1.0f, 2.0f);
    std::uniform_int_distribution<int> expo(-30, 30);
    MaxUlp worst;
    for (size_t n = 1; n <= 40; ++n)
        for (size_t od : offsets)
            for (size_t oa : offsets)
                for (size_t oq : offsets) {
                    SpBuffer<float> d(n, od), a(n, oa);
                    for (size_t i = 0; i < n; ++i) {
                        d.set(i, rng() % 11 == 0 ? 0.0f : std::ldexp(mant(rng), expo(rng)) * (rng() % 2 ? 1 : -1));
                        a.set(i, std::ldexp(mant(rng), expo(rng)) * (rng() % 2 ? 1 : -1));
                    }
                    std::vector<uint32_t> first;
                    forEachVecBuild([&](int build, const SpVecKernels& k) {
                        SCOPED_TRACE(::testing::Message() << "len " << n << " offsets " << od << "/" << oa << "/" << oq);
                        SpBuffer<float> out(n, oq), outConst(n, oq);
                        int flag = k.spDivF32Kernel(d.data(), a.data(), out.data(), (int)n);
                        const float val = a.get(0);
                        int flagConst = k.spConstDivF32Kernel(d.data(), &val, outConst.data(), (int)n);
                        bool zero = false;
                        std::vector<uint32_t> bits;
                        for (size_t i = 0; i < n; ++i) {
                            zero = zero || d.get(i) == 0.0f;
                            expectQuotient(a.get(i), d.get(i), out.get(i), worst);
                            expectQuotient(val, d.get(i), outConst.get(i), worst);
                            bits.push_back(floatBits(out.get(i)));
                            bits.push_back(floatBits(outConst.get(i)));
                        }
                        EXPECT_EQ(flag, zero ? 1 : 0);
                        EXPECT_EQ(flagConst, zero ? 1 : 0);
                        ASSERT_TRUE(out.checkCanaries());
                        ASSERT_TRUE(outConst.checkCanaries());
                        if (build == 1) first = bits;
                        else EXPECT_EQ(bits, first) << "build " << build << " differs from build 1";
                    });
                    if (::testing::Test::HasFatalFailure()) return;
                }
    std::printf("[ measure  ] division estimate path: max %.2f ulp\n", worst.worst);
}

// Dividends at or past 2^127 and infinite dividends over divisors in
// [0.5, 2): the product a * rcp(d) overflows, yet no NaN comes out;
// overflowing quotients are +-Inf, finite ones within the bound.
TEST(VecDivKernels, OverflowingQuotientsGiveInfinityNotNan) {
    std::mt19937 rng(127);
    std::uniform_real_distribution<float> divisor(0.5f, 2.0f), mant(1.0f, 2.0f);
    const size_t n = 64;
    SpBuffer<float> d(n, 0), a(n, 0);
    for (size_t i = 0; i < n; ++i) {
        d.set(i, divisor(rng) * (i % 3 == 0 ? -1.0f : 1.0f));
        float big = i % 8 == 7 ? INFINITY : std::ldexp(mant(rng), 127);
        a.set(i, i % 2 ? -big : big);
    }
    MaxUlp worst;
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (size_t off : {0u, 4u, 1u}) {
            SpBuffer<float> out(n, off);
            EXPECT_EQ(k.spDivF32Kernel(d.data(), a.data(), out.data(), (int)n), 0);
            for (size_t i = 0; i < n; ++i) expectQuotient(a.get(i), d.get(i), out.get(i), worst);
            const float big = a.get(2);
            EXPECT_EQ(k.spConstDivF32Kernel(d.data(), &big, out.data(), (int)n), 0);
            for (size_t i = 0; i < n; ++i) expectQuotient(big, d.get(i), out.get(i), worst);
        }
    });
}

// The estimate's own limits outside zero-divisor groups: a subnormal or
// infinite divisor gives NaN (the generic build: a huge quotient or a signed
// zero); in a group with a zero divisor the same elements are exact.
TEST(VecDivKernels, EstimateLimitsKeptOutsideZeroGroups) {
    const float subnormal = bitsFloat(0x00000100u);
    forEachVecBuild([&](int, const SpVecKernels& k) {
        SpBuffer<float> d(std::vector<float>{subnormal, INFINITY, 2.0f, 4.0f}, 0), a(std::vector<float>(4, 1.0f), 0);
        SpBuffer<float> out(4, 0);
        EXPECT_EQ(k.spDivF32Kernel(d.data(), a.data(), out.data(), 4), 0);
        EXPECT_TRUE(std::isnan(out.get(0)));
        EXPECT_TRUE(std::isnan(out.get(1)));
        d.set(3, 0.0f);
        EXPECT_EQ(k.spDivF32Kernel(d.data(), a.data(), out.data(), 4), 1);
        EXPECT_EQ(out.get(0), 1.0f / subnormal);
        EXPECT_EQ(floatBits(out.get(1)), 0u);
    });
}

// len 1 with dst 4 bytes past an 8-byte boundary: the aligning step does
// the element and nothing else is touched.
TEST(VecDivKernels, SingleElementAtAnOddWordTouchesOnlyIt) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (size_t off : {4u, 12u}) {
            SpBuffer<float> d(std::vector<float>{3.0f}, 0), a(std::vector<float>{6.0f}, 0), out(1, off);
            EXPECT_EQ(k.spDivF32Kernel(d.data(), a.data(), out.data(), 1), 0);
            MaxUlp worst;
            expectQuotient(6.0f, 3.0f, out.get(0), worst);
            EXPECT_TRUE(out.checkCanaries());
        }
    });
}

}  // namespace
}  // namespace sptest

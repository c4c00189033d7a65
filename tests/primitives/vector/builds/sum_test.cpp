// Summation module of CPU builds 1-3: the fast and accurate float sums
// (block order, bounds against an exact MPFR sum), the complex and double
// sums, the 16-bit sums at every offset against exact integer sums, and the
// scaled rounding to int32.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#ifdef SP_HAVE_MPFR
#include <mpfr.h>
#endif

#include "tests/primitives/support/mxcsr.h"
#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/ulp.h"
#include "tests/primitives/vector/builds/vec_kernels.h"

namespace sptest {
namespace {

std::vector<float> spread(uint64_t seed, size_t n) {
    std::vector<float> v(n);
    uint64_t s = seed;
    for (float& x : v) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        int e = (int)((s >> 40) % 40) - 20;
        x = std::ldexp((float)((s >> 11) % 1000003) / 1000003.0f + 0.5f, e) * ((s >> 63) ? -1.0f : 1.0f);
    }
    return v;
}

// The fast kernel adds in float inside each block of 32768: 40,000 x 0.1f
// from a 16-byte boundary gives the block's float partials; the accurate
// kernel stays within double rounding.
TEST(VecSumFloat, FastAndAccurateOnTenthsFromABoundary) {
    SpBuffer<float> v(std::vector<float>(40000, 0.1f), 0);
    forEachVecBuild([&](int, const SpVecKernels& k) {
        double fast = 0, accurate = 0;
        k.spSumF32FastKernel(v.data(), 40000, &fast);
        k.spSumF32AccurateKernel(v.data(), 40000, &accurate);
        EXPECT_EQ(fast, 4000.0509033203125);
        EXPECT_NEAR(accurate, 40000.0 * (double)0.1f, 1e-9);
        EXPECT_NEAR(accurate, 4000.00006, 1e-5);
    });
}

// Float model of one block: four accumulators of four lanes, folded
// (A + C) + (B + D), then (P0 + P2, P1 + P3).
void blockModel(const float* p, size_t c, double* lane0, double* lane1) {
    float acc[4][4] = {};
    float part[4] = {0, 0, 0, 0};
    size_t i = 0;
    if (c >= 16) {
        for (; i + 16 <= c; i += 16)
            for (size_t r = 0; r < 4; ++r)
                for (size_t l = 0; l < 4; ++l) acc[r][l] = acc[r][l] + p[i + 4 * r + l];
        for (size_t l = 0; l < 4; ++l) part[l] = (acc[0][l] + acc[2][l]) + (acc[1][l] + acc[3][l]);
    }
    for (; i + 4 <= c; i += 4)
        for (size_t l = 0; l < 4; ++l) part[l] = part[l] + p[i + l];
    if (i + 2 <= c) {
        part[0] = part[0] + p[i];
        part[1] = part[1] + p[i + 1];
        i += 2;
    }
    if (i < c) part[0] = part[0] + p[i];
    *lane0 = *lane0 + (double)(part[0] + part[2]);
    *lane1 = *lane1 + (double)(part[1] + part[3]);
}

// Head into lane 0 up to the boundary, one full block of 32768 and the
// zero-length block after it.
TEST(VecSumFloat, FastKernelHeadAndExactBlockBoundary) {
    for (size_t off : {0u, 4u, 8u, 12u}) {
        size_t head = ((16 - off) & 15) / 4;
        std::vector<float> values = spread(off, head + 32768);
        SpBuffer<float> v(values, off);
        double lane0 = 0, lane1 = 0;
        for (size_t i = 0; i < head; ++i) lane0 = lane0 + (double)values[i];
        blockModel(values.data() + head, 32768, &lane0, &lane1);
        blockModel(values.data() + head + 32768, 0, &lane0, &lane1);
        forEachVecBuild([&](int, const SpVecKernels& k) {
            double got = 0;
            k.spSumF32FastKernel(v.data(), (int)values.size(), &got);
            EXPECT_EQ(got, lane0 + lane1) << "offset " << off;
        });
    }
}

#ifdef SP_HAVE_MPFR
// Exact sum of floats, rounded to double.
double exactSum(const std::vector<float>& v) {
    mpfr_t s;
    mpfr_init2(s, 2048);
    mpfr_set_zero(s, 1);
    for (float x : v) mpfr_add_d(s, s, (double)x, MPFR_RNDN);
    double r = mpfr_get_d(s, MPFR_RNDN);
    mpfr_clear(s);
    return r;
}
#endif

// Both kernels within the float error bound of an exact sum: the accurate
// one n * 2^-53 * sum|x|, the fast one its float blocks' (2^-24 per add of
// up to 2052 adds per lane) plus the carry in double.
TEST(VecSumFloat, WithinTheErrorBoundOfTheExactSum) {
#ifndef SP_HAVE_MPFR
    GTEST_SKIP() << "MPFR missing: run scripts/setup";
#else
    forEachVecBuild([&](int build, const SpVecKernels& k) {
        double worstFast = 0, worstAccurate = 0;
        for (size_t n : {1u, 3u, 17u, 1000u, 70001u}) {
            for (size_t off : {0u, 4u, 8u, 1u}) {
                std::vector<float> values = spread(n + off, n);
                SpBuffer<float> v(values, off);
                double exact = exactSum(values), mag = 0;
                for (float x : values) mag += std::fabs((double)x);
                double fast = 0, accurate = 0;
                k.spSumF32FastKernel(v.data(), (int)n, &fast);
                k.spSumF32AccurateKernel(v.data(), (int)n, &accurate);
                worstFast = std::max(worstFast, std::fabs(fast - exact) / mag);
                worstAccurate = std::max(worstAccurate, std::fabs(accurate - exact) / mag);
                EXPECT_LE(std::fabs(accurate - exact), (double)n * std::ldexp(mag, -53)) << n << "/" << off;
                EXPECT_LE(std::fabs(fast - exact), 2060.0 * std::ldexp(mag, -24)) << n << "/" << off;
            }
        }
        std::printf("[ measure  ] build %d sum error / sum|x|: fast %.3g, accurate %.3g\n", build, worstFast,
                    worstAccurate);
    });
#endif
}

// Small integers add exactly in every order: the complex sums at every
// offset keep (real, imaginary), the double sums match too.
TEST(VecSumOther, ComplexAndDoubleSumsKeepTheirParts) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (size_t n : {1u, 2u, 3u, 5u, 8u, 33u, 40000u}) {
            std::vector<float> f(2 * n);
            double re = 0, im = 0;
            for (size_t i = 0; i < n; ++i) {
                f[2 * i] = (float)(i % 7) - 3.0f;
                f[2 * i + 1] = (float)(i % 5) + 100.0f;
                re += f[2 * i];
                im += f[2 * i + 1];
            }
            std::vector<double> d(f.begin(), f.end());
            for (size_t off : {0u, 4u, 8u, 12u}) {
                SpBuffer<float> fb(f, off);
                SpBuffer<double> db(d, off);
                double s[2] = {0, 0};
                k.spSumComplexF32FastKernel((const SpComplexF32*)fb.data(), (int)n, s);
                EXPECT_EQ(s[0], re) << n << "/" << off;
                EXPECT_EQ(s[1], im) << n << "/" << off;
                k.spSumComplexF32AccurateKernel((const SpComplexF32*)fb.data(), (int)n, s);
                EXPECT_EQ(s[0], re);
                EXPECT_EQ(s[1], im);
                k.spSumComplexF64Kernel((const SpComplexF64*)db.data(), (int)n, s);
                EXPECT_EQ(s[0], re) << n << "/" << off;
                EXPECT_EQ(s[1], im) << n << "/" << off;
                k.spSumF64Kernel(db.data(), (int)(2 * n), s);
                EXPECT_EQ(s[0], re + im);
            }
        }
    });
}

// 16-bit sums at every byte offset 0-15 x len 1-40 against exact sums
// (canaried), and ending at a guard page; odd addresses never align and are
// summed element by element.
TEST(VecSumInt16, EveryOffsetAndLengthIsExactAndInBounds) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (size_t len = 1; len <= 40; ++len) {
            std::vector<int16_t> real(len), cplx(2 * len);
            int64_t sum = 0, re = 0, im = 0;
            for (size_t i = 0; i < len; ++i) sum += real[i] = (int16_t)(i * 7919 + len * 31);
            for (size_t i = 0; i < 2 * len; ++i) (i % 2 ? im : re) += cplx[i] = (int16_t)(i * 4099 - 20000);
            double got[2];
            for (size_t off = 0; off < 16; ++off) {
                SpBuffer<int16_t> r(real, off), c(cplx, off);
                k.spSumI16Kernel(r.data(), got, (int)len);
                EXPECT_EQ(got[0], (double)sum) << "len " << len << " offset " << off;
                k.spSumComplexI16Kernel((const SpComplexI16*)c.data(), got, (int)len);
                EXPECT_EQ(got[0], (double)re) << "len " << len << " offset " << off;
                EXPECT_EQ(got[1], (double)im) << "len " << len << " offset " << off;
            }
            SpGuardedBuffer<int16_t> gr(len, GuardedRegion::kGuardAfter), gc(2 * len, GuardedRegion::kGuardAfter);
            gr.assign(real);
            gc.assign(cplx);
            k.spSumI16Kernel(gr.data(), got, (int)len);
            EXPECT_EQ(got[0], (double)sum);
            k.spSumComplexI16Kernel((const SpComplexI16*)gc.data(), got, (int)len);
            EXPECT_EQ(got[1], (double)im);
        }
    });
}

TEST(VecSumInt16, LongRunsOfTheMostNegativeValue) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (size_t off : {0u, 1u, 2u}) {
            SpBuffer<int16_t> v(std::vector<int16_t>(400000, -32768), off);
            double got[2];
            k.spSumI16Kernel(v.data(), got, 200000);
            EXPECT_EQ(got[0], -6553600000.0) << off;
            k.spSumComplexI16Kernel((const SpComplexI16*)v.data(), got, 200000);
            EXPECT_EQ(got[0], -6553600000.0) << off;
            EXPECT_EQ(got[1], -6553600000.0) << off;
        }
    });
}

TEST(VecRoundScaled, EdgeList) {
    struct Case {
        double value;
        int sf;
        int32_t want;
    };
    const Case cases[] = {
        {3e9, 0, INT32_MAX},   {-3e9, 0, INT32_MIN},   {5.0, 1, 2},         {7.0, 1, 4},
        {5.0, 2000, 0},        {1.0, -31, INT32_MAX},  {-1.0, -1100, INT32_MIN}, {0.0, -1100, 0},
        {-6.5, 0, -6},         {1e300, 1023, 0},       {std::nan(""), 0, INT32_MIN},
    };
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (const Case& c : cases) {
            EXPECT_EQ(k.spRoundScaledF64ToI32(&c.value, c.sf), c.want) << c.value << " sf " << c.sf;
            const double pair[2] = {c.value, -c.value};
            int32_t out[2];
            k.spRoundScaledComplexF64ToI32(pair, out, c.sf);
            EXPECT_EQ(out[0], c.want);
        }
    });
}

}  // namespace
}  // namespace sptest

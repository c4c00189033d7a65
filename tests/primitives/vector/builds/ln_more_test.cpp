// Double and integer logarithms of CPU builds 1-3: the reduction table,
// the double edge list and bound against MPFR, the float-result variant,
// the scale factor, and the scaled integer logarithms against exact
// rounding of the true logarithm.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "primitives/vector/ln_f64_table.h"
#include "tests/primitives/support/references.h"
#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/ulp.h"
#include "tests/primitives/vector/builds/vec_kernels.h"

namespace sptest {
namespace {

constexpr uint64_t kLn2Hi = 0x3FE62E42FEFA37FDull;
constexpr uint64_t kLn2Lo = 0x3D2EF35793C7672Eull;

// Rows the kernels fix as printed, every r by its rule, and the sums of
// the columns.
TEST(VecLnTable, PrintedRowsRuleAndSums) {
    struct Row {
        int j;
        const char *hi, *lo;
    };
    const Row printed[] = {{0, "0", "0"},
                           {2, "0.0307411415542447", "3.5824456269582e-14"},
                           {63, "0.685365040117858", "3.19898201408802e-14"},
                           {64, "0.69314718055989", "5.49792301870837e-14"}};
    for (const Row& r : printed) {
        EXPECT_EQ(spLnF64Table[r.j].hi, std::strtod(r.hi, nullptr)) << r.j;
        EXPECT_EQ(spLnF64Table[r.j].lo, std::strtod(r.lo, nullptr)) << r.j;
    }
    EXPECT_EQ(doubleBits(spLnF64Table[64].hi), kLn2Hi);
    EXPECT_EQ(doubleBits(spLnF64Table[64].lo), kLn2Lo);
    EXPECT_EQ(spLnF64Table[2].r, 0.9697265625);
    EXPECT_EQ(spLnF64Table[63].r, 0.50390625);
    double sumR = 0, sumHi = 0, sumLo = 0;
    for (int j = 0; j <= 64; ++j) {
        EXPECT_EQ(spLnF64Table[j].r, std::nearbyint(4096.0 / (1.0 + j / 64.0)) / 4096.0) << j;
        EXPECT_EQ(spLnF64Table[j].r2, spLnF64Table[j].r) << j;
        // hi + lo is -ln r to about double-double accuracy (the fixed rows
        // within 6 ulp of the double nearest it).
        double want = -std::log((long double)spLnF64Table[j].r);
        EXPECT_LE(std::fabs(spLnF64Table[j].hi + spLnF64Table[j].lo - want), 7 * std::ldexp(1.0, -53)) << j;
        sumR += spLnF64Table[j].r;
        sumHi += spLnF64Table[j].hi;
        sumLo += spLnF64Table[j].lo;
    }
    EXPECT_EQ(sumR, 45.11279296875);
    EXPECT_EQ(sumHi, 25.067835108579562);
    EXPECT_EQ(sumLo, 1.2319359818862644e-13);
}

TEST(VecLnF64, EdgeListAndStatus) {
    const double smallest = 4.9406564584124654e-324;
    forEachVecBuild([&](int, const SpVecKernels& k) {
        struct Case {
            double in;
            uint64_t bits;  // 0: check the value instead
            double value;
            int status;
        };
        const Case cases[] = {
            {1.0, 0, 0.0, 0},
            {2.0, 0, bitsDouble(kLn2Hi) + bitsDouble(kLn2Lo), 0},
            {0.0, 0xFFF0000000000000ull, 0, 2},
            {-1.0, 0xFFF8000000000000ull, 0, 4},
            {-0.0, 0xFFF8000000000000ull, 0, 4},
            {INFINITY, 0x7FF0000000000000ull, 0, 0},
            {bitsDouble(0x7FF0000000000123ull), 0x7FF8000000000000ull, 0, 0},
            {bitsDouble(0xFFF8000000000001ull), 0xFFF8000000000000ull, 0, 4},
        };
        for (const Case& c : cases) {
            double out = 7;
            EXPECT_EQ(k.spLnF64Kernel(&c.in, &out, 1), c.status) << c.in;
            if (c.bits)
                EXPECT_EQ(doubleBits(out), c.bits) << c.in;
            else
                EXPECT_EQ(out, c.value) << c.in;
        }
        double out;
        k.spLnF64Kernel(&smallest, &out, 1);
        EXPECT_NEAR(out, -744.4400719213812, 1.2e-13);  // one ulp
        const double pair[2] = {-1.0, 0.0}, swapped[2] = {0.0, -1.0};
        double o2[2];
        EXPECT_EQ(k.spLnF64Kernel(pair, o2, 2), 4);
        EXPECT_EQ(k.spLnF64Kernel(swapped, o2, 2), 2);
        // Odd lengths at both alignments write nothing past the end.
        for (size_t off : {0u, 8u}) {
            SpBuffer<double> src(std::vector<double>{3.0, 5.0, 7.0}, off), dst(3, off);
            k.spLnF64Kernel(src.data(), dst.data(), 3);
            EXPECT_TRUE(dst.checkCanaries());
            EXPECT_NEAR(dst.get(2), std::log(7.0), 1e-15);
        }
    });
}

std::vector<double> positiveDoubles(uint64_t seed, size_t n) {
    std::vector<double> v(n);
    uint64_t s = seed;
    for (double& x : v) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        x = bitsDouble(0x0010000000000000ull + (s >> 1) % 0x7fe0000000000000ull);
    }
    return v;
}

TEST(VecLnF64, WithinBoundOfMpfr) {
    if (!mpfrAvailable()) GTEST_SKIP() << "MPFR missing: run scripts/setup";
    std::vector<double> in = positiveDoubles(3, 20000);
    for (int i = 0; i < 2000; ++i) in.push_back(1.0 + i * 0x1p-20);  // near 1, where T_hi is 0
    std::vector<double> ref(in.size());
    for (size_t i = 0; i < in.size(); ++i) ref[i] = mpfrLog(in[i]);
    forEachVecBuild([&](int build, const SpVecKernels& k) {
        std::vector<double> out(in.size());
        std::vector<float> outF(in.size());
        EXPECT_EQ(k.spLnF64Kernel(in.data(), out.data(), (int)in.size()), 0);
        EXPECT_EQ(k.spLnF64ToF32Kernel(in.data(), outF.data(), (int)in.size()), 0);
        // The ln 2 pair the reduction adds k times lies 3 ulp (3.3e-16) below
        // ln 2: beside 4 ulp of the result, a result may carry k times that
        // deficit, which shows most where T_hi cancels (0.787 gives 12 ulp).
        const long double deficit = 0.693147180559945309417232121458L - ((long double)bitsDouble(kLn2Hi) + bitsDouble(kLn2Lo));
        double worst = 0, worstF = 0, worstX = 0;
        for (size_t i = 0; i < in.size(); ++i) {
            if (ref[i] == 0) continue;
            double ulp = std::ldexp(1.0, std::ilogb(ref[i]) - 52);
            int k = std::ilogb(in[i]) + (in[i] / std::ldexp(1.0, std::ilogb(in[i])) >= 1.0 + 63.5 / 64 ? 1 : 0);
            double allowed = 4 * ulp + 1.1 * (double)(std::abs(k) * deficit);
            EXPECT_LE(std::fabs(out[i] - ref[i]), allowed) << in[i];
            if (std::fabs(out[i] - ref[i]) / ulp > worst) worstX = in[i];
            worst = std::max(worst, std::fabs(out[i] - ref[i]) / ulp);
            worstF = std::max(worstF, ulpError(outF[i], ref[i]));
        }
        std::printf("[ measure  ] build %d ln double max error %.3f ulp (at %.17g), to float %.3f ulp\n", build, worst,
                    worstX, worstF);
        EXPECT_LE(worstF, 0.51);
    });
}

TEST(VecLnF64, FloatResultSpecials) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        const double in[6] = {-2.0, 0.0, INFINITY, bitsDouble(0x7FF0000000000001ull), 4.9406564584124654e-324, 1.0};
        float out[6];
        EXPECT_EQ(k.spLnF64ToF32Kernel(in, out, 6), 4);
        const uint32_t want[4] = {0xffc00000u, 0xff800000u, 0x7f800000u, 0x7fc00000u};
        for (int i = 0; i < 4; ++i) EXPECT_EQ(floatBits(out[i]), want[i]) << i;
        EXPECT_EQ(out[4], (float)-744.4400719213812);
        EXPECT_EQ(out[5], 0.0f);
    });
}

TEST(VecLnInt, ScaleFactor) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        float f;
        for (auto [sf, want] : {std::pair{0, 1.0f}, {3, 0.125f}, {-3, 8.0f}, {126, 0x1p-126f}, {200, 0x1p-126f},
                                {-126, 0x1p126f}, {-500, 0x1p126f}}) {
            k.spScaleFactorF32(sf, &f);
            EXPECT_EQ(f, want) << sf;
        }
    });
}

TEST(VecLnInt, EdgeListAndStatus) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        alignas(16) char scratch[32 + 8 * 64];
        const int32_t in32[8] = {1, 2, 3, 20, 0, -5, 2147483647, 7};
        int32_t out32[8];
        float one;
        k.spScaleFactorF32(0, &one);
        EXPECT_EQ(k.spLnI32ScaledKernel(in32, out32, 8, &one, scratch), 2);
        const int32_t want32[8] = {0, 1, 1, 3, INT32_MIN, INT32_MIN, 21, 2};
        for (int i = 0; i < 8; ++i) EXPECT_EQ(out32[i], want32[i]) << in32[i];
        const int16_t in16[4] = {2, 32767, 0, -3};
        int16_t out16[4];
        EXPECT_EQ(k.spLnI16ScaledKernel(in16, out16, 4, -10, scratch), 2);
        const int16_t want16[4] = {710, 10647, -32768, -32768};
        for (int i = 0; i < 4; ++i) EXPECT_EQ(out16[i], want16[i]) << in16[i];
        int16_t neg[2] = {-1, 0};
        EXPECT_EQ(k.spLnI16ScaledInPlaceKernel(neg, 2, 0, scratch), 4);
        int32_t zeroFirst[2] = {0, -1};
        EXPECT_EQ(k.spLnI32ScaledInPlaceKernel(zeroFirst, 2, &one, scratch), 2);
        int16_t big[1];
        EXPECT_EQ(k.spLnI32ToI16ScaledKernel(in32 + 6, big, 1, -20, scratch), 0);
        EXPECT_EQ(big[0], 32767);
    });
}

// Correct rounding of ln(x) 2^-sf, saturated, is met within 1 plus the
// float work's few ulps of the result (results past 2^24 are steps of 2
// or more) by every kernel and path; in-place and out-of-place agree where
// they split alike.
int64_t nearestScaledLn(int64_t x, int sf, int64_t lo, int64_t hi) {
    if (x <= 0) return lo;
    long double v = std::nearbyint(std::log((long double)(float)x) * std::ldexp(1.0L, -sf));
    return v < lo ? lo : (v > hi ? hi : (int64_t)v);
}

TEST(VecLnInt, WithinOneOfTheRoundedLogarithm) {
    std::vector<int32_t> in32;
    uint64_t s = 17;
    for (int i = 0; i < 3000; ++i) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        in32.push_back((int32_t)((s >> 33) >> ((s >> 8) % 31)));
    }
    std::vector<int16_t> in16;
    for (int v = -40; v <= 32767; v += 7) in16.push_back((int16_t)v);
    forEachVecBuild([&](int, const SpVecKernels& k) {
        std::vector<char> scratchStore(32 + 8 * in16.size() + 16);
        void* scratch = (void*)(((uintptr_t)scratchStore.data() + 15) & ~(uintptr_t)15);
        for (int sf = -20; sf <= 20; sf += 3) {
            float scale;
            k.spScaleFactorF32(sf, &scale);
            for (size_t off : {0u, 4u}) {
                SpBuffer<int32_t> src(in32, off), dst(in32.size(), off), inPlace(in32, off);
                k.spLnI32ScaledKernel(src.data(), dst.data(), (int)in32.size(), &scale, scratch);
                k.spLnI32ScaledInPlaceKernel(inPlace.data(), (int)in32.size(), &scale, scratch);
                for (size_t i = 0; i < in32.size(); ++i) {
                    int64_t want = nearestScaledLn(in32[i], sf, INT32_MIN, INT32_MAX);
                    ASSERT_LE((double)std::llabs(dst.get(i) - want), 1 + 0x1p-22 * std::fabs((double)want))
                        << in32[i] << " sf " << sf;
                    ASSERT_EQ(inPlace.get(i), dst.get(i)) << in32[i] << " sf " << sf;
                }
                SpBuffer<int16_t> narrow(in32.size(), off / 2);
                k.spLnI32ToI16ScaledKernel(src.data(), narrow.data(), (int)in32.size(), sf, scratch);
                for (size_t i = 0; i < in32.size(); ++i)
                    ASSERT_LE(std::llabs(narrow.get(i) - nearestScaledLn(in32[i], sf, -32768, 32767)), 1) << in32[i];
                EXPECT_TRUE(dst.checkCanaries());
                EXPECT_TRUE(narrow.checkCanaries());
            }
            for (size_t off : {0u, 2u, 6u}) {
                SpBuffer<int16_t> src(in16, off), dst(in16.size(), off), inPlace(in16, off);
                k.spLnI16ScaledKernel(src.data(), dst.data(), (int)in16.size(), sf, scratch);
                k.spLnI16ScaledInPlaceKernel(inPlace.data(), (int)in16.size(), sf, scratch);
                for (size_t i = 0; i < in16.size(); ++i) {
                    ASSERT_LE(std::llabs(dst.get(i) - nearestScaledLn(in16[i], sf, -32768, 32767)), 1)
                        << in16[i] << " sf " << sf;
                    ASSERT_EQ(inPlace.get(i), dst.get(i));
                }
                EXPECT_TRUE(dst.checkCanaries());
            }
        }
    });
}

}  // namespace
}  // namespace sptest

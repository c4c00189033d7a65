// Square roots and add-scaled of CPU builds 1-3: the float kernel's exact
// path, Newton bound, flag and MXCSR rules; the double kernel with the
// caller's masks given back; complex roots against long-double references;
// integer roots against exact integer references; the byte table; and
// add-scaled against the generic build.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <vector>

#include "primitives/convert/sp_cpu.h"
#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/mxcsr.h"
#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/ulp.h"
#include "tests/primitives/vector/builds/sqrt_reference.h"
#include "tests/primitives/vector/builds/vec_image.h"
#include "tests/primitives/vector/builds/vec_kernels.h"

namespace sptest {
namespace {

constexpr uint32_t kPrecisionFlag = 0x20;

std::vector<float> padded(std::vector<float> head) {
    head.resize(16, 1.0f);
    return head;
}

TEST(VecSqrtF32, SpecialValuesTakeTheExactPath) {
    const float nan = bitsFloat(0x7fc00000u);
    forEachVecBuild([&](int, const SpVecKernels& k) {
        SpBuffer<float> v(padded({4, -1, 0, -0.0f, INFINITY, nan, 1e-40f, 2}), 0);
        EXPECT_NE(k.spSqrtF32Kernel(v.data(), v.data(), 16), 0);
        const uint32_t want[8] = {floatBits(2.0f), 0xffc00000u, 0, 0x80000000u, 0x7f800000u, 0x7fc00000u,
                                  floatBits((float)std::sqrt((double)1e-40f)), floatBits((float)std::sqrt(2.0))};
        for (size_t i = 0; i < 8; ++i) EXPECT_EQ(floatBits(v.get(i)), want[i]) << i;
        for (size_t i = 8; i < 16; ++i) EXPECT_EQ(v.get(i), 1.0f);
        // Without the -1 no flag: -0 and NaN do not count in a block.
        SpBuffer<float> w(padded({4, 9, 0, -0.0f, INFINITY, bitsFloat(0xffc00001u), 1e-40f, 2}), 0);
        EXPECT_EQ(k.spSqrtF32Kernel(w.data(), w.data(), 16), 0);
        EXPECT_EQ(w.get(1), 3.0f);
    });
}

TEST(VecSqrtF32, SignSetNaNCountsInTheHeadOnly) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        SpBuffer<float> head(std::vector<float>{bitsFloat(0xffc00001u)}, 4);
        EXPECT_NE(k.spSqrtF32Kernel(head.data(), head.data(), 1), 0);
        SpBuffer<float> negZero(std::vector<float>{-0.0f}, 4);
        EXPECT_EQ(k.spSqrtF32Kernel(negZero.data(), negZero.data(), 1), 0);
        EXPECT_EQ(floatBits(negZero.get(0)), 0x80000000u);
        std::vector<float> block(16, 2.0f);
        block[5] = bitsFloat(0xffc00001u);
        SpBuffer<float> b(block, 0);
        EXPECT_EQ(k.spSqrtF32Kernel(b.data(), b.data(), 16), 0);
    });
}

// Newton path within 5 ulp of the exact root, the same bits in every build
// of this run, at every alignment of src and dst.
TEST(VecSqrtF32, NewtonPathWithinFiveUlp) {
    std::vector<float> in;
    for (uint32_t b = 0x00800000u; b < 0x7f800000u; b += 4093) in.push_back(bitsFloat(b));
    in.resize(in.size() / 16 * 16);
    std::vector<float> first;
    forEachVecBuild([&](int build, const SpVecKernels& k) {
        double worst = 0;
        std::vector<float> out(in.size());
        for (size_t off : {0u, 4u, 8u}) {
            SpBuffer<float> src(in, off), dst(in.size(), off == 4 ? 0 : off);
            k.spSqrtF32Kernel(src.data(), dst.data(), (int)in.size());
            for (size_t i = 0; i < in.size(); ++i) worst = std::max(worst, ulpError(dst.get(i), std::sqrt((double)in[i])));
            if (off == 0) out = dst.values();
            EXPECT_TRUE(dst.checkCanaries());
        }
        std::printf("[ measure  ] build %d sqrt float Newton max error %.3f ulp\n", build, worst);
        EXPECT_LE(worst, 5.0);
        if (first.empty())
            first = out;
        else
            EXPECT_EQ(0, std::memcmp(first.data(), out.data(), out.size() * 4));
    });
}

// MXCSR after the float kernel: a caller word that masks everything stays
// (inexact aside) unless the run changed another bit, which reloads the
// caller's word without denormals-are-zero.
TEST(VecSqrtF32, ControlWordAfterTheRun) {
    struct Case {
        const char* name;
        uint32_t caller;
        float value;
        uint32_t after;  // without the precision flag
    };
    const Case cases[] = {
        {"masked, invalid raised", kMxcsrDefault, -1.0f, kMxcsrDefault},
        {"DAZ kept when nothing else changes", kMxcsrDefault | kMxcsrDaz, 4.0f, kMxcsrDefault | kMxcsrDaz},
        {"DAZ dropped with a reload", kMxcsrDefault | kMxcsrDaz, -1.0f, kMxcsrDefault},
        {"unmasked invalid: no trap, caller back", 0x1F00u, -1.0f, 0x1F00u},
        {"flush-to-zero kept", kMxcsrDefault | kMxcsrFtz, 2.0f, kMxcsrDefault | kMxcsrFtz},
    };
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (const Case& c : cases) {
            SpBuffer<float> v(std::vector<float>(20, c.value), 0);
            uint32_t after;
            {
                MxcsrScope scope(c.caller);
                k.spSqrtF32Kernel(v.data(), v.data(), 20);
                after = readMxcsr();
            }
            EXPECT_EQ(after & ~kPrecisionFlag, c.after) << c.name << std::hex << " got " << after;
        }
    });
}

// ---- Double -----------------------------------------------------------------------------
// The refined double root: with I = 1 + e (|e| <= about 3 x 2^-12 from the
// estimate's 1.5 x 2^-12) the correction is 16 G (1 - e/2 + 3e^2/8 - 5e^3/16 +
// e^4/16), whose e^4 term falls 27/128 e^4 short of the series of 1/sqrt(I):
// a relative error of up to about 6.2e-14 (about 280 ulp), far from
// correctly rounded even for perfect squares.
constexpr double kRefinedBound = 6.5e-14;

TEST(VecSqrtF64, EdgesAndBound) {
    forEachVecBuild([&](int build, const SpVecKernels& k) {
        const double sub = 4.9406564584124654e-324 * 12345;
        for (size_t off : {0u, 8u}) {
            SpBuffer<double> v(std::vector<double>{INFINITY, sub, -1.0, -0.0, 4.0, 2.0, 1e300, 3.0, 0.0}, off);
            EXPECT_NE(k.spSqrtF64Kernel(v.data(), v.data(), 9), 0);
            EXPECT_EQ(v.get(0), INFINITY);
            EXPECT_EQ(v.get(1), std::sqrt(sub));
            EXPECT_TRUE(std::isnan(v.get(2)));
            EXPECT_EQ(doubleBits(v.get(3)), 0x8000000000000000ull);
            EXPECT_NEAR(v.get(4), 2.0, 2.0 * kRefinedBound);
            SpBuffer<double> z(std::vector<double>{-0.0, 1.0}, off);
            EXPECT_EQ(k.spSqrtF64Kernel(z.data(), z.data(), 2), 0) << "-0.0 is not negative";
        }
        // The refined path on normal values.
        std::vector<double> in;
        uint64_t s = 99;
        for (int i = 0; i < 40000; ++i) {
            s = s * 6364136223846793005ull + 1442695040888963407ull;
            in.push_back(bitsDouble(0x0010000000000000ull + (s >> 1) % 0x7fd0000000000000ull));
        }
        SpBuffer<double> v(in, 0);
        EXPECT_EQ(k.spSqrtF64Kernel(v.data(), v.data(), (int)in.size()), 0);
        double worst = 0, worstRel = 0;
        for (size_t i = 0; i < in.size(); ++i) {
            double want = std::sqrt(in[i]);
            double ulp = std::ldexp(1.0, std::ilogb(want) - 52);
            worst = std::max(worst, std::fabs(v.get(i) - want) / ulp);
            worstRel = std::max(worstRel, std::fabs(v.get(i) - want) / want);
        }
        std::printf("[ measure  ] build %d sqrt double refined max error %.1f ulp (relative %.3g)\n", build, worst,
                    worstRel);
        EXPECT_LE(worstRel, kRefinedBound);
    });
}

// The caller's invalid and denormal masks come back; the invalid flag of
// a negative input does not stay set.
TEST(VecSqrtF64, GivesTheCallersMasksBack) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (uint32_t caller : {kMxcsrDefault, 0x1E00u, 0x1E80u, kMxcsrDefault | kMxcsrRoundUp}) {
            SpBuffer<double> v(std::vector<double>{-1.0, 4.0, 9.0, 16.0, 25.0}, 0);
            uint32_t after;
            {
                MxcsrScope scope(caller);
                k.spSqrtF64Kernel(v.data(), v.data(), 5);
                after = readMxcsr();
            }
            EXPECT_EQ(after & kMxcsrControlMask, caller) << std::hex << caller << " -> " << after;
            EXPECT_EQ(after & kMxcsrInvalidFlag, 0u);
        }
    });
}

// ---- Complex --------------------------------------------------------------------------------
TEST(VecSqrtComplex, PrincipalRoots) {
    forEachVecBuild([&](int build, const SpVecKernels& k) {
        const SpComplexF32 edges[3] = {{-4.0f, 0.0f}, {-4.0f, -0.0f}, {0.0f, 0.0f}};
        SpComplexF32 out[3];
        k.spSqrtComplexF32Kernel(edges, out, 3);
        EXPECT_NEAR(out[0].re, 0.0f, 1e-6);
        EXPECT_NEAR(out[0].im, 2.0f, 2e-6);
        EXPECT_NEAR(out[1].re, 0.0f, 1e-6);
        EXPECT_NEAR(out[1].im, 2.0f, 2e-6);
        EXPECT_EQ(floatBits(out[2].re), 0u);
        EXPECT_EQ(floatBits(out[2].im), 0u);
        std::vector<SpComplexF32> zf;
        std::vector<SpComplexF64> zd;
        uint64_t s = 5;
        for (int i = 0; i < 1003; ++i) {
            s = s * 6364136223846793005ull + 1442695040888963407ull;
            float re = std::ldexp((float)((s >> 20) % 20001) - 10000.0f, (int)((s >> 50) % 20) - 10);
            float im = std::ldexp((float)((s >> 35) % 20001) - 10000.0f, (int)((s >> 56) % 20) - 10);
            zf.push_back({re, im});
            zd.push_back({re, im});
        }
        std::vector<SpComplexF32> of(zf.size());
        std::vector<SpComplexF64> od(zd.size());
        double worstF = 0, worstD = 0;
        for (size_t off : {0u, 8u}) {
            SpBuffer<SpComplexF64> src(zd, off), dst(zd.size(), off);
            k.spSqrtComplexF32Kernel(zf.data(), of.data(), (int)zf.size());
            k.spSqrtComplexF64Kernel(src.data(), dst.data(), (int)zd.size());
            for (size_t i = 0; i < zf.size(); ++i) {
                std::complex<long double> want = std::sqrt(std::complex<long double>(zd[i].re, zd[i].im));
                long double mag = std::abs(want);
                if (mag == 0) continue;
                SpComplexF64 g = dst.get(i);
                worstF = std::max(worstF, (double)(std::abs(std::complex<long double>(of[i].re, of[i].im) - want) / mag));
                worstD = std::max(worstD, (double)(std::abs(std::complex<long double>(g.re, g.im) - want) / mag));
            }
        }
        std::printf("[ measure  ] build %d complex sqrt relative error: float %.3g, double %.3g\n", build, worstF, worstD);
        EXPECT_LE(worstF, 4e-7);
        EXPECT_LE(worstD, 1e-15);
    });
}

// ---- Integers ---------------------------------------------------------------------------------
TEST(VecSqrtInt, EdgeList) {
    struct Case {
        int64_t x;
        int sf;
        int64_t want;
    };
    const Case i16[] = {{36, 1, 3}, {9, 1, 2}, {25, 1, 2}, {1, -16, 32767}, {-5, 0, 0}, {0, -20, 0}, {32767, 0, 181}};
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (const Case& c : i16) {
            int16_t in = (int16_t)c.x, out = 99;
            int flag = k.spSqrtI16ScaledKernel(&in, &out, 1, c.sf);
            EXPECT_EQ(out, c.want) << c.x << " sf " << c.sf;
            EXPECT_EQ(flag != 0, c.x < 0);
        }
        const uint16_t u[2] = {65535, 1};
        uint16_t uo[2];
        k.spSqrtU16ScaledKernel(u, uo, 2, 9);
        EXPECT_EQ(uo[0], 0);
        k.spSqrtU16ScaledKernel(u, uo, 2, -16);
        EXPECT_EQ(uo[1], 65535);
    });
}

// Every kernel on a sample of its input range at sf -20..20 (int64: -62..40)
// against the exact reference; the full 16-bit sweeps are exhaustive.
TEST(VecSqrtInt, SampledAgainstExactReference) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        std::vector<int32_t> i32;
        std::vector<int64_t> i64;
        uint64_t s = 3;
        for (int i = 0; i < 997; ++i) {
            s = s * 6364136223846793005ull + 1442695040888963407ull;
            i32.push_back((int32_t)(s >> 32) >> (int)((s >> 20) % 31));
            i64.push_back((int64_t)s >> (int)((s >> 8) % 63));
        }
        i32.push_back(INT32_MAX);
        i64.push_back(INT64_MAX);
        for (int sf = -20; sf <= 20; ++sf) {
            std::vector<int16_t> o16(i64.size());
            k.spSqrtI32ToI16ScaledKernel(i32.data(), o16.data(), (int)i32.size(), sf);
            for (size_t i = 0; i < i32.size(); ++i)
                ASSERT_EQ(o16[i], (int16_t)referenceRoot(i32[i], sf, 32767)) << i32[i] << " sf " << sf;
            k.spSqrtI64ToI16ScaledKernel(i64.data(), o16.data(), (int)i64.size(), sf);
            for (size_t i = 0; i < i64.size(); ++i)
                ASSERT_EQ(o16[i], (int16_t)referenceRoot(i64[i], sf, 32767)) << i64[i] << " sf " << sf;
        }
    });
}

// The int64 root is exact whatever the caller's x87 precision, which it
// leaves as it found it.
TEST(VecSqrtInt, Int64ExactUnderCallerPrecision) {
    std::vector<int64_t> in = {0, 1, 2, 3, 4, 15, 16, 17, 1000000007, INT64_MAX, INT64_MAX - 1, -9, (int64_t)1 << 62,
                               ((int64_t)1 << 62) + 1, 999999999999999999};
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (uint32_t control : {0x027Fu, 0x037Fu}) {
            uint32_t saved = spX87GetControl();
            spX87LoadControl(control);
#ifdef SP_HAVE_MPFR
            const int lowest = -63;
#else
            const int lowest = -20;
#endif
            for (int sf = lowest; sf <= 40; ++sf) {
                std::vector<int64_t> out(in.size());
                int flag = k.spSqrtI64ScaledKernel(in.data(), out.data(), (int)in.size(), sf);
                EXPECT_NE(flag, 0);
                for (size_t i = 0; i < in.size(); ++i)
                    ASSERT_EQ(out[i], referenceRoot(in[i], sf, INT64_MAX)) << in[i] << " sf " << sf;
                EXPECT_EQ(spX87GetControl() & 0xFFFF, control);
            }
            spX87LoadControl(saved);
        }
    });
}

TEST(VecSqrtInt, ComplexInt16Roots) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        std::vector<SpComplexI16> z;
        for (int a = -32768; a <= 32767; a += 1237)
            for (int b = -32768; b <= 32767; b += 2111) z.push_back({(int16_t)a, (int16_t)b});
        z.push_back({-32768, -32768});
        z.push_back({0, 0});
        z.push_back({-4, 0});
        std::vector<SpComplexI16> out(z.size());
        k.spSqrtComplexI16Kernel(z.data(), out.data(), (int)z.size());
        for (size_t i = 0; i < z.size(); ++i) {
            SpComplexI16 want = referenceComplexRoot(z[i]);
            ASSERT_EQ(out[i].re, want.re) << z[i].re << "," << z[i].im;
            ASSERT_EQ(out[i].im, want.im) << z[i].re << "," << z[i].im;
        }
        for (int sf : {-20, -8, -1, 0, 1, 3}) {  // -20: roots past 2^31 saturate to 32767
            std::vector<SpComplexI16> o2(z.size());
            k.spSqrtComplexI16ScaledKernel(z.data(), out.data(), (int)z.size(), sf);
            k.spSqrtComplexI16ScaledQuotientKernel(z.data(), o2.data(), (int)z.size(), sf);
            for (size_t i = 0; i < z.size(); ++i) {
                std::complex<long double> r =
                    std::sqrt(std::complex<long double>(z[i].re, z[i].im)) * std::ldexp(1.0L, -sf);
                long double re = std::min(32767.0L, r.real()), im = std::max(-32768.0L, std::min(32767.0L, r.imag()));
                ASSERT_LE(std::fabs(out[i].re - re), 0.5L + 1e-6L) << z[i].re << "," << z[i].im << " sf " << sf;
                ASSERT_LE(std::fabs(out[i].im - im), 0.5L + 1e-6L) << z[i].re << "," << z[i].im << " sf " << sf;
                ASSERT_LE(std::fabs(o2[i].re - re), 0.5L + 1e-6L) << z[i].re << "," << z[i].im << " sf " << sf;
                ASSERT_LE(std::fabs(o2[i].im - im), 0.5L + 1e-6L) << z[i].re << "," << z[i].im << " sf " << sf;
            }
        }
    });
}

TEST(VecSqrtInt, ByteTableAtEveryOffset) {
    uint8_t table[256];
    for (int i = 0; i < 256; ++i) table[i] = (uint8_t)(255 - i);
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (size_t len = 1; len <= 19; ++len)
            for (size_t off = 0; off < 4; ++off) {
                std::vector<uint8_t> in(len);
                for (size_t i = 0; i < len; ++i) in[i] = (uint8_t)(i * 37);
                SpBuffer<uint8_t> dst(len, off);
                k.spSqrtU8TableKernel(in.data(), dst.data(), (int)len, table);
                for (size_t i = 0; i < len; ++i) EXPECT_EQ(dst.get(i), 255 - in[i]);
                EXPECT_TRUE(dst.checkCanaries());
            }
    });
}

// ---- Add-scaled ----------------------------------------------------------------------------------
void compareAddScaled(int build, size_t len, size_t offSrc, size_t offDst, bool same) {
    VecLayout layout;
    layout.len = len;
    layout.arrays = 2;
    layout.offset[0] = offSrc;
    layout.offset[1] = offDst;
    std::vector<std::vector<float>> values = {mixedFloats(len * 5 + offSrc, len), mixedFloats(len * 13 + offDst, len)};
    ImageCall call = [&](std::vector<uint8_t>& image) {
        float* d = layout.array(image, 1);
        return spAddScaledF32(same ? d : layout.array(image, 0), -1.75f, d, (int)len);
    };
    compareWithGeneric(build, makeImage(layout, values), call,
                       [&](const std::vector<uint8_t>& g, const std::vector<uint8_t>& o) {
                           return differOnlyInNanSlots(layout, 1, g, o);
                       });
}

TEST(VecAddScaled, MatchesGenericForDisjointAndIdenticalArrays) {
    const size_t offsets[] = {0, 1, 2, 4, 8, 12};
    forEachBuild(spEntryTableB.spAddScaledF32, [&](int build) {
        if (build == 0) return;
        for (size_t n = 1; n <= 40; ++n)
            for (size_t o0 : offsets)
                for (size_t o1 : offsets) {
                    SCOPED_TRACE(::testing::Message() << "len " << n << " offsets " << o0 << "/" << o1);
                    compareAddScaled(build, n, o0, o1, false);
                    if (o0 == 0) compareAddScaled(build, n, o0, o1, true);
                    if (::testing::Test::HasFailure()) return;
                }
        for (size_t n : {10u, 11u, 87376u, 87384u}) {
            uint64_t before = spNtCalls[SP_NT_ADD_SCALED].load();
            compareAddScaled(build, n, 4, 8, false);
            compareAddScaled(build, n, 0, 1, false);
            EXPECT_EQ(spNtCalls[SP_NT_ADD_SCALED].load() > before, n >= 11) << "len " << n;
        }
    });
}

}  // namespace
}  // namespace sptest

// Kernels of the CPU builds that no entry calls, and the edge cases of the
// ones that entries call: each Part's edge list as a table, scalar C++
// models over offsets and lengths, half precision against F16C and numpy,
// packed 24-bit against guard pages, the move kernels against memmove and
// the fills against canaries.
#include <gtest/gtest.h>

#include <immintrin.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "primitives/convert/sp_cpu.h"
#include "primitives/convert/sp_gen.h"
#include "tests/primitives/support/cpu_kernels.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/mxcsr.h"
#include "tests/primitives/support/references.h"
#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/ulp.h"

namespace sptest {
namespace {

// ---- Float to integer (mode 0/1 and half-away) -------------------------------
struct F2ICase {
    float x;
    int rndMode;  // -1: half-away kernel
    int sf;
    int32_t i8, u8, i16, u16, i32;  // expected per destination; INT32_MIN + 1 = not checked
};
constexpr int32_t kSkip = INT32_MIN + 1;

int32_t runF2I(const SpCpuKernels& k, int dstBits, bool isSigned, float x, int mode, int sf) {
    float src[1] = {x};
    if (dstBits == 8) {
        uint8_t d[1];
        if (mode < 0)
            isSigned ? k.spF32ToI8ScaledHalfAwayKernel(src, (int8_t*)d, 1, sf) : k.spF32ToU8ScaledHalfAwayKernel(src, d, 1, sf);
        else
            isSigned ? k.spF32ToI8ScaledKernel(src, (int8_t*)d, 1, mode, sf) : k.spF32ToU8ScaledKernel(src, d, 1, mode, sf);
        return isSigned ? (int32_t)(int8_t)d[0] : (int32_t)d[0];
    }
    if (dstBits == 16) {
        uint16_t d[1];
        if (mode < 0)
            isSigned ? k.spF32ToI16ScaledHalfAwayKernel(src, (int16_t*)d, 1, sf) : k.spF32ToU16ScaledHalfAwayKernel(src, d, 1, sf);
        else
            isSigned ? k.spF32ToI16ScaledKernel(src, (int16_t*)d, 1, mode, sf) : k.spF32ToU16ScaledKernel(src, d, 1, mode, sf);
        return isSigned ? (int32_t)(int16_t)d[0] : (int32_t)d[0];
    }
    int32_t d[1];
    if (mode < 0)
        k.spF32ToI32ScaledHalfAwayKernel(src, d, 1, sf);
    else
        k.spF32ToI32ScaledKernel(src, d, 1, mode, sf);
    return d[0];
}

TEST(FloatToIntKernels, EdgeCases) {
    const float nan = NAN, inf = INFINITY;
    const std::vector<F2ICase> cases = {
        // x, mode, sf, int8, uint8, int16, uint16, int32
        {1.0f, 0, -15, kSkip, kSkip, 32767, kSkip, kSkip},
        {-1.0f, 0, -15, kSkip, kSkip, -32768, kSkip, kSkip},
        {nan, 0, -15, 0, 0, 0, 0, 0},
        {nan, 1, -15, 0, 0, 0, 0, 0},
        {inf, 0, -15, 127, 255, 32767, 65535, INT32_MAX},
        {-inf, 0, -15, -128, 0, -32768, 0, INT32_MIN},
        {2.5f, 1, 0, 2, 2, 2, 2, 2},
        {3.5f, 1, 0, 4, 4, 4, 4, 4},
        {32767.25f, 1, 0, 127, 255, 32767, 32767, 32767},
        {2147483520.0f, 0, 0, kSkip, kSkip, kSkip, kSkip, 2147483520},
        {2147483648.0f, 0, 0, kSkip, kSkip, kSkip, kSkip, INT32_MAX},
        {-2147483648.0f, 0, 0, kSkip, kSkip, kSkip, kSkip, INT32_MIN},
        {-3e9f, 0, 0, kSkip, kSkip, kSkip, kSkip, INT32_MIN},
        {-1.0f, 0, 0, -1, 0, -1, 0, -1},
        {300.0f, 0, 0, 127, 255, 300, 300, 300},
        {70000.0f, 0, 0, kSkip, kSkip, 32767, 65535, 70000},
        {-5.0f, 0, 0, kSkip, 0, -5, 0, -5},
        {0.0f, 0, -128, kSkip, kSkip, 32767, kSkip, INT32_MIN},  // infinite factor: 0 * inf
        // Half-away.
        {16777217.0f, -1, 0, kSkip, kSkip, kSkip, kSkip, 16777216},  // 2^24 + 1 is not a float
        {8388609.0f, -1, 0, kSkip, kSkip, kSkip, kSkip, 8388609},   // 2^23 + 1 stays
        {2.5f, -1, 0, 3, 3, 3, 3, 3},
        {-2.5f, -1, 0, -3, 0, -3, 0, -3},
        {0.49999997f, -1, 0, kSkip, kSkip, 1, kSkip, 0},
        {nan, -1, 0, kSkip, 255, 32767, 0, INT32_MAX},
        {-nan, -1, 0, kSkip, 255, 32767, 0, INT32_MIN},
    };
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        for (const F2ICase& c : cases) {
            SCOPED_TRACE(::testing::Message() << "x " << c.x << " mode " << c.rndMode << " sf " << c.sf);
            const int32_t want[5] = {c.i8, c.u8, c.i16, c.u16, c.i32};
            const int bits[5] = {8, 8, 16, 16, 32};
            const bool sign[5] = {true, false, true, false, true};
            for (int d = 0; d < 5; ++d)
                if (want[d] != kSkip) {
                    EXPECT_EQ(runF2I(k, bits[d], sign[d], c.x, c.rndMode, c.sf), want[d]) << "dst " << d;
                }
        }
    });
}

// Round-to-nearest with the caller in round-toward-zero: nearest results, the
// caller's mode back, denormals-are-zero cleared.
TEST(FloatToIntKernels, NearestUnderCallerTowardZeroRestoresTheModeAndClearsDaz) {
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        const float src[3] = {2.5f, 3.5f, -2.7f};
        int16_t d[3];
        uint32_t after;
        {
            MxcsrScope scope(kMxcsrDefault | kMxcsrRoundZero | kMxcsrDaz);
            k.spF32ToI16ScaledKernel(src, d, 3, 1, 0);
            after = readMxcsr();
        }
        EXPECT_EQ(d[0], 2);
        EXPECT_EQ(d[1], 4);
        EXPECT_EQ(d[2], -3);
        EXPECT_EQ(after & kMxcsrRoundMask, kMxcsrRoundZero);
        EXPECT_EQ(after & kMxcsrDaz, 0u);
    });
}

// A NaN at index 5 of 20: zero there, converted values elsewhere.
TEST(FloatToIntKernels, NanPassZeroesOnlyTheNanElement) {
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        std::vector<float> src(20);
        for (int i = 0; i < 20; ++i) src[i] = (float)(i * 100 - 700);
        src[5] = NAN;
        std::vector<int16_t> d16(20);
        std::vector<int32_t> d32(20);
        k.spF32ToI16ScaledKernel(src.data(), d16.data(), 20, 0, 0);
        k.spF32ToI32ScaledKernel(src.data(), d32.data(), 20, 1, 0);
        for (int i = 0; i < 20; ++i) {
            int32_t want = i == 5 ? 0 : i * 100 - 700;
            EXPECT_EQ(d16[i], want) << i;
            EXPECT_EQ(d32[i], want) << i;
        }
    });
}

// Model of the int8 / uint8 / uint16 kernels (no entry reaches them) at the
// caller's default MXCSR, for scale factors with an exact factor.
int32_t modelF2I(float x, int dstBits, bool isSigned, int mode, int sf) {
    float y = sf == 0 ? x : (float)((double)x * std::ldexp(1.0, -sf));
    double hi = dstBits == 8 ? (isSigned ? 127.0 : 255.0) : 32767.0;
    bool u16 = dstBits == 16 && !isSigned;
    if (mode >= 0 && std::isnan(x) && !u16) return 0;
    if (u16) {
        if (!(y > 0.0f)) y = 0.0f;
    } else if (!(y < (float)hi)) {
        y = (float)hi;  // min with the bound; a NaN gives the bound
    }
    double v;
    if (mode < 0) {
        float sum = (u16 || !isSigned) ? y + 0.5f : std::copysign(std::fabs(y) + 0.5f, y);
        v = std::trunc((double)sum);
    } else {
        v = mode == 0 ? std::trunc((double)y) : std::nearbyint((double)y);
    }
    int64_t r = (v >= 2147483648.0 || v < -2147483648.0) ? INT32_MIN : (int64_t)v;
    auto sat = [](int64_t a, int64_t lo, int64_t h) { return a < lo ? lo : (a > h ? h : a); };
    if (u16) return (int32_t)((sat((int32_t)((uint32_t)r - 32768u), -32768, 32767) + 32768) & 0xFFFF);  // 32-bit add wraps
    r = sat(r, -32768, 32767);
    if (dstBits == 8) r = isSigned ? sat(r, -128, 127) : sat(r, 0, 255);
    return (int32_t)r;
}

TEST(FloatToIntKernels, NarrowKernelsMatchTheModelAtEveryOffsetAndLength) {
    std::mt19937 rng(120);
    std::vector<float> pool(64);
    for (float& f : pool) f = std::ldexp((float)((int)(rng() % 200001) - 100000) / 100000.0f, (int)(rng() % 20) - 4);
    const float specials[] = {NAN, -NAN, INFINITY, -INFINITY, 0.5f, -0.5f, 1.5f, 254.5f, 255.5f, -0.0f, 127.5f, 65535.5f};
    for (size_t i = 0; i < sizeof specials / 4; ++i) pool[i * 5] = specials[i];
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        for (int mode : {0, 1, -1})
            for (int sf : {0, -8, 3})
                for (size_t so : {0, 3, 4, 6, 9, 12, 15})  // 4 with dst+10: both aligned after the head
                    for (size_t dof = 0; dof < 16; dof += 5)
                        for (int len = 1; len <= 40; ++len) {
                            SpBuffer<float> src(len, so);
                            for (int i = 0; i < len; ++i) src.set(i, pool[(i * 7 + len) % pool.size()]);
                            SpBuffer<int8_t> i8(len, dof);
                            SpBuffer<uint8_t> u8(len, dof);
                            SpBuffer<uint16_t> u16(len, dof);
                            if (mode < 0) {
                                k.spF32ToI8ScaledHalfAwayKernel(src.data(), i8.data(), len, sf);
                                k.spF32ToU8ScaledHalfAwayKernel(src.data(), u8.data(), len, sf);
                                k.spF32ToU16ScaledHalfAwayKernel(src.data(), u16.data(), len, sf);
                            } else {
                                k.spF32ToI8ScaledKernel(src.data(), i8.data(), len, mode, sf);
                                k.spF32ToU8ScaledKernel(src.data(), u8.data(), len, mode, sf);
                                k.spF32ToU16ScaledKernel(src.data(), u16.data(), len, mode, sf);
                            }
                            ASSERT_TRUE(i8.checkCanaries() && u8.checkCanaries() && u16.checkCanaries());
                            for (int i = 0; i < len; ++i) {
                                float x = src.get(i);
                                ASSERT_EQ(i8.get(i), modelF2I(x, 8, true, mode, sf)) << x << " mode " << mode << " sf " << sf;
                                ASSERT_EQ(u8.get(i), modelF2I(x, 8, false, mode, sf)) << x << " mode " << mode << " sf " << sf;
                                ASSERT_EQ(u16.get(i), modelF2I(x, 16, false, mode, sf)) << x << " mode " << mode << " sf " << sf;
                            }
                        }
    });
}

TEST(FloatToIntKernels, DoubleToInt32EdgeCases) {
    struct Case {
        double x;
        int32_t mode01, halfAway;
    };
    const double belowHalf = std::nextafter(0.5, 0.0);
    const std::vector<Case> cases = {
        {1e300, INT32_MAX, INT32_MAX},          {-1e300, INT32_MIN, INT32_MIN},
        {2147483647.25, INT32_MAX, INT32_MAX},  {NAN, 0, INT32_MAX},
        {-NAN, 0, INT32_MAX},                   {belowHalf, 0, 1},
        {2.5, 2, 3},                            {-2.5, -2, -3},
    };
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        for (const Case& c : cases) {
            for (size_t off : {0, 4, 8}) {
                SpBuffer<double> src(3, off);
                SpBuffer<int32_t> d(3, off), h(3, off);
                for (int i = 0; i < 3; ++i) src.set(i, c.x);
                k.spF64ToI32ScaledKernel(src.data(), d.data(), 3, 1, 0);
                k.spF64ToI32ScaledHalfAwayKernel(src.data(), h.data(), 3, 0);
                for (int i = 0; i < 3; ++i) {
                    EXPECT_EQ(d.get(i), c.mode01) << c.x;
                    EXPECT_EQ(h.get(i), c.halfAway) << c.x;
                }
                EXPECT_TRUE(d.checkCanaries() && h.checkCanaries());
            }
        }
    });
}

// ---- Half precision -------------------------------------------------------------
__attribute__((target("f16c"))) float f16cToFloat(uint16_t h) { return _cvtsh_ss(h); }
__attribute__((target("f16c"))) uint16_t f16cFromFloat(float f, int mode) {
    return mode == 0 ? _cvtss_sh(f, _MM_FROUND_TO_ZERO) : _cvtss_sh(f, _MM_FROUND_TO_NEAREST_INT);
}
// The binary16 value, decoded independently of the kernels.
float f16cToFloatPortable(uint16_t h) {
    int e = (h >> 10) & 31, m = h & 0x3FF;
    float v = e == 31 ? (m != 0 ? NAN : INFINITY) : (e == 0 ? std::ldexp((float)m, -24) : std::ldexp((float)(m | 0x400), e - 25));
    return (h & 0x8000) ? -v : v;
}

bool haveF16c() { return __builtin_cpu_supports("f16c"); }

bool sameFloat(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
    return floatBits(a) == floatBits(b);
}

TEST(HalfKernels, EveryHalfToFloatMatchesF16c) {
    if (!haveF16c()) GTEST_SKIP() << "no F16C on this processor";
    std::vector<uint16_t> all(65536);
    for (uint32_t i = 0; i < 65536; ++i) all[i] = (uint16_t)i;
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        std::vector<float> out(65536);
        k.spF16ToF32Kernel(all.data(), out.data(), 65536);
        for (uint32_t i = 0; i < 65536; ++i) ASSERT_TRUE(sameFloat(out[i], f16cToFloat((uint16_t)i))) << std::hex << i;
    });
}

TEST(HalfKernels, EveryInt16ToHalfMatchesF16cInBothModes) {
    if (!haveF16c()) GTEST_SKIP() << "no F16C on this processor";
    std::vector<int16_t> all(65536);
    for (int i = 0; i < 65536; ++i) all[i] = (int16_t)(i - 32768);
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        for (int mode : {0, 1}) {
            std::vector<uint16_t> out(65536);
            k.spI16ToF16Kernel(all.data(), out.data(), 65536, mode);
            for (int i = 0; i < 65536; ++i) ASSERT_EQ(out[i], f16cFromFloat((float)all[i], mode)) << all[i] << " mode " << mode;
        }
    });
}

TEST(HalfKernels, EveryHalfAndInt16AgreeWithNumpy) {
    SP_REQUIRE_NUMPY("half_cases.py");
    std::vector<uint8_t> toF32 = readRefFile("half_to_f32.bin"), toHalf = readRefFile("i16_to_half.bin");
    ASSERT_EQ(toF32.size(), 65536u * 4);
    ASSERT_EQ(toHalf.size(), 65536u * 2);
    std::vector<uint16_t> halves(65536);
    std::vector<int16_t> ints(65536);
    for (int i = 0; i < 65536; ++i) halves[i] = (uint16_t)i, ints[i] = (int16_t)(i - 32768);
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        std::vector<float> f(65536);
        std::vector<uint16_t> h(65536);
        k.spF16ToF32Kernel(halves.data(), f.data(), 65536);
        k.spI16ToF16Kernel(ints.data(), h.data(), 65536, 1);
        for (int i = 0; i < 65536; ++i) {
            float want;
            std::memcpy(&want, &toF32[4 * (size_t)i], 4);
            ASSERT_TRUE(sameFloat(f[i], want)) << std::hex << i;
            uint16_t wantH;
            std::memcpy(&wantH, &toHalf[2 * (size_t)i], 2);
            ASSERT_EQ(h[i], wantH) << ints[i];
        }
    });
}

// Float to half over every exponent, against F16C; values from 65536 up
// truncate to 0x7C00 (F16C: 0x7BFF) and NaN encodings differ by design.
TEST(HalfKernels, FloatToHalfOverEveryExponentMatchesF16c) {
    if (!haveF16c()) GTEST_SKIP() << "no F16C on this processor";
    std::vector<float> src;
    for (uint32_t e = 0; e < 255; ++e)
        for (uint32_t m : {0u, 1u, 0xFFFu, 0x1000u, 0x1001u, 0x2000u, 0x3000u, 0x7FFFFFu, 0x400000u, 0x123456u})
            for (uint32_t s : {0u, 0x80000000u}) src.push_back(bitsFloat(s | (e << 23) | m));
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        for (int mode : {0, 1}) {
            std::vector<uint16_t> out(src.size());
            k.spF32ToF16Kernel(src.data(), out.data(), (int)src.size(), mode);
            for (size_t i = 0; i < src.size(); ++i) {
                if (mode == 0 && std::fabs(src[i]) >= 65536.0f) {
                    EXPECT_EQ(out[i] & 0x7FFF, 0x7C00) << src[i];
                    continue;
                }
                // Below 2^-14 the rebiasing multiplication rounds (to nearest,
                // the caller's mode) into a float subnormal before the dropped
                // bits are cut or rounded: a second rounding that may land
                // one unit away from the correctly rounded half.
                if (std::fabs(src[i]) < std::ldexp(1.0f, -14)) {
                    int ref = f16cFromFloat(src[i], mode);
                    EXPECT_LE(std::abs((int)out[i] - ref), 1) << std::hexfloat << src[i] << " mode " << mode;
                    continue;
                }
                ASSERT_EQ(out[i], f16cFromFloat(src[i], mode)) << std::hexfloat << src[i] << " mode " << mode;
            }
        }
    });
}

TEST(HalfKernels, EdgeCases) {
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        struct I2H { int16_t v; uint16_t nearest, trunc; };
        for (I2H c : std::vector<I2H>{{1, 0x3C00, 0x3C00}, {2049, 0x6800, 0x6800}, {2051, 0x6802, 0x6801},
                                      {32767, 0x7800, 0x77FF}, {-32768, 0xF800, 0xF800}, {0, 0, 0}}) {
            uint16_t r, t;
            k.spI16ToF16Kernel(&c.v, &r, 1, 1);
            k.spI16ToF16Kernel(&c.v, &t, 1, 0);
            EXPECT_EQ(r, c.nearest) << c.v;
            EXPECT_EQ(t, c.trunc) << c.v;
        }
        struct H2I { uint16_t h; int sf, mode; int16_t want; };
        for (H2I c : std::vector<H2I>{{0x3E00, 0, 0, 1}, {0x3E00, 0, 1, 2}, {0x4100, 0, 1, 2}, {0x7BFF, 0, 1, 32767},
                                      {0x7C00, 0, 1, 32767}, {0xFC00, 0, 1, -32768}, {0x7E00, 0, 1, 0},
                                      {0x3800, -15, 0, 16384}, {0x3C00, -15, 0, 32767}, {0xBC00, -15, 0, -32768},
                                      {0x7C00, -15, 0, 32767}, {0x0000, -15, 1, 0}, {0x8000, -15, 1, 0},
                                      {0x0001, -15, 1, 0}, {0x7E01, -15, 1, 0}, {0x7BFF, -20, 0, 32767},
                                      {0x0001, -20, 0, 0}, {0x7C00, 2, 0, 32767}, {0x7BFF, 17, 1, 0},
                                      {0xFC00, 17, 1, -32768}, {0x0001, -200, 0, 32767}, {0x8001, -200, 0, -32768}}) {
            int16_t r;
            k.spF16ToI16ScaledKernel(&c.h, &r, 1, c.mode, c.sf);
            EXPECT_EQ(r, c.want) << std::hex << c.h << std::dec << " sf " << c.sf << " mode " << c.mode;
        }
        struct H2F { uint16_t h; uint32_t want; };
        for (H2F c : std::vector<H2F>{{0x0001, 0x33800000}, {0x03FF, floatBits(1023.0f * std::ldexp(1.0f, -24))},
                                      {0x7C00, 0x7F800000}, {0x8000, 0x80000000}}) {
            float r;
            k.spF16ToF32Kernel(&c.h, &r, 1);
            EXPECT_EQ(floatBits(r), c.want) << std::hex << c.h;
        }
        struct F2H { float f; int mode; uint16_t want; };
        for (F2H c : std::vector<F2H>{{65504.0f, 1, 0x7BFF}, {65520.0f, 1, 0x7C00}, {65520.0f, 0, 0x7BFF}, {1e10f, 1, 0x7C00},
                                      {std::ldexp(1.0f, -24), 1, 0x0001}, {std::ldexp(1.0f, -25), 1, 0x0000},
                                      {1.5f * std::ldexp(1.0f, -24), 1, 0x0002}, {NAN, 1, 0x7FFF}, {NAN, 0, 0x7E00},
                                      {-0.0f, 1, 0x8000}}) {
            uint16_t r;
            k.spF32ToF16Kernel(&c.f, &r, 1, c.mode);
            EXPECT_EQ(r, c.want) << c.f << " mode " << c.mode;
        }
    });
}

// Half to int16, every half x scale factor -20..20 x both modes, under
// nearest and toward zero, against a double-precision model.
TEST(HalfKernels, HalfToInt16ExhaustiveAgainstTheModel) {
    std::vector<uint16_t> all(65536);
    for (uint32_t i = 0; i < 65536; ++i) all[i] = (uint16_t)i;
    std::vector<float> value(65536);
    for (uint32_t i = 0; i < 65536; ++i) value[i] = f16cToFloatPortable((uint16_t)i);
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        std::vector<int16_t> out(65536);
        for (uint32_t mx : {kMxcsrDefault, kMxcsrDefault | kMxcsrRoundZero})
            for (int mode : {0, 1})
                for (int sf = -20; sf <= 20; ++sf) {
                    {
                        MxcsrScope scope(mx);
                        k.spF16ToI16ScaledKernel(all.data(), out.data(), 65536, mode, sf);
                    }
                    for (uint32_t i = 0; i < 65536; ++i) {
                        float v = value[i];
                        int32_t want;
                        if (std::isnan(v)) want = 0;
                        else if (std::isinf(v)) want = v > 0 ? 32767 : -32768;
                        else if (sf > 16) want = 0;
                        else {
                            double s = std::ldexp((double)v, -sf);
                            double r = (mode == 0 || mx != kMxcsrDefault) ? std::trunc(s) : std::nearbyint(s);
                            want = r > 32767 ? 32767 : (r < -32768 ? -32768 : (int32_t)r);
                        }
                        ASSERT_EQ(out[i], want) << std::hex << i << std::dec << " sf " << sf << " mode " << mode;
                    }
                }
    });
}


// The eight-element steps against the same kernel called one element at a
// time (each such call runs the per-element path), at every source and
// destination byte offset and lengths 1-40, with canaries around dst.
std::vector<uint16_t> halfSample(size_t n) {
    std::mt19937 rng(1217);
    std::vector<uint16_t> v(n);
    const uint16_t special[] = {0x0000, 0x8000, 0x0001, 0x83FF, 0x0400, 0x7BFF, 0xFBFF, 0x7C00, 0xFC00, 0x7E00, 0xFD01, 0x3800};
    for (size_t i = 0; i < n; ++i) v[i] = (i % 3 == 0) ? special[(i / 3) % 12] : (uint16_t)rng();
    return v;
}

template <typename In, typename Out, typename Run>
void checkStepsAgainstSingles(const std::vector<In>& data, Run run, const char* what) {
    for (size_t so = 0; so < 16; ++so)
        for (size_t dof = 0; dof < 16; ++dof)
            for (size_t len = 1; len <= 40; ++len) {
                SpBuffer<In> src(std::vector<In>(data.begin(), data.begin() + (long)len), so);
                SpBuffer<Out> dst(len, dof), one(1);
                run(src.data(), dst.data(), (int)len);
                for (size_t i = 0; i < len; ++i) {
                    In x = src.get(i);
                    run(&x, one.data(), 1);
                    ASSERT_EQ(std::memcmp(one.bytes(), dst.bytes() + i * sizeof(Out), sizeof(Out)), 0)
                        << what << " src+" << so << " dst+" << dof << " len " << len << " element " << i;
                }
                ASSERT_TRUE(dst.checkCanaries()) << what << " src+" << so << " dst+" << dof << " len " << len;
            }
}

TEST(HalfKernels, StepsMatchSingleElementsAtEveryOffset) {
    std::vector<uint16_t> halves = halfSample(40);
    std::vector<int16_t> ints(40);
    std::vector<float> floats(40);
    std::mt19937 rng(99);
    for (size_t i = 0; i < 40; ++i) {
        ints[i] = (int16_t)(i == 0 ? -32768 : (i == 1 ? 32767 : (int)rng()));
        floats[i] = f16cToFloatPortable(halves[i]) * (i % 2 ? 1.0f + 0x1p-12f : 1.0f);
    }
    floats[5] = 65520.0f, floats[6] = 1e10f, floats[7] = 0x1.8p-24f, floats[8] = -NAN;
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        for (int mode : {0, 1}) {
            checkStepsAgainstSingles<int16_t, uint16_t>(
                ints, [&](const int16_t* s, uint16_t* d, int n) { k.spI16ToF16Kernel(s, d, n, mode); }, "int16->half");
            checkStepsAgainstSingles<float, uint16_t>(
                floats, [&](const float* s, uint16_t* d, int n) { k.spF32ToF16Kernel(s, d, n, mode); }, "float->half");
            for (int sf : {-200, -113, -112, -40, -15, 0, 1, 2, 16, 17, 40})
                checkStepsAgainstSingles<uint16_t, int16_t>(
                    halves, [&](const uint16_t* s, int16_t* d, int n) { k.spF16ToI16ScaledKernel(s, d, n, mode, sf); },
                    "half->int16");
        }
        checkStepsAgainstSingles<uint16_t, float>(
            halves, [&](const uint16_t* s, float* d, int n) { k.spF16ToF32Kernel(s, d, n); }, "half->float");
    });
}

// Every half at the scale factors the exhaustive model leaves out: values
// scaled past 2^31 and the factors where exponent arithmetic would leave
// the float range, under nearest and toward zero.
TEST(HalfKernels, HalfToInt16WideScaleFactorsMatchSingleElements) {
    std::vector<uint16_t> all(65536);
    for (uint32_t i = 0; i < 65536; ++i) all[i] = (uint16_t)i;
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        std::vector<int16_t> out(65536);
        for (uint32_t mx : {kMxcsrDefault, kMxcsrDefault | kMxcsrRoundZero})
            for (int mode : {0, 1})
                for (int sf : {-113, -112, -111, -100, -64, -32, -31, -30, -21}) {
                    MxcsrScope scope(mx);
                    k.spF16ToI16ScaledKernel(all.data(), out.data(), 65536, mode, sf);
                    for (uint32_t i = 0; i < 65536; ++i) {
                        int16_t one;
                        k.spF16ToI16ScaledKernel(&all[i], &one, 1, mode, sf);
                        ASSERT_EQ(out[i], one) << std::hex << i << std::dec << " sf " << sf << " mode " << mode;
                    }
                }
    });
}

}  // namespace
}  // namespace sptest

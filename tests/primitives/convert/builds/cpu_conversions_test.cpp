// Integer and floating-point conversion kernels and packed 24-bit kernels of
// the CPU builds: edge tables, scalar models over offsets and lengths,
// out-of-range scale factors and the int64 rounding carry, and every 24-bit
// reader and writer against guard pages.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "primitives/convert/sp_cpu.h"
#include "tests/primitives/support/cpu_kernels.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/ulp.h"

namespace sptest {
namespace {

// One kernel and its element model; inputs are drawn as raw bytes.
template <typename In, typename Out>
void sweepAgainstModel(void (*kernel)(const In*, Out*, int), const std::function<Out(In)>& model,
                       const std::function<In(std::mt19937_64&)>& draw) {
    std::mt19937_64 rng(130);
    for (size_t so = 0; so < 16; ++so)
        for (size_t dof = 0; dof < 16; ++dof)
            for (int len = 1; len <= 40; ++len) {
                SpBuffer<In> src(len, so);
                for (int i = 0; i < len; ++i) src.set(i, draw(rng));
                SpBuffer<Out> dst(len, dof);
                kernel(src.data(), dst.data(), len);
                ASSERT_TRUE(dst.checkCanaries()) << "len " << len << " src+" << so << " dst+" << dof;
                for (int i = 0; i < len; ++i) {
                    Out want = model(src.get(i)), got = dst.get(i);
                    ASSERT_EQ(std::memcmp(&want, &got, sizeof(Out)), 0)
                        << "element " << i << " len " << len << " src+" << so << " dst+" << dof;
                }
            }
}

template <typename T>
T drawBits(std::mt19937_64& rng) {
    uint64_t r = rng();
    T v;
    std::memcpy(&v, &r, sizeof v);
    return v;
}

TEST(IntFloatKernels, EveryKernelMatchesItsModelAtEveryOffsetAndLength) {
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        sweepAgainstModel<int32_t, float>(k.spI32ToF32Kernel, [](int32_t v) { return (float)v; }, drawBits<int32_t>);
        sweepAgainstModel<int16_t, float>(k.spI16ToF32Kernel, [](int16_t v) { return (float)v; }, drawBits<int16_t>);
        sweepAgainstModel<int16_t, float>(k.spI16ToF32DirectKernel, [](int16_t v) { return (float)v; }, drawBits<int16_t>);
        sweepAgainstModel<uint16_t, float>(k.spU16ToF32Kernel, [](uint16_t v) { return (float)v; }, drawBits<uint16_t>);
        sweepAgainstModel<int8_t, float>(k.spI8ToF32Kernel, [](int8_t v) { return (float)v; }, drawBits<int8_t>);
        sweepAgainstModel<uint8_t, float>(k.spU8ToF32Kernel, [](uint8_t v) { return (float)v; }, drawBits<uint8_t>);
        sweepAgainstModel<int32_t, double>(k.spI32ToF64Kernel, [](int32_t v) { return (double)v; }, drawBits<int32_t>);
        sweepAgainstModel<int16_t, double>(k.spI16ToF64Kernel, [](int16_t v) { return (double)v; }, drawBits<int16_t>);
        sweepAgainstModel<float, double>(k.spF32ToF64Kernel, [](float v) { return (double)v; }, drawBits<float>);
        const double m = 3.402823466e38;
        sweepAgainstModel<double, float>(
            k.spF64ToF32Kernel, [m](double v) { return (float)(std::isnan(v) ? m : std::fmax(std::fmin(v, m), -m)); },
            [m](std::mt19937_64& r) {
                const double special[] = {NAN, -NAN, INFINITY, -INFINITY, 1e300, -1e300, m, -m, 0.0, -0.0, 4.9e-324};
                if (r() % 4 == 0) return special[r() % 11];
                return std::ldexp((double)(int64_t)r() / 9.2e18, (int)(r() % 300) - 150);
            });
    });
}

TEST(IntFloatKernels, ScaledKernelsMultiplyOnce) {
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        for (float f : {std::ldexp(1.0f, -15), 3.0f, 1e-40f}) {
            for (size_t off : {0, 2, 4, 6}) {
                SpBuffer<int16_t> src(37, off);
                for (int i = 0; i < 37; ++i) src.set(i, (int16_t)(i * 1771 - 32768));
                SpBuffer<float> dst(37, off * 2);
                SpBuffer<double> dd(37, off * 2);
                double fd = f;
                k.spI16ToF32ScaledKernel(src.data(), dst.data(), 37, &f);
                k.spI16ToF64ScaledKernel(src.data(), dd.data(), 37, &fd);
                for (int i = 0; i < 37; ++i) {
                    EXPECT_EQ(floatBits(dst.get(i)), floatBits((float)src.get(i) * f));
                    EXPECT_EQ(dd.get(i), (double)src.get(i) * fd);
                }
                EXPECT_TRUE(dst.checkCanaries() && dd.checkCanaries());
            }
        }
        float f15 = std::ldexp(1.0f, -15);
        int16_t edge[2] = {-32768, 32767};
        float out[2];
        k.spI16ToF32ScaledKernel(edge, out, 2, &f15);
        EXPECT_EQ(out[0], -1.0f);
        EXPECT_EQ(out[1], 0.999969482421875f);
    });
}

TEST(IntFloatKernels, EdgeCases) {
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        int32_t i32[2] = {16777217, INT32_MAX};
        float f[2];
        k.spI32ToF32Kernel(i32, f, 2);
        EXPECT_EQ(f[0], 16777216.0f);
        EXPECT_EQ(f[1], 2147483648.0f);
        int8_t s8 = (int8_t)0x80;
        uint8_t u8 = 0x80;
        uint16_t u16 = 0xFFFF;
        k.spI8ToF32Kernel(&s8, f, 1);
        EXPECT_EQ(f[0], -128.0f);
        k.spU8ToF32Kernel(&u8, f, 1);
        EXPECT_EQ(f[0], 128.0f);
        k.spU16ToF32Kernel(&u16, f, 1);
        EXPECT_EQ(f[0], 65535.0f);
        double d[4] = {1e300, -INFINITY, NAN, -NAN};
        float g[4];
        k.spF64ToF32Kernel(d, g, 4);
        EXPECT_EQ(g[0], 3.4028235e38f);
        EXPECT_EQ(g[1], -3.4028235e38f);
        EXPECT_EQ(g[2], 3.4028235e38f);
        EXPECT_EQ(g[3], 3.4028235e38f);
    });
}

// int64 / 2^s, half away from zero, saturated on the rounded quotient.
int32_t modelI64(int64_t v, int s) {
    __int128 r;
    if (s <= 0) {
        r = (__int128)v * ((__int128)1 << (-s > 40 ? 40 : -s));
    } else {
        // floor(|v| / 2^s + 1/2) with the sign, in 128 bits.
        __int128 a = v < 0 ? -(__int128)v : (__int128)v;
        __int128 rounded = s >= 100 ? 0 : (a + ((__int128)1 << (s - 1))) >> s;
        r = v < 0 ? -rounded : rounded;
    }
    return r > INT32_MAX ? INT32_MAX : (r < INT32_MIN ? INT32_MIN : (int32_t)r);
}

// Random int64 values of every magnitude, with exact halves at factor s,
// the int64 ends and the quotients next to the int32 ends mixed in.
int64_t drawI64(std::mt19937_64& rng, int s) {
    int64_t v = (int64_t)rng() >> (rng() % 64);
    switch (rng() % 6) {
    case 0:
        return (s >= 1 && s <= 62) ? (int64_t)(((uint64_t)v << s) | ((uint64_t)1 << (s - 1))) : v;
    case 1:
        return rng() % 2 ? INT64_MAX : INT64_MIN;
    case 2:
        // Offsets of -2..2 around the product; at s = 32 the product is an
        // int64 end, so the sum wraps in unsigned arithmetic to the other end.
        return (s >= 1 && s <= 32)
                   ? (int64_t)((uint64_t)((int64_t)(rng() % 2 ? INT32_MAX : INT32_MIN) * ((int64_t)1 << s)) +
                               rng() % 5 - 2)
                   : v;
    default:
        return v;
    }
}

TEST(Int64ToInt32Kernel, RoundsHalfAwayAndSaturatesWithoutCarryOverflow) {
    struct Case {
        int64_t v;
        int s;
        int32_t want;
    };
    const std::vector<Case> cases = {
        {3, 1, 2}, {-3, 1, -2}, {1, 1, 1}, {-1, 1, -1}, {(int64_t)1 << 40, 1, INT32_MAX},
        {INT64_MAX, 1, INT32_MAX}, {INT64_MIN, 1, INT32_MIN}, {INT64_MAX, 31, INT32_MAX}, {INT64_MIN, 31, INT32_MIN},
        {INT64_MAX, 32, INT32_MAX}, {INT64_MIN, 32, INT32_MIN},
        // Quotients of 2^31 - 0.5 round to 2^31 and saturate; -2^31 - 0.5 to -2^31 - 1.
        {(int64_t)0xFFFFFFFFll, 1, INT32_MAX}, {-(int64_t)0x100000001ll, 1, INT32_MIN},
        {((int64_t)1 << 62) - ((int64_t)1 << 30), 31, INT32_MAX},
        // Out-of-range factors: the formula itself.
        {5, 0, 5}, {(int64_t)1 << 40, 0, INT32_MAX}, {(int64_t)3 << 32, 33, 2}, {(int64_t)1 << 39, 40, 1},
        {-((int64_t)1 << 39), 40, -1}, {INT64_MAX, 63, 1}, {INT64_MIN, 63, -1}, {INT64_MIN, 64, -1},
        {INT64_MAX, 64, 0}, {7, 64, 0},
    };
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        for (const Case& c : cases) {
            int32_t r;
            k.spI64ToI32ScaledKernel(&c.v, &r, 1, c.s);
            EXPECT_EQ(r, c.want) << c.v << " >> " << c.s;
            EXPECT_EQ(modelI64(c.v, c.s), c.want) << "model " << c.v << " >> " << c.s;
        }
        // A block of four: two out of range, two in range.
        int64_t block[4] = {(int64_t)1 << 50, -((int64_t)1 << 50), 5, -5};
        int32_t out[4];
        k.spI64ToI32ScaledKernel(block, out, 4, 1);
        EXPECT_EQ(out[0], INT32_MAX);
        EXPECT_EQ(out[1], INT32_MIN);
        EXPECT_EQ(out[2], 3);
        EXPECT_EQ(out[3], -3);
        std::mt19937_64 rng(64);
        for (int s : {0, 1, 2, 15, 31, 32, 33, 40, 63, 64}) {
            for (size_t off = 0; off < 16; off += 4)
                for (int len = 1; len <= 40; ++len) {
                    SpBuffer<int64_t> src(len, off);
                    for (int i = 0; i < len; ++i) src.set(i, drawI64(rng, s));
                    SpBuffer<int32_t> dst(len, off);
                    k.spI64ToI32ScaledKernel(src.data(), dst.data(), len, s);
                    ASSERT_TRUE(dst.checkCanaries());
                    for (int i = 0; i < len; ++i) ASSERT_EQ(dst.get(i), modelI64(src.get(i), s)) << src.get(i) << " s " << s;
                }
        }
    });
}

// ---- Packed 24-bit -----------------------------------------------------------
int32_t read24(const uint8_t* p) { return (int32_t)((uint32_t)p[0] << 8 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 24) >> 8; }

int32_t clamp24(int64_t v) { return v > 8388607 ? 8388607 : (v < -8388608 ? -8388608 : (int32_t)v); }
int32_t model24Scaled(int32_t v, int s) {
    if (s <= 0) return clamp24(v);
    __int128 w = v;  // floor((v + 2^(s-1) - 1 + ((v >> s) & 1)) / 2^s)
    __int128 q = (w + ((__int128)1 << (s - 1)) - 1 + ((w >> s) & 1)) >> s;
    return clamp24((int64_t)q);
}
int32_t model24Up(int32_t v, int shift) {
    __int128 w = (__int128)v * ((__int128)1 << (shift > 40 ? 40 : shift));
    return clamp24(w > INT64_MAX ? INT64_MAX : (w < INT64_MIN ? INT64_MIN : (int64_t)w));
}

TEST(Packed24Kernels, EdgeCases) {
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        for (int n : {1, 8, 9, 17})
            for (size_t off : {0, 4, 8, 12}) {
                std::vector<uint8_t> src(3 * n);
                for (int i = 0; i < n; ++i) {
                    uint8_t s[3] = {0xFF, 0xFF, 0x7F};
                    if (i % 2) s[0] = 0, s[1] = 0, s[2] = 0x80;
                    std::memcpy(&src[3 * i], s, 3);
                }
                SpBuffer<float> dst(n, off);
                k.spI24ToF32Kernel(src.data(), dst.data(), n);
                for (int i = 0; i < n; ++i) EXPECT_EQ(dst.get(i), i % 2 ? -8388608.0f : 8388607.0f);
                EXPECT_TRUE(dst.checkCanaries());
            }
        struct W { float x; int sf; int32_t want; };
        for (W c : std::vector<W>{{8388607.5f, 0, 8388607}, {-9e6f, 0, -8388608}, {2.5f, 0, 2}, {3.5f, 0, 4},
                                  {NAN, 0, -8388608}, {1.0f, -23, 8388607}, {0.5f, -23, 4194304}, {1e30f, 200, 0},
                                  {-5.0f, 200, 0}}) {
            uint8_t out[3];
            if (c.sf == 0)
                k.spF32ToI24Kernel(&c.x, out, 1);
            else
                k.spF32ToI24ScaledKernel(&c.x, out, 1, c.sf);
            EXPECT_EQ(read24(out), c.want) << c.x << " sf " << c.sf;
        }
        // The caller's truncation is kept and does not affect the results.
        const float ties[2] = {2.5f, 3.5f};
        uint8_t out[6];
        uint32_t saved = _mm_getcsr();
        _mm_setcsr((saved & ~0x6000u) | 0x6000u);
        k.spF32ToI24Kernel(ties, out, 2);
        uint32_t after = _mm_getcsr();
        _mm_setcsr(saved);
        EXPECT_EQ(read24(out), 2);
        EXPECT_EQ(read24(out + 3), 4);
        EXPECT_EQ(after & 0x6000u, 0x6000u);
        struct I { int32_t v; int s; int32_t want; };
        for (I c : std::vector<I>{{1, 1, 0}, {3, 1, 2}, {-1, 1, 0}, {-3, 1, -2}, {1 << 30, 1, 8388607}}) {
            uint8_t o[3];
            k.spI32ToI24ScaledKernel(&c.v, o, 1, c.s);
            EXPECT_EQ(read24(o), c.want) << c.v;
        }
        for (I c : std::vector<I>{{32767, 8, 8388352}, {32768, 8, 8388607}, {-32768, 8, -8388608}}) {
            uint8_t o[3];
            k.spI32ToI24ScaledUpKernel(&c.v, o, 1, c.s);
            EXPECT_EQ(read24(o), c.want) << c.v;
        }
    });
}

// Random int32 of every magnitude, with the halves at factor s, the
// saturation limits of a shift by s and the int32 ends mixed in.
int32_t drawI32For24(std::mt19937_64& rng, int s) {
    int32_t v = (int32_t)rng() >> (rng() % 32);
    int sh = s < 0 ? 0 : (s > 31 ? 31 : s);
    switch (rng() % 6) {
    case 0:
        return (s >= 1 && s <= 31) ? (int32_t)(((uint32_t)v << s) | (1u << (s - 1))) : v;
    case 1: {
        const int32_t limits[] = {8388607 >> sh, (8388607 >> sh) + 1, -8388608 >> sh, (-8388608 >> sh) + 1,
                                  INT32_MAX, INT32_MIN};
        return limits[rng() % 6];
    }
    default:
        return v;
    }
}

TEST(Packed24Kernels, IntegerWritersMatchTheModelIncludingOutOfRangeFactors) {
    std::mt19937_64 rng(133);
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        for (int s : {0, 1, 2, 8, 16, 23, 24, 31, 32, 33, 40, 63, 64})
            for (size_t off : {0, 4, 8, 12, 1})
                for (int len = 1; len <= 40; ++len) {
                    SpBuffer<int32_t> src(len, off);
                    for (int i = 0; i < len; ++i) src.set(i, drawI32For24(rng, s));
                    SpBuffer<uint8_t> plain(3 * len, off), down(3 * len, off), up(3 * len, off);
                    k.spI32ToI24Kernel(src.data(), plain.data(), len);
                    k.spI32ToI24ScaledKernel(src.data(), down.data(), len, s);
                    k.spI32ToI24ScaledUpKernel(src.data(), up.data(), len, s);
                    ASSERT_TRUE(plain.checkCanaries() && down.checkCanaries() && up.checkCanaries());
                    for (int i = 0; i < len; ++i) {
                        int32_t v = src.get(i);
                        ASSERT_EQ(read24(plain.data() + 3 * i), clamp24(v));
                        ASSERT_EQ(read24(down.data() + 3 * i), model24Scaled(v, s)) << v << " s " << s;
                        ASSERT_EQ(read24(up.data() + 3 * i), model24Up(v, s)) << v << " s " << s;
                    }
                }
    });
}

// Every reader and writer with its buffer ending at, and starting right
// after, an inaccessible page: no access outside the samples.
TEST(Packed24Kernels, ReadersAndWritersStayInsideGuardedBuffers) {
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        for (auto side : {GuardedRegion::kGuardAfter, GuardedRegion::kGuardBefore})
            for (int len : {1, 2, 5, 8, 9, 10, 17, 33}) {
                SpGuardedBuffer<uint8_t> packed(3 * (size_t)len, side);
                for (int i = 0; i < 3 * len; ++i) packed.set(i, (uint8_t)(i * 37));
                std::vector<float> f(len);
                std::vector<int32_t> v(len);
                k.spI24ToF32Kernel(packed.data(), f.data(), len);
                k.spI24ToI32Kernel(packed.data(), v.data(), len);
                for (int i = 0; i < len; ++i) {
                    uint8_t s[3] = {packed.get(3 * i), packed.get(3 * i + 1), packed.get(3 * i + 2)};
                    ASSERT_EQ(v[i], read24(s));
                    ASSERT_EQ(f[i], (float)read24(s));
                }
                SpGuardedBuffer<uint8_t> out(3 * (size_t)len, side);
                k.spF32ToI24Kernel(f.data(), out.data(), len);
                k.spF32ToI24ScaledKernel(f.data(), out.data(), len, 1);
                k.spI32ToI24Kernel(v.data(), out.data(), len);
                k.spI32ToI24ScaledKernel(v.data(), out.data(), len, 2);
                k.spI32ToI24ScaledUpKernel(v.data(), out.data(), len, 0);
                for (int i = 0; i < 3 * len; ++i) ASSERT_EQ(out.get(i), packed.get(i)) << "byte " << i;
            }
    });
}

}  // namespace
}  // namespace sptest

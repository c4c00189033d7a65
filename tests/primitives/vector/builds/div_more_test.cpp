// Division kernels for the other element types, builds 1-3: the edge rows
// exact, integer quotients against exact rational arithmetic (within 1 where
// the kernel works from a float estimate or a rounded float factor, exact
// where it divides in double), floating kernels within measured bounds of a
// long double quotient, and every array at every offset against guard pages.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/ulp.h"
#include "tests/primitives/vector/builds/vec_kernels.h"

namespace sptest {
namespace {

// round(a / b * 2^-sf) with ties to even, saturated to [lo, hi].
int64_t exactQuotient(__int128 a, __int128 b, int sf, int64_t lo, int64_t hi) {
    if (b < 0) a = -a, b = -b;
    for (; sf < 0; ++sf) {
        if (a > ((__int128)1 << 90) || a < -((__int128)1 << 90)) break;
        a *= 2;
    }
    for (; sf > 0 && b < ((__int128)1 << 90); --sf) b *= 2;
    if (sf > 0) return 0;
    __int128 q = a / b, r = a % b;
    if (r < 0) r += b, q -= 1;
    if (2 * r > b || (2 * r == b && (q & 1) != 0)) q += 1;
    return q < lo ? lo : (q > hi ? hi : (int64_t)q);
}

// ---- The arrays of one call pressed against guard pages ---------------------
// `bytes` bytes at `offset` past a 16-byte boundary, its 16-byte block
// ending at a guard page.
struct Guarded {
    Guarded(size_t bytes, size_t offset) : buf(bytes, GuardedRegion::kGuardAfter, (32 - (offset + bytes) % 16) % 16) {}
    uint8_t* p() { return buf.data(); }
    SpGuardedBuffer<uint8_t> buf;
};

template <typename T>
T get(const uint8_t* p, size_t i) {
    T v;
    std::memcpy(&v, p + i * sizeof(T), sizeof(T));
    return v;
}
template <typename T>
void put(uint8_t* p, size_t i, T v) {
    std::memcpy(p + i * sizeof(T), &v, sizeof(T));
}

// Two-array integer kernel: (divisors, dividends) -> dst, checked element by
// element against the exact quotient within `tolerance`.
struct IntDivCase {
    const char* name;
    size_t divisorSize, dividendSize, dstSize;
    int64_t lo, hi;
    int tolerance;
    // Calls the kernel on raw arrays; returns the flag.
    std::function<int(const SpVecKernels&, const uint8_t* d, const uint8_t* a, uint8_t* q, int n, int sf)> call;
    int sfMin, sfMax;
};

int64_t readInt(const uint8_t* p, size_t i, size_t size, bool isSigned) {
    if (size == 1) return isSigned ? (int64_t)get<int8_t>(p, i) : (int64_t)get<uint8_t>(p, i);
    if (size == 2) return isSigned ? (int64_t)get<int16_t>(p, i) : (int64_t)get<uint16_t>(p, i);
    return get<int32_t>(p, i);
}

std::vector<IntDivCase> intDivCases() {
    using K = SpVecKernels;
    return {
        {"I32Scaled", 4, 4, 4, INT32_MIN, INT32_MAX, 0,
         [](const K& k, const uint8_t* d, const uint8_t* a, uint8_t* q, int n, int sf) {
             return k.spDivI32ScaledKernel((const int32_t*)(const void*)d, (const int32_t*)(const void*)a,
                                           (int32_t*)(void*)q, n, sf);
         },
         -40, 40},
        {"I16Scaled", 2, 2, 2, -32768, 32767, 1,
         [](const K& k, const uint8_t* d, const uint8_t* a, uint8_t* q, int n, int sf) {
             return k.spDivI16ScaledKernel((const int16_t*)(const void*)d, (const int16_t*)(const void*)a,
                                           (int16_t*)(void*)q, n, sf);
         },
         -40, 40},
        {"U8Scaled", 1, 1, 1, 0, 255, 1,
         [](const K& k, const uint8_t* d, const uint8_t* a, uint8_t* q, int n, int sf) {
             return k.spDivU8ScaledKernel(d, a, q, n, sf);
         },
         -40, 40},
        {"I32ByI16Scaled", 2, 4, 2, -32768, 32767, 1,
         [](const K& k, const uint8_t* d, const uint8_t* a, uint8_t* q, int n, int sf) {
             return k.spDivI32ByI16ScaledKernel((const int16_t*)(const void*)d, (const int32_t*)(const void*)a,
                                                (int16_t*)(void*)q, n, sf);
         },
         -40, 40},
    };
}

void fillInts(uint8_t* p, size_t n, size_t size, std::mt19937_64& rng, bool zeros) {
    for (size_t i = 0; i < n; ++i) {
        uint64_t r = rng();
        // Small magnitudes as often as large ones, so quotients land in range.
        if (r % 4 == 0) r = (r >> 8) % 7;
        if (zeros && rng() % 9 == 0) r = 0;
        std::memcpy(p + i * size, &r, size);
    }
}

class VecIntDivision : public ::testing::TestWithParam<IntDivCase> {};

// Every offset of the three arrays at lengths 1-20, each against a guard
// page, at a spread of scale factors; zero divisors by the kernel's table.
TEST_P(VecIntDivision, MatchExactQuotientsAtEveryOffset) {
    const IntDivCase& c = GetParam();
    const bool isSigned = c.lo < 0;
    std::mt19937_64 rng(std::hash<std::string>()(c.name));
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (size_t n = 1; n <= 20; ++n)
            for (size_t off = 0; off < 16; off += c.divisorSize) {
                int sf = c.sfMin + (int)(rng() % (uint64_t)(c.sfMax - c.sfMin + 1));
                if (rng() % 2) sf = (int)(rng() % 12) - 6;  // the estimate regimes
                Guarded d(n * c.divisorSize, off), a(n * c.dividendSize, (off * 3) % 16 / c.dividendSize * c.dividendSize),
                    q(n * c.dstSize, (off * 7) % 16 / c.dstSize * c.dstSize);
                fillInts(d.p(), n, c.divisorSize, rng, true);
                fillInts(a.p(), n, c.dividendSize, rng, false);
                SCOPED_TRACE(::testing::Message() << "len " << n << " offset " << off << " sf " << sf);
                int flag = c.call(k, d.p(), a.p(), q.p(), (int)n, sf);
                bool zero = false;
                for (size_t i = 0; i < n; ++i) {
                    int64_t dv = readInt(d.p(), i, c.divisorSize, isSigned || c.divisorSize == 2);
                    int64_t av = readInt(a.p(), i, c.dividendSize, isSigned);
                    int64_t got = readInt(q.p(), i, c.dstSize, isSigned);
                    int64_t want = dv == 0 ? (av > 0 ? c.hi : (av < 0 ? c.lo : 0)) : exactQuotient(av, dv, sf, c.lo, c.hi);
                    zero = zero || dv == 0;
                    ASSERT_LE(std::llabs(got - want), dv == 0 ? 0 : c.tolerance)
                        << av << " / " << dv << " element " << i << " gave " << got << " want " << want;
                }
                EXPECT_EQ(flag != 0, zero);
            }
    });
}

INSTANTIATE_TEST_SUITE_P(Kernels, VecIntDivision, ::testing::ValuesIn(intDivCases()),
                         [](const ::testing::TestParamInfo<IntDivCase>& info) { return std::string(info.param.name); });

// The rows the kernels are known by, through a single element and through
// the vector step (the row at index 8 of a 16-byte aligned vector of 16).
TEST(VecIntDivisionRows, Int16AndUint16Rows) {
    struct Row {
        int16_t a, d;
        int sf;
        int16_t want;
    } rows[] = {{7, 2, 0, 4}, {5, 2, 0, 2}, {1, 0, 0, 32767}, {-1, 0, 0, -32768}, {0, 0, 0, 0},
                {7, 1, 1, 4},  {7, 2, -1, 7}, {-7, 2, 0, -4}, {32767, 1, -3, 32767}};
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (const Row& r : rows)
            for (size_t at : {0u, 8u}) {
                SpBuffer<int16_t> d(std::vector<int16_t>(16, 1), 0), a(std::vector<int16_t>(16, 0), 0), q(16, 0);
                d.set(at, r.d);
                a.set(at, r.a);
                int flag = k.spDivI16ScaledKernel(d.data(), a.data(), q.data(), at == 0 ? 1 : 16, r.sf);
                EXPECT_EQ(q.get(at), r.want) << r.a << " / " << r.d << " sf " << r.sf << " at " << at;
                EXPECT_EQ(flag != 0, r.d == 0);
                EXPECT_TRUE(q.checkCanaries());
            }
        const uint16_t kRow[4] = {65535, 65535, 32768, 21845};
        for (size_t len : {4u, 16u}) {
            SpBuffer<uint16_t> src(len, 0), out(len, 0);
            for (size_t i = 0; i < len; ++i) src.set(i, (uint16_t)(i % 4));
            EXPECT_NE(k.spConstDivU16Kernel(src.data(), 65535, out.data(), (int)len), 0);
            for (size_t i = 0; i < len; ++i)
                EXPECT_EQ(out.get(i), kRow[i % 4]) << "len " << len << " i " << i;
        }
        int16_t d3 = 3, q = 0;
        int32_t big = 100000, small = -100000;
        k.spDivI32ByI16ScaledKernel(&d3, &big, &q, 1, 0);
        EXPECT_EQ(q, 32767);
        k.spDivI32ByI16ScaledKernel(&d3, &small, &q, 1, 0);
        EXPECT_EQ(q, -32768);
    });
}

// Divisions by a constant and the constant over a vector, against the exact
// quotient (within 1: the factor is a rounded float).
TEST(VecIntDivisionRows, ConstantKernelsWithinOneOfExact) {
    std::mt19937_64 rng(55);
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (int trial = 0; trial < 300; ++trial) {
            size_t n = 1 + rng() % 40, off = rng() % 16;
            int sf = (int)(rng() % 30) - 15;
            int16_t val16 = (int16_t)(rng() % 2 ? (int)(rng() % 200) - 100 : (int16_t)rng());
            if (val16 == 0) val16 = 3;
            uint8_t val8 = (uint8_t)(1 + rng() % 255);
            uint16_t valU = (uint16_t)rng();
            SpBuffer<uint8_t> s(n * 4, off), q(n * 4, (off * 5) % 16);
            fillInts(s.bytes(), n * 2, 2, rng, true);
            SCOPED_TRACE(::testing::Message() << "len " << n << " offset " << off << " sf " << sf);
            k.spDivConstI16ScaledKernel((const int16_t*)(void*)s.bytes(), val16, (int16_t*)(void*)q.bytes(), (int)n, sf);
            for (size_t i = 0; i < n; ++i)
                ASSERT_LE(std::llabs(get<int16_t>(q.bytes(), i) -
                                     exactQuotient(get<int16_t>(s.bytes(), i), val16, sf, -32768, 32767)), 1);
            k.spDivConstU8ScaledKernel(s.bytes(), val8, q.bytes(), (int)n, sf);
            for (size_t i = 0; i < n; ++i)
                ASSERT_LE(std::llabs(get<uint8_t>(q.bytes(), i) - exactQuotient(get<uint8_t>(s.bytes(), i), val8, sf, 0, 255)), 1);
            int flag = k.spConstDivU16Kernel((const uint16_t*)(void*)s.bytes(), valU, (uint16_t*)(void*)q.bytes(), (int)n);
            bool zero = false;
            for (size_t i = 0; i < n; ++i) {
                uint16_t d = get<uint16_t>(s.bytes(), i);
                zero = zero || d == 0;
                int64_t want = d == 0 ? 65535 : exactQuotient(valU, d, 0, 0, 65535);
                ASSERT_LE(std::llabs(get<uint16_t>(q.bytes(), i) - want), d == 0 ? 0 : 1) << valU << " / " << d;
            }
            EXPECT_EQ(flag != 0, zero);
            ASSERT_TRUE(q.checkCanaries());
        }
    });
}

TEST(VecIntDivisionRows, ComplexInt16) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        SpComplexI16 d[3] = {{0, 0}, {-32768, -32768}, {3, 4}}, a[3] = {{5, -7}, {-32768, -32768}, {25, 0}}, q[3];
        EXPECT_NE(k.spDivComplexI16ScaledKernel(d, a, q, 3, 0), 0);
        EXPECT_EQ(q[0].re, 0);
        EXPECT_EQ(q[0].im, 0);
        EXPECT_EQ(q[1].re, 1);
        EXPECT_EQ(q[1].im, 0);
        EXPECT_EQ(q[2].re, 3);   // 25 / (3 + 4i) = 3 - 4i
        EXPECT_EQ(q[2].im, -4);
        std::mt19937_64 rng(9);
        for (int trial = 0; trial < 2000; ++trial) {
            SpComplexI16 x{(int16_t)rng(), (int16_t)rng()}, y{(int16_t)(rng() % 64), (int16_t)rng()}, r{}, rc{};
            int sf = (int)(rng() % 41) - 20;
            if (y.re == 0 && y.im == 0) continue;
            EXPECT_EQ(k.spDivComplexI16ScaledKernel(&y, &x, &r, 1, sf), 0);
            k.spDivConstComplexI16ScaledKernel(&x, y, &rc, 1, sf);
            __int128 c = y.re, dd = y.im, m = c * c + dd * dd;
            int64_t wantRe = exactQuotient(x.re * c + x.im * dd, m, sf, -32768, 32767);
            int64_t wantIm = exactQuotient(x.im * c - x.re * dd, m, sf, -32768, 32767);
            for (SpComplexI16 got : {r, rc}) {
                EXPECT_LE(std::llabs(got.re - wantRe), 1) << trial;
                EXPECT_LE(std::llabs(got.im - wantIm), 1) << trial;
            }
        }
    });
}

// ---- Floating kernels -----------------------------------------------------------------
constexpr double kF64UlpBound = 8.0;   // one division for 8 quotients, snapped to 4 ulp
constexpr double kComplexBound = 8.0;  // units of 2^-24 (float) / 2^-53 (double) of |c a| + |b d| over m

TEST(VecFloatDivision, DoubleEdgeRowsAndBound) {
    const uint64_t nan = 0x7FF8000000000000ull;
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (size_t n : {1u, 8u, 9u}) {
            SpBuffer<double> d(std::vector<double>(n, 2.0), 0), a(std::vector<double>(n, 1.0), 0), q(n, 0);
            d.set(n - 1, 0.0);
            EXPECT_NE(k.spDivF64Kernel(d.data(), a.data(), q.data(), (int)n), 0);
            EXPECT_EQ(doubleBits(q.get(n - 1)), nan) << "len " << n;
            EXPECT_TRUE(q.checkCanaries());
        }
        std::mt19937_64 rng(64);
        std::uniform_real_distribution<double> mant(-2.0, 2.0);
        double worst = 0;
        for (size_t off : {0u, 8u, 4u})
            for (size_t n = 1; n <= 40; ++n) {
                SpBuffer<double> d(n, off), a(n, (off + 8) % 16), q(n, off);
                for (size_t i = 0; i < n; ++i)
                    d.set(i, std::ldexp(mant(rng), (int)(rng() % 200) - 100)), a.set(i, std::ldexp(mant(rng), (int)(rng() % 200) - 100));
                EXPECT_EQ(k.spDivF64Kernel(d.data(), a.data(), q.data(), (int)n), 0);
                for (size_t i = 0; i < n; ++i) {
                    long double want = (long double)a.get(i) / d.get(i);
                    long double ulp = std::ldexp(1.0L, std::ilogb((double)want) - 52);
                    worst = std::max(worst, (double)(std::fabs(q.get(i) - want) / ulp));
                }
                ASSERT_TRUE(q.checkCanaries());
            }
        EXPECT_LE(worst, kF64UlpBound);
        std::printf("[ measure  ] double division: max %.2f ulp\n", worst);
    });
}

template <typename C>
double complexError(C x, C y, C got, int mantBits) {
    long double c = y.re, d = y.im, a = x.re, b = x.im, m = c * c + d * d;
    long double re = (c * a + b * d) / m, im = (c * b - d * a) / m;
    long double scale = (std::fabs(c * a) + std::fabs(b * d) + std::fabs(c * b) + std::fabs(d * a)) / m;
    long double unit = scale * std::ldexp(1.0L, -mantBits);
    return (double)(std::max(std::fabs((long double)got.re - re), std::fabs((long double)got.im - im)) / unit);
}

TEST(VecFloatDivision, ComplexEdgeRowsAndBounds) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        SpComplexF32 d[4] = {{0, 0}, {0, 1}, {2e19f, 1}, {1, 1}}, a[4] = {{1, 1}, {1, 0}, {1, 1}, {2, 0}}, q[4];
        EXPECT_NE(k.spDivComplexF32Kernel(d, a, q, 4), 0);
        EXPECT_TRUE(std::isnan(q[0].re) && std::isnan(q[0].im));
        EXPECT_EQ(q[1].re, 0.0f);
        EXPECT_NEAR(q[1].im, -1.0f, 1e-6f);
        EXPECT_TRUE(std::isnan(q[2].re) && std::isnan(q[2].im));
        EXPECT_EQ(k.spDivComplexF32Kernel(d + 2, a + 2, q, 1), 0);  // overflowing magnitude: NaN without the flag
        EXPECT_TRUE(std::isnan(q[0].re));
        SpComplexF64 dz{0, 0}, az{1, 2}, qz{};
        EXPECT_NE(k.spDivComplexF64Kernel(&dz, &az, &qz, 1), 0);
        EXPECT_EQ(doubleBits(qz.re), 0x7FF8000000000000ull);
        EXPECT_EQ(doubleBits(qz.im), 0x7FF8000000000000ull);

        std::mt19937_64 rng(32);
        std::uniform_real_distribution<double> v(-100.0, 100.0);
        double worst32 = 0, worst64 = 0;
        for (size_t off : {0u, 8u, 4u})
            for (size_t n = 1; n <= 24; ++n) {
                SpBuffer<SpComplexF32> d32(n, off), a32(n, 0), q32(n, off);
                SpBuffer<SpComplexF64> d64(n, off), a64(n, 8), q64(n, off);
                for (size_t i = 0; i < n; ++i) {
                    d32.set(i, {(float)v(rng), (float)v(rng)}), a32.set(i, {(float)v(rng), (float)v(rng)});
                    d64.set(i, {v(rng), v(rng)}), a64.set(i, {v(rng), v(rng)});
                }
                EXPECT_EQ(k.spDivComplexF32Kernel(d32.data(), a32.data(), q32.data(), (int)n), 0);
                EXPECT_EQ(k.spDivComplexF64Kernel(d64.data(), a64.data(), q64.data(), (int)n), 0);
                for (size_t i = 0; i < n; ++i) {
                    worst32 = std::max(worst32, complexError<SpComplexF32>(a32.get(i), d32.get(i), q32.get(i), 24));
                    worst64 = std::max(worst64, complexError<SpComplexF64>(a64.get(i), d64.get(i), q64.get(i), 53));
                }
                ASSERT_TRUE(q32.checkCanaries());
                ASSERT_TRUE(q64.checkCanaries());
            }
        EXPECT_LE(worst32, kComplexBound);
        EXPECT_LE(worst64, kComplexBound);
        std::printf("[ measure  ] complex division: float %.2f, double %.2f units\n", worst32, worst64);
    });
}

}  // namespace
}  // namespace sptest

// Reductions of CPU builds 1-3: the single-precision dot product bit for bit
// against scalar models of each build's addition order, at every alignment
// pair and against guard pages; the element-wise minimum and maximum
// against the generic build; sum and mean through the entries; the dot
// products of the other element types against exact or long-double
// references.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/mxcsr.h"
#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/ulp.h"
#include "tests/primitives/vector/builds/vec_image.h"
#include "tests/primitives/vector/builds/vec_kernels.h"

namespace sptest {
namespace {

bool at16(const float* p) { return ((uintptr_t)p & 15) == 0; }
bool at4(const float* p) { return ((uintptr_t)p & 3) == 0; }

// Four float lanes of an accumulator, added lane by lane in float.
struct Lanes {
    float l[4] = {0, 0, 0, 0};
    void add(size_t lane, float v) { l[lane] = l[lane] + v; }
};

// The dot product's specified order for one build, element by element.
class DotModel {
public:
    DotModel(int build, const float* x, const float* y, size_t n) : build_(build), x_(x), y_(y), n_(n) {}

    float run() {
        if (n_ <= 15) return shortPath();
        if (at16(x_) && at16(y_)) return loop16Then();
        if (build_ == 1) return build1();
        if (!at4(x_) || !at4(y_)) return finish();
        if (!at16(y_) && at16(x_)) std::swap(x_, y_);
        while (!at16(y_)) {
            if (n_ == 0) return combine();
            one();
        }
        if (at16(x_)) return loop16Then();
        group(a_);
        if (n_ < 16) return finish();
        while (n_ >= 16) {
            group(a_);
            group(b_);
            group(c_);
        }
        return finish();
    }

private:
    // Products read through memcpy: the arrays may sit off 4-byte boundaries.
    static float at(const float* p, size_t i) {
        float v;
        std::memcpy(&v, (const char*)p + 4 * i, 4);
        return v;
    }
    float p(size_t i) const { return at(x_, i) * at(y_, i); }
    void advance(size_t k) {
        x_ += k;
        y_ += k;
        n_ -= k;
    }
    void one() {
        a_.add(0, p(0));
        advance(1);
    }
    void group(Lanes& acc) {
        for (size_t l = 0; l < 4; ++l) acc.add(l, p(l));
        advance(4);
    }
    float shortPath() {
        float e = 0, o = 0;
        size_t i = 0;
        for (; i + 2 <= n_; i += 2) {
            e = e + p(i);
            o = o + p(i + 1);
        }
        if (i < n_) o = o + p(i);
        return o + e;
    }
    float build1() {
        if (!at4(y_) && at4(x_)) std::swap(x_, y_);
        while (!at16(y_)) {
            if (n_ == 0) return combine();
            one();
        }
        return loop16Then();
    }
    float loop16Then() {
        while (n_ >= 16) {
            group(a_);
            group(b_);
            group(c_);
            group(d_);
        }
        return finish();
    }
    float finish() {
        while (n_ >= 2) {
            a_.add(0, p(0));
            a_.add(1, p(1));
            advance(2);
        }
        if (n_ == 1) one();
        return combine();
    }
    float combine() const {
        float f[4];
        for (size_t l = 0; l < 4; ++l) f[l] = (a_.l[l] + b_.l[l]) + (c_.l[l] + d_.l[l]);
        return (f[1] + f[3]) + (f[0] + f[2]);
    }

    int build_;
    const float* x_;
    const float* y_;
    size_t n_;
    Lanes a_, b_, c_, d_;
};

std::vector<float> spreadFloats(uint64_t seed, size_t n) {
    std::vector<float> v(n);
    uint64_t s = seed;
    for (float& x : v) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        int e = (int)((s >> 40) % 24) - 12;
        x = std::ldexp((float)((s >> 11) % 100000) / 100000.0f + 0.5f, e) * ((s >> 63) ? -1.0f : 1.0f);
    }
    return v;
}

// Arrays of n floats at byte offset `off` from the start of a region that
// follows a guard page, and in a second run ending at one.
struct GuardedPair {
    GuardedRegion before1, before2;
    float* x;
    float* y;
    GuardedPair(size_t n, size_t off1, size_t off2)
        : before1(n * 4 + off1, GuardedRegion::kGuardBefore), before2(n * 4 + off2, GuardedRegion::kGuardBefore) {
        x = (float*)(before1.bytes() + off1);
        y = (float*)(before2.bytes() + off2);
    }
};

TEST(VecDot, FollowsEachBuildsOrderAtEveryAlignmentPair) {
    const size_t offsets[][2] = {{0, 0}, {0, 4}, {0, 8}, {0, 12}, {4, 0}, {4, 4}, {4, 8}, {4, 12},
                                 {8, 0}, {8, 4}, {8, 8}, {8, 12}, {12, 0}, {12, 4}, {12, 8}, {12, 12},
                                 {1, 0}, {0, 2}, {1, 6}, {3, 3}};
    std::vector<size_t> lens;
    for (size_t n = 1; n <= 64; ++n) lens.push_back(n);
    lens.push_back(1000);
    forEachVecBuild([&](int build, const SpVecKernels& k) {
        for (const auto& off : offsets) {
            for (size_t n : lens) {
                std::vector<float> a = spreadFloats(n * 31 + off[0], n), b = spreadFloats(n * 17 + off[1] + 5, n);
                GuardedPair g(n, off[0], off[1]);
                std::memcpy(g.x, a.data(), n * 4);
                std::memcpy(g.y, b.data(), n * 4);
                float got = -1;
                k.spDotProductF32Kernel(g.x, g.y, (int)n, &got);
                float want = DotModel(build, g.x, g.y, n).run();
                ASSERT_EQ(floatBits(got), floatBits(want))
                    << "offsets " << off[0] << "/" << off[1] << " len " << n << ": " << got << " vs " << want;
                // The same arrays ending at a guard page.
                SpGuardedBuffer<float> ex(n, GuardedRegion::kGuardAfter), ey(n, GuardedRegion::kGuardAfter);
                ex.assign(a);
                ey.assign(b);
                k.spDotProductF32Kernel(ex.data(), ey.data(), (int)n, &got);
                ASSERT_EQ(floatBits(got), floatBits(DotModel(build, ex.data(), ey.data(), n).run())) << "len " << n;
            }
        }
    });
}

TEST(VecDot, ShortOrders) {
    const float x[4] = {1.0f, 3e-8f, -1.0f, 7e-8f};
    const float y[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    forEachVecBuild([&](int, const SpVecKernels& k) {
        float three, four;
        k.spDotProductF32Kernel(x, y, 3, &three);
        k.spDotProductF32Kernel(x, y, 4, &four);
        EXPECT_EQ(three, (x[1] + x[2]) + x[0]);
        EXPECT_EQ(four, (x[1] + x[3]) + (x[0] + x[2]));
    });
}

// ---- Element-wise minimum and maximum ----------------------------------------------
TEST(VecEvery, NaNsAndEqualZerosKeepTheDestination) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (bool max : {false, true}) {
            const float src[3] = {bitsFloat(0x7fc00001u), 1.0f, -0.0f};
            float dst[3] = {5.0f, bitsFloat(0x7fc00002u), 0.0f};
            (max ? k.spMaxEveryF32Kernel : k.spMinEveryF32Kernel)(src, dst, 3);
            EXPECT_EQ(floatBits(dst[0]), floatBits(5.0f));
            EXPECT_EQ(floatBits(dst[1]), 0x7fc00002u);
            EXPECT_EQ(floatBits(dst[2]), 0u);
        }
    });
}

void compareEvery(bool max, int build, size_t len, size_t off0, size_t off1) {
    VecLayout layout;
    layout.len = len;
    layout.arrays = 2;
    layout.offset[0] = off0;
    layout.offset[1] = off1;
    std::vector<std::vector<float>> values = {mixedFloats(len * 7 + off0, len), mixedFloats(len * 11 + off1, len)};
    ImageCall call = [&](std::vector<uint8_t>& image) {
        float* s = layout.array(image, 0);
        float* d = layout.array(image, 1);
        return max ? spMaxEveryF32InPlace(s, d, (int)len) : spMinEveryF32InPlace(s, d, (int)len);
    };
    compareWithGeneric(build, makeImage(layout, values), call);
}

TEST(VecEvery, MatchGenericAtEveryOffset) {
    const size_t offsets[] = {0, 1, 2, 4, 8, 12};
    for (bool max : {false, true}) {
        auto& row = max ? spEntryTableB.spMaxEveryF32InPlace : spEntryTableB.spMinEveryF32InPlace;
        forEachBuild(row, [&](int build) {
            if (build == 0) return;
            for (size_t n = 1; n <= 40; ++n)
                for (size_t o0 : offsets)
                    for (size_t o1 : offsets) {
                        SCOPED_TRACE(::testing::Message() << (max ? "max" : "min") << " len " << n << " offsets " << o0 << "/" << o1);
                        compareEvery(max, build, n, o0, o1);
                        if (::testing::Test::HasFailure()) return;
                    }
            for (size_t o : {0u, 4u, 2u}) compareEvery(max, build, 87376, o, 4);
        });
    }
}

// ---- Sum and mean through the entries -------------------------------------------------
TEST(VecMean, RoundsTheSumToFloatFirst) {
    const float v[6] = {16777216.0f, 1, 1, 1, 1, 1};
    forEachBuild(spEntryTableB.spMeanF32, [&](int build) {
        for (int hint : {0, 1}) {
            float mean = 0;
            EXPECT_EQ(spMeanF32(v, 6, &mean, hint), SP_STS_OK);
            EXPECT_EQ(mean, build == 0 ? 2796203.5f : 2796203.25f) << "hint " << hint;
        }
    });
}

// 2^24 and eight ones: exact in double; the fast sum (hint 1) adds its
// lanes in float, where 2^24 + 1 rounds back to 2^24 in lane 0.
TEST(VecSum, EntryRoundsOnceAndChecksItsArguments) {
    SpBuffer<float> v(std::vector<float>(9, 1.0f), 0);
    v.set(0, 16777216.0f);
    forEachBuild(spEntryTableB.spSumF32, [&](int build) {
        for (int hint : {0, 1}) {
            float s = 0;
            EXPECT_EQ(spSumF32(v.data(), 9, &s, hint), SP_STS_OK);
            EXPECT_EQ(s, build != 0 && hint == 1 ? 16777222.0f : 16777224.0f) << "hint " << hint;
        }
        float s = 7;
        EXPECT_EQ(spSumF32(nullptr, 0, &s, 0), SP_STS_NULL_PTR);
        EXPECT_EQ(spSumF32(v.data(), 0, &s, 0), SP_STS_SIZE);
        EXPECT_EQ(spDotProductF32(v.data(), v.data(), -1, &s), SP_STS_SIZE);
        EXPECT_EQ(spMeanF32(v.data(), 3, nullptr, 0), SP_STS_NULL_PTR);
        EXPECT_EQ(s, 7.0f);
    });
}

// ---- Dot products of the other element types ----------------------------------------------
std::vector<int16_t> int16s(uint64_t seed, size_t n) {
    std::vector<int16_t> v(n);
    uint64_t s = seed;
    for (int16_t& x : v) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        x = (int16_t)(s >> 48);
    }
    return v;
}

// Exact int16 dots, real and complex, at every offset (2-byte steps) and
// with the worst case (-32768)^2 everywhere.
TEST(VecDotOther, Int16DotsAreExact) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (size_t n : {1u, 2u, 7u, 8u, 9u, 31u, 100u, 1001u}) {
            for (size_t off : {0u, 2u, 6u, 14u}) {
                std::vector<int16_t> a = int16s(n + off, 2 * n), b = int16s(3 * n + off, 2 * n);
                if (n == 1001) std::fill(a.begin(), a.end(), -32768), std::fill(b.begin(), b.end(), -32768);
                SpBuffer<int16_t> x(a, off), y(b, off);
                __int128 want = 0;
                for (size_t i = 0; i < n; ++i) want += (int64_t)a[i] * b[i];
                int64_t got[2] = {0, 0};
                k.spDotProductI16ToI64Kernel(x.data(), y.data(), (int)n, got);
                EXPECT_EQ(got[0], (int64_t)want) << n << "/" << off;
                k.spDotProductI16ToI64AltKernel(x.data(), y.data(), (int)n, got);
                EXPECT_EQ(got[0], (int64_t)want) << n << "/" << off;
                __int128 re = 0, im = 0, rr = 0, ri = 0;
                for (size_t i = 0; i < n; ++i) {
                    re += (int64_t)a[i] * b[2 * i];
                    im += (int64_t)a[i] * b[2 * i + 1];
                    rr += (int64_t)a[2 * i] * b[2 * i] - (int64_t)a[2 * i + 1] * b[2 * i + 1];
                    ri += (int64_t)a[2 * i] * b[2 * i + 1] + (int64_t)a[2 * i + 1] * b[2 * i];
                }
                k.spDotProductI16ComplexI16ToI64Kernel(x.data(), (const SpComplexI16*)y.data(), (int)n, got);
                EXPECT_EQ(got[0], (int64_t)re);
                EXPECT_EQ(got[1], (int64_t)im);
                k.spDotProductComplexI16ToI64Kernel((const SpComplexI16*)x.data(), (const SpComplexI16*)y.data(),
                                                    (int)n, got);
                EXPECT_EQ(got[0], (int64_t)rr);
                EXPECT_EQ(got[1], (int64_t)ri);
            }
        }
    });
}

// Round half to even with saturation, from an exact rational value num / 2^sh.
int32_t roundScaledExact(__int128 num, int sh) {
    __int128 q = num >> sh, rem = num - q * ((__int128)1 << sh), half = (__int128)1 << (sh - 1);
    if (rem > half || (rem == half && (q & 1))) ++q;
    if (q > INT32_MAX) return INT32_MAX;
    if (q < INT32_MIN) return INT32_MIN;
    return (int32_t)q;
}

// Scaled integer dots with a power-of-two factor, on values small enough
// that the double sum is exact: round to nearest even and saturation, in
// round-toward-zero caller state.
TEST(VecDotOther, ScaledIntegerDotsRoundToNearestEven) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (int sh : {1, 3, 10}) {
            const double factor = std::ldexp(1.0, -sh);
            std::vector<int16_t> a16 = int16s(5 + (uint64_t)sh, 64), b16 = int16s(9 + (uint64_t)sh, 128);
            std::vector<int32_t> a(a16.begin(), a16.end()), b(b16.begin(), b16.end());
            __int128 real = 0, cre = 0, cim = 0, xre = 0, xim = 0;
            for (size_t i = 0; i < 64; ++i) {
                real += (int64_t)a[i] * b[i];
                cre += (int64_t)a[i] * b[2 * i];
                cim += (int64_t)a[i] * b[2 * i + 1];
            }
            for (size_t i = 0; i < 32; ++i) {
                xre += (int64_t)a[2 * i] * b[2 * i] - (int64_t)a[2 * i + 1] * b[2 * i + 1];
                xim += (int64_t)a[2 * i] * b[2 * i + 1] + (int64_t)a[2 * i + 1] * b[2 * i];
            }
            MxcsrScope zero(kMxcsrDefault | kMxcsrRoundZero);
            int32_t got[2];
            k.spDotProductI32ScaledKernel(a.data(), b.data(), 64, got, &factor);
            EXPECT_EQ(got[0], roundScaledExact(real, sh));
            k.spDotProductI16I32ScaledKernel(a16.data(), b.data(), 64, got, &factor);
            EXPECT_EQ(got[0], roundScaledExact(real, sh));
            k.spDotProductI32ComplexI32ScaledKernel(a.data(), b.data(), 64, got, &factor);
            EXPECT_EQ(got[0], roundScaledExact(cre, sh));
            EXPECT_EQ(got[1], roundScaledExact(cim, sh));
            k.spDotProductComplexI32ScaledKernel(a.data(), b.data(), 32, got, &factor);
            EXPECT_EQ(got[0], roundScaledExact(xre, sh));
            EXPECT_EQ(got[1], roundScaledExact(xim, sh));
            EXPECT_EQ(readMxcsr() & kMxcsrRoundMask, kMxcsrRoundZero);
        }
        const int32_t big[2] = {2000000000, -2000000000};
        const double one = 1.0;
        int32_t got;
        k.spDotProductI32ScaledKernel(big, big, 2, &got, &one);
        EXPECT_EQ(got, INT32_MAX);
        const int32_t mixed[2] = {2000000000, 2000000000};
        k.spDotProductI32ScaledKernel(mixed, big, 1, &got, &one);
        EXPECT_EQ(got, INT32_MAX);
        const int32_t neg[1] = {-2000000000};
        k.spDotProductI32ScaledKernel(neg, mixed, 1, &got, &one);
        EXPECT_EQ(got, INT32_MIN);
    });
}

// Floating dots against long double sums; bounds measured on this machine
// with margin (reported by the test).
TEST(VecDotOther, FloatingDotsWithinBounds) {
    forEachVecBuild([&](int build, const SpVecKernels& k) {
        const size_t n = 777;
        std::vector<float> a = spreadFloats(1, 2 * n), b = spreadFloats(2, 2 * n);
        std::vector<double> ad(a.begin(), a.end()), bd(b.begin(), b.end());
        struct Sum {
            long double value, mag;
        };
        auto dotL = [&](auto& x, size_t xs, size_t xo, auto& y, size_t ys, size_t yo) {
            Sum s{0, 0};
            for (size_t i = 0; i < n; ++i) {
                long double p = (long double)x[xs * i + xo] * (long double)y[ys * i + yo];
                s.value += p;
                s.mag += std::fabs(p);
            }
            return s;
        };
        auto diff = [](Sum a, Sum b) { return Sum{a.value - b.value, a.mag + b.mag}; };
        auto plus = [](Sum a, Sum b) { return Sum{a.value + b.value, a.mag + b.mag}; };
        auto rel = [](long double got, Sum want) { return (double)(std::fabs(got - want.value) / want.mag); };
        double worstF = 0, worstD = 0;
        const Sum real = dotL(a, 1, 0, b, 1, 0), realD = dotL(ad, 1, 0, bd, 1, 0);
        const Sum mixRe = dotL(a, 1, 0, b, 2, 0), mixIm = dotL(a, 1, 0, b, 2, 1);
        const Sum cRe = diff(dotL(a, 2, 0, b, 2, 0), dotL(a, 2, 1, b, 2, 1));
        const Sum cIm = plus(dotL(a, 2, 0, b, 2, 1), dotL(a, 2, 1, b, 2, 0));
        double d;
        k.spDotProductF32ToF64Kernel(a.data(), b.data(), (int)n, &d);
        worstD = std::max(worstD, rel(d, real));
        k.spDotProductF64Kernel(ad.data(), bd.data(), (int)n, &d);
        worstD = std::max(worstD, rel(d, realD));
        SpComplexF64 cd;
        k.spDotProductF32ComplexF32ToF64Kernel(a.data(), (const SpComplexF32*)b.data(), (int)n, &cd);
        worstD = std::max({worstD, rel(cd.re, mixRe), rel(cd.im, mixIm)});
        k.spDotProductF64ComplexF64Kernel(ad.data(), (const SpComplexF64*)bd.data(), (int)n, &cd);
        worstD = std::max({worstD, rel(cd.re, mixRe), rel(cd.im, mixIm)});
        k.spDotProductComplexF32ToF64Kernel((const SpComplexF32*)a.data(), (const SpComplexF32*)b.data(), (int)n, &cd);
        worstD = std::max({worstD, rel(cd.re, cRe), rel(cd.im, cIm)});
        k.spDotProductComplexF64Kernel((const SpComplexF64*)ad.data(), (const SpComplexF64*)bd.data(), (int)n, &cd);
        worstD = std::max({worstD, rel(cd.re, cRe), rel(cd.im, cIm)});
        SpComplexF32 cf;
        k.spDotProductF32ComplexF32Kernel(a.data(), (const SpComplexF32*)b.data(), (int)n, &cf);
        worstF = std::max({worstF, rel(cf.re, mixRe), rel(cf.im, mixIm)});
        k.spDotProductComplexF32Kernel((const SpComplexF32*)a.data(), (const SpComplexF32*)b.data(), (int)n, &cf);
        worstF = std::max({worstF, rel(cf.re, cRe), rel(cf.im, cIm)});
        std::printf("[ measure  ] build %d dot error / sum|p|: double %.3g, float %.3g\n", build, worstD, worstF);
        EXPECT_LE(worstD, 1e-15);
        EXPECT_LE(worstF, 1e-5);
    });
}

}  // namespace
}  // namespace sptest

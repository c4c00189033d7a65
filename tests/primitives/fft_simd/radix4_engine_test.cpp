// The radix-4/8 complex FFT kernels of the three CPU builds: accuracy
// against FFTW and the bit-exact relations between the kernel kinds,
// directions, layouts, alignments and builds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "primitives/fft/sp_fft_cpu.h"
#include "primitives/fft_simd/sp_fft_simd.h"
#include "primitives/sp_records.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/fft_kernel_support.h"
#include "tests/primitives/support/fftw_ref.h"

namespace {

using sptest::PoisonedWork;

// Uniform floats in [-1, 1) from a fixed seed.
std::vector<float> seeded(size_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(count);
    for (float& x : v) x = dist(rng);
    return v;
}

struct Engine {
    int build;
    int maxM;
    void (*fwdBitRev)(const float*, float*, int, const float*, const int32_t*, float*);
    void (*invBitRev)(const float*, float*, int, const float*, const int32_t*, float*);
    void (*fwd)(float*, int, const float*, float*, int);
    void (*inv)(float*, int, const float*, float*, int);
    void (*fwdBitRevSplit)(const float*, const float*, float*, float*, int, const float*, const int32_t*, float*);
    void (*invBitRevSplit)(const float*, const float*, float*, float*, int, const float*, const int32_t*, float*);
    void (*fwdSplit)(float*, float*, int, const float*, float*);
    void (*invSplit)(float*, float*, int, const float*, float*);
    int32_t* (*buildList)(int, int32_t*);
    float* (*buildTwiddles)(int, const float*, int, float*);
};

#define SP_ENGINE(b, maxM, suffix, tables)                                                                        \
    Engine {                                                                                                      \
        b, maxM, spFftRadix4FwdBitRev##suffix, spFftRadix4InvBitRev##suffix, spFftRadix4Fwd##suffix,              \
            spFftRadix4Inv##suffix, spFftRadix4FwdBitRevSplit##suffix, spFftRadix4InvBitRevSplit##suffix,         \
            spFftRadix4FwdSplit##suffix, spFftRadix4InvSplit##suffix, spFftBuildBitRevIndexList##tables,          \
            spFftBuildTwiddles##tables                                                                            \
    }

const Engine kEngines[] = {SP_ENGINE(1, 16, _Sse3, _Sse3), SP_ENGINE(2, 17, _Ssse3, _Ssse3),
                           SP_ENGINE(3, 17, _Sse41, _Ssse3)};

template <typename Fn>
void forEachEngine(Fn&& fn) {
    for (const Engine& e : kEngines) {
        if (!sptest::cpuHasBuild(e.build)) {
            std::printf("[ note     ] %s: not supported by this CPU, skipped\n", sptest::buildName(e.build));
            continue;
        }
        SCOPED_TRACE(sptest::buildName(e.build));
        fn(e);
    }
}

// 32-byte aligned floats with room to offset the start.
struct Aligned {
    std::vector<float> storage;
    float* at;
    Aligned(size_t n, size_t offsetFloats = 0) : storage(n + 16, 0.0f) {
        at = reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(storage.data()) + 31) & ~uintptr_t{31}) +
             offsetFloats;
    }
};

// The index list and twiddle table of 2^m points laid out by the engine's
// builders; the table's last 32 reserved bytes hold NaN.
struct Tables {
    std::vector<int32_t> list;
    Aligned twiddles;
    Tables(const Engine& e, int m) : list((size_t{1} << m) / 4 + 16, -1), twiddles(2 * (size_t{1} << m)) {
        const int sinOrder = std::max(m, 10);
        std::vector<float> sine((size_t{1} << sinOrder) / 4 + 16);
        const float* S = SP_SIN_TABLE_1024;
        if (m > 10) {
            spFftBuildSinTable_Sse3(m, sine.data());
            S = sine.data();
        }
        e.buildList(m, list.data());
        e.buildTwiddles(m, S, sinOrder, twiddles.at);
        const size_t n = size_t{1} << m;
        for (size_t i = 2 * n - 8; i < 2 * n; ++i) twiddles.at[i] = NAN;
    }
};

std::vector<float> bitReversed(const std::vector<float>& z, int m) {
    std::vector<float> out(z.size());
    for (uint32_t i = 0; i < z.size() / 2; ++i) {
        const uint32_t r = sptest::revBits(i, m);
        out[2 * i] = z[2 * r];
        out[2 * i + 1] = z[2 * r + 1];
    }
    return out;
}

std::vector<float> conj(std::vector<float> z) {
    for (size_t i = 1; i < z.size(); i += 2) z[i] = -z[i];
    return z;
}

// Whole-transform kernel into a fresh aligned destination.
std::vector<float> whole(const Engine& e, const Tables& t, const std::vector<float>& x, bool inv) {
    const int n = static_cast<int>(x.size() / 2);
    Aligned dst(x.size());
    PoisonedWork work(8 * static_cast<size_t>(n));
    (inv ? e.invBitRev : e.fwdBitRev)(x.data(), dst.at, n, t.twiddles.at, t.list.data(),
                                      reinterpret_cast<float*>(work.data()));
    return std::vector<float>(dst.at, dst.at + x.size());
}

std::vector<float> inPlace(const Engine& e, const Tables& t, const std::vector<float>& reversed, bool inv, int flag,
                           size_t offsetFloats = 0) {
    const int n = static_cast<int>(reversed.size() / 2);
    Aligned data(reversed.size() + 8, offsetFloats);
    std::copy(reversed.begin(), reversed.end(), data.at);
    PoisonedWork work(8 * static_cast<size_t>(n));
    (inv ? e.inv : e.fwd)(data.at, n, t.twiddles.at, reinterpret_cast<float*>(work.data()), flag);
    return std::vector<float>(data.at, data.at + reversed.size());
}

::testing::AssertionResult sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size()) return ::testing::AssertionFailure() << "sizes differ";
    for (size_t i = 0; i < a.size(); ++i)
        if (std::memcmp(&a[i], &b[i], 4) != 0)
            return ::testing::AssertionFailure() << "float " << i << ": " << a[i] << " vs " << b[i];
    return ::testing::AssertionSuccess();
}

int lastM(const Engine& e) {
#ifdef SP_FFT_SIMD_LONG
    return e.maxM;
#else
    return std::min(e.maxM, 16);
#endif
}

TEST(Radix4Engine, MatchesFftwBothDirectionsAndBothKinds) {
    SP_REQUIRE_FFTW();
    forEachEngine([&](const Engine& e) {
        for (int m = 3; m <= lastM(e); ++m) {
            const Tables t(e, m);
            const std::vector<float> x = seeded(2 * (size_t{1} << m), 100 + m);
            const std::vector<double> refFwd = sptest::fftwComplexForward(sptest::toDouble(x));
            const std::vector<float> peerFwd = sptest::fftwfComplexForward(x);
            const std::vector<double> refInvD = [&] {
                std::vector<double> r = sptest::fftwComplexForward(sptest::toDouble(conj(x)));
                for (size_t i = 1; i < r.size(); i += 2) r[i] = -r[i];
                return r;
            }();
            const double bound = std::max(1.5e-7 * m, 4.0 * sptest::relativeRmsError(peerFwd, refFwd));
            const double boundInv = std::max(1.5e-7 * m, 4.0 * sptest::relativeRmsError(conj(sptest::fftwfComplexForward(conj(x))), refInvD));
            EXPECT_LE(sptest::relativeRmsError(whole(e, t, x, false), refFwd), bound) << "forward m " << m;
            EXPECT_LE(sptest::relativeRmsError(whole(e, t, x, true), refInvD), boundInv) << "inverse m " << m;
            if (m < 6) continue;
            const std::vector<float> rev = bitReversed(x, m);
            EXPECT_LE(sptest::relativeRmsError(inPlace(e, t, rev, false, 1), refFwd), bound) << "in place m " << m;
            EXPECT_LE(sptest::relativeRmsError(inPlace(e, t, rev, true, 1), refInvD), boundInv) << "in place m " << m;
        }
    });
}

TEST(Radix4Engine, ImpulseAndConstantAreExact) {
    forEachEngine([&](const Engine& e) {
        for (int m = 3; m <= lastM(e); ++m) {
            const size_t n = size_t{1} << m;
            const Tables t(e, m);
            std::vector<float> impulse(2 * n, 0.0f), constant(2 * n);
            impulse[0] = 1.0f;
            for (size_t i = 0; i < n; ++i) {
                constant[2 * i] = 1.5f;
                constant[2 * i + 1] = -0.75f;
            }
            for (bool inv : {false, true}) {
                const std::vector<float> ones = whole(e, t, impulse, inv);
                const std::vector<float> peak = whole(e, t, constant, inv);
                for (size_t k = 0; k < n; ++k) {
                    ASSERT_EQ(ones[2 * k], 1.0f) << m << " " << k;
                    ASSERT_EQ(ones[2 * k + 1], 0.0f) << m << " " << k;
                    ASSERT_EQ(peak[2 * k], k == 0 ? 1.5f * n : 0.0f) << m << " " << k;
                    ASSERT_EQ(peak[2 * k + 1], k == 0 ? -0.75f * n : 0.0f) << m << " " << k;
                }
            }
        }
    });
}

// Every relation the kernels keep bit for bit, on one seeded input per size.
TEST(Radix4Engine, KindsDirectionsLayoutsAndPlacementsAgreeBitForBit) {
    forEachEngine([&](const Engine& e) {
        for (int m = 3; m <= lastM(e); ++m) {
            const int n = 1 << m;
            const Tables t(e, m);
            const std::vector<float> x = seeded(2 * static_cast<size_t>(n), 200 + m);
            const std::vector<float> fwd = whole(e, t, x, false);
            // Inverse: the conjugate of the forward transform of the conjugate.
            ASSERT_TRUE(sameBits(whole(e, t, x, true), conj(whole(e, t, conj(x), false)))) << m;
            // In place on the source, and into a misaligned destination, through the work area.
            Aligned same(2 * static_cast<size_t>(n));
            std::copy(x.begin(), x.end(), same.at);
            PoisonedWork work(8 * static_cast<size_t>(n));
            float* w = reinterpret_cast<float*>(work.data());
            e.fwdBitRev(same.at, same.at, n, t.twiddles.at, t.list.data(), w);
            ASSERT_TRUE(sameBits(std::vector<float>(same.at, same.at + 2 * n), fwd)) << m;
            Aligned odd(2 * static_cast<size_t>(n), 2);
            e.fwdBitRev(x.data(), odd.at, n, t.twiddles.at, t.list.data(), w);
            ASSERT_TRUE(sameBits(std::vector<float>(odd.at, odd.at + 2 * n), fwd)) << m;
            // An aligned, separate destination leaves the work area alone.
            PoisonedWork untouched(8 * static_cast<size_t>(n));
            Aligned dst(2 * static_cast<size_t>(n));
            e.fwdBitRev(x.data(), dst.at, n, t.twiddles.at, t.list.data(), reinterpret_cast<float*>(untouched.data()));
            ASSERT_TRUE(untouched.untouchedFrom(0)) << m;
            // Split arrays, separate and in place, any alignment.
            for (size_t offset : {size_t{0}, size_t{1}}) {
                for (bool inv : {false, true}) {
                    std::vector<float> re(n + 1), im(n + 1), outRe(n + 1), outIm(n + 1);
                    for (int k = 0; k < n; ++k) {
                        re[offset + k] = x[2 * k];
                        im[k] = x[2 * k + 1];
                    }
                    PoisonedWork sw(8 * static_cast<size_t>(n));
                    float* swp = reinterpret_cast<float*>(sw.data());
                    (inv ? e.invBitRevSplit : e.fwdBitRevSplit)(re.data() + offset, im.data(), outRe.data(),
                                                                outIm.data() + offset, n, t.twiddles.at,
                                                                t.list.data(), swp);
                    const std::vector<float> want = whole(e, t, x, inv);
                    for (int k = 0; k < n; ++k) {
                        ASSERT_EQ(std::memcmp(&outRe[k], &want[2 * k], 4), 0) << m << " re " << k;
                        ASSERT_EQ(std::memcmp(&outIm[offset + k], &want[2 * k + 1], 4), 0) << m << " im " << k;
                    }
                    ASSERT_TRUE(n != 8 || sw.untouchedFrom(0));
                    (inv ? e.invBitRevSplit : e.fwdBitRevSplit)(re.data() + offset, im.data(), re.data() + offset,
                                                                im.data(), n, t.twiddles.at, t.list.data(), swp);
                    for (int k = 0; k < n; ++k) {
                        ASSERT_EQ(std::memcmp(&re[offset + k], &want[2 * k], 4), 0) << m << " re " << k;
                        ASSERT_EQ(std::memcmp(&im[k], &want[2 * k + 1], 4), 0) << m << " im " << k;
                    }
                }
            }
            if (m < 6) continue;
            // The whole transform is the bit reversal then the in-place kernel.
            const std::vector<float> rev = bitReversed(x, m);
            for (bool inv : {false, true}) {
                const std::vector<float> want = whole(e, t, x, inv);
                const std::vector<float> flat = inPlace(e, t, rev, inv, 1);
                ASSERT_TRUE(sameBits(flat, want)) << m << " inv " << inv;
                ASSERT_TRUE(sameBits(inPlace(e, t, rev, inv, 1, 2), want)) << m;
                ASSERT_TRUE(sameBits(inPlace(e, t, rev, inv, 0), sptest::toGrouped(want))) << m;
                ASSERT_TRUE(sameBits(inPlace(e, t, rev, inv, 0, 1), sptest::toGrouped(want))) << m;
                std::vector<float> re(n), im(n);
                for (int k = 0; k < n; ++k) {
                    re[k] = rev[2 * k];
                    im[k] = rev[2 * k + 1];
                }
                PoisonedWork sw(8 * static_cast<size_t>(n));
                (inv ? e.invSplit : e.fwdSplit)(re.data(), im.data(), n, t.twiddles.at,
                                                reinterpret_cast<float*>(sw.data()));
                for (int k = 0; k < n; ++k) {
                    ASSERT_EQ(std::memcmp(&re[k], &want[2 * k], 4), 0) << m << " " << k;
                    ASSERT_EQ(std::memcmp(&im[k], &want[2 * k + 1], 4), 0) << m << " " << k;
                }
            }
        }
    });
}

// 8 points read neither table nor work area; build 1 takes 16 points
// without them too, builds 2 and 3 through 128 work bytes.
TEST(Radix4Engine, SmallSizesTouchOnlyWhatTheyNeed) {
    forEachEngine([&](const Engine& e) {
        const std::vector<float> x8 = seeded(16, 8);
        const Tables t8(e, 3);
        const std::vector<float> want8 = whole(e, t8, x8, false);
        std::vector<float> same = x8;
        e.fwdBitRev(same.data(), same.data(), 8, nullptr, nullptr, nullptr);
        EXPECT_TRUE(sameBits(same, want8));
        const std::vector<float> x16 = seeded(32, 16);
        const Tables t16(e, 4);
        const std::vector<float> want16 = whole(e, t16, x16, false);
        std::vector<float> same16 = x16;
        PoisonedWork work(8 * 16);
        e.fwdBitRev(same16.data(), same16.data(), 16, t16.twiddles.at, e.build == 1 ? nullptr : t16.list.data(),
                    e.build == 1 ? nullptr : reinterpret_cast<float*>(work.data()));
        EXPECT_TRUE(sameBits(same16, want16));
        EXPECT_TRUE(work.untouchedFrom(128));
    });
}

// Builds 2 and 1 give the same bits where their plans coincide, build 3
// build 2's everywhere.
TEST(Radix4Engine, BuildsAgreeWhereTheirPlansCoincide) {
    if (!sptest::cpuHasBuild(3)) GTEST_SKIP() << "needs builds 1 to 3";
    for (int m = 3; m <= 17; ++m) {
        const std::vector<float> x = seeded(2 * (size_t{1} << m), 300 + m);
        const Tables t2(kEngines[1], m);
        const std::vector<float> b2 = whole(kEngines[1], t2, x, false);
        EXPECT_TRUE(sameBits(whole(kEngines[2], t2, x, false), b2)) << m;
        if (m == 3 || m == 4 || m == 5 || m == 6 || m == 11 || m == 14 || m == 16) {
            const Tables t1(kEngines[0], m);
            EXPECT_TRUE(sameBits(whole(kEngines[0], t1, x, false), b2)) << m;
        }
    }
}

}  // namespace

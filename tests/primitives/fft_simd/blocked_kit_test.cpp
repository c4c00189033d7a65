// The blocked kit of builds 2 and 3: two blocked calls and one scatter pass
// give the transform of N = 8n points. Accuracy of the composition against
// FFTW, and the bit-exact relations between rows and the in-place kernel,
// layouts, directions, placements and builds.
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
#include "primitives/vector/entry_table_b.h"
#include "primitives/sp_records.h"
#include "tests/primitives/support/blocked_tables.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/fft_kernel_support.h"
#include "tests/primitives/support/fftw_ref.h"

namespace {

using sptest::PoisonedWork;

using Blocked = void (*)(const float*, float*, uint64_t, const float*, const int32_t*, float*);
using BlockedSplit = void (*)(const float*, const float*, float*, uint64_t, const float*, const int32_t*);
using Scatter = void (*)(const float*, float*, uint64_t, int64_t, const float*);
using ScatterSplit = void (*)(const float*, float*, float*, uint64_t, int32_t, const float*);
using InPlace = void (*)(float*, int, const float*, float*, int);

// Each kind indexed by direction: [0] forward, [1] inverse.
struct Kit {
    int build;
    Blocked blocked[2];
    BlockedSplit blockedSplit[2];
    Scatter scatter[2];
    ScatterSplit scatterSplit[2];
    InPlace radix4[2];
};

#define SP_KIT(b, s)                                                                                        \
    Kit {                                                                                                   \
        b, {spFftRadix4FwdBitRevBlocked##s, spFftRadix4InvBitRevBlocked##s},                                \
            {spFftRadix4FwdBitRevBlockedSplit##s, spFftRadix4InvBitRevBlockedSplit##s},                     \
            {spFftColumnsRadix8FwdScatter##s, spFftColumnsRadix8InvScatter##s},                             \
            {spFftColumnsRadix8FwdScatterSplit##s, spFftColumnsRadix8InvScatterSplit##s},                   \
            {spFftRadix4Fwd##s, spFftRadix4Inv##s}                                                          \
    }

const Kit kKits[] = {SP_KIT(2, _Ssse3), SP_KIT(3, _Sse41)};

template <typename Fn>
void forEachKit(Fn&& fn) {
    for (const Kit& k : kKits) {
        if (!sptest::cpuHasBuild(k.build)) {
            std::printf("[ note     ] %s: not supported by this CPU, skipped\n", sptest::buildName(k.build));
            continue;
        }
        SCOPED_TRACE(sptest::buildName(k.build));
        fn(k);
    }
}

// log2 n of the rows. Accuracy: 6 to 17 by default, 18 and 19 under the
// long label. The other bit-exact relations: 6 to 12 by default, 18 (the
// one plan of its own) under the long label; the rows against the in-place
// kernel: 6 to 17 by default.
#ifdef SP_FFT_SIMD_LONG
constexpr int kFirstA = 18, kLastA = 19, kFirstRelationA = 18, kLastRelationA = 18, kLastRowA = 0;
#else
constexpr int kFirstA = 6, kLastA = 17, kFirstRelationA = 6, kLastRelationA = 12, kLastRowA = 17;
#endif

std::vector<float> seeded(size_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(count);
    for (float& x : v) x = dist(rng);
    return v;
}

// count floats, 32-byte aligned plus offset floats, poisoned, with a
// poisoned tail that serves as canary.
struct Floats {
    size_t count, offset;
    PoisonedWork mem;
    float* at;
    explicit Floats(size_t n, size_t offsetFloats = 0)
        : count(n), offset(offsetFloats), mem(4 * (n + offsetFloats)),
          at(reinterpret_cast<float*>(mem.data()) + offsetFloats) {}
    Floats(const std::vector<float>& v, size_t offsetFloats = 0) : Floats(v.size(), offsetFloats) {
        std::copy(v.begin(), v.end(), at);
    }
    std::vector<float> get() const { return std::vector<float>(at, at + count); }
    bool canaryIntact() const { return mem.untouchedFrom(4 * (count + offset)); }
};

// The quarter-wave sine table of 2^order points from the build-2 builder.
std::vector<float> sineTable(int order) {
    std::vector<float> S((size_t{1} << order) / 4 + 16);
    spFftBuildSinTable_Ssse3(order, S.data());
    return S;
}

// The three tables of N = 2^(a+3) points. Up to a = 17 the block table and
// the row table are a build's complex record's, at 19 the build-2
// builders', at 18 the row table is the test-side one for the kit's plan. Entry 0 of the
// block table is garbage (the kernels take it as 0), entries after the
// terminator are too, and the row table's 32 reserved bytes hold NaN.
struct KitTables {
    int a;
    uint64_t n;
    std::vector<int32_t> list;
    Floats twiddles, scatter;
    KitTables(int build, int logN)
        : a(logN), n(uint64_t{1} << logN), list(n / 4 + 16, -1), twiddles(2 * n), scatter(14 * n) {
        if (a <= 17) {
            sptest::ScopedDispatchIndex index(build);
            SpFftSpec* spec = nullptr;
            EXPECT_EQ(spComplexFftCreate(&spec, a, SP_FFT_DIV_INV_BY_N, 0), SP_STS_OK);
            std::copy(spec->bitRevTable, spec->bitRevTable + n / 4 + 1, list.begin());
            std::copy(spec->radix4Twiddles, spec->radix4Twiddles + 2 * n - 8, twiddles.at);
            spComplexFftDestroy(spec);
        } else {
            const std::vector<float> S = sineTable(a);
            spFftBuildBitRevIndexList_Ssse3(a, list.data());
            if (a == 18) {
                sptest::buildBlockedRowTwiddles(sptest::blockedRowPlan(a), S.data(), a, twiddles.at);
            } else {
                std::vector<float> full(2 * n + 16);
                spFftBuildTwiddles_Ssse3(a, S.data(), a, full.data());
                std::copy(full.begin(), full.begin() + 2 * n - 8, twiddles.at);
            }
        }
        list[0] = 1 << 28;
        for (uint64_t i = 2 * n - 8; i < 2 * n; ++i) twiddles.at[i] = NAN;
        const std::vector<float> S = sineTable(a + 3);
        sptest::buildBlockedScatterTwiddles(a, S.data(), a + 3, scatter.at);
    }
};

// ---- Layout helpers -----------------------------------------------------

std::vector<float> conj(std::vector<float> z) {
    for (size_t i = 1; i < z.size(); i += 2) z[i] = -z[i];
    return z;
}

// Negates the imaginary vector of every 8-float group.
std::vector<float> conjGrouped(std::vector<float> z) {
    for (size_t i = 0; i < z.size(); ++i)
        if (i % 8 >= 4) z[i] = -z[i];
    return z;
}

::testing::AssertionResult sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size()) return ::testing::AssertionFailure() << "sizes differ";
    for (size_t i = 0; i < a.size(); ++i)
        if (std::memcmp(&a[i], &b[i], 4) != 0)
            return ::testing::AssertionFailure() << "float " << i << ": " << a[i] << " vs " << b[i];
    return ::testing::AssertionSuccess();
}

// Interleaved points as two arrays, the real one `offset` floats in.
struct SplitPoints {
    std::vector<float> re, im;
    size_t offset;
    SplitPoints(const std::vector<float>& z, size_t off) : re(z.size() / 2 + off), im(z.size() / 2), offset(off) {
        for (size_t k = 0; k < z.size() / 2; ++k) {
            re[off + k] = z[2 * k];
            im[k] = z[2 * k + 1];
        }
    }
    const float* r() const { return re.data() + offset; }
};

// ---- Kernel calls ---------------------------------------------------------

// The two blocked calls of the composition: 8 grouped rows (16n floats).
std::vector<float> rows(const Kit& k, const KitTables& t, const std::vector<float>& x, bool inv) {
    Floats mid(16 * t.n);
    PoisonedWork work(32 * t.n);
    float* w = reinterpret_cast<float*>(work.data());
    k.blocked[inv](x.data(), mid.at, t.n, t.twiddles.at, t.list.data(), w);
    k.blocked[inv](x.data() + 8, mid.at + 8 * t.n, t.n, t.twiddles.at, t.list.data(), w);
    EXPECT_TRUE(work.untouchedFrom(0)) << "aligned, separate destination used the work area";
    EXPECT_TRUE(mid.canaryIntact());
    return mid.get();
}

std::vector<float> rowsSplit(const Kit& k, const KitTables& t, const std::vector<float>& x, bool inv) {
    const SplitPoints s(x, 1);
    Floats mid(16 * t.n);
    k.blockedSplit[inv](s.r(), s.im.data(), mid.at, t.n, t.twiddles.at, t.list.data());
    k.blockedSplit[inv](s.r() + 4, s.im.data() + 4, mid.at + 8 * t.n, t.n, t.twiddles.at, t.list.data());
    EXPECT_TRUE(mid.canaryIntact());
    return mid.get();
}

// The scatter pass on a copy of mid into a destination offset floats in.
std::vector<float> scatter(const Kit& k, const KitTables& t, const std::vector<float>& mid, bool inv,
                           size_t offset = 0) {
    Floats src(mid), dst(mid.size(), offset);
    k.scatter[inv](src.at, dst.at, t.n, static_cast<int64_t>(t.n), t.scatter.at);
    EXPECT_TRUE(dst.canaryIntact());
    return dst.get();
}

std::vector<float> compose(const Kit& k, const KitTables& t, const std::vector<float>& x, bool inv) {
    return scatter(k, t, rows(k, t, x, inv), inv);
}

// ---- Tests ----------------------------------------------------------------

TEST(BlockedKit, CompositionMatchesFftwAndInvertsToNTimesTheInput) {
    SP_REQUIRE_FFTW();
    for (int a = kFirstA; a <= kLastA; ++a) {
        const int logN = a + 3;
        const std::vector<float> x = seeded(16 * (size_t{1} << a), 700 + a);
        const std::vector<double> refFwd = sptest::fftwComplexForward(sptest::toDouble(x));
        const std::vector<double> refInv = [&] {
            std::vector<double> r = sptest::fftwComplexForward(sptest::toDouble(conj(x)));
            for (size_t i = 1; i < r.size(); i += 2) r[i] = -r[i];
            return r;
        }();
        const double bound =
            std::max(1.5e-7 * logN, 4.0 * sptest::relativeRmsError(sptest::fftwfComplexForward(x), refFwd));
        const double boundInv = std::max(
            1.5e-7 * logN, 4.0 * sptest::relativeRmsError(conj(sptest::fftwfComplexForward(conj(x))), refInv));
        std::vector<double> scaled = sptest::toDouble(x);
        for (double& v : scaled) v = std::ldexp(v, logN);
        forEachKit([&](const Kit& k) {
            const KitTables t(k.build, a);
            const std::vector<float> fwd = compose(k, t, x, false);
            EXPECT_LE(sptest::relativeRmsError(fwd, refFwd), bound) << "forward a " << a;
            EXPECT_LE(sptest::relativeRmsError(compose(k, t, x, true), refInv), boundInv) << "inverse a " << a;
            EXPECT_LE(sptest::relativeRmsError(compose(k, t, fwd, true), scaled), bound + boundInv)
                << "round trip a " << a;
        });
    }
}

TEST(BlockedKit, ImpulseGivesExactOnes) {
    forEachKit([&](const Kit& k) {
        for (int a = kFirstRelationA; a <= kLastRelationA; ++a) {
            const KitTables t(k.build, a);
            std::vector<float> impulse(16 * t.n, 0.0f);
            impulse[0] = 1.0f;
            for (bool inv : {false, true}) {
                const std::vector<float> out = compose(k, t, impulse, inv);
                size_t i = 0;
                while (i < out.size() && out[i] == (i % 2 ? 0.0f : 1.0f)) ++i;
                ASSERT_EQ(i, out.size()) << "a " << a << " inv " << inv << ": float " << i << " is not exact";
            }
        }
    });
}

// Row r of the blocked calls is what the in-place kernel with grouped
// output makes of the bit-reversed residue x[8m + r], with the same table.
TEST(BlockedKit, RowsEqualTheInPlaceKernelOnTheReversedResidue) {
    forEachKit([&](const Kit& k) {
        for (int a = 6; a <= kLastRowA; ++a) {
            const KitTables t(k.build, a);
            const std::vector<float> x = seeded(16 * t.n, 800 + a);
            Floats residue(2 * t.n);
            PoisonedWork work(8 * t.n);
            for (bool inv : {false, true}) {
                const std::vector<float> mid = rows(k, t, x, inv);
                for (uint64_t r = 0; r < 8; ++r) {
                    for (uint32_t m = 0; m < t.n; ++m) {
                        const uint32_t j = sptest::revBits(m, a);
                        residue.at[2 * m] = x[2 * (8 * j + r)];
                        residue.at[2 * m + 1] = x[2 * (8 * j + r) + 1];
                    }
                    k.radix4[inv](residue.at, static_cast<int>(t.n), t.twiddles.at,
                                  reinterpret_cast<float*>(work.data()), 0);
                    ASSERT_EQ(std::memcmp(residue.at, mid.data() + 2 * r * t.n, 8 * t.n), 0)
                        << "a " << a << " inv " << inv << " row " << r;
                }
            }
        }
    });
}

// Every other relation the kernels keep bit for bit, on one input per size.
TEST(BlockedKit, LayoutsDirectionsAndPlacementsAgreeBitForBit) {
    forEachKit([&](const Kit& k) {
        for (int a = kFirstRelationA; a <= kLastRelationA; ++a) {
            const KitTables t(k.build, a);
            const size_t half = 8 * t.n;  // floats of 4 rows
            const std::vector<float> x = seeded(16 * t.n, 900 + a);
            for (bool inv : {false, true}) {
                SCOPED_TRACE(inv ? "inverse" : "forward");
                const std::vector<float> mid = rows(k, t, x, inv);
                const std::vector<float> first(mid.begin(), mid.begin() + half);
                // Split input.
                ASSERT_TRUE(sameBits(rowsSplit(k, t, x, inv), mid)) << a;
                // The inverse is the conjugate of the forward result of the conjugate.
                ASSERT_TRUE(sameBits(conjGrouped(rows(k, t, conj(x), !inv)), mid)) << a;
                // A misaligned destination, and src == dst, go through the work area.
                Floats odd(half, 2);
                PoisonedWork work(32 * t.n);
                float* w = reinterpret_cast<float*>(work.data());
                k.blocked[inv](x.data(), odd.at, t.n, t.twiddles.at, t.list.data(), w);
                ASSERT_TRUE(sameBits(odd.get(), first)) << a;
                ASSERT_TRUE(odd.canaryIntact());
                ASSERT_TRUE(work.untouchedFrom(32 * t.n)) << "work area overrun";
                Floats same(x);
                k.blocked[inv](same.at, same.at, t.n, t.twiddles.at, t.list.data(), w);
                ASSERT_TRUE(sameBits(std::vector<float>(same.at, same.at + half), first)) << a;
                ASSERT_TRUE(same.canaryIntact());
                // Scatter: misaligned destination, in place, split output, inverse relation.
                const std::vector<float> out = scatter(k, t, mid, inv);
                ASSERT_TRUE(sameBits(scatter(k, t, mid, inv, 2), out)) << a;
                Floats inPlace(mid);
                k.scatter[inv](inPlace.at, inPlace.at, t.n, static_cast<int64_t>(t.n), t.scatter.at);
                ASSERT_TRUE(sameBits(inPlace.get(), out)) << a;
                ASSERT_TRUE(sameBits(conj(scatter(k, t, conjGrouped(mid), !inv)), out)) << a;
                const Floats src(mid);
                Floats re(8 * t.n, 1), im(8 * t.n, 3);
                k.scatterSplit[inv](src.at, re.at, im.at, t.n, static_cast<int32_t>(t.n), t.scatter.at);
                ASSERT_TRUE(sameBits(src.get(), mid)) << "split scatter changed its source";
                ASSERT_TRUE(re.canaryIntact() && im.canaryIntact());
                std::vector<float> joined(out.size());
                for (size_t i = 0; i < 8 * t.n; ++i) {
                    joined[2 * i] = re.at[i];
                    joined[2 * i + 1] = im.at[i];
                }
                ASSERT_TRUE(sameBits(joined, out)) << a;
            }
        }
    });
}

// Count 4 transforms columns 0 to 3 of every row, with one twiddle record,
// and writes nothing else.
TEST(BlockedKit, ScatterWithCountFourDoesOneColumnGroup) {
    forEachKit([&](const Kit& k) {
        const KitTables t(k.build, 6);
        const std::vector<float> mid = seeded(16 * t.n, 1000);
        Floats record(56);
        std::copy(t.scatter.at, t.scatter.at + 56, record.at);
        for (bool inv : {false, true}) {
            const std::vector<float> full = scatter(k, t, mid, inv);
            Floats src(mid), splitSrc(mid), dst(mid.size(), 2), re(8 * t.n), im(8 * t.n);
            k.scatter[inv](src.at, dst.at, t.n, 4, record.at);
            k.scatterSplit[inv](splitSrc.at, re.at, im.at, t.n, 4, record.at);
            // Columns 0 to 3 of every row as in the full pass; the rest keeps its poison.
            std::vector<float> want = Floats(mid.size()).get(), wantRe = Floats(8 * t.n).get(), wantIm = wantRe;
            for (uint64_t row = 0; row < 8; ++row) {
                for (uint64_t p = row * t.n; p < row * t.n + 4; ++p) {
                    want[2 * p] = wantRe[p] = full[2 * p];
                    want[2 * p + 1] = wantIm[p] = full[2 * p + 1];
                }
            }
            ASSERT_TRUE(sameBits(dst.get(), want)) << "inv " << inv;
            ASSERT_TRUE(sameBits(re.get(), wantRe)) << "inv " << inv;
            ASSERT_TRUE(sameBits(im.get(), wantIm)) << "inv " << inv;
            ASSERT_TRUE(dst.canaryIntact() && re.canaryIntact() && im.canaryIntact());
        }
    });
}

TEST(BlockedKit, Build3EqualsBuild2) {
    if (!sptest::cpuHasBuild(3)) GTEST_SKIP() << "needs builds 2 and 3";
    for (int a = kFirstRelationA; a <= kLastRelationA; ++a) {
        const KitTables t2(2, a), t3(3, a);
        const std::vector<float> x = seeded(16 * t2.n, 1100 + a);
        for (bool inv : {false, true}) {
            EXPECT_TRUE(sameBits(compose(kKits[1], t3, x, inv), compose(kKits[0], t2, x, inv))) << a;
            EXPECT_TRUE(sameBits(rowsSplit(kKits[1], t3, x, inv), rowsSplit(kKits[0], t2, x, inv))) << a;
        }
    }
}

// The test-side row table, with the kit's plan, has the build-2 builder's
// bits wherever that builder's plan is the kit's (every size but 2^18).
TEST(BlockedKit, TestSideRowTableMatchesTheBuild2Builder) {
    if (!sptest::cpuHasBuild(2)) GTEST_SKIP() << "needs build 2";
    for (int a : {6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 19}) {
        const size_t n = size_t{1} << a;
        const std::vector<float> S = sineTable(a);
        std::vector<float> library(2 * n + 16), ours(2 * n, NAN);
        spFftBuildTwiddles_Ssse3(a, S.data(), a, library.data());
        sptest::buildBlockedRowTwiddles(sptest::blockedRowPlan(a), S.data(), a, ours.data());
        library.resize(2 * n - 8);
        ours.resize(2 * n - 8);
        EXPECT_TRUE(sameBits(ours, library)) << a;
    }
}

}  // namespace

// Large complex FFT drivers of the three CPU builds, their column passes,
// gather and scatter and the chunked input copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "primitives/fft/sp_fft_cpu.h"
#include "primitives/fft_simd/sp_fft_simd.h"
#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/fft_kernel_support.h"
#include "tests/primitives/support/fftw_ref.h"

namespace {

using Driver = void (*)(const SpFftSpec*, const float*, float*, int, uint8_t*);
using Pass = void (*)(const float*, float*, int, int, const float*);
using Pass8 = void (*)(float*, float*, int, int, const float*);

struct Large {
    int build;
    int firstLarge;
    Driver fwd, inv;
    Pass radix2[2], radix4[2];
    Pass8 radix8[2];
    void (*gather)(const float*, float*, int, int, int);
    void (*scatter)(float*, const float*, int, int, int, int);
    void (*gatherSplit)(const float*, const float*, float*, int, int, int);
    void (*scatterSplit)(float*, float*, const float*, int, int, int);
    void (*copyChunked)(const void*, void*, int64_t, int64_t);
};

#define SP_LARGE(b, first, s)                                                                                     \
    Large {                                                                                                       \
        b, first, spFftFwdLarge##s, spFftInvLarge##s, {spFftColumnsRadix2Fwd##s, spFftColumnsRadix2Inv##s},       \
            {spFftColumnsRadix4Fwd##s, spFftColumnsRadix4Inv##s}, {spFftColumnsRadix8Fwd##s, spFftColumnsRadix8Inv##s}, \
            spFftGatherColumns##s, spFftScatterColumns##s, spFftGatherColumnsSplit##s, spFftScatterColumnsSplit##s,  \
            spFftCopyChunked##s                                                                                   \
    }

const Large kLarge[] = {SP_LARGE(1, 17, _Sse3), SP_LARGE(2, 18, _Ssse3), SP_LARGE(3, 18, _Sse41)};

template <typename Fn>
void forEachLarge(Fn&& fn) {
    for (const Large& l : kLarge) {
        if (!sptest::cpuHasBuild(l.build)) {
            std::printf("[ note     ] %s: not supported by this CPU, skipped\n", sptest::buildName(l.build));
            continue;
        }
        SCOPED_TRACE(sptest::buildName(l.build));
        fn(l);
    }
}

std::vector<float> seeded(size_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(count);
    for (float& x : v) x = dist(rng);
    return v;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), 4 * a.size()) == 0;
}

struct Record {
    SpFftSpec* spec = nullptr;
    Record(int build, int order, int flag) {
        sptest::ScopedDispatchIndex index(build);
        EXPECT_EQ(spComplexFftCreate(&spec, order, flag, 0), SP_STS_OK);
    }
    ~Record() { spComplexFftDestroy(spec); }
};

std::vector<float> drive(Driver d, const SpFftSpec* spec, const std::vector<float>& x, int log2n, bool inPlace) {
    sptest::PoisonedWork work(static_cast<size_t>(spec->workSize));
    std::vector<float> src(x), dst(x.size());
    float* out = inPlace ? src.data() : dst.data();
    d(spec, src.data(), out, log2n, work.data());
    EXPECT_TRUE(inPlace || sameBits(src, x)) << "source changed";
    return std::vector<float>(out, out + x.size());
}

#ifdef SP_FFT_SIMD_LONG
constexpr int kLastLog2n = 22;
#else
constexpr int kLastLog2n = 19;
#endif

TEST(LargeFft, DriversMatchFftwInAndOutOfPlace) {
    SP_REQUIRE_FFTW();
    forEachLarge([&](const Large& l) {
        for (int log2n = l.firstLarge; log2n <= kLastLog2n; ++log2n) {
            const Record rec(l.build, log2n, SP_FFT_DIV_INV_BY_N);
            const std::vector<float> x = seeded(2 * (size_t{1} << log2n), 500 + log2n);
            const std::vector<double> ref = sptest::fftwComplexForward(sptest::toDouble(x));
            const double bound =
                std::max(1.5e-7 * log2n, 4.0 * sptest::relativeRmsError(sptest::fftwfComplexForward(x), ref));
            const std::vector<float> out = drive(l.fwd, rec.spec, x, log2n, false);
            EXPECT_LE(sptest::relativeRmsError(out, ref), bound) << log2n;
            EXPECT_TRUE(sameBits(drive(l.fwd, rec.spec, x, log2n, true), out)) << log2n;
            // The inverse with scale 1/n returns the input.
            const std::vector<float> back = drive(l.inv, rec.spec, out, log2n, false);
            EXPECT_LE(sptest::relativeRmsError(back, sptest::toDouble(x)), 2 * bound) << log2n;
            EXPECT_TRUE(sameBits(drive(l.inv, rec.spec, out, log2n, true), back)) << log2n;
        }
    });
}

TEST(LargeFft, ImpulsesGiveOnesAndTheFirstHarmonic) {
    forEachLarge([&](const Large& l) {
        const int log2n = l.firstLarge;
        const size_t n = size_t{1} << log2n;
        const Record rec(l.build, log2n, SP_FFT_NODIV_BY_ANY);
        std::vector<float> at0(2 * n, 0.0f), at1(2 * n, 0.0f);
        at0[0] = 1.0f;
        at1[2] = 1.0f;
        for (Driver d : {l.fwd, l.inv}) {
            const std::vector<float> ones = drive(d, rec.spec, at0, log2n, false);
            for (size_t k = 0; k < n; ++k) {
                ASSERT_EQ(ones[2 * k], 1.0f) << k;
                ASSERT_EQ(ones[2 * k + 1], 0.0f) << k;
            }
        }
        const std::vector<float> h = drive(l.fwd, rec.spec, at1, log2n, true);
        double worst = 0.0;
        for (size_t k = 0; k < n; ++k) {
            const std::complex<double> want = std::polar(1.0, -2.0 * M_PI * static_cast<double>(k) / n);
            worst = std::max(worst, std::abs(std::complex<double>(h[2 * k], h[2 * k + 1]) - want));
        }
        EXPECT_LT(worst, 1e-5);
    });
}

TEST(LargeFft, BuildThreeGivesBuildTwosBits) {
    if (!sptest::cpuHasBuild(3)) GTEST_SKIP() << "needs build 3";
    for (int log2n = 18; log2n <= kLastLog2n; ++log2n) {
        const Record r2(2, log2n, SP_FFT_DIV_FWD_BY_N), r3(3, log2n, SP_FFT_DIV_FWD_BY_N);
        const std::vector<float> x = seeded(2 * (size_t{1} << log2n), 900 + log2n);
        EXPECT_TRUE(sameBits(drive(kLarge[2].fwd, r3.spec, x, log2n, false),
                             drive(kLarge[1].fwd, r2.spec, x, log2n, false)))
            << log2n;
    }
}

#ifndef SP_FFT_SIMD_LONG
// A column pass against a naive double DFT of each column: blocks of R
// sub-transforms of span points in bit-reversed order, twiddles of 9.102's
// rule for the first pass of a level (w = e^(-2 pi i m j / (R span))).
TEST(LargeFft, ColumnPassesMatchTheDftOfTheirColumns) {
    struct Case {
        int span, blocks;
    };
    const Case cases[] = {{4, 1}, {8, 3}, {64, 2}};
    forEachLarge([&](const Large& l) {
        for (int R : {2, 4, 8}) {
            const int bits = R == 2 ? 1 : R == 4 ? 2 : 3;
            for (const Case& c : cases) {
                for (int dir = 0; dir < 2; ++dir) {
                    const double sign = dir == 0 ? -1.0 : 1.0;
                    const size_t points = static_cast<size_t>(R) * c.span * c.blocks;
                    std::vector<float> interleaved = seeded(2 * points, 77 + R + c.span);
                    std::vector<float> data = sptest::toGrouped(interleaved);
                    std::vector<float> tw;
                    for (int j = 0; j < c.span; j += 4)
                        for (int m = 1; m < R; ++m) {
                            for (int i = 0; i < 4; ++i) tw.push_back(static_cast<float>(std::cos(2 * M_PI * m * (j + i) / (R * c.span))));
                            for (int i = 0; i < 4; ++i) tw.push_back(static_cast<float>(-std::sin(2 * M_PI * m * (j + i) / (R * c.span))));
                        }
                    std::vector<float> a(data.size() + 4), t(tw.size() + 4);
                    float* d = reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(a.data()) + 15) & ~uintptr_t{15});
                    float* w = reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(t.data()) + 15) & ~uintptr_t{15});
                    std::copy(data.begin(), data.end(), d);
                    std::copy(tw.begin(), tw.end(), w);
                    if (R == 8) {
                        l.radix8[dir](d, d, c.span, c.blocks, w);
                    } else {
                        (R == 4 ? l.radix4 : l.radix2)[dir](d, d, c.span, c.blocks, w);
                    }
                    auto at = [&](const float* g, size_t p, int part) { return g[8 * (p / 4) + 4 * part + p % 4]; };
                    double err = 0.0, norm = 0.0;
                    for (int blk = 0; blk < c.blocks; ++blk)
                        for (int j = 0; j < c.span; ++j)
                            for (int k = 0; k < R; ++k) {
                                std::complex<double> sum = 0.0;
                                for (int s = 0; s < R; ++s) {
                                    const size_t p = static_cast<size_t>(blk) * R * c.span +
                                                     sptest::revBits(static_cast<uint32_t>(s), bits) * c.span + j;
                                    const std::complex<double> v(at(data.data(), p, 0), at(data.data(), p, 1));
                                    sum += v * std::polar(1.0, sign * 2 * M_PI * s * (j + static_cast<double>(k) * c.span) / (R * c.span));
                                }
                                const size_t q = static_cast<size_t>(blk) * R * c.span + k * c.span + j;
                                const std::complex<double> got(at(d, q, 0), at(d, q, 1));
                                err += std::norm(got - sum);
                                norm += std::norm(sum);
                            }
                    EXPECT_LT(std::sqrt(err / norm), 1e-6) << "radix " << R << " span " << c.span << " dir " << dir;
                }
            }
        }
    });
}

TEST(LargeFft, GatherScatterRoundTripsBitExact) {
    forEachLarge([&](const Large& l) {
        const int rows = 4, cols = 16, stride = 40;
        for (size_t offset : {size_t{0}, size_t{2}}) {
            const std::vector<float> grouped = seeded(2 * rows * stride + 8, 3);
            std::vector<float> store(grouped.size() + 8), back(grouped.size() + 8, 0.0f), work(2 * rows * cols + 8);
            float* w = reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(work.data()) + 15) & ~uintptr_t{15});
            std::copy(grouped.begin(), grouped.end(), store.begin() + offset);
            l.gather(store.data() + offset, w, stride, rows, cols);
            l.scatter(back.data() + offset, w, stride, rows, cols, 0);
            for (int r = 0; r < rows; ++r)
                for (int k = 0; k < 2 * cols; ++k)
                    ASSERT_EQ(back[offset + 2 * r * stride + k], grouped[2 * r * stride + k]) << r << " " << k;
            // Interleave 1: each group of four becomes four interleaved points.
            l.scatter(back.data() + offset, w, stride, rows, cols, 1);
            const std::vector<float> row0(grouped.begin(), grouped.begin() + 2 * cols);
            std::vector<float> want(2 * cols);
            for (int p = 0; p < cols; ++p) {
                want[2 * p] = row0[8 * (p / 4) + p % 4];
                want[2 * p + 1] = row0[8 * (p / 4) + 4 + p % 4];
            }
            EXPECT_TRUE(std::equal(want.begin(), want.end(), back.begin() + offset));
            // Split arrays.
            std::vector<float> re = seeded(rows * stride + 4, 4), im = seeded(rows * stride + 4, 5);
            std::vector<float> re2(re.size(), 0.0f), im2(im.size(), 0.0f);
            l.gatherSplit(re.data() + offset, im.data(), w, stride, rows, cols);
            l.scatterSplit(re2.data() + offset, im2.data(), w, stride, rows, cols);
            for (int r = 0; r < rows; ++r)
                for (int k = 0; k < cols; ++k) {
                    ASSERT_EQ(re2[offset + r * stride + k], re[offset + r * stride + k]);
                    ASSERT_EQ(im2[r * stride + k], im[r * stride + k]);
                }
        }
    });
}

// One level at depth 1 on one bit-reversed block: a copy of the first large
// record whose depth-1 column table is its depth-0 table runs the same
// sub-transforms and column passes as depth 0, and only the scatter differs
// (grouped rather than interleaved).
TEST(LargeFft, DepthOneLevelGivesTheGroupedDepthZeroResult) {
    using Level = void (*)(const SpFftSpec*, float*, int, int, uint8_t*);
    const Level levels[3][2] = {{spFftFwdRecursive_Sse3, spFftInvRecursive_Sse3},
                                {spFftFwdRecursive_Ssse3, spFftInvRecursive_Ssse3},
                                {spFftFwdRecursive_Sse41, spFftInvRecursive_Sse41}};
    forEachLarge([&](const Large& l) {
        const int log2n = l.firstLarge;
        const uint32_t n = uint32_t{1} << log2n;
        const Record rec(l.build, log2n, SP_FFT_DIV_FWD_BY_N);
        SpFftSpec copy = *rec.spec;
        copy.columnTwiddles[1] = rec.spec->columnTwiddles[0];
        const std::vector<float> x = seeded(2 * size_t{n}, 600 + log2n);
        std::vector<float> reversed(x.size());
        for (uint32_t k = 0; k < n; ++k) {
            const uint32_t r = sptest::revBits(k, log2n);
            reversed[2 * r] = x[2 * k];
            reversed[2 * r + 1] = x[2 * k + 1];
        }
        for (int dir = 0; dir < 2; ++dir) {
            const Level level = levels[l.build - 1][dir];
            sptest::PoisonedWork work0(static_cast<size_t>(rec.spec->workSize));
            sptest::PoisonedWork work1(static_cast<size_t>(rec.spec->workSize));
            std::vector<float> depth0(reversed), depth1(reversed);
            level(rec.spec, depth0.data(), log2n, 0, work0.data());
            level(&copy, depth1.data(), log2n, 1, work1.data());
            EXPECT_TRUE(sameBits(depth1, sptest::toGrouped(depth0))) << "direction " << dir;
            // Depth 0 is the driver's last step: the same bits as the whole transform.
            EXPECT_TRUE(sameBits(depth0, drive(dir == 0 ? l.fwd : l.inv, rec.spec, x, log2n, false)))
                << "direction " << dir;
        }
    });
}

// The drivers' input copy in pieces: with a 64-byte limit the whole copy
// is exact and nothing around it is written.
TEST(LargeFft, ChunkedInputCopyIsExact) {
    forEachLarge([&](const Large& l) {
        for (int64_t bytes : {int64_t{64}, int64_t{65}, int64_t{1000}, int64_t{4096 + 13}}) {
            std::vector<uint8_t> src(bytes), dst(bytes + 32, 0xEE);
            for (int64_t i = 0; i < bytes; ++i) src[i] = static_cast<uint8_t>(i * 13 + 1);
            l.copyChunked(src.data(), dst.data() + 16, bytes, 64);
            EXPECT_EQ(std::memcmp(dst.data() + 16, src.data(), bytes), 0) << bytes;
            for (int i = 0; i < 16; ++i) {
                EXPECT_EQ(dst[i], 0xEE);
                EXPECT_EQ(dst[16 + bytes + i], 0xEE);
            }
        }
    });
}

// The public complex forward reaches every build's body and the large
// driver under its index.
TEST(LargeFft, PublicEntryUnderEachIndex) {
    SP_REQUIRE_FFTW();
    for (int order : {10, 18}) {
        const std::vector<float> x = seeded(2 * (size_t{1} << order), 31 + order);
        const std::vector<double> ref = sptest::fftwComplexForward(sptest::toDouble(x));
        const double bound =
            std::max(1.5e-7 * order, 4.0 * sptest::relativeRmsError(sptest::fftwfComplexForward(x), ref));
        sptest::forEachBuild(spEntryTableB.spComplexFftForward, [&](int build) {
            SpFftSpec* spec = nullptr;
            ASSERT_EQ(spComplexFftCreate(&spec, order, SP_FFT_DIV_INV_BY_N, 0), SP_STS_OK);
            std::vector<float> out(x.size());
            ASSERT_EQ(spComplexFftForward(x.data(), out.data(), spec, nullptr), SP_STS_OK);
            EXPECT_LE(sptest::relativeRmsError(out, ref), bound) << build << " order " << order;
            spComplexFftDestroy(spec);
        });
    }
}
#endif

}  // namespace

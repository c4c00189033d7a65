// Real-FFT entry bodies of the three CPU builds: the small kernels' generic
// bits, the statuses and work buffers, accuracy against FFTW on every path
// (the large orders through the test-side driver stand-in), exact impulse
// and constant, and the in-place and three-operand packed products.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "primitives/convert/sp_alloc.h"
#include "primitives/fft/sp_fft_cpu.h"
#include "primitives/fft/sp_fft_gen.h"
#include "primitives/fft_simd/sp_fft_simd.h"
#include "primitives/vector/entry_table_b.h"
#include "sim/pool.h"
#include "tests/fakes/primitives/large_dft_stand_in.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/fftw_ref.h"

namespace {

using Transform = SpStatus (*)(const float*, float*, const SpFftSpec*, uint8_t*);

struct Build {
    int build;
    int directLimit;  // largest complex order the kernels take whole
    Transform forward, inverse;
    SpStatus (*forwardInPlace)(float*, const SpFftSpec*, uint8_t*);
    SpStatus (*productInPlace)(const float*, float*, int);
    SpStatus (*product)(const float*, const float*, float*, int);
};

const Build kBuilds[] = {
    {1, 16, spRealFftForwardOutOfPlace_Sse3, spRealFftInverseOutOfPlace_Sse3, spRealFftForward_Sse3,
     spMulPackedSpectraF32InPlace_Sse3, spMulPackedSpectraF32_Sse3},
    {2, 17, spRealFftForwardOutOfPlace_Ssse3, spRealFftInverseOutOfPlace_Ssse3, spRealFftForward_Ssse3,
     spMulPackedSpectraF32InPlace_Ssse3, spMulPackedSpectraF32_Ssse3},
    {3, 17, spRealFftForwardOutOfPlace_Sse41, spRealFftInverseOutOfPlace_Sse41, spRealFftForward_Sse41,
     spMulPackedSpectraF32InPlace_Sse41, spMulPackedSpectraF32_Sse41},
};

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
    Record(int build, bool real, int order, int flag) {
        sptest::ScopedDispatchIndex index(build);
        EXPECT_EQ(real ? spRealFftCreate(&spec, order, flag, 0) : spComplexFftCreate(&spec, order, flag, 0),
                  SP_STS_OK);
    }
    ~Record() { spec->id == SP_CTX_COMPLEX_FFT ? spComplexFftDestroy(spec) : spRealFftDestroy(spec); }
};

class RealFft : public ::testing::Test {
protected:
    void SetUp() override { live_ = sim::PoolLiveBlocks(SP_POOL_TAG); }
    void TearDown() override {
        sim::PoolClearFailures();
        EXPECT_EQ(sim::PoolLiveBlocks(SP_POOL_TAG), live_) << sim::PoolLeakReport();
    }
    template <typename Fn>
    void forEachBuild(Fn&& fn) {
        for (const Build& b : kBuilds) {
            if (!sptest::cpuHasBuild(b.build)) {
                std::printf("[ note     ] %s: not supported by this CPU, skipped\n", sptest::buildName(b.build));
                continue;
            }
            SCOPED_TRACE(sptest::buildName(b.build));
            fn(b);
        }
    }
    int64_t live_ = 0;
};

// ---- Small kernels -------------------------------------------------------------

TEST_F(RealFft, SmallKernelRowsGiveTheGenericBits) {
    const std::vector<float> x = seeded(8, 5);
    for (int row = 4; row < SP_REAL_FFT_SMALL_ROWS; ++row) {
        if (!sptest::cpuHasBuild(row / 4)) continue;
        const bool scaled = (row & 1) != 0;
        for (int order = 0; order <= 3; ++order) {
            const SpFftSmallKernel& k = SP_REAL_FFT_SMALL_KERNELS[row][order];
            const SpFftSmallKernel& g = SP_REAL_FFT_SMALL_KERNELS[row % 4][order];
            const size_t n = size_t{1} << order;
            std::vector<float> want(n), got(n), inPlace(x.begin(), x.begin() + n);
            scaled ? g.scaled(x.data(), want.data(), 0.3f) : g.plain(x.data(), want.data());
            scaled ? k.scaled(x.data(), got.data(), 0.3f) : k.plain(x.data(), got.data());
            scaled ? k.scaled(inPlace.data(), inPlace.data(), 0.3f) : k.plain(inPlace.data(), inPlace.data());
            EXPECT_TRUE(sameBits(got, want)) << "row " << row << " order " << order;
            EXPECT_TRUE(sameBits(inPlace, want)) << "row " << row << " order " << order << " in place";
        }
    }
}

TEST_F(RealFft, OrderTwoExamples) {
    forEachBuild([&](const Build& b) {
        const std::vector<float> x = {1, 2, 3, 4};
        std::vector<float> y(4), z(4);
        const Record plain(b.build, true, 2, SP_FFT_NODIV_BY_ANY), scaled(b.build, true, 2, SP_FFT_DIV_INV_BY_N);
        ASSERT_EQ(b.forward(x.data(), y.data(), plain.spec, nullptr), SP_STS_OK);
        EXPECT_EQ(y, (std::vector<float>{10, -2, -2, 2}));
        ASSERT_EQ(b.inverse(y.data(), z.data(), plain.spec, nullptr), SP_STS_OK);
        EXPECT_EQ(z, (std::vector<float>{4, 8, 12, 16}));
        ASSERT_EQ(b.inverse(y.data(), z.data(), scaled.spec, nullptr), SP_STS_OK);
        EXPECT_EQ(z, x);
        const Record one(b.build, true, 1, SP_FFT_NODIV_BY_ANY);
        const std::vector<float> pair = {3, 5};
        ASSERT_EQ(b.forward(pair.data(), y.data(), one.spec, nullptr), SP_STS_OK);
        EXPECT_EQ(y[0], 8.0f);
        EXPECT_EQ(y[1], -2.0f);
    });
}

// ---- Statuses and work buffers ----------------------------------------------------

TEST_F(RealFft, StatusesInOrderAndWorkBuffers) {
    forEachBuild([&](const Build& b) {
        const Record rec(b.build, true, 8, SP_FFT_DIV_INV_BY_N), complex(b.build, false, 8, SP_FFT_DIV_INV_BY_N);
        std::vector<float> src = seeded(256, 2), dst(256, 7.0f);
        for (Transform t : {b.forward, b.inverse}) {
            EXPECT_EQ(t(nullptr, nullptr, nullptr, nullptr), SP_STS_NULL_PTR);
            EXPECT_EQ(t(nullptr, nullptr, complex.spec, nullptr), SP_STS_CONTEXT_MISMATCH);
            EXPECT_EQ(t(nullptr, dst.data(), rec.spec, nullptr), SP_STS_NULL_PTR);
            EXPECT_EQ(t(src.data(), nullptr, rec.spec, nullptr), SP_STS_NULL_PTR);
            sim::PoolFailNth(1);
            EXPECT_EQ(t(src.data(), dst.data(), rec.spec, nullptr), SP_STS_MEM_ALLOC);
            sim::PoolClearFailures();
            EXPECT_EQ(dst, std::vector<float>(256, 7.0f));
            sim::PoolResetCounters();
            std::vector<float> out(256);
            EXPECT_EQ(t(src.data(), out.data(), rec.spec, nullptr), SP_STS_OK);
            EXPECT_EQ(sim::PoolAllocationAttempts(), 1u);
            std::vector<uint8_t> work(rec.spec->workSize + 32);
            sim::PoolResetCounters();
            EXPECT_EQ(t(src.data(), out.data(), rec.spec, work.data() + 5), SP_STS_OK);
            EXPECT_EQ(sim::PoolAllocationAttempts(), 0u);
        }
    });
}

// ---- Accuracy ------------------------------------------------------------------------

std::vector<float> run(Transform t, const SpFftSpec* spec, const std::vector<float>& in, bool inPlace, bool work) {
    std::vector<float> src(in), dst(in.size() + 8, -99.0f);
    std::vector<uint8_t> buffer(spec->workSize > 0 ? spec->workSize + 32 : 1);
    float* out = inPlace ? src.data() : dst.data() + 4;
    EXPECT_EQ(t(src.data(), out, spec, work ? buffer.data() + 7 : nullptr), SP_STS_OK);
    if (!inPlace) {
        for (int i = 0; i < 4; ++i) EXPECT_EQ(dst[i], -99.0f);
        for (size_t i = 4 + in.size(); i < dst.size(); ++i) EXPECT_EQ(dst[i], -99.0f);
    }
    return std::vector<float>(out, out + in.size());
}

std::vector<double> scaled(std::vector<double> v, bool on, float scale) {
    if (on)
        for (double& x : v) x *= static_cast<double>(scale);
    return v;
}

std::vector<float> scaledF(std::vector<float> v, bool on, float scale) {
    if (on)
        for (float& x : v) x *= scale;
    return v;
}

// Orders 0 to two past the build's fused path (so past the separate
// permutation and into the large driver), every flag, placement and work
// buffer: forward, inverse and the round trip within the bound; in place
// gives the bits of out of place.
TEST_F(RealFft, EveryPathMatchesFftw) {
    SP_REQUIRE_FFTW();
    forEachBuild([&](const Build& b) {
        sptest::ScopedLargeDftStandIn driver(b.build);
        for (int order = 0; order <= b.directLimit + 2; ++order) {
            const std::vector<float> x = seeded(size_t{1} << order, 70 + order);
            for (int flag : {SP_FFT_DIV_FWD_BY_N, SP_FFT_DIV_INV_BY_N, SP_FFT_DIV_BY_SQRTN, SP_FFT_NODIV_BY_ANY}) {
                const Record rec(b.build, true, order, flag);
                const SpFftSpec* s = rec.spec;
                const std::vector<double> ref = scaled(sptest::fftwRealForward(sptest::toDouble(x)), s->scaleFwd, s->scale);
                const double bound = std::max(
                    1.5e-7 * std::max(order, 1),
                    4.0 * sptest::relativeRmsError(scaledF(sptest::fftwfRealForward(x), s->scaleFwd, s->scale), ref));
                const std::vector<float> X = run(b.forward, s, x, false, true);
                EXPECT_LE(sptest::relativeRmsError(X, ref), bound) << "forward order " << order << " flag " << flag;
                const std::vector<double> refInv =
                    scaled(sptest::fftwRealInverse(sptest::toDouble(X)), s->scaleInv, s->scale);
                const double boundInv = std::max(
                    1.5e-7 * std::max(order, 1),
                    4.0 * sptest::relativeRmsError(scaledF(sptest::fftwfRealInverse(X), s->scaleInv, s->scale),
                                                   refInv));
                const std::vector<float> back = run(b.inverse, s, X, false, false);
                EXPECT_LE(sptest::relativeRmsError(back, refInv), boundInv) << "inverse order " << order;
                if (flag == SP_FFT_DIV_INV_BY_N) {
                    EXPECT_LE(sptest::relativeRmsError(back, sptest::toDouble(x)), 2 * bound) << "round trip " << order;
                }
                if (order > b.directLimit + 1) continue;  // the stand-in's bits are its own
                EXPECT_TRUE(sameBits(run(b.forward, s, x, true, false), X)) << "in place forward " << order;
                EXPECT_TRUE(sameBits(run(b.inverse, s, X, true, true), back)) << "in place inverse " << order;
            }
        }
    });
}

TEST_F(RealFft, ImpulseGivesOnesAndConstantItsSum) {
    forEachBuild([&](const Build& b) {
        for (int order = 0; order <= b.directLimit + 1; ++order) {
            const size_t N = size_t{1} << order;
            const Record rec(b.build, true, order, SP_FFT_NODIV_BY_ANY);
            std::vector<float> impulse(N, 0.0f), constant(N, 0.75f);
            impulse[0] = 1.0f;
            const std::vector<float> ones = run(b.forward, rec.spec, impulse, false, true);
            const std::vector<float> peak = run(b.forward, rec.spec, constant, true, true);
            for (size_t k = 0; k < N; ++k) {
                // Packed: X0, X(N/2), then (Re, Im) of bins 1 .. N/2 - 1.
                const float wantOne = (k < 2 || k % 2 == 0) ? 1.0f : 0.0f;
                ASSERT_EQ(ones[k], N == 1 && k == 0 ? 1.0f : wantOne) << order << " " << k;
                ASSERT_EQ(peak[k], k == 0 ? 0.75f * N : 0.0f) << order << " " << k;
            }
        }
    });
}

// ---- Packed products ---------------------------------------------------------

TEST_F(RealFft, PackedProductsGiveTheGenericBits) {
    forEachBuild([&](const Build& b) {
        for (int len : {1, 2, 3, 1023, 1024}) {
            const std::vector<float> a = seeded(len, 11 + len), c = seeded(len, 12 + len);
            std::vector<float> want(len), got(len), inPlace(c), aliased(a);
            ASSERT_EQ(spMulPackedSpectraF32_Gen(a.data(), c.data(), want.data(), len), SP_STS_OK);
            ASSERT_EQ(b.product(a.data(), c.data(), got.data(), len), SP_STS_OK);
            EXPECT_TRUE(sameBits(got, want)) << len;
            ASSERT_EQ(b.product(aliased.data(), c.data(), aliased.data(), len), SP_STS_OK);
            EXPECT_TRUE(sameBits(aliased, want)) << len;
            ASSERT_EQ(b.productInPlace(a.data(), inPlace.data(), len), SP_STS_OK);
            EXPECT_TRUE(sameBits(inPlace, want)) << len;
        }
        std::vector<float> v(4, 1.0f), untouched(4, 1.0f);
        EXPECT_EQ(b.productInPlace(nullptr, v.data(), 4), SP_STS_NULL_PTR);
        EXPECT_EQ(b.productInPlace(v.data(), nullptr, 0), SP_STS_NULL_PTR);
        EXPECT_EQ(b.productInPlace(v.data(), v.data(), 0), SP_STS_SIZE);
        EXPECT_EQ(b.product(v.data(), v.data(), nullptr, 4), SP_STS_NULL_PTR);
        EXPECT_EQ(b.product(v.data(), v.data(), v.data(), -1), SP_STS_SIZE);
        EXPECT_EQ(v, untouched);
    });
}

// The product row of the entry table runs each build's body.
TEST_F(RealFft, PackedProductEntryRunsEveryBuild) {
    const std::vector<float> a = seeded(64, 1), c = seeded(64, 2);
    std::vector<float> want(64);
    ASSERT_EQ(spMulPackedSpectraF32_Gen(a.data(), c.data(), want.data(), 64), SP_STS_OK);
    sptest::forEachBuild(spEntryTableB.spMulPackedSpectraF32, [&](int) {
        std::vector<float> got(64);
        ASSERT_EQ(spMulPackedSpectraF32(a.data(), c.data(), got.data(), 64), SP_STS_OK);
        EXPECT_TRUE(sameBits(got, want));
    });
}

}  // namespace

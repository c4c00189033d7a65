// The complex forward transform of the three CPU builds on records made
// through the public create entry under the build's dispatch index:
// statuses, work buffers, accuracy against FFTW on every path, exact
// impulse and constant, and the large driver above the direct limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "primitives/convert/not_built.h"
#include "primitives/convert/sp_alloc.h"
#include "primitives/fft/sp_fft_cpu.h"
#include "primitives/fft/sp_fft_gen.h"
#include "primitives/vector/entry_table_b.h"
#include "sim/pool.h"
#include "tests/fakes/primitives/large_dft_stand_in.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/fftw_ref.h"

namespace {

using Forward = SpStatus (*)(const float*, float*, const SpFftSpec*, uint8_t*);

struct Build {
    int build;
    int directLimit;
    Forward forward;
};

const Build kBuilds[] = {{1, 16, spComplexFftForward_Sse3},
                         {2, 17, spComplexFftForward_Ssse3},
                         {3, 17, spComplexFftForward_Sse41}};

std::vector<float> seeded(size_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(count);
    for (float& x : v) x = dist(rng);
    return v;
}

// A record of the build's own layout, through spRealFftCreate or
// spComplexFftCreate under the build's dispatch index.
struct Record {
    SpFftSpec* spec = nullptr;
    bool real;
    Record(int build, bool realFft, int order, int flag) : real(realFft) {
        sptest::ScopedDispatchIndex index(build);
        const SpStatus st = real ? spRealFftCreate(&spec, order, flag, 0) : spComplexFftCreate(&spec, order, flag, 0);
        EXPECT_EQ(st, SP_STS_OK);
    }
    ~Record() { real ? spRealFftDestroy(spec) : spComplexFftDestroy(spec); }
};

class ComplexForward : public ::testing::Test {
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

TEST_F(ComplexForward, StatusesInOrderAndWorkBuffers) {
    forEachBuild([&](const Build& b) {
        const Record rec(b.build, false, 6, SP_FFT_DIV_INV_BY_N), real(b.build, true, 6, SP_FFT_DIV_INV_BY_N);
        std::vector<float> src = seeded(128, 1), dst(128, 7.0f);
        EXPECT_EQ(b.forward(nullptr, nullptr, nullptr, nullptr), SP_STS_NULL_PTR);
        EXPECT_EQ(b.forward(nullptr, nullptr, real.spec, nullptr), SP_STS_CONTEXT_MISMATCH);
        EXPECT_EQ(b.forward(nullptr, dst.data(), rec.spec, nullptr), SP_STS_NULL_PTR);
        EXPECT_EQ(b.forward(src.data(), nullptr, rec.spec, nullptr), SP_STS_NULL_PTR);
        sim::PoolFailNth(1);
        EXPECT_EQ(b.forward(src.data(), dst.data(), rec.spec, nullptr), SP_STS_MEM_ALLOC);
        sim::PoolClearFailures();
        EXPECT_EQ(dst, std::vector<float>(128, 7.0f));
        // Without a buffer one block of workSize for the call; with one, none.
        sim::PoolResetCounters();
        EXPECT_EQ(b.forward(src.data(), dst.data(), rec.spec, nullptr), SP_STS_OK);
        EXPECT_EQ(sim::PoolAllocationAttempts(), 1u);
        std::vector<uint8_t> work(rec.spec->workSize + 32);
        sim::PoolResetCounters();
        EXPECT_EQ(b.forward(src.data(), dst.data(), rec.spec, work.data() + 3), SP_STS_OK);
        EXPECT_EQ(sim::PoolAllocationAttempts(), 0u);
    });
}

// The forward transform of x as the record scales it, in double.
std::vector<double> reference(const SpFftSpec* spec, const std::vector<float>& x) {
    std::vector<double> ref = sptest::fftwComplexForward(sptest::toDouble(x));
    if (spec->scaleFwd == 1)
        for (double& v : ref) v *= static_cast<double>(spec->scale);
    return ref;
}

std::vector<float> peer(const SpFftSpec* spec, const std::vector<float>& x) {
    std::vector<float> out = sptest::fftwfComplexForward(x);
    if (spec->scaleFwd == 1)
        for (float& v : out) v *= spec->scale;
    return out;
}

// One transform in place or out of place, at float offset `offset` (2: not
// 16-byte aligned), with a caller work buffer or none; canaries around dst.
std::vector<float> run(const Build& b, const SpFftSpec* spec, const std::vector<float>& x, bool inPlace,
                       size_t offset, bool workGiven) {
    constexpr float kCanary = -12345.0f;
    std::vector<float> src(x.size() + 16, kCanary), dst(x.size() + 16, kCanary);
    std::copy(x.begin(), x.end(), src.begin() + 4 + offset);
    float* in = src.data() + 4 + offset;
    float* out = inPlace ? in : dst.data() + 4 + offset;
    std::vector<uint8_t> work(spec->workSize > 0 ? spec->workSize + 32 : 1);
    EXPECT_EQ(b.forward(in, out, spec, workGiven ? work.data() + 1 : nullptr), SP_STS_OK);
    const std::vector<float>& buf = inPlace ? src : dst;
    for (size_t i = 0; i < 4 + offset; ++i) EXPECT_EQ(buf[i], kCanary);
    for (size_t i = 4 + offset + x.size(); i < buf.size(); ++i) EXPECT_EQ(buf[i], kCanary);
    return std::vector<float>(out, out + x.size());
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), 4 * a.size()) == 0;
}

// Orders 0 to the direct limit: the small kernels, the fused kernel and the
// separate permutation, every flag, placement, alignment and work buffer.
TEST_F(ComplexForward, DirectPathsMatchFftw) {
    SP_REQUIRE_FFTW();
    forEachBuild([&](const Build& b) {
        for (int order = 0; order <= b.directLimit; ++order) {
            for (int flag : {SP_FFT_DIV_FWD_BY_N, SP_FFT_DIV_INV_BY_N, SP_FFT_DIV_BY_SQRTN, SP_FFT_NODIV_BY_ANY}) {
                const Record rec(b.build, false, order, flag);
                const std::vector<float> x = seeded(2 * (size_t{1} << order), 40 + order);
                const std::vector<double> ref = reference(rec.spec, x);
                const double bound =
                    std::max(1.5e-7 * order, 4.0 * sptest::relativeRmsError(peer(rec.spec, x), ref));
                const std::vector<float> first = run(b, rec.spec, x, false, 0, true);
                EXPECT_LE(sptest::relativeRmsError(first, ref), bound) << "order " << order << " flag " << flag;
                if (order <= 3) {
                    // The small kernels give the generic bits.
                    SpFftSpec* gen = nullptr;
                    ASSERT_EQ(spComplexFftCreate_Gen(&gen, order, flag, 0), SP_STS_OK);
                    std::vector<float> g(x.size());
                    ASSERT_EQ(spComplexFftForward_Gen(x.data(), g.data(), gen, nullptr), SP_STS_OK);
                    spComplexFftDestroy_Gen(gen);
                    EXPECT_TRUE(sameBits(first, g)) << "order " << order;
                }
                // Placement, alignment and work buffer change no bit (the
                // scaled flag covers the scaling step as well).
                if (flag != SP_FFT_DIV_FWD_BY_N) continue;
                for (bool inPlace : {false, true})
                    for (size_t offset : {size_t{0}, size_t{2}})
                        for (bool workGiven : {false, true})
                            EXPECT_TRUE(sameBits(run(b, rec.spec, x, inPlace, offset, workGiven), first))
                                << "order " << order << " in place " << inPlace << " offset " << offset;
            }
        }
    });
}

TEST_F(ComplexForward, ImpulseGivesOnesAndConstantItsSum) {
    forEachBuild([&](const Build& b) {
        for (int order = 0; order <= b.directLimit; ++order) {
            const size_t n = size_t{1} << order;
            const Record rec(b.build, false, order, SP_FFT_DIV_INV_BY_N);
            std::vector<float> impulse(2 * n, 0.0f), constant(2 * n);
            impulse[0] = 1.0f;
            for (size_t i = 0; i < n; ++i) {
                constant[2 * i] = 0.5f;
                constant[2 * i + 1] = -1.25f;
            }
            const std::vector<float> ones = run(b, rec.spec, impulse, false, 0, true);
            const std::vector<float> peak = run(b, rec.spec, constant, true, 0, true);
            for (size_t k = 0; k < n; ++k) {
                ASSERT_EQ(ones[2 * k], 1.0f) << order;
                ASSERT_EQ(ones[2 * k + 1], 0.0f) << order;
                ASSERT_EQ(peak[2 * k], k == 0 ? 0.5f * n : 0.0f) << order << " " << k;
                ASSERT_EQ(peak[2 * k + 1], k == 0 ? -1.25f * n : 0.0f) << order << " " << k;
            }
        }
    });
}

// Above the direct limit the body hands the transform, scaling included, to
// the build's large driver (the stand-in here); without one it answers
// NOT_BUILT after its checks, allocating and writing nothing.
TEST_F(ComplexForward, LargeOrdersGoToTheLargeDriver) {
    SP_REQUIRE_FFTW();
    forEachBuild([&](const Build& b) {
        for (int order = b.directLimit + 1; order <= 20; ++order) {
            const Record rec(b.build, false, order, SP_FFT_DIV_FWD_BY_N);
            const std::vector<float> x = seeded(2 * (size_t{1} << order), 60 + order);
            std::vector<float> dst(x.size(), 3.0f);
            sim::PoolResetCounters();
            EXPECT_EQ(b.forward(x.data(), dst.data(), rec.spec, nullptr), SP_STS_NOT_BUILT);
            EXPECT_EQ(sim::PoolAllocationAttempts(), 0u);
            EXPECT_EQ(dst, std::vector<float>(x.size(), 3.0f));
            sptest::ScopedLargeDftStandIn driver(b.build);
            const uint64_t before = sptest::ScopedLargeDftStandIn::calls();
            const std::vector<double> ref = reference(rec.spec, x);
            const double bound = std::max(1.5e-7 * order, 4.0 * sptest::relativeRmsError(peer(rec.spec, x), ref));
            EXPECT_LE(sptest::relativeRmsError(run(b, rec.spec, x, false, 0, false), ref), bound) << order;
            EXPECT_LE(sptest::relativeRmsError(run(b, rec.spec, x, true, 2, true), ref), bound) << order;
            EXPECT_EQ(sptest::ScopedLargeDftStandIn::calls() - before, 2u);
        }
    });
}

}  // namespace

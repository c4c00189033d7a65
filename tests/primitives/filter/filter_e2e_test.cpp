// The effects engine's patterns through the public entries: overlap-save on
// 512-sample blocks with an order-10 spec record and the packed product,
// and the same filter as a 256-tap FIR state, both against a double-precision
// direct convolution; nothing stays allocated. The FIR state runs under
// every build the processor has, and its filter calls allocate nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "primitives/convert/entry_table_a.h"
#include "primitives/convert/sp_alloc.h"
#include "primitives/sp_records.h"
#include "primitives/vector/entry_table_b.h"
#include "sim/pool.h"
#include "tests/primitives/support/dispatch.h"

namespace {

constexpr int kTaps = 256;
constexpr int kBlock = 512;
constexpr int kBlocks = 12;

struct Signal {
    std::vector<float> taps, x;
    double tolerance;
};

Signal makeSignal() {
    std::mt19937 rng(1234);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    Signal s;
    s.taps.resize(kTaps);
    s.x.resize(kBlock * kBlocks);
    double sumH = 0.0;
    for (int k = 0; k < kTaps; ++k) {
        s.taps[k] = u(rng) * std::exp(-k / 60.0f);  // a decaying response, like a head filter
        sumH += std::fabs(s.taps[k]);
    }
    for (float& v : s.x) v = u(rng);
    s.tolerance = 2e-6 * sumH;  // inputs are bounded by 1
    return s;
}

double directConvolution(const Signal& s, int n) {
    double y = 0.0;
    for (int k = 0; k < kTaps && k <= n; ++k) y += double(s.taps[k]) * s.x[n - k];
    return y;
}

class EngineE2E : public ::testing::Test {
protected:
    void SetUp() override { live_ = sim::PoolLiveBlocks(SP_POOL_TAG); }
    void TearDown() override { EXPECT_EQ(sim::PoolLiveBlocks(SP_POOL_TAG), live_) << sim::PoolLeakReport(); }
    int64_t live_ = 0;
};

TEST_F(EngineE2E, OverlapSaveWithOrder10TransformsAndPackedProduct) {
    const Signal s = makeSignal();
    SpFftSpec* spec = nullptr;
    ASSERT_EQ(spRealFftCreate(&spec, 10, SP_FFT_DIV_INV_BY_N, 0), SP_STS_OK);
    std::vector<float> response(1024, 0.0f);
    std::copy(s.taps.begin(), s.taps.end(), response.begin());
    ASSERT_EQ(spRealFftForward(response.data(), spec, nullptr), SP_STS_OK);
    std::vector<float> previous(kBlock, 0.0f);
    for (int b = 0; b < kBlocks; ++b) {
        std::vector<float> frame(previous);
        frame.insert(frame.end(), s.x.begin() + b * kBlock, s.x.begin() + (b + 1) * kBlock);
        previous.assign(frame.begin() + kBlock, frame.end());
        std::vector<float> product(1024);
        ASSERT_EQ(spRealFftForward(frame.data(), spec, nullptr), SP_STS_OK);
        ASSERT_EQ(spMulPackedSpectraF32(frame.data(), response.data(), product.data(), 1024), SP_STS_OK);
        ASSERT_EQ(spRealFftInverse(product.data(), spec, nullptr), SP_STS_OK);
        for (int i = 0; i < kBlock; ++i) {
            const int n = b * kBlock + i;
            ASSERT_NEAR(product[kBlock + i], directConvolution(s, n), s.tolerance) << "sample " << n;
        }
    }
    EXPECT_EQ(spRealFftDestroy(spec), SP_STS_OK);
}

TEST_F(EngineE2E, CreatedFirStateOn512SampleBlocks) {
    const Signal s = makeSignal();
    sptest::forEachBuild(spEntryTableB.spFirCreate, [&](int) {
        SpFirState* state = nullptr;
        ASSERT_EQ(spFirCreate(&state, s.taps.data(), kTaps, nullptr), SP_STS_OK);
        ASSERT_EQ(state->fftLen, 1024);
        for (int b = 0; b < kBlocks; ++b) {
            std::vector<float> out(kBlock);
            sim::PoolResetCounters();
            ASSERT_EQ(spFirFilterF32(s.x.data() + b * kBlock, out.data(), kBlock, state), SP_STS_OK);
            ASSERT_EQ(sim::PoolAllocationAttempts(), 0u) << "block " << b << " allocated";
            for (int i = 0; i < kBlock; ++i) {
                const int n = b * kBlock + i;
                ASSERT_NEAR(out[i], directConvolution(s, n), s.tolerance) << "sample " << n;
            }
        }
        EXPECT_EQ(spFirDestroy(state), SP_STS_OK);
    });
}

}  // namespace

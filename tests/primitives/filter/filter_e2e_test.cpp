// The effects engine's patterns through the public entries: overlap-save on
// 512-sample blocks with an order-10 spec record and the packed product,
// and the same filter as a 256-tap FIR state, both against a double-precision
// direct convolution; the integer-ratio rate converter's chain (upsampling,
// an order-3 IIR and the gain; the IIR and downsampling) against the same
// chain in double; nothing stays allocated. The FIR state and the converter
// chain run under every build the processor has, and the FIR state's filter
// calls allocate nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
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

// Under each build's transforms and product, the record made under the same index.
TEST_F(EngineE2E, OverlapSaveWithOrder10TransformsAndPackedProduct) {
    const Signal s = makeSignal();
    sptest::forEachBuild(spEntryTableB.spRealFftForward, [&](int) {
        const int64_t live = sim::PoolLiveBlocks(SP_POOL_TAG);
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
        EXPECT_EQ(sim::PoolLiveBlocks(SP_POOL_TAG), live);
    });
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

// The converter's order-3 low-pass for a factor of 2 (b0..b3, a0..a3).
constexpr float kHalfBandTaps[8] = {0.0638559237f, 0.191567779f, 0.191567779f, 0.0638559237f,
                                    1.0f,          -0.965779722f, 0.582644165f, -0.106017053f};
constexpr int kFactor = 2;

// Transposed direct form II in double on a state's stored coefficients.
std::vector<double> iirDouble(const SpIirState* st, const std::vector<double>& x) {
    const int N = st->order;
    const float* k = st->coeffs;
    std::vector<double> s(N + 1, 0.0), y(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        y[i] = double(k[0]) * x[i] + s[0];
        for (int j = 0; j < N; ++j) s[j] = double(k[j + 1]) * x[i] - double(k[N + 1 + j]) * y[i] + s[j + 1];
    }
    return y;
}

// Up by 2 (phase 0: x, 0, x, 0, ...), low-pass, gain 2; low-pass, down by 2
// (phase 0), on 512-sample blocks with every state carried across blocks.
// Returns the up-path and the down-path outputs, concatenated.
std::vector<float> runConverterChain(const std::vector<float>& x, std::vector<double>* reference) {
    SpIirState* up = nullptr;
    SpIirState* down = nullptr;
    EXPECT_EQ(spIirCreate(&up, kHalfBandTaps, 3, nullptr), SP_STS_OK);
    EXPECT_EQ(spIirCreate(&down, kHalfBandTaps, 3, nullptr), SP_STS_OK);
    if (up == nullptr || down == nullptr) return {};
    sim::PoolResetCounters();
    std::vector<float> upOut, downOut;
    std::vector<float> wide(kBlock * kFactor), filtered(kBlock * kFactor), back(kBlock * kFactor), narrow(kBlock);
    int upPhase = 0, downPhase = 0;
    for (int b = 0; b < kBlocks; ++b) {
        int wideLen = 0, narrowLen = 0;
        EXPECT_EQ(spUpsampleF32(x.data() + b * kBlock, kBlock, wide.data(), &wideLen, kFactor, &upPhase), SP_STS_OK);
        EXPECT_EQ(wideLen, kBlock * kFactor);
        EXPECT_EQ(spIirFilterF32(wide.data(), filtered.data(), wideLen, up), SP_STS_OK);
        EXPECT_EQ(spScaleF32InPlace(float(kFactor), filtered.data(), wideLen), SP_STS_OK);
        upOut.insert(upOut.end(), filtered.begin(), filtered.end());
        EXPECT_EQ(spIirFilterF32(filtered.data(), back.data(), wideLen, down), SP_STS_OK);
        EXPECT_EQ(spDownsampleF32(back.data(), wideLen, narrow.data(), &narrowLen, kFactor, &downPhase), SP_STS_OK);
        EXPECT_EQ(narrowLen, kBlock);
        downOut.insert(downOut.end(), narrow.begin(), narrow.end());
    }
    EXPECT_EQ(sim::PoolAllocationAttempts(), 0u) << "the filter calls allocate nothing";
    if (reference != nullptr) {
        std::vector<double> wideRef(x.size() * kFactor, 0.0);
        for (size_t i = 0; i < x.size(); ++i) wideRef[kFactor * i] = double(x[i]);
        std::vector<double> upRef = iirDouble(up, wideRef);
        for (double& v : upRef) v *= kFactor;
        const std::vector<double> backRef = iirDouble(down, upRef);
        *reference = upRef;
        for (size_t i = 0; i < backRef.size(); i += kFactor) reference->push_back(backRef[i]);
    }
    EXPECT_EQ(spIirDestroy(up), SP_STS_OK);
    EXPECT_EQ(spIirDestroy(down), SP_STS_OK);
    upOut.insert(upOut.end(), downOut.begin(), downOut.end());
    return upOut;
}

// Under each build the chain's error against the double chain stays within
// 4x the generic build's + 1e-7 max|y| (the float IIR bound).
TEST_F(EngineE2E, IntegerRatioConverterChainMatchesTheGenericBuild) {
    const Signal s = makeSignal();
    std::vector<double> reference;
    std::vector<float> generic;
    {
        sptest::ScopedDispatchIndex index(0);
        generic = runConverterChain(s.x, &reference);
    }
    ASSERT_EQ(generic.size(), reference.size());
    double errGen = 0.0, peak = 0.0;
    for (size_t i = 0; i < reference.size(); ++i) {
        errGen = std::max(errGen, std::fabs(double(generic[i]) - reference[i]));
        peak = std::max(peak, std::fabs(reference[i]));
    }
    sptest::forEachBuild(spEntryTableB.spIirCreate, [&](int) {
        const std::vector<float> y = runConverterChain(s.x, nullptr);
        ASSERT_EQ(y.size(), reference.size());
        double err = 0.0;
        for (size_t i = 0; i < y.size(); ++i) err = std::max(err, std::fabs(double(y[i]) - reference[i]));
        EXPECT_LE(err, 4 * errGen + 1e-7 * peak);
        std::printf("[ measured ] converter chain: max error / max|y| %.3g (generic %.3g)\n", err / peak,
                    errGen / peak);
    });
}

}  // namespace

// Single-rate FIR states: sizes, outputs against scipy's lfilter (history
// prepended), block splits, check order and the pool use of spFirCreate.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "primitives/convert/entry_table_a.h"
#include "primitives/convert/sp_alloc.h"
#include "primitives/filter/sp_filter_gen.h"
#include "primitives/vector/entry_table_b.h"
#include "sim/pool.h"
#include "tests/primitives/support/scipy_ref.h"
#include "tests/primitives/support/sp_buffer.h"

namespace sptest {
namespace {

std::vector<float> toFloat(const std::vector<double>& v) { return std::vector<float>(v.begin(), v.end()); }

// A state built by spFirInit in a vector sized by spFirStateSize, at an
// odd offset so that the builder's alignment is exercised.
struct InitState {
    std::vector<uint8_t> buffer;
    SpFirState* state = nullptr;
    InitState(const std::vector<float>& taps, const float* dly) {
        int size = 0;
        EXPECT_EQ(spFirStateSize(static_cast<int>(taps.size()), &size), SP_STS_OK);
        buffer.assign(static_cast<size_t>(size) + 3, 0xCC);
        EXPECT_EQ(spFirInit(&state, taps.data(), static_cast<int>(taps.size()), dly, buffer.data() + 3),
                  SP_STS_OK);
    }
};

TEST(FirSizes, WorkedValues) {
    const struct {
        int taps, size;
    } rows[] = {{20, 16912}, {24, 16976}, {63, 17616}, {64, 22096}, {101, 22704}};
    for (const auto& r : rows) {
        int size = 0;
        ASSERT_EQ(spFirStateSize(r.taps, &size), SP_STS_OK);
        EXPECT_EQ(size, r.size) << r.taps << " taps";
    }
}

TEST(FirSizes, TapCountsWhoseSizeDoesNotFitAreRefused) {
    int size = 0;
    EXPECT_EQ(spFirStateSize((1 << 25) + 1, &size), SP_STS_FIR_LEN);  // order-27 FFT: > 2^31 bytes
    EXPECT_EQ(spFirStateSize(1 << 27, &size), SP_STS_FIR_LEN);
    EXPECT_EQ(spFirStateSize(0x7FFFFFFF, &size), SP_STS_FIR_LEN);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(spFirStateSize(1 << 26, &size), SP_STS_OK);  // beyond the FFT: direct path only
    EXPECT_EQ(size, (1 << 26) * 16 + 16592);
    float tap = 1.0f;
    SpFirState* state = reinterpret_cast<SpFirState*>(uintptr_t{0x40});
    uint8_t buf[64];
    EXPECT_EQ(spFirInit(&state, &tap, 1 << 27, nullptr, buf), SP_STS_FIR_LEN);
    EXPECT_EQ(spFirCreate(&state, &tap, 1 << 27, nullptr), SP_STS_FIR_LEN);
    EXPECT_EQ(state, reinterpret_cast<SpFirState*>(uintptr_t{0x40}));
}

// ---- Outputs against lfilter -------------------------------------------------

struct OutputCase {
    int taps;
    int numIters;
    bool withDelay;
};

std::vector<OutputCase> outputCases() {
    std::vector<OutputCase> cases;
    for (int L : {1, 20, 63, 64, 101, 256, 1000}) {
        const int stageLen = ((L + 3) & ~3) + 1;
        std::vector<int> lengths = {1, stageLen, stageLen + 1, 511, 512, 4096};
        if (L >= 64) {
            int order = 1;
            while (L >= (1 << order)) ++order;
            const int B = (1 << (order + 1)) - L + 1;
            lengths.push_back(B);
            lengths.push_back(B + 1);
        }
        for (int n : lengths)
            for (bool dly : {true, false}) cases.push_back({L, n, dly});
    }
    return cases;
}

class FirOutputs : public ::testing::TestWithParam<OutputCase> {};

// Tolerance relative to the largest possible output, sum |h| max |x|.
double tolerance(const std::vector<float>& taps, const std::vector<float>& x, const std::vector<float>& d) {
    double sumH = 0.0, maxX = 0.0;
    for (float h : taps) sumH += std::fabs(h);
    for (float v : x) maxX = std::max(maxX, double(std::fabs(v)));
    for (float v : d) maxX = std::max(maxX, double(std::fabs(v)));
    return 2e-6 * sumH * maxX;
}

TEST_P(FirOutputs, MatchLfilter) {
    SP_REQUIRE_SCIPY("fir_cases.py");
    const OutputCase& c = GetParam();
    RefArrays ref = readRefArrays("fir_cases.bin");
    const std::string L = std::to_string(c.taps);
    const std::vector<float> taps = toFloat(ref["taps" + L]);
    const std::vector<float> d = toFloat(ref["dly" + L]);
    const std::vector<float> x = toFloat(ref["x" + L]);
    const std::vector<double>& y = ref[(c.withDelay ? "ydly" : "yzero") + L];
    ASSERT_EQ(y.size(), 4096u);
    InitState s(taps, c.withDelay ? d.data() : nullptr);
    const std::vector<float> src(x.begin(), x.begin() + c.numIters);  // exact size: overreads fault
    SpBuffer<float> dst(c.numIters);
    ASSERT_EQ(spFirFilterF32(src.data(), dst.data(), c.numIters, s.state), SP_STS_OK);
    EXPECT_TRUE(dst.checkCanaries());
    const double tol = tolerance(taps, x, d);
    for (int n = 0; n < c.numIters; ++n) ASSERT_NEAR(dst.get(n), y[n], tol) << "output " << n;
}

INSTANTIATE_TEST_SUITE_P(Table, FirOutputs, ::testing::ValuesIn(outputCases()), [](const auto& info) {
    return "L" + std::to_string(info.param.taps) + "_n" + std::to_string(info.param.numIters) +
           (info.param.withDelay ? "_dly" : "_zero");
});

// A block split into two calls continues the same signal: bit for bit when
// both calls and the single call take the direct path.
TEST(FirSplits, TwoCallsEqualOneCall) {
    SP_REQUIRE_SCIPY("fir_cases.py");
    RefArrays ref = readRefArrays("fir_cases.bin");
    std::mt19937 rng(31);
    for (int L : {20, 101, 256, 1000}) {
        const std::string name = std::to_string(L);
        const std::vector<float> taps = toFloat(ref["taps" + name]);
        const std::vector<float> d = toFloat(ref["dly" + name]);
        const std::vector<float> x = toFloat(ref["x" + name]);
        for (int trial = 0; trial < 12; ++trial) {
            const int total = trial < 6 ? 1 + static_cast<int>(rng() % 511) : 512 + static_cast<int>(rng() % 3584);
            const int first = 1 + static_cast<int>(rng() % total);
            InitState whole(taps, d.data());
            InitState split(taps, d.data());
            std::vector<float> a(total), b(total);
            ASSERT_EQ(spFirFilterF32(x.data(), a.data(), total, whole.state), SP_STS_OK);
            ASSERT_EQ(spFirFilterF32(x.data(), b.data(), first, split.state), SP_STS_OK);
            if (first < total) {
                ASSERT_EQ(spFirFilterF32(x.data() + first, b.data() + first, total - first, split.state), SP_STS_OK);
            }
            const bool allDirect = L < 64 || total < 512;
            for (int n = 0; n < total; ++n) {
                if (allDirect) {
                    ASSERT_EQ(b[n], a[n]) << "L " << L << " split " << first << "/" << total << " at " << n;
                } else {
                    ASSERT_NEAR(b[n], a[n], tolerance(taps, x, d)) << "L " << L << " at " << n;
                }
            }
        }
    }
}

// ---- Statuses ---------------------------------------------------------------------

TEST(FirStatuses, FilterChecksPointersThenLengthThenKind) {
    std::vector<float> taps(20, 0.5f);
    InitState s(taps, nullptr);
    std::vector<uint8_t> iirBuffer(256, 0);
    SpIirState* iir = nullptr;
    const float iirTaps[4] = {1, 0, 1, 0};
    ASSERT_EQ(spIirInit(&iir, iirTaps, 1, nullptr, iirBuffer.data()), SP_STS_OK);
    float src[4] = {1, 2, 3, 4};
    SpBuffer<float> dst(4);
    dst.fillBytes(0x5A);
    const struct {
        const float* src;
        float* dst;
        int n;
        SpFirState* state;
        SpStatus expected;
    } rows[] = {
        {src, nullptr, 0, s.state, SP_STS_NULL_PTR},
        {nullptr, dst.data(), 4, s.state, SP_STS_NULL_PTR},
        {src, dst.data(), 4, nullptr, SP_STS_NULL_PTR},
        {src, dst.data(), 0, s.state, SP_STS_SIZE},
        {src, dst.data(), -3, reinterpret_cast<SpFirState*>(iir), SP_STS_SIZE},
        {src, dst.data(), 4, reinterpret_cast<SpFirState*>(iir), SP_STS_CONTEXT_MISMATCH},
    };
    for (const auto& r : rows) EXPECT_EQ(spFirFilterF32(r.src, r.dst, r.n, r.state), r.expected);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(dst.get(i), dst.get(0));
    EXPECT_TRUE(dst.checkCanaries());
    EXPECT_EQ(spFirDestroy(reinterpret_cast<SpFirState*>(iir)), SP_STS_CONTEXT_MISMATCH);
    EXPECT_EQ(spFirDestroy(nullptr), SP_STS_NULL_PTR);
    EXPECT_EQ(spFirDestroy(s.state), SP_STS_OK);  // in a caller buffer: frees nothing
    EXPECT_EQ(spFirFilterF32(src, dst.data(), 4, s.state), SP_STS_OK);
}

TEST(FirStatuses, BuildersCheckPointersThenTapCount) {
    float tap = 1.0f;
    uint8_t buf[64];
    SpFirState* state = reinterpret_cast<SpFirState*>(uintptr_t{0x40});
    int size = 0;
    EXPECT_EQ(spFirStateSize(0, nullptr), SP_STS_NULL_PTR);
    EXPECT_EQ(spFirStateSize(0, &size), SP_STS_FIR_LEN);
    EXPECT_EQ(spFirStateSize(-5, &size), SP_STS_FIR_LEN);
    EXPECT_EQ(spFirInit(nullptr, &tap, 0, nullptr, buf), SP_STS_NULL_PTR);
    EXPECT_EQ(spFirInit(&state, nullptr, 0, nullptr, buf), SP_STS_NULL_PTR);
    EXPECT_EQ(spFirInit(&state, &tap, 0, nullptr, nullptr), SP_STS_NULL_PTR);
    EXPECT_EQ(spFirInit(&state, &tap, 0, nullptr, buf), SP_STS_FIR_LEN);
    EXPECT_EQ(spFirCreate(nullptr, &tap, 0, nullptr), SP_STS_NULL_PTR);
    EXPECT_EQ(spFirCreate(&state, nullptr, 1, nullptr), SP_STS_NULL_PTR);
    EXPECT_EQ(spFirCreate(&state, &tap, 0, nullptr), SP_STS_FIR_LEN);
    EXPECT_EQ(state, reinterpret_cast<SpFirState*>(uintptr_t{0x40}));
    EXPECT_EQ(size, 0);
}

// ---- spFirCreate and the pool ------------------------------------------------------

class FirPool : public ::testing::Test {
protected:
    void SetUp() override { live_ = sim::PoolLiveBlocks(SP_POOL_TAG); }
    void TearDown() override {
        sim::PoolClearFailures();
        EXPECT_EQ(sim::PoolLiveBlocks(SP_POOL_TAG), live_) << sim::PoolLeakReport();
    }
    int64_t live_ = 0;
};

size_t rawSize(void* block) { return sim::PoolBlockSize(static_cast<void**>(block)[-1]); }

TEST_F(FirPool, Create256TapsAllocatesStateAndSpec) {
    std::vector<float> taps(256, 0.01f);
    SpFirState* state = nullptr;
    sim::PoolResetCounters();
    ASSERT_EQ(spFirCreate(&state, taps.data(), 256, nullptr), SP_STS_OK);
    EXPECT_EQ(sim::PoolAllocationAttempts(), 2u);
    EXPECT_EQ(rawSize(state), 28864u + 40u);
    EXPECT_EQ(rawSize(state->fftSpec), 8960u + 40u);
    EXPECT_EQ(state->fftLen, 1024);
    EXPECT_EQ(state->ownsMemory, 1);
    EXPECT_EQ(spFirDestroy(state), SP_STS_OK);
}

TEST_F(FirPool, InjectedFailuresReleaseEverything) {
    std::vector<float> taps(256, 0.01f);
    for (int L : {20, 256}) {
        const uint64_t allocations = L >= 64 ? 2 : 1;
        for (uint64_t nth = 1; nth <= allocations; ++nth) {
            SpFirState* state = reinterpret_cast<SpFirState*>(uintptr_t{0x40});
            sim::PoolFailNth(nth);
            EXPECT_EQ(spFirCreate(&state, taps.data(), L, nullptr), SP_STS_MEM_ALLOC) << L << "/" << nth;
            sim::PoolClearFailures();
            EXPECT_EQ(state, reinterpret_cast<SpFirState*>(uintptr_t{0x40}));
            EXPECT_EQ(sim::PoolLiveBlocks(SP_POOL_TAG), live_);
        }
    }
}

// A created state and one built in a caller buffer filter alike.
TEST_F(FirPool, CreatedStateFiltersLikeInitState) {
    std::vector<float> taps(256), d(256), x(4096);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (float& v : taps) v = u(rng);
    for (float& v : d) v = u(rng);
    for (float& v : x) v = u(rng);
    SpFirState* created = nullptr;
    ASSERT_EQ(spFirCreate(&created, taps.data(), 256, d.data()), SP_STS_OK);
    InitState init(taps, d.data());
    std::vector<float> a(4096), b(4096);
    int at = 0;
    for (int n : {512, 100, 3000, 484}) {
        ASSERT_EQ(spFirFilterF32(x.data() + at, a.data() + at, n, created), SP_STS_OK);
        ASSERT_EQ(spFirFilterF32(x.data() + at, b.data() + at, n, init.state), SP_STS_OK);
        at += n;
    }
    EXPECT_EQ(a, b);
    EXPECT_EQ(spFirDestroy(created), SP_STS_OK);
}

// 5000 taps: an order-14 FFT whose transforms use the state's own work
// buffer (built in the caller's buffer and in the created block). The FFT
// path agrees with the direct path of short calls.
TEST_F(FirPool, FftPathWithWorkBuffer) {
    const int L = 5000, n = 4096;
    std::vector<float> taps(L), x(n);
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (float& v : taps) v = u(rng) * 0.01f;
    for (float& v : x) v = u(rng);
    SpFirState* created = nullptr;
    ASSERT_EQ(spFirCreate(&created, taps.data(), L, nullptr), SP_STS_OK);
    ASSERT_NE(created->fftWorkBuf, nullptr);
    InitState init(taps, nullptr);
    ASSERT_NE(init.state->fftWorkBuf, nullptr);
    InitState direct(taps, nullptr);
    std::vector<float> a(n), b(n), c(n);
    sim::PoolResetCounters();
    ASSERT_EQ(spFirFilterF32(x.data(), a.data(), n, created), SP_STS_OK);
    ASSERT_EQ(spFirFilterF32(x.data(), b.data(), n, init.state), SP_STS_OK);
    EXPECT_EQ(sim::PoolAllocationAttempts(), 0u) << "filter calls allocate nothing";
    for (int at = 0; at < n; at += 256) {
        ASSERT_EQ(spFirFilterF32(x.data() + at, c.data() + at, 256, direct.state), SP_STS_OK);
    }
    EXPECT_EQ(a, b);
    const double tol = tolerance(taps, x, {});
    for (int i = 0; i < n; ++i) ASSERT_NEAR(a[i], c[i], tol) << i;
    EXPECT_EQ(spFirDestroy(created), SP_STS_OK);
}

}  // namespace
}  // namespace sptest

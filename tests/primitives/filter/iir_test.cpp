// IIR states: sizes, coefficient normalisation, the check order of every
// entry, the a0 = 0 builds, outputs against lfilter and sosfilt, and the
// spectrum of a Butterworth filter's impulse response against freqz.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "primitives/convert/entry_table_a.h"
#include "primitives/convert/sp_alloc.h"
#include "primitives/filter/sp_filter_gen.h"
#include "primitives/vector/entry_table_b.h"
#include "sim/pool.h"
#include "tests/primitives/support/scipy_ref.h"
#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/ulp.h"

namespace sptest {
namespace {

std::vector<float> toFloat(const std::vector<double>& v) { return std::vector<float>(v.begin(), v.end()); }

class IirPool : public ::testing::Test {
protected:
    void SetUp() override { live_ = sim::PoolLiveBlocks(SP_POOL_TAG); }
    void TearDown() override {
        sim::PoolClearFailures();
        EXPECT_EQ(sim::PoolLiveBlocks(SP_POOL_TAG), live_) << sim::PoolLeakReport();
    }
    int64_t live_ = 0;
};

TEST(IirSizes, WorkedValues) {
    const struct {
        int order, size;
    } rows[] = {{1, 144}, {2, 160}, {3, 160}, {4, 192}, {5, 192}, {8, 240}};
    for (const auto& r : rows) {
        int size = 0;
        ASSERT_EQ(spIirStateSize(r.order, &size), SP_STS_OK);
        EXPECT_EQ(size, r.size) << "order " << r.order;
    }
    int size = 0;
    EXPECT_EQ(spIirStateSize(0x7FFFFFFF, &size), SP_STS_IIR_ORDER);  // size beyond int32
    EXPECT_EQ(spIirStateSize(200000000, &size), SP_STS_IIR_ORDER);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(spIirStateSize(100000000, &size), SP_STS_OK);
}

TEST_F(IirPool, Order3CreateRequests160Bytes) {
    const float taps[8] = {1 / 6.0f, 0.5f, 0.5f, 1 / 6.0f, 1.0f, -0.0f, 1 / 3.0f, -0.0f};
    SpIirState* st = nullptr;
    sim::PoolResetCounters();
    ASSERT_EQ(spIirCreate(&st, taps, 3, nullptr), SP_STS_OK);
    EXPECT_EQ(sim::PoolAllocationAttempts(), 1u);
    EXPECT_EQ(sim::PoolBlockSize(reinterpret_cast<void**>(st)[-1]), 160u + 40u);
    EXPECT_EQ(st->ownsMemory, 1);
    // Taps given with a0 = 1 are stored as given, negative zeros included.
    const float expected[7] = {1 / 6.0f, 0.5f, 0.5f, 1 / 6.0f, -0.0f, 1 / 3.0f, -0.0f};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(floatBits(st->coeffs[i]), floatBits(expected[i])) << i;
    for (int i = 0; i <= 3; ++i) EXPECT_EQ(floatBits(st->dlyLine[i]), 0u) << i;
    EXPECT_EQ(spIirDestroy(st), SP_STS_OK);
}

TEST(IirCoefficients, NanA0GivesNanCoefficients) {
    const float taps[6] = {1, 2, 3, std::numeric_limits<float>::quiet_NaN(), 4, 5};
    std::vector<uint8_t> buf(256);
    SpIirState* st = nullptr;
    ASSERT_EQ(spIirInit(&st, taps, 2, nullptr, buf.data()), SP_STS_OK);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(std::isnan(st->coeffs[i])) << i;
}

// a0 = +-0: -10. In a caller buffer the record is left unusable (id 0);
// a create frees its block and leaves *state as it was.
TEST_F(IirPool, ZeroA0IsRefusedWithoutALiveRecord) {
    for (float a0 : {0.0f, -0.0f}) {
        const float taps[6] = {1, 2, 3, a0, 4, 5};
        const float dly[2] = {7, 8};
        std::vector<uint8_t> buf(256, 0xAB);
        SpIirState* st = nullptr;
        EXPECT_EQ(spIirInit(&st, taps, 2, dly, buf.data()), SP_STS_DIV_BY_ZERO_ERR);
        ASSERT_NE(st, nullptr);
        EXPECT_EQ(st->id, 0);
        EXPECT_EQ(st->dlyLine[0], 7.0f);
        EXPECT_EQ(floatBits(st->coeffs[0]), 0xABABABABu) << "coefficients untouched";
        float x[4] = {1, 1, 1, 1};
        EXPECT_EQ(spIirFilterF32InPlace(x, 4, st), SP_STS_CONTEXT_MISMATCH);
        EXPECT_EQ(spIirFilterF32(x, x, 4, st), SP_STS_CONTEXT_MISMATCH);
        EXPECT_EQ(spIirDestroy(st), SP_STS_CONTEXT_MISMATCH);
        EXPECT_EQ(x[0], 1.0f);

        SpIirState* created = reinterpret_cast<SpIirState*>(uintptr_t{0x70});
        EXPECT_EQ(spIirCreate(&created, taps, 2, nullptr), SP_STS_DIV_BY_ZERO_ERR);
        EXPECT_EQ(created, reinterpret_cast<SpIirState*>(uintptr_t{0x70}));
        EXPECT_EQ(sim::PoolLiveBlocks(SP_POOL_TAG), live_);
    }
}

// ---- Check order, one table over all six entries ---------------------------------

enum class Entry { Size, Init, Create, Destroy, Filter, FilterInPlace };

struct StatusRow {
    const char* name;
    Entry entry;
    bool nullState, nullTaps, nullBuffer, nullSrc, nullDst;
    int orderOrLen;
    bool otherKind;
    SpStatus expected;
};

const StatusRow kStatusRows[] = {
    {"SizeNull", Entry::Size, true, false, false, false, false, 0, false, SP_STS_NULL_PTR},
    {"SizeOrder0", Entry::Size, false, false, false, false, false, 0, false, SP_STS_IIR_ORDER},
    {"SizeOrderTooBig", Entry::Size, false, false, false, false, false, 0x7FFFFFFF, false, SP_STS_IIR_ORDER},
    {"InitNullTaps", Entry::Init, false, true, false, false, false, 0, false, SP_STS_NULL_PTR},
    {"InitNullState", Entry::Init, true, false, false, false, false, 0, false, SP_STS_NULL_PTR},
    {"InitNullBuffer", Entry::Init, false, false, true, false, false, 0, false, SP_STS_NULL_PTR},
    {"InitOrderNeg", Entry::Init, false, false, false, false, false, -1, false, SP_STS_IIR_ORDER},
    {"InitOrderTooBig", Entry::Init, false, false, false, false, false, 0x7FFFFFFF, false, SP_STS_IIR_ORDER},
    {"CreateNullTaps", Entry::Create, false, true, false, false, false, 0, false, SP_STS_NULL_PTR},
    {"CreateNullState", Entry::Create, true, false, false, false, false, 3, false, SP_STS_NULL_PTR},
    {"CreateOrder0", Entry::Create, false, false, false, false, false, 0, false, SP_STS_IIR_ORDER},
    {"CreateOrderTooBig", Entry::Create, false, false, false, false, false, 0x7FFFFFFF, false, SP_STS_IIR_ORDER},
    {"DestroyNull", Entry::Destroy, true, false, false, false, false, 0, false, SP_STS_NULL_PTR},
    {"DestroyOtherKind", Entry::Destroy, false, false, false, false, false, 0, true, SP_STS_CONTEXT_MISMATCH},
    {"FilterNullState", Entry::Filter, true, false, false, false, false, 0, false, SP_STS_NULL_PTR},
    {"FilterNullSrc", Entry::Filter, false, false, false, true, false, 0, true, SP_STS_NULL_PTR},
    {"FilterNullDst", Entry::Filter, false, false, false, false, true, 0, true, SP_STS_NULL_PTR},
    {"FilterLen0", Entry::Filter, false, false, false, false, false, 0, true, SP_STS_SIZE},
    {"FilterOtherKind", Entry::Filter, false, false, false, false, false, 4, true, SP_STS_CONTEXT_MISMATCH},
    {"InPlaceNullState", Entry::FilterInPlace, true, false, false, false, false, 0, false, SP_STS_NULL_PTR},
    {"InPlaceNullData", Entry::FilterInPlace, false, false, false, true, false, 0, true, SP_STS_NULL_PTR},
    {"InPlaceLenNeg", Entry::FilterInPlace, false, false, false, false, false, -4, true, SP_STS_SIZE},
    {"InPlaceOtherKind", Entry::FilterInPlace, false, false, false, false, false, 4, true, SP_STS_CONTEXT_MISMATCH},
};

class IirStatuses : public ::testing::TestWithParam<StatusRow> {};

TEST_P(IirStatuses, CheckOrderAndNothingWritten) {
    const StatusRow& r = GetParam();
    // A valid 'II01' state, or an FIR state posing as one.
    const float taps[4] = {0.5f, 0.5f, 1.0f, 0.25f};
    std::vector<uint8_t> iirBuf(256, 0);
    SpIirState* good = nullptr;
    ASSERT_EQ(spIirInit(&good, taps, 1, nullptr, iirBuf.data()), SP_STS_OK);
    int firSize = 0;
    ASSERT_EQ(spFirStateSize(4, &firSize), SP_STS_OK);
    std::vector<uint8_t> firBuf(firSize, 0);
    SpFirState* fir = nullptr;
    ASSERT_EQ(spFirInit(&fir, taps, 4, nullptr, firBuf.data()), SP_STS_OK);
    SpIirState* target = r.otherKind ? reinterpret_cast<SpIirState*>(fir) : good;
    const std::vector<uint8_t> stateBefore(iirBuf);
    const std::vector<uint8_t> firBefore(firBuf);

    SpBuffer<float> data(4);
    data.fillBytes(0x42);
    SpBuffer<uint8_t> buffer(256);
    buffer.fillBytes(0x42);
    SpIirState* out = reinterpret_cast<SpIirState*>(uintptr_t{0x70});
    int size = -1;
    const int64_t live = sim::PoolLiveBlocks(SP_POOL_TAG);
    SpStatus status = SP_STS_OK;
    switch (r.entry) {
        case Entry::Size: status = spIirStateSize(r.orderOrLen, r.nullState ? nullptr : &size); break;
        case Entry::Init:
            status = spIirInit(r.nullState ? nullptr : &out, r.nullTaps ? nullptr : taps, r.orderOrLen,
                               nullptr, r.nullBuffer ? nullptr : buffer.data());
            break;
        case Entry::Create:
            status = spIirCreate(r.nullState ? nullptr : &out, r.nullTaps ? nullptr : taps, r.orderOrLen, nullptr);
            break;
        case Entry::Destroy: status = spIirDestroy(r.nullState ? nullptr : target); break;
        case Entry::Filter:
            status = spIirFilterF32(r.nullSrc ? nullptr : data.data(), r.nullDst ? nullptr : data.data(),
                                    r.orderOrLen, r.nullState ? nullptr : target);
            break;
        case Entry::FilterInPlace:
            status = spIirFilterF32InPlace(r.nullSrc ? nullptr : data.data(), r.orderOrLen,
                                           r.nullState ? nullptr : target);
            break;
    }
    EXPECT_EQ(status, r.expected);
    EXPECT_EQ(size, -1);
    EXPECT_EQ(out, reinterpret_cast<SpIirState*>(uintptr_t{0x70}));
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(floatBits(data.get(i)), 0x42424242u);
    for (size_t i = 0; i < 256; ++i) ASSERT_EQ(buffer.get(i), 0x42);
    EXPECT_EQ(iirBuf, stateBefore);
    EXPECT_EQ(firBuf, firBefore);
    EXPECT_EQ(sim::PoolLiveBlocks(SP_POOL_TAG), live);
}

INSTANTIATE_TEST_SUITE_P(Rows, IirStatuses, ::testing::ValuesIn(kStatusRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(IirPool, InjectedAllocationFailureAndDestroyOfInitState) {
    const float taps[4] = {0.5f, 0.5f, 1.0f, 0.25f};
    SpIirState* st = reinterpret_cast<SpIirState*>(uintptr_t{0x70});
    sim::PoolFailNth(1);
    EXPECT_EQ(spIirCreate(&st, taps, 1, nullptr), SP_STS_MEM_ALLOC);
    sim::PoolClearFailures();
    EXPECT_EQ(st, reinterpret_cast<SpIirState*>(uintptr_t{0x70}));
    std::vector<uint8_t> buf(256, 0);
    ASSERT_EQ(spIirInit(&st, taps, 1, nullptr, buf.data()), SP_STS_OK);
    const std::vector<uint8_t> before = buf;
    EXPECT_EQ(spIirDestroy(st), SP_STS_OK);
    EXPECT_EQ(buf, before);
}

// ---- Outputs -------------------------------------------------------------------------

struct OutputCase {
    int order;
    int len;
    bool withDelay;
};

std::vector<OutputCase> outputCases() {
    std::vector<OutputCase> cases;
    for (int order = 1; order <= 8; ++order)
        for (int len : {1, 2, 3, 1023, 1024})
            for (bool dly : {true, false}) cases.push_back({order, len, dly});
    return cases;
}

class IirOutputs : public ::testing::TestWithParam<OutputCase> {};

TEST_P(IirOutputs, MatchLfilterAndInPlaceEqualsOutOfPlace) {
    SP_REQUIRE_SCIPY("iir_cases.py");
    const OutputCase& c = GetParam();
    RefArrays ref = readRefArrays("iir_cases.bin");
    const std::string o = std::to_string(c.order);
    const std::vector<float> taps = toFloat(ref["taps" + o]);
    const std::vector<float> zi = toFloat(ref["zi" + o]);
    const std::vector<float> x = toFloat(ref["x"]);
    const std::vector<double>& y = ref[(c.withDelay ? "yzi" : "yzero") + o];
    ASSERT_EQ(taps.size(), 2u * (c.order + 1));
    SpIirState* a = nullptr;
    ASSERT_EQ(spIirCreate(&a, taps.data(), c.order, c.withDelay ? zi.data() : nullptr), SP_STS_OK);
    std::vector<uint8_t> buf(1024);
    SpIirState* b = nullptr;
    ASSERT_EQ(spIirInit(&b, taps.data(), c.order, c.withDelay ? zi.data() : nullptr, buf.data() + 4), SP_STS_OK);
    const std::vector<float> src(x.begin(), x.begin() + c.len);
    SpBuffer<float> out(c.len);
    ASSERT_EQ(spIirFilterF32(src.data(), out.data(), c.len, a), SP_STS_OK);
    EXPECT_TRUE(out.checkCanaries());
    std::vector<float> inPlace = src;
    ASSERT_EQ(spIirFilterF32InPlace(inPlace.data(), c.len, b), SP_STS_OK);
    double peak = 0.0;
    for (double v : y) peak = std::max(peak, std::fabs(v));
    for (int n = 0; n < c.len; ++n) {
        ASSERT_NEAR(out.get(n), y[n], 1e-4 * peak) << "sample " << n;
        ASSERT_EQ(floatBits(inPlace[n]), floatBits(out.get(n))) << "sample " << n;
    }
    EXPECT_EQ(std::memcmp(a->dlyLine, b->dlyLine, 4 * (c.order + 1)), 0);
    EXPECT_EQ(spIirDestroy(a), SP_STS_OK);
}

INSTANTIATE_TEST_SUITE_P(Table, IirOutputs, ::testing::ValuesIn(outputCases()), [](const auto& info) {
    return "order" + std::to_string(info.param.order) + "_len" + std::to_string(info.param.len) +
           (info.param.withDelay ? "_zi" : "_zero");
});

// A biquad cascade record ('II02', no builder) against sosfilt.
TEST(IirBiquads, HandBuiltTwoSectionRecordMatchesSosfilt) {
    SP_REQUIRE_SCIPY("iir_cases.py");
    RefArrays ref = readRefArrays("iir_cases.bin");
    const std::vector<float> coeffs = toFloat(ref["sos"]);  // b0 b1 b2 a1 a2 per section
    const std::vector<float> x = toFloat(ref["x"]);
    const std::vector<double>& y = ref["ysos"];
    ASSERT_EQ(coeffs.size(), 10u);
    std::vector<float> coef = coeffs, dly(4, 0.0f);
    SpIirState rec{};
    rec.id = SP_CTX_IIR_BQ;
    rec.coeffs = coef.data();
    rec.dlyLine = dly.data();
    rec.order = 4;
    std::vector<float> out(x.size());
    ASSERT_EQ(spIirFilterF32(x.data(), out.data(), 500, &rec), SP_STS_OK);
    ASSERT_EQ(spIirFilterF32InPlace(out.data() + 500, 0, &rec), SP_STS_SIZE);
    std::vector<float> rest(x.begin() + 500, x.end());
    ASSERT_EQ(spIirFilterF32InPlace(rest.data(), static_cast<int>(rest.size()), &rec), SP_STS_OK);
    std::copy(rest.begin(), rest.end(), out.begin() + 500);
    double peak = 0.0;
    for (double v : y) peak = std::max(peak, std::fabs(v));
    for (size_t n = 0; n < x.size(); ++n) ASSERT_NEAR(out[n], y[n], 1e-5 * peak) << n;
    rec.order = 0;
    float z[3] = {1, 2, 3};
    ASSERT_EQ(spIirFilterF32InPlace(z, 3, &rec), SP_STS_OK);
    EXPECT_EQ(z[0], 0.0f);
    EXPECT_EQ(z[2], 0.0f);
    EXPECT_EQ(spIirDestroy(&rec), SP_STS_OK);  // ownsMemory 0: nothing freed
}

// The FFT of butter(3, 0.5)'s impulse response is its frequency response,
// -3 dB at the cut-off.
TEST(IirSpectrum, ButterworthImpulseResponseMatchesFreqz) {
    SP_REQUIRE_SCIPY("iir_cases.py");
    RefArrays ref = readRefArrays("iir_cases.bin");
    const std::vector<float> taps = toFloat(ref["butter3"]);
    const std::vector<double>& mag = ref["butter3_mag"];
    ASSERT_EQ(mag.size(), 2049u);
    SpIirState* st = nullptr;
    ASSERT_EQ(spIirCreate(&st, taps.data(), 3, nullptr), SP_STS_OK);
    std::vector<float> h(4096, 0.0f);
    h[0] = 1.0f;
    ASSERT_EQ(spIirFilterF32InPlace(h.data(), 4096, st), SP_STS_OK);
    SpFftSpec* spec = nullptr;
    ASSERT_EQ(spRealFftCreate(&spec, 12, SP_FFT_DIV_INV_BY_N, 0), SP_STS_OK);
    ASSERT_EQ(spRealFftForward(h.data(), spec, nullptr), SP_STS_OK);
    auto magnitude = [&](int k) {
        if (k == 0) return std::fabs(double(h[0]));
        if (k == 2048) return std::fabs(double(h[1]));
        return std::hypot(double(h[2 * k]), double(h[2 * k + 1]));
    };
    for (int k = 0; k <= 2048; ++k) ASSERT_NEAR(magnitude(k), mag[k], 2e-6) << "bin " << k;
    EXPECT_NEAR(20.0 * std::log10(magnitude(1024)), -3.0103, 1e-3);
    EXPECT_EQ(spRealFftDestroy(spec), SP_STS_OK);
    EXPECT_EQ(spIirDestroy(st), SP_STS_OK);
}

}  // namespace
}  // namespace sptest

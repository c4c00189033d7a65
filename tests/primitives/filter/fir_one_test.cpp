// The one-sample FIR step: bit-exact against numpy (float32 products summed
// in float64, oldest sample first), the doubled delay line and its index,
// and the check order (the last three in every build).
#include <gtest/gtest.h>

#include <vector>

#include "primitives/convert/entry_table_a.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/scipy_ref.h"
#include "tests/primitives/support/ulp.h"

namespace sptest {
namespace {

// A delay line of 2L floats and its index, reset as the converters do.
struct Line {
    std::vector<float> dly;
    int idx = 0;
    explicit Line(int L) : dly(2 * static_cast<size_t>(L), 0.0f) {}
};

TEST(FirOneStep, MatchesNumpyWithPolyphaseRows) {
    SP_REQUIRE_SCIPY("fir_one_cases.py");
    RefArrays ref = readRefArrays("fir_one_cases.bin");
    for (int L : {1, 3, 20, 24, 48}) {
        const std::string n = std::to_string(L);
        const std::vector<double>& table = ref["table" + n];
        const std::vector<double>& x = ref["x" + n];
        const std::vector<double>& rows = ref["rows" + n];
        const std::vector<double>& y = ref["y" + n];
        ASSERT_FALSE(x.empty());
        Line line(L);
        for (size_t step = 0; step < x.size(); ++step) {
            std::vector<float> taps(L);
            for (int k = 0; k < L; ++k) taps[k] = static_cast<float>(table[static_cast<size_t>(rows[step]) * L + k]);
            float out = -1.0f;
            ASSERT_EQ(spFirOneDirectF32(static_cast<float>(x[step]), &out, taps.data(), L, line.dly.data(), &line.idx),
                      SP_STS_OK);
            ASSERT_EQ(floatBits(out), floatBits(static_cast<float>(y[step]))) << "L " << L << " step " << step;
        }
    }
}

TEST(FirOneStep, SumsInDoubleBeforeRounding) {
    const float taps[3] = {1, 1, 1};
    Line line(3);
    float out = 0.0f;
    for (float x : {1e8f, 1.0f, -1e8f}) {
        ASSERT_EQ(spFirOneDirectF32(x, &out, taps, 3, line.dly.data(), &line.idx), SP_STS_OK);
    }
    EXPECT_EQ(out, 1.0f);
}

// After L steps from index 0 the index is 0 again and both halves hold the
// last L inputs, oldest first.
TEST(FirOneStep, IndexWrapsAndBothHalvesAgree) {
    forEachBuild(spEntryTableA.spFirOneDirectF32, [&](int) {
        const int L = 5;
        const std::vector<float> taps = {0.5f, 0.25f, 0.0f, 0.0f, 1.0f};
        Line line(L);
        float out = 0.0f;
        for (int step = 0; step < 2 * L + 2; ++step) {
            ASSERT_EQ(spFirOneDirectF32(static_cast<float>(step + 1), &out, taps.data(), L, line.dly.data(), &line.idx),
                      SP_STS_OK);
            EXPECT_EQ(line.idx, (step + 1) % L);
            if (step == L - 1 || step == 2 * L - 1) {
                for (int i = 0; i < L; ++i) {
                    EXPECT_EQ(line.dly[i], static_cast<float>(step + 2 - L + i)) << "step " << step;
                    EXPECT_EQ(line.dly[i + L], line.dly[i]);
                }
            }
        }
    });
}

// A repeated step with the index restored stores the same value in the
// same places: the line is unchanged and the output is the second tap set's.
TEST(FirOneStep, RepeatWithRestoredIndexLeavesTheLine) {
    forEachBuild(spEntryTableA.spFirOneDirectF32, [&](int) {
        const int L = 4;
        const float rowA[4] = {1, 0, 0, 0}, rowB[4] = {0, 0, 0, 1};
        Line line(L);
        float out = 0.0f;
        for (float x : {3.0f, 5.0f, 7.0f}) ASSERT_EQ(spFirOneDirectF32(x, &out, rowA, L, line.dly.data(), &line.idx), 0);
        const int saved = line.idx;
        ASSERT_EQ(spFirOneDirectF32(9.0f, &out, rowA, L, line.dly.data(), &line.idx), SP_STS_OK);
        EXPECT_EQ(out, 9.0f);
        const std::vector<float> after = line.dly;
        line.idx = saved;
        ASSERT_EQ(spFirOneDirectF32(9.0f, &out, rowB, L, line.dly.data(), &line.idx), SP_STS_OK);
        EXPECT_EQ(out, 3.0f);  // taps[3] weighs the sample three steps back
        EXPECT_EQ(line.dly, after);
    });
}

TEST(FirOneStep, CheckOrderAndNothingWritten) {
    forEachBuild(spEntryTableA.spFirOneDirectF32, [&](int) {
        const float taps[2] = {1, 2};
        float dly[4] = {9, 9, 9, 9};
        float out = -5.0f;
        const struct {
            const char* name;
            bool nullDst, nullTaps;
            int tapsLen;
            bool nullDly, nullIdx;
            int idx;
            SpStatus expected;
        } rows[] = {
            {"NullDstWithTapsLen0", true, false, 0, false, false, 0, SP_STS_NULL_PTR},
            {"NullTaps", false, true, 2, false, false, 0, SP_STS_NULL_PTR},
            {"TapsLen0WithNullDly", false, false, 0, true, false, 0, SP_STS_FIR_LEN},
            {"TapsLenNegative", false, false, -1, false, false, 0, SP_STS_FIR_LEN},
            {"NullDly", false, false, 2, true, false, 0, SP_STS_NULL_PTR},
            {"NullIdx", false, false, 2, false, true, 0, SP_STS_NULL_PTR},
            {"IndexNegative", false, false, 2, false, false, -1, SP_STS_SIZE},
            {"IndexEqualsTapsLen", false, false, 2, false, false, 2, SP_STS_SIZE},
            {"IndexFarOut", false, false, 2, false, false, 1 << 30, SP_STS_SIZE},
        };
        for (const auto& r : rows) {
            int idx = r.idx;
            EXPECT_EQ(spFirOneDirectF32(1.0f, r.nullDst ? nullptr : &out, r.nullTaps ? nullptr : taps, r.tapsLen,
                                        r.nullDly ? nullptr : dly, r.nullIdx ? nullptr : &idx),
                      r.expected)
                << r.name;
            EXPECT_EQ(idx, r.idx) << r.name;
        }
        EXPECT_EQ(out, -5.0f);
        for (float v : dly) EXPECT_EQ(v, 9.0f);
    });
}

}  // namespace
}  // namespace sptest

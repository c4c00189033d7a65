// Upsampling and downsampling: the edge cases bit for bit with their check
// order, streaming in random blocks against slicing of the whole signal, and
// the refusal of lengths the call cannot describe, in every build.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/ulp.h"

namespace sptest {
namespace {

using SampleFn = SpStatus (*)(const float*, int, float*, int*, int, int*);

constexpr int kUntouched = -77;

struct EdgeRow {
    const char* name;
    bool up;
    std::vector<float> src;
    int factor;
    int phaseIn;
    SpStatus status;
    std::vector<float> out;  // expected dst contents (only the written part)
    int dstLen;              // kUntouched: not written
    int phaseOut;
};

const float kNan = bitsFloat(0x7FC12345u);
const float kNegNan = bitsFloat(0xFFA00001u);  // signalling, with payload

std::vector<EdgeRow> edgeRows() {
    return {
        {"UpBy3Phase1", true, {1, 2, 3}, 3, 1, SP_STS_OK, {0, 1, 0, 0, 2, 0, 0, 3, 0}, 9, 1},
        {"UpBy1Copies", true, {1, 2, 3}, 1, 0, SP_STS_OK, {1, 2, 3}, 3, 0},
        {"UpBy2Phase0", true, {4, 5}, 2, 0, SP_STS_OK, {4, 0, 5, 0}, 4, 0},
        {"UpNanPayloads", true, {kNan, kNegNan}, 2, 1, SP_STS_OK, {0, kNan, 0, kNegNan}, 4, 1},
        {"Down10By4Phase0", false, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 4, 0, SP_STS_OK, {0, 4, 8}, 3, 2},
        {"Down10By4Phase2", false, {10, 11, 12, 13, 14, 15, 16, 17, 18, 19}, 4, 2, SP_STS_OK, {12, 16}, 2, 0},
        {"Down3By4Phase3", false, {1, 2, 3}, 4, 3, SP_STS_OK, {}, 0, 0},
        {"Down3By4Phase2", false, {1, 2, 3}, 4, 2, SP_STS_OK, {3}, 1, 3},
        {"DownMultipleOfFactor", false, {1, 2, 3, 4, 5, 6}, 3, 0, SP_STS_OK, {1, 4}, 2, 0},
        {"DownBy1Copies", false, {7, 8}, 1, 0, SP_STS_OK, {7, 8}, 2, 0},
        {"DownNanPayloads", false, {kNegNan, 1, kNan, 2}, 2, 0, SP_STS_OK, {kNegNan, kNan}, 2, 0},
        {"PhaseEqualsFactor", false, {1, 2, 3}, 4, 4, SP_STS_SAMPLE_PHASE, {}, kUntouched, 4},
        {"PhaseNegative", true, {1, 2, 3}, 4, -1, SP_STS_SAMPLE_PHASE, {}, kUntouched, -1},
        {"FactorZeroBeforePhase", true, {1}, 0, 9, SP_STS_SAMPLE_FACTOR, {}, kUntouched, 9},
        {"FactorNegative", false, {1}, -2, 0, SP_STS_SAMPLE_FACTOR, {}, kUntouched, 0},
        {"LengthZeroBeforeFactor", false, {}, 0, 0, SP_STS_SIZE, {}, kUntouched, 0},
    };
}

class SamplingEdges : public ::testing::TestWithParam<EdgeRow> {};

TEST_P(SamplingEdges, BitExact) {
    forEachBuild(spEntryTableB.spUpsampleF32, [&](int) {
        const EdgeRow& r = GetParam();
        SampleFn fn = r.up ? spUpsampleF32 : spDownsampleF32;
        std::vector<float> src = r.src;
        if (src.empty()) src.push_back(1.0f);  // a valid pointer for srcLen 0
        SpBuffer<float> dst(12);
        dst.fillBytes(0x66);
        int dstLen = kUntouched;
        int phase = r.phaseIn;
        EXPECT_EQ(fn(src.data(), static_cast<int>(r.src.size()), dst.data(), &dstLen, r.factor, &phase), r.status);
        EXPECT_EQ(dstLen, r.dstLen);
        EXPECT_EQ(phase, r.phaseOut);
        for (size_t i = 0; i < r.out.size(); ++i) EXPECT_EQ(floatBits(dst.get(i)), floatBits(r.out[i])) << i;
        for (size_t i = r.out.size(); i < 12; ++i) EXPECT_EQ(floatBits(dst.get(i)), 0x66666666u) << i;
        EXPECT_TRUE(dst.checkCanaries());
    });
}

INSTANTIATE_TEST_SUITE_P(Rows, SamplingEdges, ::testing::ValuesIn(edgeRows()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SamplingChecks, NullPointersFirst) {
    forEachBuild(spEntryTableB.spUpsampleF32, [&](int) {
        float x = 1.0f, y = 0.0f;
        int len = kUntouched, phase = 0;
        for (SampleFn fn : {spUpsampleF32, spDownsampleF32}) {
            EXPECT_EQ(fn(nullptr, 1, &y, &len, 2, &phase), SP_STS_NULL_PTR);
            EXPECT_EQ(fn(&x, 1, nullptr, &len, 2, &phase), SP_STS_NULL_PTR);
            EXPECT_EQ(fn(&x, 1, &y, nullptr, 2, &phase), SP_STS_NULL_PTR);
            EXPECT_EQ(fn(&x, 0, &y, &len, 0, nullptr), SP_STS_NULL_PTR);  // even with srcLen 0
        }
        EXPECT_EQ(len, kUntouched);
        EXPECT_EQ(y, 0.0f);
    });
}

// Lengths the call cannot describe: -6 after the four checks, with dst,
// dstLen and phase untouched (the source is never read that far).
TEST(SamplingChecks, LengthsBeyondTheCallAreRefused) {
    forEachBuild(spEntryTableB.spUpsampleF32, [&](int) {
        const struct {
            bool up;
            int srcLen, factor;
        } rows[] = {
            {true, 0x40000000, 2},  // srcLen x factor is 2^31
            {true, 0x7FFFFFFF, 3},
            {true, 1 << 29, 1},     // beyond the copy's 32-bit byte count
            {false, 1 << 29, 1},
            {false, 0x7FFFFFFF, 1},
        };
        float src[4] = {1, 2, 3, 4};
        for (const auto& r : rows) {
            SpBuffer<float> dst(4);
            dst.fillBytes(0x66);
            int dstLen = kUntouched, phase = 0;
            SampleFn fn = r.up ? spUpsampleF32 : spDownsampleF32;
            EXPECT_EQ(fn(src, r.srcLen, dst.data(), &dstLen, r.factor, &phase), SP_STS_SIZE)
                << r.srcLen << " x " << r.factor;
            EXPECT_EQ(dstLen, kUntouched);
            EXPECT_EQ(phase, 0);
            for (int i = 0; i < 4; ++i) EXPECT_EQ(floatBits(dst.get(i)), 0x66666666u);
            EXPECT_TRUE(dst.checkCanaries());
        }
    });
}

TEST(SamplingStreams, DownsamplingInPlace) {
    forEachBuild(spEntryTableB.spUpsampleF32, [&](int) {
        std::vector<float> x(37);
        for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i);
        int len = 0, phase = 1;
        ASSERT_EQ(spDownsampleF32(x.data(), 37, x.data(), &len, 3, &phase), SP_STS_OK);
        ASSERT_EQ(len, 12);
        for (int i = 0; i < len; ++i) EXPECT_EQ(x[i], static_cast<float>(1 + 3 * i));
        EXPECT_EQ(phase, 1 + 3 * 12 - 37);
    });
}

// Random blocks through the stream give x[p::factor] of the whole signal
// (down) and the zero-stuffed signal (up).
TEST(SamplingStreams, RandomBlocksEqualSlicingOfTheWholeSignal) {
    forEachBuild(spEntryTableB.spUpsampleF32, [&](int) {
        std::mt19937 rng(8);
        std::vector<float> x(5000);
        for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i) + 0.5f;
        for (int factor : {1, 2, 3, 4, 7}) {
            for (int start = 0; start < factor; ++start) {
                std::vector<float> down, up;
                int phase = start;
                for (size_t at = 0; at < x.size();) {
                    const int n = std::min<int>(static_cast<int>(x.size() - at), 1 + static_cast<int>(rng() % 97));
                    const std::vector<float> block(x.begin() + at, x.begin() + at + n);
                    std::vector<float> out(n + 1);
                    int len = 0;
                    ASSERT_EQ(spDownsampleF32(block.data(), n, out.data(), &len, factor, &phase), SP_STS_OK);
                    down.insert(down.end(), out.begin(), out.begin() + len);
                    std::vector<float> wide(static_cast<size_t>(n) * factor);
                    int upPhase = start;
                    ASSERT_EQ(spUpsampleF32(block.data(), n, wide.data(), &len, factor, &upPhase), SP_STS_OK);
                    ASSERT_EQ(len, n * factor);
                    ASSERT_EQ(upPhase, start);
                    up.insert(up.end(), wide.begin(), wide.end());
                    at += n;
                }
                std::vector<float> sliced, stuffed(x.size() * factor, 0.0f);
                for (size_t i = start; i < x.size(); i += factor) sliced.push_back(x[i]);
                for (size_t i = 0; i < x.size(); ++i) stuffed[i * factor + start] = x[i];
                EXPECT_EQ(down, sliced) << "factor " << factor << " phase " << start;
                EXPECT_EQ(up, stuffed) << "factor " << factor << " phase " << start;
            }
        }
    });
}

}  // namespace
}  // namespace sptest

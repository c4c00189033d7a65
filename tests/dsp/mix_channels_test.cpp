// MixChannels: one table of layouts, each with one frame of distinct
// per-channel values and the exact frame that must come out, untouched
// channels included.
#include "dsp/mix_channels.h"

#include <cstdint>
#include <cstring>

#include "tests/dsp/dsp_test_base.h"

namespace {

constexpr float F = DSP_FLOOR_VALUE;
constexpr float h = 0x1.69fbe8p-1f, b = 0x1.bdf3b6p-1f, c = 0x1.f5c29p-2f;

uint32_t Bits(float v) {
    uint32_t u;
    std::memcpy(&u, &v, 4);
    return u;
}

struct Case {
    const char* name;
    ULONG nIn, nOut;
    bool plain;
    float in[8];
    float out[8];
};

// Values 1..8 scaled so that sums stay exact enough to state by formula.
constexpr float x0 = 0.1f, x1 = 0.2f, x2 = 0.3f, x3 = 0.4f, x4 = 0.5f, x5 = 0.6f, x6 = 0.7f, x7 = 0.8f;
constexpr float kBase[8] = {x0, x1, x2, x3, x4, x5, x6, x7};
#define BASE {x0, x1, x2, x3, x4, x5, x6, x7}

const Case kCases[] = {
    {"6->2 plain LFE only", 6, 2, true, {0, 0, 0, 1, 0, 0, 7, 7}, {1, 1, 0, 1, 0, 0, 7, 7}},
    {"6->2 plain centre only", 6, 2, true, {0, 0, 1, 0, 0, 0, 7, 7}, {h, h, 1, 0, 0, 0, 7, 7}},
    {"8->2 weighted BL only", 8, 2, false, {0, 0, 0, 0, 1, 0, 0, 0}, {-(b * 0.5f), c * 0.5f, 0, 0, 1, 0, 0, 0}},
    {"2->1", 2, 1, true, BASE, {(x0 + x1) * 0.5f, x1, x2, x3, x4, x5, x6, x7}},
    {"4->2 plain keeps the plain fold", 4, 2, true, BASE, {x0 - x2, x3 + x1, x2, x3, x4, x5, x6, x7}},
    {"4->2 weighted", 4, 2, false, BASE,
     {x0 - (b * x2 + c * x3), (c * x2 + b * x3) + x1, x2, x3, x4, x5, x6, x7}},
    {"4->1 weighted", 4, 1, false, BASE,
     {(((c * x2 + b * x3) + x1) + (x0 - (b * x2 + c * x3))) * 0.5f, (c * x2 + b * x3) + x1, x2, x3, x4, x5, x6, x7}},
    {"6->1 weighted", 6, 1, false, BASE,
     {(((h * (x2 + x3) + c * x4) + b * x5) + x1 + (((h * (x2 + x3) - b * x4) - c * x5) + x0)) * 0.5f,
      ((h * (x2 + x3) + c * x4) + b * x5) + x1, x2, x3, x4, x5, x6, x7}},
    {"6->2 weighted", 6, 2, false, BASE,
     {((h * (x2 + x3) - b * x4) - c * x5) + x0, ((h * (x2 + x3) + c * x4) + b * x5) + x1, x2, x3, x4, x5, x6, x7}},
    {"6->4", 6, 4, false, BASE, {h * (x2 + x3) + x0, h * (x2 + x3) + x1, x4, x5, x4, x5, x6, x7}},
    {"8->2 plain", 8, 2, true, BASE,
     {(((h * x2 + x3) + x4) + x6) + x0, (((h * x2 + x3) + x5) + x7) + x1, x2, x3, x4, x5, x6, x7}},
    {"8->1 plain", 8, 1, true, BASE,
     {((((h * (x2 + x3) + 0.0f * (x4 + x6)) + 0.5f * (x5 + x7)) + x1) +
       (((h * (x2 + x3) + 0.5f * (x4 + x6)) + 0.0f * (x5 + x7)) + x0)) * 0.5f,
      ((h * (x2 + x3) + 0.0f * (x4 + x6)) + 0.5f * (x5 + x7)) + x1, x2, x3, x4, x5, x6, x7}},
    {"8->4 weighted", 8, 4, false, BASE,
     {h * (x2 + x3) + x0, h * (x2 + x3) + x1, (b * x4 + x6) + c * x5, (c * x4 + x7) + b * x5, x4, x5, x6, x7}},
    {"8->6 plain", 8, 6, true, BASE, {x0, x1, x2, x3, x4 + x6, x7 + x5, x6, x7}},
    {"2->8", 2, 8, true, BASE, {x0, x1, F, F, F, F, F, F}},
    {"4->6", 4, 6, true, BASE, {x0, x1, F, F, x2, x3, x6, x7}},
    {"4->5", 4, 5, true, BASE, {x0, x1, F, F, x2, x3, x6, x7}},
    {"4->8", 4, 8, true, BASE, {x0, x1, F, F, x2, x3, F, F}},
    {"6->7", 6, 7, true, BASE, {x0, x1, x2, x3, x4, x5, F, x7}},
    {"1->2 touches nothing", 1, 2, true, BASE, BASE},
    {"8->3 has no rule", 8, 3, false, BASE, BASE},
    {"6->5 has no rule", 6, 5, false, BASE, BASE},
    {"5->2 has no rule", 5, 2, false, BASE, BASE},
    {"equal counts", 6, 6, false, BASE, BASE},
    {"more than eight", 2, 9, true, BASE, BASE},
};

class MixChannelsTest : public dsptest::DspTest {};

TEST_F(MixChannelsTest, WeightsAreTheStatedBitPatterns) {
    EXPECT_EQ(Bits(h), 0x3F34FDF4u);
    EXPECT_EQ(Bits(b), 0x3F5EF9DBu);
    EXPECT_EQ(Bits(c), 0x3EFAE148u);
    EXPECT_EQ(Bits(DSP_FLOOR_VALUE), 0x2B8CBCCCu);
    EXPECT_EQ(b * 0.5f, 0.4355f);
    EXPECT_EQ(c * 0.5f, 0.245f);
}

TEST_F(MixChannelsTest, EachLayoutGivesItsExactFrame) {
    for (const Case& k : kCases) {
        // Three frames, the case's frame in the middle one, so a stray
        // index into a neighbouring frame shows.
        dsptest::Channels set(8, 3, -9.0f);
        for (int ch = 0; ch < 8; ++ch) set.data[ch][1] = k.in[ch];
        for (int ch = 0; ch < 8; ++ch) set.data[ch][0] = set.data[ch][2] = k.in[ch];
        MixChannels(set.get(), k.nIn, k.nOut, 3, k.plain);
        for (int ch = 0; ch < 8; ++ch)
            for (int t = 0; t < 3; ++t)
                EXPECT_EQ(Bits(set.data[ch][t]), Bits(k.out[ch])) << k.name << " ch" << ch << " frame " << t
                                                                  << ": " << set.data[ch][t] << " vs " << k.out[ch];
    }
}

TEST_F(MixChannelsTest, ZeroFramesTouchNothing) {
    dsptest::Channels set(8, 4, 0.0f);
    for (int ch = 0; ch < 8; ++ch) set.data[ch].assign(kBase, kBase + 4);
    auto before = set.data;
    MixChannels(set.get(), 8, 2, 0, TRUE);
    MixChannels(set.get(), 2, 8, 0, TRUE);
    EXPECT_EQ(set.data, before);
}

}  // namespace

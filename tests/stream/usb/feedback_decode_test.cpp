// Explicit feedback decoding: the correction tables as transcribed, the
// decoded rate of single values against the USB 2.0 definition of the
// formats (10.14 samples per frame at full speed, 16.16 per microframe at
// high speed) computed in double, and how a transfer's values become one
// rate (the window, the doubled deviation, empty packets, one value per
// frame).
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <vector>

#include "stream/usb/feedback_decode.h"

namespace {

ULONG SumValues(const FEEDBACK_CORRECTION* table) {
    ULONG sum = 0;
    for (ULONG i = 0; i < FEEDBACK_CORRECTIONS; i++) sum += table[i].Value;
    return sum;
}

ULONG SumReplacements(const FEEDBACK_CORRECTION* table) {
    ULONG sum = 0;
    for (ULONG i = 0; i < FEEDBACK_CORRECTIONS; i++) sum += table[i].Replacement;
    return sum;
}

TEST(FeedbackTables, AreTranscribedExactly) {
    EXPECT_EQ(kFeedback3Corrections[0].Value, 0x2B9900u);
    EXPECT_EQ(kFeedback3Corrections[1].Replacement, 0x2C199Au);
    EXPECT_EQ(kFeedback3Corrections[8].Replacement, 0xB0E668u);
    EXPECT_EQ(SumValues(kFeedback3Corrections), 0x39E1600u);
    EXPECT_EQ(SumReplacements(kFeedback3Corrections), 0x39E19BAu);
    EXPECT_EQ(kFeedback4Corrections[0].Value, 0x057380u);
    EXPECT_EQ(kFeedback4Corrections[4].Replacement, 0x0B0667u);
    EXPECT_EQ(kFeedback4Corrections[8].Value, 0x161C60u);
    EXPECT_EQ(SumValues(kFeedback4Corrections), 0x73C260u);
    EXPECT_EQ(SumReplacements(kFeedback4Corrections), 0x73C338u);
}

// Each row decodes to its whole rate, where the value itself does not.
TEST(FeedbackTables, EveryReplacementDecodesToItsWholeRate) {
    const ULONG rates[FEEDBACK_CORRECTIONS] = {43600, 44100, 44600, 87700, 88200, 88700, 175900, 176400, 176900};
    for (ULONG i = 0; i < FEEDBACK_CORRECTIONS; i++) {
        EXPECT_EQ(FeedbackValueToRate(kFeedback3Corrections[i].Replacement, 1000), rates[i]) << i;
        EXPECT_NE(FeedbackValueToRate(kFeedback3Corrections[i].Value, 1000), rates[i]) << i;
        EXPECT_EQ(FeedbackValueToRate(kFeedback4Corrections[i].Replacement, 8000), rates[i]) << i;
        EXPECT_NE(FeedbackValueToRate(kFeedback4Corrections[i].Value, 8000), rates[i]) << i;
    }
}

std::vector<UCHAR> Wire(ULONG value, bool highSpeed) {
    std::vector<UCHAR> bytes;
    for (ULONG i = 0; i < (highSpeed ? 4u : 3u); i++) bytes.push_back((UCHAR)(value >> (8 * i)));
    return bytes;
}

TEST(FeedbackValues, TheKnownVectors) {
    // 44.1 samples per frame as the device truncates it: 44100 Hz through
    // the correction, 44097 Hz without.
    EXPECT_EQ(FeedbackValueToRate(ReadFeedbackValue(Wire(0x0B0640, false).data(), FALSE), 1000), 44100u);
    EXPECT_EQ(FeedbackValueToRate(0x0B0640u << 2, 1000), 44097u);
    EXPECT_EQ(FeedbackValueToRate(ReadFeedbackValue(Wire(0x058380, true).data(), TRUE), 8000), 44100u);
    // The top byte of a high-speed value counts; a full-speed value has none.
    EXPECT_EQ(ReadFeedbackValue(Wire(0x01000000, true).data(), TRUE), 0x01000000u);
    const UCHAR fourBytes[4] = {0x40, 0x06, 0x0C, 0xFF};
    EXPECT_EQ(ReadFeedbackValue(fourBytes, FALSE), 0x0C0640u << 2);
}

// Values a device encodes per the USB 2.0 definition, rounded to nearest,
// decode to the floor of what they stand for, within 1 Hz of the rate.
struct SweepCase {
    bool highSpeed;
    double perSecond;  // packets per second the value is per
    double scale;      // fixed-point unit of the wire format
};

class FeedbackSweep : public ::testing::TestWithParam<SweepCase> {};

TEST_P(FeedbackSweep, DecodedRatesFollowTheDefinition) {
    const SweepCase& c = GetParam();
    ULONG corrected = 0;
    for (ULONG rate = 4000; rate <= 200000; rate += 7) {
        const ULONG wire = (ULONG)std::lround((double)rate / c.perSecond * c.scale);
        const ULONG value = ReadFeedbackValue(Wire(wire, c.highSpeed).data(), c.highSpeed);
        const ULONG decoded = FeedbackValueToRate(value, (ULONG)c.perSecond);
        const double exact = (double)wire / c.scale * c.perSecond;
        if (value != (c.highSpeed ? wire : wire << 2)) {
            // A table row: its whole rate.
            ++corrected;
            ASSERT_EQ(decoded % 100, 0u) << rate;
            continue;
        }
        ASSERT_EQ(decoded, (ULONG)std::floor(exact)) << rate;
        ASSERT_LE(decoded, rate) << rate;
        ASSERT_GE(decoded + 1, rate) << rate;
    }
    EXPECT_LE(corrected, (ULONG)FEEDBACK_CORRECTIONS);
}

INSTANTIATE_TEST_SUITE_P(Feedback, FeedbackSweep,
                         ::testing::Values(SweepCase{false, 1000.0, 16384.0}, SweepCase{true, 8000.0, 65536.0}),
                         [](const auto& info) { return info.param.highSpeed ? "HighSpeed" : "FullSpeed"; });

// A transfer of frames, each frame's packets high-speed 16.16 values for
// the given rate at 8000 packets per second (1000 at full speed).
struct Transfer {
    Transfer(ULONG frames, ULONG packetsPerFrame, bool highSpeed)
        : bytes(frames * packetsPerFrame * FeedbackValueBytes(highSpeed)) {
        t.Buffer = bytes.data();
        t.Frames = frames;
        t.PacketsPerFrame = packetsPerFrame;
        t.HighSpeed = highSpeed;
        t.PacketsPerSecond = highSpeed ? 8000 : 1000;
        t.NominalRate = 48000;
    }
    void Put(ULONG packet, ULONG rate) {
        const double perPacket = (double)rate / t.PacketsPerSecond;
        const ULONG value = t.HighSpeed ? (ULONG)std::ceil(perPacket * 65536.0) : (ULONG)std::ceil(perPacket * 16384.0);
        const ULONG b = FeedbackValueBytes(t.HighSpeed);
        for (ULONG i = 0; i < b; i++) bytes[packet * b + i] = (UCHAR)(value >> (8 * i));
    }
    void PutAll(ULONG rate) {
        for (ULONG p = 0; p < t.Frames * t.PacketsPerFrame; p++) Put(p, rate);
    }
    std::vector<UCHAR> bytes;
    FEEDBACK_TRANSFER t = {};
};

struct RateCase {
    const char* name;
    std::vector<ULONG> frameRates;  // 0: the packet brought nothing
    bool accepted;
    LONG expected;
    ULONG dropped;        // values read but outside the window
    ULONG firstDropped;   // its rate (0: none)
};

class TransferRates : public ::testing::TestWithParam<RateCase> {};

TEST_P(TransferRates, BecomeOneRate) {
    const RateCase& c = GetParam();
    for (bool highSpeed : {false, true}) {
        Transfer transfer((ULONG)c.frameRates.size(), 1, highSpeed);
        for (ULONG i = 0; i < c.frameRates.size(); i++)
            if (c.frameRates[i]) transfer.Put(i, c.frameRates[i]);
        LONG rate = -1;
        FEEDBACK_DROPS drops = {99, 99};
        EXPECT_EQ(DecodeFeedbackTransfer(transfer.t, &rate, &drops), (BOOLEAN)c.accepted) << highSpeed;
        EXPECT_EQ(rate, c.accepted ? c.expected : -1) << highSpeed;
        EXPECT_EQ(drops.Count, c.dropped) << highSpeed;
        if (c.dropped == 0) continue;
        // The first dropped value as it was on the wire.
        Transfer first(1, 1, highSpeed);
        first.Put(0, c.firstDropped);
        EXPECT_EQ(drops.FirstWireValue, ReadFeedbackWireValue(first.bytes.data(), highSpeed)) << highSpeed;
    }
}

std::vector<ULONG> Ten(ULONG rate) { return std::vector<ULONG>(10, rate); }

INSTANTIATE_TEST_SUITE_P(
    Feedback, TransferRates,
    ::testing::Values(RateCase{"Nominal", Ten(48000), true, 48000, 0, 0},
                      // A mean exactly 500 / 10 Hz off has its deviation doubled.
                      RateCase{"StepAboveDoubled", Ten(48050), true, 48100, 0, 0},
                      RateCase{"StepBelowDoubled", Ten(47950), true, 47900, 0, 0},
                      RateCase{"OffStepKept", Ten(48049), true, 48049, 0, 0},
                      RateCase{"WindowEdges", {47000, 49000, 47000, 49000}, true, 48000, 0, 0},
                      RateCase{"AllOutsideTheWindow", Ten(49001), false, 0, 10, 49001},
                      RateCase{"SomeOutsideTheWindow", {48010, 96000, 0, 46999, 48020}, true, 48015, 2, 96000},
                      RateCase{"EmptyPacketsReadZeroAndAreSkipped", {0, 0, 48010, 0, 48020}, true, 48015, 0, 0},
                      RateCase{"NothingArrived", Ten(0), false, 0, 0, 0},
                      // 500 / 1 = 500: a single frame's deviation of 500 doubles.
                      RateCase{"OneFrame", {48500}, true, 49000, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// With several packets per frame only each frame's last value counts.
TEST(FeedbackTransfer, ReadsTheLastValueOfEachFrame) {
    Transfer transfer(10, 8, true);
    transfer.PutAll(60000);  // outside the window: would be ignored
    for (ULONG frame = 0; frame < 10; frame++) transfer.Put(frame * 8 + 7, 48010);
    LONG rate = 0;
    ASSERT_TRUE(DecodeFeedbackTransfer(transfer.t, &rate));
    EXPECT_EQ(rate, 48010);
    transfer.t.Frames = 0;
    rate = 7;
    EXPECT_FALSE(DecodeFeedbackTransfer(transfer.t, &rate));
    EXPECT_EQ(rate, 7);
}

}  // namespace

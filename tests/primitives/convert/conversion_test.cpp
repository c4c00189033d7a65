// PCM <-> float conversions: the edge list, NaN/infinity per mode and width,
// scale-factor clamps, offsets and lengths with canaries and guard pages,
// in-place use.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "primitives/convert/entry_table_a.h"
#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/ulp.h"

namespace sptest {
namespace {

enum class Conv { kF2I16, kF2I32, kF2I24, kI16F, kI32FS, kI24F, kI32F };

size_t inWidth(Conv c) {
    switch (c) {
    case Conv::kI16F: return 2;
    case Conv::kI24F: return 3;
    default: return 4;
    }
}
size_t outWidth(Conv c) {
    switch (c) {
    case Conv::kF2I16: return 2;
    case Conv::kF2I24: return 3;
    default: return 4;
    }
}

SpStatus runConv(Conv c, const void* in, void* out, int len, int mode, int sf) {
    switch (c) {
    case Conv::kF2I16: return spF32ToI16Scaled((const float*)in, (int16_t*)out, len, mode, sf);
    case Conv::kF2I32: return spF32ToI32Scaled((const float*)in, (int32_t*)out, len, mode, sf);
    case Conv::kF2I24: return spF32ToI24Scaled((const float*)in, (uint8_t*)out, len, sf);
    case Conv::kI16F: return spI16ToF32Scaled((const int16_t*)in, (float*)out, len, sf);
    case Conv::kI32FS: return spI32ToF32Scaled((const int32_t*)in, (float*)out, len, sf);
    case Conv::kI24F: return spI24ToF32((const uint8_t*)in, (float*)out, len);
    case Conv::kI32F: return spI32ToF32((const int32_t*)in, (float*)out, len);
    }
    return SP_STS_OK;
}

// One element: input and expected output as little-endian bit patterns of
// the entry's widths.
struct EdgeCase {
    std::string name;
    Conv conv;
    int mode;
    int sf;
    uint32_t input;
    uint32_t expected;
};

uint32_t f(float v) { return floatBits(v); }
uint32_t i16(int v) { return (uint32_t)(uint16_t)(int16_t)v; }
uint32_t i32(int64_t v) { return (uint32_t)(int32_t)v; }
uint32_t i24(int v) { return (uint32_t)v & 0xFFFFFFu; }
constexpr uint32_t kNan = 0x7FC00000u, kMinusNan = 0xFFC00001u, kInf = 0x7F800000u, kMinusInf = 0xFF800000u;

std::vector<EdgeCase> edgeList() {
    return {
        {"I16TruncOne", Conv::kF2I16, 0, -15, f(1.0f), i16(32767)},
        {"I16TruncMinusOne", Conv::kF2I16, 0, -15, f(-1.0f), i16(-32768)},
        {"I16TruncJustBelowOne", Conv::kF2I16, 0, -15, f(0.99999994f), i16(32767)},
        {"I16TruncOneAndHalf", Conv::kF2I16, 0, -15, f(1.5f), i16(32767)},
        {"I16TruncMinusThreeQuarters", Conv::kF2I16, 0, -15, f(-0.75f), i16(-24576)},
        {"I16TruncMinusOneAndHalfLsb", Conv::kF2I16, 0, -15, f(-1.5f / 32768), i16(-1)},
        {"I16TruncNan", Conv::kF2I16, 0, -15, kNan, 0},
        {"I16TruncInf", Conv::kF2I16, 0, -15, kInf, i16(32767)},
        {"I16NearestTwoAndHalf", Conv::kF2I16, 1, 0, f(2.5f), i16(2)},
        {"I16NearestThreeAndHalf", Conv::kF2I16, 1, 0, f(3.5f), i16(4)},
        {"I16NearestMinusTwoAndHalf", Conv::kF2I16, 1, 0, f(-2.5f), i16(-2)},
        {"I16NearestMaxPlusHalf", Conv::kF2I16, 1, 0, f(32767.5f), i16(32767)},
        {"I16NearestMinMinusHalf", Conv::kF2I16, 1, 0, f(-32768.5f), i16(-32768)},
        {"I16HalfAwayTwoAndHalf", Conv::kF2I16, 2, 0, f(2.5f), i16(3)},
        {"I16HalfAwayMinusTwoAndHalf", Conv::kF2I16, 2, 0, f(-2.5f), i16(-3)},
        {"I16HalfAwayJustBelowHalfSingle", Conv::kF2I16, 2, 0, f(0.49999997f), i16(1)},
        {"I16HalfAwayJustBelowHalfScaled", Conv::kF2I16, 2, -1, f(0.49999997f / 2), i16(0)},
        {"I16OtherModeIsHalfAway", Conv::kF2I16, 77, 0, f(2.5f), i16(3)},
        {"I32TruncOne", Conv::kF2I32, 0, -31, f(1.0f), i32(2147483647)},
        {"I32TruncMinusOne", Conv::kF2I32, 0, -31, f(-1.0f), i32(-2147483648LL)},
        {"I32TruncHalf", Conv::kF2I32, 0, -31, f(0.5f), i32(1073741824)},
        {"I32TruncNan", Conv::kF2I32, 0, -31, kNan, 0},
        {"I32HalfAwayNan", Conv::kF2I32, 2, -31, kNan, i32(-2147483648LL)},
        {"I32HalfAwayJustBelowHalf", Conv::kF2I32, 2, 0, f(0.49999997f), 0},
        {"I32NearestTwo31Minus128", Conv::kF2I32, 1, 0, f(2147483520.0f), i32(2147483520)},
        {"I32NearestTwo31", Conv::kF2I32, 1, 0, f(2147483648.0f), i32(2147483647)},
        {"I24One", Conv::kF2I24, 0, -23, f(1.0f), 0x7FFFFF},
        {"I24MinusOne", Conv::kF2I24, 0, -23, f(-1.0f), 0x800000},
        {"I24Half", Conv::kF2I24, 0, -23, f(0.5f), 0x400000},
        {"I24OneAndHalfLsb", Conv::kF2I24, 0, -23, f(1.5f / 8388608), 2},
        {"I24TwoAndHalfLsb", Conv::kF2I24, 0, -23, f(2.5f / 8388608), 2},
        {"I24MinusTwoAndHalfLsb", Conv::kF2I24, 0, -23, f(-2.5f / 8388608), i24(-2)},
        {"I24Nan", Conv::kF2I24, 0, -23, kNan, 0},
        {"I24Inf", Conv::kF2I24, 0, -23, kInf, 0x7FFFFF},
        {"I24MinusInf", Conv::kF2I24, 0, -23, kMinusInf, 0x800000},
        {"I24Factor127WritesZero", Conv::kF2I24, 0, 127, f(3.0e38f), 0},
        {"I24Factor200ClampsTo127", Conv::kF2I24, 0, 200, f(-1.0e30f), 0},
        {"I24FactorMinus500ClampsToMinus127", Conv::kF2I24, 0, -500, f(1.0e-32f), i24(1701412)},
        {"I24Unscaled", Conv::kF2I24, 0, 0, f(-12345.5f), i24(-12346)},
        {"I16ToFloatMin", Conv::kI16F, 0, 15, i16(-32768), f(-1.0f)},
        {"I16ToFloatHalf", Conv::kI16F, 0, 15, i16(16384), f(0.5f)},
        {"I16ToFloatFactor200", Conv::kI16F, 0, 200, i16(1), 0x00800000},
        {"I16ToFloatFactorMinus500", Conv::kI16F, 0, -500, i16(1), f(std::ldexp(1.0f, 112))},
        {"I16ToFloatUnscaled", Conv::kI16F, 0, 0, i16(-7), f(-7.0f)},
        {"I32ToFloatMaxRoundsUp", Conv::kI32FS, 0, 31, i32(2147483647), f(1.0f)},
        {"I32ToFloatMin", Conv::kI32FS, 0, 31, i32(-2147483648LL), f(-1.0f)},
        {"I32ToFloatFactor200", Conv::kI32FS, 0, 200, i32(3), f(std::ldexp(3.0f, -126))},
        {"I32ToFloatFactorMinus500", Conv::kI32FS, 0, -500, i32(1), f(std::ldexp(1.0f, 96))},
        {"I24ToFloatMin", Conv::kI24F, 0, 0, 0x800000, f(-8388608.0f)},
        {"I24ToFloatMax", Conv::kI24F, 0, 0, 0x7FFFFF, f(8388607.0f)},
        {"I24ToFloatOne", Conv::kI24F, 0, 0, 0x000001, f(1.0f)},
        {"I32ToFloatTieToEven", Conv::kI32F, 0, 0, i32(16777217), f(16777216.0f)},
        {"I32ToFloatNearest", Conv::kI32F, 0, 0, i32(-2147483647), f(-2147483648.0f)},
    };
}

// NaN of either sign, infinities, and 0 times an infinite factor (a scale
// factor so negative that 2^-sf overflows): every mode, 16 and 32 bits.
std::vector<EdgeCase> nanAndInfinityCases() {
    std::vector<EdgeCase> cases;
    for (Conv c : {Conv::kF2I16, Conv::kF2I32}) {
        bool wide = c == Conv::kF2I32;
        uint32_t max = wide ? i32(2147483647) : i16(32767), min = wide ? i32(-2147483648LL) : i16(-32768);
        for (int mode : {0, 1, 2}) {
            for (int sf : {0, wide ? -31 : -15}) {
                std::string tag = std::string(wide ? "I32" : "I16") + "Mode" + std::to_string(mode) +
                                  (sf ? "Scaled" : "Unscaled");
                uint32_t nanResult = (wide && mode == 2) ? min : 0;
                cases.push_back({tag + "Nan", c, mode, sf, kNan, nanResult});
                cases.push_back({tag + "MinusNan", c, mode, sf, kMinusNan, nanResult});
                cases.push_back({tag + "Inf", c, mode, sf, kInf, max});
                cases.push_back({tag + "MinusInf", c, mode, sf, kMinusInf, min});
            }
            std::string tag = std::string(wide ? "I32" : "I16") + "Mode" + std::to_string(mode);
            cases.push_back({tag + "ZeroTimesInfiniteFactor", c, mode, -5000, f(0.0f), (wide && mode == 2) ? min : 0});
            cases.push_back({tag + "InfTimesZeroFactor", c, mode, 5000, kInf, (wide && mode == 2) ? min : 0});
            cases.push_back({tag + "TinyFactorGivesZero", c, mode, 5000, f(1.0e30f), 0});
        }
    }
    return cases;
}

class ConversionEdges : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(ConversionEdges, OneElementGivesTheExpectedBytes) {
    const EdgeCase& e = GetParam();
    SpBuffer<uint8_t> in(inWidth(e.conv), 3), out(outWidth(e.conv), 1);
    std::memcpy(in.bytes(), &e.input, inWidth(e.conv));
    ASSERT_EQ(runConv(e.conv, in.data(), out.data(), 1, e.mode, e.sf), SP_STS_OK);
    uint32_t got = 0;
    std::memcpy(&got, out.bytes(), outWidth(e.conv));
    EXPECT_EQ(got, e.expected) << std::hex << "got 0x" << got << " expected 0x" << e.expected;
    EXPECT_TRUE(out.checkCanaries());
}

auto caseName = [](const ::testing::TestParamInfo<EdgeCase>& info) { return info.param.name; };
INSTANTIATE_TEST_SUITE_P(EdgeList, ConversionEdges, ::testing::ValuesIn(edgeList()), caseName);
INSTANTIATE_TEST_SUITE_P(NanAndInfinity, ConversionEdges, ::testing::ValuesIn(nanAndInfinityCases()), caseName);

// Every entry at byte offsets 0-15 of both arrays and lengths 1-40 gives the
// bytes of an aligned run over the same inputs and writes nothing outside.
struct Shape {
    const char* name;
    Conv conv;
    int mode;
    int sf;
};

class ConversionShapes : public ::testing::TestWithParam<Shape> {
protected:
    static constexpr int kMaxLen = 40;
    std::vector<uint8_t> inputBytes(size_t elements) const {
        std::vector<uint8_t> bytes(elements * inWidth(GetParam().conv));
        uint32_t state = 12345;
        for (size_t i = 0; i < bytes.size(); ++i) {
            state = state * 1664525u + 1013904223u;
            bytes[i] = (uint8_t)(state >> 24);
        }
        if (inWidth(GetParam().conv) == 4 && GetParam().conv <= Conv::kF2I24) {
            for (size_t i = 0; i < elements; ++i) {  // floats near full scale, some beyond
                float v = (float)((int)(i * 2654435761u % 4001) - 2000) / 1700.0f;
                std::memcpy(&bytes[i * 4], &v, 4);
            }
        }
        return bytes;
    }
};

TEST_P(ConversionShapes, OffsetsAndLengthsMatchTheAlignedRun) {
    const Shape& s = GetParam();
    const size_t wi = inWidth(s.conv), wo = outWidth(s.conv);
    std::vector<uint8_t> input = inputBytes(kMaxLen);
    SpBuffer<uint8_t> refIn(input, 0), refOut(kMaxLen * wo, 0);
    ASSERT_EQ(runConv(s.conv, refIn.data(), refOut.data(), kMaxLen, s.mode, s.sf), SP_STS_OK);
    for (size_t offset = 0; offset < 16; ++offset) {
        for (int len = 1; len <= kMaxLen; ++len) {
            SpBuffer<uint8_t> in(std::vector<uint8_t>(input.begin(), input.begin() + len * wi), offset);
            SpBuffer<uint8_t> out(len * wo, (offset * 7) % 16);
            ASSERT_EQ(runConv(s.conv, in.data(), out.data(), len, s.mode, s.sf), SP_STS_OK);
            ASSERT_EQ(std::memcmp(out.bytes(), refOut.bytes(), len * wo), 0) << "offset " << offset << " len " << len;
            ASSERT_TRUE(out.checkCanaries()) << "offset " << offset << " len " << len;
            ASSERT_TRUE(in.checkCanaries());
        }
    }
}

// A guard page right after (or right before) each array: the entry reads and
// writes no byte beyond its elements.
TEST_P(ConversionShapes, ArraysAgainstGuardPages) {
    const Shape& s = GetParam();
    const size_t wi = inWidth(s.conv), wo = outWidth(s.conv);
    for (int len : {1, 3, 7, 17, 40}) {
        std::vector<uint8_t> input = inputBytes(len);
        for (auto side : {GuardedRegion::kGuardAfter, GuardedRegion::kGuardBefore}) {
            SpGuardedBuffer<uint8_t> in(len * wi, side), out(len * wo, side);
            in.assign(input);
            EXPECT_EQ(runConv(s.conv, in.data(), out.data(), len, s.mode, s.sf), SP_STS_OK);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Entries, ConversionShapes,
    ::testing::Values(Shape{"F32ToI16Trunc", Conv::kF2I16, 0, -15}, Shape{"F32ToI16Nearest", Conv::kF2I16, 1, -15},
                      Shape{"F32ToI16HalfAway", Conv::kF2I16, 2, 0}, Shape{"F32ToI32Trunc", Conv::kF2I32, 0, -31},
                      Shape{"F32ToI32HalfAway", Conv::kF2I32, 2, -31}, Shape{"F32ToI24", Conv::kF2I24, 0, -23},
                      Shape{"I16ToF32", Conv::kI16F, 0, 15}, Shape{"I32ToF32Scaled", Conv::kI32FS, 0, 31},
                      Shape{"I24ToF32", Conv::kI24F, 0, 0}, Shape{"I32ToF32", Conv::kI32F, 0, 0}),
    [](const ::testing::TestParamInfo<Shape>& info) { return info.param.name; });

TEST(ConversionInPlace, IntToFloatAndFloatToIntOnOneArray) {
    std::vector<int32_t> values = {0, 1, -1, 16777217, -2147483647 - 1, 2147483647, 123456789};
    std::vector<float> expected;
    for (int32_t v : values) expected.push_back((float)v);
    std::vector<int32_t> data = values;
    ASSERT_EQ(spI32ToF32(data.data(), reinterpret_cast<float*>(data.data()), (int)data.size()), SP_STS_OK);
    for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(floatBits(expected[i]), (uint32_t)data[i]) << i;
    std::vector<float> floats = {0.25f, -0.5f, 1.0f, -1.0f, 0.75f};
    std::vector<int32_t> ints = {536870912, -1073741824, 2147483647, -2147483647 - 1, 1610612736};
    std::vector<uint32_t> buffer(floats.size());
    std::memcpy(buffer.data(), floats.data(), floats.size() * 4);
    ASSERT_EQ(spF32ToI32Scaled(reinterpret_cast<float*>(buffer.data()), reinterpret_cast<int32_t*>(buffer.data()),
                               (int)buffer.size(), 0, -31),
              SP_STS_OK);
    for (size_t i = 0; i < ints.size(); ++i) EXPECT_EQ((int32_t)buffer[i], ints[i]) << i;
}

}  // namespace
}  // namespace sptest

// Zero, fill, copy, move, scale, add, add-constant and divide-by-constant:
// the edge lists, overlap handling, the byte kernels at every offset, and
// the 2^29 length guard of the byte-count bodies.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "primitives/convert/entry_table_a.h"
#include "primitives/convert/sp_gen.h"
#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/ulp.h"

namespace sptest {
namespace {

constexpr uint32_t kNanPayload = 0x7FC12345u, kSnan = 0x7FA5A5A5u;
const float kInf = INFINITY;

std::vector<uint32_t> bitsOf(const std::vector<float>& v) {
    std::vector<uint32_t> b;
    for (float f : v) b.push_back(floatBits(f));
    return b;
}

// In-place operation over a fixed input, expected bit patterns.
struct InPlaceCase {
    std::string name;
    SpStatus (*entry)(float, float*, int);
    float val;
    std::vector<uint32_t> input;
    std::vector<uint32_t> expected;
    SpStatus status;
};

std::vector<InPlaceCase> inPlaceCases() {
    const uint32_t inf = 0x7F800000u, minusInf = 0xFF800000u, zero = 0, minusZero = 0x80000000u;
    const std::vector<uint32_t> specials = {inf, minusInf, kNanPayload, kSnan, floatBits(2.5f)};
    return {
        {"ScaleByZeroClearsEverything", spScaleF32InPlace, 0.0f, specials, {zero, zero, zero, zero, zero}, SP_STS_OK},
        {"ScaleByMinusZeroClearsToPlusZero", spScaleF32InPlace, -0.0f, specials, {zero, zero, zero, zero, zero},
         SP_STS_OK},
        {"ScaleByOneKeepsNanBits", spScaleF32InPlace, 1.0f, specials, specials, SP_STS_OK},
        {"ScaleByNanGivesNan", spScaleF32InPlace, NAN, {floatBits(1.0f)}, {floatBits(NAN)}, SP_STS_OK},
        {"ScaleByTwo", spScaleF32InPlace, 2.0f, {floatBits(-3.0f), inf}, {floatBits(-6.0f), inf}, SP_STS_OK},
        {"AddPlusZeroKeepsMinusZero", spAddConstF32InPlace, 0.0f, {minusZero}, {minusZero}, SP_STS_OK},
        {"AddMinusZeroKeepsMinusZero", spAddConstF32InPlace, -0.0f, {minusZero, kSnan}, {minusZero, kSnan},
         SP_STS_OK},
        {"AddConstant", spAddConstF32InPlace, 1e-12f, {floatBits(1.0f), minusZero},
         {floatBits(1.0f + 1e-12f), floatBits(1e-12f)}, SP_STS_OK},
        {"DivideByMinusZeroIsAnError", spDivConstF32InPlace, -0.0f, {floatBits(1.0f)}, {floatBits(1.0f)},
         SP_STS_DIV_BY_ZERO_ERR},
        {"DivideByInfinityClearsEvenNans", spDivConstF32InPlace, kInf, specials, {zero, zero, zero, zero, zero},
         SP_STS_OK},
        {"DivideByMinusInfinityClears", spDivConstF32InPlace, -kInf, {floatBits(-3.0f)}, {zero}, SP_STS_OK},
        {"DivideByNanGivesNan", spDivConstF32InPlace, NAN, {floatBits(4.0f)}, {floatBits(NAN)}, SP_STS_OK},
        {"DivideByOneKeepsBits", spDivConstF32InPlace, 1.0f, {kSnan, minusZero}, {kSnan, minusZero}, SP_STS_OK},
        {"DivideBy2Pow23IsExact", spDivConstF32InPlace, 8388608.0f, {0x4B7FFFFFu, 0xCB000000u},
         {floatBits(16777215.0f / 8388608.0f), floatBits(-1.0f)}, SP_STS_OK},
        // 1310720 is the 16.16 decibel divisor: x * (1/1310720) rounds the
        // reciprocal first, and for 5 that differs from 5 / 1310720.
        {"DivideMultipliesByTheRoundedReciprocal", spDivConstF32InPlace, 1310720.0f, {floatBits(5.0f)},
         {floatBits(5.0f * (1.0f / 1310720.0f))}, SP_STS_OK},
    };
}

class InPlaceEdges : public ::testing::TestWithParam<InPlaceCase> {};

TEST_P(InPlaceEdges, GiveTheExpectedBits) {
    const InPlaceCase& c = GetParam();
    SpBuffer<uint32_t> data(c.input, 4);
    EXPECT_EQ(c.entry(c.val, reinterpret_cast<float*>(data.data()), (int)c.input.size()), c.status);
    for (size_t i = 0; i < c.expected.size(); ++i) {
        if (std::isnan(bitsFloat(c.expected[i])) && c.expected[i] != kSnan && c.expected[i] != kNanPayload)
            EXPECT_TRUE(std::isnan(bitsFloat(data.get(i)))) << i;
        else
            EXPECT_EQ(data.get(i), c.expected[i]) << i;
    }
    EXPECT_TRUE(data.checkCanaries());
}

INSTANTIATE_TEST_SUITE_P(EdgeList, InPlaceEdges, ::testing::ValuesIn(inPlaceCases()),
                         [](const ::testing::TestParamInfo<InPlaceCase>& info) { return info.param.name; });

TEST(DivideByConstant, RoundedReciprocalDiffersFromTrueDivisionSomewhere) {
    int differ = 0;
    for (int v = 1; v < 2000; ++v) {
        float x = (float)v, got = x;
        ASSERT_EQ(spDivConstF32InPlace(1310720.0f, &got, 1), SP_STS_OK);
        EXPECT_EQ(floatBits(got), floatBits(x * (1.0f / 1310720.0f)));
        differ += floatBits(got) != floatBits(x / 1310720.0f);
    }
    EXPECT_GT(differ, 0);
}

// spMoveF32 against memmove: src and dst in one arena, shifted by +-1..17
// bytes, for several counts; the bytes outside dst stay as they were.
TEST(MoveF32, MatchesMemmoveForEveryShift) {
    for (int shift : {1, -1, 2, -2, 3, -3, 4, -4, 8, -8, 17, -17}) {
        for (int count : {1, 3, 7, 31, 64, 65, 1000}) {
            const size_t arena = (size_t)count * 4 + 64;
            SpBuffer<uint8_t> got(arena, 0);
            std::vector<uint8_t> want(arena);
            for (size_t i = 0; i < arena; ++i) want[i] = (uint8_t)(i * 37 + shift);
            got.assign(want);
            size_t srcOffset = 24, dstOffset = (size_t)(24 + shift);
            std::memmove(want.data() + dstOffset, want.data() + srcOffset, (size_t)count * 4);
            ASSERT_EQ(spMoveF32(reinterpret_cast<float*>(got.bytes() + srcOffset),
                                reinterpret_cast<float*>(got.bytes() + dstOffset), count),
                      SP_STS_OK);
            ASSERT_EQ(got.values(), want) << "shift " << shift << " count " << count;
            ASSERT_TRUE(got.checkCanaries());
        }
    }
}

TEST(MoveF32, SameArrayChangesNothing) {
    std::vector<float> v = {1, 2, 3};
    EXPECT_EQ(spMoveF32(v.data(), v.data(), 3), SP_STS_OK);
    EXPECT_EQ(v, (std::vector<float>{1, 2, 3}));
}

// The byte kernels at every dst offset 0-15 and every count 0-40 units:
// exactly the counted bytes change.
TEST(ByteKernels, ZeroFillAndCopyTouchExactlyTheirBytes) {
    for (size_t offset = 0; offset < 16; ++offset) {
        for (int units = 0; units <= 40; ++units) {
            SpBuffer<uint8_t> zero(units, offset), copy(units, offset), src(units, (offset + 5) % 16);
            SpBuffer<uint8_t> fill((size_t)units * 4, offset);
            zero.fillBytes(0xEE);
            for (int i = 0; i < units; ++i) src.set(i, (uint8_t)(i + 1));
            ASSERT_EQ(spZeroKernel_Gen(zero.data(), units), zero.data());
            ASSERT_EQ(spCopyKernel_Gen(src.data(), copy.data(), units), copy.data());
            ASSERT_EQ(spFill32Kernel_Gen(0xA1B2C3D4u, fill.data(), units), fill.data());
            for (int i = 0; i < units; ++i) {
                ASSERT_EQ(zero.get(i), 0) << offset << "/" << units;
                ASSERT_EQ(copy.get(i), (uint8_t)(i + 1)) << offset << "/" << units;
                uint32_t word;
                std::memcpy(&word, fill.bytes() + 4 * i, 4);
                ASSERT_EQ(word, 0xA1B2C3D4u) << offset << "/" << units;
            }
            ASSERT_TRUE(zero.checkCanaries() && copy.checkCanaries() && fill.checkCanaries())
                << "offset " << offset << " units " << units;
        }
    }
}

// A copy of 1-7 bytes to a dst 1-3 bytes past a 4-byte boundary stops when
// the count runs out instead of copying on to the boundary.
TEST(ByteKernels, ShortCopyToMisalignedDstStaysInsideItsCount) {
    for (size_t offset = 1; offset <= 3; ++offset) {
        for (int count = 1; count <= 7; ++count) {
            SpBuffer<uint8_t> src(std::vector<uint8_t>(count, 0x42), 0), dst(count, offset);
            spCopyKernel_Gen(src.data(), dst.data(), count);
            ASSERT_TRUE(dst.checkCanaries()) << "offset " << offset << " count " << count;
            SpGuardedBuffer<uint8_t> guarded(count, GuardedRegion::kGuardAfter);
            spCopyKernel_Gen(src.data(), guarded.data(), count);
        }
    }
}

TEST(SetI32, WritesExactlyLenWords) {
    SpBuffer<int32_t> dst(13, 8);
    ASSERT_EQ(spSetI32_Gen(-7, dst.data(), 13), SP_STS_OK);
    for (size_t i = 0; i < 13; ++i) EXPECT_EQ(dst.get(i), -7);
    EXPECT_TRUE(dst.checkCanaries());
}

TEST(ZeroF32, TwoBytesPastABoundaryClearsExactlyLenTimes4) {
    SpBuffer<float> dst(37, 2);
    dst.fillBytes(0xFF);
    ASSERT_EQ(spZeroF32(dst.data(), 37), SP_STS_OK);
    for (size_t i = 0; i < 37; ++i) EXPECT_EQ(floatBits(dst.get(i)), 0u);
    EXPECT_TRUE(dst.checkCanaries());
}

// Zero, move and copy turn len into a 32-bit byte count; from 2^29 on they
// refuse before writing (and so do the bodies that delegate to them).
TEST(ByteCountGuard, LengthsFrom2Pow29AreRefusedBeforeWriting) {
    SpBuffer<float> a(8, 0), b(8, 0);
    a.fillBytes(0x33);
    b.fillBytes(0x44);
    std::vector<float> before = b.values();
    for (int len : {1 << 29, (1 << 29) + 1, INT32_MAX}) {
        EXPECT_EQ(spZeroF32_Gen(b.data(), len), SP_STS_SIZE);
        EXPECT_EQ(spMoveF32_Gen(a.data(), b.data(), len), SP_STS_SIZE);
        EXPECT_EQ(spCopyF32_Gen(a.data(), b.data(), len), SP_STS_SIZE);
        EXPECT_EQ(spScaleF32InPlace(0.0f, b.data(), len), SP_STS_SIZE);
        EXPECT_EQ(spScaleF32(a.data(), 1.0f, b.data(), len), SP_STS_SIZE);
    }
    EXPECT_EQ(bitsOf(b.values()), bitsOf(before));
    EXPECT_TRUE(a.checkCanaries() && b.checkCanaries());
}

TEST(AddInPlace, SameArrayAndDisjointArrays) {
    std::vector<float> a = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::vector<float> b = {10, 20, 30, 40, 50, 60, 70, 80, 90};
    ASSERT_EQ(spAddF32InPlace(a.data(), b.data(), 9), SP_STS_OK);
    EXPECT_EQ(b, (std::vector<float>{11, 22, 33, 44, 55, 66, 77, 88, 99}));
    ASSERT_EQ(spAddF32InPlace(a.data(), a.data(), 9), SP_STS_OK);
    EXPECT_EQ(a, (std::vector<float>{2, 4, 6, 8, 10, 12, 14, 16, 18}));
}

}  // namespace
}  // namespace sptest

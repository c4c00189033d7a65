// Entry tables and dispatch: which body stands in every cell and the
// argument-check order of every built entry.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "primitives/convert/sp_alloc.h"
#include "primitives/convert/sp_cpu.h"
#include "primitives/convert/sp_gen.h"
#include "primitives/fft/sp_fft_cpu.h"
#include "primitives/fft/sp_fft_gen.h"
#include "primitives/fft_simd/sp_fft_simd.h"
#include "primitives/filter/cpu/sp_filter_cpu.h"
#include "primitives/filter/sp_filter_gen.h"
#include "primitives/vector/entry_table_b.h"
#include "primitives/vector/sp_vec_cpu.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/entry_cases.h"
#include "tests/primitives/support/ulp.h"

namespace sptest {
namespace {

// Expected cells of one row, as addresses.
struct RowExpectation {
    const char* entry;
    const void* const* actual;
    const void* expected[SP_BUILD_COUNT];
};

template <typename Fn>
const void* body(Fn* f) {
    return reinterpret_cast<const void*>(f);
}
template <typename Row>
const void* const* cellsOf(const Row& row) {
    return reinterpret_cast<const void* const*>(&row[0]);
}

#define CELLS(table, name) #name, cellsOf(table.name)
#define SAME(table, name, b) {CELLS(table, name), {body(b), body(b), body(b), body(b)}}
#define ALL_BUILDS(table, name) \
    {CELLS(table, name), {body(name##_Gen), body(name##_Sse3), body(name##_Ssse3), body(name##_Sse41)}}
#define B3_USES_B2(table, name) \
    {CELLS(table, name), {body(name##_Gen), body(name##_Sse3), body(name##_Ssse3), body(name##_Ssse3)}}

std::vector<RowExpectation> expectedTableA() {
    return {
        ALL_BUILDS(spEntryTableA, spZeroF32),
        ALL_BUILDS(spEntryTableA, spF32ToI16Scaled),
        ALL_BUILDS(spEntryTableA, spF32ToI32Scaled),
        ALL_BUILDS(spEntryTableA, spI16ToF32Scaled),
        {CELLS(spEntryTableA, spI32ToF32Scaled),
         {body(spI32ToF32Scaled_Gen), body(spI32ToF32Scaled_Gen), body(spI32ToF32Scaled_Ssse3),
          body(spI32ToF32Scaled_Ssse3)}},
        ALL_BUILDS(spEntryTableA, spI24ToF32),
        ALL_BUILDS(spEntryTableA, spF32ToI24Scaled),
        B3_USES_B2(spEntryTableA, spAddF32InPlace),
        ALL_BUILDS(spEntryTableA, spDivConstF32InPlace),
        ALL_BUILDS(spEntryTableA, spMoveF32),
        ALL_BUILDS(spEntryTableA, spScaleF32InPlace),
        ALL_BUILDS(spEntryTableA, spFirInit),
        ALL_BUILDS(spEntryTableA, spFirStateSize),
        ALL_BUILDS(spEntryTableA, spFirMultirateInit),
        ALL_BUILDS(spEntryTableA, spFirMultirateStateSize),
        ALL_BUILDS(spEntryTableA, spFirFilterF32),
        ALL_BUILDS(spEntryTableA, spFirOneDirectF32),
        ALL_BUILDS(spEntryTableA, spIirFilterF32InPlace),
        B3_USES_B2(spEntryTableA, spIirStateSize),
        ALL_BUILDS(spEntryTableA, spIirInit),
        ALL_BUILDS(spEntryTableA, spI32ToF32),
        B3_USES_B2(spEntryTableA, spAddConstF32InPlace),
        ALL_BUILDS(spEntryTableA, spInterleaveF32),
        ALL_BUILDS(spEntryTableA, spDeinterleaveF32),
        ALL_BUILDS(spEntryTableA, spPowF32),
    };
}

std::vector<RowExpectation> expectedTableB() {
    return {
        ALL_BUILDS(spEntryTableB, spCopyF32),
        ALL_BUILDS(spEntryTableB, spSetF32),
        ALL_BUILDS(spEntryTableB, spScaleF32),
        ALL_BUILDS(spEntryTableB, spSqrtF32InPlace),
        ALL_BUILDS(spEntryTableB, spAbsF32InPlace),
        ALL_BUILDS(spEntryTableB, spMaxF32),
        ALL_BUILDS(spEntryTableB, spMinF32),
        ALL_BUILDS(spEntryTableB, spComplexFftCreate),
        SAME(spEntryTableB, spComplexFftDestroy, spComplexFftDestroy_Gen),
        ALL_BUILDS(spEntryTableB, spComplexFftForward),
        SAME(spEntryTableB, spMallocF32, spMallocF32_Gen),
        SAME(spEntryTableB, spFree, spFreeAligned),
        ALL_BUILDS(spEntryTableB, spReverseF32),
        B3_USES_B2(spEntryTableB, spMulF32InPlace),
        B3_USES_B2(spEntryTableB, spAddF32),
        B3_USES_B2(spEntryTableB, spSubF32),
        B3_USES_B2(spEntryTableB, spMulF32),
        SAME(spEntryTableB, spAddProductF32, spAddProductF32_Gen),
        ALL_BUILDS(spEntryTableB, spSquareF32),
        ALL_BUILDS(spEntryTableB, spDivF32),
        ALL_BUILDS(spEntryTableB, spExpF32InPlace),
        ALL_BUILDS(spEntryTableB, spLnF32InPlace),
        ALL_BUILDS(spEntryTableB, spSumF32),
        ALL_BUILDS(spEntryTableB, spMeanF32),
        ALL_BUILDS(spEntryTableB, spMinEveryF32InPlace),
        ALL_BUILDS(spEntryTableB, spMaxEveryF32InPlace),
        ALL_BUILDS(spEntryTableB, spDotProductF32),
        ALL_BUILDS(spEntryTableB, spRealFftCreate),
        SAME(spEntryTableB, spRealFftDestroy, spRealFftDestroy_Gen),
        ALL_BUILDS(spEntryTableB, spRealFftForward),
        ALL_BUILDS(spEntryTableB, spRealFftInverse),
        ALL_BUILDS(spEntryTableB, spMulPackedSpectraF32),
        ALL_BUILDS(spEntryTableB, spIirCreate),
        SAME(spEntryTableB, spIirDestroy, spIirDestroy_Gen),
        ALL_BUILDS(spEntryTableB, spIirFilterF32),
        ALL_BUILDS(spEntryTableB, spFirCreate),
        SAME(spEntryTableB, spFirDestroy, spFirDestroy_Gen),
        ALL_BUILDS(spEntryTableB, spUpsampleF32),
        ALL_BUILDS(spEntryTableB, spDownsampleF32),
        B3_USES_B2(spEntryTableB, spAddScaledF32),
    };
}

void expectCells(const std::vector<RowExpectation>& rows, size_t tableRows) {
    ASSERT_EQ(rows.size(), tableRows);
    for (const RowExpectation& row : rows)
        for (int b = 0; b < SP_BUILD_COUNT; ++b)
            EXPECT_EQ(row.actual[b], row.expected[b]) << row.entry << " column " << b;
}

TEST(EntryTables, EveryCellHoldsItsBody) {
    expectCells(expectedTableA(), sizeof(SpEntryTableA) / sizeof(spEntryTableA.spZeroF32));
    expectCells(expectedTableB(), sizeof(SpEntryTableB) / sizeof(spEntryTableB.spCopyF32));
}

// The scale bodies reach the float copy through one slot per build, each
// holding its own build's copy.
TEST(EntryTables, ScaleCopySlotsHoldTheirBuildsCopy) {
    EXPECT_EQ(spScaleF32Copy_Sse3, &spCopyF32_Sse3);
    EXPECT_EQ(spScaleF32Copy_Ssse3, &spCopyF32_Ssse3);
    EXPECT_EQ(spScaleF32Copy_Sse41, &spCopyF32_Sse41);
}

TEST(EntryTables, DispatchIndexStartsAtTheGenericBuild) { EXPECT_EQ(spDispatchIndex.load(), SP_BUILD_GEN); }

// Calls an entry with value-initialised arguments (NULL pointers, zeros).
template <typename... Args>
SpStatus callWithZeros(SpStatus (*entry)(Args...)) {
    return entry(Args{}...);
}

// Every column of the FFT and filter rows holds a body that checks its
// pointers first: all-zero arguments answer SP_STS_NULL_PTR.
TEST(EntryTables, FftAndFilterColumnsAnswerNullPointers) {
    for (int b = 0; b < SP_BUILD_COUNT; ++b) {
        ScopedDispatchIndex index(b);
        for (SpStatus s : {callWithZeros(spComplexFftDestroy), callWithZeros(spRealFftDestroy),
                           callWithZeros(spComplexFftCreate), callWithZeros(spRealFftCreate),
                           callWithZeros(spIirDestroy), callWithZeros(spFirDestroy),
                           callWithZeros(spComplexFftForward), callWithZeros(spRealFftForward),
                           callWithZeros(spRealFftInverse), callWithZeros(spMulPackedSpectraF32),
                           callWithZeros(spCopyF32), callWithZeros(spFirOneDirectF32),
                           callWithZeros(spUpsampleF32), callWithZeros(spDownsampleF32),
                           callWithZeros(spFirStateSize), callWithZeros(spFirMultirateStateSize),
                           callWithZeros(spFirInit), callWithZeros(spFirMultirateInit),
                           callWithZeros(spFirFilterF32), callWithZeros(spFirCreate),
                           callWithZeros(spIirFilterF32InPlace), callWithZeros(spIirStateSize),
                           callWithZeros(spIirInit), callWithZeros(spIirCreate), callWithZeros(spIirFilterF32)})
            EXPECT_EQ(s, SP_STS_NULL_PTR) << "column " << b;
    }
}

// Three canaried areas of 64 floats (256 bytes) that stand behind the
// pointer slots; every byte starts as kFill.
class EntryArgs {
public:
    static constexpr uint8_t kFill = 0x5A;
    EntryArgs() {
        for (auto& a : areas_) std::memset(a, kFill, sizeof a);
    }
    void* slot(int k) { return areas_[k]; }
    bool untouched() const {
        for (const auto& a : areas_)
            for (float f : a) {
                uint32_t bits;
                std::memcpy(&bits, &f, 4);
                if (bits != 0x5A5A5A5Au) return false;
            }
        return true;
    }
    void fillValid() {
        for (auto& a : areas_)
            for (float& f : a) f = 1.25f;
    }

private:
    alignas(16) float areas_[3][64];
};


std::vector<EntryCase> tableEntries() {
    std::vector<EntryCase> entries;
    for (const EntryCase& e : builtEntryCases())
        if (e.row != nullptr) entries.push_back(e);
    return entries;
}

class BuiltEntries : public ::testing::TestWithParam<EntryCase> {};
class BuiltTableEntries : public ::testing::TestWithParam<EntryCase> {};

TEST_P(BuiltEntries, NullInAnyPointerSlotWithLengthZeroIsNullPtr) {
    const EntryCase& e = GetParam();
    for (int nullSlot = 0; nullSlot < e.pointerSlots; ++nullSlot) {
        EntryArgs args;
        void* p[3] = {args.slot(0), args.slot(1), args.slot(2)};
        p[nullSlot] = nullptr;
        EXPECT_EQ(e.call(p, 0), SP_STS_NULL_PTR) << "slot " << nullSlot;
        EXPECT_EQ(e.call(p, 4), SP_STS_NULL_PTR) << "slot " << nullSlot;
        EXPECT_TRUE(args.untouched()) << "slot " << nullSlot;
    }
}

TEST_P(BuiltEntries, LengthZeroOrNegativeIsSizeAndWritesNothing) {
    const EntryCase& e = GetParam();
    for (int len : {0, -1, INT32_MIN}) {
        EntryArgs args;
        void* p[3] = {args.slot(0), args.slot(1), args.slot(2)};
        EXPECT_EQ(e.call(p, len), SP_STS_SIZE) << "len " << len;
        EXPECT_TRUE(args.untouched()) << "len " << len;
    }
}

// Every CPU column of a built row passes the valid call like the generic one.
TEST_P(BuiltTableEntries, CpuColumnsRunTheirBody) {
    const EntryCase& e = GetParam();
    for (int b = 1; b < SP_BUILD_COUNT; ++b) {
        EntryArgs args;
        args.fillValid();
        void* p[3] = {args.slot(0), args.slot(1), args.slot(2)};
        ScopedDispatchIndex index(b);
        if (!cpuHasBuild(b)) continue;
        EXPECT_GE(e.call(p, 4), SP_STS_OK) << "column " << b;
    }
}

auto entryName = [](const ::testing::TestParamInfo<EntryCase>& info) { return std::string(info.param.name); };
INSTANTIATE_TEST_SUITE_P(All, BuiltEntries, ::testing::ValuesIn(builtEntryCases()), entryName);
INSTANTIATE_TEST_SUITE_P(All, BuiltTableEntries, ::testing::ValuesIn(tableEntries()), entryName);

// Channel checks of interleave and deinterleave come after the pointer
// array and block, in the order channel count, length, channel pointers.
TEST(ChannelChecks, ChannelCountBeforeLengthAndChannelPointersAfterBoth) {
    alignas(16) float block[64] = {};
    alignas(16) float channels[3][16] = {};
    const float* in[3] = {channels[0], channels[1], nullptr};
    float* out[3] = {channels[0], channels[1], nullptr};
    EXPECT_EQ(spInterleaveF32(in, 0, 0, block), SP_STS_NUM_CHANNELS);
    EXPECT_EQ(spDeinterleaveF32(block, 0, 0, out), SP_STS_NUM_CHANNELS);
    EXPECT_EQ(spInterleaveF32(in, 3, 0, block), SP_STS_SIZE);
    EXPECT_EQ(spDeinterleaveF32(block, -5, 4, out), SP_STS_NUM_CHANNELS);
    std::memset(block, 0x77, sizeof block);
    EXPECT_EQ(spInterleaveF32(in, 3, 4, block), SP_STS_NULL_PTR);
    for (float f : block) EXPECT_EQ(floatBits(f), 0x77777777u);
    std::memset(channels, 0x77, sizeof channels);
    EXPECT_EQ(spDeinterleaveF32(block, 3, 4, out), SP_STS_NULL_PTR);
    for (auto& ch : channels)
        for (float f : ch) EXPECT_EQ(floatBits(f), 0x77777777u);
}

TEST(DivisorChecks, ZeroDivisorOfEitherSignIsAnErrorWithDataUntouched) {
    for (float zero : {0.0f, -0.0f}) {
        float data[5] = {1, 2, 3, 4, 5};
        float out[5] = {9, 9, 9, 9, 9};
        EXPECT_EQ(spDivConstF32InPlace(zero, data, 5), SP_STS_DIV_BY_ZERO_ERR);
        EXPECT_EQ(spDivConstF32_Gen(data, zero, out, 5), SP_STS_DIV_BY_ZERO_ERR);
        EXPECT_EQ(data[4], 5.0f);
        EXPECT_EQ(out[0], 9.0f);
        EXPECT_EQ(spDivConstF32InPlace(zero, nullptr, 0), SP_STS_NULL_PTR);
        EXPECT_EQ(spDivConstF32InPlace(zero, data, 0), SP_STS_SIZE);
    }
}

}  // namespace
}  // namespace sptest

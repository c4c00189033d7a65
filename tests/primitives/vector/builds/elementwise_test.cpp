// Element-wise entries at builds 1-3 against the generic build: every array
// at byte offsets {0, 1, 2, 4, 8, 12} past a 16-byte boundary, lengths 1-40
// and the streaming threshold, NaN payloads and signed zeros in the data,
// the whole image compared (a store outside an array differs).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <functional>
#include <string>
#include <vector>

#include "primitives/convert/sp_cpu.h"
#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/special_values.h"
#include "tests/primitives/support/ulp.h"
#include "tests/primitives/vector/builds/vec_image.h"

namespace sptest {
namespace {

constexpr size_t kOffsets[] = {0, 1, 2, 4, 8, 12};

// One entry in the differential shape: `arrays` float arrays, the entry
// called on them, array `out` written.
struct DiffEntry {
    std::string name;
    int arrays;
    int out;
    const void* const* row;  // table B cells, for forEachBuild
    std::function<SpStatus(float* const* a, int len)> call;
    // Accept differences in NaN slots where both builds wrote a NaN: entries
    // of two operands, whose two-NaN lanes have no fixed payload.
    bool nanSlots;
};

void PrintTo(const DiffEntry& e, std::ostream* os) { *os << e.name; }

template <typename Fn>
const void* const* rowOf(Fn* const (&row)[SP_BUILD_COUNT]) {
    return reinterpret_cast<const void* const*>(&row[0]);
}

std::vector<DiffEntry> diffEntries() {
    const float setValue = bitsFloat(0xFFEDCBA9u);
    return {
        {"Set", 1, 0, rowOf(spEntryTableB.spSetF32),
         [setValue](float* const* a, int n) { return spSetF32(setValue, a[0], n); }, false},
        {"Abs", 1, 0, rowOf(spEntryTableB.spAbsF32InPlace),
         [](float* const* a, int n) { return spAbsF32InPlace(a[0], n); }, false},
        {"Square", 2, 1, rowOf(spEntryTableB.spSquareF32),
         [](float* const* a, int n) { return spSquareF32(a[0], a[1], n); }, false},
        {"SquareInPlace", 1, 0, rowOf(spEntryTableB.spSquareF32),
         [](float* const* a, int n) { return spSquareF32(a[0], a[0], n); }, false},
        {"Reverse", 2, 1, rowOf(spEntryTableB.spReverseF32),
         [](float* const* a, int n) { return spReverseF32(a[0], a[1], n); }, false},
        {"MulInPlace", 2, 1, rowOf(spEntryTableB.spMulF32InPlace),
         [](float* const* a, int n) { return spMulF32InPlace(a[0], a[1], n); }, true},
        {"Add", 3, 2, rowOf(spEntryTableB.spAddF32),
         [](float* const* a, int n) { return spAddF32(a[0], a[1], a[2], n); }, true},
        {"AddIntoFirst", 2, 0, rowOf(spEntryTableB.spAddF32),
         [](float* const* a, int n) { return spAddF32(a[0], a[1], a[0], n); }, true},
        {"Sub", 3, 2, rowOf(spEntryTableB.spSubF32),
         [](float* const* a, int n) { return spSubF32(a[0], a[1], a[2], n); }, true},
        {"SubIntoSecond", 2, 1, rowOf(spEntryTableB.spSubF32),
         [](float* const* a, int n) { return spSubF32(a[0], a[1], a[1], n); }, true},
        {"Mul", 3, 2, rowOf(spEntryTableB.spMulF32),
         [](float* const* a, int n) { return spMulF32(a[0], a[1], a[2], n); }, true},
    };
}

// Calls fn(build) for each CPU build of the entry's row this processor runs.
void forEachRowBuild(const DiffEntry& e, const std::function<void(int)>& fn) {
    using AnyFn = SpStatus(float*, int);
    forEachBuild(*reinterpret_cast<AnyFn* const(*)[SP_BUILD_COUNT]>(e.row), [&](int build) {
        if (build != SP_BUILD_GEN) fn(build);
    });
}

void compareOnce(const DiffEntry& e, int build, const VecLayout& layout, uint64_t seed) {
    std::vector<std::vector<float>> values;
    for (int k = 0; k < layout.arrays; ++k) values.push_back(mixedFloats(seed * 3 + (uint64_t)k, layout.len));
    ImageCall call = [&](std::vector<uint8_t>& image) {
        float* a[3] = {};
        for (int k = 0; k < layout.arrays; ++k) a[k] = layout.array(image, k);
        return e.call(a, (int)layout.len);
    };
    AcceptDifference accept = nullptr;
    if (e.nanSlots)
        accept = [&](const std::vector<uint8_t>& g, const std::vector<uint8_t>& o) {
            return differOnlyInNanSlots(layout, e.out, g, o);
        };
    compareWithGeneric(build, makeImage(layout, values), call, accept);
}

// Every combination of offsets for the entry's arrays at one length.
void compareAllOffsets(const DiffEntry& e, int build, size_t len) {
    VecLayout layout;
    layout.len = len;
    layout.arrays = e.arrays;
    size_t combos = 1;
    for (int k = 0; k < e.arrays; ++k) combos *= std::size(kOffsets);
    for (size_t c = 0; c < combos; ++c) {
        size_t rest = c;
        for (int k = 0; k < e.arrays; ++k, rest /= std::size(kOffsets)) layout.offset[k] = kOffsets[rest % std::size(kOffsets)];
        SCOPED_TRACE(::testing::Message() << "len " << len << " offsets " << layout.offset[0] << "/"
                                          << layout.offset[1] << "/" << layout.offset[2]);
        compareOnce(e, build, layout, len * 1000 + c);
        if (::testing::Test::HasFailure()) return;
    }
}

class VecBuildsMatchGeneric : public ::testing::TestWithParam<DiffEntry> {};

TEST_P(VecBuildsMatchGeneric, AtEveryOffsetAndShortLength) {
    const DiffEntry& e = GetParam();
    forEachRowBuild(e, [&](int build) {
        for (size_t len = 1; len <= 40; ++len) compareAllOffsets(e, build, len);
    });
}

// Around the streaming threshold of add and subtract (10922 blocks of 8).
TEST_P(VecBuildsMatchGeneric, AroundTheStreamingThreshold) {
    const DiffEntry& e = GetParam();
    forEachRowBuild(e, [&](int build) {
        for (size_t len : {87376u, 87384u}) {
            VecLayout layout;
            layout.len = len;
            layout.arrays = e.arrays;
            for (size_t off : {0u, 4u}) {
                for (int k = 0; k < e.arrays; ++k) layout.offset[k] = off;
                SCOPED_TRACE(::testing::Message() << "len " << len << " offset " << off);
                uint64_t before = spNtCalls[SP_NT_ADD_SUB].load();
                compareOnce(e, build, layout, len + off);
                // 87,384 floats from a 16-byte boundary are 10,923 blocks:
                // add and subtract stream them; 87,376 (10,922) do not.
                bool streams = (e.name == "Add" || e.name == "Sub" || e.name == "AddIntoFirst" ||
                                e.name == "SubIntoSecond") && off == 0 && len == 87384;
                EXPECT_EQ(spNtCalls[SP_NT_ADD_SUB].load() - before, streams ? 1u : 0u);
            }
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Entries, VecBuildsMatchGeneric, ::testing::ValuesIn(diffEntries()),
                         [](const ::testing::TestParamInfo<DiffEntry>& info) { return info.param.name; });

}  // namespace
}  // namespace sptest

// Bit-reversal kernels of the three CPU builds and their table builders:
// every member, every n it handles and every alignment path against the
// brute-force reversal.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "primitives/fft/sp_fft_cpu.h"
#include "primitives/fft/sp_fft_gen.h"
#include "primitives/fft_simd/sp_fft_simd.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/fft_kernel_support.h"

namespace {

using sptest::revBits;

enum class Table { Pairs, IndexList, Large };
enum class Form { InPlace, Copy };

// One member as a call over raw bytes: (src, dst, n, table, work); in-place
// members get src == dst.
using MemberCall = std::function<void(const void*, void*, int, const int32_t*, uint8_t*)>;

struct Member {
    std::string name;
    int elemBytes;
    Table table;
    Form form;
    int smallest;  // the smallest n it permutes (smaller n: nothing, or no table read)
    MemberCall call[3];
};

template <typename T>
MemberCall inPlace(void (*f)(T*, int, const int32_t*)) {
    return [f](const void*, void* d, int n, const int32_t* t, uint8_t*) { f(static_cast<T*>(d), n, t); };
}
template <typename T>
MemberCall copy(void (*f)(const T*, T*, int, const int32_t*)) {
    return [f](const void* s, void* d, int n, const int32_t* t, uint8_t*) {
        f(static_cast<const T*>(s), static_cast<T*>(d), n, t);
    };
}
MemberCall large(void (*f)(float*, int, const int32_t*, uint8_t*)) {
    return [f](const void*, void* d, int n, const int32_t* t, uint8_t* w) { f(static_cast<float*>(d), n, t, w); };
}

#define SP_BR_BUILDS(wrap, name) {wrap(name##_Sse3), wrap(name##_Ssse3), wrap(name##_Sse41)}

const std::vector<Member>& members() {
    static const std::vector<Member> all = {
        {"Pairs32", 4, Table::Pairs, Form::InPlace, 4, SP_BR_BUILDS(inPlace, spFftBitReversePairs32)},
        {"Pairs32Alt", 4, Table::Pairs, Form::InPlace, 4, SP_BR_BUILDS(inPlace, spFftBitReversePairs32Alt)},
        {"Pairs64", 8, Table::Pairs, Form::InPlace, 4, SP_BR_BUILDS(inPlace, spFftBitReversePairs64)},
        {"Pairs", 8, Table::Pairs, Form::InPlace, 4, SP_BR_BUILDS(inPlace, spFftBitReversePairs)},
        {"Pairs64Alt", 8, Table::Pairs, Form::InPlace, 4, SP_BR_BUILDS(inPlace, spFftBitReversePairs64Alt)},
        {"Pairs128", 16, Table::Pairs, Form::InPlace, 4, SP_BR_BUILDS(inPlace, spFftBitReversePairs128)},
        {"PairsCopy32", 4, Table::Pairs, Form::Copy, 1, SP_BR_BUILDS(copy, spFftBitReversePairsCopy32)},
        {"PairsCopy64", 8, Table::Pairs, Form::Copy, 1, SP_BR_BUILDS(copy, spFftBitReversePairsCopy64)},
        {"InPlaceF32", 4, Table::IndexList, Form::InPlace, 8, SP_BR_BUILDS(inPlace, spFftBitReverseInPlaceF32)},
        {"InPlace", 8, Table::IndexList, Form::InPlace, 8, SP_BR_BUILDS(inPlace, spFftBitReverseInPlace)},
        {"InPlaceF64", 8, Table::IndexList, Form::InPlace, 8, SP_BR_BUILDS(inPlace, spFftBitReverseInPlaceF64)},
        {"InPlaceComplexF64", 16, Table::IndexList, Form::InPlace, 8,
         SP_BR_BUILDS(inPlace, spFftBitReverseInPlaceComplexF64)},
        {"CopyF32", 4, Table::IndexList, Form::Copy, 8, SP_BR_BUILDS(copy, spFftBitReverseCopyF32)},
        {"Copy", 8, Table::IndexList, Form::Copy, 8, SP_BR_BUILDS(copy, spFftBitReverseCopy)},
        {"CopyF64", 8, Table::IndexList, Form::Copy, 8, SP_BR_BUILDS(copy, spFftBitReverseCopyF64)},
        {"CopyComplexF64", 16, Table::IndexList, Form::Copy, 8, SP_BR_BUILDS(copy, spFftBitReverseCopyComplexF64)},
        {"InPlaceLarge", 8, Table::Large, Form::InPlace, 4096, SP_BR_BUILDS(large, spFftBitReverseInPlaceLarge)},
    };
    return all;
}

// The table a member reads for 2^L elements (empty where none is read).
std::vector<int32_t> tableFor(Table t, int L) {
    std::vector<int32_t> table((size_t{1} << (L > 2 ? L - 2 : 0)) + 1100, -1);
    if (t == Table::Pairs && L >= 2) spFftBuildBitRevTable_Gen(L, table.data());
    if (t == Table::IndexList && L >= 2) spFftBuildBitRevIndexList_Sse3(L, table.data());
    if (t == Table::Large && L >= 12) spFftBuildBitRevTableLarge_Sse3(L, 6, table.data());
    return table;
}

// Element i carries its index in every 4-byte word.
void fillIndexed(uint8_t* p, size_t n, int elemBytes) {
    for (size_t i = 0; i < n; ++i)
        for (int w = 0; w < elemBytes / 4; ++w) {
            const uint32_t v = static_cast<uint32_t>(i) * 4 + static_cast<uint32_t>(w);
            std::memcpy(p + i * elemBytes + 4 * w, &v, 4);
        }
}

// Checks position i holds element rev_L(i), or element i when `identity`.
::testing::AssertionResult holdsReversal(const uint8_t* p, size_t n, int L, int elemBytes, bool identity) {
    for (size_t i = 0; i < n; ++i) {
        const uint32_t from = identity ? static_cast<uint32_t>(i) : revBits(static_cast<uint32_t>(i), L);
        for (int w = 0; w < elemBytes / 4; ++w) {
            uint32_t v;
            std::memcpy(&v, p + i * elemBytes + 4 * w, 4);
            if (v != from * 4 + static_cast<uint32_t>(w))
                return ::testing::AssertionFailure() << "position " << i << " word " << w << " holds " << v;
        }
    }
    return ::testing::AssertionSuccess();
}

// Runs a member over 2^L elements at byte offset `offset` from a 64-byte
// boundary and checks the order, the canaries and the work area's tail.
void checkMember(const Member& m, int build, int L, size_t offset) {
    const size_t n = size_t{1} << L;
    const size_t bytes = n * m.elemBytes;
    std::vector<uint8_t> srcStore(bytes + 128, 0x5A), dstStore(bytes + 128, 0x5A);
    auto at = [offset](std::vector<uint8_t>& v) {
        return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(v.data()) + 63) & ~uintptr_t{63}) + offset;
    };
    uint8_t* src = at(srcStore);
    uint8_t* dst = m.form == Form::Copy ? at(dstStore) : src;
    fillIndexed(src, n, m.elemBytes);
    const std::vector<int32_t> table = tableFor(m.table, L);
    sptest::PoisonedWork work(65536, 4096);
    m.call[build - 1](src, dst, static_cast<int>(n), table.data(), work.data());
    // Below its smallest size an in-place member leaves the data alone.
    const bool untouched = m.form == Form::InPlace && static_cast<int>(n) < m.smallest;
    ASSERT_TRUE(holdsReversal(dst, n, L, m.elemBytes, untouched))
        << m.name << " n " << n << " offset " << offset;
    for (std::vector<uint8_t>* v : {&srcStore, &dstStore}) {
        uint8_t* start = at(*v);
        for (uint8_t* p = v->data(); p < v->data() + v->size(); ++p) {
            const bool inside = p >= start && p < start + bytes;
            ASSERT_TRUE(inside || *p == 0x5A) << m.name << " n " << n << ": byte outside the array written";
        }
    }
    ASSERT_TRUE(work.untouchedFrom(65536)) << m.name << " n " << n << ": work written past 64 KiB";
}

// The largest L of the quick run; 19 to 22 run under the long label's
// program (FFT_SIMD_LONG).
#ifdef SP_FFT_SIMD_LONG
constexpr int kFirstL = 19, kLastL = 22;
#else
constexpr int kFirstL = 1, kLastL = 18;
#endif

TEST(BitReversal, EveryMemberSizeAndAlignmentGivesTheReversedOrder) {
    for (int build = 1; build <= 3; ++build) {
        if (!sptest::cpuHasBuild(build)) {
            std::printf("[ note     ] %s: not supported by this CPU, skipped\n", sptest::buildName(build));
            continue;
        }
        SCOPED_TRACE(sptest::buildName(build));
        for (const Member& m : members()) {
            for (int L = kFirstL; L <= kLastL; ++L) {
                if (m.table == Table::IndexList && L < 3) continue;  // block kernels: 8 and from 16
                for (size_t offset : {size_t{0}, size_t{8}, size_t{4}}) {
                    if (L > 18 && offset == 8) continue;  // the two paths of the long sizes: 0 and 4
                    checkMember(m, build, L, offset);
                }
            }
        }
    }
}

#ifndef SP_FFT_SIMD_LONG
// Page-guarded tables: n = 8 and the pair copies below 8 run with a null
// table, a block kernel at n = 16 reads only entry 0, right before a
// PROT_NONE page.
TEST(BitReversal, SmallSizesReadNoMoreTableThanTheyNeed) {
    void* pages = mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(static_cast<uint8_t*>(pages) + 4096, 4096, PROT_NONE), 0);
    int32_t* lastEntry = reinterpret_cast<int32_t*>(static_cast<uint8_t*>(pages) + 4096) - 1;
    *lastEntry = 0;
    for (int build = 1; build <= 3; ++build) {
        if (!sptest::cpuHasBuild(build)) continue;
        for (const Member& m : members()) {
            if (m.table == Table::Large) continue;
            const int32_t* table = m.table == Table::IndexList ? lastEntry : nullptr;
            const std::vector<int> sizes = m.table == Table::IndexList ? std::vector<int>{8, 16}
                                           : m.form == Form::Copy      ? std::vector<int>{1, 2, 4}
                                                                       : std::vector<int>{1, 2};
            for (int n : sizes) {
                const int L = __builtin_ctz(static_cast<unsigned>(n));
                std::vector<uint8_t> a(n * m.elemBytes), b(n * m.elemBytes);
                fillIndexed(a.data(), n, m.elemBytes);
                m.call[build - 1](a.data(), m.form == Form::Copy ? b.data() : a.data(), n, n == 8 ? nullptr : table,
                                  nullptr);
                const bool unchanged = m.form == Form::InPlace && m.table == Table::Pairs;
                EXPECT_TRUE(holdsReversal(m.form == Form::Copy ? b.data() : a.data(), n, L, m.elemBytes, unchanged))
                    << sptest::buildName(build) << " " << m.name << " n " << n;
            }
        }
    }
    munmap(pages, 8192);
}

TEST(BitReversal, InPlacePairsWithFourElementsSwapOnlyTheMiddle) {
    const int32_t table[2] = {0, 0};
    for (int build = 1; build <= 3; ++build) {
        if (!sptest::cpuHasBuild(build)) continue;
        std::vector<float> data = {10, 11, 12, 13};
        members()[0].call[build - 1](data.data(), data.data(), 4, table, nullptr);
        EXPECT_EQ(data, (std::vector<float>{10, 12, 11, 13})) << sptest::buildName(build);
    }
}

TEST(BitRevBuilders, PairTableExamplesAndEnds) {
    const std::vector<std::vector<int32_t>> examples = {
        {0, 0}, {0, 4, 0}, {4, 8, 0, 12, 0}, {4, 16, 12, 24, 0, 28, 20, 8, 0}};
    alignas(32) int32_t table[64];
    std::fill(std::begin(table), std::end(table), -7);
    EXPECT_EQ(spFftBuildBitRevTable_Ssse3(1, table), table);
    EXPECT_EQ(table[0], -7);
    for (int L = 2; L <= 5; ++L) {
        std::fill(std::begin(table), std::end(table), -7);
        const std::vector<int32_t>& want = examples[L - 2];
        int32_t* end = spFftBuildBitRevTable_Ssse3(L, table);
        EXPECT_EQ(std::vector<int32_t>(table, table + want.size()), want) << L;
        EXPECT_EQ(end, table + ((want.size() + 7) & ~size_t{7})) << L;
        EXPECT_EQ(table[want.size()], -7) << L;
    }
}

TEST(BitRevBuilders, SsseTableEqualsTheGenericOneAndTheLargeTableTilesIt) {
    for (int L = 2; L <= 20; ++L) {
        const size_t M = size_t{1} << (L - 2);
        std::vector<int32_t> a(M + 16, -7), b(M + 16, -7);
        const int32_t* endA = spFftBuildBitRevTable_Ssse3(L, a.data());
        const int32_t* endB = spFftBuildBitRevTable_Gen(L, b.data());
        EXPECT_EQ(a, b) << L;
        auto alignedEnd = [M](const int32_t* t) {
            return reinterpret_cast<const int32_t*>((reinterpret_cast<uintptr_t>(t + M + 1) + 31) & ~uintptr_t{31});
        };
        EXPECT_EQ(endA, alignedEnd(a.data())) << L;
        EXPECT_EQ(endB, alignedEnd(b.data())) << L;
    }
    std::vector<int32_t> pairs(1025 + 16, -7);
    spFftBuildBitRevTable_Gen(12, pairs.data());
    using Builder = int32_t* (*)(int, int, int32_t*);
    for (Builder build : {Builder{spFftBuildBitRevTableLarge_Sse3}, Builder{spFftBuildBitRevTableLarge_Ssse3}}) {
        alignas(32) int32_t table[2 + 1025 + 40];
        std::fill(std::begin(table), std::end(table), -7);
        const int32_t* end = build(13, 6, table);
        EXPECT_EQ(table[0], 0);
        EXPECT_EQ(table[1], 64);
        EXPECT_TRUE(std::equal(table + 2, table + 2 + 1025, pairs.begin()));
        EXPECT_EQ(end, table + ((2 + 1025 + 7) & ~size_t{7}));
    }
}
#endif

}  // namespace

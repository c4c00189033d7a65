// The FFT's constant and computed tables: the 1024-point sine table, the
// computed sine tables, the bit-reverse swap table and the split table.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <vector>

#include "primitives/fft/sp_fft_gen.h"

namespace {

TEST(SinTable1024, EveryEntryIsTheRoundedDoubleSine) {
    for (int j = 0; j < SP_SIN_TABLE_1024_LEN; ++j) {
        const float expected = static_cast<float>(std::sin(2.0 * M_PI * j / 1024.0));
        EXPECT_EQ(SP_SIN_TABLE_1024[j], expected) << "j = " << j;
    }
    EXPECT_EQ(SP_SIN_TABLE_1024[0], 0.0f);
    EXPECT_EQ(SP_SIN_TABLE_1024[128], 0.70710677f);
    EXPECT_EQ(SP_SIN_TABLE_1024[256], 1.0f);
}

TEST(ComputedSinTable, QuarterWaveEndingInExactlyOne) {
    for (int order = 11; order <= 16; ++order) {
        const int quarter = (1 << order) / 4;
        std::vector<float> table(quarter + 64, -7.0f);
        float* end = spFftBuildSinTable_Gen(order, table.data());
        EXPECT_EQ(end, sp::gen::alignUp32(table.data() + quarter + 1));
        EXPECT_EQ(table[0], 0.0f);
        EXPECT_EQ(table[quarter], 1.0f);
        for (int j = 0; j <= quarter; j += 37) {
            EXPECT_NEAR(table[j], std::sin(2.0 * M_PI * j / (1 << order)), 6e-8) << j;
        }
        // Orders above 10 at stride 2^(order - 10) agree with the constant table.
        const int stride = 1 << (order - 10);
        for (int j = 0; j <= 256; ++j) {
            EXPECT_NEAR(table[j * stride], SP_SIN_TABLE_1024[j], 6e-8) << j;
        }
    }
}

TEST(BitRevTable, Order4TableIsZeroFourZero) {
    int32_t table[3] = {-1, -1, -1};
    spFftBuildBitRevTable_Gen(3, table);
    EXPECT_EQ(table[0], 0);
    EXPECT_EQ(table[1], 4);
    EXPECT_EQ(table[2], 0);
    int32_t untouched = -5;
    EXPECT_EQ(spFftBuildBitRevTable_Gen(1, &untouched), &untouched);
    EXPECT_EQ(untouched, -5);
}

unsigned reverseBits(unsigned v, int bits) {
    unsigned r = 0;
    for (int b = 0; b < bits; ++b) r |= ((v >> b) & 1u) << (bits - 1 - b);
    return r;
}

// Both permutations, driven by the table, against a brute-force L-bit
// reversal of point indexes.
TEST(BitRevTable, PermutationsMatchBruteForceReversal) {
    for (int L = 2; L <= 12; ++L) {
        const int n = 1 << L;
        std::vector<int32_t> table(n / 4 + 1 + 8, -1);
        spFftBuildBitRevTable_Gen(L, table.data());
        std::vector<float> points(2 * n);
        for (int i = 0; i < n; ++i) {
            points[2 * i] = static_cast<float>(i);
            points[2 * i + 1] = static_cast<float>(-i);
        }
        std::vector<float> inPlace = points;
        spFftBitReverseInPlace_Gen(inPlace.data(), n, table.data());
        std::vector<float> copied(2 * n, 12345.0f);
        spFftBitReverseCopy_Gen(points.data(), copied.data(), n, table.data());
        for (int i = 0; i < n; ++i) {
            const float from = static_cast<float>(reverseBits(i, L));
            EXPECT_EQ(inPlace[2 * i], from) << "L " << L << " point " << i;
            EXPECT_EQ(inPlace[2 * i + 1], -from);
            EXPECT_EQ(copied[2 * i], from) << "L " << L << " point " << i;
            EXPECT_EQ(copied[2 * i + 1], -from);
        }
    }
}

TEST(SplitTable, PinnedEntriesAndSum) {
    EXPECT_EQ(SP_FFT_SPLIT_TABLE[11], 0);
    EXPECT_EQ(SP_FFT_SPLIT_TABLE[12], 0);
    EXPECT_EQ(SP_FFT_SPLIT_TABLE[13], 5);
    EXPECT_EQ(SP_FFT_SPLIT_TABLE[19], 10);
    EXPECT_EQ(SP_FFT_SPLIT_TABLE[23], 8);
    EXPECT_EQ(SP_FFT_SPLIT_TABLE[30], 10);
    EXPECT_EQ(std::accumulate(SP_FFT_SPLIT_TABLE, SP_FFT_SPLIT_TABLE + SP_FFT_MAX_ORDER + 1, 0), 158);
    // Every length ends after at most two splits, in a radix-4 or blocked
    // inner transform.
    for (int L = 11; L <= SP_FFT_MAX_ORDER; ++L) {
        int inner = L, splits = 0;
        while (inner > 10 && SP_FFT_SPLIT_TABLE[inner] != 0) {
            inner -= SP_FFT_SPLIT_TABLE[inner];
            ++splits;
        }
        EXPECT_LE(splits, 2) << L;
        EXPECT_TRUE(inner <= 12) << L;
    }
}

}  // namespace

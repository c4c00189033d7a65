// Aligned allocator: layout, pool accounting under "SPRM", failures.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "nt/pool.h"
#include "primitives/convert/sp_alloc.h"
#include "primitives/convert/sp_gen.h"
#include "primitives/vector/entry_table_b.h"
#include "sim/pool.h"

namespace {

const ULONG kTag = MakePoolTag("SPRM");

class AlignedAlloc : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        sim::PoolClearFailures();
        liveAtStart_ = sim::PoolLiveBlocks(kTag);
    }
    void TearDown() override {
        sim::PoolClearFailures();
        EXPECT_EQ(sim::PoolLiveBlocks(kTag), liveAtStart_) << sim::PoolLeakReport();
    }
    int64_t liveAtStart_ = 0;
};

void* rawOf(void* block) {
    void* raw;
    std::memcpy(&raw, (char*)block - sizeof(void*), sizeof raw);
    return raw;
}

TEST_P(AlignedAlloc, BlockIsAlignedAndCarvedFromAPoolBlockOfNPlus40) {
    int n = GetParam();
    void* p = spMallocAligned(n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ((uintptr_t)p % 32, 0u);
    void* raw = rawOf(p);
    EXPECT_EQ(sim::PoolBlockSize(raw), (SIZE_T)n + 40);
    EXPECT_EQ(sim::PoolBlockTag(raw), kTag);
    EXPECT_EQ(sim::PoolBlockType(raw), NonPagedPoolNx);
    ptrdiff_t offset = (char*)p - (char*)raw;
    EXPECT_GE(offset, 8);
    EXPECT_LE(offset, 39);
    std::memset(p, 0x11, (size_t)n);  // the whole block is usable (ASan checks the end)
    spFreeAligned(p);
}

INSTANTIATE_TEST_SUITE_P(Sizes, AlignedAlloc, ::testing::Values(1, 7, 32, 4096));

TEST(AlignedAllocFailures, NonPositiveSizesAndExhaustionGiveNullWithoutLeaks) {
    int64_t live = sim::PoolLiveBlocks(kTag);
    sim::PoolResetCounters();
    EXPECT_EQ(spMallocAligned(0), nullptr);
    EXPECT_EQ(spMallocAligned(-5), nullptr);
    EXPECT_EQ(sim::PoolAllocationAttempts(), 0u);
    sim::PoolFailTag(kTag);
    EXPECT_EQ(spMallocAligned(64), nullptr);
    EXPECT_EQ(spMallocF32(16), nullptr);
    sim::PoolClearFailures();
    sim::PoolFailNth(1);
    EXPECT_EQ(spMallocAligned(64), nullptr);
    sim::PoolClearFailures();
    spFreeAligned(nullptr);
    spFree(nullptr);
    EXPECT_EQ(sim::PoolLiveBlocks(kTag), live);
}

TEST(MallocF32, AsksLenTimes4Plus40AndFreesThroughTheEntry) {
    int64_t live = sim::PoolLiveBlocks(kTag);
    float* p = spMallocF32(1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ((uintptr_t)p % 32, 0u);
    EXPECT_EQ(sim::PoolBlockSize(rawOf(p)), 44u);
    spFree(p);
    EXPECT_EQ(sim::PoolLiveBlocks(kTag), live);
}

// Past 1,073,741,813 the pool size len * 4 + 40 no longer fits 32 bits:
// NULL, and the pool is not asked.
TEST(MallocF32, LengthsWhoseByteCountOverflowsThePoolSizeGiveNull) {
    sim::PoolResetCounters();
    for (int len : {0, -1, 1073741814, INT_MAX}) EXPECT_EQ(spMallocF32(len), nullptr) << len;
    EXPECT_EQ(sim::PoolAllocationAttempts(), 0u);
}

TEST(PoolHooks, SizesBeyond32BitsAreRefusedInsteadOfTruncated) {
    sim::PoolResetCounters();
    EXPECT_EQ(spPoolAlloc((size_t)1 << 32), nullptr);
    EXPECT_EQ(spPoolAlloc(((size_t)1 << 32) + 16), nullptr);
    EXPECT_EQ(sim::PoolAllocationAttempts(), 0u);
    void* p = spPoolAlloc(24);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(sim::PoolBlockTag(p), kTag);
    spPoolFree(p);
    EXPECT_EQ(spMemHooks.realloc(p, 10), nullptr);
}

}  // namespace

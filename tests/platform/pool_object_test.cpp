#include <gtest/gtest.h>

#include <cstring>

#include "nt/mm.h"
#include "nt/pool.h"
#include "sim/object.h"
#include "sim/pool.h"

namespace {

constexpr ULONG kTag = MakePoolTag("Test");

class PoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::PoolClearFailures();
        baseline_ = sim::PoolLiveBlocks();
    }
    void TearDown() override {
        sim::PoolClearFailures();
        EXPECT_EQ(sim::PoolLiveBlocks(), baseline_) << sim::PoolLeakReport();
    }
    int64_t baseline_ = 0;
};

TEST_F(PoolTest, TagReadsInMemoryOrder) {
    ULONG tag = MakePoolTag("PcCr");
    EXPECT_EQ(0, std::memcmp(&tag, "PcCr", 4));
    EXPECT_EQ("PcCr", sim::PoolTagName(tag));
}

TEST_F(PoolTest, BlocksArePoisonedAndCountedPerTag) {
    auto* p = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, 13, kTag));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    for (int i = 0; i < 13; ++i) EXPECT_EQ(p[i], sim::kPoolAllocPoison);
    EXPECT_EQ(sim::PoolLiveBlocks(kTag), 1);
    EXPECT_EQ(sim::PoolBlockSize(p), 13u);
    EXPECT_NE(sim::PoolLeakReport().find("'Test': 1 blocks, 13 bytes"), std::string::npos);
    ExFreePoolWithTag(p, kTag);
    EXPECT_EQ(sim::PoolLiveBlocks(kTag), 0);
}

// A block of a page or more starts on a page, as a driver mapping whole
// pages into user mode relies on; the double-free check still finds it.
TEST_F(PoolTest, BlocksOfAPageOrMoreStartOnAPage) {
    for (SIZE_T bytes : {SIZE_T(PAGE_SIZE - 1), SIZE_T(PAGE_SIZE), SIZE_T(3 * PAGE_SIZE + 40)}) {
        auto* p = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kTag));
        ASSERT_NE(p, nullptr);
        if (bytes >= PAGE_SIZE) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % PAGE_SIZE, 0u) << bytes;
        }
        EXPECT_EQ(sim::PoolBlockSize(p), bytes);
        p[bytes - 1] = 1;
        ExFreePoolWithTag(p, kTag);
    }
    EXPECT_EQ(sim::PoolLiveBlocks(kTag), 0);
}

TEST_F(PoolTest, FailureInjection) {
    sim::PoolFailNth(2);
    PVOID a = ExAllocatePoolWithTag(PagedPool, 8, kTag);
    PVOID b = ExAllocatePoolWithTag(PagedPool, 8, kTag);
    PVOID c = ExAllocatePoolWithTag(PagedPool, 8, kTag);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_NE(c, nullptr);
    ExFreePool(a);
    ExFreePool(c);

    sim::PoolFailTag(kTag);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kTag), nullptr);
    PVOID other = ExAllocatePoolWithTag(PagedPool, 8, MakePoolTag("Othr"));
    EXPECT_NE(other, nullptr);
    ExFreePool(other);
    sim::PoolClearFailures();

    sim::PoolFailAfter(1);
    PVOID d = ExAllocatePoolWithTag(PagedPool, 8, kTag);
    EXPECT_NE(d, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kTag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kTag), nullptr);
    ExFreePool(d);
}

TEST(PoolDeathTest, DoubleFreeAndWrongTagBugcheck) {
    PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 4, kTag);
    EXPECT_DEATH(ExFreePoolWithTag(p, MakePoolTag("Nope")), "wrong tag");
    ExFreePool(p);
}

int g_deleted = 0;
void CountDelete(PVOID) { ++g_deleted; }
_OBJECT_TYPE kTestType{"TestObject", CountDelete};

TEST_F(PoolTest, ObjectLivesUntilLastReferenceAndHandle) {
    g_deleted = 0;
    PVOID obj = sim::ObCreateObject(&kTestType, 24, kTag);
    ASSERT_NE(obj, nullptr);
    HANDLE h = sim::ObCreateHandle(obj);
    ObDereferenceObject(obj);
    EXPECT_EQ(g_deleted, 0);
    PVOID again = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(h, 0, &kTestType, KernelMode, &again, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(again, obj);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);
    EXPECT_EQ(g_deleted, 0);
    ObDereferenceObject(again);
    EXPECT_EQ(g_deleted, 1);
}

TEST_F(PoolTest, PermanentNamedObjectSurvivesLastDereference) {
    g_deleted = 0;
    PVOID obj = sim::ObCreateObject(&kTestType, 8, kTag);
    ASSERT_EQ(sim::ObInsertNamed(obj, u"\\Callback\\Name", true), STATUS_SUCCESS);
    PVOID twin = sim::ObCreateObject(&kTestType, 8, kTag);
    EXPECT_EQ(sim::ObInsertNamed(twin, u"\\callback\\NAME", false), STATUS_OBJECT_NAME_COLLISION);
    ObDereferenceObject(twin);
    g_deleted = 0;
    ObDereferenceObject(obj);
    EXPECT_EQ(g_deleted, 0);
    EXPECT_EQ(sim::ObPermanentCount(), 1u);
    PVOID found = sim::ObLookupNamed(u"\\CALLBACK\\name", &kTestType);
    EXPECT_EQ(found, obj);
    ObDereferenceObject(found);
    sim::ObResetNamespace();
    EXPECT_EQ(g_deleted, 1);
    EXPECT_EQ(sim::ObPermanentCount(), 0u);
}

}  // namespace

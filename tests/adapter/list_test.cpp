// CList: one table over the operations and their edge cases. Every row
// builds a list, runs one operation and checks its result, what it wrote,
// and the whole list afterwards (order, links both ways, count, tail).
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "adapter/base/list.h"
#include "sim/pool.h"

namespace {

PVOID Item(intptr_t v) { return reinterpret_cast<PVOID>(v); }

const PVOID kUntouched = Item(0xDEAD);

POSITION PositionAt(const CList& list, int index) {
    POSITION pos = list.GetHeadPosition();
    for (int i = 0; i < index && pos; ++i) pos = pos->pNext;
    return pos;
}

struct ListCase {
    const char* name;
    std::vector<intptr_t> initial;  // added with AddTail
    std::function<BOOLEAN(CList&, PVOID*)> op;
    BOOLEAN result;
    PVOID out;                     // *out after the operation
    std::vector<intptr_t> after;  // contents afterwards
    uint64_t failAllocation = 0;   // PoolFailNth before the operation
};

std::ostream& operator<<(std::ostream& os, const ListCase& c) { return os << c.name; }

// Operations that return a position report whether it is non-NULL.
BOOLEAN Made(POSITION pos) { return pos != NULL; }

const ListCase kCases[] = {
    {"AddHeadToEmpty", {}, [](CList& l, PVOID*) { return Made(l.AddHead(Item(1))); }, TRUE, kUntouched, {1}},
    {"AddHead", {1, 2}, [](CList& l, PVOID*) { return Made(l.AddHead(Item(0))); }, TRUE, kUntouched, {0, 1, 2}},
    {"AddTailToEmpty", {}, [](CList& l, PVOID*) { return Made(l.AddTail(Item(1))); }, TRUE, kUntouched, {1}},
    {"AddTail", {1, 2}, [](CList& l, PVOID*) { return Made(l.AddTail(Item(3))); }, TRUE, kUntouched, {1, 2, 3}},
    {"AddTailNoMemory", {1}, [](CList& l, PVOID*) { return Made(l.AddTail(Item(2))); }, FALSE, kUntouched, {1}, 1},
    {"AddHeadNoMemory", {1}, [](CList& l, PVOID*) { return Made(l.AddHead(Item(2))); }, FALSE, kUntouched, {1}, 1},
    {"InsertBeforeNullIsFirst", {1, 2}, [](CList& l, PVOID*) { return Made(l.InsertBefore(NULL, Item(0))); }, TRUE,
     kUntouched, {0, 1, 2}},
    {"InsertBeforeNullOnEmpty", {}, [](CList& l, PVOID*) { return Made(l.InsertBefore(NULL, Item(5))); }, TRUE,
     kUntouched, {5}},
    {"InsertBeforeHeadIsFirst", {1, 2},
     [](CList& l, PVOID*) { return Made(l.InsertBefore(l.GetHeadPosition(), Item(0))); }, TRUE, kUntouched,
     {0, 1, 2}},
    {"InsertBeforeMiddle", {1, 3}, [](CList& l, PVOID*) { return Made(l.InsertBefore(PositionAt(l, 1), Item(2))); },
     TRUE, kUntouched, {1, 2, 3}},
    {"InsertBeforeNoMemory", {1, 3},
     [](CList& l, PVOID*) { return Made(l.InsertBefore(PositionAt(l, 1), Item(2))); }, FALSE, kUntouched, {1, 3}, 1},
    {"GetAtFirst", {1, 2, 3}, [](CList& l, PVOID* o) { return l.GetAt(0, o); }, TRUE, Item(1), {1, 2, 3}},
    {"GetAtLast", {1, 2, 3}, [](CList& l, PVOID* o) { return l.GetAt(2, o); }, TRUE, Item(3), {1, 2, 3}},
    {"GetAtCount", {1, 2}, [](CList& l, PVOID* o) { return l.GetAt(2, o); }, FALSE, kUntouched, {1, 2}},
    {"GetAtEmpty", {}, [](CList& l, PVOID* o) { return l.GetAt(0, o); }, FALSE, kUntouched, {}},
    {"GetAtNegative", {1}, [](CList& l, PVOID* o) { return l.GetAt(-1, o); }, FALSE, kUntouched, {1}},
    {"GetHead", {1, 2}, [](CList& l, PVOID* o) { return l.GetHead(o); }, TRUE, Item(1), {1, 2}},
    {"GetHeadEmpty", {}, [](CList& l, PVOID* o) { return l.GetHead(o); }, FALSE, NULL, {}},
    {"GetHeadNullOut", {1}, [](CList& l, PVOID*) { return l.GetHead(NULL); }, FALSE, kUntouched, {1}},
    {"GetTail", {1, 2}, [](CList& l, PVOID* o) { return l.GetTail(o); }, TRUE, Item(2), {1, 2}},
    {"GetTailEmpty", {}, [](CList& l, PVOID* o) { return l.GetTail(o); }, FALSE, NULL, {}},
    {"GetTailNullOut", {1}, [](CList& l, PVOID*) { return l.GetTail(NULL); }, FALSE, kUntouched, {1}},
    {"GetNextMovesOn", {1, 2},
     [](CList& l, PVOID* o) {
         POSITION pos = l.GetHeadPosition();
         return l.GetNext(pos, o) && pos == PositionAt(l, 1);
     },
     TRUE, Item(1), {1, 2}},
    {"GetNextFromLastEndsAtNull", {1, 2},
     [](CList& l, PVOID* o) {
         POSITION pos = PositionAt(l, 1);
         return l.GetNext(pos, o) && pos == NULL;
     },
     TRUE, Item(2), {1, 2}},
    {"GetNextNull", {1},
     [](CList& l, PVOID* o) {
         POSITION pos = NULL;
         return l.GetNext(pos, o);
     },
     FALSE, kUntouched, {1}},
    {"RemoveHead", {1, 2}, [](CList& l, PVOID* o) { return l.RemoveHead(o); }, TRUE, Item(1), {2}},
    {"RemoveHeadOnly", {1}, [](CList& l, PVOID* o) { return l.RemoveHead(o); }, TRUE, Item(1), {}},
    {"RemoveHeadEmpty", {}, [](CList& l, PVOID* o) { return l.RemoveHead(o); }, FALSE, kUntouched, {}},
    {"RemoveHeadNullOut", {1}, [](CList& l, PVOID*) { return l.RemoveHead(NULL); }, FALSE, kUntouched, {1}},
    {"RemoveAtOnlyEmptiesTheList", {1},
     [](CList& l, PVOID*) {
         l.RemoveAt(l.GetHeadPosition());
         return TRUE;
     },
     TRUE, kUntouched, {}},
    {"RemoveAtHead", {1, 2, 3},
     [](CList& l, PVOID*) {
         l.RemoveAt(PositionAt(l, 0));
         return TRUE;
     },
     TRUE, kUntouched, {2, 3}},
    {"RemoveAtMiddle", {1, 2, 3},
     [](CList& l, PVOID*) {
         l.RemoveAt(PositionAt(l, 1));
         return TRUE;
     },
     TRUE, kUntouched, {1, 3}},
    {"RemoveAtTail", {1, 2, 3},
     [](CList& l, PVOID*) {
         l.RemoveAt(PositionAt(l, 2));
         return TRUE;
     },
     TRUE, kUntouched, {1, 2}},
    {"RemoveAtNullDoesNothing", {1, 2},
     [](CList& l, PVOID*) {
         l.RemoveAt(NULL);
         return TRUE;
     },
     TRUE, kUntouched, {1, 2}},
};

class ListTable : public ::testing::TestWithParam<ListCase> {
protected:
    void SetUp() override { baseline_ = sim::PoolLiveBlocks(); }
    void TearDown() override {
        sim::PoolClearFailures();
        EXPECT_EQ(sim::PoolLiveBlocks(), baseline_) << sim::PoolLeakReport();
    }
    int64_t baseline_ = 0;
};

// Walks the list both ways through the node links.
void ExpectContents(const CList& list, const std::vector<intptr_t>& expected) {
    std::vector<intptr_t> seen;
    POSITION prev = NULL;
    for (POSITION pos = list.GetHeadPosition(); pos; pos = pos->pNext) {
        EXPECT_EQ(pos->pPrev, prev) << "back link of element " << seen.size();
        seen.push_back(reinterpret_cast<intptr_t>(pos->pData));
        prev = pos;
    }
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(list.GetCount(), static_cast<LONG>(expected.size()));
    EXPECT_EQ(list.IsEmpty(), expected.empty());
    PVOID tail = kUntouched;
    EXPECT_EQ(list.GetTail(&tail), !expected.empty());
    EXPECT_EQ(tail, expected.empty() ? NULL : Item(expected.back()));
    if (expected.empty()) {
        EXPECT_EQ(list.GetHeadPosition(), nullptr);
    }
}

TEST_P(ListTable, Operation) {
    const ListCase& c = GetParam();
    CList* list = new (NonPagedPoolNx, MakePoolTag("UtLs")) CList;
    ASSERT_NE(list, nullptr);
    for (intptr_t v : c.initial) ASSERT_NE(list->AddTail(Item(v)), nullptr);
    if (c.failAllocation) sim::PoolFailNth(c.failAllocation);
    PVOID out = kUntouched;
    EXPECT_EQ(c.op(*list, &out), c.result);
    sim::PoolClearFailures();
    EXPECT_EQ(out, c.out);
    ExpectContents(*list, c.after);
    delete list;  // frees the nodes still linked
}

INSTANTIATE_TEST_SUITE_P(CList, ListTable, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CListNodes, ComeFromNonPagedPoolWithTheListTag) {
    CList list;
    POSITION pos = list.AddTail(Item(1));
    ASSERT_NE(pos, nullptr);
    EXPECT_EQ(sim::PoolBlockTag(pos), MakePoolTag('L', 'i', 's', '\0'));
    EXPECT_EQ(sim::PoolBlockType(pos), NonPagedPoolNx);
    EXPECT_EQ(sim::PoolBlockSize(pos), 24u);
}

#ifndef NDEBUG
TEST(CListDeathTest, ForeignPositionIsCaughtInDebugBuilds) {
    CList a, b;
    a.AddTail(Item(1));
    POSITION foreign = b.AddTail(Item(2));
    EXPECT_DEATH(a.RemoveAt(foreign), "another list");
}
#endif

}  // namespace

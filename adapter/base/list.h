// CList: doubly linked list of pointers (head, tail, count). It owns its
// nodes, not the data they point to. It has no lock: its owner serialises
// every access (a spin lock, a CMutexLock, or single-threaded start-up and
// teardown). Nodes come from NonPagedPoolNx, so a list may be used at
// DISPATCH_LEVEL under its owner's spin lock.
//
// Teardown of a list of objects: while not IsEmpty, RemoveHead and Release
// the object; then delete the list.
#pragma once

#include "adapter/base/pool_new.h"

// Tag of the nodes: "Lis" and a zero byte.
constexpr ULONG kListNodeTag = MakePoolTag('L', 'i', 's', '\0');

struct CListNode : public CPoolObject {
    CListNode* pNext;
    CListNode* pPrev;
    PVOID pData;
};
static_assert(sizeof(CListNode) == 24, "a list node is 24 bytes");

// A position is a node of the list; NULL means no element (before the
// first or past the last). A position stays valid until its node is removed.
typedef CListNode* POSITION;

class CList : public CPoolObject {
public:
    CList();
    // Frees the nodes still linked (not their data).
    ~CList();
    CList(const CList&) = delete;
    CList& operator=(const CList&) = delete;

    // Each returns the new element's position, or NULL when no memory.
    POSITION AddHead(PVOID data);
    POSITION AddTail(PVOID data);
    // pos NULL or the head: as AddHead; otherwise the new element goes
    // between pos and its predecessor.
    POSITION InsertBefore(POSITION pos, PVOID data);

    // FALSE, *out untouched, when index is negative or not below the count.
    BOOLEAN GetAt(LONG index, PVOID* out) const;
    LONG GetCount() const { return m_lCount; }
    BOOLEAN IsEmpty() const { return m_lCount == 0; }
    POSITION GetHeadPosition() const { return m_pHead; }
    // FALSE when pos is NULL; else *out = pos's data and pos moves on.
    BOOLEAN GetNext(POSITION& pos, PVOID* out) const;
    // FALSE without writing when out is NULL; FALSE and *out = NULL when empty.
    BOOLEAN GetHead(PVOID* out) const;
    BOOLEAN GetTail(PVOID* out) const;
    // FALSE when out is NULL or the list is empty; else unlinks the head.
    BOOLEAN RemoveHead(PVOID* out);
    // Unlinks and frees pos's node. NULL does nothing. pos must belong to
    // this list (checked in debug builds only, so a node stays 24 bytes).
    VOID RemoveAt(POSITION pos);

private:
    POSITION Link(CListNode* before, PVOID data);
    bool Contains(POSITION pos) const;

    CListNode* m_pHead;
    CListNode* m_pTail;
    volatile LONG m_lCount;
};

// CList: pointer list with 24-byte nodes from non-paged pool.
#include "adapter/base/list.h"

#include <cassert>

#include "nt/ke.h"

CList::CList() : m_pHead(NULL), m_pTail(NULL), m_lCount(0) {}

CList::~CList() {
    while (m_pHead) RemoveAt(m_pHead);
}

// Links a new node in front of `before` (NULL: at the end).
POSITION CList::Link(CListNode* before, PVOID data) {
    CListNode* node = new (NonPagedPoolNx, kListNodeTag) CListNode;
    if (node == NULL) return NULL;
    node->pData = data;
    node->pNext = before;
    node->pPrev = before ? before->pPrev : m_pTail;
    if (node->pPrev) {
        node->pPrev->pNext = node;
    } else {
        m_pHead = node;
    }
    if (before) {
        before->pPrev = node;
    } else {
        m_pTail = node;
    }
    InterlockedIncrement(&m_lCount);
    return node;
}

POSITION CList::AddHead(PVOID data) { return Link(m_pHead, data); }

POSITION CList::AddTail(PVOID data) { return Link(NULL, data); }

POSITION CList::InsertBefore(POSITION pos, PVOID data) {
    assert(pos == NULL || Contains(pos));
    return Link(pos ? pos : m_pHead, data);
}

BOOLEAN CList::GetAt(LONG index, PVOID* out) const {
    if (out == NULL || index < 0 || index >= m_lCount) return FALSE;
    CListNode* node = m_pHead;
    for (LONG i = 0; i < index && node; ++i) node = node->pNext;
    if (node == NULL) return FALSE;
    *out = node->pData;
    return TRUE;
}

BOOLEAN CList::GetNext(POSITION& pos, PVOID* out) const {
    if (pos == NULL || out == NULL) return FALSE;
    *out = pos->pData;
    pos = pos->pNext;
    return TRUE;
}

BOOLEAN CList::GetHead(PVOID* out) const {
    if (out == NULL) return FALSE;
    *out = m_pHead ? m_pHead->pData : NULL;
    return m_pHead != NULL;
}

BOOLEAN CList::GetTail(PVOID* out) const {
    if (out == NULL) return FALSE;
    *out = m_pTail ? m_pTail->pData : NULL;
    return m_pTail != NULL;
}

BOOLEAN CList::RemoveHead(PVOID* out) {
    if (out == NULL || m_pHead == NULL) return FALSE;
    *out = m_pHead->pData;
    RemoveAt(m_pHead);
    return TRUE;
}

VOID CList::RemoveAt(POSITION pos) {
    if (pos == NULL) return;
    assert(Contains(pos) && "RemoveAt of a position of another list");
    if (pos->pPrev) {
        pos->pPrev->pNext = pos->pNext;
    } else {
        m_pHead = pos->pNext;
    }
    if (pos->pNext) {
        pos->pNext->pPrev = pos->pPrev;
    } else {
        m_pTail = pos->pPrev;
    }
    delete pos;
    InterlockedDecrement(&m_lCount);
}

bool CList::Contains(POSITION pos) const {
    for (CListNode* node = m_pHead; node; node = node->pNext)
        if (node == pos) return true;
    return false;
}

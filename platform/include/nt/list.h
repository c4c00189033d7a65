// Doubly linked list heads (LIST_ENTRY) as drivers use them: a head links
// to itself when empty. No locking; the owner serialises access.
#pragma once

#include "nt/types.h"

inline VOID InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }

inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }

inline VOID InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
    entry->Flink = head->Flink;
    entry->Blink = head;
    head->Flink->Blink = entry;
    head->Flink = entry;
}

inline VOID InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
    entry->Flink = head;
    entry->Blink = head->Blink;
    head->Blink->Flink = entry;
    head->Blink = entry;
}

// TRUE when the list is empty afterwards.
inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry) {
    PLIST_ENTRY next = entry->Flink;
    PLIST_ENTRY previous = entry->Blink;
    previous->Flink = next;
    next->Blink = previous;
    return next == previous;
}

// The first entry, unlinked; the head itself when the list is empty.
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
    PLIST_ENTRY entry = head->Flink;
    RemoveEntryList(entry);
    return entry;
}

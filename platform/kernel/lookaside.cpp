// Lookaside lists: a cache of equal-sized pool blocks behind a small lock
// word. Blocks given back are kept up to the list's depth and handed out
// again with their old contents; beyond the depth they go back to pool.
#include <thread>

#include "executor_internal.h"

namespace {

using namespace sim::detail;

constexpr UCHAR kLookasideSignature = 0x4C;
constexpr USHORT kDefaultDepth = 4;

void LockList(PGENERAL_LOOKASIDE l) {
    LONG expected = 0;
    while (!__atomic_compare_exchange_n(&l->Lock, &expected, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        expected = 0;
        std::this_thread::yield();
    }
}

void UnlockList(PGENERAL_LOOKASIDE l) { __atomic_store_n(&l->Lock, 0, __ATOMIC_RELEASE); }

void Check(PGENERAL_LOOKASIDE l, const char* api) {
    if (l == nullptr || l->Signature != kLookasideSignature)
        RuleViolation(std::string(api) + ": the lookaside list was never initialised");
}

void Initialize(PGENERAL_LOOKASIDE l, POOL_TYPE type, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free, SIZE_T size,
                ULONG tag, USHORT depth) {
    l->ListHead.Next = nullptr;
    l->Depth = depth ? depth : kDefaultDepth;
    l->MaximumDepth = l->Depth;
    l->TotalAllocates = l->AllocateMisses = l->TotalFrees = l->FreeMisses = 0;
    l->Type = type;
    l->Tag = tag;
    // A cached block holds the list link, so it is at least that large.
    l->Size = static_cast<ULONG>(size < sizeof(SINGLE_LIST_ENTRY) ? sizeof(SINGLE_LIST_ENTRY) : size);
    l->Allocate = allocate;
    l->Free = free;
    l->ListEntry.Flink = l->ListEntry.Blink = nullptr;
    l->Lock = 0;
    l->Count = 0;
    l->Signature = kLookasideSignature;
}

PVOID Allocate(PGENERAL_LOOKASIDE l) {
    LockList(l);
    ++l->TotalAllocates;
    PSINGLE_LIST_ENTRY entry = l->ListHead.Next;
    if (entry) {
        l->ListHead.Next = entry->Next;
        --l->Count;
    } else {
        ++l->AllocateMisses;
    }
    UnlockList(l);
    if (entry) return entry;
    return l->Allocate ? l->Allocate(l->Type, l->Size, l->Tag) : ExAllocatePoolWithTag(l->Type, l->Size, l->Tag);
}

void GiveBack(PGENERAL_LOOKASIDE l, PVOID block) {
    LockList(l);
    ++l->TotalFrees;
    if (l->Count < l->Depth) {
        auto* entry = static_cast<PSINGLE_LIST_ENTRY>(block);
        entry->Next = l->ListHead.Next;
        l->ListHead.Next = entry;
        ++l->Count;
        UnlockList(l);
        return;
    }
    ++l->FreeMisses;
    UnlockList(l);
    if (l->Free) {
        l->Free(block);
    } else {
        ExFreePool(block);
    }
}

void Delete(PGENERAL_LOOKASIDE l) {
    LockList(l);
    PSINGLE_LIST_ENTRY entry = l->ListHead.Next;
    l->ListHead.Next = nullptr;
    l->Count = 0;
    l->Signature = 0;
    UnlockList(l);
    while (entry) {
        PSINGLE_LIST_ENTRY next = entry->Next;
        if (l->Free) {
            l->Free(entry);
        } else {
            ExFreePool(entry);
        }
        entry = next;
    }
}

POOL_TYPE NonPagedType(ULONG flags) {
    return (flags & POOL_NX_ALLOCATION) ? NonPagedPoolNx : NonPagedPool;
}

}  // namespace

VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free,
                                     ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth) {
    Initialize(&Lookaside->L, NonPagedType(Flags), Allocate, Free, Size, Tag, Depth);
}

VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "ExDeleteNPagedLookasideList");
    Check(&Lookaside->L, "ExDeleteNPagedLookasideList");
    Delete(&Lookaside->L);
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "ExAllocateFromNPagedLookasideList");
    Check(&Lookaside->L, "ExAllocateFromNPagedLookasideList");
    return Allocate(&Lookaside->L);
}

VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "ExFreeToNPagedLookasideList");
    Check(&Lookaside->L, "ExFreeToNPagedLookasideList");
    GiveBack(&Lookaside->L, Entry);
}

VOID ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free,
                                    ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth) {
    UNREFERENCED_PARAMETER(Flags);
    CheckIrqlAtMost(APC_LEVEL, "ExInitializePagedLookasideList");
    Initialize(&Lookaside->L, PagedPool, Allocate, Free, Size, Tag, Depth);
}

VOID ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside) {
    CheckIrqlAtMost(APC_LEVEL, "ExDeletePagedLookasideList");
    Check(&Lookaside->L, "ExDeletePagedLookasideList");
    Delete(&Lookaside->L);
}

PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside) {
    CheckIrqlAtMost(APC_LEVEL, "ExAllocateFromPagedLookasideList");
    Check(&Lookaside->L, "ExAllocateFromPagedLookasideList");
    return Allocate(&Lookaside->L);
}

VOID ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
    CheckIrqlAtMost(APC_LEVEL, "ExFreeToPagedLookasideList");
    Check(&Lookaside->L, "ExFreeToPagedLookasideList");
    GiveBack(&Lookaside->L, Entry);
}

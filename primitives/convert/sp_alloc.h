// The primitives' own allocator: 32-byte aligned blocks carved out of kernel
// pool through a hook table, so the library names no OS call itself.
//
// SpAlignedBlock layout of an allocation of n bytes: the raw pool block is
// n + 40 bytes; the caller's block starts at (raw + 39) & ~31, between 8 and
// 39 bytes in; the 8 bytes just below it hold the raw pool pointer. Contents
// are not initialised. The owner frees a block exactly once, with
// spFreeAligned (or the public spFree), never with the pool routine.
//
// Non-paged pool: callable at IRQL <= DISPATCH_LEVEL; not used per block on
// the data path.
#pragma once

#include <cstddef>
#include <cstdint>

// Pool parameters of every primitive allocation: NonPagedPoolNx, tag "SPRM".
constexpr uint32_t SP_POOL_TAG = 0x4D525053u;  // bytes 'S','P','R','M' in memory order

struct SpMemHooks {
    void* (*alloc)(size_t size);
    void* (*calloc)(uint32_t count, size_t size);
    void* (*realloc)(...);  // never read; answers NULL
    void (*free)(void* p);
};

// Read-only in practice: only the alloc and free slots are read.
extern SpMemHooks spMemHooks;

// NULL for n <= 0 or when the pool is exhausted.
void* spMallocAligned(int n);
// The same for a 64-bit byte count: NULL for 0 or when n + 40 does not fit
// the 32-bit pool size (the hook is then not called).
void* spMallocAlignedSize(uint64_t n);
// NULL is ignored.
void spFreeAligned(void* p);

// ExAllocatePoolWithTag(NonPagedPoolNx, size, "SPRM"). The pool takes a
// 32-bit size: a size of 2^32 or more returns NULL instead of a short block.
void* spPoolAlloc(size_t size);
// The same for count * size as a 64-bit product (not cleared despite the
// name; NULL when the product overflows). No code of the library reaches it.
void* spPoolCalloc(uint32_t count, size_t size);
// ExFreePool(p); p must be a raw pool block, not NULL.
void spPoolFree(void* p);

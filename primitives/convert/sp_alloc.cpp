// Aligned allocator and the pool hooks behind it.
#include "primitives/convert/sp_alloc.h"

#include <cstring>

#include "nt/pool.h"

static_assert(SP_POOL_TAG == MakePoolTag("SPRM"), "pool tag of the primitives");

namespace {

// The realloc slot: takes anything, answers NULL.
void* spPoolReallocNone(...) { return nullptr; }

constexpr int kAlignedOverhead = 40;  // 8-byte back-pointer + up to 32 alignment bytes
constexpr uintptr_t kAlignMask = 31;

}  // namespace

SpMemHooks spMemHooks = {spPoolAlloc, spPoolCalloc, spPoolReallocNone, spPoolFree};

void* spPoolAlloc(size_t size) {
    if (size > UINT32_MAX) return nullptr;
    return ExAllocatePoolWithTag(NonPagedPoolNx, (uint32_t)size, SP_POOL_TAG);
}

void* spPoolCalloc(uint32_t count, size_t size) {
    size_t bytes = 0;
    if (__builtin_mul_overflow((size_t)count, size, &bytes)) return nullptr;
    return ExAllocatePoolWithTag(NonPagedPoolNx, bytes, SP_POOL_TAG);
}

void spPoolFree(void* p) { ExFreePool(p); }

void* spMallocAligned(int n) {
    if (n <= 0) return nullptr;
    return spMallocAlignedSize((uint64_t)n);
}

void* spMallocAlignedSize(uint64_t n) {
    if (n == 0 || n > UINT32_MAX - kAlignedOverhead) return nullptr;
    void* raw = spMemHooks.alloc((size_t)n + kAlignedOverhead);
    if (raw == nullptr) return nullptr;
    uintptr_t block = ((uintptr_t)raw + 39) & ~kAlignMask;
    std::memcpy((void*)(block - sizeof(void*)), &raw, sizeof(void*));
    return (void*)block;
}

void spFreeAligned(void* p) {
    if (p == nullptr) return;
    void* raw;
    std::memcpy(&raw, (const char*)p - sizeof(void*), sizeof(void*));
    spMemHooks.free(raw);
}

// Zero-filled pool allocation for driver objects.
#include "adapter/base/pool_new.h"

#include <cstring>

#include "nt/pool.h"

void* CPoolObject::operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept {
    void* block = ExAllocatePoolWithTag(poolType, size, tag);
    if (block) memset(block, 0, size);
    return block;
}

void CPoolObject::operator delete(void* block) noexcept {
    if (block) ExFreePool(block);
}

void CPoolObject::operator delete(void* block, POOL_TYPE poolType, ULONG tag) noexcept {
    UNREFERENCED_PARAMETER(poolType);
    UNREFERENCED_PARAMETER(tag);
    if (block) ExFreePool(block);
}

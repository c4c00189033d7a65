// Reference counting and pool allocation of the port-class stand-in's objects.
#include "platform/portcls/pc_object.h"

#include <cstring>

#include "nt/ke.h"
#include "nt/pool.h"

namespace pcls {

void* CPcObject::operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept {
    void* block = ExAllocatePoolWithTag(poolType, size, tag);
    if (block) memset(block, 0, size);
    return block;
}

void CPcObject::operator delete(void* block) noexcept {
    if (block) ExFreePool(block);
}

void CPcObject::operator delete(void* block, POOL_TYPE, ULONG) noexcept {
    if (block) ExFreePool(block);
}

ULONG CPcObject::AddRefObject() { return static_cast<ULONG>(InterlockedIncrement(&m_lRefCount)); }

ULONG CPcObject::ReleaseObject() {
    LONG count = InterlockedDecrement(&m_lRefCount);
    if (count != 0) return static_cast<ULONG>(count);
    if (InterlockedExchange(&m_lDestroying, 1) != 0) return 0;
    m_lRefCount = 1;
    delete this;
    return 0;
}

}  // namespace pcls

// Pool allocation of the driver's objects.
//
// Every class whose objects live in pool derives from CPoolObject (CUnknown
// does, so every COM-style class has it):
//
//   CFoo* foo = new (NonPagedPoolNx, MakePoolTag("Temp")) CFoo(...);
//   ...
//   delete foo;
//
// new returns the block zero-filled, or NULL when the pool is exhausted (the
// constructor then does not run); delete gives it back with ExFreePool.
// Plain `new CFoo` does not compile: every object names its pool and tag.
// Raw buffers use ExAllocatePoolWithTag / ExFreePoolWithTag directly.
#pragma once

#include <cstddef>

#include "nt/types.h"

class CPoolObject {
public:
    static void* operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept;
    static void operator delete(void* block) noexcept;
    // Called only if a constructor throws; driver code does not.
    static void operator delete(void* block, POOL_TYPE poolType, ULONG tag) noexcept;

    static void* operator new(size_t size) = delete;
    static void* operator new[](size_t size) = delete;
};

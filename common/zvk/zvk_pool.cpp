#include "common/zvk/zvk_pool.h"

#include <cstddef>
#include <cstring>

float* ZvkAllocFloats(int count, ULONG tag) {
    if (count <= 0) return nullptr;
    size_t bytes = static_cast<size_t>(count) * sizeof(float);
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, bytes, tag);
    if (block) memset(block, 0, bytes);
    return static_cast<float*>(block);
}

void ZvkFreeFloats(float* block, ULONG tag) {
    if (block) ExFreePoolWithTag(block, tag);
}

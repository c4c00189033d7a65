// Pool tags and zero-filled float buffers of the headphone engine.
#pragma once

#include "nt/pool.h"
#include "nt/types.h"

constexpr ULONG kZvkPoolTag = MakePoolTag("ZVKP");
constexpr ULONG kHeadphoneScratchTag = MakePoolTag("HFIR");

// count floats from non-paged no-execute pool, zero-filled; null when the
// pool is exhausted. Freed with ZvkFreeFloats (null is ignored).
float* ZvkAllocFloats(int count, ULONG tag = kZvkPoolTag);
void ZvkFreeFloats(float* block, ULONG tag = kZvkPoolTag);

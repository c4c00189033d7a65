// Test-side control of the pool stand-in: per-tag accounting, leak checks
// and failure injection. Raw pool blocks are filled with a poison byte
// (0xCD) on allocation and another (0xDD) on free; they are never zeroed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "nt/types.h"

namespace sim {

constexpr uint8_t kPoolAllocPoison = 0xCD;
constexpr uint8_t kPoolFreePoison = 0xDD;

struct PoolTagStats {
    ULONG tag;
    int64_t liveBlocks;
    int64_t liveBytes;
    uint64_t totalAllocations;
};

// Tag as four printable characters ("PcCr").
std::string PoolTagName(ULONG tag);

// Live blocks and bytes over all tags, or of one tag.
int64_t PoolLiveBlocks();
int64_t PoolLiveBytes();
int64_t PoolLiveBlocks(ULONG tag);
std::vector<PoolTagStats> PoolSnapshot();
// One line per tag with live blocks, empty when nothing is outstanding.
std::string PoolLeakReport();

// Size and tag of a live block (0 when the pointer is not a live block).
SIZE_T PoolBlockSize(PVOID p);
ULONG PoolBlockTag(PVOID p);
POOL_TYPE PoolBlockType(PVOID p);
// TRUE when [start, start + bytes) lies in the pages of one live block of
// whole pages: the pages a user mapping can alias.
bool PoolPagesAliasable(PVOID start, SIZE_T bytes);

// Failure injection. FailNth(n): the n-th allocation from now (1-based)
// returns NULL. FailTag(tag): every allocation of that tag fails until
// cleared. FailAfter(n): every allocation after the next n fails.
void PoolFailNth(uint64_t n);
void PoolFailAfter(uint64_t n);
void PoolFailTag(ULONG tag);
void PoolClearFailures();
// Allocations counted since the last PoolResetCounters (successful or not).
uint64_t PoolAllocationAttempts();
uint64_t PoolFailedAllocations();
void PoolResetCounters();

}  // namespace sim

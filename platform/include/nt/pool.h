// Pool allocation. Blocks carry a four-character tag (memory order); the
// stand-in keeps live counts and bytes per tag and can be told to fail.
#pragma once

#include "nt/types.h"

// Blocks of a page or more start on a page boundary; smaller ones are
// 16-byte aligned.
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID ExFreePool(PVOID P);

// Split tables of the large complex transforms. The generic build's table,
// by log2 L of the length: 0 selects the blocked path (1024-point radix-4
// blocks merged by radix-2 passes), s > 0 a split into 2^s outer and
// 2^(L - s) inner points. Read only for L >= 11; following it from any L
// ends after at most two splits. The forward and inverse drivers, the size
// query and the table builder all read this one table.
#include "primitives/sp_records.h"

const int32_t SP_FFT_SPLIT_TABLE[SP_FFT_MAX_ORDER + 1] = {
    0, 0, 0,  0,  0,  0,  0,  0,  0,  0,   // L = 0..9
    0, 0, 0,  5,  6,  7,  8,  8,  8,  10,  // L = 10..19
    10, 10, 10, 8, 8, 10, 10, 10, 10, 10,  // L = 20..29
    10,                                    // L = 30
};

// The CPU builds' split (log2 of the column length) and column block
// (log2 of the points of one column block), read for L = 17..30 by their
// size queries, builders and large drivers.
const int32_t SP_FFT_SPLIT_TABLE_SIMD[SP_FFT_MAX_ORDER + 1] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // L = 0..9
    0, 0, 0, 0, 0, 0, 0, 3, 4, 4,  // L = 10..19
    4, 5, 8, 8, 8, 8, 8, 8, 8, 8,  // L = 20..29
    8,                             // L = 30
};

const int32_t SP_FFT_COLUMN_BLOCK_TABLE_SIMD[SP_FFT_MAX_ORDER + 1] = {
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,   // L = 0..9
    0,  0,  0,  0,  0,  0,  0,  9,  10, 10,  // L = 10..19
    10, 13, 15, 15, 15, 15, 15, 15, 15, 15,  // L = 20..29
    15,                                      // L = 30
};

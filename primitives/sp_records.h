// Record layouts of the FFT and filter families: the FFT spec record, the
// FIR state and the IIR state that primitives/convert/sp_types.h declares as
// opaque types. The CPU builds and their FFT kernels read these headers byte
// for byte, so the field order, the types and the padded sizes are fixed here
// and pinned by static_asserts; the size formulas of the size queries use the
// same header sizes.
//
// Every record is one block: the header followed by the areas its pointers
// name. A record lives in caller memory (ownsMemory 0) or in one
// spMallocAligned block made by a create body (ownsMemory 1); only the
// destroy body of its kind frees it, and only then. The first 32-bit word
// names the record's kind and is checked on every call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "primitives/convert/sp_types.h"

// ---- Record ids (first word of every record) -------------------------------
constexpr int32_t SP_CTX_COMPLEX_FFT = 4;
constexpr int32_t SP_CTX_REAL_FFT = 6;
constexpr int32_t SP_CTX_FIR = 0x46493031;     // 'FI01' single-rate FIR
constexpr int32_t SP_CTX_FIR_MR = 0x46493033;  // 'FI03' multirate FIR
constexpr int32_t SP_CTX_IIR = 0x49493031;     // 'II01' transposed direct form II
constexpr int32_t SP_CTX_IIR_BQ = 0x49493032;  // 'II02' biquad cascade (no builder)

// ---- FFT flags: exactly one value, compared by equality ---------------------
constexpr int SP_FFT_DIV_FWD_BY_N = 1;
constexpr int SP_FFT_DIV_INV_BY_N = 2;
constexpr int SP_FFT_DIV_BY_SQRTN = 4;
constexpr int SP_FFT_NODIV_BY_ANY = 8;

// Largest order the FFT records describe. Orders 28 to 30 need more than
// 2^31 - 1 bytes and are refused by the size queries with SP_STS_FFT_ORDER.
constexpr int SP_FFT_MAX_ORDER = 30;

// Depths of the recursive split of the large transforms (at most two splits;
// the third slot is part of the layout the CPU builds read).
constexpr int SP_FFT_MAX_DEPTH = 3;

constexpr size_t SP_FFT_SPEC_HEADER_SIZE = 136;
constexpr size_t SP_FIR_STATE_HEADER_SIZE = 160;
constexpr size_t SP_IIR_STATE_HEADER_SIZE = 96;

// The FFT spec record of a real (id 6) or complex (id 4) transform of
// 2^order points. Built once, then only read: one spec record may serve
// concurrent transforms. The tables follow the header in the same block.
struct SpFftSpec {
    int32_t id;          // SP_CTX_REAL_FFT / SP_CTX_COMPLEX_FFT; 0 when destroyed or unbuilt
    int32_t order;       // log2 of the transform length
    int32_t scaleFwd;    // 1: the forward result is multiplied by scale
    int32_t scaleInv;    // 1: the inverse result is multiplied by scale
    float scale;         // 1/N, 1/sqrt(N) or 0.0 (flag 8)
    int32_t hint;        // stored, never read
    int32_t workSize;    // bytes of work buffer a transform needs (recursive path only)
    int32_t ownsMemory;  // 1: a create body allocated the block
    int32_t* bitRevTable;         // SpBitRevPairTable of the complex transform
    float* radix4Twiddles;        // radix-4 table of the innermost complex transform
    float* combineTwiddles;       // radix-2 combine twiddles of the blocked path
    float* crossCombineTwiddles;  // across 16384-point chunks; no generic builder fills it
    float* recombineFwd;          // real spec records only
    float* recombineInv;          // real spec records only
    float* outerTwiddles[SP_FFT_MAX_DEPTH];   // per depth: radix-4 table of the outer transform
    float* columnTwiddles[SP_FFT_MAX_DEPTH];  // per depth: column multipliers
    uint8_t reserved[8];
};
static_assert(sizeof(SpFftSpec) == SP_FFT_SPEC_HEADER_SIZE, "SpFftSpec header is 136 bytes");
static_assert(offsetof(SpFftSpec, bitRevTable) == 32, "SpFftSpec pointers start at byte 32");
static_assert(offsetof(SpFftSpec, columnTwiddles) == 104, "SpFftSpec column tables at byte 104");

// The swap table of the generic build's bit-reverse permutation
// (spFftBuildBitRevTable_Gen): pairs 4k, 4 rev(k), a 0, the self-reversed
// 4k from the top slot down, a 0 in the last slot.
typedef int32_t* SpBitRevPairTable;

// Small FFT kernels (orders 0 to 3). Every kernel reads each input before it
// writes the output that could overlap it, so src may equal dst.
typedef void (*SpFftKernel)(const float* src, float* dst);
typedef void (*SpFftScaledKernel)(const float* src, float* dst, float scale);
union SpFftSmallKernel {
    SpFftKernel plain;
    SpFftScaledKernel scaled;
    constexpr SpFftSmallKernel(SpFftKernel k) : plain(k) {}
    constexpr SpFftSmallKernel(SpFftScaledKernel k) : scaled(k) {}
};

// Real kernels: row 4*build + r, r = 0 forward, 1 forward scaled, 2 inverse,
// 3 inverse scaled; column = order. Complex kernels: row 2*build + r, r = 0
// forward, 1 forward scaled. The CPU rows name the generic kernels until the
// CPU builds bring their own, which must give the same bits.
constexpr int SP_REAL_FFT_SMALL_ROWS = 16;
constexpr int SP_COMPLEX_FFT_SMALL_ROWS = 8;
extern const SpFftSmallKernel SP_REAL_FFT_SMALL_KERNELS[SP_REAL_FFT_SMALL_ROWS][4];
extern const SpFftSmallKernel SP_COMPLEX_FFT_SMALL_KERNELS[SP_COMPLEX_FFT_SMALL_ROWS][4];

// Split of the generic build's large complex transforms by log2 of their
// length (index L, 0..SP_FFT_MAX_ORDER): 0 the blocked path, s > 0 a split
// into 2^s outer points. Read only for L >= 11.
extern const int32_t SP_FFT_SPLIT_TABLE[SP_FFT_MAX_ORDER + 1];

// Split of the CPU builds' large complex transforms by log2 L of the length
// (read for L 17..30, the same in every build): a 2^L-point transform is
// 2^a-point column transforms, a = SP_FFT_SPLIT_TABLE_SIMD[L], and
// 2^(L - a)-point row transforms; the columns run in blocks of
// 2^SP_FFT_COLUMN_BLOCK_TABLE_SIMD[L] points, which the work buffer holds.
extern const int32_t SP_FFT_SPLIT_TABLE_SIMD[SP_FFT_MAX_ORDER + 1];
extern const int32_t SP_FFT_COLUMN_BLOCK_TABLE_SIMD[SP_FFT_MAX_ORDER + 1];

// The quarter-wave sine table every twiddle of orders up to 10 is read from:
// 257 floats sin(2 pi j / 1024), each the double value rounded to nearest.
constexpr int SP_SIN_TABLE_1024_LEN = 257;
extern const float SP_SIN_TABLE_1024[SP_SIN_TABLE_1024_LEN];

// The FIR state, single-rate ('FI01') or multirate ('FI03'). Mutated by every
// filter call: one thread at a time per state.
struct SpFirState {
    int32_t id;             // SP_CTX_FIR or SP_CTX_FIR_MR
    float* tapsRev;         // tapsRev[j] = taps[tapsLen - 1 - j]
    float* dlyLine;         // history oldest first, then room for staged inputs
    int32_t tapsLen;
    int32_t upFactor;       // 'FI03'
    int32_t stageLen;       // inputs a long call stages behind the history
    int32_t downFactor;     // 'FI03'
    int32_t stagedOutLen;   // 'FI03': outputs a long call computes from the delay buffer
    SpFftSpec* fftSpec;     // FFT path; NULL without one
    float* tapsSpectrum;    // packed spectrum of the zero-padded taps; NULL without FFT path
    int32_t fftLen;         // N of the FFT path, -1 when there is none
    int32_t* phaseTable;    // 'FI03'; NULL in 'FI01'
    float* coefTable;       // 'FI03' coefficients; 'FI01': NULL (generic), splatted taps (CPU builds)
    int32_t phaseLen;       // 'FI03': K of the groups layout
    int32_t mode;           // 'FI03': 1 groups, 2 indexed (up 1), 3 indexed (up > 1)
    int32_t histLen;        // history length: L ('FI01'), H ('FI03')
    float* fftBlock;        // N floats, working block of the FFT path
    uint8_t* fftWorkBuf;    // work buffer of the transforms; NULL when none is needed
    int32_t ownsMemory;     // 1: spFirCreate allocated the block (and the FFT spec)
    uint8_t reserved[36];
};
static_assert(sizeof(SpFirState) == SP_FIR_STATE_HEADER_SIZE, "SpFirState header is 160 bytes");
static_assert(offsetof(SpFirState, ownsMemory) == 120, "SpFirState field order");

// The IIR state. The generic build writes id, coeffs, dlyLine, order,
// numBiquads and ownsMemory and reads no CPU-build field.
struct SpIirState {
    int32_t id;              // SP_CTX_IIR or SP_CTX_IIR_BQ
    float* coeffs;           // b'0..b'N, a'1..a'N ('II01'); 5 floats per section ('II02')
    float* dlyLine;          // s0..s(N-1) and a 0.0 guard ('II01'); 2 floats per section ('II02')
    int32_t order;           // N; 'II02': twice the number of sections
    float* ffTable;          // CPU builds: splatted feed-forward table
    float* fbTable;          // CPU builds: four-output feedback table
    int32_t numBiquads;      // CPU builds; every builder writes 0
    float* biquadTable;      // CPU builds: coefficients of the one-sample kernels
    float* workArea;         // CPU builds: one block's feed-forward values
    float* workArea2;        // CPU builds: second half of a 2048-float area ('II02')
    int32_t ownsMemory;      // 1: spIirCreate allocated the block
    uint8_t reserved[12];
};
static_assert(sizeof(SpIirState) == SP_IIR_STATE_HEADER_SIZE, "SpIirState header is 96 bytes");
static_assert(offsetof(SpIirState, ownsMemory) == 80, "SpIirState field order");

// The generic build (_Gen) of every primitive body built so far, and the
// kernels that other families call directly. Bodies check their arguments in
// the order of their entry (pointers, counts, values) and write nothing on an
// error. Kernels check nothing: their callers have.
//
// Lengths are signed 32-bit element counts. The zero, move and copy bodies
// turn a length into a 32-bit byte count, so they refuse len >= 2^29 with
// SP_STS_SIZE (SP_MAX_BYTE_LEN below) before writing anything.
#pragma once

#include <cstdint>

#include "primitives/convert/sp_types.h"

// Largest element count the byte-count bodies accept is SP_MAX_BYTE_LEN - 1.
constexpr int SP_MAX_BYTE_LEN = 1 << 29;

// ---- Conversions (table A rows 2-7, 21) ------------------------------------
SpStatus spF32ToI16Scaled_Gen(const float* src, int16_t* dst, int len, int rndMode, int scaleFactor);
SpStatus spF32ToI32Scaled_Gen(const float* src, int32_t* dst, int len, int rndMode, int scaleFactor);
SpStatus spI16ToF32Scaled_Gen(const int16_t* src, float* dst, int len, int scaleFactor);
SpStatus spI32ToF32Scaled_Gen(const int32_t* src, float* dst, int len, int scaleFactor);
SpStatus spI24ToF32_Gen(const uint8_t* src, float* dst, int len);
SpStatus spF32ToI24Scaled_Gen(const float* src, uint8_t* dst, int len, int scaleFactor);
SpStatus spI32ToF32_Gen(const int32_t* src, float* dst, int len);

// ---- Zero, fill, add, divide, move, scale (table A) ------------------------
SpStatus spZeroF32_Gen(float* dst, int len);
SpStatus spAddF32InPlace_Gen(const float* src, float* srcDst, int len);
SpStatus spDivConstF32InPlace_Gen(float val, float* srcDst, int len);
// Overlap-safe copy of len floats.
SpStatus spMoveF32_Gen(const float* src, float* dst, int len);
SpStatus spScaleF32InPlace_Gen(float val, float* srcDst, int len);
SpStatus spAddConstF32InPlace_Gen(float val, float* srcDst, int len);
// Not a public entry: the multirate filter setup calls it directly.
SpStatus spSetI32_Gen(int32_t val, int32_t* dst, int len);
// dst[i] = src[i] * (1.0f / val); -8, -6, then -10 for val +-0.0.
SpStatus spDivConstF32_Gen(const float* src, float val, float* dst, int len);

// Kernels. Each returns dst and does nothing for a count <= 0.
// Clears nBytes bytes at any alignment.
void* spZeroKernel_Gen(void* dst, int nBytes);
// Stores val into count consecutive 32-bit words (dst any alignment).
void* spFill32Kernel_Gen(uint32_t val, void* dst, int count);
// Forward copy of nBytes bytes; the regions must not overlap unless dst
// precedes src.
void* spCopyKernel_Gen(const void* src, void* dst, int nBytes);

// ---- Interleave (table A rows 23, 24) --------------------------------------
SpStatus spInterleaveF32_Gen(const float* const* src, int numCh, int len, float* dst);
SpStatus spDeinterleaveF32_Gen(const float* src, int numCh, int len, float* const* dst);

// ---- Power (table A row 25) ------------------------------------------------
SpStatus spPowF32_Gen(const float* x, const float* y, float* dst, int len);
// Element i alone, in double precision with every special case; stores
// SP_STS_DOMAIN into *status for a domain or pole case, never clears it.
// The power after the checks: MXCSR set to nearest without flushing, groups
// of `group` (4 or 8) elements over the multiple of 8, then single elements.
// The CPU builds use groups of 8 on the same tables and arithmetic.
SpStatus spPowGroupedF32(const float* x, const float* y, float* dst, int len, int group);
void spPowSpecialF32(const float* x, const float* y, float* dst, int i, SpStatus* status);
// Raises one IEEE flag: SP_STS_DOMAIN invalid, SP_STS_SINGULARITY divide by
// zero, SP_STS_OVERFLOW, SP_STS_UNDERFLOW; other codes do nothing.
void spRaiseFpException(int code);

// ---- Element-wise vector bodies (table B) ----------------------------------
// Copies len floats front to back; the arrays must not overlap unless equal.
SpStatus spCopyF32_Gen(const float* src, float* dst, int len);
SpStatus spSetF32_Gen(float val, float* dst, int len);
SpStatus spScaleF32_Gen(const float* src, float val, float* dst, int len);
SpStatus spSqrtF32InPlace_Gen(float* srcDst, int len);
SpStatus spAbsF32InPlace_Gen(float* srcDst, int len);
SpStatus spReverseF32_Gen(const float* src, float* dst, int len);
SpStatus spMulF32InPlace_Gen(const float* src, float* srcDst, int len);
SpStatus spAddF32_Gen(const float* src1, const float* src2, float* dst, int len);
// dst = src2 - src1.
SpStatus spSubF32_Gen(const float* src1, const float* src2, float* dst, int len);
SpStatus spMulF32_Gen(const float* src1, const float* src2, float* dst, int len);
SpStatus spAddProductF32_Gen(const float* src1, const float* src2, float* srcDst, int len);
SpStatus spSquareF32_Gen(const float* src, float* dst, int len);
// dst = src2 / src1.
SpStatus spDivF32_Gen(const float* src1, const float* src2, float* dst, int len);
SpStatus spMinEveryF32InPlace_Gen(const float* src, float* srcDst, int len);
SpStatus spMaxEveryF32InPlace_Gen(const float* src, float* srcDst, int len);
SpStatus spAddScaledF32_Gen(const float* src, float val, float* srcDst, int len);
// 32-byte aligned block for len floats (SpAlignedBlock, freed with spFree /
// spFreeAligned); NULL for len <= 0, len above SP_MALLOC_F32_MAX_LEN or an
// exhausted pool.
float* spMallocF32_Gen(int len);
constexpr int SP_MALLOC_F32_MAX_LEN = 1073741813;  // len * 4 + 40 fits 32 bits

// ---- Reductions (table B) --------------------------------------------------
SpStatus spMaxF32_Gen(const float* src, int len, float* max);
SpStatus spMinF32_Gen(const float* src, int len, float* min);
SpStatus spSumF32_Gen(const float* src, int len, float* sum, int hint);
SpStatus spMeanF32_Gen(const float* src, int len, float* mean, int hint);
SpStatus spDotProductF32_Gen(const float* src1, const float* src2, int len, float* dp);
// Unchecked: len >= 1, non-NULL pointers.
void spDotProductF32Kernel_Gen(const float* src1, const float* src2, int len, float* dp);

// ---- Exponential and logarithm (table B) -----------------------------------
SpStatus spExpF32InPlace_Gen(float* srcDst, int len);
SpStatus spLnF32InPlace_Gen(float* srcDst, int len);

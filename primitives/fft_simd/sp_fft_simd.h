// The FFT kernels of the CPU builds (fft_simd_sse3.cpp, fft_simd_ssse3.cpp,
// fft_simd_sse41.cpp), listed once as X(builds, name, result, (parameters))
// with the build sets of sp_cpu_list.h (ALL, B12, B1, B2) and B23 below,
// and the plain helpers the copy kernels share (copy_cache.cpp, the generic
// build).
//
// Kernels check nothing; the bodies that call them check the arguments.
#pragma once

#include <atomic>
#include <cstdint>

#include "primitives/convert/sp_cpu_list.h"
#include "primitives/convert/sp_types.h"

// Builds 2 and 3 only (_Ssse3, _Sse41), each with its own body.
#define SP_CPU_EACH_B23(M, name, ...) M(name##_Ssse3, __VA_ARGS__) M(name##_Sse41, __VA_ARGS__)

#define SP_FFT_SIMD_LIST(X)                                                                        \
    /* Byte copy kernel: count >= 0, the ranges do not overlap; returns dst. */                  \
    X(ALL, spCopyKernel, void*, (const void* src, void* dst, int count))                          \
    X(ALL, spCopyU8, SpStatus, (const uint8_t* src, uint8_t* dst, int len))                       \
    X(ALL, spCopyF32, SpStatus, (const float* src, float* dst, int len))                          \
    /* Bit reversal of n elements. Pair kernels: SpBitRevPairTable; n < 4 does */                \
    /* nothing in place, a copy below 8 reads no table. */                                       \
    X(ALL, spFftBitReversePairs32, void, (float* data, int n, const int32_t* table))              \
    X(ALL, spFftBitReversePairs32Alt, void, (float* data, int n, const int32_t* table))           \
    X(ALL, spFftBitReversePairs64, void, (double* data, int n, const int32_t* table))             \
    X(ALL, spFftBitReversePairs, void, (float* data, int n, const int32_t* table))                \
    X(ALL, spFftBitReversePairs64Alt, void, (double* data, int n, const int32_t* table))          \
    X(ALL, spFftBitReversePairs128, void, (double* data, int n, const int32_t* table))            \
    X(ALL, spFftBitReversePairsCopy32, void, (const float* src, float* dst, int n, const int32_t* table)) \
    X(ALL, spFftBitReversePairsCopy64, void, (const double* src, double* dst, int n, const int32_t* table)) \
    /* Block kernels: SpBitRevIndexList; n = 8 (no table) or n >= 16. */                          \
    X(ALL, spFftBitReverseInPlaceF32, void, (float* data, int n, const int32_t* list))            \
    X(ALL, spFftBitReverseInPlace, void, (float* data, int n, const int32_t* list))               \
    X(ALL, spFftBitReverseInPlaceF64, void, (double* data, int n, const int32_t* list))           \
    X(ALL, spFftBitReverseInPlaceComplexF64, void, (double* data, int n, const int32_t* list))    \
    X(ALL, spFftBitReverseCopyF32, void, (const float* src, float* dst, int n, const int32_t* list)) \
    X(ALL, spFftBitReverseCopy, void, (const float* src, float* dst, int n, const int32_t* list)) \
    X(ALL, spFftBitReverseCopyF64, void, (const double* src, double* dst, int n, const int32_t* list)) \
    X(ALL, spFftBitReverseCopyComplexF64, void, (const double* src, double* dst, int n, const int32_t* list)) \
    /* Tiled in-place reversal of complex points: SpBitRevLargeTable (b = 6), */                \
    /* a 65536-byte work area; n < 4096 does nothing. */                                         \
    X(ALL, spFftBitReverseInPlaceLarge, void, (float* data, int n, const int32_t* table, uint8_t* work)) \
    /* Radix-4/8 complex FFTs of n points (build 1 up to 65536, builds 2 and 3 up */             \
    /* to 131072), unscaled, natural-order output; tables of the build's own     */             \
    /* builders for this n, a 16-byte aligned work area of 8n bytes. Whole-       */             \
    /* transform kernels from n = 8, dst may be src; in-place kernels from n = 64 */             \
    /* on bit-reversed data, flag 1 interleaved output, else grouped.             */             \
    X(ALL, spFftRadix4FwdBitRev, void, (const float* src, float* dst, int n, const float* twiddles, const int32_t* bitRevTable, float* work)) \
    X(ALL, spFftRadix4InvBitRev, void, (const float* src, float* dst, int n, const float* twiddles, const int32_t* bitRevTable, float* work)) \
    X(ALL, spFftRadix4Fwd, void, (float* data, int n, const float* twiddles, float* work, int flag)) \
    X(ALL, spFftRadix4Inv, void, (float* data, int n, const float* twiddles, float* work, int flag)) \
    X(ALL, spFftRadix4FwdBitRevSplit, void, (const float* srcRe, const float* srcIm, float* dstRe, float* dstIm, int n, const float* twiddles, const int32_t* bitRevTable, float* work)) \
    X(ALL, spFftRadix4InvBitRevSplit, void, (const float* srcRe, const float* srcIm, float* dstRe, float* dstIm, int n, const float* twiddles, const int32_t* bitRevTable, float* work)) \
    X(ALL, spFftRadix4FwdSplit, void, (float* re, float* im, int n, const float* twiddles, float* work)) \
    X(ALL, spFftRadix4InvSplit, void, (float* re, float* im, int n, const float* twiddles, float* work)) \
    /* Small real kernels of rows 4 to 15 of SP_REAL_FFT_SMALL_KERNELS. */                       \
    X(B12, spRealFftOrder1, void, (const float* src, float* dst))                                 \
    X(B12, spRealFftOrder1Scaled, void, (const float* src, float* dst, float scale))              \
    X(B12, spRealFftFwdOrder2, void, (const float* src, float* dst))                              \
    X(B12, spRealFftFwdOrder2Scaled, void, (const float* src, float* dst, float scale))           \
    X(B12, spRealFftInvOrder2, void, (const float* src, float* dst))                              \
    X(B12, spRealFftInvOrder2Scaled, void, (const float* src, float* dst, float scale))           \
    X(ALL, spRealFftFwdOrder3, void, (const float* src, float* dst))                              \
    X(ALL, spRealFftFwdOrder3Scaled, void, (const float* src, float* dst, float scale))           \
    X(ALL, spRealFftInvOrder3, void, (const float* src, float* dst))                              \
    X(ALL, spRealFftInvOrder3Scaled, void, (const float* src, float* dst, float scale))           \
    /* Real transforms into and out of the packed spectrum; src may equal dst. */               \
    X(ALL, spRealFftForwardOutOfPlace, SpStatus, (const float* src, float* dst, const SpFftSpec* spec, uint8_t* workBuf)) \
    X(ALL, spRealFftInverseOutOfPlace, SpStatus, (const float* src, float* dst, const SpFftSpec* spec, uint8_t* workBuf)) \
    X(ALL, spRealFftForward, SpStatus, (float* srcDst, const SpFftSpec* spec, uint8_t* workBuf))  \
    X(ALL, spRealFftInverse, SpStatus, (float* srcDst, const SpFftSpec* spec, uint8_t* workBuf))  \
    X(ALL, spMulPackedSpectraF32InPlace, SpStatus, (const float* src, float* srcDst, int len))  \
    /* Large transforms above the direct limit (log2n up to 27): forward or     */              \
    /* inverse of 2^log2n points with the record's scaling of that direction;   */              \
    /* src may equal dst; work holds the record's workSize bytes, 16-aligned.   */              \
    X(ALL, spFftFwdLarge, void, (const SpFftSpec* spec, const float* src, float* dst, int log2n, uint8_t* work)) \
    X(ALL, spFftInvLarge, void, (const SpFftSpec* spec, const float* src, float* dst, int log2n, uint8_t* work)) \
    /* One level on bit-reversed data; interleaved result at depth 0, else grouped. */           \
    X(ALL, spFftFwdRecursive, void, (const SpFftSpec* spec, float* data, int log2n, int depth, uint8_t* work)) \
    X(ALL, spFftInvRecursive, void, (const SpFftSpec* spec, float* data, int log2n, int depth, uint8_t* work)) \
    /* Column groups: counts in points (split rowStride in floats), cols a      */              \
    /* multiple of 8, span a multiple of 4; work 16-byte aligned.               */              \
    X(ALL, spFftGatherColumns, void, (const float* src, float* work, int rowStride, int rows, int cols)) \
    X(ALL, spFftScatterColumns, void, (float* dst, const float* work, int rowStride, int rows, int cols, int interleave)) \
    X(ALL, spFftGatherColumnsSplit, void, (const float* re, const float* im, float* work, int rowStride, int rows, int cols)) \
    X(ALL, spFftScatterColumnsSplit, void, (float* re, float* im, const float* work, int rowStride, int rows, int cols)) \
    X(ALL, spFftColumnsRadix2Fwd, void, (const float* src, float* dst, int span, int blocks, const float* twiddles)) \
    X(ALL, spFftColumnsRadix2Inv, void, (const float* src, float* dst, int span, int blocks, const float* twiddles)) \
    X(ALL, spFftColumnsRadix4Fwd, void, (const float* src, float* dst, int span, int blocks, const float* twiddles)) \
    X(ALL, spFftColumnsRadix4Inv, void, (const float* src, float* dst, int span, int blocks, const float* twiddles)) \
    X(ALL, spFftColumnsRadix8Fwd, void, (float* data, float* dst, int span, int blocks, const float* twiddles)) \
    X(ALL, spFftColumnsRadix8Inv, void, (float* data, float* dst, int span, int blocks, const float* twiddles)) \
    /* The drivers' input copy: bytes in spCopyU8 pieces of at most limit.      */              \
    X(ALL, spFftCopyChunked, void, (const void* src, void* dst, int64_t bytes, int64_t limit))    \
    /* Blocked kit of builds 2 and 3 (blocked_kit.h), n = 2^6 to 2^19 points:   */              \
    /* one blocked call gives the transforms of the residues x[8m + 0..3] as    */              \
    /* four grouped rows of n points; tables of the build-2 builders for n, a   */              \
    /* 16-byte aligned work area of 32n bytes (interleaved input only); src may */              \
    /* equal dst. The scatter pass is the last radix-8 step down count columns  */              \
    /* (a positive multiple of 4) of 8 grouped rows, written in natural order;  */              \
    /* its interleaved form may write dst == src.                               */              \
    X(B23, spFftRadix4FwdBitRevBlocked, void, (const float* src, float* dst, uint64_t n, const float* twiddles, const int32_t* table, float* work)) \
    X(B23, spFftRadix4InvBitRevBlocked, void, (const float* src, float* dst, uint64_t n, const float* twiddles, const int32_t* table, float* work)) \
    X(B23, spFftRadix4FwdBitRevBlockedSplit, void, (const float* srcRe, const float* srcIm, float* dst, uint64_t n, const float* twiddles, const int32_t* table)) \
    X(B23, spFftRadix4InvBitRevBlockedSplit, void, (const float* srcRe, const float* srcIm, float* dst, uint64_t n, const float* twiddles, const int32_t* table)) \
    X(B23, spFftColumnsRadix8FwdScatter, void, (const float* src, float* dst, uint64_t rowLen, int64_t count, const float* twiddles)) \
    X(B23, spFftColumnsRadix8InvScatter, void, (const float* src, float* dst, uint64_t rowLen, int64_t count, const float* twiddles)) \
    X(B23, spFftColumnsRadix8FwdScatterSplit, void, (const float* src, float* dstRe, float* dstIm, uint64_t rowLen, int32_t count, const float* twiddles)) \
    X(B23, spFftColumnsRadix8InvScatterSplit, void, (const float* src, float* dstRe, float* dstIm, uint64_t rowLen, int32_t count, const float* twiddles))

#define SP_FFT_SIMD_DECLARE_ONE(fullName, result, params) result fullName params;
#define SP_FFT_SIMD_DECLARE(builds, name, result, params) \
    SP_CPU_FOR_BUILDS(builds, SP_FFT_SIMD_DECLARE_ONE, name, result, params)
SP_FFT_SIMD_LIST(SP_FFT_SIMD_DECLARE)
#undef SP_FFT_SIMD_DECLARE
#undef SP_FFT_SIMD_DECLARE_ONE

// ---- Shared by the copy kernels (copy_cache.cpp) ----------------------------

// Cache share of a copy kernel in bytes, 0 for none, read through the
// CPUID provider on every call: the leaf-2 size of spCacheProbe, divided
// by the package's core identifiers (leaf 4, 1 when the highest leaf is
// below 4) when perCore is set (build 1); whole for builds 2 and 3.
uint64_t spCopyCacheShare(bool perCore);

// Core identifiers of the package from leaf 0 and leaf 4 (sub-leaf 0).
uint32_t spCopyCoreCount(uint32_t maxLeaf, uint32_t leaf4Eax);

// Builds 2 and 3, aligned data: true when the copy runs front to back,
// from the two positions' offsets within their 4096-byte pages.
bool spCopyRunsForward(uintptr_t src, uintptr_t dst);

// Builds 2 and 3, misaligned source: true when the source is realigned
// with aligned loads and byte shifts (4, 8 or 12 mod 16).
bool spCopyRealigns(uintptr_t src);

// Copies that used non-temporal stores (relaxed; read by tests).
extern std::atomic<uint64_t> spCopyStreamedCopies;

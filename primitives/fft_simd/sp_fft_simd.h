// The FFT kernels of the CPU builds (fft_simd_sse3.cpp, fft_simd_ssse3.cpp,
// fft_simd_sse41.cpp), listed once as X(builds, name, result, (parameters))
// with the build sets of sp_cpu_list.h (ALL, B12, B1, B2), and the plain
// helpers the copy kernels share (copy_cache.cpp, the generic build).
//
// Kernels check nothing; the bodies that call them check the arguments.
#pragma once

#include <atomic>
#include <cstdint>

#include "primitives/convert/sp_cpu_list.h"
#include "primitives/convert/sp_types.h"

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
    X(ALL, spMulPackedSpectraF32InPlace, SpStatus, (const float* src, float* srcDst, int len))

#define SP_FFT_SIMD_DECLARE_ONE(fullName, result, params) result fullName params;
#define SP_FFT_SIMD_DECLARE(builds, name, result, params) \
    SP_CPU_FOR_BUILDS(builds, SP_FFT_SIMD_DECLARE_ONE, name, result, params)
SP_FFT_SIMD_LIST(SP_FFT_SIMD_DECLARE)
#undef SP_FFT_SIMD_DECLARE
#undef SP_FFT_SIMD_DECLARE_ONE

// ---- Large-transform drivers ------------------------------------------------

#include "primitives/sp_records.h"
// Forward (or inverse) complex transform of 2^L points above the build's
// direct limit, with the record's scaling of that direction; src may equal
// dst; work holds the record's workSize bytes.
using SpFftLargeDriver = void (*)(const SpFftSpec* spec, const float* src, float* dst, int L, float* work);
// The drivers each build's transforms call above its direct limit; null
// until the build's large drivers exist (the transforms then answer
// SP_STS_NOT_BUILT after their checks). Tests install a stand-in.
extern std::atomic<SpFftLargeDriver> spFftFwdLargeRoutine_Sse3;
extern std::atomic<SpFftLargeDriver> spFftFwdLargeRoutine_Ssse3;
extern std::atomic<SpFftLargeDriver> spFftFwdLargeRoutine_Sse41;
extern std::atomic<SpFftLargeDriver> spFftInvLargeRoutine_Sse3;
extern std::atomic<SpFftLargeDriver> spFftInvLargeRoutine_Ssse3;
extern std::atomic<SpFftLargeDriver> spFftInvLargeRoutine_Sse41;

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

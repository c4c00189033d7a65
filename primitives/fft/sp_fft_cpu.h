// The FFT family's CPU-build bodies and table builders (fft_cpu_sse3.cpp,
// fft_cpu_ssse3.cpp, fft_cpu_sse41.cpp), listed once as
//   X(builds, name, result, (parameters))
// with the build sets of sp_cpu_list.h: ALL (_Sse3, _Ssse3, _Sse41), B12
// (_Sse3, _Ssse3; build 3 calls build 2's), B1 (_Sse3 only), B2 (_Ssse3
// only). A record is read only by transforms of the build that laid it out
// (builds 2 and 3 lay out the same bytes).
#pragma once

#include <cstdint>

#include "primitives/convert/sp_cpu_list.h"
#include "primitives/sp_records.h"

#define SP_CPU_EACH_B1(M, name, ...) M(name##_Sse3, __VA_ARGS__)

#define SP_FFT_CPU_LIST(X)                                                                          \
    /* Size queries, builders in caller memory, creates. */                                        \
    X(ALL, spRealFftGetSize, SpStatus, (int order, int flag, int hint, int* specSize, int* initBufSize, int* workBufSize)) \
    X(ALL, spRealFftInit, SpStatus, (SpFftSpec** spec, int order, int flag, int hint, uint8_t* specMem, uint8_t* initBuf)) \
    X(ALL, spRealFftCreate, SpStatus, (SpFftSpec** spec, int order, int flag, int hint))          \
    X(B2, spRealFftGetBufferSize, SpStatus, (const SpFftSpec* spec, int* size))                   \
    X(ALL, spComplexFftGetSize, SpStatus, (int order, int flag, int hint, int* specSize, int* initBufSize, int* workBufSize)) \
    X(ALL, spComplexFftInit, SpStatus, (SpFftSpec** spec, int order, int flag, int hint, uint8_t* specMem, uint8_t* initBuf)) \
    X(ALL, spComplexFftCreate, SpStatus, (SpFftSpec** spec, int order, int flag, int hint))       \
    X(ALL, spZeroU8, SpStatus, (uint8_t* dst, int len))                                           \
    /* Table builders; each returns the 32-byte boundary at or after its end. */                  \
    X(ALL, spFftBuildSinTable, float*, (int order, float* table))                                 \
    X(B12, spFftBuildBitRevIndexList, int32_t*, (int L, int32_t* table))                          \
    X(B2, spFftBuildBitRevTable, int32_t*, (int L, int32_t* table))                               \
    X(B12, spFftBuildBitRevTableLarge, int32_t*, (int L, int b, int32_t* table))                  \
    X(B12, spFftBuildTwiddles, float*, (int L, const float* sinTable, int sinOrder, float* out))  \
    X(ALL, spRealFftBuildRecombineFwd, float*, (int order, const float* sinTable, int sinOrder, float* out)) \
    X(B12, spRealFftBuildRecombineInv, float*, (int order, const float* sinTable, int sinOrder, float* out)) \
    X(ALL, spFftBuildTwiddlesLarge, float*, (SpFftSpec* spec, int L, const float* sinTable, int sinOrder, float* region)) \
    X(ALL, spFftBuildTwiddlesRecursive, float*, (SpFftSpec* spec, int k, const float* sinTable, int sinOrder, int depth, float* out)) \
    /* Complex forward kernels of orders 2 and 3 (SP_COMPLEX_FFT_SMALL_KERNELS). */           \
    X(B12, spComplexFftFwdOrder2, void, (const float* src, float* dst))                          \
    X(B12, spComplexFftFwdOrder2Scaled, void, (const float* src, float* dst, float scale))       \
    X(ALL, spComplexFftFwdOrder3, void, (const float* src, float* dst))                          \
    X(ALL, spComplexFftFwdOrder3Scaled, void, (const float* src, float* dst, float scale))       \
    X(ALL, spComplexFftForward, SpStatus, (const float* src, float* dst, const SpFftSpec* spec, uint8_t* workBuf)) \
    /* Product of packed spectra; dst may be src1 or src2. */                                  \
    X(ALL, spMulPackedSpectraF32, SpStatus, (const float* src1, const float* src2, float* dst, int len)) \
    /* Complex pair products (count interleaved pairs). */                                        \
    X(ALL, spMulComplexPairsF32, void, (const float* src1, const float* src2, float* dst, unsigned count)) \
    X(ALL, spMulComplexPairsF32InPlace, void, (const float* src, float* srcDst, unsigned count))  \
    /* Real-FFT recombination over n complex points (n >= 8); direction unread. */             \
    X(ALL, spRealFftRecombineFwd, void, (float* data, int n, int direction, const float* table)) \
    X(ALL, spRealFftRecombineInv, void, (const float* src, float* dst, int n, int direction, const float* table)) \
    /* Large-path sizes C, init (0) and W, in 64 bits. */                                         \
    X(ALL, spFftGetSizeLarge, void, (int L, int64_t* specSize, int64_t* initSize, int64_t* workSize)) \
    X(ALL, spFftGetSizeRecursive, void, (int k, int depth, int64_t* specSize, int64_t* initSize, int64_t* workSize))

#define SP_FFT_CPU_DECLARE_ONE(fullName, result, params) result fullName params;
#define SP_FFT_CPU_DECLARE(builds, name, result, params) \
    SP_CPU_FOR_BUILDS(builds, SP_FFT_CPU_DECLARE_ONE, name, result, params)
SP_FFT_CPU_LIST(SP_FFT_CPU_DECLARE)
#undef SP_FFT_CPU_DECLARE
#undef SP_FFT_CPU_DECLARE_ONE

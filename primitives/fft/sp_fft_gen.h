// The generic build (_Gen) of the FFT family: size queries, builders,
// transforms and the kernels below them. The CPU builds call the table
// builders, spZeroU8_Gen, spRealFftGetBufferSize_Gen, the recombination
// routines and the radix-2 combine passes by these names; keep the
// signatures stable.
//
// Complex data is interleaved (real part, then imaginary part). "n" is a
// count of complex points, "N" of real samples. Kernels check nothing and
// return no status: their callers have checked. Nothing here allocates
// except the create bodies and the transforms of a recursive-path
// spec record called without a work buffer (real order >= 14, complex
// order >= 13); no routine takes a lock; everything may run at
// DISPATCH_LEVEL.
#pragma once

#include <cstdint>

#include "primitives/convert/sp_types.h"
#include "primitives/sp_records.h"

// ---- Real FFT spec record (real_fft_spec.cpp) -------------------------------
SpStatus spRealFftGetSize_Gen(int order, int flag, int hint, int* specSize, int* initBufSize,
                              int* workBufSize);
// Builds in specMem (at least the spec record size); initBuf (at least
// the init size) is needed above order 10 and is free again on return.
SpStatus spRealFftInit_Gen(SpFftSpec** spec, int order, int flag, int hint, uint8_t* specMem,
                           uint8_t* initBuf);
SpStatus spRealFftCreate_Gen(SpFftSpec** spec, int order, int flag, int hint);
SpStatus spRealFftDestroy_Gen(SpFftSpec* spec);
// workSize + 32 when the spec record needs a work buffer, else 0.
SpStatus spRealFftGetBufferSize_Gen(const SpFftSpec* spec, int* size);
SpStatus spZeroU8_Gen(uint8_t* dst, int len);

// Table builders. Each returns the first 32-byte boundary at or after the
// end of what it wrote. sinTable is a quarter-wave table of order sinOrder.
float* spFftBuildSinTable_Gen(int order, float* table);
int32_t* spFftBuildBitRevTable_Gen(int L, int32_t* table);
float* spFftBuildTwiddles_Gen(int L, const float* sinTable, int sinOrder, float* out);
float* spRealFftBuildRecombineFwd_Gen(int order, const float* sinTable, int sinOrder, float* out);
float* spRealFftBuildRecombineInv_Gen(int order, const float* sinTable, int sinOrder, float* out);

// ---- Real transforms and packed spectra (real_fft.cpp) ---------------------
SpStatus spRealFftForwardOutOfPlace_Gen(const float* src, float* dst, const SpFftSpec* spec,
                                        uint8_t* workBuf);
SpStatus spRealFftInverseOutOfPlace_Gen(const float* src, float* dst, const SpFftSpec* spec,
                                        uint8_t* workBuf);
SpStatus spRealFftForward_Gen(float* srcDst, const SpFftSpec* spec, uint8_t* workBuf);
SpStatus spRealFftInverse_Gen(float* srcDst, const SpFftSpec* spec, uint8_t* workBuf);
// dst must not share memory with a source.
SpStatus spMulPackedSpectraF32_Gen(const float* src1, const float* src2, float* dst, int len);
// srcDst = src x srcDst.
SpStatus spMulPackedSpectraF32InPlace_Gen(const float* src, float* srcDst, int len);

// ---- Kernels (fft_kernels.cpp) ----------------------------------------------
// Bit-reverse permutations of n complex points with the log2(n)-bit swap
// table. The copying form needs distinct buffers.
void spFftBitReverseCopy_Gen(const float* src, float* dst, int n, const int32_t* table);
void spFftBitReverseInPlace_Gen(float* data, int n, const int32_t* table);
// Unscaled radix-4 transforms of n = 2^L points (3 <= L <= 10), bit-reversed
// input, natural-order output, in place; twiddles built for this n.
void spFftRadix4Fwd_Gen(float* data, int n, const float* twiddles);
void spFftRadix4Inv_Gen(float* data, int n, const float* twiddles);
// Recombination between the n-point complex transform and the spectrum of
// N = 2n real samples. direction is 1 (forward) or -1 (inverse) and unread.
void spRealFftRecombineFwd_Gen(float* data, int n, int direction, const float* table);
void spRealFftRecombineInv_Gen(const float* src, float* dst, int n, int direction,
                               const float* table);

// Small kernels of orders 0 to 3 (rows of SP_REAL_FFT_SMALL_KERNELS and
// SP_COMPLEX_FFT_SMALL_KERNELS).
void spRealFftOrder0_Gen(const float* src, float* dst);
void spRealFftOrder1_Gen(const float* src, float* dst);
void spRealFftFwdOrder2_Gen(const float* src, float* dst);
void spRealFftFwdOrder3_Gen(const float* src, float* dst);
void spRealFftInvOrder2_Gen(const float* src, float* dst);
void spRealFftInvOrder3_Gen(const float* src, float* dst);
void spRealFftOrder0Scaled_Gen(const float* src, float* dst, float scale);
void spRealFftOrder1Scaled_Gen(const float* src, float* dst, float scale);
void spRealFftFwdOrder2Scaled_Gen(const float* src, float* dst, float scale);
void spRealFftFwdOrder3Scaled_Gen(const float* src, float* dst, float scale);
void spRealFftInvOrder2Scaled_Gen(const float* src, float* dst, float scale);
void spRealFftInvOrder3Scaled_Gen(const float* src, float* dst, float scale);
void spComplexFftFwdOrder0_Gen(const float* src, float* dst);
void spComplexFftFwdOrder1_Gen(const float* src, float* dst);
void spComplexFftFwdOrder2_Gen(const float* src, float* dst);
void spComplexFftFwdOrder3_Gen(const float* src, float* dst);
void spComplexFftFwdOrder0Scaled_Gen(const float* src, float* dst, float scale);
void spComplexFftFwdOrder1Scaled_Gen(const float* src, float* dst, float scale);
void spComplexFftFwdOrder2Scaled_Gen(const float* src, float* dst, float scale);
void spComplexFftFwdOrder3Scaled_Gen(const float* src, float* dst, float scale);

// ---- Transforms above 1024 points (fft_large.cpp) --------------------------
// Complex transforms of 2^L points (11 <= L <= 30), src may equal dst,
// scaled by the scaling flag of spec. work is the 32-byte aligned work buffer
// of workSize bytes, read only on the recursive path.
void spFftFwdLarge_Gen(const SpFftSpec* spec, const float* src, float* dst, int L, float* work);
void spFftInvLarge_Gen(const SpFftSpec* spec, const float* src, float* dst, int L, float* work);
// Radix-2 passes merging n/L0 consecutive natural-order transforms of L0
// points (any power of two >= 4) into one of n points. twiddles holds
// w_n^i, i < n/4; strip (a float count, multiple of 4 dividing L0) only
// orders the work. direction is not read.
void spFftRadix2CombineFwd_Gen(float* data, int n, int L0, const float* twiddles, int direction,
                               int strip);
void spFftRadix2CombineInv_Gen(float* data, int n, int L0, const float* twiddles, int direction,
                               int strip);
// One level of the recursive split, in place on bit-reversed data.
void spFftFwdRecursive_Gen(const SpFftSpec* spec, float* data, int L, int depth, float* work);
void spFftInvRecursive_Gen(const SpFftSpec* spec, float* data, int L, int depth, float* work);
// Builds the L-bit swap table at bitRevTable and the large tables from out
// on; sets workSize. scratch: the init buffer's area after the sine table.
float* spFftBuildTwiddlesLarge_Gen(SpFftSpec* spec, int L, const float* sinTable, int sinOrder,
                                   float* out, uint8_t* scratch);
float* spFftBuildTwiddlesRecursive_Gen(SpFftSpec* spec, int L, const float* sinTable,
                                       int sinOrder, int depth, float* out, int32_t* scratch);
// Room for the large tables (C), the init-buffer share (I) and the work size
// (W) of a complex length 2^L, in 64 bits: above 2^31 - 1 the size queries
// refuse the order.
void spFftGetSizeLarge_Gen(int L, int64_t* specSize, int64_t* initSize, int64_t* workSize);
void spFftGetSizeRecursive_Gen(int L, int depth, int64_t* specSize, int64_t* initSize,
                               int64_t* workSize);

// ---- Complex FFT (complex_fft.cpp) -----------------------------------------
SpStatus spComplexFftGetSize_Gen(int order, int flag, int hint, int* specSize, int* initBufSize,
                                 int* workBufSize);
SpStatus spComplexFftInit_Gen(SpFftSpec** spec, int order, int flag, int hint, uint8_t* specMem,
                              uint8_t* initBuf);
SpStatus spComplexFftCreate_Gen(SpFftSpec** spec, int order, int flag, int hint);
SpStatus spComplexFftDestroy_Gen(SpFftSpec* spec);
SpStatus spComplexFftForward_Gen(const float* src, float* dst, const SpFftSpec* spec,
                                 uint8_t* workBuf);

// ---- Helpers shared by the real and complex bodies -------------------------
namespace sp::gen {

constexpr int64_t SP_INT32_LIMIT = 0x7FFFFFFF;

// R(x): x rounded down to a multiple of 32. U(p): p rounded up to one.
constexpr int64_t roundDown32(int64_t x) { return x & ~int64_t{31}; }
template <typename T>
T* alignUp32(T* p) {
    return reinterpret_cast<T*>((reinterpret_cast<uintptr_t>(p) + 31) & ~uintptr_t{31});
}

// Clears the 136-byte header at U(specMem) with the build's clearing body,
// stores order and hint and applies the flag. Returns the record, or NULL
// for a bad flag (the header then stays cleared with id 0).
typedef SpStatus (*FftZeroBody)(uint8_t*, int);
SpFftSpec* fftInitHeader(uint8_t* specMem, int order, int flag, int hint, int32_t id,
                         FftZeroBody zeroHeader = spZeroU8_Gen);

// The spec, init and work block sizes of one order, in 64 bits so that an
// order too large for the int32 queries is detected before anything is
// written.
struct FftSizes {
    int64_t spec;
    int64_t init;
    int64_t work;
};
bool fftSizesFitInt32(const FftSizes& s);

// The tail of both size queries once the order is known valid: pointer and
// flag checks, then the three sizes stored.
SpStatus fftReportSizes(const FftSizes& s, int flag, int* specSize, int* initBufSize,
                        int* workBufSize);

// Destroy shared by the real and complex bodies: the record must carry id;
// the id is cleared and a block the create step allocated is freed.
SpStatus fftDestroy(SpFftSpec* spec, int32_t id);

// The create steps shared by the real and complex bodies: size query,
// spec and init blocks, build, release of the init block.
typedef SpStatus (*FftSizeQuery)(int, int, int, int*, int*, int*);
typedef SpStatus (*FftBuilder)(SpFftSpec**, int, int, int, uint8_t*, uint8_t*);
SpStatus fftCreate(SpFftSpec** spec, int order, int flag, int hint, FftSizeQuery query,
                   FftBuilder build);

// The work buffer of one transform: the caller's buffer aligned up to 32,
// or a block of workSize bytes allocated for the call. NULL when the
// spec record needs none.
struct FftWork {
    float* buffer = nullptr;
    void* owned = nullptr;
};
// SP_STS_MEM_ALLOC when the allocation fails.
SpStatus fftAcquireWork(const SpFftSpec* spec, uint8_t* workBuf, FftWork* work);
void fftReleaseWork(FftWork* work);

}  // namespace sp::gen

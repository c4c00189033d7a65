// The filter family's CPU-build bodies and kernels, listed once as
//   X(builds, name, result, (parameters))
// with the build sets of sp_cpu_list.h (ALL: _Sse3, _Ssse3, _Sse41; B12:
// _Sse3, _Ssse3; B2: _Ssse3 only). The list feeds these declarations and
// the tests' per-build pointer tables (tests/primitives/filter/cpu/).
//
// Kernels check nothing and return no status: the body that calls them has
// checked every pointer and count. Kernels that no entry reaches (other
// element widths, complex samples) take their tables and counts as
// documented beside them.
#pragma once

#include <cstdint>

#include "primitives/convert/sp_cpu_list.h"
#include "primitives/filter/sp_filter_gen.h"
#include "primitives/sp_records.h"

#define SP_FILTER_CPU_LIST(X)                                                                       \
    /* Upsampling and downsampling: bodies, then the kernels they call. */                        \
    X(ALL, spUpsampleF32, SpStatus, (const float* src, int srcLen, float* dst, int* dstLen, int factor, int* phase)) \
    X(ALL, spDownsampleF32, SpStatus, (const float* src, int srcLen, float* dst, int* dstLen, int factor, int* phase)) \
    X(ALL, spUpsampleKernel, void, (const float* src, int count, float* dst, int totalOut, int periodBytes, int phase)) \
    X(ALL, spUpsample2Kernel, void, (const float* src, int count, float* dst, int phase))         \
    X(ALL, spDownsampleKernel, void, (const float* src, int srcLen, float* dst, int* dstLen, int factor, int* phase)) \
    X(ALL, spDownsample2Kernel, void, (const float* src, int srcLen, float* dst, int* dstLen, int* phase)) \
    /* Sampling of 16-bit, 8-byte and 16-byte elements as raw bits (no caller). */               \
    X(ALL, spUpsampleKernel64, void, (const void* src, int count, void* dst, int periodBytes, int phaseBytes)) \
    X(ALL, spUpsample2Kernel64, void, (const void* src, int count, void* dst, int phase))         \
    X(ALL, spUpsample2Kernel128, void, (const void* src, int count, void* dst, int phase))        \
    X(ALL, spUpsampleKernel16, void, (const int16_t* src, int count, int16_t* dst, int totalOut, int periodBytes, int phase)) \
    X(ALL, spUpsample2Kernel16, void, (const int16_t* src, int count, int16_t* dst, int phase))   \
    X(ALL, spDownsampleKernel128, void, (const void* src, int srcLen, void* dst, int* dstLen, int factor, int* phase)) \
    X(ALL, spDownsample2Kernel128, void, (const void* src, int srcLen, void* dst, int* dstLen, int* phase)) \
    X(ALL, spDownsampleKernel64, void, (const void* src, int srcLen, void* dst, int* dstLen, int factor, int* phase)) \
    X(ALL, spDownsample2Kernel64, void, (const void* src, int srcLen, void* dst, int* dstLen, int* phase)) \
    X(ALL, spDownsampleKernel16, void, (const int16_t* src, int srcLen, int16_t* dst, int* dstLen, int factor, int* phase)) \
    X(ALL, spDownsample2Kernel16, void, (const int16_t* src, int srcLen, int16_t* dst, int* dstLen, int* phase)) \
    /* One-sample FIR step; the complex kernel takes interleaved (re, im) pairs: */               \
    /* x and y one pair, taps tapsLen pairs, dly 2 tapsLen pairs. */                               \
    X(ALL, spFirOneDirectF32, SpStatus, (float src, float* dst, const float* taps, int tapsLen, float* dly, int* idx)) \
    X(ALL, spFirOneDirectKernel, void, (const float* src, float* dst, const float* taps, int tapsLen, float* dly, int* idx)) \
    X(ALL, spFirOneDirectComplexKernel, void, (const float* x, float* y, const float* taps, int tapsLen, float* dly, int* idx)) \
    /* One-sample IIR kernels for integer, complex and double samples (no caller): */              \
    /* one sample in, one out, the raw (unscaled) y for RawOut; complex samples */                 \
    /* are (re, im) pairs. State layouts: iir_kernels_one.inl. */                                  \
    X(ALL, spIirBiquadOneSampleI16Scaled, void, (const int16_t* x, int16_t* y, SpIirState* state, int sf)) \
    X(ALL, spIirOneSampleI16Scaled, void, (const int16_t* x, int16_t* y, SpIirState* state, int sf)) \
    X(ALL, spIirOneSampleI16ScaledRawOut, void, (const int16_t* x, int16_t* y, float* raw, SpIirState* state, int sf)) \
    X(ALL, spIirOneSampleComplexF32, void, (const float* x, float* y, SpIirState* state))          \
    X(ALL, spIirBiquadOneSampleComplexF32, void, (const float* x, float* y, SpIirState* state))    \
    X(ALL, spIirOneSampleComplexI16Scaled, void, (const int16_t* x, int16_t* y, SpIirState* state, int sf)) \
    X(ALL, spIirOneSampleComplexI16ScaledRawOut, void, (const int16_t* x, int16_t* y, float* raw, SpIirState* state, int sf)) \
    X(ALL, spIirBiquadOneSampleComplexI16Scaled, void, (const int16_t* x, int16_t* y, SpIirState* state, int sf)) \
    X(ALL, spIirBiquadOneSampleF64, void, (const double* x, double* y, SpIirState* state))         \
    X(ALL, spIirBiquadOneSampleI16TapsF64Scaled, void, (const int16_t* x, int16_t* y, SpIirState* state, int sf)) \
    X(ALL, spIirBiquadOneSampleI32TapsF64Scaled, void, (const int32_t* x, int32_t* y, SpIirState* state, int sf)) \
    X(ALL, spIirBiquadOneSampleF32TapsF64, void, (const float* x, float* y, SpIirState* state))    \
    X(ALL, spIirOneSampleF64, void, (const double* x, double* y, SpIirState* state))               \
    X(ALL, spIirOneSampleI32TapsF64Scaled, void, (const int32_t* x, int32_t* y, SpIirState* state, int sf)) \
    X(ALL, spIirOneSampleI32TapsF64ScaledRawOut, void, (const int32_t* x, int32_t* y, double* raw, SpIirState* state, int sf)) \
    X(ALL, spIirOneSampleI16TapsF64Scaled, void, (const int16_t* x, int16_t* y, SpIirState* state, int sf)) \
    X(ALL, spIirOneSampleI16TapsF64ScaledRawOut, void, (const int16_t* x, int16_t* y, double* raw, SpIirState* state, int sf)) \
    X(ALL, spIirOneSampleF32TapsF64, void, (const float* x, float* y, SpIirState* state))          \
    X(ALL, spIirOneSampleF32TapsF64RawOut, void, (const float* x, float* y, double* raw, SpIirState* state)) \
    X(ALL, spIirOneSampleComplexF64, void, (const double* x, double* y, SpIirState* state))        \
    X(ALL, spIirBiquadOneSampleComplexF64, void, (const double* x, double* y, SpIirState* state))  \
    X(ALL, spIirOneSampleComplexI32TapsF64Scaled, void, (const int32_t* x, int32_t* y, SpIirState* state, int sf)) \
    X(ALL, spIirOneSampleComplexI32TapsF64ScaledRawOut, void, (const int32_t* x, int32_t* y, double* raw, SpIirState* state, int sf)) \
    X(ALL, spIirBiquadOneSampleComplexI32TapsF64Scaled, void, (const int32_t* x, int32_t* y, SpIirState* state, int sf)) \
    X(ALL, spIirOneSampleComplexI16TapsF64Scaled, void, (const int16_t* x, int16_t* y, SpIirState* state, int sf)) \
    X(ALL, spIirOneSampleComplexI16TapsF64ScaledRawOut, void, (const int16_t* x, int16_t* y, double* raw, SpIirState* state, int sf)) \
    X(ALL, spIirBiquadOneSampleComplexI16TapsF64Scaled, void, (const int16_t* x, int16_t* y, SpIirState* state, int sf)) \
    X(ALL, spIirOneSampleComplexF32TapsF64, void, (const float* x, float* y, SpIirState* state))   \
    X(ALL, spIirOneSampleComplexF32TapsF64RawOut, void, (const float* x, float* y, double* raw, SpIirState* state)) \
    X(ALL, spIirBiquadOneSampleComplexF32TapsF64, void, (const float* x, float* y, SpIirState* state)) \
    /* FIR block kernels. Direct: coef4 holds tap j four times (16-byte aligned), */             \
    /* output i = sum of tap j x src[i + L-1-j]. Multirate: coefficient groups (mode 1), */    \
    /* rows with a constant stride (mode 2) or an offset table (mode 3); they return */         \
    /* the running index after their last output. */                                           \
    X(ALL, spFirDirectKernelF32, void, (const float* coef4, const float* src, float* dst, int count, int tapsLen)) \
    X(ALL, spFirMultirateGroupsKernel, int, (const float* coef, const float* base, float* dst, int count, const int* phaseTable, const int* phaseEnd, int index, int tapsPerGroup)) \
    X(ALL, spFirMultirateStrideKernel, int, (const float* coef, const float* base, float* dst, int count, int index, int taps, int stride)) \
    X(ALL, spFirMultirateIndexedKernel, int, (const float* coef, const float* base, float* dst, int count, const int* phaseTable, const int* phaseEnd, int index, int taps)) \
    /* Complex FIR kernels (no caller). Direct: per tap (re,re,re,re) and */                     \
    /* (-im,im,-im,im), 16-byte aligned. Multirate: two planes (re,-im)/(im,re) per input, */   \
    /* the second 32 distance numPhases bytes on; offsets in bytes (multiples of 8), */          \
    /* entry pairs per step (one phase: first window, second relative to it); */                \
    /* index and result in complex values. */                                                   \
    X(ALL, spFirDirectKernelComplexF32, void, (const float* coef, const float* src, float* dst, int count, int taps)) \
    X(ALL, spFirMultirateKernelComplexF32, int, (const float* coef, const float* base, float* dst, int count, const int32_t* offsets, int numPhases, int index, int taps, int distance)) \
    /* FIR states: sizes, builders, create and filter (CPU layouts). */                          \
    X(ALL, spFirComputeStateSize, int64_t, (int tapsLen))                                          \
    X(ALL, spFirStateSize, SpStatus, (int tapsLen, int* size))                                     \
    X(ALL, spFirInit, SpStatus, (SpFirState** state, const float* taps, int tapsLen, const float* dlyLine, uint8_t* buf)) \
    X(ALL, spFirInitState, SpStatus, (SpFirState** state, const float* taps, int tapsLen, const float* dlyLine, uint8_t* buf)) \
    X(ALL, spFirCreate, SpStatus, (SpFirState** state, const float* taps, int tapsLen, const float* dlyLine)) \
    X(ALL, spFirCreateState, SpStatus, (SpFirState** state, const float* taps, int tapsLen, const float* dlyLine)) \
    X(ALL, spFirMultirateStateSize, SpStatus, (int tapsLen, int upFactor, int downFactor, int* size)) \
    X(B2, spFirMultirateGroupsSize, int64_t, (int tapsLen, int upFactor, int downFactor))         \
    X(B2, spFirMultirateIndexedSize, int64_t, (int tapsLen, int upFactor, int downFactor))        \
    X(ALL, spFirMultirateInit, SpStatus, (SpFirState** state, const float* taps, int tapsLen, int upFactor, int upPhase, int downFactor, int downPhase, const float* dlyLine, uint8_t* buf)) \
    X(ALL, spFirMultirateBuildGroups, SpStatus, (SpFirState** state, const float* taps, const SpFirMrGeometry* g, int upPhase, int downPhase, const float* dlyLine, uint8_t* buf)) \
    X(ALL, spFirMultirateBuildIndexed, SpStatus, (SpFirState** state, const float* taps, const SpFirMrGeometry* g, int upPhase, int downPhase, const float* dlyLine, uint8_t* buf)) \
    X(ALL, spFirFilterF32, SpStatus, (const float* src, float* dst, int numIters, SpFirState* state)) \
    /* Float IIR states: sizes (build 3 uses build 2's), builders, create and */                 \
    /* filter bodies; kernels: one-sample steps ('II01', 'II02'), block */                       \
    /* feed-forward into the work area and the four-output feedback ('II01', */                 \
    /* and per biquad section: ffSection 12 floats, fbSection 20). */                             \
    X(B12, spIirComputeStateSize, SpStatus, (int order, int* size, int32_t id))                    \
    X(B12, spIirStateSize, SpStatus, (int order, int* size))                                       \
    X(ALL, spIirSetTaps, SpStatus, (const float* taps, SpIirState* state))                         \
    X(ALL, spIirInitState, SpStatus, (SpIirState** state, const float* taps, int order, const float* dlyLine, uint8_t* buf, int32_t id)) \
    X(ALL, spIirInit, SpStatus, (SpIirState** state, const float* taps, int order, const float* dlyLine, uint8_t* buf)) \
    X(ALL, spIirCreateState, SpStatus, (SpIirState** state, const float* taps, int order, const float* dlyLine, int32_t id)) \
    X(ALL, spIirCreate, SpStatus, (SpIirState** state, const float* taps, int order, const float* dlyLine)) \
    X(ALL, spIirFilterF32, SpStatus, (const float* src, float* dst, int len, SpIirState* state))   \
    X(ALL, spIirFilterF32InPlace, SpStatus, (float* srcDst, int len, SpIirState* state))           \
    X(ALL, spIirOneSample, void, (const float* x, float* y, SpIirState* state))                    \
    X(ALL, spIirBiquadOneSample, void, (const float* x, float* y, SpIirState* state))              \
    X(ALL, spIirBlockFeedforward, void, (const float* src, float* work, int count, const float* ffTable, int order)) \
    X(ALL, spIirBlockFeedback, void, (const float* work, float* dst, int count, const float* fbTable, int order)) \
    X(ALL, spIirBiquadBlockFeedforward, void, (const float* src, float* work, int count, const float* ffSection)) \
    X(ALL, spIirBiquadBlockFeedback, void, (const float* work, float* dst, int count, const float* fbSection)) \
    /* IIR block kernels for 16-bit real, complex float (re, im) and complex 16-bit */        \
    /* samples (no caller): len outputs, value arrays 16-byte aligned; feedback kernels */     \
    /* hold the order's previous outputs in their first entries and write after them. */       \
    /* Complex tables: iir_kernels_block.inl. */                                                 \
    X(ALL, spIirBlockFeedforwardI16, void, (const int16_t* src, float* values, int64_t len, const float* ffTable, int order)) \
    X(ALL, spIirBlockFeedbackI16Scaled, void, (const float* values, float* history, int64_t len, const float* fbTable, int order, int16_t* dst, int sf)) \
    X(ALL, spIirBiquadBlockFeedforwardI16, void, (const int16_t* src, float* values, int64_t len, const float* ffSection)) \
    X(ALL, spIirBiquadBlockFeedbackI16Scaled, void, (const float* values, float* history, int64_t len, const float* fbSection, int16_t* dst, int sf)) \
    X(ALL, spIirBlockFeedforwardComplexF32, void, (const float* src, float* values, int64_t len, const float* ffTable, int order)) \
    X(ALL, spIirBlockFeedbackComplexF32, void, (const float* values, float* dst, int64_t len, const float* fbTable, int order)) \
    X(ALL, spIirBlockFeedforwardComplexI16, void, (const int16_t* src, float* values, int64_t len, const float* ffTable, int order)) \
    X(ALL, spIirBlockFeedbackComplexI16Scaled, void, (const float* values, float* history, int64_t len, const float* fbTable, int order, int16_t* dst, int sf))

#define SP_FILTER_CPU_DECLARE_ONE(fullName, result, params) result fullName params;
#define SP_FILTER_CPU_DECLARE(builds, name, result, params) \
    SP_CPU_FOR_BUILDS(builds, SP_FILTER_CPU_DECLARE_ONE, name, result, params)
SP_FILTER_CPU_LIST(SP_FILTER_CPU_DECLARE)
#undef SP_FILTER_CPU_DECLARE
#undef SP_FILTER_CPU_DECLARE_ONE

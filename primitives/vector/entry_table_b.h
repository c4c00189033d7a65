// Second public entry table of the signal primitives: 40 entries (rows 0-39),
// each a row of four bodies indexed by SpBuild, dispatched exactly as table A
// (primitives/convert/entry_table_a.h).
//
// SP_TABLE_B(X) lists every row once as X(row, name, result, (parameters),
// (arguments)). Placeholder rows (7-9, 27-38) take the signatures of the FFT
// and filter families' bodies.
#pragma once

#include <cstdint>

#include "primitives/convert/entry_table_a.h"

#define SP_TABLE_B(X)                                                                              \
    X(0, spCopyF32, SpStatus, (const float* src, float* dst, int len), (src, dst, len))            \
    X(1, spSetF32, SpStatus, (float val, float* dst, int len), (val, dst, len))                    \
    X(2, spScaleF32, SpStatus, (const float* src, float val, float* dst, int len),                 \
      (src, val, dst, len))                                                                        \
    X(3, spSqrtF32InPlace, SpStatus, (float* srcDst, int len), (srcDst, len))                      \
    X(4, spAbsF32InPlace, SpStatus, (float* srcDst, int len), (srcDst, len))                       \
    X(5, spMaxF32, SpStatus, (const float* src, int len, float* max), (src, len, max))             \
    X(6, spMinF32, SpStatus, (const float* src, int len, float* min), (src, len, min))             \
    X(7, spComplexFftCreate, SpStatus, (SpFftSpec** spec, int order, int flag, int hint),          \
      (spec, order, flag, hint))                                                                   \
    X(8, spComplexFftDestroy, SpStatus, (SpFftSpec* spec), (spec))                                 \
    X(9, spComplexFftForward, SpStatus,                                                            \
      (const float* src, float* dst, const SpFftSpec* spec, uint8_t* workBuf),                     \
      (src, dst, spec, workBuf))                                                                   \
    X(10, spMallocF32, float*, (int len), (len))                                                   \
    X(11, spFree, void, (void* p), (p))                                                            \
    X(12, spReverseF32, SpStatus, (const float* src, float* dst, int len), (src, dst, len))        \
    X(13, spMulF32InPlace, SpStatus, (const float* src, float* srcDst, int len),                   \
      (src, srcDst, len))                                                                          \
    X(14, spAddF32, SpStatus, (const float* src1, const float* src2, float* dst, int len),         \
      (src1, src2, dst, len))                                                                      \
    X(15, spSubF32, SpStatus, (const float* src1, const float* src2, float* dst, int len),         \
      (src1, src2, dst, len))                                                                      \
    X(16, spMulF32, SpStatus, (const float* src1, const float* src2, float* dst, int len),         \
      (src1, src2, dst, len))                                                                      \
    X(17, spAddProductF32, SpStatus,                                                               \
      (const float* src1, const float* src2, float* srcDst, int len), (src1, src2, srcDst, len))   \
    X(18, spSquareF32, SpStatus, (const float* src, float* dst, int len), (src, dst, len))         \
    X(19, spDivF32, SpStatus, (const float* src1, const float* src2, float* dst, int len),         \
      (src1, src2, dst, len))                                                                      \
    X(20, spExpF32InPlace, SpStatus, (float* srcDst, int len), (srcDst, len))                      \
    X(21, spLnF32InPlace, SpStatus, (float* srcDst, int len), (srcDst, len))                       \
    X(22, spSumF32, SpStatus, (const float* src, int len, float* sum, int hint),                   \
      (src, len, sum, hint))                                                                       \
    X(23, spMeanF32, SpStatus, (const float* src, int len, float* mean, int hint),                 \
      (src, len, mean, hint))                                                                      \
    X(24, spMinEveryF32InPlace, SpStatus, (const float* src, float* srcDst, int len),              \
      (src, srcDst, len))                                                                          \
    X(25, spMaxEveryF32InPlace, SpStatus, (const float* src, float* srcDst, int len),              \
      (src, srcDst, len))                                                                          \
    X(26, spDotProductF32, SpStatus, (const float* src1, const float* src2, int len, float* dp),   \
      (src1, src2, len, dp))                                                                       \
    X(27, spRealFftCreate, SpStatus, (SpFftSpec** spec, int order, int flag, int hint),            \
      (spec, order, flag, hint))                                                                   \
    X(28, spRealFftDestroy, SpStatus, (SpFftSpec* spec), (spec))                                   \
    X(29, spRealFftForward, SpStatus, (float* srcDst, const SpFftSpec* spec, uint8_t* workBuf),    \
      (srcDst, spec, workBuf))                                                                     \
    X(30, spRealFftInverse, SpStatus, (float* srcDst, const SpFftSpec* spec, uint8_t* workBuf),    \
      (srcDst, spec, workBuf))                                                                     \
    X(31, spMulPackedSpectraF32, SpStatus,                                                         \
      (const float* src1, const float* src2, float* dst, int len), (src1, src2, dst, len))         \
    X(32, spIirCreate, SpStatus,                                                                   \
      (SpIirState** state, const float* taps, int order, const float* dlyLine),                    \
      (state, taps, order, dlyLine))                                                               \
    X(33, spIirDestroy, SpStatus, (SpIirState* state), (state))                                    \
    X(34, spIirFilterF32, SpStatus, (const float* src, float* dst, int len, SpIirState* state),    \
      (src, dst, len, state))                                                                      \
    X(35, spFirCreate, SpStatus,                                                                   \
      (SpFirState** state, const float* taps, int tapsLen, const float* dlyLine),                  \
      (state, taps, tapsLen, dlyLine))                                                             \
    X(36, spFirDestroy, SpStatus, (SpFirState* state), (state))                                    \
    X(37, spUpsampleF32, SpStatus,                                                                 \
      (const float* src, int srcLen, float* dst, int* dstLen, int factor, int* phase),             \
      (src, srcLen, dst, dstLen, factor, phase))                                                   \
    X(38, spDownsampleF32, SpStatus,                                                               \
      (const float* src, int srcLen, float* dst, int* dstLen, int factor, int* phase),             \
      (src, srcLen, dst, dstLen, factor, phase))                                                   \
    X(39, spAddScaledF32, SpStatus, (const float* src, float val, float* srcDst, int len),         \
      (src, val, srcDst, len))

SP_TABLE_B(SP_DECLARE_ROW_TYPE)
SP_TABLE_B(SP_DECLARE_ENTRY)

struct SpEntryTableB {
#define SP_DECLARE_ROW(row, name, result, params, args) name##Fn* name[SP_BUILD_COUNT];
    SP_TABLE_B(SP_DECLARE_ROW)
#undef SP_DECLARE_ROW
};

// Constant-initialised; never written.
extern const SpEntryTableB spEntryTableB;

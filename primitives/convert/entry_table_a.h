// First public entry table of the signal primitives: 25 entries, each a row
// of four bodies indexed by SpBuild. An entry reads spDispatchIndex and
// tail-calls the body of that column with its arguments unchanged.
//
// SP_TABLE_A(X) lists every row once as X(row, name, result, (parameters),
// (arguments)); it feeds the declarations, the row types and the entries, and
// tests and benchmarks may walk it too. Placeholder rows (12-20) take the
// signatures of the filter family's bodies.
#pragma once

#include <cstdint>

#include "primitives/convert/sp_types.h"

#define SP_TABLE_A(X)                                                                              \
    X(1, spZeroF32, SpStatus, (float* dst, int len), (dst, len))                                   \
    X(2, spF32ToI16Scaled, SpStatus,                                                               \
      (const float* src, int16_t* dst, int len, int rndMode, int scaleFactor),                     \
      (src, dst, len, rndMode, scaleFactor))                                                       \
    X(3, spF32ToI32Scaled, SpStatus,                                                               \
      (const float* src, int32_t* dst, int len, int rndMode, int scaleFactor),                     \
      (src, dst, len, rndMode, scaleFactor))                                                       \
    X(4, spI16ToF32Scaled, SpStatus, (const int16_t* src, float* dst, int len, int scaleFactor),   \
      (src, dst, len, scaleFactor))                                                                \
    X(5, spI32ToF32Scaled, SpStatus, (const int32_t* src, float* dst, int len, int scaleFactor),   \
      (src, dst, len, scaleFactor))                                                                \
    X(6, spI24ToF32, SpStatus, (const uint8_t* src, float* dst, int len), (src, dst, len))         \
    X(7, spF32ToI24Scaled, SpStatus, (const float* src, uint8_t* dst, int len, int scaleFactor),   \
      (src, dst, len, scaleFactor))                                                                \
    X(8, spAddF32InPlace, SpStatus, (const float* src, float* srcDst, int len),                    \
      (src, srcDst, len))                                                                          \
    X(9, spDivConstF32InPlace, SpStatus, (float val, float* srcDst, int len), (val, srcDst, len))  \
    X(10, spMoveF32, SpStatus, (const float* src, float* dst, int len), (src, dst, len))           \
    X(11, spScaleF32InPlace, SpStatus, (float val, float* srcDst, int len), (val, srcDst, len))    \
    X(12, spFirInit, SpStatus,                                                                     \
      (SpFirState** state, const float* taps, int tapsLen, const float* dlyLine, uint8_t* buf),    \
      (state, taps, tapsLen, dlyLine, buf))                                                        \
    X(13, spFirStateSize, SpStatus, (int tapsLen, int* size), (tapsLen, size))                     \
    X(14, spFirMultirateInit, SpStatus,                                                            \
      (SpFirState** state, const float* taps, int tapsLen, int upFactor, int upPhase,              \
       int downFactor, int downPhase, const float* dlyLine, uint8_t* buf),                         \
      (state, taps, tapsLen, upFactor, upPhase, downFactor, downPhase, dlyLine, buf))              \
    X(15, spFirMultirateStateSize, SpStatus, (int tapsLen, int upFactor, int downFactor, int* size), \
      (tapsLen, upFactor, downFactor, size))                                                       \
    X(16, spFirFilterF32, SpStatus, (const float* src, float* dst, int numIters, SpFirState* state), \
      (src, dst, numIters, state))                                                                 \
    X(17, spFirOneDirectF32, SpStatus,                                                             \
      (float src, float* dst, const float* taps, int tapsLen, float* dly, int* idx),                \
      (src, dst, taps, tapsLen, dly, idx))                                                         \
    X(18, spIirFilterF32InPlace, SpStatus, (float* srcDst, int len, SpIirState* state),            \
      (srcDst, len, state))                                                                        \
    X(19, spIirStateSize, SpStatus, (int order, int* size), (order, size))                         \
    X(20, spIirInit, SpStatus,                                                                     \
      (SpIirState** state, const float* taps, int order, const float* dlyLine, uint8_t* buf),      \
      (state, taps, order, dlyLine, buf))                                                          \
    X(21, spI32ToF32, SpStatus, (const int32_t* src, float* dst, int len), (src, dst, len))        \
    X(22, spAddConstF32InPlace, SpStatus, (float val, float* srcDst, int len), (val, srcDst, len)) \
    X(23, spInterleaveF32, SpStatus, (const float* const* src, int numCh, int len, float* dst),    \
      (src, numCh, len, dst))                                                                      \
    X(24, spDeinterleaveF32, SpStatus, (const float* src, int numCh, int len, float* const* dst),  \
      (src, numCh, len, dst))                                                                      \
    X(25, spPowF32, SpStatus, (const float* x, const float* y, float* dst, int len),               \
      (x, y, dst, len))

// Function type of each row: spZeroF32Fn and so on.
#define SP_DECLARE_ROW_TYPE(row, name, result, params, args) using name##Fn = result params;
SP_TABLE_A(SP_DECLARE_ROW_TYPE)

// The public entries.
#define SP_DECLARE_ENTRY(row, name, result, params, args) result name params;
SP_TABLE_A(SP_DECLARE_ENTRY)

// One member per row: the four bodies in SpBuild order.
struct SpEntryTableA {
#define SP_DECLARE_ROW(row, name, result, params, args) name##Fn* name[SP_BUILD_COUNT];
    SP_TABLE_A(SP_DECLARE_ROW)
#undef SP_DECLARE_ROW
};

// Constant-initialised; never written.
extern const SpEntryTableA spEntryTableA;

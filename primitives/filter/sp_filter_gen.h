// The generic build (_Gen) of the filter family: single-rate and multirate
// FIR states, IIR states, upsampling and downsampling and the one-sample FIR
// step. Bodies check their arguments in the order of their entry and write
// nothing on an error. Sizes and counts are computed in 64 bits; what does
// not fit a positive int32 is refused by the check of that argument.
//
// Filter calls allocate nothing and take no lock (callable at
// DISPATCH_LEVEL); a state is advanced by every call, so its caller
// serialises the use of one state. Only spFirCreate and spIirCreate
// allocate, and the matching destroy frees.
#pragma once

#include <cstdint>

#include "primitives/convert/sp_types.h"
#include "primitives/sp_records.h"

// ---- Single-rate FIR (fir.cpp) -----------------------------------------------
SpStatus spFirStateSize_Gen(int tapsLen, int* size);
SpStatus spFirInit_Gen(SpFirState** state, const float* taps, int tapsLen, const float* dlyLine,
                       uint8_t* buf);
SpStatus spFirCreate_Gen(SpFirState** state, const float* taps, int tapsLen,
                         const float* dlyLine);
// Serves 'FI01' and 'FI03' states; frees only what spFirCreate allocated.
SpStatus spFirDestroy_Gen(SpFirState* state);
// 'FI01' here, 'FI03' through spFirMultirateFilterF32_Gen.
SpStatus spFirFilterF32_Gen(const float* src, float* dst, int numIters, SpFirState* state);
// Unchecked parts of the bodies above: the size in 64 bits (no FFT path
// below 64 taps), the build in a caller buffer and the allocating build.
int64_t spFirComputeStateSize_Gen(int tapsLen);
SpStatus spFirInitState_Gen(SpFirState** state, const float* taps, int tapsLen,
                            const float* dlyLine, uint8_t* buf);
SpStatus spFirCreateState_Gen(SpFirState** state, const float* taps, int tapsLen,
                              const float* dlyLine);

// ---- Multirate FIR (fir_multirate.cpp) ---------------------------------------
SpStatus spFirMultirateStateSize_Gen(int tapsLen, int upFactor, int downFactor, int* size);
SpStatus spFirMultirateInit_Gen(SpFirState** state, const float* taps, int tapsLen, int upFactor,
                                int upPhase, int downFactor, int downPhase, const float* dlyLine,
                                uint8_t* buf);
// The 'FI03' path of spFirFilterF32_Gen, after its pointer and length checks.
SpStatus spFirMultirateFilterF32_Gen(const float* src, float* dst, int numIters,
                                     SpFirState* state);
// Sizes of the two layouts in 64 bits (the phases do not enter the size).
int64_t spFirMultirateGroupsSize_Gen(int tapsLen, int upFactor, int downFactor);
int64_t spFirMultirateIndexedSize_Gen(int tapsLen, int upFactor, int downFactor);

// The derived quantities of a multirate state, shared by the builders of
// every build (plain functions: no inline code crosses builds). All in 64
// bits; mode 1 groups, 2 indexed with up 1, 3 indexed.
struct SpFirMrGeometry {
    int64_t L, up, down;
    int64_t H, M, K, G, X;  // history, column length, taps per group, stageLen, stagedOutLen
    int mode;
    int64_t phaseEntries;  // up + 1 (groups) or 4 up + 1 (indexed)
    int64_t size;          // bytes of the state in a caller buffer
};
// The layout the size query and the builders choose for (L, up, down).
SpFirMrGeometry spFirMrGeometry_Gen(int tapsLen, int upFactor, int downFactor);
// Everything the state and the filter's indexes use fits a positive int32.
bool spFirMrGeometryFits_Gen(const SpFirMrGeometry& g);
// Coefficient column c (0..3) at upsampled offset p, zero outside its span.
float spFirMrColumn_Gen(const float* taps, const SpFirMrGeometry& g, int c, int64_t p);
// The phase walk: A_j (first input of group j's window, counted from the
// oldest history sample) and F_j (offset into the columns), up entries each.
void spFirMrPhaseWalk_Gen(const SpFirMrGeometry& g, int upPhase, int downPhase, int64_t* A, int64_t* F);

// ---- IIR (iir.cpp) -------------------------------------------------------------
SpStatus spIirStateSize_Gen(int order, int* size);
SpStatus spIirInit_Gen(SpIirState** state, const float* taps, int order, const float* dlyLine,
                       uint8_t* buf);
SpStatus spIirCreate_Gen(SpIirState** state, const float* taps, int order,
                         const float* dlyLine);
SpStatus spIirDestroy_Gen(SpIirState* state);
// src may equal dst (then the result is that of the in-place form).
SpStatus spIirFilterF32_Gen(const float* src, float* dst, int len, SpIirState* state);
SpStatus spIirFilterF32InPlace_Gen(float* srcDst, int len, SpIirState* state);
// Unchecked parts: the size of the generic layout, the build in a buffer,
// the coefficients (SP_STS_DIV_BY_ZERO_ERR for a0 = +-0, nothing written)
// and the allocating build.
SpStatus spIirComputeStateSize_Gen(int order, int* size, int32_t id);
SpStatus spIirInitState_Gen(SpIirState** state, const float* taps, int order,
                            const float* dlyLine, uint8_t* buf, int32_t id);
SpStatus spIirSetTaps_Gen(const float* taps, SpIirState* state);
SpStatus spIirCreateState_Gen(SpIirState** state, const float* taps, int order,
                              const float* dlyLine, int32_t id);

// ---- Upsampling and downsampling (resample.cpp) --------------------------------
SpStatus spUpsampleF32_Gen(const float* src, int srcLen, float* dst, int* dstLen, int factor,
                           int* phase);
SpStatus spDownsampleF32_Gen(const float* src, int srcLen, float* dst, int* dstLen, int factor,
                             int* phase);

// ---- One-sample FIR step (fir_one.cpp) -------------------------------------------
SpStatus spFirOneDirectF32_Gen(float src, float* dst, const float* taps, int tapsLen, float* dly,
                               int* idx);

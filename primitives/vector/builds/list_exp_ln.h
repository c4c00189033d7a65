// Exponential and logarithm kernels (exp_ln.inc) with the bodies of spExpF32InPlace and
// spLnF32InPlace.
#pragma once

#define SP_VEC_LIST_EXP_LN(X)                                                                     \
    X(ALL, spExpF32Kernel, void, (const float* src, float* dst, int len))                         \
    X(ALL, spLnF32Kernel, int, (float* srcDst, int len, void* scratch))                           \
    X(ALL, spLnF32OutOfPlaceKernel, int, (const float* src, float* dst, int len, void* scratch))  \
    X(ALL, spExpF32InPlace, SpStatus, (float* srcDst, int len))                                   \
    X(ALL, spLnF32InPlace, SpStatus, (float* srcDst, int len))

// Entry bodies of the CPU builds whose kernels live in elementwise.inc,
// div.inc or the shared fill kernels (bodies.inc).
#pragma once

#define SP_VEC_LIST_BODIES(X)                                                                    \
    X(ALL, spSetF32, SpStatus, (float val, float* dst, int len))                                  \
    X(ALL, spAbsF32InPlace, SpStatus, (float* srcDst, int len))                                   \
    X(ALL, spSquareF32, SpStatus, (const float* src, float* dst, int len))                        \
    X(ALL, spReverseF32, SpStatus, (const float* src, float* dst, int len))                       \
    X(ALL, spMaxF32, SpStatus, (const float* src, int len, float* max))                           \
    X(ALL, spMinF32, SpStatus, (const float* src, int len, float* min))                           \
    X(B12, spMulF32InPlace, SpStatus, (const float* src, float* srcDst, int len))                 \
    X(B12, spAddF32, SpStatus, (const float* src1, const float* src2, float* dst, int len))       \
    X(B12, spSubF32, SpStatus, (const float* src1, const float* src2, float* dst, int len))       \
    X(B12, spMulF32, SpStatus, (const float* src1, const float* src2, float* dst, int len))       \
    X(ALL, spDivF32, SpStatus, (const float* src1, const float* src2, float* dst, int len))

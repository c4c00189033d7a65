// Single-precision division kernels and their four-lane step (div.inc).
#pragma once

#define SP_VEC_LIST_DIV(X)                                                                         \
    X(ALL, spDivF32Kernel, int, (const float* src1, const float* src2, float* dst, int len))       \
    X(ALL, spConstDivF32Kernel, int, (const float* src, const float* val, float* dst, int len))    \
    X(ALL, spDivStepF32, void, (const float* d, const float* a, float* q, int* flag))

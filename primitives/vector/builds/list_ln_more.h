// Further logarithm kernels: double and integer logarithms (ln_more.inc). Statuses: 0, 2 (the
// first special element was zero) or 4 (negative). Scratch blocks are 16-byte aligned: 32 bytes
// plus 4 per element (out of place) or 8 per element (in place).
#pragma once

#define SP_VEC_LIST_LN_MORE(X)                                                                    \
    X(ALL, spLnF64Kernel, int, (const double* src, double* dst, int len))                         \
    X(ALL, spLnF64ToF32Kernel, int, (const double* src, float* dst, int len))                     \
    X(ALL, spScaleFactorF32, void, (int scaleFactor, float* out))                                 \
    X(ALL, spLnI32ScaledKernel, int,                                                              \
      (const int32_t* src, int32_t* dst, int len, const float* scale, void* scratch))             \
    X(ALL, spLnI32ScaledInPlaceKernel, int, (int32_t* srcDst, int len, const float* scale, void* scratch)) \
    X(ALL, spLnI32ToI16ScaledKernel, int,                                                         \
      (const int32_t* src, int16_t* dst, int len, int scaleFactor, void* scratch))                \
    X(ALL, spLnI16ScaledKernel, int, (const int16_t* src, int16_t* dst, int len, int scaleFactor, void* scratch)) \
    X(ALL, spLnI16ScaledInPlaceKernel, int, (int16_t* srcDst, int len, int scaleFactor, void* scratch))

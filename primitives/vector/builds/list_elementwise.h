// Element-wise kernels: absolute value, maximum and minimum, reverse, the
// four arithmetic operations, square, and their companions for other
// element types (elementwise.inc).
#pragma once

#define SP_VEC_LIST_ELEMENTWISE(X)                                                                  \
    X(B12, spAddF32Kernel, void, (const float* src1, const float* src2, float* dst, int len))       \
    X(B12, spSubF32Kernel, void, (const float* src1, const float* src2, float* dst, int len))       \
    X(B12, spMulF32Kernel, void, (const float* src1, const float* src2, float* dst, int len))       \
    X(B12, spMulF32InPlaceKernel, void, (const float* src, float* srcDst, int len))                 \
    X(ALL, spAbsF32Kernel, void, (const float* src, float* dst, int len))                           \
    X(ALL, spAbsF64Kernel, void, (const double* src, double* dst, int len))                         \
    X(ALL, spAbsI16Kernel, void, (const int16_t* src, int16_t* dst, int len))                       \
    X(ALL, spAbsI32Kernel, void, (const int32_t* src, int32_t* dst, int len))                       \
    X(ALL, spSquareF32Kernel, void, (const float* src, float* dst, int len))                        \
    X(ALL, spSquareF64Kernel, void, (const double* src, double* dst, int len))                      \
    X(ALL, spSquareComplexF32Kernel, void, (const SpComplexF32* src, SpComplexF32* dst, int len))   \
    X(ALL, spSquareComplexF64Kernel, void, (const SpComplexF64* src, SpComplexF64* dst, int len))   \
    X(ALL, spSquareI16ScaledKernel, void, (const int16_t* src, int16_t* dst, int len, int scaleFactor)) \
    X(ALL, spSquareU8ScaledKernel, void, (const uint8_t* src, uint8_t* dst, int len, int scaleFactor)) \
    X(ALL, spSquareU16ScaledKernel, void, (const uint16_t* src, uint16_t* dst, int len, int scaleFactor)) \
    X(ALL, spSquareComplexI16ScaledKernel, void,                                                    \
      (const SpComplexI16* src, SpComplexI16* dst, int len, int scaleFactor))                       \
    X(ALL, spMaxF32Kernel, void, (const float* src, int len, float* max))                           \
    X(ALL, spMinF32Kernel, void, (const float* src, int len, float* min))                           \
    X(ALL, spMaxF64Kernel, void, (const double* src, int len, double* max))                         \
    X(ALL, spMinF64Kernel, void, (const double* src, int len, double* min))                         \
    X(ALL, spMaxI16Kernel, void, (const int16_t* src, int len, int16_t* max))                       \
    X(ALL, spMinI16Kernel, void, (const int16_t* src, int len, int16_t* min))                       \
    X(ALL, spReverseF32Kernel, void, (const float* src, float* dst, int len))                       \
    X(ALL, spReverseU8Kernel, void, (const uint8_t* src, uint8_t* dst, int len))                    \
    X(ALL, spReverseU16Kernel, void, (const uint16_t* src, uint16_t* dst, int len))                 \
    X(ALL, spReverseU8InPlaceKernel, void, (uint8_t* srcDst, int len))                              \
    X(ALL, spReverseU16InPlaceKernel, void, (uint16_t* srcDst, int len))                            \
    X(ALL, spReverseF32InPlaceKernel, void, (float* srcDst, int len))

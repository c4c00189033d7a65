// Square-root and add-scaled kernels (sqrt.inc) with the bodies of spSqrtF32InPlace and
// spAddScaledF32. The real and signed integer roots return a nonzero flag when an input was
// negative; complex lengths count (real, imaginary) pairs.
#pragma once

#define SP_VEC_LIST_SQRT(X)                                                                       \
    X(ALL, spSqrtF32Kernel, int, (const float* src, float* dst, int len))                         \
    X(ALL, spSqrtF32InPlaceKernel, int, (float* srcDst, int len))                                 \
    X(ALL, spSqrtF64Kernel, int, (const double* src, double* dst, int len))                       \
    X(ALL, spSqrtComplexF32Kernel, void, (const SpComplexF32* src, SpComplexF32* dst, int len))   \
    X(ALL, spSqrtComplexF64Kernel, void, (const SpComplexF64* src, SpComplexF64* dst, int len))   \
    X(ALL, spSqrtI16ScaledKernel, int, (const int16_t* src, int16_t* dst, int len, int sf))       \
    X(ALL, spSqrtU16ScaledKernel, void, (const uint16_t* src, uint16_t* dst, int len, int sf))    \
    X(ALL, spSqrtI32ToI16ScaledKernel, int, (const int32_t* src, int16_t* dst, int len, int sf))  \
    X(ALL, spSqrtI64ToI16ScaledKernel, int, (const int64_t* src, int16_t* dst, int len, int sf))  \
    X(ALL, spSqrtI64ScaledKernel, int, (const int64_t* src, int64_t* dst, int len, int sf))       \
    X(ALL, spSqrtComplexI16Kernel, void, (const SpComplexI16* src, SpComplexI16* dst, int len))   \
    X(ALL, spSqrtComplexI16ScaledKernel, void, (const SpComplexI16* src, SpComplexI16* dst, int len, int sf)) \
    X(ALL, spSqrtComplexI16ScaledQuotientKernel, void,                                            \
      (const SpComplexI16* src, SpComplexI16* dst, int len, int sf))                              \
    X(ALL, spSqrtU8TableKernel, void, (const uint8_t* src, uint8_t* dst, int len, const uint8_t* table)) \
    X(ALL, spSqrtF32InPlace, SpStatus, (float* srcDst, int len))                                  \
    X(B12, spAddScaledF32Kernel, void, (const float* src, float val, float* srcDst, int len))     \
    X(B12, spAddScaledF32, SpStatus, (const float* src, float val, float* srcDst, int len))

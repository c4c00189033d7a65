// Reduction kernels: sum, mean, element-wise minimum and maximum, dot products (reduce.inc), with
// their bodies. Complex lengths count (real, imaginary) pairs; complex int32 data and results are
// int32 pairs, complex int64 results int64 pairs. The scaled integer dots take their factor last.
#pragma once

#define SP_VEC_LIST_REDUCE(X)                                                                       \
    X(ALL, spSumF32Kernel, double, (const float* src, int len, int hint))                           \
    X(ALL, spMeanF32Kernel, float, (const float* src, int len, int hint))                           \
    X(ALL, spMinEveryF32Kernel, void, (const float* src, float* srcDst, unsigned len))              \
    X(ALL, spMaxEveryF32Kernel, void, (const float* src, float* srcDst, unsigned len))              \
    X(ALL, spDotProductF32Kernel, void, (const float* src1, const float* src2, int len, float* dp)) \
    X(ALL, spDotProductF32ToF64Kernel, void, (const float* src1, const float* src2, int len, double* dp)) \
    X(ALL, spDotProductF32ComplexF32ToF64Kernel, void,                                              \
      (const float* src1, const SpComplexF32* src2, int len, SpComplexF64* dp))                     \
    X(ALL, spDotProductComplexF32ToF64Kernel, void,                                                 \
      (const SpComplexF32* src1, const SpComplexF32* src2, int len, SpComplexF64* dp))              \
    X(ALL, spDotProductF32ComplexF32Kernel, void,                                                   \
      (const float* src1, const SpComplexF32* src2, int len, SpComplexF32* dp))                     \
    X(ALL, spDotProductComplexF32Kernel, void,                                                      \
      (const SpComplexF32* src1, const SpComplexF32* src2, int len, SpComplexF32* dp))              \
    X(ALL, spDotProductF64Kernel, void, (const double* src1, const double* src2, int len, double* dp)) \
    X(ALL, spDotProductF64ComplexF64Kernel, void,                                                   \
      (const double* src1, const SpComplexF64* src2, int len, SpComplexF64* dp))                    \
    X(ALL, spDotProductComplexF64Kernel, void,                                                      \
      (const SpComplexF64* src1, const SpComplexF64* src2, int len, SpComplexF64* dp))              \
    X(ALL, spDotProductI32ScaledKernel, void,                                                       \
      (const int32_t* src1, const int32_t* src2, int len, int32_t* dp, const double* factor))       \
    X(ALL, spDotProductI32ComplexI32ScaledKernel, void,                                             \
      (const int32_t* src1, const int32_t* src2, int len, int32_t* dp, const double* factor))       \
    X(ALL, spDotProductComplexI32ScaledKernel, void,                                                \
      (const int32_t* src1, const int32_t* src2, int len, int32_t* dp, const double* factor))       \
    X(ALL, spDotProductI16I32ScaledKernel, void,                                                    \
      (const int16_t* src1, const int32_t* src2, int len, int32_t* dp, const double* factor))       \
    X(ALL, spDotProductI16ToI64Kernel, void, (const int16_t* src1, const int16_t* src2, int len, int64_t* dp)) \
    X(ALL, spDotProductI16ComplexI16ToI64Kernel, void,                                              \
      (const int16_t* src1, const SpComplexI16* src2, int len, int64_t* dp))                        \
    X(ALL, spDotProductComplexI16ToI64Kernel, void,                                                 \
      (const SpComplexI16* src1, const SpComplexI16* src2, int len, int64_t* dp))                   \
    X(ALL, spDotProductI16ToI64AltKernel, void, (const int16_t* src1, const int16_t* src2, int len, int64_t* dp)) \
    X(ALL, spSumF32, SpStatus, (const float* src, int len, float* sum, int hint))                   \
    X(ALL, spMeanF32, SpStatus, (const float* src, int len, float* mean, int hint))                 \
    X(ALL, spMinEveryF32InPlace, SpStatus, (const float* src, float* srcDst, int len))              \
    X(ALL, spMaxEveryF32InPlace, SpStatus, (const float* src, float* srcDst, int len))              \
    X(ALL, spDotProductF32, SpStatus, (const float* src1, const float* src2, int len, float* dp))

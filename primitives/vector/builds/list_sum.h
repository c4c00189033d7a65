// Summation kernels (sum.inc). Complex lengths count (real, imaginary) pairs.
#pragma once

#define SP_VEC_LIST_SUM(X)                                                                        \
    X(ALL, spSumF32FastKernel, void, (const float* src, int len, double* sum))                    \
    X(ALL, spSumF32AccurateKernel, void, (const float* src, int len, double* sum))                \
    X(ALL, spSumComplexF32FastKernel, void, (const SpComplexF32* src, int len, double sum[2]))    \
    X(ALL, spSumComplexF32AccurateKernel, void, (const SpComplexF32* src, int len, double sum[2])) \
    X(ALL, spSumF64Kernel, void, (const double* src, int len, double* sum))                       \
    X(ALL, spSumComplexF64Kernel, void, (const SpComplexF64* src, int len, double sum[2]))        \
    X(ALL, spSumI16Kernel, void, (const int16_t* src, double* sum, int len))                      \
    X(ALL, spSumComplexI16Kernel, void, (const SpComplexI16* src, double sum[2], int len))        \
    X(ALL, spRoundScaledF64ToI32, int32_t, (const double* value, int sf))                         \
    X(ALL, spRoundScaledComplexF64ToI32, void, (const double value[2], int32_t dst[2], int sf))

// Division kernels for the other element types: complex, double and scaled
// integer (div_more.inc).
#pragma once

#define SP_VEC_LIST_DIV_MORE(X)                                                                    \
    X(ALL, spDivComplexF32Kernel, int,                                                             \
      (const SpComplexF32* src1, const SpComplexF32* src2, SpComplexF32* dst, int len))            \
    X(ALL, spDivStepComplexF32, void,                                                              \
      (const SpComplexF32* src1, const SpComplexF32* src2, SpComplexF32* dst, int count, int* flag)) \
    X(ALL, spDivF64Kernel, int, (const double* src1, const double* src2, double* dst, int len))    \
    X(ALL, spDivComplexF64Kernel, int,                                                             \
      (const SpComplexF64* src1, const SpComplexF64* src2, SpComplexF64* dst, int len))            \
    X(ALL, spDivI32ScaledKernel, int,                                                              \
      (const int32_t* src1, const int32_t* src2, int32_t* dst, int len, int scaleFactor))          \
    X(ALL, spDivI16ScaledKernel, int,                                                              \
      (const int16_t* src1, const int16_t* src2, int16_t* dst, int len, int scaleFactor))          \
    X(ALL, spDivComplexI16ScaledKernel, int,                                                       \
      (const SpComplexI16* src1, const SpComplexI16* src2, SpComplexI16* dst, int len, int scaleFactor)) \
    X(ALL, spDivConstI16ScaledKernel, void,                                                        \
      (const int16_t* src, int16_t val, int16_t* dst, int len, int scaleFactor))                   \
    X(ALL, spDivConstComplexI16ScaledKernel, void,                                                 \
      (const SpComplexI16* src, SpComplexI16 val, SpComplexI16* dst, int len, int scaleFactor))    \
    X(ALL, spDivU8ScaledKernel, int,                                                               \
      (const uint8_t* src1, const uint8_t* src2, uint8_t* dst, int len, int scaleFactor))          \
    X(ALL, spDivConstU8ScaledKernel, void,                                                         \
      (const uint8_t* src, uint8_t val, uint8_t* dst, int len, int scaleFactor))                   \
    X(ALL, spConstDivU16Kernel, int, (const uint16_t* src, uint16_t val, uint16_t* dst, int len))  \
    X(ALL, spDivI32ByI16ScaledKernel, int,                                                         \
      (const int16_t* src1, const int32_t* src2, int16_t* dst, int len, int scaleFactor))

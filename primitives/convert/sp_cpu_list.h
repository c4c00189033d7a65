// Every body and kernel of the CPU builds, once, with its signature:
//   X(builds, name, result, (parameters))
// `builds` says which builds define the name: ALL (_Sse3, _Ssse3, _Sse41),
// B12 (_Sse3, _Ssse3; build 3 uses build 2's) or B2 (_Ssse3 only). The list
// feeds sp_cpu.h's declarations, the table cells and the per-build kernel
// structs of tests and benchmarks.
#pragma once

#include <cstdint>

#include "primitives/convert/sp_types.h"

// One IEEE 754 binary16 value.
typedef uint16_t SpFloat16;

// 128-bit fill pattern: low half first.
struct SpPattern128 {
    uint64_t lo;
    uint64_t hi;
};

#define SP_CPU_LIST(X)                                                                              \
    /* Table A bodies and the bodies other families call directly. */                             \
    X(ALL, spZeroF32, SpStatus, (float* dst, int len))                                              \
    X(ALL, spF32ToI16Scaled, SpStatus, (const float* src, int16_t* dst, int len, int rndMode, int scaleFactor)) \
    X(ALL, spF32ToI32Scaled, SpStatus, (const float* src, int32_t* dst, int len, int rndMode, int scaleFactor)) \
    X(ALL, spI16ToF32Scaled, SpStatus, (const int16_t* src, float* dst, int len, int scaleFactor)) \
    X(B2, spI32ToF32Scaled, SpStatus, (const int32_t* src, float* dst, int len, int scaleFactor))  \
    X(ALL, spI24ToF32, SpStatus, (const uint8_t* src, float* dst, int len))                        \
    X(ALL, spF32ToI24Scaled, SpStatus, (const float* src, uint8_t* dst, int len, int scaleFactor)) \
    X(B12, spAddF32InPlace, SpStatus, (const float* src, float* srcDst, int len))                  \
    X(ALL, spDivConstF32InPlace, SpStatus, (float val, float* srcDst, int len))                    \
    X(ALL, spMoveF32, SpStatus, (const float* src, float* dst, int len))                           \
    X(ALL, spScaleF32InPlace, SpStatus, (float val, float* srcDst, int len))                       \
    X(ALL, spI32ToF32, SpStatus, (const int32_t* src, float* dst, int len))                        \
    X(B12, spAddConstF32InPlace, SpStatus, (float val, float* srcDst, int len))                    \
    X(ALL, spInterleaveF32, SpStatus, (const float* const* src, int numCh, int len, float* dst))   \
    X(ALL, spDeinterleaveF32, SpStatus, (const float* src, int numCh, int len, float* const* dst)) \
    X(ALL, spPowF32, SpStatus, (const float* x, const float* y, float* dst, int len))              \
    X(ALL, spSetI32, SpStatus, (int32_t val, int32_t* dst, int len))                               \
    X(ALL, spFill32, void*, (uint32_t val, void* dst, int count))                                  \
    X(ALL, spDivConstF32, SpStatus, (const float* src, float val, float* dst, int len))            \
    X(ALL, spScaleF32, SpStatus, (const float* src, float val, float* dst, int len))               \
    /* Vector kernels. */                                                                           \
    X(B12, spScaleF32Kernel, void, (const float* src, float val, float* dst, int len))             \
    X(B12, spAddF32InPlaceKernel, void, (const float* src, float* srcDst, int len))                \
    X(B12, spScaleF32InPlaceKernel, void, (float val, float* srcDst, int len))                     \
    X(B12, spAddConstF32InPlaceKernel, void, (float val, float* srcDst, int len))                  \
    X(ALL, spMoveF32Kernel, void, (const void* src, void* dst, int byteCount))                     \
    X(ALL, spZeroKernel, void*, (void* dst, int nBytes))                                           \
    X(ALL, spFill16Kernel, void*, (const uint16_t* pattern, void* dst, int count))                 \
    X(ALL, spFill32Kernel, void*, (const uint32_t* pattern, void* dst, int count))                 \
    X(ALL, spFill64Kernel, void*, (const uint64_t* pattern, void* dst, int count))                 \
    X(ALL, spFill128Kernel, void*, (const SpPattern128* pattern, void* dst, int count))            \
    X(ALL, spInterleave2F32Kernel, void, (const float* ch0, const float* ch1, float* dst, int len)) \
    X(ALL, spDeinterleave2F32Kernel, void, (const float* src, float* ch0, float* ch1, int len))    \
    /* Float to integer kernels. */                                                                 \
    X(ALL, spF32ToI8ScaledKernel, void, (const float* src, int8_t* dst, int len, int rndMode, int scaleFactor)) \
    X(ALL, spF32ToU8ScaledKernel, void, (const float* src, uint8_t* dst, int len, int rndMode, int scaleFactor)) \
    X(ALL, spF32ToI16ScaledKernel, void, (const float* src, int16_t* dst, int len, int rndMode, int scaleFactor)) \
    X(ALL, spF32ToU16ScaledKernel, void, (const float* src, uint16_t* dst, int len, int rndMode, int scaleFactor)) \
    X(ALL, spF64ToI32ScaledKernel, void, (const double* src, int32_t* dst, int len, int rndMode, int scaleFactor)) \
    X(ALL, spF32ToI32ScaledKernel, void, (const float* src, int32_t* dst, int len, int rndMode, int scaleFactor)) \
    X(ALL, spF32ToI8ScaledHalfAwayKernel, void, (const float* src, int8_t* dst, int len, int scaleFactor)) \
    X(ALL, spF32ToU8ScaledHalfAwayKernel, void, (const float* src, uint8_t* dst, int len, int scaleFactor)) \
    X(ALL, spF32ToI16ScaledHalfAwayKernel, void, (const float* src, int16_t* dst, int len, int scaleFactor)) \
    X(ALL, spF32ToU16ScaledHalfAwayKernel, void, (const float* src, uint16_t* dst, int len, int scaleFactor)) \
    X(ALL, spF32ToI32ScaledHalfAwayKernel, void, (const float* src, int32_t* dst, int len, int scaleFactor)) \
    X(ALL, spF64ToI32ScaledHalfAwayKernel, void, (const double* src, int32_t* dst, int len, int scaleFactor)) \
    /* Half-precision kernels. */                                                                   \
    X(ALL, spI16ToF16Kernel, void, (const int16_t* src, SpFloat16* dst, int len, int rndMode))     \
    X(ALL, spF16ToI16ScaledKernel, void, (const SpFloat16* src, int16_t* dst, int len, int rndMode, int scaleFactor)) \
    X(ALL, spF16ToF32Kernel, void, (const SpFloat16* src, float* dst, int len))                    \
    X(ALL, spF32ToF16Kernel, void, (const float* src, SpFloat16* dst, int len, int rndMode))       \
    /* Integer and floating-point conversion kernels. */                                           \
    X(ALL, spI32ToF32Kernel, void, (const int32_t* src, float* dst, int len))                      \
    X(ALL, spI16ToF32ScaledKernel, void, (const int16_t* src, float* dst, int len, const float* factor)) \
    X(ALL, spI16ToF32Kernel, void, (const int16_t* src, float* dst, int len))                      \
    X(ALL, spI8ToF32Kernel, void, (const int8_t* src, float* dst, int len))                        \
    X(ALL, spU8ToF32Kernel, void, (const uint8_t* src, float* dst, int len))                       \
    X(ALL, spI16ToF32DirectKernel, void, (const int16_t* src, float* dst, int len))                \
    X(ALL, spU16ToF32Kernel, void, (const uint16_t* src, float* dst, int len))                     \
    X(ALL, spI32ToF64Kernel, void, (const int32_t* src, double* dst, int len))                     \
    X(ALL, spF32ToF64Kernel, void, (const float* src, double* dst, int len))                       \
    X(ALL, spF64ToF32Kernel, void, (const double* src, float* dst, int len))                       \
    X(ALL, spI16ToF64ScaledKernel, void, (const int16_t* src, double* dst, int len, const double* factor)) \
    X(ALL, spI16ToF64Kernel, void, (const int16_t* src, double* dst, int len))                     \
    X(ALL, spI64ToI32ScaledKernel, void, (const int64_t* src, int32_t* dst, int len, int scaleFactor)) \
    /* Packed 24-bit kernels. */                                                                    \
    X(ALL, spI24ToF32Kernel, void, (const uint8_t* src, float* dst, int len))                      \
    X(ALL, spF32ToI24Kernel, void, (const float* src, uint8_t* dst, int len))                      \
    X(ALL, spF32ToI24ScaledKernel, void, (const float* src, uint8_t* dst, int len, int scaleFactor)) \
    X(ALL, spI24ToI32Kernel, void, (const uint8_t* src, int32_t* dst, int len))                    \
    X(ALL, spI32ToI24Kernel, void, (const int32_t* src, uint8_t* dst, int len))                    \
    X(ALL, spI32ToI24ScaledKernel, void, (const int32_t* src, uint8_t* dst, int len, int scaleFactor)) \
    X(ALL, spI32ToI24ScaledUpKernel, void, (const int32_t* src, uint8_t* dst, int len, int shift))

// Expansion helpers: SP_CPU_FOR_BUILDS(builds, M, name, ...) calls
// M(suffixed name, ...) once for each build that defines the name.
#define SP_CPU_EACH_ALL(M, name, ...) M(name##_Sse3, __VA_ARGS__) M(name##_Ssse3, __VA_ARGS__) M(name##_Sse41, __VA_ARGS__)
#define SP_CPU_EACH_B12(M, name, ...) M(name##_Sse3, __VA_ARGS__) M(name##_Ssse3, __VA_ARGS__)
#define SP_CPU_EACH_B2(M, name, ...) M(name##_Ssse3, __VA_ARGS__)
#define SP_CPU_FOR_BUILDS(builds, M, name, ...) SP_CPU_EACH_##builds(M, name, __VA_ARGS__)

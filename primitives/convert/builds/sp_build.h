// Vocabulary of one CPU-build translation unit. A build unit defines
// SP_BUILD (1, 2 or 3) and includes this header, then the body files
// (*.inc); each body file is written once and compiled once per build with
// that build's -m flag.
//
//   SP_NAME(spFoo)      the build's public name: spFoo_Sse3, _Ssse3, _Sse41
//   SP_NS               the build's helper namespace inside sp: sse3, ssse3,
//                       sse41 (named, so the ISA check can attribute every
//                       helper, inlined or not, to its build)
//   SpBuildTraits<B>    the only way builds differ: step sizes, limits and
//                       instruction choices, read as constants
//
// Build units use intrinsics and compiler builtins only: no standard-library
// templates or inline functions, whose one COMDAT copy the linker could
// share with the generic build or with another CPU build.
#pragma once

#include <emmintrin.h>
#include <pmmintrin.h>
#include <tmmintrin.h>
#include <xmmintrin.h>

#include <cstddef>
#include <cstdint>

#include "primitives/convert/sp_cpu.h"
#include "primitives/convert/sp_string_ops.h"
#include "primitives/convert/sp_types.h"

#ifndef SP_BUILD
#error "a build unit defines SP_BUILD before including sp_build.h"
#endif

#if SP_BUILD == 1
#define SP_NAME(name) name##_Sse3
#define SP_NS sse3
#elif SP_BUILD == 2
#define SP_NAME(name) name##_Ssse3
#define SP_NS ssse3
#elif SP_BUILD == 3
#define SP_NAME(name) name##_Sse41
#define SP_NS sse41
#else
#error "SP_BUILD is 1, 2 or 3"
#endif

// Name of build 2's body; build 3 names it where the two builds share one
// body (add, scale and add-constant kernels and their entries).
#define SP_NAME_B2(name) name##_Ssse3

template <int Build>
struct SpBuildTraits;

template <>
struct SpBuildTraits<SP_BUILD_SSE3> {
    static constexpr int kI32ToF32Step = 4;                  // int32 -> float elements per step
    static constexpr size_t kNtLimitBytes = 2u << 20;        // double-output non-temporal limit
    static constexpr bool kPrefetch = false;                 // source prefetch in 2.120 bodies
    static constexpr bool kByteShuffle = false;              // int8 spread: unpack or pshufb
    static constexpr bool kSignedMove = false;               // move: unsigned ladder
    static constexpr bool kI16Step16 = false;                // float -> int16: 16-element steps
};

template <>
struct SpBuildTraits<SP_BUILD_SSSE3> {
    static constexpr int kI32ToF32Step = 8;
    static constexpr size_t kNtLimitBytes = 4u << 20;
    static constexpr bool kPrefetch = true;
    static constexpr bool kByteShuffle = true;
    static constexpr bool kSignedMove = true;                // move: bit-driven pieces
    static constexpr bool kI16Step16 = true;
};

template <>
struct SpBuildTraits<SP_BUILD_SSE41> : SpBuildTraits<SP_BUILD_SSSE3> {};

namespace sp {
namespace SP_NS {

using Traits = SpBuildTraits<SP_BUILD>;

static inline uintptr_t addr(const void* p) { return (uintptr_t)p; }
static inline bool aligned16(const void* p) { return (addr(p) & 15) == 0; }

static inline float ldF32(const void* p) {
    float v;
    __builtin_memcpy(&v, p, 4);
    return v;
}
static inline void stF32(void* p, float v) { __builtin_memcpy(p, &v, 4); }
static inline uint32_t ldU32(const void* p) {
    uint32_t v;
    __builtin_memcpy(&v, p, 4);
    return v;
}
static inline void stU32(void* p, uint32_t v) { __builtin_memcpy(p, &v, 4); }
static inline uint64_t ldU64(const void* p) {
    uint64_t v;
    __builtin_memcpy(&v, p, 8);
    return v;
}
static inline void stU64(void* p, uint64_t v) { __builtin_memcpy(p, &v, 8); }
static inline uint16_t ldU16(const void* p) {
    uint16_t v;
    __builtin_memcpy(&v, p, 2);
    return v;
}
static inline void stU16(void* p, uint16_t v) { __builtin_memcpy(p, &v, 2); }
static inline double ldF64(const void* p) {
    double v;
    __builtin_memcpy(&v, p, 8);
    return v;
}
static inline void stF64(void* p, double v) { __builtin_memcpy(p, &v, 8); }
static inline uint32_t f2u(float f) { return __builtin_bit_cast(uint32_t, f); }
static inline float u2f(uint32_t u) { return __builtin_bit_cast(float, u); }

// 16-byte moves at any address; the aligned forms where the loop has made
// the address a multiple of 16.
static inline __m128i ldu(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
static inline __m128i lda(const void* p) { return _mm_load_si128(static_cast<const __m128i*>(p)); }
static inline __m128i lddqu(const void* p) { return _mm_lddqu_si128(static_cast<const __m128i*>(p)); }
static inline void stu(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
static inline void sta(void* p, __m128i v) { _mm_store_si128(static_cast<__m128i*>(p), v); }
static inline void stnt(void* p, __m128i v) { _mm_stream_si128(static_cast<__m128i*>(p), v); }
static inline __m128 lduPs(const void* p) { return _mm_loadu_ps(static_cast<const float*>(p)); }
static inline void stuPs(void* p, __m128 v) { _mm_storeu_ps(static_cast<float*>(p), v); }
static inline void staPs(void* p, __m128 v) { _mm_store_ps(static_cast<float*>(p), v); }

// From this many bytes on, the zero and move kernels leave their ordinary
// (temporal) stores to the string instructions: below it the instructions'
// start-up cost loses to a 16-byte loop, above it their wider internal
// stores win (the two meet near 2 KiB on the processors measured).
constexpr size_t kStringBytes = 2048;

static inline void prefetchT0(const void* p) {
    if (Traits::kPrefetch) _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
}

// MXCSR bits the kernels use.
constexpr uint32_t kMxcsrRound = 0x6000;
constexpr uint32_t kMxcsrRoundZero = 0x6000;
constexpr uint32_t kMxcsrDaz = 0x0040;
constexpr uint32_t kMxcsrInvalid = 0x0001;

}  // namespace SP_NS
}  // namespace sp

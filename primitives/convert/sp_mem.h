// Element access for the generic bodies. Callers may pass addresses that
// are not multiples of the element size, so scalar elements go through
// memcpy (one unaligned move, no aliasing assumptions) and the 16-byte SSE2
// helpers use unaligned forms unless a body has established alignment.
//
// Everything here has internal linkage inside sp::gen: a CPU-build unit
// compiled with other -m flags must never share an inline copy of it.
#pragma once

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

namespace sp {
namespace gen {

static inline float loadF32(const void* p) {
    float v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
static inline void storeF32(void* p, float v) { std::memcpy(p, &v, sizeof v); }

static inline uint32_t loadU32(const void* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
static inline void storeU32(void* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }

// 16-byte SSE2 moves at any address; the aligned store only where a body has
// brought the address to a 16-byte boundary. Taking void* keeps callers free
// of casts to the vector types, which would claim an alignment the address
// does not have.
static inline __m128i loadI128(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
static inline void storeI128(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
static inline void storeI128Aligned(void* p, __m128i v) { _mm_store_si128(static_cast<__m128i*>(p), v); }
static inline __m128i loadI64Low(const void* p) { return _mm_loadl_epi64(static_cast<const __m128i*>(p)); }
static inline __m128 loadF32x4(const void* p) { return _mm_loadu_ps(static_cast<const float*>(p)); }
static inline void storeF32x4(void* p, __m128 v) { _mm_storeu_ps(static_cast<float*>(p), v); }

static inline float elemF32(const float* base, size_t i) { return loadF32((const char*)base + i * 4); }
static inline void setElemF32(float* base, size_t i, float v) { storeF32((char*)base + i * 4, v); }

static inline uint32_t floatBits(float f) {
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}
static inline float bitsFloat(uint32_t b) {
    float f;
    std::memcpy(&f, &b, sizeof f);
    return f;
}
static inline uint64_t doubleBits(double d) {
    uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}
static inline double bitsDouble(uint64_t b) {
    double d;
    std::memcpy(&d, &b, sizeof d);
    return d;
}

// The float 2^-sf built from its exponent field, sf already clamped to
// -127..127 (sf 127 gives +0.0). Unsigned arithmetic: no signed shift.
static inline float powerOfTwoFactor(int sf) {
    return bitsFloat((uint32_t)(-sf) * (1u << 23) + 0x3F800000u);
}

static inline int clampInt(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

static inline uintptr_t addr(const void* p) { return (uintptr_t)p; }
static inline bool isAligned(const void* p, uintptr_t n) { return (addr(p) & (n - 1)) == 0; }

// A 4-wide step that reads src[i..i+3] before writing dst[i..i+3] gives the
// same values as a one-element-at-a-time loop unless dst lies 1 to 15 bytes
// above src (a later element would read what an earlier one wrote).
static inline bool blockStepSafe(const void* src, const void* dst) {
    uintptr_t s = addr(src), d = addr(dst);
    return d <= s || d - s >= 16;
}

}  // namespace gen
}  // namespace sp

// Generic build of zero, fill, add, divide, move and scale (table A rows 1,
// 8-11, 22), spSetI32_Gen, spDivConstF32_Gen and the byte kernels that the
// other families build on. Arithmetic is single precision with the caller's
// MXCSR; 16-byte SSE2 steps give the same values as one element at a time.
#include <emmintrin.h>

#include "primitives/convert/sp_gen.h"
#include "primitives/convert/sp_loops.h"
#include "primitives/convert/sp_mem.h"
#include "primitives/convert/sp_string_ops.h"

namespace sp {
namespace gen {
namespace {

// Bytes from p up to the next 16-byte boundary (0 when aligned), at most n.
size_t headToBoundary(const void* p, size_t n) {
    size_t head = (16 - (addr(p) & 15)) & 15;
    return head < n ? head : n;
}

// From this many bytes on, the string instructions (fast-string microcode
// on every x86-64 processor of the last decade) beat 16-byte SSE2 loops.
constexpr size_t kStringOpBytes = 512;

// Backward copy for dst above an overlapping src: each 16-byte piece is read
// before it is written, from the end down.
void copyBackward(const void* src, void* dst, size_t n) {
    const char* s = (const char*)src;
    char* d = (char*)dst;
    while (n >= 16) {
        n -= 16;
        storeI128(d + n, loadI128(s + n));
    }
    while (n > 0) {
        --n;
        d[n] = s[n];
    }
}

}  // namespace
}  // namespace gen
}  // namespace sp

using namespace sp::gen;

void* spZeroKernel_Gen(void* dst, int nBytes) {
    if (nBytes <= 0) return dst;
    char* d = (char*)dst;
    size_t n = (size_t)nBytes;
    if (n >= kStringOpBytes) {
        sp::rep::storeBytes(d, 0, n);
        return dst;
    }
    size_t head = headToBoundary(d, n);
    for (size_t i = 0; i < head; ++i) d[i] = 0;
    d += head;
    n -= head;
    const __m128i zero = _mm_setzero_si128();
    for (; n >= 64; n -= 64, d += 64) {
        storeI128Aligned(d, zero);
        storeI128Aligned(d + 16, zero);
        storeI128Aligned(d + 32, zero);
        storeI128Aligned(d + 48, zero);
    }
    for (; n >= 16; n -= 16, d += 16) storeI128Aligned(d, zero);
    for (size_t i = 0; i < n; ++i) d[i] = 0;
    return dst;
}

void* spFill32Kernel_Gen(uint32_t val, void* dst, int count) {
    if (count <= 0) return dst;
    char* d = (char*)dst;
    size_t n = (size_t)count;
    if (n * 4 >= kStringOpBytes) {
        sp::rep::storeWords(d, val, n);
        return dst;
    }
    // Words up to the 16-byte boundary when one is reachable word by word.
    if (isAligned(d, 4)) {
        for (; n > 0 && !isAligned(d, 16); --n, d += 4) storeU32(d, val);
    }
    const __m128i v = _mm_set1_epi32((int)val);
    for (; n >= 8; n -= 8, d += 32) {
        storeI128(d, v);
        storeI128(d + 16, v);
    }
    for (; n >= 4; n -= 4, d += 16) storeI128(d, v);
    for (; n > 0; --n, d += 4) storeU32(d, val);
    return dst;
}

// Forward copy. Each 64-byte (then 16-byte) piece is loaded completely
// before it is stored, so a dst below an overlapping src is safe. The head
// that brings dst to a 16-byte boundary stops when the count runs out.
void* spCopyKernel_Gen(const void* src, void* dst, int nBytes) {
    if (nBytes <= 0) return dst;
    const char* s = (const char*)src;
    char* d = (char*)dst;
    size_t n = (size_t)nBytes;
    if (n >= kStringOpBytes) {
        sp::rep::copyBytes(d, s, n);
        return dst;
    }
    size_t head = headToBoundary(d, n);
    for (size_t i = 0; i < head; ++i) d[i] = s[i];
    s += head;
    d += head;
    n -= head;
    for (; n >= 64; n -= 64, s += 64, d += 64) {
        __m128i a = loadI128(s);
        __m128i b = loadI128(s + 16);
        __m128i c = loadI128(s + 32);
        __m128i e = loadI128(s + 48);
        storeI128Aligned(d, a);
        storeI128Aligned(d + 16, b);
        storeI128Aligned(d + 32, c);
        storeI128Aligned(d + 48, e);
    }
    for (; n >= 16; n -= 16, s += 16, d += 16)
        storeI128Aligned(d, loadI128(s));
    for (size_t i = 0; i < n; ++i) d[i] = s[i];
    return dst;
}

SpStatus spZeroF32_Gen(float* dst, int len) {
    if (dst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0 || len >= SP_MAX_BYTE_LEN) return SP_STS_SIZE;
    spZeroKernel_Gen(dst, len * 4);
    return SP_STS_OK;
}

SpStatus spSetI32_Gen(int32_t val, int32_t* dst, int len) {
    if (dst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    spFill32Kernel_Gen((uint32_t)val, dst, len);
    return SP_STS_OK;
}

// Overlap-safe: the direction comes from the byte addresses, so arrays 1-3
// bytes apart are moved like any other overlap.
SpStatus spMoveF32_Gen(const float* src, float* dst, int len) {
    if (src == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0 || len >= SP_MAX_BYTE_LEN) return SP_STS_SIZE;
    size_t n = (size_t)len * 4;
    uintptr_t s = addr(src), d = addr(dst);
    if (d == s) return SP_STS_OK;
    if (d < s || d - s >= n)
        spCopyKernel_Gen(src, dst, (int)n);
    else
        copyBackward(src, dst, n);
    return SP_STS_OK;
}

SpStatus spAddF32InPlace_Gen(const float* src, float* srcDst, int len) {
    if (src == nullptr || srcDst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    mapBinary(src, srcDst, srcDst, (size_t)len, [](__m128 a, __m128 b) { return _mm_add_ps(a, b); },
              [](float a, float b) { return a + b; });
    return SP_STS_OK;
}

SpStatus spScaleF32InPlace_Gen(float val, float* srcDst, int len) {
    if (srcDst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    if (val == 1.0f) return SP_STS_OK;
    if (val == 0.0f) return spZeroF32_Gen(srcDst, len);
    const __m128 v = _mm_set1_ps(val);
    mapUnary(srcDst, srcDst, (size_t)len, [v](__m128 a) { return _mm_mul_ps(a, v); },
             [val](float a) { return a * val; });
    return SP_STS_OK;
}

// val +-0.0 leaves the data as it is (a -0.0 element stays -0.0).
SpStatus spAddConstF32InPlace_Gen(float val, float* srcDst, int len) {
    if (srcDst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    if (val == 0.0f) return SP_STS_OK;
    const __m128 v = _mm_set1_ps(val);
    mapUnary(srcDst, srcDst, (size_t)len, [v](__m128 a) { return _mm_add_ps(a, v); },
             [val](float a) { return a + val; });
    return SP_STS_OK;
}

// x * (1.0f / val), not x / val: the reciprocal is rounded once.
SpStatus spDivConstF32_Gen(const float* src, float val, float* dst, int len) {
    if (src == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    if (len < 1) return SP_STS_SIZE;
    if (val == 0.0f) return SP_STS_DIV_BY_ZERO_ERR;
    return spScaleF32_Gen(src, 1.0f / val, dst, len);
}

SpStatus spDivConstF32InPlace_Gen(float val, float* srcDst, int len) {
    if (srcDst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    return spDivConstF32_Gen(srcDst, val, srcDst, len);
}

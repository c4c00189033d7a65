// Generic build of the element-wise entries of table B: copy, set, scale,
// square root, absolute value, reverse, add, subtract, multiply, square,
// divide, product and scaled accumulation, element-wise min/max, and the
// float allocator. Single precision with the caller's MXCSR; products that
// are then added are rounded first (no fused multiply-add). Each element is
// read before it is written, so dst may be the same array as a source
// (reverse excepted).
#include <emmintrin.h>

#include <cmath>

#include "primitives/convert/sp_alloc.h"
#include "primitives/convert/sp_gen.h"
#include "primitives/convert/sp_loops.h"
#include "primitives/convert/sp_mem.h"

using namespace sp::gen;

namespace {

constexpr uint32_t kDefaultNan = 0xFFC00000u;

SpStatus checkBinary(const float* a, const float* b, const float* c, int len) {
    if (a == nullptr || b == nullptr || c == nullptr) return SP_STS_NULL_PTR;
    return len <= 0 ? SP_STS_SIZE : SP_STS_OK;
}

// Accumulation forms: out[i] = a[i] * b[i] + out[i]. Arrays closer than
// 4 * len bytes (identical or touching included) go one element at a time.
bool apart(const void* p, const void* q, int len) {
    uintptr_t d = addr(p) > addr(q) ? addr(p) - addr(q) : addr(q) - addr(p);
    return d > (uintptr_t)len * 4;
}

void accumulateProducts(const float* a, const float* b, float* out, size_t n, bool blocks) {
    size_t i = 0;
    if (blocks) {
        if (isAligned(out, 4)) {  // single elements up to out's 16-byte boundary
            for (; i < n && !isAligned(out + i, 16); ++i)
                setElemF32(out, i, elemF32(a, i) * elemF32(b, i) + elemF32(out, i));
        }
        for (; i + 4 <= n; i += 4) {
            __m128 p = _mm_mul_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i));
            _mm_storeu_ps(out + i, _mm_add_ps(p, _mm_loadu_ps(out + i)));
        }
    }
    for (; i < n; ++i) setElemF32(out, i, elemF32(a, i) * elemF32(b, i) + elemF32(out, i));
}

// Quotient for a zero divisor: +-inf by the dividend's sign, NaN for a zero
// or NaN dividend; the zero's sign is not used.
uint32_t zeroDivisorResult(float n) {
    if (n > 0.0f) return 0x7F800000u;
    if (n < 0.0f) return 0xFF800000u;
    return kDefaultNan;
}

}  // namespace

SpStatus spCopyF32_Gen(const float* src, float* dst, int len) {
    if (src == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0 || len >= SP_MAX_BYTE_LEN) return SP_STS_SIZE;
    spCopyKernel_Gen(src, dst, len * 4);
    return SP_STS_OK;
}

SpStatus spSetF32_Gen(float val, float* dst, int len) {
    if (dst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    spFill32Kernel_Gen(floatBits(val), dst, len);
    return SP_STS_OK;
}

// val 1.0 copies bit patterns, val +-0.0 writes +0.0 everywhere (even over
// infinities and NaNs); a NaN val multiplies.
SpStatus spScaleF32_Gen(const float* src, float val, float* dst, int len) {
    if (src == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    if (val == 1.0f) return spCopyF32_Gen(src, dst, len);
    if (val == 0.0f) return spZeroF32_Gen(dst, len);
    const __m128 v = _mm_set1_ps(val);
    mapUnary(src, dst, (size_t)len, [v](__m128 a) { return _mm_mul_ps(a, v); }, [val](float a) { return a * val; });
    return SP_STS_OK;
}

SpStatus spSqrtF32InPlace_Gen(float* srcDst, int len) {
    if (srcDst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    SpStatus status = SP_STS_OK;
    for (size_t i = 0; i < (size_t)len; ++i) {
        float x = elemF32(srcDst, i);
        if (x > 0.0f) {
            setElemF32(srcDst, i, (float)std::sqrt((double)x));
        } else if (x < 0.0f) {
            storeU32((char*)srcDst + i * 4, kDefaultNan);
            status = SP_STS_SQRT_NEG_ARG;
        }
    }
    return status;
}

SpStatus spAbsF32InPlace_Gen(float* srcDst, int len) {
    if (srcDst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    const __m128 mask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    mapUnary(srcDst, srcDst, (size_t)len, [mask](__m128 a) { return _mm_and_ps(a, mask); },
             [](float a) { return bitsFloat(floatBits(a) & 0x7FFFFFFFu); });
    return SP_STS_OK;
}

// src and dst must not overlap.
SpStatus spReverseF32_Gen(const float* src, float* dst, int len) {
    if (src == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    size_t n = (size_t)len, i = 0;
    for (; i + 8 <= n; i += 8) {
        __m128i v0 = loadI128(src + i);
        __m128i v1 = loadI128(src + i + 4);
        storeI128(dst + n - 4 - i, _mm_shuffle_epi32(v0, 0x1B));
        storeI128(dst + n - 8 - i, _mm_shuffle_epi32(v1, 0x1B));
    }
    for (; i + 4 <= n; i += 4) {
        __m128i v = loadI128(src + i);
        storeI128(dst + n - 4 - i, _mm_shuffle_epi32(v, 0x1B));
    }
    for (; i < n; ++i) storeU32((char*)dst + (n - 1 - i) * 4, loadU32((const char*)src + i * 4));
    return SP_STS_OK;
}

SpStatus spMulF32InPlace_Gen(const float* src, float* srcDst, int len) {
    SpStatus status = checkBinary(src, srcDst, srcDst, len);
    if (status != SP_STS_OK) return status;
    mapBinary(src, srcDst, srcDst, (size_t)len, [](__m128 a, __m128 b) { return _mm_mul_ps(a, b); },
              [](float a, float b) { return a * b; });
    return SP_STS_OK;
}

SpStatus spAddF32_Gen(const float* src1, const float* src2, float* dst, int len) {
    SpStatus status = checkBinary(src1, src2, dst, len);
    if (status != SP_STS_OK) return status;
    mapBinary(src1, src2, dst, (size_t)len, [](__m128 a, __m128 b) { return _mm_add_ps(a, b); },
              [](float a, float b) { return a + b; });
    return SP_STS_OK;
}

SpStatus spSubF32_Gen(const float* src1, const float* src2, float* dst, int len) {
    SpStatus status = checkBinary(src1, src2, dst, len);
    if (status != SP_STS_OK) return status;
    mapBinary(src1, src2, dst, (size_t)len, [](__m128 a, __m128 b) { return _mm_sub_ps(b, a); },
              [](float a, float b) { return b - a; });
    return SP_STS_OK;
}

SpStatus spMulF32_Gen(const float* src1, const float* src2, float* dst, int len) {
    SpStatus status = checkBinary(src1, src2, dst, len);
    if (status != SP_STS_OK) return status;
    mapBinary(src1, src2, dst, (size_t)len, [](__m128 a, __m128 b) { return _mm_mul_ps(a, b); },
              [](float a, float b) { return a * b; });
    return SP_STS_OK;
}

SpStatus spSquareF32_Gen(const float* src, float* dst, int len) {
    if (src == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    mapUnary(src, dst, (size_t)len, [](__m128 a) { return _mm_mul_ps(a, a); }, [](float a) { return a * a; });
    return SP_STS_OK;
}

SpStatus spDivF32_Gen(const float* src1, const float* src2, float* dst, int len) {
    SpStatus status = checkBinary(src1, src2, dst, len);
    if (status != SP_STS_OK) return status;
    for (size_t i = 0; i < (size_t)len; ++i) {
        float d = elemF32(src1, i), n = elemF32(src2, i);
        if (d != 0.0f) {
            setElemF32(dst, i, n / d);
        } else {
            storeU32((char*)dst + i * 4, zeroDivisorResult(n));
            status = SP_STS_DIV_BY_ZERO;
        }
    }
    return status;
}

SpStatus spAddProductF32_Gen(const float* src1, const float* src2, float* srcDst, int len) {
    SpStatus status = checkBinary(src1, src2, srcDst, len);
    if (status != SP_STS_OK) return status;
    bool blocks = apart(srcDst, src1, len) && apart(srcDst, src2, len);
    accumulateProducts(src1, src2, srcDst, (size_t)len, blocks);
    return SP_STS_OK;
}

// Blocks of four equal the one-at-a-time loop whenever blockStepSafe holds,
// which includes every case where srcDst is more than 4 * len bytes from src.
SpStatus spAddScaledF32_Gen(const float* src, float val, float* srcDst, int len) {
    if (src == nullptr || srcDst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    const __m128 v = _mm_set1_ps(val);
    mapBinary(src, srcDst, srcDst, (size_t)len, [v](__m128 a, __m128 d) { return _mm_add_ps(_mm_mul_ps(a, v), d); },
              [val](float a, float d) { return a * val + d; });
    return SP_STS_OK;
}

// srcDst[i] = src[i] only when src[i] < srcDst[i]: a NaN on either side, or
// equal values such as -0 and +0, keep srcDst[i] (minps(src, srcDst)).
SpStatus spMinEveryF32InPlace_Gen(const float* src, float* srcDst, int len) {
    SpStatus status = checkBinary(src, srcDst, srcDst, len);
    if (status != SP_STS_OK) return status;
    mapBinary(src, srcDst, srcDst, (size_t)len, [](__m128 a, __m128 b) { return _mm_min_ps(a, b); },
              [](float a, float b) { return a < b ? a : b; });
    return SP_STS_OK;
}

SpStatus spMaxEveryF32InPlace_Gen(const float* src, float* srcDst, int len) {
    SpStatus status = checkBinary(src, srcDst, srcDst, len);
    if (status != SP_STS_OK) return status;
    mapBinary(src, srcDst, srcDst, (size_t)len, [](__m128 a, __m128 b) { return _mm_max_ps(a, b); },
              [](float a, float b) { return a > b ? a : b; });
    return SP_STS_OK;
}

float* spMallocF32_Gen(int len) {
    if (len <= 0 || len > SP_MALLOC_F32_MAX_LEN) return nullptr;
    return (float*)spMallocAlignedSize((uint64_t)len * 4);
}

// Generic build of the reductions of table B: maximum, minimum, sum, mean
// and dot product. The accumulation order is fixed (it decides the
// rounding): max/min and the dot product run four lanes over blocks of 8
// from the first 16-byte boundary of their reference array; sum and mean
// keep two double partial sums. The result is written once, at the end.
#include <emmintrin.h>

#include "primitives/convert/sp_gen.h"
#include "primitives/convert/sp_mem.h"

using namespace sp::gen;

namespace {

// Elements before the first 16-byte boundary of p (p a multiple of 4).
size_t headElements(const float* p) { return isAligned(p, 16) ? 0 : (16 - (addr(p) & 15)) / 4; }

// True when the reference array takes the block form: 4-byte aligned and
// long enough for one block of 8 after the head.
bool blockForm(const float* ref, size_t n, size_t* head) {
    if (!isAligned(ref, 4)) return false;
    *head = headElements(ref);
    return n >= *head + 8;
}

// m = x when better(x, m): a NaN never replaces m; lanes use the SSE2 form
// of the same rule (maxps/minps(x, m) keep m unless x is strictly better).
template <bool Max>
float extremum(const float* src, size_t n) {
    auto better = [](float x, float m) { return Max ? x > m : x < m; };
    auto lanes = [](__m128 x, __m128 m) { return Max ? _mm_max_ps(x, m) : _mm_min_ps(x, m); };
    float m = elemF32(src, 0);
    size_t head = 0, i = 0;
    if (!blockForm(src, n, &head)) {
        for (; i < n; ++i)
            if (better(elemF32(src, i), m)) m = elemF32(src, i);
        return m;
    }
    for (; i < head; ++i)
        if (better(elemF32(src, i), m)) m = elemF32(src, i);
    __m128 a = _mm_set1_ps(m);
    for (; i + 8 <= n; i += 8) {
        a = lanes(_mm_load_ps(src + i), a);
        a = lanes(_mm_load_ps(src + i + 4), a);
    }
    float l[4];
    _mm_storeu_ps(l, a);
    float b0 = better(l[0], l[2]) ? l[0] : l[2];
    float b1 = better(l[1], l[3]) ? l[1] : l[3];
    m = better(b0, b1) ? b0 : b1;
    for (; i < n; ++i)
        if (better(elemF32(src, i), m)) m = elemF32(src, i);
    return m;
}

// Two double partial sums over groups of four (A: elements 0 and 2, B: 1
// and 3), S = B + A, then the last len mod 4 elements in index order.
double doubleSum(const float* src, size_t n) {
    double a = 0.0, b = 0.0;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        a += (double)elemF32(src, i);
        b += (double)elemF32(src, i + 1);
        a += (double)elemF32(src, i + 2);
        b += (double)elemF32(src, i + 3);
    }
    double s = b + a;
    for (; i < n; ++i) s += (double)elemF32(src, i);
    return s;
}

template <bool Max>
SpStatus extremumBody(const float* src, int len, float* result) {
    if (src == nullptr || result == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    setElemF32(result, 0, extremum<Max>(src, (size_t)len));
    return SP_STS_OK;
}

}  // namespace

SpStatus spMaxF32_Gen(const float* src, int len, float* max) { return extremumBody<true>(src, len, max); }
SpStatus spMinF32_Gen(const float* src, int len, float* min) { return extremumBody<false>(src, len, min); }

SpStatus spSumF32_Gen(const float* src, int len, float* sum, int /*hint*/) {
    if (src == nullptr || sum == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    setElemF32(sum, 0, (float)doubleSum(src, (size_t)len));
    return SP_STS_OK;
}

SpStatus spMeanF32_Gen(const float* src, int len, float* mean, int /*hint*/) {
    if (src == nullptr || mean == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    setElemF32(mean, 0, (float)(doubleSum(src, (size_t)len) / (double)len));
    return SP_STS_OK;
}

// Single precision, every product rounded before it is added. Block form on
// src2: P starts as (acc, 0, 0, 0) and takes elements 0-3 of each block of
// 8, Q elements 4-7; acc = (R0 + R2) + (R1 + R3) with R = P + Q.
void spDotProductF32Kernel_Gen(const float* src1, const float* src2, int len, float* dp) {
    size_t n = (size_t)len, head = 0, i = 0;
    float acc = 0.0f;
    auto product = [&](size_t k) { return elemF32(src1, k) * elemF32(src2, k); };
    if (!blockForm(src2, n, &head)) {
        for (; i < n; ++i) acc += product(i);
        setElemF32(dp, 0, acc);
        return;
    }
    for (; i < head; ++i) acc += product(i);
    __m128 p = _mm_set_ps(0.0f, 0.0f, 0.0f, acc);
    __m128 q = _mm_setzero_ps();
    for (; i + 8 <= n; i += 8) {
        p = _mm_add_ps(p, _mm_mul_ps(_mm_loadu_ps(src1 + i), _mm_load_ps(src2 + i)));
        q = _mm_add_ps(q, _mm_mul_ps(_mm_loadu_ps(src1 + i + 4), _mm_load_ps(src2 + i + 4)));
    }
    float r[4];
    _mm_storeu_ps(r, _mm_add_ps(p, q));
    acc = (r[0] + r[2]) + (r[1] + r[3]);
    for (; i < n; ++i) acc += product(i);
    setElemF32(dp, 0, acc);
}

SpStatus spDotProductF32_Gen(const float* src1, const float* src2, int len, float* dp) {
    if (src1 == nullptr || src2 == nullptr || dp == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    spDotProductF32Kernel_Gen(src1, src2, len, dp);
    return SP_STS_OK;
}

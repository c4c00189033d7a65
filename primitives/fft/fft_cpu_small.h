// Complex forward kernels of orders 2 and 3 of one CPU build (rows 2 to 7
// of SP_COMPLEX_FFT_SMALL_KERNELS), compiled once per build after
// sp_build.h. Each forms the same sums, differences and products as the
// generic kernel of its order and scaling, in the same order and with the
// same constant, two complex values per vector: the results are the generic
// bits. Subtraction is written as the addition of a sign-flipped operand
// where that pairs lanes; IEEE 754 defines x - y as x + (-y), so nothing
// changes. Every input is loaded before the first store, so src may equal
// dst.
#pragma once

namespace sp {
namespace SP_NS {

// Lanes 1 and 2 negative, lanes 0 and 3 untouched.
static inline __m128 fftSignMask12() {
    return _mm_castsi128_ps(_mm_set_epi32(0, (int)0x80000000u, (int)0x80000000u, 0));
}

// [a - i b, a + i b] from the complex values a and b in the low halves.
static inline __m128 fftCrossI(__m128 a, __m128 b) {
    const __m128 aa = _mm_movelh_ps(a, a);
    const __m128 bs = _mm_shuffle_ps(b, b, _MM_SHUFFLE(0, 1, 0, 1));
    return _mm_add_ps(aa, _mm_xor_ps(bs, fftSignMask12()));
}

// [lo.low, -i hi.high]: the second operand of a radix-2 step with the -i
// rotation on its upper value.
static inline __m128 fftRotateHigh(__m128 v) {
    const __m128 sign = _mm_castsi128_ps(_mm_set_epi32((int)0x80000000u, 0, 0, 0));
    return _mm_xor_ps(_mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 1, 0)), sign);
}

template <bool Scaled>
static inline void fftComplexOrder2(const float* src, float* dst, float scale) {
    const __m128 a = _mm_loadu_ps(src), b = _mm_loadu_ps(src + 4);
    __m128 s = _mm_add_ps(a, b);  // s0, s1
    __m128 d = _mm_sub_ps(a, b);  // d0, d1
    if (Scaled) {
        s = _mm_mul_ps(s, _mm_set1_ps(scale));
        d = _mm_mul_ps(d, _mm_set1_ps(scale));
    }
    const __m128 lo = _mm_movelh_ps(s, d);                   // s0, d0
    const __m128 hi = fftRotateHigh(_mm_movehl_ps(d, s));    // s1, -i d1
    _mm_storeu_ps(dst, _mm_add_ps(lo, hi));
    _mm_storeu_ps(dst + 4, _mm_sub_ps(lo, hi));
}

template <bool Scaled>
static inline void fftComplexOrder3(const float* src, float* dst, float scale) {
    constexpr float kC = 0.70710677f;  // cos(pi/4), as the generic kernel
    const __m128 z01 = _mm_loadu_ps(src), z23 = _mm_loadu_ps(src + 4);
    const __m128 z45 = _mm_loadu_ps(src + 8), z67 = _mm_loadu_ps(src + 12);
    __m128 s01 = _mm_add_ps(z01, z45), s23 = _mm_add_ps(z23, z67);
    __m128 d01 = _mm_sub_ps(z01, z45), d23 = _mm_sub_ps(z23, z67);
    if (Scaled) {
        const __m128 k = _mm_set1_ps(scale);
        s01 = _mm_mul_ps(s01, k);
        s23 = _mm_mul_ps(s23, k);
        d01 = _mm_mul_ps(d01, k);
        d23 = _mm_mul_ps(d23, k);
    }
    const __m128 eg = _mm_add_ps(s01, s23);  // e, g
    const __m128 fh = _mm_sub_ps(s01, s23);  // f, h
    const __m128 lo = _mm_movelh_ps(eg, fh);                 // e, f
    const __m128 hi = fftRotateHigh(_mm_movehl_ps(fh, eg));  // g, -i h
    const __m128 sum = _mm_add_ps(lo, hi), diff = _mm_sub_ps(lo, hi);

    // pa, pb, qa, qb, then P and Q with the same factors as the generic form.
    const __m128 pq = fftCrossI(_mm_movehl_ps(d01, d01), _mm_movehl_ps(d23, d23));
    const __m128 swapped = _mm_shuffle_ps(pq, pq, _MM_SHUFFLE(2, 3, 0, 1));  // pb, pa, qb, qa
    const __m128 t = _mm_add_ps(pq, _mm_xor_ps(swapped, fftSignMask12()));
    const __m128 PQ = _mm_mul_ps(_mm_set_ps(-kC, -kC, kC, kC), t);
    const __m128 mp = fftCrossI(d01, d23);  // d0 - i d2, d0 + i d2
    const __m128 out2 = _mm_add_ps(mp, PQ), out10 = _mm_sub_ps(mp, PQ);

    _mm_storel_pi(reinterpret_cast<__m64*>(dst), sum);
    _mm_storel_pi(reinterpret_cast<__m64*>(dst + 2), out2);
    _mm_storeh_pi(reinterpret_cast<__m64*>(dst + 4), sum);
    _mm_storeh_pi(reinterpret_cast<__m64*>(dst + 6), out2);
    _mm_storel_pi(reinterpret_cast<__m64*>(dst + 8), diff);
    _mm_storel_pi(reinterpret_cast<__m64*>(dst + 10), out10);
    _mm_storeh_pi(reinterpret_cast<__m64*>(dst + 12), diff);
    _mm_storeh_pi(reinterpret_cast<__m64*>(dst + 14), out10);
}

}  // namespace SP_NS
}  // namespace sp

// Build 3 takes build 2's order-2 kernels and has its own order-3 ones.
#if SP_BUILD != 3
void SP_NAME(spComplexFftFwdOrder2)(const float* src, float* dst) {
    sp::SP_NS::fftComplexOrder2<false>(src, dst, 1.0f);
}
void SP_NAME(spComplexFftFwdOrder2Scaled)(const float* src, float* dst, float scale) {
    sp::SP_NS::fftComplexOrder2<true>(src, dst, scale);
}
#endif
void SP_NAME(spComplexFftFwdOrder3)(const float* src, float* dst) {
    sp::SP_NS::fftComplexOrder3<false>(src, dst, 1.0f);
}
void SP_NAME(spComplexFftFwdOrder3Scaled)(const float* src, float* dst, float scale) {
    sp::SP_NS::fftComplexOrder3<true>(src, dst, scale);
}

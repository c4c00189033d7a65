// Complex pair products of the CPU builds' FFT kernels, written once and
// compiled per build after sp_build.h.
//
// Each product is re = a.re b.re - a.im b.im, im = a.im b.re + a.re b.im,
// every product rounded to single precision before the one subtraction or
// addition (ADDSUBPS subtracts in the real lane and adds in the imaginary
// lane). Four pairs per step, the last count mod 4 pairs one per step with
// the same operations, so an element's value does not depend on its
// position, the count or the alignment. Every step loads its operands
// before it stores, so dst may be src1 or src2.
#pragma once

namespace sp {
namespace SP_NS {

// Two products: a and b each hold two interleaved pairs.
static inline __m128 fftMulPairs(__m128 a, __m128 b) {
    const __m128 bRe = _mm_moveldup_ps(b);  // b.re in both lanes of a pair
    const __m128 bIm = _mm_movehdup_ps(b);  // b.im in both lanes of a pair
    const __m128 aSwapped = _mm_shuffle_ps(a, a, _MM_SHUFFLE(2, 3, 0, 1));
    return _mm_addsub_ps(_mm_mul_ps(a, bRe), _mm_mul_ps(aSwapped, bIm));
}

static inline void fftMulComplexPairs(const float* src1, const float* src2, float* dst,
                                      unsigned count) {
    unsigned i = 0;
    for (; i + 4 <= count; i += 4) {
        const float* a = src1 + 2 * i;
        const float* b = src2 + 2 * i;
        const __m128 lo = fftMulPairs(_mm_loadu_ps(a), _mm_loadu_ps(b));
        const __m128 hi = fftMulPairs(_mm_loadu_ps(a + 4), _mm_loadu_ps(b + 4));
        _mm_storeu_ps(dst + 2 * i, lo);
        _mm_storeu_ps(dst + 2 * i + 4, hi);
    }
    for (; i < count; ++i) {
        const __m128 a = _mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(src1 + 2 * i)));
        const __m128 b = _mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(src2 + 2 * i)));
        _mm_store_sd(reinterpret_cast<double*>(dst + 2 * i), _mm_castps_pd(fftMulPairs(a, b)));
    }
}

}  // namespace SP_NS
}  // namespace sp

void SP_NAME(spMulComplexPairsF32)(const float* src1, const float* src2, float* dst,
                                   unsigned count) {
    sp::SP_NS::fftMulComplexPairs(src1, src2, dst, count);
}

void SP_NAME(spMulComplexPairsF32InPlace)(const float* src, float* srcDst, unsigned count) {
    sp::SP_NS::fftMulComplexPairs(src, srcDst, srcDst, count);
}

// Real-FFT recombination passes and complex pair products of the CPU
// builds' FFT kernels, written once and compiled per build after sp_build.h.
//
// The recombinations work on n = N/2 interleaved complex points, four bins
// k = 4g+1..4g+4 and their four mirrors n - k per step, with one table
// group (four first components, then four second components) per step.
// Each bin gets the generic build's single-precision operations in the
// generic order. The fourth bin of the last group is N/4 itself: its lane
// is computed and dropped, and bin N/4 is handled on its own.
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
        // 8-byte moves at any 4-byte alignment.
        const __m128 zero = _mm_setzero_ps();
        const __m128 a = _mm_loadl_pi(zero, reinterpret_cast<const __m64*>(src1 + 2 * i));
        const __m128 b = _mm_loadl_pi(zero, reinterpret_cast<const __m64*>(src2 + 2 * i));
        _mm_storel_pi(reinterpret_cast<__m64*>(dst + 2 * i), fftMulPairs(a, b));
    }
}

// Four bins from p (interleaved) as their real and imaginary parts.
static inline void fftLoadBins(const float* p, __m128* re, __m128* im) {
    const __m128 v0 = _mm_loadu_ps(p), v1 = _mm_loadu_ps(p + 4);
    *re = _mm_shuffle_ps(v0, v1, _MM_SHUFFLE(2, 0, 2, 0));
    *im = _mm_shuffle_ps(v0, v1, _MM_SHUFFLE(3, 1, 3, 1));
}

static inline __m128 fftReverse(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 1, 2, 3)); }

// The four mirrors n-k, n-k-1, n-k-2, n-k-3 of bins k..k+3, from the
// point n-k-3 at p, in bin order.
static inline void fftLoadMirrors(const float* p, __m128* re, __m128* im) {
    fftLoadBins(p, re, im);
    *re = fftReverse(*re);
    *im = fftReverse(*im);
}

// Stores lanes 0..count-1 (3 or 4) of four bins at p.
static inline void fftStoreBins(float* p, __m128 re, __m128 im, int count) {
    _mm_storeu_ps(p, _mm_unpacklo_ps(re, im));
    const __m128 hi = _mm_unpackhi_ps(re, im);
    if (count == 4) {
        _mm_storeu_ps(p + 4, hi);
    } else {
        _mm_storel_pi(reinterpret_cast<__m64*>(p + 4), hi);
    }
}

// Stores the mirrors of lanes 0..count-1 (3 or 4) at the point n-k-3 at p;
// with 3 the point at p (lane 3's mirror) is left alone.
static inline void fftStoreMirrors(float* p, __m128 re, __m128 im, int count) {
    re = fftReverse(re);
    im = fftReverse(im);
    const __m128 lo = _mm_unpacklo_ps(re, im);
    if (count == 4) {
        _mm_storeu_ps(p, lo);
    } else {
        _mm_storeh_pi(reinterpret_cast<__m64*>(p + 2), lo);
    }
    _mm_storeu_ps(p + 4, _mm_unpackhi_ps(re, im));
}

static inline void fftRecombineFwd(float* data, int n, const float* table) {
    const int quarter = n / 2;
    for (int k = 1; k < quarter; k += 4, table += 8) {
        const int count = k + 4 > quarter ? 3 : 4;
        float* bins = data + 2 * k;
        float* mirrors = data + 2 * (n - k - 3);
        __m128 c, e, d, f;
        fftLoadBins(bins, &c, &e);
        fftLoadMirrors(mirrors, &d, &f);
        const __m128 t0 = _mm_load_ps(table), t1 = _mm_load_ps(table + 4);
        const __m128 u = _mm_sub_ps(c, d);
        const __m128 w = _mm_add_ps(e, f);
        const __m128 h = _mm_add_ps(_mm_mul_ps(t0, w), _mm_mul_ps(t1, u));
        const __m128 g = _mm_sub_ps(_mm_mul_ps(t1, w), _mm_mul_ps(t0, u));
        fftStoreBins(bins, _mm_add_ps(d, h), _mm_sub_ps(g, f), count);
        fftStoreMirrors(mirrors, _mm_sub_ps(c, h), _mm_sub_ps(g, e), count);
    }
    // X[N/4] = conj Z[N/4], by the sign bit.
    float* im = data + 2 * quarter + 1;
    _mm_store_ss(im, _mm_xor_ps(_mm_load_ss(im), _mm_set_ss(-0.0f)));
}

static inline void fftRecombineInv(const float* src, float* dst, int n, const float* table) {
    const int quarter = n / 2;
    const float re = src[2 * quarter], im = src[2 * quarter + 1];
    dst[2 * quarter] = 2.0f * re;
    dst[2 * quarter + 1] = -2.0f * im;
    for (int k = 1; k < quarter; k += 4, table += 8) {
        const int count = k + 4 > quarter ? 3 : 4;
        __m128 a, c, b, d;
        fftLoadBins(src + 2 * k, &a, &c);
        fftLoadMirrors(src + 2 * (n - k - 3), &b, &d);
        const __m128 t0 = _mm_load_ps(table), t1 = _mm_load_ps(table + 4);
        const __m128 sr = _mm_add_ps(a, b), dr = _mm_sub_ps(a, b);
        const __m128 si = _mm_add_ps(c, d), di = _mm_sub_ps(c, d);
        const __m128 p = _mm_sub_ps(_mm_mul_ps(t1, dr), _mm_mul_ps(t0, si));
        const __m128 q = _mm_add_ps(_mm_mul_ps(t1, si), _mm_mul_ps(t0, dr));
        fftStoreBins(dst + 2 * k, _mm_add_ps(sr, p), _mm_add_ps(di, q), count);
        fftStoreMirrors(dst + 2 * (n - k - 3), _mm_sub_ps(sr, p), _mm_sub_ps(q, di), count);
    }
}

}  // namespace SP_NS
}  // namespace sp

void SP_NAME(spRealFftRecombineFwd)(float* data, int n, int /*direction*/, const float* table) {
    sp::SP_NS::fftRecombineFwd(data, n, table);
}

void SP_NAME(spRealFftRecombineInv)(const float* src, float* dst, int n, int /*direction*/,
                                    const float* table) {
    sp::SP_NS::fftRecombineInv(src, dst, n, table);
}

void SP_NAME(spMulComplexPairsF32)(const float* src1, const float* src2, float* dst,
                                   unsigned count) {
    sp::SP_NS::fftMulComplexPairs(src1, src2, dst, count);
}

void SP_NAME(spMulComplexPairsF32InPlace)(const float* src, float* srcDst, unsigned count) {
    sp::SP_NS::fftMulComplexPairs(src, srcDst, srcDst, count);
}

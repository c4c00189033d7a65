// One-sample FIR step of one CPU build: the generic body's checks, then a
// kernel that stores the sample twice in the caller's doubled delay line,
// advances the index and sums in single precision: one sum in tap order up
// to 16 taps, four partial sums above. The complex kernel has no caller.
namespace sp {
namespace SP_NS {

constexpr int kOneStepUnrolledTaps = 16;

// The four taps that meet window samples i..i+3, in window order
// (taps[L-1-i] .. taps[L-4-i]).
static inline __m128 reversedTaps(const float* taps, int L, int i) {
    const __m128 t = lduPs(taps + (L - 4 - i));
    return _mm_shuffle_ps(t, t, _MM_SHUFFLE(0, 1, 2, 3));
}

// Four partial sums over window[from..L-1]: eight samples per step as two
// groups of four whose products are added together first, then a group of
// four, then single products into lane 0.
static __m128 partialSums(const float* window, const float* taps, int L, int from, __m128 acc) {
    int i = from;
    for (; i + 8 <= L; i += 8) {
        const __m128 a = _mm_mul_ps(lduPs(window + i), reversedTaps(taps, L, i));
        const __m128 b = _mm_mul_ps(lduPs(window + i + 4), reversedTaps(taps, L, i + 4));
        acc = _mm_add_ps(acc, _mm_add_ps(a, b));
    }
    if (i + 4 <= L) {
        acc = _mm_add_ps(acc, _mm_mul_ps(lduPs(window + i), reversedTaps(taps, L, i)));
        i += 4;
    }
    for (; i < L; ++i) acc = _mm_add_ss(acc, _mm_set_ss(taps[L - 1 - i] * window[i]));
    return acc;
}

// Stores x at dly[j] and dly[j + L] (elements of `width` floats), advances
// the index and returns the new window start m.
static inline int pushSample(const float* x, float* dly, int L, int* idx, int width) {
    const int j = *idx;
    for (int c = 0; c < width; ++c) {
        dly[(int64_t{j} + L) * width + c] = x[c];
        dly[int64_t{j} * width + c] = x[c];
    }
    const int m = j + 1 < L ? j + 1 : 0;
    *idx = m;
    return m;
}

}  // namespace SP_NS
}  // namespace sp

using namespace sp::SP_NS;

void SP_NAME(spFirOneDirectKernel)(const float* src, float* dst, const float* taps, int tapsLen, float* dly,
                                   int* idx) {
    const int L = tapsLen;
    const float* window = dly + pushSample(src, dly, L, idx, 1);
    if (L <= kOneStepUnrolledTaps) {
        float sum = 0.0f;
        for (int i = 0; i < L; ++i) sum += taps[L - 1 - i] * window[i];
        *dst = sum;
        return;
    }
    __m128 acc = _mm_setzero_ps();
    int i = 0;
    if (aligned16(window) || (addr(window) & 3) != 0) {
        acc = partialSums(window, taps, L, 0, acc);
    } else {
        // Single products into s0 until the window reaches a 16-byte boundary.
        for (; !aligned16(window + i); ++i) acc = _mm_add_ss(acc, _mm_set_ss(taps[L - 1 - i] * window[i]));
        acc = partialSums(window, taps, L, i, acc);
    }
    float s[4];
    _mm_storeu_ps(s, acc);
    *dst = (s[0] + s[2]) + (s[1] + s[3]);
}

void SP_NAME(spFirOneDirectComplexKernel)(const float* x, float* y, const float* taps, int tapsLen, float* dly,
                                          int* idx) {
    const int L = tapsLen;
    const float* window = dly + 2 * pushSample(x, dly, L, idx, 2);
    // Lanes of p: (re*tre, im*tim) per pair, sums A and B; lanes of q:
    // (re*tim, im*tre), sums C and D.
    __m128 p = _mm_setzero_ps(), q = _mm_setzero_ps();
    int i = 0;
    for (; i + 2 <= L; i += 2) {
        const __m128 d = lduPs(window + 2 * i);
        // Taps of window pairs i and i+1: taps[L-1-i] and taps[L-2-i].
        const __m128 t = _mm_loadh_pi(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(taps + 2 * (L - 1 - i)))),
                                      reinterpret_cast<const __m64*>(taps + 2 * (L - 2 - i)));
        p = _mm_add_ps(p, _mm_mul_ps(d, t));
        q = _mm_add_ps(q, _mm_mul_ps(d, _mm_shuffle_ps(t, t, _MM_SHUFFLE(2, 3, 0, 1))));
    }
    if (i < L) {
        const __m128 d = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(window + 2 * i)));
        const __m128 t = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(taps + 2 * (L - 1 - i))));
        p = _mm_add_ps(p, _mm_mul_ps(d, t));
        q = _mm_add_ps(q, _mm_mul_ps(d, _mm_shuffle_ps(t, t, _MM_SHUFFLE(2, 3, 0, 1))));
    }
    float a[4], c[4];
    _mm_storeu_ps(a, p);
    _mm_storeu_ps(c, q);
    y[0] = (a[0] + a[2]) - (a[1] + a[3]);
    y[1] = (c[0] + c[2]) + (c[1] + c[3]);
}

SpStatus SP_NAME(spFirOneDirectF32)(float src, float* dst, const float* taps, int tapsLen, float* dly, int* idx) {
    if (dst == nullptr || taps == nullptr) return SP_STS_NULL_PTR;
    if (tapsLen <= 0) return SP_STS_FIR_LEN;
    if (dly == nullptr || idx == nullptr) return SP_STS_NULL_PTR;
    // An index outside the line would store outside it (as the generic body).
    if (*idx < 0 || *idx >= tapsLen) return SP_STS_SIZE;
    SP_NAME(spFirOneDirectKernel)(&src, dst, taps, tapsLen, dly, idx);
    return SP_STS_OK;
}

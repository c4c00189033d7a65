// FIR block kernels of one CPU build: the single-rate direct kernel, the
// three multirate kernels (coefficient groups, constant stride, offset
// table) and the two complex kernels that no body calls. They check
// nothing; the filter bodies pass counts and tables their builders laid
// out. Every output is formed by one fixed sequence of single-precision
// operations, whichever path (vector lanes or scalar tail) computes it, so
// the results do not depend on where a block starts or ends in memory apart
// from the direct kernel's documented heads.
namespace sp {
namespace SP_NS {

static inline __m128 splat(float v) { return _mm_set1_ps(v); }

// ---- Direct kernel, real --------------------------------------------------
// Window input m of output i is src[i + m]; tap k meets window input
// L - 1 - k, so coefficient vector L - 1 - m holds the tap of input m.

// One output as a single sum from 0.0, oldest input first (the generic order).
static inline float directSingle(const float* x, const float* coef4, int L) {
    float s = 0.0f;
    for (int m = 0; m < L; ++m) s += coef4[4 * (L - 1 - m)] * x[m];
    return s;
}

// Four outputs (lanes) by passes of four taps: the first pass gives
// (p0 + p1) + (p2 + p3) (or, with fromZero, 0 + that), each later one adds
// y + ((p0 + p1) + (p2 + p3)); one to three remaining taps add y + p0,
// (y + p0) + p1 or (p0 + p1) + (y + p2). With one to three taps in all the
// single pass gives x0 h0, x0 h1 + x1 h0 or (x0 h2 + x1 h1) + x2 h0.
static inline __m128 directPasses(const float* x, const float* coef4, int L, bool fromZero) {
    const float* c = coef4 + 4 * (L - 1);  // tap of window input 0
#define SP_P(m) _mm_mul_ps(lduPs(x + (m)), _mm_load_ps(c - 4 * (m)))
    if (L < 4) {
        if (L == 1) return SP_P(0);
        if (L == 2) return _mm_add_ps(SP_P(0), SP_P(1));
        return _mm_add_ps(_mm_add_ps(SP_P(0), SP_P(1)), SP_P(2));
    }
    __m128 y = _mm_add_ps(_mm_add_ps(SP_P(0), SP_P(1)), _mm_add_ps(SP_P(2), SP_P(3)));
    if (fromZero) y = _mm_add_ps(_mm_setzero_ps(), y);
    int m = 4;
    for (; m + 4 <= L; m += 4)
        y = _mm_add_ps(y, _mm_add_ps(_mm_add_ps(SP_P(m), SP_P(m + 1)), _mm_add_ps(SP_P(m + 2), SP_P(m + 3))));
    switch (L - m) {
        case 1: y = _mm_add_ps(y, SP_P(m)); break;
        case 2: y = _mm_add_ps(_mm_add_ps(y, SP_P(m)), SP_P(m + 1)); break;
        case 3: y = _mm_add_ps(_mm_add_ps(SP_P(m), SP_P(m + 1)), _mm_add_ps(y, SP_P(m + 2))); break;
        default: break;
    }
#undef SP_P
    return y;
}

// The same sequence for one output (lane 0 only; loads no input beyond the
// window).
static inline float directPassesOne(const float* x, const float* coef4, int L, bool fromZero) {
    float p[4];
    const float* c = coef4 + 4 * (L - 1);
#define SP_Q(m) (x[m] * c[-4 * (m)])
    if (L < 4) {
        if (L == 1) return SP_Q(0);
        if (L == 2) return SP_Q(0) + SP_Q(1);
        return (SP_Q(0) + SP_Q(1)) + SP_Q(2);
    }
    float y = (SP_Q(0) + SP_Q(1)) + (SP_Q(2) + SP_Q(3));
    if (fromZero) y = 0.0f + y;
    int m = 4;
    for (; m + 4 <= L; m += 4) y = y + ((SP_Q(m) + SP_Q(m + 1)) + (SP_Q(m + 2) + SP_Q(m + 3)));
    switch (L - m) {
        case 1: y = y + SP_Q(m); break;
        case 2: y = (y + SP_Q(m)) + SP_Q(m + 1); break;
        case 3:
            p[0] = SP_Q(m) + SP_Q(m + 1);
            p[1] = y + SP_Q(m + 2);
            y = p[0] + p[1];
            break;
        default: break;
    }
#undef SP_Q
    return y;
}

// ---- Multirate sums ---------------------------------------------------------

// Mode 1: four lanes (outputs of a group) over K window inputs, each input
// broadcast: s + ((t0 + t1) + (t2 + t3)) per block of four from a zero sum,
// then s + t0, s + (t0 + t1) or (s + t0) + (t1 + t2).
static inline __m128 groupSum(const float* coef, const float* x, int K) {
#define SP_T(m) _mm_mul_ps(_mm_load_ps(coef + 4 * (m)), splat(x[m]))
    __m128 s = _mm_setzero_ps();
    int m = 0;
    for (; m + 8 <= K; m += 8) {
        s = _mm_add_ps(s, _mm_add_ps(_mm_add_ps(SP_T(m), SP_T(m + 1)), _mm_add_ps(SP_T(m + 2), SP_T(m + 3))));
        s = _mm_add_ps(s, _mm_add_ps(_mm_add_ps(SP_T(m + 4), SP_T(m + 5)), _mm_add_ps(SP_T(m + 6), SP_T(m + 7))));
    }
    for (; m + 4 <= K; m += 4)
        s = _mm_add_ps(s, _mm_add_ps(_mm_add_ps(SP_T(m), SP_T(m + 1)), _mm_add_ps(SP_T(m + 2), SP_T(m + 3))));
    switch (K - m) {
        case 1: s = _mm_add_ps(s, SP_T(m)); break;
        case 2: s = _mm_add_ps(s, _mm_add_ps(SP_T(m), SP_T(m + 1))); break;
        case 3: s = _mm_add_ps(_mm_add_ps(s, SP_T(m)), _mm_add_ps(SP_T(m + 1), SP_T(m + 2))); break;
        default: break;
    }
#undef SP_T
    return s;
}

// Modes 2 and 3, four or more taps: partial sums s0..s3 over the taps
// 0, 1, 2, 3 mod 4, each in tap order from its first product; of the taps
// after the last block of four the first and third go to s0, the second to
// s1; the output is (s0 + s2) + (s1 + s3).
static inline float partialSum(const float* coef, const float* x, int taps) {
    __m128 s = _mm_mul_ps(lduPs(coef), lduPs(x));
    int m = 4;
    for (; m + 4 <= taps; m += 4) s = _mm_add_ps(s, _mm_mul_ps(lduPs(coef + m), lduPs(x + m)));
    float l[4];
    _mm_storeu_ps(l, s);
    const int rest = taps - m;
    if (rest >= 1) l[0] = l[0] + coef[m] * x[m];
    if (rest >= 2) l[1] = l[1] + coef[m + 1] * x[m + 1];
    if (rest >= 3) l[0] = l[0] + coef[m + 2] * x[m + 2];
    return (l[0] + l[2]) + (l[1] + l[3]);
}

// One to three taps: a single sum from 0.0 in tap order.
static inline float shortSum(const float* coef, const float* x, int taps) {
    float s = 0.0f;
    for (int m = 0; m < taps; ++m) s += coef[m] * x[m];
    return s;
}

// ---- Complex --------------------------------------------------------------

// x times the complex tap held as (re, re, re, re) and (-im, im, -im, im),
// for the two complex values in x.
static inline __m128 complexProduct(__m128 x, const float* tapPair) {
    const __m128 swapped = _mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 3, 0, 1));
    return _mm_add_ps(_mm_mul_ps(x, _mm_load_ps(tapPair)), _mm_mul_ps(swapped, _mm_load_ps(tapPair + 4)));
}

// Two complex outputs (or one in the low half when `one`): from a zero sum,
// taps four at a time from the oldest, ((q0 + q1) + (q2 + q3)), then the one
// to three remaining one by one.
static inline __m128 complexDirect(const float* x, const float* coef, int L, bool one) {
#define SP_LOADX(m) (one ? _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(x + 2 * (m)))) : lduPs(x + 2 * (m)))
#define SP_C(m) complexProduct(SP_LOADX(m), coef + 8 * (L - 1 - (m)))
    __m128 s = _mm_setzero_ps();
    int m = 0;
    for (; m + 4 <= L; m += 4) s = _mm_add_ps(s, _mm_add_ps(_mm_add_ps(SP_C(m), SP_C(m + 1)), _mm_add_ps(SP_C(m + 2), SP_C(m + 3))));
    for (; m < L; ++m) s = _mm_add_ps(s, SP_C(m));
#undef SP_C
#undef SP_LOADX
    return s;
}

// One complex output of the multirate complex kernel: two taps per step in
// four lanes per plane, an odd last tap alone, then (l0 + l2) + (l1 + l3).
static inline void complexMultirateOne(const float* plane1, const float* plane2, const float* x, int taps,
                                       float* out) {
    __m128 a = _mm_setzero_ps(), b = _mm_setzero_ps();
    int m = 0;
    for (; m + 2 <= taps; m += 2) {
        const __m128 v = lduPs(x + 2 * m);
        a = _mm_add_ps(a, _mm_mul_ps(v, lduPs(plane1 + 2 * m)));
        b = _mm_add_ps(b, _mm_mul_ps(v, lduPs(plane2 + 2 * m)));
    }
    if (m < taps) {
        const __m128 v = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(x + 2 * m)));
        const __m128 c1 = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(plane1 + 2 * m)));
        const __m128 c2 = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(plane2 + 2 * m)));
        a = _mm_add_ps(a, _mm_mul_ps(v, c1));
        b = _mm_add_ps(b, _mm_mul_ps(v, c2));
    }
    float la[4], lb[4];
    _mm_storeu_ps(la, a);
    _mm_storeu_ps(lb, b);
    out[0] = (la[0] + la[2]) + (la[1] + la[3]);
    out[1] = (lb[0] + lb[2]) + (lb[1] + lb[3]);
}

}  // namespace SP_NS
}  // namespace sp

using namespace sp::SP_NS;

void SP_NAME(spFirDirectKernelF32)(const float* coef4, const float* src, float* dst, int count, int tapsLen) {
    const int L = tapsLen;
    int i = 0;
    if ((addr(dst) & 3) != 0) {
        // Unaligned stores throughout; four taps or fewer take the one pass.
        if (L <= 4) {
            for (; i + 4 <= count; i += 4) stuPs(dst + i, directPasses(src + i, coef4, L, false));
            for (; i < count; ++i) stF32(dst + i, directPassesOne(src + i, coef4, L, false));
        } else {
            for (; i + 4 <= count; i += 4) stuPs(dst + i, directPasses(src + i, coef4, L, true));
            for (; i < count; ++i) stF32(dst + i, directSingle(src + i, coef4, L));
        }
        return;
    }
    // Up to three single outputs until the destination is 16-byte aligned.
    for (; i < count && !aligned16(dst + i); ++i) dst[i] = directSingle(src + i, coef4, L);
    for (; i + 8 <= count; i += 8) {
        staPs(dst + i, directPasses(src + i, coef4, L, false));
        staPs(dst + i + 4, directPasses(src + i + 4, coef4, L, false));
    }
    for (; i + 4 <= count; i += 4) staPs(dst + i, directPasses(src + i, coef4, L, false));
    for (; i < count; ++i) dst[i] = directPassesOne(src + i, coef4, L, false);
}

int SP_NAME(spFirMultirateGroupsKernel)(const float* coef, const float* base, float* dst, int count,
                                        const int* phaseTable, const int* phaseEnd, int index, int tapsPerGroup) {
    const float* c = coef;
    const int* tp = phaseTable;
    for (int o = 0; o + 4 <= count; o += 4) {
        index += *tp++;
        stuPs(dst + o, groupSum(c, base + index, tapsPerGroup));
        c += 4 * tapsPerGroup;
        if (tp == phaseEnd) {
            index += *phaseEnd;
            tp = phaseTable;
            c = coef;
        }
    }
    return index;
}

int SP_NAME(spFirMultirateStrideKernel)(const float* coef, const float* base, float* dst, int count, int index,
                                        int taps, int stride) {
    for (int o = 0; o + 4 <= count; o += 4) {
        for (int q = 0; q < 4; ++q) {
            const float* x = base + index + q * stride;
            dst[o + q] = taps >= 4 ? partialSum(coef, x, taps) : shortSum(coef + q * taps, x, taps);
        }
        index += 4 * stride;
    }
    return index;
}

int SP_NAME(spFirMultirateIndexedKernel)(const float* coef, const float* base, float* dst, int count,
                                         const int* phaseTable, const int* phaseEnd, int index, int taps) {
    const float* c = coef;
    const int* tp = phaseTable;
    if (taps >= 4) {
        for (int o = 0; o < count; ++o) {
            dst[o] = partialSum(c, base + index + *tp, taps);
            ++tp;
            c += taps;
            if (tp == phaseEnd) {
                index += *phaseEnd;
                tp = phaseTable;
                c = coef;
            }
        }
        return index;
    }
    for (int o = 0; o + 4 <= count; o += 4) {
        for (int q = 0; q < 4; ++q) dst[o + q] = shortSum(c + q * taps, base + index + tp[q], taps);
        tp += 4;
        c += 4 * taps;
        if (tp == phaseEnd) {
            index += *phaseEnd;
            tp = phaseTable;
            c = coef;
        }
    }
    return index;
}

void SP_NAME(spFirDirectKernelComplexF32)(const float* coef, const float* src, float* dst, int count, int taps) {
    int i = 0;
    if ((addr(dst) & 7) == 0 && (addr(dst) & 15) == 8 && count > 0) {
        _mm_storel_pi(reinterpret_cast<__m64*>(dst), complexDirect(src, coef, taps, true));
        i = 1;
    }
    for (; i + 2 <= count; i += 2) stuPs(dst + 2 * i, complexDirect(src + 2 * i, coef, taps, false));
    if (i < count) {
        float pair[4];
        _mm_storeu_ps(pair, complexDirect(src + 2 * i, coef, taps, true));
        stF32(dst + 2 * i, pair[0]);
        stF32(dst + 2 * i + 1, pair[1]);
    }
}

int SP_NAME(spFirMultirateKernelComplexF32)(const float* coef, const float* base, float* dst, int count,
                                            const int32_t* offsets, int numPhases, int index, int taps,
                                            int distance) {
    const float* plane2 = coef + 8 * int64_t{distance} * numPhases;
    const int64_t setFloats = 2 * int64_t{distance};
    if (numPhases == 1) {
        int64_t first = 8 * int64_t{index} + offsets[0];  // bytes from base
        for (int o = 0; o + 2 <= count; o += 2) {
            complexMultirateOne(coef, plane2, base + first / 4, taps, dst + 2 * o);
            complexMultirateOne(coef, plane2, base + (first + offsets[1]) / 4, taps, dst + 2 * o + 2);
            first += 2 * int64_t{offsets[1]};
        }
        return static_cast<int>((first - offsets[0]) / 8);
    }
    // Two entries per step, two steps per phase, then the cycle advance; the
    // running index is the previous step's second window.
    const int32_t* end = offsets + 4 * numPhases;
    const int32_t* tp = offsets;
    int64_t c = 0;                      // coefficient position (floats)
    int64_t pos = 8 * int64_t{index};   // bytes from base
    for (int o = 0; o + 2 <= count; o += 2) {
        const int64_t first = pos + tp[0];
        pos = first + tp[1];
        complexMultirateOne(coef + c, plane2 + c, base + first / 4, taps, dst + 2 * o);
        complexMultirateOne(coef + c + setFloats, plane2 + c + setFloats, base + pos / 4, taps, dst + 2 * o + 2);
        c += setFloats + 2 * int64_t{taps};
        tp += 2;
        if (tp == end) {
            pos += *end;
            tp = offsets;
            c = 0;
        }
    }
    return static_cast<int>(pos / 8);
}

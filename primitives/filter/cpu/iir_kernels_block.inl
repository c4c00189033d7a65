// IIR block kernels of one CPU build for 16-bit real, complex float and
// complex 16-bit samples. No entry or body calls them; they check nothing
// and take their tables as the float IIR bodies lay them out ('ffTable' row k
// is b'k four times; 'fbTable' rows j = 0..N-1 are the look-ahead weights of
// y[n-1-j] on y[n..n+3], then the three rows of w[n], w[n+1], w[n+2]) or, for
// complex samples, as documented at the complex kernels below.
//
// Each kernel pair splits the filter like the float block path: a
// feed-forward kernel writes the values w[n] = sum b'k x[n-k] of a run of
// outputs into a 16-byte aligned value array, and a feedback kernel runs the
// all-pole recursion four outputs per step through the look-ahead weights,
// then one output at a time with c_m from the tables' first lanes.
//
// A feed-forward value is formed by one fixed sequence of single-precision
// operations whether a vector lane or a single step computes it; a feedback
// output by the four-output step's sequence (the same whether the history
// comes from registers or memory) or, after the last whole step, by the
// one-output recursion. Results do not depend on the arrays' offsets. Vector loads
// and stores stay inside the caller's arrays (overlapping loads at the
// input, no reads past the last sample). 16-bit outputs are y 2^-sf rounded
// by the processor's rounding mode (nearest-even unless the caller changed
// it), saturated to int16; a NaN output gives 0.
namespace sp {
namespace SP_NS {
namespace {  // the types below are this file's own, not shared with the build's other units

// ---- Lanes, loads and 16-bit outputs ----------------------------------------

static inline __m128 lane(__m128 v, int l) {
    switch (l) {
        case 0: return _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 0, 0, 0));
        case 1: return _mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 1, 1, 1));
        case 2: return _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 2, 2, 2));
        default: return _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 3, 3, 3));
    }
}

// v with the lanes outside lo..hi cleared.
static inline __m128 maskLanes(__m128 v, int lo, int hi) {
#define SP_KEEP(l) (lo <= (l) && (l) <= hi ? -1 : 0)
    const __m128i m = _mm_set_epi32(SP_KEEP(3), SP_KEEP(2), SP_KEEP(1), SP_KEEP(0));
#undef SP_KEEP
    return _mm_and_ps(v, _mm_castsi128_ps(m));
}

// Four int16 (or two complex int16) at any alignment, widened with their
// sign and converted exactly.
static inline __m128 i16x4(const int16_t* p) {
    const __m128i v = _mm_cvtsi64_si128(static_cast<long long>(ldU64(p)));
    return _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16));
}
static inline __m128 i16x2(const int16_t* p) {
    const __m128i v = _mm_cvtsi32_si128(static_cast<int>(ldU32(p)));
    return _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16));
}
static inline __m128 i16x1(const int16_t* p) {
    return _mm_cvtepi32_ps(_mm_cvtsi32_si128(static_cast<int16_t>(ldU16(p))));
}
// One complex float in the low half, the high half zero.
static inline __m128 f32x2(const float* p) {
    return _mm_castsi128_ps(_mm_cvtsi64_si128(static_cast<long long>(ldU64(p))));
}
static inline void stLow64(void* p, __m128 v) {
    stU64(p, static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_castps_si128(v))));
}

// 2^-sf from its bit pattern, sf in -127..126 (unsigned arithmetic: no
// signed overflow for any sf).
static inline __m128 scaleOf(int sf) {
    return _mm_set1_ps(u2f(0x3F800000u - static_cast<uint32_t>(sf) * 0x00800000u));
}

// y 2^-sf as four int32 lanes: NaN to 0, clamped to the int16 range, then
// rounded by the MXCSR mode (clamping first keeps cvtps2dq in range).
static inline __m128i i16Lanes(__m128 y, __m128 scale) {
    __m128 v = _mm_mul_ps(y, scale);
    v = _mm_and_ps(v, _mm_cmpord_ps(v, v));
    v = _mm_min_ps(_mm_max_ps(v, _mm_set1_ps(-32768.0f)), _mm_set1_ps(32767.0f));
    return _mm_cvtps_epi32(v);
}
static inline void stI16x4(int16_t* p, __m128 y, __m128 scale) {
    const __m128i v = i16Lanes(y, scale);
    stU64(p, static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_packs_epi32(v, v))));
}
static inline void stI16x8(int16_t* p, __m128 a, __m128 b, __m128 scale) {
    stu(p, _mm_packs_epi32(i16Lanes(a, scale), i16Lanes(b, scale)));
}
static inline void stI16x1(int16_t* p, float y, __m128 scale) {
    stU16(p, static_cast<uint16_t>(_mm_cvtsi128_si32(i16Lanes(_mm_set_ss(y), scale))));
}
static inline void stI16x2(int16_t* p, __m128 y, __m128 scale) {
    const __m128i v = i16Lanes(y, scale);
    stU32(p, static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packs_epi32(v, v))));
}

// One to four terms in pairs: t0, t0 + t1,
// (t0 + t1) + t2, (t0 + t1) + (t2 + t3).
static inline __m128 pairSum(const __m128* t, int r) {
    switch (r) {
        case 1: return t[0];
        case 2: return _mm_add_ps(t[0], t[1]);
        case 3: return _mm_add_ps(_mm_add_ps(t[0], t[1]), t[2]);
        default: return _mm_add_ps(_mm_add_ps(t[0], t[1]), _mm_add_ps(t[2], t[3]));
    }
}

// ---- Feed-forward -----------------------------------------------------------
// A sample source gives the input vector of four real values (two complex)
// or, with `one`, of a single output in the low lanes, at sample offset i,
// and the term coefficient k x that vector.

struct RealI16Source {
    const int16_t* x;
    __m128 load(int64_t i, bool one) const { return one ? i16x1(x + i) : i16x4(x + i); }
    static __m128 term(__m128 v, const float* ff, int k) { return _mm_mul_ps(v, _mm_load_ps(ff + 4 * k)); }
    static constexpr int kPerVector = 4;  // values per vector
    static constexpr int kFloats = 1;  // floats per value
};

// Complex coefficient k as Pk = (r, r, r, r) and Qk = (-i, i, -i, i):
// x Pk + swap(x) Qk is b'k x for both samples of the vector.
static inline __m128 complexTerm(__m128 v, const float* ff, int k) {
    const __m128 s = _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1));
    return _mm_add_ps(_mm_mul_ps(v, _mm_load_ps(ff + 8 * k)), _mm_mul_ps(s, _mm_load_ps(ff + 8 * k + 4)));
}

struct ComplexF32Source {
    const float* x;
    __m128 load(int64_t i, bool one) const { return one ? f32x2(x + 2 * i) : lduPs(x + 2 * i); }
    static __m128 term(__m128 v, const float* ff, int k) { return complexTerm(v, ff, k); }
    static constexpr int kPerVector = 2;
    static constexpr int kFloats = 2;
};

struct ComplexI16Source {
    const int16_t* x;
    __m128 load(int64_t i, bool one) const { return one ? i16x2(x + 2 * i) : i16x4(x + 2 * i); }
    static __m128 term(__m128 v, const float* ff, int k) { return complexTerm(v, ff, k); }
    static constexpr int kPerVector = 2;
    static constexpr int kFloats = 2;
};

// Values of the outputs whose oldest input is sample i (input offset j meets
// coefficient N - j). Orders 0-3 by fixed expressions, oldest product first;
// from order 4 a zero sum takes the coefficients four at a time from b'N
// down, ((t0 + t1) + (t3 + t2)) per group, then the one to three left: s + t0,
// s + (t0 + t1), or (s + t2) + (t0 + t1).
// Order is N, or the fixed order 0-3 of the caller's path (-1: any).
template <class Source, int Order, bool One>
static inline __m128 feedforwardSum(const Source& src, int64_t i, const float* ff, int order) {
    const int N = Order >= 0 ? Order : order;
#define SP_T(j) Source::term(src.load(i + (j), One), ff, N - (j))
    switch (N) {
        case 0: return SP_T(0);
        case 1: return _mm_add_ps(SP_T(0), SP_T(1));
        case 2: return _mm_add_ps(_mm_add_ps(SP_T(0), SP_T(1)), SP_T(2));
        case 3: return _mm_add_ps(_mm_add_ps(SP_T(0), SP_T(1)), _mm_add_ps(SP_T(3), SP_T(2)));
        default: break;
    }
    __m128 s = _mm_setzero_ps();
    int j = 0;
    for (; j + 4 <= N + 1; j += 4) s = _mm_add_ps(s, _mm_add_ps(_mm_add_ps(SP_T(j), SP_T(j + 1)), _mm_add_ps(SP_T(j + 3), SP_T(j + 2))));
    switch (N + 1 - j) {
        case 1: s = _mm_add_ps(s, SP_T(j)); break;
        case 2: s = _mm_add_ps(s, _mm_add_ps(SP_T(j), SP_T(j + 1))); break;
        case 3: s = _mm_add_ps(_mm_add_ps(s, SP_T(j + 2)), _mm_add_ps(SP_T(j), SP_T(j + 1))); break;
        default: break;
    }
#undef SP_T
    return s;
}

// Outputs per step by order, largest first (0 ends the list); then single
// outputs. Real: 16, 8, 4 (orders 0-1), 8, 4 (2-3), 4 (4 on); complex: 8
// (0-1), 4 (2-3), 2 (4 on).
static inline const int* realSteps(int N) {
    static const int kSteps[3][4] = {{16, 8, 4, 0}, {8, 4, 0, 0}, {4, 0, 0, 0}};
    return kSteps[N <= 1 ? 0 : N <= 3 ? 1 : 2];
}
static inline const int* complexSteps(int N) {
    static const int kSteps[3][2] = {{8, 0}, {4, 0}, {2, 0}};
    return kSteps[N <= 1 ? 0 : N <= 3 ? 1 : 2];
}

template <class Source, int Order>
static void feedforwardPath(const Source& src, float* values, int64_t len, const float* ff, int N, const int* steps) {
    constexpr int kPer = Source::kPerVector;
    constexpr int kFloats = Source::kFloats;
    int64_t i = 0;
    for (; *steps != 0; ++steps)
        for (; i + *steps <= len; i += *steps)
            for (int v = 0; v < *steps; v += kPer)
                staPs(values + kFloats * (i + v), feedforwardSum<Source, Order, false>(src, i + v, ff, N));
    for (; i < len; ++i) {
        const __m128 s = feedforwardSum<Source, Order, true>(src, i, ff, N);
        if (kFloats == 1) {
            stF32(values + i, _mm_cvtss_f32(s));
        } else {
            stLow64(values + 2 * i, s);
        }
    }
}

// Orders 0-3 get their own code; from 4 on one loop over the coefficients.
template <class Source>
static void feedforward(const Source& src, float* values, int64_t len, const float* ff, int N, const int* steps) {
    switch (N) {
        case 0: feedforwardPath<Source, 0>(src, values, len, ff, N, steps); break;
        case 1: feedforwardPath<Source, 1>(src, values, len, ff, N, steps); break;
        case 2: feedforwardPath<Source, 2>(src, values, len, ff, N, steps); break;
        case 3: feedforwardPath<Source, 3>(src, values, len, ff, N, steps); break;
        default: feedforwardPath<Source, -1>(src, values, len, ff, N, steps); break;
    }
}

// ---- Feedback, real ---------------------------------------------------------
// One step makes y[p..p+3]: the history terms y[p-N+i] (oldest first, i =
// 0..N-1) times row N-1-i, in groups of four from the oldest, each group in
// pairs and added to the running sum; the last group (one to four terms)
// joins the sum before the value terms ((w0 t0 + w1 t1) + (w2 t2 + w3 in
// lane 3)).

template <class History>
static inline __m128 realHistorySum(const History& hist, const float* fb, int N) {
    __m128 t[4];
    __m128 acc = _mm_setzero_ps();
    for (int i = 0; i < N;) {
        const int r = N - i < 4 ? N - i : 4;
        for (int q = 0; q < r; ++q) t[q] = _mm_mul_ps(hist(i + q), _mm_load_ps(fb + 4 * (N - 1 - i - q)));
        acc = i == 0 ? pairSum(t, r) : _mm_add_ps(acc, pairSum(t, r));
        i += r;
    }
    return acc;
}

static inline __m128 realValueTerms(const float* fb, int N, __m128 w) {
    const float* tail = fb + 4 * N;
    const __m128 a = _mm_add_ps(_mm_mul_ps(lane(w, 0), _mm_load_ps(tail)), _mm_mul_ps(lane(w, 1), _mm_load_ps(tail + 4)));
    const __m128 b = _mm_add_ps(_mm_mul_ps(lane(w, 2), _mm_load_ps(tail + 8)), maskLanes(w, 3, 3));
    return _mm_add_ps(a, b);
}

// One output y[n] (h points at its history entry) with c_m = row m-1 lane 0.
static inline float realSingle(const float* fb, int N, const float* h, float w) {
#define SP_C(m) fb[4 * ((m) - 1)]
    switch (N) {
        case 1: return SP_C(1) * h[-1] + w;
        case 2: return SP_C(1) * h[-1] + (w + SP_C(2) * h[-2]);
        case 3: return (SP_C(1) * h[-1] + SP_C(2) * h[-2]) + (w + SP_C(3) * h[-3]);
        case 4: return (SP_C(1) * h[-1] + SP_C(2) * h[-2]) + ((SP_C(3) * h[-3] + SP_C(4) * h[-4]) + w);
        default: break;
    }
    float s = 0.0f;
    for (int j = 0; j < N; ++j) s += SP_C(N - j) * h[j - N];
#undef SP_C
    return s + w;
}

// Whole steps of orders 1-4 with the history in a register: prev holds the
// last four outputs (lanes 4-N..3 from the history array at the start).
// Without storeEveryStep only the last step reaches the history array.
template <int N>
static void realStepsInRegisters(const float* w, float* h, int64_t whole, const float* fb, int16_t* out,
                                 __m128 scale, bool storeEveryStep) {
    float start[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (int i = 0; i < N; ++i) start[4 - N + i] = h[i];
    __m128 prev = _mm_loadu_ps(start);
    for (int64_t p = 0; p < whole; p += 4) {
        const __m128 y = _mm_add_ps(realHistorySum([prev](int i) { return lane(prev, 4 - N + i); }, fb, N),
                                    realValueTerms(fb, N, _mm_load_ps(w + p)));
        if (storeEveryStep || p + 4 == whole) stuPs(h + N + p, y);
        stI16x4(out + N + p, y, scale);
        prev = y;
    }
}

static void realStepsFromMemory(const float* w, float* h, int64_t whole, const float* fb, int N, int16_t* out,
                                __m128 scale) {
    for (int64_t p = 0; p < whole; p += 4) {
        const float* old = h + p;  // y[p - N]
        const __m128 y = _mm_add_ps(realHistorySum([old](int i) { return _mm_set1_ps(old[i]); }, fb, N),
                                    realValueTerms(fb, N, _mm_load_ps(w + p)));
        stuPs(h + N + p, y);
        stI16x4(out + N + p, y, scale);
    }
}

static void feedbackRealI16(const float* w, float* h, int64_t len, const float* fb, int N, int16_t* out, int sf,
                            bool storeEveryStep) {
    const __m128 scale = scaleOf(sf);
    const int64_t whole = len & ~int64_t{3};
    switch (N) {
        case 1: realStepsInRegisters<1>(w, h, whole, fb, out, scale, storeEveryStep); break;
        case 2: realStepsInRegisters<2>(w, h, whole, fb, out, scale, storeEveryStep); break;
        case 3: realStepsInRegisters<3>(w, h, whole, fb, out, scale, storeEveryStep); break;
        case 4: realStepsInRegisters<4>(w, h, whole, fb, out, scale, storeEveryStep); break;
        default: realStepsFromMemory(w, h, whole, fb, N, out, scale); break;
    }
    for (int64_t n = whole; n < len; ++n) {
        const float y = realSingle(fb, N, h + N + n, w[n]);
        stF32(h + N + n, y);
        stI16x1(out + N + n, y, scale);
    }
}

// ---- Feedback, complex --------------------------------------------------------
// Complex feedback table: N + 1 blocks of four groups (RA, IA, RB, IB).
// Block j < N carries the weights g0..g3 of y[n-1-j] on y[n..n+3], block N
// those of w[n] (1, G0(1), G1(1), G2(1)); a value v adds
// re(v) RA + im(v) IA to the pair (y[n], y[n+1]) and re(v) RB + im(v) IB to
// (y[n+2], y[n+3]). w[n+1] meets the second pair through block 0's RA/IA,
// w[n+2] through block N's, w[n+1] and w[n+3] enter their own outputs with
// weight 1. c_m is lanes 0-1 of block m-1's RA and IA.

struct ComplexPair {
    __m128 a;  // y[n], y[n+1]
    __m128 b;  // y[n+2], y[n+3]
};

// A complex value's real and imaginary part, each in all four lanes.
struct ComplexSplat {
    __m128 re;
    __m128 im;
};

// v times the weights of one group pair (RA, IA or RB, IB).
static inline __m128 cterm(const ComplexSplat& v, const float* group) {
    return _mm_add_ps(_mm_mul_ps(v.re, _mm_load_ps(group)), _mm_mul_ps(v.im, _mm_load_ps(group + 4)));
}

// The history terms y[p-N+i] (oldest first) against blocks N-1 downward,
// in pairs from the oldest; an odd last term joins the value terms. hist(i)
// gives the splatted real (first) and imaginary (second) part.
template <class History>
static inline ComplexPair complexStep(const History& hist, const float* fb, int N, const float* w) {
    const __m128 w01 = lduPs(w), w23 = lduPs(w + 4);
    const float* blockN = fb + 16 * N;
    ComplexPair v;
    const ComplexSplat w0{lane(w01, 0), lane(w01, 1)}, w1{lane(w01, 2), lane(w01, 3)}, w2{lane(w23, 0), lane(w23, 1)};
    v.a = _mm_add_ps(cterm(w0, blockN), maskLanes(w01, 2, 3));
    v.b = _mm_add_ps(_mm_add_ps(cterm(w0, blockN + 8), cterm(w1, fb)), _mm_add_ps(cterm(w2, blockN), maskLanes(w23, 2, 3)));
    ComplexPair s{_mm_setzero_ps(), _mm_setzero_ps()};
    int i = 0;
    for (; i + 2 <= N; i += 2) {
        const ComplexSplat y0 = hist(i), y1 = hist(i + 1);
        const float* b0 = fb + 16 * (N - 1 - i);
        const float* b1 = b0 - 16;
        const __m128 pa = _mm_add_ps(cterm(y0, b0), cterm(y1, b1));
        const __m128 pb = _mm_add_ps(cterm(y0, b0 + 8), cterm(y1, b1 + 8));
        s.a = i == 0 ? pa : _mm_add_ps(s.a, pa);
        s.b = i == 0 ? pb : _mm_add_ps(s.b, pb);
    }
    if (i < N) {
        const ComplexSplat y = hist(i);  // y[p-1], block 0
        v.a = _mm_add_ps(cterm(y, fb), v.a);
        v.b = _mm_add_ps(cterm(y, fb + 8), v.b);
        if (i == 0) return v;
    }
    v.a = _mm_add_ps(s.a, v.a);
    v.b = _mm_add_ps(s.b, v.b);
    return v;
}

// Splatted parts of a complex value held in memory.
static inline ComplexSplat splatComplex(const float* y) { return {_mm_set1_ps(y[0]), _mm_set1_ps(y[1])}; }

// One output y[n] (y points at its history entry) in the low half: the
// terms from the oldest in sequence, then + w.
static inline __m128 complexSingle(const float* fb, int N, const float* y, const float* w) {
    __m128 s = cterm(splatComplex(y - 2 * N), fb + 16 * (N - 1));
    for (int m = N - 1; m >= 1; --m) s = _mm_add_ps(s, cterm(splatComplex(y - 2 * m), fb + 16 * (m - 1)));
    return _mm_add_ps(s, f32x2(w));
}

// Where a complex step's outputs go: the float array (every step or, when
// lastOnly, the second pair of the last step) and optionally 16-bit outputs.
struct ComplexSink {
    float* y;        // entry of output 0 (history + 2N)
    int16_t* out;    // entry of output 0, or null for float kernels
    __m128 scale;
    bool lastOnly;
    void step(int64_t p, const ComplexPair& v, bool last) const {
        if (!lastOnly) {
            stuPs(y + 2 * p, v.a);
            stuPs(y + 2 * p + 4, v.b);
        } else if (last) {
            stuPs(y + 2 * p + 4, v.b);
        }
        if (out != nullptr) stI16x8(out + 2 * p, v.a, v.b, scale);
    }
    void single(int64_t n, __m128 v) const {
        stLow64(y + 2 * n, v);
        if (out != nullptr) stI16x2(out + 2 * n, v, scale);
    }
};

// Whole steps of orders 1-2 with the last two outputs in a register (lanes
// y[p-2], y[p-1]; order 1 starts with zero in the unused half).
template <int N>
static void complexStepsInRegisters(const float* w, const float* h, int64_t whole, const float* fb,
                                    const ComplexSink& sink) {
    float start[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (int i = 0; i < 2 * N; ++i) start[4 - 2 * N + i] = h[i];
    __m128 prev = _mm_loadu_ps(start);
    for (int64_t p = 0; p < whole; p += 4) {
        const ComplexPair v = complexStep(
            [prev](int i) {
                const int l = 2 * (2 - N + i);
                return ComplexSplat{lane(prev, l), lane(prev, l + 1)};
            },
            fb, N, w + 2 * p);
        sink.step(p, v, p + 4 == whole);
        prev = v.b;
    }
}

static void complexStepsFromMemory(const float* w, const float* h, int64_t whole, const float* fb, int N,
                                   const ComplexSink& sink) {
    for (int64_t p = 0; p < whole; p += 4) {
        const float* old = h + 2 * p;  // y[p - N]
        sink.step(p, complexStep([old](int i) { return splatComplex(old + 2 * i); }, fb, N, w + 2 * p), false);
    }
}

static void feedbackComplex(const float* w, float* h, int64_t len, const float* fb, int N, const ComplexSink& sink) {
    const int64_t whole = len & ~int64_t{3};
    switch (N) {
        case 1: complexStepsInRegisters<1>(w, h, whole, fb, sink); break;
        case 2: complexStepsInRegisters<2>(w, h, whole, fb, sink); break;
        default: {
            ComplexSink every = sink;
            every.lastOnly = false;
            complexStepsFromMemory(w, h, whole, fb, N, every);
            break;
        }
    }
    for (int64_t n = whole; n < len; ++n) sink.single(n, complexSingle(fb, N, h + 2 * (N + n), w + 2 * n));
}

}  // namespace
}  // namespace SP_NS
}  // namespace sp

using namespace sp::SP_NS;

void SP_NAME(spIirBlockFeedforwardI16)(const int16_t* src, float* values, int64_t len, const float* ffTable,
                                       int order) {
    feedforward(RealI16Source{src}, values, len, ffTable, order, realSteps(order));
}

void SP_NAME(spIirBlockFeedbackI16Scaled)(const float* values, float* history, int64_t len, const float* fbTable,
                                          int order, int16_t* dst, int sf) {
    feedbackRealI16(values, history, len, fbTable, order, dst, sf, true);
}

void SP_NAME(spIirBiquadBlockFeedforwardI16)(const int16_t* src, float* values, int64_t len, const float* ffSection) {
    feedforward(RealI16Source{src}, values, len, ffSection, 2, realSteps(2));
}

// The section's float outputs stay in registers: only the last step's four
// and the single outputs after it reach the history array.
void SP_NAME(spIirBiquadBlockFeedbackI16Scaled)(const float* values, float* history, int64_t len,
                                                const float* fbSection, int16_t* dst, int sf) {
    feedbackRealI16(values, history, len, fbSection, 2, dst, sf, false);
}

void SP_NAME(spIirBlockFeedforwardComplexF32)(const float* src, float* values, int64_t len, const float* ffTable,
                                              int order) {
    feedforward(ComplexF32Source{src}, values, len, ffTable, order, complexSteps(order));
}

void SP_NAME(spIirBlockFeedbackComplexF32)(const float* values, float* dst, int64_t len, const float* fbTable,
                                           int order) {
    feedbackComplex(values, dst, len, fbTable, order, ComplexSink{dst + 2 * order, nullptr, _mm_setzero_ps(), false});
}

void SP_NAME(spIirBlockFeedforwardComplexI16)(const int16_t* src, float* values, int64_t len, const float* ffTable,
                                              int order) {
    feedforward(ComplexI16Source{src}, values, len, ffTable, order, complexSteps(order));
}

// Orders 1 and 2 keep the float outputs in registers: of the whole steps
// only the last step's second pair reaches the history array.
void SP_NAME(spIirBlockFeedbackComplexI16Scaled)(const float* values, float* history, int64_t len,
                                                 const float* fbTable, int order, int16_t* dst, int sf) {
    feedbackComplex(values, history, len, fbTable, order,
                    ComplexSink{history + 2 * order, dst + 2 * order, scaleOf(sf), true});
}

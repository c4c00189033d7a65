// One-sample IIR kernels of one CPU build for integer, complex and
// double-precision samples. No body calls them; each filters one sample
// through an SpIirState whose fields it reads as arrays of its arithmetic
// type (float or double; complex values as (re, im) pairs):
//
//   direct form, order N = order: coeffs b0..bN, a1..aN (a0 = 1), or a
//     table (biquadTable); dlyLine s0..s(N-1) and a zero guard sN.
//     y = b0 x + s0; s_j = b(j+1) x - a(j+1) y + s(j+1), j = 0..N-1.
//   biquad cascade: per section y = b0 x + d0; d0 = b1 x + d1 - a1 y;
//     d1 = b2 x - a2 y; the next section takes x = y. dlyLine holds d0, d1
//     per section.
//
// Table layouts (16-byte aligned, as the test builder lays them out):
//   1 real biquad, float: per section {b0, b1, b2, -, -a1, -a2, -, -}.
//   2 complex direct, float: {b0r, b0r, -b0i, b0i}, then per delay pair j,
//     j+1: {b(j+1)r x2, b(j+2)r x2}, {-b(j+1)i, b(j+1)i, -b(j+2)i, b(j+2)i},
//     {-a(j+1)r, -a(j+1)i, -a(j+2)r, -a(j+2)i},
//     {a(j+1)i, -a(j+1)r, a(j+2)i, -a(j+2)r}; an odd N's last element uses
//     only the first two floats of its four groups.
//   3 complex biquad, float: per section {b0r, b0i, -b0i, b0r},
//     {b1r, b1i, b2r, b2i}, {-b1i, b1r, -b2i, b2r}, {-a1r, -a1i, -a2r, -a2i},
//     {a1i, -a1r, a2i, -a2r}.
//   4 real biquad, double: per section {b0, b0}, {b1, b2}, {-a1, -a2}.
//   5 complex direct, double: each coefficient c as {cr, ci}, {ci, cr}: b0,
//     then bk and -ak for k = 1..N.
//   6 complex biquad, double: b0, b1, b2, -a1, -a2 per section, as in 5.
//
// Integer outputs are y 2^-sf rounded by the current MXCSR mode (nearest,
// ties to even, by default) and saturated; a NaN output stores 0. The raw-out
// kernels also store the unscaled y. Every build compiles this file with
// the same operations in the same order, so builds 1-3 give equal bits.
namespace sp {
namespace SP_NS {

// ---- Scale factors and output conversions ----------------------------------

// 2^-sf from the exponent of 1.0 in unsigned arithmetic: exact for sf in
// -127..126 (float) and -1023..1022 (double); callers hold sf in range.
static inline float pow2NegF32(int sf) { return u2f(0x3F800000u - static_cast<uint32_t>(sf) * (1u << 23)); }
static inline double pow2NegF64(int sf) {
    return __builtin_bit_cast(double, 0x3FF0000000000000ull - static_cast<uint64_t>(static_cast<int64_t>(sf)) * (1ull << 52));
}

// v rounded by MXCSR and saturated to lo..hi (both integers, exact in the
// type): NaN is zeroed first, since the clamp would turn it into lo.
static inline int32_t roundSaturateF32(float v, float lo, float hi) {
    __m128 x = _mm_set_ss(v);
    x = _mm_and_ps(x, _mm_cmpord_ss(x, x));
    x = _mm_min_ss(_mm_max_ss(x, _mm_set_ss(lo)), _mm_set_ss(hi));
    return _mm_cvtss_si32(x);
}
static inline int32_t roundSaturateF64(double v, double lo, double hi) {
    __m128d x = _mm_set_sd(v);
    x = _mm_and_pd(x, _mm_cmpord_sd(x, x));
    x = _mm_min_sd(_mm_max_sd(x, _mm_set_sd(lo)), _mm_set_sd(hi));
    return _mm_cvtsd_si32(x);
}

// Inputs converted exactly to the arithmetic type.
static inline float inF32(const int16_t* p) { return static_cast<float>(*p); }
static inline double inF64(const int16_t* p) { return static_cast<double>(*p); }
static inline double inF64(const int32_t* p) { return static_cast<double>(*p); }
static inline double inF64(const float* p) { return static_cast<double>(*p); }
static inline double inF64(const double* p) { return *p; }

// y delivered to a sample of the output type (sf read by integer outputs only).
static inline void outF32(int16_t* p, float y, int sf) {
    *p = static_cast<int16_t>(roundSaturateF32(y * pow2NegF32(sf), -32768.0f, 32767.0f));
}
static inline void outF64(int16_t* p, double y, int sf) {
    *p = static_cast<int16_t>(roundSaturateF64(y * pow2NegF64(sf), -32768.0, 32767.0));
}
static inline void outF64(int32_t* p, double y, int sf) {
    *p = roundSaturateF64(y * pow2NegF64(sf), -2147483648.0, 2147483647.0);
}
static inline void outF64(float* p, double y, int) { *p = static_cast<float>(y); }
static inline void outF64(double* p, double y, int) { *p = y; }

// Complex values live in the low two lanes ({re, im}) of an __m128 (float)
// or in an __m128d (double). ldC32/stC32 move one complex float (8 bytes at
// any 4-byte alignment) in or out of the low lanes.
static inline __m128 ldC32(const float* p) { return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))); }
static inline void stC32(float* p, __m128 v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_castps_si128(v)); }

static inline __m128 inC32(const int16_t* p) {
    return _mm_setr_ps(static_cast<float>(p[0]), static_cast<float>(p[1]), 0.0f, 0.0f);
}
static inline __m128 inC32(const float* p) { return _mm_setr_ps(p[0], p[1], 0.0f, 0.0f); }
static inline __m128d inC64(const int16_t* p) { return _mm_setr_pd(static_cast<double>(p[0]), static_cast<double>(p[1])); }
static inline __m128d inC64(const int32_t* p) { return _mm_setr_pd(static_cast<double>(p[0]), static_cast<double>(p[1])); }
static inline __m128d inC64(const float* p) { return _mm_setr_pd(static_cast<double>(p[0]), static_cast<double>(p[1])); }
static inline __m128d inC64(const double* p) { return _mm_loadu_pd(p); }

static inline float laneF32(__m128 v, int i) {
    float s[4];
    _mm_storeu_ps(s, v);
    return s[i];
}
static inline void outC32(int16_t* p, __m128 y, int sf) {
    outF32(p, laneF32(y, 0), sf);
    outF32(p + 1, laneF32(y, 1), sf);
}
static inline void outC32(float* p, __m128 y, int) { stC32(p, y); }
static inline void outC64(int16_t* p, __m128d y, int sf) {
    outF64(p, _mm_cvtsd_f64(y), sf);
    outF64(p + 1, _mm_cvtsd_f64(_mm_unpackhi_pd(y, y)), sf);
}
static inline void outC64(int32_t* p, __m128d y, int sf) {
    outF64(p, _mm_cvtsd_f64(y), sf);
    outF64(p + 1, _mm_cvtsd_f64(_mm_unpackhi_pd(y, y)), sf);
}
static inline void outC64(float* p, __m128d y, int) {
    p[0] = static_cast<float>(_mm_cvtsd_f64(y));
    p[1] = static_cast<float>(_mm_cvtsd_f64(_mm_unpackhi_pd(y, y)));
}
static inline void outC64(double* p, __m128d y, int) { _mm_storeu_pd(p, y); }

static inline void rawC32(float* raw, __m128 y) { stC32(raw, y); }

static inline const double* asF64(const float* p) { return reinterpret_cast<const double*>(p); }
static inline double* asF64(float* p) { return reinterpret_cast<double*>(p); }

// ---- Real direct form ------------------------------------------------------

// Float arithmetic, plain coefficients: four delay elements at a time, then
// a pair, then one; each s_j = (b(j+1) x - a(j+1) y) + s(j+1), the generic
// single step's values. The delay line may have any 4-byte alignment.
static inline float directF32(float x, const SpIirState* st) {
    const int n = st->order;
    const float* b = st->coeffs;
    const float* a = st->coeffs + n;  // a[k] = ak, k >= 1
    float* s = st->dlyLine;
    if (n == 0) return b[0] * x;
    const float y = b[0] * x + s[0];
    const __m128 xv = _mm_set1_ps(x), yv = _mm_set1_ps(y);
    int j = 0;
    for (; j + 4 <= n; j += 4) {
        const __m128 t = _mm_sub_ps(_mm_mul_ps(lduPs(b + j + 1), xv), _mm_mul_ps(lduPs(a + j + 1), yv));
        stuPs(s + j, _mm_add_ps(t, lduPs(s + j + 1)));
    }
    if (j + 2 <= n) {
        for (int k = j; k < j + 2; ++k) s[k] = (b[k + 1] * x - a[k + 1] * y) + s[k + 1];
        j += 2;
    }
    if (j < n) s[j] = (b[j + 1] * x - a[j + 1] * y) + s[j + 1];
    return y;
}

// Double arithmetic, plain coefficients: pairs, then one element.
static inline double directF64(double x, const SpIirState* st) {
    const int n = st->order;
    const double* b = asF64(st->coeffs);
    const double* a = b + n;
    double* s = asF64(st->dlyLine);
    if (n == 0) return ldF64(b) * x;
    const double y = ldF64(b) * x + ldF64(s);
    const __m128d xv = _mm_set1_pd(x), yv = _mm_set1_pd(y);
    int j = 0;
    for (; j + 2 <= n; j += 2) {
        const __m128d t = _mm_sub_pd(_mm_mul_pd(_mm_loadu_pd(b + j + 1), xv), _mm_mul_pd(_mm_loadu_pd(a + j + 1), yv));
        _mm_storeu_pd(s + j, _mm_add_pd(t, _mm_loadu_pd(s + j + 1)));
    }
    if (j < n) stF64(s + j, (ldF64(b + j + 1) * x - ldF64(a + j + 1) * y) + ldF64(s + j + 1));
    return y;
}

// ---- Real biquad cascades --------------------------------------------------

// Float arithmetic, table 1: numBiquads sections (0 runs one), in pairs and
// then the odd last one.
static inline float biquadSectionF32(float x, const float* t, float* d) {
    const float y = t[0] * x + d[0];
    const float d0 = (t[1] * x + d[1]) + t[4] * y;
    d[1] = t[2] * x + t[5] * y;
    d[0] = d0;
    return y;
}
static inline float biquadF32(float x, const SpIirState* st) {
    const int sections = st->numBiquads > 1 ? st->numBiquads : 1;
    const float* t = st->biquadTable;
    float* d = st->dlyLine;
    int k = 0;
    for (; k + 2 <= sections; k += 2) {
        x = biquadSectionF32(x, t + 8 * k, d + 2 * k);
        x = biquadSectionF32(x, t + 8 * (k + 1), d + 2 * (k + 1));
    }
    if (k < sections) x = biquadSectionF32(x, t + 8 * k, d + 2 * k);
    return x;
}

// Double arithmetic, table 4: sections while fewer than `order` delay values
// have been passed, at least one. Lane 0 of {b0, b0} x + {d0, d1} is the
// section's y; {d0, d1} = ({b1, b2} x + {-a1, -a2} y) + {d1, 0}.
static inline double biquadF64(double x, const SpIirState* st) {
    const double* t = asF64(st->biquadTable);
    double* d = asF64(st->dlyLine);
    __m128d xv = _mm_set1_pd(x);
    int passed = 0;
    do {
        const __m128d dv = _mm_load_pd(d);
        const __m128d out = _mm_add_pd(_mm_mul_pd(_mm_load_pd(t), xv), dv);
        const __m128d yv = _mm_unpacklo_pd(out, out);
        const __m128d f = _mm_add_pd(_mm_mul_pd(_mm_load_pd(t + 2), xv), _mm_mul_pd(_mm_load_pd(t + 4), yv));
        _mm_store_pd(d, _mm_add_pd(f, _mm_unpackhi_pd(dv, _mm_setzero_pd())));
        xv = yv;
        t += 6;
        d += 2;
        passed += 2;
    } while (passed < st->order);
    return _mm_cvtsd_f64(xv);
}

// ---- Complex arithmetic in float -------------------------------------------

// c x for complex floats in the low lanes: (cr xr - ci xi, ci xr + cr xi).
static inline __m128 mulC32(const float* c, __m128 x) {
    const __m128 cr = _mm_set1_ps(c[0]), ci = _mm_set1_ps(c[1]);
    const __m128 xs = _mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 3, 0, 1));  // (xi, xr)
    const __m128 sign = _mm_setr_ps(-1.0f, 1.0f, 0.0f, 0.0f);
    return _mm_add_ps(_mm_mul_ps(cr, x), _mm_mul_ps(_mm_mul_ps(ci, sign), xs));
}

// Plain coefficients (2N+1 complex values), one delay element at a time.
static inline __m128 directPlainC32(__m128 x, const SpIirState* st) {
    const int n = st->order;
    const float* b = st->coeffs;
    const float* a = st->coeffs + 2 * n;  // a + 2k = ak, k >= 1
    float* s = st->dlyLine;
    if (n == 0) return mulC32(b, x);
    const __m128 y = _mm_add_ps(mulC32(b, x), ldC32(s));
    for (int j = 0; j < n; ++j) {
        const __m128 t = _mm_sub_ps(mulC32(b + 2 * (j + 1), x), mulC32(a + 2 * (j + 1), y));
        stC32(s + 2 * j, _mm_add_ps(t, ldC32(s + 2 * (j + 1))));
    }
    return y;
}

// Table 2 (N >= 4): two delay elements per 16-byte group. x is multiplied
// as (xr, xi, xr, xi) and swapped, y as its real and imaginary parts
// duplicated; the groups carry the signs, so the products are added.
static inline __m128 directTableC32(__m128 x, const SpIirState* st) {
    const int n = st->order;
    const float* t = st->biquadTable;
    float* s = st->dlyLine;
    const __m128 xx = _mm_movelh_ps(x, x);                               // xr xi xr xi
    const __m128 xs = _mm_shuffle_ps(xx, xx, _MM_SHUFFLE(2, 3, 0, 1));  // xi xr xi xr
    const __m128 p = _mm_mul_ps(_mm_load_ps(t), _mm_shuffle_ps(xx, xx, _MM_SHUFFLE(0, 1, 1, 0)));
    const __m128 y = _mm_add_ps(_mm_add_ps(p, _mm_movehl_ps(p, p)), ldC32(s));
    const __m128 yr = _mm_shuffle_ps(y, y, _MM_SHUFFLE(0, 0, 0, 0));
    const __m128 yi = _mm_shuffle_ps(y, y, _MM_SHUFFLE(1, 1, 1, 1));
    const float* g = t + 4;
    int j = 0;
    for (; j + 2 <= n; j += 2, g += 16) {
        const __m128 ff = _mm_add_ps(_mm_mul_ps(_mm_load_ps(g), xx), _mm_mul_ps(_mm_load_ps(g + 4), xs));
        const __m128 fb = _mm_add_ps(_mm_mul_ps(_mm_load_ps(g + 8), yr), _mm_mul_ps(_mm_load_ps(g + 12), yi));
        _mm_store_ps(s + 2 * j, _mm_add_ps(_mm_add_ps(ff, fb), lduPs(s + 2 * (j + 1))));
    }
    if (j < n) {  // odd N: s(N-1) = bN x - aN y, without the guard
        const __m128 ff = _mm_add_ps(_mm_mul_ps(ldC32(g), xx), _mm_mul_ps(ldC32(g + 4), xs));
        const __m128 fb = _mm_add_ps(_mm_mul_ps(ldC32(g + 8), yr), _mm_mul_ps(ldC32(g + 12), yi));
        stC32(s + 2 * j, _mm_add_ps(ff, fb));
    }
    return y;
}

static inline __m128 directC32(__m128 x, const SpIirState* st) {
    return st->order >= 4 ? directTableC32(x, st) : directPlainC32(x, st);
}

// Plain path: sections of five complex values (b0, b1, b2, a1, a2) while
// fewer than `order` delay values have been passed, at least one.
static inline __m128 biquadPlainC32(__m128 x, const SpIirState* st) {
    const float* c = st->coeffs;
    float* d = st->dlyLine;
    int passed = 0;
    do {
        const __m128 y = _mm_add_ps(mulC32(c, x), ldC32(d));
        const __m128 d0 = _mm_add_ps(_mm_sub_ps(mulC32(c + 2, x), mulC32(c + 6, y)), ldC32(d + 2));
        stC32(d + 2, _mm_sub_ps(mulC32(c + 4, x), mulC32(c + 8, y)));
        stC32(d, d0);
        x = y;
        c += 10;
        d += 4;
        passed += 2;
    } while (passed < st->order);
    return x;
}

// Table 3 (numBiquads >= 5): one 16-byte group holds a section's d0, d1.
static inline __m128 biquadTableC32(__m128 x, const SpIirState* st) {
    const float* t = st->biquadTable;
    float* d = st->dlyLine;
    for (int k = 0; k < st->numBiquads; ++k, t += 20, d += 4) {
        const __m128 dv = _mm_load_ps(d);
        const __m128 xr = _mm_shuffle_ps(x, x, _MM_SHUFFLE(0, 0, 0, 0));
        const __m128 xi = _mm_shuffle_ps(x, x, _MM_SHUFFLE(1, 1, 1, 1));
        const __m128 p = _mm_mul_ps(_mm_load_ps(t), _mm_unpacklo_ps(x, x));  // (xr, xr, xi, xi)
        const __m128 y = _mm_add_ps(_mm_add_ps(p, _mm_movehl_ps(p, p)), dv);
        const __m128 yr = _mm_shuffle_ps(y, y, _MM_SHUFFLE(0, 0, 0, 0));
        const __m128 yi = _mm_shuffle_ps(y, y, _MM_SHUFFLE(1, 1, 1, 1));
        const __m128 ff = _mm_add_ps(_mm_mul_ps(_mm_load_ps(t + 4), xr), _mm_mul_ps(_mm_load_ps(t + 8), xi));
        const __m128 fb = _mm_add_ps(_mm_mul_ps(_mm_load_ps(t + 12), yr), _mm_mul_ps(_mm_load_ps(t + 16), yi));
        _mm_store_ps(d, _mm_add_ps(_mm_add_ps(ff, fb), _mm_movehl_ps(_mm_setzero_ps(), dv)));
        x = _mm_movelh_ps(y, _mm_setzero_ps());
    }
    return x;
}

static inline __m128 biquadC32(__m128 x, const SpIirState* st) {
    return st->numBiquads >= 5 ? biquadTableC32(x, st) : biquadPlainC32(x, st);
}

// ---- Complex arithmetic in double ------------------------------------------

// c x from the groups {cr, ci}, {ci, cr} at g: the product with xr
// duplicated minus (real lane) or plus (imaginary lane) the one with xi.
static inline __m128d mulC64(const double* g, __m128d x) {
    return _mm_addsub_pd(_mm_mul_pd(_mm_load_pd(g), _mm_movedup_pd(x)),
                         _mm_mul_pd(_mm_load_pd(g + 2), _mm_unpackhi_pd(x, x)));
}

// Table 5: y = b0 x + s0; s_j = (b(j+1) x + (-a(j+1)) y) + s(j+1).
static inline __m128d directC64(__m128d x, const SpIirState* st) {
    const int n = st->order;
    const double* t = asF64(st->biquadTable);
    double* s = asF64(st->dlyLine);
    if (n == 0) return mulC64(t, x);
    const __m128d y = _mm_add_pd(mulC64(t, x), _mm_load_pd(s));
    for (int j = 0; j < n; ++j) {
        const double* g = t + 4 + 8 * j;
        _mm_store_pd(s + 2 * j, _mm_add_pd(_mm_add_pd(mulC64(g, x), mulC64(g + 4, y)), _mm_load_pd(s + 2 * (j + 1))));
    }
    return y;
}

// Table 6: numBiquads sections, at least one.
static inline __m128d biquadC64(__m128d x, const SpIirState* st) {
    const int sections = st->numBiquads > 1 ? st->numBiquads : 1;
    const double* t = asF64(st->biquadTable);
    double* d = asF64(st->dlyLine);
    for (int k = 0; k < sections; ++k, t += 20, d += 4) {
        const __m128d y = _mm_add_pd(mulC64(t, x), _mm_load_pd(d));
        const __m128d d0 = _mm_add_pd(_mm_add_pd(mulC64(t + 4, x), mulC64(t + 12, y)), _mm_load_pd(d + 2));
        _mm_store_pd(d + 2, _mm_add_pd(mulC64(t + 8, x), mulC64(t + 16, y)));
        _mm_store_pd(d, d0);
        x = y;
    }
    return x;
}

// ---- Kernel bodies: convert the input, run the step, deliver y -------------

template <typename S>
static inline void realF64(double (*step)(double, const SpIirState*), const S* x, S* y, double* raw,
                           const SpIirState* st, int sf) {
    const double v = step(inF64(x), st);
    if (raw != nullptr) *raw = v;
    outF64(y, v, sf);
}

template <typename S>
static inline void complexF64(__m128d (*step)(__m128d, const SpIirState*), const S* x, S* y, double* raw,
                              const SpIirState* st, int sf) {
    const __m128d v = step(inC64(x), st);
    if (raw != nullptr) _mm_storeu_pd(raw, v);
    outC64(y, v, sf);
}

template <typename S>
static inline void complexF32(__m128 (*step)(__m128, const SpIirState*), const S* x, S* y, float* raw,
                              const SpIirState* st, int sf) {
    const __m128 v = step(inC32(x), st);
    if (raw != nullptr) rawC32(raw, v);
    outC32(y, v, sf);
}

static inline void realI16F32(float (*step)(float, const SpIirState*), const int16_t* x, int16_t* y, float* raw,
                              const SpIirState* st, int sf) {
    const float v = step(inF32(x), st);
    if (raw != nullptr) *raw = v;
    outF32(y, v, sf);
}

}  // namespace SP_NS
}  // namespace sp

using namespace sp::SP_NS;

// Integer and complex samples in float arithmetic.
void SP_NAME(spIirBiquadOneSampleI16Scaled)(const int16_t* x, int16_t* y, SpIirState* state, int sf) {
    realI16F32(biquadF32, x, y, nullptr, state, sf);
}
void SP_NAME(spIirOneSampleI16Scaled)(const int16_t* x, int16_t* y, SpIirState* state, int sf) {
    realI16F32(directF32, x, y, nullptr, state, sf);
}
void SP_NAME(spIirOneSampleI16ScaledRawOut)(const int16_t* x, int16_t* y, float* raw, SpIirState* state, int sf) {
    realI16F32(directF32, x, y, raw, state, sf);
}
void SP_NAME(spIirOneSampleComplexF32)(const float* x, float* y, SpIirState* state) {
    complexF32(directC32, x, y, nullptr, state, 0);
}
void SP_NAME(spIirBiquadOneSampleComplexF32)(const float* x, float* y, SpIirState* state) {
    complexF32(biquadC32, x, y, nullptr, state, 0);
}
void SP_NAME(spIirOneSampleComplexI16Scaled)(const int16_t* x, int16_t* y, SpIirState* state, int sf) {
    complexF32(directC32, x, y, nullptr, state, sf);
}
void SP_NAME(spIirOneSampleComplexI16ScaledRawOut)(const int16_t* x, int16_t* y, float* raw, SpIirState* state,
                                                   int sf) {
    complexF32(directC32, x, y, raw, state, sf);
}
void SP_NAME(spIirBiquadOneSampleComplexI16Scaled)(const int16_t* x, int16_t* y, SpIirState* state, int sf) {
    complexF32(biquadC32, x, y, nullptr, state, sf);
}

// Real samples in double arithmetic.
void SP_NAME(spIirBiquadOneSampleF64)(const double* x, double* y, SpIirState* state) {
    realF64(biquadF64, x, y, nullptr, state, 0);
}
void SP_NAME(spIirBiquadOneSampleI16TapsF64Scaled)(const int16_t* x, int16_t* y, SpIirState* state, int sf) {
    realF64(biquadF64, x, y, nullptr, state, sf);
}
void SP_NAME(spIirBiquadOneSampleI32TapsF64Scaled)(const int32_t* x, int32_t* y, SpIirState* state, int sf) {
    realF64(biquadF64, x, y, nullptr, state, sf);
}
void SP_NAME(spIirBiquadOneSampleF32TapsF64)(const float* x, float* y, SpIirState* state) {
    realF64(biquadF64, x, y, nullptr, state, 0);
}
void SP_NAME(spIirOneSampleF64)(const double* x, double* y, SpIirState* state) {
    realF64(directF64, x, y, nullptr, state, 0);
}
void SP_NAME(spIirOneSampleI32TapsF64Scaled)(const int32_t* x, int32_t* y, SpIirState* state, int sf) {
    realF64(directF64, x, y, nullptr, state, sf);
}
void SP_NAME(spIirOneSampleI32TapsF64ScaledRawOut)(const int32_t* x, int32_t* y, double* raw, SpIirState* state,
                                                   int sf) {
    realF64(directF64, x, y, raw, state, sf);
}
void SP_NAME(spIirOneSampleI16TapsF64Scaled)(const int16_t* x, int16_t* y, SpIirState* state, int sf) {
    realF64(directF64, x, y, nullptr, state, sf);
}
void SP_NAME(spIirOneSampleI16TapsF64ScaledRawOut)(const int16_t* x, int16_t* y, double* raw, SpIirState* state,
                                                   int sf) {
    realF64(directF64, x, y, raw, state, sf);
}
void SP_NAME(spIirOneSampleF32TapsF64)(const float* x, float* y, SpIirState* state) {
    realF64(directF64, x, y, nullptr, state, 0);
}
void SP_NAME(spIirOneSampleF32TapsF64RawOut)(const float* x, float* y, double* raw, SpIirState* state) {
    realF64(directF64, x, y, raw, state, 0);
}

// Complex samples in double arithmetic.
void SP_NAME(spIirOneSampleComplexF64)(const double* x, double* y, SpIirState* state) {
    complexF64(directC64, x, y, nullptr, state, 0);
}
void SP_NAME(spIirBiquadOneSampleComplexF64)(const double* x, double* y, SpIirState* state) {
    complexF64(biquadC64, x, y, nullptr, state, 0);
}
void SP_NAME(spIirOneSampleComplexI32TapsF64Scaled)(const int32_t* x, int32_t* y, SpIirState* state, int sf) {
    complexF64(directC64, x, y, nullptr, state, sf);
}
void SP_NAME(spIirOneSampleComplexI32TapsF64ScaledRawOut)(const int32_t* x, int32_t* y, double* raw,
                                                          SpIirState* state, int sf) {
    complexF64(directC64, x, y, raw, state, sf);
}
void SP_NAME(spIirBiquadOneSampleComplexI32TapsF64Scaled)(const int32_t* x, int32_t* y, SpIirState* state, int sf) {
    complexF64(biquadC64, x, y, nullptr, state, sf);
}
void SP_NAME(spIirOneSampleComplexI16TapsF64Scaled)(const int16_t* x, int16_t* y, SpIirState* state, int sf) {
    complexF64(directC64, x, y, nullptr, state, sf);
}
void SP_NAME(spIirOneSampleComplexI16TapsF64ScaledRawOut)(const int16_t* x, int16_t* y, double* raw,
                                                          SpIirState* state, int sf) {
    complexF64(directC64, x, y, raw, state, sf);
}
void SP_NAME(spIirBiquadOneSampleComplexI16TapsF64Scaled)(const int16_t* x, int16_t* y, SpIirState* state, int sf) {
    complexF64(biquadC64, x, y, nullptr, state, sf);
}
void SP_NAME(spIirOneSampleComplexF32TapsF64)(const float* x, float* y, SpIirState* state) {
    complexF64(directC64, x, y, nullptr, state, 0);
}
void SP_NAME(spIirOneSampleComplexF32TapsF64RawOut)(const float* x, float* y, double* raw, SpIirState* state) {
    complexF64(directC64, x, y, raw, state, 0);
}
void SP_NAME(spIirBiquadOneSampleComplexF32TapsF64)(const float* x, float* y, SpIirState* state) {
    complexF64(biquadC64, x, y, nullptr, state, 0);
}

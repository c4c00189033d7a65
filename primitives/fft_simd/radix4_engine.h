// The radix-4/8 complex FFT engine of the CPU builds, written once and
// compiled once per build after sp_build.h and fft_cpu_schedule.h; the
// build's FftSchedule is the pass plan, and its twiddle table is laid out
// by the same plan (fft_cpu_tables.h).
//
// A first pass makes 4-point transforms, then radix-4 and radix-8 passes
// combine r sub-transforms of length L into one of length rL until L = n.
// Every pass but the last writes the scratch in the grouped layout (per 4
// points: 4 real parts, then 4 imaginary parts), so each vector lane is one
// butterfly; the last pass writes the destination interleaved, grouped or
// split. Sub-transforms stand in bit-reversed order, which the first pass
// makes: through the index list (whole-transform kernels) or on data the
// caller has already reversed (in-place kernels).
//
// The inverse is the forward engine on data with real and imaginary parts
// exchanged on the way in and out: every product with a twiddle becomes the
// product with its conjugate and every -i a +i, so the inverse gives the
// conjugate of the forward result for the conjugated input. The kernels
// check nothing.
#pragma once

namespace sp {
namespace SP_NS {

struct Cv {
    __m128 re, im;
};

static inline Cv cvAdd(Cv a, Cv b) { return {_mm_add_ps(a.re, b.re), _mm_add_ps(a.im, b.im)}; }
static inline Cv cvSub(Cv a, Cv b) { return {_mm_sub_ps(a.re, b.re), _mm_sub_ps(a.im, b.im)}; }
// a - i b and a + i b.
static inline Cv cvSubI(Cv a, Cv b) { return {_mm_add_ps(a.re, b.im), _mm_sub_ps(a.im, b.re)}; }
static inline Cv cvAddI(Cv a, Cv b) { return {_mm_sub_ps(a.re, b.im), _mm_add_ps(a.im, b.re)}; }
// p w = (p.re w.re - p.im w.im, p.re w.im + p.im w.re).
static inline Cv cvMul(Cv p, const float* w) {
    const __m128 wr = _mm_load_ps(w), wi = _mm_load_ps(w + 4);
    return {_mm_sub_ps(_mm_mul_ps(p.re, wr), _mm_mul_ps(p.im, wi)),
            _mm_add_ps(_mm_mul_ps(p.re, wi), _mm_mul_ps(p.im, wr))};
}
// The inverse works on exchanged parts.
template <bool Inv>
static inline Cv cvIo(Cv v) {
    return Inv ? Cv{v.im, v.re} : v;
}

// cos(pi/4) one unit in the last place above the nearest float.
static inline __m128 fftC() { return _mm_castsi128_ps(_mm_set1_epi32(0x3f3504f4)); }

// The 4-point transform of (q0, q1, q2, q3), lane by lane.
static inline void fft4(const Cv* q, Cv* y) {
    const Cv sum0 = cvAdd(q[0], q[2]), dif0 = cvSub(q[0], q[2]);
    const Cv sum1 = cvAdd(q[1], q[3]), dif1 = cvSub(q[1], q[3]);
    y[0] = cvAdd(sum0, sum1);
    y[2] = cvSub(sum0, sum1);
    y[1] = cvSubI(dif0, dif1);
    y[3] = cvAddI(dif0, dif1);
}

// log2 of a power of two (a plain loop: the bit-scan builtin may encode as
// an instruction beyond the build's set).
static inline int log2Of(int n) {
    int m = 0;
    while ((1 << m) < n) ++m;
    return m;
}

// ---- Grouped storage --------------------------------------------------------

static inline Cv loadGroup(const float* scratch, int64_t point) {
    return {_mm_load_ps(scratch + 2 * point), _mm_load_ps(scratch + 2 * point + 4)};
}
static inline void storeGroup(float* scratch, int64_t point, Cv v) {
    _mm_store_ps(scratch + 2 * point, v.re);
    _mm_store_ps(scratch + 2 * point + 4, v.im);
}

// Four transforms with one lane each (y[k] lane i = point k of transform
// i) as four groups at points[i].
static inline void storeTransposed(float* scratch, Cv* y, const int64_t* points) {
    _MM_TRANSPOSE4_PS(y[0].re, y[1].re, y[2].re, y[3].re);
    _MM_TRANSPOSE4_PS(y[0].im, y[1].im, y[2].im, y[3].im);
    for (int i = 0; i < 4; ++i) storeGroup(scratch, points[i], y[i]);
}

// ---- Butterflies --------------------------------------------------------

// y[o]: the 4 lanes at offset oL; tw: the lane block's 3 twiddle pairs.
static inline void radix4(Cv* y, const float* tw) {
    const Cv z1 = cvMul(y[2], tw), z2 = cvMul(y[1], tw + 8), z3 = cvMul(y[3], tw + 16);
    const Cv s = cvAdd(z1, z3), d = cvSub(z1, z3);
    const Cv a = cvAdd(y[0], z2), b = cvSub(y[0], z2);
    y[0] = cvAdd(a, s);
    y[2] = cvSub(a, s);
    y[1] = cvSubI(b, d);
    y[3] = cvAddI(b, d);
}

// y[o]: the 4 lanes at offset oL, component rev3(o); tw: 7 twiddle pairs.
static inline void radix8(Cv* y, const float* tw) {
    static const int kRev3[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    Cv z[8];
    z[0] = y[0];
    for (int s = 1; s < 8; ++s) z[s] = cvMul(y[kRev3[s]], tw + 8 * (s - 1));
    const Cv a04 = cvAdd(z[0], z[4]), b04 = cvSub(z[0], z[4]);
    const Cv a26 = cvAdd(z[2], z[6]), b26 = cvSub(z[2], z[6]);
    const Cv a15 = cvAdd(z[1], z[5]), b15 = cvSub(z[1], z[5]);
    const Cv a37 = cvAdd(z[3], z[7]), b37 = cvSub(z[3], z[7]);
    const Cv e0 = cvAdd(a04, a26), e1 = cvSub(a04, a26);
    const Cv f0 = cvAdd(a15, a37), f1 = cvSub(a15, a37);
    const Cv g1 = cvSubI(b04, b26), g3 = cvAddI(b04, b26);
    const __m128 c = fftC(), mc = _mm_sub_ps(_mm_setzero_ps(), fftC());
    const __m128 h1 = _mm_mul_ps(_mm_add_ps(b15.re, b37.im), c);
    const __m128 h2 = _mm_mul_ps(_mm_sub_ps(b15.re, b37.im), mc);
    const __m128 h3 = _mm_mul_ps(_mm_sub_ps(b15.im, b37.re), c);
    const __m128 h4 = _mm_mul_ps(_mm_add_ps(b15.im, b37.re), mc);
    const Cv p = {_mm_add_ps(h1, h3), _mm_sub_ps(h3, h1)};
    const Cv q = {_mm_sub_ps(h2, h4), _mm_add_ps(h4, h2)};
    y[0] = cvAdd(e0, f0);
    y[4] = cvSub(e0, f0);
    y[2] = cvSubI(e1, f1);
    y[6] = cvAddI(e1, f1);
    y[1] = cvAdd(g1, p);
    y[5] = cvSub(g1, p);
    y[3] = cvAdd(g3, q);
    y[7] = cvSub(g3, q);
}

// ---- Final stores -----------------------------------------------------------

template <bool Inv>
struct StoreInterleaved {
    float* dst;
    void operator()(Cv v, int64_t point) const {
        v = cvIo<Inv>(v);
        _mm_storeu_ps(dst + 2 * point, _mm_unpacklo_ps(v.re, v.im));
        _mm_storeu_ps(dst + 2 * point + 4, _mm_unpackhi_ps(v.re, v.im));
    }
};

template <bool Inv>
struct StoreGrouped {
    float* dst;
    void operator()(Cv v, int64_t point) const {
        v = cvIo<Inv>(v);
        _mm_storeu_ps(dst + 2 * point, v.re);
        _mm_storeu_ps(dst + 2 * point + 4, v.im);
    }
};

template <bool Inv>
struct StoreSplit {
    float* re;
    float* im;
    void operator()(Cv v, int64_t point) const {
        v = cvIo<Inv>(v);
        _mm_storeu_ps(re + point, v.re);
        _mm_storeu_ps(im + point, v.im);
    }
};

struct StoreScratch {
    float* scratch;
    void operator()(Cv v, int64_t point) const { storeGroup(scratch, point, v); }
};

// ---- Passes -----------------------------------------------------------------

// One pass of radix R over sub-transforms of length L, in the scratch; the
// outputs go through store.
template <int R, typename Store>
static void runPass(const float* scratch, int64_t n, int64_t L, const float* tw, Store store) {
    for (int64_t g = 0; g < n; g += R * L) {
        const float* block = tw;
        for (int64_t l0 = 0; l0 < L; l0 += 4, block += 8 * (R - 1)) {
            Cv y[R];
            for (int o = 0; o < R; ++o) y[o] = loadGroup(scratch, g + o * L + l0);
            if (R == 4) {
                radix4(y, block);
            } else {
                radix8(y, block);
            }
            for (int o = 0; o < R; ++o) store(y[o], g + o * L + l0);
        }
    }
}

// Every pass after the first, by the build's plan; the last one stores
// through finalStore. Reads exactly 8n - 32 bytes of the table.
template <typename Store>
static void runPasses(float* scratch, int m, const float* tw, Store finalStore) {
    const int64_t n = int64_t{1} << m;
    int64_t L = 4;
    for (int done = 2; L < n; ) {
        const int r = FftSchedule::radix(m, m - done, L == 4);
        const bool last = L * r == n;
        if (r == 4) {
            last ? runPass<4>(scratch, n, L, tw, finalStore) : runPass<4>(scratch, n, L, tw, StoreScratch{scratch});
        } else {
            last ? runPass<8>(scratch, n, L, tw, finalStore) : runPass<8>(scratch, n, L, tw, StoreScratch{scratch});
        }
        tw += 2 * L * (r - 1);
        L *= r;
        done += r == 8 ? 3 : 2;
    }
}

// ---- First passes -------------------------------------------------------

// Whole-transform kernels: groups g, g + 1 and their partners g + n/8,
// g + 1 + n/8 from the points t = entry 2g, t' = entry 2g + 2 and t + 1,
// t' + 1, the j-th of each 4-point transform n/4 further on.
template <bool Inv>
static void firstPassBitRev(const float* src, float* scratch, int64_t n, const int32_t* list) {
    const int64_t quarter = n / 4, eighth = n / 8;
    for (int64_t g = 0; g < eighth; g += 2) {
        const int64_t t0 = list[2 * g], t1 = list[2 * g + 2];
        Cv q[4];
        for (int j = 0; j < 4; ++j) {
            const __m128 a = _mm_loadu_ps(src + 2 * (t0 + j * quarter));
            const __m128 b = _mm_loadu_ps(src + 2 * (t1 + j * quarter));
            q[j] = cvIo<Inv>(Cv{_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)),
                                _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1))});
        }
        Cv y[4];
        fft4(q, y);
        const int64_t points[4] = {4 * g, 4 * (g + eighth), 4 * (g + 1), 4 * (g + 1 + eighth)};
        storeTransposed(scratch, y, points);
    }
}

// Split arrays: for entry 4g (p = 2 entry), lane t the points p + t + j n/4;
// lane t's transform is group g, g + n/8, g + n/16 or g + 3n/16.
template <bool Inv>
static void firstPassBitRevSplit(const float* re, const float* im, float* scratch, int64_t n,
                                 const int32_t* list) {
    const int64_t quarter = n / 4, sixteenth = n / 16;
    for (int64_t g = 0; g < sixteenth; ++g) {
        const int64_t p = 2 * int64_t{list[4 * g]};
        Cv q[4];
        for (int j = 0; j < 4; ++j) {
            q[j] = cvIo<Inv>(Cv{_mm_loadu_ps(re + p + j * quarter), _mm_loadu_ps(im + p + j * quarter)});
        }
        Cv y[4];
        fft4(q, y);
        const int64_t points[4] = {4 * g, 4 * (g + 2 * sixteenth), 4 * (g + sixteenth), 4 * (g + 3 * sixteenth)};
        storeTransposed(scratch, y, points);
    }
}

// In-place kernels: group g's points u0..u3 become the transform of
// (u0, u2, u1, u3); four groups per step, rows in[i] holding group g + i.
template <bool Inv>
static void firstPassGroups(Cv* rows, float* scratch, int64_t g) {
    _MM_TRANSPOSE4_PS(rows[0].re, rows[1].re, rows[2].re, rows[3].re);
    _MM_TRANSPOSE4_PS(rows[0].im, rows[1].im, rows[2].im, rows[3].im);
    Cv q[4] = {cvIo<Inv>(rows[0]), cvIo<Inv>(rows[2]), cvIo<Inv>(rows[1]), cvIo<Inv>(rows[3])};
    Cv y[4];
    fft4(q, y);
    const int64_t points[4] = {4 * g, 4 * g + 4, 4 * g + 8, 4 * g + 12};
    storeTransposed(scratch, y, points);
}

template <bool Inv>
static void firstPassInPlace(const float* data, float* scratch, int64_t n) {
    for (int64_t g = 0; g < n / 4; g += 4) {
        Cv rows[4];
        for (int i = 0; i < 4; ++i) {
            const __m128 a = _mm_loadu_ps(data + 8 * (g + i)), b = _mm_loadu_ps(data + 8 * (g + i) + 4);
            rows[i] = {_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)), _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1))};
        }
        firstPassGroups<Inv>(rows, scratch, g);
    }
}

template <bool Inv>
static void firstPassInPlaceSplit(const float* re, const float* im, float* scratch, int64_t n) {
    for (int64_t g = 0; g < n / 4; g += 4) {
        Cv rows[4];
        for (int i = 0; i < 4; ++i) rows[i] = {_mm_loadu_ps(re + 4 * (g + i)), _mm_loadu_ps(im + 4 * (g + i))};
        firstPassGroups<Inv>(rows, scratch, g);
    }
}

// ---- 8 points -----------------------------------------------------------

// x[k] as (re, im) for k = 0..7 in, X[k] out; E and O in lanes 0 and 1 of
// the 4-point transforms of the even and the odd points.
template <bool Inv>
static void fft8(const float* xr, const float* xi, float* outRe, float* outIm) {
    Cv q[4];
    for (int j = 0; j < 4; ++j) {
        q[j] = cvIo<Inv>(Cv{_mm_setr_ps(xr[2 * j], xr[2 * j + 1], 0.0f, 0.0f),
                            _mm_setr_ps(xi[2 * j], xi[2 * j + 1], 0.0f, 0.0f)});
    }
    Cv y[4];
    fft4(q, y);
    _MM_TRANSPOSE4_PS(y[0].re, y[1].re, y[2].re, y[3].re);
    _MM_TRANSPOSE4_PS(y[0].im, y[1].im, y[2].im, y[3].im);
    // W8^k = e^(-i pi k / 4), k = 0..3: real parts, then imaginary parts.
    const float c = u2f(0x3f3504f4u);
    alignas(16) const float w8[8] = {1.0f, c, 0.0f, -c, 0.0f, -c, -1.0f, -c};
    const Cv t = cvMul(y[1], w8);
    const Cv lo = cvIo<Inv>(cvAdd(y[0], t)), hi = cvIo<Inv>(cvSub(y[0], t));
    alignas(16) float r[8], i[8];
    _mm_store_ps(r, lo.re);
    _mm_store_ps(r + 4, hi.re);
    _mm_store_ps(i, lo.im);
    _mm_store_ps(i + 4, hi.im);
    for (int k = 0; k < 8; ++k) {
        outRe[k] = r[k];
        outIm[k] = i[k];
    }
}

// ---- The kernels ----------------------------------------------------------

// 16 points of build 1: the index list of m = 4, a scratch of its own.
static const int32_t kList16[5] = {0, 4, 2, 6, 0};

template <bool Inv>
static void radix4BitRev(const float* src, float* dst, int n, const float* tw, const int32_t* list,
                         float* work) {
    if (n == 8) {
        float xr[8], xi[8], yr[8], yi[8];
        for (int k = 0; k < 8; ++k) {
            xr[k] = src[2 * k];
            xi[k] = src[2 * k + 1];
        }
        fft8<Inv>(xr, xi, yr, yi);
        for (int k = 0; k < 8; ++k) {
            dst[2 * k] = yr[k];
            dst[2 * k + 1] = yi[k];
        }
        return;
    }
    alignas(16) float local[32];
    float* scratch = (dst != src && aligned16(dst)) ? dst : work;
    if (FftSchedule::kDirect16 && n == 16) {
        scratch = local;
        list = kList16;
    }
    firstPassBitRev<Inv>(src, scratch, n, list);
    runPasses(scratch, log2Of(n), tw, StoreInterleaved<Inv>{dst});
}

template <bool Inv>
static void radix4InPlace(float* data, int n, const float* tw, float* work, int flag) {
    float* scratch = aligned16(data) ? data : work;
    firstPassInPlace<Inv>(data, scratch, n);
    const int m = log2Of(n);
    if (flag == 1) {
        runPasses(scratch, m, tw, StoreInterleaved<Inv>{data});
    } else {
        runPasses(scratch, m, tw, StoreGrouped<Inv>{data});
    }
}

template <bool Inv>
static void radix4BitRevSplit(const float* srcRe, const float* srcIm, float* dstRe, float* dstIm, int n,
                              const float* tw, const int32_t* list, float* work) {
    if (n == 8) {
        float xr[8], xi[8];
        for (int k = 0; k < 8; ++k) {
            xr[k] = srcRe[k];
            xi[k] = srcIm[k];
        }
        fft8<Inv>(xr, xi, dstRe, dstIm);
        return;
    }
    firstPassBitRevSplit<Inv>(srcRe, srcIm, work, n, list);
    runPasses(work, log2Of(n), tw, StoreSplit<Inv>{dstRe, dstIm});
}

template <bool Inv>
static void radix4InPlaceSplit(float* re, float* im, int n, const float* tw, float* work) {
    firstPassInPlaceSplit<Inv>(re, im, work, n);
    runPasses(work, log2Of(n), tw, StoreSplit<Inv>{re, im});
}

}  // namespace SP_NS
}  // namespace sp

void SP_NAME(spFftRadix4FwdBitRev)(const float* src, float* dst, int n, const float* twiddles,
                                   const int32_t* bitRevTable, float* work) {
    sp::SP_NS::radix4BitRev<false>(src, dst, n, twiddles, bitRevTable, work);
}
void SP_NAME(spFftRadix4InvBitRev)(const float* src, float* dst, int n, const float* twiddles,
                                   const int32_t* bitRevTable, float* work) {
    sp::SP_NS::radix4BitRev<true>(src, dst, n, twiddles, bitRevTable, work);
}
void SP_NAME(spFftRadix4Fwd)(float* data, int n, const float* twiddles, float* work, int flag) {
    sp::SP_NS::radix4InPlace<false>(data, n, twiddles, work, flag);
}
void SP_NAME(spFftRadix4Inv)(float* data, int n, const float* twiddles, float* work, int flag) {
    sp::SP_NS::radix4InPlace<true>(data, n, twiddles, work, flag);
}
void SP_NAME(spFftRadix4FwdBitRevSplit)(const float* srcRe, const float* srcIm, float* dstRe, float* dstIm,
                                        int n, const float* twiddles, const int32_t* bitRevTable, float* work) {
    sp::SP_NS::radix4BitRevSplit<false>(srcRe, srcIm, dstRe, dstIm, n, twiddles, bitRevTable, work);
}
void SP_NAME(spFftRadix4InvBitRevSplit)(const float* srcRe, const float* srcIm, float* dstRe, float* dstIm,
                                        int n, const float* twiddles, const int32_t* bitRevTable, float* work) {
    sp::SP_NS::radix4BitRevSplit<true>(srcRe, srcIm, dstRe, dstIm, n, twiddles, bitRevTable, work);
}
void SP_NAME(spFftRadix4FwdSplit)(float* re, float* im, int n, const float* twiddles, float* work) {
    sp::SP_NS::radix4InPlaceSplit<false>(re, im, n, twiddles, work);
}
void SP_NAME(spFftRadix4InvSplit)(float* re, float* im, int n, const float* twiddles, float* work) {
    sp::SP_NS::radix4InPlaceSplit<true>(re, im, n, twiddles, work);
}

// IIR states of one CPU build: size, builders in caller memory, the
// allocating create, the filter bodies and their six float kernels. The
// states are the generic build's 'II01' record with three more areas after
// the delay line, all on 16-byte boundaries:
//   ffTable   4N+4 floats: row i is b'i four times
//   fbTable   4N+12 floats: row j holds the weights with which y[n-1-j]
//             enters y[n..n+3] (G0..G3 of j+1, c_k = -a'k); then the rows
//             of w[n], w[n+1], w[n+2]: {1,G0,G1,G2}, {0,1,G0,G1}, {0,0,1,G0}
//   workArea  1024 floats (2048 for any id but 'II01', workArea2 = the
//             second half): one block's feed-forward values
// Size: floor16(8N+19) + floor16(4N+19) + 112 + 4 (8N + 16 + W) + 40 bytes,
// computed in 64 bits; an order whose size passes INT32_MAX is refused.
//
// The filters take blocks of at most 1024 samples. A block longer than 4N
// is a feed-forward convolution into the work area, N single steps, and a
// recursion that makes four outputs per step from the look-ahead table; a
// shorter block goes one sample at a time with the generic single step, so
// results equal the generic build's only up to rounding. The filters also
// run 'II02' biquad cascades (numBiquads sections, 12 floats of ffTable,
// 20 of fbTable and 8 of biquadTable per section), which no builder makes.
#include "primitives/convert/sp_alloc.h"
#include "primitives/convert/sp_cpu.h"
#include "primitives/fft_simd/sp_fft_simd.h"

// Build 1 has its own size bodies; builds 2 and 3 share build 2's.
#if SP_BUILD == 1
#define SP_IIR_SIZE(name) name##_Sse3
#else
#define SP_IIR_SIZE(name) name##_Ssse3
#endif

namespace sp {
namespace SP_NS {

constexpr int kIirBlock = 1024;
constexpr int64_t kIirHeaderBytes = 96;
constexpr int64_t kIirMaxBytes = 0x7FFFFFFF;

static inline int64_t floor16(int64_t x) { return x & ~int64_t{15}; }
static inline uint8_t* alignUp16(uint8_t* p) { return reinterpret_cast<uint8_t*>((addr(p) + 15) & ~uintptr_t{15}); }

static int64_t iirStateBytes(int order, int32_t id) {
    const int64_t N = order;
    const int64_t W = id == SP_CTX_IIR ? kIirBlock : 2 * kIirBlock;
    return floor16(8 * N + 19) + floor16(4 * N + 19) + kIirHeaderBytes + 16 + 4 * (8 * N + 16 + W) + 40;
}

static bool iirOrderFits(int order) { return order > 0 && iirStateBytes(order, SP_CTX_IIR) <= kIirMaxBytes; }

static bool iirKnownKind(const SpIirState* st) { return st->id == SP_CTX_IIR || st->id == SP_CTX_IIR_BQ; }

template <int Lane>
static inline __m128 splat(__m128 v) {
    return _mm_shuffle_ps(v, v, _MM_SHUFFLE(Lane, Lane, Lane, Lane));
}
static inline __m128 ldaPs(const float* p) { return _mm_load_ps(p); }
static inline __m128 lane2(const float* p) {
    return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}
static inline void stLane2(float* p, __m128 v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_castps_si128(v)); }

// ---- Feed-forward ------------------------------------------------------------

// One feed-forward value of order 0-3 from x[k..k+Order], in the order's
// own sum order; lane for lane the same expression as the vector form.
template <int Order>
static inline float ffLowOne(const float* x, const float* b) {
    if (Order == 0) return x[0] * b[0];
    if (Order == 1) return b[1] * x[0] + b[0] * x[1];
    if (Order == 2) return (b[2] * x[0] + b[1] * x[1]) + b[0] * x[2];
    return (b[3] * x[0] + b[2] * x[1]) + (b[0] * x[3] + b[1] * x[2]);
}

template <int Order>
static inline __m128 ffLowVec(const float* x, const __m128* b) {
    if (Order == 0) return _mm_mul_ps(lduPs(x), b[0]);
    if (Order == 1) return _mm_add_ps(_mm_mul_ps(b[1], lduPs(x)), _mm_mul_ps(b[0], lduPs(x + 1)));
    const __m128 head = _mm_add_ps(_mm_mul_ps(b[Order], lduPs(x)), _mm_mul_ps(b[Order - 1], lduPs(x + 1)));
    if (Order == 2) return _mm_add_ps(head, _mm_mul_ps(b[0], lduPs(x + 2)));
    return _mm_add_ps(head, _mm_add_ps(_mm_mul_ps(b[0], lduPs(x + 3)), _mm_mul_ps(b[1], lduPs(x + 2))));
}

// Orders 0-3: orders 0 and 1 in groups of 16, then 8, then 4; orders 2 and
// 3 in groups of 8, then 4; then single values. Inputs at any alignment.
template <int Order>
static void ffLow(const float* src, float* work, int count, const float* ffTable) {
    __m128 b[4];
    float bs[4];
    for (int i = 0; i <= Order; ++i) {
        b[i] = ldaPs(ffTable + 4 * i);
        bs[i] = ffTable[4 * i];
    }
    constexpr int kGroup = Order <= 1 ? 16 : 8;
    int k = 0;
    for (; k + kGroup <= count; k += kGroup)
        for (int v = 0; v < kGroup; v += 4) stuPs(work + k + v, ffLowVec<Order>(src + k + v, b));
    for (int group = kGroup / 2; group >= 4; group /= 2) {
        if (k + group > count) continue;
        for (int v = 0; v < group; v += 4) stuPs(work + k + v, ffLowVec<Order>(src + k + v, b));
        k += group;
    }
    for (; k < count; ++k) work[k] = ffLowOne<Order>(src + k, bs);
}

// Orders 4 and more, four values per step: from 0.0, the taps four at a
// time from b'N downward, each group ((p0 + p1) + (p3 + p2)); then the one,
// two or three taps left.
static inline __m128 ffHighVec(const float* x, const float* ffTable, int N) {
    __m128 acc = _mm_setzero_ps();
    int j = 0;
    for (; j + 4 <= N + 1; j += 4) {
        const float* b = ffTable + 4 * (N - j);  // b'(N-j), then rows below
        const __m128 p0 = _mm_mul_ps(ldaPs(b), lduPs(x + j));
        const __m128 p1 = _mm_mul_ps(ldaPs(b - 4), lduPs(x + j + 1));
        const __m128 p2 = _mm_mul_ps(ldaPs(b - 8), lduPs(x + j + 2));
        const __m128 p3 = _mm_mul_ps(ldaPs(b - 12), lduPs(x + j + 3));
        acc = _mm_add_ps(acc, _mm_add_ps(_mm_add_ps(p0, p1), _mm_add_ps(p3, p2)));
    }
    const int left = N + 1 - j;
    if (left == 0) return acc;
    const float* b = ffTable + 4 * (N - j);
    const __m128 p0 = _mm_mul_ps(ldaPs(b), lduPs(x + j));
    if (left == 1) return _mm_add_ps(acc, p0);
    const __m128 p1 = _mm_mul_ps(ldaPs(b - 4), lduPs(x + j + 1));
    if (left == 2) return _mm_add_ps(acc, _mm_add_ps(p0, p1));
    const __m128 p2 = _mm_mul_ps(ldaPs(b - 8), lduPs(x + j + 2));
    return _mm_add_ps(acc, _mm_add_ps(p2, _mm_add_ps(p0, p1)));
}

static void ffHigh(const float* src, float* work, int count, const float* ffTable, int N) {
    int k = 0;
    for (; k + 4 <= count; k += 4) stuPs(work + k, ffHighVec(src + k, ffTable, N));
    for (; k < count; ++k) {
        float s = 0.0f;
        for (int j = 0; j <= N; ++j) s += ffTable[4 * (N - j)] * src[k + j];
        work[k] = s;
    }
}

// ---- Feedback ----------------------------------------------------------------

// Lanes at or above `from` (1, 2, 3) kept, the others cleared.
static inline __m128 keepFrom(__m128 v, int from) {
    const __m128i m = from == 1 ? _mm_set_epi32(-1, -1, -1, 0)
                                : (from == 2 ? _mm_set_epi32(-1, -1, 0, 0) : _mm_set_epi32(-1, 0, 0, 0));
    return _mm_and_ps(v, _mm_castsi128_ps(m));
}

// The w terms of y[n..n+3]: w[n], w[n+1], w[n+2] times the three tail
// rows, w[n+3] in lane 3. The lanes where a tail row holds 0.0 are cleared
// instead of multiplied, so an infinite w never makes an earlier output NaN.
static inline __m128 wTerms(const float* w, const float* tail) {
    const __m128 W = lduPs(w);
    const __m128 t0 = _mm_mul_ps(splat<0>(W), ldaPs(tail));
    const __m128 t1 = keepFrom(_mm_mul_ps(splat<1>(W), ldaPs(tail + 4)), 1);
    const __m128 t2 = keepFrom(_mm_mul_ps(splat<2>(W), ldaPs(tail + 8)), 2);
    return _mm_add_ps(_mm_add_ps(t0, t1), _mm_add_ps(t2, keepFrom(W, 3)));
}

// Products p[0..r-1] (r = 1..4, oldest past output first) summed in pairs.
static inline __m128 pairSum(const __m128* p, int r) {
    if (r == 1) return p[0];
    if (r == 2) return _mm_add_ps(p[0], p[1]);
    if (r == 3) return _mm_add_ps(_mm_add_ps(p[0], p[1]), p[2]);
    return _mm_add_ps(_mm_add_ps(p[0], p[1]), _mm_add_ps(p[2], p[3]));
}

// A single output y[n] from w and the past outputs y[n-1], y[n-2], ...
// (y points at y[n]); c(i) is column 0 of row i-1.
template <int Order>
static inline float fbLowOne(float w, const float* y, const float* fb) {
    const float c1 = fb[0];
    if (Order == 1) return c1 * y[-1] + w;
    const float c2 = fb[4];
    if (Order == 2) return c1 * y[-1] + (w + c2 * y[-2]);
    const float c3 = fb[8];
    if (Order == 3) return (c1 * y[-1] + c2 * y[-2]) + (w + c3 * y[-3]);
    const float c4 = fb[12];
    return (c1 * y[-1] + c2 * y[-2]) + ((c3 * y[-3] + c4 * y[-4]) + w);
}

// Orders 1-4: the rows stay in registers and the past outputs are lanes of
// the previous step's result.
template <int Order>
static void fbLow(const float* work, float* dst, int count, const float* fb) {
    __m128 row[Order];
    for (int j = 0; j < Order; ++j) row[j] = ldaPs(fb + 4 * j);
    const float* tail = fb + 4 * Order;
    float* y = dst + Order;
    float past[4] = {0.0f, 0.0f, 0.0f, 0.0f};  // y[-4..-1]; lanes before dst are never used
    for (int l = 4 - Order; l < 4; ++l) past[l] = y[l - 4];
    __m128 Y = _mm_loadu_ps(past);
    int k = 0;
    for (; k + 4 <= count; k += 4) {
        __m128 p[4];
        p[0] = _mm_mul_ps(row[Order - 1], splat<4 - Order>(Y));
        if constexpr (Order >= 2) p[1] = _mm_mul_ps(row[Order - 2], splat<5 - Order>(Y));
        if constexpr (Order >= 3) p[2] = _mm_mul_ps(row[Order - 3], splat<6 - Order>(Y));
        if constexpr (Order >= 4) p[3] = _mm_mul_ps(row[0], splat<3>(Y));
        Y = _mm_add_ps(pairSum(p, Order), wTerms(work + k, tail));
        stuPs(y + k, Y);
    }
    for (; k < count; ++k) y[k] = fbLowOne<Order>(work[k], y + k, fb);
}

// Rows r-1 .. r-4 with the past outputs y[n-r] .. y[n-r+3], in pairs.
static inline __m128 fbGroup(const float* y, const float* fb, int r) {
    const __m128 p0 = _mm_mul_ps(ldaPs(fb + 4 * (r - 1)), _mm_set1_ps(y[-r]));
    const __m128 p1 = _mm_mul_ps(ldaPs(fb + 4 * (r - 2)), _mm_set1_ps(y[-r + 1]));
    const __m128 p2 = _mm_mul_ps(ldaPs(fb + 4 * (r - 3)), _mm_set1_ps(y[-r + 2]));
    const __m128 p3 = _mm_mul_ps(ldaPs(fb + 4 * (r - 4)), _mm_set1_ps(y[-r + 3]));
    return _mm_add_ps(_mm_add_ps(p0, p1), _mm_add_ps(p2, p3));
}

// Orders 5 and more: the past outputs four at a time from the oldest, each
// group in pairs; the last group of one to four (the newest) in pairs, added
// to that sum, then the w terms.
static void fbHigh(const float* work, float* dst, int count, const float* fb, int N) {
    const float* tail = fb + 4 * N;
    float* y = dst + N;
    int k = 0;
    for (; k + 4 <= count; k += 4) {
        float* at = y + k;
        int r = N;
        __m128 acc = fbGroup(at, fb, r);
        for (r -= 4; r > 4; r -= 4) acc = _mm_add_ps(acc, fbGroup(at, fb, r));
        __m128 p[4];
        for (int i = 0; i < r; ++i) p[i] = _mm_mul_ps(ldaPs(fb + 4 * (r - 1 - i)), _mm_set1_ps(at[i - r]));
        stuPs(at, _mm_add_ps(_mm_add_ps(acc, pairSum(p, r)), wTerms(work + k, tail)));
    }
    for (; k < count; ++k) {
        float s = 0.0f;
        for (int j = 0; j < N; ++j) s += fb[4 * (N - j - 1)] * y[k - N + j];
        y[k] = s + work[k];
    }
}

// ---- Block paths ---------------------------------------------------------------

// 'II01', n > 4N: feed-forward values of the whole block, the first N
// outputs by single steps, the rest by the look-ahead recursion; the new
// delay line from the block's last N inputs and outputs. In place every
// input is read before its place is written: the kernel reads the block
// first, and the last N inputs lie after the first N outputs.
static void iirBlock(const float* src, float* dst, int n, SpIirState* st) {
    const int N = st->order;
    const float* k = st->coeffs;  // b'i at k[i], a'i at k[N + i]
    float* s = st->dlyLine;
    SP_NAME(spIirBlockFeedforward)(src, st->workArea, n - N, st->ffTable, N);
    for (int i = 0; i < N; ++i) SP_NAME(spIirOneSample)(src + i, dst + i, st);
    for (int i = 0; i < N; ++i) {
        float v = 0.0f;
        for (int j = 0; j <= N - 1 - i; ++j) v = v + k[N - j] * src[n - N + i + j];
        s[i] = v;
    }
    SP_NAME(spIirBlockFeedback)(st->workArea, dst, n - N, st->fbTable, N);
    for (int i = 0; i < N; ++i) {
        float v = s[i];
        for (int j = 0; j <= N - 1 - i; ++j) v = v - k[2 * N - j] * dst[n - N + i + j];
        s[i] = v;
    }
}

// 'II02', n > 4S: section by section over the whole block, each later
// section reading what the previous one wrote. Without sections the block
// is copied, so out of place equals in place.
static void biquadBlock(const float* src, float* dst, int n, SpIirState* st) {
    const int S = st->numBiquads;
    if (S <= 0) {
        if (src != dst) SP_NAME(spCopyF32)(src, dst, n);
        return;
    }
    for (int sec = 0; sec < S; ++sec) {
        const float* x = sec == 0 ? src : dst;
        const float* c = st->coeffs + 5 * sec;  // b0 b1 b2 a1 a2
        const float* ff = st->ffTable + 12 * sec;
        const float* fb = st->fbTable + 20 * sec;
        float* d = st->dlyLine + 2 * sec;
        SP_NAME(spIirBiquadBlockFeedforward)(x, st->workArea, n - 2, ff);
        const float x0 = x[0], x1 = x[1], xa = x[n - 2], xb = x[n - 1];
        const float y0 = c[0] * x0 + d[0];
        const float y1 = ((d[1] - c[3] * y0) + c[0] * x1) + c[1] * x0;
        const float d0 = ff[8] * xa + ff[4] * xb;
        const float d1 = ff[8] * xb;
        dst[0] = y0;
        dst[1] = y1;
        SP_NAME(spIirBiquadBlockFeedback)(st->workArea, dst, n - 2, fb);
        const float c1 = fb[0], c2 = fb[4];
        d[0] = (c2 * dst[n - 2] + c1 * dst[n - 1]) + d0;
        d[1] = c2 * dst[n - 1] + d1;
    }
}

static void iirFilter(const float* src, float* dst, int len, SpIirState* st) {
    for (int done = 0; done < len;) {
        const int n = len - done < kIirBlock ? len - done : kIirBlock;
        const float* x = src + done;
        float* y = dst + done;
        if (st->id == SP_CTX_IIR_BQ) {
            if (n <= 4 * int64_t{st->numBiquads}) {
                for (int i = 0; i < n; ++i) SP_NAME(spIirBiquadOneSample)(x + i, y + i, st);
            } else {
                biquadBlock(x, y, n, st);
            }
        } else if (st->order < 1) {
            SP_NAME(spScaleF32)(x, st->coeffs[0], y, n);
        } else if (n <= 4 * int64_t{st->order}) {
            for (int i = 0; i < n; ++i) SP_NAME(spIirOneSample)(x + i, y + i, st);
        } else {
            iirBlock(x, y, n, st);
        }
        done += n;
    }
}

}  // namespace SP_NS
}  // namespace sp

using namespace sp::SP_NS;

// ---- Kernels -------------------------------------------------------------------

// y = b'0 x + s0; then s_j = (b'(j+1) x - a'(j+1) y) + s(j+1), four, two,
// then one element at a time (the guard s_N for the last): the generic
// single step's values.
void SP_NAME(spIirOneSample)(const float* x, float* y, SpIirState* state) {
    const int N = state->order;
    const float* b = state->coeffs;
    const float xv = *x;
    if (N < 1) {
        *y = xv * b[0];
        return;
    }
    const float* a = b + N;
    float* s = state->dlyLine;
    const float yv = b[0] * xv + s[0];
    const __m128 vx = _mm_set1_ps(xv), vy = _mm_set1_ps(yv);
    int j = 0;
    for (; j + 4 <= N; j += 4) {
        const __m128 t = _mm_sub_ps(_mm_mul_ps(lduPs(b + j + 1), vx), _mm_mul_ps(lduPs(a + j + 1), vy));
        stuPs(s + j, _mm_add_ps(t, lduPs(s + j + 1)));
    }
    if (j + 2 <= N) {
        const __m128 t = _mm_sub_ps(_mm_mul_ps(lane2(b + j + 1), vx), _mm_mul_ps(lane2(a + j + 1), vy));
        stLane2(s + j, _mm_add_ps(t, lane2(s + j + 1)));
        j += 2;
    }
    if (j < N) s[j] = (b[j + 1] * xv - a[j + 1] * yv) + s[j + 1];
    *y = yv;
}

// Per section (at least one): y = b0 x + d0; d0 = (b1 x + d1) + (-a1) y;
// d1 = b2 x + (-a2) y; the next section takes y. biquadTable rows: b0, b1,
// b2, unused, -a1, -a2, unused, unused.
void SP_NAME(spIirBiquadOneSample)(const float* x, float* y, SpIirState* state) {
    const int S = state->numBiquads > 0 ? state->numBiquads : 1;
    const float* t = state->biquadTable;
    float* d = state->dlyLine;
    float v = *x;
    for (int k = 0; k < S; ++k, t += 8, d += 2) {
        const float out = t[0] * v + d[0];
        d[0] = (t[1] * v + d[1]) + t[4] * out;
        d[1] = t[2] * v + t[5] * out;
        v = out;
    }
    *y = v;
}

// work[k] = sum over j = 0..order of b'(order-j) x[k+j], k = 0..count-1.
void SP_NAME(spIirBlockFeedforward)(const float* src, float* work, int count, const float* ffTable, int order) {
    switch (order) {
        case 0: ffLow<0>(src, work, count, ffTable); break;
        case 1: ffLow<1>(src, work, count, ffTable); break;
        case 2: ffLow<2>(src, work, count, ffTable); break;
        case 3: ffLow<3>(src, work, count, ffTable); break;
        default: ffHigh(src, work, count, ffTable, order); break;
    }
}

// dst[order + k] = work[k] + sum over i = 1..order of c_i dst[order + k - i],
// k = 0..count-1; dst[0..order-1] hold the outputs before.
void SP_NAME(spIirBlockFeedback)(const float* work, float* dst, int count, const float* fbTable, int order) {
    switch (order) {
        case 1: fbLow<1>(work, dst, count, fbTable); break;
        case 2: fbLow<2>(work, dst, count, fbTable); break;
        case 3: fbLow<3>(work, dst, count, fbTable); break;
        case 4: fbLow<4>(work, dst, count, fbTable); break;
        default: fbHigh(work, dst, count, fbTable, order); break;
    }
}

// The order-2 feed-forward of one section; single values until the output
// reaches a 16-byte boundary.
void SP_NAME(spIirBiquadBlockFeedforward)(const float* src, float* work, int count, const float* ffSection) {
    int k = 0;
    if ((addr(work) & 3) == 0) {
        for (; k < count && !aligned16(work + k); ++k) work[k] = ffLowOne<2>(src + k, ffSection);
    }
    ffLow<2>(src + k, work + k, count - k, ffSection);
}

void SP_NAME(spIirBiquadBlockFeedback)(const float* work, float* dst, int count, const float* fbSection) {
    fbLow<2>(work, dst, count, fbSection);
}

// ---- Bodies --------------------------------------------------------------------

#if SP_BUILD != 3
SpStatus SP_NAME(spIirComputeStateSize)(int order, int* size, int32_t id) {
    const int64_t bytes = iirStateBytes(order, id);
    if (order <= 0 || bytes > kIirMaxBytes) return SP_STS_IIR_ORDER;
    *size = static_cast<int>(bytes);
    return SP_STS_OK;
}

SpStatus SP_NAME(spIirStateSize)(int order, int* size) {
    if (size == nullptr) return SP_STS_NULL_PTR;
    if (!iirOrderFits(order)) return SP_STS_IIR_ORDER;
    return SP_NAME(spIirComputeStateSize)(order, size, SP_CTX_IIR);
}
#endif

// The coefficient area as the generic setter fills it, the splatted
// feed-forward rows and the look-ahead table.
SpStatus SP_NAME(spIirSetTaps)(const float* taps, SpIirState* state) {
    const int N = state->order;
    const float a0 = taps[N + 1];
    if (a0 == 0.0f) return SP_STS_DIV_BY_ZERO_ERR;
    const float r = 1.0f / a0;
    float* k = state->coeffs;
    k[0] = taps[0] * r;
    for (int i = 1; i <= N; ++i) {
        k[i] = taps[i] * r;
        k[N + i] = taps[N + 1 + i] * r;
    }
    for (int i = 0; i <= N; ++i) staPs(state->ffTable + 4 * i, _mm_set1_ps(taps[i] * r));
    float* fb = state->fbTable;  // row i at fb + 4i
    const float negR = 0.0f - r;
    for (int i = 0; i < N; ++i) fb[4 * i] = taps[N + 2 + i] * negR;
    for (int i = 0; i < N; ++i) fb[4 * i + 1] = fb[0] * fb[4 * i];
    const float c1 = fb[0], c2 = N >= 2 ? fb[4] : 0.0f, c3 = N >= 3 ? fb[8] : 0.0f;
    for (int i = 0; i + 1 < N; ++i) fb[4 * i + 1] += fb[4 * (i + 1)];
    for (int i = 0; i < N; ++i) fb[4 * i + 2] = fb[4 * i + 1] * c1 + c2 * fb[4 * i];
    for (int i = 0; i + 2 < N; ++i) fb[4 * i + 2] += fb[4 * (i + 2)];
    for (int i = 0; i < N; ++i) fb[4 * i + 3] = (fb[4 * i + 2] * c1 + c2 * fb[4 * i + 1]) + c3 * fb[4 * i];
    for (int i = 0; i + 3 < N; ++i) fb[4 * i + 3] += fb[4 * (i + 3)];
    float* tail = fb + 4 * N;
    staPs(tail, _mm_setr_ps(1.0f, fb[0], fb[1], fb[2]));
    staPs(tail + 4, _mm_setr_ps(0.0f, 1.0f, fb[0], fb[1]));
    staPs(tail + 8, _mm_setr_ps(0.0f, 0.0f, 1.0f, fb[0]));
    return SP_STS_OK;
}

// The record at the buffer's first 16-byte boundary. When the setter meets
// a0 = 0 the id is cleared, so the filters and destroy answer
// SP_STS_CONTEXT_MISMATCH instead of running over unset tables.
SpStatus SP_NAME(spIirInitState)(SpIirState** state, const float* taps, int order, const float* dlyLine,
                                 uint8_t* buf, int32_t id) {
    const int64_t N = order;
    SpIirState* st = reinterpret_cast<SpIirState*>(alignUp16(buf));
    *state = st;
    uint8_t* coef = reinterpret_cast<uint8_t*>(st) + kIirHeaderBytes;
    uint8_t* dly = coef + floor16(8 * N + 19);
    uint8_t* ff = dly + floor16(4 * N + 19);
    st->coeffs = reinterpret_cast<float*>(coef);
    st->dlyLine = reinterpret_cast<float*>(dly);
    st->id = id;
    st->order = order;
    st->numBiquads = 0;
    st->ownsMemory = 0;
    if (dlyLine != nullptr) {
        SP_NAME(spCopyF32)(dlyLine, st->dlyLine, order);
    } else {
        SP_NAME(spZeroF32)(st->dlyLine, order);
    }
    st->dlyLine[order] = 0.0f;
    st->ffTable = reinterpret_cast<float*>(ff);
    st->fbTable = reinterpret_cast<float*>(ff + 16 * N + 16);
    st->workArea = reinterpret_cast<float*>(ff + 32 * N + 64);
    st->workArea2 = id == SP_CTX_IIR ? nullptr : st->workArea + kIirBlock;
    const SpStatus status = SP_NAME(spIirSetTaps)(taps, st);
    if (status != SP_STS_OK) st->id = 0;
    return status;
}

SpStatus SP_NAME(spIirInit)(SpIirState** state, const float* taps, int order, const float* dlyLine, uint8_t* buf) {
    if (taps == nullptr || state == nullptr || buf == nullptr) return SP_STS_NULL_PTR;
    if (!iirOrderFits(order)) return SP_STS_IIR_ORDER;
    return SP_NAME(spIirInitState)(state, taps, order, dlyLine, buf, SP_CTX_IIR);
}

// *state is written only when the build succeeded; a failed build frees
// the block.
SpStatus SP_NAME(spIirCreateState)(SpIirState** state, const float* taps, int order, const float* dlyLine,
                                   int32_t id) {
    int size = 0;
    const SpStatus sized = SP_IIR_SIZE(spIirComputeStateSize)(order, &size, id);
    if (sized != SP_STS_OK) return sized;
    uint8_t* block = static_cast<uint8_t*>(spMallocAligned(size));
    if (block == nullptr) return SP_STS_MEM_ALLOC;
    SpIirState* st = nullptr;
    const SpStatus status = SP_NAME(spIirInitState)(&st, taps, order, dlyLine, block, id);
    st->ownsMemory = 1;
    if (status < 0) {
        spFreeAligned(block);
        return status;
    }
    *state = st;
    return status;
}

SpStatus SP_NAME(spIirCreate)(SpIirState** state, const float* taps, int order, const float* dlyLine) {
    if (taps == nullptr || state == nullptr) return SP_STS_NULL_PTR;
    if (!iirOrderFits(order)) return SP_STS_IIR_ORDER;
    return SP_NAME(spIirCreateState)(state, taps, order, dlyLine, SP_CTX_IIR);
}

SpStatus SP_NAME(spIirFilterF32)(const float* src, float* dst, int len, SpIirState* state) {
    if (state == nullptr || src == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    if (!iirKnownKind(state)) return SP_STS_CONTEXT_MISMATCH;
    iirFilter(src, dst, len, state);
    return SP_STS_OK;
}

SpStatus SP_NAME(spIirFilterF32InPlace)(float* srcDst, int len, SpIirState* state) {
    if (state == nullptr || srcDst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    if (!iirKnownKind(state)) return SP_STS_CONTEXT_MISMATCH;
    iirFilter(srcDst, srcDst, len, state);
    return SP_STS_OK;
}

#undef SP_IIR_SIZE

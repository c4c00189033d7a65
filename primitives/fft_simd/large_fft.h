// Large complex FFTs of the CPU builds, written once and compiled once per
// build after radix4_engine.h: the drivers and their recursive level, the
// column passes, gather and scatter.
//
// A transform of n = 2^log2n points is split into M = 2^a sub-transforms of
// L = 2^b points (a from SP_FFT_SPLIT_TABLE_SIMD) after one bit reversal of
// the whole sequence; the sub-transforms run in place with the radix-4
// kernel (grouped output) or, above the build's direct limit, one level
// deeper; then the M-point transforms down the L columns run K columns at a
// time (2^T points, T from SP_FFT_COLUMN_BLOCK_TABLE_SIMD): gathered into
// the work area as M rows, transformed by radix-8 and radix-4 column passes,
// scattered back, interleaved only at the top level. The column twiddles
// are read once, front to back, from the level's columnTwiddles table.
//
// The inverse passes are the forward ones on exchanged real and imaginary
// parts, which multiplies by the conjugate twiddles and turns -i into +i.
#pragma once

namespace sp {
namespace SP_NS {

// Build differences of the bit reversal into dst: build 1 copies with the
// block reversal at its first large size and uses the tiled in-place
// reversal from 2^20; builds 2 and 3 take the tiled reversal from 2^19 and
// a tiled bit-reversed copy at 2^19 and 2^20.
struct LargeB1 {
    static constexpr int kBlockCopyAt = 17;
    static constexpr int kTiledCopyTo = 0;
};
struct LargeB23 {
    static constexpr int kBlockCopyAt = 0;
    static constexpr int kTiledCopyTo = 20;
};
#if SP_BUILD == 1
using LargeTraits = LargeB1;
#else
using LargeTraits = LargeB23;
#endif

// ---- Column passes on grouped rows ------------------------------------------

template <bool Inv>
static inline Cv loadIo(const float* p, int64_t point) {
    return cvIo<Inv>(Cv{_mm_load_ps(p + 2 * point), _mm_load_ps(p + 2 * point + 4)});
}
template <bool Inv>
static inline void storeIo(float* p, int64_t point, Cv v) {
    v = cvIo<Inv>(v);
    _mm_store_ps(p + 2 * point, v.re);
    _mm_store_ps(p + 2 * point + 4, v.im);
}

// Radix 8 with the column pass's own products by c: inputs at offset p hold
// a_rev3(p); outputs in natural order.
static inline void radix8Columns(Cv* y, const float* tw) {
    static const int kRev3[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    Cv b[8];
    b[0] = y[0];
    for (int m = 1; m < 8; ++m) b[m] = cvMul(y[kRev3[m]], tw + 8 * (m - 1));
    const Cv s04 = cvAdd(b[0], b[4]), d04 = cvSub(b[0], b[4]);
    const Cv s26 = cvAdd(b[2], b[6]), d26 = cvSub(b[2], b[6]);
    const Cv s15 = cvAdd(b[1], b[5]), d15 = cvSub(b[1], b[5]);
    const Cv s37 = cvAdd(b[3], b[7]), d37 = cvSub(b[3], b[7]);
    const Cv E = cvAdd(s04, s26), O = cvAdd(s15, s37);
    const Cv F = cvSub(s04, s26), P = cvSub(s15, s37);
    const Cv G = cvSubI(d04, d26), U = cvSubI(d15, d37);
    const Cv H = cvAddI(d04, d26), V = cvAddI(d15, d37);
    const __m128 c = fftC(), mc = _mm_castsi128_ps(_mm_set1_epi32(static_cast<int>(0xbf3504f4u)));
    const Cv u = {_mm_mul_ps(c, _mm_add_ps(U.re, U.im)), _mm_mul_ps(c, _mm_sub_ps(U.im, U.re))};
    const Cv v = {_mm_mul_ps(mc, _mm_sub_ps(V.re, V.im)), _mm_mul_ps(mc, _mm_add_ps(V.im, V.re))};
    y[0] = cvAdd(E, O);
    y[4] = cvSub(E, O);
    y[2] = cvSubI(F, P);
    y[6] = cvAddI(F, P);
    y[1] = cvAdd(G, u);
    y[5] = cvSub(G, u);
    y[3] = cvAdd(H, v);
    y[7] = cvSub(H, v);
}

// One pass of radix R over blocks of R * span points; every block reads the
// same span * (R - 1) twiddles.
template <int R, bool Inv>
static void columnPass(const float* src, float* dst, int span, int blocks, const float* twiddles) {
    for (int64_t blk = 0; blk < blocks; ++blk) {
        const int64_t base = blk * R * static_cast<int64_t>(span);
        const float* tw = twiddles;
        for (int64_t j = 0; j < span; j += 4, tw += 8 * (R - 1)) {
            Cv y[R];
            for (int p = 0; p < R; ++p) y[p] = loadIo<Inv>(src, base + j + p * static_cast<int64_t>(span));
            if (R == 2) {
                const Cv t = cvMul(y[1], tw);
                const Cv y0 = y[0];
                y[0] = cvAdd(y0, t);
                y[1] = cvSub(y0, t);
            } else if (R == 4) {
                radix4(y, tw);
            } else {
                radix8Columns(y, tw);
            }
            for (int p = 0; p < R; ++p) storeIo<Inv>(dst, base + j + p * static_cast<int64_t>(span), y[p]);
        }
    }
}

// ---- Gather and scatter -------------------------------------------------------

static void gatherColumns(const float* src, float* work, int rowStride, int rows, int cols) {
    for (int64_t r = 0; r < rows; ++r) {
        const float* from = src + 2 * r * rowStride;
        float* to = work + 2 * r * cols;
        for (int64_t k = 0; k < 2 * cols; k += 4) _mm_store_ps(to + k, _mm_loadu_ps(from + k));
    }
}

static void scatterColumns(float* dst, const float* work, int rowStride, int rows, int cols, int interleave) {
    for (int64_t r = 0; r < rows; ++r) {
        float* to = dst + 2 * r * rowStride;
        const float* from = work + 2 * r * cols;
        for (int64_t k = 0; k < 2 * cols; k += 8) {
            const __m128 re = _mm_load_ps(from + k), im = _mm_load_ps(from + k + 4);
            if (interleave == 1) {
                _mm_storeu_ps(to + k, _mm_unpacklo_ps(re, im));
                _mm_storeu_ps(to + k + 4, _mm_unpackhi_ps(re, im));
            } else {
                _mm_storeu_ps(to + k, re);
                _mm_storeu_ps(to + k + 4, im);
            }
        }
    }
}

// rowStride in floats; groups of 4 points from and to the two arrays.
static void gatherColumnsSplit(const float* re, const float* im, float* work, int rowStride, int rows, int cols) {
    for (int64_t r = 0; r < rows; ++r) {
        for (int64_t k = 0; k < cols; k += 4) {
            _mm_store_ps(work + 2 * (r * cols + k), _mm_loadu_ps(re + r * rowStride + k));
            _mm_store_ps(work + 2 * (r * cols + k) + 4, _mm_loadu_ps(im + r * rowStride + k));
        }
    }
}

static void scatterColumnsSplit(float* re, float* im, const float* work, int rowStride, int rows, int cols) {
    for (int64_t r = 0; r < rows; ++r) {
        for (int64_t k = 0; k < cols; k += 4) {
            _mm_storeu_ps(re + r * rowStride + k, _mm_load_ps(work + 2 * (r * cols + k)));
            _mm_storeu_ps(im + r * rowStride + k, _mm_load_ps(work + 2 * (r * cols + k) + 4));
        }
    }
}

// ---- Levels and drivers ---------------------------------------------------------

template <bool Inv>
static void largeLevel(const SpFftSpec* spec, float* data, int log2n, int depth, uint8_t* work);

// The M-point column transforms of one level, K columns at a time.
template <bool Inv>
static void levelColumns(const SpFftSpec* spec, float* data, int log2n, int depth, float* work) {
    const int a = SP_FFT_SPLIT_TABLE_SIMD[log2n];
    const int T = SP_FFT_COLUMN_BLOCK_TABLE_SIMD[log2n];
    const int L = 1 << (log2n - a), M = 1 << a, K = 1 << (T - a);
    const float* cursor = spec->columnTwiddles[depth];
    for (int64_t c = 0; c < L; c += K) {
        gatherColumns(data + 2 * c, work, L, M, K);
        int span = K, blocks = M;
        for (int done = 0; done < a;) {
            if (a - done == 2 || a - done == 4) {
                blocks /= 4;
                columnPass<4, Inv>(work, work, span, blocks, cursor);
                cursor += 2 * 3 * static_cast<int64_t>(span);
                span *= 4;
                done += 2;
            } else {
                blocks /= 8;
                columnPass<8, Inv>(work, work, span, blocks, cursor);
                cursor += 2 * 7 * static_cast<int64_t>(span);
                span *= 8;
                done += 3;
            }
        }
        scatterColumns(data + 2 * c, work, L, M, K, depth == 0 ? 1 : 0);
    }
}

template <bool Inv>
static void largeLevel(const SpFftSpec* spec, float* data, int log2n, int depth, uint8_t* work) {
    const int a = SP_FFT_SPLIT_TABLE_SIMD[log2n];
    const int b = log2n - a;
    const int64_t L = int64_t{1} << b;
    float* w = reinterpret_cast<float*>(work);
    const bool scaled = (Inv ? spec->scaleInv : spec->scaleFwd) != 0;
    for (int64_t i = 0; i < (int64_t{1} << a); ++i) {
        float* block = data + 2 * i * L;
        if (b > FftSchedule::kDirectLimit) {
            largeLevel<Inv>(spec, block, b, depth + 1, work);
            continue;
        }
        radix4InPlace<Inv>(block, static_cast<int>(L), spec->radix4Twiddles, w, 0);
        if (scaled) SP_NAME(spScaleF32InPlace)(spec->scale, block, static_cast<int>(2 * L));
    }
    levelColumns<Inv>(spec, data, log2n, depth, w);
}

// Copies bytes in pieces of at most limit bytes, so a count beyond int32
// still goes through the byte copy.
static void copyChunked(const void* src, void* dst, int64_t bytes, int64_t limit) {
    const uint8_t* s = static_cast<const uint8_t*>(src);
    uint8_t* d = static_cast<uint8_t*>(dst);
    for (int64_t done = 0; done < bytes;) {
        const int64_t piece = bytes - done < limit ? bytes - done : limit;
        SP_NAME(spCopyU8)(s + done, d + done, static_cast<int>(piece));
        done += piece;
    }
}

constexpr int64_t kInputCopyLimit = int64_t{1} << 30;

// Tiles of 64 rows of 64 points, n/64 points apart, through the work area.
static void tiledBitRevCopy(const float* src, float* dst, int64_t n, const int32_t* table, uint8_t* work) {
    const int64_t R = n / 64, tiles = n / 4096;
    float* w = reinterpret_cast<float*>(work);
    for (int64_t i = 0; i < tiles; ++i) {
        for (int64_t r = 0; r < 64; ++r) __builtin_memcpy(w + 128 * r, src + 2 * (table[i] + r * R), 512);
        SP_NAME(spFftBitReversePairs)(w, 4096, table + tiles);
        for (int64_t r = 0; r < 64; ++r) __builtin_memcpy(dst + 2 * (64 * i + r * R), w + 128 * r, 512);
    }
}

static void bitReverseInto(const float* src, float* dst, int log2n, const int32_t* table, uint8_t* work) {
    const int64_t n = int64_t{1} << log2n;
    const int count = static_cast<int>(n);
    if (src != dst) {
        if (log2n == LargeTraits::kBlockCopyAt) {
            SP_NAME(spFftBitReverseCopy)(src, dst, count, table);
            return;
        }
        if (log2n >= FftSchedule::kTiledFrom && log2n <= LargeTraits::kTiledCopyTo) {
            tiledBitRevCopy(src, dst, n, table, work);
            return;
        }
        copyChunked(src, dst, 8 * n, kInputCopyLimit);
    }
    if (log2n >= FftSchedule::kTiledFrom) {
        SP_NAME(spFftBitReverseInPlaceLarge)(dst, count, table, work);
    } else {
        SP_NAME(spFftBitReverseInPlace)(dst, count, table);
    }
}

template <bool Inv>
static void largeDriver(const SpFftSpec* spec, const float* src, float* dst, int log2n, uint8_t* work) {
    bitReverseInto(src, dst, log2n, spec->bitRevTable, work);
    largeLevel<Inv>(spec, dst, log2n, 0, work);
}

}  // namespace SP_NS
}  // namespace sp

void SP_NAME(spFftFwdLarge)(const SpFftSpec* spec, const float* src, float* dst, int log2n, uint8_t* work) {
    sp::SP_NS::largeDriver<false>(spec, src, dst, log2n, work);
}
void SP_NAME(spFftInvLarge)(const SpFftSpec* spec, const float* src, float* dst, int log2n, uint8_t* work) {
    sp::SP_NS::largeDriver<true>(spec, src, dst, log2n, work);
}
void SP_NAME(spFftFwdRecursive)(const SpFftSpec* spec, float* data, int log2n, int depth, uint8_t* work) {
    sp::SP_NS::largeLevel<false>(spec, data, log2n, depth, work);
}
void SP_NAME(spFftInvRecursive)(const SpFftSpec* spec, float* data, int log2n, int depth, uint8_t* work) {
    sp::SP_NS::largeLevel<true>(spec, data, log2n, depth, work);
}
void SP_NAME(spFftGatherColumns)(const float* src, float* work, int rowStride, int rows, int cols) {
    sp::SP_NS::gatherColumns(src, work, rowStride, rows, cols);
}
void SP_NAME(spFftScatterColumns)(float* dst, const float* work, int rowStride, int rows, int cols, int interleave) {
    sp::SP_NS::scatterColumns(dst, work, rowStride, rows, cols, interleave);
}
void SP_NAME(spFftGatherColumnsSplit)(const float* re, const float* im, float* work, int rowStride, int rows,
                                      int cols) {
    sp::SP_NS::gatherColumnsSplit(re, im, work, rowStride, rows, cols);
}
void SP_NAME(spFftScatterColumnsSplit)(float* re, float* im, const float* work, int rowStride, int rows, int cols) {
    sp::SP_NS::scatterColumnsSplit(re, im, work, rowStride, rows, cols);
}
#define SP_COLUMN_PASS(name, R, inv)                                                                   \
    void SP_NAME(name)(const float* src, float* dst, int span, int blocks, const float* twiddles) {     \
        sp::SP_NS::columnPass<R, inv>(src, dst, span, blocks, twiddles);                               \
    }
SP_COLUMN_PASS(spFftColumnsRadix2Fwd, 2, false)
SP_COLUMN_PASS(spFftColumnsRadix2Inv, 2, true)
SP_COLUMN_PASS(spFftColumnsRadix4Fwd, 4, false)
SP_COLUMN_PASS(spFftColumnsRadix4Inv, 4, true)
#undef SP_COLUMN_PASS
// The radix-8 pass works in place in data; dst is not used.
void SP_NAME(spFftColumnsRadix8Fwd)(float* data, float* /*dst*/, int span, int blocks, const float* twiddles) {
    sp::SP_NS::columnPass<8, false>(data, data, span, blocks, twiddles);
}
void SP_NAME(spFftColumnsRadix8Inv)(float* data, float* /*dst*/, int span, int blocks, const float* twiddles) {
    sp::SP_NS::columnPass<8, true>(data, data, span, blocks, twiddles);
}
void SP_NAME(spFftCopyChunked)(const void* src, void* dst, int64_t bytes, int64_t limit) {
    sp::SP_NS::copyChunked(src, dst, bytes, limit);
}

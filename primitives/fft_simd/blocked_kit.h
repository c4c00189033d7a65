// The blocked kit of builds 2 and 3, written once and compiled once per
// build after radix4_engine.h: kernels that together transform N = 8n
// complex points, n = 2^a with 6 <= a <= 19. No transform of the library
// calls them; a caller composes them as
//   blocked(x, mid, ...), blocked(x + 4 points, mid + 4n points, ...),
//   scatter(mid, out, n, n, scatterTwiddles)
// where the blocked kernel makes the n-point transforms of four residue
// sequences x[8m + r] as four grouped rows, and the scatter pass is the
// last radix-8 step down the columns of the eight rows, written in natural
// order.
//
// The blocked kernel's first pass reads the input in blocks of 4 points in
// bit-reversed block order (the index list for n) and makes the first
// 4-point step of all four rows at once; each row is then finished alone
// with radix-4 and radix-8 passes, so for a <= 17 a row has the bits the
// in-place radix-4 kernel gives with grouped output on the bit-reversed
// residue. The row plan is that kernel's except at a = 18.
//
// As in the engine, the inverse kernels run the forward passes on data with
// real and imaginary parts exchanged on the way in and out.
#pragma once

#if SP_BUILD == 1
#error "the blocked kit belongs to builds 2 and 3"
#endif

namespace sp {
namespace SP_NS {

// Radices of a row's passes after the 4-point pass; returns their count.
// The pass at L = 4 is radix 8 for a = 8, 11, 14 and 17; a = 9, 12 and 15
// take a second radix-4 pass; then radix 8 while more than a factor 8
// remains, and the last pass takes what remains (4 or 8).
static int blockedRadices(int a, int* radices) {
    int count = 0;
    int bits = a - 2;
    const bool first8 = a == 8 || a == 11 || a == 14 || a == 17;
    radices[count++] = first8 ? 8 : 4;
    bits -= first8 ? 3 : 2;
    if (a == 9 || a == 12 || a == 15) {
        radices[count++] = 4;
        bits -= 2;
    }
    for (; bits > 3; bits -= 3) radices[count++] = 8;
    radices[count++] = bits == 3 ? 8 : 4;
    return count;
}

// The passes of one row of n = 2^a points after its first pass; the last
// one stores through finalStore. Reads 8n - 32 bytes of the table.
template <typename Store>
static void blockedRowPasses(float* row, int a, const float* tw, Store finalStore) {
    const int64_t n = int64_t{1} << a;
    int radices[8];
    const int passes = blockedRadices(a, radices);
    int64_t L = 4;
    for (int i = 0; i < passes; ++i) {
        const int r = radices[i];
        const bool last = i == passes - 1;
        if (r == 4) {
            last ? runPass<4>(row, n, L, tw, finalStore) : runPass<4>(row, n, L, tw, StoreScratch{row});
        } else {
            last ? runPass<8>(row, n, L, tw, finalStore) : runPass<8>(row, n, L, tw, StoreScratch{row});
        }
        tw += 2 * L * (r - 1);
        L *= r;
    }
}

// Deinterleaves 4 points (8 floats at any alignment) into one vector pair.
static inline Cv loadPoints(const float* p) {
    const __m128 a = _mm_loadu_ps(p), b = _mm_loadu_ps(p + 4);
    return {_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)), _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1))};
}

struct InterleavedInput {
    const float* src;
    Cv operator()(int64_t point) const { return loadPoints(src + 2 * point); }
};

struct SplitInput {
    const float* re;
    const float* im;
    Cv operator()(int64_t point) const { return {_mm_loadu_ps(re + point), _mm_loadu_ps(im + point)}; }
};

// First pass of the four rows: for table position k with entry e, the
// blocks of 4 points at 4e + 2n j (j = 0..3) hold, in lane p, the points
// of residue p that its 4-point transform takes; the transform becomes
// group k of scratch row p. Entry 0 is taken as 0 without being read; the
// pass stops at the next entry that is 0.
template <bool Inv, typename Input>
static void blockedFirstPass(Input input, float* scratch, int64_t n, const int32_t* table) {
    int64_t k = 0;
    int64_t e = 0;
    for (;;) {
        Cv q[4];
        for (int j = 0; j < 4; ++j) q[j] = cvIo<Inv>(input(4 * e + 2 * n * j));
        Cv y[4];
        fft4(q, y);
        const int64_t points[4] = {4 * k, n + 4 * k, 2 * n + 4 * k, 3 * n + 4 * k};
        storeTransposed(scratch, y, points);
        e = table[k + 1];
        if (e == 0) break;
        ++k;
    }
}

// Finishes the four scratch rows one after another into dst's grouped rows.
template <bool Inv>
static void blockedRows(float* scratch, float* dst, int a, const float* tw) {
    const int64_t n = int64_t{1} << a;
    for (int64_t p = 0; p < 4; ++p) {
        blockedRowPasses(scratch + 2 * p * n, a, tw, StoreGrouped<Inv>{dst + 2 * p * n});
    }
}

// The scratch is dst itself when it is a separate, aligned array, else the
// caller's work area of 4n points.
template <bool Inv>
static void blocked(const float* src, float* dst, uint64_t n, const float* tw, const int32_t* table,
                    float* work) {
    const int a = log2Of(static_cast<int>(n));
    float* scratch = (dst != src && aligned16(dst)) ? dst : work;
    blockedFirstPass<Inv>(InterleavedInput{src}, scratch, static_cast<int64_t>(n), table);
    blockedRows<Inv>(scratch, dst, a, tw);
}

template <bool Inv>
static void blockedSplit(const float* re, const float* im, float* dst, uint64_t n, const float* tw,
                         const int32_t* table) {
    const int a = log2Of(static_cast<int>(n));
    blockedFirstPass<Inv>(SplitInput{re, im}, dst, static_cast<int64_t>(n), table);
    blockedRows<Inv>(dst, dst, a, tw);
}

// The last radix-8 step down the columns of 8 grouped rows of rowLen
// points: column group g reads group g of every row and its twiddle record
// (7 pairs of vectors), and writes output m of its columns to row m of the
// destination through store. Rows stand in natural order, so row s goes to
// the butterfly's input slot rev3(s). At least one group runs.
template <bool Inv, typename Store>
static void scatterColumns(const float* src, int64_t rowLen, int64_t count, const float* tw, Store store) {
    static const int kRev3[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    const int64_t groups = count > 4 ? (count + 3) / 4 : 1;
    for (int64_t g = 0; g < groups; ++g, tw += 56) {
        Cv y[8];
        for (int s = 0; s < 8; ++s) y[kRev3[s]] = cvIo<Inv>(loadGroup(src, s * rowLen + 4 * g));
        radix8(y, tw);
        for (int m = 0; m < 8; ++m) store(y[m], m * rowLen + 4 * g);
    }
}

}  // namespace SP_NS
}  // namespace sp

void SP_NAME(spFftRadix4FwdBitRevBlocked)(const float* src, float* dst, uint64_t n, const float* twiddles,
                                          const int32_t* table, float* work) {
    sp::SP_NS::blocked<false>(src, dst, n, twiddles, table, work);
}
void SP_NAME(spFftRadix4InvBitRevBlocked)(const float* src, float* dst, uint64_t n, const float* twiddles,
                                          const int32_t* table, float* work) {
    sp::SP_NS::blocked<true>(src, dst, n, twiddles, table, work);
}
void SP_NAME(spFftRadix4FwdBitRevBlockedSplit)(const float* srcRe, const float* srcIm, float* dst, uint64_t n,
                                               const float* twiddles, const int32_t* table) {
    sp::SP_NS::blockedSplit<false>(srcRe, srcIm, dst, n, twiddles, table);
}
void SP_NAME(spFftRadix4InvBitRevBlockedSplit)(const float* srcRe, const float* srcIm, float* dst, uint64_t n,
                                               const float* twiddles, const int32_t* table) {
    sp::SP_NS::blockedSplit<true>(srcRe, srcIm, dst, n, twiddles, table);
}
void SP_NAME(spFftColumnsRadix8FwdScatter)(const float* src, float* dst, uint64_t rowLen, int64_t count,
                                           const float* twiddles) {
    sp::SP_NS::scatterColumns<false>(src, static_cast<int64_t>(rowLen), count, twiddles,
                                     sp::SP_NS::StoreInterleaved<false>{dst});
}
void SP_NAME(spFftColumnsRadix8InvScatter)(const float* src, float* dst, uint64_t rowLen, int64_t count,
                                           const float* twiddles) {
    sp::SP_NS::scatterColumns<true>(src, static_cast<int64_t>(rowLen), count, twiddles,
                                    sp::SP_NS::StoreInterleaved<true>{dst});
}
void SP_NAME(spFftColumnsRadix8FwdScatterSplit)(const float* src, float* dstRe, float* dstIm, uint64_t rowLen,
                                                int32_t count, const float* twiddles) {
    sp::SP_NS::scatterColumns<false>(src, static_cast<int64_t>(rowLen), count, twiddles,
                                     sp::SP_NS::StoreSplit<false>{dstRe, dstIm});
}
void SP_NAME(spFftColumnsRadix8InvScatterSplit)(const float* src, float* dstRe, float* dstIm, uint64_t rowLen,
                                                int32_t count, const float* twiddles) {
    sp::SP_NS::scatterColumns<true>(src, static_cast<int64_t>(rowLen), count, twiddles,
                                    sp::SP_NS::StoreSplit<true>{dstRe, dstIm});
}

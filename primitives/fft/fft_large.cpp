// Complex transforms above 1024 points in the generic build: the drivers,
// the radix-2 combine passes, one level of the recursive split, the table
// builders and the size rule.
//
// Blocked path (L = 11, 12): 1024-point radix-4 blocks merged by radix-2
// passes. Recursive path (L >= 13): n = a*b as a rows of b points; each row
// is transformed (radix-4, blocked or split again), then b/4 groups of four
// columns are multiplied by the column twiddles, gathered into the work
// buffer (32a bytes), transformed with the a-point radix-4 transform and
// written back. The forward and inverse forms are one body over a direction
// trait. The combine passes are also called by the CPU builds with their own
// block and strip lengths.
#include <algorithm>

#include "primitives/convert/sp_gen.h"
#include "primitives/fft/fft_complex.h"
#include "primitives/fft/sp_fft_gen.h"

using sp::gen::alignUp32;
using sp::gen::Cx;
using sp::gen::load;
using sp::gen::roundDown32;
using sp::gen::store;

namespace {

constexpr int kBlockPoints = 1024;
constexpr int kBlockLog2 = 10;
constexpr int kChunkPoints = 16384;
constexpr int kGenericStrip = 256;

struct ForwardDriver {
    using Ops = sp::gen::FwdOps;
    static void radix4(float* d, int n, const float* tw) { spFftRadix4Fwd_Gen(d, n, tw); }
    static bool scaled(const SpFftSpec* spec) { return spec->scaleFwd == 1; }
};

struct InverseDriver {
    using Ops = sp::gen::InvOps;
    static void radix4(float* d, int n, const float* tw) { spFftRadix4Inv_Gen(d, n, tw); }
    static bool scaled(const SpFftSpec* spec) { return spec->scaleInv == 1; }
};

template <typename Ops>
void combine(float* data, int n, int L0, const float* tw, int strip) {
    const int stripPoints = std::max(strip / 2, 1);
    for (int len = L0; len < n; len *= 2) {
        const int half = len / 2;
        const int stride = n / (2 * len);
        for (int j0 = 0; j0 < half; j0 += stripPoints) {
            const int j1 = std::min(j0 + stripPoints, half);
            for (int base = 0; base < n; base += 2 * len) {
                float* A = data + 2 * base;
                float* B = A + 2 * len;
                for (int j = j0; j < j1; ++j) {
                    const Cx w = load(tw + 2 * static_cast<int64_t>(j) * stride);
                    const Cx t = Ops::twiddle(load(B + 2 * j), w);
                    const Cx a = load(A + 2 * j);
                    store(A + 2 * j, sp::gen::add(a, t));
                    store(B + 2 * j, sp::gen::sub(a, t));
                    const Cx u = Ops::rotate(Ops::twiddle(load(B + 2 * (j + half)), w));
                    const Cx c = load(A + 2 * (j + half));
                    store(A + 2 * (j + half), sp::gen::add(c, u));
                    store(B + 2 * (j + half), sp::gen::sub(c, u));
                }
            }
        }
    }
}

template <typename Drv>
void combinePasses(float* data, int n, int L0, const float* tw, int strip) {
    combine<typename Drv::Ops>(data, n, L0, tw, strip);
}

// Steps 3 and 4 of the driver: n = 2^11 or 2^12 points in bit-reversed order.
template <typename Drv>
void blocked(const SpFftSpec* spec, float* data, int n) {
    const int c = std::min(n, kChunkPoints);
    const bool scaled = Drv::scaled(spec);
    for (int chunk = 0; chunk < n; chunk += c) {
        float* base = data + 2 * static_cast<int64_t>(chunk);
        for (int block = c - kBlockPoints; block >= 0; block -= kBlockPoints) {
            float* p = base + 2 * block;
            Drv::radix4(p, kBlockPoints, spec->radix4Twiddles);
            if (scaled) spScaleF32InPlace_Gen(spec->scale, p, 2 * kBlockPoints);
        }
        combinePasses<Drv>(base, c, kBlockPoints, spec->combineTwiddles, kGenericStrip);
    }
    // Unreachable with SP_FFT_SPLIT_TABLE: the blocked path never sees more
    // than 4096 points.
    if (n > c) combinePasses<Drv>(data, n, c, spec->crossCombineTwiddles, kGenericStrip);
}

// Gathers group g's four columns of the a x b matrix into work (column k at
// work + 2a*k floats), each point multiplied by its column twiddle.
template <typename Ops>
const float* gatherColumns(const float* data, int a, int b, int g, const float* ct, float* work) {
    for (int j = 0; j < a; ++j) {
        const float* row = data + 2 * (static_cast<int64_t>(j) * b + 4 * g);
        for (int k = 0; k < 4; ++k) {
            store(work + 2 * (k * a + j), Ops::twiddle(load(row + 2 * k), load(ct)));
            ct += 2;
        }
    }
    return ct;
}

// One level of the split at depth Depth. The depth is a template parameter
// so that every index into the per-depth tables is a constant below
// SP_FFT_MAX_DEPTH; the split table ends every chain within that bound.
template <typename Drv, int Depth>
void recursive(const SpFftSpec* spec, float* data, int L, float* work) {
    static_assert(Depth >= 0 && Depth < SP_FFT_MAX_DEPTH, "split depth outside the spec record");
    const int s = SP_FFT_SPLIT_TABLE[L];
    const int a = 1 << s;
    const int b = 1 << (L - s);
    for (int j = 0; j < a; ++j) {
        float* row = data + 2 * static_cast<int64_t>(j) * b;
        if (b <= kBlockPoints) {
            Drv::radix4(row, b, spec->radix4Twiddles);
            if (Drv::scaled(spec)) spScaleF32InPlace_Gen(spec->scale, row, 2 * b);
        } else if (SP_FFT_SPLIT_TABLE[L - s] == 0) {
            blocked<Drv>(spec, row, b);
        } else if constexpr (Depth + 1 < SP_FFT_MAX_DEPTH) {
            recursive<Drv, Depth + 1>(spec, row, L - s, work);
        }
    }
    const float* ct = spec->columnTwiddles[Depth];
    for (int g = 0; g < b / 4; ++g) {
        ct = gatherColumns<typename Drv::Ops>(data, a, b, g, ct, work);
        for (int k = 0; k < 4; ++k) Drv::radix4(work + 2 * k * a, a, spec->outerTwiddles[Depth]);
        for (int j = 0; j < a; ++j) {
            float* row = data + 2 * (static_cast<int64_t>(j) * b + 4 * g);
            for (int k = 0; k < 4; ++k) store(row + 2 * k, load(work + 2 * (k * a + j)));
        }
    }
}

// The level at a run-time depth; a depth outside the spec record's tables
// does nothing.
template <typename Drv, int Depth = 0>
void recursiveAt(const SpFftSpec* spec, float* data, int L, int depth, float* work) {
    if (depth == Depth) {
        recursive<Drv, Depth>(spec, data, L, work);
    } else if constexpr (Depth + 1 < SP_FFT_MAX_DEPTH) {
        recursiveAt<Drv, Depth + 1>(spec, data, L, depth, work);
    }
}

template <typename Drv>
void largeDriver(const SpFftSpec* spec, const float* src, float* dst, int L, float* work) {
    const int n = 1 << L;
    if (src == dst) {
        spFftBitReverseInPlace_Gen(dst, n, spec->bitRevTable);
    } else {
        spFftBitReverseCopy_Gen(src, dst, n, spec->bitRevTable);
    }
    if (SP_FFT_SPLIT_TABLE[L] != 0) {
        recursive<Drv, 0>(spec, dst, L, work);
    } else {
        blocked<Drv>(spec, dst, n);
    }
}

inline float negate(float x) { return 0.0f - x; }

// n/4 pairs w_n^i = (cos(2 pi i/n), -sin(2 pi i/n)) of a length 2^L.
float* buildCombineTwiddles(int L, const float* S, int sinOrder, float* out) {
    const int64_t quarter = (int64_t{1} << L) / 4;
    const int64_t st = int64_t{1} << (sinOrder - L);
    for (int64_t i = 0; i < quarter; ++i) {
        out[2 * i] = S[(quarter - i) * st];
        out[2 * i + 1] = negate(S[i * st]);
    }
    return alignUp32(out + 2 * quarter);
}

// W_n^e, 0 <= e < n, from the quarter-wave table at stride m.
Cx unitRoot(int64_t e, int64_t n, const float* S, int64_t m) {
    const int64_t q = n / 4;
    if (e <= q) return {S[(q - e) * m], negate(S[e * m])};
    if (e <= 2 * q) return {negate(S[(e - q) * m]), negate(S[(2 * q - e) * m])};
    if (e <= 3 * q) return {negate(S[(3 * q - e) * m]), S[(e - 2 * q) * m]};
    return {S[(e - 3 * q) * m], S[(n - e) * m]};
}

// Column multipliers of one level, in group, row, column order.
void buildColumnTwiddles(int L, int s, const float* S, int sinOrder, float* out,
                         int32_t* scratch) {
    const int a = 1 << s;
    const int b = 1 << (L - s);
    const int64_t n = int64_t{1} << L;
    const int64_t m = int64_t{1} << (sinOrder - L);
    float* columns = reinterpret_cast<float*>(scratch);
    int32_t* swap = reinterpret_cast<int32_t*>(reinterpret_cast<uint8_t*>(scratch) + 32 * a);
    spFftBuildBitRevTable_Gen(s, swap);
    for (int g = 0; g < b / 4; ++g) {
        for (int k = 0; k < 4; ++k) {
            float* col = columns + 2 * a * k;
            const int64_t k2 = 4 * g + k;
            for (int r = 0; r < a; ++r) store(col + 2 * r, unitRoot(r * k2, n, S, m));
            spFftBitReverseInPlace_Gen(col, a, swap);
        }
        for (int j = 0; j < a; ++j) {
            for (int k = 0; k < 4; ++k) {
                store(out, load(columns + 2 * (a * k + j)));
                out += 2;
            }
        }
    }
}

}  // namespace

void spFftFwdLarge_Gen(const SpFftSpec* spec, const float* src, float* dst, int L, float* work) {
    largeDriver<ForwardDriver>(spec, src, dst, L, work);
}

void spFftInvLarge_Gen(const SpFftSpec* spec, const float* src, float* dst, int L, float* work) {
    largeDriver<InverseDriver>(spec, src, dst, L, work);
}

void spFftRadix2CombineFwd_Gen(float* data, int n, int L0, const float* twiddles,
                               int /*direction*/, int strip) {
    combine<sp::gen::FwdOps>(data, n, L0, twiddles, strip);
}

void spFftRadix2CombineInv_Gen(float* data, int n, int L0, const float* twiddles,
                               int /*direction*/, int strip) {
    combine<sp::gen::InvOps>(data, n, L0, twiddles, strip);
}

void spFftFwdRecursive_Gen(const SpFftSpec* spec, float* data, int L, int depth, float* work) {
    recursiveAt<ForwardDriver>(spec, data, L, depth, work);
}

void spFftInvRecursive_Gen(const SpFftSpec* spec, float* data, int L, int depth, float* work) {
    recursiveAt<InverseDriver>(spec, data, L, depth, work);
}

float* spFftBuildTwiddlesLarge_Gen(SpFftSpec* spec, int L, const float* sinTable, int sinOrder,
                                   float* out, uint8_t* scratch) {
    spFftBuildBitRevTable_Gen(L, spec->bitRevTable);
    if (SP_FFT_SPLIT_TABLE[L] != 0) {
        return spFftBuildTwiddlesRecursive_Gen(spec, L, sinTable, sinOrder, 0, out,
                                               reinterpret_cast<int32_t*>(scratch));
    }
    spec->radix4Twiddles = out;
    spec->combineTwiddles = spFftBuildTwiddles_Gen(kBlockLog2, sinTable, sinOrder, out);
    spec->workSize = 0;
    return buildCombineTwiddles(L, sinTable, sinOrder, spec->combineTwiddles);
}

float* spFftBuildTwiddlesRecursive_Gen(SpFftSpec* spec, int L, const float* sinTable,
                                       int sinOrder, int depth, float* out, int32_t* scratch) {
    const int s = SP_FFT_SPLIT_TABLE[L];
    const int a = 1 << s;
    const int inner = L - s;
    float* end;
    if (inner <= kBlockLog2) {
        spec->radix4Twiddles = out;
        end = spFftBuildTwiddles_Gen(inner, sinTable, sinOrder, out);
        spec->workSize = 0;
    } else if (SP_FFT_SPLIT_TABLE[inner] != 0) {
        end = spFftBuildTwiddlesRecursive_Gen(spec, inner, sinTable, sinOrder, depth + 1, out,
                                              scratch);
    } else {
        spec->radix4Twiddles = out;
        spec->combineTwiddles = spFftBuildTwiddles_Gen(kBlockLog2, sinTable, sinOrder, out);
        end = buildCombineTwiddles(inner, sinTable, sinOrder, spec->combineTwiddles);
        spec->workSize = 0;
    }
    spec->outerTwiddles[depth] = end;
    float* columns = spFftBuildTwiddles_Gen(s, sinTable, sinOrder, end);
    spec->columnTwiddles[depth] = columns;
    buildColumnTwiddles(L, s, sinTable, sinOrder, columns, scratch);
    spec->workSize = std::max(spec->workSize, 32 * a);
    return columns + 2 * (int64_t{1} << L);
}

void spFftGetSizeLarge_Gen(int L, int64_t* specSize, int64_t* initSize, int64_t* workSize) {
    if (SP_FFT_SPLIT_TABLE[L] != 0) {
        spFftGetSizeRecursive_Gen(L, 0, specSize, initSize, workSize);
        return;
    }
    *specSize = roundDown32(2 * (int64_t{1} << L) + 31) + 8224;
    *initSize = 0;
    *workSize = 0;
}

void spFftGetSizeRecursive_Gen(int L, int depth, int64_t* specSize, int64_t* initSize,
                               int64_t* workSize) {
    const int s = SP_FFT_SPLIT_TABLE[L];
    const int64_t a = int64_t{1} << s;
    const int64_t b = int64_t{1} << (L - s);
    const int64_t n = int64_t{1} << L;
    if (b <= kBlockPoints) {
        *specSize = roundDown32(8 * b + 39);
        *initSize = 0;
        *workSize = 0;
    } else if (SP_FFT_SPLIT_TABLE[L - s] != 0) {
        spFftGetSizeRecursive_Gen(L - s, depth + 1, specSize, initSize, workSize);
    } else {
        *specSize = roundDown32(2 * b + 31) + 8224;
        *initSize = 0;
        *workSize = 0;
    }
    *specSize += roundDown32(8 * a + 39) + 8 * n;
    *initSize += roundDown32(a + 35) + 32 * a;
    *workSize = std::max(*workSize, 32 * a);
}

// Table layouts of the FFT CPU builds, written once and compiled once per
// build (included by fft_cpu_sse3.cpp, fft_cpu_ssse3.cpp, fft_cpu_sse41.cpp
// after sp_build.h, so every helper lives in the build's own namespace).
//
// What the builds store in a spec record instead of the generic tables:
//   - a bit-reverse index list (2 rev(i) per slot, a 0 in the last slot) or,
//     from the build's tiled limit on, the tiled table with tile exponent 6;
//   - twiddles grouped pass by pass, each block of 32 bytes holding the four
//     real then the four imaginary parts of four consecutive butterflies;
//   - recombination tables in blocks of four bins k = 4g+1..4g+4;
//   - above the direct limit, the split into column and row transforms with
//     one column table per level.
// Every value is read from the quarter-wave sine table S; negations are
// 0.0f - x so that a zero is always +0.0. Bytes a layout reserves but does
// not fill are left as they were.
//
// The two build families differ only in their FftSchedule: the direct limit
// D, the length from which the tiled bit-reverse table is used and the
// order of radix-4 and radix-8 passes.
#pragma once

#ifndef SP_BUILD
#error "include sp_build.h before fft_cpu_tables.h"
#endif

#include "primitives/fft/fft_cpu_schedule.h"
#include "primitives/fft/sp_fft_cpu.h"
#include "primitives/fft/sp_fft_gen.h"
#include "primitives/sp_records.h"

// The builders build 3 takes from build 2 (index list, direct twiddles,
// inverse recombination, pair table); the others are its own.
#if SP_BUILD == 3
#define SP_FFT_B2(name) name##_Ssse3
#else
#define SP_FFT_B2(name) SP_NAME(name)
#endif

namespace sp {
namespace SP_NS {

static inline int64_t fftRoundDown32(int64_t x) { return x & ~int64_t{31}; }
template <typename T>
static inline T* fftAlignUp32(T* p) {
    return reinterpret_cast<T*>((reinterpret_cast<uintptr_t>(p) + 31) & ~uintptr_t{31});
}
static inline int64_t fftMax(int64_t a, int64_t b) { return a > b ? a : b; }
static inline float fftNegate(float x) { return 0.0f - x; }

// The radices of the passes after the first 4-point pass; returns their count.
template <typename Schedule>
static int fftPassRadices(int L, int* radices) {
    int count = 0;
    for (int t = L - 2; t > 0; ++count) {
        radices[count] = Schedule::radix(L, t, count == 0);
        t -= radices[count] == 8 ? 3 : 2;
    }
    return count;
}

// w_E^m = (cos(2 pi m / E), -sin(2 pi m / E)) for 0 <= m < E, from S read
// at stride st (E = 4q).
static inline void fftTwiddle(const float* S, int64_t st, int64_t q, int64_t m, float* re,
                              float* im) {
    if (m <= q) {
        *re = S[(q - m) * st];
        *im = fftNegate(S[m * st]);
    } else if (m <= 2 * q) {
        *re = fftNegate(S[(m - q) * st]);
        *im = fftNegate(S[(2 * q - m) * st]);
    } else if (m <= 3 * q) {
        *re = fftNegate(S[(3 * q - m) * st]);
        *im = S[(m - 2 * q) * st];
    } else {
        *re = S[(m - 3 * q) * st];
        *im = S[(4 * q - m) * st];
    }
}

// One 8-float block: w_E^(m[i]) for the four exponents m[0..3], each below E.
static inline float* fftTwiddleBlock(const float* S, int64_t st, int64_t E, const int64_t* m,
                                     float* out) {
    for (int i = 0; i < 4; ++i) fftTwiddle(S, st, E / 4, m[i], out + i, out + 4 + i);
    return out + 8;
}

static inline int fftLog2(int64_t n) { return 63 - __builtin_clzll(static_cast<uint64_t>(n)); }

// Reversed-carry step: from r = rev(i - 1) to rev(i) over a range of m.
static inline int32_t fftNextReversed(int32_t r, int32_t m) {
    int32_t e = m / 2;
    while (e <= r) {
        r -= e;
        e /= 2;
    }
    return r + e;
}

template <typename Schedule>
static float* fftBuildTwiddles(int L, const float* S, int sinOrder, float* out) {
    if (L <= 3) return out;
    int radices[16];
    const int passes = fftPassRadices<Schedule>(L, radices);
    float* block = out;
    int64_t E = 4;
    for (int p = 0; p < passes; ++p) {
        const int r = radices[p];
        E *= r;
        const int64_t st = int64_t{1} << (sinOrder - fftLog2(E));
        for (int64_t l0 = 0; l0 < E / r; l0 += 4) {
            for (int k = 1; k < r; ++k) {
                const int64_t m[4] = {k * l0, k * (l0 + 1), k * (l0 + 2), k * (l0 + 3)};
                block = fftTwiddleBlock(S, st, E, m, block);
            }
        }
    }
    return fftAlignUp32(out + 2 * (int64_t{1} << L));
}

// Radices of the passes of a 2^a-point column transform.
static int fftColumnRadices(int a, int* radices) {
    switch (a) {
        case 3: radices[0] = 8; return 1;
        case 4: radices[0] = 4; radices[1] = 4; return 2;
        case 5: radices[0] = 8; radices[1] = 4; return 2;
        default: radices[0] = 8; radices[1] = 8; radices[2] = 4; return 3;
    }
}

// Column table of a level of 2^k points: per column block, per pass, per j,
// per group of four columns, the r - 1 blocks w_n^(k' (s c + j s 2^b)).
static void fftBuildColumnTable(int k, const float* S, int sinOrder, float* out) {
    const int a = SP_FFT_SPLIT_TABLE_SIMD[k];
    const int b = k - a;
    const int64_t n = int64_t{1} << k;
    const int64_t rows = int64_t{1} << b;
    const int64_t d = int64_t{1} << (SP_FFT_COLUMN_BLOCK_TABLE_SIMD[k] - a);
    const int64_t st = int64_t{1} << (sinOrder - k);
    int radices[3];
    const int passes = fftColumnRadices(a, radices);
    for (int64_t c0 = 0; c0 < rows; c0 += d) {
        int64_t s = int64_t{1} << a;
        int64_t J = 1;
        for (int p = 0; p < passes; ++p) {
            const int r = radices[p];
            s /= r;
            for (int64_t j = 0; j < J; ++j) {
                for (int64_t c = c0; c < c0 + d; c += 4) {
                    for (int kk = 1; kk < r; ++kk) {
                        int64_t m[4];
                        for (int i = 0; i < 4; ++i) m[i] = kk * (s * (c + i) + j * s * rows);
                        out = fftTwiddleBlock(S, st, n, m, out);
                    }
                }
            }
            J *= r;
        }
    }
}

template <typename Schedule>
static float* fftBuildLevel(SpFftSpec* spec, int k, const float* S, int sinOrder, int depth,
                            float* out) {
    const int b = k - SP_FFT_SPLIT_TABLE_SIMD[k];
    float* column;
    if (b <= Schedule::kDirectLimit) {
        spec->radix4Twiddles = out;
        spec->workSize = static_cast<int32_t>(fftRoundDown32(8 * (int64_t{1} << b) + 31));
        column = SP_FFT_B2(spFftBuildTwiddles)(b, S, sinOrder, out);
    } else {
        column = SP_NAME(spFftBuildTwiddlesRecursive)(spec, b, S, sinOrder, depth + 1, out);
    }
    spec->columnTwiddles[depth] = column;
    fftBuildColumnTable(k, S, sinOrder, column);
    const int64_t blockBytes = 8 * (int64_t{1} << SP_FFT_COLUMN_BLOCK_TABLE_SIMD[k]);
    spec->workSize = static_cast<int32_t>(fftMax(spec->workSize, blockBytes));
    return column + 2 * (int64_t{1} << k);
}

template <typename Schedule>
static float* fftBuildLarge(SpFftSpec* spec, int L, const float* S, int sinOrder, float* region) {
    if (L < Schedule::kTiledFrom) {
        SP_FFT_B2(spFftBuildBitRevIndexList)(L, spec->bitRevTable);
    } else {
        SP_FFT_B2(spFftBuildBitRevTableLarge)(L, 6, spec->bitRevTable);
    }
    float* end = SP_NAME(spFftBuildTwiddlesRecursive)(spec, L, S, sinOrder, 0, region);
    if (L >= Schedule::kTiledFrom && spec->workSize < 65536) spec->workSize = 65536;
    return end;
}

// Large-path sizes: C (the record's large region), init (always 0) and W.
template <typename Schedule>
static void fftSizeLevel(int k, int64_t* specSize, int64_t* initSize, int64_t* workSize) {
    const int j = k - SP_FFT_SPLIT_TABLE_SIMD[k];
    if (j <= Schedule::kDirectLimit) {
        *specSize = fftRoundDown32(8 * (int64_t{1} << j) + 39);
        *workSize = fftRoundDown32(8 * (int64_t{1} << j) + 31);
        *initSize = 0;
    } else {
        SP_NAME(spFftGetSizeRecursive)(j, 1, specSize, initSize, workSize);
    }
    *specSize += 8 * (int64_t{1} << k);
    *workSize = fftMax(*workSize, 8 * (int64_t{1} << SP_FFT_COLUMN_BLOCK_TABLE_SIMD[k]));
}

}  // namespace SP_NS
}  // namespace sp

// ---- The builders under their build names -----------------------------------

#if SP_BUILD != 3
int32_t* SP_NAME(spFftBuildBitRevIndexList)(int L, int32_t* table) {
    if (L < 2) return table;
    const int32_t m = int32_t{1} << (L - 2);
    int32_t r = 0;
    for (int32_t i = 1; i < m; ++i) {
        r = sp::SP_NS::fftNextReversed(r, m);
        table[i] = 2 * r;
    }
    table[0] = 0;
    table[m] = 0;
    return sp::SP_NS::fftAlignUp32(table + m + 1);
}

float* SP_NAME(spFftBuildTwiddles)(int L, const float* sinTable, int sinOrder, float* out) {
    return sp::SP_NS::fftBuildTwiddles<sp::SP_NS::FftSchedule>(L, sinTable, sinOrder, out);
}

float* SP_NAME(spRealFftBuildRecombineInv)(int order, const float* S, int sinOrder, float* out) {
    const int64_t quarter = (int64_t{1} << order) / 4;
    const int64_t st = int64_t{1} << (sinOrder - order);
    float* block = out;
    for (int64_t k0 = 1; k0 <= quarter; k0 += 4, block += 8) {
        for (int i = 0; i < 4; ++i) {
            const int64_t k = k0 + i;
            block[i] = S[(quarter - k) * st];
            block[4 + i] = sp::SP_NS::fftNegate(S[k * st]);
        }
    }
    return sp::SP_NS::fftAlignUp32(out + (int64_t{1} << order) / 2);
}
#endif

#if SP_BUILD == 2
// The swap-pair table of the generic build, built by this build.
int32_t* spFftBuildBitRevTable_Ssse3(int L, int32_t* table) {
    if (L < 2) return table;
    const int32_t m = int32_t{1} << (L - 2);
    int32_t front = 0;
    int32_t back = m - 1;
    int32_t r = 0;
    for (int32_t k = 1; k < m; ++k) {
        r = sp::SP_NS::fftNextReversed(r, m);
        if (k < r) {
            table[front] = 4 * k;
            table[front + 1] = 4 * r;
            front += 2;
        } else if (k == r) {
            table[back--] = 4 * k;
        }
    }
    table[front] = 0;
    table[m] = 0;
    return sp::SP_NS::fftAlignUp32(table + m + 1);
}
#define SP_FFT_PAIR_TABLE spFftBuildBitRevTable_Ssse3
#else
#define SP_FFT_PAIR_TABLE spFftBuildBitRevTable_Gen
#endif

#if SP_BUILD != 3
// Tiled table for 2^L points, tile exponent b: the coarse part (entry i the
// point offset rev_(L-2b)(i) 2^b of the tile paired with tile i), then the
// swap-pair table of one 2^(2b)-point tile.
int32_t* SP_NAME(spFftBuildBitRevTableLarge)(int L, int b, int32_t* table) {
    const int32_t c = int32_t{1} << (L - 2 * b);
    int32_t r = 0;
    table[0] = 0;
    for (int32_t i = 1; i < c; ++i) {
        r = sp::SP_NS::fftNextReversed(r, c);
        table[i] = r << b;
    }
    return SP_FFT_PAIR_TABLE(2 * b, table + c);
}
#endif
#undef SP_FFT_PAIR_TABLE

float* SP_NAME(spRealFftBuildRecombineFwd)(int order, const float* S, int sinOrder, float* out) {
    const int64_t quarter = (int64_t{1} << order) / 4;
    const int64_t st = int64_t{1} << (sinOrder - order);
    float* block = out;
    for (int64_t k0 = 1; k0 <= quarter; k0 += 4, block += 8) {
        for (int i = 0; i < 4; ++i) {
            const int64_t k = k0 + i;
            block[i] = S[(quarter - k) * st] * 0.5f;
            block[4 + i] = static_cast<float>(0.5 - static_cast<double>(S[k * st]) * 0.5);
        }
    }
    return sp::SP_NS::fftAlignUp32(out + (int64_t{1} << order) / 2);
}

float* SP_NAME(spFftBuildTwiddlesLarge)(SpFftSpec* spec, int L, const float* sinTable,
                                        int sinOrder, float* region) {
    return sp::SP_NS::fftBuildLarge<sp::SP_NS::FftSchedule>(spec, L, sinTable, sinOrder, region);
}

float* SP_NAME(spFftBuildTwiddlesRecursive)(SpFftSpec* spec, int k, const float* sinTable,
                                            int sinOrder, int depth, float* out) {
    return sp::SP_NS::fftBuildLevel<sp::SP_NS::FftSchedule>(spec, k, sinTable, sinOrder, depth,
                                                            out);
}

void SP_NAME(spFftGetSizeRecursive)(int k, int /*depth*/, int64_t* specSize, int64_t* initSize,
                                    int64_t* workSize) {
    sp::SP_NS::fftSizeLevel<sp::SP_NS::FftSchedule>(k, specSize, initSize, workSize);
}

void SP_NAME(spFftGetSizeLarge)(int L, int64_t* specSize, int64_t* initSize, int64_t* workSize) {
    sp::SP_NS::fftSizeLevel<sp::SP_NS::FftSchedule>(L, specSize, initSize, workSize);
    if (L >= sp::SP_NS::FftSchedule::kTiledFrom) *workSize = sp::SP_NS::fftMax(*workSize, 65536);
}

// The generic computed sine table, built by this build: the same constant,
// the same C-runtime sin and cos and the same split at N/8.
float* SP_NAME(spFftBuildSinTable)(int order, float* table) {
    const int64_t N = int64_t{1} << order;
    const double h = 6.283185307179586 / static_cast<double>(N);
    for (int64_t j = 0; j <= N / 8; ++j) {
        table[j] = static_cast<float>(__builtin_sin(static_cast<double>(j) * h));
    }
    for (int64_t j = N / 8 + 1; j <= N / 4; ++j) {
        table[j] = static_cast<float>(__builtin_cos(static_cast<double>(N / 4 - j) * h));
    }
    return sp::SP_NS::fftAlignUp32(table + N / 4 + 1);
}

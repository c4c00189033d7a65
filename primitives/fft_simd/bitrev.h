// Bit-reversal kernels of the CPU builds, written once over the element
// size and compiled once per build after sp_build.h.
//
// n = 2^L elements; position i receives the element at rev_L(i). Three
// families, by the table they read (formats in sp_fft_simd.h):
//   pair kernels    swap-pair table: for each pair (4k, 4k') four
//                   exchanges (or eight copies) between the element groups
//                   2k, 2k + 1, h + 2k, h + 2k + 1 (h = n/2); then k = 0
//                   and every self-reversed k;
//   block kernels   index list: 4 x 4 transposes of 4-element blocks taken
//                   from the four quarters, block m paired with
//                   m' = entry m / 8 = rev_(L-4)(m);
//   large reversal  64 x 64-point tiles moved through the 64 KiB work area
//                   and permuted there by the pair kernel.
// Every element moves as a whole, so the results do not depend on the
// pointers' alignment; the kernels check nothing.
#pragma once

namespace sp {
namespace SP_NS {

// A moved element of E bytes.
template <int E>
struct BitRevElem {
    uint8_t b[E];
};
template <int E>
static inline BitRevElem<E> brLoad(const void* base, int64_t i) {
    BitRevElem<E> e;
    __builtin_memcpy(&e, static_cast<const uint8_t*>(base) + i * E, E);
    return e;
}
template <int E>
static inline void brStore(void* base, int64_t i, const BitRevElem<E>& e) {
    __builtin_memcpy(static_cast<uint8_t*>(base) + i * E, &e, E);
}
template <int E>
static inline void brSwap(void* base, int64_t i, int64_t j) {
    const BitRevElem<E> a = brLoad<E>(base, i), b = brLoad<E>(base, j);
    brStore<E>(base, i, b);
    brStore<E>(base, j, a);
}
template <int E>
static inline void brMove(const void* src, int64_t from, void* dst, int64_t to) {
    brStore<E>(dst, to, brLoad<E>(src, from));
}

// ---- Pair kernels ---------------------------------------------------------

template <int E>
static void bitRevPairsInPlace(void* data, int n, const int32_t* table) {
    if (n < 4) return;
    const int64_t h = n / 2;
    int pos = 0;
    for (; table[pos] != 0; pos += 2) {
        const int64_t a = table[pos] / 2, b = table[pos + 1] / 2;  // 2k, 2k'
        brSwap<E>(data, a, b);
        brSwap<E>(data, a + 1, h + b);
        brSwap<E>(data, h + a, b + 1);
        brSwap<E>(data, h + a + 1, h + b + 1);
    }
    for (int64_t a = 0;;) {
        brSwap<E>(data, a + 1, h + a);
        const int32_t next = table[++pos];
        if (next == 0) break;
        a = next / 2;
    }
}

template <int E>
static void bitRevPairsCopy(const void* src, void* dst, int n, const int32_t* table) {
    if (n < 8) {
        brMove<E>(src, 0, dst, 0);
        brMove<E>(src, n - 1, dst, n - 1);
        if (n == 4) {
            brMove<E>(src, 2, dst, 1);
            brMove<E>(src, 1, dst, 2);
        }
        return;
    }
    const int64_t h = n / 2;
    int pos = 0;
    for (; table[pos] != 0; pos += 2) {
        const int64_t a = table[pos] / 2, b = table[pos + 1] / 2;
        brMove<E>(src, b, dst, a);
        brMove<E>(src, a, dst, b);
        brMove<E>(src, h + b, dst, a + 1);
        brMove<E>(src, h + a, dst, b + 1);
        brMove<E>(src, b + 1, dst, h + a);
        brMove<E>(src, a + 1, dst, h + b);
        brMove<E>(src, h + b + 1, dst, h + a + 1);
        brMove<E>(src, h + a + 1, dst, h + b + 1);
    }
    for (int64_t a = 0;;) {
        brMove<E>(src, a, dst, a);
        brMove<E>(src, h + a, dst, a + 1);
        brMove<E>(src, a + 1, dst, h + a);
        brMove<E>(src, h + a + 1, dst, h + a + 1);
        const int32_t next = table[++pos];
        if (next == 0) break;
        a = next / 2;
    }
}

// ---- Block kernels --------------------------------------------------------

static inline int64_t br2(int64_t x) { return ((x & 1) << 1) | (x >> 1); }

// The 16 elements of block m in the four quarters, new(q, l) = old(r2(l), r2(q)).
template <int E>
static inline void brLoadBlock(const void* base, int64_t Q, int64_t m, BitRevElem<E>* out) {
    for (int64_t q = 0; q < 4; ++q)
        for (int64_t l = 0; l < 4; ++l) out[4 * q + l] = brLoad<E>(base, br2(l) * Q + 4 * m + br2(q));
}
template <int E>
static inline void brStoreBlock(void* base, int64_t Q, int64_t m, const BitRevElem<E>* in) {
    for (int64_t q = 0; q < 4; ++q)
        for (int64_t l = 0; l < 4; ++l) brStore<E>(base, q * Q + 4 * m + l, in[4 * q + l]);
}

template <int E>
static void bitRevBlocksInPlace(void* data, int n, const int32_t* list) {
    if (n == 8) {
        brSwap<E>(data, 1, 4);
        brSwap<E>(data, 3, 6);
        return;
    }
    const int64_t Q = n / 4;
    BitRevElem<E> a[16], b[16];
    for (int64_t m = n / 16 - 1; m >= 0; --m) {
        const int64_t partner = list[m] / 8;
        if (partner < m) continue;
        brLoadBlock<E>(data, Q, m, a);
        if (partner == m) {
            brStoreBlock<E>(data, Q, m, a);
            continue;
        }
        brLoadBlock<E>(data, Q, partner, b);
        brStoreBlock<E>(data, Q, partner, a);
        brStoreBlock<E>(data, Q, m, b);
    }
}

// Above walkFrom elements the destination is filled in order (from the top
// when Descending), below it the source is read in order; the mapping is
// the same because the reversal is its own inverse.
template <int E, bool Descending>
static void bitRevBlocksCopy(const void* src, void* dst, int n, const int32_t* list, int walkFrom) {
    if (n == 8) {
        static const int kOrder[8] = {0, 4, 2, 6, 1, 5, 3, 7};
        BitRevElem<E> v[8];
        for (int i = 0; i < 8; ++i) v[i] = brLoad<E>(src, kOrder[i]);
        for (int i = 0; i < 8; ++i) brStore<E>(dst, i, v[i]);
        return;
    }
    const int64_t Q = n / 4, B = n / 16;
    BitRevElem<E> a[16];
    if (n <= walkFrom) {
        for (int64_t m = B - 1; m >= 0; --m) {
            brLoadBlock<E>(src, Q, m, a);
            brStoreBlock<E>(dst, Q, list[m] / 8, a);
        }
        return;
    }
    for (int64_t k = 0; k < B; ++k) {
        const int64_t j = Descending ? B - 1 - k : k;
        brLoadBlock<E>(src, Q, list[j] / 8, a);
        brStoreBlock<E>(dst, Q, j, a);
    }
}

// ---- Large in-place reversal ----------------------------------------------

// Tile m of the array (64 rows of 64 points, S apart) to or from 4096
// consecutive work points, one 512-byte run per row.
static inline void brTileToWork(const float* data, int64_t S, int64_t first, float* work) {
    for (int64_t r = 0; r < 64; ++r) __builtin_memcpy(work + 128 * r, data + 2 * (r * S + first), 512);
}
static inline void brWorkToTile(const float* work, float* data, int64_t S, int64_t first) {
    for (int64_t r = 0; r < 64; ++r) __builtin_memcpy(data + 2 * (r * S + first), work + 128 * r, 512);
}

static void bitRevLarge(float* data, int n, const int32_t* table, uint8_t* workBytes) {
    if (n < 4096) return;
    const int64_t S = n / 64, T = n / 4096;
    const int32_t* pairs = table + T;
    float* w0 = reinterpret_cast<float*>(workBytes);
    float* w1 = w0 + 2 * 4096;
    for (int64_t m = 0; m < T; ++m) {
        const int64_t e = table[m];
        if (e < 64 * m) continue;
        brTileToWork(data, S, 64 * m, w0);
        bitRevPairsInPlace<8>(w0, 4096, pairs);
        if (e == 64 * m) {
            brWorkToTile(w0, data, S, 64 * m);
            continue;
        }
        brTileToWork(data, S, e, w1);
        bitRevPairsInPlace<8>(w1, 4096, pairs);
        brWorkToTile(w0, data, S, e);
        brWorkToTile(w1, data, S, 64 * m);
    }
}

}  // namespace SP_NS
}  // namespace sp

// ---- The members under their build names ------------------------------------

#define SP_BR_PAIRS(name, T, E)                                             \
    void SP_NAME(name)(T * data, int n, const int32_t* table) {             \
        sp::SP_NS::bitRevPairsInPlace<E>(data, n, table);                   \
    }
SP_BR_PAIRS(spFftBitReversePairs32, float, 4)
SP_BR_PAIRS(spFftBitReversePairs32Alt, float, 4)
SP_BR_PAIRS(spFftBitReversePairs64, double, 8)
SP_BR_PAIRS(spFftBitReversePairs, float, 8)
SP_BR_PAIRS(spFftBitReversePairs64Alt, double, 8)
SP_BR_PAIRS(spFftBitReversePairs128, double, 16)
#undef SP_BR_PAIRS

#define SP_BR_PAIRS_COPY(name, T, E)                                        \
    void SP_NAME(name)(const T* src, T* dst, int n, const int32_t* table) { \
        sp::SP_NS::bitRevPairsCopy<E>(src, dst, n, table);                  \
    }
SP_BR_PAIRS_COPY(spFftBitReversePairsCopy32, float, 4)
SP_BR_PAIRS_COPY(spFftBitReversePairsCopy64, double, 8)
#undef SP_BR_PAIRS_COPY

#define SP_BR_BLOCKS(name, T, E)                                            \
    void SP_NAME(name)(T * data, int n, const int32_t* list) {              \
        sp::SP_NS::bitRevBlocksInPlace<E>(data, n, list);                   \
    }
SP_BR_BLOCKS(spFftBitReverseInPlaceF32, float, 4)
SP_BR_BLOCKS(spFftBitReverseInPlace, float, 8)
SP_BR_BLOCKS(spFftBitReverseInPlaceF64, double, 8)
SP_BR_BLOCKS(spFftBitReverseInPlaceComplexF64, double, 16)
#undef SP_BR_BLOCKS

#define SP_BR_BLOCKS_COPY(name, T, E, walkFrom, descending)                   \
    void SP_NAME(name)(const T* src, T* dst, int n, const int32_t* list) {    \
        sp::SP_NS::bitRevBlocksCopy<E, descending>(src, dst, n, list, walkFrom); \
    }
SP_BR_BLOCKS_COPY(spFftBitReverseCopyF32, float, 4, 131072, false)
SP_BR_BLOCKS_COPY(spFftBitReverseCopy, float, 8, 65536, false)
SP_BR_BLOCKS_COPY(spFftBitReverseCopyF64, double, 8, 65536, false)
SP_BR_BLOCKS_COPY(spFftBitReverseCopyComplexF64, double, 16, 65536, true)
#undef SP_BR_BLOCKS_COPY

void SP_NAME(spFftBitReverseInPlaceLarge)(float* data, int n, const int32_t* table, uint8_t* work) {
    sp::SP_NS::bitRevLarge(data, n, table, work);
}

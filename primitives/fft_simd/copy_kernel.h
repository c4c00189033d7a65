// The byte copy kernels of the CPU builds and the copies built on them,
// compiled once per build after sp_build.h.
//
// Two variants share the outline (first misaligned destination block,
// streaming decision, 64-byte block steps, non-temporal streaming copy):
//   CopyB1   build 1: small copy in 8-byte moves from the end, streaming
//            from 512 KiB when the count reaches half the cache share per
//            core, source read one byte per 128 ahead of the stores;
//   CopyB23  builds 2 and 3: small copy by the bits of the count, streaming
//            from 1 MiB against half the whole cache, read-ahead every 64
//            bytes, aligned data copied in the direction the page offsets
//            favour, and 4-byte aligned sources realigned with PALIGNR.
// Every vector store after the first destination block is 16-byte aligned.
// No byte outside the two ranges is read or written; the ranges must not
// overlap.
#pragma once

namespace sp {
namespace SP_NS {

using Byte = uint8_t;

static inline void copy16u(const Byte* s, Byte* d) { stu(d, ldu(s)); }
static inline void copy8(const Byte* s, Byte* d) { stU64(d, ldU64(s)); }

// Touches the source ahead of the non-temporal stores; the values are
// dropped.
static inline void touch(const Byte* p) { (void)*reinterpret_cast<const volatile Byte*>(p); }

// 64 bytes, aligned stores; the source loads aligned or not.
template <bool AlignedSrc>
static inline void blockStep(const Byte* s, Byte* d) {
    const __m128i a = AlignedSrc ? lda(s) : lddqu(s);
    const __m128i b = AlignedSrc ? lda(s + 16) : lddqu(s + 16);
    const __m128i c = AlignedSrc ? lda(s + 32) : lddqu(s + 32);
    const __m128i e = AlignedSrc ? lda(s + 48) : lddqu(s + 48);
    sta(d, a);
    sta(d + 16, b);
    sta(d + 32, c);
    sta(d + 48, e);
}

struct CopyB1 {
    static constexpr int64_t kStreamFrom = 524288;
    static constexpr int64_t kReadAhead = 128;
    static constexpr bool kPerCore = true;

    // 0 <= n <= 63.
    static void small(const Byte* s, Byte* d, int64_t n) {
        if (n < 8) {
            for (int64_t i = n - 1; i >= 0; --i) d[i] = s[i];
            return;
        }
        copy8(s + n - 8, d + n - 8);
        const int64_t lead = static_cast<int64_t>((8 - (addr(d) & 7)) & 7);
        int64_t w = ((n - lead) / 8 - 1) * 8 + lead;  // highest whole aligned word
        for (; w >= lead; w -= 8) copy8(s + w, d + w);
        if (lead != 0 && n > 8) copy8(s, d);
    }
};

struct CopyB23 {
    static constexpr int64_t kStreamFrom = 1048576;
    static constexpr int64_t kReadAhead = 64;
    static constexpr bool kPerCore = false;

    static void small(const Byte* s, Byte* d, int64_t n) {
        int64_t at = 0;
        for (int bytes = 32; bytes >= 8; bytes /= 2) {
            if ((n & bytes) == 0) continue;
            for (int i = 0; i < bytes; i += 8) copy8(s + at + i, d + at + i);
            at += bytes;
        }
        if (n & 4) {
            stU32(d + at, ldU32(s + at));
            at += 4;
        }
        for (int64_t i = n - 1; i >= at; --i) d[i] = s[i];
    }
};

#if SP_BUILD == 1
using CopyVariant = CopyB1;
#else
using CopyVariant = CopyB23;
#endif

// Non-temporal copy of n bytes into an aligned destination: the source is
// touched chunk by chunk before its 16-byte units are streamed; the fence
// orders the streamed stores before the ordinary ones of the tail.
template <typename V>
static void copyStreaming(const Byte* s, Byte* d, int64_t n) {
    constexpr int64_t kChunk = 262144;
    for (; n >= kChunk; s += kChunk, d += kChunk, n -= kChunk) {
        for (int64_t i = 0; i < kChunk; i += V::kReadAhead) touch(s + i);
        for (int64_t i = 0; i < kChunk; i += 16) stnt(d + i, ldu(s + i));
    }
    if (n > 0) {
        for (int64_t i = n - V::kReadAhead; i >= 0; i -= V::kReadAhead) touch(s + i);
        for (; n >= 16; s += 16, d += 16, n -= 16) stnt(d, ldu(s));
    }
    _mm_sfence();
    spCopyStreamedCopies.fetch_add(1, std::memory_order_relaxed);
    V::small(s, d, n);
}

template <typename V>
static bool copyShouldStream(int64_t n) {
    if (n < V::kStreamFrom) return false;
    const uint64_t share = spCopyCacheShare(V::kPerCore);
    return share != 0 && static_cast<uint64_t>(n) >= share / 2;
}

// Build 1: src and dst 16-byte aligned (or only dst, AlignedSrc false).
template <bool AlignedSrc>
static void copyBlocksB1(const Byte* s, Byte* d, int64_t n) {
    for (; n >= 64; s += 64, d += 64, n -= 64) blockStep<AlignedSrc>(s, d);
    if (AlignedSrc) {
        for (; n >= 16; s += 16, d += 16, n -= 16) sta(d, lda(s));
    }
    CopyB1::small(s, d, n);
}

#if SP_BUILD != 1
// One piece of 1 to 32 bytes (a power of two); 16 and 32 bytes as aligned
// vector moves.
static inline void copyPiece(const Byte* s, Byte* d, int bytes) {
    switch (bytes) {
        case 32: sta(d + 16, lda(s + 16)); [[fallthrough]];
        case 16: sta(d, lda(s)); break;
        case 8: copy8(s, d); break;
        case 4: stU32(d, ldU32(s)); break;
        case 2: stU16(d, ldU16(s)); break;
        default: *d = *s; break;
    }
}

// Builds 2 and 3: both aligned, n >= 64; the direction follows the page
// offsets. Forward: blocks, then the pieces of n mod 64 from 32 bytes down;
// backward: the pieces from 1 byte up, taken off the end, then blocks from
// the end to the front.
static void copyAlignedB23(const Byte* s, Byte* d, int64_t n) {
    if (spCopyRunsForward(addr(s), addr(d))) {
        for (; n >= 64; s += 64, d += 64, n -= 64) blockStep<true>(s, d);
        for (int bytes = 32; bytes >= 1; bytes /= 2) {
            if ((n & bytes) == 0) continue;
            copyPiece(s, d, bytes);
            s += bytes;
            d += bytes;
        }
        return;
    }
    const Byte* se = s + n;
    Byte* de = d + n;
    for (int bytes = 1; bytes <= 32; bytes *= 2) {
        if ((n & bytes) == 0) continue;
        se -= bytes;
        de -= bytes;
        copyPiece(se, de, bytes);
    }
    while (de > d) {
        se -= 64;
        de -= 64;
        blockStep<true>(se, de);
    }
}

// Four aligned stores from five aligned loads at base, shifted by Shift.
template <int Shift>
static void realignSteps(const Byte*& s, Byte*& d, int64_t& n) {
    const Byte* base = s - Shift;
    __m128i lo = lda(base);
    for (; n >= 80; base += 64, s += 64, d += 64, n -= 64) {
        const __m128i b1 = lda(base + 16), b2 = lda(base + 32), b3 = lda(base + 48);
        const __m128i b4 = lda(base + 64);
        sta(d, _mm_alignr_epi8(b1, lo, Shift));
        sta(d + 16, _mm_alignr_epi8(b2, b1, Shift));
        sta(d + 32, _mm_alignr_epi8(b3, b2, Shift));
        sta(d + 48, _mm_alignr_epi8(b4, b3, Shift));
        lo = b4;
    }
}

// Destination aligned, source not.
static void copyMisalignedB23(const Byte* s, Byte* d, int64_t n) {
    if (spCopyRealigns(addr(s))) {
        sta(d, ldu(s));
        s += 16;
        d += 16;
        n -= 16;
        switch (addr(s) & 15) {
            case 4: realignSteps<4>(s, d, n); break;
            case 8: realignSteps<8>(s, d, n); break;
            default: realignSteps<12>(s, d, n); break;
        }
    }
    for (; n >= 64; s += 64, d += 64, n -= 64) blockStep<false>(s, d);
    CopyB23::small(s, d, n);
}
#endif

static void* copyKernel(const void* src, void* dst, int count) {
    using V = CopyVariant;
    const Byte* s = static_cast<const Byte*>(src);
    Byte* d = static_cast<Byte*>(dst);
    int64_t n = count;
    if (n < 64) {
        V::small(s, d, n);
        return dst;
    }
    bool decide = true;
    if (!aligned16(d)) {
        copy16u(s, d);
        const int64_t step = 16 - static_cast<int64_t>(addr(d) & 15);
        s += step;
        d += step;
        n -= step;
        if (n < 64) {
            V::small(s, d, n);
            return dst;
        }
        decide = !aligned16(s);
    }
    if (decide && copyShouldStream<V>(n)) {
        copyStreaming<V>(s, d, n);
        return dst;
    }
#if SP_BUILD == 1
    if (aligned16(s)) {
        copyBlocksB1<true>(s, d, n);
    } else {
        copyBlocksB1<false>(s, d, n);
    }
#else
    if (aligned16(s)) {
        copyAlignedB23(s, d, n);
    } else {
        copyMisalignedB23(s, d, n);
    }
#endif
    return dst;
}

}  // namespace SP_NS
}  // namespace sp

void* SP_NAME(spCopyKernel)(const void* src, void* dst, int count) {
    if (count == 0) return dst;
    return sp::SP_NS::copyKernel(src, dst, count);
}

SpStatus SP_NAME(spCopyU8)(const uint8_t* src, uint8_t* dst, int len) {
    if (src == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    if (len < 1) return SP_STS_SIZE;
    SP_NAME(spCopyKernel)(src, dst, len);
    return SP_STS_OK;
}

// A float count from 2^29 on would overflow the kernel's byte count.
SpStatus SP_NAME(spCopyF32)(const float* src, float* dst, int len) {
    if (src == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    if (len < 1 || len >= (1 << 29)) return SP_STS_SIZE;
    SP_NAME(spCopyKernel)(src, dst, len * 4);
    return SP_STS_OK;
}

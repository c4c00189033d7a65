// Upsampling (zero stuffing) and downsampling (decimation) of one CPU build:
// the generic bodies' checks and results, with kernels that move the
// samples as raw bits in 16-byte steps. Also the kernels for 16-bit, 8-byte
// and 16-byte elements, which no entry calls.
//
// Every kernel stays inside [src, src + count) and the outputs it owns:
// alignment heads stop when the count runs out, so a block of one to three
// samples at any offset writes exactly its own outputs. Factor 1 is the
// build's float copy.
#include "primitives/convert/sp_cpu.h"
#include "primitives/fft_simd/sp_fft_simd.h"

namespace sp {
namespace SP_NS {

constexpr int kUpsampleChunk = 4096;       // inputs per general-kernel call
constexpr int kDownsampleKernelMin = 48;   // shorter blocks (factor >= 3) stay scalar

static inline bool aligned4(const void* p) { return (addr(p) & 3) == 0; }
static inline bool aligned8(const void* p) { return (addr(p) & 7) == 0; }

// Byte pointer arithmetic on element arrays of any width.
static inline const uint8_t* bytesAt(const void* p, int64_t off) { return static_cast<const uint8_t*>(p) + off; }
static inline uint8_t* bytesAt(void* p, int64_t off) { return static_cast<uint8_t*>(p) + off; }

// The four checks of both entries, in their order, then the lengths the call
// cannot describe (the generic bodies refuse the same).
static SpStatus checkSampling(const float* src, int srcLen, const float* dst, const int* dstLen, int factor,
                              const int* phase) {
    if (src == nullptr || dst == nullptr || dstLen == nullptr || phase == nullptr) return SP_STS_NULL_PTR;
    if (srcLen <= 0) return SP_STS_SIZE;
    if (factor <= 0) return SP_STS_SAMPLE_FACTOR;
    if (*phase < 0 || *phase >= factor) return SP_STS_SAMPLE_PHASE;
    if (factor == 1 && srcLen >= (1 << 29)) return SP_STS_SIZE;
    return SP_STS_OK;
}

// ---- Float pairs of the factor-2 upsampler ---------------------------------
static inline void storePair(float* dst, uint32_t first, uint32_t second) {
    stU32(dst, first);
    stU32(dst + 1, second);
}

static void upsample2Pairs(const float* src, int count, float* dst, int phase) {
    for (int k = 0; k < count; ++k) {
        const uint32_t x = ldU32(src + k);
        storePair(dst + 2 * k, phase == 0 ? x : 0u, phase == 0 ? 0u : x);
    }
}

// Four pairs from four samples: (x0, 0, x1, 0) (x2, 0, x3, 0) for phase 0,
// (0, x0, 0, x1) (0, x2, 0, x3) for phase 1.
static inline void storeFourPairs(float* dst, __m128 x, int phase) {
    const __m128 z = _mm_setzero_ps();
    const __m128 lo = phase == 0 ? _mm_unpacklo_ps(x, z) : _mm_unpacklo_ps(z, x);
    const __m128 hi = phase == 0 ? _mm_unpackhi_ps(x, z) : _mm_unpackhi_ps(z, x);
    if (aligned16(dst)) {
        staPs(dst, lo);
        staPs(dst + 4, hi);
    } else {  // 8-byte aligned: two halves each
        _mm_storel_pi(reinterpret_cast<__m64*>(dst), lo);
        _mm_storeh_pi(reinterpret_cast<__m64*>(dst + 2), lo);
        _mm_storel_pi(reinterpret_cast<__m64*>(dst + 4), hi);
        _mm_storeh_pi(reinterpret_cast<__m64*>(dst + 6), hi);
    }
}

// dst 8-byte aligned: a head of single pairs (phase 0: to an 8-byte src,
// phase 1: to a 16-byte src), eight samples per step, then single pairs.
static void upsample2Aligned8(const float* src, int count, float* dst, int phase) {
    int k = 0;
    if (phase == 0) {
        if (!aligned8(src) && count > 0) {
            upsample2Pairs(src, 1, dst, 0);
            k = 1;
        }
        for (; k + 8 <= count; k += 8) {
            storeFourPairs(dst + 2 * k, lduPs(src + k), 0);
            storeFourPairs(dst + 2 * k + 8, lduPs(src + k + 4), 0);
        }
    } else {
        for (; k < count && !aligned16(src + k); ++k) upsample2Pairs(src + k, 1, dst + 2 * k, 1);
        for (; k + 8 <= count; k += 8) {
            storeFourPairs(dst + 2 * k, _mm_load_ps(src + k), 1);
            storeFourPairs(dst + 2 * k + 8, _mm_load_ps(src + k + 4), 1);
        }
    }
    upsample2Pairs(src + k, count - k, dst + 2 * k, phase);
}

// ---- Downsampling walk, shared by every width -------------------------------
// r counts the inputs left from the next kept one; the kernels finish with
// the generic result: dstLen outputs, new phase -r.
struct DownWalk {
    int64_t r;
    int64_t in;   // index of the next kept input
    int64_t out;  // outputs written
};

static inline bool downStart(DownWalk& w, int srcLen, int* dstLen, int* phase) {
    w.in = *phase;
    w.r = int64_t{srcLen} - *phase;
    w.out = 0;
    if (w.r > 0) return true;
    *phase = static_cast<int>(-w.r);
    *dstLen = 0;
    return false;
}

static inline void downFinish(const DownWalk& w, int* dstLen, int* phase) {
    *phase = static_cast<int>(-w.r);
    *dstLen = static_cast<int>(w.out);
}

// One element of `width` bytes from input w.in to output w.out.
static inline void downOne(DownWalk& w, const void* src, void* dst, int width, int factor) {
    __builtin_memcpy(bytesAt(dst, w.out * width), bytesAt(src, w.in * width), width);
    ++w.out;
    w.in += factor;
    w.r -= factor;
}

// Four gathered floats (or 32-bit units) from inputs in, in+f, in+2f, in+3f.
static inline __m128i gather4(const void* src, int64_t in, int64_t f, int width) {
    return _mm_set_epi32(static_cast<int>(ldU32(bytesAt(src, (in + 3 * f) * width))),
                         static_cast<int>(ldU32(bytesAt(src, (in + 2 * f) * width))),
                         static_cast<int>(ldU32(bytesAt(src, (in + f) * width))),
                         static_cast<int>(ldU32(bytesAt(src, in * width))));
}

}  // namespace SP_NS
}  // namespace sp

using namespace sp::SP_NS;

// ---- Float kernels the bodies call ------------------------------------------

void SP_NAME(spUpsampleKernel)(const float* src, int count, float* dst, int totalOut, int periodBytes, int phase) {
    int i = 0;
    if (aligned4(dst)) {
        for (; i < totalOut && !aligned16(dst + i); ++i) stU32(dst + i, 0u);
        const __m128i z = _mm_setzero_si128();
        for (; i + 16 <= totalOut; i += 16) {
            sta(dst + i, z);
            sta(dst + i + 4, z);
            sta(dst + i + 8, z);
            sta(dst + i + 12, z);
        }
    }
    for (; i < totalOut; ++i) stU32(dst + i, 0u);
    uint8_t* out = bytesAt(dst, int64_t{phase} * 4);
    int k = 0;
    for (; k + 4 <= count; k += 4, out += 4 * int64_t{periodBytes}) {
        stU32(out, ldU32(src + k));
        stU32(out + periodBytes, ldU32(src + k + 1));
        stU32(out + 2 * int64_t{periodBytes}, ldU32(src + k + 2));
        stU32(out + 3 * int64_t{periodBytes}, ldU32(src + k + 3));
    }
    for (; k < count; ++k, out += periodBytes) stU32(out, ldU32(src + k));
}

void SP_NAME(spUpsample2Kernel)(const float* src, int count, float* dst, int phase) {
    if (!aligned4(src) || !aligned4(dst)) {
        upsample2Pairs(src, count, dst, phase);
    } else if (aligned8(dst)) {
        upsample2Aligned8(src, count, dst, phase);
    } else {
        // dst 4 bytes past an 8-byte boundary: write the first and the last
        // output here, then the other phase's pairs from the second output.
        const int64_t last = 2 * int64_t{count} - 1;
        if (phase == 0) {
            stU32(dst, ldU32(src));
            stU32(dst + last, 0u);
            upsample2Aligned8(src + 1, count - 1, dst + 1, 1);
        } else {
            stU32(dst, 0u);
            stU32(dst + last, ldU32(src + count - 1));
            upsample2Aligned8(src, count - 1, dst + 1, 0);
        }
    }
}

void SP_NAME(spDownsampleKernel)(const float* src, int srcLen, float* dst, int* dstLen, int factor, int* phase) {
    DownWalk w;
    if (!downStart(w, srcLen, dstLen, phase)) return;
    while (w.r > 0 && !aligned16(dst + w.out)) downOne(w, src, dst, 4, factor);
    while (w.r >= 16 * int64_t{factor}) {
        for (int q = 0; q < 4; ++q) {
            sta(dst + w.out, gather4(src, w.in, factor, 4));
            w.out += 4;
            w.in += 4 * int64_t{factor};
        }
        w.r -= 16 * int64_t{factor};
    }
    while (w.r > 0) downOne(w, src, dst, 4, factor);
    downFinish(w, dstLen, phase);
}

void SP_NAME(spDownsample2Kernel)(const float* src, int srcLen, float* dst, int* dstLen, int* phase) {
    DownWalk w;
    if (!downStart(w, srcLen, dstLen, phase)) return;
    while (w.r > 0 && !aligned16(dst + w.out)) downOne(w, src, dst, 4, 2);
    for (; w.r >= 16; w.r -= 16, w.in += 16, w.out += 8) {
        const float* s = src + w.in;
        const __m128 a = lduPs(s), b = lduPs(s + 4), c = lduPs(s + 8), d = lduPs(s + 12);
        staPs(dst + w.out, _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
        staPs(dst + w.out + 4, _mm_shuffle_ps(c, d, _MM_SHUFFLE(2, 0, 2, 0)));
    }
    while (w.r > 0) downOne(w, src, dst, 4, 2);
    downFinish(w, dstLen, phase);
}

// ---- Bodies -----------------------------------------------------------------

SpStatus SP_NAME(spUpsampleF32)(const float* src, int srcLen, float* dst, int* dstLen, int factor, int* phase) {
    const SpStatus status = checkSampling(src, srcLen, dst, dstLen, factor, phase);
    if (status != SP_STS_OK) return status;
    const int64_t total = int64_t{srcLen} * factor;
    if (total > 0x7FFFFFFF) return SP_STS_SIZE;
    *dstLen = static_cast<int>(total);
    if (factor == 1) return SP_NAME(spCopyF32)(src, dst, srcLen);
    if (factor == 2) {
        SP_NAME(spUpsample2Kernel)(src, srcLen, dst, *phase);
        return SP_STS_OK;
    }
    int left = srcLen;
    while (left > kUpsampleChunk) {
        SP_NAME(spUpsampleKernel)(src, kUpsampleChunk, dst, kUpsampleChunk * factor, 4 * factor, *phase);
        src += kUpsampleChunk;
        dst += int64_t{kUpsampleChunk} * factor;
        left -= kUpsampleChunk;
    }
    SP_NAME(spUpsampleKernel)(src, left, dst, left * factor, 4 * factor, *phase);
    return SP_STS_OK;
}

SpStatus SP_NAME(spDownsampleF32)(const float* src, int srcLen, float* dst, int* dstLen, int factor, int* phase) {
    const SpStatus status = checkSampling(src, srcLen, dst, dstLen, factor, phase);
    if (status != SP_STS_OK) return status;
    if (factor == 1) {
        SP_NAME(spCopyF32)(src, dst, srcLen);
        *dstLen = srcLen;
        return SP_STS_OK;
    }
    if (factor == 2) {
        SP_NAME(spDownsample2Kernel)(src, srcLen, dst, dstLen, phase);
    } else if (srcLen >= kDownsampleKernelMin) {
        SP_NAME(spDownsampleKernel)(src, srcLen, dst, dstLen, factor, phase);
    } else {
        // The generic scalar loop; output i reads input p + i factor >= i.
        DownWalk w;
        if (!downStart(w, srcLen, dstLen, phase)) return SP_STS_OK;
        while (w.r > 0) downOne(w, src, dst, 4, factor);
        downFinish(w, dstLen, phase);
    }
    return SP_STS_OK;
}

// ---- Kernels for other element widths (no caller) ---------------------------

void SP_NAME(spUpsampleKernel64)(const void* src, int count, void* dst, int periodBytes, int phaseBytes) {
    uint8_t* out = static_cast<uint8_t*>(dst);
    int k = 0;
    if (periodBytes == 24) {  // factor 3: two inputs per step
        const __m128i z = _mm_setzero_si128();
        for (; k + 2 <= count; k += 2, out += 48) {
            stu(out, z);
            stu(out + 16, z);
            stu(out + 32, z);
            stU64(out + phaseBytes, ldU64(bytesAt(src, 8 * int64_t{k})));
            stU64(out + phaseBytes + 24, ldU64(bytesAt(src, 8 * int64_t{k} + 8)));
        }
    }
    for (; k < count; ++k, out += periodBytes) {
        for (int b = periodBytes - 8; b >= 0; b -= 8) stU64(out + b, 0u);
        stU64(out + phaseBytes, ldU64(bytesAt(src, 8 * int64_t{k})));
    }
}

// Pairs of `width`-byte elements (x, 0) or (0, x). Phase 1 stores the last
// element in the last slot and zeroes slot 0, then runs the phase-0 loop from
// slot 1 over the first count - 1 elements.
static void upsample2Wide(const void* src, int count, void* dst, int phase, int width) {
    uint8_t* out = static_cast<uint8_t*>(dst);
    const uint8_t* in = static_cast<const uint8_t*>(src);
    if (phase == 1) {
        __builtin_memcpy(out + (2 * int64_t{count} - 1) * width, in + (int64_t{count} - 1) * width, width);
        __builtin_memset(out, 0, width);
        out += width;
        --count;
    }
    const __m128i z = _mm_setzero_si128();
    int k = 0;
    if (width == 8 && aligned8(in) && aligned8(out)) {
        for (; k + 4 <= count; k += 4) {
            for (int q = 0; q < 4; ++q) {
                const __m128i x = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + 8 * (k + q)));
                if (aligned16(out)) sta(out + 16 * (k + q), x);
                else stu(out + 16 * (k + q), x);
            }
        }
    } else if (width == 16 && aligned16(in) && aligned16(out)) {
        for (; k + 4 <= count; k += 4) {
            for (int q = 0; q < 4; ++q) {
                sta(out + 32 * (k + q), lda(in + 16 * (k + q)));
                sta(out + 32 * (k + q) + 16, z);
            }
        }
    }
    for (; k < count; ++k) {
        // 32-bit word (8-byte elements) or 8-byte (16-byte elements) moves.
        for (int b = 0; b < width; b += 4) stU32(out + 2 * int64_t{k} * width + b, ldU32(in + int64_t{k} * width + b));
        for (int b = 0; b < width; b += 4) stU32(out + (2 * int64_t{k} + 1) * width + b, 0u);
    }
}

void SP_NAME(spUpsample2Kernel64)(const void* src, int count, void* dst, int phase) {
    upsample2Wide(src, count, dst, phase, 8);
}

void SP_NAME(spUpsample2Kernel128)(const void* src, int count, void* dst, int phase) {
    upsample2Wide(src, count, dst, phase, 16);
}

void SP_NAME(spUpsampleKernel16)(const int16_t* src, int count, int16_t* dst, int totalOut, int periodBytes,
                                 int phase) {
    int i = 0;
    if ((addr(dst) & 1) == 0) {
        for (; i < totalOut && !aligned16(dst + i); ++i) stU16(dst + i, 0);
        const __m128i z = _mm_setzero_si128();
        for (; i + 32 <= totalOut; i += 32) {
            sta(dst + i, z);
            sta(dst + i + 8, z);
            sta(dst + i + 16, z);
            sta(dst + i + 24, z);
        }
    }
    for (; i < totalOut; ++i) stU16(dst + i, 0);
    uint8_t* out = bytesAt(dst, int64_t{phase} * 2);
    int k = 0;
    for (; k + 4 <= count; k += 4, out += 4 * int64_t{periodBytes}) {
        for (int q = 0; q < 4; ++q) stU16(out + q * int64_t{periodBytes}, ldU16(src + k + q));
    }
    for (; k < count; ++k, out += periodBytes) stU16(out, ldU16(src + k));
}

// One 32-bit unit per 16-bit input: the sample in the low (phase 0) or high
// (phase 1) half, zero in the other.
static inline void upsample2Unit16(const int16_t* src, int16_t* dst, int phase) {
    const uint32_t x = ldU16(src);
    stU32(dst, phase == 0 ? x : x << 16);
}

void SP_NAME(spUpsample2Kernel16)(const int16_t* src, int count, int16_t* dst, int phase) {
    int k = 0;
    if (aligned4(src) && aligned8(dst)) {
        if (phase == 0) {
            for (int h = 0; h < 2 && k < count && !aligned8(src + k); ++h, ++k) upsample2Unit16(src + k, dst + 2 * k, 0);
        } else {
            for (; k < count && !aligned16(src + k); ++k) upsample2Unit16(src + k, dst + 2 * k, 1);
        }
        const __m128i z = _mm_setzero_si128();
        for (; k + 16 <= count; k += 16) {
            const __m128i a = ldu(src + k), b = ldu(src + k + 8);
            const __m128i lo0 = phase == 0 ? _mm_unpacklo_epi16(a, z) : _mm_unpacklo_epi16(z, a);
            const __m128i hi0 = phase == 0 ? _mm_unpackhi_epi16(a, z) : _mm_unpackhi_epi16(z, a);
            const __m128i lo1 = phase == 0 ? _mm_unpacklo_epi16(b, z) : _mm_unpacklo_epi16(z, b);
            const __m128i hi1 = phase == 0 ? _mm_unpackhi_epi16(b, z) : _mm_unpackhi_epi16(z, b);
            stu(dst + 2 * k, lo0);
            stu(dst + 2 * k + 8, hi0);
            stu(dst + 2 * k + 16, lo1);
            stu(dst + 2 * k + 24, hi1);
        }
    }
    for (; k < count; ++k) upsample2Unit16(src + k, dst + 2 * k, phase);
}

// 16-byte elements, any factor: four per step while r >= 4 factor.
static void downsampleWide(const void* src, int srcLen, void* dst, int* dstLen, int factor, int* phase, int width) {
    DownWalk w;
    if (!downStart(w, srcLen, dstLen, phase)) return;
    while (w.r > 0 && width == 8 && !aligned16(bytesAt(dst, w.out * 8))) downOne(w, src, dst, width, factor);
    const bool aligned = aligned16(src) && aligned16(dst);
    for (; w.r >= 4 * int64_t{factor}; w.r -= 4 * int64_t{factor}) {
        for (int q = 0; q < 4; ++q, ++w.out, w.in += factor) {
            const uint8_t* s = bytesAt(src, w.in * width);
            uint8_t* d = bytesAt(dst, w.out * width);
            if (width == 16 && aligned) {
                sta(d, lda(s));
            } else {
                for (int b = 0; b < width; b += 8) stU64(d + b, ldU64(s + b));
            }
        }
    }
    while (w.r > 0) downOne(w, src, dst, width, factor);
    downFinish(w, dstLen, phase);
}

void SP_NAME(spDownsampleKernel128)(const void* src, int srcLen, void* dst, int* dstLen, int factor, int* phase) {
    downsampleWide(src, srcLen, dst, dstLen, factor, phase, 16);
}

void SP_NAME(spDownsample2Kernel128)(const void* src, int srcLen, void* dst, int* dstLen, int* phase) {
    downsampleWide(src, srcLen, dst, dstLen, 2, phase, 16);
}

void SP_NAME(spDownsampleKernel64)(const void* src, int srcLen, void* dst, int* dstLen, int factor, int* phase) {
    downsampleWide(src, srcLen, dst, dstLen, factor, phase, 8);
}

void SP_NAME(spDownsample2Kernel64)(const void* src, int srcLen, void* dst, int* dstLen, int* phase) {
    downsampleWide(src, srcLen, dst, dstLen, 2, phase, 8);
}

// 16-bit elements: a head to the destination's alignment (4 bytes for the
// general kernel, 8 for factor 2), eight outputs per step as 32-bit pairs,
// then single outputs.
static void downsample16(const int16_t* src, int srcLen, int16_t* dst, int* dstLen, int factor, int* phase,
                         uintptr_t headMask) {
    DownWalk w;
    if (!downStart(w, srcLen, dstLen, phase)) return;
    while (w.r > 0 && (addr(dst + w.out) & headMask) != 0 && (addr(dst + w.out) & 1) == 0)
        downOne(w, src, dst, 2, factor);
    if ((addr(dst + w.out) & 1) == 0) {
        for (; w.r >= 8 * int64_t{factor}; w.r -= 8 * int64_t{factor}) {
            for (int q = 0; q < 4; ++q, w.out += 2, w.in += 2 * int64_t{factor}) {
                const uint32_t lo = ldU16(src + w.in), hi = ldU16(src + w.in + factor);
                stU32(dst + w.out, lo | (hi << 16));
            }
        }
    }
    while (w.r > 0) downOne(w, src, dst, 2, factor);
    downFinish(w, dstLen, phase);
}

void SP_NAME(spDownsampleKernel16)(const int16_t* src, int srcLen, int16_t* dst, int* dstLen, int factor,
                                   int* phase) {
    downsample16(src, srcLen, dst, dstLen, factor, phase, 3);
}

void SP_NAME(spDownsample2Kernel16)(const int16_t* src, int srcLen, int16_t* dst, int* dstLen, int* phase) {
    downsample16(src, srcLen, dst, dstLen, 2, phase, 7);
}

// Generic build of interleave and deinterleave (table A rows 23, 24).
// Samples move as 32-bit words, bit for bit: NaN payloads and signed zeros
// pass unchanged. Frame offsets are computed in 64 bits (numCh * len may
// exceed 2^31 elements' worth of bytes). Unaligned buffers only produce the
// warning SP_STS_MISALIGNED after the copy.
#include <emmintrin.h>

#include "primitives/convert/sp_gen.h"
#include "primitives/convert/sp_mem.h"

namespace sp {
namespace gen {
namespace {

// Checks shared by both directions, in the order of the entry: pointer
// array and block, channel count, length, then every channel pointer (all
// before any write). Returns an error, or OK / MISALIGNED as the status the
// copy will end with.
template <typename Channel>
SpStatus checkChannels(const void* block, Channel* const* channels, int numCh, int len) {
    if (channels == nullptr || block == nullptr) return SP_STS_NULL_PTR;
    if (numCh < 1) return SP_STS_NUM_CHANNELS;
    if (len <= 0) return SP_STS_SIZE;
    SpStatus status = isAligned(block, 16) ? SP_STS_OK : SP_STS_MISALIGNED;
    for (int c = 0; c < numCh; ++c) {
        if (channels[c] == nullptr) return SP_STS_NULL_PTR;
        if (!isAligned(channels[c], 16)) status = SP_STS_MISALIGNED;
    }
    return status;
}

// Strided word copy: dst[j * dstStride] = src[j * srcStride], j < len.
void copyStrided(const char* src, size_t srcStride, char* dst, size_t dstStride, size_t len) {
    for (size_t j = 0; j < len; ++j) storeU32(dst + j * dstStride, loadU32(src + j * srcStride));
}

// Two channels: four frames per SSE2 step (unpack low/high words to join,
// even/odd shuffles to split), then single frames.
void interleave2(const char* c0, const char* c1, char* block, size_t len) {
    size_t j = 0;
    for (; j + 4 <= len; j += 4) {
        __m128 a = loadF32x4(c0 + 4 * j), b = loadF32x4(c1 + 4 * j);
        storeF32x4(block + 8 * j, _mm_unpacklo_ps(a, b));
        storeF32x4(block + 8 * j + 16, _mm_unpackhi_ps(a, b));
    }
    copyStrided(c0 + 4 * j, 4, block + 8 * j, 8, len - j);
    copyStrided(c1 + 4 * j, 4, block + 8 * j + 4, 8, len - j);
}

void deinterleave2(const char* block, char* c0, char* c1, size_t len) {
    size_t j = 0;
    for (; j + 4 <= len; j += 4) {
        __m128 lo = loadF32x4(block + 8 * j), hi = loadF32x4(block + 8 * j + 16);
        storeF32x4(c0 + 4 * j, _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0)));
        storeF32x4(c1 + 4 * j, _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1)));
    }
    copyStrided(block + 8 * j, 8, c0 + 4 * j, 4, len - j);
    copyStrided(block + 8 * j + 4, 8, c1 + 4 * j, 4, len - j);
}

}  // namespace
}  // namespace gen
}  // namespace sp

using namespace sp::gen;

SpStatus spInterleaveF32_Gen(const float* const* src, int numCh, int len, float* dst) {
    SpStatus status = checkChannels(dst, src, numCh, len);
    if (status < 0) return status;
    if (numCh == 2) {
        interleave2((const char*)src[0], (const char*)src[1], (char*)dst, (size_t)len);
        return status;
    }
    size_t stride = (size_t)numCh * 4;
    for (int c = 0; c < numCh; ++c)
        copyStrided((const char*)src[c], 4, (char*)dst + (size_t)c * 4, stride, (size_t)len);
    return status;
}

SpStatus spDeinterleaveF32_Gen(const float* src, int numCh, int len, float* const* dst) {
    SpStatus status = checkChannels(src, dst, numCh, len);
    if (status < 0) return status;
    if (numCh == 2) {
        deinterleave2((const char*)src, (char*)dst[0], (char*)dst[1], (size_t)len);
        return status;
    }
    size_t stride = (size_t)numCh * 4;
    for (int c = 0; c < numCh; ++c)
        copyStrided((const char*)src + (size_t)c * 4, stride, (char*)dst[c], 4, (size_t)len);
    return status;
}

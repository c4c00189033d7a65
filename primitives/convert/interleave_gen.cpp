// Generic build of interleave and deinterleave (table A rows 23, 24).
// Samples move as 32-bit words, bit for bit: NaN payloads and signed zeros
// pass unchanged. Frame offsets are computed in 64 bits (numCh * len may
// exceed 2^31 elements' worth of bytes). Unaligned buffers only produce the
// warning SP_STS_MISALIGNED after the copy.
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

}  // namespace
}  // namespace gen
}  // namespace sp

using namespace sp::gen;

SpStatus spInterleaveF32_Gen(const float* const* src, int numCh, int len, float* dst) {
    SpStatus status = checkChannels(dst, src, numCh, len);
    if (status < 0) return status;
    size_t stride = (size_t)numCh * 4;
    for (int c = 0; c < numCh; ++c)
        copyStrided((const char*)src[c], 4, (char*)dst + (size_t)c * 4, stride, (size_t)len);
    return status;
}

SpStatus spDeinterleaveF32_Gen(const float* src, int numCh, int len, float* const* dst) {
    SpStatus status = checkChannels(src, dst, numCh, len);
    if (status < 0) return status;
    size_t stride = (size_t)numCh * 4;
    for (int c = 0; c < numCh; ++c)
        copyStrided((const char*)src + (size_t)c * 4, stride, (char*)dst[c], 4, (size_t)len);
    return status;
}

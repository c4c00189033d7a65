// Integer-factor upsampling (zero stuffing) and downsampling (decimation)
// without filtering; the phase carried between calls makes a signal cut into
// blocks of any length give the result of one call. Samples move bit for
// bit; inserted zeros are +0.0.
//
// Upsampling writes srcLen x factor floats; downsampling at most
// ceil(srcLen / factor). Lengths beyond what the call can describe are
// refused with SP_STS_SIZE before dst, dstLen or phase is written: an
// output count srcLen x factor that does not fit an int32, and at factor 1
// a block of 2^29 or more samples, beyond the copy's 32-bit byte count.
#include "primitives/convert/sp_gen.h"
#include "primitives/filter/filter_util.h"
#include "primitives/filter/sp_filter_gen.h"

namespace {

// The four checks of both entries, in their order.
SpStatus checkSampling(const float* src, int srcLen, const float* dst, const int* dstLen,
                       int factor, const int* phase) {
    if (src == nullptr || dst == nullptr || dstLen == nullptr || phase == nullptr) {
        return SP_STS_NULL_PTR;
    }
    if (srcLen <= 0) return SP_STS_SIZE;
    if (factor <= 0) return SP_STS_SAMPLE_FACTOR;
    if (*phase < 0 || *phase >= factor) return SP_STS_SAMPLE_PHASE;
    if (factor == 1 && srcLen >= SP_MAX_BYTE_LEN) return SP_STS_SIZE;
    return SP_STS_OK;
}

}  // namespace

SpStatus spUpsampleF32_Gen(const float* src, int srcLen, float* dst, int* dstLen, int factor,
                           int* phase) {
    SpStatus status = checkSampling(src, srcLen, dst, dstLen, factor, phase);
    if (status != SP_STS_OK) return status;
    const int64_t total = int64_t{srcLen} * factor;
    if (total > sp::gen::kInt32Max) return SP_STS_SIZE;
    *dstLen = static_cast<int>(total);
    if (factor == 1) return spCopyF32_Gen(src, dst, srcLen);
    const int p = *phase;
    int64_t out = 0;
    for (int i = 0; i < p; ++i) dst[out++] = 0.0f;
    dst[out++] = src[0];
    for (int k = 1; k < srcLen; ++k) {
        for (int i = 1; i < factor; ++i) dst[out++] = 0.0f;
        dst[out++] = src[k];
    }
    for (int i = 0; i < factor - 1 - p; ++i) dst[out++] = 0.0f;
    return SP_STS_OK;
}

SpStatus spDownsampleF32_Gen(const float* src, int srcLen, float* dst, int* dstLen, int factor,
                             int* phase) {
    SpStatus status = checkSampling(src, srcLen, dst, dstLen, factor, phase);
    if (status != SP_STS_OK) return status;
    if (factor == 1) {
        spCopyF32_Gen(src, dst, srcLen);
        *dstLen = srcLen;
        return SP_STS_OK;
    }
    const int p = *phase;
    if (p >= srcLen) {
        *phase = p - srcLen;
        *dstLen = 0;
        return SP_STS_OK;
    }
    const int n = static_cast<int>((int64_t{srcLen} + factor - p - 1) / factor);
    // Output i comes from input p + i factor >= i: in place is safe.
    for (int i = 0; i < n; ++i) dst[i] = src[p + int64_t{i} * factor];
    *phase = static_cast<int>(p + int64_t{n} * factor - srcLen);
    *dstLen = n;
    return SP_STS_OK;
}

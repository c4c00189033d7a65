// The forward complex FFT of 2^order interleaved points (orders 0 to 27; 28
// to 30 need more than 2^31 - 1 bytes and are refused as bad orders): size
// query, builder in caller memory, create, destroy and the transform. It
// reuses the real FFT's tables, permutations and radix-4 transform, and from
// order 11 on the large transforms. There is no complex inverse.
#include "primitives/convert/sp_alloc.h"
#include "primitives/convert/sp_gen.h"
#include "primitives/fft/sp_fft_gen.h"

using sp::gen::alignUp32;
using sp::gen::roundDown32;

namespace {

using sp::gen::FftSizes;

FftSizes complexSizes(int order) {
    if (order <= 3) return {168, 0, 0};
    const int64_t N = int64_t{1} << order;
    const int64_t swapRoom = roundDown32(N + 35);
    if (order <= 10) return {roundDown32(8 * N + 39) + swapRoom + 192, 0, 0};
    int64_t C = 0, I = 0, W = 0;
    spFftGetSizeLarge_Gen(order, &C, &I, &W);
    return {C + swapRoom + 192, swapRoom + I + 32, W > 0 ? W + 32 : 0};
}

bool complexOrderValid(int order) {
    if (order < 0 || order > SP_FFT_MAX_ORDER) return false;
    return sp::gen::fftSizesFitInt32(complexSizes(order));
}

}  // namespace

SpStatus spComplexFftGetSize_Gen(int order, int flag, int /*hint*/, int* specSize,
                                 int* initBufSize, int* workBufSize) {
    if (!complexOrderValid(order)) return SP_STS_FFT_ORDER;
    return sp::gen::fftReportSizes(complexSizes(order), flag, specSize, initBufSize, workBufSize);
}

SpStatus spComplexFftInit_Gen(SpFftSpec** spec, int order, int flag, int hint, uint8_t* specMem,
                              uint8_t* initBuf) {
    if (spec == nullptr) return SP_STS_NULL_PTR;
    if (!complexOrderValid(order)) return SP_STS_FFT_ORDER;
    if (specMem == nullptr) return SP_STS_NULL_PTR;
    SpFftSpec* rec = sp::gen::fftInitHeader(specMem, order, flag, hint, SP_CTX_COMPLEX_FFT);
    if (rec == nullptr) return SP_STS_FFT_FLAG;
    if (order >= 4) {
        uint8_t* base = reinterpret_cast<uint8_t*>(rec);
        rec->bitRevTable = reinterpret_cast<int32_t*>(base + sizeof(SpFftSpec));
        if (order <= 10) {
            rec->radix4Twiddles =
                reinterpret_cast<float*>(spFftBuildBitRevTable_Gen(order, rec->bitRevTable));
            spFftBuildTwiddles_Gen(order, SP_SIN_TABLE_1024, 10, rec->radix4Twiddles);
        } else {
            if (initBuf == nullptr) return SP_STS_NULL_PTR;
            float* sinTable = alignUp32(reinterpret_cast<float*>(initBuf));
            float* scratch = spFftBuildSinTable_Gen(order, sinTable);
            const int64_t N = int64_t{1} << order;
            float* large = alignUp32(
                reinterpret_cast<float*>(base + sizeof(SpFftSpec) + roundDown32(N + 35)));
            spFftBuildTwiddlesLarge_Gen(rec, order, sinTable, order, large,
                                        reinterpret_cast<uint8_t*>(scratch));
        }
    }
    *spec = rec;
    return SP_STS_OK;
}

SpStatus spComplexFftCreate_Gen(SpFftSpec** spec, int order, int flag, int hint) {
    return sp::gen::fftCreate(spec, order, flag, hint, spComplexFftGetSize_Gen,
                              spComplexFftInit_Gen);
}

SpStatus spComplexFftDestroy_Gen(SpFftSpec* spec) {
    return sp::gen::fftDestroy(spec, SP_CTX_COMPLEX_FFT);
}

SpStatus spComplexFftForward_Gen(const float* src, float* dst, const SpFftSpec* spec,
                                 uint8_t* workBuf) {
    if (spec == nullptr) return SP_STS_NULL_PTR;
    if (spec->id != SP_CTX_COMPLEX_FFT) return SP_STS_CONTEXT_MISMATCH;
    if (src == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    if (spec->order <= 3) {
        const bool scaled = spec->scaleFwd == 1;
        const SpFftSmallKernel& k = SP_COMPLEX_FFT_SMALL_KERNELS[scaled ? 1 : 0][spec->order];
        if (scaled) {
            k.scaled(src, dst, spec->scale);
        } else {
            k.plain(src, dst);
        }
        return SP_STS_OK;
    }
    sp::gen::FftWork work;
    SpStatus st = sp::gen::fftAcquireWork(spec, workBuf, &work);
    if (st != SP_STS_OK) return st;
    const int n = 1 << spec->order;
    if (spec->order <= 10) {
        if (src == dst) {
            spFftBitReverseInPlace_Gen(dst, n, spec->bitRevTable);
        } else {
            spFftBitReverseCopy_Gen(src, dst, n, spec->bitRevTable);
        }
        spFftRadix4Fwd_Gen(dst, n, spec->radix4Twiddles);
        if (spec->scaleFwd == 1) spScaleF32InPlace_Gen(spec->scale, dst, 2 * n);
    } else {
        spFftFwdLarge_Gen(spec, src, dst, spec->order, work.buffer);
    }
    sp::gen::fftReleaseWork(&work);
    return SP_STS_OK;
}

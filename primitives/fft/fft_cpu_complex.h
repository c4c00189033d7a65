// The complex forward transform of one CPU build, written once and compiled
// once per build after fft_cpu_tables.h. Orders 0 to 3 take the build's
// small kernels; up to D - 1 (D the build's direct limit) the whole-
// transform kernel reads the source in bit-reversed order; at D the
// permutation runs first and the in-place kernel after it; above D the
// build's large driver does the transform and its scaling.
#pragma once

#include "primitives/convert/not_built.h"
#include "primitives/fft_simd/sp_fft_simd.h"

SpStatus SP_NAME(spComplexFftForward)(const float* src, float* dst, const SpFftSpec* spec,
                                      uint8_t* workBuf) {
    if (spec == nullptr) return SP_STS_NULL_PTR;
    if (spec->id != SP_CTX_COMPLEX_FFT) return SP_STS_CONTEXT_MISMATCH;
    if (src == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    const int order = spec->order;
    const bool scaled = spec->scaleFwd == 1;
    if (order <= 3) {
        const SpFftSmallKernel& k = SP_COMPLEX_FFT_SMALL_KERNELS[2 * SP_BUILD + (scaled ? 1 : 0)][order];
        if (scaled) {
            k.scaled(src, dst, spec->scale);
        } else {
            k.plain(src, dst);
        }
        return SP_STS_OK;
    }
    constexpr int D = sp::SP_NS::FftSchedule::kDirectLimit;
    const SpFftLargeDriver driver = SP_NAME(spFftFwdLargeRoutine).load(std::memory_order_relaxed);
    if (order > D && driver == nullptr) return SP_STS_NOT_BUILT;
    sp::gen::FftWork work;
    const SpStatus st = sp::gen::fftAcquireWork(spec, workBuf, &work);
    if (st != SP_STS_OK) return st;
    const int n = 1 << order;
    if (order > D) {
        driver(spec, src, dst, order, work.buffer);
    } else {
        if (order < D) {
            SP_NAME(spFftRadix4FwdBitRev)(src, dst, n, spec->radix4Twiddles, spec->bitRevTable, work.buffer);
        } else {
            if (src == dst) {
                SP_NAME(spFftBitReverseInPlace)(dst, n, spec->bitRevTable);
            } else {
                SP_NAME(spFftBitReverseCopy)(src, dst, n, spec->bitRevTable);
            }
            SP_NAME(spFftRadix4Fwd)(dst, n, spec->radix4Twiddles, work.buffer, 1);
        }
        if (scaled) SP_NAME(spScaleF32InPlace)(spec->scale, dst, 2 * n);
    }
    sp::gen::fftReleaseWork(&work);
    return SP_STS_OK;
}

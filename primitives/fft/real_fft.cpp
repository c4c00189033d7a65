// Real FFT transforms (forward into the packed spectrum order, inverse from
// it), their in-place entries, the product of packed spectra, and the work
// buffer shared with the complex transform.
//
// SpPackedSpectrum of N real samples: [X0, X(N/2), Re X1, Im X1, ...,
// Re X(N/2-1), Im X(N/2-1)]. Forward X[k] = sum x[t] e^(-2 pi i k t/N),
// inverse with e^(+2 pi i k t/N); each multiplied by scale when the flag
// says so. A real transform of N points runs as a complex transform of
// n = N/2 points over the pairs (x[2m], x[2m+1]) and a recombination.
//
// Every status is decided before dst is written. Orders up to 13 never
// allocate; a recursive-path spec record (order >= 14) without a caller
// work buffer allocates one for the call and frees it before returning.
#include "primitives/convert/sp_alloc.h"
#include "primitives/convert/sp_gen.h"
#include "primitives/fft/sp_fft_gen.h"

namespace {

// The checks shared by both directions, in their order.
SpStatus checkRealTransform(const float* src, const float* dst, const SpFftSpec* spec) {
    if (spec == nullptr) return SP_STS_NULL_PTR;
    if (spec->id != SP_CTX_REAL_FFT) return SP_STS_CONTEXT_MISMATCH;
    if (src == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    return SP_STS_OK;
}

// Orders 0 to 3: the small kernel of the given direction row.
void smallRealKernel(const float* src, float* dst, const SpFftSpec* spec, int row, bool scaled) {
    const SpFftSmallKernel& k = SP_REAL_FFT_SMALL_KERNELS[row + (scaled ? 1 : 0)][spec->order];
    if (scaled) {
        k.scaled(src, dst, spec->scale);
    } else {
        k.plain(src, dst);
    }
}

// One packed product pair, both operands loaded before the store.
inline void mulPair(const float* a, const float* b, float* d) {
    const float are = a[0], aim = a[1], bre = b[0], bim = b[1];
    d[0] = are * bre - aim * bim;
    d[1] = are * bim + aim * bre;
}

void mulPacked(const float* a, const float* b, float* d, int len) {
    d[0] = a[0] * b[0];
    int first = 1;
    if ((len & 1) == 0) {
        if (len >= 2) d[1] = a[1] * b[1];
        first = 2;
    }
    for (int i = first; i + 1 < len; i += 2) mulPair(a + i, b + i, d + i);
}

}  // namespace

SpStatus sp::gen::fftAcquireWork(const SpFftSpec* spec, uint8_t* workBuf, FftWork* work) {
    work->buffer = nullptr;
    work->owned = nullptr;
    if (spec->workSize <= 0) return SP_STS_OK;
    if (workBuf != nullptr) {
        work->buffer = reinterpret_cast<float*>(alignUp32(workBuf));
        return SP_STS_OK;
    }
    work->owned = spMallocAligned(spec->workSize);
    if (work->owned == nullptr) return SP_STS_MEM_ALLOC;
    work->buffer = static_cast<float*>(work->owned);
    return SP_STS_OK;
}

void sp::gen::fftReleaseWork(FftWork* work) {
    spFreeAligned(work->owned);
    work->owned = nullptr;
    work->buffer = nullptr;
}

SpStatus spRealFftForwardOutOfPlace_Gen(const float* src, float* dst, const SpFftSpec* spec,
                                        uint8_t* workBuf) {
    SpStatus st = checkRealTransform(src, dst, spec);
    if (st != SP_STS_OK) return st;
    if (spec->order <= 3) {
        smallRealKernel(src, dst, spec, 0, spec->scaleFwd == 1);
        return SP_STS_OK;
    }
    sp::gen::FftWork work;
    st = sp::gen::fftAcquireWork(spec, workBuf, &work);
    if (st != SP_STS_OK) return st;
    const int N = 1 << spec->order;
    const int n = N / 2;
    if (spec->order <= 11) {
        if (src == dst) {
            spFftBitReverseInPlace_Gen(dst, n, spec->bitRevTable);
        } else {
            spFftBitReverseCopy_Gen(src, dst, n, spec->bitRevTable);
        }
        spFftRadix4Fwd_Gen(dst, n, spec->radix4Twiddles);
        if (spec->scaleFwd == 1) spScaleF32InPlace_Gen(spec->scale, dst, N);
    } else {
        spFftFwdLarge_Gen(spec, src, dst, spec->order - 1, work.buffer);
    }
    const float re = dst[0];
    const float im = dst[1];
    dst[0] = re + im;
    dst[1] = re - im;
    spRealFftRecombineFwd_Gen(dst, n, 1, spec->recombineFwd);
    sp::gen::fftReleaseWork(&work);
    return SP_STS_OK;
}

SpStatus spRealFftInverseOutOfPlace_Gen(const float* src, float* dst, const SpFftSpec* spec,
                                        uint8_t* workBuf) {
    SpStatus st = checkRealTransform(src, dst, spec);
    if (st != SP_STS_OK) return st;
    if (spec->order <= 3) {
        smallRealKernel(src, dst, spec, 2, spec->scaleInv == 1);
        return SP_STS_OK;
    }
    sp::gen::FftWork work;
    st = sp::gen::fftAcquireWork(spec, workBuf, &work);
    if (st != SP_STS_OK) return st;
    const int N = 1 << spec->order;
    const int n = N / 2;
    const float x0 = src[0];
    const float xh = src[1];
    dst[0] = x0 + xh;
    dst[1] = x0 - xh;
    spRealFftRecombineInv_Gen(src, dst, n, -1, spec->recombineInv);
    if (spec->order <= 11) {
        spFftBitReverseInPlace_Gen(dst, n, spec->bitRevTable);
        spFftRadix4Inv_Gen(dst, n, spec->radix4Twiddles);
        if (spec->scaleInv == 1) spScaleF32InPlace_Gen(spec->scale, dst, N);
    } else {
        spFftInvLarge_Gen(spec, dst, dst, spec->order - 1, work.buffer);
    }
    sp::gen::fftReleaseWork(&work);
    return SP_STS_OK;
}

SpStatus spRealFftForward_Gen(float* srcDst, const SpFftSpec* spec, uint8_t* workBuf) {
    return spRealFftForwardOutOfPlace_Gen(srcDst, srcDst, spec, workBuf);
}

SpStatus spRealFftInverse_Gen(float* srcDst, const SpFftSpec* spec, uint8_t* workBuf) {
    return spRealFftInverseOutOfPlace_Gen(srcDst, srcDst, spec, workBuf);
}

SpStatus spMulPackedSpectraF32_Gen(const float* src1, const float* src2, float* dst, int len) {
    if (src1 == nullptr || src2 == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    mulPacked(src1, src2, dst, len);
    return SP_STS_OK;
}

SpStatus spMulPackedSpectraF32InPlace_Gen(const float* src, float* srcDst, int len) {
    if (src == nullptr || srcDst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    mulPacked(src, srcDst, srcDst, len);
    return SP_STS_OK;
}

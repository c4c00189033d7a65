// The real-FFT entry bodies of one CPU build, written once and compiled once
// per build after the build's kernels (copy, bit reversal, radix-4 engine,
// recombination): the small real kernels of orders 1 to 3, the out-of-place
// and in-place forward and inverse real transforms and the in-place product
// of packed spectra.
//
// A real sequence of N = 2^order floats is n = N/2 complex points (even
// samples real parts). The forward body transforms the n points, splits
// point 0 into X0 and X(N/2) and recombines the other bins through the
// record's table; the inverse body pre-combines and then transforms back.
#pragma once

#include "primitives/convert/not_built.h"
#include "primitives/fft_simd/sp_fft_simd.h"
#include "primitives/sp_records.h"

// ---- Small real kernels ------------------------------------------------------
// The generic build's operations in its order, so the results are its bits
// (2v as 2.0f * v, which is exact as v + v). Build 3 takes build 2's kernels
// of orders 1 and 2 and has its own of order 3.

namespace sp {
namespace SP_NS {

constexpr float kRealC = 0.70710677f;   // cos(pi/4), bits 0x3f3504f3
constexpr float kRealR2 = 1.4142135f;   // sqrt(2), bits 0x3fb504f3

static inline void realFwd3(float* dst, float e, float a, float f, float h, float d0, float d1, float d2,
                            float d3) {
    const float m = (d1 - d3) * kRealC;
    const float p = (d1 + d3) * (-kRealC);
    const float y0 = (e + a) + (f + h), y1 = (e + a) - (f + h);
    dst[0] = y0;
    dst[1] = y1;
    dst[2] = d0 + m;
    dst[3] = p - d2;
    dst[4] = e - a;
    dst[5] = h - f;
    dst[6] = d0 - m;
    dst[7] = d2 + p;
}

static inline void realInv3(float* dst, float s, float t, float u, float v, float w, float z, float r, float i) {
    const float o = (u - v) * kRealR2;
    const float q = (u + v) * (-kRealR2);
    dst[0] = (s + r) + 2.0f * w;
    dst[4] = (s + r) - 2.0f * w;
    dst[2] = (s - r) - 2.0f * z;
    dst[6] = (s - r) + 2.0f * z;
    dst[1] = (t - i) + o;
    dst[5] = (t - i) - o;
    dst[3] = (t + i) + q;
    dst[7] = (t + i) - q;
}

}  // namespace SP_NS
}  // namespace sp

#if SP_BUILD != 3
void SP_NAME(spRealFftOrder1)(const float* src, float* dst) {
    const float x0 = src[0], x1 = src[1];
    dst[0] = x0 + x1;
    dst[1] = x0 - x1;
}

void SP_NAME(spRealFftOrder1Scaled)(const float* src, float* dst, float scale) {
    const float x0 = src[0], x1 = src[1];
    dst[0] = (x0 + x1) * scale;
    dst[1] = (x0 - x1) * scale;
}

void SP_NAME(spRealFftFwdOrder2)(const float* src, float* dst) {
    const float x0 = src[0], x1 = src[1], x2 = src[2], x3 = src[3];
    dst[0] = (x0 + x2) + (x1 + x3);
    dst[1] = (x0 + x2) - (x1 + x3);
    dst[2] = x0 - x2;
    dst[3] = x3 - x1;
}

void SP_NAME(spRealFftFwdOrder2Scaled)(const float* src, float* dst, float scale) {
    const float x0 = src[0], x1 = src[1], x2 = src[2], x3 = src[3];
    const float b = (x0 + x2) * scale;
    const float r = (x1 + x3) * scale;
    dst[0] = b + r;
    dst[1] = b - r;
    dst[2] = (x0 - x2) * scale;
    dst[3] = (x3 - x1) * scale;
}

void SP_NAME(spRealFftInvOrder2)(const float* src, float* dst) {
    const float X0 = src[0], X2 = src[1], R1 = src[2], I1 = src[3];
    dst[0] = (X0 + X2) + 2.0f * R1;
    dst[1] = (X0 - X2) - 2.0f * I1;
    dst[2] = (X0 + X2) - 2.0f * R1;
    dst[3] = (X0 - X2) + 2.0f * I1;
}

void SP_NAME(spRealFftInvOrder2Scaled)(const float* src, float* dst, float scale) {
    const float s = (src[0] + src[1]) * scale;
    const float t = (src[0] - src[1]) * scale;
    const float r = (2.0f * src[2]) * scale;
    const float i = (2.0f * src[3]) * scale;
    dst[0] = s + r;
    dst[1] = t - i;
    dst[2] = s - r;
    dst[3] = t + i;
}
#endif

void SP_NAME(spRealFftFwdOrder3)(const float* src, float* dst) {
    const float* x = src;
    sp::SP_NS::realFwd3(dst, x[0] + x[4], x[2] + x[6], x[1] + x[5], x[3] + x[7], x[0] - x[4], x[1] - x[5],
                        x[2] - x[6], x[3] - x[7]);
}

void SP_NAME(spRealFftFwdOrder3Scaled)(const float* src, float* dst, float scale) {
    const float* x = src;
    const float sc = scale;
    sp::SP_NS::realFwd3(dst, (x[0] + x[4]) * sc, (x[2] + x[6]) * sc, (x[1] + x[5]) * sc, (x[3] + x[7]) * sc,
                        (x[0] - x[4]) * sc, (x[1] - x[5]) * sc, (x[2] - x[6]) * sc, (x[3] - x[7]) * sc);
}

void SP_NAME(spRealFftInvOrder3)(const float* src, float* dst) {
    const float* X = src;
    sp::SP_NS::realInv3(dst, X[0] + X[1], X[0] - X[1], X[2] - X[6], X[3] + X[7], X[2] + X[6], X[3] - X[7],
                        2.0f * X[4], 2.0f * X[5]);
}

void SP_NAME(spRealFftInvOrder3Scaled)(const float* src, float* dst, float scale) {
    const float* X = src;
    const float sc = scale;
    sp::SP_NS::realInv3(dst, (X[0] + X[1]) * sc, (X[0] - X[1]) * sc, (X[2] - X[6]) * sc, (X[3] + X[7]) * sc,
                        (X[2] + X[6]) * sc, (X[3] - X[7]) * sc, (2.0f * X[4]) * sc, (2.0f * X[5]) * sc);
}

// ---- Real transforms ---------------------------------------------------------

namespace sp {
namespace SP_NS {

// The caller's work pointer rounded up to 32 bytes, or a block of workSize
// bytes for the call; null when the record needs none.
struct RealWork {
    float* buffer = nullptr;
    void* owned = nullptr;
};

static inline SpStatus acquireWork(const SpFftSpec* spec, uint8_t* workBuf, RealWork* w) {
    if (spec->workSize <= 0) return SP_STS_OK;
    if (workBuf != nullptr) {
        w->buffer = reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(workBuf) + 31) & ~uintptr_t{31});
        return SP_STS_OK;
    }
    w->owned = spMallocAligned(spec->workSize);
    if (w->owned == nullptr) return SP_STS_MEM_ALLOC;
    w->buffer = static_cast<float*>(w->owned);
    return SP_STS_OK;
}

static inline SpStatus checkReal(const float* src, const float* dst, const SpFftSpec* spec) {
    if (spec == nullptr) return SP_STS_NULL_PTR;
    if (spec->id != SP_CTX_REAL_FFT) return SP_STS_CONTEXT_MISMATCH;
    if (src == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    return SP_STS_OK;
}

// n complex points src -> dst by the build's path for m = log2 n.
static inline void complexForward(const SpFftSpec* spec, const float* src, float* dst, int m, float* work,
                                  SpFftLargeDriver large) {
    const int n = 1 << m;
    if (m > FftSchedule::kDirectLimit) {
        large(spec, src, dst, m, work);
        return;
    }
    if (m < FftSchedule::kDirectLimit) {
        SP_NAME(spFftRadix4FwdBitRev)(src, dst, n, spec->radix4Twiddles, spec->bitRevTable, work);
    } else {
        if (src == dst) {
            SP_NAME(spFftBitReverseInPlace)(dst, n, spec->bitRevTable);
        } else {
            SP_NAME(spFftBitReverseCopy)(src, dst, n, spec->bitRevTable);
        }
        SP_NAME(spFftRadix4Fwd)(dst, n, spec->radix4Twiddles, work, 1);
    }
    if (spec->scaleFwd != 0) SP_NAME(spScaleF32InPlace)(spec->scale, dst, 2 * n);
}

static inline void complexInverseInPlace(const SpFftSpec* spec, float* data, int m, float* work,
                                         SpFftLargeDriver large) {
    const int n = 1 << m;
    if (m > FftSchedule::kDirectLimit) {
        large(spec, data, data, m, work);
        return;
    }
    if (m < FftSchedule::kDirectLimit) {
        SP_NAME(spFftRadix4InvBitRev)(data, data, n, spec->radix4Twiddles, spec->bitRevTable, work);
    } else {
        SP_NAME(spFftBitReverseInPlace)(data, n, spec->bitRevTable);
        SP_NAME(spFftRadix4Inv)(data, n, spec->radix4Twiddles, work, 1);
    }
    if (spec->scaleInv != 0) SP_NAME(spScaleF32InPlace)(spec->scale, data, 2 * n);
}

static inline void smallReal(const SpFftSpec* spec, const float* src, float* dst, bool inverse) {
    const bool scaled = (inverse ? spec->scaleInv : spec->scaleFwd) != 0;
    const SpFftSmallKernel& k = SP_REAL_FFT_SMALL_KERNELS[4 * SP_BUILD + (inverse ? 2 : 0) + (scaled ? 1 : 0)][spec->order];
    if (scaled) {
        k.scaled(src, dst, spec->scale);
    } else {
        k.plain(src, dst);
    }
}

}  // namespace SP_NS
}  // namespace sp

SpStatus SP_NAME(spRealFftForwardOutOfPlace)(const float* src, float* dst, const SpFftSpec* spec, uint8_t* workBuf) {
    using namespace sp::SP_NS;
    const SpStatus checked = checkReal(src, dst, spec);
    if (checked != SP_STS_OK) return checked;
    if (spec->order <= 3) {
        smallReal(spec, src, dst, false);
        return SP_STS_OK;
    }
    const int m = spec->order - 1;
    const SpFftLargeDriver large = SP_NAME(spFftFwdLargeRoutine).load(std::memory_order_relaxed);
    if (m > FftSchedule::kDirectLimit && large == nullptr) return SP_STS_NOT_BUILT;
    RealWork work;
    const SpStatus st = acquireWork(spec, workBuf, &work);
    if (st != SP_STS_OK) return st;
    complexForward(spec, src, dst, m, work.buffer, large);
    const float r = dst[0], i = dst[1];
    dst[0] = r + i;
    dst[1] = r - i;
    SP_NAME(spRealFftRecombineFwd)(dst, 1 << m, 1, spec->recombineFwd);
    spFreeAligned(work.owned);
    return SP_STS_OK;
}

SpStatus SP_NAME(spRealFftInverseOutOfPlace)(const float* src, float* dst, const SpFftSpec* spec, uint8_t* workBuf) {
    using namespace sp::SP_NS;
    const SpStatus checked = checkReal(src, dst, spec);
    if (checked != SP_STS_OK) return checked;
    if (spec->order <= 3) {
        smallReal(spec, src, dst, true);
        return SP_STS_OK;
    }
    const int m = spec->order - 1;
    const SpFftLargeDriver large = SP_NAME(spFftInvLargeRoutine).load(std::memory_order_relaxed);
    if (m > FftSchedule::kDirectLimit && large == nullptr) return SP_STS_NOT_BUILT;
    RealWork work;
    const SpStatus st = acquireWork(spec, workBuf, &work);
    if (st != SP_STS_OK) return st;
    const float x0 = src[0], x1 = src[1];
    SP_NAME(spRealFftRecombineInv)(src, dst, 1 << m, -1, spec->recombineInv);
    dst[0] = x0 + x1;
    dst[1] = x0 - x1;
    complexInverseInPlace(spec, dst, m, work.buffer, large);
    spFreeAligned(work.owned);
    return SP_STS_OK;
}

SpStatus SP_NAME(spRealFftForward)(float* srcDst, const SpFftSpec* spec, uint8_t* workBuf) {
    return SP_NAME(spRealFftForwardOutOfPlace)(srcDst, srcDst, spec, workBuf);
}

SpStatus SP_NAME(spRealFftInverse)(float* srcDst, const SpFftSpec* spec, uint8_t* workBuf) {
    return SP_NAME(spRealFftInverseOutOfPlace)(srcDst, srcDst, spec, workBuf);
}

// Element 0 real, element 1 real when len is even, the rest complex pairs;
// each pair reads both operands before its result is stored.
SpStatus SP_NAME(spMulPackedSpectraF32InPlace)(const float* src, float* srcDst, int len) {
    if (src == nullptr || srcDst == nullptr) return SP_STS_NULL_PTR;
    if (len < 1) return SP_STS_SIZE;
    srcDst[0] = srcDst[0] * src[0];
    int first = 1;
    if ((len & 1) == 0) {
        srcDst[1] = srcDst[1] * src[1];
        first = 2;
    }
    const unsigned pairs = static_cast<unsigned>((len - first) / 2);
    if (pairs > 0) SP_NAME(spMulComplexPairsF32InPlace)(src + first, srcDst + first, pairs);
    return SP_STS_OK;
}

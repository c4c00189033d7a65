// Single-rate FIR states ('FI01'): size query, build in a caller buffer,
// allocating build, destroy, and the filter with its direct and overlap-save
// paths.
//
// y[n] = sum over k of taps[k] x[n - k]. The state keeps the last L inputs,
// oldest first, in dlyLine, so consecutive blocks form one signal. Short
// blocks are filtered directly (sums from 0.0 in ascending tap order,
// oldest input first); a state of 64 or more taps also owns a real FFT of
// N = 2^(floor(log2 L) + 2) points and filters blocks of 512 or more
// samples by overlap-save, B = N - L + 1 outputs per block.
//
// Layout in a caller buffer (first 16-byte boundary): header (160), tapsRev
// ceil16(4L), dlyLine ceil16(12L + 16) (history plus up to L + 4 staged
// inputs), reserved 16, FFT spec memory, FFT init buffer, tapsSpectrum
// ceil16(4N), FFT work buffer, fftBlock ceil16(4N), scratch 16384. A created
// state is one spMallocAligned block without the spec memory and init
// buffer: the FFT spec is its own block, owned by the state.
#include <algorithm>

#include "primitives/convert/sp_alloc.h"
#include "primitives/convert/sp_gen.h"
#include "primitives/fft/sp_fft_gen.h"
#include "primitives/filter/filter_util.h"
#include "primitives/filter/sp_filter_gen.h"

using sp::gen::ceil16;

namespace {

constexpr int kFftMinTaps = 64;
constexpr int kFftMinBlock = 512;
constexpr int64_t kReservedSlot = 16;

// The FFT path a state of L taps gets: order and N (0 without one), with
// the sizes of spRealFftGetSize_Gen for (order, SP_FFT_DIV_INV_BY_N, 0).
struct FftPlan {
    int order = 0;
    int64_t N = 0;
    int64_t specSize = 0, initSize = 0, workSize = 0;
};

int fftOrderFor(int tapsLen) {
    int order = 1;
    while (order < 31 && tapsLen >= (int64_t{1} << order)) ++order;
    return order + 1;
}

FftPlan planFft(int tapsLen) {
    FftPlan plan;
    if (tapsLen < kFftMinTaps) return plan;
    plan.order = fftOrderFor(tapsLen);
    int spec = 0, init = 0, work = 0;
    if (spRealFftGetSize_Gen(plan.order, SP_FFT_DIV_INV_BY_N, 0, &spec, &init, &work) != SP_STS_OK) {
        return plan;  // beyond the FFT's orders: no FFT path
    }
    plan.N = int64_t{1} << plan.order;
    plan.specSize = spec;
    plan.initSize = init;
    plan.workSize = work;
    return plan;
}

bool tapsLenValid(int tapsLen) {
    return tapsLen > 0 && spFirComputeStateSize_Gen(tapsLen) <= sp::gen::kInt32Max;
}

// Header fields and areas common to both builds; the FFT fields are set by
// the caller. The 'FI03'-only fields are not written.
void setSingleRateHeader(SpFirState* st, const float* taps, int L, const float* dly, int32_t owns) {
    uint8_t* p = reinterpret_cast<uint8_t*>(st) + sizeof(SpFirState);
    st->id = SP_CTX_FIR;
    st->tapsLen = L;
    st->histLen = L;
    st->ownsMemory = owns;
    st->fftSpec = nullptr;
    st->phaseTable = nullptr;
    st->coefTable = nullptr;
    st->tapsRev = reinterpret_cast<float*>(p);
    st->dlyLine = reinterpret_cast<float*>(p + ceil16(4 * int64_t{L}));
    st->tapsSpectrum = nullptr;
    st->fftWorkBuf = nullptr;
    st->fftBlock = nullptr;
    st->fftLen = -1;
    for (int j = 0; j < L; ++j) st->tapsRev[j] = taps[L - 1 - j];
    if (dly != nullptr) {
        for (int i = 0; i < L; ++i) st->dlyLine[i] = dly[L - 1 - i];
    } else {
        spZeroF32_Gen(st->dlyLine, L);
    }
    st->stageLen = ((L + 3) & ~3) + 1;
}

// The end of dlyLine and the reserved slot: where the FFT areas begin.
uint8_t* afterReservedSlot(SpFirState* st) {
    return reinterpret_cast<uint8_t*>(st->dlyLine) + ceil16(12 * int64_t{st->tapsLen} + 16) +
           kReservedSlot;
}

// tapsSpectrum := FFT of the taps padded with zeros to N.
SpStatus transformTaps(SpFirState* st, const float* taps) {
    const int N = st->fftLen;
    spCopyF32_Gen(taps, st->tapsSpectrum, st->tapsLen);
    spZeroF32_Gen(st->tapsSpectrum + st->tapsLen, N - st->tapsLen);
    return spRealFftForwardOutOfPlace_Gen(st->tapsSpectrum, st->tapsSpectrum, st->fftSpec,
                                          st->fftWorkBuf);
}

// count outputs, output n = sum over j of tapsRev[j] w[n + j]; four at a
// time with four independent sums of the same order.
void directOutputs(const float* tr, int L, const float* w, float* dst, int64_t count) {
    int64_t n = 0;
    for (; n + 4 <= count; n += 4) {
        float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f;
        const float* x = w + n;
        for (int j = 0; j < L; ++j) {
            const float t = tr[j];
            s0 += t * x[j];
            s1 += t * x[j + 1];
            s2 += t * x[j + 2];
            s3 += t * x[j + 3];
        }
        dst[n] = s0;
        dst[n + 1] = s1;
        dst[n + 2] = s2;
        dst[n + 3] = s3;
    }
    for (; n < count; ++n) {
        float s = 0.0f;
        for (int j = 0; j < L; ++j) s += tr[j] * w[n + j];
        dst[n] = s;
    }
}

void filterDirect(const float* src, float* dst, int numIters, SpFirState* st) {
    const int L = st->tapsLen;
    float* dly = st->dlyLine;
    if (numIters <= st->stageLen) {
        spCopyF32_Gen(src, dly + L, numIters);
        directOutputs(st->tapsRev, L, dly + 1, dst, numIters);
        spMoveF32_Gen(dly + numIters, dly, L);
        return;
    }
    const int L4 = (L + 3) & ~3;
    spCopyF32_Gen(src, dly + L, st->stageLen);
    directOutputs(st->tapsRev, L, dly + 1, dst, L4);
    spCopyF32_Gen(src + (numIters - L), dly, L);
    directOutputs(st->tapsRev, L, src + (L4 - L + 1), dst + L4, numIters - L4);
}

// Product with the taps' spectrum and the inverse transform of fftBlock,
// whose forward transform the caller has done.
SpStatus convolveBlock(SpFirState* st) {
    float* blk = st->fftBlock;
    spMulPackedSpectraF32InPlace_Gen(st->tapsSpectrum, blk, st->fftLen);
    return spRealFftInverseOutOfPlace_Gen(blk, blk, st->fftSpec, st->fftWorkBuf);
}

SpStatus filterFft(const float* src, float* dst, int numIters, SpFirState* st) {
    const int L = st->tapsLen;
    const int N = st->fftLen;
    const int B = N - L + 1;
    float* blk = st->fftBlock;
    float* dly = st->dlyLine;
    spCopyF32_Gen(dly + 1, blk, L - 1);
    const int first = std::min(numIters, B);
    spCopyF32_Gen(src, blk + (L - 1), first);
    spCopyF32_Gen(numIters <= B ? blk + (numIters - 1) : src + (numIters - L), dly, L);
    spZeroF32_Gen(blk + (first + L - 1), B - first);  // length 0 writes nothing
    SpStatus s = spRealFftForwardOutOfPlace_Gen(blk, blk, st->fftSpec, st->fftWorkBuf);
    if (s == SP_STS_OK) s = convolveBlock(st);
    if (s != SP_STS_OK) return s;
    spCopyF32_Gen(blk + (L - 1), dst, first);
    for (int64_t done = B; done < numIters; done += B) {
        const float* window = src + (done - L + 1);
        const int64_t left = numIters - done;
        if (left >= N) {
            s = spRealFftForwardOutOfPlace_Gen(window, blk, st->fftSpec, st->fftWorkBuf);
        } else {
            const int count = static_cast<int>(std::min<int64_t>(left + L - 1, N));
            spCopyF32_Gen(window, blk, count);
            spZeroF32_Gen(blk + count, N - count);
            s = spRealFftForwardOutOfPlace_Gen(blk, blk, st->fftSpec, st->fftWorkBuf);
        }
        if (s == SP_STS_OK) s = convolveBlock(st);
        if (s != SP_STS_OK) return s;
        spCopyF32_Gen(blk + (L - 1), dst + done, static_cast<int>(std::min<int64_t>(left, B)));
    }
    return SP_STS_OK;
}

}  // namespace

int64_t spFirComputeStateSize_Gen(int tapsLen) {
    const int64_t L = tapsLen;
    const FftPlan plan = planFft(tapsLen);
    return ceil16(4 * L) + ceil16(12 * L + 16) + plan.specSize + plan.initSize + plan.workSize +
           2 * ceil16(4 * plan.N) + 16576;
}

SpStatus spFirStateSize_Gen(int tapsLen, int* size) {
    if (size == nullptr) return SP_STS_NULL_PTR;
    if (!tapsLenValid(tapsLen)) return SP_STS_FIR_LEN;
    *size = static_cast<int>(spFirComputeStateSize_Gen(tapsLen));
    return SP_STS_OK;
}

SpStatus spFirInit_Gen(SpFirState** state, const float* taps, int tapsLen, const float* dlyLine,
                       uint8_t* buf) {
    if (state == nullptr || taps == nullptr || buf == nullptr) return SP_STS_NULL_PTR;
    if (!tapsLenValid(tapsLen)) return SP_STS_FIR_LEN;
    return spFirInitState_Gen(state, taps, tapsLen, dlyLine, buf);
}

SpStatus spFirInitState_Gen(SpFirState** state, const float* taps, int tapsLen,
                            const float* dlyLine, uint8_t* buf) {
    const FftPlan plan = planFft(tapsLen);
    SpFirState* st = reinterpret_cast<SpFirState*>(sp::gen::alignUp16(buf));
    setSingleRateHeader(st, taps, tapsLen, dlyLine, 0);
    uint8_t* specMem = afterReservedSlot(st);
    uint8_t* initBuf = specMem + plan.specSize;
    uint8_t* spectrum = initBuf + plan.initSize;
    uint8_t* work = spectrum + ceil16(4 * plan.N);
    SpFftSpec* spec = nullptr;
    if (plan.N > 0 && spRealFftInit_Gen(&spec, plan.order, SP_FFT_DIV_INV_BY_N, 0, specMem,
                                        initBuf) == SP_STS_OK) {
        st->fftSpec = spec;
        st->fftLen = static_cast<int32_t>(plan.N);
        st->tapsSpectrum = reinterpret_cast<float*>(spectrum);
        st->fftWorkBuf = plan.workSize > 0 ? work : nullptr;
        st->fftBlock = reinterpret_cast<float*>(work + plan.workSize);
        if (transformTaps(st, taps) != SP_STS_OK) st->fftLen = -1;
    }
    *state = st;
    return SP_STS_OK;
}

SpStatus spFirCreate_Gen(SpFirState** state, const float* taps, int tapsLen,
                         const float* dlyLine) {
    if (state == nullptr || taps == nullptr) return SP_STS_NULL_PTR;
    if (!tapsLenValid(tapsLen)) return SP_STS_FIR_LEN;
    return spFirCreateState_Gen(state, taps, tapsLen, dlyLine);
}

SpStatus spFirCreateState_Gen(SpFirState** state, const float* taps, int tapsLen,
                              const float* dlyLine) {
    const int64_t L = tapsLen;
    SpFftSpec* spec = nullptr;
    int64_t N = 0;
    int bufSize = 0;
    if (tapsLen >= kFftMinTaps) {
        const int order = fftOrderFor(tapsLen);
        SpStatus s = spRealFftCreate_Gen(&spec, order, SP_FFT_DIV_INV_BY_N, 0);
        if (s != SP_STS_OK) return s;
        s = spRealFftGetBufferSize_Gen(spec, &bufSize);
        if (s != SP_STS_OK) {
            spRealFftDestroy_Gen(spec);
            return s;
        }
        N = int64_t{1} << order;
    }
    const int64_t size = ceil16(4 * L) + ceil16(12 * L + 16) + 2 * ceil16(4 * N) + bufSize + 16560;
    uint8_t* block = static_cast<uint8_t*>(spMallocAligned(static_cast<int>(size)));
    if (block == nullptr) {
        if (spec != nullptr) spRealFftDestroy_Gen(spec);
        return SP_STS_MEM_ALLOC;
    }
    SpFirState* st = reinterpret_cast<SpFirState*>(block);
    setSingleRateHeader(st, taps, tapsLen, dlyLine, 1);
    if (spec != nullptr) {
        uint8_t* spectrum = afterReservedSlot(st);
        uint8_t* work = spectrum + ceil16(4 * N);
        st->fftSpec = spec;
        st->fftLen = static_cast<int32_t>(N);
        st->tapsSpectrum = reinterpret_cast<float*>(spectrum);
        st->fftWorkBuf = bufSize > 0 ? work : nullptr;
        st->fftBlock = reinterpret_cast<float*>(work + bufSize);
        const SpStatus s = transformTaps(st, taps);
        if (s != SP_STS_OK) {
            spRealFftDestroy_Gen(spec);
            spFreeAligned(block);
            return s;
        }
    }
    *state = st;
    return SP_STS_OK;
}

SpStatus spFirDestroy_Gen(SpFirState* state) {
    if (state == nullptr) return SP_STS_NULL_PTR;
    if (state->id != SP_CTX_FIR && state->id != SP_CTX_FIR_MR) return SP_STS_CONTEXT_MISMATCH;
    if (state->ownsMemory == 1) {
        if (state->fftSpec != nullptr) spRealFftDestroy_Gen(state->fftSpec);
        spFreeAligned(state);
    }
    return SP_STS_OK;
}

SpStatus spFirFilterF32_Gen(const float* src, float* dst, int numIters, SpFirState* state) {
    if (state == nullptr || src == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    if (numIters <= 0) return SP_STS_SIZE;
    if (state->id == SP_CTX_FIR_MR) return spFirMultirateFilterF32_Gen(src, dst, numIters, state);
    if (state->id != SP_CTX_FIR) return SP_STS_CONTEXT_MISMATCH;
    if (numIters >= kFftMinBlock && state->fftLen > 0) return filterFft(src, dst, numIters, state);
    filterDirect(src, dst, numIters, state);
    return SP_STS_OK;
}

// Single-rate and multirate FIR states of one CPU build: size queries,
// builders in caller memory, the allocating create and the filter body,
// with the generic build's checks, schedule and delay-line evolution. The
// sums run in the block kernels of fir_kernels.inl, over the CPU layouts:
// 'FI01' keeps every tap four times in coefTable (after dlyLine in a caller
// buffer, after the reserved slot in a created block); indexed 'FI03'
// states keep one row of histLen coefficients per output of the cycle.
// A state of 64 or more taps also owns this build's real FFT and filters
// blocks of 512 or more samples by overlap-save, as the generic build does.
#include "primitives/convert/sp_alloc.h"
#include "primitives/convert/sp_cpu.h"
#include "primitives/fft/sp_fft_cpu.h"
#include "primitives/fft/sp_fft_gen.h"
#include "primitives/fft_simd/sp_fft_simd.h"
#include "primitives/filter/sp_filter_gen.h"

namespace sp {
namespace SP_NS {

// The routines this build's FIR bodies call.
struct FirRoutines {
    static SpStatus copy(const float* src, float* dst, int len) { return SP_NAME(spCopyF32)(src, dst, len); }
    static SpStatus move(const float* src, float* dst, int len) { return SP_NAME(spMoveF32)(src, dst, len); }
    static SpStatus zero(float* dst, int len) { return SP_NAME(spZeroF32)(dst, len); }
    static SpStatus fftSizes(int order, int* spec, int* init, int* work) {
        return SP_NAME(spRealFftGetSize)(order, SP_FFT_DIV_INV_BY_N, 0, spec, init, work);
    }
    static SpStatus fftInit(SpFftSpec** spec, int order, uint8_t* mem, uint8_t* init) {
        return SP_NAME(spRealFftInit)(spec, order, SP_FFT_DIV_INV_BY_N, 0, mem, init);
    }
    static SpStatus fftCreate(SpFftSpec** spec, int order) {
        return SP_NAME(spRealFftCreate)(spec, order, SP_FFT_DIV_INV_BY_N, 0);
    }
    // Build 1 asks the generic query, builds 2 and 3 build 2's copy of it.
    static SpStatus bufferSize(const SpFftSpec* spec, int* size) {
#if SP_BUILD == 1
        return spRealFftGetBufferSize_Gen(spec, size);
#else
        return spRealFftGetBufferSize_Ssse3(spec, size);
#endif
    }
    static SpStatus forward(float* srcDst, const SpFftSpec* spec, uint8_t* work) {
        return SP_NAME(spRealFftForward)(srcDst, spec, work);
    }
    static SpStatus forwardOut(const float* src, float* dst, const SpFftSpec* spec, uint8_t* work) {
        return SP_NAME(spRealFftForwardOutOfPlace)(src, dst, spec, work);
    }
    static SpStatus inverseOut(const float* src, float* dst, const SpFftSpec* spec, uint8_t* work) {
        return SP_NAME(spRealFftInverseOutOfPlace)(src, dst, spec, work);
    }
    static SpStatus product(const float* src, float* srcDst, int len) {
        return SP_NAME(spMulPackedSpectraF32InPlace)(src, srcDst, len);
    }
};

constexpr int kFftMinTaps = 64;
constexpr int kFftMinBlock = 512;
constexpr int64_t kInt32Max = 0x7FFFFFFF;
constexpr int64_t kReservedSlot = 16;
constexpr int kModeGroups = 1;
constexpr int kModeIndexedUp1 = 2;
constexpr int kModeIndexed = 3;

static inline int64_t ceil16(int64_t x) { return (x + 15) & ~int64_t{15}; }
static inline uint8_t* alignUp16(uint8_t* p) { return reinterpret_cast<uint8_t*>((addr(p) + 15) & ~uintptr_t{15}); }
static inline int64_t min64(int64_t a, int64_t b) { return a < b ? a : b; }

// The FFT a state of L taps sizes for: order and N (0 without one).
struct FftPlan {
    int order;
    int64_t N, specSize, initSize, workSize;
};

static int fftOrderFor(int tapsLen) {
    int order = 1;
    while (order < 31 && tapsLen >= (int64_t{1} << order)) ++order;
    return order + 1;
}

static FftPlan planFft(int tapsLen) {
    FftPlan plan{0, 0, 0, 0, 0};
    if (tapsLen < kFftMinTaps) return plan;
    const int order = fftOrderFor(tapsLen);
    int spec = 0, init = 0, work = 0;
    if (FirRoutines::fftSizes(order, &spec, &init, &work) != SP_STS_OK) return plan;
    plan.order = order;
    plan.N = int64_t{1} << order;
    plan.specSize = spec;
    plan.initSize = init;
    plan.workSize = work;
    return plan;
}

// Header, reversed taps, splatted taps and delay line of an 'FI01' state
// whose coefTable lies at `coef`; no FFT path.
static void setSingleRate(SpFirState* st, const float* taps, int L, const float* dly, int32_t owns, float* coef) {
    uint8_t* p = reinterpret_cast<uint8_t*>(st) + sizeof(SpFirState);
    st->id = SP_CTX_FIR;
    st->tapsLen = L;
    st->histLen = L;
    st->ownsMemory = owns;
    st->fftSpec = nullptr;
    st->phaseTable = nullptr;
    st->tapsRev = reinterpret_cast<float*>(p);
    st->dlyLine = reinterpret_cast<float*>(p + ceil16(4 * int64_t{L}));
    st->coefTable = coef;
    st->tapsSpectrum = nullptr;
    st->fftWorkBuf = nullptr;
    st->fftBlock = nullptr;
    st->fftLen = -1;
    for (int j = 0; j < L; ++j) st->tapsRev[j] = taps[L - 1 - j];
    for (int j = 0; j < L; ++j) staPs(coef + 4 * j, _mm_set1_ps(taps[j]));
    if (dly != nullptr) {
        for (int i = 0; i < L; ++i) st->dlyLine[i] = dly[L - 1 - i];
    } else {
        FirRoutines::zero(st->dlyLine, L);
    }
    st->stageLen = ((L + 3) & ~3) + 1;
}

static void filterDirect(const float* src, float* dst, int numIters, SpFirState* st) {
    const int L = st->tapsLen;
    const int S = st->stageLen;
    float* dly = st->dlyLine;
    if (numIters <= S) {
        FirRoutines::copy(src, dly + L, numIters);
        SP_NAME(spFirDirectKernelF32)(st->coefTable, dly + 1, dst, numIters, L);
        FirRoutines::move(dly + numIters, dly, L);
        return;
    }
    const int G = (L + 3) & ~3;
    FirRoutines::copy(src, dly + L, S);
    SP_NAME(spFirDirectKernelF32)(st->coefTable, dly + 1, dst, G, L);
    FirRoutines::copy(src + (numIters - L), dly, L);
    SP_NAME(spFirDirectKernelF32)(st->coefTable, src + (G - L + 1), dst + G, numIters - G, L);
}

// tapsSpectrum := forward FFT of the taps padded with zeros to N.
static SpStatus transformTaps(SpFirState* st, const float* taps) {
    FirRoutines::copy(taps, st->tapsSpectrum, st->tapsLen);
    FirRoutines::zero(st->tapsSpectrum + st->tapsLen, st->fftLen - st->tapsLen);
    return FirRoutines::forward(st->tapsSpectrum, st->fftSpec, st->fftWorkBuf);
}

// Product with the taps' spectrum and the inverse transform of fftBlock.
static SpStatus convolveBlock(SpFirState* st) {
    FirRoutines::product(st->tapsSpectrum, st->fftBlock, st->fftLen);
    return FirRoutines::inverseOut(st->fftBlock, st->fftBlock, st->fftSpec, st->fftWorkBuf);
}

// Overlap-save in blocks of B = N - L + 1 new inputs: the generic schedule
// with this build's transforms. A call of at most B inputs stores its new
// history before the transforms; a longer one after its first block.
static SpStatus filterFft(const float* src, float* dst, int numIters, SpFirState* st) {
    const int L = st->tapsLen;
    const int N = st->fftLen;
    const int B = N - L + 1;
    float* blk = st->fftBlock;
    float* dly = st->dlyLine;
    FirRoutines::copy(dly + 1, blk, L - 1);
    const int first = numIters < B ? numIters : B;
    FirRoutines::copy(src, blk + (L - 1), first);
    if (numIters <= B) FirRoutines::copy(blk + (numIters - 1), dly, L);
    FirRoutines::zero(blk + (first + L - 1), B - first);  // length 0 writes nothing
    SpStatus s = FirRoutines::forwardOut(blk, blk, st->fftSpec, st->fftWorkBuf);
    if (s >= SP_STS_OK) s = convolveBlock(st);
    if (s < SP_STS_OK) return s;
    FirRoutines::copy(blk + (L - 1), dst, first);
    if (numIters <= B) return SP_STS_OK;
    FirRoutines::copy(src + (numIters - L), dly, L);
    for (int64_t done = B; done < numIters; done += B) {
        const float* window = src + (done - L + 1);
        const int64_t left = numIters - done;
        if (left >= N) {
            s = FirRoutines::forwardOut(window, blk, st->fftSpec, st->fftWorkBuf);
        } else {
            const int count = static_cast<int>(min64(left + L - 1, N));
            FirRoutines::copy(window, blk, count);
            FirRoutines::zero(blk + count, N - count);
            s = FirRoutines::forwardOut(blk, blk, st->fftSpec, st->fftWorkBuf);
        }
        if (s == SP_STS_OK) s = convolveBlock(st);
        if (s != SP_STS_OK) return s;
        FirRoutines::copy(blk + (L - 1), dst + done, static_cast<int>(min64(left, B)));
    }
    return SP_STS_OK;
}

// ---- Multirate -------------------------------------------------------------

// One output of the tail: a single sum from 0.0 in tap order over the
// window x with coefficients c[0], c[stride], ..., at most `taps` terms.
static inline float tailSum(const float* c, int64_t stride, const float* x, int64_t taps) {
    float s = 0.0f;
    for (int64_t i = 0; i < taps; ++i) s += c[i * stride] * x[i];
    return s;
}

// The last `count` outputs of a call, one at a time, continuing the running
// index of the kernels; in modes 1 and 3 every sum stops at input `last`
// (counted from base).
static void multirateTail(const SpFirState* st, const float* base, float* dst, int64_t count, int64_t index,
                          int64_t last) {
    const int32_t* ph = st->phaseTable;
    const int64_t up = st->upFactor;
    if (st->mode == kModeIndexedUp1) {
        const int64_t stride = ph[1] - ph[0];
        for (int64_t i = 0; i < count; ++i)
            dst[i] = tailSum(st->coefTable, 1, base + ph[0] + index + i * stride, st->histLen);
        return;
    }
    if (st->mode == kModeGroups) {
        const int64_t K = st->phaseLen;
        int64_t j = 0;
        index += ph[0];
        for (int64_t i = 0; i < count; ++i) {
            if (i > 0 && i % 4 == 0) {
                if (++j == up) {
                    index += ph[up];
                    j = 0;
                }
                index += ph[j];
            }
            const int64_t taps = min64(K, last - index + 1);
            dst[i] = taps > 0 ? tailSum(st->coefTable + 4 * j * K + i % 4, 4, base + index, taps) : 0.0f;
        }
        return;
    }
    const int64_t H = st->histLen;
    int64_t r = 0;
    for (int64_t i = 0; i < count; ++i) {
        if (i > 0 && i % 4 == 0 && r == 4 * up) {
            index += ph[4 * up];
            r = 0;
        }
        const int64_t start = index + ph[r];
        const int64_t taps = min64(H, last - start + 1);
        dst[i] = taps > 0 ? tailSum(st->coefTable + r * H, 1, base + start, taps) : 0.0f;
        ++r;
    }
}

// `count` outputs (whole groups) by the mode's kernel from windows based at
// base; returns the running index after them.
static int multirateKernel(const SpFirState* st, const float* base, float* dst, int count, int index) {
    const int32_t* ph = st->phaseTable;
    if (st->mode == kModeGroups)
        return SP_NAME(spFirMultirateGroupsKernel)(st->coefTable, base, dst, count, ph, ph + st->upFactor, index,
                                                   st->phaseLen);
    if (st->mode == kModeIndexedUp1)
        return SP_NAME(spFirMultirateStrideKernel)(st->coefTable, base + ph[0], dst, count, index, st->histLen,
                                                   ph[1] - ph[0]);
    return SP_NAME(spFirMultirateIndexedKernel)(st->coefTable, base, dst, count, ph, ph + 4 * st->upFactor, index,
                                                st->histLen);
}

static SpStatus filterMultirate(const float* src, float* dst, int numIters, SpFirState* st) {
    if (st->mode != kModeGroups && st->mode != kModeIndexedUp1 && st->mode != kModeIndexed)
        return SP_STS_CONTEXT_MISMATCH;
    const int64_t D = int64_t{numIters} * st->downFactor;
    const int64_t T = int64_t{numIters} * st->upFactor;
    if (D > kInt32Max || T > kInt32Max) return SP_STS_SIZE;
    const int H = st->histLen;
    const int G = st->stageLen;
    const int64_t C = 4 * int64_t{st->upFactor};
    float* dly = st->dlyLine;
    const bool longCall = st->mode == kModeIndexedUp1 ? D >= G : D > G;
    if (!longCall) {
        FirRoutines::copy(src, dly + H, static_cast<int>(D));
        const int64_t grouped = T - T % C;
        const int index = multirateKernel(st, dly, dst, static_cast<int>(grouped), 0);
        multirateTail(st, dly, dst + grouped, T - grouped, index, H + D - 1);
        FirRoutines::move(dly + D, dly, H);
    } else {
        const int X = st->stagedOutLen;
        FirRoutines::copy(src, dly + H, G);
        int index = multirateKernel(st, dly, dst, X, 0);
        FirRoutines::move(src + (D - H), dly, H);
        const int64_t R = T - X;
        int64_t Q = R - R % C;
        if (Q > 0) Q -= C;
        const float* base = src - H;
        index = multirateKernel(st, base, dst + X, static_cast<int>(Q), index);
        multirateTail(st, base, dst + X + Q, R - Q, index, H + D - 1);
    }
    // Staged slots read by later short calls (with zero coefficients) hold
    // no value of this call, so delay lines stay identical across builds.
    FirRoutines::zero(dly + H, G + 1);
    return SP_STS_OK;
}

// Header and delay line of an 'FI03' state at st, tables after tapsRev.
static SpFirState* placeMultirate(uint8_t* buf, const float* taps, const SpFirMrGeometry& g, const float* dlyLine) {
    SpFirState* st = reinterpret_cast<SpFirState*>(alignUp16(buf));
    uint8_t* p = reinterpret_cast<uint8_t*>(st) + sizeof(SpFirState);
    st->id = SP_CTX_FIR_MR;
    st->tapsRev = reinterpret_cast<float*>(p);
    st->coefTable = reinterpret_cast<float*>(p + ceil16(4 * g.L));
    st->phaseTable = reinterpret_cast<int32_t*>(p + ceil16(4 * g.L) + 16 * g.M);
    st->dlyLine = reinterpret_cast<float*>(reinterpret_cast<uint8_t*>(st->phaseTable) + ceil16(4 * g.phaseEntries));
    st->tapsLen = static_cast<int32_t>(g.L);
    st->upFactor = static_cast<int32_t>(g.up);
    st->downFactor = static_cast<int32_t>(g.down);
    st->stageLen = static_cast<int32_t>(g.G);
    st->stagedOutLen = static_cast<int32_t>(g.X);
    st->fftSpec = nullptr;
    st->tapsSpectrum = nullptr;
    st->fftLen = -1;
    st->mode = g.mode;
    st->histLen = static_cast<int32_t>(g.H);
    st->ownsMemory = 0;
    for (int64_t j = 0; j < g.L; ++j) st->tapsRev[j] = taps[g.L - 1 - j];
    FirRoutines::zero(st->dlyLine, static_cast<int>(g.H + g.G + 1));
    if (dlyLine != nullptr)
        for (int64_t j = 0; j < g.H; ++j) st->dlyLine[j] = dlyLine[g.H - 1 - j];
    return st;
}

// The walk's two arrays of up entries, in the builder scratch area.
static int64_t* walkArea(SpFirState* st, const SpFirMrGeometry& g) {
    return reinterpret_cast<int64_t*>(reinterpret_cast<uint8_t*>(st->dlyLine) + ceil16(4 * (g.H + g.G + 1)));
}

}  // namespace SP_NS
}  // namespace sp

using namespace sp::SP_NS;

// ---- Sizes -------------------------------------------------------------------

int64_t SP_NAME(spFirComputeStateSize)(int tapsLen) {
    const int64_t L = tapsLen;
    const FftPlan plan = planFft(tapsLen);
    const int64_t A = ceil16(4 * L);
    return A + ceil16(12 * L + 16) + 4 * A + plan.specSize + plan.initSize + plan.workSize + 2 * ceil16(4 * plan.N) +
           16576;
}

SpStatus SP_NAME(spFirStateSize)(int tapsLen, int* size) {
    if (size == nullptr) return SP_STS_NULL_PTR;
    if (tapsLen <= 0 || SP_NAME(spFirComputeStateSize)(tapsLen) > kInt32Max) return SP_STS_FIR_LEN;
    *size = static_cast<int>(SP_NAME(spFirComputeStateSize)(tapsLen));
    return SP_STS_OK;
}

#if SP_BUILD == 2
// Builds 2 and 3 size the multirate layouts through these copies.
int64_t spFirMultirateGroupsSize_Ssse3(int tapsLen, int upFactor, int downFactor) {
    return spFirMultirateGroupsSize_Gen(tapsLen, upFactor, downFactor);
}
int64_t spFirMultirateIndexedSize_Ssse3(int tapsLen, int upFactor, int downFactor) {
    return spFirMultirateIndexedSize_Gen(tapsLen, upFactor, downFactor);
}
#endif

SpStatus SP_NAME(spFirMultirateStateSize)(int tapsLen, int upFactor, int downFactor, int* size) {
    if (size == nullptr) return SP_STS_NULL_PTR;
    if (tapsLen <= 0) return SP_STS_FIR_LEN;
    if (upFactor <= 0 || downFactor <= 0) return SP_STS_FIR_MR_FACTOR;
    if (upFactor == 1 && downFactor == 1) return SP_NAME(spFirStateSize)(tapsLen, size);
    const SpFirMrGeometry g = spFirMrGeometry_Gen(tapsLen, upFactor, downFactor);
    if (!spFirMrGeometryFits_Gen(g)) return SP_STS_FIR_MR_FACTOR;
#if SP_BUILD == 1
    const int64_t bytes = g.mode == kModeGroups ? spFirMultirateGroupsSize_Gen(tapsLen, upFactor, downFactor)
                                                : spFirMultirateIndexedSize_Gen(tapsLen, upFactor, downFactor);
#else
    const int64_t bytes = g.mode == kModeGroups ? spFirMultirateGroupsSize_Ssse3(tapsLen, upFactor, downFactor)
                                                : spFirMultirateIndexedSize_Ssse3(tapsLen, upFactor, downFactor);
#endif
    *size = static_cast<int>(bytes);
    return SP_STS_OK;
}

// ---- Builders ----------------------------------------------------------------

// Caller buffer: header, tapsRev, dlyLine, coefTable (4 A), reserved slot,
// FFT spec memory, its init buffer, tapsSpectrum, work buffer, fftBlock,
// scratch.
SpStatus SP_NAME(spFirInitState)(SpFirState** state, const float* taps, int tapsLen, const float* dlyLine,
                                 uint8_t* buf) {
    const int64_t L = tapsLen;
    const FftPlan plan = planFft(tapsLen);
    SpFirState* st = reinterpret_cast<SpFirState*>(alignUp16(buf));
    uint8_t* coef = reinterpret_cast<uint8_t*>(st) + sizeof(SpFirState) + ceil16(4 * L) + ceil16(12 * L + 16);
    setSingleRate(st, taps, tapsLen, dlyLine, 0, reinterpret_cast<float*>(coef));
    uint8_t* specMem = coef + 4 * ceil16(4 * L) + kReservedSlot;
    uint8_t* initBuf = specMem + plan.specSize;
    uint8_t* spectrum = initBuf + plan.initSize;
    uint8_t* work = spectrum + ceil16(4 * plan.N);
    SpFftSpec* spec = nullptr;
    if (plan.N > 0 && FirRoutines::fftInit(&spec, plan.order, specMem, initBuf) == SP_STS_OK) {
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

SpStatus SP_NAME(spFirInit)(SpFirState** state, const float* taps, int tapsLen, const float* dlyLine, uint8_t* buf) {
    if (state == nullptr || taps == nullptr || buf == nullptr) return SP_STS_NULL_PTR;
    if (tapsLen <= 0 || SP_NAME(spFirComputeStateSize)(tapsLen) > kInt32Max) return SP_STS_FIR_LEN;
    return SP_NAME(spFirInitState)(state, taps, tapsLen, dlyLine, buf);
}

// One block: header, tapsRev, dlyLine, reserved slot, coefTable (4 A),
// tapsSpectrum, work buffer, fftBlock, scratch; the FFT spec is its own
// block, owned by the state. *state is written only on success.
SpStatus SP_NAME(spFirCreateState)(SpFirState** state, const float* taps, int tapsLen, const float* dlyLine) {
    const int64_t L = tapsLen;
    const int64_t A = ceil16(4 * L);
    SpFftSpec* spec = nullptr;
    int64_t N = 0;
    int bufSize = 0;
    if (tapsLen >= kFftMinTaps) {
        const int order = fftOrderFor(tapsLen);
        SpStatus s = FirRoutines::fftCreate(&spec, order);
        if (s != SP_STS_OK) return s;
        s = FirRoutines::bufferSize(spec, &bufSize);
        if (s != SP_STS_OK) {
            spRealFftDestroy_Gen(spec);
            return s;
        }
        N = int64_t{1} << order;
    }
    const int64_t size = A + ceil16(12 * L + 16) + 4 * A + 2 * ceil16(4 * N) + bufSize + 16560;
    uint8_t* block = size <= kInt32Max ? static_cast<uint8_t*>(spMallocAligned(static_cast<int>(size))) : nullptr;
    if (block == nullptr) {
        if (spec != nullptr) spRealFftDestroy_Gen(spec);
        return SP_STS_MEM_ALLOC;
    }
    SpFirState* st = reinterpret_cast<SpFirState*>(block);
    uint8_t* coef = block + sizeof(SpFirState) + A + ceil16(12 * L + 16) + kReservedSlot;
    setSingleRate(st, taps, tapsLen, dlyLine, 1, reinterpret_cast<float*>(coef));
    if (spec != nullptr) {
        uint8_t* spectrum = coef + 4 * A;
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

SpStatus SP_NAME(spFirCreate)(SpFirState** state, const float* taps, int tapsLen, const float* dlyLine) {
    if (state == nullptr || taps == nullptr) return SP_STS_NULL_PTR;
    if (tapsLen <= 0 || SP_NAME(spFirComputeStateSize)(tapsLen) > kInt32Max) return SP_STS_FIR_LEN;
    return SP_NAME(spFirCreateState)(state, taps, tapsLen, dlyLine);
}

SpStatus SP_NAME(spFirMultirateBuildGroups)(SpFirState** state, const float* taps, const SpFirMrGeometry* g,
                                            int upPhase, int downPhase, const float* dlyLine, uint8_t* buf) {
    SpFirState* st = placeMultirate(buf, taps, *g, dlyLine);
    int64_t* A = walkArea(st, *g);
    int64_t* F = A + g->up;
    spFirMrPhaseWalk_Gen(*g, upPhase, downPhase, A, F);
    st->phaseLen = static_cast<int32_t>(g->K);
    float* coef = st->coefTable;
    for (int64_t j = 0; j < g->up; ++j)
        for (int64_t i = 0; i < g->K; ++i)
            for (int c = 0; c < 4; ++c) *coef++ = spFirMrColumn_Gen(taps, *g, c, F[j] + i * g->up);
    int32_t* ph = st->phaseTable;
    ph[0] = static_cast<int32_t>(A[0]);
    for (int64_t j = 1; j < g->up; ++j) ph[j] = static_cast<int32_t>(A[j] - A[j - 1]);
    ph[g->up] = static_cast<int32_t>(4 * g->down - A[g->up - 1]);
    *state = st;
    return SP_STS_OK;
}

// Rows in output order: row 4j + c holds the coefficients of output c of
// group j, oldest input first; the rest of the 4 M floats are zero.
SpStatus SP_NAME(spFirMultirateBuildIndexed)(SpFirState** state, const float* taps, const SpFirMrGeometry* g,
                                             int upPhase, int downPhase, const float* dlyLine, uint8_t* buf) {
    SpFirState* st = placeMultirate(buf, taps, *g, dlyLine);
    int64_t* A = walkArea(st, *g);
    int64_t* F = A + g->up;
    spFirMrPhaseWalk_Gen(*g, upPhase, downPhase, A, F);
    st->phaseLen = static_cast<int32_t>(g->H);
    FirRoutines::zero(st->coefTable, static_cast<int>(4 * g->M));
    int32_t* ph = st->phaseTable;
    int32_t previous = static_cast<int32_t>(A[0]);
    for (int64_t j = 0; j < g->up; ++j) {
        for (int c = 0; c < 4; ++c) {
            float* row = st->coefTable + (4 * j + c) * g->H;
            const int64_t spanStart = c * g->down;
            int64_t m = spanStart > F[j] ? (spanStart - F[j] + g->up - 1) / g->up : 0;
            const int64_t first = m;
            int64_t count = 0;
            for (int64_t p = F[j] + m * g->up; p < g->M && p < spanStart + g->L && count < g->H; p += g->up, ++m)
                row[count++] = spFirMrColumn_Gen(taps, *g, c, p);
            const int32_t entry = count > 0 ? static_cast<int32_t>(A[j] + first) : previous;
            ph[4 * j + c] = (j == 0 && c == 0) ? static_cast<int32_t>(A[0]) : entry;
            previous = ph[4 * j + c];
        }
    }
    ph[4 * g->up] = static_cast<int32_t>(4 * g->down);
    *state = st;
    return SP_STS_OK;
}

SpStatus SP_NAME(spFirMultirateInit)(SpFirState** state, const float* taps, int tapsLen, int upFactor, int upPhase,
                                     int downFactor, int downPhase, const float* dlyLine, uint8_t* buf) {
    if (state == nullptr || taps == nullptr || buf == nullptr) return SP_STS_NULL_PTR;
    if (tapsLen <= 0) return SP_STS_FIR_LEN;
    if (upFactor <= 0 || downFactor <= 0) return SP_STS_FIR_MR_FACTOR;
    const bool singleRate = upFactor == 1 && downFactor == 1;
    if (singleRate && SP_NAME(spFirComputeStateSize)(tapsLen) > kInt32Max) return SP_STS_FIR_LEN;
    const SpFirMrGeometry g = spFirMrGeometry_Gen(tapsLen, upFactor, downFactor);
    if (!singleRate && !spFirMrGeometryFits_Gen(g)) return SP_STS_FIR_MR_FACTOR;
    if (upPhase < 0 || upPhase >= upFactor || downPhase < 0 || downPhase >= downFactor) return SP_STS_FIR_MR_PHASE;
    if (singleRate) return SP_NAME(spFirInit)(state, taps, tapsLen, dlyLine, buf);
    if (g.mode == kModeGroups)
        return SP_NAME(spFirMultirateBuildGroups)(state, taps, &g, upPhase, downPhase, dlyLine, buf);
    return SP_NAME(spFirMultirateBuildIndexed)(state, taps, &g, upPhase, downPhase, dlyLine, buf);
}

// ---- Filter ------------------------------------------------------------------

SpStatus SP_NAME(spFirFilterF32)(const float* src, float* dst, int numIters, SpFirState* state) {
    if (state == nullptr || src == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    if (numIters <= 0) return SP_STS_SIZE;
    if (state->id == SP_CTX_FIR_MR) return filterMultirate(src, dst, numIters, state);
    if (state->id != SP_CTX_FIR) return SP_STS_CONTEXT_MISMATCH;
    if (numIters >= kFftMinBlock && state->fftLen > 0) return filterFft(src, dst, numIters, state);
    filterDirect(src, dst, numIters, state);
    return SP_STS_OK;
}

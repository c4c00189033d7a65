// The FFT layer of one CPU build: size queries, builders in caller memory,
// creates, the work-buffer size query and the header-clearing body, written
// once and compiled once per build (after fft_cpu_tables.h).
//
// A record keeps the generic header (id, order, flag handling, scale, hint,
// ownsMemory) and the build's own tables after it: the bit-reverse table at
// byte 136, then either the blocked twiddles of the whole transform (direct
// path, complex length up to 2^D) or the large-path region, then, for the
// real FFT, the two recombination tables. Every order from 4 on needs a
// work buffer. Sizes are computed in 64 bits; an order whose sizes do not
// fit an int32 (28 to 30) is refused as a bad order before anything is
// written, so no block smaller than its tables is allocated.
#pragma once

#include "primitives/fft/sp_fft_gen.h"

namespace sp {
namespace SP_NS {

using sp::gen::FftSizes;

// Spec, init and work sizes of a valid order (0..30); real selects the real
// FFT (complex length N/2) or the complex FFT (complex length N).
template <typename Schedule>
static FftSizes fftCpuSizes(int order, bool real) {
    if (order <= 3) return {168, 0, 0};
    const int64_t N = int64_t{1} << order;
    const int64_t n = real ? N / 2 : N;
    const int L = real ? order - 1 : order;
    const int64_t tables = fftRoundDown32(n + 35) + 192 +
                           (real ? 2 * fftRoundDown32(2 * N + 31) : 0);
    const int64_t sine = fftRoundDown32(N + 35) + 32;
    if (L <= Schedule::kDirectLimit) {
        return {fftRoundDown32(8 * n + 39) + tables, order <= 10 ? 0 : sine,
                fftRoundDown32(8 * n + 31) + 32};
    }
    int64_t C = 0, I = 0, W = 0;
    SP_NAME(spFftGetSizeLarge)(L, &C, &I, &W);
    return {C + tables, sine + I, W + 32};
}

template <typename Schedule>
static bool fftCpuOrderValid(int order, bool real) {
    return order >= 0 && order <= SP_FFT_MAX_ORDER &&
           sp::gen::fftSizesFitInt32(fftCpuSizes<Schedule>(order, real));
}

template <typename Schedule>
static SpStatus fftCpuGetSize(bool real, int order, int flag, int* specSize, int* initBufSize,
                              int* workBufSize) {
    if (!fftCpuOrderValid<Schedule>(order, real)) return SP_STS_FFT_ORDER;
    return sp::gen::fftReportSizes(fftCpuSizes<Schedule>(order, real), flag, specSize,
                                   initBufSize, workBufSize);
}

// Lays out the tables after the header: the direct path or the large-path
// region, then the recombination tables of a real record.
template <typename Schedule>
static void fftCpuBuildTables(SpFftSpec* rec, bool real, const float* S, int sinOrder) {
    const int order = rec->order;
    const int L = real ? order - 1 : order;
    const int64_t n = int64_t{1} << L;
    uint8_t* base = reinterpret_cast<uint8_t*>(rec);
    rec->bitRevTable = reinterpret_cast<int32_t*>(base + SP_FFT_SPEC_HEADER_SIZE);
    float* end;
    if (L <= Schedule::kDirectLimit) {
        rec->radix4Twiddles =
            reinterpret_cast<float*>(SP_FFT_B2(spFftBuildBitRevIndexList)(L, rec->bitRevTable));
        end = SP_FFT_B2(spFftBuildTwiddles)(L, S, sinOrder, rec->radix4Twiddles);
        rec->workSize = static_cast<int32_t>(fftRoundDown32(8 * n + 31));
    } else {
        float* region = fftAlignUp32(
            reinterpret_cast<float*>(base + SP_FFT_SPEC_HEADER_SIZE + fftRoundDown32(n + 35)));
        end = SP_NAME(spFftBuildTwiddlesLarge)(rec, L, S, sinOrder, region);
    }
    if (!real) return;
    rec->recombineFwd = end;
    rec->recombineInv = SP_NAME(spRealFftBuildRecombineFwd)(order, S, sinOrder, end);
    SP_FFT_B2(spRealFftBuildRecombineInv)(order, S, sinOrder, rec->recombineInv);
}

template <typename Schedule>
static SpStatus fftCpuInit(bool real, SpFftSpec** spec, int order, int flag, int hint,
                           uint8_t* specMem, uint8_t* initBuf) {
    if (spec == nullptr) return SP_STS_NULL_PTR;
    if (!fftCpuOrderValid<Schedule>(order, real)) return SP_STS_FFT_ORDER;
    if (specMem == nullptr) return SP_STS_NULL_PTR;
    SpFftSpec* rec = sp::gen::fftInitHeader(specMem, order, flag, hint,
                                            real ? SP_CTX_REAL_FFT : SP_CTX_COMPLEX_FFT,
                                            SP_NAME(spZeroU8));
    if (rec == nullptr) return SP_STS_FFT_FLAG;
    if (order > 3) {
        const float* S = SP_SIN_TABLE_1024;
        int sinOrder = 10;
        if (order > 10) {
            if (initBuf == nullptr) return SP_STS_NULL_PTR;
            float* computed = fftAlignUp32(reinterpret_cast<float*>(initBuf));
            SP_NAME(spFftBuildSinTable)(order, computed);
            S = computed;
            sinOrder = order;
        }
        fftCpuBuildTables<Schedule>(rec, real, S, sinOrder);
    }
    *spec = rec;
    return SP_STS_OK;
}

}  // namespace SP_NS
}  // namespace sp

SpStatus SP_NAME(spZeroU8)(uint8_t* dst, int len) {
    if (dst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    SP_NAME(spZeroKernel)(dst, len);
    return SP_STS_OK;
}

SpStatus SP_NAME(spRealFftGetSize)(int order, int flag, int /*hint*/, int* specSize,
                                   int* initBufSize, int* workBufSize) {
    return sp::SP_NS::fftCpuGetSize<sp::SP_NS::FftSchedule>(true, order, flag, specSize,
                                                            initBufSize, workBufSize);
}

SpStatus SP_NAME(spComplexFftGetSize)(int order, int flag, int /*hint*/, int* specSize,
                                      int* initBufSize, int* workBufSize) {
    return sp::SP_NS::fftCpuGetSize<sp::SP_NS::FftSchedule>(false, order, flag, specSize,
                                                            initBufSize, workBufSize);
}

SpStatus SP_NAME(spRealFftInit)(SpFftSpec** spec, int order, int flag, int hint,
                                uint8_t* specMem, uint8_t* initBuf) {
    return sp::SP_NS::fftCpuInit<sp::SP_NS::FftSchedule>(true, spec, order, flag, hint, specMem,
                                                         initBuf);
}

SpStatus SP_NAME(spComplexFftInit)(SpFftSpec** spec, int order, int flag, int hint,
                                   uint8_t* specMem, uint8_t* initBuf) {
    return sp::SP_NS::fftCpuInit<sp::SP_NS::FftSchedule>(false, spec, order, flag, hint,
                                                         specMem, initBuf);
}

SpStatus SP_NAME(spRealFftCreate)(SpFftSpec** spec, int order, int flag, int hint) {
    return sp::gen::fftCreate(spec, order, flag, hint, SP_NAME(spRealFftGetSize),
                              SP_NAME(spRealFftInit));
}

SpStatus SP_NAME(spComplexFftCreate)(SpFftSpec** spec, int order, int flag, int hint) {
    return sp::gen::fftCreate(spec, order, flag, hint, SP_NAME(spComplexFftGetSize),
                              SP_NAME(spComplexFftInit));
}

#if SP_BUILD == 2
// The generic buffer-size query, built by this build (build 1 uses the
// generic body, build 3 this one).
SpStatus spRealFftGetBufferSize_Ssse3(const SpFftSpec* spec, int* size) {
    if (size == nullptr || spec == nullptr) return SP_STS_NULL_PTR;
    if (spec->id != SP_CTX_REAL_FFT) return SP_STS_CONTEXT_MISMATCH;
    *size = spec->workSize > 0 ? spec->workSize + 32 : 0;
    return SP_STS_OK;
}
#endif

// The pair kernel does every complex pair; it reads both operands of a pair
// before storing, so dst may be src1 or src2.
SpStatus SP_NAME(spMulPackedSpectraF32)(const float* src1, const float* src2, float* dst,
                                        int len) {
    if (src1 == nullptr || src2 == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    dst[0] = src1[0] * src2[0];
    int first = 1;
    if ((len & 1) == 0) {
        dst[1] = src1[1] * src2[1];
        first = 2;
    }
    const unsigned pairs = static_cast<unsigned>((len - first) / 2);
    if (pairs > 0) SP_NAME(spMulComplexPairsF32)(src1 + first, src2 + first, dst + first, pairs);
    return SP_STS_OK;
}

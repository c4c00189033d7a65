// Real FFT spec records: the size query, the builder in caller memory, the
// create and destroy bodies, the work-buffer size query and the table
// builders shared with the complex FFT and the large transforms.
//
// A spec record is one block: the 136-byte header at the first 32-byte
// boundary of the caller's memory, the bit-reverse swap table at byte 136,
// then the twiddle tables (or the large tables) and the two recombination
// tables, each on a 32-byte boundary. All trigonometry happens here; the
// transforms only read the tables. Sizes are computed in 64 bits: an order
// whose sizes do not fit a positive int32 (28 to 30) is refused as a bad
// order before anything is written, so no block smaller than its tables is
// ever allocated.
#include <cmath>
#include <cstring>

#include "primitives/convert/sp_alloc.h"
#include "primitives/convert/sp_gen.h"
#include "primitives/fft/sp_fft_gen.h"

using sp::gen::alignUp32;
using sp::gen::roundDown32;

namespace {

using sp::gen::FftSizes;

// The three sizes of a real spec record of a valid order (0..30).
FftSizes realSizes(int order) {
    if (order <= 3) return {168, 0, 0};
    const int64_t N = int64_t{1} << order;
    const int64_t n = N / 2;
    const int64_t tail = roundDown32(n + 35) + 2 * roundDown32(2 * N + 31) + 192;
    if (order <= 11) {
        const int64_t init = order == 11 ? roundDown32(N + 35) + 32 : 0;
        return {roundDown32(8 * n + 39) + tail, init, 0};
    }
    int64_t C = 0, I = 0, W = 0;
    spFftGetSizeLarge_Gen(order - 1, &C, &I, &W);
    return {C + tail, roundDown32(N + 35) + I + 32, W > 0 ? W + 32 : 0};
}

// Orders the real FFT accepts: 0..30 and sizes that fit 32 bits.
bool realOrderValid(int order) {
    return order >= 0 && order <= SP_FFT_MAX_ORDER && sp::gen::fftSizesFitInt32(realSizes(order));
}

inline float negate(float x) { return 0.0f - x; }

}  // namespace

// ---- Shared header and create steps -----------------------------------------

bool sp::gen::fftSizesFitInt32(const FftSizes& s) {
    return s.spec <= SP_INT32_LIMIT && s.init <= SP_INT32_LIMIT && s.work <= SP_INT32_LIMIT;
}

SpStatus sp::gen::fftReportSizes(const FftSizes& s, int flag, int* specSize, int* initBufSize,
                                 int* workBufSize) {
    if (specSize == nullptr || initBufSize == nullptr || workBufSize == nullptr) {
        return SP_STS_NULL_PTR;
    }
    if (flag != SP_FFT_DIV_FWD_BY_N && flag != SP_FFT_DIV_INV_BY_N &&
        flag != SP_FFT_DIV_BY_SQRTN && flag != SP_FFT_NODIV_BY_ANY) {
        return SP_STS_FFT_FLAG;
    }
    *specSize = static_cast<int>(s.spec);
    *initBufSize = static_cast<int>(s.init);
    *workBufSize = static_cast<int>(s.work);
    return SP_STS_OK;
}

SpStatus sp::gen::fftDestroy(SpFftSpec* spec, int32_t id) {
    if (spec == nullptr) return SP_STS_NULL_PTR;
    if (spec->id != id) return SP_STS_CONTEXT_MISMATCH;
    spec->id = 0;
    if (spec->ownsMemory == 1) spFreeAligned(spec);
    return SP_STS_OK;
}

SpFftSpec* sp::gen::fftInitHeader(uint8_t* specMem, int order, int flag, int hint, int32_t id,
                                  FftZeroBody zeroHeader) {
    SpFftSpec* rec = reinterpret_cast<SpFftSpec*>(alignUp32(specMem));
    zeroHeader(reinterpret_cast<uint8_t*>(rec), static_cast<int>(sizeof(SpFftSpec)));
    rec->ownsMemory = 0;
    rec->order = order;
    rec->hint = hint;
    const float N = static_cast<float>(int64_t{1} << order);
    switch (flag) {
        case SP_FFT_DIV_FWD_BY_N:
            rec->scaleFwd = 1;
            rec->scale = 1.0f / N;
            break;
        case SP_FFT_DIV_INV_BY_N:
            rec->scaleInv = 1;
            rec->scale = 1.0f / N;
            break;
        case SP_FFT_DIV_BY_SQRTN:
            rec->scaleFwd = 1;
            rec->scaleInv = 1;
            rec->scale = static_cast<float>(1.0 / std::sqrt(static_cast<double>(N)));
            break;
        case SP_FFT_NODIV_BY_ANY:
            break;
        default:
            return nullptr;  // id stays 0
    }
    rec->id = id;
    return rec;
}

SpStatus sp::gen::fftCreate(SpFftSpec** spec, int order, int flag, int hint, FftSizeQuery query,
                            FftBuilder build) {
    if (spec == nullptr) return SP_STS_NULL_PTR;
    int specSize = 0, initSize = 0, workSize = 0;
    SpStatus st = query(order, flag, hint, &specSize, &initSize, &workSize);
    if (st != SP_STS_OK) return st;
    uint8_t* block = static_cast<uint8_t*>(spMallocAligned(specSize));
    if (block == nullptr) return SP_STS_MEM_ALLOC;
    uint8_t* init = nullptr;
    if (initSize > 0) {
        init = static_cast<uint8_t*>(spMallocAligned(initSize));
        if (init == nullptr) {
            spFreeAligned(block);
            return SP_STS_MEM_ALLOC;
        }
    }
    SpFftSpec* rec = nullptr;
    st = build(&rec, order, flag, hint, block, init);
    spFreeAligned(init);
    if (st < 0) {
        spFreeAligned(block);
        return st;
    }
    rec->ownsMemory = 1;
    *spec = rec;
    return SP_STS_OK;
}

// ---- Real spec record bodies ------------------------------------------------

SpStatus spRealFftGetSize_Gen(int order, int flag, int /*hint*/, int* specSize, int* initBufSize,
                              int* workBufSize) {
    if (!realOrderValid(order)) return SP_STS_FFT_ORDER;
    return sp::gen::fftReportSizes(realSizes(order), flag, specSize, initBufSize, workBufSize);
}

SpStatus spRealFftInit_Gen(SpFftSpec** spec, int order, int flag, int hint, uint8_t* specMem,
                           uint8_t* initBuf) {
    if (spec == nullptr) return SP_STS_NULL_PTR;
    if (!realOrderValid(order)) return SP_STS_FFT_ORDER;
    if (specMem == nullptr) return SP_STS_NULL_PTR;
    SpFftSpec* rec = sp::gen::fftInitHeader(specMem, order, flag, hint, SP_CTX_REAL_FFT);
    if (rec == nullptr) return SP_STS_FFT_FLAG;
    if (order <= 3) {
        *spec = rec;
        return SP_STS_OK;
    }
    const float* sinTable = SP_SIN_TABLE_1024;
    int sinOrder = 10;
    uint8_t* scratch = nullptr;
    if (order > 10) {
        if (initBuf == nullptr) return SP_STS_NULL_PTR;
        float* computed = alignUp32(reinterpret_cast<float*>(initBuf));
        scratch = reinterpret_cast<uint8_t*>(spFftBuildSinTable_Gen(order, computed));
        sinTable = computed;
        sinOrder = order;
    }
    uint8_t* base = reinterpret_cast<uint8_t*>(rec);
    rec->bitRevTable = reinterpret_cast<int32_t*>(base + sizeof(SpFftSpec));
    const int L = order - 1;
    float* end;
    if (order <= 11) {
        rec->radix4Twiddles =
            reinterpret_cast<float*>(spFftBuildBitRevTable_Gen(L, rec->bitRevTable));
        end = spFftBuildTwiddles_Gen(L, sinTable, sinOrder, rec->radix4Twiddles);
    } else {
        const int64_t n = int64_t{1} << L;
        float* large = alignUp32(reinterpret_cast<float*>(base + sizeof(SpFftSpec) +
                                                          roundDown32(n + 35)));
        end = spFftBuildTwiddlesLarge_Gen(rec, L, sinTable, sinOrder, large, scratch);
    }
    rec->recombineFwd = end;
    rec->recombineInv = spRealFftBuildRecombineFwd_Gen(order, sinTable, sinOrder, end);
    spRealFftBuildRecombineInv_Gen(order, sinTable, sinOrder, rec->recombineInv);
    *spec = rec;
    return SP_STS_OK;
}

SpStatus spRealFftCreate_Gen(SpFftSpec** spec, int order, int flag, int hint) {
    return sp::gen::fftCreate(spec, order, flag, hint, spRealFftGetSize_Gen, spRealFftInit_Gen);
}

SpStatus spRealFftDestroy_Gen(SpFftSpec* spec) {
    return sp::gen::fftDestroy(spec, SP_CTX_REAL_FFT);
}

SpStatus spRealFftGetBufferSize_Gen(const SpFftSpec* spec, int* size) {
    if (size == nullptr || spec == nullptr) return SP_STS_NULL_PTR;
    if (spec->id != SP_CTX_REAL_FFT) return SP_STS_CONTEXT_MISMATCH;
    *size = spec->workSize > 0 ? spec->workSize + 32 : 0;
    return SP_STS_OK;
}

SpStatus spZeroU8_Gen(uint8_t* dst, int len) {
    if (dst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    spZeroKernel_Gen(dst, len);
    return SP_STS_OK;
}

// ---- Table builders ----------------------------------------------------------

float* spFftBuildSinTable_Gen(int order, float* table) {
    const int64_t N = int64_t{1} << order;
    const double h = 6.283185307179586 / static_cast<double>(N);
    for (int64_t j = 0; j <= N / 8; ++j) {
        table[j] = static_cast<float>(std::sin(static_cast<double>(j) * h));
    }
    for (int64_t j = N / 8 + 1; j <= N / 4; ++j) {
        table[j] = static_cast<float>(std::cos(static_cast<double>(N / 4 - j) * h));
    }
    return alignUp32(table + N / 4 + 1);
}

int32_t* spFftBuildBitRevTable_Gen(int L, int32_t* table) {
    if (L < 2) return table;
    const int32_t m = int32_t{1} << (L - 2);
    int32_t front = 0;
    int32_t back = m - 1;
    int32_t r = 0;
    for (int32_t k = 1; k < m; ++k) {
        int32_t e = m / 2;  // reversed-carry increment of r
        while (e <= r) {
            r -= e;
            e /= 2;
        }
        r += e;
        if (k < r) {
            table[front] = 4 * k;
            table[front + 1] = 4 * r;
            front += 2;
        } else if (k == r) {
            table[back--] = 4 * k;
        }
    }
    table[front] = 0;
    table[m] = 0;
    return alignUp32(table + m + 1);
}

float* spFftBuildTwiddles_Gen(int L, const float* S, int sinOrder, float* out) {
    const int64_t n = int64_t{1} << L;
    const int64_t q = n / 4;
    const int64_t st = int64_t{1} << (sinOrder - L);
    for (int64_t l = 0; l <= q; ++l) {
        float* e = out + 6 * l;
        e[0] = S[(q - l) * st];
        e[1] = negate(S[l * st]);
        if (2 * l <= q) {
            e[2] = S[(q - 2 * l) * st];
            e[3] = negate(S[2 * l * st]);
        } else {
            e[2] = negate(S[(2 * l - q) * st]);
            e[3] = negate(S[(n / 2 - 2 * l) * st]);
        }
        if (3 * l <= q) {
            e[4] = S[(q - 3 * l) * st];
            e[5] = negate(S[3 * l * st]);
        } else if (3 * l <= n / 2) {
            e[4] = negate(S[(3 * l - q) * st]);
            e[5] = negate(S[(n / 2 - 3 * l) * st]);
        } else {
            e[4] = negate(S[(3 * n / 4 - 3 * l) * st]);
            e[5] = S[(3 * l - n / 2) * st];
        }
    }
    return alignUp32(out + 6 * (q + 1));
}

float* spRealFftBuildRecombineFwd_Gen(int order, const float* S, int sinOrder, float* out) {
    const int64_t quarter = (int64_t{1} << order) / 4;
    const int64_t st = int64_t{1} << (sinOrder - order);
    for (int64_t k = 0; k < quarter; ++k) {
        out[2 * k] = S[(quarter - k) * st] * 0.5f;
        out[2 * k + 1] = static_cast<float>(0.5 - static_cast<double>(S[k * st]) * 0.5);
    }
    return alignUp32(out + 2 * quarter);
}

float* spRealFftBuildRecombineInv_Gen(int order, const float* S, int sinOrder, float* out) {
    const int64_t quarter = (int64_t{1} << order) / 4;
    const int64_t st = int64_t{1} << (sinOrder - order);
    for (int64_t k = 0; k < quarter; ++k) {
        out[2 * k] = S[(quarter - k) * st];
        out[2 * k + 1] = negate(S[k * st]);
    }
    return alignUp32(out + 2 * quarter);
}

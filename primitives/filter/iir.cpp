// IIR states and the generic filters. 'II01': order N in transposed direct
// form II with coefficients normalised by the single-precision reciprocal of
// a0; 'II02': a biquad cascade that no builder makes but the filters and
// destroy accept.
//
// Generic layout (first 16-byte boundary of the buffer): header 96, coeffs
// floor16(8N + 19) bytes (b'0..b'N, a'1..a'N), delay line floor16(4N + 19)
// bytes (s0..s(N-1) and a 0.0 guard that no filter writes). The size query
// adds 16 bytes for the alignment.
//
// A build that meets a0 = +-0 returns SP_STS_DIV_BY_ZERO_ERR. In a caller
// buffer the record is then left with id 0, so filtering or destroying it
// answers SP_STS_CONTEXT_MISMATCH instead of running over an unwritten
// coefficient area; a create frees its block and leaves *state unwritten.
#include "primitives/convert/sp_alloc.h"
#include "primitives/convert/sp_gen.h"
#include "primitives/filter/filter_util.h"
#include "primitives/filter/sp_filter_gen.h"

using sp::gen::floor16;

namespace {

constexpr int64_t kHeaderBytes = 96;

int64_t stateSize(int order) {
    const int64_t N = order;
    return floor16(8 * N + 19) + floor16(4 * N + 19) + kHeaderBytes + 16;
}

bool orderValid(int order) { return order > 0 && stateSize(order) <= sp::gen::kInt32Max; }

bool knownKind(const SpIirState* st) { return st->id == SP_CTX_IIR || st->id == SP_CTX_IIR_BQ; }

// Order 1: one step per sample.
void filterOrder1(const float* src, float* dst, int len, const float* k, float* s) {
    const float b0 = k[0], b1 = k[1], a1 = k[2];
    for (int i = 0; i < len; ++i) {
        const float x = src[i];
        const float y = b0 * x + s[0];
        s[0] = b1 * x - a1 * y;
        dst[i] = y;
    }
}

// Order N >= 2: pairs of samples, then a single step for an odd last one.
// b = k[0..N], a = k[N+1..2N] (a[i] at k[N + i]); s[N] is the 0.0 guard.
void filterPairs(const float* src, float* dst, int len, int N, const float* k, float* s) {
    const float* b = k;
    const float* a = k + N;  // a[i] = a'i for i >= 1
    int i = 0;
    for (; i + 1 < len; i += 2) {
        const float x0 = src[i], x1 = src[i + 1];
        const float y0 = b[0] * x0 + s[0];
        const float y1 = ((b[0] * x1 + s[1]) + b[1] * x0) - a[1] * y0;
        for (int j = 0; j <= N - 2; ++j) {
            s[j] = (((b[j + 1] * x1 - a[j + 1] * y1) + b[j + 2] * x0) - a[j + 2] * y0) + s[j + 2];
        }
        s[N - 1] = b[N] * x1 - a[N] * y1;
        dst[i] = y0;
        dst[i + 1] = y1;
    }
    if (i < len) {
        const float x = src[i];
        const float y = b[0] * x + s[0];
        for (int j = 0; j <= N - 1; ++j) s[j] = (b[j + 1] * x - a[j + 1] * y) + s[j + 1];
        dst[i] = y;
    }
}

void filterBiquads(const float* src, float* dst, int len, int order, const float* k, float* d) {
    for (int i = 0; i < len; ++i) {
        float x = src[i];
        if (order <= 0) x = 0.0f;
        for (int sec = 0; 2 * sec < order; ++sec) {
            const float* c = k + 5 * sec;
            float* z = d + 2 * sec;
            const float y = c[0] * x + z[0];
            z[0] = (c[1] * x + z[1]) - c[3] * y;
            z[1] = c[2] * x + (0.0f - c[4]) * y;
            x = y;
        }
        dst[i] = x;
    }
}

void filter(const float* src, float* dst, int len, SpIirState* st) {
    if (st->id == SP_CTX_IIR_BQ) {
        filterBiquads(src, dst, len, st->order, st->coeffs, st->dlyLine);
    } else if (st->order == 1) {
        filterOrder1(src, dst, len, st->coeffs, st->dlyLine);
    } else if (st->order >= 2) {
        filterPairs(src, dst, len, st->order, st->coeffs, st->dlyLine);
    } else {
        const float b0 = st->coeffs[0];  // order 0: a gain
        for (int i = 0; i < len; ++i) dst[i] = b0 * src[i];
    }
}

}  // namespace

SpStatus spIirComputeStateSize_Gen(int order, int* size, int32_t /*id*/) {
    *size = static_cast<int>(stateSize(order));
    return SP_STS_OK;
}

SpStatus spIirStateSize_Gen(int order, int* size) {
    if (size == nullptr) return SP_STS_NULL_PTR;
    if (!orderValid(order)) return SP_STS_IIR_ORDER;
    return spIirComputeStateSize_Gen(order, size, SP_CTX_IIR);
}

SpStatus spIirSetTaps_Gen(const float* taps, SpIirState* st) {
    const int N = st->order;
    const float a0 = taps[N + 1];
    if (a0 == 0.0f) return SP_STS_DIV_BY_ZERO_ERR;
    const float r = 1.0f / a0;
    float* k = st->coeffs;
    k[0] = taps[0] * r;
    for (int i = 1; i <= N; ++i) {
        k[i] = taps[i] * r;
        k[N + i] = taps[N + 1 + i] * r;
    }
    return SP_STS_OK;
}

SpStatus spIirInitState_Gen(SpIirState** state, const float* taps, int order,
                            const float* dlyLine, uint8_t* buffer, int32_t id) {
    SpIirState* st = reinterpret_cast<SpIirState*>(sp::gen::alignUp16(buffer));
    *state = st;
    uint8_t* base = reinterpret_cast<uint8_t*>(st);
    st->coeffs = reinterpret_cast<float*>(base + kHeaderBytes);
    st->dlyLine = reinterpret_cast<float*>(base + kHeaderBytes + floor16(8 * int64_t{order} + 19));
    st->id = id;
    st->order = order;
    st->numBiquads = 0;
    st->ownsMemory = 0;
    if (dlyLine != nullptr) {
        spCopyF32_Gen(dlyLine, st->dlyLine, order);
    } else {
        spZeroF32_Gen(st->dlyLine, order);
    }
    st->dlyLine[order] = 0.0f;
    const SpStatus status = spIirSetTaps_Gen(taps, st);
    if (status != SP_STS_OK) st->id = 0;  // no filter may run over unset coefficients
    return status;
}

SpStatus spIirInit_Gen(SpIirState** state, const float* taps, int order, const float* dlyLine,
                       uint8_t* buf) {
    if (taps == nullptr || state == nullptr || buf == nullptr) return SP_STS_NULL_PTR;
    if (!orderValid(order)) return SP_STS_IIR_ORDER;
    return spIirInitState_Gen(state, taps, order, dlyLine, buf, SP_CTX_IIR);
}

SpStatus spIirCreateState_Gen(SpIirState** state, const float* taps, int order,
                              const float* dlyLine, int32_t id) {
    int size = 0;
    spIirComputeStateSize_Gen(order, &size, id);
    uint8_t* block = static_cast<uint8_t*>(spMallocAligned(size));
    if (block == nullptr) return SP_STS_MEM_ALLOC;
    SpIirState* st = nullptr;
    const SpStatus status = spIirInitState_Gen(&st, taps, order, dlyLine, block, id);
    st->ownsMemory = 1;
    if (status < 0) {
        spFreeAligned(block);  // *state stays as the caller had it
        return status;
    }
    *state = st;
    return status;
}

SpStatus spIirCreate_Gen(SpIirState** state, const float* taps, int order,
                         const float* dlyLine) {
    if (taps == nullptr || state == nullptr) return SP_STS_NULL_PTR;
    if (!orderValid(order)) return SP_STS_IIR_ORDER;
    return spIirCreateState_Gen(state, taps, order, dlyLine, SP_CTX_IIR);
}

SpStatus spIirDestroy_Gen(SpIirState* state) {
    if (state == nullptr) return SP_STS_NULL_PTR;
    if (!knownKind(state)) return SP_STS_CONTEXT_MISMATCH;
    if (state->ownsMemory != 0) spFreeAligned(state);
    return SP_STS_OK;
}

SpStatus spIirFilterF32_Gen(const float* src, float* dst, int len, SpIirState* state) {
    if (state == nullptr || src == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    if (!knownKind(state)) return SP_STS_CONTEXT_MISMATCH;
    filter(src, dst, len, state);
    return SP_STS_OK;
}

SpStatus spIirFilterF32InPlace_Gen(float* srcDst, int len, SpIirState* state) {
    if (state == nullptr || srcDst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    if (!knownKind(state)) return SP_STS_CONTEXT_MISMATCH;
    filter(srcDst, srcDst, len, state);
    return SP_STS_OK;
}

// Multirate (polyphase) FIR states ('FI03'): size query, build in a caller
// buffer and the filter. The filter upsamples by up (zero stuffing), filters
// with L taps and keeps every down-th sample in one pass that never forms
// the upsampled signal: y[m] = sum over k of taps[k] u[m down + downPhase - k]
// with u holding x[n] at n up + upPhase. A call of numIters iterations reads
// numIters down inputs and writes numIters up outputs.
//
// Outputs come in groups of four, up groups per cycle; a cycle advances the
// input by 4 down samples. Two layouts: groups (mode 1: every output of a
// group reads the same K = M/up inputs with its own column of coefficients)
// and indexed (modes 2 and 3: every output reads the H = ceil(L/up) inputs
// that meet a tap, from its own start). With up = down = 1 the entries build
// a single-rate 'FI01' state instead.
//
// Layout (first 16-byte boundary): header 160, tapsRev ceil16(4L), coefTable
// 16M, phaseTable, dlyLine ceil16(4(H + G + 1)) (history, then staged
// inputs), builder scratch. The builder computes the tables directly and
// leaves the scratch area unused; it is part of the size.
#include <algorithm>

#include "primitives/convert/sp_gen.h"
#include "primitives/filter/filter_util.h"
#include "primitives/filter/sp_filter_gen.h"

using sp::gen::ceil16;
using sp::gen::kInt32Max;

namespace {

constexpr int kModeGroups = 1;
constexpr int kModeIndexedUp1 = 2;
constexpr int kModeIndexed = 3;

using Geometry = SpFirMrGeometry;

int chooseMode(int64_t L, int64_t up, int64_t down) {
    const float r = static_cast<float>(L) / static_cast<float>(L + 3 * down);
    if (up == 1) return r > 0.5f ? kModeGroups : kModeIndexedUp1;
    return static_cast<double>(r) > 0.3 ? kModeGroups : kModeIndexed;
}

Geometry geometry(int tapsLen, int upFactor, int downFactor, int mode) {
    Geometry g{};
    g.L = tapsLen;
    g.up = upFactor;
    g.down = downFactor;
    g.mode = mode;
    g.H = (g.L + g.up - 1) / g.up;
    g.M = (g.L + 3 * g.down + g.up - 1) / g.up * g.up;
    g.K = g.M / g.up;
    const int64_t span = g.mode == kModeGroups ? g.K : g.H;
    const int64_t cycleIn = 4 * g.down;
    g.G = (span / cycleIn + 1) * cycleIn + 1;
    g.X = g.up * ((g.H + g.down - 1) / g.down);
    while (g.X % (4 * g.up) != 0) {
        g.X += g.up;
        g.G += g.down;
    }
    const bool groups = g.mode == kModeGroups;
    g.phaseEntries = groups ? g.up + 1 : 4 * g.up + 1;
    g.size = 176 + ceil16(4 * g.L) + 16 * g.M + ceil16(4 * g.phaseEntries) +
             ceil16(4 * (g.H + g.G + 1)) + 4 * std::max<int64_t>((groups ? 4 : 8) * g.M, 4096);
    return g;
}

Geometry geometryFor(int tapsLen, int upFactor, int downFactor) {
    return spFirMrGeometry_Gen(tapsLen, upFactor, downFactor);
}

bool fits(const Geometry& g) { return spFirMrGeometryFits_Gen(g); }

// Coefficient column c at upsampled offset p (zero outside its tap span).
float column(const float* taps, const Geometry& g, int c, int64_t p) {
    const int64_t k = p - c * g.down;
    return (k >= 0 && k < g.L) ? taps[g.L - 1 - k] : 0.0f;
}

}  // namespace

SpFirMrGeometry spFirMrGeometry_Gen(int tapsLen, int upFactor, int downFactor) {
    return geometry(tapsLen, upFactor, downFactor, chooseMode(tapsLen, upFactor, downFactor));
}

bool spFirMrGeometryFits_Gen(const SpFirMrGeometry& g) {
    return g.M <= kInt32Max && g.H + g.G + 1 <= kInt32Max && g.X <= kInt32Max &&
           4 * g.up <= kInt32Max && 4 * g.down <= kInt32Max && g.size <= kInt32Max;
}

float spFirMrColumn_Gen(const float* taps, const SpFirMrGeometry& g, int c, int64_t p) {
    return column(taps, g, c, p);
}

void spFirMrPhaseWalk_Gen(const SpFirMrGeometry& g, int upPhase, int downPhase, int64_t* A, int64_t* F) {
    const int64_t t = upPhase + (g.L - 1) % g.up;
    int64_t C = t < g.up ? t : t - g.up;
    int64_t a = t < g.up ? 1 : 0;
    for (int64_t j = 0; j < g.up; ++j) {
        const int64_t D = downPhase + 4 * j * g.down;
        if (C < D) {
            const int64_t steps = (D - C + g.up - 1) / g.up;
            C += steps * g.up;
            a += steps;
        }
        A[j] = a;
        F[j] = C - D;
    }
}

namespace {

void phaseWalk(const Geometry& g, int upPhase, int downPhase, int64_t* A, int64_t* F) {
    spFirMrPhaseWalk_Gen(g, upPhase, downPhase, A, F);
}

void buildGroups(SpFirState* st, const float* taps, const Geometry& g, const int64_t* A,
                 const int64_t* F) {
    float* coef = st->coefTable;
    for (int64_t j = 0; j < g.up; ++j)
        for (int64_t i = 0; i < g.K; ++i)
            for (int c = 0; c < 4; ++c) *coef++ = column(taps, g, c, F[j] + i * g.up);
    int32_t* phases = st->phaseTable;
    phases[0] = static_cast<int32_t>(A[0]);
    for (int64_t j = 1; j < g.up; ++j) phases[j] = static_cast<int32_t>(A[j] - A[j - 1]);
    phases[g.up] = static_cast<int32_t>(4 * g.down - A[g.up - 1]);
}

void buildIndexed(SpFirState* st, const float* taps, const Geometry& g, const int64_t* A,
                  const int64_t* F) {
    spZeroF32_Gen(st->coefTable, static_cast<int>(4 * g.M));
    int32_t* phases = st->phaseTable;
    int32_t previous = static_cast<int32_t>(A[0]);
    for (int64_t j = 0; j < g.up; ++j) {
        float* rows = st->coefTable + 4 * j * g.H;
        for (int c = 0; c < 4; ++c) {
            // First m with F_j + m up inside column c's span [c down, c down + L).
            const int64_t spanStart = c * g.down;
            int64_t m = spanStart > F[j] ? (spanStart - F[j] + g.up - 1) / g.up : 0;
            const int64_t first = m;
            int64_t count = 0;
            for (int64_t p = F[j] + m * g.up; p < g.M && p < spanStart + g.L && count < g.H;
                 p += g.up, ++m) {
                rows[4 * count + c] = column(taps, g, c, p);
                ++count;
            }
            const int32_t entry = count > 0 ? static_cast<int32_t>(A[j] + first) : previous;
            phases[4 * j + c] = (j == 0 && c == 0) ? static_cast<int32_t>(A[0]) : entry;
            previous = phases[4 * j + c];
        }
    }
    phases[4 * g.up] = static_cast<int32_t>(4 * g.down);
}

// ---- Filtering ------------------------------------------------------------------

// The signal s of a call: history (H samples) then the inputs, read either
// from the delay buffer (s[i] = dly[i]) or, for windows past the history,
// from the source (s[i] = src[i - H]).
struct Sequence {
    const float* base;
    int64_t offset;
    const float* at(int64_t i) const { return base + (i - offset); }
};

struct Output {
    int64_t start;       // first index into s
    const float* coefs;  // coefficient i at coefs[4 i]
    int64_t length;
};

// Window and coefficients of output o (counted from the call's first output).
Output outputAt(const SpFirState* st, int64_t o) {
    const int64_t cycleOut = 4 * int64_t{st->upFactor};
    const int64_t cycle = o / cycleOut;
    const int64_t j = (o % cycleOut) / 4;
    const int c = static_cast<int>(o % 4);
    const int64_t cycleStart = cycle * 4 * int64_t{st->downFactor};
    const int32_t* ph = st->phaseTable;
    if (st->mode == kModeGroups) {
        int64_t p = cycleStart;
        for (int64_t k = 0; k <= j; ++k) p += ph[k];
        return {p, st->coefTable + 4 * j * st->phaseLen + c, st->phaseLen};
    }
    if (st->mode == kModeIndexedUp1) {
        return {ph[0] + o * (ph[1] - ph[0]), st->coefTable, st->histLen};
    }
    return {cycleStart + ph[4 * j + c], st->coefTable + 4 * j * st->histLen + c, st->histLen};
}

float dot(const Output& out, const Sequence& s, int64_t length) {
    const float* x = s.at(out.start);
    float sum = 0.0f;
    for (int64_t i = 0; i < length; ++i) sum += out.coefs[4 * i] * x[i];
    return sum;
}

// Outputs [first, end), whole groups; a groups-layout group shares one
// window for its four sums.
void groupOutputs(const SpFirState* st, const Sequence& s, float* dst, int64_t first, int64_t end) {
    for (int64_t o = first; o < end; o += 4) {
        const Output out0 = outputAt(st, o);
        if (st->mode != kModeGroups) {
            dst[o] = dot(out0, s, out0.length);
            for (int c = 1; c < 4; ++c) {
                const Output out = outputAt(st, o + c);
                dst[o + c] = dot(out, s, out.length);
            }
            continue;
        }
        const float* x = s.at(out0.start);
        const float* k = out0.coefs;
        float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f;
        for (int64_t i = 0; i < out0.length; ++i) {
            s0 += k[4 * i] * x[i];
            s1 += k[4 * i + 1] * x[i];
            s2 += k[4 * i + 2] * x[i];
            s3 += k[4 * i + 3] * x[i];
        }
        dst[o] = s0;
        dst[o + 1] = s1;
        dst[o + 2] = s2;
        dst[o + 3] = s3;
    }
}

// Outputs [first, end) one at a time; in modes 1 and 3 each sum stops at
// s index `last` (the terms beyond have zero coefficients).
void singleOutputs(const SpFirState* st, const Sequence& s, float* dst, int64_t first,
                   int64_t end, int64_t last) {
    for (int64_t o = first; o < end; ++o) {
        const Output out = outputAt(st, o);
        int64_t length = out.length;
        if (st->mode != kModeIndexedUp1) length = std::min(length, last - out.start + 1);
        dst[o] = length > 0 ? dot(out, s, length) : 0.0f;
    }
}

}  // namespace

int64_t spFirMultirateGroupsSize_Gen(int tapsLen, int upFactor, int downFactor) {
    return geometry(tapsLen, upFactor, downFactor, kModeGroups).size;
}

int64_t spFirMultirateIndexedSize_Gen(int tapsLen, int upFactor, int downFactor) {
    return geometry(tapsLen, upFactor, downFactor, upFactor == 1 ? kModeIndexedUp1 : kModeIndexed)
        .size;
}

SpStatus spFirMultirateStateSize_Gen(int tapsLen, int upFactor, int downFactor, int* size) {
    if (size == nullptr) return SP_STS_NULL_PTR;
    if (tapsLen <= 0) return SP_STS_FIR_LEN;
    if (upFactor <= 0 || downFactor <= 0) return SP_STS_FIR_MR_FACTOR;
    if (upFactor == 1 && downFactor == 1) return spFirStateSize_Gen(tapsLen, size);
    const Geometry g = geometryFor(tapsLen, upFactor, downFactor);
    if (!fits(g)) return SP_STS_FIR_MR_FACTOR;
    *size = static_cast<int>(g.size);
    return SP_STS_OK;
}

SpStatus spFirMultirateInit_Gen(SpFirState** state, const float* taps, int tapsLen, int upFactor,
                                int upPhase, int downFactor, int downPhase, const float* dlyLine,
                                uint8_t* buf) {
    if (state == nullptr || taps == nullptr || buf == nullptr) return SP_STS_NULL_PTR;
    if (tapsLen <= 0) return SP_STS_FIR_LEN;
    if (upFactor <= 0 || downFactor <= 0) return SP_STS_FIR_MR_FACTOR;
    const bool singleRate = upFactor == 1 && downFactor == 1;
    if (singleRate && spFirComputeStateSize_Gen(tapsLen) > kInt32Max) return SP_STS_FIR_LEN;
    const Geometry g = geometryFor(tapsLen, upFactor, downFactor);
    if (!singleRate && !fits(g)) return SP_STS_FIR_MR_FACTOR;
    if (upPhase < 0 || upPhase >= upFactor || downPhase < 0 || downPhase >= downFactor) {
        return SP_STS_FIR_MR_PHASE;
    }
    if (singleRate) return spFirInit_Gen(state, taps, tapsLen, dlyLine, buf);

    SpFirState* st = reinterpret_cast<SpFirState*>(sp::gen::alignUp16(buf));
    uint8_t* p = reinterpret_cast<uint8_t*>(st) + sizeof(SpFirState);
    st->id = SP_CTX_FIR_MR;
    st->tapsRev = reinterpret_cast<float*>(p);
    st->coefTable = reinterpret_cast<float*>(p + ceil16(4 * g.L));
    st->phaseTable = reinterpret_cast<int32_t*>(p + ceil16(4 * g.L) + 16 * g.M);
    st->dlyLine = reinterpret_cast<float*>(reinterpret_cast<uint8_t*>(st->phaseTable) +
                                           ceil16(4 * g.phaseEntries));
    st->tapsLen = tapsLen;
    st->upFactor = upFactor;
    st->downFactor = downFactor;
    st->stageLen = static_cast<int32_t>(g.G);
    st->stagedOutLen = static_cast<int32_t>(g.X);
    st->fftSpec = nullptr;
    st->tapsSpectrum = nullptr;
    st->fftLen = -1;
    st->mode = g.mode;
    st->histLen = static_cast<int32_t>(g.H);
    st->ownsMemory = 0;
    for (int j = 0; j < tapsLen; ++j) st->tapsRev[j] = taps[tapsLen - 1 - j];

    // The walk's two arrays of up entries live in the builder scratch area
    // behind dlyLine (at least 16384 bytes, 4 M of them).
    int64_t* A = reinterpret_cast<int64_t*>(reinterpret_cast<uint8_t*>(st->dlyLine) +
                                            ceil16(4 * (g.H + g.G + 1)));
    int64_t* F = A + g.up;
    phaseWalk(g, upPhase, downPhase, A, F);
    if (g.mode == kModeGroups) {
        st->phaseLen = static_cast<int32_t>(g.K);
        buildGroups(st, taps, g, A, F);
    } else {
        buildIndexed(st, taps, g, A, F);
    }
    spZeroF32_Gen(st->dlyLine, static_cast<int>(g.H + g.G + 1));
    if (dlyLine != nullptr) {
        for (int64_t j = 0; j < g.H; ++j) st->dlyLine[j] = dlyLine[g.H - 1 - j];
    }
    *state = st;
    return SP_STS_OK;
}

SpStatus spFirMultirateFilterF32_Gen(const float* src, float* dst, int numIters,
                                     SpFirState* st) {
    if (st->mode != kModeGroups && st->mode != kModeIndexedUp1 && st->mode != kModeIndexed) {
        return SP_STS_CONTEXT_MISMATCH;
    }
    const int64_t inputs = int64_t{numIters} * st->downFactor;
    const int64_t outputs = int64_t{numIters} * st->upFactor;
    if (inputs > kInt32Max || outputs > kInt32Max) return SP_STS_SIZE;
    const int64_t H = st->histLen;
    const int64_t G = st->stageLen;
    const int64_t cycleOut = 4 * int64_t{st->upFactor};
    float* dly = st->dlyLine;
    const Sequence buffered{dly, 0};
    const bool longCall = st->mode == kModeIndexedUp1 ? inputs >= G : inputs > G;
    if (longCall) {
        const int64_t X = st->stagedOutLen;
        spCopyF32_Gen(src, dly + H, static_cast<int>(G));
        groupOutputs(st, buffered, dst, 0, X);
        spMoveF32_Gen(src + (inputs - H), dly, static_cast<int>(H));
        int64_t tail = (outputs - X) % cycleOut;
        if (outputs - X - tail >= cycleOut) tail += cycleOut;
        const Sequence direct{src, H};
        groupOutputs(st, direct, dst, X, outputs - tail);
        singleOutputs(st, direct, dst, outputs - tail, outputs, H + inputs - 1);
    } else {
        spCopyF32_Gen(src, dly + H, static_cast<int>(inputs));
        const int64_t grouped = outputs - outputs % cycleOut;
        groupOutputs(st, buffered, dst, 0, grouped);
        singleOutputs(st, buffered, dst, grouped, outputs, H + inputs - 1);
        spMoveF32_Gen(dly + inputs, dly, static_cast<int>(H));
    }
    // Staged slots read by later short calls (with zero coefficients) must
    // hold no value of this call: 0 x Inf would poison later outputs.
    spZeroF32_Gen(dly + H, static_cast<int>(G + 1));
    return SP_STS_OK;
}

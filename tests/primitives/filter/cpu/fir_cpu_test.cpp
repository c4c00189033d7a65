// FIR states of the CPU builds: sizes and layouts (splatted taps, indexed
// rows in output order), the direct path and the multirate modes against an
// exact (double) convolution within the rounding bound, with the delay
// line bit for bit as the generic build keeps it and identical bits across
// builds, and the mended multirate staging.
//
// Bound: per output |y_cpu - y| <= gamma(m + 1) * sum |terms|, where m is
// the number of terms the layout adds (at most the window length: the
// tap count for 'FI01', K or H for 'FI03') and
// gamma(k) = k 2^-24 / (1 - k 2^-24).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "primitives/convert/entry_table_a.h"
#include "primitives/convert/sp_alloc.h"
#include "primitives/filter/sp_filter_gen.h"
#include "sim/pool.h"
#include "tests/primitives/filter/cpu/filter_kernels.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/ulp.h"

namespace sptest {
namespace {

double gamma(int64_t k) {
    const double u = std::ldexp(1.0, -24);
    return k * u / (1.0 - k * u);
}

std::vector<float> randomFloats(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& f : v) f = dist(rng);
    return v;
}

TEST(FirCpuSizes, SingleRateSizesAndSplattedTaps) {
    const struct {
        int L, size;
    } rows[] = {{20, 17232}, {24, 17360}, {63, 18640}, {64, 24176}, {101, 25424}};
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        for (const auto& r : rows) {
            int size = 0;
            ASSERT_EQ(k.spFirStateSize(r.L, &size), SP_STS_OK);
            EXPECT_EQ(size, r.size) << r.L << " taps";
            if (r.L >= 64) continue;
            const std::vector<float> taps = randomFloats(r.L, r.L);
            std::vector<uint8_t> buf(size + 32);
            SpFirState* st = nullptr;
            ASSERT_EQ(k.spFirInit(&st, taps.data(), r.L, nullptr, buf.data() + 3), SP_STS_OK);
            const int64_t A = (4 * r.L + 15) / 16 * 16, D = (12 * r.L + 16 + 15) / 16 * 16;
            EXPECT_EQ(reinterpret_cast<uint8_t*>(st->coefTable) - reinterpret_cast<uint8_t*>(st), 160 + A + D);
            for (int j = 0; j < r.L; ++j)
                for (int l = 0; l < 4; ++l) ASSERT_EQ(st->coefTable[4 * j + l], taps[j]);
            SpFirState* created = nullptr;
            ASSERT_EQ(k.spFirCreate(&created, taps.data(), r.L, nullptr), SP_STS_OK);
            EXPECT_EQ(reinterpret_cast<uint8_t*>(created->coefTable) - reinterpret_cast<uint8_t*>(created),
                      160 + A + D + 16);
            for (int j = 0; j < r.L; ++j) ASSERT_EQ(created->coefTable[4 * j + 3], taps[j]);
            EXPECT_EQ(spFirDestroy_Gen(created), SP_STS_OK);
        }
    });
}

// A created 256-tap state is two pool blocks: the state with its splatted
// taps and the transforms' work buffer (37088 bytes: 28864 of the generic
// layout, 4 x 1024 for coefTable and 4128 for the work buffer the generic
// order-10 transform does without) and the build's order-10 real FFT
// setup record (8960 bytes); spMallocAligned asks the pool for 40 bytes
// more. Filtering a 512-sample block (the FFT path) then allocates nothing,
// and destroy returns both blocks.
TEST(FirCpuCreate, TapCount256AllocatesStateAndSpecOnly) {
    const std::vector<float> taps = randomFloats(256, 256);
    const std::vector<float> x = randomFloats(512, 257);
    auto rawSize = [](void* block) { return sim::PoolBlockSize(static_cast<void**>(block)[-1]); };
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        const int64_t live = sim::PoolLiveBlocks(SP_POOL_TAG);
        SpFirState* st = nullptr;
        sim::PoolResetCounters();
        ASSERT_EQ(k.spFirCreate(&st, taps.data(), 256, nullptr), SP_STS_OK);
        EXPECT_EQ(sim::PoolAllocationAttempts(), 2u);
        EXPECT_EQ(sim::PoolLiveBlocks(SP_POOL_TAG), live + 2);
        EXPECT_EQ(rawSize(st), 37088u + 40u);
        ASSERT_NE(st->fftSpec, nullptr);
        EXPECT_EQ(rawSize(st->fftSpec), 8960u + 40u);
        EXPECT_EQ(st->fftLen, 1024);
        EXPECT_NE(st->fftWorkBuf, nullptr);
        std::vector<float> y(512);
        sim::PoolResetCounters();
        ASSERT_EQ(k.spFirFilterF32(x.data(), y.data(), 512, st), SP_STS_OK);
        EXPECT_EQ(sim::PoolAllocationAttempts(), 0u) << "the FFT path allocated";
        EXPECT_EQ(spFirDestroy_Gen(st), SP_STS_OK);
        EXPECT_EQ(sim::PoolLiveBlocks(SP_POOL_TAG), live) << sim::PoolLeakReport();
    });
}

// The generic worked sizes hold in every build; phases do not enter them.
TEST(FirCpuSizes, MultirateSizesEqualGeneric) {
    const int configs[][3] = {{66, 1, 2}, {66, 2, 1}, {132, 1, 4}, {132, 4, 1}, {8, 1, 4}, {4, 2, 5}, {6, 1, 2}, {7, 1, 2}};
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        for (const auto& c : configs) {
            int gen = 0, cpu = 0;
            ASSERT_EQ(spFirMultirateStateSize_Gen(c[0], c[1], c[2], &gen), SP_STS_OK);
            ASSERT_EQ(k.spFirMultirateStateSize(c[0], c[1], c[2], &cpu), SP_STS_OK);
            EXPECT_EQ(cpu, gen) << c[0] << " taps " << c[1] << "/" << c[2];
        }
        int size = -1;
        EXPECT_EQ(k.spFirMultirateStateSize(0, 0, 1, &size), SP_STS_FIR_LEN);
        EXPECT_EQ(k.spFirMultirateStateSize(4, 0, 1, &size), SP_STS_FIR_MR_FACTOR);
        EXPECT_EQ(size, -1);
    });
}

// 4 taps, up 2, down 5: per phase the rows (t2, t0), (t3, t1), (t2, t0),
// (t3, t1), then zeros; the phase table is the generic one.
TEST(FirCpuLayout, IndexedRowsInOutputOrder) {
    const float t[4] = {10, 11, 12, 13};
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        int size = 0;
        ASSERT_EQ(k.spFirMultirateStateSize(4, 2, 5, &size), SP_STS_OK);
        std::vector<uint8_t> buf(size);
        SpFirState* st = nullptr;
        ASSERT_EQ(k.spFirMultirateInit(&st, t, 4, 2, 0, 5, 0, nullptr, buf.data()), SP_STS_OK);
        ASSERT_EQ(st->mode, 3);
        EXPECT_EQ(st->histLen, 2);
        const std::vector<float> phase = {12, 10, 13, 11, 12, 10, 13, 11};
        std::vector<float> coef(st->coefTable, st->coefTable + 80);
        std::vector<float> want = phase;
        want.insert(want.end(), phase.begin(), phase.end());
        want.resize(80, 0.0f);
        EXPECT_EQ(coef, want);
        const std::vector<int32_t> ph(st->phaseTable, st->phaseTable + 9);
        EXPECT_EQ(ph, (std::vector<int32_t>{1, 3, 6, 8, 11, 13, 16, 18, 20}));
    });
}

// Exact outputs of a multirate (or single-rate: up = down = 1) filter over
// the whole signal x with zero history: y[m] = sum of taps[k] u[m down +
// downPhase - k], u[n up + upPhase] = x[n]; with the magnitudes for the bound.
void exactOutputs(const std::vector<float>& taps, int up, int upPhase, int down, int downPhase,
                  const std::vector<float>& x, int64_t outputs, std::vector<double>* y, std::vector<double>* mag) {
    const int64_t L = static_cast<int64_t>(taps.size());
    y->assign(outputs, 0.0);
    mag->assign(outputs, 0.0);
    for (int64_t m = 0; m < outputs; ++m) {
        const int64_t pos = m * down + downPhase;
        for (int64_t k = 0; k < L; ++k) {
            const int64_t q = pos - k - upPhase;
            if (q < 0 || q % up != 0 || q / up >= static_cast<int64_t>(x.size())) continue;
            const double p = static_cast<double>(taps[k]) * x[q / up];
            (*y)[m] += p;
            (*mag)[m] += std::fabs(p);
        }
    }
}

struct StreamCase {
    const char* name;
    int L, up, upPhase, down, downPhase;
};

std::vector<StreamCase> streamCases() {
    return {
        {"Direct1", 1, 1, 0, 1, 0},      {"Direct2", 2, 1, 0, 1, 0},     {"Direct3", 3, 1, 0, 1, 0},
        {"Direct4", 4, 1, 0, 1, 0},      {"Direct5", 5, 1, 0, 1, 0},     {"Direct20", 20, 1, 0, 1, 0},
        {"Direct63", 63, 1, 0, 1, 0},    {"Direct101", 101, 1, 0, 1, 0}, {"Decim66", 66, 1, 0, 2, 0},
        {"Interp66", 66, 2, 0, 1, 0},    {"Decim132", 132, 1, 0, 4, 0},  {"Interp132", 132, 4, 0, 1, 0},
        {"Ratio3to2", 40, 3, 1, 2, 1},   {"Mode2Taps8", 8, 1, 0, 4, 1},  {"Mode2Taps2", 2, 1, 0, 4, 2},
        {"Mode2Taps3", 3, 1, 0, 5, 0},   {"Mode3Taps4", 4, 2, 1, 5, 3},  {"Mode3Taps9", 9, 3, 2, 11, 4},
    };
}

class FirCpuStreams : public ::testing::TestWithParam<StreamCase> {};

// Random splits (1, S, S + 1, long calls; direct path only, the FFT path
// has its own test) through the build's bodies: every
// output within the bound of the exact convolution, the delay line after
// every call bit for bit the generic build's, and the same bits in every
// build. Destination offsets 0-3 floats.
TEST_P(FirCpuStreams, WithinBoundAndDelayLinesMatchGeneric) {
    const StreamCase& c = GetParam();
    const std::vector<float> taps = randomFloats(c.L, 17 * c.L + c.up);
    const int inputs = 2600 * c.down;
    const std::vector<float> x = randomFloats(inputs, 5 + c.L);
    std::vector<std::vector<uint32_t>> byBuild;
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        int size = 0, genSize = 0;
        ASSERT_EQ(k.spFirMultirateStateSize(c.L, c.up, c.down, &size), SP_STS_OK);
        ASSERT_EQ(spFirMultirateStateSize_Gen(c.L, c.up, c.down, &genSize), SP_STS_OK);
        std::vector<uint8_t> buf(size), genBuf(genSize);
        SpFirState* st = nullptr;
        SpFirState* gen = nullptr;
        ASSERT_EQ(k.spFirMultirateInit(&st, taps.data(), c.L, c.up, c.upPhase, c.down, c.downPhase, nullptr, buf.data()),
                  SP_STS_OK);
        ASSERT_EQ(spFirMultirateInit_Gen(&gen, taps.data(), c.L, c.up, c.upPhase, c.down, c.downPhase, nullptr,
                                         genBuf.data()),
                  SP_STS_OK);
        const int S = st->stageLen;
        std::mt19937 rng(c.L);
        std::vector<float> y;
        int64_t used = 0;
        for (int call = 0; used < inputs; ++call) {
            const int choices[] = {1, S / c.down, S / c.down + 1, 511, 512, static_cast<int>(rng() % 700) + 1};
            int iters = choices[call % 6];
            iters = static_cast<int>(std::min<int64_t>(iters, (inputs - used) / c.down));
            if (st->id == SP_CTX_FIR && st->fftLen > 0) iters = std::min(iters, 511);  // direct path here
            if (iters <= 0) break;
            const int off = call % 4;
            std::vector<float> out(static_cast<size_t>(iters) * c.up + off), genOut(out.size());
            ASSERT_EQ(k.spFirFilterF32(x.data() + used, out.data() + off, iters, st), SP_STS_OK);
            ASSERT_EQ(spFirFilterF32_Gen(x.data() + used, genOut.data() + off, iters, gen), SP_STS_OK);
            const int H = st->histLen;
            ASSERT_EQ(std::memcmp(st->dlyLine, gen->dlyLine, 4 * static_cast<size_t>(H + (st->id == SP_CTX_FIR_MR ? st->stageLen + 1 : 0))), 0)
                << "delay line after call " << call;
            y.insert(y.end(), out.begin() + off, out.end());
            used += int64_t{iters} * c.down;
        }
        std::vector<double> exact, mag;
        exactOutputs(taps, c.up, c.upPhase, c.down, c.downPhase, x, static_cast<int64_t>(y.size()), &exact, &mag);
        const int64_t window = st->id == SP_CTX_FIR ? c.L : (st->mode == 1 ? st->phaseLen : st->histLen);
        for (size_t m = 0; m < y.size(); ++m) {
            ASSERT_LE(std::fabs(y[m] - exact[m]), gamma(window + 1) * mag[m]) << "output " << m;
            if (c.L == 1) {
                ASSERT_EQ(floatBits(y[m]), floatBits(taps[0] * x[m])) << "output " << m;
            }
        }
        std::vector<uint32_t> bits;
        for (float f : y) bits.push_back(floatBits(f));
        byBuild.push_back(bits);
    });
    for (size_t b = 1; b < byBuild.size(); ++b) EXPECT_EQ(byBuild[b], byBuild[0]) << "build " << b + 1;
}

INSTANTIATE_TEST_SUITE_P(Cases, FirCpuStreams, ::testing::ValuesIn(streamCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// After every call the staged slots dlyLine[H..H+G] hold +0.0: a value a
// call staged (an Inf, say) is never met by a later call's windows, whose
// coefficients there are zero (0 x Inf would be NaN).
TEST(FirCpuMultirate, StagedSlotsAreClearedAfterEveryCall) {
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        for (const auto& cfg : {std::vector<int>{8, 1, 4}, std::vector<int>{66, 1, 2}, std::vector<int>{4, 2, 5}}) {
            const std::vector<float> taps = randomFloats(cfg[0], 1);
            int size = 0;
            ASSERT_EQ(k.spFirMultirateStateSize(cfg[0], cfg[1], cfg[2], &size), SP_STS_OK);
            std::vector<uint8_t> buf(size);
            SpFirState* st = nullptr;
            ASSERT_EQ(k.spFirMultirateInit(&st, taps.data(), cfg[0], cfg[1], 0, cfg[2], 0, nullptr, buf.data()), 0);
            std::vector<float> x(4096, INFINITY), out(4096);
            for (int iters : {1, 3, 6, 40, 200}) {
                ASSERT_EQ(k.spFirFilterF32(x.data(), out.data(), iters, st), SP_STS_OK);
                for (int i = st->histLen; i <= st->histLen + st->stageLen; ++i)
                    ASSERT_EQ(floatBits(st->dlyLine[i]), 0u) << "slot " << i << " after " << iters;
            }
        }
    });
}

// Overlap-save: per call, max |y - exact| of a build <= 4 x the generic
// FFT path's + 1e-7 sum|h| max|x|; the delay line after every call equals
// the generic build's bit for bit; 511 samples take the direct path.
TEST(FirCpuFftPath, WithinFourTimesTheGenericErrorAndSameDelayLines) {
    for (int L : {64, 101, 256}) {
        const std::vector<float> taps = randomFloats(L, 300 + L);
        const std::vector<float> x = randomFloats(8000, 400 + L);
        double sumH = 0.0;
        for (float t : taps) sumH += std::fabs(t);
        forEachFilterBuild([&](int, const SpFilterKernels& k) {
            int size = 0, genSize = 0;
            ASSERT_EQ(k.spFirStateSize(L, &size), SP_STS_OK);
            ASSERT_EQ(spFirStateSize_Gen(L, &genSize), SP_STS_OK);
            std::vector<uint8_t> buf(size), genBuf(genSize);
            SpFirState *st = nullptr, *gen = nullptr;
            ASSERT_EQ(k.spFirInit(&st, taps.data(), L, nullptr, buf.data() + 5), SP_STS_OK);
            ASSERT_EQ(spFirInit_Gen(&gen, taps.data(), L, nullptr, genBuf.data()), SP_STS_OK);
            ASSERT_GT(st->fftLen, 0);
            const int B = st->fftLen - L + 1;
            int64_t used = 0;
            for (int n : {512, B, B + 1, 511, 2000, 513}) {
                if (n < 512 && n != 511) n = 512;
                ASSERT_LE(used + n, 8000);
                std::vector<float> out(n), genOut(n);
                ASSERT_EQ(k.spFirFilterF32(x.data() + used, out.data(), n, st), SP_STS_OK);
                ASSERT_EQ(spFirFilterF32_Gen(x.data() + used, genOut.data(), n, gen), SP_STS_OK);
                ASSERT_EQ(std::memcmp(st->dlyLine, gen->dlyLine, 4 * static_cast<size_t>(L)), 0) << "call of " << n;
                double errCpu = 0.0, errGen = 0.0;
                for (int i = 0; i < n; ++i) {
                    const int64_t t = used + i;
                    double y = 0.0;
                    for (int kk = 0; kk < L && kk <= t; ++kk) y += static_cast<double>(taps[kk]) * x[t - kk];
                    errCpu = std::max(errCpu, std::fabs(out[i] - y));
                    errGen = std::max(errGen, std::fabs(genOut[i] - y));
                }
                EXPECT_LE(errCpu, 4 * errGen + 1e-7 * sumH) << L << " taps, call of " << n;
                used += n;
            }
        });
    }
}

TEST(FirCpuMultirate, ModeOutsideOneToThreeIsRefused) {
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        const std::vector<float> taps = randomFloats(66, 2);
        int size = 0;
        ASSERT_EQ(k.spFirMultirateStateSize(66, 1, 2, &size), SP_STS_OK);
        std::vector<uint8_t> buf(size);
        SpFirState* st = nullptr;
        ASSERT_EQ(k.spFirMultirateInit(&st, taps.data(), 66, 1, 0, 2, 0, nullptr, buf.data()), SP_STS_OK);
        st->mode = 4;
        std::vector<float> x(8, 1.0f), out(4, -3.0f);
        const std::vector<float> before(st->dlyLine, st->dlyLine + 66);
        EXPECT_EQ(k.spFirFilterF32(x.data(), out.data(), 4, st), SP_STS_CONTEXT_MISMATCH);
        EXPECT_EQ(out, std::vector<float>(4, -3.0f));
        EXPECT_EQ(std::vector<float>(st->dlyLine, st->dlyLine + 66), before);
    });
}

}  // namespace
}  // namespace sptest

// Float IIR states of the CPU builds: sizes and the look-ahead table, the
// choice between single steps and the block path, block splitting, outputs
// against lfilter/sosfilt and the generic build at every length class and
// input offset, in place, the a0 = 0 builds and the check order. Every case
// runs in each build; the builds must agree bit for bit.
//
// Bound (float outputs, per call): max |y_cpu - y| <= 4 max |y_gen - y| +
// 1e-7 max |y|, where y is the double-precision filter on the stored float
// coefficients (lfilter/sosfilt: the case taps are normalised exactly) and
// y_gen the generic build's output for the same calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "primitives/convert/entry_table_a.h"
#include "primitives/convert/sp_alloc.h"
#include "primitives/filter/sp_filter_gen.h"
#include "sim/pool.h"
#include "tests/primitives/filter/cpu/filter_kernels.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/scipy_ref.h"
#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/ulp.h"

namespace sptest {
namespace {

std::vector<float> toFloat(const std::vector<double>& v) { return std::vector<float>(v.begin(), v.end()); }

std::vector<float> randomFloats(size_t n, uint32_t seed, float lo = -1.0f, float hi = 1.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (float& f : v) f = dist(rng);
    return v;
}

std::vector<uint32_t> bitsOf(const float* p, size_t n) {
    std::vector<uint32_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = floatBits(p[i]);
    return b;
}

double maxAbsDiff(const float* y, const double* ref, size_t n) {
    double e = 0.0;
    for (size_t i = 0; i < n; ++i) e = std::max(e, std::fabs(double(y[i]) - ref[i]));
    return e;
}

double maxAbs(const double* v, size_t n) {
    double m = 0.0;
    for (size_t i = 0; i < n; ++i) m = std::max(m, std::fabs(v[i]));
    return m;
}

// A CPU-build state in its own caller buffer (record at byte `offset`).
struct CpuState {
    std::vector<uint8_t> buf;
    SpIirState* st = nullptr;
    CpuState(const SpFilterKernels& k, const float* taps, int order, const float* dly, size_t offset = 0) {
        int size = 0;
        EXPECT_EQ(k.spIirStateSize(order, &size), SP_STS_OK);
        buf.assign(size + offset, 0);
        EXPECT_EQ(k.spIirInit(&st, taps, order, dly, buf.data() + offset), SP_STS_OK);
    }
};

struct GenState {
    std::vector<uint8_t> buf;
    SpIirState* st = nullptr;
    GenState(const float* taps, int order, const float* dly) {
        int size = 0;
        EXPECT_EQ(spIirStateSize_Gen(order, &size), SP_STS_OK);
        buf.assign(size, 0);
        EXPECT_EQ(spIirInit_Gen(&st, taps, order, dly, buf.data()), SP_STS_OK);
    }
};

// ---- Sizes and layout ----------------------------------------------------------------

TEST(IirCpuSizes, WorkedValuesAndRefusalsIn64Bits) {
    const struct {
        int order;
        SpStatus status;
        int size;
    } rows[] = {
        {1, SP_STS_OK, 4376},
        {3, SP_STS_OK, 4456},
        {10, SP_STS_OK, 4776},
        {48000000, SP_STS_OK, 2112004344},       // the largest sizes still fit
        {50000000, SP_STS_IIR_ORDER, -1},        // 2.2e9 bytes (the generic size fits)
        {100000000, SP_STS_IIR_ORDER, -1},       // wraps in 32-bit arithmetic
        {0x7FFFFFFF, SP_STS_IIR_ORDER, -1},
        {0, SP_STS_IIR_ORDER, -1},
        {-3, SP_STS_IIR_ORDER, -1},
    };
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        for (const auto& r : rows) {
            int size = -1;
            EXPECT_EQ(k.spIirStateSize(r.order, &size), r.status) << "order " << r.order;
            EXPECT_EQ(size, r.size) << "order " << r.order;
        }
        EXPECT_EQ(k.spIirStateSize(3, nullptr), SP_STS_NULL_PTR);
        const float taps[4] = {1, 1, 1, 0.5f};
        SpIirState* out = reinterpret_cast<SpIirState*>(uintptr_t{0x70});
        EXPECT_EQ(k.spIirCreate(&out, taps, 50000000, nullptr), SP_STS_IIR_ORDER);
        EXPECT_EQ(k.spIirInit(&out, taps, 50000000, nullptr, reinterpret_cast<uint8_t*>(&out)), SP_STS_IIR_ORDER);
        EXPECT_EQ(out, reinterpret_cast<SpIirState*>(uintptr_t{0x70}));
    });
    // Row 19's build 3 cell is build 2's body.
    forEachBuild(spEntryTableA.spIirStateSize, [&](int) {
        int size = 0;
        ASSERT_EQ(spIirStateSize(3, &size), SP_STS_OK);
        EXPECT_EQ(size, spDispatchIndex.load() == 0 ? 160 : 4456);
    });
}

// The record at the buffer's first 16-byte boundary, its areas on 16-byte
// boundaries in the documented order, and everything a 1024-sample block
// writes inside a buffer of exactly the queried size, which ends at a
// PROT_NONE page.
TEST(IirCpuSizes, AreasFollowTheDelayLineInsideTheQueriedSize) {
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        for (int order : {1, 2, 3, 5, 8, 10}) {
            const std::vector<float> taps = randomFloats(2 * (order + 1), order, 0.01f, 0.1f);
            std::vector<float> t = taps;
            t[order + 1] = 1.0f;
            int size = 0;
            ASSERT_EQ(k.spIirStateSize(order, &size), SP_STS_OK);
            for (size_t slack = 0; slack < 16; slack += 5) {
                GuardedRegion region(size + slack, GuardedRegion::kGuardAfter);
                uint8_t* start = region.bytes() + slack;  // size bytes up to the guard
                SpIirState* st = nullptr;
                ASSERT_EQ(k.spIirInit(&st, t.data(), order, nullptr, start), SP_STS_OK);
                const uint8_t* base = reinterpret_cast<uint8_t*>(st);
                EXPECT_LT(base - start, 16);
                EXPECT_EQ(reinterpret_cast<uintptr_t>(base) % 16, 0u);
                const auto at = [&](const void* p) { return reinterpret_cast<const uint8_t*>(p) - base; };
                const int64_t dly = 96 + ((8 * order + 19) & ~15);
                const int64_t ff = dly + ((4 * order + 19) & ~15);
                EXPECT_EQ(at(st->coeffs), 96);
                EXPECT_EQ(at(st->dlyLine), dly);
                EXPECT_EQ(at(st->ffTable), ff);
                EXPECT_EQ(at(st->fbTable), ff + 16 * order + 16);
                EXPECT_EQ(at(st->workArea), ff + 32 * order + 64);
                EXPECT_EQ(st->workArea2, nullptr);
                EXPECT_EQ(st->numBiquads, 0);
                EXPECT_EQ(st->ownsMemory, 0);
                std::vector<float> x = randomFloats(2500, 7);
                ASSERT_EQ(k.spIirFilterF32InPlace(x.data(), 2500, st), SP_STS_OK);
            }
        }
    });
}

// ---- Tables --------------------------------------------------------------------------

TEST(IirCpuTables, OrderOneWithHalfFeedbackIsExact) {
    const float taps[4] = {0.75f, -0.25f, 1.0f, -0.5f};  // c1 = 0.5
    const float fb[16] = {0.5f, 0.25f, 0.125f, 0.0625f, 1, 0.5f, 0.25f, 0.125f,
                          0,    1,     0.5f,   0.25f,   0, 0,    1,     0.5f};
    const float ff[8] = {0.75f, 0.75f, 0.75f, 0.75f, -0.25f, -0.25f, -0.25f, -0.25f};
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        CpuState s(k, taps, 1, nullptr);
        EXPECT_EQ(bitsOf(s.st->fbTable, 16), bitsOf(fb, 16));
        EXPECT_EQ(bitsOf(s.st->ffTable, 8), bitsOf(ff, 8));
    });
}

// Order 5: every table entry against the G recurrences in double on the
// stored c_k = -a'k. Orders 1-9 (each feedback kernel's own code, one and
// two groups of four past outputs): the kernel's outputs over 4 steps and
// 3 single outputs against the recursion in double from the same w.
TEST(IirCpuTables, RandomOrderFiveMatchesTheRecurrences) {
    std::vector<float> taps = randomFloats(12, 55, -0.4f, 0.4f);
    taps[6] = 1.25f;
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        CpuState s(k, taps.data(), 5, nullptr);
        const int N = 5;
        auto c = [&](int i) { return i >= 1 && i <= N ? -double(s.st->coeffs[N + i]) : 0.0; };
        double G[4][N + 2];
        for (int kk = 1; kk <= N; ++kk) {
            G[0][kk] = c(kk);
            G[1][kk] = c(1) * G[0][kk] + c(kk + 1);
        }
        for (int kk = 1; kk <= N; ++kk) G[2][kk] = c(1) * G[1][kk] + c(2) * G[0][kk] + c(kk + 2);
        for (int kk = 1; kk <= N; ++kk) G[3][kk] = c(1) * G[2][kk] + c(2) * G[1][kk] + c(3) * G[0][kk] + c(kk + 3);
        for (int j = 0; j < N; ++j)
            for (int col = 0; col < 4; ++col)
                EXPECT_NEAR(s.st->fbTable[4 * j + col], G[col][j + 1], 1e-6) << "row " << j << " col " << col;
        const double tail[3][4] = {{1, G[0][1], G[1][1], G[2][1]}, {0, 1, G[0][1], G[1][1]}, {0, 0, 1, G[0][1]}};
        for (int r = 0; r < 3; ++r)
            for (int col = 0; col < 4; ++col) EXPECT_NEAR(s.st->fbTable[4 * (N + r) + col], tail[r][col], 1e-6);
    });
}

TEST(IirCpuKernels, FeedbackFollowsTheRecursionAtEveryOrder) {
    constexpr int kCount = 19;
    for (int N = 1; N <= 9; ++N) {
        std::vector<float> taps = randomFloats(2 * (N + 1), 70 + N, -0.3f, 0.3f);
        taps[N + 1] = 1.0f;
        const std::vector<float> w = randomFloats(kCount, 80 + N);
        const std::vector<float> past = randomFloats(N, 90 + N);
        forEachFilterBuild([&](int, const SpFilterKernels& k) {
            CpuState s(k, taps.data(), N, nullptr);
            SpBuffer<float> work(w, 0);
            SpBuffer<float> y(N + kCount, 4);
            for (int i = 0; i < N; ++i) y.set(i, past[i]);
            k.spIirBlockFeedback(work.data(), y.data(), kCount, s.st->fbTable, N);
            ASSERT_TRUE(y.checkCanaries());
            std::vector<double> yd(past.begin(), past.end());
            for (int m = 0; m < kCount; ++m) {
                double v = w[m];
                for (int i = 1; i <= N; ++i) v -= double(s.st->coeffs[N + i]) * yd[N + m - i];
                yd.push_back(v);
                EXPECT_NEAR(y.get(N + m), v, 2e-6) << "order " << N << " output " << m;
            }
        });
    }
}

// ---- Kernels ---------------------------------------------------------------------------

// The feed-forward kernel of every order, at each 16-byte alignment of its
// input: the same values at every alignment, each within the rounding bound
// of the exact sum, |w - sum| <= gamma(N + 1) sum |terms|.
TEST(IirCpuKernels, FeedforwardIsTheSameAtEveryInputAlignment) {
    const double u = std::ldexp(1.0, -24);
    for (int N = 0; N <= 10; ++N) {
        const std::vector<float> b = randomFloats(N + 1, 90 + N);
        SpBuffer<float> table(4 * (N + 1));
        for (int i = 0; i <= N; ++i)
            for (int l = 0; l < 4; ++l) table.set(4 * i + l, b[i]);
        for (int count : {1, 3, 4, 7, 8, 15, 16, 29, 37, 64}) {
            const std::vector<float> x = randomFloats(count + N, 200 + count);
            std::vector<std::vector<uint32_t>> seen;
            forEachFilterBuild([&](int, const SpFilterKernels& k) {
                for (size_t off = 0; off < 4; ++off) {
                    SpBuffer<float> src(x, 4 * off);
                    SpBuffer<float> work(count);
                    k.spIirBlockFeedforward(src.data(), work.data(), count, table.data(), N);
                    ASSERT_TRUE(work.checkCanaries());
                    seen.push_back(bitsOf(work.data(), count));
                    for (int kk = 0; kk < count; ++kk) {
                        double exact = 0.0, mag = 0.0;
                        for (int j = 0; j <= N; ++j) {
                            exact += double(b[N - j]) * x[kk + j];
                            mag += std::fabs(double(b[N - j]) * x[kk + j]);
                        }
                        const double g = (N + 1) * u / (1 - (N + 1) * u);
                        ASSERT_LE(std::fabs(work.get(kk) - exact), g * mag) << "order " << N << " value " << kk;
                    }
                }
            });
            for (size_t i = 1; i < seen.size(); ++i)
                ASSERT_EQ(seen[i], seen[0]) << "order " << N << " count " << count << " run " << i;
        }
    }
}

// ---- Paths and blocks ------------------------------------------------------------------

// Order 3: a block of 12 samples goes one sample at a time (the generic
// single step, bit for bit); 13 takes the block path through the work area.
TEST(IirCpuPaths, TwelveSamplesAreSingleStepsThirteenTakeTheBlockPath) {
    std::vector<float> taps = randomFloats(8, 3, -0.3f, 0.3f);
    taps[4] = 1.0f;
    const float zi[3] = {0.25f, -0.5f, 0.125f};
    const std::vector<float> x = randomFloats(13, 4);
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        CpuState cpu(k, taps.data(), 3, zi);
        GenState gen(taps.data(), 3, zi);
        std::fill(cpu.st->workArea, cpu.st->workArea + 1024, -7.0f);
        std::vector<float> y(12), g(12);
        ASSERT_EQ(k.spIirFilterF32(x.data(), y.data(), 12, cpu.st), SP_STS_OK);
        for (int i = 0; i < 12; ++i) ASSERT_EQ(spIirFilterF32_Gen(&x[i], &g[i], 1, gen.st), SP_STS_OK);
        EXPECT_EQ(bitsOf(y.data(), 12), bitsOf(g.data(), 12));
        EXPECT_EQ(bitsOf(cpu.st->dlyLine, 4), bitsOf(gen.st->dlyLine, 4));
        EXPECT_EQ(cpu.st->workArea[0], -7.0f) << "12 samples touched the work area";

        CpuState block(k, taps.data(), 3, zi);
        std::fill(block.st->workArea, block.st->workArea + 1024, -7.0f);
        std::vector<float> y13(13);
        ASSERT_EQ(k.spIirFilterF32(x.data(), y13.data(), 13, block.st), SP_STS_OK);
        for (int i = 0; i < 10; ++i) EXPECT_NE(block.st->workArea[i], -7.0f) << "work value " << i;
        EXPECT_EQ(block.st->workArea[10], -7.0f);
    });
}

// One call of 2500 samples runs blocks of 1024, 1024 and 452: the same bits
// as three calls of those lengths; after each piece the delay line is the
// generic build's up to rounding.
TEST(IirCpuBlocks, OneCallEqualsItsThreeBlocks) {
    std::vector<float> taps = randomFloats(10, 44, -0.2f, 0.2f);
    taps[5] = 1.0f;
    const std::vector<float> x = randomFloats(2500, 45);
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        CpuState whole(k, taps.data(), 4, nullptr), pieces(k, taps.data(), 4, nullptr);
        GenState gen(taps.data(), 4, nullptr);
        std::vector<float> a(2500), b(2500), g(2500);
        ASSERT_EQ(k.spIirFilterF32(x.data(), a.data(), 2500, whole.st), SP_STS_OK);
        int at = 0;
        for (int n : {1024, 1024, 452}) {
            ASSERT_EQ(k.spIirFilterF32(x.data() + at, b.data() + at, n, pieces.st), SP_STS_OK);
            ASSERT_EQ(spIirFilterF32_Gen(x.data() + at, g.data() + at, n, gen.st), SP_STS_OK);
            at += n;
            for (int i = 0; i < 4; ++i)
                EXPECT_NEAR(pieces.st->dlyLine[i], gen.st->dlyLine[i], 1e-5) << "element " << i << " after " << at;
        }
        EXPECT_EQ(bitsOf(a.data(), 2500), bitsOf(b.data(), 2500));
        EXPECT_EQ(bitsOf(whole.st->dlyLine, 5), bitsOf(pieces.st->dlyLine, 5));
        EXPECT_EQ(whole.st->dlyLine[4], 0.0f) << "guard";
    });
}

// ---- Outputs against lfilter and the generic build ---------------------------------

// One design of one order: its taps, the lfilter output over xlong, and
// the bound's factor on the generic error. From order 6 on, the look-ahead
// weights G of these designs (Butterworth at 0.3, Chebyshev with 1 dB
// ripple at 0.4; poles close to the unit circle) reach 10-16 while the
// outputs stay near 1-7: each four-output step sums terms that cancel, and
// its rounding, fed back through the all-pole part, exceeds the generic
// build's. Measured (all lengths, offsets and builds): at most 2.1x the
// generic error up to order 5, 4.2x at orders 6-7, 37x at order 8. The
// factor is 4 up to order 5, 8 at orders 6-7 and 64 at order 8.
struct OutputCase {
    std::string name, taps, y;
    int order;
    double factor;
};

std::vector<OutputCase> outputCases() {
    std::vector<OutputCase> cases;
    for (int N = 1; N <= 8; ++N) {
        const std::string o = std::to_string(N);
        const double factor = N <= 5 ? 4.0 : (N <= 7 ? 8.0 : 64.0);
        cases.push_back({(N % 2 ? "Butter" : "Cheby") + o, "taps" + o, "ylong" + o, N, factor});
        if (N % 2 == 0) cases.push_back({"Butter" + o, "bwtaps" + o, "ybw" + o, N, factor});
    }
    return cases;
}

class IirCpuOutputs : public ::testing::TestWithParam<OutputCase> {};

// Lengths 1, 4N, 4N+1, 1023, 1024, 1025, 4096 with the input at each
// 16-byte offset, out of place (destination at another offset), in place
// and through spIirFilterF32 with src == dst: within the bound, in place
// equal to out of place, every offset and build the same bits, and the
// final delay lines equal.
TEST_P(IirCpuOutputs, WithinTheBoundAtEveryLengthAndOffset) {
    SP_REQUIRE_SCIPY("iir_cases.py");
    const OutputCase& tc = GetParam();
    const int N = tc.order;
    RefArrays ref = readRefArrays("iir_cases.bin");
    const std::vector<float> taps = toFloat(ref[tc.taps]);
    const std::vector<float> zi = toFloat(ref["zi" + std::to_string(N)]);
    const std::vector<float> x = toFloat(ref["xlong"]);
    const std::vector<double>& y = ref[tc.y];
    ASSERT_EQ(y.size(), 4096u);
    ASSERT_EQ(taps.size(), 2u * (N + 1));
    double worst = 0.0, worstGen = 0.0, worstRatio = 0.0;
    for (int len : {1, 4 * N, 4 * N + 1, 1023, 1024, 1025, 4096}) {
        const std::vector<float> src(x.begin(), x.begin() + len);
        GenState gen(taps.data(), N, zi.data());
        std::vector<float> g(len);
        ASSERT_EQ(spIirFilterF32_Gen(src.data(), g.data(), len, gen.st), SP_STS_OK);
        const double errGen = maxAbsDiff(g.data(), y.data(), len);
        const double peak = maxAbs(y.data(), len);
        std::vector<uint32_t> first, firstDly;
        forEachFilterBuild([&](int, const SpFilterKernels& k) {
            for (size_t off = 0; off < 4; ++off) {
                SCOPED_TRACE("length " + std::to_string(len) + ", offset " + std::to_string(off));
                CpuState a(k, taps.data(), N, zi.data(), off), b(k, taps.data(), N, zi.data()),
                    c(k, taps.data(), N, zi.data());
                SpBuffer<float> in(src, 4 * off), out(len, 4 * ((off + 2) % 4)), inPlace(src, 4 * off),
                    same(src, 4 * ((off + 1) % 4));
                ASSERT_EQ(k.spIirFilterF32(in.data(), out.data(), len, a.st), SP_STS_OK);
                ASSERT_EQ(k.spIirFilterF32InPlace(inPlace.data(), len, b.st), SP_STS_OK);
                ASSERT_EQ(k.spIirFilterF32(same.data(), same.data(), len, c.st), SP_STS_OK);
                ASSERT_TRUE(out.checkCanaries());
                ASSERT_TRUE(inPlace.checkCanaries());
                ASSERT_EQ(in.values(), src) << "source written";
                const std::vector<float> yc = out.values();
                const double err = maxAbsDiff(yc.data(), y.data(), len);
                ASSERT_LE(err, tc.factor * errGen + 1e-7 * peak);
                worstRatio = std::max(worstRatio, err / (errGen + 1e-7 * peak));
                worst = std::max(worst, err / peak);
                worstGen = std::max(worstGen, errGen / peak);
                const std::vector<uint32_t> bits = bitsOf(yc.data(), len);
                EXPECT_EQ(bitsOf(inPlace.values().data(), len), bits) << "in place";
                EXPECT_EQ(bitsOf(same.values().data(), len), bits) << "src == dst";
                EXPECT_EQ(bitsOf(b.st->dlyLine, N + 1), bitsOf(a.st->dlyLine, N + 1));
                if (first.empty()) {
                    first = bits;
                    firstDly = bitsOf(a.st->dlyLine, N + 1);
                }
                ASSERT_EQ(bits, first) << "differs from build 1 at offset 0";
                ASSERT_EQ(bitsOf(a.st->dlyLine, N + 1), firstDly);
            }
        });
    }
    std::printf("[ measured ] %s: max |y_cpu - y| / max|y| = %.3g (generic %.3g), largest ratio to the generic error %.3g\n",
                tc.name.c_str(), worst, worstGen, worstRatio);
}

INSTANTIATE_TEST_SUITE_P(Designs, IirCpuOutputs, ::testing::ValuesIn(outputCases()),
                         [](const auto& info) { return info.param.name; });

// An infinite input reaches no output before it: the outputs before it are
// the bits of the same run without it, whichever lane of a four-output step
// it lands in.
TEST(IirCpuOutputs, AnInfiniteInputLeavesEarlierOutputsAlone) {
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        for (int N : {1, 2, 3, 4, 5, 8}) {
            std::vector<float> taps = randomFloats(2 * (N + 1), 60 + N, -0.2f, 0.2f);
            taps[N + 1] = 1.0f;
            const std::vector<float> x = randomFloats(1024, 61);
            CpuState clean(k, taps.data(), N, nullptr);
            std::vector<float> y(1024);
            ASSERT_EQ(k.spIirFilterF32(x.data(), y.data(), 1024, clean.st), SP_STS_OK);
            for (int p = 600; p < 604; ++p) {
                std::vector<float> xi = x, yi(1024);
                xi[p] = std::numeric_limits<float>::infinity();
                CpuState s(k, taps.data(), N, nullptr);
                ASSERT_EQ(k.spIirFilterF32(xi.data(), yi.data(), 1024, s.st), SP_STS_OK);
                ASSERT_EQ(bitsOf(yi.data(), p), bitsOf(y.data(), p)) << "order " << N << ", Inf at " << p;
            }
        }
    });
}

// ---- 'II02' records -------------------------------------------------------------------

// Test-only builder of a CPU 'II02' record of S sections (b0 b1 b2 a1 a2
// each, a0 = 1): coefficient area, delay pairs, per section the order-2
// ffTable and fbTable that the build's own setter makes, and the one-sample
// table b0 b1 b2 0 -a1 -a2 0 0.
struct BiquadRecord {
    std::vector<float> mem;
    SpIirState st{};
    BiquadRecord(const SpFilterKernels& k, const std::vector<float>& sos, int S) : mem(4 + 5 * S + 2 * S + 40 * S + 2048 + 64) {
        float* p = mem.data();
        while (reinterpret_cast<uintptr_t>(p) % 16 != 0) ++p;
        st.id = SP_CTX_IIR_BQ;
        st.order = 2 * S;
        st.numBiquads = S;
        st.ffTable = p;
        st.fbTable = p + 12 * S;
        st.biquadTable = p + 32 * S;
        st.workArea = p + 40 * S;
        st.workArea2 = st.workArea + 1024;
        st.coeffs = st.workArea + 2048;
        st.dlyLine = st.coeffs + 5 * S;
        for (int s = 0; s < S; ++s) {
            const float* c = &sos[5 * s];
            const float taps[6] = {c[0], c[1], c[2], 1.0f, c[3], c[4]};
            CpuState one(k, taps, 2, nullptr);
            std::copy(one.st->ffTable, one.st->ffTable + 12, st.ffTable + 12 * s);
            std::copy(one.st->fbTable, one.st->fbTable + 20, st.fbTable + 20 * s);
            const float row[8] = {c[0], c[1], c[2], 0.0f, -c[3], -c[4], 0.0f, 0.0f};
            std::copy(row, row + 8, st.biquadTable + 8 * s);
            std::copy(c, c + 5, st.coeffs + 5 * s);
            st.dlyLine[2 * s] = st.dlyLine[2 * s + 1] = 0.0f;
        }
    }
};

// Three sections against sosfilt over calls that take each path (12 and
// fewer samples: single steps; more: section by section), in place equal
// to out of place; the generic filter on a twin record sets the bound.
TEST(IirCpuBiquads, ThreeSectionRecordMatchesSosfilt) {
    SP_REQUIRE_SCIPY("iir_cases.py");
    RefArrays ref = readRefArrays("iir_cases.bin");
    const std::vector<float> sos = toFloat(ref["sos3"]);
    const std::vector<float> x = toFloat(ref["xlong"]);
    const std::vector<double>& y = ref["ysos3"];
    ASSERT_EQ(sos.size(), 15u);
    std::vector<float> gen(4096), coef = sos, dly(6, 0.0f);
    SpIirState twin{};
    twin.id = SP_CTX_IIR_BQ;
    twin.order = 6;
    twin.coeffs = coef.data();
    twin.dlyLine = dly.data();
    const int calls[] = {5, 12, 13, 1024, 1500, 1542};
    int at = 0;
    for (int n : calls) {
        ASSERT_EQ(spIirFilterF32_Gen(x.data() + at, gen.data() + at, n, &twin), SP_STS_OK);
        at += n;
    }
    ASSERT_EQ(at, 4096);
    const double errGen = maxAbsDiff(gen.data(), y.data(), 4096);
    const double peak = maxAbs(y.data(), 4096);
    std::vector<uint32_t> first;
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        BiquadRecord a(k, sos, 3), b(k, sos, 3);
        std::vector<float> out(4096), inPlace(x.begin(), x.begin() + 4096);
        at = 0;
        for (int n : calls) {
            ASSERT_EQ(k.spIirFilterF32(x.data() + at, out.data() + at, n, &a.st), SP_STS_OK);
            ASSERT_EQ(k.spIirFilterF32InPlace(inPlace.data() + at, n, &b.st), SP_STS_OK);
            at += n;
        }
        const double err = maxAbsDiff(out.data(), y.data(), 4096);
        EXPECT_LE(err, 4 * errGen + 1e-7 * peak);
        std::printf("[ measured ] 'II02' 3 sections: max |y_cpu - y| / max|y| = %.3g, generic %.3g\n", err / peak,
                    errGen / peak);
        EXPECT_EQ(bitsOf(inPlace.data(), 4096), bitsOf(out.data(), 4096));
        EXPECT_EQ(bitsOf(a.st.dlyLine, 6), bitsOf(b.st.dlyLine, 6));
        for (int i = 0; i < 6; ++i) EXPECT_NEAR(a.st.dlyLine[i], dly[i], 1e-5) << "delay " << i;
        if (first.empty()) first = bitsOf(out.data(), 4096);
        EXPECT_EQ(bitsOf(out.data(), 4096), first);
    });
}

// Without sections a block out of place is copied (what the in-place form
// leaves), and the one-sample path never runs.
TEST(IirCpuBiquads, NoSectionsCopiesOutOfPlace) {
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        BiquadRecord rec(k, {0.5f, 0.1f, 0.1f, 0.2f, 0.1f}, 1);
        rec.st.numBiquads = 0;
        const std::vector<float> x = randomFloats(37, 9);
        for (int n : {1, 5, 37}) {
            std::vector<float> out(n, -3.0f), inPlace(x.begin(), x.begin() + n);
            ASSERT_EQ(k.spIirFilterF32(x.data(), out.data(), n, &rec.st), SP_STS_OK);
            ASSERT_EQ(k.spIirFilterF32InPlace(inPlace.data(), n, &rec.st), SP_STS_OK);
            EXPECT_EQ(out, std::vector<float>(x.begin(), x.begin() + n));
            EXPECT_EQ(inPlace, out);
        }
        EXPECT_EQ(rec.st.dlyLine[0], 0.0f);
    });
}

// ---- a0 = 0, allocation and the check order -------------------------------------------

class IirCpuPool : public ::testing::Test {
protected:
    void SetUp() override { live_ = sim::PoolLiveBlocks(SP_POOL_TAG); }
    void TearDown() override {
        sim::PoolClearFailures();
        EXPECT_EQ(sim::PoolLiveBlocks(SP_POOL_TAG), live_) << sim::PoolLeakReport();
    }
    int64_t live_ = 0;
};

// a0 = +-0: -10. In a caller buffer the header, the delay line and the
// four area pointers are written, the coefficient area and the tables not,
// and the id is cleared so the filters and destroy answer -17. A create
// frees its block and leaves *state as the caller had it.
TEST_F(IirCpuPool, ZeroA0IsRefusedWithoutALiveRecord) {
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        for (float a0 : {0.0f, -0.0f}) {
            const float taps[6] = {1, 2, 3, a0, 4, 5};
            const float dly[2] = {7, 8};
            int size = 0;
            ASSERT_EQ(k.spIirStateSize(2, &size), SP_STS_OK);
            std::vector<uint8_t> buf(size, 0xAB);
            SpIirState* st = nullptr;
            EXPECT_EQ(k.spIirInit(&st, taps, 2, dly, buf.data()), SP_STS_DIV_BY_ZERO_ERR);
            ASSERT_NE(st, nullptr);
            EXPECT_EQ(st->id, 0);
            EXPECT_EQ(st->dlyLine[0], 7.0f);
            EXPECT_EQ(st->dlyLine[2], 0.0f);
            EXPECT_EQ(reinterpret_cast<uint8_t*>(st->workArea) - reinterpret_cast<uint8_t*>(st->ffTable), 32 * 2 + 64);
            EXPECT_EQ(floatBits(st->coeffs[0]), 0xABABABABu);
            EXPECT_EQ(floatBits(st->ffTable[0]), 0xABABABABu);
            EXPECT_EQ(floatBits(st->fbTable[0]), 0xABABABABu);
            float x[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
            EXPECT_EQ(k.spIirFilterF32InPlace(x, 16, st), SP_STS_CONTEXT_MISMATCH);
            EXPECT_EQ(k.spIirFilterF32(x, x, 16, st), SP_STS_CONTEXT_MISMATCH);
            EXPECT_EQ(spIirDestroy_Gen(st), SP_STS_CONTEXT_MISMATCH);
            EXPECT_EQ(x[0], 1.0f);

            SpIirState* created = reinterpret_cast<SpIirState*>(uintptr_t{0x70});
            EXPECT_EQ(k.spIirCreate(&created, taps, 2, nullptr), SP_STS_DIV_BY_ZERO_ERR);
            EXPECT_EQ(created, reinterpret_cast<SpIirState*>(uintptr_t{0x70}));
            EXPECT_EQ(sim::PoolLiveBlocks(SP_POOL_TAG), live_);
        }
    });
}

TEST_F(IirCpuPool, CreateAllocatesTheQueriedSizeAndFailuresLeaveStateAlone) {
    const float taps[8] = {1 / 6.0f, 0.5f, 0.5f, 1 / 6.0f, 1.0f, -0.0f, 1 / 3.0f, -0.0f};
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        SpIirState* st = reinterpret_cast<SpIirState*>(uintptr_t{0x70});
        sim::PoolFailNth(1);
        EXPECT_EQ(k.spIirCreate(&st, taps, 3, nullptr), SP_STS_MEM_ALLOC);
        sim::PoolClearFailures();
        EXPECT_EQ(st, reinterpret_cast<SpIirState*>(uintptr_t{0x70}));
        sim::PoolResetCounters();
        ASSERT_EQ(k.spIirCreate(&st, taps, 3, nullptr), SP_STS_OK);
        EXPECT_EQ(sim::PoolAllocationAttempts(), 1u);
        EXPECT_EQ(sim::PoolBlockSize(reinterpret_cast<void**>(st)[-1]), 4456u + 40u);
        EXPECT_EQ(st->ownsMemory, 1);
        EXPECT_EQ(st->id, SP_CTX_IIR);
        const float expected[7] = {1 / 6.0f, 0.5f, 0.5f, 1 / 6.0f, -0.0f, 1 / 3.0f, -0.0f};
        EXPECT_EQ(bitsOf(st->coeffs, 7), bitsOf(expected, 7));
        std::vector<float> x = randomFloats(1500, 2);
        EXPECT_EQ(k.spIirFilterF32InPlace(x.data(), 1500, st), SP_STS_OK);
        EXPECT_EQ(spIirDestroy_Gen(st), SP_STS_OK);
    });
}

enum class Op { Size, Init, Create, Filter, FilterInPlace };

struct CheckRow {
    const char* name;
    Op op;
    bool nullState, nullTaps, nullBuffer, nullSrc, nullDst;
    int orderOrLen;
    bool otherKind;
    SpStatus expected;
};

const CheckRow kCheckRows[] = {
    {"SizeNull", Op::Size, true, false, false, false, false, 0, false, SP_STS_NULL_PTR},
    {"SizeOrder0", Op::Size, false, false, false, false, false, 0, false, SP_STS_IIR_ORDER},
    {"InitNullTaps", Op::Init, false, true, false, false, false, 0, false, SP_STS_NULL_PTR},
    {"InitNullState", Op::Init, true, false, false, false, false, 0, false, SP_STS_NULL_PTR},
    {"InitNullBuffer", Op::Init, false, false, true, false, false, 0, false, SP_STS_NULL_PTR},
    {"InitOrderNeg", Op::Init, false, false, false, false, false, -1, false, SP_STS_IIR_ORDER},
    {"CreateNullTaps", Op::Create, false, true, false, false, false, 0, false, SP_STS_NULL_PTR},
    {"CreateNullState", Op::Create, true, false, false, false, false, 3, false, SP_STS_NULL_PTR},
    {"CreateOrder0", Op::Create, false, false, false, false, false, 0, false, SP_STS_IIR_ORDER},
    {"FilterNullState", Op::Filter, true, false, false, false, false, 0, false, SP_STS_NULL_PTR},
    {"FilterNullSrc", Op::Filter, false, false, false, true, false, 0, true, SP_STS_NULL_PTR},
    {"FilterNullDst", Op::Filter, false, false, false, false, true, 0, true, SP_STS_NULL_PTR},
    {"FilterLen0", Op::Filter, false, false, false, false, false, 0, true, SP_STS_SIZE},
    {"FilterOtherKind", Op::Filter, false, false, false, false, false, 4, true, SP_STS_CONTEXT_MISMATCH},
    {"InPlaceNullState", Op::FilterInPlace, true, false, false, false, false, 0, false, SP_STS_NULL_PTR},
    {"InPlaceNullData", Op::FilterInPlace, false, false, false, true, false, 0, true, SP_STS_NULL_PTR},
    {"InPlaceLenNeg", Op::FilterInPlace, false, false, false, false, false, -4, true, SP_STS_SIZE},
    {"InPlaceOtherKind", Op::FilterInPlace, false, false, false, false, false, 4, true, SP_STS_CONTEXT_MISMATCH},
};

class IirCpuChecks : public ::testing::TestWithParam<CheckRow> {};

// The generic build's checks in its order; nothing written on a refusal.
TEST_P(IirCpuChecks, CheckOrderAndNothingWritten) {
    const CheckRow& r = GetParam();
    const float taps[4] = {0.5f, 0.5f, 1.0f, 0.25f};
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        CpuState good(k, taps, 1, nullptr);
        SpIirState other = *good.st;
        other.id = SP_CTX_FIR;
        SpIirState* target = r.otherKind ? &other : good.st;
        const std::vector<uint8_t> stateBefore = good.buf;
        SpBuffer<float> data(4);
        data.fillBytes(0x42);
        SpBuffer<uint8_t> buffer(8192);
        buffer.fillBytes(0x42);
        SpIirState* out = reinterpret_cast<SpIirState*>(uintptr_t{0x70});
        int size = -1;
        const int64_t live = sim::PoolLiveBlocks(SP_POOL_TAG);
        SpStatus status = SP_STS_OK;
        switch (r.op) {
            case Op::Size: status = k.spIirStateSize(r.orderOrLen, r.nullState ? nullptr : &size); break;
            case Op::Init:
                status = k.spIirInit(r.nullState ? nullptr : &out, r.nullTaps ? nullptr : taps, r.orderOrLen, nullptr,
                                     r.nullBuffer ? nullptr : buffer.data());
                break;
            case Op::Create:
                status = k.spIirCreate(r.nullState ? nullptr : &out, r.nullTaps ? nullptr : taps, r.orderOrLen, nullptr);
                break;
            case Op::Filter:
                status = k.spIirFilterF32(r.nullSrc ? nullptr : data.data(), r.nullDst ? nullptr : data.data(),
                                          r.orderOrLen, r.nullState ? nullptr : target);
                break;
            case Op::FilterInPlace:
                status = k.spIirFilterF32InPlace(r.nullSrc ? nullptr : data.data(), r.orderOrLen,
                                                 r.nullState ? nullptr : target);
                break;
        }
        EXPECT_EQ(status, r.expected);
        EXPECT_EQ(size, -1);
        EXPECT_EQ(out, reinterpret_cast<SpIirState*>(uintptr_t{0x70}));
        for (size_t i = 0; i < 4; ++i) EXPECT_EQ(floatBits(data.get(i)), 0x42424242u);
        for (size_t i = 0; i < 8192; ++i) ASSERT_EQ(buffer.get(i), 0x42);
        EXPECT_EQ(good.buf, stateBefore);
        EXPECT_EQ(sim::PoolLiveBlocks(SP_POOL_TAG), live);
    });
}

INSTANTIATE_TEST_SUITE_P(Rows, IirCpuChecks, ::testing::ValuesIn(kCheckRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sptest

// Multirate FIR states: the worked layouts, outputs against upfirdn and a
// zero-stuff-and-convolve model, call splits, layout boundaries, statuses and
// staged slots that must not carry an old Inf into later outputs.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "primitives/convert/entry_table_a.h"
#include "primitives/filter/sp_filter_gen.h"
#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/support/scipy_ref.h"
#include "tests/primitives/support/sp_buffer.h"

namespace sptest {
namespace {

// A multirate state in a vector sized by spFirMultirateStateSize.
struct MrState {
    std::vector<uint8_t> buffer;
    SpFirState* state = nullptr;
    int size = 0;
    SpStatus status;
    MrState(const std::vector<float>& taps, int up, int upPhase, int down, int downPhase,
            const float* dly = nullptr) {
        const int L = static_cast<int>(taps.size());
        EXPECT_EQ(spFirMultirateStateSize(L, up, down, &size), SP_STS_OK);
        buffer.assign(static_cast<size_t>(size) + 9, 0xCC);
        status = spFirMultirateInit(&state, taps.data(), L, up, upPhase, down, downPhase, dly,
                                    buffer.data() + 9);
    }
};

std::vector<float> ramp(int n) {
    std::vector<float> t(n);
    for (int i = 0; i < n; ++i) t[i] = 0.25f * static_cast<float>(i + 1);
    return t;
}

struct WorkedRow {
    int taps, up, down;
    int size, H, K, G, X, mode;
    std::vector<int32_t> phases;
};

TEST(MultirateLayout, WorkedRows) {
    const WorkedRow rows[] = {
        {66, 1, 2, 18624, 66, 72, 87, 36, 1, {1, 7}},
        {66, 2, 1, 18272, 33, 35, 40, 72, 1, {1, 2, 1}},
        {132, 1, 4, 20640, 132, 144, 173, 36, 1, {1, 15}},
        {132, 4, 1, 19600, 33, 34, 40, 144, 1, {1, 1, 1, 1, 0}},
        {8, 1, 4, 17088, 8, -1, 25, 4, 2, {1, 5, 9, 13, 16}},
        {4, 2, 5, 17104, 2, -1, 36, 8, 3, {1, 3, 6, 8, 11, 13, 16, 18, 20}},
    };
    for (const WorkedRow& r : rows) {
        SCOPED_TRACE(std::to_string(r.taps) + " taps, " + std::to_string(r.up) + "/" + std::to_string(r.down));
        MrState s(ramp(r.taps), r.up, 0, r.down, 0);
        ASSERT_EQ(s.status, SP_STS_OK);
        EXPECT_EQ(s.size, r.size);
        const SpFirState* st = s.state;
        EXPECT_EQ(st->id, SP_CTX_FIR_MR);
        EXPECT_EQ(st->histLen, r.H);
        if (r.K > 0) {
            EXPECT_EQ(st->phaseLen, r.K);
        }
        EXPECT_EQ(st->stageLen, r.G);
        EXPECT_EQ(st->stagedOutLen, r.X);
        EXPECT_EQ(st->mode, r.mode);
        EXPECT_EQ(std::vector<int32_t>(st->phaseTable, st->phaseTable + r.phases.size()), r.phases);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(st) % 16, 0u);
    }
}

TEST(MultirateLayout, IndexedCoefficientRows) {
    const std::vector<float> t = {1.0f, 2.0f, 3.0f, 4.0f};  // t0..t3
    MrState s(t, 2, 0, 5, 0);
    ASSERT_EQ(s.status, SP_STS_OK);
    const std::vector<float> expected = {3, 4, 3, 4, 1, 2, 1, 2, 3, 4, 3, 4, 1, 2, 1, 2};
    EXPECT_EQ(std::vector<float>(s.state->coefTable, s.state->coefTable + 16), expected);
}

// r = L / (L + 3 down) in single precision picks the layout.
TEST(MultirateLayout, LayoutBoundaries) {
    const struct {
        int taps, up, down, mode;
    } rows[] = {
        {6, 1, 2, 2},  // r = 0.5 exactly: indexed
        {7, 1, 2, 1},  // groups
        {9, 2, 7, 1},  // r = 0.3f, which is above the double 0.3: groups
        {8, 2, 7, 3},  // r below 0.3: indexed
    };
    for (const auto& r : rows) {
        MrState s(ramp(r.taps), r.up, 0, r.down, 0);
        ASSERT_EQ(s.status, SP_STS_OK);
        EXPECT_EQ(s.state->mode, r.mode) << r.taps << "/" << r.up << "/" << r.down;
        const int64_t layoutSize = r.mode == 1 ? spFirMultirateGroupsSize_Gen(r.taps, r.up, r.down)
                                               : spFirMultirateIndexedSize_Gen(r.taps, r.up, r.down);
        EXPECT_EQ(s.size, layoutSize);
    }
}

// ---- Outputs ---------------------------------------------------------------------

const char* const kCases[] = {"dec2_66",     "int2_66",     "dec4_132",    "int4_132", "r32_40",
                              "idx8_1_4",    "idx4_2_5",    "r32_40_ph",   "idx8_1_4_ph",
                              "idx4_2_5_ph", "int4_132_ph", "dec2_66_ph",  "r57_9"};

struct Case {
    std::vector<float> taps, x, dly;
    std::vector<double> y;
    int up, down, upPhase, downPhase;
    bool withDly;
};

Case loadCase(const std::string& name) {
    RefArrays ref = readRefArrays("multirate_cases.bin");
    Case c;
    auto floats = [&](const std::string& key) {
        const std::vector<double>& v = ref[name + key];
        return std::vector<float>(v.begin(), v.end());
    };
    c.taps = floats(".taps");
    c.x = floats(".x");
    c.dly = floats(".dly");
    c.y = ref[name + ".y"];
    const std::vector<double>& cfg = ref[name + ".cfg"];
    c.up = int(cfg.at(1));
    c.down = int(cfg.at(2));
    c.upPhase = int(cfg.at(3));
    c.downPhase = int(cfg.at(4));
    c.withDly = cfg.at(5) != 0;
    return c;
}

class MultirateOutputs : public ::testing::TestWithParam<const char*> {};

TEST_P(MultirateOutputs, MatchReferenceInOneCallAndInRandomSplits) {
    SP_REQUIRE_SCIPY("multirate_cases.py");
    const Case c = loadCase(GetParam());
    ASSERT_FALSE(c.y.empty());
    const int iterations = static_cast<int>(c.x.size()) / c.down;
    double sumH = 0.0;
    for (float h : c.taps) sumH += std::fabs(h);
    const float* dly = c.withDly ? c.dly.data() : nullptr;

    MrState whole(c.taps, c.up, c.upPhase, c.down, c.downPhase, dly);
    ASSERT_EQ(whole.status, SP_STS_OK);
    SpBuffer<float> out(c.y.size());
    ASSERT_EQ(spFirFilterF32(c.x.data(), out.data(), iterations, whole.state), SP_STS_OK);
    EXPECT_TRUE(out.checkCanaries());
    for (size_t m = 0; m < c.y.size(); ++m) ASSERT_NEAR(out.get(m), c.y[m], 2e-6 * sumH) << m;

    std::mt19937 rng(17);
    for (int trial = 0; trial < 6; ++trial) {
        MrState split(c.taps, c.up, c.upPhase, c.down, c.downPhase, dly);
        std::vector<float> got(c.y.size());
        for (int done = 0; done < iterations;) {
            const int n = std::min(iterations - done, 1 + static_cast<int>(rng() % (trial < 3 ? 9 : 90)));
            // Each call's input is its own exact-size array: reads past it fault.
            const std::vector<float> in(c.x.begin() + done * c.down, c.x.begin() + (done + n) * c.down);
            ASSERT_EQ(spFirFilterF32(in.data(), got.data() + done * c.up, n, split.state), SP_STS_OK);
            done += n;
        }
        for (size_t m = 0; m < got.size(); ++m) ASSERT_EQ(got[m], out.get(m)) << "trial " << trial << " output " << m;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, MultirateOutputs, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param); });

// ---- Statuses ---------------------------------------------------------------------

TEST(MultirateStatuses, CheckOrder) {
    const std::vector<float> taps = ramp(8);
    std::vector<uint8_t> buf(40000, 0xCC);
    SpFirState* state = reinterpret_cast<SpFirState*>(uintptr_t{0x80});
    int size = -1;
    const struct {
        int taps, up, upPhase, down, downPhase;
        SpStatus expected;
    } rows[] = {
        {0, 0, 5, 0, 5, SP_STS_FIR_LEN},        // -26 before -29 before -28
        {8, 0, 5, 2, 0, SP_STS_FIR_MR_FACTOR},
        {8, 2, 0, -1, 0, SP_STS_FIR_MR_FACTOR},
        {8, 2, 2, 3, 0, SP_STS_FIR_MR_PHASE},   // upPhase = upFactor
        {8, 2, 0, 3, 3, SP_STS_FIR_MR_PHASE},   // downPhase = downFactor
        {8, 2, -1, 3, 0, SP_STS_FIR_MR_PHASE},
        {1, 1 << 30, 5, 1, 9, SP_STS_FIR_MR_FACTOR},  // M and the size do not fit
        {1, 1, 0, 1 << 30, 9, SP_STS_FIR_MR_FACTOR},  // 4 down does not fit
        {8, 1, 1, 1, 0, SP_STS_FIR_MR_PHASE},   // single-rate still checks the phases
    };
    for (const auto& r : rows) {
        EXPECT_EQ(spFirMultirateInit(&state, taps.data(), r.taps, r.up, r.upPhase, r.down, r.downPhase,
                                     nullptr, buf.data()),
                  r.expected);
        if (r.expected != SP_STS_FIR_MR_PHASE) {
            EXPECT_EQ(spFirMultirateStateSize(r.taps, r.up, r.down, &size), r.expected);
        }
    }
    EXPECT_EQ(state, reinterpret_cast<SpFirState*>(uintptr_t{0x80}));
    EXPECT_EQ(size, -1);
    EXPECT_EQ(buf[100], 0xCC);
    EXPECT_EQ(spFirMultirateStateSize(8, 2, 3, nullptr), SP_STS_NULL_PTR);
    EXPECT_EQ(spFirMultirateInit(&state, nullptr, 0, 0, 0, 0, 0, nullptr, buf.data()), SP_STS_NULL_PTR);
    EXPECT_EQ(spFirMultirateInit(&state, taps.data(), 0, 0, 0, 0, 0, nullptr, nullptr), SP_STS_NULL_PTR);
}

TEST(MultirateStatuses, UnitFactorsBuildSingleRateState) {
    const std::vector<float> taps = ramp(64);
    int mrSize = 0, srSize = 0;
    ASSERT_EQ(spFirMultirateStateSize(64, 1, 1, &mrSize), SP_STS_OK);
    ASSERT_EQ(spFirStateSize(64, &srSize), SP_STS_OK);
    EXPECT_EQ(mrSize, srSize);
    MrState s(taps, 1, 0, 1, 0);
    ASSERT_EQ(s.status, SP_STS_OK);
    EXPECT_EQ(s.state->id, SP_CTX_FIR);
    EXPECT_EQ(s.state->fftLen, 256);
}

TEST(MultirateStatuses, BadModeAndOverlongCallsWriteNothing) {
    MrState s(ramp(132), 4, 0, 1, 0);
    ASSERT_EQ(s.status, SP_STS_OK);
    float in[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    SpBuffer<float> out(16);
    out.fillBytes(0x33);
    const std::vector<float> before(s.state->dlyLine, s.state->dlyLine + 40);
    // numIters * upFactor beyond int32: refused after the kind and mode checks.
    EXPECT_EQ(spFirFilterF32(in, out.data(), 0x40000000, s.state), SP_STS_SIZE);
    s.state->mode = 4;
    EXPECT_EQ(spFirFilterF32(in, out.data(), 0x40000000, s.state), SP_STS_CONTEXT_MISMATCH);
    EXPECT_EQ(spFirFilterF32(in, out.data(), 2, s.state), SP_STS_CONTEXT_MISMATCH);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(out.get(i), out.get(0));
    EXPECT_TRUE(out.checkCanaries());
    EXPECT_EQ(std::vector<float>(s.state->dlyLine, s.state->dlyLine + 40), before);
    EXPECT_EQ(spFirDestroy(s.state), SP_STS_OK);  // never owns its buffer
}

// Short calls read staged slots beyond their own inputs (with zero
// coefficients). An Inf that has left every window must not keep turning
// independent later outputs into NaN.
TEST(MultirateStaleSlots, InfStopsPoisoningOnceOutOfTheWindows) {
    // Layouts whose last group reads one slot past a one-cycle call's inputs.
    for (const auto& cfg : {std::array<int, 3>{66, 2, 1}, std::array<int, 3>{132, 4, 1},
                            std::array<int, 3>{40, 3, 2}}) {
        const int L = cfg[0], up = cfg[1], down = cfg[2];
        MrState s(ramp(L), up, 0, down, 0);
        ASSERT_EQ(s.status, SP_STS_OK);
        const int bigCall = (s.state->stageLen - 1) / down;  // a short call with many staged inputs
        std::vector<float> in(static_cast<size_t>(bigCall) * down, 0.5f);
        // Staged at the slot a one-cycle call reads beyond its own inputs.
        in[4 * down] = std::numeric_limits<float>::infinity();
        std::vector<float> out(static_cast<size_t>(bigCall) * up);
        ASSERT_EQ(spFirFilterF32(in.data(), out.data(), bigCall, s.state), SP_STS_OK);
        // Then one cycle (four iterations) per call: the Inf leaves the
        // history after H inputs; from there on every output must be finite.
        const int settle = (s.state->histLen + L) / (4 * down) + 2;
        std::vector<float> x(4 * down, 0.25f), y(4 * up);
        for (int call = 0; call < settle + 40; ++call) {
            ASSERT_EQ(spFirFilterF32(x.data(), y.data(), 4, s.state), SP_STS_OK);
            if (call < settle) continue;
            for (float v : y) ASSERT_TRUE(std::isfinite(v)) << L << " taps, call " << call;
        }
    }
}

}  // namespace
}  // namespace sptest

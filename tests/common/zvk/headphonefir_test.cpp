// The partitioned HRTF convolution and its crosstalk stage against a
// double-precision direct convolution, on seeded fixture tables.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "common/zvk/headphonefir.h"
#include "primitives/convert/sp_alloc.h"
#include "sim/pool.h"
#include "tests/common/zvk/fir_rig.h"

namespace zvktest {
namespace {

class HeadphoneFirTest : public ZvkTest {};

struct ConvCase {
    const char* name;
    int channels;
    bool tail;
};
void PrintTo(const ConvCase& c, std::ostream* os) { *os << c.name; }
class HeadphoneFirConvolution : public ZvkTest, public ::testing::WithParamInterface<ConvCase> {};

TEST_P(HeadphoneFirConvolution, MatchesDirectConvolution) {
    const ConvCase& c = GetParam();
    const uint32_t seed = 1000u + static_cast<uint32_t>(c.channels);
    SCOPED_TRACE("seed " + std::to_string(seed));
    FirRig rig(seed);
    rig.Select(1, 29);  // MEDIUM, 29: 3072-tap tail
    rig.fir->SetTailEnable(c.tail ? 1 : 0);
    auto in = Noise(c.channels, 22 * N, seed + 1);
    auto out = rig.Run(in, c.channels);
    auto ref = ReferenceBinaural(rig.tables, ROOMSIZE_MEDIUM, 29, c.tail, in, c.channels);
    double scale = OutputScale(rig.tables, ROOMSIZE_MEDIUM, 29, 1.0);
    EXPECT_LT(MaxError(out, ref, kCtcDelay), 2e-6 * scale);
}

INSTANTIATE_TEST_SUITE_P(Channels, HeadphoneFirConvolution,
                         ::testing::Values(ConvCase{"stereo_tail", 2, true}, ConvCase{"stereo_dry", 2, false},
                                           ConvCase{"six_tail", 6, true}, ConvCase{"six_dry", 6, false},
                                           ConvCase{"eight_tail", 8, true}, ConvCase{"eight_dry", 8, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HeadphoneFirTest, ImpulseGivesHeadThenTail) {
    FirRig rig(7);
    rig.Select(0, 40);  // LARGE, 40: 7168-tap tail
    for (int tail : {1, 0}) {
        rig.fir->SetTailEnable(tail);
        rig.fir->Reset();
        std::vector<std::vector<float>> in(8, std::vector<float>(18 * N, 0.0f));
        in[0][0] = 1.0f;
        auto out = rig.Run(in, 2);
        HrtfSelection sel = SelectHrtf(rig.tables, ROOMSIZE_LARGE, 40);
        for (int e = 0; e < 2; ++e) {
            for (int n = 0; n < 18 * N - kCtcDelay; ++n) {
                float want = 0.0f;
                if (n < kHrtfHeadLen) want = 2.0f * sel.head[e * kHrtfHeadLen + n];
                else if (tail && n - kHrtfHeadLen < sel.tailen) want = 2.0f * sel.tail[e * sel.tailen + n - kHrtfHeadLen];
                ASSERT_NEAR(out[static_cast<size_t>(e)][static_cast<size_t>(n + kCtcDelay)], want, 1e-6)
                    << "ear " << e << " frame " << n << " tail " << tail;
            }
        }
    }
}

TEST_F(HeadphoneFirTest, LfeFeedsBothFrontGroupsAndBackSideEquivalence) {
    FirRig rig(11);
    rig.Select(1, 29);
    HrtfSelection sel = SelectHrtf(rig.tables, ROOMSIZE_MEDIUM, 29);
    std::vector<std::vector<float>> lfe(8, std::vector<float>(4 * N, 0.0f));
    lfe[3][0] = 1.0f;
    auto out = rig.Run(lfe, 6);
    for (int e = 0; e < 2; ++e)
        for (int n = 0; n < kHrtfHeadLen; ++n)
            ASSERT_NEAR(out[static_cast<size_t>(e)][static_cast<size_t>(n + kCtcDelay)],
                        2.0f * (sel.head[e * kHrtfHeadLen + n] + sel.head[(2 + e) * kHrtfHeadLen + n]), 1e-6);

    // Channel 6 of 8 is rendered exactly like channel 4 of 6.
    rig.fir->Reset();
    auto x = Noise(1, 6 * N, 5)[0];
    std::vector<std::vector<float>> eight(8, std::vector<float>(x.size(), 0.0f)), six = eight;
    eight[6] = x;
    six[4] = x;
    auto a = rig.Run(eight, 8);
    rig.fir->Reset();
    auto b = rig.Run(six, 6);
    EXPECT_EQ(a, b);
}

TEST_F(HeadphoneFirTest, ResetLeavesOnlyTheCurrentBlock) {
    FirRig rig(13);
    rig.Select(1, 29);
    auto in = Noise(2, 4 * N, 3);
    rig.Run(in, 2);
    rig.fir->Reset();
    auto block = Noise(2, N, 4);
    // Only the first frames of the block reach the output through the
    // 255-frame crosstalk delay, which Reset clears too.
    auto out = rig.Run(block, 2);
    auto ref = ReferenceBinaural(rig.tables, ROOMSIZE_MEDIUM, 29, true, block, 2);
    EXPECT_LT(MaxError(out, ref, kCtcDelay), 2e-6 * OutputScale(rig.tables, ROOMSIZE_MEDIUM, 29, 1.0));
}

// Distinct fixture tables: head table j carries j + 1 in tap 0 of response
// 0, tail table g carries g + 1 in tap 0 of tail 0.
std::vector<float> MarkerTables() {
    std::vector<float> t(kHeadphoneTableFloats, 0.0f);
    int head = 0;
    for (int g = 0; g < kHrtfGroupCount; ++g) {
        float* base = t.data() + HrtfGroupOffset(g);
        const int heads = kHrtfVariantCodeCount[kHrtfTailGroups[g].variant];
        for (int i = 0; i < heads; ++i) base[i * kHrtfHeadTableFloats] = static_cast<float>(++head) / 64.0f;
        base[heads * kHrtfHeadTableFloats] = static_cast<float>(g + 1) / 64.0f;
    }
    return t;
}

struct Marker {
    float head;
    float tail;
    int tailParts;
};

Marker ExpectedMarker(int room, int code) {
    int head = 0;
    for (int g = 0; g < kHrtfGroupCount; ++g) {
        const HrtfTailGroup& grp = kHrtfTailGroups[g];
        for (int i = 0; i < kHrtfVariantCodeCount[grp.variant]; ++i) {
            ++head;
            if (grp.room == room && kHrtfVariantCodes[grp.variant][i] == code)
                return {static_cast<float>(head) / 64.0f, static_cast<float>(g + 1) / 64.0f, grp.tailen / N};
        }
    }
    return {0, 0, 0};
}

TEST_F(HeadphoneFirTest, SelectsTablesOfEveryRoomAndCode) {
    std::vector<float> data = MarkerTables();
    HeadphoneTables tables{data.data()};
    CHeadphoneFir* fir = new (NonPagedPoolNx, kTestTag) CHeadphoneFir(&tables);
    const int roomOf[] = {ROOMSIZE_LARGE, ROOMSIZE_MEDIUM, ROOMSIZE_SMALL};
    Channels in(2, N), out(2, N);
    for (int room : {0, 1, 2, 7, -1}) {
        for (int code : {24, 25, 29, 30, 31, 34, 35, 39, 40, 26, -1}) {
            SCOPED_TRACE("room " + std::to_string(room) + " code " + std::to_string(code));
            // Several calls before a block: only the last pair is loaded.
            fir->SetRoomAndAngle(2, 31);
            fir->SetRoomAndAngle(room, code);
            AtDispatch([&] { fir->Process(out.ptr(), 2, in.ptr(), 2, N); });
            EXPECT_EQ(fir->ReloadPending(), 0);
            fir->Reset();
            Marker want = ExpectedMarker(room >= 0 && room <= 2 ? roomOf[room] : ROOMSIZE_MEDIUM,
                                         code == 26 || code == -1 ? 24 : code);
            EXPECT_EQ(fir->TailParts(), want.tailParts);
            // Impulse: head marker at frame 255, tail marker 1024 frames on.
            in.data[0][0] = 1.0f;
            std::vector<float> seen;
            for (int b = 0; b < 3; ++b) {
                AtDispatch([&] { fir->Process(out.ptr(), 2, in.ptr(), 2, N); });
                seen.push_back(out.data[0][kCtcDelay]);
                in.data[0][0] = 0.0f;
            }
            EXPECT_FLOAT_EQ(seen[0], 2.0f * want.head);
            EXPECT_FLOAT_EQ(seen[2], 2.0f * want.tail);
        }
    }
    delete fir;
}

TEST_F(HeadphoneFirTest, SpecificSelections) {
    FirRig rig(17);
    rig.fir->SetRoomAndAngle(0, 40);
    EXPECT_EQ(rig.fir->Room(), ROOMSIZE_LARGE);
    EXPECT_EQ(rig.fir->Code(), 40);
    EXPECT_EQ(rig.fir->TailEnabled(), 1);
    rig.Select(0, 40);
    EXPECT_EQ(rig.fir->TailParts(), 14);
    rig.fir->SetRoomAndAngle(7, 26);
    EXPECT_EQ(rig.fir->Room(), ROOMSIZE_MEDIUM);
    EXPECT_EQ(rig.fir->Code(), 24);
}

TEST_F(HeadphoneFirTest, ConstructionDefaults) {
    FirRig rig(19);
    EXPECT_EQ(rig.fir->Room(), ROOMSIZE_SMALL);
    EXPECT_EQ(rig.fir->Code(), 29);
    EXPECT_EQ(rig.fir->TailEnabled(), 0);
    EXPECT_EQ(rig.fir->ReloadPending(), 0);
    EXPECT_EQ(rig.fir->TailParts(), 6);
    EXPECT_EQ(rig.fir->ActiveCtcAngle(), 0);
    EXPECT_FALSE(rig.fir->CtcFiltering());
}

// ---- crossfade ---------------------------------------------------------------

struct FadeCase {
    const char* name;
    int fromRoom, fromCode, toRoom, toCode;
};
void PrintTo(const FadeCase& c, std::ostream* os) { *os << c.name; }
class HeadphoneFirCrossfade : public ZvkTest, public ::testing::WithParamInterface<FadeCase> {};

TEST_P(HeadphoneFirCrossfade, ReloadBlockFadesAndNextBlockIsNew) {
    const FadeCase& c = GetParam();
    FirRig rig(23);
    rig.Select(c.fromRoom, c.fromCode);
    const int blocks = 20, reload = 15;
    auto in = Noise(2, blocks * N, 29);
    auto out = rig.Run(in, 2, [&](int b) {
        if (b == reload) rig.fir->SetRoomAndAngle(c.toRoom, c.toCode);
    });
    const int roomOf[] = {ROOMSIZE_LARGE, ROOMSIZE_MEDIUM, ROOMSIZE_SMALL};
    auto oldRef = ReferenceBinaural(rig.tables, roomOf[c.fromRoom], c.fromCode, true, in, 2);
    auto newRef = ReferenceBinaural(rig.tables, roomOf[c.toRoom], c.toCode, true, in, 2);
    // Expected stage output: old before the reload block, the per-frame
    // blend within it, new after it; the crosstalk bypass delays it.
    std::vector<std::vector<double>> want = oldRef;
    for (int e = 0; e < 2; ++e) {
        for (int n = reload * N; n < blocks * N; ++n) {
            const int i = n - reload * N;
            double v = newRef[static_cast<size_t>(e)][static_cast<size_t>(n)];
            if (i < N) {
                float a = static_cast<float>(N - i) / static_cast<float>(N);
                float b = static_cast<float>(i) / static_cast<float>(N);
                v = a * oldRef[static_cast<size_t>(e)][static_cast<size_t>(n)] + b * v;
            }
            want[static_cast<size_t>(e)][static_cast<size_t>(n)] = v;
        }
    }
    double scale = std::max(OutputScale(rig.tables, roomOf[c.fromRoom], c.fromCode, 1.0),
                            OutputScale(rig.tables, roomOf[c.toRoom], c.toCode, 1.0));
    EXPECT_LT(MaxError(out, want, kCtcDelay), 2e-6 * scale);
}

// Tail lengths 6 -> 14, 14 -> 6 and 10 -> 12 partitions: the tail history
// must stay in order across a change of its length.
INSTANTIATE_TEST_SUITE_P(TailLengths, HeadphoneFirCrossfade,
                         ::testing::Values(FadeCase{"T6_to_T14", 1, 29, 0, 29},
                                           FadeCase{"T14_to_T6", 0, 29, 1, 29},
                                           FadeCase{"T10_to_T12", 1, 30, 1, 31}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HeadphoneFirTest, WithoutScratchSwitchesAtTheBlockBoundary) {
    FirRig rig(31);
    rig.Select(1, 29);
    const int blocks = 8, reload = 5;
    auto in = Noise(2, blocks * N, 37);
    auto out = rig.Run(in, 2, [&](int b) {
        if (b == reload) {
            rig.fir->SetRoomAndAngle(1, 34);
            sim::PoolFailTag(MakePoolTag("HFIR"));
        }
        if (b == reload + 1) sim::PoolClearFailures();
    });
    auto oldRef = ReferenceBinaural(rig.tables, ROOMSIZE_MEDIUM, 29, true, in, 2);
    auto newRef = ReferenceBinaural(rig.tables, ROOMSIZE_MEDIUM, 34, true, in, 2);
    auto want = oldRef;
    for (int e = 0; e < 2; ++e)
        for (int n = (reload + 1) * N; n < blocks * N; ++n)
            want[static_cast<size_t>(e)][static_cast<size_t>(n)] = newRef[static_cast<size_t>(e)][static_cast<size_t>(n)];
    EXPECT_LT(MaxError(out, want, kCtcDelay), 2e-6 * OutputScale(rig.tables, ROOMSIZE_MEDIUM, 29, 1.0));
    EXPECT_EQ(sim::PoolLiveBlocks(MakePoolTag("HFIR")), 0);
}

TEST_F(HeadphoneFirTest, FailedFftSpecLeavesTheEngineNotReady) {
    std::vector<float> data = RandomTables(41);
    HeadphoneTables tables{data.data()};
    sim::PoolFailTag(SP_POOL_TAG);
    CHeadphoneFir* fir = new (NonPagedPoolNx, kTestTag) CHeadphoneFir(&tables);
    sim::PoolClearFailures();
    ASSERT_NE(fir, nullptr);
    EXPECT_FALSE(fir->IsReady());
    EXPECT_EQ(fir->TailParts(), -1);
    delete fir;
}

// ---- crosstalk stage ---------------------------------------------------------

std::vector<double> DirectConv(const float* taps, const std::vector<float>& x) {
    std::vector<double> y(x.size(), 0.0);
    for (size_t n = 0; n < x.size(); ++n)
        for (size_t k = 0; k < static_cast<size_t>(kCtcTaps) && k <= n; ++k)
            y[n] += static_cast<double>(taps[k]) * x[n - k];
    return y;
}

// Runs blocks of (l, r) through ProcessCtc.
std::vector<std::vector<float>> RunCtc(CHeadphoneFir* fir, const std::vector<float>& l, const std::vector<float>& r) {
    std::vector<std::vector<float>> out(2, std::vector<float>(l.size()));
    Channels io(2, N);
    for (size_t b = 0; b * N < l.size(); ++b) {
        std::copy_n(l.begin() + static_cast<long>(b * N), N, io.data[0].begin());
        std::copy_n(r.begin() + static_cast<long>(b * N), N, io.data[1].begin());
        AtDispatch([&] { fir->ProcessCtc(io.ptr(), 2, io.ptr(), 2, N); });
        for (int e = 0; e < 2; ++e)
            std::copy_n(io.data[static_cast<size_t>(e)].begin(), N, out[static_cast<size_t>(e)].begin() + static_cast<long>(b * N));
    }
    return out;
}

TEST_F(HeadphoneFirTest, CtcBypassDelays255) {
    FirRig rig(43);
    std::vector<float> l(2 * N, 0.0f), r(2 * N, 0.0f);
    l[0] = 1.0f;
    r[10] = 0.5f;
    auto out = RunCtc(rig.fir, l, r);
    for (int n = 0; n < 2 * N; ++n) {
        EXPECT_EQ(out[0][static_cast<size_t>(n)], n == 255 ? 1.0f : 0.0f) << n;
        EXPECT_EQ(out[1][static_cast<size_t>(n)], n == 265 ? 0.5f : 0.0f) << n;
    }
}

TEST_F(HeadphoneFirTest, CtcEveryAngleMatchesTheShufflerModel) {
    FirRig rig(47);
    for (int angle : kCtcAngles) {
        SCOPED_TRACE("angle " + std::to_string(angle));
        ASSERT_EQ(rig.fir->SetCTCAngle(angle), 1);
        EXPECT_TRUE(rig.fir->CtcFiltering());
        const float* a = SelectCtcPair(rig.tables, angle);
        const float* b = a + kCtcTaps;
        auto noise = Noise(2, 3 * N, static_cast<uint32_t>(angle));
        // Only R: out0 = B*R, out1 = A*R.
        std::vector<float> zero(3 * N, 0.0f);
        auto out = RunCtc(rig.fir, zero, noise[1]);
        auto ba = DirectConv(b, noise[1]), aa = DirectConv(a, noise[1]);
        for (size_t n = 0; n < zero.size(); ++n) {
            ASSERT_NEAR(out[0][n], ba[n], 1e-5) << n;
            ASSERT_NEAR(out[1][n], aa[n], 1e-5) << n;
        }
    }
    // Equal inputs: (A + B) * in on both outputs, history continuing.
    rig.fir->SetCTCAngle(7);
    rig.fir->SetCTCAngle(20);
    const float* a = SelectCtcPair(rig.tables, 20);
    std::vector<float> sum(kCtcTaps);
    for (int k = 0; k < kCtcTaps; ++k) sum[static_cast<size_t>(k)] = a[k] + a[k + kCtcTaps];
    auto x = Noise(1, 3 * N, 53)[0];
    auto out = RunCtc(rig.fir, x, x);
    auto want = DirectConv(sum.data(), x);
    for (size_t n = 0; n < x.size(); ++n) {
        ASSERT_NEAR(out[0][n], want[n], 1e-5);
        ASSERT_NEAR(out[1][n], want[n], 1e-5);
    }
}

TEST_F(HeadphoneFirTest, CtcRepeatedAngleKeepsHistoryAndOthersBypass) {
    FirRig rig(59);
    rig.fir->SetCTCAngle(20);
    auto x = Noise(2, 2 * N, 61);
    std::vector<float> firstL(x[0].begin(), x[0].begin() + N), firstR(x[1].begin(), x[1].begin() + N);
    std::vector<float> secondL(x[0].begin() + N, x[0].end()), secondR(x[1].begin() + N, x[1].end());
    auto whole = RunCtc(rig.fir, x[0], x[1]);
    rig.fir->SetCTCAngle(0);
    rig.fir->SetCTCAngle(20);
    RunCtc(rig.fir, firstL, firstR);
    rig.fir->SetCTCAngle(20);  // unchanged: the history continues
    auto second = RunCtc(rig.fir, secondL, secondR);
    for (size_t n = 0; n < static_cast<size_t>(N); ++n) EXPECT_EQ(second[0][n], whole[0][n + N]);

    // 7 is no angle of a pair: bypass, 7 in force; 0 afterwards rebuilds
    // and starts the bypass from silence.
    rig.fir->SetCTCAngle(7);
    EXPECT_EQ(rig.fir->ActiveCtcAngle(), 7);
    EXPECT_FALSE(rig.fir->CtcFiltering());
    std::vector<float> imp(N, 0.0f), none(N, 0.0f);
    imp[400] = 1.0f;
    RunCtc(rig.fir, imp, none);
    rig.fir->SetCTCAngle(0);
    EXPECT_EQ(rig.fir->ActiveCtcAngle(), 0);
    auto after = RunCtc(rig.fir, none, none);
    for (float v : after[0]) EXPECT_EQ(v, 0.0f);
}

TEST_F(HeadphoneFirTest, CtcFilterCreateFailureBypasses) {
    FirRig rig(67);
    sim::PoolFailTag(SP_POOL_TAG);
    rig.fir->SetCTCAngle(20);
    sim::PoolClearFailures();
    EXPECT_EQ(rig.fir->ActiveCtcAngle(), 20);
    EXPECT_FALSE(rig.fir->CtcFiltering());
    std::vector<float> l(N, 0.0f), r(N, 0.0f);
    l[3] = 1.0f;
    auto out = RunCtc(rig.fir, l, r);
    EXPECT_EQ(out[0][258], 1.0f);
}

}  // namespace
}  // namespace zvktest

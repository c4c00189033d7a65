// The headphone virtualizer's control wrapper: angle codes, the setters'
// effect on the engine, the fold-down bypass, the formats the engine
// serves, and the node's creation sequence end to end on the real tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "common/zvk/audioapp.h"
#include "common/zvk/zvkheadphone.h"
#include "primitives/convert/sp_alloc.h"
#include "sim/pool.h"
#include "tests/common/zvk/zvk_test_support.h"

namespace zvktest {
namespace {

constexpr ULONG kNodeTag = MakePoolTag("QIRN");

WAVEFORMATEX Format(int channels, int rate) {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    f.nChannels = static_cast<WORD>(channels);
    f.nSamplesPerSec = static_cast<DWORD>(rate);
    f.nBlockAlign = static_cast<WORD>(channels * 4);
    f.nAvgBytesPerSec = static_cast<DWORD>(rate) * f.nBlockAlign;
    f.wBitsPerSample = 32;
    return f;
}

class ZvkHeadphoneTest : public ZvkTest {
protected:
    CZvkHeadphone* Make() { return new (NonPagedPoolNx, kNodeTag) CZvkHeadphone(); }
    void Process(CZvkHeadphone* hp, Channels& ch, int frames) {
        AtDispatch([&] { hp->Process(ch.ptr(), frames); });
    }
    const CHeadphoneFir& Fir(CZvkHeadphone* hp) { return hp->Engine()->Fir(); }
};

TEST_F(ZvkHeadphoneTest, MapAngleCodeRows) {
    struct Row {
        int variant, angle, code;
    } rows[] = {
        {0, 0, 24}, {0, 25, 24}, {1, 0, 25}, {1, 25, 25}, {0, 1, 29}, {0, 30, 29}, {1, 1, 30},
        {1, 30, 30}, {0, 2, 34}, {0, 35, 34}, {1, 2, 35}, {1, 35, 35}, {0, 3, 39}, {0, 40, 39},
        {1, 3, 40},  {1, 40, 40}, {0, 31, 31}, {1, 31, 31}, {0, 5, -1}, {1, 24, -1}, {0, 24, -1},
        {0, 29, -1}, {0, 34, -1}, {0, 39, -1}, {2, 3, 40},  {0, -1, -1}, {0, 4, -1},
    };
    for (const Row& r : rows)
        EXPECT_EQ(CZvkHeadphone::MapAngleCode(r.variant, r.angle), r.code) << r.variant << "," << r.angle;
}

// The node's creation sequence and later setter calls, step by step, with
// the engine's state after each.
TEST_F(ZvkHeadphoneTest, SettersReachTheEngineOfTheActiveSet) {
    CZvkHeadphone* hp = Make();
    ASSERT_NE(hp->Engine(), nullptr);
    const WAVEFORMATEX stereo = Format(2, 44100);
    struct Step {
        const char* what;
        std::function<void()> call;
        int room, code, reload, tail, ctc;
    } steps[] = {
        // The engine keeps its own defaults until a set is applied.
        {"SetFormat", [&] { EXPECT_EQ(hp->SetFormat(&stereo), 1); }, ROOMSIZE_SMALL, 29, 0, 0, 0},
        {"SetEnable(1)", [&] { hp->SetEnable(1); }, ROOMSIZE_SMALL, 29, 0, 0, 0},
        {"SetSpeakerMode(0)", [&] { hp->SetSpeakerMode(0); }, ROOMSIZE_SMALL, 29, 0, 0, 0},
        {"SetHeadphoneAngle(3)", [&] { hp->SetHeadphoneAngle(3); }, ROOMSIZE_MEDIUM, 39, 1, 1, 0},
        {"SetSpeakerAngle(3)", [&] { hp->SetSpeakerAngle(3); }, ROOMSIZE_MEDIUM, 39, 1, 1, 0},
        {"SetCTCAngle(0)", [&] { hp->SetCTCAngle(0); }, ROOMSIZE_MEDIUM, 39, 1, 1, 0},
        {"SetTailEnable(0)", [&] { hp->SetTailEnable(0); }, ROOMSIZE_MEDIUM, 39, 1, 0, 0},
        // An apply turns the tail on whatever the wrapper holds.
        {"SetHeadphoneRoom(0)", [&] { hp->SetHeadphoneRoom(0); }, ROOMSIZE_LARGE, 39, 1, 1, 0},
        {"SetTailEnable(0) again", [&] { hp->SetTailEnable(0); }, ROOMSIZE_LARGE, 39, 1, 0, 0},
        {"SetHeadphoneVariant(1)", [&] { hp->SetHeadphoneVariant(1); }, ROOMSIZE_LARGE, 40, 1, 1, 0},
        {"SetSpeakerRoom(2), headphone mode", [&] { hp->SetSpeakerRoom(2); }, ROOMSIZE_LARGE, 40, 1, 1, 0},
        {"SetCTCAngle(4): 30, headphone mode", [&] { hp->SetCTCAngle(4); }, ROOMSIZE_LARGE, 40, 1, 1, 0},
        {"SetSpeakerMode(1)", [&] { hp->SetSpeakerMode(1); }, ROOMSIZE_LARGE, 40, 1, 1, 30},
        {"SetHeadphoneRoom(1), speaker mode", [&] { hp->SetHeadphoneRoom(1); }, ROOMSIZE_LARGE, 40, 1, 1, 30},
        {"SetSpeakerVariant(0)", [&] { hp->SetSpeakerVariant(0); }, ROOMSIZE_SMALL, 39, 1, 1, 30},
        {"SetSpeakerAngle(31)", [&] { hp->SetSpeakerAngle(31); }, ROOMSIZE_SMALL, 31, 1, 1, 30},
        {"SetSpeakerAngle(5): code -1 reaches the engine as 24", [&] { hp->SetSpeakerAngle(5); }, ROOMSIZE_SMALL, 24, 1, 1, 30},
        {"SetCTCAngle(7)", [&] { hp->SetCTCAngle(7); }, ROOMSIZE_SMALL, 24, 1, 1, 7},
        // Leaving speaker mode applies only the crosstalk angle 0.
        {"SetSpeakerMode(0)", [&] { hp->SetSpeakerMode(0); }, ROOMSIZE_SMALL, 24, 1, 1, 0},
        {"SetHeadphoneAngle(2)", [&] { hp->SetHeadphoneAngle(2); }, ROOMSIZE_MEDIUM, 35, 1, 1, 0},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        s.call();
        const CHeadphoneFir& fir = Fir(hp);
        EXPECT_EQ(fir.Room(), s.room);
        EXPECT_EQ(fir.Code(), s.code);
        EXPECT_EQ(fir.ReloadPending(), s.reload);
        EXPECT_EQ(fir.TailEnabled(), s.tail);
        EXPECT_EQ(fir.ActiveCtcAngle(), s.ctc);
    }
    EXPECT_EQ(hp->GetSpeakerMode(), 0);
    EXPECT_EQ(hp->GetTailEnable(), 0);
    EXPECT_EQ(hp->GetHeadphoneRoom(), 1);
    EXPECT_EQ(hp->GetHeadphoneVariant(), 1);
    EXPECT_EQ(hp->GetSpeakerRoom(), 2);
    EXPECT_EQ(hp->GetSpeakerVariant(), 0);
    EXPECT_FALSE(Fir(hp).CtcFiltering());
    delete hp;
}

TEST_F(ZvkHeadphoneTest, BypassFoldsWorkedValuesAndLeavesOtherChannels) {
    CZvkHeadphone* hp = Make();
    struct Case {
        int channels;
        std::vector<float> frame;
        float left, right;
    } cases[] = {
        {6, {1, 0, 0, 0, 0, 0}, 0.5f, 0.0f},
        {6, {0, 0, 1, 0, 0, 0}, 0.3535f, 0.3535f},
        {6, {0, 0, 0, 1, 0, 0}, 0.5f, 0.5f},
        {8, {0, 0, 0, 0, 0, 0, 1, 0}, 0.5f, 0.0f},
        {8, {0, 0, 0, 0, 0, 0, 0, 1}, 0.0f, 0.5f},
        {6, {0, 0, 0, 0, 1, 1}, 0.5f, 0.5f},
        {2, {0.25f, -0.75f}, 0.25f, -0.75f},
        {1, {0.125f}, 0.125f, 0.0f},
    };
    for (const Case& c : cases) {
        WAVEFORMATEX f = Format(c.channels, 44100);
        hp->SetFormat(&f);
        Channels ch(8, 16);
        for (int k = 0; k < 8; ++k)
            for (float& v : ch.data[static_cast<size_t>(k)])
                v = k < c.channels ? c.frame[static_cast<size_t>(k)] : 9.0f;
        auto before = ch.data;
        Process(hp, ch, 16);
        for (int n = 0; n < 16; ++n) {
            EXPECT_NEAR(ch.data[0][static_cast<size_t>(n)], c.left, 1e-4) << c.channels;
            if (c.channels > 1) {
                EXPECT_NEAR(ch.data[1][static_cast<size_t>(n)], c.right, 1e-4) << c.channels;
            }
        }
        for (int k = 2; k < 8; ++k) EXPECT_EQ(ch.data[static_cast<size_t>(k)], before[static_cast<size_t>(k)]);
        if (c.channels == 1) {
            EXPECT_EQ(ch.data[1], before[1]);
        }
    }
    delete hp;
}

TEST_F(ZvkHeadphoneTest, ThreeToFiveChannelsFoldMissingChannelsAsSilence) {
    CZvkHeadphone* hp = Make();
    for (int channels : {3, 4, 5}) {
        WAVEFORMATEX f = Format(channels, 48000);
        EXPECT_EQ(hp->SetFormat(&f), 0);
        hp->SetEnable(1);
        Channels ch(8, 8);
        for (int k = 0; k < 8; ++k)
            for (float& v : ch.data[static_cast<size_t>(k)]) v = k < channels ? 0.0f : 7.0f;
        ch.data[0][0] = 1.0f;
        Process(hp, ch, 8);
        EXPECT_FLOAT_EQ(ch.data[0][0], 0.5f) << channels;
        EXPECT_FLOAT_EQ(ch.data[1][0], 0.0f) << channels;
        EXPECT_FLOAT_EQ(ch.data[0][1], 0.0f) << channels;
    }
    delete hp;
}

TEST_F(ZvkHeadphoneTest, WithoutEngineSettersOnlyStoreAndProcessBypasses) {
    sim::PoolFailTag(MakePoolTag("ZVKP"));
    CZvkHeadphone* hp = Make();
    sim::PoolClearFailures();
    ASSERT_NE(hp, nullptr);
    EXPECT_EQ(hp->Engine(), nullptr);
    hp->SetEnable(1);
    hp->SetSpeakerMode(1);
    hp->SetHeadphoneRoom(2);
    hp->SetSpeakerRoom(0);
    hp->SetHeadphoneVariant(1);
    hp->SetSpeakerVariant(1);
    hp->SetTailEnable(1);
    hp->SetCTCAngle(2);
    EXPECT_EQ(hp->GetSpeakerMode(), 1);
    EXPECT_EQ(hp->GetHeadphoneRoom(), 2);
    EXPECT_EQ(hp->GetSpeakerRoom(), 0);
    EXPECT_EQ(hp->GetHeadphoneVariant(), 1);
    EXPECT_EQ(hp->GetSpeakerVariant(), 1);
    EXPECT_EQ(hp->GetTailEnable(), 1);
    WAVEFORMATEX f = Format(6, 44100);
    EXPECT_EQ(hp->SetFormat(&f), -1);
    Channels ch(8, 4);
    for (auto& v : ch.data[3]) v = 1.0f;
    Process(hp, ch, 4);
    EXPECT_FLOAT_EQ(ch.data[0][0], 0.5f);
    EXPECT_FLOAT_EQ(ch.data[1][3], 0.5f);
    delete hp;
}

// The engine runs for 2, 6 or 8 channels at 14701 to 132299 Hz; anything
// else bypasses. With a constant input the engine's first frames are 0.
TEST_F(ZvkHeadphoneTest, ServedFormatsRunTheEngineOthersBypass) {
    CZvkHeadphone* hp = Make();
    hp->SetEnable(1);
    const int rates[] = {8000, 11025, 14700, 14701, 22050, 44100, 48000, 96000, 132299, 132300, 192000};
    for (int channels : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 65535}) {
        for (int rate : rates) {
            SCOPED_TRACE(std::to_string(channels) + " channels at " + std::to_string(rate));
            const bool served = (channels == 2 || channels == 6 || channels == 8) && rate >= 14701 && rate <= 132299;
            WAVEFORMATEX f = Format(channels, rate);
            EXPECT_EQ(hp->SetFormat(&f), served ? 1 : 0);
            Channels ch(8, 200);
            for (auto& c : ch.data)
                for (float& v : c) v = 0.25f;
            Process(hp, ch, 200);
            EXPECT_EQ(ch.data[0][0] == 0.0f, served);
            EXPECT_EQ(ch.data[0][199] == 0.0f, served);
            for (int k = 2; k < 8; ++k) EXPECT_EQ(ch.data[static_cast<size_t>(k)][0], 0.25f);
        }
    }
    delete hp;
}

TEST_F(ZvkHeadphoneTest, ProcessBeforeSetFormatBypasses) {
    CZvkHeadphone* hp = Make();
    hp->SetEnable(1);
    EXPECT_EQ(hp->SetFormat(nullptr), 0);
    Channels ch(8, 64);
    ch.data[4][0] = 1.0f;  // surround left, folded at 0.5
    Process(hp, ch, 64);
    EXPECT_FLOAT_EQ(ch.data[0][0], 0.5f);
    delete hp;
}

TEST_F(ZvkHeadphoneTest, StereoAt48kPlaysTheEngineOneBlockLate) {
    CZvkHeadphone* hp = Make();
    WAVEFORMATEX f = Format(2, 48000);
    ASSERT_EQ(hp->SetFormat(&f), 1);
    hp->SetEnable(1);
    Channels ch(8, 1024);
    for (int n = 0; n < 1024; ++n) ch.data[0][static_cast<size_t>(n)] = std::sin(0.05f * static_cast<float>(n));
    Process(hp, ch, 1024);
    for (int n = 0; n < 512; ++n) ASSERT_EQ(ch.data[0][static_cast<size_t>(n)], 0.0f);
    double energy = 0;
    for (int n = 512; n < 1024; ++n) energy += ch.data[0][static_cast<size_t>(n)] * ch.data[0][static_cast<size_t>(n)];
    EXPECT_GT(energy, 0.0);
    delete hp;
}

// One NaN, +Inf or -Inf fed to the engine, at the rates with and without
// its rate converters: every output stays finite and is the clean
// stream's (the same input with silence there) again at the latest one
// engine block plus the engine's one-block latency after it.
TEST_F(ZvkHeadphoneTest, NonFiniteSampleLeavesNoTrace) {
    const float bad[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity()};
    struct Case {
        int rate, channels, block;  // block: the engine's block at the stream rate
    } cases[] = {{44100, 8, 512}, {48000, 8, 512}, {96000, 8, 1024}, {48000, 2, 512}};
    for (const Case& c : cases) {
        for (float value : bad) {
            SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " channels, " +
                         std::to_string(value));
            const int call = c.rate / 100;
            const int frames = 60 * call;  // 0.6 s
            const int badAt = 7 * call + 5;
            const int channel = c.channels - 1;
            std::vector<std::vector<float>> outputs[2];
            for (int run = 0; run < 2; ++run) {
                CZvkHeadphone* hp = Make();
                WAVEFORMATEX f = Format(c.channels, c.rate);
                ASSERT_EQ(hp->SetFormat(&f), 1);
                hp->SetEnable(1);
                outputs[run].assign(2, std::vector<float>(static_cast<size_t>(frames)));
                for (int done = 0; done < frames; done += call) {
                    Channels ch(8, call);
                    for (int k = 0; k < c.channels; ++k)
                        for (int n = 0; n < call; ++n)
                            ch.data[static_cast<size_t>(k)][static_cast<size_t>(n)] =
                                0.1f * std::sin(0.003f * static_cast<float>((k + 1) * (done + n)));
                    if (run == 0 && badAt >= done && badAt < done + call)
                        ch.data[static_cast<size_t>(channel)][static_cast<size_t>(badAt - done)] = value;
                    if (run == 1 && badAt >= done && badAt < done + call)
                        ch.data[static_cast<size_t>(channel)][static_cast<size_t>(badAt - done)] = 0.0f;
                    Process(hp, ch, call);
                    for (int e = 0; e < 2; ++e)
                        std::copy_n(ch.data[static_cast<size_t>(e)].begin(), call,
                                    outputs[run][static_cast<size_t>(e)].begin() + done);
                }
                delete hp;
            }
            const int again = badAt + 2 * c.block;
            for (int e = 0; e < 2; ++e) {
                for (int n = 0; n < frames; ++n) {
                    const float got = outputs[0][static_cast<size_t>(e)][static_cast<size_t>(n)];
                    ASSERT_TRUE(std::isfinite(got)) << "output " << e << " frame " << n;
                    if (n >= again) {
                        ASSERT_EQ(got, outputs[1][static_cast<size_t>(e)][static_cast<size_t>(n)])
                            << "output " << e << " frame " << n;
                    }
                }
            }
        }
    }
}

TEST_F(ZvkHeadphoneTest, FailedFormatAllocationBypasses) {
    CZvkHeadphone* hp = Make();
    hp->SetEnable(1);
    WAVEFORMATEX f = Format(6, 96000);
    sim::PoolFailNth(5);
    EXPECT_EQ(hp->SetFormat(&f), 0);
    sim::PoolClearFailures();
    Channels ch(8, 8);
    ch.data[3][0] = 1.0f;
    Process(hp, ch, 8);
    EXPECT_FLOAT_EQ(ch.data[0][0], 0.5f);
    EXPECT_FLOAT_EQ(ch.data[1][0], 0.5f);
    delete hp;
}

TEST_F(ZvkHeadphoneTest, FailedFftSpecBypasses) {
    sim::PoolFailTag(SP_POOL_TAG);
    CZvkHeadphone* hp = Make();
    sim::PoolClearFailures();
    ASSERT_NE(hp->Engine(), nullptr);
    WAVEFORMATEX f = Format(2, 44100);
    hp->SetFormat(&f);
    hp->SetEnable(1);
    Channels ch(8, 8);
    ch.data[0][0] = 0.75f;
    Process(hp, ch, 8);
    EXPECT_EQ(ch.data[0][0], 0.75f);
    delete hp;
}

// The headphone node's creation sequence, then its SetMode(0), which ends
// in SetTailEnable(1); 6 channels at 44.1 kHz come out as 2.0 x the
// (MEDIUM, 39) head and tail responses, 512 + 255 frames late.
TEST_F(ZvkHeadphoneTest, EndToEndSixChannelImpulses) {
    CZvkHeadphone* hp = Make();
    const WAVEFORMATEX created = Format(2, 44100);
    hp->SetFormat(&created);
    hp->SetEnable(1);
    hp->SetSpeakerMode(0);
    hp->SetHeadphoneAngle(3);
    hp->SetSpeakerAngle(3);
    hp->SetCTCAngle(0);
    if (hp->GetSpeakerVariant() != 0) hp->SetSpeakerVariant(0);
    if (hp->GetHeadphoneVariant() != 0) hp->SetHeadphoneVariant(0);
    hp->SetTailEnable(1);
    // The first block of the first stream loads the applied set (and
    // crossfades to it); the impulses below start fresh streams after it.
    Channels silence(8, 512);
    Process(hp, silence, 512);
    EXPECT_EQ(Fir(hp).ReloadPending(), 0);

    HrtfSelection sel = SelectHrtf(*DefaultHeadphoneTables(), ROOMSIZE_MEDIUM, 39);
    ASSERT_EQ(sel.tailen, 3072);
    constexpr int kLatency = 767;
    constexpr int kFrames = 5 * 1024;
    struct Impulse {
        int channel;
        int resp[2][2];  // per ear: up to two head responses summed (-1: none)
        double tailWeight;
    } impulses[] = {
        {0, {{0, -1}, {1, -1}}, 1.0},
        {2, {{4, -1}, {5, -1}}, 1.0},
        {3, {{0, 2}, {1, 3}}, 2.0},
        {5, {{8, -1}, {9, -1}}, 1.0},
    };
    const WAVEFORMATEX six = Format(6, 44100);
    for (const Impulse& imp : impulses) {
        SCOPED_TRACE(imp.channel);
        ASSERT_EQ(hp->SetFormat(&six), 1);  // a new stream: histories cleared
        Channels ch(8, kFrames);
        ch.data[static_cast<size_t>(imp.channel)][0] = 1.0f;
        for (int at = 0; at < kFrames; at += 480)
            AtDispatch([&] {
                float* view[8];
                for (int k = 0; k < 8; ++k) view[k] = ch.data[static_cast<size_t>(k)].data() + at;
                hp->Process(view, std::min(480, kFrames - at));
            });
        double worst = 0;
        for (int e = 0; e < 2; ++e) {
            for (int n = 0; n + kLatency < kFrames; ++n) {
                double want = 0;
                if (n < kHrtfHeadLen) {
                    for (int r : imp.resp[e])
                        if (r >= 0) want += 2.0 * sel.head[r * kHrtfHeadLen + n];
                } else if (n - kHrtfHeadLen < sel.tailen) {
                    want = 2.0 * imp.tailWeight * sel.tail[e * sel.tailen + n - kHrtfHeadLen];
                }
                worst = std::max(worst, std::fabs(ch.data[static_cast<size_t>(e)][static_cast<size_t>(n + kLatency)] - want));
            }
            for (int n = 0; n < kLatency; ++n) ASSERT_EQ(ch.data[static_cast<size_t>(e)][static_cast<size_t>(n)], 0.0f);
        }
        EXPECT_LT(worst, 2e-6);
    }
    delete hp;
}

}  // namespace
}  // namespace zvktest

// The two effect nodes of one render path, in the path's order: the
// headphone node first, told that the surround node follows it, then the
// surround node, which makes the path's one fold-down. The expected front
// pair is built without the nodes: MixChannels of the input, the
// headphone node's own output pair, and a virtualizer of its own, each
// behind the limiters' fixed delays.
#include <algorithm>
#include <cmath>

#include "tests/dsp/effect_nodes/effect_node_fixture.h"

namespace effecttest {
namespace {

constexpr ULONG kChannels = 8;
constexpr ULONG kRate = 48000;
constexpr ULONG kBlock = 480;
constexpr ULONG kFrames = 8 * kBlock;
// Compared from here on: past the switch's fade and the headphone
// engine's block latency.
constexpr ULONG kSettled = 3 * kBlock;
// Every limiter delays by two of its blocks.
constexpr ULONG kLimiterDelay = 2 * LIMITER_BLOCK_FRAMES;

using Signal = std::array<std::vector<float>, kChannels>;

// A tone on channel `only` (all eight, each its own, when -1).
Signal Input(int only, float amplitude) {
    Signal s;
    for (ULONG c = 0; c < kChannels; ++c) {
        s[c].assign(kFrames, 0.0f);
        if (only >= 0 && (ULONG)only != c) continue;
        for (ULONG n = 0; n < kFrames; ++n) s[c][n] = amplitude * std::sin(0.01f * (float)((c + 1) * n) + (float)c);
    }
    return s;
}

Signal Silent() {
    Signal s;
    for (auto& ch : s) ch.assign(kFrames, 0.0f);
    return s;
}

// One fold-down of the whole signal.
Signal Fold(Signal s) {
    float* table[kChannels];
    for (ULONG c = 0; c < kChannels; ++c) table[c] = s[c].data();
    MixChannels(table, kChannels, 2, kFrames, TRUE);
    return s;
}

// A virtualizer of its own on the signal (the floor added, as the surround
// node adds it), its pair at the wet limiter's makeup gain.
Signal Virtualized(Signal s) {
    CSurroundVirtualizer* v = new (NonPagedPoolNx, MakePoolTag("RefV")) CSurroundVirtualizer();
    v->Init();
    v->SetFormat((int)kRate, (int)kChannels - 1);
    for (auto& ch : s)
        for (float& x : ch) x += DSP_FLOOR_VALUE;
    for (ULONG done = 0; done < kFrames; done += kBlock) {
        float* table[kChannels];
        for (ULONG c = 0; c < kChannels; ++c) table[c] = s[c].data() + done;
        v->Process(table, table, (int)kBlock);
    }
    delete v;
    Signal out = Silent();
    for (ULONG c = 0; c < 2; ++c)
        for (ULONG n = 0; n < kFrames; ++n) out[c][n] = s[c][n] * LIMITER_MAKEUP_SURROUND;
    return out;
}

// The signal `delay` frames later (silence before).
Signal Delayed(const Signal& s, ULONG delay) {
    Signal out = Silent();
    for (ULONG c = 0; c < kChannels; ++c) std::copy(s[c].begin(), s[c].end() - delay, out[c].begin() + delay);
    return out;
}

// The front pair only: what reaches the speaker when nothing else is added.
Signal Pair(const Signal& s) {
    Signal out = Silent();
    out[0] = s[0];
    out[1] = s[1];
    return out;
}

struct ChainCase {
    const char* name;
    bool headphone, surround;  // the switches
    int only;                  // the input's one channel, -1: all eight
    float amplitude;
    // The expected speaker pair from the input and the headphone node's
    // own output.
    Signal (*expected)(const Signal& in, const Signal& headphone);
};

void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.name; }

class ChainTest : public EffectNodeTest, public ::testing::WithParamInterface<ChainCase> {
protected:
    void SetUp() override {
        EffectNodeTest::SetUp();
        headphone = Made<HeadphoneProbe>(UAC_CS_VENDOR_SWITCH_C, 8);
        surround = Made<SurroundProbe>(UAC_CS_VENDOR_SWITCH_B, 7);
        headphone->SetEffectFollows(TRUE);
        format = Pcm(kChannels, kRate);
        headphone->SetFormat(&format);
        surround->SetFormat(&format);
    }

    // The input through both nodes in blocks: the headphone node's output
    // and the surround node's.
    void Run(const Signal& in, Signal* afterHeadphone, Signal* speaker) {
        *afterHeadphone = Silent();
        *speaker = Silent();
        for (ULONG done = 0; done < kFrames; done += kBlock) {
            Block b = Silence(kBlock);
            for (ULONG c = 0; c < kChannels; ++c) std::copy_n(in[c].begin() + done, kBlock, b.data[c].begin());
            ASSERT_EQ(ProcessAtDispatch(headphone, format, b.Channels(), kBlock), STATUS_SUCCESS);
            for (ULONG c = 0; c < kChannels; ++c) std::copy_n(b.data[c].begin(), kBlock, (*afterHeadphone)[c].begin() + done);
            ASSERT_EQ(ProcessAtDispatch(surround, format, b.Channels(), kBlock), STATUS_SUCCESS);
            for (ULONG c = 0; c < kChannels; ++c) std::copy_n(b.data[c].begin(), kBlock, (*speaker)[c].begin() + done);
        }
    }

    HeadphoneProbe* headphone = nullptr;
    SurroundProbe* surround = nullptr;
    WAVEFORMATEXTENSIBLE format{};
};

TEST_P(ChainTest, FrontPairFoldedOnce) {
    const ChainCase& c = GetParam();
    static_cast<IEffectUnit*>(headphone)->SetValue(c.headphone ? 1 : 0);
    static_cast<IEffectUnit*>(surround)->SetValue(c.surround ? 1 : 0);
    const Signal in = Input(c.only, c.amplitude);
    Signal afterHeadphone, speaker;
    Run(in, &afterHeadphone, &speaker);
    const Signal expected = c.expected(in, afterHeadphone);
    for (ULONG ch = 0; ch < 2; ++ch)
        for (ULONG n = kSettled; n < kFrames; ++n)
            ASSERT_NEAR(speaker[ch][n], expected[ch][n], 1e-4f) << "channel " << ch << " frame " << n;
}

// Both off: one fold-down of the input, behind both dry limiters.
Signal FoldedInput(const Signal& in, const Signal&) { return Delayed(Fold(in), 2 * kLimiterDelay); }
// Headphone on: its rendered pair, behind the surround node's dry limiter,
// with nothing added.
Signal HeadphonePair(const Signal&, const Signal& headphone) { return Delayed(Pair(headphone), kLimiterDelay); }
// Surround on: the virtualizer on the unfolded input (behind the headphone
// node's dry limiter), behind the wet limiter.
Signal VirtualizedInput(const Signal& in, const Signal&) {
    return Delayed(Virtualized(Delayed(in, kLimiterDelay)), kLimiterDelay);
}
// Both on: the virtualizer on the headphone node's rendered pair.
Signal VirtualizedHeadphonePair(const Signal&, const Signal& headphone) {
    return Delayed(Virtualized(Pair(headphone)), kLimiterDelay);
}

INSTANTIATE_TEST_SUITE_P(
    Chain, ChainTest,
    ::testing::Values(ChainCase{"BothOffCentre", false, false, 2, 0.25f, FoldedInput},
                      ChainCase{"BothOffLfe", false, false, 3, 0.25f, FoldedInput},
                      ChainCase{"BothOffBackLeft", false, false, 4, 0.25f, FoldedInput},
                      ChainCase{"BothOffSideRight", false, false, 7, 0.25f, FoldedInput},
                      ChainCase{"BothOffAll", false, false, -1, 0.1f, FoldedInput},
                      ChainCase{"HeadphoneOnAll", true, false, -1, 0.1f, HeadphonePair},
                      ChainCase{"HeadphoneOnBackLeft", true, false, 4, 0.25f, HeadphonePair},
                      ChainCase{"SurroundOnAll", false, true, -1, 0.05f, VirtualizedInput},
                      ChainCase{"SurroundOnCentre", false, true, 2, 0.1f, VirtualizedInput},
                      ChainCase{"BothOnAll", true, true, -1, 0.05f, VirtualizedHeadphonePair}),
    [](const ::testing::TestParamInfo<ChainCase>& info) { return std::string(info.param.name); });

// A node followed by another effect node passes its dry set on unfolded
// and fades every channel on a switch change, so that the fold-down the
// next node makes fades as a whole.
TEST_F(EffectNodeTest, FollowedNodeFadesEveryChannel) {
    HeadphoneProbe* node = Made<HeadphoneProbe>(UAC_CS_VENDOR_SWITCH_C);
    node->SetEffectFollows(TRUE);
    const WAVEFORMATEXTENSIBLE format = Pcm(kChannels, kRate);
    node->SetFormat(&format);
    constexpr LONG L = 2 * (kRate / 1000);
    const float span = (float)(L - 1);
    // The input, continuous over the blocks, and the dry set: the input
    // behind the unity limiter's delay.
    auto dry = [](ULONG c, LONG at) { return at < (LONG)kLimiterDelay ? 0.0f : Tones(1, at - kLimiterDelay).data[c][0]; };
    auto run = [&](ULONG b) {
        Block block = Tones(EFFECT_SET_FRAMES, b * EFFECT_SET_FRAMES);
        EXPECT_EQ(ProcessAtDispatch(node, format, block.Channels(), EFFECT_SET_FRAMES), STATUS_SUCCESS);
        return block;
    };
    Block out = run(0);
    for (ULONG c = 0; c < kChannels; ++c)
        for (LONG i = 0; i < (LONG)EFFECT_SET_FRAMES; ++i) ASSERT_EQ(out.data[c][i], dry(c, i)) << c << "," << i;

    static_cast<IEffectUnit*>(node)->SetValue(1);
    out = run(1);
    for (ULONG c = 2; c < kChannels; ++c)
        for (LONG i = 0; i < (LONG)EFFECT_SET_FRAMES; ++i) {
            const float expect = i < L ? (1.0f - (float)i / span) * dry(c, EFFECT_SET_FRAMES + i) : 0.0f;
            ASSERT_EQ(out.data[c][i], expect) << "to wet: channel " << c << " frame " << i;
        }

    static_cast<IEffectUnit*>(node)->SetValue(0);
    out = run(2);
    for (ULONG c = 2; c < kChannels; ++c)
        for (LONG i = 0; i < (LONG)EFFECT_SET_FRAMES; ++i) {
            const float d = dry(c, 2 * EFFECT_SET_FRAMES + i);
            const float expect = i < L ? 0.0f : i < 2 * L ? (float)(i - L) / span * d : d;
            ASSERT_EQ(out.data[c][i], expect) << "to dry: channel " << c << " frame " << i;
        }
}

}  // namespace
}  // namespace effecttest

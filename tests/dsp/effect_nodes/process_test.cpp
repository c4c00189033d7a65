// The effect nodes' audio path: which set a block leaves with, the
// cross-fade of a switch change, blocks the nodes do not process, Flush,
// the surround node's floor, and the switch's hand-over from the control
// path. The node's output is compared bit for bit with the reference
// pipeline run on the same blocks.
#include <cstring>

#include "sim/pool.h"
#include "tests/dsp/effect_nodes/effect_node_fixture.h"
#include "tests/fakes/dsp/limiter_recorder.h"

namespace effecttest {
namespace {

enum class Kind { Surround, Headphone };
enum class Set { Dry, Wet };

// A node under test with its reference pipeline.
class Rig {
public:
    Rig(Kind kind, CVendorSwitchNode* node, const WAVEFORMATEXTENSIBLE& format) : m_Node(node), m_Format(format) {
        EXPECT_EQ(node->SetFormat(&format), STATUS_SUCCESS);
        if (kind == Kind::Surround) {
            m_Reference = Reference::Surround(format);
        } else {
            auto* hp = static_cast<HeadphoneProbe*>(node);
            m_Reference = Reference::Headphone(format, hp->LimiterFormat(), hp->HeadphoneFormat());
        }
    }
    // One block through both; the node's output, the reference's sets.
    Block Run(ULONG frames, Block* dry, Block* wet) {
        Block in = Tones(frames, m_Offset);
        m_Offset += frames;
        m_Reference->Run(in, dry, wet);
        Block out = in;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        EXPECT_EQ(m_Node->Process(&m_Format, out.Channels(), frames), STATUS_SUCCESS);
        KeLowerIrql(old);
        return out;
    }
    NTSTATUS Switch(BYTE on) { return static_cast<IEffectUnit*>(m_Node)->SetValue(on); }
    void Flush() {
        m_Node->Flush();
        m_Reference->Flush();
    }
    ULONG Channels() const { return m_Format.Format.nChannels; }

private:
    CVendorSwitchNode* m_Node;
    WAVEFORMATEXTENSIBLE m_Format;
    std::unique_ptr<Reference> m_Reference;
    ULONG m_Offset = 0;
};

class ProcessTest : public EffectNodeTest {
protected:
    CVendorSwitchNode* lastNode = nullptr;

    std::unique_ptr<Rig> MakeRig(Kind kind, const WAVEFORMATEXTENSIBLE& format) {
        CVendorSwitchNode* node = kind == Kind::Surround
                                      ? static_cast<CVendorSwitchNode*>(Made<SurroundProbe>(UAC_CS_VENDOR_SWITCH_B))
                                      : static_cast<CVendorSwitchNode*>(Made<HeadphoneProbe>(UAC_CS_VENDOR_SWITCH_C));
        lastNode = node;
        return std::make_unique<Rig>(kind, node, format);
    }
};

// Every channel of out against what the node should make of the block.
void ExpectBlock(const Block& out, const Block& dry, const Block& wet, ULONG channels, Set set,
                 std::optional<bool> fadeTo, ULONG rate, const std::string& what) {
    const Block expect = Compose(dry, wet, channels, set == Set::Wet, fadeTo, rate);
    for (ULONG c = 0; c < channels; ++c)
        for (ULONG i = 0; i < out.frames; ++i)
            ASSERT_EQ(out.data[c][i], expect.data[c][i]) << what << ": channel " << c << " frame " << i;
}

// ---- the chosen set ----

struct SetCase {
    const char* name;
    Kind kind;
    ULONG channels;
    BYTE before, after;
    Set steady;   // the set of the block before the change
    Set changed;  // the set of the block that sees the change
    Set next;     // the set of the block after it
};

void PrintTo(const SetCase& c, std::ostream* os) { *os << c.name; }

class SetTest : public ProcessTest, public ::testing::WithParamInterface<SetCase> {};

TEST_P(SetTest, ChosenSetAndFadeMatchTheReference) {
    const SetCase& c = GetParam();
    auto rig = MakeRig(c.kind, Pcm(c.channels, 48000));
    Block dry, wet;
    rig->Switch(c.before);
    Block out = rig->Run(480, &dry, &wet);  // latches `before`, fades to it
    out = rig->Run(480, &dry, &wet);
    ExpectBlock(out, dry, wet, c.channels, c.steady, std::nullopt, 48000, "steady");
    rig->Switch(c.after);
    out = rig->Run(480, &dry, &wet);
    ExpectBlock(out, dry, wet, c.channels, c.changed, c.after != 0, 48000, "changed");
    out = rig->Run(480, &dry, &wet);
    ExpectBlock(out, dry, wet, c.channels, c.next, std::nullopt, 48000, "after");
}

constexpr Set D = Set::Dry;
constexpr Set W = Set::Wet;

INSTANTIATE_TEST_SUITE_P(
    Sets, SetTest,
    ::testing::Values(
        SetCase{"Surround8On", Kind::Surround, 8, 0, 1, D, W, W},
        SetCase{"Surround8Off", Kind::Surround, 8, 1, 0, W, W, D},
        SetCase{"Surround6On", Kind::Surround, 6, 0, 1, D, W, W},
        SetCase{"Surround6Off", Kind::Surround, 6, 1, 0, W, W, D},
        // The virtualizer renders 5.1 and 7.1 only: other counts stay dry.
        SetCase{"Surround7OnStaysDry", Kind::Surround, 7, 0, 1, D, D, D},
        SetCase{"Surround4OnStaysDry", Kind::Surround, 4, 0, 1, D, D, D},
        SetCase{"Surround2OnStaysDry", Kind::Surround, 2, 0, 1, D, D, D},
        SetCase{"Surround1OnStaysDry", Kind::Surround, 1, 0, 1, D, D, D},
        SetCase{"Headphone8Off", Kind::Headphone, 8, 1, 0, W, W, D},
        SetCase{"Headphone7On", Kind::Headphone, 7, 0, 1, D, W, W},
        SetCase{"Headphone6Off", Kind::Headphone, 6, 1, 0, W, W, D},
        SetCase{"Headphone4Off", Kind::Headphone, 4, 1, 0, W, D, D},
        SetCase{"Headphone2On", Kind::Headphone, 2, 0, 1, D, W, W},
        SetCase{"Headphone2Off", Kind::Headphone, 2, 1, 0, W, D, D},
        SetCase{"Headphone1On", Kind::Headphone, 1, 0, 1, D, W, W}),
    [](const ::testing::TestParamInfo<SetCase>& info) { return std::string(info.param.name); });

// ---- ramps ----

TEST_F(ProcessTest, RampEndsAt48kHz) {
    auto rig = MakeRig(Kind::Headphone, Pcm(8, 48000));
    Block dry, wet;
    rig->Run(512, &dry, &wet);
    rig->Switch(1);
    Block out = rig->Run(512, &dry, &wet);
    constexpr LONG L = 96;
    for (ULONG c = 0; c < 2; ++c) {
        EXPECT_EQ(out.data[c][0], dry.data[c][0]);
        EXPECT_EQ(out.data[c][L - 1], 0.0f);
        EXPECT_EQ(out.data[c][L], 0.0f);
        EXPECT_EQ(out.data[c][2 * L - 1], wet.data[c][2 * L - 1]);
        EXPECT_EQ(out.data[c][2 * L], wet.data[c][2 * L]);
    }
    rig->Switch(0);
    out = rig->Run(512, &dry, &wet);
    for (ULONG c = 0; c < 2; ++c) {
        EXPECT_EQ(out.data[c][0], wet.data[c][0]);
        EXPECT_EQ(out.data[c][L - 1], 0.0f);
        EXPECT_EQ(out.data[c][L], 0.0f);
        EXPECT_EQ(out.data[c][2 * L - 1], dry.data[c][2 * L - 1]);
        EXPECT_EQ(out.data[c][511], dry.data[c][511]);
    }
}

TEST_F(ProcessTest, RampCutAt192kHzAndNoneBelow1kHz) {
    {
        auto rig = MakeRig(Kind::Surround, Pcm(8, 192000));
        Block dry, wet;
        rig->Switch(1);
        Block out = rig->Run(512, &dry, &wet);
        ExpectBlock(out, dry, wet, 8, Set::Wet, true, 192000, "cut ramp");
        EXPECT_EQ(out.data[0][383], 0.0f);
        out = rig->Run(512, &dry, &wet);
        ExpectBlock(out, dry, wet, 8, Set::Wet, std::nullopt, 192000, "full level after a cut ramp");
    }
    auto rig = MakeRig(Kind::Surround, Pcm(8, 800));
    Block dry, wet;
    rig->Switch(1);
    Block out = rig->Run(256, &dry, &wet);
    ExpectBlock(out, dry, wet, 8, Set::Wet, std::nullopt, 800, "no ramp to wet");
    rig->Switch(0);
    out = rig->Run(256, &dry, &wet);
    for (ULONG c = 0; c < 8; ++c)
        for (ULONG i = 0; i < 256; ++i)
            ASSERT_EQ(out.data[c][i], (c < 2 ? dry : wet).data[c][i]) << c << "," << i;
}

// ---- blocks the nodes leave alone ----

TEST_F(ProcessTest, NonPcmBlockUntouchedButItsChangeFadesTheNextPcmBlock) {
    auto rig = MakeRig(Kind::Surround, Pcm(8, 48000));
    auto* probe = static_cast<SurroundProbe*>(lastNode);
    IDspNode* node = probe;
    rig->Switch(1);
    std::vector<uint8_t> raw(4096);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = (uint8_t)(i * 7);
    const std::vector<uint8_t> before = raw;
    const WAVEFORMATEXTENSIBLE floats = WithTag(Pcm(8, 48000, 32), WAVE_FORMAT_IEEE_FLOAT);
    EXPECT_EQ(ProcessAtDispatch(node, floats, raw.data(), 128), STATUS_SUCCESS);
    EXPECT_EQ(raw, before);
    EXPECT_EQ(probe->Latch(), 1u);
    EXPECT_EQ(probe->Fade(), FADE_TO_WET);
    Block dry, wet;
    Block out = rig->Run(480, &dry, &wet);
    ExpectBlock(out, dry, wet, 8, Set::Wet, true, 48000, "first PCM block");
}

TEST_F(ProcessTest, OddChannelCountsAndFramesPassUntouched) {
    SurroundProbe* node = Made<SurroundProbe>(UAC_CS_VENDOR_SWITCH_B);
    WAVEFORMATEXTENSIBLE format = Pcm(8, 48000);
    node->SetFormat(&format);
    node->SetValue(1);
    struct Row {
        WORD channels;
        ULONG frames;
    } rows[] = {{0, 128}, {9, 128}, {8, 0}, {8, 513}};
    for (const Row& r : rows) {
        format.Format.nChannels = r.channels;
        Block block = Tones(512, 0);
        const Block before = block;
        EXPECT_EQ(ProcessAtDispatch(node, format, block.Channels(), r.frames), STATUS_SUCCESS);
        EXPECT_EQ(block.data, before.data) << r.channels << " channels, " << r.frames << " frames";
    }
}

// ---- switch requests ----

TEST_F(ProcessTest, RepeatedAndRefusedRequestsRunAFullFade) {
    auto rig = MakeRig(Kind::Surround, Pcm(6, 48000));
    Block dry, wet;
    rig->Switch(1);
    rig->Run(480, &dry, &wet);
    rig->Switch(1);
    Block out = rig->Run(480, &dry, &wet);
    ExpectBlock(out, dry, wet, 6, Set::Wet, true, 48000, "repeated");
    entity->setStatus = STATUS_DEVICE_PROTOCOL_ERROR;
    EXPECT_EQ(rig->Switch(0), STATUS_DEVICE_PROTOCOL_ERROR);
    out = rig->Run(480, &dry, &wet);
    ExpectBlock(out, dry, wet, 6, Set::Wet, true, 48000, "refused: fades to the unchanged state");
}

// ---- Flush ----

TEST_F(ProcessTest, FlushKeepsTheSwitchAndTheNextRunStartsWithoutAFade) {
    auto rig = MakeRig(Kind::Surround, Pcm(8, 48000));
    auto* probe = static_cast<SurroundProbe*>(lastNode);
    Block dry, wet;
    rig->Switch(1);
    rig->Run(480, &dry, &wet);
    rig->Run(480, &dry, &wet);
    limiterrecorder::ClearCalls();
    rig->Flush();
    EXPECT_EQ(limiterrecorder::Calls(), (std::vector<std::string>(4, "Reset")));  // node's two, reference's two
    // The virtualizer's state is cleared: silence in, silence out (its
    // room tail would ring on), and a cleared network stays as it was.
    const std::array<std::vector<float>, 2> silence = {std::vector<float>(100, 0.0f), std::vector<float>(100, 0.0f)};
    EXPECT_EQ(Virtualize(probe->Virtualizer(), Silence(100)), silence);
    EXPECT_EQ(probe->Latch(), 1u);
    EXPECT_EQ(probe->Changed(), 0);
    EXPECT_EQ(probe->Pending(), 0);
    EXPECT_EQ(probe->Fade(), FADE_STEADY);
    Block out = rig->Run(480, &dry, &wet);
    ExpectBlock(out, dry, wet, 8, Set::Wet, std::nullopt, 48000, "after Flush");
}

// ---- the floor ----

TEST_F(ProcessTest, SurroundAddsTheFloorHeadphoneDoesNot) {
    SurroundProbe* surround = Made<SurroundProbe>(UAC_CS_VENDOR_SWITCH_B);
    HeadphoneProbe* headphone = Made<HeadphoneProbe>(UAC_CS_VENDOR_SWITCH_C);
    const WAVEFORMATEXTENSIBLE format = Pcm(6, 48000);
    for (CVendorSwitchNode* node : {static_cast<CVendorSwitchNode*>(surround), static_cast<CVendorSwitchNode*>(headphone)}) {
        node->SetFormat(&format);
        // Past the limiters' 256-frame look-ahead.
        Block block = Silence(512);
        EXPECT_EQ(ProcessAtDispatch(node, format, block.Channels(), 512), STATUS_SUCCESS);
        const float expect = node == surround ? DSP_FLOOR_VALUE : 0.0f;
        for (ULONG c = 2; c < 6; ++c) EXPECT_EQ(block.data[c][300], expect) << "channel " << c;
    }
    uint32_t bits = 0;
    const float floor = DSP_FLOOR_VALUE;
    memcpy(&bits, &floor, sizeof(bits));
    EXPECT_EQ(bits, 0x2B8CBCCCu);
}

// ---- hand-over ----

TEST_F(ProcessTest, ApplyPendingValueAtPassiveAndDispatch) {
    SurroundProbe* node = Made<SurroundProbe>(UAC_CS_VENDOR_SWITCH_B);
    node->SetValue(1);
    node->ApplyPendingValue();
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(node->Latch(), 1u);
    EXPECT_EQ(node->Pending(), 0);
    node->SetValue(0);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    node->ApplyPendingValue();
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(old);
    EXPECT_EQ(node->Latch(), 0u);
    // Without a pending change the latch stays.
    node->SetValue(1);
    node->ApplyPendingValue();
    EXPECT_EQ(node->Latch(), 1u);
    EXPECT_EQ(node->Changed(), 1) << "only Process takes the changed flag";
}

}  // namespace
}  // namespace effecttest

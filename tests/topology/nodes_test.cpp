// The software processing nodes, run as the stream engine runs them: at
// DISPATCH_LEVEL, on the engine's table of float channel buffers (PCM) or
// on the raw block (any other format).
#include <cstring>
#include <string>

#include "portcls/portcls_guids.h"
#include "tests/topology/topo_fixture.h"
#include "topology/dsp_mute_node.h"
#include "topology/jack_state_node.h"

namespace topotest {
namespace {

constexpr ULONG kFrames = 480;

WAVEFORMATEXTENSIBLE Format(USHORT tag, const GUID* subFormat, USHORT channels) {
    WAVEFORMATEXTENSIBLE f = {};
    f.Format.wFormatTag = tag;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = 48000;
    f.Format.wBitsPerSample = 32;
    f.Format.nBlockAlign = (USHORT)(4 * channels);
    f.Format.nAvgBytesPerSec = 48000u * f.Format.nBlockAlign;
    f.Format.cbSize = tag == WAVE_FORMAT_EXTENSIBLE ? 22 : 0;
    if (subFormat != NULL) {
        f.SubFormat = *subFormat;
    }
    return f;
}

// The engine's per-channel buffers and its channel table, filled with a
// ramp; the raw block of a non-PCM stream alongside.
struct Block {
    explicit Block(ULONG channels) : buffers(channels, std::vector<float>(kFrames)), table(8, nullptr) {
        for (ULONG c = 0; c < channels; ++c) {
            for (ULONG i = 0; i < kFrames; ++i) buffers[c][i] = (float)(c + 1) * 0.001f * (float)(i + 1);
            table[c] = buffers[c].data();
        }
        raw.assign(kFrames * channels * 4 + 16, 0x77);
    }
    std::vector<std::vector<float>> buffers;
    std::vector<float*> table;
    std::vector<UCHAR> raw;
};

NTSTATUS ProcessAtDispatch(IDspNode* node, const WAVEFORMATEXTENSIBLE& format, PVOID data) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS status = node->Process(&format, data, kFrames);
    KeLowerIrql(old);
    return status;
}

enum class Expect { Zero, Quarter, Untouched, RawZeroed };

struct NodeCase {
    const char* name;
    int node;      // 0 software mute, 1 jack state
    ULONG state;   // mute byte or jack state
    USHORT tag;
    const GUID* subFormat;
    USHORT channels;
    Expect expect;
};

void PrintTo(const NodeCase& c, std::ostream* os) { *os << c.name; }

class NodeProcessTest : public sim::KernelTest, public ::testing::WithParamInterface<NodeCase> {};

TEST_P(NodeProcessTest, ProcessesTheBlock) {
    const NodeCase& c = GetParam();
    IDspNode* node = NULL;
    CDspMuteNode* mute = NULL;
    CJackStateNode* jack = NULL;
    if (c.node == 0) {
        mute = NewUnit<CDspMuteNode>(7u);
        ASSERT_EQ(mute->Init(3, 1), STATUS_SUCCESS);
        ASSERT_EQ(mute->SetValue(0, (BYTE)c.state), STATUS_SUCCESS);
        node = mute;
    } else {
        jack = new (NonPagedPoolNx, DSP_REMAP_NODE_TAG) CJackStateNode(NULL);
        jack->AddRef();
        ASSERT_EQ(jack->ResetState(), STATUS_SUCCESS);
        jack->SetState(c.state);
        node = jack;
    }
    WAVEFORMATEXTENSIBLE format = Format(c.tag, c.subFormat, c.channels);
    Block block(c.channels), original(c.channels);
    bool pcm = c.expect != Expect::RawZeroed && !(c.expect == Expect::Untouched && c.tag == WAVE_FORMAT_IEEE_FLOAT);
    PVOID data = pcm ? (PVOID)block.table.data() : (PVOID)block.raw.data();
    ASSERT_EQ(ProcessAtDispatch(node, format, data), STATUS_SUCCESS);
    for (ULONG ch = 0; ch < c.channels; ++ch) {
        for (ULONG i = 0; i < kFrames; ++i) {
            float in = original.buffers[ch][i], out = block.buffers[ch][i];
            switch (c.expect) {
            case Expect::Zero: ASSERT_EQ(out, 0.0f) << ch << "," << i; break;
            case Expect::Quarter: ASSERT_EQ(out, in * 0.25f) << ch << "," << i; break;
            default: ASSERT_EQ(out, in) << ch << "," << i; break;
            }
        }
    }
    size_t zeroed = c.expect == Expect::RawZeroed ? (size_t)kFrames * format.Format.nBlockAlign : 0;
    for (size_t i = 0; i < block.raw.size(); ++i) {
        ASSERT_EQ(block.raw[i], i < zeroed ? 0 : 0x77) << "raw byte " << i;
    }
    node->Release();
}

const GUID kPcm = KSDATAFORMAT_SUBTYPE_PCM;
const GUID kFloat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
const USHORT EXT = WAVE_FORMAT_EXTENSIBLE;

INSTANTIATE_TEST_SUITE_P(
    Table, NodeProcessTest,
    ::testing::Values(
        NodeCase{"MutedPcm2", 0, 1, WAVE_FORMAT_PCM, NULL, 2, Expect::Zero},
        NodeCase{"MutedExtensiblePcm6", 0, 1, EXT, &kPcm, 6, Expect::Zero},
        NodeCase{"MutedPcm8", 0, 1, WAVE_FORMAT_PCM, NULL, 8, Expect::Zero},
        NodeCase{"UnmutedPcm2", 0, 0, WAVE_FORMAT_PCM, NULL, 2, Expect::Untouched},
        NodeCase{"MutedExtensibleFloatRaw", 0, 1, EXT, &kFloat, 2, Expect::RawZeroed},
        NodeCase{"MutedFloatRaw6", 0, 1, WAVE_FORMAT_IEEE_FLOAT, NULL, 6, Expect::RawZeroed},
        NodeCase{"JackPass2", 1, 0, WAVE_FORMAT_PCM, NULL, 2, Expect::Untouched},
        NodeCase{"JackAttenuate2", 1, 1, WAVE_FORMAT_PCM, NULL, 2, Expect::Quarter},
        NodeCase{"JackAttenuateExtensible6", 1, 1, EXT, &kPcm, 6, Expect::Quarter},
        NodeCase{"JackAttenuate8", 1, 1, WAVE_FORMAT_PCM, NULL, 8, Expect::Quarter},
        NodeCase{"JackSilence2", 1, 2, WAVE_FORMAT_PCM, NULL, 2, Expect::Zero},
        NodeCase{"JackSilence8", 1, 2, EXT, &kPcm, 8, Expect::Zero},
        NodeCase{"JackOtherState", 1, 3, WAVE_FORMAT_PCM, NULL, 2, Expect::Untouched},
        NodeCase{"JackFloatUntouched", 1, 2, WAVE_FORMAT_IEEE_FLOAT, NULL, 2, Expect::Untouched}),
    [](const auto& info) { return std::string(info.param.name); });

class NodeTest : public sim::KernelTest {};

TEST_F(NodeTest, SwapOnlyAtEightChannelsAndLaterNodesSeeIt) {
    CChannelSwapProcessor* swap = new (NonPagedPoolNx, DSP_REMAP_NODE_TAG) CChannelSwapProcessor(NULL);
    swap->AddRef();
    CJackStateNode* jack = new (NonPagedPoolNx, DSP_REMAP_NODE_TAG) CJackStateNode(NULL);
    jack->AddRef();
    jack->SetState(JACK_STATE_SILENCE);
    Block six(6);
    std::vector<float*> before6 = six.table;
    ASSERT_EQ(ProcessAtDispatch(swap, Format(WAVE_FORMAT_PCM, NULL, 6), six.table.data()), STATUS_SUCCESS);
    EXPECT_EQ(six.table, before6);

    Block eight(8);
    std::vector<float*> before = eight.table;
    WAVEFORMATEXTENSIBLE format = Format(WAVE_FORMAT_PCM, NULL, 8);
    ASSERT_EQ(ProcessAtDispatch(swap, format, eight.table.data()), STATUS_SUCCESS);
    std::vector<float*> swapped = {before[0], before[1], before[2], before[3], before[6], before[7], before[4], before[5]};
    EXPECT_EQ(eight.table, swapped);
    // A later node works through the swapped table: every buffer still
    // reached once.
    ASSERT_EQ(ProcessAtDispatch(jack, format, eight.table.data()), STATUS_SUCCESS);
    for (const auto& buffer : eight.buffers) EXPECT_EQ(buffer[5], 0.0f);
    ASSERT_EQ(ProcessAtDispatch(swap, format, eight.table.data()), STATUS_SUCCESS);
    EXPECT_EQ(eight.table, before);  // every call swaps again
    ASSERT_EQ(ProcessAtDispatch(swap, Format(WAVE_FORMAT_IEEE_FLOAT, NULL, 8), eight.table.data()), STATUS_SUCCESS);
    EXPECT_EQ(eight.table, before);
    EXPECT_EQ(swap->Reserved1(), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(swap->Flush(), STATUS_SUCCESS);
    swap->Release();
    jack->Release();
}

TEST_F(NodeTest, SoftwareMuteTakesExactlyOneChannel) {
    CDspMuteNode* mute = NewUnit<CDspMuteNode>(7u);
    EXPECT_EQ(mute->Init(3, 2), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(mute->Init(3, 0), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::PoolLiveBlocks(MakePoolTag("DSPs")), 0);
    ASSERT_EQ(mute->Init(3, 1), STATUS_SUCCESS);
    EXPECT_EQ(sim::PoolLiveBlocks(MakePoolTag("DSPs")), 1);
    EXPECT_EQ(mute->GetKind(), (ULONG)UNIT_KIND_MUTE);
    EXPECT_EQ(mute->Reserved1(), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(mute->Reserved2(), STATUS_NOT_IMPLEMENTED);
    BYTE v = 0;
    EXPECT_EQ(mute->GetValue(1, &v), STATUS_INVALID_PARAMETER);
    mute->Release();
}

class MuteNodeFilterTest : public TopoTest {};

TEST_F(MuteNodeFilterTest, MuteSetByRawRequestSilencesTheNextBlock) {
    AddInputPin(1, ENDPOINT_STREAM);
    CDspMuteNode* mute = NewUnit<CDspMuteNode>(2u);
    ASSERT_EQ(mute->Init(1, 1), STATUS_SUCCESS);
    Add(mute);
    AddOutputPin(3, 2, ENDPOINT_SPK);
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    EXPECT_EQ(*filter->Nodes[0].Type, KSNODETYPE_MUTE);
    KsPropertyResult basic = Send(NodeRequest(KSPROPSETID_Audio, 13, KSPROPERTY_TYPE_BASICSUPPORT, 0), 88);
    EXPECT_EQ(basic.ValueSize, 56u + 16u);  // one channel described

    WAVEFORMATEXTENSIBLE format = Format(WAVE_FORMAT_PCM, NULL, 2);
    Block before(2);
    ASSERT_EQ(ProcessAtDispatch(mute, format, before.table.data()), STATUS_SUCCESS);
    EXPECT_NE(before.buffers[1][7], 0.0f);

    std::vector<UCHAR> on = Bytes({1});
    ASSERT_EQ(Send(NodeRequest(KSPROPSETID_Audio, 13, KSPROPERTY_TYPE_SET, 0, {0}), 4, &on).Status, STATUS_SUCCESS);
    EXPECT_EQ(Send(NodeRequest(KSPROPSETID_Audio, 13, KSPROPERTY_TYPE_GET, 0, {1}), 4).Status, STATUS_INVALID_PARAMETER);
    Block after(2);
    ASSERT_EQ(ProcessAtDispatch(mute, format, after.table.data()), STATUS_SUCCESS);
    for (const auto& buffer : after.buffers) {
        for (float s : buffer) ASSERT_EQ(s, 0.0f);
    }
}

}  // namespace
}  // namespace topotest

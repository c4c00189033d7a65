// Level nodes against a scripted entity: clamping, quantisation, what is
// sent, cached and stored, refusals, read-back, the gain pad's all-channel
// form and the software volume's gains and processing.
#include <cmath>
#include <vector>

#include "tests/topology/uac/fake_entity.h"
#include "tests/topology/uac/uac_fixture.h"
#include "topology/level_nodes.h"

namespace uactest {
namespace {

constexpr ULONG kNodeId = 12;
constexpr LONG kStart = Db(-20);
const LONG kMinusInfinity = LEVEL_MINUS_INFINITY;

enum class NodeKind { Volume, Bass, GainPad, Software };

class LevelNodeTest : public UacTest {
protected:
    void TearDown() override {
        if (node) node->Release();
        if (entity) entity->Release();
        UacTest::TearDown();
    }

    // A node bound to a fresh scripted entity whose channels all read kStart.
    template <class Node>
    Node* Make(ULONG channels, LONG minimum, LONG maximum, LONG step, ULONG cs = UAC_CS_VOLUME) {
        entity = FakeEntity::Create(channels);
        entity->minimum = minimum;
        entity->maximum = maximum;
        entity->step = step;
        for (ULONG ch = 0; ch < channels; ++ch) entity->values[{cs, ch}] = kStart;
        Node* made = new (NonPagedPoolNx, UAC1_NODE_TAG) Node(NULL, kNodeId);
        made->AddRef();
        node = made;
        EXPECT_EQ(made->InitFromEntity(static_cast<IBoolControl*>(entity), cs, Fdo()), STATUS_SUCCESS);
        entity->sent.clear();
        return made;
    }

    CLevelNode* MakeKind(NodeKind kind, ULONG channels, LONG minimum, LONG maximum, LONG step) {
        switch (kind) {
        case NodeKind::Volume: return Make<CVolumeNode>(channels, minimum, maximum, step);
        case NodeKind::Bass: return Make<CBassNode>(channels, minimum, maximum, step, UAC_CS_BASS);
        case NodeKind::GainPad: return Make<CInputGainPadNode>(channels, minimum, maximum, step, UAC_CS_INPUT_GAIN_PAD);
        case NodeKind::Software: return Make<CSoftwareVolumeNode>(channels, minimum, maximum, step, UAC_CS_SOFTWARE_VOLUME);
        }
        return nullptr;
    }

    LONG Cached(ULONG channel) {
        LONG level = 0;
        EXPECT_EQ(node->GetValue(channel, &level), STATUS_SUCCESS);
        return level;
    }
    std::optional<Bytes> StoredLevel(ULONG channel) {
        return Stored(u"Unit12_ 0_" + std::u16string(1, (char16_t)(u'0' + channel)));
    }

    FakeEntity* entity = nullptr;
    CLevelNode* node = nullptr;
};

struct LevelCase {
    const char* name;
    NodeKind kind;
    LONG minimum, maximum, step;
    LONG request;
    bool refuse;
    std::optional<LONG> sent;    // what reached the entity for channel 0
    LONG cached;                 // afterwards
    std::optional<LONG> stored;  // "Unit12_ 0_0"
};

void PrintTo(const LevelCase& c, std::ostream* os) { *os << c.name; }

class LevelCaseTest : public LevelNodeTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(LevelCaseTest, SendsCachesAndStores) {
    const LevelCase& c = GetParam();
    MakeKind(c.kind, 2, c.minimum, c.maximum, c.step);
    if (c.refuse) entity->setStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(node->SetValue(0, c.request), STATUS_SUCCESS);
    if (c.sent) {
        ASSERT_EQ(entity->sent.size(), 1u);
        EXPECT_EQ(entity->sent[0].channel, 0u);
        EXPECT_EQ(entity->sent[0].value, *c.sent);
    } else {
        EXPECT_TRUE(entity->sent.empty());
    }
    EXPECT_EQ(Cached(0), c.cached);
    EXPECT_EQ(Cached(1), kStart);
    if (c.stored) {
        EXPECT_EQ(StoredLevel(0), Le32((ULONG)*c.stored));
    } else {
        EXPECT_FALSE(StoredLevel(0).has_value());
    }
}

const LONG kHalfDb = Db(0.5);
INSTANTIATE_TEST_SUITE_P(
    Levels, LevelCaseTest,
    ::testing::Values(
        LevelCase{"AboveMaximumKeepsMaximum", NodeKind::Volume, Db(-128), 0, 256, Db(6), false, 0, 0, 0},
        LevelCase{"BelowMinimumKeepsMinimum", NodeKind::Volume, Db(-128), 0, 256, Db(-200), false, Db(-128), Db(-128),
                  Db(-128)},
        LevelCase{"RoundedTowardZeroToTheStep", NodeKind::Volume, Db(-60), 0, kHalfDb, Db(-10.3), false, Db(-10),
                  Db(-10.3), Db(-10.3)},
        LevelCase{"StepZeroSendsTheClampedLevel", NodeKind::Volume, Db(-60), 0, 0, Db(-10.3), false, Db(-10.3),
                  Db(-10.3), Db(-10.3)},
        LevelCase{"VolumeMinusInfinityGoesToTheEntity", NodeKind::Volume, Db(-60), 0, 256, kMinusInfinity, false,
                  kMinusInfinity, kMinusInfinity, kMinusInfinity},
        LevelCase{"BassMinusInfinitySendsTheMinimum", NodeKind::Bass, Db(-12), Db(12), Db(0.25), kMinusInfinity, false,
                  Db(-12), kMinusInfinity, kMinusInfinity},
        LevelCase{"BassRoundedTowardZero", NodeKind::Bass, Db(-12), Db(12), Db(1), Db(3.7), false, Db(3), Db(3.7),
                  Db(3.7)},
        LevelCase{"GainPadMinusInfinityIsTheMinimum", NodeKind::GainPad, Db(-12), Db(12), Db(1), kMinusInfinity, false,
                  Db(-12), Db(-12), Db(-12)},
        LevelCase{"RefusedLevelKeepsCacheAndStore", NodeKind::Volume, Db(-60), 0, 256, Db(-3), true, std::nullopt,
                  kStart, std::nullopt},
        LevelCase{"SoftwareVolumeClampsAsTheVolume", NodeKind::Software, Db(-60), 0, kHalfDb, Db(-70), false, Db(-60),
                  Db(-60), Db(-60)}),
    [](const ::testing::TestParamInfo<LevelCase>& info) { return std::string(info.param.name); });

TEST_F(LevelNodeTest, ChannelOutOfRangeSendsNothing) {
    MakeKind(NodeKind::Volume, 2, Db(-60), 0, 256);
    EXPECT_EQ(node->SetValue(2, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node->SetValue(LEVEL_ALL_CHANNELS, 0), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(entity->sent.empty());
}

TEST_F(LevelNodeTest, InitTakesTheDeviceThenTheStoredValue) {
    Store(u"Unit12_ 0_1", Le32((ULONG)Db(-7)));
    MakeKind(NodeKind::Volume, 2, Db(-60), 0, 256);
    EXPECT_EQ(Cached(0), kStart);
    EXPECT_EQ(Cached(1), Db(-7));
}

TEST_F(LevelNodeTest, NeitherDeviceNorStoreLeavesZeroDecibels) {
    entity = FakeEntity::Create(2);
    entity->getStatus = STATUS_UNSUCCESSFUL;
    auto* volume = new (NonPagedPoolNx, UAC1_NODE_TAG) CVolumeNode(NULL, kNodeId);
    volume->AddRef();
    node = volume;
    ASSERT_EQ(volume->InitFromEntity(static_cast<IBoolControl*>(entity), UAC_CS_VOLUME, Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(Cached(0), 0);
    EXPECT_EQ(Cached(1), 0);
}

TEST_F(LevelNodeTest, VolumeReadBackReportsUnchangedWhenTheDeviceHoldsWhatWasSent) {
    MakeKind(NodeKind::Volume, 2, Db(-60), 0, kHalfDb);
    node->SetValue(0, Db(-10.3));
    node->SetValue(1, Db(-10.3));
    entity->values[{UAC_CS_VOLUME, 0}] = Db(-10);  // the rounded value the device took
    EXPECT_EQ(node->ReadBack(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Cached(0), Db(-10.3));

    entity->values[{UAC_CS_VOLUME, 0}] = Db(-12);
    entity->values[{UAC_CS_VOLUME, 1}] = Db(-14);
    EXPECT_EQ(node->ReadBack(), STATUS_SUCCESS);
    EXPECT_EQ(Cached(0), Db(-12));
    EXPECT_EQ(Cached(1), Db(-14));
    EXPECT_EQ(StoredLevel(1), Le32((ULONG)Db(-14)));
}

TEST_F(LevelNodeTest, StepZeroReadBackComparesTheLevelAsCached) {
    MakeKind(NodeKind::Volume, 1, Db(-60), 0, 0);
    node->SetValue(0, Db(-10.3));
    EXPECT_EQ(node->ReadBack(), STATUS_UNSUCCESSFUL);
    entity->values[{UAC_CS_VOLUME, 0}] = Db(-10);
    EXPECT_EQ(node->ReadBack(), STATUS_SUCCESS);
    EXPECT_EQ(Cached(0), Db(-10));
}

TEST_F(LevelNodeTest, StepZeroApplySendsTheCachedLevels) {
    MakeKind(NodeKind::Bass, 2, Db(-30), Db(12), 0);
    node->SetValue(1, Db(2.3));
    entity->sent.clear();
    EXPECT_EQ(node->Apply(), STATUS_SUCCESS);
    EXPECT_EQ(entity->sent, (std::vector<SentValue>{{UAC_CS_BASS, 0, kStart}, {UAC_CS_BASS, 1, Db(2.3)}}));
}

TEST_F(LevelNodeTest, ToneReadBackTakesTheDeviceLevelUnclamped) {
    MakeKind(NodeKind::Bass, 2, Db(-12), Db(12), Db(1));
    entity->values[{UAC_CS_BASS, 0}] = Db(20);
    entity->values[{UAC_CS_BASS, 1}] = Db(-1);
    EXPECT_EQ(node->ReadBack(), STATUS_SUCCESS);
    EXPECT_EQ(Cached(0), Db(20));
    EXPECT_EQ(StoredLevel(1), Le32((ULONG)Db(-1)));
}

struct PadCase {
    const char* name;
    std::set<ULONG> refused;
    std::vector<ULONG> sentTo;
    std::vector<LONG> cached;
};

void PrintTo(const PadCase& c, std::ostream* os) { *os << c.name; }

class GainPadTest : public LevelNodeTest, public ::testing::WithParamInterface<PadCase> {};

TEST_P(GainPadTest, AllChannelsStopAtTheFirstRefusal) {
    const PadCase& c = GetParam();
    MakeKind(NodeKind::GainPad, 3, Db(-12), Db(12), Db(1));
    entity->refusedChannels = c.refused;
    EXPECT_EQ(node->SetValue(LEVEL_ALL_CHANNELS, Db(6)), STATUS_SUCCESS);
    std::vector<ULONG> sentTo;
    for (const SentValue& s : entity->sent) sentTo.push_back(s.channel);
    EXPECT_EQ(sentTo, c.sentTo);
    for (ULONG ch = 0; ch < 3; ++ch) EXPECT_EQ(Cached(ch), c.cached[ch]) << ch;
    LONG first = 0;
    EXPECT_EQ(node->GetValue(LEVEL_ALL_CHANNELS, &first), STATUS_SUCCESS);
    EXPECT_EQ(first, c.cached[0]);
}

INSTANTIATE_TEST_SUITE_P(
    Pad, GainPadTest,
    ::testing::Values(PadCase{"EveryChannel", {}, {0, 1, 2}, {Db(6), Db(6), Db(6)}},
                      PadCase{"RefusalMidway", {1}, {0}, {Db(6), kStart, kStart}},
                      PadCase{"FirstRefused", {0}, {}, {kStart, kStart, kStart}}),
    [](const ::testing::TestParamInfo<PadCase>& info) { return std::string(info.param.name); });

// ---- software volume ----

class SoftwareVolumeTest : public LevelNodeTest {
protected:
    CSoftwareVolumeNode* Volume(ULONG channels = 2) {
        return Make<CSoftwareVolumeNode>(channels, Db(-60), 0, 256, UAC_CS_SOFTWARE_VOLUME);
    }
    static WAVEFORMATEXTENSIBLE Format(USHORT tag, USHORT channels, USHORT subTag = 0) {
        WAVEFORMATEXTENSIBLE f = {};
        f.Format.wFormatTag = tag;
        f.Format.nChannels = channels;
        f.SubFormat.Data1 = subTag;
        return f;
    }
    // Processes one chunk of 5 frames of 1.0 on each of `channels` buffers;
    // the samples afterwards.
    std::vector<std::vector<float>> Run(CSoftwareVolumeNode* v, const WAVEFORMATEXTENSIBLE& f, ULONG channels) {
        std::vector<std::vector<float>> buffers(channels, std::vector<float>(5, 1.0f));
        float* table[MAX_SOFTWARE_DSP_PROCESS_CHANNELS] = {};
        for (ULONG c = 0; c < channels; ++c) table[c] = buffers[c].data();
        EXPECT_EQ(static_cast<IDspNode*>(v)->Process(&f, table, 5), STATUS_SUCCESS);
        return buffers;
    }
};

struct ProcessCase {
    const char* name;
    USHORT tag, subTag;
    bool selected;
    LONG level;
    float expected;  // every sample of channels 0 and 1
};

void PrintTo(const ProcessCase& c, std::ostream* os) { *os << c.name; }

class ProcessTest : public SoftwareVolumeTest, public ::testing::WithParamInterface<ProcessCase> {};

TEST_P(ProcessTest, ScalesOnlyPcmOfTheSelectedInput) {
    const ProcessCase& c = GetParam();
    CSoftwareVolumeNode* v = Volume();
    v->SetValue(0, c.level);
    v->SetValue(1, c.level);
    v->SetInputIndex(2);
    v->OnSelectionChanged(c.selected ? 2 : 1);
    auto out = Run(v, Format(c.tag, 2, c.subTag), 2);
    for (ULONG ch = 0; ch < 2; ++ch)
        for (float s : out[ch]) EXPECT_FLOAT_EQ(s, c.expected) << ch;
}

INSTANTIATE_TEST_SUITE_P(
    Process, ProcessTest,
    ::testing::Values(ProcessCase{"PcmScaled", WAVE_FORMAT_PCM, 0, true, Db(-6), 0.50118723f},
                      ProcessCase{"ExtensiblePcmScaled", WAVE_FORMAT_EXTENSIBLE, 1, true, Db(-6), 0.50118723f},
                      ProcessCase{"FloatUntouched", WAVE_FORMAT_IEEE_FLOAT, 0, true, Db(-6), 1.0f},
                      ProcessCase{"ExtensibleFloatUntouched", WAVE_FORMAT_EXTENSIBLE, 3, true, Db(-6), 1.0f},
                      ProcessCase{"UnselectedInputUntouched", WAVE_FORMAT_PCM, 0, false, Db(-6), 1.0f},
                      ProcessCase{"GainOneLeavesSamples", WAVE_FORMAT_PCM, 0, true, 0, 1.0f},
                      ProcessCase{"MinusInfinityZeroes", WAVE_FORMAT_PCM, 0, true, LEVEL_MINUS_INFINITY, 0.0f}),
    [](const ::testing::TestParamInfo<ProcessCase>& info) { return std::string(info.param.name); });

TEST_F(SoftwareVolumeTest, ProcessStopsAtTheNodesChannels) {
    CSoftwareVolumeNode* v = Volume(2);
    v->SetValue(0, Db(-6));
    v->SetValue(1, Db(-6));
    auto out = Run(v, Format(WAVE_FORMAT_PCM, 8), 8);
    EXPECT_FLOAT_EQ(out[1][0], 0.50118723f);
    for (ULONG ch = 2; ch < 8; ++ch) EXPECT_EQ(out[ch][4], 1.0f) << ch;
}

TEST_F(SoftwareVolumeTest, GainFollowsARefusedRequest) {
    CSoftwareVolumeNode* v = Volume();
    entity->setStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(v->SetValue(0, Db(-6)), STATUS_SUCCESS);
    EXPECT_EQ(Cached(0), kStart);
    EXPECT_FLOAT_EQ(Run(v, Format(WAVE_FORMAT_PCM, 2), 2)[0][0], 0.50118723f);
}

TEST_F(SoftwareVolumeTest, InitGainsComeFromTheCachedLevels) {
    CSoftwareVolumeNode* v = Volume();
    auto out = Run(v, Format(WAVE_FORMAT_PCM, 2), 2);
    EXPECT_NEAR(out[0][0], std::pow(10.0, -20.0 / 20.0), 1e-3);
}

TEST_F(SoftwareVolumeTest, AnswersItsInterfaces) {
    CSoftwareVolumeNode* v = Volume();
    for (const GUID* iid : {&IID_IDspNode, &IID_IMuxListener, &IID_ILevelUnit, &IID_IUnitProfile, &IID_IUacUnit}) {
        PVOID out = nullptr;
        EXPECT_EQ(static_cast<IUacUnit*>(v)->QueryInterface(*iid, &out), STATUS_SUCCESS);
        static_cast<IUnknown*>(out)->Release();
    }
}

}  // namespace
}  // namespace uactest

// The remapped family's entities and nodes on a simulated device, with a
// recording stand-in for the model's codec registers: level curves and
// scalings both ways, the ranges in the device's 16-bit arithmetic, the
// mute LED, the OR bit of unit 11, the selectable output terminal, the
// selector's codes, descriptors the Inits refuse, and what the processed
// nodes do to a stream.
#include <cmath>
#include <numeric>

#include "stream/engine/dsp_node.h"
#include "tests/topology/uac/fake_entity.h"
#include "tests/topology/uac/uac_fixture.h"
#include "topology/chip_registers_registry.h"
#include "topology/db_curves.h"
#include "topology/jack_info.h"
#include "topology/level_nodes.h"
#include "topology/remap_entities.h"
#include "topology/remap_nodes.h"
#include "topology/switch_nodes.h"
#include "topology/unit_interfaces.h"

namespace uactest {
namespace {

struct Write {
    ULONG index;
    USHORT value, mask;
    bool operator==(const Write& o) const { return index == o.index && value == o.value && mask == o.mask; }
};
void PrintTo(const Write& w, std::ostream* os) { *os << "{" << w.index << ", " << w.value << ", " << w.mask << "}"; }

struct RecordingRegisters : IChipRegisters {
    NTSTATUS WriteChipRegister(ULONG index, USHORT value, USHORT mask) override {
        writes.push_back({index, value, mask});
        return result;
    }
    std::vector<Write> writes;
    NTSTATUS result = STATUS_SUCCESS;
};

// IT 1 -> FU 13 [mute master, volume ch 1, 2] -> OT 3 speaker; FU 11 and
// FU 8 [mute and volume master]; FU 16 [mute]; SU 10 {15, 16}.
constexpr UCHAR kLed = 13, kFixedBit = 11, kScaled = 8, kMuteOnly = 16, kSelector = 10, kTerminal = 3;

Bytes FeatureUnit(UCHAR id, UCHAR source, UCHAR controlSize, const std::vector<UCHAR>& controls) {
    Bytes rest{source, controlSize};
    for (UCHAR c : controls) {
        rest.push_back(c);
        if (controlSize == 2) rest.push_back(0);
    }
    rest.push_back(0);
    return Descriptor(6, id, rest);
}

class RemapEntityTest : public UacTest {
protected:
    simusb::DescriptorSet Descriptors() override {
        simusb::DescriptorSet set = BuildTestDevice();
        simusb::ConfigBuilder c;
        c.Configuration()
            .Interface(0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, 0)
            .Uac1Header({})
            .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
            .Uac1FeatureUnit(kLed, 1, 1, {0x01, 0x02, 0x02})
            .Uac1OutputTerminal(kTerminal, 0x0301, kLed)
            .Uac1FeatureUnit(kFixedBit, 1, 1, {0x03, 0, 0})
            .Uac1FeatureUnit(kScaled, 1, 1, {0x03, 0, 0})
            .Uac1FeatureUnit(kMuteOnly, 1, 1, {0x01, 0, 0})
            .SelectorUnit(kSelector, {15, 16});
        set.configuration = c.Build();
        return set;
    }
    void SetUp() override {
        UacTest::SetUp();
        ASSERT_EQ(RegisterChipRegisters(static_cast<IAudioHal*>(m_Model), &m_Registers), STATUS_SUCCESS);
        for (UCHAR id : {kLed, kFixedBit, kScaled})
            for (UCHAR ch : {0, 1, 2}) uac().SetRange(id, UAC_CS_VOLUME, ch, -32767, 32767, 1);
    }
    void TearDown() override {
        UnregisterChipRegisters(static_cast<IAudioHal*>(m_Model));
        UacTest::TearDown();
    }

    // An entity of class E over the descriptor, initialised as its row does.
    template <class E, class... Extra>
    E* Make(const Bytes& d, NTSTATUS expected = STATUS_SUCCESS, Extra... extra) {
        E* e = new (NonPagedPoolNx, REMAP_ENTITY_TAG) E(NULL, (ULONG)m_Model->entities.size());
        e->AddRef();
        m_Model->entities.push_back(e);
        EXPECT_EQ(e->Init(d.data(), static_cast<IAudioHal*>(m_Model), m_Model, extra...), expected);
        return e;
    }
    Bytes Unit(UCHAR id, const std::vector<UCHAR>& controls, UCHAR size = 1) { return FeatureUnit(id, 1, size, controls); }

    RecordingRegisters m_Registers;
};

// ---- curves, scalings, ranges -----------------------------------------------------------

TEST(RemapCurveTable, EntriesAndSums) {
    EXPECT_EQ(DB_CURVE_TABLE_39[0].Device, 0);
    EXPECT_EQ(DB_CURVE_TABLE_39[1].Level, -62);
    EXPECT_EQ(DB_CURVE_TABLE_39[36].Device, -9216);
    EXPECT_EQ(DB_CURVE_TABLE_39[37].Device, -9728);
    EXPECT_EQ(DB_CURVE_TABLE_39[38].Level, -32768);
    long device = 0, level = 0;
    for (const auto& p : DB_CURVE_TABLE_39) device += p.Device, level += p.Level;
    EXPECT_EQ(device, -256L * (36 * 37 / 2) - 2 * 9728);
    EXPECT_EQ(level, -122765L);
}

struct CurveCase {
    bool toLevel;
    LONG in, out;
};
void PrintTo(const CurveCase& c, std::ostream* os) { *os << (c.toLevel ? "level of " : "device of ") << c.in; }
class RemapCurveTest : public ::testing::TestWithParam<CurveCase> {};
TEST_P(RemapCurveTest, BothWays) {
    const CurveCase& c = GetParam();
    EXPECT_EQ(c.toLevel ? CFeatureUnitMuteLed::CurveToLevel((SHORT)c.in) : CFeatureUnitMuteLed::CurveToDevice(c.in), c.out);
}
INSTANTIATE_TEST_SUITE_P(Examples, RemapCurveTest,
                         ::testing::Values(CurveCase{true, -256, -62}, CurveCase{true, -9216, -8500},
                                           CurveCase{true, -9728, -9728}, CurveCase{true, 0, 0},
                                           CurveCase{false, -62, -256}, CurveCase{false, -100, -256},
                                           CurveCase{false, 0, 0},
                                           // Above 0 dB: the loudest device value, never a read before the table.
                                           CurveCase{false, 256, 0}));

struct ScaleCase {
    bool b, toSystem;
    LONG in, out;
};
void PrintTo(const ScaleCase& c, std::ostream* os) { *os << (c.b ? "B " : "A ") << (c.toSystem ? "get " : "set ") << c.in; }
class RemapScaleTest : public ::testing::TestWithParam<ScaleCase> {};
TEST_P(RemapScaleTest, Conversion) {
    const ScaleCase& c = GetParam();
    CFeatureUnitDbScale unit(NULL, 0, c.b ? &DB_SCALE_B : &DB_SCALE_A);
    EXPECT_EQ(c.toSystem ? unit.ToSystem(c.in) : unit.ToDevice(c.in), c.out);
}
INSTANTIATE_TEST_SUITE_P(Examples, RemapScaleTest,
                         ::testing::Values(ScaleCase{false, true, Db(-3), Db(-4.5)}, ScaleCase{false, true, Db(2), Db(6)},
                                           ScaleCase{false, false, Db(-4.5), Db(-3)}, ScaleCase{false, false, Db(6), Db(2)},
                                           ScaleCase{true, true, Db(-8), Db(-3)}, ScaleCase{true, false, Db(-3), Db(-8)},
                                           ScaleCase{true, true, LEVEL_MINUS_INFINITY, LEVEL_MINUS_INFINITY},
                                           ScaleCase{false, false, LEVEL_MINUS_INFINITY, LEVEL_MINUS_INFINITY}));

// Device range +6 dB .. -60 dB: the scaled minimum wraps in 16 bits, as
// the family's range has always been reported.
TEST_F(RemapEntityTest, ScaledRangesInSixteenBitArithmetic) {
    for (UCHAR ch : {0, 1}) uac().SetRange(kScaled, UAC_CS_VOLUME, ch, -15360, 1536 + 0x4F, 256);
    auto* a = Make<CFeatureUnitDbScaleA>(Unit(kScaled, {0x03, 0, 0}));
    LONG max = 0, min = 0, step = 0;
    ASSERT_EQ(a->GetLevelRange(UAC_CS_VOLUME, &max, &min, &step), STATUS_SUCCESS);
    EXPECT_EQ(max, (LONG)(SHORT)((1536 + 0x40) * 3) * 256);  // low 4 bits cleared
    EXPECT_EQ(min, (LONG)(SHORT)((SHORT)(-15360 * 3) / 2) * 256);
    EXPECT_EQ(step, 0x18000);
    auto* b = new (NonPagedPoolNx, REMAP_ENTITY_TAG) CFeatureUnitDbScaleB(NULL, 9);
    b->AddRef();
    m_Model->entities.push_back(b);
    const Bytes d = Unit(kScaled, {0x03, 0, 0});
    ASSERT_EQ(b->SetDescriptor(d.data(), static_cast<IAudioHal*>(m_Model)), STATUS_SUCCESS);
    ASSERT_EQ(b->GetLevelRange(UAC_CS_VOLUME, &max, &min, &step), STATUS_SUCCESS);
    EXPECT_EQ(max, 1536 * 3 * 256);  // low 8 bits cleared
    EXPECT_EQ(min, (LONG)(SHORT)((SHORT)(-15360 * 3) / 8) * 256);
}

TEST_F(RemapEntityTest, CurveRangeOfTheLedUnit) {
    uac().SetRange(kLed, UAC_CS_VOLUME, 1, -9216, 0, 256);
    auto* led = Make<CFeatureUnitMuteLed>(Unit(kLed, {0x01, 0x02, 0x02}));
    LONG max = 1, min = 0, step = 0;
    ASSERT_EQ(led->GetLevelRange(UAC_CS_VOLUME, &max, &min, &step), STATUS_SUCCESS);
    EXPECT_EQ(max, 0);
    EXPECT_EQ(min, -8500 * 256);
    EXPECT_EQ(step, 0x4000);
}

// bControlSize 0 would divide by zero in the channel count.
TEST_F(RemapEntityTest, ControlSizeZeroIsRefusedByEveryInit) {
    const Bytes bad = Descriptor(6, kLed, {1, 0, 0x01, 0x02});
    const ULONG units = m_Model->GetUnitCount();
    Make<CFeatureUnitMuteLed>(bad, STATUS_INVALID_PARAMETER);
    Make<CFeatureUnitDbScaleBNodes>(bad, STATUS_INVALID_PARAMETER);
    Make<CFeatureUnitDbScaleBLedMute>(bad, STATUS_INVALID_PARAMETER);
    Make<CFeatureUnitMuteOnly>(bad, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_Model->GetUnitCount(), units);
}

// ---- LED, OR bits ------------------------------------------------------------------------

struct LedCase {
    UCHAR need, reverse, value;
    std::vector<Write> writes;
};
void PrintTo(const LedCase& c, std::ostream* os) {
    *os << "need " << (int)c.need << " reverse " << (int)c.reverse << " value " << (int)c.value;
}
class RemapLedTest : public RemapEntityTest, public ::testing::WithParamInterface<LedCase> {};
TEST_P(RemapLedTest, MuteDrivesTheLed) {
    const LedCase& c = GetParam();
    Store(u"NeedMuteLED", {c.need});
    Store(u"ReverseMuteLED", {c.reverse});
    auto* led = Make<CFeatureUnitMuteLed>(Unit(kLed, {0x01, 0x02, 0x02}));
    m_Registers.writes.clear();
    ASSERT_EQ(led->SetBool(UAC_CS_MUTE, 0, c.value), STATUS_SUCCESS);
    EXPECT_EQ(m_Registers.writes, c.writes);
}
INSTANTIATE_TEST_SUITE_P(Table, RemapLedTest,
                         ::testing::Values(LedCase{1, 0, 1, {{1, 0x30, 0x30}}}, LedCase{1, 0, 0, {{1, 0x10, 0x30}}},
                                           LedCase{1, 1, 1, {{1, 0x10, 0x30}}}, LedCase{0, 0, 1, {}}));

TEST_F(RemapEntityTest, OrBitsStayInEveryMuteUntilCleared) {
    auto* unit = Make<CFeatureUnitFixedBit>(Unit(kFixedBit, {0x03, 0, 0}));
    IMuteOrBits* bits = nullptr;
    ASSERT_EQ(static_cast<IBoolControl*>(unit)->QueryInterface(IID_IMuteOrBits, reinterpret_cast<PVOID*>(&bits)),
              STATUS_SUCCESS);
    bits->Release();
    ClearLog();
    ASSERT_EQ(unit->SetBool(UAC_CS_MUTE, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(bits->SetMuteOrBits(1), STATUS_SUCCESS);
    ASSERT_EQ(unit->SetBool(UAC_CS_MUTE, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(bits->SetMuteOrBits(0), STATUS_SUCCESS);
    EXPECT_EQ(Sets(kFixedBit, 0x0100), (std::vector<Bytes>{{0}, {1}, {1}, {0}}));
    EXPECT_EQ(unit->SetBool(UAC_CS_MUTE, 1, 1), STATUS_INVALID_PARAMETER);
}

// ---- the output terminal -------------------------------------------------------------------

class RemapTerminalTest : public RemapEntityTest {
protected:
    CSelectableOutputTerminal* Terminal(bool spdif, bool hp, bool eight) {
        const Bytes d = Descriptor(3, kTerminal, {0x01, 0x03, 0, kLed, 0});
        return Make<CSelectableOutputTerminal>(d, STATUS_SUCCESS, (BOOLEAN)spdif, (BOOLEAN)hp, (BOOLEAN)eight);
    }
};

TEST_F(RemapTerminalTest, InitWritesTheCurrentTypeAndSelectTypeStoresIt) {
    auto* t = Terminal(true, true, true);
    EXPECT_EQ(m_Registers.writes, (std::vector<Write>{{2, 0xE000, 0xFFFF}, {1, 0x0002, 0x0002}, {0, 0, 0x8000}}));
    m_Registers.writes.clear();
    ASSERT_EQ(t->SelectType(ENDPOINT_SPDIF), STATUS_SUCCESS);
    EXPECT_EQ(m_Registers.writes, (std::vector<Write>{{2, 0xE7F8, 0xFFFF}, {1, 0, 0x0002}, {0, 0x8000, 0x8000}}));
    EXPECT_EQ(Stored(u"UACUnit03"), Le32(ENDPOINT_SPDIF));
}

TEST_F(RemapTerminalTest, UnofferedTypeChangesNothing) {
    auto* t = Terminal(true, false, true);
    m_Registers.writes.clear();
    EXPECT_EQ(t->SelectType(ENDPOINT_HP), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(m_Registers.writes.empty());
    ULONG type = 0;
    ASSERT_EQ(t->GetType(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, (ULONG)ENDPOINT_SPK);
}

TEST_F(RemapTerminalTest, StoredTypeCountsOnlyWhenOffered) {
    for (ULONG stored : {(ULONG)ENDPOINT_HP, 25u}) {
        Store(u"UACUnit03", Le32(stored));
        auto* t = Terminal(true, false, true);
        ULONG type = 0;
        ASSERT_EQ(t->GetType(&type), STATUS_SUCCESS);
        EXPECT_EQ(type, (ULONG)ENDPOINT_SPK) << "stored " << stored;
    }
}

TEST_F(RemapTerminalTest, JackRecordsOfEachType) {
    Store(u"UACUnit03", Le32(ENDPOINT_HP));
    auto* t = Terminal(true, true, true);
    ULONG count = 0;
    ASSERT_EQ(t->GetJackCount(&count, 0), STATUS_SUCCESS);
    EXPECT_EQ(count, 4u);
    JACK_INFO records[5] = {};
    records[4].Color = 0xCAFE;
    ASSERT_EQ(t->GetJackInfo(sizeof(records), records, 0), STATUS_SUCCESS);
    EXPECT_EQ(records[1].ChannelMapping, 0xCu);
    EXPECT_EQ(records[1].Color, 0xFF8000u);
    EXPECT_EQ(records[3].ChannelMapping, 0x600u);
    for (int i = 0; i < 4; i++) EXPECT_EQ(records[i].IsConnected, 0u);
    EXPECT_EQ(records[4].Color, 0xCAFEu);
    ASSERT_EQ(t->GetJackInfo(sizeof(JACK_INFO), records, 1), STATUS_SUCCESS);
    EXPECT_EQ(records[0].IsConnected, 1u);
    ASSERT_EQ(t->GetJackInfo(sizeof(JACK_INFO), records, 2), STATUS_SUCCESS);
    EXPECT_EQ(records[0].ConnectionType, 5u);
    EXPECT_EQ(records[0].IsConnected, 0u);
    Store(u"SetJackConnect", Le32(1));
    ASSERT_EQ(t->GetJackInfo(sizeof(records), records, 0), STATUS_SUCCESS);
    for (int i = 0; i < 4; i++) EXPECT_EQ(records[i].IsConnected, 1u);
    // Short of the records: refused, nothing written.
    JACK_INFO one = {};
    one.Color = 0xBEEF;
    EXPECT_EQ(t->GetJackInfo(sizeof(one), &one, 0), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(one.Color, 0xBEEFu);
    EXPECT_EQ(t->GetJackInfo(0, &one, 0), STATUS_INVALID_PARAMETER);
}

// ---- selector -------------------------------------------------------------------------------

TEST_F(RemapEntityTest, SelectorSendsTheCodecCodes) {
    auto* s = Make<CUacSelectorUnitEx>(Descriptor(5, kSelector, {2, 15, 16, 0}));
    ClearLog();
    ASSERT_EQ(s->SetValue(1), STATUS_SUCCESS);
    ASSERT_EQ(s->SetValue(2), STATUS_SUCCESS);
    EXPECT_EQ(Sets(kSelector, 0), (std::vector<Bytes>{{2}, {3}}));
    ASSERT_TRUE(uac().SetValue(kSelector, 0, 0, 1));
    ClearLog();
    ULONG input = 0;
    ASSERT_EQ(s->GetValue(&input), STATUS_SUCCESS);
    EXPECT_EQ(input, 1u);
    EXPECT_EQ(Sets(kSelector, 0), (std::vector<Bytes>{{2}}));
    EXPECT_EQ(s->SetValue(3), STATUS_INVALID_PARAMETER);
    Make<CUacSelectorUnitEx>(Descriptor(5, 12, {8, 15, 16, 2, 8, 15, 16, 2, 0}), STATUS_INVALID_PARAMETER);
}

// ---- nodes on the stream ---------------------------------------------------------------------

WAVEFORMATEXTENSIBLE Pcm(WORD channels) {
    WAVEFORMATEXTENSIBLE f = {};
    f.Format.wFormatTag = WAVE_FORMAT_PCM;
    f.Format.nChannels = channels;
    f.Format.nBlockAlign = (WORD)(channels * 3);
    f.Format.wBitsPerSample = 24;
    return f;
}

class RemapNodeTest : public RemapEntityTest {
protected:
    // The unit of kind `kind` the entity made, as T.
    template <class T>
    T* NodeOf(CUacEntity* entity, ULONG kind, REFIID iid) {
        ULONG count = 0;
        entity->GetNodeCount(&count);
        for (ULONG i = 0; i < count; i++) {
            IUacUnit* node = nullptr;
            if (NT_SUCCESS(entity->GetNode(i, &node)) && node->GetKind() == kind) return As<T>(node, iid);
        }
        return nullptr;
    }
    // Stereo float channels of 1.0 through the node; what channel ch holds.
    std::vector<float> Run(IDspNode* node, WORD channels = 2) {
        std::vector<std::vector<float>> data(channels, std::vector<float>(8, 1.0f));
        std::vector<float*> table;
        for (auto& c : data) table.push_back(c.data());
        const WAVEFORMATEXTENSIBLE f = Pcm(channels);
        node->Process(&f, table.data(), 8);
        std::vector<float> out;
        for (auto& c : data) out.push_back(c[7]);
        return out;
    }
};

TEST_F(RemapNodeTest, ProcessedMuteAndVolumeActOnlyOnSpdif) {
    auto* led = Make<CFeatureUnitMuteLed>(Unit(kLed, {0x01, 0x02, 0x02}));
    IDspNode* mute = NodeOf<IDspNode>(led, UNIT_KIND_MUTE, IID_IDspNode);
    IDspNode* volume = NodeOf<IDspNode>(led, UNIT_KIND_VOLUME, IID_IDspNode);
    ASSERT_NE(mute, nullptr);
    ASSERT_NE(volume, nullptr);
    auto* muteValue = NodeOf<IBoolUnit>(led, UNIT_KIND_MUTE, IID_IBoolUnit);
    auto* levels = NodeOf<ILevelUnit>(led, UNIT_KIND_VOLUME, IID_ILevelUnit);
    ASSERT_EQ(levels->SetValue(0, Db(-6)), STATUS_SUCCESS);
    ASSERT_EQ(levels->SetValue(1, 0), STATUS_SUCCESS);
    ASSERT_EQ(muteValue->SetValue(0, 1), STATUS_SUCCESS);
    EXPECT_EQ(Run(mute), (std::vector<float>{1, 1}));
    EXPECT_EQ(Run(volume), (std::vector<float>{1, 1}));
    for (auto* p : {NodeOf<IUnitProfile>(led, UNIT_KIND_MUTE, IID_IUnitProfile),
                    NodeOf<IUnitProfile>(led, UNIT_KIND_VOLUME, IID_IUnitProfile)})
        p->SelectProfile(ENDPOINT_SPDIF, NULL);
    EXPECT_EQ(Run(mute), (std::vector<float>{0, 0}));
    const auto scaled = Run(volume);
    EXPECT_NEAR(scaled[0], std::pow(10.0, -6.0 / 20.0), 1e-4);
    EXPECT_NEAR(scaled[1], 1.0, 1e-6);
    // A raw (non-PCM) stream: frames x nBlockAlign bytes zeroed while muted.
    WAVEFORMATEXTENSIBLE raw = Pcm(2);
    raw.Format.wFormatTag = 0x0092;
    std::vector<uint8_t> bytes(8 * 6 + 4, 0x55);
    mute->Process(&raw, bytes.data(), 8);
    EXPECT_EQ(std::count(bytes.begin(), bytes.begin() + 48, 0), 48);
    EXPECT_EQ(bytes[48], 0x55);
}

// A master-only volume (one channel) gives its gain to every channel of
// the stream, eight included.
TEST_F(RemapNodeTest, MasterVolumeScalesEveryChannel) {
    FakeEntity* entity = FakeEntity::Create(1);
    auto* node = new (NonPagedPoolNx, REMAP_NODE_TAG) CProcessedVolumeNode(NULL, 70);
    node->AddRef();
    ASSERT_EQ(node->Init(static_cast<IBoolControl*>(entity), UAC_CS_VOLUME, Fdo()), STATUS_SUCCESS);
    ASSERT_EQ(node->SetValue(0, Db(-20)), STATUS_SUCCESS);
    node->SelectProfile(ENDPOINT_SPDIF, NULL);
    const auto out = Run(static_cast<IDspNode*>(node), 8);
    for (float v : out) EXPECT_NEAR(v, 0.1, 1e-4);
    node->Release();
    entity->Release();
}

TEST_F(RemapNodeTest, MuteOnSelectorInputActsWhileSelected) {
    auto* unit = Make<CFeatureUnitMuteOnly>(Unit(kMuteOnly, {0x01, 0, 0}));
    auto* listener = NodeOf<IMuxListener>(unit, UNIT_KIND_MUTE, IID_IMuxListener);
    auto* value = NodeOf<IBoolUnit>(unit, UNIT_KIND_MUTE, IID_IBoolUnit);
    IDspNode* node = NodeOf<IDspNode>(unit, UNIT_KIND_MUTE, IID_IDspNode);
    ASSERT_NE(node, nullptr);
    listener->SetInputIndex(2);
    value->SetValue(0, 1);
    listener->OnSelectionChanged(1);
    EXPECT_EQ(Run(node), (std::vector<float>{1, 1}));
    listener->OnSelectionChanged(2);
    EXPECT_EQ(Run(node), (std::vector<float>{0, 0}));
}

TEST_F(RemapNodeTest, SoftMuteSilencesWhateverTheProfile) {
    auto* unit = Make<CFeatureUnitDbScaleBNodes>(Unit(kScaled, {0x03, 0, 0}));
    auto* value = NodeOf<IBoolUnit>(unit, UNIT_KIND_MUTE, IID_IBoolUnit);
    ASSERT_NE(value, nullptr);
    ClearLog();
    ASSERT_EQ(value->SetValue(0, 1), STATUS_SUCCESS);
    EXPECT_TRUE(Sets(kScaled, 0x0100).empty());  // kept in the driver
    EXPECT_EQ(Run(NodeOf<IDspNode>(unit, UNIT_KIND_MUTE, IID_IDspNode)), (std::vector<float>{0, 0}));
    EXPECT_EQ(value->SetValue(1, 1), STATUS_INVALID_PARAMETER);
}

TEST_F(RemapNodeTest, LedMuteStoresOnlyWhatTheRegisterTook) {
    auto* unit = Make<CFeatureUnitDbScaleBLedMute>(Unit(kScaled, {0x03, 0, 0}));
    IBoolUnit* led = nullptr;
    ULONG count = 0;
    unit->GetNodeCount(&count);
    IUacUnit* last = nullptr;
    ASSERT_EQ(unit->GetNode(count - 1, &last), STATUS_SUCCESS);
    led = As<IBoolUnit>(last, IID_IBoolUnit);
    ASSERT_NE(led, nullptr);
    m_Registers.writes.clear();
    ASSERT_EQ(led->SetValue(0, 1), STATUS_SUCCESS);
    EXPECT_EQ(m_Registers.writes, (std::vector<Write>{{1, 0x10, 0x30}}));
    BYTE value = 0;
    ASSERT_EQ(led->GetValue(0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1);
    m_Registers.result = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(led->SetValue(0, 0), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(led->GetValue(0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(led->SetValue(1, 1), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace uactest

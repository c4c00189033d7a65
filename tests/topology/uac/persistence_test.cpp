// Persistence of the bound nodes: value names in the "Settings" key, the
// per-profile restore of an output-type change, notifications, the start
// with an empty registry, and the restore after the device comes back.
#include "sim/registry.h"
#include "tests/topology/uac/fake_entity.h"
#include "tests/topology/uac/uac_fixture.h"
#include "topology/level_nodes.h"
#include "topology/node_settings.h"
#include "topology/switch_nodes.h"

namespace uactest {
namespace {

// Units of the test device after BuildAll.
constexpr ULONG kMute2 = 1, kVolume2 = 2, kTypeNode = 5, kSelector = 10;
constexpr LONG kDeviceVolume = -10 * 65536;  // the simulated device's start value

class PersistenceTest : public UacTest {
protected:
    ILevelUnit* Level(ULONG unit) { return As<ILevelUnit>(Unit(unit), IID_ILevelUnit); }
    IBoolUnit* Bool(ULONG unit) { return As<IBoolUnit>(Unit(unit), IID_IBoolUnit); }
    ITerminalTypeUnit* TypeNode() { return As<ITerminalTypeUnit>(Unit(kTypeNode), IID_ITerminalTypeUnit); }
    IMuxUnit* Selector() { return As<IMuxUnit>(Unit(kSelector), IID_IMuxUnit); }
    LONG DeviceValue(UCHAR entity, UCHAR cs, UCHAR channel) {
        LONG value = 0x7777;
        uac().GetValue(entity, cs, channel, &value);
        return value;
    }
};

struct NameCase {
    ULONG unitId, profile, channel;
    std::u16string name;
};

TEST_F(PersistenceTest, ValueNames) {
    const NameCase cases[] = {{12, 0, 0, u"Unit12_ 0_0"},
                              {5, 2, 1, u"Unit05_ 2_1"},
                              {5, 14, 1, u"Unit05_14_1"},
                              {123, 1, 10, u"Unit123_ 1_10"},
                              {1234567890, 123456, 3, u"Unit1234567890_1233"}};  // cut at 18, then the channel
    for (const NameCase& c : cases) {
        const ULONG value = 0xA5A5A5A5;
        NODE_STORE{Fdo(), c.unitId}.WriteChannel(c.profile, c.channel, &value, sizeof(value));
        EXPECT_EQ(Stored(c.name), Le32(value)) << std::string(c.name.begin(), c.name.end());
    }
    NODE_STORE{Fdo(), 7}.WriteUnit("\x01", 1);
    EXPECT_EQ(Stored(u"Unit07_"), Bytes{1});
    WriteTerminalType(Fdo(), 3, ENDPOINT_HP);
    EXPECT_EQ(Stored(u"UACUnit03"), Le32(ENDPOINT_HP));
    EXPECT_EQ(sim::RegistryValueNames(kSettingsKey).size(), 7u);
}

// An empty registry at start: every node keeps the device's value and the
// terminal-type pass and the Apply pass write it back under the node's
// current profile.
TEST_F(PersistenceTest, EmptyRegistryGetsTheDeviceValues) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    EXPECT_EQ(Stored(u"Unit01_ 1_0"), Bytes{0});  // mute under the speaker profile
    EXPECT_EQ(Stored(u"Unit02_ 1_0"), Le32((ULONG)kDeviceVolume));
    EXPECT_EQ(Stored(u"Unit02_ 1_1"), Le32((ULONG)kDeviceVolume));
    EXPECT_EQ(Stored(u"Unit08_ 0_0"), Le32((ULONG)kDeviceVolume));  // no output type downstream
    EXPECT_EQ(Stored(u"Unit10_"), Le32(1));
    EXPECT_EQ(DeviceValue(2, UAC_CS_VOLUME, 1), -10 * 256);
}

// The first switch from speaker to headphones carries the speaker values
// into the headphone names and to the device; later headphone changes
// leave the speaker values alone.
TEST_F(PersistenceTest, FirstSwitchCarriesTheSpeakerValues) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    ASSERT_EQ(Level(kVolume2)->SetValue(0, Db(-20)), STATUS_SUCCESS);
    EXPECT_EQ(Stored(u"Unit02_ 1_0"), Le32((ULONG)Db(-20)));
    uac().SetValue(2, UAC_CS_VOLUME, 1, 0);  // the device forgets
    ASSERT_EQ(TypeNode()->SelectType(ENDPOINT_HP), STATUS_SUCCESS);
    EXPECT_EQ(Stored(u"Unit02_ 2_0"), Le32((ULONG)Db(-20)));
    EXPECT_EQ(DeviceValue(2, UAC_CS_VOLUME, 1), -20 * 256);
    ASSERT_EQ(Level(kVolume2)->SetValue(0, Db(-30)), STATUS_SUCCESS);
    EXPECT_EQ(Stored(u"Unit02_ 2_0"), Le32((ULONG)Db(-30)));
    EXPECT_EQ(Stored(u"Unit02_ 1_0"), Le32((ULONG)Db(-20)));
    ASSERT_EQ(TypeNode()->SelectType(ENDPOINT_SPK), STATUS_SUCCESS);
    EXPECT_EQ(DeviceValue(2, UAC_CS_VOLUME, 1), -20 * 256);
}

class ProfileTest : public PersistenceTest {
protected:
    void TearDown() override {
        for (IUacUnit* node : nodes) node->Release();
        if (entity) entity->Release();
        PersistenceTest::TearDown();
    }
    template <class Node>
    Node* Bound(ULONG id) {
        Node* node = new (NonPagedPoolNx, UAC1_NODE_TAG) Node(NULL, id);
        static_cast<IUacUnit*>(node)->AddRef();
        nodes.push_back(node);
        EXPECT_EQ(node->InitFromEntity(static_cast<IUacUnit*>(entity), UAC_CS_VOLUME, Fdo()), STATUS_SUCCESS);
        return node;
    }
    void SixChannels() {
        entity = FakeEntity::Create(6);
        entity->minimum = Db(-60);
        for (ULONG ch = 0; ch < 6; ++ch) entity->values[{UAC_CS_VOLUME, ch}] = Db(-1);
    }
    FakeEntity* entity = nullptr;
    std::vector<IUacUnit*> nodes;
};

struct CountingCallback {
    int count = 0;
    static VOID Call(PVOID context, PVOID, PVOID) { ++static_cast<CountingCallback*>(context)->count; }
};

// Headphones are a two-channel profile: a six-channel node restores and
// applies channels 0 and 1 only; the software volume all six.
TEST_F(ProfileTest, SixChannelsUnderHeadphones) {
    SixChannels();
    CVolumeNode* volume = Bound<CVolumeNode>(12);
    CSoftwareVolumeNode* software = Bound<CSoftwareVolumeNode>(13);
    for (ULONG ch = 0; ch < 6; ++ch) {
        Store(u"Unit12_ 2_" + std::u16string(1, (char16_t)(u'0' + ch)), Le32((ULONG)Db(-10.0 - ch)));
        Store(u"Unit13_ 2_" + std::u16string(1, (char16_t)(u'0' + ch)), Le32((ULONG)Db(-20.0 - ch)));
    }
    entity->sent.clear();
    EXPECT_EQ(volume->SelectProfile(ENDPOINT_HP, NULL), STATUS_SUCCESS);
    EXPECT_EQ(entity->sent.size(), 2u);
    LONG level = 0;
    volume->GetValue(1, &level);
    EXPECT_EQ(level, Db(-11));
    volume->GetValue(5, &level);
    EXPECT_EQ(level, Db(-1));  // not restored
    entity->sent.clear();
    EXPECT_EQ(software->SelectProfile(ENDPOINT_HP, NULL), STATUS_SUCCESS);
    EXPECT_EQ(entity->sent.size(), 8u);  // 2 by the common restore, 6 by its own
    software->GetValue(5, &level);
    EXPECT_EQ(level, Db(-25));
    ULONG count = 0;
    static_cast<ILevelUnit*>(software)->GetChannelCount(&count);
    EXPECT_EQ(count, 2u);
}

TEST_F(ProfileTest, NotificationsPerRestore) {
    SixChannels();
    CVolumeNode* volume = Bound<CVolumeNode>(12);
    CSoftwareVolumeNode* software = Bound<CSoftwareVolumeNode>(13);
    CountingCallback counter;
    PVOID registration = nullptr;
    ASSERT_EQ(m_Model->RegisterCallback(CountingCallback::Call, &counter, &registration), STATUS_SUCCESS);
    PVOID callbackObject = nullptr;
    ASSERT_EQ(m_Model->GetCallbackObject(&callbackObject), STATUS_SUCCESS);
    volume->SelectProfile(ENDPOINT_SPK, NULL);
    EXPECT_EQ(counter.count, 0);
    volume->SelectProfile(ENDPOINT_HP, callbackObject);
    EXPECT_EQ(counter.count, 1);
    counter.count = 0;
    software->SelectProfile(ENDPOINT_HP, callbackObject);
    EXPECT_EQ(counter.count, 2);
    m_Model->UnregisterCallback(registration);
}

// ---- the end-to-end restore ----

// Values changed on one start reach the device again on the next, from
// the same registry, under their exact names.
TEST_F(PersistenceTest, RestoredOnTheNextStart) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    ASSERT_EQ(TypeNode()->SelectType(ENDPOINT_HP), STATUS_SUCCESS);
    ASSERT_EQ(Level(kVolume2)->SetValue(0, Db(-25)), STATUS_SUCCESS);
    ASSERT_EQ(Level(kVolume2)->SetValue(1, Db(-26)), STATUS_SUCCESS);
    ASSERT_EQ(Bool(kMute2)->SetValue(0, 1), STATUS_SUCCESS);
    ASSERT_EQ(Selector()->SetValue(2), STATUS_SUCCESS);
    EXPECT_EQ(Stored(u"UACUnit03"), Le32(ENDPOINT_HP));
    EXPECT_EQ(Stored(u"Unit05_"), Le32(ENDPOINT_HP));
    EXPECT_EQ(Stored(u"Unit02_ 2_0"), Le32((ULONG)Db(-25)));
    EXPECT_EQ(Stored(u"Unit02_ 2_1"), Le32((ULONG)Db(-26)));
    EXPECT_EQ(Stored(u"Unit01_ 2_0"), Bytes{1});
    EXPECT_EQ(Stored(u"Unit10_"), Le32(2));

    Replug();
    ASSERT_EQ(uac().CurrentTerminalType(3), 0x0302);  // the fresh device starts on headphones
    ASSERT_TRUE(uac().SelectTerminalType(3, 0x0301));
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    EXPECT_EQ(uac().CurrentTerminalType(3), 0x0302);
    EXPECT_EQ(DeviceValue(2, UAC_CS_VOLUME, 1), -25 * 256);
    EXPECT_EQ(DeviceValue(2, UAC_CS_VOLUME, 2), -26 * 256);
    EXPECT_EQ(DeviceValue(2, UAC_CS_MUTE, 0), 1);
    EXPECT_EQ(DeviceValue(6, 0, 0), 2);
    // The terminal-type pass, then the Apply pass.
    EXPECT_EQ(Sets(2, 0x0201), std::vector<Bytes>(2, Bytes{0x00, 0xE7}));
    EXPECT_EQ(Sets(2, 0x0100), std::vector<Bytes>(2, Bytes{0x01}));
    EXPECT_EQ(Sets(6, 0x0000), std::vector<Bytes>(1, Bytes{0x02}));
    ULONG input = 0;
    Selector()->GetValue(&input);
    EXPECT_EQ(input, 2u);
}

// ---- stored values of another shape ----

// What a node takes at start from a stored value: a channel level or switch
// only of exactly its size, a selector input or output type also from fewer
// bytes (a settings file stores "0x02" as one byte); anything else leaves
// the device's value or the default, as a missing value does.
enum class Probe { Volume, Mute, Selector, OutputType };

struct ShapeCase {
    const char* name;
    const char16_t* value;
    ULONG type;
    Bytes bytes;
    Probe probe;
    ULONG expected;
};

void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.name; }

class StoredShapeTest : public PersistenceTest, public ::testing::WithParamInterface<ShapeCase> {
protected:
    ULONG Read(Probe probe) {
        LONG level = 0;
        BYTE on = 0;
        ULONG input = 0;
        switch (probe) {
        case Probe::Volume: Level(kVolume2)->GetValue(0, &level); return (ULONG)level;
        case Probe::Mute: Bool(kMute2)->GetValue(0, &on); return on;
        case Probe::Selector: Selector()->GetValue(&input); return input;
        case Probe::OutputType: return uac().CurrentTerminalType(3);
        }
        return 0;
    }
};

TEST_P(StoredShapeTest, TakenOnlyWhenItFitsTheRead) {
    const ShapeCase& c = GetParam();
    Store(c.value, c.bytes, c.type);
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    EXPECT_EQ(Read(c.probe), c.expected);
}

const ULONG kDeviceLevel = (ULONG)kDeviceVolume;
const ULONG kLevel20 = (ULONG)Db(-20);
const Bytes kLevel20Bytes = {0x00, 0x00, 0xEC, 0xFF};
const Bytes kTwo = {2, 0, 0, 0};  // input 2, or ENDPOINT_HP

INSTANTIATE_TEST_SUITE_P(
    Table, StoredShapeTest,
    ::testing::Values(
        ShapeCase{"VolumeExact", u"Unit02_ 1_0", REG_BINARY, kLevel20Bytes, Probe::Volume, kLevel20},
        ShapeCase{"VolumeDword", u"Unit02_ 1_0", REG_DWORD, kLevel20Bytes, Probe::Volume, kLevel20},
        ShapeCase{"VolumeShort", u"Unit02_ 1_0", REG_BINARY, Bytes{0x00, 0xE7}, Probe::Volume, kDeviceLevel},
        ShapeCase{"VolumeLong", u"Unit02_ 1_0", REG_BINARY, Bytes{0, 0, 0xEC, 0xFF, 0}, Probe::Volume, kDeviceLevel},
        ShapeCase{"VolumeText", u"Unit02_ 1_0", REG_SZ, kLevel20Bytes, Probe::Volume, kDeviceLevel},
        ShapeCase{"MuteExact", u"Unit01_ 1_0", REG_BINARY, Bytes{1}, Probe::Mute, 1},
        ShapeCase{"MuteLong", u"Unit01_ 1_0", REG_BINARY, Bytes{1, 0}, Probe::Mute, 0},
        ShapeCase{"MuteText", u"Unit01_ 1_0", REG_SZ, Bytes{1}, Probe::Mute, 0},
        ShapeCase{"SelectorOneByte", u"Unit10_", REG_BINARY, Bytes{2}, Probe::Selector, 2},
        ShapeCase{"SelectorEmpty", u"Unit10_", REG_BINARY, Bytes{}, Probe::Selector, 1},
        ShapeCase{"SelectorLong", u"Unit10_", REG_BINARY, Bytes{2, 0, 0, 0, 0}, Probe::Selector, 1},
        ShapeCase{"SelectorText", u"Unit10_", REG_SZ, kTwo, Probe::Selector, 1},
        ShapeCase{"OutputTypeOneByte", u"UACUnit03", REG_BINARY, Bytes{ENDPOINT_HP}, Probe::OutputType, 0x0302},
        ShapeCase{"OutputTypeLong", u"UACUnit03", REG_BINARY, Bytes{ENDPOINT_HP, 0, 0, 0, 0}, Probe::OutputType,
                  0x0301},
        ShapeCase{"OutputTypeText", u"UACUnit03", REG_SZ, kTwo, Probe::OutputType, 0x0301}),
    [](const ::testing::TestParamInfo<ShapeCase>& info) { return std::string(info.param.name); });

// A return to full power sends the cached values again without reading
// the store.
TEST_F(PersistenceTest, PowerUpAppliesTheCachedValues) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    ASSERT_EQ(Level(kVolume2)->SetValue(1, Db(-12)), STATUS_SUCCESS);
    uac().SetValue(2, UAC_CS_VOLUME, 2, 0);
    POWER_STATE d3 = {}, d0 = {};
    d3.DeviceState = PowerDeviceD3;
    d0.DeviceState = PowerDeviceD0;
    static_cast<IAdapterPowerManagement*>(m_Model)->PowerChangeState(d3);
    static_cast<IAdapterPowerManagement*>(m_Model)->PowerChangeState(d0);
    EXPECT_EQ(DeviceValue(2, UAC_CS_VOLUME, 2), -12 * 256);
}

}  // namespace
}  // namespace uactest

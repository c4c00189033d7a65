// Feature units of chip families A and B: the fixed conversions both ways,
// the fixed ranges that still need the device's range requests, switches
// on channel 0 only, and descriptors the Init refuses.
#include <functional>

#include "sim/pool.h"
#include "tests/topology/uac/uac_fixture.h"
#include "topology/db_curves.h"
#include "topology/fixed_range_feature_unit.h"
#include "topology/level_nodes.h"
#include "topology/switch_nodes.h"

namespace uactest {
namespace {

// Unit ids the families give classes to; the device has each as a feature
// unit with mute, volume and treble on channel 0 only.
constexpr UCHAR kUnits[] = {9, 10, 13};
constexpr UCHAR kMuteVolumeTreble = 0x01 | 0x02 | 0x10;
// A unit with mute and volume only, on which every class can build nodes.
constexpr UCHAR kMuteVolumeUnit = 11;

enum class Kind { A9, A10, A13, B9, B10, B13 };

const char* Name(Kind k) {
    static const char* names[] = {"A9", "A10", "A13", "B9", "B10", "B13"};
    return names[(int)k];
}

UCHAR UnitOf(Kind k) {
    switch (k) {
    case Kind::A9: case Kind::B9: return 9;
    case Kind::A10: case Kind::B10: return 10;
    default: return 13;
    }
}

CUac1FixedRangeFeatureUnit* New(Kind k) {
    switch (k) {
    case Kind::A9: return new (NonPagedPoolNx, CHIP_A_ENTITY_TAG) CUac1FeatureUnitA9(NULL, 0);
    case Kind::A10: return new (NonPagedPoolNx, CHIP_A_ENTITY_TAG) CUac1FeatureUnitA10(NULL, 0);
    case Kind::A13: return new (NonPagedPoolNx, CHIP_A_ENTITY_TAG) CUac1FeatureUnitA13(NULL, 0);
    case Kind::B9: return new (NonPagedPoolNx, CHIP_B_TAG) CUac1FeatureUnitB9(NULL, 0);
    case Kind::B10: return new (NonPagedPoolNx, CHIP_B_TAG) CUac1FeatureUnitB10(NULL, 0);
    default: return new (NonPagedPoolNx, CHIP_B_TAG) CUac1FeatureUnitB13(NULL, 0);
    }
}

bool IsFamilyA(Kind k) { return k == Kind::A9 || k == Kind::A10 || k == Kind::A13; }

Bytes FeatureUnit(UCHAR id, UCHAR controlSize, const std::vector<USHORT>& controls, UCHAR iFeature = 0) {
    Bytes rest{1, controlSize};
    for (USHORT e : controls) {
        rest.push_back((uint8_t)e);
        if (controlSize == 2) rest.push_back((uint8_t)(e >> 8));
    }
    rest.push_back(iFeature);
    return Descriptor(6, id, rest);
}

class FixedRangeTest : public UacTest {
protected:
    simusb::DescriptorSet Descriptors() override {
        simusb::DescriptorSet set = BuildTestDevice();
        simusb::ConfigBuilder c;
        c.Configuration()
            .Interface(0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, 0)
            .Uac1Header({})
            .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
            .Uac1FeatureUnit(9, 1, 1, {kMuteVolumeTreble, 0, 0})
            .Uac1FeatureUnit(10, 9, 1, {kMuteVolumeTreble, 0, 0})
            .Uac1FeatureUnit(13, 10, 1, {kMuteVolumeTreble, 0, 0})
            .Uac1FeatureUnit(kMuteVolumeUnit, 13, 1, {0x03, 0, 0})
            .Uac1OutputTerminal(3, 0x0301, kMuteVolumeUnit);
        set.configuration = c.Build();
        return set;
    }

    void SetUp() override {
        UacTest::SetUp();
        // Wide device ranges, so no value the tests write is clamped.
        for (UCHAR id : kUnits) {
            uac().SetRange(id, UAC_CS_VOLUME, 0, -32768, 32767, 1);
            uac().SetRange(id, UAC_CS_TREBLE, 0, -128, 127, 1);
        }
    }

    // The unit of that class over the device's descriptor with that id
    // (requests only, no nodes: the simulated device answers tone
    // controls with one byte, where family B asks for two); released by
    // TearDown.
    CUac1FixedRangeFeatureUnit* Make(Kind k) {
        Bytes d = FeatureUnit(UnitOf(k), 1, {kMuteVolumeTreble, 0, 0});
        CUac1FixedRangeFeatureUnit* unit = New(k);
        unit->AddRef();
        m_Units.push_back(unit);
        EXPECT_EQ(unit->SetDescriptor(d.data(), AsDevice()), STATUS_SUCCESS) << Name(k);
        ClearLog();
        return unit;
    }

    IUnknown* AsDevice() { return static_cast<IAudioHal*>(m_Model); }

    void TearDown() override {
        for (auto* unit : m_Units) unit->Release();
        m_Units.clear();
        UacTest::TearDown();
    }

    std::vector<CUac1FixedRangeFeatureUnit*> m_Units;
};

// ---- conversions ----------------------------------------------------------------------

struct ReadCase {
    Kind kind;
    ULONG cs;
    LONG device;  // the device's value (one byte for a tone read)
    LONG level;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << Name(c.kind) << " cs " << c.cs << " " << c.device; }

class FixedRangeReadTest : public FixedRangeTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(FixedRangeReadTest, DeviceValueToLevel) {
    const ReadCase& c = GetParam();
    CUac1FixedRangeFeatureUnit* unit = Make(c.kind);
    ASSERT_TRUE(uac().SetValue(UnitOf(c.kind), (UCHAR)c.cs, 0, c.device));
    LONG level = 0x1234;
    ASSERT_EQ(unit->GetLevel(c.cs, 0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, c.level);
    auto log = Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].setup.wValue, (USHORT)(c.cs << 8));  // channel 0: the control is on channel 0 only
}

INSTANTIATE_TEST_SUITE_P(
    Table, FixedRangeReadTest,
    ::testing::Values(ReadCase{Kind::A13, UAC_CS_VOLUME, 0x0B00, Db(22.5)},
                      ReadCase{Kind::A13, UAC_CS_VOLUME, (SHORT)0xE400, Db(-36)},
                      ReadCase{Kind::A10, UAC_CS_VOLUME, 0x0300, Db(11)},
                      ReadCase{Kind::A10, UAC_CS_VOLUME, (SHORT)0xE900, Db(-28)},
                      ReadCase{Kind::A9, UAC_CS_VOLUME, -256, Db(-0.75)},
                      ReadCase{Kind::A9, UAC_CS_VOLUME, 0, 0},
                      // Below the curve the value is its own level.
                      ReadCase{Kind::A9, UAC_CS_VOLUME, -9472, Db(-37)},
                      ReadCase{Kind::A9, UAC_CS_VOLUME, (SHORT)0x8000, LEVEL_MINUS_INFINITY},
                      ReadCase{Kind::A9, UAC_CS_TREBLE, -8, -8 * 16384},
                      ReadCase{Kind::B9, UAC_CS_VOLUME, -208, Db(-1)},
                      ReadCase{Kind::B9, UAC_CS_VOLUME, -16, 0},
                      ReadCase{Kind::B9, UAC_CS_VOLUME, -100, 0},
                      ReadCase{Kind::B13, UAC_CS_VOLUME, 5760, Db(9)},
                      ReadCase{Kind::B13, UAC_CS_VOLUME, 0, Db(-13.5)},
                      ReadCase{Kind::B13, UAC_CS_VOLUME, (SHORT)0x8000, LEVEL_MINUS_INFINITY},
                      ReadCase{Kind::B10, UAC_CS_VOLUME, (SHORT)0xF400, Db(-12)},
                      ReadCase{Kind::B10, UAC_CS_TREBLE, -12, -12 * 16384}));

struct WriteCase {
    Kind kind;
    ULONG cs;
    LONG level;
    Bytes sent;
};

void PrintTo(const WriteCase& c, std::ostream* os) { *os << Name(c.kind) << " cs " << c.cs << " " << c.level; }

class FixedRangeWriteTest : public FixedRangeTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(FixedRangeWriteTest, LevelToDeviceValue) {
    const WriteCase& c = GetParam();
    CUac1FixedRangeFeatureUnit* unit = Make(c.kind);
    ASSERT_EQ(unit->SetLevel(c.cs, 0, c.level), STATUS_SUCCESS);
    auto sets = Sets(UnitOf(c.kind), (USHORT)(c.cs << 8));
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0], c.sent);
}

Bytes Le16(LONG v) { return {(uint8_t)v, (uint8_t)((ULONG)v >> 8)}; }

INSTANTIATE_TEST_SUITE_P(
    Table, FixedRangeWriteTest,
    ::testing::Values(WriteCase{Kind::A13, UAC_CS_VOLUME, Db(22.5), Le16(0x0B00)},
                      WriteCase{Kind::A13, UAC_CS_VOLUME, Db(-36), Le16(0xE400)},
                      WriteCase{Kind::A10, UAC_CS_VOLUME, Db(33), Le16(0x0300)},
                      WriteCase{Kind::A10, UAC_CS_VOLUME, Db(-6), Le16(0xE900)},
                      WriteCase{Kind::A9, UAC_CS_VOLUME, Db(-0.75), Le16(-256)},
                      WriteCase{Kind::A9, UAC_CS_VOLUME, 0, Le16(0)},
                      WriteCase{Kind::A9, UAC_CS_VOLUME, Db(-33), Le16(-9472)},
                      WriteCase{Kind::A9, UAC_CS_VOLUME, LEVEL_MINUS_INFINITY, Le16(0x8000)},
                      // Family A sends tone levels as one byte, family B as two.
                      WriteCase{Kind::A13, UAC_CS_TREBLE, -3 * 16384, {0xFD}},
                      WriteCase{Kind::B10, UAC_CS_TREBLE, -3 * 16384, Le16(-192)},
                      WriteCase{Kind::B9, UAC_CS_VOLUME, Db(-1), Le16(-208)},
                      WriteCase{Kind::B9, UAC_CS_VOLUME, 0, Le16(-16)},
                      WriteCase{Kind::B9, UAC_CS_VOLUME, Db(-37), Le16(-7120)},
                      WriteCase{Kind::B9, UAC_CS_VOLUME, LEVEL_MINUS_INFINITY, Le16(0x8000)},
                      WriteCase{Kind::B13, UAC_CS_VOLUME, Db(9), Le16(5760)},
                      WriteCase{Kind::B13, UAC_CS_VOLUME, Db(-13.5), Le16(0)},
                      WriteCase{Kind::B10, UAC_CS_VOLUME, Db(22.5), Le16(0x1680)}));

// The curve's level column read back from each device value it names: a
// round trip through both directions for every point but the last (below
// the curve the value stands for itself).
TEST_F(FixedRangeTest, A9CurveRoundTrip) {
    CUac1FixedRangeFeatureUnit* unit = Make(Kind::A9);
    for (ULONG i = 0; i + 1 < DB_CURVE_TABLE_38_POINTS; ++i) {
        const LONG level = DB_CURVE_TABLE_38[i].Level * 256;
        ClearLog();
        ASSERT_EQ(unit->SetLevel(UAC_CS_VOLUME, 0, level), STATUS_SUCCESS);
        auto sets = Sets(9, UAC_CS_VOLUME << 8);
        ASSERT_EQ(sets.size(), 1u);
        EXPECT_EQ(sets[0], Le16(DB_CURVE_TABLE_38[i].Device)) << i;
        LONG back = 0;
        ASSERT_EQ(unit->GetLevel(UAC_CS_VOLUME, 0, &back), STATUS_SUCCESS);
        EXPECT_EQ(back, level) << i;
    }
}

TEST(DbCurveTable, PinnedEntriesAndSums) {
    EXPECT_EQ(DB_CURVE_TABLE_38[1].Level, -192);
    EXPECT_EQ(DB_CURVE_TABLE_38[36].Level, -8294);
    EXPECT_EQ(DB_CURVE_TABLE_38[37].Device, -9472);
    EXPECT_EQ(DB_CURVE_TABLE_38[37].Level, -32768);
    long devices = 0, levels = 0;
    for (const auto& p : DB_CURVE_TABLE_38) {
        devices += p.Device;
        levels += p.Level;
    }
    EXPECT_EQ(devices, -256L * (36 * 37 / 2) - 9472);
    EXPECT_EQ(levels, -114107L);
}

// ---- ranges ----------------------------------------------------------------------------

struct RangeCase {
    Kind kind;
    ULONG cs;
    LONG maximum, minimum, step;
};

void PrintTo(const RangeCase& c, std::ostream* os) { *os << Name(c.kind) << " cs " << c.cs; }

class FixedRangeRangeTest : public FixedRangeTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(FixedRangeRangeTest, FixedWhateverTheDeviceSays) {
    const RangeCase& c = GetParam();
    CUac1FixedRangeFeatureUnit* unit = Make(c.kind);
    uac().SetRange(UnitOf(c.kind), UAC_CS_VOLUME, 0, -5, 7, 3);
    uac().SetRange(UnitOf(c.kind), UAC_CS_TREBLE, 0, -40, 48, 4);
    LONG maximum = 0, minimum = 0, step = 0;
    ASSERT_EQ(unit->GetLevelRange(c.cs, &maximum, &minimum, &step), STATUS_SUCCESS);
    EXPECT_EQ(maximum, c.maximum);
    EXPECT_EQ(minimum, c.minimum);
    EXPECT_EQ(step, c.step);
    EXPECT_EQ(Log().size(), 3u);  // GET_MAX, GET_MIN, GET_RES were asked all the same
}

INSTANTIATE_TEST_SUITE_P(
    Table, FixedRangeRangeTest,
    ::testing::Values(RangeCase{Kind::A9, UAC_CS_VOLUME, 0, Db(-33), 0x2000},
                      RangeCase{Kind::A10, UAC_CS_VOLUME, Db(33), Db(-6), Db(1.5)},
                      RangeCase{Kind::A13, UAC_CS_VOLUME, Db(22.5), Db(-36), Db(1.5)},
                      // Family A's tone controls take the device's range.
                      RangeCase{Kind::A13, UAC_CS_TREBLE, 48 * 16384, -40 * 16384, 4 * 16384},
                      RangeCase{Kind::B9, UAC_CS_VOLUME, 0, Db(-37), Db(1)},
                      RangeCase{Kind::B13, UAC_CS_VOLUME, 0x00090001, Db(-13.5), Db(1.5)},
                      RangeCase{Kind::B10, UAC_CS_VOLUME, Db(22.5), 0, Db(1.5)}));

TEST_F(FixedRangeTest, RangeFailsWhenAnyRangeRequestStalls) {
    for (UCHAR request : {0x83, 0x82, 0x84}) {
        for (Kind k : {Kind::A9, Kind::B13}) {
            CUac1FixedRangeFeatureUnit* unit = Make(k);
            StallRequests(0xA1, request, std::nullopt, UnitOf(k), 1);
            LONG maximum = 1, minimum = 2, step = 3;
            EXPECT_FALSE(NT_SUCCESS(unit->GetLevelRange(UAC_CS_VOLUME, &maximum, &minimum, &step)))
                << Name(k) << " request " << (int)request;
            EXPECT_EQ(maximum, 1);
            EXPECT_EQ(minimum, 2);
            EXPECT_EQ(step, 3);
        }
    }
}

// ---- switches and channels ----------------------------------------------------------------

TEST_F(FixedRangeTest, SwitchesOnChannelZeroOnly) {
    CUac1FixedRangeFeatureUnit* unit = Make(Kind::B9);
    ULONG count = 0;
    ASSERT_EQ(unit->GetBoolChannelCount(UAC_CS_MUTE, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    UCHAR value = 0x55;
    EXPECT_EQ(unit->GetBool(UAC_CS_MUTE, 1, &value), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->SetBool(UAC_CS_MUTE, 1, 1), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(value, 0x55);
    ASSERT_EQ(unit->SetBool(UAC_CS_MUTE, 0, 1), STATUS_SUCCESS);
    EXPECT_EQ(Sets(9, UAC_CS_MUTE << 8), std::vector<Bytes>{Bytes{1}});
}

// Volume on two logical channels reaches device channels 1 and 2, with no
// channel exchanged; the volume bit only in the master entry makes one
// channel, and iFeature is never an entry.
TEST_F(FixedRangeTest, LevelChannels) {
    auto* unit = New(Kind::A10);
    unit->AddRef();
    m_Units.push_back(unit);
    Bytes d = FeatureUnit(0x33, 1, {0x01, 0x02, 0x02});
    ASSERT_EQ(unit->SetDescriptor(d.data(), AsDevice()), STATUS_SUCCESS);
    ClearLog();
    EXPECT_EQ(unit->SetLevel(UAC_CS_VOLUME, 1, 0), STATUS_UNSUCCESSFUL);  // the unknown unit stalls
    auto log = Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].setup.wValue, UAC_CS_VOLUME << 8 | 2);
    EXPECT_EQ(unit->SetLevel(UAC_CS_VOLUME, 2, 0), STATUS_INVALID_PARAMETER);

    auto* master = New(Kind::A10);
    master->AddRef();
    m_Units.push_back(master);
    Bytes m = FeatureUnit(0x34, 1, {0x03, 0x00, 0x00}, /*iFeature=*/0x02);
    ASSERT_EQ(master->SetDescriptor(m.data(), AsDevice()), STATUS_SUCCESS);
    ULONG count = 0;
    EXPECT_EQ(master->GetLevelChannelCount(UAC_CS_VOLUME, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
}

// ---- Init ---------------------------------------------------------------------------------

struct RefusalCase {
    const char* name;
    Bytes descriptor;
    NTSTATUS status;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class FixedRangeRefusalTest : public FixedRangeTest, public ::testing::WithParamInterface<RefusalCase> {};

// Each refusal keeps nothing: no node joins the model and no request is sent.
TEST_P(FixedRangeRefusalTest, InitRefuses) {
    const RefusalCase& c = GetParam();
    for (Kind k : {Kind::A9, Kind::A13, Kind::B9, Kind::B10}) {
        CUac1FixedRangeFeatureUnit* unit = New(k);
        unit->AddRef();
        m_Units.push_back(unit);
        const ULONG units = m_Model->GetUnitCount();
        ClearLog();
        const NTSTATUS status = IsFamilyA(k) ? unit->InitA(c.descriptor.data(), AsDevice(), m_Model)
                                             : unit->InitB(c.descriptor.data(), AsDevice(), m_Model);
        EXPECT_EQ(status, c.status) << Name(k);
        EXPECT_EQ(m_Model->GetUnitCount(), units) << Name(k);
        EXPECT_TRUE(Log().empty()) << Name(k);
    }
}

Bytes WithControlSize(UCHAR size, UCHAR length) {
    Bytes d = FeatureUnit(0x35, 1, {0x03, 0x03});
    d[5] = size;
    d[0] = length;
    return d;
}

INSTANTIATE_TEST_SUITE_P(
    Table, FixedRangeRefusalTest,
    ::testing::Values(RefusalCase{"ControlSizeZero", WithControlSize(0, 9), STATUS_INVALID_PARAMETER},
                      RefusalCase{"ControlSizeThree", WithControlSize(3, 9), STATUS_INVALID_PARAMETER},
                      RefusalCase{"LengthSix", WithControlSize(1, 6), STATUS_INVALID_PARAMETER},
                      RefusalCase{"LengthShortOfEntry", WithControlSize(2, 8), STATUS_INVALID_PARAMETER},
                      RefusalCase{"NoMute", FeatureUnit(0x36, 1, {0x02, 0x02}), STATUS_INSUFFICIENT_RESOURCES}));

TEST_F(FixedRangeTest, InitRefusesNullArguments) {
    CUac1FixedRangeFeatureUnit* unit = New(Kind::A9);
    unit->AddRef();
    m_Units.push_back(unit);
    Bytes d = FeatureUnit(9, 1, {kMuteVolumeTreble, 0, 0});
    EXPECT_EQ(unit->InitA(nullptr, AsDevice(), m_Model), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->InitA(d.data(), nullptr, m_Model), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->InitA(d.data(), AsDevice(), nullptr), STATUS_INVALID_PARAMETER);
    Bytes selector = Descriptor(5, 9, {1, 1, 0});
    EXPECT_EQ(unit->InitA(selector.data(), AsDevice(), m_Model), STATUS_INVALID_PARAMETER);
}

// Nodes in the order mute, volume, treble (family A, whose tone requests
// the simulated device answers), and mute, volume for every class; the
// nodes carry their family's pool tag.
TEST_F(FixedRangeTest, NodesOfTheControlsPresent) {
    struct NodeCase {
        Kind kind;
        UCHAR id;
        std::vector<ULONG> kinds;
    };
    const NodeCase cases[] = {
        {Kind::A13, 13, {UNIT_KIND_MUTE, UNIT_KIND_VOLUME, UNIT_KIND_TREBLE}},
        {Kind::A9, kMuteVolumeUnit, {UNIT_KIND_MUTE, UNIT_KIND_VOLUME}},
        {Kind::B9, kMuteVolumeUnit, {UNIT_KIND_MUTE, UNIT_KIND_VOLUME}},
        {Kind::B13, kMuteVolumeUnit, {UNIT_KIND_MUTE, UNIT_KIND_VOLUME}},
    };
    for (const NodeCase& c : cases) {
        Bytes d = FeatureUnit(c.id, 1, c.id == 13 ? std::vector<USHORT>{kMuteVolumeTreble, 0, 0}
                                                  : std::vector<USHORT>{0x03, 0, 0});
        CUac1FixedRangeFeatureUnit* unit = New(c.kind);
        unit->AddRef();
        m_Units.push_back(unit);
        const ULONG tag = IsFamilyA(c.kind) ? CHIP_A_NODE_TAG : CHIP_B_TAG;
        const auto before = sim::PoolLiveBlocks(tag);
        ASSERT_EQ(IsFamilyA(c.kind) ? unit->InitA(d.data(), AsDevice(), m_Model)
                                    : unit->InitB(d.data(), AsDevice(), m_Model),
                  STATUS_SUCCESS)
            << Name(c.kind);
        EXPECT_GT(sim::PoolLiveBlocks(tag), before) << Name(c.kind);
        ULONG count = 0;
        ASSERT_EQ(unit->GetNodeCount(&count), STATUS_SUCCESS);
        std::vector<ULONG> kinds;
        for (ULONG i = 0; i < count; ++i) {
            IUacUnit* node = nullptr;
            ASSERT_EQ(unit->GetNode(i, &node), STATUS_SUCCESS);
            kinds.push_back(node->GetKind());
        }
        EXPECT_EQ(kinds, c.kinds) << Name(c.kind);
    }
}

}  // namespace
}  // namespace uactest

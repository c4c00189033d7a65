// The UAC 1.0 feature unit: which device channel a logical channel
// reaches, the nodes it creates, the vendor control block, and
// descriptors too short for what they claim.
#include <algorithm>

#include "sim/pool.h"
#include "tests/topology/uac/uac_fixture.h"
#include "topology/level_nodes.h"
#include "topology/switch_nodes.h"
#include "topology/uac1_feature_unit.h"

namespace uactest {
namespace {

constexpr UCHAR kUnknownId = 0x33;

// Feature unit 2 on 8 channels: master mute, bass, treble, AGC and
// loudness; volume on channels 1 to 8.
simusb::DescriptorSet BuildEightChannelDevice() {
    simusb::ConfigBuilder c;
    std::vector<USHORT> controls(9, 0x0002);
    controls[0] = 0x0001 | 0x0004 | 0x0010 | 0x0040 | 0x0200;
    c.Configuration()
        .Interface(0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, 0)
        .Uac1Header({})
        .Uac1InputTerminal(1, 0x0101, 8, 0x063F)
        .Uac1FeatureUnit(2, 1, 2, controls)
        .Uac1OutputTerminal(3, 0x0301, 2);
    simusb::DescriptorSet set = BuildTestDevice();
    set.configuration = c.Build();
    return set;
}

// A vendor control block of `length` bytes whose L field says `field`,
// control size `size`, entry 0 with the switches 0x8B and 0x8C.
Bytes VendorBlock(size_t length, ULONG field, UCHAR size = 2) {
    Bytes block(std::max<size_t>(length, 21), 0x5A);
    block[16] = (uint8_t)field;
    block[17] = (uint8_t)(field >> 8);
    block[18] = size;
    block[19] = 0x00;
    block[20] = 0x0C;
    block.resize(length);
    return block;
}

class FeatureUnitTest : public UacTest {
protected:
    simusb::DescriptorSet Descriptors() override { return BuildEightChannelDevice(); }

    std::vector<ULONG> NodeKinds(UCHAR entityId) {
        std::vector<ULONG> kinds;
        ULONG count = 0;
        CUacEntity* entity = Entity(entityId);
        if (entity == nullptr || !NT_SUCCESS(entity->GetNodeCount(&count))) return kinds;
        for (ULONG i = 0; i < count; ++i) {
            IUacUnit* node = nullptr;
            entity->GetNode(i, &node);
            kinds.push_back(node->GetKind());
        }
        return kinds;
    }
};

// ---- channel selection, on a unit the device does not know ----

struct ChannelCase {
    const char* name;
    UCHAR controlSize;
    std::vector<USHORT> controls;  // entry 0 first
    UCHAR iFeature;
    ULONG cs, index;
    int channel;  // the request's channel, or -1: no request
    NTSTATUS status;
};

void PrintTo(const ChannelCase& c, std::ostream* os) { *os << c.name; }

class ChannelTest : public UacTest, public ::testing::WithParamInterface<ChannelCase> {};

TEST_P(ChannelTest, LogicalIndexToDeviceChannel) {
    const ChannelCase& c = GetParam();
    Bytes rest{1, c.controlSize};
    for (USHORT e : c.controls) {
        rest.push_back((uint8_t)e);
        if (c.controlSize == 2) rest.push_back((uint8_t)(e >> 8));
    }
    rest.push_back(c.iFeature);
    Bytes d = Descriptor(6, kUnknownId, rest);
    auto* unit = new (NonPagedPoolNx, UAC1_NODE_TAG) CUacFeatureUnit(NULL, 0);
    unit->AddRef();
    ASSERT_EQ(unit->SetDescriptor(d.data(), static_cast<IAudioHal*>(m_Model)), STATUS_SUCCESS);
    ClearLog();
    LONG level = 0x1234;
    UCHAR value = 0x56;
    NTSTATUS status = c.cs == UAC_CS_MUTE ? unit->GetBool(c.cs, c.index, &value) : unit->GetLevel(c.cs, c.index, &level);
    auto log = Log();
    if (c.channel < 0) {
        EXPECT_EQ(status, c.status);
        EXPECT_TRUE(log.empty());
    } else {
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].setup.wValue, (USHORT)(c.cs << 8 | c.channel));
    }
    EXPECT_EQ(level, 0x1234);  // the device stalls: outputs untouched
    EXPECT_EQ(value, 0x56);
    unit->Release();
}

INSTANTIATE_TEST_SUITE_P(
    Channels, ChannelTest,
    ::testing::Values(
        ChannelCase{"TwoChannelsFirst", 1, {0x01, 0x02, 0x02}, 0xFF, UAC_CS_VOLUME, 0, 1, 0},
        ChannelCase{"TwoChannelsSecond", 1, {0x01, 0x02, 0x02}, 0xFF, UAC_CS_VOLUME, 1, 2, 0},
        ChannelCase{"IFeatureIsNoEntry", 1, {0x03, 0x00, 0x00}, 0x02, UAC_CS_VOLUME, 1, -1, STATUS_INVALID_PARAMETER},
        ChannelCase{"OnlyChannelZero", 1, {0x03, 0x01, 0x01}, 0, UAC_CS_VOLUME, 0, 0, 0},
        ChannelCase{"OnlyChannelOne", 1, {0x01, 0x02, 0x00}, 0, UAC_CS_VOLUME, 0, 1, 0},
        ChannelCase{"GapAfterChannelOne", 1, {0x01, 0x02, 0x00, 0x02}, 0, UAC_CS_VOLUME, 1, -1, STATUS_INVALID_PARAMETER},
        ChannelCase{"Absent", 1, {0x01, 0x00, 0x00}, 0, UAC_CS_BASS, 0, -1, STATUS_UNSUCCESSFUL},
        ChannelCase{"IndexBeyondCount", 1, {0x01, 0x02, 0x02}, 0, UAC_CS_VOLUME, 2, -1, STATUS_INVALID_PARAMETER},
        ChannelCase{"MuteMaster", 2, {0x0001, 0x0002}, 0, UAC_CS_MUTE, 0, 0, 0},
        ChannelCase{"EightIndex0", 2, {0x1, 2, 2, 2, 2, 2, 2, 2, 2}, 0, UAC_CS_VOLUME, 0, 1, 0},
        ChannelCase{"EightIndex4", 2, {0x1, 2, 2, 2, 2, 2, 2, 2, 2}, 0, UAC_CS_VOLUME, 4, 7, 0},
        ChannelCase{"EightIndex5", 2, {0x1, 2, 2, 2, 2, 2, 2, 2, 2}, 0, UAC_CS_VOLUME, 5, 8, 0},
        ChannelCase{"EightIndex6", 2, {0x1, 2, 2, 2, 2, 2, 2, 2, 2}, 0, UAC_CS_VOLUME, 6, 5, 0},
        ChannelCase{"EightIndex7", 2, {0x1, 2, 2, 2, 2, 2, 2, 2, 2}, 0, UAC_CS_VOLUME, 7, 6, 0}),
    [](const ::testing::TestParamInfo<ChannelCase>& info) { return std::string(info.param.name); });

// ---- the unit on the device ----

TEST_F(FeatureUnitTest, NodesInOrderWithConsecutiveIds) {
    uac().SetMemory(2, VendorBlock(21, 21));
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    EXPECT_EQ(NodeKinds(2), (std::vector<ULONG>{UNIT_KIND_MUTE, UNIT_KIND_VOLUME, UNIT_KIND_BASS, UNIT_KIND_TREBLE,
                                                UNIT_KIND_AGC, UNIT_KIND_LOUDNESS, UNIT_KIND_EFFECT, UNIT_KIND_EFFECT}));
    // The input pin of terminal 1 is unit 0; the unit's nodes follow it,
    // each fed by the one before, the mute by the pin.
    CUacEntity* unit = Entity(2);
    for (ULONG i = 0; i < 8; ++i) {
        IUacUnit* node = nullptr;
        ASSERT_EQ(unit->GetNode(i, &node), STATUS_SUCCESS);
        EXPECT_EQ(node->GetId(), i + 1);
        ULONG source = 99, one = 1;
        node->GetSourceIds(&one, &source);
        EXPECT_EQ(source, i) << i;
        EXPECT_EQ(Unit(i + 1), node);
    }
    ULONG last = 0;
    EXPECT_EQ(unit->GetLastNodeId(&last), STATUS_SUCCESS);
    EXPECT_EQ(last, 8u);
}

TEST_F(FeatureUnitTest, RangeAskedOnChannelOneAsTheDeviceCountsIt) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    int ranges = 0;
    for (const auto& e : Log()) {
        if ((e.setup.wIndex >> 8) != 2 || e.setup.bRequest < 0x82 || e.setup.bRequest > 0x84) continue;
        ++ranges;
        const UCHAR cs = e.setup.wValue >> 8;
        EXPECT_EQ(e.setup.wValue & 0xFF, cs == UAC_CS_VOLUME ? 1 : 0) << std::hex << e.setup.wValue;
    }
    EXPECT_EQ(ranges, 9);  // max, min and res of volume, bass and treble
}

TEST_F(FeatureUnitTest, LevelEncodingsReachTheDevice) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    auto* treble = As<ILevelUnit>(UnitOfKind(UNIT_KIND_TREBLE), IID_ILevelUnit);
    auto* volume = As<ILevelUnit>(UnitOfKind(UNIT_KIND_VOLUME), IID_ILevelUnit);
    ClearLog();
    EXPECT_EQ(treble->SetValue(0, (LONG)0xFFFC0000), STATUS_SUCCESS);
    EXPECT_EQ(Sets(2, 0x0500), std::vector<Bytes>{Bytes{0xF0}});
    EXPECT_EQ(volume->SetValue(3, LEVEL_MINUS_INFINITY), STATUS_SUCCESS);  // logical 3 is device channel 4
    EXPECT_EQ(Sets(2, 0x0204), (std::vector<Bytes>{Bytes{0x00, 0x80}}));
    uac().SetValue(2, UAC_CS_VOLUME, 7, -32768);  // logical 4 is device channel 7
    auto* control = As<ILevelControl>(static_cast<IUacUnit*>(Entity(2)), IID_ILevelControl);
    LONG level = 0;
    EXPECT_EQ(control->GetLevel(UAC_CS_VOLUME, 4, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, (LONG)0xFF800000);
}

TEST_F(FeatureUnitTest, NoMuteNoNodes) {
    const ULONG before = m_Model->GetUnitCount();
    EXPECT_EQ(InitEntity(Descriptor(6, 2, {1, 1, 0x02, 0x02, 0})), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(m_Model->GetUnitCount(), before);
}

struct VendorCase {
    const char* name;
    std::optional<Bytes> memory;
    std::optional<ULONG> firstAnswer;  // altered low byte of the length answer
    std::optional<ULONG> secondShortTo;
    size_t vendorNodes;
};

void PrintTo(const VendorCase& c, std::ostream* os) { *os << c.name; }

class VendorBlockTest : public FeatureUnitTest, public ::testing::WithParamInterface<VendorCase> {};

TEST_P(VendorBlockTest, VendorSwitchesOnlyFromAWholeBlock) {
    const VendorCase& c = GetParam();
    if (c.memory) uac().SetMemory(2, *c.memory);
    if (c.firstAnswer) {
        simusb::ControlRule rule;
        rule.bRequest = 0x85;
        rule.wValue = 0x0010;
        rule.action = simusb::ControlRule::AlterByte;
        rule.offset = 0;
        rule.value = (uint8_t)*c.firstAnswer;
        device().AddControlRule(rule);
    }
    if (c.secondShortTo) {
        simusb::ControlRule rule;
        rule.bRequest = 0x85;
        rule.wValue = 0x0000;
        rule.action = simusb::ControlRule::Short;
        rule.shortTo = *c.secondShortTo;
        device().AddControlRule(rule);
    }
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    const auto kinds = NodeKinds(2);
    EXPECT_EQ((size_t)std::count(kinds.begin(), kinds.end(), (ULONG)UNIT_KIND_EFFECT), c.vendorNodes);
    size_t vendorRequests = 0;
    for (const auto& e : Log()) vendorRequests += (e.setup.bmRequestType & 0x60) == 0x40 && (e.setup.wIndex >> 8) == 2;
    EXPECT_EQ(vendorRequests > 0, c.vendorNodes > 0);
}

INSTANTIATE_TEST_SUITE_P(
    Vendor, VendorBlockTest,
    ::testing::Values(VendorCase{"Whole", VendorBlock(21, 21), std::nullopt, std::nullopt, 2},
                      VendorCase{"Absent", std::nullopt, std::nullopt, std::nullopt, 0},
                      VendorCase{"LengthFieldBelow19", VendorBlock(21, 18), std::nullopt, std::nullopt, 0},
                      VendorCase{"LengthFieldBeyondTheBlock", VendorBlock(21, 40), std::nullopt, std::nullopt, 2},
                      VendorCase{"FirstAnswerLongerThanTheBlock", VendorBlock(21, 21), 200, std::nullopt, 2},
                      VendorCase{"FirstAnswerBelow19", VendorBlock(21, 21), 12, std::nullopt, 0},
                      VendorCase{"SecondReadShort", VendorBlock(40, 40), std::nullopt, 17, 0},
                      VendorCase{"ControlSizeOne", VendorBlock(21, 21, 1), std::nullopt, std::nullopt, 0}),
    [](const ::testing::TestParamInfo<VendorCase>& info) { return std::string(info.param.name); });

TEST_F(FeatureUnitTest, VendorSwitchesUseVendorRequests) {
    uac().SetMemory(2, VendorBlock(21, 21));
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    auto* effect = As<IEffectUnit>(UnitOfKind(UNIT_KIND_EFFECT), IID_IEffectUnit);
    ClearLog();
    EXPECT_EQ(effect->SetValue(1), STATUS_SUCCESS);
    auto log = Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].setup.bmRequestType, 0x41);
    EXPECT_EQ(log[0].setup.wValue, 0x8B00);
    LONG value = 0;
    EXPECT_TRUE(uac().GetValue(2, 0x8B, 0, &value));
    EXPECT_EQ(value, 1);
}

// ---- descriptors that claim more than they hold ----

struct ShortCase {
    const char* name;
    Bytes descriptor;  // exactly bLength bytes, on the heap
};

void PrintTo(const ShortCase& c, std::ostream* os) { *os << c.name; }

class ShortDescriptorTest : public UacTest, public ::testing::WithParamInterface<ShortCase> {};

TEST_P(ShortDescriptorTest, RefusedBeforeAnythingIsAllocatedOrSent) {
    const ShortCase& c = GetParam();
    ClearLog();
    EXPECT_EQ(InitEntity(c.descriptor), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::PoolLiveBlocks(UAC_ENTITY_TAG), 0);
    EXPECT_EQ(m_Model->GetUnitCount(), 0u);
    EXPECT_TRUE(Log().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Short, ShortDescriptorTest,
    ::testing::Values(ShortCase{"FeatureControlSizeZero", Descriptor(6, 2, {1, 0, 0x03})},
                      ShortCase{"FeatureControlSizeThree", Descriptor(6, 2, {1, 3, 0x03, 0, 0, 0})},
                      ShortCase{"FeatureBelowSeven", Descriptor(6, 2, {1, 1})},
                      ShortCase{"FeatureEntryCutShort", Descriptor(6, 2, {1, 2, 0x03})},
                      ShortCase{"FeatureNoControlSize", Descriptor(6, 2, {1})},
                      ShortCase{"InputTerminalEleven", Descriptor(2, 1, {0x01, 0x02, 0, 1, 0, 0, 0})},
                      ShortCase{"OutputTerminalEight", Descriptor(3, 3, {0x01, 0x03, 0, 1})},
                      ShortCase{"SelectorCutInItsSources", Descriptor(5, 6, {3, 1, 2})},
                      ShortCase{"SelectorWithoutInputs", Descriptor(5, 6, {0, 0})},
                      ShortCase{"MixerCutShort", Descriptor(4, 9, {2, 1, 2, 2, 3, 0, 0})},
                      ShortCase{"MixerWithoutInputs", Descriptor(4, 9, {0, 2, 3, 0, 0, 0, 0})},
                      ShortCase{"LengthTwo", Bytes{2, 0x24, 6}},
                      ShortCase{"WrongType", Bytes{9, 0x04, 3, 3, 0x01, 0x03, 0, 1, 0}}),
    [](const ::testing::TestParamInfo<ShortCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace uactest

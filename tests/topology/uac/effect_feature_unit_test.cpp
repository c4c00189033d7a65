// The effect feature unit on a simulated device with a vendor control
// block: which nodes it makes and in what order, what the effect nodes
// answer, and the vendor SET_CUR a switch request sends.
#include <algorithm>

#include "dsp/effect_nodes.h"
#include "sim/pool.h"
#include "tests/topology/uac/effect_unit_fixture.h"

namespace uactest {
namespace {

constexpr UCHAR kUnit = 2;

// The test device with feature unit 2 on two channels: master controls
// `master` (bit cs - 1), volume on both channels.
simusb::DescriptorSet DeviceWithMaster(USHORT master) {
    simusb::ConfigBuilder c;
    c.Configuration()
        .Interface(0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, 0)
        .Uac1Header({})
        .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
        .Uac1FeatureUnit(kUnit, 1, 2, {master, 0x0002, 0x0002})
        .Uac1OutputTerminal(3, 0x0301, 2);
    simusb::DescriptorSet set = BuildTestDevice();
    set.configuration = c.Build();
    return set;
}

struct CreateCase {
    const char* name;
    USHORT master;        // master controls of the descriptor
    USHORT vendorBits;    // 0: no vendor block
    NTSTATUS status;
    std::vector<ULONG> kinds;  // the unit's nodes in order
};

void PrintTo(const CreateCase& c, std::ostream* os) { *os << c.name; }

class EffectFeatureUnitTest : public EffectUnitTest, public ::testing::WithParamInterface<CreateCase> {
protected:
    simusb::DescriptorSet Descriptors() override { return DeviceWithMaster(GetParam().master); }
    void ConfigureDevice() override {
        UacTest::ConfigureDevice();
        if (GetParam().vendorBits != 0) uac().SetMemory(kUnit, EffectVendorBlock(GetParam().vendorBits));
    }
};

TEST_P(EffectFeatureUnitTest, NodesIdsAndStatus) {
    const CreateCase& c = GetParam();
    const ULONG before = m_Model->GetUnitCount();
    EXPECT_EQ(BuildAll(), c.status);
    CUacEntity* unit = Entity(kUnit);
    ASSERT_NE(unit, nullptr);
    ULONG count = 0;
    unit->GetNodeCount(&count);
    std::vector<ULONG> kinds;
    ULONG firstId = 0;
    for (ULONG i = 0; i < count; ++i) {
        IUacUnit* node = nullptr;
        unit->GetNode(i, &node);
        if (i == 0) firstId = node->GetId();
        EXPECT_EQ(node->GetId(), firstId + i) << "ids are consecutive";
        kinds.push_back(node->GetKind());
    }
    EXPECT_EQ(kinds, c.kinds);
    EXPECT_EQ(sim::PoolLiveBlocks(EFFECT_NODE_TAG), (int64_t)c.kinds.size()) << "every node is a 'Z8CT' block";
    if (kinds.empty()) {
        EXPECT_EQ(UnitOfKind(UNIT_KIND_MUTE, before), nullptr);
        EXPECT_EQ(UnitOfKind(UNIT_KIND_EFFECT, before), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Create, EffectFeatureUnitTest,
    ::testing::Values(
        CreateCase{"MuteVolumeSurroundHeadphone", 0x0001, kSurroundBit | kHeadphoneBit, STATUS_SUCCESS,
                   {UNIT_KIND_MUTE, UNIT_KIND_VOLUME, UNIT_KIND_EFFECT, UNIT_KIND_EFFECT}},
        CreateCase{"HeadphoneOnly", 0x0001, kHeadphoneBit, STATUS_SUCCESS,
                   {UNIT_KIND_MUTE, UNIT_KIND_VOLUME, UNIT_KIND_EFFECT}},
        CreateCase{"NoVendorBlock", 0x0001 | 0x0040, 0, STATUS_SUCCESS,
                   {UNIT_KIND_MUTE, UNIT_KIND_VOLUME, UNIT_KIND_AGC}},
        CreateCase{"NoMuteNoNodesEvenWithEffects", 0x0000, kSurroundBit | kHeadphoneBit,
                   STATUS_INSUFFICIENT_RESOURCES, {}}),
    [](const ::testing::TestParamInfo<CreateCase>& info) { return std::string(info.param.name); });

class EffectNodesOnDeviceTest : public EffectFeatureUnitTest {};

TEST_P(EffectNodesOnDeviceTest, InterfacesNamesAndValueCounts) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    IUacUnit* surround = UnitOfKind(UNIT_KIND_EFFECT);
    ASSERT_NE(surround, nullptr);
    IUacUnit* headphone = UnitOfKind(UNIT_KIND_EFFECT, surround->GetId() + 1);
    ASSERT_NE(headphone, nullptr);
    struct Expect {
        IUacUnit* unit;
        GUID name;
        ULONG values;
    } expects[] = {{surround, EFFECT_GUID_SURROUND, 0}, {headphone, EFFECT_GUID_HEADPHONE, 2}};
    for (const Expect& e : expects) {
        EXPECT_NE(As<IDspNode>(e.unit, IID_IDspNode), nullptr);
        IEffectUnit* effect = As<IEffectUnit>(e.unit, IID_IEffectUnit);
        ASSERT_NE(effect, nullptr);
        GUID name{};
        EXPECT_EQ(effect->GetNameGuid(&name), STATUS_SUCCESS);
        EXPECT_TRUE(IsEqualGUID(name, e.name));
        ULONG values = 99;
        EXPECT_EQ(effect->GetValueCount(&values), STATUS_SUCCESS);
        EXPECT_EQ(values, e.values);
        ULONG a = 0, b = 0, r = 0;
        EXPECT_EQ(effect->GetValueRange(0, &a, &b, &r), STATUS_INVALID_PARAMETER);
    }
    IEffectUnit* effect = As<IEffectUnit>(surround, IID_IEffectUnit);
    ULONG v[2] = {1, 1};
    EXPECT_EQ(effect->GetValues(0, 0, v), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(effect->SetValues(0, 1, v), STATUS_INVALID_PARAMETER);
}

TEST_P(EffectNodesOnDeviceTest, SwitchGoesToTheDeviceAndTheRegistry) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    IUacUnit* surround = UnitOfKind(UNIT_KIND_EFFECT);
    ASSERT_NE(surround, nullptr);
    ClearLog();
    EXPECT_EQ(As<IEffectUnit>(surround, IID_IEffectUnit)->SetValue(1), STATUS_SUCCESS);
    auto sets = Sets(kUnit, 0x8B00);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0], Bytes{1});
    LONG value = 0;
    EXPECT_TRUE(uac().GetValue(kUnit, 0x8B, 0, &value));
    EXPECT_EQ(value, 1);
    char name[8];
    std::snprintf(name, sizeof(name), "Unit%02u_", (unsigned)surround->GetId());
    EXPECT_EQ(Stored(std::u16string(name, name + 7)), Bytes{1});
}

INSTANTIATE_TEST_SUITE_P(Device, EffectNodesOnDeviceTest,
                         ::testing::Values(CreateCase{"Both", 0x0001, kSurroundBit | kHeadphoneBit, STATUS_SUCCESS, {}}),
                         [](const ::testing::TestParamInfo<CreateCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace uactest

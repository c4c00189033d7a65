// The remapped UAC 1.0 model through the adapter on the reference layout:
// what the chip id, the product rows and the stored switches make of
// InitHardware; the entity and stream classes the parsers choose; a
// descriptor of another layout refused; the codec registers.
#include <gtest/gtest.h>

#include <typeinfo>

#include "adapter/model/remap_products.h"
#include "stream/usb/usb_render_stream_ex.h"
#include "tests/adapter/uac1/remap_fixture.h"
#include "topology/remap_entities.h"

namespace uac1test {
namespace {

// The switches as 14 digits in registry order.
std::string Digits(const REMAP_SWITCHES& s) {
    std::string out;
    for (ULONG i = 0; i < REMAP_SWITCH_COUNT; ++i) out += (char)('0' + reinterpret_cast<const UCHAR*>(&s)[i]);
    return out;
}

struct HardwareCase {
    const char* name;
    USHORT vendor, product;
    bool chipId;
    std::vector<std::pair<const char16_t*, ULONG>> stored;
    NTSTATUS status;
    const char* switches;  // MicT LineT SpdifT MicAA LineAA MicRec LineRec Mix HP SPDIF 2 4 6 8
    ULONG featureMask;
    USHORT register1;
    bool jackPoll;
};

std::ostream& operator<<(std::ostream& out, const HardwareCase& c) { return out << c.name; }

class RemapHardwareTest : public RemapModelTest, public ::testing::WithParamInterface<HardwareCase> {};

TEST_P(RemapHardwareTest, SwitchesWordsAndRegisters) {
    const HardwareCase& c = GetParam();
    PlugRemap(c.vendor, c.product, c.chipId);
    for (const auto& [name, value] : c.stored) StoreSwitch(name, value);
    ASSERT_EQ(InitAdapter(), c.status);
    if (!NT_SUCCESS(c.status)) return;
    ASSERT_NE(Remap(), nullptr);
    EXPECT_EQ(Digits(Remap()->Switches()), c.switches);
    ENDPOINT_CAPS caps = {};
    ASSERT_EQ(Remap()->CAudioHal::GetEndpointCapabilities(FALSE, ENDPOINT_SPK, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.FeatureMask, c.featureMask);
    EXPECT_EQ(Remap()->ChipRegister(1).Value, c.register1);
    EXPECT_EQ(Remap()->JackPollEnabled(), (BOOLEAN)c.jackPoll);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RemapHardwareTest,
    ::testing::Values(
        HardwareCase{"DefaultsWithoutChipId", kTestVendor, kTestProduct, false, {}, STATUS_SUCCESS,
                     "00000001110000", 0x3FE08F, 0x3002, false},
        HardwareCase{"ChipIdDropsEightChannels", kTestVendor, kTestProduct, true, {}, STATUS_SUCCESS,
                     "00000001110001", 0x3FE08F, 0x3002, false},
        HardwareCase{"PollingProduct", 0x1E7D, 0x3750, true, {}, STATUS_SUCCESS, "00100011000101", 0x3E0084, 0x3032,
                     true},
        HardwareCase{"PollingProductWithoutChipIdUnchanged", 0x1E7D, 0x3750, false, {}, STATUS_SUCCESS,
                     "00000001110000", 0x3FE08F, 0x3002, false},
        HardwareCase{"NoStereoSetting", 0x5131, 0x001C, true, {}, STATUS_SUCCESS, "00100001001101", 0, 0x3002, false},
        // Its LED mute node applies "unmuted" at start: register 1's LED bits 0x30.
        HardwareCase{"LineAndSpdifOffWithImpliedUnits", 0x28DA, 0x268E, false, {}, STATUS_SUCCESS, "01101011000000",
                     0x3E09F, 0x3032, false},
        HardwareCase{"ProductClearsStoredEightChannelSwitch", 0x0A6A, 0x0160, false,
                     {{u"Disable8ChOutSupported", 1}}, STATUS_SUCCESS, "01101011000000", 0x3FE08F, 0x3002, false},
        HardwareCase{"NoStereoMeansNoOutputTypes", kTestVendor, kTestProduct, false,
                     {{u"Disable2ChOutSupported", 0x101}}, STATUS_SUCCESS, "00000001001000", 0x3FE08F, 0x3002,
                     false},
        // The stereo mix as the only recording input: the recording
        // terminal takes it as its source, and the device starts.
        HardwareCase{"LoneStereoMixRecordingInputStarts", kTestVendor, kTestProduct, false,
                     {{u"DisableStereoMixRecUnit", 0}, {u"DisableMicInRecUnit", 1}, {u"DisableLineInRecUnit", 1},
                      {u"DisableSpdifInTerminal", 1}},
                     STATUS_SUCCESS, "00100110110000", 0x3FE08F, 0x3002, false},
        HardwareCase{"SixAndEightChannelsOffFail", kTestVendor, kTestProduct, false,
                     {{u"Disable8ChOutSupported", 1}, {u"Disable6ChOutSupported", 1}}, STATUS_UNSUCCESSFUL, "", 0, 0,
                     false}),
    [](const ::testing::TestParamInfo<HardwareCase>& info) { return std::string(info.param.name); });

TEST(RemapProductTable, SortedUniqueWithTheDefaultLast) {
    ASSERT_GE(REMAP_PRODUCT_TABLE_ROWS, 1u);
    const REMAP_PRODUCT_ROW& last = REMAP_PRODUCT_TABLE[REMAP_PRODUCT_TABLE_ROWS - 1];
    EXPECT_EQ(last.VendorId, 0);
    for (ULONG i = 1; i + 1 < REMAP_PRODUCT_TABLE_ROWS; ++i) {
        const auto& a = REMAP_PRODUCT_TABLE[i - 1];
        const auto& b = REMAP_PRODUCT_TABLE[i];
        EXPECT_LT((a.VendorId << 16) | a.ProductId, (b.VendorId << 16) | b.ProductId) << "row " << i;
    }
    EXPECT_EQ(LookupRemapProduct(0x1E7D, 0x3751), &last);
    // Either the vendor or the product id alone keeps the channels unswapped.
    EXPECT_TRUE(RemapEntityFlags(0x28DA, 0x0001) & REMAP_ENTITY_NO_CHANNEL_SWAP);
    EXPECT_TRUE(RemapEntityFlags(0x1209, 0x268E) & REMAP_ENTITY_NO_CHANNEL_SWAP);
    EXPECT_FALSE(RemapEntityFlags(0x1209, 0x7A20) & REMAP_ENTITY_NO_CHANNEL_SWAP);
}

// A switch value longer than its 4 bytes is no switch: the default stays.
TEST_F(RemapModelTest, OversizedSwitchValueKeepsTheDefault) {
    PlugRemap();
    StoreBytes(u"DisableStereoMixRecUnit", {0, 0, 0, 0, 0, 0, 0, 0});
    StoreBytes(u"SupportHPOut", {0, 0, 0, 0, 0});
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    EXPECT_EQ(Remap()->Switches().DisableStereoMixRecUnit, 1);
    EXPECT_EQ(Remap()->Switches().SupportHPOut, 1);
}

TEST_F(RemapModelTest, OnlyTheSecondIdRequestFailingFailsTheStart) {
    for (USHORT stalled : {9, 8}) {
        PlugRemap();
        simusb::ControlRule rule;
        rule.bRequest = 0x81;
        rule.wIndex = stalled;
        Device().AddControlRule(rule);
        const NTSTATUS status = InitAdapter();
        if (stalled == 9)
            EXPECT_EQ(status, STATUS_SUCCESS);
        else
            EXPECT_FALSE(NT_SUCCESS(status));
        ReleaseAdapter();
        m_Port.reset();
    }
}

TEST_F(RemapModelTest, AnotherLayoutIsRefusedWithNothingWritten) {
    DescriptorSet set = RemapReference();
    set.configuration[0x34 + 3] = 7;  // feature unit 8 carries another id
    const Bytes before = set.configuration;
    Plug(set);
    Device().SetVendorAnswer(0xC3, 0x81, 0, 9, {0});
    Device().SetVendorAnswer(0xC3, 0x81, 0, 8, {0});
    EXPECT_EQ(InitAdapter(), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(Model()->GetEntityCount(), 0u);
}

// ---- classes the parsers choose -------------------------------------------------------

struct ClassCase {
    const char* name;
    USHORT vendor, product;
    bool chipId;
    std::vector<std::pair<UCHAR, const std::type_info*>> entities;
    bool jackNode;
};

std::ostream& operator<<(std::ostream& out, const ClassCase& c) { return out << c.name; }

class RemapClassTest : public RemapModelTest, public ::testing::WithParamInterface<ClassCase> {};

TEST_P(RemapClassTest, EntitiesStreamsAndJackNode) {
    const ClassCase& c = GetParam();
    PlugRemap(c.vendor, c.product, c.chipId);
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    for (const auto& [id, type] : c.entities) {
        CUacEntity* entity = nullptr;
        if (type == nullptr) {
            EXPECT_FALSE(NT_SUCCESS(Remap()->FindEntityById(id, &entity))) << "entity " << (int)id;
            continue;
        }
        ASSERT_EQ(Remap()->FindEntityById(id, &entity), STATUS_SUCCESS) << "entity " << (int)id;
        EXPECT_EQ(typeid(*entity), *type) << "entity " << (int)id << " is " << typeid(*entity).name();
    }
    IStreamEngine* render = nullptr;
    for (ULONG i = 0; Engine(i) != nullptr; ++i)
        if (!Engine(i)->IsCapture()) render = Engine(i);
    ASSERT_NE(render, nullptr);
    EXPECT_EQ(typeid(*render), typeid(CUsbRenderStreamEx));
    EXPECT_EQ(Remap()->JackStateNode() != nullptr, c.jackNode);
}

const std::type_info* const kNone = nullptr;

INSTANTIATE_TEST_SUITE_P(
    Rows, RemapClassTest,
    ::testing::Values(
        ClassCase{"Generic", kTestVendor, kTestProduct, false,
                  {{1, &typeid(CUacInputTerminalEx)},
                   {3, &typeid(CSelectableOutputTerminal)},
                   {7, &typeid(CUacOutputTerminal)},
                   {8, &typeid(CFeatureUnitDbScaleB)},
                   {15, &typeid(CFeatureUnitDbScaleB)},
                   {9, &typeid(CFeatureUnitDbScaleA)},
                   {11, &typeid(CFeatureUnitDbScaleA)},
                   {13, &typeid(CFeatureUnitMuteLed)},
                   {16, &typeid(CFeatureUnitMuteOnly)},
                   {10, &typeid(CUacSelectorUnitEx)},
                   {2, kNone},
                   {14, kNone}},
                  false},
        ClassCase{"SoftMuteRecordingUnits", 0x5A3E, 0x0053, true,
                  {{8, &typeid(CFeatureUnitDbScaleBNodes)}, {15, kNone}, {11, kNone}}, false},
        ClassCase{"LedMuteRecordingUnits", 0x28DA, 0x268E, false, {{8, &typeid(CFeatureUnitDbScaleBLedMute)}}, false},
        ClassCase{"PollingProduct", 0x1E7D, 0x3750, true, {{11, &typeid(CFeatureUnitFixedBit)}, {16, kNone}}, true},
        ClassCase{"PollingProductWithoutChipId", 0x1E7D, 0x3750, false, {{11, &typeid(CFeatureUnitFixedBit)}}, true}),
    [](const ::testing::TestParamInfo<ClassCase>& info) { return std::string(info.param.name); });

// ---- registers -------------------------------------------------------------------------

class RemapRegisterTest : public RemapModelTest {
protected:
    void SetUp() override {
        RemapModelTest::SetUp();
        PlugRemap();
        ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
        ClearRegisterWrites();
    }
};

TEST_F(RemapRegisterTest, MaskedWriteMergesIntoTheShadow) {
    const auto before = Device().HidSetReports().size();
    EXPECT_EQ(Remap()->WriteChipRegister(1, 0x30, 0x30), STATUS_SUCCESS);
    const auto reports = Device().HidSetReports();
    ASSERT_EQ(reports.size(), before + 1);
    EXPECT_EQ(reports.back(), (Bytes{0x20, 0x32, 0x30, 0x01}));
    EXPECT_EQ(Remap()->ChipRegister(1).Value, 0x3032);
    EXPECT_EQ(Remap()->WriteChipRegister(6, 1, 0xFFFF), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Remap()->WriteChipRegister(2, 0x1234, 0), STATUS_SUCCESS);
    EXPECT_EQ(Device().HidSetReports().size(), before + 1);
}

TEST_F(RemapRegisterTest, RefusedWriteLeavesTheShadow) {
    simusb::ControlRule rule;
    rule.bRequest = 0x09;
    rule.wIndex = 3;
    Device().AddControlRule(rule);
    EXPECT_FALSE(NT_SUCCESS(Remap()->WriteChipRegister(3, 0x0001, 0xFFFF)));
    EXPECT_EQ(Remap()->ChipRegister(3).Value, 0x143F);
}

TEST_F(RemapRegisterTest, InitChipPulsesRegisterFiveThenReplaysTheShadows) {
    std::vector<LONGLONG> times;
    Device().SetHidReportHook([&times](const simusb::SetupPacket&, const Bytes&) { times.push_back(sim::Now()); });
    ASSERT_EQ(Remap()->WriteChipRegister(0, 0x6000, 0x7000), STATUS_SUCCESS);
    ClearRegisterWrites();
    times.clear();
    ASSERT_EQ(Remap()->InitChip(), STATUS_SUCCESS);
    EXPECT_EQ(RegisterWrites(), (std::vector<RegisterWrite>{{5, 0x0000},
                                                             {5, 0x3000},
                                                             {0, 0x6004},
                                                             {1, 0x3002},
                                                             {2, 0xE000},
                                                             {3, 0x143F},
                                                             {4, 0x0000}}));
    ASSERT_GE(times.size(), 2u);
    EXPECT_GE(times[1] - times[0], sim::kTicksPerMillisecond);
    Device().SetHidReportHook(nullptr);
}

TEST_F(RemapRegisterTest, ReturnToD0ReplaysWhatTheHostLastWrote) {
    ASSERT_EQ(Remap()->WriteChipRegister(0, 0x8000, 0x8000), STATUS_SUCCESS);
    POWER_STATE d3, d0;
    d3.DeviceState = PowerDeviceD3;
    d0.DeviceState = PowerDeviceD0;
    Remap()->PowerChangeState(d3);
    ClearRegisterWrites();
    Remap()->PowerChangeState(d0);
    const auto writes = RegisterWrites();
    ASSERT_GE(writes.size(), 3u);
    EXPECT_EQ(writes[2], (RegisterWrite{0, 0xA004}));
}

}  // namespace
}  // namespace uac1test

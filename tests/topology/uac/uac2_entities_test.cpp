// The UAC 2.0 entities on a simulated class 2.0 device: control pairs and
// channel selection of the feature unit, RANGE decoding, the vendor block,
// the clock source's rate list, the output terminal's initial type, the
// device-reported changes per class, and the bound nodes (clock, input
// gain pad, software volume, DSP switch) on the real entities.
#include <gtest/gtest.h>

#include <array>

#include "sim/debug.h"
#include "sim/pool.h"
#include "tests/topology/uac/uac_fixture.h"
#include "topology/level_nodes.h"
#include "topology/switch_nodes.h"
#include "topology/uac2_clock_source.h"
#include "topology/uac2_feature_unit.h"
#include "topology/uac2_terminals.h"
#include "topology/value_units.h"
#include "platform/usb/uac_builder.h"

namespace uactest {
namespace {

// Control pairs of a UAC 2.0 feature unit entry.
constexpr ULONG Pair(ULONG cs, ULONG bits) { return bits << (2 * cs - 2); }
constexpr ULONG kReadOnly = 1;
constexpr ULONG kReadWrite = 3;
// The master entry's mute, read/write (a unit needs one).
constexpr ULONG kMute = Pair(1, kReadWrite);

Bytes Le32Bytes(ULONG v) { return {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)}; }

// A UAC 2.0 feature unit descriptor: id, source, entries, iFeature.
Bytes FeatureUnit(UCHAR id, UCHAR source, const std::vector<ULONG>& entries, UCHAR iFeature = 0) {
    Bytes rest{source};
    for (ULONG e : entries) {
        Bytes b = Le32Bytes(e);
        rest.insert(rest.end(), b.begin(), b.end());
    }
    rest.push_back(iFeature);
    return Descriptor(6, id, rest);
}

// Audio Control interface 0 (class 2.0): clock 10; IT 1 USB streaming ->
// FU 2 [mute r/o on master, mute and volume r/w on 1 and 2] -> OT 3
// headphones (connector readable); IT 4 microphone (connector readable) ->
// FU 5 [mute, volume, bass, input gain pad on the master] -> OT 6 USB
// streaming.
// fu2: the entries of feature unit 2 (default: as above), with its iFeature.
simusb::DescriptorSet BuildUac2TestDevice(const std::vector<ULONG>& fu2 = {}, UCHAR iFeature = 0) {
    Bytes fu2Body = FeatureUnit(2, 1,
                                fu2.empty() ? std::vector<ULONG>{Pair(1, kReadOnly), Pair(1, kReadWrite) | Pair(2, kReadWrite),
                                                                 Pair(1, kReadWrite) | Pair(2, kReadWrite)}
                                            : fu2,
                                iFeature);
    simusb::DeviceFields fields;
    fields.idVendor = simusb::kSimVendorId;
    fields.idProduct = 0x7A26;
    fields.bcdUSB = 0x0200;
    simusb::ConfigBuilder c;
    c.Configuration()
        .Interface(0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, USB_AUDIO_PROTOCOL_2_0)
        .Uac2Header(0x0A)
        .Uac2ClockSource(10, 0x03, 0x07)
        .Uac2InputTerminal(1, 0x0101, 10, 2, 0x3)
        .Uac2Entity(6, Bytes(fu2Body.begin() + 3, fu2Body.end()))
        .Uac2OutputTerminal(3, 0x0302, 2, 10, 0x0004)
        .Uac2InputTerminal(4, 0x0201, 10, 1, 0x0, 0x0004)
        .Uac2FeatureUnit(5, 4, {Pair(1, kReadWrite) | Pair(2, kReadWrite) | Pair(3, kReadWrite) | Pair(12, kReadWrite)})
        .Uac2OutputTerminal(6, 0x0101, 5, 10);
    simusb::DescriptorSet set;
    set.device = simusb::BuildDeviceDescriptor(fields);
    set.configuration = c.Build();
    set.strings[0] = simusb::BuildLanguageIds({0x0409});
    return set;
}

class Uac2EntityTest : public UacTest {
protected:
    simusb::DescriptorSet Descriptors() override { return BuildUac2TestDevice(); }
    bool IsUac2() const override { return true; }
    void ConfigureDevice() override {
        uac().SetJacks(4, {{0x1, JackConfig(4, 0x01, 1)}});
        uac().SetJacks(3, {{0x3, JackConfig(4, 0x01, 1)}});
    }

    // Class requests to an entity since the last ClearLog: {bRequest,
    // wValue, IN}.
    struct Request {
        UCHAR bRequest;
        USHORT wValue;
        bool in;
        bool operator==(const Request& o) const { return bRequest == o.bRequest && wValue == o.wValue && in == o.in; }
    };
    std::vector<Request> RequestsTo(UCHAR entity) {
        std::vector<Request> out;
        for (const simusb::ControlLogEntry& e : Log())
            if ((e.setup.wIndex >> 8) == entity && (e.setup.bmRequestType & 0x60) == 0x20)
                out.push_back({e.setup.bRequest, e.setup.wValue, (e.setup.bmRequestType & 0x80) != 0});
        return out;
    }
    template <class T>
    T* EntityAs(UCHAR id) {
        return dynamic_cast<T*>(Entity(id));
    }
};

// ---- feature unit: control pairs and channel selection ------------------------------

TEST_F(Uac2EntityTest, ReadOnlyMasterMuteCountsTheChannelsThatHaveThePair) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    auto* fu = EntityAs<CUac2FeatureUnit>(2);
    ASSERT_NE(fu, nullptr);
    ULONG count = 0;
    ASSERT_EQ(fu->GetBoolChannelCount(UAC_CS_MUTE, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    ClearLog();
    UCHAR value = 0;
    ASSERT_EQ(fu->GetBool(UAC_CS_MUTE, 0, &value), STATUS_SUCCESS);
    ASSERT_EQ(fu->SetBool(UAC_CS_MUTE, 1, 1), STATUS_SUCCESS);
    EXPECT_EQ(RequestsTo(2), (std::vector<Request>{{0x01, 0x0101, true}, {0x01, 0x0102, false}}));
}

struct SelectionCase {
    const char* name;
    std::vector<ULONG> entries;  // after the source
    UCHAR iFeature;
    ULONG cs;
    ULONG index;
    bool write;
    NTSTATUS expected;
    USHORT wValue;  // of the request sent, when one is
};
void PrintTo(const SelectionCase& c, std::ostream* os) { *os << c.name; }

class Uac2SelectionTest : public Uac2EntityTest, public ::testing::WithParamInterface<SelectionCase> {
protected:
    simusb::DescriptorSet Descriptors() override { return BuildUac2TestDevice(GetParam().entries, GetParam().iFeature); }
};

TEST_P(Uac2SelectionTest, AsksTheChannelTheEntryAndItsBitName) {
    const SelectionCase& c = GetParam();
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    auto* fu = EntityAs<CUac2FeatureUnit>(2);
    ASSERT_NE(fu, nullptr);
    ClearLog();
    LONG level = 0;
    const NTSTATUS status = c.write ? fu->SetLevel(c.cs, c.index, -Db(10)) : fu->GetLevel(c.cs, c.index, &level);
    EXPECT_EQ(status, c.expected);
    const std::vector<Request> sent = RequestsTo(2);
    if (c.expected == STATUS_SUCCESS) {
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].wValue, c.wValue);
    } else {
        EXPECT_TRUE(sent.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Uac2SelectionTest,
    ::testing::Values(
        SelectionCase{"ReadOnlyMasterVolumeIsRead", {kMute | Pair(2, kReadOnly)}, 0, 2, 0, false, STATUS_SUCCESS,
                      0x0200},
        SelectionCase{"ReadOnlyMasterVolumeIsNotWritten", {kMute | Pair(2, kReadOnly)}, 0, 2, 0, true,
                      STATUS_INVALID_PARAMETER, 0},
        // A master-only unit: the second try would read past the entries
        // (iFeature 0xFF looks like every bit set).
        SelectionCase{"MasterOnlyHasNoSecondEntry", {kMute | Pair(2, kReadOnly)}, 0xFF, 2, 0, true,
                      STATUS_INVALID_PARAMETER, 0},
        SelectionCase{"OnlyChannelOneTriedAfterTheMaster", {kMute, Pair(2, kReadWrite)}, 0, 2, 0, true,
                      STATUS_SUCCESS, 0x0201},
        SelectionCase{"IndexPastTheCount", {kMute, Pair(2, kReadWrite)}, 0, 2, 1, false, STATUS_INVALID_PARAMETER,
                      0},
        SelectionCase{"EightChannelsIndexFourIsChannelFive",
                      {kMute, Pair(2, 3), Pair(2, 3), Pair(2, 3), Pair(2, 3), Pair(2, 3), Pair(2, 3), Pair(2, 3),
                       Pair(2, 3)},
                      0, 2, 4, false, STATUS_SUCCESS, 0x0205},
        SelectionCase{"ControlTheUnitLacks", {kMute}, 0, 2, 0, false, STATUS_UNSUCCESSFUL, 0}),
    [](const ::testing::TestParamInfo<SelectionCase>& info) { return std::string(info.param.name); });

// ---- feature unit: RANGE ---------------------------------------------------------------

TEST_F(Uac2EntityTest, VolumeRangeDecodesOneSubrangeOfWords) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    ASSERT_TRUE(uac().SetRange(2, UAC_CS_VOLUME, 1, -32512, 0, 256));
    ASSERT_TRUE(uac().SetRange(2, UAC_CS_VOLUME, 2, -32512, 0, 256));
    LONG maximum = 1, minimum = 1, step = 1;
    ASSERT_EQ(EntityAs<CUac2FeatureUnit>(2)->GetLevelRange(UAC_CS_VOLUME, &maximum, &minimum, &step),
              STATUS_SUCCESS);
    EXPECT_EQ(maximum, 0);
    EXPECT_EQ(minimum, Db(-127));
    EXPECT_EQ(step, Db(1));
}

// A feature unit's RANGE answer must count exactly one subrange: the level
// node has one minimum, maximum and step, so a count of 0 or of several is
// refused rather than read as the first.
class Uac2LevelRangeCountTest : public Uac2EntityTest, public ::testing::WithParamInterface<UCHAR> {};

TEST_P(Uac2LevelRangeCountTest, OtherCountsThanOneAreRefused) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    ASSERT_TRUE(uac().SetRange(2, UAC_CS_VOLUME, 1, -32512, 0, 256));
    simusb::ControlRule rule;
    rule.bmRequestType = 0xA1;
    rule.bRequest = 0x02;
    rule.wValue = (USHORT)(UAC_CS_VOLUME << 8 | 1);
    rule.wIndex = 2 << 8;
    rule.action = simusb::ControlRule::AlterByte;
    rule.offset = 0;
    rule.value = GetParam();
    rule.count = 1;
    device().AddControlRule(rule);
    LONG maximum = 7, minimum = 7, step = 7;
    EXPECT_EQ(EntityAs<CUac2FeatureUnit>(2)->GetLevelRange(UAC_CS_VOLUME, &maximum, &minimum, &step),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(maximum, 7);
    EXPECT_EQ(minimum, 7);
    EXPECT_EQ(step, 7);
}

INSTANTIATE_TEST_SUITE_P(Counts, Uac2LevelRangeCountTest, ::testing::Values(0, 2, 3));

TEST_F(Uac2EntityTest, ToneRangeDecodesSignedBytesOfQuarterDecibels) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    LONG maximum = 0, minimum = 0, step = 0;
    ASSERT_EQ(EntityAs<CUac2FeatureUnit>(5)->GetLevelRange(UAC_CS_BASS, &maximum, &minimum, &step),
              STATUS_SUCCESS);
    EXPECT_EQ(maximum, Db(12));
    EXPECT_EQ(minimum, Db(-12));
    EXPECT_EQ(step, Db(1));
}

// ---- feature unit: vendor block ----------------------------------------------------------

struct VendorCase {
    const char* name;
    Bytes block;  // the unit's memory space
    bool softwareVolume;
};
void PrintTo(const VendorCase& c, std::ostream* os) { *os << c.name; }

Bytes VendorBlock(ULONG ownLength, const std::vector<ULONG>& entries, size_t padTo = 0) {
    Bytes b(16, 0xEE);
    b.push_back((uint8_t)ownLength);
    b.push_back((uint8_t)(ownLength >> 8));
    for (ULONG e : entries) {
        Bytes four = Le32Bytes(e);
        b.insert(b.end(), four.begin(), four.end());
    }
    if (b.size() < padTo) b.resize(padTo, 0xFF);
    return b;
}

class Uac2VendorBlockTest : public Uac2EntityTest, public ::testing::WithParamInterface<VendorCase> {};

TEST_P(Uac2VendorBlockTest, VendorControlsOnlyFromTheBytesTheBlockOwns) {
    uac().SetMemory(2, GetParam().block);
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    auto* fu = EntityAs<CUac2FeatureUnit>(2);
    EXPECT_EQ(fu->HasControl(UAC_CS_SOFTWARE_VOLUME) != FALSE, GetParam().softwareVolume);
    EXPECT_EQ(fu->HasControl(UAC_CS_DSP_SWITCH) != FALSE, false);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Uac2VendorBlockTest,
    ::testing::Values(
        VendorCase{"TwoEntries", VendorBlock(26, {0, Pair(2, 3)}), true},
        // L says one entry; the 0xFF padding after it is not the block's.
        VendorCase{"OwnLengthCutsTheDelivery", VendorBlock(22, {0}, 40), false},
        // L below the entries' offset: the block is dropped.
        VendorCase{"OwnLengthBelowTheEntries", VendorBlock(10, {Pair(2, 3), Pair(2, 3)}), false},
        VendorCase{"TooShortToHoldL", Bytes(12, 0xFF), false}),
    [](const ::testing::TestParamInfo<VendorCase>& info) { return std::string(info.param.name); });

TEST_F(Uac2EntityTest, SoftwareVolumeAndDspSwitchNodesFromTheVendorBlock) {
    // Entry 0 has the DSP switch (pair 15), entries 1 and 2 the software
    // volume (pair 1 of the vendor selectors).
    uac().SetMemory(2, VendorBlock(30, {0xC0000000u, 0x0C, 0x0C}));
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    ULONG count = 0;
    EntityAs<CUac2FeatureUnit>(2)->GetNodeCount(&count);
    // mute, volume, DSP switch, software volume.
    EXPECT_EQ(count, 4u);
    IUacUnit* dsp = UnitOfKind(UNIT_KIND_DEV_SWITCH);
    ASSERT_NE(dsp, nullptr);
    auto* swVolume = As<IDspNode>(UnitOfKind(UNIT_KIND_VOLUME, dsp->GetId()), IID_IDspNode);
    EXPECT_NE(swVolume, nullptr);
    // The software volume's level control reaches channel 2 with a class SET.
    ClearLog();
    EXPECT_EQ(EntityAs<CUac2FeatureUnit>(2)->SetLevel(UAC_CS_SOFTWARE_VOLUME, 1, -Db(6)), STATUS_SUCCESS);
    EXPECT_EQ(RequestsTo(2), (std::vector<Request>{{0x01, 0x8202, false}}));
}

TEST_F(Uac2EntityTest, InputGainPadNodeReadsAndWritesThroughTheUnit) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    auto* pad = As<ILevelUnit>(UnitOfKind(UNIT_KIND_INPUT_GAIN_PAD), IID_ILevelUnit);
    ASSERT_NE(pad, nullptr);
    ClearLog();
    EXPECT_EQ(pad->SetValue(0, -Db(20)), STATUS_SUCCESS);
    LONG device = 0;
    ASSERT_TRUE(uac().GetValue(5, UAC_CS_INPUT_GAIN_PAD, 0, &device));
    EXPECT_EQ(device, -20 * 256);
    EXPECT_EQ(RequestsTo(5), (std::vector<Request>{{0x01, 0x0C00, false}}));
}

// ---- feature unit: changes the device reports ------------------------------------------

TEST_F(Uac2EntityTest, FeatureUnitChangeNamesTheNodeOfTheControl) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    auto* fu = EntityAs<CUac2FeatureUnit>(2);
    IUacUnit* volume = UnitOfKind(UNIT_KIND_VOLUME);
    ASSERT_NE(volume, nullptr);
    ULONG node = 0xABCD;
    EXPECT_EQ(fu->OnControlChange(UAC_CS_VOLUME, 1, &node), STATUS_SUCCESS);
    EXPECT_EQ(node, volume->GetId());
    node = 0xABCD;
    EXPECT_EQ(fu->OnControlChange(UAC_CS_BASS, 1, &node), STATUS_UNSUCCESSFUL);  // the unit lacks it
    EXPECT_EQ(fu->OnControlChange(0x0B, 1, &node), STATUS_UNSUCCESSFUL);         // no node kind
    EXPECT_EQ(node, 0xABCDu);
}

TEST_F(Uac2EntityTest, InputTerminalChangeOnlyForTheConnectorOnTheMasterChannel) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    CUacEntity* it = Entity(4);
    ULONG node = 0xABCD;
    EXPECT_EQ(it->OnControlChange(1, 0, &node), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(it->OnControlChange(2, 1, &node), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(node, 0xABCDu);
    EXPECT_EQ(it->OnControlChange(2, 0, &node), STATUS_SUCCESS);
    ULONG pin = 0;
    it->GetLastNodeId(&pin);
    EXPECT_EQ(node, pin);
}

TEST_F(Uac2EntityTest, OutputTerminalTypeChangeIsReadAndStored) {
    uac().SetTerminalTypes(3, {0x0302, 0x0301});
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    CUacEntity* ot = Entity(3);
    ULONG node = 0;
    EXPECT_EQ(ot->OnControlChange(1, 0, &node), STATUS_UNSUCCESSFUL);
    ASSERT_TRUE(uac().SelectTerminalType(3, 0x0301));
    ClearLog();
    EXPECT_EQ(ot->OnControlChange(8, 0, &node), STATUS_SUCCESS);
    EXPECT_EQ(RequestsTo(3).front(), (Request{0x01, 0x0800, true}));
    EXPECT_EQ(Stored(u"UACUnit03"), Le32(ENDPOINT_SPK));
    ULONG type = 0;
    dynamic_cast<ITerminal*>(ot)->GetType(&type);
    EXPECT_EQ(type, (ULONG)ENDPOINT_SPK);
}

// ---- terminals: jack lists the device does not answer ----------------------------------

// The microphone (input terminal 4) and the headphones (output terminal 3,
// {headphones, speaker} selectable) both declare the connector control.
struct Uac2JackListCase {
    const char* name;
    enum { Answered, Stalled, ConnectorBlock } device;
    ULONG jacks;  // of the microphone and of each output type
};
void PrintTo(const Uac2JackListCase& c, std::ostream* os) { *os << c.name; }

class Uac2JackListTest : public Uac2EntityTest, public ::testing::WithParamInterface<Uac2JackListCase> {
protected:
    void ConfigureDevice() override {
        uac().SetTerminalTypes(3, {0x0302, 0x0301});
        if (GetParam().device == Uac2JackListCase::Stalled) return;  // a file device: no jacks
        uac().SetJacks(4, {{0x1, JackConfig(4, 0x01, 1)}, {0x2, JackConfig(4, 0x01, 2)}});
        uac().SetJacksForType(3, 0x0302, {{0x3, JackConfig(4, 0x01, 1)}, {0x3, JackConfig(6, 0x01, 2)}});
        uac().SetJacksForType(3, 0x0301, {{0x3, JackConfig(4, 0x01, 1)}, {0xC, JackConfig(6, 0x01, 2)}});
    }
};

TEST_P(Uac2JackListTest, TerminalsStartWithTheJacksTheDeviceGives) {
    const Uac2JackListCase& c = GetParam();
    if (c.device == Uac2JackListCase::ConnectorBlock) {
        // Every answer to the list is a 6-byte connector block {2, mask, 0}.
        simusb::ControlRule rule;
        rule.wValue = 0x02FF;
        rule.action = simusb::ControlRule::Short;
        rule.shortTo = 6;
        device().AddControlRule(rule);
    }
    sim::ClearDebugOutput();
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    ITerminal* mic = dynamic_cast<ITerminal*>(Entity(4));
    ITerminal* out = dynamic_cast<ITerminal*>(Entity(3));
    ULONG n = 99;
    EXPECT_EQ(mic->GetJackCount(&n, 0), STATUS_SUCCESS);
    EXPECT_EQ(n, c.jacks);
    ULONG types = 0;
    out->GetTypeCount(&types);
    EXPECT_EQ(types, 2u);
    for (ULONG i = 0; i < 2; ++i) {
        n = 99;
        EXPECT_EQ(out->GetJackCount(&n, i), STATUS_SUCCESS);
        EXPECT_EQ(n, c.jacks) << i;
    }
    const std::string log = sim::DebugOutput();
    const bool unanswered = c.device != Uac2JackListCase::Answered;
    EXPECT_EQ(log.find("entity 4: the device does not answer the jack list") != std::string::npos, unanswered) << log;
    EXPECT_EQ(log.find("entity 3: the device does not answer the jack list") != std::string::npos, unanswered) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Uac2JackListTest,
    ::testing::Values(Uac2JackListCase{"FamilyDeviceAnswers", Uac2JackListCase::Answered, 2},
                      Uac2JackListCase{"ListStalled", Uac2JackListCase::Stalled, 0},
                      Uac2JackListCase{"ConnectorBlockAnswered", Uac2JackListCase::ConnectorBlock, 0}),
    [](const ::testing::TestParamInfo<Uac2JackListCase>& info) { return std::string(info.param.name); });

// ---- output terminal: initial type ---------------------------------------------------------

struct InitialTypeCase {
    const char* name;
    std::optional<ULONG> stored;
    ULONG initBySelection;
    USHORT deviceSelection;
    ULONG expected;
};
void PrintTo(const InitialTypeCase& c, std::ostream* os) { *os << c.name; }

class Uac2InitialTypeTest : public Uac2EntityTest, public ::testing::WithParamInterface<InitialTypeCase> {};

TEST_P(Uac2InitialTypeTest, StoredTypeWinsOverTheDevicesSelection) {
    const InitialTypeCase& c = GetParam();
    uac().SetTerminalTypes(3, {0x0302, 0x0301});
    ASSERT_TRUE(uac().SelectTerminalType(3, c.deviceSelection));
    if (c.stored) Store(u"UACUnit03", Le32(*c.stored));
    Store(u"INITOTTYPEBYSEL", Le32(c.initBySelection));
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    ULONG type = 0;
    dynamic_cast<ITerminal*>(Entity(3))->GetType(&type);
    EXPECT_EQ(type, c.expected);
    // The current type is selected on the device again.
    EXPECT_EQ(uac().CurrentTerminalType(3), c.expected == ENDPOINT_HP ? 0x0302 : 0x0301);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Uac2InitialTypeTest,
    ::testing::Values(InitialTypeCase{"StoredWins", ENDPOINT_HP, 1, 0x0301, ENDPOINT_HP},
                      InitialTypeCase{"NothingStoredDeviceWins", std::nullopt, 1, 0x0301, ENDPOINT_SPK},
                      InitialTypeCase{"NothingStoredNoSwitch", std::nullopt, 0, 0x0301, ENDPOINT_HP},
                      // A stored number past the endpoint types is never current.
                      InitialTypeCase{"StoredBeyondTheTypes", 25, 1, 0x0301, ENDPOINT_HP},
                      InitialTypeCase{"StoredButNotListed", ENDPOINT_HDMI, 0, 0x0302, ENDPOINT_HP}),
    [](const ::testing::TestParamInfo<InitialTypeCase>& info) { return std::string(info.param.name); });

TEST_F(Uac2EntityTest, StreamingOutputTerminalKeepsOnlyANamedStoredType) {
    Store(u"UACUnit06", Le32(40));
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    ULONG type = 99;
    dynamic_cast<ITerminal*>(Entity(6))->GetType(&type);
    EXPECT_EQ(type, (ULONG)ENDPOINT_STREAM);
}

TEST_F(Uac2EntityTest, TerminalsNameTheirClockSource) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    for (UCHAR id : {1, 3, 4, 6}) {
        auto* link = dynamic_cast<IClockSourceId*>(Entity(id));
        ASSERT_NE(link, nullptr) << (int)id;
        ULONG clock = 0;
        EXPECT_EQ(link->GetClockSourceId(&clock), STATUS_SUCCESS);
        EXPECT_EQ(clock, 10u);
        EXPECT_EQ(link->GetClockSourceId(nullptr), STATUS_INVALID_PARAMETER);
    }
}

// ---- clock source ---------------------------------------------------------------------

TEST_F(Uac2EntityTest, ClockNodeTakesTheDiscreteRatesAndTheAcceptedRate) {
    uac().SetClockRates(10, {44100, 48000, 96000});
    uac().SetClockAcceptedRates(10, {48000});
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    auto* clock = As<IClockSource>(UnitOfKind(UNIT_KIND_CLOCK), IID_IClockSource);
    ASSERT_NE(clock, nullptr);
    ULONG rates[4] = {}, count = 4;
    ASSERT_EQ(clock->GetSampleRates(&count, rates), STATUS_SUCCESS);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(rates[2], 96000u);
    EXPECT_NE(clock->SetSampleRate(96000), STATUS_SUCCESS);
    EXPECT_EQ(clock->SetSampleRate(48000), STATUS_SUCCESS);
    EXPECT_EQ(uac().ClockRate(10), 48000u);
    ULONG current = 0;
    EXPECT_EQ(clock->GetSampleRate(&current), STATUS_SUCCESS);
    EXPECT_EQ(current, 48000u);
}

TEST_F(Uac2EntityTest, ClockRatesCappedByTheCallersRoom) {
    uac().SetClockRates(10, {44100, 48000, 96000});
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    auto* source = EntityAs<CUac2ClockSource>(10);
    ULONG rates[3] = {1, 1, 7}, count = 2;
    ClearLog();
    ASSERT_EQ(source->GetSampleRates(&count, rates), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(rates[0], 44100u);
    EXPECT_EQ(rates[1], 48000u);
    EXPECT_EQ(rates[2], 7u);
    // The list is asked for with the bytes of two subranges.
    const std::vector<simusb::ControlLogEntry> log = Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].setup.wLength, 2 + 12 * 2);
}

// The list's answer (the second RANGE of GetSampleRates) altered: a count
// below the first answer's gives only the rates it counts; a list cut short
// fails. The caller's slots past what was taken keep their bytes.
struct ClockListCase {
    const char* name;
    simusb::ControlRule::Action action;
    ULONG shortTo;
    UCHAR countByte;  // AlterByte: the answer's new wNumSubRanges
    NTSTATUS expected;
    ULONG count;                 // *count afterwards
    std::array<ULONG, 4> rates;  // the caller's slots afterwards
};
void PrintTo(const ClockListCase& c, std::ostream* os) { *os << c.name; }

class Uac2ClockListTest : public Uac2EntityTest, public ::testing::WithParamInterface<ClockListCase> {};

TEST_P(Uac2ClockListTest, SecondAnswerDecidesWhatIsTaken) {
    const ClockListCase& c = GetParam();
    uac().SetClockRates(10, {44100, 48000, 96000});
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    simusb::ControlRule rule;
    rule.bmRequestType = 0xA1;
    rule.bRequest = 0x02;
    rule.wValue = 0x0100;
    rule.wIndex = 10 << 8;
    rule.action = c.action;
    rule.shortTo = c.shortTo;
    rule.offset = 0;
    rule.value = c.countByte;
    rule.skip = 1;  // the count's answer passes
    rule.count = 1;
    device().AddControlRule(rule);
    std::array<ULONG, 4> rates = {7, 7, 7, 7};
    ULONG count = 3;
    EXPECT_EQ(EntityAs<CUac2ClockSource>(10)->GetSampleRates(&count, rates.data()), c.expected);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(rates, c.rates);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Uac2ClockListTest,
    ::testing::Values(
        ClockListCase{"CountShrinks", simusb::ControlRule::AlterByte, 0, 1, STATUS_SUCCESS, 1, {44100, 7, 7, 7}},
        ClockListCase{"CountGrows", simusb::ControlRule::AlterByte, 0, 9, STATUS_SUCCESS, 3, {44100, 48000, 96000, 7}},
        ClockListCase{"ListCutShort", simusb::ControlRule::Short, 14, 0, STATUS_UNSUCCESSFUL, 3, {7, 7, 7, 7}}),
    [](const ::testing::TestParamInfo<ClockListCase>& info) { return std::string(info.param.name); });

TEST_F(Uac2EntityTest, ContinuousClockRangeFailsTheClockNode) {
    uac().SetClockSubranges(10, {{8000, 192000, 1}});
    EXPECT_EQ(BuildAll(), STATUS_INVALID_PARAMETER);
}

TEST_F(Uac2EntityTest, MoreThanThirtyRatesRefusedBeforeTheListIsRead) {
    std::vector<ULONG> many;
    for (ULONG i = 0; i < 31; ++i) many.push_back(8000 + 1000 * i);
    uac().SetClockRates(10, many);
    ClearLog();
    EXPECT_NE(BuildAll(), STATUS_SUCCESS);
    for (const simusb::ControlLogEntry& e : Log())
        if ((e.setup.wIndex >> 8) == 10 && e.setup.bRequest == 0x02) {
            EXPECT_EQ(e.setup.wLength, 14);
        }
    auto* source = EntityAs<CUac2ClockSource>(10);
    ASSERT_NE(source, nullptr);
    ULONG rates[31], count = 31;
    EXPECT_EQ(source->GetSampleRates(&count, rates), STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(Uac2EntityTest, ClockWithoutSubrangesHasNoRates) {
    uac().SetClockSubranges(10, {});
    uac().SetClockRates(10, {});
    EXPECT_NE(BuildAll(), STATUS_SUCCESS);
}

// ---- selector, mixer and extension units ----------------------------------------------------

TEST_F(Uac2EntityTest, SelectorUsesTheSelectorControlAndItsPinCount) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    CUacEntity* entity = nullptr;
    ASSERT_EQ(InitEntity(Descriptor(5, 7, {2, 2, 5, 0, 0}), &entity), STATUS_SUCCESS);
    auto* selector = dynamic_cast<IMuxUnit*>(entity);
    ASSERT_NE(selector, nullptr);
    ClearLog();
    EXPECT_EQ(selector->SetValue(3), STATUS_INVALID_PARAMETER);
    ULONG input = 0;
    selector->GetValue(&input);
    for (const simusb::ControlLogEntry& e : Log()) EXPECT_EQ(e.setup.wValue, 0x0100);
}

struct UnitCase {
    const char* name;
    Bytes descriptor;
    NTSTATUS expected;
    ULONG sources;
};
void PrintTo(const UnitCase& c, std::ostream* os) { *os << c.name; }

class Uac2UnitTest : public Uac2EntityTest, public ::testing::WithParamInterface<UnitCase> {};

TEST_P(Uac2UnitTest, SourcesFromTheirOwnOffsets) {
    CUacEntity* entity = nullptr;
    EXPECT_EQ(InitEntity(GetParam().descriptor, &entity), GetParam().expected);
    if (GetParam().expected == STATUS_SUCCESS) {
        ASSERT_NE(entity, nullptr);
        EXPECT_EQ(entity->GetSourceCount(), GetParam().sources);
        EXPECT_NE(UnitOfKind(UNIT_KIND_SUM), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Uac2UnitTest,
    ::testing::Values(
        UnitCase{"Mixer", Descriptor(4, 8, {2, 2, 5, 2, 3, 0, 0, 0, 0, 0, 0, 0}), STATUS_SUCCESS, 2},
        UnitCase{"MixerWithoutPins", Descriptor(4, 8, {0, 2, 3, 0, 0, 0, 0, 0, 0, 0}), STATUS_INVALID_PARAMETER, 0},
        UnitCase{"MixerShorterThanItsPins", Descriptor(4, 8, {5, 2, 3, 0, 0, 0, 0, 0, 0}), STATUS_INVALID_PARAMETER,
                 0},
        UnitCase{"Extension", Descriptor(9, 8, {0x34, 0x12, 1, 2, 2, 3, 0, 0, 0, 0, 0, 0}), STATUS_SUCCESS, 1},
        UnitCase{"ExtensionWithoutPins", Descriptor(9, 8, {0x34, 0x12, 0, 2, 2, 3, 0, 0, 0, 0, 0}),
                 STATUS_INVALID_PARAMETER, 0}),
    [](const ::testing::TestParamInfo<UnitCase>& info) { return std::string(info.param.name); });

// ---- descriptors too short for their kind ---------------------------------------------------

struct ShortCase {
    const char* name;
    Bytes descriptor;
};
void PrintTo(const ShortCase& c, std::ostream* os) { *os << c.name; }

class Uac2ShortDescriptorTest : public Uac2EntityTest, public ::testing::WithParamInterface<ShortCase> {};

TEST_P(Uac2ShortDescriptorTest, InitRefusesBeforeReadingAField) {
    const int64_t before = sim::PoolLiveBlocks(MakePoolTag("AUAT"));
    EXPECT_EQ(InitEntity(GetParam().descriptor), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::PoolLiveBlocks(MakePoolTag("AUAT")), before);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Uac2ShortDescriptorTest,
    ::testing::Values(ShortCase{"InputTerminal16", Descriptor(2, 1, Bytes(12, 0))},
                      ShortCase{"OutputTerminal11", Descriptor(3, 3, Bytes(7, 0))},
                      ShortCase{"FeatureUnit9", Descriptor(6, 2, {1, 3, 0, 0, 0})},
                      ShortCase{"ClockSource7", Descriptor(10, 10, {3, 7, 0})},
                      ShortCase{"Selector6", Descriptor(5, 7, {1, 2})},
                      ShortCase{"Mixer13WithOnePin", Descriptor(4, 8, {1, 2, 2, 3, 0, 0, 0, 0, 0})},
                      ShortCase{"Extension15WithOnePin", Descriptor(9, 8, {0, 0, 1, 2, 2, 3, 0, 0, 0, 0, 0})}),
    [](const ::testing::TestParamInfo<ShortCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace uactest

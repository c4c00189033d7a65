// The UAC 2.0 parsers on class 2.0 devices built in code: the formats a
// stream gets from its clock's rates (PCM, DSD, IEC 61937, what is
// skipped), the stream objects per interface, the refused subtypes and
// links, the capture mixer as a StereoMix pin, and the minimum lengths of
// both classes' descriptors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include <cstdio>

#include "adapter/model/descriptor_cursor.h"
#include "sim/debug.h"
#include "adapter/model/uac2_hal.h"
#include "portcls/portcls_guids.h"
#include "stream/wave/wave_guids.h"
#include "tests/adapter/uac1/model_fixture.h"
#include "tests/adapter/uac2/uac2_devices.h"
#include "topology/terminal_units.h"

namespace uac2test {
namespace {

using uac1test::ModelTest;

std::string Subformat(const WAVEFORMATEXTENSIBLE& f) {
    GUID g;
    std::memcpy(&g, &f.SubFormat, sizeof(g));
    if (g == KSDATAFORMAT_SUBTYPE_PCM) return "pcm";
    if (g == KSDATAFORMAT_SUBTYPE_VENDOR_DSD) return "dsd";
    if (g.Data1 == 0x92) return "ac3";
    if (g.Data1 == 0x164) return "wmapro";
    return "?";
}

class Uac2ParserTest : public ModelTest {
protected:
    NTSTATUS Start(const DeviceOptions& options, std::vector<ULONG> rates = {44100, 48000},
                   std::vector<ULONG> accepted = {}) {
        Plug(Uac2Device(options));
        Device().model().SetClockRates(kClockId, rates);
        if (!accepted.empty()) Device().model().SetClockAcceptedRates(kClockId, accepted);
        const NTSTATUS status = InitAdapter();
        if (!NT_SUCCESS(status)) std::printf("%s", sim::DebugOutput().c_str());
        return status;
    }
    // "alt ch bits/container rate subformat" per format of engine 0.
    std::vector<std::string> Formats(ULONG engine = 0) {
        std::vector<std::string> out;
        const uac1fakes::StreamView* view = View(engine);
        if (view == nullptr) return out;
        for (const CYCLIC_FORMAT_ENTRY& e : view->FormatEntries()) {
            const WAVEFORMATEXTENSIBLE& f = e.Format;
            out.push_back(std::to_string(e.AlternateSetting) + " " + std::to_string(f.Format.nChannels) + " " +
                          std::to_string(f.Samples.wValidBitsPerSample) + "/" + std::to_string(f.Format.wBitsPerSample) +
                          " " + std::to_string(f.Format.nSamplesPerSec) + " " + Subformat(f));
        }
        return out;
    }
    // SET CUR of the clock's sampling frequency: the rates sent.
    std::vector<ULONG> ClockSets() {
        std::vector<ULONG> rates;
        for (const simusb::ControlLogEntry& e : Device().RequestLog())
            if (e.setup.bmRequestType == 0x21 && (e.setup.wIndex >> 8) == kClockId && e.setup.wValue == 0x0100 &&
                e.data.size() == 4)
                rates.push_back(e.data[0] | e.data[1] << 8 | e.data[2] << 16 | (ULONG)e.data[3] << 24);
        return rates;
    }
};

TEST_F(Uac2ParserTest, PcmFormatPerClockRate) {
    ASSERT_EQ(Start({}), STATUS_SUCCESS);
    EXPECT_EQ(Formats(), (std::vector<std::string>{"1 2 24/32 44100 pcm", "1 2 24/32 48000 pcm"}));
    EXPECT_TRUE(ClockSets().empty());
    // Both interfaces have their stream object.
    ASSERT_NE(Engine(1), nullptr);
    EXPECT_TRUE(Engine(1)->IsCapture());
}

TEST_F(Uac2ParserTest, DsdOnlyAtTheRatesTheClockAccepts) {
    DeviceOptions o;
    o.formats = 0x80000000;
    o.subslot = 8;
    o.bits = 64;
    ASSERT_EQ(Start(o, {2822400, 5644800}, {2822400}), STATUS_SUCCESS);
    EXPECT_EQ(Formats(), (std::vector<std::string>{"1 2 64/64 2822400 dsd"}));
    EXPECT_EQ(ClockSets(), (std::vector<ULONG>{2822400, 5644800}));
}

TEST_F(Uac2ParserTest, PcmBitWithDsdBitsIsPcmWithoutAProbe) {
    DeviceOptions o;
    o.formats = 0x80000001;
    ASSERT_EQ(Start(o), STATUS_SUCCESS);
    EXPECT_EQ(Formats(), (std::vector<std::string>{"1 2 24/32 44100 pcm", "1 2 24/32 48000 pcm"}));
    EXPECT_TRUE(ClockSets().empty());
}

TEST_F(Uac2ParserTest, TypeThreeGivesBothIecFormatsPerRate) {
    DeviceOptions o;
    o.formatType = 3;
    o.formats = 0x00001001;
    o.subslot = 2;
    o.bits = 16;
    ASSERT_EQ(Start(o), STATUS_SUCCESS);
    EXPECT_EQ(Formats(), (std::vector<std::string>{"1 2 16/16 44100 ac3", "1 2 16/16 44100 wmapro",
                                                   "1 2 16/16 48000 ac3", "1 2 16/16 48000 wmapro"}));
}

TEST_F(Uac2ParserTest, TwoAlternateSettingsEachWithItsFormats) {
    DeviceOptions o;
    o.secondAlternate = true;
    ASSERT_EQ(Start(o, {48000}), STATUS_SUCCESS);
    EXPECT_EQ(Formats(), (std::vector<std::string>{"1 2 24/32 48000 pcm", "2 2 16/16 48000 pcm"}));
}

struct FieldCase {
    const char* name;
    ULONG formats;
    UCHAR channels, subslot, bits;
    size_t expected;  // formats of engine 0 (two rates)
};
void PrintTo(const FieldCase& c, std::ostream* os) { *os << c.name; }

class Uac2FieldTest : public Uac2ParserTest, public ::testing::WithParamInterface<FieldCase> {};

TEST_P(Uac2FieldTest, FormatsTheStreamCannotCarryAreSkippedAndTheParseGoesOn) {
    const FieldCase& c = GetParam();
    DeviceOptions o;
    // Into speakers, whose endpoints offer formats of any channel count.
    o.outputType = simusb::UAC_TERMINAL_SPEAKER;
    o.formats = c.formats;
    o.channels = c.channels;
    o.subslot = c.subslot;
    o.bits = c.bits;
    ASSERT_EQ(Start(o, {44100, 48000}, {44100, 48000}), STATUS_SUCCESS);
    EXPECT_EQ(Formats().size(), c.expected);
    // The capture interface after it is parsed all the same.
    EXPECT_EQ(Formats(1).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Uac2FieldTest,
    ::testing::Values(FieldCase{"TenChannelsKept", 1, 10, 4, 24, 2}, FieldCase{"NoChannels", 1, 0, 4, 24, 0},
                      FieldCase{"SubslotZero", 1, 2, 0, 8, 0}, FieldCase{"PcmSubslotEight", 1, 2, 8, 64, 0},
                      FieldCase{"DsdSubslotEightKept", 0x80000000, 2, 8, 64, 2},
                      FieldCase{"MoreBitsThanTheSubslot", 1, 2, 2, 17, 0}, FieldCase{"NoBits", 1, 2, 2, 0, 0}),
    [](const ::testing::TestParamInfo<FieldCase>& info) { return std::string(info.param.name); });

TEST_F(Uac2ParserTest, RateZeroAndByteRatesPast32BitsAreSkipped) {
    DeviceOptions o;
    o.outputType = simusb::UAC_TERMINAL_SPEAKER;
    o.channels = 255;
    o.subslot = 4;
    // Three 1024-byte packets a microframe: two frames of 1020 bytes.
    o.renderPacket = (2 << 11) | 1024;
    // 255 x 4 bytes at 5 MHz is past 2^32 bytes per second.
    ASSERT_EQ(Start(o, {0, 16000, 5000000}), STATUS_SUCCESS);
    EXPECT_EQ(Formats(), (std::vector<std::string>{"1 255 24/32 16000 pcm"}));
}

struct EndpointCase {
    const char* name;
    simusb::UsbSpeed speed;
    UCHAR formatType;
    ULONG formats;
    UCHAR subslot, bits;
    USHORT packet;  // render wMaxPacketSize
    std::vector<std::string> expected;
    std::string logLine;  // printed by the parse when not empty
};
void PrintTo(const EndpointCase& c, std::ostream* os) { *os << c.name; }

class Uac2EndpointTest : public Uac2ParserTest, public ::testing::WithParamInterface<EndpointCase> {};

// A render packet carries the ceiling of rate / (1000 x packets per frame)
// frames at the format's rate; a format whose largest packet the data
// endpoint cannot carry at the device's speed is skipped with a line.
// Capture sizes its packets from the endpoint and is not checked.
TEST_P(Uac2EndpointTest, RenderFormatsTheEndpointCannotCarryAreSkipped) {
    const EndpointCase& c = GetParam();
    DeviceOptions o;
    o.speed = c.speed;
    o.formatType = c.formatType;
    o.formats = c.formats;
    o.subslot = c.subslot;
    o.bits = c.bits;
    o.renderPacket = c.packet;
    sim::ClearDebugOutput();
    ASSERT_EQ(Start(o, {44100, 48000, 96000, 192000}), STATUS_SUCCESS);
    EXPECT_EQ(Formats(), c.expected);
    const std::vector<std::string> log = sim::DebugLog();
    if (!c.logLine.empty()) {
        EXPECT_NE(std::find(log.begin(), log.end(), c.logLine), log.end()) << ::testing::PrintToString(log);
    }
    // 8-byte capture frames would not fit a 200-byte packet at full speed.
    EXPECT_EQ(Formats(1), (std::vector<std::string>{"1 2 24/32 44100 pcm", "1 2 24/32 48000 pcm",
                                                     "1 2 24/32 96000 pcm", "1 2 24/32 192000 pcm"}));
}

const simusb::UsbSpeed kFull = simusb::UsbSpeed::Full;
const simusb::UsbSpeed kHigh = simusb::UsbSpeed::High;

INSTANTIATE_TEST_SUITE_P(
    Table, Uac2EndpointTest,
    ::testing::Values(
        EndpointCase{"FullSpeed200Bytes", kFull, 1, 1, 2, 16, 200,
                     {"1 2 16/16 44100 pcm", "1 2 16/16 48000 pcm"},
                     "interface 1 alternate 1: 192000 Hz needs packets of 768 bytes, the data endpoint carries 200; "
                     "the format is skipped"},
        EndpointCase{"HighSpeedSameEndpointCarriesEveryRate", kHigh, 1, 1, 2, 16, 200,
                     {"1 2 16/16 44100 pcm", "1 2 16/16 48000 pcm", "1 2 16/16 96000 pcm", "1 2 16/16 192000 pcm"},
                     ""},
        EndpointCase{"FullSpeedExactlyFor48k", kFull, 1, 1, 2, 16, 192,
                     {"1 2 16/16 44100 pcm", "1 2 16/16 48000 pcm"},
                     "interface 1 alternate 1: 96000 Hz needs packets of 384 bytes, the data endpoint carries 192; "
                     "the format is skipped"},
        EndpointCase{"FullSpeedOneShortFor48k", kFull, 1, 1, 2, 16, 191, {"1 2 16/16 44100 pcm"},
                     "interface 1 alternate 1: 48000 Hz needs packets of 192 bytes, the data endpoint carries 191; "
                     "the format is skipped"},
        EndpointCase{"FullSpeedIec61937", kFull, 3, 0x00001001, 2, 16, 200,
                     {"1 2 16/16 44100 ac3", "1 2 16/16 44100 wmapro", "1 2 16/16 48000 ac3",
                      "1 2 16/16 48000 wmapro"},
                     "interface 1 alternate 1: 96000 Hz needs packets of 384 bytes, the data endpoint carries 200; "
                     "the format is skipped"},
        // 192 kHz needs 24 frames of 8 bytes a microframe: two packets of
        // 96 bytes carry it.
        EndpointCase{"HighSpeedHighBandwidthBitsCounted", kHigh, 1, 1, 4, 24, (1 << 11) | 96,
                     {"1 2 24/32 44100 pcm", "1 2 24/32 48000 pcm", "1 2 24/32 96000 pcm", "1 2 24/32 192000 pcm"},
                     ""},
        EndpointCase{"HighSpeedOneShortFor192k", kHigh, 1, 1, 4, 24, 191,
                     {"1 2 24/32 44100 pcm", "1 2 24/32 48000 pcm", "1 2 24/32 96000 pcm"},
                     "interface 1 alternate 1: 192000 Hz needs packets of 192 bytes, the data endpoint carries 191; "
                     "the format is skipped"}),
    [](const ::testing::TestParamInfo<EndpointCase>& info) { return std::string(info.param.name); });

// ---- the clock's RANGE answer --------------------------------------------------

struct ClockRangeCase {
    const char* name;
    std::vector<simusb::ClockSubrange> subranges;
    std::optional<simusb::ControlRule> rule;  // on every RANGE answer of the clock
    NTSTATUS expected;
    std::vector<ULONG> rates;  // of engine 0's formats, in order
};

// A rule on the clock's sampling-frequency RANGE answers: cut to shortTo
// bytes, or with wNumSubRanges' low byte replaced.
simusb::ControlRule RangeRule(simusb::ControlRule::Action action, ULONG shortTo, UCHAR countByte = 0) {
    simusb::ControlRule rule;
    rule.bmRequestType = 0xA1;
    rule.bRequest = 0x02;  // RANGE
    rule.wValue = 0x0100;  // sampling frequency
    rule.wIndex = (USHORT)(kClockId << 8);
    rule.action = action;
    rule.shortTo = shortTo;
    rule.offset = 0;
    rule.value = countByte;
    return rule;
}
void PrintTo(const ClockRangeCase& c, std::ostream* os) { *os << c.name; }

std::vector<simusb::ClockSubrange> Discrete(std::vector<ULONG> rates) {
    std::vector<simusb::ClockSubrange> out;
    for (ULONG r : rates) out.push_back({r, r, 0});
    return out;
}

std::vector<ULONG> Rates(ULONG count) {
    std::vector<ULONG> out;
    for (ULONG i = 0; i < count; ++i) out.push_back(8000 + 1000 * i);
    return out;
}

class Uac2ClockRangeTest : public Uac2ParserTest, public ::testing::WithParamInterface<ClockRangeCase> {};

// Discrete subranges give one format per rate in the device's order; a
// list the clock cannot give as discrete rates (a range, MIN above MAX, a
// RES on a single rate), none at all, more than 30 rates or an answer
// shorter than asked refuse the start with the clock node's status,
// leaving nothing behind.
TEST_P(Uac2ClockRangeTest, FormatsFromTheDiscreteRatesOrARefusal) {
    const ClockRangeCase& c = GetParam();
    Plug(Uac2Device({}));
    // No rates of its own: the subranges are all the clock lists.
    Device().model().SetClockRates(kClockId, {});
    Device().model().SetClockSubranges(kClockId, c.subranges);
    if (c.rule) Device().AddControlRule(*c.rule);
    ASSERT_EQ(InitAdapter(), c.expected);
    if (c.expected != STATUS_SUCCESS) return;
    std::vector<ULONG> rates;
    for (const CYCLIC_FORMAT_ENTRY& e : View(0)->FormatEntries()) {
        const ULONG rate = e.Format.Format.nSamplesPerSec;  // a packed field: copied, never referenced
        rates.push_back(rate);
    }
    EXPECT_EQ(rates, c.rates);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Uac2ClockRangeTest,
    ::testing::Values(
        ClockRangeCase{"ThreeRates", Discrete({44100, 48000, 96000}), std::nullopt, STATUS_SUCCESS,
                       {44100, 48000, 96000}},
        ClockRangeCase{"DeviceOrderKept", Discrete({96000, 44100, 192000}), std::nullopt, STATUS_SUCCESS,
                       {96000, 44100, 192000}},
        ClockRangeCase{"ThirtyRates", Discrete(Rates(30)), std::nullopt, STATUS_SUCCESS, Rates(30)},
        // Refused before the list is read: the clock node's result.
        ClockRangeCase{"ThirtyOneRates", Discrete(Rates(31)), std::nullopt, STATUS_INSUFFICIENT_RESOURCES, {}},
        ClockRangeCase{"NoSubranges", {}, std::nullopt, STATUS_UNSUCCESSFUL, {}},
        ClockRangeCase{"RangeAmongRates", {{48000, 48000, 0}, {8000, 192000, 1}}, std::nullopt,
                       STATUS_INVALID_PARAMETER, {}},
        ClockRangeCase{"MinAboveMax", {{48000, 44100, 0}}, std::nullopt, STATUS_INVALID_PARAMETER, {}},
        ClockRangeCase{"RangeWithResolutionZero", {{44100, 48000, 0}}, std::nullopt, STATUS_INVALID_PARAMETER, {}},
        ClockRangeCase{"OneRateWithAResolution", {{48000, 48000, 1}}, std::nullopt, STATUS_INVALID_PARAMETER, {}},
        // The count's answer (14 bytes asked) cut inside the subrange.
        ClockRangeCase{"ShortCountAnswer", Discrete({44100, 48000}), RangeRule(simusb::ControlRule::Short, 6),
                       STATUS_UNSUCCESSFUL, {}},
        // The list (2 + 12 x 3 bytes asked) cut to one subrange.
        ClockRangeCase{"ShortListAnswer", Discrete({44100, 48000, 96000}), RangeRule(simusb::ControlRule::Short, 14),
                       STATUS_UNSUCCESSFUL, {}},
        // Whole answers that count no subrange.
        ClockRangeCase{"ZeroCount", Discrete({48000}), RangeRule(simusb::ControlRule::AlterByte, 0, 0),
                       STATUS_UNSUCCESSFUL, {}}),
    [](const ::testing::TestParamInfo<ClockRangeCase>& info) { return std::string(info.param.name); });

struct OfferCase {
    const char* name;
    USHORT outputType;
    UCHAR channels;
    bool secondAlternate;  // adds 16-bit stereo
    std::vector<USHORT> offered;  // channels of each offered format
};
void PrintTo(const OfferCase& c, std::ostream* os) { *os << c.name; }

class Uac2OfferTest : public Uac2ParserTest, public ::testing::WithParamInterface<OfferCase> {};

// A headphone endpoint offers only its 2-channel formats; one without a
// 2-channel PCM format offers its own formats instead, so the interface
// keeps its wave filter.
TEST_P(Uac2OfferTest, ARenderInterfaceOffersWhatItsEndpointTypeAllows) {
    const OfferCase& c = GetParam();
    DeviceOptions o;
    o.outputType = c.outputType;
    o.channels = c.channels;
    o.secondAlternate = c.secondAlternate;
    ASSERT_EQ(Start(o, {48000}), STATUS_SUCCESS);
    ASSERT_NE(Engine(0), nullptr);
    std::vector<USHORT> offered;
    for (ULONG i = 0; i < Engine(0)->GetFormatCount(); ++i) {
        WAVEFORMATEXTENSIBLE f = {};
        ASSERT_EQ(Engine(0)->GetFormat(i, &f), STATUS_SUCCESS);
        EXPECT_EQ(f.SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
        offered.push_back(f.Format.nChannels);
    }
    EXPECT_EQ(offered, c.offered);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Uac2OfferTest,
    ::testing::Values(OfferCase{"HeadphonesStereo", simusb::UAC_TERMINAL_HEADPHONES, 2, false, {2}},
                      OfferCase{"HeadphonesFourChannels", simusb::UAC_TERMINAL_HEADPHONES, 4, false, {4}},
                      OfferCase{"HeadphonesEightChannels", simusb::UAC_TERMINAL_HEADPHONES, 8, false, {8}},
                      OfferCase{"HeadphonesTenChannels", simusb::UAC_TERMINAL_HEADPHONES, 10, false, {10}},
                      OfferCase{"HeadphonesEightChannelsAndAStereoSetting", simusb::UAC_TERMINAL_HEADPHONES, 8, true,
                                {2}},
                      OfferCase{"HeadphonesTenChannelsAndAStereoSetting", simusb::UAC_TERMINAL_HEADPHONES, 10, true,
                                {2}},
                      OfferCase{"SpeakersTenChannels", simusb::UAC_TERMINAL_SPEAKER, 10, false, {10}}),
    [](const ::testing::TestParamInfo<OfferCase>& info) { return std::string(info.param.name); });

struct RefusalCase {
    const char* name;
    Bytes entity;  // added to the Audio Control interface
    UCHAR terminalClock;
    NTSTATUS expected;
};
void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class Uac2RefusalTest : public Uac2ParserTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Uac2RefusalTest, TheStartFailsWithItsStatus) {
    DeviceOptions o;
    if (!GetParam().entity.empty()) o.extraEntities.push_back(GetParam().entity);
    o.terminalClock = GetParam().terminalClock;
    EXPECT_EQ(Start(o), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Uac2RefusalTest,
    ::testing::Values(
        RefusalCase{"EffectUnit", AcDescriptor(7, {20, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), kClockId,
                    STATUS_UNSUCCESSFUL},
        RefusalCase{"ProcessingUnit", AcDescriptor(8, {21, 1, 0, 1, 2, 2, 3, 0, 0, 0, 0, 0, 0, 0, 0}), kClockId,
                    STATUS_UNSUCCESSFUL},
        RefusalCase{"ClockSelector", AcDescriptor(11, {22, 1, 10, 0, 0}), kClockId, STATUS_UNSUCCESSFUL},
        RefusalCase{"ClockMultiplier", AcDescriptor(12, {23, 10, 0, 0}), kClockId, STATUS_UNSUCCESSFUL},
        RefusalCase{"SampleRateConverter", AcDescriptor(13, {24, 2, 10, 10, 0}), kClockId, STATUS_UNSUCCESSFUL},
        // A clock id naming no entity.
        RefusalCase{"ClockIdNamesNothing", {}, 42, STATUS_UNSUCCESSFUL},
        // The render terminal is clocked by a feature unit: no clock source.
        RefusalCase{"ClockIdNamesAFeatureUnit", {}, 5, STATUS_INVALID_PARAMETER},
        // A clock source shorter than its kind: the walk ends.
        RefusalCase{"ShortClockSource", AcDescriptor(10, {30, 3, 7}), kClockId, STATUS_UNSUCCESSFUL}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

// IT 4 line -> mixer 7 -> OT 6 USB streaming: the capture path's sum unit
// becomes a StereoMix input pin before the pins are counted.
TEST_F(Uac2ParserTest, CaptureMixerBecomesAStereoMixPin) {
    ConfigBuilder c;
    const UCHAR kAudio = USB_DEVICE_CLASS_AUDIO;
    const UCHAR kV2 = USB_AUDIO_PROTOCOL_2_0;
    c.Configuration()
        .Interface(0, 0, kAudio, USB_AUDIO_SUBCLASS_AUDIOCONTROL, kV2)
        .Uac2Header(0x0A)
        .Uac2ClockSource(kClockId, 0x03, 0x07)
        .Uac2InputTerminal(4, simusb::UAC_TERMINAL_LINE_CONNECTOR, kClockId, 2, 0x3)
        .Uac2MixerUnit(7, {4}, 2, 0x3)
        .Uac2OutputTerminal(6, simusb::UAC_TERMINAL_USB_STREAMING, 7, kClockId)
        .Interface(2, 0, kAudio, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, kV2)
        .Interface(2, 1, kAudio, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, kV2)
        .Uac2AsGeneral(6, 0x05, UAC_FORMAT_TYPE_I, 0x00000001, 2, 0x3)
        .Uac2FormatTypeI(4, 24)
        .Endpoint(0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS, 200, 1)
        .Uac2IsoEndpoint();
    DescriptorSet set = Uac2Device();
    set.configuration = c.Build();
    Plug(set);
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    IStreamEngine* engine = Engine(0);
    ASSERT_NE(engine, nullptr);
    ULONG pins = 0, sums = 0;
    for (ULONG i = 0; i < engine->GetUnitCount(); ++i) {
        IUacUnit* unit = nullptr;
        ASSERT_EQ(engine->GetUnit(i, &unit), STATUS_SUCCESS);
        pins += unit->GetKind() == UNIT_KIND_INPUT_PIN ? 1 : 0;
        sums += unit->GetKind() == UNIT_KIND_SUM ? 1 : 0;
    }
    // The mixer's sources are not followed into the engine: its one input
    // pin is the mixer turned StereoMix pin.
    EXPECT_EQ(sums, 0u);
    EXPECT_EQ(pins, 1u);
}

// ---- minimum lengths of both classes ------------------------------------------------------

struct MinimumCase {
    DESCRIPTOR_SCOPE scope;
    UCHAR subtype;
    UCHAR count;  // the count field's value where the kind has one
    ULONG minimum;
};

TEST(DescriptorMinimumLengthTable, BothClassesForSubtypesOneToSix) {
    const MinimumCase cases[] = {
        // class 1.0 (unchanged)
        {DESCRIPTOR_SCOPE_AUDIO_CONTROL, 2, 0, 12},
        {DESCRIPTOR_SCOPE_AUDIO_CONTROL, 3, 0, 9},
        {DESCRIPTOR_SCOPE_AUDIO_CONTROL, 4, 2, 12},
        {DESCRIPTOR_SCOPE_AUDIO_CONTROL, 5, 2, 8},
        {DESCRIPTOR_SCOPE_AUDIO_CONTROL, 6, 2, 9},
        {DESCRIPTOR_SCOPE_AUDIO_STREAMING, 1, 0, 7},
        {DESCRIPTOR_SCOPE_AUDIO_STREAMING, 2, 2, 14},
        // class 2.0
        {DESCRIPTOR_SCOPE_AUDIO_CONTROL_2, 1, 0, 3},
        {DESCRIPTOR_SCOPE_AUDIO_CONTROL_2, 2, 0, 17},
        {DESCRIPTOR_SCOPE_AUDIO_CONTROL_2, 3, 0, 12},
        {DESCRIPTOR_SCOPE_AUDIO_CONTROL_2, 4, 2, 15},
        {DESCRIPTOR_SCOPE_AUDIO_CONTROL_2, 5, 2, 9},
        {DESCRIPTOR_SCOPE_AUDIO_CONTROL_2, 6, 0, 10},
        {DESCRIPTOR_SCOPE_AUDIO_CONTROL_2, 10, 0, 8},
        {DESCRIPTOR_SCOPE_AUDIO_STREAMING_2, 1, 0, 16},
        {DESCRIPTOR_SCOPE_AUDIO_STREAMING_2, 2, 0, 6},
    };
    for (const MinimumCase& c : cases) {
        uint8_t d[64] = {64, 0x24, c.subtype};
        // The count field: bNrInPins at 4 (mixer, selector), bControlSize
        // at 5 (class 1.0 feature unit), bSamFreqType at 7 (format type).
        const size_t at = c.scope == DESCRIPTOR_SCOPE_AUDIO_STREAMING ? 7 : (c.subtype == 6 ? 5 : 4);
        d[at] = c.count;
        EXPECT_EQ(DescriptorMinimumLength(c.scope, d, sizeof(d)), c.minimum)
            << "scope " << c.scope << " subtype " << (int)c.subtype;
    }
    // The extension unit counts its pins at 6.
    uint8_t extension[64] = {64, 0x24, 9, 1, 0, 0, 3};
    EXPECT_EQ(DescriptorMinimumLength(DESCRIPTOR_SCOPE_AUDIO_CONTROL_2, extension, sizeof(extension)), 18u);
}

TEST(DescriptorMinimumLengthTable, ShorterDescriptorEndsTheWalk) {
    // A class 2.0 input terminal of 16 bytes, then a valid header: the
    // cursor stops at the terminal.
    uint8_t bytes[16 + 9] = {16, 0x24, 2, 1};
    bytes[16] = 9;
    bytes[17] = 0x24;
    bytes[18] = 1;
    CDescriptorCursor cursor(bytes, sizeof(bytes), DESCRIPTOR_SCOPE_AUDIO_CONTROL_2);
    DESCRIPTOR_VIEW view;
    EXPECT_EQ(cursor.Next(&view), CURSOR_TRUNCATED);
    // The same bytes pass as a class 1.0 input terminal (12 bytes needed).
    CDescriptorCursor uac1(bytes, sizeof(bytes), DESCRIPTOR_SCOPE_AUDIO_CONTROL);
    EXPECT_EQ(uac1.Next(&view), CURSOR_DESCRIPTOR);
}

}  // namespace
}  // namespace uac2test

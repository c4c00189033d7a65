// The Audio Streaming parser: the formats of a FORMAT_TYPE descriptor (a
// table of descriptors and the formats they give), the engines of the
// streaming interfaces, the refusals, and the terminal-type pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "adapter/model/uac1_formats.h"
#include "portcls/portcls_guids.h"
#include "sim/debug.h"
#include "stream/engine/stream_engine.h"
#include "tests/adapter/uac1/model_fixture.h"
#include "topology/terminal_units.h"
#include "topology/uac_entity.h"

namespace uac1test {
namespace {

Bytes Rate(ULONG rate) { return {(uint8_t)rate, (uint8_t)(rate >> 8), (uint8_t)(rate >> 16)}; }

// The body of a FORMAT_TYPE descriptor (after bLength): type, channels,
// subframe bytes, bits, rate count, rates (or the range, count 0).
Bytes FormatType(UCHAR type, UCHAR channels, UCHAR subframe, UCHAR bits, UCHAR count, std::vector<ULONG> rates) {
    Bytes b{0x24, 0x02, type, channels, subframe, bits, count};
    for (ULONG r : rates) {
        Bytes three = Rate(r);
        b.insert(b.end(), three.begin(), three.end());
    }
    return b;
}
Bytes Discrete(UCHAR channels, UCHAR subframe, UCHAR bits, std::vector<ULONG> rates) {
    return FormatType(1, channels, subframe, bits, (UCHAR)rates.size(), rates);
}
Bytes Continuous(UCHAR channels, ULONG lower, ULONG upper) { return FormatType(1, channels, 2, 16, 0, {lower, upper}); }

// wMaxPacketSize that carries the largest full-speed packet of the
// FORMAT_TYPE bodies exactly (a continuous range up to the table's 96 kHz),
// at most 1023.
constexpr int kSizedFromFormats = -1;
USHORT MaxPacketFor(const std::vector<Bytes>& formats) {
    ULONG largest = 0;
    for (const Bytes& f : formats) {
        std::vector<ULONG> rates = {96000};
        if (f[6] != 0) rates.clear();
        for (size_t at = 7; f[6] != 0 && at + 3 <= f.size(); at += 3)
            rates.push_back(f[at] | f[at + 1] << 8 | f[at + 2] << 16);
        for (ULONG rate : rates) largest = std::max<ULONG>(largest, (rate + 999) / 1000 * f[3] * f[4]);
    }
    return (USHORT)std::min<ULONG>(largest, 1023);
}

// IT 1 -> OT 2: a USB streaming input to a speaker (render) or a
// microphone to a USB streaming output (capture); interface 1 alternate 1
// carries the AS_GENERAL, the given FORMAT_TYPE bodies and a data endpoint
// of maxPacket bytes.
Bytes StreamingDevice(bool capture, USHORT formatTag, const std::vector<Bytes>& formats,
                      int maxPacket = kSizedFromFormats) {
    ConfigBuilder c;
    AudioControl(c, {1})
        .Uac1InputTerminal(1, capture ? 0x0201 : 0x0101, 2, 0x0003)
        .Uac1OutputTerminal(2, capture ? 0x0101 : 0x0301, 1)
        .Interface(1, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0)
        .Interface(1, 1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0)
        .Uac1AsGeneral(capture ? 2 : 1, 1, formatTag);
    for (const Bytes& f : formats) c.Descriptor(f);
    const USHORT packet = maxPacket == kSizedFromFormats ? MaxPacketFor(formats) : (USHORT)maxPacket;
    c.AudioEndpoint(capture ? 0x81 : 0x01, capture ? 0x05 : 0x09, packet, 1).Uac1IsoEndpoint(1);
    return c.Build();
}

std::string FormatText(const CYCLIC_FORMAT_ENTRY& e) {
    const WAVEFORMATEXTENSIBLE& f = e.Format;
    GUID subformat;  // the packed record leaves it unaligned
    std::memcpy(&subformat, &f.SubFormat, sizeof(subformat));
    const char* sub = subformat == KSDATAFORMAT_SUBTYPE_PCM ? "pcm"
                      : subformat.Data1 == 0x92         ? "ac3"
                      : subformat.Data1 == 0x164        ? "wmapro"
                                                        : "?";
    char text[96];
    std::snprintf(text, sizeof(text), "%u %u/%u/%u %lu %lu 0x%lx %s", e.AlternateSetting, f.Format.nChannels,
                  f.Samples.wValidBitsPerSample, f.Format.wBitsPerSample, (unsigned long)f.Format.nSamplesPerSec,
                  (unsigned long)f.Format.nAvgBytesPerSec, (unsigned long)f.dwChannelMask, sub);
    return text;
}

struct FormatCase {
    FormatCase(const char* name_, bool capture_, USHORT formatTag_, std::vector<Bytes> formats_, NTSTATUS status_,
               std::vector<std::string> expected_, int maxPacket_ = kSizedFromFormats, std::string logLine_ = "")
        : name(name_), capture(capture_), formatTag(formatTag_), formats(std::move(formats_)), status(status_),
          expected(std::move(expected_)), maxPacket(maxPacket_), logLine(std::move(logLine_)) {}

    const char* name;
    bool capture;
    USHORT formatTag;
    std::vector<Bytes> formats;
    NTSTATUS status;
    // "alt channels/valid/bits rate bytes-per-second mask subformat"
    std::vector<std::string> expected;
    int maxPacket;
    // A line the parse prints, when not empty.
    std::string logLine;
};

std::ostream& operator<<(std::ostream& out, const FormatCase& c) { return out << c.name; }

class FormatTest : public ModelTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(FormatTest, OffersTheFormats) {
    const FormatCase& k = GetParam();
    Plug(MakeSet(StreamingDevice(k.capture, k.formatTag, k.formats, k.maxPacket)));
    sim::ClearDebugOutput();
    ASSERT_EQ(InitAdapter(), k.status);
    if (!k.logLine.empty()) {
        const std::vector<std::string> log = sim::DebugLog();
        EXPECT_NE(std::find(log.begin(), log.end(), k.logLine), log.end()) << ::testing::PrintToString(log);
    }
    if (!NT_SUCCESS(k.status)) return;
    ASSERT_NE(View(0), nullptr);
    std::vector<std::string> offered;
    for (const CYCLIC_FORMAT_ENTRY& e : View(0)->FormatEntries()) offered.push_back(FormatText(e));
    EXPECT_EQ(offered, k.expected);
}

const std::vector<std::string> kAllTableRates = {
    "1 2/16/16 8000 32000 0x3 pcm",   "1 2/16/16 11025 44100 0x3 pcm",  "1 2/16/16 16000 64000 0x3 pcm",
    "1 2/16/16 22050 88200 0x3 pcm",  "1 2/16/16 32000 128000 0x3 pcm", "1 2/16/16 44100 176400 0x3 pcm",
    "1 2/16/16 48000 192000 0x3 pcm", "1 2/16/16 88200 352800 0x3 pcm", "1 2/16/16 96000 384000 0x3 pcm"};

INSTANTIATE_TEST_SUITE_P(
    Continuous, FormatTest,
    ::testing::Values(
        FormatCase{"WithinTable", false, 1, {Continuous(2, 44100, 48000)}, STATUS_SUCCESS,
                   {"1 2/16/16 44100 176400 0x3 pcm", "1 2/16/16 48000 192000 0x3 pcm"}},
        FormatCase{"UpperBetweenEntriesRoundsUp", false, 1, {Continuous(2, 44100, 50000)}, STATUS_SUCCESS,
                   {"1 2/16/16 44100 176400 0x3 pcm", "1 2/16/16 48000 192000 0x3 pcm",
                    "1 2/16/16 88200 352800 0x3 pcm"}},
        FormatCase{"UpperPastTableTakesAll", false, 1, {Continuous(2, 8000, 192000)}, STATUS_SUCCESS, kAllTableRates},
        FormatCase{"LowerPastTableFails", false, 1, {Continuous(2, 100000, 192000)}, STATUS_INVALID_PARAMETER, {},
                   kSizedFromFormats,
                   "interface 1, entity 0, subtype 2: a continuous range must not start above the highest table "
                   "rate; the device is not started"},
        FormatCase{"ReversedBounds", false, 1, {Continuous(2, 48000, 44100)}, STATUS_SUCCESS,
                   {"1 2/16/16 44100 176400 0x3 pcm", "1 2/16/16 48000 192000 0x3 pcm"}},
        FormatCase{"ZeroToZeroHoldsNoTableRate", false, 1, {Continuous(2, 0, 0)}, STATUS_SUCCESS, {},
                   kSizedFromFormats,
                   "interface 1 alternate 1: FORMAT_TYPE range 0..0 Hz holds no rate the driver offers; the range is "
                   "skipped"},
        FormatCase{"BetweenTwoTableRatesHoldsNone", false, 1, {Continuous(2, 44000, 44050)}, STATUS_SUCCESS, {},
                   kSizedFromFormats,
                   "interface 1 alternate 1: FORMAT_TYPE range 44000..44050 Hz holds no rate the driver offers; the "
                   "range is skipped"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Discrete, FormatTest,
    ::testing::Values(
        FormatCase{"StereoCaptureThreeRates", true, 1, {Discrete(2, 2, 16, {8000, 16000, 48000})}, STATUS_SUCCESS,
                   {"1 2/16/16 8000 32000 0x3 pcm", "1 2/16/16 16000 64000 0x3 pcm", "1 2/16/16 48000 192000 0x3 pcm",
                    "1 2/16/16 8000 32000 0x0 pcm", "1 2/16/16 16000 64000 0x0 pcm",
                    "1 2/16/16 48000 192000 0x0 pcm"}},
        FormatCase{"RateZeroSkipped", false, 1, {Discrete(2, 2, 16, {0, 48000})}, STATUS_SUCCESS,
                   {"1 2/16/16 48000 192000 0x3 pcm"}},
        FormatCase{"ValidBitsBelowContainer", false, 1, {Discrete(2, 4, 24, {96000})}, STATUS_SUCCESS,
                   {"1 2/24/32 96000 768000 0x3 pcm"}},
        FormatCase{"TypeThreeIec61937", false, 0x2001, {FormatType(3, 2, 2, 16, 2, {48000, 44100})}, STATUS_SUCCESS,
                   {"1 2/16/16 48000 192000 0x3 ac3", "1 2/16/16 48000 192000 0x3 wmapro",
                    "1 2/16/16 44100 176400 0x3 ac3", "1 2/16/16 44100 176400 0x3 wmapro"}},
        FormatCase{"TypeThreeOtherTag", false, 0x1000, {FormatType(3, 2, 2, 16, 1, {48000})}, STATUS_SUCCESS, {}},
        FormatCase{"TypeTwoFails", false, 1, {FormatType(2, 2, 2, 16, 1, {48000})}, STATUS_INVALID_PARAMETER, {},
                   kSizedFromFormats,
                   "interface 1, entity 0, subtype 2: bFormatType must be I or III; the device is not started"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Masks, FormatTest,
    ::testing::Values(
        FormatCase{"Render",
                   false,
                   1,
                   {Discrete(1, 2, 16, {48000}), Discrete(3, 2, 16, {48000}), Discrete(4, 2, 16, {48000}),
                    Discrete(5, 2, 16, {48000}), Discrete(6, 2, 16, {48000}), Discrete(7, 2, 16, {48000}),
                    Discrete(8, 2, 16, {48000})},
                   STATUS_SUCCESS,
                   {"1 1/16/16 48000 96000 0x4 pcm", "1 3/16/16 48000 288000 0x0 pcm",
                    "1 4/16/16 48000 384000 0x33 pcm", "1 5/16/16 48000 480000 0x0 pcm",
                    "1 6/16/16 48000 576000 0x3f pcm", "1 7/16/16 48000 672000 0x0 pcm",
                    "1 8/16/16 48000 768000 0x63f pcm"}},
        FormatCase{"Capture",
                   true,
                   1,
                   {Discrete(1, 2, 16, {48000}), Discrete(3, 2, 16, {48000}), Discrete(4, 2, 16, {48000}),
                    Discrete(6, 2, 16, {48000})},
                   STATUS_SUCCESS,
                   {"1 1/16/16 48000 96000 0x4 pcm", "1 1/16/16 48000 96000 0x0 pcm", "1 3/16/16 48000 288000 0x0 pcm",
                    "1 3/16/16 48000 288000 0x0 pcm", "1 4/16/16 48000 384000 0x0 pcm",
                    "1 6/16/16 48000 576000 0x0 pcm"}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Unusable, FormatTest,
    ::testing::Values(// Kept without a layout: the data path passes them through unprocessed.
                      FormatCase{"NineAndTenChannelsKept",
                                 false,
                                 1,
                                 {Discrete(9, 2, 16, {48000}), Discrete(10, 2, 16, {48000}), Discrete(2, 2, 16, {48000})},
                                 STATUS_SUCCESS,
                                 {"1 9/16/16 48000 864000 0x0 pcm", "1 10/16/16 48000 960000 0x0 pcm",
                                  "1 2/16/16 48000 192000 0x3 pcm"}},
                      FormatCase{"ZeroChannels", false, 1, {Discrete(0, 2, 16, {48000})}, STATUS_SUCCESS, {}},
                      FormatCase{"SubframeZero", false, 1, {Discrete(2, 0, 16, {48000})}, STATUS_SUCCESS, {}},
                      FormatCase{"SubframeFive", false, 1, {Discrete(2, 5, 16, {48000})}, STATUS_SUCCESS, {}},
                      FormatCase{"BitsZero", false, 1, {Discrete(2, 2, 0, {48000})}, STATUS_SUCCESS, {}},
                      FormatCase{"BitsAboveContainer", false, 1, {Discrete(2, 2, 17, {48000})}, STATUS_SUCCESS, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// Render packets are sized from the rate: the largest, ceil(rate / 1000)
// sample frames at full speed, must fit the data endpoint's payload
// (bits 0-10 of wMaxPacketSize times 1 + bits 11-12). Capture sizes its
// packets from the endpoint and is not checked.
INSTANTIATE_TEST_SUITE_P(
    EndpointSize, FormatTest,
    ::testing::Values(
        FormatCase{"MaxPacketZero", false, 1, {Discrete(2, 2, 16, {48000})}, STATUS_SUCCESS, {}, 0,
                   "interface 1 alternate 1: 48000 Hz needs packets of 192 bytes, the data endpoint carries 0; the "
                   "format is skipped"},
        FormatCase{"MaxPacketEight", false, 1, {Discrete(2, 2, 16, {48000, 44100})}, STATUS_SUCCESS, {}, 8,
                   "interface 1 alternate 1: 44100 Hz needs packets of 180 bytes, the data endpoint carries 8; the "
                   "format is skipped"},
        FormatCase{"Exactly192For48kStereo16", false, 1, {Discrete(2, 2, 16, {48000})}, STATUS_SUCCESS,
                   {"1 2/16/16 48000 192000 0x3 pcm"}, 192},
        FormatCase{"Exactly180For44k1Stereo16", false, 1, {Discrete(2, 2, 16, {44100})}, STATUS_SUCCESS,
                   {"1 2/16/16 44100 176400 0x3 pcm"}, 180},
        FormatCase{"OneShortFor44k1Stereo16", false, 1, {Discrete(2, 2, 16, {44100})}, STATUS_SUCCESS, {}, 179},
        FormatCase{"Exactly576For96kStereo24", false, 1, {Discrete(2, 3, 24, {96000})}, STATUS_SUCCESS,
                   {"1 2/24/24 96000 576000 0x3 pcm"}, 576},
        FormatCase{"OnlyTheRatesThatFit", false, 1, {Discrete(2, 2, 16, {96000, 48000, 88200})}, STATUS_SUCCESS,
                   {"1 2/16/16 48000 192000 0x3 pcm"}, 192},
        FormatCase{"HighBandwidthBitsCounted", false, 1, {Discrete(2, 3, 24, {96000})}, STATUS_SUCCESS,
                   {"1 2/24/24 96000 576000 0x3 pcm"}, (2 << 11) | 192},
        FormatCase{"RangeRatesThatFit", false, 1, {Continuous(2, 44100, 96000)}, STATUS_SUCCESS,
                   {"1 2/16/16 44100 176400 0x3 pcm", "1 2/16/16 48000 192000 0x3 pcm"}, 192},
        FormatCase{"HighestThreeByteRate", false, 1, {Discrete(2, 2, 16, {16777215, 48000})}, STATUS_SUCCESS,
                   {"1 2/16/16 48000 192000 0x3 pcm"}, (3 << 11) | 0x7FF,
                   "interface 1 alternate 1: 16777215 Hz needs packets of 67112 bytes, the data endpoint carries "
                   "8188; the format is skipped"},
        FormatCase{"CaptureNotChecked", true, 1, {Discrete(1, 2, 16, {48000})}, STATUS_SUCCESS,
                   {"1 1/16/16 48000 96000 0x4 pcm", "1 1/16/16 48000 96000 0x0 pcm"}, 8}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Uac1FormatTables, PinnedEntries) {
    ULONG sum = 0;
    for (ULONG i = 0; i < UAC1_CONTINUOUS_RATE_COUNT; ++i) {
        sum += UAC1_CONTINUOUS_RATES[i];
        if (i > 0) {
            EXPECT_LT(UAC1_CONTINUOUS_RATES[i - 1], UAC1_CONTINUOUS_RATES[i]);
        }
    }
    EXPECT_EQ(UAC1_CONTINUOUS_RATES[0], 8000u);
    EXPECT_EQ(UAC1_CONTINUOUS_RATES[1], 11025u);
    EXPECT_EQ(UAC1_CONTINUOUS_RATES[UAC1_CONTINUOUS_RATE_COUNT - 1], 96000u);
    EXPECT_EQ(sum, 365375u);
    ULONG render = 0, capture = 0;
    for (ULONG c = 0; c <= 8; ++c) {
        render += UAC1_RENDER_CHANNEL_MASKS[c];
        capture += UAC1_CAPTURE_CHANNEL_MASKS[c];
    }
    EXPECT_EQ(UAC1_RENDER_CHANNEL_MASKS[6], 0x3Fu);
    EXPECT_EQ(UAC1_RENDER_CHANNEL_MASKS[8], 0x63Fu);
    EXPECT_EQ(render, 0x4u + 0x3 + 0x33 + 0x3F + 0x63F);
    EXPECT_EQ(capture, 0x4u + 0x3);
}

// ---- interfaces and refusals ------------------------------------------------------------

class StreamingTest : public ModelTest {};

TEST_F(StreamingTest, AlternateSettingsShareOneEngine) {
    ConfigBuilder c;
    AudioControl(c, {1}).Uac1InputTerminal(1, 0x0101, 2, 0x0003).Uac1OutputTerminal(2, 0x0301, 1);
    c.Interface(1, 0, 1, 2, 0);
    for (UCHAR alt = 1; alt <= 2; ++alt)
        c.Interface(1, alt, 1, 2, 0)
            .Uac1AsGeneral(1, 1, 1)
            .Uac1FormatTypeI(2, alt == 1 ? 2 : 3, alt == 1 ? 16 : 24, {48000})
            .AudioEndpoint(0x01, 0x09, 288, 1)
            .Uac1IsoEndpoint(1);
    Plug(MakeSet(c.Build()));
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    ASSERT_EQ(Model()->GetStreamEngineCount(), 1u);
    std::vector<std::string> offered;
    for (const CYCLIC_FORMAT_ENTRY& e : View(0)->FormatEntries()) offered.push_back(FormatText(e));
    EXPECT_EQ(offered, (std::vector<std::string>{"1 2/16/16 48000 192000 0x3 pcm", "2 2/24/24 48000 288000 0x3 pcm"}));
}

struct RefusalCase {
    const char* name;
    std::function<void(Bytes*)> edit;  // of the StreamingDevice bytes
    NTSTATUS status;
};

std::ostream& operator<<(std::ostream& out, const RefusalCase& c) { return out << c.name; }

class StreamingRefusalTest : public ModelTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(StreamingRefusalTest, FailsTheStart) {
    Bytes config = StreamingDevice(false, 1, {Discrete(2, 2, 16, {48000})});
    GetParam().edit(&config);
    Plug(MakeSet(config));
    EXPECT_EQ(InitAdapter(), GetParam().status);
}

// Byte 3 of the AS_GENERAL (bTerminalLink) set to id.
void LinkTo(Bytes* b, UCHAR id) { (*b)[FindClassSpecific(*b, UAC_AS_GENERAL, 1) + 3] = id; }

INSTANTIATE_TEST_SUITE_P(
    Table, StreamingRefusalTest,
    ::testing::Values(
        RefusalCase{"LinkNamesNoEntity", [](Bytes* b) { LinkTo(b, 9); }, STATUS_UNSUCCESSFUL},
        RefusalCase{"FormatBeforeGeneral",
                    [](Bytes* b) {
                        // AS_GENERAL and FORMAT_TYPE change places.
                        const size_t general = FindClassSpecific(*b, UAC_AS_GENERAL, 1);
                        Bytes head(b->begin(), b->begin() + general);
                        Bytes g(b->begin() + general, b->begin() + general + 7);
                        Bytes f(b->begin() + general + 7, b->begin() + general + 7 + 11);
                        Bytes tail(b->begin() + general + 18, b->end());
                        head.insert(head.end(), f.begin(), f.end());
                        head.insert(head.end(), g.begin(), g.end());
                        head.insert(head.end(), tail.begin(), tail.end());
                        *b = head;
                    },
                    STATUS_INVALID_PARAMETER},
        RefusalCase{"FirstInterfaceProtocolNotUac1",
                    [](Bytes* b) {
                        (*b)[FindDescriptor(*b, [](const uint8_t* d) { return d[1] == 4 && d[6] == 2; }) + 7] = 0x20;
                    },
                    STATUS_INVALID_PARAMETER}),
    [](const auto& info) { return std::string(info.param.name); });

// The whole start with the built-in model and miniports: a render
// interface whose endpoint carries none of its formats is left without
// formats, its engine gets no wave filter and the device does not start.
struct StartCase {
    const char* name;
    int maxPacket;
    bool starts;
};

std::ostream& operator<<(std::ostream& out, const StartCase& c) { return out << c.name; }

class StartWithEndpointTest : public ModelTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartWithEndpointTest, StartsOnlyWithAFormat) {
    DRIVER_FACTORIES table = *GetDriverFactories();
    table.Models[FAMILY_MODEL_UAC1] = CreateUac1Hal;
    m_Factories.reset();
    m_Factories = std::make_unique<ScopedDriverFactories>(table);
    Plug(MakeSet(StreamingDevice(false, 1, {Discrete(2, 2, 16, {48000})}, GetParam().maxPacket)));
    sim::ClearDebugOutput();
    const NTSTATUS status = Port().harness().StartDevice();
    EXPECT_EQ(NT_SUCCESS(status), GetParam().starts) << std::hex << status;
    const std::vector<std::string> log = sim::DebugLog();
    const bool skipped = std::any_of(log.begin(), log.end(), [](const std::string& line) {
        return line.find("the format is skipped") != std::string::npos;
    });
    EXPECT_EQ(skipped, !GetParam().starts) << ::testing::PrintToString(log);
    if (NT_SUCCESS(status)) {
        EXPECT_EQ(Port().harness().RemoveDevice(), STATUS_SUCCESS);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, StartWithEndpointTest,
                         ::testing::Values(StartCase{"EndpointCarriesTheFormat", 192, true},
                                           StartCase{"EndpointOfEightBytes", 8, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamingTest, GeneralNamingAMixerFails) {
    ConfigBuilder c;
    AudioControl(c, {1})
        .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
        .Uac1MixerUnit(3, {1}, 2, 0x0003, {0x00})
        .Uac1OutputTerminal(2, 0x0301, 3);
    Streaming(c, 1, 3, false);
    Plug(MakeSet(c.Build()));
    EXPECT_EQ(InitAdapter(), STATUS_INVALID_PARAMETER);
}

TEST_F(StreamingTest, LaterInterfacesMayHaveAnyProtocol) {
    Bytes config = LoadFixture("headset").configuration;
    config[FindDescriptor(config, [](const uint8_t* d) { return d[1] == 4 && d[2] == 2 && d[3] == 1; }) + 7] = 0x10;
    Plug(MakeSet(config));
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    EXPECT_EQ(Model()->GetStreamEngineCount(), 2u);
}

// ---- terminal-type pass ---------------------------------------------------------------------

// OT 6 (the device lists headphones and speaker) <- FU 5 [mute, volume]
// <- mixer 4 {FU 3 <- IT 1 USB streaming, IT 2 microphone}: only FU 5's
// nodes follow the selected output type; FU 3 lies behind the mixer.
TEST_F(StreamingTest, OnlyTheSingleSourceChainFollowsTheOutputType) {
    ConfigBuilder c;
    AudioControl(c, {1})
        .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
        .Uac1InputTerminal(2, 0x0201, 1, 0)
        .Uac1FeatureUnit(3, 1, 1, {0x03, 0x00, 0x00})
        .Uac1MixerUnit(4, {3, 2}, 2, 0x0003, {0x00})
        .Uac1FeatureUnit(5, 4, 1, {0x03, 0x00, 0x00})
        .Uac1OutputTerminal(6, 0x0302, 5);
    Streaming(c, 1, 1, false);
    Plug(MakeSet(c.Build()));
    Device().model().SetTerminalTypes(6, {0x0302, 0x0301});
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    ITerminalTypeUnit* selector = TerminalTypeOf(6);
    ASSERT_NE(selector, nullptr);
    ULONG current = 0;
    ASSERT_EQ(selector->GetType(&current), STATUS_SUCCESS);

    Device().ClearRequestLog();
    ASSERT_EQ(selector->SelectType(current == ENDPOINT_HP ? ENDPOINT_SPK : ENDPOINT_HP), STATUS_SUCCESS);
    std::map<int, int> setsByEntity;
    for (const simusb::ControlLogEntry& e : Device().RequestLog())
        if (e.setup.bmRequestType == 0x21 && e.setup.bRequest == 0x01) ++setsByEntity[e.setup.wIndex >> 8];
    EXPECT_GT(setsByEntity[5], 0);
    EXPECT_EQ(setsByEntity.count(3), 0u);
    // The type change re-registered the render engine's subdevice.
    EXPECT_EQ(uac1fakes::StreamLog(), (std::vector<std::string>{"remove:1", "name:1:" +
                                                                std::string(current == ENDPOINT_HP ? "SPK" : "HP") +
                                                                "Out00", "install:1"}));
}

}  // namespace
}  // namespace uac1test

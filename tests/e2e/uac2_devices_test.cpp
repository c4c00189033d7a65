// Class 2.0 devices of shapes the built-in ones do not have, started from
// descriptor files as a user would: terminals that declare a readable
// connector control on a device that does not answer the jack list, and an
// instrument processor whose Audio Control interface holds one clock, a
// microphone input terminal and a speaker output terminal but no USB
// streaming terminal (each Audio Streaming interface links one of them).
#include <cstring>
#include <sstream>

#include "platform/usb/descriptor_file.h"
#include "ks/ks_guids.h"
#include "sim/debug.h"
#include "tests/e2e/e2e_fixture.h"
#include "tools/host/host_cli.h"
#include "tools/host/host_stream.h"

namespace e2etest {
namespace {

constexpr UCHAR kAudio = USB_DEVICE_CLASS_AUDIO;
constexpr UCHAR kAs = USB_AUDIO_SUBCLASS_AUDIOSTREAMING;
constexpr UCHAR kV2 = USB_AUDIO_PROTOCOL_2_0;
constexpr UCHAR kIsoAsync = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS;
// Isochronous, asynchronous, implicit feedback data.
constexpr UCHAR kIsoAsyncImplicit = kIsoAsync | 0x20;
constexpr ULONG kPcm = 0x00000001;

std::string SaveDevice(const std::string& name, const simusb::ConfigBuilder& c,
                       std::map<uint8_t, std::vector<simusb::ClockSubrange>> clocks = {}) {
    simusb::DeviceFields d;
    d.bcdUSB = 0x0200;
    d.idVendor = simusb::kSimVendorId;
    d.idProduct = 0x7A33;
    simusb::DescriptorSet set;
    set.device = simusb::BuildDeviceDescriptor(d);
    set.configuration = c.Build();
    set.strings[0] = simusb::BuildLanguageIds({0x0409});
    set.clocks = std::move(clocks);
    const std::string dir = TestDirectory(name);
    EXPECT_TRUE(host::MakeDirectories(dir));
    const std::string path = dir + "/device.txt";
    EXPECT_TRUE(simusb::SaveDescriptorFile(path, set));
    return path;
}

// ---- terminals whose connector control the device does not answer ----------------

// Clock 10; IT 1 USB streaming -> FU 2 -> OT 3 headphones (connector
// control readable); IT 4 microphone (bmControls 0x0044: connector and
// overflow readable) -> OT 6 USB streaming. 16-bit stereo both ways,
// asynchronous render with feedback.
std::string ConnectorDevice() {
    simusb::ConfigBuilder c;
    c.Configuration()
        .Interface(0, 0, kAudio, USB_AUDIO_SUBCLASS_AUDIOCONTROL, kV2)
        .Uac2Header(0x0A)
        .Uac2ClockSource(10, 0x03, 0x07)
        .Uac2InputTerminal(1, simusb::UAC_TERMINAL_USB_STREAMING, 10, 2, 0x3)
        .Uac2FeatureUnit(2, 1, {0x0F, 0x0C, 0x0C})
        .Uac2OutputTerminal(3, simusb::UAC_TERMINAL_HEADPHONES, 2, 10, 0x0004)
        .Uac2InputTerminal(4, 0x0201, 10, 2, 0x3, 0x0044)
        .Uac2OutputTerminal(6, simusb::UAC_TERMINAL_USB_STREAMING, 4, 10)
        .Interface(1, 0, kAudio, kAs, kV2)
        .Interface(1, 1, kAudio, kAs, kV2)
        .Uac2AsGeneral(1, 0x05, UAC_FORMAT_TYPE_I, kPcm, 2, 0x3)
        .Uac2FormatTypeI(2, 16)
        .Endpoint(0x01, kIsoAsync, 100, 1)
        .Uac2IsoEndpoint()
        .Endpoint(0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_USAGE_FEEDBACK, 4, 4)
        .Interface(2, 0, kAudio, kAs, kV2)
        .Interface(2, 1, kAudio, kAs, kV2)
        .Uac2AsGeneral(6, 0x05, UAC_FORMAT_TYPE_I, kPcm, 2, 0x3)
        .Uac2FormatTypeI(2, 16)
        .Endpoint(0x82, kIsoAsync, 100, 1)
        .Uac2IsoEndpoint();
    return SaveDevice("uac2-connector-controls", c);
}

bool LogNames(const std::string& log, const char* text) { return log.find(text) != std::string::npos; }

TEST_F(E2eTest, Uac2TerminalsWithAnUnansweredConnectorControlStartWithoutJacks) {
    sim::ClearDebugOutput();
    ASSERT_EQ(StartSession(ConnectorDevice(), "", simusb::UsbSpeed::High), STATUS_SUCCESS) << sim::DebugOutput();
    const std::string log = sim::DebugOutput();
    EXPECT_TRUE(LogNames(log, "interface 0, entity 4: the device does not answer the jack list")) << log;
    EXPECT_TRUE(LogNames(log, "interface 0, entity 3: the device does not answer the jack list")) << log;
    EXPECT_NE(Session().FindWaveFilter(false).port, nullptr);
    EXPECT_NE(Session().FindWaveFilter(true).port, nullptr);
}

// ---- two terminals, no USB streaming terminal ---------------------------------------

constexpr UCHAR kClock = 0x10, kMicTerminal = 0x20, kSpeakerTerminal = 0x40;
constexpr UCHAR kOutEndpoint = 0x01, kInEndpoint = 0x82;
constexpr USHORT kChannels = 8;

// A vendor interface 0; Audio Control interface 1 with clock 0x10
// (internal fixed, no controls), IT 0x20 microphone (8 channels) and OT
// 0x40 speaker fed by it, the input terminal listed first or after the
// clock; interface 2 renders 8 channels of 24 bits in 4-byte subslots into
// the input terminal on an asynchronous endpoint without a feedback
// endpoint; interface 3 records from the output terminal on an implicit
// feedback endpoint; a MIDI streaming and a HID interface follow. connector:
// the input terminal declares a readable connector control.
std::string TwoTerminalDevice(bool terminalFirst, bool connector = false) {
    const USHORT itControls = connector ? 0x0004 : 0;
    simusb::ConfigBuilder c;
    c.Configuration().Interface(0, 0, 0xFF, 0, 0).Interface(1, 0, kAudio, USB_AUDIO_SUBCLASS_AUDIOCONTROL, kV2);
    c.Uac2Header(0x08);
    if (terminalFirst) c.Uac2InputTerminal(kMicTerminal, 0x0201, kClock, kChannels, 0, itControls);
    c.Uac2ClockSource(kClock, 0x01, 0x00);
    if (!terminalFirst) c.Uac2InputTerminal(kMicTerminal, 0x0201, kClock, kChannels, 0, itControls);
    c.Uac2OutputTerminal(kSpeakerTerminal, simusb::UAC_TERMINAL_SPEAKER, kMicTerminal, kClock)
        .Interface(2, 0, kAudio, kAs, kV2)
        .Interface(2, 1, kAudio, kAs, kV2)
        .Uac2AsGeneral(kMicTerminal, 0, UAC_FORMAT_TYPE_I, kPcm, kChannels, 0)
        .Uac2FormatTypeI(4, 24)
        .Endpoint(kOutEndpoint, kIsoAsync, 0xE0, 1)
        .Uac2IsoEndpoint()
        .Interface(3, 0, kAudio, kAs, kV2)
        .Interface(3, 1, kAudio, kAs, kV2)
        .Uac2AsGeneral(kSpeakerTerminal, 0, UAC_FORMAT_TYPE_I, kPcm, kChannels, 0)
        .Uac2FormatTypeI(4, 24)
        .Endpoint(kInEndpoint, kIsoAsyncImplicit, 0xE0, 1)
        .Uac2IsoEndpoint()
        .Interface(4, 0, kAudio, USB_AUDIO_SUBCLASS_MIDISTREAMING, 0)
        .Interface(5, 0, 0x03, 0, 0)
        .HidDescriptor(32)
        .Endpoint(0x83, USB_ENDPOINT_TYPE_INTERRUPT, 64, 1);
    return SaveDevice(std::string("uac2-two-terminals-") + (terminalFirst ? "terminal-first" : "clock-first") +
                          (connector ? "-connector" : ""),
                      c, {{kClock, {{48000, 48000, 0}}}});
}

// The topology pin the wave filter of a direction is connected to.
ULONG TopologyPinOf(host::HostSession& session, bool capture, bool* found) {
    *found = false;
    const host::WaveFilter wave = session.FindWaveFilter(capture);
    for (const sim::PcConnectionView& c : session.Connections()) {
        if (!capture && c.fromName == wave.name && c.toName == u"GlobalTopo") {
            *found = true;
            return c.toPin;
        }
        if (capture && c.toName == wave.name && c.fromName == u"GlobalTopo") {
            *found = true;
            return c.fromPin;
        }
    }
    return 0;
}

// Samples of 24 bits left-aligned in 32 that never repeat within the run
// and are never silence.
std::vector<uint8_t> Ramp24(uint64_t frames, unsigned channels) {
    std::vector<uint8_t> bytes(frames * 4 * channels);
    for (uint64_t i = 0; i < frames * channels; ++i) {
        const uint32_t v = (uint32_t)(1 + (i * 2654435761u >> 5) % 0xFFFFFE) << 8;
        std::memcpy(&bytes[4 * i], &v, 4);
    }
    return bytes;
}

class TwoTerminalTest : public E2eTest, public ::testing::WithParamInterface<bool> {};

TEST_P(TwoTerminalTest, EachWaveFilterHasItsOwnTopologyPinAndBothDirectionsRun) {
    ASSERT_EQ(StartSession(TwoTerminalDevice(GetParam()), "", simusb::UsbSpeed::High), STATUS_SUCCESS)
        << sim::DebugOutput();
    const PCFILTER_DESCRIPTOR* topology = Session().TopologyDescriptor();
    ASSERT_NE(topology, nullptr);
    bool renderFound = false, captureFound = false;
    const ULONG renderPin = TopologyPinOf(Session(), false, &renderFound);
    const ULONG capturePin = TopologyPinOf(Session(), true, &captureFound);
    ASSERT_TRUE(renderFound && captureFound);
    EXPECT_NE(renderPin, capturePin);
    // Render meets the microphone terminal's pin, capture the speaker's.
    ASSERT_LT(renderPin, topology->PinCount);
    ASSERT_LT(capturePin, topology->PinCount);
    EXPECT_EQ(*topology->Pins[renderPin].KsPinDescriptor.Category, KSNODETYPE_MICROPHONE);
    EXPECT_EQ(*topology->Pins[capturePin].KsPinDescriptor.Category, KSNODETYPE_SPEAKER);

    // 8 channels at 48 kHz for 2 simulated seconds arrive bit-exact.
    const host::WaveFilter render = Session().FindWaveFilter(false);
    WAVEFORMATEXTENSIBLE format = {};
    for (const WAVEFORMATEXTENSIBLE& f : host::OfferedFormats(Session(), render))
        if (f.Format.nChannels == kChannels && f.Format.nSamplesPerSec == 48000) format = f;
    ASSERT_EQ(format.Format.nBlockAlign, 4 * kChannels);
    const uint64_t frames = 96000;
    const std::vector<uint8_t> played = Ramp24(frames, kChannels);
    host::StreamRun run = host::Play(Session(), format, played, nullptr);
    ASSERT_EQ(run.status, STATUS_SUCCESS) << run.error;
    EXPECT_EQ(run.endpoint, kOutEndpoint);
    EXPECT_EQ(run.failedTransfers, 0u);
    ASSERT_EQ(run.signalFrames, frames);
    const size_t lead = (size_t)run.leadFrames * format.Format.nBlockAlign;
    ASSERT_GE(run.bytes.size(), lead + played.size());
    EXPECT_EQ(std::memcmp(run.bytes.data() + lead, played.data(), played.size()), 0)
        << "the device received something other than the ramp";

    // The recording is an unbroken run of what the device sent.
    Session().Device().SetSourceRecording(kInEndpoint, true);
    host::StreamRun recorded = host::Record(Session(), 1.0, nullptr);
    ASSERT_EQ(recorded.status, STATUS_SUCCESS) << recorded.error;
    EXPECT_EQ(recorded.recordedFrames, recorded.askedFrames);
    // Copied out: the packed format can sit at an odd address in the run.
    const USHORT recordedChannels = recorded.format.Format.nChannels;
    EXPECT_EQ(recordedChannels, kChannels);
    std::vector<uint8_t> sent;
    {
        auto lock = Session().Device().lock();
        sent = Session().Device().Source(kInEndpoint)->recorded();
    }
    const size_t block = recorded.format.Format.nBlockAlign;
    ASSERT_GT(block, 0u);
    ASSERT_FALSE(recorded.bytes.empty());
    bool found = false;
    for (size_t at = 0; !found && at + recorded.bytes.size() <= sent.size(); at += block)
        found = std::memcmp(sent.data() + at, recorded.bytes.data(), recorded.bytes.size()) == 0;
    EXPECT_TRUE(found) << "the recording is not a contiguous piece of the device's samples";
}

INSTANTIATE_TEST_SUITE_P(Orders, TwoTerminalTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "TerminalFirst" : "ClockFirst"; });

// A device that answers the jack list with its 6-byte connector block
// (n = 2 from the channel count, then too short for two entries).
TEST_F(E2eTest, Uac2ConnectorBlockForAJackListStartsWithoutJacks) {
    host::DeviceChoice choice;
    choice.descriptorFile = TwoTerminalDevice(false, true);
    choice.speed = simusb::UsbSpeed::High;
    session_ = std::make_unique<host::HostSession>();
    std::string error;
    ASSERT_TRUE(session_->PlugDevice(choice, &error)) << error;
    {
        auto lock = Session().Device().lock();
        Session().Device().model().SetJacks(kMicTerminal, {{0x3, 0x00421000}, {0xC, 0x00421000}});
    }
    simusb::ControlRule rule;
    rule.wValue = 0x02FF;
    rule.action = simusb::ControlRule::Short;
    rule.shortTo = 6;
    Session().Device().AddControlRule(rule);
    sim::ClearDebugOutput();
    ASSERT_EQ(session_->Start(), STATUS_SUCCESS) << sim::DebugOutput();
    EXPECT_TRUE(LogNames(sim::DebugOutput(), "interface 1, entity 32: the device does not answer the jack list"))
        << sim::DebugOutput();
    bool found = false;
    TopologyPinOf(Session(), false, &found);
    EXPECT_TRUE(found);
}

// ---- the host program's default speed ----------------------------------------------

// Without --speed a class 2.0 file plugs at high speed and a class 1.0 file
// at full speed; --speed full still gives full speed, where the fixture's
// render endpoint carries none of its formats, so that start fails (2).
struct SpeedCase {
    const char* name;
    const char* file;
    std::vector<std::string> speed;
    const char* reported;
    int inspectExit;
};
void PrintTo(const SpeedCase& c, std::ostream* os) { *os << c.name; }

class HostDefaultSpeedTest : public ::testing::TestWithParam<SpeedCase> {};

TEST_P(HostDefaultSpeedTest, PlaysAtTheSpeedOfTheDevicesClass) {
    const SpeedCase& c = GetParam();
    const std::string file = std::string(E2E_SOURCE_DIR) + c.file;
    std::vector<std::string> args = {"--device", file};
    args.insert(args.end(), c.speed.begin(), c.speed.end());
    std::vector<std::string> inspect = args;
    inspect.push_back("inspect");
    std::ostringstream out, err;
    EXPECT_EQ(host::RunHost(inspect, out, err), c.inspectExit) << err.str();
    EXPECT_NE(out.str().find(std::string("\"speed\": \"") + c.reported + "\""), std::string::npos) << out.str();
    if (std::string(c.reported) != "high") return;
    const std::string dir = TestDirectory(std::string("default-speed-") + c.name);
    ASSERT_TRUE(host::MakeDirectories(dir));
    std::vector<std::string> play = args;
    for (const char* a : {"--quiet", "play", "--tone", "1000:-20:0.5", "--out"}) play.push_back(a);
    play.push_back(dir + "/played.wav");
    std::ostringstream playOut, playErr;
    EXPECT_EQ(host::RunHost(play, playOut, playErr), host::kExitOk) << playOut.str() << playErr.str();
}

INSTANTIATE_TEST_SUITE_P(
    Files, HostDefaultSpeedTest,
    ::testing::Values(SpeedCase{"Class2", "/tests/fixtures/usb/uac2_async_device.txt", {}, "high", host::kExitOk},
                      SpeedCase{"Class2AskedFull", "/tests/fixtures/usb/uac2_async_device.txt", {"--speed", "full"},
                                "full", host::kExitDriverFailure},
                      SpeedCase{"Class1", "/tests/fixtures/usb/uac1_headset.txt", {}, "full", host::kExitOk}),
    [](const ::testing::TestParamInfo<SpeedCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2etest

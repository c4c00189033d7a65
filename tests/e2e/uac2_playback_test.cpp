// Class 2.0 devices end to end: a ramp played through the render wave
// filter into the simulated asynchronous device (high speed with 4-byte
// feedback, full speed with 3-byte feedback) arrives bit-exact and in
// order while the device's clock runs fast or slow, with the device's
// buffer never overflowing; the capture stream delivers what the device
// sent; start and stop repeat; volume set through the topology filter
// reaches the feature unit and comes back at the next start.
#include <gmock/gmock.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "platform/usb/descriptor_file.h"
#include "sim/debug.h"
#include "sim/registry.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/fakes/stream/formats.h"
#include "tools/host/host_cli.h"
#include "tools/host/host_controls.h"
#include "tools/host/host_stream.h"

namespace e2etest {
namespace {

constexpr UCHAR kRenderEndpoint = 0x01;

// The built-in asynchronous device's layout with 16-bit render of the
// given channels into an output terminal of the given type: at full speed
// with a 3-byte feedback endpoint of bInterval 1, at high speed with a
// 4-byte one of bInterval 4 (data every microframe); 16-bit stereo
// capture, clock source 10.
std::string DeviceFile(simusb::UsbSpeed speed, UCHAR channels = 2,
                       USHORT outputType = simusb::UAC_TERMINAL_HEADPHONES) {
    using simusb::ConfigBuilder;
    const bool high = speed == simusb::UsbSpeed::High;
    const UCHAR kAudio = USB_DEVICE_CLASS_AUDIO;
    const UCHAR kAs = USB_AUDIO_SUBCLASS_AUDIOSTREAMING;
    const UCHAR kV2 = USB_AUDIO_PROTOCOL_2_0;
    const UCHAR kIsoAsync = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS;
    const ULONG channelMask = channels >= 32 ? 0xFFFFFFFFu : (1u << channels) - 1;
    // Frames per packet with an asynchronous stream's slack: 48 kHz at
    // full speed, 192 kHz at high speed.
    const USHORT framesPerPacket = high ? 25 : 50;
    std::vector<ULONG> featureControls(channels + 1u, 0x0C);
    featureControls[0] = 0x0F;
    ConfigBuilder c;
    c.Configuration()
        .Interface(0, 0, kAudio, USB_AUDIO_SUBCLASS_AUDIOCONTROL, kV2)
        .Uac2Header(0x0A)
        .Uac2ClockSource(10, 0x03, 0x07)
        .Uac2InputTerminal(1, simusb::UAC_TERMINAL_USB_STREAMING, 10, channels, channelMask)
        .Uac2FeatureUnit(2, 1, featureControls)
        .Uac2OutputTerminal(3, outputType, 2, 10)
        .Uac2InputTerminal(4, simusb::UAC_TERMINAL_LINE_CONNECTOR, 10, 2, 0x3)
        .Uac2FeatureUnit(5, 4, {0x0F, 0, 0})
        .Uac2OutputTerminal(6, simusb::UAC_TERMINAL_USB_STREAMING, 5, 10)
        .Endpoint(0x83, USB_ENDPOINT_TYPE_INTERRUPT, 6, 4)
        .Interface(1, 0, kAudio, kAs, kV2)
        .Interface(1, 1, kAudio, kAs, kV2)
        .Uac2AsGeneral(1, 0x05, UAC_FORMAT_TYPE_I, 0x00000001, channels, channelMask)
        .Uac2FormatTypeI(2, 16)
        .Endpoint(kRenderEndpoint, kIsoAsync, (USHORT)(framesPerPacket * 2 * channels), 1)
        .Uac2IsoEndpoint()
        .Endpoint(0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_USAGE_FEEDBACK, high ? 4 : 3, high ? 4 : 1)
        .Interface(2, 0, kAudio, kAs, kV2)
        .Interface(2, 1, kAudio, kAs, kV2)
        .Uac2AsGeneral(6, 0x05, UAC_FORMAT_TYPE_I, 0x00000001, 2, 0x3)
        .Uac2FormatTypeI(2, 16)
        .Endpoint(0x82, kIsoAsync, (USHORT)(framesPerPacket * 4), 1)
        .Uac2IsoEndpoint();
    simusb::DeviceFields d;
    d.bcdUSB = 0x0200;
    d.idVendor = simusb::kSimVendorId;
    d.idProduct = 0x7A2F;
    simusb::DescriptorSet set;
    set.device = simusb::BuildDeviceDescriptor(d);
    set.configuration = c.Build();
    set.strings[0] = simusb::BuildLanguageIds({0x0409});
    const std::string dir = TestDirectory(std::string("uac2-") + (high ? "high" : "full") + "-speed-" +
                                          std::to_string(channels) + "-" + std::to_string(outputType));
    EXPECT_TRUE(host::MakeDirectories(dir));
    const std::string path = dir + "/device.txt";
    EXPECT_TRUE(simusb::SaveDescriptorFile(path, set));
    return path;
}

// 16-bit frames that never repeat within the run and never are silence
// (the run's split finds the signal by its first non-zero frame).
std::vector<uint8_t> Ramp(uint64_t frames, unsigned channels = 2) {
    std::vector<uint8_t> bytes(frames * 2 * channels);
    for (uint64_t i = 0; i < frames * channels; ++i) {
        const uint16_t v = (uint16_t)(1 + (i * 2654435761u >> 7) % 65535);
        bytes[2 * i] = (uint8_t)v;
        bytes[2 * i + 1] = (uint8_t)(v >> 8);
    }
    return bytes;
}

struct PlayCase {
    const char* name;
    bool highSpeed;
    ULONG rate;
    double ppm;
    double seconds;
    // Stereo plays into headphones (the fixture file at high speed); more
    // channels into speakers, whose endpoints offer every channel count.
    UCHAR channels = 2;
};
void PrintTo(const PlayCase& c, std::ostream* os) { *os << c.name; }

class Uac2PlaybackTest : public E2eTest, public ::testing::WithParamInterface<PlayCase> {};

// Plays a ramp of the given channels; the device must take it bit-exact,
// in order, with no failed transfer, overrun or partial packet.
void ExpectRampArrives(host::HostSession& session, ULONG rate, USHORT channels, double seconds) {
    const uint64_t frames = (uint64_t)(rate * seconds);
    const std::vector<uint8_t> played = Ramp(frames, channels);
    host::StreamRun run = host::Play(session, streamfakes::PcmFormat(channels, rate, 16), played, nullptr);
    ASSERT_EQ(run.status, STATUS_SUCCESS) << run.error;
    EXPECT_EQ(run.endpoint, kRenderEndpoint);
    EXPECT_EQ(run.failedTransfers, 0u);
    ASSERT_EQ(run.signalFrames, frames);
    const size_t lead = (size_t)run.leadFrames * 2 * channels;
    ASSERT_GE(run.bytes.size(), lead + played.size());
    EXPECT_EQ(std::memcmp(run.bytes.data() + lead, played.data(), played.size()), 0)
        << "the device received something other than the ramp";
    auto lock = session.Device().lock();
    const simusb::AudioSink* sink = session.Device().Sink(kRenderEndpoint);
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(sink->overruns(), 0u);
    EXPECT_EQ(sink->partialPackets(), 0u);
}

TEST_P(Uac2PlaybackTest, RampArrivesBitExactAndTheDeviceBufferNeverOverflows) {
    const PlayCase& c = GetParam();
    const simusb::UsbSpeed speed = c.highSpeed ? simusb::UsbSpeed::High : simusb::UsbSpeed::Full;
    std::string file;
    if (c.channels != 2)
        file = DeviceFile(speed, c.channels, simusb::UAC_TERMINAL_SPEAKER);
    else if (c.highSpeed)
        file = std::string(E2E_SOURCE_DIR) + "/tests/fixtures/usb/uac2_async_device.txt";
    else
        file = DeviceFile(speed);
    ASSERT_EQ(StartSession(file, "", speed), STATUS_SUCCESS);
    Session().Device().SetSinkDriftPpm(kRenderEndpoint, c.ppm);
    ExpectRampArrives(Session(), c.rate, c.channels, c.seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, Uac2PlaybackTest,
    ::testing::Values(PlayCase{"HighSpeed48k", true, 48000, 0, 2.0}, PlayCase{"HighSpeed192kFast", true, 192000, 300, 2.0},
                      PlayCase{"HighSpeed48kSlow", true, 48000, -300, 2.0},
                      PlayCase{"FullSpeed44k1Fast", false, 44100, 300, 2.0},
                      PlayCase{"FullSpeed44k1Slow", false, 44100, -300, 2.0},
                      // Past the 8 channels the data path processes: the
                      // stream passes through untouched.
                      PlayCase{"HighSpeed48kTenChannelsFast", true, 48000, 300, 2.0, 10},
                      PlayCase{"HighSpeed192kTenChannelsSlow", true, 192000, -300, 2.0, 10},
                      PlayCase{"FullSpeed48kTenChannels", false, 48000, 300, 2.0, 10}),
    [](const ::testing::TestParamInfo<PlayCase>& info) { return std::string(info.param.name); });

struct FeedbackWidthCase {
    const char* name;
    bool highSpeed;
    bool otherWidth;  // the device sends 10.14 at high speed, 16.16 at full speed
};
void PrintTo(const FeedbackWidthCase& c, std::ostream* os) { *os << c.name; }

class Uac2FeedbackWidthTest : public E2eTest, public ::testing::WithParamInterface<FeedbackWidthCase> {};

// Feedback of the other width is dropped: the stream counts the values and
// logs one line when the run starts, and `play` warns with the count (the
// run still succeeds: every frame arrives, at the nominal rate). The
// expected width logs nothing and warns of nothing.
TEST_P(Uac2FeedbackWidthTest, DroppedFeedbackIsCountedLoggedOnceAndReported) {
    const FeedbackWidthCase& c = GetParam();
    const simusb::UsbSpeed speed = c.highSpeed ? simusb::UsbSpeed::High : simusb::UsbSpeed::Full;
    const std::string file =
        c.highSpeed ? std::string(E2E_SOURCE_DIR) + "/tests/fixtures/usb/uac2_async_device.txt" : DeviceFile(speed);
    ASSERT_EQ(StartSession(file, "", speed), STATUS_SUCCESS);
    Session().Device().SetFeedbackOtherWidth(c.otherWidth);
    sim::ClearDebugOutput();
    const uint64_t frames = 48000 / 2;
    const std::vector<uint8_t> played = Ramp(frames);
    host::StreamRun run = host::Play(Session(), streamfakes::PcmFormat(2, 48000, 16), played, nullptr);
    ASSERT_EQ(run.status, STATUS_SUCCESS) << run.error;
    EXPECT_EQ(run.signalFrames, frames);
    std::vector<std::string> lines;
    for (const std::string& line : sim::DebugLog())
        if (line.find("feedback endpoint 0x81 sent") != std::string::npos) lines.push_back(line);
    if (c.otherWidth) {
        EXPECT_GE(run.droppedFeedback, 100u);
        EXPECT_EQ(lines.size(), 1u) << ::testing::PrintToString(sim::DebugLog());
        EXPECT_EQ(host::FeedbackNote(run),
                  std::to_string(run.droppedFeedback) +
                      " feedback values of the device were dropped (not within 1000 Hz of the format's rate); the "
                      "stream kept the nominal rate");
    } else {
        EXPECT_EQ(run.droppedFeedback, 0u);
        EXPECT_TRUE(lines.empty()) << ::testing::PrintToString(sim::DebugLog());
        EXPECT_EQ(host::FeedbackNote(run), "");
    }

    // The play command's report; its tone takes the filter's top format,
    // which only the high-speed device's endpoint carries.
    if (!c.highSpeed) return;
    host::Command command;
    command.name = "play";
    command.tone = true;
    command.toneSeconds = 0.5;
    command.quiet = true;
    const std::string dir = TestDirectory(std::string("feedback-width-") + c.name);
    ASSERT_TRUE(host::MakeDirectories(dir));
    command.out = dir + "/out.wav";
    std::ostringstream out, err;
    EXPECT_EQ(host::RunCommand(Session(), command, out, err), host::kExitOk) << err.str();
    if (c.otherWidth)
        EXPECT_THAT(err.str(), ::testing::ContainsRegex("uachost: warning: [1-9][0-9]* feedback values of the device "
                                                        "were dropped"));
    else
        EXPECT_EQ(err.str().find("feedback"), std::string::npos) << err.str();
}

INSTANTIATE_TEST_SUITE_P(Devices, Uac2FeedbackWidthTest,
                         ::testing::Values(FeedbackWidthCase{"HighSpeed1014", true, true},
                                           FeedbackWidthCase{"FullSpeed1616", false, true},
                                           FeedbackWidthCase{"HighSpeedExpected", true, false},
                                           FeedbackWidthCase{"FullSpeedExpected", false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Headphone endpoints offer only 2-channel formats; a device whose
// headphone interface has none starts all the same, and its render filter
// offers the interface's own formats.
TEST_F(E2eTest, Uac2HeadphonesWithoutAStereoFormatStartAndOfferTheirOwnFormats) {
    for (const auto speed : {simusb::UsbSpeed::Full, simusb::UsbSpeed::High})
        for (const UCHAR channels : {3, 10}) {
            ASSERT_EQ(StartSession(DeviceFile(speed, channels), "", speed), STATUS_SUCCESS)
                << (int)channels << " channels";
            const std::vector<WAVEFORMATEXTENSIBLE> offered =
                host::OfferedFormats(Session(), Session().FindWaveFilter(false));
            EXPECT_FALSE(offered.empty());
            for (const WAVEFORMATEXTENSIBLE& f : offered) EXPECT_EQ(f.Format.nChannels, channels);
            session_.reset();
        }
}

// At full speed the 200-byte render endpoint carries 50 frames of 16-bit
// stereo a packet: the rates above 48 kHz are skipped at start, each with
// a line, and are refused when asked for; 48 kHz plays.
TEST_F(E2eTest, Uac2FullSpeedOffersOnlyTheRatesItsEndpointCarries) {
    ASSERT_EQ(StartSession(DeviceFile(simusb::UsbSpeed::Full), "", simusb::UsbSpeed::Full), STATUS_SUCCESS);
    const std::vector<std::string> log = sim::DebugLog();
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "interface 1 alternate 1: 192000 Hz needs packets of 768 bytes, the data endpoint carries "
                        "200; the format is skipped"),
              log.end())
        << ::testing::PrintToString(log);
    std::vector<ULONG> rates;
    for (const WAVEFORMATEXTENSIBLE& f : host::OfferedFormats(Session(), Session().FindWaveFilter(false)))
        rates.push_back(f.Format.nSamplesPerSec);
    EXPECT_EQ(rates, (std::vector<ULONG>{44100, 48000}));
    const WAVEFORMATEXTENSIBLE high = streamfakes::PcmFormat(2, 192000, 16);
    host::StreamRun refused = host::Play(Session(), high, Ramp(1920), nullptr);
    EXPECT_TRUE(refused.formatRefused) << host::StatusText(refused.status);
    ExpectRampArrives(Session(), 48000, 2, 1.0);
}

TEST_F(E2eTest, Uac2RecordingIsWhatTheDeviceSent) {
    ASSERT_EQ(StartSession(std::string(E2E_SOURCE_DIR) + "/tests/fixtures/usb/uac2_async_device.txt", "",
                           simusb::UsbSpeed::High),
              STATUS_SUCCESS);
    Session().Device().SetSourceRecording(0x82, true);
    host::StreamRun run = host::Record(Session(), 1.0, nullptr);
    ASSERT_EQ(run.status, STATUS_SUCCESS) << run.error;
    EXPECT_EQ(run.recordedFrames, run.askedFrames);
    std::vector<uint8_t> sent;
    {
        auto lock = Session().Device().lock();
        sent = Session().Device().Source(0x82)->recorded();
    }
    ASSERT_GE(sent.size(), run.bytes.size());
    // The recording is an unbroken run of what the device sent.
    const size_t block = run.format.Format.nBlockAlign;
    ASSERT_GT(block, 0u);
    bool found = false;
    for (size_t at = 0; !found && at + run.bytes.size() <= sent.size(); at += block)
        found = std::memcmp(sent.data() + at, run.bytes.data(), run.bytes.size()) == 0;
    EXPECT_TRUE(found) << "the recording is not a contiguous piece of the device's samples";
}

constexpr UCHAR kSetCur = 0x01, kVolumeControl = 2, kFeatureUnit = 2;

// The SET CUR requests of volume to the playback feature unit (interface
// 0), as (channel, data bytes).
std::vector<std::pair<UCHAR, simusb::Bytes>> VolumeRequests(simusb::SimDevice& device) {
    std::vector<std::pair<UCHAR, simusb::Bytes>> found;
    for (const simusb::ControlLogEntry& e : device.RequestLog())
        if (e.setup.bmRequestType == 0x21 && e.setup.bRequest == kSetCur &&
            e.setup.wIndex == (USHORT)(kFeatureUnit << 8) && (e.setup.wValue >> 8) == kVolumeControl)
            found.emplace_back((UCHAR)e.setup.wValue, e.data);
    return found;
}

LONG DeviceVolume(simusb::SimDevice& device, UCHAR channel) {
    auto lock = device.lock();
    LONG value = 0;
    EXPECT_TRUE(device.model().GetValue(kFeatureUnit, kVolumeControl, channel, &value));
    return value;
}

TEST_F(E2eTest, Uac2VolumeReachesTheFeatureUnitAndSurvivesARestart) {
    const std::string file = std::string(E2E_SOURCE_DIR) + "/tests/fixtures/usb/uac2_async_device.txt";
    const std::string state = TestDirectory("uac2-state");
    ASSERT_EQ(StartSession(file, state, simusb::UsbSpeed::High), STATUS_SUCCESS);
    host::RenderControls controls = host::FindRenderControls(Session());
    ASSERT_TRUE(controls.hasVolume);
    Session().Device().ClearRequestLog();
    ASSERT_EQ(host::SetVolume(Session(), controls.volumeNode, -10 * 65536), STATUS_SUCCESS);
    // -10 dB is 0xF600 in the device's 1/256 dB.
    const auto requests = VolumeRequests(Session().Device());
    ASSERT_FALSE(requests.empty());
    for (const auto& [channel, data] : requests) EXPECT_EQ(data, (simusb::Bytes{0x00, 0xF6})) << "channel " << (int)channel;
    const UCHAR channel = requests.front().first;
    EXPECT_EQ(DeviceVolume(Session().Device(), channel), -0x0A00);
    ASSERT_EQ(host::SetVolume(Session(), controls.volumeNode, -7 * 65536), STATUS_SUCCESS);
    session_.reset();

    // A new boot from the saved image: the stored value goes to the device
    // at start and the property reads it back.
    sim::RegistryReset();
    ASSERT_EQ(StartSession(file, state, simusb::UsbSpeed::High), STATUS_SUCCESS);
    EXPECT_EQ(DeviceVolume(Session().Device(), channel), -0x0700);
    simusb::Bytes lastAtStart;
    for (const auto& [c, data] : VolumeRequests(Session().Device()))
        if (c == channel) lastAtStart = data;
    EXPECT_EQ(lastAtStart, (simusb::Bytes{0x00, 0xF9}));
    LONG level = 0;
    ASSERT_EQ(host::GetVolume(Session(), controls.volumeNode, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, -7 * 65536);
}

TEST_F(E2eTest, Uac2StartAndStopRepeat) {
    const std::string file = std::string(E2E_SOURCE_DIR) + "/tests/fixtures/usb/uac2_async_device.txt";
    for (int loop = 0; loop < 3; ++loop) {
        ASSERT_EQ(StartSession(file, "", simusb::UsbSpeed::High), STATUS_SUCCESS) << "loop " << loop;
        const std::vector<uint8_t> played = Ramp(4800);
        host::StreamRun run = host::Play(Session(), streamfakes::PcmFormat(2, 48000, 16), played, nullptr);
        ASSERT_EQ(run.status, STATUS_SUCCESS) << run.error;
        EXPECT_EQ(run.signalFrames, 4800u);
        session_.reset();
    }
}

}  // namespace
}  // namespace e2etest

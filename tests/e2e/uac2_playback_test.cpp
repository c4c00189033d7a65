// Class 2.0 devices end to end: a ramp played through the render wave
// filter into the simulated asynchronous device (high speed with 4-byte
// feedback, full speed with 3-byte feedback) arrives bit-exact and in
// order while the device's clock runs fast or slow, with the device's
// buffer never overflowing; the capture stream delivers what the device
// sent; start and stop repeat.
#include <cstring>

#include "platform/usb/descriptor_file.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/fakes/stream/formats.h"
#include "tools/host/host_stream.h"

namespace e2etest {
namespace {

constexpr UCHAR kRenderEndpoint = 0x01;

// The built-in asynchronous device's layout at full speed: 16-bit stereo
// render with a 3-byte feedback endpoint of bInterval 1, 16-bit stereo
// capture, clock source 10.
std::string FullSpeedDeviceFile() {
    using simusb::ConfigBuilder;
    const UCHAR kAudio = USB_DEVICE_CLASS_AUDIO;
    const UCHAR kAs = USB_AUDIO_SUBCLASS_AUDIOSTREAMING;
    const UCHAR kV2 = USB_AUDIO_PROTOCOL_2_0;
    const UCHAR kIsoAsync = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS;
    ConfigBuilder c;
    c.Configuration()
        .Interface(0, 0, kAudio, USB_AUDIO_SUBCLASS_AUDIOCONTROL, kV2)
        .Uac2Header(0x0A)
        .Uac2ClockSource(10, 0x03, 0x07)
        .Uac2InputTerminal(1, simusb::UAC_TERMINAL_USB_STREAMING, 10, 2, 0x3)
        .Uac2FeatureUnit(2, 1, {0x0F, 0x0C, 0x0C})
        .Uac2OutputTerminal(3, simusb::UAC_TERMINAL_HEADPHONES, 2, 10)
        .Uac2InputTerminal(4, simusb::UAC_TERMINAL_LINE_CONNECTOR, 10, 2, 0x3)
        .Uac2FeatureUnit(5, 4, {0x0F, 0, 0})
        .Uac2OutputTerminal(6, simusb::UAC_TERMINAL_USB_STREAMING, 5, 10)
        .Endpoint(0x83, USB_ENDPOINT_TYPE_INTERRUPT, 6, 4)
        .Interface(1, 0, kAudio, kAs, kV2)
        .Interface(1, 1, kAudio, kAs, kV2)
        .Uac2AsGeneral(1, 0x05, UAC_FORMAT_TYPE_I, 0x00000001, 2, 0x3)
        .Uac2FormatTypeI(2, 16)
        .Endpoint(kRenderEndpoint, kIsoAsync, 50 * 4, 1)
        .Uac2IsoEndpoint()
        .Endpoint(0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_USAGE_FEEDBACK, 3, 1)
        .Interface(2, 0, kAudio, kAs, kV2)
        .Interface(2, 1, kAudio, kAs, kV2)
        .Uac2AsGeneral(6, 0x05, UAC_FORMAT_TYPE_I, 0x00000001, 2, 0x3)
        .Uac2FormatTypeI(2, 16)
        .Endpoint(0x82, kIsoAsync, 50 * 4, 1)
        .Uac2IsoEndpoint();
    simusb::DeviceFields d;
    d.bcdUSB = 0x0200;
    d.idVendor = simusb::kSimVendorId;
    d.idProduct = 0x7A2F;
    simusb::DescriptorSet set;
    set.device = simusb::BuildDeviceDescriptor(d);
    set.configuration = c.Build();
    set.strings[0] = simusb::BuildLanguageIds({0x0409});
    const std::string dir = TestDirectory("uac2-full-speed");
    EXPECT_TRUE(host::MakeDirectories(dir));
    const std::string path = dir + "/device.txt";
    EXPECT_TRUE(simusb::SaveDescriptorFile(path, set));
    return path;
}

// 16-bit stereo frames that never repeat within the run and never are
// silence (the run's split finds the signal by its first non-zero frame).
std::vector<uint8_t> Ramp(uint64_t frames) {
    std::vector<uint8_t> bytes(frames * 4);
    for (uint64_t i = 0; i < frames * 2; ++i) {
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
};
void PrintTo(const PlayCase& c, std::ostream* os) { *os << c.name; }

class Uac2PlaybackTest : public E2eTest, public ::testing::WithParamInterface<PlayCase> {};

TEST_P(Uac2PlaybackTest, RampArrivesBitExactAndTheDeviceBufferNeverOverflows) {
    const PlayCase& c = GetParam();
    const std::string file = c.highSpeed ? std::string(E2E_SOURCE_DIR) + "/tests/fixtures/usb/uac2_async_device.txt"
                                         : FullSpeedDeviceFile();
    ASSERT_EQ(StartSession(file, "", c.highSpeed ? simusb::UsbSpeed::High : simusb::UsbSpeed::Full), STATUS_SUCCESS);
    Session().Device().SetSinkDriftPpm(kRenderEndpoint, c.ppm);
    const uint64_t frames = (uint64_t)(c.rate * c.seconds);
    const std::vector<uint8_t> played = Ramp(frames);
    host::StreamRun run = host::Play(Session(), streamfakes::PcmFormat(2, c.rate, 16), played, nullptr);
    ASSERT_EQ(run.status, STATUS_SUCCESS) << run.error;
    EXPECT_EQ(run.endpoint, kRenderEndpoint);
    EXPECT_EQ(run.failedTransfers, 0u);
    ASSERT_EQ(run.signalFrames, frames);
    const size_t lead = (size_t)run.leadFrames * 4;
    ASSERT_GE(run.bytes.size(), lead + played.size());
    EXPECT_EQ(std::memcmp(run.bytes.data() + lead, played.data(), played.size()), 0)
        << "the device received something other than the ramp";
    auto lock = Session().Device().lock();
    const simusb::AudioSink* sink = Session().Device().Sink(kRenderEndpoint);
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(sink->overruns(), 0u);
    EXPECT_EQ(sink->partialPackets(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, Uac2PlaybackTest,
    ::testing::Values(PlayCase{"HighSpeed48k", true, 48000, 0, 2.0}, PlayCase{"HighSpeed192kFast", true, 192000, 300, 2.0},
                      PlayCase{"HighSpeed48kSlow", true, 48000, -300, 2.0},
                      PlayCase{"FullSpeed44k1Fast", false, 44100, 300, 2.0},
                      PlayCase{"FullSpeed44k1Slow", false, 44100, -300, 2.0}),
    [](const ::testing::TestParamInfo<PlayCase>& info) { return std::string(info.param.name); });

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

// Headphone endpoints of more than two channels end to end, in both
// classes: a headset whose headphone terminal carries 4 or 8 channels and
// no 2-channel format starts, its render filter offers those formats and
// plays them bit-exact, and its microphone records; a headphone terminal
// with a 2-channel setting beside an 8-channel one offers only the
// 2-channel formats; a terminal switched to headphones while the device
// runs keeps a render filter with its own formats.
#include <cstring>

#include "platform/usb/descriptor_file.h"
#include "tests/e2e/e2e_fixture.h"
#include "topology/interface_ref.h"
#include "topology/terminal_units.h"
#include "tools/host/host_stream.h"

namespace e2etest {
namespace {

constexpr UCHAR kRenderEndpoint = 0x01;
constexpr UCHAR kMicEndpoint = 0x82;
constexpr ULONG kRate = 48000;

enum class Uac { One, Two };

struct HeadsetShape {
    Uac uac = Uac::One;
    UCHAR channels = 8;          // of the render interface's first setting
    bool stereoSetting = false;  // a second render setting of 2 channels
    USHORT outputType = simusb::UAC_TERMINAL_HEADPHONES;
    // Class 2.0: output terminal 3 declares its connector control, so the
    // device can list several types behind it.
    bool typedOutput = false;
};

ULONG Mask(UCHAR channels) { return (1u << channels) - 1; }

// Class 1.0 at full speed, the generic family: IT 1 USB streaming -> FU 2 -> OT 3; IT 4
// microphone -> FU 5 -> OT 6 USB streaming; interface 1 renders 16-bit
// PCM at 48 kHz (adaptive OUT 0x01), interface 2 records mono 16-bit
// (asynchronous IN 0x82).
simusb::Bytes Uac1Configuration(const HeadsetShape& s) {
    const UCHAR kAudio = USB_DEVICE_CLASS_AUDIO, kAs = USB_AUDIO_SUBCLASS_AUDIOSTREAMING;
    const UCHAR kIsoAdaptive = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ADAPTIVE;
    const UCHAR kIsoAsync = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS;
    std::vector<USHORT> controls(s.channels + 1u, 0);
    controls[0] = 0x03;  // master mute and volume
    simusb::ConfigBuilder c;
    c.Configuration()
        .Interface(0, 0, kAudio, USB_AUDIO_SUBCLASS_AUDIOCONTROL, 0)
        .Uac1Header({1, 2})
        .Uac1InputTerminal(1, simusb::UAC_TERMINAL_USB_STREAMING, s.channels, (USHORT)Mask(s.channels))
        .Uac1FeatureUnit(2, 1, 1, controls)
        .Uac1OutputTerminal(3, s.outputType, 2)
        .Uac1InputTerminal(4, simusb::UAC_TERMINAL_MICROPHONE, 1, 0)
        .Uac1FeatureUnit(5, 4, 1, {0x03, 0x00})
        .Uac1OutputTerminal(6, simusb::UAC_TERMINAL_USB_STREAMING, 5)
        .Interface(1, 0, kAudio, kAs, 0)
        .Interface(1, 1, kAudio, kAs, 0)
        .Uac1AsGeneral(1, 1, 0x0001)
        .Uac1FormatTypeI(s.channels, 2, 16, {kRate})
        .AudioEndpoint(kRenderEndpoint, kIsoAdaptive, (USHORT)(49 * 2 * s.channels), 1)
        .Uac1IsoEndpoint(0x01);
    if (s.stereoSetting)
        c.Interface(1, 2, kAudio, kAs, 0)
            .Uac1AsGeneral(1, 1, 0x0001)
            .Uac1FormatTypeI(2, 2, 16, {kRate})
            .AudioEndpoint(kRenderEndpoint, kIsoAdaptive, 49 * 2 * 2, 1)
            .Uac1IsoEndpoint(0x01);
    c.Interface(2, 0, kAudio, kAs, 0)
        .Interface(2, 1, kAudio, kAs, 0)
        .Uac1AsGeneral(6, 1, 0x0001)
        .Uac1FormatTypeI(1, 2, 16, {kRate})
        .AudioEndpoint(kMicEndpoint, kIsoAsync, 49 * 2, 1)
        .Uac1IsoEndpoint(0x01);
    return c.Build();
}

// Class 2.0 at high speed, the same shape around clock source 10 (48
// kHz only): asynchronous OUT 0x01 with a feedback IN 0x81, asynchronous
// IN 0x82; interrupt IN 0x83.
simusb::Bytes Uac2Configuration(const HeadsetShape& s) {
    const UCHAR kAudio = USB_DEVICE_CLASS_AUDIO, kAs = USB_AUDIO_SUBCLASS_AUDIOSTREAMING;
    const UCHAR kV2 = USB_AUDIO_PROTOCOL_2_0;
    const UCHAR kIsoAsync = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS;
    const UCHAR kFeedback = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_USAGE_FEEDBACK;
    std::vector<ULONG> controls(s.channels + 1u, 0x0C);
    controls[0] = 0x0F;
    simusb::ConfigBuilder c;
    c.Configuration()
        .Interface(0, 0, kAudio, USB_AUDIO_SUBCLASS_AUDIOCONTROL, kV2)
        .Uac2Header(0x0A)
        .Uac2ClockSource(10, 0x03, 0x07)
        .Uac2InputTerminal(1, simusb::UAC_TERMINAL_USB_STREAMING, 10, s.channels, Mask(s.channels))
        .Uac2FeatureUnit(2, 1, controls)
        .Uac2OutputTerminal(3, s.outputType, 2, 10, s.typedOutput ? 0x0004 : 0)
        .Uac2InputTerminal(4, simusb::UAC_TERMINAL_MICROPHONE, 10, 1, 0x1)
        .Uac2FeatureUnit(5, 4, {0x0F, 0})
        .Uac2OutputTerminal(6, simusb::UAC_TERMINAL_USB_STREAMING, 5, 10)
        .Endpoint(0x83, USB_ENDPOINT_TYPE_INTERRUPT, 6, 4)
        .Interface(1, 0, kAudio, kAs, kV2)
        .Interface(1, 1, kAudio, kAs, kV2)
        .Uac2AsGeneral(1, 0x05, UAC_FORMAT_TYPE_I, 0x00000001, s.channels, Mask(s.channels))
        .Uac2FormatTypeI(2, 16)
        .Endpoint(kRenderEndpoint, kIsoAsync, (USHORT)(25 * 2 * s.channels), 1)
        .Uac2IsoEndpoint()
        .Endpoint(0x81, kFeedback, 4, 4);
    if (s.stereoSetting)
        c.Interface(1, 2, kAudio, kAs, kV2)
            .Uac2AsGeneral(1, 0x05, UAC_FORMAT_TYPE_I, 0x00000001, 2, 0x3)
            .Uac2FormatTypeI(2, 16)
            .Endpoint(kRenderEndpoint, kIsoAsync, 25 * 2 * 2, 1)
            .Uac2IsoEndpoint()
            .Endpoint(0x81, kFeedback, 4, 4);
    c.Interface(2, 0, kAudio, kAs, kV2)
        .Interface(2, 1, kAudio, kAs, kV2)
        .Uac2AsGeneral(6, 0x05, UAC_FORMAT_TYPE_I, 0x00000001, 1, 0x1)
        .Uac2FormatTypeI(2, 16)
        .Endpoint(kMicEndpoint, kIsoAsync, 25 * 2, 1)
        .Uac2IsoEndpoint();
    return c.Build();
}

// Saves the device as a descriptor file; its path.
std::string HeadsetFile(const std::string& name, const HeadsetShape& s) {
    simusb::DeviceFields d;
    d.bcdUSB = s.uac == Uac::Two ? 0x0200 : 0x0110;
    d.idVendor = simusb::kSimVendorId;
    d.idProduct = 0x7A40;
    simusb::DescriptorSet set;
    set.device = simusb::BuildDeviceDescriptor(d);
    set.configuration = s.uac == Uac::Two ? Uac2Configuration(s) : Uac1Configuration(s);
    set.strings[0] = simusb::BuildLanguageIds({0x0409});
    // Class 1.0: the built-in headset's model string, which names the
    // generic family.
    if (s.uac == Uac::One) set.strings[0x50] = simusb::BuildStringDescriptor(u"SIMHS1");
    if (s.uac == Uac::Two) set.clocks[10] = {{kRate, kRate, 0}};
    const std::string dir = TestDirectory("headphones-" + name);
    EXPECT_TRUE(host::MakeDirectories(dir));
    const std::string path = dir + "/device.txt";
    EXPECT_TRUE(simusb::SaveDescriptorFile(path, set));
    return path;
}

simusb::UsbSpeed SpeedOf(const HeadsetShape& s) {
    return s.uac == Uac::Two ? simusb::UsbSpeed::High : simusb::UsbSpeed::Full;
}

// Channel counts of the render filter's formats, in order.
std::vector<USHORT> OfferedChannels(host::HostSession& session) {
    std::vector<USHORT> channels;
    for (const WAVEFORMATEXTENSIBLE& f : host::OfferedFormats(session, session.FindWaveFilter(false)))
        channels.push_back(f.Format.nChannels);
    return channels;
}

// 16-bit frames that never repeat within the run and are never silence.
std::vector<uint8_t> Ramp(uint64_t frames, unsigned channels) {
    std::vector<uint8_t> bytes(frames * 2 * channels);
    for (uint64_t i = 0; i < frames * channels; ++i) {
        const uint16_t v = (uint16_t)(1 + (i * 2654435761u >> 7) % 65535);
        bytes[2 * i] = (uint8_t)v;
        bytes[2 * i + 1] = (uint8_t)(v >> 8);
    }
    return bytes;
}

// One second of a ramp in the filter's first format arrives bit-exact.
void ExpectRampArrives(host::HostSession& session) {
    const std::vector<WAVEFORMATEXTENSIBLE> offered = host::OfferedFormats(session, session.FindWaveFilter(false));
    ASSERT_FALSE(offered.empty());
    const WAVEFORMATEXTENSIBLE format = offered.front();
    ASSERT_EQ(format.Format.wBitsPerSample, 16);
    const unsigned channels = format.Format.nChannels;
    const std::vector<uint8_t> played = Ramp(kRate, channels);
    host::StreamRun run = host::Play(session, format, played, nullptr);
    ASSERT_EQ(run.status, STATUS_SUCCESS) << run.error;
    EXPECT_EQ(run.endpoint, kRenderEndpoint);
    EXPECT_EQ(run.failedTransfers, 0u);
    ASSERT_EQ(run.signalFrames, (uint64_t)kRate);
    const size_t lead = (size_t)run.leadFrames * 2 * channels;
    ASSERT_GE(run.bytes.size(), lead + played.size());
    EXPECT_EQ(std::memcmp(run.bytes.data() + lead, played.data(), played.size()), 0)
        << "the device received something other than the ramp";
}

// The recording is an unbroken run of what the microphone sent.
void ExpectMicrophoneRecords(host::HostSession& session) {
    session.Device().SetSourceRecording(kMicEndpoint, true);
    host::StreamRun run = host::Record(session, 1.0, nullptr);
    ASSERT_EQ(run.status, STATUS_SUCCESS) << run.error;
    EXPECT_EQ(run.recordedFrames, run.askedFrames);
    ASSERT_FALSE(run.bytes.empty());
    std::vector<uint8_t> sent;
    {
        auto lock = session.Device().lock();
        sent = session.Device().Source(kMicEndpoint)->recorded();
    }
    const size_t block = run.format.Format.nBlockAlign;
    ASSERT_GT(block, 0u);
    bool found = false;
    for (size_t at = 0; !found && at + run.bytes.size() <= sent.size(); at += block)
        found = std::memcmp(sent.data() + at, run.bytes.data(), run.bytes.size()) == 0;
    EXPECT_TRUE(found) << "the recording is not a contiguous piece of the microphone's samples";
}

struct HeadphoneCase {
    const char* name;
    HeadsetShape shape;
    std::vector<USHORT> offered;  // channels of the render filter's formats
};
void PrintTo(const HeadphoneCase& c, std::ostream* os) { *os << c.name; }

class HeadphoneTest : public E2eTest, public ::testing::WithParamInterface<HeadphoneCase> {};

TEST_P(HeadphoneTest, StartsOffersItsFormatsPlaysBitExactAndTheMicrophoneRecords) {
    const HeadphoneCase& c = GetParam();
    ASSERT_EQ(StartSession(HeadsetFile(c.name, c.shape), "", SpeedOf(c.shape)), STATUS_SUCCESS);
    EXPECT_EQ(OfferedChannels(Session()), c.offered);
    ExpectRampArrives(Session());
    ExpectMicrophoneRecords(Session());
}

HeadsetShape Shape(Uac uac, UCHAR channels, bool stereoSetting = false) {
    HeadsetShape s;
    s.uac = uac;
    s.channels = channels;
    s.stereoSetting = stereoSetting;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Devices, HeadphoneTest,
    ::testing::Values(HeadphoneCase{"Uac1FourChannels", Shape(Uac::One, 4), {4}},
                      HeadphoneCase{"Uac1EightChannels", Shape(Uac::One, 8), {8}},
                      HeadphoneCase{"Uac2FourChannels", Shape(Uac::Two, 4), {4}},
                      HeadphoneCase{"Uac2EightChannels", Shape(Uac::Two, 8), {8}},
                      // A 2-channel setting keeps the stereo-only rule.
                      HeadphoneCase{"Uac1EightChannelsAndStereo", Shape(Uac::One, 8, true), {2}},
                      HeadphoneCase{"Uac2EightChannelsAndStereo", Shape(Uac::Two, 8, true), {2}}),
    [](const ::testing::TestParamInfo<HeadphoneCase>& info) { return std::string(info.param.name); });

// The adapter's terminal-type unit (the output terminal's selection).
ITerminalTypeUnit* TypeSelector(IAudioHal* adapter) {
    for (ULONG i = 0; adapter != NULL && i < adapter->GetUnitCount(); ++i) {
        IUacUnit* unit = NULL;
        if (!NT_SUCCESS(adapter->GetUnit(i, &unit)) || unit->GetKind() != UNIT_KIND_TERMINAL_TYPE) continue;
        InterfaceRef<ITerminalTypeUnit> selector(unit, IID_ITerminalTypeUnit);
        if (selector.get() != NULL) return selector.get();
    }
    return NULL;
}

class HeadphoneSwitchTest : public E2eTest, public ::testing::WithParamInterface<Uac> {};

// An 8-channel speaker terminal that the user switches to headphones: the
// render filter is made again, under the new type, with the 8-channel
// formats, and plays.
TEST_P(HeadphoneSwitchTest, ASwitchToHeadphonesKeepsTheEightChannelFormats) {
    HeadsetShape s = Shape(GetParam(), 8);
    s.outputType = simusb::UAC_TERMINAL_SPEAKER;
    s.typedOutput = true;
    const std::string file = HeadsetFile(GetParam() == Uac::Two ? "switch-uac2" : "switch-uac1", s);
    session_ = std::make_unique<host::HostSession>();
    std::string error;
    host::DeviceChoice choice;
    choice.descriptorFile = file;
    choice.speed = SpeedOf(s);
    ASSERT_TRUE(session_->PlugDevice(choice, &error)) << error;
    simusb::UacModel& model = Session().Device().model();
    model.SetTerminalTypes(3, {simusb::UAC_TERMINAL_SPEAKER, simusb::UAC_TERMINAL_HEADPHONES});
    if (GetParam() == Uac::Two) {
        model.SetJacksForType(3, simusb::UAC_TERMINAL_SPEAKER, {{0x3, 0x00011000}});
        model.SetJacksForType(3, simusb::UAC_TERMINAL_HEADPHONES, {{0x3, 0x00011000}});
        model.SetConnectedMask(3, 0x3);
    }
    ASSERT_EQ(Session().Start(), STATUS_SUCCESS);
    EXPECT_EQ(OfferedChannels(Session()), (std::vector<USHORT>{8}));
    ITerminalTypeUnit* selector = TypeSelector(Session().Adapter());
    ASSERT_NE(selector, nullptr);
    ASSERT_EQ(selector->SelectType(ENDPOINT_HP), STATUS_SUCCESS);
    EXPECT_EQ(Session().FindWaveFilter(false).name, u"HPOut00Wave");
    EXPECT_EQ(OfferedChannels(Session()), (std::vector<USHORT>{8}));
    ExpectRampArrives(Session());
}

INSTANTIATE_TEST_SUITE_P(Classes, HeadphoneSwitchTest, ::testing::Values(Uac::One, Uac::Two),
                         [](const ::testing::TestParamInfo<Uac>& info) {
                             return std::string(info.param == Uac::Two ? "Uac2" : "Uac1");
                         });

}  // namespace
}  // namespace e2etest

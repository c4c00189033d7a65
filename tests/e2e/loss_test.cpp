// Playback losses the host must not hide: devices whose playback endpoint
// differs from the headset's in one value, each either playing bit-exact
// with every played frame received on its own endpoint, or refused by the
// driver with its reason in the log; and a device that leaves mid-run,
// which the run reports as missing frames.
#include <gmock/gmock.h>

#include <cstring>

#include "platform/usb/descriptor_file.h"
#include "sim/debug.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/fakes/stream/formats.h"
#include "tools/host/host_stream.h"

namespace e2etest {
namespace {

using ::testing::HasSubstr;

// Stereo at one rate: a discrete rate, or a continuous range from it to it.
struct Playback {
    UCHAR endpoint;
    USHORT maxPacket;
    UCHAR subframe, bits;
    ULONG rate;
    bool continuous;
};

// The built-in headset's descriptors with its playback interface built
// from p (stereo), saved as a descriptor file in the test's directory.
std::string DeviceFile(const Playback& p) {
    simusb::ConfigBuilder c;
    c.Configuration()
        .Interface(0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, 0)
        .Uac1Header({1})
        .Uac1InputTerminal(1, simusb::UAC_TERMINAL_USB_STREAMING, 2, 0x0003)
        .Uac1FeatureUnit(2, 1, 1, {0x03, 0, 0})  // mute and volume on the master channel
        .Uac1OutputTerminal(3, simusb::UAC_TERMINAL_HEADPHONES, 2)
        .Interface(1, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0)
        .Interface(1, 1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0)
        .Uac1AsGeneral(1, 1, 0x0001);
    if (p.continuous) c.Uac1FormatTypeIContinuous(2, p.subframe, p.bits, p.rate, p.rate);
    else c.Uac1FormatTypeI(2, p.subframe, p.bits, {p.rate});
    c.AudioEndpoint(p.endpoint, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ADAPTIVE, p.maxPacket, 1)
        .Uac1IsoEndpoint(0x01);
    simusb::DescriptorSet set = simusb::BuildUac1Headset();
    set.configuration = c.Build();
    const std::string dir = TestDirectory("device");
    EXPECT_TRUE(host::MakeDirectories(dir));
    const std::string file = dir + "/device.txt";
    EXPECT_TRUE(simusb::SaveDescriptorFile(file, set));
    return file;
}

struct LossCase {
    const char* name;
    Playback playback;
    bool plays;           // else the device is refused
    const char* refusal;  // part of the log line of a refused device
};

void PrintTo(const LossCase& c, std::ostream* os) { *os << c.name; }

class LossTest : public E2eTest, public ::testing::WithParamInterface<LossCase> {};

TEST_P(LossTest, PlaysEveryFrameOnItsEndpointOrIsRefusedWithAReason) {
    const LossCase& c = GetParam();
    const NTSTATUS start = StartSession(DeviceFile(c.playback));
    if (!c.plays) {
        EXPECT_FALSE(NT_SUCCESS(start));
        EXPECT_THAT(sim::DebugOutput(), HasSubstr(c.refusal));
        return;
    }
    ASSERT_EQ(start, STATUS_SUCCESS) << sim::DebugOutput();
    const WAVEFORMATEXTENSIBLE format = streamfakes::PcmFormat(2, c.playback.rate, c.playback.bits);
    const std::vector<uint8_t> played = host::ToneBytes(format, 1000, -20, 0.3);
    host::StreamRun run = host::Play(Session(), format, played, nullptr);
    ASSERT_EQ(run.status, STATUS_SUCCESS) << run.error;
    EXPECT_EQ(run.endpoint, c.playback.endpoint);
    EXPECT_EQ(run.playedFrames, played.size() / format.Format.nBlockAlign);
    EXPECT_EQ(run.signalFrames, run.playedFrames);
    EXPECT_EQ(run.failedTransfers, 0u);
    EXPECT_EQ(host::PlaybackShortfall(run), "");
    const size_t lead = run.leadFrames * format.Format.nBlockAlign;
    ASSERT_GE(run.bytes.size(), lead + played.size());
    EXPECT_EQ(memcmp(run.bytes.data() + lead, played.data(), played.size()), 0) << "not bit-exact";
}

INSTANTIATE_TEST_SUITE_P(
    Devices, LossTest,
    ::testing::Values(
        LossCase{"OutEndpoint02", {0x02, 196, 2, 16, 48000, false}, true, ""},
        LossCase{"MaxPacket0", {0x01, 0, 2, 16, 48000, false}, false, "needs packets of 192 bytes, the data endpoint carries 0"},
        LossCase{"MaxPacket8", {0x01, 8, 2, 16, 48000, false}, false, "needs packets of 192 bytes, the data endpoint carries 8"},
        LossCase{"ContinuousZeroToZero", {0x01, 196, 2, 16, 0, true}, false, "range"},
        LossCase{"Rate16777215", {0x01, 196, 2, 16, 16777215, false}, false,
                 "16777215 Hz needs packets of 67112 bytes, the data endpoint carries 196"},
        LossCase{"Stereo48kOn192Bytes", {0x01, 192, 2, 16, 48000, false}, true, ""},
        LossCase{"Stereo44kOn180Bytes", {0x01, 180, 2, 16, 44100, false}, true, ""},
        LossCase{"Stereo96k24BitOn576Bytes", {0x01, 576, 3, 24, 96000, false}, true, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(E2eTest, ADeviceLeavingMidRunIsReportedAsMissingFrames) {
    ASSERT_EQ(StartSession(), STATUS_SUCCESS);
    const WAVEFORMATEXTENSIBLE format = streamfakes::PcmFormat(2, 48000, 16);
    const std::vector<uint8_t> played = host::ToneBytes(format, 1000, -20, 1.0);
    bool unplugged = false;
    host::StreamRun run = host::Play(Session(), format, played, [&](double done, double) {
        if (done >= 0.3 && !unplugged) {
            Session().Port().bus().Unplug();
            unplugged = true;
        }
    });
    EXPECT_LT(run.signalFrames, run.playedFrames);
    EXPECT_THAT(host::PlaybackShortfall(run),
                HasSubstr(std::to_string(run.playedFrames - run.signalFrames) + " of the 48000 played frames did not reach"));
}

TEST_F(E2eTest, TransfersFailingWhileTheStreamRunsFailThePlayback) {
    ASSERT_EQ(StartSession(), STATUS_SUCCESS);
    const WAVEFORMATEXTENSIBLE format = streamfakes::PcmFormat(2, 48000, 16);
    const std::vector<uint8_t> played = host::ToneBytes(format, 1000, -20, 0.5);
    bool scripted = false;
    host::StreamRun run = host::Play(Session(), format, played, [&](double done, double) {
        if (done >= 0.1 && !scripted) {
            Session().Device().ScriptPacketStatuses(host::kHeadsetOutEndpoint, {USBD_STATUS_ISO_NOT_ACCESSED_BY_HW});
            scripted = true;
        }
    });
    EXPECT_GT(run.failedTransfers, 0u);
    EXPECT_THAT(host::PlaybackShortfall(run), HasSubstr("render transfers failed while the stream ran"));
}

// The split of what a device received, on frames of 2 bytes: lead-in is
// the silence before the signal beyond the silence the signal begins with;
// a byte short of a frame at the end (CutShort) is no frame. The first
// missing frame is the first played frame not received in its place after
// the lead-in (-1: none), whatever the counts say.
struct SplitCase {
    const char* name;
    std::vector<uint8_t> played, received;
    uint64_t lead, signal, tail;
    int64_t missing;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, DividesLeadSignalAndTail) {
    const SplitCase& c = GetParam();
    host::ReceivedSplit split(streamfakes::PcmFormat(1, 48000, 16));
    split.Played(c.played.data(), c.played.size());
    split.Received(c.received.data(), c.received.size());
    EXPECT_EQ(split.LeadFrames(), c.lead);
    EXPECT_EQ(split.SignalFrames(), c.signal);
    EXPECT_EQ(split.TailFrames(), c.tail);
    EXPECT_EQ(split.FirstMissingFrame(), c.missing);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitTest,
    ::testing::Values(SplitCase{"LeadSignalTail", {1, 0, 2, 0}, {0, 0, 0, 0, 1, 0, 2, 0, 0, 0}, 2, 2, 1, -1},
                      SplitCase{"SignalStartingSilent", {0, 0, 5, 0}, {0, 0, 0, 0, 0, 0, 5, 0, 0, 0}, 2, 2, 1, -1},
                      SplitCase{"CutShort", {1, 0, 2, 0, 3, 0}, {0, 0, 1, 0, 2, 0, 7}, 1, 2, 0, 2},
                      SplitCase{"AllSilentReceived", {1, 0, 2, 0}, {0, 0, 0, 0, 0, 0}, 0, 2, 1, 0},
                      SplitCase{"NothingReceived", {1, 0}, {}, 0, 0, 0, 0},
                      SplitCase{"AFrameSkipped", {1, 0, 2, 0, 3, 0, 4, 0}, {0, 0, 1, 0, 3, 0, 4, 0, 0, 0}, 1, 4, 0, 1},
                      SplitCase{"SilenceInPlaceOfAFrame", {1, 0, 2, 0, 3, 0}, {1, 0, 0, 0, 3, 0}, 0, 3, 0, 1},
                      SplitCase{"SilentStartCutShort", {0, 0, 0, 0, 5, 0}, {0, 0, 5, 0}, 0, 2, 0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2etest

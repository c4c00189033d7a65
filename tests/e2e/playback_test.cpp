// Playback and recording end to end: a sine played through the render
// wave filter arrives at the headset sample for sample after the lag the
// pin and the stream imply, and the recording equals what the headset's
// microphone sent.
#include <cmath>
#include <cstring>

#include "platform/portcls/wave_pin.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/fakes/stream/formats.h"
#include "tools/host/host_stream.h"

namespace e2etest {
namespace {

std::vector<int16_t> Samples(const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> out(bytes.size() / 2);
    memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

double Rms(const int16_t* x, size_t n) {
    double sum = 0;
    for (size_t i = 0; i < n; i++) sum += (double)x[i] * x[i];
    return std::sqrt(sum / (double)n);
}

double NormalisedCorrelation(const int16_t* a, const int16_t* b, size_t n) {
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < n; i++) {
        ab += (double)a[i] * b[i];
        aa += (double)a[i] * a[i];
        bb += (double)b[i] * b[i];
    }
    return ab / std::sqrt(aa * bb);
}

class PlaybackTest : public E2eTest, public ::testing::WithParamInterface<ULONG> {};

TEST_P(PlaybackTest, ASineArrivesSampleExactAfterTheDerivedLag) {
    const ULONG rate = GetParam();
    ASSERT_EQ(StartSession(), STATUS_SUCCESS);
    WAVEFORMATEXTENSIBLE format = streamfakes::PcmFormat(2, rate, 16);
    std::vector<uint8_t> played = host::ToneBytes(format, 1000, -20, 10.0);
    host::StreamRun run = host::Play(Session(), format, played, nullptr);
    ASSERT_EQ(run.status, STATUS_SUCCESS) << run.error;
    // The copy offset starts 15 ms (5 frames per transfer x 3 transfers)
    // before position 0, where the buffer holds silence.
    const size_t lagBytes = (size_t)(rate / 1000) * 5 * 3 * 4;
    ASSERT_GE(run.bytes.size(), lagBytes + played.size());
    for (size_t i = 0; i < lagBytes; i++) ASSERT_EQ(run.bytes[i], 0) << "byte " << i << " of the lead";
    EXPECT_EQ(memcmp(run.bytes.data() + lagBytes, played.data(), played.size()), 0)
        << "the device received something other than the sine";
    std::vector<int16_t> got = Samples(run.bytes), want = Samples(played);
    const int16_t* aligned = got.data() + lagBytes / 2;
    EXPECT_GE(NormalisedCorrelation(aligned, want.data(), want.size()), 0.9999);
    double level = 20 * std::log10(Rms(aligned, want.size()) / Rms(want.data(), want.size()));
    EXPECT_LT(std::abs(level), 0.05);
    // -20 dBFS peak is -23.01 dBFS RMS.
    EXPECT_NEAR(20 * std::log10(Rms(aligned, want.size()) / 32767.0), -23.01, 0.05);
}

INSTANTIATE_TEST_SUITE_P(Rates, PlaybackTest, ::testing::Values(48000u, 44100u),
                         [](const auto& info) { return "Rate" + std::to_string(info.param); });

TEST_F(E2eTest, TheRecordingIsWhatTheMicrophoneSentFromTheFirstDeliveredSample) {
    ASSERT_EQ(StartSession(), STATUS_SUCCESS);
    // Samples that do not repeat within the run.
    Session().Device().SetSourceGenerator(host::kHeadsetInEndpoint,
                                          [](uint64_t frame, UCHAR, const simusb::StreamFormat&, ULONG) {
                                              return (LONG)(int16_t)(uint16_t)((frame * 40503u) >> 3);
                                          });
    Session().Device().SetSourceRecording(host::kHeadsetInEndpoint, true);
    host::StreamRun run = host::Record(Session(), 2.0, nullptr);
    ASSERT_EQ(run.status, STATUS_SUCCESS) << run.error;
    std::vector<uint8_t> sent;
    {
        auto lock = Session().Device().lock();
        sent = Session().Device().Source(host::kHeadsetInEndpoint)->recorded();
    }
    ASSERT_GE(run.bytes.size(), 2 * 48000u * 2 * 95 / 100);  // about 2 s of mono 16-bit
    // The recording is one stretch of what was sent, from the first sample
    // the stream delivered after it started.
    size_t offset = 0;
    while (offset + run.bytes.size() <= sent.size() &&
           memcmp(sent.data() + offset, run.bytes.data(), 16) != 0)
        offset += 2;
    ASSERT_LE(offset + run.bytes.size(), sent.size()) << "the recording's start is not among the sent samples";
    EXPECT_EQ(memcmp(sent.data() + offset, run.bytes.data(), run.bytes.size()), 0);
    EXPECT_LT(offset, 48u * 2 * 20) << "more than 20 ms sent before the first recorded sample";
}

TEST_F(E2eTest, AFormatTheFilterDoesNotOfferIsRefusedWithoutConversion) {
    ASSERT_EQ(StartSession(), STATUS_SUCCESS);
    WAVEFORMATEXTENSIBLE format = streamfakes::PcmFormat(2, 96000, 16);
    std::vector<uint8_t> played = host::ToneBytes(format, 1000, -20, 0.1);
    host::StreamRun run = host::Play(Session(), format, played, nullptr);
    EXPECT_TRUE(run.formatRefused) << host::StatusText(run.status);
    EXPECT_EQ(host::OfferedFormats(Session(), Session().FindWaveFilter(false)).size(), 2u);
}

TEST_F(E2eTest, StopAndStartBuildTheFiltersAfreshAndTheyPlay) {
    ASSERT_EQ(StartSession(), STATUS_SUCCESS);
    sim::PnpHarness& harness = Session().Port().harness();
    ASSERT_EQ(harness.QueryStopDevice(), STATUS_SUCCESS);
    ASSERT_EQ(harness.StopDevice(), STATUS_SUCCESS);
    EXPECT_TRUE(Filters().empty());
    ASSERT_EQ(harness.StartDevice(), STATUS_SUCCESS);
    // The name counters go on across a stop.
    EXPECT_EQ(Filters(), (std::vector<std::u16string>{u"GlobalTopo", u"HeadSetOut01Wave", u"HeadSetIn01Wave"}));
    WAVEFORMATEXTENSIBLE format = streamfakes::PcmFormat(2, 48000, 16);
    std::vector<uint8_t> played = host::ToneBytes(format, 1000, -20, 0.2);
    host::StreamRun run = host::Play(Session(), format, played, nullptr);
    ASSERT_EQ(run.status, STATUS_SUCCESS) << run.error;
    EXPECT_EQ(memcmp(run.bytes.data() + 48 * 15 * 4, played.data(), played.size()), 0);
}

TEST_F(E2eTest, TheDeviceLeavingDuringPlaybackEndsTheRunCleanly) {
    ASSERT_EQ(StartSession(), STATUS_SUCCESS);
    host::WaveFilter render = Session().FindWaveFilter(false);
    WAVEFORMATEXTENSIBLE format = streamfakes::PcmFormat(2, 48000, 16);
    std::vector<uint8_t> connect = host::ConnectFormat(format, false);
    std::vector<uint8_t> tone = host::ToneBytes(format, 1000, -20, 1.0);
    {
        sim::WavePin pin;
        ASSERT_EQ(pin.Open(render.port, 0, connect.data(), (ULONG)connect.size()), STATUS_SUCCESS);
        pin.QueueRender(tone.data(), tone.size());
        ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        sim::Sleep(200 * kMs);
        Session().Port().bus().Unplug();
        sim::Sleep(200 * kMs);
        EXPECT_GT(pin.QueuedRenderBytes(), 0u);  // the device stopped taking data
        pin.SetState(KSSTATE_STOP);
        pin.Close();
    }
    EXPECT_EQ(Session().Remove(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace e2etest

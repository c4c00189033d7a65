// The wave-cyclic stream on real USB streams: the built-in UAC 1.0 headset
// plugged into the PnP harness, its render and capture streams made as the
// device core's parser makes them, and the wave miniport over them. The
// device's sink and source show what went over the wire; an observing
// client (priority 1, never acquired) hears every message of the stream.
#include "stream/wave/byte_rate.h"
#include "tests/fakes/stream/recording_client.h"
#include "tests/stream/wave/usb_wave_fixture.h"

namespace wavetest {
namespace {

using streamfakes::ClientMessage;
using streamfakes::RecordingClient;

constexpr LONGLONG kMs = sim::kTicksPerMillisecond;
constexpr UCHAR kOutEndpoint = 0x01;

class UsbWaveTest : public UsbWaveFixture {
protected:
    // The wave stream at `rate` and the observer on its USB stream.
    void Open(bool capture, ULONG rate) {
        OpenUsbStream(capture, rate);
        if (HasFatalFailure()) return;
        ASSERT_EQ(observer_.Register(Control(), 1, PcmFormat(capture ? 1 : 2, rate, 16), 5, 3), STATUS_SUCCESS);
    }
    void Close() {
        EXPECT_EQ(Control()->UnregisterClient(observer_.Handle()), STATUS_SUCCESS);
    }
    // The position as the port reads it.
    ULONG ReadPosition() {
        ULONG position = 0;
        EXPECT_EQ(wave_stream_.stream->GetPosition(&position), STATUS_SUCCESS);
        return position;
    }

    ICyclicControl* Control() { return static_cast<ICyclicControl*>(usb_); }
    CMiniportWaveCyclicStream* S() { return wave_stream_.object(); }
    PUCHAR Buffer() { return static_cast<PUCHAR>(wave_stream_.dma->SystemAddress()); }
    ULONG Size() { return wave_stream_.dma->AllocatedBufferSize(); }
    NTSTATUS Run() { return StepStates(wave_stream_.stream, kUpToRun); }
    NTSTATUS Stop() { return StepStates(wave_stream_.stream, kDownToStop); }
    std::vector<uint8_t> Recorded() {
        auto lock = port_usb_->device().lock();
        return port_usb_->device().Sink(kOutEndpoint)->recorded();
    }
    void ClearRecorded() {
        auto lock = port_usb_->device().lock();
        port_usb_->device().Sink(kOutEndpoint)->ClearRecording();
    }
    // Messages the observer heard from index `from` on.
    std::vector<ClientMessage> MessagesFrom(size_t from) {
        std::vector<ClientMessage> all = observer_.Messages();
        return std::vector<ClientMessage>(all.begin() + std::min(from, all.size()), all.end());
    }
    static size_t Count(const std::vector<ClientMessage>& messages, ULONG code) {
        size_t n = 0;
        for (const auto& m : messages) n += m.code == code;
        return n;
    }

    RecordingClient observer_{"observer"};
};

// ---- render ------------------------------------------------------------------

class RenderTest : public UsbWaveTest, public ::testing::WithParamInterface<ULONG> {};

// The device receives the cyclic buffer from 15 ms before position 0 on,
// round and round, byte for byte; every completion notifies the port once
// and moves the position by its bytes.
TEST_P(RenderTest, TheDeviceReceivesTheCyclicBufferFromFifteenMillisecondsBeforeZero) {
    const ULONG rate = GetParam();
    Open(false, rate);
    auto* words = reinterpret_cast<uint16_t*>(Buffer());
    for (ULONG i = 0; i < Size() / 2; i++) words[i] = (uint16_t)(i * 3 + 1);
    const uint64_t notified = port_->Notifications();
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    sim::Sleep(300 * kMs);
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    std::vector<ClientMessage> messages = observer_.Messages();
    uint64_t done = 0;
    for (const auto& m : messages)
        if (m.code == CYCLIC_MSG_BYTES_DONE) done += m.value;
    EXPECT_EQ(port_->Notifications() - notified, Count(messages, CYCLIC_MSG_BYTES_DONE));
    std::vector<uint8_t> recorded = Recorded();
    ASSERT_GE(recorded.size(), (size_t)rate * 4 / 4);  // at least 250 ms arrived
    EXPECT_EQ(recorded.size(), done);
    const ULONG lead = (rate / 1000) * 4 * 5 * 3;
    const ULONG start = Size() - lead;
    for (size_t k = 0; k < recorded.size(); k++)
        ASSERT_EQ(recorded[k], Buffer()[(start + k) % Size()]) << "byte " << k << " of " << recorded.size();
    Close();
}

INSTANTIATE_TEST_SUITE_P(Rates, RenderTest, ::testing::Values(48000u, 44100u),
                         [](const auto& info) { return "Rate" + std::to_string(info.param); });

// Frames of the wave buffer's constant (0x5A5A, 0x5A5A) among recorded bytes.
size_t WaveFrames(const std::vector<uint8_t>& bytes) {
    size_t n = 0;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4)
        n += bytes[i] == 0x5A && bytes[i + 1] == 0x5A && bytes[i + 2] == 0x5A && bytes[i + 3] == 0x5A;
    return n;
}

TEST_F(UsbWaveTest, APriorityFiveClientAtAnotherRateTakesOverAndHandsBack) {
    Open(false, 48000);
    memset(Buffer(), 0x5A, Size());
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    sim::Sleep(50 * kMs);

    RecordingClient asio("asio");
    ASSERT_EQ(asio.Register(Control(), CYCLIC_CLIENT_ASIO, PcmFormat(2, 44100, 16), 5, 3), STATUS_SUCCESS);
    ULONG frames = 0, frame = 0;
    ASSERT_EQ(Control()->ClientAcquire(asio.Handle(), &frames, &frame), STATUS_SUCCESS);
    const size_t before = observer_.Messages().size();
    const uint64_t notified = port_->Notifications();
    ClearRecorded();
    // The change of owner keeps the place the port read, on a whole frame.
    const ULONG takenAt = (ReadPosition() + 3) / 4 * 4 % Size();
    ASSERT_EQ(Control()->ClientRun(asio.Handle(), frame + 2, &frames, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(S()->Position(), takenAt);
    sim::Sleep(100 * kMs);

    // The owner's ramp reached the device, none of the wave stream's bytes.
    std::vector<uint8_t> owned = Recorded();
    ASSERT_GT(owned.size(), 0u);
    EXPECT_EQ(WaveFrames(owned), 0u);
    // The position moved by the owner's bytes converted to 48 kHz, fills and
    // completions sharing one conversion, and each completion notified.
    std::vector<ClientMessage> during = MessagesFrom(before);
    WAVE_RATE_CONVERTER rate = {WaveRateParts(192000), WaveRateParts(176400), 0};
    ULONG expected = takenAt;
    for (const auto& m : during) {
        if (m.code == CYCLIC_MSG_RENDER_FILL) WaveConvertBytes(&rate, m.length);
        if (m.code == CYCLIC_MSG_BYTES_DONE) expected = (expected + WaveConvertBytes(&rate, m.value)) % Size();
    }
    EXPECT_EQ(S()->Position(), expected);
    EXPECT_EQ(port_->Notifications() - notified, Count(during, CYCLIC_MSG_BYTES_DONE));
    EXPECT_GE(Count(during, CYCLIC_MSG_BYTES_DONE), 15u);

    // The pin stops: the stream is reopened in the wave format, from the
    // place the port read.
    const ULONG handedBackAt = (ReadPosition() + 3) / 4 * 4 % Size();
    ASSERT_EQ(Control()->ClientStop(asio.Handle(), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(S()->Position(), handedBackAt);
    ClearRecorded();
    ASSERT_EQ(Control()->ClientRelease(asio.Handle()), STATUS_SUCCESS);
    ASSERT_EQ(Control()->UnregisterClient(asio.Handle()), STATUS_SUCCESS);
    sim::Sleep(50 * kMs);
    std::vector<uint8_t> back = Recorded();
    ASSERT_GT(back.size(), 0u);
    EXPECT_EQ(WaveFrames(back) * 4, back.size());
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    Close();
}

// ---- capture -------------------------------------------------------------------

TEST_F(UsbWaveTest, CaptureFillsTheBufferWithTheDeviceSamplesThenSilenceUnderAForeignOwner) {
    Open(true, 48000);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    sim::Sleep(120 * kMs);
    // The whole buffer, oldest first from the copy offset, is the device's
    // ramp: every sample one more than the one before.
    const ULONG samples = Size() / 2;
    auto* words = reinterpret_cast<uint16_t*>(Buffer());
    ULONG first = S()->CopyOffset() / 2;
    for (ULONG k = 1; k < samples; k++)
        ASSERT_EQ(words[(first + k) % samples], (uint16_t)(words[(first + k - 1) % samples] + 1)) << "sample " << k;

    RecordingClient asio("asio", nullptr, 1);
    ASSERT_EQ(asio.Register(Control(), CYCLIC_CLIENT_ASIO, PcmFormat(1, 44100, 16), 5, 3), STATUS_SUCCESS);
    ULONG frames = 0, frame = 0;
    ASSERT_EQ(Control()->ClientAcquire(asio.Handle(), &frames, &frame), STATUS_SUCCESS);
    ASSERT_EQ(Control()->ClientRun(asio.Handle(), frame + 2, &frames, nullptr), STATUS_SUCCESS);
    sim::Sleep(120 * kMs);
    EXPECT_GT(asio.Captured().size(), 0u);
    for (ULONG k = 0; k < samples; k++) ASSERT_EQ(words[k], 0) << "sample " << k;
    ASSERT_EQ(Control()->ClientStop(asio.Handle(), nullptr), STATUS_SUCCESS);
    ASSERT_EQ(Control()->ClientRelease(asio.Handle()), STATUS_SUCCESS);
    ASSERT_EQ(Control()->UnregisterClient(asio.Handle()), STATUS_SUCCESS);
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    Close();
}

}  // namespace
}  // namespace wavetest

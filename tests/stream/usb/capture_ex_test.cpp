// UAC 2.0 capture stream: each completed transfer delivered as it came
// (silence for empty packets at both speeds, two pieces when the ring
// wraps, failed packets, lengths not of whole frames or beyond the slot),
// the clock set and refused, and an unbroken recording from a simulated
// device, the transfers completing after the stop included.
#include <algorithm>
#include <numeric>

#include "tests/stream/usb/uac2_stream_fixture.h"

namespace streamtest {
namespace {

class CaptureExTest : public Uac2StreamTest {
protected:
    // Opens the stream for client (acquired, not running).
    CUsbCaptureStreamEx* Open(RecordingClient& client, WAVEFORMATEXTENSIBLE format = PcmFormat(2, 48000, 16)) {
        CUsbCaptureStreamEx* stream = MakeCaptureEx();
        client.keepAllCaptureData = true;
        EXPECT_EQ(Acquire(stream, client, format, 5, 3), STATUS_SUCCESS);
        return stream;
    }
    void Close(CUsbCaptureStreamEx* stream, RecordingClient& client) {
        EXPECT_EQ(stream->ClientRelease(client.Handle()), STATUS_SUCCESS);
        EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
    }
    void Deliver(CUsbCaptureStreamEx* stream, CraftedTransfer& t) {
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        stream->ProcessCapturedPackets(&t.ctx);
        KeLowerIrql(irql);
    }
};

struct SilenceCase {
    const char* name;
    simusb::UsbSpeed speed;
    ULONG bytesPerPacket;
};

class CaptureExSilence : public CaptureExTest, public ::testing::WithParamInterface<SilenceCase> {
protected:
    Uac2DeviceSpec Spec() override {
        Uac2DeviceSpec spec;
        spec.speed = GetParam().speed;
        return spec;
    }
};

// An empty packet without error stands for one packet's frames, plus one.
TEST_P(CaptureExSilence, EmptyPacketsBecomeSilence) {
    RecordingClient client("wave");
    CUsbCaptureStreamEx* stream = Open(client);
    CraftedTransfer t(stream, 4);
    for (ULONG i = 0; i < t.packets; i++) t.Packet(i) = {i * t.slot, 0, USBD_STATUS_SUCCESS};
    std::fill(t.data.begin(), t.data.end(), 0x5A);
    Deliver(stream, t);
    const ULONG total = t.packets * GetParam().bytesPerPacket;
    std::vector<ClientMessage> done = client.MessagesWithCode(CYCLIC_MSG_BYTES_DONE);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].value, total);
    EXPECT_EQ(done[0].irql, DISPATCH_LEVEL);
    std::vector<uint8_t> captured = client.Captured();
    EXPECT_EQ(captured.size(), total);
    EXPECT_TRUE(std::all_of(captured.begin(), captured.end(), [](uint8_t b) { return b == 0; }));
    Close(stream, client);
}

INSTANTIATE_TEST_SUITE_P(CaptureEx, CaptureExSilence,
                         ::testing::Values(SilenceCase{"Full48k", simusb::UsbSpeed::Full, 196},
                                           SilenceCase{"High48k", simusb::UsbSpeed::High, 28}),
                         [](const auto& info) { return std::string(info.param.name); });

// A transfer across the ring's end: two CAPTURE_DATA pieces, one
// BYTES_DONE with their sum, the bytes in the order they came.
TEST_F(CaptureExTest, ATransferAcrossTheRingsEndIsDeliveredInTwoPieces) {
    RecordingClient client("wave");
    CUsbCaptureStreamEx* stream = Open(client);
    uint8_t next = 0;
    std::vector<uint8_t> sent;
    ULONG written = 0;
    bool wrapped = false;
    for (int n = 0; n < 100 && !wrapped; n++) {
        CraftedTransfer t(stream, 4);
        for (ULONG i = 0; i < t.packets; i++) {
            t.Fill(i, t.slot, &next);
            sent.insert(sent.end(), t.data.begin() + i * t.slot, t.data.begin() + (i + 1) * t.slot);
        }
        client.Clear();
        Deliver(stream, t);
        const ULONG total = t.packets * t.slot;
        wrapped = written % stream->RingSize() + total > stream->RingSize();
        written += total;
        std::vector<ClientMessage> data = client.MessagesWithCode(CYCLIC_MSG_CAPTURE_DATA);
        std::vector<ClientMessage> done = client.MessagesWithCode(CYCLIC_MSG_BYTES_DONE);
        ASSERT_EQ(data.size(), wrapped ? 2u : 1u) << n;
        ASSERT_EQ(done.size(), 1u);
        EXPECT_EQ(done[0].value, total);
        EXPECT_EQ(std::accumulate(data.begin(), data.end(), 0u,
                                  [](ULONG sum, const ClientMessage& m) { return sum + m.length; }),
                  total);
    }
    EXPECT_TRUE(wrapped);
    Close(stream, client);
}

// Packets with an error and no data give nothing; with data they count.
TEST_F(CaptureExTest, FailedPacketsGiveOnlyTheirData) {
    RecordingClient client("wave");
    CUsbCaptureStreamEx* stream = Open(client);
    CraftedTransfer none(stream, 4);
    Deliver(stream, none);  // every packet failed without data
    EXPECT_TRUE(client.Messages().empty());
    CraftedTransfer some(stream, 4);
    uint8_t next = 1;
    some.Fill(2, 8, &next);
    some.Packet(2).Status = USBD_STATUS_CRC;
    Deliver(stream, some);
    EXPECT_EQ(client.Captured(), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    Close(stream, client);
}

// Only whole frames are taken, at most a packet's slot, never beyond the
// buffer: the ring stays frame-aligned.
TEST_F(CaptureExTest, LengthsAreCutToWholeFramesOfTheSlot) {
    RecordingClient client("wave");
    CUsbCaptureStreamEx* stream = Open(client);
    CraftedTransfer t(stream, 4);
    uint8_t next = 0;
    t.Fill(0, 7, &next);                                            // 1 frame and 3 bytes
    t.Fill(1, t.slot, &next);                                       // a full slot
    t.Packet(1).Length = t.slot + 40;                               // claims more
    t.Packet(2) = {(ULONG)t.data.size() + 4, 8, USBD_STATUS_SUCCESS};  // beyond the buffer
    t.Packet(3) = {(ULONG)t.data.size() - 4, 8, USBD_STATUS_SUCCESS};  // runs past its end
    Deliver(stream, t);
    std::vector<uint8_t> expected(t.data.begin(), t.data.begin() + 4);
    expected.insert(expected.end(), t.data.begin() + t.slot, t.data.begin() + 2 * t.slot);
    expected.insert(expected.end(), t.data.end() - 4, t.data.end());
    EXPECT_EQ(client.Captured(), expected);
    EXPECT_EQ(client.MessagesWithCode(CYCLIC_MSG_BYTES_DONE).at(0).value, (ULONG)expected.size());
    Close(stream, client);
}

TEST_F(CaptureExTest, TheClockIsSetAndNoEndpointRateIsSent) {
    RecordingClient client("wave");
    CUsbCaptureStreamEx* stream = Open(client, PcmFormat(2, 44100, 16));
    EXPECT_EQ(clock_->ratesSet, std::vector<ULONG>{44100});
    EXPECT_EQ(device().model().ClockRate(kClockId), 44100u);
    EXPECT_EQ(bus().UrbCount(URB_FUNCTION_CLASS_ENDPOINT), 0u);
    EXPECT_EQ(sim::PoolLiveBlocks(UAC2_REQUEST_TAG), 1);  // the ring
    EXPECT_EQ(device().AlternateSetting(kCaptureInterface), kAltStreaming);
    EXPECT_EQ(model_->BusyCount(), 1);
    Close(stream, client);
    EXPECT_EQ(model_->BusyCount(), 0);
    EXPECT_EQ(sim::PoolLiveBlocks(UAC2_REQUEST_TAG), 0);
}

struct CaptureOpenCase {
    const char* name;
    WAVEFORMATEXTENSIBLE format;
    bool refuseRate;
};

class CaptureExOpenFailures : public CaptureExTest, public ::testing::WithParamInterface<CaptureOpenCase> {};

TEST_P(CaptureExOpenFailures, LeaveTheStreamClosedAtSettingZero) {
    const CaptureOpenCase& c = GetParam();
    if (c.refuseRate) device().model().SetClockAcceptedRates(kClockId, {48000});
    CUsbCaptureStreamEx* stream = MakeCaptureEx();
    RecordingClient client("wave");
    const NTSTATUS status = Acquire(stream, client, c.format);
    EXPECT_FALSE(NT_SUCCESS(status));
    if (!c.refuseRate) {
        EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(stream->StreamState(), STREAM_STATE_CLOSED);
    EXPECT_EQ(device().AlternateSetting(kCaptureInterface), 0);
    EXPECT_EQ(model_->BusyCount(), 0);
    EXPECT_EQ(sim::PoolLiveBlocks(UAC2_REQUEST_TAG), 0);
    EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(CaptureEx, CaptureExOpenFailures,
                         ::testing::Values(CaptureOpenCase{"RateRefused", PcmFormat(2, 44100, 16), true},
                                           CaptureOpenCase{"NoInEndpoint", PcmFormat(4, 48000, 16), false},
                                           CaptureOpenCase{"NoEndpoints", PcmFormat(6, 48000, 16), false}),
                         [](const auto& info) { return std::string(info.param.name); });

// From a device whose clock runs 300 ppm fast: every byte the device sent
// reaches the client, in order, the transfers that complete after the
// stop included.
TEST_F(CaptureExTest, TheRecordingIsUnbroken) {
    device().SetSourceRecording(kCaptureEndpoint, true);
    CUsbCaptureStreamEx* stream = MakeCaptureEx();
    RecordingClient client("wave");
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16), 10, 2), STATUS_SUCCESS);
    {
        auto lock = device().lock();
        device().Source(kCaptureEndpoint)->SetDriftPpm(300);
    }
    RunFor(3000);
    Finish(stream, client);
    std::vector<uint8_t> captured = client.Captured();
    auto lock = device().lock();
    const simusb::AudioSource& source = *device().Source(kCaptureEndpoint);
    EXPECT_EQ(source.framesLost(), 0u);
    EXPECT_GT(captured.size(), 48000u * 4 * 29 / 10);
    EXPECT_TRUE(captured == source.recorded());
    for (size_t frame = 0; frame < captured.size() / 4; frame++)
        ASSERT_EQ((int16_t)(captured[frame * 4] | captured[frame * 4 + 1] << 8),
                  (int16_t)simusb::RampSample(frame, 0, simusb::StreamFormat{2, 2, 16}))
            << frame;
}

}  // namespace
}  // namespace streamtest

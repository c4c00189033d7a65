// UAC 1.0 capture stream on a simulated microphone: transfers in flight,
// ring and silence sizes, whole-block delivery across ring wraps, a
// refused sampling rate, delivery while stopping, minutes of unbroken
// ramp, and packets whose lengths the ring must not trust.
#include <numeric>

#include "tests/stream/usb/stream_fixture.h"

namespace streamtest {
namespace {

class CaptureTest : public UsbStreamTest {
protected:
    // Opens the stream for client (acquired, not running).
    CUsbCaptureStream* Open(RecordingClient& client, WAVEFORMATEXTENSIBLE format, std::vector<FormatAlt> formats = {}) {
        if (formats.empty()) formats = {{format, kAltStreaming}};
        CUsbCaptureStream* stream = MakeCapture(formats);
        client.keepAllCaptureData = true;
        EXPECT_EQ(client.Register(stream, CYCLIC_CLIENT_WAVE, format, 5, 3), STATUS_SUCCESS);
        ULONG frames = 0, frame = 0;
        EXPECT_EQ(stream->ClientAcquire(client.Handle(), &frames, &frame), STATUS_SUCCESS);
        return stream;
    }
    void Close(CUsbCaptureStream* stream, RecordingClient& client) {
        EXPECT_EQ(stream->ClientRelease(client.Handle()), STATUS_SUCCESS);
        EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
    }
    void Deliver(CUsbCaptureStream* stream, CraftedTransfer& t) {
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        stream->ProcessCapturedPackets(&t.ctx);
        KeLowerIrql(irql);
    }
};

struct FlightCase {
    ULONG frames, asked, used;
};

class TransfersInFlight : public CaptureTest, public ::testing::WithParamInterface<FlightCase> {};

TEST_P(TransfersInFlight, AtLeastTenFramesAndTheRecordShowsIt) {
    const FlightCase& c = GetParam();
    CUsbCaptureStream* stream = MakeCapture();
    RecordingClient client("wave");
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(1, 48000, 16), c.frames, c.asked), STATUS_SUCCESS);
    EXPECT_EQ(stream->TransfersInUse(), c.used);
    EXPECT_EQ(client.Record()->Transfers, c.used);
    RunFor(50);
    sim::Settle();  // completions due now have resubmitted
    EXPECT_EQ(bus().PendingTransfers(kCaptureEndpoint), c.used);
    Finish(stream, client);
}

INSTANTIATE_TEST_SUITE_P(Capture, TransfersInFlight,
                         ::testing::Values(FlightCase{5, 3, 3}, FlightCase{1, 2, 10}, FlightCase{1, 3, 10},
                                           FlightCase{2, 3, 5}, FlightCase{4, 2, 3}),
                         [](const auto& info) {
                             return std::to_string(info.param.frames) + "x" + std::to_string(info.param.asked);
                         });

struct RingCase {
    const char* name;
    WAVEFORMATEXTENSIBLE format;
    ULONG ring, silence;
};

WAVEFORMATEXTENSIBLE OddByteRate() {
    WAVEFORMATEXTENSIBLE f = PcmFormat(2, 48000, 16);
    f.Format.nAvgBytesPerSec = 192050;  // 7682 bytes in 40 ms: not whole blocks
    return f;
}

class RingSize : public CaptureTest, public ::testing::WithParamInterface<RingCase> {
protected:
    Uac1DeviceSpec DeviceSpec() override {
        Uac1DeviceSpec spec;
        spec.captureChannels = 2;
        return spec;
    }
};

TEST_P(RingSize, FortyMillisecondsInWholeBlocks) {
    RecordingClient client("wave");
    CUsbCaptureStream* stream = Open(client, GetParam().format);
    EXPECT_EQ(stream->RingSize(), GetParam().ring);
    EXPECT_EQ(stream->SilenceBytes(), GetParam().silence);
    Close(stream, client);
}

INSTANTIATE_TEST_SUITE_P(Capture, RingSize,
                         ::testing::Values(RingCase{"Stereo48k", PcmFormat(2, 48000, 16), 7680, 196},
                                           RingCase{"Stereo44k1", PcmFormat(2, 44100, 16), 7056, 180},
                                           RingCase{"RoundedUp", OddByteRate(), 7684, 196}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CaptureTest, SamplesPerPacketComeFromTheSettingsOwnDataEndpoint) {
    CUsbCaptureStream* stream = MakeCapture();
    WAVEFORMATEXTENSIBLE mono = PcmFormat(1, 48000, 16);
    EXPECT_EQ(stream->GetSamplesPerPacket(kAltStreaming, &mono.Format), 49u);
    // No endpoint of its own: the next setting's endpoint does not count.
    EXPECT_EQ(stream->GetSamplesPerPacket(kAltNoEndpoints, &mono.Format), 0u);
}

class CaptureHighSpeed : public CaptureTest {
protected:
    Uac1DeviceSpec DeviceSpec() override {
        Uac1DeviceSpec spec;
        spec.speed = simusb::UsbSpeed::High;
        spec.captureChannels = 2;
        return spec;
    }
};

TEST_F(CaptureHighSpeed, AnEmptyPacketStandsForOneMicroframeOfSilence) {
    RecordingClient client("wave");
    CUsbCaptureStream* stream = Open(client, PcmFormat(2, 48000, 16));
    EXPECT_EQ(stream->PacketsPerFrame(), 8u);
    EXPECT_EQ(stream->SilenceBytes(), (48000u / 8 / 1000 + 1) * 4);
    CraftedTransfer t(stream, 4);
    for (ULONG p = 0; p < t.packets; p++) t.Packet(p) = {p * t.slot, 0, USBD_STATUS_SUCCESS};
    Deliver(stream, t);
    EXPECT_EQ(client.Captured(), std::vector<uint8_t>(40 * 28, 0));
    Close(stream, client);
}

class CaptureStereo : public CaptureTest {
protected:
    Uac1DeviceSpec DeviceSpec() override {
        Uac1DeviceSpec spec;
        spec.captureChannels = 2;
        return spec;
    }
};

TEST_F(CaptureStereo, APartialBlockWaitsForTheNextTransfer) {
    RecordingClient client("wave");
    CUsbCaptureStream* stream = Open(client, PcmFormat(2, 48000, 16));
    uint8_t next = 0;
    CraftedTransfer first(stream, 4), second(stream, 4);
    first.Fill(0, 6, &next);  // a block and a half
    Deliver(stream, first);
    second.Fill(0, 2, &next);  // the rest of the second block
    Deliver(stream, second);
    std::vector<ULONG> done;
    for (const ClientMessage& m : client.MessagesWithCode(CYCLIC_MSG_BYTES_DONE)) done.push_back(m.value);
    EXPECT_EQ(done, (std::vector<ULONG>{4, 4}));
    EXPECT_EQ(client.Captured(), (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7}));
    Close(stream, client);
}

TEST_F(CaptureStereo, ARangeAcrossTheRingEndGivesTwoPartsEndFirstThenOneTotal) {
    RecordingClient client("wave");
    CUsbCaptureStream* stream = Open(client, PcmFormat(2, 48000, 16));
    ASSERT_EQ(stream->RingSize(), 7680u);
    uint8_t next = 0;
    CraftedTransfer lead(stream, 4);
    lead.Fill(0, 100, &next);
    Deliver(stream, lead);
    for (int t = 0; t < 8; t++) {
        CraftedTransfer full(stream, 4);
        for (ULONG p = 0; p < full.packets; p++) full.Fill(p, 192, &next);
        Deliver(stream, full);
    }
    std::vector<ClientMessage> m = client.Messages();
    // 100, then 7 x 960 up to 6820; the eighth 960 crosses the end at 7680.
    ASSERT_GE(m.size(), 3u);
    const ClientMessage& endPart = m[m.size() - 3];
    const ClientMessage& startPart = m[m.size() - 2];
    EXPECT_EQ(endPart.code, (ULONG)CYCLIC_MSG_CAPTURE_DATA);
    EXPECT_EQ(endPart.length, 860u);
    EXPECT_EQ(startPart.code, (ULONG)CYCLIC_MSG_CAPTURE_DATA);
    EXPECT_EQ(startPart.length, 100u);
    EXPECT_EQ(m.back().code, (ULONG)CYCLIC_MSG_BYTES_DONE);
    EXPECT_EQ(m.back().value, 960u);
    std::vector<uint8_t> captured = client.Captured();
    ASSERT_EQ(captured.size(), 100u + 8 * 960);
    for (size_t i = 0; i < captured.size(); i++) ASSERT_EQ(captured[i], (uint8_t)i) << i;
    Close(stream, client);
}

struct HostileCase {
    const char* name;
    ULONG length;
    ULONG offset;
};

class HostilePackets : public CaptureTest, public ::testing::WithParamInterface<HostileCase> {
protected:
    Uac1DeviceSpec DeviceSpec() override {
        Uac1DeviceSpec spec;
        spec.captureChannels = 2;
        spec.inMaxPacket = 0x1000 | 196;  // two extra transactions per microframe in bits 11-12
        return spec;
    }
};

TEST_P(HostilePackets, CopiesStayInsideTheirSlotAndTheRing) {
    RecordingClient client("wave");
    CUsbCaptureStream* stream = Open(client, PcmFormat(2, 48000, 16));
    // All 16 bits of wMaxPacketSize give the slot; the ring holds a transfer.
    EXPECT_EQ(stream->SamplesPerPacket(), (ULONG)((0x1000 | 196) / 4));
    EXPECT_GE(stream->RingSize(), 5u * (0x1000 | 196) + 4);
    uint8_t next = 0;
    for (int round = 0; round < 12; round++) {
        CraftedTransfer t(stream, 4);
        for (ULONG p = 0; p < t.packets; p++) t.Fill(p, 16, &next);
        t.Packet(2) = {GetParam().offset, GetParam().length, USBD_STATUS_DATA_OVERRUN};
        Deliver(stream, t);
    }
    ULONG total = 0;
    for (const ClientMessage& m : client.MessagesWithCode(CYCLIC_MSG_BYTES_DONE)) total += m.value;
    EXPECT_EQ(total, client.Captured().size());
    EXPECT_LE(total, 12u * 5 * (0x1000 | 196));
    Close(stream, client);
}

INSTANTIATE_TEST_SUITE_P(Capture, HostilePackets,
                         ::testing::Values(HostileCase{"LongerThanSlot", 5000, 2 * (0x1000 | 196)},
                                           HostileCase{"LongerThanRing", 100000, 2 * (0x1000 | 196)},
                                           HostileCase{"OffsetPastBuffer", 64, 0x7FFFFFF0},
                                           HostileCase{"OffsetNearEnd", 8000, 5 * (0x1000 | 196) - 8}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CaptureTest, ARefusedSamplingRateFailsOpenAndKeepsOneBusyReferenceUntilTheNextSelection) {
    simusb::ControlRule stall;
    stall.bmRequestType = 0x22;
    stall.bRequest = 0x01;
    stall.count = 1;
    device().AddControlRule(stall);
    CUsbCaptureStream* stream = MakeCapture();
    RecordingClient client("wave");
    ASSERT_EQ(client.Register(stream, CYCLIC_CLIENT_WAVE, PcmFormat(1, 48000, 16), 5, 3), STATUS_SUCCESS);
    ULONG frames = 0, frame = 0;
    EXPECT_FALSE(NT_SUCCESS(stream->ClientAcquire(client.Handle(), &frames, &frame)));
    EXPECT_EQ(stream->StreamState(), STREAM_STATE_CLOSED);
    EXPECT_EQ(model_->BusyCount(), 1);
    EXPECT_EQ(device().AlternateSetting(kCaptureInterface), kAltStreaming);
    ASSERT_EQ(stream->ClientAcquire(client.Handle(), &frames, &frame), STATUS_SUCCESS);
    EXPECT_EQ(model_->BusyCount(), 1);
    EXPECT_EQ(stream->ClientRelease(client.Handle()), STATUS_SUCCESS);
    EXPECT_EQ(model_->BusyCount(), 0);
    EXPECT_EQ(device().AlternateSetting(kCaptureInterface), 0);
    EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
}

TEST_F(CaptureTest, EverythingTheMicrophoneSentIsDeliveredAlsoWhileStopping) {
    CUsbCaptureStream* stream = MakeCapture();
    RecordingClient client("wave");
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(1, 48000, 16)), STATUS_SUCCESS);
    RunFor(333);
    ASSERT_EQ(stream->ClientStop(client.Handle(), nullptr), STATUS_SUCCESS);
    ULONG delivered = 0;
    for (const ClientMessage& m : client.MessagesWithCode(CYCLIC_MSG_BYTES_DONE)) delivered += m.value;
    {
        auto lock = device().lock();
        EXPECT_EQ(delivered, device().Source(kCaptureEndpoint)->framesProduced() * 2);
    }
    EXPECT_EQ(stream->ClientRelease(client.Handle()), STATUS_SUCCESS);
    EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
}

TEST_F(CaptureTest, TheMicrophoneRampArrivesUnbrokenOverMinutes) {
    CUsbCaptureStream* stream = MakeCapture();
    RecordingClient client("wave");
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(1, 44100, 16)), STATUS_SUCCESS);
    RunFor(180000);
    Finish(stream, client);
    std::vector<uint8_t> captured = client.Captured();
    ASSERT_GE(captured.size(), 2u * 44100 * 179);
    for (size_t i = 0; i + 1 < captured.size(); i += 2) {
        uint16_t sample = (uint16_t)(captured[i] | captured[i + 1] << 8);
        ASSERT_EQ(sample, (uint16_t)(i / 2)) << "frame " << i / 2;
    }
}

}  // namespace
}  // namespace streamtest

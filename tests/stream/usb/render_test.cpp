// UAC 1.0 render stream on a simulated speaker: packet sizes that follow
// the nominal rate, a client's ramp reaching the device bit-exact over a
// minute, the pattern restarting with every open, a device that stalls
// the sampling rate, an unplugged device, and failed transfers counted and
// logged once per run.
#include <numeric>

#include "tests/stream/usb/stream_fixture.h"

namespace streamtest {
namespace {

std::vector<ULONG> Samples(const std::vector<ULONG>& lengths, ULONG frameBytes) {
    std::vector<ULONG> samples;
    for (ULONG length : lengths) samples.push_back(length / frameBytes);
    return samples;
}

// Packets of every 10 ms carry exactly rate / 100 samples.
void ExpectNominalRate(const std::vector<ULONG>& samples, ULONG packetsPer10ms, ULONG rate) {
    ASSERT_GE(samples.size(), packetsPer10ms);
    for (size_t start = 0; start + packetsPer10ms <= samples.size(); start += packetsPer10ms) {
        ULONG sum = std::accumulate(samples.begin() + start, samples.begin() + start + packetsPer10ms, 0u);
        ASSERT_EQ(sum, rate / 100) << "10 ms from packet " << start;
    }
}

struct PacketCase {
    const char* name;
    simusb::UsbSpeed speed;
    UCHAR interval;
    ULONG rate;
    ULONG packetsPer10ms;
    std::vector<ULONG> firstPackets;  // samples per packet at the start
};

class RenderPackets : public UsbStreamTest, public ::testing::WithParamInterface<PacketCase> {
protected:
    Uac1DeviceSpec DeviceSpec() override {
        Uac1DeviceSpec spec;
        spec.speed = GetParam().speed;
        spec.interval = GetParam().interval;
        return spec;
    }
};

TEST_P(RenderPackets, FollowTheNominalRateExactly) {
    const PacketCase& c = GetParam();
    CUsbRenderStream* stream = MakeRender();
    model_->RecordPackets(true);
    RecordingClient client("wave");
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(2, c.rate, 16)), STATUS_SUCCESS);
    RunFor(200);
    Finish(stream, client);
    std::vector<ULONG> samples = Samples(model_->PacketLengths(), 4);
    ASSERT_GE(samples.size(), c.firstPackets.size());
    EXPECT_EQ(std::vector<ULONG>(samples.begin(), samples.begin() + c.firstPackets.size()), c.firstPackets);
    ExpectNominalRate(samples, c.packetsPer10ms, c.rate);
    // Every packet reached the device, none was refused.
    auto lock = device().lock();
    EXPECT_EQ(device().Sink(kRenderEndpoint)->framesReceived(),
              std::accumulate(samples.begin(), samples.end(), (uint64_t)0));
}

std::vector<ULONG> Repeat(std::vector<ULONG> pattern, int times) {
    std::vector<ULONG> out;
    for (int i = 0; i < times; i++) out.insert(out.end(), pattern.begin(), pattern.end());
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Render, RenderPackets,
    ::testing::Values(
        PacketCase{"Full44k1", simusb::UsbSpeed::Full, 1, 44100, 10, Repeat({44, 44, 44, 44, 44, 44, 44, 44, 44, 45}, 2)},
        PacketCase{"Full48k", simusb::UsbSpeed::Full, 1, 48000, 10, Repeat({48}, 20)},
        PacketCase{"High48kInterval1", simusb::UsbSpeed::High, 1, 48000, 80, Repeat({6}, 16)},
        PacketCase{"High44k1Interval1", simusb::UsbSpeed::High, 1, 44100, 80, {5, 6, 5, 6, 5, 6, 5, 6}},
        PacketCase{"High48kInterval4", simusb::UsbSpeed::High, 4, 48000, 10, Repeat({48}, 10)}),
    [](const auto& info) { return std::string(info.param.name); });

class RenderTest : public UsbStreamTest {};

// The client's ramp, frame by frame, as bytes.
std::vector<uint8_t> Ramp(uint64_t frames, ULONG channels) {
    std::vector<uint8_t> bytes;
    bytes.reserve(frames * channels * 2);
    for (uint64_t n = 0; n < frames; n++)
        for (ULONG c = 0; c < channels; c++) {
            int16_t v = RampValue(n, c);
            bytes.push_back((uint8_t)v);
            bytes.push_back((uint8_t)(v >> 8));
        }
    return bytes;
}

TEST_F(RenderTest, AMinuteOfRampReachesTheSpeakerBitExactAtTheNominalRate) {
    CUsbRenderStream* stream = MakeRender();
    model_->RecordPackets(true);
    RecordingClient client("wave");
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(2, 44100, 16)), STATUS_SUCCESS);
    RunFor(60000);
    Finish(stream, client);
    std::vector<ULONG> samples = Samples(model_->PacketLengths(), 4);
    EXPECT_GE(samples.size(), 60000u);
    ExpectNominalRate(samples, 10, 44100);
    const uint64_t filled = client.FramesFilled();
    EXPECT_EQ(filled, std::accumulate(samples.begin(), samples.end(), (uint64_t)0));
    auto lock = device().lock();
    const std::vector<uint8_t>& recorded = device().Sink(kRenderEndpoint)->recorded();
    ASSERT_EQ(recorded.size(), filled * 4);
    EXPECT_TRUE(recorded == Ramp(filled, 2)) << "the speaker got something other than the ramp";
    EXPECT_EQ(device().Sink(kRenderEndpoint)->underruns(), 0u);
}

TEST_F(RenderTest, EveryOpenBeginsThePacketPatternAfresh) {
    CUsbRenderStream* stream = MakeRender();
    model_->RecordPackets(true);
    RecordingClient client("wave");
    // Transfers of 3 packets: stopping after a few leaves the 10-packet
    // pattern half way.
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(2, 44100, 16), 3, 3), STATUS_SUCCESS);
    RunFor(7);
    Finish(stream, client);
    const size_t first = model_->PacketLengths().size();
    ASSERT_NE(first % 10, 0u);
    RecordingClient again("wave again");
    ASSERT_EQ(Start(stream, again, CYCLIC_CLIENT_WAVE, PcmFormat(2, 44100, 16)), STATUS_SUCCESS);
    RunFor(30);
    Finish(stream, again);
    std::vector<ULONG> samples = Samples(model_->PacketLengths(), 4);
    samples.erase(samples.begin(), samples.begin() + first);
    ExpectNominalRate(samples, 10, 44100);
    EXPECT_EQ(samples[9], 45u);
}

TEST_F(RenderTest, ASpeakerThatStallsTheSamplingRateStillPlays) {
    simusb::ControlRule stall;
    stall.bmRequestType = 0x22;  // class request to an endpoint
    stall.bRequest = 0x01;
    device().AddControlRule(stall);
    CUsbRenderStream* stream = MakeRender();
    RecordingClient client("wave");
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16)), STATUS_SUCCESS);
    RunFor(100);
    Finish(stream, client);
    EXPECT_GE(client.MessagesWithCode(CYCLIC_MSG_BYTES_DONE).size(), 15u);
    EXPECT_EQ(model_->BusyCount(), 0);
}

TEST_F(RenderTest, UnpluggedSpeakerStillReportsEveryTransferAndStopsSubmitting) {
    CUsbRenderStream* stream = MakeRender();
    model_->LogTransfers(true);
    RecordingClient client("wave");
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16)), STATUS_SUCCESS);
    RunFor(50);
    bus().Unplug();
    RunFor(500);
    EXPECT_TRUE(stream->DeviceGone());
    auto submitted = [&] {
        size_t n = 0;
        for (const std::string& t : timeline_.Texts()) n += t.rfind("iso start", 0) == 0;
        return n;
    };
    const size_t before = submitted();
    RunFor(500);
    EXPECT_EQ(submitted(), before);
    Finish(stream, client);
    // One BYTES_DONE per transfer sent, failed ones included.
    EXPECT_EQ(client.MessagesWithCode(CYCLIC_MSG_BYTES_DONE).size(), before);
    EXPECT_EQ(stream->StreamState(), STREAM_STATE_CLOSED);
}

// The debugger lines that start a run of failed transfers.
std::vector<std::string> FailureRunLines() {
    std::vector<std::string> lines;
    for (const std::string& line : sim::DebugLog())
        if (line.rfind("render stream of interface 1: transfers failing", 0) == 0) lines.push_back(line);
    return lines;
}

// A speaker whose endpoint carries 8 bytes a packet: the bus refuses every
// 192-byte packet. The stream keeps counting the failed transfers as done
// (the client's position moves), counts them as failed and says so once.
class RenderFailureTest : public UsbStreamTest {
protected:
    Uac1DeviceSpec DeviceSpec() override {
        Uac1DeviceSpec spec;
        spec.outMaxPacket = 8;
        return spec;
    }
};

TEST_F(RenderFailureTest, EndpointTooSmallFailsEveryTransferAndLogsTheRunOnce) {
    CUsbRenderStream* stream = MakeRender();
    RecordingClient client("wave");
    sim::ClearDebugOutput();
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16)), STATUS_SUCCESS);
    RunFor(300);
    Finish(stream, client);
    auto lock = device().lock();
    EXPECT_EQ(device().Sink(kRenderEndpoint)->framesReceived(), 0u);
    EXPECT_GT(stream->FailedTransfers(), 1u);
    EXPECT_GE(client.MessagesWithCode(CYCLIC_MSG_BYTES_DONE).size(), stream->FailedTransfers());
    EXPECT_EQ(FailureRunLines().size(), 1u) << ::testing::PrintToString(sim::DebugLog());
}

// Two failed packets far apart are two runs of failures, each logged when
// it starts; the transfers between them succeed.
TEST_F(RenderTest, EachRunOfFailedTransfersIsLoggedWhenItStarts) {
    CUsbRenderStream* stream = MakeRender();
    RecordingClient client("wave");
    sim::ClearDebugOutput();
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16)), STATUS_SUCCESS);
    RunFor(50);
    EXPECT_EQ(stream->FailedTransfers(), 0u);
    EXPECT_TRUE(FailureRunLines().empty());
    for (int run = 1; run <= 2; ++run) {
        device().ScriptPacketStatuses(kRenderEndpoint, {USBD_STATUS_ISO_TD_ERROR});
        RunFor(300);
        EXPECT_EQ(stream->FailedTransfers(), (ULONG)run);
        EXPECT_EQ(FailureRunLines().size(), (size_t)run);
    }
    Finish(stream, client);
}

}  // namespace
}  // namespace streamtest

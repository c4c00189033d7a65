#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>

#include "platform/usb/sim_device.h"

namespace {

using simusb::Bytes;
using simusb::SimDevice;

struct FeedbackCase {
    const char* name;
    double rate;
    bool highSpeed;
    Bytes wire;
};

class FeedbackEncodingTest : public ::testing::TestWithParam<FeedbackCase> {};

// 10.14 samples per frame (full speed) and 16.16 samples per microframe
// (high speed), and the rate a host decodes from them (value x packets per
// second / 2^16, full-speed values shifted left by 2) lies within 0.1 Hz.
TEST_P(FeedbackEncodingTest, EncodesPerUsb2) {
    const FeedbackCase& c = GetParam();
    uint8_t out[4] = {0, 0, 0, 0};
    const ULONG n = simusb::EncodeFeedback(c.rate, c.highSpeed, out);
    ASSERT_EQ(n, c.wire.size());
    EXPECT_EQ(Bytes(out, out + n), c.wire);
    ULONG value = 0;
    for (ULONG i = 0; i < n; ++i) value |= (ULONG)out[i] << (8 * i);
    const double decoded = c.highSpeed ? value * 8000.0 / 65536.0 : (value << 2) * 1000.0 / 65536.0;
    EXPECT_NEAR(decoded, c.rate, 0.1);
}

INSTANTIATE_TEST_SUITE_P(
    Feedback, FeedbackEncodingTest,
    ::testing::Values(FeedbackCase{"Full48k", 48000, false, {0x00, 0x00, 0x0C}},
                      FeedbackCase{"Full44k1", 44100, false, {0x66, 0x06, 0x0B}},
                      FeedbackCase{"Full96k", 96000, false, {0x00, 0x00, 0x18}},
                      FeedbackCase{"Full48kPlus100ppm", 48004.8, false, {0x4F, 0x00, 0x0C}},
                      FeedbackCase{"High48k", 48000, true, {0x00, 0x00, 0x06, 0x00}},
                      FeedbackCase{"High44k1", 44100, true, {0x33, 0x83, 0x05, 0x00}},
                      FeedbackCase{"High192k", 192000, true, {0x00, 0x00, 0x18, 0x00}}),
    [](const auto& info) { return std::string(info.param.name); });

// The other speed's width: 10.14 per 1 ms frame in 3 bytes at high speed,
// 16.16 per 1 ms frame at full speed, cut to the 3 bytes a full-speed
// host reads.
TEST(FeedbackEncodingTest, OtherWidthEncodesPerMillisecond) {
    struct Case {
        double rate;
        bool highSpeed;
        ULONG capacity;
        Bytes wire;
    };
    for (const Case& c : {Case{48000, true, 4, {0x00, 0x00, 0x0C}}, Case{44100, true, 4, {0x66, 0x06, 0x0B}},
                          Case{48000, false, 4, {0x00, 0x00, 0x30, 0x00}}, Case{48000, false, 3, {0x00, 0x00, 0x30}},
                          Case{44100, false, 3, {0x9A, 0x19, 0x2C}}}) {
        uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        const ULONG n = simusb::EncodeOtherWidthFeedback(c.rate, c.highSpeed, out, c.capacity);
        EXPECT_EQ(Bytes(out, out + n), c.wire) << c.rate << (c.highSpeed ? " high" : " full") << " " << c.capacity;
    }
}

void Configure(SimDevice& d, UCHAR interfaceNumber, UCHAR alt) {
    uint8_t none = 0;
    d.HandleControlTransfer({0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0}, &none, 0);
    d.HandleControlTransfer({0x01, USB_REQUEST_SET_INTERFACE, alt, interfaceNumber, 0}, &none, 0);
}

struct DriftCase {
    const char* name;
    bool uac2;       // built-in 2.0 device (high speed, 8 bytes/frame) or 1.0 headset
    ULONG rate;      // UAC 1.0: endpoint rate; UAC 2.0: clock rate
    double ppm;      // device clock drift
};

class SinkUnderFeedbackTest : public ::testing::TestWithParam<DriftCase> {};

// A host that sizes its packets from the latest feedback, reading it once
// per 10 ms transfer as the asynchronous render stream does, keeps the
// device FIFO near its target for three simulated minutes of a drifting
// device clock: no underrun, no overrun, bounded error after settling.
TEST_P(SinkUnderFeedbackTest, FifoStaysBounded) {
    const DriftCase& c = GetParam();
    SimDevice d(c.uac2 ? simusb::BuildUac2AsyncDevice() : simusb::BuildUac1Headset());
    Bytes scratch(64);
    if (c.uac2) {
        uint8_t r[4] = {(uint8_t)c.rate, (uint8_t)(c.rate >> 8), (uint8_t)(c.rate >> 16), 0};
        d.HandleControlTransfer({0x21, 0x01, 0x0100, 0x0A00, 4}, r, 4);
    }
    Configure(d, 1, 1);
    if (!c.uac2) {
        uint8_t r[3] = {(uint8_t)c.rate, (uint8_t)(c.rate >> 8), (uint8_t)(c.rate >> 16)};
        d.HandleControlTransfer({0x22, 0x01, 0x0100, 0x0001, 3}, r, 3);
    }
    simusb::AudioSink* sink = d.Sink(0x01);
    ASSERT_NE(sink, nullptr);
    ASSERT_EQ(sink->rate(), c.rate);
    sink->SetDriftPpm(c.ppm);
    sink->SetRecording(false);
    const ULONG frameBytes = c.uac2 ? 8 : 4;
    const ULONG packetsPerSecond = c.uac2 ? 8000 : 1000;
    const ULONG packetsPerTransfer = packetsPerSecond / 100;
    Bytes packet(4096);

    double hostRate = c.rate;
    double remainder = 0;
    int64_t worst = 0;
    const ULONG seconds = 180;
    for (ULONG t = 0; t < seconds * 100; ++t) {
        uint8_t fb[4] = {0, 0, 0, 0};
        if (c.uac2) {
            const simusb::IsoPacketResult r = d.ProduceIsoIn(0x81, fb, 4);
            ASSERT_EQ(r.bytes, 4u);
            hostRate = (fb[0] | fb[1] << 8 | fb[2] << 16 | (ULONG)fb[3] << 24) * 8000.0 / 65536.0;
        } else {
            hostRate = sink->FeedbackRateHz();  // the 1.0 headset has no feedback endpoint
        }
        for (ULONG p = 0; p < packetsPerTransfer; ++p) {
            remainder += hostRate / packetsPerSecond;
            const ULONG frames = (ULONG)remainder;
            remainder -= frames;
            ASSERT_EQ(d.ConsumeIsoOut(0x01, packet.data(), frames * frameBytes).status,
                      USBD_STATUS_SUCCESS);
        }
        if (t >= 200) worst = std::max<int64_t>(worst, std::llabs(sink->fill() - sink->target()));
    }
    EXPECT_EQ(sink->underruns(), 0u);
    EXPECT_EQ(sink->overruns(), 0u);
    EXPECT_LE(worst, sink->target() / 2) << "target " << sink->target();
    const double expected = c.rate * (1 + c.ppm / 1e6) * seconds;
    EXPECT_NEAR((double)sink->framesReceived(), expected, (double)sink->capacity());
}

INSTANTIATE_TEST_SUITE_P(Feedback, SinkUnderFeedbackTest,
                         ::testing::Values(DriftCase{"Full48kFast", false, 48000, 300},
                                           DriftCase{"Full44k1Slow", false, 44100, -500},
                                           DriftCase{"High192kFast", true, 192000, 200},
                                           DriftCase{"High44k1Slow", true, 44100, -150}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AudioSource, RampsOnItsOwnClockAfterEmptyStartPackets) {
    SimDevice d(simusb::BuildUac1Headset());
    Configure(d, 2, 1);
    uint8_t r[3] = {0x44, 0xAC, 0x00};  // 44100 Hz
    d.HandleControlTransfer({0x22, 0x01, 0x0100, 0x0082, 3}, r, 3);
    simusb::AudioSource* source = d.Source(0x82);
    ASSERT_NE(source, nullptr);
    source->SetEmptyStartPackets(2);
    Bytes packet(98);
    std::vector<ULONG> sizes;
    Bytes all;
    for (int i = 0; i < 12; ++i) {
        const simusb::IsoPacketResult res = d.ProduceIsoIn(0x82, packet.data(), 98);
        ASSERT_EQ(res.status, USBD_STATUS_SUCCESS);
        sizes.push_back(res.bytes / 2);
        all.insert(all.end(), packet.begin(), packet.begin() + res.bytes);
    }
    EXPECT_EQ(sizes, (std::vector<ULONG>{0, 0, 44, 44, 44, 44, 44, 44, 44, 45, 44, 44}));
    const simusb::StreamFormat mono{1, 2, 16};
    for (size_t f = 0; f < all.size() / 2; ++f) {
        const int16_t s = (int16_t)(all[2 * f] | all[2 * f + 1] << 8);
        ASSERT_EQ(s, simusb::RampSample(f, 0, mono)) << "frame " << f;
    }
}

struct SubframeCase {
    const char* name;
    UCHAR subframeSize;  // as a descriptor declares it
    bool streams;
    std::optional<LONG> ramp;  // RampSample of frame 0x1234, channel 8 (0x9234)
};

class SourceSubframeTest : public ::testing::TestWithParam<SubframeCase> {};

// Samples of 1 to 4 bytes go out little-endian, the 16-bit ramp
// left-aligned in them (channel 8 ramps through negative values). Any
// other declared size leaves the source stopped and the buffer untouched.
TEST_P(SourceSubframeTest, StreamsOnlyOneToFourByteSamples) {
    const SubframeCase& c = GetParam();
    const simusb::StreamFormat format{9, c.subframeSize, 16};
    if (c.ramp) {
        EXPECT_EQ(simusb::RampSample(0x1234, 8, format), *c.ramp);
    }
    simusb::AudioSource source;
    source.Start(48000, format, 1000);
    EXPECT_EQ(source.running(), c.streams);
    Bytes packet(9 * 4 * 48 + 1, 0xEE);
    const ULONG bytes = source.Packet(packet.data(), (ULONG)packet.size() - 1);
    if (!c.streams) {
        EXPECT_EQ(bytes, 0u);
        EXPECT_EQ(packet, Bytes(packet.size(), 0xEE));
        return;
    }
    const ULONG size = c.subframeSize;
    ASSERT_EQ(bytes, 48 * 9 * size);
    EXPECT_EQ(packet[bytes], 0xEE);
    for (ULONG f = 0; f < 48; ++f) {
        for (ULONG ch = 0; ch < 9; ++ch) {
            const uint8_t* p = packet.data() + (f * 9 + ch) * size;
            int64_t value = 0;
            for (ULONG i = 0; i < size; ++i) value |= (int64_t)p[i] << (8 * i);
            if (p[size - 1] & 0x80) value -= (int64_t)1 << (8 * size);  // sign
            const int64_t ramp = (int16_t)(uint16_t)(f + ch * 0x1000);
            const int64_t expected = size == 1 ? ramp >> 8 : ramp * ((int64_t)1 << (8 * size - 16));
            ASSERT_EQ(value, expected) << "frame " << f << " channel " << ch;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Source, SourceSubframeTest,
    ::testing::Values(SubframeCase{"Zero", 0, false, std::nullopt},
                      SubframeCase{"One", 1, true, (LONG)0xFFFFFF92},
                      SubframeCase{"Two", 2, true, (LONG)0xFFFF9234},
                      SubframeCase{"Three", 3, true, (LONG)0xFF923400},
                      SubframeCase{"Four", 4, true, (LONG)0x92340000},
                      SubframeCase{"Five", 5, false, (LONG)0x92340000},
                      SubframeCase{"Eight", 8, false, (LONG)0x92340000},
                      SubframeCase{"Max", 255, false, (LONG)0x92340000}),
    [](const auto& info) { return std::string(info.param.name); });

// A microphone whose descriptor declares subframeSize-byte mono samples.
simusb::DescriptorSet Microphone(UCHAR subframeSize) {
    simusb::DescriptorSet set = simusb::BuildUac1Headset();
    simusb::ConfigBuilder c;
    c.Configuration()
        .Interface(0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, 0)
        .Uac1Header({1})
        .Uac1InputTerminal(1, 0x0201, 1, 0)
        .Uac1OutputTerminal(2, simusb::UAC_TERMINAL_USB_STREAMING, 1)
        .Interface(1, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0)
        .Interface(1, 1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0)
        .Uac1AsGeneral(2, 1, 0x0001)
        .Uac1FormatTypeI(1, subframeSize, 16, {48000})
        .AudioEndpoint(0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS, 512, 1)
        .Uac1IsoEndpoint(0x01);
    set.configuration = c.Build();
    return set;
}

// Selecting a setting whose samples the device cannot carry does not start
// its endpoint: the host's IN packets are not accessed, nothing is written.
TEST(AudioSource, DeviceDoesNotStreamSubframesOverFourBytes) {
    const struct {
        UCHAR subframeSize;
        USBD_STATUS status;
        ULONG bytes;
    } cases[] = {{4, USBD_STATUS_SUCCESS, 48 * 4}, {8, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW, 0}};
    for (const auto& c : cases) {
        SimDevice d(Microphone(c.subframeSize));
        Configure(d, 1, 1);
        Bytes packet(513, 0xEE);
        const simusb::IsoPacketResult r = d.ProduceIsoIn(0x82, packet.data(), 512);
        EXPECT_EQ(r.status, c.status) << "subframe " << (int)c.subframeSize;
        EXPECT_EQ(r.bytes, c.bytes) << "subframe " << (int)c.subframeSize;
        EXPECT_EQ(packet[c.bytes], 0xEE);
    }
}

TEST(AudioSink, RecordsEverySampleInOrderAndScriptedErrorsLoseData) {
    SimDevice d(simusb::BuildUac1Headset());
    Configure(d, 1, 1);
    d.ScriptPacketStatuses(0x01, {USBD_STATUS_SUCCESS, USBD_STATUS_DATA_OVERRUN});
    Bytes packet(192);
    for (int i = 0; i < 3; ++i) {
        for (size_t k = 0; k < packet.size(); ++k) packet[k] = (uint8_t)(i * 7 + k);
        const simusb::IsoPacketResult r = d.ConsumeIsoOut(0x01, packet.data(), 192);
        EXPECT_EQ(r.status, i == 1 ? USBD_STATUS_DATA_OVERRUN : USBD_STATUS_SUCCESS);
    }
    const simusb::AudioSink* sink = d.Sink(0x01);
    EXPECT_EQ(sink->framesReceived(), 96u);
    ASSERT_EQ(sink->recorded().size(), 384u);
    EXPECT_EQ(sink->recorded()[0], 0);
    EXPECT_EQ(sink->recorded()[192], 14);  // the third packet follows the first
    EXPECT_EQ(d.ConsumeIsoOut(0x02, packet.data(), 4).status, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW);
}

}  // namespace

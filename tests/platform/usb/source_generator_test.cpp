// A source's samples from a generator (the host program's microphone) and
// its log of what it sent, across a restart of the stream.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/usb/uac_stream.h"

namespace {

TEST(SourceGenerator, SamplesComeFromTheGeneratorAndTheLogKeepsThemAcrossRestarts) {
    simusb::AudioSource source;
    simusb::StreamFormat mono16{1, 2, 16};
    source.SetGenerator([](uint64_t frame, UCHAR, const simusb::StreamFormat&, ULONG) { return (LONG)(1000 + frame); });
    source.SetRecording(true);
    source.Start(48000, mono16, 1000);
    uint8_t packet[200];
    ASSERT_EQ(source.Packet(packet, sizeof(packet)), 96u);
    int16_t first;
    std::memcpy(&first, packet, 2);
    EXPECT_EQ(first, 1000);
    source.Start(44100, mono16, 1000);  // reopened at another rate: frames count on
    ULONG bytes = source.Packet(packet, sizeof(packet));
    ASSERT_EQ(bytes, 88u);
    int16_t next;
    std::memcpy(&next, packet, 2);
    EXPECT_EQ(next, 1048);
    ASSERT_EQ(source.recorded().size(), 96u + 88u);
    EXPECT_EQ(std::memcmp(source.recorded().data() + 96, packet, 88), 0);
    source.SetGenerator(nullptr);
    source.Packet(packet, sizeof(packet));
    std::memcpy(&next, packet, 2);
    EXPECT_EQ(next, (int16_t)simusb::RampSample(48 + 44, 0, mono16));  // the ramp again, frame 92
}

}  // namespace

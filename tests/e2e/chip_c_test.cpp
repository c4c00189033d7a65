// A chip-family-C speaker end to end: the driver offers 8-channel formats
// on its render filter, a client plays an 8-channel ramp through the wave
// pin, and the speaker receives channels 0 and 1 of it in 192-byte
// packets, one stream-limiter delay (256 frames) after the pin's lead-in.
#include <cstring>

#include "tests/e2e/e2e_fixture.h"
#include "tests/fakes/uac1/chip_c_feature_unit.h"
#include "tools/host/host_controls.h"
#include "tools/host/host_stream.h"

namespace e2etest {
namespace {

constexpr ULONG kLimiterDelay = 256;

// Frame n of channel c: n + 1 + 0x1000 c, never silent.
int16_t RampSample(uint64_t n, ULONG c) { return (int16_t)(uint16_t)(n + 1 + c * 0x1000); }

std::vector<uint8_t> EightChannelRamp(uint64_t frames) {
    std::vector<uint8_t> bytes;
    for (uint64_t n = 0; n < frames; n++)
        for (ULONG c = 0; c < 8; c++) {
            const uint16_t v = (uint16_t)RampSample(n, c);
            bytes.push_back((uint8_t)v);
            bytes.push_back((uint8_t)(v >> 8));
        }
    return bytes;
}

class ChipCTest : public E2eTest {
protected:
    uac1fakes::ScopedChipCFeatureUnit m_EffectUnit;
};

TEST_F(ChipCTest, SpeakerReceivesChannelsZeroAndOneAfterTheLimiter) {
    ASSERT_EQ(StartSession(E2E_SOURCE_DIR "/tests/fixtures/uac1/chip_c_speaker.txt"), STATUS_SUCCESS);
    const auto offered = host::OfferedFormats(Session(), Session().FindWaveFilter(false));
    ASSERT_EQ(offered.size(), 1u);
    EXPECT_EQ(offered[0].Format.nChannels, 8);
    EXPECT_EQ(offered[0].dwChannelMask, 0x63Fu);

    const WAVEFORMATEXTENSIBLE format = offered[0];
    const uint64_t frames = 48000 / 2;
    const std::vector<uint8_t> played = EightChannelRamp(frames);
    host::BytesSource source(played);
    std::vector<uint8_t> received;
    std::vector<size_t> packets;
    host::StreamRun run = host::Play(
        Session(), format, source,
        [&](const uint8_t* data, size_t bytes) {
            packets.push_back(bytes);
            received.insert(received.end(), data, data + bytes);
        },
        nullptr);
    ASSERT_FALSE(run.formatRefused) << run.error;
    ASSERT_NE(run.endpoint, 0) << run.error;
    EXPECT_EQ(run.status, STATUS_SUCCESS) << run.error;
    // The host counts the speaker's stereo frames as frames: every played
    // frame arrived.
    EXPECT_EQ(run.signalFrames, run.playedFrames);

    // Every packet of the run carries 48 stereo frames of 16 bits.
    ASSERT_GT(packets.size(), 500u);
    for (size_t i = 0; i < packets.size(); i++) ASSERT_EQ(packets[i], 192u) << "packet " << i;

    // Silence while the pin leads in and the limiter fills, then the ramp's
    // first two channels, frame by frame.
    const size_t frameBytes = 4;
    size_t lead = 0;
    while (lead * frameBytes + frameBytes <= received.size() && received[lead * 4] == 0 && received[lead * 4 + 1] == 0 &&
           received[lead * 4 + 2] == 0 && received[lead * 4 + 3] == 0)
        lead++;
    const size_t pinLead = 48 * 5 * 3;  // 5 frames per transfer x 3 transfers, as every wave pin
    EXPECT_EQ(lead, pinLead + kLimiterDelay);
    ASSERT_GE(received.size(), (lead + frames - kLimiterDelay) * frameBytes);
    for (uint64_t n = 0; n + kLimiterDelay < frames; n++) {
        const uint8_t* got = received.data() + (lead + n) * frameBytes;
        int16_t left, right;
        memcpy(&left, got, 2);
        memcpy(&right, got + 2, 2);
        ASSERT_EQ(left, RampSample(n, 0)) << "frame " << n;
        ASSERT_EQ(right, RampSample(n, 1)) << "frame " << n;
    }
}

// A chip-A speaker's unit 13 takes levels through its fixed conversion:
// a volume request on the topology filter reaches the device as
// (trunc((L + 36 dB) / 1.5 dB) - 28) << 8.
TEST_F(E2eTest, ChipALevelReachesTheDeviceThroughItsFixedConversion) {
    ASSERT_EQ(StartSession(E2E_SOURCE_DIR "/tests/fixtures/uac1/chip_a_speaker.txt"), STATUS_SUCCESS);
    host::RenderControls controls = host::FindRenderControls(Session());
    ASSERT_TRUE(controls.hasVolume);
    Session().Device().ClearRequestLog();
    ASSERT_EQ(host::SetVolume(Session(), controls.volumeNode, 22 * 65536 + 32768), STATUS_SUCCESS);
    ASSERT_EQ(host::SetVolume(Session(), controls.volumeNode, -36 * 65536), STATUS_SUCCESS);
    std::vector<simusb::Bytes> sent;
    for (const simusb::ControlLogEntry& e : Session().Device().RequestLog())
        if (e.setup.bmRequestType == 0x21 && e.setup.bRequest == 0x01 && e.setup.wIndex == (13 << 8) &&
            e.setup.wValue == (2 << 8))
            sent.push_back(e.data);
    EXPECT_EQ(sent, (std::vector<simusb::Bytes>{{0x00, 0x0B}, {0x00, 0xE4}}));
    LONG level = 0;
    ASSERT_EQ(host::GetVolume(Session(), controls.volumeNode, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, -36 * 65536);
}

}  // namespace
}  // namespace e2etest

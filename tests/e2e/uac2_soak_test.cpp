// Ten simulated minutes of a ramp into the simulated high-speed asynchronous
// device whose clock runs fast or slow: every frame arrives bit-exact and
// in order, and feedback keeps the device's buffer from overflowing. The
// ramp is made and checked block by block, so memory stays bounded.
#include <algorithm>

#include "tests/e2e/e2e_fixture.h"
#include "tests/fakes/stream/formats.h"
#include "tools/host/host_stream.h"

namespace e2etest {
namespace {

constexpr UCHAR kRenderEndpoint = 0x01;
constexpr unsigned kChannels = 2;

// Sample i of the ramp: never silence, no repeat within the run.
uint16_t RampSample(uint64_t i) { return (uint16_t)(1 + (i * 2654435761u >> 7) % 65535); }

class RampSource : public host::PcmSource {
public:
    explicit RampSource(uint64_t frames) : m_Samples(frames * kChannels) {}
    uint64_t TotalBytes() const override { return m_Samples * 2; }
    size_t Read(uint8_t* out, size_t maxBytes) override {
        const size_t samples = (size_t)std::min<uint64_t>(maxBytes / (2 * kChannels) * kChannels,
                                                          m_Samples - m_Next);
        for (size_t k = 0; k < samples; ++k, ++m_Next) {
            const uint16_t v = RampSample(m_Next);
            out[2 * k] = (uint8_t)v;
            out[2 * k + 1] = (uint8_t)(v >> 8);
        }
        return samples * 2;
    }

private:
    uint64_t m_Samples, m_Next = 0;
};

// What the device took: silent frames first, then the ramp, then silence.
class RampCheck {
public:
    explicit RampCheck(uint64_t frames) : m_Samples(frames * kChannels) {}
    void Take(const uint8_t* data, size_t bytes) {
        for (size_t i = 0; i < bytes; ++i) {
            m_Frame[m_Have++] = data[i];
            if (m_Have == sizeof(m_Frame)) Frame();
        }
    }
    uint64_t matched = 0, mismatched = 0;

private:
    void Frame() {
        m_Have = 0;
        bool silent = true;
        for (uint8_t b : m_Frame) silent = silent && b == 0;
        if (!m_Started && silent) return;
        m_Started = true;
        for (unsigned c = 0; c < kChannels && m_Next < m_Samples; ++c, ++m_Next) {
            const uint16_t v = (uint16_t)(m_Frame[2 * c] | m_Frame[2 * c + 1] << 8);
            ++(v == RampSample(m_Next) ? matched : mismatched);
        }
    }
    uint64_t m_Samples, m_Next = 0;
    uint8_t m_Frame[2 * kChannels] = {};
    size_t m_Have = 0;
    bool m_Started = false;
};

class Uac2SoakTest : public E2eTest, public ::testing::WithParamInterface<double> {};

TEST_P(Uac2SoakTest, TenMinutesArriveBitExactWithTheBufferBounded) {
    const ULONG rate = 48000;
    const uint64_t frames = (uint64_t)rate * 600;
    ASSERT_EQ(StartSession(std::string(E2E_SOURCE_DIR) + "/tests/fixtures/usb/uac2_async_device.txt", "",
                           simusb::UsbSpeed::High),
              STATUS_SUCCESS);
    Session().Device().SetSinkDriftPpm(kRenderEndpoint, GetParam());
    RampSource source(frames);
    RampCheck check(frames);
    host::StreamRun run =
        host::Play(Session(), streamfakes::PcmFormat(kChannels, rate, 16), source,
                   [&](const uint8_t* data, size_t bytes) { check.Take(data, bytes); }, nullptr);
    ASSERT_EQ(run.status, STATUS_SUCCESS) << run.error;
    EXPECT_EQ(run.failedTransfers, 0u);
    EXPECT_EQ(run.signalFrames, frames);
    EXPECT_EQ(check.matched, frames * kChannels);
    EXPECT_EQ(check.mismatched, 0u);
    auto lock = Session().Device().lock();
    const simusb::AudioSink* sink = Session().Device().Sink(kRenderEndpoint);
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(sink->overruns(), 0u);
    EXPECT_EQ(sink->partialPackets(), 0u);
    EXPECT_LE(sink->fill(), sink->capacity());
}

INSTANTIATE_TEST_SUITE_P(Drift, Uac2SoakTest, ::testing::Values(300.0, -300.0),
                         [](const ::testing::TestParamInfo<double>& info) {
                             return std::string(info.param > 0 ? "Fast300ppm" : "Slow300ppm");
                         });

}  // namespace
}  // namespace e2etest

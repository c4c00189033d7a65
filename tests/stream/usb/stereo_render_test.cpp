// Chip family C's render stream on a simulated stereo speaker: clients
// write 8 channels, the speaker receives channels 0 and 1 of every frame,
// after the stream limiter; the packet and message sizes that follow from
// it; the reduction for every sample size; the limiter pass's chunks,
// floating-point state and absence.
#include <xmmintrin.h>

#include <cstring>
#include <numeric>

#include "stream/usb/usb_stereo_render_stream.h"
#include "tests/stream/usb/stream_fixture.h"

namespace streamtest {
namespace {

// The stream with its steps reachable: the format it runs, the limiter
// pass and the reduction.
class ExposedStereoStream : public CUsbStereoRenderStream {
public:
    using CUsbStereoRenderStream::CUsbStereoRenderStream;
    void UseFormat(const WAVEFORMATEXTENSIBLE& format) {
        m_CurrentWaveFormat = format;
        if (m_pLimiter != NULL) m_pLimiter->SetFormat(&format);
    }
    using CUsbStereoRenderStream::LimitBlock;
    using CUsbStereoRenderStream::ReduceToStereo;
};

std::vector<FormatAlt> StereoFormats() {
    return {{PcmFormat(8, 48000, 16), kAltStreaming},
            {PcmFormat(8, 44100, 16), kAltStreaming},
            {PcmFormat(2, 48000, 16), kAltStreaming},
            {PcmFormat(3, 48000, 16), kAltStreaming},
            {PcmFormat(10, 48000, 16), kAltStreaming}};
}

// Channels 0 and 1 of the clients' 8-channel ramp from frame `from` on,
// `frames` frames, the frames before frame 0 silent.
std::vector<uint8_t> FirstTwoOfRamp(int64_t from, uint64_t frames) {
    std::vector<uint8_t> bytes;
    for (uint64_t i = 0; i < frames; i++)
        for (ULONG c = 0; c < 2; c++) {
            const int64_t n = from + (int64_t)i;
            const int16_t v = n < 0 ? 0 : RampValue((uint64_t)n, c);
            bytes.push_back((uint8_t)v);
            bytes.push_back((uint8_t)((uint16_t)v >> 8));
        }
    return bytes;
}

class StereoRenderTest : public UsbStreamTest {
protected:
    void TearDown() override {
        limiterfake::SetContractMode(false);
        UsbStreamTest::TearDown();
    }
    ExposedStereoStream* MakeStereo() { return Make<ExposedStereoStream>(kRenderInterface, 0, StereoFormats()); }

    // Plays `ms` of the client's ramp in transfers of 10 frames; the
    // speaker's bytes.
    std::vector<uint8_t> Play(ExposedStereoStream* stream, RecordingClient& client, WAVEFORMATEXTENSIBLE format,
                              LONGLONG ms) {
        EXPECT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, format, 10, 3), STATUS_SUCCESS);
        RunFor(ms);
        Finish(stream, client);
        auto lock = device().lock();
        return device().Sink(kRenderEndpoint)->recorded();
    }
};

struct StereoPacketCase {
    const char* name;
    ULONG rate;
    std::vector<ULONG> wirePackets;  // bytes of the first ten packets
    ULONG doneBytes;                 // BYTES_DONE of one transfer
};

class StereoPackets : public StereoRenderTest, public ::testing::WithParamInterface<StereoPacketCase> {};

TEST_P(StereoPackets, WireCarriesTwoOfEightChannels) {
    const StereoPacketCase& c = GetParam();
    ExposedStereoStream* stream = MakeStereo();
    model_->RecordPackets(true);
    RecordingClient client("wave", nullptr, 8);
    Play(stream, client, PcmFormat(8, c.rate, 16), 100);
    std::vector<ULONG> lengths = model_->PacketLengths();
    ASSERT_GE(lengths.size(), 20u);
    EXPECT_EQ(std::vector<ULONG>(lengths.begin(), lengths.begin() + 10), c.wirePackets);
    auto done = client.MessagesWithCode(CYCLIC_MSG_BYTES_DONE);
    ASSERT_FALSE(done.empty());
    EXPECT_EQ(done[0].value, c.doneBytes);
    EXPECT_EQ(std::accumulate(c.wirePackets.begin(), c.wirePackets.end(), 0u) * 4, c.doneBytes);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StereoPackets,
    ::testing::Values(StereoPacketCase{"Rate48k", 48000, std::vector<ULONG>(10, 192), 7680},
                      StereoPacketCase{"Rate44k1", 44100, {176, 176, 176, 176, 176, 176, 176, 176, 176, 180}, 7056}),
    [](const auto& info) { return std::string(info.param.name); });

// The speaker gets channels 0 and 1 of the ramp one limiter delay late,
// every frame the client filled.
TEST_F(StereoRenderTest, SpeakerGetsChannelsZeroAndOneAfterTheLimiterDelay) {
    limiterfake::SetContractMode(true);
    ExposedStereoStream* stream = MakeStereo();
    RecordingClient client("wave", nullptr, 8);
    std::vector<uint8_t> recorded = Play(stream, client, PcmFormat(8, 48000, 16), 200);
    const uint64_t filled = client.FramesFilled();
    ASSERT_GT(filled, 2000u);
    ASSERT_EQ(recorded.size(), filled * 4);
    const std::vector<uint8_t> expected = FirstTwoOfRamp(-limiterfake::LIMITER_CONTRACT_DELAY, filled);
    const auto mismatch = std::mismatch(recorded.begin(), recorded.end(), expected.begin());
    EXPECT_EQ(mismatch.first, recorded.end()) << "first difference in frame " << (mismatch.first - recorded.begin()) / 4;
}

// A stream whose limiter could not be made sends the data path's output
// as it is.
TEST_F(StereoRenderTest, WithoutLimiterNothingIsDelayed) {
    limiterfake::SetContractMode(true);
    limiterfake::FailAllocation(true);
    ExposedStereoStream* stream = MakeStereo();
    RecordingClient client("wave", nullptr, 8);
    std::vector<uint8_t> recorded = Play(stream, client, PcmFormat(8, 48000, 16), 100);
    const uint64_t filled = client.FramesFilled();
    ASSERT_EQ(recorded.size(), filled * 4);
    EXPECT_TRUE(recorded == FirstTwoOfRamp(0, filled));
}

// Two channels go out unchanged, in packets of the client's size.
TEST_F(StereoRenderTest, TwoChannelsPassUnchanged) {
    ExposedStereoStream* stream = MakeStereo();
    model_->RecordPackets(true);
    RecordingClient client("wave", nullptr, 2);
    std::vector<uint8_t> recorded = Play(stream, client, PcmFormat(2, 48000, 16), 100);
    EXPECT_EQ(model_->PacketLengths()[0], 192u);
    EXPECT_EQ(client.MessagesWithCode(CYCLIC_MSG_BYTES_DONE)[0].value, 1920u);
    EXPECT_TRUE(recorded == FirstTwoOfRamp(0, client.FramesFilled()));
}

TEST_F(StereoRenderTest, OpenRefusesOddOrTooManyChannels) {
    ExposedStereoStream* stream = MakeStereo();
    for (USHORT channels : {3, 10}) {
        RecordingClient client("wave", nullptr, channels);
        ASSERT_EQ(client.Register(stream, CYCLIC_CLIENT_WAVE, PcmFormat(channels, 48000, 16), 10, 3), STATUS_SUCCESS);
        ULONG frames = 0, frame = 0;
        EXPECT_EQ(stream->ClientAcquire(client.Handle(), &frames, &frame), STATUS_INVALID_PARAMETER) << channels;
        EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
    }
    EXPECT_EQ(stream->StreamState(), STREAM_STATE_CLOSED);
}

// ---- the reduction, by sample size ---------------------------------------------------------

struct ReduceCase {
    const char* name;
    USHORT channels, bits, container;
    ULONG keptBytes;  // of each frame (0: the buffer stays as it is)
};

class StereoReduce : public StereoRenderTest, public ::testing::WithParamInterface<ReduceCase> {};

TEST_P(StereoReduce, FirstTwoSamplesOfEveryFrame) {
    const ReduceCase& c = GetParam();
    ExposedStereoStream* stream = MakeStereo();
    const WAVEFORMATEXTENSIBLE format = PcmFormat(c.channels, 48000, c.bits, c.container);
    stream->UseFormat(format);
    const ULONG frames = 7, blockAlign = format.Format.nBlockAlign;
    std::vector<uint8_t> buffer(frames * blockAlign);
    std::iota(buffer.begin(), buffer.end(), (uint8_t)1);
    const std::vector<uint8_t> before = buffer;
    stream->ReduceToStereo(buffer.data(), frames);
    std::vector<uint8_t> expected = before;
    for (ULONG j = 0; j < frames && c.keptBytes != 0; j++)
        memcpy(expected.data() + j * c.keptBytes, before.data() + j * blockAlign, c.keptBytes);
    EXPECT_EQ(buffer, expected);
}

INSTANTIATE_TEST_SUITE_P(Table, StereoReduce,
                         ::testing::Values(ReduceCase{"Eight16", 8, 16, 16, 4}, ReduceCase{"Eight24", 8, 24, 24, 6},
                                           ReduceCase{"Eight24In32", 8, 24, 32, 8},
                                           ReduceCase{"Eight32", 8, 32, 32, 8}, ReduceCase{"Six16", 6, 16, 16, 4},
                                           ReduceCase{"Two16", 2, 16, 16, 4}, ReduceCase{"Eight8", 8, 8, 8, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the limiter pass ---------------------------------------------------------------------

// 1000 frames go through the limiter as 512 and 488; the caller's
// floating-point control word is the same afterwards.
TEST_F(StereoRenderTest, LimiterPassChunksAndKeepsTheCallersFloatState) {
    ExposedStereoStream* stream = MakeStereo();
    stream->UseFormat(PcmFormat(8, 48000, 16));
    std::vector<uint8_t> buffer(1000 * 16, 0x11);
    limiterfake::ClearCalls();
    const unsigned saved = _mm_getcsr();
    const unsigned callers = (saved & ~0xE000u) | 0x6000u;  // round toward zero, no flush-to-zero
    _mm_setcsr(callers);
    stream->LimitBlock(buffer.data(), (ULONG)buffer.size());
    const unsigned after = _mm_getcsr();
    _mm_setcsr(saved);
    EXPECT_EQ(after, callers);
    EXPECT_EQ(limiterfake::Calls(), (std::vector<std::string>{"Process:512", "Process:488"}));
}

// A format the data path refuses (a block alignment that is not the
// channels' samples) is not limited.
TEST_F(StereoRenderTest, LimiterSkipsAFormatTheDataPathRefuses) {
    ExposedStereoStream* stream = MakeStereo();
    WAVEFORMATEXTENSIBLE odd = PcmFormat(8, 48000, 16);
    odd.Format.nBlockAlign = 18;
    stream->UseFormat(odd);
    std::vector<uint8_t> buffer(100 * 18, 0x22);
    limiterfake::ClearCalls();
    stream->LimitBlock(buffer.data(), (ULONG)buffer.size());
    EXPECT_TRUE(limiterfake::Calls().empty());
}

}  // namespace
}  // namespace streamtest

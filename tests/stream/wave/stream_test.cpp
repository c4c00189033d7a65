// The wave-cyclic stream driven message by message: a USB stream stand-in
// (FakeCyclicEngine) lets each test send exactly the fills, completions,
// captured batches and format changes it needs. Covered: the 50 ms buffer,
// framing and positions of the common formats, the client's life between
// RUN and PAUSE and its rollback, the position in every state with its
// interpolation and cap, wrapping and oversized fills, another client
// owning the USB stream at another byte rate, capture in a foreign format,
// SetFormat, Silence, buffer bounds and the formats the stream refuses.
#include <numeric>

#include "dsp/interleave_src.h"
#include "sim/pool.h"
#include "stream/wave/byte_rate.h"
#include "tests/fakes/wave/fake_cyclic_engine.h"
#include "tests/stream/wave/wave_fixture.h"

namespace wavetest {
namespace {

using wavefakes::FakeCyclicEngine;

constexpr LONGLONG kMs = sim::kTicksPerMillisecond;

class StreamTest : public MiniportFixture {
protected:
    void TearDown() override {
        stream_.Release();
        MiniportFixture::TearDown();
    }
    void ReleaseEngine() override {
        if (engine_) engine_->Release();
        engine_ = nullptr;
    }

    // The engine lists formats; the stream opens with the first.
    NTSTATUS Open(bool capture, const std::vector<WAVEFORMATEXTENSIBLE>& formats) {
        engine_ = FakeCyclicEngine::Create(capture, formats);
        EXPECT_EQ(MakeMiniport(engine_), STATUS_SUCCESS);
        DataFormat format = ExtensibleFormat(formats[0]);
        return NewStream(format, &stream_.stream, &stream_.dma, &stream_.group, capture);
    }
    CMiniportWaveCyclicStream* S() { return stream_.object(); }

    NTSTATUS Run() { return StepStates(stream_.stream, kUpToRun); }
    ULONG Position() {
        ULONG position = 0xFFFFFFFF;
        EXPECT_EQ(stream_.stream->GetPosition(&position), STATUS_SUCCESS);
        return position;
    }
    PUCHAR Buffer() { return static_cast<PUCHAR>(stream_.dma->SystemAddress()); }
    // Writes a byte pattern (i * 7 + 3) over the whole cyclic buffer.
    void FillPattern() {
        for (ULONG i = 0; i < stream_.dma->AllocatedBufferSize(); i++) Buffer()[i] = (UCHAR)(i * 7 + 3);
    }

    FakeCyclicEngine* engine_ = nullptr;
    OpenStream stream_;
};

// ---- the common formats ----------------------------------------------------------

struct ConstantsCase {
    const char* name;
    ULONG rate;
    ULONG buffer;
    ULONG framing;
    ULONG copyOffset;  // at a render start with the stream's own client
    LONGLONG oneSecondOfBytes;
};

class ConstantsTest : public StreamTest, public ::testing::WithParamInterface<ConstantsCase> {};

TEST_P(ConstantsTest, BufferFramingPositionAndStartOffset) {
    const ConstantsCase& c = GetParam();
    ASSERT_EQ(Open(false, {PcmFormat(2, c.rate, 16)}), STATUS_SUCCESS);
    EXPECT_EQ(stream_.dma->AllocatedBufferSize(), c.buffer);
    EXPECT_EQ(stream_.dma->BufferSize(), c.buffer);
    EXPECT_EQ(stream_.dma->MaximumBufferSize(), 307200u);
    ULONG framing = 0;
    EXPECT_EQ(stream_.stream->SetNotificationFreq(20, &framing), 10u);
    EXPECT_EQ(framing, c.framing);
    LONGLONG position = c.oneSecondOfBytes;
    EXPECT_EQ(stream_.stream->NormalizePhysicalPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, 10000000);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    EXPECT_EQ(S()->CopyOffset(), c.copyOffset);
    PCYCLIC_CLIENT client = engine_->Registered();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->Priority, (ULONG)CYCLIC_CLIENT_WAVE);
    EXPECT_EQ(client->FramesPerTransfer, 5u);
    EXPECT_EQ(client->Transfers, 3u);
    EXPECT_EQ(engine_->Calls(), (std::vector<std::string>{"register", "acquire", "run:102"}));
    // The format layer was set up for the pair (client's format in, the
    // stream's out) when the owner changed.
    const CDspInterleaveSrc* layer = S()->FormatLayer();
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(layer->m_OutFormat.Format.nSamplesPerSec, c.rate);
    EXPECT_EQ(layer->m_InFormat.Format.nSamplesPerSec, c.rate);
    EXPECT_EQ(layer->m_pStages[0], layer->m_pSplit);
    EXPECT_EQ(layer->m_pStages[1], nullptr);
}

INSTANTIATE_TEST_SUITE_P(Rates, ConstantsTest,
                         ::testing::Values(ConstantsCase{"Rate48000", 48000, 9600, 1920, 6720, 192000},
                                           ConstantsCase{"Rate44100", 44100, 8820, 1764, 6180, 176400}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the client's life -------------------------------------------------------------

struct RunFailureCase {
    const char* name;
    NTSTATUS acquire;
    NTSTATUS run;
    std::vector<std::string> calls;
};

class RunFailureTest : public StreamTest, public ::testing::WithParamInterface<RunFailureCase> {};

TEST_P(RunFailureTest, LeavesNothingRegisteredAndTheStateUnchanged) {
    const RunFailureCase& c = GetParam();
    ASSERT_EQ(Open(false, {PcmFormat(2, 48000, 16)}), STATUS_SUCCESS);
    ASSERT_EQ(stream_.stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(stream_.stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    engine_->AcquireStatus = c.acquire;
    engine_->RunStatus = c.run;
    EXPECT_EQ(stream_.stream->SetState(KSSTATE_RUN), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(S()->State(), KSSTATE_PAUSE);
    EXPECT_EQ(engine_->RegisteredClients(), 0u);
    EXPECT_EQ(S()->Client(), nullptr);
    EXPECT_EQ(engine_->Calls(), c.calls);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, RunFailureTest,
    ::testing::Values(RunFailureCase{"Acquire", STATUS_DEVICE_NOT_READY, STATUS_SUCCESS,
                                     {"register", "acquire", "unregister"}},
                      RunFailureCase{"Run", STATUS_SUCCESS, STATUS_DEVICE_NOT_READY,
                                     {"register", "acquire", "run:102", "release", "unregister"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamTest, LeavingRunStopsReleasesAndUnregistersTheClient) {
    ASSERT_EQ(Open(false, {PcmFormat(2, 48000, 16)}), STATUS_SUCCESS);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    engine_->ClearCalls();
    ASSERT_EQ(stream_.stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(engine_->Calls(), (std::vector<std::string>{"stop", "release", "unregister"}));
    EXPECT_EQ(engine_->RegisteredClients(), 0u);
    IDrmAudioStream* drm = nullptr;
    ASSERT_EQ(stream_.stream->QueryInterface(IID_IDrmAudioStream, (PVOID*)&drm), STATUS_SUCCESS);
    EXPECT_EQ(drm->SetContentId(7, nullptr), STATUS_SUCCESS);
    drm->Release();
    EXPECT_EQ(engine_->Calls().back(), "content:7");
}

TEST_F(StreamTest, AJumpFromRunToStopStillEndsTheClient) {
    ASSERT_EQ(Open(false, {PcmFormat(2, 48000, 16)}), STATUS_SUCCESS);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    ASSERT_EQ(stream_.stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(engine_->RegisteredClients(), 0u);
    EXPECT_EQ(S()->Client(), nullptr);
    EXPECT_EQ(Position(), 0u);
}

TEST_F(StreamTest, ReleasingARunningStreamStepsItDown) {
    ASSERT_EQ(Open(false, {PcmFormat(2, 48000, 16)}), STATUS_SUCCESS);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    stream_.Release();
    EXPECT_EQ(engine_->RegisteredClients(), 0u);
    EXPECT_EQ(miniport_->OpenStreams(), 0);
    // The layer went with the stream: no object, stage or buffer left.
    EXPECT_EQ(sim::PoolLiveBlocks(DSP_FORMAT_LAYER_TAG), 0);
    EXPECT_EQ(sim::PoolLiveBlocks(SRC_BUFFER_TAG), 0);
}

// ---- positions ----------------------------------------------------------------------

TEST_F(StreamTest, RenderPositionInterpolatesCapsAndTurnsExactWhenTheRingEmpties) {
    ASSERT_EQ(Open(false, {PcmFormat(2, 48000, 16)}), STATUS_SUCCESS);
    EXPECT_EQ(Position(), 0u);  // STOP
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    std::vector<UCHAR> transfer(960);
    for (int i = 0; i < 3; i++) engine_->SendFill(transfer.data(), 960);
    EXPECT_EQ(S()->CurrentTransferBytes(), 960u);
    EXPECT_EQ(Position(), 0u);
    sim::Sleep(2 * kMs);
    EXPECT_EQ(Position(), 384u);  // 2 ms of 192 bytes
    sim::Sleep(10 * kMs);
    EXPECT_EQ(Position(), 960u);  // capped at the transfer in progress
    uint64_t notified = port_->Notifications();
    engine_->SendBytesDone(960);
    EXPECT_EQ(Position(), 960u);
    engine_->SendBytesDone(960);
    engine_->SendBytesDone(960);
    EXPECT_EQ(port_->Notifications(), notified + 3);  // one per completion
    EXPECT_EQ(S()->CurrentTransferBytes(), 0u);
    sim::Sleep(3 * kMs);
    EXPECT_EQ(Position(), 2880u);  // nothing in flight: exactly the completed bytes
    ASSERT_EQ(stream_.stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    sim::Sleep(5 * kMs);
    EXPECT_EQ(Position(), 2880u);  // frozen by the pause
    ASSERT_EQ(stream_.stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(Position(), 0u);
}

// The port keeps its own place across a pause: the resumed client starts
// its transfers the lead (15 ms, 2880 bytes) behind the paused position.
TEST_F(StreamTest, AResumeKeepsThePlace) {
    ASSERT_EQ(Open(false, {PcmFormat(2, 48000, 16)}), STATUS_SUCCESS);
    FillPattern();
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    std::vector<UCHAR> transfer(960);
    for (int i = 0; i < 5; i++) {
        engine_->SendFill(transfer.data(), 960);
        engine_->SendBytesDone(960);
    }
    EXPECT_EQ(Position(), 4800u);
    ASSERT_EQ(stream_.stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(Position(), 4800u);
    ASSERT_EQ(stream_.stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Position(), 4800u);
    EXPECT_EQ(S()->CopyOffset(), 1920u);
    engine_->SendFill(transfer.data(), 960);
    for (ULONG i = 0; i < 960; i++) ASSERT_EQ(transfer[i], (UCHAR)((1920 + i) * 7 + 3)) << "byte " << i;
}

TEST_F(StreamTest, CapturePositionMovesThroughTheLastBatchInWholeFrames) {
    ASSERT_EQ(Open(true, {PcmFormat(1, 48000, 16)}), STATUS_SUCCESS);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    EXPECT_EQ(S()->CopyOffset(), 0u);
    std::vector<UCHAR> batch(480, 0x11);
    engine_->SendCapture(batch.data(), 480);
    engine_->SendBytesDone(480);
    EXPECT_EQ(Position(), 0u);  // the start of the batch just delivered
    sim::Sleep(kMs + kMs / 100);  // 1.01 ms: 96.96 bytes, 48 whole frames
    EXPECT_EQ(Position(), 96u);
    sim::Sleep(10 * kMs);
    EXPECT_EQ(Position(), 480u);
    EXPECT_EQ(Buffer()[0], 0x11);
    EXPECT_EQ(Buffer()[479], 0x11);
}

// ---- render data -------------------------------------------------------------------------

TEST_F(StreamTest, AFillThatPassesTheEndTakesTheTailThenTheStart) {
    ASSERT_EQ(Open(false, {PcmFormat(2, 48000, 16)}), STATUS_SUCCESS);
    FillPattern();
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    ASSERT_EQ(S()->CopyOffset(), 6720u);
    std::vector<UCHAR> transfer(3000, 0);
    engine_->SendFill(transfer.data(), 3000);
    for (ULONG i = 0; i < 3000; i++) ASSERT_EQ(transfer[i], (UCHAR)(((6720 + i) % 9600) * 7 + 3)) << "byte " << i;
    EXPECT_EQ(S()->CopyOffset(), 120u);
    EXPECT_EQ(S()->CurrentTransferBytes(), 3000u);
    // A transfer of a whole buffer or more is not followed at all.
    std::vector<UCHAR> huge(9600, 0);
    engine_->SendFill(huge.data(), 9600);
    EXPECT_EQ(S()->CopyOffset(), 120u);
    EXPECT_EQ(std::accumulate(huge.begin(), huge.end(), 0u), 0u);
    engine_->SendBytesDone(3000);
    EXPECT_EQ(S()->CurrentTransferBytes(), 0u);  // only the 3000-byte fill was in the ring
}

TEST_F(StreamTest, AnotherOwnerAtAnotherRateMovesThePositionButGetsNoBytes) {
    ASSERT_EQ(Open(false, {PcmFormat(2, 44100, 16), PcmFormat(2, 48000, 16)}), STATUS_SUCCESS);
    FillPattern();
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    std::vector<UCHAR> transfer(880);
    engine_->SendFill(transfer.data(), 880);
    engine_->SendBytesDone(880);
    ASSERT_EQ(Position(), 880u);
    // An ASIO pin at 48 kHz takes the USB stream over. The port goes on
    // writing from the position it read, so the position goes on from
    // there; the wave client's transfers would start the lead (15 ms,
    // 2640 bytes) behind it.
    PCYCLIC_CLIENT asio = engine_->ForeignClient(PcmFormat(2, 48000, 16));
    engine_->SendFormat(asio, 5, 3, true);
    EXPECT_EQ(Position(), 880u);
    EXPECT_EQ(S()->CurrentTransferBytes(), 0u);
    EXPECT_EQ(S()->CopyOffset(), 7060u);
    // The layer holds the pair (the owner's 48 kHz in, the stream's
    // 44.1 kHz out) and its chain: one converter, down.
    const CDspInterleaveSrc* layer = S()->FormatLayer();
    EXPECT_EQ(layer->m_InFormat.Format.nSamplesPerSec, 48000u);
    EXPECT_EQ(layer->m_OutFormat.Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(layer->m_pStages[1], layer->m_pSrc441);
    EXPECT_FALSE(layer->m_pSrc441->m_bUp);
    uint64_t notified = port_->Notifications();
    std::vector<ULONG> positions;
    for (int i = 0; i < 5; i++) {
        std::vector<UCHAR> fill(192, 0);
        engine_->SendFill(fill.data(), 192, asio);
        EXPECT_EQ(std::accumulate(fill.begin(), fill.end(), 0u), 0u) << "wave bytes reached the owner's transfer";
        engine_->SendBytesDone(192, asio);
        positions.push_back(S()->Position());
    }
    // Fills and completions share one conversion: ten 192-byte transfers
    // at 48 kHz are 1764 bytes at 44.1 kHz, and the five completions among
    // them move the position 882 bytes, 5 ms.
    EXPECT_EQ(positions, (std::vector<ULONG>{880 + 176, 880 + 352, 880 + 528, 880 + 705, 880 + 882}));
    EXPECT_EQ(port_->Notifications(), notified + 5);
    EXPECT_EQ(S()->CopyOffset(), 7060u);  // fills of another rate copy nothing
    EXPECT_EQ(Position(), 1762u);  // what the port read last: half a frame
    // The pin stops: the wave client owns the stream again, from the next
    // whole frame on, its transfers the lead behind.
    engine_->SendFormat(engine_->Registered(), 5, 3, true);
    EXPECT_EQ(Position(), 1764u);
    EXPECT_EQ(S()->CopyOffset(), 1764u + 8820u - 2640u);
    // Back at its own rate: the split stage alone.
    EXPECT_EQ(layer->m_InFormat.Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(layer->m_OutFormat.Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(layer->m_pStages[0], layer->m_pSplit);
    EXPECT_EQ(layer->m_pStages[1], nullptr);
}

// An owner whose transfers in flight span more than the whole buffer
// (40 frames x 8 transfers of 192 bytes = 61440 bytes, 6.4 buffers):
// the fill starts that far before position 0, reduced modulo the buffer.
TEST_F(StreamTest, ALeadLongerThanTheBufferWrapsByTrueModulo) {
    ASSERT_EQ(Open(false, {PcmFormat(2, 48000, 16)}), STATUS_SUCCESS);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    PCYCLIC_CLIENT asio = engine_->ForeignClient(PcmFormat(2, 48000, 16), 40, 8);
    engine_->SendFormat(asio, 40, 8, true);
    EXPECT_EQ(S()->CopyOffset(), 9600u - 61440u % 9600u);  // 5760
}

// A capture position behind a completion that wrapped past the end of the
// buffer comes out of the buffer's end, not out of 32-bit wrap-around.
TEST_F(StreamTest, ACapturePositionBehindTheWrapComesFromTheBufferEnd) {
    ASSERT_EQ(Open(true, {PcmFormat(1, 48000, 16)}), STATUS_SUCCESS);  // 4800-byte buffer
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    std::vector<UCHAR> batch(960, 0x22);
    for (int i = 0; i < 5; i++) {
        engine_->SendCapture(batch.data(), 960);
        engine_->SendBytesDone(960);
    }
    engine_->SendCapture(batch.data(), 100);
    engine_->SendBytesDone(100);  // position 100, the batch began 100 bytes ago
    std::vector<UCHAR> last(480, 0x33);
    engine_->SendCapture(last.data(), 480);
    engine_->SendBytesDone(480);  // position 580, the batch began at 100
    EXPECT_EQ(Position(), 100u);
    std::vector<UCHAR> longBatch(4420, 0x44);
    engine_->SendCapture(longBatch.data(), 4420);
    engine_->SendBytesDone(4420);  // position 200: the batch began at 580
    EXPECT_EQ(Position(), 580u);
}

// The performance counter runs at 10 MHz: counter x 100000 leaves 64 bits
// after about 107 days of uptime. The interpolation must not notice.
TEST_F(StreamTest, ThePositionStillInterpolatesAfterMonthsOfUptime) {
    ASSERT_EQ(Open(false, {PcmFormat(2, 48000, 16)}), STATUS_SUCCESS);
    const LONGLONG overflowAt = INT64_MAX / 100000;
    sim::Sleep(overflowAt - sim::Now() - kMs);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    std::vector<UCHAR> transfer(960);
    engine_->SendFill(transfer.data(), 960);
    engine_->SendFill(transfer.data(), 960);
    engine_->SendBytesDone(960);  // 1 ms before the product passes 2^63
    sim::Sleep(2 * kMs);
    EXPECT_EQ(Position(), 960u + 384u);
    sim::Sleep(10 * kMs);
    EXPECT_EQ(Position(), 1920u);
}

TEST_F(StreamTest, AFormatMessageWithoutChangeKeepsThePosition) {
    ASSERT_EQ(Open(false, {PcmFormat(2, 48000, 16)}), STATUS_SUCCESS);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    std::vector<UCHAR> transfer(960);
    engine_->SendFill(transfer.data(), 960);
    engine_->SendBytesDone(960);
    engine_->SendFormat(engine_->Registered(), 5, 3, false);
    EXPECT_EQ(S()->Position(), 960u);
}

// ---- capture data --------------------------------------------------------------------------

struct ForeignCaptureCase {
    const char* name;
    USHORT bits;
    UCHAR silence;
};

class ForeignCaptureTest : public StreamTest, public ::testing::WithParamInterface<ForeignCaptureCase> {};

TEST_P(ForeignCaptureTest, WindowsReadsSilenceInItsOwnFormat) {
    const ForeignCaptureCase& c = GetParam();
    ASSERT_EQ(Open(true, {PcmFormat(1, 48000, c.bits), PcmFormat(1, 44100, c.bits)}), STATUS_SUCCESS);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    memset(Buffer(), 0x55, stream_.dma->AllocatedBufferSize());
    PCYCLIC_CLIENT asio = engine_->ForeignClient(PcmFormat(1, 44100, c.bits));
    engine_->SendFormat(asio, 5, 3, true);
    const ULONG frame = c.bits / 8;
    std::vector<UCHAR> batch(441 * frame, 0x33);
    engine_->SendCapture(batch.data(), (ULONG)batch.size(), asio);
    engine_->SendBytesDone((ULONG)batch.size(), asio);
    // 10 ms at 44.1 kHz are 10 ms at 48 kHz: that much silence, nothing else.
    const ULONG span = 480 * frame;
    EXPECT_EQ(S()->Position(), span);
    EXPECT_EQ(S()->CopyOffset(), span);
    for (ULONG i = 0; i < span; i++) ASSERT_EQ(Buffer()[i], c.silence) << "byte " << i;
    EXPECT_EQ(Buffer()[span], 0x55);
}

INSTANTIATE_TEST_SUITE_P(Bits, ForeignCaptureTest,
                         ::testing::Values(ForeignCaptureCase{"Bits16", 16, 0x00},
                                           ForeignCaptureCase{"Bits8", 8, 0x80}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- formats ------------------------------------------------------------------------------

TEST_F(StreamTest, SetFormatTakesOnlyANewShape) {
    WAVEFORMATEXTENSIBLE masked = PcmFormat(2, 48000, 16);
    masked.dwChannelMask = 0x30;
    ASSERT_EQ(Open(false, {PcmFormat(2, 48000, 16), masked, PcmFormat(2, 44100, 16)}), STATUS_SUCCESS);
    DataFormat sameShape = ExtensibleFormat(masked);
    EXPECT_EQ(stream_.stream->SetFormat(sameShape.get()), STATUS_SUCCESS);
    EXPECT_EQ(S()->Format().dwChannelMask, 3u);  // not taken
    DataFormat other = ExtensibleFormat(PcmFormat(2, 44100, 16));
    EXPECT_EQ(stream_.stream->SetFormat(other.get()), STATUS_SUCCESS);
    EXPECT_EQ(S()->Format().Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(stream_.dma->AllocatedBufferSize(), 8820u);
    DataFormat unknown = ExtensibleFormat(PcmFormat(2, 96000, 16));
    EXPECT_EQ(stream_.stream->SetFormat(unknown.get()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(S()->Format().Format.nSamplesPerSec, 44100u);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    DataFormat back = ExtensibleFormat(PcmFormat(2, 48000, 16));
    EXPECT_EQ(stream_.stream->SetFormat(back.get()), STATUS_UNSUCCESSFUL);
}

WAVEFORMATEXTENSIBLE Edited(std::function<void(WAVEFORMATEXTENSIBLE&)> edit) {
    WAVEFORMATEXTENSIBLE f = PcmFormat(2, 48000, 16);
    edit(f);
    return f;
}

struct UnusableCase {
    const char* name;
    WAVEFORMATEXTENSIBLE format;
};

class UnusableFormatTest : public StreamTest, public ::testing::WithParamInterface<UnusableCase> {};

// Formats the engine lists but whose arithmetic would divide by zero or
// give a buffer without one whole block.
TEST_P(UnusableFormatTest, IsRefusedByInitAndBySetFormat) {
    const WAVEFORMATEXTENSIBLE& bad = GetParam().format;
    OpenStream refused;
    engine_ = FakeCyclicEngine::Create(false, {bad, PcmFormat(2, 48000, 16)});
    ASSERT_EQ(MakeMiniport(engine_), STATUS_SUCCESS);
    DataFormat format = ExtensibleFormat(bad);
    EXPECT_EQ(NewStream(format, &refused.stream, &refused.dma, &refused.group), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(refused.stream, nullptr);
    EXPECT_EQ(miniport_->OpenStreams(), 0);
    DataFormat good = ExtensibleFormat(PcmFormat(2, 48000, 16));
    ASSERT_EQ(NewStream(good, &stream_.stream, &stream_.dma, &stream_.group), STATUS_SUCCESS);
    EXPECT_EQ(stream_.stream->SetFormat(format.get()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stream_.dma->AllocatedBufferSize(), 9600u);
    EXPECT_EQ(S()->Format().Format.nSamplesPerSec, 48000u);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, UnusableFormatTest,
    ::testing::Values(
        UnusableCase{"NoBytesPerSecond", Edited([](WAVEFORMATEXTENSIBLE& f) { f.Format.nAvgBytesPerSec = 0; })},
        UnusableCase{"UnderTwentyBytesPerSecond", Edited([](WAVEFORMATEXTENSIBLE& f) { f.Format.nAvgBytesPerSec = 19; })},
        UnusableCase{"LessThanABlockIn50ms", Edited([](WAVEFORMATEXTENSIBLE& f) { f.Format.nAvgBytesPerSec = 79; })},
        UnusableCase{"SubByteSamples", Edited([](WAVEFORMATEXTENSIBLE& f) {
                         f.Format.wBitsPerSample = 4;
                         f.Samples.wValidBitsPerSample = 4;
                         f.Format.nBlockAlign = 1;
                     })}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- silence and bounds -----------------------------------------------------------------------

struct SilenceCase {
    const char* name;
    USHORT bits;
    UCHAR fill;
};

class SilenceTest : public StreamTest, public ::testing::WithParamInterface<SilenceCase> {};

TEST_P(SilenceTest, FillsOnlyInsideTheBuffer) {
    ASSERT_EQ(Open(false, {PcmFormat(2, 48000, GetParam().bits)}), STATUS_SUCCESS);
    const ULONG size = stream_.dma->AllocatedBufferSize();
    memset(Buffer(), 0x55, size);
    stream_.stream->Silence(Buffer() + 10, 20);
    EXPECT_EQ(Buffer()[9], 0x55);
    EXPECT_EQ(Buffer()[10], GetParam().fill);
    EXPECT_EQ(Buffer()[29], GetParam().fill);
    EXPECT_EQ(Buffer()[30], 0x55);
    stream_.stream->Silence(Buffer() + size - 4, 8);  // runs past the end: nothing
    EXPECT_EQ(Buffer()[size - 1], 0x55);
    UCHAR outside[8];
    memset(outside, 0x55, sizeof(outside));
    stream_.stream->Silence(outside, sizeof(outside));
    EXPECT_EQ(outside[0], 0x55);
}

INSTANTIATE_TEST_SUITE_P(Bits, SilenceTest,
                         ::testing::Values(SilenceCase{"Bits16", 16, 0x00}, SilenceCase{"Bits8", 8, 0x80}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamTest, ASmallerBufferSizeMovesOnlyTheCopyBounds) {
    ASSERT_EQ(Open(false, {PcmFormat(2, 48000, 16)}), STATUS_SUCCESS);
    stream_.dma->SetBufferSize(9600);  // equal: ignored
    stream_.dma->SetBufferSize(20000);
    EXPECT_EQ(stream_.dma->BufferSize(), 9600u);
    stream_.dma->SetBufferSize(4800);
    EXPECT_EQ(stream_.dma->BufferSize(), 4800u);
    EXPECT_EQ(stream_.dma->AllocatedBufferSize(), 9600u);
    std::vector<UCHAR> source(100, 0x77), sink(100, 0);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    stream_.dma->CopyTo(Buffer() + 4700, source.data(), 100);  // ends at the bound: copied
    stream_.dma->CopyTo(Buffer() + 4750, source.data(), 100);  // passes it: skipped
    stream_.dma->CopyFrom(sink.data(), Buffer() + 4750, 100);  // skipped
    stream_.dma->CopyTo(source.data(), source.data(), 10);     // not the buffer: skipped
    KeLowerIrql(irql);
    EXPECT_EQ(Buffer()[4700], 0x77);
    EXPECT_EQ(Buffer()[4799], 0x77);
    EXPECT_EQ(Buffer()[4800], 0x00);
    EXPECT_EQ(sink[0], 0x00);
}

// ---- byte-rate conversion -------------------------------------------------------------------

TEST(ByteRate, CompletionsOf192BytesAt48kBecome882BytesPer5msAt44k1) {
    WAVE_RATE_CONVERTER c = {WaveRateParts(176400), WaveRateParts(192000), 0};
    std::vector<ULONG> out;
    for (int i = 0; i < 5; i++) out.push_back(WaveConvertBytes(&c, 192));
    EXPECT_EQ(out, (std::vector<ULONG>{176, 176, 177, 176, 177}));
}

struct RatePair {
    ULONG stream;
    ULONG client;
    ULONG chunk;  // client bytes per completion
};

class ByteRateTable : public ::testing::TestWithParam<RatePair> {};

// The running sum follows whole milliseconds with every remainder carried:
// never more than one millisecond's bytes (plus one) from the exact amount,
// and no drift over an hour of completions.
TEST_P(ByteRateTable, StaysWithinOneMillisecondOfTheExactAmount) {
    const RatePair& p = GetParam();
    WAVE_RATE_CONVERTER c = {WaveRateParts(p.stream), WaveRateParts(p.client), 0};
    uint64_t in = 0, out = 0;
    const double bound = p.stream / 1000.0 + 1;
    const uint64_t steps = 3600ull * p.client / p.chunk;  // an hour
    double worst = 0;
    for (uint64_t i = 0; i < steps; i++) {
        in += p.chunk;
        out += WaveConvertBytes(&c, p.chunk);
        double exact = (double)in * p.stream / p.client;
        double error = exact - (double)out;
        worst = std::max(worst, std::abs(error));
        ASSERT_LT(std::abs(error), bound) << "step " << i;
    }
    EXPECT_LT(worst, bound);
}

INSTANTIATE_TEST_SUITE_P(Pairs, ByteRateTable,
                         ::testing::Values(RatePair{176400, 192000, 960}, RatePair{192000, 176400, 882},
                                           RatePair{192000, 176400, 880}, RatePair{96000, 192000, 192},
                                           RatePair{88200, 384000, 1000}, RatePair{352800, 8000, 80},
                                           RatePair{48000, 44100, 441}, RatePair{11025, 1536000, 7680}),
                         [](const auto& info) {
                             return "S" + std::to_string(info.param.stream) + "C" + std::to_string(info.param.client) +
                                    "N" + std::to_string(info.param.chunk);
                         });

}  // namespace
}  // namespace wavetest

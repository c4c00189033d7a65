// Concurrency loops of the wave-cyclic stream on the headset's real USB
// streams: RUN and PAUSE again and again, an ASIO-priority owner taking
// each stream over and handing it back, while another thread reads the
// position and copies through the DMA channel as the port's service
// routine would. Under ThreadSanitizer in the executor's stress mode
// (ZK_EXECUTOR_STRESS=1: two DPC threads, time running on) these check the
// stream's locking against the USB completion paths; in any mode, that
// every client is gone, the streams end closed and nothing leaks.
#include <atomic>

#include "stream/usb/usb_capture_stream.h"
#include "stream/usb/usb_render_stream.h"
#include "tests/fakes/dsp/fake_limiter.h"
#include "tests/fakes/stream/fake_usb_model.h"
#include "tests/fakes/stream/recording_client.h"
#include "tests/stream/wave/wave_fixture.h"
#include "usb/uac_builder.h"
#include "usb/usb_port.h"

namespace wavetest {
namespace {

constexpr LONGLONG kMs = sim::kTicksPerMillisecond;

class WaveStressTest : public MiniportFixture, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        MiniportFixture::SetUp();
        port_usb_ = std::make_unique<simusb::SimUsbPort>(simusb::BuildUac1Headset());
        model_ = streamfakes::FakeUsbModel::Create(*port_usb_, nullptr);
    }
    void TearDown() override {
        wave_stream_.Release();
        MiniportFixture::TearDown();
    }
    void ReleaseEngine() override {
        if (usb_) usb_->Release();
        usb_ = nullptr;
        if (model_) model_->Release();
        model_ = nullptr;
        port_usb_.reset();
    }

    void Open(bool capture) {
        USHORT channels = capture ? 1 : 2;
        if (capture)
            usb_ = new (NonPagedPoolNx, UAC1_STREAM_TAG) CUsbCaptureStream(NULL, 2, 6);
        else
            usb_ = new (NonPagedPoolNx, UAC1_STREAM_TAG) CUsbRenderStream(NULL, 1, 1);
        usb_->AddRef();
        ASSERT_EQ(usb_->Init(capture ? 1 : 0, static_cast<IAudioHal*>(model_)), STATUS_SUCCESS);
        for (ULONG r : {48000u, 44100u}) {
            WAVEFORMATEXTENSIBLE f = PcmFormat(channels, r, 16);
            ASSERT_EQ(usb_->AddFormat(&f, 1), STATUS_SUCCESS);
        }
        ASSERT_EQ(usb_->AllocateBuffers(), STATUS_SUCCESS);
        ASSERT_EQ(MakeMiniport(static_cast<IStreamEngine*>(usb_)), STATUS_SUCCESS);
        DataFormat format = ExtensibleFormat(PcmFormat(channels, 48000, 16));
        ASSERT_EQ(NewStream(format, &wave_stream_.stream, &wave_stream_.dma, &wave_stream_.group, capture),
                  STATUS_SUCCESS);
    }
    void Step(std::initializer_list<KSSTATE> states) {
        for (KSSTATE s : states) EXPECT_EQ(wave_stream_.stream->SetState(s), STATUS_SUCCESS);
    }

    std::unique_ptr<simusb::SimUsbPort> port_usb_;
    streamfakes::FakeUsbModel* model_ = nullptr;
    CCyclicControl* usb_ = nullptr;
    OpenStream wave_stream_;
};

TEST_P(WaveStressTest, RunPauseAndHandOverLoopsWithAServiceThread) {
    const bool capture = GetParam();
    Open(capture);
    ICyclicControl* control = usb_;
    const ULONG size = wave_stream_.dma->AllocatedBufferSize();
    std::atomic<bool> done{false};
    std::atomic<ULONG> badPositions{0};
    sim::TestThread service("service", [&] {
        std::vector<UCHAR> chunk(960);
        PUCHAR base = static_cast<PUCHAR>(wave_stream_.dma->SystemAddress());
        for (ULONG n = 0; !done.load(); n++) {
            ULONG position = 0;
            wave_stream_.stream->GetPosition(&position);
            if (position >= size) badPositions++;
            KIRQL irql;
            KeRaiseIrql(DISPATCH_LEVEL, &irql);
            ULONG offset = (n * 960) % (size - 960);
            if (capture)
                wave_stream_.dma->CopyFrom(chunk.data(), base + offset, 960);
            else
                wave_stream_.dma->CopyTo(base + offset, chunk.data(), 960);
            KeLowerIrql(irql);
            sim::Sleep(kMs);
        }
    });
    for (int round = 0; round < 8; round++) {
        Step({KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN});
        sim::Sleep((7 + round) * kMs);
        streamfakes::RecordingClient asio("asio", nullptr, capture ? 1 : 2);
        ASSERT_EQ(asio.Register(control, CYCLIC_CLIENT_ASIO, PcmFormat(capture ? 1 : 2, 44100, 16), 2, 4),
                  STATUS_SUCCESS);
        ULONG frames = 0, frame = 0;
        EXPECT_EQ(control->ClientAcquire(asio.Handle(), &frames, &frame), STATUS_SUCCESS);
        EXPECT_EQ(control->ClientRun(asio.Handle(), frame + 5, &frames, nullptr), STATUS_SUCCESS);
        sim::Sleep(10 * kMs);
        EXPECT_EQ(control->ClientStop(asio.Handle(), nullptr), STATUS_SUCCESS);
        EXPECT_EQ(control->ClientRelease(asio.Handle()), STATUS_SUCCESS);
        EXPECT_EQ(control->UnregisterClient(asio.Handle()), STATUS_SUCCESS);
        sim::Sleep(5 * kMs);
        Step({KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP});
        ASSERT_EQ(usb_->StreamState(), STREAM_STATE_CLOSED);
    }
    done = true;
    service.Join();
    EXPECT_EQ(badPositions.load(), 0u);
    EXPECT_EQ(model_->BusyCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Direction, WaveStressTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Capture" : "Render"; });

}  // namespace
}  // namespace wavetest

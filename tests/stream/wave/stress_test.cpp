// Concurrency loops of the wave-cyclic stream on the headset's real USB
// streams: RUN and PAUSE again and again, an ASIO-priority owner taking
// each stream over and handing it back, while another thread reads the
// position and copies through the DMA channel as the port's service
// routine would. Under ThreadSanitizer in the executor's stress mode
// (ZK_EXECUTOR_STRESS=1: two DPC threads, time running on) these check the
// stream's locking against the USB completion paths; in any mode, that
// every client is gone, the streams end closed and nothing leaks.
#include <atomic>

#include "tests/fakes/stream/recording_client.h"
#include "tests/stream/wave/usb_wave_fixture.h"

namespace wavetest {
namespace {

constexpr LONGLONG kMs = sim::kTicksPerMillisecond;

class WaveStressTest : public UsbWaveFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(WaveStressTest, RunPauseAndHandOverLoopsWithAServiceThread) {
    const bool capture = GetParam();
    OpenUsbStream(capture, 48000);
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
        Step(kUpToRun);
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
        Step(kDownToStop);
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

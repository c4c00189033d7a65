// Start, stop and hand-over loops on a render and a capture stream at
// once. Under ThreadSanitizer with the executor's stress mode
// (ZK_EXECUTOR_STRESS=1: completions on two DPC threads, time running on)
// these check the locking of the completion paths against the client
// slots; in any mode, that the streams end closed with nothing counted.
#include "tests/stream/usb/stream_fixture.h"

namespace streamtest {
namespace {

class StressTest : public UsbStreamTest {};

TEST_F(StressTest, StartStopAndHandOverLoops) {
    CUsbRenderStream* render = MakeRender();
    CUsbCaptureStream* capture = MakeCapture();
    for (int round = 0; round < 12; round++) {
        RecordingClient wave("wave"), waveIn("wave in"), asio("asio"), asioIn("asio in");
        ASSERT_EQ(Start(render, wave, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16)), STATUS_SUCCESS);
        ASSERT_EQ(Start(capture, waveIn, CYCLIC_CLIENT_WAVE, PcmFormat(1, 48000, 16)), STATUS_SUCCESS);
        RunFor(15 + round);
        // ASIO takes both streams over (capture first, as it runs its pins)
        // and hands them back.
        ASSERT_EQ(asio.Register(render, CYCLIC_CLIENT_ASIO, PcmFormat(2, 44100, 16), 2, 4), STATUS_SUCCESS);
        ASSERT_EQ(asioIn.Register(capture, CYCLIC_CLIENT_ASIO, PcmFormat(1, 44100, 16), 2, 4), STATUS_SUCCESS);
        ULONG fpt = 0, frameOut = 0, frameIn = 0;
        ASSERT_EQ(render->ClientAcquire(asio.Handle(), &fpt, &frameOut), STATUS_SUCCESS);
        ASSERT_EQ(capture->ClientAcquire(asioIn.Handle(), &fpt, &frameIn), STATUS_SUCCESS);
        ASSERT_EQ(capture->ClientRun(asioIn.Handle(), frameIn + 5, &fpt, nullptr), STATUS_SUCCESS);
        ASSERT_EQ(render->ClientRun(asio.Handle(), frameOut + 5, &fpt, nullptr), STATUS_SUCCESS);
        RunFor(20);
        Finish(render, asio);
        Finish(capture, asioIn);
        RunFor(10);
        EXPECT_EQ(render->RunningClient(), wave.Record());
        Finish(render, wave);
        Finish(capture, waveIn);
        ASSERT_EQ(render->StreamState(), STREAM_STATE_CLOSED);
        ASSERT_EQ(capture->StreamState(), STREAM_STATE_CLOSED);
    }
    EXPECT_EQ(model_->BusyCount(), 0);
}

TEST_F(StressTest, RecoveryWhileClientsComeAndGo) {
    CUsbRenderStream* render = MakeRender();
    for (int round = 0; round < 8; round++) {
        std::vector<USBD_STATUS> script(5 + round, USBD_STATUS_SUCCESS);
        script.push_back(USBD_STATUS_CRC);
        device().ScriptPacketStatuses(kRenderEndpoint, script);
        RecordingClient wave("wave");
        ASSERT_EQ(Start(render, wave, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16)), STATUS_SUCCESS);
        RunFor(5 + 7 * round);
        Finish(render, wave);
        ASSERT_EQ(render->StreamState(), STREAM_STATE_CLOSED);
    }
    EXPECT_EQ(model_->BusyCount(), 0);
}

}  // namespace
}  // namespace streamtest

// Start, stop and recovery loops on the UAC 2.0 streams. Under
// ThreadSanitizer with the executor's stress mode (completions on two DPC
// threads) these check the feedback and data completions against each
// other, the submission path and the client slots; in any mode, that the
// streams end closed with nothing counted.
#include "tests/stream/usb/uac2_stream_fixture.h"

namespace streamtest {
namespace {

class Uac2StressTest : public Uac2StreamTest {};

TEST_F(Uac2StressTest, StartStopLoopsWithFeedback) {
    CUsbAsyncRenderStream* render = MakeAsyncRender();
    CUsbCaptureStreamEx* capture = MakeCaptureEx();
    for (int round = 0; round < 12; round++) {
        RecordingClient out("out"), in("in");
        ASSERT_EQ(Start(render, out, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16), 10, 3 + round % 3), STATUS_SUCCESS);
        ASSERT_EQ(Start(capture, in, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16), 10, 2), STATUS_SUCCESS);
        RunFor(15 + round);
        Finish(render, out);
        Finish(capture, in);
        ASSERT_EQ(render->StreamState(), STREAM_STATE_CLOSED);
        ASSERT_EQ(capture->StreamState(), STREAM_STATE_CLOSED);
    }
    EXPECT_EQ(model_->BusyCount(), 0);
}

TEST_F(Uac2StressTest, FeedbackAndDataFailuresWhileClientsComeAndGo) {
    CUsbAsyncRenderStream* render = MakeAsyncRender();
    for (int round = 0; round < 8; round++) {
        std::vector<USBD_STATUS> feedback(10 * (1 + round % 3), USBD_STATUS_SUCCESS);
        feedback.insert(feedback.end(), 10, USBD_STATUS_CRC);
        device().ScriptPacketStatuses(kFeedbackEndpoint, feedback);
        std::vector<USBD_STATUS> data(80 * (1 + round % 2), USBD_STATUS_SUCCESS);
        data.insert(data.end(), 80, USBD_STATUS_CRC);
        device().ScriptPacketStatuses(kRenderEndpoint, data);
        RecordingClient out("out");
        ASSERT_EQ(Start(render, out, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16), 10, 4), STATUS_SUCCESS);
        RunFor(5 + 9 * round);
        Finish(render, out);
        ASSERT_EQ(render->StreamState(), STREAM_STATE_CLOSED);
    }
    EXPECT_EQ(model_->BusyCount(), 0);
}

}  // namespace
}  // namespace streamtest

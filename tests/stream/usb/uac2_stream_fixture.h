// UAC 2.0 stream tests: the simulated asynchronous USB Audio Class 2.0
// device (tests/fakes/stream/uac2_devices.h) plugged into the PnP harness,
// the model stand-in over it with the clock source's node in its unit
// list, and the render and capture streams made the way the UAC 2.0 parser
// makes them (tag "UAC2", clock unit id, Init, formats, buffers).
#pragma once

#include <vector>

#include "stream/usb/usb_async_render_stream.h"
#include "stream/usb/usb_capture_stream_ex.h"
#include "tests/fakes/stream/uac2_devices.h"
#include "tests/stream/usb/stream_fixture.h"

namespace streamtest {

inline std::vector<FormatAlt> Uac2RenderFormats() {
    return {{PcmFormat(2, 48000, 16), kAltStreaming},   {PcmFormat(2, 44100, 16), kAltStreaming},
            {PcmFormat(2, 96000, 16), kAltStreaming},   {PcmFormat(2, 192000, 16), kAltStreaming},
            {PcmFormat(6, 48000, 16), kAltNoEndpoints}, {PcmFormat(4, 48000, 16), kAltOtherDirection},
            {PcmFormat(8, 48000, 16), kAltFeedbackFirst}, {PcmFormat(1, 48000, 16), kAltTwoOut}};
}

inline std::vector<FormatAlt> Uac2CaptureFormats() {
    return {{PcmFormat(2, 48000, 16), kAltStreaming},
            {PcmFormat(2, 44100, 16), kAltStreaming},
            {PcmFormat(6, 48000, 16), kAltNoEndpoints},
            {PcmFormat(4, 48000, 16), kAltOtherDirection}};
}

class Uac2StreamTest : public UsbStreamTest {
protected:
    virtual Uac2DeviceSpec Spec() { return Uac2DeviceSpec(); }
    simusb::DescriptorSet Device() override { return BuildUac2StreamDevice(Spec()); }

    void SetUp() override {
        UsbStreamTest::SetUp();
        clock_ = FakeClockNode::Create(kClockUnitId, static_cast<IUsbAudioDevice*>(model_));
        model_->AddModelUnit(clock_);
    }
    void TearDown() override {
        for (CCyclicControl* stream : streams_) stream->Release();
        streams_.clear();
        if (clock_) clock_->Release();
        clock_ = nullptr;
        // Each of the streams' tags balances; the scope then checks the
        // rest (threads, timers, every other tag, IRQL rules).
        for (ULONG tag : {UAC2_STREAM_TAG, UAC2_REQUEST_TAG, UAC2_VENDOR_TAG, CYCLIC_URB_TAG, CYCLIC_CLIENT_TAG})
            EXPECT_EQ(sim::PoolLiveBlocks(tag), 0) << std::string((const char*)&tag, 4);
        UsbStreamTest::TearDown();
    }

    CUsbAsyncRenderStream* MakeAsyncRender(const std::vector<FormatAlt>& formats = Uac2RenderFormats()) {
        return Adopt(new (NonPagedPoolNx, UAC2_STREAM_TAG)
                         CUsbAsyncRenderStream(NULL, kRenderInterface, 1, kClockUnitId),
                     0, formats);
    }
    CUsbCaptureStreamEx* MakeCaptureEx(const std::vector<FormatAlt>& formats = Uac2CaptureFormats()) {
        return Adopt(new (NonPagedPoolNx, UAC2_STREAM_TAG)
                         CUsbCaptureStreamEx(NULL, kCaptureInterface, 6, kClockUnitId),
                     1, formats);
    }

    // Opens for a client of format without running (the wave stream's
    // acquire): the status of Open.
    NTSTATUS Acquire(ICyclicControl* stream, RecordingClient& client, WAVEFORMATEXTENSIBLE format,
                     ULONG framesPerTransfer = 10, ULONG transfers = 3) {
        NTSTATUS status = client.Register(stream, CYCLIC_CLIENT_WAVE, format, framesPerTransfer, transfers);
        if (!NT_SUCCESS(status)) return status;
        ULONG frames = 0, frame = 0;
        return stream->ClientAcquire(client.Handle(), &frames, &frame);
    }

    FakeClockNode* clock_ = nullptr;
};

}  // namespace streamtest

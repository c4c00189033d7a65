// UAC 2.0 stream tests: a simulated asynchronous USB Audio Class 2.0
// device (clock source 10 clocking both terminals) plugged into the PnP
// harness, the model stand-in over it with the clock source's node in its
// unit list, and the render and capture streams made the way the UAC 2.0
// parser makes them (tag "UAC2", clock unit id, Init, formats, buffers).
//
// Device: interface 1 render
//   alt 1  OUT 0x01 (asynchronous) and, unless spec.feedback is off, the
//          explicit feedback IN 0x81;
//   alt 2  no endpoints;  alt 3 only an IN data endpoint;
//   alt 4  the feedback IN 0x81 listed before the OUT 0x01;
// interface 2 capture: alt 1 IN 0x82, alt 2 no endpoints, alt 3 only OUT.
#pragma once

#include <vector>

#include "stream/usb/usb_async_render_stream.h"
#include "stream/usb/usb_capture_stream_ex.h"
#include "tests/stream/usb/stream_fixture.h"
#include "topology/unit_interfaces.h"

namespace streamtest {

struct Uac2DeviceSpec {
    simusb::UsbSpeed speed = simusb::UsbSpeed::High;
    UCHAR dataInterval = 1;      // bInterval of the data endpoints
    UCHAR feedbackInterval = 4;  // bInterval of the feedback endpoint
    bool feedback = true;        // alt 1 of the render interface has one
    UCHAR channels = 2;
    UCHAR subslot = 2;
    UCHAR bits = 16;
};

simusb::DescriptorSet BuildUac2StreamDevice(const Uac2DeviceSpec& spec);

inline constexpr UCHAR kClockId = 10;
inline constexpr ULONG kClockUnitId = 0x0A01;  // the clock source's node in the model
inline constexpr UCHAR kFeedbackEndpoint = 0x81;

// The clock source's node: its IClockSource sends SET CUR of the sampling
// frequency to the device's clock source, and notes every rate asked.
class FakeClockNode : public IUacUnit, public IClockSource, public CUnknown {
public:
    static FakeClockNode* Create(ULONG id, IUsbAudioDevice* device);

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    ULONG GetId() override { return m_Id; }
    ULONG GetKind() override { return 0; }
    ULONG GetSourceCount() override { return 0; }
    NTSTATUS GetSourceIds(ULONG* count, ULONG*) override;
    NTSTATUS Apply() override { return STATUS_SUCCESS; }
    NTSTATUS ReadBack() override { return STATUS_SUCCESS; }
    NTSTATUS Start() override { return STATUS_SUCCESS; }
    NTSTATUS Stop() override { return STATUS_SUCCESS; }
    NTSTATUS SetSourceIds(ULONG, const ULONG*) override { return STATUS_NOT_SUPPORTED; }

    NTSTATUS GetSampleRates(ULONG*, ULONG*) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS GetSampleRateCount(ULONG*) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS SetSampleRate(ULONG rate) override;
    NTSTATUS GetSampleRate(ULONG*) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS GetClockValid(BYTE*) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS Init(ULONG, const ULONG*) override { return STATUS_SUCCESS; }

    bool refuseClockInterface = false;
    std::vector<ULONG> ratesSet;

private:
    FakeClockNode(ULONG id, IUsbAudioDevice* device) : CUnknown(NULL), m_Id(id), m_Device(device) {}
    ULONG m_Id;
    IUsbAudioDevice* m_Device;
};

inline std::vector<FormatAlt> Uac2RenderFormats() {
    return {{PcmFormat(2, 48000, 16), kAltStreaming},   {PcmFormat(2, 44100, 16), kAltStreaming},
            {PcmFormat(2, 96000, 16), kAltStreaming},   {PcmFormat(2, 192000, 16), kAltStreaming},
            {PcmFormat(6, 48000, 16), kAltNoEndpoints}, {PcmFormat(4, 48000, 16), kAltOtherDirection},
            {PcmFormat(8, 48000, 16), kAltFeedbackFirst}};
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

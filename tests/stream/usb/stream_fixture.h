// USB stream tests: a simulated UAC 1.0 speaker and microphone plugged
// into the PnP harness, the model stand-in over it, and render and capture
// streams made the way the device core's parser makes them (Init with the
// model, formats with their alternate settings, work buffers).
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "sim/debug.h"
#include "sim/executor.h"
#include "stream/usb/usb_capture_stream.h"
#include "stream/usb/usb_render_stream.h"
#include "tests/fakes/dsp/limiter_recorder.h"
#include "tests/fakes/stream/fake_usb_model.h"
#include "tests/fakes/stream/formats.h"
#include "tests/fakes/stream/recording_client.h"
#include "tests/fakes/stream/uac1_devices.h"
#include "tests/support/kernel_test.h"

namespace streamtest {

using namespace streamfakes;

constexpr LONGLONG kMs = sim::kTicksPerMillisecond;

// Formats the streams offer and the alternate settings carrying them.
struct FormatAlt {
    WAVEFORMATEXTENSIBLE format;
    UCHAR alternate;
};

inline std::vector<FormatAlt> RenderFormats() {
    return {{PcmFormat(2, 48000, 16), kAltStreaming},
            {PcmFormat(2, 44100, 16), kAltStreaming},
            {PcmFormat(6, 48000, 16), kAltNoEndpoints},
            {PcmFormat(4, 48000, 16), kAltOtherDirection},
            {PcmFormat(8, 48000, 16), kAltFeedbackFirst}};
}

inline std::vector<FormatAlt> CaptureFormats() {
    return {{PcmFormat(1, 48000, 16), kAltStreaming},
            {PcmFormat(1, 44100, 16), kAltStreaming},
            {PcmFormat(6, 48000, 16), kAltNoEndpoints},
            {PcmFormat(4, 48000, 16), kAltOtherDirection}};
}

// A completed IN transfer made by hand: its URB and data buffer sized as
// the opened stream sizes them.
struct CraftedTransfer {
    CraftedTransfer(CUsbCaptureStream* stream, ULONG blockAlign)
        : packets(stream->FramesPerTransfer() * stream->PacketsPerFrame()),
          slot(stream->SamplesPerPacket() * blockAlign),
          urb(GET_ISO_URB_SIZE(packets)),
          data(slot * packets) {
        ctx.Urb = reinterpret_cast<PURB>(urb.data());
        ctx.Buffer = data.data();
        ctx.Length = (ULONG)data.size();
        ctx.Urb->UrbIsochronousTransfer.NumberOfPackets = packets;
        for (ULONG i = 0; i < packets; i++) Packet(i) = {i * slot, 0, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW};
    }
    USBD_ISO_PACKET_DESCRIPTOR& Packet(ULONG i) { return ctx.Urb->UrbIsochronousTransfer.IsoPacket[i]; }
    // Packet i carries length bytes counting up from *next.
    void Fill(ULONG i, ULONG length, uint8_t* next) {
        Packet(i) = {i * slot, length, USBD_STATUS_SUCCESS};
        for (ULONG b = 0; b < length && i * slot + b < data.size(); b++) data[i * slot + b] = (*next)++;
    }
    ULONG packets, slot;
    std::vector<uint64_t> urb;  // 8-byte aligned storage
    std::vector<uint8_t> data;
    USB_TRANSFER_CONTEXT ctx = {};
};

class UsbStreamTest : public sim::KernelTest {
protected:
    virtual Uac1DeviceSpec DeviceSpec() { return Uac1DeviceSpec(); }
    virtual simusb::DescriptorSet Device() { return BuildUac1Device(DeviceSpec()); }

    void SetUp() override {
        sim::KernelTest::SetUp();
        limiterrecorder::ClearCalls();
        port_ = std::make_unique<simusb::SimUsbPort>(Device());
        model_ = FakeUsbModel::Create(*port_, &timeline_);
    }

    void TearDown() override {
        for (CCyclicControl* stream : streams_) stream->Release();
        streams_.clear();
        if (model_) model_->Release();
        model_ = nullptr;
        port_.reset();
        sim::KernelTest::TearDown();
    }

    template <typename T>
    T* Make(UCHAR interfaceNumber, ULONG isCapture, const std::vector<FormatAlt>& formats) {
        return Adopt(new (NonPagedPoolNx, UAC1_STREAM_TAG) T(NULL, interfaceNumber, isCapture ? 6 : 1), isCapture,
                     formats);
    }
    // Init with the model, the formats, the work buffers; released at the
    // end of the test.
    template <typename T>
    T* Adopt(T* stream, ULONG isCapture, const std::vector<FormatAlt>& formats) {
        stream->AddRef();
        streams_.push_back(stream);
        EXPECT_EQ(stream->Init(isCapture, static_cast<IAudioHal*>(model_)), STATUS_SUCCESS);
        for (const FormatAlt& f : formats) EXPECT_EQ(stream->AddFormat(&f.format, f.alternate), STATUS_SUCCESS);
        EXPECT_EQ(stream->AllocateBuffers(), STATUS_SUCCESS);
        return stream;
    }
    CUsbRenderStream* MakeRender(const std::vector<FormatAlt>& formats = RenderFormats()) {
        return Make<CUsbRenderStream>(kRenderInterface, 0, formats);
    }
    CUsbCaptureStream* MakeCapture(const std::vector<FormatAlt>& formats = CaptureFormats()) {
        return Make<CUsbCaptureStream>(kCaptureInterface, 1, formats);
    }
    // Releases a stream before the end of the test.
    void Destroy(CCyclicControl* stream) {
        streams_.erase(std::find(streams_.begin(), streams_.end(), stream));
        stream->Release();
    }

    // The wave-cyclic stream's sequence on entering RUN: register,
    // acquire, run 2 frames after the frame the open read.
    NTSTATUS Start(ICyclicControl* stream, RecordingClient& client, ULONG priority, WAVEFORMATEXTENSIBLE format,
                   ULONG framesPerTransfer = 5, ULONG transfers = 3, ULONG frameOffset = 2) {
        NTSTATUS status = client.Register(stream, priority, format, framesPerTransfer, transfers);
        if (!NT_SUCCESS(status)) return status;
        ULONG frames = 0, frame = 0;
        status = stream->ClientAcquire(client.Handle(), &frames, &frame);
        if (!NT_SUCCESS(status)) return status;
        return stream->ClientRun(client.Handle(), frame + frameOffset, &frames, nullptr);
    }
    // ... and on leaving it: stop, release, unregister.
    void Finish(ICyclicControl* stream, RecordingClient& client) {
        EXPECT_EQ(stream->ClientStop(client.Handle(), nullptr), STATUS_SUCCESS);
        EXPECT_EQ(stream->ClientRelease(client.Handle()), STATUS_SUCCESS);
        EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
    }

    void RunFor(LONGLONG ms) { sim::Sleep(ms * kMs); }
    simusb::SimUsbBus& bus() { return port_->bus(); }
    simusb::SimDevice& device() { return port_->device(); }

    Timeline timeline_;
    std::unique_ptr<simusb::SimUsbPort> port_;
    FakeUsbModel* model_ = nullptr;
    std::vector<CCyclicControl*> streams_;
};

}  // namespace streamtest

// The wave miniport and stream over a real USB stream of the built-in
// UAC 1.0 headset on the simulated bus: render is interface 1 (stereo),
// capture interface 2 (mono), each offering 48 and 44.1 kHz at 16 bits as
// the device core's parser would list them. Shared by the USB stream tests
// and the concurrency loops.
#pragma once

#include <memory>

#include "stream/usb/usb_capture_stream.h"
#include "stream/usb/usb_render_stream.h"
#include "tests/fakes/stream/fake_usb_model.h"
#include "tests/stream/wave/wave_fixture.h"
#include "platform/usb/uac_builder.h"
#include "platform/usb/usb_port.h"

namespace wavetest {

class UsbWaveFixture : public MiniportFixture {
protected:
    static constexpr UCHAR kAltStreaming = 1;

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

    // The headset's USB stream of one direction, the miniport over it and
    // a wave stream opened at `rate`.
    void OpenUsbStream(bool capture, ULONG rate) {
        USHORT channels = capture ? 1 : 2;
        if (capture)
            usb_ = new (NonPagedPoolNx, UAC1_STREAM_TAG) CUsbCaptureStream(NULL, 2, 6);
        else
            usb_ = new (NonPagedPoolNx, UAC1_STREAM_TAG) CUsbRenderStream(NULL, 1, 1);
        usb_->AddRef();
        ASSERT_EQ(usb_->Init(capture ? 1 : 0, static_cast<IAudioHal*>(model_)), STATUS_SUCCESS);
        for (ULONG r : {48000u, 44100u}) {
            WAVEFORMATEXTENSIBLE f = PcmFormat(channels, r, 16);
            ASSERT_EQ(usb_->AddFormat(&f, kAltStreaming), STATUS_SUCCESS);
        }
        ASSERT_EQ(usb_->AllocateBuffers(), STATUS_SUCCESS);
        ASSERT_EQ(MakeMiniport(static_cast<IStreamEngine*>(usb_)), STATUS_SUCCESS);
        DataFormat format = ExtensibleFormat(PcmFormat(channels, rate, 16));
        ASSERT_EQ(NewStream(format, &wave_stream_.stream, &wave_stream_.dma, &wave_stream_.group, capture),
                  STATUS_SUCCESS);
    }
    // Steps the wave stream through states, each expected to succeed.
    void Step(std::initializer_list<KSSTATE> states) {
        for (KSSTATE s : states) EXPECT_EQ(wave_stream_.stream->SetState(s), STATUS_SUCCESS);
    }

    std::unique_ptr<simusb::SimUsbPort> port_usb_;
    streamfakes::FakeUsbModel* model_ = nullptr;
    CCyclicControl* usb_ = nullptr;
    OpenStream wave_stream_;
};

}  // namespace wavetest

// The wave miniport under test: created through CreateMiniportWaveCyclic
// for an engine (engine 0 of a fake adapter) and initialised with a
// counting fake port, as the port class would. The engine is the stream
// engine itself for the table tests, or a real USB stream over a simulated
// device for the stream tests. TearDown releases the miniport and checks
// that the port and the adapter got every reference back.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <vector>

#include "stream/wave/miniport_wave_cyclic.h"
#include "stream/wave/miniport_wave_cyclic_stream.h"
#include "tests/fakes/stream/formats.h"
#include "tests/fakes/wave/fake_wave_adapter.h"
#include "tests/support/kernel_test.h"

namespace wavetest {

using streamfakes::PcmFormat;

inline WAVEFORMATEXTENSIBLE WithSubFormat(WAVEFORMATEXTENSIBLE f, const GUID& subFormat) {
    f.SubFormat = subFormat;
    return f;
}
inline WAVEFORMATEXTENSIBLE FloatFormat(USHORT channels, ULONG rate) {
    return WithSubFormat(PcmFormat(channels, rate, 32), KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
}

// A data format of `size` bytes (the whole buffer) with a wave format at
// `offset`; extra bytes beyond FormatSize may follow.
struct DataFormat {
    std::vector<UCHAR> bytes;
    PKSDATAFORMAT get() { return reinterpret_cast<PKSDATAFORMAT>(bytes.data()); }
};

inline DataFormat MakeDataFormat(const WAVEFORMATEXTENSIBLE& wave, ULONG formatSize, ULONG offset, ULONG flags = 0,
                                 size_t waveBytes = sizeof(WAVEFORMATEXTENSIBLE), size_t bufferSize = 0) {
    DataFormat f;
    f.bytes.assign(bufferSize ? bufferSize : formatSize, 0);
    KSDATAFORMAT header = {};
    header.FormatSize = formatSize;
    header.Flags = flags;
    header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header.SubFormat = wave.SubFormat;
    header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    memcpy(f.bytes.data(), &header, sizeof(header));
    size_t n = std::min(waveBytes, f.bytes.size() - offset);
    memcpy(f.bytes.data() + offset, &wave, n);
    return f;
}

// The usual 104-byte form, optionally followed by an attribute list.
inline DataFormat ExtensibleFormat(const WAVEFORMATEXTENSIBLE& wave, const std::vector<UCHAR>& attributes = {}) {
    DataFormat f = MakeDataFormat(wave, sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE), sizeof(KSDATAFORMAT),
                                  attributes.empty() ? 0 : KSDATAFORMAT_ATTRIBUTES);
    f.bytes.insert(f.bytes.end(), attributes.begin(), attributes.end());
    return f;
}

class MiniportFixture : public sim::KernelTest {
protected:
    void SetUp() override {
        sim::KernelTest::SetUp();
    }

    void TearDown() override {
        ReleaseMiniport();
        if (port_) {
            EXPECT_EQ(port_->RefCount(), 1u);
            port_->Release();
        }
        if (adapter_) {
            EXPECT_EQ(adapter_->RefCount(), 1u);
            adapter_->Release();
        }
        port_ = nullptr;
        adapter_ = nullptr;
        ReleaseEngine();
        sim::KernelTest::TearDown();
    }

    // Creates and initialises the miniport for engine (held by the adapter).
    NTSTATUS MakeMiniport(IStreamEngine* engine) {
        adapter_ = wavefakes::FakeWaveAdapter::Create({engine});
        port_ = wavefakes::FakeWavePort::Create();
        EXPECT_EQ(CreateMiniportWaveCyclic(&unknown_, CLSID_PortWaveCyclic, NULL, NonPagedPoolNx, 0), STATUS_SUCCESS);
        EXPECT_EQ(unknown_->QueryInterface(IID_IMiniportWaveCyclic, (PVOID*)&wave_), STATUS_SUCCESS);
        miniport_ = static_cast<CMiniportWaveCyclic*>(wave_);
        return wave_->Init(static_cast<IAudioHal*>(adapter_), NULL, port_);
    }

    void ReleaseMiniport() {
        if (wave_) wave_->Release();
        if (unknown_) unknown_->Release();
        wave_ = nullptr;
        unknown_ = nullptr;
        miniport_ = nullptr;
    }

    virtual void ReleaseEngine() {}

    const PCFILTER_DESCRIPTOR* Descriptor() {
        PPCFILTER_DESCRIPTOR d = nullptr;
        EXPECT_EQ(wave_->GetDescription(&d), STATUS_SUCCESS);
        return d;
    }

    // NewStream on pin 0 with a format; the stream and its DMA channel.
    NTSTATUS NewStream(DataFormat& format, PMINIPORTWAVECYCLICSTREAM* stream, PDMACHANNEL* dma,
                       PSERVICEGROUP* group, BOOLEAN capture = FALSE) {
        return wave_->NewStream(stream, NULL, NonPagedPoolNx, 0, capture, format.get(), dma, group);
    }

    wavefakes::FakeWaveAdapter* adapter_ = nullptr;
    wavefakes::FakeWavePort* port_ = nullptr;
    PUNKNOWN unknown_ = nullptr;
    IMiniportWaveCyclic* wave_ = nullptr;
    CMiniportWaveCyclic* miniport_ = nullptr;
};

// Steps a stream through states in order; the first failure, or success.
inline NTSTATUS StepStates(PMINIPORTWAVECYCLICSTREAM stream, std::initializer_list<KSSTATE> states) {
    for (KSSTATE s : states) {
        NTSTATUS status = stream->SetState(s);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}
constexpr std::initializer_list<KSSTATE> kUpToRun = {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN};
constexpr std::initializer_list<KSSTATE> kDownToStop = {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP};

// Releases a stream's three interfaces.
struct OpenStream {
    PMINIPORTWAVECYCLICSTREAM stream = nullptr;
    PDMACHANNEL dma = nullptr;
    PSERVICEGROUP group = nullptr;
    CMiniportWaveCyclicStream* object() { return static_cast<CMiniportWaveCyclicStream*>(stream); }
    void Release() {
        if (group) group->Release();
        if (dma) dma->Release();
        if (stream) stream->Release();
        group = nullptr;
        dma = nullptr;
        stream = nullptr;
    }
};

}  // namespace wavetest

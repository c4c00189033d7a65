// Fuzzes the creation of a wave pin: the input is a pin id and the connect
// buffer (a KSDATAFORMAT, its wave format and any attribute list) handed to
// the streaming pin of a registered wave filter. Whatever opens must carry
// one of the engine's formats and must run and stop cleanly; nothing may
// read outside the buffer (ASan) or leave a stream behind.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/portcls/wave_pin.h"
#include "sim/executor.h"
#include "stream/wave/miniport_wave_cyclic.h"
#include "stream/wave/miniport_wave_cyclic_stream.h"
#include "tests/fakes/stream/formats.h"
#include "tests/fakes/wave/fake_cyclic_engine.h"
#include "tests/fakes/wave/fake_install_miniports.h"
#include "tests/fakes/wave/fake_wave_adapter.h"
#include "tests/fakes/wave/wave_test_device.h"

namespace {

using streamfakes::PcmFormat;

struct Rig {
    Rig() : device(wavefakes::CreateFakeTopologyMiniport) {
        if (!NT_SUCCESS(device.Start())) abort();
        engine = wavefakes::FakeCyclicEngine::Create(
            false, {PcmFormat(2, 48000, 16), PcmFormat(2, 44100, 24, 32), PcmFormat(1, 8000, 8)});
        adapter = wavefakes::FakeWaveAdapter::Create({engine});
        PPORT p = NULL;
        PUNKNOWN miniport = NULL;
        if (!NT_SUCCESS(PcNewPort(&p, CLSID_PortWaveCyclic)) ||
            !NT_SUCCESS(CreateMiniportWaveCyclic(&miniport, CLSID_PortWaveCyclic, NULL, NonPagedPoolNx, 0)) ||
            !NT_SUCCESS(p->Init(device.Fdo(), NULL, miniport, static_cast<IAudioHal*>(adapter), NULL)) ||
            !NT_SUCCESS(PcRegisterSubdevice(device.Fdo(), u"FuzzWave", p)))
            abort();
        miniport->Release();
        port = p;
    }
    // At exit: the device goes before the executor does.
    ~Rig() {
        port->Release();
        adapter->Release();
        engine->Release();
    }
    sim::KernelScope scope;
    wavefakes::WaveTestDevice device;
    wavefakes::FakeCyclicEngine* engine = nullptr;
    wavefakes::FakeWaveAdapter* adapter = nullptr;
    PPORT port = nullptr;
};

Rig& TheRig() {
    static Rig rig;
    return rig;
}

bool Listed(IStreamEngine* engine, const WAVEFORMATEX& wave) {
    for (ULONG i = 0; i < engine->GetFormatCount(); i++) {
        WAVEFORMATEXTENSIBLE f;
        engine->GetFormat(i, &f);
        if (f.Format.nChannels == wave.nChannels && f.Format.nSamplesPerSec == wave.nSamplesPerSec &&
            f.Format.wBitsPerSample == wave.wBitsPerSample)
            return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Rig& rig = TheRig();
    if (size < 1) return 0;
    const ULONG pinId = data[0] % 3;
    std::unique_ptr<uint8_t[]> connect(new uint8_t[size - 1]);  // exact size: over-reads show
    memcpy(connect.get(), data + 1, size - 1);
    sim::WavePin pin;
    if (!NT_SUCCESS(pin.Open(rig.port, pinId, connect.get(), (ULONG)(size - 1)))) return 0;
    auto* stream = static_cast<CMiniportWaveCyclicStream*>(pin.Stream());
    if (!Listed(rig.engine, stream->Format().Format)) abort();
    if (!NT_SUCCESS(pin.SetState(KSSTATE_RUN))) abort();
    std::vector<uint8_t> fill(960);
    rig.engine->SendFill(fill.data(), (ULONG)fill.size());
    rig.engine->SendBytesDone((ULONG)fill.size());
    pin.Close();
    if (rig.engine->RegisteredClients() != 0) abort();
    return 0;
}

#include "tests/fakes/wave/fake_wave_adapter.h"

#include <cstring>

namespace wavefakes {

namespace {
constexpr ULONG kTag = MakePoolTag("FWav");
}

// ---- FakeWaveAdapter ----------------------------------------------------------

FakeWaveAdapter* FakeWaveAdapter::Create(const std::vector<IStreamEngine*>& engines) {
    auto* adapter = new (NonPagedPoolNx, kTag) FakeWaveAdapter(engines);
    adapter->AddRef();
    return adapter;
}

FakeWaveAdapter::FakeWaveAdapter(const std::vector<IStreamEngine*>& engines)
    : InertAudioHal(NULL), m_Engines(engines), m_Extension(DEVICE_EXTENSION_SIZE) {
    for (IStreamEngine* engine : m_Engines) engine->AddRef();
    m_Device.DeviceExtension = m_Extension.data();
    KeInitializeMutex(&Context()->MiniportMutex, 0);
    Context()->Fdo = &m_Device;
}

FakeWaveAdapter::~FakeWaveAdapter() {
    for (IStreamEngine* engine : m_Engines) engine->Release();
}

NTSTATUS FakeWaveAdapter::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (iid == IID_IUnknown) return ReturnInterface(static_cast<IAudioHal*>(this), out);
    if (iid == IID_IAudioHal && !RefuseAudioHal) return ReturnInterface(static_cast<IAudioHal*>(this), out);
    return RefuseInterface(out);
}

NTSTATUS FakeWaveAdapter::GetStreamEngineCapabilities(ULONG, ENDPOINT_CAPS* caps) {
    if (caps == NULL) return STATUS_INVALID_PARAMETER;
    *caps = Caps;
    return STATUS_SUCCESS;
}

NTSTATUS FakeWaveAdapter::GetStreamEngine(ULONG index, IStreamEngine** engine) {
    if (engine == NULL) return STATUS_INVALID_PARAMETER;
    *engine = NULL;
    if (!NT_SUCCESS(EngineStatus)) return EngineStatus;
    if (index >= m_Engines.size()) return STATUS_INVALID_PARAMETER;
    *engine = m_Engines[index];
    return STATUS_SUCCESS;
}

ULONG FakeWaveAdapter::RefCount() {
    AddRef();
    return Release();
}

// ---- FakeWavePort ---------------------------------------------------------------

FakeWavePort* FakeWavePort::Create() {
    auto* port = new (NonPagedPoolNx, kTag) FakeWavePort();
    port->AddRef();
    return port;
}

NTSTATUS FakeWavePort::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (iid == IID_IUnknown || iid == IID_IPort || iid == IID_IPortWaveCyclic)
        return ReturnInterface(static_cast<IPortWaveCyclic*>(this), out);
    return RefuseInterface(out);
}

VOID FakeWavePort::Notify(PSERVICEGROUP group) {
    ++m_Notifications;
    if (OnNotify) OnNotify(group);
}

ULONG FakeWavePort::RefCount() {
    AddRef();
    return Release();
}

}  // namespace wavefakes

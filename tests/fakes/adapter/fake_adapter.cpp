// The fake adapter object.
#include "tests/fakes/adapter/fake_adapter.h"

#include <string>

#include "tests/fakes/adapter/asio_recorder.h"
#include "tests/fakes/adapter/fake_log.h"

namespace fakes {

AdapterScript& NextAdapter() {
    static AdapterScript script;
    return script;
}

AdapterRecord& Adapters() {
    static AdapterRecord record;
    return record;
}

void ResetAdapters() {
    NextAdapter() = AdapterScript();
    Adapters() = AdapterRecord();
}

FakeAdapter::FakeAdapter(const AdapterScript& script) : CAudioHal(NULL), m_Script(script) { ++Adapters().created; }

FakeAdapter::~FakeAdapter() {
    for (FakeEngine* engine : m_Engines) engine->Release();
    if (m_Running) --Adapters().running;
    ++Adapters().destroyed;
    Note("adapter:gone");
}

NTSTATUS FakeAdapter::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (iid == IID_IUnknown || iid == IID_IAudioHal) return ReturnInterface(static_cast<IAudioHal*>(this), out);
    if (iid == IID_IAsioDevice && m_Script.asioDevice) return ReturnInterface(static_cast<IAsioDevice*>(this), out);
    if (iid == IID_IAdapterPowerManagement)
        return ReturnInterface(static_cast<IAdapterPowerManagement*>(this), out);
    return RefuseInterface(out);
}

NTSTATUS FakeAdapter::GetStreamEngineCapabilities(ULONG index, ENDPOINT_CAPS* caps) {
    if (caps == NULL || index >= m_Engines.size()) return STATUS_INVALID_PARAMETER;
    *caps = m_Engines[index]->Spec().caps;
    return STATUS_SUCCESS;
}

NTSTATUS FakeAdapter::GetStreamEngine(ULONG index, IStreamEngine** engine) {
    *engine = NULL;
    if (index >= m_Engines.size()) return STATUS_INVALID_PARAMETER;
    *engine = m_Engines[index];
    return STATUS_SUCCESS;
}

NTSTATUS FakeAdapter::GetUnit(ULONG, IUacUnit** unit) {
    *unit = NULL;
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS FakeAdapter::Init(PRESOURCELIST, PDEVICE_OBJECT fdo, PDEVICE_OBJECT, PDEVICE_OBJECT) {
    Note("adapter:init");
    m_Fdo = fdo;
    if (!NT_SUCCESS(m_Script.initStatus)) return m_Script.initStatus;
    for (size_t i = 0; i < m_Script.engines.size(); ++i) {
        FakeEngine* engine = FakeEngine::Create(m_Script.engines[i], (ULONG)i);
        if (engine == NULL) return STATUS_INSUFFICIENT_RESOURCES;
        m_Engines.push_back(engine);
    }
    return STATUS_SUCCESS;
}

NTSTATUS FakeAdapter::Start() {
    Note("adapter:start");
    if (!NT_SUCCESS(m_Script.startStatus)) return m_Script.startStatus;
    if (!m_Running) ++Adapters().running;
    m_Running = true;
    return STATUS_SUCCESS;
}

NTSTATUS FakeAdapter::Stop() {
    Note("adapter:stop");
    if (m_Running) --Adapters().running;
    m_Running = false;
    return STATUS_SUCCESS;
}

NTSTATUS FakeAdapter::PreprocessIrp(PIRP) {
    Note("adapter:preprocess");
    return STATUS_SUCCESS;
}

NTSTATUS FakeAdapter::GetEndpointCapabilities(BOOLEAN, ULONG, ENDPOINT_CAPS* caps) {
    if (caps == NULL) return STATUS_INVALID_PARAMETER;
    *caps = {};
    return STATUS_SUCCESS;
}

VOID FakeAdapter::PowerChangeState(POWER_STATE newState) {
    Note("adapter:power:D" + std::to_string((int)newState.DeviceState - 1));
}

NTSTATUS FakeAdapter::AsioOpen(PFILE_OBJECT f) { return Asio().AsioOpen(f); }
NTSTATUS FakeAdapter::AsioUnused(PFILE_OBJECT f) { return Asio().AsioUnused(f); }
NTSTATUS FakeAdapter::AsioClose(PFILE_OBJECT f) { return Asio().AsioClose(f); }
NTSTATUS FakeAdapter::AsioGetDriverName(PFILE_OBJECT f, CHAR* o, ULONG* l) { return Asio().AsioGetDriverName(f, o, l); }
NTSTATUS FakeAdapter::AsioGetChannels(PFILE_OBJECT f, ULONG* o, ULONG l) { return Asio().AsioGetChannels(f, o, l); }
NTSTATUS FakeAdapter::AsioGetChannelInfo(PFILE_OBJECT f, ASIOChannelInfo* o, ULONG l) {
    return Asio().AsioGetChannelInfo(f, o, l);
}
NTSTATUS FakeAdapter::AsioSetNotifyEvent(PFILE_OBJECT f, const HANDLE* e) { return Asio().AsioSetNotifyEvent(f, e); }
NTSTATUS FakeAdapter::AsioClearNotifyEvent(PFILE_OBJECT f) { return Asio().AsioClearNotifyEvent(f); }
NTSTATUS FakeAdapter::AsioGetBuffersCreated(PFILE_OBJECT f, ULONG* o) { return Asio().AsioGetBuffersCreated(f, o); }
NTSTATUS FakeAdapter::AsioGetSampleTypes(PFILE_OBJECT f, ULONG* o, ULONG* l) { return Asio().AsioGetSampleTypes(f, o, l); }
NTSTATUS FakeAdapter::AsioGetLatencyTable(PFILE_OBJECT f, ULONG* o, ULONG* l) {
    return Asio().AsioGetLatencyTable(f, o, l);
}
NTSTATUS FakeAdapter::AsioSetSampleType(PFILE_OBJECT f, ULONG t) { return Asio().AsioSetSampleType(f, t); }
NTSTATUS FakeAdapter::AsioSetLatency(PFILE_OBJECT f, ULONG i) { return Asio().AsioSetLatency(f, i); }
NTSTATUS FakeAdapter::AsioGetLatencies(PFILE_OBJECT f, ULONG* o) { return Asio().AsioGetLatencies(f, o); }
NTSTATUS FakeAdapter::AsioGetSampleRate(PFILE_OBJECT f, ULONG* o) { return Asio().AsioGetSampleRate(f, o); }
NTSTATUS FakeAdapter::AsioCanSampleRate(PFILE_OBJECT f, const ULONG* r) { return Asio().AsioCanSampleRate(f, r); }
NTSTATUS FakeAdapter::AsioSetSampleRate(PFILE_OBJECT f, const ULONG* r) { return Asio().AsioSetSampleRate(f, r); }
NTSTATUS FakeAdapter::AsioGetBufferSize(PFILE_OBJECT f, ULONG* o) { return Asio().AsioGetBufferSize(f, o); }
NTSTATUS FakeAdapter::AsioCreateBuffers(PFILE_OBJECT f, const VOID* r, PVOID o, ULONG* l) {
    return Asio().AsioCreateBuffers(f, r, o, l);
}
NTSTATUS FakeAdapter::AsioDisposeBuffers(PFILE_OBJECT f) { return Asio().AsioDisposeBuffers(f); }
NTSTATUS FakeAdapter::AsioStart(PFILE_OBJECT f, const HANDLE* e) { return Asio().AsioStart(f, e); }
NTSTATUS FakeAdapter::AsioStop(PFILE_OBJECT f, PIRP i) { return Asio().AsioStop(f, i); }
NTSTATUS FakeAdapter::AsioCanIoFormat(PFILE_OBJECT f, const ULONG* m) { return Asio().AsioCanIoFormat(f, m); }
NTSTATUS FakeAdapter::AsioSetIoFormat(PFILE_OBJECT f, const ULONG* m) { return Asio().AsioSetIoFormat(f, m); }
NTSTATUS FakeAdapter::AsioGetIoFormat(PFILE_OBJECT f, ULONG* o) { return Asio().AsioGetIoFormat(f, o); }

}  // namespace fakes

// The fake stream engine.
#include "tests/fakes/adapter/fake_engine.h"

#include "tests/fakes/adapter/fake_log.h"

namespace fakes {

namespace {
std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }
}  // namespace

FakeEngine* FakeEngine::Create(const EngineSpec& spec, ULONG index) {
    auto* engine = new (NonPagedPoolNx, MakePoolTag("FEng")) FakeEngine(spec, index);
    if (engine != NULL) engine->AddRef();
    return engine;
}

FakeEngine::FakeEngine(const EngineSpec& spec, ULONG index) : CUnknown(NULL), m_Spec(spec), m_Index(index) {
    for (const UnitSpec& unitSpec : spec.units)
        if (FakeUnit* unit = FakeUnit::Create(unitSpec)) m_Units.push_back(unit);
}

FakeEngine::~FakeEngine() {
    for (FakeUnit* unit : m_Units) static_cast<IUacUnit*>(unit)->Release();
    if (m_WavePort != NULL) m_WavePort->Release();
    if (m_TopologyPort != NULL) m_TopologyPort->Release();
}

void FakeEngine::NoteCall(const std::string& what) { Note("engine" + std::to_string(m_Index) + ":" + what); }

NTSTATUS FakeEngine::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (iid == IID_IUnknown || iid == IID_IStreamEngine) return ReturnInterface(static_cast<IStreamEngine*>(this), out);
    return RefuseInterface(out);
}

NTSTATUS FakeEngine::SetName(PCWSTR name) {
    m_Name = name;
    NoteCall("name:" + Narrow(m_Name));
    return STATUS_SUCCESS;
}

NTSTATUS FakeEngine::GetName(PWSTR name) {
    if (name == NULL) return STATUS_INVALID_PARAMETER;
    std::copy(m_Name.begin(), m_Name.end(), name);
    name[m_Name.size()] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS FakeEngine::GetUnit(ULONG index, IUacUnit** unit) {
    *unit = NULL;
    if (index >= m_Units.size()) return STATUS_INVALID_PARAMETER;
    *unit = m_Units[index];
    return STATUS_SUCCESS;
}

NTSTATUS FakeEngine::SetMiniportCreate(PFNCREATEMINIPORT create, const GUID*) {
    if (create == NULL) return STATUS_NO_SUCH_DEVICE;
    m_Create = create;
    NoteCall("create");
    return STATUS_SUCCESS;
}

NTSTATUS FakeEngine::SetTopology(PUNKNOWN topologyPort, PUNKNOWN topologyMiniport) {
    if (topologyPort == NULL || topologyMiniport == NULL) return STATUS_NO_SUCH_DEVICE;
    if (m_TopologyPort != NULL) m_TopologyPort->Release();
    m_TopologyPort = topologyPort;
    m_TopologyPort->AddRef();
    NoteCall("topology");
    return STATUS_SUCCESS;
}

NTSTATUS FakeEngine::InstallMiniport(PDEVICE_OBJECT fdo, PIRP irp, PUNKNOWN adapter) {
    NoteCall("install");
    if (!NT_SUCCESS(m_Spec.installStatus)) return m_Spec.installStatus;
    if (m_Create == NULL) return STATUS_UNSUCCESSFUL;
    if (m_WavePort != NULL) return STATUS_SUCCESS;
    PPORT port = NULL;
    NTSTATUS status = PcNewPort(&port, CLSID_PortWaveCyclic);
    if (!NT_SUCCESS(status)) return status;
    PUNKNOWN miniport = NULL;
    status = m_Create(&miniport, CLSID_PortWaveCyclic, NULL, NonPagedPoolNx, m_Index);
    if (NT_SUCCESS(status)) status = port->Init(fdo, irp, miniport, adapter, NULL);
    if (NT_SUCCESS(status)) status = PcRegisterSubdevice(fdo, m_Name.c_str(), port);
    if (miniport != NULL) miniport->Release();
    if (NT_SUCCESS(status)) {
        m_WavePort = port;
    } else {
        port->Release();
    }
    return status;
}

NTSTATUS FakeEngine::RemoveMiniport(PDEVICE_OBJECT fdo) {
    NoteCall("remove");
    if (!NT_SUCCESS(m_Spec.removeStatus)) return m_Spec.removeStatus;
    if (m_WavePort == NULL) return STATUS_SUCCESS;
    PUNREGISTERSUBDEVICE unregister = NULL;
    NTSTATUS status = m_WavePort->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&unregister));
    if (NT_SUCCESS(status)) {
        status = unregister->UnregisterSubdevice(fdo, m_WavePort);
        unregister->Release();
    }
    m_WavePort->Release();
    m_WavePort = NULL;
    return status;
}

}  // namespace fakes

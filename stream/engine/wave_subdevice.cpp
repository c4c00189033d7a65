// The engine's wave subdevice: a wave-cyclic port with the wave miniport,
// registered under the miniport's name and connected by a physical
// connection to the "GlobalTopo" pin of the endpoint's USB streaming
// terminal. It exists only while the endpoint is present: InstallMiniport
// installs or removes it by the jacks of the endpoint's terminals.
//
// Everything here runs at PASSIVE_LEVEL without an engine lock; the device
// core orders the callers (start-up, the model's status thread, return to
// D0, removal) so that they never overlap.
#include <cstring>

#include "adapter/audio_hal.h"
#include "nt/dbg.h"
#include "stream/engine/stream_engine.h"
#include "topology/miniport_topology.h"
#include "topology/terminal_units.h"

namespace {

// Releases an interface pointer if set and clears it.
template <typename I>
void ReleaseAndClear(I*& p) {
    if (p) p->Release();
    p = NULL;
}

// Whether a terminal with jack records reports one of them plugged in; a
// terminal without records counts as present.
bool TerminalPresent(ITerminal* terminal) {
    ULONG count = 0;
    if (!NT_SUCCESS(terminal->GetJackCount(&count, 0)) || count == 0) return true;
    ULONG bytes = count * sizeof(JACK_INFO);
    if (bytes / sizeof(JACK_INFO) != count) return false;
    auto* jacks = static_cast<JACK_INFO*>(ExAllocatePoolWithTag(PagedPool, bytes, STREAM_ENGINE_TAG));
    if (jacks == NULL) return false;  // this terminal adds nothing
    // A GetJackInfo that writes nothing reads as unplugged.
    memset(jacks, 0, bytes);
    terminal->GetJackInfo(bytes, jacks, 0);
    bool present = false;
    for (ULONG i = 0; i < count && !present; i++) present = (jacks[i].IsConnected & 0xFF) != 0;
    ExFreePoolWithTag(jacks, STREAM_ENGINE_TAG);
    return present;
}

// This engine's position in the adapter's list, or STATUS_UNSUCCESSFUL.
NTSTATUS FindEngineIndex(IAudioHal* hal, IStreamEngine* self, ULONG* index) {
    ULONG count = hal->GetStreamEngineCount();
    for (ULONG i = 0; i < count; i++) {
        IStreamEngine* engine = NULL;
        if (!NT_SUCCESS(hal->GetStreamEngine(i, &engine))) return STATUS_UNSUCCESSFUL;
        if (engine == self) {
            *index = i;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_UNSUCCESSFUL;
}

}  // namespace

VOID CStreamEngine::LogInstallFailure(const char* step, NTSTATUS status) {
    DbgPrint("interface %u (%ws): %s failed (status %x); the wave filter is not installed\n",
             (unsigned)m_nInterfaceNumber, m_pwszName != NULL ? m_pwszName : u"", step, (unsigned)status);
}

NTSTATUS CStreamEngine::SetMiniportCreate(PFNCREATEMINIPORT create, const GUID* classId) {
    if (create == NULL) return STATUS_NO_SUCH_DEVICE;
    m_pfnCreateMiniport = create;
    if (classId) m_PortClassId = *classId;
    return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::SetTopology(PUNKNOWN topologyPort, PUNKNOWN topologyMiniport) {
    if (topologyPort == NULL || topologyMiniport == NULL) return STATUS_NO_SUCH_DEVICE;
    topologyPort->AddRef();
    if (m_pTopologyPort) m_pTopologyPort->Release();
    m_pTopologyPort = topologyPort;
    IMiniportInfo* info = NULL;
    NTSTATUS status = topologyMiniport->QueryInterface(IID_IMiniportInfo, (PVOID*)&info);
    // Not counted: the topology miniport lives as long as its port, which
    // the engine holds.
    m_pTopologyInfo = NT_SUCCESS(status) ? info : NULL;
    if (info) info->Release();
    return status;
}

BOOLEAN CStreamEngine::IsJackPresent() {
    ULONG wanted = m_bCapture ? UNIT_KIND_INPUT_PIN : UNIT_KIND_OUTPUT_PIN;
    BOOLEAN present = FALSE;
    ULONG count = GetUnitCount();
    for (ULONG i = 0; i < count; i++) {
        IUacUnit* unit = NULL;
        if (!NT_SUCCESS(GetUnit(i, &unit)) || unit == NULL || unit->GetKind() != wanted) continue;
        ITerminal* terminal = NULL;
        if (!NT_SUCCESS(unit->QueryInterface(IID_ITerminal, (PVOID*)&terminal)) || terminal == NULL) continue;
        ULONG type = ENDPOINT_STREAM;
        // The USB streaming terminal (type 0) has no jack.
        if (NT_SUCCESS(terminal->GetType(&type)) && type != ENDPOINT_STREAM && TerminalPresent(terminal))
            present = TRUE;
        terminal->Release();
    }
    return present;
}

NTSTATUS CStreamEngine::InstallMiniport(PDEVICE_OBJECT fdo, PIRP irp, PUNKNOWN adapter) {
    PAGED_CODE();
    if (m_pfnCreateMiniport == NULL) return STATUS_UNSUCCESSFUL;
    BOOLEAN present = IsJackPresent();
    if (present && m_pWavePort != NULL) return STATUS_SUCCESS;
    if (!present) return m_pWavePort == NULL ? STATUS_SUCCESS : RemoveWaveSubdevice(fdo);
    NTSTATUS status = InstallWaveSubdevice(fdo, irp, &m_PortClassId, &m_PortClassId, m_pfnCreateMiniport, adapter,
                                           &m_pWavePort);
    if (!NT_SUCCESS(status)) return status;
    // Pin 1 is the wave filter's bridge pin. A failure here leaves the
    // subdevice installed without the connection.
    if (m_bCapture)
        status = PcRegisterPhysicalConnection(fdo, m_pTopologyPort, m_nTopologyPin, m_pWavePort, 1);
    else
        status = PcRegisterPhysicalConnection(fdo, m_pWavePort, 1, m_pTopologyPort, m_nTopologyPin);
    if (!NT_SUCCESS(status)) LogInstallFailure("PcRegisterPhysicalConnection", status);
    return status;
}

NTSTATUS CStreamEngine::InstallWaveSubdevice(PDEVICE_OBJECT fdo, PIRP irp, const GUID* portClass,
                                             const GUID* miniportClass, PFNCREATEMINIPORT create, PUNKNOWN adapter,
                                             PUNKNOWN* portOut) {
    if (adapter == NULL || portClass == NULL || miniportClass == NULL) return STATUS_INVALID_PARAMETER;
    IAudioHal* hal = NULL;
    NTSTATUS status = adapter->QueryInterface(IID_IAudioHal, (PVOID*)&hal);
    if (!NT_SUCCESS(status)) return status;
    ULONG index = 0;
    PPORT port = NULL;
    PUNKNOWN miniport = NULL;
    IMiniportInfo* info = NULL;
    ULONG topologyPin = 0;
    const char* step = "creating the wave port and miniport";
    status = FindEngineIndex(hal, static_cast<IStreamEngine*>(this), &index);
    if (NT_SUCCESS(status)) status = PcNewPort(&port, *portClass);
    if (NT_SUCCESS(status) && create == NULL) status = STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(status)) status = create(&miniport, *miniportClass, NULL, NonPagedPoolNx, index);
    if (NT_SUCCESS(status)) step = "the wave port's Init";
    if (NT_SUCCESS(status)) status = port->Init(fdo, irp, miniport, adapter, NULL);
    if (NT_SUCCESS(status)) status = miniport->QueryInterface(IID_IMiniportInfo, (PVOID*)&info);
    PWSTR name = NULL;
    ULONG terminalId = 0;
    if (NT_SUCCESS(status)) status = info->GetName(&name);
    if (NT_SUCCESS(status)) step = "the topology mapping";
    if (NT_SUCCESS(status)) status = info->QueryMappedId(&terminalId);
    if (NT_SUCCESS(status) && m_pTopologyInfo == NULL) status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status)) {
        topologyPin = terminalId;
        status = m_pTopologyInfo->QueryMappedId(&topologyPin);
    }
    if (NT_SUCCESS(status)) step = "PcRegisterSubdevice";
    if (NT_SUCCESS(status)) status = PcRegisterSubdevice(fdo, name, port);
    if (NT_SUCCESS(status) && portOut != NULL) status = port->QueryInterface(IID_IUnknown, (PVOID*)portOut);
    if (NT_SUCCESS(status)) m_nTopologyPin = topologyPin;
    if (!NT_SUCCESS(status)) LogInstallFailure(step, status);
    ReleaseAndClear(info);
    ReleaseAndClear(miniport);
    ReleaseAndClear(port);
    hal->Release();
    return status;
}

NTSTATUS CStreamEngine::RemoveMiniport(PDEVICE_OBJECT fdo) {
    PAGED_CODE();
    if (m_pWavePort == NULL) return STATUS_SUCCESS;
    return RemoveWaveSubdevice(fdo);
}

NTSTATUS CStreamEngine::RemoveWaveSubdevice(PDEVICE_OBJECT fdo) {
    PUNKNOWN from = m_bCapture ? m_pTopologyPort : m_pWavePort;
    PUNKNOWN to = m_bCapture ? m_pWavePort : m_pTopologyPort;
    ULONG fromPin = m_bCapture ? m_nTopologyPin : 1;
    ULONG toPin = m_bCapture ? 1 : m_nTopologyPin;
    if (from == NULL) return STATUS_SUCCESS;
    IUnregisterPhysicalConnection* connection = NULL;
    IUnregisterSubdevice* subdevice = NULL;
    NTSTATUS status = from->QueryInterface(IID_IUnregisterPhysicalConnection, (PVOID*)&connection);
    if (NT_SUCCESS(status) && connection == NULL) return STATUS_SUCCESS;
    if (NT_SUCCESS(status)) status = m_pWavePort->QueryInterface(IID_IUnregisterSubdevice, (PVOID*)&subdevice);
    if (NT_SUCCESS(status) && subdevice != NULL) {
        status = connection->UnregisterPhysicalConnection(fdo, from, fromPin, to, toPin);
        // A connection that failed when the subdevice was installed is not
        // there to remove; the subdevice must go all the same.
        if (status == STATUS_NOT_FOUND) status = STATUS_SUCCESS;
        if (NT_SUCCESS(status)) status = subdevice->UnregisterSubdevice(fdo, m_pWavePort);
        if (NT_SUCCESS(status)) ReleaseAndClear(m_pWavePort);
    }
    ReleaseAndClear(connection);
    ReleaseAndClear(subdevice);
    return status;
}

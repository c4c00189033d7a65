// Ports: PcNewPort, the shared Init and miniport lifetime, the topology
// port's event list and the wave-cyclic port's Notify.
#include "nt/ke.h"
#include "platform/portcls/pc_port.h"

#include <algorithm>

#include "platform/portcls/pc_service_group.h"

namespace pcls {

namespace {

// A description the port can walk without running past its arrays: every
// array that has a count is present and pins step by at least their size.
bool DescriptorUsable(const PCFILTER_DESCRIPTOR* d) {
    if (d == nullptr) return false;
    if (d->PinCount != 0 && (d->Pins == nullptr || d->PinSize < sizeof(PCPIN_DESCRIPTOR)))
        return false;
    if (d->NodeCount != 0 && (d->Nodes == nullptr || d->NodeSize < sizeof(PCNODE_DESCRIPTOR)))
        return false;
    if (d->ConnectionCount != 0 && d->Connections == nullptr) return false;
    if (d->CategoryCount != 0 && d->Categories == nullptr) return false;
    return true;
}

}  // namespace

// ---- CPortBase ----------------------------------------------------------

CPortBase::CPortBase(PC_PORT_KIND kind) : m_Kind(kind) {}

CPortBase::~CPortBase() {
    // A port that is still bound (its device never stopped) lets go of its
    // miniport here; the miniport cannot hold the last reference to a port
    // whose destructor runs, so this only happens for miniports that did
    // not keep the port.
    ReleaseMiniportNow();
    if (m_Device) UnbindPort(m_Device, this);
    PC_FILTER_HOOKS hooks = FilterHooks(m_Kind);
    if (m_FrontEndContext && hooks.ReleasePortContext) hooks.ReleasePortContext(m_FrontEndContext);
}

CPortBase* CPortBase::FromUnknown(PUNKNOWN unknown) {
    return unknown ? dynamic_cast<CPortBase*>(unknown) : nullptr;
}

DWORD CPortBase::GetVersion() { return ReportedVersion(); }

NTSTATUS CPortBase::QueryCommon(REFIID iid, PVOID* out) {
    if (iid == IID_IPortClsVersion)
        return ReturnInterface(static_cast<IPortClsVersion*>(this), out);
    if (iid == IID_IUnregisterSubdevice)
        return ReturnInterface(static_cast<IUnregisterSubdevice*>(this), out);
    if (iid == IID_IUnregisterPhysicalConnection)
        return ReturnInterface(static_cast<IUnregisterPhysicalConnection*>(this), out);
    return RefuseInterface(out);
}

NTSTATUS CPortBase::BindMiniport(PDEVICE_OBJECT DeviceObject, PUNKNOWN UnknownMiniport,
                                 PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) {
    PAGED_CODE();
    NTSTATUS status = CheckCall(sim::PcCall::PortInit);
    if (!NT_SUCCESS(status)) return status;
    PcDevice* device = DeviceFromFdo(DeviceObject);
    if (device == nullptr || UnknownMiniport == nullptr) return STATUS_INVALID_PARAMETER;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        if (m_InitCalled) return STATUS_INVALID_DEVICE_REQUEST;
        m_InitCalled = true;
    }

    // Bound before the miniport's Init so that a device stopped from
    // inside it still finds the port.
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Device = device;
        m_Fdo = DeviceObject;
    }
    BindPort(device, this);

    PMINIPORT miniport = nullptr;
    status = QueryAndInitMiniport(UnknownMiniport, UnknownAdapter, ResourceList, &miniport);
    if (!NT_SUCCESS(status)) return status;

    PPCFILTER_DESCRIPTOR descriptor = nullptr;
    status = miniport->GetDescription(&descriptor);
    if (NT_SUCCESS(status) && !DescriptorUsable(descriptor)) status = STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(status)) {
        miniport->Release();  // the miniport lets go of this port in turn
        return status;
    }
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Miniport = miniport;
    m_MajorTarget = UnknownMiniport;
    m_Descriptor = descriptor;
    m_PinInstances.assign(descriptor->PinCount, 0);
    return STATUS_SUCCESS;
}

const PCFILTER_DESCRIPTOR* CPortBase::Descriptor() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Descriptor;
}

PMINIPORT CPortBase::Miniport() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Miniport;
}

PUNKNOWN CPortBase::MajorTarget() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_MajorTarget;
}

PDEVICE_OBJECT CPortBase::BoundFdo() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Fdo;
}

bool CPortBase::HasMiniport() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Miniport != nullptr;
}

void CPortBase::ForgetDevice() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Device = nullptr;
}

void CPortBase::ReleaseMiniportNow() {
    PMINIPORT miniport;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        miniport = m_Miniport;
        m_Miniport = nullptr;
        m_MajorTarget = nullptr;
        m_Descriptor = nullptr;
        m_DropPending = false;
    }
    // Outside the lock: the miniport's destructor releases this port and
    // may end its life.
    if (miniport) miniport->Release();
}

void CPortBase::DropMiniport() {
    bool now;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        if (m_Miniport == nullptr) return;
        for (PC_FILTER_INSTANCE* filter : m_Filters) {
            filter->Descriptor = nullptr;
            filter->MajorTarget = nullptr;
        }
        m_DropPending = true;
        now = (m_Users == 0);
    }
    if (now) ReleaseMiniportNow();
}

NTSTATUS CPortBase::AddUser() {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_Miniport == nullptr || m_DropPending || !m_Registered) return STATUS_INVALID_DEVICE_STATE;
    ++m_Users;
    return STATUS_SUCCESS;
}

void CPortBase::RemoveUser() {
    bool release;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        --m_Users;
        release = (m_Users == 0 && m_DropPending);
    }
    if (release) ReleaseMiniportNow();
}

void CPortBase::AttachFilter(PC_FILTER_INSTANCE* filter) {
    std::lock_guard<std::mutex> guard(m_Lock);
    filter->Descriptor = m_Descriptor;
    filter->MajorTarget = m_MajorTarget;
    m_Filters.push_back(filter);
}

void CPortBase::DetachFilter(PC_FILTER_INSTANCE* filter) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Filters.erase(std::remove(m_Filters.begin(), m_Filters.end(), filter), m_Filters.end());
}

bool CPortBase::AcquirePinInstance(ULONG pinId, ULONG maxFilter, ULONG maxGlobal) {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (pinId >= m_PinInstances.size()) return false;
    ULONG limit = std::min(maxFilter, maxGlobal);
    if (m_PinInstances[pinId] >= limit) return false;
    ++m_PinInstances[pinId];
    return true;
}

void CPortBase::ReleasePinInstance(ULONG pinId) {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (pinId < m_PinInstances.size() && m_PinInstances[pinId] > 0) --m_PinInstances[pinId];
}

// ---- CPortTopology ------------------------------------------------------

CPortTopology::CPortTopology() : CPortBase(PcPortKindTopology) {}
CPortTopology::~CPortTopology() = default;

NTSTATUS CPortTopology::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (iid == IID_IUnknown || iid == IID_IPort || iid == IID_IPortTopology)
        return ReturnInterface(static_cast<IPortTopology*>(this), out);
    if (iid == IID_IPortEvents) return ReturnInterface(static_cast<IPortEvents*>(this), out);
    return QueryCommon(iid, out);
}

NTSTATUS CPortTopology::Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport,
                             PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) {
    UNREFERENCED_PARAMETER(Irp);
    return BindMiniport(DeviceObject, UnknownMiniport, UnknownAdapter, ResourceList);
}

NTSTATUS CPortTopology::QueryAndInitMiniport(PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                                             PRESOURCELIST ResourceList, PMINIPORT* bound) {
    PMINIPORTTOPOLOGY miniport = nullptr;
    NTSTATUS status =
        UnknownMiniport->QueryInterface(IID_IMiniportTopology, reinterpret_cast<PVOID*>(&miniport));
    if (!NT_SUCCESS(status)) return status;
    if (miniport == nullptr) return STATUS_INVALID_PARAMETER;
    status = miniport->Init(UnknownAdapter, ResourceList, this);
    if (!NT_SUCCESS(status)) {
        miniport->Release();
        return status;
    }
    *bound = miniport;
    return STATUS_SUCCESS;
}

VOID CPortTopology::AddEventToEventList(PKSEVENT_ENTRY EventEntry) {
    sim::PcPortEventCall call{};
    call.kind = sim::PcPortEventCall::AddEvent;
    call.entry = EventEntry;
    {
        std::lock_guard<std::mutex> guard(m_LogLock);
        m_EventLog.push_back(call);
    }
    PC_FILTER_HOOKS hooks = FilterHooks(PcPortKindTopology);
    if (hooks.AddEventToEventList) hooks.AddEventToEventList(FrontEndContext(), EventEntry);
}

VOID CPortTopology::GenerateEventList(GUID* Set, ULONG EventId, BOOL PinEvent, ULONG PinId,
                                      BOOL NodeEvent, ULONG NodeId) {
    sim::PcPortEventCall call{};
    call.kind = sim::PcPortEventCall::GenerateEvent;
    call.set = Set ? *Set : GUID_NULL;
    call.eventId = EventId;
    call.pinEvent = PinEvent;
    call.pinId = PinId;
    call.nodeEvent = NodeEvent;
    call.nodeId = NodeId;
    {
        std::lock_guard<std::mutex> guard(m_LogLock);
        m_EventLog.push_back(call);
    }
    PC_FILTER_HOOKS hooks = FilterHooks(PcPortKindTopology);
    if (hooks.GenerateEventList && Set)
        hooks.GenerateEventList(FrontEndContext(), Set, EventId, PinEvent, PinId, NodeEvent,
                                NodeId);
}

std::vector<sim::PcPortEventCall> CPortTopology::EventLog() {
    std::lock_guard<std::mutex> guard(m_LogLock);
    return m_EventLog;
}

// ---- CPortWaveCyclic ----------------------------------------------------

CPortWaveCyclic::CPortWaveCyclic() : CPortBase(PcPortKindWaveCyclic) {}

NTSTATUS CPortWaveCyclic::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (iid == IID_IUnknown || iid == IID_IPort || iid == IID_IPortWaveCyclic)
        return ReturnInterface(static_cast<IPortWaveCyclic*>(this), out);
    return QueryCommon(iid, out);
}

NTSTATUS CPortWaveCyclic::Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport,
                               PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) {
    UNREFERENCED_PARAMETER(Irp);
    return BindMiniport(DeviceObject, UnknownMiniport, UnknownAdapter, ResourceList);
}

NTSTATUS CPortWaveCyclic::QueryAndInitMiniport(PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                                               PRESOURCELIST ResourceList, PMINIPORT* bound) {
    PMINIPORTWAVECYCLIC miniport = nullptr;
    NTSTATUS status = UnknownMiniport->QueryInterface(IID_IMiniportWaveCyclic,
                                                      reinterpret_cast<PVOID*>(&miniport));
    if (!NT_SUCCESS(status)) return status;
    if (miniport == nullptr) return STATUS_INVALID_PARAMETER;
    status = miniport->Init(UnknownAdapter, ResourceList, this);
    if (!NT_SUCCESS(status)) {
        miniport->Release();
        return status;
    }
    *bound = miniport;
    return STATUS_SUCCESS;
}

// Queues the group's service DPC; a group serviced by a DPC that has not run
// yet is not queued twice. Groups made elsewhere than PcNewServiceGroup are
// ignored.
VOID CPortWaveCyclic::Notify(PSERVICEGROUP ServiceGroup) {
    CServiceGroup* group = CServiceGroup::FromInterface(ServiceGroup);
    if (group) group->QueueService();
}

}  // namespace pcls

// ---- PcNewPort ----------------------------------------------------------

NTSTATUS PcNewPort(PPORT* OutPort, REFCLSID ClassId) {
    PAGED_CODE();
    NTSTATUS status = pcls::CheckCall(sim::PcCall::NewPort);
    if (!NT_SUCCESS(status)) return status;
    if (OutPort == nullptr) return STATUS_INVALID_PARAMETER;
    *OutPort = nullptr;
    IPort* port = nullptr;
    if (ClassId == CLSID_PortTopology) {
        auto* object = new (NonPagedPoolNx, pcls::kTagPort) pcls::CPortTopology();
        port = object ? static_cast<IPortTopology*>(object) : nullptr;
    } else if (ClassId == CLSID_PortWaveCyclic) {
        auto* object = new (NonPagedPoolNx, pcls::kTagPort) pcls::CPortWaveCyclic();
        port = object ? static_cast<IPortWaveCyclic*>(object) : nullptr;
    } else {
        return STATUS_NOT_SUPPORTED;
    }
    if (port == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    port->AddRef();
    *OutPort = port;
    return STATUS_SUCCESS;
}

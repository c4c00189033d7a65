// Fake topology port.
#include "tests/fakes/topology/fake_port.h"

namespace fakes {

CFakeTopologyPort* CFakeTopologyPort::Create() {
    CFakeTopologyPort* port = new (NonPagedPoolNx, MakePoolTag("FPrt")) CFakeTopologyPort(NULL);
    if (port != NULL) {
        port->AddRef();
    }
    return port;
}

CFakeTopologyPort::~CFakeTopologyPort() { Unregister(); }

NTSTATUS CFakeTopologyPort::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPort) || IsEqualGUID(iid, IID_IPortTopology)) {
        return ReturnInterface(static_cast<IPortTopology*>(this), out);
    }
    if (IsEqualGUID(iid, IID_IPortEvents) && !RefusePortEvents) {
        return ReturnInterface(static_cast<IPortEvents*>(this), out);
    }
    return RefuseInterface(out);
}

NTSTATUS CFakeTopologyPort::Init(PDEVICE_OBJECT, PIRP, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                                 PRESOURCELIST resourceList) {
    if (unknownMiniport == NULL || m_Miniport != NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PMINIPORTTOPOLOGY miniport = NULL;
    NTSTATUS status = unknownMiniport->QueryInterface(IID_IMiniportTopology, (PVOID*)&miniport);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = miniport->Init(unknownAdapter, resourceList, this);
    if (NT_SUCCESS(status)) {
        status = miniport->GetDescription(&m_Descriptor);
    }
    if (!NT_SUCCESS(status)) {
        miniport->Release();
        m_Descriptor = NULL;
        return status;
    }
    m_Miniport = miniport;
    m_MiniportUnknown = unknownMiniport;
    unknownMiniport->AddRef();
    return STATUS_SUCCESS;
}

VOID CFakeTopologyPort::AddEventToEventList(PKSEVENT_ENTRY entry) { m_Events.Add(entry); }

VOID CFakeTopologyPort::GenerateEventList(GUID* set, ULONG eventId, BOOL pinEvent, ULONG pinId, BOOL nodeEvent,
                                          ULONG nodeId) {
    m_GenerateCalls++;
    m_LastNode = nodeId;
    m_Events.Generate(*set, eventId, pinEvent, pinId, nodeEvent, nodeId);
}

void CFakeTopologyPort::Unregister() {
    PMINIPORTTOPOLOGY miniport = m_Miniport;
    PUNKNOWN unknown = m_MiniportUnknown;
    m_Miniport = NULL;
    m_MiniportUnknown = NULL;
    m_Descriptor = NULL;
    if (miniport != NULL) {
        miniport->Release();
    }
    if (unknown != NULL) {
        unknown->Release();
    }
}

}  // namespace fakes

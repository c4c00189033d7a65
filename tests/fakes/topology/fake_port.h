// A topology port for miniport tests (the port class's own port is used by
// the end-to-end test): Init binds the miniport as the port class does
// (QueryInterface for IMiniportTopology, its Init with this port, its
// description), IPortEvents sits on a KsEventList, and Unregister releases
// the miniport as unregistering the subdevice does, breaking the
// port-miniport reference cycle.
#pragma once

#include "adapter/base/unknown.h"
#include "platform/ks/event_frontend.h"
#include "portcls/portcls.h"

namespace fakes {

class CFakeTopologyPort : public IPortTopology, public IPortEvents, public CUnknown {
public:
    static CFakeTopologyPort* Create();

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    NTSTATUS Init(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                  PRESOURCELIST resourceList) override;
    VOID AddEventToEventList(PKSEVENT_ENTRY entry) override;
    VOID GenerateEventList(GUID* set, ULONG eventId, BOOL pinEvent, ULONG pinId, BOOL nodeEvent,
                           ULONG nodeId) override;

    void Unregister();
    // Where front-end requests go: the bound miniport's description and the
    // unknown given to Init.
    KsTarget Target() { return {m_Descriptor, m_MiniportUnknown, &m_Events}; }
    KsEventList& Events() { return m_Events; }
    ULONG GenerateCalls() const { return m_GenerateCalls; }
    ULONG LastGeneratedNode() const { return m_LastNode; }

    bool RefusePortEvents = false;

private:
    explicit CFakeTopologyPort(PUNKNOWN outer) : CUnknown(outer) {}
    ~CFakeTopologyPort() override;

    KsEventList m_Events;
    PMINIPORTTOPOLOGY m_Miniport = NULL;
    PUNKNOWN m_MiniportUnknown = NULL;
    PPCFILTER_DESCRIPTOR m_Descriptor = NULL;
    ULONG m_GenerateCalls = 0;
    ULONG m_LastNode = 0;
};

}  // namespace fakes

// Control-change events of the "GlobalTopo" nodes: the event item handler
// and the mapping of the adapter's unit notifications to nodes.
#include "nt/ke.h"
#include "ks/ks_guids.h"
#include "topology/miniport_topology.h"
#include "topology/topo_tables.h"

// The port keeps the enabled entries; this handler only admits them.
NTSTATUS EventHandler(PPCEVENT_REQUEST request) {
    PAGED_CODE();
    CMiniportTopology* miniport = CMiniportTopology::FromTarget(request->MajorTarget);
    if (miniport == NULL || request->Node >= miniport->Graph()->NodeCount) {
        return STATUS_INVALID_PARAMETER;
    }
    switch (request->Verb) {
    case PCEVENT_VERB_ADD:
        if (request->EventEntry != NULL && miniport->PortEvents() != NULL) {
            miniport->PortEvents()->AddEventToEventList(request->EventEntry);
            return STATUS_SUCCESS;
        }
        return STATUS_UNSUCCESSFUL;
    case PCEVENT_VERB_REMOVE:
    case PCEVENT_VERB_SUPPORT:
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

void CMiniportTopology::RaiseControlChange(ULONG nodeId) {
    if (m_pPortEvents == NULL) {
        return;
    }
    GUID set = KSEVENTSETID_AudioControlChange;
    m_pPortEvents->GenerateEventList(&set, KSEVENT_CONTROL_CHANGE, FALSE, KSFILTER_NODE, TRUE,
                                     nodeId);
}

// Messages of another type, and units that are no node (pins, clocks,
// unknown ids), are dropped.
void CMiniportTopology::OnUnitChanged(const AUDIOHAL_NOTIFICATION* message) {
    if (message->Type != AUDIOHAL_NOTIFY_CONTROL_CHANGE || message->Code != AUDIOHAL_NOTIFY_CODE) {
        return;
    }
    PTOPO_UNIT_ENTRY node = TopoNodeByUnitId(&m_Graph, message->Id);
    if (node != NULL) {
        RaiseControlChange(node->Index);
    }
}

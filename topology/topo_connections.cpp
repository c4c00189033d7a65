// The connection walk of the filter builder. From each output pin it
// follows the source lists upstream: a node's output is node pin 0, its
// inputs are node pins 1..n in source order, KSFILTER_NODE stands for the
// filter's own pins.
//
// Each node is walked once: the walk marks the nodes on the current path
// and stores the status of finished ones, so shared sub-graphs cost nothing
// more and a cycle ends the build with STATUS_INVALID_PARAMETER instead of
// recursing without end. Recursion depth is bounded by the node count. A
// source of UNIT_ID_NONE is an absent input and stays unconnected.
#include <cstring>

#include "nt/pool.h"
#include "topology/topo_builder.h"

namespace {

enum WalkState : UCHAR { kUnvisited = 0, kOnPath = 1, kDone = 2 };

class ConnectionWalk {
public:
    explicit ConnectionWalk(PTOPO_GRAPH graph) : m_Graph(graph) {}
    ~ConnectionWalk() {
        if (m_State) {
            ExFreePoolWithTag(m_State, TOPO_BUILD_TAG);
        }
    }

    NTSTATUS Run();

private:
    NTSTATUS WalkOutputPin(PTOPO_UNIT_ENTRY pin);
    NTSTATUS WalkNode(ULONG node);
    NTSTATUS WalkNodeInputs(PTOPO_UNIT_ENTRY node);
    NTSTATUS Add(ULONG fromNode, ULONG fromPin, ULONG toNode, ULONG toPin);
    void Abort(NTSTATUS status) {
        if (NT_SUCCESS(m_Abort)) {
            m_Abort = status;
        }
    }

    PTOPO_GRAPH m_Graph;
    UCHAR* m_State = NULL;       // WalkState per node
    NTSTATUS* m_Status = NULL;   // result of each finished node
    NTSTATUS m_Abort = STATUS_SUCCESS;  // a cycle or a pool failure ends the build
};

NTSTATUS ConnectionWalk::Run() {
    ULONG nodes = m_Graph->NodeCount;
    if (nodes != 0) {
        SIZE_T bytes = (SIZE_T)nodes * (sizeof(UCHAR) + sizeof(NTSTATUS)) + sizeof(NTSTATUS);
        m_State = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, bytes, TOPO_BUILD_TAG));
        if (m_State == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        memset(m_State, 0, bytes);
        // Status array after the state bytes, aligned for NTSTATUS.
        ULONG_PTR at = ((ULONG_PTR)(m_State + nodes) + sizeof(NTSTATUS) - 1) & ~(ULONG_PTR)(sizeof(NTSTATUS) - 1);
        m_Status = reinterpret_cast<NTSTATUS*>(at);
    }
    for (ULONG i = 0; i < m_Graph->PinCount; ++i) {
        PTOPO_UNIT_ENTRY pin = &m_Graph->Pins[i];
        if (pin->Unit->GetKind() != UNIT_KIND_OUTPUT_PIN) {
            continue;
        }
        NTSTATUS status = WalkOutputPin(pin);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// An output pin has one source: a node (walked first) or another pin. A
// pin without a source, or with one that is neither, fails the build.
NTSTATUS ConnectionWalk::WalkOutputPin(PTOPO_UNIT_ENTRY pin) {
    ULONG count = 1;
    ULONG source = UNIT_ID_NONE;
    NTSTATUS status = pin->Unit->GetSourceIds(&count, &source);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (count == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    if (PTOPO_UNIT_ENTRY node = TopoNodeByUnitId(m_Graph, source)) {
        status = WalkNode(node->Index);
        if (!NT_SUCCESS(m_Abort)) {
            return m_Abort;
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        status = Add(node->Index, KSNODEPIN_STANDARD_OUT, KSFILTER_NODE, pin->Index);
    } else if (PTOPO_UNIT_ENTRY from = TopoPinByUnitId(m_Graph, source)) {
        status = Add(KSFILTER_NODE, from->Index, KSFILTER_NODE, pin->Index);
    } else {
        status = STATUS_UNSUCCESSFUL;
    }
    return NT_SUCCESS(m_Abort) ? status : m_Abort;
}

NTSTATUS ConnectionWalk::WalkNode(ULONG node) {
    if (m_State[node] == kDone) {
        return m_Status[node];
    }
    if (m_State[node] == kOnPath) {
        Abort(STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    m_State[node] = kOnPath;
    NTSTATUS status = WalkNodeInputs(&m_Graph->Nodes[node]);
    m_State[node] = kDone;
    m_Status[node] = status;
    return status;
}

// A source-less node is fed by the pin made from the same unit, if any.
// Otherwise each input k connects to its source; a source that is neither
// a pin nor a node fails this node and leaves its later inputs unwalked,
// while a failure further upstream only leaves those connections out.
NTSTATUS ConnectionWalk::WalkNodeInputs(PTOPO_UNIT_ENTRY node) {
    ULONG n = node->Unit->GetSourceCount();
    if (n == 0) {
        PTOPO_UNIT_ENTRY pin = TopoPinByUnitId(m_Graph, node->UnitId);
        if (pin == NULL) {
            return STATUS_UNSUCCESSFUL;
        }
        return Add(KSFILTER_NODE, pin->Index, node->Index, KSNODEPIN_STANDARD_IN);
    }
    ULONG* ids = static_cast<ULONG*>(ExAllocatePoolWithTag(PagedPool, (SIZE_T)n * sizeof(ULONG), TOPO_BUILD_TAG));
    if (ids == NULL) {
        Abort(STATUS_INSUFFICIENT_RESOURCES);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = node->Unit->GetSourceIds(&n, ids);
    for (ULONG k = 1; NT_SUCCESS(status) && NT_SUCCESS(m_Abort) && k <= n; ++k) {
        ULONG source = ids[k - 1];
        if (source == UNIT_ID_NONE) {
            continue;
        }
        if (PTOPO_UNIT_ENTRY upstream = TopoNodeByUnitId(m_Graph, source)) {
            WalkNode(upstream->Index);
            status = Add(upstream->Index, KSNODEPIN_STANDARD_OUT, node->Index, k);
        } else if (PTOPO_UNIT_ENTRY pin = TopoPinByUnitId(m_Graph, source)) {
            status = Add(KSFILTER_NODE, pin->Index, node->Index, k);
        } else {
            status = STATUS_UNSUCCESSFUL;
        }
    }
    ExFreePoolWithTag(ids, TOPO_BUILD_TAG);
    return status;
}

// Every node is walked once, so no connection can be found twice.
NTSTATUS ConnectionWalk::Add(ULONG fromNode, ULONG fromPin, ULONG toNode, ULONG toPin) {
    if (!NT_SUCCESS(m_Abort)) {
        return m_Abort;
    }
    PTOPO_GRAPH g = m_Graph;
    if (g->ConnectionCount == g->ConnectionCapacity) {
        ULONG capacity = g->ConnectionCapacity ? g->ConnectionCapacity * 2 : 16;
        SIZE_T bytes = (SIZE_T)capacity * sizeof(TOPO_CONNECTION_ENTRY);
        PTOPO_CONNECTION_ENTRY grown =
            static_cast<PTOPO_CONNECTION_ENTRY>(ExAllocatePoolWithTag(PagedPool, bytes, TOPO_BUILD_TAG));
        if (grown == NULL) {
            Abort(STATUS_INSUFFICIENT_RESOURCES);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (g->Connections) {
            memcpy(grown, g->Connections, g->ConnectionCount * sizeof(TOPO_CONNECTION_ENTRY));
            ExFreePoolWithTag(g->Connections, TOPO_BUILD_TAG);
        }
        g->Connections = grown;
        g->ConnectionCapacity = capacity;
    }
    g->Connections[g->ConnectionCount++] = {fromNode, fromPin, toNode, toPin};
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS TopoBuildConnections(PTOPO_GRAPH graph) {
    ConnectionWalk walk(graph);
    return walk.Run();
}

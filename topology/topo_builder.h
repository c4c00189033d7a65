// Builds the port-class description of the "GlobalTopo" filter from the
// adapter's unit list: terminal units become bridge pins, control units
// become nodes, source lists become connections. Runs at passive level in
// the miniport's Init; everything here is paged pool ("TOPO").
#pragma once

#include "adapter/audio_hal.h"
#include "portcls/portcls.h"
#include "topology/unit_base.h"

// A pin or node of the filter: the unit behind it (one reference held) and
// its pin or node id. Name is this entry's own name buffer: a pin's name
// read from the registry or a node's effect GUID; descriptors point at it.
typedef struct _TOPO_UNIT_ENTRY {
    IUacUnit* Unit;
    ULONG Index;
    ULONG UnitId;
    GUID Name;
} TOPO_UNIT_ENTRY, *PTOPO_UNIT_ENTRY;

typedef struct _TOPO_CONNECTION_ENTRY {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
} TOPO_CONNECTION_ENTRY, *PTOPO_CONNECTION_ENTRY;

typedef struct _TOPO_ID_INDEX {
    ULONG UnitId;
    ULONG Entry;
} TOPO_ID_INDEX;

// The working lists, kept by the miniport for its lifetime (also after a
// failed Init, until its destructor). Connections are in the order added;
// the descriptor lists them from the last added back to the first.
typedef struct _TOPO_GRAPH {
    PTOPO_UNIT_ENTRY Pins;
    ULONG PinCount;
    PTOPO_UNIT_ENTRY Nodes;
    ULONG NodeCount;
    PTOPO_CONNECTION_ENTRY Connections;
    ULONG ConnectionCount;
    ULONG ConnectionCapacity;
    TOPO_ID_INDEX* PinIndex;   // pins sorted by unit id, then pin id
    TOPO_ID_INDEX* NodeIndex;  // nodes sorted by unit id, then node id
} TOPO_GRAPH, *PTOPO_GRAPH;

// The blocks handed to the port class.
typedef struct _TOPO_DESCRIPTION {
    PCFILTER_DESCRIPTOR* Filter;
    PCPIN_DESCRIPTOR* Pins;
    PCNODE_DESCRIPTOR* Nodes;
    PCCONNECTION_DESCRIPTOR* Connections;
} TOPO_DESCRIPTION, *PTOPO_DESCRIPTION;

// Pins: units of kind 0 or 1 that answer ITerminal; streaming terminals
// first in reverse unit-list order, then the others in unit-list order.
NTSTATUS TopoCollectPinUnits(IAudioHal* hal, PTOPO_GRAPH graph);
// Nodes: every unit of another kind than 0, 1 and 12, in unit-list order.
NTSTATUS TopoCollectNodeUnits(IAudioHal* hal, PTOPO_GRAPH graph);
// Filter, pin, node and connection descriptors. On failure nothing of the
// description is left and *description is zeroed.
NTSTATUS TopoBuildDescriptor(IAudioHal* hal, PTOPO_GRAPH graph, PTOPO_DESCRIPTION description);

// The connection walk (topo_connections.cpp), run by TopoBuildDescriptor
// after the pin and node descriptors.
NTSTATUS TopoBuildConnections(PTOPO_GRAPH graph);

void TopoFreeDescription(PTOPO_DESCRIPTION description);
// Releases the units and frees the lists.
void TopoFreeGraph(PTOPO_GRAPH graph);

// Lookups: by pin or node id (NULL when out of range) and by unit id
// (the first entry in list order with that id, or NULL).
PTOPO_UNIT_ENTRY TopoPinByIndex(const TOPO_GRAPH* graph, ULONG pinId);
PTOPO_UNIT_ENTRY TopoNodeByIndex(const TOPO_GRAPH* graph, ULONG nodeId);
PTOPO_UNIT_ENTRY TopoPinByUnitId(const TOPO_GRAPH* graph, ULONG unitId);
PTOPO_UNIT_ENTRY TopoNodeByUnitId(const TOPO_GRAPH* graph, ULONG unitId);

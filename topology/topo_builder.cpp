// Filter description of "GlobalTopo": pin and node collection, descriptors
// and the connection walk.
#include "topology/topo_builder.h"

#include <algorithm>
#include <cstring>

#include "nt/ke.h"

#include "nt/ex.h"
#include "nt/pool.h"
#include "nt/rtl.h"
#include "ks/ks_guids.h"
#include "topology/terminal_units.h"
#include "topology/topo_guids.h"
#include "topology/topo_tables.h"

namespace {

// Pin names may be overridden per pin by a 16-byte "Settings" value.
constexpr ULONG kPinNameValueChars = 50;
constexpr ULONG kWindowsVistaDdi = 0x06000000;

PVOID TopoAlloc(SIZE_T bytes) {
    PVOID p = ExAllocatePoolWithTag(PagedPool, bytes, TOPO_BUILD_TAG);
    if (p != NULL) {
        memset(p, 0, bytes);
    }
    return p;
}

void TopoFree(PVOID p) {
    if (p != NULL) {
        ExFreePoolWithTag(p, TOPO_BUILD_TAG);
    }
}

// Stream terminal test of a pin candidate: kind 0 or 1 and ITerminal.
// Returns FALSE for units that are no pin; *isStream tells the order.
BOOLEAN IsPinUnit(IUacUnit* unit, BOOLEAN* isStream) {
    ULONG kind = unit->GetKind();
    if (kind != UNIT_KIND_INPUT_PIN && kind != UNIT_KIND_OUTPUT_PIN) {
        return FALSE;
    }
    ITerminal* terminal = NULL;
    if (!NT_SUCCESS(unit->QueryInterface(IID_ITerminal, (PVOID*)&terminal))) {
        return FALSE;
    }
    ULONG type = ENDPOINT_REC;
    *isStream = NT_SUCCESS(terminal->GetType(&type)) && type == ENDPOINT_STREAM;
    terminal->Release();
    return TRUE;
}

void TakeEntry(PTOPO_UNIT_ENTRY entry, IUacUnit* unit, ULONG index) {
    unit->AddRef();
    entry->Unit = unit;
    entry->Index = index;
    entry->UnitId = unit->GetId();
}

NTSTATUS BuildIndex(const TOPO_UNIT_ENTRY* entries, ULONG count, TOPO_ID_INDEX** out) {
    *out = NULL;
    if (count == 0) {
        return STATUS_SUCCESS;
    }
    TOPO_ID_INDEX* index = static_cast<TOPO_ID_INDEX*>(TopoAlloc(count * sizeof(TOPO_ID_INDEX)));
    if (index == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < count; ++i) {
        index[i].UnitId = entries[i].UnitId;
        index[i].Entry = i;
    }
    std::sort(index, index + count, [](const TOPO_ID_INDEX& a, const TOPO_ID_INDEX& b) {
        return a.UnitId != b.UnitId ? a.UnitId < b.UnitId : a.Entry < b.Entry;
    });
    *out = index;
    return STATUS_SUCCESS;
}

PTOPO_UNIT_ENTRY FindByUnitId(PTOPO_UNIT_ENTRY entries, const TOPO_ID_INDEX* index, ULONG count,
                              ULONG unitId) {
    if (index == NULL) {
        return NULL;
    }
    const TOPO_ID_INDEX* end = index + count;
    const TOPO_ID_INDEX* it = std::lower_bound(
        index, end, unitId, [](const TOPO_ID_INDEX& a, ULONG id) { return a.UnitId < id; });
    return (it != end && it->UnitId == unitId) ? &entries[it->Entry] : NULL;
}

}  // namespace

PTOPO_UNIT_ENTRY TopoPinByIndex(const TOPO_GRAPH* graph, ULONG pinId) {
    return pinId < graph->PinCount ? &graph->Pins[pinId] : NULL;
}

PTOPO_UNIT_ENTRY TopoNodeByIndex(const TOPO_GRAPH* graph, ULONG nodeId) {
    return nodeId < graph->NodeCount ? &graph->Nodes[nodeId] : NULL;
}

PTOPO_UNIT_ENTRY TopoPinByUnitId(const TOPO_GRAPH* graph, ULONG unitId) {
    return FindByUnitId(graph->Pins, graph->PinIndex, graph->PinCount, unitId);
}

PTOPO_UNIT_ENTRY TopoNodeByUnitId(const TOPO_GRAPH* graph, ULONG unitId) {
    return FindByUnitId(graph->Nodes, graph->NodeIndex, graph->NodeCount, unitId);
}

NTSTATUS TopoCollectPinUnits(IAudioHal* hal, PTOPO_GRAPH graph) {
    ULONG unitCount = hal->GetUnitCount();
    if (unitCount == 0) {
        return STATUS_SUCCESS;
    }
    graph->Pins = static_cast<PTOPO_UNIT_ENTRY>(TopoAlloc(unitCount * sizeof(TOPO_UNIT_ENTRY)));
    if (graph->Pins == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Streaming terminals first, latest in the unit list first; then the
    // physical terminals in list order.
    for (ULONG pass = 0; pass < 2; ++pass) {
        for (ULONG n = 0; n < unitCount; ++n) {
            ULONG i = pass == 0 ? unitCount - 1 - n : n;
            IUacUnit* unit = NULL;
            BOOLEAN isStream = FALSE;
            if (!NT_SUCCESS(hal->GetUnit(i, &unit)) || unit == NULL || !IsPinUnit(unit, &isStream)) {
                continue;
            }
            if ((pass == 0) == (isStream != FALSE)) {
                TakeEntry(&graph->Pins[graph->PinCount], unit, graph->PinCount);
                graph->PinCount++;
            }
        }
    }
    return BuildIndex(graph->Pins, graph->PinCount, &graph->PinIndex);
}

NTSTATUS TopoCollectNodeUnits(IAudioHal* hal, PTOPO_GRAPH graph) {
    ULONG unitCount = hal->GetUnitCount();
    if (unitCount == 0) {
        return STATUS_SUCCESS;
    }
    graph->Nodes = static_cast<PTOPO_UNIT_ENTRY>(TopoAlloc(unitCount * sizeof(TOPO_UNIT_ENTRY)));
    if (graph->Nodes == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < unitCount; ++i) {
        IUacUnit* unit = NULL;
        if (!NT_SUCCESS(hal->GetUnit(i, &unit)) || unit == NULL) {
            continue;
        }
        ULONG kind = unit->GetKind();
        if (kind == UNIT_KIND_INPUT_PIN || kind == UNIT_KIND_OUTPUT_PIN || kind == UNIT_KIND_CLOCK) {
            continue;
        }
        TakeEntry(&graph->Nodes[graph->NodeCount], unit, graph->NodeCount);
        graph->NodeCount++;
    }
    return BuildIndex(graph->Nodes, graph->NodeCount, &graph->NodeIndex);
}

void TopoFreeGraph(PTOPO_GRAPH graph) {
    for (ULONG i = 0; i < graph->PinCount; ++i) {
        graph->Pins[i].Unit->Release();
    }
    for (ULONG i = 0; i < graph->NodeCount; ++i) {
        graph->Nodes[i].Unit->Release();
    }
    TopoFree(graph->Pins);
    TopoFree(graph->Nodes);
    TopoFree(graph->Connections);
    TopoFree(graph->PinIndex);
    TopoFree(graph->NodeIndex);
    memset(graph, 0, sizeof(*graph));
}

// ---- Descriptors ----

namespace {

KSDATARANGE TopoPinDataRange = {{64, 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_ANALOG,
                                 KSDATAFORMAT_SPECIFIER_NONE}};
PKSDATARANGE const TopoPinDataRanges[] = {&TopoPinDataRange};
const GUID TopoFilterCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY,
                                     GUID_DEVINTERFACE_ENUM_PRIVATE};

// Reads "<stem>_<pin id>" into the pin's own name buffer; the pin keeps its
// default name when the value is missing or unreadable.
void ReadPinName(IAudioHal* hal, PCWSTR stem, PTOPO_UNIT_ENTRY pin, const GUID** name) {
    WCHAR valueName[kPinNameValueChars];
    if (!NT_SUCCESS(RtlStringCchPrintfW(valueName, kPinNameValueChars, u"%s_%02d", stem,
                                        (int)pin->Index))) {
        return;
    }
    GUID value = {};
    if (NT_SUCCESS(SettingsBinaryValue(hal->GetDeviceObject(), SETTINGS_OP_READ, &value,
                                       sizeof(GUID), valueName))) {
        pin->Name = value;
        *name = &pin->Name;
    }
}

NTSTATUS FillPinDescriptor(IAudioHal* hal, PTOPO_UNIT_ENTRY pin, PCPIN_DESCRIPTOR* desc) {
    ULONG kind = pin->Unit->GetKind();
    ITerminal* terminal = NULL;
    NTSTATUS status = pin->Unit->QueryInterface(IID_ITerminal, (PVOID*)&terminal);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG type = ENDPOINT_REC;
    status = terminal->GetType(&type);
    terminal->Release();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (type >= TOPO_PIN_CATEGORY_COUNT) {
        return STATUS_INVALID_PARAMETER;
    }
    const TOPO_PIN_CATEGORY* row = &TopoPinCategories[type];
    BOOLEAN output = kind == UNIT_KIND_OUTPUT_PIN;
    BOOLEAN vista = row->NeedsVista ? RtlIsNtDdiVersionAvailable(kWindowsVistaDdi) : TRUE;
    KSPIN_DESCRIPTOR* ks = &desc->KsPinDescriptor;
    ks->DataRangesCount = 1;
    ks->DataRanges = TopoPinDataRanges;
    ks->DataFlow = output ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
    ks->Communication = KSPIN_COMMUNICATION_NONE;
    ks->Category = vista ? row->Category : row->LegacyCategory;
    ks->Name = vista ? (output ? row->OutputName : row->InputName) : NULL;
    PCWSTR stem = output ? row->OutputStem : row->InputStem;
    if (stem != NULL) {
        ReadPinName(hal, stem, pin, &ks->Name);
    }
    return STATUS_SUCCESS;
}

// Name of a node whose kind names it by the unit's own GUID.
NTSTATUS ReadNodeName(PTOPO_UNIT_ENTRY node, TOPO_NODE_NAME_SOURCE source) {
    NTSTATUS status;
    if (source == TopoNameEffectUnit) {
        IEffectUnit* effect = NULL;
        status = node->Unit->QueryInterface(IID_IEffectUnit, (PVOID*)&effect);
        if (NT_SUCCESS(status)) {
            status = effect->GetNameGuid(&node->Name);
            effect->Release();
        }
    } else {
        IDevEffect24Unit* effect = NULL;
        status = node->Unit->QueryInterface(IID_IDevEffect24Unit, (PVOID*)&effect);
        if (NT_SUCCESS(status)) {
            status = effect->GetNameGuid(&node->Name);
            effect->Release();
        }
    }
    return status;
}

NTSTATUS FillNodeDescriptor(PTOPO_UNIT_ENTRY node, PCNODE_DESCRIPTOR* desc) {
    const TOPO_NODE_KIND* row = TopoNodeKind(node->Unit->GetKind(), node->Unit->GetSourceCount());
    if (row == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    desc->Flags = 0;
    desc->AutomationTable = row->Automation;
    desc->Type = row->Type;
    desc->Name = row->Name;
    if (row->NameSource != TopoNameFixed) {
        NTSTATUS status = ReadNodeName(node, row->NameSource);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        desc->Name = &node->Name;
    }
    return STATUS_SUCCESS;
}

NTSTATUS BuildPinDescriptors(IAudioHal* hal, PTOPO_GRAPH graph, PTOPO_DESCRIPTION d) {
    if (graph->PinCount == 0) {
        return STATUS_SUCCESS;
    }
    d->Pins = static_cast<PCPIN_DESCRIPTOR*>(TopoAlloc(graph->PinCount * sizeof(PCPIN_DESCRIPTOR)));
    if (d->Pins == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < graph->PinCount; ++i) {
        NTSTATUS status = FillPinDescriptor(hal, &graph->Pins[i], &d->Pins[i]);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS BuildNodeDescriptors(PTOPO_GRAPH graph, PTOPO_DESCRIPTION d) {
    if (graph->NodeCount == 0) {
        return STATUS_SUCCESS;
    }
    d->Nodes = static_cast<PCNODE_DESCRIPTOR*>(TopoAlloc(graph->NodeCount * sizeof(PCNODE_DESCRIPTOR)));
    if (d->Nodes == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < graph->NodeCount; ++i) {
        NTSTATUS status = FillNodeDescriptor(&graph->Nodes[i], &d->Nodes[i]);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// The connection array lists the connections from the last one found back
// to the first.
NTSTATUS BuildConnectionArray(PTOPO_GRAPH graph, PTOPO_DESCRIPTION d) {
    ULONG n = graph->ConnectionCount;
    if (n == 0) {
        return STATUS_SUCCESS;
    }
    d->Connections = static_cast<PCCONNECTION_DESCRIPTOR*>(TopoAlloc(n * sizeof(PCCONNECTION_DESCRIPTOR)));
    if (d->Connections == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < n; ++i) {
        const TOPO_CONNECTION_ENTRY& c = graph->Connections[n - 1 - i];
        d->Connections[i] = {c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin};
    }
    return STATUS_SUCCESS;
}

}  // namespace

void TopoFreeDescription(PTOPO_DESCRIPTION description) {
    TopoFree(description->Connections);
    TopoFree(description->Nodes);
    TopoFree(description->Pins);
    TopoFree(description->Filter);
    memset(description, 0, sizeof(*description));
}

NTSTATUS TopoBuildDescriptor(IAudioHal* hal, PTOPO_GRAPH graph, PTOPO_DESCRIPTION description) {
    PAGED_CODE();
    memset(description, 0, sizeof(*description));
    PCFILTER_DESCRIPTOR* filter = static_cast<PCFILTER_DESCRIPTOR*>(TopoAlloc(sizeof(PCFILTER_DESCRIPTOR)));
    if (filter == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    description->Filter = filter;
    filter->Version = 0;
    filter->AutomationTable = &TopoFilterAutomation;
    NTSTATUS status = BuildPinDescriptors(hal, graph, description);
    if (NT_SUCCESS(status)) {
        status = BuildNodeDescriptors(graph, description);
    }
    if (NT_SUCCESS(status)) {
        status = TopoBuildConnections(graph);
    }
    if (NT_SUCCESS(status)) {
        status = BuildConnectionArray(graph, description);
    }
    if (!NT_SUCCESS(status)) {
        TopoFreeDescription(description);
        return status;
    }
    filter->PinSize = sizeof(PCPIN_DESCRIPTOR);
    filter->PinCount = graph->PinCount;
    filter->Pins = description->Pins;
    filter->NodeSize = sizeof(PCNODE_DESCRIPTOR);
    filter->NodeCount = graph->NodeCount;
    filter->Nodes = description->Nodes;
    filter->ConnectionCount = graph->ConnectionCount;
    filter->Connections = description->Connections;
    filter->CategoryCount = (ULONG)ARRAYSIZE(TopoFilterCategories);
    filter->Categories = TopoFilterCategories;
    return STATUS_SUCCESS;
}

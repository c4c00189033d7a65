// The stream-path walks shared by every model: which units of the device's
// graph belong to a stream engine.
//
// Both walks go breadth-first over source ids with a ring of
// STREAM_PATH_RING_IDS ids that counts its elements (a full ring is not an
// empty one), read at most STREAM_PATH_MAX_SOURCES source ids of one unit
// and skip UNIT_ID_NONE (an input no descriptor connected). They end: the
// forward walk adds each unit to the engine once (an id the engine holds is
// not expanded again), the backward search marks each id it queued; so
// neither expands more units than the model has, and a loop in the graph
// (which the Audio Control parser refuses anyway) cannot keep them going.
#include "adapter/uac_hal.h"

#include "nt/pool.h"
#include "nt/rtl.h"
#include "stream/usb/cyclic_control.h"
#include "topology/interface_ref.h"
#include "topology/terminal_units.h"

namespace {

class CIdRing {
public:
    explicit CIdRing(ULONG first) : m_Read(0), m_Count(1) { m_Ids[0] = first; }
    bool Empty() const { return m_Count == 0; }
    ULONG Free() const { return STREAM_PATH_RING_IDS - m_Count; }
    ULONG Take() {
        const ULONG id = m_Ids[m_Read];
        m_Read = (m_Read + 1) % STREAM_PATH_RING_IDS;
        --m_Count;
        return id;
    }
    void Put(ULONG id) {
        m_Ids[(m_Read + m_Count) % STREAM_PATH_RING_IDS] = id;
        ++m_Count;
    }

private:
    ULONG m_Ids[STREAM_PATH_RING_IDS];
    ULONG m_Read;
    ULONG m_Count;
};

// Ids a walk has queued; ids at or above the unit count are never units
// (a unit's id is its index in the model's list) and are not recorded.
class CSeenIds {
public:
    explicit CSeenIds(ULONG unitCount)
        : m_Count(unitCount),
          m_Seen(unitCount != 0 ? static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, unitCount, HAL_TEMP_TAG))
                                : NULL) {
        if (m_Seen != NULL) RtlZeroMemory(m_Seen, unitCount);
    }
    ~CSeenIds() {
        if (m_Seen != NULL) ExFreePoolWithTag(m_Seen, HAL_TEMP_TAG);
    }
    CSeenIds(const CSeenIds&) = delete;
    CSeenIds& operator=(const CSeenIds&) = delete;
    bool Ready() const { return m_Count == 0 || m_Seen != NULL; }
    // TRUE the first time an id is marked.
    bool Mark(ULONG id) {
        if (id >= m_Count) return true;
        if (m_Seen[id]) return false;
        m_Seen[id] = 1;
        return true;
    }

private:
    ULONG m_Count;
    UCHAR* m_Seen;
};

// Queues the sources of unit (those not yet seen, when seen is given).
NTSTATUS QueueSources(IUacUnit* unit, CIdRing* ring, CSeenIds* seen) {
    ULONG count = unit->GetSourceCount();
    if (count == 0) return STATUS_SUCCESS;
    if (count > STREAM_PATH_MAX_SOURCES) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG ids[STREAM_PATH_MAX_SOURCES];
    NTSTATUS status = unit->GetSourceIds(&count, ids);
    if (!NT_SUCCESS(status)) return status;
    ULONG queued = 0;
    for (ULONG i = 0; i < count; ++i)
        if (ids[i] != UNIT_ID_NONE && (seen == NULL || seen->Mark(ids[i]))) ids[queued++] = ids[i];
    if (queued > ring->Free()) return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < queued; ++i) ring->Put(ids[i]);
    return STATUS_SUCCESS;
}

// Type of an output pin unit; FALSE when the unit does not answer ITerminal.
bool PinType(IUacUnit* unit, ULONG* type) {
    InterfaceRef<ITerminal> terminal(unit, IID_ITerminal);
    return terminal.get() != NULL && NT_SUCCESS(terminal->GetType(type));
}

}  // namespace

NTSTATUS CUacHal::LinkStreamEngine(CCyclicControl* engine, ULONG terminalNodeId) {
    if (engine == NULL) return STATUS_INVALID_PARAMETER;
    if (engine->IsCapture()) return LinkStreamEngineFrom(engine, terminalNodeId);

    ULONG pins[STREAM_PATH_MAX_PINS];
    ULONG pinCount = 0;
    const ULONG units = GetUnitCount();
    for (ULONG i = 0; i < units && pinCount < STREAM_PATH_MAX_PINS; ++i) {
        IUacUnit* unit = NULL;
        NTSTATUS status = GetUnit(i, &unit);
        if (!NT_SUCCESS(status)) return status;
        ULONG type = ENDPOINT_STREAM;
        if (unit->GetKind() == UNIT_KIND_OUTPUT_PIN && PinType(unit, &type) && type != ENDPOINT_STREAM)
            pins[pinCount++] = unit->GetId();
    }
    if (pinCount == 0) return STATUS_INVALID_PARAMETER;

    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN linked = FALSE;
    for (ULONG p = 0; p < pinCount; ++p) {
        BOOLEAN reached = FALSE;
        status = PathReaches(pins[p], terminalNodeId, &reached);
        if (!NT_SUCCESS(status) || !reached) continue;
        status = LinkStreamEngineFrom(engine, pins[p]);
        if (NT_SUCCESS(status)) status = AddTerminalTypeUnits(engine, pins[p]);
        if (!NT_SUCCESS(status)) return status;
        linked = TRUE;
    }
    return linked && NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// The terminal-type unit of a multi-type output terminal hangs off the
// terminal's first output pin, downstream of every path; a render engine
// that plays into that pin takes it too, so its endpoint type and the
// output-type changes follow the selection.
NTSTATUS CUacHal::AddTerminalTypeUnits(CCyclicControl* engine, ULONG pinId) {
    const ULONG units = GetUnitCount();
    for (ULONG i = 0; i < units; ++i) {
        IUacUnit* unit = NULL;
        ULONG source = UNIT_ID_NONE, one = 1;
        if (!NT_SUCCESS(GetUnit(i, &unit)) || unit->GetKind() != UNIT_KIND_TERMINAL_TYPE ||
            unit->GetSourceCount() == 0 || !NT_SUCCESS(unit->GetSourceIds(&one, &source)) || source != pinId)
            continue;
        NTSTATUS status = engine->AddUnit(unit);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUacHal::PathReaches(ULONG pinId, ULONG terminalNodeId, BOOLEAN* reached) {
    *reached = FALSE;
    CSeenIds seen(GetUnitCount());
    if (!seen.Ready()) return STATUS_INSUFFICIENT_RESOURCES;
    seen.Mark(pinId);
    CIdRing ring(pinId);
    while (!ring.Empty()) {
        const ULONG id = ring.Take();
        if (id == terminalNodeId) {
            *reached = TRUE;
            return STATUS_SUCCESS;
        }
        IUacUnit* unit = NULL;
        NTSTATUS status = FindUnitById(id, &unit);
        if (NT_SUCCESS(status)) status = QueueSources(unit, &ring, &seen);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUacHal::LinkStreamEngineFrom(CCyclicControl* engine, ULONG startId) {
    if (engine == NULL) return STATUS_INVALID_PARAMETER;
    CIdRing ring(startId);
    NTSTATUS status = STATUS_SUCCESS;
    while (!ring.Empty()) {
        const ULONG id = ring.Take();
        IUacUnit* unit = NULL;
        if (NT_SUCCESS(engine->FindUnitById(id, &unit))) continue;
        status = FindUnitById(id, &unit);
        if (!NT_SUCCESS(status)) return status;
        status = engine->AddUnit(unit);
        if (!NT_SUCCESS(status)) return status;
        if (unit->GetKind() == UNIT_KIND_SUM) continue;
        status = QueueSources(unit, &ring, NULL);
        if (!NT_SUCCESS(status)) return status;
    }
    return status;
}

// The UAC 1.0 Audio Control parser: one entity per class-specific
// descriptor, the source links between entities, and the software units the
// driver inserts into short stream paths.
//
// Input: the Audio Control interface descriptor and the bytes from it to
// the end of the held configuration. Every descriptor passes the cursor
// (bounded, minimum length of its kind) before a field is read. Results:
// STATUS_INVALID_PARAMETER for a bad interface descriptor, STATUS_UNSUCCESSFUL
// for a truncated descriptor, an unsupported subtype (processing and
// extension units), a source id that names no entity or a loop in the
// source links; an entity's own Init error otherwise. Entities stored before
// a failure stay in the list until the model goes.
#include "adapter/model/uac1_hal.h"

#include "adapter/model/descriptor_cursor.h"
#include "adapter/model/uac1_products.h"
#include "nt/dbg.h"
#include "nt/ex.h"
#include "stream/usb/cyclic_control.h"
#include "topology/dsp_mute_node.h"
#include "topology/uac_entity.h"
#include "topology/uac1_feature_unit.h"
#include "topology/uac1_terminals.h"
#include "topology/value_units.h"

namespace {

// The terminal whose speaker type some devices get wrong, and the two
// output terminals one product needs.
constexpr UCHAR kMislabelledTerminal = 16;
constexpr UCHAR kSecondRequiredTerminal = 64;
constexpr USHORT kTerminalSpeaker = 0x0301;
constexpr USHORT kTerminalHeadphones = 0x0302;
constexpr ULONG kWindowsVista = 0x06000000;

const UAC_ENTITY_ROW kGenericEntityRows[] = {
    {UAC_INPUT_TERMINAL, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUacInputTerminal>},
    {UAC_OUTPUT_TERMINAL, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUacOutputTerminal>},
    {UAC_MIXER_UNIT, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUacMixerUnit>},
    {UAC_SELECTOR_UNIT, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUacSelectorUnit>},
    {UAC_FEATURE_UNIT, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUacFeatureUnit>},
};

bool IsAudioControlInterface(const UCHAR* d, ULONG bytes) {
    return d != NULL && bytes >= sizeof(USB_INTERFACE_DESCRIPTOR) && d[0] >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
           d[0] <= bytes && d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[5] == USB_DEVICE_CLASS_AUDIO &&
           d[6] == USB_AUDIO_SUBCLASS_AUDIOCONTROL && d[7] == USB_AUDIO_PROTOCOL_1_0;
}

// The descriptor the cursor could not yield: its subtype and id as far as
// the bytes left hold them.
void LogTruncated(ULONG interfaceNumber, const CDescriptorCursor& cursor) {
    const UCHAR* at = cursor.Position();
    const ULONG left = cursor.Remaining();
    LogDescriptorRefusal(interfaceNumber, left > UAC_ENTITY_ID_OFFSET ? at[UAC_ENTITY_ID_OFFSET] : 0,
                         left > 2 ? at[2] : 0, "a descriptor is truncated or shorter than its kind needs");
}

// The first unit of a kind among the engine's units, or NULL.
IUacUnit* FirstUnitOfKind(CCyclicControl* engine, ULONG kind) {
    const ULONG count = engine->GetUnitCount();
    for (ULONG i = 0; i < count; ++i) {
        IUacUnit* unit = NULL;
        if (NT_SUCCESS(engine->GetUnit(i, &unit)) && unit != NULL && unit->GetKind() == kind) return unit;
    }
    return NULL;
}

}  // namespace

const UAC_ENTITY_ROW* CUac1Hal::EntityRows(ULONG* count) {
    *count = sizeof(kGenericEntityRows) / sizeof(kGenericEntityRows[0]);
    return kGenericEntityRows;
}

NTSTATUS CUac1Hal::ParseAudioControl(const UCHAR* descriptor, ULONG bytesToEnd) {
    if (!IsAudioControlInterface(descriptor, bytesToEnd)) {
        LogDescriptorRefusal(AcInterfaceNumber, 0, 0, "the interface is no UAC 1.0 Audio Control interface");
        return STATUS_INVALID_PARAMETER;
    }
    CDescriptorCursor cursor(descriptor + descriptor[0], bytesToEnd - descriptor[0], DESCRIPTOR_SCOPE_AUDIO_CONTROL);
    DESCRIPTOR_VIEW view;
    for (;;) {
        const CURSOR_RESULT next = cursor.Next(&view);
        if (next == CURSOR_END) break;
        if (next == CURSOR_TRUNCATED) {
            LogTruncated(AcInterfaceNumber, cursor);
            return STATUS_UNSUCCESSFUL;
        }
        // The next interface begins.
        if (view.Type != USB_CS_INTERFACE_DESCRIPTOR_TYPE) break;
        if (view.Subtype == UAC_AC_HEADER) continue;
        NTSTATUS status = AddAudioControlEntity(view.Bytes, view.Length);
        if (!NT_SUCCESS(status)) return status;
    }
    NTSTATUS status = LinkEntitySources();
    if (NT_SUCCESS(status)) status = CheckEntityGraph();
    if (NT_SUCCESS(status)) status = CheckRequiredEntities();
    return status;
}

// descriptor: a class-specific descriptor of `length` (>= 4 for every kind
// with a row) bytes that passed the cursor.
NTSTATUS CUac1Hal::AddAudioControlEntity(const UCHAR* descriptor, ULONG length) {
    const UCHAR subtype = descriptor[2];
    ULONG rows = 0;
    const UAC_ENTITY_ROW* table = EntityRows(&rows);
    const UAC_ENTITY_ROW* row = NULL;
    for (ULONG i = 0; i < rows && row == NULL; ++i)
        if (table[i].Subtype == subtype && length > UAC_ENTITY_ID_OFFSET &&
            (table[i].Id == UAC_ANY_ENTITY_ID || table[i].Id == descriptor[UAC_ENTITY_ID_OFFSET]))
            row = &table[i];
    if (row == NULL) {  // processing and extension units among them
        LogDescriptorRefusal(AcInterfaceNumber, length > UAC_ENTITY_ID_OFFSET ? descriptor[UAC_ENTITY_ID_OFFSET] : 0,
                             subtype, "the model takes no entity of this subtype");
        return STATUS_UNSUCCESSFUL;
    }
    if (subtype == UAC_OUTPUT_TERMINAL && descriptor[UAC_ENTITY_ID_OFFSET] == MislabelledTerminal() &&
        (descriptor[4] | descriptor[5] << 8) == kTerminalSpeaker) {
        // The device's own descriptor is corrected where it lies, so every
        // later reader sees headphones.
        UCHAR* patch = PatchableDescriptor(descriptor);
        patch[4] = (UCHAR)kTerminalHeadphones;
        patch[5] = (UCHAR)(kTerminalHeadphones >> 8);
    }
    const NTSTATUS status = row->Make(this, descriptor, GetEntityCount());
    if (!NT_SUCCESS(status)) {
        DbgPrint("interface %u entity %u subtype %u: the entity could not be made (status %x); the device is not "
                 "started\n",
                 (unsigned)AcInterfaceNumber, (unsigned)descriptor[UAC_ENTITY_ID_OFFSET], (unsigned)subtype,
                 (unsigned)status);
    }
    return status;
}

// Gives each entity's first node the output nodes of its source entities.
// An entity without nodes, without sources or with more than
// UAC_MAX_LINKED_SOURCES of them stays unconnected.
NTSTATUS CUac1Hal::LinkEntitySources() {
    const ULONG count = GetEntityCount();
    for (ULONG i = 0; i < count; ++i) {
        CUacEntity* entity = NULL;
        ULONG last = 0;
        if (!NT_SUCCESS(GetEntity(i, &entity)) || !NT_SUCCESS(entity->GetLastNodeId(&last))) continue;
        ULONG sources = entity->GetSourceCount();
        if (sources == 0 || sources > UAC_MAX_LINKED_SOURCES) continue;
        ULONG ids[UAC_MAX_LINKED_SOURCES];
        NTSTATUS status = entity->GetSourceIds(&sources, ids);
        for (ULONG s = 0; s < sources && NT_SUCCESS(status); ++s) {
            CUacEntity* source = NULL;
            status = FindEntityById(ids[s], &source);
            if (NT_SUCCESS(status)) status = source->GetLastNodeId(&ids[s]);
        }
        if (!NT_SUCCESS(status)) {
            const BYTE* own = entity->Descriptor();
            LogDescriptorRefusal(AcInterfaceNumber, entity->EntityId(), own != NULL ? own[2] : 0,
                                 "a source id names no entity with nodes");
            return STATUS_UNSUCCESSFUL;
        }
        entity->ConnectSources(sources, ids);
    }
    return STATUS_SUCCESS;
}

ULONG CUac1Hal::MislabelledTerminal() {
    return (LookupUac1Product(VendorId, ProductId)->Flags & UAC1_PRODUCT_TERMINAL16_HEADPHONES) ? kMislabelledTerminal
                                                                                                : UAC_ANY_ENTITY_ID;
}

NTSTATUS CUac1Hal::CheckRequiredEntities() {
    if ((LookupUac1Product(VendorId, ProductId)->Flags & UAC1_PRODUCT_REQUIRES_TERMINALS_16_64) == 0)
        return STATUS_SUCCESS;
    for (UCHAR id : {kMislabelledTerminal, kSecondRequiredTerminal}) {
        CUacEntity* entity = NULL;
        NTSTATUS status = FindEntityById(id, &entity);
        if (NT_SUCCESS(status) && entity->GetKind() != UAC_OUTPUT_TERMINAL) status = STATUS_UNSUCCESSFUL;
        if (!NT_SUCCESS(status)) {
            LogDescriptorRefusal(AcInterfaceNumber, id, UAC_OUTPUT_TERMINAL,
                                 "this product needs output terminals 16 and 64");
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// ---- extra units ----------------------------------------------------------------

NTSTATUS CUac1Hal::AddExtraUnits(CCyclicControl* engine) {
    if (engine->GetUnitCount() == 2) return AddTwoTerminalUnits(engine);
    if (!engine->IsCapture()) return STATUS_SUCCESS;
    ULONG pins = 0;
    const ULONG count = engine->GetUnitCount();
    for (ULONG i = 0; i < count; ++i) {
        IUacUnit* unit = NULL;
        if (!NT_SUCCESS(engine->GetUnit(i, &unit)) || unit == NULL) continue;
        const ULONG kind = unit->GetKind();
        if (kind == UNIT_KIND_MUX) return STATUS_SUCCESS;
        if (kind == UNIT_KIND_INPUT_PIN || kind == UNIT_KIND_OUTPUT_PIN) ++pins;
    }
    IUacUnit* output = FirstUnitOfKind(engine, UNIT_KIND_OUTPUT_PIN);
    ULONG src = 0, one = 1;
    if (pins != 2 || output == NULL || output->GetSourceCount() == 0 || !NT_SUCCESS(output->GetSourceIds(&one, &src)))
        return STATUS_SUCCESS;
    const ULONG newId = GetUnitCount();
    if (RtlIsNtDdiVersionAvailable(kWindowsVista)) return STATUS_SUCCESS;
    NTSTATUS status = AddMuxUnit(newId, 1, &src, engine);
    if (NT_SUCCESS(status)) status = ConnectTerminalTo(output->GetId(), newId);
    return status;
}

NTSTATUS CUac1Hal::AddTwoTerminalUnits(CCyclicControl* engine) {
    IUacUnit* input = FirstUnitOfKind(engine, UNIT_KIND_INPUT_PIN);
    IUacUnit* output = FirstUnitOfKind(engine, UNIT_KIND_OUTPUT_PIN);
    // Two units are a path of two terminals only with one pin of each kind.
    if (input == NULL || output == NULL) return STATUS_SUCCESS;
    const ULONG muteId = GetUnitCount();
    NTSTATUS status = AddDspMuteNode(muteId, input->GetId(), 1, engine);
    if (!NT_SUCCESS(status)) return status;
    ULONG connectId = muteId;
    if (engine->IsCapture() && !RtlIsNtDdiVersionAvailable(kWindowsVista)) {
        status = AddMuxUnit(muteId + 1, 1, &muteId, engine);
        if (!NT_SUCCESS(status)) return status;
        connectId = muteId + 1;
    }
    return ConnectTerminalTo(output->GetId(), connectId);
}

// The output terminal entity whose output node is pinId takes sourceId as
// its single source; no such entity: nothing to do.
NTSTATUS CUac1Hal::ConnectTerminalTo(ULONG pinId, ULONG sourceId) {
    const ULONG count = GetEntityCount();
    for (ULONG i = 0; i < count; ++i) {
        CUacEntity* entity = NULL;
        ULONG last = 0;
        if (NT_SUCCESS(GetEntity(i, &entity)) && entity->GetKind() == UAC_OUTPUT_TERMINAL &&
            NT_SUCCESS(entity->GetLastNodeId(&last)) && last == pinId)
            return entity->ConnectSources(1, &sourceId);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUac1Hal::AddDspMuteNode(ULONG id, ULONG sourceId, ULONG channels, CCyclicControl* engine) {
    auto* node = new (NonPagedPoolNx, m_PoolTag) CDspMuteNode(NULL, id);
    if (node == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    IUacUnit* unit = static_cast<IUacUnit*>(node);
    unit->AddRef();
    NTSTATUS status = node->Init(sourceId, channels);
    if (NT_SUCCESS(status)) status = AddUnit(unit);
    if (NT_SUCCESS(status)) status = engine->AddUnit(unit);
    // The engine runs the node twice per block: once as a unit that answers
    // IDspNode, once as a processing node of its own.
    if (NT_SUCCESS(status)) status = engine->AddDspNode(static_cast<IDspNode*>(node));
    unit->Release();
    return status;
}

NTSTATUS CUac1Hal::AddMuxUnit(ULONG id, ULONG sourceCount, const ULONG* sourceIds, CCyclicControl* engine) {
    auto* mux = new (NonPagedPoolNx, m_PoolTag) CMuxUnit(NULL, id);
    if (mux == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    IUacUnit* unit = static_cast<IUacUnit*>(mux);
    unit->AddRef();
    NTSTATUS status = unit->SetSourceIds(sourceCount, sourceIds);
    if (NT_SUCCESS(status)) status = AddUnit(unit);
    if (NT_SUCCESS(status)) status = engine->AddUnit(unit);
    unit->Release();
    return status;
}

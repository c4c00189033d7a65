// The UAC 2.0 Audio Control parser: one UAC 2.0 entity per class-specific
// descriptor (terminals, mixer, selector, feature and extension units,
// clock sources), the source links between entities, and the extra units
// of short stream paths.
//
// Input: the Audio Control interface descriptor and the bytes from it to
// the end of the held configuration. Every descriptor passes the cursor
// (bounded, the class 2.0 minimum length of its kind) before a field is
// read. Results: STATUS_INVALID_PARAMETER for an interface that is not a
// class 2.0 Audio Control one; STATUS_UNSUCCESSFUL for a truncated
// descriptor, a subtype the model takes no entity for (effect, processing
// units, clock selectors and multipliers, sample-rate converters), a
// source id that names no entity or a loop in the source links; an
// entity's own Init error otherwise. Entities stored before a failure stay
// in the list until the model goes.
#include "adapter/model/descriptor_cursor.h"
#include "adapter/model/uac2_hal.h"
#include "nt/dbg.h"
#include "stream/usb/cyclic_control.h"
#include "topology/interface_ref.h"
#include "topology/terminal_units.h"
#include "topology/uac2_clock_source.h"
#include "topology/uac2_feature_unit.h"
#include "topology/uac2_terminals.h"

namespace {

bool IsAudioControlInterface(const UCHAR* d, ULONG bytes) {
    return d != NULL && bytes >= sizeof(USB_INTERFACE_DESCRIPTOR) && d[0] >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
           d[0] <= bytes && d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[5] == USB_DEVICE_CLASS_AUDIO &&
           d[6] == USB_AUDIO_SUBCLASS_AUDIOCONTROL && d[7] == USB_AUDIO_PROTOCOL_2_0;
}

// Constructs Entity (outer NULL, index), runs its Init member with the
// model as device and builder, and stores it.
template <class Entity>
NTSTATUS MakeEntity(CUac2Hal* model, const UCHAR* descriptor, ULONG index,
                    NTSTATUS (Entity::*init)(const BYTE*, IUnknown*, IAudioHal*)) {
    Entity* entity = new (NonPagedPoolNx, model->PoolTag()) Entity(NULL, index);
    if (entity == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    entity->AddRef();
    NTSTATUS status = (entity->*init)(descriptor, model->AudioHal(), model->AudioHal());
    if (NT_SUCCESS(status)) status = model->AddEntity(entity);
    entity->Release();
    return status;
}

}  // namespace

NTSTATUS CUac2Hal::ParseAudioControl(const UCHAR* descriptor, ULONG bytesToEnd) {
    if (!IsAudioControlInterface(descriptor, bytesToEnd)) {
        LogDescriptorRefusal(AcInterfaceNumber, 0, 0, "the interface is no UAC 2.0 Audio Control interface");
        return STATUS_INVALID_PARAMETER;
    }
    CDescriptorCursor cursor(descriptor + descriptor[0], bytesToEnd - descriptor[0], DESCRIPTOR_SCOPE_AUDIO_CONTROL_2);
    DESCRIPTOR_VIEW view;
    for (;;) {
        const CURSOR_RESULT next = cursor.Next(&view);
        if (next == CURSOR_END) break;
        if (next == CURSOR_TRUNCATED) {
            const UCHAR* at = cursor.Position();
            const ULONG left = cursor.Remaining();
            LogDescriptorRefusal(AcInterfaceNumber, left > UAC_ENTITY_ID_OFFSET ? at[UAC_ENTITY_ID_OFFSET] : 0,
                                 left > 2 ? at[2] : 0, "a descriptor is truncated or shorter than its kind needs");
            return STATUS_UNSUCCESSFUL;
        }
        // The next interface begins.
        if (view.Type != USB_CS_INTERFACE_DESCRIPTOR_TYPE) break;
        if (view.Subtype == UAC_AC_HEADER) continue;
        NTSTATUS status = AddUac2Entity(view.Bytes, view.Length);
        if (!NT_SUCCESS(status)) return status;
    }
    NTSTATUS status = LinkEntitySources();
    if (NT_SUCCESS(status)) status = CheckEntityGraph();
    return status;
}

// descriptor: a class-specific descriptor of `length` bytes that passed
// the cursor (at least 3).
NTSTATUS CUac2Hal::AddUac2Entity(const UCHAR* descriptor, ULONG length) {
    const ULONG index = GetEntityCount();
    const UCHAR id = length > UAC_ENTITY_ID_OFFSET ? descriptor[UAC_ENTITY_ID_OFFSET] : 0;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    switch (descriptor[2]) {
    case UAC_INPUT_TERMINAL: status = MakeEntity(this, descriptor, index, &CUac2InputTerminal::Init); break;
    case UAC_OUTPUT_TERMINAL: status = MakeEntity(this, descriptor, index, &CUac2OutputTerminal::Init); break;
    case UAC_MIXER_UNIT: status = MakeEntity(this, descriptor, index, &CUac2Unit::InitMixerUnit); break;
    case UAC_SELECTOR_UNIT: status = MakeEntity(this, descriptor, index, &CUac2SelectorUnit::Init); break;
    case UAC_FEATURE_UNIT: status = MakeEntity(this, descriptor, index, &CUac2FeatureUnit::Init); break;
    case UAC2_EXTENSION_UNIT: status = MakeEntity(this, descriptor, index, &CUac2Unit::InitExtensionUnit); break;
    case UAC2_CLOCK_SOURCE: status = MakeEntity(this, descriptor, index, &CUac2ClockSource::Init); break;
    default:
        LogDescriptorRefusal(AcInterfaceNumber, id, descriptor[2], "the model takes no entity of this subtype");
        return STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        DbgPrint("interface %u entity %u subtype %u: the entity could not be made (status %x); the device is not "
                 "started\n",
                 (unsigned)AcInterfaceNumber, (unsigned)id, (unsigned)descriptor[2], (unsigned)status);
    }
    return status;
}

// ---- extra units ----------------------------------------------------------------

NTSTATUS CUac2Hal::AddExtraUnits(CCyclicControl* engine) {
    if (engine->IsCapture()) {
        NTSTATUS status = EnableStereoMixUnits(engine);
        if (!NT_SUCCESS(status)) return status;
    }
    return CUac1Hal::AddExtraUnits(engine);
}

// Every sum unit of a capture path becomes a StereoMix input pin, and
// counts as one in the pin rule of AddExtraUnits.
NTSTATUS CUac2Hal::EnableStereoMixUnits(CCyclicControl* engine) {
    const ULONG count = engine->GetUnitCount();
    for (ULONG i = 0; i < count; ++i) {
        IUacUnit* unit = NULL;
        if (!NT_SUCCESS(engine->GetUnit(i, &unit)) || unit == NULL || unit->GetKind() != UNIT_KIND_SUM) continue;
        InterfaceRef<ISumUnit> sum(unit, IID_ISumUnit);
        if (sum.get() != NULL) sum->SetStereoMix(TRUE);
    }
    return STATUS_SUCCESS;
}

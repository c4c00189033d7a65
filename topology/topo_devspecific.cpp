// Device-specific and private node properties: DEV_SPECIFIC (28) of the
// device-specific nodes and the single-input selector, the node effect
// GUID, the output-type list, effect parameter runs and the reserved kinds.
#include <cstring>

#include "nt/ke.h"

#include "nt/pool.h"
#include "ks/ks_guids.h"
#include "topology/terminal_units.h"
#include "topology/topo_guids.h"
#include "topology/topo_handlers.h"
#include "topology/topo_tables.h"

namespace {

bool SetIs(const PCPROPERTY_REQUEST* r, const GUID& set) {
    return IsEqualGUID(*r->PropertyItem->Set, set);
}

// GET or SET of one ULONG through a reserved-kind unit; the value buffer
// must hold 4 bytes.
template <class U>
NTSTATUS UlongSwitch(PPCPROPERTY_REQUEST r, U* unit) {
    if (!IsGet(r) && !IsSet(r)) {
        return STATUS_SUCCESS;
    }
    if (!HasValue(r, 4)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = IsGet(r) ? unit->GetValue(ValueUlongs(r)) : unit->SetValue(*ValueUlongs(r));
    if (NT_SUCCESS(status)) {
        r->ValueSize = 4;
    }
    return status;
}

// Queries I on the node's unit and runs body(unit); the query's failure
// is returned unchanged.
template <class I, class Body>
NTSTATUS WithUnit(PTOPO_UNIT_ENTRY node, REFIID iid, Body body) {
    I* unit = NULL;
    NTSTATUS status = node->Unit->QueryInterface(iid, (PVOID*)&unit);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = body(unit);
    unit->Release();
    return status;
}

NTSTATUS BoolDevSpecific(PPCPROPERTY_REQUEST r, PTOPO_UNIT_ENTRY node) {
    return WithUnit<IBoolUnit>(node, IID_IBoolUnit, [r](IBoolUnit* unit) -> NTSTATUS {
        if (IsGet(r) || IsSet(r)) {
            if (!HasValue(r, 4)) {
                return STATUS_INVALID_PARAMETER;
            }
            ULONG* value = ValueUlongs(r);
            NTSTATUS status;
            if (IsGet(r)) {
                *value = 0;
                status = unit->GetValue(0, reinterpret_cast<BYTE*>(value));
            } else {
                status = unit->SetValue(0, *value != 0 ? 1 : 0);
            }
            if (NT_SUCCESS(status)) {
                r->ValueSize = 4;
            }
            return status;
        }
        if (IsBasicSupport(r)) {
            TOPO_DESCRIBE d = {0x203, KSPROPERTY_DESCRIPTION_SIZE, VT_BOOL, &KSPROPTYPESETID_General, 0,
                               KSPROPERTY_DESCRIPTION_SIZE, NULL, NULL};
            return AnswerBasicSupport(r, d);
        }
        return STATUS_SUCCESS;
    });
}

// Gain pad basic support: one 36-byte member {36, name, 12 (the device's
// control selector), maximum, minimum, step}.
struct GainPadMember {
    ULONG Size;
    GUID Name;
    ULONG Selector;
    LONG Maximum;
    LONG Minimum;
    LONG Step;
};
static_assert(sizeof(GainPadMember) == 36, "gain pad member is 36 bytes");

NTSTATUS WriteGainPadMember(PVOID context, PUCHAR members) {
    ILevelUnit* level = static_cast<ILevelUnit*>(context);
    GainPadMember member = {sizeof(GainPadMember), NODENAME_INPUT_GAIN_PAD, 12, 0, 0, 0};
    NTSTATUS status = level->GetRange(&member.Maximum, &member.Minimum, &member.Step);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KSPROPERTY_MEMBERSHEADER header = {KSPROPERTY_MEMBER_VALUES, sizeof(member), 1, 0};
    memcpy(members, &header, sizeof(header));
    memcpy(members + sizeof(header), &member, sizeof(member));
    return STATUS_SUCCESS;
}

NTSTATUS LevelDevSpecific(PPCPROPERTY_REQUEST r, PTOPO_UNIT_ENTRY node) {
    return WithUnit<ILevelUnit>(node, IID_ILevelUnit, [r](ILevelUnit* level) -> NTSTATUS {
        if (IsGet(r) || IsSet(r)) {
            if (!HasInstance(r, 4) || !HasValue(r, 4)) {
                return STATUS_INVALID_PARAMETER;
            }
            LONG* value = static_cast<LONG*>(r->Value);
            NTSTATUS status = IsGet(r) ? level->GetValue(FirstInstanceUlong(r), value)
                                       : level->SetValue(FirstInstanceUlong(r), *value);
            if (NT_SUCCESS(status)) {
                r->ValueSize = 4;
            }
            return status;
        }
        if (IsBasicSupport(r)) {
            ULONG channels = 0;
            NTSTATUS status = level->GetChannelCount(&channels);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            const ULONG full = KSPROPERTY_DESCRIPTION_SIZE + sizeof(KSPROPERTY_MEMBERSHEADER) +
                               sizeof(GainPadMember);
            TOPO_DESCRIBE d = {0x203, full, VT_I4, &KSPROPTYPESETID_General, 0, full,
                               WriteGainPadMember, level};
            return AnswerBasicSupport(r, d);
        }
        return STATUS_SUCCESS;
    });
}

NTSTATUS OutputTypeList(PPCPROPERTY_REQUEST r, ITerminalTypeUnit* unit) {
    ULONG n = 0;
    NTSTATUS status = unit->GetTypeCount(&n);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG* types = NULL;
    if (n != 0) {
        types = static_cast<ULONG*>(ExAllocatePoolWithTag(PagedPool, (SIZE_T)n * sizeof(ULONG), TOPO_BUILD_TAG));
        if (types == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        status = unit->GetTypes(types);
    }
    if (NT_SUCCESS(status)) {
        status = AnswerUlongList(r, types, n);
    }
    if (types) {
        ExFreePoolWithTag(types, TOPO_BUILD_TAG);
    }
    return status;
}

NTSTATUS OutputTypeProperty(PPCPROPERTY_REQUEST r, PTOPO_UNIT_ENTRY node) {
    bool audio = SetIs(r, KSPROPSETID_Audio);
    if (!audio && !SetIs(r, KSPROPSETID_OutputTypes)) {
        return STATUS_INVALID_PARAMETER;
    }
    return WithUnit<ITerminalTypeUnit>(node, IID_ITerminalTypeUnit, [r, audio](ITerminalTypeUnit* unit) -> NTSTATUS {
        if (audio) {
            if (IsSet(r) && HasValue(r, 4)) {
                NTSTATUS status = unit->SelectType(*ValueUlongs(r));
                if (NT_SUCCESS(status)) {
                    r->ValueSize = 4;
                }
                return status;
            }
            if (IsBasicSupport(r) && !IsGet(r) && !IsSet(r)) {
                return DescribeGuidMember(r, VT_I4, NODENAME_OUTPUT_TYPE);
            }
            return STATUS_INVALID_PARAMETER;
        }
        if (r->PropertyItem->Id == 1) {
            return OutputTypeList(r, unit);
        }
        if (r->PropertyItem->Id == 2) {
            ULONG type = 0;
            NTSTATUS status = unit->GetType(&type);
            return NT_SUCCESS(status) ? AnswerUlong(r, type) : status;
        }
        return STATUS_INVALID_PARAMETER;
    });
}

// Property ids of a parameter block: the effect-values set and the
// reserved kind-20 set name the same operations differently.
struct ParamIds {
    ULONG Name;
    ULONG Count;
    ULONG Range;
    ULONG RunGet;
    ULONG RunSet;
};
constexpr ParamIds kEffectIds = {1, 2, 3, 4, 4};
constexpr ParamIds kParams20Ids = {1, 2, 5, 4, 3};

// SET of a run {index, count, values}: applied only when the instance
// holds the count it names and [index, index + count) lies within the n
// values (checked without wrapping); anything else changes nothing and
// succeeds.
template <class U>
NTSTATUS ParamRunSet(PPCPROPERTY_REQUEST r, U* unit, ULONG n) {
    if (!HasInstance(r, 12)) {
        return STATUS_SUCCESS;
    }
    const ULONG* instance = static_cast<const ULONG*>(r->Instance);
    ULONG index = instance[0];
    ULONG count = instance[1];
    if ((r->InstanceSize - 8) / 4 != count || count > n || index > n - count) {
        return STATUS_SUCCESS;
    }
    return unit->SetValues(index, count, instance + 2);
}

// GET of a run answers {8 + 4 x count, count, values}. Index and count must
// lie within the n values and the answer within the buffer; a short
// instance or value is refused with ValueSize 0.
template <class U>
NTSTATUS ParamRunGet(PPCPROPERTY_REQUEST r, U* unit, ULONG n) {
    if (!HasInstance(r, 8) || !HasValue(r, 8)) {
        r->ValueSize = 0;
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG* instance = static_cast<const ULONG*>(r->Instance);
    ULONG index = instance[0];
    ULONG count = instance[1];
    if (count > (r->ValueSize - 8) / 4 || index > n || count > n - index) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG* value = ValueUlongs(r);
    NTSTATUS status = unit->GetValues(index, count, value + 2);
    if (NT_SUCCESS(status)) {
        value[0] = 8 + 4 * count;
        value[1] = count;
        r->ValueSize = 8 + 4 * count;
    }
    return status;
}

template <class U>
NTSTATUS ParamRange(PPCPROPERTY_REQUEST r, U* unit, ULONG n) {
    if (!HasInstance(r, 4)) {
        r->ValueSize = 0;
        return STATUS_INVALID_PARAMETER;
    }
    if (!HasValue(r, 12) || FirstInstanceUlong(r) >= n) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG* v = ValueUlongs(r);
    NTSTATUS status = unit->GetValueRange(FirstInstanceUlong(r), &v[0], &v[1], &v[2]);
    if (NT_SUCCESS(status)) {
        r->ValueSize = 12;
    }
    return status;
}

template <class U>
NTSTATUS ParamBlockProperty(PPCPROPERTY_REQUEST r, U* unit, ULONG n, const ParamIds& ids) {
    ULONG id = r->PropertyItem->Id;
    if (IsSet(r)) {
        return id == ids.RunSet ? ParamRunSet(r, unit, n) : STATUS_SUCCESS;
    }
    if (!IsGet(r)) {
        return STATUS_SUCCESS;
    }
    if (id == ids.Name) {
        if (!HasValue(r, 16)) {
            return STATUS_INVALID_PARAMETER;
        }
        NTSTATUS status = unit->GetNameGuid(static_cast<GUID*>(r->Value));
        if (NT_SUCCESS(status)) {
            r->ValueSize = 16;
        }
        return status;
    }
    if (id == ids.Count) {
        if (!HasValue(r, 4)) {
            return STATUS_INVALID_PARAMETER;
        }
        *ValueUlongs(r) = n;
        r->ValueSize = 4;
        return STATUS_SUCCESS;
    }
    if (id == ids.Range) {
        return ParamRange(r, unit, n);
    }
    if (id == ids.RunGet) {
        return ParamRunGet(r, unit, n);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS EffectDevSpecific(PPCPROPERTY_REQUEST r, IEffectUnit* unit) {
    if (IsSet(r) || IsGet(r)) {
        if (!HasValue(r, 4)) {
            return STATUS_INVALID_PARAMETER;
        }
        ULONG* value = ValueUlongs(r);
        NTSTATUS status;
        if (IsSet(r)) {
            status = unit->SetValue(*reinterpret_cast<BYTE*>(value));
        } else {
            *value = 0;
            status = unit->GetValue(reinterpret_cast<BYTE*>(value));
        }
        if (NT_SUCCESS(status)) {
            r->ValueSize = 4;
        }
        return status;
    }
    if (IsBasicSupport(r)) {
        return DescribeGuidMember(r, VT_BOOL, KSPROPSETID_EffectValues);
    }
    return STATUS_SUCCESS;
}

NTSTATUS EffectProperty(PPCPROPERTY_REQUEST r, PTOPO_UNIT_ENTRY node) {
    bool audio = SetIs(r, KSPROPSETID_Audio);
    if (!audio && !SetIs(r, KSPROPSETID_EffectValues)) {
        return STATUS_UNSUCCESSFUL;
    }
    return WithUnit<IEffectUnit>(node, IID_IEffectUnit, [r, audio](IEffectUnit* unit) -> NTSTATUS {
        ULONG n = 0;
        NTSTATUS status = unit->GetValueCount(&n);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        return audio ? EffectDevSpecific(r, unit) : ParamBlockProperty(r, unit, n, kEffectIds);
    });
}

NTSTATUS Params20Property(PPCPROPERTY_REQUEST r, PTOPO_UNIT_ENTRY node) {
    bool audio = SetIs(r, KSPROPSETID_Audio);
    if (!audio && !SetIs(r, KSPROPSETID_DevParams20)) {
        return STATUS_INVALID_PARAMETER;
    }
    return WithUnit<IDevParams20Unit>(node, IID_IDevParams20Unit, [r, audio](IDevParams20Unit* unit) -> NTSTATUS {
        if (audio) {
            if (IsGet(r)) {
                return STATUS_INVALID_PARAMETER;
            }
            if (IsSet(r)) {
                if (!HasValue(r, 4)) {
                    return STATUS_INVALID_PARAMETER;
                }
                r->ValueSize = 4;
                return STATUS_SUCCESS;
            }
            return DescribeGuidMember(r, VT_I4, NODENAME_DEV_PARAMS_20);
        }
        ULONG n = 0;
        NTSTATUS status = unit->GetValueCount(&n);
        return NT_SUCCESS(status) ? ParamBlockProperty(r, unit, n, kParams20Ids) : status;
    });
}

template <class U>
NTSTATUS SwitchProperty(PPCPROPERTY_REQUEST r, PTOPO_UNIT_ENTRY node, REFIID iid, const GUID& name) {
    if (!SetIs(r, KSPROPSETID_Audio) && !SetIs(r, name)) {
        return STATUS_UNSUCCESSFUL;
    }
    return WithUnit<U>(node, iid, [r, &name](U* unit) -> NTSTATUS {
        if (IsGet(r) || IsSet(r)) {
            return UlongSwitch(r, unit);
        }
        return DescribeGuidMember(r, VT_BOOL, name);
    });
}

NTSTATUS WriteControl17Bounds(PVOID context, PUCHAR members) {
    IDevControl17Unit* unit = static_cast<IDevControl17Unit*>(context);
    ULONG maximum = 0, minimum = 0;
    NTSTATUS status = unit->GetRange(&maximum, &minimum);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KSPROPERTY_MEMBERSHEADER header = {KSPROPERTY_MEMBER_RANGES, sizeof(KSPROPERTY_BOUNDS_LONG), 1, 0};
    KSPROPERTY_BOUNDS_LONG bounds = {};
    bounds.UnsignedMinimum = minimum;
    bounds.UnsignedMaximum = maximum;
    memcpy(members, &header, sizeof(header));
    memcpy(members + sizeof(header), &bounds, sizeof(bounds));
    return STATUS_SUCCESS;
}

// Unsigned range {0, 0xFFFFFFFF} of the single-input selector.
NTSTATUS WriteFullRange(PVOID, PUCHAR members) {
    KSPROPERTY_MEMBERSHEADER header = {KSPROPERTY_MEMBER_RANGES, sizeof(KSPROPERTY_BOUNDS_LONG), 1, 0};
    KSPROPERTY_BOUNDS_LONG bounds = {};
    bounds.UnsignedMinimum = 0;
    bounds.UnsignedMaximum = 0xFFFFFFFF;
    memcpy(members, &header, sizeof(header));
    memcpy(members + sizeof(header), &bounds, sizeof(bounds));
    return STATUS_SUCCESS;
}

constexpr ULONG kRangeAnswerSize = 40 + sizeof(KSPROPERTY_MEMBERSHEADER) + sizeof(KSPROPERTY_BOUNDS_LONG);

NTSTATUS Control17Property(PPCPROPERTY_REQUEST r, PTOPO_UNIT_ENTRY node) {
    return WithUnit<IDevControl17Unit>(node, IID_IDevControl17Unit, [r](IDevControl17Unit* unit) -> NTSTATUS {
        if (IsGet(r) || IsSet(r)) {
            return UlongSwitch(r, unit);
        }
        TOPO_DESCRIBE d = {0x203, kRangeAnswerSize, VT_UI4, &KSPROPTYPESETID_General, 0,
                           kRangeAnswerSize, WriteControl17Bounds, unit};
        return IsBasicSupport(r) ? AnswerBasicSupport(r, d) : STATUS_SUCCESS;
    });
}

// The unit's own answer to GET or SET is not passed on: the request
// succeeds with 4 bytes whenever the buffer holds them.
NTSTATUS Effect24Property(PPCPROPERTY_REQUEST r, PTOPO_UNIT_ENTRY node) {
    if (!SetIs(r, KSPROPSETID_DevEffect24) || r->PropertyItem->Id != 1) {
        return STATUS_UNSUCCESSFUL;
    }
    return WithUnit<IDevEffect24Unit>(node, IID_IDevEffect24Unit, [r](IDevEffect24Unit* unit) -> NTSTATUS {
        if (IsGet(r) || IsSet(r)) {
            if (!HasValue(r, 4)) {
                return STATUS_INVALID_PARAMETER;
            }
            if (IsGet(r)) {
                unit->GetValue(ValueUlongs(r));
            } else {
                unit->SetValue(ValueUlongs(r));
            }
            r->ValueSize = 4;
            return STATUS_SUCCESS;
        }
        return DescribeGuidMember(r, VT_BOOL, KSPROPSETID_DevEffect24);
    });
}

NTSTATUS DefaultDevSpecific(PPCPROPERTY_REQUEST r) {
    if (IsGet(r)) {
        return STATUS_UNSUCCESSFUL;
    }
    if (IsSet(r)) {
        if (!HasValue(r, 4)) {
            return STATUS_INVALID_PARAMETER;
        }
        r->ValueSize = 4;
        return STATUS_SUCCESS;
    }
    if (IsBasicSupport(r)) {
        TOPO_DESCRIBE d = {0x202, kRangeAnswerSize, VT_UI4, &KSPROPTYPESETID_General, 0,
                           kRangeAnswerSize, WriteFullRange, NULL};
        return AnswerBasicSupport(r, d);
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS PropertyNodeEffectGuid(PPCPROPERTY_REQUEST r) {
    PAGED_CODE();
    if (r->PropertyItem->Id != 1) {
        return STATUS_INVALID_PARAMETER;
    }
    PTOPO_UNIT_ENTRY node = RequestNode(r, NULL);
    if (node == NULL || !IsGet(r) || !HasValue(r, 16)) {
        return STATUS_INVALID_PARAMETER;
    }
    const GUID* guid;
    switch (node->Unit->GetKind()) {
    case UNIT_KIND_INPUT_GAIN_PAD: guid = &NODENAME_INPUT_GAIN_PAD; break;
    case UNIT_KIND_TERMINAL_TYPE: guid = &NODENAME_OUTPUT_TYPE; break;
    case UNIT_KIND_DEV_SWITCH_15: guid = &NODENAME_DEV_SWITCH_15; break;
    case UNIT_KIND_DEV_CONTROL_17: guid = &NODENAME_DEV_CONTROL_17; break;
    case UNIT_KIND_DEV_SWITCH:
    case UNIT_KIND_DEV_SWITCH_19: guid = &NODENAME_DEV_SWITCH; break;
    case UNIT_KIND_DEV_PARAMS_20: guid = &NODENAME_DEV_PARAMS_20; break;
    case UNIT_KIND_SOFT_MUTE: guid = &NODENAME_SOFT_MUTE; break;
    case UNIT_KIND_EFFECT: guid = &KSPROPSETID_EffectValues; break;
    case UNIT_KIND_DEV_EFFECT_24: guid = &KSPROPSETID_DevEffect24; break;
    default: return STATUS_INVALID_PARAMETER;
    }
    memcpy(r->Value, guid, sizeof(GUID));
    r->ValueSize = sizeof(GUID);
    return STATUS_SUCCESS;
}

NTSTATUS PropertyNodeDevSpecific(PPCPROPERTY_REQUEST r) {
    PAGED_CODE();
    PTOPO_UNIT_ENTRY node = RequestNode(r, NULL);
    if (node == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    switch (node->Unit->GetKind()) {
    case UNIT_KIND_INPUT_GAIN_PAD: return LevelDevSpecific(r, node);
    case UNIT_KIND_TERMINAL_TYPE: return OutputTypeProperty(r, node);
    case UNIT_KIND_DEV_SWITCH_15:
        return SwitchProperty<IDevSwitch15Unit>(r, node, IID_IDevSwitch15Unit, NODENAME_DEV_SWITCH_15);
    case UNIT_KIND_DEV_CONTROL_17: return Control17Property(r, node);
    case UNIT_KIND_DEV_SWITCH:
    case UNIT_KIND_SOFT_MUTE: return BoolDevSpecific(r, node);
    case UNIT_KIND_DEV_SWITCH_19:
        return SwitchProperty<IDevSwitch19Unit>(r, node, IID_IDevSwitch19Unit, NODENAME_DEV_SWITCH);
    case UNIT_KIND_DEV_PARAMS_20: return Params20Property(r, node);
    case UNIT_KIND_EFFECT: return EffectProperty(r, node);
    case UNIT_KIND_DEV_EFFECT_24: return Effect24Property(r, node);
    default: return DefaultDevSpecific(r);
    }
}

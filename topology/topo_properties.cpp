// Audio, jack, pin-capability and version properties of "GlobalTopo".
#include <cstring>

#include "nt/ke.h"

#include "nt/pool.h"
#include "ks/ks_guids.h"
#include "topology/terminal_units.h"
#include "topology/topo_guids.h"
#include "topology/topo_handlers.h"
#include "topology/topo_tables.h"

namespace {

constexpr ULONG kPropertyVersion = 0x00030000;
constexpr ULONG kLevelHeaderSize = 56;  // description + members header
constexpr ULONG kMaxDescribedChannels = (0xFFFFFFFFu - kLevelHeaderSize) / sizeof(KSPROPERTY_STEPPING_LONG);

struct SteppedMembers {
    ULONG Count;
    ILevelUnit* Level;  // NULL: boolean entries {1, 0, 0, 1}
};

// Header {STEPPEDRANGES, 16, n, MULTICHANNEL} and n equal stepping entries.
NTSTATUS WriteSteppedMembers(PVOID context, PUCHAR members) {
    const SteppedMembers* m = static_cast<const SteppedMembers*>(context);
    KSPROPERTY_STEPPING_LONG step = {1, 0, {{{0, 1}}}};
    if (m->Level != NULL) {
        LONG maximum = 0, minimum = 0, delta = 0;
        NTSTATUS status = m->Level->GetRange(&maximum, &minimum, &delta);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        step = {(ULONG)delta, 0, {{{minimum, maximum}}}};
    }
    KSPROPERTY_MEMBERSHEADER header = {KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(step), m->Count,
                                       KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL};
    memcpy(members, &header, sizeof(header));
    for (ULONG i = 0; i < m->Count; ++i) {
        memcpy(members + sizeof(header) + i * sizeof(step), &step, sizeof(step));
    }
    return STATUS_SUCCESS;
}

// Basic support of a level (VT_I4) or boolean (VT_BOOL) node: one stepping
// entry per reported channel.
NTSTATUS DescribeChannels(PPCPROPERTY_REQUEST r, ULONG channels, ILevelUnit* level, ULONG vt) {
    if (channels > kMaxDescribedChannels) {
        return STATUS_INVALID_PARAMETER;
    }
    SteppedMembers members = {channels, level};
    ULONG full = kLevelHeaderSize + channels * (ULONG)sizeof(KSPROPERTY_STEPPING_LONG);
    TOPO_DESCRIBE d = {0x203, full, vt, &KSPROPTYPESETID_General, 1, full, WriteSteppedMembers, &members};
    return AnswerBasicSupport(r, d);
}

bool LevelMatchesNode(const PCPROPERTY_REQUEST* r, ULONG kind) {
    ULONG id = r->PropertyItem->Id;
    if (IsEqualGUID(*r->PropertyItem->Set, KSPROPSETID_PrivateAudio) && id == 3) {
        return true;
    }
    return (kind == UNIT_KIND_VOLUME && id == KSPROPERTY_AUDIO_VOLUMELEVEL) ||
           (kind == UNIT_KIND_BASS && id == KSPROPERTY_AUDIO_BASS) ||
           (kind == UNIT_KIND_MID && id == KSPROPERTY_AUDIO_MID) ||
           (kind == UNIT_KIND_TREBLE && id == KSPROPERTY_AUDIO_TREBLE) ||
           (kind == UNIT_KIND_NAMED_VOLUME && id == KSPROPERTY_AUDIO_VOLUMELEVEL);
}

NTSTATUS LevelVerbs(PPCPROPERTY_REQUEST r, ILevelUnit* level, CMiniportTopology* miniport) {
    if (IsGet(r)) {
        if (!HasInstance(r, 4) || !HasValue(r, 4)) {
            return STATUS_INVALID_PARAMETER;
        }
        NTSTATUS status = level->GetValue(FirstInstanceUlong(r), static_cast<LONG*>(r->Value));
        if (NT_SUCCESS(status)) {
            r->ValueSize = 4;
        }
        return status;
    }
    if (IsSet(r)) {
        if (!HasInstance(r, 4) || !HasValue(r, 4)) {
            return STATUS_INVALID_PARAMETER;
        }
        NTSTATUS status = level->SetValue(FirstInstanceUlong(r), *static_cast<LONG*>(r->Value));
        if (NT_SUCCESS(status)) {
            r->ValueSize = 4;
            // Only the private set announces the change; a standard SET is
            // announced by the unit itself when it notifies.
            if (IsEqualGUID(*r->PropertyItem->Set, KSPROPSETID_PrivateAudio)) {
                miniport->RaiseControlChange(r->Node);
            }
        }
        return status;
    }
    if (IsBasicSupport(r)) {
        ULONG channels = 0;
        NTSTATUS status = level->GetChannelCount(&channels);
        return NT_SUCCESS(status) ? DescribeChannels(r, channels, level, VT_I4) : status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NodeLevel(PPCPROPERTY_REQUEST r) {
    CMiniportTopology* miniport = NULL;
    PTOPO_UNIT_ENTRY node = RequestNode(r, &miniport);
    if (node == NULL || !LevelMatchesNode(r, node->Unit->GetKind())) {
        return STATUS_INVALID_PARAMETER;
    }
    ILevelUnit* level = NULL;
    NTSTATUS status = node->Unit->QueryInterface(IID_ILevelUnit, (PVOID*)&level);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = LevelVerbs(r, level, miniport);
    level->Release();
    return status;
}

NTSTATUS BooleanVerbs(PPCPROPERTY_REQUEST r, IBoolUnit* unit) {
    if (IsGet(r) || IsSet(r)) {
        if (!HasInstance(r, 4) || !HasValue(r, 4)) {
            return STATUS_INVALID_PARAMETER;
        }
        ULONG channel = FirstInstanceUlong(r);
        ULONG* value = ValueUlongs(r);
        NTSTATUS status;
        if (IsGet(r)) {
            *value = 0;
            status = unit->GetValue(channel, reinterpret_cast<BYTE*>(value));
        } else {
            status = unit->SetValue(channel, *value != 0 ? 1 : 0);
        }
        if (NT_SUCCESS(status)) {
            r->ValueSize = 4;
        }
        return status;
    }
    if (IsBasicSupport(r)) {
        ULONG channels = 0;
        NTSTATUS status = unit->GetChannelCount(&channels);
        return NT_SUCCESS(status) ? DescribeChannels(r, channels, NULL, VT_BOOL) : status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NodeBoolean(PPCPROPERTY_REQUEST r) {
    PTOPO_UNIT_ENTRY node = RequestNode(r, NULL);
    if (node == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    IBoolUnit* unit = NULL;
    NTSTATUS status = node->Unit->QueryInterface(IID_IBoolUnit, (PVOID*)&unit);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = BooleanVerbs(r, unit);
    unit->Release();
    return status;
}

}  // namespace

NTSTATUS PropertyLevel(PPCPROPERTY_REQUEST r) {
    PAGED_CODE();
    const GUID& set = *r->PropertyItem->Set;
    ULONG id = r->PropertyItem->Id;
    bool audio = IsEqualGUID(set, KSPROPSETID_Audio) &&
                 (id == KSPROPERTY_AUDIO_VOLUMELEVEL || id == KSPROPERTY_AUDIO_BASS ||
                  id == KSPROPERTY_AUDIO_MID || id == KSPROPERTY_AUDIO_TREBLE);
    bool privateLevel = IsEqualGUID(set, KSPROPSETID_PrivateAudio) && id == 3;
    return (audio || privateLevel) ? NodeLevel(r) : STATUS_INVALID_PARAMETER;
}

NTSTATUS PropertyBoolean(PPCPROPERTY_REQUEST r) {
    PAGED_CODE();
    ULONG id = r->PropertyItem->Id;
    if (id != KSPROPERTY_AUDIO_MUTE && id != KSPROPERTY_AUDIO_AGC && id != KSPROPERTY_AUDIO_LOUDNESS) {
        return STATUS_INVALID_PARAMETER;
    }
    return NodeBoolean(r);
}

// The selected input, 1-based (the node's input pin number).
NTSTATUS PropertyMuxSource(PPCPROPERTY_REQUEST r) {
    PAGED_CODE();
    if (r->PropertyItem->Id != KSPROPERTY_AUDIO_MUX_SOURCE || !HasValue(r, 4)) {
        return STATUS_INVALID_PARAMETER;
    }
    CMiniportTopology* miniport = CMiniportTopology::FromTarget(r->MajorTarget);
    PTOPO_UNIT_ENTRY node = miniport ? TopoNodeByIndex(miniport->Graph(), r->Node) : NULL;
    if (node == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    IMuxUnit* mux = NULL;
    NTSTATUS status = node->Unit->QueryInterface(IID_IMuxUnit, (PVOID*)&mux);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (IsGet(r)) {
        status = mux->GetValue(ValueUlongs(r));
    } else if (IsSet(r)) {
        status = mux->SetValue(*ValueUlongs(r));
    }
    if (NT_SUCCESS(status) && (IsGet(r) || IsSet(r))) {
        r->ValueSize = 4;
    }
    mux->Release();
    return status;
}

NTSTATUS PropertyVersion(PPCPROPERTY_REQUEST r) {
    PAGED_CODE();
    if (!IsEqualGUID(*r->PropertyItem->Set, KSPROPSETID_PrivateAudio) || r->PropertyItem->Id != 2) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!HasValue(r, 4)) {
        return STATUS_INVALID_PARAMETER;
    }
    *ValueUlongs(r) = kPropertyVersion;
    r->ValueSize = 4;
    return STATUS_SUCCESS;
}

// Shared steps of the topology property handlers.
#include "topology/topo_handlers.h"

#include <cstring>

#include "ks/ks_guids.h"

PTOPO_UNIT_ENTRY RequestNode(const PCPROPERTY_REQUEST* r, CMiniportTopology** miniport) {
    CMiniportTopology* m = CMiniportTopology::FromTarget(r->MajorTarget);
    if (miniport != NULL) {
        *miniport = m;
    }
    return m != NULL ? TopoNodeByIndex(m->Graph(), r->Node) : NULL;
}

NTSTATUS AnswerBasicSupport(PPCPROPERTY_REQUEST r, const TOPO_DESCRIBE& d) {
    if (HasValue(r, KSPROPERTY_DESCRIPTION_SIZE)) {
        PUCHAR value = static_cast<PUCHAR>(r->Value);
        KSPROPERTY_DESCRIPTION desc = {};
        desc.AccessFlags = d.AccessFlags;
        desc.DescriptionSize = d.FullSize;
        if (d.TypeSet != NULL) {
            desc.PropTypeSet.Set = *d.TypeSet;
            desc.PropTypeSet.Id = d.Vt;
        }
        desc.MembersListCount = d.ShortListCount;
        ULONG answer = KSPROPERTY_DESCRIPTION_SIZE;
        if (d.Members != NULL && d.FullSize > answer && r->ValueSize >= d.FullSize) {
            NTSTATUS status = d.Members(d.Context, value + answer);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            desc.MembersListCount = 1;
            answer = d.FullSize;
        }
        memcpy(value, &desc, sizeof(desc));
        r->ValueSize = answer;
        return STATUS_SUCCESS;
    }
    if (HasValue(r, sizeof(ULONG))) {
        *ValueUlongs(r) = d.AccessFlags;
        r->ValueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    r->ValueSize = d.TooSmallSize;
    return STATUS_BUFFER_TOO_SMALL;
}

namespace {
struct GuidMember {
    ULONG Size;
    GUID Guid;
    ULONG Reserved;
};
static_assert(sizeof(GuidMember) == 24, "GUID member is 24 bytes");

NTSTATUS WriteGuidMember(PVOID context, PUCHAR members) {
    const GUID* guid = static_cast<const GUID*>(context);
    KSPROPERTY_MEMBERSHEADER header = {KSPROPERTY_MEMBER_VALUES, sizeof(GuidMember), 1, 0};
    GuidMember member = {sizeof(GuidMember), *guid, 0};
    memcpy(members, &header, sizeof(header));
    memcpy(members + sizeof(header), &member, sizeof(member));
    return STATUS_SUCCESS;
}
}  // namespace

NTSTATUS DescribeGuidMember(PPCPROPERTY_REQUEST r, ULONG vt, const GUID& guid) {
    if (!IsBasicSupport(r)) {
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG full = KSPROPERTY_DESCRIPTION_SIZE + sizeof(KSPROPERTY_MEMBERSHEADER) + sizeof(GuidMember);
    TOPO_DESCRIBE d = {0x202, full, vt, &KSPROPTYPESETID_General, 0, full, WriteGuidMember,
                       const_cast<GUID*>(&guid)};
    return AnswerBasicSupport(r, d);
}

NTSTATUS AnswerUlongList(PPCPROPERTY_REQUEST r, const ULONG* items, ULONG count) {
    if (!IsGet(r)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG required = (ULONG)sizeof(KSMULTIPLE_ITEM) + count * (ULONG)sizeof(ULONG);
    if (r->ValueSize == 0) {
        r->ValueSize = required;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (r->ValueSize < required) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (r->Value == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    KSMULTIPLE_ITEM header = {required, count};
    memcpy(r->Value, &header, sizeof(header));
    if (count != 0) {
        memcpy(static_cast<PUCHAR>(r->Value) + sizeof(header), items, count * sizeof(ULONG));
    }
    r->ValueSize = required;
    return STATUS_SUCCESS;
}

NTSTATUS AnswerUlong(PPCPROPERTY_REQUEST r, ULONG value) {
    if (!IsGet(r)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (r->ValueSize == 0) {
        r->ValueSize = sizeof(ULONG);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (r->ValueSize < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (r->Value == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *ValueUlongs(r) = value;
    r->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
}

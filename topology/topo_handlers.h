// Shared steps of the topology property handlers: finding the miniport and
// the node of a request, the verb tests and the basic-support ladder. All
// handlers run at PASSIVE_LEVEL on the caller's thread and take no lock.
#pragma once

#include "ks/ks_types.h"
#include "topology/miniport_topology.h"

#define KSPROPERTY_DESCRIPTION_SIZE ((ULONG)sizeof(KSPROPERTY_DESCRIPTION))

inline bool IsGet(const PCPROPERTY_REQUEST* r) { return (r->Verb & KSPROPERTY_TYPE_GET) != 0; }
inline bool IsSet(const PCPROPERTY_REQUEST* r) { return (r->Verb & KSPROPERTY_TYPE_SET) != 0; }
inline bool IsBasicSupport(const PCPROPERTY_REQUEST* r) {
    return (r->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0;
}
inline bool HasInstance(const PCPROPERTY_REQUEST* r, ULONG bytes) {
    return r->InstanceSize >= bytes && r->Instance != NULL;
}
inline bool HasValue(const PCPROPERTY_REQUEST* r, ULONG bytes) {
    return r->ValueSize >= bytes && r->Value != NULL;
}
inline ULONG FirstInstanceUlong(const PCPROPERTY_REQUEST* r) {
    return *static_cast<const ULONG*>(r->Instance);
}
inline ULONG* ValueUlongs(const PCPROPERTY_REQUEST* r) { return static_cast<ULONG*>(r->Value); }

// The node the request names (Node below the node count), or NULL.
PTOPO_UNIT_ENTRY RequestNode(const PCPROPERTY_REQUEST* r, CMiniportTopology** miniport);

// A basic-support answer: the 40-byte description, and when the buffer
// holds FullSize bytes the member list written by Members after it.
//   ValueSize >= 40: description (MembersListCount ShortListCount), and with
//     FullSize bytes the members (MembersListCount 1), ValueSize FullSize;
//     else ValueSize 40.
//   4..39: the access flags only, ValueSize 4.
//   below 4: ValueSize TooSmallSize, STATUS_BUFFER_TOO_SMALL.
// A failing Members is returned with ValueSize unchanged.
typedef NTSTATUS (*DescribeMembers)(PVOID context, PUCHAR members);
typedef struct _TOPO_DESCRIBE {
    ULONG AccessFlags;
    ULONG FullSize;
    ULONG Vt;
    const GUID* TypeSet;   // NULL: the all-zero set (pins)
    ULONG ShortListCount;
    ULONG TooSmallSize;
    DescribeMembers Members;
    PVOID Context;
} TOPO_DESCRIBE;
NTSTATUS AnswerBasicSupport(PPCPROPERTY_REQUEST r, const TOPO_DESCRIBE& d);

// Device-specific basic support shared by several node kinds: one 24-byte
// member {24, guid, 0} (80 bytes in all), access GET|BASICSUPPORT flags
// 0x202. A request without BASICSUPPORT gives STATUS_UNSUCCESSFUL.
NTSTATUS DescribeGuidMember(PPCPROPERTY_REQUEST r, ULONG vt, const GUID& guid);

// List and single-ULONG answers of the output-type set: ValueSize 0 asks
// for the size (STATUS_BUFFER_OVERFLOW), a short buffer is refused.
NTSTATUS AnswerUlongList(PPCPROPERTY_REQUEST r, const ULONG* items, ULONG count);
NTSTATUS AnswerUlong(PPCPROPERTY_REQUEST r, ULONG value);

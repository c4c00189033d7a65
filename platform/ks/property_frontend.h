// Kernel-streaming property front end of the stand-in: takes a property
// request as Windows delivers IOCTL_KS_PROPERTY (the KSPROPERTY or
// KSNODEPROPERTY record and its instance data as input, the value as the
// output buffer), routes it to the automation table item of the filter or
// node, and calls the item's handler as the port class does.
//
// Handlers write into an exact-size heap block pre-filled with a marker and
// read the instance from a copy in its own block, so over-writes show under
// the address sanitizer and unwritten bytes keep the marker.
#pragma once

#include <string>
#include <vector>

#include "ks/ks_types.h"

class KsEventList;

// What a request is sent to: the filter's description, the MajorTarget the
// handlers receive (the unknown given to the port's Init, unchanged) and
// the port's event list.
struct KsTarget {
    const PCFILTER_DESCRIPTOR* Descriptor;
    PUNKNOWN MajorTarget;
    KsEventList* Events;
};

constexpr UCHAR KS_DEFAULT_MARKER = 0xA5;

struct KsPropertyResult {
    NTSTATUS Status;
    ULONG_PTR Information;   // bytes returned to the caller
    ULONG ValueSize;         // the handler's ValueSize (0 when not called)
    bool HandlerCalled;
    // outLen bytes: what the caller's buffer holds afterwards (the marker,
    // or the SET bytes, where nothing was copied back).
    std::vector<UCHAR> Output;
    // Non-empty when the handler broke the buffer contract (changed the
    // instance, or succeeded with ValueSize above the buffer length).
    std::string Fault;
};

// Routing: input under 24 bytes, or under 32 with KSPROPERTY_TYPE_TOPOLOGY:
// STATUS_INVALID_BUFFER_SIZE. The verb (Flags without TOPOLOGY) must be
// exactly GET, SET or BASICSUPPORT (else STATUS_INVALID_PARAMETER). A node
// id not below the node count: STATUS_INVALID_DEVICE_REQUEST. Set or id
// not in the table: STATUS_NOT_FOUND; a verb the item does not serve:
// STATUS_INVALID_DEVICE_REQUEST. None of these calls the handler.
//
// Copy-back: success returns ValueSize bytes (Information ValueSize);
// STATUS_BUFFER_OVERFLOW returns min(ValueSize, outLen) bytes with
// Information ValueSize; errors return nothing (Information 0); a SET
// returns nothing in any case. setBytes (outLen bytes) is the value of a
// SET; NULL leaves the marker.
KsPropertyResult KsProperty(const KsTarget& target, const void* input, ULONG inputLength, ULONG outLen,
                            const void* setBytes = NULL, UCHAR marker = KS_DEFAULT_MARKER);
KsPropertyResult KsProperty(const KsTarget& target, const std::vector<UCHAR>& input, ULONG outLen,
                            const std::vector<UCHAR>* setBytes = NULL, UCHAR marker = KS_DEFAULT_MARKER);

// The same for a raw output buffer (the port class's IOCTL path): the
// answer is copied into output, *information receives Information.
NTSTATUS KsDispatchProperty(const KsTarget& target, const void* input, ULONG inputLength,
                            PVOID output, ULONG outLen, ULONG_PTR* information);

// The automation item of a set and id in a table (items stepped by the
// table's item size), or NULL.
const PCPROPERTY_ITEM* KsFindPropertyItem(const PCAUTOMATION_TABLE* table, const GUID& set, ULONG id);
const PCEVENT_ITEM* KsFindEventItem(const PCAUTOMATION_TABLE* table, const GUID& set, ULONG id);

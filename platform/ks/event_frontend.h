// Kernel-streaming event front end of the stand-in: enabling and disabling
// events on a filter's nodes as Windows delivers IOCTL_KS_ENABLE_EVENT and
// IOCTL_KS_DISABLE_EVENT, and the port's event list (KsEventList) that
// IPortEvents adds entries to and generates events on.
#pragma once

#include <mutex>

#include "platform/ks/property_frontend.h"

// A port's list of enabled events. Entries are owned by the front end; the
// list only links them. Safe at any IRQL the stand-in runs (a host lock).
class KsEventList {
public:
    KsEventList();
    // Unlinks whatever is still linked; the entries stay with their owners.
    ~KsEventList();
    KsEventList(const KsEventList&) = delete;
    KsEventList& operator=(const KsEventList&) = delete;

    // IPortEvents::AddEventToEventList. An entry already linked elsewhere is
    // moved here.
    void Add(PKSEVENT_ENTRY entry);
    void Remove(PKSEVENT_ENTRY entry);
    // IPortEvents::GenerateEventList: signals every entry of that set and id
    // whose pin (when pinEvent) and node (when nodeEvent) match. Returns the
    // number signalled.
    ULONG Generate(const GUID& set, ULONG eventId, BOOL pinEvent, ULONG pinId, BOOL nodeEvent,
                   ULONG nodeId);
    ULONG Count();

private:
    std::mutex m_Lock;
    LIST_ENTRY m_Head;
};

// Enables an event: input is a KSE_NODE with Flags ENABLE | TOPOLOGY (any
// other type: STATUS_NOT_SUPPORTED), data a KSEVENTDATA with
// KSEVENTF_EVENT_HANDLE naming an event object. The front end creates the
// entry {set, id, node, event, owner} and calls the item's handler with
// PCEVENT_VERB_ADD; a failure frees the entry again. owner is the filter's
// file object.
NTSTATUS KsEnableEvent(const KsTarget& target, const void* input, ULONG inputLength,
                       const KSEVENTDATA* data, ULONG dataLength, PVOID owner);
// Disables the owner's event whose KSEVENTDATA names the same event object:
// the handler is called with PCEVENT_VERB_REMOVE, the entry unlinked and
// freed. None: STATUS_UNSUCCESSFUL.
NTSTATUS KsDisableEvent(const KsTarget& target, const KSEVENTDATA* data, ULONG dataLength,
                        PVOID owner);
// The owner's handle closes: every entry it enabled is unlinked and freed.
void KsFreeEvents(PVOID owner);
// Entries alive in the front end (all owners).
ULONG KsEnabledEventCount();

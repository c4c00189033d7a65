// Event enabling, disabling and generation of the kernel-streaming front end.
#include "platform/ks/event_frontend.h"

#include <cstring>

#include "nt/ex.h"
#include "nt/ob.h"
#include "nt/pool.h"

namespace {

constexpr ULONG kEventEntryTag = MakePoolTag("KsEv");

// The front end's own list of every entry it created, by owner. Lock order:
// this lock before any KsEventList lock.
std::mutex g_EntriesLock;
LIST_ENTRY g_Entries = {&g_Entries, &g_Entries};

void InitHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }

void InsertTail(PLIST_ENTRY head, PLIST_ENTRY entry) {
    entry->Flink = head;
    entry->Blink = head->Blink;
    head->Blink->Flink = entry;
    head->Blink = entry;
}

void Unlink(PLIST_ENTRY entry) {
    entry->Blink->Flink = entry->Flink;
    entry->Flink->Blink = entry->Blink;
    InitHead(entry);
}

// The event object a KSEVENTDATA names, with one reference, or NULL.
PRKEVENT ReferenceEvent(const KSEVENTDATA* data, ULONG dataLength, NTSTATUS* status) {
    if (data == NULL || dataLength < sizeof(KSEVENTDATA)) {
        *status = STATUS_INVALID_BUFFER_SIZE;
        return NULL;
    }
    if (data->NotificationType != KSEVENTF_EVENT_HANDLE) {
        *status = STATUS_NOT_SUPPORTED;
        return NULL;
    }
    PVOID object = NULL;
    *status = ObReferenceObjectByHandle(data->EventHandle.Event, EVENT_MODIFY_STATE,
                                        *ExEventObjectType, KernelMode, &object, NULL);
    return NT_SUCCESS(*status) ? static_cast<PRKEVENT>(object) : NULL;
}

void FreeEntry(PKSEVENT_ENTRY entry) {
    if (entry->List != NULL) {
        entry->List->Remove(entry);
    }
    ObDereferenceObject(entry->Event);
    ExFreePoolWithTag(entry, kEventEntryTag);
}

const PCEVENT_ITEM* NodeEventItem(const KsTarget& target, const KSE_NODE& request, NTSTATUS* status) {
    const PCFILTER_DESCRIPTOR* d = target.Descriptor;
    if (d == NULL || request.NodeId >= d->NodeCount) {
        *status = STATUS_INVALID_DEVICE_REQUEST;
        return NULL;
    }
    const PCNODE_DESCRIPTOR* node = reinterpret_cast<const PCNODE_DESCRIPTOR*>(
        reinterpret_cast<const UCHAR*>(d->Nodes) + (SIZE_T)request.NodeId * d->NodeSize);
    const PCEVENT_ITEM* item = KsFindEventItem(node->AutomationTable, request.Event.Set, request.Event.Id);
    if (item == NULL) {
        *status = STATUS_NOT_FOUND;
    } else if ((item->Flags & PCEVENT_ITEM_FLAG_ENABLE) == 0 || item->Handler == NULL) {
        *status = STATUS_INVALID_DEVICE_REQUEST;
        item = NULL;
    } else {
        *status = STATUS_SUCCESS;
    }
    return item;
}

NTSTATUS CallHandler(const KsTarget& target, const PCEVENT_ITEM* item, PKSEVENT_ENTRY entry, ULONG verb) {
    PCEVENT_REQUEST request = {};
    request.MajorTarget = target.MajorTarget;
    request.Node = entry->NodeId;
    request.EventItem = item;
    request.EventEntry = entry;
    request.Verb = verb;
    return item->Handler(&request);
}

}  // namespace

KsEventList::KsEventList() { InitHead(&m_Head); }

KsEventList::~KsEventList() {
    std::lock_guard<std::mutex> guard(m_Lock);
    while (m_Head.Flink != &m_Head) {
        PKSEVENT_ENTRY entry = CONTAINING_RECORD(m_Head.Flink, KSEVENT_ENTRY, ListEntry);
        Unlink(&entry->ListEntry);
        entry->List = NULL;
    }
}

void KsEventList::Add(PKSEVENT_ENTRY entry) {
    if (entry == NULL) {
        return;
    }
    if (entry->List != NULL && entry->List != this) {
        entry->List->Remove(entry);
    }
    std::lock_guard<std::mutex> guard(m_Lock);
    if (entry->List == this) {
        return;
    }
    InsertTail(&m_Head, &entry->ListEntry);
    entry->List = this;
}

void KsEventList::Remove(PKSEVENT_ENTRY entry) {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (entry->List == this) {
        Unlink(&entry->ListEntry);
        entry->List = NULL;
    }
}

ULONG KsEventList::Generate(const GUID& set, ULONG eventId, BOOL pinEvent, ULONG pinId, BOOL nodeEvent,
                            ULONG nodeId) {
    std::lock_guard<std::mutex> guard(m_Lock);
    ULONG signalled = 0;
    for (PLIST_ENTRY link = m_Head.Flink; link != &m_Head; link = link->Flink) {
        PKSEVENT_ENTRY entry = CONTAINING_RECORD(link, KSEVENT_ENTRY, ListEntry);
        if (!IsEqualGUID(entry->Set, set) || entry->EventId != eventId ||
            (pinEvent && entry->PinId != pinId) || (nodeEvent && entry->NodeId != nodeId)) {
            continue;
        }
        KeSetEvent(entry->Event, 0, FALSE);
        entry->SignalCount++;
        signalled++;
    }
    return signalled;
}

ULONG KsEventList::Count() {
    std::lock_guard<std::mutex> guard(m_Lock);
    ULONG n = 0;
    for (PLIST_ENTRY link = m_Head.Flink; link != &m_Head; link = link->Flink) {
        n++;
    }
    return n;
}

NTSTATUS KsEnableEvent(const KsTarget& target, const void* input, ULONG inputLength, const KSEVENTDATA* data,
                       ULONG dataLength, PVOID owner) {
    if (input == NULL || inputLength < sizeof(KSE_NODE)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    KSE_NODE request;
    memcpy(&request, input, sizeof(request));
    if (request.Event.Flags != (KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_TOPOLOGY)) {
        return STATUS_NOT_SUPPORTED;
    }
    NTSTATUS status;
    const PCEVENT_ITEM* item = NodeEventItem(target, request, &status);
    if (item == NULL) {
        return status;
    }
    PRKEVENT event = ReferenceEvent(data, dataLength, &status);
    if (event == NULL) {
        return status;
    }
    PKSEVENT_ENTRY entry =
        static_cast<PKSEVENT_ENTRY>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KSEVENT_ENTRY), kEventEntryTag));
    if (entry == NULL) {
        ObDereferenceObject(event);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memset(entry, 0, sizeof(*entry));
    InitHead(&entry->ListEntry);
    InitHead(&entry->OwnerLink);
    entry->Set = request.Event.Set;
    entry->EventId = request.Event.Id;
    entry->NodeId = request.NodeId;
    entry->PinId = KSFILTER_NODE;
    entry->NotificationType = KSEVENTF_EVENT_HANDLE;
    entry->Event = event;
    entry->Owner = owner;
    status = CallHandler(target, item, entry, PCEVENT_VERB_ADD);
    if (!NT_SUCCESS(status)) {
        FreeEntry(entry);
        return status;
    }
    std::lock_guard<std::mutex> guard(g_EntriesLock);
    InsertTail(&g_Entries, &entry->OwnerLink);
    return STATUS_SUCCESS;
}

NTSTATUS KsDisableEvent(const KsTarget& target, const KSEVENTDATA* data, ULONG dataLength, PVOID owner) {
    NTSTATUS status;
    PRKEVENT event = ReferenceEvent(data, dataLength, &status);
    if (event == NULL) {
        return status;
    }
    PKSEVENT_ENTRY found = NULL;
    {
        std::lock_guard<std::mutex> guard(g_EntriesLock);
        for (PLIST_ENTRY link = g_Entries.Flink; link != &g_Entries; link = link->Flink) {
            PKSEVENT_ENTRY entry = CONTAINING_RECORD(link, KSEVENT_ENTRY, OwnerLink);
            if (entry->Owner == owner && entry->Event == event) {
                found = entry;
                Unlink(&entry->OwnerLink);
                break;
            }
        }
    }
    ObDereferenceObject(event);
    if (found == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    KSE_NODE node = {};
    node.Event.Set = found->Set;
    node.Event.Id = found->EventId;
    node.NodeId = found->NodeId;
    const PCEVENT_ITEM* item = NodeEventItem(target, node, &status);
    if (item != NULL) {
        status = CallHandler(target, item, found, PCEVENT_VERB_REMOVE);
    }
    FreeEntry(found);
    return status;
}

void KsFreeEvents(PVOID owner) {
    LIST_ENTRY mine;
    InitHead(&mine);
    {
        std::lock_guard<std::mutex> guard(g_EntriesLock);
        PLIST_ENTRY link = g_Entries.Flink;
        while (link != &g_Entries) {
            PLIST_ENTRY next = link->Flink;
            PKSEVENT_ENTRY entry = CONTAINING_RECORD(link, KSEVENT_ENTRY, OwnerLink);
            if (entry->Owner == owner) {
                Unlink(link);
                InsertTail(&mine, link);
            }
            link = next;
        }
    }
    while (mine.Flink != &mine) {
        PKSEVENT_ENTRY entry = CONTAINING_RECORD(mine.Flink, KSEVENT_ENTRY, OwnerLink);
        Unlink(&entry->OwnerLink);
        FreeEntry(entry);
    }
}

ULONG KsEnabledEventCount() {
    std::lock_guard<std::mutex> guard(g_EntriesLock);
    ULONG n = 0;
    for (PLIST_ENTRY link = g_Entries.Flink; link != &g_Entries; link = link->Flink) {
        n++;
    }
    return n;
}

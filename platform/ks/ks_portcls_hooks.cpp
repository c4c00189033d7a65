// Filter hooks of the topology port kind.
#include "platform/ks/ks_portcls_hooks.h"

#include "nt/irp.h"

namespace {

KsEventList* PortEvents(PVOID* context) {
    if (context == NULL) {
        return NULL;
    }
    if (*context == NULL) {
        *context = new KsEventList();
    }
    return static_cast<KsEventList*>(*context);
}

KsTarget TargetOf(PPC_FILTER_INSTANCE filter) {
    return {filter->Descriptor, filter->MajorTarget, PortEvents(filter->PortContext)};
}

// METHOD_NEITHER: the caller's input (Type3InputBuffer) and output
// (UserBuffer) pointers as given.
NTSTATUS Property(PPC_FILTER_INSTANCE filter, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG_PTR information = 0;
    NTSTATUS status = KsDispatchProperty(TargetOf(filter), sp->Parameters.DeviceIoControl.Type3InputBuffer,
                                         sp->Parameters.DeviceIoControl.InputBufferLength, irp->UserBuffer,
                                         sp->Parameters.DeviceIoControl.OutputBufferLength, &information);
    irp->IoStatus.Information = information;
    return status;
}

NTSTATUS EnableEvent(PPC_FILTER_INSTANCE filter, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    return KsEnableEvent(TargetOf(filter), sp->Parameters.DeviceIoControl.Type3InputBuffer,
                         sp->Parameters.DeviceIoControl.InputBufferLength,
                         static_cast<const KSEVENTDATA*>(irp->UserBuffer),
                         sp->Parameters.DeviceIoControl.OutputBufferLength, filter->FileObject);
}

NTSTATUS DisableEvent(PPC_FILTER_INSTANCE filter, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    return KsDisableEvent(TargetOf(filter), static_cast<const KSEVENTDATA*>(sp->Parameters.DeviceIoControl.Type3InputBuffer),
                          sp->Parameters.DeviceIoControl.InputBufferLength, filter->FileObject);
}

VOID CloseFilter(PPC_FILTER_INSTANCE filter) { KsFreeEvents(filter->FileObject); }

VOID AddEvent(PVOID* context, PKSEVENT_ENTRY entry) {
    if (KsEventList* list = PortEvents(context)) {
        list->Add(entry);
    }
}

VOID GenerateEvents(PVOID* context, const GUID* set, ULONG eventId, BOOL pinEvent, ULONG pinId, BOOL nodeEvent,
                    ULONG nodeId) {
    if (context != NULL && *context != NULL && set != NULL) {
        static_cast<KsEventList*>(*context)->Generate(*set, eventId, pinEvent, pinId, nodeEvent, nodeId);
    }
}

VOID ReleaseContext(PVOID context) { delete static_cast<KsEventList*>(context); }

}  // namespace

VOID KsInstallTopologyFilterHooks() {
    PC_FILTER_HOOKS hooks = {Property, EnableEvent, DisableEvent, CloseFilter, AddEvent, GenerateEvents, ReleaseContext};
    PcSetFilterHooks(PcPortKindTopology, &hooks);
}

// I/O work items: a work item bound to a device object, run on the
// executor's worker pool. The device stays referenced from queueing until
// the routine has returned, so a driver may delete its device while an item
// is queued.
#include "nt/ke.h"
#include "nt/pool.h"
#include "platform/kernel/io_internal.h"

struct _IO_WORKITEM {
    WORK_QUEUE_ITEM Item;
    PDEVICE_OBJECT Device;
    PIO_WORKITEM_ROUTINE Routine;
    PVOID Context;
    volatile LONG Queued;  // 1 from IoQueueWorkItem until the routine starts
};

namespace {

constexpr ULONG kWorkItemTag = MakePoolTag("IoWI");

VOID RunWorkItem(PVOID Parameter) {
    auto* item = static_cast<PIO_WORKITEM>(Parameter);
    PDEVICE_OBJECT device = item->Device;
    PIO_WORKITEM_ROUTINE routine = item->Routine;
    PVOID context = item->Context;
    // From here on the routine may queue the item again or free it.
    InterlockedExchange(&item->Queued, 0);
    routine(device, context);
    ObDereferenceObject(device);
}

}  // namespace

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
    auto* item = static_cast<PIO_WORKITEM>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(IO_WORKITEM), kWorkItemTag));
    if (item == NULL) return NULL;
    *item = IO_WORKITEM{};
    item->Device = DeviceObject;
    return item;
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    if (InterlockedCompareExchange(&IoWorkItem->Queued, 0, 0) != 0)
        sim::Bugcheck(WORKER_INVALID, "IoFreeWorkItem on a work item that is still queued");
    ExFreePoolWithTag(IoWorkItem, kWorkItemTag);
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                     WORK_QUEUE_TYPE QueueType, PVOID Context) {
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    if (InterlockedExchange(&IoWorkItem->Queued, 1) != 0)
        sim::Bugcheck(WORKER_INVALID, "IoQueueWorkItem on a work item that is already queued");
    ObReferenceObject(IoWorkItem->Device);
    IoWorkItem->Routine = WorkerRoutine;
    IoWorkItem->Context = Context;
    ExInitializeWorkItem(&IoWorkItem->Item, RunWorkItem, IoWorkItem);
    ExQueueWorkItem(&IoWorkItem->Item, QueueType);
}

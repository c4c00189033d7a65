// Work a driver hands to the I/O manager: device-control requests built
// with IoBuildDeviceIoControlRequest, and I/O work items.
//
// The I/O manager owns a built request: after the last completion routine
// it copies the buffered output back, fills the caller's IO_STATUS_BLOCK,
// frees the IRP and signals the caller's event.
//
// An I/O work item is bound to a device object and runs on the executor's
// worker pool. The device stays referenced from queueing until the routine
// has returned, so a driver may delete its device while an item is queued.
#include <cstring>

#include "nt/ke.h"
#include "nt/pool.h"
#include "platform/kernel/io_internal.h"

namespace {

constexpr ULONG kSystemBufferTag = MakePoolTag("IoSB");

VOID FinishBuiltRequest(PIRP Irp) {
    IO_STATUS_BLOCK status = Irp->IoStatus;
    if ((Irp->Flags & IRP_BUFFERED_IO) && (Irp->Flags & IRP_INPUT_OPERATION) &&
        !NT_ERROR(status.Status) && Irp->UserBuffer != NULL) {
        ULONG outLength = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(Irp->IoManager.FinishContext));
        ULONG_PTR copy = status.Information < outLength ? status.Information : outLength;
        std::memcpy(Irp->UserBuffer, Irp->AssociatedIrp.SystemBuffer, copy);
    }
    if ((Irp->Flags & IRP_DEALLOCATE_BUFFER) && Irp->AssociatedIrp.SystemBuffer != NULL)
        ExFreePoolWithTag(Irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
    while (Irp->MdlAddress != NULL) {
        PMDL next = Irp->MdlAddress->Next;
        IoFreeMdl(Irp->MdlAddress);
        Irp->MdlAddress = next;
    }
    PIO_STATUS_BLOCK iosb = Irp->UserIosb;
    PKEVENT event = Irp->UserEvent;
    IoFreeIrp(Irp);
    // The caller may free the status block and the event as soon as the
    // event is set: nothing is touched after that.
    if (iosb != NULL) *iosb = status;
    if (event != NULL) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

// Sets up the data transfer of the request by its method. False without
// memory.
bool SetUpBuffers(PIRP irp, ULONG code, PVOID in, ULONG inLength, PVOID out, ULONG outLength) {
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: {
        ULONG size = inLength > outLength ? inLength : outLength;
        if (size != 0) {
            PVOID buffer = ExAllocatePoolWithTag(NonPagedPoolNx, size, kSystemBufferTag);
            if (buffer == NULL) return false;
            if (in != NULL && inLength != 0) std::memcpy(buffer, in, inLength);
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (out != NULL && outLength != 0) irp->Flags |= IRP_INPUT_OPERATION;
        }
        irp->UserBuffer = out;
        return true;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (inLength != 0) {
            PVOID buffer = ExAllocatePoolWithTag(NonPagedPoolNx, inLength, kSystemBufferTag);
            if (buffer == NULL) return false;
            std::memcpy(buffer, in, inLength);
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (out != NULL && outLength != 0) {
            // Kernel callers pass resident memory: the MDL needs no locking.
            PMDL mdl = IoAllocateMdl(out, outLength, FALSE, FALSE, irp);
            if (mdl == NULL) return false;
            MmBuildMdlForNonPagedPool(mdl);
        }
        return true;
    default:  // METHOD_NEITHER
        sp->Parameters.DeviceIoControl.Type3InputBuffer = in;
        irp->UserBuffer = out;
        return true;
    }
}

}  // namespace

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength,
                                   PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, struct _KEVENT* Event,
                                   PIO_STATUS_BLOCK IoStatusBlock) {
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (irp == NULL) return NULL;
    irp->IoManager.Origin = sim::kIrpFromIoManager;
    irp->IoManager.Finish = FinishBuiltRequest;
    irp->IoManager.FinishContext = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(OutputBufferLength));
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    if (!SetUpBuffers(irp, IoControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                      OutputBufferLength)) {
        // Nothing was sent: release what was set up, without finishing.
        if (irp->AssociatedIrp.SystemBuffer != NULL)
            ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
        if (irp->MdlAddress != NULL) IoFreeMdl(irp->MdlAddress);
        IoFreeIrp(irp);
        return NULL;
    }
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    return irp;
}

// ------------------------------------------------------------- work items

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

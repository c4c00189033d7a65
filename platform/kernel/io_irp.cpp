// IRPs: allocation, reuse, IoCallDriver, IoCompleteRequest with its walk
// over the completion routines, and cancellation.
#include <cstdio>
#include <cstring>

#include "nt/ke.h"
#include "nt/pool.h"
#include "platform/kernel/io_internal.h"

namespace sim {

std::string Hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof(text), "%p", p);
    return text;
}

void RequireIrqlAtMost(KIRQL highest, const char* function) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > highest)
        Bugcheck(IRQL_NOT_LESS_OR_EQUAL, std::string(function) + " called at IRQL " +
                                             std::to_string(irql) + ", above " +
                                             std::to_string(highest));
}

void CheckIrp(PIRP Irp, const char* function) {
    if (Irp == NULL || Irp->IoManager.Magic != kIrpMagic)
        Bugcheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                 std::string(function) + ": " + Hex(Irp) + " is not an initialised IRP");
}

}  // namespace sim

namespace {

KSPIN_LOCK g_cancelLock = 0;

// Location 1 (the bottom driver's); the spare location 0 lies below it.
PIO_STACK_LOCATION FirstStackLocation(PIRP Irp) {
    return reinterpret_cast<PIO_STACK_LOCATION>(reinterpret_cast<PUCHAR>(Irp) + sizeof(IRP)) + 1;
}

// What IoCompleteRequest clears in a stack location it leaves.
void ClearStackLocation(PIO_STACK_LOCATION sp) {
    sp->MinorFunction = 0;
    sp->Flags = 0;
    sp->Control = 0;
    std::memset(&sp->Parameters, 0, sizeof(sp->Parameters));
    sp->FileObject = NULL;
    sp->CompletionRoutine = NULL;
    sp->Context = NULL;
}

bool ShouldInvoke(PIRP Irp, UCHAR control, NTSTATUS status) {
    if (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) return true;
    if (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) return true;
    // Irp->Cancel may be set by IoCancelIrp on another thread meanwhile.
    return __atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) && (control & SL_INVOKE_ON_CANCEL);
}

// Leaves the current stack location upward and runs its completion routine
// when one applies. Returns false when the routine kept the IRP.
bool CompleteOneLocation(PIRP Irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
    PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
    PVOID context = sp->Context;
    bool invoke = routine != NULL && ShouldInvoke(Irp, sp->Control, Irp->IoStatus.Status);
    ClearStackLocation(sp);
    if (!invoke) {
        // The pending mark travels up to the caller that sees the return.
        if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
        return true;
    }
    // The routine gets the device of the driver that set it: the one whose
    // location is current now; none above the top location.
    PDEVICE_OBJECT device = Irp->CurrentLocation > Irp->StackCount
                                ? NULL
                                : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    return routine(device, Irp, context) != STATUS_MORE_PROCESSING_REQUIRED;
}


}  // namespace

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    if (StackSize < 0 || PacketSize < IoSizeOfIrp(StackSize))
        sim::Bugcheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                      "IoInitializeIrp: " + std::to_string(PacketSize) + " bytes cannot hold " +
                          std::to_string(StackSize) + " stack locations");
    std::memset(Irp, 0, PacketSize);
    Irp->Type = 6;  // IO_TYPE_IRP
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation = FirstStackLocation(Irp) + StackSize;
    Irp->ThreadListEntry.Flink = Irp->ThreadListEntry.Blink = &Irp->ThreadListEntry;
    Irp->IoManager.Magic = sim::kIrpMagic;
    Irp->IoManager.Origin = sim::kIrpFromCaller;
    Irp->IoManager.AllocatedStack = static_cast<USHORT>(StackSize);
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    if (StackSize < 0) return NULL;
    USHORT size = IoSizeOfIrp(StackSize);
    auto* irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPoolNx, size, sim::kIrpTag));
    if (irp == NULL) return NULL;
    IoInitializeIrp(irp, size, StackSize);
    irp->IoManager.Origin = sim::kIrpFromPool;
    return irp;
}

VOID IoFreeIrp(PIRP Irp) {
    sim::CheckIrp(Irp, "IoFreeIrp");
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
    if (Irp->IoManager.Origin == sim::kIrpFromCaller)
        sim::Bugcheck(BAD_POOL_CALLER, "IoFreeIrp on " + sim::Hex(Irp) +
                                           ", which was initialised in the caller's own memory");
    Irp->IoManager.Magic = 0;
    ExFreePoolWithTag(Irp, sim::kIrpTag);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status) {
    sim::CheckIrp(Irp, "IoReuseIrp");
    if (Irp->CancelRoutine != NULL)
        sim::Bugcheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                      "IoReuseIrp on " + sim::Hex(Irp) + " with a cancel routine still set");
    if (Irp->IoManager.Origin == sim::kIrpFromIoManager)
        sim::Bugcheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                      "IoReuseIrp on " + sim::Hex(Irp) + ", which belongs to the I/O manager");
    UCHAR origin = Irp->IoManager.Origin;
    UCHAR allocationFlags = Irp->AllocationFlags;
    CCHAR stack = static_cast<CCHAR>(Irp->IoManager.AllocatedStack);
    IoInitializeIrp(Irp, IoSizeOfIrp(stack), stack);
    Irp->IoManager.Origin = origin;
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Status;
}

NTSTATUS IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                  PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                  BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                  BOOLEAN InvokeOnCancel) {
    UNREFERENCED_PARAMETER(DeviceObject);
    IoSetCompletionRoutine(Irp, CompletionRoutine, Context, InvokeOnSuccess, InvokeOnError,
                           InvokeOnCancel);
    return STATUS_SUCCESS;
}

NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    sim::CheckIrp(Irp, "IoCallDriver");
    KIRQL irql = KeGetCurrentIrql();
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoCallDriver");
    IoSetNextIrpStackLocation(Irp);
    if (Irp->CurrentLocation <= 0)
        sim::Bugcheck(NO_MORE_IRP_STACK_LOCATIONS,
                      "NO_MORE_IRP_STACK_LOCATIONS: IRP " + sim::Hex(Irp) + " has " +
                          std::to_string(Irp->StackCount) + " stack locations, too few for the stack of " +
                          sim::Hex(DeviceObject));
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    if (sp->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION)
        sim::Bugcheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                      "IoCallDriver: major function " + std::to_string(sp->MajorFunction));
    sp->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[sp->MajorFunction];
    if (dispatch == NULL)
        sim::Bugcheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                      "IoCallDriver: the driver of " + sim::Hex(DeviceObject) +
                          " has no routine for major function " + std::to_string(sp->MajorFunction));
    // Held across the call: a device deleted by its own dispatch routine
    // (IRP_MN_REMOVE_DEVICE) stays valid until the routine returns.
    ObReferenceObject(DeviceObject);
    NTSTATUS status = dispatch(DeviceObject, Irp);
    ObDereferenceObject(DeviceObject);
    if (KeGetCurrentIrql() != irql)
        sim::Bugcheck(IRQL_NOT_LESS_OR_EQUAL,
                      "a dispatch routine returned at IRQL " + std::to_string(KeGetCurrentIrql()) +
                          ", called at " + std::to_string(irql));
    return status;
}

VOID IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    UNREFERENCED_PARAMETER(PriorityBoost);
    sim::CheckIrp(Irp, "IoCompleteRequest");
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest");
    if (Irp->CurrentLocation > Irp->StackCount)
        sim::Bugcheck(MULTIPLE_IRP_COMPLETE_REQUESTS,
                      "MULTIPLE_IRP_COMPLETE_REQUESTS: IRP " + sim::Hex(Irp) +
                          " has no stack location left to complete");
    if (Irp->IoStatus.Status == STATUS_PENDING)
        sim::Bugcheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                      "IoCompleteRequest on " + sim::Hex(Irp) + " with status STATUS_PENDING");
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != NULL)
        sim::Bugcheck(CANCEL_STATE_IN_COMPLETED_IRP,
                      "CANCEL_STATE_IN_COMPLETED_IRP: IRP " + sim::Hex(Irp) +
                          " completed with its cancel routine still set");
    do {
        if (!CompleteOneLocation(Irp)) return;
    } while (Irp->CurrentLocation <= Irp->StackCount);
    // Every location is done: the rest belongs to whoever built the IRP.
    if (Irp->IoManager.Origin != sim::kIrpFromIoManager || Irp->IoManager.Finish == NULL)
        sim::Bugcheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                      "IRP " + sim::Hex(Irp) +
                          " was completed past its top location, but its allocator set no "
                          "completion routine returning STATUS_MORE_PROCESSING_REQUIRED");
    Irp->IoManager.Finish(Irp);
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&g_cancelLock, Irql); }

VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g_cancelLock, Irql); }

BOOLEAN IoCancelIrp(PIRP Irp) {
    sim::CheckIrp(Irp, "IoCancelIrp");
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, NULL);
    if (routine == NULL) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    if (Irp->CurrentLocation > Irp->StackCount)
        sim::Bugcheck(CANCEL_STATE_IN_COMPLETED_IRP,
                      "CANCEL_STATE_IN_COMPLETED_IRP: IRP " + sim::Hex(Irp) +
                          " has a cancel routine but nothing left to complete");
    // The routine releases the cancel spin lock with this IRQL.
    Irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}

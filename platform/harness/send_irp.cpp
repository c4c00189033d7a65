// One IRP sent as the system's managers send it, with the completion
// contract checked.
#include <string>

#include "harness_text.h"
#include "nt/ke.h"
#include "sim/send_irp.h"
#include "sim/violation.h"

namespace {

// Lives on the heap: when an IRP never completes, it is left behind with
// the IRP so that a late completion still finds it.
struct Tracker {
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    bool pendingReturned;
};

NTSTATUS TrackCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    auto* tracker = static_cast<Tracker*>(Context);
    tracker->ioStatus = Irp->IoStatus;
    tracker->pendingReturned = Irp->PendingReturned != FALSE;
    KeSetEvent(&tracker->done, IO_NO_INCREMENT, FALSE);
    // The IRP belongs to the sender again.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

std::string Describe(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    return "IRP (major " + std::to_string(sp->MajorFunction) + ", minor " +
           std::to_string(sp->MinorFunction) + ")";
}

bool WaitForCompletion(Tracker* tracker, LONGLONG timeout) {
    LARGE_INTEGER due;
    due.QuadPart = -timeout;
    return KeWaitForSingleObject(&tracker->done, Executive, KernelMode, FALSE, &due) != STATUS_TIMEOUT;
}

void CheckContract(const std::string& what, const sim::IrpOutcome& outcome, bool completedAtReturn) {
    using sim::harness::StatusText;
    if (outcome.returned == STATUS_PENDING) {
        if (!outcome.completed)
            SIM_VIOLATION(what + " returned STATUS_PENDING and never completed");
        else if (!outcome.pendingReturned)
            SIM_VIOLATION(what + " returned STATUS_PENDING without IoMarkIrpPending");
        return;
    }
    if (!completedAtReturn)
        SIM_VIOLATION(what + " returned " + StatusText(outcome.returned) + " before the IRP was completed");
    if (outcome.completed && outcome.pendingReturned)
        SIM_VIOLATION(what + " was marked pending but returned " + StatusText(outcome.returned));
    if (outcome.completed && outcome.ioStatus.Status != outcome.returned)
        SIM_VIOLATION(what + " returned " + StatusText(outcome.returned) + " but completed with " +
                      StatusText(outcome.ioStatus.Status));
}

}  // namespace

namespace sim {

IrpOutcome SendIrp(PDEVICE_OBJECT device, const IrpFiller& fill, LONGLONG timeout) {
    IrpOutcome outcome{};
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        SIM_VIOLATION("IRPs are sent at PASSIVE_LEVEL, not at IRQL " + std::to_string(KeGetCurrentIrql()));
        return outcome;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == NULL) {
        ObDereferenceObject(top);
        outcome.returned = outcome.ioStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        return outcome;
    }
    auto* tracker = new Tracker{};
    KeInitializeEvent(&tracker->done, NotificationEvent, FALSE);
    fill(irp, IoGetNextIrpStackLocation(irp));
    std::string what = Describe(irp);
    IoSetCompletionRoutine(irp, TrackCompletion, tracker, TRUE, TRUE, TRUE);

    outcome.returned = IoCallDriver(top, irp);
    ObDereferenceObject(top);
    bool completedAtReturn = KeReadStateEvent(&tracker->done) != 0;
    outcome.completed = completedAtReturn || WaitForCompletion(tracker, timeout);
    if (outcome.completed) {
        outcome.ioStatus = tracker->ioStatus;
        outcome.pendingReturned = tracker->pendingReturned;
    } else {
        outcome.ioStatus.Status = STATUS_PENDING;
    }
    CheckContract(what, outcome, completedAtReturn);
    if (outcome.completed) {
        IoFreeIrp(irp);
        delete tracker;
    }
    return outcome;
}

}  // namespace sim

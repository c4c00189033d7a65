// Power IRPs requested by drivers, and the power calls a driver makes while
// it handles IRP_MJ_POWER.
#include <atomic>
#include <mutex>

#include "nt/ke.h"
#include "nt/pool.h"
#include "platform/kernel/io_internal.h"
#include "sim/iomgr.h"

namespace {

constexpr ULONG kRequestTag = MakePoolTag("PoRq");

// What the power manager keeps about one requested IRP until it finishes.
struct PowerRequest {
    PDEVICE_OBJECT target;  // the device the request named (referenced)
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE completion;
    PVOID context;
};

std::mutex g_lock;
int g_failCount = 0;
NTSTATUS g_failStatus = STATUS_SUCCESS;
std::atomic<int> g_outstanding{0};

bool TakeInjectedFailure(NTSTATUS* status) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_failCount <= 0) return false;
    --g_failCount;
    *status = g_failStatus;
    return true;
}

// Runs after the last completion routine of a requested power IRP. The IRP
// is gone before the completion function runs; the function gets a copy of
// its status block.
VOID FinishPowerRequest(PIRP Irp) {
    auto* request = static_cast<PowerRequest*>(Irp->IoManager.FinishContext);
    IO_STATUS_BLOCK status = Irp->IoStatus;
    IoFreeIrp(Irp);
    --g_outstanding;
    if (request->completion != NULL)
        request->completion(request->target, request->minor, request->state, request->context, &status);
    ObDereferenceObject(request->target);
    ExFreePoolWithTag(request, kRequestTag);
}

void FillPowerLocation(PIRP Irp, UCHAR MinorFunction, POWER_STATE PowerState) {
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(Irp);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        sp->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        sp->Parameters.Power.Type = DevicePowerState;
        sp->Parameters.Power.State = PowerState;
        sp->Parameters.Power.ShutdownType = PowerActionNone;
    }
}

}  // namespace

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                           POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                           PVOID Context, PIRP* Irp) {
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
    if (Irp != NULL) *Irp = NULL;
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    NTSTATUS injected;
    if (TakeInjectedFailure(&injected)) return injected;

    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    auto* request = static_cast<PowerRequest*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PowerRequest), kRequestTag));
    PIRP irp = request != NULL ? IoAllocateIrp(top->StackSize, FALSE) : NULL;
    if (irp == NULL) {
        if (request != NULL) ExFreePoolWithTag(request, kRequestTag);
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ObReferenceObject(DeviceObject);
    *request = PowerRequest{DeviceObject, MinorFunction, PowerState, CompletionFunction, Context};
    irp->IoManager.Origin = sim::kIrpFromIoManager;
    irp->IoManager.Finish = FinishPowerRequest;
    irp->IoManager.FinishContext = request;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    FillPowerLocation(irp, MinorFunction, PowerState);
    if (Irp != NULL) *Irp = irp;
    ++g_outstanding;
    IoCallDriver(top, irp);
    ObDereferenceObject(top);
    return STATUS_PENDING;
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    if (next->MajorFunction != IRP_MJ_POWER)
        sim::Bugcheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                      "PoCallDriver with major function " + std::to_string(next->MajorFunction));
    return IoCallDriver(DeviceObject, Irp);
}

VOID PoStartNextPowerIrp(PIRP Irp) { sim::CheckIrp(Irp, "PoStartNextPowerIrp"); }

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    std::lock_guard<std::mutex> guard(g_lock);
    _DEVOBJ_EXTENSION* ext = DeviceObject->DeviceObjectExtension;
    POWER_STATE* recorded = Type == SystemPowerState ? &ext->SystemPowerState : &ext->DevicePowerState;
    POWER_STATE previous = *recorded;
    *recorded = State;
    return previous;
}

namespace sim {

DEVICE_POWER_STATE PoRecordedDeviceState(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(g_lock);
    return device->DeviceObjectExtension->DevicePowerState.DeviceState;
}

SYSTEM_POWER_STATE PoRecordedSystemState(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(g_lock);
    return device->DeviceObjectExtension->SystemPowerState.SystemState;
}

void PoFailRequests(NTSTATUS status, int count) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_failStatus = status;
    g_failCount = count;
}

int PoOutstandingRequests() { return g_outstanding.load(); }

void ResetPowerFailures() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_failCount = 0;
}

}  // namespace sim

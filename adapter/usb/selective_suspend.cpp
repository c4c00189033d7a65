// CIdleControl: idle timer and checks, the idle notification and its
// completion, the D2 and D0 requests, the IRP gate and the shutdown.
//
// Who frees the idle IRP: it is out with two references, one for its
// completion and one for a canceller. Whoever takes IdleIrp (by exchange,
// under IdleSpinLock) owns the right to touch it; the completion frees it
// at once when nobody took it, and otherwise the last of completion and
// canceller to drop its reference frees it. IdleRequestPending is cleared
// and IdleRequestDone set only after the IRP is freed.
#include "adapter/usb/selective_suspend.h"

#include <cstring>
#include <string>

#include "nt/ex.h"
#include "nt/rtl.h"
#include "nt/zw.h"

namespace {

constexpr LONGLONG kFirstCheck = -5LL * 10000000;  // relative, 100 ns units
constexpr LONG kCheckPeriodMs = 5000;
constexpr LONGLONG kGateWait = -500LL * 10000;

// Context of a queued idle check (16 bytes, tag "USBd").
struct IdleCheckContext {
    PIO_WORKITEM workItem;
    CIdleControl* control;
};
static_assert(sizeof(IdleCheckContext) == 16, "idle check context");

// Context of the D2 request made from the hub's callback (16 bytes).
struct LowPowerContext {
    CIdleControl* control;
    PKEVENT done;
};
static_assert(sizeof(LowPowerContext) == 16, "low power context");

}  // namespace

CIdleControl::CIdleControl(IIdleOwner* owner, CUsbTransport* transport)
    : m_Owner(owner),
      m_Transport(transport),
      m_IdleCallbackInfo(NULL),
      m_IdleIrp(NULL),
      m_IdleRequestPending(0),
      m_IdleIrpRefs(0),
      m_IdleTimerEnabled(0),
      m_Stopping(FALSE),
      m_PendingChecks(0) {
    // Everything Shutdown waits on is ready before anything can fail.
    KeInitializeSpinLock(&m_IdleSpinLock);
    KeInitializeEvent(&m_IdleRequestDone, NotificationEvent, TRUE);
    KeInitializeEvent(&m_PowerUpDone, NotificationEvent, TRUE);
    KeInitializeEvent(&m_IdleCheckDone, NotificationEvent, TRUE);
    KeInitializeTimerEx(&m_IdleTimer, NotificationTimer);
    KeInitializeDpc(&m_IdleDpc, IdleTimerDpc, this);
}

CIdleControl::~CIdleControl() { Shutdown(); }

void CIdleControl::Start(BOOLEAN initSucceeded) {
    PAGED_CODE();
    ULONG value = 0;
    ReadDeviceParameter(u"SelectiveSuspendEnabled", sizeof(value), &value);
    m_IdleTimerEnabled = value != 0;
    InterlockedExchange(&m_IdleIrpRefs, 0);
    m_Transport->ResetCounters();
    if (!initSucceeded || !m_IdleTimerEnabled) return;
    KIRQL irql;
    KeAcquireSpinLock(&m_IdleSpinLock, &irql);
    if (!m_Stopping) ArmTimer();
    KeReleaseSpinLock(&m_IdleSpinLock, irql);
}

void CIdleControl::ArmTimer() {
    LARGE_INTEGER due;
    due.QuadPart = kFirstCheck;
    KeSetTimerEx(&m_IdleTimer, due, kCheckPeriodMs, &m_IdleDpc);
}

BOOLEAN CIdleControl::IsIdle() {
    // Read without a lock: a stale value only delays or cancels a request.
    return __atomic_load_n(m_Transport->InFlightCounter(), __ATOMIC_SEQ_CST) == 1 && m_Transport->BusyCount() == 0;
}

// ------------------------------------------------------------ checks

VOID CIdleControl::IdleTimerDpc(PKDPC, PVOID context, PVOID, PVOID) {
    static_cast<CIdleControl*>(context)->QueueIdleCheck();
}

// DISPATCH_LEVEL: only allocates and queues.
void CIdleControl::QueueIdleCheck() {
    auto ctx = static_cast<IdleCheckContext*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(IdleCheckContext), kUsbTransportTag));
    if (ctx == NULL) return;
    KeAcquireSpinLockAtDpcLevel(&m_IdleSpinLock);
    const BOOLEAN stopping = m_Stopping;
    if (!stopping && m_PendingChecks++ == 0) KeClearEvent(&m_IdleCheckDone);
    KeReleaseSpinLockFromDpcLevel(&m_IdleSpinLock);
    if (stopping) {
        ExFreePoolWithTag(ctx, kUsbTransportTag);
        return;
    }
    ctx->control = this;
    ctx->workItem = IsIdle() ? IoAllocateWorkItem(m_Owner->IdleFdo()) : NULL;
    if (ctx->workItem != NULL) {
        IoQueueWorkItem(ctx->workItem, IdleCheckWorkItem, DelayedWorkQueue, ctx);
        return;
    }
    ExFreePoolWithTag(ctx, kUsbTransportTag);
    CheckDone();
}

VOID CIdleControl::IdleCheckWorkItem(PDEVICE_OBJECT, PVOID context) {
    auto ctx = static_cast<IdleCheckContext*>(context);
    CIdleControl* control = ctx->control;
    control->IdleCheck();
    IoFreeWorkItem(ctx->workItem);
    ExFreePoolWithTag(ctx, kUsbTransportTag);
    control->CheckDone();  // last touch of the adapter
}

void CIdleControl::IdleCheck() {
    if (IsIdle()) SubmitIdleRequest();
}

// IdleCheckDone is set when the last of overlapping checks has finished.
void CIdleControl::CheckDone() {
    KIRQL irql;
    KeAcquireSpinLock(&m_IdleSpinLock, &irql);
    if (--m_PendingChecks == 0) KeSetEvent(&m_IdleCheckDone, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&m_IdleSpinLock, irql);
}

// ------------------------------------------------------------ the idle request

NTSTATUS CIdleControl::SubmitIdleRequest() {
    if (m_Owner->IdlePowerState() != PowerDeviceD0) return STATUS_POWER_STATE_INVALID;
    PDEVICE_OBJECT lower = m_Owner->IdleLowerDevice();
    KIRQL irql;
    KeAcquireSpinLock(&m_IdleSpinLock, &irql);
    if (m_Stopping) {
        KeReleaseSpinLock(&m_IdleSpinLock, irql);
        return STATUS_DELETE_PENDING;
    }
    if (InterlockedExchange(&m_IdleRequestPending, 1) == 1) {
        KeReleaseSpinLock(&m_IdleSpinLock, irql);
        return STATUS_DEVICE_BUSY;
    }
    KeClearEvent(&m_IdleRequestDone);
    auto info = static_cast<PUSB_IDLE_CALLBACK_INFO>(ExAllocatePool(NonPagedPoolNx, sizeof(USB_IDLE_CALLBACK_INFO)));
    PIRP irp = IoAllocateIrp((CCHAR)(lower->StackSize + 1), FALSE);
    if (info == NULL || irp == NULL) {
        KeSetEvent(&m_IdleRequestDone, IO_NO_INCREMENT, FALSE);
        InterlockedExchange(&m_IdleRequestPending, 0);
        KeReleaseSpinLock(&m_IdleSpinLock, irql);
        if (info != NULL) ExFreePool(info);
        if (irp != NULL) IoFreeIrp(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    info->IdleCallback = UsbIdleCallback;
    info->IdleContext = this;
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION;
    next->Parameters.DeviceIoControl.Type3InputBuffer = info;
    next->Parameters.DeviceIoControl.InputBufferLength = sizeof(USB_IDLE_CALLBACK_INFO);
    IoSetCompletionRoutine(irp, IdleRequestCompletion, this, TRUE, TRUE, TRUE);
    m_IdleCallbackInfo = info;
    m_IdleIrp = irp;
    InterlockedExchange(&m_IdleIrpRefs, 2);
    KeReleaseSpinLock(&m_IdleSpinLock, irql);

    if (!IsIdle() || m_Owner->IdlePowerState() != PowerDeviceD0) {
        // Something started meanwhile. A canceller may already hold the IRP
        // (it was visible once the lock was dropped): free it only if it is
        // still ours, else drop our reference like a completion would.
        KeAcquireSpinLock(&m_IdleSpinLock, &irql);
        m_IdleCallbackInfo = NULL;
        auto mine = static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_IdleIrp), NULL));
        KeReleaseSpinLock(&m_IdleSpinLock, irql);
        ExFreePool(info);
        if (mine != NULL)
            FinishIdleIrp(mine);
        else
            DropIdleIrpReference(irp);
        return STATUS_UNSUCCESSFUL;
    }
    if (m_IdleTimerEnabled) KeCancelTimer(&m_IdleTimer);  // no checks while the request is out
    return IoCallDriver(lower, irp);
}

NTSTATUS CIdleControl::IdleRequestCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    static_cast<CIdleControl*>(context)->OnIdleRequestComplete(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is the driver's
}

// Up to DISPATCH_LEVEL.
void CIdleControl::OnIdleRequestComplete(PIRP irp) {
    const NTSTATUS status = irp->IoStatus.Status;
    if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED && m_Owner->IdlePowerState() != PowerDeviceD0) {
        KeClearEvent(&m_PowerUpDone);
        POWER_STATE state;
        state.DeviceState = PowerDeviceD0;
        // Only a request that was sent will signal: otherwise nobody would,
        // and every IRP would wait out the gate's time-out.
        if (PoRequestPowerIrp(m_Owner->IdlePdo(), IRP_MN_SET_POWER, state, PowerUpDone, this, NULL) != STATUS_PENDING)
            KeSetEvent(&m_PowerUpDone, IO_NO_INCREMENT, FALSE);
    }
    KIRQL irql;
    KeAcquireSpinLock(&m_IdleSpinLock, &irql);
    PUSB_IDLE_CALLBACK_INFO info = m_IdleCallbackInfo;
    m_IdleCallbackInfo = NULL;
    auto mine = static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_IdleIrp), NULL));
    // Re-armed here, under the lock Shutdown sets its flag under, and before
    // IdleRequestDone can let a teardown go on.
    if (m_IdleTimerEnabled && !m_Stopping) ArmTimer();
    KeReleaseSpinLock(&m_IdleSpinLock, irql);
    if (info != NULL) ExFreePool(info);
    if (mine != NULL || InterlockedDecrement(&m_IdleIrpRefs) == 0) FinishIdleIrp(irp);
}

void CIdleControl::CancelIdleRequest() { CancelIdleIrp(FALSE); }

void CIdleControl::CancelIdleIrp(BOOLEAN evenWhenIdle) {
    PIRP irp = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&m_IdleSpinLock, &irql);
    if (evenWhenIdle || !IsIdle())
        irp = static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_IdleIrp), NULL));
    KeReleaseSpinLock(&m_IdleSpinLock, irql);
    if (irp == NULL) return;
    IoCancelIrp(irp);
    DropIdleIrpReference(irp);
}

void CIdleControl::DropIdleIrpReference(PIRP irp) {
    if (InterlockedDecrement(&m_IdleIrpRefs) == 0) FinishIdleIrp(irp);
}

// The last holder of the idle IRP frees it. Only then may a new request
// start: IdleIrpRefs counts for one IRP at a time, and a canceller may
// still hold the old IRP after its completion has run.
void CIdleControl::FinishIdleIrp(PIRP irp) {
    IoFreeIrp(irp);
    InterlockedExchange(&m_IdleRequestPending, 0);
    KeSetEvent(&m_IdleRequestDone, IO_NO_INCREMENT, FALSE);  // the adapter may go from here on
}

// ------------------------------------------------------------ power requests

// The hub's callback, PASSIVE_LEVEL: asks for D2 and waits until the power
// IRP has completed.
VOID CIdleControl::UsbIdleCallback(PVOID context) { static_cast<CIdleControl*>(context)->RequestLowPowerState(); }

void CIdleControl::RequestLowPowerState() {
    auto ctx = static_cast<LowPowerContext*>(ExAllocatePool(NonPagedPoolNx, sizeof(LowPowerContext)));
    if (ctx == NULL) return;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    ctx->control = this;
    ctx->done = &done;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD2;
    if (PoRequestPowerIrp(m_Owner->IdlePdo(), IRP_MN_SET_POWER, state, LowPowerDone, ctx, NULL) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    else
        ExFreePool(ctx);
}

VOID CIdleControl::LowPowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
    auto ctx = static_cast<LowPowerContext*>(context);
    PKEVENT done = ctx->done;
    ExFreePool(ctx);
    KeSetEvent(done, IO_NO_INCREMENT, FALSE);
}

VOID CIdleControl::PowerUpDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
    KeSetEvent(&static_cast<CIdleControl*>(context)->m_PowerUpDone, IO_NO_INCREMENT, FALSE);
}

// ------------------------------------------------------------ gate, shutdown

NTSTATUS CIdleControl::PreprocessIrp(PIRP) {
    PAGED_CODE();
    InterlockedIncrement(m_Transport->InFlightCounter());  // no longer idle: the cancel acts
    CancelIdleRequest();
    LARGE_INTEGER timeout;
    timeout.QuadPart = kGateWait;
    KeWaitForSingleObject(&m_IdleRequestDone, Executive, KernelMode, FALSE, &timeout);
    timeout.QuadPart = kGateWait;
    KeWaitForSingleObject(&m_PowerUpDone, Executive, KernelMode, FALSE, &timeout);
    InterlockedDecrement(m_Transport->InFlightCounter());
    return STATUS_SUCCESS;  // the IRP goes on whether or not the waits timed out
}

void CIdleControl::Shutdown() {
    PAGED_CODE();
    KIRQL irql;
    KeAcquireSpinLock(&m_IdleSpinLock, &irql);
    m_Stopping = TRUE;  // no re-arm, no new check, no new request
    KeReleaseSpinLock(&m_IdleSpinLock, irql);
    KeCancelTimer(&m_IdleTimer);
    KeFlushQueuedDpcs();  // a DPC of an earlier expiry has run (and counted its check)
    KeWaitForSingleObject(&m_IdleCheckDone, Executive, KernelMode, FALSE, NULL);
    CancelIdleIrp(TRUE);
    KeWaitForSingleObject(&m_IdleRequestDone, Executive, KernelMode, FALSE, NULL);
    KeWaitForSingleObject(&m_PowerUpDone, Executive, KernelMode, FALSE, NULL);
}

// ------------------------------------------------------------ registry

NTSTATUS CIdleControl::ReadDeviceParameter(PCWSTR valueName, ULONG size, PULONG out) {
    PAGED_CODE();
    PWCHAR ids = NULL;
    PKEY_BASIC_INFORMATION instance = NULL;
    NTSTATUS status = QueryHardwareIds(&ids);
    if (NT_SUCCESS(status)) status = QueryInstanceName(&instance);
    if (NT_SUCCESS(status)) {
        // The first ID ends at a ',' if it has one; the list goes on after it.
        PWCHAR second = ids + std::char_traits<WCHAR>::length(ids) + 1;
        for (PWCHAR c = ids; *c != 0; ++c)
            if (*c == u',') *c = 0;
        status = STATUS_OBJECT_NAME_NOT_FOUND;
        const PCWSTR roots[] = {u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum", u"\\Registry\\Machine\\Enum"};
        for (PWCHAR id = ids; *id != 0 && !NT_SUCCESS(status);
             id = id == ids ? second : id + std::char_traits<WCHAR>::length(id) + 1) {
            for (PCWSTR root : roots) {  // the older root only when the key is not under the first
                WCHAR path[512];
                if (!NT_SUCCESS(RtlStringCbPrintfW(path, sizeof(path), u"%s\\%s\\%s\\%s", root, id, instance->Name,
                                                   u"Device Parameters")))
                    continue;
                status = ReadFromKey(path, valueName, size, out);
                if (status != STATUS_OBJECT_PATH_NOT_FOUND) break;
                status = STATUS_OBJECT_NAME_NOT_FOUND;
            }
        }
    }
    if (instance != NULL) ExFreePoolWithTag(instance, kUsbTransportTag);
    if (ids != NULL) ExFreePoolWithTag(ids, kUsbTransportTag);
    return status;
}

// The PDO's hardware IDs (REG_MULTI_SZ, with two spare terminators), in
// PagedPool; the caller frees them.
NTSTATUS CIdleControl::QueryHardwareIds(PWCHAR* ids) {
    PDEVICE_OBJECT pdo = m_Owner->IdlePdo();
    ULONG length = 0;
    IoGetDeviceProperty(pdo, DevicePropertyHardwareID, 0, NULL, &length);
    *ids = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, length + 2 * sizeof(WCHAR), kUsbTransportTag));
    if (*ids == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(*ids, 0, length + 2 * sizeof(WCHAR));
    return IoGetDeviceProperty(pdo, DevicePropertyHardwareID, length, *ids, &length);
}

// The instance name: the name of the device's hardware-profile key, zero
// terminated, in PagedPool; the caller frees it.
NTSTATUS CIdleControl::QueryInstanceName(PKEY_BASIC_INFORMATION* instance) {
    HANDLE key = NULL;
    NTSTATUS status = IoOpenDeviceRegistryKey(m_Owner->IdlePdo(),
                                              PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE,
                                              KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status)) return status;
    ULONG needed = 0;
    ZwQueryKey(key, KeyBasicInformation, NULL, 0, &needed);
    *instance = static_cast<PKEY_BASIC_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, needed + sizeof(WCHAR), kUsbTransportTag));
    status = *instance == NULL ? STATUS_INSUFFICIENT_RESOURCES
                               : ZwQueryKey(key, KeyBasicInformation, *instance, needed, &needed);
    if (NT_SUCCESS(status)) (*instance)->Name[(*instance)->NameLength / sizeof(WCHAR)] = 0;
    ZwClose(key);
    return status;
}

// STATUS_OBJECT_PATH_NOT_FOUND when the key does not open; the value's
// status otherwise.
NTSTATUS CIdleControl::ReadFromKey(PCWSTR path, PCWSTR valueName, ULONG size, PULONG out) {
    UNICODE_STRING keyName, name;
    RtlInitUnicodeString(&keyName, path);
    RtlInitUnicodeString(&name, valueName);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE key;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return STATUS_OBJECT_PATH_NOT_FOUND;
    ULONG needed = 0;
    NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, NULL, 0, &needed);
    PKEY_VALUE_PARTIAL_INFORMATION value = NULL;
    if (status == STATUS_BUFFER_TOO_SMALL || status == STATUS_BUFFER_OVERFLOW) {
        value = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, needed, kUsbTransportTag));
        status = value == NULL ? STATUS_INSUFFICIENT_RESOURCES
                               : ZwQueryValueKey(key, &name, KeyValuePartialInformation, value, needed, &needed);
    }
    if (NT_SUCCESS(status)) {
        if (value->DataLength <= sizeof(ULONG) && value->DataLength <= size)
            std::memcpy(out, value->Data, value->DataLength);
        else
            status = STATUS_OBJECT_NAME_NOT_FOUND;  // too long to be this value
    }
    if (value != NULL) ExFreePoolWithTag(value, kUsbTransportTag);
    ZwClose(key);
    return status;
}

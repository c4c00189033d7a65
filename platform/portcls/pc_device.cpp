// The adapter driver's side of the port class: driver and device set-up,
// and PcDispatchIrp for PnP, power, create, close, cleanup and device
// control on the FDO.
#include "nt/rtl.h"
#include "nt/ke.h"
#include "platform/portcls/pc_port.h"

namespace pcls {

namespace {

// The port class's part of the device extension.
struct ExtensionHeader {
    ULONG magic;
    PcDevice* device;
};
static_assert(sizeof(ExtensionHeader) <= PORT_CLASS_DEVICE_EXTENSION_SIZE,
              "the port class's part fits its reserved size");
constexpr ULONG kExtensionMagic = MakePoolTag("PcDx");

ExtensionHeader* Header(PDEVICE_OBJECT fdo) {
    return static_cast<ExtensionHeader*>(fdo->DeviceExtension);
}

// ---- Sending an IRP down ------------------------------------------------

NTSTATUS SignalOnCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the IRP to the lower device and waits for it; the IRP comes back
// to this driver, which completes it.
NTSTATUS ForwardAndWait(PcDevice* device, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(device->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS PassDown(PcDevice* device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(device->lower, irp);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// ---- PnP ----------------------------------------------------------------

NTSTATUS StartDevice(PcDevice* device, PIRP irp) {
    NTSTATUS status = ForwardAndWait(device, irp);
    if (NT_SUCCESS(status)) {
        device->powerState = PowerDeviceD0;
        status = device->startDevice(device->fdo, irp, nullptr);
    }
    return Complete(irp, status);
}

NTSTATUS QueryCapabilities(PcDevice* device, PIRP irp) {
    NTSTATUS status = ForwardAndWait(device, irp);
    PADAPTERPOWERMANAGEMENT power = nullptr;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        power = device->power;
        if (power) power->AddRef();
    }
    if (power) {
        PDEVICE_CAPABILITIES caps =
            IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
        if (NT_SUCCESS(status) && caps) status = power->QueryDeviceCapabilities(caps);
        power->Release();
    }
    return Complete(irp, status);
}

NTSTATUS RemoveDevice(PcDevice* device, PIRP irp) {
    TeardownDevice(device);
    NTSTATUS status = PassDown(device, irp);
    PDEVICE_OBJECT fdo = device->fdo;
    ForgetDevice(device);
    Header(fdo)->magic = 0;
    Header(fdo)->device = nullptr;
    IoDetachDevice(device->lower);
    IoDeleteDevice(fdo);
    delete device;
    return status;
}

NTSTATUS DispatchPnp(PcDevice* device, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
        case IRP_MN_START_DEVICE: return StartDevice(device, irp);
        case IRP_MN_QUERY_CAPABILITIES: return QueryCapabilities(device, irp);
        case IRP_MN_STOP_DEVICE: TeardownDevice(device); return PassDown(device, irp);
        case IRP_MN_REMOVE_DEVICE: return RemoveDevice(device, irp);
        default: return PassDown(device, irp);
    }
}

// ---- Power --------------------------------------------------------------

PADAPTERPOWERMANAGEMENT ReferencePower(PcDevice* device) {
    std::lock_guard<std::mutex> guard(device->lock);
    if (device->power) device->power->AddRef();
    return device->power;
}

void NotifyMiniports(PcDevice* device, POWER_STATE state) {
    for (PMINIPORT miniport : RegisteredMiniports(device)) {
        PPOWERNOTIFY notify = nullptr;
        if (NT_SUCCESS(
                miniport->QueryInterface(IID_IPowerNotify, reinterpret_cast<PVOID*>(&notify))) &&
            notify) {
            notify->PowerChangeNotify(state);
            notify->Release();
        }
        miniport->Release();
    }
}

void AdapterPowerChange(PcDevice* device, POWER_STATE state) {
    if (PADAPTERPOWERMANAGEMENT power = ReferencePower(device)) {
        power->PowerChangeState(state);
        power->Release();
    }
}

// A device power change: leaving for a deeper state tells the miniports,
// then the adapter, then the device below; returning towards D0 goes the
// other way round, once the device below is back.
NTSTATUS SetDevicePower(PcDevice* device, PIRP irp, POWER_STATE state) {
    if (state.DeviceState == device->powerState) {
        PoStartNextPowerIrp(irp);
        return PassDown(device, irp);
    }
    if (state.DeviceState > device->powerState) {
        NotifyMiniports(device, state);
        AdapterPowerChange(device, state);
        device->powerState = state.DeviceState;
        PoSetPowerState(device->fdo, DevicePowerState, state);
        PoStartNextPowerIrp(irp);
        return PassDown(device, irp);
    }
    NTSTATUS status = ForwardAndWait(device, irp);
    if (NT_SUCCESS(status)) {
        AdapterPowerChange(device, state);
        NotifyMiniports(device, state);
        device->powerState = state.DeviceState;
        PoSetPowerState(device->fdo, DevicePowerState, state);
    }
    PoStartNextPowerIrp(irp);
    return Complete(irp, status);
}

NTSTATUS QueryDevicePower(PcDevice* device, PIRP irp, POWER_STATE state) {
    NTSTATUS status = STATUS_SUCCESS;
    if (PADAPTERPOWERMANAGEMENT power = ReferencePower(device)) {
        status = power->QueryPowerChangeState(state);
        power->Release();
    }
    PoStartNextPowerIrp(irp);
    if (!NT_SUCCESS(status)) return Complete(irp, status);
    return PassDown(device, irp);
}

NTSTATUS DispatchPower(PcDevice* device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.Power.Type == DevicePowerState) {
        POWER_STATE state = stack->Parameters.Power.State;
        bool valid = state.DeviceState >= PowerDeviceD0 && state.DeviceState <= PowerDeviceD3;
        if (stack->MinorFunction == IRP_MN_SET_POWER && valid)
            return SetDevicePower(device, irp, state);
        if (stack->MinorFunction == IRP_MN_QUERY_POWER && valid)
            return QueryDevicePower(device, irp, state);
    }
    PoStartNextPowerIrp(irp);
    return PassDown(device, irp);
}

// ---- Create, close, cleanup, device control -----------------------------

NTSTATUS DispatchClose(PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (PcFilter* filter = FilterFromFile(file)) CloseFilter(filter);
    return Complete(irp, STATUS_SUCCESS);
}

}  // namespace

PcDevice* DeviceFromFdo(PVOID fdo) {
    if (fdo == nullptr) return nullptr;
    auto* device = static_cast<PDEVICE_OBJECT>(fdo);
    if (device->DeviceExtension == nullptr) return nullptr;
    ExtensionHeader* header = Header(device);
    return header->magic == kExtensionMagic ? header->device : nullptr;
}

}  // namespace pcls

namespace {
// Devices are gone by the time a driver unloads (REMOVE deleted them).
VOID UnloadAdapterDriver(PDRIVER_OBJECT) {}
}  // namespace

NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                   PDRIVER_ADD_DEVICE AddDevice) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(RegistryPathName);
    NTSTATUS status = pcls::CheckCall(sim::PcCall::InitializeAdapterDriver);
    if (!NT_SUCCESS(status)) return status;
    if (DriverObject == nullptr || AddDevice == nullptr) return STATUS_INVALID_PARAMETER;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    if (DriverObject->DriverUnload == nullptr) DriverObject->DriverUnload = UnloadAdapterDriver;
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        DriverObject->MajorFunction[i] = PcDispatchIrp;
    return STATUS_SUCCESS;
}

NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                            PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects,
                            ULONG DeviceExtensionSize) {
    PAGED_CODE();
    NTSTATUS status = pcls::CheckCall(sim::PcCall::AddAdapterDevice);
    if (!NT_SUCCESS(status)) return status;
    if (DriverObject == nullptr || PhysicalDeviceObject == nullptr || StartDevice == nullptr ||
        DeviceExtensionSize < PORT_CLASS_DEVICE_EXTENSION_SIZE)
        return STATUS_INVALID_PARAMETER;
    PDEVICE_OBJECT fdo = nullptr;
    status = IoCreateDevice(DriverObject, DeviceExtensionSize, nullptr, FILE_DEVICE_KS,
                            FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (lower == nullptr) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    auto* device = new pcls::PcDevice();
    device->fdo = fdo;
    device->pdo = PhysicalDeviceObject;
    device->lower = lower;
    device->startDevice = StartDevice;
    device->maxObjects = MaxObjects;
    auto* header = static_cast<pcls::ExtensionHeader*>(fdo->DeviceExtension);
    header->magic = pcls::kExtensionMagic;
    header->device = device;
    fdo->StackSize = CCHAR(lower->StackSize + 1);
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS PcCompleteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return pcls::Complete(Irp, Status);
}

NTSTATUS PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    pcls::PcDevice* device = pcls::DeviceFromFdo(DeviceObject);
    if (device == nullptr) return pcls::Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
        case IRP_MJ_PNP: return pcls::DispatchPnp(device, Irp);
        case IRP_MJ_POWER: return pcls::DispatchPower(device, Irp);
        case IRP_MJ_CREATE: return pcls::Complete(Irp, pcls::OpenFilter(device, Irp));
        case IRP_MJ_CLOSE: return pcls::DispatchClose(Irp);
        case IRP_MJ_CLEANUP: return pcls::Complete(Irp, STATUS_SUCCESS);
        case IRP_MJ_DEVICE_CONTROL: {
            NTSTATUS status = pcls::FilterDeviceControl(Irp);
            if (status == STATUS_PENDING) return status;
            return pcls::Complete(Irp, status);
        }
        case IRP_MJ_SYSTEM_CONTROL: return pcls::PassDown(device, Irp);
        default: return pcls::Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

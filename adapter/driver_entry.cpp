// DriverEntry, AddDevice and the PnP, create, close and device-control
// dispatch routines.
#include "adapter/driver_entry.h"

#include "adapter/audio_hal.h"
#include "adapter/private_interfaces.h"
#include "nt/dbg.h"
#include "nt/rtl.h"
#include "stream/engine/stream_engine.h"

namespace {

UNICODE_STRING g_AsioReference;
UNICODE_STRING g_EnumReference;
UNICODE_STRING g_AsioFileName;

VOID InitializeInterfaceStrings() {
    RtlInitUnicodeString(&g_AsioReference, ASIO_INTERFACE_REFERENCE);
    RtlInitUnicodeString(&g_EnumReference, ENUM_INTERFACE_REFERENCE);
    RtlInitUnicodeString(&g_AsioFileName, ASIO_INTERFACE_FILE_NAME);
}

VOID DisableInterfaces(PDEVICE_CONTEXT context) {
    if (context->AsioInterfaceEnabled) {
        IoSetDeviceInterfaceState(&context->AsioInterfaceName, FALSE);
        context->AsioInterfaceEnabled = FALSE;
    }
    if (context->EnumInterfaceEnabled) {
        IoSetDeviceInterfaceState(&context->EnumInterfaceName, FALSE);
        context->EnumInterfaceEnabled = FALSE;
    }
}

VOID FreeInterfaceNames(PDEVICE_CONTEXT context) {
    if (context->AsioInterfaceRegistered) {
        RtlFreeUnicodeString(&context->AsioInterfaceName);
        context->AsioInterfaceRegistered = FALSE;
    }
    if (context->EnumInterfaceRegistered) {
        RtlFreeUnicodeString(&context->EnumInterfaceName);
        context->EnumInterfaceRegistered = FALSE;
    }
}

// Unregisters each engine's wave subdevice; the first failure ends the
// loop (the rest stay until the adapter is destroyed).
VOID RemoveMiniports(IAudioHal* audioHal, PDEVICE_OBJECT fdo, bool report) {
    PUNKNOWN unknown = NULL;
    if (!NT_SUCCESS(audioHal->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(&unknown))) || !unknown)
        return;
    ULONG count = audioHal->GetStreamEngineCount();
    for (ULONG i = 0; i < count; ++i) {
        IStreamEngine* engine = NULL;
        if (!NT_SUCCESS(audioHal->GetStreamEngine(i, &engine)) || engine == NULL) break;
        if (!NT_SUCCESS(engine->RemoveMiniport(fdo))) {
            if (report) DbgPrint("Remove Miniport Failed StreamEngine ulIdx = %d\n", (int)i);
            break;
        }
    }
    unknown->Release();
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT fdo, PDEVICE_CONTEXT context, PIRP irp) {
    DisableInterfaces(context);
    FreeInterfaceNames(context);
    if (context->AudioHal != NULL) {
        context->AudioHal->Stop();
        RemoveMiniports(context->AudioHal, fdo, true);
    }
    // The port class passes the IRP down and deletes the FDO; the context
    // stays readable until this routine returns.
    NTSTATUS status = PcDispatchIrp(fdo, irp);
    // The FDO is gone whatever the status: nothing may stay referenced.
    if (context->LowerDevice != NULL) {
        ObDereferenceObject(context->LowerDevice);
        context->LowerDevice = NULL;
    }
    if (context->AudioHal != NULL) {
        IAudioHal* audioHal = context->AudioHal;
        context->AudioHal = NULL;
        audioHal->Release();
    }
    return status;
}

NTSTATUS SurpriseRemoval(PDEVICE_OBJECT fdo, PDEVICE_CONTEXT context, PIRP irp) {
    if (context->AudioHal != NULL) {
        context->AudioHal->Stop();
        RemoveMiniports(context->AudioHal, fdo, false);
    }
    NTSTATUS status = PcDispatchIrp(fdo, irp);
    // The link strings stay until the removal that follows.
    DisableInterfaces(context);
    return status;
}

// Create and close of an ASIO handle reach the adapter's IAsioDevice;
// every failure is STATUS_UNSUCCESSFUL. Information is left alone.
NTSTATUS DispatchCreateOrClose(PDEVICE_OBJECT fdo, PIRP irp, bool create) {
    PDEVICE_CONTEXT context = GetDeviceContext(fdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    IAudioHal* audioHal = context->AudioHal;
    if (audioHal == NULL || stack == NULL) return PcDispatchIrp(fdo, irp);
    audioHal->PreprocessIrp(irp);
    if (!IsAsioFileObject(stack->FileObject)) return PcDispatchIrp(fdo, irp);

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    // A device without an enabled ASIO interface takes no ASIO clients.
    if (!create || context->AsioInterfaceEnabled) {
        IAsioDevice* asio = NULL;
        if (NT_SUCCESS(audioHal->QueryInterface(IID_IAsioDevice, reinterpret_cast<PVOID*>(&asio))) && asio) {
            NTSTATUS result = create ? asio->AsioOpen(stack->FileObject) : asio->AsioClose(stack->FileObject);
            status = NT_SUCCESS(result) ? result : STATUS_UNSUCCESSFUL;
            asio->Release();
        }
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The last handle of an ASIO file object goes away, in the process that
// used it: its buffers are disposed there, so that their mappings are undone
// where they were made (IRP_MJ_CLOSE may run in another process, after the
// owner has ended). The result is ignored: a handle without buffers has
// none to dispose.
NTSTATUS DispatchCleanup(PDEVICE_OBJECT fdo, PIRP irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(fdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    IAudioHal* audioHal = context->AudioHal;
    if (audioHal == NULL || stack == NULL) return PcDispatchIrp(fdo, irp);
    audioHal->PreprocessIrp(irp);
    if (!IsAsioFileObject(stack->FileObject)) return PcDispatchIrp(fdo, irp);
    IAsioDevice* asio = NULL;
    if (NT_SUCCESS(audioHal->QueryInterface(IID_IAsioDevice, reinterpret_cast<PVOID*>(&asio))) && asio) {
        asio->AsioDisposeBuffers(stack->FileObject);
        asio->Release();
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

}  // namespace

VOID TearDownAdapter(PDEVICE_CONTEXT context, PDEVICE_OBJECT fdo) {
    DisableInterfaces(context);
    IAudioHal* audioHal = context->AudioHal;
    if (audioHal == NULL) return;
    audioHal->Stop();
    RemoveMiniports(audioHal, fdo, false);
    context->AudioHal = NULL;
    audioHal->Release();
}

BOOLEAN IsAsioFileObject(PFILE_OBJECT file) {
    if (file == NULL || file->FileName.Buffer == NULL) return FALSE;
    return RtlEqualUnicodeString(&file->FileName, &g_AsioFileName, TRUE);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    InitializeInterfaceStrings();
    if (!RtlIsNtDdiVersionAvailable(NTDDI_WINXP)) return STATUS_UNSUCCESSFUL;
    NTSTATUS status = PcInitializeAdapterDriver(driverObject, registryPath, AddDevice);
    if (NT_SUCCESS(status)) {
        driverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
        driverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
        driverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
        driverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
        driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    }
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo) {
    PAGED_CODE();
    PDEVICE_OBJECT lower = IoGetAttachedDeviceReference(pdo);
    // The interfaces are registered on the PDO before the FDO exists, so
    // that a failure has no FDO to take back.
    UNICODE_STRING enumName = {}, asioName = {};
    BOOLEAN enumRegistered = NT_SUCCESS(
        IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_ENUM_PRIVATE, &g_EnumReference, &enumName));
    NTSTATUS status = IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_ASIO_PRIVATE, &g_AsioReference, &asioName);
    if (NT_SUCCESS(status))
        status = PcAddAdapterDevice(driverObject, pdo, StartDevice, 20, (ULONG)DEVICE_EXTENSION_SIZE);
    if (!NT_SUCCESS(status)) {
        if (asioName.Buffer != NULL) RtlFreeUnicodeString(&asioName);
        if (enumName.Buffer != NULL) RtlFreeUnicodeString(&enumName);
        ObDereferenceObject(lower);
        return status;
    }
    PDEVICE_OBJECT fdo = IoGetAttachedDeviceReference(pdo);
    ObDereferenceObject(fdo);
    PDEVICE_CONTEXT context = GetDeviceContext(fdo);
    RtlZeroMemory(context, sizeof(*context));
    context->Fdo = fdo;
    context->LowerDevice = lower;
    context->Pdo = pdo;
    KeInitializeMutex(&context->MiniportMutex, 0);
    context->EnumInterfaceRegistered = enumRegistered;
    if (enumRegistered) context->EnumInterfaceName = enumName;
    context->AsioInterfaceRegistered = TRUE;
    context->AsioInterfaceName = asioName;
    return status;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(fdo);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor != IRP_MN_START_DEVICE && context->AudioHal != NULL) context->AudioHal->PreprocessIrp(irp);
    switch (minor) {
        case IRP_MN_REMOVE_DEVICE: return RemoveDevice(fdo, context, irp);
        case IRP_MN_SURPRISE_REMOVAL: return SurpriseRemoval(fdo, context, irp);
        case IRP_MN_STOP_DEVICE: TearDownAdapter(context, fdo); return PcDispatchIrp(fdo, irp);
        default: return PcDispatchIrp(fdo, irp);
    }
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT fdo, PIRP irp) { return DispatchCreateOrClose(fdo, irp, true); }

NTSTATUS DispatchClose(PDEVICE_OBJECT fdo, PIRP irp) { return DispatchCreateOrClose(fdo, irp, false); }

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT fdo, PIRP irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(fdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    IAudioHal* audioHal = context->AudioHal;
    if (audioHal == NULL || stack == NULL) return PcDispatchIrp(fdo, irp);
    audioHal->PreprocessIrp(irp);
    if (!IsAsioFileObject(stack->FileObject)) return PcDispatchIrp(fdo, irp);
    return DispatchAsioControl(audioHal, irp);
}

// CUac1Hal: factory, life, endpoint capabilities, start and stop with the
// status pipe, output-type changes and power changes.
#include "adapter/model/uac1_hal.h"

#include "adapter/base/start_log.h"
#include "adapter/device_context.h"
#include "adapter/model/uac1_products.h"
#include "adapter/usb/usb_audio_device.h"
#include "nt/ps.h"
#include "nt/rtl.h"
#include "nt/zw.h"
#include "stream/engine/stream_engine.h"
#include "topology/interface_ref.h"
#include "usb/usbd.h"

namespace {

// Tag of the Audio Control interface's information and of the
// select-interface request.
constexpr ULONG kUrbTag = MakePoolTag("URB ");
// The status pipe: interrupt IN, two-byte status words.
constexpr USHORT kStatusPacketSize = 2;
// Priority of the status thread.
constexpr KPRIORITY kStatusThreadPriority = 24;

// The pipe of info that carries UAC 1.0 status words, or UAC_NO_STATUS_PIPE.
// The pipe count is bounded by the bytes the copy holds.
UCHAR FindStatusPipe(const USBD_INTERFACE_INFORMATION* info) {
    const ULONG header = (ULONG)offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    const ULONG room = info->Length > header ? (info->Length - header) / sizeof(USBD_PIPE_INFORMATION) : 0;
    const ULONG pipes = info->NumberOfPipes < room ? info->NumberOfPipes : room;
    for (ULONG i = 0; i < pipes && i < UAC_NO_STATUS_PIPE; ++i) {
        const USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
        if ((pipe.EndpointAddress & 0x80) != 0 && pipe.PipeType == UsbdPipeTypeInterrupt &&
            pipe.MaximumPacketSize == kStatusPacketSize)
            return (UCHAR)i;
    }
    return UAC_NO_STATUS_PIPE;
}

}  // namespace

NTSTATUS CreateUac1Hal(PUNKNOWN* model, PUNKNOWN outer, USHORT vendorId, USHORT productId, UCHAR chipVariant) {
    UNREFERENCED_PARAMETER(chipVariant);
    return CreateUnknown<CUac1Hal>(model, outer, NonPagedPoolNx, UAC1_MODEL_TAG, vendorId, productId);
}

CUac1Hal::CUac1Hal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId)
    : CUacHal(outerUnknown, vendorId, productId), m_PoolTag(UAC1_MODEL_TAG) {}

CUac1Hal::~CUac1Hal() {
    CUac1Hal::Stop();
    if (AcInterfaceInfo != NULL) {
        ExFreePoolWithTag(AcInterfaceInfo, kUrbTag);
        AcInterfaceInfo = NULL;
    }
}

NTSTATUS CUac1Hal::Init(PRESOURCELIST resources, PDEVICE_OBJECT fdo, PDEVICE_OBJECT lowerDevice,
                        PDEVICE_OBJECT pdo) {
    if (Entities == NULL) {
        Entities = new (NonPagedPoolNx, m_PoolTag) CList();
        if (Entities == NULL) return LogStartFailure("the model's entity list", STATUS_INSUFFICIENT_RESOURCES);
    }
    return CAudioHal::Init(resources, fdo, lowerDevice, pdo);
}

NTSTATUS CUac1Hal::GetEndpointCapabilities(BOOLEAN isCapture, ULONG endpointType, ENDPOINT_CAPS* caps) {
    if (caps == NULL) return STATUS_UNSUCCESSFUL;
    RtlZeroMemory(caps, sizeof(*caps));
    const UAC1_PRODUCT_ROW* row = LookupUac1Product(VendorId, ProductId);
    if (row->Flags & UAC1_PRODUCT_MIC_CAPTURE_BIT) {
        caps->FeatureMask = EndpointCaps.FeatureMask;
        if (isCapture && endpointType == ENDPOINT_MIC) caps->FeatureMask |= UAC1_CAPTURE_MIC_FEATURE;
        caps->Flags = EndpointCaps.Flags;
    } else if (endpointType != ENDPOINT_SPDIF) {
        caps->FeatureMask = EndpointCaps.FeatureMask;
        caps->ExtendedCaps = EndpointCaps.ExtendedCaps;
        caps->Flags = EndpointCaps.Flags;
    }
    return STATUS_SUCCESS;
}

// ---- start and stop -------------------------------------------------------------

NTSTATUS CUac1Hal::Start() {
    if (StatusPipeIndex != UAC_NO_STATUS_PIPE) {
        // A status thread still running (Start twice) is kept; one that
        // ended by itself after a failed transfer is reaped, and this Start
        // follows the status pipe again with a new one.
        if (KeReadStateEvent(&ThreadExitedEvent) == 0) return CAudioHal::Start();
        EndStatusThread();
    }
    InterfaceRef<IUsbAudioDevice> usb(GetOuterUnknown(), IID_IUsbAudioDevice);
    if (usb.get() == NULL) return usb.status();
    NTSTATUS status = SelectControlInterface(usb.get());
    if (!NT_SUCCESS(status))
        return LogInterfaceStartFailure(AcInterfaceNumber, "selecting the Audio Control interface", status);
    if (AcInterfaceInfo != NULL) StatusPipeIndex = FindStatusPipe(AcInterfaceInfo);
    if (StatusPipeIndex == UAC_NO_STATUS_PIPE) {
        if (AcInterfaceInfo != NULL) ExFreePoolWithTag(AcInterfaceInfo, kUrbTag);
        AcInterfaceInfo = NULL;
        return CAudioHal::Start();
    }
    status = StartStatusThread();
    if (!NT_SUCCESS(status)) {
        // Nothing runs that Stop would have to wait for.
        ExFreePoolWithTag(AcInterfaceInfo, kUrbTag);
        AcInterfaceInfo = NULL;
        StatusPipeIndex = UAC_NO_STATUS_PIPE;
        return LogInterfaceStartFailure(AcInterfaceNumber, "starting the status thread", status);
    }
    return CAudioHal::Start();
}

// SELECT_INTERFACE of the Audio Control interface, alternate setting 0,
// and a copy of the answer in AcInterfaceInfo. Without the interface, an
// endpoint or memory for the request, no copy is made and that is no error.
NTSTATUS CUac1Hal::SelectControlInterface(IUsbAudioDevice* usb) {
    PUSB_CONFIGURATION_DESCRIPTOR configuration = usb->GetConfigurationDescriptor();
    PUSB_INTERFACE_DESCRIPTOR control =
        configuration == NULL ? NULL
                              : USBD_ParseConfigurationDescriptorEx(configuration, configuration, AcInterfaceNumber, 0,
                                                                    USB_DEVICE_CLASS_AUDIO,
                                                                    USB_AUDIO_SUBCLASS_AUDIOCONTROL, -1);
    if (control == NULL || control->bNumEndpoints == 0) return STATUS_SUCCESS;
    const ULONG length = GET_SELECT_INTERFACE_REQUEST_SIZE(control->bNumEndpoints);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, length, kUrbTag));
    if (urb == NULL) return STATUS_SUCCESS;
    RtlZeroMemory(urb, length);
    UsbBuildSelectInterfaceRequest(urb, (USHORT)length, usb->GetConfigurationHandle(), AcInterfaceNumber, 0);
    NTSTATUS status = usb->SubmitUrbSync(urb);
    if (AcInterfaceInfo != NULL) ExFreePoolWithTag(AcInterfaceInfo, kUrbTag);
    AcInterfaceInfo = NULL;
    if (NT_SUCCESS(status)) {
        // The copy is the request's whole interface area; its Length never
        // claims more than that, whatever the stack answered.
        const ULONG room = length - (ULONG)offsetof(struct _URB_SELECT_INTERFACE, Interface);
        AcInterfaceInfo =
            static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(NonPagedPoolNx, room, kUrbTag));
        if (AcInterfaceInfo == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlCopyMemory(AcInterfaceInfo, &urb->UrbSelectInterface.Interface, room);
            if (AcInterfaceInfo->Length > room) AcInterfaceInfo->Length = (USHORT)room;
        }
    }
    ExFreePoolWithTag(urb, kUrbTag);
    return status;
}

NTSTATUS CUac1Hal::StartStatusThread() { return StartModelThread(InterruptThreadStart, kStatusThreadPriority); }

NTSTATUS CUac1Hal::StartModelThread(PKSTART_ROUTINE start, KPRIORITY priority) {
    KeClearEvent(&StopEvent);
    KeClearEvent(&ThreadExitedEvent);
    HANDLE thread = NULL;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    NTSTATUS status =
        PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &attributes, NULL, NULL, start, this);
    if (!NT_SUCCESS(status)) return status;
    PVOID object = NULL;
    if (NT_SUCCESS(ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, NULL))) {
        StatusThread = static_cast<PKTHREAD>(object);
        KeSetPriorityThread(StatusThread, priority);
    }
    ZwClose(thread);
    return STATUS_SUCCESS;
}

// The units stop whatever their result: the status thread must end before
// the model may go, so a failing unit never leaves it running.
NTSTATUS CUac1Hal::Stop() {
    CAudioHal::Stop();
    if (StatusPipeIndex != UAC_NO_STATUS_PIPE) EndStatusThread();
    return STATUS_SUCCESS;
}

// Asks the status thread to end, waits until it has (at once when it ended
// by itself), and releases what it used. Never with ModelLock held: the
// thread may be waiting for it.
VOID CUac1Hal::EndStatusThread() {
    KeSetEvent(&StopEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&ThreadExitedEvent, Executive, KernelMode, FALSE, NULL);
    if (StatusThread != NULL) {
        // The thread object is signalled once the thread has left the model's code.
        KeWaitForSingleObject(StatusThread, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(StatusThread);
        StatusThread = NULL;
    }
    if (AcInterfaceInfo != NULL) ExFreePoolWithTag(AcInterfaceInfo, kUrbTag);
    AcInterfaceInfo = NULL;
    StatusPipeIndex = UAC_NO_STATUS_PIPE;
    KeClearEvent(&StopEvent);
    KeClearEvent(&ThreadExitedEvent);
}

// ---- output-type changes ------------------------------------------------------------

NTSTATUS CUac1Hal::UpdateSubdevices(ULONG unitId) {
    ModelLock.Lock();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const ULONG count = GetStreamEngineCount();
    for (ULONG i = 0; i < count; ++i) {
        IStreamEngine* engine = NULL;
        status = GetStreamEngine(i, &engine);
        if (!NT_SUCCESS(status)) break;
        if (!HasPendingEndpointChange(engine)) continue;
        auto* name = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, ENDPOINT_NAME_CCH * sizeof(WCHAR), HAL_TEMP_TAG));
        if (name == NULL) {
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        status = ReinstallSubdevice(engine, name, unitId);
        ExFreePoolWithTag(name, HAL_TEMP_TAG);
        if (!NT_SUCCESS(status)) break;
    }
    ModelLock.Unlock();
    return status;
}

// The subdevice of an engine goes and comes back under the name of its new
// type: the number of the last subdevice of that type and direction named
// at start-up (the counters are not changed here). A type without a name
// is refused before anything is removed.
NTSTATUS CUac1Hal::ReinstallSubdevice(IStreamEngine* engine, PWSTR name, ULONG unitId) {
    const ULONG type = engine->GetEndpointType();
    if (type >= ENDPOINT_TYPE_COUNT) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = engine->RemoveMiniport(Fdo);
    if (!NT_SUCCESS(status)) return status;
    const BOOLEAN capture = engine->IsCapture() != 0;
    PDEVICE_CONTEXT context = GetDeviceContext(Fdo);
    const UCHAR counter = capture ? context->CaptureNameCounter[type] : context->RenderNameCounter[type];
    status = FormatEndpointName(name, capture, type, counter != 0 ? counter - 1u : 0u);
    if (NT_SUCCESS(status)) status = engine->SetName(name);
    if (NT_SUCCESS(status)) status = InstallRenamed(engine, unitId);
    return status;
}

NTSTATUS CUac1Hal::InstallRenamed(IStreamEngine* engine, ULONG unitId) {
    UNREFERENCED_PARAMETER(unitId);
    return engine->InstallMiniport(Fdo, NULL, AudioHal());
}

// ---- power ------------------------------------------------------------------------

VOID CUac1Hal::PowerChangeState(POWER_STATE newState) {
    // Read as a number: the caller's value need not be one of the states.
    ULONG state = 0;
    RtlCopyMemory(&state, &newState, sizeof(state));
    if (state == PowerState) return;
    if (state == PowerDeviceD0) {
        InitChip();
        ApplyUnits();
    } else if (state != PowerDeviceD1 && state != PowerDeviceD2 && state != PowerDeviceD3) {
        return;
    }
    PowerState = state;
    ModelLock.Lock();
    const ULONG count = GetStreamEngineCount();
    for (ULONG i = 0; i < count; ++i) {
        IStreamEngine* engine = NULL;
        if (!NT_SUCCESS(GetStreamEngine(i, &engine)) ||
            !NT_SUCCESS(engine->SetPowerState((DEVICE_POWER_STATE)state)))
            break;
        if (state == PowerDeviceD0) engine->InstallMiniport(Fdo, NULL, AudioHal());
    }
    ModelLock.Unlock();
    if (state == PowerDeviceD0)
        Start();
    else
        Stop();
}

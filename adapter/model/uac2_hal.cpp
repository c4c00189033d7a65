// CUac2Hal: factory, life, endpoint capabilities, start and stop with the
// interrupt pipe, and output-type changes.
#include "adapter/model/uac2_hal.h"

#include "adapter/base/start_log.h"
#include "adapter/device_context.h"
#include "adapter/endpoint_type.h"
#include "adapter/model/uac2_products.h"
#include "adapter/settings.h"
#include "adapter/usb/usb_audio_device.h"
#include "nt/ps.h"
#include "nt/rtl.h"
#include "nt/zw.h"
#include "stream/engine/stream_engine.h"
#include "topology/interface_ref.h"
#include "usb/usbd.h"

namespace {

constexpr ULONG kUrbTag = MakePoolTag("URB ");
// Interrupt data messages are six bytes.
constexpr USHORT kInterruptPacketSize = 6;
constexpr KPRIORITY kInterruptThreadPriority = 16;
// Name buffers of a re-registration: 102 bytes each.
constexpr ULONG kNameBytes = ENDPOINT_NAME_CCH * sizeof(WCHAR);
// Milliseconds to sleep after each re-registration (absent: none).
constexpr WCHAR kUpdateMiniportDelay[] = u"UpdateMiniportDelay";

// The interrupt pipe (IN, packet size 6) and the bulk IN pipe of the
// Audio Control interface; a second pipe of a kind already found ends the
// scan. The pipe count is bounded by the bytes the copy holds.
void FindPipes(const USBD_INTERFACE_INFORMATION* info, UCHAR* interruptPipe, UCHAR* bulkPipe) {
    const ULONG header = (ULONG)offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    const ULONG room = info->Length > header ? (info->Length - header) / sizeof(USBD_PIPE_INFORMATION) : 0;
    const ULONG pipes = info->NumberOfPipes < room ? info->NumberOfPipes : room;
    for (ULONG i = 0; i < pipes && i < UAC_NO_STATUS_PIPE; ++i) {
        const USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
        if ((pipe.EndpointAddress & 0x80) == 0) continue;
        UCHAR* slot = NULL;
        if (pipe.PipeType == UsbdPipeTypeInterrupt && pipe.MaximumPacketSize == kInterruptPacketSize)
            slot = interruptPipe;
        else if (pipe.PipeType == UsbdPipeTypeBulk)
            slot = bulkPipe;
        if (slot == NULL) continue;
        if (*slot != UAC_NO_STATUS_PIPE) return;
        *slot = (UCHAR)i;
    }
}

}  // namespace

NTSTATUS CreateUac2Hal(PUNKNOWN* model, PUNKNOWN outer, USHORT vendorId, USHORT productId, UCHAR chipVariant) {
    UNREFERENCED_PARAMETER(chipVariant);
    return CreateUnknown<CUac2Hal>(model, outer, NonPagedPoolNx, UAC2_MODEL_TAG, vendorId, productId);
}

CUac2Hal::CUac2Hal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId)
    : CUac1Hal(outerUnknown, vendorId, productId), BulkPipeIndex(UAC_NO_STATUS_PIPE) {
    m_PoolTag = UAC2_MODEL_TAG;
}

CUac2Hal::~CUac2Hal() {
    CUac2Hal::Stop();
    if (AcInterfaceInfo != NULL) {
        ExFreePoolWithTag(AcInterfaceInfo, kUrbTag);
        AcInterfaceInfo = NULL;
    }
}

NTSTATUS CUac2Hal::InitHardware() {
    const UAC2_PRODUCT_ROW* row = LookupUac2Product(VendorId, ProductId);
    RtlZeroMemory(&EndpointCaps, sizeof(EndpointCaps));
    EndpointCaps.FeatureMask = row->FeatureMask;
    EndpointCaps.Flags = row->EndpointFlags;
    NTSTATUS status = ParseAudioControlInterface();
    if (NT_SUCCESS(status)) status = ParseAudioStreamingInterfaces();
    return status;
}

NTSTATUS CUac2Hal::GetEndpointCapabilities(BOOLEAN isCapture, ULONG endpointType, ENDPOINT_CAPS* caps) {
    if (caps == NULL) return STATUS_UNSUCCESSFUL;
    ENDPOINT_CAPS stored = EndpointCaps;
    stored.ExtendedCaps = 0;
    Uac2EndpointCapabilities(VendorId, ProductId, isCapture, endpointType, stored, GetStreamEngineCount(), caps);
    return STATUS_SUCCESS;
}

// ---- start and stop -------------------------------------------------------------

NTSTATUS CUac2Hal::Start() {
    if (StatusPipeIndex != UAC_NO_STATUS_PIPE) {
        // A thread still running is kept; one that ended after a failed
        // transfer is reaped and this Start follows the pipes again.
        if (KeReadStateEvent(&ThreadExitedEvent) == 0) return STATUS_SUCCESS;
        EndInterruptThread();
    }
    InterfaceRef<IUsbAudioDevice> usb(GetOuterUnknown(), IID_IUsbAudioDevice);
    if (usb.get() == NULL) return usb.status();
    NTSTATUS status = SelectControlInterface(usb.get());
    if (!NT_SUCCESS(status))
        return LogInterfaceStartFailure(AcInterfaceNumber, "selecting the Audio Control interface", status);
    StatusPipeIndex = UAC_NO_STATUS_PIPE;
    BulkPipeIndex = UAC_NO_STATUS_PIPE;
    if (AcInterfaceInfo != NULL) FindPipes(AcInterfaceInfo, &StatusPipeIndex, &BulkPipeIndex);
    if (StatusPipeIndex == UAC_NO_STATUS_PIPE) {
        if (AcInterfaceInfo != NULL) ExFreePoolWithTag(AcInterfaceInfo, kUrbTag);
        AcInterfaceInfo = NULL;
        BulkPipeIndex = UAC_NO_STATUS_PIPE;
        return STATUS_SUCCESS;
    }
    status = StartInterruptThread();
    if (!NT_SUCCESS(status)) {
        // Nothing runs that Stop would have to wait for.
        ExFreePoolWithTag(AcInterfaceInfo, kUrbTag);
        AcInterfaceInfo = NULL;
        StatusPipeIndex = UAC_NO_STATUS_PIPE;
        BulkPipeIndex = UAC_NO_STATUS_PIPE;
    }
    return LogInterfaceStartFailure(AcInterfaceNumber, "starting the interrupt thread", status);
}

NTSTATUS CUac2Hal::StartInterruptThread() {
    return StartModelThread(InterruptThreadStart, kInterruptThreadPriority);
}

NTSTATUS CUac2Hal::Stop() {
    if (StatusPipeIndex != UAC_NO_STATUS_PIPE) EndInterruptThread();
    return STATUS_SUCCESS;
}

// The class 1.0 ending, which also forgets the bulk pipe. Never with
// ModelLock held: the thread may be waiting for it.
VOID CUac2Hal::EndInterruptThread() {
    EndStatusThread();
    BulkPipeIndex = UAC_NO_STATUS_PIPE;
}

// ---- output-type changes ------------------------------------------------------------

NTSTATUS CUac2Hal::UpdateSubdevices(ULONG unitId) {
    UNREFERENCED_PARAMETER(unitId);
    ModelLock.Lock();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const ULONG count = GetStreamEngineCount();
    for (ULONG i = 0; i < count; ++i) {
        IStreamEngine* engine = NULL;
        status = GetStreamEngine(i, &engine);
        if (!NT_SUCCESS(status)) break;
        if (!HasPendingEndpointChange(engine)) continue;
        auto* name = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, kNameBytes, UAC2_MODEL_TAG));
        auto* other = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, kNameBytes, UAC2_MODEL_TAG));
        status = name != NULL && other != NULL ? RenameSubdevice(engine, i, name, other) : STATUS_UNSUCCESSFUL;
        SleepUpdateDelay();
        if (name != NULL) ExFreePoolWithTag(name, UAC2_MODEL_TAG);
        if (other != NULL) ExFreePoolWithTag(other, UAC2_MODEL_TAG);
        if (!NT_SUCCESS(status)) break;
        status = engine->InstallMiniport(Fdo, NULL, AudioHal());
    }
    ModelLock.Unlock();
    return status;
}

// Removes the engine's subdevice and names it after its new type; a type
// without a name is refused before anything is removed.
NTSTATUS CUac2Hal::RenameSubdevice(IStreamEngine* engine, ULONG index, PWSTR name, PWSTR other) {
    UNREFERENCED_PARAMETER(index);
    const ULONG type = engine->GetEndpointType();
    if (type >= ENDPOINT_TYPE_COUNT) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = engine->RemoveMiniport(Fdo);
    if (!NT_SUCCESS(status)) return status;
    const ULONG number = FreeSubdeviceNumber(engine, type, name, other);
    status = FormatEndpointName(name, engine->IsCapture() != 0, type, number);
    if (NT_SUCCESS(status)) status = engine->SetName(name);
    return status;
}

// The smallest number that no other engine of the same direction and type
// is named with: two subdevices never share a name, whatever was renamed
// before. At most one number per other engine is taken, so the search
// ends by the engine count.
ULONG CUac2Hal::FreeSubdeviceNumber(IStreamEngine* engine, ULONG type, PWSTR name, PWSTR other) {
    const BOOLEAN capture = engine->IsCapture() != 0;
    const ULONG count = GetStreamEngineCount();
    for (ULONG number = 0; number < count; ++number) {
        if (!NT_SUCCESS(FormatEndpointName(name, capture, type, number))) return number;
        bool held = false;
        for (ULONG k = 0; k < count && !held; ++k) {
            IStreamEngine* peer = NULL;
            if (!NT_SUCCESS(GetStreamEngine(k, &peer)) || peer == NULL || peer == engine ||
                (peer->IsCapture() != 0) != (capture != 0) || peer->GetEndpointType() != type)
                continue;
            RtlZeroMemory(other, kNameBytes);
            held = NT_SUCCESS(peer->GetName(other)) && wcscmp(name, other) == 0;
        }
        if (!held) return number;
    }
    return count;
}

// "UpdateMiniportDelay" in ms, as 100-ns units in 64 bits (no cap).
VOID CUac2Hal::SleepUpdateDelay() {
    ULONG delay = 0;
    if (!NT_SUCCESS(SettingsBinaryValue(Fdo, SETTINGS_OP_READ, &delay, sizeof(delay), kUpdateMiniportDelay))) return;
    LARGE_INTEGER interval;
    interval.QuadPart = -(LONGLONG)((ULONGLONG)delay * 10000ULL);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

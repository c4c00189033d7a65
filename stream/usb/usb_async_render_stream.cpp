// UAC 2.0 render stream: geometry and buffers sized for the highest rate
// feedback may ask, the clock and the selection, the feedback transfers and
// their decoding, the OUT transfers sized by the reported rate, the
// recovery, and the interface's class and vendor requests.
#include "stream/usb/usb_async_render_stream.h"

#include <cstring>

#include "nt/dbg.h"
#include "stream/usb/feedback_decode.h"
#include "stream/usb/usb_render_stream.h"
#include "stream/wave/wave_guids.h"

namespace {

// Most packets one isochronous URB may carry (the high-speed limit).
constexpr ULONG kMaxPacketsPerUrb = 1024;
// Feedback may move the rate this far from the format's.
constexpr ULONG kFeedbackWindowHz = 1000;

constexpr UCHAR kValidAltSettingsRequest = 0x01;  // CUR
constexpr USHORT kValidAltSettingsControl = 0x0200;
constexpr ULONG kValidAltSettingsAnswer = 5;  // bControlSize and 4 bitmap bytes
constexpr UCHAR kDsdVendorRequest = 0x10;
// Data transfers in flight after a recovery.
constexpr ULONG kTransfersAfterRecovery = 3;

ULONG UrbBytes(ULONG packets) {
    return sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * packets;
}

void PrepareIrp(PUSB_TRANSFER_CONTEXT ctx, PIO_COMPLETION_ROUTINE routine) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(ctx->Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = ctx->Urb;
    IoSetCompletionRoutine(ctx->Irp, routine, ctx, TRUE, TRUE, TRUE);
}

BOOLEAN DeviceVanished(NTSTATUS status) { return status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE; }

NTSTATUS ResetPipe(IUsbAudioDevice* device, USBD_PIPE_HANDLE pipe) {
    URB urb = {};
    UsbBuildPipeRequest(&urb, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipe);
    return device->SubmitUrbSync(&urb);
}

}  // namespace

// ---- class requests of the AudioStreaming interface -------------------------------

BOOLEAN Uac2AltSettingValid(PUNKNOWN unknown, ULONG interfaceNumber, UCHAR alternateSetting) {
    if (alternateSetting == 0) return TRUE;
    IUsbAudioDevice* device = NULL;
    if (unknown == NULL || !NT_SUCCESS(unknown->QueryInterface(IID_IUsbAudioDevice, (PVOID*)&device)) ||
        device == NULL)
        return FALSE;
    const ULONG urbBytes = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    auto* urb = (PURB)ExAllocatePoolWithTag(NonPagedPoolNx, urbBytes, UAC2_REQUEST_TAG);
    BOOLEAN valid = FALSE;
    if (urb) {
        UCHAR answer[kValidAltSettingsAnswer] = {};
        memset(urb, 0, urbBytes);
        UsbBuildVendorRequest(urb, URB_FUNCTION_CLASS_INTERFACE, (USHORT)urbBytes,
                              USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, kValidAltSettingsRequest,
                              kValidAltSettingsControl, (USHORT)interfaceNumber, answer, NULL, sizeof(answer), NULL);
        NTSTATUS status = device->SubmitUrbSync(urb);
        ULONG received = urb->UrbControlVendorClassRequest.TransferBufferLength;
        if (received > sizeof(answer)) received = sizeof(answer);
        // A device with a 1-byte bitmap answers 2 bytes: bits of bytes it
        // did not send count as clear.
        const ULONG byte = 1 + alternateSetting / 8u;
        valid = NT_SUCCESS(status) && USBD_SUCCESS(urb->UrbHeader.Status) && received >= 1 &&
                alternateSetting < 8u * answer[0] && byte < received &&
                (answer[byte] & (1u << (alternateSetting % 8u))) != 0;
        ExFreePoolWithTag(urb, UAC2_REQUEST_TAG);
    }
    device->Release();
    return valid;
}

BOOLEAN CUsbAsyncRenderStream::IsAltSettingValid(UCHAR alternateSetting, ULONG) {
    return Uac2AltSettingValid(m_pDevice, m_nInterfaceNumber, alternateSetting);
}

NTSTATUS CUsbAsyncRenderStream::SendDsdVendorRequest() {
    PCYCLIC_CLIENT client = m_pAcquiredClient;
    if (client == NULL || !(client->Format.SubFormat == KSDATAFORMAT_SUBTYPE_VENDOR_DSD)) return STATUS_SUCCESS;
    IUsbAudioDevice* device = AcquireUsbDevice();
    if (device == NULL) return STATUS_UNSUCCESSFUL;
    const ULONG urbBytes = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    auto* urb = (PURB)ExAllocatePoolWithTag(NonPagedPoolNx, urbBytes, UAC2_VENDOR_TAG);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (urb) {
        memset(urb, 0, urbBytes);
        UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_INTERFACE, (USHORT)urbBytes, USBD_TRANSFER_DIRECTION_OUT, 0,
                              kDsdVendorRequest, 0, (USHORT)m_nInterfaceNumber, NULL, NULL, 0, NULL);
        status = device->SubmitUrbSync(urb);
        ExFreePoolWithTag(urb, UAC2_VENDOR_TAG);
    }
    device->Release();
    return status;
}

// ---- construction, geometry, Open's blocks ---------------------------------------

CUsbAsyncRenderStream::CUsbAsyncRenderStream(PUNKNOWN outer, ULONG interfaceNumber, ULONG terminalId,
                                             ULONG clockUnitId)
    : CCyclicControl(outer, interfaceNumber, terminalId), m_nClockUnitId(clockUnitId) {
    m_nFramesPerTransfer = 10;
    KeInitializeSpinLock(&m_FeedbackSlotLock);
}

CUsbAsyncRenderStream::~CUsbAsyncRenderStream() {
    StopWorker();
    // The base destructor frees only the data contexts.
    if (m_bLookasidesReady) FreeTransfers();
}

// Feedback packets per 1 ms frame of the setting's IN endpoint: at high
// speed a bInterval of 1 to 3 polls it 8, 4 or 2 times a frame.
ULONG CUsbAsyncRenderStream::FeedbackPollsPerFrame(UCHAR alternateSetting) {
    PUSB_ENDPOINT_DESCRIPTOR endpoint = FindLastInEndpoint(alternateSetting);
    if (!m_bHighSpeed || endpoint == NULL || endpoint->bInterval < 1 || endpoint->bInterval > 3) return 1;
    return 8u >> (endpoint->bInterval - 1);
}

// Packets follow the feedback rate up to R + 1000 Hz: a transfer of F
// frames then carries less than F x (R + 1000) / 1000 + 1 samples, and the
// buffer holds one sample more than the ceiling of that. Feedback transfers
// share the lookaside lists, so blocks and URBs fit the larger of both.
NTSTATUS CUsbAsyncRenderStream::ComputeGeometry(PCYCLIC_CLIENT client, UCHAR alternateSetting) {
    const WAVEFORMATEX& format = client->Format.Format;
    if (client->FramesPerTransfer == 0 || client->Transfers == 0 || client->Transfers > CYCLIC_TRANSFER_SLOTS ||
        format.nSamplesPerSec == 0 || format.nSamplesPerSec > 0x7FFFFFFF - kFeedbackWindowHz ||
        format.nBlockAlign == 0)
        return STATUS_INVALID_PARAMETER;
    const ULONG packetsPerFrame = GetPacketsPerFrame(alternateSetting);
    if (packetsPerFrame == 0) return STATUS_INVALID_PARAMETER;
    IUsbAudioDevice* device = AcquireUsbDevice();
    m_bHighSpeed = device ? device->IsHighSpeed() : FALSE;
    if (device) device->Release();
    const ULONG frames = client->FramesPerTransfer;
    const ULONG feedbackPerFrame = FeedbackPollsPerFrame(alternateSetting);
    const ULONGLONG dataPackets = (ULONGLONG)frames * packetsPerFrame;
    const ULONGLONG feedbackPackets = (ULONGLONG)frames * feedbackPerFrame;
    if (dataPackets > kMaxPacketsPerUrb || feedbackPackets > kMaxPacketsPerUrb) return STATUS_INVALID_PARAMETER;
    const ULONGLONG samples = ((ULONGLONG)frames * (format.nSamplesPerSec + kFeedbackWindowHz) + 999) / 1000 + 1;
    const ULONGLONG dataBytes = samples * format.nBlockAlign;
    const ULONGLONG feedbackBytes = feedbackPackets * FeedbackValueBytes(m_bHighSpeed);
    const ULONGLONG bufferBytes = dataBytes > feedbackBytes ? dataBytes : feedbackBytes;
    if (bufferBytes > 0x7FFFFFFF) return STATUS_INVALID_PARAMETER;
    m_nFramesPerTransfer = frames;
    m_nTransfers = client->Transfers;
    m_nPacketsPerFrame = packetsPerFrame;
    m_nFeedbackPacketsPerFrame = feedbackPerFrame;
    m_nSamplesPerPacket = format.nSamplesPerSec / (packetsPerFrame * 1000);
    m_nBlockAlign = format.nBlockAlign;
    m_nPacketsPerTransfer = (ULONG)dataPackets;
    m_nUrbBytes = UrbBytes((ULONG)(dataPackets > feedbackPackets ? dataPackets : feedbackPackets));
    m_nDataBytes = (ULONG)bufferBytes;
    m_nNominalRate = format.nSamplesPerSec;
    __atomic_store_n(&m_nFeedbackRate, (LONG)format.nSamplesPerSec, __ATOMIC_RELEASE);
    return STATUS_SUCCESS;
}

ULONG CUsbAsyncRenderStream::LargestPacketBytes(const WAVEFORMATEX& format, UCHAR alternateSetting) {
    const ULONG packetsPerFrame = GetPacketsPerFrame(alternateSetting);
    if (packetsPerFrame == 0) return 0;
    return RenderPacketSizes(format.nSamplesPerSec, packetsPerFrame).Largest * format.nBlockAlign;
}

// Run before the selection: the ten feedback contexts, then the clock.
NTSTATUS CUsbAsyncRenderStream::AllocateStreamBlocks() {
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < CYCLIC_TRANSFER_SLOTS && NT_SUCCESS(status); i++) {
        status = AllocateTransfer(&m_FreeFeedback[i]);
        if (NT_SUCCESS(status)) m_FreeFeedback[i]->Index = i;
    }
    if (!NT_SUCCESS(status)) return status;
    return SetClockSourceRate(m_nClockUnitId, m_nNominalRate);
}

NTSTATUS CUsbAsyncRenderStream::FreeTransfers() {
    CCyclicControl::FreeTransfers();
    RecycleSlots(&m_FeedbackSlotLock, m_FreeFeedback);
    return STATUS_SUCCESS;
}

// Feedback runs only when the setting's two pipes are one OUT data pipe
// and one IN pipe beside it.
NTSTATUS CUsbAsyncRenderStream::SelectAlternateSetting(UCHAR alternateSetting, PCYCLIC_CLIENT client) {
    m_bFeedback = FALSE;
    NTSTATUS status = SelectInterfaceWithoutRate(alternateSetting, client, FALSE);
    if (!NT_SUCCESS(status) || m_pInterfaceInfo == NULL || m_pInterfaceInfo->NumberOfPipes != 2) return status;
    ULONG inPipes = 0;
    for (ULONG i = 0; i < 2; i++) {
        if ((m_pInterfaceInfo->Pipes[i].EndpointAddress & 0x80) == 0) continue;
        m_FeedbackPipeIndex = (UCHAR)i;
        inPipes++;
    }
    m_bFeedback = inPipes == 1;
    return status;
}

// ---- feedback transfers ------------------------------------------------------------

PUSB_TRANSFER_CONTEXT CUsbAsyncRenderStream::ClaimFeedbackTransfer() {
    return ClaimSlot(&m_FeedbackSlotLock, m_FreeFeedback, m_BusyFeedback);
}

VOID CUsbAsyncRenderStream::ReturnFeedbackTransfer(PUSB_TRANSFER_CONTEXT context) {
    ReturnSlot(&m_FeedbackSlotLock, m_FreeFeedback, m_BusyFeedback, context);
}

// Under m_SubmitLock. One value per feedback packet, F x Pf packets; the
// buffer is zeroed so that a packet that brings nothing reads 0.
NTSTATUS CUsbAsyncRenderStream::SubmitFeedback(IUsbAudioDevice* device) {
    PUSB_TRANSFER_CONTEXT ctx = ClaimFeedbackTransfer();
    if (ctx == NULL) return STATUS_SUCCESS;
    const ULONG valueBytes = FeedbackValueBytes(m_bHighSpeed);
    const ULONG packets = m_nFramesPerTransfer * m_nFeedbackPacketsPerFrame;
    memset(ctx->Urb, 0, UrbBytes(packets));
    memset(ctx->Buffer, 0, packets * valueBytes);
    auto& iso = ctx->Urb->UrbIsochronousTransfer;
    iso.Hdr.Length = (USHORT)UrbBytes(packets);
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.PipeHandle = m_pInterfaceInfo->Pipes[m_FeedbackPipeIndex].PipeHandle;
    iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_START_ISO_TRANSFER_ASAP;
    iso.TransferBuffer = ctx->Buffer;
    iso.TransferBufferLength = packets * valueBytes;
    iso.NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; i++) {
        iso.IsoPacket[i].Offset = i * valueBytes;
        iso.IsoPacket[i].Length = valueBytes;
    }
    ctx->Length = iso.TransferBufferLength;
    PrepareIrp(ctx, FeedbackCompletionRoutine);
    if (InterlockedIncrement(&m_nOutstanding) == 1) KeClearEvent(&m_IdleEvent);
    return device->CallLowerDriver(ctx->Irp);
}

NTSTATUS CUsbAsyncRenderStream::FeedbackCompletionRoutine(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* ctx = static_cast<PUSB_TRANSFER_CONTEXT>(context);
    return static_cast<CUsbAsyncRenderStream*>(ctx->Owner)->OnFeedbackComplete(irp, ctx);
}

// DISPATCH_LEVEL. Never submits; a failed feedback transfer asks for
// recovery like a failed data transfer. The context is free again before
// the transfer counts as done, so Stop and Close find it in its slot.
NTSTATUS CUsbAsyncRenderStream::OnFeedbackComplete(PIRP irp, PUSB_TRANSFER_CONTEXT ctx) {
    const NTSTATUS irpStatus = irp->IoStatus.Status;
    if (IsRunning() && irpStatus != STATUS_CANCELLED) {
        if (NT_SUCCESS(irpStatus) && USBD_SUCCESS(ctx->Urb->UrbHeader.Status)) {
            DecodeFeedback(ctx);
        } else {
            KickRecovery();
        }
    }
    ReturnFeedbackTransfer(ctx);
    TransferDone();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Values the stream cannot use (the device sends the other width, say)
// are dropped and the rate stays where it was: they are counted, and the
// start of each run of them is logged with the first value and the width
// it was read with. A transfer that brought no value changes nothing.
VOID CUsbAsyncRenderStream::DecodeFeedback(PUSB_TRANSFER_CONTEXT ctx) {
    FEEDBACK_TRANSFER transfer;
    transfer.Buffer = ctx->Buffer;
    transfer.Frames = m_nFramesPerTransfer;
    transfer.PacketsPerFrame = m_nFeedbackPacketsPerFrame;
    transfer.HighSpeed = m_bHighSpeed;
    transfer.PacketsPerSecond = m_nPacketsPerFrame * 1000;
    transfer.NominalRate = m_nNominalRate;
    LONG rate = 0;
    FEEDBACK_DROPS drops;
    const BOOLEAN accepted = DecodeFeedbackTransfer(transfer, &rate, &drops);
    if (accepted) __atomic_store_n(&m_nFeedbackRate, rate, __ATOMIC_RELEASE);
    if (drops.Count == 0) {
        if (accepted) InterlockedExchange(&m_bDroppingFeedback, 0);
        return;
    }
    const LONG dropped = InterlockedExchangeAdd(&m_nDroppedFeedback, (LONG)drops.Count) + (LONG)drops.Count;
    if (InterlockedExchange(&m_bDroppingFeedback, 1) == 0)
        DbgPrint("render stream of interface %u: feedback endpoint 0x%02x sent 0x%x, read as %s, more than %u Hz "
                 "from %u Hz; such values are dropped and the rate is kept, %d dropped so far\n",
                 (unsigned)m_nInterfaceNumber, (unsigned)m_pInterfaceInfo->Pipes[m_FeedbackPipeIndex].EndpointAddress,
                 (unsigned)drops.FirstWireValue, m_bHighSpeed ? "4-byte 16.16" : "3-byte 10.14",
                 (unsigned)kFeedbackWindowHz, (unsigned)m_nNominalRate, (int)dropped);
}

// ---- data transfers ------------------------------------------------------------------

NTSTATUS CUsbAsyncRenderStream::SubmitTransfer() {
    const LONG rate = FeedbackRate();
    KIRQL irql;
    KeAcquireSpinLock(&m_SubmitLock, &irql);
    NTSTATUS status = STATUS_SUCCESS;
    IUsbAudioDevice* device = AcquireUsbDevice();
    if (device == NULL) {
        status = STATUS_UNSUCCESSFUL;
    } else if (!DeviceGone() && IsRunning()) {
        if (m_bFeedback) status = SubmitFeedback(device);
        status = DeviceVanished(status) ? status : BuildTransfer(rate);
    }
    if (device) device->Release();
    KeReleaseSpinLock(&m_SubmitLock, irql);
    return status;
}

// Every packet carries S samples plus the whole part of the remainder,
// which grows by rate - S x P per packet (P packets per second) and keeps
// its sign: over time the stream carries `rate` samples per second. The
// sum is checked against the buffer before anything is written to it.
NTSTATUS CUsbAsyncRenderStream::BuildTransfer(LONG rate) {
    PUSB_TRANSFER_CONTEXT ctx = BeginTransfer(USBD_TRANSFER_DIRECTION_OUT, m_nPacketsPerTransfer);
    if (ctx == NULL) return STATUS_BUFFER_TOO_SMALL;
    auto& iso = ctx->Urb->UrbIsochronousTransfer;
    const LONG perSecond = (LONG)(m_nPacketsPerFrame * 1000);
    const LONG delta = rate - (LONG)m_nSamplesPerPacket * perSecond;
    ULONG offset = 0;
    for (ULONG i = 0; i < m_nPacketsPerTransfer; i++) {
        m_nRateRemainder += delta;
        const LONG extra = m_nRateRemainder / perSecond;
        m_nRateRemainder %= perSecond;
        const LONG samples = (LONG)m_nSamplesPerPacket + extra;
        ULONG length = samples > 0 ? (ULONG)samples * m_nBlockAlign : 0;
        if (length > m_nDataBytes - offset) length = (m_nDataBytes - offset) / m_nBlockAlign * m_nBlockAlign;
        iso.IsoPacket[i].Offset = offset;
        iso.IsoPacket[i].Length = length;
        offset += length;
    }
    return FillAndSend(ctx, offset);
}

// Only the IRP and URB statuses decide between resubmission and recovery.
NTSTATUS CUsbAsyncRenderStream::OnTransferComplete(PDEVICE_OBJECT, PIRP irp, PUSB_TRANSFER_CONTEXT ctx) {
    const NTSTATUS irpStatus = irp->IoStatus.Status;
    if (IsRunning() && DeviceVanished(irpStatus)) SetDeviceGone(TRUE);
    PublishBytesDone(ctx->Length);
    return FinishTransfer(ctx, irpStatus, ctx->Urb->UrbHeader.Status);
}

// Worker thread, under m_Lock, once every data and feedback transfer is
// back: reset both pipes and resubmit (three transfers from now on), with
// no reselection and no new clock rate.
NTSTATUS CUsbAsyncRenderStream::RecoverFromError() {
    IUsbAudioDevice* device = AcquireUsbDevice();
    if (device == NULL) return STATUS_UNSUCCESSFUL;
    KeWaitForSingleObject(&m_IdleEvent, Executive, KernelMode, FALSE, NULL);
    InterlockedExchange(&m_PendingAction, STREAM_ACTION_NONE);
    SetDeviceGone(device->CheckPresenceAndRecover());
    if (DeviceGone()) {
        device->Release();
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    NTSTATUS status = ResetPipe(device, DataPipeHandle());
    if (NT_SUCCESS(status) && m_bFeedback)
        status = ResetPipe(device, m_pInterfaceInfo->Pipes[m_FeedbackPipeIndex].PipeHandle);
    ULONG frame = 0;
    device->GetCurrentFrameNumber(&frame);
    m_nNextStartFrame = frame + 2;
    device->Release();
    for (ULONG i = 0; i < kTransfersAfterRecovery && NT_SUCCESS(status); i++) {
        status = SubmitTransfer();
        if (status == STATUS_BUFFER_TOO_SMALL) status = STATUS_SUCCESS;
    }
    return status;
}

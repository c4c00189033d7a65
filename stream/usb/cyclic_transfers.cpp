// The machinery every USB stream shares: set-up (callback object, worker
// thread, limiter, format entries), the states and their operations (Open's
// frame, Run, Stop, Close), the ten transfer contexts, the completion
// tail, the worker thread and the recovery of a failed transfer.
//
// States change by interlocked exchange under m_Lock. While RUNNING the
// completions resubmit from DISPATCH_LEVEL; a failed transfer sets
// STREAM_ACTION_RECOVER, which stops resubmission, and kicks the worker,
// which waits for the stream to drain before it recovers.
#include <cstring>

#include "nt/dbg.h"
#include "nt/ob.h"
#include "nt/ps.h"
#include "nt/rtl.h"
#include "nt/zw.h"
#include "stream/usb/cyclic_control.h"
#include "topology/unit_base.h"

namespace {

void WaitForever(PKEVENT event) { KeWaitForSingleObject(event, Executive, KernelMode, FALSE, NULL); }

void DelayMilliseconds(LONG ms) {
    LARGE_INTEGER interval;
    interval.QuadPart = -(LONGLONG)ms * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

}  // namespace

CCyclicControl::CCyclicControl(PUNKNOWN outer, ULONG interfaceNumber, ULONG terminalId)
    : CStreamEngine(outer, interfaceNumber) {
    m_nTerminalId = terminalId;
    m_FormatList.Flink = m_FormatList.Blink = &m_FormatList;
    KeInitializeEvent(&m_IdleEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&m_TerminateEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_ThreadDoneEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_KickEvent, SynchronizationEvent, FALSE);
    KeInitializeSpinLock(&m_SubmitLock);
    KeInitializeSpinLock(&m_SlotLock);
    m_nTransfers = CYCLIC_TRANSFER_SLOTS;
    m_nFramesPerTransfer = 10;
}

CCyclicControl::~CCyclicControl() {
    while (m_FormatList.Flink != &m_FormatList) {
        PLIST_ENTRY entry = m_FormatList.Flink;
        m_FormatList.Flink = entry->Flink;
        ExFreePoolWithTag(CONTAINING_RECORD(entry, CYCLIC_FORMAT_ENTRY, Link), CYCLIC_CLIENT_TAG);
    }
    m_FormatList.Blink = &m_FormatList;
    StopWorker();
    // A stream its clients left open is closed without touching the device.
    if (m_bLookasidesReady) {
        FreeTransfers();
        DeleteLookasides();
    }
    if (m_pRing) ExFreePool(m_pRing);
    m_pRing = NULL;
    if (m_pInterfaceInfo) ExFreePoolWithTag(m_pInterfaceInfo, CYCLIC_URB_TAG);
    m_pInterfaceInfo = NULL;
    if (m_pCyclicCallback) ObDereferenceObject(m_pCyclicCallback);
    m_pCyclicCallback = NULL;
    if (m_pLimiter) {
        m_pLimiter->FreeBuffers();
        delete m_pLimiter;
        m_pLimiter = NULL;
    }
}

NTSTATUS CCyclicControl::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (out == NULL) return STATUS_INVALID_PARAMETER;
    if (iid == IID_IUnknown || iid == IID_IStreamEngine)
        return ReturnInterface(static_cast<IStreamEngine*>(this), out);
    if (iid == IID_ICyclicControl) return ReturnInterface(static_cast<ICyclicControl*>(this), out);
    if (iid == IID_IDrmContentForward) return ReturnInterface(static_cast<IDrmContentForward*>(this), out);
    return RefuseInterface(out);
}

VOID CCyclicControl::StopWorker() {
    if (!m_bThreadStarted) return;
    KeSetEvent(&m_TerminateEvent, IO_NO_INCREMENT, FALSE);
    WaitForever(&m_ThreadDoneEvent);
    m_bThreadStarted = FALSE;
}

VOID CCyclicControl::ThreadStart(PVOID context) { static_cast<CCyclicControl*>(context)->StreamThread(); }

NTSTATUS CCyclicControl::Init(ULONG isCapture, PUNKNOWN device) {
    NTSTATUS status = CStreamEngine::Init(isCapture);
    if (!NT_SUCCESS(status)) return status;
    WCHAR nameBuffer[49];
    RtlStringCbPrintfW(nameBuffer, sizeof(nameBuffer), u"\\Callback\\CyclicControlAddr%p", this);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, nameBuffer);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, NULL, NULL);
    status = ExCreateCallback(&m_pCyclicCallback, &attributes, TRUE, TRUE);
    if (!NT_SUCCESS(status)) {
        m_pCyclicCallback = NULL;
        return status;
    }
    HANDLE thread = NULL;
    OBJECT_ATTRIBUTES threadAttributes;
    InitializeObjectAttributes(&threadAttributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &threadAttributes, NULL, NULL, ThreadStart, this);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(m_pCyclicCallback);
        m_pCyclicCallback = NULL;
        return status;
    }
    m_bThreadStarted = TRUE;
    PVOID object = NULL;
    if (NT_SUCCESS(ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, NULL))) {
        KeSetPriorityThread((PKTHREAD)object, HIGH_PRIORITY);
        KeSetPriorityThread((PKTHREAD)object, 24);
        ObDereferenceObject(object);
    }
    ZwClose(thread);
    m_pDevice = device;
    SetDeviceGone(FALSE);

    // The stream limiter is optional: without memory the stream has none.
    m_pLimiter = new (NonPagedPoolNx, CYCLIC_CLIENT_TAG) CLimiter();
    if (m_pLimiter && m_pLimiter->AllocateBuffers() == 1) {
        m_pLimiter->SetMode(0);
        m_pLimiter->SetMakeupGain(1.0f);
        m_pLimiter->SetThreshold(1.0f);
    } else if (m_pLimiter) {
        m_pLimiter->FreeBuffers();
        delete m_pLimiter;
        m_pLimiter = NULL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CCyclicControl::AddFormat(const WAVEFORMATEXTENSIBLE* format, UCHAR alternateSetting) {
    auto* entry = (PCYCLIC_FORMAT_ENTRY)ExAllocatePoolWithTag(PagedPool, sizeof(CYCLIC_FORMAT_ENTRY),
                                                              CYCLIC_CLIENT_TAG);
    if (entry == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = CStreamEngine::AddFormat(format);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(entry, CYCLIC_CLIENT_TAG);
        return status;
    }
    entry->AlternateSetting = alternateSetting;
    memcpy(&entry->Format, format, sizeof(entry->Format));
    entry->Link.Flink = &m_FormatList;
    entry->Link.Blink = m_FormatList.Blink;
    m_FormatList.Blink->Flink = &entry->Link;
    m_FormatList.Blink = &entry->Link;
    return STATUS_SUCCESS;
}

NTSTATUS CCyclicControl::FindUnitById(ULONG id, IUacUnit** unit) {
    if (unit == NULL) return STATUS_INVALID_PARAMETER;
    *unit = NULL;
    for (ULONG i = 0; i < GetUnitCount(); i++) {
        IUacUnit* candidate = NULL;
        if (NT_SUCCESS(GetUnit(i, &candidate)) && candidate->GetId() == id) *unit = candidate;
    }
    return *unit ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CCyclicControl::FindAlternateSetting(const WAVEFORMATEX* format, PULONG alternateSetting) {
    if (alternateSetting == NULL || format == NULL) return STATUS_INVALID_PARAMETER;
    for (PLIST_ENTRY e = m_FormatList.Flink; e != &m_FormatList; e = e->Flink) {
        auto* entry = CONTAINING_RECORD(e, CYCLIC_FORMAT_ENTRY, Link);
        if (!StreamFormatMatches(&entry->Format, format)) continue;
        *alternateSetting = entry->AlternateSetting;
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}

ULONG CCyclicControl::GetCurrentFrame() {
    ULONG frame = 0;
    IUsbAudioDevice* device = AcquireUsbDevice();
    if (device) {
        device->GetCurrentFrameNumber(&frame);
        device->Release();
    }
    return frame;
}

// ---- transfer contexts -------------------------------------------------------------

NTSTATUS CCyclicControl::AllocateTransfer(PUSB_TRANSFER_CONTEXT* context) {
    *context = NULL;
    auto* ctx = (PUSB_TRANSFER_CONTEXT)ExAllocateFromNPagedLookasideList(&m_ContextLookaside);
    if (ctx == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    memset(ctx, 0, sizeof(*ctx));
    ctx->Owner = this;
    ctx->Buffer = (PUCHAR)ExAllocateFromNPagedLookasideList(&m_BufferLookaside);
    ctx->Urb = (PURB)ExAllocateFromNPagedLookasideList(&m_UrbLookaside);
    IUsbAudioDevice* device = AcquireUsbDevice();
    if (device) {
        ctx->Irp = device->AllocateIrp();
        device->Release();
    }
    if (ctx->Buffer == NULL || ctx->Urb == NULL || ctx->Irp == NULL) {
        RecycleTransfer(ctx);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ctx->Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    *context = ctx;
    return STATUS_SUCCESS;
}

PUSB_TRANSFER_CONTEXT CCyclicControl::ClaimTransfer() {
    return ClaimSlot(&m_SlotLock, m_FreeTransfers, m_BusyTransfers);
}

VOID CCyclicControl::ReturnTransfer(PUSB_TRANSFER_CONTEXT context) {
    ReturnSlot(&m_SlotLock, m_FreeTransfers, m_BusyTransfers, context);
}

// The first free context among the first m_nTransfers slots, its busy
// slot taken by compare-exchange.
PUSB_TRANSFER_CONTEXT CCyclicControl::ClaimSlot(PKSPIN_LOCK lock, PUSB_TRANSFER_CONTEXT* freeSlots,
                                                PUSB_TRANSFER_CONTEXT* busySlots) {
    PUSB_TRANSFER_CONTEXT claimed = NULL;
    KIRQL irql;
    KeAcquireSpinLock(lock, &irql);
    for (ULONG i = 0; i < m_nTransfers && i < CYCLIC_TRANSFER_SLOTS; i++) {
        PUSB_TRANSFER_CONTEXT ctx = freeSlots[i];
        if (ctx == NULL) continue;
        if (InterlockedCompareExchangePointer((PVOID volatile*)&busySlots[i], ctx, NULL) != NULL) continue;
        freeSlots[i] = NULL;
        claimed = ctx;
        break;
    }
    KeReleaseSpinLock(lock, irql);
    return claimed;
}

// The IRP is made ready before the context is published as free: once it
// is, another processor's SubmitTransfer may claim it and send the IRP.
VOID CCyclicControl::ReturnSlot(PKSPIN_LOCK lock, PUSB_TRANSFER_CONTEXT* freeSlots, PUSB_TRANSFER_CONTEXT* busySlots,
                                PUSB_TRANSFER_CONTEXT context) {
    IoReuseIrp(context->Irp, STATUS_NOT_SUPPORTED);
    KIRQL irql;
    KeAcquireSpinLock(lock, &irql);
    freeSlots[context->Index] = context;
    InterlockedExchangePointer((PVOID volatile*)&busySlots[context->Index], NULL);
    KeReleaseSpinLock(lock, irql);
}

VOID CCyclicControl::RecycleTransfer(PUSB_TRANSFER_CONTEXT context) {
    if (context->Buffer) ExFreeToNPagedLookasideList(&m_BufferLookaside, context->Buffer);
    if (context->Urb) ExFreeToNPagedLookasideList(&m_UrbLookaside, context->Urb);
    if (context->Irp) IoFreeIrp(context->Irp);
    ExFreeToNPagedLookasideList(&m_ContextLookaside, context);
}

// The contexts leave their slots under the slot lock, which a completion
// returning its context holds too; they are freed after it is released.
VOID CCyclicControl::RecycleSlots(PKSPIN_LOCK lock, PUSB_TRANSFER_CONTEXT* freeSlots) {
    PUSB_TRANSFER_CONTEXT taken[CYCLIC_TRANSFER_SLOTS];
    KIRQL irql;
    KeAcquireSpinLock(lock, &irql);
    for (ULONG i = 0; i < CYCLIC_TRANSFER_SLOTS; i++) {
        taken[i] = freeSlots[i];
        freeSlots[i] = NULL;
    }
    KeReleaseSpinLock(lock, irql);
    for (ULONG i = 0; i < CYCLIC_TRANSFER_SLOTS; i++)
        if (taken[i] != NULL) RecycleTransfer(taken[i]);
}

NTSTATUS CCyclicControl::FreeTransfers() {
    RecycleSlots(&m_SlotLock, m_FreeTransfers);
    return STATUS_SUCCESS;
}

VOID CCyclicControl::DeleteLookasides() {
    if (!m_bLookasidesReady) return;
    ExDeleteNPagedLookasideList(&m_UrbLookaside);
    ExDeleteNPagedLookasideList(&m_BufferLookaside);
    ExDeleteNPagedLookasideList(&m_ContextLookaside);
    m_bLookasidesReady = FALSE;
}

// ---- Open's frame ---------------------------------------------------------------------

NTSTATUS CCyclicControl::OpenStream(PCYCLIC_CLIENT client, PULONG frameNumber) {
    CMutexScope lock(m_Lock);
    if (client == NULL) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = FindFormat(&client->Format.Format);
    if (!NT_SUCCESS(status)) return status;
    ULONG alternate = 0;
    if (!NT_SUCCESS(FindAlternateSetting(&client->Format.Format, &alternate))) return STATUS_INVALID_PARAMETER;
    // Only a closed stream opens; a running one stays as it is.
    if (StreamState() != STREAM_STATE_CLOSED) return STATUS_INSUFFICIENT_RESOURCES;
    status = ComputeGeometry(client, (UCHAR)alternate);
    if (!NT_SUCCESS(status)) return status;
    if (InterlockedCompareExchange(&m_StreamState, STREAM_STATE_OPENED, STREAM_STATE_CLOSED) != STREAM_STATE_CLOSED)
        return STATUS_INSUFFICIENT_RESOURCES;
    ExInitializeNPagedLookasideList(&m_UrbLookaside, NULL, NULL, POOL_NX_ALLOCATION, m_nUrbBytes, CYCLIC_URB_TAG, 0);
    ExInitializeNPagedLookasideList(&m_BufferLookaside, NULL, NULL, POOL_NX_ALLOCATION, m_nDataBytes,
                                    CYCLIC_URB_TAG, 0);
    ExInitializeNPagedLookasideList(&m_ContextLookaside, NULL, NULL, POOL_NX_ALLOCATION,
                                    sizeof(USB_TRANSFER_CONTEXT), CYCLIC_URB_TAG, 0);
    m_bLookasidesReady = TRUE;
    for (ULONG i = 0; i < CYCLIC_TRANSFER_SLOTS && NT_SUCCESS(status); i++) {
        status = AllocateTransfer(&m_FreeTransfers[i]);
        if (NT_SUCCESS(status)) m_FreeTransfers[i]->Index = i;
    }
    if (NT_SUCCESS(status)) status = AllocateStreamBlocks();
    if (NT_SUCCESS(status)) status = SelectAlternateSetting((UCHAR)alternate, client);
    if (!NT_SUCCESS(status)) {
        FreeTransfers();
        DeleteLookasides();
        if (m_pRing) ExFreePool(m_pRing);
        m_pRing = NULL;
        ExchangeState(STREAM_STATE_CLOSED);
        return status;
    }
    ResetStreamCounters();
    InterlockedExchange(&m_nOutstanding, 0);
    if (frameNumber) *frameNumber = GetCurrentFrame();
    return STATUS_SUCCESS;
}

// ---- Run, Stop, Close ---------------------------------------------------------------------

NTSTATUS CCyclicControl::Run(ULONG startFrame, BOOLEAN useStartFrame) {
    CMutexScope lock(m_Lock);
    if (StreamState() != STREAM_STATE_OPENED) return STATUS_UNSUCCESSFUL;
    if (m_pLimiter) m_pLimiter->SetFormat(&m_CurrentWaveFormat);
    InterlockedExchange(&m_PendingAction, STREAM_ACTION_NONE);
    m_nNextStartFrame = startFrame;
    m_bUseStartFrame = useStartFrame;
    KeClearEvent(&m_KickEvent);
    ExchangeState(STREAM_STATE_RUNNING);
    POSITION pos = m_pDspNodes ? m_pDspNodes->GetHeadPosition() : NULL;
    PVOID node = NULL;
    while (pos && m_pDspNodes->GetNext(pos, &node))
        if (!NT_SUCCESS(static_cast<IDspNode*>(node)->SetFormat(&m_CurrentWaveFormat))) break;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < m_nTransfers && NT_SUCCESS(status); i++) status = SubmitTransfer();
    if (NT_SUCCESS(status) || status == STATUS_BUFFER_TOO_SMALL) return STATUS_SUCCESS;
    WaitForever(&m_IdleEvent);
    ExchangeState(STREAM_STATE_OPENED);
    return status;
}

NTSTATUS CCyclicControl::Stop() {
    CMutexScope lock(m_Lock);
    if (StreamState() != STREAM_STATE_RUNNING) return STATUS_UNSUCCESSFUL;
    ExchangeState(STREAM_STATE_OPENED);
    WaitForever(&m_IdleEvent);
    NTSTATUS status = STATUS_SUCCESS;
    POSITION pos = m_pDspNodes ? m_pDspNodes->GetHeadPosition() : NULL;
    PVOID node = NULL;
    while (pos && m_pDspNodes->GetNext(pos, &node)) {
        status = static_cast<IDspNode*>(node)->Flush();
        if (!NT_SUCCESS(status)) break;
    }
    if (m_pLimiter) m_pLimiter->Reset();
    return status;
}

NTSTATUS CCyclicControl::Close() {
    CMutexScope lock(m_Lock);
    if (StreamState() != STREAM_STATE_OPENED) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = SelectAlternateSetting(0, NULL);
    FreeTransfers();
    ExchangeState(STREAM_STATE_CLOSED);
    DeleteLookasides();
    if (m_pRing) ExFreePool(m_pRing);
    m_pRing = NULL;
    if (m_pInterfaceInfo) ExFreePoolWithTag(m_pInterfaceInfo, CYCLIC_URB_TAG);
    m_pInterfaceInfo = NULL;
    if (!NT_SUCCESS(status) && DeviceGone()) status = STATUS_SUCCESS;
    return status;
}

NTSTATUS CCyclicControl::AbortPipe() {
    if (m_pInterfaceInfo == NULL) return STATUS_INVALID_DEVICE_STATE;
    IUsbAudioDevice* device = AcquireUsbDevice();
    if (device == NULL) return STATUS_UNSUCCESSFUL;
    URB urb = {};
    UsbBuildPipeRequest(&urb, URB_FUNCTION_ABORT_PIPE, DataPipeHandle());
    NTSTATUS status = device->SubmitUrbSync(&urb);
    device->Release();
    return status;
}

NTSTATUS CCyclicControl::ResetAlternateSetting() { return SelectAlternateSetting(0, NULL); }

// ---- transfers in flight -------------------------------------------------------------------

PUSB_TRANSFER_CONTEXT CCyclicControl::BeginTransfer(ULONG transferFlags, ULONG packets) {
    PUSB_TRANSFER_CONTEXT ctx = ClaimTransfer();
    if (ctx == NULL) return NULL;
    memset(ctx->Urb, 0, m_nUrbBytes);
    auto& iso = ctx->Urb->UrbIsochronousTransfer;
    iso.Hdr.Length = (USHORT)m_nUrbBytes;
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.PipeHandle = DataPipeHandle();
    iso.TransferFlags = transferFlags | (m_bUseStartFrame ? 0 : USBD_START_ISO_TRANSFER_ASAP);
    iso.TransferBuffer = ctx->Buffer;
    iso.NumberOfPackets = packets;
    return ctx;
}

VOID CCyclicControl::FillBuffer(PUSB_TRANSFER_CONTEXT ctx, ULONG bytes) {
    ctx->Urb->UrbIsochronousTransfer.TransferBufferLength = bytes;
    // Whatever the owner does not fill goes out as silence.
    memset(ctx->Buffer, 0, bytes);
    PublishBuffer(CYCLIC_MSG_RENDER_FILL, ctx->Buffer, bytes);
    ProcessData(ctx->Buffer, bytes);
    ctx->Length = bytes;
}

NTSTATUS CCyclicControl::FillAndSend(PUSB_TRANSFER_CONTEXT ctx, ULONG bytes) {
    FillBuffer(ctx, bytes);
    return SendTransfer(ctx);
}

NTSTATUS CCyclicControl::SendTransfer(PUSB_TRANSFER_CONTEXT ctx) {
    auto& iso = ctx->Urb->UrbIsochronousTransfer;
    iso.StartFrame = 0;
    if (m_bUseStartFrame) {
        iso.StartFrame = m_nNextStartFrame;
        m_nNextStartFrame += m_nFramesPerTransfer;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(ctx->Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = ctx->Urb;
    IoSetCompletionRoutine(ctx->Irp, TransferCompletionRoutine, ctx, TRUE, TRUE, TRUE);
    IUsbAudioDevice* device = AcquireUsbDevice();
    if (device == NULL) {
        ReturnTransfer(ctx);
        return STATUS_UNSUCCESSFUL;
    }
    if (InterlockedIncrement(&m_nOutstanding) == 1) KeClearEvent(&m_IdleEvent);
    NTSTATUS status = device->CallLowerDriver(ctx->Irp);
    device->Release();
    return status;
}

NTSTATUS CCyclicControl::TransferCompletionRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* ctx = static_cast<PUSB_TRANSFER_CONTEXT>(context);
    return ctx->Owner->OnTransferComplete(device, irp, ctx);
}

VOID CCyclicControl::TransferDone() {
    if (InterlockedDecrement(&m_nOutstanding) == 0) KeSetEvent(&m_IdleEvent, IO_SOUND_INCREMENT, FALSE);
}

VOID CCyclicControl::KickRecovery() {
    if (InterlockedExchange(&m_PendingAction, STREAM_ACTION_RECOVER) != STREAM_ACTION_RECOVER)
        KeSetEvent(&m_KickEvent, IO_SOUND_INCREMENT, FALSE);
}

NTSTATUS CCyclicControl::FinishTransfer(PUSB_TRANSFER_CONTEXT ctx, NTSTATUS irpStatus, USBD_STATUS urbStatus) {
    ReturnTransfer(ctx);
    if (IsRunning() && irpStatus != STATUS_CANCELLED) {
        if (NT_SUCCESS(irpStatus) && USBD_SUCCESS(urbStatus)) {
            if (InterlockedCompareExchange(&m_PendingAction, STREAM_ACTION_RESUBMIT, STREAM_ACTION_NONE) ==
                STREAM_ACTION_NONE) {
                InterlockedCompareExchange(&m_PendingAction, STREAM_ACTION_NONE, STREAM_ACTION_RESUBMIT);
                SubmitTransfer();
            }
        } else {
            KickRecovery();
        }
    }
    TransferDone();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CCyclicControl::OnTransferComplete(PDEVICE_OBJECT, PIRP irp, PUSB_TRANSFER_CONTEXT ctx) {
    NTSTATUS irpStatus = irp->IoStatus.Status;
    USBD_STATUS urbStatus = ctx->Urb->UrbHeader.Status;
    if (IsRunning() && irpStatus != STATUS_CANCELLED) {
        if (NT_SUCCESS(irpStatus) && USBD_SUCCESS(urbStatus)) {
            if (InterlockedCompareExchange(&m_PendingAction, STREAM_ACTION_RESUBMIT, STREAM_ACTION_NONE) ==
                STREAM_ACTION_NONE)
                KeSetEvent(&m_KickEvent, IO_SOUND_INCREMENT, FALSE);
        } else {
            KickRecovery();
        }
    }
    // The context leaves the stream for good: its slot stays empty.
    KIRQL irql;
    KeAcquireSpinLock(&m_SlotLock, &irql);
    InterlockedExchangePointer((PVOID volatile*)&m_BusyTransfers[ctx->Index], NULL);
    KeReleaseSpinLock(&m_SlotLock, irql);
    RecycleTransfer(ctx);
    TransferDone();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---- worker thread and recovery --------------------------------------------------------------

VOID CCyclicControl::StreamThread() {
    for (;;) {
        PVOID objects[2] = {&m_KickEvent, &m_TerminateEvent};
        NTSTATUS wait = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
        if (wait == STATUS_WAIT_0) {
            CMutexScope lock(m_Lock);
            LONG action = __atomic_load_n(&m_PendingAction, __ATOMIC_ACQUIRE);
            if (IsRunning() && action == STREAM_ACTION_RESUBMIT) {
                InterlockedCompareExchange(&m_PendingAction, STREAM_ACTION_NONE, STREAM_ACTION_RESUBMIT);
                while (IsRunning() && !DeviceGone())
                    if (!NT_SUCCESS(SubmitTransfer())) break;
            } else if (IsRunning() && action == STREAM_ACTION_RECOVER) {
                DbgPrint("Error_ErrorOccur, m_StreamState = %d\n", (int)StreamState());
                NTSTATUS status = IsRunning() ? RecoverFromError() : STATUS_SUCCESS;
                if (status == STATUS_DEVICE_NOT_CONNECTED) KeSetEvent(&m_TerminateEvent, IO_NO_INCREMENT, FALSE);
                DbgPrint("Error_ErrorOccur ntStatus = %x\n", (unsigned)status);
            }
        } else {
            // Nothing of this object may be touched after the event is set.
            KeSetEvent(&m_ThreadDoneEvent, IO_SOUND_INCREMENT, FALSE);
            return;
        }
    }
}

NTSTATUS CCyclicControl::Restart() {
    PCYCLIC_CLIENT owner = RunningClient();
    if (owner == NULL) return STATUS_INVALID_DEVICE_STATE;
    ULONG alternate = 0;
    NTSTATUS status = FindAlternateSetting(&owner->Format.Format, &alternate);
    if (NT_SUCCESS(status)) status = SelectAlternateSetting((UCHAR)alternate, owner);
    if (!NT_SUCCESS(status)) return status;
    m_nRingReadPos = m_nRingWritePos = 0;
    InterlockedExchange(&m_nOutstanding, 0);
    KeClearEvent(&m_KickEvent);
    ResetStreamCounters();
    m_nNextStartFrame = GetCurrentFrame() + 2;
    InterlockedExchange(&m_PendingAction, STREAM_ACTION_NONE);
    for (ULONG i = 0; i < m_nTransfers && NT_SUCCESS(status); i++) status = SubmitTransfer();
    return NT_SUCCESS(status) || status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
}

NTSTATUS CCyclicControl::RecoverFromError() {
    PDEVICE_OBJECT fdo = NULL;
    IAudioHal* hal = NULL;
    if (m_pDevice && NT_SUCCESS(m_pDevice->QueryInterface(IID_IAudioHal, (PVOID*)&hal)) && hal) {
        fdo = hal->GetDeviceObject();
        hal->Release();
    }
    if (fdo) ObfReferenceObject(fdo);
    // No completion resubmits while RECOVER is pending: the stream drains.
    WaitForever(&m_IdleEvent);
    InterlockedExchange(&m_PendingAction, STREAM_ACTION_NONE);
    IUsbAudioDevice* device = AcquireUsbDevice();
    NTSTATUS status;
    SetDeviceGone(device == NULL || device->CheckPresenceAndRecover());
    if (DeviceGone()) {
        status = STATUS_DEVICE_NOT_CONNECTED;
    } else {
        DelayMilliseconds(100);
        status = ResetAlternateSetting();
        if (NT_SUCCESS(status)) {
            PublishFormat(RunningClient(), TRUE);
            status = Restart();
        }
        if (!NT_SUCCESS(status)) device->CyclePortOnce();
    }
    if (device) device->Release();
    if (fdo) ObDereferenceObject(fdo);
    return status;
}

// The UAC 1.0 status thread: reads the two-byte status words of the Audio
// Control interface's interrupt IN pipe for as long as the model is
// started, and turns each into a re-read of the entity it names and a
// control-change notification, or, for a terminal, into a re-installation
// of the wave subdevices.
//
// One thread per Start; Stop sets StopEvent and waits for
// ThreadExitedEvent, which the thread sets last on every path (stop, a
// failed transfer, a resource it could not get). While a transfer is
// outstanding the transfer-done event is clear; the thread never ends
// before the transfer has come back, so the IRP, the URB and the buffer
// are never freed under the USB stack.
#include "adapter/model/uac1_hal.h"

#include "adapter/usb/usb_audio_device.h"
#include "nt/rtl.h"
#include "stream/engine/stream_engine.h"
#include "nt/irp.h"
#include "nt/ps.h"
#include "topology/interface_ref.h"
#include "topology/uac_entity.h"

namespace {

// Bytes of a UAC 1.0 status word; a shorter transfer carries no message.
constexpr ULONG kStatusWordBytes = 2;
// bStatusType bits 3..0: the originator; 0 is the Audio Control interface.
constexpr UCHAR kOriginatorMask = 0x0F;

// Signals the waiter's event and keeps the IRP, which the thread reuses.
NTSTATUS TransferDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// What one run of the thread owns (non-paged, the model's tag). The status
// word lives here too: the USB stack writes into it while the transfer is
// out.
struct CUac1Hal::STATUS_RUN {
    KEVENT TransferDone;  // notification; set while no transfer is outstanding
    struct _URB_BULK_OR_INTERRUPT_TRANSFER Transfer;
    struct _URB_PIPE_REQUEST Abort;
    UCHAR Message[kStatusWordBytes];
    PIRP Irp;
    USBD_PIPE_HANDLE Pipe;
};

VOID CUac1Hal::InterruptThreadStart(PVOID model) {
    static_cast<CUac1Hal*>(model)->InterruptThread();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID CUac1Hal::InterruptThread() {
    auto* run = static_cast<STATUS_RUN*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(STATUS_RUN), m_PoolTag));
    if (run != NULL) {
        RtlZeroMemory(run, sizeof(*run));
        KeInitializeEvent(&run->TransferDone, NotificationEvent, TRUE);
        run->Pipe = AcInterfaceInfo->Pipes[StatusPipeIndex].PipeHandle;
        InterfaceRef<IUsbAudioDevice> usb(GetOuterUnknown(), IID_IUsbAudioDevice);
        if (usb.get() != NULL) run->Irp = usb->AllocateIrp();
    }
    if (run != NULL && run->Irp != NULL && SubmitStatusTransfer(run)) {
        // The values may have changed while nobody listened.
        PVOID data = NULL;
        for (POSITION pos = Entities->GetHeadPosition(); Entities->GetNext(pos, &data);)
            OnUnitChanged(static_cast<CUacEntity*>(data)->GetId());
        FollowStatusTransfers(run);
    }
    if (run != NULL) {
        // Nothing is freed under the USB stack: the transfer has come back.
        KeWaitForSingleObject(&run->TransferDone, Executive, KernelMode, FALSE, NULL);
        if (run->Irp != NULL) {
            InterfaceRef<IUsbAudioDevice> usb(GetOuterUnknown(), IID_IUsbAudioDevice);
            if (usb.get() != NULL)
                usb->FreeIrp(run->Irp);
            else
                IoFreeIrp(run->Irp);
        }
        ExFreePoolWithTag(run, m_PoolTag);
    }
    KeSetEvent(&ThreadExitedEvent, IO_NO_INCREMENT, FALSE);
}

// Handles completed transfers until a stop request, a failed transfer or a
// failed resubmission; returns with no transfer of its own outstanding
// except one that an abort or cancellation is bringing back.
VOID CUac1Hal::FollowStatusTransfers(STATUS_RUN* run) {
    for (;;) {
        PVOID objects[2] = {&run->TransferDone, &StopEvent};
        const NTSTATUS wait = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
        if (wait == STATUS_WAIT_1) {
            AbortStatusTransfer(run);
            return;
        }
        if (wait != STATUS_WAIT_0) {
            if (!NT_SUCCESS(wait)) return;
            continue;
        }
        if (!NT_SUCCESS(run->Irp->IoStatus.Status)) return;
        // Only a whole status word from the Audio Control interface is a
        // message; the buffer was zeroed, so nothing of an earlier one counts.
        if (run->Transfer.TransferBufferLength == kStatusWordBytes && (run->Message[0] & kOriginatorMask) == 0)
            OnUnitChanged(run->Message[1]);
        IoReuseIrp(run->Irp, STATUS_NOT_SUPPORTED);
        if (!SubmitStatusTransfer(run)) return;
    }
}

// Passes the interrupt transfer down; FALSE when it could not be sent (the
// transfer-done event is then set: nothing is outstanding).
BOOLEAN CUac1Hal::SubmitStatusTransfer(STATUS_RUN* run) {
    RtlZeroMemory(&run->Transfer, sizeof(run->Transfer));
    RtlZeroMemory(run->Message, sizeof(run->Message));
    UsbBuildInterruptOrBulkTransferRequest(reinterpret_cast<PURB>(&run->Transfer), (USHORT)sizeof(run->Transfer),
                                           run->Pipe, run->Message, NULL, kStatusWordBytes,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(run->Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &run->Transfer;
    IoSetCompletionRoutine(run->Irp, TransferDone, &run->TransferDone, TRUE, TRUE, TRUE);
    KeClearEvent(&run->TransferDone);
    InterfaceRef<IUsbAudioDevice> usb(GetOuterUnknown(), IID_IUsbAudioDevice);
    if (usb.get() == NULL) {
        KeSetEvent(&run->TransferDone, IO_NO_INCREMENT, FALSE);
        return FALSE;
    }
    return NT_SUCCESS(usb->CallLowerDriver(run->Irp));
}

// Aborts the pipe so the outstanding transfer comes back. An abort that
// cannot be sent (the transport counts the device as gone and sends
// nothing) or that fails cancels the IRP instead: either way the transfer
// completes and the thread's last wait ends.
VOID CUac1Hal::AbortStatusTransfer(STATUS_RUN* run) {
    RtlZeroMemory(&run->Abort, sizeof(run->Abort));
    UsbBuildPipeRequest(reinterpret_cast<PURB>(&run->Abort), URB_FUNCTION_ABORT_PIPE, run->Pipe);
    InterfaceRef<IUsbAudioDevice> usb(GetOuterUnknown(), IID_IUsbAudioDevice);
    const NTSTATUS status = usb.get() != NULL ? usb->SubmitUrbSync(reinterpret_cast<PURB>(&run->Abort)) : usb.status();
    if (!NT_SUCCESS(status)) IoCancelIrp(run->Irp);
}

NTSTATUS CUac1Hal::OnUnitChanged(ULONG entityId) {
    ModelLock.Lock();
    CUacEntity* entity = NULL;
    NTSTATUS status = FindEntityById(entityId, &entity);
    const ULONG kind = entity != NULL ? entity->GetKind() : 0;
    ULONG nodeId = 0;
    if (NT_SUCCESS(status)) status = entity->OnControlChange(0, 0, &nodeId);
    if (NT_SUCCESS(status) && (kind == UAC_INPUT_TERMINAL || kind == UAC_OUTPUT_TERMINAL)) {
        // A jack change can make an endpoint present or absent.
        const ULONG engines = GetStreamEngineCount();
        for (ULONG i = 0; i < engines && NT_SUCCESS(status); ++i) {
            IStreamEngine* engine = NULL;
            status = GetStreamEngine(i, &engine);
            if (NT_SUCCESS(status)) status = engine->InstallMiniport(Fdo, NULL, AudioHal());
        }
    } else if (NT_SUCCESS(status)) {
        status = ReadBackNodes(entity);
    }
    ModelLock.Unlock();
    return status;
}

// Re-reads every node of the entity and tells the topology of each one that
// read back; the status of the last read.
NTSTATUS CUac1Hal::ReadBackNodes(CUacEntity* entity) {
    ULONG count = 0;
    NTSTATUS status = entity->GetNodeCount(&count);
    for (ULONG i = 0; i < count; ++i) {
        IUacUnit* node = NULL;
        if (!NT_SUCCESS(entity->GetNode(i, &node)) || node == NULL) continue;
        status = node->ReadBack();
        if (!NT_SUCCESS(status) || GetHalCallbackObject() == NULL) continue;
        AUDIOHAL_NOTIFICATION notification = {AUDIOHAL_NOTIFY_CONTROL_CHANGE, AUDIOHAL_NOTIFY_CODE, node->GetId(), 0};
        ExNotifyCallback(GetHalCallbackObject(), &notification, NULL);
    }
    return status;
}

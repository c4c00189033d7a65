// The UAC 2.0 interrupt thread: reads the 6-byte interrupt data messages
// of the Audio Control interface's interrupt IN pipe, and keeps a bulk IN
// transfer outstanding when the interface has a bulk pipe (its data is not
// used), for as long as the model is started. A change message from the
// Audio Control interface makes the entity re-read the control and the
// topology hear of the node; a terminal's connector change re-installs the
// wave subdevices.
//
// One thread per Start; Stop sets StopEvent and waits for
// ThreadExitedEvent, which the thread sets last on every path (stop, a
// failed transfer, a resource it could not get). Before it ends, every
// transfer still out is cancelled and waited for, so no IRP, URB or buffer
// is freed under the USB stack.
#include "adapter/model/uac2_hal.h"

#include "adapter/usb/usb_audio_device.h"
#include "nt/irp.h"
#include "nt/ps.h"
#include "nt/rtl.h"
#include "stream/engine/stream_engine.h"
#include "topology/interface_ref.h"
#include "topology/uac_entity.h"

namespace {

constexpr ULONG kMessageBytes = 6;
constexpr ULONG kBulkBytes = 512;
// bInfo bits 1..0: 0 is a class-specific message from an interface.
constexpr UCHAR kOriginatorMask = 0x03;
constexpr UCHAR kAttributeCur = 0x01;
constexpr ULONG kConnectorSelector = 2;

NTSTATUS TransferDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// What one run of the thread owns (non-paged, the model's tag). The
// events are notification events, set while their transfer is not out.
struct CUac2Hal::INTERRUPT_RUN {
    KEVENT InterruptDone;
    KEVENT BulkDone;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER InterruptUrb;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER BulkUrb;
    UCHAR Message[kMessageBytes];
    UCHAR* BulkBuffer;
    PIRP InterruptIrp;
    PIRP BulkIrp;
    USBD_PIPE_HANDLE InterruptPipe;
    USBD_PIPE_HANDLE BulkPipe;
    BOOLEAN HasBulk;
};

VOID CUac2Hal::InterruptThreadStart(PVOID model) {
    static_cast<CUac2Hal*>(model)->InterruptThread();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID CUac2Hal::InterruptThread() {
    InterfaceRef<IUsbAudioDevice> usb(GetOuterUnknown(), IID_IUsbAudioDevice);
    auto* run = static_cast<INTERRUPT_RUN*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(INTERRUPT_RUN), m_PoolTag));
    if (run != NULL) {
        RtlZeroMemory(run, sizeof(*run));
        KeInitializeEvent(&run->InterruptDone, NotificationEvent, TRUE);
        KeInitializeEvent(&run->BulkDone, NotificationEvent, TRUE);
        run->InterruptPipe = AcInterfaceInfo->Pipes[StatusPipeIndex].PipeHandle;
        run->HasBulk = BulkPipeIndex != UAC_NO_STATUS_PIPE;
        if (run->HasBulk) run->BulkPipe = AcInterfaceInfo->Pipes[BulkPipeIndex].PipeHandle;
        bool ready = usb.get() != NULL;
        if (ready) {
            run->InterruptIrp = usb->AllocateIrp();
            if (run->HasBulk) {
                run->BulkIrp = usb->AllocateIrp();
                run->BulkBuffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, kBulkBytes, m_PoolTag));
            }
            ready = run->InterruptIrp != NULL && (!run->HasBulk || (run->BulkIrp != NULL && run->BulkBuffer != NULL));
        }
        if (ready && run->HasBulk) ready = Submit(run, TRUE) != FALSE;
        if (ready) ready = Submit(run, FALSE) != FALSE;
        if (ready) FollowInterruptTransfers(run);

        // Every way out: what is still out is cancelled and comes back.
        if (KeReadStateEvent(&run->InterruptDone) == 0) IoCancelIrp(run->InterruptIrp);
        if (KeReadStateEvent(&run->BulkDone) == 0) IoCancelIrp(run->BulkIrp);
        KeWaitForSingleObject(&run->InterruptDone, Executive, KernelMode, FALSE, NULL);
        KeWaitForSingleObject(&run->BulkDone, Executive, KernelMode, FALSE, NULL);
        for (PIRP irp : {run->InterruptIrp, run->BulkIrp}) {
            if (irp == NULL) continue;
            if (usb.get() != NULL)
                usb->FreeIrp(irp);
            else
                IoFreeIrp(irp);
        }
        if (run->BulkBuffer != NULL) ExFreePoolWithTag(run->BulkBuffer, m_PoolTag);
        ExFreePoolWithTag(run, m_PoolTag);
    }
    KeSetEvent(&ThreadExitedEvent, IO_NO_INCREMENT, FALSE);
}

// Handles completions until a stop request, a failed transfer or a failed
// resubmission.
VOID CUac2Hal::FollowInterruptTransfers(INTERRUPT_RUN* run) {
    PVOID objects[3] = {&run->InterruptDone, &StopEvent, &run->BulkDone};
    const ULONG count = run->HasBulk ? 3 : 2;
    for (;;) {
        const NTSTATUS wait = KeWaitForMultipleObjects(count, objects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
        if (wait == STATUS_WAIT_0) {
            if (!NT_SUCCESS(run->InterruptIrp->IoStatus.Status)) return;
            // The buffer was zeroed for this transfer: only a whole message
            // counts.
            if (run->InterruptUrb.TransferBufferLength == kMessageBytes) OnInterruptMessage(run->Message);
            IoReuseIrp(run->InterruptIrp, STATUS_NOT_SUPPORTED);
            if (!Submit(run, FALSE)) return;
        } else if (wait == STATUS_WAIT_0 + 2) {
            if (!NT_SUCCESS(run->BulkIrp->IoStatus.Status)) return;
            IoReuseIrp(run->BulkIrp, STATUS_NOT_SUPPORTED);
            if (!Submit(run, TRUE)) return;
        } else {
            // Stop, or a failed wait.
            return;
        }
    }
}

VOID CUac2Hal::OnInterruptMessage(const UCHAR* message) {
    const UCHAR info = message[0];
    const UCHAR attribute = message[1];
    const USHORT value = (USHORT)(message[2] | message[3] << 8);
    const USHORT index = (USHORT)(message[4] | message[5] << 8);
    if ((info & kOriginatorMask) != 0 || attribute != kAttributeCur || (index & 0xFF) != AcInterfaceNumber) return;
    OnInterruptChange(index >> 8, value >> 8, value & 0xFF);
}

// Passes one transfer down; FALSE when it could not be sent (its event is
// then set again: nothing is outstanding).
BOOLEAN CUac2Hal::Submit(INTERRUPT_RUN* run, BOOLEAN bulk) {
    auto* urb = bulk ? &run->BulkUrb : &run->InterruptUrb;
    UCHAR* buffer = bulk ? run->BulkBuffer : run->Message;
    const ULONG length = bulk ? kBulkBytes : kMessageBytes;
    PIRP irp = bulk ? run->BulkIrp : run->InterruptIrp;
    PKEVENT done = bulk ? &run->BulkDone : &run->InterruptDone;
    RtlZeroMemory(urb, sizeof(*urb));
    RtlZeroMemory(buffer, length);
    UsbBuildInterruptOrBulkTransferRequest(reinterpret_cast<PURB>(urb), (USHORT)sizeof(*urb),
                                           bulk ? run->BulkPipe : run->InterruptPipe, buffer, NULL, length,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, TransferDone, done, TRUE, TRUE, TRUE);
    KeClearEvent(done);
    InterfaceRef<IUsbAudioDevice> usb(GetOuterUnknown(), IID_IUsbAudioDevice);
    if (usb.get() == NULL) {
        KeSetEvent(done, IO_NO_INCREMENT, FALSE);
        return FALSE;
    }
    return NT_SUCCESS(usb->CallLowerDriver(irp));
}

NTSTATUS CUac2Hal::OnInterruptChange(ULONG entityId, ULONG controlSelector, ULONG channel) {
    ModelLock.Lock();
    CUacEntity* entity = NULL;
    NTSTATUS status = FindEntityById(entityId, &entity);
    ULONG nodeId = NODE_ID_UNSET;
    const ULONG kind = entity != NULL ? entity->GetKind() : 0;
    if (NT_SUCCESS(status)) status = entity->OnControlChange(controlSelector, channel, &nodeId);
    if (NT_SUCCESS(status)) {
        if (kind != UAC_INPUT_TERMINAL && kind != UAC_OUTPUT_TERMINAL) {
            if (nodeId != NODE_ID_UNSET && GetHalCallbackObject() != NULL) {
                AUDIOHAL_NOTIFICATION notification = {AUDIOHAL_NOTIFY_CONTROL_CHANGE, AUDIOHAL_NOTIFY_CODE, nodeId, 0};
                ExNotifyCallback(GetHalCallbackObject(), &notification, NULL);
            }
        } else if (controlSelector == kConnectorSelector) {
            // A jack change can make an endpoint present or absent.
            const ULONG engines = GetStreamEngineCount();
            for (ULONG i = 0; i < engines && NT_SUCCESS(status); ++i) {
                IStreamEngine* engine = NULL;
                status = GetStreamEngine(i, &engine);
                if (NT_SUCCESS(status)) status = engine->InstallMiniport(Fdo, NULL, AudioHal());
            }
        }
    }
    ModelLock.Unlock();
    return status;
}

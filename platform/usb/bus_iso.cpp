// Simulated USB bus: isochronous transfers on the frame clock, and bulk and
// interrupt transfers.
//
// Slots are counted in microframes from the bus's epoch (a full-speed frame
// is eight of them). A transfer's packets take one slot each, `step`
// microframes apart; the transfer completes when its last slot ends. The
// device consumes or produces each packet when the transfer completes, in
// slot order, which is all a device that never looks at the clock can see.
#include "sim/executor.h"
#include "platform/usb/bus.h"
#include "platform/usb/bus_internal.h"

namespace simusb {

namespace {

int64_t FloorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

}  // namespace

NTSTATUS SimUsbBus::IsochTransfer(PIRP irp, PURB urb) {
    auto& u = urb->UrbIsochronousTransfer;
    std::unique_lock<std::mutex> guard(lock_);
    BusPipe* pipe = urb->UrbHeader.Length >= GET_ISO_URB_SIZE(0) ? FindPipe(u.PipeHandle) : nullptr;
    USBD_STATUS refusal = USBD_STATUS_SUCCESS;
    const ULONG n = u.NumberOfPackets;
    uint8_t* buffer = TransferAddress(u.TransferBuffer, u.TransferBufferMDL);
    if (pipe == nullptr) {
        refusal = USBD_STATUS_INVALID_PIPE_HANDLE;
    } else if (pipe->type != UsbdPipeTypeIsochronous || n == 0 || n > (highSpeed_ ? 1024u : 255u) ||
               (pipe->packetsPerFrame > 0 && n % pipe->packetsPerFrame != 0) ||
               urb->UrbHeader.Length < GET_ISO_URB_SIZE(n) || (buffer == nullptr && u.TransferBufferLength > 0)) {
        refusal = USBD_STATUS_INVALID_PARAMETER;
    }
    const LONGLONG now = sim::Now();
    const int64_t frame = CurrentMicroframe() / kMicroframesPerFrame;
    int64_t first = 0;
    if (refusal == USBD_STATUS_SUCCESS && (u.TransferFlags & USBD_START_ISO_TRANSFER_ASAP)) {
        first = pipe->haveNext && SlotStart(pipe->nextSlot) > now ? pipe->nextSlot
                                                                  : (frame + 1) * kMicroframesPerFrame;
    } else if (refusal == USBD_STATUS_SUCCESS) {
        const LONG ahead = (LONG)(u.StartFrame - (ULONG)(frameBase_ + frame));
        first = (frame + ahead) * kMicroframesPerFrame;
        if (ahead > (LONG)USBD_ISO_START_FRAME_RANGE || (!pipe->queue.empty() && first < pipe->nextSlot))
            refusal = USBD_STATUS_BAD_START_FRAME;
    }
    if (refusal != USBD_STATUS_SUCCESS) {
        guard.unlock();
        return CompleteUrb(irp, urb, refusal, NtStatusForUsbd(refusal));
    }
    auto t = std::make_unique<BusTransfer>();
    t->kind = BusTransfer::Isoch;
    t->irp = irp;
    t->urb = urb;
    t->pipe = pipe;
    t->buffer = buffer;
    t->length = u.TransferBufferLength;
    t->firstSlot = first;
    t->submitted = now;
    const int64_t next = first + (int64_t)n * pipe->step;
    t->due = SlotStart(next);
    u.StartFrame = (ULONG)(frameBase_ + FloorDiv(first, kMicroframesPerFrame));
    u.ErrorCount = 0;
    pipe->haveNext = true;
    pipe->nextSlot = next;
    Schedule(t->due, [this, pipe] { ServicePipe(pipe); });
    return Hold(guard, std::move(t));
}

// Packet rules: a packet whose slot had begun when the transfer arrived is
// late and not sent. OUT: Offset + Length within the buffer and Length at
// most the payload. IN: room up to the next packet's Offset (the buffer's
// end for the last), at most the payload. The URB fails only when every
// packet failed.
void SimUsbBus::RunIsochPackets(BusTransfer* t) {
    auto& u = t->urb->UrbIsochronousTransfer;
    const BusPipe& pipe = *t->pipe;
    const UCHAR endpoint = pipe.endpoint.address;
    const ULONG n = u.NumberOfPackets;
    ULONG errors = 0;
    for (ULONG i = 0; i < n; ++i) {
        USBD_ISO_PACKET_DESCRIPTOR& p = u.IsoPacket[i];
        IsoPacketResult r{USBD_STATUS_INVALID_PARAMETER, 0};
        if (SlotStart(t->firstSlot + (int64_t)i * pipe.step) <= t->submitted) {
            r.status = USBD_STATUS_ISO_NOT_ACCESSED_LATE;
        } else if (!pipe.in()) {
            if ((uint64_t)p.Offset + p.Length <= t->length && p.Length <= pipe.payload)
                r = device_.ConsumeIsoOut(endpoint, t->buffer + p.Offset, p.Length);
        } else {
            const ULONG end = i + 1 < n ? u.IsoPacket[i + 1].Offset : t->length;
            if (p.Offset <= end && end <= t->length) {
                const ULONG room = end - p.Offset < pipe.payload ? end - p.Offset : pipe.payload;
                r = device_.ProduceIsoIn(endpoint, t->buffer + p.Offset, room);
            }
        }
        if (pipe.in()) p.Length = USBD_SUCCESS(r.status) ? r.bytes : 0;
        p.Status = r.status;
        if (!USBD_SUCCESS(r.status)) ++errors;
    }
    u.ErrorCount = errors;
    const USBD_STATUS status = errors == n ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS;
    CompleteUrb(t->irp, t->urb, status, NtStatusForUsbd(status));
}

NTSTATUS SimUsbBus::BulkOrInterruptTransfer(PIRP irp, PURB urb) {
    auto& u = urb->UrbBulkOrInterruptTransfer;
    std::unique_lock<std::mutex> guard(lock_);
    BusPipe* pipe = urb->UrbHeader.Length >= sizeof(u) ? FindPipe(u.PipeHandle) : nullptr;
    uint8_t* buffer = TransferAddress(u.TransferBuffer, u.TransferBufferMDL);
    USBD_STATUS refusal = USBD_STATUS_SUCCESS;
    if (pipe == nullptr)
        refusal = USBD_STATUS_INVALID_PIPE_HANDLE;
    else if ((pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt) ||
             (buffer == nullptr && u.TransferBufferLength > 0))
        refusal = USBD_STATUS_INVALID_PARAMETER;
    if (refusal != USBD_STATUS_SUCCESS) {
        guard.unlock();
        return CompleteUrb(irp, urb, refusal, NtStatusForUsbd(refusal));
    }
    auto t = std::make_unique<BusTransfer>();
    t->kind = BusTransfer::BulkOrInterrupt;
    t->irp = irp;
    t->urb = urb;
    t->pipe = pipe;
    t->buffer = buffer;
    t->length = u.TransferBufferLength;
    t->due = SlotStart((CurrentMicroframe() / kMicroframesPerFrame + 1) * kMicroframesPerFrame);
    // IN transfers wait for a device message (OnInMessage schedules the
    // pipe when one arrives); OUT transfers go out in the next frame.
    if (!pipe->in() || device_.PendingInMessages(pipe->endpoint.address) > 0)
        Schedule(t->due, [this, pipe] { ServicePipe(pipe); });
    return Hold(guard, std::move(t));
}

void SimUsbBus::RunBulkOrInterrupt(BusTransfer* t) {
    if (t->pipe->in()) t->urb->UrbBulkOrInterruptTransfer.TransferBufferLength = t->received;
    CompleteUrb(t->irp, t->urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

}  // namespace simusb

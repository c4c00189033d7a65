// Simulated USB bus: pipes, the pending transfers with their cancel
// routine, scheduled callbacks on the virtual clock, per-pipe completion in
// order, and the waits tests use.
//
// Ownership of a pending IRP: whoever clears its cancel routine (the bus
// claiming it to complete, or IoCancelIrp before calling the routine)
// completes it. A transfer a canceller owns stays in the bus's records
// until the cancel routine removes it.
#include <algorithm>

#include "sim/executor.h"
#include "platform/usb/bus.h"
#include "platform/usb/bus_internal.h"

namespace simusb {

namespace {

// Bytes one packet may carry: bits 0-10 of wMaxPacketSize times one plus
// the additional transactions of bits 11-12 (high speed).
ULONG PayloadOf(USHORT maxPacketSize) {
    return (ULONG)(maxPacketSize & 0x7FF) * (1 + ((maxPacketSize >> 11) & 3));
}

}  // namespace

BusPipe* SimUsbBus::FindPipe(USBD_PIPE_HANDLE handle) {
    auto it = pipes_.find(reinterpret_cast<uintptr_t>(handle));
    return it != pipes_.end() && it->second->valid ? it->second.get() : nullptr;
}

BusPipe* SimUsbBus::NewPipe(const EndpointInfo& endpoint, UCHAR interfaceNumber) {
    auto pipe = std::make_unique<BusPipe>();
    pipe->handle = 0x5C000000u + (++nextHandle_ << 6);
    pipe->endpoint = endpoint;
    pipe->type = (USBD_PIPE_TYPE)(endpoint.attributes & USB_ENDPOINT_TYPE_MASK);
    pipe->interfaceNumber = interfaceNumber;
    pipe->payload = PayloadOf(endpoint.maxPacketSize);
    if (highSpeed_ && pipe->type == UsbdPipeTypeIsochronous) {
        // bInterval 1..16 was checked by the select request.
        pipe->step = (int64_t)1 << (endpoint.interval - 1);
        pipe->packetsPerFrame = pipe->step <= kMicroframesPerFrame ? (ULONG)(kMicroframesPerFrame / pipe->step) : 0;
    }
    BusPipe* raw = pipe.get();
    pipes_[pipe->handle] = std::move(pipe);
    return raw;
}

// ------------------------------------------------------------ pending IRPs

NTSTATUS SimUsbBus::Hold(std::unique_lock<std::mutex>& guard, std::unique_ptr<BusTransfer> t) {
    PIRP irp = t->irp;
    IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[0] = this;
    BusTransfer* raw = t.get();
    if (raw->serial == 0) raw->serial = nextToken_++;
    if (raw->pipe != nullptr) raw->pipe->queue.push_back(raw);
    pending_[irp] = std::move(t);
    IoSetCancelRoutine(irp, CancelTransfer);
    std::unique_ptr<BusTransfer> cancelled;
    // Cancelled before the routine was set: IoCancelIrp found none to call.
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr) != nullptr) cancelled = Detach(raw);
    Changed();
    guard.unlock();
    if (cancelled) CompleteUrb(irp, cancelled->urb, USBD_STATUS_CANCELED, STATUS_CANCELLED);
    return STATUS_PENDING;
}

bool SimUsbBus::Claim(BusTransfer* t) { return IoSetCancelRoutine(t->irp, nullptr) != nullptr; }

std::unique_ptr<BusTransfer> SimUsbBus::Detach(BusTransfer* t) {
    if (t->pipe != nullptr) {
        auto& q = t->pipe->queue;
        q.erase(std::find(q.begin(), q.end(), t));
    }
    auto it = pending_.find(t->irp);
    std::unique_ptr<BusTransfer> mine = std::move(it->second);
    pending_.erase(it);
    Changed();
    return mine;
}

std::vector<std::unique_ptr<BusTransfer>> SimUsbBus::DetachPipe(BusPipe* pipe) {
    std::vector<std::unique_ptr<BusTransfer>> out;
    for (size_t i = 0; i < pipe->queue.size();) {
        BusTransfer* t = pipe->queue[i];
        if (!Claim(t)) {
            ++i;  // a canceller completes it
            continue;
        }
        out.push_back(Detach(t));
    }
    return out;
}

std::vector<std::unique_ptr<BusTransfer>> SimUsbBus::DetachAll() {
    std::vector<std::unique_ptr<BusTransfer>> out;
    for (auto& p : pipes_) {
        auto list = DetachPipe(p.second.get());
        for (auto& t : list) out.push_back(std::move(t));
    }
    std::vector<BusTransfer*> rest;
    for (auto& p : pending_) rest.push_back(p.second.get());
    for (BusTransfer* t : rest)
        if (Claim(t)) out.push_back(Detach(t));
    return out;
}

void SimUsbBus::FailAll(std::vector<std::unique_ptr<BusTransfer>> list, USBD_STATUS usbd, NTSTATUS status) {
    for (auto& t : list) CompleteUrb(t->irp, t->urb, usbd, status);
}

VOID SimUsbBus::CancelTransfer(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    static_cast<SimUsbBus*>(irp->Tail.Overlay.DriverContext[0])->OnCancel(irp);
}

void SimUsbBus::OnCancel(PIRP irp) {
    std::unique_ptr<BusTransfer> t;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = pending_.find(irp);
        if (it == pending_.end()) return;
        t = Detach(it->second.get());
    }
    CompleteUrb(irp, t->urb, USBD_STATUS_CANCELED, STATUS_CANCELLED);
    TrafficStopped();
}

// ------------------------------------------------------------ scheduling

// Runs fn at `due` on the DPC thread unless the bus is being destroyed.
// Called with the lock held, so the callback cannot start before the
// caller's records are in place.
void SimUsbBus::Schedule(LONGLONG due, std::function<void()> fn) {
    if (closing_) return;
    const uint64_t token = nextToken_++;
    scheduled_[token] = sim::ScheduleAt(due, [this, token, fn = std::move(fn)] {
        {
            std::lock_guard<std::mutex> guard(lock_);
            scheduled_.erase(token);
            if (closing_) {
                closed_.notify_all();
                return;
            }
            ++runningCallbacks_;
        }
        fn();
        std::lock_guard<std::mutex> guard(lock_);
        --runningCallbacks_;
        if (closing_) closed_.notify_all();
    });
}

// Completes the transfers of one pipe that are due, oldest first. Only one
// thread serves a pipe at a time (there are two DPC threads in stress
// mode); a call that finds it busy makes the server look again.
void SimUsbBus::ServicePipe(BusPipe* pipe) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (pipe->completing) {
            pipe->again = true;
            return;
        }
        pipe->completing = true;
    }
    for (;;) {
        std::vector<std::unique_ptr<BusTransfer>> due;
        {
            std::lock_guard<std::mutex> guard(lock_);
            due = TakeDue(pipe);
            if (due.empty()) {
                if (!pipe->again) {
                    pipe->completing = false;
                    return;
                }
                pipe->again = false;
                continue;
            }
        }
        for (auto& t : due) Finish(std::move(t));
    }
}

std::vector<std::unique_ptr<BusTransfer>> SimUsbBus::TakeDue(BusPipe* pipe) {
    std::vector<std::unique_ptr<BusTransfer>> out;
    const LONGLONG now = sim::Now();
    const UCHAR endpoint = pipe->endpoint.address;
    for (size_t i = 0; i < pipe->queue.size();) {
        BusTransfer* t = pipe->queue[i];
        const bool waitsForMessage = t->kind == BusTransfer::BulkOrInterrupt && pipe->in();
        if (waitsForMessage ? device_.PendingInMessages(endpoint) == 0 : t->due > now) break;
        if (!Claim(t)) {
            ++i;
            continue;
        }
        if (waitsForMessage) device_.TakeInMessage(endpoint, t->buffer, t->length, &t->received);
        out.push_back(Detach(t));
    }
    return out;
}

void SimUsbBus::Finish(std::unique_ptr<BusTransfer> t) {
    switch (t->kind) {
    case BusTransfer::ControlLate:
        FinishControl(t.get());
        break;
    case BusTransfer::Isoch:
        RunIsochPackets(t.get());
        break;
    case BusTransfer::BulkOrInterrupt:
        RunBulkOrInterrupt(t.get());
        return;
    default:
        return;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        lastTraffic_ = sim::Now();
    }
    TrafficStopped();
}

void SimUsbBus::OnInMessage(UCHAR endpoint) {
    std::lock_guard<std::mutex> guard(lock_);
    const int64_t frame = CurrentMicroframe() / kMicroframesPerFrame;
    for (auto& p : pipes_) {
        BusPipe* pipe = p.second.get();
        if (pipe->valid && pipe->endpoint.address == endpoint && !pipe->queue.empty())
            Schedule(SlotStart((frame + 1) * kMicroframesPerFrame), [this, pipe] { ServicePipe(pipe); });
    }
}

// ------------------------------------------------------------ waits

void SimUsbBus::Changed() {
    for (PKEVENT e : waiters_) KeSetEvent(e, IO_NO_INCREMENT, FALSE);
}

bool SimUsbBus::WaitUntil(const std::function<bool()>& condition, ULONG timeoutMs) {
    KEVENT changed;
    KeInitializeEvent(&changed, SynchronizationEvent, FALSE);
    const LONGLONG deadline = sim::Now() + (LONGLONG)timeoutMs * sim::kTicksPerMillisecond;
    {
        std::lock_guard<std::mutex> guard(lock_);
        waiters_.push_back(&changed);
    }
    bool met = false;
    for (;;) {
        if (condition()) {
            met = true;
            break;
        }
        const LONGLONG left = deadline - sim::Now();
        if (left <= 0) break;
        LARGE_INTEGER timeout;
        timeout.QuadPart = -left;
        KeWaitForSingleObject(&changed, Executive, KernelMode, FALSE, &timeout);
    }
    std::lock_guard<std::mutex> guard(lock_);
    waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &changed));
    return met;
}

}  // namespace simusb

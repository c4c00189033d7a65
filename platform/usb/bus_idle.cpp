// Simulated USB bus: the idle notification (selective suspend) and the
// PDO's device power state.
//
// The hub side of an idle request: once control and isochronous traffic
// has stopped for the idle delay, the client's IdleCallback runs on a
// worker thread at PASSIVE_LEVEL without the bus lock (it normally asks for
// D2 and waits for it). The request itself stays pending until cancelled,
// unless a script says otherwise. A cancel that arrives while the callback
// runs completes the request when the callback has returned, so the
// callback never runs for a request that has already completed.
#include "sim/executor.h"
#include "platform/usb/bus.h"
#include "platform/usb/bus_internal.h"

namespace simusb {

namespace {

struct IdleWorkContext {
    WORK_QUEUE_ITEM item;
    SimUsbBus* bus;
    uint64_t generation;
};

}  // namespace

NTSTATUS SimUsbBus::SubmitIdle(PIRP irp) {
    const auto& p = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    const auto* info = static_cast<const USB_IDLE_CALLBACK_INFO*>(p.Type3InputBuffer);
    if (info == nullptr || p.InputBufferLength < sizeof(USB_IDLE_CALLBACK_INFO) || info->IdleCallback == nullptr)
        return CompleteUrb(irp, nullptr, 0, STATUS_INVALID_PARAMETER);
    std::unique_lock<std::mutex> guard(lock_);
    ++idleRequests_;
    Changed();
    if (idleIrp_ != nullptr) {
        guard.unlock();
        return CompleteUrb(irp, nullptr, 0, STATUS_DEVICE_BUSY);
    }
    if (idleScript_.mode == IdleScript::Refuse) {
        const NTSTATUS status = idleScript_.status;
        guard.unlock();
        return CompleteUrb(irp, nullptr, 0, status);
    }
    idleIrp_ = irp;
    idleInfo_ = *info;  // the client may free its copy once the IRP completes
    ++idleGeneration_;
    idleCallbackQueued_ = false;
    idleCancelled_ = false;
    IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[0] = this;
    IoSetCancelRoutine(irp, CancelIdle);
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        idleIrp_ = nullptr;
        guard.unlock();
        CompleteIdle(irp, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    ArmIdleCheck();
    Changed();
    return STATUS_PENDING;
}

VOID SimUsbBus::CancelIdle(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    static_cast<SimUsbBus*>(irp->Tail.Overlay.DriverContext[0])->OnIdleCancel(irp);
}

void SimUsbBus::OnIdleCancel(PIRP irp) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (idleIrp_ != irp) return;
        if (idleCallbackRunning_) {
            idleCancelled_ = true;  // RunIdleCallback completes it
            Changed();
            return;
        }
        idleIrp_ = nullptr;
    }
    CompleteIdle(irp, STATUS_CANCELLED);
}

void SimUsbBus::CompleteIdle(PIRP irp, NTSTATUS status) {
    CompleteUrb(irp, nullptr, 0, status);
    std::lock_guard<std::mutex> guard(lock_);
    Changed();
}

bool SimUsbBus::TrafficPending() const {
    for (const auto& p : pending_)
        if (p.second->traffic()) return true;
    return false;
}

void SimUsbBus::TrafficStopped() {
    std::lock_guard<std::mutex> guard(lock_);
    ArmIdleCheck();
}

// With the lock held: makes sure an idle check runs once traffic has been
// quiet for the idle delay.
void SimUsbBus::ArmIdleCheck() {
    if (idleIrp_ == nullptr || idleCallbackQueued_ || idleCheckScheduled_ || TrafficPending()) return;
    const LONGLONG quietFrom = lastTraffic_ + (LONGLONG)idleDelayMs_ * sim::kTicksPerMillisecond;
    const LONGLONG now = sim::Now();
    idleCheckScheduled_ = true;
    Schedule(quietFrom > now ? quietFrom : now, [this] { IdleCheck(); });
}

void SimUsbBus::IdleCheck() {
    std::lock_guard<std::mutex> guard(lock_);
    idleCheckScheduled_ = false;
    if (idleIrp_ == nullptr || idleCallbackQueued_ || !plugged_ || TrafficPending()) return;
    if (sim::Now() < lastTraffic_ + (LONGLONG)idleDelayMs_ * sim::kTicksPerMillisecond) {
        ArmIdleCheck();  // traffic came and went meanwhile
        return;
    }
    idleCallbackQueued_ = true;
    ++idleWorkOutstanding_;
    auto* work = new IdleWorkContext{{}, this, idleGeneration_};
    ExInitializeWorkItem(&work->item, IdleWork, work);
    ExQueueWorkItem(&work->item, DelayedWorkQueue);
}

VOID SimUsbBus::IdleWork(PVOID context) {
    auto* work = static_cast<IdleWorkContext*>(context);
    SimUsbBus* bus = work->bus;
    const uint64_t generation = work->generation;
    delete work;
    bus->RunIdleCallback(generation);
}

void SimUsbBus::RunIdleCallback(uint64_t generation) {
    USB_IDLE_CALLBACK_INFO info{};
    bool run;
    {
        std::lock_guard<std::mutex> guard(lock_);
        run = idleIrp_ != nullptr && idleGeneration_ == generation && !idleCancelled_;
        idleCallbackRunning_ = run;
        info = idleInfo_;
    }
    if (run) info.IdleCallback(info.IdleContext);
    PIRP done = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (run) {
            ++idleCallbacks_;
            idleCallbackRunning_ = false;
            if (idleCancelled_) {
                done = idleIrp_;  // its cancel routine has already run
                status = STATUS_CANCELLED;
            } else if ((idleScript_.mode == IdleScript::CompleteAfterCallback || !plugged_) &&
                       IoSetCancelRoutine(idleIrp_, nullptr) != nullptr) {
                done = idleIrp_;
                status = plugged_ ? idleScript_.status : STATUS_DEVICE_NOT_CONNECTED;
            }
            if (done != nullptr) idleIrp_ = nullptr;
            Changed();
        }
    }
    if (done != nullptr) CompleteIdle(done, status);
    std::lock_guard<std::mutex> guard(lock_);
    --idleWorkOutstanding_;
    if (closing_) closed_.notify_all();
}

void SimUsbBus::OnDevicePower(DEVICE_POWER_STATE state) {
    std::lock_guard<std::mutex> guard(lock_);
    suspended_ = state != PowerDeviceD0;
    if (!suspended_) lastTraffic_ = sim::Now();
    Changed();
}

// ------------------------------------------------------------ settings

void SimUsbBus::SetIdleDelayMs(ULONG ms) {
    std::lock_guard<std::mutex> guard(lock_);
    idleDelayMs_ = ms;
}

void SimUsbBus::ScriptIdle(const IdleScript& script) {
    std::lock_guard<std::mutex> guard(lock_);
    idleScript_ = script;
}

bool SimUsbBus::IdleRequestPending() const {
    std::lock_guard<std::mutex> guard(lock_);
    return idleIrp_ != nullptr;
}

int SimUsbBus::IdleRequestCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return idleRequests_;
}

int SimUsbBus::IdleCallbackCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return idleCallbacks_;
}

bool SimUsbBus::suspended() const {
    std::lock_guard<std::mutex> guard(lock_);
    return suspended_;
}

ULONG SimUsbBus::SuspendedFailures() const {
    std::lock_guard<std::mutex> guard(lock_);
    return suspendedFailures_;
}

}  // namespace simusb

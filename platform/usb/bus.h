// The simulated USB bus: the physical device object's side of one
// simulated device. It serves what a USB client driver sends down its stack
// (IRP_MJ_INTERNAL_DEVICE_CONTROL with URBs and the port and idle IOCTLs,
// IRP_MN_QUERY_INTERFACE for the USBDI bus interface) and watches the
// device power IRPs that reach the PDO. Timing runs on the executor's
// virtual clock: one frame is one virtual millisecond (eight microframes at
// high speed), and every transfer that completes later completes from a
// scheduled callback on the DPC thread at DISPATCH_LEVEL.
//
// Behaviour in brief
// - Control requests are carried out inside IoCallDriver and complete there,
//   unless the device (or a fault rule) answers late or never: then they
//   pend with a cancel routine. A stall is USBD_STATUS_STALL_PID with
//   STATUS_UNSUCCESSFUL.
// - Pipe handles are never reused; stale or unknown handles, unknown URB
//   functions, short URBs and a select-interface too short for its
//   endpoints fail with STATUS_INVALID_PARAMETER at once.
// - Isochronous transfers are scheduled on slots (full speed: one packet
//   per frame; high speed: one per 2^(bInterval-1) microframes) and complete
//   at the end of their last slot, in order per pipe, never inside
//   IoCallDriver on success. The device sees each packet when its transfer
//   completes, in slot order.
// - Interrupt and bulk IN transfers pend until the device has a message;
//   OUT transfers complete at the next frame.
// - ABORT_PIPE, the pipe resets, SELECT_INTERFACE and RESET_PORT complete
//   the pending transfers they affect (STATUS_CANCELLED) before their own
//   request completes.
// - Unplug (or CYCLE_PORT) fails every pending and later request with
//   STATUS_DEVICE_NOT_CONNECTED (USBD_STATUS_DEVICE_GONE).
// - A PDO in a device power state other than D0 is suspended: URBs fail at
//   once with STATUS_DEVICE_NOT_READY (USBD_STATUS_NOT_ACCESSED) and are
//   counted.
//
// Threads: the driver may call from any thread at IRQL <= DISPATCH_LEVEL.
// The bus never holds its lock while it completes an IRP or calls the idle
// callback. Test-side calls come from managed threads at PASSIVE_LEVEL.
// Destroy the bus after the driver has left the device (the PnP harness
// first) and before the executor scope ends.
#pragma once

#include <array>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "nt/ex.h"
#include "nt/io.h"
#include "sim/pnp_harness.h"
#include "platform/usb/sim_device.h"

namespace simusb {

// One answer of GET_PORT_STATUS: the IOCTL's status and, on success, the
// port bits written through Argument1.
struct PortStatusAnswer {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG portStatus = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
};

// A fault rule of the bus. Match: each field that is set must equal the
// request's (endpoint: the pipe's endpoint address, 0 for the default
// pipe; requests without a pipe never match an endpoint). Action, after
// `skip` matches were let through, `count` times (-1: for ever):
//   Fail          complete at once with status / usbdStatus
//   NoAnswer      pend until cancelled (or the device is unplugged)
//   Late          pend, then carry the request out after delayMs
//   NotConnected  complete with STATUS_DEVICE_NOT_CONNECTED
struct BusFaultRule {
    std::optional<ULONG> ioctl;
    std::optional<USHORT> urbFunction;
    std::optional<UCHAR> endpoint;
    enum Action { Fail, NoAnswer, Late, NotConnected } action = Fail;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    USBD_STATUS usbdStatus = USBD_STATUS_INTERNAL_HC_ERROR;
    ULONG delayMs = 0;
    ULONG skip = 0;
    LONG count = -1;
};

// How the bus answers IRP_MN_QUERY_INTERFACE for the USBDI interface.
enum class BusInterfaceMode { Normal, Refuse, NullContext };

// How the bus answers an idle notification.
//   Pend                  call back once traffic has stopped; the IRP stays
//                         pending until cancelled (the usual hub behaviour)
//   Refuse                complete at once with `status`
//   CompleteAfterCallback call back, then complete with `status`
struct IdleScript {
    enum Mode { Pend, Refuse, CompleteAfterCallback } mode = Pend;
    NTSTATUS status = STATUS_SUCCESS;
};

struct BusPipe;
struct BusTransfer;

class SimUsbBus final : public sim::BusDeviceHandler {
public:
    // The device must outlive the bus. The frame clock starts at frame 0
    // now; SetFrameNumber moves it.
    explicit SimUsbBus(SimDevice& device);
    // Fails whatever is still pending with STATUS_DEVICE_NOT_CONNECTED,
    // cancels the bus's scheduled callbacks and waits for running ones.
    ~SimUsbBus() override;
    SimUsbBus(const SimUsbBus&) = delete;
    SimUsbBus& operator=(const SimUsbBus&) = delete;

    bool HandleIrp(PDEVICE_OBJECT pdo, PIRP irp, NTSTATUS* status) override;

    SimDevice& device() { return device_; }
    bool highSpeed() const { return highSpeed_; }

    // ---- frame clock ---------------------------------------------------
    // The 32-bit frame number of the current frame (QueryBusTime's answer).
    ULONG FrameNumber() const;
    // Makes the current frame carry `frame`; later frames count on from it
    // (and wrap at 2^32).
    void SetFrameNumber(ULONG frame);
    // Interrupt time at which the current frame began.
    LONGLONG FrameStart() const;

    // ---- port ----------------------------------------------------------
    // The device leaves the bus: every pending and later request fails
    // with STATUS_DEVICE_NOT_CONNECTED (scripted port answers excepted).
    void Unplug();
    bool plugged() const;
    // GET_PORT_STATUS answers these in order, then its default: connected
    // and enabled while plugged, STATUS_DEVICE_NOT_CONNECTED once gone.
    void ScriptPortStatus(std::vector<PortStatusAnswer> answers);
    int PortStatusQueries() const;
    int ResetPortCount() const;
    int CyclePortCount() const;

    // ---- USBDI bus interface -------------------------------------------
    void SetBusInterfaceMode(BusInterfaceMode mode);
    // QueryBusTime returns `status` (STATUS_SUCCESS restores it) and leaves
    // the frame untouched.
    void FailQueryBusTime(NTSTATUS status);
    // References handed out through QUERY_INTERFACE and not yet dropped.
    LONG BusInterfaceReferences() const;

    // ---- faults --------------------------------------------------------
    void AddFaultRule(const BusFaultRule& rule);
    void ClearFaultRules();

    // ---- idle notification and power -----------------------------------
    // Virtual time between the end of control and isochronous traffic and
    // the idle callback (default 0).
    void SetIdleDelayMs(ULONG ms);
    void ScriptIdle(const IdleScript& script);
    bool IdleRequestPending() const;
    // Idle notifications received (refused and busy ones included).
    int IdleRequestCount() const;
    int IdleCallbackCount() const;
    // The PDO's device power state is not D0.
    bool suspended() const;
    // URBs refused because the device was suspended.
    ULONG SuspendedFailures() const;

    // ---- inspection and waits ------------------------------------------
    // The current handle of the pipe for `endpoint` (NULL when none).
    USBD_PIPE_HANDLE PipeHandle(UCHAR endpoint) const;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle() const;
    // Transfers pending on the current pipe of `endpoint`.
    size_t PendingTransfers(UCHAR endpoint) const;
    // Control requests held pending (late or never answered).
    size_t PendingControlRequests() const;
    // URBs received per URB_FUNCTION_* code (all of them, failed included).
    ULONG UrbCount(USHORT function) const;
    // Waits on the virtual clock until `condition` holds (re-checked at
    // every change of the bus's state), at most timeoutMs of virtual time.
    // PASSIVE_LEVEL, managed thread; the condition may call the bus.
    bool WaitUntil(const std::function<bool()>& condition, ULONG timeoutMs = 60000);

private:
    friend struct BusAccess;

    // bus.cpp: dispatch, control requests, port, faults, bus interface.
    NTSTATUS DispatchInternal(PIRP irp, bool applyRules);
    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    NTSTATUS ApplyRule(PIRP irp, PURB urb, const BusFaultRule& rule);
    std::optional<BusFaultRule> MatchRule(ULONG ioctl, PURB urb);
    NTSTATUS ControlRequest(PIRP irp, PURB urb);
    NTSTATUS PortStatus(PIRP irp);
    NTSTATUS ResetPort(PIRP irp);
    NTSTATUS CyclePort(PIRP irp);
    NTSTATUS QueryInterface(PIRP irp);
    void FinishControl(BusTransfer* t);

    // bus_config.cpp: configuration, interfaces, pipe requests.
    struct ChosenInterface {
        PUSBD_INTERFACE_INFORMATION info;
        const AltSetting* alt;
    };
    NTSTATUS SelectConfiguration(PIRP irp, PURB urb);
    NTSTATUS SelectInterface(PIRP irp, PURB urb);
    NTSTATUS PipeRequest(PIRP irp, PURB urb);
    bool CollectInterfaces(PURB urb, const ConfigLayout& layout, std::vector<ChosenInterface>* chosen);
    void OpenInterface(PUSBD_INTERFACE_INFORMATION info, const AltSetting& alt,
                       std::vector<std::unique_ptr<BusTransfer>>* aborted);

    // bus_transfer.cpp: pipes, pending transfers, scheduling, completion.
    BusPipe* FindPipe(USBD_PIPE_HANDLE handle);
    BusPipe* NewPipe(const EndpointInfo& endpoint, UCHAR interfaceNumber);
    NTSTATUS Hold(std::unique_lock<std::mutex>& guard, std::unique_ptr<BusTransfer> t);
    bool Claim(BusTransfer* t);
    std::unique_ptr<BusTransfer> Detach(BusTransfer* t);
    std::vector<std::unique_ptr<BusTransfer>> DetachPipe(BusPipe* pipe);
    std::vector<std::unique_ptr<BusTransfer>> DetachAll();
    void FailAll(std::vector<std::unique_ptr<BusTransfer>> list, USBD_STATUS usbd, NTSTATUS status);
    void Schedule(LONGLONG due, std::function<void()> fn);
    void ServicePipe(BusPipe* pipe);
    std::vector<std::unique_ptr<BusTransfer>> TakeDue(BusPipe* pipe);
    void Finish(std::unique_ptr<BusTransfer> t);
    static VOID CancelTransfer(PDEVICE_OBJECT device, PIRP irp);
    void OnCancel(PIRP irp);
    void OnInMessage(UCHAR endpoint);
    void Changed();

    // bus_iso.cpp: isochronous and bulk/interrupt transfers.
    NTSTATUS IsochTransfer(PIRP irp, PURB urb);
    NTSTATUS BulkOrInterruptTransfer(PIRP irp, PURB urb);
    void RunIsochPackets(BusTransfer* t);
    void RunBulkOrInterrupt(BusTransfer* t);
    LONGLONG SlotStart(int64_t microframe) const;
    int64_t CurrentMicroframe() const;

    // bus_idle.cpp: idle notification, device power.
    NTSTATUS SubmitIdle(PIRP irp);
    static VOID CancelIdle(PDEVICE_OBJECT device, PIRP irp);
    void OnIdleCancel(PIRP irp);
    void CompleteIdle(PIRP irp, NTSTATUS status);
    void TrafficStopped();
    void ArmIdleCheck();
    void IdleCheck();
    static VOID IdleWork(PVOID context);
    void RunIdleCallback(uint64_t generation);
    bool TrafficPending() const;
    void OnDevicePower(DEVICE_POWER_STATE state);

    SimDevice& device_;
    const bool highSpeed_;
    const LONGLONG epoch_;  // interrupt time of microframe 0

    mutable std::mutex lock_;
    std::condition_variable closed_;  // waits of the destructor
    bool closing_ = false;
    int runningCallbacks_ = 0;
    uint64_t nextToken_ = 1;
    std::map<uint64_t, uint64_t> scheduled_;  // token -> executor id
    std::vector<PKEVENT> waiters_;

    int64_t frameBase_ = 0;  // frame number = frameBase_ + frames since epoch_
    bool plugged_ = true;
    std::vector<PortStatusAnswer> portScript_;
    int portQueries_ = 0, resets_ = 0, cycles_ = 0;
    BusInterfaceMode busInterfaceMode_ = BusInterfaceMode::Normal;
    NTSTATUS busTimeStatus_ = STATUS_SUCCESS;
    LONG busInterfaceRefs_ = 0;
    std::vector<BusFaultRule> rules_;
    std::array<ULONG, 0x40> urbCounts_{};

    // Configuration: pipes are never erased, so handles stay unique and a
    // BusPipe pointer stays valid for the bus's life.
    ConfigLayout layout_;
    uintptr_t configurationHandle_ = 0;
    std::map<UCHAR, UCHAR> currentAlternate_;
    std::map<uintptr_t, std::unique_ptr<BusPipe>> pipes_;
    uintptr_t nextHandle_ = 0;
    std::unordered_map<PIRP, std::unique_ptr<BusTransfer>> pending_;

    // Idle notification and power.
    ULONG idleDelayMs_ = 0;
    IdleScript idleScript_;
    PIRP idleIrp_ = nullptr;
    USB_IDLE_CALLBACK_INFO idleInfo_{};
    bool idleCallbackQueued_ = false, idleCallbackRunning_ = false, idleCancelled_ = false;
    bool idleCheckScheduled_ = false;
    int idleWorkOutstanding_ = 0;
    int idleCallbacks_ = 0;
    int idleRequests_ = 0;
    uint64_t idleGeneration_ = 0;
    LONGLONG lastTraffic_ = 0;
    bool suspended_ = false;
    ULONG suspendedFailures_ = 0;
};

// Maps a URB's USBD status to the IRP status the bus completes it with.
NTSTATUS NtStatusForUsbd(USBD_STATUS status);

}  // namespace simusb

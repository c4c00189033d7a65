// CIdleControl: selective suspend of the adapter. When the device's
// "Device Parameters" key holds a nonzero "SelectiveSuspendEnabled", a
// periodic timer (first after 5 s, then every 5 s) checks whether nothing is
// in flight and no stream uses a nonzero alternate setting; if so it sends
// the USB idle notification, and when the hub calls back it asks for D2.
// Every IRP the driver receives passes PreprocessIrp first, which cancels an
// idle request that is out and waits briefly until the device is back.
//
// The adapter embeds one and answers its owner questions. Lifetime: the
// constructor initialises the lock, the events (signalled), the timer and
// its DPC, so that Shutdown is safe whatever happened before; Start arms
// the machinery; Shutdown (the adapter destructor, before anything it
// refers to is freed, and again at the destructor's end) stops it and
// waits until no timer, DPC, work item, idle IRP or power request refers
// to the adapter.
#pragma once

#include "adapter/base/pool_new.h"
#include "adapter/usb/usb_transport.h"
#include "nt/io.h"
#include "nt/zw.h"

// What selective suspend asks of the adapter that owns it.
class IIdleOwner {
public:
    virtual PDEVICE_OBJECT IdleFdo() = 0;
    virtual PDEVICE_OBJECT IdlePdo() = 0;
    virtual PDEVICE_OBJECT IdleLowerDevice() = 0;
    // The adapter's stored device power state (D0 while running).
    virtual DEVICE_POWER_STATE IdlePowerState() = 0;

protected:
    ~IIdleOwner() = default;
};

class CIdleControl final : public CPoolObject {
public:
    CIdleControl(IIdleOwner* owner, CUsbTransport* transport);
    // Runs Shutdown.
    ~CIdleControl();
    CIdleControl(const CIdleControl&) = delete;
    CIdleControl& operator=(const CIdleControl&) = delete;

    // Adapter Init, after the hardware start: reads "SelectiveSuspendEnabled",
    // resets the idle IRP's references and the transport's counters, and
    // arms the timer when the start succeeded and the value is nonzero.
    // PASSIVE_LEVEL.
    void Start(BOOLEAN initSucceeded);

    // The gate of every IRP the driver's dispatch routines receive (PnP
    // start excepted): cancels an idle request that is out and waits at
    // most 500 ms for it and 500 ms for a D0 request it caused. Always
    // STATUS_SUCCESS. PASSIVE_LEVEL.
    NTSTATUS PreprocessIrp(PIRP irp);

    // Nothing in flight (InFlightCount 1) and no busy stream.
    BOOLEAN IsIdle();
    // Cancels an idle request that is out, unless the device is idle.
    void CancelIdleRequest();
    // Sends the idle notification; PASSIVE_LEVEL (the check's work item).
    NTSTATUS SubmitIdleRequest();

    // Stops the machinery: no re-arm and no new request from here on, the
    // timer cancelled, queued DPCs flushed, queued checks waited for, an
    // idle request still out cancelled and waited for, a D0 request waited
    // for. May be called again. PASSIVE_LEVEL.
    void Shutdown();

    // Reads a value of at most 4 bytes (and at most `size`) from the
    // device's hardware key "...\Enum\<hardware ID>\<instance>\Device
    // Parameters", trying each hardware ID in turn. *out is left alone
    // when no key has it (STATUS_OBJECT_NAME_NOT_FOUND). PASSIVE_LEVEL.
    NTSTATUS ReadDeviceParameter(PCWSTR valueName, ULONG size, PULONG out);

    BOOLEAN IdleTimerEnabled() const { return m_IdleTimerEnabled != 0; }

private:
    static KDEFERRED_ROUTINE IdleTimerDpc;
    void QueueIdleCheck();
    static IO_WORKITEM_ROUTINE IdleCheckWorkItem;
    void IdleCheck();
    void CheckDone();
    static VOID UsbIdleCallback(PVOID context);
    void RequestLowPowerState();
    static REQUEST_POWER_COMPLETE LowPowerDone;
    static REQUEST_POWER_COMPLETE PowerUpDone;
    static IO_COMPLETION_ROUTINE IdleRequestCompletion;
    void OnIdleRequestComplete(PIRP irp);
    void CancelIdleIrp(BOOLEAN evenWhenIdle);
    void DropIdleIrpReference(PIRP irp);
    void FinishIdleIrp(PIRP irp);
    void ArmTimer();
    NTSTATUS QueryHardwareIds(PWCHAR* ids);
    NTSTATUS QueryInstanceName(PKEY_BASIC_INFORMATION* instance);
    NTSTATUS ReadFromKey(PCWSTR path, PCWSTR valueName, ULONG size, PULONG out);

    IIdleOwner* m_Owner;
    CUsbTransport* m_Transport;

    PUSB_IDLE_CALLBACK_INFO m_IdleCallbackInfo;  // while an idle request is out
    PIRP volatile m_IdleIrp;                     // the idle IRP not yet taken
    volatile LONG m_IdleRequestPending;          // until the idle IRP is freed
    volatile LONG m_IdleIrpRefs;                 // completion + canceller
    KSPIN_LOCK m_IdleSpinLock;
    KEVENT m_IdleRequestDone;                    // no idle request exists
    KEVENT m_PowerUpDone;                        // no D0 request of ours in progress
    KTIMER m_IdleTimer;
    KDPC m_IdleDpc;
    KEVENT m_IdleCheckDone;                      // no check queued or running
    ULONG m_IdleTimerEnabled;
    // Under m_IdleSpinLock: set by Shutdown; checks queued and not finished.
    BOOLEAN m_Stopping;
    LONG m_PendingChecks;
};

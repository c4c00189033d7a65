// IUsbAudioDevice: the adapter's USB transport interface. Every USB request
// of the driver goes through it: the stored descriptors and configuration,
// synchronous URB submission with its time-out, the IRPs callers use for
// asynchronous transfers, the bus interface (frame number, high speed),
// presence and port recovery, and the busy count that keeps an active
// device out of selective suspend.
//
// IRQL: CallLowerDriver, FreeIrp, GetCurrentFrameNumber and IsHighSpeed are
// resident and may be called at DISPATCH_LEVEL (completion routines); every
// other operation runs at PASSIVE_LEVEL.
#pragma once

#include "adapter/base/unknown.h"
#include "nt/io.h"
#include "usb/usb_defs.h"

// {4E0BFAF2-66CC-40AC-8203-C3C4D08CD4FF}
inline constexpr GUID IID_IUsbAudioDevice = {
    0x4E0BFAF2, 0x66CC, 0x40AC, {0x82, 0x03, 0xC3, 0xC4, 0xD0, 0x8C, 0xD4, 0xFF}};

struct IUsbAudioDevice : public IUnknown {
    // The whole configuration descriptor, wTotalLength bytes; the adapter
    // owns it until it is destroyed.
    virtual PUSB_CONFIGURATION_DESCRIPTOR GetConfigurationDescriptor() = 0;
    virtual USBD_CONFIGURATION_HANDLE GetConfigurationHandle() = 0;
    virtual UCHAR GetAudioControlInterfaceNumber() = 0;
    virtual NTSTATUS SetDevicePresent(BOOLEAN present) = 0;
    // IoCallDriver to the device below the FDO; the caller prepared the next
    // stack location and owns the IRP.
    virtual NTSTATUS CallLowerDriver(PIRP irp) = 0;
    // Sends one URB and waits for it, at most 500 ms before cancelling it.
    // The URB's own status is the caller's to read.
    virtual NTSTATUS SubmitUrbSync(PURB urb) = 0;
    // *frame = 0, then the bus's 32-bit frame number (1 ms frames).
    virtual NTSTATUS GetCurrentFrameNumber(PULONG frame) = 0;
    // An IRP with room for the adapter's location and the stack below; NULL
    // without memory. Freed with FreeIrp.
    virtual PIRP AllocateIrp() = 0;
    virtual NTSTATUS FreeIrp(PIRP irp) = 0;
    virtual BOOLEAN IsHighSpeed() = 0;
    // TRUE when the device is gone (recovering it when its port allows).
    virtual BOOLEAN CheckPresenceAndRecover() = 0;
    // Cycles the port at most once in the adapter's life; TRUE when the
    // device is gone.
    virtual BOOLEAN CyclePortOnce() = 0;
    virtual PDEVICE_OBJECT GetLowerDeviceObject() = 0;
    // Streams count themselves busy while they use a nonzero alternate
    // setting; both return the new count.
    virtual LONG BusyAddRef() = 0;
    virtual LONG BusyRelease() = 0;
    // Chooses, creates and aggregates the device-family model.
    virtual NTSTATUS CreateFamilyModel() = 0;

protected:
    ~IUsbAudioDevice() = default;
};
typedef IUsbAudioDevice* PUSBAUDIODEVICE;

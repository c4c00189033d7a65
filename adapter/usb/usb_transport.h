// CUsbTransport: the USB side of the adapter object. It holds the device's
// descriptors, its configuration and interfaces, the link to the USB stack
// below the FDO (lower device, bus interface), the presence flag and the
// port-recovery state, and the two counters selective suspend reads
// (InFlightCount, BusyCount). The adapter embeds one, forwards its
// IUsbAudioDevice operations to it (all but CreateFamilyModel, which is
// the adapter's own) and sets the Audio Control interface number and the
// model's power interface once the model exists.
//
// Start-up, at PASSIVE_LEVEL in the PnP thread: Init, ReadDescriptors,
// SelectConfiguration, QueryBusInterface; each returns its first failure.
// The destructor drops the bus interface reference and frees the stored
// descriptors and interface copies.
#pragma once

#include "adapter/base/mutex_lock.h"
#include "adapter/base/pool_new.h"
#include "nt/io.h"
#include "portcls/portcls_interfaces.h"
#include "usb/usb_defs.h"

// Pool tag of everything the transport allocates.
constexpr ULONG kUsbTransportTag = MakePoolTag("USBd");

class CUsbTransport final : public CPoolObject {
public:
    CUsbTransport();
    ~CUsbTransport();
    CUsbTransport(const CUsbTransport&) = delete;
    CUsbTransport& operator=(const CUsbTransport&) = delete;

    // The device below the FDO receives every request; IRPs get the FDO's
    // stack size + 1 locations. The device counts as present from here on.
    void Init(PDEVICE_OBJECT fdo, PDEVICE_OBJECT lowerDevice);

    // ---- start-up steps --------------------------------------------------
    // Device descriptor (18 bytes of type 1), then the configuration: 9
    // bytes of type 2 with wTotalLength >= 9, then exactly wTotalLength
    // bytes repeating that wTotalLength. Anything else is
    // STATUS_DEVICE_CONFIGURATION_ERROR and stores nothing.
    NTSTATUS ReadDescriptors();
    // Selects the configuration with the alternate-setting-0 interfaces
    // found (numbers 0..255, at most bNumInterfaces of them) and keeps a
    // copy of each interface's information.
    NTSTATUS SelectConfiguration();
    // IRP_MN_QUERY_INTERFACE for the USBDI bus interface (Version 1, 0x48
    // bytes); a refusal or a NULL BusContext is STATUS_UNSUCCESSFUL.
    NTSTATUS QueryBusInterface();

    // ---- IUsbAudioDevice operations ---------------------------------------
    PUSB_CONFIGURATION_DESCRIPTOR GetConfigurationDescriptor() const { return m_ConfigurationDescriptor; }
    USBD_CONFIGURATION_HANDLE GetConfigurationHandle() const { return m_ConfigurationHandle; }
    UCHAR GetAudioControlInterfaceNumber() const { return m_AcInterfaceNumber; }
    NTSTATUS SetDevicePresent(BOOLEAN present);
    NTSTATUS CallLowerDriver(PIRP irp);
    NTSTATUS SubmitUrbSync(PURB urb);
    NTSTATUS GetCurrentFrameNumber(PULONG frame);
    PIRP AllocateIrp();
    NTSTATUS FreeIrp(PIRP irp);
    BOOLEAN IsHighSpeed() const { return m_HighSpeed; }
    BOOLEAN CheckPresenceAndRecover();
    BOOLEAN CyclePortOnce();
    PDEVICE_OBJECT GetLowerDeviceObject() const { return m_LowerDevice; }
    LONG BusyAddRef() { return InterlockedIncrement(&m_BusyCount); }
    LONG BusyRelease() { return InterlockedDecrement(&m_BusyCount); }

    // ---- set by the adapter ----------------------------------------------
    void SetAudioControlInterfaceNumber(UCHAR number) { m_AcInterfaceNumber = number; }
    // The model's power interface (not counted); recovery resets without
    // D3/D0 while it is NULL.
    void SetModelPower(PADAPTERPOWERMANAGEMENT modelPower) { m_ModelPower = modelPower; }

    // ---- read by the adapter and the models --------------------------------
    USHORT VendorId() const { return m_VendorId; }
    USHORT ProductId() const { return m_ProductId; }
    UCHAR ManufacturerStringIndex() const { return m_ManufacturerStringIndex; }
    UCHAR ProductStringIndex() const { return m_ProductStringIndex; }
    ULONG InterfaceCount() const { return m_InterfaceCount; }
    // Copy of the n-th interface's information after SELECT_CONFIGURATION.
    PUSBD_INTERFACE_INFORMATION InterfaceInfo(ULONG index) const;
    BOOLEAN DevicePresent() const { return __atomic_load_n(&m_DevicePresent, __ATOMIC_SEQ_CST); }
    const USB_BUS_INTERFACE_USBDI_V1& BusInterface() const { return m_UsbdiInterface; }

    // ---- selective suspend -------------------------------------------------
    // 1 at rest, +1 per SubmitUrbSync in progress and per IRP in the gate.
    volatile LONG* InFlightCounter() { return &m_InFlightCount; }
    LONG BusyCount() const { return m_BusyCount; }
    // InFlightCount = 1, BusyCount = 0 (adapter Init).
    void ResetCounters();

private:
    NTSTATUS ReadDescriptor(PURB urb, UCHAR type, PVOID buffer, ULONG length, PULONG received);
    NTSTATUS CopyInterfaces(PURB request, ULONG count);
    NTSTATUS SendPortRequest(ULONG ioctl, PVOID argument1, BOOLEAN* built);
    void ResetPortAndModel();
    void FreeInterfaces();

    PDEVICE_OBJECT m_LowerDevice;
    CCHAR m_IrpStackSize;
    PUSB_CONFIGURATION_DESCRIPTOR m_ConfigurationDescriptor;
    USBD_CONFIGURATION_HANDLE m_ConfigurationHandle;
    PUSBD_INTERFACE_INFORMATION* m_InterfaceInfo;
    ULONG m_InterfaceCount;
    USHORT m_VendorId, m_ProductId;
    UCHAR m_ManufacturerStringIndex, m_ProductStringIndex;
    BOOLEAN m_DevicePresent;
    UCHAR m_AcInterfaceNumber;
    BOOLEAN m_HighSpeed;
    USB_BUS_INTERFACE_USBDI_V1 m_UsbdiInterface;
    volatile LONG m_PortCycled;
    CMutexLock m_PortRecoveryLock;
    PADAPTERPOWERMANAGEMENT m_ModelPower;
    volatile LONG m_InFlightCount;
    volatile LONG m_BusyCount;
};

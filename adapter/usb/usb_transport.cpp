// CUsbTransport: synchronous URBs with their time-out, the start-up steps
// (descriptors, configuration, bus interface), presence and port recovery.
#include "adapter/usb/usb_transport.h"

#include <cstring>

#include "nt/ex.h"
#include "nt/ke.h"
#include "usb/usbd.h"

namespace {

// Time a synchronous URB may take before it is cancelled (100 ns units).
constexpr LONGLONG kSubmitTimeout = -500LL * 10000;
// Pause between the two port-status queries of a recovery.
constexpr LONGLONG kRecoveryPause = -100LL * 10000;

constexpr ULONG kDeviceDescriptorLength = sizeof(USB_DEVICE_DESCRIPTOR);
constexpr ULONG kConfigurationHeaderLength = sizeof(USB_CONFIGURATION_DESCRIPTOR);
constexpr USHORT kDescriptorRequestLength = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);

// Completion routine of the IRPs the transport waits for: signals the event
// and keeps the IRP, which the waiter frees.
NTSTATUS SyncIrpCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

USHORT TotalLength(const void* configuration) {
    const auto* b = static_cast<const UCHAR*>(configuration);
    return (USHORT)(b[2] | b[3] << 8);
}

}  // namespace

CUsbTransport::CUsbTransport()
    : m_LowerDevice(NULL),
      m_IrpStackSize(0),
      m_ConfigurationDescriptor(NULL),
      m_ConfigurationHandle(NULL),
      m_InterfaceInfo(NULL),
      m_InterfaceCount(0),
      m_VendorId(0),
      m_ProductId(0),
      m_ManufacturerStringIndex(0),
      m_ProductStringIndex(0),
      m_DevicePresent(FALSE),
      m_AcInterfaceNumber(0),
      m_HighSpeed(FALSE),
      m_UsbdiInterface(),
      m_PortCycled(0),
      m_ModelPower(NULL),
      m_InFlightCount(1),
      m_BusyCount(0) {}

CUsbTransport::~CUsbTransport() {
    // The bus interface was handed out referenced.
    if (m_UsbdiInterface.BusContext != NULL && m_UsbdiInterface.InterfaceDereference != NULL)
        m_UsbdiInterface.InterfaceDereference(m_UsbdiInterface.BusContext);
    m_UsbdiInterface.BusContext = NULL;
    FreeInterfaces();
    if (m_ConfigurationDescriptor != NULL) ExFreePoolWithTag(m_ConfigurationDescriptor, kUsbTransportTag);
    m_ConfigurationDescriptor = NULL;
    m_ConfigurationHandle = NULL;
}

void CUsbTransport::Init(PDEVICE_OBJECT fdo, PDEVICE_OBJECT lowerDevice) {
    m_IrpStackSize = (CCHAR)(fdo->StackSize + 1);
    m_LowerDevice = lowerDevice;
    SetDevicePresent(TRUE);
}

void CUsbTransport::ResetCounters() {
    InterlockedExchange(&m_InFlightCount, 1);
    InterlockedExchange(&m_BusyCount, 0);
}

NTSTATUS CUsbTransport::SetDevicePresent(BOOLEAN present) {
    __atomic_store_n(&m_DevicePresent, present, __ATOMIC_SEQ_CST);
    return STATUS_SUCCESS;
}

PUSBD_INTERFACE_INFORMATION CUsbTransport::InterfaceInfo(ULONG index) const {
    return index < m_InterfaceCount ? m_InterfaceInfo[index] : NULL;
}

// ------------------------------------------------------------ requests

NTSTATUS CUsbTransport::CallLowerDriver(PIRP irp) { return IoCallDriver(m_LowerDevice, irp); }

PIRP CUsbTransport::AllocateIrp() { return IoAllocateIrp(m_IrpStackSize, FALSE); }

NTSTATUS CUsbTransport::FreeIrp(PIRP irp) {
    IoFreeIrp(irp);
    return STATUS_SUCCESS;
}

NTSTATUS CUsbTransport::SubmitUrbSync(PURB urb) {
    PAGED_CODE();
    if (!__atomic_load_n(&m_DevicePresent, __ATOMIC_SEQ_CST)) return STATUS_UNSUCCESSFUL;
    PIRP irp = IoAllocateIrp(m_IrpStackSize, FALSE);
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetNextIrpStackLocation(irp);  // the first location is the adapter's own
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, SyncIrpCompletion, &done, TRUE, TRUE, TRUE);
    InterlockedIncrement(&m_InFlightCount);
    NTSTATUS status = IoCallDriver(m_LowerDevice, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = kSubmitTimeout;
        if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            IoCancelIrp(irp);
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        }
        status = irp->IoStatus.Status;
    }
    if (status == STATUS_DEVICE_NOT_CONNECTED) SetDevicePresent(FALSE);
    IoFreeIrp(irp);
    InterlockedDecrement(&m_InFlightCount);
    return status;
}

NTSTATUS CUsbTransport::GetCurrentFrameNumber(PULONG frame) {
    *frame = 0;
    // Without a bus interface there is no frame clock to ask.
    if (m_UsbdiInterface.BusContext == NULL || m_UsbdiInterface.QueryBusTime == NULL) return STATUS_UNSUCCESSFUL;
    return m_UsbdiInterface.QueryBusTime(m_UsbdiInterface.BusContext, frame);
}

// ------------------------------------------------------------ descriptors

NTSTATUS CUsbTransport::ReadDescriptor(PURB urb, UCHAR type, PVOID buffer, ULONG length, PULONG received) {
    std::memset(urb, 0, kDescriptorRequestLength);
    UsbBuildGetDescriptorRequest(urb, kDescriptorRequestLength, type, 0, 0, buffer, NULL, length, NULL);
    const NTSTATUS status = SubmitUrbSync(urb);
    *received = urb->UrbControlDescriptorRequest.TransferBufferLength;
    return status;
}

NTSTATUS CUsbTransport::ReadDescriptors() {
    PAGED_CODE();
    auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, kDescriptorRequestLength, kUsbTransportTag));
    auto device = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, kDeviceDescriptorLength, kUsbTransportTag));
    auto header = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, kConfigurationHeaderLength, kUsbTransportTag));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    ULONG received = 0;
    if (urb != NULL && device != NULL && header != NULL)
        status = ReadDescriptor(urb, USB_DEVICE_DESCRIPTOR_TYPE, device, kDeviceDescriptorLength, &received);
    // Only what the device really sent counts: a short or foreign answer
    // would leave pool bytes in the identity and lengths.
    if (NT_SUCCESS(status) && (received != kDeviceDescriptorLength || device[1] != USB_DEVICE_DESCRIPTOR_TYPE))
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
    if (NT_SUCCESS(status)) {
        const auto* d = reinterpret_cast<const USB_DEVICE_DESCRIPTOR*>(device);
        m_VendorId = d->idVendor;
        m_ProductId = d->idProduct;
        m_ManufacturerStringIndex = d->iManufacturer;
        m_ProductStringIndex = d->iProduct;
        status = ReadDescriptor(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, header, kConfigurationHeaderLength, &received);
    }
    USHORT total = 0;
    if (NT_SUCCESS(status)) {
        total = TotalLength(header);
        if (received != kConfigurationHeaderLength || header[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
            total < kConfigurationHeaderLength)
            status = STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    PUCHAR full = NULL;
    if (NT_SUCCESS(status)) {
        full = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, total, kUsbTransportTag));
        status = full == NULL ? STATUS_INSUFFICIENT_RESOURCES
                              : ReadDescriptor(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, full, total, &received);
    }
    // The second read must bring exactly the length the first announced.
    if (NT_SUCCESS(status) &&
        (received != total || full[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE || TotalLength(full) != total))
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
    if (NT_SUCCESS(status)) {
        m_ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(full);
    } else if (full != NULL) {
        ExFreePoolWithTag(full, kUsbTransportTag);
    }
    if (header != NULL) ExFreePoolWithTag(header, kUsbTransportTag);
    if (device != NULL) ExFreePoolWithTag(device, kUsbTransportTag);
    if (urb != NULL) ExFreePoolWithTag(urb, kUsbTransportTag);
    return status;
}

// ------------------------------------------------------------ configuration

NTSTATUS CUsbTransport::SelectConfiguration() {
    PAGED_CODE();
    PUSB_CONFIGURATION_DESCRIPTOR config = m_ConfigurationDescriptor;
    if (config == NULL) return STATUS_UNSUCCESSFUL;
    const ULONG wanted = config->bNumInterfaces;
    const SIZE_T listBytes = (wanted + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    auto list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(ExAllocatePoolWithTag(NonPagedPoolNx, listBytes, kUsbTransportTag));
    if (list == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(list, 0, listBytes);
    // A device may number its interfaces with gaps (0, 2, 3) or announce
    // more than it has: the walk, the array and the count use what was found.
    ULONG found = 0;
    for (LONG number = 0; number <= 255 && found < wanted; ++number) {
        PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(config, config, number, 0, -1, -1, -1);
        if (d != NULL) list[found++].InterfaceDescriptor = d;
    }
    NTSTATUS status = STATUS_DEVICE_CONFIGURATION_ERROR;
    PURB request = found == 0 ? NULL : USBD_CreateConfigurationRequestEx(config, list);
    if (found > 0 && request == NULL) status = STATUS_INSUFFICIENT_RESOURCES;
    if (request != NULL) {
        PUSBD_INTERFACE_INFORMATION first = list[0].Interface;
        for (ULONG i = 0; i < first->NumberOfPipes; ++i) {
            first->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            first->Pipes[i].PipeFlags = 0;
            first->Pipes[i].PipeHandle = NULL;
        }
        status = SubmitUrbSync(request);
        if (NT_SUCCESS(status)) status = CopyInterfaces(request, found);
        if (NT_SUCCESS(status)) m_ConfigurationHandle = request->UrbSelectConfiguration.ConfigurationHandle;
        ExFreePool(request);
    }
    ExFreePoolWithTag(list, kUsbTransportTag);
    return status;
}

// Keeps a copy of each USBD_INTERFACE_INFORMATION of the completed request,
// walking it by each entry's Length within the URB.
NTSTATUS CUsbTransport::CopyInterfaces(PURB request, ULONG count) {
    FreeInterfaces();
    m_InterfaceInfo = static_cast<PUSBD_INTERFACE_INFORMATION*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, count * sizeof(PUSBD_INTERFACE_INFORMATION), kUsbTransportTag));
    if (m_InterfaceInfo == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(m_InterfaceInfo, 0, count * sizeof(PUSBD_INTERFACE_INFORMATION));
    m_InterfaceCount = count;
    const ULONG end = request->UrbHeader.Length;
    ULONG at = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    for (ULONG i = 0; i < count; ++i) {
        auto source = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(request) + at);
        const ULONG length = source->Length;
        if (length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || length > end - at) {
            FreeInterfaces();
            return STATUS_DEVICE_CONFIGURATION_ERROR;
        }
        m_InterfaceInfo[i] = static_cast<PUSBD_INTERFACE_INFORMATION>(
            ExAllocatePoolWithTag(NonPagedPoolNx, length, kUsbTransportTag));
        if (m_InterfaceInfo[i] == NULL) {
            FreeInterfaces();
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::memcpy(m_InterfaceInfo[i], source, length);
        at += length;
    }
    return STATUS_SUCCESS;
}

void CUsbTransport::FreeInterfaces() {
    if (m_InterfaceInfo != NULL) {
        for (ULONG i = 0; i < m_InterfaceCount; ++i)
            if (m_InterfaceInfo[i] != NULL) ExFreePoolWithTag(m_InterfaceInfo[i], kUsbTransportTag);
        ExFreePoolWithTag(m_InterfaceInfo, kUsbTransportTag);
    }
    m_InterfaceInfo = NULL;
    m_InterfaceCount = 0;
}

// ------------------------------------------------------------ bus interface

NTSTATUS CUsbTransport::QueryBusInterface() {
    PAGED_CODE();
    PIRP irp = IoAllocateIrp(m_IrpStackSize, FALSE);
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    // A second query must not leak the reference of the first.
    if (m_UsbdiInterface.BusContext != NULL && m_UsbdiInterface.InterfaceDereference != NULL)
        m_UsbdiInterface.InterfaceDereference(m_UsbdiInterface.BusContext);
    std::memset(&m_UsbdiInterface, 0, sizeof(m_UsbdiInterface));
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
    next->Parameters.QueryInterface.Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
    next->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
    next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&m_UsbdiInterface);
    next->Parameters.QueryInterface.InterfaceSpecificData = NULL;
    IoSetCompletionRoutine(irp, SyncIrpCompletion, &done, TRUE, TRUE, TRUE);
    m_HighSpeed = FALSE;
    if (CallLowerDriver(irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    NTSTATUS status = irp->IoStatus.Status;
    if (NT_SUCCESS(status) && m_UsbdiInterface.BusContext != NULL) {
        m_HighSpeed = m_UsbdiInterface.IsDeviceHighSpeed(m_UsbdiInterface.BusContext);
    } else {
        m_UsbdiInterface.BusContext = NULL;
        status = STATUS_UNSUCCESSFUL;
    }
    IoFreeIrp(irp);
    return status;
}

// ------------------------------------------------------------ port recovery

// Sends a port IOCTL built by the I/O manager and waits for it. *built is
// FALSE when no IRP could be built (the request then counts as failed).
NTSTATUS CUsbTransport::SendPortRequest(ULONG ioctl, PVOID argument1, BOOLEAN* built) {
    KEVENT done;
    IO_STATUS_BLOCK ioStatus{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(ioctl, m_LowerDevice, NULL, 0, NULL, 0, TRUE, &done, &ioStatus);
    *built = irp != NULL;
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
    NTSTATUS status = IoCallDriver(m_LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

BOOLEAN CUsbTransport::CheckPresenceAndRecover() {
    PAGED_CODE();
    if (!DevicePresent()) return TRUE;
    m_PortRecoveryLock.Lock();
    ULONG port = 0;
    BOOLEAN built;
    NTSTATUS status = SendPortRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port, &built);
    if (NT_SUCCESS(status)) {
        if (!(port & USBD_PORT_CONNECTED)) SetDevicePresent(FALSE);
    } else if (status != STATUS_NO_SUCH_DEVICE) {
        SetDevicePresent(FALSE);
    } else {
        LARGE_INTEGER pause;
        pause.QuadPart = kRecoveryPause;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        port = 0;
        status = SendPortRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port, &built);
        if (!NT_SUCCESS(status))
            CyclePortOnce();
        else if (!(port & USBD_PORT_CONNECTED))
            SetDevicePresent(FALSE);
        else
            ResetPortAndModel();
    }
    m_PortRecoveryLock.Unlock();
    return !DevicePresent();
}

// The port answers again: reset it, then let the model take the device
// through D3 and back to D0 so that it re-initialises it.
void CUsbTransport::ResetPortAndModel() {
    BOOLEAN built;
    SendPortRequest(IOCTL_INTERNAL_USB_RESET_PORT, NULL, &built);
    if (!built) {
        SetDevicePresent(FALSE);
        return;
    }
    if (m_ModelPower == NULL) return;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    m_ModelPower->PowerChangeState(state);
    state.DeviceState = PowerDeviceD0;
    m_ModelPower->PowerChangeState(state);
}

BOOLEAN CUsbTransport::CyclePortOnce() {
    PAGED_CODE();
    if (InterlockedExchange(&m_PortCycled, 1) == 1) return !DevicePresent();
    ULONG scratch = 0;
    BOOLEAN built;
    SendPortRequest(IOCTL_INTERNAL_USB_CYCLE_PORT, &scratch, &built);
    SetDevicePresent(FALSE);  // the cycled device comes back as a new device
    return TRUE;
}

#include "tests/fakes/stream/fake_usb_model.h"

#include <cstdio>

#include "nt/io.h"
#include "sim/executor.h"
#include "usb/usbd.h"

namespace streamfakes {

void Timeline::Add(const std::string& what) {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.push_back({sim::Now(), what});
}

std::vector<TimelineEntry> Timeline::Entries() const {
    std::lock_guard<std::mutex> guard(lock_);
    return entries_;
}

std::vector<std::string> Timeline::Texts() const {
    std::vector<std::string> texts;
    for (const auto& e : Entries()) texts.push_back(e.what);
    return texts;
}

void Timeline::Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.clear();
}

namespace {

NTSTATUS SyncDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

std::string Hex(ULONG value) {
    char text[16];
    std::snprintf(text, sizeof(text), "%x", value);
    return text;
}

}  // namespace

FakeUsbModel* FakeUsbModel::Create(simusb::SimUsbPort& port, Timeline* timeline) {
    auto* model = new (NonPagedPoolNx, MakePoolTag("FkMd")) FakeUsbModel(port, timeline);
    model->AddRef();
    if (!NT_SUCCESS(model->SelectConfiguration())) model->Note("configuration failed");
    return model;
}

FakeUsbModel::FakeUsbModel(simusb::SimUsbPort& port, Timeline* timeline)
    : InertAudioHal(NULL), m_Port(port), m_Timeline(timeline), m_Configuration(port.device().descriptors().configuration) {}

FakeUsbModel::~FakeUsbModel() {
    for (IUacUnit* unit : m_Units) unit->Release();
}

void FakeUsbModel::AddModelUnit(IUacUnit* unit) {
    unit->AddRef();
    m_Units.push_back(unit);
}

NTSTATUS FakeUsbModel::GetUnit(ULONG index, IUacUnit** unit) {
    if (unit == NULL || index >= m_Units.size()) return STATUS_INVALID_PARAMETER;
    *unit = m_Units[index];
    return STATUS_SUCCESS;
}

NTSTATUS FakeUsbModel::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (iid == IID_IUnknown) return ReturnInterface(static_cast<IAudioHal*>(this), out);
    if (iid == IID_IUsbAudioDevice && !RefuseUsbInterface)
        return ReturnInterface(static_cast<IUsbAudioDevice*>(this), out);
    if (iid == IID_IAudioHal) return ReturnInterface(static_cast<IAudioHal*>(this), out);
    return RefuseInterface(out);
}

void FakeUsbModel::Note(const std::string& what) {
    if (m_Timeline) m_Timeline->Add(what);
}

void FakeUsbModel::NoteUrb(PURB urb, NTSTATUS status) {
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_INTERFACE:
        Note("select " + std::to_string(urb->UrbSelectInterface.Interface.InterfaceNumber) + " alt " +
             std::to_string(urb->UrbSelectInterface.Interface.AlternateSetting) + " " + Hex(status));
        break;
    case URB_FUNCTION_CLASS_ENDPOINT: {
        const auto& r = urb->UrbControlVendorClassRequest;
        const UCHAR* d = static_cast<const UCHAR*>(r.TransferBuffer);
        ULONG rate = d ? (ULONG)d[0] | (ULONG)d[1] << 8 | (ULONG)d[2] << 16 : 0;
        Note("set_cur ep " + Hex(r.Index) + " rate " + std::to_string(rate) + " " + Hex(status));
        break;
    }
    default:
        Note("urb " + Hex(urb->UrbHeader.Function) + " " + Hex(status));
    }
}

NTSTATUS FakeUsbModel::SelectConfiguration() {
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(m_Configuration.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list(descriptor->bNumInterfaces + 1);
    size_t found = 0;
    for (LONG number = 0; number < 256 && found < descriptor->bNumInterfaces; ++number) {
        PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, number, 0, -1, -1, -1);
        if (d != nullptr) list[found++].InterfaceDescriptor = d;
    }
    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list.data());
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = SubmitUrbSync(urb);
    m_ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    ExFreePool(urb);
    return status;
}

PUSB_CONFIGURATION_DESCRIPTOR FakeUsbModel::GetConfigurationDescriptor() {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(m_Configuration.data());
}

NTSTATUS FakeUsbModel::SetDevicePresent(BOOLEAN present) {
    __atomic_store_n(&m_Present, present, __ATOMIC_RELEASE);
    return STATUS_SUCCESS;
}

NTSTATUS FakeUsbModel::CallLowerDriver(PIRP irp) {
    auto* urb = static_cast<PURB>(IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1);
    bool iso = urb && urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER;
    if (iso && __atomic_load_n(&m_LogTransfers, __ATOMIC_ACQUIRE))
        Note("iso start " + std::to_string(urb->UrbIsochronousTransfer.StartFrame));
    if (iso && __atomic_load_n(&m_RecordPackets, __ATOMIC_ACQUIRE) &&
        !(urb->UrbIsochronousTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN)) {
        std::lock_guard<std::mutex> guard(m_PacketLock);
        for (ULONG i = 0; i < urb->UrbIsochronousTransfer.NumberOfPackets; i++)
            m_PacketLengths.push_back(urb->UrbIsochronousTransfer.IsoPacket[i].Length);
    }
    if (iso && m_Loopback) {
        IoSetNextIrpStackLocation(irp);
        std::lock_guard<std::mutex> guard(m_PacketLock);
        m_Queued.push_back(irp);
        return STATUS_PENDING;
    }
    return IoCallDriver(m_Port.Pdo(), irp);
}

bool FakeUsbModel::CompleteQueued() {
    PIRP irp;
    {
        std::lock_guard<std::mutex> guard(m_PacketLock);
        if (m_Queued.empty()) return false;
        irp = m_Queued.front();
        m_Queued.erase(m_Queued.begin());
    }
    auto& iso = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1)->UrbIsochronousTransfer;
    iso.Hdr.Status = USBD_STATUS_SUCCESS;
    const bool in = (iso.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    for (ULONG i = 0; i < iso.NumberOfPackets; i++) {
        iso.IsoPacket[i].Status = USBD_STATUS_SUCCESS;
        if (in) {
            ULONG end = i + 1 < iso.NumberOfPackets ? iso.IsoPacket[i + 1].Offset : iso.TransferBufferLength;
            iso.IsoPacket[i].Length = end - iso.IsoPacket[i].Offset;
        }
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return true;
}

std::vector<ULONG> FakeUsbModel::PacketLengths() const {
    std::lock_guard<std::mutex> guard(m_PacketLock);
    return m_PacketLengths;
}

NTSTATUS FakeUsbModel::SendIoctl(ULONG ioctl, PVOID argument1) {
    PIRP irp = IoAllocateIrp(m_Port.Pdo()->StackSize, FALSE);
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = ioctl;
    next->Parameters.Others.Argument1 = argument1;
    IoSetCompletionRoutine(irp, SyncDone, &done, TRUE, TRUE, TRUE);
    IoCallDriver(m_Port.Pdo(), irp);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -500 * sim::kTicksPerMillisecond;
    if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        IoCancelIrp(irp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

NTSTATUS FakeUsbModel::SubmitUrbSync(PURB urb) {
    if (!Present()) return STATUS_UNSUCCESSFUL;
    NTSTATUS status = SendIoctl(IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
    if (status == STATUS_DEVICE_NOT_CONNECTED) SetDevicePresent(FALSE);
    NoteUrb(urb, status);
    return status;
}

NTSTATUS FakeUsbModel::GetCurrentFrameNumber(PULONG frame) {
    *frame = m_Port.bus().FrameNumber();
    if (__atomic_load_n(&m_LogTransfers, __ATOMIC_ACQUIRE)) Note("frame " + std::to_string(*frame));
    return STATUS_SUCCESS;
}

PIRP FakeUsbModel::AllocateIrp() {
    if (m_FailIrpAt >= 0 && m_FailIrpAt-- == 0) return NULL;
    return IoAllocateIrp(m_Port.Pdo()->StackSize, FALSE);
}

NTSTATUS FakeUsbModel::FreeIrp(PIRP irp) {
    IoFreeIrp(irp);
    return STATUS_SUCCESS;
}

BOOLEAN FakeUsbModel::IsHighSpeed() { return m_Port.bus().highSpeed(); }

BOOLEAN FakeUsbModel::CheckPresenceAndRecover() {
    Note("presence");
    if (!Present()) return TRUE;
    ULONG portStatus = 0;
    NTSTATUS status = SendIoctl(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
    if (NT_SUCCESS(status) && (portStatus & USBD_PORT_CONNECTED)) return FALSE;
    SetDevicePresent(FALSE);
    return TRUE;
}

BOOLEAN FakeUsbModel::CyclePortOnce() {
    Note("cycle");
    if (!m_Cycled) {
        m_Cycled = true;
        SendIoctl(IOCTL_INTERNAL_USB_CYCLE_PORT, NULL);
        SetDevicePresent(FALSE);
    }
    return !Present();
}

PDEVICE_OBJECT FakeUsbModel::GetLowerDeviceObject() { return m_Port.Pdo(); }
PDEVICE_OBJECT FakeUsbModel::GetDeviceObject() { return m_Port.Pdo(); }

LONG FakeUsbModel::BusyAddRef() {
    LONG count = InterlockedIncrement(&m_Busy);
    Note("busy " + std::to_string(count));
    return count;
}

LONG FakeUsbModel::BusyRelease() {
    LONG count = InterlockedDecrement(&m_Busy);
    Note("busy " + std::to_string(count));
    return count;
}

}  // namespace streamfakes

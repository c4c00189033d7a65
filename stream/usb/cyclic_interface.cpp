// The stream's AudioStreaming interface on the device: the descriptors of
// its alternate settings (read from the adapter's configuration descriptor,
// which is untrusted: every walk is bounded by wTotalLength and each
// descriptor's bLength), the select-interface request with the copy of the
// returned pipes, the sampling-frequency request and the device's busy
// count. PASSIVE_LEVEL under m_Lock, except the pipe lookups.
#include <cstring>

#include "stream/usb/cyclic_control.h"
#include "topology/unit_interfaces.h"
#include "usb/usbd.h"

namespace {

constexpr UCHAR kAudioClass = 1;
constexpr UCHAR kAudioStreamingSubclass = 2;
constexpr UCHAR kSetCur = 0x01;
constexpr USHORT kSamplingFreqControl = 0x0100;

// Isochronous, and a data endpoint (usage bits 4-5: 0) or an implicit
// feedback data endpoint (2), which carries samples all the same; an
// explicit feedback endpoint (1) does not.
BOOLEAN IsIsochronousData(const USB_ENDPOINT_DESCRIPTOR* endpoint) {
    const UCHAR usage = endpoint->bmAttributes & 0x30;
    return (endpoint->bmAttributes & 0x03) == 1 && (usage == 0x00 || usage == 0x20);
}

BOOLEAN IsInEndpoint(const USB_ENDPOINT_DESCRIPTOR* endpoint) { return (endpoint->bEndpointAddress & 0x80) != 0; }

}  // namespace

IUsbAudioDevice* CCyclicControl::AcquireUsbDevice() {
    IUsbAudioDevice* device = NULL;
    if (m_pDevice == NULL || !NT_SUCCESS(m_pDevice->QueryInterface(IID_IUsbAudioDevice, (PVOID*)&device)))
        return NULL;
    return device;
}

// The setting's first (or last) endpoint that match accepts, searched up
// to the next interface descriptor among at most bNumEndpoints endpoints.
PUSB_ENDPOINT_DESCRIPTOR CCyclicControl::FindEndpoint(UCHAR alternateSetting,
                                                      BOOLEAN (*match)(const USB_ENDPOINT_DESCRIPTOR*),
                                                      BOOLEAN last) {
    IUsbAudioDevice* device = AcquireUsbDevice();
    if (device == NULL) return NULL;
    PUSB_CONFIGURATION_DESCRIPTOR config = device->GetConfigurationDescriptor();
    device->Release();
    if (config == NULL) return NULL;
    PUSB_INTERFACE_DESCRIPTOR iface = USBD_ParseConfigurationDescriptorEx(
        config, config, (LONG)m_nInterfaceNumber, alternateSetting, kAudioClass, kAudioStreamingSubclass, -1);
    if (iface == NULL) return NULL;
    PUCHAR end = (PUCHAR)config + config->wTotalLength;
    PUCHAR cursor = (PUCHAR)iface + iface->bLength;
    ULONG examined = 0;
    PUSB_ENDPOINT_DESCRIPTOR found = NULL;
    while (cursor + 2 <= end && examined < iface->bNumEndpoints) {
        UCHAR length = cursor[0], type = cursor[1];
        if (length < 2 || cursor + length > end || type == USB_INTERFACE_DESCRIPTOR_TYPE) break;
        if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            examined++;
            auto* endpoint = (PUSB_ENDPOINT_DESCRIPTOR)cursor;
            if (match(endpoint)) {
                found = endpoint;
                if (!last) break;
            }
        }
        cursor += length;
    }
    return found;
}

PUSB_ENDPOINT_DESCRIPTOR CCyclicControl::FindDataEndpoint(UCHAR alternateSetting) {
    return FindEndpoint(alternateSetting, IsIsochronousData, FALSE);
}

PUSB_ENDPOINT_DESCRIPTOR CCyclicControl::FindLastInEndpoint(UCHAR alternateSetting) {
    return FindEndpoint(alternateSetting, IsInEndpoint, TRUE);
}

ULONG CCyclicControl::GetPacketsPerFrame(UCHAR alternateSetting) {
    PUSB_ENDPOINT_DESCRIPTOR endpoint = FindDataEndpoint(alternateSetting);
    IUsbAudioDevice* device = AcquireUsbDevice();
    BOOLEAN highSpeed = device ? device->IsHighSpeed() : FALSE;
    if (device) device->Release();
    if (endpoint == NULL || !highSpeed) return 1;
    // A service interval of 1 to 8 microframes; anything else cannot be
    // streamed (and 0 would be a negative shift).
    if (endpoint->bInterval < 1 || endpoint->bInterval > 4) return 0;
    return 8u >> (endpoint->bInterval - 1);
}

BOOLEAN CCyclicControl::DataEndpointPayload(UCHAR alternateSetting, PULONG bytes) {
    *bytes = 0;
    PUSB_ENDPOINT_DESCRIPTOR endpoint = FindDataEndpoint(alternateSetting);
    if (endpoint == NULL) return FALSE;
    const ULONG size = endpoint->wMaxPacketSize;
    *bytes = (size & 0x7FF) * (1 + ((size >> 11) & 3));
    return TRUE;
}

USBD_PIPE_HANDLE CCyclicControl::DataPipeHandle() {
    if (m_pInterfaceInfo == NULL || m_DataPipeIndex >= m_pInterfaceInfo->NumberOfPipes) return NULL;
    return m_pInterfaceInfo->Pipes[m_DataPipeIndex].PipeHandle;
}

UCHAR CCyclicControl::DataEndpointAddress() {
    if (m_pInterfaceInfo == NULL || m_DataPipeIndex >= m_pInterfaceInfo->NumberOfPipes) return 0;
    return m_pInterfaceInfo->Pipes[m_DataPipeIndex].EndpointAddress;
}

NTSTATUS CCyclicControl::SendSamplingRate(IUsbAudioDevice* device, UCHAR endpoint, ULONG rate) {
    URB urb = {};
    UCHAR data[3] = {(UCHAR)rate, (UCHAR)(rate >> 8), (UCHAR)(rate >> 16)};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_ENDPOINT, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_OUT, 0, kSetCur, kSamplingFreqControl, endpoint, data, NULL,
                          sizeof(data), NULL);
    NTSTATUS status = device->SubmitUrbSync(&urb);
    if (NT_SUCCESS(status) && USBD_ERROR(urb.UrbHeader.Status)) status = STATUS_UNSUCCESSFUL;
    return status;
}

// Copies the interface information the bus returned (its Length bytes, at
// most the pipes the descriptor declared). No memory: the interface goes
// back to alternate setting 0 and its busy reference is dropped.
NTSTATUS CCyclicControl::KeepInterfaceInfo(IUsbAudioDevice* device, PURB urb, ULONG pipes) {
    const USBD_INTERFACE_INFORMATION& info = urb->UrbSelectInterface.Interface;
    const ULONG room = GET_USBD_INTERFACE_SIZE(pipes ? pipes : 1);
    ULONG bytes = info.Length < GET_USBD_INTERFACE_SIZE(pipes) ? info.Length : GET_USBD_INTERFACE_SIZE(pipes);
    if (bytes < GET_USBD_INTERFACE_SIZE(0)) bytes = GET_USBD_INTERFACE_SIZE(0);
    m_pInterfaceInfo = (PUSBD_INTERFACE_INFORMATION)ExAllocatePoolWithTag(NonPagedPoolNx, room, CYCLIC_URB_TAG);
    if (m_pInterfaceInfo == NULL) {
        const ULONG zeroSize = GET_SELECT_INTERFACE_REQUEST_SIZE(0);
        memset(urb, 0, zeroSize);
        UsbBuildSelectInterfaceRequest(urb, (USHORT)zeroSize, device->GetConfigurationHandle(),
                                       (UCHAR)m_nInterfaceNumber, 0);
        if (NT_SUCCESS(device->SubmitUrbSync(urb))) AccountBusy(device, 0);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memcpy(m_pInterfaceInfo, &info, bytes);
    if (m_pInterfaceInfo->NumberOfPipes > pipes) m_pInterfaceInfo->NumberOfPipes = pipes;
    return STATUS_SUCCESS;
}

// The stream counts itself busy once while it holds a nonzero setting, so
// a failed recovery followed by Close cannot drop a reference it never took.
VOID CCyclicControl::AccountBusy(IUsbAudioDevice* device, UCHAR alternateSetting) {
    if (alternateSetting == 0 && m_bHoldsBusy) {
        device->BusyRelease();
        m_bHoldsBusy = FALSE;
    } else if (alternateSetting != 0 && !m_bHoldsBusy) {
        device->BusyAddRef();
        m_bHoldsBusy = TRUE;
    }
}

// The last pipe in the stream's direction; FALSE (index unchanged) when
// there is none.
BOOLEAN CCyclicControl::PickDataPipe(BOOLEAN pipeIn) {
    BOOLEAN found = FALSE;
    for (ULONG i = 0; i < m_pInterfaceInfo->NumberOfPipes; i++) {
        if (((m_pInterfaceInfo->Pipes[i].EndpointAddress & 0x80) != 0) != (pipeIn != 0)) continue;
        m_DataPipeIndex = (UCHAR)i;
        found = TRUE;
    }
    return found;
}

NTSTATUS CCyclicControl::SelectInterface(UCHAR alternateSetting, PCYCLIC_CLIENT client, BOOLEAN pipeIn,
                                         NTSTATUS* rateStatus) {
    if (rateStatus) *rateStatus = STATUS_SUCCESS;
    if (m_pInterfaceInfo) ExFreePoolWithTag(m_pInterfaceInfo, CYCLIC_URB_TAG);
    m_pInterfaceInfo = NULL;
    IUsbAudioDevice* device = AcquireUsbDevice();
    if (device == NULL) return STATUS_UNSUCCESSFUL;
    PUSB_CONFIGURATION_DESCRIPTOR config = device->GetConfigurationDescriptor();
    PUSB_INTERFACE_DESCRIPTOR iface =
        config ? USBD_ParseConfigurationDescriptorEx(config, config, (LONG)m_nInterfaceNumber, alternateSetting,
                                                     kAudioClass, kAudioStreamingSubclass, -1)
               : NULL;
    const ULONG pipes = iface ? iface->bNumEndpoints : 0;
    const ULONG size = GET_SELECT_INTERFACE_REQUEST_SIZE(pipes);
    auto urb = iface ? (PURB)ExAllocatePoolWithTag(NonPagedPoolNx, size, CYCLIC_URB_TAG) : NULL;
    NTSTATUS status = iface == NULL ? STATUS_INVALID_PARAMETER : STATUS_INSUFFICIENT_RESOURCES;
    if (urb) {
        memset(urb, 0, size);
        UsbBuildSelectInterfaceRequest(urb, (USHORT)size, device->GetConfigurationHandle(), (UCHAR)m_nInterfaceNumber,
                                       alternateSetting);
        status = device->SubmitUrbSync(urb);
        if (NT_SUCCESS(status)) status = KeepInterfaceInfo(device, urb, pipes);
        // A client needs a pipe in the stream's direction; without one the
        // old index would name another setting's or direction's pipe.
        if (NT_SUCCESS(status) && !PickDataPipe(pipeIn) && client) status = STATUS_INVALID_PARAMETER;
        if (NT_SUCCESS(status)) {
            if (client && rateStatus)
                *rateStatus = SendSamplingRate(device, DataEndpointAddress(), client->Format.Format.nSamplesPerSec);
            AccountBusy(device, alternateSetting);
        }
        ExFreePoolWithTag(urb, CYCLIC_URB_TAG);
    }
    device->Release();
    return status;
}

NTSTATUS CCyclicControl::SelectInterfaceWithoutRate(UCHAR alternateSetting, PCYCLIC_CLIENT client,
                                                    BOOLEAN pipeIn) {
    NTSTATUS status = SelectInterface(alternateSetting, client, pipeIn, NULL);
    // A client's setting without a pipe in the stream's direction was
    // selected all the same: the interface goes back to setting 0.
    if (status == STATUS_INVALID_PARAMETER && alternateSetting != 0 && m_pInterfaceInfo != NULL)
        SelectInterface(0, NULL, pipeIn, NULL);
    return status;
}

// The model's units are searched through IAudioHal, the last match
// winning; the clock is set through the unit's IClockSource.
NTSTATUS CCyclicControl::SetClockSourceRate(ULONG clockUnitId, ULONG rate) {
    IAudioHal* hal = NULL;
    if (m_pDevice == NULL || !NT_SUCCESS(m_pDevice->QueryInterface(IID_IAudioHal, (PVOID*)&hal)) || hal == NULL)
        return STATUS_UNSUCCESSFUL;
    IUacUnit* unit = NULL;
    const ULONG count = hal->GetUnitCount();
    for (ULONG i = 0; i < count; i++) {
        IUacUnit* candidate = NULL;
        if (NT_SUCCESS(hal->GetUnit(i, &candidate)) && candidate && candidate->GetId() == clockUnitId)
            unit = candidate;
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    IClockSource* clock = NULL;
    if (unit) status = unit->QueryInterface(IID_IClockSource, (PVOID*)&clock);
    if (NT_SUCCESS(status) && clock == NULL) status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status)) {
        status = clock->SetSampleRate(rate);
        clock->Release();
    }
    hal->Release();
    return status;
}

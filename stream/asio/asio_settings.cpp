// The ASIO interface's clients, settings and queries: open and close of a
// handle, the driver name, channels, sample types, latencies, rates, the
// I/O format and the notify events. Every method runs at PASSIVE_LEVEL and
// holds the device lock for its whole run.
#include "adapter/settings.h"
#include "adapter/family_choice.h"
#include "adapter/usb_audio_hal.h"
#include "nt/rtl.h"
#include "stream/asio/asio_pins.h"
#include "usb/usbd.h"

namespace {

// The name of a device without a product string.
constexpr char kDefaultDriverName[] = "Tavrel USB ASIO Device";
constexpr ULONG kProductStringBytes = 260;
constexpr ULONG kProductStringRequest = 256;
constexpr USHORT kLanguageUs = 0x0409;
constexpr ULONG kPinNameBytes = 102;

class DeviceLockGuard {
public:
    explicit DeviceLockGuard(CMutexLock& lock) : m_Lock(lock) { m_Lock.Lock(); }
    ~DeviceLockGuard() { m_Lock.Unlock(); }
    DeviceLockGuard(const DeviceLockGuard&) = delete;
    DeviceLockGuard& operator=(const DeviceLockGuard&) = delete;

private:
    CMutexLock& m_Lock;
};

VOID WriteSetting(PDEVICE_OBJECT fdo, ULONG value, PCWSTR name) {
    SettingsNumberValue(fdo, SETTINGS_OP_WRITE, &value, sizeof(value), name);  // a failed write is ignored
}

// The size protocol of a variable-length reply: *length 0 asks for the
// size, a shorter one is refused with the size needed.
NTSTATUS SizeAnswer(const VOID* out, ULONG* length, ULONG needed) {
    if (out == NULL) {
        if (*length != 0) return STATUS_INVALID_PARAMETER;
        *length = needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (*length < needed) {
        *length = needed;
        return STATUS_BUFFER_TOO_SMALL;
    }
    return STATUS_SUCCESS;
}

}  // namespace

// ---- clients ----------------------------------------------------------------

NTSTATUS CUsbAudioHal::AsioOpen(PFILE_OBJECT file) {
    DeviceLockGuard guard(DeviceLock);
    auto* client = static_cast<PASIO_CLIENT>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ASIO_CLIENT), ADAPTER_USB_TAG));
    if (client == NULL) return STATUS_UNSUCCESSFUL;
    RtlZeroMemory(client, sizeof(*client));
    client->FileObject = file;
    client->SampleType = m_Asio.m_nAsioSampleType;
    client->LatencyIndex = m_Asio.m_nAsioLatencyIndex;
    client->SampleRate = m_Asio.m_nAsioSampleRate;
    client->IoFormat = ASIO_IO_FORMAT_PCM;
    InsertHeadList(&m_Asio.m_AsioClients, &client->ListEntry);
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioHal::AsioUnused(PFILE_OBJECT) { return STATUS_UNSUCCESSFUL; }

NTSTATUS CUsbAudioHal::AsioClose(PFILE_OBJECT file) {
    DeviceLockGuard guard(DeviceLock);
    PASIO_CLIENT client;
    if (!AsioFindClient(file, &client)) return STATUS_UNSUCCESSFUL;
    if (client->BuffersCreated == 1) {
        AsioStopOwner(client);
        AsioDisposeBuffers(file);
    }
    if (client->BufferSwitchEvent != NULL) {
        ObDereferenceObject(client->BufferSwitchEvent);
        client->BufferSwitchEvent = NULL;
    }
    if (m_Asio.m_pAsioOwner == client) {
        m_Asio.m_pAsioOwner = NULL;
        m_Asio.m_bAsioBuffersOwned = 0;
        AsioSaveSampleType();
    } else if (m_Asio.m_bAsioBuffersOwned == 0) {
        AsioSaveSampleType();
    }
    if (client->NotifyEvent != NULL) {
        ObDereferenceObject(client->NotifyEvent);
        client->NotifyEvent = NULL;
    }
    RemoveEntryList(&client->ListEntry);
    ExFreePoolWithTag(client, ADAPTER_USB_TAG);
    return STATUS_SUCCESS;
}

VOID CUsbAudioHal::AsioSaveSampleType() {
    WriteSetting(Fdo, m_Asio.m_nAsioPendingSampleType, u"ASIOMLDataBitDepth");
    m_Asio.m_nAsioSampleType = m_Asio.m_nAsioPendingSampleType;
}

VOID CUsbAudioHal::AsioSignalClients() {
    for (PLIST_ENTRY e = m_Asio.m_AsioClients.Flink; e != &m_Asio.m_AsioClients; e = e->Flink) {
        auto* client = CONTAINING_RECORD(e, ASIO_CLIENT, ListEntry);
        if (client->NotifyEvent != NULL) KeSetEvent(client->NotifyEvent, IO_SOUND_INCREMENT, FALSE);
    }
}

NTSTATUS CUsbAudioHal::AsioSetNotifyEvent(PFILE_OBJECT file, const HANDLE* event) {
    DeviceLockGuard guard(DeviceLock);
    PASIO_CLIENT client;
    if (!AsioFindClient(file, &client) || event == NULL || client->NotifyEvent != NULL)
        return STATUS_INVALID_PARAMETER;
    PVOID object = NULL;
    NTSTATUS status = ObReferenceObjectByHandle(*event, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object, NULL);
    if (NT_SUCCESS(status)) client->NotifyEvent = static_cast<PKEVENT>(object);
    return status;
}

NTSTATUS CUsbAudioHal::AsioClearNotifyEvent(PFILE_OBJECT file) {
    DeviceLockGuard guard(DeviceLock);
    PASIO_CLIENT client;
    if (!AsioFindClient(file, &client) || client->NotifyEvent == NULL) return STATUS_INVALID_PARAMETER;
    ObDereferenceObject(client->NotifyEvent);
    client->NotifyEvent = NULL;
    return STATUS_SUCCESS;
}

// ---- names and channels -------------------------------------------------------

NTSTATUS CUsbAudioHal::AsioGetDriverName(PFILE_OBJECT file, CHAR* out, ULONG* length) {
    DeviceLockGuard guard(DeviceLock);
    PASIO_CLIENT client;
    if (!AsioFindClient(file, &client) || length == NULL) return STATUS_INVALID_PARAMETER;
    const UCHAR index = m_Transport.ProductStringIndex();
    if (index == 0) {
        const ULONG nameLength = sizeof(kDefaultDriverName) - 1;
        if (*length == 0) {
            *length = nameLength + 1;
            return STATUS_BUFFER_OVERFLOW;
        }
        if (out == NULL) return STATUS_INVALID_PARAMETER;
        const ULONG copied = *length - 1 < nameLength ? *length - 1 : nameLength;
        RtlCopyMemory(out, kDefaultDriverName, copied);
        out[copied] = 0;
        *length = copied + 1;
        return STATUS_SUCCESS;
    }
    auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, kProductStringBytes, ADAPTER_USB_TAG));
    if (buffer == NULL) return STATUS_INVALID_PARAMETER;
    RtlZeroMemory(buffer, kProductStringBytes);
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_STRING_DESCRIPTOR_TYPE, index, kLanguageUs, buffer, NULL,
                                 kProductStringRequest, NULL);
    NTSTATUS status = m_Transport.SubmitUrbSync(&urb);
    if (NT_SUCCESS(status)) {
        // The descriptor's own length, bounded by what arrived; a reply that
        // is not a string descriptor names nothing.
        ULONG received = urb.UrbControlDescriptorRequest.TransferBufferLength;
        if (received > kProductStringRequest) received = kProductStringRequest;
        if (received < 2 || buffer[1] != USB_STRING_DESCRIPTOR_TYPE || buffer[0] < 2) status = STATUS_UNSUCCESSFUL;
        ULONG units = StringDescriptorUnits(buffer, received);
        auto* text = reinterpret_cast<PWCHAR>(buffer + 2);
        while (units > 0 && text[units - 1] == 0x0020) --units;
        text[units] = 0;
        ANSI_STRING ansi = {};
        UNICODE_STRING wide;
        wide.Buffer = text;
        wide.Length = (USHORT)(units * sizeof(WCHAR));
        wide.MaximumLength = (USHORT)(wide.Length + sizeof(WCHAR));
        if (NT_SUCCESS(status)) status = RtlUnicodeStringToAnsiString(&ansi, &wide, TRUE);
        if (NT_SUCCESS(status)) {
            const ULONG needed = ansi.Length + 1u;
            if (*length == 0) {
                status = STATUS_BUFFER_OVERFLOW;
            } else if (*length < needed || out == NULL) {
                status = out == NULL ? STATUS_INVALID_PARAMETER : STATUS_BUFFER_TOO_SMALL;
            } else {
                RtlCopyMemory(out, ansi.Buffer, ansi.Length);
                out[ansi.Length] = 0;
            }
            if (status != STATUS_INVALID_PARAMETER) *length = needed;
            RtlFreeAnsiString(&ansi);
        }
    }
    ExFreePoolWithTag(buffer, ADAPTER_USB_TAG);
    return status;
}

NTSTATUS CUsbAudioHal::AsioGetChannels(PFILE_OBJECT file, ULONG* out, ULONG outLength) {
    if (out == NULL || outLength != 16) return STATUS_INVALID_PARAMETER;
    RtlZeroMemory(out, 16);
    DeviceLockGuard guard(DeviceLock);
    PASIO_CLIENT client;
    if (!AsioFindClient(file, &client)) return STATUS_INVALID_PARAMETER;
    ULONG pins = 0;
    for (ULONG i = 0, n = GetStreamEngineCount(); i < n; ++i) {
        if (!AsioIsPin(i)) continue;
        IStreamEngine* pin = NULL;
        NTSTATUS status = GetStreamEngine(i, &pin);
        if (!NT_SUCCESS(status)) return status;
        if (pin == NULL) return STATUS_UNSUCCESSFUL;
        out[pin->IsCapture() ? 2 : 1] += AsioChannelCount(pin, m_Asio.m_nAsioIoFormat);
        ++pins;
    }
    if (pins == 0) return STATUS_INVALID_PARAMETER;
    out[0] = pins;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioHal::AsioGetChannelInfo(PFILE_OBJECT file, ASIOChannelInfo* inOut, ULONG outLength) {
    auto* name = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, kPinNameBytes, ADAPTER_USB_TAG));
    if (name == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    PASIO_CLIENT client;
    DeviceLock.Lock();
    if (inOut != NULL && outLength == sizeof(ASIOChannelInfo) && AsioFindClient(file, &client)) {
        const ULONG channel = (ULONG)inOut->channel;
        const ULONG isInput = inOut->isInput != 0;
        inOut->channelGroup = 0;
        ULONG total = 0;
        for (ULONG i = 0, n = GetStreamEngineCount(); i < n; ++i) {
            if (!AsioIsPin(i)) continue;
            IStreamEngine* pin = NULL;
            NTSTATUS found = GetStreamEngine(i, &pin);
            if (!NT_SUCCESS(found) || pin == NULL) {
                status = NT_SUCCESS(found) ? STATUS_UNSUCCESSFUL : found;
                break;
            }
            if (pin->IsCapture() != isInput) continue;
            const ULONG count = AsioChannelCount(pin, client->IoFormat);
            total += count;
            if (total <= channel) continue;
            RtlZeroMemory(name, kPinNameBytes);
            pin->GetName(name);
            RtlZeroMemory(inOut->name, sizeof(inOut->name));
            RtlStringCchPrintfA(inOut->name, sizeof(inOut->name), "%ws_%02d ch", name,
                                (int)(channel - (total - count)));
            inOut->isActive = m_Asio.m_pAsioOwner != NULL ? 1 : 0;
            inOut->type = client->IoFormat == ASIO_IO_FORMAT_DSD ? ASIOSTDSDInt8MSB1 : (LONG)m_Asio.m_nAsioSampleType;
            status = STATUS_SUCCESS;
            break;
        }
    }
    DeviceLock.Unlock();
    ExFreePoolWithTag(name, ADAPTER_USB_TAG);
    return status;
}

// ---- sample types and latencies ----------------------------------------------------

NTSTATUS CUsbAudioHal::AsioGetBuffersCreated(PFILE_OBJECT file, ULONG* out) {
    DeviceLockGuard guard(DeviceLock);
    PASIO_CLIENT client;
    if (!AsioFindClient(file, &client) || out == NULL) return STATUS_INVALID_PARAMETER;
    *out = m_Asio.m_bAsioBuffersOwned;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioHal::AsioGetSampleTypes(PFILE_OBJECT file, ULONG* out, ULONG* length) {
    DeviceLockGuard guard(DeviceLock);
    PASIO_CLIENT client;
    if (!AsioFindClient(file, &client) || length == NULL) return STATUS_INVALID_PARAMETER;
    BOOLEAN marked[kAsioSampleTypeCandidateCount] = {TRUE, TRUE, TRUE, TRUE, TRUE};
    NTSTATUS walk = STATUS_INVALID_PARAMETER;  // no ASIO pin
    for (ULONG i = 0, n = GetStreamEngineCount(); i < n; ++i) {
        if (!AsioIsPin(i)) continue;
        IStreamEngine* pin = NULL;
        NTSTATUS found = GetStreamEngine(i, &pin);
        if (!NT_SUCCESS(found) || pin == NULL) {
            walk = NT_SUCCESS(found) ? STATUS_UNSUCCESSFUL : found;
            break;
        }
        walk = STATUS_SUCCESS;
        BOOLEAN offered[kAsioSampleTypeCandidateCount] = {};
        AsioSampleTypeFromFormat(pin, offered);
        for (ULONG c = 0; c < kAsioSampleTypeCandidateCount; ++c) marked[c] = marked[c] && offered[c];
    }
    ULONG count = 0;
    for (BOOLEAN m : marked) count += m ? 1 : 0;
    const ULONG needed = 8 + 4 * count;
    if (out == NULL && *length == 0 && !NT_SUCCESS(walk)) return walk;
    NTSTATUS status = SizeAnswer(out, length, needed);
    if (status != STATUS_SUCCESS) return status;
    client->SampleType = m_Asio.m_nAsioPendingSampleType;
    out[0] = m_Asio.m_nAsioPendingSampleType;
    out[1] = count;
    ULONG at = 2;
    for (ULONG c = 0; c < kAsioSampleTypeCandidateCount; ++c)
        if (marked[c]) out[at++] = kAsioSampleTypeCandidates[c];
    *length = needed;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioHal::AsioGetLatencyTable(PFILE_OBJECT file, ULONG* out, ULONG* length) {
    DeviceLockGuard guard(DeviceLock);
    PASIO_CLIENT client;
    if (!AsioFindClient(file, &client) || length == NULL) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = SizeAnswer(out, length, 40);
    if (status != STATUS_SUCCESS) return status;
    client->LatencyIndex = m_Asio.m_nAsioLatencyIndex;
    out[0] = m_Asio.m_nAsioLatencyIndex;
    out[1] = ASIO_LATENCY_TABLE_ENTRIES;
    for (ULONG i = 0; i < ASIO_LATENCY_TABLE_ENTRIES; ++i) out[2 + i] = ASIO_LATENCY_TABLE_MS[i];
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioHal::AsioSetSampleType(PFILE_OBJECT file, ULONG type) {
    DeviceLockGuard guard(DeviceLock);
    PASIO_CLIENT client;
    if (!AsioFindClient(file, &client)) return STATUS_INVALID_PARAMETER;
    client->SampleType = type;
    m_Asio.m_nAsioPendingSampleType = type;
    AsioSignalClients();
    return STATUS_SUCCESS;
}

// An index past the table is refused: it would index past the latencies.
NTSTATUS CUsbAudioHal::AsioSetLatency(PFILE_OBJECT file, ULONG index) {
    DeviceLockGuard guard(DeviceLock);
    PASIO_CLIENT client;
    if (!AsioFindClient(file, &client) || index >= ASIO_LATENCY_TABLE_ENTRIES) return STATUS_INVALID_PARAMETER;
    client->LatencyIndex = index;
    m_Asio.m_nAsioLatencyIndex = index;
    WriteSetting(Fdo, index, u"ASIOMLDataLatency");
    AsioSignalClients();
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioHal::AsioGetLatencies(PFILE_OBJECT file, ULONG* out) {
    DeviceLockGuard guard(DeviceLock);
    PASIO_CLIENT client;
    if (!AsioFindClient(file, &client) || out == NULL) return STATUS_INVALID_PARAMETER;
    const ULONG index = m_Asio.m_nAsioLatencyIndex;
    client->LatencyIndex = index;
    const ULONG t = ASIO_LATENCY_TABLE_MS[index];
    const ULONG r = client->SampleRate;
    if (client->IoFormat != ASIO_IO_FORMAT_DSD) {
        out[0] = t * (r / 1000);
        out[1] = 2 * t * (r / 1000);
    } else if (r < ASIO_DSD_RATE_MIN) {
        out[0] = t * 2816;
        out[1] = t * 5632;
    } else if (r % 44100 == 0) {
        out[0] = t * (r / 44100) * 44;
        out[1] = t * (r / 44100) * 88;
    } else {
        out[0] = t * (r / 48000) * 48;
        out[1] = t * (r / 48000) * 96;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioHal::AsioGetBufferSize(PFILE_OBJECT file, ULONG* out) {
    DeviceLockGuard guard(DeviceLock);
    PASIO_CLIENT client;
    if (!AsioFindClient(file, &client) || out == NULL) return STATUS_INVALID_PARAMETER;
    const ULONG index = m_Asio.m_nAsioLatencyIndex;
    client->LatencyIndex = index;
    const ULONG* t = ASIO_LATENCY_TABLE_MS;
    const ULONG r = client->SampleRate;
    if (client->IoFormat != ASIO_IO_FORMAT_DSD) {
        const ULONG f = r / 1000;
        out[0] = t[0] * f;
        out[1] = t[7] * f;
        out[2] = t[index] * f;
        out[3] = 1;
        return STATUS_SUCCESS;
    }
    if (r < ASIO_DSD_RATE_MIN || (r % 44100 != 0 && r % 48000 != 0)) return STATUS_INVALID_PARAMETER;
    const bool base44 = r % 44100 == 0;
    const ULONG k = base44 ? r / 44100 : r / 48000;
    const ULONG b = base44 ? 44 : 48;
    out[0] = t[1] * k * b;
    out[1] = t[7] * k * b;
    out[2] = t[index > 0 ? index : 1] * k * b;
    out[3] = k;
    return STATUS_SUCCESS;
}

// ---- rates and I/O formats ------------------------------------------------------

NTSTATUS CUsbAudioHal::AsioGetSampleRate(PFILE_OBJECT file, ULONG* out) {
    DeviceLockGuard guard(DeviceLock);
    PASIO_CLIENT client;
    if (!AsioFindClient(file, &client) || out == NULL) return STATUS_INVALID_PARAMETER;
    *out = m_Asio.m_nAsioSampleRate;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioHal::AsioCanSampleRate(PFILE_OBJECT file, const ULONG* rate) {
    DeviceLockGuard guard(DeviceLock);
    PASIO_CLIENT client;
    if (!AsioFindClient(file, &client) || rate == NULL) return STATUS_INVALID_PARAMETER;
    return AsioWalkPins(TRUE, client->IoFormat, *rate);
}

// A rate must suit the caller's I/O format; a PCM rate under 1 kHz gives
// no frames per millisecond and is refused as well.
NTSTATUS CUsbAudioHal::AsioSetSampleRate(PFILE_OBJECT file, const ULONG* rate) {
    DeviceLockGuard guard(DeviceLock);
    PASIO_CLIENT client;
    if (!AsioFindClient(file, &client) || rate == NULL) return STATUS_INVALID_PARAMETER;
    const LONG value = (LONG)*rate;
    if (client->IoFormat == ASIO_IO_FORMAT_PCM) {
        if (value >= ASIO_DSD_RATE_MIN || value < 1000) return STATUS_INVALID_PARAMETER;
    } else if (client->IoFormat != ASIO_IO_FORMAT_DSD || value < ASIO_DSD_RATE_MIN) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = AsioWalkPins(TRUE, client->IoFormat, *rate);
    if (!NT_SUCCESS(status)) return status;
    if (client->BuffersCreated != 1) client->SampleRate = *rate;
    m_Asio.m_nAsioSampleRate = *rate;
    WriteSetting(Fdo, *rate, u"ASIOMLSampleRate");
    if (client->BuffersCreated == 1) AsioSignalClients();
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioHal::AsioCanIoFormat(PFILE_OBJECT file, const ULONG* mode) {
    DeviceLockGuard guard(DeviceLock);
    PASIO_CLIENT client;
    if (!AsioFindClient(file, &client) || mode == NULL) return STATUS_INVALID_PARAMETER;
    return AsioWalkPins(FALSE, *mode, 0);
}

NTSTATUS CUsbAudioHal::AsioSetIoFormat(PFILE_OBJECT file, const ULONG* mode) {
    DeviceLockGuard guard(DeviceLock);
    PASIO_CLIENT client;
    if (!AsioFindClient(file, &client) || mode == NULL) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = AsioWalkPins(FALSE, *mode, 0);
    if (!NT_SUCCESS(status)) return status;
    client->IoFormat = *mode;
    m_Asio.m_nAsioIoFormat = *mode;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioHal::AsioGetIoFormat(PFILE_OBJECT file, ULONG* out) {
    DeviceLockGuard guard(DeviceLock);
    PASIO_CLIENT client;
    if (!AsioFindClient(file, &client) || out == NULL) return STATUS_INVALID_PARAMETER;
    *out = client->IoFormat;
    return STATUS_SUCCESS;
}

// ASIO buffers: one ring per ASIO pin, 40 ms of the pin's USB format behind
// the 40-byte header, in whole zeroed pages of resident pool that are
// mapped, exactly, into the owner's process. Creation, disposal and the
// stream format a pin streams in. PASSIVE_LEVEL, under the device lock.
#include "adapter/usb_audio_hal.h"
#include "nt/mm.h"
#include "nt/rtl.h"
#include "stream/asio/asio_pins.h"
#include "stream/asio/asio_ring.h"
#include "stream/wave/wave_guids.h"

namespace {

// DSD silence in a new ring.
constexpr UCHAR kDsdSilenceAtCreation = 0x69;
constexpr ULONG kNone = 0xFFFFFFFF;

ULONG WholePages(ULONG bytes) { return (bytes + (PAGE_SIZE - 1)) & ~(ULONG)(PAGE_SIZE - 1); }

}  // namespace

VOID AsioPublishHeader(PASIO_PIN pin) {
    const ULONG* from = &pin->Header.Selected;
    ULONG* to = &pin->Buffer->Selected;
    for (ULONG i = 0; i < sizeof(ASIO_BUFFER) / sizeof(ULONG); ++i) __atomic_store_n(&to[i], from[i], __ATOMIC_RELAXED);
}

// Allocates, maps and describes the ring of pin `index`; the running
// channel totals of both directions grow by its channels.
NTSTATUS CUsbAudioHal::AsioMakeBuffer(ULONG index, ULONG ioFormat, ULONG rate, ULONG* inputs, ULONG* outputs) {
    IStreamEngine* engine = NULL;
    NTSTATUS status = GetStreamEngine(index, &engine);
    if (!NT_SUCCESS(status)) return status;
    if (engine == NULL) return STATUS_UNSUCCESSFUL;
    const ULONG channels = AsioChannelCount(engine, ioFormat);
    const ULONG size = AsioRingSize(rate, ioFormat, m_Asio.m_nAsioSampleType, channels);
    if (size == 0) return STATUS_INVALID_PARAMETER;
    const ULONG blockBytes = WholePages(sizeof(ASIO_BUFFER) + size);
    auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, blockBytes, ADAPTER_USB_TAG));
    if (block == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(block, blockBytes);
    if (ioFormat == ASIO_IO_FORMAT_DSD) RtlFillMemory(block + sizeof(ASIO_BUFFER), size, kDsdSilenceAtCreation);
    PMDL mdl = IoAllocateMdl(block, blockBytes, FALSE, TRUE, NULL);
    if (mdl == NULL) {
        ExFreePoolWithTag(block, ADAPTER_USB_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmBuildMdlForNonPagedPool(mdl);
    PVOID user = NULL;
    status = AsioMapIntoProcess(mdl, &user);
    if (!NT_SUCCESS(status)) {
        IoFreeMdl(mdl);
        ExFreePoolWithTag(block, ADAPTER_USB_TAG);
        return status;
    }
    PASIO_PIN pin = &m_Asio.m_pAsioPins[index];
    pin->Buffer = reinterpret_cast<PASIO_BUFFER>(block);
    pin->Mdl = mdl;
    pin->UserAddress = user;
    pin->Process = PsGetCurrentProcess();
    pin->BlockBytes = blockBytes;
    RtlZeroMemory(&pin->Header, sizeof(pin->Header));
    pin->Header.Channels = channels;
    pin->Header.Size = size;
    pin->Header.IsInput = engine->IsCapture() ? 1 : 0;
    ULONG* total = pin->Header.IsInput ? inputs : outputs;
    pin->Header.FirstChannel = *total;
    *total += channels;
    AsioPublishHeader(pin);
    return STATUS_SUCCESS;
}

// Undoes every pin's mapping (in the process that made it: dispose and
// cleanup run there) and frees MDLs and rings.
VOID CUsbAudioHal::AsioFreeBuffers() {
    if (m_Asio.m_pAsioPins == NULL) return;
    for (ULONG i = 0, n = GetStreamEngineCount(); i < n; ++i) {
        PASIO_PIN pin = &m_Asio.m_pAsioPins[i];
        if (pin->Buffer == NULL) continue;
        MmUnmapLockedPages(pin->UserAddress, pin->Mdl);
        IoFreeMdl(pin->Mdl);
        ExFreePoolWithTag(pin->Buffer, ADAPTER_USB_TAG);
        __atomic_store_n(&pin->Client, (PCYCLIC_CLIENT)NULL, __ATOMIC_RELEASE);
        pin->Buffer = NULL;
        pin->Mdl = NULL;
        pin->UserAddress = NULL;
        pin->Process = NULL;
        pin->BlockBytes = 0;
        RtlZeroMemory(&pin->Header, sizeof(pin->Header));
    }
}

NTSTATUS CUsbAudioHal::AsioCreateBuffers(PFILE_OBJECT file, const VOID* request, PVOID out, ULONG* outLength) {
    if (CheckPresenceAndRecover()) return STATUS_INVALID_PARAMETER;  // the device is gone
    DeviceLock.Lock();
    PASIO_CLIENT client;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (request == NULL || out == NULL || outLength == NULL || !AsioFindClient(file, &client) ||
        m_Asio.m_pAsioPins == NULL) {
        DeviceLock.Unlock();
        return status;
    }
    if (m_Asio.m_pAsioOwner == NULL) {
        m_Asio.m_pAsioOwner = client;
        m_Asio.m_bAsioBuffersOwned = 1;
    }
    // An owner with buffers asks again: refused, its buffers stay.
    if (m_Asio.m_pAsioOwner != client || client->BuffersCreated == 1) {
        DeviceLock.Unlock();
        return STATUS_INVALID_PARAMETER;
    }
    // An owner left by a failed creation asks again: it is creating.
    m_Asio.m_bAsioBuffersOwned = 1;
    // The whole request is read before the reply is written: a 64-bit
    // caller's request and reply share one buffer.
    ASIO_CREATE_BUFFERS_REQUEST header;
    RtlCopyMemory(&header, request, offsetof(ASIO_CREATE_BUFFERS_REQUEST, Entries));
    const auto* entries =
        reinterpret_cast<const ASIO_BUFFER_REQUEST_ENTRY*>(static_cast<const UCHAR*>(request) + 12);
    const ULONG rate = client->SampleRate;
    const ULONG ioFormat = client->IoFormat;
    const LONG signedRate = (LONG)rate;
    ASIO_GEOMETRY geometry;
    const bool rateFits = ioFormat == ASIO_IO_FORMAT_PCM   ? signedRate < ASIO_DSD_RATE_MIN && signedRate >= 1000
                          : ioFormat == ASIO_IO_FORMAT_DSD ? signedRate >= ASIO_DSD_RATE_MIN
                                                           : false;
    if (!rateFits || !AsioGeometry(rate, ioFormat, header.BufferFrames, &geometry)) {
        DeviceLock.Unlock();
        return STATUS_INVALID_PARAMETER;
    }
    // A type in effect without a width would give rings of no whole frame.
    if (ioFormat == ASIO_IO_FORMAT_PCM && AsioSampleTypeWidth(m_Asio.m_nAsioSampleType) == 0) {
        m_Asio.m_bAsioBuffersOwned = 0;
        DeviceLock.Unlock();
        return STATUS_INVALID_PARAMETER;
    }
    m_Asio.m_nAsioBufferSampleType = client->SampleType;
    m_Asio.m_nAsioBufferRate = rate;
    m_Asio.m_nAsioBufferIoFormat = ioFormat;

    const ULONG engines = GetStreamEngineCount();
    __atomic_store_n(&m_Asio.m_nAsioPinCount, engines, __ATOMIC_RELEASE);
    ULONG inputs = 0, outputs = 0, pins = 0;
    status = STATUS_SUCCESS;
    for (ULONG i = 0; i < engines && NT_SUCCESS(status); ++i) {
        if (!AsioIsPin(i)) continue;
        status = AsioMakeBuffer(i, ioFormat, rate, &inputs, &outputs);
        ++pins;
    }
    if (NT_SUCCESS(status)) {
        m_Asio.m_nAsioBufferFrames = header.BufferFrames;
        for (ULONG e = 0; e < header.Count; ++e) {
            ASIO_BUFFER_REQUEST_ENTRY entry;
            RtlCopyMemory(&entry, &entries[e], sizeof(entry));
            if (entry.IsInput > 1) continue;  // selects nothing
            for (ULONG i = 0; i < engines; ++i) {
                PASIO_PIN pin = &m_Asio.m_pAsioPins[i];
                if (pin->Buffer == NULL || pin->Header.IsInput != entry.IsInput) continue;
                if (entry.Channel < pin->Header.FirstChannel ||
                    entry.Channel - pin->Header.FirstChannel >= pin->Header.Channels)
                    continue;
                pin->Header.Selected = 1;
                break;
            }
        }
        if (*outLength != 8 * pins) status = STATUS_INVALID_PARAMETER;
    }
    if (NT_SUCCESS(status)) {
        ULONG at = 0, signaller = kNone, lastSelected = kNone;
        for (ULONG i = 0; i < engines; ++i) {
            PASIO_PIN pin = &m_Asio.m_pAsioPins[i];
            if (pin->Buffer == NULL) continue;
            ULONGLONG address = (ULONGLONG)(ULONG_PTR)pin->UserAddress;
            RtlCopyMemory(static_cast<PUCHAR>(out) + 8 * at++, &address, sizeof(address));
            if (!pin->Header.Selected) continue;
            lastSelected = i;
            if (pin->Header.IsInput) signaller = i;
        }
        if (signaller == kNone) signaller = lastSelected;
        if (signaller != kNone) m_Asio.m_pAsioPins[signaller].Header.SignalsPeriod = 1;
        for (ULONG i = 0; i < engines; ++i)
            if (m_Asio.m_pAsioPins[i].Buffer != NULL) AsioPublishHeader(&m_Asio.m_pAsioPins[i]);
        status = AsioRegisterStreams();
    }
    if (NT_SUCCESS(status)) {
        client->BuffersCreated = 1;
    } else {
        m_Asio.m_bAsioBuffersOwned = 0;
        AsioFreeBuffers();
    }
    DeviceLock.Unlock();
    return status;
}

NTSTATUS CUsbAudioHal::AsioDisposeBuffers(PFILE_OBJECT file) {
    DeviceLock.Lock();
    PASIO_CLIENT client;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (AsioFindClient(file, &client) && client == m_Asio.m_pAsioOwner) {
        // A started owner is stopped first: no callback may reach a freed
        // ring, and the streams go back to their other clients.
        AsioStopOwner(client);
        AsioUnregisterStreams();
        AsioFreeBuffers();
        client->BuffersCreated = 0;
        m_Asio.m_bAsioBuffersOwned = 0;
        m_Asio.m_pAsioOwner = NULL;
        status = STATUS_SUCCESS;
    }
    // A stop this handle left parked has nothing left to stop. It is taken
    // under the lock its parking holds, so it is never found half parked
    // (published, its cancel routine not yet set), and completed after.
    PIRP parked = AsioTakeParkedStop(file);
    DeviceLock.Unlock();
    if (parked != NULL) PcCompleteIrp(Fdo, parked, STATUS_CANCELLED);
    return status;
}

// The pin's engine format for the owner's settings at creation.
NTSTATUS CUsbAudioHal::AsioBuildFormat(ULONG index, WAVEFORMATEXTENSIBLE* out) {
    IStreamEngine* engine = NULL;
    NTSTATUS status = GetStreamEngine(index, &engine);
    if (!NT_SUCCESS(status)) return status;
    if (engine == NULL) return STATUS_UNSUCCESSFUL;
    const PASIO_PIN pin = &m_Asio.m_pAsioPins[index];
    WAVEFORMATEXTENSIBLE wanted = {};
    wanted.Format.cbSize = 22;
    wanted.Format.nChannels = (WORD)pin->Header.Channels;
    if (m_Asio.m_nAsioBufferIoFormat == ASIO_IO_FORMAT_DSD) {
        wanted.Format.wBitsPerSample = 64;
        wanted.Samples.wValidBitsPerSample = 64;
        wanted.SubFormat = KSDATAFORMAT_SUBTYPE_VENDOR_DSD;
        wanted.Format.nSamplesPerSec = m_Asio.m_nAsioBufferRate / 64;
    } else {
        USHORT container = 0, valid = 0;
        if (!AsioSampleTypeBits(m_Asio.m_nAsioBufferSampleType, &container, &valid)) return STATUS_NO_MATCH;
        wanted.Format.wBitsPerSample = container;
        wanted.Samples.wValidBitsPerSample = valid;
        wanted.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        wanted.Format.nSamplesPerSec = m_Asio.m_nAsioBufferRate;
    }
    for (ULONG i = 0, n = engine->GetFormatCount(); i < n; ++i) {
        WAVEFORMATEXTENSIBLE f = {};
        if (!NT_SUCCESS(engine->GetFormat(i, &f))) continue;
        if (f.Format.nChannels != wanted.Format.nChannels || f.Format.nSamplesPerSec != wanted.Format.nSamplesPerSec ||
            f.Format.wBitsPerSample != wanted.Format.wBitsPerSample ||
            f.Samples.wValidBitsPerSample != wanted.Samples.wValidBitsPerSample || f.SubFormat != wanted.SubFormat)
            continue;
        *out = f;
        m_Asio.m_nAsioBytesPerSample = f.Format.wBitsPerSample / 8u;
        return STATUS_SUCCESS;
    }
    return STATUS_NO_MATCH;
}

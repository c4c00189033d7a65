// Pin walks and tests of the ASIO operations: which stream engines are ASIO
// pins, what their formats offer, and the walk shared by the I/O-format
// and rate requests.
#include "stream/asio/asio_pins.h"

#include "adapter/usb_audio_hal.h"
#include "stream/wave/wave_guids.h"

namespace {

const GUID& SubFormatOf(ULONG ioFormat) {
    return ioFormat == ASIO_IO_FORMAT_DSD ? KSDATAFORMAT_SUBTYPE_VENDOR_DSD : KSDATAFORMAT_SUBTYPE_PCM;
}

// The sample type a format maps to, 0 for none.
ULONG TypeOfFormat(const WAVEFORMATEXTENSIBLE& f) {
    switch (f.Format.wBitsPerSample) {
        case 16: return ASIOSTInt16LSB;
        case 24: return ASIOSTInt24LSB;
        case 32:
            if (f.Samples.wValidBitsPerSample == 16) return ASIOSTInt32LSB16;
            if (f.Samples.wValidBitsPerSample == 24) return ASIOSTInt32LSB24;
            return ASIOSTInt32LSB;
        default: return 0;
    }
}

}  // namespace

ULONG AsioChannelCount(IStreamEngine* pin, ULONG ioFormat) {
    if (ioFormat != ASIO_IO_FORMAT_PCM && ioFormat != ASIO_IO_FORMAT_DSD) return 0;
    ULONG most = 0;
    for (ULONG i = 0, n = pin->GetFormatCount(); i < n; ++i) {
        WAVEFORMATEXTENSIBLE f = {};
        if (!NT_SUCCESS(pin->GetFormat(i, &f)) || f.SubFormat != SubFormatOf(ioFormat)) continue;
        if (f.Format.nChannels > most) most = f.Format.nChannels;
    }
    return most;
}

BOOLEAN AsioPinSupportsIoFormat(IStreamEngine* pin, ULONG mode) {
    if (mode != ASIO_IO_FORMAT_PCM && mode != ASIO_IO_FORMAT_DSD) return FALSE;
    for (ULONG i = 0, n = pin->GetFormatCount(); i < n; ++i) {
        WAVEFORMATEXTENSIBLE f = {};
        if (NT_SUCCESS(pin->GetFormat(i, &f)) && f.SubFormat == SubFormatOf(mode)) return TRUE;
    }
    return FALSE;
}

BOOLEAN AsioPinSupportsRate(IStreamEngine* pin, ULONG mode, ULONG rate) {
    if (mode != ASIO_IO_FORMAT_PCM && mode != ASIO_IO_FORMAT_DSD) return FALSE;
    for (ULONG i = 0, n = pin->GetFormatCount(); i < n; ++i) {
        WAVEFORMATEXTENSIBLE f = {};
        if (!NT_SUCCESS(pin->GetFormat(i, &f)) || f.SubFormat != SubFormatOf(mode)) continue;
        if (mode == ASIO_IO_FORMAT_PCM) {
            if (f.Format.nSamplesPerSec == rate) return TRUE;
            continue;
        }
        // A DSD format of 0 bits or under 2 channels has no rate to match.
        const ULONG bits = f.Format.wBitsPerSample;
        if (bits == 0 || f.Format.nChannels < 2) continue;
        const ULONG perSecond = bits == 16 ? rate / 16 : rate / bits / (f.Format.nChannels / 2u);
        if (f.Format.nSamplesPerSec == perSecond) return TRUE;
    }
    return FALSE;
}

VOID AsioSampleTypeFromFormat(IStreamEngine* pin, BOOLEAN flags[kAsioSampleTypeCandidateCount]) {
    for (ULONG i = 0, n = pin->GetFormatCount(); i < n; ++i) {
        WAVEFORMATEXTENSIBLE f = {};
        if (!NT_SUCCESS(pin->GetFormat(i, &f))) continue;
        const ULONG type = TypeOfFormat(f);
        for (ULONG c = 0; c < kAsioSampleTypeCandidateCount; ++c)
            if (kAsioSampleTypeCandidates[c] == type) flags[c] = TRUE;
    }
}

BOOLEAN AsioGeometry(ULONG rate, ULONG ioFormat, ULONG bufferFrames, ASIO_GEOMETRY* out) {
    const ULONG fpms = ioFormat == ASIO_IO_FORMAT_DSD ? rate / 64000 : rate / 1000;
    if (fpms == 0) return FALSE;
    ULONG ms = bufferFrames / fpms;
    if (ms < 2) ms = 2;
    out->FramesPerMs = fpms;
    if (ms < 8) {
        out->FramesPerTransfer = 1;
        out->Transfers = ms;
    } else if (ms < 16) {
        out->FramesPerTransfer = 2;
        out->Transfers = ms / 2;
    } else if (ms < 20) {
        out->FramesPerTransfer = 4;
        out->Transfers = ms / 4;
    } else {
        out->FramesPerTransfer = 5;
        out->Transfers = ms / 5 > 5 ? 5 : ms / 5;
    }
    out->Registered = out->Transfers == 2 ? 2 : out->Transfers - 1;
    return TRUE;
}

ULONG AsioRingSize(ULONG rate, ULONG ioFormat, ULONG sampleType, ULONG channels) {
    ULONGLONG frameBytes, framesPerSecond;
    if (ioFormat == ASIO_IO_FORMAT_DSD) {
        frameBytes = 8ull * channels;
        framesPerSecond = rate / 64;
    } else {
        frameBytes = (ULONGLONG)AsioSampleTypeWidth(sampleType) * channels;
        framesPerSecond = rate;
    }
    if (frameBytes == 0) return 0;
    ULONGLONG size = framesPerSecond * frameBytes * 40 / 1000;
    size -= size % frameBytes;
    return size > 0xFFFFFFFFull - PAGE_SIZE ? 0 : (ULONG)size;
}

// ---- CUsbAudioHal: the pin walks ------------------------------------------------

BOOLEAN CUsbAudioHal::AsioFindClient(PFILE_OBJECT file, PASIO_CLIENT* out) {
    for (PLIST_ENTRY e = m_Asio.m_AsioClients.Flink; e != &m_Asio.m_AsioClients; e = e->Flink) {
        auto* client = CONTAINING_RECORD(e, ASIO_CLIENT, ListEntry);
        if (client->FileObject != file) continue;
        *out = client;
        return TRUE;
    }
    *out = NULL;
    return FALSE;
}

BOOLEAN CUsbAudioHal::AsioIsPin(ULONG index) {
    ENDPOINT_CAPS caps = {};
    return NT_SUCCESS(GetStreamEngineCapabilities(index, &caps)) && (caps.Flags & ENDPOINT_CAPS_ASIO) != 0;
}

NTSTATUS CUsbAudioHal::AsioWalkPins(BOOLEAN rateTest, ULONG mode, ULONG rate) {
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    for (ULONG i = 0, n = GetStreamEngineCount(); i < n; ++i) {
        if (!AsioIsPin(i)) continue;
        IStreamEngine* pin = NULL;
        NTSTATUS found = GetStreamEngine(i, &pin);
        if (!NT_SUCCESS(found)) return found;
        if (pin == NULL) return STATUS_UNSUCCESSFUL;
        status = STATUS_SUCCESS;
        BOOLEAN fits = rateTest ? AsioPinSupportsRate(pin, mode, rate) : AsioPinSupportsIoFormat(pin, mode);
        if (!fits) return STATUS_UNSUCCESSFUL;
    }
    return status;
}

// Formats of the wave filter: data-range intersection, validation of a
// data format handed to NewStream or SetFormat, the signal-processing
// mode in a format's attribute list, and the check of the private format
// property. Every answer is decided against the engine's offered formats.
#include <cstring>

#include "stream/wave/miniport_wave_cyclic.h"

namespace {

// Accepted data-format sizes and where their wave format starts. Formats
// with an attribute list (KSDATAFORMAT_ATTRIBUTES) carry the list after
// FormatSize rounded up to 8, so their own sizes differ.
struct FormatLayout {
    BOOLEAN attributes;
    ULONG formatSize;
    ULONG waveOffset;
};

const FormatLayout kFormatLayouts[] = {
    {FALSE, 82, 64}, {FALSE, 90, 72}, {FALSE, 104, 64}, {TRUE, 88, 64}, {TRUE, 96, 72}, {TRUE, 104, 64},
};

// Bytes an extensible wave format needs in its data format, and the
// smallest cbSize that makes all of them part of it.
constexpr ULONG kExtensibleBytes = sizeof(WAVEFORMATEXTENSIBLE);
constexpr USHORT kExtensibleExtra = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);

const FormatLayout* FindLayout(const KSDATAFORMAT* format) {
    BOOLEAN attributes = (format->Flags & KSDATAFORMAT_ATTRIBUTES) != 0;
    for (const FormatLayout& layout : kFormatLayouts)
        if (layout.attributes == attributes && layout.formatSize == format->FormatSize) return &layout;
    return NULL;
}

// The part of the format an extensible record compares.
bool SameShape(const WAVEFORMATEXTENSIBLE& a, const WAVEFORMATEXTENSIBLE& b) {
    return a.Format.nChannels == b.Format.nChannels && a.Format.nSamplesPerSec == b.Format.nSamplesPerSec &&
           a.Samples.wValidBitsPerSample == b.Samples.wValidBitsPerSample && WaveSubFormat(a) == WaveSubFormat(b);
}

NTSTATUS CheckLengths(ULONG outputBufferLength, PULONG resultantFormatLength) {
    if (outputBufferLength == 0) {
        *resultantFormatLength = WAVE_RESULT_FORMAT_SIZE;
        return STATUS_BUFFER_OVERFLOW;
    }
    return outputBufferLength < WAVE_RESULT_FORMAT_SIZE ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
}

}  // namespace

VOID WaveCopyFormat(PKSDATAFORMAT dataFormat, const WAVEFORMATEX* wave, WAVEFORMATEXTENSIBLE* out) {
    memset(out, 0, sizeof(*out));
    ULONG offset = (ULONG)(reinterpret_cast<const UCHAR*>(wave) - reinterpret_cast<const UCHAR*>(dataFormat));
    ULONG available = dataFormat->FormatSize > offset ? dataFormat->FormatSize - offset : 0;
    ULONG bytes = sizeof(WAVEFORMATEX) + wave->cbSize;
    if (bytes > sizeof(WAVEFORMATEXTENSIBLE)) bytes = sizeof(WAVEFORMATEXTENSIBLE);
    if (bytes > available) bytes = available;
    memcpy(out, wave, bytes);
}

NTSTATUS CMiniportWaveCyclic::ValidateDataFormat(PKSDATAFORMAT dataFormat, WAVEFORMATEX** waveFormat) {
    if (dataFormat == NULL || waveFormat == NULL) return STATUS_INVALID_PARAMETER;
    const FormatLayout* layout = FindLayout(dataFormat);
    if (layout == NULL || dataFormat->MajorFormat != KSDATAFORMAT_TYPE_AUDIO) return STATUS_INVALID_PARAMETER;
    auto* wave = reinterpret_cast<WAVEFORMATEX*>(reinterpret_cast<PUCHAR>(dataFormat) + layout->waveOffset);
    // An extensible format is compared and copied as 40 bytes: they must
    // lie inside the data format and inside the wave format's own size.
    if (wave->wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
        (layout->formatSize - layout->waveOffset < kExtensibleBytes || wave->cbSize < kExtensibleExtra))
        return STATUS_INVALID_PARAMETER;
    *waveFormat = wave;
    if (m_pStreamEngine == NULL) return STATUS_INVALID_PARAMETER;
    return NT_SUCCESS(m_pStreamEngine->FindFormat(wave)) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS CMiniportWaveCyclic::ParseSignalProcessingMode(const KSMULTIPLE_ITEM* attributes, ULONG size, GUID* mode) {
    *mode = AUDIO_SIGNALPROCESSINGMODE_RAW;
    if (attributes == NULL || size < sizeof(KSMULTIPLE_ITEM)) return STATUS_INVALID_PARAMETER;
    const UCHAR* cursor = reinterpret_cast<const UCHAR*>(attributes) + sizeof(KSMULTIPLE_ITEM);
    ULONG left = size - sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < attributes->Count; i++) {
        if (left < sizeof(KSATTRIBUTE)) return STATUS_INVALID_PARAMETER;
        KSATTRIBUTE attribute;
        memcpy(&attribute, cursor, sizeof(attribute));
        if (attribute.Attribute != KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE) return STATUS_NOT_SUPPORTED;
        if (left < sizeof(KSATTRIBUTE) + sizeof(GUID) || attribute.Size != sizeof(KSATTRIBUTE) + sizeof(GUID))
            return STATUS_INVALID_PARAMETER;
        memcpy(mode, cursor + sizeof(KSATTRIBUTE), sizeof(GUID));
        ULONG step = (attribute.Size + 7) & ~7u;
        if (step > left) step = left;
        cursor += step;
        left -= step;
    }
    return STATUS_SUCCESS;
}

// ---- intersection ------------------------------------------------------------

BOOLEAN CMiniportWaveCyclic::IsSubFormatSupported(const GUID& subFormat) {
    ULONG count = m_pStreamEngine ? m_pStreamEngine->GetFormatCount() : 0;
    for (ULONG i = 0; i < count; i++) {
        WAVEFORMATEXTENSIBLE format;
        if (NT_SUCCESS(m_pStreamEngine->GetFormat(i, &format)) && WaveSubFormat(format) == subFormat) return TRUE;
    }
    return FALSE;
}

NTSTATUS CMiniportWaveCyclic::MatchEngineFormat(WAVEFORMATEXTENSIBLE* format) {
    ULONG count = m_pStreamEngine ? m_pStreamEngine->GetFormatCount() : 0;
    for (ULONG i = 0; i < count; i++) {
        WAVEFORMATEXTENSIBLE record;
        if (!NT_SUCCESS(m_pStreamEngine->GetFormat(i, &record)) || !SameShape(record, *format)) continue;
        *format = record;
        return STATUS_SUCCESS;
    }
    return STATUS_NO_MATCH;
}

NTSTATUS CMiniportWaveCyclic::DataRangeIntersection(ULONG, PKSDATARANGE clientRange, PKSDATARANGE matchingRange,
                                                    ULONG outputBufferLength, PVOID resultantFormat,
                                                    PULONG resultantFormatLength) {
    if (clientRange == NULL || matchingRange == NULL || resultantFormatLength == NULL)
        return STATUS_INVALID_PARAMETER;
    if (clientRange->MajorFormat != KSDATAFORMAT_TYPE_AUDIO) return STATUS_NO_MATCH;
    if (!IsSubFormatSupported(clientRange->SubFormat)) return STATUS_NO_MATCH;
    if (clientRange->Specifier == KSDATAFORMAT_SPECIFIER_DSOUND) return STATUS_NOT_SUPPORTED;
    NTSTATUS status = CheckLengths(outputBufferLength, resultantFormatLength);
    if (status != STATUS_SUCCESS) return status;
    // Only this filter's audio ranges carry the bounds read below (the
    // bridge pin's range is a bare header).
    if (matchingRange->FormatSize < sizeof(KSDATARANGE_AUDIO)) return STATUS_NO_MATCH;
    const auto* matching = reinterpret_cast<const KSDATARANGE_AUDIO*>(matchingRange);
    if (clientRange->Specifier == KSDATAFORMAT_SPECIFIER_WILDCARD) {
        if (resultantFormat == NULL) return STATUS_INVALID_PARAMETER;
        status = IntersectWildcard(matching, resultantFormat);
    } else {
        if (clientRange->FormatSize < sizeof(KSDATARANGE_AUDIO)) return STATUS_INVALID_PARAMETER;
        status = IntersectAudioRange(reinterpret_cast<const KSDATARANGE_AUDIO*>(clientRange), matching,
                                     resultantFormat);
    }
    if (NT_SUCCESS(status)) *resultantFormatLength = WAVE_RESULT_FORMAT_SIZE;
    return status;
}

NTSTATUS CMiniportWaveCyclic::IntersectWildcard(const KSDATARANGE_AUDIO* matching, PVOID result) {
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE format = {};
    format.DataFormat = matching->DataRange;
    WAVEFORMATEXTENSIBLE& wave = format.WaveFormatExt;
    wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    wave.Format.nChannels = (WORD)matching->MaximumChannels;
    wave.Format.nSamplesPerSec = matching->MaximumSampleFrequency;
    wave.Format.wBitsPerSample = (WORD)matching->MaximumBitsPerSample;
    wave.Samples.wValidBitsPerSample = (WORD)matching->MaximumBitsPerSample;
    wave.Format.nBlockAlign = (WORD)(wave.Format.nChannels * wave.Format.wBitsPerSample / 8);
    wave.Format.nAvgBytesPerSec = wave.Format.nBlockAlign * wave.Format.nSamplesPerSec;
    wave.Format.cbSize = kExtensibleExtra;
    SetWaveSubFormat(&wave, KSDATAFORMAT_SUBTYPE_PCM);
    NTSTATUS status = MatchEngineFormat(&wave);
    if (!NT_SUCCESS(status)) return status;
    format.DataFormat.SampleSize = 0;
    format.DataFormat.FormatSize = WAVE_RESULT_FORMAT_SIZE;
    memcpy(result, &format, sizeof(format));
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportWaveCyclic::IntersectAudioRange(const KSDATARANGE_AUDIO* client, const KSDATARANGE_AUDIO* matching,
                                                  PVOID result) {
    if (client->MinimumSampleFrequency > matching->MaximumSampleFrequency ||
        client->MaximumSampleFrequency < matching->MinimumSampleFrequency ||
        client->MinimumBitsPerSample > matching->MaximumBitsPerSample ||
        client->MaximumBitsPerSample < matching->MinimumBitsPerSample)
        return STATUS_NO_MATCH;
    if (result == NULL) return STATUS_INVALID_PARAMETER;
    auto smaller = [](ULONG a, ULONG b) { return a < b ? a : b; };
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE format = {};
    format.DataFormat = client->DataRange;
    format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    WAVEFORMATEXTENSIBLE& wave = format.WaveFormatExt;
    wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    wave.Format.nChannels = (WORD)smaller(client->MaximumChannels, matching->MaximumChannels);
    wave.Format.nSamplesPerSec = smaller(client->MaximumSampleFrequency, matching->MaximumSampleFrequency);
    wave.Samples.wValidBitsPerSample = (WORD)smaller(client->MaximumBitsPerSample, matching->MaximumBitsPerSample);
    SetWaveSubFormat(&wave, client->DataRange.SubFormat);
    NTSTATUS status = MatchEngineFormat(&wave);
    if (!NT_SUCCESS(status)) return status;
    format.DataFormat.SampleSize = wave.Format.nBlockAlign;
    format.DataFormat.FormatSize = WAVE_RESULT_FORMAT_SIZE;
    memcpy(result, &format, sizeof(format));
    return STATUS_SUCCESS;
}

// ---- the private format property ------------------------------------------------

NTSTATUS CMiniportWaveCyclic::IsFormatSupported(const WAVEFORMATEXTENSIBLE* format) {
    if (format == NULL) return STATUS_INVALID_PARAMETER;
    WAVEFORMATEXTENSIBLE wanted;
    memcpy(&wanted, format, sizeof(wanted));
    return NT_SUCCESS(MatchEngineFormat(&wanted)) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

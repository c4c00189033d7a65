// CUsbRenderStreamEx: the remapped family's render stream.
#include "stream/usb/usb_render_stream_ex.h"

#include "portcls/portcls_guids.h"

namespace {

constexpr ULONG kFramesPerTransfer = 10;
constexpr ULONG kSpdifRegister = 0;
constexpr USHORT kRateMask = 0x7000;
constexpr USHORT kNonAudioMask = 0x0002;
constexpr USHORT kWaveFormatAc3Spdif = 0x0092;

// The platform's AC-3 over S/PDIF subformat.
constexpr GUID kSubtypeAc3Spdif = {0x00000092, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

// Alternate settings of the family's fixed playback interface.
constexpr UCHAR kStereoSetting = 2;
constexpr UCHAR kHighRateSetting = 5;

struct RATE_CODE {
    ULONG Rate;
    USHORT Code;
};
constexpr RATE_CODE kRateCodes[] = {{44100, 0x0000}, {48000, 0x2000}, {96000, 0x6000}};

// 2 channels of 16 bits.
WAVEFORMATEXTENSIBLE StereoRecord(ULONG rate, const GUID& subFormat, bool extensibleFields) {
    WAVEFORMATEXTENSIBLE f = {};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = 2;
    f.Format.nSamplesPerSec = rate;
    f.Format.nBlockAlign = 4;
    f.Format.nAvgBytesPerSec = rate * 4;
    f.Format.wBitsPerSample = 16;
    f.Format.cbSize = extensibleFields ? (WORD)(sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) : 0;
    f.Samples.wValidBitsPerSample = 16;
    f.dwChannelMask = extensibleFields ? 3 : 0;
    f.SubFormat = subFormat;
    return f;
}

bool IsAc3(const WAVEFORMATEXTENSIBLE* f) { return StreamFormatTag(f) == kWaveFormatAc3Spdif; }
bool IsPcm96k(const WAVEFORMATEXTENSIBLE* f) {
    return StreamFormatTag(f) == WAVE_FORMAT_PCM && f->Format.nSamplesPerSec == 96000;
}

}  // namespace

CUsbRenderStreamEx::CUsbRenderStreamEx(PUNKNOWN outer, ULONG interfaceNumber, ULONG terminalId)
    : CUsbRenderStream(outer, interfaceNumber, terminalId), m_pRemapHal(NULL) {
    m_nFramesPerTransfer = kFramesPerTransfer;
}

NTSTATUS CUsbRenderStreamEx::Init(ULONG isCapture, PUNKNOWN device, IChipRegisters* model) {
    NTSTATUS status = CCyclicControl::Init(isCapture, device);
    if (NT_SUCCESS(status)) m_pRemapHal = model;
    return status;
}

NTSTATUS CUsbRenderStreamEx::Open(PCYCLIC_CLIENT client, PULONG frameNumber) {
    CMutexScope lock(m_Lock);
    NTSTATUS status = CUsbRenderStream::Open(client, frameNumber);
    if (NT_SUCCESS(status)) WriteFormatRegisters(&client->Format);
    return status;
}

// Results are not checked: the stream plays whatever the codec answered.
// The non-audio bit follows the format's tag whether the client gave it
// plain or extensible: a plain-tag AC-3 client (the only way the wave
// filter opens AC-3) must not go out flagged as audio, and a plain PCM
// client after it must not stay flagged as data.
VOID CUsbRenderStreamEx::WriteFormatRegisters(const WAVEFORMATEXTENSIBLE* format) {
    if (m_pRemapHal == NULL) return;
    for (const RATE_CODE& r : kRateCodes)
        if (r.Rate == format->Format.nSamplesPerSec) m_pRemapHal->WriteChipRegister(kSpdifRegister, r.Code, kRateMask);
    m_pRemapHal->WriteChipRegister(kSpdifRegister, StreamFormatTag(format) == WAVE_FORMAT_PCM ? 0 : kNonAudioMask,
                                   kNonAudioMask);
}

NTSTATUS CUsbRenderStreamEx::SetName(PCWSTR name) {
    NTSTATUS status = CStreamEngine::SetName(name);
    if (!NT_SUCCESS(status)) return status;
    switch (GetEndpointType()) {
    case ENDPOINT_SPK:
        RemoveAc3Formats();
        RemoveHighRateFormats();
        break;
    case ENDPOINT_HP:
        RemoveAc3Formats();
        RemoveHighRateFormats();
        AddPcm96kFormat();
        break;
    case ENDPOINT_SPDIF:
        RemoveAc3Formats();
        RemoveHighRateFormats();
        AddAc3Formats();
        AddPcm96kFormat();
        break;
    default:
        break;
    }
    return status;
}

// A format that cannot be added is simply missing.
NTSTATUS CUsbRenderStreamEx::AddPcm96kFormat() {
    const WAVEFORMATEXTENSIBLE record = StereoRecord(96000, KSDATAFORMAT_SUBTYPE_PCM, true);
    AddFormat(&record, kHighRateSetting);
    return STATUS_SUCCESS;
}

NTSTATUS CUsbRenderStreamEx::AddAc3Formats() {
    const struct {
        ULONG Rate;
        UCHAR Setting;
    } rows[] = {{44100, kStereoSetting}, {48000, kStereoSetting}, {96000, kHighRateSetting}};
    for (const auto& row : rows) {
        const WAVEFORMATEXTENSIBLE record = StereoRecord(row.Rate, kSubtypeAc3Spdif, false);
        AddFormat(&record, row.Setting);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUsbRenderStreamEx::RemoveAc3Formats() {
    RemoveFormats(IsAc3);
    return STATUS_SUCCESS;
}

NTSTATUS CUsbRenderStreamEx::RemoveHighRateFormats() {
    RemoveFormats(IsPcm96k);
    return STATUS_SUCCESS;
}

VOID CUsbRenderStreamEx::RemoveFormats(bool (*match)(const WAVEFORMATEXTENSIBLE* format)) {
    for (CList* list : {m_pStereoFormats, m_pFormats}) {
        POSITION pos = list != NULL ? list->GetHeadPosition() : NULL;
        while (pos != NULL) {
            POSITION at = pos;
            PVOID record = NULL;
            if (!list->GetNext(pos, &record)) break;
            if (!match(static_cast<const WAVEFORMATEXTENSIBLE*>(record))) continue;
            list->RemoveAt(at);
            ExFreePoolWithTag(record, STREAM_ENGINE_TAG);
        }
    }
    for (PLIST_ENTRY e = m_FormatList.Flink; e != &m_FormatList;) {
        PLIST_ENTRY next = e->Flink;
        auto* entry = CONTAINING_RECORD(e, CYCLIC_FORMAT_ENTRY, Link);
        if (match(&entry->Format)) {
            e->Blink->Flink = next;
            next->Blink = e->Blink;
            ExFreePoolWithTag(entry, CYCLIC_CLIENT_TAG);
        }
        e = next;
    }
}

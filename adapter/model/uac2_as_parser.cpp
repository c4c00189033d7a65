// The UAC 2.0 Audio Streaming parser: one stream object per Audio
// Streaming interface (the asynchronous render stream for an interface
// linked to an input terminal, the capture stream for one linked to an
// output terminal), its units (the stream path and the extra units), and
// its formats: for each FORMAT_TYPE, one format per rate of the clock
// source the linked terminal names; after the last interface, the
// terminal-type pass.
//
// Results: STATUS_INVALID_PARAMETER for a bad first descriptor, an
// AS_GENERAL that names no terminal, a FORMAT_TYPE before AS_GENERAL or of
// a format type other than I and III; STATUS_UNSUCCESSFUL for a truncated
// descriptor; a terminal without a clock link or a clock id naming no
// entity fail with the lookup's status. Each with one debugger line.
// Formats the stream code cannot carry (no channels, a subslot outside 1
// to 4 (8 for DSD), more valid bits than the subslot holds, rate 0, a byte
// rate past 32 bits) are skipped with a debugger line and the parse goes
// on, as are PCM and IEC 61937 render formats whose largest packet the
// data endpoint cannot carry at the device's speed (the class 1.0 rule).
// Formats of more than 8 channels are kept: the data path hands them
// through unprocessed.
#include "adapter/base/start_log.h"
#include "adapter/model/descriptor_cursor.h"
#include "adapter/model/streaming_group_walk.h"
#include "adapter/model/uac2_hal.h"
#include "nt/dbg.h"
#include "portcls/portcls_guids.h"
#include "stream/usb/cyclic_control.h"
#include "stream/usb/usb_async_render_stream.h"
#include "stream/usb/usb_capture_stream_ex.h"
#include "stream/wave/wave_guids.h"
#include "topology/interface_ref.h"
#include "topology/uac_controls.h"
#include "topology/uac_entity.h"
#include "topology/value_units.h"
#include "usb/usbd.h"

struct CUac2Hal::STREAMING_GROUP2 {
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;  // of the latest interface descriptor with that number
    CCyclicControl* Stream;  // one reference; NULL until the first AS_GENERAL
    ULONG ClockUnitId;       // the clock node's unit id
    // Of the latest AS_GENERAL.
    UCHAR FormatType;
    ULONG Formats;  // bmFormats
    UCHAR Channels;
    ULONG ChannelConfig;
};

namespace {

// AS_GENERAL fields.
constexpr ULONG kTerminalLinkOffset = 3;
constexpr ULONG kFormatTypeOffset = 5;
constexpr ULONG kFormatsOffset = 6;
constexpr ULONG kChannelsOffset = 10;
constexpr ULONG kChannelConfigOffset = 11;
// FORMAT_TYPE fields.
constexpr ULONG kSubslotOffset = 4;
constexpr ULONG kBitsOffset = 5;

constexpr ULONG kPcmBit = 0x00000001;
// Bits of bmFormats for raw (DSD) data: type I bit 31 and the vendor's bit 15.
constexpr ULONG kDsdBits = 0x80008000;
// Type III bits: IEC 61937 AC-3 and WMA Pro.
constexpr ULONG kIecDolbyDigitalBit = 0x00000001;
constexpr ULONG kIecWmaProBit = 0x00001000;
constexpr UCHAR kMaxPcmSubslot = 4;
constexpr UCHAR kDsdSubslot = 8;

constexpr GUID kSubtypeIec61937DolbyDigital = {
    0x00000092, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID kSubtypeIec61937WmaPro = {
    0x00000164, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

ULONG Le32(const UCHAR* p) { return (ULONG)p[0] | (ULONG)p[1] << 8 | (ULONG)p[2] << 16 | (ULONG)p[3] << 24; }

bool IsStreamingInterface(const UCHAR* d, ULONG bytes) {
    return d != NULL && bytes >= sizeof(USB_INTERFACE_DESCRIPTOR) && d[0] >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
           d[0] <= bytes && d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[5] == USB_DEVICE_CLASS_AUDIO &&
           d[6] == USB_AUDIO_SUBCLASS_AUDIOSTREAMING && d[7] == USB_AUDIO_PROTOCOL_2_0;
}

// Whether the stream code can carry a format of these fields. DSD streams
// are raw bits in 8-byte subslots.
bool Uac2FormatUsable(UCHAR channels, UCHAR subslot, UCHAR bits, bool dsd) {
    const bool subslotOk = (subslot >= 1 && subslot <= kMaxPcmSubslot) || (dsd && subslot == kDsdSubslot);
    return channels >= 1 && subslotOk && bits >= 1 && bits <= 8u * subslot;
}

}  // namespace

NTSTATUS CUac2Hal::ParseAudioStreaming(const USB_CONFIGURATION_DESCRIPTOR* configuration, const UCHAR* descriptor,
                                       ULONG bytesToEnd) {
    if (configuration == NULL) return STATUS_INVALID_PARAMETER;
    if (!IsStreamingInterface(descriptor, bytesToEnd)) {
        LogDescriptorRefusal(descriptor != NULL && bytesToEnd > 2 ? descriptor[2] : 0, 0, 0,
                             "the first Audio Streaming interface is no UAC 2.0 one");
        return STATUS_INVALID_PARAMETER;
    }
    const auto* base = reinterpret_cast<const UCHAR*>(configuration);
    const UCHAR* end = base + configuration->wTotalLength;
    if (descriptor < base || descriptor >= end) return STATUS_INVALID_PARAMETER;
    ULONG bytes = (ULONG)(end - descriptor) < bytesToEnd ? (ULONG)(end - descriptor) : bytesToEnd;
    const UCHAR* group = descriptor;
    while (group != NULL) {
        const UCHAR* groupEnd = NULL;
        NTSTATUS status = ParseUac2Group(group, bytes, &groupEnd);
        if (!NT_SUCCESS(status)) return status;
        group = groupEnd < end ? reinterpret_cast<const UCHAR*>(USBD_ParseConfigurationDescriptorEx(
                                     const_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration),
                                     const_cast<UCHAR*>(groupEnd), -1, -1, USB_DEVICE_CLASS_AUDIO,
                                     USB_AUDIO_SUBCLASS_AUDIOSTREAMING, -1))
                               : NULL;
        if (group != NULL) bytes = (ULONG)(end - group);
    }
    return TerminalTypePass();
}

// first: the group's interface descriptor, whose alternate setting is the
// current one from the start; *end: where the group ended.
NTSTATUS CUac2Hal::ParseUac2Group(const UCHAR* first, ULONG bytes, const UCHAR** end) {
    STREAMING_GROUP2 group = {first[2], first[3], NULL, 0, 0, 0, 0, 0};
    NTSTATUS status = WalkStreamingGroup(this, first, bytes, DESCRIPTOR_SCOPE_AUDIO_STREAMING_2, &group, end,
                                         &CUac2Hal::OnUac2AsGeneral, &CUac2Hal::OnUac2FormatType);
    if (NT_SUCCESS(status) && group.Stream != NULL) {
        status = LogInterfaceStartFailure(group.InterfaceNumber, "the extra units", AddExtraUnits(group.Stream));
        if (NT_SUCCESS(status))
            status = LogInterfaceStartFailure(group.InterfaceNumber, "the stream's buffers",
                                              group.Stream->AllocateBuffers());
    }
    if (group.Stream != NULL) group.Stream->Release();
    return status;
}

NTSTATUS CUac2Hal::OnUac2AsGeneral(const UCHAR* descriptor, STREAMING_GROUP2* group) {
    if (group->Stream == NULL) {
        const UCHAR link = descriptor[kTerminalLinkOffset];
        CUacEntity* terminal = NULL;
        NTSTATUS status = FindEntityById(link, &terminal);
        if (!NT_SUCCESS(status)) {
            LogDescriptorRefusal(group->InterfaceNumber, link, UAC_AS_GENERAL, "bTerminalLink names no entity");
            return status;
        }
        const ULONG kind = terminal->GetKind();
        if (kind != UAC_INPUT_TERMINAL && kind != UAC_OUTPUT_TERMINAL) {
            LogDescriptorRefusal(group->InterfaceNumber, link, UAC_AS_GENERAL, "bTerminalLink names no terminal");
            return STATUS_INVALID_PARAMETER;
        }
        ULONG terminalNodeId = 0, clockId = 0;
        status = terminal->GetLastNodeId(&terminalNodeId);
        if (!NT_SUCCESS(status)) return LogInterfaceStartFailure(group->InterfaceNumber, "the terminal's node", status);
        InterfaceRef<IClockSourceId> clockLink(static_cast<IUacUnit*>(terminal), IID_IClockSourceId);
        status = clockLink.get() != NULL ? clockLink->GetClockSourceId(&clockId) : clockLink.status();
        CUacEntity* clock = NULL;
        if (NT_SUCCESS(status)) status = FindEntityById(clockId, &clock);
        if (NT_SUCCESS(status)) status = clock->GetLastNodeId(&group->ClockUnitId);
        if (!NT_SUCCESS(status)) {
            LogDescriptorRefusal(group->InterfaceNumber, link, UAC_AS_GENERAL,
                                 "the terminal names no clock source entity");
            return status;
        }
        status = CreateUac2Stream(kind == UAC_OUTPUT_TERMINAL, group->InterfaceNumber, terminalNodeId,
                                  group->ClockUnitId, &group->Stream);
        if (!NT_SUCCESS(status)) return LogInterfaceStartFailure(group->InterfaceNumber, "making the stream", status);
        status = LogInterfaceStartFailure(group->InterfaceNumber, "AddStreamEngine", AddStreamEngine(group->Stream));
        if (NT_SUCCESS(status))
            status = LogInterfaceStartFailure(group->InterfaceNumber, "LinkStreamEngine",
                                              LinkStreamEngine(group->Stream, terminalNodeId));
        if (!NT_SUCCESS(status)) return status;
    }
    group->FormatType = descriptor[kFormatTypeOffset];
    group->Formats = Le32(descriptor + kFormatsOffset);
    group->Channels = descriptor[kChannelsOffset];
    group->ChannelConfig = Le32(descriptor + kChannelConfigOffset);
    return STATUS_SUCCESS;
}

NTSTATUS CUac2Hal::OnUac2FormatType(const UCHAR* descriptor, STREAMING_GROUP2* group) {
    if (group->Stream == NULL || (group->FormatType != UAC_FORMAT_TYPE_I && group->FormatType != UAC_FORMAT_TYPE_III)) {
        LogDescriptorRefusal(group->InterfaceNumber, 0, UAC_FORMAT_TYPE,
                             group->Stream == NULL ? "FORMAT_TYPE comes before AS_GENERAL"
                                                   : "bFormatType must be I or III");
        return STATUS_INVALID_PARAMETER;
    }
    const UCHAR subslot = descriptor[kSubslotOffset];
    const UCHAR bits = descriptor[kBitsOffset];
    const bool dsd = group->FormatType == UAC_FORMAT_TYPE_I && (group->Formats & kPcmBit) == 0 &&
                     (group->Formats & kDsdBits) != 0;
    if (!Uac2FormatUsable(group->Channels, subslot, bits, dsd)) {
        DbgPrint("interface %u alternate %u: %u channels of %u-byte subslots with %u bits cannot be streamed; the "
                 "format is skipped\n",
                 (unsigned)group->InterfaceNumber, (unsigned)group->AlternateSetting, (unsigned)group->Channels,
                 (unsigned)subslot, (unsigned)bits);
        return STATUS_SUCCESS;
    }
    WAVEFORMATEXTENSIBLE format = {};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = group->Channels;
    format.Format.nBlockAlign = (WORD)(group->Channels * subslot);
    format.Format.wBitsPerSample = (WORD)(8 * subslot);
    format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format.Samples.wValidBitsPerSample = bits;
    format.dwChannelMask = group->ChannelConfig;
    format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return LogInterfaceStartFailure(group->InterfaceNumber, "adding the clock's formats",
                                    AddFormatsForClock(this, group->Stream, group->ClockUnitId, group->FormatType,
                                                       group->Formats, group->AlternateSetting, &format));
}

NTSTATUS CUac2Hal::AddFormatsForClock(CUac2Hal* model, CCyclicControl* engine, ULONG clockUnitId, UCHAR formatType,
                                      ULONG bmFormats, UCHAR alternateSetting, WAVEFORMATEXTENSIBLE* format) {
    IUacUnit* unit = NULL;
    NTSTATUS status = model->FindUnitById(clockUnitId, &unit);
    if (!NT_SUCCESS(status)) return status;
    InterfaceRef<IClockSource> clock(unit, IID_IClockSource);
    if (clock.get() == NULL) return clock.status();
    ULONG count = 0;
    status = clock->GetSampleRateCount(&count);
    if (!NT_SUCCESS(status) || count == 0) return status;
    auto* rates = static_cast<ULONG*>(ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), UAC2_MODEL_TAG));
    if (rates == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    status = clock->GetSampleRates(&count, rates);
    for (ULONG i = 0; i < count && NT_SUCCESS(status); ++i) {
        const ULONG rate = rates[i];
        const ULONGLONG byteRate = (ULONGLONG)rate * format->Format.nBlockAlign;
        if (rate == 0 || byteRate > 0xFFFFFFFFULL) {
            DbgPrint("interface %u alternate %u: rate %u Hz cannot be streamed; the rate is skipped\n",
                     (unsigned)engine->GetInterfaceNumber(), (unsigned)alternateSetting, (unsigned)rate);
            continue;
        }
        format->Format.nSamplesPerSec = rate;
        format->Format.nAvgBytesPerSec = (DWORD)byteRate;
        // DSD rates are vouched for by the device itself (the probe below).
        const bool dsd = formatType == UAC_FORMAT_TYPE_I && (bmFormats & kPcmBit) == 0;
        if (!dsd && !EndpointCarries(engine, format->Format, alternateSetting)) continue;
        if (formatType == UAC_FORMAT_TYPE_I && (bmFormats & kPcmBit) != 0) {
            status = engine->AddFormat(format, alternateSetting);
        } else if (formatType == UAC_FORMAT_TYPE_I && (bmFormats & kDsdBits) != 0) {
            // The device's clock must take the rate and the stream's
            // setting must carry it; otherwise the rate is passed over.
            if (!NT_SUCCESS(clock->SetSampleRate(rate))) continue;
            if (!engine->IsAltSettingValid(alternateSetting, rate)) continue;
            format->SubFormat = KSDATAFORMAT_SUBTYPE_VENDOR_DSD;
            status = engine->AddFormat(format, alternateSetting);
        } else if (formatType == UAC_FORMAT_TYPE_III) {
            if (bmFormats & kIecDolbyDigitalBit) {
                format->SubFormat = kSubtypeIec61937DolbyDigital;
                status = engine->AddFormat(format, alternateSetting);
            }
            if (NT_SUCCESS(status) && (bmFormats & kIecWmaProBit)) {
                format->SubFormat = kSubtypeIec61937WmaPro;
                status = engine->AddFormat(format, alternateSetting);
            }
        }
    }
    ExFreePoolWithTag(rates, UAC2_MODEL_TAG);
    return status;
}

NTSTATUS CUac2Hal::CreateUac2Stream(BOOLEAN capture, ULONG interfaceNumber, ULONG terminalNodeId, ULONG clockUnitId,
                                    CCyclicControl** stream) {
    if (capture)
        return FinishStream(new (NonPagedPoolNx, m_PoolTag)
                                CUsbCaptureStreamEx(NULL, interfaceNumber, terminalNodeId, clockUnitId),
                            capture, stream);
    return FinishStream(new (NonPagedPoolNx, m_PoolTag)
                            CUsbAsyncRenderStream(NULL, interfaceNumber, terminalNodeId, clockUnitId),
                        capture, stream);
}

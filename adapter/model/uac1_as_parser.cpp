// The UAC 1.0 Audio Streaming parser: one stream engine per Audio Streaming
// interface, its units (the stream path and the extra units) and one
// format per alternate setting and rate (two for an IEC 61937 type III
// setting); after the last interface, the terminal-type pass.
//
// Each interface group is walked by the cursor up to the end of the held
// configuration, wherever the group starts: the bound is recomputed for
// every group from its own position. Results: STATUS_INVALID_PARAMETER for
// a bad first descriptor, an AS_GENERAL that names no terminal, a
// FORMAT_TYPE before AS_GENERAL or of type II, a continuous range above the
// rate table; STATUS_UNSUCCESSFUL for a truncated descriptor; each with one
// debugger line. Engines registered before a failure stay in the model's
// list. A continuous range that holds no table rate, and a render format
// whose largest packet the data endpoint cannot carry, are skipped with a
// debugger line; an engine left without formats then gets no wave filter,
// so the device does not start.
#include "adapter/base/start_log.h"
#include "adapter/model/descriptor_cursor.h"
#include "adapter/model/streaming_group_walk.h"
#include "adapter/model/uac1_formats.h"
#include "adapter/model/uac1_hal.h"
#include "nt/dbg.h"
#include "portcls/portcls_guids.h"
#include "stream/usb/cyclic_control.h"
#include "stream/usb/usb_capture_stream.h"
#include "stream/usb/usb_render_stream.h"
#include "topology/interface_ref.h"
#include "topology/terminal_units.h"
#include "topology/uac_entity.h"
#include "usb/usbd.h"

// What the walk of one Audio Streaming interface keeps.
struct CUac1Hal::STREAMING_GROUP {
    UCHAR InterfaceNumber;   // of the group's first interface descriptor
    UCHAR AlternateSetting;  // of the latest interface descriptor with that number
    USHORT FormatTag;        // wFormatTag of the latest AS_GENERAL
    CCyclicControl* Stream;  // one reference; NULL until the first AS_GENERAL
};

namespace {

// AS_GENERAL: bTerminalLink at 3, wFormatTag at 5. FORMAT_TYPE:
// bFormatType at 3, bNrChannels, bSubframeSize, bBitResolution from 4.
constexpr ULONG kTerminalLinkOffset = 3;
constexpr ULONG kFormatTagOffset = 5;
constexpr ULONG kFormatTypeOffset = 3;
constexpr ULONG kChannelsOffset = 4;
constexpr ULONG kSubframeOffset = 5;
constexpr ULONG kBitsOffset = 6;
// Capture formats with fewer channels are offered a second time without a
// channel layout.
constexpr UCHAR kCaptureLayoutChannels = 4;

bool IsStreamingInterface(const UCHAR* d, ULONG bytes) {
    return d != NULL && bytes > 8 && d[0] >= sizeof(USB_INTERFACE_DESCRIPTOR) && d[0] <= bytes &&
           d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[5] == USB_DEVICE_CLASS_AUDIO &&
           d[6] == USB_AUDIO_SUBCLASS_AUDIOSTREAMING;
}

// FORMAT_TYPE: bSamFreqType at 7, then 3-byte rates from 8 (a continuous
// range: lower at 8, upper at 11).
constexpr ULONG kRateCountOffset = 7;
constexpr ULONG kRatesOffset = 8;
constexpr ULONG kRateBytes = 3;
// wFormatTag bits of a type III setting that carries IEC 61937 data.
constexpr USHORT kIec61937Tags = 0x2001;

// IEC 61937 subformats: Dolby Digital and WMA Pro.
constexpr GUID kSubtypeIec61937DolbyDigital = {
    0x00000092, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID kSubtypeIec61937WmaPro = {
    0x00000164, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

ULONG Rate24(const UCHAR* p) { return (ULONG)p[0] | (ULONG)p[1] << 8 | (ULONG)p[2] << 16; }

// Index of the first table rate at or above rate, or the count when none.
ULONG FirstTableRateAtLeast(ULONG rate) {
    ULONG i = 0;
    while (i < UAC1_CONTINUOUS_RATE_COUNT && UAC1_CONTINUOUS_RATES[i] < rate) ++i;
    return i;
}

}  // namespace

NTSTATUS CUac1Hal::ParseAudioStreaming(const USB_CONFIGURATION_DESCRIPTOR* configuration, const UCHAR* descriptor,
                                       ULONG bytesToEnd) {
    if (configuration == NULL) return STATUS_INVALID_PARAMETER;
    if (!IsStreamingInterface(descriptor, bytesToEnd) || descriptor[7] != USB_AUDIO_PROTOCOL_1_0) {
        LogDescriptorRefusal(descriptor != NULL && bytesToEnd > 2 ? descriptor[2] : 0, 0, 0,
                             "the first Audio Streaming interface is no UAC 1.0 one");
        return STATUS_INVALID_PARAMETER;
    }
    const auto* base = reinterpret_cast<const UCHAR*>(configuration);
    const UCHAR* end = base + configuration->wTotalLength;
    if (descriptor < base || descriptor >= end) return STATUS_INVALID_PARAMETER;
    ULONG bytes = (ULONG)(end - descriptor) < bytesToEnd ? (ULONG)(end - descriptor) : bytesToEnd;
    const UCHAR* group = descriptor;
    while (group != NULL) {
        const UCHAR* groupEnd = NULL;
        NTSTATUS status = ParseStreamingGroup(group, bytes, &groupEnd);
        if (!NT_SUCCESS(status)) return status;
        // The next group, with any protocol, bounded from its own start.
        group = groupEnd < end ? reinterpret_cast<const UCHAR*>(USBD_ParseConfigurationDescriptorEx(
                                     const_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration),
                                     const_cast<UCHAR*>(groupEnd), -1, -1, USB_DEVICE_CLASS_AUDIO,
                                     USB_AUDIO_SUBCLASS_AUDIOSTREAMING, -1))
                               : NULL;
        if (group != NULL) bytes = (ULONG)(end - group);
    }
    return TerminalTypePass();
}

// first: the group's interface descriptor; *end: where the group ended (the
// descriptor that ended it, or the end of the bytes).
NTSTATUS CUac1Hal::ParseStreamingGroup(const UCHAR* first, ULONG bytes, const UCHAR** end) {
    STREAMING_GROUP group = {first[2], first[3], 0, NULL};
    NTSTATUS status = WalkStreamingGroup(this, first, bytes, DESCRIPTOR_SCOPE_AUDIO_STREAMING, &group, end,
                                         &CUac1Hal::OnAsGeneral, &CUac1Hal::OnFormatType);
    if (NT_SUCCESS(status) && group.Stream != NULL) {
        status = LogInterfaceStartFailure(group.InterfaceNumber, "the extra units", AddExtraUnits(group.Stream));
        if (NT_SUCCESS(status))
            status = LogInterfaceStartFailure(group.InterfaceNumber, "the stream's buffers",
                                              group.Stream->AllocateBuffers());
    }
    // The model's engine list holds the stream from AddStreamEngine on.
    if (group.Stream != NULL) group.Stream->Release();
    return status;
}

NTSTATUS CUac1Hal::OnAsGeneral(const UCHAR* descriptor, STREAMING_GROUP* group) {
    if (group->Stream == NULL) {
        const UCHAR link = descriptor[kTerminalLinkOffset];
        CUacEntity* terminal = NULL;
        NTSTATUS status = FindEntityById(link, &terminal);
        if (!NT_SUCCESS(status)) {
            LogDescriptorRefusal(group->InterfaceNumber, link, UAC_AS_GENERAL, "bTerminalLink names no entity");
            return status;
        }
        const ULONG kind = terminal->GetKind();
        // A USB streaming input terminal feeds a render stream; an output
        // terminal takes a capture stream.
        if (kind != UAC_INPUT_TERMINAL && kind != UAC_OUTPUT_TERMINAL) {
            LogDescriptorRefusal(group->InterfaceNumber, link, UAC_AS_GENERAL, "bTerminalLink names no terminal");
            return STATUS_INVALID_PARAMETER;
        }
        ULONG terminalNodeId = 0;
        status = terminal->GetLastNodeId(&terminalNodeId);
        if (NT_SUCCESS(status))
            status = CreateStream(kind == UAC_OUTPUT_TERMINAL, group->InterfaceNumber, terminalNodeId, &group->Stream);
        if (!NT_SUCCESS(status)) return LogInterfaceStartFailure(group->InterfaceNumber, "making the stream", status);
        status = LogInterfaceStartFailure(group->InterfaceNumber, "AddStreamEngine", AddStreamEngine(group->Stream));
        if (NT_SUCCESS(status))
            status = LogInterfaceStartFailure(group->InterfaceNumber, "LinkStreamEngine",
                                              LinkStreamEngine(group->Stream, terminalNodeId));
        if (!NT_SUCCESS(status)) return status;
    }
    group->FormatTag = (USHORT)(descriptor[kFormatTagOffset] | descriptor[kFormatTagOffset + 1] << 8);
    return STATUS_SUCCESS;
}

NTSTATUS CUac1Hal::OnFormatType(const UCHAR* descriptor, STREAMING_GROUP* group) {
    const UCHAR formatType = descriptor[kFormatTypeOffset];
    if (group->Stream == NULL || (formatType != UAC_FORMAT_TYPE_I && formatType != UAC_FORMAT_TYPE_III)) {
        LogDescriptorRefusal(group->InterfaceNumber, 0, UAC_FORMAT_TYPE,
                             group->Stream == NULL ? "FORMAT_TYPE comes before AS_GENERAL"
                                                   : "bFormatType must be I or III");
        return STATUS_INVALID_PARAMETER;
    }
    const UCHAR channels = descriptor[kChannelsOffset];
    const UCHAR subframe = descriptor[kSubframeOffset];
    const UCHAR bits = descriptor[kBitsOffset];
    if (!Uac1FormatUsable(channels, subframe, bits)) return STATUS_SUCCESS;
    const BOOLEAN capture = group->Stream->IsCapture() != 0;
    WAVEFORMATEXTENSIBLE format =
        Uac1FormatRecord(capture ? channels : RenderFormatChannels(channels), subframe, bits, capture);
    NTSTATUS status = AddFormatsForRates(group->Stream, descriptor, group->FormatTag, group->AlternateSetting, &format);
    if (NT_SUCCESS(status) && capture && channels < kCaptureLayoutChannels) {
        format.dwChannelMask = 0;
        status = AddFormatsForRates(group->Stream, descriptor, group->FormatTag, group->AlternateSetting, &format);
    }
    return status;
}

NTSTATUS CUac1Hal::CreateStream(BOOLEAN capture, ULONG interfaceNumber, ULONG terminalNodeId,
                                CCyclicControl** stream) {
    if (capture)
        return FinishStream(new (NonPagedPoolNx, m_PoolTag) CUsbCaptureStream(NULL, interfaceNumber, terminalNodeId),
                            capture, stream);
    return FinishStream(new (NonPagedPoolNx, m_PoolTag) CUsbRenderStream(NULL, interfaceNumber, terminalNodeId),
                        capture, stream);
}

NTSTATUS CUac1Hal::FinishStream(CCyclicControl* created, BOOLEAN capture, CCyclicControl** stream) {
    *stream = NULL;
    if (created == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    created->AddRef();
    NTSTATUS status = created->Init(capture, AudioHal());
    if (!NT_SUCCESS(status)) {
        created->Release();
        return status;
    }
    *stream = created;
    return STATUS_SUCCESS;
}

// Every single-source unit between a terminal-type unit and the first unit
// without exactly one source follows the terminal's output type: it selects
// the type's profile now and listens for later changes. Each chain is
// walked at most as many steps as the model has units.
NTSTATUS CUac1Hal::TerminalTypePass() {
    const ULONG units = GetUnitCount();
    for (ULONG i = 0; i < units; ++i) {
        IUacUnit* unit = NULL;
        ULONG id = 0, one = 1, type = 0;
        if (!NT_SUCCESS(GetUnit(i, &unit)) || unit->GetKind() != UNIT_KIND_TERMINAL_TYPE ||
            unit->GetSourceCount() == 0 || !NT_SUCCESS(unit->GetSourceIds(&one, &id)))
            continue;
        InterfaceRef<ITerminalTypeUnit> selector(unit, IID_ITerminalTypeUnit);
        if (selector.get() == NULL || !NT_SUCCESS(selector->GetType(&type))) continue;
        for (ULONG step = 0; step < units; ++step) {
            IUacUnit* upstream = NULL;
            if (!NT_SUCCESS(FindUnitById(id, &upstream)) || upstream->GetSourceCount() != 1) break;
            InterfaceRef<IUnitProfile> profile(upstream, IID_IUnitProfile);
            if (profile.get() != NULL) {
                profile->SelectProfile(type, NULL);
                selector->AddListener(profile.get());
            }
            one = 1;
            if (!NT_SUCCESS(upstream->GetSourceIds(&one, &id))) break;
        }
    }
    return STATUS_SUCCESS;
}

// ---- formats ------------------------------------------------------------------

BOOLEAN Uac1FormatUsable(UCHAR channels, UCHAR subframeBytes, UCHAR validBits) {
    return channels >= 1 && subframeBytes >= 1 &&
           subframeBytes <= UAC1_MAX_SUBFRAME_BYTES && validBits >= 1 && validBits <= 8u * subframeBytes;
}

WAVEFORMATEXTENSIBLE Uac1FormatRecord(UCHAR channels, UCHAR subframeBytes, UCHAR validBits, BOOLEAN capture) {
    WAVEFORMATEXTENSIBLE format = {};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = channels;
    format.Format.nBlockAlign = (WORD)(channels * subframeBytes);
    format.Format.wBitsPerSample = (WORD)(8 * subframeBytes);
    format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format.Samples.wValidBitsPerSample = validBits;
    const ULONG* masks = capture ? UAC1_CAPTURE_CHANNEL_MASKS : UAC1_RENDER_CHANNEL_MASKS;
    format.dwChannelMask = channels <= UAC1_MAX_FORMAT_CHANNELS ? masks[channels] : 0;
    return format;
}

namespace {

// The table rates a continuous range is offered as, by index: from the
// first at or above its lower bound up to the first at or above its upper
// bound (an upper bound past the table takes the table's end; reversed
// bounds give the indices in order). A lower bound past the table fails
// with STATUS_INVALID_PARAMETER; an ordered range that holds no table rate
// (0..0, 44000..44050) gives *first > *last: nothing is offered.
NTSTATUS ContinuousRateIndices(ULONG interfaceNumber, UCHAR alternateSetting, const UCHAR* descriptor, ULONG* first,
                               ULONG* last) {
    const ULONG lowerRate = Rate24(descriptor + kRatesOffset);
    const ULONG upperRate = Rate24(descriptor + kRatesOffset + kRateBytes);
    const ULONG lower = FirstTableRateAtLeast(lowerRate);
    ULONG upper = FirstTableRateAtLeast(upperRate);
    if (lower == UAC1_CONTINUOUS_RATE_COUNT) {
        LogDescriptorRefusal(interfaceNumber, 0, UAC_FORMAT_TYPE,
                             "a continuous range must not start above the highest table rate");
        return STATUS_INVALID_PARAMETER;
    }
    if (lowerRate <= upperRate && UAC1_CONTINUOUS_RATES[lower] > upperRate) {
        DbgPrint("interface %u alternate %u: FORMAT_TYPE range %u..%u Hz holds no rate the driver offers; the range "
                 "is skipped\n",
                 (unsigned)interfaceNumber, (unsigned)alternateSetting, (unsigned)lowerRate, (unsigned)upperRate);
        *first = 1;
        *last = 0;
        return STATUS_SUCCESS;
    }
    if (upper == UAC1_CONTINUOUS_RATE_COUNT) upper = UAC1_CONTINUOUS_RATE_COUNT - 1;
    *first = lower < upper ? lower : upper;
    *last = lower < upper ? upper : lower;
    return STATUS_SUCCESS;
}

}  // namespace

// Whether the stream can send the format on the setting: a stream that
// sizes its packets from the rate needs its largest packet to fit the data
// endpoint. A setting without a data endpoint, or one that cannot be
// streamed at all, is left to Open to refuse.
BOOLEAN CUac1Hal::EndpointCarries(CCyclicControl* engine, const WAVEFORMATEX& format, UCHAR alternateSetting) {
    const ULONG largest = engine->LargestPacketBytes(format, alternateSetting);
    ULONG payload = 0;
    if (largest == 0 || !engine->DataEndpointPayload(alternateSetting, &payload) || largest <= payload) return TRUE;
    DbgPrint("interface %u alternate %u: %u Hz needs packets of %u bytes, the data endpoint carries %u; the format "
             "is skipped\n",
             (unsigned)engine->GetInterfaceNumber(), (unsigned)alternateSetting, (unsigned)format.nSamplesPerSec,
             (unsigned)largest, (unsigned)payload);
    return FALSE;
}

// descriptor: a FORMAT_TYPE that passed the cursor, so it holds its rates
// (8 + 3n bytes, 14 for a range); a continuous range as
// ContinuousRateIndices gives it. A rate of 0, and a rate whose packets
// the data endpoint cannot carry, are skipped. The first failing AddFormat
// ends the walk.
NTSTATUS CUac1Hal::AddFormatsForRates(CCyclicControl* engine, const UCHAR* descriptor, USHORT formatTag,
                                      UCHAR alternateSetting, WAVEFORMATEXTENSIBLE* format) {
    const ULONG discrete = descriptor[kRateCountOffset];
    ULONG first = 0, last = 0;
    if (discrete == 0) {
        NTSTATUS status = ContinuousRateIndices(engine->GetInterfaceNumber(), alternateSetting, descriptor, &first, &last);
        if (!NT_SUCCESS(status)) return status;
    } else {
        last = discrete - 1;
    }
    const UCHAR formatType = descriptor[3];
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = first; i <= last && NT_SUCCESS(status); ++i) {
        const ULONG rate = discrete == 0 ? UAC1_CONTINUOUS_RATES[i] : Rate24(descriptor + kRatesOffset + kRateBytes * i);
        if (rate == 0) continue;
        format->Format.nSamplesPerSec = rate;
        if (!EndpointCarries(engine, format->Format, alternateSetting)) continue;
        // At most 2^24 - 1 Hz x 32 bytes: below 2^32.
        format->Format.nAvgBytesPerSec = (DWORD)((ULONGLONG)rate * format->Format.nBlockAlign);
        if (formatType == UAC_FORMAT_TYPE_I) {
            format->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
            status = engine->AddFormat(format, alternateSetting);
        } else if (formatType == UAC_FORMAT_TYPE_III && (formatTag & kIec61937Tags) != 0) {
            format->SubFormat = kSubtypeIec61937DolbyDigital;
            status = engine->AddFormat(format, alternateSetting);
            format->SubFormat = kSubtypeIec61937WmaPro;
            if (NT_SUCCESS(status)) status = engine->AddFormat(format, alternateSetting);
        }
    }
    return LogInterfaceStartFailure(engine->GetInterfaceNumber(), "AddFormat", status);
}

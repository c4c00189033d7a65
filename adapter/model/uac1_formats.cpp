// The formats of one UAC 1.0 FORMAT_TYPE descriptor: one record per sample
// rate (two for an IEC 61937 type III setting), each with its alternate
// setting.
#include "adapter/model/uac1_formats.h"

#include "adapter/model/uac1_hal.h"
#include "platform/portcls/portcls_guids.h"
#include "stream/usb/cyclic_control.h"
#include "usb/usb_descriptors.h"

namespace {

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

BOOLEAN Uac1FormatUsable(UCHAR channels, UCHAR subframeBytes, UCHAR validBits) {
    return channels >= 1 && channels <= UAC1_MAX_FORMAT_CHANNELS && subframeBytes >= 1 &&
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

// descriptor: a FORMAT_TYPE that passed the cursor, so it holds its rates
// (8 + 3n bytes, 14 for a range). A continuous range is offered as the
// table rates from its lower bound on, up to the first at or above its
// upper bound (an upper bound past the table takes the table's end); a
// lower bound past the table fails with STATUS_INVALID_PARAMETER. A rate of
// 0 is skipped. The first failing AddFormat ends the walk.
NTSTATUS CUac1Hal::AddFormatsForRates(CCyclicControl* engine, const UCHAR* descriptor, USHORT formatTag,
                                      UCHAR alternateSetting, WAVEFORMATEXTENSIBLE* format) {
    const ULONG discrete = descriptor[kRateCountOffset];
    ULONG first = 0, last = 0;
    if (discrete == 0) {
        const ULONG lower = FirstTableRateAtLeast(Rate24(descriptor + kRatesOffset));
        ULONG upper = FirstTableRateAtLeast(Rate24(descriptor + kRatesOffset + kRateBytes));
        if (lower == UAC1_CONTINUOUS_RATE_COUNT) return STATUS_INVALID_PARAMETER;
        if (upper == UAC1_CONTINUOUS_RATE_COUNT) upper = UAC1_CONTINUOUS_RATE_COUNT - 1;
        first = lower < upper ? lower : upper;
        last = lower < upper ? upper : lower;
    } else {
        last = discrete - 1;
    }
    const UCHAR formatType = descriptor[3];
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = first; i <= last && NT_SUCCESS(status); ++i) {
        const ULONG rate = discrete == 0 ? UAC1_CONTINUOUS_RATES[i] : Rate24(descriptor + kRatesOffset + kRateBytes * i);
        if (rate == 0) continue;
        format->Format.nSamplesPerSec = rate;
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
    return status;
}

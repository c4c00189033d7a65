// The bounded descriptor walker and its minimum-length table.
#include "adapter/model/descriptor_cursor.h"

#include "usb/usb_descriptors.h"

namespace {

// Any subtype (standard descriptors have none).
constexpr USHORT kAnySubtype = 0x100;
// No count field: the minimum is Fixed.
constexpr ULONG kNoCount = 0;

// Minimum bLength of one kind of descriptor: Fixed + PerCount x
// descriptor[CountOffset]; with a zero count, ZeroCount instead. A
// descriptor too short to hold its count field is too short.
//
// Only kinds whose fields a parser reads have a row. Sources of the
// numbers: USB 2.0 chapter 9 (interface: 9 bytes), USB Audio Class 1.0
// and 2.0 section 4 (terminals, units, clock sources, AS_GENERAL) and the
// Audio Data Formats documents (class 1.0 FORMAT_TYPE: 8 bytes, then 3 per
// discrete rate, or 6 for the continuous range of bSamFreqType 0; class
// 2.0 FORMAT_TYPE: 6 bytes).
struct MIN_LENGTH_ROW {
    DESCRIPTOR_SCOPE Scope;
    UCHAR Type;
    USHORT Subtype;
    ULONG Fixed;
    ULONG CountOffset;
    ULONG PerCount;
    ULONG ZeroCount;
};

constexpr DESCRIPTOR_SCOPE AC = DESCRIPTOR_SCOPE_AUDIO_CONTROL;
constexpr DESCRIPTOR_SCOPE AS = DESCRIPTOR_SCOPE_AUDIO_STREAMING;
constexpr DESCRIPTOR_SCOPE AC2 = DESCRIPTOR_SCOPE_AUDIO_CONTROL_2;
constexpr DESCRIPTOR_SCOPE AS2 = DESCRIPTOR_SCOPE_AUDIO_STREAMING_2;

const MIN_LENGTH_ROW kMinLengthRows[] = {
    // The Audio Streaming walk reads bInterfaceNumber and bAlternateSetting
    // (and the class fields of a group's first descriptor).
    {AS, USB_INTERFACE_DESCRIPTOR_TYPE, kAnySubtype, 9, kNoCount, 0, 9},
    // Input terminal: ... iTerminal at 11.
    {AC, USB_CS_INTERFACE_DESCRIPTOR_TYPE, UAC_INPUT_TERMINAL, 12, kNoCount, 0, 12},
    // Output terminal: ... bSourceID at 7, iTerminal at 8.
    {AC, USB_CS_INTERFACE_DESCRIPTOR_TYPE, UAC_OUTPUT_TERMINAL, 9, kNoCount, 0, 9},
    // Mixer: bNrInPins p at 4, p sources, then at least 5 bytes.
    {AC, USB_CS_INTERFACE_DESCRIPTOR_TYPE, UAC_MIXER_UNIT, 10, 4, 1, 10},
    // Selector: bNrInPins p at 4, p sources, iSelector.
    {AC, USB_CS_INTERFACE_DESCRIPTOR_TYPE, UAC_SELECTOR_UNIT, 6, 4, 1, 6},
    // Feature unit: bControlSize n at 5, the master entry of n bytes, iFeature.
    {AC, USB_CS_INTERFACE_DESCRIPTOR_TYPE, UAC_FEATURE_UNIT, 7, 5, 1, 7},
    // AS_GENERAL: bTerminalLink at 3, bDelay, wFormatTag at 5.
    {AS, USB_CS_INTERFACE_DESCRIPTOR_TYPE, UAC_AS_GENERAL, 7, kNoCount, 0, 7},
    // FORMAT_TYPE: bSamFreqType n at 7, then n rates or one range.
    {AS, USB_CS_INTERFACE_DESCRIPTOR_TYPE, UAC_FORMAT_TYPE, 8, 7, 3, 14},

    // USB Audio Class 2.0 layouts, whose subtypes 1-6 differ from 1.0's. A count of 0
    // passes here; the entity's Init refuses it.
    {AS2, USB_INTERFACE_DESCRIPTOR_TYPE, kAnySubtype, 9, kNoCount, 0, 9},
    // Input terminal: ... bCSourceID at 7, bmControls at 14, iTerminal at 16.
    {AC2, USB_CS_INTERFACE_DESCRIPTOR_TYPE, UAC_INPUT_TERMINAL, 17, kNoCount, 0, 17},
    // Output terminal: ... bSourceID at 7, bCSourceID at 8, bmControls at 9, iTerminal at 11.
    {AC2, USB_CS_INTERFACE_DESCRIPTOR_TYPE, UAC_OUTPUT_TERMINAL, 12, kNoCount, 0, 12},
    // Mixer: bNrInPins p at 4, p sources, bNrChannels, bmChannelConfig (4),
    // iChannelNames, bmMixerControls (at least 1), bmControls, iMixer.
    {AC2, USB_CS_INTERFACE_DESCRIPTOR_TYPE, UAC_MIXER_UNIT, 13, 4, 1, 13},
    // Selector: bNrInPins p at 4, p sources, bmControls, iSelector.
    {AC2, USB_CS_INTERFACE_DESCRIPTOR_TYPE, UAC_SELECTOR_UNIT, 7, 4, 1, 7},
    // Feature unit: bSourceID at 4, the master entry (4 bytes), iFeature.
    {AC2, USB_CS_INTERFACE_DESCRIPTOR_TYPE, UAC_FEATURE_UNIT, 10, kNoCount, 0, 10},
    // Extension unit: wExtensionCode at 4, bNrInPins p at 6, p sources,
    // bNrChannels, bmChannelConfig (4), iChannelNames, bmControls, iExtension.
    {AC2, USB_CS_INTERFACE_DESCRIPTOR_TYPE, UAC2_EXTENSION_UNIT, 15, 6, 1, 15},
    // Clock source: bClockID at 3 ... iClockSource at 7.
    {AC2, USB_CS_INTERFACE_DESCRIPTOR_TYPE, UAC2_CLOCK_SOURCE, 8, kNoCount, 0, 8},
    // AS_GENERAL: bTerminalLink at 3 ... bmChannelConfig at 11, iChannelNames at 15.
    {AS2, USB_CS_INTERFACE_DESCRIPTOR_TYPE, UAC_AS_GENERAL, 16, kNoCount, 0, 16},
    // FORMAT_TYPE I and III: bSubslotSize at 4, bBitResolution at 5.
    {AS2, USB_CS_INTERFACE_DESCRIPTOR_TYPE, UAC_FORMAT_TYPE, 6, kNoCount, 0, 6},
};

}  // namespace

ULONG DescriptorMinimumLength(DESCRIPTOR_SCOPE scope, const UCHAR* descriptor, ULONG length) {
    const UCHAR type = descriptor[1];
    const bool classSpecific = type == USB_CS_INTERFACE_DESCRIPTOR_TYPE || type == USB_CS_ENDPOINT_DESCRIPTOR_TYPE;
    if (classSpecific && length < 3) return 3;
    const USHORT subtype = classSpecific ? descriptor[2] : kAnySubtype;
    for (const MIN_LENGTH_ROW& row : kMinLengthRows) {
        if (row.Scope != scope || row.Type != type || row.Subtype != subtype) continue;
        if (row.CountOffset == kNoCount) return row.Fixed;
        if (length <= row.CountOffset) return row.CountOffset + 1;
        const ULONG count = descriptor[row.CountOffset];
        return count == 0 ? row.ZeroCount : row.Fixed + row.PerCount * count;
    }
    return classSpecific ? 3 : 2;
}

CDescriptorCursor::CDescriptorCursor(const UCHAR* start, ULONG bytes, DESCRIPTOR_SCOPE scope)
    : m_Position(start), m_Remaining(start != NULL ? bytes : 0), m_Scope(scope) {}

CURSOR_RESULT CDescriptorCursor::Next(DESCRIPTOR_VIEW* view) {
    if (m_Remaining == 0) return CURSOR_END;
    if (m_Remaining < 2) return CURSOR_TRUNCATED;
    const ULONG length = m_Position[0];
    if (length < 2 || length > m_Remaining) return CURSOR_TRUNCATED;
    if (length < DescriptorMinimumLength(m_Scope, m_Position, length)) return CURSOR_TRUNCATED;
    view->Bytes = m_Position;
    view->Length = length;
    view->Type = m_Position[1];
    const bool classSpecific =
        view->Type == USB_CS_INTERFACE_DESCRIPTOR_TYPE || view->Type == USB_CS_ENDPOINT_DESCRIPTOR_TYPE;
    view->Subtype = classSpecific ? m_Position[2] : 0;
    m_Position += length;
    m_Remaining -= length;
    return CURSOR_DESCRIPTOR;
}

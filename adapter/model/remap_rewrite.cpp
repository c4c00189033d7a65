// The remapped family's configuration-descriptor rewrite.
#include "adapter/model/remap_rewrite.h"

#include <cstring>

#include "nt/pool.h"

namespace {

constexpr ULONG kWorkTag = MakePoolTag("Z7AM");
constexpr ULONG kWorkBytes = 4096;
constexpr UCHAR kCsInterface = 0x24;
constexpr USHORT kAnyId = 0x100;

// Where the layout has each piece, and what it must look like there
// (subtype 0: a standard descriptor, only bLength and type checked).
struct LAYOUT_PIECE {
    USHORT Offset;
    UCHAR Length;
    UCHAR Type;
    UCHAR Subtype;
    USHORT Id;
};

enum : USHORT {
    kConfiguration = 0x00,
    kAcHeader = 0x12,
    kStreamingTerminal = 0x1C,
    kMicTerminal = 0x28,
    kMicRecord = 0x34,
    kMicThrough = 0x3E,
    kMixer = 0x48,
    kMasterUnit = 0x61,
    kOutputTerminal = 0x71,
    kSecondUnit = 0x7A,
    kRecordTerminal = 0x87,
    kSelector = 0x90,
    kLineTerminal = 0x9A,
    kLineRecord = 0xA6,
    kLineThrough = 0xB0,
    kSpdifTerminal = 0xBA,
    kStereoMix = 0xC6,
    kSpdifUnit = 0xD0,
    kStreaming = 0xDA,
};

const LAYOUT_PIECE kLayout[] = {
    {kConfiguration, 9, 0x02, 0, kAnyId},
    {0x09, 9, 0x04, 0, kAnyId},
    {kAcHeader, 10, kCsInterface, 1, kAnyId},
    {kStreamingTerminal, 12, kCsInterface, 2, 1},
    {kMicTerminal, 12, kCsInterface, 2, kAnyId},
    {kMicRecord, 10, kCsInterface, 6, 8},
    {kMicThrough, 10, kCsInterface, 6, 9},
    {kMixer, 25, kCsInterface, 4, kAnyId},
    {kMasterUnit, 16, kCsInterface, 6, kAnyId},
    {kOutputTerminal, 9, kCsInterface, 3, kAnyId},
    {kSecondUnit, 13, kCsInterface, 6, kAnyId},
    {kRecordTerminal, 9, kCsInterface, 3, kAnyId},
    {kSelector, 10, kCsInterface, 5, kAnyId},
    {kLineTerminal, 12, kCsInterface, 2, kAnyId},
    {kLineRecord, 10, kCsInterface, 6, 15},
    {kLineThrough, 10, kCsInterface, 6, 11},
    {kSpdifTerminal, 12, kCsInterface, 2, kAnyId},
    {kStereoMix, 10, kCsInterface, 6, 2},
    {kSpdifUnit, 10, kCsInterface, 6, 16},
    // The streaming interfaces: playback alternates 0 to 5, recording.
    {0xDA, 9, 0x04, 0, kAnyId},
    {0xE3, 9, 0x04, 0, kAnyId},
    {0x111, 9, 0x04, 0, kAnyId},
    {0x13F, 9, 0x04, 0, kAnyId},
    {0x16D, 9, 0x04, 0, kAnyId},
    {0x19B, 9, 0x04, 0, kAnyId},
    {0x1C6, 9, 0x04, 0, kAnyId},
};

// The streaming part: playback alternate 0, four 46-byte alternates, the
// 43-byte last one, the 55-byte recording interface.
constexpr ULONG kPlaybackAlt0 = 9;
constexpr ULONG kPlaybackAltBytes = 46;
constexpr ULONG kLastAltBytes = 43;
constexpr ULONG kRecordingBytes = 55;
constexpr ULONG kLastAltRateOffset = 24;
constexpr ULONG kLastAltRate = 96000;

// The unit ids the rebuilt units name.
constexpr UCHAR kStreamingTerminalId = 1;
constexpr UCHAR kMicThroughId = 9, kLineThroughId = 11;
constexpr UCHAR kMicRecordId = 8, kLineRecordId = 15, kSpdifUnitId = 16, kStereoMixId = 2;

// The pieces before the streaming part that count into the AC header's
// wTotalLength besides header, streaming terminal and output terminal.
constexpr ULONG kHeaderBase = 31;
constexpr ULONG kConfigurationBase = 49;

class CWriter {
public:
    CWriter(UCHAR* out) : m_Out(out), m_Length(0) {}
    UCHAR* Append(const UCHAR* piece, ULONG length) {
        UCHAR* at = m_Out + m_Length;
        memcpy(at, piece, length);
        m_Length += length;
        return at;
    }
    UCHAR* AppendZeros(ULONG length) {
        UCHAR* at = m_Out + m_Length;
        memset(at, 0, length);
        m_Length += length;
        return at;
    }
    ULONG Length() const { return m_Length; }

private:
    UCHAR* m_Out;
    ULONG m_Length;
};

void ApplyImpliedSwitches(REMAP_SWITCHES* s) {
    if (s->DisableMicInTerminal) s->DisableStereoMixRecUnit = s->DisableMicInAAUnit = s->DisableMicInRecUnit = 1;
    if (s->DisableLineInTerminal) s->DisableStereoMixRecUnit = s->DisableLineInRecUnit = s->DisableLineInAAUnit = 1;
    if (s->DisableMicInTerminal || s->DisableMicInAAUnit || s->DisableLineInAAUnit) s->DisableStereoMixRecUnit = 1;
}

void EmitMixer(const UCHAR* in, const REMAP_SWITCHES& s, CWriter* w) {
    if (s.DisableMicInAAUnit && s.DisableLineInAAUnit) return;
    const UCHAR out = s.Disable8ChOutSupported ? 6 : 8;
    UCHAR sources[3];
    ULONG p = 0, channels = out;
    sources[p++] = kStreamingTerminalId;
    if (!s.DisableMicInAAUnit) sources[p++] = kMicThroughId, channels += 2;
    if (!s.DisableLineInAAUnit) sources[p++] = kLineThroughId, channels += 2;
    const ULONG length = 10 + p + (out * channels + 7) / 8;
    UCHAR* d = w->AppendZeros(length);
    memcpy(d, in + kMixer, 4);
    d[0] = (UCHAR)length;
    d[4] = (UCHAR)p;
    memcpy(d + 5, sources, p);
    d[5 + p] = out;
    const USHORT config = out == 8 ? 0x063F : 0x003F;
    d[6 + p] = (UCHAR)config;
    d[7 + p] = (UCHAR)(config >> 8);
}

// Without 8-channel output the unit keeps the controls of channel 0 and
// six channels: 14 bytes, the last one its iFeature.
void EmitMasterUnit(const UCHAR* in, const REMAP_SWITCHES& s, CWriter* w) {
    UCHAR* d = w->Append(in + kMasterUnit, s.Disable8ChOutSupported ? 14 : 16);
    if (s.DisableMicInAAUnit && s.DisableLineInAAUnit) d[4] = kStreamingTerminalId;
    if (s.Disable8ChOutSupported) {
        d[0] = 14;
        d[13] = 0;
    }
}

// The recording inputs left, in selector order.
ULONG RecordingInputs(const REMAP_SWITCHES& s, UCHAR* ids) {
    ULONG r = 0;
    if (!s.DisableMicInRecUnit) ids[r++] = kMicRecordId;
    if (!s.DisableLineInRecUnit) ids[r++] = kLineRecordId;
    if (!s.DisableSpdifInTerminal) ids[r++] = kSpdifUnitId;
    if (!s.DisableStereoMixRecUnit) ids[r++] = kStereoMixId;
    return r;
}

bool AllInputTerminalsOff(const REMAP_SWITCHES& s) {
    return s.DisableMicInTerminal && s.DisableLineInTerminal && s.DisableSpdifInTerminal;
}

// Whether the recording terminal and interface stay: some input terminal
// and some recording input.
bool RecordingKept(const REMAP_SWITCHES& s) {
    UCHAR ids[4];
    return !AllInputTerminalsOff(s) && RecordingInputs(s, ids) != 0;
}

void EmitRecordTerminal(const UCHAR* in, const REMAP_SWITCHES& s, CWriter* w) {
    if (!RecordingKept(s)) return;
    UCHAR* d = w->Append(in + kRecordTerminal, 9);
    UCHAR ids[4];
    if (RecordingInputs(s, ids) >= 2) return;
    // Without a selector the terminal takes its one input directly, the
    // stereo-mix unit included.
    d[7] = ids[0];
}

void EmitSelector(const UCHAR* in, const REMAP_SWITCHES& s, CWriter* w) {
    UCHAR ids[4];
    const ULONG r = RecordingInputs(s, ids);
    if (r < 2) return;
    UCHAR* d = w->AppendZeros(r + 6);
    memcpy(d, in + kSelector, 4);
    d[0] = (UCHAR)(r + 6);
    d[4] = (UCHAR)r;
    memcpy(d + 5, ids, r);
}

void EmitStreaming(const UCHAR* in, const REMAP_SWITCHES& s, CWriter* w) {
    const UCHAR* at = in + kStreaming;
    w->Append(at, kPlaybackAlt0);
    at += kPlaybackAlt0;
    const UCHAR off[4] = {s.Disable8ChOutSupported, s.Disable2ChOutSupported, s.Disable4ChOutSupported,
                          s.Disable6ChOutSupported};
    for (UCHAR skip : off) {
        if (!skip) w->Append(at, kPlaybackAltBytes);
        at += kPlaybackAltBytes;
    }
    UCHAR* last = w->Append(at, kLastAltBytes);
    last[kLastAltRateOffset] = (UCHAR)kLastAltRate;
    last[kLastAltRateOffset + 1] = (UCHAR)(kLastAltRate >> 8);
    last[kLastAltRateOffset + 2] = (UCHAR)(kLastAltRate >> 16);
    at += kLastAltBytes;
    if (RecordingKept(s)) w->Append(at, kRecordingBytes);
}

void PutLe16(UCHAR* p, ULONG v) {
    p[0] = (UCHAR)v;
    p[1] = (UCHAR)(v >> 8);
}

}  // namespace

const char* const REMAP_SWITCH_NAMES[REMAP_SWITCH_COUNT] = {
    "DisableMicInTerminal",    "DisableLineInTerminal",  "DisableSpdifInTerminal", "DisableMicInAAUnit",
    "DisableLineInAAUnit",     "DisableMicInRecUnit",    "DisableLineInRecUnit",   "DisableStereoMixRecUnit",
    "SupportHPOut",            "SupportSpdifOut",        "Disable2ChOutSupported", "Disable4ChOutSupported",
    "Disable6ChOutSupported",  "Disable8ChOutSupported",
};

BOOLEAN RemapLayoutMatches(const UCHAR* configuration, ULONG heldLength) {
    if (configuration == NULL || heldLength < REMAP_LAYOUT_BYTES) return FALSE;
    for (const LAYOUT_PIECE& piece : kLayout) {
        const UCHAR* d = configuration + piece.Offset;
        if (d[0] != piece.Length || d[1] != piece.Type) return FALSE;
        if (piece.Subtype != 0 && d[2] != piece.Subtype) return FALSE;
        if (piece.Id != kAnyId && d[3] != piece.Id) return FALSE;
    }
    return TRUE;
}

NTSTATUS RewriteRemapConfiguration(UCHAR* configuration, ULONG heldLength, REMAP_SWITCHES* switches,
                                   ULONG* newLength) {
    if (switches == NULL || newLength == NULL || !RemapLayoutMatches(configuration, heldLength))
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    REMAP_SWITCHES& s = *switches;
    ApplyImpliedSwitches(&s);
    if (s.Disable8ChOutSupported && s.Disable6ChOutSupported) return STATUS_UNSUCCESSFUL;
    auto* work = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, kWorkBytes, kWorkTag));
    if (work == NULL) return STATUS_UNSUCCESSFUL;
    memset(work, 0, kWorkBytes);
    const UCHAR* in = configuration;
    CWriter w(work);
    w.Append(in, kStreamingTerminal);
    UCHAR* streaming = w.Append(in + kStreamingTerminal, 12);
    if (s.Disable8ChOutSupported) {
        streaming[7] = 6;
        PutLe16(streaming + 8, 0x003F);
    }
    const ULONG acStart = w.Length();
    ULONG outputTerminal = 0;
    auto keep = [&](bool kept, USHORT offset, ULONG length) {
        if (kept) w.Append(in + offset, length);
    };
    keep(!s.DisableMicInTerminal, kMicTerminal, 12);
    keep(!s.DisableMicInRecUnit, kMicRecord, 10);
    keep(!s.DisableMicInAAUnit, kMicThrough, 10);
    EmitMixer(in, s, &w);
    EmitMasterUnit(in, s, &w);
    w.Append(in + kOutputTerminal, 9);
    outputTerminal = 9;
    keep(!s.DisableStereoMixRecUnit && !s.DisableMicInAAUnit && !s.DisableLineInAAUnit, kSecondUnit, 13);
    EmitRecordTerminal(in, s, &w);
    EmitSelector(in, s, &w);
    keep(!s.DisableLineInTerminal, kLineTerminal, 12);
    keep(!s.DisableLineInRecUnit, kLineRecord, 10);
    keep(!s.DisableLineInAAUnit, kLineThrough, 10);
    keep(!s.DisableSpdifInTerminal, kSpdifTerminal, 12);
    keep(!s.DisableStereoMixRecUnit, kStereoMix, 10);
    keep(!s.DisableSpdifInTerminal, kSpdifUnit, 10);
    const ULONG units = w.Length() - acStart - outputTerminal;
    const ULONG streamingStart = w.Length();
    EmitStreaming(in, s, &w);
    const ULONG total = kConfigurationBase + units + (w.Length() - streamingStart);
    PutLe16(work + kAcHeader + 5, kHeaderBase + units);
    PutLe16(work + 2, total);
    memcpy(configuration, work, total);
    ExFreePoolWithTag(work, kWorkTag);
    *newLength = total;
    return STATUS_SUCCESS;
}

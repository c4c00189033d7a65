// The configuration-descriptor rewrite of the remapped UAC 1.0 family.
//
// The family's codec always describes itself with one fixed 509-byte
// layout (a playback path, microphone, line and S/PDIF inputs reaching an
// output mixer and a recording selector, a stereo-mix recording unit, one
// playback interface with five alternate settings and one recording
// interface). Fourteen switches say which pieces a product really has;
// the rewrite drops the others from the descriptor in place, so that the
// UAC 1.0 parsers see only what remains. Pieces, by offset:
//
//   0x00  9  configuration            kept; wTotalLength rewritten
//   0x09  9  Audio Control interface  kept
//   0x12 10  AC header                kept; wTotalLength rewritten
//   0x1C 12  input terminal 1         kept; 6 channels (0x003F) without 8-channel output
//   0x28 12  microphone terminal      unless DisableMicInTerminal
//   0x34 10  feature unit 8           unless DisableMicInRecUnit (microphone recording)
//   0x3E 10  feature unit 9           unless DisableMicInAAUnit (microphone through)
//   0x48 25  mixer                    rebuilt: inputs 1, 9, 11 as present; gone without 9 and 11
//   0x61 16  feature unit             source 1 without the mixer; 14 bytes without 8 channels
//   0x71  9  output terminal          kept
//   0x7A 13  feature unit             only with stereo mix and both through units
//   0x87  9  recording terminal       gone without any input terminal, or without any
//                                     recording input; with one, its source is that input
//   0x90 10  recording selector       rebuilt with inputs 8, 15, 16, 2 as present;
//                                     gone with fewer than 2
//   0x9A 12  line terminal            unless DisableLineInTerminal
//   0xA6 10  feature unit 15          unless DisableLineInRecUnit (line recording)
//   0xB0 10  feature unit 11          unless DisableLineInAAUnit (line through)
//   0xBA 12  S/PDIF terminal          unless DisableSpdifInTerminal
//   0xC6 10  feature unit 2           unless DisableStereoMixRecUnit (stereo mix)
//   0xD0 10  feature unit 16          unless DisableSpdifInTerminal (S/PDIF)
//   0xDA     streaming interfaces: playback alternate 0 (9), alternates of 8, 2, 4
//            and 6 channels (46 each, unless switched off), the last alternate
//            (43, its one rate made 96 kHz), the recording interface (55) unless
//            no input terminal is left
//
// Before that, the implied switches: no microphone terminal means no
// microphone units and no stereo mix; no line terminal, no line units and
// no stereo mix; no microphone or line through unit, no stereo mix. The
// switches are updated for the caller.
//
// A descriptor held in fewer than 509 bytes, or one whose pieces are not
// where the layout has them (bLength, type, subtype and, where the layout
// names one, id), is refused with STATUS_DEVICE_CONFIGURATION_ERROR and
// nothing written: every offset above, and the alternate settings the
// family's streams select, rely on that layout. The 8- and 6-channel
// switches together fail with STATUS_UNSUCCESSFUL. The result is never
// longer than the layout; bytes after the layout (another interface) are
// dropped with the rest, and bNumInterfaces and the header's interface
// list stay as they are.
//
// Two cases are mended against the layout's literal rule, both of which
// would leave the recording terminal naming the removed selector and fail
// the parse: a recording terminal left without any recording input (every
// recording unit and S/PDIF off while an input terminal stays) goes, with
// the recording interface; with the stereo-mix unit as the only recording
// input, the terminal takes that unit (id 2) as its source.
#pragma once

#include "nt/status.h"
#include "nt/types.h"

// The switches in the order the registry values are read.
typedef struct _REMAP_SWITCHES {
    UCHAR DisableMicInTerminal;
    UCHAR DisableLineInTerminal;
    UCHAR DisableSpdifInTerminal;
    UCHAR DisableMicInAAUnit;
    UCHAR DisableLineInAAUnit;
    UCHAR DisableMicInRecUnit;
    UCHAR DisableLineInRecUnit;
    UCHAR DisableStereoMixRecUnit;
    UCHAR SupportHPOut;
    UCHAR SupportSpdifOut;
    UCHAR Disable2ChOutSupported;
    UCHAR Disable4ChOutSupported;
    UCHAR Disable6ChOutSupported;
    UCHAR Disable8ChOutSupported;
} REMAP_SWITCHES;

#define REMAP_SWITCH_COUNT 14
#define REMAP_LAYOUT_BYTES 509

// Registry value names of the switches, in REMAP_SWITCHES order.
extern const char* const REMAP_SWITCH_NAMES[REMAP_SWITCH_COUNT];

// Whether the descriptor has the family's layout within heldLength bytes.
BOOLEAN RemapLayoutMatches(const UCHAR* configuration, ULONG heldLength);

// Rewrites configuration (heldLength bytes held) in place; *switches gets
// the implied switches. On success *newLength is the new wTotalLength.
NTSTATUS RewriteRemapConfiguration(UCHAR* configuration, ULONG heldLength, REMAP_SWITCHES* switches,
                                   ULONG* newLength);

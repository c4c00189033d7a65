// Explicit feedback of an asynchronous USB audio OUT endpoint: how the
// values on the wire become the rate the render stream follows.
//
// A feedback IN packet carries one value, little-endian: 3 bytes at full
// speed (10.14 fixed point, samples per 1 ms frame, shifted left by 2 into
// 16.16) and 4 bytes at high speed (16.16, samples per packet interval of
// the data endpoint). A few values that devices of the 44.1 kHz family send
// are truncated just below their true rate; each decoder replaces those
// from its table with a value a hair above, so that they decode to the
// whole rate (44100 Hz rather than 44097 Hz).
#pragma once

#include "nt/types.h"

#define FEEDBACK_CORRECTIONS 9

// One row of a correction table, both values in 16.16.
typedef struct _FEEDBACK_CORRECTION {
    ULONG Value;
    ULONG Replacement;
} FEEDBACK_CORRECTION;

extern const FEEDBACK_CORRECTION kFeedback3Corrections[FEEDBACK_CORRECTIONS];
extern const FEEDBACK_CORRECTION kFeedback4Corrections[FEEDBACK_CORRECTIONS];

// The value of the packet at p as it is on the wire: 3 bytes at full
// speed, 4 at high speed, little-endian.
ULONG ReadFeedbackWireValue(const UCHAR* p, BOOLEAN highSpeed);

// The 16.16 value of the packet at p (3 bytes at full speed, 4 at high
// speed), corrected by its decoder's table.
ULONG ReadFeedbackValue(const UCHAR* p, BOOLEAN highSpeed);

// floor(value x packetsPerSecond / 65536) in unsigned 32-bit arithmetic.
ULONG FeedbackValueToRate(ULONG value, ULONG packetsPerSecond);

// What a feedback transfer asks of the render stream.
typedef struct _FEEDBACK_TRANSFER {
    const UCHAR* Buffer;     // the transfer's packets, ValueBytes apart
    ULONG Frames;            // 1 ms frames the transfer spans
    ULONG PacketsPerFrame;   // feedback packets in each frame; its last counts
    BOOLEAN HighSpeed;       // 4-byte values, else 3-byte
    ULONG PacketsPerSecond;  // of the data endpoint: what a value is per
    ULONG NominalRate;       // Hz, the stream's format
} FEEDBACK_TRANSFER;

// Bytes of one value on the wire.
inline ULONG FeedbackValueBytes(BOOLEAN highSpeed) { return highSpeed ? 4 : 3; }

// The values of a transfer whose rate lay outside the window: how many,
// and the first of them as it came on the wire (before the shift of a
// 3-byte value and before any correction).
typedef struct _FEEDBACK_DROPS {
    ULONG Count;
    ULONG FirstWireValue;
} FEEDBACK_DROPS;

// The rate the transfer reports: the mean of the frames' rates that lie
// within 1000 Hz of the nominal rate (a frame whose packet brought nothing
// reads 0 and is not counted); a mean exactly 500 / Frames Hz off the
// nominal rate has its deviation doubled. FALSE, *rate untouched, when no
// frame's rate was accepted. The frames whose value was read but dropped
// go to *drops (which may be NULL).
BOOLEAN DecodeFeedbackTransfer(const FEEDBACK_TRANSFER& transfer, LONG* rate, FEEDBACK_DROPS* drops = NULL);

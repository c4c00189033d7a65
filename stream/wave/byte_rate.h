// Conversion of byte counts between two byte rates, in whole milliseconds
// with every remainder carried: while a client of another rate owns the
// USB stream, its transfers are turned into the wave stream's bytes for the
// same time. A rate is split into bytes per millisecond and thousandths of
// a byte (nAvgBytesPerSec / 1000 and mod 1000), so no step divides by the
// rate itself and nothing overflows for any 32-bit rate.
//
// Plain data; the wave stream keeps one converter under its spin lock and
// feeds it from both the fill and the completion path.
#pragma once

#include "nt/types.h"

typedef struct _WAVE_RATE_PARTS {
    ULONG BytesPerMs;
    ULONG Thousandths;
    ULONG Acc;  // carried thousandths, below 1000
} WAVE_RATE_PARTS;

typedef struct _WAVE_RATE_CONVERTER {
    WAVE_RATE_PARTS Stream;  // the wave stream's own rate
    WAVE_RATE_PARTS Client;  // the running client's rate
    LONG Carry;              // client bytes not yet turned into milliseconds
} WAVE_RATE_CONVERTER;

// Splits bytesPerSecond into parts with no carried thousandths.
WAVE_RATE_PARTS WaveRateParts(ULONG bytesPerSecond);

// Client bytes in, stream bytes out. A client rate below 1000 bytes per
// second makes no whole millisecond: nothing is converted.
ULONG WaveConvertBytes(WAVE_RATE_CONVERTER* converter, ULONG clientBytes);

// Format tables of the UAC 1.0 Audio Streaming parser and the format record
// it builds from a FORMAT_TYPE descriptor.
#pragma once

#include "portcls/portcls_types.h"

// Sample rates (Hz) a continuous range is offered as, ascending.
#define UAC1_CONTINUOUS_RATE_COUNT 9
extern const ULONG UAC1_CONTINUOUS_RATES[UAC1_CONTINUOUS_RATE_COUNT];

// dwChannelMask by channel count (index 0..8) and direction; counts without
// a layout get 0.
extern const ULONG UAC1_RENDER_CHANNEL_MASKS[9];
extern const ULONG UAC1_CAPTURE_CHANNEL_MASKS[9];

// Channel counts with a layout; a sample is 1 to 4 bytes with at least 1
// valid bit.
#define UAC1_MAX_FORMAT_CHANNELS 8
#define UAC1_MAX_SUBFRAME_BYTES 4

// Whether the stream code can carry a format of these FORMAT_TYPE fields;
// others are skipped (channels, block alignment and rate are divisors).
// Formats of more than 8 channels are kept: the data path hands them to
// the device unprocessed (the nodes take at most 8 channel buffers) and
// gives them no channel layout.
BOOLEAN Uac1FormatUsable(UCHAR channels, UCHAR subframeBytes, UCHAR validBits);

// The extensible record of a FORMAT_TYPE descriptor's fields, without rate
// and subformat (AddFormatsForRates sets those per rate).
WAVEFORMATEXTENSIBLE Uac1FormatRecord(UCHAR channels, UCHAR subframeBytes, UCHAR validBits, BOOLEAN capture);

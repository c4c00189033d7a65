// Shared pieces of the software processing nodes: the PCM test of a stream
// format and whole-channel zero and scale over the float channel table.
// Resident code: callable at DISPATCH_LEVEL, allocates nothing.
#pragma once

#include "portcls/portcls_types.h"

// The effective format tag: wFormatTag, or for WAVE_FORMAT_EXTENSIBLE the
// first 16 bits of SubFormat.
USHORT DspFormatTag(const WAVEFORMATEXTENSIBLE* format);

// PCM streams reach the nodes as a table of float channel buffers.
inline bool DspIsPcm(const WAVEFORMATEXTENSIBLE* format) {
    return DspFormatTag(format) == WAVE_FORMAT_PCM;
}

// Channels a node touches: nChannels, never more than the table holds
// (formats above eight channels are refused when the stream is opened).
ULONG DspChannelCount(const WAVEFORMATEXTENSIBLE* format);

// Zero or scale frames samples of each of the first channelCount buffers.
void DspZeroChannels(float* const* channels, ULONG channelCount, ULONG frames);
void DspScaleChannels(float* const* channels, ULONG channelCount, ULONG frames, float gain);

// Stream formats for the stream tests: the extensible PCM records the
// device core's parsers add (cbSize 22, channel mask from the channel
// count, PCM sub-format), and the plain form a client may pass.
#pragma once

#include "portcls/portcls_guids.h"
#include "portcls/portcls_types.h"

namespace streamfakes {

inline WAVEFORMATEXTENSIBLE PcmFormat(USHORT channels, ULONG rate, USHORT bits, USHORT containerBits = 0) {
    if (containerBits == 0) containerBits = bits;
    WAVEFORMATEXTENSIBLE f = {};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.nBlockAlign = (USHORT)(channels * containerBits / 8);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    f.Format.wBitsPerSample = containerBits;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = bits;
    f.dwChannelMask = channels >= 32 ? 0xFFFFFFFFu : (1u << channels) - 1;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

// The same shape as a plain WAVEFORMATEX (tag 1, cbSize 0).
inline WAVEFORMATEXTENSIBLE PlainPcm(USHORT channels, ULONG rate, USHORT bits) {
    WAVEFORMATEXTENSIBLE f = {};
    f.Format.wFormatTag = WAVE_FORMAT_PCM;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = bits;
    return f;
}

}  // namespace streamfakes

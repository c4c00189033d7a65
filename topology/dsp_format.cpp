// Helpers of the software processing nodes.
#include "topology/dsp_format.h"

#include <climits>

#include "primitives/convert/entry_table_a.h"
#include "stream/engine/dsp_node.h"

USHORT DspFormatTag(const WAVEFORMATEXTENSIBLE* format) {
    if (format->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        return (USHORT)(format->SubFormat.Data1 & 0xFFFF);
    }
    return format->Format.wFormatTag;
}

ULONG DspChannelCount(const WAVEFORMATEXTENSIBLE* format) {
    ULONG n = format->Format.nChannels;
    return n < MAX_SOFTWARE_DSP_PROCESS_CHANNELS ? n : MAX_SOFTWARE_DSP_PROCESS_CHANNELS;
}

// The primitives take an int length; chunks are at most 512 frames, but a
// larger count is walked in pieces rather than truncated.
void DspZeroChannels(float* const* channels, ULONG channelCount, ULONG frames) {
    for (ULONG ch = 0; ch < channelCount; ++ch) {
        float* p = channels[ch];
        for (ULONG left = frames; left != 0;) {
            int n = left > (ULONG)INT_MAX ? INT_MAX : (int)left;
            spZeroF32(p, n);
            p += n;
            left -= (ULONG)n;
        }
    }
}

void DspScaleChannels(float* const* channels, ULONG channelCount, ULONG frames, float gain) {
    for (ULONG ch = 0; ch < channelCount; ++ch) {
        float* p = channels[ch];
        for (ULONG left = frames; left != 0;) {
            int n = left > (ULONG)INT_MAX ? INT_MAX : (int)left;
            spScaleF32InPlace(gain, p, n);
            p += n;
            left -= (ULONG)n;
        }
    }
}

// Constant tables of the UAC 1.0 formats.
#include "adapter/model/uac1_formats.h"

// The rates a continuous range (bSamFreqType 0) of a UAC 1.0 FORMAT_TYPE
// descriptor is offered as: the common rates from 8 kHz to 96 kHz.
const ULONG UAC1_CONTINUOUS_RATES[UAC1_CONTINUOUS_RATE_COUNT] = {
    8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000,
};

// Speaker positions: 0x1 front left, 0x2 front right, 0x4 front center,
// 0x8 low frequency, 0x10 back left, 0x20 back right, 0x200 side left,
// 0x400 side right.
const ULONG UAC1_RENDER_CHANNEL_MASKS[9] = {
    0,      // 0 channels
    0x4,    // mono: front center
    0x3,    // stereo
    0,      // 3
    0x33,   // quad: front and back pairs
    0,      // 5
    0x3F,   // 5.1
    0,      // 7
    0x63F,  // 7.1: 5.1 and the side pair
};

const ULONG UAC1_CAPTURE_CHANNEL_MASKS[9] = {
    0, 0x4, 0x3, 0, 0, 0, 0, 0, 0,
};

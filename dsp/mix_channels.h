// MixChannels: channel up- and downmix in place over a table of float
// channel buffers.
#pragma once

#include "nt/types.h"

// channels: the caller's buffers (the effect nodes pass eight of 512
// floats); nIn -> nOut channels over frames samples; bPlain selects the
// plain weight set. nIn == nOut or frames 0 touches nothing.
VOID MixChannels(float** channels, ULONG nIn, ULONG nOut, ULONG frames, BOOLEAN bPlain);

// MixChannels: changes the channel layout of a block of per-channel float
// buffers in place. Folds 8, 6, 4 or 2 channels down with fixed weights, or
// spreads 2, 4 or 6 channels up, filling the new channels with
// DSP_FLOOR_VALUE. Channel roles follow the speaker order: FL, FR, then
// C, LFE, BL, BR, SL, SR for 6 and 8 channels, BL, BR for 4.
//
// bPlain selects the weight set: plain folds add the surround channels to
// their own side; the other set mixes them into both sides with opposite
// signs. Pairs it has no rule for leave every buffer unchanged. No state,
// no allocation; safe at DISPATCH_LEVEL.
#pragma once

#include "nt/types.h"

// The fill value of channels made by an upmix (1e-12).
inline constexpr float DSP_FLOOR_VALUE = 0x1.197998p-40f;  // 0x2B8CBCCC

VOID MixChannels(float** channels, ULONG nIn, ULONG nOut, ULONG frames, BOOLEAN bPlain);

// Recording stand-in for the body of CDspInterleaveSrc (dsp/interleave_src.h).
// No audio passes through it: Init takes the work buffer from pool ("DSPS",
// so leak checks see a layer that was never cleaned up) and is one-shot,
// ResetAll counts, SetFormat keeps the last pair it was given, Cleanup
// frees.
#pragma once

#include <string>
#include <vector>

#include "portcls/portcls_types.h"

namespace formatlayerfake {

// "Init", "ResetAll", "SetFormat", "Cleanup", in call order, over every
// object.
std::vector<std::string> Calls();
void ClearCalls();
// The formats of the last SetFormat call (input, then output).
WAVEFORMATEXTENSIBLE LastInput();
WAVEFORMATEXTENSIBLE LastOutput();
// Makes Init fail (nothing allocated) until cleared.
void FailInit(bool fail);

}  // namespace formatlayerfake

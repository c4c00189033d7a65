// Stand-ins for the bodies of MixChannels (dsp/mix_channels.h) and
// CSurroundVirtualizer (dsp/surround_virtualizer.h) until the DSP building
// blocks land. MixChannels folds 4, 6 and 8 channels to the front pair with
// the plain weights (and copies mono into channel 1); the virtualizer
// renders a recognisable stereo signal with one sample of memory for modes
// 5 and 7 and silence for every other mode, and logs its calls.
#pragma once

#include <string>
#include <vector>

namespace virtualizerfake {

// "Init", "SetFormat:<rate>:<mode>", "Process:<frames>", "Clear".
std::vector<std::string> Calls();
void ClearCalls();

}  // namespace virtualizerfake

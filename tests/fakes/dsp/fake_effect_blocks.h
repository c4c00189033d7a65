// Stand-in for the body of CSurroundVirtualizer (dsp/surround_virtualizer.h)
// until the virtualizer lands. It renders a recognisable stereo signal with one sample of memory for modes
// 5 and 7 and silence for every other mode, and logs its calls.
#pragma once

#include <string>
#include <vector>

namespace virtualizerfake {

// "Init", "SetFormat:<rate>:<mode>", "Process:<frames>", "Clear".
std::vector<std::string> Calls();
void ClearCalls();

}  // namespace virtualizerfake

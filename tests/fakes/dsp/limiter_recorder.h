// Test-only recording wrapper around the real CLimiter. Executables that
// link dsp_limiter_recorder have every call into CLimiter's public
// operations from other object files routed through a recorder (the
// linker's symbol wrapping), which logs the call and runs the real
// operation. Calls the limiter makes to itself are not logged.
#pragma once

#include <string>
#include <vector>

namespace limiterrecorder {

// "AllocateBuffers", "SetMode:0", "SetMakeupGain:1", "SetThreshold:1",
// "SetFormat:<channels>", "Reset", "ResetAll", "Process:<frames>",
// "FreeBuffers", in call order, over every limiter.
std::vector<std::string> Calls();
void ClearCalls();

}  // namespace limiterrecorder

// Recording stand-in for the body of CLimiter (dsp/limiter.h): every call is logged by name and argument,
// AllocateBuffers takes the sixteen channel buffers from pool ("DSPs") so
// leak checks see a limiter that was never freed, and Process leaves the
// samples alone.
#pragma once

#include <string>
#include <vector>

namespace limiterfake {

// "AllocateBuffers", "SetMode:0", "SetMakeupGain:1", "SetThreshold:1",
// "SetFormat:<channels>", "Reset", "Process:<frames>", "FreeBuffers".
std::vector<std::string> Calls();
void ClearCalls();
// Contract mode: Process delays every channel by LIMITER_CONTRACT_DELAY
// frames at unity gain (what the real limiter does to PCM within +-1.0 at
// make-up gain and threshold 1.0); off, it leaves the samples alone.
// Applies to every limiter until switched off.
constexpr int LIMITER_CONTRACT_DELAY = 256;
void SetContractMode(bool on);
// Makes AllocateBuffers return 0 (nothing allocated) until cleared.
void FailAllocation(bool fail);

}  // namespace limiterfake

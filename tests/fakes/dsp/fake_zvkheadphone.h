// Stand-in for the body of CZvkHeadphone (common/zvk/zvkheadphone.h) until
// the headphone engine lands. It keeps the wrapper's contract: the
// constructor's defaults, setters that store and getters that return,
// SetFormat returning 1 (or -1 without an engine), and an engine ("ZVKP",
// failing like any pool allocation) whose Process writes a recognisable
// stereo result into channels 0 and 1, 512 frames late:
//   left  = 0.5 x0 + 0.25 x2 + 0.125 (x4 + x6)
//   right = 0.5 x1 + 0.25 x2 + 0.125 (x5 + x7)
// over the channels SetFormat gave. Disabled or without an engine it folds
// 3 or more channels into the front pair ((0.707 x2 + x0 + x3 + x4) / 2 and
// the right side alike, plus x6 / 2 and x7 / 2 for 8 channels) and leaves 1
// or 2 channels alone. Every setter call is logged.
#pragma once

#include <string>
#include <vector>

class CZvkHeadphone;

namespace zvkfake {

constexpr int kLatencyFrames = 512;

// "SetEnable:1", "SetHeadphoneRoom:2", "SetFormat:<channels>:<rate>", ...
std::vector<std::string> Calls();
void ClearCalls();

// The fields as the wrapper keeps them (no getter exists for some).
struct Fields {
    bool hasEngine;
    int speakerMode, enable, tailEnable, speakerRoom, headphoneRoom, speakerAngle, headphoneAngle, ctcAngle,
        speakerVariant, headphoneVariant, channels;
    // The tail switch as the engine has it: on after every room, angle or
    // variant apply, then as SetTailEnable last set it.
    int engineTail;
};
Fields Read(const CZvkHeadphone* wrapper);

}  // namespace zvkfake

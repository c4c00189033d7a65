// The filter the property and event tests talk to: one node of every kind
// the driver makes, on one chain from a microphone to a headphone output,
// plus a speaker output fed straight from the microphone.
//
//   pins:  0 mic (unit 1, two jacks), 1 HP out (unit 2, one jack),
//          2 SPK out (unit 17, no jacks)
//   nodes: 0 volume (3)  1 mute (4)  2 bass (5)  3 mid (6)  4 AGC (7)
//          5 loudness (8)  6 selector {1, 8} (9)  7 gain pad (10)
//          8 device switch (11)  9 soft mute (12)  10 output type {1,2,14} (13)
//          11 effect, 10 values (14)  12 single-input selector (15)
//          13 volume, 6 channels under the HP profile (16)
#pragma once

#include <string>

#include "tests/topology/topo_fixture.h"

namespace topotest {

enum : ULONG {
    kPinMic = 0, kPinHp = 1, kPinSpk = 2,
    kNodeVolume = 0, kNodeMute = 1, kNodeBass = 2, kNodeMid = 3, kNodeAgc = 4, kNodeLoudness = 5,
    kNodeMux = 6, kNodeGainPad = 7, kNodeSwitch = 8, kNodeSoftMute = 9, kNodeOutputType = 10,
    kNodeEffect = 11, kNodeSingleMux = 12, kNodeVolume6 = 13, kNodeCount = 14,
};

// An effect with n parameter values v[i] = 1000 + i; SetValues is logged.
class CTestEffect : public CEffectUnit {
public:
    CTestEffect(PUNKNOWN outer, ULONG id, ULONG count);
    NTSTATUS SetValue(BYTE enabled) override;
    NTSTATUS GetValues(ULONG index, ULONG count, ULONG* values) override;
    NTSTATUS SetValues(ULONG index, ULONG count, const ULONG* values) override;
    NTSTATUS GetValueRange(ULONG index, ULONG* first, ULONG* second, ULONG* third) override;
    std::string Log;
};

class PropertyGraphTest : public TopoTest {
protected:
    void SetUp() override;
    CVolumeUnit* volume = NULL;
    CMuteUnit* mute = NULL;
    CMuxUnit* mux = NULL;
    CTerminalTypeUnit* outputType = NULL;
    CTestEffect* effect = NULL;
};

}  // namespace topotest

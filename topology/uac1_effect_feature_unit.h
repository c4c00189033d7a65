// The UAC 1.0 feature unit of the chip family with vendor effect controls:
// the same entity as CUacFeatureUnit, whose vendor controls 0x8B and 0x8C
// become the surround and the headphone effect node (kind 23, also
// processing nodes of the render path). Every node of the unit comes from
// non-paged pool with the tag "Z8CT".
#pragma once

#include "topology/uac1_feature_unit.h"

class CUac1EffectFeatureUnit : public CUacFeatureUnit {
public:
    CUac1EffectFeatureUnit(PUNKNOWN outer, ULONG index) : CUacFeatureUnit(outer, index) {}

    // The feature unit's walk (mute required, then volume, bass, mid,
    // treble, AGC, loudness, 0x8B, 0x8C where present).
    NTSTATUS CreateNodes(IAudioHal* builder) override;

protected:
    // CSurroundEffect for 0x8B, CHeadphoneEffect for 0x8C; skipped when
    // there is no memory for the node. The render path meets the unit's
    // nodes last made first, so a node made after an effect node that
    // processes is told that this one follows it and folds the block down.
    NTSTATUS CreateVendorNode(IAudioHal* builder, ULONG controlSelector, ULONG tag,
                              ULONG* nextId) override;

private:
    // An effect node of this unit that processes blocks was made.
    BOOLEAN m_bEffectMade = FALSE;
};

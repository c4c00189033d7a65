// Volume, mute and the effect nodes through the "GlobalTopo" filter as a
// user-mode client sends them: a handle on the filter and IOCTL_KS_PROPERTY
// requests (KSPROPERTY_AUDIO_VOLUMELEVEL in 1/65536 dB, KSPROPERTY_AUDIO_MUTE
// as a BOOL, on channel 0 of a node; an effect's switch as
// KSPROPERTY_AUDIO_DEV_SPECIFIC with a ULONG; its values as runs
// {index, count, values} of the effect-values property set).
#pragma once

#include <string>

#include "tools/host/host_session.h"

namespace host {

struct RenderControls {
    bool hasVolume = false;
    bool hasMute = false;
    ULONG volumeNode = 0;
    ULONG muteNode = 0;
};

// The first volume and the first mute node downstream of the topology pin
// the render wave filter is connected to, in connection order.
RenderControls FindRenderControls(HostSession& session);

NTSTATUS GetVolume(HostSession& session, ULONG node, LONG* level);
NTSTATUS SetVolume(HostSession& session, ULONG node, LONG level);
NTSTATUS GetMute(HostSession& session, ULONG node, bool* mute);
NTSTATUS SetMute(HostSession& session, ULONG node, bool mute);

// The effect nodes of the filter, found by their node names.
struct EffectNodes {
    bool hasSurround = false;
    bool hasHeadphone = false;
    ULONG surroundNode = 0;
    ULONG headphoneNode = 0;
};
EffectNodes FindEffectNodes(HostSession& session);

NTSTATUS GetEffectSwitch(HostSession& session, ULONG node, bool* on);
NTSTATUS SetEffectSwitch(HostSession& session, ULONG node, bool on);
// One value of an effect node (the headphone node: 0 room, 1 mode).
NTSTATUS GetEffectValue(HostSession& session, ULONG node, ULONG index, ULONG* value);
NTSTATUS SetEffectValue(HostSession& session, ULONG node, ULONG index, ULONG value);

// "-6.00 dB"; "-inf dB" for the lowest level.
std::string LevelText(LONG level);

}  // namespace host

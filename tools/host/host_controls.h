// Volume and mute through the "GlobalTopo" filter as a user-mode client
// sends them: a handle on the filter and IOCTL_KS_PROPERTY requests
// (KSPROPERTY_AUDIO_VOLUMELEVEL in 1/65536 dB, KSPROPERTY_AUDIO_MUTE as a
// BOOL) on channel 0 of a node.
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

// "-6.00 dB"; "-inf dB" for the lowest level.
std::string LevelText(LONG level);

}  // namespace host

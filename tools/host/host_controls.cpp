// Volume and mute through the topology filter (see host_controls.h).
#include "tools/host/host_controls.h"

#include <cstdio>
#include <deque>
#include <set>

#include "ks/ks_guids.h"
#include "ks/ks_types.h"
#include "sim/ioctl_harness.h"

namespace host {

namespace {

// One property request on channel 0 of node: value is read (GET) or sent
// (SET), bytes long.
NTSTATUS NodeProperty(HostSession& session, ULONG id, ULONG verb, ULONG node, void* value, ULONG bytes) {
    if (session.Fdo() == NULL) return STATUS_DEVICE_DOES_NOT_EXIST;
    sim::UserProcess client;
    sim::UserHandle filter(client);
    NTSTATUS status = filter.OpenDevice(session.Fdo(), u"\\GlobalTopo");
    if (!NT_SUCCESS(status)) return status;
    KSNODEPROPERTY_AUDIO_CHANNEL request = {};
    request.NodeProperty.Property.Set = KSPROPSETID_Audio;
    request.NodeProperty.Property.Id = id;
    request.NodeProperty.Property.Flags = verb | KSPROPERTY_TYPE_TOPOLOGY;
    request.NodeProperty.NodeId = node;
    request.Channel = 0;
    sim::IoctlResult r = filter.DeviceIoControl(IOCTL_KS_PROPERTY, &request, sizeof(request), value, bytes);
    filter.Close();
    return r.status;
}

}  // namespace

RenderControls FindRenderControls(HostSession& session) {
    RenderControls found;
    const PCFILTER_DESCRIPTOR* topology = session.TopologyDescriptor();
    WaveFilter render = session.FindWaveFilter(false);
    if (topology == NULL || render.port == NULL) return found;
    ULONG pin = KSFILTER_NODE;
    for (const auto& c : session.Connections())
        if (c.fromName == render.name && c.toName == u"GlobalTopo") pin = c.toPin;
    if (pin == KSFILTER_NODE) return found;
    // Breadth first from the pin, each node once.
    std::deque<ULONG> queue;
    std::set<ULONG> seen;
    for (ULONG i = 0; i < topology->ConnectionCount; i++) {
        const PCCONNECTION_DESCRIPTOR& c = topology->Connections[i];
        if (c.FromNode == KSFILTER_NODE && c.FromNodePin == pin && c.ToNode != KSFILTER_NODE) queue.push_back(c.ToNode);
    }
    while (!queue.empty() && (!found.hasVolume || !found.hasMute)) {
        ULONG node = queue.front();
        queue.pop_front();
        if (node >= topology->NodeCount || !seen.insert(node).second) continue;
        const GUID* type = topology->Nodes[node].Type;
        if (type && *type == KSNODETYPE_VOLUME && !found.hasVolume) found = {true, found.hasMute, node, found.muteNode};
        if (type && *type == KSNODETYPE_MUTE && !found.hasMute) found = {found.hasVolume, true, found.volumeNode, node};
        for (ULONG i = 0; i < topology->ConnectionCount; i++) {
            const PCCONNECTION_DESCRIPTOR& c = topology->Connections[i];
            if (c.FromNode == node && c.ToNode != KSFILTER_NODE) queue.push_back(c.ToNode);
        }
    }
    return found;
}

NTSTATUS GetVolume(HostSession& session, ULONG node, LONG* level) {
    return NodeProperty(session, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET, node, level, sizeof(*level));
}

NTSTATUS SetVolume(HostSession& session, ULONG node, LONG level) {
    return NodeProperty(session, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_SET, node, &level, sizeof(level));
}

NTSTATUS GetMute(HostSession& session, ULONG node, bool* mute) {
    BOOL value = FALSE;
    NTSTATUS status = NodeProperty(session, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_GET, node, &value, sizeof(value));
    *mute = value != FALSE;
    return status;
}

NTSTATUS SetMute(HostSession& session, ULONG node, bool mute) {
    BOOL value = mute ? TRUE : FALSE;
    return NodeProperty(session, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_SET, node, &value, sizeof(value));
}

std::string LevelText(LONG level) {
    if (level == (LONG)0x80000000) return "-inf dB";
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "%.2f dB", level / 65536.0);
    return buffer;
}

}  // namespace host

// Volume and mute through the topology filter (see host_controls.h).
#include "tools/host/host_controls.h"

#include <cstdio>
#include <deque>
#include <set>

#include "dsp/effect_nodes.h"
#include "ks/ks_guids.h"
#include "ks/ks_types.h"
#include "sim/ioctl_harness.h"
#include "topology/topo_guids.h"

namespace host {

namespace {

// One property request to the filter: request is the node property with
// its instance data, value is read (GET) or sent (SET), bytes long.
NTSTATUS SendProperty(HostSession& session, void* request, ULONG requestBytes, void* value, ULONG bytes) {
    if (session.Fdo() == NULL) return STATUS_DEVICE_DOES_NOT_EXIST;
    sim::UserProcess client;
    sim::UserHandle filter(client);
    NTSTATUS status = filter.OpenDevice(session.Fdo(), u"\\GlobalTopo");
    if (!NT_SUCCESS(status)) return status;
    sim::IoctlResult r = filter.DeviceIoControl(IOCTL_KS_PROPERTY, request, requestBytes, value, bytes);
    filter.Close();
    return r.status;
}

KSNODEPROPERTY NodeHeader(const GUID& set, ULONG id, ULONG verb, ULONG node) {
    KSNODEPROPERTY header = {};
    header.Property.Set = set;
    header.Property.Id = id;
    header.Property.Flags = verb | KSPROPERTY_TYPE_TOPOLOGY;
    header.NodeId = node;
    return header;
}

// One property request on channel 0 of node.
NTSTATUS NodeProperty(HostSession& session, ULONG id, ULONG verb, ULONG node, void* value, ULONG bytes) {
    KSNODEPROPERTY_AUDIO_CHANNEL request = {};
    request.NodeProperty = NodeHeader(KSPROPSETID_Audio, id, verb, node);
    request.Channel = 0;
    return SendProperty(session, &request, sizeof(request), value, bytes);
}

// DEV_SPECIFIC of an effect node: its switch as a ULONG.
NTSTATUS EffectSwitch(HostSession& session, ULONG verb, ULONG node, ULONG* value) {
    KSNODEPROPERTY_AUDIO_DEV_SPECIFIC request = {};
    request.NodeProperty = NodeHeader(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, verb, node);
    request.Length = sizeof(*value);
    return SendProperty(session, &request, sizeof(request), value, sizeof(*value));
}

// The effect-values run of one value: the instance {index, 1[, value]}
// (sent without the struct's tail padding: the instance's size counts).
constexpr ULONG kEffectValuesRun = 4;
struct EffectRunRequest {
    KSNODEPROPERTY header;
    ULONG run[3];
};

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

EffectNodes FindEffectNodes(HostSession& session) {
    EffectNodes found;
    const PCFILTER_DESCRIPTOR* topology = session.TopologyDescriptor();
    if (topology == NULL) return found;
    for (ULONG node = 0; node < topology->NodeCount; node++) {
        const GUID* name = topology->Nodes[node].Name;
        if (name && *name == EFFECT_GUID_SURROUND && !found.hasSurround) {
            found.hasSurround = true;
            found.surroundNode = node;
        }
        if (name && *name == EFFECT_GUID_HEADPHONE && !found.hasHeadphone) {
            found.hasHeadphone = true;
            found.headphoneNode = node;
        }
    }
    return found;
}

NTSTATUS GetEffectSwitch(HostSession& session, ULONG node, bool* on) {
    ULONG value = 0;
    NTSTATUS status = EffectSwitch(session, KSPROPERTY_TYPE_GET, node, &value);
    *on = (value & 0xFF) != 0;
    return status;
}

NTSTATUS SetEffectSwitch(HostSession& session, ULONG node, bool on) {
    ULONG value = on ? 1 : 0;
    return EffectSwitch(session, KSPROPERTY_TYPE_SET, node, &value);
}

NTSTATUS GetEffectValue(HostSession& session, ULONG node, ULONG index, ULONG* value) {
    EffectRunRequest request = {NodeHeader(KSPROPSETID_EffectValues, kEffectValuesRun, KSPROPERTY_TYPE_GET, node),
                                {index, 1, 0}};
    ULONG answer[3] = {};
    NTSTATUS status = SendProperty(session, &request, sizeof(KSNODEPROPERTY) + 8, answer, sizeof(answer));
    *value = answer[2];
    return status;
}

NTSTATUS SetEffectValue(HostSession& session, ULONG node, ULONG index, ULONG value) {
    EffectRunRequest request = {NodeHeader(KSPROPSETID_EffectValues, kEffectValuesRun, KSPROPERTY_TYPE_SET, node),
                                {index, 1, value}};
    ULONG unused = 0;
    return SendProperty(session, &request, sizeof(KSNODEPROPERTY) + sizeof(request.run), &unused, sizeof(unused));
}

std::string LevelText(LONG level) {
    if (level == (LONG)0x80000000) return "-inf dB";
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "%.2f dB", level / 65536.0);
    return buffer;
}

}  // namespace host

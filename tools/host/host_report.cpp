// Text and JSON views of the running driver (see host_report.h).
#include "tools/host/host_report.h"

#include <cstdio>

#include "sim/debug.h"

#include "adapter/endpoint_type.h"
#include "tools/host/host_controls.h"
#include "tools/host/host_stream.h"
#include "stream/wave/wave_guids.h"
#include "tools/host/ks_names.h"

namespace host {

namespace {

std::string Hex16(unsigned value) {
    char buffer[8];
    std::snprintf(buffer, sizeof(buffer), "0x%04x", value & 0xFFFF);
    return buffer;
}

Json FormatJson(const WAVEFORMATEXTENSIBLE& f) {
    Json j = Json::object();
    j["subFormat"] = f.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? GuidName(WaveSubFormat(f))
                                                                   : "tag " + std::to_string(f.Format.wFormatTag);
    j["channels"] = Json(f.Format.nChannels);
    j["bits"] = Json(f.Format.wBitsPerSample);
    j["validBits"] = Json(f.Samples.wValidBitsPerSample);
    j["rate"] = Json(f.Format.nSamplesPerSec);
    j["channelMask"] = Json(f.dwChannelMask);
    return j;
}

// The audio ranges of a wave filter's streaming pin (attribute lists
// skipped).
std::vector<const KSDATARANGE_AUDIO*> AudioRanges(const PCFILTER_DESCRIPTOR* d) {
    std::vector<const KSDATARANGE_AUDIO*> ranges;
    if (d == NULL || d->PinCount == 0) return ranges;
    const KSPIN_DESCRIPTOR& pin = d->Pins[0].KsPinDescriptor;
    for (ULONG i = 0; i < pin.DataRangesCount; i++) {
        const KSDATARANGE* r = pin.DataRanges[i];
        if (r == NULL) continue;
        if (r->FormatSize >= sizeof(KSDATARANGE_AUDIO))
            ranges.push_back(reinterpret_cast<const KSDATARANGE_AUDIO*>(r));
        if (r->Flags & KSDATARANGE_ATTRIBUTES) i++;
    }
    return ranges;
}

Json RangeJson(const KSDATARANGE_AUDIO* r) {
    Json j = Json::object();
    j["subFormat"] = Json(GuidName(r->DataRange.SubFormat));
    j["maxChannels"] = Json(r->MaximumChannels);
    j["minBits"] = Json(r->MinimumBitsPerSample);
    j["maxBits"] = Json(r->MaximumBitsPerSample);
    j["minRate"] = Json(r->MinimumSampleFrequency);
    j["maxRate"] = Json(r->MaximumSampleFrequency);
    return j;
}

Json DeviceJson(HostSession& session) {
    const simusb::DescriptorSet& set = session.Device().descriptors();
    Json j = Json::object();
    const auto field = [&set](size_t offset) {
        return set.device.size() >= offset + 2 ? (unsigned)(set.device[offset] | set.device[offset + 1] << 8) : 0u;
    };
    j["vendor"] = Json(Hex16(field(8)));
    j["product"] = Json(Hex16(field(10)));
    j["speed"] = Json(set.speed == simusb::UsbSpeed::High ? "high" : "full");
    int version = session.Device().model().classVersion();
    j["classVersion"] = version ? Json(std::to_string(version) + ".0") : Json();
    j["startStatus"] = Json(StatusText(session.StartStatus()));
    return j;
}

Json EnginesJson(HostSession& session) {
    Json engines = Json::array();
    IAudioHal* hal = session.Adapter();
    ULONG count = hal ? hal->GetStreamEngineCount() : 0;
    for (ULONG i = 0; i < count; i++) {
        IStreamEngine* engine = NULL;
        if (!NT_SUCCESS(hal->GetStreamEngine(i, &engine)) || engine == NULL) continue;
        WCHAR name[STREAM_NAME_MAX_CHARS + 1] = {};
        engine->GetName(name);
        const std::u16string waveName = std::u16string(name) + u"Wave";
        const PCFILTER_DESCRIPTOR* wave = NULL;
        for (const WaveFilter& f : session.WaveFilters())
            if (f.name == waveName) wave = f.descriptor;
        ULONG type = engine->GetEndpointType();
        Json e = Json::object();
        e["index"] = Json(i);
        e["name"] = Json(Narrow(name));
        e["direction"] = Json(engine->IsCapture() ? "capture" : "render");
        Json endpoint = Json::object();
        endpoint["name"] = Json(type < ENDPOINT_TYPE_COUNT ? Narrow(ENDPOINT_TYPE_NAMES[type]) : "unknown");
        endpoint["value"] = Json(type);
        e["endpointType"] = std::move(endpoint);
        e["installed"] = Json(wave != NULL);
        e["waveFilter"] = wave ? Json(Narrow(waveName)) : Json();
        Json formats = Json::array();
        for (ULONG k = 0; k < engine->GetFormatCount(); k++) {
            WAVEFORMATEXTENSIBLE f;
            if (NT_SUCCESS(engine->GetFormat(k, &f))) formats.push_back(FormatJson(f));
        }
        e["formats"] = std::move(formats);
        Json ranges = Json::array();
        for (const KSDATARANGE_AUDIO* r : AudioRanges(wave)) ranges.push_back(RangeJson(r));
        e["dataRanges"] = std::move(ranges);
        engines.push_back(std::move(e));
    }
    return engines;
}

// A connection end: a node id, or "filter" for a filter pin.
Json NodeEnd(ULONG node) { return node == KSFILTER_NODE ? Json("filter") : Json(node); }

Json TopologyJson(const PCFILTER_DESCRIPTOR* d) {
    if (d == NULL) return Json();
    Json pins = Json::array();
    for (ULONG i = 0; i < d->PinCount; i++) {
        const KSPIN_DESCRIPTOR& p = d->Pins[i].KsPinDescriptor;
        Json pin = Json::object();
        pin["id"] = Json(i);
        pin["dataFlow"] = Json(p.DataFlow == KSPIN_DATAFLOW_IN ? "in" : "out");
        pin["category"] = p.Category ? Json(GuidName(*p.Category)) : Json();
        pin["name"] = p.Name ? Json(GuidName(*p.Name)) : Json();
        pins.push_back(std::move(pin));
    }
    Json nodes = Json::array();
    for (ULONG i = 0; i < d->NodeCount; i++) {
        Json node = Json::object();
        node["id"] = Json(i);
        node["type"] = d->Nodes[i].Type ? Json(GuidName(*d->Nodes[i].Type)) : Json();
        nodes.push_back(std::move(node));
    }
    Json connections = Json::array();
    for (ULONG i = 0; i < d->ConnectionCount; i++) {
        const PCCONNECTION_DESCRIPTOR& c = d->Connections[i];
        Json connection = Json::object();
        connection["fromNode"] = NodeEnd(c.FromNode);
        connection["fromPin"] = Json(c.FromNodePin);
        connection["toNode"] = NodeEnd(c.ToNode);
        connection["toPin"] = Json(c.ToNodePin);
        connections.push_back(std::move(connection));
    }
    Json j = Json::object();
    j["pins"] = std::move(pins);
    j["nodes"] = std::move(nodes);
    j["connections"] = std::move(connections);
    return j;
}

void PrintFilter(const sim::PcSubdeviceView& s, std::ostream& out) {
    const PCFILTER_DESCRIPTOR* d = s.descriptor;
    if (d == NULL) return;
    if (s.kind == PcPortKindTopology) {
        out << "filter " << Narrow(s.name) << " (topology)\n";
        for (ULONG i = 0; i < d->PinCount; i++) {
            const KSPIN_DESCRIPTOR& p = d->Pins[i].KsPinDescriptor;
            out << "  pin " << i << (p.DataFlow == KSPIN_DATAFLOW_IN ? "  in   " : "  out  ")
                << (p.Category ? GuidName(*p.Category) : "-") << (p.Name ? "  " + GuidName(*p.Name) : "") << "\n";
        }
        for (ULONG i = 0; i < d->NodeCount; i++)
            out << "  node " << i << " " << (d->Nodes[i].Type ? GuidName(*d->Nodes[i].Type) : "-") << "\n";
        return;
    }
    bool capture = d->PinCount && d->Pins[0].KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT;
    out << "filter " << Narrow(s.name) << (capture ? " (capture wave)\n" : " (render wave)\n");
    for (const KSDATARANGE_AUDIO* r : AudioRanges(d))
        out << "  range " << GuidName(r->DataRange.SubFormat) << ": up to " << r->MaximumChannels << " ch, "
            << r->MinimumBitsPerSample << "-" << r->MaximumBitsPerSample << " bit, " << r->MinimumSampleFrequency
            << "-" << r->MaximumSampleFrequency << " Hz\n";
}

}  // namespace

Json ErrorJson(const std::string& text) {
    Json j = Json::object();
    j["error"] = Json(text);
    return j;
}

Json InspectJson(HostSession& session) {
    Json j = Json::object();
    j["device"] = DeviceJson(session);
    j["streamEngines"] = EnginesJson(session);
    j["topology"] = TopologyJson(session.TopologyDescriptor());
    std::vector<std::string> log = sim::DebugLog();
    if (!log.empty()) j["log"] = log;
    return j;
}

std::string DumpJson(const Json& json) {
    return json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

void PrintShow(HostSession& session, std::ostream& out) {
    const simusb::DescriptorSet& set = session.Device().descriptors();
    unsigned vendor = set.device.size() >= 12 ? (unsigned)(set.device[8] | set.device[9] << 8) : 0;
    unsigned product = set.device.size() >= 12 ? (unsigned)(set.device[10] | set.device[11] << 8) : 0;
    int version = session.Device().model().classVersion();
    out << "device " << Hex16(vendor) << ":" << Hex16(product) << ", "
        << (set.speed == simusb::UsbSpeed::High ? "high" : "full") << " speed, USB Audio Class "
        << (version ? std::to_string(version) + ".0" : "unknown") << "\n";
    out << "driver start: " << StatusText(session.StartStatus()) << "\n";
    for (const auto& s : session.Subdevices()) {
        PrintFilter(s, out);
        for (const WaveFilter& f : session.WaveFilters())
            if (f.name == s.name)
                for (const WAVEFORMATEXTENSIBLE& format : OfferedFormats(session, f))
                    out << "  format " << FormatText(format) << "\n";
    }
    RenderControls controls = FindRenderControls(session);
    LONG level = 0;
    bool mute = false;
    if (controls.hasVolume && NT_SUCCESS(GetVolume(session, controls.volumeNode, &level)))
        out << "render volume (node " << controls.volumeNode << "): " << LevelText(level) << "\n";
    if (controls.hasMute && NT_SUCCESS(GetMute(session, controls.muteNode, &mute)))
        out << "render mute (node " << controls.muteNode << "): " << (mute ? "on" : "off") << "\n";
}

}  // namespace host

// What the host program prints about a running driver: `show` as text,
// `inspect` as JSON with a fixed key order, arrays in the driver's order,
// no addresses, and identifiers by their kernel-streaming names.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "tools/host/host_session.h"

namespace host {

// Objects keep their keys in the order they were added.
using Json = nlohmann::ordered_json;

// device {vendor, product, speed, classVersion, startStatus}, streamEngines
// [...], topology {pins, nodes, connections} (null without a start), and
// log [the driver's debugger lines of the run], left out when it printed
// none.
Json InspectJson(HostSession& session);
// {"error": text}.
Json ErrorJson(const std::string& text);
// Indented by two spaces per level, one newline at the end; bytes that are
// not UTF-8 (descriptor strings, paths) become U+FFFD.
std::string DumpJson(const Json& json);

void PrintShow(HostSession& session, std::ostream& out);

}  // namespace host

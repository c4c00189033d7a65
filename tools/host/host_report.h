// What the host program prints about a running driver: `show` as text,
// `inspect` as JSON with a fixed key order, arrays in the driver's order,
// no addresses, and identifiers by their kernel-streaming names.
#pragma once

#include <ostream>

#include "tools/host/host_session.h"
#include "tools/host/json.h"

namespace host {

// device {vendor, product, speed, classVersion, startStatus}, streamEngines
// [...], topology {pins, nodes, connections} (null without a start).
Json InspectJson(HostSession& session);
// {"error": text}.
Json ErrorJson(const std::string& text);

void PrintShow(HostSession& session, std::ostream& out);

}  // namespace host

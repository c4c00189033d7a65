// Names of the kernel-streaming identifiers and statuses the host program
// prints: a GUID by its name where known ("KSNODETYPE_VOLUME"), else in
// registry form ("{6994AD04-93EF-11D0-A3CC-00A0C9223196}"); an NTSTATUS as
// its name and hex value.
#pragma once

#include <string>

#include "nt/types.h"

namespace host {

std::string GuidText(const GUID& guid);
std::string GuidName(const GUID& guid);
// "STATUS_NOT_SUPPORTED (0xC00000BB)"; unknown codes as the hex value.
std::string StatusText(NTSTATUS status);
// UTF-16 text to UTF-8 (the names the stand-in keeps are ASCII).
std::string Narrow(const std::u16string& text);

}  // namespace host

// Reads and writes a device's descriptor bytes as text, so a simulated
// device can replay a real device.
//
// Format (UTF-8; lines end in LF or CRLF):
//
//   # comment                      blank lines and lines whose first
//                                  non-blank character is '#' are skipped
//   device: 12 01 10 01 ...        exactly once: the device descriptor
//   config: 09 02 64 00 ...        one or more; the bytes of all config
//   config: 09 04 00 00 ...        lines are concatenated in file order
//   string 2: USB Headset          string descriptor 2 from text: the one
//                                  space after the colon separates, the
//                                  rest is taken verbatim (trailing blanks
//                                  included) and stored as UTF-16LE, at
//                                  most 126 code units
//   string 0x50 hex: 0a 03 ...     string descriptor 0x50 as raw bytes
//   config2: 09 02 ...             the second configuration (descriptor
//                                  index 1), concatenated like config
//   clock 0x0a: 44100 8000-96000/1 RANGE of the Audio Class 2.0 clock
//                                  source 0x0a, subranges in order: R is
//                                  {R, R, 0}, MIN-MAX/RES as given (Hz)
//
// Keywords may be preceded by blanks. A string index is decimal or 0x-hex,
// 0 to 255; index 0 (the language IDs) is normally written as hex; a
// clock id likewise, and it must name a clock source of the first
// configuration. Rates are decimal and fit in 32 bits. Hex
// bytes are whitespace-separated tokens of an even number of hex digits
// ("0a0b" is two bytes). Bytes replay verbatim, inconsistent ones included:
// nothing checks bLength or wTotalLength. Any error (a duplicate device
// line or string index included) names its line and loads nothing.
//
// A device made from a file answers the standard requests from its
// descriptors and, of the class requests, only what the descriptors (and
// the clock lines) define: the controls of feature units that bmaControls
// declares (CUR, and class 1.0 MIN/MAX/RES or class 2.0 RANGE), a
// selector unit's input, class 1.0 endpoint sampling frequency where the
// endpoint declares it, a class 2.0 clock source's frequency (RANGE from
// its clock line, CUR and SET among those rates) and validity, and a
// class 2.0 streaming interface's active and valid alternate settings.
// Every other request stalls, as a real device's would: a file cannot
// declare jacks, selectable output terminal types, memory spaces or vendor
// requests, so a terminal's jack list (GET CUR 0x02FF) and connection
// status (0x0200), the type selection (0x0800), MEM and vendor requests
// all stall.
#pragma once

#include <string>

#include "platform/usb/uac_builder.h"

namespace simusb {

struct DescriptorFileError {
    int line = 0;         // 1-based; the last line for errors found at the end
    std::string message;  // "line N: ..."
};

// Parses text; on success *out holds the set with the given bus speed.
bool ParseDescriptorText(const std::string& text, UsbSpeed speed, DescriptorSet* out,
                         DescriptorFileError* error);
// Largest file LoadDescriptorFile reads (a device's text is a few
// kilobytes); a larger one, or one that never ends, is refused (line 0).
inline constexpr size_t kMaxDescriptorFileBytes = size_t(1) << 20;
bool LoadDescriptorFile(const std::string& path, UsbSpeed speed, DescriptorSet* out,
                        DescriptorFileError* error);

// Writes the set in the format above: one config line per descriptor
// (bytes past the last well-formed descriptor on one line), then config2
// and clock lines, strings as text
// when they decode cleanly, else as hex. Parsing the result gives the set
// back (speed is not written).
std::string FormatDescriptorText(const DescriptorSet& set);
bool SaveDescriptorFile(const std::string& path, const DescriptorSet& set);

}  // namespace simusb

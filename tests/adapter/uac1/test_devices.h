// Devices the UAC 1.0 model tests build in code: a descriptor set around a
// configuration, the streaming interfaces the tests share, and byte edits
// of built configurations.
#pragma once

#include <functional>

#include "usb/uac_builder.h"

namespace uac1test {

using simusb::Bytes;
using simusb::ConfigBuilder;
using simusb::DescriptorSet;

inline constexpr USHORT kTestVendor = 0x1209;
inline constexpr USHORT kTestProduct = 0x7A20;

// The set of a full-speed device with these ids, the configuration's
// bytes, the language ids and the neutral model string at 0x50.
DescriptorSet MakeSet(const Bytes& configuration, USHORT vendor = kTestVendor, USHORT product = kTestProduct);
// idVendor and idProduct of a set replaced.
void SetIds(DescriptorSet* set, USHORT vendor, USHORT product);

// The Audio Control interface 0 of a device whose streaming interfaces are
// `streaming`; the caller adds the entities.
ConfigBuilder& AudioControl(ConfigBuilder& c, const std::vector<UCHAR>& streaming);
// A streaming interface (alternate 0 and 1) linked to a terminal: 16-bit
// PCM of `channels` at `rates`, an isochronous endpoint in the direction.
ConfigBuilder& Streaming(ConfigBuilder& c, UCHAR interfaceNumber, UCHAR terminalLink, bool in, UCHAR channels = 2,
                         const std::vector<ULONG>& rates = {48000});

// Offset of the n-th (0-based) descriptor of the configuration matching
// the predicate over its bytes, or SIZE_MAX.
size_t FindDescriptor(const Bytes& configuration, const std::function<bool(const uint8_t*)>& match, int n = 0);
// The n-th class-specific Audio Control or Audio Streaming descriptor with
// this subtype and (for entities) byte 3.
size_t FindClassSpecific(const Bytes& configuration, UCHAR subtype, int n = 0);
size_t FindEntity(const Bytes& configuration, UCHAR subtype, UCHAR id);
// wTotalLength set to the byte count.
void FixTotalLength(Bytes* configuration);

}  // namespace uac1test

namespace uac1test {

// IT 1 USB streaming -> FU 2 [master mute] -> OT 3 speaker; streaming
// interface 1 renders.
Bytes SimpleRender();
// IT 1 USB streaming -> OT 16 speaker; IT 2 microphone -> OT 64 USB
// streaming; interface 1 renders, interface 2 captures.
Bytes Terminals16And64();

}  // namespace uac1test

// An independent decoder for descriptor bytes in tests: lsusb -v reads a
// simulated device's descriptors from a umockdev test bed made from them
// (Debian packages umockdev and usbutils; scripts/setup installs both).
#pragma once

#include <string>

#include "platform/usb/uac_builder.h"

namespace lsusbrun {

// Whether umockdev-run and lsusb are on the PATH; callers skip otherwise.
bool HaveTools();

// The umockdev record of the device on bus 1 behind a root hub: the usbfs
// node and the sysfs "descriptors" attribute hold the device and
// configuration descriptors as the kernel presents them.
std::string UmockdevRecord(const simusb::DescriptorSet& set);

// lsusb -v of the set's device (vendor 0x1209), or "" when the run failed.
std::string RunLsusb(const simusb::DescriptorSet& set);

}  // namespace lsusbrun

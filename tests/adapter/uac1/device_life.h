// One whole life of a simulated UAC 1.0 device on a kernel scope of its
// own, for sweeps that run many devices in one process (the seeded mutation
// test and the fuzz target): plug, driver load and AddDevice, the adapter's
// Init with the built-in generic model (real streams), Start, Stop, the
// adapter's release, unplug, and the scope's end checks (threads ended, no
// handle, timer or pool block left). Call it with no kernel scope open.
#pragma once

#include <cstdint>
#include <string>

#include "usb/uac_builder.h"

namespace uac1test {

// The model string every test device gets at index 0x50 unless a test
// takes it away: it begins with no prefix of the family choice or of
// InitHardware, so the generic model is chosen with zero capability words.
extern const char16_t kNeutralModelString[];

struct LifeOutcome {
    NTSTATUS init = STATUS_SUCCESS;
    NTSTATUS start = STATUS_SUCCESS;  // STATUS_SUCCESS when Init failed (not started)
    std::string problems;             // the scope's report; empty when clean
};

// failAllocation n > 0: the n-th pool allocation from the adapter's
// creation on fails (sim::PoolFailNth); *attempts, when given, receives the
// allocations made from there to the end of the life.
LifeOutcome RunDeviceLife(const simusb::DescriptorSet& set, uint64_t failAllocation = 0, uint64_t* attempts = nullptr);

// A full-speed device of the test vendor around configuration bytes, with
// the neutral model string: what the fuzz target feeds RunDeviceLife.
simusb::DescriptorSet DeviceAround(const simusb::Bytes& configuration);

}  // namespace uac1test

// One whole life of a simulated UAC 1.0 device on a kernel scope of its
// own, for sweeps that run many devices in one process (the seeded mutation
// test, the allocation-failure sweep and the fuzz target): plug, driver
// load and AddDevice, the adapter's Init with the built-in generic model
// (real streams), Start, Stop, the adapter's release, unplug, and the
// scope's end checks (threads ended, no handle, timer or pool block left).
// Call it with no kernel scope open.
//
// And the seeded mutations of a configuration descriptor the sweep feeds
// it: a walker written apart from the driver's (it trusts nothing and stops
// at the first descriptor that does not fit) finds the fields the parsers
// read; each mutation changes one kind of field, chosen and valued by a
// std::mt19937 seeded with the case's seed, so a seed names its bytes.
#pragma once

#include <cstdint>
#include <string>

#include "platform/usb/uac_builder.h"

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


enum class MutationKind {
    BLength,          // a descriptor's bLength
    PinCount,         // bNrInPins of a selector or mixer
    ControlSize,      // bControlSize of a feature unit
    RateCount,        // bSamFreqType of a FORMAT_TYPE
    EndpointCount,    // bNumEndpoints of an interface
    EntityId,         // an entity's id, or one of its source ids, or a terminal link
    TotalLength,      // the configuration's wTotalLength
    Truncation,       // the bytes cut at some point (wTotalLength may follow)
    ByteFlips,        // one to four bits flipped anywhere
    Count,
};

const char* MutationName(MutationKind kind);

// The configuration after one mutation of `kind` drawn from `seed`.
simusb::Bytes Mutate(const simusb::Bytes& configuration, MutationKind kind, uint32_t seed);

// Hex dump for a failing case's report.
std::string HexBytes(const simusb::Bytes& bytes);

}  // namespace uac1test

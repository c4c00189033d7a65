// Seeded mutations of a configuration descriptor for the model's mutation
// sweep. A walker written apart from the driver's (it trusts nothing and
// stops at the first descriptor that does not fit) finds the fields the
// parsers read; each mutation changes one kind of field, chosen and valued
// by a std::mt19937 seeded with the case's seed, so a seed names its bytes.
#pragma once

#include <cstdint>
#include <string>

#include "usb/uac_builder.h"

namespace uac1test {

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

// Recorded CPUID register sets for the detection and cache-probe tests: a
// provider that answers from a table of leaves, installed for a scope.
#pragma once

#include <cstdint>
#include <map>
#include <utility>

#include "primitives/convert/sp_cpu.h"

namespace sptest {

struct CpuidSet {
    std::map<std::pair<uint32_t, uint32_t>, SpCpuidRecord> leaves;  // (leaf, subleaf)
    CpuidSet& set(uint32_t leaf, SpCpuidRecord r, uint32_t subleaf = 0) {
        leaves[{leaf, subleaf}] = r;
        return *this;
    }
};

// The accepted vendor's leaf 0 with the given highest leaf.
SpCpuidRecord acceptedVendorLeaf0(uint32_t maxLeaf);
// Another vendor's leaf 0 ("AuthenticAMD").
SpCpuidRecord otherVendorLeaf0(uint32_t maxLeaf);

// Installs a copy of `set` as the CPUID provider for the scope (unknown leaves answer
// zeros); one at a time.
class ScopedCpuid {
public:
    explicit ScopedCpuid(const CpuidSet& set);
    ~ScopedCpuid();
    ScopedCpuid(const ScopedCpuid&) = delete;
    ScopedCpuid& operator=(const ScopedCpuid&) = delete;

private:
    CpuidSet set_;  // a copy: callers may pass temporaries
    SpCpuidProvider saved_;
};

}  // namespace sptest

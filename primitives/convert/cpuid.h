// The CPUID leaves the detection and the cache probe read, through the
// provider seam of sp_cpu.h.
#pragma once

#include <cstdint>

#include "primitives/convert/sp_cpu.h"

namespace sp {
namespace cpu {

inline SpCpuidRecord query(uint32_t leaf, uint32_t subleaf = 0) {
    SpCpuidRecord r{};
    spCpuidProvider.load(std::memory_order_relaxed)(&r, leaf, subleaf);
    return r;
}

// "GenuineIntel" in leaf 0's EBX, EDX, ECX.
constexpr uint32_t kVendorEbx = 0x756E6547u;  // "Genu"
constexpr uint32_t kVendorEdx = 0x49656E69u;  // "ineI"
constexpr uint32_t kVendorEcx = 0x6C65746Eu;  // "ntel"

inline bool isAcceptedVendor(const SpCpuidRecord& leaf0) {
    return leaf0.ebx == kVendorEbx && leaf0.edx == kVendorEdx && leaf0.ecx == kVendorEcx;
}

}  // namespace cpu
}  // namespace sp

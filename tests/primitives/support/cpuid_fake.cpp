#include "tests/primitives/support/cpuid_fake.h"

namespace sptest {
namespace {

const CpuidSet* current = nullptr;

void answer(SpCpuidRecord* r, uint32_t leaf, uint32_t subleaf) {
    *r = SpCpuidRecord{0, 0, 0, 0};
    if (current == nullptr) return;
    auto it = current->leaves.find({leaf, subleaf});
    if (it == current->leaves.end()) it = current->leaves.find({leaf, 0});
    if (it != current->leaves.end()) *r = it->second;
}

}  // namespace

SpCpuidRecord acceptedVendorLeaf0(uint32_t maxLeaf) { return {maxLeaf, 0x756E6547u, 0x6C65746Eu, 0x49656E69u}; }
SpCpuidRecord otherVendorLeaf0(uint32_t maxLeaf) { return {maxLeaf, 0x68747541u, 0x444D4163u, 0x69746E65u}; }

ScopedCpuid::ScopedCpuid(const CpuidSet& set) : set_(set), saved_(spCpuidProvider.load()) {
    current = &set_;
    spCpuidProvider.store(&answer);
}
ScopedCpuid::~ScopedCpuid() {
    spCpuidProvider.store(saved_);
    current = nullptr;
}

}  // namespace sptest

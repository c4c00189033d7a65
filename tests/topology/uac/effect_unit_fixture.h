// The UAC fixture with the feature units of the effect chip family: every
// feature unit descriptor becomes a CUac1EffectFeatureUnit, so its vendor
// controls 0x8B and 0x8C become the surround and the headphone effect node.
#pragma once

#include "tests/topology/uac/uac_fixture.h"

namespace uactest {

// Vendor control block (length 21, control size 2) whose entry 0 has the
// bits of `vendorBits`.
Bytes EffectVendorBlock(USHORT vendorBits);
constexpr USHORT kSurroundBit = 1u << 10;   // 0x8B
constexpr USHORT kHeadphoneBit = 1u << 11;  // 0x8C

class EffectUnitTest : public UacTest {
protected:
    NTSTATUS InitEntity(const Bytes& descriptor, CUacEntity** entity) override;
};

}  // namespace uactest

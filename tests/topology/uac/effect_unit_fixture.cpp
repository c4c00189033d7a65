#include "tests/topology/uac/effect_unit_fixture.h"

#include "topology/uac1_effect_feature_unit.h"

namespace uactest {

Bytes EffectVendorBlock(USHORT vendorBits) {
    Bytes block(21, 0x5A);
    block[16] = 21;
    block[17] = 0;
    block[18] = 2;
    block[19] = (uint8_t)vendorBits;
    block[20] = (uint8_t)(vendorBits >> 8);
    return block;
}

NTSTATUS EffectUnitTest::InitEntity(const Bytes& d, CUacEntity** out) {
    if (d.size() < 3 || d[2] != 6) return UacTest::InitEntity(d, out);
    auto* unit = new (NonPagedPoolNx, MakePoolTag("UAC1")) CUac1EffectFeatureUnit(NULL, (ULONG)m_Model->entities.size());
    if (unit == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    unit->AddRef();
    m_Model->entities.push_back(unit);
    if (out != nullptr) *out = unit;
    return unit->Init(d.data(), static_cast<IAudioHal*>(m_Model), m_Model);
}

}  // namespace uactest

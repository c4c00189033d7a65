// Fixture of the remapped family's model tests: the reference layout
// (tests/fixtures/uac1/remap_reference.txt) plugged under chosen ids, the
// chip's identification answered or not, switches stored, and the real
// remapped model made by the adapter.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "adapter/model/uac1_remap_hal.h"
#include "tests/adapter/uac1/model_fixture.h"

namespace uac1test {

extern const std::u16string kRemapSettingsKey;

// The reference layout's set under these ids.
DescriptorSet RemapReference(USHORT vendor = kTestVendor, USHORT product = kTestProduct);

// The HID output reports the device took: {register, value} each.
struct RegisterWrite {
    ULONG index;
    USHORT value;
    bool operator==(const RegisterWrite& o) const { return index == o.index && value == o.value; }
};
std::ostream& operator<<(std::ostream& out, const RegisterWrite& w);

class RemapModelTest : public ModelTest {
protected:
    // Plugs the reference under the ids; the two identification requests
    // read X 0x9F and Y 0x03 with chipId, 0 and 0 without.
    void PlugRemap(USHORT vendor = kTestVendor, USHORT product = kTestProduct, bool chipId = false);
    // A switch or other "Settings" value: 4 bytes, or the given bytes.
    void StoreSwitch(const std::u16string& name, ULONG value);
    void StoreBytes(const std::u16string& name, const std::vector<uint8_t>& bytes);
    std::optional<std::vector<uint8_t>> Stored(const std::u16string& name);

    CUac1RemapHal* Remap() { return static_cast<CUac1RemapHal*>(Model()); }
    std::vector<RegisterWrite> RegisterWrites();
    void ClearRegisterWrites();
    // The mute bytes sent to feature unit 11 (SET_CUR, channel 0), and the
    // jack reports read (HID GET_REPORT of input report 0), from the
    // device's request log.
    std::vector<int> Unit11Mutes();
    size_t JackReads();
    // RegisterWrites starts at this entry of the device's HID log.
    size_t m_RegisterBase = 0;
};

}  // namespace uac1test

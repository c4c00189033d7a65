// The remapped family's fixture.
#include "tests/adapter/uac1/remap_fixture.h"

#include "platform/usb/descriptor_file.h"
#include "sim/registry.h"

namespace uac1test {

const std::u16string kRemapSettingsKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
    u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0001\\Settings";

DescriptorSet RemapReference(USHORT vendor, USHORT product) {
    DescriptorSet set;
    simusb::DescriptorFileError error;
    const std::string path = std::string(UAC1_FIXTURE_DIR) + "/remap_reference.txt";
    if (!simusb::LoadDescriptorFile(path, simusb::UsbSpeed::Full, &set, &error)) ADD_FAILURE() << error.message;
    SetIds(&set, vendor, product);
    return set;
}

std::ostream& operator<<(std::ostream& out, const RegisterWrite& w) {
    return out << "{reg " << w.index << " = 0x" << std::hex << w.value << std::dec << "}";
}

void RemapModelTest::PlugRemap(USHORT vendor, USHORT product, bool chipId) {
    Plug(RemapReference(vendor, product));
    Device().SetVendorAnswer(0xC3, 0x81, 0, 9, {(uint8_t)(chipId ? 0x9F : 0x00)});
    Device().SetVendorAnswer(0xC3, 0x81, 0, 8, {(uint8_t)(chipId ? 0x03 : 0x00)});
}

void RemapModelTest::StoreSwitch(const std::u16string& name, ULONG value) {
    StoreBytes(name, {(uint8_t)value, (uint8_t)(value >> 8), (uint8_t)(value >> 16), (uint8_t)(value >> 24)});
}

void RemapModelTest::StoreBytes(const std::u16string& name, const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(sim::RegistrySetValue(kRemapSettingsKey, name, REG_BINARY, bytes), STATUS_SUCCESS);
}

std::optional<std::vector<uint8_t>> RemapModelTest::Stored(const std::u16string& name) {
    auto value = sim::RegistryGetValue(kRemapSettingsKey, name);
    if (!value) return std::nullopt;
    return value->data;
}

std::vector<RegisterWrite> RemapModelTest::RegisterWrites() {
    std::vector<RegisterWrite> writes;
    const auto reports = Device().HidSetReports();
    for (size_t i = m_RegisterBase; i < reports.size(); ++i) {
        const auto& r = reports[i];
        EXPECT_EQ(r.size(), 4u);
        if (r.size() != 4) continue;
        EXPECT_EQ(r[0], 0x20);
        writes.push_back({r[3], (USHORT)(r[1] | r[2] << 8)});
    }
    return writes;
}

void RemapModelTest::ClearRegisterWrites() { m_RegisterBase = Device().HidSetReports().size(); }

std::vector<int> RemapModelTest::Unit11Mutes() {
    std::vector<int> out;
    for (const auto& e : Device().RequestLog())
        if (e.setup.bmRequestType == 0x21 && e.setup.bRequest == 0x01 && e.setup.wValue == 0x0100 &&
            e.setup.wIndex == (11 << 8) && !e.data.empty())
            out.push_back(e.data[0]);
    return out;
}

size_t RemapModelTest::JackReads() {
    size_t n = 0;
    for (const auto& e : Device().RequestLog())
        if (e.setup.bmRequestType == 0xA1 && e.setup.bRequest == 0x01 && e.setup.wValue == 0x0100) ++n;
    return n;
}

}  // namespace uac1test

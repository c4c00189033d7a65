// A simulated USB device plugged into the PnP harness as its PDO.
#include "platform/usb/usb_port.h"

#include <cstdio>

#include "sim/iomgr.h"
#include "sim/registry.h"

namespace simusb {

namespace {

std::u16string Widen(const char* text) {
    std::u16string out;
    for (const char* p = text; *p != '\0'; ++p) out.push_back((char16_t)*p);
    return out;
}

USHORT DescriptorWord(const Bytes& device, size_t offset) {
    return device.size() >= offset + 2 ? (USHORT)(device[offset] | device[offset + 1] << 8) : 0;
}

}  // namespace

std::vector<std::u16string> UsbHardwareIds(const DescriptorSet& set) {
    char id[64];
    std::snprintf(id, sizeof(id), "USB\\VID_%04X&PID_%04X", DescriptorWord(set.device, 8),
                  DescriptorWord(set.device, 10));
    char revision[16];
    std::snprintf(revision, sizeof(revision), "&REV_%04X", DescriptorWord(set.device, 12));
    return {Widen(id) + Widen(revision), Widen(id)};
}

sim::PdoConfig UsbPdoConfig(const DescriptorSet& set, const std::u16string& instanceId) {
    sim::PdoConfig config;
    config.hardwareIds = UsbHardwareIds(set);
    config.deviceId = config.hardwareIds[1];
    config.instanceId = instanceId;
    return config;
}

SimUsbPort::SimUsbPort(DescriptorSet set, const std::u16string& instanceId)
    : device_(set), bus_(device_), harness_(UsbPdoConfig(set, instanceId)) {
    harness_.SetDeviceHandler(&bus_);
    sim::RegistryCreateKey(DeviceParametersKey());
}

std::u16string SimUsbPort::DeviceParametersKey() const {
    return sim::IoEnumKeyPath(harness_.Pdo()) + u"\\Device Parameters";
}

void SimUsbPort::SetDeviceParameter(const std::u16string& name, ULONG value) {
    sim::RegistrySetDword(DeviceParametersKey(), name, value);
}

}  // namespace simusb

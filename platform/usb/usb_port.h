// A simulated USB device plugged into the PnP harness: the device, the
// simulated bus serving its physical device object, and the harness whose
// PDO carries the device's identity.
//
//   simusb::SimUsbPort port(simusb::BuildUac1Headset());
//   port.SetDeviceParameter(u"SelectiveSuspendEnabled", 1);
//   port.harness().LoadDriver(DriverEntry);   // then AddDevice, StartDevice ...
//
// The PDO's hardware IDs are "USB\VID_vvvv&PID_pppp&REV_rrrr" then
// "USB\VID_vvvv&PID_pppp" (upper-case hex from the device descriptor), its
// device ID is the second, and its Enum key
// "\Registry\Machine\System\CurrentControlSet\Enum\USB\VID_vvvv&PID_pppp\<instance>"
// has a "Device Parameters" subkey. Create the port inside an executor
// scope; it must be destroyed before the scope ends. Members are destroyed
// in the order the PnP rules need: the harness (which removes a device
// still present) first, then the bus, then the device.
#pragma once

#include <string>
#include <vector>

#include "sim/pnp_harness.h"
#include "platform/usb/bus.h"
#include "platform/usb/sim_device.h"

namespace simusb {

std::vector<std::u16string> UsbHardwareIds(const DescriptorSet& set);
sim::PdoConfig UsbPdoConfig(const DescriptorSet& set, const std::u16string& instanceId);

inline constexpr char16_t kDefaultUsbInstance[] = u"6&1f2e3d4c&0&2";

class SimUsbPort {
public:
    explicit SimUsbPort(DescriptorSet set, const std::u16string& instanceId = kDefaultUsbInstance);
    SimUsbPort(const SimUsbPort&) = delete;
    SimUsbPort& operator=(const SimUsbPort&) = delete;

    SimDevice& device() { return device_; }
    SimUsbBus& bus() { return bus_; }
    sim::PnpHarness& harness() { return harness_; }
    PDEVICE_OBJECT Pdo() const { return harness_.Pdo(); }

    // "...\Enum\USB\VID_vvvv&PID_pppp\<instance>\Device Parameters"
    std::u16string DeviceParametersKey() const;
    // A REG_DWORD value in that key.
    void SetDeviceParameter(const std::u16string& name, ULONG value);

private:
    SimDevice device_;
    SimUsbBus bus_;
    sim::PnpHarness harness_;
};

}  // namespace simusb

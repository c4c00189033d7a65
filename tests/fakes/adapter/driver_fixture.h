// GoogleTest fixture for tests that load the driver on a simulated device
// through the PnP harness: a fresh kernel scope, registry and port-class
// state, the fakes' log and recorders reset, and the fake factory table
// (fake models and miniports) in place. The harness is destroyed (device
// removed, driver unloaded) before the scope's leak checks.
#pragma once

#include <memory>
#include <string>

#include "adapter/device_context.h"
#include "adapter/driver_entry.h"
#include "adapter/family_choice.h"
#include "platform/portcls/sim_portcls.h"
#include "sim/pnp_harness.h"
#include "platform/usb/usb_port.h"
#include "tests/support/kernel_test.h"

namespace fakes {

class DriverTest : public sim::KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

public:  // for the table rows that arm a failure

    // The PDO (made on first use with `config`), or the plugged USB
    // device's.
    sim::PnpHarness& Device(const sim::PdoConfig& config = sim::PdoConfig());
    // Plugs a simulated USB device (before the first Device()).
    simusb::SimUsbPort& PlugUsb(simusb::DescriptorSet set);
    simusb::SimUsbPort& Port() { return *m_Port; }
    // DriverEntry and AddDevice; both must succeed.
    void LoadAndAdd();
    // Replaces the fake factory table for the rest of the test.
    void UseFactories(const DRIVER_FACTORIES& table);
    // Removes the device and unloads the driver now.
    void RemoveAndUnload();

    PDEVICE_OBJECT Fdo();
    PDEVICE_CONTEXT Context();
    std::u16string AsioLink();
    std::u16string EnumLink();

    std::unique_ptr<sim::PnpHarness> m_Device;
    std::unique_ptr<simusb::SimUsbPort> m_Port;
    std::unique_ptr<ScopedDriverFactories> m_Factories;
};

std::u16string ToU16(const UNICODE_STRING& text);

// A host directory named after the running test, mapped as
// "\SystemRoot\" for the scope's life and removed afterwards.
class ScopedSystemRoot {
public:
    ScopedSystemRoot();
    ~ScopedSystemRoot();
    ScopedSystemRoot(const ScopedSystemRoot&) = delete;
    ScopedSystemRoot& operator=(const ScopedSystemRoot&) = delete;
    void Write(const std::string& fileName, const std::string& bytes);

private:
    std::string m_Directory;
};

}  // namespace fakes

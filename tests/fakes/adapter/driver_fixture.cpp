// The driver fixture.
#include "tests/fakes/adapter/driver_fixture.h"

#include "sim/debug.h"
#include "sim/registry.h"
#include "tests/fakes/adapter/asio_recorder.h"
#include "tests/fakes/adapter/fake_adapter.h"
#include "tests/fakes/adapter/fake_log.h"
#include "tests/fakes/adapter/fake_model.h"

namespace fakes {

std::u16string ToU16(const UNICODE_STRING& text) {
    if (text.Buffer == NULL) return std::u16string();
    return std::u16string(text.Buffer, text.Length / sizeof(WCHAR));
}

void DriverTest::SetUp() {
    sim::KernelTest::SetUp();
    sim::RegistryReset();
    sim::PcResetState();
    sim::ClearDebugOutput();
    ClearLog();
    Asio().Reset();
    ResetAdapters();
    ResetModels();
    m_Factories = std::make_unique<ScopedDriverFactories>(FakeModelFactories());
}

void DriverTest::TearDown() {
    m_Device.reset();
    m_Factories.reset();
    sim::PcResetState();
    sim::KernelTest::TearDown();
}

sim::PnpHarness& DriverTest::Device(const sim::PdoConfig& config) {
    if (!m_Device) m_Device = std::make_unique<sim::PnpHarness>(config);
    return *m_Device;
}

void DriverTest::LoadAndAdd() {
    ASSERT_EQ(Device().LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(Device().AddDevice(), STATUS_SUCCESS);
}

void DriverTest::RemoveAndUnload() { m_Device.reset(); }

PDEVICE_OBJECT DriverTest::Fdo() { return Device().TopDevice(); }

PDEVICE_CONTEXT DriverTest::Context() { return GetDeviceContext(Fdo()); }

std::u16string DriverTest::AsioLink() { return ToU16(Context()->AsioInterfaceName); }

std::u16string DriverTest::EnumLink() { return ToU16(Context()->EnumInterfaceName); }

}  // namespace fakes

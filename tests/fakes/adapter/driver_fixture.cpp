// The driver fixture.
#include "tests/fakes/adapter/driver_fixture.h"

#include <filesystem>
#include <fstream>

#include "sim/debug.h"
#include "sim/files.h"
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

ScopedSystemRoot::ScopedSystemRoot() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("sysroot_") + info->test_suite_name() + "_" + info->name();
    for (char& c : name)
        if (c == '/') c = '_';
    std::filesystem::path root = std::filesystem::path(::testing::TempDir()) / name;
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
    m_Directory = root.string();
    sim::SetSystemRoot(m_Directory);
}

ScopedSystemRoot::~ScopedSystemRoot() {
    sim::SetSystemRoot("");
    std::filesystem::remove_all(m_Directory);
}

void ScopedSystemRoot::Write(const std::string& fileName, const std::string& bytes) {
    std::ofstream(std::filesystem::path(m_Directory) / fileName, std::ios::binary) << bytes;
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
    m_Port.reset();
    m_Factories.reset();
    sim::PcResetState();
    sim::KernelTest::TearDown();
}

simusb::SimUsbPort& DriverTest::PlugUsb(simusb::DescriptorSet set) {
    m_Port = std::make_unique<simusb::SimUsbPort>(std::move(set));
    return *m_Port;
}

sim::PnpHarness& DriverTest::Device(const sim::PdoConfig& config) {
    if (m_Port) return m_Port->harness();
    if (!m_Device) m_Device = std::make_unique<sim::PnpHarness>(config);
    return *m_Device;
}

void DriverTest::LoadAndAdd() {
    ASSERT_EQ(Device().LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(Device().AddDevice(), STATUS_SUCCESS);
}

void DriverTest::UseFactories(const DRIVER_FACTORIES& table) {
    m_Factories.reset();  // the old scope restores its predecessor first
    m_Factories = std::make_unique<ScopedDriverFactories>(table);
}

void DriverTest::RemoveAndUnload() {
    m_Device.reset();
    m_Port.reset();
}

PDEVICE_OBJECT DriverTest::Fdo() { return Device().TopDevice(); }

PDEVICE_CONTEXT DriverTest::Context() { return GetDeviceContext(Fdo()); }

std::u16string DriverTest::AsioLink() { return ToU16(Context()->AsioInterfaceName); }

std::u16string DriverTest::EnumLink() { return ToU16(Context()->EnumInterfaceName); }

}  // namespace fakes

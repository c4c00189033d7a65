// Driver entry, AddDevice and the PnP, create and close dispatch, over the
// fake adapter: interface registration and its failures, who reaches
// IAsioDevice, and the teardown at surprise removal and removal.
#include <gtest/gtest.h>

#include "adapter/private_interfaces.h"
#include "sim/debug.h"
#include "sim/iomgr.h"
#include "sim/ioctl_harness.h"
#include "sim/pool.h"
#include "sim/system.h"
#include "tests/fakes/adapter/asio_recorder.h"
#include "tests/fakes/adapter/driver_fixture.h"
#include "tests/fakes/adapter/fake_adapter.h"
#include "tests/fakes/adapter/fake_log.h"

namespace {

using fakes::Asio;
using fakes::LogWith;

fakes::EngineSpec Engine(bool asio, NTSTATUS removeStatus = STATUS_SUCCESS) {
    fakes::EngineSpec spec;
    if (asio) spec.caps.Flags = ENDPOINT_CAPS_ASIO;
    spec.removeStatus = removeStatus;
    return spec;
}

class DriverEntryTest : public fakes::DriverTest {
protected:
    sim::DeviceInterface Interface(const GUID& guid) {
        std::vector<sim::DeviceInterface> found = sim::IoDeviceInterfaces(&guid);
        EXPECT_EQ(found.size(), 1u);
        return found.empty() ? sim::DeviceInterface{} : found[0];
    }
};

TEST_F(DriverEntryTest, OldSystemRegistersNothing) {
    sim::SetSystemVersion({5, 0, 2195, 0x05000000, 4});
    EXPECT_EQ(Device().LoadDriver(DriverEntry), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(sim::PcCallCount(sim::PcCall::InitializeAdapterDriver), 0u);
}

TEST_F(DriverEntryTest, AddDeviceRegistersBothInterfacesDisabled) {
    LoadAndAdd();
    PDEVICE_CONTEXT context = Context();
    EXPECT_EQ(context->Fdo, Fdo());
    EXPECT_EQ(context->Pdo, Device().Pdo());
    EXPECT_EQ(context->LowerDevice, Device().Pdo());
    EXPECT_TRUE(context->AsioInterfaceRegistered);
    EXPECT_TRUE(context->EnumInterfaceRegistered);
    sim::DeviceInterface asio = Interface(GUID_DEVINTERFACE_ASIO_PRIVATE);
    EXPECT_EQ(asio.referenceString, u"XRASIOPrivateInterface");
    EXPECT_FALSE(asio.enabled);
    EXPECT_EQ(Interface(GUID_DEVINTERFACE_ENUM_PRIVATE).referenceString, u"XREnumPrivateInterface");
    EXPECT_EQ(AsioLink(), asio.symbolicLink);
}

TEST_F(DriverEntryTest, FailedEnumRegistrationIsNotAnError) {
    ASSERT_EQ(Device().LoadDriver(DriverEntry), STATUS_SUCCESS);
    sim::PoolFailNth(1);  // the enumeration interface's link string
    EXPECT_EQ(Device().AddDevice(), STATUS_SUCCESS);
    sim::PoolClearFailures();
    EXPECT_FALSE(Context()->EnumInterfaceRegistered);
    EXPECT_TRUE(Context()->AsioInterfaceRegistered);
    // Nor does it fail the start: there is nothing to enable.
    EXPECT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    EXPECT_FALSE(Context()->EnumInterfaceEnabled);
    EXPECT_NE(Context()->AudioHal, nullptr);
}

TEST_F(DriverEntryTest, FailedAsioRegistrationLeavesNothingBehind) {
    ASSERT_EQ(Device().LoadDriver(DriverEntry), STATUS_SUCCESS);
    sim::PoolFailNth(2);  // the ASIO interface's link string
    EXPECT_EQ(Device().AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
    sim::PoolClearFailures();
    // No FDO (the harness checks nothing is attached), no reference on the
    // PDO and no link string: the scope's leak check covers the rest.
    EXPECT_EQ(Device().Pdo()->AttachedDevice, nullptr);
    EXPECT_EQ(sim::PcCallCount(sim::PcCall::AddAdapterDevice), 0u);
}

TEST_F(DriverEntryTest, FailedAdapterDeviceDropsTheReferenceAndStrings) {
    ASSERT_EQ(Device().LoadDriver(DriverEntry), STATUS_SUCCESS);
    sim::PcFailNth(sim::PcCall::AddAdapterDevice, 1, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Device().AddDevice(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Device().Pdo()->AttachedDevice, nullptr);
}

TEST_F(DriverEntryTest, OnlyAsioHandlesReachTheAdapter) {
    fakes::NextAdapter().engines = {Engine(true)};
    LoadAndAdd();
    ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    sim::UserProcess process;
    {
        sim::UserHandle asio(process);
        ASSERT_EQ(asio.OpenDevice(Fdo(), u"\\xrasioPRIVATEinterface"), STATUS_SUCCESS);
        EXPECT_EQ(Asio().Names(), std::vector<std::string>{"AsioOpen"});
        EXPECT_EQ(Asio().Calls()[0].file, asio.FileObject());
        asio.Close();
        // The cleanup disposes the handle's buffers in its own process.
        EXPECT_EQ(Asio().Names(), (std::vector<std::string>{"AsioOpen", "AsioDisposeBuffers", "AsioClose"}));
    }
    Asio().Reset();
    {
        // The enumeration interface's handles go to the port class, which
        // has no subdevice of that name.
        sim::UserHandle enumeration(process);
        EXPECT_EQ(enumeration.OpenInterface(EnumLink()), STATUS_OBJECT_NAME_NOT_FOUND);
        sim::UserHandle filter(process);
        ASSERT_EQ(filter.OpenDevice(Fdo(), u"\\GlobalTopo"), STATUS_SUCCESS);
        ULONG rate = 0;
        filter.DeviceIoControl(IOCTL_ASIO_GET_SAMPLE_RATE, NULL, 0, &rate, sizeof(rate));
        filter.Close();
    }
    EXPECT_TRUE(Asio().Names().empty());
    EXPECT_GE(fakes::LogCount("adapter:preprocess"), 4);
}

TEST_F(DriverEntryTest, AsioOpensNeedTheEnabledInterface) {
    fakes::NextAdapter().engines = {Engine(false)};
    LoadAndAdd();
    ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    EXPECT_FALSE(Context()->AsioInterfaceEnabled);
    sim::UserProcess process;
    sim::UserHandle handle(process);
    EXPECT_EQ(handle.OpenInterface(AsioLink()), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(handle.OpenDevice(Fdo(), u"\\XRASIOPrivateInterface"), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Asio().Names().empty());
}

TEST_F(DriverEntryTest, FailingAsioOperationsAreUnsuccessful) {
    fakes::NextAdapter().engines = {Engine(true)};
    LoadAndAdd();
    ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    Asio().status["AsioOpen"] = STATUS_INSUFFICIENT_RESOURCES;
    sim::UserProcess process;
    sim::UserHandle handle(process);
    EXPECT_EQ(handle.OpenInterface(AsioLink()), STATUS_UNSUCCESSFUL);
}

TEST_F(DriverEntryTest, SurpriseRemovalThenRemovalTearsDownOnce) {
    fakes::NextAdapter().engines = {Engine(true), Engine(false)};
    LoadAndAdd();
    ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    fakes::ClearLog();

    ASSERT_EQ(Device().SurpriseRemoval(), STATUS_SUCCESS);
    EXPECT_EQ(LogWith("adapter:stop").size(), 1u);
    EXPECT_EQ(LogWith("engine"), (std::vector<std::string>{"engine0:remove", "engine1:remove"}));
    EXPECT_FALSE(Context()->AsioInterfaceEnabled);
    EXPECT_FALSE(Context()->EnumInterfaceEnabled);
    EXPECT_TRUE(Context()->AsioInterfaceRegistered) << "the strings stay until the removal";
    EXPECT_EQ(fakes::Adapters().destroyed, 0);

    ASSERT_EQ(Device().RemoveDevice(), STATUS_SUCCESS);
    EXPECT_EQ(LogWith("adapter:stop").size(), 2u);
    EXPECT_EQ(fakes::Adapters().destroyed, 1);
    for (const GUID* guid : {&GUID_DEVINTERFACE_ASIO_PRIVATE, &GUID_DEVINTERFACE_ENUM_PRIVATE}) {
        sim::DeviceInterface found = Interface(*guid);
        EXPECT_EQ(found.timesEnabled, 1);
        EXPECT_EQ(found.timesDisabled, 1);
    }
}

TEST_F(DriverEntryTest, FailingRemoveMiniportEndsTheLoopWithItsMessage) {
    fakes::NextAdapter().engines = {Engine(false), Engine(false, STATUS_UNSUCCESSFUL), Engine(false)};
    LoadAndAdd();
    ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    fakes::ClearLog();
    sim::ClearDebugOutput();

    ASSERT_EQ(Device().SurpriseRemoval(), STATUS_SUCCESS);
    EXPECT_EQ(LogWith("engine"), (std::vector<std::string>{"engine0:remove", "engine1:remove"}));
    EXPECT_EQ(sim::DebugOutput(), "") << "surprise removal prints nothing";

    fakes::ClearLog();
    ASSERT_EQ(Device().RemoveDevice(), STATUS_SUCCESS);
    EXPECT_EQ(LogWith("engine"), (std::vector<std::string>{"engine0:remove", "engine1:remove"}));
    EXPECT_EQ(sim::DebugOutput(), "Remove Miniport Failed StreamEngine ulIdx = 1\n");
    EXPECT_EQ(fakes::Adapters().destroyed, 1);
}

TEST_F(DriverEntryTest, RemovalWithoutStartHasNoAdapter) {
    LoadAndAdd();
    EXPECT_EQ(Device().RemoveDevice(), STATUS_SUCCESS);
    EXPECT_TRUE(LogWith("adapter").empty());
}

}  // namespace

// PcDispatchIrp's PnP and power rules on a device started through
// PcAddAdapterDevice under the PnP harness.
#include <gtest/gtest.h>

#include "pc_fakes.h"
#include "nt/ps.h"  // sim/iomgr.h names PEPROCESS
#include "sim/iomgr.h"

namespace pctest {
namespace {

using Strings = std::vector<std::string>;

class PcPnpTest : public PortClsTest {
protected:
    // The start installs "Topo" and "Wave", connects Wave pin 1 to Topo pin
    // 0 and registers an adapter for power management.
    void BootWithSubdevices() {
        Driver().start = [this](PDEVICE_OBJECT fdo, PIRP, PRESOURCELIST resources) {
            EXPECT_EQ(resources, nullptr);
            PUNKNOWN topo = nullptr, wave = nullptr, adapter = nullptr;
            NTSTATUS status = InstallTopology(fdo, "Topo", &topo);
            if (NT_SUCCESS(status)) status = InstallWave(fdo, "Wave", &wave);
            if (NT_SUCCESS(status)) status = PcRegisterPhysicalConnection(fdo, wave, 1, topo, 0);
            if (NT_SUCCESS(status)) status = CreateAdapter(&adapter);
            if (NT_SUCCESS(status)) {
                status = PcRegisterAdapterPowerManagement(adapter, fdo);
                adapter->Release();
            }
            return status;
        };
        Boot();
    }

    Strings SubdeviceNames() {
        Strings names;
        for (const sim::PcSubdeviceView& s : sim::PcSubdevices(Fdo()))
            names.emplace_back(s.name.begin(), s.name.end());
        return names;
    }

    int EnabledInterfaces() {
        int n = 0;
        for (const sim::DeviceInterface& i : sim::IoDeviceInterfaces()) n += i.enabled ? 1 : 0;
        return n;
    }
};

TEST_F(PcPnpTest, StartGoesDownFirstThenStartDeviceWithoutResources) {
    Boot();
    EXPECT_EQ(Log(), (Strings{"pdo:start", "start"}));
    EXPECT_EQ(Fdo()->StackSize, Harness().Pdo()->StackSize + 1);
    EXPECT_EQ(sim::PcDevicePowerState(Fdo()), PowerDeviceD0);
}

TEST_F(PcPnpTest, StartDeviceStatusCompletesTheStart) {
    Driver().start = [](PDEVICE_OBJECT, PIRP, PRESOURCELIST) { return STATUS_DEVICE_BUSY; };
    Boot(false);
    EXPECT_EQ(Harness().StartDevice(), STATUS_DEVICE_BUSY);
}

TEST_F(PcPnpTest, DevicePowerDownNotifiesMiniportsThenAdapterThenDevice) {
    BootWithSubdevices();
    Log().clear();
    ASSERT_EQ(Harness().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(Log(), (Strings{"miniport:Topo:notify:D3", "miniport:Wave:notify:D3",
                              "adapter:power:D3", "pdo:power:D3"}));
    EXPECT_EQ(sim::PcDevicePowerState(Fdo()), PowerDeviceD3);

    Log().clear();
    ASSERT_EQ(Harness().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Log(), (Strings{"pdo:power:D0", "adapter:power:D0", "miniport:Topo:notify:D0",
                              "miniport:Wave:notify:D0"}));
    EXPECT_EQ(sim::PcDevicePowerState(Fdo()), PowerDeviceD0);

    // A request for the state the device is in only goes down.
    Log().clear();
    ASSERT_EQ(Harness().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Log(), (Strings{"pdo:power:D0"}));
}

TEST_F(PcPnpTest, QueryCapabilitiesGoesDownThenAsksTheAdapter) {
    BootWithSubdevices();
    Log().clear();
    DEVICE_CAPABILITIES caps{};
    ASSERT_EQ(Harness().QueryCapabilities(&caps), STATUS_SUCCESS);
    EXPECT_EQ(Log(), (Strings{"pdo:caps", "adapter:caps"}));
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
}

TEST_F(PcPnpTest, StopUnregistersEverythingFirstAndStartRegistersTheSameNamesAgain) {
    BootWithSubdevices();
    EXPECT_EQ(SubdeviceNames(), (Strings{"Topo", "Wave"}));
    EXPECT_EQ(EnabledInterfaces(), 4);
    Log().clear();

    ASSERT_EQ(Harness().StopDevice(), STATUS_SUCCESS);
    // The last registered goes first; every miniport is destroyed before the
    // stop goes down.
    EXPECT_EQ(Log(), (Strings{"miniport:Wave:gone", "miniport:Topo:gone", "pdo:stop"}));
    EXPECT_TRUE(SubdeviceNames().empty());
    EXPECT_TRUE(sim::PcConnections(Fdo()).empty());
    EXPECT_EQ(sim::PcRegisteredPowerManagement(Fdo()), nullptr);
    EXPECT_EQ(EnabledInterfaces(), 0);
    EXPECT_EQ(LiveMiniports(), 0);

    ASSERT_EQ(Harness().StartDevice(), STATUS_SUCCESS);
    EXPECT_EQ(SubdeviceNames(), (Strings{"Topo", "Wave"}));
    EXPECT_EQ(sim::PcConnections(Fdo()).size(), 1u);
    EXPECT_EQ(EnabledInterfaces(), 4);
    for (const sim::DeviceInterface& i : sim::IoDeviceInterfaces()) EXPECT_EQ(i.timesEnabled, 2);
}

TEST_F(PcPnpTest, RemoveUnregistersDestroysMiniportsDetachesAndDeletes) {
    BootWithSubdevices();
    PDEVICE_OBJECT fdo = Fdo();
    ObReferenceObject(fdo);
    Log().clear();

    ASSERT_EQ(Harness().RemoveDevice(), STATUS_SUCCESS);
    EXPECT_EQ(Log(), (Strings{"miniport:Wave:gone", "miniport:Topo:gone", "pdo:remove"}));
    EXPECT_TRUE(sim::IoIsDeviceDeleted(fdo));
    EXPECT_EQ(Harness().TopDevice(), Harness().Pdo());
    EXPECT_EQ(EnabledInterfaces(), 0);
    ObDereferenceObject(fdo);
}

TEST_F(PcPnpTest, MiniportsOfPortsThatNeverRegisteredGoAtRemove) {
    Boot();
    PUNKNOWN port = nullptr;
    ASSERT_EQ(InstallTopology(Fdo(), "Topo", &port), STATUS_SUCCESS);
    // Same name in another case: refused, but the port and its miniport
    // hold each other.
    EXPECT_EQ(InstallWave(Fdo(), "TOPO"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(sim::PcLiveMiniports(Fdo()), 2u);
    ASSERT_EQ(Harness().RemoveDevice(), STATUS_SUCCESS);
    EXPECT_EQ(LiveMiniports(), 0);
}

TEST_F(PcPnpTest, MaxObjectsBoundsRegisteredSubdevices) {
    Driver().maxObjects = 2;
    Boot();
    PUNKNOWN wave = nullptr;
    ASSERT_EQ(InstallTopology(Fdo(), "Topo"), STATUS_SUCCESS);
    ASSERT_EQ(InstallWave(Fdo(), "Wave0", &wave), STATUS_SUCCESS);
    EXPECT_EQ(InstallWave(Fdo(), "Wave1"), STATUS_INSUFFICIENT_RESOURCES);

    PUNREGISTERSUBDEVICE unregister = nullptr;
    ASSERT_EQ(wave->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&unregister)),
              STATUS_SUCCESS);
    EXPECT_EQ(unregister->UnregisterSubdevice(Fdo(), wave), STATUS_SUCCESS);
    unregister->Release();
    EXPECT_EQ(InstallWave(Fdo(), "Wave1"), STATUS_SUCCESS);
    EXPECT_EQ(SubdeviceNames(), (Strings{"Topo", "Wave1"}));
}

TEST_F(PcPnpTest, OtherPnpRequestsGoDown) {
    Boot();
    ASSERT_EQ(Harness().QueryStopDevice(), STATUS_SUCCESS);
    ASSERT_EQ(Harness().CancelStopDevice(), STATUS_SUCCESS);
    EXPECT_EQ(Harness().PdoPnpCount(IRP_MN_QUERY_STOP_DEVICE), 1);
    EXPECT_EQ(Harness().PdoPnpCount(IRP_MN_CANCEL_STOP_DEVICE), 1);
}

}  // namespace
}  // namespace pctest

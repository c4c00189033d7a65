// Subdevice registration, device interfaces, physical connections and
// their unregistration.
#include <gtest/gtest.h>

#include "pc_fakes.h"
#include "nt/ps.h"  // sim/iomgr.h names PEPROCESS
#include "sim/iomgr.h"

namespace pctest {
namespace {

class PcSubdeviceTest : public PortClsTest {
protected:
    void SetUp() override {
        PortClsTest::SetUp();
        Boot();
    }

    template <typename T>
    T* Query(PUNKNOWN unknown, REFIID iid) {
        T* out = nullptr;
        EXPECT_EQ(unknown->QueryInterface(iid, reinterpret_cast<PVOID*>(&out)), STATUS_SUCCESS);
        return out;
    }
};

// ---- Registration rules -------------------------------------------------

struct RegisterCase {
    const char* name;
    // Registers what the case needs first and returns the status of the
    // registration under test.
    NTSTATUS (*run)(PcSubdeviceTest* test, PDEVICE_OBJECT fdo, PDEVICE_OBJECT pdo);
    NTSTATUS expected;
};

NTSTATUS RegisterFresh(PDEVICE_OBJECT fdo, const char16_t* name, PDEVICE_OBJECT target) {
    PUNKNOWN miniport = nullptr;
    CreateTopologyMiniport(&miniport, "M");
    PPORT port = nullptr;
    PcNewPort(&port, CLSID_PortTopology);
    NTSTATUS status = port->Init(fdo, nullptr, miniport, nullptr, nullptr);
    if (NT_SUCCESS(status))
        status = PcRegisterSubdevice(target, reinterpret_cast<PCWSTR>(name), port);
    port->Release();
    miniport->Release();
    return status;
}

void PrintTo(const RegisterCase& c, std::ostream* os) { *os << c.name; }

const RegisterCase kRegisterCases[] = {
    {"Fresh",
     [](PcSubdeviceTest*, PDEVICE_OBJECT fdo, PDEVICE_OBJECT) {
         return RegisterFresh(fdo, u"Topo", fdo);
     },
     STATUS_SUCCESS},
    {"SameNameOtherCase",
     [](PcSubdeviceTest*, PDEVICE_OBJECT fdo, PDEVICE_OBJECT) {
         RegisterFresh(fdo, u"Topo", fdo);
         return RegisterFresh(fdo, u"tOPO", fdo);
     },
     STATUS_OBJECT_NAME_COLLISION},
    {"EmptyName",
     [](PcSubdeviceTest*, PDEVICE_OBJECT fdo, PDEVICE_OBJECT) {
         return RegisterFresh(fdo, u"", fdo);
     },
     STATUS_INVALID_PARAMETER},
    {"NameWithBackslash",
     [](PcSubdeviceTest*, PDEVICE_OBJECT fdo, PDEVICE_OBJECT) {
         return RegisterFresh(fdo, u"Wave\\0", fdo);
     },
     STATUS_OBJECT_NAME_INVALID},
    {"NotTheFdo",
     [](PcSubdeviceTest*, PDEVICE_OBJECT fdo, PDEVICE_OBJECT pdo) {
         return RegisterFresh(fdo, u"Topo", pdo);
     },
     STATUS_INVALID_PARAMETER},
    {"PortNotInitialised",
     [](PcSubdeviceTest*, PDEVICE_OBJECT fdo, PDEVICE_OBJECT) {
         PPORT port = nullptr;
         PcNewPort(&port, CLSID_PortWaveCyclic);
         NTSTATUS status = PcRegisterSubdevice(fdo, reinterpret_cast<PCWSTR>(u"Wave"), port);
         port->Release();
         return status;
     },
     STATUS_INVALID_DEVICE_STATE},
    {"NotAPort",
     [](PcSubdeviceTest*, PDEVICE_OBJECT fdo, PDEVICE_OBJECT) {
         PUNKNOWN adapter = nullptr;
         CreateAdapter(&adapter);
         NTSTATUS status = PcRegisterSubdevice(fdo, reinterpret_cast<PCWSTR>(u"Wave"), adapter);
         adapter->Release();
         return status;
     },
     STATUS_INVALID_PARAMETER},
    {"SamePortTwice",
     [](PcSubdeviceTest* t, PDEVICE_OBJECT fdo, PDEVICE_OBJECT) {
         PUNKNOWN port = nullptr;
         t->InstallWave(fdo, "Wave", &port);
         return PcRegisterSubdevice(fdo, reinterpret_cast<PCWSTR>(u"Other"), port);
     },
     STATUS_OBJECT_NAME_COLLISION},
};

class PcRegisterTest : public PcSubdeviceTest,
                       public ::testing::WithParamInterface<RegisterCase> {};

TEST_P(PcRegisterTest, Status) {
    EXPECT_EQ(GetParam().run(this, Fdo(), Harness().Pdo()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, PcRegisterTest, ::testing::ValuesIn(kRegisterCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PcSubdeviceTest, OneEnabledInterfacePerCategoryNamedBySubdevice) {
    PUNKNOWN wave = nullptr;
    ASSERT_EQ(InstallWave(Fdo(), "SPKOut00Wave", &wave), STATUS_SUCCESS);
    std::vector<sim::DeviceInterface> all = sim::IoDeviceInterfaces();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].classGuid, KSCATEGORY_AUDIO);
    EXPECT_EQ(all[1].classGuid, KSCATEGORY_RENDER);
    for (const sim::DeviceInterface& i : all) {
        EXPECT_EQ(i.referenceString, u"SPKOut00Wave");
        EXPECT_TRUE(i.enabled);
        EXPECT_EQ(i.pdo, Harness().Pdo());
    }

    PUNREGISTERSUBDEVICE unregister = Query<IUnregisterSubdevice>(wave, IID_IUnregisterSubdevice);
    EXPECT_EQ(unregister->UnregisterSubdevice(Fdo(), wave), STATUS_SUCCESS);
    EXPECT_EQ(LogWith("miniport:SPKOut00Wave:gone").size(), 1u);
    for (const sim::DeviceInterface& i : sim::IoDeviceInterfaces()) EXPECT_FALSE(i.enabled);
    // A second unregistration finds nothing.
    EXPECT_EQ(unregister->UnregisterSubdevice(Fdo(), wave), STATUS_NOT_FOUND);
    unregister->Release();
}

// ---- Physical connections -------------------------------------------------

class PcConnectionTest : public PcSubdeviceTest {
protected:
    void SetUp() override {
        PcSubdeviceTest::SetUp();
        ASSERT_EQ(InstallTopology(Fdo(), "Topo", &topo_), STATUS_SUCCESS);
        ASSERT_EQ(InstallWave(Fdo(), "Wave", &wave_), STATUS_SUCCESS);
    }
    PUNKNOWN topo_ = nullptr;
    PUNKNOWN wave_ = nullptr;
};

TEST_F(PcConnectionTest, RegistrationNeedsRegisteredPortsAndPinsInRange) {
    PPORT loose = nullptr;
    ASSERT_EQ(PcNewPort(&loose, CLSID_PortTopology), STATUS_SUCCESS);
    struct {
        PUNKNOWN from;
        ULONG fromPin;
        PUNKNOWN to;
        ULONG toPin;
        NTSTATUS expected;
    } cases[] = {
        {wave_, 1, topo_, 0, STATUS_SUCCESS},
        {wave_, 1, topo_, 0, STATUS_OBJECT_NAME_COLLISION},  // the same again
        {wave_, 2, topo_, 0, STATUS_INVALID_PARAMETER},      // wave has pins 0, 1
        {wave_, 1, topo_, 2, STATUS_INVALID_PARAMETER},
        {wave_, 1, loose, 0, STATUS_INVALID_PARAMETER},  // not registered
        {nullptr, 1, topo_, 0, STATUS_INVALID_PARAMETER},
        {topo_, 1, wave_, 1, STATUS_SUCCESS},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PcRegisterPhysicalConnection(Fdo(), c.from, c.fromPin, c.to, c.toPin), c.expected)
            << c.fromPin << "->" << c.toPin;
    loose->Release();
    std::vector<sim::PcConnectionView> all = sim::PcConnections(Fdo());
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].fromName, u"Wave");
    EXPECT_EQ(all[0].toName, u"Topo");
}

TEST_F(PcConnectionTest, UnregisteringNeedsAnExactMatch) {
    ASSERT_EQ(PcRegisterPhysicalConnection(Fdo(), wave_, 1, topo_, 0), STATUS_SUCCESS);
    PUNREGISTERPHYSICALCONNECTION unregister =
        Query<IUnregisterPhysicalConnection>(wave_, IID_IUnregisterPhysicalConnection);
    struct {
        PUNKNOWN from;
        ULONG fromPin;
        PUNKNOWN to;
        ULONG toPin;
    } misses[] = {
        {topo_, 0, wave_, 1}, {wave_, 0, topo_, 0}, {wave_, 1, topo_, 1}, {wave_, 1, wave_, 0}};
    for (const auto& m : misses)
        EXPECT_EQ(unregister->UnregisterPhysicalConnection(Fdo(), m.from, m.fromPin, m.to, m.toPin),
                  STATUS_NOT_FOUND);
    EXPECT_EQ(sim::PcConnections(Fdo()).size(), 1u);

    // Any interface of the ports names them.
    PPORTWAVECYCLIC wavePort = Query<IPortWaveCyclic>(wave_, IID_IPortWaveCyclic);
    EXPECT_EQ(unregister->UnregisterPhysicalConnection(Fdo(), wavePort, 1, topo_, 0),
              STATUS_SUCCESS);
    EXPECT_TRUE(sim::PcConnections(Fdo()).empty());
    wavePort->Release();
    unregister->Release();
}

TEST_F(PcConnectionTest, UnregisteringASubdeviceDropsItsConnections) {
    ASSERT_EQ(PcRegisterPhysicalConnection(Fdo(), wave_, 1, topo_, 0), STATUS_SUCCESS);
    PUNREGISTERSUBDEVICE unregister = Query<IUnregisterSubdevice>(topo_, IID_IUnregisterSubdevice);
    EXPECT_EQ(unregister->UnregisterSubdevice(Fdo(), topo_), STATUS_SUCCESS);
    unregister->Release();
    EXPECT_TRUE(sim::PcConnections(Fdo()).empty());
    EXPECT_EQ(sim::PcSubdevices(Fdo()).size(), 1u);
}

}  // namespace
}  // namespace pctest

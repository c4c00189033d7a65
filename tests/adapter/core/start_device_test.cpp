// StartDevice over the fake adapter: subdevice names and their counters,
// when the ASIO interface is enabled, START after STOP, every failure
// point (nothing published, the model stopped, nothing left after REMOVE)
// and a sweep failing each pool allocation of the start in turn.
#include <gtest/gtest.h>

#include <functional>

#include "adapter/private_interfaces.h"
#include "sim/pool.h"
#include "tests/fakes/adapter/driver_fixture.h"
#include "tests/fakes/adapter/fake_adapter.h"
#include "tests/fakes/adapter/fake_log.h"
#include "tests/fakes/adapter/fake_miniports.h"
#include "tests/fakes/adapter/fake_model.h"

namespace {

using fakes::EngineSpec;
using fakes::LogWith;

EngineSpec Render(ULONG type, bool asio = false) {
    EngineSpec spec;
    spec.type = type;
    if (asio) spec.caps.Flags = ENDPOINT_CAPS_ASIO;
    return spec;
}

EngineSpec Capture(ULONG type) {
    EngineSpec spec = Render(type);
    spec.capture = true;
    return spec;
}

std::vector<std::u16string> SubdeviceNames(PDEVICE_OBJECT fdo) {
    std::vector<std::u16string> names;
    for (const sim::PcSubdeviceView& view : sim::PcSubdevices(fdo)) names.push_back(view.name);
    return names;
}

class StartDeviceTest : public fakes::DriverTest {
protected:
    void ExpectNothingPublished() {
        EXPECT_EQ(Context()->AudioHal, nullptr);
        EXPECT_FALSE(Context()->AsioInterfaceEnabled);
        EXPECT_FALSE(Context()->EnumInterfaceEnabled);
        EXPECT_EQ(fakes::Adapters().running, 0) << "the model's thread would be left running";
    }
    void ExpectAllGoneAfterRemoval() {
        EXPECT_EQ(Device().RemoveDevice(), STATUS_SUCCESS);
        EXPECT_EQ(fakes::Adapters().destroyed, fakes::Adapters().created);
        EXPECT_EQ(fakes::LiveFakeMiniports(), 0);
    }
};

TEST_F(StartDeviceTest, NamesEachEngineByTypeAndDirection) {
    fakes::NextAdapter().engines = {Render(ENDPOINT_SPK), Render(ENDPOINT_SPK), Capture(ENDPOINT_MIC)};
    LoadAndAdd();
    ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    EXPECT_EQ(LogWith("engine"),
              (std::vector<std::string>{"engine0:name:SPKOut00", "engine0:create", "engine0:topology",
                                        "engine0:install", "engine1:name:SPKOut01", "engine1:create",
                                        "engine1:topology", "engine1:install", "engine2:name:MicIn00",
                                        "engine2:create", "engine2:topology", "engine2:install"}));
    EXPECT_EQ(SubdeviceNames(Fdo()),
              (std::vector<std::u16string>{u"GlobalTopo", u"SPKOut00", u"SPKOut01", u"MicIn00"}));
    EXPECT_NE(Context()->AudioHal, nullptr);
    EXPECT_TRUE(Context()->EnumInterfaceEnabled);
    EXPECT_FALSE(Context()->AsioInterfaceEnabled) << "no endpoint has the ASIO flag";
    EXPECT_EQ(Context()->RenderNameCounter[ENDPOINT_SPK], 2);
    EXPECT_EQ(Context()->CaptureNameCounter[ENDPOINT_MIC], 1);
}

TEST_F(StartDeviceTest, AnAsioEndpointEnablesTheAsioInterface) {
    fakes::NextAdapter().engines = {Render(ENDPOINT_SPK), Render(ENDPOINT_HP, true)};
    LoadAndAdd();
    ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    EXPECT_TRUE(Context()->AsioInterfaceEnabled);
    EXPECT_TRUE(Context()->EnumInterfaceEnabled);
}

TEST_F(StartDeviceTest, NoEnginesGivesTheTopologyOnly) {
    LoadAndAdd();
    ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    EXPECT_EQ(SubdeviceNames(Fdo()), std::vector<std::u16string>{u"GlobalTopo"});
    EXPECT_TRUE(Context()->EnumInterfaceEnabled);
    EXPECT_FALSE(Context()->AsioInterfaceEnabled);
}

TEST_F(StartDeviceTest, StartAfterStopBuildsAfreshAndCountsOn) {
    fakes::NextAdapter().engines = {Render(ENDPOINT_SPK), Render(ENDPOINT_SPK, true)};
    LoadAndAdd();
    ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    ASSERT_EQ(Device().StopDevice(), STATUS_SUCCESS);
    EXPECT_EQ(Context()->AudioHal, nullptr);
    EXPECT_EQ(fakes::Adapters().destroyed, 1) << "the first adapter is gone at STOP";
    EXPECT_EQ(fakes::Adapters().running, 0);
    EXPECT_FALSE(Context()->AsioInterfaceEnabled);
    EXPECT_TRUE(SubdeviceNames(Fdo()).empty());

    fakes::ClearLog();
    ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    EXPECT_EQ(fakes::Adapters().created, 2);
    EXPECT_EQ(fakes::Adapters().running, 1);
    EXPECT_EQ(SubdeviceNames(Fdo()),
              (std::vector<std::u16string>{u"GlobalTopo", u"SPKOut02", u"SPKOut03"}));
    EXPECT_TRUE(Context()->AsioInterfaceEnabled);
}

struct StartFault {
    const char* name;
    std::function<void(StartDeviceTest& test)> arm;
    NTSTATUS status;
};

std::ostream& operator<<(std::ostream& out, const StartFault& f) { return out << f.name; }

class StartFaultTable : public StartDeviceTest, public ::testing::WithParamInterface<StartFault> {};

TEST_P(StartFaultTable, FailsCleanly) {
    fakes::NextAdapter().engines = {Render(ENDPOINT_SPK, true), Render(ENDPOINT_SPK), Capture(ENDPOINT_MIC)};
    LoadAndAdd();
    GetParam().arm(*this);
    EXPECT_EQ(Device().StartDevice(), GetParam().status);
    sim::PcClearFailures();
    ExpectNothingPublished();
    ExpectAllGoneAfterRemoval();
}

constexpr NTSTATUS kFailure = STATUS_DEVICE_CONFIGURATION_ERROR;

void FailPc(sim::PcCall call, uint64_t n) { sim::PcFailNth(call, n, kFailure); }

DRIVER_FACTORIES Without(bool topology) {
    DRIVER_FACTORIES table = fakes::FakeModelFactories();
    if (topology) {
        table.CreateTopologyMiniport = NULL;
    } else {
        table.CreateWaveMiniport = NULL;
    }
    return table;
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartFaultTable,
    ::testing::Values(
        StartFault{"PortClassVersion10", [](StartDeviceTest&) { sim::PcSetVersion(10); }, STATUS_UNSUCCESSFUL},
        StartFault{"VersionPort", [](StartDeviceTest&) { FailPc(sim::PcCall::NewPort, 1); }, kFailure},
        StartFault{"AdapterInit", [](StartDeviceTest&) { fakes::NextAdapter().initStatus = kFailure; }, kFailure},
        StartFault{"PowerRegistration",
                   [](StartDeviceTest&) { FailPc(sim::PcCall::RegisterAdapterPowerManagement, 1); }, kFailure},
        StartFault{"TopologyPort", [](StartDeviceTest&) { FailPc(sim::PcCall::NewPort, 2); }, kFailure},
        StartFault{"TopologyInit", [](StartDeviceTest&) { FailPc(sim::PcCall::PortInit, 1); }, kFailure},
        StartFault{"NoTopologyMiniport",
                   [](StartDeviceTest& t) { t.UseFactories(Without(true)); },
                   STATUS_INVALID_PARAMETER},
        StartFault{"NoWaveMiniport",
                   [](StartDeviceTest& t) { t.UseFactories(Without(false)); },
                   STATUS_INVALID_PARAMETER},
        StartFault{"TopologySubdevice", [](StartDeviceTest&) { FailPc(sim::PcCall::RegisterSubdevice, 1); }, kFailure},
        StartFault{"FirstWaveSubdevice", [](StartDeviceTest&) { FailPc(sim::PcCall::RegisterSubdevice, 2); },
                   kFailure},
        StartFault{"LastWaveSubdevice", [](StartDeviceTest&) { FailPc(sim::PcCall::RegisterSubdevice, 4); },
                   kFailure},
        StartFault{"EngineInstall",
                   [](StartDeviceTest&) { fakes::NextAdapter().engines[1].installStatus = kFailure; }, kFailure},
        StartFault{"EngineTypeBeyondTheNames",
                   [](StartDeviceTest&) { fakes::NextAdapter().engines[2].type = ENDPOINT_TYPE_COUNT; },
                   STATUS_INVALID_PARAMETER},
        StartFault{"ModelStart", [](StartDeviceTest&) { fakes::NextAdapter().startStatus = kFailure; }, kFailure},
        // The link no longer names a registered interface.
        StartFault{"EnumerationEnable", [](StartDeviceTest& t) { t.Context()->EnumInterfaceName.Buffer[4] ^= 1; },
                   STATUS_OBJECT_NAME_NOT_FOUND}),
    [](const ::testing::TestParamInfo<StartFault>& info) { return std::string(info.param.name); });

// Arms the n-th pool allocation to fail once START has reached the PDO,
// so only the driver's start (not the harness's IRP) meets it.
class FailOnStart : public sim::BusDeviceHandler {
public:
    explicit FailOnStart(uint64_t n) : m_N(n) {}
    bool HandleIrp(PDEVICE_OBJECT, PIRP irp, NTSTATUS*) override {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        if (sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_START_DEVICE) {
            sim::PoolResetCounters();
            sim::PoolFailNth(m_N);
        }
        return false;
    }

private:
    uint64_t m_N;
};

TEST_F(StartDeviceTest, EveryPoolFailureOfTheStartFailsCleanly) {
    for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE(n);
        fakes::ResetAdapters();
        fakes::NextAdapter().engines = {Render(ENDPOINT_SPK, true), Capture(ENDPOINT_MIC)};
        FailOnStart failer(n);
        Device().SetDeviceHandler(&failer);
        LoadAndAdd();
        NTSTATUS status = Device().StartDevice();
        bool failed = sim::PoolFailedAllocations() != 0;
        sim::PoolClearFailures();
        if (!failed) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            RemoveAndUnload();
            break;
        }
        EXPECT_FALSE(NT_SUCCESS(status));
        ExpectNothingPublished();
        ExpectAllGoneAfterRemoval();
        RemoveAndUnload();
        ASSERT_LT(n, 1000u);
    }
}

}  // namespace

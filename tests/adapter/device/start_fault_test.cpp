// Failures of the start with the adapter object on the simulated headset:
// each failure point leaves nothing published, the model stopped and
// nothing behind after REMOVE; and a sweep that fails each pool
// allocation of the start in turn.
#include <gtest/gtest.h>

#include <functional>

#include "platform/portcls/sim_portcls.h"
#include "sim/pool.h"
#include "tests/fakes/adapter/driver_fixture.h"
#include "tests/fakes/adapter/fake_miniports.h"
#include "tests/fakes/adapter/fake_model.h"
#include "platform/usb/uac_builder.h"

namespace {

constexpr NTSTATUS kFailure = STATUS_DEVICE_CONFIGURATION_ERROR;

class AdapterStartTest : public fakes::DriverTest {
public:
    void Plug() {
        fakes::EngineSpec render;
        render.caps.Flags = ENDPOINT_CAPS_ASIO;
        fakes::EngineSpec capture;
        capture.capture = true;
        capture.type = ENDPOINT_MIC;
        fakes::NextModel().engines = {render, capture};
        fakes::NextModel().units = {fakes::UnitSpec{}};
        PlugUsb(simusb::BuildUac1Headset());
    }
    void ExpectCleanFailure() {
        EXPECT_EQ(Context()->AudioHal, nullptr);
        EXPECT_FALSE(Context()->AsioInterfaceEnabled);
        EXPECT_FALSE(Context()->EnumInterfaceEnabled);
        EXPECT_EQ(fakes::Models().running, 0) << "the model's thread would be left running";
        EXPECT_EQ(Device().RemoveDevice(), STATUS_SUCCESS);
        EXPECT_EQ(fakes::Models().destroyed, fakes::Models().created);
        EXPECT_EQ(fakes::LiveFakeMiniports(), 0);
    }
};

struct FaultCase {
    const char* name;
    std::function<void(AdapterStartTest&)> arm;
    NTSTATUS status;
};

std::ostream& operator<<(std::ostream& out, const FaultCase& c) { return out << c.name; }

class AdapterStartFaults : public AdapterStartTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(AdapterStartFaults, LeaveNothingBehind) {
    Plug();
    LoadAndAdd();
    GetParam().arm(*this);
    EXPECT_EQ(Device().StartDevice(), GetParam().status);
    sim::PcClearFailures();
    ExpectCleanFailure();
}

void FailPc(sim::PcCall call, uint64_t n) { sim::PcFailNth(call, n, kFailure); }

INSTANTIATE_TEST_SUITE_P(
    Table, AdapterStartFaults,
    ::testing::Values(
        FaultCase{"PortClassVersion10", [](AdapterStartTest&) { sim::PcSetVersion(10); }, STATUS_UNSUCCESSFUL},
        FaultCase{"ModelInit", [](AdapterStartTest&) { fakes::NextModel().initHardwareStatus = kFailure; },
                  kFailure},
        FaultCase{"PowerRegistration",
                  [](AdapterStartTest&) { FailPc(sim::PcCall::RegisterAdapterPowerManagement, 1); }, kFailure},
        FaultCase{"Topology", [](AdapterStartTest&) { FailPc(sim::PcCall::PortInit, 1); }, kFailure},
        FaultCase{"SecondSubdevice", [](AdapterStartTest&) { FailPc(sim::PcCall::RegisterSubdevice, 2); }, kFailure},
        FaultCase{"ThirdSubdevice", [](AdapterStartTest&) { FailPc(sim::PcCall::RegisterSubdevice, 3); }, kFailure},
        FaultCase{"ModelStart", [](AdapterStartTest&) { fakes::NextModel().startStatus = kFailure; }, kFailure},
        FaultCase{"EnumerationEnable",
                  [](AdapterStartTest& t) { t.Context()->EnumInterfaceName.Buffer[4] ^= 1; },
                  STATUS_OBJECT_NAME_NOT_FOUND}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// Lets the bus serve every IRP, arming the n-th pool allocation to fail
// when START reaches the PDO (so the harness's own IRP is not hit).
class FailOnStart : public sim::BusDeviceHandler {
public:
    FailOnStart(sim::BusDeviceHandler* bus, uint64_t n) : m_Bus(bus), m_N(n) {}
    bool HandleIrp(PDEVICE_OBJECT pdo, PIRP irp, NTSTATUS* status) override {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        if (sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_START_DEVICE) {
            sim::PoolResetCounters();
            sim::PoolFailNth(m_N);
        }
        return m_Bus->HandleIrp(pdo, irp, status);
    }

private:
    sim::BusDeviceHandler* m_Bus;
    uint64_t m_N;
};

TEST_F(AdapterStartTest, EveryPoolFailureOfTheStartFailsCleanly) {
    uint64_t n = 1;
    for (;; ++n) {
        SCOPED_TRACE(n);
        fakes::ResetModels();
        Plug();
        FailOnStart failer(&Port().bus(), n);
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
        // Allocations whose failure the start tolerates (a name, the
        // settings file) may leave it successful.
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(Device().RemoveDevice(), STATUS_SUCCESS);
        } else {
            ExpectCleanFailure();
        }
        Device().SetDeviceHandler(&Port().bus());
        RemoveAndUnload();
        ASSERT_LT(n, 5000u);
    }
    std::printf("start survives each of its %llu pool allocations failing\n", (unsigned long long)(n - 1));
}

}  // namespace

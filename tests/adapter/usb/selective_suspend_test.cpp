// CIdleControl on virtual time: the registry switch, busy and idle devices,
// the full idle cycle (request, callback, D2, an IRP cancels, exactly one
// D0), a refused request, and teardown while checks, idle requests and
// power requests are in flight.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "nt/zw.h"
#include "sim/executor.h"
#include "sim/iomgr.h"
#include "sim/registry.h"
#include "tests/adapter/usb/usb_adapter.h"
#include "tests/support/kernel_test.h"

namespace adaptertest {
namespace {

constexpr LONGLONG kMs = sim::kTicksPerMillisecond;
constexpr LONGLONG kSecond = sim::kTicksPerSecond;

class SuspendTest : public UsbAdapterTest {
protected:
    // One DPC thread whatever the environment says: some tests order
    // callbacks on it.
    sim::ExecutorOptions Options() const override {
        sim::ExecutorOptions options = sim::ExecutorOptions::FromEnvironment();
        options.stress = false;
        return options;
    }
    UsbAdapter& Make(bool enabled = true) {
        sim::RegistryReset();  // no device parameters left by an earlier test
        UsbAdapter& a = UsbAdapterTest::Make(simusb::BuildUac1Headset());
        if (enabled) a.port().SetDeviceParameter(u"SelectiveSuspendEnabled", 1);
        return a;
    }
    // Starts the adapter and waits until the first check has put it in D2.
    UsbAdapter& Suspended() {
        UsbAdapter& a = Make();
        EXPECT_EQ(a.Start(), STATUS_SUCCESS);
        // Suspended, and the hub's callback (which asked for D2) has returned.
        EXPECT_TRUE(a.bus().WaitUntil([&] { return a.bus().suspended() && a.bus().IdleCallbackCount() == 1; }, 6000));
        return a;
    }
};

// ------------------------------------------------------------ the switch

struct SwitchCase {
    const char* name;
    void (*write)(simusb::SimUsbPort& port);
    BOOLEAN enabled;
};

void NoValue(simusb::SimUsbPort&) {}
void Zero(simusb::SimUsbPort& p) { p.SetDeviceParameter(u"SelectiveSuspendEnabled", 0); }
void One(simusb::SimUsbPort& p) { p.SetDeviceParameter(u"SelectiveSuspendEnabled", 1); }
void TooLong(simusb::SimUsbPort& p) {
    sim::RegistrySetValue(p.DeviceParametersKey(), u"SelectiveSuspendEnabled", REG_BINARY, {1, 0, 0, 0, 0, 0, 0, 0});
}
// Under the first hardware ID (with its revision), in the older Enum root.
void OlderRootFirstId(simusb::SimUsbPort& p) {
    const std::u16string key = u"\\Registry\\Machine\\Enum\\" + simusb::UsbHardwareIds(p.device().descriptors())[0] +
                               u"\\" + simusb::kDefaultUsbInstance + u"\\Device Parameters";
    sim::RegistrySetDword(key, u"SelectiveSuspendEnabled", 1);
}

class SuspendSwitchTest : public SuspendTest, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(SuspendSwitchTest, ReadsTheDeviceParameter) {
    UsbAdapter& a = Make(false);
    GetParam().write(a.port());
    ASSERT_EQ(a.Start(), STATUS_SUCCESS);
    EXPECT_EQ(a.idle().IdleTimerEnabled(), GetParam().enabled);
    sim::Sleep(12 * kSecond);
    EXPECT_EQ(a.bus().IdleRequestCount(), GetParam().enabled ? 1 : 0);
    if (!GetParam().enabled) {
        EXPECT_EQ(a.PowerQueries(), 0) << "a check ran although suspend is off";
        EXPECT_EQ(a.SendDeviceControl(), 0) << "the gate waited";
    }
}

INSTANTIATE_TEST_SUITE_P(Values, SuspendSwitchTest,
                         ::testing::Values(SwitchCase{"Absent", NoValue, FALSE}, SwitchCase{"Zero", Zero, FALSE},
                                           SwitchCase{"One", One, TRUE}, SwitchCase{"TooLong", TooLong, FALSE},
                                           SwitchCase{"OlderRootFirstId", OlderRootFirstId, TRUE}),
                         [](const ::testing::TestParamInfo<SwitchCase>& info) { return std::string(info.param.name); });

// ------------------------------------------------------------ behaviour

TEST_F(SuspendTest, BusyStreamKeepsTheDeviceAwake) {
    UsbAdapter& a = Make();
    ASSERT_EQ(a.Start(), STATUS_SUCCESS);
    a.transport().BusyAddRef();
    sim::Sleep(32 * kSecond);
    EXPECT_EQ(a.bus().IdleRequestCount(), 0);
    EXPECT_EQ(a.PowerIrps(PowerDeviceD2), 0);
    a.transport().BusyRelease();
    EXPECT_TRUE(a.bus().WaitUntil([&] { return a.bus().suspended(); }, 6000));
}

TEST_F(SuspendTest, IdleDeviceSuspendsAndTheNextIrpBringsExactlyOneD0) {
    const LONGLONG started = sim::Now();
    UsbAdapter& a = Suspended();
    EXPECT_EQ(sim::Now() - started, 5 * kSecond) << "the first check comes 5 s after the start";
    EXPECT_EQ(a.power(), PowerDeviceD2);
    EXPECT_EQ(a.port().harness().PdoPowerState(), PowerDeviceD2);
    EXPECT_EQ(a.bus().IdleCallbackCount(), 1);
    EXPECT_TRUE(a.bus().IdleRequestPending());

    EXPECT_LT(a.SendDeviceControl(), 500 * kMs);
    EXPECT_EQ(a.PowerIrps(PowerDeviceD0), 1);
    EXPECT_EQ(a.power(), PowerDeviceD0);
    EXPECT_FALSE(a.bus().suspended());
    EXPECT_FALSE(a.bus().IdleRequestPending());
    EXPECT_EQ(a.SendDeviceControl(), 0);
    EXPECT_EQ(a.PowerIrps(PowerDeviceD0), 1) << "a second D0 request";
    uint8_t buffer[18];
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0,
                                 0, buffer, nullptr, sizeof(buffer), nullptr);
    EXPECT_EQ(a.transport().SubmitUrbSync(&urb), STATUS_SUCCESS);
    // The completion re-armed the timer: 5 s later the device sleeps again.
    EXPECT_TRUE(a.bus().WaitUntil([&] { return a.bus().suspended(); }, 5100));
    EXPECT_EQ(a.bus().IdleRequestCount(), 2);
}

TEST_F(SuspendTest, RefusedRequestLeavesThePowerStateAndRetries) {
    UsbAdapter& a = Make();
    a.bus().ScriptIdle({simusb::IdleScript::Refuse, STATUS_NOT_SUPPORTED});
    ASSERT_EQ(a.Start(), STATUS_SUCCESS);
    sim::Sleep(6 * kSecond);
    EXPECT_EQ(a.bus().IdleRequestCount(), 1);
    EXPECT_EQ(a.PowerIrps(PowerDeviceD0) + a.PowerIrps(PowerDeviceD2), 0);
    sim::Sleep(5 * kSecond);
    EXPECT_EQ(a.bus().IdleRequestCount(), 2) << "the timer was not re-armed";
}

TEST_F(SuspendTest, RequestsOutsideD0AreRefused) {
    UsbAdapter& a = Make();
    ASSERT_EQ(a.Start(), STATUS_SUCCESS);
    a.OnPowerQuery([] { return PowerDeviceD3; });
    EXPECT_EQ(a.idle().SubmitIdleRequest(), STATUS_POWER_STATE_INVALID);
    a.OnPowerQuery(nullptr);
    EXPECT_EQ(a.bus().IdleRequestCount(), 0);
}

// ------------------------------------------------------------ teardown

// Checks held in the owner's power query until the test releases them, by
// number (1-based, in the order they asked).
class CheckGate {
public:
    explicit CheckGate(UsbAdapter& a) {
        for (auto& e : release_) KeInitializeEvent(&e, NotificationEvent, FALSE);
        KeInitializeEvent(&entered_, SynchronizationEvent, FALSE);
        a.OnPowerQuery([this] {
            const int n = ++calls_;
            KeSetEvent(&entered_, IO_NO_INCREMENT, FALSE);
            if (n <= 2) KeWaitForSingleObject(&release_[n - 1], Executive, KernelMode, FALSE, nullptr);
            return PowerDeviceD3;  // the check then ends without a request
        });
    }
    void WaitEntered(int n) {
        while (calls_.load() < n) KeWaitForSingleObject(&entered_, Executive, KernelMode, FALSE, nullptr);
    }
    void Release(int n) { KeSetEvent(&release_[n - 1], IO_NO_INCREMENT, FALSE); }

private:
    std::atomic<int> calls_{0};
    KEVENT entered_;
    KEVENT release_[2];
};

TEST_F(SuspendTest, ShutdownWaitsForEveryQueuedCheck) {
    UsbAdapter& a = Make();
    CheckGate gate(a);
    ASSERT_EQ(a.Start(), STATUS_SUCCESS);
    gate.WaitEntered(1);                  // the 5 s check is held
    gate.WaitEntered(2);                  // the 10 s check overlaps it
    gate.Release(2);                      // the later one finishes first
    std::atomic<bool> down{false};
    sim::TestThread shutdown("shutdown", [&] {
        a.idle().Shutdown();
        down = true;
    });
    sim::Sleep(20 * kSecond);
    EXPECT_FALSE(down.load()) << "shutdown returned while a check still ran";
    gate.Release(1);
    shutdown.Join();
    EXPECT_TRUE(down.load());
    const int queries = a.PowerQueries();
    sim::Sleep(20 * kSecond);
    EXPECT_EQ(a.PowerQueries(), queries) << "a check ran after shutdown";
    a.OnPowerQuery(nullptr);
}

TEST_F(SuspendTest, ShutdownCancelsTheIdleRequestAndNothingRearms) {
    UsbAdapter& a = Make();
    a.bus().SetIdleDelayMs(3600 * 1000);  // the hub never calls back
    ASSERT_EQ(a.Start(), STATUS_SUCCESS);
    ASSERT_TRUE(a.bus().WaitUntil([&] { return a.bus().IdleRequestPending(); }, 6000));
    a.idle().Shutdown();
    EXPECT_FALSE(a.bus().IdleRequestPending());
    const int queries = a.PowerQueries();
    sim::Sleep(30 * kSecond);
    EXPECT_EQ(a.PowerQueries(), queries) << "the completion re-armed the timer after shutdown";
    EXPECT_EQ(a.bus().IdleRequestCount(), 1);
}

// A timer DPC already queued when Shutdown cancels the timer must have run
// (and found the machinery stopped) before Shutdown returns.
TEST_F(SuspendTest, ShutdownFlushesATimerDpcQueuedBeforeIt) {
    UsbAdapter& a = Make();
    KEVENT busy;
    KeInitializeEvent(&busy, NotificationEvent, FALSE);
    std::atomic<bool> down{false};
    // Occupies the DPC thread at the timer's due time, ahead of its DPC, until
    // Shutdown has returned (or 300 ms of wall time have passed).
    sim::ScheduleAfter(5 * kSecond, [&] {
        KeSetEvent(&busy, IO_NO_INCREMENT, FALSE);
        for (int i = 0; i < 300 && !down.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    ASSERT_EQ(a.Start(), STATUS_SUCCESS);
    KeWaitForSingleObject(&busy, Executive, KernelMode, FALSE, nullptr);
    a.idle().Shutdown();
    down = true;
    const int queries = a.PowerQueries();
    sim::Sleep(10 * kSecond);
    EXPECT_EQ(queries, 0) << "Shutdown returned before the queued DPC ran";
    EXPECT_EQ(a.PowerQueries(), 0) << "the queued DPC started a check after shutdown";
}

TEST_F(SuspendTest, ShutdownWithoutStartReturns) {
    UsbAdapter& a = Make();
    a.idle().Shutdown();
    EXPECT_EQ(a.PowerQueries(), 0);
}

// ------------------------------------------------------------ power requests

TEST_F(SuspendTest, FailedD0RequestDoesNotHoldEveryIrp) {
    UsbAdapter& a = Suspended();
    sim::PoFailRequests(STATUS_INSUFFICIENT_RESOURCES, 1);
    EXPECT_EQ(a.SendDeviceControl(), 0) << "the gate waited for a D0 request that was never sent";
    EXPECT_EQ(a.SendDeviceControl(), 0);
    EXPECT_EQ(a.PowerIrps(PowerDeviceD0), 0);
}

TEST_F(SuspendTest, CancelledWhileAwakeRequestsNoD0) {
    UsbAdapter& a = Make();
    a.bus().SetIdleDelayMs(3600 * 1000);
    ASSERT_EQ(a.Start(), STATUS_SUCCESS);
    ASSERT_TRUE(a.bus().WaitUntil([&] { return a.bus().IdleRequestPending(); }, 6000));
    EXPECT_EQ(a.SendDeviceControl(), 0);
    EXPECT_FALSE(a.bus().IdleRequestPending());
    EXPECT_EQ(a.PowerIrps(PowerDeviceD0), 0);
}

}  // namespace
}  // namespace adaptertest

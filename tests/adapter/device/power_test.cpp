// Power changes of the adapter object: the same state touches nothing,
// ASIO streams stop and resume around D3 with a stop request kept until
// D0 (or completed by the removal), a device that is gone skips its model,
// and the 1 ms timer-resolution request stays balanced.
#include <gtest/gtest.h>

#include "adapter/private_interfaces.h"
#include "adapter/usb_audio_hal.h"
#include "sim/executor.h"
#include "sim/ioctl_harness.h"
#include "sim/system.h"
#include "tests/fakes/adapter/asio_recorder.h"
#include "tests/fakes/adapter/driver_fixture.h"
#include "tests/fakes/adapter/fake_log.h"
#include "tests/fakes/adapter/fake_model.h"
#include "platform/usb/uac_builder.h"

namespace {

using fakes::Asio;
using fakes::LogCount;
using fakes::LogWith;

class PowerTest : public fakes::DriverTest {
protected:
    void StartHeadset() {
        fakes::EngineSpec render;
        render.caps.Flags = ENDPOINT_CAPS_ASIO;
        fakes::NextModel().engines = {render};
        PlugUsb(simusb::BuildUac1Headset());
        LoadAndAdd();
        ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    }
    CUsbAudioHal* Adapter() { return static_cast<CUsbAudioHal*>(Context()->AudioHal); }
    void PowerChange(DEVICE_POWER_STATE state) {
        POWER_STATE s;
        s.DeviceState = state;
        static_cast<IAdapterPowerManagement*>(Adapter())->PowerChangeState(s);
    }
    // Waits (virtual time) until the fakes' log has entry.
    void WaitForLog(const std::string& entry) {
        for (int i = 0; i < 1000 && LogCount(entry) == 0; ++i) sim::Sleep(sim::kTicksPerMillisecond);
        ASSERT_GT(LogCount(entry), 0) << entry;
    }
};

TEST_F(PowerTest, SameStateTouchesNothingNotEvenTheLock) {
    StartHeadset();
    KEVENT held, release;
    KeInitializeEvent(&held, NotificationEvent, FALSE);
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    CMutexLock& lock = Adapter()->DeviceLockObject();
    sim::TestThread holder("holder", [&] {
        lock.Lock();
        KeSetEvent(&held, IO_NO_INCREMENT, FALSE);
        LARGE_INTEGER second;
        second.QuadPart = -sim::kTicksPerSecond;
        KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, &second);
        lock.Unlock();
    });
    KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, NULL);
    fakes::ClearLog();
    LONGLONG before = sim::Now();
    PowerChange(PowerDeviceD0);
    EXPECT_EQ(sim::Now(), before) << "waited for the device lock";
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    holder.Join();
    EXPECT_TRUE(LogWith("model:power").empty());
}

TEST_F(PowerTest, AsioStreamsResumeAndAKeptStopRunsOnReturnToD0) {
    StartHeadset();
    sim::UserProcess process;
    sim::UserHandle handle(process);
    ASSERT_EQ(handle.OpenInterface(AsioLink()), STATUS_SUCCESS);
    ULONGLONG event = 0x44;
    ASSERT_EQ(handle.DeviceIoControl(IOCTL_ASIO_START, &event, sizeof(event), NULL, 0).status, STATUS_SUCCESS);
    ASSERT_TRUE(Adapter()->AsioState().m_bAsioStreaming);

    ASSERT_EQ(Device().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(LogCount("asio:stop-streams"), 1);
    EXPECT_TRUE(Adapter()->AsioState().m_bAsioStoppedByPowerDown);

    NTSTATUS stopStatus = STATUS_PENDING;
    sim::TestThread stopper("stopper", [&] {
        stopStatus = handle.DeviceIoControl(IOCTL_ASIO_STOP, NULL, 0, NULL, 0).status;
    });
    WaitForLog("asio:park");
    EXPECT_EQ(stopStatus, STATUS_PENDING);
    Asio().Reset();

    ASSERT_EQ(Device().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    stopper.Join();
    EXPECT_EQ(stopStatus, STATUS_SUCCESS);
    EXPECT_EQ(LogCount("asio:start-streams"), 1);
    EXPECT_EQ(LogCount("asio:reset"), 1);
    EXPECT_EQ(Asio().Names(), std::vector<std::string>{"AsioStop"});
    EXPECT_FALSE(Adapter()->AsioState().m_bAsioStoppedByPowerDown);
    EXPECT_EQ(Adapter()->AsioState().m_pParkedAsioStopIrp, nullptr);
    handle.Close();
}

TEST_F(PowerTest, SurpriseRemovalCompletesAKeptStop) {
    StartHeadset();
    sim::UserProcess process;
    sim::UserHandle handle(process);
    ASSERT_EQ(handle.OpenInterface(AsioLink()), STATUS_SUCCESS);
    ASSERT_EQ(Device().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    NTSTATUS stopStatus = STATUS_PENDING;
    sim::TestThread stopper("stopper", [&] {
        stopStatus = handle.DeviceIoControl(IOCTL_ASIO_STOP, NULL, 0, NULL, 0).status;
    });
    WaitForLog("asio:park");
    ASSERT_EQ(Device().SurpriseRemoval(), STATUS_SUCCESS);
    stopper.Join();
    EXPECT_EQ(stopStatus, STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(Asio().Names().empty() || Asio().Names().back() != "AsioStop");
    handle.Close();
}

TEST_F(PowerTest, DeviceGoneSkipsTheModelOnTheWayDown) {
    StartHeadset();
    Port().bus().Unplug();
    fakes::ClearLog();
    ASSERT_EQ(Device().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_TRUE(LogWith("model:power").empty());
    ASSERT_EQ(Device().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(LogWith("model:power"), std::vector<std::string>{"model:power:D0"});
}

TEST_F(PowerTest, TimerResolutionStaysBalanced) {
    // Another holder of the 1 ms resolution, which the adapter must never
    // take back.
    ExSetTimerResolution(10000, TRUE);
    const LONG base = sim::TimerResolutionRequests();
    StartHeadset();
    EXPECT_EQ(sim::TimerResolutionRequests(), base + 1);
    ASSERT_EQ(Device().SetDevicePower(PowerDeviceD2), STATUS_SUCCESS);
    ASSERT_EQ(Device().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(sim::TimerResolutionRequests(), base);
    ASSERT_EQ(Device().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(sim::TimerResolutionRequests(), base + 1);
    ASSERT_EQ(Device().SetDevicePower(PowerDeviceD2), STATUS_SUCCESS);
    RemoveAndUnload();  // destroyed outside D0
    EXPECT_EQ(sim::TimerResolutionRequests(), base);
    ExSetTimerResolution(0, FALSE);
}

}  // namespace

// ASIO under concurrent use on the real driver and real class 1.0 streams,
// for ThreadSanitizer in the executor's stress mode (two DPC threads): the
// owner's buffer switches and ring writes run while it starts, stops and
// goes through D3 and back; other handles open, set and clear notify
// events, change the latency (which signals every notify event) and close
// meanwhile. Nothing may race, dead-lock or leak.
#include <unistd.h>

#include <atomic>
#include <string>

#include "platform/usb/descriptor_file.h"
#include "sim/iomgr.h"
#include "tests/e2e/asio_device.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/stream/asio/asio_client.h"

namespace e2etest {
namespace {

class AsioStressTest : public E2eTest, public ::testing::WithParamInterface<bool> {
protected:
    void StartHeadset() {
        ASSERT_NO_FATAL_FAILURE(StartAsioDevice(session_, AsioHeadset(), "asio_headset.txt"));
        m_Link = FindAsioLink();
        ASSERT_FALSE(m_Link.empty());
    }
    std::u16string m_Link;
};

// Other handles of the interface, each in a process of its own: open, set
// a notify event, change the latency (every notify event is set), clear,
// close, again.
void NotifyLoop(const std::u16string& link, bool is32Bit, const std::atomic<bool>& done, std::atomic<int>* rounds) {
    for (ULONG i = 0; !done; ++i) {
        sim::UserProcess process(is32Bit);
        asiotest::AsioClient client(process);
        if (client.Open(link) != STATUS_SUCCESS) break;
        HANDLE notify = process.CreateEvent(false, false);
        EXPECT_EQ(client.SendHandle(IOCTL_ASIO_SET_NOTIFY_EVENT, notify), STATUS_SUCCESS);
        EXPECT_EQ(client.Set(IOCTL_ASIO_SET_LATENCY, i % 8), STATUS_SUCCESS);
        if (i % 2 == 0) {
            EXPECT_EQ(client.Ioctl(IOCTL_ASIO_CLEAR_NOTIFY_EVENT, NULL, 0, NULL, 0).status, STATUS_SUCCESS);
        }
        EXPECT_EQ(client.Close(), STATUS_SUCCESS);
        ++*rounds;
        sim::Sleep(sim::kTicksPerMillisecond);
    }
}

// The owner's user-mode side: on every buffer switch it reads the render
// position and rewrites the ring ahead of it.
void SwitchLoop(asiotest::AsioClient& client, sim::UserProcess& process, ASIO_BUFFER* render,
                const std::atomic<bool>& done, std::atomic<int>* switches) {
    PKEVENT event = process.EventObject(client.SwitchEvent());
    UCHAR* ring = reinterpret_cast<UCHAR*>(render + 1);
    const ULONG size = render->Size;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -2 * sim::kTicksPerMillisecond;
    for (UCHAR value = 1; !done; ++value) {
        if (KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS) continue;
        ++*switches;
        const ULONG position = __atomic_load_n(&render->Position, __ATOMIC_RELAXED) % size;
        for (ULONG i = 0; i < 768; ++i) __atomic_store_n(&ring[(position + i) % size], value, __ATOMIC_RELAXED);
    }
}

TEST_P(AsioStressTest, SwitchesAndNotifyEventsRaceStartStopPowerAndClose) {
    ASSERT_NO_FATAL_FAILURE(StartHeadset());
    sim::PnpHarness& pnp = Session().Port().harness();
    sim::UserProcess process(GetParam());
    asiotest::AsioClient owner(process);
    ASSERT_EQ(owner.Open(m_Link), STATUS_SUCCESS);
    ASSERT_EQ(owner.CreateBuffers({{0, 0}, {0, 1}, {1, 0}}, 96, 2), STATUS_SUCCESS);
    ASIO_BUFFER* render = owner.Header(0)->IsInput ? owner.Header(1) : owner.Header(0);
    ASSERT_EQ(owner.Start(), STATUS_SUCCESS);

    std::atomic<bool> done{false};
    std::atomic<int> switches{0}, rounds{0};
    {
        sim::TestThread notifier("asio-notify", [&] { NotifyLoop(m_Link, !GetParam(), done, &rounds); });
        sim::TestThread switcher("asio-switch", [&] { SwitchLoop(owner, process, render, done, &switches); });
        for (int cycle = 0; cycle < 12; ++cycle) {
            sim::Sleep(5 * sim::kTicksPerMillisecond);
            if (cycle % 3 == 2) {
                ASSERT_EQ(pnp.SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
                sim::Sleep(2 * sim::kTicksPerMillisecond);
                ASSERT_EQ(pnp.SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
                continue;
            }
            ASSERT_EQ(owner.Stop(), STATUS_SUCCESS) << "cycle " << cycle;
            ASSERT_EQ(owner.Start(), STATUS_SUCCESS) << "cycle " << cycle;
        }
        sim::Sleep(5 * sim::kTicksPerMillisecond);
        // Close while streaming and while the switch loop still waits: the
        // close stops, disposes and lets the event go.
        done = true;
        switcher.Join();
        EXPECT_EQ(owner.Close(), STATUS_SUCCESS);
        notifier.Join();
    }
    EXPECT_GT(switches.load(), 0);
    EXPECT_GT(rounds.load(), 0);
    EXPECT_EQ(process.UserMappingCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(asio, AsioStressTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Owner32Bit" : "Owner64Bit");
                         });

}  // namespace
}  // namespace e2etest

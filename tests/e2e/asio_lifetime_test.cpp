// The ASIO interface on the real driver across power and lifetime events:
// D3 while ASIO streams (a stop waits for D0, the streams resume first),
// the device unplugged while ASIO streams, and the owning process ending
// without a stop. A user-mode driver thread keeps its render ring filled
// with a signal it never repeats, so any of it reaching the device after
// the moment a test names is stale audio.
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_set>

#include "platform/usb/descriptor_file.h"
#include "sim/iomgr.h"
#include "tests/e2e/asio_device.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/stream/asio/asio_client.h"

namespace e2etest {
namespace {

constexpr size_t kFrameBytes = 4;  // stereo 16-bit

uint32_t SignalFrame(uint64_t frame) {
    uint64_t x = (frame + 0x51ED27) * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    return (uint32_t)x | 1;
}

// What the device's render endpoint received, frame by frame with the
// time each arrived.
class DeviceLog {
public:
    explicit DeviceLog(simusb::SimDevice& device) : m_Device(device) {
        device.SetSinkConsumer([this](UCHAR, const uint8_t* data, size_t bytes) {
            std::lock_guard<std::mutex> guard(m_Lock);
            for (size_t i = 0; i + kFrameBytes <= bytes; i += kFrameBytes) {
                uint32_t frame;
                std::memcpy(&frame, data + i, kFrameBytes);
                m_Frames.push_back({sim::Now(), frame});
            }
        });
    }
    ~DeviceLog() { m_Device.SetSinkConsumer(nullptr); }
    // Frames that arrived at or after `from`.
    std::vector<uint32_t> Since(LONGLONG from) {
        std::lock_guard<std::mutex> guard(m_Lock);
        std::vector<uint32_t> out;
        for (const auto& f : m_Frames)
            if (f.first >= from) out.push_back(f.second);
        return out;
    }

private:
    simusb::SimDevice& m_Device;
    std::mutex m_Lock;
    std::vector<std::pair<LONGLONG, uint32_t>> m_Frames;
};

// A started ASIO driver on its own thread: on every buffer switch it
// refills the render ring one transfer-lead ahead with new signal frames.
class StreamingDriver {
public:
    StreamingDriver(const std::u16string& link, sim::UserProcess& process) : m_Client(process), m_Process(process) {
        EXPECT_EQ(m_Client.Open(link), STATUS_SUCCESS);
        EXPECT_EQ(m_Client.CreateBuffers({{0, 0}, {0, 1}}, 256, 2), STATUS_SUCCESS);
        for (size_t pin = 0; pin < m_Client.Addresses().size(); ++pin)
            if (m_Client.Header(pin)->Selected && !m_Client.Header(pin)->IsInput) m_Render = m_Client.Header(pin);
        EXPECT_NE(m_Render, nullptr);
        EXPECT_EQ(m_Client.Start(), STATUS_SUCCESS);
        m_Thread = std::make_unique<sim::TestThread>("asio-driver", [this] { Stream(); });
    }
    ~StreamingDriver() { EndStreaming(); }

    // Ends the switch loop (the handle stays open).
    void EndStreaming() {
        m_Done = true;
        if (m_Thread) m_Thread->Join();
        m_Thread.reset();
    }
    ULONG Switches() const { return m_Switches.load(); }
    // Every signal frame written so far.
    std::unordered_set<uint32_t> Written() {
        std::lock_guard<std::mutex> guard(m_Lock);
        std::unordered_set<uint32_t> set;
        for (uint64_t f = 0; f < m_WrittenFrames; ++f) set.insert(SignalFrame(f));
        return set;
    }
    asiotest::AsioClient& Client() { return m_Client; }

private:
    void Stream() {
        UCHAR* ring = reinterpret_cast<UCHAR*>(m_Render + 1);
        const ULONG size = m_Render->Size;
        const ULONG lead = std::min(size, m_Render->RingBytes * 2);
        ULONG last = m_Render->Position, at = last;
        uint64_t ahead = 0;  // bytes written past the kernel's position
        auto fill = [&] {
            std::lock_guard<std::mutex> guard(m_Lock);
            for (; ahead < lead; ahead += kFrameBytes, at = (at + kFrameBytes) % size) {
                const uint32_t frame = SignalFrame(m_WrittenFrames++);
                std::memcpy(ring + at, &frame, kFrameBytes);
            }
        };
        fill();
        PKEVENT event = m_Process.EventObject(m_Client.SwitchEvent());
        LARGE_INTEGER timeout;
        timeout.QuadPart = -5 * sim::kTicksPerMillisecond;
        while (!m_Done) {
            if (KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS) continue;
            ++m_Switches;
            const ULONG position = m_Render->Position;
            const ULONG consumed = (position + size - last) % size;
            last = position;
            ahead = consumed > ahead ? 0 : ahead - consumed;
            if (consumed > ahead) at = position;
            fill();
        }
    }

    asiotest::AsioClient m_Client;
    sim::UserProcess& m_Process;
    ASIO_BUFFER* m_Render = nullptr;
    std::atomic<bool> m_Done{false};
    std::atomic<ULONG> m_Switches{0};
    std::mutex m_Lock;
    uint64_t m_WrittenFrames = 0;
    std::unique_ptr<sim::TestThread> m_Thread;
};

class AsioLifetimeTest : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(StartAsioDevice(session_, AsioHeadset(), "asio_headset.txt"));
        m_Link = FindAsioLink();
        ASSERT_FALSE(m_Link.empty());
        m_Log = std::make_unique<DeviceLog>(Session().Device());
    }
    void TearDown() override {
        m_Log.reset();
        E2eTest::TearDown();
    }
    sim::PnpHarness& Pnp() { return Session().Port().harness(); }
    void WaitForSwitches(StreamingDriver& driver, ULONG n) {
        const ULONG target = driver.Switches() + n;
        for (int i = 0; i < 200 && driver.Switches() < target; ++i) sim::Sleep(kMs);
        ASSERT_GE(driver.Switches(), target);
    }

    std::u16string m_Link;
    std::unique_ptr<DeviceLog> m_Log;
};

size_t Stale(const std::vector<uint32_t>& frames, const std::unordered_set<uint32_t>& written) {
    size_t n = 0;
    for (uint32_t f : frames) n += written.count(f);
    return n;
}

// D3 stops the streams and parks a stop; D0 resumes the streams, then the
// parked stop completes with success. Nothing the driver wrote before the
// power-down is played after the resume.
TEST_F(AsioLifetimeTest, StopDuringD3WaitsForD0AndNoStaleAudioFollows) {
    sim::UserProcess process;
    StreamingDriver driver(m_Link, process);
    ASSERT_NO_FATAL_FAILURE(WaitForSwitches(driver, 50));
    ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    driver.EndStreaming();
    const std::unordered_set<uint32_t> beforeD3 = driver.Written();
    std::atomic<NTSTATUS> stop{STATUS_PENDING};
    sim::TestThread stopper("asio-stop", [&] { stop = driver.Client().Stop(); });
    sim::Sleep(50 * kMs);
    EXPECT_EQ(stop.load(), STATUS_PENDING) << "the stop waits for D0";
    const LONGLONG resumed = sim::Now();
    ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    stopper.Join();
    EXPECT_EQ(stop.load(), STATUS_SUCCESS);
    sim::Sleep(50 * kMs);
    EXPECT_EQ(Stale(m_Log->Since(resumed), beforeD3), 0u) << "audio from before the power-down after the resume";
    EXPECT_EQ(driver.Client().Dispose(), STATUS_SUCCESS);
    EXPECT_EQ(driver.Client().Close(), STATUS_SUCCESS);
    EXPECT_EQ(process.UserMappingCount(), 0u);
}

// The device leaves while ASIO streams: no switch comes any more, and the
// driver's stop, dispose and close still succeed and free everything.
TEST_F(AsioLifetimeTest, UnplugWhileStreamingThenStopDisposeCloseSucceed) {
    sim::UserProcess process;
    StreamingDriver driver(m_Link, process);
    ASSERT_NO_FATAL_FAILURE(WaitForSwitches(driver, 20));
    Session().Port().bus().Unplug();
    ASSERT_EQ(Pnp().SurpriseRemoval(), STATUS_SUCCESS);
    sim::Sleep(20 * kMs);
    const ULONG switches = driver.Switches();
    sim::Sleep(50 * kMs);
    EXPECT_EQ(driver.Switches(), switches) << "no transfer completes on a gone device";
    driver.EndStreaming();
    EXPECT_EQ(driver.Client().Stop(), STATUS_SUCCESS);
    EXPECT_EQ(driver.Client().Dispose(), STATUS_SUCCESS);
    EXPECT_EQ(driver.Client().Close(), STATUS_SUCCESS);
    EXPECT_EQ(process.UserMappingCount(), 0u);
}

// The owning process ends without a stop: its handle's cleanup stops the
// streams, undoes the mappings in that process and gives up ownership, so
// another process can take the device.
TEST_F(AsioLifetimeTest, OwnerExitWithoutStopReleasesMappingsAndOwnership) {
    {
        auto process = std::make_unique<sim::UserProcess>();
        auto driver = std::make_unique<StreamingDriver>(m_Link, *process);
        ASSERT_NO_FATAL_FAILURE(WaitForSwitches(*driver, 20));
        driver->EndStreaming();
        const std::unordered_set<uint32_t> written = driver->Written();
        const LONGLONG exited = sim::Now();
        process.reset();  // bugchecks when a mapping is left in it
        driver.reset();
        sim::Sleep(30 * kMs);
        EXPECT_EQ(Stale(m_Log->Since(exited + 10 * kMs), written), 0u) << "the streams stopped with the process";
    }
    sim::UserProcess next;
    asiotest::AsioClient client(next);
    ASSERT_EQ(client.Open(m_Link), STATUS_SUCCESS);
    EXPECT_EQ(client.CreateBuffers({{0, 0}}, 256, 2), STATUS_SUCCESS) << "ownership was given up";
    EXPECT_EQ(client.Dispose(), STATUS_SUCCESS);
    EXPECT_EQ(client.Close(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace e2etest

// Selective suspend under real concurrency (the executor's stress mode:
// two DPC threads, two workers, an accelerated clock): IRPs through the
// gate cancel idle requests while other threads submit them and the bus
// completes them, calls the hub callback and moves the device between D2
// and D0; synchronous URBs come and go meanwhile. Run by the
// thread-sanitizer target; any lost reference, double free or IRP touched
// after its completion shows there or in the end-of-test checks.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "sim/executor.h"
#include "tests/adapter/usb/usb_adapter.h"
#include "tests/support/kernel_test.h"

namespace adaptertest {
namespace {

class IdleRaceTest : public UsbAdapterTest {
protected:
    sim::ExecutorOptions Options() const override {
        sim::ExecutorOptions options = sim::ExecutorOptions::FromEnvironment();
        options.stress = true;
        return options;
    }
};

// Virtual time between two steps of a thread: 0 to 3 ms in a fixed pattern.
void Pause(int i, int salt) { sim::Sleep(((i * 7 + salt) % 4) * sim::kTicksPerMillisecond); }

TEST_F(IdleRaceTest, CancelSubmitAndCompletionAgreeOnEveryIdleIrp) {
    constexpr int kWanted = 3000, kMaxSteps = 300000;
    UsbAdapter& a = Make(simusb::BuildUac1Headset());
    a.port().SetDeviceParameter(u"SelectiveSuspendEnabled", 1);
    ASSERT_EQ(a.Start(), STATUS_SUCCESS);
    std::atomic<int> submitted{0};
    std::atomic<bool> done{false};
    {
        // Submits idle requests as the checks would; many find one out
        // (busy) or the device asleep, some are cancelled before or while
        // they are sent.
        sim::TestThread submitter("submitter", [&] {
            for (int i = 0; i < kMaxSteps && submitted.load() < kWanted; ++i) {
                if (a.idle().SubmitIdleRequest() == STATUS_PENDING) ++submitted;
                if (i % 2) Pause(i, 1);
            }
            done = true;
        });
        // IRPs through the gate: each cancels what is out and waits for it.
        sim::TestThread gate("gate", [&] {
            for (int i = 0; !done.load(); ++i) {
                a.SendDeviceControl();
            }
        });
        // Synchronous URBs move InFlightCount up and down.
        sim::TestThread urbs("urbs", [&] {
            uint8_t buffer[18];
            for (int i = 0; !done.load(); ++i) {
                URB urb{};
                UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                             USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, sizeof(buffer),
                                             nullptr);
                const NTSTATUS status = a.transport().SubmitUrbSync(&urb);
                EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_DEVICE_NOT_READY) << std::hex << status;
                Pause(i, 3);
            }
        });
        submitter.Join();
        gate.Join();
        urbs.Join();
    }
    a.idle().Shutdown();
    EXPECT_FALSE(a.bus().IdleRequestPending()) << "an idle IRP outlived the shutdown";
    EXPECT_EQ(submitted.load(), kWanted);
    EXPECT_GE(a.bus().IdleRequestCount(), submitted.load());
    EXPECT_GT(a.PowerIrps(PowerDeviceD2), 0) << "no idle request got as far as D2";
}

}  // namespace
}  // namespace adaptertest

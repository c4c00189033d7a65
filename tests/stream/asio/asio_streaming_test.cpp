// ASIO streaming on the real operations over fake USB streams: the client
// calls of start, stop and dispose, the messages seen through the user's
// view of the rings, headers user mode scribbles on, power changes with a
// parked stop, its cancel, and the cleanup of the owner's handle.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "nt/irp.h"
#include "nt/ke.h"
#include "adapter/asio_park_seam.h"
#include "sim/executor.h"
#include "sim/hooks.h"
#include "sim/iomgr.h"
#include "sim/send_irp.h"
#include "tests/stream/asio/asio_fixture.h"

namespace asiotest {
namespace {

using streamfakes::PcmFormat;
using Calls = std::vector<std::string>;

class AsioStreamingTest : public AsioTest {
protected:
    // Stereo out (pin 0) and stereo in (pin 1), 16-bit 48 kHz, buffers of
    // `frames` for every channel.
    void CreateAll(ULONG frames = 96) {
        Start({AsioEngine(false, {PcmFormat(2, 48000, 16)}), AsioEngine(true, {PcmFormat(2, 48000, 16)})});
        ASSERT_EQ(m_Client->Open(AsioLink()), STATUS_SUCCESS);
        ASSERT_EQ(m_Client->CreateBuffers({{0, 0}, {0, 1}, {1, 0}, {1, 1}}, frames, 2), STATUS_SUCCESS);
        Engine(0)->ClearCalls();
        Engine(1)->ClearCalls();
    }
    void ClearCalls() {
        Engine(0)->ClearCalls();
        Engine(1)->ClearCalls();
    }
    // A stop request from a thread of its own (it may stay pending).
    struct PendingStop {
        std::atomic<NTSTATUS> status{STATUS_PENDING};
        std::unique_ptr<sim::TestThread> thread;
    };
    void StopInThread(PendingStop& stop) {
        stop.thread = std::make_unique<sim::TestThread>("asio-stop", [this, &stop] { stop.status = m_Client->Stop(); });
        for (int i = 0; i < 1000 && State().m_pParkedAsioStopIrp == NULL; ++i) sim::Sleep(sim::kTicksPerMillisecond);
        ASSERT_NE(State().m_pParkedAsioStopIrp, nullptr);
    }
};

TEST_F(AsioStreamingTest, StartAcquiresAllThenRunsCaptureAndRenderFiveFramesLater) {
    CreateAll();
    ASSERT_EQ(m_Client->Start(), STATUS_SUCCESS);
    EXPECT_EQ(Engine(0)->Calls(), (Calls{"acquire", "run:105"}));
    EXPECT_EQ(Engine(1)->Calls(), (Calls{"acquire", "run:105"}));
    EXPECT_TRUE(State().m_bAsioStreaming);
    EXPECT_EQ(m_Client->Start(), STATUS_INVALID_PARAMETER) << "started already";
    ClearCalls();
    ASSERT_EQ(m_Client->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(Engine(0)->Calls(), (Calls{"stop", "release"}));
    EXPECT_EQ(m_Client->Stop(), STATUS_INVALID_PARAMETER) << "stopped already";
    ClearCalls();
    ASSERT_EQ(m_Client->Dispose(), STATUS_SUCCESS);
    EXPECT_EQ(Engine(0)->Calls(), (Calls{"unregister"}));
    EXPECT_EQ(Engine(1)->Calls(), (Calls{"unregister"}));
}

TEST_F(AsioStreamingTest, MessagesMoveTheRingsAndSignalTheSwitch) {
    CreateAll(96);  // render Position starts one 192-byte transfer before the end
    ASSERT_EQ(m_Client->Start(), STATUS_SUCCESS);
    UCHAR* render = m_Client->Ring(0);
    const ULONG size = m_Client->Header(0)->Size;
    for (ULONG i = 0; i < size; ++i) render[i] = (UCHAR)(i % 251);
    std::vector<UCHAR> transfer(384, 0xEE);
    Engine(0)->SendFill(transfer.data(), 384);  // wraps
    for (ULONG i = 0; i < 384; ++i) ASSERT_EQ(transfer[i], (UCHAR)(((size - 192 + i) % size) % 251)) << i;
    EXPECT_EQ(m_Client->Header(0)->Position, 192u);

    std::vector<UCHAR> whole(size, 0xEE);
    Engine(0)->SendFill(whole.data(), size);  // a whole ring: nothing copied
    EXPECT_EQ(whole[0], 0xEE);
    EXPECT_EQ(m_Client->Header(0)->Position, 192u);
    PCYCLIC_CLIENT foreign = Engine(0)->ForeignClient(PcmFormat(2, 48000, 16));
    __atomic_store_n(&foreign->Running, TRUE, __ATOMIC_RELEASE);
    Engine(0)->SendFill(transfer.data(), 8, foreign);  // another client's stream
    EXPECT_EQ(m_Client->Header(0)->Position, 192u);

    std::vector<UCHAR> captured(100);
    for (ULONG i = 0; i < 100; ++i) captured[i] = (UCHAR)(200 - i);
    Engine(1)->SendCapture(captured.data(), 100);
    EXPECT_EQ(std::memcmp(m_Client->Ring(1), captured.data(), 100), 0);
    EXPECT_EQ(m_Client->Header(1)->Position, 100u);

    Engine(0)->SendBytesDone(192);  // the render pin does not signal
    EXPECT_EQ(m_Client->Header(0)->PeriodCount, 1u);
    EXPECT_FALSE(m_Client->Switched());
    Engine(1)->SendBytesDone(192);
    EXPECT_EQ(m_Client->Header(1)->PeriodCount, 1u);
    EXPECT_TRUE(m_Client->Switched());

    ASSERT_EQ(m_Client->Stop(), STATUS_SUCCESS);
    Engine(0)->SendFill(transfer.data(), 8);  // a stopped client's message
    EXPECT_EQ(m_Client->Header(0)->Position, 192u);
}

// User mode may write anything into a header: the kernel keeps its own
// copy, copies from its own position and rewrites the header on reset.
TEST_F(AsioStreamingTest, ScribbledHeaderChangesNothing) {
    CreateAll(256);
    ASIO_BUFFER* h = m_Client->Header(0);
    h->Selected = 0;
    h->IsInput = 1;
    h->Size = 0xFFFFFFF0;
    h->Position = 0x7FFFFFF0;
    h->SignalsPeriod = 1;
    ASSERT_EQ(m_Client->Start(), STATUS_SUCCESS);
    EXPECT_EQ(Engine(0)->Calls(), (Calls{"acquire", "run:105"})) << "started as the kernel selected it";
    EXPECT_EQ(h->Size, 7680u);
    EXPECT_EQ(h->Selected, 1u);
    EXPECT_EQ(h->SignalsPeriod, 0u);
    h->Position = 0x7FFFFFF0;
    h->Size = 0xFFFFFFF0;
    std::memset(m_Client->Ring(0), 0x11, 7680);
    std::vector<UCHAR> transfer(192, 0);
    Engine(0)->SendFill(transfer.data(), 192);
    EXPECT_EQ(transfer[191], 0x11);
    EXPECT_EQ(h->Position, 192u);
    std::vector<UCHAR> captured(192, 0x22);
    m_Client->Header(1)->Position = 0x7FFFFFF0;
    Engine(1)->SendCapture(captured.data(), 192);
    EXPECT_EQ(m_Client->Ring(1)[191], 0x22);
    Engine(0)->SendBytesDone(192);
    EXPECT_FALSE(m_Client->Switched()) << "only the kernel's signalling pin signals";
    h->Selected = 0;
    ClearCalls();
    ASSERT_EQ(m_Client->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(Engine(0)->Calls(), (Calls{"stop", "release"}));
}

TEST_F(AsioStreamingTest, FailedRunEndsItsPassAndTheStartSucceeds) {
    CreateAll();
    Engine(1)->Fail("run", STATUS_UNSUCCESSFUL);
    ASSERT_EQ(m_Client->Start(), STATUS_SUCCESS);
    EXPECT_EQ(Engine(0)->Calls(), (Calls{"acquire", "run:105"}));
    ClearCalls();
    ASSERT_EQ(m_Client->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(Engine(0)->Calls(), (Calls{"stop", "release"}));
    EXPECT_EQ(Engine(1)->Calls(), (Calls{"stop", "release"}));
}

TEST_F(AsioStreamingTest, FailedAcquireRollsBackAndKeepsNoEvent) {
    CreateAll();
    Engine(1)->Fail("acquire", STATUS_DEVICE_BUSY);
    EXPECT_EQ(m_Client->Start(), STATUS_DEVICE_BUSY);
    EXPECT_FALSE(State().m_bAsioStreaming);
    const Calls calls = Engine(0)->Calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[calls.size() - 2], "stop");
    EXPECT_EQ(calls.back(), "release");
}

// Dispose of a started owner stops first: the stream is released before
// its registration goes, and the event reference with it.
TEST_F(AsioStreamingTest, DisposeWhileStreamingStopsFirst) {
    CreateAll();
    ASSERT_EQ(m_Client->Start(), STATUS_SUCCESS);
    ClearCalls();
    ASSERT_EQ(m_Client->Dispose(), STATUS_SUCCESS);
    EXPECT_EQ(Engine(0)->Calls(), (Calls{"stop", "release", "unregister"}));
    EXPECT_EQ(Engine(0)->Registered(), nullptr);
    EXPECT_FALSE(State().m_bAsioStreaming);
    EXPECT_EQ(m_Process->UserMappingCount(), 0u);
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_BUFFERS_CREATED, 1)[0], 0u);
}

TEST_F(AsioStreamingTest, PowerDownParksAStopThatCompletesAfterTheRestart) {
    CreateAll();
    ASSERT_EQ(m_Client->Start(), STATUS_SUCCESS);
    Engine(1)->SendBytesDone(192);
    ASSERT_TRUE(m_Client->Switched());
    Engine(1)->SendBytesDone(192);
    ClearCalls();
    PowerChange(PowerDeviceD3);
    EXPECT_EQ(Engine(0)->Calls(), (Calls{"stop", "release"}));
    EXPECT_FALSE(m_Client->Switched()) << "cleared, kept";
    EXPECT_TRUE(State().m_bAsioStoppedByPowerDown);
    PendingStop stop;
    StopInThread(stop);
    EXPECT_EQ(m_Client->Stop(), STATUS_INVALID_PARAMETER) << "one is parked already";
    ClearCalls();
    PowerChange(PowerDeviceD0);
    stop.thread->Join();
    EXPECT_EQ(stop.status.load(), STATUS_SUCCESS);
    EXPECT_EQ(Engine(0)->Calls(), (Calls{"acquire", "run:105", "stop", "release"}));
    EXPECT_FALSE(State().m_bAsioStreaming);
}

TEST_F(AsioStreamingTest, ResumedStreamsSignalTheKeptEvent) {
    CreateAll();
    ASSERT_EQ(m_Client->Start(), STATUS_SUCCESS);
    PowerChange(PowerDeviceD3);
    PowerChange(PowerDeviceD0);
    EXPECT_EQ(m_Client->Header(1)->PeriodCount, 0u) << "reset";
    Engine(1)->SendBytesDone(192);
    EXPECT_TRUE(m_Client->Switched());
    ASSERT_EQ(m_Client->Stop(), STATUS_SUCCESS);
}

// The streams restart at D0 before the positions are reset, so their first
// transfers are filled from where the power-down left the ring: that must
// be silence, not what the driver wrote before the power-down.
TEST_F(AsioStreamingTest, ResumedStreamsReplayNothingFromBeforeThePowerDown) {
    CreateAll(256);
    ASSERT_EQ(m_Client->Start(), STATUS_SUCCESS);
    std::memset(m_Client->Ring(0), 0x11, m_Client->Header(0)->Size);
    std::vector<UCHAR> transfer(192, 0);
    Engine(0)->SendFill(transfer.data(), 192);
    ASSERT_EQ(transfer[0], 0x11);
    PowerChange(PowerDeviceD3);
    PowerChange(PowerDeviceD0);
    for (ULONG i = 0; i < 40; ++i) {
        std::fill(transfer.begin(), transfer.end(), 0xEE);
        Engine(0)->SendFill(transfer.data(), 192);
        ASSERT_EQ(transfer, std::vector<UCHAR>(192, 0)) << "transfer " << i << " after the resume";
    }
    ASSERT_EQ(m_Client->Stop(), STATUS_SUCCESS);
}

TEST_F(AsioStreamingTest, CancelledParkedStopCompletesCancelled) {
    CreateAll();
    ASSERT_EQ(m_Client->Start(), STATUS_SUCCESS);
    PowerChange(PowerDeviceD3);
    PendingStop stop;
    StopInThread(stop);
    IoCancelIrp(State().m_pParkedAsioStopIrp);
    stop.thread->Join();
    EXPECT_EQ(stop.status.load(), STATUS_CANCELLED);
    EXPECT_EQ(State().m_pParkedAsioStopIrp, nullptr);
    PowerChange(PowerDeviceD0);
    EXPECT_EQ(m_Client->Stop(), STATUS_SUCCESS);
}

// The owner's cleanup disposes its buffers in its own process, also with a
// stop parked by that handle; the close may then come from anywhere.
TEST_F(AsioStreamingTest, CleanupUndoesTheMappingInTheOwnersProcess) {
    CreateAll();
    ASSERT_EQ(m_Client->Start(), STATUS_SUCCESS);
    PowerChange(PowerDeviceD3);
    PendingStop stop;
    StopInThread(stop);
    ClearCalls();
    {
        auto scope = m_Process->Enter();
        sim::IrpOutcome cleanup = sim::SendIrp(Fdo(), [&](PIRP irp, PIO_STACK_LOCATION sp) {
            sp->MajorFunction = IRP_MJ_CLEANUP;
            sp->FileObject = m_Client->Handle().FileObject();
            irp->Tail.Overlay.OriginalFileObject = sp->FileObject;
            sim::IoSetRequestorProcess(irp, m_Process->Process());
        });
        EXPECT_EQ(cleanup.ioStatus.Status, STATUS_SUCCESS);
    }
    stop.thread->Join();
    EXPECT_EQ(stop.status.load(), STATUS_CANCELLED);
    EXPECT_EQ(m_Process->UserMappingCount(), 0u);
    EXPECT_EQ(Engine(0)->Calls(), (Calls{"unregister"})) << "stopped by the power-down already";
    EXPECT_EQ(State().m_pAsioOwner, nullptr);
    PowerChange(PowerDeviceD0);
    EXPECT_EQ(m_Client->Close(), STATUS_SUCCESS);
}

// A process that ends without a stop: its handle's cleanup stops and
// disposes, nothing stays mapped.
TEST_F(AsioStreamingTest, ProcessEndingWhileStreamingLeavesNothing) {
    CreateAll();
    ASSERT_EQ(m_Client->Start(), STATUS_SUCCESS);
    ClearCalls();
    m_Client.reset();
    m_Process.reset();
    EXPECT_EQ(Engine(0)->Calls(), (Calls{"stop", "release", "unregister"}));
    EXPECT_EQ(State().m_pAsioOwner, nullptr);
    EXPECT_TRUE(IsListEmpty(&State().m_AsioClients));
}

// ---- a parked stop against the dispose and the cancel, in every order ----------

// Where the dispose and the cancel come, relative to the parking of the stop
// request (which holds the device lock) and to each other. The parking's
// seam stops the parking thread once the stop is published, its cancel
// routine not yet set; the stand-in's hook stops the dispose right after it
// lets the device lock go.
enum class ParkOrder {
    DisposeAfterPark,      // the dispose completes it
    CancelThenDispose,     // the cancel completes it; the dispose finds none
    CancelWhileParking,    // the cancel comes before the cancel routine is set
    CancelWhileDisposing,  // the cancel comes as the dispose lets the device lock go
    ParkAsDisposeUnlocks,  // the stop parks while the dispose is past its lock
    DisposeThenPark,       // the stop parks after the dispose; D0 runs it
};

struct ParkRow {
    const char* name;
    ParkOrder order;
    NTSTATUS expected;  // the stop request's completion status
};

const ParkRow kParkRows[] = {
    {"DisposeAfterPark", ParkOrder::DisposeAfterPark, STATUS_CANCELLED},
    {"CancelThenDispose", ParkOrder::CancelThenDispose, STATUS_CANCELLED},
    {"CancelWhileParking", ParkOrder::CancelWhileParking, STATUS_CANCELLED},
    {"CancelWhileDisposing", ParkOrder::CancelWhileDisposing, STATUS_CANCELLED},
    // No owner is left when D0 runs the stop.
    {"ParkAsDisposeUnlocks", ParkOrder::ParkAsDisposeUnlocks, STATUS_INVALID_PARAMETER},
    {"DisposeThenPark", ParkOrder::DisposeThenPark, STATUS_INVALID_PARAMETER},
};

class ParkedStopOrderTest : public AsioStreamingTest, public ::testing::WithParamInterface<ParkRow> {
protected:
    void TearDown() override {
        g_AsioParkHook = NULL;
        g_AsioParkHookContext = NULL;
        sim::SetMutexReleasedHook(nullptr);
        AsioStreamingTest::TearDown();
    }
    // Runs `parking` in the parking's window.
    void OnParking(std::function<void(PIRP)> parking) {
        m_Parking = std::move(parking);
        g_AsioParkHookContext = &m_Parking;
        g_AsioParkHook = [](PIRP irp, PVOID context) { (*static_cast<std::function<void(PIRP)>*>(context))(irp); };
    }
    // The kernel mutex under the adapter's device lock, seen as it is let go.
    PRKMUTEX DeviceMutex() {
        std::atomic<PRKMUTEX> found{nullptr};
        const std::thread::id self = std::this_thread::get_id();
        sim::SetMutexReleasedHook([&](PRKMUTEX m) {
            if (std::this_thread::get_id() == self) found = m;
        });
        Adapter()->DeviceLockObject().Lock();
        Adapter()->DeviceLockObject().Unlock();
        sim::SetMutexReleasedHook(nullptr);
        return found;
    }
    static void Wait(KEVENT* event) { KeWaitForSingleObject(event, Executive, KernelMode, FALSE, NULL); }

    std::function<void(PIRP)> m_Parking;
};

TEST_P(ParkedStopOrderTest, TheStopRequestCompletesExactlyOnce) {
    const ParkOrder order = GetParam().order;
    CreateAll();
    ASSERT_EQ(m_Client->Start(), STATUS_SUCCESS);
    PowerChange(PowerDeviceD3);
    const PRKMUTEX deviceMutex = DeviceMutex();
    ASSERT_NE(deviceMutex, nullptr);
    KEVENT parking, disposed;
    KeInitializeEvent(&parking, NotificationEvent, FALSE);
    KeInitializeEvent(&disposed, NotificationEvent, FALSE);
    std::atomic<PIRP> stopIrp{nullptr};
    PendingStop stop;
    auto startStop = [&] {
        stop.thread = std::make_unique<sim::TestThread>("asio-stop", [&] { stop.status = m_Client->Stop(); });
    };
    // Parked (or completed by a cancel) and nothing runs any more.
    auto settleStop = [&] {
        for (int i = 0; i < 1000 && State().m_pParkedAsioStopIrp == NULL && stop.status == STATUS_PENDING; ++i)
            sim::Sleep(sim::kTicksPerMillisecond);
    };
    OnParking([&](PIRP irp) {
        stopIrp = irp;
        if (order == ParkOrder::CancelWhileParking) IoCancelIrp(irp);
        if (order == ParkOrder::ParkAsDisposeUnlocks) {
            KeSetEvent(&parking, 0, FALSE);
            Wait(&disposed);  // the dispose runs on to its end now
        }
    });
    std::atomic<NTSTATUS> disposeStatus{STATUS_PENDING};
    std::atomic<std::thread::id> disposer{};
    std::atomic<bool> armed{false};
    sim::SetMutexReleasedHook([&](PRKMUTEX m) {
        if (m != deviceMutex || std::this_thread::get_id() != disposer.load() || !armed.exchange(false)) return;
        if (order == ParkOrder::CancelWhileDisposing) IoCancelIrp(stopIrp);
        if (order == ParkOrder::ParkAsDisposeUnlocks) {
            startStop();
            Wait(&parking);
        }
    });
    auto dispose = [&] {
        armed = order == ParkOrder::CancelWhileDisposing || order == ParkOrder::ParkAsDisposeUnlocks;
        sim::TestThread thread("asio-dispose", [&] {
            disposer = std::this_thread::get_id();
            disposeStatus = m_Client->Dispose();
            KeSetEvent(&disposed, 0, FALSE);
        });
        thread.Join();
    };

    switch (order) {
        case ParkOrder::DisposeAfterPark:
        case ParkOrder::CancelWhileParking:
        case ParkOrder::CancelWhileDisposing:
            startStop();
            settleStop();
            dispose();
            break;
        case ParkOrder::CancelThenDispose:
            startStop();
            settleStop();
            ASSERT_NE(State().m_pParkedAsioStopIrp, nullptr);
            IoCancelIrp(State().m_pParkedAsioStopIrp);
            dispose();
            break;
        case ParkOrder::ParkAsDisposeUnlocks:
            dispose();
            break;
        case ParkOrder::DisposeThenPark:
            dispose();
            startStop();
            settleStop();
            break;
    }
    // The return to D0 runs a stop still parked.
    PowerChange(PowerDeviceD0);
    sim::Sleep(sim::kTicksPerMillisecond);
    const NTSTATUS completed = stop.status;
    // A request nobody can find any more is let go, or the thread never ends.
    if (completed == STATUS_PENDING && stopIrp.load() != nullptr) IoCancelIrp(stopIrp);
    ASSERT_NE(stop.thread, nullptr);
    stop.thread->Join();
    EXPECT_EQ(completed, GetParam().expected) << "the stop request was left pending";
    EXPECT_EQ(disposeStatus.load(), STATUS_SUCCESS);
    EXPECT_EQ(State().m_pParkedAsioStopIrp, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Orders, ParkedStopOrderTest, ::testing::ValuesIn(kParkRows),
                         [](const ::testing::TestParamInfo<ParkRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace asiotest

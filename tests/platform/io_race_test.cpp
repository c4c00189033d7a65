// Completion racing cancellation on real threads, repeated. Built into the
// platform suite and, on its own, into the ThreadSanitizer executable.
#include <gtest/gtest.h>

#include <atomic>

#include "nt/ke.h"
#include "sim/executor.h"
#include "tests/platform/io_test_util.h"
#include "tests/support/kernel_test.h"

namespace {

using iotest::CompleteIrp;
using iotest::TestStack;

constexpr int kRounds = 200;

class IoRaceTest : public sim::KernelTest {};

// Starts two bodies on two managed threads as close together as possible.
void RunTogether(const std::function<void()>& a, const std::function<void()>& b) {
    std::atomic<int> ready{0};
    auto gate = [&ready] {
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
    };
    sim::TestThread first("racer-a", [&] { gate(); a(); });
    sim::TestThread second("racer-b", [&] { gate(); b(); });
    first.Join();
    second.Join();
}

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A driver holding one IRP with a cancel routine; the queue is guarded by
// the cancel spin lock, so completion and cancellation agree on who
// completes it.
struct HeldIrp {
    PIRP irp = nullptr;  // guarded by the cancel spin lock
};

HeldIrp g_held;

VOID CancelHeld(PDEVICE_OBJECT, PIRP irp) {
    bool mine = g_held.irp == irp;
    if (mine) g_held.irp = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (mine) CompleteIrp(irp, STATUS_CANCELLED);
}

NTSTATUS HoldIrp(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(irp, CancelHeld);
    g_held.irp = irp;
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

// Completes the held IRP unless its cancellation has begun.
void CompleteHeld() {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = g_held.irp;
    if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        g_held.irp = nullptr;
        IoReleaseCancelSpinLock(irql);
        CompleteIrp(irp, STATUS_SUCCESS);
        return;
    }
    IoReleaseCancelSpinLock(irql);
}

TEST_F(IoRaceTest, CompletionAgainstCancelRoutineCompletesExactlyOnce) {
    TestStack stack(1);
    stack[0].dispatch = HoldIrp;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    int cancelled = 0;
    for (int round = 0; round < kRounds; ++round) {
        PIRP irp = IoAllocateIrp(stack.StackSize(), FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
        ASSERT_EQ(IoCallDriver(stack.Top(), irp), STATUS_PENDING);
        BOOLEAN cancelRan = FALSE;
        RunTogether(CompleteHeld, [&] { cancelRan = IoCancelIrp(irp); });
        ASSERT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        // The cancel routine ran exactly when the completer lost the race.
        EXPECT_EQ(irp->IoStatus.Status, cancelRan ? STATUS_CANCELLED : STATUS_SUCCESS);
        EXPECT_TRUE(irp->Cancel);
        cancelled += cancelRan ? 1 : 0;
        KeClearEvent(&done);
        IoFreeIrp(irp);
    }
    RecordProperty("cancelled", cancelled);
}

// The selective-suspend pattern: a driver-owned IRP that both its
// completion routine and a canceller may hold; a count of two decides who
// frees it.
struct SharedIrp {
    PIRP volatile irp = nullptr;
    volatile LONG refs = 0;
    KEVENT freed;
};

void ReleaseShared(SharedIrp* shared, PIRP irp) {
    if (InterlockedDecrement(&shared->refs) == 0) {
        IoFreeIrp(irp);
        KeSetEvent(&shared->freed, IO_NO_INCREMENT, FALSE);
    }
}

NTSTATUS SharedCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* shared = static_cast<SharedIrp*>(context);
    PIRP taken = static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&shared->irp), nullptr));
    if (taken != nullptr) {
        // Nobody is cancelling: the completion owns both references.
        IoFreeIrp(irp);
        KeSetEvent(&shared->freed, IO_NO_INCREMENT, FALSE);
    } else {
        ReleaseShared(shared, irp);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void CancelShared(SharedIrp* shared) {
    PIRP irp = static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&shared->irp), nullptr));
    if (irp == nullptr) return;
    IoCancelIrp(irp);
    ReleaseShared(shared, irp);
}

TEST_F(IoRaceTest, CompletionAgainstIoCancelIrpFreesTheIrpOnce) {
    TestStack stack(1);
    PIRP pending = nullptr;
    stack[0].dispatch = [&pending](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        pending = irp;
        return STATUS_PENDING;
    };
    for (int round = 0; round < kRounds; ++round) {
        SharedIrp shared;
        KeInitializeEvent(&shared.freed, NotificationEvent, FALSE);
        PIRP irp = IoAllocateIrp(stack.StackSize(), FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, SharedCompletion, &shared, TRUE, TRUE, TRUE);
        shared.irp = irp;
        shared.refs = 2;
        ASSERT_EQ(IoCallDriver(stack.Top(), irp), STATUS_PENDING);
        PIRP held = pending;
        RunTogether([held] { CompleteIrp(held, STATUS_SUCCESS); }, [&shared] { CancelShared(&shared); });
        ASSERT_EQ(KeWaitForSingleObject(&shared.freed, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    }
}

}  // namespace

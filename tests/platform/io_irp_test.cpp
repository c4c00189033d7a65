// IRPs through device stacks: completion routines, pending returns,
// cancellation, reuse and the I/O manager's fatal checks.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nt/ke.h"
#include "sim/executor.h"
#include "sim/object.h"
#include "sim/send_irp.h"
#include "tests/platform/io_test_util.h"
#include "tests/support/kernel_test.h"

namespace {

using iotest::CompleteIrp;
using iotest::Layer;
using iotest::PassDown;
using iotest::TestStack;

constexpr LONGLONG kMs = sim::kTicksPerMillisecond;

class IoIrpTest : public sim::KernelTest {};

// What the completion routines of a test record: which layer's routine ran
// and the device it was given.
struct Journal {
    std::vector<std::string> calls;
    std::vector<PDEVICE_OBJECT> devices;
    int keepAt = -1;  // the layer whose routine returns STATUS_MORE_PROCESSING_REQUIRED
};

struct RoutineContext {
    Journal* journal;
    int layer;
};

// The routine of the IRP's allocator, above the top layer: always keeps it.
constexpr int kOwner = 3;

NTSTATUS RecordCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* c = static_cast<RoutineContext*>(context);
    c->journal->calls.push_back(c->layer == kOwner ? "owner" : "layer" + std::to_string(c->layer));
    c->journal->devices.push_back(device);
    if (c->journal->keepAt == c->layer || c->layer == kOwner) return STATUS_MORE_PROCESSING_REQUIRED;
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

// The layer passes the IRP down with a recording completion routine.
void RecordOnTheWayUp(Layer& layer, RoutineContext* context) {
    layer.dispatch = [&layer, context](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RecordCompletion, context, TRUE, TRUE, TRUE);
        return IoCallDriver(layer.lower, irp);
    };
}

PIO_STACK_LOCATION Ioctl(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    return sp;
}

// ------------------------------------------------------------------ walk

TEST_F(IoIrpTest, CompletionRoutinesRunBottomUpAndStopWhereOneKeepsTheIrp) {
    for (int keepAt : {-1, 1, 2}) {
        SCOPED_TRACE("keepAt " + std::to_string(keepAt));
        TestStack stack(3);
        Journal journal;
        journal.keepAt = keepAt;
        RoutineContext contexts[4] = {{&journal, 0}, {&journal, 1}, {&journal, 2}, {&journal, kOwner}};
        for (int i = 1; i < 3; ++i) RecordOnTheWayUp(stack[i], &contexts[i]);
        PIRP irp = IoAllocateIrp(stack.StackSize(), FALSE);
        ASSERT_NE(irp, nullptr);
        Ioctl(irp);
        IoSetCompletionRoutine(irp, RecordCompletion, &contexts[kOwner], TRUE, TRUE, TRUE);
        IoCallDriver(stack.Top(), irp);
        if (keepAt >= 0) {
            // The walk stopped at the keeper; completing again resumes above it.
            std::vector<std::string> upToKeeper;
            for (int i = 1; i <= keepAt; ++i) upToKeeper.push_back("layer" + std::to_string(i));
            EXPECT_EQ(journal.calls, upToKeeper);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
        EXPECT_EQ(journal.calls, (std::vector<std::string>{"layer1", "layer2", "owner"}));
        // Each routine gets the device of the driver that set it.
        EXPECT_EQ(journal.devices, (std::vector<PDEVICE_OBJECT>{stack[1].device, stack[2].device, nullptr}));
        IoFreeIrp(irp);
    }
}

struct InvokeCase {
    const char* name;
    NTSTATUS status;
    bool cancel;
    bool onSuccess, onError, onCancel;
    bool invoked;
};

class IoInvokeTest : public sim::KernelTest, public ::testing::WithParamInterface<InvokeCase> {};

TEST_P(IoInvokeTest, RoutineRunsOnlyForItsConditions) {
    const InvokeCase& c = GetParam();
    TestStack stack(2);
    bool invoked = false;
    auto routine = [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
        *static_cast<bool*>(context) = true;
        return STATUS_SUCCESS;
    };
    stack[1].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, routine, &invoked, c.onSuccess, c.onError, c.onCancel);
        if (c.cancel) irp->Cancel = TRUE;
        return IoCallDriver(stack[1].lower, irp);
    };
    stack[0].dispatch = [&](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, c.status); };
    sim::SendIrp(stack.Top(), [](PIRP, PIO_STACK_LOCATION sp) { sp->MajorFunction = IRP_MJ_READ; });
    EXPECT_EQ(invoked, c.invoked);
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, IoInvokeTest,
    ::testing::Values(InvokeCase{"SuccessOnSuccess", STATUS_SUCCESS, false, true, false, false, true},
                      InvokeCase{"SuccessOnErrorOnly", STATUS_SUCCESS, false, false, true, true, false},
                      InvokeCase{"WarningCountsAsError", STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
                      InvokeCase{"ErrorOnSuccessOnly", STATUS_UNSUCCESSFUL, false, true, false, true, false},
                      InvokeCase{"CancelledOnCancelOnly", STATUS_CANCELLED, true, false, false, true, true},
                      InvokeCase{"SuccessAfterCancelOnCancel", STATUS_SUCCESS, true, false, false, true, true},
                      InvokeCase{"ErrorWithoutCancelOnCancelOnly", STATUS_CANCELLED, false, false, false, true,
                                 false}),
    [](const ::testing::TestParamInfo<InvokeCase>& info) { return std::string(info.param.name); });

// --------------------------------------------------------------- pending

TEST_F(IoIrpTest, PendingMarkTravelsUpThroughLayersWithoutRoutines) {
    TestStack stack(3);
    stack[0].dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        sim::ScheduleAfter(10 * kMs, [irp] { CompleteIrp(irp, STATUS_SUCCESS, 3); });
        return STATUS_PENDING;
    };
    LONGLONG start = sim::Now();
    sim::IrpOutcome outcome = sim::SendIrp(stack.Top(), [](PIRP, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_READ;
    });
    EXPECT_EQ(outcome.returned, STATUS_PENDING);
    EXPECT_TRUE(outcome.completed);
    EXPECT_TRUE(outcome.pendingReturned);
    EXPECT_EQ(outcome.ioStatus.Information, 3u);
    EXPECT_EQ(sim::Now() - start, 10 * kMs);
}

struct ContractCase {
    const char* name;
    bool markPending;
    NTSTATUS completeWith;
    NTSTATUS returnStatus;
    bool completeLater;
    const char* complaint;
};

class IoContractTest : public sim::KernelTest, public ::testing::WithParamInterface<ContractCase> {};

TEST_P(IoContractTest, BrokenCompletionContractFailsTheTest) {
    const ContractCase& c = GetParam();
    TestStack stack(1);
    stack[0].dispatch = [&c](PDEVICE_OBJECT, PIRP irp) {
        if (c.markPending) IoMarkIrpPending(irp);
        if (c.completeLater)
            sim::ScheduleAfter(kMs, [irp, status = c.completeWith] { CompleteIrp(irp, status); });
        else
            CompleteIrp(irp, c.completeWith);
        return c.returnStatus;
    };
    EXPECT_NONFATAL_FAILURE(
        sim::SendIrp(stack.Top(), [](PIRP, PIO_STACK_LOCATION sp) { sp->MajorFunction = IRP_MJ_READ; }),
        c.complaint);
}

INSTANTIATE_TEST_SUITE_P(
    Violations, IoContractTest,
    ::testing::Values(
        ContractCase{"PendingWithoutMark", false, STATUS_SUCCESS, STATUS_PENDING, true, "without IoMarkIrpPending"},
        ContractCase{"MarkedButNotPending", true, STATUS_SUCCESS, STATUS_SUCCESS, false, "was marked pending"},
        ContractCase{"StatusMismatch", false, STATUS_SUCCESS, STATUS_UNSUCCESSFUL, false, "but completed with"},
        ContractCase{"ReturnedBeforeCompletion", false, STATUS_SUCCESS, STATUS_SUCCESS, true,
                     "before the IRP was completed"}),
    [](const ::testing::TestParamInfo<ContractCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------- cancellation

TEST_F(IoIrpTest, CancelCallsTheCancelRoutineWhichCompletesTheIrp) {
    TestStack stack(2);
    stack[0].dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP cancelled) {
            IoReleaseCancelSpinLock(cancelled->CancelIrql);
            CompleteIrp(cancelled, STATUS_CANCELLED);
        });
        sim::ScheduleAfter(5 * kMs, [irp] { EXPECT_TRUE(IoCancelIrp(irp)); });
        return STATUS_PENDING;
    };
    sim::IrpOutcome outcome = sim::SendIrp(stack.Top(), [](PIRP, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_READ;
    });
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.ioStatus.Status, STATUS_CANCELLED);
}

TEST_F(IoIrpTest, CancelWithoutRoutineOnlyMarksTheIrp) {
    TestStack stack(1);
    bool sawCancel = false;
    stack[0].dispatch = [&sawCancel](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        sim::ScheduleAfter(kMs, [irp] { EXPECT_FALSE(IoCancelIrp(irp)); });
        sim::ScheduleAfter(2 * kMs, [irp, &sawCancel] {
            sawCancel = irp->Cancel != FALSE;
            CompleteIrp(irp, STATUS_SUCCESS);
        });
        return STATUS_PENDING;
    };
    sim::IrpOutcome outcome = sim::SendIrp(stack.Top(), [](PIRP, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_READ;
    });
    EXPECT_TRUE(sawCancel);
    EXPECT_EQ(outcome.ioStatus.Status, STATUS_SUCCESS);
}

// ----------------------------------------------------------------- reuse

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IoIrpTest, ReusedIrpStartsOverAndCanBeSentAgain) {
    TestStack stack(2);
    int calls = 0;
    stack[0].dispatch = [&calls](PDEVICE_OBJECT, PIRP irp) {
        ++calls;
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(sp->Parameters.Others.Argument1, reinterpret_cast<PVOID>(0x1234));
        return CompleteIrp(irp, STATUS_UNSUCCESSFUL);
    };
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(stack.StackSize(), FALSE);
    ASSERT_NE(irp, nullptr);
    for (int round = 0; round < 3; ++round) {
        PIO_STACK_LOCATION sp = Ioctl(irp);
        sp->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(0x1234);
        IoSetCompletionRoutine(irp, KeepIrp, &done, TRUE, TRUE, TRUE);
        irp->Cancel = TRUE;
        EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_UNSUCCESSFUL);
        KeClearEvent(&done);
        IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
        EXPECT_FALSE(irp->Cancel);
        EXPECT_FALSE(irp->PendingReturned);
        EXPECT_EQ(IoGetNextIrpStackLocation(irp)->CompletionRoutine, nullptr);
    }
    EXPECT_EQ(calls, 3);
    IoFreeIrp(irp);
}

// -------------------------------------------------------------- removal

TEST_F(IoIrpTest, DeviceDeletedByItsDispatchRoutineStaysValidUntilItReturns) {
    TestStack stack(2);
    size_t devicesBefore = sim::ObLiveCount(*IoDeviceObjectType);
    size_t devicesInside = 0;
    stack[1].dispatch = [&](PDEVICE_OBJECT self, PIRP irp) {
        NTSTATUS status = PassDown(stack[1], irp);
        IoDetachDevice(stack[1].lower);
        IoDeleteDevice(self);
        stack[1].device = nullptr;
        // Still ours until we return: the extension can be used.
        devicesInside = sim::ObLiveCount(*IoDeviceObjectType);
        *static_cast<Layer**>(self->DeviceExtension) = nullptr;
        return status;
    };
    // Sent straight to the device, with no reference held by the sender:
    // only IoCallDriver keeps the device alive while its dispatch runs.
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PDEVICE_OBJECT fdo = stack.Top();
    PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_PNP;
    sp->MinorFunction = IRP_MN_REMOVE_DEVICE;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp, KeepIrp, &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_SUCCESS);
    IoFreeIrp(irp);
    EXPECT_EQ(devicesInside, devicesBefore);
    EXPECT_EQ(sim::ObLiveCount(*IoDeviceObjectType), devicesBefore - 1);
}

// ------------------------------------------------------- built requests

TEST_F(IoIrpTest, BuiltInternalRequestSignalsItsEventAndStatusBlock) {
    TestStack stack(2);
    ULONG portStatus = 0;
    stack[0].dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(sp->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(sp->Parameters.DeviceIoControl.IoControlCode, 0x220013u);
        auto* out = static_cast<ULONG*>(sp->Parameters.Others.Argument1);
        IoMarkIrpPending(irp);
        sim::ScheduleAfter(20 * kMs, [irp, out] {
            *out = 3;
            CompleteIrp(irp, STATUS_SUCCESS);
        });
        return STATUS_PENDING;
    };
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_UNSUCCESSFUL;
    PIRP irp = IoBuildDeviceIoControlRequest(0x220013, stack.Top(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &portStatus;
    ASSERT_EQ(IoCallDriver(stack.Top(), irp), STATUS_PENDING);
    EXPECT_EQ(KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(portStatus, 3u);
}

TEST_F(IoIrpTest, BuiltBufferedRequestCopiesBackWhatTheDriverReported) {
    TestStack stack(1);
    stack[0].dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(buffer[0], 0x11);
        for (int i = 0; i < 8; ++i) buffer[i] = static_cast<UCHAR>(0xA0 + i);
        return CompleteIrp(irp, STATUS_SUCCESS, 6);
    };
    UCHAR in[2] = {0x11, 0x22};
    UCHAR out[8] = {};
    IO_STATUS_BLOCK iosb{};
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    PIRP irp = IoBuildDeviceIoControlRequest(code, stack.Top(), in, sizeof(in), out, sizeof(out), FALSE, nullptr, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 6u);
    EXPECT_EQ(out[5], 0xA5);
    EXPECT_EQ(out[6], 0);  // beyond Information: untouched
}

// ---------------------------------------------------------- fatal checks

struct FatalCase {
    const char* name;
    void (*body)();
    const char* pattern;
};

class IoFatalTest : public sim::KernelTest, public ::testing::WithParamInterface<FatalCase> {};

TEST_P(IoFatalTest, BrokenIrpRuleBugchecks) {
    EXPECT_DEATH(GetParam().body(), GetParam().pattern);
}

void CompleteTwice() {
    TestStack stack(1);
    stack[0].dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        CompleteIrp(irp, STATUS_SUCCESS);
        return CompleteIrp(irp, STATUS_SUCCESS);
    };
    sim::SendIrp(stack.Top(), [](PIRP, PIO_STACK_LOCATION sp) { sp->MajorFunction = IRP_MJ_READ; });
}

void CompleteWithCancelRoutineSet() {
    TestStack stack(1);
    stack[0].dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
        return CompleteIrp(irp, STATUS_SUCCESS);
    };
    sim::SendIrp(stack.Top(), [](PIRP, PIO_STACK_LOCATION sp) { sp->MajorFunction = IRP_MJ_READ; });
}

void SendWithTooFewStackLocations() {
    TestStack stack(3);
    for (int i = 1; i < 3; ++i) {
        Layer& layer = stack[i];
        layer.dispatch = [&layer](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);  // each layer uses a location of its own
            return IoCallDriver(layer.lower, irp);
        };
    }
    PIRP irp = IoAllocateIrp(2, FALSE);
    Ioctl(irp);
    IoCallDriver(stack.Top(), irp);
}

void CompleteOwnIrpWithoutKeepingIt() {
    TestStack stack(1);
    PIRP irp = IoAllocateIrp(1, FALSE);
    Ioctl(irp);
    IoCallDriver(stack.Top(), irp);
}

void ReuseWithCancelRoutineSet() {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
    IoReuseIrp(irp, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, IoFatalTest,
    ::testing::Values(FatalCase{"CompletedTwice", CompleteTwice, "MULTIPLE_IRP_COMPLETE_REQUESTS"},
                      FatalCase{"CancelRoutineLeftSet", CompleteWithCancelRoutineSet, "CANCEL_STATE_IN_COMPLETED_IRP"},
                      FatalCase{"TooFewStackLocations", SendWithTooFewStackLocations, "NO_MORE_IRP_STACK_LOCATIONS"},
                      FatalCase{"AllocatorDidNotKeepIrp", CompleteOwnIrpWithoutKeepingIt, "past its top location"},
                      FatalCase{"ReuseWithCancelRoutine", ReuseWithCancelRoutineSet, "cancel routine still set"}),
    [](const ::testing::TestParamInfo<FatalCase>& info) { return std::string(info.param.name); });

}  // namespace

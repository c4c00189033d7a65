// Power IRPs requested by a driver, and I/O work items.
#include <gtest/gtest.h>

#include <atomic>

#include "nt/ke.h"
#include "sim/executor.h"
#include "sim/iomgr.h"
#include "sim/object.h"
#include "tests/platform/io_test_util.h"
#include "tests/support/kernel_test.h"

namespace {

using iotest::CompleteIrp;
using iotest::TestStack;

constexpr LONGLONG kMs = sim::kTicksPerMillisecond;

class IoPowerTest : public sim::KernelTest {};

struct PowerResult {
    KEVENT done;
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0;
    DEVICE_POWER_STATE state = PowerDeviceUnspecified;
    NTSTATUS status = STATUS_PENDING;
};

VOID RecordPowerCompletion(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                           PIO_STATUS_BLOCK iosb) {
    auto* result = static_cast<PowerResult*>(context);
    ++result->calls;
    result->device = device;
    result->minor = minor;
    result->state = state.DeviceState;
    result->status = iosb->Status;
    KeSetEvent(&result->done, IO_NO_INCREMENT, FALSE);
}

NTSTATUS RequestD2(PDEVICE_OBJECT pdo, PowerResult* result) {
    KeInitializeEvent(&result->done, NotificationEvent, FALSE);
    POWER_STATE state;
    state.DeviceState = PowerDeviceD2;
    return PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, state, RecordPowerCompletion, result, nullptr);
}

TEST_F(IoPowerTest, RequestedIrpGoesDownTheStackAndCallsTheCompletionFunction) {
    TestStack stack(2, u"USB\\VID_1\\1");
    DEVICE_POWER_STATE seenByTop = PowerDeviceUnspecified;
    stack[1].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(sp->MajorFunction, IRP_MJ_POWER);
        EXPECT_EQ(sp->Parameters.Power.Type, DevicePowerState);
        seenByTop = sp->Parameters.Power.State.DeviceState;
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(stack[1].lower, irp);
    };
    // The bus completes it later, at DISPATCH_LEVEL.
    stack[0].dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        sim::ScheduleAfter(3 * kMs, [irp] { CompleteIrp(irp, STATUS_SUCCESS); });
        return STATUS_PENDING;
    };
    PowerResult result;
    EXPECT_EQ(RequestD2(stack.Bottom(), &result), STATUS_PENDING);
    EXPECT_EQ(KeWaitForSingleObject(&result.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(seenByTop, PowerDeviceD2);
    EXPECT_EQ(result.calls, 1);
    EXPECT_EQ(result.device, stack.Bottom());
    EXPECT_EQ(result.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(result.state, PowerDeviceD2);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(sim::PoOutstandingRequests(), 0);
}

TEST_F(IoPowerTest, InjectedFailureSendsNothingAndNeverCallsBack) {
    TestStack stack(1, u"USB\\VID_1\\1");
    int requests = 0;
    stack[0].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        ++requests;
        return CompleteIrp(irp, STATUS_SUCCESS);
    };
    sim::PoFailRequests(STATUS_INSUFFICIENT_RESOURCES);
    PowerResult result;
    EXPECT_EQ(RequestD2(stack.Bottom(), &result), STATUS_INSUFFICIENT_RESOURCES);
    sim::Settle();
    EXPECT_EQ(requests, 0);
    EXPECT_EQ(result.calls, 0);
    // Only the one request failed.
    EXPECT_EQ(RequestD2(stack.Bottom(), &result), STATUS_PENDING);
    EXPECT_EQ(result.calls, 1);
    EXPECT_EQ(requests, 1);
}

TEST_F(IoPowerTest, OnlyPowerMinorFunctionsCanBeRequested) {
    TestStack stack(1, u"USB\\VID_1\\1");
    PowerResult result;
    KeInitializeEvent(&result.done, NotificationEvent, FALSE);
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PoRequestPowerIrp(stack.Bottom(), IRP_MN_POWER_SEQUENCE, state, RecordPowerCompletion, &result,
                                nullptr),
              STATUS_INVALID_PARAMETER_2);
}

TEST_F(IoPowerTest, SetPowerStateRecordsAndReturnsThePreviousState) {
    TestStack stack(1);
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PoSetPowerState(stack.Bottom(), DevicePowerState, d3).DeviceState, PowerDeviceUnspecified);
    EXPECT_EQ(PoSetPowerState(stack.Bottom(), DevicePowerState, d0).DeviceState, PowerDeviceD3);
    EXPECT_EQ(sim::PoRecordedDeviceState(stack.Bottom()), PowerDeviceD0);
}

// ------------------------------------------------------------- work items

struct WorkRecord {
    KEVENT deviceDeleted;  // the routine waits for it
    KEVENT ran;
    PDEVICE_OBJECT device = nullptr;
    KIRQL irql = HIGH_LEVEL;
    size_t liveDevices = 0;
    PIO_WORKITEM item = nullptr;
};

VOID RecordWork(PDEVICE_OBJECT device, PVOID context) {
    auto* record = static_cast<WorkRecord*>(context);
    KeWaitForSingleObject(&record->deviceDeleted, Executive, KernelMode, FALSE, nullptr);
    record->device = device;
    record->irql = KeGetCurrentIrql();
    record->liveDevices = sim::ObLiveCount(*IoDeviceObjectType);
    IoFreeWorkItem(record->item);  // as drivers do: the item frees itself
    KeSetEvent(&record->ran, IO_NO_INCREMENT, FALSE);
}

TEST_F(IoPowerTest, WorkItemKeepsItsDeviceUntilTheRoutineReturned) {
    size_t devicesBefore = sim::ObLiveCount(*IoDeviceObjectType);
    WorkRecord record;
    KeInitializeEvent(&record.deviceDeleted, NotificationEvent, FALSE);
    KeInitializeEvent(&record.ran, NotificationEvent, FALSE);
    PDEVICE_OBJECT device = nullptr;
    {
        TestStack stack(1);
        device = stack.Bottom();
        record.item = IoAllocateWorkItem(device);
        ASSERT_NE(record.item, nullptr);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);  // queued from a DPC, as the idle timer does
        IoQueueWorkItem(record.item, RecordWork, DelayedWorkQueue, &record);
        KeLowerIrql(old);
    }
    KeSetEvent(&record.deviceDeleted, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&record.ran, Executive, KernelMode, FALSE, nullptr);
    sim::Settle();
    EXPECT_EQ(record.device, device);
    EXPECT_EQ(record.irql, PASSIVE_LEVEL);
    EXPECT_EQ(record.liveDevices, devicesBefore + 1);  // deleted, yet still there
    EXPECT_EQ(sim::ObLiveCount(*IoDeviceObjectType), devicesBefore);
}

std::atomic<bool> g_releaseWorker{false};

VOID SpinUntilReleased(PVOID) {
    while (!g_releaseWorker.load()) {
    }
}

TEST_F(IoPowerTest, QueueingAQueuedWorkItemBugchecks) {
    EXPECT_DEATH(
        {
            TestStack stack(1);
            // Occupies the worker so that the item stays queued.
            WORK_QUEUE_ITEM blocker;
            ExInitializeWorkItem(&blocker, SpinUntilReleased, nullptr);
            ExQueueWorkItem(&blocker, DelayedWorkQueue);
            PIO_WORKITEM item = IoAllocateWorkItem(stack.Bottom());
            IoQueueWorkItem(item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
            IoQueueWorkItem(item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
        },
        "already queued");
}

}  // namespace

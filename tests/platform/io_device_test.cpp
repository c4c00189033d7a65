// Driver and device objects and device stacks.
#include <gtest/gtest.h>

#include "sim/iomgr.h"
#include "sim/object.h"
#include "sim/send_irp.h"
#include "sim/strings.h"
#include "tests/platform/io_test_util.h"
#include "tests/support/kernel_test.h"

namespace {

using iotest::TestStack;

class IoDeviceTest : public sim::KernelTest {};

TEST_F(IoDeviceTest, AttachingBuildsAStackAndDetachingTakesItApart) {
    TestStack stack(3);
    EXPECT_EQ(stack[0].device->StackSize, 1);
    EXPECT_EQ(stack[2].device->StackSize, 3);
    EXPECT_EQ(stack[1].lower, stack[0].device);
    EXPECT_EQ(stack[0].device->AttachedDevice, stack[1].device);
    EXPECT_EQ(IoGetAttachedDevice(stack.Bottom()), stack.Top());

    LONG refs = sim::ObGetRefCount(stack.Top());
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(stack.Bottom());
    EXPECT_EQ(top, stack.Top());
    EXPECT_EQ(sim::ObGetRefCount(top), refs + 1);
    ObDereferenceObject(top);

    PDEVICE_OBJECT lower = IoGetLowerDeviceObject(stack[2].device);
    EXPECT_EQ(lower, stack[1].device);
    ObDereferenceObject(lower);
    EXPECT_EQ(IoGetLowerDeviceObject(stack.Bottom()), nullptr);
}

TEST_F(IoDeviceTest, NewDeviceStartsInitialisingWithAZeroedExtension) {
    PDRIVER_OBJECT driver = sim::IoCreateDriverObject(u"fresh");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 40, nullptr, FILE_DEVICE_KS, 0, FALSE, &device), STATUS_SUCCESS);
    EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(device->DeviceExtension) % 16, 0u);
    auto* extension = static_cast<UCHAR*>(device->DeviceExtension);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(extension[i], 0) << i;
    EXPECT_EQ(driver->DeviceObject, device);
    EXPECT_EQ(sim::IoDeviceCount(driver), 1u);
    IoDeleteDevice(device);
    EXPECT_EQ(sim::IoDeviceCount(driver), 0u);
    sim::IoReleaseDriverObject(driver);
}

TEST_F(IoDeviceTest, DeviceNamesAreUnique) {
    PDRIVER_OBJECT driver = sim::IoCreateDriverObject(u"named");
    sim::UString name(u"\\Device\\Audio0");
    PDEVICE_OBJECT first = nullptr, second = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, name.get(), FILE_DEVICE_KS, 0, FALSE, &first), STATUS_SUCCESS);
    EXPECT_TRUE(first->Flags & DO_DEVICE_HAS_NAME);
    EXPECT_EQ(IoCreateDevice(driver, 0, name.get(), FILE_DEVICE_KS, 0, FALSE, &second), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);
    IoDeleteDevice(first);
    sim::IoReleaseDriverObject(driver);
}

TEST_F(IoDeviceTest, UnhandledMajorFunctionIsAnInvalidRequest) {
    PDRIVER_OBJECT driver = sim::IoCreateDriverObject(u"empty");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    sim::IrpOutcome outcome = sim::SendIrp(device, [](PIRP, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    });
    EXPECT_EQ(outcome.ioStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
    IoDeleteDevice(device);
    sim::IoReleaseDriverObject(driver);
}

TEST_F(IoDeviceTest, DeletingADeviceStillInAStackBugchecks) {
    EXPECT_DEATH(
        {
            TestStack stack(2);
            IoDeleteDevice(stack.Top());  // not detached from the device below
        },
        "still attached to");
    EXPECT_DEATH(
        {
            TestStack stack(2);
            IoDeleteDevice(stack.Bottom());  // a device sits on top of it
        },
        "attached on top");
}

}  // namespace

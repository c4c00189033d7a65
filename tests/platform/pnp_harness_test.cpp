// The PnP harness: a device's life driven through a small function driver,
// the bus side's answers, the simulated device's hook, and the driver
// mistakes the harness reports.
#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "nt/ke.h"
#include "sim/iomgr.h"
#include "sim/pnp_harness.h"
#include "tests/platform/io_test_util.h"
#include "tests/support/kernel_test.h"
#include "tests/support/violation_recorder.h"

namespace {

using iotest::CompleteIrp;

// ------------------------------------------------ a small function driver

struct Fdo {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
};

// Mistakes the driver can be told to make.
struct Faults {
    bool keepInitializing = false;
    bool skipDetachOnRemove = false;
    bool leaveControlDevice = false;
};
Faults g_faults;
PDEVICE_OBJECT g_controlDevice = nullptr;

NTSTATUS SignalLowerDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the IRP down and waits for the lower drivers (start-up order).
NTSTATUS ForwardAndWait(Fdo* fdo, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalLowerDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(fdo->lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* fdo = static_cast<Fdo*>(device->DeviceExtension);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_CAPABILITIES: {
        NTSTATUS status = ForwardAndWait(fdo, irp);
        if (sp->MinorFunction == IRP_MN_QUERY_CAPABILITIES && NT_SUCCESS(status))
            sp->Parameters.DeviceCapabilities.Capabilities->SurpriseRemovalOK = 1;
        return CompleteIrp(irp, status, irp->IoStatus.Information);
    }
    case IRP_MN_REMOVE_DEVICE: {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(fdo->lower, irp);
        if (!g_faults.skipDetachOnRemove) {
            IoDetachDevice(fdo->lower);
            IoDeleteDevice(device);
        }
        return status;
    }
    default:
        if (sp->MinorFunction != IRP_MN_QUERY_INTERFACE) irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(fdo->lower, irp);
    }
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(static_cast<Fdo*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS DispatchPassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(static_cast<Fdo*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Fdo), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* fdo = static_cast<Fdo*>(device->DeviceExtension);
    fdo->self = device;
    fdo->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= DO_POWER_PAGABLE;
    if (!g_faults.keepInitializing) device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = AddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchPassDown;
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    if (g_faults.leaveControlDevice)
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_controlDevice);
    return STATUS_SUCCESS;
}

class PnpHarnessTest : public sim::KernelTest {
protected:
    void SetUp() override {
        sim::KernelTest::SetUp();
        g_faults = Faults{};
        g_controlDevice = nullptr;
    }
};

TEST_F(PnpHarnessTest, DeviceLifeFromLoadToUnload) {
    sim::PdoConfig config;
    sim::PnpHarness device(config);
    ASSERT_EQ(device.LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(device.AddDevice(), STATUS_SUCCESS);
    EXPECT_NE(device.TopDevice(), device.Pdo());
    EXPECT_EQ(device.StartDevice(), STATUS_SUCCESS);

    DEVICE_CAPABILITIES caps;
    EXPECT_EQ(device.QueryCapabilities(&caps), STATUS_SUCCESS);
    EXPECT_TRUE(caps.Removable);
    EXPECT_TRUE(caps.SurpriseRemovalOK);  // set by the function driver on the way up
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD2);

    EXPECT_EQ(device.SetDevicePower(PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(device.PdoPowerState(), PowerDeviceD2);
    EXPECT_EQ(sim::PoRecordedDeviceState(device.Pdo()), PowerDeviceD2);
    EXPECT_EQ(device.QuerySystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(device.SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(device.SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);

    EXPECT_EQ(device.QueryStopDevice(), STATUS_SUCCESS);
    EXPECT_EQ(device.StopDevice(), STATUS_SUCCESS);
    EXPECT_EQ(device.StartDevice(), STATUS_SUCCESS);
    EXPECT_EQ(device.SurpriseRemoval(), STATUS_SUCCESS);
    EXPECT_EQ(device.RemoveDevice(), STATUS_SUCCESS);
    EXPECT_EQ(device.Pdo()->AttachedDevice, nullptr);
    device.UnloadDriver();
    EXPECT_EQ(device.Driver(), nullptr);

    EXPECT_EQ(device.PdoPnpCount(IRP_MN_START_DEVICE), 2);
    EXPECT_EQ(device.PdoPnpCount(IRP_MN_REMOVE_DEVICE), 1);
    EXPECT_EQ(device.PdoPowerCount(IRP_MN_SET_POWER), 3);
}

TEST_F(PnpHarnessTest, UnhandledPnpRequestKeepsItsStatus) {
    sim::PnpHarness device;
    ASSERT_EQ(device.LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(device.AddDevice(), STATUS_SUCCESS);
    GUID someInterface{};
    sim::IrpOutcome outcome = device.SendPnp(IRP_MN_QUERY_INTERFACE, [&](PIRP, PIO_STACK_LOCATION sp) {
        sp->Parameters.QueryInterface.InterfaceType = &someInterface;
    });
    EXPECT_EQ(outcome.ioStatus.Status, STATUS_NOT_SUPPORTED);
}

// The simulated device: answers internal device controls.
class EchoDevice : public sim::BusDeviceHandler {
public:
    bool HandleIrp(PDEVICE_OBJECT, PIRP irp, NTSTATUS* status) override {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        if (sp->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) return false;
        ++seen;
        *static_cast<ULONG*>(sp->Parameters.Others.Argument1) = sp->Parameters.DeviceIoControl.IoControlCode;
        *status = CompleteIrp(irp, STATUS_SUCCESS);
        return true;
    }
    int seen = 0;
};

TEST_F(PnpHarnessTest, InternalDeviceControlsReachTheSimulatedDevice) {
    EchoDevice echo;  // outlives the harness, which still sends the removal
    sim::PnpHarness device;
    ASSERT_EQ(device.LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(device.AddDevice(), STATUS_SUCCESS);
    auto send = [&](ULONG* answer) {
        return sim::SendIrp(device.Pdo(), [answer](PIRP, PIO_STACK_LOCATION sp) {
                   sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
                   sp->Parameters.Others.Argument1 = answer;
                   sp->Parameters.DeviceIoControl.IoControlCode = 0x220003;
               }).ioStatus.Status;
    };
    ULONG answer = 0;
    EXPECT_EQ(send(&answer), STATUS_INVALID_DEVICE_REQUEST);  // no device behind the bus yet
    device.SetDeviceHandler(&echo);
    EXPECT_EQ(send(&answer), STATUS_SUCCESS);
    EXPECT_EQ(answer, 0x220003u);
    EXPECT_EQ(echo.seen, 1);
}

TEST_F(PnpHarnessTest, FailedDriverEntryLeavesNoDriver) {
    sim::PnpHarness device;
    EXPECT_EQ(device.LoadDriver([](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS { return STATUS_UNSUCCESSFUL; }),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(device.Driver(), nullptr);
}

TEST_F(PnpHarnessTest, DriverEntryGetsTheServiceKeyPath) {
    static std::u16string seen;
    sim::PnpHarness device;
    device.LoadDriver(
        [](PDRIVER_OBJECT driver, PUNICODE_STRING path) -> NTSTATUS {
            seen.assign(path->Buffer, path->Length / sizeof(WCHAR));
            return DriverEntry(driver, path);
        },
        u"zkaudio");
    EXPECT_EQ(seen, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\zkaudio");
    EXPECT_EQ(device.ServiceKeyPath(), seen);
}

TEST_F(PnpHarnessTest, AddDeviceLeavingTheDeviceInitialisingFails) {
    g_faults.keepInitializing = true;
    sim::PnpHarness device;
    ASSERT_EQ(device.LoadDriver(DriverEntry), STATUS_SUCCESS);
    EXPECT_NONFATAL_FAILURE(device.AddDevice(), "DO_DEVICE_INITIALIZING");
}

TEST_F(PnpHarnessTest, RemoveThatLeavesTheDeviceAttachedFails) {
    g_faults.skipDetachOnRemove = true;
    sim::PnpHarness device;
    ASSERT_EQ(device.LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(device.AddDevice(), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = device.TopDevice();
    EXPECT_NONFATAL_FAILURE(device.RemoveDevice(), "still attached");
    // Tidy up for the driver.
    IoDetachDevice(device.Pdo());
    IoDeleteDevice(fdo);
}

TEST_F(PnpHarnessTest, UnloadWithDevicesLeftFails) {
    g_faults.leaveControlDevice = true;
    sim::PnpHarness device;
    ASSERT_EQ(device.LoadDriver(DriverEntry), STATUS_SUCCESS);
    EXPECT_NONFATAL_FAILURE(device.UnloadDriver(), "still has devices");
    IoDeleteDevice(g_controlDevice);
}

TEST_F(PnpHarnessTest, ReportNamesTheHarnessLineAndWhatItFound) {
    g_faults.leaveControlDevice = true;
    sim::PnpHarness device;
    ASSERT_EQ(device.LoadDriver(DriverEntry), STATUS_SUCCESS);
    std::vector<testsupport::ViolationReport> reports;
    {
        testsupport::ViolationRecorder recorder;
        device.UnloadDriver();
        reports = recorder.Reports();
    }
    IoDeleteDevice(g_controlDevice);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].what, "the driver still has devices after DriverUnload (1 devices, expected 0)");
    EXPECT_THAT(reports[0].file, testing::EndsWith("platform/harness/pnp_harness.cpp"));
    EXPECT_GT(reports[0].line, 0);
}

}  // namespace

// A tiny sample driver run end to end on the kernel stand-in: DriverEntry,
// AddDevice, dispatch routines, a periodic timer with its DPC, a system
// thread, a work item, a registry value, a file read and a callback object,
// driven through the PnP harness and a user-mode client, then removed and
// unloaded with nothing left behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "nt/io.h"
#include "nt/ke.h"
#include "nt/ps.h"
#include "nt/rtl.h"
#include "nt/zw.h"
#include "sim/executor.h"
#include "sim/files.h"
#include "sim/iomgr.h"
#include "sim/ioctl_harness.h"
#include "sim/object.h"
#include "sim/pnp_harness.h"
#include "sim/registry.h"
#include "sim/strings.h"
#include "temp_dir_util.h"
#include "tests/support/kernel_test.h"

namespace {

// =========================================================== the driver

// {6E1B0C52-3A7F-4F0B-9C1D-5B2E8A4D7F10}
const GUID GUID_DEVINTERFACE_SAMPLE = {0x6E1B0C52, 0x3A7F, 0x4F0B, {0x9C, 0x1D, 0x5B, 0x2E, 0x8A, 0x4D, 0x7F, 0x10}};
const ULONG IOCTL_SAMPLE_GET_STATS = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_READ_ACCESS);
constexpr ULONG kGreetingBytes = 32;

struct SAMPLE_STATS {
    ULONG Ticks;         // timer DPCs so far
    ULONG ThreadLoops;   // time-outs seen by the system thread
    ULONG WorkItemsRun;
    ULONG GreetingBytes;  // bytes read from the greeting file at start
};

struct SAMPLE_DEVICE {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Pdo;
    UNICODE_STRING InterfaceName;
    BOOLEAN Started;
    ULONG TickMs;
    KTIMER Timer;
    KDPC Dpc;
    PIO_WORKITEM WorkItem;
    volatile LONG WorkQueued;
    KEVENT WorkDone;
    KEVENT StopThread;
    PKTHREAD Thread;  // referenced while the device runs
    SAMPLE_STATS Stats;
    UCHAR Greeting[kGreetingBytes];
};

PCALLBACK_OBJECT g_notify;
PVOID g_notifyRegistration;
volatile LONG g_notifications;

VOID SampleOnNotify(PVOID, PVOID, PVOID) { InterlockedIncrement(&g_notifications); }

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// ------------------------------------------------ timer, work item, thread

VOID SampleWork(PDEVICE_OBJECT device, PVOID context) {
    auto* ext = static_cast<SAMPLE_DEVICE*>(context);
    ExNotifyCallback(g_notify, device, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(ext->Stats.Ticks)));
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&ext->Stats.WorkItemsRun));
    KeSetEvent(&ext->WorkDone, IO_NO_INCREMENT, FALSE);
}

// DISPATCH_LEVEL. The third tick hands the notification to a work item.
VOID SampleTick(PKDPC, PVOID context, PVOID, PVOID) {
    auto* ext = static_cast<SAMPLE_DEVICE*>(context);
    LONG ticks = InterlockedIncrement(reinterpret_cast<volatile LONG*>(&ext->Stats.Ticks));
    if (ticks == 3 && InterlockedExchange(&ext->WorkQueued, 1) == 0)
        IoQueueWorkItem(ext->WorkItem, SampleWork, DelayedWorkQueue, ext);
}

VOID SampleThread(PVOID context) {
    auto* ext = static_cast<SAMPLE_DEVICE*>(context);
    LARGE_INTEGER interval;
    interval.QuadPart = -50 * 10000LL;  // 50 ms
    while (KeWaitForSingleObject(&ext->StopThread, Executive, KernelMode, FALSE, &interval) == STATUS_TIMEOUT)
        InterlockedIncrement(reinterpret_cast<volatile LONG*>(&ext->Stats.ThreadLoops));
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// ---------------------------------------------------- registry and file

// Reads "TickMs" from the device's "Device Parameters" (default 100) and
// records the start there as "Started".
VOID SampleReadParameters(SAMPLE_DEVICE* ext) {
    ext->TickMs = 100;
    HANDLE key;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(ext->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key))) return;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"TickMs");
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    ULONG length = 0;
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &length)) &&
        info->Type == REG_DWORD && info->DataLength == sizeof(ULONG))
        RtlCopyMemory(&ext->TickMs, info->Data, sizeof(ULONG));
    RtlInitUnicodeString(&name, u"Started");
    ULONG one = 1;
    ZwSetValueKey(key, &name, 0, REG_DWORD, &one, sizeof(one));
    ZwClose(key);
}

VOID SampleReadGreeting(SAMPLE_DEVICE* ext) {
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, u"\\SystemRoot\\Sample\\greeting.txt");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    IO_STATUS_BLOCK iosb;
    HANDLE file;
    if (!NT_SUCCESS(ZwCreateFile(&file, GENERIC_READ, &attributes, &iosb, NULL, FILE_ATTRIBUTE_NORMAL,
                                 FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0)))
        return;
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    if (NT_SUCCESS(ZwReadFile(file, NULL, NULL, NULL, &iosb, ext->Greeting, kGreetingBytes, &offset, NULL)))
        ext->Stats.GreetingBytes = static_cast<ULONG>(iosb.Information);
    ZwClose(file);
}

// ------------------------------------------------------------ start/stop

NTSTATUS SampleStart(SAMPLE_DEVICE* ext) {
    SampleReadParameters(ext);
    SampleReadGreeting(ext);
    ext->WorkItem = IoAllocateWorkItem(ext->Self);
    if (ext->WorkItem == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    HANDLE thread;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, SampleThread, ext);
    if (!NT_SUCCESS(status)) return status;
    ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                              reinterpret_cast<PVOID*>(&ext->Thread), NULL);
    ZwClose(thread);
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(ext->TickMs) * 10000;
    KeSetTimerEx(&ext->Timer, due, static_cast<LONG>(ext->TickMs), &ext->Dpc);
    ext->Started = TRUE;
    return IoSetDeviceInterfaceState(&ext->InterfaceName, TRUE);
}

// PASSIVE_LEVEL. After this, no DPC, work item or thread of the device runs.
VOID SampleStop(SAMPLE_DEVICE* ext) {
    if (!ext->Started) return;
    ext->Started = FALSE;
    IoSetDeviceInterfaceState(&ext->InterfaceName, FALSE);
    KeCancelTimer(&ext->Timer);
    KeFlushQueuedDpcs();
    if (ext->WorkQueued) KeWaitForSingleObject(&ext->WorkDone, Executive, KernelMode, FALSE, NULL);
    IoFreeWorkItem(ext->WorkItem);
    ext->WorkItem = NULL;
    KeSetEvent(&ext->StopThread, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(ext->Thread, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(ext->Thread);
    ext->Thread = NULL;
}

// ------------------------------------------------------ dispatch routines

NTSTATUS SampleLowerDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SampleForwardAndWait(SAMPLE_DEVICE* ext, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SampleLowerDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(ext->Lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    return irp->IoStatus.Status;
}

NTSTATUS SamplePnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<SAMPLE_DEVICE*>(device->DeviceExtension);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = SampleForwardAndWait(ext, irp);
        if (NT_SUCCESS(status)) status = SampleStart(ext);
        return CompleteRequest(irp, status, 0);
    }
    case IRP_MN_REMOVE_DEVICE: {
        SampleStop(ext);
        RtlFreeUnicodeString(&ext->InterfaceName);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(ext->Lower, irp);
        IoDetachDevice(ext->Lower);
        IoDeleteDevice(device);
        return status;
    }
    default:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(ext->Lower, irp);
    }
}

NTSTATUS SamplePower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(static_cast<SAMPLE_DEVICE*>(device->DeviceExtension)->Lower, irp);
}

NTSTATUS SampleCreateClose(PDEVICE_OBJECT, PIRP irp) { return CompleteRequest(irp, STATUS_SUCCESS, 0); }

NTSTATUS SampleDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<SAMPLE_DEVICE*>(device->DeviceExtension);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->Parameters.DeviceIoControl.IoControlCode != IOCTL_SAMPLE_GET_STATS)
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (sp->Parameters.DeviceIoControl.OutputBufferLength < sizeof(SAMPLE_STATS))
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &ext->Stats, sizeof(SAMPLE_STATS));
    return CompleteRequest(irp, STATUS_SUCCESS, sizeof(SAMPLE_STATS));
}

// ------------------------------------------------------- entry and unload

NTSTATUS SampleAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(SAMPLE_DEVICE), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<SAMPLE_DEVICE*>(device->DeviceExtension);
    ext->Self = device;
    ext->Pdo = pdo;
    KeInitializeTimerEx(&ext->Timer, NotificationTimer);
    KeInitializeDpc(&ext->Dpc, SampleTick, ext);
    KeInitializeEvent(&ext->WorkDone, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->StopThread, NotificationEvent, FALSE);
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, u"SampleControl");
    status = IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_SAMPLE, &reference, &ext->InterfaceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    ext->Lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID SampleUnload(PDRIVER_OBJECT) {
    ExUnregisterCallback(g_notifyRegistration);
    ObDereferenceObject(g_notify);
}

NTSTATUS SampleDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Callback\\SampleDriverNotify");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    NTSTATUS status = ExCreateCallback(&g_notify, &attributes, TRUE, TRUE);
    if (!NT_SUCCESS(status)) return status;
    g_notifyRegistration = ExRegisterCallback(g_notify, SampleOnNotify, NULL);
    driver->DriverExtension->AddDevice = SampleAddDevice;
    driver->DriverUnload = SampleUnload;
    driver->MajorFunction[IRP_MJ_PNP] = SamplePnp;
    driver->MajorFunction[IRP_MJ_POWER] = SamplePower;
    driver->MajorFunction[IRP_MJ_CREATE] = SampleCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = SampleCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = SampleCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = SampleDeviceControl;
    return STATUS_SUCCESS;
}

// ============================================================= the test

namespace fs = std::filesystem;

// What a second listener on the driver's callback object sees.
struct Listener {
    LONG calls = 0;
    ULONG_PTR ticksAtCall = 0;
    static VOID Notify(PVOID context, PVOID, PVOID ticks) {
        auto* self = static_cast<Listener*>(context);
        self->ticksAtCall = reinterpret_cast<ULONG_PTR>(ticks);
        InterlockedIncrement(&self->calls);
    }
};

class SampleDriverTest : public sim::KernelTest {
protected:
    void SetUp() override {
        sim::KernelTest::SetUp();
        sim::RegistryReset();
        root_ = testtmp::ProcessDir() / "sample_driver_root";
        fs::remove_all(root_);
        fs::create_directories(root_ / "Sample");
        std::ofstream(root_ / "Sample" / "greeting.txt", std::ios::binary) << "hello";
        sim::SetSystemRoot(root_.string());
        g_notifications = 0;
    }
    void TearDown() override {
        sim::SetSystemRoot("");
        fs::remove_all(root_);
        sim::KernelTest::TearDown();
    }
    fs::path root_;
};

// The driver's life, as the system and a client see it. Returns once the
// device is removed and the driver unloaded.
void RunSampleDevice(Listener* listener) {
    sim::PnpHarness device;
    const std::u16string parameters = sim::IoEnumKeyPath(device.Pdo()) + u"\\Device Parameters";
    sim::RegistrySetDword(parameters, u"TickMs", 50);

    ASSERT_EQ(device.LoadDriver(SampleDriverEntry, u"sample"), STATUS_SUCCESS);
    sim::UString name(u"\\Callback\\SampleDriverNotify");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE, NULL, NULL);
    PCALLBACK_OBJECT notify = nullptr;
    ASSERT_EQ(ExCreateCallback(&notify, &attributes, FALSE, FALSE), STATUS_SUCCESS);
    PVOID registration = ExRegisterCallback(notify, Listener::Notify, listener);

    ASSERT_EQ(device.AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(device.StartDevice(), STATUS_SUCCESS);
    EXPECT_EQ(sim::RegistryGetValue(parameters, u"Started")->data, (std::vector<uint8_t>{1, 0, 0, 0}));

    LONGLONG start = sim::Now();
    // A virtual second and a bit: 20 ticks of 50 ms, at no wall-clock cost.
    const LONGLONG elapsed = sim::kTicksPerSecond + sim::kTicksPerMillisecond;
    sim::Sleep(elapsed);

    auto interfaces = sim::IoDeviceInterfaces(&GUID_DEVINTERFACE_SAMPLE);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0].enabled);
    {
        sim::UserProcess client;
        sim::UserHandle handle(client);
        ASSERT_EQ(handle.OpenInterface(interfaces[0].symbolicLink), STATUS_SUCCESS);
        SAMPLE_STATS stats{};
        sim::IoctlResult result = handle.DeviceIoControl(IOCTL_SAMPLE_GET_STATS, nullptr, 0, &stats, sizeof(stats));
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.bytesCopied, sizeof(stats));
        EXPECT_EQ(stats.Ticks, 20u);
        EXPECT_EQ(stats.WorkItemsRun, 1u);
        EXPECT_EQ(stats.GreetingBytes, 5u);
        EXPECT_GE(stats.ThreadLoops, 19u);
    }
    EXPECT_EQ(sim::Now() - start, elapsed);

    EXPECT_EQ(device.RemoveDevice(), STATUS_SUCCESS);
    EXPECT_FALSE(sim::IoDeviceInterfaces(&GUID_DEVINTERFACE_SAMPLE)[0].enabled);
    device.UnloadDriver();
    ExUnregisterCallback(registration);
    ObDereferenceObject(notify);
}

TEST_F(SampleDriverTest, RunsThroughItsLifeAndUnloadsWithoutLeaks) {
    int64_t poolBefore = sim::PoolLiveBlocks();
    Listener listener;
    RunSampleDevice(&listener);
    EXPECT_EQ(g_notifications, 1);
    EXPECT_EQ(listener.calls, 1);
    EXPECT_EQ(listener.ticksAtCall, 3u);
    // Ends the kernel scope here: it waits for the system thread to end and
    // finds every block the driver, the harness and the client allocated
    // back in the pool, no handle open and no timer left set.
    sim::ScopeReport report = FinishScope();
    EXPECT_TRUE(report.Clean()) << report.problems;
    EXPECT_EQ(sim::PoolLiveBlocks(), poolBefore) << sim::PoolLeakReport();
    EXPECT_EQ(sim::ObLiveCount(), 0u);
}

}  // namespace

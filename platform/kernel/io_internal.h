// Shared internals of the I/O manager stand-in (io_*.cpp, mdl.cpp,
// power.cpp). Not for drivers or tests.
#pragma once

#include <string>

#include "nt/io.h"
#include "nt/ps.h"
#include "sim/bugcheck.h"

// Stop codes the I/O manager raises.
#define MULTIPLE_IRP_COMPLETE_REQUESTS 0x00000044
#define CANCEL_STATE_IN_COMPLETED_IRP 0x00000048
#define PROCESS_HAS_LOCKED_PAGES 0x00000076
#define DRIVER_VERIFIER_IOMANAGER_VIOLATION 0x000000C9
#define PNP_DETECTED_FATAL_ERROR 0x000000CA

namespace sim {
struct PhysicalDevice;
}

// Bookkeeping behind DEVICE_OBJECT.DeviceObjectExtension.
struct _DEVOBJ_EXTENSION {
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT AttachedTo;     // the device below (referenced), NULL at the bottom
    BOOLEAN Deleted;               // IoDeleteDevice was called
    POWER_STATE DevicePowerState;  // as recorded by PoSetPowerState
    POWER_STATE SystemPowerState;
    sim::PhysicalDevice* Physical;  // set for physical device objects only
};

namespace sim {

// Who allocated an IRP and therefore who frees it (IRP_IOMGR_STATE.Origin).
enum IrpOrigin : UCHAR {
    kIrpFromCaller = 1,     // IoInitializeIrp on the caller's memory
    kIrpFromPool = 2,       // IoAllocateIrp: freed by its owner with IoFreeIrp
    kIrpFromIoManager = 3,  // built by the I/O or power manager, finished by IRP_IOMGR_STATE.Finish
};

constexpr ULONG kIrpMagic = 0x20707249;  // "Irp "
constexpr ULONG kIrpTag = MakePoolTag("Irp ");

// Bugchecks (IRQL_NOT_LESS_OR_EQUAL) when the caller runs above `highest`.
void RequireIrqlAtMost(KIRQL highest, const char* function);
// Bugchecks when Irp is not an initialised IRP.
void CheckIrp(PIRP Irp, const char* function);
std::string Hex(const void* p);

// The physical device behind a PDO: its device instance path
// ("USB\VID_0B05&PID_17F3\5&1a2b3c4d&0&1").
struct PhysicalDevice {
    std::u16string instancePath;
};

PhysicalDevice* PhysicalDeviceOf(PDEVICE_OBJECT DeviceObject);
// Called when a physical device object is destroyed: its interfaces go.
void ForgetDeviceInterfaces(PDEVICE_OBJECT Pdo);

// User mappings recorded for a process (mdl.cpp).
size_t UserMappingCount(PEPROCESS process);
void ResetMappingFailures();
void ResetPowerFailures();

}  // namespace sim

// Test- and harness-side control of the I/O manager stand-in: driver
// objects, physical device objects, file objects, device-interface state,
// recorded power states and failure injection. Drivers use nt/io.h only.
#pragma once

#include <string>
#include <vector>

#include "nt/io.h"
#include "nt/ps.h"

namespace sim {

// ---------------------------------------------------------------- drivers

// A driver object named "\Driver\<serviceName>" whose MajorFunction entries
// all complete with STATUS_INVALID_DEVICE_REQUEST. The caller holds one
// reference. PASSIVE_LEVEL.
PDRIVER_OBJECT IoCreateDriverObject(const std::u16string& serviceName);
// Drops the caller's reference; devices of the driver keep it alive until
// they are deleted.
void IoReleaseDriverObject(PDRIVER_OBJECT driver);
// Devices the driver has created and not deleted.
size_t IoDeviceCount(PDRIVER_OBJECT driver);

// ------------------------------------------------------ physical devices

// Marks a device created by a (simulated) bus driver as the physical device
// object of a device instance ("USB\VID_0B05&PID_17F3\5&1a2b3c4d&0&1").
// Its properties come from the instance's Enum key in the registry:
//   "\Registry\Machine\System\CurrentControlSet\Enum\<instance path>"
// with the values DeviceDesc, HardwareID, CompatibleIDs, FriendlyName, Mfg,
// Driver, ClassGUID, Class and LocationInformation.
void IoSetPhysicalDevice(PDEVICE_OBJECT pdo, const std::u16string& instancePath);
std::u16string IoInstancePath(PDEVICE_OBJECT pdo);
// Registry path of the instance's Enum key, as above.
std::u16string IoEnumKeyPath(PDEVICE_OBJECT pdo);

// ------------------------------------------------------- device stacks

// The device directly below `device` in its stack (not referenced), or NULL.
PDEVICE_OBJECT IoLowerDevice(PDEVICE_OBJECT device);
bool IoIsDeviceDeleted(PDEVICE_OBJECT device);

// ---------------------------------------------------------- file objects

// A file object opened on `device` (the device the name resolved to, e.g.
// the PDO of an interface) with FileName `fileName` ("\XRASIOPrivateInterface";
// empty for none) and an optional related file object (referenced). The
// caller holds one reference. NULL without memory.
PFILE_OBJECT IoCreateFileObject(PDEVICE_OBJECT device, const std::u16string& fileName,
                                PFILE_OBJECT related);

// ------------------------------------------------------ device interfaces

struct DeviceInterface {
    GUID classGuid;
    std::u16string referenceString;  // empty when registered without one
    std::u16string symbolicLink;     // as IoRegisterDeviceInterface returned it
    PDEVICE_OBJECT pdo;
    bool enabled;
    int timesEnabled;   // successful IoSetDeviceInterfaceState(TRUE) calls
    int timesDisabled;  // successful IoSetDeviceInterfaceState(FALSE) calls
};

// Registered interfaces of live physical devices, in registration order,
// optionally only those of one class.
std::vector<DeviceInterface> IoDeviceInterfaces(const GUID* classGuid = nullptr);
// Looks a symbolic link up (case-insensitive). False when unknown.
bool IoFindDeviceInterface(const std::u16string& symbolicLink, DeviceInterface* found);

// ------------------------------------------------------------ requests

// The simulated user process a request came from (NULL: kernel request).
// The harnesses set it on the IRPs they build for user-mode callers; it
// decides IoIs32bitProcess.
void IoSetRequestorProcess(PIRP irp, PEPROCESS process);

// -------------------------------------------------------------- memory

// The next `count` user-mode MmMapLockedPagesSpecifyCache calls fail (they
// raise NT_EXCEPTION with STATUS_INSUFFICIENT_RESOURCES).
void MmFailUserMappings(int count = 1);

// ------------------------------------------------------------- power

// The states recorded with PoSetPowerState for a device (PowerDeviceUnspecified
// / PowerSystemUnspecified when never set).
DEVICE_POWER_STATE PoRecordedDeviceState(PDEVICE_OBJECT device);
SYSTEM_POWER_STATE PoRecordedSystemState(PDEVICE_OBJECT device);
// The next `count` PoRequestPowerIrp calls fail with `status` without
// sending anything.
void PoFailRequests(NTSTATUS status, int count = 1);
// Power IRPs requested with PoRequestPowerIrp that have not completed yet
// (the count drops just before the completion function is called).
int PoOutstandingRequests();
// Clears failure injection and counters (the harnesses do when they end).
void IoResetTestState();

}  // namespace sim

// The port-class subset: what an adapter driver and its miniports include.
// Entry points run at PASSIVE_LEVEL unless noted.
#pragma once

#include "portcls/pc_descriptors.h"
#include "portcls/portcls_guids.h"
#include "portcls/portcls_interfaces.h"
#include "portcls/portcls_types.h"

// The port class's own part at the start of every FDO's device extension;
// the adapter driver's part follows it.
#define PORT_CLASS_DEVICE_EXTENSION_SIZE 512

typedef NTSTATUS (*PCPFNSTARTDEVICE)(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                     PRESOURCELIST ResourceList);

// Miniport factory form used by adapter drivers (not called by the port
// class itself).
typedef NTSTATUS (*PFNCREATEINSTANCE)(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN OuterUnknown,
                                      POOL_TYPE PoolType);

typedef enum {
    GeneralRegistryKey,
    DeviceRegistryKey,
    DriverRegistryKey,
    HwProfileRegistryKey,
    DeviceInterfaceRegistryKey,
} PORTCLASS_REGISTRY_KEY_TYPE;

// Sets the driver's AddDevice and points every major function at
// PcDispatchIrp.
NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                   PDRIVER_ADD_DEVICE AddDevice);

// Creates the FDO (extension of DeviceExtensionSize bytes, zeroed, at least
// PORT_CLASS_DEVICE_EXTENSION_SIZE), attaches it above the PDO's stack
// (StackSize = lower + 1) and remembers StartDevice and MaxObjects, the
// most subdevices the device may have registered at once.
NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                            PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects,
                            ULONG DeviceExtensionSize);

// The port class's handling of every IRP on an FDO it created.
NTSTATUS PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Sets the status and completes the IRP; returns Status.
NTSTATUS PcCompleteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status);

// Port of the class CLSID_PortWaveCyclic or CLSID_PortTopology; any other
// class: STATUS_NOT_SUPPORTED.
NTSTATUS PcNewPort(PPORT* OutPort, REFCLSID ClassId);

// Registers an initialised port as a subdevice named Name (unique per
// device, compared without case), and enables one device interface per
// filter category of its miniport, with Name as reference string.
NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PCWSTR Name, PUNKNOWN Unknown);

// A physical connection from a pin of one registered subdevice to a pin of
// another (or the same) one on this device.
NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                      ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin);

// Unknown must answer IID_IAdapterPowerManagement; pvContext1 is the FDO.
// One registration per device (a second replaces the first).
NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN Unknown, PVOID pvContext1);

// OuterUnknown must be NULL: groups and keys are not aggregated.
NTSTATUS PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown);

// DeviceRegistryKey and DriverRegistryKey open the device's hardware or
// software key (DeviceObject: the FDO); GeneralRegistryKey opens or creates
// ObjectAttributes' key. SubDevice is not used.
NTSTATUS PcNewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown,
                          ULONG RegistryKeyType, ACCESS_MASK DesiredAccess, PVOID DeviceObject,
                          PVOID SubDevice, POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions,
                          PULONG Disposition);

// IoGetDeviceProperty on the PDO below the FDO.
NTSTATUS PcGetDeviceProperty(PVOID DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                             ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength);

// Records the forward (content id and DRMFORWARD) for tests; succeeds
// unless a test injects a failure.
NTSTATUS PcForwardContentToDeviceObject(ULONG ContentId, PVOID Reserved, PCDRMFORWARD DrmForward);

// The driver's face towards the kernel: the entry point, AddDevice, the
// start callback and the four dispatch routines the driver takes over from
// the port class (PnP, create, close, device control). Everything else
// goes to the port class with PcDispatchIrp. All run at PASSIVE_LEVEL.
#pragma once

#include "adapter/device_context.h"
#include "nt/io.h"
#include "portcls/portcls.h"

struct IAudioHal;

// Needs a system of at least NTDDI 0x05010000 (else STATUS_UNSUCCESSFUL,
// nothing registered).
NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
// Registers the two private interfaces on the PDO and creates the FDO; a
// failure leaves nothing behind (no FDO, no reference, no link string).
NTSTATUS AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo);

NTSTATUS DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp);
NTSTATUS DispatchCreate(PDEVICE_OBJECT fdo, PIRP irp);
NTSTATUS DispatchClose(PDEVICE_OBJECT fdo, PIRP irp);
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT fdo, PIRP irp);

// The adapter object's factory (usb_audio_hal.cpp): its IAudioHal with one
// reference; STATUS_INSUFFICIENT_RESOURCES without memory.
NTSTATUS CreateUsbAudioHal(PUNKNOWN* unknown);

// The port class's start callback (start_device.cpp).
NTSTATUS StartDevice(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST resources);

// Creates a port of portClass and a miniport through create (no outer
// unknown, NonPagedPoolNx) and registers them as one subdevice named by
// the miniport's IMiniportInfo. *portOut (optional): the port's IUnknown
// with a reference; *miniportOut: the miniport without one (the port
// holds it). A NULL create gives STATUS_INVALID_PARAMETER.
NTSTATUS InstallSubdevice(PDEVICE_OBJECT fdo, PIRP irp, REFCLSID portClass, REFCLSID miniportClass,
                          PFNCREATEINSTANCE create, PUNKNOWN adapter, PUNKNOWN* portOut,
                          PUNKNOWN* miniportOut);

// The IOCTL_ASIO_* codes of a handle on the ASIO interface (asio_dispatch.cpp):
// completes the IRP unless an operation kept it (STATUS_PENDING).
NTSTATUS DispatchAsioControl(IAudioHal* audioHal, PIRP irp);

// STOP (and a START that finds an adapter): disables the interfaces, stops
// the model, unregisters the wave subdevices and drops the published
// adapter, so that the next START builds everything afresh. The name
// counters go on.
VOID TearDownAdapter(PDEVICE_CONTEXT context, PDEVICE_OBJECT fdo);

// TRUE when the file object is a handle opened on the ASIO interface
// ("\XRASIOPrivateInterface", compared without case).
BOOLEAN IsAsioFileObject(PFILE_OBJECT file);

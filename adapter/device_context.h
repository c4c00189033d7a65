// DEVICE_CONTEXT: the driver's part of the FDO's device extension, right
// after the port class's part. AddDevice zeroes and fills it; it lives as
// long as the FDO.
#pragma once

#include <cstddef>

#include "adapter/endpoint_type.h"
#include "nt/io.h"
#include "portcls/portcls.h"

struct IAudioHal;

typedef struct _DEVICE_CONTEXT {
    // The adapter, published by a successful start with one reference of
    // its own; dropped at STOP and REMOVE. NULL before and after.
    IAudioHal* AudioHal;
    PDEVICE_OBJECT Fdo;
    // The device that was on top of the PDO's stack before the FDO was
    // attached; referenced by AddDevice, dereferenced on removal.
    PDEVICE_OBJECT LowerDevice;
    PDEVICE_OBJECT Pdo;
    // Per ENDPOINT_TYPE: the number the next wave subdevice of that type
    // and direction gets. Never reset, so numbers go on across STOP/START.
    UCHAR RenderNameCounter[ENDPOINT_NAME_COUNTERS];
    UCHAR CaptureNameCounter[ENDPOINT_NAME_COUNTERS];
    BOOLEAN AsioInterfaceRegistered;
    UNICODE_STRING AsioInterfaceName;  // symbolic link (paged pool)
    BOOLEAN AsioInterfaceEnabled;
    BOOLEAN EnumInterfaceRegistered;
    UNICODE_STRING EnumInterfaceName;
    BOOLEAN EnumInterfaceEnabled;
    // Taken by the wave miniport while it tears down.
    KMUTEX MiniportMutex;
} DEVICE_CONTEXT, *PDEVICE_CONTEXT;

static_assert(offsetof(DEVICE_CONTEXT, RenderNameCounter) == 32 &&
                  offsetof(DEVICE_CONTEXT, CaptureNameCounter) == 54 &&
                  offsetof(DEVICE_CONTEXT, AsioInterfaceName) == 80 &&
                  offsetof(DEVICE_CONTEXT, EnumInterfaceName) == 104 &&
                  offsetof(DEVICE_CONTEXT, MiniportMutex) == 128,
              "DEVICE_CONTEXT layout");
static_assert(sizeof(DEVICE_CONTEXT) == 184, "DEVICE_CONTEXT is 184 bytes");

// Extension size handed to PcAddAdapterDevice.
#define DEVICE_EXTENSION_SIZE (PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(DEVICE_CONTEXT))

// The context of an FDO made by AddDevice.
inline PDEVICE_CONTEXT GetDeviceContext(PDEVICE_OBJECT fdo) {
    return reinterpret_cast<PDEVICE_CONTEXT>(static_cast<PUCHAR>(fdo->DeviceExtension) +
                                             PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

// Power management: system and device power states, power IRPs requested
// by a driver (PoRequestPowerIrp) and the calls a driver makes while it
// handles IRP_MJ_POWER.
#pragma once

#include "nt/iostatus.h"
#include "nt/status.h"

struct _DEVICE_OBJECT;
struct _IRP;

typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking = 1,
    PowerSystemSleeping1 = 2,
    PowerSystemSleeping2 = 3,
    PowerSystemSleeping3 = 4,
    PowerSystemHibernate = 5,
    PowerSystemShutdown = 6,
    PowerSystemMaximum = 7
} SYSTEM_POWER_STATE, *PSYSTEM_POWER_STATE;

typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0 = 1,
    PowerDeviceD1 = 2,
    PowerDeviceD2 = 3,
    PowerDeviceD3 = 4,
    PowerDeviceMaximum = 5
} DEVICE_POWER_STATE, *PDEVICE_POWER_STATE;

typedef union _POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
} POWER_STATE, *PPOWER_STATE;
static_assert(sizeof(POWER_STATE) == 4, "POWER_STATE is one 32-bit enum");

typedef enum _POWER_STATE_TYPE {
    SystemPowerState = 0,
    DevicePowerState = 1
} POWER_STATE_TYPE, *PPOWER_STATE_TYPE;

typedef enum _POWER_ACTION {
    PowerActionNone = 0,
    PowerActionReserved = 1,
    PowerActionSleep = 2,
    PowerActionHibernate = 3,
    PowerActionShutdown = 4,
    PowerActionShutdownReset = 5,
    PowerActionShutdownOff = 6,
    PowerActionWarmEject = 7,
    PowerActionDisplayOff = 8
} POWER_ACTION, *PPOWER_ACTION;

// Called when a power IRP requested with PoRequestPowerIrp has completed
// (at the IRQL of the completion, up to DISPATCH_LEVEL), with the IRP's
// final status block.
typedef VOID REQUEST_POWER_COMPLETE(struct _DEVICE_OBJECT* DeviceObject, UCHAR MinorFunction,
                                    POWER_STATE PowerState, PVOID Context,
                                    PIO_STATUS_BLOCK IoStatus);
typedef REQUEST_POWER_COMPLETE* PREQUEST_POWER_COMPLETE;

// Sends a new IRP_MJ_POWER IRP (IRP_MN_SET_POWER, IRP_MN_QUERY_POWER or
// IRP_MN_WAIT_WAKE) to the top of the stack that DeviceObject belongs to.
// Returns STATUS_PENDING when the IRP was sent; CompletionFunction is then
// called exactly once. Any other status means nothing was sent and the
// function is never called. *Irp (optional) receives the IRP, valid until
// it completes. IRQL <= DISPATCH_LEVEL.
NTSTATUS PoRequestPowerIrp(struct _DEVICE_OBJECT* DeviceObject, UCHAR MinorFunction,
                           POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                           PVOID Context, struct _IRP** Irp);

// Passes a power IRP to the next driver (same as IoCallDriver here).
NTSTATUS PoCallDriver(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
// Lets the next power IRP of the device through; recorded only.
VOID PoStartNextPowerIrp(struct _IRP* Irp);
// Records the device's (or system's) power state and returns the previous one.
POWER_STATE PoSetPowerState(struct _DEVICE_OBJECT* DeviceObject, POWER_STATE_TYPE Type,
                            POWER_STATE State);

// I/O request packets: the IRP with its stack locations, allocation and
// reuse, passing an IRP down a device stack, completion with completion
// routines, pending returns and cancellation.
//
// Ownership: an IRP from IoAllocateIrp belongs to its allocator, which sets
// a completion routine returning STATUS_MORE_PROCESSING_REQUIRED and frees
// it with IoFreeIrp. An IRP built by IoBuildDeviceIoControlRequest belongs
// to the I/O manager, which frees it after its completion routines ran.
#pragma once

#include "nt/iostatus.h"
#include "nt/mm.h"
#include "nt/po.h"
#include "nt/status.h"

typedef CHAR CCHAR;

// Fields of the stack location's parameters sit on pointer boundaries, so
// that Others.Argument1..4 overlay them as on the platform (Argument3 is
// the IoControlCode of a device-control request).
#define POINTER_ALIGNMENT alignas(8)

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _FILE_OBJECT;
struct _IRP;
struct _KEVENT;

typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _FILE_OBJECT FILE_OBJECT, *PFILE_OBJECT;
typedef struct _IRP IRP, *PIRP;

// Major functions.
#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_QUERY_SECURITY 0x14
#define IRP_MJ_SET_SECURITY 0x15
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

// Minor functions of IRP_MJ_PNP.
#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_QUERY_RESOURCES 0x0A
#define IRP_MN_QUERY_RESOURCE_REQUIREMENTS 0x0B
#define IRP_MN_QUERY_DEVICE_TEXT 0x0C
#define IRP_MN_FILTER_RESOURCE_REQUIREMENTS 0x0D
#define IRP_MN_QUERY_ID 0x13
#define IRP_MN_QUERY_PNP_DEVICE_STATE 0x14
#define IRP_MN_QUERY_BUS_INFORMATION 0x15
#define IRP_MN_DEVICE_USAGE_NOTIFICATION 0x16
#define IRP_MN_SURPRISE_REMOVAL 0x17

// Minor functions of IRP_MJ_POWER.
#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

// IO_STACK_LOCATION.Control.
#define SL_PENDING_RETURNED 0x01
#define SL_ERROR_RETURNED 0x02
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

// IRP.Flags.
#define IRP_NOCACHE 0x00000001
#define IRP_PAGING_IO 0x00000002
#define IRP_SYNCHRONOUS_API 0x00000004
#define IRP_ASSOCIATED_IRP 0x00000008
#define IRP_BUFFERED_IO 0x00000010
#define IRP_DEALLOCATE_BUFFER 0x00000020
#define IRP_INPUT_OPERATION 0x00000040
#define IRP_CREATE_OPERATION 0x00000080
#define IRP_READ_OPERATION 0x00000100
#define IRP_WRITE_OPERATION 0x00000200
#define IRP_CLOSE_OPERATION 0x00000400

// Priority boosts given to IoCompleteRequest and KeSetEvent.
#ifndef IO_NO_INCREMENT
#define IO_NO_INCREMENT 0
#endif
#ifndef IO_SOUND_INCREMENT
#define IO_SOUND_INCREMENT 8
#endif

typedef NTSTATUS IO_COMPLETION_ROUTINE(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;
typedef VOID DRIVER_CANCEL(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_CANCEL* PDRIVER_CANCEL;
typedef NTSTATUS DRIVER_DISPATCH(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;

// ---------------------------------------------------------------------------
// Parameters of the stack location.

// A USB device has no hardware resources: the lists handed to
// IRP_MN_START_DEVICE are always empty (Count 0).
typedef struct _CM_RESOURCE_LIST {
    ULONG Count;
} CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;

typedef VOID (*PINTERFACE_REFERENCE)(PVOID Context);
typedef VOID (*PINTERFACE_DEREFERENCE)(PVOID Context);

// Header of every interface returned by IRP_MN_QUERY_INTERFACE.
typedef struct _INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
} INTERFACE, *PINTERFACE;

typedef enum _DEVICE_RELATION_TYPE {
    BusRelations = 0,
    EjectionRelations = 1,
    PowerRelations = 2,
    RemovalRelations = 3,
    TargetDeviceRelation = 4,
    SingleBusRelations = 5,
    TransportRelations = 6
} DEVICE_RELATION_TYPE;

// Answer to IRP_MN_QUERY_DEVICE_RELATIONS, from paged pool; each object is
// referenced, and the receiver frees the structure.
typedef struct _DEVICE_RELATIONS {
    ULONG Count;
    PDEVICE_OBJECT Objects[1];
} DEVICE_RELATIONS, *PDEVICE_RELATIONS;

typedef enum _BUS_QUERY_ID_TYPE {
    BusQueryDeviceID = 0,
    BusQueryHardwareIDs = 1,
    BusQueryCompatibleIDs = 2,
    BusQueryInstanceID = 3,
    BusQueryDeviceSerialNumber = 4,
    BusQueryContainerID = 5
} BUS_QUERY_ID_TYPE;

typedef enum _DEVICE_USAGE_NOTIFICATION_TYPE {
    DeviceUsageTypeUndefined = 0,
    DeviceUsageTypePaging = 1,
    DeviceUsageTypeHibernation = 2,
    DeviceUsageTypeDumpFile = 3
} DEVICE_USAGE_NOTIFICATION_TYPE;

typedef struct _DEVICE_CAPABILITIES {
    USHORT Size;
    USHORT Version;
    ULONG DeviceD1 : 1;
    ULONG DeviceD2 : 1;
    ULONG LockSupported : 1;
    ULONG EjectSupported : 1;
    ULONG Removable : 1;
    ULONG DockDevice : 1;
    ULONG UniqueID : 1;
    ULONG SilentInstall : 1;
    ULONG RawDeviceOK : 1;
    ULONG SurpriseRemovalOK : 1;
    ULONG WakeFromD0 : 1;
    ULONG WakeFromD1 : 1;
    ULONG WakeFromD2 : 1;
    ULONG WakeFromD3 : 1;
    ULONG HardwareDisabled : 1;
    ULONG NonDynamic : 1;
    ULONG WarmEjectSupported : 1;
    ULONG NoDisplayInUI : 1;
    ULONG Reserved1 : 1;
    ULONG WakeFromInterrupt : 1;
    ULONG SecureDevice : 1;
    ULONG ChildOfVgaEnabledBridge : 1;
    ULONG DecodeIoOnBoot : 1;
    ULONG Reserved : 9;
    ULONG Address;
    ULONG UINumber;
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
    SYSTEM_POWER_STATE SystemWake;
    DEVICE_POWER_STATE DeviceWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
} DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES is 64 bytes");

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;  // SL_*

    union {
        struct {
            PVOID SecurityContext;
            POINTER_ALIGNMENT ULONG Options;  // disposition << 24 | create options
            POINTER_ALIGNMENT USHORT FileAttributes;
            USHORT ShareAccess;
            POINTER_ALIGNMENT ULONG EaLength;
        } Create;
        struct {
            POINTER_ALIGNMENT ULONG Length;
            POINTER_ALIGNMENT ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            POINTER_ALIGNMENT ULONG Length;
            POINTER_ALIGNMENT ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Write;
        // IRP_MJ_DEVICE_CONTROL and IRP_MJ_INTERNAL_DEVICE_CONTROL.
        struct {
            POINTER_ALIGNMENT ULONG OutputBufferLength;
            POINTER_ALIGNMENT ULONG InputBufferLength;
            POINTER_ALIGNMENT ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            DEVICE_RELATION_TYPE Type;
        } QueryDeviceRelations;
        struct {
            const GUID* InterfaceType;
            USHORT Size;
            USHORT Version;
            PINTERFACE Interface;
            PVOID InterfaceSpecificData;
        } QueryInterface;
        struct {
            PDEVICE_CAPABILITIES Capabilities;
        } DeviceCapabilities;
        struct {
            BUS_QUERY_ID_TYPE IdType;
        } QueryId;
        struct {
            BOOLEAN InPath;
            BOOLEAN Reserved[3];
            POINTER_ALIGNMENT DEVICE_USAGE_NOTIFICATION_TYPE Type;
        } UsageNotification;
        struct {
            SYSTEM_POWER_STATE PowerState;
        } WaitWake;
        struct {
            ULONG SystemContext;
            POINTER_ALIGNMENT POWER_STATE_TYPE Type;
            POINTER_ALIGNMENT POWER_STATE State;
            POINTER_ALIGNMENT POWER_ACTION ShutdownType;
        } Power;
        struct {
            PCM_RESOURCE_LIST AllocatedResources;
            PCM_RESOURCE_LIST AllocatedResourcesTranslated;
        } StartDevice;
        // Internal device controls of the USB stack use Argument1..4.
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;

    PDEVICE_OBJECT DeviceObject;  // set by IoCallDriver for the called driver
    PFILE_OBJECT FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;
static_assert(sizeof(IO_STACK_LOCATION) == 72, "IO_STACK_LOCATION is 72 bytes on x64");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) ==
                  offsetof(IO_STACK_LOCATION, Parameters.Others.Argument3),
              "IoControlCode overlays Argument3");

// Bookkeeping of the I/O manager stand-in inside every IRP. Drivers do not
// touch it; IoInitializeIrp and IoReuseIrp reset it.
typedef struct _IRP_IOMGR_STATE {
    ULONG Magic;             // set while the IRP is initialised; checked by every call
    UCHAR Origin;            // who allocated it and who frees it (see io_irp.cpp)
    UCHAR Reserved;
    USHORT AllocatedStack;   // stack locations the memory holds (IoReuseIrp keeps it)
    PVOID RequestorProcess;  // simulated user process of a user request, or NULL
    // For IRPs the I/O manager finishes itself (built requests, power
    // requests): called once after the last completion routine.
    VOID (*Finish)(PIRP Irp);
    PVOID FinishContext;
} IRP_IOMGR_STATE;

typedef struct _IRP {
    CSHORT Type;
    USHORT Size;                 // bytes of the IRP including its stack locations
    PMDL MdlAddress;
    ULONG Flags;                 // IRP_*
    union {
        struct _IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;      // METHOD_BUFFERED data of both directions
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;     // copied from SL_PENDING_RETURNED while completing
    CHAR StackCount;
    CHAR CurrentLocation;        // StackCount + 1 before the first IoCallDriver
    BOOLEAN Cancel;
    KIRQL CancelIrql;            // IRQL to give IoReleaseCancelSpinLock in a cancel routine
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    struct _KEVENT* UserEvent;
    PDRIVER_CANCEL volatile CancelRoutine;  // changed only by IoSetCancelRoutine
    PVOID UserBuffer;            // METHOD_NEITHER output buffer
    union {
        struct {
            PVOID DriverContext[4];  // free for the driver that owns the IRP
            PVOID Thread;
            PCHAR AuxiliaryBuffer;
            LIST_ENTRY ListEntry;    // free for the driver that holds the IRP pending
            struct _IO_STACK_LOCATION* CurrentStackLocation;
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
    } Tail;
    IRP_IOMGR_STATE IoManager;
} IRP;

// The stack locations follow the IRP, after one spare location: a driver
// that sets up a next location the IRP does not have writes into the spare
// instead of the IRP, and IoCallDriver then stops with
// NO_MORE_IRP_STACK_LOCATIONS.
#define IoSizeOfIrp(StackSize) \
    ((USHORT)(sizeof(IRP) + (((StackSize) + 1) * sizeof(IO_STACK_LOCATION))))

// ---------------------------------------------------------------------------
// Allocation.

// An IRP with StackSize locations from non-paged pool; NULL without memory.
// IRQL <= DISPATCH_LEVEL.
PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
VOID IoFreeIrp(PIRP Irp);
// Prepares caller-owned memory of PacketSize bytes as an IRP.
VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize);
// Makes a completed IRP (from IoAllocateIrp or IoInitializeIrp) ready to be
// sent again, with IoStatus.Status = Status. No cancel routine may be set.
VOID IoReuseIrp(PIRP Irp, NTSTATUS Status);

// ---------------------------------------------------------------------------
// Stack locations.

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation;
}
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}
inline VOID IoSkipCurrentIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}
inline VOID IoSetNextIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
}
// Copies everything but the completion routine and its context.
inline VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    __builtin_memcpy(next, current, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}
inline VOID IoMarkIrpPending(PIRP Irp) {
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}

// Sets the routine that runs when the next lower driver completes the IRP
// (in the next stack location). It runs at the completer's IRQL (up to
// DISPATCH_LEVEL); returning STATUS_MORE_PROCESSING_REQUIRED stops the
// completion and keeps the IRP with the routine's owner.
inline VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                   PVOID Context, BOOLEAN InvokeOnSuccess,
                                   BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
// As IoSetCompletionRoutine; the stand-in never unloads a driver under a
// pending IRP, so there is nothing extra to allocate and it cannot fail.
NTSTATUS IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                  PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                  BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                  BOOLEAN InvokeOnCancel);

// ---------------------------------------------------------------------------
// Sending, completing, cancelling.

// Moves to the next stack location and calls the driver of DeviceObject for
// its major function. The device object stays referenced while its dispatch
// routine runs. IRQL <= DISPATCH_LEVEL.
NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
#define IofCallDriver IoCallDriver

// Completes the IRP: walks the stack locations upward and calls each
// completion routine whose SL_INVOKE_* condition holds, stopping when one
// returns STATUS_MORE_PROCESSING_REQUIRED. IoStatus.Status must be set and
// must not be STATUS_PENDING; the cancel routine must have been cleared.
// Completing an IRP that has nothing left to complete is fatal.
VOID IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
#define IofCompleteRequest IoCompleteRequest

// Sets the cancel routine (NULL clears it) and returns the previous one, as
// one interlocked exchange.
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    return __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_SEQ_CST);
}
// The system-wide cancel spin lock. A cancel routine is called with it held
// and releases it with IoReleaseCancelSpinLock(Irp->CancelIrql).
VOID IoAcquireCancelSpinLock(PKIRQL Irql);
VOID IoReleaseCancelSpinLock(KIRQL Irql);
// Sets Irp->Cancel and calls the IRP's cancel routine, if one is set.
// Returns TRUE when a cancel routine was called. The caller must make sure
// the IRP is not freed meanwhile (it owns it, or holds a reference of its
// own). IRQL <= DISPATCH_LEVEL.
BOOLEAN IoCancelIrp(PIRP Irp);

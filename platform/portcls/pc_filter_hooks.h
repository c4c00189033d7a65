// Registration point for the kernel-streaming front end. The port class
// owns filter handles (CREATE of "\<subdevice name>") and the ports; what
// a request on a filter handle means (IOCTL_KS_PROPERTY, IOCTL_KS_ENABLE_
// EVENT, IOCTL_KS_DISABLE_EVENT) and how a port keeps its event list are
// supplied through these tables, one per port kind.
#pragma once

#include "portcls/portcls_interfaces.h"

#define IOCTL_KS_PROPERTY 0x002F0003
#define IOCTL_KS_ENABLE_EVENT 0x002F0007
#define IOCTL_KS_DISABLE_EVENT 0x002F000B

typedef enum {
    PcPortKindTopology = 0,
    PcPortKindWaveCyclic = 1,
    PcPortKindCount = 2,
} PC_PORT_KIND;

// What the front end sees of an open filter handle. Owned by the port
// class; valid from the CREATE that made it until the CloseFilter hook has
// returned. Descriptor and MajorTarget are NULL once the subdevice has been
// unregistered (the miniport is gone); requests then fail before any hook.
typedef struct _PC_FILTER_INSTANCE {
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PC_PORT_KIND PortKind;
    PUNKNOWN Port;                          // the port's IUnknown, no reference
    const PCFILTER_DESCRIPTOR* Descriptor;  // the miniport's description
    PUNKNOWN MajorTarget;                   // the miniport as given to IPort::Init
    PVOID* PortContext;                     // the port's front-end slot (below)
} PC_FILTER_INSTANCE, *PPC_FILTER_INSTANCE;

// Hooks for one port kind. Every member may be NULL. Called at
// PASSIVE_LEVEL except the two event-list members, which run at the IRQL
// of the IPortEvents caller.
//
// PortContext: each port keeps one pointer for the front end (its event
// list, created by the front end on first use); ReleasePortContext frees it
// when the port is destroyed.
typedef struct _PC_FILTER_HOOKS {
    // IOCTL_KS_PROPERTY / ENABLE_EVENT / DISABLE_EVENT on a filter handle.
    // The hook sets Irp->IoStatus.Information and returns the status; the
    // port class completes the IRP unless the status is STATUS_PENDING.
    NTSTATUS (*Property)(PPC_FILTER_INSTANCE Filter, PIRP Irp);
    NTSTATUS (*EnableEvent)(PPC_FILTER_INSTANCE Filter, PIRP Irp);
    NTSTATUS (*DisableEvent)(PPC_FILTER_INSTANCE Filter, PIRP Irp);
    // A filter handle closes: free what the front end keeps for it (its
    // enabled events).
    VOID (*CloseFilter)(PPC_FILTER_INSTANCE Filter);
    // IPortEvents of the port, after the port class has recorded the call.
    VOID (*AddEventToEventList)(PVOID* PortContext, PKSEVENT_ENTRY EventEntry);
    VOID (*GenerateEventList)
    (PVOID* PortContext, const GUID* Set, ULONG EventId, BOOL PinEvent, ULONG PinId, BOOL NodeEvent,
     ULONG NodeId);
    VOID (*ReleasePortContext)(PVOID PortContext);
} PC_FILTER_HOOKS, *PPC_FILTER_HOOKS;

// Installs the hooks of one port kind (NULL removes them). The table is
// copied. Without a hook the three IOCTLs complete with
// STATUS_INVALID_DEVICE_REQUEST. Install before devices start; ports look
// the table up on each call.
VOID PcSetFilterHooks(PC_PORT_KIND Kind, const PC_FILTER_HOOKS* Hooks);

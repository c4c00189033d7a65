// Port and miniport interfaces of the port-class subset. Every interface
// derives from the object framework's IUnknown; QueryInterface answers an
// NTSTATUS (STATUS_INVALID_PARAMETER and NULL for an identifier the object
// does not support). A pointer an interface method returns through an out
// parameter carries one reference unless the method says otherwise.
#pragma once

#include "nt/unknown.h"
#include "nt/io.h"
#include "nt/irp.h"
#include "nt/po.h"
#include "nt/zw.h"
#include "portcls/pc_descriptors.h"
#include "portcls/portcls_guids.h"

// Class identifiers (port classes) and physical addresses of DMA buffers.
typedef GUID CLSID;
typedef const GUID& REFCLSID;
typedef PHYSICAL_ADDRESS* PPHYSICAL_ADDRESS;

struct IPort;
struct IPortTopology;
struct IPortWaveCyclic;
struct IPortEvents;
struct IMiniport;
struct IMiniportTopology;
struct IMiniportWaveCyclic;
struct IMiniportWaveCyclicStream;
struct IDmaChannel;
struct IServiceSink;
struct IServiceGroup;
struct IRegistryKey;
struct IResourceList;
struct IAdapterPowerManagement;
struct IPowerNotify;
struct IDrmAudioStream;
struct IPortClsVersion;
struct IUnregisterSubdevice;
struct IUnregisterPhysicalConnection;

typedef IPort* PPORT;
typedef IPortTopology* PPORTTOPOLOGY;
typedef IPortWaveCyclic* PPORTWAVECYCLIC;
typedef IPortEvents* PPORTEVENTS;
typedef IMiniport* PMINIPORT;
typedef IMiniportTopology* PMINIPORTTOPOLOGY;
typedef IMiniportWaveCyclic* PMINIPORTWAVECYCLIC;
typedef IMiniportWaveCyclicStream* PMINIPORTWAVECYCLICSTREAM;
typedef IDmaChannel* PDMACHANNEL;
typedef IServiceSink* PSERVICESINK;
typedef IServiceGroup* PSERVICEGROUP;
typedef IRegistryKey* PREGISTRYKEY;
typedef IResourceList* PRESOURCELIST;
typedef IAdapterPowerManagement* PADAPTERPOWERMANAGEMENT;
typedef IPowerNotify* PPOWERNOTIFY;
typedef IDrmAudioStream* PDRMAUDIOSTREAM;
typedef IPortClsVersion* PPORTCLSVERSION;
typedef IUnregisterSubdevice* PUNREGISTERSUBDEVICE;
typedef IUnregisterPhysicalConnection* PUNREGISTERPHYSICALCONNECTION;

// DMA adapter of a bus-master channel; never used by a system-memory
// channel (GetAdapterObject answers NULL).
struct _ADAPTER_OBJECT;
typedef struct _ADAPTER_OBJECT* PADAPTER_OBJECT;

// Rights of protected content handed to IDrmAudioStream::SetContentId.
typedef struct tagDRMRIGHTS {
    BOOL CopyProtect;
    ULONG Reserved;
    BOOL DigitalOutputDisable;
} DRMRIGHTS, *PDRMRIGHTS;
typedef const DRMRIGHTS* PCDRMRIGHTS;

// Where protected content goes next (PcForwardContentToDeviceObject).
typedef struct tagDRMFORWARD {
    DWORD Flags;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PVOID Context;
} DRMFORWARD, *PDRMFORWARD;
typedef const DRMFORWARD* PCDRMFORWARD;

static_assert(sizeof(DRMRIGHTS) == 12, "DRMRIGHTS");
static_assert(sizeof(DRMFORWARD) == 32, "DRMFORWARD");

// Resources of a started device. The port-class subset starts devices
// without resources (StartDevice gets NULL); the interface exists for the
// signatures.
struct IResourceList : public IUnknown {
    virtual ULONG NumberOfEntries() = 0;
};

// ---- Ports ------------------------------------------------------------

struct IPort : public IUnknown {
    // Binds the miniport: queries it for the port's miniport interface,
    // calls its Init(UnknownAdapter, ResourceList, this port) and keeps its
    // filter description. Runs at PASSIVE_LEVEL, once per port.
    virtual NTSTATUS Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport,
                          PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) = 0;
};

struct IPortTopology : public IPort {};

struct IPortWaveCyclic : public IPort {
    // Asks for a service pass of the group at DISPATCH_LEVEL. Callable at
    // any IRQL up to DISPATCH_LEVEL, also under the caller's spin lock: it
    // only queues a DPC, and notifications before the DPC runs coalesce.
    virtual VOID Notify(PSERVICEGROUP ServiceGroup) = 0;
};

// Event list of a port: miniport event handlers add entries, the miniport
// signals them by set, id and pin or node.
struct IPortEvents : public IUnknown {
    virtual VOID AddEventToEventList(PKSEVENT_ENTRY EventEntry) = 0;
    virtual VOID GenerateEventList(GUID* Set, ULONG EventId, BOOL PinEvent, ULONG PinId,
                                   BOOL NodeEvent, ULONG NodeId) = 0;
};

struct IPortClsVersion : public IUnknown {
    virtual DWORD GetVersion() = 0;
};

struct IUnregisterSubdevice : public IUnknown {
    // Unknown is the port that was registered (any of its interfaces).
    virtual NTSTATUS UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown) = 0;
};

struct IUnregisterPhysicalConnection : public IUnknown {
    // Removes exactly the connection registered with these arguments.
    virtual NTSTATUS UnregisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                                  ULONG FromPin, PUNKNOWN ToUnknown,
                                                  ULONG ToPin) = 0;
};

// ---- Miniports --------------------------------------------------------

struct IMiniport : public IUnknown {
    // The description stays owned by the miniport and valid while the port
    // holds it.
    virtual NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR* Description) = 0;
    virtual NTSTATUS DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange,
                                           PKSDATARANGE MatchingDataRange, ULONG OutputBufferLength,
                                           PVOID ResultantFormat, PULONG ResultantFormatLength) = 0;
};

struct IMiniportTopology : public IMiniport {
    virtual NTSTATUS Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList,
                          PPORTTOPOLOGY Port) = 0;
};

struct IMiniportWaveCyclic : public IMiniport {
    virtual NTSTATUS Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList,
                          PPORTWAVECYCLIC Port) = 0;
    virtual NTSTATUS NewStream(PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN OuterUnknown,
                               POOL_TYPE PoolType, ULONG Pin, BOOLEAN Capture,
                               PKSDATAFORMAT DataFormat, PDMACHANNEL* DmaChannel,
                               PSERVICEGROUP* ServiceGroup) = 0;
};

struct IMiniportWaveCyclicStream : public IUnknown {
    virtual NTSTATUS SetFormat(PKSDATAFORMAT DataFormat) = 0;
    // Returns the interval actually used, in ms; FramingSize gets the bytes
    // of one interval.
    virtual ULONG SetNotificationFreq(ULONG Interval, PULONG FramingSize) = 0;
    virtual NTSTATUS SetState(KSSTATE State) = 0;
    // Byte offset of the play or record position within the cyclic buffer.
    virtual NTSTATUS GetPosition(PULONG Position) = 0;
    // Bytes in, 100-ns units out.
    virtual NTSTATUS NormalizePhysicalPosition(PLONGLONG PhysicalPosition) = 0;
    virtual VOID Silence(PVOID Buffer, ULONG ByteCount) = 0;
};

// A cyclic DMA buffer in system memory. CopyTo writes into the buffer
// (render), CopyFrom reads out of it (capture); both run at DISPATCH_LEVEL
// in the port's service routine.
struct IDmaChannel : public IUnknown {
    virtual NTSTATUS AllocateBuffer(ULONG BufferSize,
                                    PPHYSICAL_ADDRESS PhysicalAddressConstraint) = 0;
    virtual VOID FreeBuffer() = 0;
    virtual ULONG TransferCount() = 0;
    virtual ULONG MaximumBufferSize() = 0;
    virtual ULONG AllocatedBufferSize() = 0;
    virtual ULONG BufferSize() = 0;
    virtual VOID SetBufferSize(ULONG BufferSize) = 0;
    virtual PVOID SystemAddress() = 0;
    virtual PHYSICAL_ADDRESS PhysicalAddress() = 0;
    virtual PADAPTER_OBJECT GetAdapterObject() = 0;
    virtual VOID CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount) = 0;
    virtual VOID CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount) = 0;
};

struct IDrmAudioStream : public IUnknown {
    virtual NTSTATUS SetContentId(ULONG ContentId, PCDRMRIGHTS DrmRights) = 0;
};

// ---- Services, power, registry ---------------------------------------

struct IServiceSink : public IUnknown {
    // Called at DISPATCH_LEVEL from the service group's DPC.
    virtual VOID RequestService() = 0;
};

// A group of sinks serviced together: its own RequestService calls every
// member's. Members are held with a reference until removed.
struct IServiceGroup : public IServiceSink {
    virtual NTSTATUS AddMember(PSERVICESINK ServiceSink) = 0;
    virtual VOID RemoveMember(PSERVICESINK ServiceSink) = 0;
};

struct IAdapterPowerManagement : public IUnknown {
    virtual VOID PowerChangeState(POWER_STATE NewState) = 0;
    virtual NTSTATUS QueryPowerChangeState(POWER_STATE NewStateQuery) = 0;
    virtual NTSTATUS QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps) = 0;
};

struct IPowerNotify : public IUnknown {
    virtual VOID PowerChangeNotify(POWER_STATE PowerState) = 0;
};

// A registry key opened through the port class. Keys are kernel handles:
// the desired access is recorded but not enforced. PASSIVE_LEVEL only.
struct IRegistryKey : public IUnknown {
    virtual NTSTATUS QueryValueKey(PUNICODE_STRING ValueName,
                                   KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                   PVOID KeyValueInformation, ULONG Length,
                                   PULONG ResultLength) = 0;
    virtual NTSTATUS SetValueKey(PUNICODE_STRING ValueName, ULONG Type, PVOID Data,
                                 ULONG DataSize) = 0;
    // Opens or creates a subkey; Disposition (optional) gets
    // REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
    virtual NTSTATUS NewSubKey(PREGISTRYKEY* RegistrySubKey, PUNKNOWN OuterUnknown,
                               ACCESS_MASK DesiredAccess, PUNICODE_STRING SubKeyName,
                               ULONG CreateOptions, PULONG Disposition) = 0;
};

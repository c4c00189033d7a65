// IUacHal: the device-family model's own interface (every model but the
// three chip families answers it). The adapter caches it once and answers
// IID_IUacHal with it.
#pragma once

#include "adapter/base/unknown.h"
#include "usb/usb_defs.h"

// {B00C6788-253F-4638-9460-336A8BE6EE9A}
inline constexpr GUID IID_IUacHal = {0xB00C6788, 0x253F, 0x4638,
                                     {0x94, 0x60, 0x33, 0x6A, 0x8B, 0xE6, 0xEE, 0x9A}};

struct IUacHal : public IUnknown {
    // Re-registers the wave subdevices whose output type changed.
    virtual NTSTATUS UpdateSubdevices(ULONG unitId) = 0;
    // The model's own callback object; NULL out gives STATUS_UNSUCCESSFUL.
    virtual NTSTATUS GetCallbackObject(PVOID* object) = 0;
    virtual NTSTATUS ParseAudioControl(const UCHAR* acInterfaceDescriptor, ULONG bytesToEnd) = 0;
    virtual NTSTATUS ParseAudioStreaming(const USB_CONFIGURATION_DESCRIPTOR* configuration,
                                         const UCHAR* firstAsInterfaceDescriptor, ULONG bytesToEnd) = 0;
    // The UAC 2.0 model's table ends before this slot.
    virtual NTSTATUS InitChip() = 0;
};
typedef IUacHal* PUACHAL;

// ---------------------------------------------------------------------------
// CUacHal: the base of every device-family model. It keeps what the models
// share: the Audio Control interface (number, the interface information of
// its status pipe while a status thread may run), the status thread's
// events, the device's ids, the UAC entities parsed from the Audio Control
// descriptors, and the walks over the unit graph that give each stream
// engine its units. The models themselves (adapter/model/) derive from it.
//
// Every model is aggregated by the adapter (the outer unknown, which
// answers IUsbAudioDevice) and allocated from NonPagedPoolNx with its
// family's tag. Its interfaces in table order: IUacHal, IAudioHal,
// IAdapterPowerManagement and the non-delegating unknown.
//
// Untrusted input: every walk over descriptors stops at the configuration
// length the transport holds (the stored wTotalLength, which equals the
// bytes the device delivered); every walk over the unit graph is bounded by
// the unit count.
// ---------------------------------------------------------------------------

#include "adapter/audio_hal.h"
#include "adapter/base/list.h"
#include "nt/ke.h"

class CUacEntity;
class CCyclicControl;

// StatusPipeIndex when the model has no status pipe (no thread runs).
#define UAC_NO_STATUS_PIPE 0xFF

// Limits of the stream-path walk: the id ring, the source ids read from one
// unit, the output pins a render engine is searched from.
#define STREAM_PATH_RING_IDS 20
#define STREAM_PATH_MAX_SOURCES 12
#define STREAM_PATH_MAX_PINS 10
// Sources an entity may have and still be connected by the Audio Control
// parsers (and followed by the cycle check).
#define UAC_MAX_LINKED_SOURCES 9

class CUacHal : public IUacHal, public CAudioHal {
public:
    CUacHal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId);
    // Releases the entities (after the derived class has stopped its
    // thread), then the CAudioHal part releases units and engines.
    ~CUacHal() override;

    DECLARE_FORWARDING_UNKNOWN()
    // IID_IUnknown and IID_IAudioHal: IAudioHal; IID_IAdapterPowerManagement;
    // IID_IUacHal.
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // The capabilities of the engine at index; an index past the end names
    // the last engine, no engine gives capture 0 and type 0.
    NTSTATUS GetStreamEngineCapabilities(ULONG index, ENDPOINT_CAPS* caps) override;
    NTSTATUS GetCallbackObject(PVOID* object) override;

    // ---- entities (PASSIVE_LEVEL; filled during Init, then only read) ----
    // The last entity of the list whose id is `id`, without a reference.
    NTSTATUS FindEntityById(ULONG id, CUacEntity** entity);
    // Takes a reference and adds the entity at the head of the list.
    NTSTATUS AddEntity(CUacEntity* entity);
    void ReleaseEntities();
    ULONG GetEntityCount() const;
    // The entity at index in list order (reverse parse order), no reference.
    NTSTATUS GetEntity(ULONG index, CUacEntity** entity);

    // TRUE once when the engine's terminal-type unit reports a changed
    // type (the flag is cleared).
    BOOLEAN HasPendingEndpointChange(IStreamEngine* engine);

    // The Audio Control interface of the stored configuration (none: success,
    // nothing parsed) and the first Audio Streaming interface, each handed
    // with the bytes from it to the end of the held configuration.
    NTSTATUS ParseAudioControlInterface();
    NTSTATUS ParseAudioStreamingInterfaces();

    // ---- stream paths (uac_stream_path.cpp) ----
    // Gives a new engine its units: capture engines everything upstream of
    // their streaming terminal's node; render engines the path of every
    // output pin (the first STREAM_PATH_MAX_PINS non-streaming ones in unit
    // order) that reaches the streaming terminal's node, and the
    // terminal-type unit such a pin feeds.
    NTSTATUS LinkStreamEngine(CCyclicControl* engine, ULONG terminalNodeId);
    // Breadth-first from startId over source ids, adding every unit to the
    // engine; a sum unit's sources are not followed. More than
    // STREAM_PATH_MAX_SOURCES sources on one unit or a full ring:
    // STATUS_INSUFFICIENT_RESOURCES (the engine keeps what it got).
    NTSTATUS LinkStreamEngineFrom(CCyclicControl* engine, ULONG startId);

    USHORT GetVendorId() const { return VendorId; }
    USHORT GetProductId() const { return ProductId; }
    UCHAR GetStatusPipeIndex() const { return StatusPipeIndex; }

protected:
    // Whether T is reachable upstream of the pin (sum units followed too).
    NTSTATUS PathReaches(ULONG pinId, ULONG terminalNodeId, BOOLEAN* reached);
    // Adds the terminal-type units fed by the pin (a render engine's).
    NTSTATUS AddTerminalTypeUnits(CCyclicControl* engine, ULONG pinId);
    // Fails with STATUS_UNSUCCESSFUL when the entities' source links (as
    // connected: source counts 1 to 9, each id resolved by FindEntityById)
    // contain a cycle, a self-source included.
    NTSTATUS CheckEntityGraph();

    UCHAR AcInterfaceNumber;
    // Copy of the Audio Control interface's information (non-paged, "URB ")
    // while a status thread may run; NULL otherwise.
    PUSBD_INTERFACE_INFORMATION AcInterfaceInfo;
    UCHAR StatusPipeIndex;
    // The status thread's object, referenced from creation until Stop has
    // seen it end.
    PKTHREAD StatusThread;
    KEVENT StopEvent;          // notification, set by Stop
    KEVENT ThreadExitedEvent;  // notification, set by the thread last
    USHORT VendorId;
    USHORT ProductId;
    CList* Entities;  // CUacEntity*, one reference each; head = last parsed
    UCHAR ChipVariant;
};

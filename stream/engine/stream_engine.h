// IStreamEngine: one streaming endpoint (an AudioStreaming interface) as
// the rest of the driver sees it: direction, endpoint type, name, formats,
// units, its wave subdevice and the block data path.
//
// CStreamEngine is the base of every USB stream object. It owns the
// endpoint's formats, units and processing nodes, the bookkeeping of the
// clients that stream through it (client_lists.cpp), the float work
// buffers of the block data path (data_path.cpp) and the named callback
// object "\Callback\StreamEngineAddr%p".
//
// Locks: m_Lock (a re-entrant kernel mutex, PASSIVE_LEVEL) is constructed
// here and taken only by the derived USB stream object; m_SpinLock guards
// the client lists, the client node lists and the data path. Order: m_Lock
// before any spin lock of the derived object, before m_SpinLock.
#pragma once

#include "adapter/base/list.h"
#include "adapter/base/mutex_lock.h"
#include "adapter/base/unknown.h"
#include "nt/ex.h"
#include "portcls/portcls.h"
#include "stream/engine/dsp_node.h"

struct IUacUnit;
struct IMiniportInfo;
typedef struct _CYCLIC_CLIENT CYCLIC_CLIENT, *PCYCLIC_CLIENT;

// {3D64C291-9F42-43E5-A468-2C5DC9BB2353}
inline constexpr GUID IID_IStreamEngine = {0x3D64C291, 0x9F42, 0x43E5,
                                           {0xA4, 0x68, 0x2C, 0x5D, 0xC9, 0xBB, 0x23, 0x53}};

// Wave miniport factory handed to SetMiniportCreate: the port-class form
// plus the engine's index in the adapter's engine list. Returns the new
// miniport's unknown with one reference.
typedef NTSTATUS (*PFNCREATEMINIPORT)(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN outerUnknown,
                                      POOL_TYPE poolType, ULONG engineIndex);

struct IStreamEngine : public IUnknown {
    virtual ULONG IsCapture() = 0;
    // ENDPOINT_TYPE of the endpoint, following the terminal-type unit on
    // its path.
    virtual ULONG GetEndpointType() = 0;
    // At most 50 characters; a longer name gives STATUS_INVALID_PARAMETER
    // and keeps the old one.
    virtual NTSTATUS SetName(PCWSTR name) = 0;
    // name holds at least 51 characters.
    virtual NTSTATUS GetName(PWSTR name) = 0;
    virtual ULONG GetFormatCount() = 0;
    virtual NTSTATUS GetFormat(ULONG index, WAVEFORMATEXTENSIBLE* format) = 0;
    virtual ULONG GetUnitCount() = 0;
    // Without an added reference.
    virtual NTSTATUS GetUnit(ULONG index, IUacUnit** unit) = 0;
    virtual NTSTATUS SetMiniportCreate(PFNCREATEMINIPORT create, const GUID* classId) = 0;
    virtual NTSTATUS SetTopology(PUNKNOWN topologyPort, PUNKNOWN topologyMiniport) = 0;
    // Installs the wave subdevice when the endpoint is present (removes it
    // when absent) and connects it to the topology filter.
    virtual NTSTATUS InstallMiniport(PDEVICE_OBJECT fdo, PIRP irp, PUNKNOWN adapter) = 0;
    // Unregisters the connection and the wave subdevice; STATUS_SUCCESS
    // when nothing is installed.
    virtual NTSTATUS RemoveMiniport(PDEVICE_OBJECT fdo) = 0;
    // A plain WAVEFORMATEX that matches is rewritten in place with the
    // engine's record (tag, channels, rate, bytes per second, block,
    // bits; cbSize 0). An extensible one must equal a record in all 40
    // bytes. STATUS_NO_MATCH otherwise.
    virtual NTSTATUS FindFormat(WAVEFORMATEX* format) = 0;
    virtual NTSTATUS RegisterCallback(PCALLBACK_FUNCTION function, PVOID context, PVOID* handle) = 0;
    virtual NTSTATUS UnregisterCallback(PVOID handle) = 0;
    virtual NTSTATUS SetPowerState(DEVICE_POWER_STATE state) = 0;
    // The block data path (data_path.cpp). DISPATCH_LEVEL, no allocation.
    virtual NTSTATUS ProcessData(PUCHAR buffer, ULONG bufferSize) = 0;
    virtual NTSTATUS ProcessDspNodesUnlocked(PUCHAR buffer, ULONG bufferSize) = 0;
    virtual NTSTATUS ProcessDspNodes(PVOID data, ULONG frames, USHORT formatTag) = 0;
    virtual NTSTATUS ProcessClientNodesRaw(PUCHAR buffer, ULONG bufferSize) = 0;
    virtual NTSTATUS ProcessClientNodes(ULONG frames) = 0;
    virtual NTSTATUS ProcessClientPostNodesRaw(PUCHAR buffer, ULONG bufferSize) = 0;
    virtual NTSTATUS ProcessClientPostNodes(ULONG frames) = 0;
    virtual NTSTATUS Init(ULONG isCapture) = 0;
    // Unit id of the pin of the terminal the endpoint's Audio Streaming
    // interface links (bTerminalLink), or UNIT_ID_NONE when the engine
    // does not know one.
    virtual ULONG GetTerminalLink() = 0;
};
typedef IStreamEngine* PSTREAMENGINE;

// Tag of the engine's own blocks (lists, formats, name, work buffers).
inline constexpr ULONG STREAM_ENGINE_TAG = MakePoolTag("Stre");

#define STREAM_NAME_MAX_CHARS 50
#define STREAM_CHUNK_FRAMES 512
#define STREAM_WORK_FLOATS (STREAM_CHUNK_FRAMES * MAX_SOFTWARE_DSP_PROCESS_CHANNELS)
#define STREAM_CHANNEL_BYTES (STREAM_CHUNK_FRAMES * sizeof(float))

// State of the derived USB stream object; the engine only keeps it.
#define STREAM_STATE_CLOSED 0
#define STREAM_STATE_OPENED 1
#define STREAM_STATE_RUNNING 2

// The plain tag of a stream format: wFormatTag, or for WAVE_FORMAT_EXTENSIBLE
// the low 16 bits of SubFormat's first field.
inline USHORT StreamFormatTag(const WAVEFORMATEXTENSIBLE* format) {
    if (format->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) return (USHORT)(format->SubFormat.Data1 & 0xFFFF);
    return format->Format.wFormatTag;
}

// Whether a format given by a caller names the record: an extensible
// format (cbSize at least 22, so all 40 bytes exist) equals it byte for
// byte; a plain one has its channels, rate and bits and its tag as the
// record's plain tag. Used by FindFormat and the alternate-setting lookup.
BOOLEAN StreamFormatMatches(const WAVEFORMATEXTENSIBLE* record, const WAVEFORMATEX* given);

class CStreamEngine : public IStreamEngine, public CUnknown {
public:
    // outer NULL: the object is its own outer unknown. Every other member
    // starts zero (pool new zero-fills).
    CStreamEngine(PUNKNOWN outer, ULONG interfaceNumber);
    // Waits (50 ms polls, no time-out) until every client list is empty.
    // PASSIVE_LEVEL.
    ~CStreamEngine() override;

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // ---- IStreamEngine (stream_engine.cpp, data_path.cpp) ------------------
    ULONG IsCapture() override { return m_bCapture; }
    ULONG GetEndpointType() override;
    NTSTATUS SetName(PCWSTR name) override;
    NTSTATUS GetName(PWSTR name) override;
    ULONG GetFormatCount() override;
    NTSTATUS GetFormat(ULONG index, WAVEFORMATEXTENSIBLE* format) override;
    ULONG GetUnitCount() override;
    NTSTATUS GetUnit(ULONG index, IUacUnit** unit) override;
    NTSTATUS SetMiniportCreate(PFNCREATEMINIPORT create, const GUID* classId) override;
    NTSTATUS SetTopology(PUNKNOWN topologyPort, PUNKNOWN topologyMiniport) override;
    NTSTATUS InstallMiniport(PDEVICE_OBJECT fdo, PIRP irp, PUNKNOWN adapter) override;
    NTSTATUS RemoveMiniport(PDEVICE_OBJECT fdo) override;
    NTSTATUS FindFormat(WAVEFORMATEX* format) override;
    NTSTATUS RegisterCallback(PCALLBACK_FUNCTION function, PVOID context, PVOID* handle) override;
    NTSTATUS UnregisterCallback(PVOID handle) override;
    NTSTATUS SetPowerState(DEVICE_POWER_STATE) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessData(PUCHAR buffer, ULONG bufferSize) override;
    NTSTATUS ProcessDspNodesUnlocked(PUCHAR buffer, ULONG bufferSize) override;
    NTSTATUS ProcessDspNodes(PVOID data, ULONG frames, USHORT formatTag) override;
    NTSTATUS ProcessClientNodesRaw(PUCHAR buffer, ULONG bufferSize) override;
    NTSTATUS ProcessClientNodes(ULONG frames) override;
    NTSTATUS ProcessClientPostNodesRaw(PUCHAR buffer, ULONG bufferSize) override;
    NTSTATUS ProcessClientPostNodes(ULONG frames) override;
    NTSTATUS Init(ULONG isCapture) override;
    ULONG GetTerminalLink() override;

    // ---- set-up by the device core's parsers (PASSIVE_LEVEL, no lock) ------
    // Refuses NULL and formats with 0 channels, rate or block alignment
    // (STATUS_INVALID_PARAMETER): the data path and the packet geometry
    // divide by them.
    NTSTATUS AddFormat(const WAVEFORMATEXTENSIBLE* format);
    NTSTATUS AddUnit(IUacUnit* unit);
    NTSTATUS AddDspNode(IDspNode* node);
    // Fills only what is missing; STATUS_SUCCESS once all buffers exist.
    NTSTATUS AllocateBuffers();

    // ---- client lists (client_lists.cpp); each takes m_SpinLock ------------
    NTSTATUS AddRegisteredClient(PCYCLIC_CLIENT client);
    PCYCLIC_CLIENT FindRegisteredClient(PVOID handle);
    PCYCLIC_CLIENT RemoveRegisteredClient(PVOID handle);
    NTSTATUS InsertAcquiredClient(PCYCLIC_CLIENT client);
    PCYCLIC_CLIENT FindAcquiredClient(PVOID handle);
    PCYCLIC_CLIENT RemoveAcquiredClient(PVOID handle);
    PCYCLIC_CLIENT GetAcquiredHead();
    NTSTATUS InsertRunningClient(PCYCLIC_CLIENT client);
    PCYCLIC_CLIENT FindRunningClient(PVOID handle);
    PCYCLIC_CLIENT RemoveRunningClient(PVOID handle);
    PCYCLIC_CLIENT GetRunningHead();
    NTSTATUS AddClientNode(IDspNode* node);
    NTSTATUS AddClientPostNode(IDspNode* node);
    NTSTATUS RemoveClientNode(IDspNode* node);
    NTSTATUS RemoveClientPostNode(IDspNode* node);
    VOID ReleaseClientNodes();
    VOID ReleaseClientPostNodes();

protected:
    // ---- wave subdevice (wave_subdevice.cpp) --------------------------------
    // Creates the port and the miniport, registers the subdevice under the
    // miniport's name and maps the engine's streaming terminal to its
    // topology pin (m_nTopologyPin). Every interface taken on the way is
    // given back; the port lives on in the registration and in *portOut.
    NTSTATUS InstallWaveSubdevice(PDEVICE_OBJECT fdo, PIRP irp, const GUID* portClass, const GUID* miniportClass,
                                  PFNCREATEMINIPORT create, PUNKNOWN adapter, PUNKNOWN* portOut);
    // Whether a terminal of the endpoint reports a jack plugged in (or has
    // no jack records). PASSIVE_LEVEL.
    BOOLEAN IsJackPresent();
    // RemoveMiniport's steps for an installed subdevice.
    NTSTATUS RemoveWaveSubdevice(PDEVICE_OBJECT fdo);
    // The one debugger line of a failed installation step.
    VOID LogInstallFailure(const char* step, NTSTATUS status);

    // Appends a 40-byte copy of format to list ("Stre").
    static NTSTATUS AppendFormatCopy(CList* list, const WAVEFORMATEXTENSIBLE* format);
    // The list GetFormatCount and GetFormat offer.
    CList* OfferedFormats();

    // ---- data path helpers (data_path.cpp) ---------------------------------
    // Whether the PCM path may run for m_CurrentWaveFormat: 1 to 8 channels,
    // nBlockAlign = nChannels x wBitsPerSample / 8, work buffers present.
    BOOLEAN PcmPathUsable();
    // Chunks of at most 512 frames through the node lists (the client lists
    // too unless dspOnly); the first negative status ends the walk.
    NTSTATUS RunChunks(PUCHAR buffer, ULONG frames, USHORT tag, BOOLEAN dspOnly);
    NTSTATUS RunRaw(CList* list, PUCHAR buffer, ULONG bufferSize, BOOLEAN flush);
    NTSTATUS WalkNodes(CList* list, PVOID data, ULONG frames, BOOLEAN flush);
    VOID PcmToFloat(PUCHAR chunk, ULONG frames);
    VOID FloatToPcm(PUCHAR chunk, ULONG frames);

    // ---- client list helpers -----------------------------------------------
    NTSTATUS InsertByPriority(CList* list, PCYCLIC_CLIENT client);
    PCYCLIC_CLIENT FindByHandle(CList* list, PVOID handle, BOOLEAN remove);
    NTSTATUS AddNodeTo(CList* list, IDspNode* node);
    NTSTATUS RemoveNodeFrom(CList* list, IDspNode* node);
    VOID ReleaseNodesOf(CList* list);

    ULONG m_nInterfaceNumber;
    ULONG m_bCapture;
    PWSTR m_pwszName;
    PUNKNOWN m_pWavePort;
    GUID m_PortClassId;
    PFNCREATEMINIPORT m_pfnCreateMiniport;
    PUNKNOWN m_pTopologyPort;
    IMiniportInfo* m_pTopologyInfo;
    ULONG m_nTopologyPin;
    CList* m_pDspNodes;
    CList* m_pUnits;
    CList* m_pFormats;
    CList* m_pRegisteredClients;
    CList* m_pAcquiredClients;
    CList* m_pRunningClients;
    CList* m_pClientNodes;
    CList* m_pClientPostNodes;
    CList* m_pStereoFormats;
    float* m_pfWorkBuffer;
    float** m_ppfChannels;
    volatile LONG m_StreamState;
    CMutexLock m_Lock;
    KSPIN_LOCK m_SpinLock;
    PCALLBACK_OBJECT m_pCallbackObject;
    WAVEFORMATEXTENSIBLE m_CurrentWaveFormat;
};

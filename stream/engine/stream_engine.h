// IStreamEngine: one streaming endpoint (an AudioStreaming interface) as
// the rest of the driver sees it: direction, endpoint type, name, formats,
// units, its wave subdevice and the block data path.
#pragma once

#include "adapter/base/unknown.h"
#include "nt/ex.h"
#include "platform/portcls/portcls.h"

struct IUacUnit;

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
    virtual NTSTATUS FindFormat(WAVEFORMATEX* format) = 0;
    virtual NTSTATUS RegisterCallback(PCALLBACK_FUNCTION function, PVOID context, PVOID* handle) = 0;
    virtual NTSTATUS UnregisterCallback(PVOID handle) = 0;
    virtual NTSTATUS SetPowerState(DEVICE_POWER_STATE state) = 0;
    virtual NTSTATUS ProcessData(PUCHAR buffer, ULONG bufferSize) = 0;
    virtual NTSTATUS ProcessDspNodesUnlocked(PUCHAR buffer, ULONG bufferSize) = 0;
    virtual NTSTATUS ProcessDspNodes(PVOID data, ULONG frames, USHORT formatTag) = 0;
    virtual NTSTATUS ProcessClientNodesRaw(PUCHAR buffer, ULONG bufferSize) = 0;
    virtual NTSTATUS ProcessClientNodes(ULONG frames) = 0;
    virtual NTSTATUS ProcessClientPostNodesRaw(PUCHAR buffer, ULONG bufferSize) = 0;
    virtual NTSTATUS ProcessClientPostNodes(ULONG frames) = 0;
    virtual NTSTATUS Init(ULONG isCapture) = 0;
};
typedef IStreamEngine* PSTREAMENGINE;

// Test-side control and inspection of the port-class stand-in: failure
// injection per entry point, the reported port-class version, and views of
// what a device has registered (subdevices, connections, power
// management), of the calls a topology port's IPortEvents received and of
// forwarded content. Not for driver code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/portcls/pc_filter_hooks.h"
#include "portcls/portcls.h"

namespace sim {

// Entry points that can be made to fail.
enum class PcCall {
    InitializeAdapterDriver,
    AddAdapterDevice,
    NewPort,
    PortInit,  // IPort::Init of any port
    RegisterSubdevice,
    UnregisterSubdevice,  // IUnregisterSubdevice::UnregisterSubdevice
    RegisterPhysicalConnection,
    UnregisterPhysicalConnection,  // IUnregisterPhysicalConnection::...
    RegisterAdapterPowerManagement,
    NewServiceGroup,
    NewRegistryKey,
    GetDeviceProperty,
    ForwardContentToDeviceObject,
    Count,
};
const char* PcCallName(PcCall call);

// The n-th call of `call` from now (1-based) returns `status` and does
// nothing else. One pending failure per entry point; a later one replaces
// it.
void PcFailNth(PcCall call, uint64_t n, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
void PcClearFailures();
// Calls made since the last PcResetState (failed ones included).
uint64_t PcCallCount(PcCall call);

// The version IPortClsVersion::GetVersion reports (default 11).
void PcSetVersion(DWORD version);

// Back to defaults: no failures, version 11, counters and records cleared,
// filter hooks removed. Devices are not touched. Call at the start of a
// test.
void PcResetState();

// ---- Views of one device (an FDO made by PcAddAdapterDevice) ----------

struct PcSubdeviceView {
    std::u16string name;
    PUNKNOWN port;  // no reference
    PC_PORT_KIND kind;
    const PCFILTER_DESCRIPTOR* descriptor;
    std::vector<std::u16string> interfaceLinks;  // one per filter category
};
std::vector<PcSubdeviceView> PcSubdevices(PDEVICE_OBJECT fdo);
// NULL when no subdevice of that name (any case) is registered.
PUNKNOWN PcFindSubdevice(PDEVICE_OBJECT fdo, const std::u16string& name);

struct PcConnectionView {
    std::u16string fromName;
    ULONG fromPin;
    std::u16string toName;
    ULONG toPin;
};
std::vector<PcConnectionView> PcConnections(PDEVICE_OBJECT fdo);

// The registered adapter power management (no reference), or NULL.
PADAPTERPOWERMANAGEMENT PcRegisteredPowerManagement(PDEVICE_OBJECT fdo);
// The device power state the port class last moved the FDO to.
DEVICE_POWER_STATE PcDevicePowerState(PDEVICE_OBJECT fdo);
// Miniports still held by ports of this device (registered or with open
// filters or pins).
size_t PcLiveMiniports(PDEVICE_OBJECT fdo);

// ---- Recorded calls ---------------------------------------------------

struct PcPortEventCall {
    enum Kind { AddEvent, GenerateEvent } kind;
    PKSEVENT_ENTRY entry;  // AddEvent
    GUID set;              // GenerateEvent
    ULONG eventId;
    BOOL pinEvent;
    ULONG pinId;
    BOOL nodeEvent;
    ULONG nodeId;
};
// IPortEvents calls received by a topology port (any of its interfaces).
std::vector<PcPortEventCall> PcPortEventLog(PUNKNOWN port);

struct PcForwardedContent {
    ULONG contentId;
    PVOID reserved;
    DRMFORWARD forward;
};
std::vector<PcForwardedContent> PcForwardedContentLog();

}  // namespace sim

// Internal shared state of the port-class stand-in: per-device records,
// failure injection and the front-end hook tables. Not for driver code.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/portcls/pc_filter_hooks.h"
#include "platform/portcls/pc_object.h"
#include "portcls/portcls.h"
#include "platform/portcls/sim_portcls.h"

namespace pcls {

class CPortBase;

// Pool tags of the port class's own objects.
constexpr ULONG kTagPort = MakePoolTag("PcPt");
constexpr ULONG kTagServiceGroup = MakePoolTag("PcSg");
constexpr ULONG kTagRegistryKey = MakePoolTag("PcRk");
constexpr ULONG kTagPinSink = MakePoolTag("PcPs");

// Counts the call and answers the failure a test injected for it, else
// STATUS_SUCCESS.
NTSTATUS CheckCall(sim::PcCall call);
DWORD ReportedVersion();
// The hooks of a port kind; an all-NULL table when none are installed.
PC_FILTER_HOOKS FilterHooks(PC_PORT_KIND kind);
void RecordForwardedContent(ULONG contentId, PVOID reserved, const DRMFORWARD& forward);

// Case-insensitive (ASCII) equality of subdevice names.
bool NamesEqual(const std::u16string& a, const std::u16string& b);
std::u16string ToU16(PCWSTR text);
std::u16string ToU16(const UNICODE_STRING& text);

struct Subdevice {
    std::u16string name;
    CPortBase* port;                    // one reference held by the registration
    std::vector<UNICODE_STRING> links;  // enabled device interfaces (pool strings)
};

struct Connection {
    CPortBase* from;
    ULONG fromPin;
    CPortBase* to;
    ULONG toPin;
};

// The port class's record of one FDO. Created by PcAddAdapterDevice,
// deleted by IRP_MN_REMOVE_DEVICE after the FDO is deleted. Tables are
// guarded by `lock`, which is never held while calling out of the port
// class.
class PcDevice {
public:
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    PCPFNSTARTDEVICE startDevice = nullptr;
    ULONG maxObjects = 0;
    DEVICE_POWER_STATE powerState = PowerDeviceD0;

    std::mutex lock;
    std::vector<Subdevice> subdevices;
    std::vector<Connection> connections;
    PADAPTERPOWERMANAGEMENT power = nullptr;  // one reference held
    // Every port initialised on this FDO (no references): STOP and REMOVE
    // make each release its miniport, registered or not, so that the
    // port<->miniport reference cycle cannot outlive the device.
    std::vector<CPortBase*> boundPorts;
};

// The record of an FDO made by PcAddAdapterDevice, or NULL for any other
// device object.
PcDevice* DeviceFromFdo(PVOID fdo);

// Unregisters everything: connections, every subdevice (last registered
// first), the power-management registration; then every port still bound
// to the device drops its miniport.
void TeardownDevice(PcDevice* device);
// Detaches bound ports from a device that is going away.
void ForgetDevice(PcDevice* device);
// Miniports of the device's registered subdevices, in registration order,
// each with a reference the caller releases.
std::vector<PMINIPORT> RegisteredMiniports(PcDevice* device);

// Called by a port on Init and on destruction.
void BindPort(PcDevice* device, CPortBase* port);
void UnbindPort(PcDevice* device, CPortBase* port);

// Filter handle bookkeeping (FILE_OBJECT.FsContext of an open filter).
struct PcFilter {
    PC_FILTER_INSTANCE instance;
    CPortBase* port;  // one reference
};
extern const ULONG kFilterMagic;
PcFilter* FilterFromFile(PFILE_OBJECT file);
NTSTATUS OpenFilter(PcDevice* device, PIRP irp);
void CloseFilter(PcFilter* filter);
NTSTATUS FilterDeviceControl(PIRP irp);

}  // namespace pcls

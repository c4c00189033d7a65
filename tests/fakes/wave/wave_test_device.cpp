#include "tests/fakes/wave/wave_test_device.h"

#include "portcls/portcls.h"
#include "nt/rtl.h"
#include "topology/miniport_topology.h"

namespace wavefakes {

namespace {

struct DeviceState {
    PFNCREATEINSTANCE createTopology = NULL;
    PDEVICE_OBJECT fdo = NULL;
    PUNKNOWN topologyPort = NULL;      // one reference while started
    PUNKNOWN topologyMiniport = NULL;  // one reference while started
};
DeviceState g_State;

void DropTopology() {
    if (g_State.topologyMiniport) g_State.topologyMiniport->Release();
    if (g_State.topologyPort) g_State.topologyPort->Release();
    g_State.topologyMiniport = g_State.topologyPort = NULL;
}

NTSTATUS StartDevice(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST) {
    PPORT port = NULL;
    NTSTATUS status = PcNewPort(&port, CLSID_PortTopology);
    if (!NT_SUCCESS(status)) return status;
    PUNKNOWN miniport = NULL;
    status = g_State.createTopology(&miniport, CLSID_PortTopology, NULL, NonPagedPoolNx);
    if (NT_SUCCESS(status)) status = port->Init(fdo, irp, miniport, NULL, NULL);
    if (NT_SUCCESS(status)) status = PcRegisterSubdevice(fdo, u"GlobalTopo", port);
    if (NT_SUCCESS(status)) {
        g_State.topologyPort = port;
        g_State.topologyMiniport = miniport;
        return status;
    }
    if (miniport) miniport->Release();
    port->Release();
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    NTSTATUS status = PcAddAdapterDevice(driver, pdo, StartDevice, 8, (ULONG)DEVICE_EXTENSION_SIZE);
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT fdo = IoGetAttachedDevice(pdo);
    PDEVICE_CONTEXT context = GetDeviceContext(fdo);
    RtlZeroMemory(context, sizeof(*context));
    context->Fdo = fdo;
    context->Pdo = pdo;
    KeInitializeMutex(&context->MiniportMutex, 0);
    g_State.fdo = fdo;
    return status;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_STOP_DEVICE) DropTopology();
    if (minor == IRP_MN_REMOVE_DEVICE) g_State.fdo = NULL;
    return PcDispatchIrp(fdo, irp);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    NTSTATUS status = PcInitializeAdapterDriver(driver, registryPath, AddDevice);
    if (NT_SUCCESS(status)) driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    return status;
}

}  // namespace

WaveTestDevice::WaveTestDevice(PFNCREATEINSTANCE createTopology) : m_Harness(new sim::PnpHarness()) {
    g_State = DeviceState();
    g_State.createTopology = createTopology;
}

WaveTestDevice::~WaveTestDevice() {
    m_Harness.reset();
    DropTopology();
    g_State = DeviceState();
}

NTSTATUS WaveTestDevice::Start() {
    NTSTATUS status = m_Harness->LoadDriver(DriverEntry);
    if (NT_SUCCESS(status)) status = m_Harness->AddDevice();
    if (NT_SUCCESS(status)) status = m_Harness->StartDevice();
    return status;
}

PDEVICE_OBJECT WaveTestDevice::Fdo() const { return g_State.fdo; }
PUNKNOWN WaveTestDevice::TopologyPort() const { return g_State.topologyPort; }
PUNKNOWN WaveTestDevice::TopologyMiniport() const { return g_State.topologyMiniport; }

}  // namespace wavefakes

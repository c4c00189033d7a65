// StartDevice: builds the whole device on IRP_MN_START_DEVICE. Version
// check, the adapter and its model, power management, the topology
// subdevice, one named wave subdevice per stream engine, the model's
// start, then the adapter is published and the private interfaces are
// enabled. Any failure leaves nothing published and the model stopped,
// and one debugger line that names the failed step (adapter/base/start_log.h).
#include "adapter/audio_hal.h"
#include "adapter/base/start_log.h"
#include "adapter/driver_entry.h"
#include "adapter/family_choice.h"
#include "nt/dbg.h"
#include "nt/rtl.h"
#include "stream/engine/stream_engine.h"
#include "topology/miniport_topology.h"

namespace {

constexpr DWORD kMinimumPortClassVersion = 11;

NTSTATUS LogEngineFailure(ULONG index, const char* step, NTSTATUS status) {
    DbgPrint("stream engine %u: %s failed (status %x); the device is not started\n", (unsigned)index, step,
             (unsigned)status);
    return status;
}

NTSTATUS CheckPortClassVersion() {
    PPORT port = NULL;
    NTSTATUS status = PcNewPort(&port, CLSID_PortWaveCyclic);
    if (!NT_SUCCESS(status)) return status;
    PPORTCLSVERSION version = NULL;
    status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(port->QueryInterface(IID_IPortClsVersion, reinterpret_cast<PVOID*>(&version))) && version) {
        if (version->GetVersion() >= kMinimumPortClassVersion) status = STATUS_SUCCESS;
        version->Release();
    }
    port->Release();
    return status;
}

// Installs one engine: its name, miniport factory, topology and wave
// subdevice. *asio: the engine is offered to the ASIO interface.
NTSTATUS InstallEngine(PDEVICE_CONTEXT context, PDEVICE_OBJECT fdo, PIRP irp, IAudioHal* audioHal, ULONG index,
                       PUNKNOWN adapter, PUNKNOWN topologyPort, PUNKNOWN topologyMiniport, PWSTR name,
                       BOOLEAN* asio) {
    IStreamEngine* engine = NULL;
    NTSTATUS status = audioHal->GetStreamEngine(index, &engine);
    if (NT_SUCCESS(status) && engine == NULL) status = STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(status)) return LogEngineFailure(index, "the engine lookup", status);
    ULONG type = engine->GetEndpointType();
    BOOLEAN capture = engine->IsCapture() != 0;
    // The type indexes the name table and the counters.
    if (type >= ENDPOINT_TYPE_COUNT) return LogEngineFailure(index, "the endpoint type", STATUS_INVALID_PARAMETER);
    UCHAR* counter = capture ? &context->CaptureNameCounter[type] : &context->RenderNameCounter[type];
    status = FormatEndpointName(name, capture, type, (*counter)++);
    if (NT_SUCCESS(status)) status = engine->SetName(name);
    if (!NT_SUCCESS(status)) return LogEngineFailure(index, "the endpoint name", status);
    PFNCREATEMINIPORT createWave = GetDriverFactories()->CreateWaveMiniport;
    if (createWave == NULL) status = STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(status)) status = engine->SetMiniportCreate(createWave, &CLSID_PortWaveCyclic);
    if (NT_SUCCESS(status)) status = engine->SetTopology(topologyPort, topologyMiniport);
    if (!NT_SUCCESS(status)) return LogEngineFailure(index, "the wave miniport's set-up", status);
    // The installation logs its own failing step.
    status = engine->InstallMiniport(fdo, irp, adapter);
    if (!NT_SUCCESS(status)) return status;
    ENDPOINT_CAPS caps = {};
    audioHal->GetStreamEngineCapabilities(index, &caps);  // a failure: not an ASIO endpoint
    if (caps.Flags & ENDPOINT_CAPS_ASIO) *asio = TRUE;
    return STATUS_SUCCESS;
}

NTSTATUS InstallSubdevices(PDEVICE_CONTEXT context, PDEVICE_OBJECT fdo, PIRP irp, IAudioHal* audioHal,
                           PUNKNOWN adapter, BOOLEAN* asio) {
    auto* name = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, ENDPOINT_NAME_CCH * sizeof(WCHAR), HAL_TEMP_TAG));
    if (name == NULL) return LogStartFailure("the endpoint name buffer", STATUS_INSUFFICIENT_RESOURCES);
    PUNKNOWN topologyPort = NULL, topologyMiniport = NULL;
    NTSTATUS status = InstallSubdevice(fdo, irp, CLSID_PortTopology, CLSID_PortTopology,
                                       GetDriverFactories()->CreateTopologyMiniport, adapter, &topologyPort,
                                       &topologyMiniport);
    LogStartFailure("the topology subdevice", status);
    ULONG engines = NT_SUCCESS(status) ? audioHal->GetStreamEngineCount() : 0;
    for (ULONG i = 0; i < engines && NT_SUCCESS(status); ++i)
        status = InstallEngine(context, fdo, irp, audioHal, i, adapter, topologyPort, topologyMiniport, name, asio);
    if (topologyPort != NULL) topologyPort->Release();
    ExFreePoolWithTag(name, HAL_TEMP_TAG);
    return status;
}

// Publishes the adapter, then enables the interfaces; a failed
// enumeration interface takes the publication back. An enumeration
// interface AddDevice could not register is left out, as AddDevice
// tolerated it.
NTSTATUS PublishAdapter(PDEVICE_CONTEXT context, IAudioHal* audioHal, BOOLEAN asio) {
    audioHal->AddRef();
    context->AudioHal = audioHal;
    if (asio && NT_SUCCESS(IoSetDeviceInterfaceState(&context->AsioInterfaceName, TRUE)))
        context->AsioInterfaceEnabled = TRUE;
    if (!context->EnumInterfaceRegistered) return STATUS_SUCCESS;
    NTSTATUS status = IoSetDeviceInterfaceState(&context->EnumInterfaceName, TRUE);
    if (NT_SUCCESS(status)) {
        context->EnumInterfaceEnabled = TRUE;
        return status;
    }
    if (context->AsioInterfaceEnabled) {
        IoSetDeviceInterfaceState(&context->AsioInterfaceName, FALSE);
        context->AsioInterfaceEnabled = FALSE;
    }
    context->AudioHal = NULL;
    audioHal->Release();
    return LogStartFailure("enabling the enumeration interface", status);
}

}  // namespace

NTSTATUS StartDevice(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST resources) {
    PAGED_CODE();
    PDEVICE_CONTEXT context = GetDeviceContext(fdo);
    if (context->AudioHal != NULL) TearDownAdapter(context, fdo);
    NTSTATUS status = CheckPortClassVersion();
    if (!NT_SUCCESS(status)) return LogStartFailure("the port-class version check", status);

    PUNKNOWN adapter = NULL;
    status = CreateUsbAudioHal(&adapter);
    if (!NT_SUCCESS(status)) return LogStartFailure("creating the adapter", status);
    IAudioHal* audioHal = NULL;
    status = LogStartFailure("the adapter's IAudioHal",
                             adapter->QueryInterface(IID_IAudioHal, reinterpret_cast<PVOID*>(&audioHal)));
    // Init logs its own failing step.
    if (NT_SUCCESS(status)) status = audioHal->Init(resources, fdo, context->LowerDevice, context->Pdo);
    if (NT_SUCCESS(status))
        status = LogStartFailure("the power-management registration", PcRegisterAdapterPowerManagement(adapter, fdo));
    BOOLEAN asio = FALSE;
    if (NT_SUCCESS(status)) status = InstallSubdevices(context, fdo, irp, audioHal, adapter, &asio);
    if (NT_SUCCESS(status)) {
        // The model's Start logs its own failing step.
        status = audioHal->Start();
        // Nothing after a started model may leave its thread running.
        if (NT_SUCCESS(status)) {
            status = PublishAdapter(context, audioHal, asio);
            if (!NT_SUCCESS(status)) audioHal->Stop();
        }
    }
    if (audioHal != NULL) audioHal->Release();
    adapter->Release();
    return status;
}

NTSTATUS InstallSubdevice(PDEVICE_OBJECT fdo, PIRP irp, REFCLSID portClass, REFCLSID miniportClass,
                          PFNCREATEINSTANCE create, PUNKNOWN adapter, PUNKNOWN* portOut,
                          PUNKNOWN* miniportOut) {
    PAGED_CODE();
    if (miniportOut == NULL || adapter == NULL) return STATUS_INVALID_PARAMETER;
    *miniportOut = NULL;
    if (portOut != NULL) *portOut = NULL;
    IAudioHal* check = NULL;
    NTSTATUS status = adapter->QueryInterface(IID_IAudioHal, reinterpret_cast<PVOID*>(&check));
    if (!NT_SUCCESS(status)) return status;
    PPORT port = NULL;
    PUNKNOWN miniport = NULL;
    IMiniportInfo* info = NULL;
    status = PcNewPort(&port, portClass);
    if (NT_SUCCESS(status) && create == NULL) status = STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(status)) status = create(&miniport, miniportClass, NULL, NonPagedPoolNx);
    if (NT_SUCCESS(status)) status = port->Init(fdo, irp, miniport, adapter, NULL);
    if (NT_SUCCESS(status)) status = miniport->QueryInterface(IID_IMiniportInfo, reinterpret_cast<PVOID*>(&info));
    PWSTR name = NULL;
    if (NT_SUCCESS(status)) status = info->GetName(&name);
    if (NT_SUCCESS(status)) status = PcRegisterSubdevice(fdo, name, port);
    if (NT_SUCCESS(status) && portOut != NULL) status = port->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(portOut));
    if (NT_SUCCESS(status)) *miniportOut = miniport;
    // Every path gives back what it took; the registered port holds the
    // miniport.
    if (info != NULL) info->Release();
    if (miniport != NULL) miniport->Release();
    if (port != NULL) port->Release();
    check->Release();
    return status;
}

// An adapter object for the driver-entry, dispatch and start-up tests that
// do not need the USB device: a CAudioHal (as every adapter and model is)
// whose IAudioHal answers with the engines of NextAdapter(),
// IAsioDevice answered by the ASIO recorder, IAdapterPowerManagement.
// Linking fake_adapter_factory makes StartDevice create it (in place of
// CUsbAudioHal). Notes "adapter:init", ":start", ":stop", ":preprocess",
// ":power:D<n>", ":gone".
#pragma once

#include <vector>

#include "adapter/base/unknown.h"
#include "adapter/audio_hal.h"
#include "adapter/private_interfaces.h"
#include "tests/fakes/adapter/fake_engine.h"

namespace fakes {

struct AdapterScript {
    std::vector<EngineSpec> engines;
    NTSTATUS initStatus = STATUS_SUCCESS;
    NTSTATUS startStatus = STATUS_SUCCESS;
    bool asioDevice = true;  // answers IID_IAsioDevice
};

AdapterScript& NextAdapter();

struct AdapterRecord {
    int created = 0;
    int destroyed = 0;
    int running = 0;
};
AdapterRecord& Adapters();
void ResetAdapters();

class FakeAdapter : public IAsioDevice, public CAudioHal {
public:
    explicit FakeAdapter(const AdapterScript& script);
    ~FakeAdapter() override;

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // IAudioHal
    NTSTATUS GetStreamEngineCapabilities(ULONG index, ENDPOINT_CAPS* caps) override;
    NTSTATUS GetComponentId(KSCOMPONENTID*) override { return STATUS_INVALID_DEVICE_REQUEST; }
    ULONG GetStreamEngineCount() override { return (ULONG)m_Engines.size(); }
    NTSTATUS GetStreamEngine(ULONG index, IStreamEngine** engine) override;
    ULONG GetUnitCount() override { return 0; }
    NTSTATUS GetUnit(ULONG, IUacUnit** unit) override;
    PDEVICE_OBJECT GetDeviceObject() override { return m_Fdo; }
    NTSTATUS Init(PRESOURCELIST, PDEVICE_OBJECT fdo, PDEVICE_OBJECT, PDEVICE_OBJECT) override;
    NTSTATUS Start() override;
    NTSTATUS Stop() override;
    NTSTATUS RegisterCallback(PCALLBACK_FUNCTION, PVOID, PVOID*) override { return STATUS_UNSUCCESSFUL; }
    NTSTATUS UnregisterCallback(PVOID) override { return STATUS_SUCCESS; }
    NTSTATUS PreprocessIrp(PIRP) override;
    NTSTATUS InitHardware() override { return STATUS_SUCCESS; }
    NTSTATUS ConnectUnits() override { return STATUS_SUCCESS; }
    NTSTATUS GetEndpointCapabilities(BOOLEAN, ULONG, ENDPOINT_CAPS* caps) override;

    // IAdapterPowerManagement
    VOID PowerChangeState(POWER_STATE newState) override;
    NTSTATUS QueryPowerChangeState(POWER_STATE) override { return STATUS_SUCCESS; }
    NTSTATUS QueryDeviceCapabilities(PDEVICE_CAPABILITIES) override { return STATUS_SUCCESS; }

    // IAsioDevice: the recorder's answers.
    NTSTATUS AsioOpen(PFILE_OBJECT file) override;
    NTSTATUS AsioUnused(PFILE_OBJECT file) override;
    NTSTATUS AsioClose(PFILE_OBJECT file) override;
    NTSTATUS AsioGetDriverName(PFILE_OBJECT file, CHAR* out, ULONG* length) override;
    NTSTATUS AsioGetChannels(PFILE_OBJECT file, ULONG* out, ULONG outLength) override;
    NTSTATUS AsioGetChannelInfo(PFILE_OBJECT file, ASIOChannelInfo* inOut, ULONG outLength) override;
    NTSTATUS AsioSetNotifyEvent(PFILE_OBJECT file, const HANDLE* event) override;
    NTSTATUS AsioClearNotifyEvent(PFILE_OBJECT file) override;
    NTSTATUS AsioGetBuffersCreated(PFILE_OBJECT file, ULONG* out) override;
    NTSTATUS AsioGetSampleTypes(PFILE_OBJECT file, ULONG* out, ULONG* length) override;
    NTSTATUS AsioGetLatencyTable(PFILE_OBJECT file, ULONG* out, ULONG* length) override;
    NTSTATUS AsioSetSampleType(PFILE_OBJECT file, ULONG type) override;
    NTSTATUS AsioSetLatency(PFILE_OBJECT file, ULONG index) override;
    NTSTATUS AsioGetLatencies(PFILE_OBJECT file, ULONG* out) override;
    NTSTATUS AsioGetSampleRate(PFILE_OBJECT file, ULONG* out) override;
    NTSTATUS AsioCanSampleRate(PFILE_OBJECT file, const ULONG* rate) override;
    NTSTATUS AsioSetSampleRate(PFILE_OBJECT file, const ULONG* rate) override;
    NTSTATUS AsioGetBufferSize(PFILE_OBJECT file, ULONG* out) override;
    NTSTATUS AsioCreateBuffers(PFILE_OBJECT file, const VOID* request, PVOID out, ULONG* outLength) override;
    NTSTATUS AsioDisposeBuffers(PFILE_OBJECT file) override;
    NTSTATUS AsioStart(PFILE_OBJECT file, const HANDLE* event) override;
    NTSTATUS AsioStop(PFILE_OBJECT file, PIRP irp) override;
    NTSTATUS AsioCanIoFormat(PFILE_OBJECT file, const ULONG* mode) override;
    NTSTATUS AsioSetIoFormat(PFILE_OBJECT file, const ULONG* mode) override;
    NTSTATUS AsioGetIoFormat(PFILE_OBJECT file, ULONG* out) override;

private:
    AdapterScript m_Script;
    std::vector<FakeEngine*> m_Engines;
    PDEVICE_OBJECT m_Fdo = NULL;
    bool m_Running = false;
};

}  // namespace fakes

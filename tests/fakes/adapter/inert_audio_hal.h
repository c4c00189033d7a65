// A CAudioHal for fakes that only lend stream engines and a device object:
// no units, no engines unless the fake overrides them, lifecycle calls that
// succeed and touch nothing, no callbacks and no capability records. It is
// a CAudioHal so that code which takes an IAudioHal for the driver's own
// base (the entities add their nodes through CAudioHal::AddUnit) finds one.
// The fake supplies its QueryInterface answers and GetDeviceObject.
#pragma once

#include "adapter/audio_hal.h"

namespace fakes {

class InertAudioHal : public CAudioHal {
public:
    explicit InertAudioHal(PUNKNOWN outer) : CAudioHal(outer) {}

    NTSTATUS GetStreamEngineCapabilities(ULONG, ENDPOINT_CAPS*) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS GetComponentId(KSCOMPONENTID*) override { return STATUS_NOT_SUPPORTED; }
    ULONG GetStreamEngineCount() override { return 0; }
    NTSTATUS GetStreamEngine(ULONG, IStreamEngine**) override { return STATUS_UNSUCCESSFUL; }
    ULONG GetUnitCount() override { return 0; }
    NTSTATUS GetUnit(ULONG, IUacUnit**) override { return STATUS_UNSUCCESSFUL; }
    NTSTATUS Init(PRESOURCELIST, PDEVICE_OBJECT, PDEVICE_OBJECT, PDEVICE_OBJECT) override { return STATUS_SUCCESS; }
    NTSTATUS Start() override { return STATUS_SUCCESS; }
    NTSTATUS Stop() override { return STATUS_SUCCESS; }
    NTSTATUS RegisterCallback(PCALLBACK_FUNCTION, PVOID, PVOID*) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS UnregisterCallback(PVOID) override { return STATUS_SUCCESS; }
    NTSTATUS PreprocessIrp(PIRP) override { return STATUS_SUCCESS; }
    NTSTATUS InitHardware() override { return STATUS_SUCCESS; }
    NTSTATUS ConnectUnits() override { return STATUS_SUCCESS; }
    NTSTATUS GetEndpointCapabilities(BOOLEAN, ULONG, ENDPOINT_CAPS*) override { return STATUS_NOT_SUPPORTED; }
};

}  // namespace fakes

// Contract-keeping stand-in for the adapter's IAudioHal (device core, not
// built yet): a unit list in the order added (each holding a reference), a
// real named callback object "\Callback\AudioHalAddr%p" for unit
// notifications, and a device object for the settings accessors. Switches
// make its QueryInterface for IID_IAudioHal or its RegisterCallback fail.
#pragma once

#include <vector>

#include "adapter/base/unknown.h"
#include "adapter/audio_hal.h"
#include "topology/unit_base.h"

namespace fakes {

class CFakeAudioHal : public IAudioHal, public CUnknown {
public:
    // A new adapter with one reference (the caller releases it).
    static CFakeAudioHal* Create();

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // Appends with a reference, as the adapter's AddUnit does.
    NTSTATUS AddUnit(IUacUnit* unit);
    // Sends {type, code, id} on the callback object, as a unit does.
    void Notify(ULONG id, ULONG type = AUDIOHAL_NOTIFY_CONTROL_CHANGE, ULONG code = AUDIOHAL_NOTIFY_CODE);
    ULONG RegistrationCount() const { return m_Registrations; }

    bool FailAudioHalQuery = false;
    bool FailRegisterCallback = false;
    ENDPOINT_CAPS Caps = {};

    NTSTATUS GetStreamEngineCapabilities(ULONG index, ENDPOINT_CAPS* caps) override;
    NTSTATUS GetComponentId(KSCOMPONENTID*) override { return STATUS_INVALID_DEVICE_REQUEST; }
    ULONG GetStreamEngineCount() override { return 0; }
    NTSTATUS GetStreamEngine(ULONG, IStreamEngine** engine) override;
    ULONG GetUnitCount() override { return (ULONG)m_Units.size(); }
    NTSTATUS GetUnit(ULONG index, IUacUnit** unit) override;
    PDEVICE_OBJECT GetDeviceObject() override;
    NTSTATUS Init(PRESOURCELIST, PDEVICE_OBJECT, PDEVICE_OBJECT, PDEVICE_OBJECT) override {
        return STATUS_SUCCESS;
    }
    NTSTATUS Start() override { return STATUS_SUCCESS; }
    NTSTATUS Stop() override { return STATUS_SUCCESS; }
    NTSTATUS RegisterCallback(PCALLBACK_FUNCTION function, PVOID context, PVOID* registration) override;
    NTSTATUS UnregisterCallback(PVOID registration) override;
    NTSTATUS PreprocessIrp(PIRP) override { return STATUS_SUCCESS; }
    NTSTATUS InitHardware() override { return STATUS_SUCCESS; }
    NTSTATUS ConnectUnits() override { return STATUS_SUCCESS; }
    NTSTATUS GetEndpointCapabilities(BOOLEAN, ULONG, ENDPOINT_CAPS* caps) override;

private:
    explicit CFakeAudioHal(PUNKNOWN outer);
    ~CFakeAudioHal() override;

    std::vector<IUacUnit*> m_Units;
    PCALLBACK_OBJECT m_CallbackObject = NULL;
    ULONG m_Registrations = 0;
};

}  // namespace fakes

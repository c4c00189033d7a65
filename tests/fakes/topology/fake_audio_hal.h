// Contract-keeping stand-in for the adapter's IAudioHal in the topology
// tests: a CAudioHal (entities add their nodes through CAudioHal::AddUnit)
// with its unit list ready from creation (in the order added, each holding a
// reference), a real named callback object "\Callback\AudioHalAddr%p" for
// unit notifications, and a device object for the settings accessors.
// Nothing is started or stopped, and there are no stream engines. Switches
// make its QueryInterface for IID_IAudioHal or its RegisterCallback fail.
#pragma once

#include "adapter/base/unknown.h"
#include "adapter/audio_hal.h"
#include "topology/unit_base.h"

namespace fakes {

class CFakeAudioHal : public CAudioHal {
public:
    // A new adapter with one reference (the caller releases it).
    static CFakeAudioHal* Create();

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // Sends {type, code, id} on the callback object, as a unit does.
    void Notify(ULONG id, ULONG type = AUDIOHAL_NOTIFY_CONTROL_CHANGE, ULONG code = AUDIOHAL_NOTIFY_CODE);
    ULONG RegistrationCount() const { return m_Registrations; }

    bool FailAudioHalQuery = false;
    bool FailRegisterCallback = false;
    ENDPOINT_CAPS Caps = {};

    NTSTATUS GetStreamEngineCapabilities(ULONG index, ENDPOINT_CAPS* caps) override;
    NTSTATUS GetStreamEngine(ULONG, IStreamEngine** engine) override;
    PDEVICE_OBJECT GetDeviceObject() override;
    NTSTATUS Init(PRESOURCELIST, PDEVICE_OBJECT, PDEVICE_OBJECT, PDEVICE_OBJECT) override {
        return STATUS_SUCCESS;
    }
    NTSTATUS Start() override { return STATUS_SUCCESS; }
    NTSTATUS Stop() override { return STATUS_SUCCESS; }
    NTSTATUS RegisterCallback(PCALLBACK_FUNCTION function, PVOID context, PVOID* registration) override;
    NTSTATUS UnregisterCallback(PVOID registration) override;
    NTSTATUS InitHardware() override { return STATUS_SUCCESS; }
    NTSTATUS ConnectUnits() override { return STATUS_SUCCESS; }
    NTSTATUS GetEndpointCapabilities(BOOLEAN, ULONG, ENDPOINT_CAPS* caps) override;

private:
    explicit CFakeAudioHal(PUNKNOWN outer);
    ~CFakeAudioHal() override;

    ULONG m_Registrations = 0;
};

}  // namespace fakes

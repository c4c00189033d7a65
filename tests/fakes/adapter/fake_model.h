// A device-family model for the adapter tests: a CAudioHal aggregated by
// the adapter (IUacHal optional) whose InitHardware adds the engines and
// units of the script in NextModel(). The factory table FakeModelFactories()
// fills every model slot with it (each slot notes its name and the chip
// variant) and uses the fake miniports. Notes "model:<slot>:<vid>:<pid>:<variant>",
// "model:init", "model:start", "model:stop", "model:power:D<n>",
// "model:gone".
#pragma once

#include <vector>

#include "adapter/base/unknown.h"
#include "adapter/audio_hal.h"
#include "adapter/family_choice.h"
#include "adapter/uac_hal.h"
#include "tests/fakes/adapter/fake_engine.h"

namespace fakes {

struct ModelScript {
    std::vector<EngineSpec> engines;
    std::vector<UnitSpec> units;
    bool uacHal = true;  // answers IID_IUacHal
    NTSTATUS initHardwareStatus = STATUS_SUCCESS;
    NTSTATUS startStatus = STATUS_SUCCESS;
};

// The script the next model created follows (reset by each fixture).
ModelScript& NextModel();

// What became of the models.
struct ModelRecord {
    int created = 0;
    int destroyed = 0;
    int running = 0;  // started and not stopped (its "status thread")
};
ModelRecord& Models();
void ResetModels();

// Every model slot creates the fake model; the fake miniports.
DRIVER_FACTORIES FakeModelFactories();

class FakeModel : public IUacHal, public CAudioHal {
public:
    FakeModel(PUNKNOWN outer, const ModelScript& script);
    ~FakeModel() override;

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    NTSTATUS InitHardware() override;
    NTSTATUS Start() override;
    NTSTATUS Stop() override;
    VOID PowerChangeState(POWER_STATE newState) override;

    NTSTATUS UpdateSubdevices(ULONG) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS GetCallbackObject(PVOID* object) override;
    NTSTATUS ParseAudioControl(const UCHAR*, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS ParseAudioStreaming(const USB_CONFIGURATION_DESCRIPTOR*, const UCHAR*, ULONG) override {
        return STATUS_SUCCESS;
    }
    NTSTATUS InitChip() override { return STATUS_SUCCESS; }

    // The model's endpoint capabilities are those of each engine's spec.
    NTSTATUS GetStreamEngineCapabilities(ULONG index, ENDPOINT_CAPS* caps) override;

private:
    ModelScript m_Script;
    bool m_Running = false;
};

}  // namespace fakes

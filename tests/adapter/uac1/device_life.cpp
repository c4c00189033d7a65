// One device life on its own kernel scope.
#include "tests/adapter/uac1/device_life.h"

#include <memory>

#include "adapter/audio_hal.h"
#include "adapter/device_context.h"
#include "adapter/driver_entry.h"
#include "platform/portcls/sim_portcls.h"
#include "sim/executor.h"
#include "sim/pool.h"
#include "sim/registry.h"
#include "usb/usb_port.h"

namespace uac1test {

const char16_t kNeutralModelString[] = u"GENERIC-UAC1";

namespace {

// The adapter through Init, Start and Stop; the release destroys it with
// the model, whose threads have ended by then.
void Live(simusb::SimUsbPort& port, uint64_t failAllocation, LifeOutcome* outcome) {
    if (port.harness().LoadDriver(DriverEntry) != STATUS_SUCCESS || port.harness().AddDevice() != STATUS_SUCCESS) {
        outcome->problems = "driver load or AddDevice failed\n";
        return;
    }
    sim::PoolResetCounters();
    if (failAllocation != 0) sim::PoolFailNth(failAllocation);
    PUNKNOWN adapter = NULL;
    outcome->init = CreateUsbAudioHal(&adapter);
    if (!NT_SUCCESS(outcome->init)) return;
    IAudioHal* hal = NULL;
    outcome->init = adapter->QueryInterface(IID_IAudioHal, reinterpret_cast<PVOID*>(&hal));
    if (NT_SUCCESS(outcome->init)) {
        hal->Release();
        PDEVICE_CONTEXT context = GetDeviceContext(port.harness().TopDevice());
        outcome->init = hal->Init(NULL, port.harness().TopDevice(), context->LowerDevice, context->Pdo);
        if (NT_SUCCESS(outcome->init)) outcome->start = hal->Start();
        hal->Stop();
    }
    adapter->Release();
    sim::PoolClearFailures();
}

}  // namespace

LifeOutcome RunDeviceLife(const simusb::DescriptorSet& set, uint64_t failAllocation, uint64_t* attempts) {
    LifeOutcome outcome;
    sim::PoolClearFailures();
    auto scope = std::make_unique<sim::KernelScope>();
    sim::RegistryReset();
    sim::PcResetState();
    {
        simusb::SimUsbPort port(set);
        Live(port, failAllocation, &outcome);
        if (attempts != nullptr) *attempts = sim::PoolAllocationAttempts();
    }
    sim::PcResetState();
    outcome.problems += scope->Finish().problems;
    return outcome;
}

simusb::DescriptorSet DeviceAround(const simusb::Bytes& configuration) {
    simusb::DeviceFields fields;
    fields.idVendor = 0x1209;
    fields.idProduct = 0x7A2F;
    simusb::DescriptorSet set;
    set.device = simusb::BuildDeviceDescriptor(fields);
    set.configuration = configuration;
    set.strings[0] = simusb::BuildLanguageIds({0x0409});
    set.strings[0x50] = simusb::BuildStringDescriptor(kNeutralModelString);
    return set;
}

}  // namespace uac1test

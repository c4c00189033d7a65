// Fixture of the UAC 1.0 model tests: a simulated device (a descriptor
// fixture file or a built set) on the PnP harness with the driver loaded
// and its FDO added, and the real adapter object whose Init creates the
// model through the factory table (the recording model of
// tests/fakes/uac1 by default) and runs its InitHardware and parsers. The
// scope's end checks threads, handles and pool.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "adapter/device_context.h"
#include "adapter/family_choice.h"
#include "adapter/model/uac1_hal.h"
#include "sim/kernel_test.h"
#include "tests/adapter/uac1/device_life.h"
#include "tests/fakes/uac1/recording_model.h"
#include "usb/usb_port.h"

namespace uac1test {

using simusb::Bytes;
using simusb::DescriptorSet;

// tests/fixtures/uac1/<name>.hex with kNeutralModelString at 0x50.
DescriptorSet LoadFixture(const std::string& name);
// tests/fixtures/uac1/<name>.summary.
std::string ReadGolden(const std::string& name);

// A text summary of a model: capability words, entities in parse order,
// units, engines with their units, processing-node count and formats.
std::string Summarize(CUac1Hal* model);

class ModelTest : public sim::KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs the device, loads the driver and adds the FDO.
    void Plug(DescriptorSet set);
    // Creates the adapter and runs its Init (model choice, model Init with
    // InitHardware and the parsers); the status.
    NTSTATUS InitAdapter();
    // Stops (when started) and releases the adapter, and with it the model.
    void ReleaseAdapter();
    // Replaces the generic slot's factory (before InitAdapter).
    void UseModelFactory(PFNCREATEFAMILYMODEL create);

    IAudioHal* Adapter() { return m_AdapterHal; }
    CUac1Hal* Model();
    simusb::SimUsbPort& Port() { return *m_Port; }
    simusb::SimDevice& Device() { return m_Port->device(); }
    simusb::SimUsbBus& Bus() { return m_Port->bus(); }
    PDEVICE_OBJECT Fdo() { return m_Port->harness().TopDevice(); }
    PDEVICE_CONTEXT Context() { return GetDeviceContext(Fdo()); }
    // The model's engine at index (NULL when none).
    IStreamEngine* Engine(ULONG index);
    const uac1fakes::StreamView* View(ULONG index) { return uac1fakes::ViewOf(Engine(index)); }

    std::unique_ptr<simusb::SimUsbPort> m_Port;
    std::unique_ptr<ScopedDriverFactories> m_Factories;
    DRIVER_FACTORIES m_Table = {};
    PUNKNOWN m_Adapter = nullptr;
    IAudioHal* m_AdapterHal = nullptr;
};

}  // namespace uac1test

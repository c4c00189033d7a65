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
#include "tests/adapter/uac1/device_life.h"
#include "tests/fakes/uac1/recording_model.h"
#include "tests/support/kernel_test.h"
#include "topology/terminal_units.h"
#include "platform/usb/uac_builder.h"
#include "platform/usb/usb_port.h"

namespace uac1test {

using simusb::Bytes;
using simusb::ConfigBuilder;
using simusb::DescriptorSet;

// The descriptor fixtures (tests/fixtures/uac1), and those the driver
// accepts (the others are refused by the rules: a feature unit without
// mute, a processing unit).
extern const std::vector<const char*> kFixtures;
extern const std::vector<const char*> kAcceptedFixtures;

// tests/fixtures/uac1/<name>.hex with kNeutralModelString at 0x50.
DescriptorSet LoadFixture(const std::string& name);
// tests/fixtures/uac1/<name>.summary.
std::string ReadGolden(const std::string& name);

// A text summary of a model: capability words, entities in parse order,
// units, engines with their units, processing-node count and formats.
std::string Summarize(CUac1Hal* model);

// ---- devices built in code ----------------------------------------------------------

inline constexpr USHORT kTestVendor = 0x1209;
inline constexpr USHORT kTestProduct = 0x7A20;

// The set of a full-speed device with these ids, the configuration's
// bytes, the language ids and the neutral model string at 0x50.
DescriptorSet MakeSet(const Bytes& configuration, USHORT vendor = kTestVendor, USHORT product = kTestProduct);
// idVendor and idProduct of a set replaced.
void SetIds(DescriptorSet* set, USHORT vendor, USHORT product);

// The Audio Control interface 0 of a device whose streaming interfaces are
// `streaming`; the caller adds the entities.
ConfigBuilder& AudioControl(ConfigBuilder& c, const std::vector<UCHAR>& streaming);
// A streaming interface (alternate 0 and 1) linked to a terminal: 16-bit
// PCM of `channels` at `rates`, an isochronous endpoint in the direction.
ConfigBuilder& Streaming(ConfigBuilder& c, UCHAR interfaceNumber, UCHAR terminalLink, bool in, UCHAR channels = 2,
                         const std::vector<ULONG>& rates = {48000});

// Offset of the n-th (0-based) descriptor of the configuration matching
// the predicate over its bytes, or SIZE_MAX.
size_t FindDescriptor(const Bytes& configuration, const std::function<bool(const uint8_t*)>& match, int n = 0);
// The n-th class-specific Audio Control or Audio Streaming descriptor with
// this subtype and (for entities) byte 3.
size_t FindClassSpecific(const Bytes& configuration, UCHAR subtype, int n = 0);
size_t FindEntity(const Bytes& configuration, UCHAR subtype, UCHAR id);
// wTotalLength set to the byte count.
void FixTotalLength(Bytes* configuration);

// IT 1 USB streaming -> FU 2 [master mute] -> OT 3 speaker; streaming
// interface 1 renders.
Bytes SimpleRender();
// IT 1 USB streaming -> OT 16 speaker; IT 2 microphone -> OT 64 USB
// streaming; interface 1 renders, interface 2 captures.
Bytes Terminals16And64();

// ---- the fixture -------------------------------------------------------------------

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
    // Replaces the factory of a family's slot (before InitAdapter).
    void UseFamilyFactory(FAMILY_MODEL family, PFNCREATEFAMILYMODEL create);

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
    // The terminal-type unit on the output node of an output terminal with
    // several types (the model holds it), or NULL.
    ITerminalTypeUnit* TerminalTypeOf(UCHAR terminalId);

    std::unique_ptr<simusb::SimUsbPort> m_Port;
    std::unique_ptr<ScopedDriverFactories> m_Factories;
    DRIVER_FACTORIES m_Table = {};
    PUNKNOWN m_Adapter = nullptr;
    IAudioHal* m_AdapterHal = nullptr;
};

}  // namespace uac1test

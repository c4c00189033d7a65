// The ASIO tests' device: the adapter object with its real ASIO operations
// on a simulated UAC 1.0 headset, whose family model is the fake model
// holding fake USB streams (wavefakes::FakeCyclicEngine, formats chosen
// per test, every call logged, messages sent by the test).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "adapter/usb_audio_hal.h"
#include "platform/usb/uac_builder.h"
#include "stream/wave/wave_guids.h"
#include "tests/fakes/adapter/driver_fixture.h"
#include "tests/fakes/adapter/fake_model.h"
#include "tests/fakes/stream/formats.h"
#include "tests/fakes/wave/fake_cyclic_engine.h"
#include "tests/stream/asio/asio_client.h"

namespace asiotest {

// A stereo 64-bit DSD format at `rate` / 64 frames per second.
WAVEFORMATEXTENSIBLE DsdFormat(USHORT channels, ULONG dsdRate, USHORT bits = 64);

// An ASIO-capable fake stream with these formats.
fakes::EngineSpec AsioEngine(bool capture, std::vector<WAVEFORMATEXTENSIBLE> formats);
// (i) stereo out, mono in, 16-bit, 44.1 and 48 kHz.
std::vector<fakes::EngineSpec> HeadsetEngines();

class AsioTest : public fakes::DriverTest {
protected:
    void SetUp() override;
    // Closes every client's handle and ends their processes before the
    // device goes and the scope's leak checks run.
    void TearDown() override;

public:  // for the table rows that arrange a case

    void Start(const std::vector<fakes::EngineSpec>& engines,
               const simusb::DescriptorSet& set = simusb::BuildUac1Headset());
    CUsbAudioHal* Adapter() { return static_cast<CUsbAudioHal*>(Context()->AudioHal); }
    const ASIO_STATE& State() { return Adapter()->AsioState(); }
    wavefakes::FakeCyclicEngine* Engine(ULONG index);
    // A stored "Settings" value, or ~0u when there is none.
    ULONG Stored(PCWSTR name);
    void PowerChange(DEVICE_POWER_STATE state);

    // The main client (64-bit) and further ones the test adds.
    std::unique_ptr<sim::UserProcess> m_Process;
    std::unique_ptr<AsioClient> m_Client;
    sim::UserProcess& process() { return *m_Process; }
    std::vector<std::unique_ptr<sim::UserProcess>> m_Others;
    std::vector<std::unique_ptr<AsioClient>> m_OtherClients;
};

}  // namespace asiotest

#include "tests/stream/asio/asio_fixture.h"

#include "adapter/settings.h"

namespace asiotest {

WAVEFORMATEXTENSIBLE DsdFormat(USHORT channels, ULONG dsdRate, USHORT bits) {
    WAVEFORMATEXTENSIBLE f = streamfakes::PcmFormat(channels, dsdRate / 64, bits);
    f.SubFormat = KSDATAFORMAT_SUBTYPE_VENDOR_DSD;
    return f;
}

fakes::EngineSpec AsioEngine(bool capture, std::vector<WAVEFORMATEXTENSIBLE> formats) {
    fakes::EngineSpec spec;
    spec.capture = capture;
    spec.type = capture ? ENDPOINT_MIC : ENDPOINT_SPK;
    spec.caps.Flags = ENDPOINT_CAPS_ASIO;
    spec.cyclic = true;
    spec.formats = std::move(formats);
    return spec;
}

std::vector<fakes::EngineSpec> HeadsetEngines() {
    using streamfakes::PcmFormat;
    return {AsioEngine(false, {PcmFormat(2, 48000, 16), PcmFormat(2, 44100, 16)}),
            AsioEngine(true, {PcmFormat(1, 48000, 16), PcmFormat(1, 44100, 16)})};
}

void AsioTest::SetUp() {
    fakes::DriverTest::SetUp();
    m_Process = std::make_unique<sim::UserProcess>();
    m_Client = std::make_unique<AsioClient>(*m_Process);
}

void AsioTest::TearDown() {
    m_Client.reset();
    m_OtherClients.clear();
    m_Process.reset();
    m_Others.clear();
    fakes::DriverTest::TearDown();
}

void AsioTest::Start(const std::vector<fakes::EngineSpec>& engines, const simusb::DescriptorSet& set) {
    fakes::NextModel().engines = engines;
    PlugUsb(set);
    LoadAndAdd();
    ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
}

wavefakes::FakeCyclicEngine* AsioTest::Engine(ULONG index) {
    IStreamEngine* engine = NULL;
    if (!NT_SUCCESS(Adapter()->GetStreamEngine(index, &engine))) return nullptr;
    return dynamic_cast<wavefakes::FakeCyclicEngine*>(engine);
}

ULONG AsioTest::Stored(PCWSTR name) {
    ULONG value = 0;
    if (!NT_SUCCESS(SettingsNumberValue(Fdo(), SETTINGS_OP_READ, &value, sizeof(value), name))) return ~0u;
    return value;
}

void AsioTest::PowerChange(DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    static_cast<IAdapterPowerManagement*>(Adapter())->PowerChangeState(s);
}

}  // namespace asiotest

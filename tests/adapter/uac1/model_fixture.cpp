// The UAC 1.0 model fixture and the model summary.
#include "tests/adapter/uac1/model_fixture.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "adapter/driver_entry.h"
#include "adapter/uac_hal.h"
#include "portcls/portcls_guids.h"
#include "platform/portcls/sim_portcls.h"
#include "sim/registry.h"
#include "stream/engine/stream_engine.h"
#include "topology/terminal_units.h"
#include "topology/uac_entity.h"
#include "platform/usb/descriptor_file.h"

namespace uac1test {

const std::vector<const char*> kFixtures = {
    "class_example_microphone", "class_example_telephone", "headset", "multichannel", "many_alts", "selector_capture",
    "master_volume", "volume_only", "processing_unit"};
const std::vector<const char*> kAcceptedFixtures = {
    "class_example_microphone", "class_example_telephone", "headset", "multichannel", "many_alts", "selector_capture",
    "master_volume"};

namespace {

const char* const kKindNames[] = {
    "input-pin", "output-pin", "mute",        "volume",       "mux",        "sum",         "agc",
    "loudness",  "gain-pad",   "bass",        "mid",          "treble",     "clock",       "terminal-type",
    "kind14",    "dev15",      "named-volume", "dev17",       "dev-switch", "dev19",       "dev20",
    "kind21",    "soft-mute",  "effect",      "dev24",
};

std::string KindName(ULONG kind) {
    return kind < sizeof(kKindNames) / sizeof(kKindNames[0]) ? kKindNames[kind] : "kind" + std::to_string(kind);
}

std::string Ids(const std::vector<ULONG>& ids) {
    if (ids.empty()) return "-";
    std::string out;
    for (ULONG id : ids) {
        if (!out.empty()) out += ",";
        out += id == UNIT_ID_NONE ? std::string("none") : std::to_string(id);
    }
    return out;
}

std::vector<ULONG> SourcesOf(IUacUnit* unit) {
    ULONG count = unit->GetSourceCount();
    std::vector<ULONG> ids(count);
    if (count != 0 && !NT_SUCCESS(unit->GetSourceIds(&count, ids.data()))) count = 0;
    ids.resize(count);
    return ids;
}

std::string Hex(ULONG value, int digits) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%0*X", digits, value);
    return text;
}

// A copy of a GUID inside a packed record.
GUID UnalignedGuid(const void* at) {
    GUID guid;
    std::memcpy(&guid, at, sizeof(guid));
    return guid;
}

std::string SubformatName(const GUID& subformat) {
    if (subformat == KSDATAFORMAT_SUBTYPE_PCM) return "pcm";
    if (subformat.Data1 == 0x92) return "iec61937-ac3";
    if (subformat.Data1 == 0x164) return "iec61937-wmapro";
    return "other";
}

void SummarizeEngine(std::ostringstream& out, ULONG index, IStreamEngine* engine) {
    const uac1fakes::StreamView* view = uac1fakes::ViewOf(engine);
    out << "engine " << index << (engine->IsCapture() ? " capture" : " render");
    if (view != nullptr) out << " interface " << view->InterfaceNumber() << " terminal " << view->TerminalId();
    const ULONG type = engine->GetEndpointType();
    out << " type " << (type < ENDPOINT_TYPE_COUNT ? std::string(ENDPOINT_TYPE_NAMES[type], ENDPOINT_TYPE_NAMES[type] +
                                                                      std::char_traits<char16_t>::length(
                                                                          ENDPOINT_TYPE_NAMES[type]))
                                                   : std::to_string(type));
    std::vector<ULONG> units;
    for (ULONG u = 0; u < engine->GetUnitCount(); ++u) {
        IUacUnit* unit = nullptr;
        if (NT_SUCCESS(engine->GetUnit(u, &unit))) units.push_back(unit->GetId());
    }
    out << " units " << Ids(units);
    if (view == nullptr) {
        out << "\n";
        return;
    }
    out << " dsp " << view->DspNodeCount() << "\n";
    for (const CYCLIC_FORMAT_ENTRY& e : view->FormatEntries()) {
        const WAVEFORMATEXTENSIBLE& f = e.Format;
        out << "  alt " << (int)e.AlternateSetting << " " << f.Format.nChannels << "ch "
            << f.Samples.wValidBitsPerSample << "/" << f.Format.wBitsPerSample << " " << f.Format.nSamplesPerSec
            << " block " << f.Format.nBlockAlign << " bytes/s " << f.Format.nAvgBytesPerSec << " mask "
            << Hex(f.dwChannelMask, 3) << " " << SubformatName(UnalignedGuid(&f.SubFormat)) << "\n";
    }
}

}  // namespace

DescriptorSet LoadFixture(const std::string& name) {
    DescriptorSet set;
    simusb::DescriptorFileError error;
    const std::string path = std::string(UAC1_FIXTURE_DIR) + "/" + name + ".hex";
    if (!simusb::LoadDescriptorFile(path, simusb::UsbSpeed::Full, &set, &error))
        ADD_FAILURE() << path << ": " << error.message;
    set.strings[0x50] = simusb::BuildStringDescriptor(kNeutralModelString);
    return set;
}

std::string ReadGolden(const std::string& name) {
    std::ifstream in(std::string(UAC1_FIXTURE_DIR) + "/" + name + ".summary");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Summarize(CUac1Hal* model) {
    std::ostringstream out;
    ENDPOINT_CAPS caps = {};
    model->CAudioHal::GetEndpointCapabilities(FALSE, ENDPOINT_SPK, &caps);
    out << "caps feature " << Hex(caps.FeatureMask, 8) << " extended " << Hex(caps.ExtendedCaps, 8) << " flags "
        << Hex(caps.Flags, 8) << "\n";
    // The list runs in reverse parse order.
    for (ULONG i = model->GetEntityCount(); i-- > 0;) {
        CUacEntity* entity = nullptr;
        if (!NT_SUCCESS(model->GetEntity(i, &entity))) continue;
        std::vector<ULONG> nodes;
        ULONG count = 0;
        entity->GetNodeCount(&count);
        for (ULONG n = 0; n < count; ++n) {
            IUacUnit* node = nullptr;
            if (NT_SUCCESS(entity->GetNode(n, &node))) nodes.push_back(node->GetId());
        }
        out << "entity " << entity->GetId() << " kind " << entity->GetKind() << " sources " << Ids(SourcesOf(entity))
            << " nodes " << Ids(nodes) << "\n";
    }
    for (ULONG i = 0; i < model->GetUnitCount(); ++i) {
        IUacUnit* unit = nullptr;
        if (!NT_SUCCESS(model->GetUnit(i, &unit))) continue;
        out << "unit " << unit->GetId() << " " << KindName(unit->GetKind()) << " sources " << Ids(SourcesOf(unit))
            << "\n";
    }
    for (ULONG i = 0; i < model->GetStreamEngineCount(); ++i) {
        IStreamEngine* engine = nullptr;
        if (NT_SUCCESS(model->GetStreamEngine(i, &engine))) SummarizeEngine(out, i, engine);
    }
    return out.str();
}

// ---- devices built in code --------------------------------------------------------

DescriptorSet MakeSet(const Bytes& configuration, USHORT vendor, USHORT product) {
    simusb::DeviceFields fields;
    fields.idVendor = vendor;
    fields.idProduct = product;
    DescriptorSet set;
    set.device = simusb::BuildDeviceDescriptor(fields);
    set.configuration = configuration;
    set.strings[0] = simusb::BuildLanguageIds({0x0409});
    set.strings[0x50] = simusb::BuildStringDescriptor(kNeutralModelString);
    return set;
}

void SetIds(DescriptorSet* set, USHORT vendor, USHORT product) {
    set->device[8] = (uint8_t)vendor;
    set->device[9] = (uint8_t)(vendor >> 8);
    set->device[10] = (uint8_t)product;
    set->device[11] = (uint8_t)(product >> 8);
}

ConfigBuilder& AudioControl(ConfigBuilder& c, const std::vector<UCHAR>& streaming) {
    return c.Configuration()
        .Interface(0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, 0)
        .Uac1Header(streaming);
}

ConfigBuilder& Streaming(ConfigBuilder& c, UCHAR interfaceNumber, UCHAR terminalLink, bool in, UCHAR channels,
                         const std::vector<ULONG>& rates) {
    const USHORT packet = (USHORT)(channels * 2 * 49);
    return c.Interface(interfaceNumber, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0)
        .Interface(interfaceNumber, 1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0)
        .Uac1AsGeneral(terminalLink, 1, 0x0001)
        .Uac1FormatTypeI(channels, 2, 16, rates)
        .AudioEndpoint(in ? (UCHAR)(0x80 | interfaceNumber) : interfaceNumber, in ? 0x05 : 0x09, packet, 1)
        .Uac1IsoEndpoint(0x01);
}

size_t FindDescriptor(const Bytes& b, const std::function<bool(const uint8_t*)>& match, int n) {
    for (size_t at = 0; at + 2 <= b.size() && b[at] >= 2 && at + b[at] <= b.size(); at += b[at])
        if (match(&b[at]) && n-- == 0) return at;
    return SIZE_MAX;
}

size_t FindClassSpecific(const Bytes& b, UCHAR subtype, int n) {
    return FindDescriptor(b, [&](const uint8_t* d) { return d[1] == 0x24 && d[0] >= 3 && d[2] == subtype; }, n);
}

size_t FindEntity(const Bytes& b, UCHAR subtype, UCHAR id) {
    return FindDescriptor(b, [&](const uint8_t* d) { return d[1] == 0x24 && d[0] >= 4 && d[2] == subtype && d[3] == id; });
}

void FixTotalLength(Bytes* b) {
    (*b)[2] = (uint8_t)b->size();
    (*b)[3] = (uint8_t)(b->size() >> 8);
}

Bytes SimpleRender() {
    ConfigBuilder c;
    AudioControl(c, {1})
        .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
        .Uac1FeatureUnit(2, 1, 1, {0x01, 0x00, 0x00})
        .Uac1OutputTerminal(3, 0x0301, 2);
    Streaming(c, 1, 1, false);
    return c.Build();
}

Bytes Terminals16And64() {
    ConfigBuilder c;
    AudioControl(c, {1, 2})
        .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
        .Uac1OutputTerminal(16, 0x0301, 1)
        .Uac1InputTerminal(2, 0x0201, 1, 0x0000)
        .Uac1OutputTerminal(64, 0x0101, 2);
    Streaming(c, 1, 1, false);
    Streaming(c, 2, 64, true, 1);
    return c.Build();
}

// ---- ModelTest ------------------------------------------------------------------

void ModelTest::SetUp() {
    sim::KernelTest::SetUp();
    sim::RegistryReset();
    sim::PcResetState();
    uac1fakes::ResetStreams();
    m_Table = *GetDriverFactories();
    m_Table.Models[FAMILY_MODEL_UAC1] = uac1fakes::CreateRecordingUac1Hal;
    m_Factories = std::make_unique<ScopedDriverFactories>(m_Table);
}

void ModelTest::TearDown() {
    ReleaseAdapter();
    m_Port.reset();
    m_Factories.reset();
    sim::PcResetState();
    sim::KernelTest::TearDown();
}

void ModelTest::UseModelFactory(PFNCREATEFAMILYMODEL create) { UseFamilyFactory(FAMILY_MODEL_UAC1, create); }

void ModelTest::UseFamilyFactory(FAMILY_MODEL family, PFNCREATEFAMILYMODEL create) {
    m_Factories.reset();
    m_Table.Models[family] = create;
    m_Factories = std::make_unique<ScopedDriverFactories>(m_Table);
}

void ModelTest::Plug(DescriptorSet set) {
    m_Port = std::make_unique<simusb::SimUsbPort>(std::move(set));
    ASSERT_EQ(m_Port->harness().LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(m_Port->harness().AddDevice(), STATUS_SUCCESS);
}

NTSTATUS ModelTest::InitAdapter() {
    NTSTATUS status = CreateUsbAudioHal(&m_Adapter);
    if (!NT_SUCCESS(status)) return status;
    status = m_Adapter->QueryInterface(IID_IAudioHal, reinterpret_cast<PVOID*>(&m_AdapterHal));
    if (!NT_SUCCESS(status)) return status;
    m_AdapterHal->Release();  // the factory's reference keeps it
    return m_AdapterHal->Init(NULL, Fdo(), Context()->LowerDevice, Context()->Pdo);
}

void ModelTest::ReleaseAdapter() {
    if (m_Adapter == nullptr) return;
    m_AdapterHal->Stop();
    m_Adapter->Release();
    m_Adapter = nullptr;
    m_AdapterHal = nullptr;
}

CUac1Hal* ModelTest::Model() {
    if (m_Adapter == nullptr) return nullptr;
    IUacHal* uac = nullptr;
    if (!NT_SUCCESS(m_Adapter->QueryInterface(IID_IUacHal, reinterpret_cast<PVOID*>(&uac))) || uac == nullptr)
        return nullptr;
    uac->Release();
    return static_cast<CUac1Hal*>(static_cast<CUacHal*>(uac));
}

IStreamEngine* ModelTest::Engine(ULONG index) {
    CUac1Hal* model = Model();
    IStreamEngine* engine = nullptr;
    if (model == nullptr || !NT_SUCCESS(model->GetStreamEngine(index, &engine))) return nullptr;
    return engine;
}

ITerminalTypeUnit* ModelTest::TerminalTypeOf(UCHAR terminalId) {
    CUacEntity* terminal = nullptr;
    ULONG id = 0;
    IUacUnit* unit = nullptr;
    ITerminalTypeUnit* selector = nullptr;
    if (Model() == nullptr || !NT_SUCCESS(Model()->FindEntityById(terminalId, &terminal)) ||
        !NT_SUCCESS(terminal->GetLastNodeId(&id)) || !NT_SUCCESS(Model()->FindUnitById(id, &unit)) ||
        !NT_SUCCESS(unit->QueryInterface(IID_ITerminalTypeUnit, reinterpret_cast<PVOID*>(&selector))))
        return nullptr;
    selector->Release();
    return selector;
}

}  // namespace uac1test

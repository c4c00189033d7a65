// The UAC entity fixture.
#include "tests/topology/uac/uac_fixture.h"

#include <algorithm>
#include <cstring>

#include "adapter/driver_entry.h"
#include "platform/portcls/sim_portcls.h"
#include "sim/registry.h"
#include "tests/fakes/adapter/fake_model.h"
#include "topology/terminal_units.h"
#include "topology/uac1_feature_unit.h"
#include "topology/uac1_terminals.h"
#include "topology/uac2_clock_source.h"
#include "topology/uac2_feature_unit.h"
#include "topology/uac2_terminals.h"

namespace uactest {

const std::u16string kSettingsKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
    u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0001\\Settings";

namespace {
constexpr ULONG kTestTag = MakePoolTag("UTst");
constexpr USHORT kTestProductId = 0x7A10;

template <class Entity>
NTSTATUS MakeEntity(const BYTE* descriptor, IUnknown* device, IAudioHal* builder, ULONG index,
                    CUacEntity** out) {
    Entity* entity = new (NonPagedPoolNx, MakePoolTag("UAC1")) Entity(NULL, index);
    if (entity == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    entity->AddRef();
    NTSTATUS status = entity->Init(descriptor, device, builder);
    *out = entity;
    return status;
}

// The UAC 2.0 mixer and extension units: one class, two Init members.
NTSTATUS MakeUac2Unit(const BYTE* descriptor, IUnknown* device, IAudioHal* builder, ULONG index,
                      CUacEntity** out) {
    auto* entity = new (NonPagedPoolNx, MakePoolTag("UAC2")) CUac2Unit(NULL, index);
    if (entity == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    entity->AddRef();
    NTSTATUS status = descriptor[2] == UAC_MIXER_UNIT ? entity->InitMixerUnit(descriptor, device, builder)
                                                      : entity->InitExtensionUnit(descriptor, device, builder);
    *out = entity;
    return status;
}
}  // namespace

simusb::DescriptorSet BuildTestDevice() {
    simusb::DeviceFields fields;
    fields.idVendor = simusb::kSimVendorId;
    fields.idProduct = kTestProductId;
    simusb::ConfigBuilder c;
    c.Configuration()
        .Interface(0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, 0)
        .Uac1Header({})
        .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
        .Uac1FeatureUnit(2, 1, 1, {0x01, 0x02, 0x02})
        .Uac1OutputTerminal(3, 0x0301, 2)
        .Uac1InputTerminal(4, 0x0201, 1, 0x0000)
        .Uac1FeatureUnit(5, 4, 1, {0x03})
        .Uac1InputTerminal(7, 0x0603, 2, 0x0003)
        .SelectorUnit(6, {5, 7})
        .Uac1OutputTerminal(8, 0x0101, 6);
    simusb::DescriptorSet set;
    set.device = simusb::BuildDeviceDescriptor(fields);
    set.configuration = c.Build();
    set.strings[0] = simusb::BuildLanguageIds({0x0409});
    return set;
}

Bytes Descriptor(UCHAR subtype, UCHAR id, const Bytes& rest) {
    Bytes d(4 + rest.size());
    d[0] = (uint8_t)d.size();
    d[1] = UAC_CS_INTERFACE;
    d[2] = subtype;
    d[3] = id;
    std::copy(rest.begin(), rest.end(), d.begin() + 4);
    return d;
}

// ---- RecordingUsbDevice ----

NTSTATUS RecordingUsbDevice::QueryInterface(REFIID iid, PVOID* out) {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IUsbAudioDevice)) {
        *out = static_cast<IUsbAudioDevice*>(this);
        return STATUS_SUCCESS;
    }
    *out = nullptr;
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS RecordingUsbDevice::SubmitUrbSync(PURB urb) {
    UrbImage image;
    memcpy(image.data(), urb, image.size());
    urbs.push_back(image);
    return m_Transport.SubmitUrbSync(urb);
}

// ---- TestModel ----

TestModel* TestModel::Create(IUsbAudioDevice* usb) {
    TestModel* model = new (NonPagedPoolNx, kTestTag) TestModel(usb);
    if (model != nullptr) model->AddRef();
    return model;
}

TestModel::~TestModel() {
    for (CUacEntity* entity : entities) entity->Release();
}

NTSTATUS TestModel::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (IsEqualGUID(iid, IID_IUacHal)) {
        if (!answerUacHal) return RefuseInterface(out);
        return ReturnInterface(static_cast<IUacHal*>(this), out);
    }
    if (IsEqualGUID(iid, IID_IUsbAudioDevice)) {
        if (!answerUsb) return RefuseInterface(out);
        return ReturnInterface(m_Usb, out);
    }
    return CAudioHal::NonDelegatingQueryInterface(iid, out);
}

NTSTATUS TestModel::UpdateSubdevices(ULONG unitId) {
    updates.push_back(unitId);
    return updateStatus;
}

NTSTATUS TestModel::GetCallbackObject(PVOID* object) {
    if (object == nullptr || !NT_SUCCESS(callbackStatus)) return STATUS_UNSUCCESSFUL;
    *object = GetHalCallbackObject();
    return STATUS_SUCCESS;
}

// ---- UacTest ----

void UacTest::SetUp() {
    sim::KernelTest::SetUp();
    sim::RegistryReset();
    sim::PcResetState();
    m_Factories = std::make_unique<ScopedDriverFactories>(fakes::FakeModelFactories());
    Plug();
}

void UacTest::TearDown() {
    Unplug();
    m_Factories.reset();
    sim::PcResetState();
    sim::KernelTest::TearDown();
}

void UacTest::Plug() {
    m_Port = std::make_unique<simusb::SimUsbPort>(Descriptors());
    ConfigureDevice();
    ASSERT_EQ(m_Port->harness().LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(m_Port->harness().AddDevice(), STATUS_SUCCESS);
    m_Transport = new (NonPagedPoolNx, kTestTag) CUsbTransport();
    m_Transport->Init(Fdo(), m_Port->Pdo());
    m_Transport->SetAudioControlInterfaceNumber(uac().acInterface());
    m_Usb = std::make_unique<RecordingUsbDevice>(*m_Transport);
    NewModel();
}

void UacTest::Unplug() {
    if (m_Model != nullptr) m_Model->Release();
    m_Model = nullptr;
    m_Usb.reset();
    delete m_Transport;
    m_Transport = nullptr;
    m_Port.reset();
}

void UacTest::Replug() {
    Unplug();
    Plug();
}

void UacTest::ConfigureDevice() {
    uac().SetTerminalTypes(3, {0x0302, 0x0301});
    uac().SetJacksForType(3, 0x0302, {{0x3, JackConfig(4, 0x01, 1)}});
    uac().SetJacksForType(3, 0x0301, {{0x3, JackConfig(4, 0x01, 1)}, {0xC, JackConfig(6, 0x01, 2)}});
    uac().SetJacks(4, {{0x1, JackConfig(4, 0x01, 1)}, {0x2, JackConfig(4, 0x21, 2, 0xC00)}});
    uac().SetConnectedMask(4, 0x1);
    uac().SetJacks(7, {{0x3, JackConfig(3, 0x01, 1)}});
}

PDEVICE_OBJECT UacTest::Fdo() { return m_Port->harness().TopDevice(); }

void UacTest::NewModel() {
    if (m_Model != nullptr) m_Model->Release();
    m_Model = TestModel::Create(m_Usb.get());
    ASSERT_NE(m_Model, nullptr);
    ASSERT_EQ(m_Model->Init(NULL, Fdo(), m_Port->Pdo(), m_Port->Pdo()), STATUS_SUCCESS);
}

NTSTATUS UacTest::InitEntity(const Bytes& descriptor, CUacEntity** out) {
    CUacEntity* entity = nullptr;
    IUnknown* device = static_cast<IAudioHal*>(m_Model);
    const ULONG index = (ULONG)m_Model->entities.size();
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    const UCHAR subtype = descriptor.size() > 2 ? descriptor[2] : 0;
    if (IsUac2()) {
        switch (subtype) {
        case 2: status = MakeEntity<CUac2InputTerminal>(descriptor.data(), device, m_Model, index, &entity); break;
        case 3: status = MakeEntity<CUac2OutputTerminal>(descriptor.data(), device, m_Model, index, &entity); break;
        case 4:
        case 9: status = MakeUac2Unit(descriptor.data(), device, m_Model, index, &entity); break;
        case 5: status = MakeEntity<CUac2SelectorUnit>(descriptor.data(), device, m_Model, index, &entity); break;
        case 6: status = MakeEntity<CUac2FeatureUnit>(descriptor.data(), device, m_Model, index, &entity); break;
        case 10: status = MakeEntity<CUac2ClockSource>(descriptor.data(), device, m_Model, index, &entity); break;
        default: break;
        }
        if (entity != nullptr) m_Model->entities.push_back(entity);
        if (out != nullptr) *out = entity;
        return status;
    }
    switch (subtype) {
    case 2: status = MakeEntity<CUacInputTerminal>(descriptor.data(), device, m_Model, index, &entity); break;
    case 3: status = MakeEntity<CUacOutputTerminal>(descriptor.data(), device, m_Model, index, &entity); break;
    case 4: status = MakeEntity<CUacMixerUnit>(descriptor.data(), device, m_Model, index, &entity); break;
    case 5: status = MakeEntity<CUacSelectorUnit>(descriptor.data(), device, m_Model, index, &entity); break;
    case 6: status = MakeEntity<CUacFeatureUnit>(descriptor.data(), device, m_Model, index, &entity); break;
    default: break;
    }
    if (entity != nullptr) m_Model->entities.push_back(entity);
    if (out != nullptr) *out = entity;
    return status;
}

CUacEntity* UacTest::Entity(UCHAR id) {
    CUacEntity* found = nullptr;
    for (CUacEntity* entity : m_Model->entities)
        if (entity->GetId() == id) found = entity;
    return found;
}

IUacUnit* UacTest::Unit(ULONG unitId) {
    IUacUnit* unit = nullptr;
    return NT_SUCCESS(m_Model->GetUnit(unitId, &unit)) ? unit : nullptr;
}

IUacUnit* UacTest::UnitOfKind(ULONG kind, ULONG from) {
    for (ULONG i = from; i < m_Model->GetUnitCount(); ++i)
        if (Unit(i)->GetKind() == kind) return Unit(i);
    return nullptr;
}

NTSTATUS UacTest::BuildAll() {
    const Bytes& config = device().descriptors().configuration;
    bool inside = false;
    for (size_t at = 0; at + 2 <= config.size() && config[at] >= 2 && at + config[at] <= config.size();
         at += config[at]) {
        const uint8_t* d = config.data() + at;
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            inside = d[5] == USB_DEVICE_CLASS_AUDIO && d[6] == USB_AUDIO_SUBCLASS_AUDIOCONTROL;
        } else if (inside && d[1] == UAC_CS_INTERFACE && d[2] >= 2 && (d[2] <= 6 || (IsUac2() && d[2] >= 9 && d[2] <= 10))) {
            NTSTATUS status = InitEntity(Bytes(d, d + d[0]));
            if (!NT_SUCCESS(status)) return status;
        }
    }
    // Sources: each source id becomes the output node of that entity.
    for (CUacEntity* entity : m_Model->entities) {
        ULONG ids[9], count = 9;
        if (entity->GetSourceCount() == 0 || entity->GetSourceCount() > 9) continue;
        entity->GetSourceIds(&count, ids);
        bool connected = true;
        for (ULONG i = 0; i < count; ++i) {
            CUacEntity* source = Entity((UCHAR)ids[i]);
            connected = connected && source != nullptr && NT_SUCCESS(source->GetLastNodeId(&ids[i]));
        }
        if (connected) entity->ConnectSources(count, ids);
    }
    // The terminal-type pass: the single-source chain upstream of each
    // terminal-type node follows its type.
    for (ULONG i = 0; i < m_Model->GetUnitCount(); ++i) {
        auto* typeUnit = As<ITerminalTypeUnit>(Unit(i), IID_ITerminalTypeUnit);
        if (typeUnit == nullptr) continue;
        ULONG type = 0;
        typeUnit->GetType(&type);
        IUacUnit* unit = Unit(i);
        for (ULONG steps = 0; unit != nullptr && unit->GetSourceCount() == 1 && steps < m_Model->GetUnitCount(); ++steps) {
            ULONG source = 0, one = 1;
            unit->GetSourceIds(&one, &source);
            unit = Unit(source);
            auto* profile = As<IUnitProfile>(unit, IID_IUnitProfile);
            if (profile == nullptr) continue;
            profile->SelectProfile(type, NULL);
            typeUnit->AddListener(profile);
        }
    }
    return m_Model->ConnectUnits();
}

std::vector<Bytes> UacTest::Sets(UCHAR entity, USHORT wValue) {
    std::vector<Bytes> sets;
    for (const auto& e : Log())
        if (!(e.setup.bmRequestType & 0x80) && (e.setup.wIndex >> 8) == entity && e.setup.wValue == wValue)
            sets.push_back(e.data);
    return sets;
}

void UacTest::StallRequests(UCHAR bmRequestType, UCHAR bRequest, std::optional<USHORT> wValue,
                            UCHAR entity, LONG count) {
    simusb::ControlRule rule;
    rule.bmRequestType = bmRequestType;
    rule.bRequest = bRequest;
    rule.wValue = wValue;
    rule.wIndex = (USHORT)(entity << 8 | uac().acInterface());
    rule.action = simusb::ControlRule::Stall;
    rule.count = count;
    device().AddControlRule(rule);
}

std::optional<Bytes> UacTest::Stored(const std::u16string& name) {
    auto value = sim::RegistryGetValue(kSettingsKey, name);
    if (!value) return std::nullopt;
    return value->data;
}

void UacTest::Store(const std::u16string& name, const Bytes& bytes, ULONG type) {
    ASSERT_EQ(sim::RegistrySetValue(kSettingsKey, name, type, bytes), STATUS_SUCCESS);
}

Bytes UacTest::Le32(ULONG value) {
    return {(uint8_t)value, (uint8_t)(value >> 8), (uint8_t)(value >> 16), (uint8_t)(value >> 24)};
}

}  // namespace uactest

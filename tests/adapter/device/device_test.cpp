// The adapter object on simulated devices: the model choice from the
// Audio Control protocol and the model string, the interfaces it answers,
// the device's names, the ASIO settings it reads at start-up, its identity,
// and STOP followed by START.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "adapter/settings.h"
#include "adapter/uac_hal.h"
#include "adapter/usb_audio_hal.h"
#include "sim/registry.h"
#include "tests/fakes/adapter/driver_fixture.h"
#include "tests/fakes/adapter/fake_log.h"
#include "tests/fakes/adapter/fake_model.h"
#include "platform/usb/uac_builder.h"
#include "usb/usb_descriptors.h"

namespace {

using fakes::LogWith;
using simusb::Bytes;
using simusb::DescriptorSet;

const std::u16string kSettingsKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
    u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0001\\Settings";

void SetIds(DescriptorSet* set, USHORT vendor, USHORT product) {
    set->device[8] = (uint8_t)vendor;
    set->device[9] = (uint8_t)(vendor >> 8);
    set->device[10] = (uint8_t)product;
    set->device[11] = (uint8_t)(product >> 8);
}

// bInterfaceProtocol of the first Audio Control interface descriptor.
void SetControlProtocol(DescriptorSet* set, uint8_t protocol) {
    Bytes& c = set->configuration;
    for (size_t i = 0; i + 8 < c.size(); i += c[i]) {
        if (c[i] == 0) break;
        if (c[i + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && c[i + 5] == 1 && c[i + 6] == 1) {
            c[i + 7] = protocol;
            return;
        }
    }
    ADD_FAILURE() << "no Audio Control interface";
}

// String indexes the device was asked for, in order.
std::vector<int> StringRequests(simusb::SimDevice& device) {
    std::vector<int> indexes;
    for (const simusb::ControlLogEntry& e : device.RequestLog())
        if (e.setup.bRequest == USB_REQUEST_GET_DESCRIPTOR && (e.setup.wValue >> 8) == USB_STRING_DESCRIPTOR_TYPE)
            indexes.push_back(e.setup.wValue & 0xFF);
    return indexes;
}

Bytes RawString(std::vector<uint8_t> bytes) { return bytes; }

class AdapterTest : public fakes::DriverTest {
protected:
    CUsbAudioHal* Adapter() { return static_cast<CUsbAudioHal*>(Context()->AudioHal); }
};

// ---- model choice ----------------------------------------------------------

struct ChoiceCase {
    const char* name;
    uint8_t protocol;                 // of the Audio Control interface
    std::optional<Bytes> model50;     // string 0x50 (none: it stalls)
    std::optional<Bytes> model32;     // string 0x32
    const char* slot;                 // the factory slot used, or NULL
    int variant;
    std::vector<int> modelReads;      // model-string requests (0x50, 0x32)
    NTSTATUS start;
};

std::ostream& operator<<(std::ostream& out, const ChoiceCase& c) { return out << c.name; }

class ModelChoiceTest : public AdapterTest, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(ModelChoiceTest, CreatesTheChosenModelOnce) {
    const ChoiceCase& c = GetParam();
    DescriptorSet set = c.protocol == 0x20 ? simusb::BuildUac2AsyncDevice() : simusb::BuildUac1Headset();
    if (c.protocol != 0x20) SetControlProtocol(&set, c.protocol);
    set.strings.erase(0x50);
    set.strings.erase(0x32);
    if (c.model50) set.strings[0x50] = *c.model50;
    if (c.model32) set.strings[0x32] = *c.model32;
    PlugUsb(set);
    LoadAndAdd();
    EXPECT_EQ(Device().StartDevice(), c.start);

    std::vector<int> modelReads;
    for (int index : StringRequests(Port().device()))
        if (index == 0x50 || index == 0x32) modelReads.push_back(index);
    EXPECT_EQ(modelReads, c.modelReads);
    std::vector<std::string> created = LogWith("model:");
    std::vector<std::string> slots;
    for (const std::string& e : created)
        if (e.find("model:uac") == 0 || e.find("model:remap") == 0 || e.find("model:chip") == 0) slots.push_back(e);
    if (c.slot == NULL) {
        EXPECT_TRUE(slots.empty());
    } else {
        ASSERT_EQ(slots.size(), 1u);
        EXPECT_EQ(slots[0].substr(0, slots[0].find(':', 6)), std::string("model:") + c.slot);
        EXPECT_EQ(slots[0].substr(slots[0].rfind(':') + 1), std::to_string(c.variant));
    }
    Device().RemoveDevice();
    EXPECT_EQ(fakes::Models().destroyed, fakes::Models().created);
    EXPECT_LE(fakes::Models().created, 1);
}

Bytes Str(const std::u16string& text) { return simusb::BuildStringDescriptor(text); }

INSTANTIATE_TEST_SUITE_P(
    Table, ModelChoiceTest,
    ::testing::Values(
        ChoiceCase{"Uac2ReadsNoModelString", 0x20, Str(u"Z7AK"), Str(u"Z7AK"), "uac2", 0, {}, STATUS_SUCCESS},
        ChoiceCase{"OtherProtocolFails", 0x10, Str(u"Z7AK"), std::nullopt, NULL, 0, {}, STATUS_UNSUCCESSFUL},
        ChoiceCase{"GenericFrom50", 0, Str(u"SIMHS1"), std::nullopt, "uac1", 0, {0x50}, STATUS_SUCCESS},
        ChoiceCase{"ChipAFrom50", 0, Str(u"Z7AK"), std::nullopt, "chipA", 0, {0x50}, STATUS_SUCCESS},
        ChoiceCase{"ChipBFrom32", 0, std::nullopt, Str(u"Z7BP"), "chipB", 0, {0x50, 0x32}, STATUS_SUCCESS},
        ChoiceCase{"ChipCVariant5", 0, Str(u"XRW4QS5"), std::nullopt, "chipC", 5, {0x50}, STATUS_SUCCESS},
        ChoiceCase{"ChipCVariant6", 0, Str(u"XRW4QS6-1"), std::nullopt, "chipC", 6, {0x50}, STATUS_SUCCESS},
        ChoiceCase{"FamilyCOtherVariantIsGeneric", 0, Str(u"XRW4QS9"), std::nullopt, "uac1", 0, {0x50},
                   STATUS_SUCCESS},
        ChoiceCase{"Remapped", 0, Str(u"\x000B\x0005\x0050"), std::nullopt, "remap", 0, {0x50}, STATUS_SUCCESS},
        ChoiceCase{"BothStallIsGeneric", 0, std::nullopt, std::nullopt, "uac1", 0, {0x50, 0x32}, STATUS_SUCCESS},
        // bLength 1: no text at all, however many bytes follow.
        ChoiceCase{"LengthBelowTwo", 0, RawString({1, 3, 'Z', 0, '7', 0, 'A', 0, 'K', 0}), std::nullopt, "uac1", 0,
                   {0x50}, STATUS_SUCCESS},
        ChoiceCase{"NotAStringDescriptor", 0, RawString({10, 2, 'Z', 0, '7', 0, 'A', 0, 'K', 0}), std::nullopt,
                   "uac1", 0, {0x50}, STATUS_SUCCESS},
        ChoiceCase{"LengthCutsThePrefix", 0, RawString({8, 3, 'Z', 0, '7', 0, 'A', 0, 'K', 0}), std::nullopt,
                   "uac1", 0, {0x50}, STATUS_SUCCESS}),
    [](const ::testing::TestParamInfo<ChoiceCase>& info) { return std::string(info.param.name); });

TEST_F(AdapterTest, EmptyModelSlotFailsTheStart) {
    DRIVER_FACTORIES table = fakes::FakeModelFactories();
    table.Models[FAMILY_MODEL_UAC1] = NULL;
    UseFactories(table);
    PlugUsb(simusb::BuildUac1Headset());
    LoadAndAdd();
    EXPECT_EQ(Device().StartDevice(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Context()->AudioHal, nullptr);
}

TEST_F(AdapterTest, UacHalIsAnsweredOnlyWhenTheModelHasIt) {
    fakes::NextModel().uacHal = false;
    PlugUsb(simusb::BuildUac1Headset());
    LoadAndAdd();
    ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    PVOID out = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(Context()->AudioHal->QueryInterface(IID_IUacHal, &out), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(out, nullptr);
    for (const GUID& iid : {IID_IUnknown, IID_IAudioHal, IID_IAdapterPowerManagement, IID_IUsbAudioDevice,
                            IID_IAsioDevice}) {
        IUnknown* unknown = NULL;
        EXPECT_EQ(Context()->AudioHal->QueryInterface(iid, reinterpret_cast<PVOID*>(&unknown)), STATUS_SUCCESS);
        unknown->Release();
    }
}

TEST_F(AdapterTest, ComponentIdIsTheUsbAudioIdentity) {
    PlugUsb(simusb::BuildUac1Headset());
    LoadAndAdd();
    ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    KSCOMPONENTID id;
    memset(&id, 0xCD, sizeof(id));
    ASSERT_EQ(Context()->AudioHal->GetComponentId(&id), STATUS_SUCCESS);
    const GUID manufacturer = {0x4E1CECD2 + 0x1209, 0x1679, 0x463B, {0xA7, 0x2F, 0xA5, 0xBF, 0x64, 0xC8, 0x6E, 0xBA}};
    const GUID product = {0xABCC5A5E + 0x7A01, 0xC263, 0x463B, {0xA7, 0x2F, 0xA5, 0xBF, 0x64, 0xC8, 0x6E, 0xBA}};
    const GUID component = {0x8F1275F0, 0x26E9, 0x4264, {0xBA, 0x4D, 0x39, 0xFF, 0xF0, 0x1D, 0x94, 0xAA}};
    EXPECT_TRUE(id.Manufacturer == manufacturer);
    EXPECT_TRUE(id.Product == product);
    EXPECT_TRUE(id.Component == component);
    EXPECT_TRUE(id.Name == GUID{});
    EXPECT_EQ(id.Version, 0u);
    EXPECT_EQ(id.Revision, 0u);
}

// ---- names -------------------------------------------------------------------

std::u16string EnumKey(const std::u16string& root, USHORT vendor, USHORT product, bool revision) {
    char id[64];
    std::snprintf(id, sizeof(id), "USB\\VID_%04X&PID_%04X%s", vendor, product, revision ? "&REV_0100" : "");
    std::string narrow(id);
    return root + u"\\" + std::u16string(narrow.begin(), narrow.end()) + u"\\" + simusb::kDefaultUsbInstance;
}

const std::u16string kEnumRoot = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";

std::optional<std::u16string> StringValue(const std::u16string& key, const std::u16string& name) {
    auto value = sim::RegistryGetValue(key, name);
    if (!value) return std::nullopt;
    EXPECT_EQ(value->type, (ULONG)REG_SZ);
    EXPECT_TRUE(value->data.size() >= 2 && value->data[value->data.size() - 1] == 0 &&
                value->data[value->data.size() - 2] == 0)
        << "written with its terminator";
    return std::u16string(reinterpret_cast<const char16_t*>(value->data.data()), value->data.size() / 2 - 1);
}

struct NameCase {
    const char* name;
    USHORT vendor, product;
    std::optional<Bytes> productString;       // string 2 (none: stalls)
    uint8_t manufacturerIndex;                // iManufacturer
    std::optional<std::u16string> friendly;   // "FriendlyName" afterwards
    std::optional<std::u16string> mfg;        // "Mfg" afterwards
};

std::ostream& operator<<(std::ostream& out, const NameCase& c) { return out << c.name; }

class DeviceNames : public AdapterTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(DeviceNames, AreWrittenToTheEnumKey) {
    const NameCase& c = GetParam();
    DescriptorSet set = simusb::BuildUac1Headset();
    SetIds(&set, c.vendor, c.product);
    set.device[14] = c.manufacturerIndex;
    if (c.productString) {
        set.strings[2] = *c.productString;
    } else {
        set.strings.erase(2);
    }
    PlugUsb(set);
    LoadAndAdd();
    std::u16string key = EnumKey(kEnumRoot, c.vendor, c.product, false);
    sim::RegistryDeleteValue(key, u"FriendlyName");
    sim::RegistryDeleteValue(key, u"Mfg");
    ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    EXPECT_EQ(StringValue(key, u"FriendlyName"), c.friendly);
    EXPECT_EQ(StringValue(key, u"Mfg"), c.mfg);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceNames,
    ::testing::Values(
        NameCase{"Plain", 0x1209, 0x7A01, Str(u"Headset"), 1, u"Headset", u"Simulated Devices"},
        NameCase{"TrailingBlanksCut", 0x1209, 0x7A01, Str(u"Headset   "), 1, u"Headset", u"Simulated Devices"},
        NameCase{"FiftyOrMoreCutTo49", 0x1209, 0x7A01, Str(std::u16string(60, u'n')), 1,
                 std::u16string(49, u'n'), u"Simulated Devices"},
        NameCase{"Exactly49", 0x1209, 0x7A01, Str(std::u16string(49, u'n')), 1, std::u16string(49, u'n'),
                 u"Simulated Devices"},
        NameCase{"BadLengthWritesNothing", 0x1209, 0x7A01, RawString({1, 3, 'A', 0, 'B', 0}), 1, std::nullopt,
                 u"Simulated Devices"},
        NameCase{"LengthBeyondTheDataStopsThere", 0x1209, 0x7A01, RawString({40, 3, 'A', 0, 'B', 0}), 1, u"AB",
                 u"Simulated Devices"},
        NameCase{"StalledProductString", 0x1209, 0x7A01, std::nullopt, 1, std::nullopt, u"Simulated Devices"},
        NameCase{"NoManufacturerIndex", 0x1209, 0x7A01, Str(u"Headset"), 0, u"Headset", std::nullopt},
        NameCase{"VendorKeepsItsMfg", 0x5A3E, 0x0058, Str(u"Headset"), 1, u"Headset", std::nullopt},
        NameCase{"VendorProductWithMfg", 0x5A3E, 0x0067, Str(u"Headset"), 1, u"Headset", u"Simulated Devices"},
        NameCase{"VendorProductWithMfg161", 0x5A3E, 0x0161, Str(u"Headset"), 1, u"Headset",
                 u"Simulated Devices"}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return std::string(info.param.name); });

TEST_F(AdapterTest, NamesGoToTheOldEnumPathWhenOnlyItExists) {
    PlugUsb(simusb::BuildUac1Headset());
    // Only the old path knows the first hardware ID (with its revision).
    std::u16string old = EnumKey(u"\\Registry\\Machine\\Enum", 0x1209, 0x7A01, true);
    ASSERT_EQ(sim::RegistryCreateKey(old), STATUS_SUCCESS);
    LoadAndAdd();
    ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    EXPECT_EQ(StringValue(old, u"FriendlyName"), std::u16string(u"Simulated USB Headset"));
    EXPECT_EQ(StringValue(EnumKey(kEnumRoot, 0x1209, 0x7A01, false), u"FriendlyName"),
              std::u16string(u"Simulated USB Headset"));
    EXPECT_FALSE(sim::RegistryKeyExists(EnumKey(kEnumRoot, 0x1209, 0x7A01, true)));
}

// ---- ASIO settings --------------------------------------------------------

struct AsioCase {
    const char* name;
    USHORT vendor, product;
    bool asioEndpoint;
    std::optional<ULONG> bitDepth, latency, rate;  // stored before the start
    ULONG sampleType, latencyIndex, sampleRate;    // afterwards
    std::optional<ULONG> bitDepthAfter;            // "ASIOMLDataBitDepth" afterwards
};

std::ostream& operator<<(std::ostream& out, const AsioCase& c) { return out << c.name; }

class AsioSettings : public AdapterTest, public ::testing::WithParamInterface<AsioCase> {};

std::optional<ULONG> StoredUlong(const std::u16string& name) {
    auto value = sim::RegistryGetValue(kSettingsKey, name);
    if (!value || value->data.size() != 4) return std::nullopt;
    ULONG v;
    memcpy(&v, value->data.data(), 4);
    return v;
}

void Store(const std::u16string& name, std::optional<ULONG> value) {
    if (!value) return;
    std::vector<uint8_t> bytes(4);
    memcpy(bytes.data(), &*value, 4);
    sim::RegistrySetValue(kSettingsKey, name, REG_BINARY, bytes);
}

TEST_P(AsioSettings, AreReadAtStartWithTheirDefaults) {
    const AsioCase& c = GetParam();
    fakes::EngineSpec engine;
    engine.caps.Flags = c.asioEndpoint ? ENDPOINT_CAPS_ASIO : 0;
    fakes::NextModel().engines = {engine};
    DescriptorSet set = simusb::BuildUac1Headset();
    SetIds(&set, c.vendor, c.product);
    PlugUsb(set);
    Store(u"ASIOMLDataBitDepth", c.bitDepth);
    Store(u"ASIOMLDataLatency", c.latency);
    Store(u"ASIOMLSampleRate", c.rate);
    LoadAndAdd();
    ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    const ASIO_STATE& asio = Adapter()->AsioState();
    EXPECT_EQ(asio.m_nAsioSampleType, c.sampleType);
    EXPECT_EQ(asio.m_nAsioPendingSampleType, c.sampleType);
    EXPECT_EQ(asio.m_nAsioLatencyIndex, c.latencyIndex);
    EXPECT_EQ(asio.m_nAsioSampleRate, c.sampleRate);
    EXPECT_EQ(StoredUlong(u"ASIOMLDataBitDepth"), c.bitDepthAfter);
    ASSERT_NE(asio.m_pAsioPins, nullptr);
    EXPECT_EQ(asio.m_pAsioPins[0].Buffer, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AsioSettings,
    ::testing::Values(
        AsioCase{"FreshKnownProduct", 0x0B05, 0x17A8, true, {}, {}, {}, 27, 4, 48000, 27u},
        AsioCase{"FreshPacked24Product", 0x0B05, 0x17F3, true, {}, {}, {}, 17, 4, 48000, 17u},
        AsioCase{"FreshUnknownProduct", 0x1209, 0x7A01, true, {}, {}, {}, 16, 4, 48000, std::nullopt},
        AsioCase{"FreshWithoutAsioEndpoint", 0x0B05, 0x17A8, false, {}, {}, {}, 16, 4, 48000, std::nullopt},
        AsioCase{"StoredValuesWin", 0x0B05, 0x17A8, true, 18u, 2u, 96000u, 18, 2, 96000, 18u},
        AsioCase{"LatencyBeyondTheTableKeepsDefault", 0x1209, 0x7A01, true, {}, 8u, {}, 16, 4, 48000, std::nullopt},
        AsioCase{"LastLatencyEntry", 0x1209, 0x7A01, true, {}, 7u, {}, 16, 7, 48000, std::nullopt},
        AsioCase{"RateBelow1kHzKeepsDefault", 0x1209, 0x7A01, true, {}, {}, 999u, 16, 4, 48000, std::nullopt},
        AsioCase{"Rate1kHz", 0x1209, 0x7A01, true, {}, {}, 1000u, 16, 4, 1000, std::nullopt}),
    [](const ::testing::TestParamInfo<AsioCase>& info) { return std::string(info.param.name); });

// ---- STOP and START -----------------------------------------------------------

TEST_F(AdapterTest, StopEndsTheAdapterAndTheModelThreadStartBuildsAnother) {
    fakes::EngineSpec engine;
    fakes::NextModel().engines = {engine};
    PlugUsb(simusb::BuildUac1Headset());
    LoadAndAdd();
    ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    EXPECT_EQ(fakes::Models().running, 1);
    ASSERT_EQ(Device().StopDevice(), STATUS_SUCCESS);
    EXPECT_EQ(fakes::Models().running, 0);
    EXPECT_EQ(fakes::Models().destroyed, 1);
    EXPECT_EQ(Context()->AudioHal, nullptr);
    fakes::ClearLog();
    ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    EXPECT_EQ(fakes::Models().created, 2);
    EXPECT_EQ(fakes::Models().running, 1);
    EXPECT_EQ(LogWith("engine0:name"), std::vector<std::string>{"engine0:name:SPKOut01"});
}

}  // namespace

// The Audio Control parser and the stream-path walk on built devices: what
// ends the walk, which subtypes it refuses, which entities it connects, the
// per-product descriptor correction and check, which units a render path
// takes, and the extra units short paths get.
#include <gtest/gtest.h>

#include "adapter/usb/usb_audio_device.h"
#include "sim/system.h"
#include "stream/engine/stream_engine.h"
#include "tests/adapter/uac1/model_fixture.h"
#include "topology/terminal_units.h"
#include "topology/uac_entity.h"

namespace uac1test {
namespace {

std::vector<ULONG> EngineUnits(IStreamEngine* engine) {
    std::vector<ULONG> ids;
    for (ULONG i = 0; engine != nullptr && i < engine->GetUnitCount(); ++i) {
        IUacUnit* unit = nullptr;
        if (NT_SUCCESS(engine->GetUnit(i, &unit))) ids.push_back(unit->GetId());
    }
    return ids;
}

std::vector<ULONG> Sources(IUacUnit* unit) {
    ULONG count = unit->GetSourceCount();
    std::vector<ULONG> ids(count);
    if (count != 0) unit->GetSourceIds(&count, ids.data());
    return ids;
}

class AcParserTest : public ModelTest {
protected:
    IUacUnit* Unit(ULONG id) {
        IUacUnit* unit = nullptr;
        return NT_SUCCESS(Model()->FindUnitById(id, &unit)) ? unit : nullptr;
    }
    ULONG LastNode(ULONG entityId) {
        CUacEntity* entity = nullptr;
        ULONG id = UNIT_ID_NONE;
        if (NT_SUCCESS(Model()->FindEntityById(entityId, &entity))) entity->GetLastNodeId(&id);
        return id;
    }
    ULONG PinType(ULONG unitId) {
        ITerminal* terminal = nullptr;
        ULONG type = UNIT_ID_NONE;
        if (NT_SUCCESS(Unit(unitId)->QueryInterface(IID_ITerminal, reinterpret_cast<PVOID*>(&terminal)))) {
            terminal->GetType(&type);
            terminal->Release();
        }
        return type;
    }
    // The configuration the adapter holds.
    const UCHAR* HeldConfiguration() {
        IUsbAudioDevice* usb = nullptr;
        if (!NT_SUCCESS(m_Adapter->QueryInterface(IID_IUsbAudioDevice, reinterpret_cast<PVOID*>(&usb)))) return nullptr;
        usb->Release();
        return reinterpret_cast<const UCHAR*>(usb->GetConfigurationDescriptor());
    }
};

TEST_F(AcParserTest, InterfaceDescriptorAloneGivesNoEntities) {
    ConfigBuilder c;
    c.Configuration().Interface(0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, 0);
    Plug(MakeSet(c.Build()));
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    EXPECT_EQ(Model()->GetEntityCount(), 0u);
    EXPECT_EQ(Model()->GetUnitCount(), 0u);
    EXPECT_EQ(Model()->GetStreamEngineCount(), 0u);
}

TEST_F(AcParserTest, WalkEndsAtTheNextInterface) {
    // An interface between the Audio Control descriptors and a unit that
    // would fail: the walk never reaches the unit.
    ConfigBuilder c;
    AudioControl(c, {}).Uac1InputTerminal(1, 0x0201, 1, 0).Interface(1, 0, 3, 0, 0).Descriptor({0x24, 0x07, 9, 0, 0});
    Plug(MakeSet(c.Build()));
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    EXPECT_EQ(Model()->GetEntityCount(), 1u);
}

class UnsupportedSubtypeTest : public AcParserTest, public ::testing::WithParamInterface<UCHAR> {};

TEST_P(UnsupportedSubtypeTest, FailsTheParse) {
    ConfigBuilder c;
    AudioControl(c, {})
        .Uac1InputTerminal(1, 0x0201, 1, 0)
        .Descriptor({0x24, GetParam(), 9, 0x01, 0x00, 0x01, 0x01, 0x01, 0x03, 0x00, 0x00, 0x01, 0x01, 0x00})
        .Uac1OutputTerminal(3, 0x0101, 9);
    Plug(MakeSet(c.Build()));
    EXPECT_EQ(InitAdapter(), STATUS_UNSUCCESSFUL);
}

INSTANTIATE_TEST_SUITE_P(Subtypes, UnsupportedSubtypeTest, ::testing::Values(0x07, 0x08, 0x0A, 0x00, 0xFF));

// ---- source linking ------------------------------------------------------------

struct SelectorCase {
    const char* name;
    int inputs;
    NTSTATUS status;
    bool connected;     // the selector node got the inputs' pins
    size_t engineUnits;  // capture engine: pin, selector and the inputs it reaches
};

std::ostream& operator<<(std::ostream& out, const SelectorCase& c) { return out << c.name; }

class SelectorSourcesTest : public AcParserTest, public ::testing::WithParamInterface<SelectorCase> {};

// Inputs 1..n (line connectors) -> selector 20 -> OT 21 USB streaming.
TEST_P(SelectorSourcesTest, ConnectsUpToNineSources) {
    const SelectorCase& k = GetParam();
    ConfigBuilder c;
    AudioControl(c, {1});
    std::vector<UCHAR> inputs;
    for (int i = 1; i <= k.inputs; ++i) {
        c.Uac1InputTerminal((UCHAR)i, 0x0603, 1, 0);
        inputs.push_back((UCHAR)i);
    }
    c.SelectorUnit(20, inputs).Uac1OutputTerminal(21, 0x0101, 20);
    Streaming(c, 1, 21, true, 1);
    Plug(MakeSet(c.Build()));
    ASSERT_EQ(InitAdapter(), k.status);
    if (!NT_SUCCESS(k.status)) return;
    IUacUnit* selector = Unit(LastNode(20));
    ASSERT_NE(selector, nullptr);
    std::vector<ULONG> expected;
    for (int i = 1; i <= k.inputs; ++i) expected.push_back(k.connected ? LastNode((ULONG)i) : UNIT_ID_NONE);
    EXPECT_EQ(Sources(selector), expected);
    EXPECT_EQ(EngineUnits(Engine(0)).size(), k.engineUnits);
}

INSTANTIATE_TEST_SUITE_P(Table, SelectorSourcesTest,
                         ::testing::Values(SelectorCase{"Nine", 9, STATUS_SUCCESS, true, 11},
                                           SelectorCase{"Ten", 10, STATUS_SUCCESS, false, 2},
                                           SelectorCase{"Twelve", 12, STATUS_SUCCESS, false, 2},
                                           SelectorCase{"Thirteen", 13, STATUS_INSUFFICIENT_RESOURCES, false, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AcParserTest, SourceNamingNoEntityFails) {
    ConfigBuilder c;
    AudioControl(c, {}).Uac1InputTerminal(1, 0x0201, 1, 0).Uac1OutputTerminal(2, 0x0101, 9);
    Plug(MakeSet(c.Build()));
    EXPECT_EQ(InitAdapter(), STATUS_UNSUCCESSFUL);
}

// ---- the product rows ------------------------------------------------------------

struct TerminalPatchCase {
    const char* name;
    USHORT vendor, product;
    USHORT type;      // of output terminal 16
    USHORT heldType;  // what the held configuration says afterwards
    ULONG pinType;
};

std::ostream& operator<<(std::ostream& out, const TerminalPatchCase& c) { return out << c.name; }

class TerminalPatchTest : public AcParserTest, public ::testing::WithParamInterface<TerminalPatchCase> {};

TEST_P(TerminalPatchTest, SpeakerSixteenBecomesHeadphones) {
    const TerminalPatchCase& k = GetParam();
    Bytes config = Terminals16And64();
    const size_t ot16 = FindEntity(config, UAC_OUTPUT_TERMINAL, 16);
    config[ot16 + 4] = (uint8_t)k.type;
    config[ot16 + 5] = (uint8_t)(k.type >> 8);
    Plug(MakeSet(config, k.vendor, k.product));
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    const UCHAR* held = HeldConfiguration();
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held[ot16 + 4] | held[ot16 + 5] << 8, k.heldType);
    EXPECT_EQ(PinType(LastNode(16)), k.pinType);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TerminalPatchTest,
    ::testing::Values(TerminalPatchCase{"VendorWide", 0x1B1C, 0x1234, 0x0301, 0x0302, ENDPOINT_HP},
                      TerminalPatchCase{"CheckedProduct", 0x1B1C, 0x0A04, 0x0301, 0x0302, ENDPOINT_HP},
                      TerminalPatchCase{"OtherVendor", kTestVendor, kTestProduct, 0x0301, 0x0301, ENDPOINT_SPK},
                      TerminalPatchCase{"NotASpeaker", 0x1B1C, 0x1234, 0x0603, 0x0603, ENDPOINT_LINE}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AcParserTest, OnlyTerminalSixteenIsPatched) {
    Bytes config = Terminals16And64();
    config[FindEntity(config, UAC_OUTPUT_TERMINAL, 16) + 3] = 17;
    config[FindClassSpecific(config, UAC_AS_GENERAL, 0) + 3] = 1;
    Plug(MakeSet(config, 0x1B1C, 0x1234));
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    EXPECT_EQ(PinType(LastNode(17)), (ULONG)ENDPOINT_SPK);
}

struct EndCheckCase {
    const char* name;
    UCHAR secondId;       // id of the second output terminal (64 in the fine device)
    UCHAR secondSubtype;  // made an input terminal when 2
    NTSTATUS status;
};

std::ostream& operator<<(std::ostream& out, const EndCheckCase& c) { return out << c.name; }

class EndCheckTest : public AcParserTest, public ::testing::WithParamInterface<EndCheckCase> {};

TEST_P(EndCheckTest, ProductNeedsTerminals16And64) {
    const EndCheckCase& k = GetParam();
    ConfigBuilder c;
    AudioControl(c, {1}).Uac1InputTerminal(1, 0x0101, 2, 0x0003).Uac1OutputTerminal(16, 0x0301, 1);
    if (k.secondSubtype == UAC_INPUT_TERMINAL)
        c.Uac1InputTerminal(k.secondId, 0x0201, 1, 0);
    else
        c.Uac1InputTerminal(2, 0x0201, 1, 0).Uac1OutputTerminal(k.secondId, 0x0101, 2);
    Streaming(c, 1, 1, false);
    Plug(MakeSet(c.Build(), 0x1B1C, 0x0A04));
    EXPECT_EQ(InitAdapter(), k.status);
}

INSTANTIATE_TEST_SUITE_P(Table, EndCheckTest,
                         ::testing::Values(EndCheckCase{"Both", 64, UAC_OUTPUT_TERMINAL, STATUS_SUCCESS},
                                           EndCheckCase{"SixtyFourMissing", 65, UAC_OUTPUT_TERMINAL,
                                                        STATUS_UNSUCCESSFUL},
                                           EndCheckCase{"SixtyFourNotOutput", 64, UAC_INPUT_TERMINAL,
                                                        STATUS_UNSUCCESSFUL}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- stream paths ----------------------------------------------------------------

TEST_F(AcParserTest, RenderPathStopsAtTheMixer) {
    // speaker 5 <- FU 4 [mute, volume] <- mixer 3 {1 USB streaming, 2 microphone}
    ConfigBuilder c;
    AudioControl(c, {1})
        .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
        .Uac1InputTerminal(2, 0x0201, 1, 0)
        .Uac1MixerUnit(3, {1, 2}, 2, 0x0003, {0x00})
        .Uac1FeatureUnit(4, 3, 1, {0x03, 0x00, 0x00})
        .Uac1OutputTerminal(5, 0x0301, 4);
    Streaming(c, 1, 1, false);
    Plug(MakeSet(c.Build()));
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    CUacEntity* feature = nullptr;
    ASSERT_EQ(Model()->FindEntityById(4, &feature), STATUS_SUCCESS);
    IUacUnit* mute = nullptr;
    IUacUnit* volume = nullptr;
    ASSERT_EQ(feature->GetNode(0, &mute), STATUS_SUCCESS);
    ASSERT_EQ(feature->GetNode(1, &volume), STATUS_SUCCESS);
    EXPECT_EQ(EngineUnits(Engine(0)), (std::vector<ULONG>{LastNode(5), volume->GetId(), mute->GetId(), LastNode(3)}));
    EXPECT_EQ(Unit(LastNode(3))->GetKind(), (ULONG)UNIT_KIND_SUM);
}

TEST_F(AcParserTest, RenderWithoutReachablePinFails) {
    // The only speaker hangs off the microphone, not the streaming terminal.
    ConfigBuilder c;
    AudioControl(c, {1})
        .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
        .Uac1InputTerminal(2, 0x0201, 1, 0)
        .Uac1OutputTerminal(3, 0x0301, 2);
    Streaming(c, 1, 1, false);
    Plug(MakeSet(c.Build()));
    EXPECT_EQ(InitAdapter(), STATUS_INVALID_PARAMETER);
}

// A render engine searches the first ten non-streaming output pins in unit
// order: `before` speakers fed by the microphone come first, then the one
// the streaming terminal reaches.
struct PinLimitCase {
    const char* name;
    int before;
    NTSTATUS status;
};

std::ostream& operator<<(std::ostream& out, const PinLimitCase& c) { return out << c.name; }

class PinLimitTest : public AcParserTest, public ::testing::WithParamInterface<PinLimitCase> {};

TEST_P(PinLimitTest, SearchesTheFirstTenPins) {
    ConfigBuilder c;
    AudioControl(c, {1}).Uac1InputTerminal(1, 0x0101, 2, 0x0003).Uac1InputTerminal(2, 0x0201, 1, 0);
    for (int i = 0; i < GetParam().before; ++i) c.Uac1OutputTerminal((UCHAR)(20 + i), 0x0301, 2);
    c.Uac1OutputTerminal(40, 0x0301, 1);
    Streaming(c, 1, 1, false);
    Plug(MakeSet(c.Build()));
    ASSERT_EQ(InitAdapter(), GetParam().status);
    if (NT_SUCCESS(GetParam().status)) {
        EXPECT_EQ(EngineUnits(Engine(0)).front(), LastNode(40));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, PinLimitTest,
                         ::testing::Values(PinLimitCase{"ReachablePinTenth", 9, STATUS_SUCCESS},
                                           PinLimitCase{"ReachablePinEleventh", 10, STATUS_INVALID_PARAMETER}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- extra units ------------------------------------------------------------------

struct ExtraUnitsCase {
    const char* name;
    const char* fixture;
    bool beforeVista;
    ULONG engine;
    // Added after the path walk, in order: "mute" a software mute node,
    // "mux" a selector; each fed by the one before, the first by the last
    // node of entity `feeder`, and the engine's output pin by the last.
    std::vector<const char*> added;
    ULONG feeder;
};

std::ostream& operator<<(std::ostream& out, const ExtraUnitsCase& c) { return out << c.name; }

class ExtraUnitsTest : public AcParserTest, public ::testing::WithParamInterface<ExtraUnitsCase> {
protected:
    void TearDown() override {
        sim::SetSystemVersion(sim::kWindows11);
        AcParserTest::TearDown();
    }
};

TEST_P(ExtraUnitsTest, ShortPathsGetSoftwareUnits) {
    const ExtraUnitsCase& k = GetParam();
    if (k.beforeVista) sim::SetSystemVersion(sim::kWindowsXpSp3);
    Plug(LoadFixture(k.fixture));
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    const std::vector<ULONG> units = EngineUnits(Engine(k.engine));
    ASSERT_GE(units.size(), k.added.size() + 1);
    ULONG previous = LastNode(k.feeder);
    for (size_t i = 0; i < k.added.size(); ++i) {
        IUacUnit* unit = Unit(units[units.size() - k.added.size() + i]);
        const std::string kind = k.added[i];
        EXPECT_EQ(unit->GetKind(), kind == "mux" ? (ULONG)UNIT_KIND_MUX : (ULONG)UNIT_KIND_MUTE) << kind;
        EXPECT_EQ(Sources(unit), std::vector<ULONG>{previous}) << kind;
        previous = unit->GetId();
    }
    EXPECT_EQ(Sources(Unit(units[0])), std::vector<ULONG>{previous});
    // A software mute runs twice per block: as a unit and as a node.
    const bool mute = !k.added.empty() && std::string(k.added[0]) == "mute";
    EXPECT_EQ(View(k.engine)->DspNodeCount(), mute ? 2u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExtraUnitsTest,
    ::testing::Values(ExtraUnitsCase{"TwoUnitCapture", "class_example_microphone", false, 0, {"mute"}, 1},
                      ExtraUnitsCase{"TwoUnitCaptureBeforeVista", "class_example_microphone", true, 0, {"mute", "mux"}, 1},
                      ExtraUnitsCase{"TwoUnitRender", "many_alts", false, 0, {"mute"}, 1},
                      ExtraUnitsCase{"TwoUnitRenderBeforeVista", "many_alts", true, 0, {"mute"}, 1},
                      ExtraUnitsCase{"CaptureTwoPins", "headset", false, 1, {}, 5},
                      ExtraUnitsCase{"CaptureTwoPinsBeforeVista", "headset", true, 1, {"mux"}, 5},
                      ExtraUnitsCase{"CaptureWithSelectorBeforeVista", "selector_capture", true, 0, {}, 4}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace uac1test

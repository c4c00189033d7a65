// The filter builder: pins, nodes, categories and names, and the
// connection walk (against a plain recursive walk without a visited set).
#include <algorithm>
#include <random>
#include <string>

#include "portcls/portcls_guids.h"
#include "sim/system.h"
#include "tests/topology/topo_fixture.h"

namespace topotest {
namespace {

const ULONG F = KSFILTER_NODE;
using Conn = PCCONNECTION_DESCRIPTOR;

class BuilderTest : public TopoTest {
protected:
    const PCPIN_DESCRIPTOR& Pin(ULONG i) { return filter->Pins[i]; }
    const PCNODE_DESCRIPTOR& Node(ULONG i) { return filter->Nodes[i]; }
};

TEST_F(BuilderTest, FourUnitExampleGivesTheExactArraysInReverseOrder) {
    AddInputPin(0, ENDPOINT_STREAM);
    AddOutputPin(1, 2, ENDPOINT_SPK);
    AddVolume(2, 3);
    AddMute(3, 0);
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    ASSERT_EQ(filter->PinCount, 2u);
    ASSERT_EQ(filter->NodeCount, 2u);
    EXPECT_EQ(filter->PinSize, sizeof(PCPIN_DESCRIPTOR));
    EXPECT_EQ(filter->NodeSize, sizeof(PCNODE_DESCRIPTOR));
    EXPECT_EQ(Pin(0).KsPinDescriptor.DataFlow, KSPIN_DATAFLOW_IN);
    EXPECT_EQ(*Pin(0).KsPinDescriptor.Category, KSCATEGORY_AUDIO);
    EXPECT_EQ(Pin(1).KsPinDescriptor.DataFlow, KSPIN_DATAFLOW_OUT);
    EXPECT_EQ(*Pin(1).KsPinDescriptor.Category, KSNODETYPE_SPEAKER);
    EXPECT_EQ(Pin(1).KsPinDescriptor.Name, nullptr);
    EXPECT_EQ(Pin(1).KsPinDescriptor.DataRangesCount, 1u);
    const KSDATARANGE* range = Pin(1).KsPinDescriptor.DataRanges[0];
    EXPECT_EQ(range->FormatSize, 64u);
    EXPECT_EQ(range->MajorFormat, KSDATAFORMAT_TYPE_AUDIO);
    EXPECT_EQ(range->SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG);
    EXPECT_EQ(range->Specifier, KSDATAFORMAT_SPECIFIER_NONE);
    EXPECT_EQ(*Node(0).Type, KSNODETYPE_VOLUME);
    EXPECT_EQ(*Node(1).Type, KSNODETYPE_MUTE);
    EXPECT_EQ(Node(1).Name, nullptr);
    std::vector<Conn> expected = {{0, 0, F, 1}, {1, 0, 0, 1}, {F, 0, 1, 1}};
    EXPECT_EQ(Connections(), expected);
    ASSERT_EQ(filter->CategoryCount, 3u);
    EXPECT_EQ(filter->Categories[0], KSCATEGORY_AUDIO);
    EXPECT_EQ(filter->Categories[1], KSCATEGORY_TOPOLOGY);
    EXPECT_EQ(filter->Categories[2], GUID_DEVINTERFACE_ENUM_PRIVATE);
}

TEST_F(BuilderTest, StreamingPinsComeFirstInReverseUnitOrder) {
    AddInputPin(10, ENDPOINT_MIC);
    AddOutputPin(11, 10, ENDPOINT_SPK);
    AddInputPin(12, ENDPOINT_STREAM);
    AddInputPin(13, ENDPOINT_LINE);
    AddOutputPin(14, 13, ENDPOINT_HP);
    AddOutputPin(15, 12, ENDPOINT_STREAM);
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    std::vector<ULONG> ids;
    for (ULONG unitId : {15u, 12u, 10u, 11u, 13u, 14u}) {
        ULONG id = unitId;
        ASSERT_EQ(miniport->QueryMappedId(&id), STATUS_SUCCESS);
        ids.push_back(id);
    }
    EXPECT_EQ(ids, (std::vector<ULONG>{0, 1, 2, 3, 4, 5}));
}

TEST_F(BuilderTest, SharedSumIsConnectedOnceAndPinToPinIsDirect) {
    AddInputPin(1, ENDPOINT_MIC);
    AddInputPin(2, ENDPOINT_LINE);
    AddSum(3, {1, 2});
    AddOutputPin(4, 3, ENDPOINT_SPK);
    AddOutputPin(5, 3, ENDPOINT_HP);
    AddOutputPin(6, 1, ENDPOINT_SPDIF);
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    ASSERT_EQ(filter->NodeCount, 1u);
    EXPECT_EQ(*Node(0).Type, KSNODETYPE_SUM);
    EXPECT_EQ(Node(0).AutomationTable, nullptr);
    // Pins: mic 0, line 1, spk 2, hp 3, spdif 4.
    std::vector<Conn> expected = {{F, 0, F, 4}, {0, 0, F, 3}, {0, 0, F, 2}, {F, 1, 0, 2}, {F, 0, 0, 1}};
    EXPECT_EQ(Connections(), expected);
}

TEST_F(BuilderTest, SelectorTypeFollowsItsSourceCountAndTheClockIsSkipped) {
    AddInputPin(1, ENDPOINT_MIC);
    AddInputPin(2, ENDPOINT_LINE);
    AddMux(3, {1, 2});
    AddMux(4, {3});
    CClockUnit* clock = NewUnit<CClockUnit>(9u);
    const ULONG rate = 48000;
    ASSERT_EQ(clock->Init(1, &rate), STATUS_SUCCESS);
    Add(clock);
    AddOutputPin(5, 4, ENDPOINT_STREAM);
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    EXPECT_EQ(filter->PinCount, 3u);
    ASSERT_EQ(filter->NodeCount, 2u);
    EXPECT_EQ(*Node(0).Type, KSNODETYPE_MUX);
    EXPECT_EQ(Node(0).Name, nullptr);
    EXPECT_EQ(*Node(1).Type, KSNODETYPE_DEV_SPECIFIC);
    EXPECT_EQ(*Node(1).Name, KSNODETYPE_DEV_SPECIFIC);
    ULONG id = 9;
    EXPECT_EQ(miniport->QueryMappedId(&id), STATUS_UNSUCCESSFUL);
}

struct FailCase {
    const char* name;
    ULONG kind;
    ULONG pinType;
    NTSTATUS expected;
};

class BuilderFailTest : public TopoTest, public ::testing::WithParamInterface<FailCase> {};

// A unit kind that is no node, an endpoint type that is no pin, or an
// effect node without its interface: the build fails and leaves nothing.
TEST_P(BuilderFailTest, BuildFailsCleanly) {
    AddInputPin(1, ENDPOINT_MIC);
    AddOutputPin(2, 3, GetParam().pinType);
    AddScripted(3, GetParam().kind, {1});
    EXPECT_EQ(Build(), GetParam().expected);
    PPCFILTER_DESCRIPTOR description = NULL;
    IMiniportTopology* topo = static_cast<IMiniportTopology*>(miniport);
    EXPECT_EQ(topo->GetDescription(&description), STATUS_DEVICE_CONFIGURATION_ERROR);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, BuilderFailTest,
    ::testing::Values(FailCase{"Kind14", 14, ENDPOINT_SPK, STATUS_INVALID_PARAMETER},
                      FailCase{"Kind21", 21, ENDPOINT_SPK, STATUS_INVALID_PARAMETER},
                      FailCase{"Kind25", 25, ENDPOINT_SPK, STATUS_INVALID_PARAMETER},
                      FailCase{"EndpointType18", UNIT_KIND_SUM, ENDPOINT_REC, STATUS_INVALID_PARAMETER},
                      FailCase{"EffectWithoutInterface", UNIT_KIND_EFFECT, ENDPOINT_SPK, STATUS_INVALID_PARAMETER},
                      FailCase{"Kind24WithoutInterface", UNIT_KIND_DEV_EFFECT_24, ENDPOINT_SPK,
                               STATUS_INVALID_PARAMETER}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Pin categories and names ----

struct CategoryCase {
    const char* name;
    ULONG type;
    bool output;
    bool vista;
    const char16_t* value;  // "Settings" value present, or NULL
    const GUID* category;
    const GUID* pinName;    // NULL: no name
};

const GUID kStoredName = {0xABCDEF01, 0x2345, 0x6789, {1, 2, 3, 4, 5, 6, 7, 8}};

std::vector<CategoryCase> CategoryCases() {
    return {
        {"StreamIn", ENDPOINT_STREAM, false, true, NULL, &KSCATEGORY_AUDIO, NULL},
        {"SpkOut", ENDPOINT_SPK, true, true, NULL, &KSNODETYPE_SPEAKER, NULL},
        {"HpOutStored", ENDPOINT_HP, true, true, u"HeadPhoneOutName_01", &KSNODETYPE_HEADPHONES, &kStoredName},
        {"HpOutMissing", ENDPOINT_HP, true, true, NULL, &KSNODETYPE_HEADPHONES, NULL},
        {"HpInIgnoresValue", ENDPOINT_HP, false, true, u"HeadPhoneOutName_01", &KSNODETYPE_HEADPHONES, NULL},
        {"SpdifOutDefault", ENDPOINT_SPDIF, true, true, NULL, &KSNODETYPE_SPDIF_INTERFACE, &PINNAME_SPDIF_OUT},
        {"SpdifOutStored", ENDPOINT_SPDIF, true, true, u"SpdifOutName_01", &KSNODETYPE_SPDIF_INTERFACE, &kStoredName},
        {"SpdifInDefault", ENDPOINT_SPDIF, false, true, NULL, &KSNODETYPE_SPDIF_INTERFACE, &PINNAME_SPDIF_IN},
        {"SpdifInStored", ENDPOINT_SPDIF, false, true, u"SpdifInName_01", &KSNODETYPE_SPDIF_INTERFACE, &kStoredName},
        {"Hdmi", ENDPOINT_HDMI, true, true, NULL, &KSNODETYPE_HDMI_INTERFACE, &PINNAME_HDMI},
        {"DisplayPort", ENDPOINT_DISPLAYPORT, false, true, NULL, &KSNODETYPE_DISPLAYPORT_INTERFACE, &PINNAME_DISPLAYPORT},
        {"LineInStored", ENDPOINT_LINE, false, true, u"LineInName_01", &KSNODETYPE_LINE_CONNECTOR, &kStoredName},
        {"LineOutNoStem", ENDPOINT_LINE, true, true, u"LineInName_01", &KSNODETYPE_LINE_CONNECTOR, NULL},
        {"MicInStored", ENDPOINT_MIC, false, true, u"MicroPhoneInName_01", &KSNODETYPE_MICROPHONE, &kStoredName},
        {"AuxVista", ENDPOINT_AUX, false, true, NULL, &KSNODETYPE_ANALOG_CONNECTOR, &PINNAME_AUX},
        {"AuxXp", ENDPOINT_AUX, false, false, NULL, &KSNODETYPE_ANALOG_CONNECTOR, NULL},
        {"Cd", ENDPOINT_CD, false, true, NULL, &KSNODETYPE_CD_PLAYER, NULL},
        {"Video", ENDPOINT_VIDEO, false, true, NULL, &KSNODETYPE_VIDEO_DISC_AUDIO, NULL},
        {"FMic", ENDPOINT_FMIC, false, true, NULL, &KSNODETYPE_DESKTOP_MICROPHONE, NULL},
        {"Telephone", ENDPOINT_TELEPHONE, false, true, NULL, &KSNODETYPE_TELEPHONE, NULL},
        {"HandSet", ENDPOINT_HANDSET, true, true, NULL, &KSNODETYPE_HANDSET, NULL},
        {"HeadSetOut", ENDPOINT_HEADSET, true, true, u"HeadSetOutName_01", &KSNODETYPE_HEADSET, &kStoredName},
        {"HeadSetIn", ENDPOINT_HEADSET, false, true, u"HeadSetInName_01", &KSNODETYPE_HEADSET, &kStoredName},
        {"Speakerphone", ENDPOINT_SPEAKERPHONE, true, true, NULL, &KSNODETYPE_SPEAKERPHONE_NO_ECHO_REDUCTION, NULL},
        {"StereoMixVista", ENDPOINT_STEREOMIX, false, true, NULL, &KSNODETYPE_ANALOG_CONNECTOR, &PINNAME_STEREOMIX},
        {"StereoMixXp", ENDPOINT_STEREOMIX, false, false, NULL, &PINCATEGORY_STEREOMIX_LEGACY, NULL},
        {"Fhp", ENDPOINT_FHP, true, true, NULL, &KSNODETYPE_HEADPHONES, NULL},
    };
}

class CategoryTest : public TopoTest, public ::testing::WithParamInterface<CategoryCase> {};

TEST_P(CategoryTest, CategoryAndNameByEndpointType) {
    const CategoryCase& c = GetParam();
    sim::SetSystemVersion(c.vista ? sim::kWindowsVista : sim::kWindowsXpSp3);
    if (c.value != NULL) {
        fakes::SettingsSet(c.value, GuidBytes(kStoredName));
    }
    // Pin 0 feeds (or is fed by) the pin under test, pin 1.
    if (c.output) {
        AddInputPin(1, ENDPOINT_MIC);
        AddOutputPin(2, 1, c.type);
    } else {
        AddOutputPin(1, 2, ENDPOINT_SPK);
        AddInputPin(2, c.type);
    }
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    ULONG pinId = 2;
    ASSERT_EQ(miniport->QueryMappedId(&pinId), STATUS_SUCCESS);
    const KSPIN_DESCRIPTOR& ks = filter->Pins[pinId].KsPinDescriptor;
    if (c.type == ENDPOINT_STREAM) {
        ASSERT_EQ(pinId, 0u);
    } else {
        ASSERT_EQ(pinId, 1u);
    }
    EXPECT_EQ(*ks.Category, *c.category);
    if (c.pinName == NULL) {
        EXPECT_EQ(ks.Name, nullptr);
    } else {
        ASSERT_NE(ks.Name, nullptr);
        EXPECT_EQ(*ks.Name, *c.pinName);
    }
}

INSTANTIATE_TEST_SUITE_P(Types, CategoryTest, ::testing::ValuesIn(CategoryCases()),
                         [](const auto& info) { return std::string(info.param.name); });

const GUID kNameA = {0xAAAA0001, 0, 0, {1}};
const GUID kNameB = {0xBBBB0002, 0, 0, {2}};

class CNamedEffect : public CEffectUnit {
public:
    CNamedEffect(PUNKNOWN outer, ULONG id, const GUID* name) : CEffectUnit(outer, id) { m_NameGuid = *name; }
};

TEST_F(BuilderTest, PinsAndEffectNodesKeepTheirOwnNames) {
    fakes::SettingsSet(u"HeadPhoneOutName_01", GuidBytes(kNameA));
    fakes::SettingsSet(u"HeadPhoneOutName_02", GuidBytes(kNameB));
    AddInputPin(1, ENDPOINT_MIC);
    CNamedEffect* e1 = NewUnit<CNamedEffect>(2u, &kNameA);
    ASSERT_EQ(e1->Init(1), STATUS_SUCCESS);
    Add(e1);
    CNamedEffect* e2 = NewUnit<CNamedEffect>(3u, &kNameB);
    ASSERT_EQ(e2->Init(1), STATUS_SUCCESS);
    Add(e2);
    AddOutputPin(4, 2, ENDPOINT_HP);
    AddOutputPin(5, 3, ENDPOINT_HP);
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    EXPECT_EQ(*filter->Pins[1].KsPinDescriptor.Name, kNameA);
    EXPECT_EQ(*filter->Pins[2].KsPinDescriptor.Name, kNameB);
    EXPECT_EQ(*filter->Nodes[0].Name, kNameA);
    EXPECT_EQ(*filter->Nodes[1].Name, kNameB);
    EXPECT_EQ(*filter->Nodes[0].Type, KSNODETYPE_DEV_SPECIFIC);
}

// ---- Walk edge cases ----

struct CycleCase {
    const char* name;
    std::vector<std::pair<ULONG, std::vector<ULONG>>> nodes;  // id, sources
    ULONG outputSource;
};

class CycleTest : public TopoTest, public ::testing::WithParamInterface<CycleCase> {};

TEST_P(CycleTest, CycleFailsTheBuild) {
    AddInputPin(1, ENDPOINT_MIC);
    for (const auto& n : GetParam().nodes) {
        AddSum(n.first, n.second);
    }
    AddOutputPin(9, GetParam().outputSource, ENDPOINT_SPK);
    EXPECT_EQ(Build(), STATUS_INVALID_PARAMETER);
}

INSTANTIATE_TEST_SUITE_P(Loops, CycleTest,
                         ::testing::Values(CycleCase{"SelfLoop", {{3, {1, 3}}}, 3},
                                           CycleCase{"TwoCycle", {{3, {4}}, {4, {1, 3}}}, 3},
                                           CycleCase{"CycleBelowNode", {{3, {5}}, {5, {6}}, {6, {5, 1}}}, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

// A selector the parser could not connect (more sources than it follows)
// feeds an output pin directly and through a volume node: its inputs stay
// unconnected and the filter builds.
TEST_F(BuilderTest, UnconnectedSelectorInputsStayOpen) {
    AddInputPin(1, ENDPOINT_MIC);
    AddMux(2, std::vector<ULONG>(10, NONE));
    AddVolume(3, 2);
    AddOutputPin(4, 2, ENDPOINT_STREAM);
    AddOutputPin(5, 3, ENDPOINT_SPK);
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    // Pins: stream out 0, mic 1, spk 2. Nodes: selector 0, volume 1.
    std::vector<Conn> expected = {{1, 0, F, 2}, {0, 0, 1, 1}, {0, 0, F, 0}};
    EXPECT_EQ(Connections(), expected);
    EXPECT_EQ(*filter->Nodes[0].Type, KSNODETYPE_MUX);
}

TEST_F(BuilderTest, OutputPinWithoutSourceFailsAndSourcelessNodeDeeperStaysOpen) {
    AddInputPin(1, ENDPOINT_MIC);
    AddSum(2, {});       // no source and no pin of its own id
    AddSum(3, {2, 1});   // input 1 from the source-less node, input 2 from the mic
    AddOutputPin(4, 3, ENDPOINT_SPK);
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    std::vector<Conn> expected = {{1, 0, F, 1}, {F, 0, 1, 2}, {0, 0, 1, 1}};
    EXPECT_EQ(Connections(), expected);
    ReleaseAll();

    hal = fakes::CFakeAudioHal::Create();
    COutputPinUnit* orphan = NewUnit<COutputPinUnit>(4u);
    Add(orphan);  // never initialised: no source at all
    EXPECT_EQ(Build(), STATUS_UNSUCCESSFUL);
}

TEST_F(BuilderTest, SixtyLevelLadderOfSharedInputsBuilds) {
    AddInputPin(1, ENDPOINT_MIC);
    ULONG below = 1;
    for (ULONG level = 0; level < 60; ++level) {
        AddSum(100 + level, {below, below});
        below = 100 + level;
    }
    AddOutputPin(2, below, ENDPOINT_SPK);
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    EXPECT_EQ(filter->NodeCount, 60u);
    EXPECT_EQ(filter->ConnectionCount, 121u);
}

// ---- Random graphs against the literal walk ----

struct LitUnit {
    ULONG id;
    ULONG kind;
    std::vector<ULONG> sources;
};

// The plain recursive walk: no visited set, duplicates
// dropped when added, each connection put at the head of the list.
class PlainWalk {
public:
    PlainWalk(const std::vector<LitUnit>& pins, const std::vector<LitUnit>& nodes) : m_Pins(pins), m_Nodes(nodes) {}

    NTSTATUS Run(std::vector<Conn>* out) {
        for (ULONG i = 0; i < m_Pins.size(); ++i) {
            if (m_Pins[i].kind != UNIT_KIND_OUTPUT_PIN) continue;
            ULONG s = m_Pins[i].sources[0];
            int node = Find(m_Nodes, s), pin = Find(m_Pins, s);
            if (node >= 0) {
                NTSTATUS status = AddNode(node);
                if (!NT_SUCCESS(status)) return status;
                Add({(ULONG)node, 0, F, i});
            } else if (pin >= 0) {
                Add({F, (ULONG)pin, F, i});
            } else {
                return STATUS_UNSUCCESSFUL;
            }
        }
        *out = m_List;
        return STATUS_SUCCESS;
    }

private:
    static int Find(const std::vector<LitUnit>& list, ULONG id) {
        for (size_t i = 0; i < list.size(); ++i) {
            if (list[i].id == id) return (int)i;
        }
        return -1;
    }
    NTSTATUS AddNode(int n) {
        const LitUnit& node = m_Nodes[n];
        if (node.sources.empty()) {
            int pin = Find(m_Pins, node.id);
            if (pin < 0) return STATUS_UNSUCCESSFUL;
            Add({F, (ULONG)pin, (ULONG)n, 1});
            return STATUS_SUCCESS;
        }
        for (ULONG k = 1; k <= node.sources.size(); ++k) {
            ULONG s = node.sources[k - 1];
            int m = Find(m_Nodes, s), pin = Find(m_Pins, s);
            if (m >= 0) {
                AddNode(m);
                Add({(ULONG)m, 0, (ULONG)n, k});
            } else if (pin >= 0) {
                Add({F, (ULONG)pin, (ULONG)n, k});
            } else {
                return STATUS_UNSUCCESSFUL;
            }
        }
        return STATUS_SUCCESS;
    }
    void Add(const Conn& c) {
        if (std::find(m_List.begin(), m_List.end(), c) == m_List.end()) m_List.insert(m_List.begin(), c);
    }
    std::vector<LitUnit> m_Pins, m_Nodes;
    std::vector<Conn> m_List;
};

TEST_F(BuilderTest, RandomAcyclicGraphsMatchThePlainWalk) {
    int built = 0, failed = 0;
    for (unsigned seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        std::vector<LitUnit> units;  // in unit-list order; sources only point backwards
        std::vector<ULONG> feeders;  // input pins and nodes made so far
        const int count = 4 + (int)(rng() % 9);
        for (int i = 0; i < count; ++i) {
            ULONG id = 20 + (ULONG)i;
            int what = feeders.empty() ? 0 : (int)(rng() % 4);
            auto pick = [&]() { return (rng() % 9 == 0) ? 999u : feeders[rng() % feeders.size()]; };
            if (what == 0) {
                units.push_back({id, UNIT_KIND_INPUT_PIN, {}});
                feeders.push_back(id);
            } else if (what == 1) {
                units.push_back({id, UNIT_KIND_OUTPUT_PIN, {pick()}});
            } else {
                std::vector<ULONG> sources;
                for (ULONG k = rng() % 4; k > 0; --k) sources.push_back(pick());
                units.push_back({id, UNIT_KIND_SUM, sources});
                feeders.push_back(id);
            }
        }
        std::vector<LitUnit> pins, nodes;
        for (const LitUnit& u : units) {
            if (u.kind == UNIT_KIND_SUM) {
                nodes.push_back(u);
                AddSum(u.id, u.sources);
            } else {
                pins.push_back(u);
                if (u.kind == UNIT_KIND_INPUT_PIN) AddInputPin(u.id, ENDPOINT_MIC);
                else AddOutputPin(u.id, u.sources[0], ENDPOINT_SPK);
            }
        }
        std::vector<Conn> literal;
        NTSTATUS expected = PlainWalk(pins, nodes).Run(&literal);
        EXPECT_EQ(Build(), expected);
        if (NT_SUCCESS(expected)) {
            EXPECT_EQ(Connections(), literal);
            built += literal.size() > 2 ? 1 : 0;
        } else {
            failed++;
        }
        ReleaseAll();
        hal = fakes::CFakeAudioHal::Create();
    }
    // The seeds cover both outcomes, with graphs of some size.
    EXPECT_GT(built, 10);
    EXPECT_GT(failed, 5);
}

}  // namespace
}  // namespace topotest

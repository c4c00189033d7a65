// UAC 1.0 terminals, selector and mixer on the simulated device: the
// output terminal's initial type, its pins and terminal-type node, a type
// switched by the device, the terminal-type node's selection with its
// roll-back, and the wiring of the entities' nodes.
#include "tests/topology/uac/uac_fixture.h"
#include "topology/level_nodes.h"
#include "topology/terminal_nodes.h"
#include "topology/uac1_terminals.h"

namespace uactest {
namespace {

// Units of the test device after BuildAll.
constexpr ULONG kVolume2 = 2, kMute2 = 1, kHpPin = 3, kSpkPin = 4, kTypeNode = 5, kMicPin = 6, kSelector = 10;

class TerminalTest : public UacTest {
protected:
    ITerminal* Terminal(UCHAR id) { return As<ITerminal>(static_cast<IUacUnit*>(Entity(id)), IID_ITerminal); }
    ITerminalTypeUnit* TypeNode() { return As<ITerminalTypeUnit>(Unit(kTypeNode), IID_ITerminalTypeUnit); }
    ULONG CurrentType(ITerminal* t) {
        ULONG type = 99;
        t->GetType(&type);
        return type;
    }
    size_t VendorRequestsTo(UCHAR entity) {
        size_t n = 0;
        for (const auto& e : Log()) n += (e.setup.bmRequestType & 0x60) == 0x40 && (e.setup.wIndex >> 8) == entity;
        return n;
    }
};

struct InitialTypeCase {
    const char* name;
    std::optional<ULONG> stored;  // "UACUnit03"
    ULONG initBySelection;
    ULONG expected;
    USHORT deviceAfter;
};

void PrintTo(const InitialTypeCase& c, std::ostream* os) { *os << c.name; }

class InitialTypeTest : public TerminalTest, public ::testing::WithParamInterface<InitialTypeCase> {};

// The device lists {headphones, speaker} behind a speaker terminal and has
// headphones selected.
TEST_P(InitialTypeTest, CurrentTypePinsTypeNodeAndDeviceSelection) {
    const InitialTypeCase& c = GetParam();
    if (c.stored) Store(u"UACUnit03", Le32(*c.stored));
    Store(u"INITOTTYPEBYSEL", Le32(c.initBySelection));
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    ITerminal* terminal = Terminal(3);
    EXPECT_EQ(CurrentType(terminal), c.expected);
    ULONG count = 0, types[5] = {};
    terminal->GetTypeCount(&count);
    terminal->GetTypes(types);
    EXPECT_EQ(std::vector<ULONG>(types, types + count), (std::vector<ULONG>{ENDPOINT_HP, ENDPOINT_SPK}));
    EXPECT_EQ(Unit(kHpPin)->GetKind(), (ULONG)UNIT_KIND_OUTPUT_PIN);
    EXPECT_EQ(CurrentType(As<ITerminal>(Unit(kHpPin), IID_ITerminal)), (ULONG)ENDPOINT_HP);
    EXPECT_EQ(CurrentType(As<ITerminal>(Unit(kSpkPin), IID_ITerminal)), (ULONG)ENDPOINT_SPK);
    ULONG nodeType = 0;
    ASSERT_NE(TypeNode(), nullptr);
    TypeNode()->GetType(&nodeType);
    EXPECT_EQ(nodeType, c.expected);
    EXPECT_EQ(uac().CurrentTerminalType(3), c.deviceAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Initial, InitialTypeTest,
    ::testing::Values(InitialTypeCase{"FromTheDescriptor", std::nullopt, 0, ENDPOINT_SPK, 0x0301},
                      InitialTypeCase{"FromTheDeviceSelection", std::nullopt, 1, ENDPOINT_HP, 0x0302},
                      InitialTypeCase{"Stored", ENDPOINT_HP, 0, ENDPOINT_HP, 0x0302},
                      InitialTypeCase{"StoredButNotListed", ENDPOINT_HDMI, 0, ENDPOINT_SPK, 0x0301},
                      InitialTypeCase{"StoredBeyondTheEndpointTypes", 25, 0, ENDPOINT_SPK, 0x0301}),
    [](const ::testing::TestParamInfo<InitialTypeCase>& info) { return std::string(info.param.name); });

TEST_F(TerminalTest, EachPinHasTheJacksOfItsType) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    ULONG hp = 0, spk = 0;
    As<ITerminal>(Unit(kHpPin), IID_ITerminal)->GetJackCount(&hp, 0);
    As<ITerminal>(Unit(kSpkPin), IID_ITerminal)->GetJackCount(&spk, 0);
    EXPECT_EQ(hp, 1u);
    EXPECT_EQ(spk, 2u);
}

class StreamingTerminalTest : public TerminalTest, public ::testing::WithParamInterface<std::pair<ULONG, ULONG>> {};

TEST_P(StreamingTerminalTest, OnePinOfTheStoredTypeAndNoVendorRequest) {
    Store(u"UACUnit08", Le32(GetParam().first));
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    EXPECT_EQ(CurrentType(Terminal(8)), GetParam().second);
    ULONG nodes = 0;
    Entity(8)->GetNodeCount(&nodes);
    EXPECT_EQ(nodes, 1u);
    EXPECT_EQ(VendorRequestsTo(8), 0u);
}

INSTANTIATE_TEST_SUITE_P(Streaming, StreamingTerminalTest,
                         ::testing::Values(std::make_pair(3u, 3u), std::make_pair(18u, 18u),
                                           std::make_pair(25u, 0u)));

TEST_F(TerminalTest, SixTypesFailBeforeTheListIsRead) {
    uac().SetTerminalTypes(3, {0x0302, 0x0301, 0x0603, 0x0605, 0x0402, 0x0401});
    ClearLog();
    EXPECT_EQ(BuildAll(), STATUS_INSUFFICIENT_RESOURCES);
    size_t listReads = 0;
    for (const auto& e : Log()) listReads += e.setup.bRequest == 0x86;
    EXPECT_EQ(listReads, 1u);
}

TEST_F(TerminalTest, TypeListAnsweredShortFailsTheTerminal) {
    simusb::ControlRule rule;
    rule.bRequest = 0x86;
    rule.skip = 1;  // the count passes, the list comes short
    rule.action = simusb::ControlRule::Short;
    rule.shortTo = 9;
    device().AddControlRule(rule);
    EXPECT_EQ(BuildAll(), STATUS_UNSUCCESSFUL);
}

TEST_F(TerminalTest, UnlistedTypeChangesNothing) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    ClearLog();
    EXPECT_EQ(Terminal(3)->SelectType(ENDPOINT_HDMI), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(CurrentType(Terminal(3)), (ULONG)ENDPOINT_SPK);
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(Terminal(4)->SelectType(ENDPOINT_MIC), STATUS_SUCCESS);
    EXPECT_EQ(Terminal(4)->SelectType(ENDPOINT_LINE), STATUS_INVALID_PARAMETER);
}

// The device switches from headphones to speakers by itself.
TEST_F(TerminalTest, DeviceReportedSwitchMovesTheControlsToTheirSpeakerValues) {
    Store(u"UACUnit03", Le32(ENDPOINT_HP));
    Store(u"Unit02_ 1_0", Le32((ULONG)Db(-33)));  // the speaker volume
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    ASSERT_TRUE(uac().SelectTerminalType(3, 0x0301));
    ClearLog();
    ULONG nodeId = 0;
    EXPECT_EQ(Entity(3)->OnControlChange(0, 0, &nodeId), STATUS_SUCCESS);
    EXPECT_EQ(Stored(u"UACUnit03"), Le32(ENDPOINT_SPK));
    EXPECT_EQ(Stored(u"Unit05_"), Le32(ENDPOINT_SPK));
    ULONG nodeType = 0;
    TypeNode()->GetType(&nodeType);
    EXPECT_EQ(nodeType, (ULONG)ENDPOINT_SPK);
    EXPECT_EQ(m_Model->updates, std::vector<ULONG>{3});
    LONG device = 0;
    uac().GetValue(2, UAC_CS_VOLUME, 1, &device);
    EXPECT_EQ(device, -33 * 256);
}

// ---- the terminal-type node ----

TEST_F(TerminalTest, SameTypeSendsNothing) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    ClearLog();
    EXPECT_EQ(TypeNode()->SelectType(ENDPOINT_SPK), STATUS_SUCCESS);
    EXPECT_TRUE(Log().empty());
    EXPECT_TRUE(m_Model->updates.empty());
}

struct Notifications {
    std::vector<ULONG> ids;
    static VOID Callback(PVOID context, PVOID argument1, PVOID) {
        auto* message = static_cast<AUDIOHAL_NOTIFICATION*>(argument1);
        EXPECT_EQ(message->Type, 1u);
        EXPECT_EQ(message->Code, 1u);
        static_cast<Notifications*>(context)->ids.push_back(message->Id);
    }
};

TEST_F(TerminalTest, SelectionSwitchesDeviceSubdevicesAndListeners) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    Notifications seen;
    PVOID registration = nullptr;
    ASSERT_EQ(m_Model->RegisterCallback(Notifications::Callback, &seen, &registration), STATUS_SUCCESS);
    EXPECT_EQ(TypeNode()->SelectType(ENDPOINT_HP), STATUS_SUCCESS);
    m_Model->UnregisterCallback(registration);
    EXPECT_EQ(uac().CurrentTerminalType(3), 0x0302);
    EXPECT_EQ(m_Model->updates, std::vector<ULONG>{3});
    EXPECT_EQ(seen.ids, (std::vector<ULONG>{kVolume2, kMute2}));
    EXPECT_EQ(Stored(u"Unit05_"), Le32(ENDPOINT_HP));
    EXPECT_EQ(Stored(u"UACUnit03"), Le32(ENDPOINT_HP));
    EXPECT_EQ(TypeNode()->IsChanged(), 1u);
}

enum class Failure { Unlisted, NoUacHal, UpdateFails };

struct FailureCase {
    const char* name;
    Failure failure;
    ULONG requested;
    NTSTATUS status;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class TypeNodeFailureTest : public TerminalTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(TypeNodeFailureTest, RollsNodeAndDeviceBack) {
    const FailureCase& c = GetParam();
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    m_Model->answerUacHal = c.failure != Failure::NoUacHal;
    m_Model->updateStatus = c.failure == Failure::UpdateFails ? STATUS_DEVICE_BUSY : STATUS_SUCCESS;
    EXPECT_EQ(TypeNode()->SelectType(c.requested), c.status);
    ULONG nodeType = 0;
    TypeNode()->GetType(&nodeType);
    EXPECT_EQ(nodeType, (ULONG)ENDPOINT_SPK);
    EXPECT_EQ(CurrentType(Terminal(3)), (ULONG)ENDPOINT_SPK);
    EXPECT_EQ(uac().CurrentTerminalType(3), 0x0301);
    if (c.failure == Failure::Unlisted) {
        EXPECT_FALSE(Stored(u"UACUnit03").has_value());
    } else {
        EXPECT_EQ(Stored(u"UACUnit03"), Le32(ENDPOINT_SPK));  // selected, then restored
    }
    EXPECT_FALSE(Stored(u"Unit05_").has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, TypeNodeFailureTest,
    ::testing::Values(FailureCase{"EntityRefusesAnUnlistedType", Failure::Unlisted, ENDPOINT_LINE, STATUS_UNSUCCESSFUL},
                      FailureCase{"NoModelInterface", Failure::NoUacHal, ENDPOINT_HP, STATUS_INVALID_PARAMETER},
                      FailureCase{"SubdevicesNotUpdated", Failure::UpdateFails, ENDPOINT_HP, STATUS_DEVICE_BUSY}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(TerminalTest, StoredUnlistedNodeTypeIsNotTaken) {
    Store(u"Unit05_", Le32(ENDPOINT_HDMI));
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);  // the Apply pass selects a listed type
    ULONG nodeType = 0;
    TypeNode()->GetType(&nodeType);
    EXPECT_EQ(nodeType, (ULONG)ENDPOINT_SPK);
}

// ---- input terminal, selector, wiring ----

TEST_F(TerminalTest, InputTerminalChangeNamesAndRereadsItsPin) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    uac().SetConnectedMask(4, 0x0);
    ULONG nodeId = 0;
    EXPECT_EQ(Entity(4)->OnControlChange(0, 0, &nodeId), STATUS_SUCCESS);
    EXPECT_EQ(nodeId, kMicPin);
    JACK_INFO jacks[2] = {};
    ASSERT_EQ(As<ITerminal>(Unit(kMicPin), IID_ITerminal)->GetJackInfo(sizeof(jacks), jacks, 0), STATUS_SUCCESS);
    EXPECT_EQ(jacks[0].IsConnected, 0u);
    EXPECT_EQ(jacks[1].IsConnected, 1u);  // no presence detection
}

TEST_F(TerminalTest, SelectorEntityChecksItsInputs) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    auto* mux = As<IMuxUnit>(static_cast<IUacUnit*>(Entity(6)), IID_IMuxUnit);
    ULONG count = 0;
    EXPECT_EQ(mux->GetInputCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    ClearLog();
    EXPECT_EQ(mux->SetValue(3), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(mux->SetValue(0), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(mux->AddListener(nullptr), STATUS_NOT_IMPLEMENTED);
}

TEST_F(TerminalTest, NodesAreWiredAcrossEntities) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    auto source = [&](ULONG unit) {
        ULONG id = 99, one = 1;
        Unit(unit)->GetSourceIds(&one, &id);
        return id;
    };
    EXPECT_EQ(source(kHpPin), kVolume2);  // from the feature unit's output node
    EXPECT_EQ(source(kSpkPin), kHpPin);   // pins hang off the first one's predecessor chain
    EXPECT_EQ(source(kTypeNode), kHpPin);
    ULONG ids[2] = {}, two = 2;
    Unit(kSelector)->GetSourceIds(&two, ids);
    EXPECT_EQ(ids[0], 8u);  // feature unit 5's volume
    EXPECT_EQ(ids[1], 9u);  // the line input's pin
}

TEST_F(TerminalTest, MuxTakesSourcesOnlyOfItsOwnCount) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    const ULONG three[3] = {1, 2, 3};
    EXPECT_EQ(Entity(6)->ConnectSources(3, three), STATUS_SUCCESS);
    ULONG ids[3] = {}, n = 3;
    Unit(kSelector)->GetSourceIds(&n, ids);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(ids[0], 8u);
    EXPECT_EQ(Entity(6)->ConnectSources(0, three), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Entity(6)->ConnectSources(2, nullptr), STATUS_UNSUCCESSFUL);
}

TEST_F(TerminalTest, DefaultControlChangeNamesTheOnlyNode) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    ULONG nodeId = 0;
    EXPECT_EQ(Entity(6)->OnControlChange(1, 0, &nodeId), STATUS_SUCCESS);
    EXPECT_EQ(nodeId, kSelector);
    EXPECT_EQ(Entity(6)->OnControlChange(1, 0, nullptr), STATUS_UNSUCCESSFUL);
    // A bare entity with two nodes names none.
    auto* bare = new (NonPagedPoolNx, UAC1_NODE_TAG) CUacEntity(NULL, 0);
    bare->AddRef();
    Bytes d = Descriptor(4, 9, {1, 1, 2, 3, 0, 0, 0, 0});
    ASSERT_EQ(bare->SetDescriptor(d.data(), static_cast<IAudioHal*>(m_Model)), STATUS_SUCCESS);
    bare->AddNode(Unit(0));
    EXPECT_EQ(bare->OnControlChange(0, 0, &nodeId), STATUS_SUCCESS);
    bare->AddNode(Unit(1));
    EXPECT_EQ(bare->OnControlChange(0, 0, &nodeId), STATUS_UNSUCCESSFUL);
    bare->Release();
}

}  // namespace
}  // namespace uactest

namespace uactest {
namespace {

// The four mappings of USB terminal types to endpoint types, pinned where
// they differ.
TEST(TerminalTypeMappingTest, PinnedEntries) {
    EXPECT_EQ(InputTerminalType(0x0101), (ULONG)ENDPOINT_STREAM);
    EXPECT_EQ(InputTerminalType(0x0206), (ULONG)ENDPOINT_MIC);
    EXPECT_EQ(InputTerminalType(0x0402), (ULONG)ENDPOINT_HEADSET);
    EXPECT_EQ(InputTerminalType(0x0404), (ULONG)ENDPOINT_SPEAKERPHONE);
    EXPECT_EQ(InputTerminalType(0x0302), (ULONG)ENDPOINT_AUX);
    EXPECT_EQ(InputTerminalTypeToEndpointType(0x0202), (ULONG)ENDPOINT_FMIC);
    EXPECT_EQ(InputTerminalTypeToEndpointType(0x0302), (ULONG)ENDPOINT_HP);
    EXPECT_EQ(InputTerminalTypeToEndpointType(0x0401), (ULONG)ENDPOINT_HANDSET);
    EXPECT_EQ(InputTerminalTypeToEndpointType(0x0101), (ULONG)ENDPOINT_LINE);
    EXPECT_EQ(OutputTerminalTypeToEndpointType(0x0101), (ULONG)ENDPOINT_SPK);
    EXPECT_EQ(OutputTypeMapping(0x0101), (ULONG)ENDPOINT_STREAM);
    EXPECT_EQ(OutputTypeMapping(0x0601), (ULONG)ENDPOINT_LINE);
    EXPECT_EQ(OutputTypeMapping(0x0605), (ULONG)ENDPOINT_SPDIF);
    EXPECT_EQ(OutputTypeMapping(0x0402), (ULONG)ENDPOINT_HEADSET);
    EXPECT_EQ(OutputTypeMapping(0x0301), (ULONG)ENDPOINT_SPK);
}

}  // namespace
}  // namespace uactest

// Jack records: decoding the device's list, the connection rules of UAC
// 1.0 and 2.0 terminals, unselected output types, jack counts by terminal
// type, and lists whose second answer does not match the first.
#include "tests/topology/uac/uac_fixture.h"
#include "topology/jack_info.h"
#include "topology/uac1_terminals.h"

namespace uactest {
namespace {

class JackTest : public UacTest {
protected:
    ITerminal* Terminal(UCHAR id) { return As<ITerminal>(static_cast<IUacUnit*>(Entity(id)), IID_ITerminal); }
};

TEST(JackColourTest, TablePinned) {
    EXPECT_EQ(JACK_COLOR_TABLE[2], 0x808080u);
    EXPECT_EQ(JACK_COLOR_TABLE[4], 0x00FF00u);
    EXPECT_EQ(JACK_COLOR_TABLE[9], 0xFF0080u);
    EXPECT_EQ(JACK_COLOR_TABLE[14], 0xFFFFFFu);
    ULONG sum = 0;
    for (ULONG colour : JACK_COLOR_TABLE) sum += colour;
    EXPECT_EQ(sum, 0x808080u + 0x0000FF + 0x00FF00 + 0xFF0000 + 0xFF8000 + 0xFFFF00 + 0x800080 + 0xFF0080 + 0xFFFFFF);
}

// Two jacks, colour code 4, connection types 0x01 and 0x21, geometric
// locations 1 and 2, general location 0, misc bits 0 and 0xC00.
TEST_F(JackTest, TwoJackListFromTheDevice) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    JACK_INFO jacks[2] = {};
    uac().SetConnectedMask(4, 0);
    ASSERT_EQ(Terminal(4)->GetJackInfo(sizeof(jacks), jacks, 0), STATUS_SUCCESS);
    const JACK_INFO expected[2] = {{0x1, 0x00FF00, 0x01, 1, 0, 0, 0, 0, 1}, {0x2, 0x00FF00, 0x21, 2, 0, 0, 0, 1, 0}};
    for (int i = 0; i < 2; ++i) EXPECT_EQ(memcmp(&jacks[i], &expected[i], sizeof(JACK_INFO)), 0) << i;
    const JACK_INFO uac2 = DecodeJack(0x2, JackConfig(4, 0x21, 2, 0xC00), TRUE);
    EXPECT_EQ(uac2.PresenceDetect, 0u);
    EXPECT_EQ(DecodeJack(0x1, 0x70000000 | JackConfig(15, 0xFF, 15), FALSE).GenLocation, 7u);
}

struct ConnectionCase {
    const char* name;
    bool uac2;
    bool answered;      // the status request
    ULONG mapping;      // of the one record; the device's mask is 0x3
    ULONG presence;     // PresenceDetect of the record
    ULONG connected;    // IsConnected afterwards
    bool succeeds;
};

void PrintTo(const ConnectionCase& c, std::ostream* os) { *os << c.name; }

class ConnectionTest : public UacTest, public ::testing::WithParamInterface<ConnectionCase> {
protected:
    simusb::DescriptorSet Descriptors() override {
        return GetParam().uac2 ? simusb::BuildUac2AsyncDevice() : BuildTestDevice();
    }
};

TEST_P(ConnectionTest, ConnectedFromTheMaskAndPresenceDetection) {
    const ConnectionCase& c = GetParam();
    const UCHAR terminal = 4;
    uac().SetJacks(terminal, {{c.mapping, 0}});
    uac().SetConnectedMask(terminal, 0x3);
    if (!c.answered) StallRequests(c.uac2 ? 0xA1 : 0xC1, c.uac2 ? 0x01 : 0x81, 0x0200, terminal);
    auto* entity = new (NonPagedPoolNx, UAC1_NODE_TAG) CUacEntity(NULL, 0);
    entity->AddRef();
    Bytes d = Descriptor(2, terminal, {0x01, 0x02, 0, 1, 0, 0, 0, 0});
    ASSERT_EQ(entity->SetDescriptor(d.data(), static_cast<IAudioHal*>(m_Model)), STATUS_SUCCESS);
    JACK_INFO record = {};
    record.ChannelMapping = c.mapping;
    record.PresenceDetect = c.presence;
    record.IsConnected = 7;
    JACK_ARRAY jacks = {1, &record};
    JACK_INFO out = {};
    const NTSTATUS status = ReadJackConnections(entity, c.uac2, &jacks, &out);
    EXPECT_EQ(NT_SUCCESS(status), c.succeeds) << std::hex << status;
    EXPECT_EQ(out.IsConnected, c.connected);
    EXPECT_EQ(record.IsConnected, c.connected);  // the entity's own record too
    entity->Release();
}

INSTANTIATE_TEST_SUITE_P(
    Connection, ConnectionTest,
    ::testing::Values(ConnectionCase{"Uac1InMask", false, true, 0x3, 1, 1, true},
                      ConnectionCase{"Uac1DetectsAndIsOut", false, true, 0x4, 1, 0, true},
                      ConnectionCase{"Uac1CannotDetect", false, true, 0x4, 0, 1, true},
                      ConnectionCase{"Uac1NoStatusDetects", false, false, 0x3, 1, 0, false},
                      ConnectionCase{"Uac1NoStatusCannotDetect", false, false, 0x3, 0, 1, true},
                      ConnectionCase{"Uac2InMask", true, true, 0x1, 0, 1, true},
                      ConnectionCase{"Uac2NotInMask", true, true, 0x4, 0, 0, true},
                      ConnectionCase{"Uac2NoStatus", true, false, 0x1, 0, 0, false}),
    [](const ::testing::TestParamInfo<ConnectionCase>& info) { return std::string(info.param.name); });

class UnselectedJackTest : public JackTest, public ::testing::WithParamInterface<ULONG> {};

// Headphones are not selected: their jacks follow "SetJackConnect" and
// the device is not asked.
TEST_P(UnselectedJackTest, FollowSetJackConnectWithoutARequest) {
    Store(u"SetJackConnect", Le32(GetParam()));
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    ClearLog();
    JACK_INFO jack = {};
    jack.IsConnected = 7;
    EXPECT_EQ(Terminal(3)->GetJackInfo(sizeof(jack), &jack, 0), STATUS_SUCCESS);
    EXPECT_EQ(jack.IsConnected, GetParam() != 0 ? 1u : 0u);
    EXPECT_TRUE(Log().empty());
}

INSTANTIATE_TEST_SUITE_P(SetJackConnect, UnselectedJackTest, ::testing::Values(0u, 1u));

TEST_F(JackTest, CountsByTerminalType) {
    ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
    auto count = [&](UCHAR id, ULONG typeIndex, NTSTATUS expected = STATUS_SUCCESS) {
        ULONG n = 99;
        EXPECT_EQ(Terminal(id)->GetJackCount(&n, typeIndex), expected) << (int)id;
        return n;
    };
    EXPECT_EQ(count(1, 0), 0u);  // USB streaming
    EXPECT_EQ(count(4, 0), 2u);  // microphone
    EXPECT_EQ(count(7, 0), 1u);  // line connector
    EXPECT_EQ(count(8, 0), 0u);  // USB streaming output
    EXPECT_EQ(count(3, 0), 1u);  // headphones
    EXPECT_EQ(count(3, 1), 2u);  // speaker
    count(3, 2, STATUS_INVALID_PARAMETER);
    JACK_INFO one = {};
    EXPECT_EQ(Terminal(4)->GetJackInfo(sizeof(one), &one, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Terminal(1)->GetJackInfo(sizeof(one), &one, 0), STATUS_INVALID_PARAMETER);
}

// The list is read twice; the count comes from the first answer and the
// second must deliver all of it.
struct ListCase {
    const char* name;
    std::optional<UCHAR> firstCount;    // the first answer's count, altered
    std::optional<ULONG> secondShortTo; // the second answer, cut
    NTSTATUS status;
    ULONG jacks;
};

void PrintTo(const ListCase& c, std::ostream* os) { *os << c.name; }

class JackListTest : public JackTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(JackListTest, SecondAnswerMustHoldTheFirstCount) {
    const ListCase& c = GetParam();
    simusb::ControlRule rule;
    rule.wValue = 0x02FF;
    rule.wIndex = 0x0400;
    if (c.firstCount) {
        rule.action = simusb::ControlRule::AlterByte;
        rule.offset = 0;
        rule.value = *c.firstCount;
        rule.count = 1;
    } else {
        rule.action = simusb::ControlRule::Short;
        rule.skip = 1;
        rule.shortTo = *c.secondShortTo;
    }
    device().AddControlRule(rule);
    EXPECT_EQ(InitEntity(Descriptor(2, 4, {0x01, 0x02, 0, 1, 0, 0, 0, 0})), c.status);
    if (!NT_SUCCESS(c.status)) return;
    ULONG n = 0;
    Terminal(4)->GetJackCount(&n, 0);
    EXPECT_EQ(n, c.jacks);
}

INSTANTIATE_TEST_SUITE_P(
    List, JackListTest,
    ::testing::Values(ListCase{"CountGrows", 3, std::nullopt, STATUS_UNSUCCESSFUL, 0},
                      ListCase{"CountShrinks", 1, std::nullopt, STATUS_SUCCESS, 1},
                      ListCase{"SecondAnswerShort", std::nullopt, 16, STATUS_UNSUCCESSFUL, 0},
                      ListCase{"NoJacks", 0, std::nullopt, STATUS_SUCCESS, 0}),
    [](const ::testing::TestParamInfo<ListCase>& info) { return std::string(info.param.name); });

TEST_F(JackTest, FirstReadFailingLeavesNoRecords) {
    StallRequests(0xC1, 0x81, 0x02FF, 4, 1);
    EXPECT_EQ(InitEntity(Descriptor(2, 4, {0x01, 0x02, 0, 1, 0, 0, 0, 0})), STATUS_SUCCESS);
    ULONG n = 99;
    Terminal(4)->GetJackCount(&n, 0);
    EXPECT_EQ(n, 0u);
}

}  // namespace
}  // namespace uactest

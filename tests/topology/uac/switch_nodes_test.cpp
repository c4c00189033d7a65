// Switch, selector, clock, mixer and vendor-switch nodes against a
// scripted entity: what a refusal leaves behind, start values, absent
// sources, the vendor switch's flags and lock, the clock's rate list.
#include "sim/pool.h"
#include "tests/topology/uac/fake_entity.h"
#include "tests/topology/uac/uac_fixture.h"
#include "topology/switch_nodes.h"

namespace uactest {
namespace {

constexpr ULONG kNodeId = 12;

class SwitchNodeTest : public UacTest {
protected:
    void SetUp() override {
        UacTest::SetUp();
        entity = FakeEntity::Create(2);
    }
    void TearDown() override {
        for (IUacUnit* node : nodes) node->Release();
        if (entity) entity->Release();
        UacTest::TearDown();
    }
    template <class Node>
    Node* New() {
        Node* node = new (NonPagedPoolNx, UAC1_NODE_TAG) Node(NULL, kNodeId);
        IUacUnit* unit = static_cast<IUacUnit*>(node);
        unit->AddRef();
        nodes.push_back(unit);
        return node;
    }
    IUnknown* Entity() { return static_cast<IUacUnit*>(entity); }

    FakeEntity* entity = nullptr;
    std::vector<IUacUnit*> nodes;
};

// Exposes the vendor switch's flags and lock.
class CVendorSwitchProbe : public CVendorSwitchNode {
public:
    using CVendorSwitchNode::CVendorSwitchNode;
    LONG Changed() const { return m_Changed; }
    LONG Pending() const { return m_Pending; }
    LONG LockState() { return KeReadStateMutex(&m_Lock); }
};

enum class SwitchKind { Mute, DspSwitch, SoftMute, Selector, VendorSwitch, Clock };

struct RefusalCase {
    const char* name;
    SwitchKind kind;
    NTSTATUS returned;
    ULONG cachedAfter;                  // the node's value after the refused change
    std::u16string storeName;           // where an accepted value would go
    std::optional<Bytes> storedAfter;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class RefusalTest : public SwitchNodeTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, WhatARefusedChangeLeaves) {
    const RefusalCase& c = GetParam();
    entity->values[{UAC_CS_MUTE, 0}] = 0;
    entity->values[{UAC_CS_DSP_SWITCH, 0}] = 0;
    entity->values[{UAC_CS_VENDOR_SWITCH_B, 0}] = 0;
    entity->rates = {44100, 48000};
    NTSTATUS status = STATUS_SUCCESS;
    ULONG cached = 0;
    auto refuseThen = [&](auto change) {
        entity->setStatus = STATUS_DEVICE_PROTOCOL_ERROR;
        status = change();
    };
    switch (c.kind) {
    case SwitchKind::Mute:
    case SwitchKind::DspSwitch:
    case SwitchKind::SoftMute: {
        CBoolNode* node = c.kind == SwitchKind::Mute        ? static_cast<CBoolNode*>(New<CMuteNode>())
                          : c.kind == SwitchKind::DspSwitch ? static_cast<CBoolNode*>(New<CDspSwitchNode>())
                                                            : static_cast<CBoolNode*>(New<CSoftMuteNode>());
        ASSERT_EQ(c.kind == SwitchKind::SoftMute ? node->InitWithoutControl(Entity(), Fdo())
                                                 : node->InitFromEntity(Entity(), c.kind == SwitchKind::Mute ? UAC_CS_MUTE : UAC_CS_DSP_SWITCH, Fdo()),
                  STATUS_SUCCESS);
        refuseThen([&] { return node->SetValue(0, 1); });
        BYTE value = 0;
        node->GetValue(0, &value);
        cached = value;
        break;
    }
    case SwitchKind::Selector: {
        CSelectorNode* node = New<CSelectorNode>();
        ASSERT_EQ(node->InitFromEntity(Entity(), Fdo()), STATUS_SUCCESS);
        refuseThen([&] { return node->SetValue(2); });
        node->GetValue(&cached);
        break;
    }
    case SwitchKind::VendorSwitch: {
        CVendorSwitchProbe* node = New<CVendorSwitchProbe>();
        ASSERT_EQ(node->Init(Entity(), UAC_CS_VENDOR_SWITCH_B, Fdo()), STATUS_SUCCESS);
        refuseThen([&] { return node->SetValue(1); });
        BYTE value = 0;
        node->GetValue(&value);
        cached = value;
        EXPECT_EQ(node->Pending(), 1);  // raised on refusal too
        EXPECT_EQ(node->Changed(), 1);
        break;
    }
    case SwitchKind::Clock: {
        CClockNode* node = New<CClockNode>();
        ASSERT_EQ(node->InitFromEntity(Entity()), STATUS_SUCCESS);
        ASSERT_EQ(node->SetSampleRate(44100), STATUS_SUCCESS);
        refuseThen([&] { return node->SetSampleRate(96000); });
        node->GetSampleRate(&cached);
        break;
    }
    }
    EXPECT_EQ(status, c.returned);
    EXPECT_EQ(cached, c.cachedAfter);
    EXPECT_EQ(Stored(c.storeName), c.storedAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Refusal, RefusalTest,
    ::testing::Values(
        RefusalCase{"MuteCachedAndStoredAnyway", SwitchKind::Mute, STATUS_SUCCESS, 1, u"Unit12_ 0_0", Bytes{1}},
        RefusalCase{"DspSwitchKeepsItsValue", SwitchKind::DspSwitch, STATUS_SUCCESS, 0, u"Unit12_ 0_0", std::nullopt},
        RefusalCase{"SoftMuteSendsNothing", SwitchKind::SoftMute, STATUS_SUCCESS, 1, u"Unit12_ 0_0", Bytes{1}},
        RefusalCase{"SelectorKeepsItsInput", SwitchKind::Selector, STATUS_DEVICE_PROTOCOL_ERROR, 1, u"Unit12_",
                    std::nullopt},
        RefusalCase{"VendorSwitchKeepsItsByte", SwitchKind::VendorSwitch, STATUS_DEVICE_PROTOCOL_ERROR, 0, u"Unit12_",
                    std::nullopt},
        RefusalCase{"ClockKeepsItsRate", SwitchKind::Clock, STATUS_DEVICE_PROTOCOL_ERROR, 44100, u"Unit12_",
                    std::nullopt}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

struct SelectorStartCase {
    const char* name;
    std::optional<ULONG> stored;
    ULONG expected;
};

void PrintTo(const SelectorStartCase& c, std::ostream* os) { *os << c.name; }

class SelectorStartTest : public SwitchNodeTest, public ::testing::WithParamInterface<SelectorStartCase> {};

TEST_P(SelectorStartTest, StoredInputKeptWithinTheInputs) {
    const SelectorStartCase& c = GetParam();
    entity->inputs = 3;
    entity->input = 2;
    if (c.stored) Store(u"Unit12_", Le32(*c.stored));
    CSelectorNode* node = New<CSelectorNode>();
    ASSERT_EQ(node->InitFromEntity(Entity(), Fdo()), STATUS_SUCCESS);
    ULONG input = 0;
    node->GetValue(&input);
    EXPECT_EQ(input, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Start, SelectorStartTest,
                         ::testing::Values(SelectorStartCase{"NoneStoredTakesTheDevice", std::nullopt, 2},
                                           SelectorStartCase{"StoredBeyondTheInputs", 7, 3},
                                           SelectorStartCase{"StoredZero", 0, 1},
                                           SelectorStartCase{"StoredWithin", 1, 1}),
                         [](const ::testing::TestParamInfo<SelectorStartCase>& info) { return std::string(info.param.name); });

TEST_F(SwitchNodeTest, SelectorAcceptedInputIsStoredAndApplied) {
    CSelectorNode* node = New<CSelectorNode>();
    ASSERT_EQ(node->InitFromEntity(Entity(), Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(node->SetValue(4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node->SetValue(3), STATUS_SUCCESS);
    EXPECT_EQ(Stored(u"Unit12_"), Le32(3));
    entity->sent.clear();
    EXPECT_EQ(node->Apply(), STATUS_SUCCESS);
    EXPECT_EQ(entity->sent, (std::vector<SentValue>{{0, 0, 3}}));
}

TEST_F(SwitchNodeTest, SelectorReadBackRefusesAnInputBeyondTheInputs) {
    CSelectorNode* node = New<CSelectorNode>();
    ASSERT_EQ(node->InitFromEntity(Entity(), Fdo()), STATUS_SUCCESS);
    entity->input = 2;
    EXPECT_EQ(node->ReadBack(), STATUS_SUCCESS);
    entity->input = 9;
    EXPECT_EQ(node->ReadBack(), STATUS_UNSUCCESSFUL);
    ULONG input = 0;
    node->GetValue(&input);
    EXPECT_EQ(input, 2u);
}

// Until the parser connects them, selector and mixer inputs are absent,
// never unit 0 (a real unit).
TEST_F(SwitchNodeTest, SelectorAndMixerSourcesStartAbsent) {
    entity->inputs = 3;
    entity->SetSources(4);
    CSelectorNode* selector = New<CSelectorNode>();
    CMixerNode* mixer = New<CMixerNode>();
    ASSERT_EQ(selector->InitFromEntity(Entity(), Fdo()), STATUS_SUCCESS);
    ASSERT_EQ(mixer->InitFromEntity(Entity()), STATUS_SUCCESS);
    for (auto [unit, count] : {std::pair<IUacUnit*, ULONG>{selector, 3}, {mixer, 4}}) {
        ULONG ids[8], n = 8;
        ASSERT_EQ(unit->GetSourceIds(&n, ids), STATUS_SUCCESS);
        ASSERT_EQ(n, count);
        for (ULONG i = 0; i < n; ++i) EXPECT_EQ(ids[i], UNIT_ID_NONE);
    }
}

// Sources set again when the parser connects them: one listener list.
TEST_F(SwitchNodeTest, SelectorSourcesSetTwiceLeakNoListenerList) {
    const ULONG listTag = MakePoolTag("SelT");
    CSelectorNode* node = New<CSelectorNode>();
    ASSERT_EQ(node->InitFromEntity(Entity(), Fdo()), STATUS_SUCCESS);
    const ULONG ids[3] = {4, 5, 6};
    ASSERT_EQ(static_cast<IUacUnit*>(node)->SetSourceIds(3, ids), STATUS_SUCCESS);
    EXPECT_EQ(sim::PoolLiveBlocks(listTag), 1);
    nodes.clear();
    static_cast<IUacUnit*>(node)->Release();
    EXPECT_EQ(sim::PoolLiveBlocks(listTag), 0);
}

TEST_F(SwitchNodeTest, VendorSwitchAcceptedRaisesFlagsAndStores) {
    entity->values[{UAC_CS_VENDOR_SWITCH_C, 0}] = 0;
    CVendorSwitchProbe* node = New<CVendorSwitchProbe>();
    ASSERT_EQ(node->Init(Entity(), UAC_CS_VENDOR_SWITCH_C, Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(node->Pending(), 0);
    EXPECT_EQ(node->SetValue(1), STATUS_SUCCESS);
    BYTE on = 0;
    EXPECT_EQ(node->GetValue(&on), STATUS_SUCCESS);
    EXPECT_EQ(on, 1);
    EXPECT_EQ(node->Pending(), 1);
    EXPECT_EQ(node->Changed(), 1);
    EXPECT_EQ(Stored(u"Unit12_"), Bytes{1});
    EXPECT_EQ(entity->sent, (std::vector<SentValue>{{UAC_CS_VENDOR_SWITCH_C, 0, 1}}));
}

TEST_F(SwitchNodeTest, VendorSwitchStartsFromTheStoredByte) {
    entity->values[{UAC_CS_VENDOR_SWITCH_B, 0}] = 0;
    Store(u"Unit12_", Bytes{1});
    CVendorSwitchProbe* node = New<CVendorSwitchProbe>();
    ASSERT_EQ(node->Init(Entity(), UAC_CS_VENDOR_SWITCH_B, Fdo()), STATUS_SUCCESS);
    BYTE on = 0;
    node->GetValue(&on);
    EXPECT_EQ(on, 1);
    entity->sent.clear();
    EXPECT_EQ(node->Apply(), STATUS_SUCCESS);
    EXPECT_EQ(entity->sent, (std::vector<SentValue>{{UAC_CS_VENDOR_SWITCH_B, 0, 1}}));
}

TEST_F(SwitchNodeTest, VendorSwitchGetValueNullLeavesTheLockFree) {
    CVendorSwitchProbe* node = New<CVendorSwitchProbe>();
    ASSERT_EQ(node->Init(Entity(), UAC_CS_VENDOR_SWITCH_B, Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(node->GetValue(NULL), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node->LockState(), 1);
    BYTE on = 0;
    EXPECT_EQ(node->GetValue(&on), STATUS_SUCCESS);
    EXPECT_EQ(node->LockState(), 1);
}

TEST_F(SwitchNodeTest, VendorSwitchReadBackTakesTheDeviceByte) {
    entity->values[{UAC_CS_VENDOR_SWITCH_B, 0}] = 0;
    CVendorSwitchProbe* node = New<CVendorSwitchProbe>();
    ASSERT_EQ(node->Init(Entity(), UAC_CS_VENDOR_SWITCH_B, Fdo()), STATUS_SUCCESS);
    entity->values[{UAC_CS_VENDOR_SWITCH_B, 0}] = 1;
    EXPECT_EQ(node->ReadBack(), STATUS_SUCCESS);
    BYTE on = 0;
    node->GetValue(&on);
    EXPECT_EQ(on, 1);
    EXPECT_EQ(node->Changed(), 1);
    EXPECT_EQ(Stored(u"Unit12_"), Bytes{1});
}

struct ClockCase {
    const char* name;
    ULONG rateCount;
    NTSTATUS status;
};

void PrintTo(const ClockCase& c, std::ostream* os) { *os << c.name; }

class ClockTest : public SwitchNodeTest, public ::testing::WithParamInterface<ClockCase> {};

TEST_P(ClockTest, RateListFromTheEntity) {
    const ClockCase& c = GetParam();
    for (ULONG i = 0; i < c.rateCount; ++i) entity->rates.push_back(8000 * (i + 1));
    CClockNode* node = New<CClockNode>();
    EXPECT_EQ(node->InitFromEntity(Entity()), c.status);
    if (!NT_SUCCESS(c.status)) return;
    ULONG rates[CLOCK_MAX_RATES], count = CLOCK_MAX_RATES;
    ASSERT_EQ(node->GetSampleRates(&count, rates), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<ULONG>(rates, rates + count), entity->rates);
    entity->clockValid = 0;
    BYTE valid = 1;
    EXPECT_EQ(node->GetClockValid(&valid), STATUS_SUCCESS);
    EXPECT_EQ(valid, 0);
}

INSTANTIATE_TEST_SUITE_P(Clock, ClockTest,
                         ::testing::Values(ClockCase{"NoRate", 0, STATUS_UNSUCCESSFUL},
                                           ClockCase{"TwoRates", 2, STATUS_SUCCESS},
                                           ClockCase{"ThirtyOneRates", 31, STATUS_INSUFFICIENT_RESOURCES}),
                         [](const ::testing::TestParamInfo<ClockCase>& info) { return std::string(info.param.name); });

TEST_F(SwitchNodeTest, BoolNodeStartsFromTheDeviceThenTheStore) {
    entity->values[{UAC_CS_MUTE, 0}] = 1;
    entity->values[{UAC_CS_MUTE, 1}] = 1;
    Store(u"Unit12_ 0_1", Bytes{0});
    CMuteNode* node = New<CMuteNode>();
    ASSERT_EQ(node->InitFromEntity(Entity(), UAC_CS_MUTE, Fdo()), STATUS_SUCCESS);
    BYTE values[2] = {9, 9};
    node->GetValue(0, &values[0]);
    node->GetValue(1, &values[1]);
    EXPECT_EQ(values[0], 1);
    EXPECT_EQ(values[1], 0);
}

TEST_F(SwitchNodeTest, BoolNodeReadBackAndApply) {
    entity->values[{UAC_CS_AGC, 0}] = 0;
    entity->values[{UAC_CS_AGC, 1}] = 0;
    CAgcNode* node = New<CAgcNode>();
    ASSERT_EQ(node->InitFromEntity(Entity(), UAC_CS_AGC, Fdo()), STATUS_SUCCESS);
    entity->values[{UAC_CS_AGC, 1}] = 1;
    EXPECT_EQ(node->ReadBack(), STATUS_SUCCESS);
    EXPECT_EQ(Stored(u"Unit12_ 0_1"), Bytes{1});
    entity->sent.clear();
    EXPECT_EQ(node->Apply(), STATUS_SUCCESS);
    EXPECT_EQ(entity->sent, (std::vector<SentValue>{{UAC_CS_AGC, 0, 0}, {UAC_CS_AGC, 1, 1}}));
    entity->getStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(node->ReadBack(), STATUS_UNSUCCESSFUL);
}

}  // namespace
}  // namespace uactest

namespace uactest {
namespace {

// The mute on a selector input is a mute node that also listens to the
// selector.
TEST_F(SwitchNodeTest, MuteOnASelectorInputListens) {
    entity->values[{UAC_CS_MUTE, 0}] = 1;
    CMuteNodeEx* node = New<CMuteNodeEx>();
    ASSERT_EQ(node->InitFromEntity(Entity(), UAC_CS_MUTE, Fdo()), STATUS_SUCCESS);
    IMuxListener* listener = nullptr;
    ASSERT_EQ(static_cast<IUacUnit*>(node)->QueryInterface(IID_IMuxListener, reinterpret_cast<PVOID*>(&listener)),
              STATUS_SUCCESS);
    EXPECT_EQ(listener->SetInputIndex(2), STATUS_SUCCESS);
    EXPECT_EQ(listener->OnSelectionChanging(2, 1), STATUS_SUCCESS);
    EXPECT_EQ(listener->OnSelectionChanged(2), STATUS_SUCCESS);
    listener->Release();
    EXPECT_EQ(static_cast<IUacUnit*>(node)->GetKind(), (ULONG)UNIT_KIND_MUTE);
    BYTE value = 0;
    node->GetValue(0, &value);
    EXPECT_EQ(value, 1);
}

}  // namespace
}  // namespace uactest

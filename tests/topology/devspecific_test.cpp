// Reserved unit kinds, wrong property sets, and terminals whose jack
// records fail, shrink or change while they are read.
#include <atomic>
#include <string>

#include "sim/executor.h"
#include "tests/topology/jack_fixture.h"
#include "tests/topology/property_graph.h"
#include "topology/topo_tables.h"

namespace topotest {
namespace {

const ULONG GET = KSPROPERTY_TYPE_GET, SET = KSPROPERTY_TYPE_SET, BASIC = KSPROPERTY_TYPE_BASICSUPPORT;

// One unit class for the reserved kinds: it answers the interface of the
// kind it reports. Values are kept in memory; Effect24 reports failure to
// show that the handler ignores it.
class CReservedUnit : public IDevSwitch15Unit,
                      public IDevControl17Unit,
                      public IDevSwitch19Unit,
                      public IDevParams20Unit,
                      public IDevEffect24Unit,
                      public CUacUnitBase {
public:
    CReservedUnit(PUNKNOWN outer, ULONG id, ULONG kind) : CUacUnitBase(outer, id, kind) {}
    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override {
        NTSTATUS status = CUacUnitBase::NonDelegatingQueryInterface(iid, out);
        if (NT_SUCCESS(status)) return status;
        ULONG kind = GetKind();
        if (kind == 15 && IsEqualGUID(iid, IID_IDevSwitch15Unit)) return ReturnInterface(static_cast<IDevSwitch15Unit*>(this), out);
        if (kind == 17 && IsEqualGUID(iid, IID_IDevControl17Unit)) return ReturnInterface(static_cast<IDevControl17Unit*>(this), out);
        if (kind == 19 && IsEqualGUID(iid, IID_IDevSwitch19Unit)) return ReturnInterface(static_cast<IDevSwitch19Unit*>(this), out);
        if (kind == 20 && IsEqualGUID(iid, IID_IDevParams20Unit)) return ReturnInterface(static_cast<IDevParams20Unit*>(this), out);
        if (kind == 24 && IsEqualGUID(iid, IID_IDevEffect24Unit)) return ReturnInterface(static_cast<IDevEffect24Unit*>(this), out);
        return RefuseInterface(out);
    }
    NTSTATUS SetValue(ULONG value) override { Value = value; return STATUS_SUCCESS; }
    NTSTATUS GetValue(ULONG* value) override { *value = Value; return GetKind() == 24 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS; }
    NTSTATUS SetValue(const ULONG* value) override { Value = *value; return STATUS_UNSUCCESSFUL; }
    NTSTATUS Unused() override { return STATUS_SUCCESS; }
    NTSTATUS GetRange(ULONG* maximum, ULONG* minimum) override { *maximum = 50; *minimum = 5; return STATUS_SUCCESS; }
    NTSTATUS GetNameGuid(GUID* name) override { *name = NODENAME_DEV_PARAMS_20; return STATUS_SUCCESS; }
    NTSTATUS GetValueCount(ULONG* count) override { *count = 2; return STATUS_SUCCESS; }
    NTSTATUS GetValues(ULONG index, ULONG count, ULONG* values) override {
        for (ULONG i = 0; i < count; ++i) values[i] = 500 + index + i;
        return STATUS_SUCCESS;
    }
    NTSTATUS SetValues(ULONG index, ULONG count, const ULONG* values) override {
        Log += "set(" + std::to_string(index) + "," + std::to_string(count) + "," + std::to_string(values[0]) + ")";
        return STATUS_SUCCESS;
    }
    NTSTATUS GetValueRange(ULONG index, ULONG* a, ULONG* b, ULONG* c) override {
        *a = index; *b = 7; *c = 8;
        return STATUS_SUCCESS;
    }
    ULONG Value = 0;
    std::string Log;
};

// Nodes 0..4: kinds 15, 17, 19, 20, 24; node 5: a kind-15 unit without
// its interface.
class ReservedTest : public TopoTest {
protected:
    void SetUp() override {
        TopoTest::SetUp();
        AddInputPin(1, ENDPOINT_MIC);
        ULONG id = 10, source = 1;
        for (ULONG kind : {15u, 17u, 19u, 20u, 24u}) {
            CReservedUnit* unit = NewUnit<CReservedUnit>(id, kind);
            ASSERT_EQ(unit->SetSourceIds(1, &source), STATUS_SUCCESS);
            units.push_back(Add(unit));
            source = id++;
        }
        AddScripted(id, 15, {source});
        AddOutputPin(2, id, ENDPOINT_SPK);
        ASSERT_EQ(Build(), STATUS_SUCCESS);
    }
    KsPropertyResult Node(ULONG node, const GUID& set, ULONG id, ULONG verb, std::initializer_list<ULONG> instance,
                          ULONG outLen, std::vector<UCHAR> value = {}) {
        return Send(NodeRequest(set, id, verb, node, instance), outLen, verb == SET ? &value : NULL);
    }
    std::vector<CReservedUnit*> units;
};

TEST_F(ReservedTest, SwitchesAndControlCarryOneUlongWithAFourByteMinimum) {
    for (ULONG node : {0u, 1u, 2u}) {
        SCOPED_TRACE("node " + std::to_string(node));
        EXPECT_EQ(Node(node, KSPROPSETID_Audio, 28, SET, {}, 4, Bytes({77})).Status, STATUS_SUCCESS);
        EXPECT_EQ(units[node]->Value, 77u);
        KsPropertyResult get = Node(node, KSPROPSETID_Audio, 28, GET, {}, 4);
        EXPECT_EQ(get.Status, STATUS_SUCCESS);
        EXPECT_EQ(WordAt(get.Output, 0), 77u);
        KsPropertyResult shortGet = Node(node, KSPROPSETID_Audio, 28, GET, {}, 3);
        EXPECT_EQ(shortGet.Status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(Node(node, KSPROPSETID_Audio, 28, SET, {}, 2, Bytes({1})).Status, STATUS_INVALID_PARAMETER);
    }
    KsPropertyResult guid15 = Node(0, KSPROPSETID_Audio, 28, BASIC, {}, 80);
    EXPECT_EQ(GuidAt(guid15.Output, 60), NODENAME_DEV_SWITCH_15);
    EXPECT_EQ(WordAt(guid15.Output, 24), (ULONG)VT_BOOL);
    KsPropertyResult guid19 = Node(2, KSPROPSETID_Audio, 28, BASIC, {}, 80);
    EXPECT_EQ(GuidAt(guid19.Output, 60), NODENAME_DEV_SWITCH);
    KsPropertyResult range = Node(1, KSPROPSETID_Audio, 28, BASIC, {}, 64);
    ASSERT_EQ(range.Status, STATUS_SUCCESS);
    EXPECT_EQ(range.ValueSize, 64u);
    EXPECT_EQ(WordAt(range.Output, 0), 0x203u);
    EXPECT_EQ(WordAt(range.Output, 24), (ULONG)VT_UI4);
    EXPECT_EQ(WordAt(range.Output, 40), 1u);
    EXPECT_EQ(WordAt(range.Output, 56), 5u);
    EXPECT_EQ(WordAt(range.Output, 60), 50u);
    KsPropertyResult tooSmall = Node(1, KSPROPSETID_Audio, 28, BASIC, {}, 3);
    EXPECT_EQ(tooSmall.Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall.ValueSize, 64u);
    KsPropertyResult name17 = Node(1, KSPROPSETID_NodeEffectGuid, 1, GET, {}, 16);
    EXPECT_EQ(GuidAt(name17.Output, 0), NODENAME_DEV_CONTROL_17);
}

TEST_F(ReservedTest, ParameterBlockMirrorsTheEffectValues) {
    const GUID& set = KSPROPSETID_DevParams20;
    EXPECT_EQ(GuidAt(Node(3, set, 1, GET, {}, 16).Output, 0), NODENAME_DEV_PARAMS_20);
    EXPECT_EQ(WordAt(Node(3, set, 2, GET, {}, 4).Output, 0), 2u);
    KsPropertyResult run = Node(3, set, 4, GET, {1, 1}, 12);
    ASSERT_EQ(run.Status, STATUS_SUCCESS);
    EXPECT_EQ(WordAt(run.Output, 0), 12u);
    EXPECT_EQ(WordAt(run.Output, 8), 501u);
    EXPECT_EQ(Node(3, set, 4, GET, {2, 1}, 12).Status, STATUS_INVALID_PARAMETER);
    KsPropertyResult range = Node(3, set, 5, GET, {1}, 12);
    EXPECT_EQ(WordAt(range.Output, 4), 7u);
    EXPECT_EQ(Node(3, set, 5, GET, {2}, 12).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Node(3, set, 3, SET, {0xFFFFFFFF, 2, 1, 2}, 4).Status, STATUS_SUCCESS);
    EXPECT_EQ(units[3]->Log, "");
    EXPECT_EQ(Node(3, set, 3, SET, {1, 1, 42}, 4).Status, STATUS_SUCCESS);
    EXPECT_EQ(units[3]->Log, "set(1,1,42)");
    EXPECT_EQ(Node(3, KSPROPSETID_Audio, 28, SET, {}, 4, Bytes({1})).Status, STATUS_SUCCESS);
    KsPropertyResult basic = Node(3, KSPROPSETID_Audio, 28, BASIC, {}, 80);
    EXPECT_EQ(GuidAt(basic.Output, 60), NODENAME_DEV_PARAMS_20);
    EXPECT_EQ(WordAt(basic.Output, 24), (ULONG)VT_I4);
}

TEST_F(ReservedTest, Effect24SucceedsWhateverTheUnitAnswersButNeedsFourBytes) {
    const GUID& set = KSPROPSETID_DevEffect24;
    KsPropertyResult set1 = Node(4, set, 1, SET, {}, 4, Bytes({9}));
    EXPECT_EQ(set1.Status, STATUS_SUCCESS);
    EXPECT_EQ(set1.ValueSize, 4u);
    EXPECT_EQ(units[4]->Value, 9u);
    KsPropertyResult get = Node(4, set, 1, GET, {}, 4);
    EXPECT_EQ(get.Status, STATUS_SUCCESS);
    EXPECT_EQ(WordAt(get.Output, 0), 9u);
    EXPECT_EQ(Node(4, set, 1, GET, {}, 3).Status, STATUS_INVALID_PARAMETER);
    // A kind-24 node refuses the DEV_SPECIFIC and effect-value sets.
    EXPECT_EQ(Node(4, KSPROPSETID_Audio, 28, GET, {}, 4).Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Node(4, KSPROPSETID_EffectValues, 2, GET, {}, 4).Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(GuidAt(Node(4, KSPROPSETID_NodeEffectGuid, 1, GET, {}, 16).Output, 0), KSPROPSETID_DevEffect24);
}

TEST_F(ReservedTest, UnitWithoutItsInterfaceGivesTheQueryFailure) {
    EXPECT_EQ(Node(5, KSPROPSETID_Audio, 28, GET, {}, 4).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Node(5, KSPROPSETID_Audio, 28, BASIC, {}, 80).Status, STATUS_INVALID_PARAMETER);
}

// Branches the front end never routes: sets the tables do not carry for
// that node, called on the handler directly.
class DirectCallTest : public PropertyGraphTest {
protected:
    NTSTATUS Call(PCPFNPROPERTY_HANDLER handler, ULONG node, const GUID& set, ULONG id, ULONG verb,
                  std::vector<ULONG> instance = {}, ULONG valueSize = 4) {
        PCPROPERTY_ITEM item = {&set, id, verb, handler};
        value.assign(valueSize / 4 + 1, 0xEEEEEEEE);
        PCPROPERTY_REQUEST r = {};
        r.MajorTarget = miniportUnknown;
        r.Node = node;
        r.PropertyItem = &item;
        r.Verb = verb;
        r.InstanceSize = (ULONG)(instance.size() * 4);
        r.Instance = instance.empty() ? NULL : instance.data();
        r.ValueSize = valueSize;
        r.Value = valueSize ? value.data() : NULL;
        NTSTATUS status = handler(&r);
        valueSizeOut = r.ValueSize;
        return status;
    }
    std::vector<ULONG> value;
    ULONG valueSizeOut = 0;
};

TEST_F(DirectCallTest, WrongSetsPerKind) {
    EXPECT_EQ(Call(PropertyNodeDevSpecific, kNodeOutputType, KSPROPSETID_EffectValues, 1, GET), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(PropertyNodeDevSpecific, kNodeEffect, KSPROPSETID_OutputTypes, 1, GET), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Call(PropertyNodeDevSpecific, kNodeEffect, KSPROPSETID_DevEffect24, 1, GET), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Call(PropertyNodeDevSpecific, kNodeCount, KSPROPSETID_Audio, 28, GET), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(PropertyNodeEffectGuid, kNodeMute, KSPROPSETID_NodeEffectGuid, 1, GET, {}, 16), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(PropertyNodeEffectGuid, kNodeEffect, KSPROPSETID_NodeEffectGuid, 2, GET, {}, 16), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(PropertyLevel, kNodeVolume, KSPROPSETID_Audio, 13, GET, {0}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(PropertyLevel, kNodeMute, KSPROPSETID_PrivateAudio, 3, SET, {0}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(PropertyBoolean, kNodeMute, KSPROPSETID_Audio, 4, GET, {0}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(PropertyMuxSource, kNodeMux, KSPROPSETID_Audio, 13, GET), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(PropertyVersion, KSFILTER_NODE, KSPROPSETID_Audio, 2, GET), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Call(PropertyJack, KSFILTER_NODE, KSPROPSETID_Jack, 3, GET, {0}, 64), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Call(PropertyPrivateJack, KSFILTER_NODE, KSPROPSETID_Jack, 4, GET, {0}, 64), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Call(PropertyPinCapabilities, KSFILTER_NODE, KSPROPSETID_PinCapabilities, 2, GET, {0}, 32),
              STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(DirectCallTest, VerbWithoutKnownBitsWritesNothing) {
    EXPECT_EQ(Call(PropertyLevel, kNodeVolume, KSPROPSETID_Audio, 4, 0x40, {0}), STATUS_SUCCESS);
    EXPECT_EQ(value[0], 0xEEEEEEEEu);
    EXPECT_EQ(valueSizeOut, 4u);
}

TEST_F(DirectCallTest, BareTerminalTypeUnitRefusesAnUnlistedType) {
    CTerminalTypeUnit* bare = NewUnit<CTerminalTypeUnit>(99u);
    const ULONG types[] = {1, 2, 14};
    ASSERT_EQ(bare->Init(1, 3, types), STATUS_SUCCESS);
    EXPECT_EQ(bare->SelectType(2), STATUS_SUCCESS);
    EXPECT_EQ(bare->SelectType(9), STATUS_INVALID_PARAMETER);
    ULONG type = 0;
    bare->GetType(&type);
    EXPECT_EQ(type, 2u);
    bare->Release();
}

// ---- Jack records ----

TEST_F(JackFaultTest, FailingJackInfoFailsTheRequest) {
    terminal->InfoStatus = STATUS_DEVICE_NOT_READY;
    KsPropertyResult r = Jacks(64);
    EXPECT_EQ(r.Status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(r.Information, 0u);
}

TEST_F(JackFaultTest, FewerRecordsAreZeroNotPoolGarbage) {
    terminal->Written = 1;  // claims 2, writes 1, still claims 2
    KsPropertyResult r = Jacks(64);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(WordAt(r.Output, 4), 2u);
    EXPECT_EQ(WordAt(r.Output, 8), 1u);
    for (ULONG offset = 36; offset < 64; offset += 4) {
        EXPECT_EQ(WordAt(r.Output, offset), 0u) << "byte " << offset;
    }
}

TEST_F(JackFaultTest, AnswerShrinksToTheCountReadAfterTheCopy) {
    terminal->Written = 1;
    terminal->LaterCount = 1;
    KsPropertyResult r = Jacks(64);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.ValueSize, 36u);
    EXPECT_EQ(WordAt(r.Output, 0), 36u);
    EXPECT_EQ(WordAt(r.Output, 4), 1u);
    EXPECT_EQ(r.Output[36], 0xA5);
}

}  // namespace
}  // namespace topotest

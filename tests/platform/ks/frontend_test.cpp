// The kernel-streaming property front end: routing of raw requests and the
// buffer contract around the handler, on a small filter of its own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/ks/event_frontend.h"
#include "tests/support/kernel_test.h"

namespace {

const GUID kSetA = {0xA0A0A0A0, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};
const GUID kSetB = {0xB0B0B0B0, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};

// What the handler saw and what it answers.
struct Script {
    int calls = 0;
    PCPROPERTY_REQUEST seen = {};
    std::vector<UCHAR> instance;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG valueSize = 0;  // set by the handler
    UCHAR fill = 0x11;    // bytes written: min(ValueSize, buffer)
    bool touchInstance = false;
} g;

NTSTATUS Handler(PPCPROPERTY_REQUEST r) {
    g.calls++;
    g.seen = *r;
    g.instance.assign(static_cast<UCHAR*>(r->Instance), static_cast<UCHAR*>(r->Instance) + r->InstanceSize);
    if (r->Value != NULL) {
        memset(r->Value, g.fill, g.valueSize < r->ValueSize ? g.valueSize : r->ValueSize);
    }
    if (g.touchInstance && r->InstanceSize) {
        static_cast<UCHAR*>(r->Instance)[0] ^= 1;
    }
    r->ValueSize = g.valueSize;
    return g.status;
}

const PCPROPERTY_ITEM kFilterItems[] = {
    {&kSetA, 1, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, Handler},
    {&kSetA, 2, KSPROPERTY_TYPE_BASICSUPPORT, Handler},
};
const PCPROPERTY_ITEM kNodeItems[] = {{&kSetB, 5, KSPROPERTY_TYPE_GET, Handler}};
const PCAUTOMATION_TABLE kFilterTable = {sizeof(PCPROPERTY_ITEM), 2, kFilterItems, sizeof(PCMETHOD_ITEM), 0, NULL,
                                         sizeof(PCEVENT_ITEM), 0, NULL, 0};
const PCAUTOMATION_TABLE kNodeTable = {sizeof(PCPROPERTY_ITEM), 1, kNodeItems, sizeof(PCMETHOD_ITEM), 0, NULL,
                                       sizeof(PCEVENT_ITEM), 0, NULL, 0};
const PCNODE_DESCRIPTOR kNodes[] = {{0, &kNodeTable, &kSetB, NULL}, {0, NULL, &kSetB, NULL}};
const PCFILTER_DESCRIPTOR kFilter = {0, &kFilterTable, sizeof(PCPIN_DESCRIPTOR), 0, NULL, sizeof(PCNODE_DESCRIPTOR), 2,
                                     kNodes, 0, NULL, 0, NULL};
int g_Target;

std::vector<UCHAR> Request(const GUID& set, ULONG id, ULONG flags, size_t length, ULONG node = 0) {
    std::vector<UCHAR> in(length, 0x3C);
    KSNODEPROPERTY p = {};
    p.Property.Set = set;
    p.Property.Id = id;
    p.Property.Flags = flags;
    p.NodeId = node;
    memcpy(in.data(), &p, length < sizeof(p) ? length : sizeof(p));
    return in;
}

KsTarget Target() { return {&kFilter, reinterpret_cast<PUNKNOWN>(&g_Target), NULL}; }

struct Malformed {
    const char* name;
    std::vector<UCHAR> input;
    NTSTATUS status;
};

class MalformedTest : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedTest, IsRefusedWithoutCallingTheHandler) {
    g = Script();
    KsPropertyResult r = KsProperty(Target(), GetParam().input, 8);
    EXPECT_EQ(r.Status, GetParam().status);
    EXPECT_FALSE(r.HandlerCalled);
    EXPECT_EQ(g.calls, 0);
    EXPECT_EQ(r.Information, 0u);
    EXPECT_EQ(r.Output, std::vector<UCHAR>(8, KS_DEFAULT_MARKER));
}

const ULONG GET = KSPROPERTY_TYPE_GET, SET = KSPROPERTY_TYPE_SET, TOPO = KSPROPERTY_TYPE_TOPOLOGY;

INSTANTIATE_TEST_SUITE_P(
    Requests, MalformedTest,
    ::testing::Values(Malformed{"ShortInput", Request(kSetA, 1, GET, 23), STATUS_INVALID_BUFFER_SIZE},
                      Malformed{"TopologyWith24Bytes", Request(kSetB, 5, GET | TOPO, 24), STATUS_INVALID_BUFFER_SIZE},
                      Malformed{"NodeEqualsCount", Request(kSetB, 5, GET | TOPO, 32, 2), STATUS_INVALID_DEVICE_REQUEST},
                      Malformed{"NodeWithoutTable", Request(kSetB, 5, GET | TOPO, 32, 1), STATUS_NOT_FOUND},
                      Malformed{"UnknownSet", Request(kSetB, 1, GET, 24), STATUS_NOT_FOUND},
                      Malformed{"UnknownId", Request(kSetA, 3, GET, 24), STATUS_NOT_FOUND},
                      Malformed{"FilterSetOnNode", Request(kSetA, 1, GET | TOPO, 32, 0), STATUS_NOT_FOUND},
                      Malformed{"DisallowedVerb", Request(kSetA, 2, GET, 24), STATUS_INVALID_DEVICE_REQUEST},
                      Malformed{"TwoVerbs", Request(kSetA, 1, GET | SET, 24), STATUS_INVALID_PARAMETER},
                      Malformed{"NoVerb", Request(kSetA, 1, 0, 24), STATUS_INVALID_PARAMETER},
                      Malformed{"UnknownVerb", Request(kSetA, 1, 0x100, 24), STATUS_INVALID_PARAMETER}),
    [](const auto& info) { return std::string(info.param.name); });

class FrontEndTest : public ::testing::Test {
protected:
    void SetUp() override { g = Script(); }
};

TEST_F(FrontEndTest, HandlerGetsTheRequestAsThePortBuildsIt) {
    std::vector<UCHAR> in = Request(kSetB, 5, GET | TOPO, 40, 0);
    in[32] = 7;
    g.valueSize = 4;
    KsPropertyResult r = KsProperty(Target(), in, 6);
    ASSERT_TRUE(r.HandlerCalled);
    EXPECT_EQ(g.seen.MajorTarget, reinterpret_cast<PUNKNOWN>(&g_Target));
    EXPECT_EQ(g.seen.Node, 0u);
    EXPECT_EQ(g.seen.Verb, GET);
    EXPECT_EQ(g.seen.InstanceSize, 8u);
    EXPECT_EQ(g.instance[0], 7);
    EXPECT_EQ(g.seen.PropertyItem, &kNodeItems[0]);
    // Filter request: no instance, and no value buffer for length 0.
    g = Script();
    KsPropertyResult f = KsProperty(Target(), Request(kSetA, 1, GET, 24), 0);
    ASSERT_TRUE(f.HandlerCalled);
    EXPECT_EQ(g.seen.Node, KSFILTER_NODE);
    EXPECT_EQ(g.seen.Instance, nullptr);
    EXPECT_EQ(g.seen.Value, nullptr);
}

struct CopyCase {
    const char* name;
    ULONG verb;
    NTSTATUS status;
    ULONG valueSize;
    ULONG outLen;
    ULONG copied;
    ULONG_PTR information;
};

class CopyBackTest : public ::testing::TestWithParam<CopyCase> {};

TEST_P(CopyBackTest, CopiesWhatTheStatusAllows) {
    const CopyCase& c = GetParam();
    g = Script();
    g.status = c.status;
    g.valueSize = c.valueSize;
    std::vector<UCHAR> set(c.outLen, 0x99);
    KsPropertyResult r = KsProperty(Target(), Request(kSetA, 1, c.verb, 24).data(), 24, c.outLen,
                                    c.verb == SET ? set.data() : NULL);
    EXPECT_EQ(r.Status, c.status);
    EXPECT_EQ(r.ValueSize, c.valueSize);
    EXPECT_EQ(r.Information, c.information);
    UCHAR untouched = c.verb == SET ? 0x99 : KS_DEFAULT_MARKER;
    for (ULONG i = 0; i < c.outLen; ++i) {
        ASSERT_EQ(r.Output[i], i < c.copied ? g.fill : untouched) << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, CopyBackTest,
    ::testing::Values(CopyCase{"Success", GET, STATUS_SUCCESS, 4, 8, 4, 4},
                      CopyCase{"Overflow", GET, STATUS_BUFFER_OVERFLOW, 12, 8, 8, 12},
                      CopyCase{"OverflowProbe", GET, STATUS_BUFFER_OVERFLOW, 12, 0, 0, 12},
                      CopyCase{"TooSmall", GET, STATUS_BUFFER_TOO_SMALL, 88, 3, 0, 0},
                      CopyCase{"Error", GET, STATUS_INVALID_PARAMETER, 4, 8, 0, 0},
                      CopyCase{"SetCopiesNothing", SET, STATUS_SUCCESS, 4, 8, 0, 4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FrontEndTest, ContractBreachesAreReported) {
    g.valueSize = 9;
    KsPropertyResult over = KsProperty(Target(), Request(kSetA, 1, GET, 24), 8);
    EXPECT_NE(over.Fault, "");
    g = Script();
    g.touchInstance = true;
    KsPropertyResult changed = KsProperty(Target(), Request(kSetA, 1, GET, 28), 8);
    EXPECT_NE(changed.Fault, "");
    g = Script();
    g.valueSize = 4;
    EXPECT_EQ(KsProperty(Target(), Request(kSetA, 1, GET, 28), 8).Fault, "");
}

TEST_F(FrontEndTest, DispatchFormCopiesIntoTheCallersBuffer) {
    g.valueSize = 2;
    std::vector<UCHAR> in = Request(kSetA, 1, GET, 24);
    UCHAR out[4] = {1, 2, 3, 4};
    ULONG_PTR information = 99;
    EXPECT_EQ(KsDispatchProperty(Target(), in.data(), (ULONG)in.size(), out, 4, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 2u);
    EXPECT_EQ(out[0], g.fill);
    EXPECT_EQ(out[2], 3);
}

class EventListTest : public sim::KernelTest {};

TEST_F(EventListTest, GenerateSignalsMatchingEntriesOnly) {
    KEVENT events[3];
    KSEVENT_ENTRY entries[3] = {};
    KsEventList list;
    for (int i = 0; i < 3; ++i) {
        KeInitializeEvent(&events[i], NotificationEvent, FALSE);
        entries[i].Set = kSetA;
        entries[i].EventId = 0;
        entries[i].NodeId = (ULONG)i;
        entries[i].PinId = KSFILTER_NODE;
        entries[i].Event = &events[i];
        list.Add(&entries[i]);
    }
    entries[2].EventId = 1;
    EXPECT_EQ(list.Count(), 3u);
    EXPECT_EQ(list.Generate(kSetA, 0, FALSE, KSFILTER_NODE, TRUE, 1), 1u);
    EXPECT_EQ(KeReadStateEvent(&events[1]), 1);
    EXPECT_EQ(KeReadStateEvent(&events[0]), 0);
    EXPECT_EQ(list.Generate(kSetB, 0, FALSE, KSFILTER_NODE, FALSE, 0), 0u);
    EXPECT_EQ(list.Generate(kSetA, 0, FALSE, KSFILTER_NODE, FALSE, 0), 2u);  // any node
    list.Remove(&entries[0]);
    EXPECT_EQ(list.Count(), 2u);
    EXPECT_EQ(entries[0].List, nullptr);
}

}  // namespace

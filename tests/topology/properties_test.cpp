// Property requests on "GlobalTopo" through the kernel-streaming front
// end: one table of {request} -> {status, ValueSize, answer words}. Every
// successful GET or BASICSUPPORT is sent twice with different markers
// (TopoTest::Send), and the bytes past the answer must keep the marker.
#include <string>

#include "tests/topology/property_graph.h"

namespace topotest {
namespace {

const ULONG GET = KSPROPERTY_TYPE_GET, SET = KSPROPERTY_TYPE_SET, BASIC = KSPROPERTY_TYPE_BASICSUPPORT;
const ULONG FILTER = 0xFFFFFFFF;
const LONG kDb = 65536;

struct Row {
    const char* name;
    ULONG node;  // FILTER for filter (and pin) properties
    const GUID* set;
    ULONG id;
    ULONG verb;
    std::vector<ULONG> instance;
    ULONG outLen;
    std::vector<ULONG> setWords;
    NTSTATUS status;
    ULONG valueSize;
    std::vector<std::pair<ULONG, ULONG>> words;        // byte offset -> ULONG
    std::vector<std::pair<ULONG, const GUID*>> guids;  // byte offset -> GUID
    const char* effectLog;                             // SetValues calls, when checked
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }

std::vector<UCHAR> Input(const Row& r) {
    std::vector<UCHAR> in = r.node == FILTER ? FilterRequest(*r.set, r.id, r.verb) : NodeRequest(*r.set, r.id, r.verb, r.node);
    for (ULONG w : r.instance) {
        std::vector<UCHAR> b = Bytes({w});
        in.insert(in.end(), b.begin(), b.end());
    }
    return in;
}

const GUID* Audio = &KSPROPSETID_Audio;
const GUID* Private = &KSPROPSETID_PrivateAudio;
const GUID* JackSet = &KSPROPSETID_Jack;
const GUID* Caps = &KSPROPSETID_PinCapabilities;
const GUID* Effect = &KSPROPSETID_EffectValues;
const GUID* Types = &KSPROPSETID_OutputTypes;
const GUID* NodeGuid = &KSPROPSETID_NodeEffectGuid;
const GUID* General = &KSPROPTYPESETID_General;

// The 40-byte description words.
std::vector<std::pair<ULONG, ULONG>> Desc(ULONG access, ULONG full, ULONG vt, ULONG lists) {
    return {{0, access}, {4, full}, {24, vt}, {28, 0}, {32, lists}, {36, 0}};
}
std::vector<std::pair<ULONG, ULONG>> Join(std::vector<std::pair<ULONG, ULONG>> a, std::vector<std::pair<ULONG, ULONG>> b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<Row> Rows() {
    const NTSTATUS OK = STATUS_SUCCESS, SMALL = STATUS_BUFFER_TOO_SMALL, OVER = STATUS_BUFFER_OVERFLOW,
                   INVAL = STATUS_INVALID_PARAMETER, BADREQ = STATUS_INVALID_DEVICE_REQUEST;
    auto stepping = [](ULONG at, ULONG delta, LONG min, LONG max) {
        return std::vector<std::pair<ULONG, ULONG>>{{at, delta}, {at + 4, 0}, {at + 8, (ULONG)min}, {at + 12, (ULONG)max}};
    };
    return {
        // Level node, 2 channels: full answer 56 + 2 x 16 = 88.
        {"Level0", kNodeVolume, Audio, 4, BASIC, {}, 0, {}, SMALL, 88, {}, {}, nullptr},
        {"Level3", kNodeVolume, Audio, 4, BASIC, {}, 3, {}, SMALL, 88, {}, {}, nullptr},
        {"Level4", kNodeVolume, Audio, 4, BASIC, {}, 4, {}, OK, 4, {{0, 0x203}}, {}, nullptr},
        {"Level39", kNodeVolume, Audio, 4, BASIC, {}, 39, {}, OK, 4, {{0, 0x203}}, {}, nullptr},
        {"Level40", kNodeVolume, Audio, 4, BASIC, {}, 40, {}, OK, 40, Desc(0x203, 88, VT_I4, 1), {{8, General}}, nullptr},
        {"Level87", kNodeVolume, Audio, 4, BASIC, {}, 87, {}, OK, 40, Desc(0x203, 88, VT_I4, 1), {}, nullptr},
        {"Level88", kNodeVolume, Audio, 4, BASIC, {}, 88, {}, OK, 88,
         Join(Join(Join(Desc(0x203, 88, VT_I4, 1), {{40, 2}, {44, 16}, {48, 2}, {52, 2}}),
                   stepping(56, kDb / 2, -96 * kDb, 0)),
              stepping(72, kDb / 2, -96 * kDb, 0)),
         {}, nullptr},
        {"LevelSixChannelsUnderHp", kNodeVolume6, Audio, 4, BASIC, {}, 120, {}, OK, 88, {{48, 2}}, {}, nullptr},
        {"BassOnMidNode", kNodeMid, Audio, 14, GET, {0}, 4, {}, INVAL, 4, {}, {}, nullptr},
        {"MidOnMidNode", kNodeMid, Audio, 15, GET, {0}, 4, {}, OK, 4, {{0, 0}}, {}, nullptr},
        {"LevelBadChannel", kNodeVolume, Audio, 4, GET, {2}, 4, {}, INVAL, 4, {}, {}, nullptr},
        {"LevelShortValue", kNodeVolume, Audio, 4, GET, {0}, 3, {}, INVAL, 3, {}, {}, nullptr},
        {"LevelShortInstance", kNodeVolume, Audio, 4, GET, {}, 4, {}, INVAL, 4, {}, {}, nullptr},
        // Boolean node: the same ladder with VT_BOOL and {1, 0, 0, 1} entries.
        {"Bool0", kNodeMute, Audio, 13, BASIC, {}, 0, {}, SMALL, 88, {}, {}, nullptr},
        {"Bool4", kNodeMute, Audio, 13, BASIC, {}, 4, {}, OK, 4, {{0, 0x203}}, {}, nullptr},
        {"Bool40", kNodeMute, Audio, 13, BASIC, {}, 40, {}, OK, 40, Desc(0x203, 88, VT_BOOL, 1), {}, nullptr},
        {"Bool88", kNodeMute, Audio, 13, BASIC, {}, 88, {}, OK, 88,
         Join(Join({{40, 2}, {44, 16}, {48, 2}, {52, 2}}, stepping(56, 1, 0, 1)), stepping(72, 1, 0, 1)), {}, nullptr},
        {"AgcGet", kNodeAgc, Audio, 21, GET, {1}, 4, {}, OK, 4, {{0, 0}}, {}, nullptr},
        {"LoudnessBasic", kNodeLoudness, Audio, 23, BASIC, {}, 4, {}, OK, 4, {{0, 0x203}}, {}, nullptr},
        {"MuxShortValue", kNodeMux, Audio, 12, GET, {}, 2, {}, INVAL, 2, {}, {}, nullptr},
        {"MuxGet", kNodeMux, Audio, 12, GET, {}, 4, {}, OK, 4, {{0, 1}}, {}, nullptr},
        {"MuxSetOutOfRange", kNodeMux, Audio, 12, SET, {}, 4, {3}, INVAL, 4, {}, {}, nullptr},
        // Gain pad: one 36-byte member, 92 bytes in all.
        {"Pad0", kNodeGainPad, Audio, 28, BASIC, {}, 0, {}, SMALL, 92, {}, {}, nullptr},
        {"Pad3", kNodeGainPad, Audio, 28, BASIC, {}, 3, {}, SMALL, 92, {}, {}, nullptr},
        {"Pad4", kNodeGainPad, Audio, 28, BASIC, {}, 4, {}, OK, 4, {{0, 0x203}}, {}, nullptr},
        {"Pad39", kNodeGainPad, Audio, 28, BASIC, {}, 39, {}, OK, 4, {{0, 0x203}}, {}, nullptr},
        {"Pad40", kNodeGainPad, Audio, 28, BASIC, {}, 40, {}, OK, 40, Desc(0x203, 92, VT_I4, 0), {}, nullptr},
        {"Pad91", kNodeGainPad, Audio, 28, BASIC, {}, 91, {}, OK, 40, Desc(0x203, 92, VT_I4, 0), {}, nullptr},
        {"Pad92", kNodeGainPad, Audio, 28, BASIC, {}, 92, {}, OK, 92,
         {{32, 1}, {40, 3}, {44, 36}, {48, 1}, {52, 0}, {56, 36}, {76, 12}, {80, 12 * kDb}, {84, (ULONG)(-12 * kDb)}, {88, kDb}},
         {{60, &NODENAME_INPUT_GAIN_PAD}}, nullptr},
        {"PadGetChannel1", kNodeGainPad, Audio, 28, GET, {1}, 4, {}, OK, 4, {{0, 0}}, {}, nullptr},
        // One GUID member, 80 bytes in all.
        {"Guid0", kNodeOutputType, Audio, 28, BASIC, {}, 0, {}, SMALL, 80, {}, {}, nullptr},
        {"Guid3", kNodeOutputType, Audio, 28, BASIC, {}, 3, {}, SMALL, 80, {}, {}, nullptr},
        {"Guid4", kNodeOutputType, Audio, 28, BASIC, {}, 4, {}, OK, 4, {{0, 0x202}}, {}, nullptr},
        {"Guid39", kNodeOutputType, Audio, 28, BASIC, {}, 39, {}, OK, 4, {{0, 0x202}}, {}, nullptr},
        {"Guid40", kNodeOutputType, Audio, 28, BASIC, {}, 40, {}, OK, 40, Desc(0x202, 80, VT_I4, 0), {}, nullptr},
        {"Guid79", kNodeOutputType, Audio, 28, BASIC, {}, 79, {}, OK, 40, Desc(0x202, 80, VT_I4, 0), {}, nullptr},
        {"Guid80", kNodeOutputType, Audio, 28, BASIC, {}, 80, {}, OK, 80,
         {{32, 1}, {40, 3}, {44, 24}, {48, 1}, {52, 0}, {56, 24}, {76, 0}}, {{60, &NODENAME_OUTPUT_TYPE}}, nullptr},
        {"EffectGuid80", kNodeEffect, Audio, 28, BASIC, {}, 80, {}, OK, 80, {{24, VT_BOOL}}, {{60, Effect}}, nullptr},
        // Single-input selector: unsigned full range, 64 bytes in all.
        {"Default0", kNodeSingleMux, Audio, 28, BASIC, {}, 0, {}, SMALL, 64, {}, {}, nullptr},
        {"Default4", kNodeSingleMux, Audio, 28, BASIC, {}, 4, {}, OK, 4, {{0, 0x202}}, {}, nullptr},
        {"Default40", kNodeSingleMux, Audio, 28, BASIC, {}, 40, {}, OK, 40, Desc(0x202, 64, VT_UI4, 0), {}, nullptr},
        {"Default63", kNodeSingleMux, Audio, 28, BASIC, {}, 63, {}, OK, 40, Desc(0x202, 64, VT_UI4, 0), {}, nullptr},
        {"Default64", kNodeSingleMux, Audio, 28, BASIC, {}, 64, {}, OK, 64,
         {{32, 1}, {40, 1}, {44, 8}, {48, 1}, {52, 0}, {56, 0}, {60, 0xFFFFFFFF}}, {}, nullptr},
        {"DefaultGet", kNodeSingleMux, Audio, 28, GET, {}, 4, {}, STATUS_UNSUCCESSFUL, 4, {}, {}, nullptr},
        {"DefaultSet", kNodeSingleMux, Audio, 28, SET, {}, 4, {7}, OK, 4, {}, {}, nullptr},
        {"SwitchBasic40", kNodeSwitch, Audio, 28, BASIC, {}, 40, {}, OK, 40, Desc(0x203, 40, VT_BOOL, 0), {}, nullptr},
        {"SwitchBasic3", kNodeSwitch, Audio, 28, BASIC, {}, 3, {}, SMALL, 40, {}, {}, nullptr},
        {"SoftMuteGet", kNodeSoftMute, Audio, 28, GET, {}, 4, {}, OK, 4, {{0, 0}}, {}, nullptr},
        // Pin properties: the short ladder ends in ValueSize 0.
        {"Pin0", FILTER, JackSet, 1, BASIC, {kPinMic}, 0, {}, SMALL, 0, {}, {}, nullptr},
        {"Pin3", FILTER, JackSet, 1, BASIC, {kPinMic}, 3, {}, SMALL, 0, {}, {}, nullptr},
        {"Pin4", FILTER, JackSet, 1, BASIC, {kPinMic}, 4, {}, OK, 4, {{0, 0x201}}, {}, nullptr},
        {"Pin39", FILTER, JackSet, 1, BASIC, {kPinMic}, 39, {}, OK, 4, {{0, 0x201}}, {}, nullptr},
        {"Pin40", FILTER, JackSet, 1, BASIC, {kPinMic}, 40, {}, OK, 40,
         {{0, 0x201}, {4, 40}, {8, 0}, {20, 0}, {24, 0}, {28, 0}, {32, 0}}, {}, nullptr},
        {"Jack0", FILTER, JackSet, 1, GET, {kPinMic}, 0, {}, OVER, 64, {}, {}, nullptr},
        {"Jack63", FILTER, JackSet, 1, GET, {kPinMic}, 63, {}, SMALL, 63, {}, {}, nullptr},
        {"Jack64", FILTER, JackSet, 1, GET, {kPinMic}, 64, {}, OK, 64,
         {{0, 64}, {4, 2}, {8, 1}, {12, 0xFF0000}, {16, 1}, {20, 2}, {24, 3}, {28, 0}, {32, 1}, {36, 2}, {40, 0x00FF00},
          {64 - 4, 0}},
         {}, nullptr},
        {"PrivateJack64", FILTER, Private, 4, GET, {kPinMic}, 64, {}, OK, 64, {{0, 64}, {4, 2}}, {}, nullptr},
        {"Jack2_24", FILTER, JackSet, 2, GET, {kPinMic}, 24, {}, OK, 24,
         {{0, 24}, {4, 2}, {8, 0}, {12, 1}, {16, 0}, {20, 0}}, {}, nullptr},
        {"JackPinWithoutJacks", FILTER, JackSet, 1, GET, {kPinSpk}, 64, {}, BADREQ, 64, {}, {}, nullptr},
        {"JackPinOutOfRange", FILTER, JackSet, 1, GET, {3}, 64, {}, BADREQ, 64, {}, {}, nullptr},
        {"JackShortInstance", FILTER, JackSet, 1, GET, {}, 64, {}, BADREQ, 64, {}, {}, nullptr},
        {"Caps0", FILTER, Caps, 1, GET, {kPinHp}, 0, {}, OVER, 32, {}, {}, nullptr},
        {"Caps31", FILTER, Caps, 1, GET, {kPinHp}, 31, {}, SMALL, 31, {}, {}, nullptr},
        {"Caps32", FILTER, Caps, 1, GET, {kPinHp}, 32, {}, OK, 32, {{0, 0}, {24, 0}, {28, 0}}, {}, nullptr},
        {"Version", FILTER, Private, 2, GET, {}, 4, {}, OK, 4, {{0, 0x00030000}}, {}, nullptr},
        {"VersionShort", FILTER, Private, 2, GET, {}, 3, {}, INVAL, 3, {}, {}, nullptr},
        // Node effect GUID per kind.
        {"EffectGuidPad", kNodeGainPad, NodeGuid, 1, GET, {}, 16, {}, OK, 16, {}, {{0, &NODENAME_INPUT_GAIN_PAD}}, nullptr},
        {"EffectGuidSwitch", kNodeSwitch, NodeGuid, 1, GET, {}, 16, {}, OK, 16, {}, {{0, &NODENAME_DEV_SWITCH}}, nullptr},
        {"EffectGuidSoftMute", kNodeSoftMute, NodeGuid, 1, GET, {}, 16, {}, OK, 16, {}, {{0, &NODENAME_SOFT_MUTE}}, nullptr},
        {"EffectGuidOutputType", kNodeOutputType, NodeGuid, 1, GET, {}, 16, {}, OK, 16, {}, {{0, &NODENAME_OUTPUT_TYPE}}, nullptr},
        {"EffectGuidEffect", kNodeEffect, NodeGuid, 1, GET, {}, 16, {}, OK, 16, {}, {{0, Effect}}, nullptr},
        {"EffectGuidShort", kNodeEffect, NodeGuid, 1, GET, {}, 15, {}, INVAL, 15, {}, {}, nullptr},
        {"EffectGuidOnMute", kNodeMute, NodeGuid, 1, GET, {}, 16, {}, STATUS_NOT_FOUND, 0, {}, {}, nullptr},
        // Output types.
        {"Types0", kNodeOutputType, Types, 1, GET, {}, 0, {}, OVER, 20, {}, {}, nullptr},
        {"Types19", kNodeOutputType, Types, 1, GET, {}, 19, {}, SMALL, 19, {}, {}, nullptr},
        {"Types20", kNodeOutputType, Types, 1, GET, {}, 20, {}, OK, 20, {{0, 20}, {4, 3}, {8, 1}, {12, 2}, {16, 14}}, {}, nullptr},
        {"Type", kNodeOutputType, Types, 2, GET, {}, 4, {}, OK, 4, {{0, 1}}, {}, nullptr},
        {"Type0", kNodeOutputType, Types, 2, GET, {}, 0, {}, OVER, 4, {}, {}, nullptr},
        {"OutputTypeGet", kNodeOutputType, Audio, 28, GET, {}, 4, {}, BADREQ, 0, {}, {}, nullptr},
        {"OutputTypeSet9", kNodeOutputType, Audio, 28, SET, {}, 4, {9}, INVAL, 4, {}, {}, nullptr},
        {"OutputTypeSet2", kNodeOutputType, Audio, 28, SET, {}, 4, {2}, OK, 4, {}, {}, nullptr},
        // Effect switch and parameter runs (10 values, v[i] = 1000 + i).
        {"EffectGetClears", kNodeEffect, Audio, 28, GET, {}, 4, {}, OK, 4, {{0, 0}}, {}, nullptr},
        {"EffectName", kNodeEffect, Effect, 1, GET, {}, 16, {}, OK, 16, {}, {{0, Effect}}, nullptr},
        {"EffectCount", kNodeEffect, Effect, 2, GET, {}, 4, {}, OK, 4, {{0, 10}}, {}, nullptr},
        {"EffectRange", kNodeEffect, Effect, 3, GET, {4}, 12, {}, OK, 12, {{0, 4}, {4, 104}, {8, 1}}, {}, nullptr},
        {"EffectRangePastEnd", kNodeEffect, Effect, 3, GET, {10}, 12, {}, INVAL, 12, {}, {}, nullptr},
        {"EffectRangeShortInstance", kNodeEffect, Effect, 3, GET, {}, 12, {}, INVAL, 0, {}, {}, nullptr},
        {"EffectRun", kNodeEffect, Effect, 4, GET, {8, 2}, 16, {}, OK, 16, {{0, 16}, {4, 2}, {8, 1008}, {12, 1009}}, {}, nullptr},
        {"EffectRunEmpty", kNodeEffect, Effect, 4, GET, {10, 0}, 8, {}, OK, 8, {{0, 8}, {4, 0}}, {}, nullptr},
        {"EffectRunPastEnd", kNodeEffect, Effect, 4, GET, {9, 2}, 16, {}, INVAL, 16, {}, {}, nullptr},
        {"EffectRunHugeCount", kNodeEffect, Effect, 4, GET, {0, 0x3FFFFFFE}, 8, {}, INVAL, 8, {}, {}, nullptr},
        {"EffectRunWrapping", kNodeEffect, Effect, 4, GET, {0xC0000000, 0x40000000}, 16, {}, INVAL, 16, {}, {}, nullptr},
        {"EffectRunShortInstance", kNodeEffect, Effect, 4, GET, {8}, 16, {}, INVAL, 0, {}, {}, nullptr},
        {"EffectSetWrappingIndex", kNodeEffect, Effect, 4, SET, {0xFFFFFFFF, 2, 5, 6}, 4, {}, OK, 4, {}, {}, ""},
        {"EffectSetCountMismatch", kNodeEffect, Effect, 4, SET, {8, 2, 5, 6, 7}, 4, {}, OK, 4, {}, {}, ""},
        {"EffectSetHugeCount", kNodeEffect, Effect, 4, SET, {0xC0000000, 0x40000000, 5}, 4, {}, OK, 4, {}, {}, ""},
        {"EffectSetShort", kNodeEffect, Effect, 4, SET, {8, 0}, 4, {}, OK, 4, {}, {}, ""},
        {"EffectSet", kNodeEffect, Effect, 4, SET, {8, 2, 5, 6}, 4, {}, OK, 4, {}, {}, "set(8,2,5,6)"},
        // Front-end refusals on the real tables.
        {"NodeEqualsCount", kNodeCount, Audio, 4, GET, {0}, 4, {}, BADREQ, 0, {}, {}, nullptr},
        {"MuxHasNoBasicSupport", kNodeMux, Audio, 12, BASIC, {}, 40, {}, BADREQ, 0, {}, {}, nullptr},
        {"UnknownSet", kNodeVolume, Types, 1, GET, {}, 4, {}, STATUS_NOT_FOUND, 0, {}, {}, nullptr},
    };
}

class PropertyTest : public PropertyGraphTest, public ::testing::WithParamInterface<Row> {};

TEST_P(PropertyTest, Answers) {
    const Row& r = GetParam();
    std::vector<UCHAR> set = Bytes({});
    for (ULONG w : r.setWords) {
        std::vector<UCHAR> b = Bytes({w});
        set.insert(set.end(), b.begin(), b.end());
    }
    KsPropertyResult result = Send(Input(r), r.outLen, r.verb == SET ? &set : NULL);
    EXPECT_EQ(result.Status, r.status);
    if (result.HandlerCalled) {
        EXPECT_EQ(result.ValueSize, r.valueSize);
    } else {
        EXPECT_EQ(r.valueSize, 0u) << "the front end refused the request";
    }
    bool answered = NT_SUCCESS(result.Status) || result.Status == STATUS_BUFFER_OVERFLOW;
    EXPECT_EQ(result.Information, answered ? (ULONG_PTR)r.valueSize : 0u);
    for (const auto& w : r.words) {
        EXPECT_EQ(WordAt(result.Output, w.first), w.second) << "at byte " << w.first;
    }
    for (const auto& g : r.guids) {
        EXPECT_EQ(GuidAt(result.Output, g.first), *g.second) << "at byte " << g.first;
    }
    if (r.verb != SET) {
        for (size_t i = answered ? result.Information : 0; i < result.Output.size(); ++i) {
            ASSERT_EQ(result.Output[i], 0xA5) << "byte " << i << " written outside the answer";
        }
    }
    if (r.effectLog != nullptr) {
        EXPECT_EQ(effect->Log, r.effectLog);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, PropertyTest, ::testing::ValuesIn(Rows()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PropertyGraphTest, MuteSetTakesAnyNonZeroAsOnAndGetWritesACleanUlong) {
    std::vector<UCHAR> on = Bytes({0x100});
    KsPropertyResult set = Send(NodeRequest(KSPROPSETID_Audio, 13, KSPROPERTY_TYPE_SET, kNodeMute, {1}), 4, &on);
    ASSERT_EQ(set.Status, STATUS_SUCCESS);
    BYTE value = 0;
    ASSERT_EQ(mute->GetValue(1, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1);
    KsPropertyResult get = Send(NodeRequest(KSPROPSETID_Audio, 13, KSPROPERTY_TYPE_GET, kNodeMute, {1}), 4);
    ASSERT_EQ(get.Status, STATUS_SUCCESS);
    EXPECT_EQ(WordAt(get.Output, 0), 1u);
}

TEST_F(PropertyGraphTest, LevelAndSelectorSetsReachTheUnits) {
    std::vector<UCHAR> level = Bytes({(ULONG)(-6 * kDb)});
    ASSERT_EQ(Send(NodeRequest(KSPROPSETID_Audio, 4, KSPROPERTY_TYPE_SET, kNodeVolume, {1}), 4, &level).Status,
              STATUS_SUCCESS);
    LONG got = 0;
    ASSERT_EQ(volume->GetValue(1, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, -6 * kDb);
    std::vector<UCHAR> input = Bytes({2});
    ASSERT_EQ(Send(NodeRequest(KSPROPSETID_Audio, 12, KSPROPERTY_TYPE_SET, kNodeMux), 4, &input).Status,
              STATUS_SUCCESS);
    ULONG selected = 0;
    mux->GetValue(&selected);
    EXPECT_EQ(selected, 2u);
    std::vector<UCHAR> hp = Bytes({2});
    ASSERT_EQ(Send(NodeRequest(KSPROPSETID_Audio, 28, KSPROPERTY_TYPE_SET, kNodeOutputType), 4, &hp).Status,
              STATUS_SUCCESS);
    ULONG type = 0;
    outputType->GetType(&type);
    EXPECT_EQ(type, 2u);
}

}  // namespace
}  // namespace topotest

namespace topotest {
namespace {

using PropertyLevelDeathTest = PropertyGraphTest;

TEST_F(PropertyLevelDeathTest, HandlersRunAtPassiveLevelOnly) {
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KsProperty(port->Target(), NodeRequest(KSPROPSETID_Audio, 4, KSPROPERTY_TYPE_GET, kNodeVolume, {0}), 4);
        },
        "");
}

}  // namespace
}  // namespace topotest

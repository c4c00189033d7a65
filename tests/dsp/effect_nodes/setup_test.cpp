// The effect nodes' control side: the headphone values with their stored
// copies, Init with and without stored values, the formats the nodes hand
// to their limiters and engines, and nodes that ran out of memory during
// Init.
#include <cstring>
#include <optional>

#include "portcls/portcls_guids.h"
#include "sim/pool.h"
#include "tests/dsp/effect_nodes/effect_node_fixture.h"
#include "tests/fakes/dsp/limiter_recorder.h"

namespace effecttest {
namespace {

using Calls = std::vector<std::string>;

const std::u16string kSwitchName = u"Unit07_";
const std::u16string kRoomName = u"Unit07_0";
const std::u16string kModeName = u"Unit07_1";

// ---- values ----

struct ValuesCase {
    const char* name;
    ULONG first, count;
    std::vector<ULONG> values;
    NTSTATUS status;
    std::array<ULONG, 2> after;
    std::optional<ULONG> storedRoom, storedMode;
    int variant, tail;  // the wrapper's afterwards
};

void PrintTo(const ValuesCase& c, std::ostream* os) { *os << c.name; }

class ValuesTest : public EffectNodeTest, public ::testing::WithParamInterface<ValuesCase> {};

TEST_P(ValuesTest, AppliedStoredAndPersisted) {
    const ValuesCase& c = GetParam();
    HeadphoneProbe* node = Made<HeadphoneProbe>(UAC_CS_VENDOR_SWITCH_C);
    std::vector<ULONG> values = c.values;
    values.resize(4, 0);
    EXPECT_EQ(node->SetValues(c.first, c.count, values.data()), c.status);
    EXPECT_EQ(node->Values(), c.after);
    auto stored = [](std::optional<ULONG> v) { return v ? std::optional<Bytes>(Le32(*v)) : std::nullopt; };
    EXPECT_EQ(Stored(kRoomName), stored(c.storedRoom));
    EXPECT_EQ(Stored(kModeName), stored(c.storedMode));
    const WrapperState w = ReadWrapper(node->Wrapper());
    EXPECT_EQ((ULONG)w.headphoneRoom, c.after[0]);
    EXPECT_EQ(w.headphoneVariant, c.variant);
    EXPECT_EQ(w.speakerVariant, c.variant);
    EXPECT_EQ(w.tailEnable, c.tail);
    EXPECT_EQ(w.engineTail, c.tail);
}

constexpr NTSTATUS kOk = STATUS_SUCCESS;
constexpr NTSTATUS kBad = STATUS_INVALID_PARAMETER;

INSTANTIATE_TEST_SUITE_P(
    Values, ValuesTest,
    ::testing::Values(
        ValuesCase{"RoomTwoModeTwo", 0, 2, {2, 2}, kOk, {2, 2}, 2, 2, 0, 0},
        ValuesCase{"ModeOneBothVariants", 1, 1, {1}, kOk, {1, 1}, std::nullopt, 1, 1, 1},
        ValuesCase{"PastTheEnd", 1, 2, {1, 1}, kBad, {1, 0}, std::nullopt, std::nullopt, 0, 1},
        ValuesCase{"CountZero", 0, 0, {1}, kBad, {1, 0}, std::nullopt, std::nullopt, 0, 1},
        ValuesCase{"RoomThree", 0, 1, {3}, kBad, {1, 0}, std::nullopt, std::nullopt, 0, 1},
        ValuesCase{"SameRoomRewritten", 0, 1, {1}, kOk, {1, 0}, 1, std::nullopt, 0, 1},
        ValuesCase{"FirstWrapsWithOne", 0xFFFFFFFF, 1, {2}, kBad, {1, 0}, std::nullopt, std::nullopt, 0, 1},
        ValuesCase{"FirstWrapsWithTwo", 0xFFFFFFFF, 2, {2, 2}, kBad, {1, 0}, std::nullopt, std::nullopt, 0, 1},
        ValuesCase{"SumWrapsToZero", 0xC0000000, 0x40000000, {2, 2}, kBad, {1, 0}, std::nullopt, std::nullopt, 0, 1},
        ValuesCase{"RoomThreeWithAMode", 0, 2, {3, 1}, kOk, {1, 1}, std::nullopt, 1, 1, 1},
        ValuesCase{"ModeSevenAloneAcceptedNotKept", 1, 1, {7}, kOk, {1, 0}, std::nullopt, std::nullopt, 0, 1}),
    [](const ::testing::TestParamInfo<ValuesCase>& info) { return std::string(info.param.name); });

// A room change turns the engine's tail on; the mode in force decides it
// again, whichever order the values come in.
TEST_F(EffectNodeTest, RoomChangeKeepsTheModesTail) {
    HeadphoneProbe* node = Made<HeadphoneProbe>(UAC_CS_VENDOR_SWITCH_C);
    struct Step {
        ULONG first;
        std::vector<ULONG> values;
        int tail;
    } steps[] = {
        {1, {2}, 0},     // mode 2: no tail
        {0, {2}, 0},     // room 1 -> 2 under mode 2
        {0, {0}, 0},     // room 2 -> 0 under mode 2
        {0, {1, 2}, 0},  // a room and the same mode together
        {1, {0}, 1},     // mode 0: the tail again
        {0, {2}, 1},     // room change under mode 0
        {0, {0, 2}, 0},  // a room and mode 2 together
    };
    for (const Step& step : steps) {
        EXPECT_EQ(node->SetValues(step.first, (ULONG)step.values.size(), step.values.data()), STATUS_SUCCESS);
        const WrapperState w = ReadWrapper(node->Wrapper());
        const std::array<ULONG, 2> values = node->Values();
        EXPECT_EQ(w.tailEnable, step.tail) << "room " << values[0] << " mode " << values[1];
        EXPECT_EQ(w.engineTail, step.tail) << "room " << values[0] << " mode " << values[1];
    }
}

TEST_F(EffectNodeTest, GetValuesRange) {
    HeadphoneProbe* node = Made<HeadphoneProbe>(UAC_CS_VENDOR_SWITCH_C);
    struct Row {
        ULONG first, count;
        NTSTATUS status;
    } rows[] = {{0, 0, kOk}, {0, 2, kOk}, {2, 0, kOk}, {1, 2, kBad}, {3, 0, kBad},
                {0xFFFFFFFF, 1, kBad}, {0xFFFFFFFF, 2, kBad}, {0xC0000000, 0x40000000, kBad}};
    for (const Row& r : rows) {
        ULONG out[4] = {9, 9, 9, 9};
        EXPECT_EQ(node->GetValues(r.first, r.count, out), r.status) << r.first << "," << r.count;
        if (r.status == kOk && r.count == 2) {
            EXPECT_EQ(out[0], 1u);
            EXPECT_EQ(out[1], 0u);
        } else {
            EXPECT_EQ(out[0], 9u) << r.first << "," << r.count;
        }
    }
}

// ---- Init ----

TEST_F(EffectNodeTest, FreshHeadphoneNode) {
    HeadphoneProbe* node = Made<HeadphoneProbe>(UAC_CS_VENDOR_SWITCH_C);
    EXPECT_EQ(node->Values(), (std::array<ULONG, 2>{1, 0}));
    const WrapperState w = ReadWrapper(node->Wrapper());
    EXPECT_EQ(w.headphoneRoom, 1);
    EXPECT_EQ(w.headphoneVariant, 0);
    EXPECT_EQ(w.speakerVariant, 0);
    EXPECT_EQ(w.tailEnable, 1);
    EXPECT_EQ(w.engineTail, 1);
    EXPECT_EQ(w.speakerMode, 0);
    EXPECT_EQ(w.enable, 1);
    EXPECT_EQ(w.headphoneAngle, 3);
    EXPECT_EQ(w.speakerAngle, 3);
    EXPECT_EQ(w.ctcAngle, 5);  // type 0
    // Both limiters are made, allocated and set before the wrapper.
    EXPECT_EQ(limiterrecorder::Calls(),
              (Calls{"AllocateBuffers", "SetMode:0", "SetMakeupGain:2", "SetThreshold:1", "AllocateBuffers",
                     "SetMode:0", "SetMakeupGain:1", "SetThreshold:1"}));
    ASSERT_NE(node->WetLimiter(), nullptr);
    ASSERT_NE(node->DryLimiter(), nullptr);
    limiterrecorder::ClearCalls();
    const WAVEFORMATEXTENSIBLE format = Pcm(2, 48000);
    EXPECT_EQ(node->SetFormat(&format), STATUS_SUCCESS);
    EXPECT_EQ(limiterrecorder::Calls(), (Calls{"SetFormat:2", "SetFormat:2"}));
    GUID name{};
    node->GetNameGuid(&name);
    EXPECT_TRUE(IsEqualGUID(name, EFFECT_GUID_HEADPHONE));
}

TEST_F(EffectNodeTest, FreshSurroundNode) {
    SurroundProbe* node = Made<SurroundProbe>(UAC_CS_VENDOR_SWITCH_B);
    EXPECT_TRUE(node->HasEngine());
    EXPECT_EQ(limiterrecorder::Calls(),
              (Calls{"AllocateBuffers", "SetMode:0", "SetMakeupGain:2.8183", "SetThreshold:1", "AllocateBuffers",
                     "SetMode:0", "SetMakeupGain:1", "SetThreshold:1"}));
    // Initialised: silent until a format asks for 5.1 or 7.1.
    const Block tones = Tones(512, 0);
    const std::array<std::vector<float>, 2> silence = {std::vector<float>(512, 0.0f), std::vector<float>(512, 0.0f)};
    EXPECT_EQ(Virtualize(node->Virtualizer(), tones), silence);
    // Six channels at 44.1 kHz: the 44.1 kHz network in mode 5, as a
    // virtualizer set to that renders the same block, and unlike one at
    // another rate or mode.
    const WAVEFORMATEXTENSIBLE format = Pcm(6, 44100);
    EXPECT_EQ(node->SetFormat(&format), STATUS_SUCCESS);
    const auto rendered = Virtualize(node->Virtualizer(), tones);
    for (auto [rate, mode] : {std::pair{44100, 5}, std::pair{48000, 5}, std::pair{44100, 7}}) {
        CSurroundVirtualizer* v = new (NonPagedPoolNx, MakePoolTag("RefV")) CSurroundVirtualizer();
        v->Init();
        v->SetFormat(rate, mode);
        EXPECT_EQ(Virtualize(v, tones) == rendered, rate == 44100 && mode == 5) << rate << ", mode " << mode;
        delete v;
    }
    ULONG count = 9;
    node->GetValueCount(&count);
    EXPECT_EQ(count, 0u);
}

struct StoredCase {
    const char* name;
    Bytes room, mode;
    std::array<ULONG, 2> values;
    int headphoneRoom, variant, tail;
};

void PrintTo(const StoredCase& c, std::ostream* os) { *os << c.name; }

class StoredValuesTest : public EffectNodeTest, public ::testing::WithParamInterface<StoredCase> {};

TEST_P(StoredValuesTest, InForceAfterInitAndAfterARestart) {
    const StoredCase& c = GetParam();
    Store(kRoomName, c.room);
    Store(kModeName, c.mode);
    for (int run = 0; run < 2; ++run) {
        HeadphoneProbe* node = Made<HeadphoneProbe>(UAC_CS_VENDOR_SWITCH_C);
        EXPECT_EQ(node->Values(), c.values) << "run " << run;
        const WrapperState w = ReadWrapper(node->Wrapper());
        EXPECT_EQ(w.headphoneRoom, c.headphoneRoom) << "run " << run;
        EXPECT_EQ(w.headphoneVariant, c.variant);
        EXPECT_EQ(w.speakerVariant, c.variant);
        EXPECT_EQ(w.tailEnable, c.tail);
        EXPECT_EQ(w.engineTail, c.tail) << "the mode sets the tail after the room turned it on";
        Drop(static_cast<IUacUnit*>(node));  // the next run is a restart
    }
}

INSTANTIATE_TEST_SUITE_P(
    Stored, StoredValuesTest,
    ::testing::Values(StoredCase{"RoomTwoModeOne", Le32(2), Le32(1), {2, 1}, 2, 1, 1},
                      StoredCase{"RoomTwoModeTwo", Le32(2), Le32(2), {2, 2}, 2, 0, 0},
                      StoredCase{"EightByteValuesIgnored", Bytes(8, 2), Bytes(8, 1), {1, 0}, 1, 0, 1},
                      StoredCase{"StoredRoomAboveTwoReported", Le32(5), Le32(0), {5, 0}, 5, 0, 1}),
    [](const ::testing::TestParamInfo<StoredCase>& info) { return std::string(info.param.name); });

// ---- formats ----

TEST_F(EffectNodeTest, HeadphoneFormatsOfSixteenBitStereo) {
    HeadphoneProbe* node = Made<HeadphoneProbe>(UAC_CS_VENDOR_SWITCH_C);
    const WAVEFORMATEXTENSIBLE format = Pcm(2, 48000, 16);
    ASSERT_EQ(node->SetFormat(&format), STATUS_SUCCESS);
    const WAVEFORMATEX& l = node->LimiterFormat().Format;
    EXPECT_EQ((std::array<ULONG, 6>{l.wFormatTag, l.nChannels, l.nSamplesPerSec, l.nAvgBytesPerSec, l.nBlockAlign,
                                    l.wBitsPerSample}),
              (std::array<ULONG, 6>{3, 2, 48000, 384000, 8, 32}));
    const WAVEFORMATEX& h = node->HeadphoneFormat();
    EXPECT_EQ((std::array<ULONG, 7>{h.wFormatTag, h.nChannels, h.nSamplesPerSec, h.nAvgBytesPerSec, h.nBlockAlign,
                                    h.wBitsPerSample, h.cbSize}),
              (std::array<ULONG, 7>{3, 2, 48000, 192000, 4, 16, 0}));
}

TEST_F(EffectNodeTest, HeadphoneFormatsOfExtensibleSixChannels) {
    HeadphoneProbe* node = Made<HeadphoneProbe>(UAC_CS_VENDOR_SWITCH_C);
    const WAVEFORMATEXTENSIBLE format = Pcm(6, 96000, 24);
    ASSERT_EQ(node->SetFormat(&format), STATUS_SUCCESS);
    const WAVEFORMATEXTENSIBLE& l = node->LimiterFormat();
    EXPECT_EQ(l.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(l.Format.nBlockAlign, 24);
    EXPECT_EQ(l.Format.wBitsPerSample, 32);
    EXPECT_EQ(l.Format.nAvgBytesPerSec, 96000u * 24);
    EXPECT_EQ(l.Samples.wValidBitsPerSample, 32);
    EXPECT_TRUE(IsEqualGUID(l.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT));
    EXPECT_EQ(l.dwChannelMask, format.dwChannelMask);
    const WAVEFORMATEX& h = node->HeadphoneFormat();
    EXPECT_EQ((std::array<ULONG, 7>{h.wFormatTag, h.nChannels, h.nSamplesPerSec, h.nAvgBytesPerSec, h.nBlockAlign,
                                    h.wBitsPerSample, h.cbSize}),
              (std::array<ULONG, 7>{3, 6, 96000, 96000 * 18, 18, 24, 0}));
    // A float stream is kept as it is.
    const WAVEFORMATEXTENSIBLE floats = WithTag(Pcm(6, 48000, 32), WAVE_FORMAT_IEEE_FLOAT);
    ASSERT_EQ(node->SetFormat(&floats), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(&node->LimiterFormat(), &floats, sizeof(floats)), 0);
}

// ---- nodes that ran out of memory ----

// Fails each allocation of Init in turn: the node keeps what it made,
// every operation copes with what is missing, a block passes untouched
// unless everything exists, and nothing leaks.
template <class Node>
void SweepInitFailures(ULONG cs, const std::function<Node*()>& make,
                       const std::function<NTSTATUS(Node*, ULONG)>& init) {
    for (uint64_t nth = 1;; ++nth) {
        Node* node = make();
        sim::PoolResetCounters();
        sim::PoolFailNth(nth);
        const NTSTATUS status = init(node, cs);
        const bool failed = sim::PoolFailedAllocations() != 0;
        sim::PoolClearFailures();
        const bool complete = node->HasEngine() && node->WetLimiter() && node->DryLimiter() && node->Dry() && node->Wet();
        const WAVEFORMATEXTENSIBLE format = Pcm(6, 48000);
        EXPECT_EQ(node->SetFormat(&format), STATUS_SUCCESS);
        EXPECT_EQ(node->Reset(), STATUS_SUCCESS);
        node->SetValue(1);
        Block block = Tones(256, 0);
        const Block before = block;
        EXPECT_EQ(node->Process(&format, block.Channels(), 256), STATUS_SUCCESS);
        if (!complete) {
            EXPECT_EQ(block.data, before.data) << "allocation " << nth;
        }
        EXPECT_EQ(node->Flush(), STATUS_SUCCESS);
        static_cast<IUacUnit*>(node)->Release();
        EXPECT_FALSE(NT_SUCCESS(status) && !failed && !complete);
        if (!failed) break;
    }
}

TEST_F(EffectNodeTest, InitFailingAtEachAllocation) {
    auto initSurround = [this](SurroundProbe* n, ULONG cs) { return n->Init(Entity(), cs, Fdo()); };
    auto initHeadphone = [this](HeadphoneProbe* n, ULONG cs) { return n->Init(Entity(), cs, Fdo()); };
    auto makeSurround = [] { return new (NonPagedPoolNx, EFFECT_NODE_TAG) SurroundProbe(NULL, kNodeId); };
    auto makeHeadphone = [] { return new (NonPagedPoolNx, EFFECT_NODE_TAG) HeadphoneProbe(NULL, kNodeId); };
    // The nodes are made before the failure is armed; each sweep holds a
    // reference through AddRef below.
    SweepInitFailures<SurroundProbe>(UAC_CS_VENDOR_SWITCH_B,
                                     [&] { auto* n = makeSurround(); static_cast<IUacUnit*>(n)->AddRef(); return n; },
                                     initSurround);
    SweepInitFailures<HeadphoneProbe>(UAC_CS_VENDOR_SWITCH_C,
                                      [&] { auto* n = makeHeadphone(); static_cast<IUacUnit*>(n)->AddRef(); return n; },
                                      initHeadphone);
}

TEST_F(EffectNodeTest, LimiterWithoutBuffersIsFreedAndLeftOut) {
    sim::PoolFailTag(LIMITER_BUFFER_TAG);
    HeadphoneProbe* headphone = Made<HeadphoneProbe>(UAC_CS_VENDOR_SWITCH_C);
    SurroundProbe* surround = Made<SurroundProbe>(UAC_CS_VENDOR_SWITCH_B);
    sim::PoolClearFailures();
    for (auto* limiter : {headphone->WetLimiter(), headphone->DryLimiter(), surround->WetLimiter(), surround->DryLimiter()})
        EXPECT_EQ(limiter, nullptr);
    EXPECT_FALSE(headphone->HasEngine()) << "Init stops at the first failure";
    EXPECT_EQ(sim::PoolLiveBlocks(EFFECT_ENGINE_TAG), 0);
}

}  // namespace
}  // namespace effecttest

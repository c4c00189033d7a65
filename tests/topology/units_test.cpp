// Units of the audio-function graph: interfaces, sources, values,
// selectors, clocks, terminals and the terminal-type selector.
#include <functional>
#include <string>

#include "stream/engine/dsp_node.h"
#include "tests/topology/topo_fixture.h"
#include "topology/dsp_mute_node.h"
#include "topology/jack_state_node.h"

namespace topotest {
namespace {

class UnitTest : public sim::KernelTest {};

// ---- QueryInterface per class ----

struct QiCase {
    const char* name;
    std::function<IUnknown*()> create;  // one reference
    std::vector<GUID> answered;
    std::vector<GUID> refused;
};

void PrintTo(const QiCase& c, std::ostream* os) { *os << c.name; }

template <class T, class... A>
IUnknown* Unit(A... args) {
    return static_cast<IUacUnit*>(NewUnit<T>(args...));
}

const GUID kRandomIid = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};

std::vector<QiCase> QiCases() {
    return {
        {"Base", [] { return Unit<CUacUnitBase>(1u, 2u); }, {IID_IUnknown, IID_IUacUnit}, {IID_IBoolUnit, kRandomIid}},
        {"Mute", [] { return Unit<CMuteUnit>(1u); }, {IID_IUacUnit, IID_IBoolUnit, IID_IUnitProfile},
         {IID_ILevelUnit, IID_IDspNode}},
        {"Volume", [] { return Unit<CVolumeUnit>(1u); }, {IID_IUacUnit, IID_ILevelUnit, IID_IUnitProfile},
         {IID_IBoolUnit}},
        {"Mux", [] { return Unit<CMuxUnit>(1u); }, {IID_IUacUnit, IID_IMuxUnit}, {IID_IMuxListener}},
        {"Clock", [] { return Unit<CClockUnit>(1u); }, {IID_IUacUnit, IID_IClockSource}, {IID_ITerminal}},
        {"Effect", [] { return Unit<CEffectUnit>(1u); }, {IID_IUacUnit, IID_IEffectUnit}, {IID_IDevEffect24Unit}},
        {"InputPin", [] { return Unit<CInputPinUnit>(1u); }, {IID_IUacUnit, IID_ITerminal}, {IID_ISumUnit}},
        {"OutputPin", [] { return Unit<COutputPinUnit>(1u); }, {IID_IUacUnit, IID_ITerminal}, {IID_ITerminalTypeUnit}},
        {"Sum", [] { return Unit<CSumUnit>(1u); }, {IID_IUacUnit, IID_ISumUnit}, {IID_ITerminal}},
        {"TerminalType", [] { return Unit<CTerminalTypeUnit>(1u); }, {IID_IUacUnit, IID_ITerminalTypeUnit},
         {IID_ITerminal}},
        {"DspMute", [] { return Unit<CDspMuteNode>(1u); }, {IID_IUacUnit, IID_IBoolUnit, IID_IDspNode},
         {IID_ILevelUnit}},
        {"JackState",
         [] {
             CJackStateNode* n = new (NonPagedPoolNx, DSP_REMAP_NODE_TAG) CJackStateNode(NULL);
             n->AddRef();
             return static_cast<IUnknown*>(static_cast<IDspNode*>(n));
         },
         {IID_IUnknown, IID_IDspNode}, {IID_IUacUnit}},
        {"ChannelSwap",
         [] {
             CChannelSwapProcessor* n = new (NonPagedPoolNx, DSP_REMAP_NODE_TAG) CChannelSwapProcessor(NULL);
             n->AddRef();
             return static_cast<IUnknown*>(static_cast<IDspNode*>(n));
         },
         {IID_IUnknown, IID_IDspNode}, {IID_IUacUnit, kRandomIid}},
    };
}

class UnitQiTest : public sim::KernelTest, public ::testing::WithParamInterface<QiCase> {};

TEST_P(UnitQiTest, AnswersItsInterfacesAndRefusesOthers) {
    IUnknown* object = GetParam().create();
    PVOID identity = NULL;
    ASSERT_EQ(object->QueryInterface(IID_IUnknown, &identity), STATUS_SUCCESS);
    for (const GUID& iid : GetParam().answered) {
        PVOID p = NULL;
        EXPECT_EQ(object->QueryInterface(iid, &p), STATUS_SUCCESS);
        ASSERT_NE(p, nullptr);
        // Every interface leads back to the same IUnknown answer.
        PVOID again = NULL;
        EXPECT_EQ(static_cast<IUnknown*>(p)->QueryInterface(IID_IUnknown, &again), STATUS_SUCCESS);
        EXPECT_EQ(again, identity);
        static_cast<IUnknown*>(again)->Release();
        static_cast<IUnknown*>(p)->Release();
    }
    for (const GUID& iid : GetParam().refused) {
        PVOID p = reinterpret_cast<PVOID>(1);
        EXPECT_EQ(object->QueryInterface(iid, &p), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(p, nullptr);
    }
    static_cast<IUnknown*>(identity)->Release();
    EXPECT_EQ(object->Release(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Classes, UnitQiTest, ::testing::ValuesIn(QiCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UnitTest, IUacUnitAndIUnknownAreTheSamePointer) {
    CVolumeUnit* unit = NewUnit<CVolumeUnit>(3u);
    PVOID a = NULL, b = NULL;
    ASSERT_EQ(unit->QueryInterface(IID_IUacUnit, &a), STATUS_SUCCESS);
    ASSERT_EQ(unit->QueryInterface(IID_IUnknown, &b), STATUS_SUCCESS);
    EXPECT_EQ(a, b);
    static_cast<IUnknown*>(a)->Release();
    static_cast<IUnknown*>(b)->Release();
    unit->Release();
}

// ---- Sources ----

TEST_F(UnitTest, SourceIdsCopyAtMostWhatIsAskedAndKeepTheOldListOnPoolFailure) {
    CUacUnitBase* unit = NewUnit<CUacUnitBase>(1u, UNIT_KIND_SUM);
    ULONG ids[4] = {9, 9, 9, 9};
    ULONG count = 4;
    EXPECT_EQ(unit->GetSourceIds(&count, ids), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);

    const ULONG three[] = {7, 8, 9};
    ASSERT_EQ(unit->SetSourceIds(3, three), STATUS_SUCCESS);
    count = 1;
    EXPECT_EQ(unit->GetSourceIds(&count, ids), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(ids[0], 7u);
    EXPECT_EQ(ids[1], 9u);  // untouched

    const ULONG two[] = {1, 2};
    sim::PoolFailNth(1);
    EXPECT_EQ(unit->SetSourceIds(2, two), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(unit->SetSourceIds(2, NULL), STATUS_INVALID_PARAMETER);
    count = 4;
    EXPECT_EQ(unit->GetSourceIds(&count, ids), STATUS_SUCCESS);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(ids[2], 9u);
    EXPECT_EQ(unit->GetSourceIds(NULL, ids), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(unit->SetSourceIds(0, NULL), STATUS_SUCCESS);
    EXPECT_EQ(unit->GetSourceCount(), 0u);
    EXPECT_EQ(sim::PoolLiveBlocks(TOPO_SOURCE_TAG), 0);
    unit->Release();
}

// ---- Boolean and level values ----

TEST_F(UnitTest, ProfileCapsReportedChannelsButKeepsEveryChannelAddressable) {
    CMuteUnit* mute = NewUnit<CMuteUnit>(1u);
    CVolumeUnit* volume = NewUnit<CVolumeUnit>(2u);
    ASSERT_EQ(mute->Init(0, 6), STATUS_SUCCESS);
    ASSERT_EQ(volume->Init(0, 6, 0, -100, 1), STATUS_SUCCESS);
    for (ULONG profile = 0; profile < ENDPOINT_TYPE_COUNT; ++profile) {
        bool full = profile == ENDPOINT_STREAM || profile == ENDPOINT_SPK || profile == ENDPOINT_HDMI ||
                    profile == ENDPOINT_LINE;
        mute->SelectProfile(profile, NULL);
        volume->SelectProfile(profile, NULL);
        ULONG a = 0, b = 0;
        ASSERT_EQ(mute->GetChannelCount(&a), STATUS_SUCCESS);
        ASSERT_EQ(volume->GetChannelCount(&b), STATUS_SUCCESS);
        EXPECT_EQ(a, full ? 6u : 2u) << "profile " << profile;
        EXPECT_EQ(b, full ? 6u : 2u) << "profile " << profile;
        EXPECT_EQ(mute->SetValue(5, (BYTE)profile), STATUS_SUCCESS);
        BYTE v = 0xFF;
        EXPECT_EQ(mute->GetValue(5, &v), STATUS_SUCCESS);
        EXPECT_EQ(v, (BYTE)profile);
        EXPECT_EQ(volume->SetValue(5, (LONG)profile), STATUS_SUCCESS);
    }
    BYTE v = 0;
    LONG level = 0;
    EXPECT_EQ(mute->GetValue(6, &v), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(volume->GetValue(6, &level), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(mute->GetChannelCount(NULL), STATUS_INVALID_PARAMETER);
    mute->Release();
    volume->Release();
}

TEST_F(UnitTest, LevelsAreStoredUnclampedAndTheRangeUnchecked) {
    CVolumeUnit* volume = NewUnit<CVolumeUnit>(2u);
    ASSERT_EQ(volume->Init(0, 2, -10, 10, 0), STATUS_SUCCESS);  // minimum above maximum
    LONG max = 0, min = 0, step = 1;
    ASSERT_EQ(volume->GetRange(&max, &min, &step), STATUS_SUCCESS);
    EXPECT_EQ(max, -10);
    EXPECT_EQ(min, 10);
    EXPECT_EQ(step, 0);
    for (LONG level : {(LONG)0x80000000, 1000, -1000}) {
        ASSERT_EQ(volume->SetValue(1, level), STATUS_SUCCESS);
        LONG got = 0;
        ASSERT_EQ(volume->GetValue(1, &got), STATUS_SUCCESS);
        EXPECT_EQ(got, level);
    }
    EXPECT_EQ(volume->GetRange(NULL, &min, &step), STATUS_INVALID_PARAMETER);
    volume->Release();
}

TEST_F(UnitTest, FailedInitLeavesNoValueArray) {
    CMuteUnit* mute = NewUnit<CMuteUnit>(1u);
    sim::PoolFailNth(2);  // the source array after the values
    EXPECT_EQ(mute->Init(4, 2), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::PoolLiveBlocks(MakePoolTag("MTag")), 0);
    ULONG count = 9;
    EXPECT_EQ(mute->GetChannelCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
    mute->Release();
}

// ---- Selector and listeners ----

class CLogListener : public IMuxListener, public IUnitProfile, public CUnknown {
public:
    CLogListener(PUNKNOWN outer, std::string* log, char name, bool failChanging)
        : CUnknown(outer), m_Log(log), m_Name(name), m_FailChanging(failChanging) {}
    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override {
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMuxListener)) {
            return ReturnInterface(static_cast<IMuxListener*>(this), out);
        }
        if (IsEqualGUID(iid, IID_IUnitProfile)) {
            return ReturnInterface(static_cast<IUnitProfile*>(this), out);
        }
        return RefuseInterface(out);
    }
    NTSTATUS OnSelectionChanging(ULONG n, ULONG o) override {
        *m_Log += std::string(1, m_Name) + "<" + std::to_string(n) + std::to_string(o) + " ";
        return m_FailChanging ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    }
    NTSTATUS OnSelectionChanged(ULONG n) override {
        *m_Log += std::string(1, m_Name) + ">" + std::to_string(n) + " ";
        return STATUS_SUCCESS;
    }
    NTSTATUS SetInputIndex(ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS SelectProfile(ULONG profile, PVOID callbackObject) override {
        *m_Log += std::string(1, m_Name) + "=" + std::to_string(profile) + (callbackObject ? "c " : " ");
        return m_FailChanging ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    }

private:
    std::string* m_Log;
    char m_Name;
    bool m_FailChanging;
};

CLogListener* NewListener(std::string* log, char name, bool fail = false) {
    CLogListener* l = new (NonPagedPoolNx, kUnitTag) CLogListener(NULL, log, name, fail);
    l->AddRef();
    return l;
}

TEST_F(UnitTest, SelectorTellsListenersInOrderAndAFailingListenerEndsOnlyItsPass) {
    std::string log;
    CMuxUnit* mux = NewUnit<CMuxUnit>(4u);
    const ULONG sources[] = {1, 2, 3};
    ASSERT_EQ(mux->SetSourceIds(3, sources), STATUS_SUCCESS);
    CLogListener* a = NewListener(&log, 'a');
    CLogListener* b = NewListener(&log, 'b', true);
    CLogListener* c = NewListener(&log, 'c');
    for (CLogListener* l : {a, b, c}) {
        ASSERT_EQ(mux->AddListener(l), STATUS_SUCCESS);
        l->Release();
    }
    EXPECT_EQ(mux->AddListener(NULL), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(mux->SetValue(0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(mux->SetValue(4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(log, "");
    EXPECT_EQ(mux->SetValue(3), STATUS_SUCCESS);
    EXPECT_EQ(log, "a<31 b<31 a>3 b>3 c>3 ");
    ULONG input = 0;
    EXPECT_EQ(mux->GetValue(&input), STATUS_SUCCESS);
    EXPECT_EQ(input, 3u);

    // Sources set again (as start-up does): same listeners, no new list.
    const LONG lists = (LONG)sim::PoolLiveBlocks(MakePoolTag("SelT"));
    ASSERT_EQ(mux->SetSourceIds(3, sources), STATUS_SUCCESS);
    EXPECT_EQ(sim::PoolLiveBlocks(MakePoolTag("SelT")), lists);
    log.clear();
    EXPECT_EQ(mux->SetValue(3), STATUS_SUCCESS);  // same input: told all the same
    EXPECT_EQ(log, "a<33 b<33 a>3 b>3 c>3 ");
    EXPECT_EQ(mux->Release(), 0u);
}

// ---- Clock ----

TEST_F(UnitTest, ClockTakesAtMostThirtyRates) {
    ULONG rates[31];
    for (ULONG i = 0; i < 31; ++i) {
        rates[i] = 8000 + i;
    }
    CClockUnit* clock = NewUnit<CClockUnit>(12u);
    EXPECT_EQ(clock->Init(31, rates), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(clock->Init(2, NULL), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(clock->Init(30, rates), STATUS_SUCCESS);
    ULONG got[30] = {};
    ULONG count = 29;
    EXPECT_EQ(clock->GetSampleRates(&count, got), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(count, 29u);
    count = 30;
    ASSERT_EQ(clock->GetSampleRates(&count, got), STATUS_SUCCESS);
    EXPECT_EQ(count, 30u);
    EXPECT_EQ(got[29], 8029u);
    EXPECT_EQ(clock->SetSampleRate(12345), STATUS_SUCCESS);  // not checked against the list
    ULONG rate = 0;
    EXPECT_EQ(clock->GetSampleRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 12345u);
    BYTE valid = 0;
    EXPECT_EQ(clock->GetClockValid(&valid), STATUS_SUCCESS);
    EXPECT_EQ(valid, 1);
    clock->Release();
}

TEST_F(UnitTest, BareEffectUnitKeepsTheStateButReportsNothingApplied) {
    CEffectUnit* effect = NewUnit<CEffectUnit>(23u);
    EXPECT_EQ(effect->SetValue(1), STATUS_UNSUCCESSFUL);
    BYTE v = 0;
    EXPECT_EQ(effect->GetValue(&v), STATUS_SUCCESS);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(effect->GetValue(NULL), STATUS_UNSUCCESSFUL);
    ULONG values[2];
    EXPECT_EQ(effect->GetValues(0, 1, values), STATUS_INVALID_PARAMETER);
    effect->Release();
}

// ---- Terminals ----

struct TypeCountCase {
    ULONG count;
    NTSTATUS expected;
};

class TerminalInitTest : public sim::KernelTest, public ::testing::WithParamInterface<TypeCountCase> {};

TEST_P(TerminalInitTest, TypeCountMustBeOneToFive) {
    const ULONG types[6] = {2, 1, 3, 4, 6, 7};
    COutputPinUnit* pin = NewUnit<COutputPinUnit>(5u);
    EXPECT_EQ(pin->Init(4, GetParam().count, types, 0, NULL), GetParam().expected);
    ULONG type = 99, count = 99;
    EXPECT_EQ(pin->GetType(&type), STATUS_SUCCESS);
    EXPECT_EQ(pin->GetTypeCount(&count), STATUS_SUCCESS);
    bool ok = NT_SUCCESS(GetParam().expected);
    EXPECT_EQ(type, ok ? 2u : 0u);
    EXPECT_EQ(count, ok ? GetParam().count : 0u);
    EXPECT_EQ(pin->GetSourceCount(), ok ? 1u : 0u);
    pin->Release();
}

INSTANTIATE_TEST_SUITE_P(Counts, TerminalInitTest,
                         ::testing::Values(TypeCountCase{0, STATUS_INVALID_PARAMETER}, TypeCountCase{1, STATUS_SUCCESS},
                                           TypeCountCase{5, STATUS_SUCCESS},
                                           TypeCountCase{6, STATUS_INVALID_PARAMETER}));

TEST_F(UnitTest, TerminalSelectsOnlyListedTypes) {
    const ULONG types[] = {1, 2};
    CInputPinUnit* pin = NewUnit<CInputPinUnit>(5u);
    ASSERT_EQ(pin->Init(2, types, 0, NULL), STATUS_SUCCESS);
    EXPECT_EQ(pin->SelectType(3), STATUS_INVALID_PARAMETER);
    ULONG type = 0;
    pin->GetType(&type);
    EXPECT_EQ(type, 1u);
    EXPECT_EQ(pin->SelectType(2), STATUS_SUCCESS);
    pin->GetType(&type);
    EXPECT_EQ(type, 2u);
    pin->Release();
}

TEST_F(UnitTest, JackInfoCopiesWhatTheBufferHolds) {
    const ULONG type = ENDPOINT_HP;
    const JACK_INFO jacks[2] = {Jack(3, 0x00FF00, 1), Jack(12, 0xFF0000, 0)};
    CInputPinUnit* pin = NewUnit<CInputPinUnit>(5u);
    ASSERT_EQ(pin->Init(1, &type, 2, jacks), STATUS_SUCCESS);
    UCHAR buffer[2 * sizeof(JACK_INFO) + 8];
    memset(buffer, 0xEE, sizeof(buffer));
    const ULONG oneAndAHalf = sizeof(JACK_INFO) + sizeof(JACK_INFO) / 2;
    ASSERT_EQ(pin->GetJackInfo(oneAndAHalf, reinterpret_cast<JACK_INFO*>(buffer), 0), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(buffer, jacks, oneAndAHalf), 0);
    EXPECT_EQ(buffer[oneAndAHalf], 0xEE);
    EXPECT_EQ(pin->GetJackInfo(0, reinterpret_cast<JACK_INFO*>(buffer), 0), STATUS_INVALID_PARAMETER);
    ULONG count = 0;
    EXPECT_EQ(pin->GetJackCount(&count, 0), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    pin->Release();

    CInputPinUnit* bare = NewUnit<CInputPinUnit>(6u);
    ASSERT_EQ(bare->Init(1, &type, 0, NULL), STATUS_SUCCESS);
    EXPECT_EQ(bare->GetJackInfo(sizeof(buffer), reinterpret_cast<JACK_INFO*>(buffer), 0), STATUS_INVALID_PARAMETER);
    bare->Release();
}

TEST_F(UnitTest, MixerTurnsIntoAStereoMixPinAndBack) {
    CSumUnit* sum = NewUnit<CSumUnit>(8u);
    const ULONG sources[] = {7, 9};
    ASSERT_EQ(sum->SetSourceIds(2, sources), STATUS_SUCCESS);
    ASSERT_EQ(sum->SetSourceIds(2, sources), STATUS_SUCCESS);  // set twice, as start-up does
    EXPECT_EQ(sim::PoolLiveBlocks(MakePoolTag("TerT")), 2);   // one type list, one jack record
    PVOID p = NULL;
    EXPECT_EQ(sum->QueryInterface(IID_ITerminal, &p), STATUS_INVALID_PARAMETER);

    ASSERT_EQ(sum->SetStereoMix(TRUE), STATUS_SUCCESS);
    EXPECT_EQ(sum->GetKind(), (ULONG)UNIT_KIND_INPUT_PIN);
    EXPECT_EQ(sum->GetSourceCount(), 0u);
    ASSERT_EQ(sum->QueryInterface(IID_ITerminal, &p), STATUS_SUCCESS);
    ITerminal* terminal = static_cast<ITerminal*>(p);
    ULONG type = 0, jacks = 0;
    EXPECT_EQ(terminal->GetType(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, (ULONG)ENDPOINT_STEREOMIX);
    EXPECT_EQ(terminal->GetJackCount(&jacks, 0), STATUS_SUCCESS);
    JACK_INFO jack = {};
    ASSERT_EQ(terminal->GetJackInfo(sizeof(jack), &jack, 0), STATUS_SUCCESS);
    const JACK_INFO expected = {3, 0, 7, 14, 1, 1, 0, 1, 0};
    EXPECT_EQ(memcmp(&jack, &expected, sizeof(jack)), 0);
    terminal->Release();

    ASSERT_EQ(sum->SetStereoMix(FALSE), STATUS_SUCCESS);
    EXPECT_EQ(sum->GetKind(), (ULONG)UNIT_KIND_SUM);
    EXPECT_EQ(sum->GetSourceCount(), 2u);
    EXPECT_EQ(sum->QueryInterface(IID_ITerminal, &p), STATUS_INVALID_PARAMETER);
    sum->Release();
}

TEST_F(UnitTest, MixerWithoutMemoryKeepsNothingAndStillSucceeds) {
    CSumUnit* sum = NewUnit<CSumUnit>(8u);
    const ULONG sources[] = {7, 9};
    sim::PoolFailTag(MakePoolTag("TerT"));
    EXPECT_EQ(sum->SetSourceIds(2, sources), STATUS_SUCCESS);
    sim::PoolClearFailures();
    EXPECT_EQ(sum->GetSourceCount(), 0u);
    ASSERT_EQ(sum->SetStereoMix(TRUE), STATUS_SUCCESS);
    PVOID p = NULL;
    ASSERT_EQ(sum->QueryInterface(IID_ITerminal, &p), STATUS_SUCCESS);
    ULONG count = 9;
    static_cast<ITerminal*>(p)->GetTypeCount(&count);
    EXPECT_EQ(count, 0u);
    static_cast<ITerminal*>(p)->GetJackCount(&count, 0);
    EXPECT_EQ(count, 0u);
    static_cast<ITerminal*>(p)->Release();
    sum->Release();
}

TEST_F(UnitTest, TerminalTypeNotifiesListenersOncePerChange) {
    std::string log;
    CTerminalTypeUnit* selector = NewUnit<CTerminalTypeUnit>(13u);
    const ULONG types[] = {1, 2};
    EXPECT_EQ(selector->Init(0, 6, types), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(selector->Init(1, 2, types), STATUS_SUCCESS);
    CLogListener* a = NewListener(&log, 'a');
    CLogListener* b = NewListener(&log, 'b');
    ASSERT_EQ(selector->AddListener(a), STATUS_SUCCESS);
    ASSERT_EQ(selector->AddListener(b), STATUS_SUCCESS);
    a->Release();
    b->Release();
    EXPECT_EQ(selector->SelectType(9), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(selector->IsChanged(), 0u);
    EXPECT_EQ(selector->SelectType(2), STATUS_SUCCESS);
    EXPECT_EQ(selector->IsChanged(), 1u);
    EXPECT_EQ(selector->SelectType(2), STATUS_SUCCESS);
    EXPECT_EQ(log, "a=2 b=2 ");
    EXPECT_EQ(selector->ClearChanged(), STATUS_SUCCESS);
    EXPECT_EQ(selector->IsChanged(), 0u);
    selector->Release();
}

}  // namespace
}  // namespace topotest

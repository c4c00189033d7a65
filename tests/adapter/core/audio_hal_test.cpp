// CAudioHal: the lists and their lookups, the selector wiring of the unit
// graph, ApplyUnits and Init's undo, the power path and the callback
// object, on the fake model (a CAudioHal whose InitHardware adds scripted
// units and engines).
#include <gtest/gtest.h>

#include "tests/fakes/adapter/fake_log.h"
#include "tests/fakes/adapter/fake_model.h"
#include "tests/support/kernel_test.h"

namespace {

using fakes::FakeModel;
using fakes::LogWith;
using fakes::ModelScript;
using fakes::UnitSpec;

class AudioHalTest : public sim::KernelTest {
protected:
    void SetUp() override {
        sim::KernelTest::SetUp();
        fakes::ClearLog();
        fakes::ResetModels();
    }
    void TearDown() override {
        if (m_Unknown) m_Unknown->Release();
        sim::KernelTest::TearDown();
    }

    // A HAL that is its own outer unknown; Init's status.
    NTSTATUS Make(const ModelScript& script, bool init = true) {
        EXPECT_EQ(CreateUnknown<FakeModel>(&m_Unknown, NULL, NonPagedPoolNx, MakePoolTag("FMdl"), script),
                  STATUS_SUCCESS);
        EXPECT_EQ(m_Unknown->QueryInterface(IID_IAudioHal, reinterpret_cast<PVOID*>(&m_Hal)), STATUS_SUCCESS);
        m_Hal->Release();  // m_Unknown keeps it alive
        m_Model = static_cast<FakeModel*>(m_Hal);
        return init ? m_Hal->Init(NULL, NULL, NULL, NULL) : STATUS_SUCCESS;
    }

    PUNKNOWN m_Unknown = NULL;
    IAudioHal* m_Hal = NULL;
    FakeModel* m_Model = NULL;
};

UnitSpec Unit(ULONG id, std::vector<ULONG> sources, bool listener = true) {
    UnitSpec spec;
    spec.id = id;
    spec.kind = UNIT_KIND_VOLUME;
    spec.sources = sources;
    spec.listener = listener;
    return spec;
}

UnitSpec Mux(ULONG id, std::vector<ULONG> sources, ULONG selection = 1) {
    UnitSpec spec;
    spec.id = id;
    spec.kind = UNIT_KIND_MUX;
    spec.sources = sources;
    spec.mux = true;
    spec.selection = selection;
    return spec;
}

TEST_F(AudioHalTest, ListsAnswerMissingListAndBadIndexApart) {
    ASSERT_EQ(Make({}, false), STATUS_SUCCESS);
    IUacUnit* unit = reinterpret_cast<IUacUnit*>(1);
    IStreamEngine* engine = reinterpret_cast<IStreamEngine*>(1);
    EXPECT_EQ(m_Hal->GetUnitCount(), 0u);
    EXPECT_EQ(m_Hal->GetUnit(0, &unit), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(unit, nullptr);
    EXPECT_EQ(m_Hal->GetStreamEngine(0, &engine), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(engine, nullptr);

    ModelScript script;
    script.units = {Unit(1, {}), Unit(2, {1})};
    script.engines = {fakes::EngineSpec{}};
    m_Unknown->Release();
    m_Unknown = NULL;
    ASSERT_EQ(Make(script), STATUS_SUCCESS);
    EXPECT_EQ(m_Hal->GetUnitCount(), 2u);
    unit = reinterpret_cast<IUacUnit*>(1);
    EXPECT_EQ(m_Hal->GetUnit(2, &unit), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit, nullptr);
    EXPECT_EQ(m_Hal->GetStreamEngine(1, &engine), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(m_Hal->GetUnit(1, &unit), STATUS_SUCCESS);
    EXPECT_EQ(unit->GetId(), 2u);
    ASSERT_EQ(m_Hal->GetStreamEngine(0, &engine), STATUS_SUCCESS);
    EXPECT_NE(engine, nullptr);
}

TEST_F(AudioHalTest, FindUnitByIdTakesTheLastMatch) {
    ModelScript script;
    script.units = {Unit(7, {}), Unit(3, {}), Unit(7, {1, 2})};
    ASSERT_EQ(Make(script), STATUS_SUCCESS);
    IUacUnit* unit = NULL;
    ASSERT_EQ(m_Model->FindUnitById(7, &unit), STATUS_SUCCESS);
    EXPECT_EQ(unit->GetSourceCount(), 2u);
    EXPECT_EQ(m_Model->FindUnitById(9, &unit), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(unit, nullptr);
}

struct WiringCase {
    const char* name;
    std::vector<UnitSpec> units;
    std::vector<std::string> linked;  // the log of the wiring, in order
};

std::ostream& operator<<(std::ostream& out, const WiringCase& c) { return out << c.name; }

class SelectorWiring : public AudioHalTest, public ::testing::WithParamInterface<WiringCase> {};

TEST_P(SelectorWiring, LinksFarEndFirstOnceEach) {
    ModelScript script;
    script.units = GetParam().units;
    ASSERT_EQ(Make(script), STATUS_SUCCESS);
    std::vector<std::string> wiring;
    for (const std::string& e : fakes::Log())
        if (e.find(":input:") != std::string::npos || e.find(":selection:") != std::string::npos ||
            e.find(":listener:") != std::string::npos)
            wiring.push_back(e);
    EXPECT_EQ(wiring, GetParam().linked);
}

std::vector<UnitSpec> MuxWithSources(ULONG count) {
    std::vector<ULONG> sources;
    for (ULONG i = 0; i < count; ++i) sources.push_back(100 + i);
    std::vector<UnitSpec> units = {Mux(50, sources)};
    units.push_back(Unit(100 + count - 1, {1}));  // a listener on the last input
    return units;
}

std::vector<std::string> LinkedAt(ULONG mux, ULONG unit, ULONG input, ULONG selection) {
    return {"mux:" + std::to_string(mux) + ":listener:" + std::to_string(unit),
            "unit:" + std::to_string(unit) + ":input:" + std::to_string(input),
            "unit:" + std::to_string(unit) + ":selection:" + std::to_string(selection)};
}

std::vector<UnitSpec> Chain(ULONG length) {
    // Units 1..length, each fed by the one before; unit 1 by an id no
    // unit has.
    std::vector<UnitSpec> units = {Mux(1000, {length})};
    for (ULONG id = 1; id <= length; ++id) units.push_back(Unit(id, {id == 1 ? 999u : id - 1}));
    return units;
}

std::vector<std::string> ChainLinks(ULONG length) {
    std::vector<std::string> linked;
    for (ULONG id = 1; id <= length; ++id)
        for (const std::string& e : LinkedAt(1000, id, 1, 1)) linked.push_back(e);
    return linked;
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SelectorWiring,
    ::testing::Values(
        WiringCase{"TenSourcesLinked", MuxWithSources(10), LinkedAt(50, 109, 10, 1)},
        WiringCase{"ElevenSourcesNotLinked", MuxWithSources(11), {}},
        // feature 5 <- feature 4 <- terminal 3 into input 2 (selection 2):
        // 4 first, then 5; the terminal has no source and stays out.
        WiringCase{"FeatureFeatureTerminal",
                   {Mux(10, {1, 5}, 2), Unit(5, {4}), Unit(4, {3}), Unit(3, {})},
                   Concat(LinkedAt(10, 4, 2, 2), LinkedAt(10, 5, 2, 2))},
        WiringCase{"UnitWithTwoSourcesEndsTheChain",
                   {Mux(10, {6}), Unit(6, {7}), Unit(7, {8, 9})},
                   LinkedAt(10, 6, 1, 1)},
        WiringCase{"NonListenerIsWalkedNotLinked",
                   {Mux(10, {6}), Unit(6, {7}, false), Unit(7, {8})},
                   LinkedAt(10, 7, 1, 1)},
        WiringCase{"LoopEndsAfterEachUnitOnce",
                   {Mux(10, {5}), Unit(5, {4}), Unit(4, {5})},
                   Concat(LinkedAt(10, 4, 1, 1), LinkedAt(10, 5, 1, 1))},
        WiringCase{"ChainOf255", Chain(255), ChainLinks(255)}),
    [](const ::testing::TestParamInfo<WiringCase>& info) { return std::string(info.param.name); });

TEST_F(AudioHalTest, ApplyStopsAtFirstFailureAndInitUndoesTheLists) {
    ModelScript script;
    UnitSpec failing = Unit(2, {});
    failing.applyStatus = STATUS_IO_DEVICE_ERROR;
    script.units = {Unit(1, {}), failing, Unit(3, {})};
    script.engines = {fakes::EngineSpec{}};
    EXPECT_EQ(Make(script), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(LogWith("unit:"), (std::vector<std::string>{"unit:1:apply", "unit:2:apply"}));
    IUacUnit* unit = NULL;
    EXPECT_EQ(m_Hal->GetUnitCount(), 0u);
    EXPECT_EQ(m_Hal->GetUnit(0, &unit), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_Hal->GetStreamEngineCount(), 0u);
}

TEST_F(AudioHalTest, ReturnToD0AppliesOnce) {
    ModelScript script;
    script.units = {Unit(1, {}), Unit(2, {})};
    ASSERT_EQ(Make(script), STATUS_SUCCESS);
    fakes::ClearLog();
    auto power = [&](DEVICE_POWER_STATE state) {
        POWER_STATE s;
        s.DeviceState = state;
        m_Model->CAudioHal::PowerChangeState(s);
    };
    power(PowerDeviceD3);
    EXPECT_TRUE(LogWith("unit:").empty());
    EXPECT_EQ(m_Model->GetPowerState(), (ULONG)PowerDeviceD3);
    power(PowerDeviceD0);
    power(PowerDeviceD0);
    power(PowerDeviceMaximum);  // not a device state: ignored
    EXPECT_EQ(LogWith("unit:"), (std::vector<std::string>{"unit:1:apply", "unit:2:apply"}));
    EXPECT_EQ(m_Model->GetPowerState(), (ULONG)PowerDeviceD0);
}

struct Received {
    int calls = 0;
    AUDIOHAL_NOTIFICATION message = {};
};

VOID OnNotification(PVOID context, PVOID argument1, PVOID) {
    auto* received = static_cast<Received*>(context);
    ++received->calls;
    received->message = *static_cast<AUDIOHAL_NOTIFICATION*>(argument1);
}

TEST_F(AudioHalTest, RegisteredCallbackHearsTheHalsObjectSynchronously) {
    ASSERT_EQ(Make({}), STATUS_SUCCESS);
    Received received;
    PVOID registration = NULL;
    ASSERT_EQ(m_Hal->RegisterCallback(OnNotification, &received, &registration), STATUS_SUCCESS);
    AUDIOHAL_NOTIFICATION message = {AUDIOHAL_NOTIFY_CONTROL_CHANGE, AUDIOHAL_NOTIFY_CODE, 42, 0};
    ExNotifyCallback(m_Model->GetHalCallbackObject(), &message, NULL);
    EXPECT_EQ(received.calls, 1);
    EXPECT_EQ(received.message.Type, 1u);
    EXPECT_EQ(received.message.Code, 1u);
    EXPECT_EQ(received.message.Id, 42u);
    EXPECT_EQ(received.message.Reserved, 0u);
    EXPECT_EQ(m_Hal->UnregisterCallback(registration), STATUS_SUCCESS);
    ExNotifyCallback(m_Model->GetHalCallbackObject(), &message, NULL);
    EXPECT_EQ(received.calls, 1);
}

TEST_F(AudioHalTest, NullRecordsAndRegistrationsAreRefused) {
    ASSERT_EQ(Make({}, false), STATUS_SUCCESS);
    PVOID registration = NULL;
    EXPECT_EQ(m_Hal->RegisterCallback(OnNotification, NULL, &registration), STATUS_UNSUCCESSFUL)
        << "no callback object before Init";
    EXPECT_EQ(m_Hal->GetEndpointCapabilities(FALSE, ENDPOINT_SPK, NULL), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_Model->CAudioHal::GetStreamEngineCapabilities(0, NULL), STATUS_INVALID_PARAMETER);
    DEVICE_CAPABILITIES caps = {};
    EXPECT_EQ(m_Model->QueryDeviceCapabilities(&caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
}

}  // namespace

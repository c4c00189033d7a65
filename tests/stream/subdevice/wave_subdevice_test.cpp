// Installation of an engine's wave subdevice: presence by the jacks of its
// terminals, the port-class registration and the physical connection in
// the engine's direction, what a repeated or premature call does, every
// step's failure leaving nothing behind, and removal.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "platform/portcls/sim_portcls.h"
#include "sim/pool.h"
#include "stream/engine/stream_engine.h"
#include "tests/fakes/stream/fake_unit.h"
#include "tests/fakes/wave/fake_install_miniports.h"
#include "tests/fakes/wave/fake_wave_adapter.h"
#include "tests/fakes/wave/wave_test_device.h"
#include "tests/support/kernel_test.h"

namespace {

using namespace wavefakes;

class InstallEngine : public CStreamEngine {
public:
    InstallEngine() : CStreamEngine(NULL, 1) {}
    bool Installed() const { return m_pWavePort != NULL; }
};

// Terminal ids: 1 the USB streaming terminal, 2 the jack terminal.
constexpr ULONG kStreamingId = 1;
constexpr ULONG kJackId = 2;

class InstallTest : public sim::KernelTest {
protected:
    void SetUp() override {
        sim::KernelTest::SetUp();
        sim::PcResetState();
        NextWaveMiniport() = WaveMiniportScript();
        NextTopologyMiniport() = TopologyScript();
        device_ = std::make_unique<WaveTestDevice>(CreateFakeTopologyMiniport);
        ASSERT_EQ(device_->Start(), STATUS_SUCCESS);
        sim::PcResetState();  // count only what the engine does
    }

    void TearDown() override {
        if (engine_) {
            EXPECT_EQ(engine_->RemoveMiniport(Fdo()), STATUS_SUCCESS);
            engine_->Release();
        }
        if (jack_) jack_->Release();
        if (adapter_) {
            EXPECT_EQ(adapter_->RefCount(), 1u);
            adapter_->Release();
        }
        device_.reset();
        EXPECT_EQ(LiveFakeWaveMiniports(), 0);
        EXPECT_EQ(LiveFakeTopologyMiniports(), 0);
        sim::PcResetState();
        sim::KernelTest::TearDown();
    }

    // An engine with a USB streaming terminal and, when jacks is given, a
    // terminal of the other end with those jack states. listed: the engine
    // stands second in the adapter's list (after an unrelated engine).
    void MakeEngine(bool capture, const std::vector<ULONG>* jacks, bool listed = true) {
        engine_ = new (NonPagedPoolNx, STREAM_ENGINE_TAG) InstallEngine();
        engine_->AddRef();
        ASSERT_EQ(engine_->Init(capture ? 1 : 0), STATUS_SUCCESS);
        streamfakes::UnitSpec streaming;
        streaming.id = kStreamingId;
        streaming.kind = capture ? UNIT_KIND_OUTPUT_PIN : UNIT_KIND_INPUT_PIN;
        streaming.terminal = true;
        streaming.type = ENDPOINT_STREAM;
        streamfakes::FakeStreamUnit* unit = streamfakes::FakeStreamUnit::Create(streaming);
        ASSERT_EQ(engine_->AddUnit(unit), STATUS_SUCCESS);
        unit->Release();
        if (jacks) {
            streamfakes::UnitSpec spec;
            spec.id = kJackId;
            spec.kind = capture ? UNIT_KIND_INPUT_PIN : UNIT_KIND_OUTPUT_PIN;
            spec.terminal = true;
            spec.type = capture ? ENDPOINT_MIC : ENDPOINT_HEADSET;
            for (ULONG connected : *jacks) {
                JACK_INFO record = {};
                record.IsConnected = connected;
                spec.jacks.push_back(record);
            }
            jack_ = streamfakes::FakeStreamUnit::Create(spec);
            ASSERT_EQ(engine_->AddUnit(jack_), STATUS_SUCCESS);
        }
        other_ = new (NonPagedPoolNx, STREAM_ENGINE_TAG) InstallEngine();
        other_->AddRef();
        std::vector<IStreamEngine*> engines = {other_};
        if (listed) engines.push_back(engine_);
        adapter_ = FakeWaveAdapter::Create(engines);
        other_->Release();
    }

    NTSTATUS Install() {
        engine_->SetMiniportCreate(CreateFakeWaveMiniport, &CLSID_PortWaveCyclic);
        engine_->SetTopology(device_->TopologyPort(), device_->TopologyMiniport());
        return engine_->InstallMiniport(Fdo(), NULL, static_cast<IAudioHal*>(adapter_));
    }

    PDEVICE_OBJECT Fdo() { return device_->Fdo(); }
    std::vector<std::u16string> Subdevices() {
        std::vector<std::u16string> names;
        for (const auto& s : sim::PcSubdevices(Fdo())) names.push_back(s.name);
        return names;
    }
    // Calls that reach the port class for one installation.
    uint64_t PortClassCalls() {
        return sim::PcCallCount(sim::PcCall::NewPort) + sim::PcCallCount(sim::PcCall::PortInit) +
               sim::PcCallCount(sim::PcCall::RegisterSubdevice) +
               sim::PcCallCount(sim::PcCall::RegisterPhysicalConnection) +
               sim::PcCallCount(sim::PcCall::UnregisterSubdevice) +
               sim::PcCallCount(sim::PcCall::UnregisterPhysicalConnection);
    }

    std::unique_ptr<WaveTestDevice> device_;
    InstallEngine* engine_ = nullptr;
    InstallEngine* other_ = nullptr;
    streamfakes::FakeStreamUnit* jack_ = nullptr;
    FakeWaveAdapter* adapter_ = nullptr;
};

const std::vector<std::u16string> kTopologyOnly = {u"GlobalTopo"};
const std::vector<std::u16string> kBoth = {u"GlobalTopo", u"HeadSetOut00Wave"};

// ---- presence ----------------------------------------------------------------

struct PresenceCase {
    const char* name;
    bool capture;
    bool hasJackTerminal;
    std::vector<ULONG> jacks;
    bool writesNothing;
    bool present;
};

class PresenceTest : public InstallTest, public ::testing::WithParamInterface<PresenceCase> {};

TEST_P(PresenceTest, InstallsExactlyWhenAJackIsPlugged) {
    const PresenceCase& c = GetParam();
    MakeEngine(c.capture, c.hasJackTerminal ? &c.jacks : nullptr);
    if (jack_) jack_->FailJackInfo = c.writesNothing;
    EXPECT_EQ(Install(), STATUS_SUCCESS);
    EXPECT_EQ(engine_->Installed(), c.present);
    EXPECT_EQ(Subdevices(), c.present ? kBoth : kTopologyOnly);
    EXPECT_EQ(sim::PcConnections(Fdo()).size(), c.present ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Jacks, PresenceTest,
    ::testing::Values(PresenceCase{"AllUnplugged", false, true, {0, 0}, false, false},
                      PresenceCase{"SecondConnected", false, true, {0, 1}, false, true},
                      PresenceCase{"NoRecords", false, true, {}, false, true},
                      PresenceCase{"OnlyStreamingTerminal", false, false, {}, false, false},
                      PresenceCase{"OnlyTheLowByteCounts", false, true, {0x100}, false, false},
                      PresenceCase{"RecordsNotWritten", false, true, {1}, true, false},
                      PresenceCase{"CapturePlugged", true, true, {1}, false, true},
                      PresenceCase{"CaptureUnplugged", true, true, {0}, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- connection and engine index ------------------------------------------------

class DirectionTest : public InstallTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DirectionTest, ConnectsTheBridgePinToTheTerminalsTopologyPin) {
    const bool capture = GetParam();
    std::vector<ULONG> plugged = {1};
    MakeEngine(capture, &plugged);
    NextWaveMiniport().terminalId = 7;
    ASSERT_EQ(Install(), STATUS_SUCCESS);
    EXPECT_EQ(LastEngineIndex(), 1u);  // its place in the adapter's list
    std::vector<sim::PcConnectionView> connections = sim::PcConnections(Fdo());
    ASSERT_EQ(connections.size(), 1u);
    const sim::PcConnectionView& c = connections[0];
    // The topology miniport maps unit 7 to pin 107.
    if (capture) {
        EXPECT_EQ(c.fromName, u"GlobalTopo");
        EXPECT_EQ(c.fromPin, 107u);
        EXPECT_EQ(c.toName, u"HeadSetOut00Wave");
        EXPECT_EQ(c.toPin, 1u);
    } else {
        EXPECT_EQ(c.fromName, u"HeadSetOut00Wave");
        EXPECT_EQ(c.fromPin, 1u);
        EXPECT_EQ(c.toName, u"GlobalTopo");
        EXPECT_EQ(c.toPin, 107u);
    }
    ASSERT_EQ(engine_->RemoveMiniport(Fdo()), STATUS_SUCCESS);
    EXPECT_TRUE(sim::PcConnections(Fdo()).empty());
    EXPECT_EQ(Subdevices(), kTopologyOnly);
}

INSTANTIATE_TEST_SUITE_P(Direction, DirectionTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Capture" : "Render"; });

// ---- repeated, premature and changing calls -------------------------------------------

TEST_F(InstallTest, ASecondInstallWhilePresentTouchesNothing) {
    std::vector<ULONG> plugged = {1};
    MakeEngine(false, &plugged);
    ASSERT_EQ(Install(), STATUS_SUCCESS);
    uint64_t calls = PortClassCalls();
    EXPECT_EQ(engine_->InstallMiniport(Fdo(), NULL, static_cast<IAudioHal*>(adapter_)), STATUS_SUCCESS);
    EXPECT_EQ(PortClassCalls(), calls);
    EXPECT_EQ(LiveFakeWaveMiniports(), 1);
}

TEST_F(InstallTest, NothingHappensBeforeTheCreateFunctionAndRemovalOfNothingSucceeds) {
    std::vector<ULONG> plugged = {1};
    MakeEngine(false, &plugged);
    EXPECT_EQ(engine_->InstallMiniport(Fdo(), NULL, static_cast<IAudioHal*>(adapter_)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(engine_->RemoveMiniport(Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(PortClassCalls(), 0u);
    EXPECT_EQ(engine_->SetMiniportCreate(NULL, &CLSID_PortWaveCyclic), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(engine_->SetTopology(NULL, device_->TopologyMiniport()), STATUS_NO_SUCH_DEVICE);
}

TEST_F(InstallTest, UnplugRemovesThePairAndPlugBringsItBack) {
    std::vector<ULONG> plugged = {1, 0};
    MakeEngine(false, &plugged);
    ASSERT_EQ(Install(), STATUS_SUCCESS);
    ASSERT_EQ(Subdevices(), kBoth);
    jack_->SetJackConnected(0, 0);
    EXPECT_EQ(engine_->InstallMiniport(Fdo(), NULL, static_cast<IAudioHal*>(adapter_)), STATUS_SUCCESS);
    EXPECT_FALSE(engine_->Installed());
    EXPECT_EQ(Subdevices(), kTopologyOnly);
    EXPECT_TRUE(sim::PcConnections(Fdo()).empty());
    EXPECT_EQ(LiveFakeWaveMiniports(), 0);  // unregistering released the miniport
    jack_->SetJackConnected(1, 1);
    EXPECT_EQ(engine_->InstallMiniport(Fdo(), NULL, static_cast<IAudioHal*>(adapter_)), STATUS_SUCCESS);
    EXPECT_EQ(Subdevices(), kBoth);
    EXPECT_EQ(sim::PcConnections(Fdo()).size(), 1u);
}

TEST_F(InstallTest, AFailedConnectionLeavesTheSubdeviceInstalledAndRemovable) {
    std::vector<ULONG> plugged = {1};
    MakeEngine(false, &plugged);
    sim::PcFailNth(sim::PcCall::RegisterPhysicalConnection, 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Install(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(engine_->Installed());
    EXPECT_EQ(Subdevices(), kBoth);
    EXPECT_TRUE(sim::PcConnections(Fdo()).empty());
    // Not retried while present ...
    uint64_t calls = PortClassCalls();
    EXPECT_EQ(engine_->InstallMiniport(Fdo(), NULL, static_cast<IAudioHal*>(adapter_)), STATUS_SUCCESS);
    EXPECT_EQ(PortClassCalls(), calls);
    // ... and an unplug removes the subdevice although no connection exists.
    jack_->SetJackConnected(0, 0);
    EXPECT_EQ(engine_->InstallMiniport(Fdo(), NULL, static_cast<IAudioHal*>(adapter_)), STATUS_SUCCESS);
    EXPECT_FALSE(engine_->Installed());
    EXPECT_EQ(Subdevices(), kTopologyOnly);
}

TEST_F(InstallTest, AFailedUnregistrationKeepsTheEngineInstalledForTheNextTry) {
    std::vector<ULONG> plugged = {1};
    MakeEngine(false, &plugged);
    ASSERT_EQ(Install(), STATUS_SUCCESS);
    sim::PcFailNth(sim::PcCall::UnregisterSubdevice, 1, STATUS_DEVICE_BUSY);
    EXPECT_EQ(engine_->RemoveMiniport(Fdo()), STATUS_DEVICE_BUSY);
    EXPECT_TRUE(engine_->Installed());
}

// ---- every step's failure ----------------------------------------------------------------

struct FailureCase {
    const char* name;
    std::function<void(InstallTest*)> arm;
    NTSTATUS expected;
};

class FailureTest : public InstallTest, public ::testing::WithParamInterface<FailureCase> {
public:
    FakeWaveAdapter* Adapter() { return adapter_; }
};

TEST_P(FailureTest, LeavesTheEngineNotInstalledWithEveryInterfaceReleased) {
    const FailureCase& c = GetParam();
    std::vector<ULONG> plugged = {1};
    MakeEngine(false, &plugged, std::string(c.name) != "EngineNotListed");
    c.arm(this);
    EXPECT_EQ(Install(), c.expected);
    EXPECT_FALSE(engine_->Installed());
    EXPECT_EQ(Subdevices(), kTopologyOnly);
    EXPECT_TRUE(sim::PcConnections(Fdo()).empty());
    EXPECT_EQ(LiveFakeWaveMiniports(), 0);
    EXPECT_EQ(adapter_->RefCount(), 1u);
    EXPECT_EQ(jack_->RefCount(), 2u);  // the test's and the engine's
}

void Nothing(InstallTest*) {}

INSTANTIATE_TEST_SUITE_P(
    Steps, FailureTest,
    ::testing::Values(
        FailureCase{"AdapterRefusesHal",
                    [](InstallTest* t) { static_cast<FailureTest*>(t)->Adapter()->RefuseAudioHal = true; },
                    STATUS_INVALID_PARAMETER},
        FailureCase{"EngineNotListed", Nothing, STATUS_UNSUCCESSFUL},
        FailureCase{"EngineLookupFails",
                    [](InstallTest* t) { static_cast<FailureTest*>(t)->Adapter()->EngineStatus = STATUS_INVALID_PARAMETER; },
                    STATUS_UNSUCCESSFUL},
        FailureCase{"NewPort", [](InstallTest*) { sim::PcFailNth(sim::PcCall::NewPort, 1, STATUS_NO_MEMORY); },
                    STATUS_NO_MEMORY},
        FailureCase{"CreateMiniport", [](InstallTest*) { NextWaveMiniport().createStatus = STATUS_NO_MEMORY; },
                    STATUS_NO_MEMORY},
        FailureCase{"PortInit", [](InstallTest*) { sim::PcFailNth(sim::PcCall::PortInit, 1, STATUS_NO_MEMORY); },
                    STATUS_NO_MEMORY},
        FailureCase{"MiniportInit", [](InstallTest*) { NextWaveMiniport().initStatus = STATUS_DEVICE_NOT_READY; },
                    STATUS_DEVICE_NOT_READY},
        FailureCase{"MiniportRefusesInfo", [](InstallTest*) { NextWaveMiniport().refuseInfo = true; },
                    STATUS_INVALID_PARAMETER},
        FailureCase{"MiniportName", [](InstallTest*) { NextWaveMiniport().nameStatus = STATUS_UNSUCCESSFUL; },
                    STATUS_UNSUCCESSFUL},
        FailureCase{"TopologyWithoutInfo", [](InstallTest*) { NextTopologyMiniport().refuseInfo = true; },
                    STATUS_UNSUCCESSFUL},
        FailureCase{"TopologyMapsNothing", [](InstallTest*) { NextTopologyMiniport().mapStatus = STATUS_NOT_FOUND; },
                    STATUS_NOT_FOUND},
        FailureCase{"RegisterSubdevice",
                    [](InstallTest*) { sim::PcFailNth(sim::PcCall::RegisterSubdevice, 1, STATUS_DEVICE_BUSY); },
                    STATUS_DEVICE_BUSY}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// The topology miniport: Init and its failures, the name, interfaces,
// pin-id mapping and power notification.
#include <string>

#include "tests/topology/topo_fixture.h"

namespace topotest {
namespace {

class MiniportTest : public TopoTest {
protected:
    void AddSmallGraph() {
        AddInputPin(1, ENDPOINT_STREAM);
        AddVolume(2, 1);
        AddOutputPin(3, 2, ENDPOINT_SPK);
    }
    ULONG UnitRefs(IUacUnit* unit) {
        ULONG n = unit->AddRef();
        unit->Release();
        return n - 1;
    }
};

TEST_F(MiniportTest, InitGivesNameDescriptionAndRegistration) {
    AddSmallGraph();
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    PWSTR name = NULL;
    ASSERT_EQ(miniport->GetName(&name), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"GlobalTopo");
    EXPECT_EQ(miniport->GetName(NULL), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(hal->RegistrationCount(), 1u);
    PVOID p = NULL;
    for (const GUID& iid : {IID_IPowerNotify, IID_IMiniportInfo, IID_IMiniport, IID_IMiniportTopology}) {
        ASSERT_EQ(miniportUnknown->QueryInterface(iid, &p), STATUS_SUCCESS);
        static_cast<IUnknown*>(p)->Release();
    }
    EXPECT_EQ(miniportUnknown->QueryInterface(IID_IMiniportWaveCyclic, &p), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(p, nullptr);
    IMiniportTopology* topo = static_cast<IMiniportTopology*>(miniport);
    EXPECT_EQ(topo->DataRangeIntersection(0, NULL, NULL, 0, NULL, NULL), STATUS_NOT_IMPLEMENTED);
    ReleaseAll();
}

TEST_F(MiniportTest, NullPortFailsAndLeavesNoDescription) {
    AddSmallGraph();
    PUNKNOWN unknown = NULL;
    ASSERT_EQ(CreateMiniportTopology(&unknown, IID_IUnknown, NULL, NonPagedPoolNx), STATUS_SUCCESS);
    CMiniportTopology* m = CMiniportTopology::FromTarget(unknown);
    EXPECT_EQ(m->Init(static_cast<IAudioHal*>(hal), NULL, NULL), STATUS_INVALID_PARAMETER);
    PPCFILTER_DESCRIPTOR d = NULL;
    EXPECT_EQ(static_cast<IMiniportTopology*>(m)->GetDescription(&d), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(unknown->Release(), 0u);
}

struct InitFailure {
    const char* name;
    void (*arrange)(fakes::CFakeAudioHal*, fakes::CFakeTopologyPort*);
    NTSTATUS expected;
};

class MiniportInitFailureTest : public MiniportTest, public ::testing::WithParamInterface<InitFailure> {};

// Each failing step leaves no description, name or interface reference;
// the working lists stay until the miniport goes, and then nothing of it
// is left and every unit is back to the adapter's one reference.
TEST_P(MiniportInitFailureTest, FailsCleanly) {
    AddSmallGraph();
    IUacUnit* volume = NULL;
    ASSERT_EQ(hal->GetUnit(1, &volume), STATUS_SUCCESS);
    port = fakes::CFakeTopologyPort::Create();
    GetParam().arrange(hal, port);
    EXPECT_EQ(Build(), GetParam().expected);
    PPCFILTER_DESCRIPTOR d = NULL;
    EXPECT_EQ(static_cast<IMiniportTopology*>(miniport)->GetDescription(&d), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(hal->RegistrationCount(), 0u);
    ULONG portRefs = port->AddRef() - 1;
    port->Release();
    EXPECT_EQ(portRefs, 1u) << "the miniport still holds the port";
    miniportUnknown->Release();
    miniportUnknown = NULL;
    EXPECT_EQ(UnitRefs(volume), 1u);
    EXPECT_EQ(sim::PoolLiveBlocks(TOPO_BUILD_TAG), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, MiniportInitFailureTest,
    ::testing::Values(
        InitFailure{"AdapterQuery", [](fakes::CFakeAudioHal* h, fakes::CFakeTopologyPort*) { h->FailAudioHalQuery = true; },
                    STATUS_INVALID_PARAMETER},
        InitFailure{"PortEvents", [](fakes::CFakeAudioHal*, fakes::CFakeTopologyPort* p) { p->RefusePortEvents = true; },
                    STATUS_INVALID_PARAMETER},
        InitFailure{"RegisterCallback",
                    [](fakes::CFakeAudioHal* h, fakes::CFakeTopologyPort*) { h->FailRegisterCallback = true; },
                    STATUS_UNSUCCESSFUL}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MiniportTest, PoolFailureAtEveryInitAllocation) {
    int failures = 0;
    for (ULONG n = 1;; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        if (hal == NULL) {
            hal = fakes::CFakeAudioHal::Create();
        }
        AddSmallGraph();
        AddMute(4, 2);  // a second node, so the walk allocates too
        ASSERT_EQ(CreateMiniportTopology(&miniportUnknown, IID_IUnknown, NULL, NonPagedPoolNx), STATUS_SUCCESS);
        miniport = CMiniportTopology::FromTarget(miniportUnknown);
        port = fakes::CFakeTopologyPort::Create();
        sim::PoolFailNth(n);
        NTSTATUS status = port->Init(NULL, NULL, miniportUnknown, static_cast<IAudioHal*>(hal), NULL);
        bool injected = sim::PoolFailedAllocations() != 0;
        sim::PoolClearFailures();
        sim::PoolResetCounters();
        if (!injected) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            ReleaseAll();
            break;
        }
        // Pool failures, and the callback registration's own failure.
        EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_UNSUCCESSFUL) << status;
        PPCFILTER_DESCRIPTOR d = NULL;
        EXPECT_EQ(static_cast<IMiniportTopology*>(miniport)->GetDescription(&d), STATUS_DEVICE_CONFIGURATION_ERROR);
        ReleaseAll();
        EXPECT_EQ(sim::PoolLiveBlocks(TOPO_BUILD_TAG), 0);
        EXPECT_EQ(sim::PoolLiveBlocks(TOPO_SOURCE_TAG), 0);
        ++failures;
        ASSERT_LT(n, 100u);
    }
    EXPECT_GE(failures, 8);
}

TEST_F(MiniportTest, QueryMappedIdHitMissAndEmpty) {
    AddSmallGraph();
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    ULONG id = 3;
    EXPECT_EQ(miniport->QueryMappedId(&id), STATUS_SUCCESS);
    EXPECT_EQ(id, 1u);
    id = 2;  // a node, not a pin
    EXPECT_EQ(miniport->QueryMappedId(&id), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(id, 0u);
    ReleaseAll();

    hal = fakes::CFakeAudioHal::Create();
    ASSERT_EQ(Build(), STATUS_SUCCESS);  // no units at all
    id = 7;
    EXPECT_EQ(miniport->QueryMappedId(&id), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(id, 7u);
}

TEST_F(MiniportTest, PowerChangeNotifyKeepsOnlyD0ToD3) {
    AddSmallGraph();
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    struct Step {
        ULONG request;
        ULONG kept;
    };
    for (Step s : {Step{0, 1}, Step{4, 4}, Step{5, 4}, Step{1, 1}, Step{1, 1}}) {
        POWER_STATE state;
        state.DeviceState = (DEVICE_POWER_STATE)s.request;
        static_cast<IPowerNotify*>(miniport)->PowerChangeNotify(state);
        EXPECT_EQ(miniport->PowerState(), s.kept) << "request " << s.request;
    }
}

}  // namespace
}  // namespace topotest

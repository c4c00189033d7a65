// Ports: Init and the miniport's lifetime, the interfaces each port
// answers, the reported version, IPortEvents, and failure injection on
// every entry point.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>

#include "nt/ke.h"
#include "pc_fakes.h"

namespace pctest {
namespace {

class PcPortTest : public PortClsTest {
protected:
    void SetUp() override {
        PortClsTest::SetUp();
        Boot();
    }
};

struct InitCase {
    const char* name;
    bool topologyPort;
    bool topologyMiniport;
    MiniportScript script;
    NTSTATUS expected;
    bool miniportInitCalled;
};

void PrintTo(const InitCase& c, std::ostream* os) { *os << c.name; }

const InitCase kInitCases[] = {
    {"Topology", true, true, {}, STATUS_SUCCESS, true},
    {"WaveCyclic", false, false, {}, STATUS_SUCCESS, true},
    {"WrongMiniportKind", true, false, {}, STATUS_INVALID_PARAMETER, false},
    {"MiniportInitFails", false, false, {STATUS_DEVICE_BUSY}, STATUS_DEVICE_BUSY, true},
    {"NoDescription",
     true,
     true,
     {STATUS_SUCCESS, STATUS_DEVICE_CONFIGURATION_ERROR},
     STATUS_DEVICE_CONFIGURATION_ERROR,
     true},
};

class PcPortInitTest : public PcPortTest, public ::testing::WithParamInterface<InitCase> {};

TEST_P(PcPortInitTest, BindsTheMiniportOrLeavesNothingBehind) {
    const InitCase& c = GetParam();
    PUNKNOWN miniport = nullptr;
    ASSERT_EQ(c.topologyMiniport ? CreateTopologyMiniport(&miniport, "M", c.script)
                                 : CreateWaveMiniport(&miniport, "M", c.script),
              STATUS_SUCCESS);
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, c.topologyPort ? CLSID_PortTopology : CLSID_PortWaveCyclic),
              STATUS_SUCCESS);
    EXPECT_EQ(port->Init(Fdo(), nullptr, miniport, nullptr, nullptr), c.expected);
    EXPECT_EQ(LogWith("miniport:M:init").size(), c.miniportInitCalled ? 1u : 0u);
    EXPECT_EQ(sim::PcLiveMiniports(Fdo()), NT_SUCCESS(c.expected) ? 1u : 0u);
    // One Init per port.
    EXPECT_EQ(port->Init(Fdo(), nullptr, miniport, nullptr, nullptr),
              STATUS_INVALID_DEVICE_REQUEST);
    miniport->Release();
    port->Release();
    // A failed Init holds nothing: both objects are gone now. A bound pair
    // holds each other until the device stops or goes away.
    EXPECT_EQ(LiveMiniports(), NT_SUCCESS(c.expected) ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, PcPortInitTest, ::testing::ValuesIn(kInitCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PcPortTest, InitOnADeviceObjectThePortClassDidNotMakeFails) {
    PUNKNOWN miniport = nullptr;
    ASSERT_EQ(CreateTopologyMiniport(&miniport, "M"), STATUS_SUCCESS);
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortTopology), STATUS_SUCCESS);
    EXPECT_EQ(port->Init(Harness().Pdo(), nullptr, miniport, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    port->Release();
    miniport->Release();
}

TEST_F(PcPortTest, UnknownPortClassIsNotSupported) {
    PPORT port = reinterpret_cast<PPORT>(1);
    EXPECT_EQ(PcNewPort(&port, IID_IPortEvents), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(port, nullptr);
}

struct QueryCase {
    const char* name;
    bool topology;
    const GUID* iid;
    bool answers;
};

void PrintTo(const QueryCase& c, std::ostream* os) { *os << c.name; }

const QueryCase kQueryCases[] = {
    {"TopoUnknown", true, &IID_IUnknown, true},
    {"TopoPort", true, &IID_IPort, true},
    {"TopoPortTopology", true, &IID_IPortTopology, true},
    {"TopoEvents", true, &IID_IPortEvents, true},
    {"TopoVersion", true, &IID_IPortClsVersion, true},
    {"TopoUnregisterSubdevice", true, &IID_IUnregisterSubdevice, true},
    {"TopoUnregisterConnection", true, &IID_IUnregisterPhysicalConnection, true},
    {"TopoNotWave", true, &IID_IPortWaveCyclic, false},
    {"WavePortWaveCyclic", false, &IID_IPortWaveCyclic, true},
    {"WaveVersion", false, &IID_IPortClsVersion, true},
    {"WaveUnregisterSubdevice", false, &IID_IUnregisterSubdevice, true},
    {"WaveUnregisterConnection", false, &IID_IUnregisterPhysicalConnection, true},
    {"WaveNoEvents", false, &IID_IPortEvents, false},
    {"WaveNotTopology", false, &IID_IPortTopology, false},
    {"WaveNotMiniport", false, &IID_IMiniport, false},
};

class PcPortQueryTest : public PcPortTest, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(PcPortQueryTest, Answers) {
    const QueryCase& c = GetParam();
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, c.topology ? CLSID_PortTopology : CLSID_PortWaveCyclic),
              STATUS_SUCCESS);
    PUNKNOWN out = reinterpret_cast<PUNKNOWN>(1);
    NTSTATUS status = port->QueryInterface(*c.iid, reinterpret_cast<PVOID*>(&out));
    if (c.answers) {
        ASSERT_EQ(status, STATUS_SUCCESS);
        // The same object: IUnknown of the answer is IUnknown of the port.
        PUNKNOWN a = nullptr, b = nullptr;
        out->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(&a));
        port->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(&b));
        EXPECT_EQ(a, b);
        a->Release();
        b->Release();
        out->Release();
    } else {
        EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(out, nullptr);
    }
    port->Release();
}

INSTANTIATE_TEST_SUITE_P(Cases, PcPortQueryTest, ::testing::ValuesIn(kQueryCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PcPortTest, VersionIsElevenUnlessSet) {
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    PPORTCLSVERSION version = nullptr;
    ASSERT_EQ(port->QueryInterface(IID_IPortClsVersion, reinterpret_cast<PVOID*>(&version)),
              STATUS_SUCCESS);
    EXPECT_EQ(version->GetVersion(), 11u);
    sim::PcSetVersion(10);
    EXPECT_EQ(version->GetVersion(), 10u);
    version->Release();
    port->Release();
}

// Registration and port calls are PASSIVE_LEVEL only: a driver that makes
// them from a DPC or under a spin lock stops the system.
using PcPortDeathTest = PcPortTest;

TEST_F(PcPortDeathTest, PassiveLevelEntryPointsBugcheckAtDispatchLevel) {
    auto atDispatch = [](const std::function<void()>& call) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        call();
        KeLowerIrql(old);
    };
    EXPECT_DEATH(atDispatch([] {
                     PPORT port = nullptr;
                     PcNewPort(&port, CLSID_PortTopology);
                 }),
                 "IRQL_NOT_LESS_OR_EQUAL.*PcNewPort");
    PDEVICE_OBJECT fdo = Fdo();
    EXPECT_DEATH(atDispatch([fdo] { PcRegisterSubdevice(fdo, nullptr, nullptr); }),
                 "IRQL_NOT_LESS_OR_EQUAL.*PcRegisterSubdevice");
    EXPECT_DEATH(atDispatch([fdo] {
                     PREGISTRYKEY key = nullptr;
                     PcNewRegistryKey(&key, nullptr, DriverRegistryKey, KEY_READ, fdo, nullptr,
                                      nullptr, 0, nullptr);
                 }),
                 "IRQL_NOT_LESS_OR_EQUAL.*PcNewRegistryKey");
}

// ---- IPortEvents ----------------------------------------------------------

struct EventHookRecord {
    int adds = 0, generates = 0, releases = 0;
    PVOID* slot = nullptr;
    ULONG lastNode = 0;
};
EventHookRecord g_events;

TEST_F(PcPortTest, TopologyPortEventsAreRecordedAndPassedToTheFrontEnd) {
    g_events = EventHookRecord{};
    PC_FILTER_HOOKS hooks{};
    hooks.AddEventToEventList = [](PVOID* slot, PKSEVENT_ENTRY) {
        ++g_events.adds;
        g_events.slot = slot;
        *slot = &g_events;  // the front end's per-port list
    };
    hooks.GenerateEventList = [](PVOID* slot, const GUID*, ULONG, BOOL, ULONG, BOOL, ULONG node) {
        EXPECT_EQ(*slot, &g_events);
        ++g_events.generates;
        g_events.lastNode = node;
    };
    hooks.ReleasePortContext = [](PVOID context) {
        EXPECT_EQ(context, &g_events);
        ++g_events.releases;
    };
    PcSetFilterHooks(PcPortKindTopology, &hooks);

    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortTopology), STATUS_SUCCESS);
    PPORTEVENTS events = nullptr;
    ASSERT_EQ(port->QueryInterface(IID_IPortEvents, reinterpret_cast<PVOID*>(&events)),
              STATUS_SUCCESS);
    auto* entry = reinterpret_cast<PKSEVENT_ENTRY>(0x1000);
    events->AddEventToEventList(entry);
    GUID set = KSCATEGORY_AUDIO;
    events->GenerateEventList(&set, 0, FALSE, ULONG(-1), TRUE, 5);

    std::vector<sim::PcPortEventCall> log = sim::PcPortEventLog(port);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].kind, sim::PcPortEventCall::AddEvent);
    EXPECT_EQ(log[0].entry, entry);
    EXPECT_EQ(log[1].kind, sim::PcPortEventCall::GenerateEvent);
    EXPECT_EQ(log[1].set, KSCATEGORY_AUDIO);
    EXPECT_EQ(log[1].pinId, ULONG(-1));
    EXPECT_TRUE(log[1].nodeEvent);
    EXPECT_EQ(log[1].nodeId, 5u);
    EXPECT_EQ(g_events.adds, 1);
    EXPECT_EQ(g_events.generates, 1);
    EXPECT_EQ(g_events.lastNode, 5u);

    events->Release();
    port->Release();
    EXPECT_EQ(g_events.releases, 1);  // the port's slot is freed with the port
}

// ---- Failure injection ------------------------------------------------------

}  // namespace
}  // namespace pctest

namespace sim {
void PrintTo(PcCall call, std::ostream* os) { *os << PcCallName(call); }
}  // namespace sim

namespace pctest {
namespace {

std::vector<sim::PcCall> AllCalls() {
    std::vector<sim::PcCall> calls;
    for (int i = 0; i < int(sim::PcCall::Count); ++i) calls.push_back(sim::PcCall(i));
    return calls;
}

class PcPortFailTest : public PcPortTest, public ::testing::WithParamInterface<sim::PcCall> {
protected:
    // Calls the entry point once (with what it needs first) and returns its
    // status.
    NTSTATUS Run(sim::PcCall call) {
        PDEVICE_OBJECT fdo = Fdo();
        switch (call) {
            case sim::PcCall::InitializeAdapterDriver:
                return PcInitializeAdapterDriver(
                    Harness().Driver(), nullptr,
                    [](PDRIVER_OBJECT, PDEVICE_OBJECT) { return STATUS_SUCCESS; });
            case sim::PcCall::AddAdapterDevice:
                return PcAddAdapterDevice(Harness().Driver(), nullptr, nullptr, 1, 0);
            case sim::PcCall::NewPort: {
                PPORT port = nullptr;
                NTSTATUS s = PcNewPort(&port, CLSID_PortTopology);
                if (port) port->Release();
                return s;
            }
            case sim::PcCall::PortInit:
            case sim::PcCall::RegisterSubdevice: return InstallTopology(fdo, "T");
            case sim::PcCall::UnregisterSubdevice:
            case sim::PcCall::UnregisterPhysicalConnection: {
                PUNKNOWN port = nullptr;
                InstallTopology(fdo, "T", &port);
                PUNREGISTERSUBDEVICE u = nullptr;
                port->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&u));
                PUNREGISTERPHYSICALCONNECTION c = nullptr;
                port->QueryInterface(IID_IUnregisterPhysicalConnection,
                                     reinterpret_cast<PVOID*>(&c));
                PcRegisterPhysicalConnection(fdo, port, 0, port, 1);
                NTSTATUS s = call == sim::PcCall::UnregisterSubdevice
                                 ? u->UnregisterSubdevice(fdo, port)
                                 : c->UnregisterPhysicalConnection(fdo, port, 0, port, 1);
                u->Release();
                c->Release();
                return s;
            }
            case sim::PcCall::RegisterPhysicalConnection: {
                PUNKNOWN port = nullptr;
                InstallTopology(fdo, "T", &port);
                return PcRegisterPhysicalConnection(fdo, port, 0, port, 1);
            }
            case sim::PcCall::RegisterAdapterPowerManagement: {
                PUNKNOWN adapter = nullptr;
                CreateAdapter(&adapter);
                NTSTATUS s = PcRegisterAdapterPowerManagement(adapter, fdo);
                adapter->Release();
                return s;
            }
            case sim::PcCall::NewServiceGroup: {
                PSERVICEGROUP group = nullptr;
                NTSTATUS s = PcNewServiceGroup(&group, nullptr);
                if (group) group->Release();
                return s;
            }
            case sim::PcCall::NewRegistryKey: {
                PREGISTRYKEY key = nullptr;
                NTSTATUS s = PcNewRegistryKey(&key, nullptr, DriverRegistryKey, KEY_ALL_ACCESS, fdo,
                                              nullptr, nullptr, 0, nullptr);
                if (key) key->Release();
                return s;
            }
            case sim::PcCall::GetDeviceProperty: {
                WCHAR buffer[256];
                ULONG length = 0;
                return PcGetDeviceProperty(fdo, DevicePropertyHardwareID, sizeof(buffer), buffer,
                                           &length);
            }
            case sim::PcCall::ForwardContentToDeviceObject: {
                DRMFORWARD forward{};
                return PcForwardContentToDeviceObject(1, nullptr, &forward);
            }
            case sim::PcCall::Count: break;
        }
        return STATUS_NOT_IMPLEMENTED;
    }
};

TEST_P(PcPortFailTest, FailsOnTheNthCallOnly) {
    sim::PcCall call = GetParam();
    // The failure is armed for the second call from now; the first succeeds
    // or fails on its own merits (AddAdapterDevice's NULL PDO).
    sim::PcFailNth(call, 2, STATUS_DEVICE_BUSY);
    uint64_t before = sim::PcCallCount(call);
    NTSTATUS first = Run(call);
    EXPECT_NE(first, STATUS_DEVICE_BUSY);
    sim::PcClearFailures();
    sim::PcFailNth(call, 1, STATUS_DEVICE_BUSY);
    size_t subdevices = sim::PcSubdevices(Fdo()).size();
    EXPECT_EQ(Run(call), STATUS_DEVICE_BUSY) << sim::PcCallName(call);
    EXPECT_EQ(sim::PcCallCount(call), before + 2);
    // Nothing was registered by the failing call.
    if (call == sim::PcCall::RegisterSubdevice || call == sim::PcCall::PortInit) {
        EXPECT_EQ(sim::PcSubdevices(Fdo()).size(), subdevices);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryEntry, PcPortFailTest, ::testing::ValuesIn(AllCalls()),
                         [](const auto& info) {
                             std::string name = sim::PcCallName(info.param);
                             std::string out;
                             for (char ch : name)
                                 if (isalnum(static_cast<unsigned char>(ch))) out += ch;
                             return out;
                         });

}  // namespace
}  // namespace pctest

// Topology test fixtures.
#include "tests/topology/topo_fixture.h"

#include <cstring>

namespace topotest {

std::vector<UCHAR> Bytes(std::initializer_list<ULONG> words) {
    std::vector<UCHAR> out(words.size() * 4);
    size_t i = 0;
    for (ULONG w : words) {
        memcpy(&out[i], &w, 4);
        i += 4;
    }
    return out;
}

std::vector<UCHAR> GuidBytes(const GUID& guid) {
    std::vector<UCHAR> out(sizeof(GUID));
    memcpy(out.data(), &guid, sizeof(GUID));
    return out;
}

static std::vector<UCHAR> Request(const GUID& set, ULONG id, ULONG flags, bool node, ULONG nodeId,
                                  std::initializer_list<ULONG> instance) {
    KSNODEPROPERTY header = {};
    header.Property.Set = set;
    header.Property.Id = id;
    header.Property.Flags = flags;
    header.NodeId = nodeId;
    size_t size = node ? sizeof(KSNODEPROPERTY) : sizeof(KSPROPERTY);
    std::vector<UCHAR> out(size);
    memcpy(out.data(), &header, size);
    std::vector<UCHAR> tail = Bytes(instance);
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

std::vector<UCHAR> FilterRequest(const GUID& set, ULONG id, ULONG verb, std::initializer_list<ULONG> instance) {
    return Request(set, id, verb, false, 0, instance);
}

std::vector<UCHAR> NodeRequest(const GUID& set, ULONG id, ULONG verb, ULONG node,
                               std::initializer_list<ULONG> instance) {
    return Request(set, id, verb | KSPROPERTY_TYPE_TOPOLOGY, true, node, instance);
}

ULONG WordAt(const std::vector<UCHAR>& bytes, size_t offset) {
    ULONG w = 0;
    EXPECT_LE(offset + 4, bytes.size());
    if (offset + 4 <= bytes.size()) {
        memcpy(&w, &bytes[offset], 4);
    }
    return w;
}

GUID GuidAt(const std::vector<UCHAR>& bytes, size_t offset) {
    GUID g = {};
    EXPECT_LE(offset + 16, bytes.size());
    if (offset + 16 <= bytes.size()) {
        memcpy(&g, &bytes[offset], 16);
    }
    return g;
}

JACK_INFO Jack(ULONG mapping, ULONG color, ULONG connected, ULONG noPresenceDetect) {
    JACK_INFO j = {mapping, color, 1, 2, 3, 0, noPresenceDetect, connected, 1};
    return j;
}

void TopoTest::SetUp() {
    KernelTest::SetUp();
    fakes::SettingsClear();
    hal = fakes::CFakeAudioHal::Create();
    ASSERT_NE(hal, nullptr);
}

void TopoTest::TearDown() {
    ReleaseAll();
    EXPECT_EQ(sim::PoolLiveBlocks(TOPO_BUILD_TAG), 0);
    EXPECT_EQ(sim::PoolLiveBlocks(TOPO_SOURCE_TAG), 0);
    KernelTest::TearDown();
}

void TopoTest::ReleaseAll() {
    if (port != NULL) {
        port->Unregister();
        port->Release();
        port = NULL;
    }
    if (miniportUnknown != NULL) {
        miniportUnknown->Release();
        miniportUnknown = NULL;
    }
    miniport = NULL;
    filter = NULL;
    if (hal != NULL) {
        hal->Release();
        hal = NULL;
    }
}

CInputPinUnit* TopoTest::AddInputPin(ULONG id, ULONG type, std::vector<JACK_INFO> jacks) {
    CInputPinUnit* pin = NewUnit<CInputPinUnit>(id);
    EXPECT_EQ(pin->Init(1, &type, (ULONG)jacks.size(), jacks.data()), STATUS_SUCCESS);
    return Add(pin);
}

COutputPinUnit* TopoTest::AddOutputPin(ULONG id, ULONG source, ULONG type, std::vector<JACK_INFO> jacks) {
    COutputPinUnit* pin = NewUnit<COutputPinUnit>(id);
    EXPECT_EQ(pin->Init(source, 1, &type, (ULONG)jacks.size(), jacks.data()), STATUS_SUCCESS);
    return Add(pin);
}

CVolumeUnit* TopoTest::AddVolume(ULONG id, ULONG source, ULONG channels) {
    CVolumeUnit* unit = NewUnit<CVolumeUnit>(id);
    EXPECT_EQ(unit->Init(source, channels, 0, -96 * 65536, 65536 / 2), STATUS_SUCCESS);
    return Add(unit);
}

CMuteUnit* TopoTest::AddMute(ULONG id, ULONG source, ULONG channels) {
    CMuteUnit* unit = NewUnit<CMuteUnit>(id);
    EXPECT_EQ(unit->Init(source, channels), STATUS_SUCCESS);
    return Add(unit);
}

CMuxUnit* TopoTest::AddMux(ULONG id, std::vector<ULONG> sources) {
    CMuxUnit* unit = NewUnit<CMuxUnit>(id);
    EXPECT_EQ(unit->SetSourceIds((ULONG)sources.size(), sources.data()), STATUS_SUCCESS);
    return Add(unit);
}

CSumUnit* TopoTest::AddSum(ULONG id, std::vector<ULONG> sources) {
    CSumUnit* unit = NewUnit<CSumUnit>(id);
    EXPECT_EQ(unit->SetSourceIds((ULONG)sources.size(), sources.data()), STATUS_SUCCESS);
    return Add(unit);
}

CScriptedUnit* TopoTest::AddScripted(ULONG id, ULONG kind, std::vector<ULONG> sources) {
    CScriptedUnit* unit = NewUnit<CScriptedUnit>(id, kind);
    EXPECT_EQ(unit->SetSourceIds((ULONG)sources.size(), sources.data()), STATUS_SUCCESS);
    return Add(unit);
}

NTSTATUS TopoTest::Build() {
    EXPECT_EQ(CreateMiniportTopology(&miniportUnknown, IID_IUnknown, NULL, NonPagedPoolNx), STATUS_SUCCESS);
    if (port == NULL) {
        port = fakes::CFakeTopologyPort::Create();
    }
    NTSTATUS status = port->Init(NULL, NULL, miniportUnknown, static_cast<IAudioHal*>(hal), NULL);
    miniport = CMiniportTopology::FromTarget(miniportUnknown);
    if (NT_SUCCESS(status)) {
        filter = port->Target().Descriptor;
        EXPECT_EQ(KsCheckDescriptor(filter), "");
    }
    return status;
}

std::vector<PCCONNECTION_DESCRIPTOR> TopoTest::Connections() const {
    std::vector<PCCONNECTION_DESCRIPTOR> out;
    for (ULONG i = 0; filter != NULL && i < filter->ConnectionCount; ++i) {
        out.push_back(filter->Connections[i]);
    }
    return out;
}

KsPropertyResult TopoTest::Send(const std::vector<UCHAR>& input, ULONG outLen, const std::vector<UCHAR>* set) {
    KsPropertyResult first = KsProperty(port->Target(), input, outLen, set, 0xA5);
    EXPECT_EQ(first.Fault, "");
    ULONG verb = WordAt(input, 20) & ~KSPROPERTY_TYPE_TOPOLOGY;
    if (NT_SUCCESS(first.Status) && first.HandlerCalled && verb != KSPROPERTY_TYPE_SET) {
        KsPropertyResult second = KsProperty(port->Target(), input, outLen, set, 0x5A);
        EXPECT_EQ(second.Status, first.Status);
        EXPECT_EQ(second.ValueSize, first.ValueSize);
        // Bytes the answer covers must not depend on the marker.
        size_t n = first.Information < outLen ? first.Information : outLen;
        EXPECT_TRUE(std::equal(first.Output.begin(), first.Output.begin() + n, second.Output.begin()))
            << "answer bytes depend on the buffer's previous contents";
    }
    return first;
}

}  // namespace topotest

bool operator==(const PCCONNECTION_DESCRIPTOR& a, const PCCONNECTION_DESCRIPTOR& b) {
    return a.FromNode == b.FromNode && a.FromNodePin == b.FromNodePin && a.ToNode == b.ToNode &&
           a.ToNodePin == b.ToNodePin;
}

void PrintTo(const PCCONNECTION_DESCRIPTOR& c, std::ostream* os) {
    *os << "{" << (LONG)c.FromNode << "," << c.FromNodePin << " -> " << (LONG)c.ToNode << "," << c.ToNodePin << "}";
}

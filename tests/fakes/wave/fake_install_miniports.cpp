#include "tests/fakes/wave/fake_install_miniports.h"

#include <atomic>

#include "topology/miniport_topology.h"

namespace wavefakes {

namespace {

constexpr ULONG kTag = MakePoolTag("FMnp");
std::atomic<int> g_LiveWave{0};
std::atomic<int> g_LiveTopology{0};
std::atomic<ULONG> g_LastIndex{0};
const GUID kCategories[] = {KSCATEGORY_AUDIO};
// Pins without descriptions: enough for the bridge pin (1) and for the
// mapped topology pins (unit id + 100).
const PCPIN_DESCRIPTOR kPins[128] = {};

PCFILTER_DESCRIPTOR Filter(ULONG pins) {
    PCFILTER_DESCRIPTOR d = {};
    d.PinCount = pins;
    d.Pins = kPins;
    d.PinSize = sizeof(PCPIN_DESCRIPTOR);
    d.NodeSize = sizeof(PCNODE_DESCRIPTOR);
    d.CategoryCount = 1;
    d.Categories = kCategories;
    return d;
}

class FakeWaveMiniport : public IMiniportWaveCyclic, public IMiniportInfo, public CUnknown {
public:
    FakeWaveMiniport(PUNKNOWN outer, const WaveMiniportScript& script) : CUnknown(outer), m_Script(script) {
        m_Filter = Filter(2);
        ++g_LiveWave;
    }
    ~FakeWaveMiniport() override { --g_LiveWave; }
    DECLARE_FORWARDING_UNKNOWN()

    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override {
        if (iid == IID_IUnknown || iid == IID_IMiniport || iid == IID_IMiniportWaveCyclic)
            return ReturnInterface(static_cast<IMiniportWaveCyclic*>(this), out);
        if (iid == IID_IMiniportInfo && !m_Script.refuseInfo)
            return ReturnInterface(static_cast<IMiniportInfo*>(this), out);
        return RefuseInterface(out);
    }
    NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR* description) override {
        *description = &m_Filter;
        return STATUS_SUCCESS;
    }
    NTSTATUS DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
        return STATUS_NO_MATCH;
    }
    NTSTATUS Init(PUNKNOWN, PRESOURCELIST, PPORTWAVECYCLIC) override { return m_Script.initStatus; }
    NTSTATUS NewStream(PMINIPORTWAVECYCLICSTREAM*, PUNKNOWN, POOL_TYPE, ULONG, BOOLEAN, PKSDATAFORMAT, PDMACHANNEL*,
                       PSERVICEGROUP*) override {
        return STATUS_NOT_SUPPORTED;
    }
    NTSTATUS QueryMappedId(ULONG* id) override {
        *id = m_Script.terminalId;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetName(PWSTR* name) override {
        *name = const_cast<PWSTR>(m_Script.name);
        return m_Script.nameStatus;
    }

private:
    WaveMiniportScript m_Script;
    PCFILTER_DESCRIPTOR m_Filter;
};

class FakeTopologyMiniport : public IMiniportTopology, public IMiniportInfo, public CUnknown {
public:
    // The script is read at every call, so a test may change it after the
    // device started.
    FakeTopologyMiniport(PUNKNOWN outer, const TopologyScript& script) : CUnknown(outer), m_Script(script) {
        m_Filter = Filter(128);
        ++g_LiveTopology;
    }
    ~FakeTopologyMiniport() override { --g_LiveTopology; }
    DECLARE_FORWARDING_UNKNOWN()

    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override {
        if (iid == IID_IUnknown || iid == IID_IMiniport || iid == IID_IMiniportTopology)
            return ReturnInterface(static_cast<IMiniportTopology*>(this), out);
        if (iid == IID_IMiniportInfo && !m_Script.refuseInfo)
            return ReturnInterface(static_cast<IMiniportInfo*>(this), out);
        return RefuseInterface(out);
    }
    NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR* description) override {
        *description = &m_Filter;
        return STATUS_SUCCESS;
    }
    NTSTATUS DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
        return STATUS_NO_MATCH;
    }
    NTSTATUS Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY) override { return STATUS_SUCCESS; }
    NTSTATUS QueryMappedId(ULONG* id) override {
        if (!NT_SUCCESS(m_Script.mapStatus)) {
            *id = 0;
            return m_Script.mapStatus;
        }
        *id += 100;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetName(PWSTR* name) override {
        *name = const_cast<PWSTR>(u"GlobalTopo");
        return STATUS_SUCCESS;
    }

private:
    const TopologyScript& m_Script;
    PCFILTER_DESCRIPTOR m_Filter;
};

}  // namespace

WaveMiniportScript& NextWaveMiniport() {
    static WaveMiniportScript script;
    return script;
}

int LiveFakeWaveMiniports() { return g_LiveWave.load(); }
ULONG LastEngineIndex() { return g_LastIndex.load(); }

NTSTATUS CreateFakeWaveMiniport(PUNKNOWN* unknown, REFCLSID, PUNKNOWN outer, POOL_TYPE poolType, ULONG engineIndex) {
    g_LastIndex = engineIndex;
    *unknown = NULL;
    if (!NT_SUCCESS(NextWaveMiniport().createStatus)) return NextWaveMiniport().createStatus;
    return CreateUnknown<FakeWaveMiniport>(unknown, outer, poolType, kTag, NextWaveMiniport());
}

TopologyScript& NextTopologyMiniport() {
    static TopologyScript script;
    return script;
}

NTSTATUS CreateFakeTopologyMiniport(PUNKNOWN* unknown, REFCLSID, PUNKNOWN outer, POOL_TYPE poolType) {
    return CreateUnknown<FakeTopologyMiniport>(unknown, outer, poolType, kTag, NextTopologyMiniport());
}

int LiveFakeTopologyMiniports() { return g_LiveTopology.load(); }

}  // namespace wavefakes

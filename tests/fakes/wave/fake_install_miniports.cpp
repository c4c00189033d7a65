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

// What both fake miniports share: a filter of `pins` bare pins, the
// interfaces of their kind (queried as iid) and IMiniportInfo unless the
// script refuses it, and a count of the live objects.
template <class Miniport>
class FakeMiniport : public Miniport, public IMiniportInfo, public CUnknown {
public:
    FakeMiniport(PUNKNOWN outer, ULONG pins, const GUID& iid, std::atomic<int>& live)
        : CUnknown(outer), m_Iid(iid), m_Live(live) {
        m_Filter.PinCount = pins;
        m_Filter.Pins = kPins;
        m_Filter.PinSize = sizeof(PCPIN_DESCRIPTOR);
        m_Filter.NodeSize = sizeof(PCNODE_DESCRIPTOR);
        m_Filter.CategoryCount = 1;
        m_Filter.Categories = kCategories;
        ++m_Live;
    }
    ~FakeMiniport() override { --m_Live; }
    DECLARE_FORWARDING_UNKNOWN()

    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override {
        if (iid == IID_IUnknown || iid == IID_IMiniport || iid == m_Iid)
            return ReturnInterface(static_cast<Miniport*>(this), out);
        if (iid == IID_IMiniportInfo && !RefusesInfo()) return ReturnInterface(static_cast<IMiniportInfo*>(this), out);
        return RefuseInterface(out);
    }
    NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR* description) override {
        *description = &m_Filter;
        return STATUS_SUCCESS;
    }
    NTSTATUS DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
        return STATUS_NO_MATCH;
    }

protected:
    virtual bool RefusesInfo() const = 0;

private:
    const GUID m_Iid;
    std::atomic<int>& m_Live;
    PCFILTER_DESCRIPTOR m_Filter = {};
};

class FakeWaveMiniport : public FakeMiniport<IMiniportWaveCyclic> {
public:
    FakeWaveMiniport(PUNKNOWN outer, const WaveMiniportScript& script)
        : FakeMiniport(outer, 2, IID_IMiniportWaveCyclic, g_LiveWave), m_Script(script) {}

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
    bool RefusesInfo() const override { return m_Script.refuseInfo; }
    WaveMiniportScript m_Script;
};

class FakeTopologyMiniport : public FakeMiniport<IMiniportTopology> {
public:
    // The script is read at every call, so a test may change it after the
    // device started.
    FakeTopologyMiniport(PUNKNOWN outer, const TopologyScript& script)
        : FakeMiniport(outer, 128, IID_IMiniportTopology, g_LiveTopology), m_Script(script) {}

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
    bool RefusesInfo() const override { return m_Script.refuseInfo; }
    const TopologyScript& m_Script;
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

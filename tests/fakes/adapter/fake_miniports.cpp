// Fake topology and wave miniports.
#include "tests/fakes/adapter/fake_miniports.h"

#include <atomic>
#include <string>

#include "nt/rtl.h"
#include "tests/fakes/adapter/fake_log.h"

namespace fakes {

namespace {

std::atomic<int> g_Live{0};

const GUID kTopologyCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY};
const GUID kWaveCategories[] = {KSCATEGORY_AUDIO};

PCFILTER_DESCRIPTOR Describe(const GUID* categories, ULONG count) {
    PCFILTER_DESCRIPTOR d = {};
    d.PinSize = sizeof(PCPIN_DESCRIPTOR);
    d.NodeSize = sizeof(PCNODE_DESCRIPTOR);
    d.CategoryCount = count;
    d.Categories = categories;
    return d;
}

// Both kinds: IMiniportInfo, a name, an empty description. The port calls
// the Init of the miniport interface it asked for.
class FakeMiniport : public IMiniportTopology, public IMiniportWaveCyclic, public IMiniportInfo, public CUnknown {
public:
    FakeMiniport(bool wave, ULONG index)
        : CUnknown(NULL), m_Wave(wave), m_Tag(wave ? "wave" + std::to_string(index) : "topology") {
        m_Description = wave ? Describe(kWaveCategories, 1) : Describe(kTopologyCategories, 2);
        RtlStringCchPrintfW(m_Name, 64, wave ? u"Wave%u" : u"GlobalTopo", (unsigned)index);
        ++g_Live;
    }
    ~FakeMiniport() override {
        Note(m_Tag + ":gone");
        --g_Live;
    }
    DECLARE_FORWARDING_UNKNOWN()

    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override {
        if (iid == IID_IUnknown || iid == IID_IMiniport)
            return ReturnInterface(static_cast<IMiniportTopology*>(this), out);
        if (iid == IID_IMiniportTopology && !m_Wave) return ReturnInterface(static_cast<IMiniportTopology*>(this), out);
        if (iid == IID_IMiniportWaveCyclic && m_Wave)
            return ReturnInterface(static_cast<IMiniportWaveCyclic*>(this), out);
        if (iid == IID_IMiniportInfo) return ReturnInterface(static_cast<IMiniportInfo*>(this), out);
        return RefuseInterface(out);
    }

    NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR* description) override {
        *description = &m_Description;
        return STATUS_SUCCESS;
    }
    NTSTATUS DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    NTSTATUS Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY) override { return Initialised(); }
    NTSTATUS Init(PUNKNOWN, PRESOURCELIST, PPORTWAVECYCLIC) override { return Initialised(); }
    NTSTATUS NewStream(PMINIPORTWAVECYCLICSTREAM*, PUNKNOWN, POOL_TYPE, ULONG, BOOLEAN, PKSDATAFORMAT,
                       PDMACHANNEL*, PSERVICEGROUP*) override {
        return STATUS_NOT_SUPPORTED;
    }
    NTSTATUS QueryMappedId(ULONG*) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS GetName(PWSTR* name) override {
        *name = m_Name;
        return STATUS_SUCCESS;
    }

private:
    NTSTATUS Initialised() {
        Note(m_Tag + ":init");
        return STATUS_SUCCESS;
    }

    bool m_Wave;
    std::string m_Tag;
    PCFILTER_DESCRIPTOR m_Description;
    WCHAR m_Name[64];
};

NTSTATUS Create(PUNKNOWN* unknown, bool wave, ULONG index) {
    *unknown = NULL;
    auto* miniport = new (NonPagedPoolNx, MakePoolTag("FMin")) FakeMiniport(wave, index);
    if (miniport == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    *unknown = static_cast<IMiniportTopology*>(miniport);
    (*unknown)->AddRef();
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CreateFakeTopologyMiniport(PUNKNOWN* unknown, REFCLSID, PUNKNOWN, POOL_TYPE) {
    return Create(unknown, false, 0);
}

NTSTATUS CreateFakeWaveMiniport(PUNKNOWN* unknown, REFCLSID, PUNKNOWN, POOL_TYPE, ULONG engineIndex) {
    return Create(unknown, true, engineIndex);
}

int LiveFakeMiniports() { return g_Live.load(); }

}  // namespace fakes

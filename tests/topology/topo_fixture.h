// Fixtures of the topology tests: units added to a fake adapter, the
// miniport built through a topology port, raw kernel-streaming requests and
// the marker rules of the front end.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "platform/ks/descriptor_check.h"
#include "platform/ks/event_frontend.h"
#include "ks/ks_guids.h"
#include "tests/fakes/topology/fake_audio_hal.h"
#include "tests/fakes/topology/fake_port.h"
#include "tests/fakes/topology/fake_settings.h"
#include "tests/support/kernel_test.h"
#include "topology/miniport_topology.h"
#include "topology/terminal_units.h"
#include "topology/topo_guids.h"
#include "topology/value_units.h"

bool operator==(const PCCONNECTION_DESCRIPTOR& a, const PCCONNECTION_DESCRIPTOR& b);
void PrintTo(const PCCONNECTION_DESCRIPTOR& c, std::ostream* os);

namespace topotest {

constexpr ULONG kUnitTag = MakePoolTag("TUnt");
constexpr ULONG NONE = UNIT_ID_NONE;

// A unit object with one reference (the caller's).
template <class T, class... A>
T* NewUnit(A... args) {
    T* unit = new (NonPagedPoolNx, kUnitTag) T(NULL, args...);
    unit->AddRef();
    return unit;
}

std::vector<UCHAR> Bytes(std::initializer_list<ULONG> words);
std::vector<UCHAR> GuidBytes(const GUID& guid);
// Raw IOCTL_KS_PROPERTY input: KSPROPERTY (filter) or KSNODEPROPERTY
// (node, with KSPROPERTY_TYPE_TOPOLOGY) followed by the instance words.
std::vector<UCHAR> FilterRequest(const GUID& set, ULONG id, ULONG verb, std::initializer_list<ULONG> instance = {});
std::vector<UCHAR> NodeRequest(const GUID& set, ULONG id, ULONG verb, ULONG node,
                               std::initializer_list<ULONG> instance = {});
ULONG WordAt(const std::vector<UCHAR>& bytes, size_t offset);
GUID GuidAt(const std::vector<UCHAR>& bytes, size_t offset);

// Unit records.
JACK_INFO Jack(ULONG mapping, ULONG color, ULONG connected, ULONG noPresenceDetect = 0);

// A unit whose interface answers come from the test (reserved kinds, odd
// terminals): kind and sources as given, one extra interface.
class CScriptedUnit : public CUacUnitBase {
public:
    CScriptedUnit(PUNKNOWN outer, ULONG id, ULONG kind) : CUacUnitBase(outer, id, kind) {}
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override {
        NTSTATUS status = CUacUnitBase::NonDelegatingQueryInterface(iid, out);
        if (NT_SUCCESS(status) || Extra == NULL || !IsEqualGUID(iid, ExtraIid)) {
            return status;
        }
        Extra->AddRef();
        *out = Extra;
        return STATUS_SUCCESS;
    }
    GUID ExtraIid = {};
    IUnknown* Extra = NULL;  // lives as long as the unit (owned by the test)
};

class TopoTest : public sim::KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Hands the unit to the adapter (which takes its own reference) and
    // drops the caller's; returns it for further set-up.
    template <class T>
    T* Add(T* unit) {
        EXPECT_TRUE(NT_SUCCESS(hal->AddUnit(unit)));
        unit->Release();
        return unit;
    }
    CInputPinUnit* AddInputPin(ULONG id, ULONG type, std::vector<JACK_INFO> jacks = {});
    COutputPinUnit* AddOutputPin(ULONG id, ULONG source, ULONG type, std::vector<JACK_INFO> jacks = {});
    CVolumeUnit* AddVolume(ULONG id, ULONG source, ULONG channels = 2);
    CMuteUnit* AddMute(ULONG id, ULONG source, ULONG channels = 2);
    CMuxUnit* AddMux(ULONG id, std::vector<ULONG> sources);
    CSumUnit* AddSum(ULONG id, std::vector<ULONG> sources);
    CScriptedUnit* AddScripted(ULONG id, ULONG kind, std::vector<ULONG> sources);

    // Creates the miniport and binds it to the fake port; the filter is
    // checked with KsCheckDescriptor when the build succeeds.
    NTSTATUS Build();
    const PCFILTER_DESCRIPTOR* Filter() const { return filter; }
    std::vector<PCCONNECTION_DESCRIPTOR> Connections() const;

    // Sends a request through the front end. A successful GET or
    // BASICSUPPORT is sent a second time with another marker: both answers
    // must be equal byte for byte.
    KsPropertyResult Send(const std::vector<UCHAR>& input, ULONG outLen, const std::vector<UCHAR>* set = NULL);

    // Drops the port's binding and every reference the test holds.
    void ReleaseAll();

    fakes::CFakeAudioHal* hal = NULL;
    fakes::CFakeTopologyPort* port = NULL;
    PUNKNOWN miniportUnknown = NULL;
    CMiniportTopology* miniport = NULL;
    const PCFILTER_DESCRIPTOR* filter = NULL;
};

}  // namespace topotest

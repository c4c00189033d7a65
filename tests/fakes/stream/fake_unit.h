// A unit of the endpoint's signal path for the stream-engine tests: id and
// kind, and as a terminal pin (ITerminal) its endpoint type and jack
// records; of kind UNIT_KIND_TERMINAL_TYPE it answers ITerminalTypeUnit
// with its selected type; a unit given a node answers IID_IDspNode with it.
#pragma once

#include <vector>

#include "adapter/base/unknown.h"
#include "stream/engine/dsp_node.h"
#include "topology/terminal_units.h"

namespace streamfakes {

struct UnitSpec {
    ULONG id = 0;
    ULONG kind = UNIT_KIND_VOLUME;
    bool terminal = false;     // answers ITerminal
    ULONG type = 0;            // ITerminal / ITerminalTypeUnit GetType
    std::vector<JACK_INFO> jacks;
    IDspNode* node = nullptr;  // answered for IID_IDspNode (a reference is taken)
};

class FakeStreamUnit : public IUacUnit, public ITerminal, public ITerminalTypeUnit, public CUnknown {
public:
    // A new unit with one reference.
    static FakeStreamUnit* Create(const UnitSpec& spec);

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // IUacUnit
    ULONG GetId() override { return m_Spec.id; }
    ULONG GetKind() override { return m_Spec.kind; }
    ULONG GetSourceCount() override { return 0; }
    NTSTATUS GetSourceIds(ULONG* count, ULONG*) override;
    NTSTATUS Apply() override { return STATUS_SUCCESS; }
    NTSTATUS ReadBack() override { return STATUS_SUCCESS; }
    NTSTATUS Start() override { return STATUS_SUCCESS; }
    NTSTATUS Stop() override { return STATUS_SUCCESS; }
    NTSTATUS SetSourceIds(ULONG, const ULONG*) override { return STATUS_NOT_SUPPORTED; }
    // ITerminal and ITerminalTypeUnit
    NTSTATUS GetType(ULONG* type) override;
    NTSTATUS GetTypeCount(ULONG* count) override;
    NTSTATUS GetTypes(ULONG* types) override;
    NTSTATUS SelectType(ULONG type) override;
    NTSTATUS GetJackCount(ULONG* count, ULONG typeIndex) override;
    NTSTATUS GetJackInfo(ULONG bufferSize, JACK_INFO* records, ULONG typeIndex) override;
    NTSTATUS GetCapabilities(ENDPOINT_CAPS*) override { return STATUS_NOT_SUPPORTED; }
    ULONG IsChanged() override { return 0; }
    NTSTATUS ClearChanged() override { return STATUS_SUCCESS; }
    NTSTATUS AddListener(IUnitProfile*) override { return STATUS_SUCCESS; }
    NTSTATUS Init(ULONG, ULONG, const ULONG*) override { return STATUS_SUCCESS; }

    ULONG RefCount();
    // Jack states may change while the unit is in use (plug and unplug).
    void SetJackConnected(size_t jack, ULONG connected) { m_Spec.jacks.at(jack).IsConnected = connected; }
    bool FailJackInfo = false;  // GetJackInfo fails without writing

private:
    explicit FakeStreamUnit(const UnitSpec& spec);
    ~FakeStreamUnit() override;
    UnitSpec m_Spec;
};

}  // namespace streamfakes

// A unit of chosen id, kind and sources for the graph-wiring and start-up
// tests. Optionally a selector (IMuxUnit) and/or a selector listener
// (IMuxListener). Notes in the fakes' log: "unit:<id>:apply", ":start",
// ":stop", ":input:<n>", ":selection:<n>", "mux:<id>:listener:<unit id>".
#pragma once

#include <vector>

#include "adapter/base/unknown.h"
#include "topology/unit_interfaces.h"

namespace fakes {

struct UnitSpec {
    ULONG id = 0;
    ULONG kind = UNIT_KIND_VOLUME;
    std::vector<ULONG> sources;
    NTSTATUS applyStatus = STATUS_SUCCESS;
    bool mux = false;       // answers IMuxUnit
    bool listener = false;  // answers IMuxListener
    ULONG selection = 1;    // a selector's current input
};

class FakeUnit : public IUacUnit, public IMuxUnit, public IMuxListener, public CUnknown {
public:
    // A new unit with one reference.
    static FakeUnit* Create(const UnitSpec& spec);

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // IUacUnit
    ULONG GetId() override { return m_Spec.id; }
    ULONG GetKind() override { return m_Spec.kind; }
    ULONG GetSourceCount() override { return (ULONG)m_Spec.sources.size(); }
    NTSTATUS GetSourceIds(ULONG* count, ULONG* ids) override;
    NTSTATUS Apply() override;
    NTSTATUS ReadBack() override { return STATUS_SUCCESS; }
    NTSTATUS Start() override;
    NTSTATUS Stop() override;
    NTSTATUS SetSourceIds(ULONG, const ULONG*) override { return STATUS_NOT_SUPPORTED; }
    // IMuxUnit
    NTSTATUS GetValue(ULONG* input) override;
    NTSTATUS SetValue(ULONG) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS GetInputCount(ULONG* count) override;
    NTSTATUS AddListener(IMuxListener* listener) override;
    // IMuxListener
    NTSTATUS OnSelectionChanging(ULONG, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS OnSelectionChanged(ULONG newInput) override;
    NTSTATUS SetInputIndex(ULONG input) override;

    const UnitSpec& Spec() const { return m_Spec; }

private:
    FakeUnit(const UnitSpec& spec);
    ~FakeUnit() override = default;
    UnitSpec m_Spec;
};

}  // namespace fakes

// The fake unit.
#include "tests/fakes/adapter/fake_unit.h"

#include <string>

#include "tests/fakes/adapter/fake_log.h"

namespace fakes {

namespace {
std::string Tag(const UnitSpec& spec) { return "unit:" + std::to_string(spec.id); }
}  // namespace

FakeUnit* FakeUnit::Create(const UnitSpec& spec) {
    auto* unit = new (NonPagedPoolNx, MakePoolTag("FUnt")) FakeUnit(spec);
    if (unit != NULL) unit->AddRef();
    return unit;
}

FakeUnit::FakeUnit(const UnitSpec& spec) : CUnknown(NULL), m_Spec(spec) {}

NTSTATUS FakeUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (iid == IID_IUnknown || iid == IID_IUacUnit) return ReturnInterface(static_cast<IUacUnit*>(this), out);
    if (iid == IID_IMuxUnit && m_Spec.mux) return ReturnInterface(static_cast<IMuxUnit*>(this), out);
    if (iid == IID_IMuxListener && m_Spec.listener) return ReturnInterface(static_cast<IMuxListener*>(this), out);
    return RefuseInterface(out);
}

NTSTATUS FakeUnit::GetSourceIds(ULONG* count, ULONG* ids) {
    ULONG n = 0;
    for (; n < *count && n < m_Spec.sources.size(); ++n) ids[n] = m_Spec.sources[n];
    *count = n;
    return STATUS_SUCCESS;
}

NTSTATUS FakeUnit::Apply() {
    Note(Tag(m_Spec) + ":apply");
    return m_Spec.applyStatus;
}

NTSTATUS FakeUnit::Start() {
    Note(Tag(m_Spec) + ":start");
    return STATUS_SUCCESS;
}

NTSTATUS FakeUnit::Stop() {
    Note(Tag(m_Spec) + ":stop");
    return STATUS_SUCCESS;
}

NTSTATUS FakeUnit::GetValue(ULONG* input) {
    *input = m_Spec.selection;
    return STATUS_SUCCESS;
}

NTSTATUS FakeUnit::GetInputCount(ULONG* count) {
    *count = (ULONG)m_Spec.sources.size();
    return STATUS_SUCCESS;
}

NTSTATUS FakeUnit::AddListener(IMuxListener* listener) {
    // Not kept: the wiring only has to announce it.
    auto* unit = static_cast<FakeUnit*>(listener);
    Note("mux:" + std::to_string(m_Spec.id) + ":listener:" + std::to_string(unit->m_Spec.id));
    return STATUS_SUCCESS;
}

NTSTATUS FakeUnit::OnSelectionChanged(ULONG newInput) {
    Note(Tag(m_Spec) + ":selection:" + std::to_string(newInput));
    return STATUS_SUCCESS;
}

NTSTATUS FakeUnit::SetInputIndex(ULONG input) {
    Note(Tag(m_Spec) + ":input:" + std::to_string(input));
    return STATUS_SUCCESS;
}

}  // namespace fakes

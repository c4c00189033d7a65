#include "tests/fakes/stream/fake_unit.h"

#include <cstring>

namespace streamfakes {

FakeStreamUnit* FakeStreamUnit::Create(const UnitSpec& spec) {
    auto* unit = new (NonPagedPoolNx, MakePoolTag("FkUn")) FakeStreamUnit(spec);
    unit->AddRef();
    return unit;
}

FakeStreamUnit::FakeStreamUnit(const UnitSpec& spec) : CUnknown(NULL), m_Spec(spec) {
    if (m_Spec.node) m_Spec.node->AddRef();
}

FakeStreamUnit::~FakeStreamUnit() {
    if (m_Spec.node) m_Spec.node->Release();
}

NTSTATUS FakeStreamUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (iid == IID_IUnknown || iid == IID_IUacUnit) return ReturnInterface(static_cast<IUacUnit*>(this), out);
    if (iid == IID_ITerminal && m_Spec.terminal) return ReturnInterface(static_cast<ITerminal*>(this), out);
    if (iid == IID_ITerminalTypeUnit && m_Spec.kind == UNIT_KIND_TERMINAL_TYPE)
        return ReturnInterface(static_cast<ITerminalTypeUnit*>(this), out);
    if (iid == IID_IDspNode && m_Spec.node) return ReturnInterface(m_Spec.node, out);
    return RefuseInterface(out);
}

NTSTATUS FakeStreamUnit::GetSourceIds(ULONG* count, ULONG*) {
    if (count) *count = 0;
    return STATUS_SUCCESS;
}

NTSTATUS FakeStreamUnit::GetType(ULONG* type) {
    if (type == NULL) return STATUS_INVALID_PARAMETER;
    *type = m_Spec.type;
    return STATUS_SUCCESS;
}

NTSTATUS FakeStreamUnit::GetTypeCount(ULONG* count) {
    if (count) *count = 1;
    return STATUS_SUCCESS;
}

NTSTATUS FakeStreamUnit::GetTypes(ULONG* types) {
    if (types) types[0] = m_Spec.type;
    return STATUS_SUCCESS;
}

NTSTATUS FakeStreamUnit::SelectType(ULONG type) {
    m_Spec.type = type;
    return STATUS_SUCCESS;
}

NTSTATUS FakeStreamUnit::GetJackCount(ULONG* count, ULONG) {
    if (count == NULL) return STATUS_INVALID_PARAMETER;
    *count = (ULONG)m_Spec.jacks.size();
    return STATUS_SUCCESS;
}

NTSTATUS FakeStreamUnit::GetJackInfo(ULONG bufferSize, JACK_INFO* records, ULONG) {
    if (records == NULL || bufferSize == 0 || m_Spec.jacks.empty() || FailJackInfo) return STATUS_INVALID_PARAMETER;
    size_t bytes = m_Spec.jacks.size() * sizeof(JACK_INFO);
    memcpy(records, m_Spec.jacks.data(), bufferSize < bytes ? bufferSize : bytes);
    return STATUS_SUCCESS;
}

ULONG FakeStreamUnit::RefCount() {
    AddRef();
    return Release();
}

}  // namespace streamfakes

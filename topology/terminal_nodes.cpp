// Terminal-type and pin nodes of the terminal entities.
#include "topology/terminal_nodes.h"

#include <cstring>

#include "adapter/uac_hal.h"
#include "nt/pool.h"
#include "topology/interface_ref.h"

namespace {
constexpr ULONG kTemporaryTag = MakePoolTag("Term");

// A zeroed paged array for the length of one operation.
template <class T>
class TemporaryArray {
public:
    explicit TemporaryArray(ULONG count) : m_Data(NULL) {
        if (count != 0) {
            const SIZE_T bytes = (SIZE_T)count * sizeof(T);
            m_Data = static_cast<T*>(ExAllocatePoolWithTag(PagedPool, bytes, kTemporaryTag));
            if (m_Data != NULL) {
                memset(m_Data, 0, bytes);
            }
        }
    }
    ~TemporaryArray() {
        if (m_Data != NULL) {
            ExFreePoolWithTag(m_Data, kTemporaryTag);
        }
    }
    TemporaryArray(const TemporaryArray&) = delete;
    TemporaryArray& operator=(const TemporaryArray&) = delete;

    T* get() const { return m_Data; }

private:
    T* m_Data;
};

bool ValidTypeCount(ULONG count) { return count >= 1 && count <= TERMINAL_MAX_TYPES; }

}  // namespace

// ---- CTerminalTypeNode ----

CTerminalTypeNode::CTerminalTypeNode(PUNKNOWN outer, ULONG id)
    : CTerminalTypeUnit(outer, id), m_DeviceObject(NULL), m_Builder(NULL), m_Entity(NULL) {}

NTSTATUS CTerminalTypeNode::InitFromEntity(IUnknown* entity, PDEVICE_OBJECT deviceObject,
                                           IAudioHal* builder) {
    m_Entity = entity;
    InterfaceRef<ITerminal> terminal(entity, IID_ITerminal);
    if (!NT_SUCCESS(terminal.status())) {
        return terminal.status();
    }
    ULONG count = 0;
    if (!NT_SUCCESS(terminal->GetTypeCount(&count)) || !ValidTypeCount(count)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    TemporaryArray<ULONG> types(count);
    if (types.get() == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = terminal->GetTypes(types.get());
    if (NT_SUCCESS(status)) {
        status = CTerminalTypeUnit::Init(0, count, types.get());
    }
    if (NT_SUCCESS(status)) {
        status = terminal->GetType(&m_CurrentType);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    m_DeviceObject = deviceObject;
    m_Builder = builder;
    // A stored type the terminal does not list would fail every Apply pass
    // (and with it the device's start): it is not taken.
    ULONG stored = m_CurrentType;
    NODE_STORE{m_DeviceObject, m_Id}.ReadUnit(&stored, sizeof(stored));
    if (HasType(stored)) {
        m_CurrentType = stored;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalTypeNode::GetType(ULONG* type) {
    if (type == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    InterfaceRef<ITerminal> terminal(m_Entity, IID_ITerminal);
    if (!NT_SUCCESS(terminal.status())) {
        return terminal.status();
    }
    NTSTATUS status = terminal->GetType(type);
    if (NT_SUCCESS(status)) {
        m_CurrentType = *type;
    }
    return status;
}

// Steps after the device selection: the terminal's wave subdevices are
// re-registered, then every listener loads, applies and stores the values
// of the new type and notifies on the model's callback object.
NTSTATUS CTerminalTypeNode::SwitchListeners(ULONG type) {
    InterfaceRef<IUacUnit> unit(m_Entity, IID_IUacUnit);
    InterfaceRef<IUacHal> model(m_Builder, IID_IUacHal);
    if (!NT_SUCCESS(unit.status())) {
        return unit.status();
    }
    if (!NT_SUCCESS(model.status())) {
        return model.status();
    }
    m_Changed = 1;
    NTSTATUS status = model->UpdateSubdevices(unit->GetId());
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID callbackObject = NULL;
    status = model->GetCallbackObject(&callbackObject);
    NotifyListeners(type, callbackObject);
    return status;
}

NTSTATUS CTerminalTypeNode::SelectType(ULONG type) {
    InterfaceRef<ITerminal> terminal(m_Entity, IID_ITerminal);
    if (!NT_SUCCESS(terminal.status())) {
        return terminal.status();
    }
    const ULONG old = m_CurrentType;
    if (type == old) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = terminal->SelectType(type);
    if (NT_SUCCESS(status)) {
        m_CurrentType = type;
        status = SwitchListeners(type);
    }
    if (NT_SUCCESS(status)) {
        NODE_STORE{m_DeviceObject, m_Id}.WriteUnit(&m_CurrentType, sizeof(ULONG));
        return STATUS_SUCCESS;
    }
    m_CurrentType = old;
    terminal->SelectType(old);
    return status;
}

NTSTATUS CTerminalTypeNode::Apply() {
    InterfaceRef<ITerminal> terminal(m_Entity, IID_ITerminal);
    if (!NT_SUCCESS(terminal.status())) {
        return terminal.status();
    }
    return terminal->SelectType(m_CurrentType);
}

NTSTATUS CTerminalTypeNode::ReadBack() {
    InterfaceRef<ITerminal> terminal(m_Entity, IID_ITerminal);
    if (!NT_SUCCESS(terminal.status())) {
        return terminal.status();
    }
    ULONG type = 0;
    NTSTATUS status = terminal->GetType(&type);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (type != m_CurrentType) {
        NODE_STORE{m_DeviceObject, m_Id}.WriteUnit(&type, sizeof(ULONG));
        SelectType(type);
        m_CurrentType = type;
    }
    return status;
}

// ---- pins ----

template <class PinUnit>
NTSTATUS CBoundPin<PinUnit>::RefreshJacks(ITerminal* terminal, ULONG typeIndex) {
    ULONG count = 0;
    if (!NT_SUCCESS(terminal->GetJackCount(&count, typeIndex))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (count == 0) {
        return this->ReplaceJacks(0, NULL);
    }
    TemporaryArray<JACK_INFO> records(count);
    if (records.get() == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = terminal->GetJackInfo(count * sizeof(JACK_INFO), records.get(), typeIndex);
    NTSTATUS replaced = this->ReplaceJacks(count, records.get());
    return NT_SUCCESS(replaced) ? status : replaced;
}

template class CBoundPin<CInputPinUnit>;
template class CBoundPin<COutputPinUnit>;

NTSTATUS CInputPinNode::InitFromEntity(IUnknown* entity, const ENDPOINT_CAPS* capabilities) {
    m_Entity = entity;
    InterfaceRef<ITerminal> terminal(entity, IID_ITerminal);
    if (!NT_SUCCESS(terminal.status())) {
        return terminal.status();
    }
    ULONG typeCount = 0;
    if (!NT_SUCCESS(terminal->GetTypeCount(&typeCount)) || !ValidTypeCount(typeCount)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    TemporaryArray<ULONG> types(typeCount);
    if (types.get() == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = terminal->GetTypes(types.get());
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG jackCount = 0;
    if (!NT_SUCCESS(terminal->GetJackCount(&jackCount, 0))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    TemporaryArray<JACK_INFO> jacks(jackCount);
    if (jackCount != 0 && jacks.get() == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (jackCount != 0) {
        status = terminal->GetJackInfo(jackCount * sizeof(JACK_INFO), jacks.get(), 0);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    ULONG current = 0;
    status = terminal->GetType(&current);
    if (NT_SUCCESS(status)) {
        status = Init(typeCount, types.get(), jackCount, jacks.get());
    }
    if (NT_SUCCESS(status)) {
        SetCurrentType(current);
        m_Capabilities = capabilities != NULL ? *capabilities : ENDPOINT_CAPS{};
    }
    return status;
}

NTSTATUS CInputPinNode::ReadBack() {
    InterfaceRef<ITerminal> terminal(m_Entity, IID_ITerminal);
    if (!NT_SUCCESS(terminal.status())) {
        return terminal.status();
    }
    ULONG type = 0;
    NTSTATUS status = terminal->GetType(&type);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    SetCurrentType(type);
    return RefreshJacks(terminal.get(), 0);
}

NTSTATUS COutputPinNode::InitFromEntity(IUnknown* entity, const ENDPOINT_CAPS* capabilities) {
    m_Entity = entity;
    InterfaceRef<ITerminal> terminal(entity, IID_ITerminal);
    if (!NT_SUCCESS(terminal.status())) {
        return terminal.status();
    }
    ULONG typeCount = 0;
    ULONG jackCount = 0;
    if (!NT_SUCCESS(terminal->GetTypeCount(&typeCount)) || !ValidTypeCount(typeCount) ||
        m_TypeIndex >= typeCount || !NT_SUCCESS(terminal->GetJackCount(&jackCount, m_TypeIndex))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    TemporaryArray<ULONG> types(typeCount);
    if (types.get() == NULL || !NT_SUCCESS(terminal->GetTypes(types.get()))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    TemporaryArray<JACK_INFO> jacks(jackCount);
    if (jackCount != 0) {
        if (jacks.get() == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        NTSTATUS status = terminal->GetJackInfo(jackCount * sizeof(JACK_INFO), jacks.get(), m_TypeIndex);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    m_Capabilities = capabilities != NULL ? *capabilities : ENDPOINT_CAPS{};
    if (!NT_SUCCESS(Init(0, 1, &types.get()[m_TypeIndex], jackCount, jacks.get()))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS COutputPinNode::ReadBack() {
    InterfaceRef<ITerminal> terminal(m_Entity, IID_ITerminal);
    if (!NT_SUCCESS(terminal.status())) {
        return terminal.status();
    }
    return RefreshJacks(terminal.get(), m_TypeIndex);
}

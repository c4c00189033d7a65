// UAC 1.0 terminal, selector and mixer entities.
#include "topology/uac1_terminals.h"

#include <cstring>

#include "adapter/usb/usb_audio_device.h"
#include "nt/pool.h"
#include "topology/interface_ref.h"
#include "topology/node_settings.h"
#include "topology/switch_nodes.h"
#include "topology/terminal_nodes.h"

namespace {
constexpr UCHAR kInputTerminalSubtype = 2;
constexpr UCHAR kOutputTerminalSubtype = 3;
constexpr UCHAR kMixerSubtype = 4;
constexpr UCHAR kSelectorSubtype = 5;
constexpr ULONG kInputTerminalLength = 12;
constexpr ULONG kOutputTerminalLength = 9;
constexpr ULONG kTerminalTypeOffset = 4;
constexpr ULONG kOutputSourceOffset = 7;
constexpr ULONG kPinCountOffset = 4;
constexpr ULONG kSourcesOffset = 5;
// Selector: p sources and iSelector; mixer: p sources and at least
// bNrChannels, wChannelConfig, iChannelNames and iMixer.
constexpr ULONG kSelectorFixedBytes = 6;
constexpr ULONG kMixerFixedBytes = 10;
// Type list: a USHORT count, then 6 bytes per type, the type first.
constexpr ULONG kTypeEntryBytes = 6;

USHORT Le16(const BYTE* p) { return (USHORT)(p[0] | p[1] << 8); }

// The rest of the Init pattern once the descriptor has passed its checks.
template <class Entity>
NTSTATUS InitEntity(Entity* entity, const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {
    NTSTATUS status = entity->SetDescriptor(descriptor, device);
    if (NT_SUCCESS(status)) {
        status = entity->CreateNodes(builder);
    }
    if (NT_SUCCESS(status)) {
        entity->ChainNodes();
    }
    return status;
}

// bNrInPins checked: at least 1, and the descriptor holds fixedBytes + p.
NTSTATUS CheckUnitWithSources(const BYTE* descriptor, IUnknown* device, IAudioHal* builder,
                              UCHAR subtype, ULONG fixedBytes) {
    NTSTATUS status = CheckEntityDescriptor(descriptor, device, builder, subtype, fixedBytes + 1);
    if (NT_SUCCESS(status) &&
        (descriptor[kPinCountOffset] == 0 || descriptor[0] < fixedBytes + descriptor[kPinCountOffset])) {
        LogEntityRefusal(descriptor, device, "bNrInPins must be at least 1 and fit the descriptor");
        status = STATUS_INVALID_PARAMETER;
    }
    return status;
}
}  // namespace

// ---- terminal type mappings ----

ULONG InputTerminalType(USHORT t) {
    if (t == UAC_TERMINAL_TYPE_STREAMING) return ENDPOINT_STREAM;
    if (t >= 0x0201 && t <= 0x0206) return ENDPOINT_MIC;
    if (t == 0x0401 || t == 0x0402) return ENDPOINT_HEADSET;
    if (t >= 0x0403 && t <= 0x0405) return ENDPOINT_SPEAKERPHONE;
    if (t == 0x0603) return ENDPOINT_LINE;
    if (t == 0x0605) return ENDPOINT_SPDIF;
    return ENDPOINT_AUX;
}

ULONG InputTerminalTypeToEndpointType(USHORT t) {
    switch (t) {
    case 0x0201: return ENDPOINT_MIC;
    case 0x0202: return ENDPOINT_FMIC;
    case 0x0302: return ENDPOINT_HP;
    case 0x0401: return ENDPOINT_HANDSET;
    case 0x0402: return ENDPOINT_HEADSET;
    case 0x0605: return ENDPOINT_SPDIF;
    default: return ENDPOINT_LINE;
    }
}

ULONG OutputTerminalTypeToEndpointType(USHORT t) {
    switch (t) {
    case 0x0302: return ENDPOINT_HP;
    case 0x0401: return ENDPOINT_HANDSET;
    case 0x0402: return ENDPOINT_HEADSET;
    case 0x0601:
    case 0x0603: return ENDPOINT_LINE;
    case 0x0605: return ENDPOINT_SPDIF;
    default: return ENDPOINT_SPK;
    }
}

ULONG OutputTypeMapping(USHORT t) {
    return t == UAC_TERMINAL_TYPE_STREAMING ? (ULONG)ENDPOINT_STREAM : OutputTerminalTypeToEndpointType(t);
}

// ---- CUacInputTerminal ----

CUacInputTerminal::CUacInputTerminal(PUNKNOWN outer, ULONG index) : CUacEntity(outer, index), m_Jacks() {}

CUacInputTerminal::~CUacInputTerminal() { FreeJackArray(&m_Jacks); }

NTSTATUS CUacInputTerminal::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    NTSTATUS status = CUacEntity::NonDelegatingQueryInterface(iid, out);
    if (NT_SUCCESS(status) || out == NULL) {
        return status;
    }
    if (IsEqualGUID(iid, IID_ITerminal)) {
        return ReturnInterface(static_cast<ITerminal*>(this), out);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CUacInputTerminal::Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {
    NTSTATUS status = CheckEntityDescriptor(descriptor, device, builder, kInputTerminalSubtype,
                                            kInputTerminalLength);
    return NT_SUCCESS(status) ? InitEntity(this, descriptor, device, builder) : status;
}

USHORT CUacInputTerminal::TerminalType() const { return Le16(m_Descriptor + kTerminalTypeOffset); }

NTSTATUS CUacInputTerminal::CreateNodes(IAudioHal* builder) {
    if (builder == NULL || m_Descriptor == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = TakeIdentity(0, NULL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG nextId = builder->GetUnitCount();
    if (TerminalType() != UAC_TERMINAL_TYPE_STREAMING) {
        FreeJackArray(&m_Jacks);
        status = ReadJackList(this, FALSE, &m_Jacks);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    ENDPOINT_CAPS caps = {};
    builder->GetEndpointCapabilities(TRUE, InputTerminalTypeToEndpointType(TerminalType()), &caps);
    IUnknown* self = static_cast<ITerminal*>(this);
    return CreateNode<CInputPinNode>(builder, UAC1_NODE_TAG, &nextId, false,
                                     [self, &caps](CInputPinNode* pin) { return pin->InitFromEntity(self, &caps); });
}

NTSTATUS CUacInputTerminal::GetType(ULONG* type) {
    if (type == NULL || m_Descriptor == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *type = InputTerminalType(TerminalType());
    return STATUS_SUCCESS;
}

NTSTATUS CUacInputTerminal::GetTypeCount(ULONG* count) {
    if (count == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *count = 1;
    return STATUS_SUCCESS;
}

NTSTATUS CUacInputTerminal::GetTypes(ULONG* types) { return GetType(types); }

NTSTATUS CUacInputTerminal::SelectType(ULONG type) {
    ULONG own = 0;
    NTSTATUS status = GetType(&own);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return type == own ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS CUacInputTerminal::GetJackCount(ULONG* count, ULONG typeIndex) {
    UNREFERENCED_PARAMETER(typeIndex);
    if (count == NULL || m_Descriptor == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *count = TerminalTypeHasJacks(TerminalType()) ? m_Jacks.Count : 0;
    return STATUS_SUCCESS;
}

NTSTATUS CUacInputTerminal::GetJackInfo(ULONG bufferSize, JACK_INFO* records, ULONG typeIndex) {
    UNREFERENCED_PARAMETER(typeIndex);
    if (records == NULL || bufferSize == 0 || m_Descriptor == NULL ||
        TerminalType() == UAC_TERMINAL_TYPE_STREAMING || m_Jacks.Count == 0 ||
        bufferSize < m_Jacks.Count * sizeof(JACK_INFO)) {
        return STATUS_INVALID_PARAMETER;
    }
    return ReadJackConnections(this, FALSE, &m_Jacks, records);
}

NTSTATUS CUacInputTerminal::OnControlChange(ULONG controlSelector, ULONG channel, ULONG* nodeId) {
    UNREFERENCED_PARAMETER(controlSelector);
    UNREFERENCED_PARAMETER(channel);
    IUacUnit* pin = FindNodeOfKind(UNIT_KIND_INPUT_PIN);
    if (pin == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    if (nodeId != NULL) {
        *nodeId = pin->GetId();
    }
    return pin->ReadBack();
}

// ---- CUacOutputTerminal ----

CUacOutputTerminal::CUacOutputTerminal(PUNKNOWN outer, ULONG index)
    : CUacEntity(outer, index), m_CurrentType(ENDPOINT_STREAM), m_TypeCount(0), m_TypeList(NULL) {}

CUacOutputTerminal::~CUacOutputTerminal() {
    for (ULONG i = 0; i < m_TypeCount; ++i) {
        FreeJackArray(&m_TypeList[i].Jacks);
    }
    if (m_TypeList != NULL) {
        ExFreePoolWithTag(m_TypeList, UAC1_NODE_TAG);
    }
}

NTSTATUS CUacOutputTerminal::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    NTSTATUS status = CUacEntity::NonDelegatingQueryInterface(iid, out);
    if (NT_SUCCESS(status) || out == NULL) {
        return status;
    }
    if (IsEqualGUID(iid, IID_ITerminal)) {
        return ReturnInterface(static_cast<ITerminal*>(this), out);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CUacOutputTerminal::Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {
    NTSTATUS status = CheckEntityDescriptor(descriptor, device, builder, kOutputTerminalSubtype,
                                            kOutputTerminalLength);
    return NT_SUCCESS(status) ? InitEntity(this, descriptor, device, builder) : status;
}

USHORT CUacOutputTerminal::TerminalType() const { return Le16(m_Descriptor + kTerminalTypeOffset); }

PDEVICE_OBJECT CUacOutputTerminal::SettingsDevice() {
    InterfaceRef<IAudioHal> hal(m_Device, IID_IAudioHal);
    return NT_SUCCESS(hal.status()) ? hal->GetDeviceObject() : NULL;
}

// One zeroed array for every type; a previous list is freed first.
NTSTATUS CUacOutputTerminal::AllocTypeArrays(ULONG count) {
    for (ULONG i = 0; i < m_TypeCount; ++i) {
        FreeJackArray(&m_TypeList[i].Jacks);
    }
    if (m_TypeList != NULL) {
        ExFreePoolWithTag(m_TypeList, UAC1_NODE_TAG);
    }
    m_TypeCount = 0;
    const SIZE_T bytes = (SIZE_T)count * sizeof(OUTPUT_TYPE);
    m_TypeList = static_cast<OUTPUT_TYPE*>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, UAC1_NODE_TAG));
    if (m_TypeList == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memset(m_TypeList, 0, bytes);
    m_TypeCount = count;
    return STATUS_SUCCESS;
}

LONG CUacOutputTerminal::TypeIndex(ULONG type) const {
    for (ULONG i = 0; i < m_TypeCount; ++i) {
        if (m_TypeList[i].Type == type) {
            return (LONG)i;
        }
    }
    return -1;
}

void CUacOutputTerminal::SelectOnDevice(USHORT usbType) {
    UCHAR bytes[2] = {(UCHAR)usbType, (UCHAR)(usbType >> 8)};
    SendRequest(UAC1_OT_SELECT_TYPE, 0, bytes, sizeof(bytes));
}

// The device's type list (vendor GET 0x86): fewer than two types, or no
// answer, leave the descriptor's type alone; more than five are refused
// before the list is read; the list must deliver 2 + 6n bytes. Each type
// is selected on the device in turn so that its jack list can be read.
NTSTATUS CUacOutputTerminal::ReadTypeList() {
    UCHAR countBytes[2];
    ULONG count = 1;
    UCHAR list[2 + kTypeEntryBytes * TERMINAL_MAX_TYPES] = {};
    if (NT_SUCCESS(SendRequest(UAC1_OT_GET_TYPE_LIST, 0, countBytes, sizeof(countBytes))) &&
        Le16(countBytes) >= 2) {
        count = Le16(countBytes);
        if (count > TERMINAL_MAX_TYPES) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        NTSTATUS status = SendRequest(UAC1_OT_GET_TYPE_LIST, 0, list, 2 + kTypeEntryBytes * count);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    } else {
        list[2] = (UCHAR)TerminalType();
        list[3] = (UCHAR)(TerminalType() >> 8);
    }
    NTSTATUS status = AllocTypeArrays(count);
    for (ULONG i = 0; i < count && NT_SUCCESS(status); ++i) {
        OUTPUT_TYPE& type = m_TypeList[i];
        type.UsbType = Le16(list + 2 + kTypeEntryBytes * i);
        type.Type = OutputTypeMapping(type.UsbType);
        if (count > 1) {
            SelectOnDevice(type.UsbType);
        }
        status = ReadJackList(this, FALSE, &type.Jacks);
    }
    // The device's selection is restored by CreateNodes, once the current
    // type is known.
    return status;
}

// The first of these types that the terminal lists: the chosen one (the
// stored type, or the device's selection with "INITOTTYPEBYSEL"), the
// stored one, the descriptor's, the first listed. An unlisted type would
// make every later selection, and with it the Apply pass of the device's
// start, fail.
ULONG CUacOutputTerminal::ListedType(ULONG chosen, ULONG stored) const {
    const ULONG candidates[] = {chosen, stored, OutputTypeMapping(TerminalType())};
    for (ULONG type : candidates) {
        if (TypeIndex(type) >= 0) {
            return type;
        }
    }
    return m_TypeList[0].Type;
}

// The streaming terminal presents its stored type (an endpoint type, 0 to
// 18) and asks the device nothing; any other reads the device's selection
// and type list, then selects its current type on the device.
NTSTATUS CUacOutputTerminal::PrepareTypes(PDEVICE_OBJECT settings) {
    ULONG stored = OutputTypeMapping(TerminalType());
    ReadTerminalType(settings, EntityId(), &stored);
    if (TerminalType() == UAC_TERMINAL_TYPE_STREAMING) {
        NTSTATUS status = AllocTypeArrays(1);
        if (NT_SUCCESS(status)) {
            m_TypeList[0].Type = stored < ENDPOINT_TYPE_COUNT ? stored : (ULONG)ENDPOINT_STREAM;
            m_TypeList[0].UsbType = UAC_TERMINAL_TYPE_STREAMING;
            m_CurrentType = m_TypeList[0].Type;
        }
        return status;
    }
    InterfaceRef<IUsbAudioDevice> usb(m_Device, IID_IUsbAudioDevice);
    if (!NT_SUCCESS(usb.status())) {
        return usb.status();
    }
    const ULONG initBySelection = ReadSettingsSwitch(settings, SETTINGS_INIT_TYPE_BY_SELECTION);
    ULONG chosen = stored;
    UCHAR answer[2];
    if (NT_SUCCESS(SendRequest(UAC1_OT_GET_TYPE, 0, answer, sizeof(answer))) && initBySelection != 0) {
        chosen = OutputTypeMapping(Le16(answer));
    }
    NTSTATUS status = ReadTypeList();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    m_CurrentType = ListedType(chosen, stored);
    if (m_TypeCount > 1) {
        SelectOnDevice(m_TypeList[TypeIndex(m_CurrentType)].UsbType);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUacOutputTerminal::CreateNodes(IAudioHal* builder) {
    if (builder == NULL || m_Descriptor == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = TakeIdentity(1, m_Descriptor + kOutputSourceOffset);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = PrepareTypes(builder->GetDeviceObject());
    return NT_SUCCESS(status) ? CreateTypeNodes(builder, UAC1_NODE_TAG) : status;
}

NTSTATUS CUacOutputTerminal::CreateTypeNodes(IAudioHal* builder, ULONG tag) {
    ULONG nextId = builder->GetUnitCount();
    PDEVICE_OBJECT settings = builder->GetDeviceObject();
    IUnknown* self = static_cast<ITerminal*>(this);
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < m_TypeCount && NT_SUCCESS(status); ++i) {
        ENDPOINT_CAPS caps = {};
        builder->GetEndpointCapabilities(FALSE, m_TypeList[i].Type, &caps);
        status = CreateNode<COutputPinNode>(
            builder, tag, &nextId, false,
            [self, &caps](COutputPinNode* pin) { return pin->InitFromEntity(self, &caps); }, i);
    }
    if (NT_SUCCESS(status) && m_TypeCount > 1) {
        status = CreateNode<CTerminalTypeNode>(builder, tag, &nextId, false,
                                               [self, settings, builder](CTerminalTypeNode* node) {
                                                   return node->InitFromEntity(self, settings, builder);
                                               });
    }
    return status;
}

NTSTATUS CUacOutputTerminal::GetType(ULONG* type) {
    if (type == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *type = m_CurrentType;
    return STATUS_SUCCESS;
}

NTSTATUS CUacOutputTerminal::GetTypeCount(ULONG* count) {
    if (count == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *count = m_TypeCount;
    return STATUS_SUCCESS;
}

NTSTATUS CUacOutputTerminal::GetTypes(ULONG* types) {
    if (types == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < m_TypeCount; ++i) {
        types[i] = m_TypeList[i].Type;
    }
    return STATUS_SUCCESS;
}

void CUacOutputTerminal::ReadBackNodesOfKind(ULONG kind, NTSTATUS* result) {
    PVOID data = NULL;
    POSITION pos = m_Nodes != NULL ? m_Nodes->GetHeadPosition() : NULL;
    while (m_Nodes != NULL && m_Nodes->GetNext(pos, &data)) {
        IUacUnit* node = static_cast<IUacUnit*>(data);
        if (node->GetKind() == kind) {
            node->ReadBack();
            if (result != NULL) {
                *result = STATUS_SUCCESS;
            }
        }
    }
}

NTSTATUS CUacOutputTerminal::SelectType(ULONG type) {
    if (type == m_CurrentType) {
        return STATUS_SUCCESS;
    }
    InterfaceRef<IUsbAudioDevice> usb(m_Device, IID_IUsbAudioDevice);
    InterfaceRef<IAudioHal> hal(m_Device, IID_IAudioHal);
    if (!NT_SUCCESS(usb.status()) || !NT_SUCCESS(hal.status())) {
        return NT_SUCCESS(usb.status()) ? hal.status() : usb.status();
    }
    const LONG index = TypeIndex(type);
    if (index < 0) {
        return STATUS_UNSUCCESSFUL;
    }
    m_CurrentType = type;
    SelectOnDevice(m_TypeList[index].UsbType);
    WriteTerminalType(hal->GetDeviceObject(), EntityId(), m_CurrentType);
    ReadBackNodesOfKind(UNIT_KIND_OUTPUT_PIN, NULL);
    return STATUS_SUCCESS;
}

NTSTATUS CUacOutputTerminal::GetJackCount(ULONG* count, ULONG typeIndex) {
    if (count == NULL || m_Descriptor == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *count = 0;
    if (TerminalType() == UAC_TERMINAL_TYPE_STREAMING) {
        return STATUS_SUCCESS;
    }
    if (typeIndex >= m_TypeCount) {
        return STATUS_INVALID_PARAMETER;
    }
    *count = m_TypeList[typeIndex].Jacks.Count;
    return STATUS_SUCCESS;
}

// Jacks of the selected type report their connection state; the device
// cannot report those of another type, which follow "SetJackConnect".
NTSTATUS CUacOutputTerminal::GetJackInfo(ULONG bufferSize, JACK_INFO* records, ULONG typeIndex) {
    if (records == NULL || bufferSize == 0 || typeIndex >= m_TypeCount || m_Descriptor == NULL ||
        TerminalType() == UAC_TERMINAL_TYPE_STREAMING) {
        return STATUS_INVALID_PARAMETER;
    }
    JACK_ARRAY* jacks = &m_TypeList[typeIndex].Jacks;
    if (jacks->Count == 0 || bufferSize < jacks->Count * sizeof(JACK_INFO)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_TypeList[typeIndex].Type == m_CurrentType) {
        return ReadJackConnections(this, FALSE, jacks, records);
    }
    SetUnselectedJacks(jacks, ReadSettingsSwitch(SettingsDevice(), SETTINGS_SET_JACK_CONNECT), records);
    return STATUS_SUCCESS;
}

NTSTATUS CUacOutputTerminal::OnControlChange(ULONG controlSelector, ULONG channel, ULONG* nodeId) {
    UNREFERENCED_PARAMETER(controlSelector);
    UNREFERENCED_PARAMETER(channel);
    UNREFERENCED_PARAMETER(nodeId);
    InterfaceRef<IUsbAudioDevice> usb(m_Device, IID_IUsbAudioDevice);
    InterfaceRef<IAudioHal> hal(m_Device, IID_IAudioHal);
    if (!NT_SUCCESS(usb.status()) || !NT_SUCCESS(hal.status())) {
        return NT_SUCCESS(usb.status()) ? hal.status() : usb.status();
    }
    UCHAR answer[2];
    NTSTATUS result = SendRequest(UAC1_OT_GET_TYPE, 0, answer, sizeof(answer));
    if (NT_SUCCESS(result)) {
        const ULONG type = OutputTerminalTypeToEndpointType(Le16(answer));
        if (type == m_CurrentType) {
            return result;
        }
        m_CurrentType = type;
        WriteTerminalType(hal->GetDeviceObject(), EntityId(), m_CurrentType);
    }
    IUacUnit* typeNode = FindNodeOfKind(UNIT_KIND_TERMINAL_TYPE);
    if (typeNode != NULL) {
        typeNode->ReadBack();
        result = STATUS_SUCCESS;
    }
    ReadBackNodesOfKind(UNIT_KIND_OUTPUT_PIN, &result);
    return result;
}

// ---- CUacSelectorUnit ----

NTSTATUS CUacSelectorUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    NTSTATUS status = CUacEntity::NonDelegatingQueryInterface(iid, out);
    if (NT_SUCCESS(status) || out == NULL) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IMuxUnit)) {
        return ReturnInterface(static_cast<IMuxUnit*>(this), out);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CUacSelectorUnit::Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {
    NTSTATUS status = CheckUnitWithSources(descriptor, device, builder, kSelectorSubtype, kSelectorFixedBytes);
    return NT_SUCCESS(status) ? InitEntity(this, descriptor, device, builder) : status;
}

bool CUacSelectorUnit::IsSelector() const {
    return m_Descriptor != NULL && m_Descriptor[1] == UAC_CS_INTERFACE && m_Descriptor[2] == kSelectorSubtype;
}

NTSTATUS CUacSelectorUnit::CreateNodes(IAudioHal* builder) {
    if (builder == NULL || m_Descriptor == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = TakeIdentity(m_Descriptor[kPinCountOffset], m_Descriptor + kSourcesOffset);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG nextId = builder->GetUnitCount();
    IUnknown* self = static_cast<IMuxUnit*>(this);
    PDEVICE_OBJECT settings = builder->GetDeviceObject();
    return CreateNode<CSelectorNode>(builder, UAC1_NODE_TAG, &nextId, false,
                                     [self, settings](CSelectorNode* node) { return node->InitFromEntity(self, settings); });
}

NTSTATUS CUacSelectorUnit::GetValue(ULONG* input) {
    if (input == NULL || !IsSelector()) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR byte = 0;
    NTSTATUS status = SendRequest(UAC1_SU_GET_CUR, 0, &byte, 1);
    if (NT_SUCCESS(status)) {
        *input = byte;
    }
    return status;
}

NTSTATUS CUacSelectorUnit::SetValue(ULONG input) {
    if (!IsSelector() || input == 0 || input > m_Descriptor[kPinCountOffset]) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR byte = (UCHAR)input;
    return SendRequest(UAC1_SU_SET_CUR, 0, &byte, 1);
}

NTSTATUS CUacSelectorUnit::GetInputCount(ULONG* count) {
    if (count == NULL || !IsSelector()) {
        return STATUS_INVALID_PARAMETER;
    }
    *count = m_Descriptor[kPinCountOffset];
    return STATUS_SUCCESS;
}

// ---- CUacMixerUnit ----

NTSTATUS CUacMixerUnit::Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {
    NTSTATUS status = CheckUnitWithSources(descriptor, device, builder, kMixerSubtype, kMixerFixedBytes);
    return NT_SUCCESS(status) ? InitEntity(this, descriptor, device, builder) : status;
}

NTSTATUS CUacMixerUnit::CreateNodes(IAudioHal* builder) {
    if (builder == NULL || m_Descriptor == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = TakeIdentity(m_Descriptor[kPinCountOffset], m_Descriptor + kSourcesOffset);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG nextId = builder->GetUnitCount();
    IUnknown* self = static_cast<IUacUnit*>(this);
    return CreateNode<CMixerNode>(builder, UAC1_NODE_TAG, &nextId, false,
                                  [self](CMixerNode* node) { return node->InitFromEntity(self); });
}

// UAC 2.0 terminal, selector, mixer and extension-unit entities.
#include "topology/uac2_terminals.h"

#include "adapter/usb/usb_audio_device.h"
#include "topology/interface_ref.h"
#include "topology/node_settings.h"
#include "topology/switch_nodes.h"
#include "topology/terminal_nodes.h"

namespace {
constexpr UCHAR kInputTerminalSubtype = 2;
constexpr UCHAR kOutputTerminalSubtype = 3;
constexpr UCHAR kMixerSubtype = 4;
constexpr UCHAR kSelectorSubtype = 5;
constexpr UCHAR kExtensionSubtype = 9;
constexpr ULONG kInputTerminalLength = 17;
constexpr ULONG kOutputTerminalLength = 12;
constexpr ULONG kInputClockOffset = 7;
constexpr ULONG kInputControlsOffset = 14;
constexpr ULONG kOutputSourceOffset = 7;
constexpr ULONG kOutputClockOffset = 8;
constexpr ULONG kOutputControlsOffset = 9;
// Readable bit of the connector control pair in a terminal's bmControls.
constexpr UCHAR kConnectorReadable = 0x04;
constexpr ULONG kConnectorSelector = 2;
constexpr ULONG kTerminalTypeSelector = 8;
constexpr ULONG kSelectorPinCountOffset = 4;
constexpr ULONG kSelectorFixedBytes = 7;
constexpr ULONG kMixerFixedBytes = 13;
constexpr ULONG kExtensionFixedBytes = 15;
constexpr ULONG kMixerPinCountOffset = 4;
constexpr ULONG kExtensionPinCountOffset = 6;
// Terminal-type RANGE: wNumSubRanges, then {MIN, MAX, RES} of two bytes.
constexpr ULONG kTypeSubrangeBytes = 6;

USHORT Le16(const BYTE* p) { return (USHORT)(p[0] | p[1] << 8); }

bool IsSubtype(const BYTE* descriptor, UCHAR subtype) {
    return descriptor != NULL && descriptor[1] == UAC_CS_INTERFACE && descriptor[2] == subtype;
}

template <class Entity>
NTSTATUS InitEntity(Entity* entity, const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {
    NTSTATUS status = entity->SetDescriptor(descriptor, device);
    if (NT_SUCCESS(status)) status = entity->CreateNodes(builder);
    if (NT_SUCCESS(status)) entity->ChainNodes();
    return status;
}

// bNrInPins at pinCountOffset: at least 1, and the descriptor holds
// fixedBytes + p.
NTSTATUS CheckUnitWithSources(const BYTE* descriptor, IUnknown* device, IAudioHal* builder, UCHAR subtype,
                              ULONG pinCountOffset, ULONG fixedBytes) {
    NTSTATUS status = CheckEntityDescriptor(descriptor, device, builder, subtype, fixedBytes + 1);
    if (NT_SUCCESS(status) &&
        (descriptor[pinCountOffset] == 0 || descriptor[0] < fixedBytes + descriptor[pinCountOffset])) {
        LogEntityRefusal(descriptor, device, "bNrInPins must be at least 1 and fit the descriptor");
        status = STATUS_INVALID_PARAMETER;
    }
    return status;
}

NTSTATUS ClockIdAt(const BYTE* descriptor, UCHAR subtype, ULONG offset, ULONG* clockId) {
    if (clockId == NULL || !IsSubtype(descriptor, subtype)) return STATUS_INVALID_PARAMETER;
    *clockId = descriptor[offset];
    return STATUS_SUCCESS;
}
}  // namespace

// ---- CUac2InputTerminal ----

NTSTATUS CUac2InputTerminal::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (out != NULL && IsEqualGUID(iid, IID_IClockSourceId))
        return ReturnInterface(static_cast<IClockSourceId*>(this), out);
    return CUacInputTerminal::NonDelegatingQueryInterface(iid, out);
}

NTSTATUS CUac2InputTerminal::Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {
    NTSTATUS status =
        CheckEntityDescriptor(descriptor, device, builder, kInputTerminalSubtype, kInputTerminalLength);
    return NT_SUCCESS(status) ? InitEntity(this, descriptor, device, builder) : status;
}

NTSTATUS CUac2InputTerminal::CreateNodes(IAudioHal* builder) {
    if (builder == NULL || m_Descriptor == NULL) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = TakeIdentity(0, NULL);
    if (!NT_SUCCESS(status)) return status;
    ULONG nextId = builder->GetUnitCount();
    if (TerminalType() != UAC_TERMINAL_TYPE_STREAMING && (m_Descriptor[kInputControlsOffset] & kConnectorReadable)) {
        FreeJackArray(&m_Jacks);
        status = ReadJackList(this, TRUE, &m_Jacks);
        if (!NT_SUCCESS(status)) return status;
    }
    ENDPOINT_CAPS caps = {};
    builder->GetEndpointCapabilities(TRUE, InputTerminalTypeToEndpointType(TerminalType()), &caps);
    IUnknown* self = static_cast<ITerminal*>(this);
    return CreateNode<CInputPinNode>(builder, UAC2_NODE_TAG, &nextId, false,
                                     [self, &caps](CInputPinNode* pin) { return pin->InitFromEntity(self, &caps); });
}

NTSTATUS CUac2InputTerminal::GetJackCount(ULONG* count, ULONG typeIndex) {
    UNREFERENCED_PARAMETER(typeIndex);
    if (count == NULL || m_Descriptor == NULL) return STATUS_INVALID_PARAMETER;
    *count = m_Jacks.Count;
    return STATUS_SUCCESS;
}

NTSTATUS CUac2InputTerminal::GetJackInfo(ULONG bufferSize, JACK_INFO* records, ULONG typeIndex) {
    UNREFERENCED_PARAMETER(typeIndex);
    if (records == NULL || m_Descriptor == NULL || m_Jacks.Count == 0 ||
        bufferSize < m_Jacks.Count * sizeof(JACK_INFO))
        return STATUS_INVALID_PARAMETER;
    return ReadJackConnections(this, TRUE, &m_Jacks, records);
}

NTSTATUS CUac2InputTerminal::OnControlChange(ULONG controlSelector, ULONG channel, ULONG* nodeId) {
    if (controlSelector != kConnectorSelector || channel != 0) return STATUS_UNSUCCESSFUL;
    IUacUnit* pin = FindNodeOfKind(UNIT_KIND_INPUT_PIN);
    if (pin == NULL) return STATUS_UNSUCCESSFUL;
    if (nodeId != NULL) *nodeId = pin->GetId();
    pin->ReadBack();
    return STATUS_SUCCESS;
}

NTSTATUS CUac2InputTerminal::GetClockSourceId(ULONG* clockId) {
    return ClockIdAt(m_Descriptor, kInputTerminalSubtype, kInputClockOffset, clockId);
}

// ---- CUac2OutputTerminal ----

NTSTATUS CUac2OutputTerminal::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (out != NULL && IsEqualGUID(iid, IID_IClockSourceId))
        return ReturnInterface(static_cast<IClockSourceId*>(this), out);
    return CUacOutputTerminal::NonDelegatingQueryInterface(iid, out);
}

NTSTATUS CUac2OutputTerminal::Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {
    NTSTATUS status =
        CheckEntityDescriptor(descriptor, device, builder, kOutputTerminalSubtype, kOutputTerminalLength);
    return NT_SUCCESS(status) ? InitEntity(this, descriptor, device, builder) : status;
}

NTSTATUS CUac2OutputTerminal::GetClockSourceId(ULONG* clockId) {
    return ClockIdAt(m_Descriptor, kOutputTerminalSubtype, kOutputClockOffset, clockId);
}

bool CUac2OutputTerminal::AsksDevice() const {
    return TerminalType() != UAC_TERMINAL_TYPE_STREAMING && (m_Descriptor[kOutputControlsOffset] & kConnectorReadable);
}

void CUac2OutputTerminal::SelectUac2OnDevice(USHORT usbType) {
    UCHAR bytes[2] = {(UCHAR)usbType, (UCHAR)(usbType >> 8)};
    SendRequest(UAC2_OT_SET_TYPE, 0, bytes, sizeof(bytes));
}

// RANGE of control 8 gives the types (each subrange's MIN a USB terminal
// type): no answer or fewer than two leave the descriptor's type; more
// than TERMINAL_MAX_TYPES are refused before the list is read; the list
// must arrive whole and a second answer counting fewer types gives only
// those. Each type is selected on the device in turn so that its jack list
// can be read.
NTSTATUS CUac2OutputTerminal::ReadUac2TypeList() {
    UCHAR countBytes[2] = {};
    UCHAR list[2 + kTypeSubrangeBytes * TERMINAL_MAX_TYPES] = {};
    ULONG count = 1;
    if (NT_SUCCESS(SendRequest(UAC2_OT_GET_TYPE_RANGE, 0, countBytes, sizeof(countBytes))) && Le16(countBytes) >= 2) {
        count = Le16(countBytes);
        if (count > TERMINAL_MAX_TYPES) return STATUS_INSUFFICIENT_RESOURCES;
        NTSTATUS status = SendRequest(UAC2_OT_GET_TYPE_RANGE, 0, list, 2 + kTypeSubrangeBytes * count);
        if (!NT_SUCCESS(status)) return status;
        if (Le16(list) < count) count = Le16(list);
    }
    if (count < 2) {
        count = 1;
        list[2] = (UCHAR)TerminalType();
        list[3] = (UCHAR)(TerminalType() >> 8);
    }
    NTSTATUS status = AllocTypeArrays(count);
    for (ULONG i = 0; i < count && NT_SUCCESS(status); ++i) {
        OUTPUT_TYPE& type = m_TypeList[i];
        type.UsbType = Le16(list + 2 + kTypeSubrangeBytes * i);
        type.Type = OutputTypeMapping(type.UsbType);
        if (count > 1) SelectUac2OnDevice(type.UsbType);
        status = ReadJackList(this, TRUE, &type.Jacks);
    }
    return status;
}

NTSTATUS CUac2OutputTerminal::PrepareUac2Types(PDEVICE_OBJECT settings) {
    ULONG stored = OutputTypeMapping(TerminalType());
    const NTSTATUS storedStatus = ReadTerminalType(settings, EntityId(), &stored);
    if (!AsksDevice()) {
        NTSTATUS status = AllocTypeArrays(1);
        if (NT_SUCCESS(status)) {
            // A stored number that names no endpoint type is not taken.
            m_TypeList[0].Type = stored < ENDPOINT_TYPE_COUNT ? stored : OutputTypeMapping(TerminalType());
            m_TypeList[0].UsbType = TerminalType();
            m_CurrentType = m_TypeList[0].Type;
        }
        return status;
    }
    ULONG chosen = stored;
    UCHAR answer[2];
    if (NT_SUCCESS(SendRequest(UAC2_OT_GET_TYPE, 0, answer, sizeof(answer))) &&
        storedStatus == STATUS_OBJECT_NAME_NOT_FOUND &&
        ReadSettingsSwitch(settings, SETTINGS_INIT_TYPE_BY_SELECTION) != 0)
        chosen = OutputTypeMapping(Le16(answer));
    NTSTATUS status = ReadUac2TypeList();
    if (!NT_SUCCESS(status)) return status;
    m_CurrentType = ListedType(chosen, stored);
    if (m_TypeCount > 1) SelectType(m_CurrentType);
    return STATUS_SUCCESS;
}

NTSTATUS CUac2OutputTerminal::CreateNodes(IAudioHal* builder) {
    if (builder == NULL || m_Descriptor == NULL) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = TakeIdentity(1, m_Descriptor + kOutputSourceOffset);
    if (!NT_SUCCESS(status)) return status;
    status = PrepareUac2Types(builder->GetDeviceObject());
    return NT_SUCCESS(status) ? CreateTypeNodes(builder, UAC2_NODE_TAG) : status;
}

NTSTATUS CUac2OutputTerminal::SelectType(ULONG type) {
    InterfaceRef<IUsbAudioDevice> usb(m_Device, IID_IUsbAudioDevice);
    InterfaceRef<IAudioHal> hal(m_Device, IID_IAudioHal);
    if (!NT_SUCCESS(usb.status()) || !NT_SUCCESS(hal.status()))
        return NT_SUCCESS(usb.status()) ? hal.status() : usb.status();
    const LONG index = TypeIndex(type);
    if (index < 0) return STATUS_UNSUCCESSFUL;
    m_CurrentType = type;
    SelectUac2OnDevice(m_TypeList[index].UsbType);
    WriteTerminalType(hal->GetDeviceObject(), EntityId(), m_CurrentType);
    ReadBackNodesOfKind(UNIT_KIND_OUTPUT_PIN, NULL);
    return STATUS_SUCCESS;
}

NTSTATUS CUac2OutputTerminal::GetJackInfo(ULONG bufferSize, JACK_INFO* records, ULONG typeIndex) {
    if (records == NULL || bufferSize == 0 || typeIndex >= m_TypeCount || m_Descriptor == NULL)
        return STATUS_INVALID_PARAMETER;
    JACK_ARRAY* jacks = &m_TypeList[typeIndex].Jacks;
    if (jacks->Count == 0 || bufferSize < jacks->Count * sizeof(JACK_INFO)) return STATUS_INVALID_PARAMETER;
    if (m_TypeList[typeIndex].Type == m_CurrentType) return ReadJackConnections(this, TRUE, jacks, records);
    SetUnselectedJacks(jacks, ReadSettingsSwitch(SettingsDevice(), SETTINGS_SET_JACK_CONNECT), records);
    return STATUS_SUCCESS;
}

NTSTATUS CUac2OutputTerminal::OnControlChange(ULONG controlSelector, ULONG channel, ULONG* nodeId) {
    UNREFERENCED_PARAMETER(channel);
    UNREFERENCED_PARAMETER(nodeId);
    if (controlSelector != kConnectorSelector && controlSelector != kTerminalTypeSelector) return STATUS_UNSUCCESSFUL;
    InterfaceRef<IUsbAudioDevice> usb(m_Device, IID_IUsbAudioDevice);
    InterfaceRef<IAudioHal> hal(m_Device, IID_IAudioHal);
    if (!NT_SUCCESS(usb.status()) || !NT_SUCCESS(hal.status()))
        return NT_SUCCESS(usb.status()) ? hal.status() : usb.status();
    NTSTATUS result = STATUS_UNSUCCESSFUL;
    if (controlSelector == kTerminalTypeSelector) {
        UCHAR answer[2];
        result = SendRequest(UAC2_OT_GET_TYPE, 0, answer, sizeof(answer));
        if (!NT_SUCCESS(result)) return result;
        m_CurrentType = OutputTerminalTypeToEndpointType(Le16(answer));
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

// ---- CUac2SelectorUnit ----

NTSTATUS CUac2SelectorUnit::Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {
    NTSTATUS status = CheckUnitWithSources(descriptor, device, builder, kSelectorSubtype, kSelectorPinCountOffset,
                                           kSelectorFixedBytes);
    return NT_SUCCESS(status) ? InitEntity(this, descriptor, device, builder) : status;
}

NTSTATUS CUac2SelectorUnit::CreateNodes(IAudioHal* builder) {
    if (builder == NULL || m_Descriptor == NULL) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = TakeIdentity(m_Descriptor[kSelectorPinCountOffset], m_Descriptor + kSelectorPinCountOffset + 1);
    if (!NT_SUCCESS(status)) return status;
    ULONG nextId = builder->GetUnitCount();
    IUnknown* self = static_cast<IMuxUnit*>(this);
    PDEVICE_OBJECT settings = builder->GetDeviceObject();
    return CreateNode<CSelectorNode>(builder, UAC2_NODE_TAG, &nextId, false, [self, settings](CSelectorNode* node) {
        return node->InitFromEntity(self, settings);
    });
}

NTSTATUS CUac2SelectorUnit::GetValue(ULONG* input) {
    if (input == NULL || !IsSubtype(m_Descriptor, kSelectorSubtype)) return STATUS_INVALID_PARAMETER;
    UCHAR byte = 0;
    NTSTATUS status = SendRequest(UAC2_SU_GET_CUR, 0, &byte, 1);
    if (NT_SUCCESS(status)) *input = byte;
    return status;
}

NTSTATUS CUac2SelectorUnit::SetValue(ULONG input) {
    if (!IsSubtype(m_Descriptor, kSelectorSubtype) || input == 0 || input > m_Descriptor[kSelectorPinCountOffset])
        return STATUS_INVALID_PARAMETER;
    UCHAR byte = (UCHAR)input;
    return SendRequest(UAC2_SU_SET_CUR, 0, &byte, 1);
}

// ---- CUac2Unit ----

NTSTATUS CUac2Unit::InitMixerUnit(const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {
    return InitUnit(descriptor, device, builder, kMixerSubtype, kMixerPinCountOffset, kMixerFixedBytes);
}

NTSTATUS CUac2Unit::InitExtensionUnit(const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {
    return InitUnit(descriptor, device, builder, kExtensionSubtype, kExtensionPinCountOffset, kExtensionFixedBytes);
}

NTSTATUS CUac2Unit::InitUnit(const BYTE* descriptor, IUnknown* device, IAudioHal* builder, UCHAR subtype,
                             ULONG pinCountOffset, ULONG fixedBytes) {
    NTSTATUS status = CheckUnitWithSources(descriptor, device, builder, subtype, pinCountOffset, fixedBytes);
    if (!NT_SUCCESS(status)) return status;
    m_PinCountOffset = pinCountOffset;
    return InitEntity(this, descriptor, device, builder);
}

NTSTATUS CUac2Unit::CreateNodes(IAudioHal* builder) {
    if (builder == NULL || m_Descriptor == NULL) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = TakeIdentity(m_Descriptor[m_PinCountOffset], m_Descriptor + m_PinCountOffset + 1);
    if (!NT_SUCCESS(status)) return status;
    ULONG nextId = builder->GetUnitCount();
    IUnknown* self = static_cast<IUacUnit*>(this);
    return CreateNode<CMixerNode>(builder, UAC2_NODE_TAG, &nextId, false,
                                  [self](CMixerNode* node) { return node->InitFromEntity(self); });
}

// The remapped family's entities.
#include "topology/remap_entities.h"

#include "adapter/settings.h"
#include "nt/pool.h"
#include "topology/chip_registers_registry.h"
#include "topology/db_curves.h"
#include "topology/interface_ref.h"
#include "topology/node_settings.h"
#include "topology/remap_nodes.h"
#include "topology/terminal_nodes.h"

namespace {

constexpr UCHAR kFeatureUnitSubtype = 6;
constexpr UCHAR kSelectorSubtype = 5;
constexpr ULONG kPinCountOffset = 4;
constexpr ULONG kSourcesOffset = 5;
constexpr ULONG kOutputSourceOffset = 7;
constexpr ULONG kMaxSelectorInputs = 7;
constexpr USHORT kDeviceSilence = 0x8000;
constexpr LONG kMinusInfinity = (LONG)0x80000000;
constexpr LONG kLevelPer256 = 256;     // 1/65536 dB per 1/256 dB
constexpr LONG kLevelPerQuarter = 16384;  // 1/65536 dB per 1/4 dB
constexpr LONG kScaledStep = 0x18000;  // 1.5 dB
constexpr LONG kCurveStep = 0x4000;    // 1/4 dB

// LED: register 1, 0x30 lit, 0x10 dark.
constexpr ULONG kLedRegister = 1;
constexpr USHORT kLedMask = 0x30;
constexpr USHORT kLedOn = 0x30;
constexpr USHORT kLedOff = 0x10;

// Holds a CMutexLock for one scope.
class CHold {
public:
    explicit CHold(CMutexLock& lock) : m_Lock(lock) { m_Lock.Lock(); }
    ~CHold() { m_Lock.Unlock(); }
    CHold(const CHold&) = delete;
    CHold& operator=(const CHold&) = delete;

private:
    CMutexLock& m_Lock;
};

bool IsTone(ULONG cs) { return cs == UAC_CS_BASS || cs == UAC_CS_MID || cs == UAC_CS_TREBLE; }
LONG FloorDiv(LONG value, LONG divisor) {
    LONG q = value / divisor;
    return (value % divisor != 0 && value < 0) ? q - 1 : q;
}
SHORT Le16s(const UCHAR* p) { return (SHORT)(USHORT)(p[0] | p[1] << 8); }

// The output types: registers 2, 1 and 0, each value under its mask.
struct OUTPUT_TYPE_REGISTERS {
    ULONG Type;
    USHORT Register2, Register1, Register0;
};
constexpr OUTPUT_TYPE_REGISTERS kTypeRegisters[] = {
    {ENDPOINT_SPK, 0xE000, 0x0002, 0x0000},
    {ENDPOINT_HP, 0xFFE0, 0x0002, 0x0000},
    {ENDPOINT_SPDIF, 0xE7F8, 0x0000, 0x8000},
};
constexpr USHORT kRegister1TypeMask = 0x0002;
constexpr USHORT kRegister0TypeMask = 0x8000;

// Jack records of each type: ChannelMapping, Color, ConnectionType,
// GeoLocation, GenLocation, PortConnection.
struct JACK_ROW {
    ULONG Type;
    ULONG ChannelMapping, Color, ConnectionType;
    BOOLEAN EightChannelsOnly;
};
constexpr JACK_ROW kJackRows[] = {
    {ENDPOINT_SPK, 0x3, 0x00FF00, 1, FALSE},   {ENDPOINT_SPK, 0xC, 0xFF8000, 1, FALSE},
    {ENDPOINT_SPK, 0x30, 0x000000, 1, FALSE},  {ENDPOINT_SPK, 0x600, 0x000000, 1, TRUE},
    {ENDPOINT_HP, 0x3, 0x00FF00, 1, FALSE},    {ENDPOINT_SPDIF, 0x3, 0x000000, 5, FALSE},
};

// Selector codes by source id.
UCHAR SelectorCode(UCHAR source) {
    switch (source) {
    case 8: return 1;
    case 15: return 2;
    case 16: return 3;
    case 2: return 4;
    default: return 0;
    }
}

}  // namespace

const DB_SCALE_ROW DB_SCALE_A = {2, 0x000F, FALSE};
const DB_SCALE_ROW DB_SCALE_B = {8, 0x00FF, TRUE};

// ---- CFeatureUnitDbScale -------------------------------------------------------------

// Multiplies, never shifts a negative value; 64-bit so no level overflows.
LONG CFeatureUnitDbScale::ToSystem(LONG level) const {
    if (level == kMinusInfinity) return level;
    const LONGLONG x = level;
    return (LONG)(x >= 0 ? 3 * x : (3 * x) / m_Scale->Divisor);
}

LONG CFeatureUnitDbScale::ToDevice(LONG level) const {
    if (level == kMinusInfinity) return level;
    const LONGLONG y = level;
    return (LONG)(y >= 0 ? y / 3 : (m_Scale->Divisor * y) / 3);
}

NTSTATUS CFeatureUnitDbScale::GetLevel(ULONG cs, ULONG channelIndex, LONG* level) {
    NTSTATUS status = CUacFeatureUnit::GetLevel(cs, channelIndex, level);
    if (NT_SUCCESS(status)) *level = ToSystem(*level);
    return status;
}

NTSTATUS CFeatureUnitDbScale::SetLevel(ULONG cs, ULONG channelIndex, LONG level) {
    return CUacFeatureUnit::SetLevel(cs, channelIndex, ToDevice(level));
}

// The range in the device's 16-bit arithmetic, as the family's driver has
// always scaled it: 3x can wrap for minima below about -42.7 dB.
NTSTATUS CFeatureUnitDbScale::GetLevelRange(ULONG cs, LONG* maximum, LONG* minimum, LONG* step) {
    if (maximum == NULL || minimum == NULL || step == NULL || m_Descriptor == NULL ||
        m_Descriptor[1] != UAC_CS_INTERFACE || m_Descriptor[2] != kFeatureUnitSubtype)
        return STATUS_INVALID_PARAMETER;
    ULONG count = 0;
    NTSTATUS status = ChannelCount(cs, &count);
    if (!NT_SUCCESS(status)) return status;
    ULONG ch = 0;
    for (ULONG k = 1; k <= count && ch == 0; ++k) ch = EntryHasControl(cs, k) ? k : 0;
    const UAC_REQUEST requests[3] = {UAC1_FU_GET_MAX, UAC1_FU_GET_MIN, UAC1_FU_GET_RES};
    const bool bytes = m_Scale->ToneRangeAsBytes && IsTone(cs);
    SHORT values[3];
    for (ULONG i = 0; i < 3; ++i) {
        UCHAR answer[2] = {};
        status = SendRequest(requests[i], (USHORT)(cs << 8 | ch), answer, bytes ? 1 : 2);
        if (!NT_SUCCESS(status)) return status;
        values[i] = bytes ? (SHORT)(signed char)answer[0] : Le16s(answer);
    }
    if (bytes) {
        *maximum = values[0] * kLevelPerQuarter;
        *minimum = values[1] * kLevelPerQuarter;
        *step = values[2] * kLevelPerQuarter;
        return STATUS_SUCCESS;
    }
    auto scale16 = [this](SHORT x) -> LONG {
        const SHORT tripled = (SHORT)(x * 3);
        return (x >= 0 ? tripled : (SHORT)(tripled / m_Scale->Divisor)) * kLevelPer256;
    };
    *maximum = scale16((SHORT)(values[0] & ~m_Scale->MaximumClearBits));
    *minimum = scale16(values[1]);
    *step = kScaledStep;
    return STATUS_SUCCESS;
}

// ---- node-making feature units ---------------------------------------------------------

namespace {

// The processed volume node takes its entity through Init; the other
// control nodes through InitFromEntity.
template <class Node>
NTSTATUS InitControlNode(Node* node, IUnknown* entity, ULONG cs, PDEVICE_OBJECT settings) {
    return node->InitFromEntity(entity, cs, settings);
}

NTSTATUS InitControlNode(CProcessedVolumeNode* node, IUnknown* entity, ULONG cs, PDEVICE_OBJECT settings) {
    return node->Init(entity, cs, settings);
}

// Initialises a control node of the remapped units from its entity.
constexpr auto kInitControlNode = [](auto* node, IUnknown* entity, ULONG cs, PDEVICE_OBJECT settings) {
    return InitControlNode(node, entity, cs, settings);
};

}  // namespace

NTSTATUS CFeatureUnitDbScaleBNodes::CreateNodes(IAudioHal* builder) {
    ULONG nextId = 0;
    NTSTATUS status = BeginNodes(builder, &nextId);
    if (!NT_SUCCESS(status)) return status;
    return CreateMuteAndVolumeNodes<CProcessedSoftMuteNode, CVolumeNode>(builder, REMAP_NODE_TAG, nextId, kInitControlNode);
}

NTSTATUS CFeatureUnitDbScaleBLedMute::Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {
    NTSTATUS status = CheckEntityDescriptor(descriptor, device, builder, kFeatureUnitSubtype, 6);
    if (NT_SUCCESS(status)) status = CheckControlLayout(descriptor, device);
    if (NT_SUCCESS(status)) status = SetDescriptor(descriptor, device);
    if (NT_SUCCESS(status)) status = CUacFeatureUnit::CreateNodes(builder);
    if (!NT_SUCCESS(status)) return status;
    ULONG nextId = builder->GetUnitCount();
    IUnknown* self = static_cast<IBoolControl*>(this);
    PDEVICE_OBJECT settings = builder->GetDeviceObject();
    status = CreateNode<CLedMuteNode>(builder, REMAP_NODE_TAG, &nextId, false,
                                      [self, settings, builder](CLedMuteNode* node) {
                                          return node->Init(self, settings, builder);
                                      });
    if (NT_SUCCESS(status)) ChainNodes();
    return status;
}

NTSTATUS CFeatureUnitMuteOnly::CreateNodes(IAudioHal* builder) {
    ULONG nextId = 0;
    NTSTATUS status = BeginNodes(builder, &nextId);
    if (!NT_SUCCESS(status)) return status;
    IUnknown* self = static_cast<IBoolControl*>(this);
    PDEVICE_OBJECT settings = builder->GetDeviceObject();
    return CreateNode<CProcessedMuteNodeEx>(builder, REMAP_NODE_TAG, &nextId, false,
                                            [self, settings](CProcessedMuteNodeEx* node) {
                                                return node->InitFromEntity(self, UAC_CS_MUTE, settings);
                                            });
}

// ---- CFeatureUnitFixedBit ------------------------------------------------------------------

NTSTATUS CFeatureUnitFixedBit::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (out != NULL && IsEqualGUID(iid, IID_IMuteOrBits)) return ReturnInterface(static_cast<IMuteOrBits*>(this), out);
    return CFeatureUnitDbScaleA::NonDelegatingQueryInterface(iid, out);
}

NTSTATUS CFeatureUnitFixedBit::GetBool(ULONG cs, ULONG channelIndex, UCHAR* value) {
    if (channelIndex != 0 || value == NULL) return STATUS_INVALID_PARAMETER;
    UCHAR byte = 0;
    CHold hold(m_BitsLock);
    NTSTATUS status = SendRequest(UAC1_FU_GET_CUR_SWITCH, (USHORT)(cs << 8), &byte, 1);
    if (NT_SUCCESS(status)) *value = m_CachedMute = byte;
    return status;
}

NTSTATUS CFeatureUnitFixedBit::SetBool(ULONG cs, ULONG channelIndex, UCHAR value) {
    if (channelIndex != 0) return STATUS_INVALID_PARAMETER;
    CHold hold(m_BitsLock);
    m_CachedMute = value;
    UCHAR sent = (UCHAR)(value | m_MuteOrBits);
    return SendRequest(UAC1_FU_SET_CUR_SWITCH, (USHORT)(cs << 8), &sent, 1);
}

NTSTATUS CFeatureUnitFixedBit::SetMuteOrBits(BYTE bits) {
    CHold hold(m_BitsLock);
    m_MuteOrBits = bits;
    return SetBool(UAC_CS_MUTE, 0, m_CachedMute);
}

// ---- CFeatureUnitMuteLed -------------------------------------------------------------------

SHORT CFeatureUnitMuteLed::CurveToLevel(SHORT device) {
    for (ULONG i = 1; i < DB_CURVE_TABLE_39_POINTS; ++i)
        if (device > DB_CURVE_TABLE_39[i].Device) return DB_CURVE_TABLE_39[i - 1].Level;
    return device;
}

// Above entry 0's level the loudest device value is sent: the table is
// never read before its start.
SHORT CFeatureUnitMuteLed::CurveToDevice(LONG v) {
    for (ULONG i = 0; i < DB_CURVE_TABLE_39_POINTS; ++i) {
        if (v > DB_CURVE_TABLE_39[i].Level) return DB_CURVE_TABLE_39[i == 0 ? 0 : i - 1].Device;
        if (v == DB_CURVE_TABLE_39[i].Level) return DB_CURVE_TABLE_39[i].Device;
    }
    return (SHORT)v;
}

NTSTATUS CFeatureUnitMuteLed::Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {
    NTSTATUS status = CheckEntityDescriptor(descriptor, device, builder, kFeatureUnitSubtype, 6);
    if (NT_SUCCESS(status)) status = CheckControlLayout(descriptor, device);
    if (!NT_SUCCESS(status)) return status;
    m_pModel = QueryChipRegisters(builder);
    status = SetDescriptor(descriptor, device);
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT settings = builder->GetDeviceObject();
    UCHAR need = 0, reverse = 0;
    SettingsBinaryValue(settings, SETTINGS_OP_READ, &need, 1, u"NeedMuteLED");
    SettingsBinaryValue(settings, SETTINGS_OP_READ, &reverse, 1, u"ReverseMuteLED");
    m_bNeedMuteLed = need;
    m_bReverseMuteLed = reverse;
    status = CreateNodes(builder);
    if (NT_SUCCESS(status)) ChainNodes();
    return status;
}

NTSTATUS CFeatureUnitMuteLed::SetBool(ULONG cs, ULONG channelIndex, UCHAR value) {
    NTSTATUS status = CUacFeatureUnit::SetBool(cs, channelIndex, value);
    if (!NT_SUCCESS(status) || !m_bNeedMuteLed || m_pModel == NULL) return status;
    bool on = value != 0;
    if (m_bReverseMuteLed == 1) on = !on;
    m_pModel->WriteChipRegister(kLedRegister, on ? kLedOn : kLedOff, kLedMask);
    return status;
}

NTSTATUS CFeatureUnitMuteLed::CreateNodes(IAudioHal* builder) {
    ULONG nextId = 0;
    NTSTATUS status = BeginNodes(builder, &nextId);
    if (!NT_SUCCESS(status)) return status;
    return CreateMuteAndVolumeNodes<CProcessedMuteNode, CProcessedVolumeNode>(builder, REMAP_NODE_TAG, nextId,
                                                                               kInitControlNode);
}

NTSTATUS CFeatureUnitMuteLed::GetLevel(ULONG cs, ULONG channelIndex, LONG* level) {
    ULONG ch = 0;
    NTSTATUS status = DeviceChannel(cs, channelIndex, &ch);
    if (!NT_SUCCESS(status) || level == NULL) return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
    UCHAR answer[2] = {};
    const bool tone = IsTone(cs);
    status = SendRequest(UAC1_FU_GET_CUR_LEVEL, (USHORT)(cs << 8 | ch), answer, tone ? 1 : 2);
    if (!NT_SUCCESS(status)) return status;
    if (tone) {
        *level = (signed char)answer[0] * kLevelPerQuarter;
    } else {
        const SHORT device = Le16s(answer);
        *level = (USHORT)device == kDeviceSilence ? kMinusInfinity : CurveToLevel(device) * kLevelPer256;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CFeatureUnitMuteLed::SetLevel(ULONG cs, ULONG channelIndex, LONG level) {
    ULONG ch = 0;
    NTSTATUS status = DeviceChannel(cs, channelIndex, &ch);
    if (!NT_SUCCESS(status)) return status;
    UCHAR bytes[2];
    ULONG width = 2;
    if (IsTone(cs)) {
        bytes[0] = (UCHAR)FloorDiv(level, kLevelPerQuarter);
        width = 1;
    } else {
        const USHORT word = level == kMinusInfinity ? kDeviceSilence : (USHORT)CurveToDevice(FloorDiv(level, kLevelPer256));
        bytes[0] = (UCHAR)word;
        bytes[1] = (UCHAR)(word >> 8);
    }
    return SendRequest(UAC1_FU_SET_CUR_LEVEL, (USHORT)(cs << 8 | ch), bytes, width);
}

NTSTATUS CFeatureUnitMuteLed::GetLevelRange(ULONG cs, LONG* maximum, LONG* minimum, LONG* step) {
    if (maximum == NULL || minimum == NULL || step == NULL || m_Descriptor == NULL ||
        m_Descriptor[1] != UAC_CS_INTERFACE || m_Descriptor[2] != kFeatureUnitSubtype)
        return STATUS_INVALID_PARAMETER;
    ULONG count = 0;
    NTSTATUS status = ChannelCount(cs, &count);
    if (!NT_SUCCESS(status)) return status;
    const UAC_REQUEST requests[3] = {UAC1_FU_GET_MAX, UAC1_FU_GET_MIN, UAC1_FU_GET_RES};
    SHORT values[3];
    for (ULONG i = 0; i < 3; ++i) {
        UCHAR answer[2] = {};
        status = SendRequest(requests[i], (USHORT)(cs << 8 | 1), answer, 2);
        if (!NT_SUCCESS(status)) return status;
        values[i] = Le16s(answer);
    }
    *maximum = CurveToLevel(values[0]) * kLevelPer256;
    *minimum = CurveToLevel(values[1]) * kLevelPer256;
    *step = kCurveStep;
    return STATUS_SUCCESS;
}

// ---- CUacInputTerminalEx ----------------------------------------------------------------

NTSTATUS CUacInputTerminalEx::CreateNodes(IAudioHal* builder) {
    if (builder == NULL || m_Descriptor == NULL) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = TakeIdentity(0, NULL);
    if (!NT_SUCCESS(status)) return status;
    ULONG nextId = builder->GetUnitCount();
    ENDPOINT_CAPS caps = {};
    builder->GetEndpointCapabilities(TRUE, InputTerminalTypeToEndpointType(TerminalType()), &caps);
    IUnknown* self = static_cast<ITerminal*>(this);
    return CreateNode<CInputPinNode>(builder, REMAP_NODE_TAG, &nextId, false,
                                     [self, &caps](CInputPinNode* pin) { return pin->InitFromEntity(self, &caps); });
}

// ---- CSelectableOutputTerminal -----------------------------------------------------------

CSelectableOutputTerminal::CSelectableOutputTerminal(PUNKNOWN outer, ULONG index)
    : CUacOutputTerminal(outer, index), m_Types(), m_TypeChoices(0), m_pModel(NULL), m_bEightChannels(FALSE) {
    m_CurrentType = ENDPOINT_SPK;
}

NTSTATUS CSelectableOutputTerminal::Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder, BOOLEAN spdif,
                                         BOOLEAN headphones, BOOLEAN eightChannels) {
    if (descriptor == NULL || device == NULL || builder == NULL) return STATUS_INVALID_PARAMETER;
    m_TypeChoices = 0;
    m_Types[m_TypeChoices++] = ENDPOINT_SPK;
    if (headphones) m_Types[m_TypeChoices++] = ENDPOINT_HP;
    if (spdif) m_Types[m_TypeChoices++] = ENDPOINT_SPDIF;
    m_pModel = QueryChipRegisters(builder);
    m_bEightChannels = eightChannels;
    NTSTATUS status = CUacOutputTerminal::Init(descriptor, device, builder);
    WriteTypeRegisters(m_CurrentType);
    return status;
}

NTSTATUS CSelectableOutputTerminal::CreateNodes(IAudioHal* builder) {
    if (builder == NULL || m_Descriptor == NULL) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = TakeIdentity(1, m_Descriptor + kOutputSourceOffset);
    if (!NT_SUCCESS(status)) return status;
    status = AllocTypeArrays(m_TypeChoices);
    if (!NT_SUCCESS(status)) return status;
    for (ULONG i = 0; i < m_TypeChoices; ++i) m_TypeList[i].Type = m_Types[i];
    // A stored type counts only when this terminal offers it.
    ULONG stored = ENDPOINT_SPK;
    m_CurrentType = ENDPOINT_SPK;
    if (NT_SUCCESS(ReadTerminalType(builder->GetDeviceObject(), EntityId(), &stored)) && TypeIndex(stored) >= 0)
        m_CurrentType = stored;
    return CreateTypeNodes(builder, REMAP_NODE_TAG);
}

void CSelectableOutputTerminal::WriteTypeRegisters(ULONG type) {
    if (m_pModel == NULL) return;
    for (const OUTPUT_TYPE_REGISTERS& row : kTypeRegisters) {
        if (row.Type != type) continue;
        m_pModel->WriteChipRegister(2, row.Register2, 0xFFFF);
        m_pModel->WriteChipRegister(1, row.Register1, kRegister1TypeMask);
        m_pModel->WriteChipRegister(0, row.Register0, kRegister0TypeMask);
    }
}

NTSTATUS CSelectableOutputTerminal::SelectType(ULONG type) {
    InterfaceRef<IAudioHal> hal(m_Device, IID_IAudioHal);
    if (hal.get() == NULL) return hal.status();
    if (TypeIndex(type) < 0) return STATUS_UNSUCCESSFUL;
    m_CurrentType = type;
    WriteTypeRegisters(type);
    WriteTerminalType(hal->GetDeviceObject(), EntityId(), type);
    return STATUS_SUCCESS;
}

// The records of a type into out (when not NULL); their count.
ULONG CSelectableOutputTerminal::JackRecords(ULONG type, JACK_INFO* out) const {
    ULONG n = 0;
    for (const JACK_ROW& row : kJackRows) {
        if (row.Type != type || (row.EightChannelsOnly && !m_bEightChannels)) continue;
        if (out != NULL) {
            JACK_INFO& r = out[n];
            r.ChannelMapping = row.ChannelMapping;
            r.Color = row.Color;
            r.ConnectionType = row.ConnectionType;
            r.GeoLocation = 1;
            r.GenLocation = 0;
            r.PortConnection = 0;
            r.IsConnected = type == m_CurrentType ? 1 : 0;
        }
        ++n;
    }
    return n;
}

NTSTATUS CSelectableOutputTerminal::GetJackCount(ULONG* count, ULONG typeIndex) {
    if (count == NULL) return STATUS_INVALID_PARAMETER;
    *count = typeIndex < m_TypeCount ? JackRecords(m_TypeList[typeIndex].Type, NULL) : 0;
    return STATUS_SUCCESS;
}

NTSTATUS CSelectableOutputTerminal::GetJackInfo(ULONG bufferSize, JACK_INFO* records, ULONG typeIndex) {
    if (records == NULL || bufferSize == 0) return STATUS_INVALID_PARAMETER;
    const ULONG type = typeIndex < m_TypeCount ? m_TypeList[typeIndex].Type : 0;
    const ULONG count = JackRecords(type, NULL);
    if (bufferSize < count * sizeof(JACK_INFO)) return STATUS_BUFFER_TOO_SMALL;
    InterfaceRef<IAudioHal> hal(m_Device, IID_IAudioHal);
    const ULONG everyConnected = hal.get() != NULL ? ReadSettingsSwitch(hal->GetDeviceObject(), u"SetJackConnect") : 0;
    JackRecords(type, records);
    if (everyConnected != 0)
        for (ULONG i = 0; i < count; ++i) records[i].IsConnected = 1;
    return STATUS_SUCCESS;
}

NTSTATUS CSelectableOutputTerminal::OnControlChange(ULONG, ULONG, ULONG* nodeId) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PVOID data = NULL;
    POSITION pos = m_Nodes != NULL ? m_Nodes->GetHeadPosition() : NULL;
    while (m_Nodes != NULL && m_Nodes->GetNext(pos, &data)) {
        IUacUnit* node = static_cast<IUacUnit*>(data);
        if (node->GetKind() != UNIT_KIND_OUTPUT_PIN) continue;
        if (nodeId != NULL) *nodeId = node->GetId();
        node->ReadBack();
        status = STATUS_SUCCESS;
    }
    return status;
}

// ---- CUacSelectorUnitEx -----------------------------------------------------------------------

NTSTATUS CUacSelectorUnitEx::CreateNodes(IAudioHal* builder) {
    if (m_Descriptor == NULL) return STATUS_INVALID_PARAMETER;
    const ULONG inputs = m_Descriptor[kPinCountOffset];
    if (inputs > kMaxSelectorInputs) {
        LogEntityRefusal(m_Descriptor, m_Device, "the codec's selector takes at most 7 inputs");
        return STATUS_INVALID_PARAMETER;
    }
    // The codes exist before the selector node reads the device's input.
    for (ULONG i = 1; i <= inputs; ++i) m_InputCodes[i] = SelectorCode(m_Descriptor[kSourcesOffset + i - 1]);
    NTSTATUS status = CUacSelectorUnit::CreateNodes(builder);
    if (NT_SUCCESS(status)) SetValue(1);
    return status;
}

NTSTATUS CUacSelectorUnitEx::SendCode(UCHAR code) { return SendRequest(UAC1_SU_SET_CUR, 0, &code, 1); }

NTSTATUS CUacSelectorUnitEx::GetValue(ULONG* input) {
    ULONG device = 0;
    NTSTATUS status = CUacSelectorUnit::GetValue(&device);
    if (!NT_SUCCESS(status)) return status;
    const ULONG inputs = m_Descriptor[kPinCountOffset];
    for (ULONG i = 1; i <= inputs; ++i) {
        if (m_InputCodes[i] == device) {
            *input = i;
            return STATUS_SUCCESS;
        }
    }
    *input = 1;
    SendCode(m_InputCodes[1]);
    return STATUS_SUCCESS;
}

NTSTATUS CUacSelectorUnitEx::SetValue(ULONG input) {
    if (m_Descriptor == NULL || m_Descriptor[1] != UAC_CS_INTERFACE || m_Descriptor[2] != kSelectorSubtype ||
        input == 0 || input > m_Descriptor[kPinCountOffset])
        return STATUS_INVALID_PARAMETER;
    return SendCode(m_InputCodes[input]);
}

// Feature units and terminals of UAC 1.0 chip families A and B.
#include "topology/fixed_range_feature_unit.h"

#include "nt/pool.h"
#include "topology/db_curves.h"
#include "topology/level_nodes.h"
#include "topology/switch_nodes.h"
#include "topology/terminal_nodes.h"

namespace {

constexpr UCHAR kFeatureUnitSubtype = 6;
constexpr ULONG kSourceIdOffset = 4;
constexpr ULONG kOutputSourceOffset = 7;
constexpr USHORT kDeviceMinusInfinity = 0x8000;
// One level step of a 1/256 dB device value, and of a 1/4 dB tone byte.
constexpr LONG kWordUnit = 256;
constexpr LONG kByteUnit = 16384;
constexpr LONG kOneDb = 0x10000;
constexpr LONG kStep1_5Db = 0x18000;

bool IsTone(ULONG cs) { return cs == UAC_CS_BASS || cs == UAC_CS_MID || cs == UAC_CS_TREBLE; }

// Division rounding toward minus infinity (an arithmetic right shift by a
// power of two, without shifting a negative value).
LONG FloorDiv(LONG value, LONG divisor) {
    const LONG q = value / divisor;
    return (value % divisor != 0 && (value < 0) != (divisor < 0)) ? q - 1 : q;
}

USHORT Word(LONG value) { return (USHORT)(ULONG)value; }

// ---- conversions ---------------------------------------------------------------

// Unit 9 of family A: the first curve point below the device value names
// the level of the point above it; below the curve the value is its own
// level.
LONG A9ToLevel(SHORT e) {
    for (ULONG i = 1; i < DB_CURVE_TABLE_38_POINTS; ++i)
        if (e > DB_CURVE_TABLE_38[i].Device) return DB_CURVE_TABLE_38[i - 1].Level * kWordUnit;
    return e * kWordUnit;
}

USHORT A9ToDevice(LONG level) {
    const LONG v = FloorDiv(level, kWordUnit);
    for (ULONG i = 0; i < DB_CURVE_TABLE_38_POINTS; ++i)
        if (v >= DB_CURVE_TABLE_38[i].Level) return Word(DB_CURVE_TABLE_38[i].Device);
    return Word(v);
}

// n: the signed high byte of the device value; the device gets n x 256.
LONG HighByte(SHORT e) { return FloorDiv(e, kWordUnit); }

LONG A13ToLevel(SHORT e) { return (HighByte(e) + 4) * 384 * kWordUnit; }
USHORT A13ToDevice(LONG level) { return Word(((level + 0x240000) / kStep1_5Db - 28) * kWordUnit); }

LONG A10ToLevel(SHORT e) { return (HighByte(e) * 384 + 0x680) * kWordUnit; }
USHORT A10ToDevice(LONG level) { return Word(((level - 0x60000) / kStep1_5Db - 15) * kWordUnit); }

LONG B9ToLevel(SHORT e) { return ((e + 16) / 192) * kOneDb; }
USHORT B9ToDevice(LONG level) { return Word(-16 - 192 * FloorDiv(-level, kOneDb)); }

LONG B13ToLevel(SHORT e) { return ((e - 3456) / 384) * kStep1_5Db; }
USHORT B13ToDevice(LONG level) { return Word((LONG)(384u * (((ULONG)level + 0xD8000u) / (ULONG)kStep1_5Db))); }

LONG B10ToLevel(SHORT e) { return e * kWordUnit; }
USHORT B10ToDevice(LONG level) { return Word(FloorDiv(level, kWordUnit)); }

}  // namespace

const FIXED_RANGE_ROW FIXED_RANGE_A9 = {0, (LONG)0xFFDF0000, 0x2000, A9ToLevel, A9ToDevice, TRUE, TRUE};
const FIXED_RANGE_ROW FIXED_RANGE_A10 = {0x00210000, (LONG)0xFFFA0000, 0x18000, A10ToLevel, A10ToDevice, TRUE, TRUE};
const FIXED_RANGE_ROW FIXED_RANGE_A13 = {0x00168000, (LONG)0xFFDC0000, 0x18000, A13ToLevel, A13ToDevice, TRUE, TRUE};
const FIXED_RANGE_ROW FIXED_RANGE_B9 = {0, (LONG)0xFFDB0000, 0x10000, B9ToLevel, B9ToDevice, FALSE, FALSE};
const FIXED_RANGE_ROW FIXED_RANGE_B10 = {0x00168000, 0, 0x18000, B10ToLevel, B10ToDevice, TRUE, FALSE};
const FIXED_RANGE_ROW FIXED_RANGE_B13 = {0x00090001, (LONG)0xFFF28000, 0x18000, B13ToLevel, B13ToDevice, FALSE,
                                         FALSE};

CUac1FixedRangeFeatureUnit::CUac1FixedRangeFeatureUnit(PUNKNOWN outer, ULONG index, const FIXED_RANGE_ROW* row)
    : CUacFeatureUnit(outer, index), m_Row(row) {}

NTSTATUS CUac1FixedRangeFeatureUnit::InitA(const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {
    return InitWithTag(descriptor, device, builder, CHIP_A_NODE_TAG);
}

NTSTATUS CUac1FixedRangeFeatureUnit::InitB(const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {
    return InitWithTag(descriptor, device, builder, CHIP_B_TAG);
}

NTSTATUS CUac1FixedRangeFeatureUnit::InitWithTag(const BYTE* descriptor, IUnknown* device, IAudioHal* builder,
                                                 ULONG nodeTag) {
    NTSTATUS status = CheckEntityDescriptor(descriptor, device, builder, kFeatureUnitSubtype, kSourceIdOffset + 2);
    if (NT_SUCCESS(status)) status = CheckControlLayout(descriptor, device);
    if (NT_SUCCESS(status)) status = SetDescriptor(descriptor, device);
    if (!NT_SUCCESS(status)) return status;
    m_NodeTag = nodeTag;
    status = CreateNodes(builder);
    if (NT_SUCCESS(status)) ChainNodes();
    return status;
}

NTSTATUS CUac1FixedRangeFeatureUnit::CreateNodesA(IAudioHal* builder) {
    m_NodeTag = CHIP_A_NODE_TAG;
    return CreateNodes(builder);
}

NTSTATUS CUac1FixedRangeFeatureUnit::CreateNodesB(IAudioHal* builder) {
    m_NodeTag = CHIP_B_TAG;
    return CreateNodes(builder);
}

NTSTATUS CUac1FixedRangeFeatureUnit::CreateNodes(IAudioHal* builder) {
    if (builder == NULL || m_Descriptor == NULL) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = TakeIdentity(1, m_Descriptor + kSourceIdOffset);
    if (!NT_SUCCESS(status)) return status;
    ULONG nextId = builder->GetUnitCount();
    if (!HasControl(UAC_CS_MUTE)) {
        LogEntityRefusal(m_Descriptor, m_Device, "a feature unit needs a mute control");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const ULONG order[] = {UAC_CS_MUTE, UAC_CS_VOLUME, UAC_CS_BASS, UAC_CS_MID, UAC_CS_TREBLE, UAC_CS_AGC,
                           UAC_CS_LOUDNESS};
    for (ULONG i = 0; i < sizeof(order) / sizeof(order[0]) && NT_SUCCESS(status); ++i)
        if (HasControl(order[i])) status = CreateControlNode(builder, order[i], &nextId);
    return status;
}

// ---- switches: channel 0 only -----------------------------------------------------

NTSTATUS CUac1FixedRangeFeatureUnit::GetBoolChannelCount(ULONG, ULONG* count) {
    if (count == NULL || m_Descriptor == NULL || m_Descriptor[1] != UAC_CS_INTERFACE ||
        m_Descriptor[2] != kFeatureUnitSubtype)
        return STATUS_INVALID_PARAMETER;
    *count = 1;
    return STATUS_SUCCESS;
}

NTSTATUS CUac1FixedRangeFeatureUnit::GetBool(ULONG cs, ULONG channelIndex, UCHAR* value) {
    if (channelIndex != 0 || value == NULL) return STATUS_INVALID_PARAMETER;
    UCHAR byte = 0;
    NTSTATUS status = SendRequest(UAC1_FU_GET_CUR_SWITCH, (USHORT)(cs << 8), &byte, 1);
    if (NT_SUCCESS(status)) *value = byte;
    return status;
}

NTSTATUS CUac1FixedRangeFeatureUnit::SetBool(ULONG cs, ULONG channelIndex, UCHAR value) {
    if (channelIndex != 0) return STATUS_INVALID_PARAMETER;
    return SendRequest(UAC1_FU_SET_CUR_SWITCH, (USHORT)(cs << 8), &value, 1);
}

// ---- levels ----------------------------------------------------------------------

NTSTATUS CUac1FixedRangeFeatureUnit::LevelChannel(ULONG cs, ULONG channelIndex, ULONG* channel) {
    ULONG count = 0;
    NTSTATUS status = GetLevelChannelCount(cs, &count);
    if (!NT_SUCCESS(status)) return status;
    if (channelIndex >= count) return STATUS_INVALID_PARAMETER;
    const ULONG ch = count > 1 ? channelIndex + 1 : 0;
    if (!EntryHasControl(cs, ch)) return STATUS_INVALID_PARAMETER;
    *channel = ch;
    return STATUS_SUCCESS;
}

NTSTATUS CUac1FixedRangeFeatureUnit::GetLevel(ULONG cs, ULONG channelIndex, LONG* level) {
    ULONG ch = 0;
    NTSTATUS status = LevelChannel(cs, channelIndex, &ch);
    if (!NT_SUCCESS(status) || level == NULL) return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
    UCHAR bytes[2] = {0, 0};
    const bool byte = IsTone(cs) && m_Row->ToneReadAsByte;
    status = SendRequest(UAC1_FU_GET_CUR_LEVEL, (USHORT)(cs << 8 | ch), bytes, byte ? 1 : 2);
    if (!NT_SUCCESS(status)) return status;
    if (byte) {
        *level = (LONG)(signed char)bytes[0] * kByteUnit;
        return status;
    }
    const USHORT value = (USHORT)(bytes[0] | bytes[1] << 8);
    *level = value == kDeviceMinusInfinity ? LEVEL_MINUS_INFINITY : m_Row->ToLevel((SHORT)value);
    return status;
}

NTSTATUS CUac1FixedRangeFeatureUnit::SetLevel(ULONG cs, ULONG channelIndex, LONG level) {
    ULONG ch = 0;
    NTSTATUS status = LevelChannel(cs, channelIndex, &ch);
    if (!NT_SUCCESS(status)) return status;
    if (IsTone(cs) && m_Row->ToneAsByte) {
        UCHAR byte = (UCHAR)FloorDiv(level, kByteUnit);
        return SendRequest(UAC1_FU_SET_CUR_LEVEL, (USHORT)(cs << 8 | ch), &byte, 1);
    }
    const USHORT value = level == LEVEL_MINUS_INFINITY ? kDeviceMinusInfinity : m_Row->ToDevice(level);
    UCHAR bytes[2] = {(UCHAR)value, (UCHAR)(value >> 8)};
    return SendRequest(UAC1_FU_SET_CUR_LEVEL, (USHORT)(cs << 8 | ch), bytes, 2);
}

// The three range requests must succeed; their answers count only for
// family A's tone controls.
NTSTATUS CUac1FixedRangeFeatureUnit::GetLevelRange(ULONG cs, LONG* maximum, LONG* minimum, LONG* step) {
    if (maximum == NULL || minimum == NULL || step == NULL || m_Descriptor == NULL ||
        m_Descriptor[2] != kFeatureUnitSubtype)
        return STATUS_INVALID_PARAMETER;
    ULONG count = 0;
    NTSTATUS status = GetLevelChannelCount(cs, &count);
    if (!NT_SUCCESS(status)) return status;
    ULONG ch = 0;
    for (ULONG k = 1; k <= count && ch == 0; ++k)
        if (EntryHasControl(cs, k)) ch = k;
    const bool byte = IsTone(cs) && m_Row->ToneAsByte;
    const UAC_REQUEST requests[3] = {UAC1_FU_GET_MAX, UAC1_FU_GET_MIN, UAC1_FU_GET_RES};
    LONG values[3];
    for (ULONG i = 0; i < 3; ++i) {
        UCHAR bytes[2] = {0, 0};
        status = SendRequest(requests[i], (USHORT)(cs << 8 | ch), bytes, byte ? 1 : 2);
        if (!NT_SUCCESS(status)) return status;
        values[i] = (LONG)(signed char)bytes[0] * kByteUnit;
    }
    *maximum = byte ? values[0] : m_Row->Maximum;
    *minimum = byte ? values[1] : m_Row->Minimum;
    *step = byte ? values[2] : m_Row->Step;
    return STATUS_SUCCESS;
}

// ---- terminals ---------------------------------------------------------------------

NTSTATUS CUac1ChipInputTerminal::CreateNodes(IAudioHal* builder) {
    if (builder == NULL || m_Descriptor == NULL) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = TakeIdentity(0, NULL);
    if (!NT_SUCCESS(status)) return status;
    ULONG nextId = builder->GetUnitCount();
    ENDPOINT_CAPS caps = {};
    builder->GetEndpointCapabilities(TRUE, InputTerminalTypeToEndpointType(TerminalType()), &caps);
    IUnknown* self = static_cast<ITerminal*>(this);
    return CreateNode<CInputPinNode>(builder, m_NodeTag, &nextId, false,
                                     [self, &caps](CInputPinNode* pin) { return pin->InitFromEntity(self, &caps); });
}

NTSTATUS CUac1ChipOutputTerminal::CreateNodes(IAudioHal* builder) {
    if (builder == NULL || m_Descriptor == NULL) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = TakeIdentity(1, m_Descriptor + kOutputSourceOffset);
    if (!NT_SUCCESS(status)) return status;
    ULONG nextId = builder->GetUnitCount();
    status = AllocTypeArrays(1);
    if (!NT_SUCCESS(status)) return status;
    m_TypeList[0].UsbType = TerminalType();
    m_TypeList[0].Type = OutputTerminalTypeToEndpointType(TerminalType());
    m_CurrentType = m_TypeList[0].Type;
    ENDPOINT_CAPS caps = {};
    builder->GetEndpointCapabilities(FALSE, m_CurrentType, &caps);
    IUnknown* self = static_cast<ITerminal*>(this);
    return CreateNode<COutputPinNode>(
        builder, m_NodeTag, &nextId, false,
        [self, &caps](COutputPinNode* pin) { return pin->InitFromEntity(self, &caps); }, (ULONG)0);
}

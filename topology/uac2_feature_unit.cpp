// UAC 2.0 feature unit entity.
#include "topology/uac2_feature_unit.h"

#include "nt/pool.h"
#include "topology/level_nodes.h"
#include "topology/switch_nodes.h"

namespace {
constexpr UCHAR kFeatureUnitSubtype = 6;
constexpr ULONG kSourceIdOffset = 4;
constexpr ULONG kControlsOffset = 5;
constexpr ULONG kEntryBytes = 4;
// bLength, type, subtype, id, source, the master entry, iFeature.
constexpr ULONG kMinimumLength = 10;
// The descriptor bytes that are not control entries.
constexpr ULONG kNonEntryBytes = 6;
constexpr ULONG kMemLengthBytes = 2;
// RANGE parameter blocks of one subrange: {wNumSubRanges, MIN, MAX, RES}
// of one byte (tone controls) or two bytes each.
constexpr ULONG kByteRangeBytes = 5;
constexpr ULONG kWordRangeBytes = 8;
// Pair masks of EntryHas.
constexpr ULONG kEither = 3;
constexpr ULONG kReadable = 1;
constexpr ULONG kWritable = 2;

ULONG Le16(const BYTE* p) { return (ULONG)p[0] | (ULONG)p[1] << 8; }
ULONG Le32(const BYTE* p) { return Le16(p) | Le16(p + 2) << 16; }

bool IsByteLevel(ULONG cs) { return cs == UAC_CS_BASS || cs == UAC_CS_MID || cs == UAC_CS_TREBLE; }

// Low bit of the selector's pair, or 32 when it has none (selector 0 and
// class selectors past 16).
ULONG PairShift(ULONG cs) {
    if (cs >= 0x80) return (2 * cs - 2) % 32;
    return cs >= 1 && cs <= 16 ? 2 * cs - 2 : 32;
}

// The node kind a device-reported change of a selector re-reads.
bool NodeKindOf(ULONG cs, ULONG* kind) {
    switch (cs) {
    case UAC_CS_MUTE: *kind = UNIT_KIND_MUTE; return true;
    case UAC_CS_VOLUME:
    case UAC_CS_SOFTWARE_VOLUME: *kind = UNIT_KIND_VOLUME; return true;
    case UAC_CS_BASS: *kind = UNIT_KIND_BASS; return true;
    case UAC_CS_MID: *kind = UNIT_KIND_MID; return true;
    case UAC_CS_TREBLE: *kind = UNIT_KIND_TREBLE; return true;
    case UAC_CS_AGC: *kind = UNIT_KIND_AGC; return true;
    case UAC_CS_LOUDNESS: *kind = UNIT_KIND_LOUDNESS; return true;
    default: return false;
    }
}
}  // namespace

CUac2FeatureUnit::CUac2FeatureUnit(PUNKNOWN outer, ULONG index)
    : CUacEntity(outer, index), m_VendorBlock(NULL), m_VendorLength(0) {}

CUac2FeatureUnit::~CUac2FeatureUnit() {
    if (m_VendorBlock != NULL) ExFreePoolWithTag(m_VendorBlock, UAC2_NODE_TAG);
}

NTSTATUS CUac2FeatureUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    NTSTATUS status = CUacEntity::NonDelegatingQueryInterface(iid, out);
    if (NT_SUCCESS(status) || out == NULL) return status;
    if (IsEqualGUID(iid, IID_IBoolControl)) return ReturnInterface(static_cast<IBoolControl*>(this), out);
    if (IsEqualGUID(iid, IID_ILevelControl)) return ReturnInterface(static_cast<ILevelControl*>(this), out);
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CUac2FeatureUnit::Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {
    NTSTATUS status = CheckEntityDescriptor(descriptor, device, builder, kFeatureUnitSubtype, kMinimumLength);
    if (!NT_SUCCESS(status)) return status;
    status = SetDescriptor(descriptor, device);
    if (!NT_SUCCESS(status)) return status;
    ReadVendorBlock();
    status = CreateNodes(builder);
    if (NT_SUCCESS(status)) ChainNodes();
    return status;
}

// MEM of the block length, then of the block.
NTSTATUS CUac2FeatureUnit::ReadVendorBlock() {
    UCHAR lengthBytes[kMemLengthBytes];
    NTSTATUS status = SendRequest(UAC2_FU_GET_MEM_LENGTH, 0, lengthBytes, sizeof(lengthBytes));
    if (!NT_SUCCESS(status)) return status;
    const ULONG announced = Le16(lengthBytes);
    if (announced < UAC2_VENDOR_BLOCK_ENTRIES_OFFSET) return STATUS_UNSUCCESSFUL;
    BYTE* block = static_cast<BYTE*>(ExAllocatePoolWithTag(NonPagedPoolNx, announced, UAC2_NODE_TAG));
    if (block == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG received = 0;
    status = SendRequest(UAC2_FU_GET_MEM, 0, block, announced, &received);
    ULONG usable = received < announced ? received : announced;
    if (NT_SUCCESS(status) && usable >= UAC2_VENDOR_BLOCK_LENGTH_OFFSET + 2) {
        const ULONG own = Le16(block + UAC2_VENDOR_BLOCK_LENGTH_OFFSET);
        usable = own < usable ? own : usable;
    }
    if (!NT_SUCCESS(status) || usable < UAC2_VENDOR_BLOCK_ENTRIES_OFFSET) {
        ExFreePoolWithTag(block, UAC2_NODE_TAG);
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    m_VendorBlock = block;
    m_VendorLength = usable;
    return STATUS_SUCCESS;
}

ULONG CUac2FeatureUnit::EntryCount() const {
    return m_Descriptor == NULL ? 0 : (m_Descriptor[0] - kNonEntryBytes) / kEntryBytes;
}

ULONG CUac2FeatureUnit::VendorEntryCount() const {
    return m_VendorBlock == NULL ? 0 : (m_VendorLength - UAC2_VENDOR_BLOCK_ENTRIES_OFFSET) / kEntryBytes;
}

ULONG CUac2FeatureUnit::EntryBits(ULONG cs, ULONG entry) const {
    if (cs >= 0x80) {
        return entry < VendorEntryCount()
                   ? Le32(m_VendorBlock + UAC2_VENDOR_BLOCK_ENTRIES_OFFSET + entry * kEntryBytes)
                   : 0;
    }
    return entry < EntryCount() ? Le32(m_Descriptor + kControlsOffset + entry * kEntryBytes) : 0;
}

BOOLEAN CUac2FeatureUnit::EntryHas(ULONG cs, ULONG entry, ULONG pairMask) const {
    const ULONG shift = PairShift(cs);
    return shift < 32 && ((EntryBits(cs, entry) >> shift) & pairMask) != 0;
}

BOOLEAN CUac2FeatureUnit::HasControl(ULONG cs) {
    if (m_Descriptor == NULL) return FALSE;
    const ULONG entries = cs >= 0x80 ? VendorEntryCount() : EntryCount();
    for (ULONG k = 0; k < entries; ++k)
        if (EntryHas(cs, k, kEither)) return TRUE;
    return FALSE;
}

NTSTATUS CUac2FeatureUnit::ChannelCount(ULONG cs, ULONG* count) {
    if (count == NULL || m_Descriptor == NULL) return STATUS_INVALID_PARAMETER;
    if (cs >= 0x80 && m_VendorBlock == NULL) return STATUS_INVALID_PARAMETER;
    const ULONG entries = cs >= 0x80 ? VendorEntryCount() : EntryCount();
    ULONG n = 0;
    for (ULONG k = 1; k < entries; ++k) n += EntryHas(cs, k, kEither) ? 1 : 0;
    if (n == 0 && EntryHas(cs, 0, kEither)) n = 1;
    *count = n;
    return n >= 1 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUac2FeatureUnit::GetBoolChannelCount(ULONG cs, ULONG* count) { return ChannelCount(cs, count); }

NTSTATUS CUac2FeatureUnit::GetLevelChannelCount(ULONG cs, ULONG* count) { return ChannelCount(cs, count); }

// Reads need the readable bit, writes the writable one. A class control
// that only one channel has may sit on the master entry or on channel 1:
// the entry after is tried once (entries past the last have no bits).
// The device channel is the entry itself.
NTSTATUS CUac2FeatureUnit::DeviceChannel(ULONG cs, ULONG channelIndex, BOOLEAN write, ULONG* channel) {
    ULONG count = 0;
    NTSTATUS status = ChannelCount(cs, &count);
    if (!NT_SUCCESS(status)) return status;
    if (channelIndex >= count) return STATUS_INVALID_PARAMETER;
    const ULONG need = write ? kWritable : kReadable;
    ULONG idx = count > 1 ? channelIndex + 1 : channelIndex;
    if (!EntryHas(cs, idx, need)) {
        if (cs >= 0x80 || count != 1 || !EntryHas(cs, idx + 1, need)) return STATUS_INVALID_PARAMETER;
        ++idx;
    }
    *channel = idx;
    return STATUS_SUCCESS;
}

NTSTATUS CUac2FeatureUnit::GetBool(ULONG cs, ULONG channelIndex, UCHAR* value) {
    ULONG ch = 0;
    NTSTATUS status = DeviceChannel(cs, channelIndex, FALSE, &ch);
    if (NT_SUCCESS(status) && value == NULL) status = STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(status)) return status;
    UCHAR byte = 0;
    status = SendRequest(UAC2_FU_GET_CUR_SWITCH, (USHORT)(cs << 8 | ch), &byte, 1);
    if (NT_SUCCESS(status)) *value = byte;
    return status;
}

NTSTATUS CUac2FeatureUnit::SetBool(ULONG cs, ULONG channelIndex, UCHAR value) {
    ULONG ch = 0;
    NTSTATUS status = DeviceChannel(cs, channelIndex, TRUE, &ch);
    if (!NT_SUCCESS(status)) return status;
    return SendRequest(UAC2_FU_SET_CUR_SWITCH, (USHORT)(cs << 8 | ch), &value, 1);
}

NTSTATUS CUac2FeatureUnit::GetLevel(ULONG cs, ULONG channelIndex, LONG* level) {
    ULONG ch = 0;
    NTSTATUS status = DeviceChannel(cs, channelIndex, FALSE, &ch);
    if (NT_SUCCESS(status) && level == NULL) status = STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(status)) return status;
    UCHAR bytes[2] = {};
    const ULONG width = IsByteLevel(cs) ? 1 : 2;
    status = SendRequest(UAC2_FU_GET_CUR_LEVEL, (USHORT)(cs << 8 | ch), bytes, width);
    if (NT_SUCCESS(status))
        *level = width == 1 ? DeviceByteToLevel(bytes[0]) : DeviceWordToLevel((USHORT)Le16(bytes));
    return status;
}

NTSTATUS CUac2FeatureUnit::SetLevel(ULONG cs, ULONG channelIndex, LONG level) {
    ULONG ch = 0;
    NTSTATUS status = DeviceChannel(cs, channelIndex, TRUE, &ch);
    if (!NT_SUCCESS(status)) return status;
    UCHAR bytes[2];
    ULONG width = 1;
    if (IsByteLevel(cs)) {
        bytes[0] = LevelToDeviceByte(level);
    } else {
        const USHORT word = LevelToDeviceWord(level);
        bytes[0] = (UCHAR)word;
        bytes[1] = (UCHAR)(word >> 8);
        width = 2;
    }
    return SendRequest(UAC2_FU_SET_CUR_LEVEL, (USHORT)(cs << 8 | ch), bytes, width);
}

// Tone controls answer signed bytes of 1/4 dB (x 16384 gives 1/65536 dB),
// the others signed words of 1/256 dB (x 256).
NTSTATUS CUac2FeatureUnit::GetLevelRange(ULONG cs, LONG* maximum, LONG* minimum, LONG* step) {
    if (maximum == NULL || minimum == NULL || step == NULL || m_Descriptor == NULL) return STATUS_INVALID_PARAMETER;
    ULONG count = 0;
    NTSTATUS status = ChannelCount(cs, &count);
    if (!NT_SUCCESS(status)) return status;
    ULONG ch = 0;
    for (ULONG k = 1; k <= count && ch == 0; ++k) ch = EntryHas(cs, k, kEither) ? k : 0;
    UCHAR range[kWordRangeBytes] = {};
    const bool byteLevel = IsByteLevel(cs);
    status = SendRequest(UAC2_FU_GET_RANGE, (USHORT)(cs << 8 | ch), range,
                         byteLevel ? kByteRangeBytes : kWordRangeBytes);
    if (!NT_SUCCESS(status)) return status;
    if (Le16(range) != 1) return STATUS_UNSUCCESSFUL;
    if (byteLevel) {
        *minimum = (LONG)(signed char)range[2] * 16384;
        *maximum = (LONG)(signed char)range[3] * 16384;
        *step = (LONG)(signed char)range[4] * 16384;
    } else {
        *minimum = (LONG)(SHORT)Le16(range + 2) * 256;
        *maximum = (LONG)(SHORT)Le16(range + 4) * 256;
        *step = (LONG)(SHORT)Le16(range + 6) * 256;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUac2FeatureUnit::CreateNodes(IAudioHal* builder) {
    if (builder == NULL || m_Descriptor == NULL) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = TakeIdentity(1, m_Descriptor + kSourceIdOffset);
    if (!NT_SUCCESS(status)) return status;
    ULONG nextId = builder->GetUnitCount();
    if (!HasControl(UAC_CS_MUTE)) {
        LogEntityRefusal(m_Descriptor, m_Device, "a feature unit needs a mute control");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = CreateControlNode(builder, UAC_CS_MUTE, &nextId);
    const ULONG order[] = {UAC_CS_VOLUME, UAC_CS_BASS, UAC_CS_MID,      UAC_CS_TREBLE,
                           UAC_CS_AGC,    UAC_CS_LOUDNESS, UAC_CS_INPUT_GAIN_PAD};
    for (ULONG i = 0; i < sizeof(order) / sizeof(order[0]) && NT_SUCCESS(status); ++i)
        if (HasControl(order[i])) status = CreateControlNode(builder, order[i], &nextId);
    if (!NT_SUCCESS(status)) return status;
    // The software volume follows even a failed DSP switch; it is the last
    // step, so its result is the unit's.
    if (HasControl(UAC_CS_DSP_SWITCH)) status = CreateControlNode(builder, UAC_CS_DSP_SWITCH, &nextId);
    if (HasControl(UAC_CS_SOFTWARE_VOLUME)) status = CreateControlNode(builder, UAC_CS_SOFTWARE_VOLUME, &nextId);
    return status;
}

NTSTATUS CUac2FeatureUnit::CreateControlNode(IAudioHal* builder, ULONG cs, ULONG* nextId) {
    IUnknown* self = static_cast<IBoolControl*>(this);
    PDEVICE_OBJECT settings = builder->GetDeviceObject();
    const bool optional = cs != UAC_CS_MUTE;
    auto boolInit = [self, cs, settings](CBoolNode* node) { return node->InitFromEntity(self, cs, settings); };
    auto levelInit = [self, cs, settings](CLevelNode* node) { return node->InitFromEntity(self, cs, settings); };
    switch (cs) {
    case UAC_CS_MUTE: return CreateNode<CMuteNode>(builder, UAC2_NODE_TAG, nextId, optional, boolInit);
    case UAC_CS_VOLUME: return CreateNode<CVolumeNode>(builder, UAC2_NODE_TAG, nextId, optional, levelInit);
    case UAC_CS_BASS: return CreateNode<CBassNode>(builder, UAC2_NODE_TAG, nextId, optional, levelInit);
    case UAC_CS_MID: return CreateNode<CMidNode>(builder, UAC2_NODE_TAG, nextId, optional, levelInit);
    case UAC_CS_TREBLE: return CreateNode<CTrebleNode>(builder, UAC2_NODE_TAG, nextId, optional, levelInit);
    case UAC_CS_AGC: return CreateNode<CAgcNode>(builder, UAC2_NODE_TAG, nextId, optional, boolInit);
    case UAC_CS_LOUDNESS: return CreateNode<CLoudnessNode>(builder, UAC2_NODE_TAG, nextId, optional, boolInit);
    case UAC_CS_INPUT_GAIN_PAD:
        return CreateNode<CInputGainPadNode>(builder, UAC2_NODE_TAG, nextId, optional, levelInit);
    case UAC_CS_DSP_SWITCH: return CreateNode<CDspSwitchNode>(builder, UAC2_NODE_TAG, nextId, optional, boolInit);
    default:
        return CreateNode<CSoftwareVolumeNode>(builder, UAC2_NODE_TAG, nextId, optional,
                                               [self, cs, settings](CSoftwareVolumeNode* node) {
                                                   return node->InitFromEntity(self, cs, settings);
                                               });
    }
}

NTSTATUS CUac2FeatureUnit::OnControlChange(ULONG cs, ULONG channel, ULONG* nodeId) {
    UNREFERENCED_PARAMETER(channel);
    ULONG kind = 0;
    if (!HasControl(cs) || !NodeKindOf(cs, &kind)) return STATUS_UNSUCCESSFUL;
    IUacUnit* node = FindNodeOfKind(kind);
    if (node != NULL) {
        if (nodeId != NULL) *nodeId = node->GetId();
        node->ReadBack();
    }
    return STATUS_SUCCESS;
}

// UAC 1.0 feature unit entity.
#include "topology/uac1_feature_unit.h"

#include "nt/pool.h"
#include "topology/level_nodes.h"
#include "topology/switch_nodes.h"

namespace {
constexpr UCHAR kFeatureUnitSubtype = 6;
constexpr ULONG kControlsOffset = 6;
constexpr ULONG kControlSizeOffset = 5;
constexpr ULONG kSourceIdOffset = 4;
// bLength, type, subtype, id, source, control size and iFeature.
constexpr ULONG kFixedBytes = 7;
constexpr ULONG kVendorControlSize = 2;
constexpr ULONG kMemLengthBytes = 2;

ULONG Le16(const BYTE* p) { return (ULONG)p[0] | (ULONG)p[1] << 8; }

// Bass, mid and treble are one signed byte of 1/4 dB; every other level
// two bytes of 1/256 dB.
bool IsByteLevel(ULONG cs) { return cs == UAC_CS_BASS || cs == UAC_CS_MID || cs == UAC_CS_TREBLE; }

// Bit of a control selector in an entry: cs - 1, vendor selectors by
// (cs AND 0x7F) - 1; 32 for selectors that have no bit.
ULONG ControlBit(ULONG cs) {
    const ULONG number = cs >= 0x80 ? (cs & 0x7F) : cs;
    return number >= 1 && number <= 16 ? number - 1 : 32;
}

// Device channels 5, 6 and 7, 8 are exchanged.
ULONG ExchangeChannel(ULONG idx) {
    switch (idx) {
    case 5: return 7;
    case 6: return 8;
    case 7: return 5;
    case 8: return 6;
    default: return idx;
    }
}
}  // namespace

CUacFeatureUnit::CUacFeatureUnit(PUNKNOWN outer, ULONG index)
    : CUacEntity(outer, index), m_VendorBlock(NULL), m_VendorLength(0) {}

CUacFeatureUnit::~CUacFeatureUnit() {
    if (m_VendorBlock != NULL) {
        ExFreePoolWithTag(m_VendorBlock, UAC1_NODE_TAG);
    }
}

NTSTATUS CUacFeatureUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    NTSTATUS status = CUacEntity::NonDelegatingQueryInterface(iid, out);
    if (NT_SUCCESS(status) || out == NULL) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IBoolControl)) {
        return ReturnInterface(static_cast<IBoolControl*>(this), out);
    }
    if (IsEqualGUID(iid, IID_ILevelControl)) {
        return ReturnInterface(static_cast<ILevelControl*>(this), out);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CUacFeatureUnit::Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {
    NTSTATUS status = CheckEntityDescriptor(descriptor, device, builder, kFeatureUnitSubtype,
                                            kControlsOffset);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = CheckControlLayout(descriptor, device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = SetDescriptor(descriptor, device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ReadVendorBlock();
    status = CreateNodes(builder);
    if (NT_SUCCESS(status)) {
        ChainNodes();
    }
    return status;
}

NTSTATUS CUacFeatureUnit::InitSimple(const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {
    NTSTATUS status = CheckEntityDescriptor(descriptor, device, builder, kFeatureUnitSubtype, kControlsOffset);
    if (NT_SUCCESS(status)) status = CheckControlLayout(descriptor, device);
    if (NT_SUCCESS(status)) status = SetDescriptor(descriptor, device);
    if (NT_SUCCESS(status)) status = CreateNodes(builder);
    if (NT_SUCCESS(status)) ChainNodes();
    return status;
}

NTSTATUS CUacFeatureUnit::CheckControlLayout(const BYTE* descriptor, IUnknown* device) {
    const ULONG controlSize = descriptor[kControlSizeOffset];
    if ((controlSize != 1 && controlSize != 2) || descriptor[0] < kFixedBytes + controlSize) {
        LogEntityRefusal(descriptor, device, "bControlSize must be 1 or 2 and bmaControls(0) present");
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

// GET_MEM of the block length, then of the block. What counts is the least
// of that length, the bytes the device delivered and the block's own L;
// a block shorter than 19 bytes is dropped (the vendor controls are then
// absent, as when the device delivers none).
NTSTATUS CUacFeatureUnit::ReadVendorBlock() {
    UCHAR lengthBytes[kMemLengthBytes];
    NTSTATUS status = SendRequest(UAC1_FU_GET_MEM_LENGTH, 0, lengthBytes, sizeof(lengthBytes));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG announced = Le16(lengthBytes);
    if (announced < UAC1_VENDOR_BLOCK_ENTRIES_OFFSET) {
        return STATUS_UNSUCCESSFUL;
    }
    BYTE* block = static_cast<BYTE*>(ExAllocatePoolWithTag(NonPagedPoolNx, announced, UAC1_NODE_TAG));
    if (block == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG received = 0;
    status = SendRequest(UAC1_FU_GET_MEM, 0, block, announced, &received);
    ULONG usable = received;
    if (NT_SUCCESS(status) && usable >= UAC1_VENDOR_BLOCK_LENGTH_OFFSET + 2) {
        const ULONG own = Le16(block + UAC1_VENDOR_BLOCK_LENGTH_OFFSET);
        usable = own < usable ? own : usable;
    }
    if (!NT_SUCCESS(status) || usable < UAC1_VENDOR_BLOCK_ENTRIES_OFFSET) {
        ExFreePoolWithTag(block, UAC1_NODE_TAG);
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    m_VendorBlock = block;
    m_VendorLength = usable;
    return STATUS_SUCCESS;
}

ULONG CUacFeatureUnit::EntryCount() const {
    if (m_Descriptor == NULL) {
        return 0;
    }
    return (m_Descriptor[0] - kFixedBytes) / m_Descriptor[kControlSizeOffset];
}

ULONG CUacFeatureUnit::EntryBits(ULONG entry) const {
    const ULONG size = m_Descriptor[kControlSizeOffset];
    const BYTE* p = m_Descriptor + kControlsOffset + entry * size;
    return size == 1 ? p[0] : Le16(p);
}

ULONG CUacFeatureUnit::VendorEntryCount() const {
    if (m_VendorBlock == NULL) {
        return 0;
    }
    return (m_VendorLength - UAC1_VENDOR_BLOCK_ENTRIES_OFFSET) / kVendorControlSize;
}

ULONG CUacFeatureUnit::VendorEntryBits(ULONG entry) const {
    return Le16(m_VendorBlock + UAC1_VENDOR_BLOCK_ENTRIES_OFFSET + entry * kVendorControlSize);
}

BOOLEAN CUacFeatureUnit::EntryHasControl(ULONG cs, ULONG entry) const {
    const ULONG bit = ControlBit(cs);
    if (cs >= 0x80) {
        if (m_VendorBlock[UAC1_VENDOR_BLOCK_SIZE_OFFSET] != kVendorControlSize) {
            return TRUE;
        }
        return entry < VendorEntryCount() && bit < 32 && (VendorEntryBits(entry) >> bit & 1) != 0;
    }
    return entry < EntryCount() && bit < 32 && (EntryBits(entry) >> bit & 1) != 0;
}

BOOLEAN CUacFeatureUnit::HasControl(ULONG cs) {
    if (m_Descriptor == NULL || (cs >= 0x80 && m_VendorBlock == NULL)) {
        return FALSE;
    }
    if (cs >= 0x80 && m_VendorBlock[UAC1_VENDOR_BLOCK_SIZE_OFFSET] != kVendorControlSize) {
        return FALSE;
    }
    const ULONG entries = cs >= 0x80 ? VendorEntryCount() : EntryCount();
    for (ULONG k = 0; k < entries; ++k) {
        if (EntryHasControl(cs, k)) {
            return TRUE;
        }
    }
    return FALSE;
}

NTSTATUS CUacFeatureUnit::ChannelCount(ULONG cs, ULONG* count) {
    if (count == NULL || m_Descriptor == NULL || m_Descriptor[1] != UAC_CS_INTERFACE ||
        m_Descriptor[2] != kFeatureUnitSubtype) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG entries = EntryCount();
    if (cs >= 0x80) {
        if (m_VendorBlock == NULL) {
            return STATUS_INVALID_PARAMETER;
        }
        entries = m_VendorBlock[UAC1_VENDOR_BLOCK_SIZE_OFFSET] == kVendorControlSize ? VendorEntryCount() : 0;
    }
    ULONG n = 0;
    for (ULONG k = 1; k < entries; ++k) {
        n += EntryHasControl(cs, k) ? 1 : 0;
    }
    if (n == 0 && entries != 0 && EntryHasControl(cs, 0)) {
        n = 1;
    }
    *count = n;
    return n >= 1 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUacFeatureUnit::GetBoolChannelCount(ULONG cs, ULONG* count) { return ChannelCount(cs, count); }

NTSTATUS CUacFeatureUnit::GetLevelChannelCount(ULONG cs, ULONG* count) { return ChannelCount(cs, count); }

NTSTATUS CUacFeatureUnit::DeviceChannel(ULONG cs, ULONG channelIndex, ULONG* channel) {
    ULONG count = 0;
    NTSTATUS status = ChannelCount(cs, &count);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (channelIndex >= count) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG idx = count > 1 ? channelIndex + 1 : channelIndex;
    if (!EntryHasControl(cs, idx)) {
        // A control present only on channel 1 and not on channel 0.
        if (count != 1 || !EntryHasControl(cs, idx + 1)) {
            return STATUS_INVALID_PARAMETER;
        }
        ++idx;
    }
    *channel = ExchangeChannel(idx);
    return STATUS_SUCCESS;
}

NTSTATUS CUacFeatureUnit::GetBool(ULONG cs, ULONG channelIndex, UCHAR* value) {
    ULONG ch = 0;
    NTSTATUS status = DeviceChannel(cs, channelIndex, &ch);
    if (!NT_SUCCESS(status) || value == NULL) {
        return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
    }
    UCHAR byte = 0;
    status = SendRequest(UAC1_FU_GET_CUR_SWITCH, (USHORT)(cs << 8 | ch), &byte, 1);
    if (NT_SUCCESS(status)) {
        *value = byte;
    }
    return status;
}

NTSTATUS CUacFeatureUnit::SetBool(ULONG cs, ULONG channelIndex, UCHAR value) {
    ULONG ch = 0;
    NTSTATUS status = DeviceChannel(cs, channelIndex, &ch);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return SendRequest(UAC1_FU_SET_CUR_SWITCH, (USHORT)(cs << 8 | ch), &value, 1);
}

NTSTATUS CUacFeatureUnit::GetLevel(ULONG cs, ULONG channelIndex, LONG* level) {
    ULONG ch = 0;
    NTSTATUS status = DeviceChannel(cs, channelIndex, &ch);
    if (!NT_SUCCESS(status) || level == NULL) {
        return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
    }
    UCHAR bytes[2];
    const ULONG width = IsByteLevel(cs) ? 1 : 2;
    status = SendRequest(UAC1_FU_GET_CUR_LEVEL, (USHORT)(cs << 8 | ch), bytes, width);
    if (NT_SUCCESS(status)) {
        *level = width == 1 ? DeviceByteToLevel(bytes[0]) : DeviceWordToLevel((USHORT)Le16(bytes));
    }
    return status;
}

NTSTATUS CUacFeatureUnit::SetLevel(ULONG cs, ULONG channelIndex, LONG level) {
    ULONG ch = 0;
    NTSTATUS status = DeviceChannel(cs, channelIndex, &ch);
    if (!NT_SUCCESS(status)) {
        return status;
    }
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
    return SendRequest(UAC1_FU_SET_CUR_LEVEL, (USHORT)(cs << 8 | ch), bytes, width);
}

NTSTATUS CUacFeatureUnit::GetLevelRange(ULONG cs, LONG* maximum, LONG* minimum, LONG* step) {
    if (maximum == NULL || minimum == NULL || step == NULL || m_Descriptor == NULL ||
        m_Descriptor[2] != kFeatureUnitSubtype) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG count = 0;
    NTSTATUS status = ChannelCount(cs, &count);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const bool vendorSized = cs < 0x80 || m_VendorBlock[UAC1_VENDOR_BLOCK_SIZE_OFFSET] == kVendorControlSize;
    ULONG ch = 0;
    for (ULONG k = 1; k <= count && ch == 0; ++k) {
        ch = vendorSized && EntryHasControl(cs, k) ? k : 0;
    }
    const UAC_REQUEST requests[3] = {UAC1_FU_GET_MAX, UAC1_FU_GET_MIN, UAC1_FU_GET_RES};
    const ULONG width = IsByteLevel(cs) ? 1 : 2;
    LONG values[3];
    for (ULONG i = 0; i < 3; ++i) {
        UCHAR bytes[2];
        status = SendRequest(requests[i], (USHORT)(cs << 8 | ch), bytes, width);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        values[i] = width == 1 ? DeviceByteToLevel(bytes[0]) : DeviceWordToLevel((USHORT)Le16(bytes));
    }
    *maximum = values[0];
    *minimum = values[1];
    *step = values[2];
    return STATUS_SUCCESS;
}

NTSTATUS CUacFeatureUnit::CreateNodes(IAudioHal* builder) {
    return CreateNodesWithTag(builder, m_NodeTag);
}

NTSTATUS CUacFeatureUnit::BeginNodes(IAudioHal* builder, ULONG* nextId) {
    if (builder == NULL || m_Descriptor == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = TakeIdentity(1, m_Descriptor + kSourceIdOffset);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *nextId = builder->GetUnitCount();
    if (!HasControl(UAC_CS_MUTE)) {
        LogEntityRefusal(m_Descriptor, m_Device, "a feature unit needs a mute control");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUacFeatureUnit::CreateNodesWithTag(IAudioHal* builder, ULONG tag) {
    ULONG nextId = 0;
    NTSTATUS status = BeginNodes(builder, &nextId);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = CreateControlNode(builder, UAC_CS_MUTE, tag, &nextId);
    // The optional nodes in their order, each only where the unit has it.
    const ULONG order[] = {UAC_CS_VOLUME, UAC_CS_BASS,     UAC_CS_MID,             UAC_CS_TREBLE,
                           UAC_CS_AGC,    UAC_CS_LOUDNESS, UAC_CS_VENDOR_SWITCH_B, UAC_CS_VENDOR_SWITCH_C};
    for (ULONG i = 0; i < sizeof(order) / sizeof(order[0]) && NT_SUCCESS(status); ++i) {
        if (HasControl(order[i])) {
            status = CreateControlNode(builder, order[i], tag, &nextId);
        }
    }
    return status;
}

// The node of one control, bound to this entity. Only the mute node is
// required: the others are skipped when there is no memory for them.
NTSTATUS CUacFeatureUnit::CreateControlNode(IAudioHal* builder, ULONG cs, ULONG tag, ULONG* nextId) {
    IUnknown* self = static_cast<IBoolControl*>(this);
    PDEVICE_OBJECT settings = builder->GetDeviceObject();
    const bool optional = cs != UAC_CS_MUTE;
    auto boolInit = [self, cs, settings](CBoolNode* node) { return node->InitFromEntity(self, cs, settings); };
    auto levelInit = [self, cs, settings](CLevelNode* node) { return node->InitFromEntity(self, cs, settings); };
    switch (cs) {
    case UAC_CS_MUTE:
        return CreateNode<CMuteNode>(builder, tag, nextId, optional, boolInit);
    case UAC_CS_VOLUME:
        return CreateNode<CVolumeNode>(builder, tag, nextId, optional, levelInit);
    case UAC_CS_BASS:
        return CreateNode<CBassNode>(builder, tag, nextId, optional, levelInit);
    case UAC_CS_MID:
        return CreateNode<CMidNode>(builder, tag, nextId, optional, levelInit);
    case UAC_CS_TREBLE:
        return CreateNode<CTrebleNode>(builder, tag, nextId, optional, levelInit);
    case UAC_CS_AGC:
        return CreateNode<CAgcNode>(builder, tag, nextId, optional, boolInit);
    case UAC_CS_LOUDNESS:
        return CreateNode<CLoudnessNode>(builder, tag, nextId, optional, boolInit);
    default:
        return CreateVendorNode(builder, cs, tag, nextId);
    }
}

NTSTATUS CUacFeatureUnit::CreateVendorNode(IAudioHal* builder, ULONG cs, ULONG tag, ULONG* nextId) {
    IUnknown* self = static_cast<IBoolControl*>(this);
    PDEVICE_OBJECT settings = builder->GetDeviceObject();
    return CreateNode<CVendorSwitchNode>(builder, tag, nextId, true, [self, cs, settings](CVendorSwitchNode* node) {
        return node->Init(self, cs, settings);
    });
}

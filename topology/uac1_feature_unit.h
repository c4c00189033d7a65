// The entity of a USB Audio Class 1.0 feature unit (subtype 6): which
// controls it has on which channels, switch and level requests (class
// requests; vendor requests for the vendor's control selectors 0x80 and
// above, which a vendor control block read from the unit's memory space
// describes), and one node per control: mute, volume, bass, mid, treble,
// AGC, loudness and the vendor switches 0x8B and 0x8C.
//
// Descriptor: bLength, 0x24, 6, bUnitID, bSourceID, bControlSize (1 or 2),
// bmaControls(0) for the whole cluster, bmaControls(1..n) per logical
// channel, iFeature. Control selector cs (1 mute, 2 volume, 3 bass, 4 mid,
// 5 treble, 7 AGC, 10 loudness) is present in an entry when bit cs - 1 is
// set.
//
// Vendor control block (little-endian): 16 bytes not interpreted, L (2
// bytes, the block's length), the control size (only 2 is understood),
// then entries of that size from offset 19, entry k for channel k; vendor
// selector cs is present when bit (cs AND 0x7F) - 1 of an entry is set.
#pragma once

#include "topology/uac_entity.h"
#include "usb/usb_descriptors.h"

// Offsets of the vendor control block.
#define UAC1_VENDOR_BLOCK_LENGTH_OFFSET 16
#define UAC1_VENDOR_BLOCK_SIZE_OFFSET 18
#define UAC1_VENDOR_BLOCK_ENTRIES_OFFSET 19

class CUacFeatureUnit : public IBoolControl, public ILevelControl, public CUacEntity {
public:
    CUacFeatureUnit(PUNKNOWN outer, ULONG index);
    // Frees the vendor control block, then the entity part.
    ~CUacFeatureUnit() override;

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // bLength at least 7 + bControlSize with bControlSize 1 or 2, else
    // STATUS_INVALID_PARAMETER before anything is allocated. Then the
    // descriptor copy, the vendor control block (its absence is no
    // failure), CreateNodes and ChainNodes.
    NTSTATUS Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder);
    // Init without the vendor control block.
    NTSTATUS InitSimple(const BYTE* descriptor, IUnknown* device, IAudioHal* builder);

    BOOLEAN HasControl(ULONG controlSelector);

    // IBoolControl
    NTSTATUS GetBool(ULONG controlSelector, ULONG channelIndex, UCHAR* value) override;
    NTSTATUS SetBool(ULONG controlSelector, ULONG channelIndex, UCHAR value) override;
    NTSTATUS GetBoolChannelCount(ULONG controlSelector, ULONG* count) override;
    // Mute first (without it: STATUS_INSUFFICIENT_RESOURCES and no node),
    // then volume, bass, mid, treble, AGC, loudness, 0x8B, 0x8C where
    // present; an optional node without memory is skipped; the first other
    // failure ends the walk.
    NTSTATUS CreateNodes(IAudioHal* builder) override;

    // ILevelControl
    NTSTATUS GetLevel(ULONG controlSelector, ULONG channelIndex, LONG* level) override;
    NTSTATUS SetLevel(ULONG controlSelector, ULONG channelIndex, LONG level) override;
    // Asks the first channel that has the control (channel numbers as the
    // device counts them, without the 5,6 / 7,8 exchange).
    NTSTATUS GetLevelRange(ULONG controlSelector, LONG* maximum, LONG* minimum,
                           LONG* step) override;
    NTSTATUS GetLevelChannelCount(ULONG controlSelector, ULONG* count) override;

    // The model re-reads every node of the unit itself: succeeds at once
    // without naming a node.
    NTSTATUS OnControlChange(ULONG, ULONG, ULONG*) override { return STATUS_SUCCESS; }

protected:
    // Control entries of the descriptor (channel 0 first) and of the
    // vendor block, and the bits of one entry.
    ULONG EntryCount() const;
    ULONG EntryBits(ULONG entry) const;
    ULONG VendorEntryCount() const;
    ULONG VendorEntryBits(ULONG entry) const;
    // The presence test of one entry (vendor selectors: a block whose
    // control size is not 2 passes it).
    BOOLEAN EntryHasControl(ULONG controlSelector, ULONG entry) const;
    NTSTATUS ChannelCount(ULONG controlSelector, ULONG* count);
    // The device channel of a logical channel index, or
    // STATUS_INVALID_PARAMETER.
    NTSTATUS DeviceChannel(ULONG controlSelector, ULONG channelIndex, ULONG* channel);
    NTSTATUS ReadVendorBlock();
    // The walk of CreateNodes: every node allocated with `tag`, the vendor
    // controls made by CreateVendorNode.
    NTSTATUS CreateNodesWithTag(IAudioHal* builder, ULONG tag);
    // The checks every CreateNodes starts with: a builder and a descriptor
    // (else STATUS_INVALID_PARAMETER), the unit's identity, and a mute
    // control (else STATUS_INSUFFICIENT_RESOURCES). On success *nextId is
    // the id of the first node to make.
    NTSTATUS BeginNodes(IAudioHal* builder, ULONG* nextId);
    // A mute node of MuteNode from id nextId on, then, when the unit has a
    // volume control, an optional volume node of VolumeNode. Both keep
    // their values under the builder's device object; initNode(node, this
    // unit, control selector, device object) initialises each.
    template <class MuteNode, class VolumeNode, class InitNode>
    NTSTATUS CreateMuteAndVolumeNodes(IAudioHal* builder, ULONG tag, ULONG nextId, InitNode initNode) {
        IUnknown* self = static_cast<IBoolControl*>(this);
        PDEVICE_OBJECT settings = builder->GetDeviceObject();
        NTSTATUS status = CreateNode<MuteNode>(builder, tag, &nextId, false, [&](MuteNode* node) {
            return initNode(node, self, UAC_FU_MUTE, settings);
        });
        if (NT_SUCCESS(status) && HasControl(UAC_FU_VOLUME)) {
            status = CreateNode<VolumeNode>(builder, tag, &nextId, true, [&](VolumeNode* node) {
                return initNode(node, self, UAC_FU_VOLUME, settings);
            });
        }
        return status;
    }
    NTSTATUS CreateControlNode(IAudioHal* builder, ULONG controlSelector, ULONG tag, ULONG* nextId);
    NTSTATUS CreateControlNode(IAudioHal* builder, ULONG controlSelector, ULONG* nextId) {
        return CreateControlNode(builder, controlSelector, m_NodeTag, nextId);
    }
    // The node of vendor control 0x8B or 0x8C: a plain CVendorSwitchNode.
    virtual NTSTATUS CreateVendorNode(IAudioHal* builder, ULONG controlSelector, ULONG tag,
                                      ULONG* nextId);
    // bControlSize 1 or 2 and bLength at least 7 + bControlSize (a logged
    // STATUS_INVALID_PARAMETER otherwise): what EntryCount divides by.
    static NTSTATUS CheckControlLayout(const BYTE* descriptor, IUnknown* device);

    // Non-paged ("UA10"), m_VendorLength usable bytes (19 or more), or NULL.
    BYTE* m_VendorBlock;
    ULONG m_VendorLength;
    // Pool tag of the nodes CreateControlNode makes.
    ULONG m_NodeTag = UAC1_NODE_TAG;
};

// The entity of a USB Audio Class 2.0 feature unit (subtype 6): which
// controls it has on which channels, switch and level requests (class CUR
// and RANGE, also for the vendor's control selectors 0x80 and above, which
// a vendor control block read with MEM describes), and one node per
// control: mute, volume, bass, mid, treble, AGC, loudness, input gain pad,
// the DSP switch 0x90 and the software volume 0x82.
//
// Descriptor: bLength, 0x24, 6, bUnitID, bSourceID, bmaControls(0..n) of
// four bytes each (entry 0 the master channel, entry k channel k),
// iFeature: (bLength - 6) / 4 entries, at least one (bLength >= 10).
// Control selector cs owns the bit pair 2cs - 2 (readable) and 2cs - 1
// (writable) of an entry; the vendor selectors take the same formula
// modulo 32 (0x82: bits 2 and 3, 0x90: bits 30 and 31). A control is
// present in an entry when either bit of its pair is set.
//
// Vendor control block (little-endian): 16 bytes not interpreted, L (2
// bytes, the block's length), then entries of four bytes from offset 18,
// entry k for channel k. What counts is the least of the length the unit
// announced, the bytes it delivered and L; a block shorter than 18 bytes
// is dropped and the vendor controls are then absent.
#pragma once

#include "topology/uac_entity.h"

#define UAC2_VENDOR_BLOCK_LENGTH_OFFSET 16
#define UAC2_VENDOR_BLOCK_ENTRIES_OFFSET 18

class CUac2FeatureUnit : public IBoolControl, public ILevelControl, public CUacEntity {
public:
    CUac2FeatureUnit(PUNKNOWN outer, ULONG index);
    ~CUac2FeatureUnit() override;

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // bLength at least 10, else STATUS_INVALID_PARAMETER before anything
    // is allocated. Then the descriptor copy, the vendor control block (its
    // absence is no failure), CreateNodes and ChainNodes.
    NTSTATUS Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder);

    BOOLEAN HasControl(ULONG controlSelector);

    // IBoolControl
    NTSTATUS GetBool(ULONG controlSelector, ULONG channelIndex, UCHAR* value) override;
    NTSTATUS SetBool(ULONG controlSelector, ULONG channelIndex, UCHAR value) override;
    NTSTATUS GetBoolChannelCount(ULONG controlSelector, ULONG* count) override;
    // Mute first (without it: STATUS_INSUFFICIENT_RESOURCES and no node),
    // then volume, bass, mid, treble, AGC, loudness, input gain pad, 0x90
    // while every step succeeded; 0x82 last, tried even when 0x90 failed.
    // A node without memory is skipped.
    NTSTATUS CreateNodes(IAudioHal* builder) override;

    // ILevelControl
    NTSTATUS GetLevel(ULONG controlSelector, ULONG channelIndex, LONG* level) override;
    NTSTATUS SetLevel(ULONG controlSelector, ULONG channelIndex, LONG level) override;
    // RANGE of the first channel that has the control (else channel 0);
    // exactly one subrange is accepted.
    NTSTATUS GetLevelRange(ULONG controlSelector, LONG* maximum, LONG* minimum, LONG* step) override;
    NTSTATUS GetLevelChannelCount(ULONG controlSelector, ULONG* count) override;

    // The first node of the control's kind re-reads its value and is named
    // (nodeId untouched when the unit has none); a control the unit lacks
    // or that stands for no node kind gives STATUS_UNSUCCESSFUL.
    NTSTATUS OnControlChange(ULONG controlSelector, ULONG channel, ULONG* nodeId) override;

protected:
    ULONG EntryCount() const;
    ULONG VendorEntryCount() const;
    // The bits of entry k (0 past the last entry) of the descriptor or of
    // the vendor block, by the selector's range.
    ULONG EntryBits(ULONG controlSelector, ULONG entry) const;
    // Either bit of the pair (mask 3), the readable one (1), the writable
    // one (2).
    BOOLEAN EntryHas(ULONG controlSelector, ULONG entry, ULONG pairMask) const;
    NTSTATUS ChannelCount(ULONG controlSelector, ULONG* count);
    NTSTATUS DeviceChannel(ULONG controlSelector, ULONG channelIndex, BOOLEAN write, ULONG* channel);
    NTSTATUS ReadVendorBlock();
    NTSTATUS CreateControlNode(IAudioHal* builder, ULONG controlSelector, ULONG* nextId);

    // Non-paged ("UA20"), m_VendorLength usable bytes (18 or more), or NULL.
    BYTE* m_VendorBlock;
    ULONG m_VendorLength;
};

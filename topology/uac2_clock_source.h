// The entity of a USB Audio Class 2.0 clock source (subtype 10): it
// carries the sampling frequency of the terminals clocked by it. One clock
// node stands for it in the unit list; the entity answers IClockSource
// itself with the device's requests (CUR and RANGE of the sampling
// frequency control, CUR of the validity control).
//
// Descriptor: bLength (8), 0x24, 10, bClockID, bmAttributes, bmControls,
// bAssocTerminal, iClockSource.
//
// RANGE of the sampling frequency: wNumSubRanges n, then n subranges of
// three ULONGs {MIN, MAX, RES}; only discrete rates (MIN = MAX, RES 0) are
// taken, at most CLOCK_MAX_RATES of them.
#pragma once

#include "topology/uac_entity.h"
#include "topology/uac_controls.h"

class CUac2ClockSource : public IClockSource, public CUacEntity {
public:
    CUac2ClockSource(PUNKNOWN outer, ULONG index) : CUacEntity(outer, index) {}

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // bLength at least 8.
    NTSTATUS Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder);
    // Unit id bClockID, kind 10, no sources; one clock node.
    NTSTATUS CreateNodes(IAudioHal* builder);

    // IClockSource. GetSampleRates: *count in, the entries it filled out;
    // a continuous subrange makes it fail with STATUS_INVALID_PARAMETER
    // (and its entry is not written); more than CLOCK_MAX_RATES subranges
    // with STATUS_INSUFFICIENT_RESOURCES before the list is read.
    NTSTATUS GetSampleRates(ULONG* count, ULONG* rates) override;
    NTSTATUS GetSampleRateCount(ULONG* count) override;
    NTSTATUS SetSampleRate(ULONG rate) override;
    NTSTATUS GetSampleRate(ULONG* rate) override;
    NTSTATUS GetClockValid(BYTE* valid) override;
    // The rates come from the device only.
    NTSTATUS Init(ULONG, const ULONG*) override { return STATUS_NOT_IMPLEMENTED; }
};

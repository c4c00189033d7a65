// Nodes of the remapped family's feature units (allocated with "Z7AM").
// The processed ones are also processing nodes: the stream engine puts
// them on its render path, where they act on the stream under a
// condition read afresh on every Process:
//
//   CProcessedSoftMuteNode  driver-only mute (kind 22 storage, no request)
//                           that silences the stream while channel 0 is muted
//   CProcessedMuteNode      bound mute; silences the stream while the
//                           output type is S/PDIF and channel 0 is muted
//   CProcessedVolumeNode    bound volume; scales the stream by its levels
//                           while the output type is S/PDIF
//   CProcessedMuteNodeEx    bound mute on a selector input; silences while
//                           its input is the selected one and it is muted
//   CLedMuteNode            driver-only mute that drives the mute LED
//                           through register 1 (0x10 muted, 0x30 not)
//
// Silencing zeroes each float channel of a PCM stream, or frames x
// nBlockAlign bytes of any other (raw) stream. Process runs at
// DISPATCH_LEVEL, allocates nothing and computes no power: the volume
// node keeps linear gains, recomputed on the control path whenever a
// level, the profile or the device's reading changes.
#pragma once

#include "stream/usb/chip_registers.h"
#include "topology/level_nodes.h"
#include "topology/switch_nodes.h"

inline constexpr ULONG REMAP_NODE_TAG = MakePoolTag("Z7AM");

// The IDspNode slots the processed nodes share; Process is each one's.
#define REMAP_DSP_NODE_SLOTS                                                        \
    NTSTATUS Reserved1() override { return STATUS_NOT_IMPLEMENTED; }                \
    NTSTATUS Reserved2() override { return STATUS_NOT_IMPLEMENTED; }                \
    NTSTATUS SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; } \
    NTSTATUS Reset() override { return STATUS_SUCCESS; }                            \
    NTSTATUS Flush() override { return STATUS_SUCCESS; }                            \
    NTSTATUS Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override;

// Zeroes the stream: float channels for PCM, raw bytes otherwise.
void SilenceStream(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames);

class CProcessedSoftMuteNode : public IDspNode, public CMuteNode {
public:
    CProcessedSoftMuteNode(PUNKNOWN outer, ULONG id) : CMuteNode(outer, id) {}
    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;
    // Caches and stores, no request (as the driver-only mute).
    NTSTATUS SetValue(ULONG channel, BYTE value) override;
    REMAP_DSP_NODE_SLOTS
};

class CProcessedMuteNode : public IDspNode, public CMuteNode {
public:
    CProcessedMuteNode(PUNKNOWN outer, ULONG id) : CMuteNode(outer, id) {}
    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;
    REMAP_DSP_NODE_SLOTS
};

class CProcessedMuteNodeEx : public IDspNode, public CMuteNodeEx {
public:
    CProcessedMuteNodeEx(PUNKNOWN outer, ULONG id) : CMuteNodeEx(outer, id) {}
    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;
    REMAP_DSP_NODE_SLOTS
};

#define REMAP_MAX_GAINS 8

class CProcessedVolumeNode : public IDspNode, public CVolumeNode {
public:
    CProcessedVolumeNode(PUNKNOWN outer, ULONG id);
    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;
    // The bound volume's initialisation, then every gain.
    NTSTATUS Init(IUnknown* entity, ULONG controlSelector, PDEVICE_OBJECT deviceObject);
    using CVolumeNode::Init;
    NTSTATUS SetValue(ULONG channel, LONG level) override;
    NTSTATUS SelectProfile(ULONG profile, PVOID callbackObject) override;
    NTSTATUS ReadBack() override;
    REMAP_DSP_NODE_SLOTS

    float Gain(ULONG channel) const { return channel < REMAP_MAX_GAINS ? m_Gains[channel] : 0.0f; }

private:
    // One channel (a master control) gives its gain to all eight.
    void ComputeGains();
    float m_Gains[REMAP_MAX_GAINS];
};

class CLedMuteNode : public CSoftMuteNode {
public:
    CLedMuteNode(PUNKNOWN outer, ULONG id) : CSoftMuteNode(outer, id), m_pModel(NULL) {}
    // The driver-only mute's initialisation; the registers of the model
    // behind builder (none: every SetValue is refused).
    NTSTATUS Init(IUnknown* entity, PDEVICE_OBJECT deviceObject, IAudioHal* builder);
    using CSoftMuteNode::Init;
    // Channel 0 only; the register write first, the value kept only when
    // it succeeded.
    NTSTATUS SetValue(ULONG channel, BYTE value) override;
    NTSTATUS GetValue(ULONG channel, BYTE* value) override;

private:
    IChipRegisters* m_pModel;
};

// Nodes that bind the generic units to a UAC entity: the per-channel
// switches of a feature unit (mute, AGC, loudness, the kind-18 device
// switch, the soft mute kept in the driver only), the input selector, the
// clock source's sampling frequency, the sum node of a mixer and the
// one-byte vendor switches 0x8B and 0x8C (base of the effect nodes). Each
// caches its value, sends changes through its entity, stores them
// ("Unit%02d_%2d_" + channel for switches, "Unit%02d_" for the others) and
// re-reads them when the device reports a change.
//
// Control operations run at PASSIVE_LEVEL without a lock, except the
// vendor switch, which holds its unit mutex around its value. Entity
// pointers are not counted (the entity holds its nodes).
#pragma once

#include "stream/engine/dsp_node.h"
#include "topology/node_settings.h"
#include "topology/terminal_units.h"
#include "topology/uac_controls.h"
#include "topology/value_units.h"

// Feature unit control selectors of the switch nodes.
#define UAC_CS_MUTE 0x01
#define UAC_CS_AGC 0x07
#define UAC_CS_LOUDNESS 0x0A
#define UAC_CS_DSP_SWITCH 0x90
#define UAC_CS_VENDOR_SWITCH_B 0x8B
#define UAC_CS_VENDOR_SWITCH_C 0x8C

// Cross-fade states of a vendor switch's audio path.
#define FADE_STEADY 1
#define FADE_TO_WET 2
#define FADE_TO_DRY 3

// Holds a spin lock in-stack queued for one scope: below DISPATCH_LEVEL it
// raises the IRQL, at DISPATCH_LEVEL or above it takes the lock as it is;
// the release matches the acquire.
class CInStackLockHold {
public:
    explicit CInStackLockHold(PKSPIN_LOCK lock);
    ~CInStackLockHold();
    CInStackLockHold(const CInStackLockHold&) = delete;
    CInStackLockHold& operator=(const CInStackLockHold&) = delete;

private:
    KLOCK_QUEUE_HANDLE m_Handle;
    bool m_AtDpcLevel;
};

class CBoolNode : public CBoolUnit {
public:
    CBoolNode(PUNKNOWN outer, ULONG id, ULONG kind);

    // Channel count from the entity, then each channel: the device's byte
    // with the stored value of the current profile read over it (0 when
    // neither answers).
    NTSTATUS InitFromEntity(IUnknown* entity, ULONG controlSelector, PDEVICE_OBJECT deviceObject);
    // One channel, no device control: the stored value over 0.
    NTSTATUS InitWithoutControl(IUnknown* entity, PDEVICE_OBJECT deviceObject);

    // Sends the byte (a refusal is ignored), then caches and stores it.
    NTSTATUS SetValue(ULONG channel, BYTE value) override;
    NTSTATUS SelectProfile(ULONG profile, PVOID callbackObject) override;
    NTSTATUS Apply() override;
    NTSTATUS ReadBack() override;

protected:
    NODE_STORE Store() const { return {m_DeviceObject, m_Id}; }
    NTSTATUS SendBool(ULONG channel, BYTE value);
    void KeepValue(ULONG channel, BYTE value);

    PDEVICE_OBJECT m_DeviceObject;
    IUnknown* m_Entity;
    ULONG m_ControlSelector;
};

#define DECLARE_BOOL_NODE(name, kind)                                   \
    class name : public CBoolNode {                                     \
    public:                                                             \
        name(PUNKNOWN outer, ULONG id) : CBoolNode(outer, id, kind) {}  \
    }

DECLARE_BOOL_NODE(CMuteNode, UNIT_KIND_MUTE);
DECLARE_BOOL_NODE(CAgcNode, UNIT_KIND_AGC);
DECLARE_BOOL_NODE(CLoudnessNode, UNIT_KIND_LOUDNESS);

// Kind-18 vendor switch: caches and stores only what the device accepted;
// STATUS_SUCCESS whenever the channel exists.
class CDspSwitchNode : public CBoolNode {
public:
    CDspSwitchNode(PUNKNOWN outer, ULONG id) : CBoolNode(outer, id, UNIT_KIND_DEV_SWITCH) {}
    NTSTATUS SetValue(ULONG channel, BYTE value) override;
};

// Mute on one input of a selector: also hears which input it sits on and
// which one is selected.
class CMuteNodeEx : public IMuxListener, public CMuteNode {
public:
    CMuteNodeEx(PUNKNOWN outer, ULONG id) : CMuteNode(outer, id), m_InputIndex(0), m_CurrentSelection(0) {}

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    NTSTATUS OnSelectionChanging(ULONG, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS OnSelectionChanged(ULONG newInput) override;
    NTSTATUS SetInputIndex(ULONG input) override;

protected:
    ULONG m_InputIndex;
    ULONG m_CurrentSelection;
};

// Kind-22 mute kept in the driver: SetValue caches and stores without a
// request, ReadBack has nothing to read.
class CSoftMuteNode : public CBoolNode {
public:
    CSoftMuteNode(PUNKNOWN outer, ULONG id) : CBoolNode(outer, id, UNIT_KIND_SOFT_MUTE) {}
    NTSTATUS SetValue(ULONG channel, BYTE value) override;
    NTSTATUS ReadBack() override { return STATUS_SUCCESS; }
};

// Input selector bound to a selector entity (which answers IMuxUnit
// itself). Its sources start as UNIT_ID_NONE, absent inputs, until the
// parser connects them.
class CSelectorNode : public CMuxUnit {
public:
    CSelectorNode(PUNKNOWN outer, ULONG id) : CMuxUnit(outer, id), m_DeviceObject(NULL), m_Entity(NULL) {}

    // The device's input with the stored one read over it, kept within
    // 1..input count.
    NTSTATUS InitFromEntity(IUnknown* entity, PDEVICE_OBJECT deviceObject);
    // Only an input the device accepted is selected (listeners told) and
    // stored; returns the device's status.
    NTSTATUS SetValue(ULONG input) override;
    NTSTATUS Apply() override { return SetValue(m_CurrentInput); }
    // Takes the device's input as it is (no listener, no store); an answer
    // outside 1..input count is refused with STATUS_UNSUCCESSFUL.
    NTSTATUS ReadBack() override;

private:
    PDEVICE_OBJECT m_DeviceObject;
    IUnknown* m_Entity;
};

// Sampling frequency of a UAC 2.0 clock source entity (which answers
// IClockSource itself).
class CClockNode : public CClockUnit {
public:
    CClockNode(PUNKNOWN outer, ULONG id) : CClockUnit(outer, id), m_Entity(NULL) {}

    // The entity's rates; none gives STATUS_UNSUCCESSFUL, more than
    // CLOCK_MAX_RATES STATUS_INSUFFICIENT_RESOURCES.
    NTSTATUS InitFromEntity(IUnknown* entity);
    // The rate becomes current only when the device accepted it.
    NTSTATUS SetSampleRate(ULONG rate) override;
    NTSTATUS GetClockValid(BYTE* valid) override;

private:
    IUnknown* m_Entity;
};

// Sum node of a mixer or extension unit; its sources start as
// UNIT_ID_NONE until the parser connects them.
class CMixerNode : public CSumUnit {
public:
    CMixerNode(PUNKNOWN outer, ULONG id) : CSumUnit(outer, id), m_Entity(NULL) {}
    NTSTATUS InitFromEntity(IUnknown* entity);

private:
    IUnknown* m_Entity;
};

// One-byte vendor switch (0x8B, 0x8C) of a UAC 1.0 feature unit, also a
// processing node (its effect subclasses process the stream). The control
// path holds m_Lock (the unit mutex) around the switch; it stores
// m_Enabled before raising the pending and then the changed flag (each by
// an interlocked compare-exchange 0 -> 1), so the audio path, which reads
// them at DISPATCH_LEVEL under m_SpinLock, never latches an older value.
class CVendorSwitchNode : public IDspNode, public CEffectUnit {
public:
    CVendorSwitchNode(PUNKNOWN outer, ULONG id);

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // The device's byte with the stored "Unit%02d_" read over it.
    NTSTATUS Init(IUnknown* entity, ULONG controlSelector, PDEVICE_OBJECT deviceObject);
    using CEffectUnit::Init;

    // Caches and stores only what the device accepted; the flags are
    // raised either way. Returns the device's status.
    NTSTATUS SetValue(BYTE on) override;
    NTSTATUS GetValue(BYTE* on) override;
    NTSTATUS Apply() override { return SetValue(m_Enabled); }
    NTSTATUS ReadBack() override;

    NTSTATUS Reserved1() override { return STATUS_SUCCESS; }
    NTSTATUS Reserved2() override { return STATUS_SUCCESS; }
    // Keeps a copy of the 40-byte format.
    NTSTATUS SetFormat(const WAVEFORMATEXTENSIBLE* format) override;
    NTSTATUS Reset() override { return STATUS_SUCCESS; }
    NTSTATUS Process(const WAVEFORMATEXTENSIBLE*, PVOID, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS Flush() override { return STATUS_SUCCESS; }

    // The audio path's latch: under m_SpinLock, a pending switch is taken
    // into m_EnabledLatch (the pending flag cleared 1 -> 0). Any IRQL up to
    // DISPATCH_LEVEL; never called with m_SpinLock held.
    VOID ApplyPendingValue();

protected:
    NODE_STORE Store() const { return {m_DeviceObject, m_Id}; }
    void RaiseFlags();
    void StoreEnabled(BYTE on);
    // The start of every block of an effect node: takes the changed flag
    // (its old value is returned); when it was set, latches the switch
    // (only while the node has its engine) and starts the cross-fade
    // towards the latched state.
    LONG TakeSwitchChange(BOOLEAN engineExists);

    PDEVICE_OBJECT m_DeviceObject;
    IUnknown* m_Entity;
    ULONG m_ControlSelector;
    volatile LONG m_Changed;
    volatile LONG m_Pending;
    KSPIN_LOCK m_SpinLock;
    ULONG m_EnabledLatch;
    LONG m_Crossfade;
    WAVEFORMATEXTENSIBLE m_StreamFormat;
};

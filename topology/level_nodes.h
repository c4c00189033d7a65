// Level nodes: the volume, tone and input-gain-pad controls of a feature
// unit, bound to the entity's ILevelControl. Each keeps one level per
// channel in 1/65536 dB, clamps a request to the device's range, sends it
// rounded toward zero to the device's step (a step of 0 sends it as is),
// and caches and stores it per output-type profile ("Unit%02d_%2d_" + the
// channel, 4 bytes). The software volume node also scales the render
// stream by its levels as linear gains.
//
// Control operations run at PASSIVE_LEVEL without a lock (property
// handlers, the Apply and restore passes, the model's status thread).
// The entity pointer is not counted: the entity holds its nodes, and the
// model releases its entities only while tearing the nodes down.
#pragma once

#include <atomic>

#include "stream/engine/dsp_node.h"
#include "topology/node_settings.h"
#include "topology/uac_controls.h"
#include "topology/value_units.h"

// Feature unit control selectors of the level nodes.
#define UAC_CS_VOLUME 0x02
#define UAC_CS_BASS 0x03
#define UAC_CS_MID 0x04
#define UAC_CS_TREBLE 0x05
#define UAC_CS_INPUT_GAIN_PAD 0x0C
#define UAC_CS_SOFTWARE_VOLUME 0x82

// All channels of an input gain pad at once.
#define LEVEL_ALL_CHANNELS 0xFFFFFFFFu

class CLevelNode : public CLevelUnit {
public:
    CLevelNode(PUNKNOWN outer, ULONG id, ULONG kind);

    // Takes the channel count and range from the entity, then each
    // channel's level: the device's, with the stored value of the current
    // profile read over it (0 dB when neither answers).
    virtual NTSTATUS InitFromEntity(IUnknown* entity, ULONG controlSelector,
                                    PDEVICE_OBJECT deviceObject);

    // Tone: clamps, sends minus infinity as the device's minimum, caches and
    // stores only what the device accepted; STATUS_SUCCESS whatever the
    // device answered.
    NTSTATUS SetValue(ULONG channel, LONG level) override;
    NTSTATUS SelectProfile(ULONG profile, PVOID callbackObject) override;
    // Re-sends every channel's cached level through SetValue.
    NTSTATUS Apply() override;
    // Takes the device's levels (unclamped) into the cache and the store.
    NTSTATUS ReadBack() override;

protected:
    NODE_STORE Store() const { return {m_DeviceObject, m_Id}; }
    // Above the maximum gives the maximum, below the minimum the minimum.
    LONG Clamp(LONG level) const;
    // Rounded toward zero to a multiple of the step; a step of 0 (or one
    // that cannot change a value) leaves the level as it is.
    LONG Quantize(LONG level) const;
    // SetLevel / GetLevel through the entity's ILevelControl.
    NTSTATUS SendLevel(ULONG channel, LONG deviceLevel);
    NTSTATUS ReadDeviceLevel(ULONG channel, LONG* level);
    // Cache and "Unit%02d_%2d_" + channel under the current profile.
    void KeepLevel(ULONG channel, LONG level);

    PDEVICE_OBJECT m_DeviceObject;
    IUnknown* m_Entity;
    ULONG m_ControlSelector;
};

#define DECLARE_LEVEL_NODE(name, kind)                                   \
    class name : public CLevelNode {                                     \
    public:                                                              \
        name(PUNKNOWN outer, ULONG id) : CLevelNode(outer, id, kind) {}  \
    }

DECLARE_LEVEL_NODE(CBassNode, UNIT_KIND_BASS);
DECLARE_LEVEL_NODE(CMidNode, UNIT_KIND_MID);
DECLARE_LEVEL_NODE(CTrebleNode, UNIT_KIND_TREBLE);

class CVolumeNode : public CLevelNode {
public:
    CVolumeNode(PUNKNOWN outer, ULONG id) : CLevelNode(outer, id, UNIT_KIND_VOLUME) {}

    // As the tone nodes, but minus infinity goes to the entity unchanged
    // (sent as the device's silence value 0x8000) and is kept.
    NTSTATUS SetValue(ULONG channel, LONG level) override;
    // Stops at the first channel whose device level equals the cached one
    // as it was sent, with STATUS_UNSUCCESSFUL: nothing changed, so the
    // model sends no notification.
    NTSTATUS ReadBack() override;
};

class CInputGainPadNode : public CLevelNode {
public:
    CInputGainPadNode(PUNKNOWN outer, ULONG id) : CLevelNode(outer, id, UNIT_KIND_INPUT_GAIN_PAD) {}

    // LEVEL_ALL_CHANNELS reads channel 0.
    NTSTATUS GetValue(ULONG channel, LONG* level) override;
    // Minus infinity becomes the minimum. LEVEL_ALL_CHANNELS sends the level
    // to every channel in order, keeping each accepted one, and stops at the
    // first refusal.
    NTSTATUS SetValue(ULONG channel, LONG level) override;

private:
    NTSTATUS SendAndKeep(ULONG channel, LONG level);
};

// Volume applied in software: the control part is a volume node bound to
// the vendor control 0x82; the stream engine runs it as a processing node
// on the render path, where each channel is scaled by its level as a
// linear gain. It listens to the selector upstream and scales only while
// its input is the selected one.
class CSoftwareVolumeNode : public IDspNode, public IMuxListener, public CVolumeNode {
public:
    CSoftwareVolumeNode(PUNKNOWN outer, ULONG id);
    ~CSoftwareVolumeNode() override;

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // The volume node's initialisation, then one gain per channel.
    NTSTATUS InitFromEntity(IUnknown* entity, ULONG controlSelector,
                            PDEVICE_OBJECT deviceObject) override;
    // The volume node's SetValue (its result ignored), then the channel's
    // gain from the clamped request, also when the device refused it.
    NTSTATUS SetValue(ULONG channel, LONG level) override;
    // The common restore, then every channel again (not limited by the
    // profile), then a second notification.
    NTSTATUS SelectProfile(ULONG profile, PVOID callbackObject) override;
    NTSTATUS ReadBack() override;

    // IMuxListener.
    NTSTATUS OnSelectionChanging(ULONG, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS OnSelectionChanged(ULONG newInput) override;
    NTSTATUS SetInputIndex(ULONG input) override;

    // IDspNode; Process runs at DISPATCH_LEVEL, allocates nothing and scales
    // min(nChannels, channel count, MAX_SOFTWARE_DSP_PROCESS_CHANNELS)
    // channels of a PCM stream (data: the float channel table) in place.
    NTSTATUS Reserved1() override { return STATUS_SUCCESS; }
    NTSTATUS Reserved2() override { return STATUS_SUCCESS; }
    NTSTATUS SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
    NTSTATUS Reset() override { return STATUS_SUCCESS; }
    NTSTATUS Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override;
    NTSTATUS Flush() override { return STATUS_SUCCESS; }

private:
    void SetGain(ULONG channel, LONG level);

    // Written by the control path, read by the audio path on another
    // processor without a lock: relaxed atomics.
    std::atomic<ULONG> m_InputIndex;
    std::atomic<ULONG> m_CurrentSelection;
    // m_ChannelCount + 1 gains, non-paged ("VTag").
    std::atomic<float>* m_Gains;
};

// Linear gain of a level: 10^(dB / 20) in single precision through
// PowTable; minus infinity gives 0.
float LevelToGain(LONG level);

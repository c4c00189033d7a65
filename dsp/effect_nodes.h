// The surround (vendor control 0x8B) and headphone (0x8C) effect nodes.
// Each is at once a kind-23 effect unit bound to its vendor switch (the
// one-byte switch is sent to the device, cached and stored as
// "Unit%02d_") and a processing node of the render path. For every PCM
// block a node keeps two copies of the block:
//   dry: folded down to the front pair (MixChannels) and limited at unity
//        makeup gain;
//   wet: run through the node's engine (CSurroundVirtualizer or
//        CZvkHeadphone) and limited with makeup gain;
// outputs one of them by the switch and the channel count, and cross-fades
// over 2 ms out and 2 ms in on the front pair when the switch changes.
// A block is folded down once on the render path: by the last effect node
// of the path. A node followed by another effect node keeps all channels
// in its dry set; every wet set carries its rendered pair and silence in
// the other channels.
//
// The headphone node also owns two values, room and mode, read and written
// through the effect-values property and stored as "Unit%02d_0" and
// "Unit%02d_1" (4 bytes each).
//
// Memory: nodes "Z8CT" (operator new); the channel sets (8 pointers, each to
// 512 floats) and the virtualizer "DoHP"; the limiters and the headphone
// wrapper "QIRN"; all NonPagedPoolNx. Init, GetValues, SetValues and
// ApplyMode run at PASSIVE_LEVEL; SetFormat on the stream start path;
// Process at DISPATCH_LEVEL under the node's in-stack queued spin lock;
// Flush after the stream's transfers are idle. A node whose Init ran out of
// memory part-way keeps what it made and passes blocks through untouched.
#pragma once

#include "dsp/mix_channels.h"
#include "topology/switch_nodes.h"

class CLimiter;
class CSurroundVirtualizer;
class CZvkHeadphone;

inline constexpr ULONG EFFECT_NODE_TAG = MakePoolTag("Z8CT");
inline constexpr ULONG EFFECT_SET_TAG = MakePoolTag("DoHP");
inline constexpr ULONG EFFECT_ENGINE_TAG = MakePoolTag("QIRN");

#define EFFECT_SET_CHANNELS 8
#define EFFECT_SET_FRAMES 512
// Each half of the cross-fade: 2 x (nSamplesPerSec / 1000) frames.
#define EFFECT_FADE_MS 2

#define LIMITER_MAKEUP_SURROUND 2.8183f
#define LIMITER_MAKEUP_HEADPHONE 2.0f
#define LIMITER_MAKEUP_UNITY 1.0f

#define HEADPHONE_VALUE_ROOM 0
#define HEADPHONE_VALUE_MODE 1
#define HEADPHONE_VALUE_COUNT 2
// Rooms 0..2; modes: 0 variant 0 with the room tail, 1 variant 1 with the
// tail, 2 variant 0 without it.
#define HEADPHONE_ROOM_MAX 2
#define HEADPHONE_MODE_NO_TAIL 2

// {AC02E636-CB62-42EF-A97C-5F4C1CDFEC13}
inline constexpr GUID EFFECT_GUID_SURROUND = {0xAC02E636, 0xCB62, 0x42EF,
                                              {0xA9, 0x7C, 0x5F, 0x4C, 0x1C, 0xDF, 0xEC, 0x13}};
// {C7600B33-1AA6-4383-918D-30D848BBAD3E}
inline constexpr GUID EFFECT_GUID_HEADPHONE = {0xC7600B33, 0x1AA6, 0x4383,
                                               {0x91, 0x8D, 0x30, 0xD8, 0x48, 0xBB, 0xAD, 0x3E}};

// One block's two paths as Process runs them.
struct EFFECT_PATHS {
    float** Dry;
    float** Wet;
    CLimiter* DryLimiter;
    CLimiter* WetLimiter;
};

class CSurroundEffect : public CVendorSwitchNode {
public:
    CSurroundEffect(PUNKNOWN outer, ULONG id);
    ~CSurroundEffect() override;

    // Binds the switch (its failure is returned, nothing allocated), then
    // makes the two sets, the virtualizer and the two limiters, stopping at
    // the first allocation failure; returns the binding's status.
    NTSTATUS Init(IUnknown* entity, ULONG controlSelector, PDEVICE_OBJECT settingsDevice);
    using CVendorSwitchNode::Init;

    // No values: STATUS_INVALID_PARAMETER.
    NTSTATUS GetValues(ULONG, ULONG, ULONG*) override { return STATUS_INVALID_PARAMETER; }
    NTSTATUS SetValues(ULONG, ULONG, const ULONG*) override { return STATUS_INVALID_PARAMETER; }
    NTSTATUS GetValueRange(ULONG, ULONG*, ULONG*, ULONG*) override { return STATUS_INVALID_PARAMETER; }

    // Keeps the format; the virtualizer gets the rate and mode
    // nChannels - 1, each limiter the format.
    NTSTATUS SetFormat(const WAVEFORMATEXTENSIBLE* format) override;
    NTSTATUS Reset() override;
    NTSTATUS Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override;
    // Clears the virtualizer and both limiters; the switch and the fade
    // state stay.
    NTSTATUS Flush() override;

    // Another effect node runs after this one on the render path and folds
    // the block down to the front pair: this node's dry set then keeps
    // every channel, and a switch change fades them all. FALSE after
    // construction.
    VOID SetEffectFollows(BOOLEAN follows) { m_bEffectFollows = follows; }
    // The sets, both limiters and the engine exist, so Process works on
    // PCM blocks (a node whose Init ran out of memory passes them on).
    BOOLEAN Processes() const;

protected:
    CSurroundVirtualizer* m_pVirtualizer;
    float** m_ppDryChannels;
    float** m_ppWetChannels;
    CLimiter* m_pWetLimiter;
    CLimiter* m_pDryLimiter;
    BOOLEAN m_bEffectFollows;
};

class CHeadphoneEffect : public CVendorSwitchNode {
public:
    CHeadphoneEffect(PUNKNOWN outer, ULONG id);
    ~CHeadphoneEffect() override;

    // Binds the switch (its failure is returned, nothing allocated), makes
    // the sets, the limiters and the wrapper (stopping at the first
    // allocation failure), sets the wrapper up and applies the stored room
    // and mode over its defaults; returns the binding's status.
    NTSTATUS Init(IUnknown* entity, ULONG controlSelector, PDEVICE_OBJECT settingsDevice);
    using CVendorSwitchNode::Init;

    // first <= 2 and count <= 2 - first.
    NTSTATUS GetValues(ULONG first, ULONG count, ULONG* values) override;
    // count >= 1 within the two values. Applies each value (a room above 2
    // is refused, a mode above 2 is accepted and changes nothing); stores
    // and persists only what was applied; STATUS_INVALID_PARAMETER when
    // nothing was.
    NTSTATUS SetValues(ULONG first, ULONG count, const ULONG* values) override;
    NTSTATUS GetValueRange(ULONG, ULONG*, ULONG*, ULONG*) override { return STATUS_INVALID_PARAMETER; }

    // Mode 0..2 -> the HRTF variant of both sets and the room tail; a mode
    // above 2 changes nothing.
    VOID ApplyMode(ULONG mode);

    // Keeps the format and its 32-bit float copy for the limiters; the
    // wrapper gets an IEEE-float record of the stream's channels and rate.
    NTSTATUS SetFormat(const WAVEFORMATEXTENSIBLE* format) override;
    NTSTATUS Reset() override;
    NTSTATUS Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override;
    // Resets both limiters; the engine, the switch and the fade state stay.
    NTSTATUS Flush() override;

    // Another effect node runs after this one on the render path and folds
    // the block down to the front pair: this node's dry set then keeps
    // every channel, and a switch change fades them all. FALSE after
    // construction.
    VOID SetEffectFollows(BOOLEAN follows) { m_bEffectFollows = follows; }
    // The sets, both limiters and the engine exist, so Process works on
    // PCM blocks (a node whose Init ran out of memory passes them on).
    BOOLEAN Processes() const;

protected:
    // Room to the active set of the wrapper (the speaker set in speaker
    // mode, else the headphone set), when it differs there.
    VOID ApplyRoom(ULONG room);
    // "Unit%02d_" + index, 4 bytes.
    NTSTATUS AccessStoredValue(ULONG op, ULONG index, ULONG* value);

    CZvkHeadphone* m_pHeadphone;
    float** m_ppDryChannels;
    WAVEFORMATEX m_HeadphoneFormat;
    ULONG m_Values[HEADPHONE_VALUE_COUNT];
    CLimiter* m_pWetLimiter;
    CLimiter* m_pDryLimiter;
    WAVEFORMATEXTENSIBLE m_LimiterFormat;
    float** m_ppWetChannels;
    BOOLEAN m_bEffectFollows;
};

// Control interfaces of the units. The topology property handlers read and
// write controls only through these; bound nodes of the device model derive
// from the value classes and reach the device. Levels are signed 32-bit
// values in 1/65536 dB; 0x80000000 stands for minus infinity.
#pragma once

#include "topology/unit_base.h"

#define DEFINE_TOPO_IID(name, l, w1, w2, b0, b1, b2, b3, b4, b5, b6, b7) \
    inline constexpr GUID name = {l, w1, w2, {b0, b1, b2, b3, b4, b5, b6, b7}}

DEFINE_TOPO_IID(IID_IBoolUnit, 0x8EDE1D42, 0x90E4, 0x4B08, 0x96, 0xEF, 0x7C, 0xBB, 0xC4, 0x72, 0xF9, 0xED);
DEFINE_TOPO_IID(IID_ILevelUnit, 0xB0446B44, 0x06EB, 0x403F, 0x8B, 0x78, 0xE1, 0xE9, 0x63, 0xDE, 0xA3, 0xCD);
DEFINE_TOPO_IID(IID_IUnitProfile, 0x03449A8C, 0x92DC, 0x45CA, 0x85, 0x9F, 0xAC, 0x21, 0xAD, 0x70, 0xC5, 0x9F);
DEFINE_TOPO_IID(IID_IMuxUnit, 0x524FA5C2, 0x9FBF, 0x4FC8, 0xB8, 0xD2, 0xDC, 0x30, 0x2D, 0xED, 0xB0, 0xDF);
DEFINE_TOPO_IID(IID_IMuxListener, 0xD31296ED, 0x008B, 0x4C8C, 0xA2, 0x39, 0x4E, 0x6B, 0x32, 0x2E, 0x96, 0x26);
DEFINE_TOPO_IID(IID_IClockSource, 0xE1A6E8A0, 0x3C43, 0x4950, 0x90, 0x1B, 0x9E, 0x84, 0xF6, 0xC3, 0xC2, 0xEC);
DEFINE_TOPO_IID(IID_IEffectUnit, 0x34480E1C, 0xF752, 0x41EE, 0x81, 0xAE, 0x70, 0x17, 0x4C, 0x8F, 0xB3, 0xB3);
DEFINE_TOPO_IID(IID_IDevSwitch15Unit, 0xA2A9F460, 0x60B0, 0x4AFF, 0x87, 0xB8, 0x75, 0x3B, 0x60, 0xF2, 0x4B, 0x88);
DEFINE_TOPO_IID(IID_IDevControl17Unit, 0x39F527DD, 0x1800, 0x4CFA, 0xB3, 0xF3, 0x4F, 0xCD, 0x2C, 0x63, 0x01, 0xBB);
DEFINE_TOPO_IID(IID_IDevSwitch19Unit, 0x267CEBE5, 0x5821, 0x4D11, 0x8E, 0x58, 0x65, 0x69, 0xB7, 0xE9, 0x5D, 0xA1);
DEFINE_TOPO_IID(IID_IDevParams20Unit, 0xF52EB3CB, 0xE312, 0x4CB0, 0xAC, 0x9C, 0xF6, 0xAB, 0x1B, 0xF9, 0xB2, 0x9A);
DEFINE_TOPO_IID(IID_IDevEffect24Unit, 0xAA978CF6, 0x0C30, 0x40E0, 0xA5, 0x59, 0xEA, 0x9A, 0xE9, 0xA4, 0xF2, 0x76);

// One byte per channel (mute, AGC, loudness, device switch, soft mute).
struct IBoolUnit : public IUnknown {
    virtual NTSTATUS GetValue(ULONG channel, BYTE* value) = 0;
    virtual NTSTATUS SetValue(ULONG channel, BYTE value) = 0;
    virtual NTSTATUS GetChannelCount(ULONG* count) = 0;
    virtual NTSTATUS Init(ULONG sourceId, ULONG channelCount) = 0;
};

// One level per channel with a range and step (volume, tone, gain pad).
struct ILevelUnit : public IUnknown {
    virtual NTSTATUS GetValue(ULONG channel, LONG* level) = 0;
    virtual NTSTATUS SetValue(ULONG channel, LONG level) = 0;
    virtual NTSTATUS GetRange(LONG* maximum, LONG* minimum, LONG* step) = 0;
    virtual NTSTATUS GetChannelCount(ULONG* count) = 0;
    virtual NTSTATUS Init(ULONG sourceId, ULONG channelCount, LONG maximum, LONG minimum,
                          LONG step) = 0;
};

// The output type (ENDPOINT_TYPE) selected downstream of a control;
// callbackObject is the adapter's notification object or NULL.
struct IUnitProfile : public IUnknown {
    virtual NTSTATUS SelectProfile(ULONG profile, PVOID callbackObject) = 0;
};

// Selector: inputs are 1-based, input n is source n.
struct IMuxListener;
struct IMuxUnit : public IUnknown {
    virtual NTSTATUS GetValue(ULONG* input) = 0;
    virtual NTSTATUS SetValue(ULONG input) = 0;
    virtual NTSTATUS GetInputCount(ULONG* count) = 0;
    virtual NTSTATUS AddListener(IMuxListener* listener) = 0;
};

// A unit on the chain behind one selector input.
struct IMuxListener : public IUnknown {
    virtual NTSTATUS OnSelectionChanging(ULONG newInput, ULONG oldInput) = 0;
    virtual NTSTATUS OnSelectionChanged(ULONG newInput) = 0;
    virtual NTSTATUS SetInputIndex(ULONG input) = 0;
};

struct IClockSource : public IUnknown {
    virtual NTSTATUS GetSampleRates(ULONG* count, ULONG* rates) = 0;
    virtual NTSTATUS GetSampleRateCount(ULONG* count) = 0;
    virtual NTSTATUS SetSampleRate(ULONG rate) = 0;
    virtual NTSTATUS GetSampleRate(ULONG* rate) = 0;
    virtual NTSTATUS GetClockValid(BYTE* valid) = 0;
    virtual NTSTATUS Init(ULONG count, const ULONG* rates) = 0;
};

// A vendor effect switch with parameter values, named by a GUID.
struct IEffectUnit : public IUnknown {
    virtual NTSTATUS GetNameGuid(GUID* name) = 0;
    virtual NTSTATUS SetValue(BYTE enabled) = 0;
    virtual NTSTATUS GetValue(BYTE* enabled) = 0;
    virtual NTSTATUS GetValueCount(ULONG* count) = 0;
    virtual NTSTATUS GetValues(ULONG index, ULONG count, ULONG* values) = 0;
    virtual NTSTATUS SetValues(ULONG index, ULONG count, const ULONG* values) = 0;
    virtual NTSTATUS GetValueRange(ULONG index, ULONG* first, ULONG* second, ULONG* third) = 0;
    virtual NTSTATUS Init(ULONG sourceId) = 0;
};

// Interfaces of the reserved unit kinds. No unit of this driver implements
// them; the topology handlers query them on units that report those kinds.
// The graph wiring's further slots of the two switches follow these.
struct IDevSwitch15Unit : public IUnknown {
    virtual NTSTATUS SetValue(ULONG value) = 0;
    virtual NTSTATUS GetValue(ULONG* value) = 0;
};

struct IDevControl17Unit : public IUnknown {
    virtual NTSTATUS GetValue(ULONG* value) = 0;
    virtual NTSTATUS Unused() = 0;
    virtual NTSTATUS SetValue(ULONG value) = 0;
    virtual NTSTATUS GetRange(ULONG* maximum, ULONG* minimum) = 0;
};

struct IDevSwitch19Unit : public IUnknown {
    virtual NTSTATUS SetValue(ULONG value) = 0;
    virtual NTSTATUS GetValue(ULONG* value) = 0;
};

struct IDevParams20Unit : public IUnknown {
    virtual NTSTATUS GetNameGuid(GUID* name) = 0;
    virtual NTSTATUS GetValueCount(ULONG* count) = 0;
    virtual NTSTATUS GetValues(ULONG index, ULONG count, ULONG* values) = 0;
    virtual NTSTATUS SetValues(ULONG index, ULONG count, const ULONG* values) = 0;
    virtual NTSTATUS GetValueRange(ULONG index, ULONG* first, ULONG* second, ULONG* third) = 0;
};

struct IDevEffect24Unit : public IUnknown {
    virtual NTSTATUS GetNameGuid(GUID* name) = 0;
    virtual NTSTATUS GetValue(ULONG* value) = 0;
    virtual NTSTATUS SetValue(const ULONG* value) = 0;
};

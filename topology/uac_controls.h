// Control interfaces through which the bound nodes reach their UAC entity.
// A channel index is a logical index 0..count-1 over the channels that
// have the control (the feature unit maps it to the device's channel
// number); levels are signed 32-bit values in 1/65536 dB, 0x80000000 being
// minus infinity. Every operation sends synchronous requests to the device
// and runs at PASSIVE_LEVEL.
#pragma once

#include "adapter/audio_hal.h"
#include "topology/unit_interfaces.h"

DEFINE_TOPO_IID(IID_IBoolControl, 0xAE45E80C, 0xD8A3, 0x4E59, 0xB8, 0xDF, 0xC0, 0xEC, 0x0B, 0x62, 0xF3, 0xCC);
DEFINE_TOPO_IID(IID_ILevelControl, 0x934E9EE1, 0x3402, 0x4AE4, 0xB5, 0x20, 0xE1, 0xE4, 0x92, 0x5F, 0xAC, 0x8E);
DEFINE_TOPO_IID(IID_IClockSourceId, 0xE2FABFB5, 0xCA88, 0x4F28, 0xAF, 0xF8, 0x48, 0x50, 0x5F, 0xDC, 0x23, 0x4B);

// Level encoding of minus infinity.
#define LEVEL_MINUS_INFINITY ((LONG)0x80000000)

// Switch controls (mute, AGC, loudness, vendor switches): one byte each.
struct IBoolControl : public IUnknown {
    virtual NTSTATUS GetBool(ULONG controlSelector, ULONG channelIndex, UCHAR* value) = 0;
    virtual NTSTATUS SetBool(ULONG controlSelector, ULONG channelIndex, UCHAR value) = 0;
    // Channels that have the control; 0 with STATUS_UNSUCCESSFUL when none.
    virtual NTSTATUS GetBoolChannelCount(ULONG controlSelector, ULONG* count) = 0;
    // Creates the entity's nodes in the builder's unit list.
    virtual NTSTATUS CreateNodes(IAudioHal* builder) = 0;
};

// Level controls (volume, tone, gain pad).
struct ILevelControl : public IUnknown {
    virtual NTSTATUS GetLevel(ULONG controlSelector, ULONG channelIndex, LONG* level) = 0;
    virtual NTSTATUS SetLevel(ULONG controlSelector, ULONG channelIndex, LONG level) = 0;
    virtual NTSTATUS GetLevelRange(ULONG controlSelector, LONG* maximum, LONG* minimum,
                                   LONG* step) = 0;
    virtual NTSTATUS GetLevelChannelCount(ULONG controlSelector, ULONG* count) = 0;
};

// The clock source an entity (a UAC 2.0 terminal) is clocked by.
struct IClockSourceId : public IUnknown {
    virtual NTSTATUS GetClockSourceId(ULONG* clockId) = 0;
};

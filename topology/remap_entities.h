// Entities of the remapped UAC 1.0 family (allocated with "Z7AM").
//
// What each changes against its UAC 1.0 base:
//
//   class                        base                 own
//   CFeatureUnitDbScaleA         CUacFeatureUnit      levels x3 above 0 dB, x3/2 below (device -3 dB reads
//                                                     -4.5 dB); range step 1.5 dB
//   CFeatureUnitDbScaleB         CUacFeatureUnit      levels x3 above 0 dB, x3/8 below; tone ranges as bytes
//   CFeatureUnitDbScaleBNodes    DbScaleB             nodes: processed soft mute, bound volume
//   CFeatureUnitDbScaleBLedMute  DbScaleB             Init adds a mute node that drives the LED
//   CFeatureUnitFixedBit         DbScaleA             switch on channel 0 only; the poller's bits ORed
//                                                     into every mute sent
//   CFeatureUnitMuteLed          CUacFeatureUnit      levels through DB_CURVE_TABLE_39; mute drives the
//                                                     LED (register 1); nodes: processed mute, volume
//   CFeatureUnitMuteOnly         CUacFeatureUnit      node: a processed mute on a selector input only
//   CUacInputTerminalEx          CUacInputTerminal    one pin, no jack list read from the device
//   CSelectableOutputTerminal    CUacOutputTerminal   speaker / headphone / S/PDIF types set through
//                                                     registers 2, 1 and 0; fixed jack records
//   CUacSelectorUnitEx           CUacSelectorUnit     inputs sent as the codec's codes (8: 1, 15: 2,
//                                                     16: 3, 2: 4)
//
// Registers are reached through QueryChipRegisters(builder): with no
// registered model behind the builder nothing is written (LED writes and
// type selections then do only their class-request part).
//
// Every Init refuses a feature unit whose bControlSize is not 1 or 2 or
// whose bLength is below 7 + bControlSize (STATUS_INVALID_PARAMETER).
// PASSIVE_LEVEL. CFeatureUnitFixedBit holds m_BitsLock around its mute
// byte, the OR bits and the request, because the poller and the property
// path both send its mute.
#pragma once

#include "adapter/base/mutex_lock.h"
#include "stream/usb/chip_registers.h"
#include "topology/uac1_feature_unit.h"
#include "topology/uac1_terminals.h"

inline constexpr ULONG REMAP_ENTITY_TAG = MakePoolTag("Z7AM");

// {6C1B7E52-3A0D-4D4B-9E0F-2B7A9C51D3E4}: feature unit 11's OR bits.
inline constexpr GUID IID_IMuteOrBits = {0x6C1B7E52, 0x3A0D, 0x4D4B, {0x9E, 0x0F, 0x2B, 0x7A, 0x9C, 0x51, 0xD3, 0xE4}};
struct IMuteOrBits : public IUnknown {
    // The bits every later mute request ORs in; re-sends the cached mute.
    virtual NTSTATUS SetMuteOrBits(BYTE bits) = 0;
};

// Output types of CSelectableOutputTerminal.
#define REMAP_OUTPUT_TYPES 3

// A level scaling of the DbScale units: negatives multiply by 3 /
// Divisor; range maxima lose their MaximumClearBits.
typedef struct _DB_SCALE_ROW {
    LONG Divisor;
    USHORT MaximumClearBits;
    BOOLEAN ToneRangeAsBytes;
} DB_SCALE_ROW;

extern const DB_SCALE_ROW DB_SCALE_A, DB_SCALE_B;

class CFeatureUnitDbScale : public CUacFeatureUnit {
public:
    CFeatureUnitDbScale(PUNKNOWN outer, ULONG index, const DB_SCALE_ROW* row)
        : CUacFeatureUnit(outer, index), m_Scale(row) {}
    NTSTATUS GetLevel(ULONG controlSelector, ULONG channelIndex, LONG* level) override;
    NTSTATUS SetLevel(ULONG controlSelector, ULONG channelIndex, LONG level) override;
    NTSTATUS GetLevelRange(ULONG controlSelector, LONG* maximum, LONG* minimum, LONG* step) override;

    // Device-side level (1/65536 dB) to the system's and back.
    LONG ToSystem(LONG level) const;
    LONG ToDevice(LONG level) const;

protected:
    const DB_SCALE_ROW* m_Scale;
};

class CFeatureUnitDbScaleA : public CFeatureUnitDbScale {
public:
    CFeatureUnitDbScaleA(PUNKNOWN outer, ULONG index) : CFeatureUnitDbScale(outer, index, &DB_SCALE_A) {}
};

class CFeatureUnitDbScaleB : public CFeatureUnitDbScale {
public:
    CFeatureUnitDbScaleB(PUNKNOWN outer, ULONG index) : CFeatureUnitDbScale(outer, index, &DB_SCALE_B) {}
};

class CFeatureUnitDbScaleBNodes : public CFeatureUnitDbScaleB {
public:
    using CFeatureUnitDbScaleB::CFeatureUnitDbScaleB;
    NTSTATUS Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {
        return InitSimple(descriptor, device, builder);
    }
    NTSTATUS CreateNodes(IAudioHal* builder) override;
};

class CFeatureUnitDbScaleBLedMute : public CFeatureUnitDbScaleB {
public:
    using CFeatureUnitDbScaleB::CFeatureUnitDbScaleB;
    // The unit's nodes, then a CLedMuteNode after them.
    NTSTATUS Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder);
};

class CFeatureUnitFixedBit : public IMuteOrBits, public CFeatureUnitDbScaleA {
public:
    CFeatureUnitFixedBit(PUNKNOWN outer, ULONG index) : CFeatureUnitDbScaleA(outer, index), m_MuteOrBits(0), m_CachedMute(0) {}
    DECLARE_FORWARDING_UNKNOWN()
    // Also answers IID_IMuteOrBits.
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;
    // Channel 0 only.
    NTSTATUS GetBool(ULONG controlSelector, ULONG channelIndex, UCHAR* value) override;
    NTSTATUS SetBool(ULONG controlSelector, ULONG channelIndex, UCHAR value) override;
    NTSTATUS SetMuteOrBits(BYTE bits) override;

private:
    CMutexLock m_BitsLock;
    UCHAR m_MuteOrBits;
    UCHAR m_CachedMute;
};

class CFeatureUnitMuteLed : public CUacFeatureUnit {
public:
    CFeatureUnitMuteLed(PUNKNOWN outer, ULONG index)
        : CUacFeatureUnit(outer, index), m_bNeedMuteLed(FALSE), m_bReverseMuteLed(FALSE), m_pModel(NULL) {}
    // Reads "NeedMuteLED" and "ReverseMuteLED" (1 byte each, missing: 0).
    NTSTATUS Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder);
    NTSTATUS SetBool(ULONG controlSelector, ULONG channelIndex, UCHAR value) override;
    NTSTATUS CreateNodes(IAudioHal* builder) override;
    NTSTATUS GetLevel(ULONG controlSelector, ULONG channelIndex, LONG* level) override;
    NTSTATUS SetLevel(ULONG controlSelector, ULONG channelIndex, LONG level) override;
    NTSTATUS GetLevelRange(ULONG controlSelector, LONG* maximum, LONG* minimum, LONG* step) override;

    // The curve both ways, in 1/256 dB (device 0x8000 and minus infinity
    // are the caller's).
    static SHORT CurveToLevel(SHORT device);
    static SHORT CurveToDevice(LONG level256);

private:
    BOOLEAN m_bNeedMuteLed;
    BOOLEAN m_bReverseMuteLed;
    IChipRegisters* m_pModel;
};

class CFeatureUnitMuteOnly : public CUacFeatureUnit {
public:
    using CUacFeatureUnit::CUacFeatureUnit;
    NTSTATUS Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {
        return InitSimple(descriptor, device, builder);
    }
    NTSTATUS CreateNodes(IAudioHal* builder) override;
};

class CUacInputTerminalEx : public CUacInputTerminal {
public:
    using CUacInputTerminal::CUacInputTerminal;
    NTSTATUS CreateNodes(IAudioHal* builder) override;
};

class CSelectableOutputTerminal : public CUacOutputTerminal {
public:
    CSelectableOutputTerminal(PUNKNOWN outer, ULONG index);
    // Types 1, then 2 (headphones supported), then 3 (S/PDIF supported);
    // the output terminal's Init; then the current type's registers,
    // whatever that returned.
    NTSTATUS Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder, BOOLEAN spdif, BOOLEAN headphones,
                  BOOLEAN eightChannels);
    NTSTATUS CreateNodes(IAudioHal* builder) override;
    // A listed type: its three register writes (failures ignored), the
    // stored "UACUnit%02d"; else STATUS_UNSUCCESSFUL, nothing written.
    NTSTATUS SelectType(ULONG type) override;
    NTSTATUS GetJackCount(ULONG* count, ULONG typeIndex) override;
    // A buffer short of the type's records: STATUS_BUFFER_TOO_SMALL,
    // nothing written.
    NTSTATUS GetJackInfo(ULONG bufferSize, JACK_INFO* records, ULONG typeIndex) override;
    // Re-reads every output pin (naming the last one); no request.
    NTSTATUS OnControlChange(ULONG controlSelector, ULONG channel, ULONG* nodeId) override;

private:
    void WriteTypeRegisters(ULONG type);
    ULONG JackRecords(ULONG type, JACK_INFO* out) const;

    ULONG m_Types[REMAP_OUTPUT_TYPES];
    ULONG m_TypeChoices;  // types offered, before the nodes exist
    IChipRegisters* m_pModel;
    BOOLEAN m_bEightChannels;
};

class CUacSelectorUnitEx : public CUacSelectorUnit {
public:
    CUacSelectorUnitEx(PUNKNOWN outer, ULONG index) : CUacSelectorUnit(outer, index), m_InputCodes() {}
    // More than 7 inputs: STATUS_INVALID_PARAMETER.
    NTSTATUS CreateNodes(IAudioHal* builder) override;
    // The input whose code the device reports; an unknown code reads as
    // input 1 and puts the device there.
    NTSTATUS GetValue(ULONG* input) override;
    // SET_CUR of the input's code.
    NTSTATUS SetValue(ULONG input) override;

private:
    NTSTATUS SendCode(UCHAR code);
    UCHAR m_InputCodes[8];
};

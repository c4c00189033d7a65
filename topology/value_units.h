// Value units of the graph that keep their controls in memory only:
// boolean and level units (with their fixed-kind classes), the selector
// with its listeners, the clock with its sample rates and the effect unit.
// Bound nodes of the device model derive from these and reach the device.
#pragma once

#include "adapter/base/list.h"
#include "nt/ke.h"
#include "topology/unit_interfaces.h"

// One byte per channel; values are non-paged ("MTag", or the tag a derived
// class passes to InitValues).
class CBoolUnit : public IBoolUnit, public IUnitProfile, public CUacUnitBase {
public:
    CBoolUnit(PUNKNOWN outer, ULONG id, ULONG kind);
    ~CBoolUnit() override;

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    NTSTATUS GetValue(ULONG channel, BYTE* value) override;
    NTSTATUS SetValue(ULONG channel, BYTE value) override;
    NTSTATUS GetChannelCount(ULONG* count) override;
    NTSTATUS Init(ULONG sourceId, ULONG channelCount) override;
    NTSTATUS SelectProfile(ULONG profile, PVOID callbackObject) override;

protected:
    NTSTATUS InitValues(ULONG sourceId, ULONG channelCount, ULONG tag);

    ULONG m_ChannelCount;
    BYTE* m_Values;
    ULONG m_Profile;
};

// One level per channel in 1/65536 dB, stored as given (bound nodes clamp
// and round); levels are paged ("VTag").
class CLevelUnit : public ILevelUnit, public IUnitProfile, public CUacUnitBase {
public:
    CLevelUnit(PUNKNOWN outer, ULONG id, ULONG kind);
    ~CLevelUnit() override;

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    NTSTATUS GetValue(ULONG channel, LONG* level) override;
    NTSTATUS SetValue(ULONG channel, LONG level) override;
    NTSTATUS GetRange(LONG* maximum, LONG* minimum, LONG* step) override;
    NTSTATUS GetChannelCount(ULONG* count) override;
    NTSTATUS Init(ULONG sourceId, ULONG channelCount, LONG maximum, LONG minimum,
                  LONG step) override;
    NTSTATUS SelectProfile(ULONG profile, PVOID callbackObject) override;

protected:
    ULONG m_ChannelCount;
    LONG* m_Levels;
    LONG m_Maximum;
    LONG m_Minimum;
    LONG m_Step;
    ULONG m_Profile;
};

// Channel count a boolean or level unit reports under an output-type
// profile: the full count for stream, speaker, HDMI and line, else at most 2.
ULONG ProfileChannelCount(ULONG profile, ULONG channelCount);

#define DECLARE_FIXED_KIND_UNIT(name, base, kind)                                  \
    class name : public base {                                                     \
    public:                                                                        \
        name(PUNKNOWN outer, ULONG id) : base(outer, id, kind) {}                  \
    }

DECLARE_FIXED_KIND_UNIT(CMuteUnit, CBoolUnit, UNIT_KIND_MUTE);
DECLARE_FIXED_KIND_UNIT(CAgcUnit, CBoolUnit, UNIT_KIND_AGC);
DECLARE_FIXED_KIND_UNIT(CLoudnessUnit, CBoolUnit, UNIT_KIND_LOUDNESS);
DECLARE_FIXED_KIND_UNIT(CDspSwitchUnit, CBoolUnit, UNIT_KIND_DEV_SWITCH);
DECLARE_FIXED_KIND_UNIT(CSoftMuteUnit, CBoolUnit, UNIT_KIND_SOFT_MUTE);
DECLARE_FIXED_KIND_UNIT(CVolumeUnit, CLevelUnit, UNIT_KIND_VOLUME);
DECLARE_FIXED_KIND_UNIT(CInputGainPadUnit, CLevelUnit, UNIT_KIND_INPUT_GAIN_PAD);
DECLARE_FIXED_KIND_UNIT(CBassUnit, CLevelUnit, UNIT_KIND_BASS);
DECLARE_FIXED_KIND_UNIT(CMidUnit, CLevelUnit, UNIT_KIND_MID);
DECLARE_FIXED_KIND_UNIT(CTrebleUnit, CLevelUnit, UNIT_KIND_TREBLE);

// Selector. The listener list ("SelT", each entry holding a reference) is
// created by the first SetSourceIds and kept by later ones.
class CMuxUnit : public IMuxUnit, public CUacUnitBase {
public:
    CMuxUnit(PUNKNOWN outer, ULONG id);
    ~CMuxUnit() override;

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    NTSTATUS GetValue(ULONG* input) override;
    NTSTATUS SetValue(ULONG input) override;
    NTSTATUS GetInputCount(ULONG* count) override;
    NTSTATUS AddListener(IMuxListener* listener) override;
    NTSTATUS SetSourceIds(ULONG count, const ULONG* ids) override;

protected:
    ULONG m_CurrentInput;
    CList* m_Listeners;
};

#define CLOCK_MAX_RATES 30

// Clock source: the sample rates in Hz (non-paged, "cloc"), used by the
// stream side only.
class CClockUnit : public IClockSource, public CUacUnitBase {
public:
    CClockUnit(PUNKNOWN outer, ULONG id);
    ~CClockUnit() override;

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    NTSTATUS GetSampleRates(ULONG* count, ULONG* rates) override;
    NTSTATUS GetSampleRateCount(ULONG* count) override;
    NTSTATUS SetSampleRate(ULONG rate) override;
    NTSTATUS GetSampleRate(ULONG* rate) override;
    NTSTATUS GetClockValid(BYTE* valid) override;
    NTSTATUS Init(ULONG count, const ULONG* rates) override;

protected:
    ULONG m_RateCount;
    ULONG* m_Rates;
    ULONG m_CurrentRate;
};

// Effect switch without a device behind it: SetValue keeps the state and
// reports that nothing was applied; the parameter operations are refused.
// Derived effect nodes set the name and value count and take m_Lock (a
// kernel mutex, passive level) around their state.
class CEffectUnit : public IEffectUnit, public CUacUnitBase {
public:
    CEffectUnit(PUNKNOWN outer, ULONG id);

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    NTSTATUS GetNameGuid(GUID* name) override;
    NTSTATUS SetValue(BYTE enabled) override;
    NTSTATUS GetValue(BYTE* enabled) override;
    NTSTATUS GetValueCount(ULONG* count) override;
    NTSTATUS GetValues(ULONG index, ULONG count, ULONG* values) override;
    NTSTATUS SetValues(ULONG index, ULONG count, const ULONG* values) override;
    NTSTATUS GetValueRange(ULONG index, ULONG* first, ULONG* second, ULONG* third) override;
    NTSTATUS Init(ULONG sourceId) override;

protected:
    GUID m_NameGuid;
    ULONG m_ValueCount;
    BYTE m_Enabled;
    KMUTEX m_Lock;
};

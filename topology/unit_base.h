// Units of the audio-function graph: every topology pin, topology node and
// clock is a unit with an id, a kind and the ids of the units feeding it.
// The adapter keeps its units in one list; the topology miniport turns that
// list into the "GlobalTopo" filter.
#pragma once

#include "adapter/base/pool_new.h"
#include "adapter/base/unknown.h"
#include "nt/status.h"

// Pool tags of the unit graph: source-id arrays and the builder's blocks.
inline constexpr ULONG TOPO_SOURCE_TAG = MakePoolTag("Topo");
inline constexpr ULONG TOPO_BUILD_TAG = MakePoolTag("TOPO");

// Marks a source that is not known (yet): an absent input that every walk
// over the graph skips. 0 is a real unit id.
#define UNIT_ID_NONE 0xFFFFFFFFu

// What a unit becomes on the topology filter. 14, 21 and 25 and above are
// not kinds: a unit reporting one makes the filter build fail.
typedef enum _UNIT_KIND {
    UNIT_KIND_INPUT_PIN = 0,
    UNIT_KIND_OUTPUT_PIN = 1,
    UNIT_KIND_MUTE = 2,
    UNIT_KIND_VOLUME = 3,
    UNIT_KIND_MUX = 4,
    UNIT_KIND_SUM = 5,
    UNIT_KIND_AGC = 6,
    UNIT_KIND_LOUDNESS = 7,
    UNIT_KIND_INPUT_GAIN_PAD = 8,
    UNIT_KIND_BASS = 9,
    UNIT_KIND_MID = 10,
    UNIT_KIND_TREBLE = 11,
    UNIT_KIND_CLOCK = 12,
    UNIT_KIND_TERMINAL_TYPE = 13,
    UNIT_KIND_DEV_SWITCH_15 = 15,
    UNIT_KIND_NAMED_VOLUME = 16,
    UNIT_KIND_DEV_CONTROL_17 = 17,
    UNIT_KIND_DEV_SWITCH = 18,
    UNIT_KIND_DEV_SWITCH_19 = 19,
    UNIT_KIND_DEV_PARAMS_20 = 20,
    UNIT_KIND_SOFT_MUTE = 22,
    UNIT_KIND_EFFECT = 23,
    UNIT_KIND_DEV_EFFECT_24 = 24,
} UNIT_KIND;

// {200AFF7F-71A4-4FFC-BF4F-61F2B8A522B5}
inline constexpr GUID IID_IUacUnit = {0x200AFF7F, 0x71A4, 0x4FFC,
                                      {0xBF, 0x4F, 0x61, 0xF2, 0xB8, 0xA5, 0x22, 0xB5}};

struct IUacUnit : public IUnknown {
    virtual ULONG GetId() = 0;
    virtual ULONG GetKind() = 0;
    virtual ULONG GetSourceCount() = 0;
    // *count in: room in ids; out: the ids copied (never more than asked).
    virtual NTSTATUS GetSourceIds(ULONG* count, ULONG* ids) = 0;
    virtual NTSTATUS Apply() = 0;
    virtual NTSTATUS ReadBack() = 0;
    virtual NTSTATUS Start() = 0;
    virtual NTSTATUS Stop() = 0;
    virtual NTSTATUS SetSourceIds(ULONG count, const ULONG* ids) = 0;
};
typedef IUacUnit* PUACUNIT;

// Base of every unit. Sources are set once during start-up, before the graph
// is wired; no lock guards them. The source array is paged pool ("Topo"),
// freed by the destructor.
class CUacUnitBase : public IUacUnit, public CUnknown {
public:
    CUacUnitBase(PUNKNOWN outer, ULONG id, ULONG kind);
    ~CUacUnitBase() override;

    DECLARE_FORWARDING_UNKNOWN()
    // IID_IUnknown and IID_IUacUnit give the IUacUnit pointer; derived
    // classes ask this first and add their own identifiers.
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    ULONG GetId() override { return m_Id; }
    ULONG GetKind() override { return m_Kind; }
    ULONG GetSourceCount() override { return m_SourceCount; }
    NTSTATUS GetSourceIds(ULONG* count, ULONG* ids) override;
    NTSTATUS Apply() override { return STATUS_SUCCESS; }
    NTSTATUS ReadBack() override { return STATUS_SUCCESS; }
    NTSTATUS Start() override { return STATUS_SUCCESS; }
    NTSTATUS Stop() override { return STATUS_SUCCESS; }
    NTSTATUS SetSourceIds(ULONG count, const ULONG* ids) override;

protected:
    // Only the stereo-mix switch of the sum unit and the entities' node
    // creation change a unit's kind or id after construction.
    void SetKind(ULONG kind) { m_Kind = kind; }
    void SetId(ULONG id) { m_Id = id; }
    // Source count as reported, without touching the array (stereo-mix mode
    // hides the sources of a sum unit and restores them later).
    void SetReportedSourceCount(ULONG count) { m_SourceCount = count; }

    ULONG m_Id;
    ULONG m_Kind;
    ULONG m_SourceCount;
    ULONG* m_SourceIds;
};

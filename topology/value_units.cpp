// Boolean, level, selector, clock and effect units (values in memory).
#include "topology/value_units.h"

#include <cstring>

#include "adapter/audio_hal.h"
#include "nt/pool.h"

namespace {
constexpr ULONG kBoolValueTag = MakePoolTag("MTag");
constexpr ULONG kLevelTag = MakePoolTag("VTag");
constexpr ULONG kListenerListTag = MakePoolTag("SelT");
constexpr ULONG kClockTag = MakePoolTag("cloc");
}  // namespace

ULONG ProfileChannelCount(ULONG profile, ULONG channelCount) {
    switch (profile) {
    case ENDPOINT_STREAM:
    case ENDPOINT_SPK:
    case ENDPOINT_HDMI:
    case ENDPOINT_LINE:
        return channelCount;
    default:
        return channelCount < 2 ? channelCount : 2;
    }
}

// ---- CBoolUnit ----

CBoolUnit::CBoolUnit(PUNKNOWN outer, ULONG id, ULONG kind)
    : CUacUnitBase(outer, id, kind), m_ChannelCount(0), m_Values(NULL), m_Profile(ENDPOINT_STREAM) {}

CBoolUnit::~CBoolUnit() {
    if (m_Values) {
        ExFreePool(m_Values);
    }
}

NTSTATUS CBoolUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    NTSTATUS status = CUacUnitBase::NonDelegatingQueryInterface(iid, out);
    if (NT_SUCCESS(status) || out == NULL) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IBoolUnit)) {
        return ReturnInterface(static_cast<IBoolUnit*>(this), out);
    }
    if (IsEqualGUID(iid, IID_IUnitProfile)) {
        return ReturnInterface(static_cast<IUnitProfile*>(this), out);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CBoolUnit::GetValue(ULONG channel, BYTE* value) {
    if (channel >= m_ChannelCount || value == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *value = m_Values[channel];
    return STATUS_SUCCESS;
}

NTSTATUS CBoolUnit::SetValue(ULONG channel, BYTE value) {
    if (channel >= m_ChannelCount) {
        return STATUS_INVALID_PARAMETER;
    }
    m_Values[channel] = value;
    return STATUS_SUCCESS;
}

NTSTATUS CBoolUnit::GetChannelCount(ULONG* count) {
    if (count == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *count = ProfileChannelCount(m_Profile, m_ChannelCount);
    return STATUS_SUCCESS;
}

NTSTATUS CBoolUnit::Init(ULONG sourceId, ULONG channelCount) {
    return InitValues(sourceId, channelCount, kBoolValueTag);
}

// Allocates the zeroed value bytes and sets the single source; a failure
// leaves no value array behind (a previous one is kept).
NTSTATUS CBoolUnit::InitValues(ULONG sourceId, ULONG channelCount, ULONG tag) {
    BYTE* values = NULL;
    if (channelCount != 0) {
        values = static_cast<BYTE*>(ExAllocatePoolWithTag(NonPagedPoolNx, channelCount, tag));
        if (values == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        memset(values, 0, channelCount);
    }
    NTSTATUS status = SetSourceIds(1, &sourceId);
    if (!NT_SUCCESS(status)) {
        if (values) {
            ExFreePool(values);
        }
        return status;
    }
    if (m_Values) {
        ExFreePool(m_Values);
    }
    m_Values = values;
    m_ChannelCount = channelCount;
    return STATUS_SUCCESS;
}

NTSTATUS CBoolUnit::SelectProfile(ULONG profile, PVOID callbackObject) {
    UNREFERENCED_PARAMETER(callbackObject);
    m_Profile = profile;
    return STATUS_SUCCESS;
}

// ---- CLevelUnit ----

CLevelUnit::CLevelUnit(PUNKNOWN outer, ULONG id, ULONG kind)
    : CUacUnitBase(outer, id, kind),
      m_ChannelCount(0),
      m_Levels(NULL),
      m_Maximum(0),
      m_Minimum(0),
      m_Step(0),
      m_Profile(ENDPOINT_STREAM) {}

CLevelUnit::~CLevelUnit() {
    if (m_Levels) {
        ExFreePoolWithTag(m_Levels, kLevelTag);
    }
}

NTSTATUS CLevelUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    NTSTATUS status = CUacUnitBase::NonDelegatingQueryInterface(iid, out);
    if (NT_SUCCESS(status) || out == NULL) {
        return status;
    }
    if (IsEqualGUID(iid, IID_ILevelUnit)) {
        return ReturnInterface(static_cast<ILevelUnit*>(this), out);
    }
    if (IsEqualGUID(iid, IID_IUnitProfile)) {
        return ReturnInterface(static_cast<IUnitProfile*>(this), out);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CLevelUnit::GetValue(ULONG channel, LONG* level) {
    if (channel >= m_ChannelCount || level == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *level = m_Levels[channel];
    return STATUS_SUCCESS;
}

NTSTATUS CLevelUnit::SetValue(ULONG channel, LONG level) {
    if (channel >= m_ChannelCount) {
        return STATUS_INVALID_PARAMETER;
    }
    m_Levels[channel] = level;
    return STATUS_SUCCESS;
}

NTSTATUS CLevelUnit::GetRange(LONG* maximum, LONG* minimum, LONG* step) {
    if (maximum == NULL || minimum == NULL || step == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *maximum = m_Maximum;
    *minimum = m_Minimum;
    *step = m_Step;
    return STATUS_SUCCESS;
}

NTSTATUS CLevelUnit::GetChannelCount(ULONG* count) {
    if (count == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *count = ProfileChannelCount(m_Profile, m_ChannelCount);
    return STATUS_SUCCESS;
}

// The range is stored unchecked (a minimum above the maximum or a zero step
// included); the bound nodes interpret it.
NTSTATUS CLevelUnit::Init(ULONG sourceId, ULONG channelCount, LONG maximum, LONG minimum,
                          LONG step) {
    LONG* levels = NULL;
    if (channelCount != 0) {
        SIZE_T bytes = (SIZE_T)channelCount * sizeof(LONG);
        levels = static_cast<LONG*>(ExAllocatePoolWithTag(PagedPool, bytes, kLevelTag));
        if (levels == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        memset(levels, 0, bytes);
    }
    NTSTATUS status = SetSourceIds(1, &sourceId);
    if (!NT_SUCCESS(status)) {
        if (levels) {
            ExFreePoolWithTag(levels, kLevelTag);
        }
        return status;
    }
    if (m_Levels) {
        ExFreePoolWithTag(m_Levels, kLevelTag);
    }
    m_Levels = levels;
    m_ChannelCount = channelCount;
    m_Maximum = maximum;
    m_Minimum = minimum;
    m_Step = step;
    return STATUS_SUCCESS;
}

NTSTATUS CLevelUnit::SelectProfile(ULONG profile, PVOID callbackObject) {
    UNREFERENCED_PARAMETER(callbackObject);
    m_Profile = profile;
    return STATUS_SUCCESS;
}

// ---- CMuxUnit ----

CMuxUnit::CMuxUnit(PUNKNOWN outer, ULONG id)
    : CUacUnitBase(outer, id, UNIT_KIND_MUX), m_CurrentInput(1), m_Listeners(NULL) {}

CMuxUnit::~CMuxUnit() {
    if (m_Listeners) {
        PVOID data = NULL;
        while (m_Listeners->RemoveHead(&data)) {
            static_cast<IMuxListener*>(data)->Release();
        }
        delete m_Listeners;
        m_Listeners = NULL;
    }
}

NTSTATUS CMuxUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    NTSTATUS status = CUacUnitBase::NonDelegatingQueryInterface(iid, out);
    if (NT_SUCCESS(status) || out == NULL) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IMuxUnit)) {
        return ReturnInterface(static_cast<IMuxUnit*>(this), out);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CMuxUnit::GetValue(ULONG* input) {
    if (input == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *input = m_CurrentInput;
    return STATUS_SUCCESS;
}

NTSTATUS CMuxUnit::GetInputCount(ULONG* count) {
    if (count == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *count = m_SourceCount;
    return STATUS_SUCCESS;
}

// Listeners hear of every selection, also of the input already selected;
// a failing listener ends its pass but never the selection.
NTSTATUS CMuxUnit::SetValue(ULONG input) {
    if (input == 0 || input > m_SourceCount) {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID data = NULL;
    POSITION pos = m_Listeners ? m_Listeners->GetHeadPosition() : NULL;
    while (m_Listeners && m_Listeners->GetNext(pos, &data)) {
        if (!NT_SUCCESS(static_cast<IMuxListener*>(data)->OnSelectionChanging(input, m_CurrentInput))) {
            break;
        }
    }
    m_CurrentInput = input;
    pos = m_Listeners ? m_Listeners->GetHeadPosition() : NULL;
    while (m_Listeners && m_Listeners->GetNext(pos, &data)) {
        if (!NT_SUCCESS(static_cast<IMuxListener*>(data)->OnSelectionChanged(input))) {
            break;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS CMuxUnit::AddListener(IMuxListener* listener) {
    if (listener == NULL || m_Listeners == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    listener->AddRef();
    if (m_Listeners->AddTail(listener) == NULL) {
        listener->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

// The listener list is created by the first call and kept afterwards, so a
// second SetSourceIds neither leaks a list nor drops the listeners.
NTSTATUS CMuxUnit::SetSourceIds(ULONG count, const ULONG* ids) {
    if (m_Listeners == NULL) {
        m_Listeners = new (NonPagedPoolNx, kListenerListTag) CList();
        if (m_Listeners == NULL) {
            return STATUS_UNSUCCESSFUL;
        }
    }
    return CUacUnitBase::SetSourceIds(count, ids);
}

// ---- CClockUnit ----

CClockUnit::CClockUnit(PUNKNOWN outer, ULONG id)
    : CUacUnitBase(outer, id, UNIT_KIND_CLOCK), m_RateCount(0), m_Rates(NULL), m_CurrentRate(0) {}

CClockUnit::~CClockUnit() {
    if (m_Rates) {
        ExFreePoolWithTag(m_Rates, kClockTag);
    }
}

NTSTATUS CClockUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    NTSTATUS status = CUacUnitBase::NonDelegatingQueryInterface(iid, out);
    if (NT_SUCCESS(status) || out == NULL) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IClockSource)) {
        return ReturnInterface(static_cast<IClockSource*>(this), out);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CClockUnit::GetSampleRates(ULONG* count, ULONG* rates) {
    if (count == NULL || rates == NULL || m_RateCount > *count) {
        return STATUS_INVALID_PARAMETER;
    }
    *count = m_RateCount;
    if (m_RateCount != 0) {
        memcpy(rates, m_Rates, m_RateCount * sizeof(ULONG));
    }
    return STATUS_SUCCESS;
}

NTSTATUS CClockUnit::GetSampleRateCount(ULONG* count) {
    if (count == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *count = m_RateCount;
    return STATUS_SUCCESS;
}

NTSTATUS CClockUnit::SetSampleRate(ULONG rate) {
    m_CurrentRate = rate;
    return STATUS_SUCCESS;
}

NTSTATUS CClockUnit::GetSampleRate(ULONG* rate) {
    if (rate == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *rate = m_CurrentRate;
    return STATUS_SUCCESS;
}

NTSTATUS CClockUnit::GetClockValid(BYTE* valid) {
    if (valid == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *valid = TRUE;
    return STATUS_SUCCESS;
}

// Bad arguments answer STATUS_INSUFFICIENT_RESOURCES, as a short pool does.
NTSTATUS CClockUnit::Init(ULONG count, const ULONG* rates) {
    if (rates == NULL || count > CLOCK_MAX_RATES) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG* copy = NULL;
    if (count != 0) {
        copy = static_cast<ULONG*>(
            ExAllocatePoolWithTag(NonPagedPoolNx, count * sizeof(ULONG), kClockTag));
        if (copy == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        memcpy(copy, rates, count * sizeof(ULONG));
    }
    SetSourceIds(0, NULL);
    if (m_Rates) {
        ExFreePoolWithTag(m_Rates, kClockTag);
    }
    m_Rates = copy;
    m_RateCount = count;
    return STATUS_SUCCESS;
}

// ---- CEffectUnit ----

CEffectUnit::CEffectUnit(PUNKNOWN outer, ULONG id)
    : CUacUnitBase(outer, id, UNIT_KIND_EFFECT), m_NameGuid(), m_ValueCount(0), m_Enabled(0) {
    KeInitializeMutex(&m_Lock, 0);
}

NTSTATUS CEffectUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    NTSTATUS status = CUacUnitBase::NonDelegatingQueryInterface(iid, out);
    if (NT_SUCCESS(status) || out == NULL) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IEffectUnit)) {
        return ReturnInterface(static_cast<IEffectUnit*>(this), out);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CEffectUnit::GetNameGuid(GUID* name) {
    if (name == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *name = m_NameGuid;
    return STATUS_SUCCESS;
}

NTSTATUS CEffectUnit::SetValue(BYTE enabled) {
    m_Enabled = enabled;
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS CEffectUnit::GetValue(BYTE* enabled) {
    if (enabled == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    *enabled = m_Enabled;
    return STATUS_SUCCESS;
}

NTSTATUS CEffectUnit::GetValueCount(ULONG* count) {
    if (count == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *count = m_ValueCount;
    return STATUS_SUCCESS;
}

NTSTATUS CEffectUnit::GetValues(ULONG, ULONG, ULONG*) { return STATUS_INVALID_PARAMETER; }
NTSTATUS CEffectUnit::SetValues(ULONG, ULONG, const ULONG*) { return STATUS_INVALID_PARAMETER; }
NTSTATUS CEffectUnit::GetValueRange(ULONG, ULONG*, ULONG*, ULONG*) {
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CEffectUnit::Init(ULONG sourceId) { return SetSourceIds(1, &sourceId); }

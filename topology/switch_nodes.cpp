// Switch, selector, clock, mixer and vendor-switch nodes.
#include "topology/switch_nodes.h"

#include <cstring>

#include "nt/pool.h"
#include "topology/interface_ref.h"

namespace {
constexpr ULONG kSelectorSourceTag = MakePoolTag("SelT");
constexpr ULONG kClockRateTag = MakePoolTag("cloc");
constexpr ULONG kMixerSourceTag = MakePoolTag("TMix");

// count ids of UNIT_ID_NONE (absent inputs until the parser connects them)
// given to setSources; the temporary array is freed afterwards.
template <class SetSources>
NTSTATUS SetAbsentSources(ULONG count, ULONG tag, SetSources setSources) {
    if (count == 0) {
        return setSources(0, static_cast<const ULONG*>(NULL));
    }
    ULONG* ids =
        static_cast<ULONG*>(ExAllocatePoolWithTag(NonPagedPoolNx, (SIZE_T)count * sizeof(ULONG), tag));
    if (ids == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < count; ++i) {
        ids[i] = UNIT_ID_NONE;
    }
    NTSTATUS status = setSources(count, static_cast<const ULONG*>(ids));
    ExFreePoolWithTag(ids, tag);
    return status;
}

class MutexHold {
public:
    explicit MutexHold(PKMUTEX mutex) : m_Mutex(mutex) {
        KeWaitForSingleObject(m_Mutex, Executive, KernelMode, FALSE, NULL);
    }
    ~MutexHold() { KeReleaseMutex(m_Mutex, FALSE); }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;

private:
    PKMUTEX m_Mutex;
};
}  // namespace

// ---- CBoolNode ----

CBoolNode::CBoolNode(PUNKNOWN outer, ULONG id, ULONG kind)
    : CBoolUnit(outer, id, kind), m_DeviceObject(NULL), m_Entity(NULL), m_ControlSelector(0) {}

NTSTATUS CBoolNode::InitFromEntity(IUnknown* entity, ULONG controlSelector,
                                   PDEVICE_OBJECT deviceObject) {
    m_Entity = entity;
    InterfaceRef<IBoolControl> control(entity, IID_IBoolControl);
    if (!NT_SUCCESS(control.status())) {
        return control.status();
    }
    ULONG count = 0;
    NTSTATUS status = control->GetBoolChannelCount(controlSelector, &count);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    m_ControlSelector = controlSelector;
    status = CBoolUnit::Init(0, count);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    m_DeviceObject = deviceObject;
    for (ULONG i = 0; i < count; ++i) {
        UCHAR value = 0;
        if (NT_SUCCESS(control->GetBool(controlSelector, i, &value))) {
            m_Values[i] = value;
        }
        Store().ReadChannel(m_Profile, i, &m_Values[i], sizeof(BYTE));
    }
    return STATUS_SUCCESS;
}

NTSTATUS CBoolNode::InitWithoutControl(IUnknown* entity, PDEVICE_OBJECT deviceObject) {
    m_Entity = entity;
    NTSTATUS status = CBoolUnit::Init(0, 1);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    m_DeviceObject = deviceObject;
    Store().ReadChannel(m_Profile, 0, &m_Values[0], sizeof(BYTE));
    return STATUS_SUCCESS;
}

NTSTATUS CBoolNode::SendBool(ULONG channel, BYTE value) {
    InterfaceRef<IBoolControl> control(m_Entity, IID_IBoolControl);
    if (!NT_SUCCESS(control.status())) {
        return control.status();
    }
    return control->SetBool(m_ControlSelector, channel, value);
}

void CBoolNode::KeepValue(ULONG channel, BYTE value) {
    m_Values[channel] = value;
    Store().WriteChannel(m_Profile, channel, &value, sizeof(BYTE));
}

NTSTATUS CBoolNode::SetValue(ULONG channel, BYTE value) {
    if (channel >= m_ChannelCount) {
        return STATUS_INVALID_PARAMETER;
    }
    SendBool(channel, value);
    KeepValue(channel, value);
    return STATUS_SUCCESS;
}

NTSTATUS CBoolNode::SelectProfile(ULONG profile, PVOID callbackObject) {
    m_Profile = profile;
    ULONG count = 0;
    GetChannelCount(&count);
    RestoreProfileValues(Store(), profile, count, m_Values, callbackObject,
                         [this](ULONG i, BYTE value) { SetValue(i, value); });
    return STATUS_SUCCESS;
}

NTSTATUS CBoolNode::Apply() {
    if (m_ChannelCount == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < m_ChannelCount; ++i) {
        NTSTATUS status = SetValue(i, m_Values[i]);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS CBoolNode::ReadBack() {
    InterfaceRef<IBoolControl> control(m_Entity, IID_IBoolControl);
    if (!NT_SUCCESS(control.status())) {
        return control.status();
    }
    for (ULONG i = 0; i < m_ChannelCount; ++i) {
        UCHAR value = 0;
        NTSTATUS status = control->GetBool(m_ControlSelector, i, &value);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        KeepValue(i, value);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CDspSwitchNode::SetValue(ULONG channel, BYTE value) {
    if (channel >= m_ChannelCount) {
        return STATUS_INVALID_PARAMETER;
    }
    if (NT_SUCCESS(SendBool(channel, value))) {
        KeepValue(channel, value);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CSoftMuteNode::SetValue(ULONG channel, BYTE value) {
    if (channel >= m_ChannelCount) {
        return STATUS_INVALID_PARAMETER;
    }
    KeepValue(channel, value);
    return STATUS_SUCCESS;
}

// ---- CMuteNodeEx ----

NTSTATUS CMuteNodeEx::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    NTSTATUS status = CMuteNode::NonDelegatingQueryInterface(iid, out);
    if (NT_SUCCESS(status) || out == NULL) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IMuxListener)) {
        return ReturnInterface(static_cast<IMuxListener*>(this), out);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CMuteNodeEx::OnSelectionChanged(ULONG newInput) {
    m_CurrentSelection = newInput;
    return STATUS_SUCCESS;
}

NTSTATUS CMuteNodeEx::SetInputIndex(ULONG input) {
    m_InputIndex = input;
    return STATUS_SUCCESS;
}

// ---- CSelectorNode ----

NTSTATUS CSelectorNode::InitFromEntity(IUnknown* entity, PDEVICE_OBJECT deviceObject) {
    m_Entity = entity;
    InterfaceRef<IMuxUnit> mux(entity, IID_IMuxUnit);
    if (!NT_SUCCESS(mux.status())) {
        return mux.status();
    }
    ULONG count = 0;
    NTSTATUS status = mux->GetInputCount(&count);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = SetAbsentSources(count, kSelectorSourceTag,
                              [this](ULONG n, const ULONG* ids) { return SetSourceIds(n, ids); });
    if (!NT_SUCCESS(status)) {
        return status;
    }
    m_DeviceObject = deviceObject;
    ULONG input = m_CurrentInput;
    if (NT_SUCCESS(mux->GetValue(&input))) {
        m_CurrentInput = input;
    }
    NODE_STORE{m_DeviceObject, m_Id}.ReadUnit(&m_CurrentInput, sizeof(ULONG));
    if (m_CurrentInput > count) {
        m_CurrentInput = count;
    }
    if (m_CurrentInput == 0) {
        m_CurrentInput = 1;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CSelectorNode::SetValue(ULONG input) {
    if (input == 0 || input > m_SourceCount) {
        return STATUS_INVALID_PARAMETER;
    }
    InterfaceRef<IMuxUnit> mux(m_Entity, IID_IMuxUnit);
    if (!NT_SUCCESS(mux.status())) {
        return mux.status();
    }
    NTSTATUS status = mux->SetValue(input);
    if (NT_SUCCESS(status)) {
        CMuxUnit::SetValue(input);
        NODE_STORE{m_DeviceObject, m_Id}.WriteUnit(&m_CurrentInput, sizeof(ULONG));
    }
    return status;
}

NTSTATUS CSelectorNode::ReadBack() {
    InterfaceRef<IMuxUnit> mux(m_Entity, IID_IMuxUnit);
    if (!NT_SUCCESS(mux.status())) {
        return mux.status();
    }
    ULONG input = 0;
    NTSTATUS status = mux->GetValue(&input);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (input == 0 || input > m_SourceCount) {
        return STATUS_UNSUCCESSFUL;
    }
    m_CurrentInput = input;
    return STATUS_SUCCESS;
}

// ---- CClockNode ----

NTSTATUS CClockNode::InitFromEntity(IUnknown* entity) {
    m_Entity = entity;
    InterfaceRef<IClockSource> clock(entity, IID_IClockSource);
    if (!NT_SUCCESS(clock.status())) {
        return clock.status();
    }
    ULONG count = 0;
    if (!NT_SUCCESS(clock->GetSampleRateCount(&count)) || count == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG* rates = static_cast<ULONG*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, (SIZE_T)count * sizeof(ULONG), kClockRateTag));
    if (rates == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = clock->GetSampleRates(&count, rates);
    if (NT_SUCCESS(status)) {
        status = CClockUnit::Init(count, rates);
    }
    ExFreePoolWithTag(rates, kClockRateTag);
    return status;
}

NTSTATUS CClockNode::SetSampleRate(ULONG rate) {
    InterfaceRef<IClockSource> clock(m_Entity, IID_IClockSource);
    if (!NT_SUCCESS(clock.status())) {
        return clock.status();
    }
    NTSTATUS status = clock->SetSampleRate(rate);
    if (NT_SUCCESS(status)) {
        m_CurrentRate = rate;
    }
    return status;
}

NTSTATUS CClockNode::GetClockValid(BYTE* valid) {
    InterfaceRef<IClockSource> clock(m_Entity, IID_IClockSource);
    if (!NT_SUCCESS(clock.status())) {
        return clock.status();
    }
    return clock->GetClockValid(valid);
}

// ---- CMixerNode ----

NTSTATUS CMixerNode::InitFromEntity(IUnknown* entity) {
    m_Entity = entity;
    InterfaceRef<IUacUnit> unit(entity, IID_IUacUnit);
    if (!NT_SUCCESS(unit.status())) {
        return unit.status();
    }
    return SetAbsentSources(unit->GetSourceCount(), kMixerSourceTag,
                            [this](ULONG n, const ULONG* ids) { return SetSourceIds(n, ids); });
}

// ---- CVendorSwitchNode ----

CVendorSwitchNode::CVendorSwitchNode(PUNKNOWN outer, ULONG id)
    : CEffectUnit(outer, id),
      m_DeviceObject(NULL),
      m_Entity(NULL),
      m_ControlSelector(0),
      m_Changed(0),
      m_Pending(0),
      m_SpinLock(0),
      m_EnabledLatch(0),
      m_Crossfade(0),
      m_StreamFormat() {
    KeInitializeSpinLock(&m_SpinLock);
}

NTSTATUS CVendorSwitchNode::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    NTSTATUS status = CEffectUnit::NonDelegatingQueryInterface(iid, out);
    if (NT_SUCCESS(status) || out == NULL) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IDspNode)) {
        return ReturnInterface(static_cast<IDspNode*>(this), out);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CVendorSwitchNode::Init(IUnknown* entity, ULONG controlSelector,
                                 PDEVICE_OBJECT deviceObject) {
    m_Entity = entity;
    m_ControlSelector = controlSelector;
    InterfaceRef<IBoolControl> control(entity, IID_IBoolControl);
    if (!NT_SUCCESS(control.status())) {
        return control.status();
    }
    m_Changed = 0;
    m_Pending = 0;
    m_DeviceObject = deviceObject;
    m_Crossfade = 1;
    UCHAR value = 0;
    control->GetBool(controlSelector, 0, &value);
    Store().ReadUnit(&value, sizeof(value));
    m_Enabled = value;
    return CEffectUnit::Init(0);
}

// The render path latches m_Enabled under m_SpinLock while a control
// request may be storing a newer byte: the store takes the same lock.
void CVendorSwitchNode::StoreEnabled(BYTE on) {
    CInStackLockHold hold(&m_SpinLock);
    m_Enabled = on;
}

void CVendorSwitchNode::RaiseFlags() {
    InterlockedCompareExchange(&m_Pending, 1, 0);
    InterlockedCompareExchange(&m_Changed, 1, 0);
}

NTSTATUS CVendorSwitchNode::SetValue(BYTE on) {
    MutexHold hold(&m_Lock);
    InterfaceRef<IBoolControl> control(m_Entity, IID_IBoolControl);
    if (!NT_SUCCESS(control.status())) {
        return control.status();
    }
    NTSTATUS status = control->SetBool(m_ControlSelector, 0, on);
    if (NT_SUCCESS(status)) {
        StoreEnabled(on);
    }
    RaiseFlags();
    if (NT_SUCCESS(status)) {
        Store().WriteUnit(&on, sizeof(on));
    }
    return status;
}

NTSTATUS CVendorSwitchNode::GetValue(BYTE* on) {
    if (on == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    MutexHold hold(&m_Lock);
    *on = m_Enabled;
    return STATUS_SUCCESS;
}

NTSTATUS CVendorSwitchNode::ReadBack() {
    MutexHold hold(&m_Lock);
    InterfaceRef<IBoolControl> control(m_Entity, IID_IBoolControl);
    if (!NT_SUCCESS(control.status())) {
        return control.status();
    }
    UCHAR value = 0;
    NTSTATUS status = control->GetBool(m_ControlSelector, 0, &value);
    if (NT_SUCCESS(status)) {
        StoreEnabled(value);
        RaiseFlags();
        Store().WriteUnit(&value, sizeof(value));
    }
    return status;
}

NTSTATUS CVendorSwitchNode::SetFormat(const WAVEFORMATEXTENSIBLE* format) {
    if (format == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    memcpy(&m_StreamFormat, format, sizeof(m_StreamFormat));
    return STATUS_SUCCESS;
}

VOID CVendorSwitchNode::ApplyPendingValue() {
    CInStackLockHold hold(&m_SpinLock);
    // The exchange orders the read of m_Enabled after the control path's
    // store of it, which came before it raised the flag.
    if (InterlockedCompareExchange(&m_Pending, 0, 1) != 0) {
        m_EnabledLatch = m_Enabled;
    }
}

LONG CVendorSwitchNode::TakeSwitchChange(BOOLEAN engineExists) {
    const LONG changed = InterlockedExchange(&m_Changed, 0);
    if (changed != 0) {
        if (engineExists) {
            ApplyPendingValue();
        }
        InterlockedExchange(&m_Crossfade, m_EnabledLatch != 0 ? FADE_TO_WET : FADE_TO_DRY);
    }
    return changed;
}

// ---- CInStackLockHold ----

CInStackLockHold::CInStackLockHold(PKSPIN_LOCK lock)
    : m_Handle(), m_AtDpcLevel(KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    if (m_AtDpcLevel) {
        KeAcquireInStackQueuedSpinLockAtDpcLevel(lock, &m_Handle);
    } else {
        KeAcquireInStackQueuedSpinLock(lock, &m_Handle);
    }
}

CInStackLockHold::~CInStackLockHold() {
    if (m_AtDpcLevel) {
        KeReleaseInStackQueuedSpinLockFromDpcLevel(&m_Handle);
    } else {
        KeReleaseInStackQueuedSpinLock(&m_Handle);
    }
}

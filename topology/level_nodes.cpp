// Level nodes bound to a feature unit's ILevelControl.
#include "topology/level_nodes.h"

#include <new>

#include "topology/dsp_format.h"
#include "topology/interface_ref.h"
#include "topology/pow_table.h"

namespace {
constexpr ULONG kGainTag = MakePoolTag("VTag");

static_assert(sizeof(std::atomic<float>) == sizeof(float) && std::atomic<float>::is_always_lock_free,
              "gains are plain 32-bit stores");

// The entity's ILevelControl for one operation.
class LevelControlRef : public InterfaceRef<ILevelControl> {
public:
    explicit LevelControlRef(IUnknown* entity) : InterfaceRef(entity, IID_ILevelControl) {}
};
}  // namespace

float LevelToGain(LONG level) {
    if (level == LEVEL_MINUS_INFINITY) {
        return 0.0f;
    }
    return PowTable(10.0f, (float)level * 1.52587890625e-5f / 20.0f);
}

// ---- CLevelNode ----

CLevelNode::CLevelNode(PUNKNOWN outer, ULONG id, ULONG kind)
    : CLevelUnit(outer, id, kind), m_DeviceObject(NULL), m_Entity(NULL), m_ControlSelector(0) {}

NTSTATUS CLevelNode::InitFromEntity(IUnknown* entity, ULONG controlSelector,
                                    PDEVICE_OBJECT deviceObject) {
    m_Entity = entity;
    LevelControlRef control(entity);
    if (!NT_SUCCESS(control.status())) {
        return control.status();
    }
    ULONG count = 0;
    LONG maximum = 0, minimum = 0, step = 0;
    NTSTATUS status = control->GetLevelChannelCount(controlSelector, &count);
    if (NT_SUCCESS(status)) {
        status = control->GetLevelRange(controlSelector, &maximum, &minimum, &step);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    m_ControlSelector = controlSelector;
    status = CLevelUnit::Init(0, count, maximum, minimum, step);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    m_DeviceObject = deviceObject;
    for (ULONG i = 0; i < count; ++i) {
        LONG level = 0;
        if (NT_SUCCESS(control->GetLevel(controlSelector, i, &level))) {
            m_Levels[i] = level;
        }
        Store().ReadChannel(m_Profile, i, &m_Levels[i], sizeof(LONG));
    }
    return status;
}

LONG CLevelNode::Clamp(LONG level) const {
    if (level > m_Maximum) {
        return m_Maximum;
    }
    if (level < m_Minimum) {
        return m_Minimum;
    }
    return level;
}

// The remainder takes the sign of the level (division toward zero). A step
// of -1 is skipped too: its remainder is always 0, and INT_MIN % -1 is not
// defined.
LONG CLevelNode::Quantize(LONG level) const {
    if (m_Step == 0 || m_Step == -1) {
        return level;
    }
    return level - level % m_Step;
}

NTSTATUS CLevelNode::SendLevel(ULONG channel, LONG deviceLevel) {
    LevelControlRef control(m_Entity);
    if (!NT_SUCCESS(control.status())) {
        return control.status();
    }
    return control->SetLevel(m_ControlSelector, channel, deviceLevel);
}

NTSTATUS CLevelNode::ReadDeviceLevel(ULONG channel, LONG* level) {
    LevelControlRef control(m_Entity);
    if (!NT_SUCCESS(control.status())) {
        return control.status();
    }
    return control->GetLevel(m_ControlSelector, channel, level);
}

void CLevelNode::KeepLevel(ULONG channel, LONG level) {
    m_Levels[channel] = level;
    Store().WriteChannel(m_Profile, channel, &level, sizeof(LONG));
}

NTSTATUS CLevelNode::SetValue(ULONG channel, LONG level) {
    if (channel >= m_ChannelCount) {
        return STATUS_INVALID_PARAMETER;
    }
    const LONG kept = level == LEVEL_MINUS_INFINITY ? level : Clamp(level);
    const LONG sent = level == LEVEL_MINUS_INFINITY ? m_Minimum : kept;
    if (NT_SUCCESS(SendLevel(channel, Quantize(sent)))) {
        KeepLevel(channel, kept);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CLevelNode::SelectProfile(ULONG profile, PVOID callbackObject) {
    m_Profile = profile;
    ULONG count = 0;
    GetChannelCount(&count);
    RestoreProfileValues(Store(), profile, count, m_Levels, callbackObject,
                         [this](ULONG i, LONG level) { SetValue(i, level); });
    return STATUS_SUCCESS;
}

NTSTATUS CLevelNode::Apply() {
    if (m_ChannelCount == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < m_ChannelCount; ++i) {
        NTSTATUS status = SetValue(i, m_Levels[i]);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS CLevelNode::ReadBack() {
    for (ULONG i = 0; i < m_ChannelCount; ++i) {
        LONG level = 0;
        NTSTATUS status = ReadDeviceLevel(i, &level);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        KeepLevel(i, level);
    }
    return STATUS_SUCCESS;
}

// ---- CVolumeNode ----

NTSTATUS CVolumeNode::SetValue(ULONG channel, LONG level) {
    if (channel >= m_ChannelCount) {
        return STATUS_INVALID_PARAMETER;
    }
    const LONG kept = level == LEVEL_MINUS_INFINITY ? level : Clamp(level);
    const LONG sent = level == LEVEL_MINUS_INFINITY ? level : Quantize(kept);
    if (NT_SUCCESS(SendLevel(channel, sent))) {
        KeepLevel(channel, kept);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CVolumeNode::ReadBack() {
    for (ULONG i = 0; i < m_ChannelCount; ++i) {
        LONG level = 0;
        NTSTATUS status = ReadDeviceLevel(i, &level);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (level == Quantize(m_Levels[i])) {
            return STATUS_UNSUCCESSFUL;
        }
        KeepLevel(i, level);
    }
    return STATUS_SUCCESS;
}

// ---- CInputGainPadNode ----

NTSTATUS CInputGainPadNode::GetValue(ULONG channel, LONG* level) {
    return CLevelNode::GetValue(channel == LEVEL_ALL_CHANNELS ? 0 : channel, level);
}

NTSTATUS CInputGainPadNode::SendAndKeep(ULONG channel, LONG level) {
    NTSTATUS status = SendLevel(channel, Quantize(level));
    if (NT_SUCCESS(status)) {
        KeepLevel(channel, level);
    }
    return status;
}

NTSTATUS CInputGainPadNode::SetValue(ULONG channel, LONG level) {
    if (m_ChannelCount == 0 || (channel >= m_ChannelCount && channel != LEVEL_ALL_CHANNELS)) {
        return STATUS_INVALID_PARAMETER;
    }
    const LONG kept = Clamp(level == LEVEL_MINUS_INFINITY ? m_Minimum : level);
    if (channel != LEVEL_ALL_CHANNELS) {
        SendAndKeep(channel, kept);
        return STATUS_SUCCESS;
    }
    for (ULONG i = 0; i < m_ChannelCount; ++i) {
        if (!NT_SUCCESS(SendAndKeep(i, kept))) {
            return STATUS_SUCCESS;
        }
    }
    KeepLevel(0, kept);
    return STATUS_SUCCESS;
}

// ---- CSoftwareVolumeNode ----

CSoftwareVolumeNode::CSoftwareVolumeNode(PUNKNOWN outer, ULONG id)
    : CVolumeNode(outer, id), m_InputIndex(0), m_CurrentSelection(0), m_Gains(NULL) {}

CSoftwareVolumeNode::~CSoftwareVolumeNode() {
    if (m_Gains != NULL) {
        ExFreePoolWithTag(m_Gains, kGainTag);
    }
}

NTSTATUS CSoftwareVolumeNode::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    NTSTATUS status = CVolumeNode::NonDelegatingQueryInterface(iid, out);
    if (NT_SUCCESS(status) || out == NULL) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IDspNode)) {
        return ReturnInterface(static_cast<IDspNode*>(this), out);
    }
    if (IsEqualGUID(iid, IID_IMuxListener)) {
        return ReturnInterface(static_cast<IMuxListener*>(this), out);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CSoftwareVolumeNode::InitFromEntity(IUnknown* entity, ULONG controlSelector,
                                             PDEVICE_OBJECT deviceObject) {
    NTSTATUS status = CVolumeNode::InitFromEntity(entity, controlSelector, deviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG count = m_ChannelCount + 1;
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, (SIZE_T)count * sizeof(float), kGainTag);
    if (block == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (m_Gains != NULL) {
        ExFreePoolWithTag(m_Gains, kGainTag);
    }
    m_Gains = static_cast<std::atomic<float>*>(block);
    for (ULONG i = 0; i < count; ++i) {
        new (&m_Gains[i]) std::atomic<float>(i < m_ChannelCount ? LevelToGain(m_Levels[i]) : 0.0f);
    }
    return STATUS_SUCCESS;
}

void CSoftwareVolumeNode::SetGain(ULONG channel, LONG level) {
    if (m_Gains != NULL) {
        m_Gains[channel].store(LevelToGain(level), std::memory_order_relaxed);
    }
}

NTSTATUS CSoftwareVolumeNode::SetValue(ULONG channel, LONG level) {
    if (channel >= m_ChannelCount) {
        return STATUS_INVALID_PARAMETER;
    }
    CVolumeNode::SetValue(channel, level);
    SetGain(channel, level == LEVEL_MINUS_INFINITY ? level : Clamp(level));
    return STATUS_SUCCESS;
}

NTSTATUS CSoftwareVolumeNode::SelectProfile(ULONG profile, PVOID callbackObject) {
    CVolumeNode::SelectProfile(profile, callbackObject);
    RestoreProfileValues(Store(), profile, m_ChannelCount, m_Levels, callbackObject,
                         [this](ULONG i, LONG level) { SetValue(i, level); });
    return STATUS_SUCCESS;
}

NTSTATUS CSoftwareVolumeNode::ReadBack() {
    for (ULONG i = 0; i < m_ChannelCount; ++i) {
        LONG level = 0;
        NTSTATUS status = ReadDeviceLevel(i, &level);
        if (NT_SUCCESS(status)) {
            status = SetValue(i, level);
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        KeepLevel(i, level);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CSoftwareVolumeNode::OnSelectionChanged(ULONG newInput) {
    m_CurrentSelection.store(newInput, std::memory_order_relaxed);
    return STATUS_SUCCESS;
}

NTSTATUS CSoftwareVolumeNode::SetInputIndex(ULONG input) {
    m_InputIndex.store(input, std::memory_order_relaxed);
    return STATUS_SUCCESS;
}

NTSTATUS CSoftwareVolumeNode::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data,
                                      ULONG frames) {
    if (m_InputIndex.load(std::memory_order_relaxed) !=
        m_CurrentSelection.load(std::memory_order_relaxed)) {
        return STATUS_SUCCESS;
    }
    if (format == NULL || data == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!DspIsPcm(format) || m_Gains == NULL) {
        return STATUS_SUCCESS;
    }
    ULONG channels = DspChannelCount(format);
    if (channels > m_ChannelCount) {
        channels = m_ChannelCount;
    }
    float* const* table = static_cast<float* const*>(data);
    for (ULONG ch = 0; ch < channels; ++ch) {
        DspScaleChannels(&table[ch], 1, frames, m_Gains[ch].load(std::memory_order_relaxed));
    }
    return STATUS_SUCCESS;
}

// The remapped family's processed and LED nodes.
#include "topology/remap_nodes.h"

#include <cstring>

#include "primitives/convert/entry_table_a.h"
#include "topology/chip_registers_registry.h"
#include "topology/dsp_format.h"

namespace {

// Level (1/65536 dB) / 1310720 is the exponent of 10 in a linear gain.
constexpr float kLevelPerDecade = 20.0f * 65536.0f;
constexpr ULONG kLedRegister = 1;
constexpr USHORT kLedMask = 0x30;
constexpr USHORT kLedMuted = 0x10;
constexpr USHORT kLedUnmuted = 0x30;

template <class Node>
NTSTATUS AnswerDspNode(Node* node, NTSTATUS baseStatus, REFIID iid, PVOID* out) {
    if (NT_SUCCESS(baseStatus) || out == NULL) return baseStatus;
    if (IsEqualGUID(iid, IID_IDspNode)) {
        *out = static_cast<IDspNode*>(node);
        static_cast<IDspNode*>(node)->AddRef();
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}

bool FirstChannelMuted(const volatile BYTE* values) { return values != NULL && values[0] != 0; }

}  // namespace

void SilenceStream(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
    if (format == NULL || data == NULL) return;
    if (DspIsPcm(format))
        DspZeroChannels(static_cast<float* const*>(data), DspChannelCount(format), frames);
    else
        memset(data, 0, (size_t)frames * format->Format.nBlockAlign);
}

// ---- CProcessedSoftMuteNode ------------------------------------------------------------

NTSTATUS CProcessedSoftMuteNode::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    return AnswerDspNode(this, CMuteNode::NonDelegatingQueryInterface(iid, out), iid, out);
}

NTSTATUS CProcessedSoftMuteNode::SetValue(ULONG channel, BYTE value) {
    if (channel >= m_ChannelCount) return STATUS_INVALID_PARAMETER;
    KeepValue(channel, value);
    return STATUS_SUCCESS;
}

NTSTATUS CProcessedSoftMuteNode::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
    if (FirstChannelMuted(m_Values)) SilenceStream(format, data, frames);
    return STATUS_SUCCESS;
}

// ---- CProcessedMuteNode ------------------------------------------------------------------

NTSTATUS CProcessedMuteNode::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    return AnswerDspNode(this, CMuteNode::NonDelegatingQueryInterface(iid, out), iid, out);
}

NTSTATUS CProcessedMuteNode::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
    if (m_Profile == ENDPOINT_SPDIF && FirstChannelMuted(m_Values)) SilenceStream(format, data, frames);
    return STATUS_SUCCESS;
}

// ---- CProcessedMuteNodeEx ------------------------------------------------------------------

NTSTATUS CProcessedMuteNodeEx::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    return AnswerDspNode(this, CMuteNodeEx::NonDelegatingQueryInterface(iid, out), iid, out);
}

NTSTATUS CProcessedMuteNodeEx::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
    if (m_CurrentSelection == m_InputIndex && FirstChannelMuted(m_Values)) SilenceStream(format, data, frames);
    return STATUS_SUCCESS;
}

// ---- CProcessedVolumeNode ------------------------------------------------------------------

CProcessedVolumeNode::CProcessedVolumeNode(PUNKNOWN outer, ULONG id) : CVolumeNode(outer, id) {
    for (float& gain : m_Gains) gain = 1.0f;
}

NTSTATUS CProcessedVolumeNode::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    return AnswerDspNode(this, CVolumeNode::NonDelegatingQueryInterface(iid, out), iid, out);
}

// gain = 10^(L / 1310720) over the cached levels; a node of one channel
// (a master volume) gives its gain to every channel of the stream, one of
// several leaves the channels it has no level for at unity.
void CProcessedVolumeNode::ComputeGains() {
    const ULONG count = m_ChannelCount < REMAP_MAX_GAINS ? m_ChannelCount : REMAP_MAX_GAINS;
    if (m_Levels == NULL || count == 0) return;
    float exponents[REMAP_MAX_GAINS];
    float tens[REMAP_MAX_GAINS];
    float gains[REMAP_MAX_GAINS];
    spI32ToF32(reinterpret_cast<const int32_t*>(m_Levels), exponents, (int)count);
    spDivConstF32InPlace(kLevelPerDecade, exponents, (int)count);
    for (ULONG i = 0; i < count; ++i) tens[i] = 10.0f;
    spPowF32(tens, exponents, gains, (int)count);
    for (ULONG i = 0; i < REMAP_MAX_GAINS; ++i) m_Gains[i] = count == 1 ? gains[0] : i < count ? gains[i] : 1.0f;
}

NTSTATUS CProcessedVolumeNode::Init(IUnknown* entity, ULONG controlSelector, PDEVICE_OBJECT deviceObject) {
    NTSTATUS status = InitFromEntity(entity, controlSelector, deviceObject);
    if (!NT_SUCCESS(status)) return status;
    ULONG count = 0;
    status = GetChannelCount(&count);
    if (NT_SUCCESS(status)) ComputeGains();
    return status;
}

NTSTATUS CProcessedVolumeNode::SetValue(ULONG channel, LONG level) {
    NTSTATUS status = CVolumeNode::SetValue(channel, level);
    if (!NT_SUCCESS(status)) return status;
    ComputeGains();
    return STATUS_SUCCESS;
}

NTSTATUS CProcessedVolumeNode::SelectProfile(ULONG profile, PVOID callbackObject) {
    CVolumeNode::SelectProfile(profile, callbackObject);
    ComputeGains();
    return STATUS_SUCCESS;
}

NTSTATUS CProcessedVolumeNode::ReadBack() {
    NTSTATUS status = CVolumeNode::ReadBack();
    if (NT_SUCCESS(status)) ComputeGains();
    return status;
}

NTSTATUS CProcessedVolumeNode::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
    if (m_Profile != ENDPOINT_SPDIF || format == NULL || data == NULL || !DspIsPcm(format)) return STATUS_SUCCESS;
    auto* const* channels = static_cast<float* const*>(data);
    ULONG count = DspChannelCount(format);
    if (count > REMAP_MAX_GAINS) count = REMAP_MAX_GAINS;
    for (ULONG i = 0; i < count; ++i) DspScaleChannels(&channels[i], 1, frames, m_Gains[i]);
    return STATUS_SUCCESS;
}

// ---- CLedMuteNode --------------------------------------------------------------------------

NTSTATUS CLedMuteNode::Init(IUnknown* entity, PDEVICE_OBJECT deviceObject, IAudioHal* builder) {
    NTSTATUS status = InitWithoutControl(entity, deviceObject);
    m_pModel = QueryChipRegisters(builder);
    return status;
}

NTSTATUS CLedMuteNode::SetValue(ULONG channel, BYTE value) {
    if (m_pModel == NULL || channel != 0) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = m_pModel->WriteChipRegister(kLedRegister, value != 0 ? kLedMuted : kLedUnmuted, kLedMask);
    if (!NT_SUCCESS(status)) return status;
    return CSoftMuteNode::SetValue(channel, value);
}

NTSTATUS CLedMuteNode::GetValue(ULONG channel, BYTE* value) {
    if (channel != 0 || value == NULL) return STATUS_INVALID_PARAMETER;
    return CSoftMuteNode::GetValue(channel, value);
}

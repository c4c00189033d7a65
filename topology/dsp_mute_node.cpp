// Software mute node.
#include "topology/dsp_mute_node.h"

#include <cstring>

#include "topology/dsp_format.h"

namespace {
constexpr ULONG kMuteValueTag = MakePoolTag("DSPs");
}

CDspMuteNode::CDspMuteNode(PUNKNOWN outer, ULONG id) : CBoolUnit(outer, id, UNIT_KIND_MUTE) {}

NTSTATUS CDspMuteNode::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    NTSTATUS status = CBoolUnit::NonDelegatingQueryInterface(iid, out);
    if (NT_SUCCESS(status) || out == NULL) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IDspNode)) {
        return ReturnInterface(static_cast<IDspNode*>(this), out);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CDspMuteNode::Init(ULONG sourceId, ULONG channelCount) {
    if (channelCount != 1) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return InitValues(sourceId, 1, kMuteValueTag);
}

NTSTATUS CDspMuteNode::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
    const volatile BYTE* values = m_Values;
    if (values == NULL || values[0] == 0 || format == NULL || data == NULL) {
        return STATUS_SUCCESS;
    }
    if (DspIsPcm(format)) {
        DspZeroChannels(static_cast<float* const*>(data), DspChannelCount(format), frames);
    } else {
        memset(data, 0, (size_t)frames * format->Format.nBlockAlign);
    }
    return STATUS_SUCCESS;
}

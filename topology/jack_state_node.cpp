// Jack-state attenuation and channel-pair swap nodes.
#include "topology/jack_state_node.h"

#include "topology/dsp_format.h"
#include "topology/unit_base.h"

namespace {
constexpr float kAttenuateGain = 0.25f;

NTSTATUS AnswerDspNode(IDspNode* node, REFIID iid, PVOID* out) {
    if (out == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *out = NULL;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IDspNode)) {
        node->AddRef();
        *out = node;
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}
}  // namespace

CJackStateNode::CJackStateNode(PUNKNOWN outer) : CUnknown(outer), m_JackState(JACK_STATE_PASS) {}

NTSTATUS CJackStateNode::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    return AnswerDspNode(static_cast<IDspNode*>(this), iid, out);
}

NTSTATUS CJackStateNode::ResetState() {
    m_JackState = JACK_STATE_PASS;
    return STATUS_SUCCESS;
}

void CJackStateNode::SetState(ULONG state) { m_JackState = state; }

NTSTATUS CJackStateNode::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
    if (format == NULL || data == NULL || !DspIsPcm(format)) {
        return STATUS_SUCCESS;
    }
    ULONG state = m_JackState;
    float* const* channels = static_cast<float* const*>(data);
    if (state == JACK_STATE_ATTENUATE) {
        DspScaleChannels(channels, DspChannelCount(format), frames, kAttenuateGain);
    } else if (state == JACK_STATE_SILENCE) {
        DspZeroChannels(channels, DspChannelCount(format), frames);
    }
    return STATUS_SUCCESS;
}

CChannelSwapProcessor::CChannelSwapProcessor(PUNKNOWN outer) : CUnknown(outer) {}

NTSTATUS CChannelSwapProcessor::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    return AnswerDspNode(static_cast<IDspNode*>(this), iid, out);
}

// Back pair (4, 5) and side pair (6, 7) trade places in the table itself,
// so the conversion back to PCM and every later node see the new order.
NTSTATUS CChannelSwapProcessor::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data,
                                        ULONG frames) {
    UNREFERENCED_PARAMETER(frames);
    if (format == NULL || data == NULL || !DspIsPcm(format) || format->Format.nChannels != 8) {
        return STATUS_SUCCESS;
    }
    float** channels = static_cast<float**>(data);
    float* t = channels[4];
    channels[4] = channels[6];
    channels[6] = t;
    t = channels[5];
    channels[5] = channels[7];
    channels[7] = t;
    return STATUS_SUCCESS;
}

#include "tests/fakes/stream/fake_node.h"

#include <xmmintrin.h>

#include <utility>

#include "stream/engine/stream_engine.h"

namespace streamfakes {

FakeDspNode* FakeDspNode::Create(const NodeSpec& spec) {
    auto* node = new (NonPagedPoolNx, MakePoolTag("FkNd")) FakeDspNode(spec);
    node->AddRef();
    return node;
}

FakeDspNode::FakeDspNode(const NodeSpec& spec) : CUnknown(NULL), m_Spec(spec) {}

NTSTATUS FakeDspNode::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (iid == IID_IUnknown || iid == IID_IDspNode) return ReturnInterface(static_cast<IDspNode*>(this), out);
    return RefuseInterface(out);
}

NTSTATUS FakeDspNode::Reserved1() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Reserved++;
    return STATUS_SUCCESS;
}

NTSTATUS FakeDspNode::Reserved2() { return Reserved1(); }

NTSTATUS FakeDspNode::SetFormat(const WAVEFORMATEXTENSIBLE* format) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_SetFormats++;
    m_LastChannels = format ? format->Format.nChannels : 0;
    return m_Spec.setFormatStatus;
}

NTSTATUS FakeDspNode::Reset() { return STATUS_SUCCESS; }

NTSTATUS FakeDspNode::Flush() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Flushes++;
    return STATUS_SUCCESS;
}

NTSTATUS FakeDspNode::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
    int index;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        index = (int)m_Calls.size();
        float first = 0.0f;
        if (m_Spec.channelTable && StreamFormatTag(format) == WAVE_FORMAT_PCM && format->Format.nChannels > 0 &&
            frames > 0)
            first = static_cast<float**>(data)[0][0];
        m_Calls.push_back({frames, _mm_getcsr(), data, first});
    }
    if (index == m_Spec.failAtCall) return m_Spec.failStatus;
    const ULONG channels = format->Format.nChannels;
    if (StreamFormatTag(format) != WAVE_FORMAT_PCM) {
        if (m_Spec.bumpRawBytes) {
            auto* bytes = static_cast<PUCHAR>(data);
            for (ULONG i = 0; i < frames * format->Format.nBlockAlign; i++) bytes[i]++;
        }
        return STATUS_SUCCESS;
    }
    if (!m_Spec.channelTable) return STATUS_SUCCESS;
    auto** table = static_cast<float**>(data);
    if (m_Spec.gain != 1.0f)
        for (ULONG c = 0; c < channels; c++)
            for (ULONG i = 0; i < frames; i++) table[c][i] *= m_Spec.gain;
    if (m_Spec.swapPairs && channels == 8) {
        std::swap(table[4], table[6]);
        std::swap(table[5], table[7]);
    }
    return STATUS_SUCCESS;
}

std::vector<NodeCall> FakeDspNode::Calls() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Calls;
}
int FakeDspNode::SetFormatCount() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_SetFormats;
}
int FakeDspNode::FlushCount() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Flushes;
}
int FakeDspNode::ReservedCount() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Reserved;
}
ULONG FakeDspNode::LastSetFormatChannels() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_LastChannels;
}
ULONG FakeDspNode::RefCount() {
    AddRef();
    return Release();
}

}  // namespace streamfakes

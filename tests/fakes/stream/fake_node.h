// A processing node for the stream tests: records every call (frames, the
// SSE control word it ran under, the data it got), optionally scales the
// PCM channels by a gain, swaps channel pairs 4/6 and 5/7 of 8-channel PCM
// (by exchanging table entries, as a real swapper does), adds 1 to every
// raw byte of a non-PCM chunk, or fails its k-th Process call.
#pragma once

#include <mutex>
#include <vector>

#include "adapter/base/unknown.h"
#include "stream/engine/dsp_node.h"

namespace streamfakes {

struct NodeSpec {
    float gain = 1.0f;          // PCM: every sample times gain (1.0: untouched)
    bool swapPairs = false;     // 8-channel PCM: table entries 4<->6, 5<->7
    bool bumpRawBytes = false;  // non-PCM: every byte + 1
    int failAtCall = -1;        // 0-based Process call that returns failStatus
    NTSTATUS failStatus = STATUS_UNSUCCESSFUL;
    NTSTATUS setFormatStatus = STATUS_SUCCESS;
    // PCM data is the channel table (false for nodes given to the raw
    // runners, which pass the integer bytes).
    bool channelTable = true;
};

struct NodeCall {
    ULONG frames = 0;
    unsigned mxcsr = 0;
    PVOID data = nullptr;
    float firstSample = 0.0f;  // PCM: channel 0, frame 0 as the node got it
};

class FakeDspNode : public IDspNode, public CUnknown {
public:
    // A new node with one reference.
    static FakeDspNode* Create(const NodeSpec& spec = NodeSpec());

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    NTSTATUS Reserved1() override;
    NTSTATUS Reserved2() override;
    NTSTATUS SetFormat(const WAVEFORMATEXTENSIBLE* format) override;
    NTSTATUS Reset() override;
    NTSTATUS Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override;
    NTSTATUS Flush() override;

    std::vector<NodeCall> Calls() const;
    int SetFormatCount() const;
    int FlushCount() const;
    int ReservedCount() const;
    ULONG LastSetFormatChannels() const;
    ULONG RefCount();

private:
    explicit FakeDspNode(const NodeSpec& spec);
    NodeSpec m_Spec;
    mutable std::mutex m_Lock;
    std::vector<NodeCall> m_Calls;
    int m_SetFormats = 0, m_Flushes = 0, m_Reserved = 0;
    ULONG m_LastChannels = 0;
};

}  // namespace streamfakes

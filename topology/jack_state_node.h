// Two processing nodes of the remapped family's render engines, with no
// topology node: CJackStateNode attenuates (x0.25, about -12 dB) or
// silences PCM according to the jack state the polling thread sets, and
// CChannelSwapProcessor exchanges the rear and side pairs of 8-channel PCM
// by swapping pointers in the engine's channel table. Both are allocated
// with the tag "Z7AM".
#pragma once

#include "stream/engine/dsp_node.h"

inline constexpr ULONG DSP_REMAP_NODE_TAG = MakePoolTag("Z7AM");

#define JACK_STATE_PASS 0
#define JACK_STATE_ATTENUATE 1
#define JACK_STATE_SILENCE 2

class CJackStateNode : public IDspNode, public CUnknown {
public:
    explicit CJackStateNode(PUNKNOWN outer);

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    NTSTATUS Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
    // The IDspNode slot: no effect. ResetState is the model's reset.
    NTSTATUS Reset() override { return STATUS_SUCCESS; }
    NTSTATUS Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override;
    NTSTATUS Flush() override { return STATUS_SUCCESS; }

    // State 0 after creation; SetState at passive level, read once per
    // Process at DISPATCH_LEVEL (one aligned 32-bit store, no lock).
    NTSTATUS ResetState();
    void SetState(ULONG state);

private:
    volatile ULONG m_JackState;
};

class CChannelSwapProcessor : public IDspNode, public CUnknown {
public:
    explicit CChannelSwapProcessor(PUNKNOWN outer);

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    NTSTATUS Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
    NTSTATUS Reset() override { return STATUS_SUCCESS; }
    NTSTATUS Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override;
    NTSTATUS Flush() override { return STATUS_SUCCESS; }
};

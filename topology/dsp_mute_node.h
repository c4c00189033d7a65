// Software mute: a one-channel mute unit that shows on the topology filter
// as a KSNODETYPE_MUTE node and, as a processing node of the stream engine,
// silences its path while the mute is on.
#pragma once

#include "stream/engine/dsp_node.h"
#include "topology/value_units.h"

class CDspMuteNode : public IDspNode, public CBoolUnit {
public:
    CDspMuteNode(PUNKNOWN outer, ULONG id);

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // Exactly one channel (any other count: STATUS_INSUFFICIENT_RESOURCES);
    // the mute byte is non-paged ("DSPs"), 0 after Init.
    NTSTATUS Init(ULONG sourceId, ULONG channelCount) override;

    NTSTATUS Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
    NTSTATUS Reset() override { return STATUS_SUCCESS; }
    // DISPATCH_LEVEL. Reads the mute byte once: a block is either wholly
    // silenced or untouched. Always STATUS_SUCCESS.
    NTSTATUS Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override;
    NTSTATUS Flush() override { return STATUS_SUCCESS; }
};

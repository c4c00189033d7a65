// Processing-node interface of the stream engine's block data path. The
// engine calls SetFormat when its stream starts running, Process for every
// chunk of at most 512 frames at DISPATCH_LEVEL (in processing-list order,
// the first failure ending the walk for that chunk) and Flush when the
// stream stops. For PCM (wFormatTag 1, or WAVE_FORMAT_EXTENSIBLE whose
// SubFormat begins with the USHORT 1) data is the engine's persistent
// table of nChannels float* buffers (at most
// MAX_SOFTWARE_DSP_PROCESS_CHANNELS), which a node may reorder; for any
// other format it is the block's raw interleaved buffer. Nodes work in
// place.
#pragma once

#include "adapter/base/unknown.h"
#include "nt/status.h"
#include "portcls/portcls_types.h"

#define MAX_SOFTWARE_DSP_PROCESS_CHANNELS 8

// {1EDBBC0C-AA74-4046-911E-C8BDE64A66FF}
inline constexpr GUID IID_IDspNode = {0x1EDBBC0C, 0xAA74, 0x4046,
                                      {0x91, 0x1E, 0xC8, 0xBD, 0xE6, 0x4A, 0x66, 0xFF}};

struct IDspNode : public IUnknown {
    virtual NTSTATUS Reserved1() = 0;
    virtual NTSTATUS Reserved2() = 0;
    virtual NTSTATUS SetFormat(const WAVEFORMATEXTENSIBLE* format) = 0;
    virtual NTSTATUS Reset() = 0;
    virtual NTSTATUS Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) = 0;
    virtual NTSTATUS Flush() = 0;
};
typedef IDspNode* PDSPNODE;

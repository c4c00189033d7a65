// CDspInterleaveSrc: the stream format layer of a wave-cyclic stream. It
// converts between the format the USB stream runs in (the running client's)
// and the wave stream's own format: a split stage that takes the interleaved
// frames apart, x2 and x4 rate converters and a 44.1/48 kHz converter, over
// one work buffer.
//
// Its owner allocates it with the pool operator new (NonPagedPoolNx,
// zero-filled; the constructor only clears m_bInit), calls Init once, then
// ResetAll and SetFormat whenever the running client changes (both under
// the owner's spin lock: no allocation, no wait, DISPATCH_LEVEL allowed),
// and Cleanup before delete. Its blocks come from NonPagedPoolNx with the
// tag "DSPS".
#pragma once

#include "adapter/base/pool_new.h"
#include "portcls/portcls_types.h"

inline constexpr ULONG DSP_FORMAT_LAYER_TAG = MakePoolTag("DSPS");

// The DSP code's shared do-nothing function: the body of its empty
// destructors and the default assertion hook, which is called with the
// failed expression, the source path and the line, and ignores them.
VOID EmptyFunction(const char* expression = NULL, const char* sourcePath = NULL, int line = 0);

// Bytes of the work buffer Init allocates.
#define DSP_FORMAT_LAYER_WORK_BYTES 0x1E000

class CDspInterleaveSrc : public CPoolObject {
public:
    CDspInterleaveSrc();
    // One-shot: FALSE when already initialised or when an allocation fails
    // (what was allocated stays for Cleanup). PASSIVE_LEVEL.
    BOOLEAN Init();
    // Resets the converters and the split stage; always TRUE.
    BOOLEAN ResetAll();
    // Configures the chain for inFormat -> outFormat (40-byte records, read
    // only); FALSE for a pair it does not support.
    BOOLEAN SetFormat(const WAVEFORMATEXTENSIBLE* inFormat, const WAVEFORMATEXTENSIBLE* outFormat);
    // Frees whatever Init allocated; the owner then deletes the object.
    VOID Cleanup();

private:
    BOOLEAN m_bInit;
    PVOID m_pSplit;
    PVOID m_pSrcX2;
    PVOID m_pSrcX4;
    PVOID m_pSrc441;
    PUCHAR m_pWorkBuffer;
    WAVEFORMATEXTENSIBLE m_InFormat;
    WAVEFORMATEXTENSIBLE m_OutFormat;
};

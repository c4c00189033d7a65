// CDspInterleaveSrc: the stream format layer of a wave-cyclic stream. It
// checks the format the USB stream runs in (the running client's, InFormat)
// and the wave stream's own format (OutFormat) against the layer's limits,
// keeps both in its split stage (whose channel conversion holds them as
// 32-bit float) and builds the chain of up to three stages that takes the
// InFormat rate to the OutFormat rate: the split stage, then x2, x4 and
// 44.1/48 kHz converters (dsp/rate_converters.h). The chain is configured
// only; no audio passes through it.
//
// Its owner allocates it with the pool operator new ("CCST"; zero-filled,
// the constructor only clears m_bInit), calls Init once, then ResetAll and
// SetFormat whenever the running client changes (both under the owner's
// spin lock: no allocation, no wait, DISPATCH_LEVEL allowed), and Cleanup
// before delete. Its objects and work buffer come from NonPagedPoolNx with
// the tag "DSPS", the converters' buffers with "SRCX".
#pragma once

#include "adapter/base/pool_new.h"
#include "dsp/rate_converters.h"
#include "portcls/portcls_types.h"

inline constexpr ULONG DSP_FORMAT_LAYER_TAG = MakePoolTag("DSPS");

// Bytes of the work buffer Init allocates.
#define DSP_FORMAT_LAYER_WORK_BYTES 0x1E000

#define DSP_FORMAT_LAYER_MAX_CHANNELS 8
#define DSP_FORMAT_LAYER_STAGES 3

// The DSP code's shared do-nothing function: the body of its empty
// destructors and the default assertion hook, which is called with the
// failed expression, the source path and the line, and ignores them.
VOID EmptyFunction(const char* expression = NULL, const char* sourcePath = NULL, int line = 0);

// The formats of the split stage, as 32-bit IEEE float.
class CChannelConversion : public CPoolObject {
public:
    CChannelConversion();
    ~CChannelConversion();
    // One-shot: FALSE when already ready.
    BOOLEAN Init();
    // Both formats must be IEEE float with at most eight channels.
    BOOLEAN SetFormat(const WAVEFORMATEXTENSIBLE* in, const WAVEFORMATEXTENSIBLE* out);

    WAVEFORMATEXTENSIBLE m_InFormat;
    WAVEFORMATEXTENSIBLE m_OutFormat;
    BYTE m_bReady;
};

// Stage 0 of every chain: keeps the formats as given and hands their float
// forms to its channel conversion. Its Process converts nothing.
class CDspSplit final : public CSampleRateConverter {
public:
    ~CDspSplit();
    int GetUpStateSize() override;
    int GetDownStateSize() override;
    BOOL Process(int channel, const float* src, int* pCount) override;

    BOOLEAN Init();
    // Rewrites the caller's two records as 32-bit IEEE float.
    BOOLEAN SetFormat(WAVEFORMATEXTENSIBLE* in, WAVEFORMATEXTENSIBLE* out);

    WAVEFORMATEXTENSIBLE m_InFormat;
    WAVEFORMATEXTENSIBLE m_OutFormat;
    CChannelConversion* m_pConversion;
};

class CDspInterleaveSrc : public CPoolObject {
public:
    CDspInterleaveSrc();
    // One-shot: FALSE when already initialised or when an allocation fails
    // (what was allocated stays for Cleanup). PASSIVE_LEVEL.
    BOOLEAN Init();
    // Resets the converters and the split stage; always TRUE.
    BOOLEAN ResetAll();
    // Configures the chain for inFormat -> outFormat (40-byte records, read
    // only); FALSE, with the previous formats and chain kept, for a pair
    // outside the layer's limits.
    BOOLEAN SetFormat(const WAVEFORMATEXTENSIBLE* inFormat, const WAVEFORMATEXTENSIBLE* outFormat);
    // Frees whatever Init allocated; the owner then deletes the object.
    VOID Cleanup();

    WAVEFORMATEXTENSIBLE m_InFormat;
    WAVEFORMATEXTENSIBLE m_OutFormat;
    CDspSplit* m_pSplit;
    CSrcRatio2* m_pSrcX2;
    CSrcRatio4* m_pSrcX4;
    CSrc44k48k* m_pSrc441;
    PUCHAR m_pWorkBuffer;
    BOOLEAN m_bInit;
    CSampleRateConverter* m_pStages[DSP_FORMAT_LAYER_STAGES];

private:
    BOOLEAN CheckFormats(const WAVEFORMATEXTENSIBLE* in, const WAVEFORMATEXTENSIBLE* out);
    VOID BuildChain();
};

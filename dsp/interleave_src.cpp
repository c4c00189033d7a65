#include "dsp/interleave_src.h"

#include <cstring>

#include "nt/dbg.h"
#include "nt/pool.h"

namespace {

constexpr USHORT kTagPcm = 1;
constexpr USHORT kTagFloat = 3;
constexpr USHORT kTagExtensible = 0xFFFE;

const char kLayerName[] = "CDspInterleaveSrc::SetFormat";
const char kConversionName[] = "CChannelConversion::SetFormat";

// wFormatTag, or the first 16 bits of SubFormat for an extensible format.
USHORT EffectiveTag(const WAVEFORMATEXTENSIBLE* f) {
    if (f->Format.wFormatTag != kTagExtensible) return f->Format.wFormatTag;
    USHORT tag;
    std::memcpy(&tag, &f->SubFormat, sizeof(tag));
    return tag;
}

bool PcmOrFloat(const WAVEFORMATEXTENSIBLE* f) {
    USHORT tag = EffectiveTag(f);
    return tag == kTagPcm || tag == kTagFloat;
}

bool RateInList(ULONG rate) {
    static const ULONG kRates[] = {44100, 48000, 88200, 96000, 176400, 192000};
    for (ULONG r : kRates)
        if (r == rate) return true;
    return false;
}

bool BitsInList(USHORT bits) { return bits == 16 || bits == 24 || bits == 32; }

// A stage of the chain: the converter and the direction it runs in.
enum Converter { kNone, kX2, kX4, kS44 };
struct Step {
    Converter converter;
    bool up;
};
struct Chain {
    Step steps[2];
};

int RateIndex(ULONG rate) {
    switch (rate) {
    case 44100: return 0;
    case 48000: return 1;
    case 88200: return 2;
    case 96000: return 3;
    case 176400: return 4;
    default: return 5;
    }
}

constexpr Step N = {kNone, false};
constexpr Step X2U = {kX2, true}, X2D = {kX2, false};
constexpr Step X4U = {kX4, true}, X4D = {kX4, false};
constexpr Step S4U = {kS44, true}, S4D = {kS44, false};

// Rows: input rate 44.1, 48, 88.2, 96, 176.4, 192 kHz; columns: output
// rate in the same order. The 44.1/48 kHz step always runs at 44.1 or
// 48 kHz: after a factor step down, before a factor step up.
const Chain kChains[6][6] = {
    {{{N, N}}, {{S4U, N}}, {{X2U, N}}, {{S4U, X2U}}, {{X4U, N}}, {{S4U, X4U}}},
    {{{S4D, N}}, {{N, N}}, {{S4D, X2U}}, {{X2U, N}}, {{S4D, X4U}}, {{X4U, N}}},
    {{{X2D, N}}, {{X2D, S4U}}, {{N, N}}, {{S4U, N}}, {{X2U, N}}, {{S4U, X2U}}},
    {{{X2D, S4D}}, {{X2D, N}}, {{S4D, N}}, {{N, N}}, {{S4D, X2U}}, {{X2U, N}}},
    {{{X4D, N}}, {{X4D, S4U}}, {{X2D, N}}, {{X2D, S4U}}, {{N, N}}, {{S4U, N}}},
    {{{X4D, S4D}}, {{X4D, N}}, {{X2D, S4D}}, {{X2D, N}}, {{S4D, N}}, {{N, N}}},
};

// The float form of a format: unchanged when already IEEE float.
VOID MakeFloat(WAVEFORMATEXTENSIBLE* f) {
    if (EffectiveTag(f) == kTagFloat) return;
    f->Format.wFormatTag = kTagFloat;
    f->Format.nBlockAlign = (USHORT)(f->Format.nChannels * 4);
    f->Format.wBitsPerSample = 32;
    f->Format.nAvgBytesPerSec = f->Format.nSamplesPerSec * f->Format.nBlockAlign;
}

}  // namespace

VOID EmptyFunction(const char* expression, const char* sourcePath, int line) {
    (void)expression;
    (void)sourcePath;
    (void)line;
}

CChannelConversion::CChannelConversion() { m_bReady = FALSE; }

CChannelConversion::~CChannelConversion() { EmptyFunction(); }

BOOLEAN CChannelConversion::Init() {
    if (m_bReady) return FALSE;
    m_bReady = TRUE;
    return TRUE;
}

BOOLEAN CChannelConversion::SetFormat(const WAVEFORMATEXTENSIBLE* in, const WAVEFORMATEXTENSIBLE* out) {
    if (EffectiveTag(in) != kTagFloat) {
        DbgPrint("%s Tag not WAVE_FORMAT_IEEE_FLOAT\n", kConversionName);
        return FALSE;
    }
    if (EffectiveTag(out) != kTagFloat) {
        DbgPrint("%s Output Tag not WAVE_FORMAT_IEEE_FLOAT\n", kConversionName);
        return FALSE;
    }
    if (in->Format.nChannels > DSP_FORMAT_LAYER_MAX_CHANNELS) {
        DbgPrint("%s InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n", kConversionName);
        return FALSE;
    }
    if (out->Format.nChannels > DSP_FORMAT_LAYER_MAX_CHANNELS) {
        DbgPrint("%s Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n", kConversionName);
        return FALSE;
    }
    std::memcpy(&m_InFormat, in, sizeof(m_InFormat));
    std::memcpy(&m_OutFormat, out, sizeof(m_OutFormat));
    return TRUE;
}

CDspSplit::~CDspSplit() {
    if (m_pConversion != NULL) {
        delete m_pConversion;
        m_pConversion = NULL;
    }
}

int CDspSplit::GetUpStateSize() { return 4; }
int CDspSplit::GetDownStateSize() { return 4; }

BOOL CDspSplit::Process(int channel, const float* src, int* pCount) {
    (void)channel;
    (void)src;
    (void)pCount;
    return FALSE;
}

BOOLEAN CDspSplit::Init() {
    m_pConversion = new (NonPagedPoolNx, DSP_FORMAT_LAYER_TAG) CChannelConversion();
    if (m_pConversion == NULL || !m_pConversion->Init()) return FALSE;
    return CSampleRateConverter::Init();
}

BOOLEAN CDspSplit::SetFormat(WAVEFORMATEXTENSIBLE* in, WAVEFORMATEXTENSIBLE* out) {
    std::memcpy(&m_InFormat, in, sizeof(m_InFormat));
    std::memcpy(&m_OutFormat, out, sizeof(m_OutFormat));
    MakeFloat(in);
    MakeFloat(out);
    return m_pConversion->SetFormat(in, out);
}

CDspInterleaveSrc::CDspInterleaveSrc() { m_bInit = FALSE; }

BOOLEAN CDspInterleaveSrc::Init() {
    if (m_bInit) return FALSE;
    m_pSplit = new (NonPagedPoolNx, DSP_FORMAT_LAYER_TAG) CDspSplit();
    if (m_pSplit == NULL || !m_pSplit->Init()) return FALSE;
    m_pSrcX2 = new (NonPagedPoolNx, DSP_FORMAT_LAYER_TAG) CSrcRatio2();
    if (m_pSrcX2 == NULL || !m_pSrcX2->Init()) return FALSE;
    m_pSrcX4 = new (NonPagedPoolNx, DSP_FORMAT_LAYER_TAG) CSrcRatio4();
    if (m_pSrcX4 == NULL || !m_pSrcX4->Init()) return FALSE;
    m_pSrc441 = new (NonPagedPoolNx, DSP_FORMAT_LAYER_TAG) CSrc44k48k();
    if (m_pSrc441 == NULL || !m_pSrc441->Init()) return FALSE;
    m_pWorkBuffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, DSP_FORMAT_LAYER_WORK_BYTES, DSP_FORMAT_LAYER_TAG));
    if (m_pWorkBuffer == NULL) return FALSE;
    m_bInit = TRUE;
    return TRUE;
}

BOOLEAN CDspInterleaveSrc::ResetAll() {
    m_pSrcX2->Reset();
    m_pSrcX4->Reset();
    m_pSrc441->Reset();
    m_pSplit->Reset();
    return TRUE;
}

BOOLEAN CDspInterleaveSrc::CheckFormats(const WAVEFORMATEXTENSIBLE* in, const WAVEFORMATEXTENSIBLE* out) {
    if (!PcmOrFloat(in)) {
        DbgPrint("%s Tag not PCM\n", kLayerName);
        return FALSE;
    }
    if (in->Format.nChannels > DSP_FORMAT_LAYER_MAX_CHANNELS) {
        DbgPrint("%s InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n", kLayerName);
        return FALSE;
    }
    if (!RateInList(in->Format.nSamplesPerSec)) {
        DbgPrint("%s InFormat.Format.nSamplesPerSec not in List\n", kLayerName);
        return FALSE;
    }
    if (!BitsInList(in->Format.wBitsPerSample)) {
        DbgPrint("%s InFormat.Format.wBitsPerSample not in List\n", kLayerName);
        return FALSE;
    }
    if (!PcmOrFloat(out)) {
        DbgPrint("%s Output Tag not PCM\n", kLayerName);
        return FALSE;
    }
    if (out->Format.nChannels > DSP_FORMAT_LAYER_MAX_CHANNELS) {
        DbgPrint("%s Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n", kLayerName);
        return FALSE;
    }
    if (!RateInList(out->Format.nSamplesPerSec)) {
        DbgPrint("%s OutFormat.Format.nSamplesPerSec not in List\n", kLayerName);
        return FALSE;
    }
    return BitsInList(out->Format.wBitsPerSample) ? TRUE : FALSE;
}

BOOLEAN CDspInterleaveSrc::SetFormat(const WAVEFORMATEXTENSIBLE* inFormat, const WAVEFORMATEXTENSIBLE* outFormat) {
    if (!CheckFormats(inFormat, outFormat)) return FALSE;
    std::memcpy(&m_InFormat, inFormat, sizeof(m_InFormat));
    std::memcpy(&m_OutFormat, outFormat, sizeof(m_OutFormat));
    WAVEFORMATEXTENSIBLE in = m_InFormat;
    WAVEFORMATEXTENSIBLE out = m_OutFormat;
    if (!m_pSplit->SetFormat(&in, &out)) {
        DbgPrint("%s m_pSplit->SetFormat False\n", kLayerName);
        return FALSE;
    }
    ResetAll();
    BuildChain();
    return TRUE;
}

VOID CDspInterleaveSrc::BuildChain() {
    for (int s = 0; s < DSP_FORMAT_LAYER_STAGES; ++s) m_pStages[s] = NULL;
    m_pStages[0] = m_pSplit;
    const Chain& chain =
        kChains[RateIndex(m_InFormat.Format.nSamplesPerSec)][RateIndex(m_OutFormat.Format.nSamplesPerSec)];
    for (int s = 0; s < 2; ++s) {
        CSampleRateConverter* converter = NULL;
        switch (chain.steps[s].converter) {
        case kX2: converter = m_pSrcX2; break;
        case kX4: converter = m_pSrcX4; break;
        case kS44: converter = m_pSrc441; break;
        case kNone: break;
        }
        if (converter == NULL) break;
        converter->m_bUp = chain.steps[s].up ? TRUE : FALSE;
        converter->Reset();
        m_pStages[1 + s] = converter;
    }
}

VOID CDspInterleaveSrc::Cleanup() {
    if (m_pWorkBuffer != NULL) {
        ExFreePool(m_pWorkBuffer);
        m_pWorkBuffer = NULL;
    }
    if (m_pSplit != NULL) {
        delete m_pSplit;
        m_pSplit = NULL;
    }
    if (m_pSrc441 != NULL) {
        delete m_pSrc441;
        m_pSrc441 = NULL;
    }
    if (m_pSrcX4 != NULL) {
        delete m_pSrcX4;
        m_pSrcX4 = NULL;
    }
    if (m_pSrcX2 != NULL) {
        delete m_pSrcX2;
        m_pSrcX2 = NULL;
    }
}

#include "common/zvk/audioapp.h"

#include <algorithm>

#include "common/zvk/src.h"
#include "common/zvk/linearphaseiir.h"
#include "common/zvk/zvk_assert.h"
#include "common/zvk/zvk_pool.h"
#include "common/zvk/zvkheadphone.h"
#include "primitives/convert/entry_table_a.h"
#include "primitives/vector/entry_table_b.h"

namespace {

// v - v is 0.0 for every finite v and NaN for NaN and the infinities.
inline float FiniteOrSilence(float v) { return v - v == 0.0f ? v : 0.0f; }

}  // namespace

CAudioApp::CAudioApp(int nIn, int nOut, float offsetScale)
    : m_nInChans(nIn), m_nOutChans(nOut), m_fOffsetScale(offsetScale) {}

CAudioApp::~CAudioApp() { FreeBuffers(); }

void CAudioApp::ProcessBlock(float**, int, float**, int, int) {}

void CAudioApp::ResetFilters() {}

int CAudioApp::Init(int sampleRate, int nIn, int nOut) {
    m_nSampleRate = sampleRate;
    m_nInChans = nIn;
    m_nOutChans = nOut;
    m_nProcRate = kAudioAppProcRate;
    m_nDataLen = HEADPHONEFIR_N;
    bool ok = Configure();
    ResetFilters();
    return ok ? 1 : 0;
}

bool CAudioApp::Configure() {
    SrcRatio ratio = ComputeSrcRatio(m_nSampleRate, m_nProcRate);
    m_nSrcDir = ratio.dir;
    m_nSrcFactor = ratio.factor;
    if (m_nSrcDir > 0)
        m_nRealDataLen = m_nSrcFactor * m_nDataLen;
    else
        m_nRealDataLen = m_nDataLen / m_nSrcFactor;
    FreeBuffers();
    m_nFillPos = 0;
    bool ok = ZVK_CHECK("(m_nDataLen%m_nSrcFactor)==0", m_nDataLen % m_nSrcFactor == 0);
    ok = ZVK_CHECK("m_nRealDataLen<=EachChannelSampleCntMax",
                   m_nRealDataLen <= EachChannelSampleCntMax) && ok;
    // Output channel k uses the converter of slot k.
    ok = ZVK_CHECK("m_nOutChans<=m_nInChans", m_nOutChans <= m_nInChans) && ok;
    ok = ZVK_CHECK("m_nInChans<=8", m_nInChans > 0 && m_nInChans <= kAudioAppSlots) && ok;
    if (!ok) return false;

    for (int i = 0; i < m_nInChans; ++i) {
        m_ppInBlock[i] = ZvkAllocFloats(m_nRealDataLen);
        ok = ok && m_ppInBlock[i];
    }
    for (int k = 0; k < m_nOutChans; ++k) {
        m_ppOutBlock[k] = ZvkAllocFloats(m_nRealDataLen);
        ok = ok && m_ppOutBlock[k];
    }
    if (m_nSrcDir != 0) {
        for (int i = 0; i < m_nInChans; ++i) {
            m_pSrc[i] = new (NonPagedPoolNx, kZvkPoolTag) CSrc(m_nSampleRate, m_nProcRate, m_bLinearPhase);
            ok = ok && m_pSrc[i] && m_pSrc[i]->IsBuilt();
        }
    }
    for (int i = 0; i < m_nInChans; ++i) {
        m_ppProcIn[i] = ZvkAllocFloats(m_nDataLen);
        m_ppProcOut[i] = ZvkAllocFloats(m_nDataLen);
        ok = ok && m_ppProcIn[i] && m_ppProcOut[i];
    }
    if (!ok) FreeBuffers();
    m_bReady = ok;
    return ok;
}

void CAudioApp::FreeBuffers() {
    m_bReady = false;
    for (int i = 0; i < kAudioAppSlots; ++i) {
        ZvkFreeFloats(m_ppInBlock[i]);
        ZvkFreeFloats(m_ppOutBlock[i]);
        ZvkFreeFloats(m_ppProcIn[i]);
        ZvkFreeFloats(m_ppProcOut[i]);
        delete m_pSrc[i];
        m_ppInBlock[i] = m_ppOutBlock[i] = m_ppProcIn[i] = m_ppProcOut[i] = nullptr;
        m_pSrc[i] = nullptr;
    }
}

void CAudioApp::Process(float** out, int nOut, float** in, int nIn, int frames) {
    if (!ZVK_CHECK("nIn<=m_nInChans && nOut<=m_nOutChans",
                   nIn >= 0 && nIn <= m_nInChans && nOut >= 0 && nOut <= m_nOutChans))
        return;
    if (!m_bReady) {
        // Not configured: the engine plays silence rather than stale data.
        for (int k = 0; k < nOut; ++k)
            if (frames > 0) spZeroF32(out[k], frames);
        return;
    }
    const float offset = m_fOffsetScale * kAudioAppInputOffset;
    for (int i = 0; i < nIn; ++i) m_ppInCursor[i] = in[i];
    for (int k = 0; k < nOut; ++k) m_ppOutCursor[k] = out[k];
    int remaining = frames;
    int c = std::min(m_nRealDataLen - m_nFillPos, remaining);
    while (c > 0) {
        // Every input of the stretch is read before any output is written,
        // so in and out may name the same buffers. A non-finite sample is
        // taken as silence: the converters' and the convolution's states
        // would carry it on.
        for (int i = 0; i < nIn; ++i) {
            float* block = m_ppInBlock[i] + m_nFillPos;
            for (int j = 0; j < c; ++j) block[j] = FiniteOrSilence(m_ppInCursor[i][j]) + offset;
            m_ppInCursor[i] += c;
        }
        for (int k = 0; k < nOut; ++k) {
            spCopyF32(m_ppOutBlock[k] + m_nFillPos, m_ppOutCursor[k], c);
            m_ppOutCursor[k] += c;
        }
        m_nFillPos += c;
        if (m_nFillPos == m_nRealDataLen) {
            RunBlock(m_ppOutBlock, nOut, m_ppInBlock, nIn);
            m_nFillPos = 0;
        }
        remaining -= c;
        c = std::min(m_nRealDataLen, remaining);
    }
}

void CAudioApp::RunBlock(float** outBlocks, int nOut, float** inBlocks, int nIn) {
    InputSrc(inBlocks, nIn);
    ProcessBlock(m_ppProcOut, nOut, m_ppProcIn, nIn, m_nDataLen);
    OutputSrc(outBlocks, nOut);
}

void CAudioApp::InputSrc(float** inBlocks, int nIn) {
    if (m_nSrcDir == 0) {
        CopyChannels(m_ppProcIn, nIn, inBlocks, nIn, m_nRealDataLen);
        return;
    }
    for (int i = 0; i < nIn; ++i) {
        if (m_nSrcDir > 0)
            m_pSrc[i]->Downsample(m_ppProcIn[i], inBlocks[i], m_nRealDataLen);
        else
            m_pSrc[i]->Upsample(m_ppProcIn[i], inBlocks[i], m_nRealDataLen);
    }
}

void CAudioApp::OutputSrc(float** outBlocks, int nOut) {
    if (m_nSrcDir == 0) {
        CopyChannels(outBlocks, nOut, m_ppProcOut, nOut, m_nRealDataLen);
        return;
    }
    for (int k = 0; k < nOut; ++k) {
        if (m_nSrcDir > 0)
            m_pSrc[k]->Upsample(outBlocks[k], m_ppProcOut[k], m_nDataLen);
        else
            m_pSrc[k]->Downsample(outBlocks[k], m_ppProcOut[k], m_nDataLen);
    }
}

CHeadphoneApp::CHeadphoneApp(const HeadphoneTables* tables)
    : CAudioApp(6, 2, 1.0f), m_Fir(tables) {
    Init(kAudioAppProcRate, 6, 2);
}

CHeadphoneApp::~CHeadphoneApp() { FreeBuffers(); }

void CHeadphoneApp::ProcessBlock(float** out, int nOut, float** in, int nIn, int len) {
    m_Fir.Process(out, nOut, in, nIn, len);
}

void CHeadphoneApp::ResetFilters() { m_Fir.Reset(); }

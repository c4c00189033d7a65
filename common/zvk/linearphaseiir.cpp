#include "common/zvk/linearphaseiir.h"

#include "common/zvk/zvk_assert.h"
#include "common/zvk/zvk_pool.h"
#include "primitives/convert/entry_table_a.h"
#include "primitives/vector/entry_table_b.h"

CIirFilter::CIirFilter(int factor) {
    if (factor < 1 || factor > kAntiAliasFactors) {
        m_bBuilt = true;  // no set exists: a filter that writes nothing
        return;
    }
    m_bBuilt = spIirCreate(&m_pState, kAntiAliasTaps[factor - 1], 3, nullptr) == SP_STS_OK;
    if (!m_bBuilt) m_pState = nullptr;
}

CIirFilter::~CIirFilter() {
    if (m_pState) spIirDestroy(m_pState);
}

float* CIirFilter::Process(float* dst, const float* src, int len) {
    if (m_pState) spIirFilterF32(src, dst, len, m_pState);
    return dst ? dst : const_cast<float*>(src);
}

CLinearPhaseIir::CLinearPhaseIir(int delay)
    : m_nBufLen(EachChannelSampleCntMax + delay), m_nDelay(delay) {
    m_pFwdBuf = ZvkAllocFloats(3 * m_nBufLen);
    if (m_pFwdBuf) {
        m_pRevBuf = m_pFwdBuf + m_nBufLen;
        m_pBwdBuf = m_pRevBuf + m_nBufLen;
    }
}

CLinearPhaseIir::~CLinearPhaseIir() {
    DestroySections();
    ZvkFreeFloats(m_pFwdBuf);
}

void CLinearPhaseIir::DestroySections() {
    delete m_pForward;
    delete m_pBackward;
    m_pForward = nullptr;
    m_pBackward = nullptr;
}

bool CLinearPhaseIir::IsBuilt() const {
    return m_pFwdBuf && m_pForward && m_pBackward && m_pForward->IsBuilt() &&
           m_pBackward->IsBuilt();
}

void CLinearPhaseIir::SetFilter(int factor) {
    DestroySections();
    m_pForward = new (NonPagedPoolNx, kZvkPoolTag) CIirFilter(factor);
    m_pBackward = new (NonPagedPoolNx, kZvkPoolTag) CIirFilter(factor);
}

void CLinearPhaseIir::Process(float* dst, const float* src, int len) {
    if (!ZVK_CHECK("len<=(EachChannelSampleCntMax)", len > 0 && len <= m_nMaxLen) || !IsBuilt())
        return;
    const int d = m_nDelay;
    m_pForward->Process(m_pFwdBuf + d, src, len);
    spReverseF32(m_pFwdBuf, m_pRevBuf, d + len);
    // The backward section's state carries over from the previous block.
    m_pBackward->Process(m_pBwdBuf, m_pRevBuf, d + len);
    spReverseF32(m_pBwdBuf + d, dst, len);
    spCopyF32(m_pFwdBuf + len, m_pFwdBuf, d);
}

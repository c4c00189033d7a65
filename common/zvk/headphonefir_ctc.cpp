// Crosstalk cancellation, the last stage of CHeadphoneFir: a shuffler that
// filters L + R with A + B and L - R with A - B (256 taps each) and
// recombines them, so that out0 = A*L + B*R and out1 = B*L + A*R. Any angle
// without a filter pair is the bypass: each channel delayed by 255 samples.
#include <cstring>

#include "primitives/sp_records.h"

#include "common/zvk/headphonefir.h"
#include "common/zvk/zvk_assert.h"
#include "primitives/convert/entry_table_a.h"
#include "primitives/vector/entry_table_b.h"

namespace {
constexpr int kCtcHistory = 256;
}  // namespace

void CHeadphoneFir::DestroyCtcFilters() {
    if (m_pSumFir) spFirDestroy(m_pSumFir);
    if (m_pDiffFir) spFirDestroy(m_pDiffFir);
    m_pSumFir = nullptr;
    m_pDiffFir = nullptr;
}

// The bypass lines start from silence after Reset and after every angle
// change, so no filter output or stale history leaks into the bypass.
void CHeadphoneFir::ClearCtcDelayLines() {
    memset(m_DelayL, 0, sizeof(m_DelayL));
    memset(m_DelayR, 0, sizeof(m_DelayR));
}

int CHeadphoneFir::SetCTCAngle(int nCTCAngle) {
    ZVK_CHECK("nCTCAngle!=CTCANGLE_UNDEFINED", nCTCAngle != CTCANGLE_UNDEFINED);
    if (nCTCAngle == m_nActiveCTCAngle) return 1;
    m_nActiveCTCAngle = nCTCAngle;
    const float* pair = SelectCtcPair(*m_pTables, nCTCAngle);
    if (pair) {
        const float* a = pair;
        const float* b = pair + kCtcTaps;
        spAddF32(a, b, m_SumTaps, kCtcTaps);
        spSubF32(b, a, m_DiffTaps, kCtcTaps);  // spSubF32 writes src2 - src1: A - B
        m_nCTCTaps = kCtcTaps;
    } else {
        m_nCTCTaps = 1;
        m_SumTaps[0] = 1.0f;
        m_DiffTaps[0] = 1.0f;
    }
    DestroyCtcFilters();
    SpStatus sumStatus = spFirCreate(&m_pSumFir, m_SumTaps, kCtcTaps, nullptr);
    SpStatus diffStatus = spFirCreate(&m_pDiffFir, m_DiffTaps, kCtcTaps, nullptr);
    if (sumStatus != SP_STS_OK || diffStatus != SP_STS_OK) {
        // Without both states the pair cannot be filtered: bypass, with the
        // angle still recorded as the one asked for.
        if (sumStatus != SP_STS_OK) m_pSumFir = nullptr;
        if (diffStatus != SP_STS_OK) m_pDiffFir = nullptr;
        DestroyCtcFilters();
        m_nCTCTaps = 1;
    }
    ClearCtcDelayLines();
    return 1;
}

void CHeadphoneFir::ProcessCtc(float** out, int nOutCh, float** in, int nInCh, int len) {
    if (!ZVK_CHECK("nOutCh==2 && nInCh==2 && len==HEADPHONEFIR_N",
                   nOutCh == 2 && nInCh == 2 && len == HEADPHONEFIR_N))
        return;
    if (m_nCTCTaps == kCtcTaps) {
        spAddF32(in[0], in[1], m_SumIn, len);
        spSubF32(in[1], in[0], m_DiffIn, len);  // L - R
        spFirFilterF32(m_SumIn, m_DelayL, len, m_pSumFir);
        spFirFilterF32(m_DiffIn, m_DelayR, len, m_pDiffFir);
        for (int n = 0; n < len; ++n) {
            float s = m_DelayL[n];
            float d = m_DelayR[n];
            out[0][n] = (s + d) * 0.5f;
            out[1][n] = (s - d) * 0.5f;
        }
        return;
    }
    spCopyF32(in[0], m_DelayL + kCtcHistory, len);
    spCopyF32(in[1], m_DelayR + kCtcHistory, len);
    spCopyF32(m_DelayL + 1, out[0], len);
    spCopyF32(m_DelayR + 1, out[1], len);
    spCopyF32(m_DelayL + len, m_DelayL, kCtcHistory);
    spCopyF32(m_DelayR + len, m_DelayR, kCtcHistory);
}

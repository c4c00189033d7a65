#include "common/zvk/src.h"

#include "common/zvk/linearphaseiir.h"
#include "common/zvk/zvk_assert.h"
#include "common/zvk/zvk_pool.h"
#include "primitives/convert/entry_table_a.h"
#include "primitives/vector/entry_table_b.h"

namespace {
constexpr int kWorkFloats = EachChannelSampleCntMax * 4;
}  // namespace

SrcRatio ComputeSrcRatio(int sampleRate, int procRate) {
    if (sampleRate > procRate) return {1, sampleRate / procRate};
    if (sampleRate < procRate && sampleRate > 0) return {-1, procRate / sampleRate};
    return {0, 1};
}

CSrc::CSrc(int sampleRate, int procRate, int bLinearPhase)
    : m_nProcRate(procRate), m_nSampleRate(sampleRate), m_bLinearPhase(bLinearPhase) {
    Init();
}

void CSrc::Init() {
    SrcRatio ratio = ComputeSrcRatio(m_nSampleRate, m_nProcRate);
    m_nSrcDir = ratio.dir;
    m_nSrcFactor = ratio.factor;
    if (m_nSrcDir != 0) {
        m_pDownFilter = new (NonPagedPoolNx, kZvkPoolTag) CLinearPhaseIir(kSrcFilterHistory);
        if (m_pDownFilter) m_pDownFilter->SetFilter(m_nSrcFactor);
        m_pUpFilter = new (NonPagedPoolNx, kZvkPoolTag) CLinearPhaseIir(kSrcFilterHistory);
        if (m_pUpFilter) m_pUpFilter->SetFilter(m_nSrcFactor);
    }
    m_pWork = ZvkAllocFloats(kWorkFloats);
}

CSrc::~CSrc() {
    delete m_pDownFilter;
    delete m_pUpFilter;
    ZvkFreeFloats(m_pWork);
}

bool CSrc::IsBuilt() const {
    if (!m_pWork) return false;
    if (m_nSrcDir == 0) return true;
    return m_pDownFilter && m_pUpFilter && m_pDownFilter->IsBuilt() && m_pUpFilter->IsBuilt();
}

void CSrc::Downsample(float* dst, const float* src, int len) {
    bool ok = ZVK_CHECK("(len%m_nSrcFactor)==0", len > 0 && len % m_nSrcFactor == 0);
    ok = ZVK_CHECK("outLen<=(EachChannelSampleCntMax*4)", len / m_nSrcFactor <= kWorkFloats) && ok;
    if (!ok || !IsBuilt() || !m_pDownFilter || len > EachChannelSampleCntMax) return;
    m_pDownFilter->Process(m_pWork, src, len);
    spDownsampleF32(m_pWork, len, dst, &m_nOutLen, m_nSrcFactor, &m_nPhase);
}

void CSrc::Upsample(float* dst, const float* src, int len) {
    const int n = len * m_nSrcFactor;
    if (!ZVK_CHECK("outLen<=(EachChannelSampleCntMax*4)", len > 0 && n <= kWorkFloats) ||
        !IsBuilt() || !m_pUpFilter || n > EachChannelSampleCntMax)
        return;
    spUpsampleF32(src, len, m_pWork, &m_nOutLen, m_nSrcFactor, &m_nPhase);
    m_pUpFilter->Process(dst, m_pWork, n);
    spScaleF32InPlace(static_cast<float>(m_nSrcFactor), dst, n);
}

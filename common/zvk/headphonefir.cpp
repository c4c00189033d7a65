#include "common/zvk/headphonefir.h"

#include <cstring>

#include "common/zvk/zvk_assert.h"
#include "common/zvk/zvk_pool.h"
#include "primitives/convert/entry_table_a.h"
#include "primitives/vector/entry_table_b.h"

namespace {

constexpr float kOutputGain = 2.0f;
// Back-pair cross-mix of 8-channel input (floats 0x3F733333, 0x3E9FBE77).
constexpr float kBackSame = 0.95f;
constexpr float kBackCross = 0.312f;

bool IsServedInputCount(int nInCh) { return nInCh == 2 || nInCh == 6 || nInCh == 8; }
bool IsSurround(int nInCh) { return nInCh == 6 || nInCh == 8; }

// Room value of the parameter path to a room size: 0 large, 1 medium, 2 small.
int MapRoom(int room) {
    switch (room) {
    case 0: return ROOMSIZE_LARGE;
    case 2: return ROOMSIZE_SMALL;
    default: return ROOMSIZE_MEDIUM;
    }
}

int MapCode(int code) {
    for (const auto& codes : kHrtfVariantCodes) {
        for (int c : codes) {
            if (c != 0 && c == code) return code;
        }
    }
    return SPEAKERANGLE_24;
}

}  // namespace

CHeadphoneFir::CHeadphoneFir(const HeadphoneTables* tables) : m_pTables(tables) {
    // On failure the spec stays null, IsReady() is false and the owner
    // bypasses the engine: raw taps must never pass for spectra.
    if (spRealFftCreate(&m_pFftSpec, 10, SP_FFT_DIV_INV_BY_N, 0) != SP_STS_OK) m_pFftSpec = nullptr;
    Reset();
    m_nRoom.store(ROOMSIZE_SMALL, std::memory_order_relaxed);
    m_nAngle.store(SPEAKERANGLE_29, std::memory_order_relaxed);
    LoadHrtf();
    SetCTCAngle(0);
}

CHeadphoneFir::~CHeadphoneFir() {
    if (m_pFftSpec) spRealFftDestroy(m_pFftSpec);
    m_pFftSpec = nullptr;
    DestroyCtcFilters();
}

int CHeadphoneFir::SetRoomAndAngle(int room, int code) {
    m_nRoom.store(MapRoom(room), std::memory_order_relaxed);
    m_nAngle.store(MapCode(code), std::memory_order_relaxed);
    m_bTail.store(1, std::memory_order_relaxed);
    // Release: a block that sees the flag sees the room and angle with it.
    m_bReload.store(1, std::memory_order_release);
    return 1;
}

int CHeadphoneFir::LoadHrtf() {
    // Cleared before room and angle are read: a change arriving meanwhile
    // raises the flag again and is loaded with the next block.
    m_bReload.exchange(0, std::memory_order_acquire);
    m_nHeadParts = -1;
    m_nTailParts = -1;
    int room = m_nRoom.load(std::memory_order_relaxed);
    int code = m_nAngle.load(std::memory_order_relaxed);
    if (!ZVK_CHECK("m_nRoom!=ROOMSIZE_UNDEFINED && m_nAngle!=SPEAKERANGLE_UNDEFINED",
                   room != ROOMSIZE_UNDEFINED && code != SPEAKERANGLE_UNDEFINED))
        return 1;
    HrtfSelection sel = SelectHrtf(*m_pTables, room, code);
    if (!sel.head || !m_pFftSpec) return 1;
    LoadResponses(sel.head, kHrtfHeadCount, kHrtfHeadLen, sel.tail, 2, sel.tailen, &m_HeadSpec[0][0],
                  &m_TailSpec[0][0][0], &m_nHeadParts, &m_nTailParts, m_pFftSpec);
    return 1;
}

int CHeadphoneFir::LoadResponses(const float* head, int nhead, int headlen, const float* tail,
                                 int ntail, int tailen, float* headSpec, float* tailSpec,
                                 int* headParts, int* tailParts, SpFftSpec* spec) {
    bool ok = ZVK_CHECK("nhead==5 || nhead==10", nhead == 5 || nhead == 10);
    ok = ZVK_CHECK("headlen%HEADPHONEFIR_N==0",
                   headlen % HEADPHONEFIR_N == 0 && headlen > 0 && headlen <= 2 * HEADPHONEFIR_N) && ok;
    ok = ZVK_CHECK("ntail==2", ntail == 2) && ok;
    ok = ZVK_CHECK("tailen%HEADPHONEFIR_N==0",
                   tailen % HEADPHONEFIR_N == 0 && tailen > 0 &&
                       tailen <= kHeadphoneMaxTailParts * HEADPHONEFIR_N) && ok;
    if (!ok || !spec) return 1;
    const int H = headlen / HEADPHONEFIR_N;
    const int T = tailen / HEADPHONEFIR_N;
    auto load = [spec](float* slot, const float* taps) {
        spCopyF32(taps, slot, HEADPHONEFIR_N);
        spZeroF32(slot + HEADPHONEFIR_N, HEADPHONEFIR_N);
        spRealFftForward(slot, spec, nullptr);
    };
    for (int r = 0; r < nhead; ++r)
        for (int p = 0; p < H; ++p)
            load(headSpec + (2 * r + p) * kHeadphoneFftLen, head + r * headlen + p * HEADPHONEFIR_N);
    for (int t = 0; t < 2; ++t)
        for (int p = 0; p < T; ++p)
            load(tailSpec + (t * kHeadphoneMaxTailParts + p) * kHeadphoneFftLen,
                 tail + t * tailen + p * HEADPHONEFIR_N);
    *headParts = H;
    *tailParts = T;
    return 1;
}

// Time-domain frame [previous block | current block] of one input group.
void CHeadphoneFir::MixGroupInput(float* frame, int group, float** in, int nInCh) {
    // Groups 0..4 read channels 0, 1, 2, 4, 5.
    static const int kGroupChannel[kHeadphoneGroups] = {0, 1, 2, 4, 5};
    const int ch = kGroupChannel[group];
    spCopyF32(m_PrevIn[ch], frame, HEADPHONEFIR_N);
    spCopyF32(in[ch], frame + HEADPHONEFIR_N, HEADPHONEFIR_N);
    if (group < 2 && IsSurround(nInCh)) {
        spAddF32InPlace(m_PrevIn[3], frame, HEADPHONEFIR_N);
        spAddF32InPlace(in[3], frame + HEADPHONEFIR_N, HEADPHONEFIR_N);
    }
}

void CHeadphoneFir::AccumulateProducts(float* acc, const float* spec, const float* data) {
    spMulPackedSpectraF32(spec, data, m_Prod[0], kHeadphoneFftLen);
    spAddF32InPlace(m_Prod[0], acc, kHeadphoneFftLen);
}

void CHeadphoneFir::Convolve(float** out, int nOutCh, float** in, int nInCh, int len, bool replay) {
    bool ok = ZVK_CHECK("CheckNumOutChans(nOutCh)", nOutCh == 2);
    ok = ZVK_CHECK("CheckDataLen(len)", len == HEADPHONEFIR_N) && ok;
    ZVK_CHECK("CheckNumInChans(nInCh)", IsServedInputCount(nInCh));
    const int H = m_nHeadParts;
    const int T = m_nTailParts;
    if (!ok || !m_pFftSpec || H <= 0 || T <= 0) return;
    const int groups = IsSurround(nInCh) ? kHeadphoneGroups : 2;

    if (replay) {
        m_nHeadIdx = (m_nHeadIdx + 1) % H;
        m_nTailIdx = (m_nTailIdx + 1) % kHeadphoneMaxTailParts;
    } else {
        const int h = m_nHeadIdx;
        float* tailIn = m_TailRing[m_nTailIdx];
        spAddF32(m_HeadRing[0][h], m_HeadRing[1][h], tailIn, kHeadphoneFftLen);
        for (int g = 2; g < groups; ++g) spAddF32InPlace(m_HeadRing[g][h], tailIn, kHeadphoneFftLen);
        if (IsServedInputCount(nInCh)) {
            if (nInCh == 8) {
                for (int n = 0; n < HEADPHONEFIR_N; ++n) {
                    float c4 = in[4][n], c5 = in[5][n];
                    in[4][n] = kBackSame * c4 + kBackCross * c5 + in[6][n];
                    in[5][n] = kBackCross * c4 + kBackSame * c5 + in[7][n];
                }
            }
            for (int g = 0; g < groups; ++g) MixGroupInput(m_HeadRing[g][h], g, in, nInCh);
            const int kept = IsSurround(nInCh) ? 6 : 2;
            for (int ch = 0; ch < kept; ++ch) spCopyF32(in[ch], m_PrevIn[ch], HEADPHONEFIR_N);
            for (int g = 0; g < groups; ++g) spRealFftForward(m_HeadRing[g][h], m_pFftSpec, nullptr);
        }
    }

    const int h = m_nHeadIdx;
    const int t = m_nTailIdx;
    spZeroF32(m_Acc[0], kHeadphoneFftLen);
    spZeroF32(m_Acc[1], kHeadphoneFftLen);
    for (int g = 0; g < groups; ++g) {
        for (int i = 0; i < H; ++i) {
            const float* data = m_HeadRing[g][(h + i) % H];
            AccumulateProducts(m_Acc[0], m_HeadSpec[2 * (2 * g) + i], data);
            AccumulateProducts(m_Acc[1], m_HeadSpec[2 * (2 * g + 1) + i], data);
        }
    }
    for (int i = 0; i < T; ++i) {
        // The tail switch may change while a block runs: read per partition.
        if (!m_bTail.load(std::memory_order_relaxed)) continue;
        const float* data = m_TailRing[(t + i) % kHeadphoneMaxTailParts];
        AccumulateProducts(m_Acc[0], m_TailSpec[0][i], data);
        AccumulateProducts(m_Acc[1], m_TailSpec[1][i], data);
    }
    for (int e = 0; e < 2; ++e) {
        spRealFftInverse(m_Acc[e], m_pFftSpec, nullptr);
        spScaleF32(m_Acc[e] + HEADPHONEFIR_N, kOutputGain, out[e], HEADPHONEFIR_N);
    }
    m_nHeadIdx = (h - 1 + H) % H;
    m_nTailIdx = (t - 1 + kHeadphoneMaxTailParts) % kHeadphoneMaxTailParts;
}

// The reload block: the same input through the new responses, faded in
// linearly over the block. Without scratch memory the new responses take
// over at the next block instead.
void CHeadphoneFir::CrossfadeTo(float** out, int nOutCh, float** in, int nInCh, int len) {
    LoadHrtf();
    float* scratch0 = ZvkAllocFloats(len, kHeadphoneScratchTag);
    float* scratch1 = ZvkAllocFloats(len, kHeadphoneScratchTag);
    if (scratch0 && scratch1) {
        float* scratch[2] = {scratch0, scratch1};
        Convolve(scratch, nOutCh, in, nInCh, len, true);
        for (int i = 0; i < len; ++i) {
            float a = static_cast<float>(len - i) / static_cast<float>(len);
            float b = static_cast<float>(i) / static_cast<float>(len);
            out[0][i] = a * out[0][i] + b * scratch0[i];
            out[1][i] = a * out[1][i] + b * scratch1[i];
        }
    }
    ZvkFreeFloats(scratch0, kHeadphoneScratchTag);
    ZvkFreeFloats(scratch1, kHeadphoneScratchTag);
}

void CHeadphoneFir::Process(float** out, int nOutCh, float** in, int nInCh, int len) {
    Convolve(out, nOutCh, in, nInCh, len, false);
    if (m_bReload.load(std::memory_order_acquire) && nOutCh == 2 && len == HEADPHONEFIR_N)
        CrossfadeTo(out, nOutCh, in, nInCh, len);
    ProcessCtc(out, nOutCh, out, nOutCh, HEADPHONEFIR_N);
}

void CHeadphoneFir::Reset() {
    memset(m_PrevIn, 0, sizeof(m_PrevIn));
    memset(m_HeadRing, 0, sizeof(m_HeadRing));
    memset(m_TailRing, 0, sizeof(m_TailRing));
    memset(m_Acc, 0, sizeof(m_Acc));
    m_nHeadIdx = 0;
    m_nTailIdx = 0;
    ClearCtcDelayLines();
}

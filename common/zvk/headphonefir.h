// Binaural rendering of one 512-frame block at 44100 Hz: each input group
// (front pair with the LFE, centre, surround pairs) is convolved with a
// pair of 1024-tap head responses, the sum of all groups with a pair of
// room tails, by uniformly partitioned overlap-save convolution (order-10
// real FFT, 512-tap partitions); then the crosstalk stage
// (headphonefir_ctc.cpp). A room or angle change is loaded by the next
// block and crossfaded over it.
//
// Process, Reset and SetCTCAngle run under the effect node's processing
// lock or while the stream is stopped; SetRoomAndAngle and SetTailEnable
// may run at any time from the parameter path.
#pragma once

#include <atomic>

#include "adapter/base/pool_new.h"
#include "common/zvk/hrtf_tables.h"
#include "primitives/sp_records.h"

constexpr int HEADPHONEFIR_N = 512;
constexpr int kHeadphoneFftLen = 1024;
constexpr int kHeadphoneMaxHeadSlots = 32;
constexpr int kHeadphoneMaxTailParts = 14;
constexpr int kHeadphoneGroups = 5;

class CHeadphoneFir : public CPoolObject {
public:
    explicit CHeadphoneFir(const HeadphoneTables* tables = DefaultHeadphoneTables());
    ~CHeadphoneFir();
    CHeadphoneFir(const CHeadphoneFir&) = delete;
    CHeadphoneFir& operator=(const CHeadphoneFir&) = delete;

    // False when the FFT could not be prepared: the engine must not run.
    bool IsReady() const { return m_pFftSpec != nullptr; }

    int SetRoomAndAngle(int room, int code);
    void SetTailEnable(int enable) { m_bTail.store(enable, std::memory_order_relaxed); }
    int LoadHrtf();
    static int LoadResponses(const float* head, int nhead, int headlen, const float* tail,
                             int ntail, int tailen, float* headSpec, float* tailSpec,
                             int* headParts, int* tailParts, SpFftSpec* spec);
    void Convolve(float** out, int nOutCh, float** in, int nInCh, int len, bool replay);
    void Process(float** out, int nOutCh, float** in, int nInCh, int len);
    void Reset();

    int SetCTCAngle(int nCTCAngle);
    void ProcessCtc(float** out, int nOutCh, float** in, int nInCh, int len);

    // Read-only views for tests and diagnostics.
    int Room() const { return m_nRoom.load(std::memory_order_relaxed); }
    int Code() const { return m_nAngle.load(std::memory_order_relaxed); }
    int ReloadPending() const { return m_bReload.load(std::memory_order_relaxed); }
    int TailEnabled() const { return m_bTail.load(std::memory_order_relaxed); }
    int TailParts() const { return m_nTailParts; }
    int ActiveCtcAngle() const { return m_nActiveCTCAngle; }
    bool CtcFiltering() const { return m_nCTCTaps == kCtcTaps; }

private:
    void DestroyCtcFilters();
    void ClearCtcDelayLines();
    void MixGroupInput(float* frame, int group, float** in, int nInCh);
    void AccumulateProducts(float* acc, const float* spec, const float* data);
    void CrossfadeTo(float** out, int nOutCh, float** in, int nInCh, int len);

    std::atomic<int> m_nRoom{ROOMSIZE_UNDEFINED};
    std::atomic<int> m_nAngle{SPEAKERANGLE_UNDEFINED};
    std::atomic<int> m_bReload{0};
    std::atomic<int> m_bTail{0};
    int m_nHeadParts = -1;
    int m_nTailParts = -1;
    const HeadphoneTables* m_pTables;
    float m_HeadSpec[kHeadphoneMaxHeadSlots][kHeadphoneFftLen];
    float m_TailSpec[2][kHeadphoneMaxTailParts][kHeadphoneFftLen];
    int m_nActiveCTCAngle = CTCANGLE_UNDEFINED;
    int m_nCTCTaps = 1;
    float m_SumTaps[kCtcTaps];
    float m_DiffTaps[kCtcTaps];
    float m_SumIn[768];
    float m_DiffIn[768];
    SpFftSpec* m_pFftSpec = nullptr;
    float m_DelayL[768];
    float m_DelayR[768];
    float m_Prod[2][kHeadphoneFftLen];
    SpFirState* m_pSumFir = nullptr;
    SpFirState* m_pDiffFir = nullptr;
    float m_PrevIn[8][HEADPHONEFIR_N];
    float m_HeadRing[8][2][kHeadphoneFftLen];
    // Tail input spectra, always 14 slots stepped mod 14: the tail length
    // only says how many of them a block reads, so a change of it never
    // reorders the history.
    float m_TailRing[kHeadphoneMaxTailParts][kHeadphoneFftLen];
    float m_Acc[2][kHeadphoneFftLen];
    int m_nHeadIdx = 0;
    int m_nTailIdx = 0;
};

// Integer-factor rate conversion of one channel between the stream rate and
// the engine's 44100 Hz: zero-stuffing interpolation or decimation, each
// through a zero-phase anti-alias low-pass on the higher-rate side.
#pragma once

#include "adapter/base/pool_new.h"

class CLinearPhaseIir;

// Samples of history of every converter filter (its delay).
constexpr int kSrcFilterHistory = 64;

// Direction and factor of a conversion: dir 1 when the stream rate is above
// the processing rate (decimate on the way in), -1 below, 0 equal.
struct SrcRatio {
    int dir;
    int factor;
};
SrcRatio ComputeSrcRatio(int sampleRate, int procRate);

class CSrc : public CPoolObject {
public:
    CSrc(int sampleRate, int procRate, int bLinearPhase);
    ~CSrc();
    CSrc(const CSrc&) = delete;
    CSrc& operator=(const CSrc&) = delete;

    // True when every allocation of Init succeeded.
    bool IsBuilt() const;
    void Downsample(float* dst, const float* src, int len);
    void Upsample(float* dst, const float* src, int len);

private:
    void Init();

    int m_nProcRate;
    int m_nSampleRate;
    int m_nSrcDir = 0;
    int m_nSrcFactor = 1;
    int m_nOutLen = 0;
    int m_nPhase = 0;
    CLinearPhaseIir* m_pDownFilter = nullptr;
    CLinearPhaseIir* m_pUpFilter = nullptr;
    float* m_pWork = nullptr;
    int m_bLinearPhase;
};

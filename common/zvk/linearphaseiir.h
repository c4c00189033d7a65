// Zero-phase low-pass of the rate converters: a third-order Butterworth
// section run forward over the block and backward over the block plus a
// history of D samples, so the output is the input filtered with the
// squared magnitude response and delayed by exactly D samples.
#pragma once

#include "adapter/base/pool_new.h"
#include "primitives/sp_records.h"

// Longest block CLinearPhaseIir takes, and the largest block at the stream
// rate; a converter's work buffer holds four times as many floats.
constexpr int EachChannelSampleCntMax = 1024;

// Anti-alias sets per conversion factor (index factor - 1), as spIirCreate
// takes them: b0..b3, a0..a3. Factor 1 cuts at fs/4, factor 2 at fs/6 (fs:
// the higher rate of the converter); other factors have no set.
constexpr int kAntiAliasFactors = 2;
constexpr float kAntiAliasTaps[kAntiAliasFactors][8] = {
    {0.166666672f, 0.5f, 0.5f, 0.166666672f, 1.0f, 0.0f, 0.333333343f, 0.0f},
    {0.0638559237f, 0.191567779f, 0.191567779f, 0.0638559237f, 1.0f, -0.965779722f, 0.582644165f,
     -0.106017053f},
};

class CIirFilter : public CPoolObject {
public:
    explicit CIirFilter(int factor);
    ~CIirFilter();
    CIirFilter(const CIirFilter&) = delete;
    CIirFilter& operator=(const CIirFilter&) = delete;

    // False when the factor has a set but its state could not be made.
    bool IsBuilt() const { return m_bBuilt; }
    // Filters len samples, continuing the state; returns dst (src when dst
    // is null). Without a state nothing is written.
    float* Process(float* dst, const float* src, int len);

private:
    SpIirState* m_pState = nullptr;
    bool m_bBuilt = false;
};

class CLinearPhaseIir : public CPoolObject {
public:
    explicit CLinearPhaseIir(int delay);
    ~CLinearPhaseIir();
    CLinearPhaseIir(const CLinearPhaseIir&) = delete;
    CLinearPhaseIir& operator=(const CLinearPhaseIir&) = delete;

    // True when the buffers and both sections exist (or the factor has none).
    bool IsBuilt() const;
    void SetFilter(int factor);
    void Process(float* dst, const float* src, int len);

private:
    void DestroySections();

    int m_nMaxLen = EachChannelSampleCntMax;
    int m_nBufLen;
    int m_nDelay;
    CIirFilter* m_pForward = nullptr;
    CIirFilter* m_pBackward = nullptr;
    float* m_pFwdBuf = nullptr;
    float* m_pRevBuf = nullptr;
    float* m_pBwdBuf = nullptr;
};

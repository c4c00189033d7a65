// Block engine of the headphone virtualizer: gathers the stream's frames,
// whatever their count per call, into blocks at the stream rate, converts
// each block to 512 frames at 44100 Hz, runs ProcessBlock on it, converts
// the result back and plays it out one block later. CHeadphoneApp is the
// engine with the HRTF convolution as its block operation.
//
// Init runs while the stream is stopped (it frees what Process uses);
// Process runs at DISPATCH_LEVEL under the effect node's processing lock.
#pragma once

#include "adapter/base/pool_new.h"
#include "common/zvk/headphonefir.h"

class CSrc;

constexpr int kAudioAppSlots = 8;
constexpr int kAudioAppProcRate = 44100;
constexpr float kAudioAppInputOffset = 1e-10f;

class CAudioApp : public CPoolObject {
public:
    CAudioApp(int nIn, int nOut, float offsetScale);
    // Not virtual: the engine is always deleted through its own type.
    ~CAudioApp();
    CAudioApp(const CAudioApp&) = delete;
    CAudioApp& operator=(const CAudioApp&) = delete;

    virtual void ProcessBlock(float** out, int nOut, float** in, int nIn, int len);
    virtual void ResetFilters();

    // 1 when the engine is configured; 0 when the rate is outside the
    // block contracts or an allocation failed (the engine then holds no
    // buffers and must not run).
    int Init(int sampleRate, int nIn, int nOut);
    void Process(float** out, int nOut, float** in, int nIn, int frames);
    void FreeBuffers();

    bool IsReady() const { return m_bReady; }
    int SampleRate() const { return m_nSampleRate; }
    int RealDataLen() const { return m_nRealDataLen; }
    int SrcDir() const { return m_nSrcDir; }
    int SrcFactor() const { return m_nSrcFactor; }
    int InChannels() const { return m_nInChans; }
    int OutChannels() const { return m_nOutChans; }

protected:
    bool Configure();
    void RunBlock(float** outBlocks, int nOut, float** inBlocks, int nIn);
    void InputSrc(float** inBlocks, int nIn);
    void OutputSrc(float** outBlocks, int nOut);

    int m_nSampleRate = 0;
    int m_nRealDataLen = 0;
    int m_nProcRate = kAudioAppProcRate;
    int m_nDataLen = HEADPHONEFIR_N;
    int m_nInChans;
    int m_nOutChans;
    float m_fOffsetScale;
    int m_nFillPos = 0;
    float* m_ppInBlock[kAudioAppSlots] = {};
    float* m_ppOutBlock[kAudioAppSlots] = {};
    float* m_ppInCursor[kAudioAppSlots] = {};
    float* m_ppOutCursor[kAudioAppSlots] = {};
    int m_bLinearPhase = 1;
    int m_nSrcDir = 0;
    int m_nSrcFactor = 1;
    CSrc* m_pSrc[kAudioAppSlots] = {};
    float* m_ppProcIn[kAudioAppSlots] = {};
    float* m_ppProcOut[kAudioAppSlots] = {};
    bool m_bReady = false;
};

class CHeadphoneApp final : public CAudioApp {
public:
    explicit CHeadphoneApp(const HeadphoneTables* tables = DefaultHeadphoneTables());
    ~CHeadphoneApp();

    void ProcessBlock(float** out, int nOut, float** in, int nIn, int len) override;
    void ResetFilters() override;

    bool IsReady() const { return CAudioApp::IsReady() && m_Fir.IsReady(); }
    CHeadphoneFir& Fir() { return m_Fir; }
    const CHeadphoneFir& Fir() const { return m_Fir; }

private:
    CHeadphoneFir m_Fir;
};

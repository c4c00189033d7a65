// The headphone virtualizer as the headphone effect node sees it: the
// engine (CHeadphoneApp), a headphone and a speaker parameter set, and a
// fixed fold-down to the front pair whenever the engine does not run. Also
// the channel functions the engine shares.
//
// Setters run at PASSIVE_LEVEL without a lock; Process runs at
// DISPATCH_LEVEL under the node's processing lock; SetFormat, SetSpeakerMode
// and SetCTCAngle only while no Process runs.
#pragma once

#include "adapter/base/pool_new.h"
#include "portcls/portcls_types.h"

class CHeadphoneApp;

class CZvkHeadphone : public CPoolObject {
public:
    CZvkHeadphone();
    virtual ~CZvkHeadphone();
    CZvkHeadphone(const CZvkHeadphone&) = delete;
    CZvkHeadphone& operator=(const CZvkHeadphone&) = delete;

    int GetSpeakerMode() { return m_bSpeakerMode; }
    int GetTailEnable() { return m_bTailEnable; }
    int GetHeadphoneRoom() { return m_nHeadphoneRoom; }
    int GetHeadphoneVariant() { return m_nHeadphoneVariant; }
    int GetSpeakerRoom() { return m_nSpeakerRoom; }
    int GetSpeakerVariant() { return m_nSpeakerVariant; }

    static int MapAngleCode(int variant, int angle);

    void SetEnable(int value);
    void SetSpeakerMode(int value);
    void SetTailEnable(int value);
    void SetHeadphoneRoom(int value);
    void SetHeadphoneAngle(int value);
    void SetHeadphoneVariant(int value);
    void SetSpeakerRoom(int value);
    void SetSpeakerAngle(int value);
    void SetSpeakerVariant(int value);
    void SetCTCAngle(int value);

    // 1 when the engine is configured for the format, 0 when the format is
    // not served (Process then bypasses), -1 without an engine.
    int SetFormat(const WAVEFORMATEX* format);
    void Process(float** channels, int frames);

    // The engine, for diagnostics and tests; null without one.
    const CHeadphoneApp* Engine() const { return m_pApp; }

private:
    void ApplyHeadphoneSet();
    void ApplySpeakerSet();
    bool EngineRuns();

    CHeadphoneApp* m_pApp;
    int m_bSpeakerMode;
    int m_bEnable;
    int m_bTailEnable;
    int m_nSpeakerRoom;
    int m_nHeadphoneRoom;
    int m_nSpeakerAngle;
    int m_nHeadphoneAngle;
    int m_nCTCAngle;
    int m_nSpeakerVariant;
    int m_nHeadphoneVariant;
    int m_nChannels;
};

// Copies src[i] to dst[i] for i below nSrc (unless the two are the same
// buffer) and fills the rest of the nDst outputs with zeros.
void CopyChannels(float** dst, int nDst, float** src, int nSrc, int frames);
// The fixed fold-down: mono and stereo pass, more channels fold into the
// front pair (nOut 2) or are copied.
void DownmixBypass(float** out, int nOut, float** in, int nIn, int frames, float gainDivisor);
// Folds 5.1 (and 7.1) into the front pair, scaled by 1 / gainDivisor;
// channels at or above nIn count as silent. out may equal in.
void DownmixSurroundToStereo(float** out, float** in, int nIn, int frames, float gainDivisor);

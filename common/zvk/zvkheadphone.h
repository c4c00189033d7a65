// CZvkHeadphone: the headphone virtualizer as the headphone effect node
// sees it. It owns the engine (HRTF convolution, crosstalk cancellation and
// rate conversion) and keeps two parameter sets: the headphone set (room,
// angle, HRTF variant), in force while the speaker mode is off, and the
// speaker set with the crosstalk-cancellation angle, in force while it is
// on. A setter stores its value and, when the engine exists and the value
// belongs to the active set, hands the active set to the engine at once.
// Disabled or without an engine, Process folds the block down to the front
// pair instead.
//
// The owner allocates the wrapper with the pool operator new (zero-filled,
// NonPagedPoolNx, "QIRN") and deletes it through the virtual destructor;
// the engine comes from NonPagedPoolNx with the tag "ZVKP". Setters and
// SetFormat run at PASSIVE_LEVEL; Process at DISPATCH_LEVEL, in place.
#pragma once

#include "adapter/base/pool_new.h"
#include "portcls/portcls_types.h"

class CHeadphoneApp;

class CZvkHeadphone : public CPoolObject {
public:
    // Defaults below; creates the engine (left NULL when its allocation
    // fails; construction itself never fails).
    CZvkHeadphone();
    virtual ~CZvkHeadphone();

    // -1 without an engine; else 1, with the engine built for
    // nSamplesPerSec, 8 input and nChannels output channels.
    int SetFormat(const WAVEFORMATEX* format);
    // In place: channels 0 and 1 receive the engine's stereo result.
    void Process(float** channels, int frames);

    void SetEnable(int value);
    void SetSpeakerMode(int value);
    void SetTailEnable(int value);
    void SetHeadphoneRoom(int value);
    void SetHeadphoneAngle(int value);
    void SetHeadphoneVariant(int value);
    void SetSpeakerRoom(int value);
    void SetSpeakerAngle(int value);
    void SetSpeakerVariant(int value);
    // Type 0 to 4: 5, 10, 15, 20 or 30 degrees; another value is stored as
    // it is.
    void SetCTCAngle(int value);

    int GetSpeakerMode();
    int GetTailEnable();
    int GetHeadphoneRoom();
    int GetHeadphoneVariant();
    int GetSpeakerRoom();
    int GetSpeakerVariant();

    // The HRTF response set of an angle index (0 to 3) or code; -1 when
    // there is none.
    static int MapAngleCode(int variant, int angle);

private:
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

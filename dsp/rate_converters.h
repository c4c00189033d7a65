// The stage objects of the stream format layer: CSampleRateConverter, a
// base with per-channel filter state and output buffers for eight
// channels, and its converters CSrcRatio2 (x2 or /2, 66-tap multirate FIR),
// CSrcRatio4 (x4 or /4, 132 taps) and CSrc44k48k (44.1 kHz <-> 48 kHz, a
// 160/147 polyphase interpolator stepping one sample at a time). Each works
// in one direction, chosen by m_bUp, which its owner sets before Reset.
//
// Objects come from the pool operator new (zeroed: direction down, not
// initialised); Init allocates every buffer once (tag "SRCX"), Process and
// Reset allocate nothing. Process appends converted samples to the
// channel's output buffer m_pChannelOut[channel][0 .. m_nOutPos[channel]-1]
// as far as the input and the buffer's free space allow; only Reset
// empties the buffers. No lock: the owner serialises every call.
#pragma once

#include "adapter/base/pool_new.h"
#include "nt/types.h"
#include "primitives/convert/sp_types.h"

#define SRC_CHANNELS 8
#define SRC_OUT_BUF_LEN 7680
#define SRC_X2_TAP_COUNT 66
#define SRC_X4_TAP_COUNT 132
#define SRC_UP_PHASES 160
#define SRC_UP_TAPS 20
#define SRC_DOWN_PHASES 147
#define SRC_DOWN_TAPS 24

inline constexpr ULONG SRC_BUFFER_TAG = MakePoolTag("SRCX");

// Generated coefficient tables (tools/gen_src_tables.py); tap 0 multiplies
// the newest sample.
extern const float SRC_44K_TO_48K_PHASES[SRC_UP_PHASES][SRC_UP_TAPS];
extern const float SRC_48K_TO_44K_PHASES[SRC_DOWN_PHASES][SRC_DOWN_TAPS];
extern const float SRC_X2_TAPS[SRC_X2_TAP_COUNT];
extern const float SRC_X4_TAPS[SRC_X4_TAP_COUNT];

class CSampleRateConverter : public CPoolObject {
public:
    virtual int GetUpStateSize();
    virtual int GetDownStateSize();
    // channel 0 to 7 (any other consumes nothing and returns FALSE);
    // *pCount: inputs at src on entry, inputs consumed on return.
    virtual BOOL Process(int channel, const float* src, int* pCount);
    // Rebuilds the direction's filter state and empties the output buffers.
    virtual VOID Reset();

    // Allocates the per-channel buffers; FALSE when already initialised,
    // when a state size is 0 or at the first failed allocation (what was
    // made stays for the destructor).
    BOOLEAN Init();

    void* m_pUpState[SRC_CHANNELS];
    void* m_pDownState[SRC_CHANNELS];
    SpFirState* m_pFirState[SRC_CHANNELS];
    float* m_pChannelOut[SRC_CHANNELS];
    int m_nOutPos[SRC_CHANNELS];
    int m_nOutBufLen;
    BYTE m_bUp;
    BYTE m_bInit;

protected:
    CSampleRateConverter() = default;
    ~CSampleRateConverter();

    // The x2 and x4 converters' shared work, by factor and taps.
    VOID ResetMultirate(const float* taps, int tapsLen, int factor);
    BOOL ProcessMultirate(int factor, int channel, const float* src, int* pCount);
    static int MultirateStateSize(int tapsLen, int up, int down);
};

class CSrcRatio2 final : public CSampleRateConverter {
public:
    int GetUpStateSize() override;
    int GetDownStateSize() override;
    BOOL Process(int channel, const float* src, int* pCount) override;
    VOID Reset() override;
};

class CSrcRatio4 final : public CSampleRateConverter {
public:
    int GetUpStateSize() override;
    int GetDownStateSize() override;
    BOOL Process(int channel, const float* src, int* pCount) override;
    VOID Reset() override;
};

class CSrc44k48k final : public CSampleRateConverter {
public:
    int GetUpStateSize() override;
    int GetDownStateSize() override;
    BOOL Process(int channel, const float* src, int* pCount) override;
    VOID Reset() override;

    int m_nChannelPhase[SRC_CHANNELS];
    float m_fDelay[SRC_CHANNELS][2 * SRC_DOWN_TAPS];
    int m_nDelayIndex[SRC_CHANNELS];

private:
    VOID ProcessUp(int channel, const float* src, int* pCount);
    VOID ProcessDown(int channel, const float* src, int* pCount);
    VOID Skip(int channel, float sample);
};

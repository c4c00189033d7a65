// CLimiter: linked peak limiter over up to eight float channels. It works
// in place on the caller's channel arrays in blocks of 128 frames, looks
// one block ahead and gives every channel one common gain.
//
// Its owner allocates it with the pool operator new (zero-filled), calls
// AllocateBuffers and, only when that returns 1, SetMode, SetMakeupGain and
// SetThreshold; SetFormat when the stream starts, Process for every block
// (DISPATCH_LEVEL, no allocation), Reset when it stops, FreeBuffers and
// delete at the end. The buffers come from NonPagedPoolNx with the tag
// "DSPs".
#pragma once

#include "adapter/base/pool_new.h"
#include "portcls/portcls_types.h"
#include "stream/engine/dsp_node.h"

#define LIMITER_BLOCK_FRAMES 128
#define LIMITER_HISTORY_BLOCKS 200
#define LIMITER_HOLD_BLOCKS 20
// Divisor of the per-sample release step, and the smallest step as a
// fraction of the current gain (2^-23).
#define LIMITER_RELEASE_DIVISOR 10240.0f
#define LIMITER_MIN_STEP 1.1920929e-7f
// Makeup gains of the owners: +9 dB after the surround effect, +6 dB after
// the headphone effect, unity on the dry sets and the streams.
#define LIMITER_MAKEUP_SURROUND 2.8183f
#define LIMITER_MAKEUP_HEADPHONE 2.0f
#define LIMITER_MAKEUP_UNITY 1.0f

inline constexpr ULONG LIMITER_BUFFER_TAG = MakePoolTag("DSPs");

class CLimiter : public CPoolObject {
public:
    CLimiter();
    // 1 once the sixteen channel buffers exist, 0 at the first failure
    // (what was allocated stays for FreeBuffers).
    int AllocateBuffers();
    VOID FreeBuffers();
    VOID SetMode(int mode);
    VOID SetMakeupGain(float gain);
    VOID SetThreshold(float threshold);
    // Resets the signal state and takes the 40-byte format; its channel
    // count is the one Process uses (1 to 8; any other count processes no
    // channel).
    VOID SetFormat(const WAVEFORMATEXTENSIBLE* format);
    // channels: nChannels pointers to frames floats each, limited in place
    // with a delay of two blocks. Without buffers it leaves them alone.
    VOID Process(float** channels, int frames);
    // Clears the signal state when the buffers exist.
    VOID Reset();
    VOID ResetAll();

private:
    VOID ProcessBlock(float** inputs, ULONG count);
    VOID ComputeTargetGains(ULONG count);
    float GetPeak(const float* block, ULONG count);
    ULONG ChannelCount() const;
    VOID MarkAllChanged();

    WAVEFORMATEXTENSIBLE m_WaveFormat;
    float* m_pInBuf[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    float* m_pOutBuf[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    int m_nHalf;
    int m_nWritePos;
    int m_nReadPos;
    float m_fMakeup[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    float m_fGain[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    float m_fTarget[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    float m_fPeakHistory[MAX_SOFTWARE_DSP_PROCESS_CHANNELS][LIMITER_HISTORY_BLOCKS];
    float m_fThreshold;
    int m_nHistoryIndex;
    int m_nMode;
    int m_bChanged[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    int m_bAllocated;
};

// CSurroundVirtualizer: 5.1 and 7.1 to stereo virtualizer owned by the
// surround effect node. Its owner allocates it with the pool operator new
// (zero-filled, NonPagedPoolNx, "DoHP"), calls Init once, SetFormat at each
// stream start, Process for every block and Clear when the stream stops.
#pragma once

#include "adapter/base/pool_new.h"
#include "nt/types.h"

class CSurroundVirtualizer : public CPoolObject {
public:
    CSurroundVirtualizer() {}
    // Clears the delay line; rate index and mode 0.
    VOID Init();
    // Stores the request (rate in Hz, mode nChannels - 1), applied by the
    // next Process.
    VOID SetFormat(int sampleRate, int mode);
    // Reads the 8 input channels, writes frames samples into out[0] and
    // out[1] (which may be in[0] and in[1]); modes other than 5 and 7 feed
    // silence.
    VOID Process(float** in, float** out, int frames);
    // Clears the delay line; a pending request stays pending.
    VOID Clear();

private:
    int m_nRateIndex;
    int m_nChannelMode;
    int m_nReqRateIndex;
    int m_nReqChannelMode;
    float m_fHistory[2];
};

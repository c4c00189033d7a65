// CSurroundVirtualizer: renders a 5.1 or 7.1 float channel set into a
// left-ear and a right-ear signal. A four-line feedback delay network adds
// a short room to the front and back pairs; the centre and the mid and
// side signals of the three pairs pass short head filters (taps on every
// second sample) into the two ears; three-tap direct paths are added; each
// output sample is rounded to a 16-bit step. The coefficients come from
// one record per rate (dsp/virtualizer_tables.h).
//
// Its owner, the surround effect node, allocates it with the pool operator
// new (zero-filled, NonPagedPoolNx, "DoHP"), calls Init once, SetFormat at
// each stream start, Process for every block (DISPATCH_LEVEL, under the
// node's lock) and Clear when the stream stops. It allocates nothing: its
// whole state is one circular line of floats inside the object.
#pragma once

#include "adapter/base/pool_new.h"
#include "dsp/virtualizer_tables.h"
#include "nt/types.h"

class CSurroundVirtualizer : public CPoolObject {
public:
    CSurroundVirtualizer() {}
    // Rate index 0 (48 kHz), mode 0, the line cleared.
    VOID Init();
    // Records a request (rate in Hz, mode nChannels - 1) that the next
    // Process applies. 48000, 44100, 32000, 96000 and 88200 Hz have their
    // own records; any other rate takes the 44.1 kHz one.
    VOID SetFormat(int sampleRate, int mode);
    // in: 8 channel pointers (mode 7 reads all eight, mode 5 the first six,
    // any other mode none); out: 2 (left, right), which may be in[0] and
    // in[1]. Applies a pending request first; frames <= 0 writes nothing.
    // Modes other than 5 and 7 output silence.
    VOID Process(float** in, float** out, int frames);
    // Clears the state; the configuration stays, a pending request too.
    VOID Clear();
    // TRUE when the requested rate index has a record and the requested
    // mode, read as unsigned, is at most 7.
    BOOL IsValidRequest();
    // Runs a valid request (the state starts from silence) or withdraws an
    // invalid one, keeping the running configuration.
    VOID ApplyRequest();

private:
    int m_nRateIndex;
    int m_nChannelMode;
    int m_nReqRateIndex;
    int m_nReqChannelMode;
    int m_nLineLength;
    float* m_pLine;
    float* m_pWrite;
    float m_fLine[VIRTUALIZER_LINE_SIZE];
};

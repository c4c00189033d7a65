// The surround virtualizer's constant records, one per supported rate, and
// a read-only view that names their sections.
//
// A record is a flat array of floats (integral values such as offsets and
// counts stored as floats, read by truncation), in this order:
//   O1, g1[k] .. O4, g4[k]     per delay line: first damping tap's delay
//                              minus one, then the k damping taps
//   m[8]                       feed weights
//   b0, b1, b2, a1, a2         feed high-pass, every coefficient halved
//   gC, gLd, gLr, gRd, gRr, gSL, gSR, gBLd, gBLr, gBRd, gBRr   branch gains
//   p[12]                      pair weights (mid and side of each pair)
//   N, h[N] seven times        head filters of C', FM, FS, SM, SS, BM, BS
//   wL[7], wR[7]               ear weights of the filtered signals
//   kL[3], cL[3], fL[3], sL[3], bL[3]   left ear kernel and direct filters
//   kR[3], cR[3], fR[3], sR[3], bR[3]   right
//   M[j][4], Wj  four times    feedback rows and the spans of the lines
//   zeros to a multiple of four floats
#pragma once

#include <cstddef>

#define VIRTUALIZER_RATE_INDEXES 18
#define VIRTUALIZER_LINES 4
#define VIRTUALIZER_HEAD_FILTERS 7
#define VIRTUALIZER_MAX_DAMPING_TAPS 4
// The longest line (96 kHz) plus one.
#define VIRTUALIZER_LINE_SIZE 7156

// Rate indexes with a record.
#define VIRTUALIZER_RATE_48000 0
#define VIRTUALIZER_RATE_44100 1
#define VIRTUALIZER_RATE_32000 2
#define VIRTUALIZER_RATE_96000 16
#define VIRTUALIZER_RATE_88200 17

// L, the floats of the line a rate uses; 0 at indexes without a record.
extern const int VIRTUALIZER_DELAY_LENGTHS[VIRTUALIZER_RATE_INDEXES];
// k, the damping taps of each delay line; 0 at indexes without a record.
extern const int VIRTUALIZER_DAMPING_TAPS[VIRTUALIZER_RATE_INDEXES];
// The records; null at indexes 3 to 15.
extern const float* const VIRTUALIZER_RECORDS[VIRTUALIZER_RATE_INDEXES];
// Floats of each record, padding included; 0 at indexes without a record.
extern const int VIRTUALIZER_RECORD_SIZES[VIRTUALIZER_RATE_INDEXES];

// Branch gains, by position in the record's gain section.
enum VirtualizerGain {
    kGainC, kGainLd, kGainLr, kGainRd, kGainRr, kGainSL, kGainSR,
    kGainBLd, kGainBLr, kGainBRd, kGainBRr, kGainCount
};

// One ear's output section: ear kernel, then the three-tap filters of C',
// the front, side and back signal of its side.
struct VIRTUALIZER_EAR {
    const float* Kernel;
    const float* Centre;
    const float* Front;
    const float* Side;
    const float* Back;
};

// The sections of one record. Delays are the read distances of each line's
// first damping tap (d = O + 1); spans are the lines' longest delays
// (W = d + k - 1).
struct VIRTUALIZER_RECORD_VIEW {
    int DampingTaps;
    int Delay[VIRTUALIZER_LINES];
    const float* Damping[VIRTUALIZER_LINES];
    const float* FeedWeights;
    const float* HighPass;
    const float* Gains;
    const float* PairWeights;
    int HeadTaps[VIRTUALIZER_HEAD_FILTERS];
    const float* Head[VIRTUALIZER_HEAD_FILTERS];
    const float* EarWeightsL;
    const float* EarWeightsR;
    VIRTUALIZER_EAR Left;
    VIRTUALIZER_EAR Right;
    const float* Feedback[VIRTUALIZER_LINES];
    int Span[VIRTUALIZER_LINES];
    int Length;  // floats read, before padding
};

// The view of the record of rateIndex, which must have one.
VIRTUALIZER_RECORD_VIEW ViewVirtualizerRecord(int rateIndex);

// Where each delayed signal sits in the circular line, as distances below
// the write position: a value stored at distance s is read j samples later
// at distance s + j. Each signal's band is as long as its longest delay;
// every sample reads all its delayed values before it stores the new ones,
// so a band may end where the next one starts.
struct VIRTUALIZER_LINE_LAYOUT {
    int Line[VIRTUALIZER_LINES];        // the four delay lines
    int Head[VIRTUALIZER_HEAD_FILTERS]; // inputs of the head filters (C' also serves its three-tap filter)
    int Direct[6];                      // L', R', SL', SR', BL', BR'
    int Ear[2];                         // EL, ER
    int Feed[VIRTUALIZER_LINES];        // the feeds' inputs
    int HighPass[VIRTUALIZER_LINES];    // the feeds' high-pass outputs
    int Used;                           // largest distance read, plus one
};

VIRTUALIZER_LINE_LAYOUT LayOutVirtualizerLine(const VIRTUALIZER_RECORD_VIEW& view);

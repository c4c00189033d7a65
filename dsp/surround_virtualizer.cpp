#include "dsp/surround_virtualizer.h"

#include <cstring>

namespace {

// Rounding of the outputs to 16-bit steps (bit patterns 0x3F7FFF00,
// 0x3F7FFE00 and 0x47800040).
constexpr float kClampAbove = 0x1.fffep-1f;  // 1 - 2^-16
constexpr float kLargestStep = 0x1.fffcp-1f;  // 32767/32768
constexpr float kRoundingBias = 0x1.00008p+16f;  // 65536.5

// Input channels by index in the input set.
enum { kFL, kFR, kC, kLFE, kBL, kBR, kSL, kSR, kInputs };
// The head filters' inputs.
enum { kHeadC, kHeadFM, kHeadFS, kHeadSM, kHeadSS, kHeadBM, kHeadBS };
// The direct paths' histories.
enum { kDirectL, kDirectR, kDirectSL, kDirectSR, kDirectBL, kDirectBR };

int RateIndex(int sampleRate) {
    switch (sampleRate) {
        case 48000: return VIRTUALIZER_RATE_48000;
        case 44100: return VIRTUALIZER_RATE_44100;
        case 32000: return VIRTUALIZER_RATE_32000;
        case 96000: return VIRTUALIZER_RATE_96000;
        case 88200: return VIRTUALIZER_RATE_88200;
        default: return VIRTUALIZER_RATE_44100;
    }
}

// The nearest multiple of 2^-15 within -1.0 and 32767/32768; a NaN gives
// 0.0 (no float-to-integer conversion may see one).
float RoundToStep(float y) {
    if (y != y) return 0.0f;
    if (y >= kClampAbove) y = kLargestStep;
    if (y < -kClampAbove) y = -1.0f;
    const float v = kRoundingBias + 32768.0f * y;
    const int i = (int)v;
    const int s = (i & 0xFFFF) - ((i & 0x8000) ? 0x10000 : 0);
    return (float)s / 32768.0f;
}

// One rate's network over the object's line: the record's sections, where
// each signal's history lies, and the write position.
class Network {
public:
    Network(int rateIndex, float* line, int length, int write)
        : m_View(ViewVirtualizerRecord(rateIndex)),
          m_Layout(LayOutVirtualizerLine(m_View)),
          m_pLine(line),
          m_nLength(length),
          m_nWrite(write) {}

    int Write() const { return m_nWrite; }
    // False once an output of the steps so far was not a finite number.
    bool StayedFinite() const { return m_fFiniteCheck == 0.0f; }

    // One sample: x holds the eight inputs; the two outputs, rounded.
    void Step(const float* x, float* left, float* right) {
        const VIRTUALIZER_RECORD_VIEW& v = m_View;
        if (++m_nWrite == m_nLength) m_nWrite = 0;

        float e[VIRTUALIZER_LINES];
        for (int i = 0; i < VIRTUALIZER_LINES; ++i) {
            const int at = m_Layout.Line[i] + v.Delay[i];
            e[i] = v.Damping[i][0] * Past(at);
            for (int t = 1; t < v.DampingTaps; ++t) e[i] = e[i] + v.Damping[i][t] * Past(at + t);
        }
        const float l = x[kFL] + x[kLFE];
        const float r = x[kFR] + x[kLFE];
        const float* g = v.Gains;
        const float direct[6] = {
            g[kGainLd] * l + g[kGainLr] * e[3],         g[kGainRd] * r + g[kGainRr] * e[0],
            g[kGainSL] * x[kSL],                        g[kGainSR] * x[kSR],
            g[kGainBLd] * x[kBL] + g[kGainBLr] * e[1],  g[kGainBRd] * x[kBR] + g[kGainBRr] * e[2],
        };
        const float* p = v.PairWeights;
        const float heads[VIRTUALIZER_HEAD_FILTERS] = {
            g[kGainC] * x[kC],
            p[0] * direct[kDirectL] + p[1] * direct[kDirectR],    p[2] * direct[kDirectL] + p[3] * direct[kDirectR],
            p[4] * direct[kDirectSL] + p[5] * direct[kDirectSR],  p[6] * direct[kDirectSL] + p[7] * direct[kDirectSR],
            p[8] * direct[kDirectBL] + p[9] * direct[kDirectBR],  p[10] * direct[kDirectBL] + p[11] * direct[kDirectBR],
        };

        float filtered[VIRTUALIZER_HEAD_FILTERS];
        for (int i = 0; i < VIRTUALIZER_HEAD_FILTERS; ++i) filtered[i] = HeadFilter(i);
        const float ear[2] = {Weighted(v.EarWeightsL, filtered), Weighted(v.EarWeightsR, filtered)};

        const float yL = EarOutput(v.Left, 0, ear[0], heads[kHeadC], direct, kDirectL, kDirectSL, kDirectBL);
        const float yR = EarOutput(v.Right, 1, ear[1], heads[kHeadC], direct, kDirectR, kDirectSR, kDirectBR);
        *left = RoundToStep(yL);
        *right = RoundToStep(yR);
        // Every input reaches both outputs at once through the direct
        // filters, and every stored value comes from the inputs: a
        // non-finite input or state shows here in the same sample.
        const float both = yL + yR;
        m_fFiniteCheck = m_fFiniteCheck + (both - both);

        const float* m = v.FeedWeights;
        const float feeds[VIRTUALIZER_LINES] = {m[0] * r + m[1] * x[kBR], m[2] * l + m[3] * x[kBL],
                                                m[4] * x[kSL] + m[5] * x[kC], m[6] * x[kSR] + m[7] * x[kC]};
        float sums[VIRTUALIZER_LINES];
        for (int i = 0; i < VIRTUALIZER_LINES; ++i) {
            const float hp = HighPass(i, feeds[i]);
            Store(m_Layout.Feed[i], feeds[i]);
            Store(m_Layout.HighPass[i], hp);
            sums[i] = hp + e[i];
        }
        for (int j = 0; j < VIRTUALIZER_LINES; ++j) Store(m_Layout.Line[j], Weighted4(v.Feedback[j], sums));
        for (int i = 0; i < VIRTUALIZER_HEAD_FILTERS; ++i) Store(m_Layout.Head[i], heads[i]);
        for (int i = 0; i < 6; ++i) Store(m_Layout.Direct[i], direct[i]);
        Store(m_Layout.Ear[0], ear[0]);
        Store(m_Layout.Ear[1], ear[1]);
    }

private:
    float Past(int distance) const {
        int i = m_nWrite - distance;
        if (i < 0) i += m_nLength;
        return m_pLine[i];
    }
    void Store(int distance, float value) {
        int i = m_nWrite - distance;
        if (i < 0) i += m_nLength;
        m_pLine[i] = value;
    }

    // h[1] V[n - 2] + h[2] V[n - 4] + ... + h[N] V[n - 2N].
    float HeadFilter(int i) const {
        const float* h = m_View.Head[i];
        const int at = m_Layout.Head[i];
        float sum = h[0] * Past(at + 2);
        for (int t = 1; t < m_View.HeadTaps[i]; ++t) sum = sum + h[t] * Past(at + 2 * (t + 1));
        return sum;
    }

    static float Weighted(const float* w, const float* f) {
        float sum = w[0] * f[0];
        for (int i = 1; i < VIRTUALIZER_HEAD_FILTERS; ++i) sum = sum + w[i] * f[i];
        return sum;
    }

    static float Weighted4(const float* m, const float* u) {
        return m[0] * u[0] + m[1] * u[1] + m[2] * u[2] + m[3] * u[3];
    }

    // The ear kernel over the ear signal, then the three-tap filters of C'
    // and of the ear's front, side and back signals, tap by tap.
    float EarOutput(const VIRTUALIZER_EAR& k, int side, float earNow, float centreNow, const float* direct,
                    int front, int surround, int back) const {
        const int earAt = m_Layout.Ear[side];
        float y = k.Kernel[0] * earNow + k.Kernel[1] * Past(earAt + 1) + k.Kernel[2] * Past(earAt + 2);
        y = y + k.Centre[0] * centreNow;
        y = y + k.Front[0] * direct[front];
        y = y + k.Side[0] * direct[surround];
        y = y + k.Back[0] * direct[back];
        for (int t = 1; t < 3; ++t) {
            y = y + k.Centre[t] * Past(m_Layout.Head[kHeadC] + t);
            y = y + k.Front[t] * Past(m_Layout.Direct[front] + t);
            y = y + k.Side[t] * Past(m_Layout.Direct[surround] + t);
            y = y + k.Back[t] * Past(m_Layout.Direct[back] + t);
        }
        return y;
    }

    // 2 (b0 u[n] + b1 u[n-1] + b2 u[n-2] + a1 HP[n-1] + a2 HP[n-2]).
    float HighPass(int i, float u) const {
        const float* c = m_View.HighPass;
        const int ua = m_Layout.Feed[i], ha = m_Layout.HighPass[i];
        return 2.0f * (c[0] * u + c[1] * Past(ua + 1) + c[2] * Past(ua + 2) + c[3] * Past(ha + 1) + c[4] * Past(ha + 2));
    }

    const VIRTUALIZER_RECORD_VIEW m_View;
    const VIRTUALIZER_LINE_LAYOUT m_Layout;
    float* const m_pLine;
    const int m_nLength;
    int m_nWrite;
    // 0.0 while every output was finite, NaN after that.
    float m_fFiniteCheck = 0.0f;
};

}  // namespace

VOID CSurroundVirtualizer::Init() {
    m_nRateIndex = VIRTUALIZER_RATE_48000;
    m_nChannelMode = 0;
    m_nReqRateIndex = VIRTUALIZER_RATE_48000;
    m_nReqChannelMode = 0;
    m_nLineLength = VIRTUALIZER_DELAY_LENGTHS[VIRTUALIZER_RATE_48000];
    m_pLine = m_fLine;
    m_pWrite = m_fLine;
    std::memset(m_fLine, 0, m_nLineLength * sizeof(float));
}

VOID CSurroundVirtualizer::SetFormat(int sampleRate, int mode) {
    m_nReqRateIndex = RateIndex(sampleRate);
    m_nReqChannelMode = mode;
}

BOOL CSurroundVirtualizer::IsValidRequest() {
    if ((unsigned)m_nReqRateIndex >= VIRTUALIZER_RATE_INDEXES) return FALSE;
    return VIRTUALIZER_RECORDS[m_nReqRateIndex] != nullptr && (unsigned)m_nReqChannelMode <= 7;
}

VOID CSurroundVirtualizer::ApplyRequest() {
    if (!IsValidRequest()) {
        m_nReqRateIndex = m_nRateIndex;
        m_nReqChannelMode = m_nChannelMode;
        return;
    }
    m_nRateIndex = m_nReqRateIndex;
    m_nChannelMode = m_nReqChannelMode;
    m_pWrite = m_pLine;
    m_nLineLength = VIRTUALIZER_DELAY_LENGTHS[m_nRateIndex];
    std::memset(m_pLine, 0, m_nLineLength * sizeof(float));
}

VOID CSurroundVirtualizer::Clear() { std::memset(m_pLine, 0, m_nLineLength * sizeof(float)); }

VOID CSurroundVirtualizer::Process(float** in, float** out, int frames) {
    if (m_nReqRateIndex != m_nRateIndex || m_nReqChannelMode != m_nChannelMode) ApplyRequest();
    if (frames <= 0) return;
    // Other modes take all eight inputs as silence; their state was zeroed
    // when they were applied, so the outputs are silent at once.
    if (m_nChannelMode != 5 && m_nChannelMode != 7) {
        std::memset(out[0], 0, frames * sizeof(float));
        std::memset(out[1], 0, frames * sizeof(float));
        return;
    }
    const int inputs = m_nChannelMode == 7 ? kInputs : kSL;
    Network network(m_nRateIndex, m_pLine, m_nLineLength, (int)(m_pWrite - m_pLine));
    for (int n = 0; n < frames; ++n) {
        float x[kInputs] = {};
        for (int c = 0; c < inputs; ++c) x[c] = in[c][n];
        network.Step(x, &out[0][n], &out[1][n]);
    }
    m_pWrite = m_pLine + network.Write();
    // A non-finite sample would stay in the feedback network and silence
    // every output after it: the network starts again from silence.
    if (!network.StayedFinite()) Clear();
}

#include "dsp/rate_converters.h"

#include "nt/pool.h"
#include "primitives/convert/entry_table_a.h"

namespace {

bool ValidChannel(int channel) { return channel >= 0 && channel < SRC_CHANNELS; }

void* AllocateBuffer(int bytes) { return ExAllocatePoolWithTag(NonPagedPoolNx, (SIZE_T)bytes, SRC_BUFFER_TAG); }

VOID FreeBuffer(void*& block) {
    if (block != NULL) ExFreePool(block);
    block = NULL;
}

}  // namespace

CSampleRateConverter::~CSampleRateConverter() {
    for (int c = 0; c < SRC_CHANNELS; ++c) {
        void* out = m_pChannelOut[c];
        FreeBuffer(out);
        m_pChannelOut[c] = NULL;
        FreeBuffer(m_pUpState[c]);
        FreeBuffer(m_pDownState[c]);
    }
}

int CSampleRateConverter::GetUpStateSize() { return 0; }
int CSampleRateConverter::GetDownStateSize() { return 0; }

BOOL CSampleRateConverter::Process(int channel, const float* src, int* pCount) {
    (void)channel;
    (void)src;
    (void)pCount;
    return FALSE;
}

VOID CSampleRateConverter::Reset() {
    for (int c = 0; c < SRC_CHANNELS; ++c) m_nOutPos[c] = 0;
}

BOOLEAN CSampleRateConverter::Init() {
    int down = GetDownStateSize();
    int up = GetUpStateSize();
    if (m_bInit || down <= 0 || up <= 0) return FALSE;
    m_nOutBufLen = SRC_OUT_BUF_LEN;
    for (int c = 0; c < SRC_CHANNELS; ++c) {
        m_pDownState[c] = AllocateBuffer(down);
        if (m_pDownState[c] == NULL) return FALSE;
        m_pUpState[c] = AllocateBuffer(up);
        if (m_pUpState[c] == NULL) return FALSE;
        m_pChannelOut[c] = static_cast<float*>(AllocateBuffer(SRC_OUT_BUF_LEN * (int)sizeof(float)));
        if (m_pChannelOut[c] == NULL) return FALSE;
    }
    m_bInit = TRUE;
    return TRUE;
}

int CSampleRateConverter::MultirateStateSize(int tapsLen, int up, int down) {
    int size = 0;
    spFirMultirateStateSize(tapsLen, up, down, &size);
    return size;
}

VOID CSampleRateConverter::ResetMultirate(const float* taps, int tapsLen, int factor) {
    for (int c = 0; c < SRC_CHANNELS; ++c) {
        if (m_bUp)
            spFirMultirateInit(&m_pFirState[c], taps, tapsLen, factor, 0, 1, 0, NULL,
                               static_cast<uint8_t*>(m_pUpState[c]));
        else
            spFirMultirateInit(&m_pFirState[c], taps, tapsLen, 1, 0, factor, 0, NULL,
                               static_cast<uint8_t*>(m_pDownState[c]));
    }
    CSampleRateConverter::Reset();
}

BOOL CSampleRateConverter::ProcessMultirate(int factor, int channel, const float* src, int* pCount) {
    if (!ValidChannel(channel)) {
        *pCount = 0;
        return FALSE;
    }
    int n = *pCount;
    int consumed = 0;
    float* out = m_pChannelOut[channel];
    SpFirState* state = m_pFirState[channel];
    if (m_bUp) {
        while (n > 0 && m_nOutBufLen - m_nOutPos[channel] >= factor) {
            int free = m_nOutBufLen - m_nOutPos[channel];
            int k = n <= free / factor ? n : free / factor;
            n -= k;
            float* dst = out + m_nOutPos[channel];
            spFirFilterF32(src + consumed, dst, k, state);
            spScaleF32InPlace((float)factor, dst, factor * k);
            m_nOutPos[channel] += factor * k;
            consumed += k;
        }
    } else {
        while (n >= factor && m_nOutBufLen - m_nOutPos[channel] > 0) {
            int free = m_nOutBufLen - m_nOutPos[channel];
            int k = n / factor < free ? n / factor : free;
            spFirFilterF32(src + consumed, out + m_nOutPos[channel], k, state);
            m_nOutPos[channel] += k;
            consumed += factor * k;
            n -= factor * k;
        }
    }
    *pCount = consumed;
    return TRUE;
}

int CSrcRatio2::GetUpStateSize() { return MultirateStateSize(SRC_X2_TAP_COUNT, 2, 1); }
int CSrcRatio2::GetDownStateSize() { return MultirateStateSize(SRC_X2_TAP_COUNT, 1, 2); }
BOOL CSrcRatio2::Process(int channel, const float* src, int* pCount) {
    return ProcessMultirate(2, channel, src, pCount);
}
VOID CSrcRatio2::Reset() { ResetMultirate(SRC_X2_TAPS, SRC_X2_TAP_COUNT, 2); }

int CSrcRatio4::GetUpStateSize() { return MultirateStateSize(SRC_X4_TAP_COUNT, 4, 1); }
int CSrcRatio4::GetDownStateSize() { return MultirateStateSize(SRC_X4_TAP_COUNT, 1, 4); }
BOOL CSrcRatio4::Process(int channel, const float* src, int* pCount) {
    return ProcessMultirate(4, channel, src, pCount);
}
VOID CSrcRatio4::Reset() { ResetMultirate(SRC_X4_TAPS, SRC_X4_TAP_COUNT, 4); }

int CSrc44k48k::GetUpStateSize() {
    int size = 0;
    spFirStateSize(SRC_UP_TAPS, &size);
    return size;
}

int CSrc44k48k::GetDownStateSize() {
    int size = 0;
    spFirStateSize(SRC_DOWN_TAPS, &size);
    return size;
}

VOID CSrc44k48k::Reset() {
    for (int c = 0; c < SRC_CHANNELS; ++c) {
        m_nChannelPhase[c] = 0;
        spZeroF32(m_fDelay[c], 2 * SRC_DOWN_TAPS);
        m_nDelayIndex[c] = 0;
    }
    CSampleRateConverter::Reset();
}

BOOL CSrc44k48k::Process(int channel, const float* src, int* pCount) {
    if (!ValidChannel(channel)) {
        *pCount = 0;
        return FALSE;
    }
    if (m_bUp) ProcessUp(channel, src, pCount);
    else ProcessDown(channel, src, pCount);
    return TRUE;
}

// 147 inputs give 160 outputs: every output steps the phase by 147/160 of
// an input; an output that does not reach the next input re-enters the
// same input at the same place of the delay line.
VOID CSrc44k48k::ProcessUp(int channel, const float* src, int* pCount) {
    int n = *pCount, i = 0;
    int p = m_nChannelPhase[channel];
    float* out = m_pChannelOut[channel];
    while (n > 0 && m_nOutPos[channel] < m_nOutBufLen) {
        int saved = m_nDelayIndex[channel];
        spFirOneDirectF32(src[i], &out[m_nOutPos[channel]], SRC_44K_TO_48K_PHASES[p], SRC_UP_TAPS, m_fDelay[channel],
                          &m_nDelayIndex[channel]);
        m_nOutPos[channel] += 1;
        p += SRC_DOWN_PHASES;
        if (p >= SRC_UP_PHASES) {
            p -= SRC_UP_PHASES;
            i += 1;
            n -= 1;
        } else {
            m_nDelayIndex[channel] = saved;
        }
    }
    m_nChannelPhase[channel] = p;
    *pCount = i;
}

// Enters one input into the delay line without an output.
VOID CSrc44k48k::Skip(int channel, float sample) {
    int& index = m_nDelayIndex[channel];
    m_fDelay[channel][index] = sample;
    m_fDelay[channel][index + SRC_DOWN_TAPS] = sample;
    index = (index + 1) % SRC_DOWN_TAPS;
    m_nChannelPhase[channel] -= SRC_DOWN_PHASES;
}

// 160 inputs give 147 outputs: every output steps the phase by 13/147,
// and once it passes a whole input that input is skipped.
VOID CSrc44k48k::ProcessDown(int channel, const float* src, int* pCount) {
    int n = *pCount, i = 0;
    float* out = m_pChannelOut[channel];
    if (n > 0 && m_nOutPos[channel] < m_nOutBufLen) {
        if (m_nChannelPhase[channel] >= SRC_DOWN_PHASES) {
            Skip(channel, src[i]);
            i += 1;
            n -= 1;
        }
        while (n > 0 && m_nOutPos[channel] < m_nOutBufLen) {
            spFirOneDirectF32(src[i], &out[m_nOutPos[channel]], SRC_48K_TO_44K_PHASES[m_nChannelPhase[channel]],
                              SRC_DOWN_TAPS, m_fDelay[channel], &m_nDelayIndex[channel]);
            m_nOutPos[channel] += 1;
            i += 1;
            n -= 1;
            m_nChannelPhase[channel] += SRC_UP_PHASES - SRC_DOWN_PHASES;
            if (m_nChannelPhase[channel] >= SRC_DOWN_PHASES && n > 0) {
                Skip(channel, src[i]);
                i += 1;
                n -= 1;
            }
        }
    }
    *pCount = i;
}

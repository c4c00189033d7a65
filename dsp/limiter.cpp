#include "dsp/limiter.h"

#include <cstring>

#include "nt/pool.h"
#include "primitives/convert/entry_table_a.h"
#include "primitives/vector/entry_table_b.h"

namespace {

constexpr ULONG kBufferFloats = 2 * LIMITER_BLOCK_FRAMES;
constexpr SIZE_T kBufferBytes = kBufferFloats * sizeof(float);

}  // namespace

CLimiter::CLimiter() {
    std::memset(&m_WaveFormat, 0, sizeof(m_WaveFormat));
    for (int c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        m_pInBuf[c] = NULL;
        m_pOutBuf[c] = NULL;
    }
    m_nHalf = 0;
    m_nWritePos = 0;
    m_nReadPos = 0;
    spZeroF32(m_fMakeup, MAX_SOFTWARE_DSP_PROCESS_CHANNELS);
    spSetF32(1.0f, m_fGain, MAX_SOFTWARE_DSP_PROCESS_CHANNELS);
    spSetF32(1.0f, m_fTarget, MAX_SOFTWARE_DSP_PROCESS_CHANNELS);
    spZeroF32(&m_fPeakHistory[0][0], MAX_SOFTWARE_DSP_PROCESS_CHANNELS * LIMITER_HISTORY_BLOCKS);
    m_fThreshold = 1.0f;
    m_nHistoryIndex = 0;
    m_nMode = 0;
    MarkAllChanged();
    m_bAllocated = 0;
}

int CLimiter::AllocateBuffers() {
    if (m_bAllocated) return 1;
    // A repeated call after a failure fills only the slots still missing.
    for (int c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        if (m_pInBuf[c] == NULL) {
            m_pInBuf[c] = static_cast<float*>(ExAllocatePoolWithTag(NonPagedPoolNx, kBufferBytes, LIMITER_BUFFER_TAG));
            if (m_pInBuf[c] == NULL) return 0;
        }
        if (m_pOutBuf[c] == NULL) {
            m_pOutBuf[c] = static_cast<float*>(ExAllocatePoolWithTag(NonPagedPoolNx, kBufferBytes, LIMITER_BUFFER_TAG));
            if (m_pOutBuf[c] == NULL) return 0;
        }
    }
    m_bAllocated = 1;
    Reset();
    return 1;
}

VOID CLimiter::FreeBuffers() {
    for (int c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        if (m_pInBuf[c] != NULL) ExFreePool(m_pInBuf[c]);
        if (m_pOutBuf[c] != NULL) ExFreePool(m_pOutBuf[c]);
        m_pInBuf[c] = NULL;
        m_pOutBuf[c] = NULL;
    }
    m_bAllocated = 0;
}

VOID CLimiter::MarkAllChanged() {
    for (int c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) m_bChanged[c] = 1;
}

VOID CLimiter::SetMode(int mode) {
    m_nMode = mode;
    MarkAllChanged();
}

VOID CLimiter::SetMakeupGain(float gain) {
    spSetF32(gain, m_fMakeup, MAX_SOFTWARE_DSP_PROCESS_CHANNELS);
    spSetF32(gain, m_fGain, MAX_SOFTWARE_DSP_PROCESS_CHANNELS);
    if (m_nMode == 0) MarkAllChanged();
}

VOID CLimiter::SetThreshold(float threshold) {
    m_fThreshold = threshold;
    MarkAllChanged();
}

VOID CLimiter::SetFormat(const WAVEFORMATEXTENSIBLE* format) {
    Reset();
    std::memcpy(&m_WaveFormat, format, sizeof(m_WaveFormat));
}

VOID CLimiter::Reset() {
    if (!m_bAllocated) return;
    MarkAllChanged();
    for (int c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        spZeroF32(m_pInBuf[c], kBufferFloats);
        spZeroF32(m_pOutBuf[c], kBufferFloats);
    }
    spZeroF32(&m_fPeakHistory[0][0], MAX_SOFTWARE_DSP_PROCESS_CHANNELS * LIMITER_HISTORY_BLOCKS);
    m_nWritePos = 0;
    m_nReadPos = 0;
    m_nHalf = 0;
    m_nHistoryIndex = 0;
}

VOID CLimiter::ResetAll() { Reset(); }

// The format's channel count; a count the buffers cannot hold (0 or more
// than eight) processes no channel, the positions still advancing.
ULONG CLimiter::ChannelCount() const {
    ULONG n = m_WaveFormat.Format.nChannels;
    return n <= MAX_SOFTWARE_DSP_PROCESS_CHANNELS ? n : 0;
}

VOID CLimiter::Process(float** channels, int frames) {
    if (!m_bAllocated || frames <= 0) return;
    const ULONG n = ChannelCount();
    float* io[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    for (ULONG c = 0; c < n; ++c) io[c] = channels[c];
    int done = 0;
    while (frames > 0) {
        int step = m_nWritePos + frames <= LIMITER_BLOCK_FRAMES ? frames : LIMITER_BLOCK_FRAMES - m_nWritePos;
        int inOffset = (1 - m_nHalf) * LIMITER_BLOCK_FRAMES + m_nWritePos;
        for (ULONG c = 0; c < n; ++c)
            std::memcpy(m_pInBuf[c] + inOffset, io[c] + done, (size_t)step * sizeof(float));
        m_nWritePos += step;
        if (m_nWritePos >= LIMITER_BLOCK_FRAMES) {
            ProcessBlock(m_pInBuf, LIMITER_BLOCK_FRAMES);
            m_nWritePos -= LIMITER_BLOCK_FRAMES;
        }
        int outOffset = m_nHalf * LIMITER_BLOCK_FRAMES + m_nReadPos;
        for (ULONG c = 0; c < n; ++c)
            std::memcpy(io[c] + done, m_pOutBuf[c] + outOffset, (size_t)step * sizeof(float));
        m_nReadPos += step;
        if (m_nReadPos >= LIMITER_BLOCK_FRAMES) {
            m_nReadPos -= LIMITER_BLOCK_FRAMES;
            m_nHalf = 1 - m_nHalf;
        }
        done += step;
        frames -= step;
    }
}

VOID CLimiter::ProcessBlock(float** inputs, ULONG count) {
    ComputeTargetGains(count);
    const ULONG n = ChannelCount();
    if (n == 0) return;
    float linked = m_fTarget[0];
    for (ULONG c = 1; c < n; ++c)
        if (m_fTarget[c] < linked) linked = m_fTarget[c];
    for (ULONG c = 0; c < n; ++c) {
        const float* source = inputs[c] + m_nHalf * LIMITER_BLOCK_FRAMES;
        float* destination = m_pOutBuf[c] + (1 - m_nHalf) * LIMITER_BLOCK_FRAMES;
        float g = m_fGain[c];
        if (linked > g) {
            float divisor = m_bChanged[c] ? (float)count : LIMITER_RELEASE_DIVISOR;
            float step = (linked - g) / divisor;
            float least = g * LIMITER_MIN_STEP;
            if (least > step) step = least;
            for (ULONG j = 0; j < count; ++j) {
                destination[j] = g * source[j];
                g = g + step;
                if (g > linked) g = linked;
            }
        } else if (linked < g) {
            float step = (g - linked) / (float)count;
            float least = g * LIMITER_MIN_STEP;
            if (least > step) step = least;
            for (ULONG j = 0; j < count; ++j) {
                destination[j] = g * source[j];
                g = g - step;
                if (g < linked) g = linked;
            }
            // The ramp is sized to land on the target at the block's end;
            // rounding of the 128 steps may leave it a few ulps above,
            // which would let the held peak pass the threshold.
            g = linked;
        } else {
            std::memcpy(destination, source, count * sizeof(float));
            spScaleF32InPlace(g, destination, (int)count);
        }
        m_fGain[c] = g;
        m_bChanged[c] = 0;
    }
}

VOID CLimiter::ComputeTargetGains(ULONG count) {
    const ULONG n = ChannelCount();
    for (ULONG c = 0; c < n; ++c) {
        float p = GetPeak(m_pInBuf[c] + (1 - m_nHalf) * LIMITER_BLOCK_FRAMES, count);
        m_fPeakHistory[c][m_nHistoryIndex] = p;
        float held = 0.0f;
        for (int k = 0; k < LIMITER_HOLD_BLOCKS; ++k) {
            int slot = (m_nHistoryIndex - k + LIMITER_HISTORY_BLOCKS) % LIMITER_HISTORY_BLOCKS;
            if (m_fPeakHistory[c][slot] > held) held = m_fPeakHistory[c][slot];
        }
        float target = m_fMakeup[c];
        if (m_fMakeup[c] * held > m_fThreshold) target = m_fThreshold / held;
        if (target < 0.0f) target = 0.0f;
        m_fTarget[c] = target;
    }
    m_nHistoryIndex += 1;
    if (m_nHistoryIndex >= LIMITER_HISTORY_BLOCKS) m_nHistoryIndex = 0;
}

float CLimiter::GetPeak(const float* block, ULONG count) {
    float extremes[2] = {0.0f, 0.0f};
    spMaxF32(block, (int)count, &extremes[0]);
    spMinF32(block, (int)count, &extremes[1]);
    spAbsF32InPlace(extremes, 2);
    return extremes[0] > extremes[1] ? extremes[0] : extremes[1];
}

#include "tests/fakes/dsp/fake_limiter.h"

#include <cstring>
#include <mutex>

#include "dsp/limiter.h"
#include "nt/pool.h"

namespace limiterfake {
namespace {

std::mutex g_lock;
std::vector<std::string> g_calls;
bool g_failAllocation = false;
bool g_contractMode = false;

void Record(const std::string& call) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_calls.push_back(call);
}

}  // namespace

std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_calls;
}

void ClearCalls() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_calls.clear();
}

void SetContractMode(bool on) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_contractMode = on;
}

void FailAllocation(bool fail) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_failAllocation = fail;
}

}  // namespace limiterfake

using limiterfake::Record;

CLimiter::CLimiter() {
    m_fThreshold = 1.0f;
    for (int c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; c++) m_fGain[c] = m_fTarget[c] = 1.0f;
}

int CLimiter::AllocateBuffers() {
    Record("AllocateBuffers");
    {
        std::lock_guard<std::mutex> guard(limiterfake::g_lock);
        if (limiterfake::g_failAllocation) return 0;
    }
    if (m_bAllocated) return 1;
    for (int c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; c++) {
        m_pInBuf[c] = (float*)ExAllocatePoolWithTag(NonPagedPoolNx, 1024, LIMITER_BUFFER_TAG);
        m_pOutBuf[c] = (float*)ExAllocatePoolWithTag(NonPagedPoolNx, 1024, LIMITER_BUFFER_TAG);
        if (m_pInBuf[c] == NULL || m_pOutBuf[c] == NULL) return 0;
    }
    m_bAllocated = 1;
    return 1;
}

VOID CLimiter::FreeBuffers() {
    Record("FreeBuffers");
    for (int c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; c++) {
        if (m_pInBuf[c]) ExFreePoolWithTag(m_pInBuf[c], LIMITER_BUFFER_TAG);
        if (m_pOutBuf[c]) ExFreePoolWithTag(m_pOutBuf[c], LIMITER_BUFFER_TAG);
        m_pInBuf[c] = m_pOutBuf[c] = NULL;
    }
    m_bAllocated = 0;
}

VOID CLimiter::SetMode(int mode) {
    m_nMode = mode;
    Record("SetMode:" + std::to_string(mode));
}

VOID CLimiter::SetMakeupGain(float gain) {
    for (int c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; c++) m_fMakeup[c] = m_fGain[c] = gain;
    Record("SetMakeupGain:" + std::to_string((int)gain));
}

VOID CLimiter::SetThreshold(float threshold) {
    m_fThreshold = threshold;
    Record("SetThreshold:" + std::to_string((int)threshold));
}

// Like the real one, a new format starts from a clear signal state.
VOID CLimiter::SetFormat(const WAVEFORMATEXTENSIBLE* format) {
    memcpy(&m_WaveFormat, format, sizeof(m_WaveFormat));
    Record("SetFormat:" + std::to_string(m_WaveFormat.Format.nChannels));
    ResetAll();
}

// Contract mode: m_pInBuf[c] is channel c's delay line of
// LIMITER_CONTRACT_DELAY floats (the 1024-byte buffers), m_nWritePos its
// position, common to the channels.
VOID CLimiter::Process(float** channels, int frames) {
    Record("Process:" + std::to_string(frames));
    bool contract = false;
    {
        std::lock_guard<std::mutex> guard(limiterfake::g_lock);
        contract = limiterfake::g_contractMode;
    }
    const int count = m_WaveFormat.Format.nChannels;
    if (!contract || !m_bAllocated || channels == NULL || count > MAX_SOFTWARE_DSP_PROCESS_CHANNELS) return;
    for (int i = 0; i < frames; i++) {
        for (int c = 0; c < count; c++) {
            const float delayed = m_pInBuf[c][m_nWritePos];
            m_pInBuf[c][m_nWritePos] = channels[c][i];
            channels[c][i] = delayed;
        }
        m_nWritePos = (m_nWritePos + 1) % limiterfake::LIMITER_CONTRACT_DELAY;
    }
}

VOID CLimiter::Reset() {
    Record("Reset");
    ResetAll();
}

VOID CLimiter::ResetAll() {
    if (!m_bAllocated) return;
    for (int c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; c++) {
        m_bChanged[c] = 1;
        memset(m_pInBuf[c], 0, 1024);
        memset(m_pOutBuf[c], 0, 1024);
        memset(m_fPeakHistory[c], 0, sizeof(m_fPeakHistory[c]));
    }
    m_nWritePos = m_nReadPos = m_nHalf = m_nHistoryIndex = 0;
}


VOID CLimiter::ProcessBlock(float**, ULONG) {}
VOID CLimiter::ComputeTargetGains(ULONG) {}
float CLimiter::GetPeak(const float*, ULONG) { return 0.0f; }

#include "tests/fakes/dsp/fake_effect_blocks.h"

#include <mutex>

#include "dsp/surround_virtualizer.h"

namespace virtualizerfake {
namespace {
std::mutex g_lock;
std::vector<std::string> g_calls;
}  // namespace

void Record(const std::string& call) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_calls.push_back(call);
}

std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_calls;
}

void ClearCalls() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_calls.clear();
}

}  // namespace virtualizerfake

VOID CSurroundVirtualizer::Init() {
    virtualizerfake::Record("Init");
    m_nRateIndex = m_nChannelMode = m_nReqRateIndex = m_nReqChannelMode = 0;
    m_fHistory[0] = m_fHistory[1] = 0.0f;
}

VOID CSurroundVirtualizer::SetFormat(int sampleRate, int mode) {
    virtualizerfake::Record("SetFormat:" + std::to_string(sampleRate) + ":" + std::to_string(mode));
    m_nReqRateIndex = sampleRate;
    m_nReqChannelMode = mode;
}

VOID CSurroundVirtualizer::Process(float** in, float** out, int frames) {
    virtualizerfake::Record("Process:" + std::to_string(frames));
    if (m_nReqRateIndex != m_nRateIndex || m_nReqChannelMode != m_nChannelMode) {
        m_nRateIndex = m_nReqRateIndex;
        m_nChannelMode = m_nReqChannelMode;
        m_fHistory[0] = m_fHistory[1] = 0.0f;
    }
    const bool rendered = m_nChannelMode == 5 || m_nChannelMode == 7;
    for (int n = 0; n < frames; ++n) {
        float l = 0.0f, r = 0.0f;
        if (rendered) {
            const float centre = 0.25f * in[2][n];
            l = 0.5f * in[0][n] + centre + 0.375f * in[4][n] + 0.25f * m_fHistory[0];
            r = 0.5f * in[1][n] + centre + 0.375f * in[5][n] + 0.25f * m_fHistory[1];
            if (m_nChannelMode == 7) {
                l += 0.125f * in[6][n];
                r += 0.125f * in[7][n];
            }
            m_fHistory[0] = in[4][n];
            m_fHistory[1] = in[5][n];
        }
        out[0][n] = l;
        out[1][n] = r;
    }
}

VOID CSurroundVirtualizer::Clear() {
    virtualizerfake::Record("Clear");
    m_fHistory[0] = m_fHistory[1] = 0.0f;
}

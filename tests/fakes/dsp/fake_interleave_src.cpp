#include "tests/fakes/dsp/fake_interleave_src.h"

#include <cstring>
#include <mutex>

#include "dsp/interleave_src.h"
#include "nt/pool.h"

namespace formatlayerfake {
namespace {

std::mutex g_lock;
std::vector<std::string> g_calls;
WAVEFORMATEXTENSIBLE g_input = {};
WAVEFORMATEXTENSIBLE g_output = {};
bool g_failInit = false;

}  // namespace

void Record(const char* call) {
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
    g_input = g_output = WAVEFORMATEXTENSIBLE{};
}

WAVEFORMATEXTENSIBLE LastInput() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_input;
}

WAVEFORMATEXTENSIBLE LastOutput() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_output;
}

void FailInit(bool fail) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_failInit = fail;
}

bool InitFails() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_failInit;
}

void KeepPair(const WAVEFORMATEXTENSIBLE* in, const WAVEFORMATEXTENSIBLE* out) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_calls.push_back("SetFormat");
    std::memcpy(&g_input, in, sizeof(g_input));
    std::memcpy(&g_output, out, sizeof(g_output));
}

}  // namespace formatlayerfake

CDspInterleaveSrc::CDspInterleaveSrc() { m_bInit = FALSE; }

BOOLEAN CDspInterleaveSrc::Init() {
    formatlayerfake::Record("Init");
    if (m_bInit || formatlayerfake::InitFails()) return FALSE;
    m_pWorkBuffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, DSP_FORMAT_LAYER_WORK_BYTES, DSP_FORMAT_LAYER_TAG));
    if (m_pWorkBuffer == NULL) return FALSE;
    m_bInit = TRUE;
    return TRUE;
}

BOOLEAN CDspInterleaveSrc::ResetAll() {
    formatlayerfake::Record("ResetAll");
    return TRUE;
}

BOOLEAN CDspInterleaveSrc::SetFormat(const WAVEFORMATEXTENSIBLE* inFormat, const WAVEFORMATEXTENSIBLE* outFormat) {
    if (inFormat == NULL || outFormat == NULL) return FALSE;
    formatlayerfake::KeepPair(inFormat, outFormat);
    std::memcpy(&m_InFormat, inFormat, sizeof(m_InFormat));
    std::memcpy(&m_OutFormat, outFormat, sizeof(m_OutFormat));
    return TRUE;
}

VOID CDspInterleaveSrc::Cleanup() {
    formatlayerfake::Record("Cleanup");
    if (m_pWorkBuffer) ExFreePoolWithTag(m_pWorkBuffer, DSP_FORMAT_LAYER_TAG);
    m_pWorkBuffer = NULL;
    // The stand-in makes no split stage and no converters.
    m_pSplit = m_pSrcX2 = m_pSrcX4 = m_pSrc441 = NULL;
    m_bInit = FALSE;
}

#include "tests/fakes/dsp/fake_zvkheadphone.h"

#include <cstring>
#include <mutex>

#include "common/zvk/zvkheadphone.h"
#include "nt/pool.h"

// The stand-in engine: a 512-frame delay line of the stereo result.
class CHeadphoneApp {
public:
    float line[2][zvkfake::kLatencyFrames];
    int position;
    int tail;
};

namespace zvkfake {
namespace {
constexpr ULONG kEngineTag = MakePoolTag("ZVKP");
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

}  // namespace zvkfake

using zvkfake::Record;

CZvkHeadphone::CZvkHeadphone()
    : m_pApp(NULL),
      m_bSpeakerMode(0),
      m_bEnable(0),
      m_bTailEnable(0),
      m_nSpeakerRoom(1),
      m_nHeadphoneRoom(1),
      m_nSpeakerAngle(40),
      m_nHeadphoneAngle(40),
      m_nCTCAngle(20),
      m_nSpeakerVariant(0),
      m_nHeadphoneVariant(0),
      m_nChannels(8) {
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CHeadphoneApp), zvkfake::kEngineTag);
    if (block != NULL) {
        memset(block, 0, sizeof(CHeadphoneApp));
        m_pApp = static_cast<CHeadphoneApp*>(block);
    }
}

CZvkHeadphone::~CZvkHeadphone() {
    if (m_pApp != NULL) {
        ExFreePoolWithTag(m_pApp, zvkfake::kEngineTag);
        m_pApp = NULL;
    }
}

int CZvkHeadphone::SetFormat(const WAVEFORMATEX* format) {
    Record("SetFormat:" + std::to_string(format->nChannels) + ":" + std::to_string(format->nSamplesPerSec));
    if (m_pApp == NULL) {
        return -1;
    }
    m_nChannels = format->nChannels;
    memset(m_pApp->line, 0, sizeof(m_pApp->line));
    m_pApp->position = 0;
    return 1;
}

void CZvkHeadphone::Process(float** ch, int frames) {
    if (m_bEnable != 0 && m_pApp != NULL) {
        auto at = [&](int c, int n) { return c < m_nChannels ? ch[c][n] : 0.0f; };
        for (int n = 0; n < frames; ++n) {
            const float left = 0.5f * at(0, n) + 0.25f * at(2, n) + 0.125f * (at(4, n) + at(6, n));
            const float right = 0.5f * at(1, n) + 0.25f * at(2, n) + 0.125f * (at(5, n) + at(7, n));
            int& p = m_pApp->position;
            ch[0][n] = m_pApp->line[0][p];
            if (m_nChannels > 1) ch[1][n] = m_pApp->line[1][p];
            m_pApp->line[0][p] = left;
            m_pApp->line[1][p] = right;
            p = (p + 1) % zvkfake::kLatencyFrames;
        }
        return;
    }
    if (m_nChannels < 3) {
        return;
    }
    for (int n = 0; n < frames; ++n) {
        const float c = 0.707f * ch[2][n];
        const float left = (c + ch[0][n] + ch[3][n] + ch[4][n]) * 0.5f;
        const float right = (c + ch[1][n] + ch[3][n] + ch[5][n]) * 0.5f;
        ch[0][n] = left;
        ch[1][n] = right;
    }
    if (m_nChannels == 8) {
        for (int n = 0; n < frames; ++n) {
            ch[0][n] += 0.5f * ch[6][n];
            ch[1][n] += 0.5f * ch[7][n];
        }
    }
}

namespace {
// A room, angle or variant reaching the engine turns its tail on.
void ApplySet(CHeadphoneApp* app) {
    if (app != NULL) app->tail = 1;
}
}  // namespace

void CZvkHeadphone::SetEnable(int v) {
    Record("SetEnable:" + std::to_string(v));
    m_bEnable = v;
}
void CZvkHeadphone::SetSpeakerMode(int v) {
    Record("SetSpeakerMode:" + std::to_string(v));
    m_bSpeakerMode = v;
}
void CZvkHeadphone::SetTailEnable(int v) {
    Record("SetTailEnable:" + std::to_string(v));
    m_bTailEnable = v;
    if (m_pApp != NULL) m_pApp->tail = v;
}
void CZvkHeadphone::SetHeadphoneRoom(int v) {
    Record("SetHeadphoneRoom:" + std::to_string(v));
    m_nHeadphoneRoom = v;
    if (m_bSpeakerMode == 0) ApplySet(m_pApp);
}
void CZvkHeadphone::SetHeadphoneAngle(int v) {
    Record("SetHeadphoneAngle:" + std::to_string(v));
    m_nHeadphoneAngle = v;
    if (m_bSpeakerMode == 0) ApplySet(m_pApp);
}
void CZvkHeadphone::SetHeadphoneVariant(int v) {
    Record("SetHeadphoneVariant:" + std::to_string(v));
    m_nHeadphoneVariant = v;
    if (m_bSpeakerMode == 0) ApplySet(m_pApp);
}
void CZvkHeadphone::SetSpeakerRoom(int v) {
    Record("SetSpeakerRoom:" + std::to_string(v));
    m_nSpeakerRoom = v;
    if (m_bSpeakerMode != 0) ApplySet(m_pApp);
}
void CZvkHeadphone::SetSpeakerAngle(int v) {
    Record("SetSpeakerAngle:" + std::to_string(v));
    m_nSpeakerAngle = v;
    if (m_bSpeakerMode != 0) ApplySet(m_pApp);
}
void CZvkHeadphone::SetSpeakerVariant(int v) {
    Record("SetSpeakerVariant:" + std::to_string(v));
    m_nSpeakerVariant = v;
    if (m_bSpeakerMode != 0) ApplySet(m_pApp);
}
void CZvkHeadphone::SetCTCAngle(int v) {
    Record("SetCTCAngle:" + std::to_string(v));
    static const int kDegrees[] = {5, 10, 15, 20, 30};
    m_nCTCAngle = v >= 0 && v <= 4 ? kDegrees[v] : v;
}

int CZvkHeadphone::GetSpeakerMode() { return m_bSpeakerMode; }
int CZvkHeadphone::GetTailEnable() { return m_bTailEnable; }
int CZvkHeadphone::GetHeadphoneRoom() { return m_nHeadphoneRoom; }
int CZvkHeadphone::GetHeadphoneVariant() { return m_nHeadphoneVariant; }
int CZvkHeadphone::GetSpeakerRoom() { return m_nSpeakerRoom; }
int CZvkHeadphone::GetSpeakerVariant() { return m_nSpeakerVariant; }

int CZvkHeadphone::MapAngleCode(int variant, int angle) {
    switch (angle) {
    case 0: case 25: return variant != 0 ? 25 : 24;
    case 1: case 30: return variant != 0 ? 30 : 29;
    case 2: case 35: return variant != 0 ? 35 : 34;
    case 3: case 40: return variant != 0 ? 40 : 39;
    case 31: return 31;
    default: return -1;
    }
}

zvkfake::Fields zvkfake::Read(const CZvkHeadphone* w) {
    // The stand-in reads its own fields through a copy of the object's
    // layout: a vtable pointer, the engine pointer, then eleven ints.
    struct Layout {
        void* vtable;
        CHeadphoneApp* app;
        int f[11];
    } image;
    static_assert(sizeof(Layout) <= sizeof(CZvkHeadphone), "layout");
    memcpy(&image, static_cast<const void*>(w), sizeof(image));
    return {image.app != NULL, image.f[0], image.f[1], image.f[2], image.f[3], image.f[4], image.f[5],
            image.f[6],        image.f[7], image.f[8], image.f[9], image.f[10],
            image.app != NULL ? image.app->tail : 0};
}

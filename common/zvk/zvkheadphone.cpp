#include "common/zvk/zvkheadphone.h"

#include "common/zvk/audioapp.h"
#include "common/zvk/src.h"
#include "common/zvk/zvk_pool.h"
#include "primitives/convert/entry_table_a.h"
#include "primitives/vector/entry_table_b.h"

namespace {

// Crosstalk angle types 0..4; any other value is stored as given.
constexpr int kCtcAngleOfType[] = {5, 10, 15, 20, 30};

// Centre weight of the fold (float bits 0x3F34FDF4).
constexpr float kCentreWeight = 0.707f;

bool IsServedChannelCount(int channels) { return channels == 2 || channels == 6 || channels == 8; }

// Rates whose conversion factor has an anti-alias set and whose block fits
// the converters: factor 1 or 2 either way, 14701 to 132299 Hz.
bool IsServedRate(int rate) {
    SrcRatio ratio = ComputeSrcRatio(rate, kAudioAppProcRate);
    return rate > 0 && ratio.factor <= 2;
}

}  // namespace

CZvkHeadphone::CZvkHeadphone()
    : m_pApp(nullptr),
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
    m_pApp = new (NonPagedPoolNx, kZvkPoolTag) CHeadphoneApp();
}

CZvkHeadphone::~CZvkHeadphone() {
    delete m_pApp;
    m_pApp = nullptr;
}

int CZvkHeadphone::MapAngleCode(int variant, int angle) {
    static const struct {
        int index;
        int code;
        int first;
        int second;
    } kRows[] = {{0, 25, 24, 25}, {1, 30, 29, 30}, {2, 35, 34, 35}, {3, 40, 39, 40}};
    for (const auto& row : kRows) {
        if (angle == row.index || angle == row.code) return variant ? row.second : row.first;
    }
    return angle == 31 ? 31 : -1;
}

void CZvkHeadphone::ApplyHeadphoneSet() {
    if (m_pApp)
        m_pApp->Fir().SetRoomAndAngle(m_nHeadphoneRoom, MapAngleCode(m_nHeadphoneVariant, m_nHeadphoneAngle));
}

void CZvkHeadphone::ApplySpeakerSet() {
    if (m_pApp)
        m_pApp->Fir().SetRoomAndAngle(m_nSpeakerRoom, MapAngleCode(m_nSpeakerVariant, m_nSpeakerAngle));
}

void CZvkHeadphone::SetEnable(int value) { m_bEnable = value; }

void CZvkHeadphone::SetSpeakerMode(int value) {
    m_bSpeakerMode = value;
    if (m_pApp) m_pApp->Fir().SetCTCAngle(value ? m_nCTCAngle : 0);
}

void CZvkHeadphone::SetTailEnable(int value) {
    m_bTailEnable = value;
    if (m_pApp) m_pApp->Fir().SetTailEnable(value);
}

void CZvkHeadphone::SetHeadphoneRoom(int value) {
    m_nHeadphoneRoom = value;
    if (!m_bSpeakerMode) ApplyHeadphoneSet();
}

void CZvkHeadphone::SetHeadphoneAngle(int value) {
    m_nHeadphoneAngle = value;
    if (!m_bSpeakerMode) ApplyHeadphoneSet();
}

void CZvkHeadphone::SetHeadphoneVariant(int value) {
    m_nHeadphoneVariant = value;
    if (!m_bSpeakerMode) ApplyHeadphoneSet();
}

void CZvkHeadphone::SetSpeakerRoom(int value) {
    m_nSpeakerRoom = value;
    if (m_bSpeakerMode) ApplySpeakerSet();
}

void CZvkHeadphone::SetSpeakerAngle(int value) {
    m_nSpeakerAngle = value;
    if (m_bSpeakerMode) ApplySpeakerSet();
}

void CZvkHeadphone::SetSpeakerVariant(int value) {
    m_nSpeakerVariant = value;
    if (m_bSpeakerMode) ApplySpeakerSet();
}

void CZvkHeadphone::SetCTCAngle(int value) {
    constexpr int kTypes = static_cast<int>(sizeof(kCtcAngleOfType) / sizeof(kCtcAngleOfType[0]));
    m_nCTCAngle = (value >= 0 && value < kTypes) ? kCtcAngleOfType[value] : value;
    if (m_pApp) m_pApp->Fir().SetCTCAngle(m_bSpeakerMode ? m_nCTCAngle : 0);
}

int CZvkHeadphone::SetFormat(const WAVEFORMATEX* format) {
    if (!m_pApp) return -1;
    m_nChannels = format->nChannels;
    const int rate = static_cast<int>(format->nSamplesPerSec);
    if (!IsServedChannelCount(m_nChannels) || !IsServedRate(rate)) {
        // Not served: no buffers, so Process bypasses until a served format.
        m_pApp->FreeBuffers();
        return 0;
    }
    return m_pApp->Init(rate, kAudioAppSlots, m_nChannels);
}

// The engine runs only configured by the last SetFormat: before it the
// engine holds 6 input slots while m_nChannels is 8.
bool CZvkHeadphone::EngineRuns() {
    return m_bEnable && m_pApp && m_pApp->IsReady() && IsServedChannelCount(m_nChannels) &&
           m_pApp->InChannels() == kAudioAppSlots;
}

void CZvkHeadphone::Process(float** channels, int frames) {
    if (EngineRuns())
        m_pApp->Process(channels, 2, channels, m_nChannels, frames);
    else
        DownmixBypass(channels, 2, channels, m_nChannels, frames, 2.0f);
}

void CopyChannels(float** dst, int nDst, float** src, int nSrc, int frames) {
    if (frames <= 0) return;
    for (int i = 0; i < nDst; ++i) {
        if (i < nSrc) {
            if (dst[i] != src[i]) spCopyF32(src[i], dst[i], frames);
        } else {
            spZeroF32(dst[i], frames);
        }
    }
}

void DownmixBypass(float** out, int nOut, float** in, int nIn, int frames, float gainDivisor) {
    if (frames <= 0) return;
    if (nIn == 1) {
        if (out[0] != in[0]) spCopyF32(in[0], out[0], frames);
    } else if (nIn == 2) {
        CopyChannels(out, 2, in, 2, frames);
    } else if (nIn >= 3 && nOut == 2) {
        DownmixSurroundToStereo(out, in, nIn, frames, gainDivisor);
    } else if (nIn >= 3) {
        CopyChannels(out, nOut, in, nIn, frames);
    }
}

void DownmixSurroundToStereo(float** out, float** in, int nIn, int frames, float gainDivisor) {
    const float k = 1.0f / gainDivisor;
    // Channels the stream does not carry count as silent (their buffers may
    // hold stale audio).
    auto at = [in, nIn](int ch, int n) { return ch < nIn ? in[ch][n] : 0.0f; };
    for (int n = 0; n < frames; ++n) {
        const float c = kCentreWeight * at(2, n);
        const float l = at(0, n), r = at(1, n), lfe = at(3, n), sl = at(4, n), sr = at(5, n);
        out[0][n] = (c + l + lfe + sl) * k;
        out[1][n] = (c + r + lfe + sr) * k;
    }
    if (nIn == 8) {
        for (int n = 0; n < frames; ++n) {
            out[0][n] += k * in[6][n];
            out[1][n] += k * in[7][n];
        }
    }
}

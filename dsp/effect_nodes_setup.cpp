// Effect nodes: creation, values, formats and destruction.
#include <cstring>

#include "adapter/settings.h"
#include "common/zvk/zvkheadphone.h"
#include "dsp/effect_nodes.h"
#include "dsp/limiter.h"
#include "dsp/surround_virtualizer.h"
#include "nt/pool.h"
#include "portcls/portcls_guids.h"
#include "topology/node_settings.h"

namespace {

constexpr ULONG kSetBufferBytes = EFFECT_SET_FRAMES * sizeof(float);

// The 8-pointer array (zeroed) if missing, then each missing buffer; false
// at the first allocation failure (what was made stays for FreeSet).
bool AllocateSet(float*** set) {
    if (*set == NULL) {
        *set = static_cast<float**>(
            ExAllocatePoolWithTag(NonPagedPoolNx, EFFECT_SET_CHANNELS * sizeof(float*), EFFECT_SET_TAG));
        if (*set == NULL) {
            return false;
        }
        memset(*set, 0, EFFECT_SET_CHANNELS * sizeof(float*));
    }
    for (ULONG c = 0; c < EFFECT_SET_CHANNELS; ++c) {
        if ((*set)[c] == NULL) {
            (*set)[c] = static_cast<float*>(ExAllocatePoolWithTag(NonPagedPoolNx, kSetBufferBytes, EFFECT_SET_TAG));
            if ((*set)[c] == NULL) {
                return false;
            }
        }
    }
    return true;
}

void FreeSet(float*** set) {
    if (*set == NULL) {
        return;
    }
    for (ULONG c = 0; c < EFFECT_SET_CHANNELS; ++c) {
        if ((*set)[c] != NULL) {
            ExFreePoolWithTag((*set)[c], EFFECT_SET_TAG);
        }
    }
    ExFreePoolWithTag(*set, EFFECT_SET_TAG);
    *set = NULL;
}

// A limiter in mode 0 with threshold 1.0 and the makeup gain; NULL when the
// object or its buffers cannot be allocated (nothing is kept then).
CLimiter* MakeLimiter(float makeupGain) {
    CLimiter* limiter = new (NonPagedPoolNx, EFFECT_ENGINE_TAG) CLimiter();
    if (limiter == NULL) {
        return NULL;
    }
    if (limiter->AllocateBuffers() == 0) {
        limiter->FreeBuffers();
        delete limiter;
        return NULL;
    }
    limiter->SetMode(0);
    limiter->SetMakeupGain(makeupGain);
    limiter->SetThreshold(1.0f);
    return limiter;
}

void ResetLimiters(CLimiter* wet, CLimiter* dry) {
    if (wet != NULL) {
        wet->ResetAll();
    }
    if (dry != NULL) {
        dry->ResetAll();
    }
}

void FreeLimiter(CLimiter** limiter) {
    if (*limiter != NULL) {
        (*limiter)->FreeBuffers();
        delete *limiter;
        *limiter = NULL;
    }
}

}  // namespace

// ---- CSurroundEffect ----

CSurroundEffect::CSurroundEffect(PUNKNOWN outer, ULONG id)
    : CVendorSwitchNode(outer, id),
      m_pVirtualizer(NULL),
      m_ppDryChannels(NULL),
      m_ppWetChannels(NULL),
      m_pWetLimiter(NULL),
      m_pDryLimiter(NULL),
      m_bEffectFollows(FALSE) {}

CSurroundEffect::~CSurroundEffect() {
    FreeSet(&m_ppDryChannels);
    FreeSet(&m_ppWetChannels);
    FreeLimiter(&m_pWetLimiter);
    FreeLimiter(&m_pDryLimiter);
    delete m_pVirtualizer;
}

NTSTATUS CSurroundEffect::Init(IUnknown* entity, ULONG controlSelector, PDEVICE_OBJECT settingsDevice) {
    m_NameGuid = EFFECT_GUID_SURROUND;
    const NTSTATUS status = CVendorSwitchNode::Init(entity, controlSelector, settingsDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!AllocateSet(&m_ppDryChannels) || !AllocateSet(&m_ppWetChannels)) {
        return status;
    }
    m_pVirtualizer = new (NonPagedPoolNx, EFFECT_SET_TAG) CSurroundVirtualizer();
    if (m_pVirtualizer == NULL) {
        return status;
    }
    m_pVirtualizer->Init();
    m_pWetLimiter = MakeLimiter(LIMITER_MAKEUP_SURROUND);
    if (m_pWetLimiter != NULL) {
        m_pDryLimiter = MakeLimiter(LIMITER_MAKEUP_UNITY);
    }
    return status;
}

BOOLEAN CSurroundEffect::Processes() const {
    return m_pVirtualizer != NULL && m_ppDryChannels != NULL && m_ppWetChannels != NULL && m_pWetLimiter != NULL &&
           m_pDryLimiter != NULL;
}

NTSTATUS CSurroundEffect::SetFormat(const WAVEFORMATEXTENSIBLE* format) {
    if (format == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    memcpy(&m_StreamFormat, format, sizeof(m_StreamFormat));
    if (m_pVirtualizer != NULL) {
        m_pVirtualizer->SetFormat((int)m_StreamFormat.Format.nSamplesPerSec,
                                  (int)m_StreamFormat.Format.nChannels - 1);
    }
    if (m_pWetLimiter != NULL) {
        m_pWetLimiter->SetFormat(&m_StreamFormat);
    }
    if (m_pDryLimiter != NULL) {
        m_pDryLimiter->SetFormat(&m_StreamFormat);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CSurroundEffect::Reset() {
    ResetLimiters(m_pWetLimiter, m_pDryLimiter);
    return STATUS_SUCCESS;
}

// ---- CHeadphoneEffect ----

CHeadphoneEffect::CHeadphoneEffect(PUNKNOWN outer, ULONG id)
    : CVendorSwitchNode(outer, id),
      m_pHeadphone(NULL),
      m_ppDryChannels(NULL),
      m_HeadphoneFormat(),
      m_Values(),
      m_pWetLimiter(NULL),
      m_pDryLimiter(NULL),
      m_LimiterFormat(),
      m_ppWetChannels(NULL),
      m_bEffectFollows(FALSE) {}

CHeadphoneEffect::~CHeadphoneEffect() {
    FreeSet(&m_ppDryChannels);
    FreeSet(&m_ppWetChannels);
    FreeLimiter(&m_pWetLimiter);
    FreeLimiter(&m_pDryLimiter);
    delete m_pHeadphone;
}

NTSTATUS CHeadphoneEffect::AccessStoredValue(ULONG op, ULONG index, ULONG* value) {
    WCHAR base[NODE_VALUE_NAME_CCH];
    FormatUnitValueName(base, m_Id);
    return SettingsBinaryValueIndexed(m_DeviceObject, op, value, sizeof(*value), base, (LONG)index);
}

NTSTATUS CHeadphoneEffect::Init(IUnknown* entity, ULONG controlSelector, PDEVICE_OBJECT settingsDevice) {
    m_ValueCount = HEADPHONE_VALUE_COUNT;
    m_NameGuid = EFFECT_GUID_HEADPHONE;
    const NTSTATUS status = CVendorSwitchNode::Init(entity, controlSelector, settingsDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!AllocateSet(&m_ppDryChannels) || !AllocateSet(&m_ppWetChannels)) {
        return status;
    }
    m_pWetLimiter = MakeLimiter(LIMITER_MAKEUP_HEADPHONE);
    if (m_pWetLimiter == NULL) {
        return status;
    }
    m_pDryLimiter = MakeLimiter(LIMITER_MAKEUP_UNITY);
    if (m_pDryLimiter == NULL) {
        return status;
    }
    m_pHeadphone = new (NonPagedPoolNx, EFFECT_ENGINE_TAG) CZvkHeadphone();
    if (m_pHeadphone == NULL) {
        return status;
    }
    m_HeadphoneFormat = {WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 176400, 4, 16, 0};
    m_pHeadphone->SetFormat(&m_HeadphoneFormat);
    m_pHeadphone->SetEnable(1);
    m_pHeadphone->SetSpeakerMode(0);
    m_pHeadphone->SetHeadphoneAngle(3);
    m_pHeadphone->SetSpeakerAngle(3);
    m_pHeadphone->SetCTCAngle(0);
    // The wrapper's defaults, the stored values over them, then the room
    // and last the mode, as SetValues applies them: a room change turns the
    // engine's tail on, and the mode then sets it.
    m_Values[HEADPHONE_VALUE_ROOM] = (ULONG)m_pHeadphone->GetHeadphoneRoom();
    m_Values[HEADPHONE_VALUE_MODE] = (ULONG)m_pHeadphone->GetHeadphoneVariant();
    for (ULONG index = 0; index < HEADPHONE_VALUE_COUNT; ++index) {
        AccessStoredValue(SETTINGS_OP_READ, index, &m_Values[index]);
    }
    ApplyRoom(m_Values[HEADPHONE_VALUE_ROOM]);
    ApplyMode(m_Values[HEADPHONE_VALUE_MODE]);
    return status;
}

VOID CHeadphoneEffect::ApplyRoom(ULONG room) {
    if (m_pHeadphone == NULL) {
        return;
    }
    CInStackLockHold hold(&m_SpinLock);
    const bool speaker = m_pHeadphone->GetSpeakerMode() != 0;
    if ((ULONG)(speaker ? m_pHeadphone->GetSpeakerRoom() : m_pHeadphone->GetHeadphoneRoom()) == room) {
        return;
    }
    if (speaker) {
        m_pHeadphone->SetSpeakerRoom((int)room);
    } else {
        m_pHeadphone->SetHeadphoneRoom((int)room);
    }
    // A new room turns the engine's tail on; the mode decides it again.
    m_pHeadphone->SetTailEnable(m_Values[HEADPHONE_VALUE_MODE] != HEADPHONE_MODE_NO_TAIL ? 1 : 0);
}

VOID CHeadphoneEffect::ApplyMode(ULONG mode) {
    if (mode > HEADPHONE_MODE_NO_TAIL) {
        return;
    }
    const int variant = mode == HEADPHONE_MODE_NO_TAIL ? 0 : (int)mode;
    if (m_pHeadphone != NULL) {
        CInStackLockHold hold(&m_SpinLock);
        if (m_pHeadphone->GetSpeakerVariant() != variant) {
            m_pHeadphone->SetSpeakerVariant(variant);
        }
        if (m_pHeadphone->GetHeadphoneVariant() != variant) {
            m_pHeadphone->SetHeadphoneVariant(variant);
        }
        m_pHeadphone->SetTailEnable(mode != HEADPHONE_MODE_NO_TAIL ? 1 : 0);
    }
    m_Values[HEADPHONE_VALUE_MODE] = mode;
}

NTSTATUS CHeadphoneEffect::GetValues(ULONG first, ULONG count, ULONG* values) {
    if (first > HEADPHONE_VALUE_COUNT || count > HEADPHONE_VALUE_COUNT - first || (count != 0 && values == NULL)) {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG k = 0; k < count; ++k) {
        values[k] = m_Values[first + k];
    }
    return STATUS_SUCCESS;
}

NTSTATUS CHeadphoneEffect::SetValues(ULONG first, ULONG count, const ULONG* values) {
    if (values == NULL || count == 0 || first > HEADPHONE_VALUE_COUNT || count > HEADPHONE_VALUE_COUNT - first) {
        return STATUS_INVALID_PARAMETER;
    }
    bool accepted = false;
    bool applied[HEADPHONE_VALUE_COUNT] = {};
    for (ULONG k = 0; k < count; ++k) {
        const ULONG index = first + k;
        const ULONG value = values[k];
        if (index == HEADPHONE_VALUE_ROOM) {
            if (value != m_Values[HEADPHONE_VALUE_ROOM] && value <= HEADPHONE_ROOM_MAX) {
                ApplyRoom(value);
            }
            applied[index] = value == m_Values[HEADPHONE_VALUE_ROOM] || value <= HEADPHONE_ROOM_MAX;
            accepted = accepted || applied[index];
        } else {
            // Every mode is accepted; one above 2 changes nothing.
            if (value != m_Values[HEADPHONE_VALUE_MODE]) {
                ApplyMode(value);
            }
            applied[index] = value <= HEADPHONE_MODE_NO_TAIL;
            accepted = true;
        }
    }
    if (!accepted) {
        return STATUS_INVALID_PARAMETER;
    }
    // Only what was applied is kept and stored; registry failures are not
    // the caller's.
    for (ULONG k = 0; k < count; ++k) {
        const ULONG index = first + k;
        if (applied[index]) {
            m_Values[index] = values[k];
            ULONG stored = values[k];
            AccessStoredValue(SETTINGS_OP_WRITE, index, &stored);
        }
    }
    return STATUS_SUCCESS;
}

BOOLEAN CHeadphoneEffect::Processes() const {
    return m_pHeadphone != NULL && m_ppDryChannels != NULL && m_ppWetChannels != NULL && m_pWetLimiter != NULL &&
           m_pDryLimiter != NULL;
}

NTSTATUS CHeadphoneEffect::SetFormat(const WAVEFORMATEXTENSIBLE* format) {
    if (format == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    memcpy(&m_StreamFormat, format, sizeof(m_StreamFormat));
    memcpy(&m_LimiterFormat, format, sizeof(m_LimiterFormat));
    WAVEFORMATEX& limiter = m_LimiterFormat.Format;
    const bool extensible = limiter.wFormatTag == WAVE_FORMAT_EXTENSIBLE;
    const bool isFloat = extensible ? (m_LimiterFormat.SubFormat.Data1 & 0xFFFF) == WAVE_FORMAT_IEEE_FLOAT
                                    : limiter.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
    if (!isFloat) {
        if (!extensible) {
            limiter.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
        }
        limiter.nBlockAlign = (WORD)(limiter.nChannels * sizeof(float));
        limiter.wBitsPerSample = 32;
        limiter.nAvgBytesPerSec = limiter.nSamplesPerSec * limiter.nBlockAlign;
        if (extensible) {
            m_LimiterFormat.Samples.wValidBitsPerSample = 32;
            m_LimiterFormat.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
        }
    }
    if (m_pHeadphone != NULL) {
        const WAVEFORMATEX& stream = m_StreamFormat.Format;
        m_HeadphoneFormat.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
        m_HeadphoneFormat.nChannels = stream.nChannels;
        m_HeadphoneFormat.nSamplesPerSec = stream.nSamplesPerSec;
        m_HeadphoneFormat.wBitsPerSample = stream.wBitsPerSample;
        m_HeadphoneFormat.nBlockAlign = (WORD)(stream.wBitsPerSample * stream.nChannels / 8);
        m_HeadphoneFormat.nAvgBytesPerSec = stream.nSamplesPerSec * m_HeadphoneFormat.nBlockAlign;
        m_HeadphoneFormat.cbSize = 0;
        m_pHeadphone->SetFormat(&m_HeadphoneFormat);
    }
    if (m_pWetLimiter != NULL) {
        m_pWetLimiter->SetFormat(&m_LimiterFormat);
    }
    if (m_pDryLimiter != NULL) {
        m_pDryLimiter->SetFormat(&m_LimiterFormat);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CHeadphoneEffect::Reset() {
    ResetLimiters(m_pWetLimiter, m_pDryLimiter);
    return STATUS_SUCCESS;
}

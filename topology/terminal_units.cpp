// Terminal, mixer and terminal-type units.
#include "topology/terminal_units.h"

#include <cstring>

#include "nt/pool.h"

namespace {
constexpr ULONG kTerminalTag = MakePoolTag("TerT");

// Paged copy of count elements of T ("TerT"); NULL for count 0 or no pool.
template <class T>
T* CopyArray(const T* source, ULONG count) {
    if (count == 0) {
        return NULL;
    }
    SIZE_T bytes = (SIZE_T)count * sizeof(T);
    T* copy = static_cast<T*>(ExAllocatePoolWithTag(PagedPool, bytes, kTerminalTag));
    if (copy != NULL) {
        memcpy(copy, source, bytes);
    }
    return copy;
}

void FreeArray(PVOID p) {
    if (p != NULL) {
        ExFreePoolWithTag(p, kTerminalTag);
    }
}

BOOLEAN ListHasType(const ULONG* types, ULONG count, ULONG type) {
    for (ULONG i = 0; i < count; ++i) {
        if (types[i] == type) {
            return TRUE;
        }
    }
    return FALSE;
}

class JackGuard {
public:
    explicit JackGuard(PKMUTEX mutex) : m_Mutex(mutex) {
        KeWaitForSingleObject(m_Mutex, Executive, KernelMode, FALSE, NULL);
    }
    ~JackGuard() { KeReleaseMutex(m_Mutex, FALSE); }

private:
    PKMUTEX m_Mutex;
};

// The one jack record of a mixer acting as the "StereoMix" input pin.
const JACK_INFO kStereoMixJack = {3, 0, 7, 14, 1, 1, 0, 1, 0};
const ULONG kStereoMixType = ENDPOINT_STEREOMIX;
}  // namespace

// ---- CTerminalUnit ----

CTerminalUnit::CTerminalUnit(PUNKNOWN outer, ULONG id, ULONG kind)
    : CUacUnitBase(outer, id, kind),
      m_TypeCount(0),
      m_Types(NULL),
      m_CurrentType(0),
      m_JackCount(0),
      m_Capabilities(),
      m_Jacks(NULL) {
    KeInitializeMutex(&m_JackLock, 0);
}

CTerminalUnit::~CTerminalUnit() {
    FreeArray(m_Types);
    FreeArray(m_Jacks);
}

NTSTATUS CTerminalUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    NTSTATUS status = CUacUnitBase::NonDelegatingQueryInterface(iid, out);
    if (NT_SUCCESS(status) || out == NULL) {
        return status;
    }
    if (IsEqualGUID(iid, IID_ITerminal)) {
        return ReturnInterface(static_cast<ITerminal*>(this), out);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CTerminalUnit::GetType(ULONG* type) {
    if (type == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    JackGuard guard(&m_JackLock);
    *type = m_CurrentType;
    return STATUS_SUCCESS;
}

VOID CTerminalUnit::SetCurrentType(ULONG type) {
    JackGuard guard(&m_JackLock);
    m_CurrentType = type;
}

NTSTATUS CTerminalUnit::GetTypeCount(ULONG* count) {
    if (count == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *count = m_TypeCount;
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalUnit::GetTypes(ULONG* types) {
    if (types == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_TypeCount != 0) {
        memcpy(types, m_Types, m_TypeCount * sizeof(ULONG));
    }
    return STATUS_SUCCESS;
}

// Only the selection changes here; bound nodes also switch the device.
NTSTATUS CTerminalUnit::SelectType(ULONG type) {
    if (m_TypeCount == 0 || !ListHasType(m_Types, m_TypeCount, type)) {
        return STATUS_INVALID_PARAMETER;
    }
    SetCurrentType(type);
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalUnit::GetJackCount(ULONG* count, ULONG typeIndex) {
    UNREFERENCED_PARAMETER(typeIndex);
    if (count == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    JackGuard guard(&m_JackLock);
    *count = m_JackCount;
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalUnit::GetJackInfo(ULONG bufferSize, JACK_INFO* records, ULONG typeIndex) {
    UNREFERENCED_PARAMETER(typeIndex);
    if (records == NULL || bufferSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    JackGuard guard(&m_JackLock);
    if (m_Jacks == NULL || m_JackCount == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    SIZE_T available = (SIZE_T)m_JackCount * sizeof(JACK_INFO);
    memcpy(records, m_Jacks, bufferSize < available ? bufferSize : available);
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalUnit::GetCapabilities(ENDPOINT_CAPS* caps) {
    if (caps == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *caps = m_Capabilities;
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalUnit::InitTerminal(ULONG sourceCount, ULONG sourceId, ULONG typeCount,
                                     const ULONG* types, ULONG jackCount, const JACK_INFO* jacks) {
    if (typeCount < 1 || typeCount > TERMINAL_MAX_TYPES || types == NULL ||
        (jackCount != 0 && jacks == NULL)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG* typeCopy = CopyArray(types, typeCount);
    JACK_INFO* jackCopy = CopyArray(jacks, jackCount);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (typeCopy != NULL && (jackCount == 0 || jackCopy != NULL)) {
        status = SetSourceIds(sourceCount, sourceCount ? &sourceId : NULL);
    }
    if (!NT_SUCCESS(status)) {
        FreeArray(typeCopy);
        FreeArray(jackCopy);
        return status;
    }
    FreeArray(m_Types);
    m_Types = typeCopy;
    m_TypeCount = typeCount;
    JackGuard guard(&m_JackLock);
    m_CurrentType = types[0];
    FreeArray(m_Jacks);
    m_Jacks = jackCopy;
    m_JackCount = jackCount;
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalUnit::ReplaceJacks(ULONG jackCount, const JACK_INFO* jacks) {
    if (jackCount != 0 && jacks == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    JACK_INFO* copy = CopyArray(jacks, jackCount);
    if (jackCount != 0 && copy == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    JACK_INFO* old;
    {
        JackGuard guard(&m_JackLock);
        old = m_Jacks;
        m_Jacks = copy;
        m_JackCount = jackCount;
    }
    FreeArray(old);
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalUnit::ReplaceTypes(ULONG typeCount, const ULONG* types) {
    ULONG* copy = CopyArray(types, typeCount);
    if (typeCount != 0 && copy == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    FreeArray(m_Types);
    m_Types = copy;
    m_TypeCount = typeCount;
    SetCurrentType(typeCount ? types[0] : 0);
    return STATUS_SUCCESS;
}

NTSTATUS CInputPinUnit::Init(ULONG typeCount, const ULONG* types, ULONG jackCount,
                             const JACK_INFO* jacks) {
    return InitTerminal(0, 0, typeCount, types, jackCount, jacks);
}

NTSTATUS COutputPinUnit::Init(ULONG sourceId, ULONG typeCount, const ULONG* types,
                              ULONG jackCount, const JACK_INFO* jacks) {
    return InitTerminal(1, sourceId, typeCount, types, jackCount, jacks);
}

// ---- CSumUnit ----

CSumUnit::CSumUnit(PUNKNOWN outer, ULONG id)
    : CTerminalUnit(outer, id, UNIT_KIND_SUM), m_StereoMix(FALSE), m_SavedSourceCount(0) {}

NTSTATUS CSumUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    NTSTATUS status = CUacUnitBase::NonDelegatingQueryInterface(iid, out);
    if (NT_SUCCESS(status) || out == NULL) {
        return status;
    }
    if (IsEqualGUID(iid, IID_ISumUnit)) {
        return ReturnInterface(static_cast<ISumUnit*>(this), out);
    }
    if (m_StereoMix && IsEqualGUID(iid, IID_ITerminal)) {
        return ReturnInterface(static_cast<ITerminal*>(this), out);
    }
    return STATUS_INVALID_PARAMETER;
}

// The type list and jack record are made once; later calls (the sources are
// set more than once during start-up) only replace the sources. Always
// succeeds: without memory the unit keeps no types, jacks or sources.
NTSTATUS CSumUnit::SetSourceIds(ULONG count, const ULONG* ids) {
    if (m_Types == NULL) {
        if (!NT_SUCCESS(ReplaceTypes(1, &kStereoMixType))) {
            return STATUS_SUCCESS;
        }
    }
    if (m_Jacks == NULL) {
        if (!NT_SUCCESS(ReplaceJacks(1, &kStereoMixJack))) {
            ReplaceTypes(0, NULL);
            return STATUS_SUCCESS;
        }
    }
    if (NT_SUCCESS(CUacUnitBase::SetSourceIds(count, ids))) {
        m_SavedSourceCount = count;
        if (m_StereoMix) {
            SetReportedSourceCount(0);
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS CSumUnit::SetStereoMix(BOOLEAN enable) {
    if (enable) {
        SetKind(UNIT_KIND_INPUT_PIN);
        SetReportedSourceCount(0);
        m_StereoMix = TRUE;
    } else {
        SetKind(UNIT_KIND_SUM);
        SetReportedSourceCount(m_SavedSourceCount);
        m_StereoMix = FALSE;
    }
    return STATUS_SUCCESS;
}

// ---- CTerminalTypeUnit ----

CTerminalTypeUnit::CTerminalTypeUnit(PUNKNOWN outer, ULONG id)
    : CUacUnitBase(outer, id, UNIT_KIND_TERMINAL_TYPE),
      m_TypeCount(0),
      m_Types(NULL),
      m_CurrentType(0),
      m_Changed(0),
      m_Listeners(NULL) {}

CTerminalTypeUnit::~CTerminalTypeUnit() {
    if (m_Listeners) {
        PVOID data = NULL;
        while (m_Listeners->RemoveHead(&data)) {
            static_cast<IUnitProfile*>(data)->Release();
        }
        delete m_Listeners;
    }
    FreeArray(m_Types);
}

NTSTATUS CTerminalTypeUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    NTSTATUS status = CUacUnitBase::NonDelegatingQueryInterface(iid, out);
    if (NT_SUCCESS(status) || out == NULL) {
        return status;
    }
    if (IsEqualGUID(iid, IID_ITerminalTypeUnit)) {
        return ReturnInterface(static_cast<ITerminalTypeUnit*>(this), out);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CTerminalTypeUnit::GetType(ULONG* type) {
    if (type == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *type = m_CurrentType;
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalTypeUnit::GetTypeCount(ULONG* count) {
    if (count == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *count = m_TypeCount;
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalTypeUnit::GetTypes(ULONG* types) {
    if (types == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_TypeCount != 0) {
        memcpy(types, m_Types, m_TypeCount * sizeof(ULONG));
    }
    return STATUS_SUCCESS;
}

BOOLEAN CTerminalTypeUnit::HasType(ULONG type) const {
    return m_TypeCount != 0 && ListHasType(m_Types, m_TypeCount, type);
}

void CTerminalTypeUnit::NotifyListeners(ULONG profile, PVOID callbackObject) {
    if (m_Listeners == NULL) {
        return;
    }
    PVOID data = NULL;
    POSITION pos = m_Listeners->GetHeadPosition();
    while (m_Listeners->GetNext(pos, &data)) {
        if (!NT_SUCCESS(static_cast<IUnitProfile*>(data)->SelectProfile(profile, callbackObject))) {
            break;
        }
    }
}

// Listeners hear only of a real change; selecting the current type again
// succeeds silently.
NTSTATUS CTerminalTypeUnit::SelectType(ULONG type) {
    if (!HasType(type)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (type != m_CurrentType) {
        m_CurrentType = type;
        m_Changed = 1;
        NotifyListeners(type, NULL);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalTypeUnit::ClearChanged() {
    m_Changed = 0;
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalTypeUnit::AddListener(IUnitProfile* listener) {
    if (listener == NULL || m_Listeners == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    listener->AddRef();
    if (m_Listeners->AddTail(listener) == NULL) {
        listener->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalTypeUnit::Init(ULONG sourceId, ULONG count, const ULONG* types) {
    if (count < 1 || count > TERMINAL_MAX_TYPES || types == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG* copy = CopyArray(types, count);
    if (copy == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (m_Listeners == NULL) {
        m_Listeners = new (NonPagedPoolNx, kTerminalTag) CList();
        if (m_Listeners == NULL) {
            FreeArray(copy);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    NTSTATUS status = SetSourceIds(1, &sourceId);
    if (!NT_SUCCESS(status)) {
        FreeArray(copy);
        return status;
    }
    FreeArray(m_Types);
    m_Types = copy;
    m_TypeCount = count;
    m_CurrentType = types[0];
    return STATUS_SUCCESS;
}

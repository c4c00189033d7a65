// The stream engine: construction and Init, formats, units and their
// endpoint type, the name, the callback object, the work buffers of the
// data path and destruction. The wave subdevice slots are in
// wave_subdevice.cpp.
#include "stream/engine/stream_engine.h"

#include <cstring>

#include "adapter/audio_hal.h"
#include "nt/ob.h"
#include "nt/rtl.h"
#include "portcls/portcls_guids.h"
#include "topology/miniport_topology.h"
#include "topology/terminal_units.h"

namespace {

// Formats offered through GetFormat on render endpoints of these types:
// their 2-channel formats only, as long as one of them is PCM.
bool OffersStereoOnly(ULONG endpointType) {
    return endpointType == ENDPOINT_HP || endpointType == ENDPOINT_SPDIF || endpointType == ENDPOINT_HEADSET ||
           endpointType == ENDPOINT_FHP;
}

bool HoldsPcm(CList* list) {
    if (list == NULL) return false;
    POSITION pos = list->GetHeadPosition();
    PVOID data = NULL;
    while (list->GetNext(pos, &data))
        if (static_cast<const WAVEFORMATEXTENSIBLE*>(data)->SubFormat == KSDATAFORMAT_SUBTYPE_PCM) return true;
    return false;
}

// Extensible formats carry at least this much after WAVEFORMATEX.
constexpr USHORT kExtensibleExtraBytes = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);

// Pops every element of list and releases it as an interface.
template <typename I>
void ReleaseAll(CList* list) {
    PVOID data = NULL;
    while (list->RemoveHead(&data)) static_cast<I*>(data)->Release();
}

void FreeRecords(CList* list) {
    PVOID data = NULL;
    while (list->RemoveHead(&data)) ExFreePoolWithTag(data, STREAM_ENGINE_TAG);
}

void WaitUntilEmpty(CList* list) {
    LARGE_INTEGER interval;
    interval.QuadPart = -50 * 10000LL;  // 50 ms
    while (!list->IsEmpty()) KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

}  // namespace

BOOLEAN StreamFormatMatches(const WAVEFORMATEXTENSIBLE* record, const WAVEFORMATEX* given) {
    if (given->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        // A shorter record would end before SubFormat; the caller's format
        // holds cbSize extra bytes, so only compare when all 40 exist.
        if (given->cbSize < kExtensibleExtraBytes) return FALSE;
        return memcmp(record, given, sizeof(WAVEFORMATEXTENSIBLE)) == 0;
    }
    return record->Format.nChannels == given->nChannels && record->Format.nSamplesPerSec == given->nSamplesPerSec &&
           record->Format.wBitsPerSample == given->wBitsPerSample && StreamFormatTag(record) == given->wFormatTag;
}

CStreamEngine::CStreamEngine(PUNKNOWN outer, ULONG interfaceNumber) : CUnknown(outer) {
    m_nInterfaceNumber = interfaceNumber;
}

CStreamEngine::~CStreamEngine() {
    if (m_pDspNodes) {
        ReleaseAll<IDspNode>(m_pDspNodes);
        delete m_pDspNodes;
        m_pDspNodes = NULL;
    }
    if (m_pfWorkBuffer) ExFreePoolWithTag(m_pfWorkBuffer, STREAM_ENGINE_TAG);
    m_pfWorkBuffer = NULL;
    if (m_ppfChannels) {
        for (ULONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; c++)
            if (m_ppfChannels[c]) ExFreePoolWithTag(m_ppfChannels[c], STREAM_ENGINE_TAG);
        ExFreePoolWithTag(m_ppfChannels, STREAM_ENGINE_TAG);
        m_ppfChannels = NULL;
    }
    if (m_pUnits) {
        ReleaseAll<IUacUnit>(m_pUnits);
        delete m_pUnits;
        m_pUnits = NULL;
    }
    for (CList** list : {&m_pFormats, &m_pStereoFormats}) {
        if (*list == NULL) continue;
        FreeRecords(*list);
        delete *list;
        *list = NULL;
    }
    // The records belong to the USB stream object, which unregisters its
    // clients; wait for it.
    for (CList** list : {&m_pRunningClients, &m_pAcquiredClients, &m_pRegisteredClients}) {
        if (*list == NULL) continue;
        WaitUntilEmpty(*list);
        delete *list;
        *list = NULL;
    }
    if (m_pClientNodes) {
        ReleaseClientNodes();
        delete m_pClientNodes;
        m_pClientNodes = NULL;
    }
    if (m_pClientPostNodes) {
        ReleaseClientPostNodes();
        delete m_pClientPostNodes;
        m_pClientPostNodes = NULL;
    }
    if (m_pwszName) ExFreePoolWithTag(m_pwszName, STREAM_ENGINE_TAG);
    m_pwszName = NULL;
    if (m_pCallbackObject) ObDereferenceObject(m_pCallbackObject);
    m_pCallbackObject = NULL;
    if (m_pWavePort) m_pWavePort->Release();
    m_pWavePort = NULL;
    m_pTopologyInfo = NULL;
    if (m_pTopologyPort) m_pTopologyPort->Release();
    m_pTopologyPort = NULL;
}

NTSTATUS CStreamEngine::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (out == NULL) return STATUS_INVALID_PARAMETER;
    *out = NULL;
    if (iid == IID_IUnknown || iid == IID_IStreamEngine)
        return ReturnInterface(static_cast<IStreamEngine*>(this), out);
    return RefuseInterface(out);
}

// Engines made by the Audio Streaming parsers know the linked terminal.
ULONG CStreamEngine::GetTerminalLink() { return UNIT_ID_NONE; }

NTSTATUS CStreamEngine::Init(ULONG isCapture) {
    m_bCapture = isCapture;
    CList** lists[] = {&m_pDspNodes,          &m_pUnits,           &m_pFormats,
                       &m_pStereoFormats,     &m_pRegisteredClients, &m_pAcquiredClients,
                       &m_pRunningClients,    &m_pClientNodes,     &m_pClientPostNodes};
    for (CList** list : lists) {
        *list = new (NonPagedPoolNx, STREAM_ENGINE_TAG) CList();
        if (*list == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_pwszName = (PWSTR)ExAllocatePoolWithTag(PagedPool, (STREAM_NAME_MAX_CHARS + 1) * sizeof(WCHAR),
                                              STREAM_ENGINE_TAG);
    if (m_pwszName == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    m_pwszName[0] = 0;

    WCHAR nameBuffer[49];
    RtlStringCbPrintfW(nameBuffer, sizeof(nameBuffer), u"\\Callback\\StreamEngineAddr%p",
                       static_cast<IStreamEngine*>(this));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, nameBuffer);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, NULL, NULL);
    NTSTATUS status = ExCreateCallback(&m_pCallbackObject, &attributes, TRUE, TRUE);
    if (!NT_SUCCESS(status)) {
        m_pCallbackObject = NULL;
        return status;
    }
    KeInitializeSpinLock(&m_SpinLock);
    return STATUS_SUCCESS;
}

// ---- formats -----------------------------------------------------------------

NTSTATUS CStreamEngine::AppendFormatCopy(CList* list, const WAVEFORMATEXTENSIBLE* format) {
    auto* record = (WAVEFORMATEXTENSIBLE*)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(WAVEFORMATEXTENSIBLE),
                                                                STREAM_ENGINE_TAG);
    if (record == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(record, format, sizeof(*record));
    if (list->AddTail(record) == NULL) {
        ExFreePoolWithTag(record, STREAM_ENGINE_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::AddFormat(const WAVEFORMATEXTENSIBLE* format) {
    if (format == NULL || m_pFormats == NULL || m_pStereoFormats == NULL) return STATUS_INVALID_PARAMETER;
    if (format->Format.nChannels == 0 || format->Format.nSamplesPerSec == 0 || format->Format.nBlockAlign == 0)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = AppendFormatCopy(m_pFormats, format);
    if (!NT_SUCCESS(status)) return status;
    if (format->Format.nChannels == 2) return AppendFormatCopy(m_pStereoFormats, format);
    return STATUS_SUCCESS;
}

// A headphone-like endpoint whose 2-channel formats hold no PCM one (a
// headset of 6 or 8 channels only) offers all its formats instead: its
// wave filter needs a PCM format, and without one the endpoint, and with
// it the device's start, would be lost. The endpoint type is asked at
// every call, so a terminal switched to such a type at run time is served
// by the same rule.
CList* CStreamEngine::OfferedFormats() {
    if (IsCapture() == 0 && OffersStereoOnly(GetEndpointType()) && HoldsPcm(m_pStereoFormats))
        return m_pStereoFormats;
    return m_pFormats;
}

ULONG CStreamEngine::GetFormatCount() {
    CList* list = OfferedFormats();
    return list ? (ULONG)list->GetCount() : 0;
}

NTSTATUS CStreamEngine::GetFormat(ULONG index, WAVEFORMATEXTENSIBLE* format) {
    CList* list = OfferedFormats();
    if (list == NULL) return STATUS_UNSUCCESSFUL;
    PVOID record = NULL;
    if (index >= (ULONG)list->GetCount() || !list->GetAt((LONG)index, &record)) return STATUS_INVALID_PARAMETER;
    if (format == NULL) return STATUS_INVALID_PARAMETER;
    memcpy(format, record, sizeof(*format));
    return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::FindFormat(WAVEFORMATEX* format) {
    if (m_pFormats == NULL || format == NULL) return STATUS_NO_MATCH;
    POSITION pos = m_pFormats->GetHeadPosition();
    PVOID data = NULL;
    while (m_pFormats->GetNext(pos, &data)) {
        auto* record = static_cast<WAVEFORMATEXTENSIBLE*>(data);
        if (!StreamFormatMatches(record, format)) continue;
        if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE) return STATUS_SUCCESS;
        USHORT plainTag = format->wFormatTag;
        format->nChannels = record->Format.nChannels;
        format->nSamplesPerSec = record->Format.nSamplesPerSec;
        format->nAvgBytesPerSec = record->Format.nAvgBytesPerSec;
        format->nBlockAlign = record->Format.nBlockAlign;
        format->wBitsPerSample = record->Format.wBitsPerSample;
        format->wFormatTag = plainTag;
        format->cbSize = 0;
        return STATUS_SUCCESS;
    }
    return STATUS_NO_MATCH;
}

// ---- units and endpoint type -------------------------------------------------

NTSTATUS CStreamEngine::AddUnit(IUacUnit* unit) {
    if (unit == NULL || m_pUnits == NULL) return STATUS_INVALID_PARAMETER;
    ULONG id = unit->GetId();
    POSITION pos = m_pUnits->GetHeadPosition();
    PVOID data = NULL;
    while (m_pUnits->GetNext(pos, &data))
        if (static_cast<IUacUnit*>(data)->GetId() == id) return STATUS_SUCCESS;
    unit->AddRef();
    if (m_pUnits->AddTail(unit) == NULL) {
        unit->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IDspNode* node = NULL;
    if (NT_SUCCESS(unit->QueryInterface(IID_IDspNode, (PVOID*)&node)) && node != NULL) {
        AddDspNode(node);
        node->Release();
    }
    return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::AddDspNode(IDspNode* node) {
    if (node == NULL || m_pDspNodes == NULL) return STATUS_INVALID_PARAMETER;
    node->AddRef();
    if (m_pDspNodes->AddTail(node) == NULL) {
        node->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

ULONG CStreamEngine::GetUnitCount() { return m_pUnits ? (ULONG)m_pUnits->GetCount() : 0; }

NTSTATUS CStreamEngine::GetUnit(ULONG index, IUacUnit** unit) {
    if (m_pUnits == NULL) return STATUS_UNSUCCESSFUL;
    PVOID data = NULL;
    if (unit == NULL || index >= (ULONG)m_pUnits->GetCount() || !m_pUnits->GetAt((LONG)index, &data))
        return STATUS_INVALID_PARAMETER;
    *unit = static_cast<IUacUnit*>(data);
    return STATUS_SUCCESS;
}

namespace {

// The type of a terminal pin unit; FALSE when the unit is no terminal.
bool TerminalType(IUacUnit* unit, ULONG* type) {
    ITerminal* terminal = NULL;
    if (!NT_SUCCESS(unit->QueryInterface(IID_ITerminal, (PVOID*)&terminal)) || terminal == NULL) return false;
    *type = ENDPOINT_STREAM;
    NTSTATUS status = terminal->GetType(type);
    terminal->Release();
    return NT_SUCCESS(status);
}

}  // namespace

ULONG CStreamEngine::GetEndpointType() {
    if (m_pUnits == NULL) return ENDPOINT_STREAM;
    ULONG result = ENDPOINT_STREAM, found = 0;
    POSITION pos = m_pUnits->GetHeadPosition();
    PVOID data = NULL;
    while (m_pUnits->GetNext(pos, &data)) {
        auto* unit = static_cast<IUacUnit*>(data);
        ULONG kind = unit->GetKind(), type = ENDPOINT_STREAM;
        if (!m_bCapture && kind == UNIT_KIND_TERMINAL_TYPE) {
            ITerminalTypeUnit* selector = NULL;
            if (NT_SUCCESS(unit->QueryInterface(IID_ITerminalTypeUnit, (PVOID*)&selector)) && selector) {
                selector->GetType(&type);
                selector->Release();
                return type;
            }
        } else if (!m_bCapture && kind == UNIT_KIND_OUTPUT_PIN && TerminalType(unit, &type)) {
            result = type;
        } else if (m_bCapture && kind == UNIT_KIND_INPUT_PIN && TerminalType(unit, &type) && type != 0) {
            found++;
            result = type;
        }
    }
    if (m_bCapture && found >= 2) return ENDPOINT_REC;
    return result;
}

// ---- name and callback object ------------------------------------------------

NTSTATUS CStreamEngine::SetName(PCWSTR name) {
    if (name == NULL || m_pwszName == NULL) return STATUS_INVALID_PARAMETER;
    size_t length = wcslen(name);
    if (length > STREAM_NAME_MAX_CHARS) return STATUS_INVALID_PARAMETER;
    memcpy(m_pwszName, name, (length + 1) * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::GetName(PWSTR name) {
    if (name == NULL || m_pwszName == NULL) return STATUS_INVALID_PARAMETER;
    size_t length = 0;
    while (length < STREAM_NAME_MAX_CHARS && m_pwszName[length] != 0) length++;
    memcpy(name, m_pwszName, length * sizeof(WCHAR));
    name[length] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::RegisterCallback(PCALLBACK_FUNCTION function, PVOID context, PVOID* handle) {
    if (m_pCallbackObject == NULL || handle == NULL) return STATUS_UNSUCCESSFUL;
    *handle = ExRegisterCallback(m_pCallbackObject, function, context);
    return *handle == NULL ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::UnregisterCallback(PVOID handle) {
    if (handle) ExUnregisterCallback(handle);
    return STATUS_SUCCESS;
}

// ---- work buffers ------------------------------------------------------------

NTSTATUS CStreamEngine::AllocateBuffers() {
    if (m_pfWorkBuffer == NULL) {
        m_pfWorkBuffer = (float*)ExAllocatePoolWithTag(NonPagedPoolNx, STREAM_WORK_FLOATS * sizeof(float),
                                                       STREAM_ENGINE_TAG);
        if (m_pfWorkBuffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (m_ppfChannels == NULL) {
        size_t bytes = MAX_SOFTWARE_DSP_PROCESS_CHANNELS * sizeof(float*);
        m_ppfChannels = (float**)ExAllocatePoolWithTag(NonPagedPoolNx, bytes, STREAM_ENGINE_TAG);
        if (m_ppfChannels == NULL) return STATUS_INSUFFICIENT_RESOURCES;
        memset(m_ppfChannels, 0, bytes);
    }
    for (ULONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; c++) {
        if (m_ppfChannels[c]) continue;
        m_ppfChannels[c] = (float*)ExAllocatePoolWithTag(NonPagedPoolNx, STREAM_CHANNEL_BYTES, STREAM_ENGINE_TAG);
        if (m_ppfChannels[c] == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

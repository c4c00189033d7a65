// The wave-cyclic miniport: creation, interfaces, Init and teardown,
// NewStream, the signal-processing modes, the terminal and name the
// installer asks for, and power notifications.
#include "stream/wave/miniport_wave_cyclic.h"

#include <cstring>

#include "adapter/device_context.h"
#include "nt/rtl.h"
#include "stream/wave/miniport_wave_cyclic_stream.h"
#include "topology/terminal_units.h"

namespace {

// The subdevice name: the engine's name and "Wave" in a buffer of this many
// characters with the terminator (the system's engine names have at most
// 17 characters).
constexpr ULONG kNameChars = 51;
constexpr WCHAR kNameSuffix[] = u"Wave";

// Appends src to dst (a buffer of kNameChars), truncating.
VOID AppendName(PWSTR dst, PCWSTR src) {
    ULONG length = 0;
    while (length < kNameChars - 1 && dst[length] != 0) length++;
    for (ULONG i = 0; src[i] != 0 && length < kNameChars - 1; i++) dst[length++] = src[i];
    dst[length] = 0;
}

}  // namespace

NTSTATUS CreateMiniportWaveCyclic(PUNKNOWN* unknown, REFCLSID, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                                  ULONG engineIndex) {
    if (unknown == NULL) return STATUS_INVALID_PARAMETER;
    return CreateUnknown<CMiniportWaveCyclic>(unknown, outerUnknown, poolType, WAVE_MINIPORT_TAG, engineIndex);
}

CMiniportWaveCyclic::CMiniportWaveCyclic(PUNKNOWN outer, ULONG engineIndex) : CUnknown(outer) {
    m_nEngineIndex = engineIndex;
    KeInitializeEvent(&m_NoStreamEvent, NotificationEvent, TRUE);
}

CMiniportWaveCyclic::~CMiniportWaveCyclic() {
    if (m_pAudioHal == NULL) {
        ReleaseEverything();
        return;
    }
    // No stream may outlive the miniport: wait for the last one, holding
    // the device's miniport mutex so that teardowns do not interleave. The
    // adapter interface goes last, after the mutex it leads to.
    PDEVICE_OBJECT fdo = m_pAudioHal->GetDeviceObject();
    PKMUTEX mutex = fdo != NULL ? &GetDeviceContext(fdo)->MiniportMutex : NULL;
    if (mutex) KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, NULL);
    KeWaitForSingleObject(&m_NoStreamEvent, Executive, KernelMode, FALSE, NULL);
    IAudioHal* adapter = m_pAudioHal;
    m_pAudioHal = NULL;
    ReleaseEverything();
    if (mutex) KeReleaseMutex(mutex, FALSE);
    adapter->Release();
}

VOID CMiniportWaveCyclic::ReleaseEverything() {
    if (m_pPort) m_pPort->Release();
    m_pPort = NULL;
    FreeDescription();
    if (m_pStreamEngine) m_pStreamEngine->Release();
    m_pStreamEngine = NULL;
    if (m_pAudioHal) m_pAudioHal->Release();
    m_pAudioHal = NULL;
    if (m_pwszName) ExFreePoolWithTag(m_pwszName, WAVE_MINIPORT_TAG);
    m_pwszName = NULL;
}

NTSTATUS CMiniportWaveCyclic::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (iid == IID_IUnknown || iid == IID_IMiniport || iid == IID_IMiniportWaveCyclic)
        return ReturnInterface(static_cast<IMiniportWaveCyclic*>(this), out);
    if (iid == IID_IMiniportAudioSignalProcessing)
        return ReturnInterface(static_cast<IMiniportAudioSignalProcessing*>(this), out);
    if (iid == IID_IMiniportInfo) return ReturnInterface(static_cast<IMiniportInfo*>(this), out);
    if (iid == IID_IPowerNotify) return ReturnInterface(static_cast<IPowerNotify*>(this), out);
    return RefuseInterface(out);
}

CMiniportWaveCyclic* CMiniportWaveCyclic::FromTarget(PUNKNOWN majorTarget) {
    if (majorTarget == NULL) return NULL;
    IMiniportWaveCyclic* wave = NULL;
    if (!NT_SUCCESS(majorTarget->QueryInterface(IID_IMiniportWaveCyclic, (PVOID*)&wave)) || wave == NULL)
        return NULL;
    auto* miniport = static_cast<CMiniportWaveCyclic*>(wave);
    wave->Release();
    return miniport;
}

// ---- Init ------------------------------------------------------------------

NTSTATUS CMiniportWaveCyclic::Init(PUNKNOWN unknownAdapter, PRESOURCELIST, PPORTWAVECYCLIC port) {
    PAGED_CODE();
    if (port == NULL) return STATUS_INVALID_PARAMETER;
    port->AddRef();
    m_pPort = port;
    m_PowerState = PowerDeviceD0;
    NTSTATUS status = InitSteps(unknownAdapter);
    if (!NT_SUCCESS(status)) ReleaseEverything();
    return status;
}

NTSTATUS CMiniportWaveCyclic::InitSteps(PUNKNOWN unknownAdapter) {
    if (unknownAdapter == NULL) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = unknownAdapter->QueryInterface(IID_IAudioHal, (PVOID*)&m_pAudioHal);
    if (!NT_SUCCESS(status) || m_pAudioHal == NULL) {
        m_pAudioHal = NULL;
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    IStreamEngine* engine = NULL;
    status = m_pAudioHal->GetStreamEngine(m_nEngineIndex, &engine);
    if (!NT_SUCCESS(status)) return status;
    if (engine == NULL) return STATUS_UNSUCCESSFUL;
    engine->AddRef();
    m_pStreamEngine = engine;

    status = BuildDataRanges();
    if (NT_SUCCESS(status)) status = BuildFilterDescriptor();
    if (!NT_SUCCESS(status)) return status;

    m_pwszName = (PWSTR)ExAllocatePoolWithTag(PagedPool, kNameChars * sizeof(WCHAR), WAVE_MINIPORT_TAG);
    auto* engineName = (PWSTR)ExAllocatePoolWithTag(PagedPool, kNameChars * sizeof(WCHAR), WAVE_MINIPORT_TAG);
    if (m_pwszName == NULL || engineName == NULL) {
        if (engineName) ExFreePoolWithTag(engineName, WAVE_MINIPORT_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(m_pwszName, kNameChars * sizeof(WCHAR));
    RtlZeroMemory(engineName, kNameChars * sizeof(WCHAR));
    status = m_pStreamEngine->GetName(engineName);
    AppendName(m_pwszName, engineName);
    AppendName(m_pwszName, kNameSuffix);
    ExFreePoolWithTag(engineName, WAVE_MINIPORT_TAG);
    return status;
}

// ---- NewStream ---------------------------------------------------------------

NTSTATUS CMiniportWaveCyclic::NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN outerUnknown, POOL_TYPE,
                                        ULONG pin, BOOLEAN capture, PKSDATAFORMAT dataFormat,
                                        PDMACHANNEL* dmaChannel, PSERVICEGROUP* serviceGroup) {
    PAGED_CODE();
    if (stream == NULL || dmaChannel == NULL || serviceGroup == NULL) return STATUS_INVALID_PARAMETER;
    if (m_bStreamOpen) return STATUS_INSUFFICIENT_RESOURCES;
    WAVEFORMATEX* wave = NULL;
    NTSTATUS status = ValidateDataFormat(dataFormat, &wave);
    if (!NT_SUCCESS(status)) return status;
    GUID mode = AUDIO_SIGNALPROCESSINGMODE_RAW;
    if (dataFormat->Flags & KSDATAFORMAT_ATTRIBUTES) {
        // The port checked that the list lies inside the connect buffer.
        ULONG offset = (dataFormat->FormatSize + 7) & ~7u;
        auto* list = reinterpret_cast<const KSMULTIPLE_ITEM*>(reinterpret_cast<PUCHAR>(dataFormat) + offset);
        status = ParseSignalProcessingMode(list, list->Size, &mode);
        if (!NT_SUCCESS(status)) return status;
        if (mode != AUDIO_SIGNALPROCESSINGMODE_RAW) return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto* object = new (NonPagedPoolNx, WAVE_MINIPORT_TAG) CMiniportWaveCyclicStream(outerUnknown);
    if (object == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    object->NonDelegatingAddRef();  // the creation reference
    status = object->Init(this, pin, capture, dataFormat, m_pStreamEngine, serviceGroup);
    if (NT_SUCCESS(status)) {
        *stream = static_cast<IMiniportWaveCyclicStream*>(object);
        (*stream)->AddRef();
        *dmaChannel = static_cast<IDmaChannel*>(object);
        (*dmaChannel)->AddRef();
    }
    object->NonDelegatingRelease();
    return status;
}

VOID CMiniportWaveCyclic::OnStreamOpened() {
    if (InterlockedIncrement(&m_lOpenStreams) == 1) KeClearEvent(&m_NoStreamEvent);
}

VOID CMiniportWaveCyclic::OnStreamClosed() {
    if (InterlockedDecrement(&m_lOpenStreams) == 0) KeSetEvent(&m_NoStreamEvent, IO_NO_INCREMENT, FALSE);
}

// ---- small interfaces ------------------------------------------------------------

NTSTATUS CMiniportWaveCyclic::GetModes(ULONG pin, GUID* modes, ULONG* count) {
    if (count == NULL) return STATUS_INVALID_PARAMETER;
    if (pin != WAVE_PIN_STREAMING) return STATUS_NOT_SUPPORTED;
    if (modes != NULL && *count < 1) {
        *count = 1;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (modes != NULL) modes[0] = AUDIO_SIGNALPROCESSINGMODE_RAW;
    *count = 1;
    return STATUS_SUCCESS;
}

// The engine's USB streaming terminal (the last one on its path). A device
// whose path holds none streams straight into a terminal of another type
// (an input terminal such as a microphone carries the render stream): the
// terminal its Audio Streaming interface links stands in, so each wave
// filter still meets the topology at its own pin.
NTSTATUS CMiniportWaveCyclic::QueryMappedId(ULONG* id) {
    if (id == NULL || m_pStreamEngine == NULL) return STATUS_SUCCESS;
    ULONG wanted = m_pStreamEngine->IsCapture() ? UNIT_KIND_OUTPUT_PIN : UNIT_KIND_INPUT_PIN;
    ULONG count = m_pStreamEngine->GetUnitCount();
    bool found = false;
    ULONG linked = UNIT_ID_NONE;
    for (ULONG i = 0; i < count; i++) {
        IUacUnit* unit = NULL;
        if (!NT_SUCCESS(m_pStreamEngine->GetUnit(i, &unit)) || unit == NULL) continue;
        if (unit->GetKind() != wanted) continue;
        if (unit->GetId() == m_pStreamEngine->GetTerminalLink()) linked = unit->GetId();
        ITerminal* terminal = NULL;
        if (!NT_SUCCESS(unit->QueryInterface(IID_ITerminal, (PVOID*)&terminal)) || terminal == NULL) continue;
        ULONG type = ENDPOINT_SPK;
        if (NT_SUCCESS(terminal->GetType(&type)) && type == ENDPOINT_STREAM) {
            *id = unit->GetId();
            found = true;
        }
        terminal->Release();
    }
    if (!found && linked != UNIT_ID_NONE) *id = linked;
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportWaveCyclic::GetName(PWSTR* name) {
    if (name == NULL) return STATUS_INVALID_PARAMETER;
    *name = m_pwszName;
    return STATUS_SUCCESS;
}

VOID CMiniportWaveCyclic::PowerChangeNotify(POWER_STATE newState) {
    DEVICE_POWER_STATE state = newState.DeviceState;
    if (state == m_PowerState || state < PowerDeviceD0 || state > PowerDeviceD3) return;
    m_PowerState = state;
}

// The wave-cyclic stream: object and Init, formats, states (the USB stream
// client's life between RUN and the following PAUSE), and the stream's own
// DMA channel over a system-memory buffer.
#include "stream/wave/miniport_wave_cyclic_stream.h"

#include <cstring>

#include "nt/rtl.h"

namespace {

// The format checks the arithmetic below depends on: every division by
// channels, rate, block alignment and bytes per sample, and a 50 ms buffer
// that holds at least one block.
bool UsableFormat(const WAVEFORMATEXTENSIBLE& f) {
    return f.Format.nChannels != 0 && f.Format.nSamplesPerSec != 0 && f.Format.nBlockAlign != 0 &&
           f.Format.wBitsPerSample >= 8 && f.Format.nAvgBytesPerSec / 20 >= f.Format.nBlockAlign;
}

}  // namespace

LONGLONG WaveNow() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    LONGLONG f = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
    LONGLONG c = counter.QuadPart;
    return c / f * 100000 + c % f * 100000 / f;
}

CMiniportWaveCyclicStream::CMiniportWaveCyclicStream(PUNKNOWN outer) : CUnknown(outer) {
    KeInitializeSpinLock(&m_SpinLock);
}

CMiniportWaveCyclicStream::~CMiniportWaveCyclicStream() {
    while (m_State != KSSTATE_STOP) {
        KSSTATE next = KSSTATE(m_State - 1);
        if (!NT_SUCCESS(SetState(next))) m_State = next;  // a failing step is passed over; no DPC uses it now
    }
    FreeBuffer();
    if (m_pServiceGroup) m_pServiceGroup->Release();
    m_pServiceGroup = NULL;
    if (m_pStreamEngine) m_pStreamEngine->Release();
    m_pStreamEngine = NULL;
    if (m_pFormatLayer) {
        m_pFormatLayer->Cleanup();
        delete m_pFormatLayer;
        m_pFormatLayer = NULL;
    }
    if (m_pMiniport) {
        // The last touch of the miniport is OnStreamClosed: a miniport whose
        // last release waits for this stream is destroyed right after it.
        m_pMiniport->m_bStreamOpen = 0;
        if (m_bCountedOpen) m_pMiniport->OnStreamClosed();
        m_pMiniport = NULL;
    }
}

NTSTATUS CMiniportWaveCyclicStream::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (iid == IID_IUnknown || iid == IID_IMiniportWaveCyclicStream)
        return ReturnInterface(static_cast<IMiniportWaveCyclicStream*>(this), out);
    if (iid == IID_IDmaChannel) return ReturnInterface(static_cast<IDmaChannel*>(this), out);
    if (iid == IID_IDrmAudioStream) return ReturnInterface(static_cast<IDrmAudioStream*>(this), out);
    return RefuseInterface(out);
}

// ---- Init --------------------------------------------------------------------

NTSTATUS CMiniportWaveCyclicStream::Init(CMiniportWaveCyclic* miniport, ULONG pin, BOOLEAN capture,
                                         PKSDATAFORMAT dataFormat, IStreamEngine* engine,
                                         PSERVICEGROUP* serviceGroup) {
    if (miniport == NULL || engine == NULL || serviceGroup == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    m_pMiniport = miniport;
    engine->AddRef();
    m_pStreamEngine = engine;
    m_nPin = pin;
    m_bCapture = capture;
    m_State = KSSTATE_STOP;
    m_nNotificationInterval = WAVE_NOTIFICATION_MS;
    NTSTATUS status = InitSteps(dataFormat, serviceGroup);
    if (!NT_SUCCESS(status)) {
        if (m_pServiceGroup) m_pServiceGroup->Release();
        m_pServiceGroup = NULL;
        m_pStreamEngine->Release();
        m_pStreamEngine = NULL;
        m_pMiniport = NULL;
    }
    return status;
}

NTSTATUS CMiniportWaveCyclicStream::InitSteps(PKSDATAFORMAT dataFormat, PSERVICEGROUP* serviceGroup) {
    NTSTATUS status = PcNewServiceGroup(&m_pServiceGroup, NULL);
    if (!NT_SUCCESS(status)) {
        m_pServiceGroup = NULL;
        return status;
    }
    m_pFormatLayer = new (NonPagedPoolNx, WAVE_BUFFER_TAG) CDspInterleaveSrc();
    if (m_pFormatLayer == NULL || !m_pFormatLayer->Init()) return STATUS_INSUFFICIENT_RESOURCES;
    status = TakeFormat(dataFormat, &m_Format);
    if (!NT_SUCCESS(status)) return status;
    status = AllocateBuffer(m_Format.Format.nAvgBytesPerSec / 20, NULL);
    if (!NT_SUCCESS(status)) return status;
    m_nCopyOffset = 0;
    m_pServiceGroup->AddRef();
    *serviceGroup = m_pServiceGroup;
    m_pMiniport->OnStreamOpened();
    m_bCountedOpen = TRUE;
    m_pMiniport->m_bStreamOpen = 1;
    m_RunningFormat = m_Format;
    return STATUS_SUCCESS;
}

// Validates dataFormat through the miniport and copies its wave format.
NTSTATUS CMiniportWaveCyclicStream::TakeFormat(PKSDATAFORMAT dataFormat, WAVEFORMATEXTENSIBLE* format) {
    WAVEFORMATEX* wave = NULL;
    NTSTATUS status = m_pMiniport->ValidateDataFormat(dataFormat, &wave);
    if (!NT_SUCCESS(status)) return status;
    WAVEFORMATEXTENSIBLE copy;
    WaveCopyFormat(dataFormat, wave, &copy);
    if (!UsableFormat(copy)) return STATUS_INVALID_PARAMETER;
    *format = copy;
    return STATUS_SUCCESS;
}

// ---- formats -----------------------------------------------------------------

NTSTATUS CMiniportWaveCyclicStream::SetFormat(PKSDATAFORMAT dataFormat) {
    if (m_State == KSSTATE_RUN) return STATUS_UNSUCCESSFUL;
    if (m_pMiniport == NULL) return STATUS_INVALID_DEVICE_STATE;
    WAVEFORMATEXTENSIBLE format;
    NTSTATUS status = TakeFormat(dataFormat, &format);
    if (!NT_SUCCESS(status)) return status;
    if (format.Format.nSamplesPerSec == m_Format.Format.nSamplesPerSec &&
        format.Format.nChannels == m_Format.Format.nChannels &&
        format.Format.wBitsPerSample == m_Format.Format.wBitsPerSample)
        return STATUS_SUCCESS;
    status = AllocateBuffer(format.Format.nAvgBytesPerSec / 20, NULL);
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    if (NT_SUCCESS(status)) m_Format = format;
    m_nCopyOffset = 0;
    KeReleaseSpinLock(&m_SpinLock, irql);
    return status;
}

ULONG CMiniportWaveCyclicStream::SetNotificationFreq(ULONG, PULONG framingSize) {
    if (framingSize != NULL)
        *framingSize = (m_Format.Format.wBitsPerSample / 8) * ((m_Format.Format.nSamplesPerSec * 10) / 1000) *
                       m_Format.Format.nChannels;
    return m_nNotificationInterval;
}

NTSTATUS CMiniportWaveCyclicStream::NormalizePhysicalPosition(PLONGLONG physicalPosition) {
    if (physicalPosition == NULL) return STATUS_INVALID_PARAMETER;
    ULONG frameBytes = (m_Format.Format.wBitsPerSample / 8) * m_Format.Format.nChannels;
    if (frameBytes == 0 || m_Format.Format.nSamplesPerSec == 0) return STATUS_INVALID_DEVICE_STATE;
    *physicalPosition = (10000000 / frameBytes) * *physicalPosition / m_Format.Format.nSamplesPerSec;
    return STATUS_SUCCESS;
}

// ---- states --------------------------------------------------------------------

NTSTATUS CMiniportWaveCyclicStream::SetState(KSSTATE state) {
    if (state == m_State) return STATUS_SUCCESS;
    if (m_pStreamEngine == NULL) return STATUS_INVALID_DEVICE_STATE;
    ICyclicControl* control = NULL;
    NTSTATUS status = m_pStreamEngine->QueryInterface(IID_ICyclicControl, (PVOID*)&control);
    if (!NT_SUCCESS(status)) return status;
    KIRQL irql;
    // The port steps one state at a time; a caller that jumps out of RUN
    // still ends the client, so no message reaches a stopped stream.
    if (m_State == KSSTATE_RUN && state != KSSTATE_PAUSE && state != KSSTATE_RUN) status = LeaveRun(control);
    switch (state) {
        case KSSTATE_STOP:
        case KSSTATE_ACQUIRE:
            KeAcquireSpinLock(&m_SpinLock, &irql);
            ResetPositionsLocked();
            m_nCopyOffset = 0;
            KeReleaseSpinLock(&m_SpinLock, irql);
            break;
        case KSSTATE_PAUSE:
            if (m_State == KSSTATE_RUN) status = LeaveRun(control);
            KeAcquireSpinLock(&m_SpinLock, &irql);
            m_nLastPosition = m_nPosition;
            KeReleaseSpinLock(&m_SpinLock, irql);
            break;
        case KSSTATE_RUN:
            status = EnterRun(control);
            break;
        default:
            status = STATUS_INVALID_PARAMETER;
    }
    control->Release();
    if (NT_SUCCESS(status)) {
        KeAcquireSpinLock(&m_SpinLock, &irql);
        m_State = state;  // GetPosition reads it under the lock
        KeReleaseSpinLock(&m_SpinLock, irql);
    }
    return status;
}

// Register, acquire and run the stream's client; each failure undoes the
// steps before it, so nothing stays registered.
NTSTATUS CMiniportWaveCyclicStream::EnterRun(ICyclicControl* control) {
    if (m_pBuffer == NULL) return STATUS_UNSUCCESSFUL;
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    m_Rate.Stream = WaveRateParts(m_Format.Format.nAvgBytesPerSec);
    KeReleaseSpinLock(&m_SpinLock, irql);
    PCYCLIC_CLIENT client = NULL;
    NTSTATUS status = control->RegisterClient(CYCLIC_CLIENT_WAVE, &m_Format, WAVE_FRAMES_PER_TRANSFER,
                                              WAVE_TRANSFERS, CyclicControlCallback, this, &client);
    if (!NT_SUCCESS(status)) return status;
    m_hClient = client->Registration;
    SetClient(client);  // messages about this client count from now on
    ULONG framesPerTransfer = 0, frameNumber = 0;
    status = control->ClientAcquire(m_hClient, &framesPerTransfer, &frameNumber);
    if (!NT_SUCCESS(status)) {
        control->UnregisterClient(m_hClient);
        SetClient(NULL);
        return status;
    }
    status = control->ClientRun(m_hClient, frameNumber + WAVE_START_FRAME_OFFSET, &framesPerTransfer, NULL);
    if (!NT_SUCCESS(status)) {
        control->ClientRelease(m_hClient);
        control->UnregisterClient(m_hClient);
        SetClient(NULL);
        return status;
    }
    KeAcquireSpinLock(&m_SpinLock, &irql);
    m_llLastCompletion = WaveNow();
    KeReleaseSpinLock(&m_SpinLock, irql);
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportWaveCyclicStream::LeaveRun(ICyclicControl* control) {
    control->ClientStop(m_hClient, NULL);
    control->ClientRelease(m_hClient);
    NTSTATUS status = control->UnregisterClient(m_hClient);
    // No message reaches the stream after the unregistration.
    SetClient(NULL);
    return status;
}

NTSTATUS CMiniportWaveCyclicStream::SetContentId(ULONG contentId, PCDRMRIGHTS rights) {
    if (m_pStreamEngine == NULL) return STATUS_INVALID_DEVICE_STATE;
    IDrmContentForward* forward = NULL;
    NTSTATUS status = m_pStreamEngine->QueryInterface(IID_IDrmContentForward, (PVOID*)&forward);
    if (!NT_SUCCESS(status)) return status;
    status = forward->SetContentId(contentId, rights);
    forward->Release();
    return status;
}

// ---- the DMA channel -------------------------------------------------------------

NTSTATUS CMiniportWaveCyclicStream::AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS) {
    if (bufferSize == 0) return STATUS_INVALID_PARAMETER;
    auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, bufferSize, WAVE_BUFFER_TAG));
    if (buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(buffer, bufferSize);
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    PUCHAR old = m_pBuffer;
    m_pBuffer = buffer;
    m_nAllocatedSize = m_nBufferSize = bufferSize;
    m_nPosition = m_nLastPosition = m_nCurrentTransferBytes = 0;
    KeReleaseSpinLock(&m_SpinLock, irql);
    if (old) ExFreePoolWithTag(old, WAVE_BUFFER_TAG);
    return STATUS_SUCCESS;
}

VOID CMiniportWaveCyclicStream::FreeBuffer() {
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    PUCHAR old = m_pBuffer;
    m_pBuffer = NULL;
    m_nAllocatedSize = 0;
    m_nPosition = 0;
    KeReleaseSpinLock(&m_SpinLock, irql);
    if (old) ExFreePoolWithTag(old, WAVE_BUFFER_TAG);
}

VOID CMiniportWaveCyclicStream::SetBufferSize(ULONG bufferSize) {
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    if (bufferSize < m_nAllocatedSize) m_nBufferSize = bufferSize;
    KeReleaseSpinLock(&m_SpinLock, irql);
}

PHYSICAL_ADDRESS CMiniportWaveCyclicStream::PhysicalAddress() {
    PHYSICAL_ADDRESS address;
    address.QuadPart = 0;
    return address;
}

// Whether [start, start + byteCount) lies within the first limit bytes of
// the buffer (caller holds m_SpinLock).
BOOLEAN CMiniportWaveCyclicStream::InBuffer(PVOID start, ULONG byteCount, ULONG limit) const {
    if (start == NULL || m_pBuffer == NULL) return FALSE;
    ULONG_PTR base = (ULONG_PTR)m_pBuffer, at = (ULONG_PTR)start;
    return at >= base && at - base <= limit && byteCount <= limit - (at - base);
}

VOID CMiniportWaveCyclicStream::Silence(PVOID buffer, ULONG byteCount) {
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    if (InBuffer(buffer, byteCount, m_nAllocatedSize))
        RtlFillMemory(buffer, byteCount, m_Format.Format.wBitsPerSample == 8 ? 0x80 : 0);
    KeReleaseSpinLock(&m_SpinLock, irql);
}

VOID CMiniportWaveCyclicStream::CopyTo(PVOID destination, PVOID source, ULONG byteCount) {
    KeAcquireSpinLockAtDpcLevel(&m_SpinLock);
    if (source != NULL && InBuffer(destination, byteCount, m_nBufferSize)) memcpy(destination, source, byteCount);
    KeReleaseSpinLockFromDpcLevel(&m_SpinLock);
}

VOID CMiniportWaveCyclicStream::CopyFrom(PVOID destination, PVOID source, ULONG byteCount) {
    KeAcquireSpinLockAtDpcLevel(&m_SpinLock);
    if (destination != NULL && InBuffer(source, byteCount, m_nBufferSize)) memcpy(destination, source, byteCount);
    KeReleaseSpinLockFromDpcLevel(&m_SpinLock);
}

// ---- views for tests ---------------------------------------------------------------

template <typename T>
T CMiniportWaveCyclicStream::Locked(const T& member) {
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    T copy = member;
    KeReleaseSpinLock(&m_SpinLock, irql);
    return copy;
}

KSSTATE CMiniportWaveCyclicStream::State() { return Locked(m_State); }
WAVEFORMATEXTENSIBLE CMiniportWaveCyclicStream::Format() { return Locked(m_Format); }
ULONG CMiniportWaveCyclicStream::CopyOffset() { return Locked(m_nCopyOffset); }
ULONG CMiniportWaveCyclicStream::Position() { return Locked(m_nPosition); }
ULONG CMiniportWaveCyclicStream::CurrentTransferBytes() { return Locked(m_nCurrentTransferBytes); }

// ASIO streaming: the selected pins as priority-5 clients of their USB
// streams (register, start, stop, unregister), the stream messages that
// move audio between transfers and rings and signal the buffer switch, the
// start and stop notice of some products, and the stop request that waits
// for D0.
//
// Locks: the operations run under the device lock at PASSIVE_LEVEL; the
// message callbacks run wherever the streams notify (DISPATCH_LEVEL in
// completions) and take only m_AsioSpinLock, which also guards the owner's
// BufferSwitchEvent pointer. Order: device lock, stream mutex, stream spin
// locks, m_AsioSpinLock.
#include "adapter/usb_audio_hal.h"
#include "nt/rtl.h"
#include "stream/asio/asio_pins.h"
#include "stream/asio/asio_ring.h"
#include "stream/usb/cyclic_control.h"
#include "usb/usbd.h"

namespace {

constexpr UCHAR kDsdSilenceAtStop = 0x96;
// Start and stop notice: vendor request to the device, no data.
constexpr UCHAR kNoticeRequest = 0x07;

struct NOTICE_PRODUCT {
    USHORT VendorId;
    USHORT ProductId;
};
// Products that are told when ASIO streaming starts and stops.
const NOTICE_PRODUCT kNoticeProducts[] = {
    {0x0B05, 0x17A8}, {0x0B05, 0x17CD}, {0x0B05, 0x17F3}, {0x1043, 0x8592}, {0x1043, 0x8593},
};

// The pin's stream, referenced; NULL when the engine or the interface is
// missing.
ICyclicControl* StreamOf(IAudioHal* hal, ULONG index) {
    IStreamEngine* engine = NULL;
    if (!NT_SUCCESS(hal->GetStreamEngine(index, &engine)) || engine == NULL) return NULL;
    ICyclicControl* control = NULL;
    if (!NT_SUCCESS(engine->QueryInterface(IID_ICyclicControl, reinterpret_cast<PVOID*>(&control)))) return NULL;
    return control;
}

PCYCLIC_CLIENT ClientOf(const ASIO_PIN* pin) { return __atomic_load_n(&pin->Client, __ATOMIC_ACQUIRE); }

bool Streams(const ASIO_PIN* pin) { return pin->Buffer != NULL && pin->Header.Selected != 0; }

}  // namespace

VOID AsioRingCopy(PUCHAR ring, ULONG size, ULONG* position, PUCHAR transfer, ULONG length, BOOLEAN toTransfer) {
    if (length >= size || *position >= size) return;
    const ULONG first = size - *position < length ? size - *position : length;
    PUCHAR at = ring + *position;
    if (toTransfer) {
        RtlCopyMemory(transfer, at, first);
        RtlCopyMemory(transfer + first, ring, length - first);
    } else {
        RtlCopyMemory(at, transfer, first);
        RtlCopyMemory(ring, transfer + first, length - first);
    }
    *position = (*position + length) % size;
}

// ---- registration ----------------------------------------------------------------

NTSTATUS CUsbAudioHal::AsioRegisterStreams() {
    ASIO_GEOMETRY geometry;
    if (!AsioGeometry(m_Asio.m_nAsioBufferRate, m_Asio.m_nAsioBufferIoFormat, m_Asio.m_nAsioBufferFrames, &geometry))
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_INVALID_PARAMETER;  // no selected pin
    for (ULONG i = 0; i < m_Asio.m_nAsioPinCount; ++i) {
        PASIO_PIN pin = &m_Asio.m_pAsioPins[i];
        if (!Streams(pin)) continue;
        WAVEFORMATEXTENSIBLE format = {};
        status = AsioBuildFormat(i, &format);
        if (!NT_SUCCESS(status)) break;
        ICyclicControl* control = StreamOf(this, i);
        if (control == NULL) {
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        PCYCLIC_CLIENT client = NULL;
        status = control->RegisterClient(CYCLIC_CLIENT_ASIO, &format, geometry.FramesPerTransfer, geometry.Registered,
                                         AsioCyclicControlCallback, this, &client);
        control->Release();
        if (!NT_SUCCESS(status)) break;
        __atomic_store_n(&pin->Client, client, __ATOMIC_RELEASE);
    }
    if (!NT_SUCCESS(status)) AsioUnregisterStreams();
    return status;
}

VOID CUsbAudioHal::AsioUnregisterStreams() {
    for (ULONG i = 0; i < m_Asio.m_nAsioPinCount; ++i) {
        PASIO_PIN pin = &m_Asio.m_pAsioPins[i];
        PCYCLIC_CLIENT client = ClientOf(pin);
        if (pin->Buffer == NULL || client == NULL) continue;
        ICyclicControl* control = StreamOf(this, i);
        if (control == NULL) continue;
        __atomic_store_n(&pin->Client, (PCYCLIC_CLIENT)NULL, __ATOMIC_RELEASE);
        control->UnregisterClient(client->Registration);
        control->Release();
    }
}

// ---- start ----------------------------------------------------------------------

NTSTATUS CUsbAudioHal::AsioStart(PFILE_OBJECT file, const HANDLE* event) {
    DeviceLock.Lock();
    PASIO_CLIENT client;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (event != NULL && AsioFindClient(file, &client) && client == m_Asio.m_pAsioOwner &&
        client->BuffersCreated == 1 && client->BufferSwitchEvent == NULL) {
        PVOID object = NULL;
        status = ObReferenceObjectByHandle(*event, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object, NULL);
        if (NT_SUCCESS(status)) {
            status = AsioStartStreams();
            AsioResetBufferState(static_cast<PKEVENT>(object));
        }
    }
    DeviceLock.Unlock();
    return status;
}

NTSTATUS CUsbAudioHal::AsioStartStreams() {
    NTSTATUS status = STATUS_INVALID_PARAMETER;  // no selected pin
    ULONG frameNumber = 0;
    for (ULONG i = 0; i < m_Asio.m_nAsioPinCount; ++i) {
        PASIO_PIN pin = &m_Asio.m_pAsioPins[i];
        PCYCLIC_CLIENT client = ClientOf(pin);
        if (!Streams(pin) || client == NULL) continue;
        WAVEFORMATEXTENSIBLE format = {};
        status = AsioBuildFormat(i, &format);
        if (!NT_SUCCESS(status)) break;
        ICyclicControl* control = StreamOf(this, i);
        if (control == NULL) {
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        ULONG framesPerTransfer = 0;
        status = control->ClientAcquire(client->Registration, &framesPerTransfer, &frameNumber);
        control->Release();
        if (!NT_SUCCESS(status)) break;
    }
    if (!NT_SUCCESS(status)) {
        AsioRollBackStart();
        return status;
    }
    const ULONG startFrame = frameNumber + 5;
    // Capture first, then render; a failing run ends only its own pass.
    for (ULONG capture : {1u, 0u}) {
        for (ULONG i = 0; i < m_Asio.m_nAsioPinCount; ++i) {
            PASIO_PIN pin = &m_Asio.m_pAsioPins[i];
            PCYCLIC_CLIENT client = ClientOf(pin);
            if (!Streams(pin) || client == NULL || pin->Header.IsInput != capture) continue;
            ICyclicControl* control = StreamOf(this, i);
            if (control == NULL) break;
            ULONG framesPerTransfer = 0;
            NTSTATUS run = control->ClientRun(client->Registration, startFrame, &framesPerTransfer, NULL);
            control->Release();
            if (!NT_SUCCESS(run)) break;
        }
    }
    m_Asio.m_bAsioStreaming = TRUE;
    AsioSendNotice(TRUE);
    return STATUS_SUCCESS;
}

VOID CUsbAudioHal::AsioRollBackStart() {
    for (ULONG i = 0; i < m_Asio.m_nAsioPinCount; ++i) {
        PCYCLIC_CLIENT client = ClientOf(&m_Asio.m_pAsioPins[i]);
        if (client == NULL) continue;
        ICyclicControl* control = StreamOf(this, i);
        if (control == NULL) continue;
        control->ClientStop(client->Registration, NULL);
        control->ClientRelease(client->Registration);
        control->Release();
    }
}

VOID CUsbAudioHal::AsioResetBufferState(PKEVENT bufferSwitchEvent) {
    ASIO_GEOMETRY geometry = {};
    const BOOLEAN known =
        AsioGeometry(m_Asio.m_nAsioBufferRate, m_Asio.m_nAsioBufferIoFormat, m_Asio.m_nAsioBufferFrames, &geometry);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_Asio.m_AsioSpinLock);
    const ULONG width = AsioSampleTypeWidth(m_Asio.m_nAsioBufferSampleType);
    if (width != 0) m_Asio.m_nAsioBytesPerSample = width;
    for (ULONG i = 0; m_Asio.m_pAsioPins != NULL && i < m_Asio.m_nAsioPinCount; ++i) {
        PASIO_PIN pin = &m_Asio.m_pAsioPins[i];
        if (pin->Buffer == NULL) continue;
        ASIO_BUFFER& h = pin->Header;
        h.PeriodCount = h.StartPosition = h.Position = h.RingBytes = 0;
        if (!h.IsInput && known) {
            if (m_Asio.m_nAsioBufferIoFormat == ASIO_IO_FORMAT_DSD) m_Asio.m_nAsioBytesPerSample = 8;
            const ULONG transferBytes =
                h.Channels * m_Asio.m_nAsioBytesPerSample * geometry.FramesPerTransfer * geometry.FramesPerMs;
            if (geometry.Transfers == 2) {
                h.Position = h.StartPosition = h.Size > transferBytes ? h.Size - transferBytes : 0;
                h.RingBytes = 2 * transferBytes;
            } else {
                h.RingBytes = (geometry.Transfers - 1) * transferBytes;
            }
        }
        AsioPublishHeader(pin);
    }
    if (m_Asio.m_pAsioOwner != NULL) m_Asio.m_pAsioOwner->BufferSwitchEvent = bufferSwitchEvent;
    KeReleaseSpinLock(&m_Asio.m_AsioSpinLock, irql);
}

// ---- stop -----------------------------------------------------------------------

PKEVENT CUsbAudioHal::AsioTakeBufferSwitchEvent(PASIO_CLIENT owner) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_Asio.m_AsioSpinLock);
    PKEVENT event = owner->BufferSwitchEvent;
    owner->BufferSwitchEvent = NULL;
    KeReleaseSpinLock(&m_Asio.m_AsioSpinLock, irql);
    return event;
}

// Ends a started owner's streaming, also one stopped by a power-down: the
// event leaves first, so no callback signals it once it is released.
VOID CUsbAudioHal::AsioStopOwner(PASIO_CLIENT owner) {
    PKEVENT event = AsioTakeBufferSwitchEvent(owner);
    if (m_Asio.m_bAsioStreaming) AsioStopStreams();
    m_Asio.m_bAsioStoppedByPowerDown = FALSE;
    if (event == NULL) return;
    KeClearEvent(event);
    ObDereferenceObject(event);
}

NTSTATUS CUsbAudioHal::AsioStop(PFILE_OBJECT file, PIRP irp) {
    DeviceLock.Lock();
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    PASIO_CLIENT client;
    if (PowerState != PowerDeviceD0) {
        if (irp != NULL) status = AsioParkStop(irp);
    } else if (AsioFindClient(file, &client) && client == m_Asio.m_pAsioOwner && client->BufferSwitchEvent != NULL) {
        AsioStopOwner(client);  // the rings are silent from here
        status = STATUS_SUCCESS;
    }
    DeviceLock.Unlock();
    return status;
}

VOID CUsbAudioHal::AsioStopStreams() {
    for (ULONG i = 0; m_Asio.m_pAsioPins != NULL && i < m_Asio.m_nAsioPinCount; ++i) {
        PASIO_PIN pin = &m_Asio.m_pAsioPins[i];
        PCYCLIC_CLIENT client = ClientOf(pin);
        if (!Streams(pin) || client == NULL) continue;
        ICyclicControl* control = StreamOf(this, i);
        if (control == NULL) break;
        control->ClientStop(client->Registration, NULL);
        control->ClientRelease(client->Registration);
        control->Release();
    }
    AsioSilenceRings();
    m_Asio.m_bAsioStreaming = FALSE;
    AsioSendNotice(FALSE);
}

// Fills the streamed rings with silence once their streams are stopped (no
// callback copies any more). A power-down stops the streams this way too:
// when they restart at D0 their first transfers are filled before the
// positions are reset, and must not replay what the ring held before.
VOID CUsbAudioHal::AsioSilenceRings() {
    const UCHAR fill = m_Asio.m_nAsioBufferIoFormat == ASIO_IO_FORMAT_DSD ? kDsdSilenceAtStop : 0;
    for (ULONG i = 0; m_Asio.m_pAsioPins != NULL && i < m_Asio.m_nAsioPinCount; ++i) {
        PASIO_PIN pin = &m_Asio.m_pAsioPins[i];
        if (!Streams(pin)) continue;
        RtlFillMemory(reinterpret_cast<PUCHAR>(pin->Buffer) + sizeof(ASIO_BUFFER), pin->Header.Size, fill);
    }
}

VOID CUsbAudioHal::AsioSendNotice(BOOLEAN start) {
    bool listed = false;
    for (const NOTICE_PRODUCT& p : kNoticeProducts)
        listed = listed || (p.VendorId == m_Transport.VendorId() && p.ProductId == m_Transport.ProductId());
    if (!listed) return;
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_OUT, 0, kNoticeRequest, start ? 1 : 0, 0, NULL, NULL, 0, NULL);
    m_Transport.SubmitUrbSync(&urb);  // the result is ignored
}

// ---- messages ---------------------------------------------------------------------

VOID CUsbAudioHal::AsioCyclicControlCallback(PVOID context, PVOID argument1, PVOID) {
    if (context == NULL || argument1 == NULL) return;
    static_cast<CUsbAudioHal*>(context)->OnAsioCyclicControlMsg(static_cast<const CYCLIC_CONTROL_MSG*>(argument1));
}

VOID CUsbAudioHal::OnAsioCyclicControlMsg(const CYCLIC_CONTROL_MSG* message) {
    PCYCLIC_CLIENT owner = message->pClient;
    if (owner == NULL) return;
    const ULONG pins = __atomic_load_n(&m_Asio.m_nAsioPinCount, __ATOMIC_ACQUIRE);
    for (ULONG i = 0; i < pins; ++i) {
        if (ClientOf(&m_Asio.m_pAsioPins[i]) != owner) continue;
        if (!CyclicClientRunning(owner)) return;
        switch (message->Code) {
            case CYCLIC_MSG_BYTES_DONE: AsioSignalBufferSwitch(i); break;
            case CYCLIC_MSG_RENDER_FILL: AsioCopyToDevice(i, message->Buffer, message->Length); break;
            case CYCLIC_MSG_CAPTURE_DATA: AsioCopyFromDevice(i, message->Buffer, message->Length); break;
            default: break;
        }
        return;
    }
}

VOID CUsbAudioHal::AsioCopyToDevice(ULONG index, PUCHAR buffer, ULONG length) {
    PASIO_PIN pin = &m_Asio.m_pAsioPins[index];
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_Asio.m_AsioSpinLock);
    if (pin->Buffer != NULL && buffer != NULL) {
        AsioRingCopy(reinterpret_cast<PUCHAR>(pin->Buffer) + sizeof(ASIO_BUFFER), pin->Header.Size,
                     &pin->Header.Position, buffer, length, TRUE);
        __atomic_store_n(&pin->Buffer->Position, pin->Header.Position, __ATOMIC_RELAXED);
    }
    KeReleaseSpinLock(&m_Asio.m_AsioSpinLock, irql);
}

VOID CUsbAudioHal::AsioCopyFromDevice(ULONG index, PUCHAR buffer, ULONG length) {
    PASIO_PIN pin = &m_Asio.m_pAsioPins[index];
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_Asio.m_AsioSpinLock);
    if (pin->Buffer != NULL && buffer != NULL) {
        AsioRingCopy(reinterpret_cast<PUCHAR>(pin->Buffer) + sizeof(ASIO_BUFFER), pin->Header.Size,
                     &pin->Header.Position, buffer, length, FALSE);
        __atomic_store_n(&pin->Buffer->Position, pin->Header.Position, __ATOMIC_RELAXED);
    }
    KeReleaseSpinLock(&m_Asio.m_AsioSpinLock, irql);
}

VOID CUsbAudioHal::AsioSignalBufferSwitch(ULONG index) {
    PASIO_PIN pin = &m_Asio.m_pAsioPins[index];
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_Asio.m_AsioSpinLock);
    if (pin->Buffer != NULL) {
        ++pin->Header.PeriodCount;
        __atomic_store_n(&pin->Buffer->PeriodCount, pin->Header.PeriodCount, __ATOMIC_RELAXED);
        PASIO_CLIENT owner = m_Asio.m_pAsioOwner;
        if (pin->Header.SignalsPeriod && owner != NULL && owner->BufferSwitchEvent != NULL)
            KeSetEvent(owner->BufferSwitchEvent, IO_SOUND_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&m_Asio.m_AsioSpinLock, irql);
}

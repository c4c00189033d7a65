// The wave-cyclic stream as a client of the USB stream: the messages it
// hears (format changes, render fills, captured data, completed bytes),
// the copies between the cyclic buffer and the transfers, and the position
// the port reads. Everything here runs under m_SpinLock; the fill, capture
// and completion paths run at DISPATCH_LEVEL and neither allocate nor wait.
#include <cstring>

#include "stream/wave/miniport_wave_cyclic_stream.h"

namespace {

// (a - b) mod m for a, b below m.
ULONG SubtractModulo(ULONG a, ULONGLONG b, ULONG m) {
    return (ULONG)(((ULONGLONG)a + m - b % m) % m);
}

// Copies length bytes between the cyclic buffer at offset and a linear
// block, in two pieces when the range passes the end of the buffer.
void CopyCyclic(PUCHAR cyclic, ULONG size, ULONG offset, PUCHAR linear, ULONG length, bool intoCyclic) {
    ULONG first = size - offset < length ? size - offset : length;
    if (intoCyclic) {
        memcpy(cyclic + offset, linear, first);
        memcpy(cyclic, linear + first, length - first);
    } else {
        memcpy(linear, cyclic + offset, first);
        memcpy(linear + first, cyclic, length - first);
    }
}

BOOLEAN ReadRunning(PCYCLIC_CLIENT client) { return __atomic_load_n(&client->Running, __ATOMIC_ACQUIRE); }

}  // namespace

VOID CMiniportWaveCyclicStream::CyclicControlCallback(PVOID context, PVOID argument1, PVOID) {
    if (context == NULL || argument1 == NULL) return;
    static_cast<CMiniportWaveCyclicStream*>(context)->OnCyclicControlMsg(
        static_cast<const CYCLIC_CONTROL_MSG*>(argument1));
}

VOID CMiniportWaveCyclicStream::OnCyclicControlMsg(const CYCLIC_CONTROL_MSG* message) {
    PCYCLIC_CLIENT own = Client();
    PCYCLIC_CLIENT owner = message->pClient;  // the client that owns the USB stream
    if (own == NULL || owner == NULL) return;
    if (message->Code == CYCLIC_MSG_FORMAT) {
        OnFormatMessage(message);
        return;
    }
    if (!ReadRunning(own)) return;
    switch (message->Code) {
        case CYCLIC_MSG_BYTES_DONE:
            OnBytesDone(message->Bytes, &owner->Format);
            break;
        case CYCLIC_MSG_RENDER_FILL:
            CopyRenderData(message->Buffer, message->Length, owner->Registration == m_hClient, &owner->Format);
            break;
        case CYCLIC_MSG_CAPTURE_DATA:
            // Bytes in another client's layout would be read by Windows in
            // this stream's format: OnBytesDone writes silence instead.
            if (SameLayout(&owner->Format)) CopyCaptureData(message->Buffer, message->Length);
            break;
        default:
            break;
    }
}

BOOLEAN CMiniportWaveCyclicStream::SameByteRate(const WAVEFORMATEXTENSIBLE* clientFormat) const {
    return clientFormat->Format.nAvgBytesPerSec == m_Format.Format.nAvgBytesPerSec;
}

BOOLEAN CMiniportWaveCyclicStream::SameLayout(const WAVEFORMATEXTENSIBLE* f) const {
    return f->Format.nChannels == m_Format.Format.nChannels &&
           f->Format.nSamplesPerSec == m_Format.Format.nSamplesPerSec &&
           f->Format.nBlockAlign == m_Format.Format.nBlockAlign &&
           f->Format.wBitsPerSample == m_Format.Format.wBitsPerSample && StreamFormatTag(f) == StreamFormatTag(&m_Format);
}

// ---- format changes -------------------------------------------------------------

VOID CMiniportWaveCyclicStream::OnFormatMessage(const CYCLIC_CONTROL_MSG* message) {
    const WAVEFORMATEXTENSIBLE* clientFormat = &message->pClient->Format;
    BOOLEAN changed = (message->FramesPerTransfer & CYCLIC_MSG_FORMAT_CHANGED) != 0;
    ULONG framesPerTransfer = message->FramesPerTransfer & ~CYCLIC_MSG_FORMAT_CHANGED;
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    if (memcmp(clientFormat, &m_RunningFormat, sizeof(m_RunningFormat)) != 0) {
        memcpy(&m_RunningFormat, clientFormat, sizeof(m_RunningFormat));
        changed = TRUE;
    }
    if (changed) {
        if (m_pFormatLayer) {
            m_pFormatLayer->ResetAll();
            m_pFormatLayer->SetFormat(clientFormat, &m_Format);
        }
        ContinuePositionLocked(framesPerTransfer, message->Transfers);
    }
    SetRateParts(clientFormat);
    KeReleaseSpinLock(&m_SpinLock, irql);
}

VOID CMiniportWaveCyclicStream::SetRateParts(const WAVEFORMATEXTENSIBLE* clientFormat) {
    m_Rate.Stream = WaveRateParts(m_Format.Format.nAvgBytesPerSec);
    if (!SameByteRate(clientFormat)) {
        m_Rate.Client = WaveRateParts(clientFormat->Format.nAvgBytesPerSec);
        m_Rate.Carry = 0;
    }
}

ULONG CMiniportWaveCyclicStream::ConvertLocked(ULONG clientBytes) { return WaveConvertBytes(&m_Rate, clientBytes); }

// A new running client (a start, a resume, a take-over or a hand-back):
// the port keeps writing from the last position it read, so the position
// goes on from there, on a whole frame, and nothing of the old client's
// transfers is counted again. The render copies start the new client's
// transfers in flight behind it; a capture writes at the position.
VOID CMiniportWaveCyclicStream::ContinuePositionLocked(ULONG framesPerTransfer, ULONG transfers) {
    ULONG size = m_nAllocatedSize;
    ULONG position = 0;
    if (size != 0) {
        ULONG block = m_Format.Format.nBlockAlign ? m_Format.Format.nBlockAlign : 1;
        ULONGLONG up = ((ULONGLONG)m_nLastPosition + block - 1) / block * block;
        position = (ULONG)(up % size);
    }
    m_nPosition = m_nLastPosition = position;
    m_nCurrentTransferBytes = 0;
    m_nSizeRead = m_nSizeWrite = 0;
    memset(m_TransferSizes, 0, sizeof(m_TransferSizes));
    m_llLastCompletion = WaveNow();
    m_nCopyOffset = position;
    if (!m_bCapture && size != 0) {
        // The transfers in flight: 15 ms with the stream's own 5 frames x 3
        // transfers.
        ULONGLONG lead = (ULONGLONG)(m_Format.Format.nSamplesPerSec / 1000) * m_Format.Format.nBlockAlign % size;
        lead = lead * (framesPerTransfer % size) % size;
        lead = lead * (transfers % size) % size;
        m_nCopyOffset = SubtractModulo(position, lead, size);
    }
}

VOID CMiniportWaveCyclicStream::ResetPositionsLocked() {
    m_nPosition = m_nLastPosition = m_nCurrentTransferBytes = 0;
    m_nSizeRead = m_nSizeWrite = 0;
    memset(m_TransferSizes, 0, sizeof(m_TransferSizes));
}

// ---- the data ----------------------------------------------------------------------

VOID CMiniportWaveCyclicStream::CopyRenderData(PUCHAR buffer, ULONG length, BOOLEAN own,
                                              const WAVEFORMATEXTENSIBLE* clientFormat) {
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    ULONG size = m_nAllocatedSize;
    ULONG entry = 0;
    bool record = m_pBuffer != NULL && size != 0;
    if (record && SameByteRate(clientFormat)) {
        if (length >= size) {
            record = false;  // a transfer of a whole buffer or more is not ours to follow
        } else {
            if (own && buffer != NULL) CopyCyclic(m_pBuffer, size, m_nCopyOffset, buffer, length, false);
            m_nCopyOffset = (ULONG)(((ULONGLONG)m_nCopyOffset + length) % size);
            entry = length;
        }
    } else if (record) {
        entry = ConvertLocked(length);  // another client's rate: its time in our bytes
    }
    if (record) PushTransferSize(entry);
    KeReleaseSpinLock(&m_SpinLock, irql);
}

// Appends a filled transfer's size to the ring (caller holds the lock).
VOID CMiniportWaveCyclicStream::PushTransferSize(ULONG bytes) {
    if (m_nSizeRead == m_nSizeWrite) m_nCurrentTransferBytes = bytes;
    m_TransferSizes[m_nSizeWrite] = bytes;
    m_nSizeWrite = (m_nSizeWrite + 1) % WAVE_TRANSFER_RING;
    // A full ring drops its oldest entry rather than look empty.
    if (m_nSizeWrite == m_nSizeRead) m_nSizeRead = (m_nSizeRead + 1) % WAVE_TRANSFER_RING;
}

VOID CMiniportWaveCyclicStream::CopyCaptureData(PUCHAR buffer, ULONG length) {
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    ULONG size = m_nAllocatedSize;
    if (m_pBuffer != NULL && buffer != NULL && length < size) {
        CopyCyclic(m_pBuffer, size, m_nCopyOffset, buffer, length, true);
        m_nCopyOffset = (ULONG)(((ULONGLONG)m_nCopyOffset + length) % size);
    }
    KeReleaseSpinLock(&m_SpinLock, irql);
}

VOID CMiniportWaveCyclicStream::FillSilenceLocked(ULONG offset, ULONG bytes) {
    ULONG size = m_nAllocatedSize;
    if (bytes > size) bytes = size;
    UCHAR fill = m_Format.Format.wBitsPerSample == 8 ? 0x80 : 0;
    ULONG first = size - offset < bytes ? size - offset : bytes;
    memset(m_pBuffer + offset, fill, first);
    memset(m_pBuffer, fill, bytes - first);
    m_nCopyOffset = (ULONG)(((ULONGLONG)offset + bytes) % size);
}

VOID CMiniportWaveCyclicStream::OnBytesDone(ULONG bytes, const WAVEFORMATEXTENSIBLE* clientFormat) {
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    ULONG size = m_nAllocatedSize;
    if (m_pBuffer == NULL || size == 0) {
        KeReleaseSpinLock(&m_SpinLock, irql);
        return;
    }
    if (!SameByteRate(clientFormat)) bytes = ConvertLocked(bytes);
    m_nPosition = (ULONG)(((ULONGLONG)m_nPosition + bytes) % size);
    m_llLastCompletion = WaveNow();
    if (m_bCapture) {
        if (!SameLayout(clientFormat)) FillSilenceLocked(m_nCopyOffset, bytes);
        m_nCurrentTransferBytes = bytes;
    } else {
        if (m_nSizeRead != m_nSizeWrite) m_nSizeRead = (m_nSizeRead + 1) % WAVE_TRANSFER_RING;
        m_nCurrentTransferBytes = m_nSizeRead != m_nSizeWrite ? m_TransferSizes[m_nSizeRead] : 0;
    }
    // Notify only queues the port's DPC, so it may run under the lock.
    if (m_pMiniport && m_pMiniport->Port() && m_pServiceGroup) m_pMiniport->Port()->Notify(m_pServiceGroup);
    KeReleaseSpinLock(&m_SpinLock, irql);
}

// ---- position ---------------------------------------------------------------------------

NTSTATUS CMiniportWaveCyclicStream::GetPosition(PULONG position) {
    if (position == NULL) return STATUS_INVALID_PARAMETER;
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    ULONG size = m_nAllocatedSize;
    if (m_State == KSSTATE_RUN && m_pBuffer != NULL && size != 0) {
        LONGLONG elapsed = WaveNow() - m_llLastCompletion;
        if (elapsed < 0) elapsed = 0;
        // Past the current transfer the cap decides; the bound keeps the
        // product in 64 bits.
        const LONGLONG kBound = 100000LL * 4096;
        if (elapsed > kBound) elapsed = kBound;
        ULONGLONG x = (ULONGLONG)elapsed * m_Format.Format.nAvgBytesPerSec / 100000;
        if (x > m_nCurrentTransferBytes) x = m_nCurrentTransferBytes;
        if (m_bCapture) {
            ULONG r = m_nCurrentTransferBytes - (ULONG)x;
            ULONG block = m_Format.Format.nBlockAlign ? m_Format.Format.nBlockAlign : 1;
            m_nLastPosition = SubtractModulo(m_nPosition % size, r - r % block, size);
        } else {
            m_nLastPosition = (ULONG)(((ULONGLONG)m_nPosition + x) % size);
        }
    }
    *position = m_nLastPosition;
    KeReleaseSpinLock(&m_SpinLock, irql);
    return STATUS_SUCCESS;
}

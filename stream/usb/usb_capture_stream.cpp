// UAC 1.0 capture stream: packet geometry and ring size, the selection
// (whose sampling-rate request must succeed), the IN transfer builder and
// the ring step of each completion.
#include "stream/usb/usb_capture_stream.h"

#include <cstring>

// A capture stream keeps at least this many 1 ms frames in flight.
constexpr ULONG kMinimumFramesInFlight = 10;

CUsbCaptureStream::CUsbCaptureStream(PUNKNOWN outer, ULONG interfaceNumber, ULONG terminalId)
    : CCyclicControl(outer, interfaceNumber, terminalId) {
    m_nFramesPerTransfer = 10;
    KeInitializeSpinLock(&m_RingLock);
}

ULONG CUsbCaptureStream::GetSamplesPerPacket(UCHAR alternateSetting, const WAVEFORMATEX* format) {
    PUSB_ENDPOINT_DESCRIPTOR endpoint = FindDataEndpoint(alternateSetting);
    if (endpoint == NULL || format == NULL || format->nBlockAlign == 0) return 0;
    return endpoint->wMaxPacketSize / format->nBlockAlign;
}

// Each of the N = frames x P packets has a fixed slot of S frames. The ring
// holds 40 ms in whole blocks, and at least one transfer's largest yield
// (every packet a full slot or an empty packet's silence) plus a block, so
// a transfer never overwrites bytes not yet delivered.
NTSTATUS CUsbCaptureStream::ComputeGeometry(PCYCLIC_CLIENT client, UCHAR alternateSetting) {
    const WAVEFORMATEX& format = client->Format.Format;
    if (client->FramesPerTransfer == 0 || client->Transfers == 0 || client->Transfers > CYCLIC_TRANSFER_SLOTS ||
        format.nSamplesPerSec == 0 || format.nBlockAlign == 0)
        return STATUS_INVALID_PARAMETER;
    ULONG packetsPerFrame = GetPacketsPerFrame(alternateSetting);
    ULONG samplesPerPacket = GetSamplesPerPacket(alternateSetting, &format);
    if (packetsPerFrame == 0 || samplesPerPacket == 0) return STATUS_INVALID_PARAMETER;
    ULONG frames = client->FramesPerTransfer, transfers = client->Transfers;
    if (frames * transfers < kMinimumFramesInFlight) {
        transfers = (kMinimumFramesInFlight + frames - 1) / frames;
        client->Transfers = transfers;
    }
    m_nFramesPerTransfer = frames;
    m_nTransfers = transfers;
    m_nPacketsPerFrame = packetsPerFrame;
    m_nSamplesPerPacket = samplesPerPacket;
    m_nBlockAlign = format.nBlockAlign;
    m_nPacketsPerTransfer = frames * packetsPerFrame;
    m_nUrbBytes = sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * m_nPacketsPerTransfer;
    const ULONG slot = samplesPerPacket * m_nBlockAlign;
    m_nDataBytes = slot * m_nPacketsPerTransfer;
    m_nSilenceBytes = ((format.nSamplesPerSec / packetsPerFrame) / 1000 + 1) * m_nBlockAlign;
    ULONG ring = format.nAvgBytesPerSec / 25;
    ring = (ring + m_nBlockAlign - 1) / m_nBlockAlign * m_nBlockAlign;
    ULONG largest = m_nPacketsPerTransfer * (slot > m_nSilenceBytes ? slot : m_nSilenceBytes) + m_nBlockAlign;
    m_nRingSize = ring > largest ? ring : largest;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbCaptureStream::AllocateStreamBlocks() {
    m_pRing = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, m_nRingSize, CAPTURE_RING_TAG);
    return m_pRing ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS CUsbCaptureStream::SelectAlternateSetting(UCHAR alternateSetting, PCYCLIC_CLIENT client) {
    NTSTATUS rateStatus;
    NTSTATUS status = SelectInterface(alternateSetting, client, TRUE, &rateStatus);
    return NT_SUCCESS(status) ? rateStatus : status;
}

NTSTATUS CUsbCaptureStream::SubmitTransfer() {
    KIRQL irql;
    KeAcquireSpinLock(&m_SubmitLock, &irql);
    NTSTATUS status = STATUS_SUCCESS;
    if (!DeviceGone() && IsRunning()) {
        PUSB_TRANSFER_CONTEXT ctx =
            BeginTransfer(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, m_nPacketsPerTransfer);
        if (ctx == NULL) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            auto& iso = ctx->Urb->UrbIsochronousTransfer;
            const ULONG slot = m_nSamplesPerPacket * m_nBlockAlign;
            for (ULONG i = 0; i < m_nPacketsPerTransfer; i++) iso.IsoPacket[i].Offset = i * slot;
            iso.TransferBufferLength = m_nPacketsPerTransfer * slot;
            ctx->Length = iso.TransferBufferLength;
            status = SendTransfer(ctx);
        }
    }
    KeReleaseSpinLock(&m_SubmitLock, irql);
    return status;
}

NTSTATUS CUsbCaptureStream::OnTransferComplete(PDEVICE_OBJECT, PIRP irp, PUSB_TRANSFER_CONTEXT ctx) {
    NTSTATUS irpStatus = irp->IoStatus.Status;
    // Data keep arriving while the stream stops: deliver them too.
    if (NT_SUCCESS(irpStatus)) ProcessCapturedPackets(ctx);
    return FinishTransfer(ctx, irpStatus, ctx->Urb->UrbHeader.Status);
}

VOID CUsbCaptureStream::WriteRing(const UCHAR* source, ULONG bytes) {
    while (bytes > 0) {
        ULONG room = m_nRingSize - m_nRingWritePos;
        ULONG now = bytes < room ? bytes : room;
        if (source) {
            memcpy(m_pRing + m_nRingWritePos, source, now);
            source += now;
        } else {
            memset(m_pRing + m_nRingWritePos, 0, now);
        }
        m_nRingWritePos = (m_nRingWritePos + now) % m_nRingSize;
        bytes -= now;
    }
}

VOID CUsbCaptureStream::DeliverPart(PUCHAR part, ULONG bytes) {
    ProcessData(part, bytes);
    PublishBuffer(CYCLIC_MSG_CAPTURE_DATA, part, bytes);
}

VOID CUsbCaptureStream::ProcessCapturedPackets(PUSB_TRANSFER_CONTEXT ctx) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_RingLock);
    if (m_pRing != NULL && m_nRingSize != 0 && m_nBlockAlign != 0) {
        const auto& iso = ctx->Urb->UrbIsochronousTransfer;
        const ULONG slot = m_nSamplesPerPacket * m_nBlockAlign;
        ULONG packets = iso.NumberOfPackets < m_nPacketsPerTransfer ? iso.NumberOfPackets : m_nPacketsPerTransfer;
        for (ULONG i = 0; i < packets; i++) {
            const USBD_ISO_PACKET_DESCRIPTOR& packet = iso.IsoPacket[i];
            if (packet.Length == 0) {
                if (USBD_SUCCESS(packet.Status)) WriteRing(NULL, m_nSilenceBytes);
                continue;
            }
            ULONG offset = packet.Offset, length = packet.Length < slot ? packet.Length : slot;
            if (offset >= m_nDataBytes) continue;
            if (length > m_nDataBytes - offset) length = m_nDataBytes - offset;
            WriteRing(ctx->Buffer + offset, length);
        }
        ULONG available = (m_nRingSize - m_nRingReadPos + m_nRingWritePos) % m_nRingSize;
        available -= available % m_nBlockAlign;
        if (available != 0) {
            ULONG first = m_nRingSize - m_nRingReadPos;
            if (available > first) {
                DeliverPart(m_pRing + m_nRingReadPos, first);
                DeliverPart(m_pRing, available - first);
            } else {
                DeliverPart(m_pRing + m_nRingReadPos, available);
            }
            PublishBytesDone(available);
            m_nRingReadPos = (m_nRingReadPos + available) % m_nRingSize;
        }
    }
    KeReleaseSpinLock(&m_RingLock, irql);
}

// UAC 2.0 capture stream: the ring (tag "US20") and the clock before the
// selection, a selection without sampling-rate request, and the delivery
// of each completed transfer's whole frames.
#include "stream/usb/usb_capture_stream_ex.h"

CUsbCaptureStreamEx::CUsbCaptureStreamEx(PUNKNOWN outer, ULONG interfaceNumber, ULONG terminalId, ULONG clockUnitId)
    : CUsbCaptureStream(outer, interfaceNumber, terminalId), m_nClockUnitId(clockUnitId) {}

NTSTATUS CUsbCaptureStreamEx::AllocateStreamBlocks() {
    m_pRing = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, m_nRingSize, UAC2_REQUEST_TAG);
    if (m_pRing == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    return SetClockSourceRate(m_nClockUnitId, m_nSampleRate);
}

NTSTATUS CUsbCaptureStreamEx::SelectAlternateSetting(UCHAR alternateSetting, PCYCLIC_CLIENT client) {
    return SelectInterfaceWithoutRate(alternateSetting, client, TRUE);
}

BOOLEAN CUsbCaptureStreamEx::IsAltSettingValid(UCHAR alternateSetting, ULONG) {
    return Uac2AltSettingValid(m_pDevice, m_nInterfaceNumber, alternateSetting);
}

// Under m_RingLock (DISPATCH_LEVEL), the clients' callbacks included. Each
// packet gives its whole frames, at most its slot (the bus reports the
// lengths); an empty packet without error stands for a packet's silence.
// The bytes go in at the write position and out to the clients at once,
// in two pieces when they wrap: the ring only bounds what one transfer
// may bring.
VOID CUsbCaptureStreamEx::ProcessCapturedPackets(PUSB_TRANSFER_CONTEXT ctx) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_RingLock);
    if (m_pRing != NULL && m_nRingSize != 0 && m_nBlockAlign != 0) {
        const auto& iso = ctx->Urb->UrbIsochronousTransfer;
        const ULONG slot = m_nSamplesPerPacket * m_nBlockAlign;
        const ULONG packets = iso.NumberOfPackets < m_nPacketsPerTransfer ? iso.NumberOfPackets : m_nPacketsPerTransfer;
        const ULONG start = m_nRingWritePos;
        ULONG total = 0;
        for (ULONG i = 0; i < packets; i++) {
            const USBD_ISO_PACKET_DESCRIPTOR& packet = iso.IsoPacket[i];
            if (packet.Length == 0) {
                if (USBD_SUCCESS(packet.Status)) {
                    WriteRing(NULL, m_nSilenceBytes);
                    total += m_nSilenceBytes;
                }
                continue;
            }
            if (packet.Offset >= m_nDataBytes) continue;
            ULONG length = packet.Length < slot ? packet.Length : slot;
            if (length > m_nDataBytes - packet.Offset) length = m_nDataBytes - packet.Offset;
            length -= length % m_nBlockAlign;
            WriteRing(ctx->Buffer + packet.Offset, length);
            total += length;
        }
        if (total != 0) {
            if (start + total > m_nRingSize) {
                DeliverPart(m_pRing + start, m_nRingSize - start);
                DeliverPart(m_pRing, total - (m_nRingSize - start));
            } else {
                DeliverPart(m_pRing + start, total);
            }
            PublishBytesDone(total);
        }
    }
    KeReleaseSpinLock(&m_RingLock, irql);
}

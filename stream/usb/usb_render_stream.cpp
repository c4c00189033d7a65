// UAC 1.0 render stream: packet geometry, the sampling-rate selection, the
// transfer builder and its completion.
#include "stream/usb/usb_render_stream.h"

#include <cstring>

#include "nt/dbg.h"

RENDER_PACKET_SIZES RenderPacketSizes(ULONG rate, ULONG packetsPerFrame) {
    RENDER_PACKET_SIZES sizes;
    sizes.Unit = packetsPerFrame * 1000;
    sizes.Base = rate / sizes.Unit;
    sizes.Remainder = rate - sizes.Base * sizes.Unit;
    sizes.Largest = sizes.Base + (sizes.Remainder != 0 ? 1 : 0);
    return sizes;
}

CUsbRenderStream::CUsbRenderStream(PUNKNOWN outer, ULONG interfaceNumber, ULONG terminalId)
    : CCyclicControl(outer, interfaceNumber, terminalId) {
    m_nFramesPerTransfer = 10;
}

// P packets per 1 ms frame of S = rate / (P x 1000) samples, plus one more
// whenever the remainder accumulator passes P x 1000; the data block holds
// S + 1 samples for every packet.
NTSTATUS CUsbRenderStream::ComputeGeometry(PCYCLIC_CLIENT client, UCHAR alternateSetting) {
    const WAVEFORMATEX& format = client->Format.Format;
    if (client->FramesPerTransfer == 0 || client->Transfers == 0 || client->Transfers > CYCLIC_TRANSFER_SLOTS ||
        format.nSamplesPerSec == 0 || format.nBlockAlign == 0)
        return STATUS_INVALID_PARAMETER;
    ULONG packetsPerFrame = GetPacketsPerFrame(alternateSetting);
    if (packetsPerFrame == 0) return STATUS_INVALID_PARAMETER;
    m_nFramesPerTransfer = client->FramesPerTransfer;
    m_nTransfers = client->Transfers;
    m_nPacketsPerFrame = packetsPerFrame;
    m_nSampleRate = format.nSamplesPerSec;
    m_nSamplesPerPacket = RenderPacketSizes(m_nSampleRate, packetsPerFrame).Base;
    m_nBlockAlign = format.nBlockAlign;
    m_nPacketsPerTransfer = m_nFramesPerTransfer * packetsPerFrame;
    m_nUrbBytes = sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * m_nPacketsPerTransfer;
    ULONG perFrame = (m_nSampleRate / 1000) / packetsPerFrame * packetsPerFrame + packetsPerFrame;
    m_nDataBytes = perFrame * m_nBlockAlign * m_nFramesPerTransfer;
    return STATUS_SUCCESS;
}

ULONG CUsbRenderStream::LargestPacketBytes(const WAVEFORMATEX& format, UCHAR alternateSetting) {
    const ULONG packetsPerFrame = GetPacketsPerFrame(alternateSetting);
    if (packetsPerFrame == 0) return 0;
    return RenderPacketSizes(format.nSamplesPerSec, packetsPerFrame).Largest * format.nBlockAlign;
}

NTSTATUS CUsbRenderStream::SelectAlternateSetting(UCHAR alternateSetting, PCYCLIC_CLIENT client) {
    NTSTATUS rateStatus;
    // A device that refuses the sampling rate still plays.
    return SelectInterface(alternateSetting, client, FALSE, &rateStatus);
}

NTSTATUS CUsbRenderStream::SubmitTransfer() {
    KIRQL irql;
    KeAcquireSpinLock(&m_SubmitLock, &irql);
    NTSTATUS status = STATUS_SUCCESS;
    if (!DeviceGone() && IsRunning()) status = BuildTransfer();
    KeReleaseSpinLock(&m_SubmitLock, irql);
    return status;
}

NTSTATUS CUsbRenderStream::BuildTransfer() {
    ULONG bytes = 0;
    PUSB_TRANSFER_CONTEXT ctx = FillTransfer(&bytes);
    if (ctx == NULL) return STATUS_BUFFER_TOO_SMALL;
    ctx->Length = bytes;
    return SendTransfer(ctx);
}

PUSB_TRANSFER_CONTEXT CUsbRenderStream::FillTransfer(ULONG* bytes) {
    PUSB_TRANSFER_CONTEXT ctx = BeginTransfer(USBD_TRANSFER_DIRECTION_OUT, m_nPacketsPerTransfer);
    if (ctx == NULL) return NULL;
    auto& iso = ctx->Urb->UrbIsochronousTransfer;
    const RENDER_PACKET_SIZES sizes = RenderPacketSizes(m_nSampleRate, m_nPacketsPerFrame);
    ULONG offset = 0;
    for (ULONG i = 0; i < m_nPacketsPerTransfer; i++) {
        m_nRateRemainder += (LONG)sizes.Remainder;
        ULONG extra = (ULONG)m_nRateRemainder / sizes.Unit;
        m_nRateRemainder %= (LONG)sizes.Unit;
        ULONG length = (sizes.Base + extra) * m_nBlockAlign;
        iso.IsoPacket[i].Offset = offset;
        iso.IsoPacket[i].Length = length;
        offset += length;
    }
    iso.TransferBufferLength = offset;
    // Whatever the owner does not fill goes out as silence.
    memset(ctx->Buffer, 0, offset);
    PublishBuffer(CYCLIC_MSG_RENDER_FILL, ctx->Buffer, offset);
    ProcessData(ctx->Buffer, offset);
    *bytes = offset;
    return ctx;
}

NTSTATUS CUsbRenderStream::OnTransferComplete(PDEVICE_OBJECT, PIRP irp, PUSB_TRANSFER_CONTEXT ctx) {
    NTSTATUS irpStatus = irp->IoStatus.Status;
    if (IsRunning() && (irpStatus == STATUS_DEVICE_NOT_CONNECTED || irpStatus == STATUS_NO_SUCH_DEVICE))
        SetDeviceGone(TRUE);
    // Every transfer the owner filled is accounted for, whatever its fate.
    PublishBytesDone(ConsumedBytes(ctx));
    auto& iso = ctx->Urb->UrbIsochronousTransfer;
    USBD_STATUS urbStatus = iso.Hdr.Status;
    ULONG packets = iso.NumberOfPackets < m_nPacketsPerTransfer ? iso.NumberOfPackets : m_nPacketsPerTransfer;
    for (ULONG i = 0; i < packets && USBD_SUCCESS(urbStatus); i++)
        if (USBD_ERROR(iso.IsoPacket[i].Status)) urbStatus = iso.IsoPacket[i].Status;
    if (irpStatus != STATUS_CANCELLED)
        NoteTransferResult(!NT_SUCCESS(irpStatus) || USBD_ERROR(urbStatus), irpStatus, urbStatus);
    return FinishTransfer(ctx, irpStatus, urbStatus);
}

// A cancelled transfer (the stream stopping) is neither a failure nor the
// end of a run of them.
VOID CUsbRenderStream::NoteTransferResult(BOOLEAN failed, NTSTATUS irpStatus, USBD_STATUS urbStatus) {
    if (!failed) {
        InterlockedExchange(&m_bFailing, 0);
        return;
    }
    const LONG failures = InterlockedIncrement(&m_nFailedTransfers);
    if (InterlockedExchange(&m_bFailing, 1) == 0)
        DbgPrint("render stream of interface %u: transfers failing (status %x, USBD status %x), %d failed so far\n",
                 (unsigned)m_nInterfaceNumber, (unsigned)irpStatus, (unsigned)urbStatus, (int)failures);
}

// CUsbRenderStream: the USB stream of an isochronous OUT endpoint of a USB
// Audio Class 1.0 device. Open selects the owner's alternate setting and
// sends the sampling rate (a refusal is ignored: such devices still play);
// every transfer is split into packets that follow the nominal rate
// exactly over time (44.1 kHz at full speed: nine packets of 44 samples,
// then one of 45), filled by the owner (CYCLIC_MSG_RENDER_FILL), run
// through the data path and sent; every completion, failed or not, is
// reported with CYCLIC_MSG_BYTES_DONE. Failed transfers are also counted
// (FailedTransfers), and one debugger line marks the start of each run of
// them.
#pragma once

#include "stream/usb/cyclic_control.h"

// Pool tag of the UAC 1.0 parser's stream objects.
inline constexpr ULONG UAC1_STREAM_TAG = MakePoolTag("UAC1");

// Packet sizes, in samples, of a render stream at rate Hz with P packets
// per 1 ms frame (P > 0): every packet carries Base samples, and one more
// whenever the remainder accumulator, grown by Remainder per packet, passes
// Unit = P x 1000. Largest is what the biggest packet carries: Base + 1
// exactly when the rate leaves a remainder. Rates up to 2^24 - 1 Hz.
typedef struct _RENDER_PACKET_SIZES {
    ULONG Base;
    ULONG Remainder;
    ULONG Unit;
    ULONG Largest;
} RENDER_PACKET_SIZES;
RENDER_PACKET_SIZES RenderPacketSizes(ULONG rate, ULONG packetsPerFrame);

class CUsbRenderStream : public CCyclicControl {
public:
    CUsbRenderStream(PUNKNOWN outer, ULONG interfaceNumber, ULONG terminalId);
    ~CUsbRenderStream() override { StopWorker(); }

    // A stream opened anew begins without a run of failures.
    NTSTATUS Open(PCYCLIC_CLIENT client, PULONG frameNumber) override {
        InterlockedExchange(&m_bFailing, 0);
        return OpenStream(client, frameNumber);
    }
    NTSTATUS SelectAlternateSetting(UCHAR alternateSetting, PCYCLIC_CLIENT client) override;
    // DISPATCH_LEVEL under m_SubmitLock; STATUS_BUFFER_TOO_SMALL when every
    // context is in flight.
    NTSTATUS SubmitTransfer() override;
    NTSTATUS OnTransferComplete(PDEVICE_OBJECT device, PIRP irp, PUSB_TRANSFER_CONTEXT context) override;

    ULONG SampleRate() const { return m_nSampleRate; }
    // Bytes of the largest packet this stream would send for format on the
    // setting; 0 when the setting cannot be streamed at all (Open refuses
    // it).
    ULONG LargestPacketBytes(const WAVEFORMATEX& format, UCHAR alternateSetting) override;
    // Transfers that failed (IRP, URB or packet status) since the stream
    // was made. They still count as done, so the position moves on.
    ULONG FailedTransfers() const { return __atomic_load_n(&m_nFailedTransfers, __ATOMIC_ACQUIRE); }

protected:
    NTSTATUS ComputeGeometry(PCYCLIC_CLIENT client, UCHAR alternateSetting) override;
    // Open and Restart begin the packet-size pattern afresh.
    VOID ResetStreamCounters() override { m_nRateRemainder = 0; }
    // Claims a context, lays out its packets, clears and fills the buffer
    // (CYCLIC_MSG_RENDER_FILL) and runs the data path; *bytes: the sum of
    // the packet lengths. NULL when every context is in flight.
    PUSB_TRANSFER_CONTEXT FillTransfer(ULONG* bytes);
    // FillTransfer, then the whole buffer goes out.
    NTSTATUS BuildTransfer();
    // Bytes of the owner's format a completed transfer consumed.
    virtual ULONG ConsumedBytes(PUSB_TRANSFER_CONTEXT context) { return context->Length; }

    ULONG m_nSampleRate;
    // Remainder of the packet sizes, in samples x packets per second.
    LONG m_nRateRemainder;
    // Completion side (DISPATCH_LEVEL, any processor): the failure count and
    // whether the last completed transfer failed, so that a run of failures
    // is logged once, when it starts.
    volatile LONG m_nFailedTransfers = 0;
    volatile LONG m_bFailing = 0;

private:
    VOID NoteTransferResult(BOOLEAN failed, NTSTATUS irpStatus, USBD_STATUS urbStatus);
};

// CUsbRenderStream: the USB stream of an isochronous OUT endpoint of a USB
// Audio Class 1.0 device. Open selects the owner's alternate setting and
// sends the sampling rate (a refusal is ignored: such devices still play);
// every transfer is split into packets that follow the nominal rate
// exactly over time (44.1 kHz at full speed: nine packets of 44 samples,
// then one of 45), filled by the owner (CYCLIC_MSG_RENDER_FILL), run
// through the data path and sent; every completion, failed or not, is
// reported with CYCLIC_MSG_BYTES_DONE.
#pragma once

#include "stream/usb/cyclic_control.h"

// Pool tag of the UAC 1.0 parser's stream objects.
inline constexpr ULONG UAC1_STREAM_TAG = MakePoolTag("UAC1");

class CUsbRenderStream : public CCyclicControl {
public:
    CUsbRenderStream(PUNKNOWN outer, ULONG interfaceNumber, ULONG terminalId);
    ~CUsbRenderStream() override { StopWorker(); }

    NTSTATUS Open(PCYCLIC_CLIENT client, PULONG frameNumber) override { return OpenStream(client, frameNumber); }
    NTSTATUS SelectAlternateSetting(UCHAR alternateSetting, PCYCLIC_CLIENT client) override;
    // DISPATCH_LEVEL under m_SubmitLock; STATUS_BUFFER_TOO_SMALL when every
    // context is in flight.
    NTSTATUS SubmitTransfer() override;
    NTSTATUS OnTransferComplete(PDEVICE_OBJECT device, PIRP irp, PUSB_TRANSFER_CONTEXT context) override;

    ULONG SampleRate() const { return m_nSampleRate; }

protected:
    NTSTATUS ComputeGeometry(PCYCLIC_CLIENT client, UCHAR alternateSetting) override;
    // Open and Restart begin the packet-size pattern afresh.
    VOID ResetStreamCounters() override { m_nRateRemainder = 0; }
    NTSTATUS BuildTransfer();

    ULONG m_nSampleRate;
    // Remainder of the packet sizes, in samples x packets per second.
    LONG m_nRateRemainder;
};

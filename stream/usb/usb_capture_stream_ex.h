// CUsbCaptureStreamEx: the USB stream of an isochronous IN endpoint of a
// USB Audio Class 2.0 device. It works like the UAC 1.0 capture stream, but
// the sampling rate is set on the clock source that clocks the stream's
// terminal (Open, before the alternate setting is selected), the selection
// sends no rate, and each completed transfer is delivered as it arrived:
// its whole frames go into the ring and straight on to the clients
// (CYCLIC_MSG_CAPTURE_DATA, two when the ring wraps, then one
// CYCLIC_MSG_BYTES_DONE).
#pragma once

#include "stream/usb/usb_async_render_stream.h"
#include "stream/usb/usb_capture_stream.h"

class CUsbCaptureStreamEx : public CUsbCaptureStream {
public:
    CUsbCaptureStreamEx(PUNKNOWN outer, ULONG interfaceNumber, ULONG terminalId, ULONG clockUnitId);
    ~CUsbCaptureStreamEx() override { StopWorker(); }

    NTSTATUS SelectAlternateSetting(UCHAR alternateSetting, PCYCLIC_CLIENT client) override;
    BOOLEAN IsAltSettingValid(UCHAR alternateSetting, ULONG samplingRate) override;
    VOID ProcessCapturedPackets(PUSB_TRANSFER_CONTEXT context) override;

    ULONG ClockUnitId() const { return m_nClockUnitId; }

protected:
    NTSTATUS AllocateStreamBlocks() override;
    // The ring step needs the format's rate for the clock.
    NTSTATUS ComputeGeometry(PCYCLIC_CLIENT client, UCHAR alternateSetting) override {
        m_nSampleRate = client->Format.Format.nSamplesPerSec;
        return CUsbCaptureStream::ComputeGeometry(client, alternateSetting);
    }

    ULONG m_nClockUnitId;
    ULONG m_nSampleRate = 0;
};

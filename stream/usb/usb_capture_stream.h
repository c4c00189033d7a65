// CUsbCaptureStream: the USB stream of an isochronous IN endpoint of a USB
// Audio Class 1.0 device. It keeps at least 10 ms of IN transfers in
// flight, gathers the received packets into a ring (40 ms, and never less
// than one transfer and a block), runs the data path over every whole
// block that arrived and hands the blocks to the clients
// (CYCLIC_MSG_CAPTURE_DATA, two when the range wraps, then one
// CYCLIC_MSG_BYTES_DONE). A device that refuses the sampling rate cannot
// be opened.
#pragma once

#include "stream/usb/cyclic_control.h"

inline constexpr ULONG CAPTURE_RING_TAG = MakePoolTag("US10");

class CUsbCaptureStream : public CCyclicControl {
public:
    CUsbCaptureStream(PUNKNOWN outer, ULONG interfaceNumber, ULONG terminalId);
    ~CUsbCaptureStream() override { StopWorker(); }

    NTSTATUS Open(PCYCLIC_CLIENT client, PULONG frameNumber) override { return OpenStream(client, frameNumber); }
    NTSTATUS SelectAlternateSetting(UCHAR alternateSetting, PCYCLIC_CLIENT client) override;
    NTSTATUS SubmitTransfer() override;
    NTSTATUS OnTransferComplete(PDEVICE_OBJECT device, PIRP irp, PUSB_TRANSFER_CONTEXT context) override;

    // The ring step of a completed transfer, under m_RingLock (DISPATCH_LEVEL).
    // Packet lengths and offsets come back from the bus: each copy is
    // clamped to its packet's slot and to the transfer buffer.
    virtual VOID ProcessCapturedPackets(PUSB_TRANSFER_CONTEXT context);
    // wMaxPacketSize (all 16 bits) of the setting's isochronous data
    // endpoint in whole frames of format; 0 without such an endpoint.
    ULONG GetSamplesPerPacket(UCHAR alternateSetting, const WAVEFORMATEX* format);

    ULONG RingSize() const { return m_nRingSize; }
    ULONG SilenceBytes() const { return m_nSilenceBytes; }

protected:
    NTSTATUS ComputeGeometry(PCYCLIC_CLIENT client, UCHAR alternateSetting) override;
    NTSTATUS AllocateStreamBlocks() override;
    VOID ResetStreamCounters() override { m_nRingReadPos = m_nRingWritePos = 0; }
    VOID WriteRing(const UCHAR* source, ULONG bytes);
    VOID DeliverPart(PUCHAR part, ULONG bytes);

    KSPIN_LOCK m_RingLock;
    ULONG m_nSilenceBytes;
};

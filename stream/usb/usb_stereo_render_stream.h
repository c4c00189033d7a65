// CUsbStereoRenderStream: the render stream of UAC 1.0 chip family C.
// Its clients and processing nodes work on N channels (the family offers
// 8-channel formats whatever the endpoint carries); after the data path
// every block runs through the stream limiter (common gain over all N
// channels) and only channels 0 and 1 of each frame go on the wire, in
// place in the transfer buffer: a packet of k frames is k x nBlockAlign x
// 2 / N bytes. Completions report the bytes of the N-channel format the
// transfer consumed.
//
// N must be even and 2 to 8 (Open refuses others). Samples of 16, 24
// (packed or in 32-bit containers) and 32 bits are reduced; any other
// sample size leaves the buffer as it is, with the wire lengths still
// divided by N / 2.
#pragma once

#include "stream/usb/usb_render_stream.h"

class CUsbStereoRenderStream : public CUsbRenderStream {
public:
    CUsbStereoRenderStream(PUNKNOWN outer, ULONG interfaceNumber, ULONG terminalId);
    ~CUsbStereoRenderStream() override { StopWorker(); }

    // STATUS_INVALID_PARAMETER for an odd channel count or one outside 2..8.
    NTSTATUS Open(PCYCLIC_CLIENT client, PULONG frameNumber) override;
    NTSTATUS SubmitTransfer() override;
    // Wire bytes of the largest packet: the N-channel packet x 2 / N.
    ULONG LargestPacketBytes(const WAVEFORMATEX& format, UCHAR alternateSetting) override;

protected:
    ULONG ConsumedBytes(PUSB_TRANSFER_CONTEXT context) override;
    // The limiter over bytes of the current format, in chunks of at most
    // 512 frames; a format the data path refuses is left alone.
    VOID LimitBlock(PUCHAR buffer, ULONG bytes);
    // Frames' first two samples packed to the front of buffer.
    VOID ReduceToStereo(PUCHAR buffer, ULONG frames);
    // N / 2 of the current format (1 when it has no valid N).
    ULONG WireDivisor() const;
};

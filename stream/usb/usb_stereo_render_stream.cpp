// Chip family C's render stream: limiter pass and stereo reduction.
#include "stream/usb/usb_stereo_render_stream.h"

#include <xmmintrin.h>

#include <cstring>

#include "dsp/limiter.h"

namespace {

constexpr ULONG kChunkFrames = 512;
constexpr unsigned kMxcsrFlushToZero = 0x8000;
constexpr unsigned kMxcsrRoundingMask = 0x6000;

bool WireChannelsValid(ULONG channels) { return channels >= 2 && channels <= 8 && channels % 2 == 0; }

}  // namespace

CUsbStereoRenderStream::CUsbStereoRenderStream(PUNKNOWN outer, ULONG interfaceNumber, ULONG terminalId)
    : CUsbRenderStream(outer, interfaceNumber, terminalId) {
    m_nFramesPerTransfer = 10;
}

NTSTATUS CUsbStereoRenderStream::Open(PCYCLIC_CLIENT client, PULONG frameNumber) {
    if (client == NULL || !WireChannelsValid(client->Format.Format.nChannels)) return STATUS_INVALID_PARAMETER;
    return CUsbRenderStream::Open(client, frameNumber);
}

ULONG CUsbStereoRenderStream::LargestPacketBytes(const WAVEFORMATEX& format, UCHAR alternateSetting) {
    if (!WireChannelsValid(format.nChannels)) return 0;
    return CUsbRenderStream::LargestPacketBytes(format, alternateSetting) / (format.nChannels / 2u);
}

ULONG CUsbStereoRenderStream::WireDivisor() const {
    const ULONG channels = m_CurrentWaveFormat.Format.nChannels;
    return WireChannelsValid(channels) ? channels / 2 : 1;
}

ULONG CUsbStereoRenderStream::ConsumedBytes(PUSB_TRANSFER_CONTEXT context) { return WireDivisor() * context->Length; }

NTSTATUS CUsbStereoRenderStream::SubmitTransfer() {
    KIRQL irql;
    KeAcquireSpinLock(&m_SubmitLock, &irql);
    NTSTATUS status = STATUS_SUCCESS;
    if (!DeviceGone() && IsRunning()) {
        ULONG bytes = 0;
        PUSB_TRANSFER_CONTEXT ctx = FillTransfer(&bytes);
        if (ctx == NULL) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            LimitBlock(ctx->Buffer, bytes);
            const ULONG blockAlign = m_CurrentWaveFormat.Format.nBlockAlign;
            ReduceToStereo(ctx->Buffer, blockAlign != 0 ? bytes / blockAlign : 0);
            const ULONG divisor = WireDivisor();
            auto& iso = ctx->Urb->UrbIsochronousTransfer;
            for (ULONG i = 0; i < m_nPacketsPerTransfer; i++) {
                iso.IsoPacket[i].Offset /= divisor;
                iso.IsoPacket[i].Length /= divisor;
            }
            iso.TransferBufferLength = bytes / divisor;
            ctx->Length = bytes / divisor;
            status = SendTransfer(ctx);
        }
    }
    KeReleaseSpinLock(&m_SubmitLock, irql);
    return status;
}

// The data path's floating-point setup (flush-to-zero, round to nearest,
// the caller's control word restored) and its lock over the float buffers.
VOID CUsbStereoRenderStream::LimitBlock(PUCHAR buffer, ULONG bytes) {
    const ULONG blockAlign = m_CurrentWaveFormat.Format.nBlockAlign;
    if (m_pLimiter == NULL || buffer == NULL || blockAlign == 0) return;
    if (StreamFormatTag(&m_CurrentWaveFormat) != WAVE_FORMAT_PCM) return;
    const unsigned saved = _mm_getcsr();
    _mm_setcsr((saved & ~kMxcsrRoundingMask) | kMxcsrFlushToZero);
    KIRQL irql;
    KeAcquireSpinLock(&m_SpinLock, &irql);
    if (PcmPathUsable()) {
        const ULONG frames = bytes / blockAlign;
        for (ULONG done = 0; done < frames;) {
            const ULONG n = frames - done < kChunkFrames ? frames - done : kChunkFrames;
            PUCHAR chunk = buffer + done * blockAlign;
            PcmToFloat(chunk, n);
            m_pLimiter->Process(m_ppfChannels, (int)n);
            FloatToPcm(chunk, n);
            done += n;
        }
    }
    KeReleaseSpinLock(&m_SpinLock, irql);
    _mm_setcsr(saved);
}

// Frame j's first two samples move to position j of a 2-channel layout.
// The destination never passes the source, and memmove reads a frame's
// samples before it writes them.
VOID CUsbStereoRenderStream::ReduceToStereo(PUCHAR buffer, ULONG frames) {
    const WAVEFORMATEX& f = m_CurrentWaveFormat.Format;
    ULONG copy = 0, stride = 0;
    switch (f.wBitsPerSample) {
    case 16: copy = 4; stride = f.nChannels * 2u; break;
    case 24: copy = 6; stride = f.nBlockAlign; break;
    case 32: copy = 8; stride = f.nChannels * 4u; break;
    default: return;
    }
    for (ULONG j = 0; j < frames; j++) memmove(buffer + j * copy, buffer + j * stride, copy);
}

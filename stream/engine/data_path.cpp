// The block data path: integer PCM is converted to float, one buffer per
// channel (full scale +-1.0), run through the processing nodes in chunks of
// at most 512 frames and converted back into the same buffer; other formats
// reach the DSP nodes as raw bytes.
//
// Numerics: 16- and 32-bit output truncates toward zero and saturates,
// 24-bit output rounds to nearest (ties to even) and saturates. For the
// whole call the SSE control state is flush-to-zero, round-to-nearest; the
// caller's state is restored. Nothing is allocated here: the work buffers
// (4096 interleaved floats, 8 channels of 512) are the engine's.
//
// IRQL: ProcessData runs at DISPATCH_LEVEL (the USB completion and submit
// paths) and takes m_SpinLock; the caller's spin lock is taken before it.
#include <xmmintrin.h>

#include <cstring>

#include "nt/dbg.h"
#include "primitives/convert/entry_table_a.h"
#include "stream/engine/stream_engine.h"

namespace {

// A chunk's samples as the conversions take them. The conversions read and
// write samples at any byte address, so no alignment is claimed: the cast
// goes through void*.
template <typename Sample>
Sample* SamplesAt(PUCHAR chunk) {
    return static_cast<Sample*>(static_cast<void*>(chunk));
}

constexpr unsigned kMxcsrFlushToZero = 0x8000;
constexpr unsigned kMxcsrRoundingMask = 0x6000;  // 00: round to nearest

// Flush-to-zero and round-to-nearest for a scope; the other control bits
// and the caller's state survive.
class FloatControlScope {
public:
    FloatControlScope() : m_Saved(_mm_getcsr()) {
        _mm_setcsr((m_Saved & ~kMxcsrRoundingMask) | kMxcsrFlushToZero);
    }
    ~FloatControlScope() { _mm_setcsr(m_Saved); }
    FloatControlScope(const FloatControlScope&) = delete;
    FloatControlScope& operator=(const FloatControlScope&) = delete;

private:
    unsigned m_Saved;
};

bool ListEmpty(CList* list) { return list == NULL || list->IsEmpty(); }

const char kPartialFrameMessage[] = "0 != lBufSize(%d) Div m_CurrentWaveFormat.Format.nBlockAlign(%d) \n";

// STATUS_SUCCESS when bufferSize is whole frames of blockAlign; prints the
// debugger message otherwise. A zero block alignment (no stream format)
// processes nothing.
NTSTATUS CheckWholeFrames(ULONG bufferSize, USHORT blockAlign) {
    if (blockAlign == 0) return STATUS_NOT_SUPPORTED;
    if (bufferSize % blockAlign != 0) {
        DbgPrint(kPartialFrameMessage, (int)bufferSize, (int)blockAlign);
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

}  // namespace

BOOLEAN CStreamEngine::PcmPathUsable() {
    const WAVEFORMATEX& f = m_CurrentWaveFormat.Format;
    if (f.nChannels == 0 || f.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS) return FALSE;
    if ((ULONG)f.nBlockAlign != (ULONG)f.nChannels * f.wBitsPerSample / 8) return FALSE;
    if (m_pfWorkBuffer == NULL || m_ppfChannels == NULL) return FALSE;
    for (ULONG c = 0; c < f.nChannels; c++)
        if (m_ppfChannels[c] == NULL) return FALSE;
    return TRUE;
}

VOID CStreamEngine::PcmToFloat(PUCHAR chunk, ULONG frames) {
    const WAVEFORMATEX& f = m_CurrentWaveFormat.Format;
    int samples = (int)(frames * f.nChannels);
    switch (f.wBitsPerSample) {
    case 16:
        spI16ToF32Scaled(SamplesAt<const int16_t>(chunk), m_pfWorkBuffer, samples, 15);
        break;
    case 24:
        spI24ToF32(chunk, m_pfWorkBuffer, samples);
        spDivConstF32InPlace(8388608.0f, m_pfWorkBuffer, samples);
        break;
    case 32:
        spI32ToF32Scaled(SamplesAt<const int32_t>(chunk), m_pfWorkBuffer, samples, 31);
        break;
    default:
        // No conversion for other widths: the nodes see silence.
        for (ULONG c = 0; c < f.nChannels; c++) memset(m_ppfChannels[c], 0, frames * sizeof(float));
        return;
    }
    spDeinterleaveF32(m_pfWorkBuffer, f.nChannels, (int)frames, m_ppfChannels);
}

VOID CStreamEngine::FloatToPcm(PUCHAR chunk, ULONG frames) {
    const WAVEFORMATEX& f = m_CurrentWaveFormat.Format;
    int samples = (int)(frames * f.nChannels);
    switch (f.wBitsPerSample) {
    case 16:
        spInterleaveF32(m_ppfChannels, f.nChannels, (int)frames, m_pfWorkBuffer);
        spF32ToI16Scaled(m_pfWorkBuffer, SamplesAt<int16_t>(chunk), samples, SP_RND_ZERO, -15);
        break;
    case 24:
        spInterleaveF32(m_ppfChannels, f.nChannels, (int)frames, m_pfWorkBuffer);
        spF32ToI24Scaled(m_pfWorkBuffer, chunk, samples, -23);
        break;
    case 32:
        spInterleaveF32(m_ppfChannels, f.nChannels, (int)frames, m_pfWorkBuffer);
        spF32ToI32Scaled(m_pfWorkBuffer, SamplesAt<int32_t>(chunk), samples, SP_RND_ZERO, -31);
        break;
    default:
        break;  // the chunk keeps its input bytes
    }
}

NTSTATUS CStreamEngine::WalkNodes(CList* list, PVOID data, ULONG frames, BOOLEAN flush) {
    NTSTATUS status = STATUS_SUCCESS;
    if (list == NULL) return status;
    POSITION pos = list->GetHeadPosition();
    PVOID entry = NULL;
    while (list->GetNext(pos, &entry)) {
        auto* node = static_cast<IDspNode*>(entry);
        status = flush ? node->Flush() : node->Process(&m_CurrentWaveFormat, data, frames);
        if (!NT_SUCCESS(status)) break;
    }
    return status;
}

NTSTATUS CStreamEngine::RunChunks(PUCHAR buffer, ULONG frames, USHORT tag, BOOLEAN dspOnly) {
    const ULONG blockAlign = m_CurrentWaveFormat.Format.nBlockAlign;
    const bool pcm = tag == WAVE_FORMAT_PCM;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG done = 0; done < frames;) {
        ULONG n = frames - done < STREAM_CHUNK_FRAMES ? frames - done : STREAM_CHUNK_FRAMES;
        PUCHAR chunk = buffer + (size_t)done * blockAlign;
        if (pcm) {
            PcmToFloat(chunk, n);
            if (!ListEmpty(m_pDspNodes)) status = ProcessDspNodes(chunk, n, tag);
            if (NT_SUCCESS(status) && !dspOnly && !ListEmpty(m_pClientNodes)) status = ProcessClientNodes(n);
            if (NT_SUCCESS(status) && !dspOnly && !ListEmpty(m_pClientPostNodes))
                status = ProcessClientPostNodes(n);
            if (!NT_SUCCESS(status)) break;  // this chunk keeps its input
            FloatToPcm(chunk, n);
        } else if (!ListEmpty(m_pDspNodes)) {
            status = ProcessDspNodes(chunk, n, tag);
            if (!NT_SUCCESS(status)) break;
        }
        done += n;
    }
    return status;
}

NTSTATUS CStreamEngine::ProcessData(PUCHAR buffer, ULONG bufferSize) {
    NTSTATUS status = CheckWholeFrames(bufferSize, m_CurrentWaveFormat.Format.nBlockAlign);
    if (!NT_SUCCESS(status)) return status;
    ULONG frames = bufferSize / m_CurrentWaveFormat.Format.nBlockAlign;
    USHORT tag = StreamFormatTag(&m_CurrentWaveFormat);
    FloatControlScope floatControl;
    KIRQL oldIrql;
    KeAcquireSpinLock(&m_SpinLock, &oldIrql);
    status = STATUS_SUCCESS;
    bool idle = ListEmpty(m_pDspNodes) && ListEmpty(m_pClientNodes) && ListEmpty(m_pClientPostNodes);
    if (!idle && frames != 0 && buffer != NULL) {
        if (tag == WAVE_FORMAT_PCM && !PcmPathUsable())
            status = STATUS_NOT_SUPPORTED;  // more channels than the tables hold, or no buffers
        else
            status = RunChunks(buffer, frames, tag, FALSE);
    }
    KeReleaseSpinLock(&m_SpinLock, oldIrql);
    return status;
}

NTSTATUS CStreamEngine::ProcessDspNodesUnlocked(PUCHAR buffer, ULONG bufferSize) {
    NTSTATUS status = CheckWholeFrames(bufferSize, m_CurrentWaveFormat.Format.nBlockAlign);
    if (!NT_SUCCESS(status)) return status;
    if (ListEmpty(m_pDspNodes) || buffer == NULL) return STATUS_SUCCESS;
    USHORT tag = StreamFormatTag(&m_CurrentWaveFormat);
    if (tag == WAVE_FORMAT_PCM && !PcmPathUsable()) return STATUS_NOT_SUPPORTED;
    FloatControlScope floatControl;
    return RunChunks(buffer, bufferSize / m_CurrentWaveFormat.Format.nBlockAlign, tag, TRUE);
}

NTSTATUS CStreamEngine::ProcessDspNodes(PVOID data, ULONG frames, USHORT formatTag) {
    if (ListEmpty(m_pDspNodes)) return STATUS_SUCCESS;
    if (formatTag == WAVE_FORMAT_PCM) {
        if (m_ppfChannels == NULL) return STATUS_NOT_SUPPORTED;
        data = m_ppfChannels;
    }
    return WalkNodes(m_pDspNodes, data, frames, FALSE);
}

NTSTATUS CStreamEngine::ProcessClientNodes(ULONG frames) {
    if (m_ppfChannels == NULL) return STATUS_NOT_SUPPORTED;
    return WalkNodes(m_pClientNodes, m_ppfChannels, frames, FALSE);
}

NTSTATUS CStreamEngine::ProcessClientPostNodes(ULONG frames) {
    return WalkNodes(m_pClientPostNodes, NULL, frames, TRUE);
}

// The raw runners hand the client nodes the buffer's integer PCM as it
// is, in one call; nothing is converted and no lock is taken.
NTSTATUS CStreamEngine::RunRaw(CList* list, PUCHAR buffer, ULONG bufferSize, BOOLEAN flush) {
    NTSTATUS status = CheckWholeFrames(bufferSize, m_CurrentWaveFormat.Format.nBlockAlign);
    if (!NT_SUCCESS(status)) return status;
    if (ListEmpty(list)) return STATUS_SUCCESS;
    FloatControlScope floatControl;
    if (StreamFormatTag(&m_CurrentWaveFormat) != WAVE_FORMAT_PCM) return STATUS_SUCCESS;
    return WalkNodes(list, buffer, bufferSize / m_CurrentWaveFormat.Format.nBlockAlign, flush);
}

NTSTATUS CStreamEngine::ProcessClientNodesRaw(PUCHAR buffer, ULONG bufferSize) {
    return RunRaw(m_pClientNodes, buffer, bufferSize, FALSE);
}

NTSTATUS CStreamEngine::ProcessClientPostNodesRaw(PUCHAR buffer, ULONG bufferSize) {
    return RunRaw(m_pClientPostNodes, buffer, bufferSize, TRUE);
}

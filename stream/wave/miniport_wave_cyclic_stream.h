// CMiniportWaveCyclicStream: the stream of a wave filter's streaming pin.
// It is its own DMA channel: a cyclic buffer of 50 ms of audio in system
// memory that the port writes (render) or reads (capture) with CopyTo and
// CopyFrom. While the pin runs it is a client (CYCLIC_CLIENT_WAVE) of the
// engine's USB stream, whose messages drive it: before each OUT transfer
// it copies the next bytes of its buffer in, after each captured batch it
// copies the bytes into its buffer, after each completed transfer it
// advances its position and notifies the port. Between completions the
// position is interpolated with the performance counter. While a client of
// higher priority owns the USB stream, the position keeps moving at the
// stream's own byte rate and its render data is dropped.
//
// Files: miniport_wave_cyclic_stream.cpp (object, Init, formats, states,
// DMA channel), wave_stream_messages.cpp (USB stream messages, copies,
// position).
//
// Levels and locks: the port calls the stream methods at PASSIVE_LEVEL or
// DISPATCH_LEVEL, CopyTo and CopyFrom at DISPATCH_LEVEL from its service
// routine. Messages arrive synchronously through the engine's callback
// object: BYTES_DONE, RENDER_FILL and CAPTURE_DATA at DISPATCH_LEVEL from
// the USB completion path, FORMAT at PASSIVE_LEVEL under the USB stream's
// lock. m_SpinLock guards the cyclic buffer, the positions, the transfer
// ring and the rate state; it is taken after whatever lock the sender
// holds, and the port's Notify is called under it (it only queues a DPC).
#pragma once

#include "dsp/interleave_src.h"
#include "stream/usb/cyclic_control.h"
#include "stream/wave/byte_rate.h"
#include "stream/wave/miniport_wave_cyclic.h"

// The cyclic buffer ("CCST") and the format layer.
inline constexpr ULONG WAVE_BUFFER_TAG = MakePoolTag("CCST");

// 50 ms of 192 kHz, 8 channels, 4-byte samples.
#define WAVE_MAX_BUFFER_SIZE 307200
#define WAVE_TRANSFER_RING 10
#define WAVE_NOTIFICATION_MS 10
// The registration of the stream's client: USB frames per transfer and
// transfers in flight.
#define WAVE_FRAMES_PER_TRANSFER 5
#define WAVE_TRANSFERS 3
// The first run starts this many USB frames after the frame Open read.
#define WAVE_START_FRAME_OFFSET 2

class CMiniportWaveCyclicStream : public IMiniportWaveCyclicStream,
                                  public IDmaChannel,
                                  public IDrmAudioStream,
                                  public CUnknown {
public:
    explicit CMiniportWaveCyclicStream(PUNKNOWN outer);
    // Steps down to STOP, then frees the buffer and the format layer and
    // tells the miniport the stream is gone. PASSIVE_LEVEL.
    ~CMiniportWaveCyclicStream() override;

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // Called once by the miniport's NewStream. On failure the caller
    // releases the stream.
    NTSTATUS Init(CMiniportWaveCyclic* miniport, ULONG pin, BOOLEAN capture, PKSDATAFORMAT dataFormat,
                  IStreamEngine* engine, PSERVICEGROUP* serviceGroup);

    // ---- IMiniportWaveCyclicStream -------------------------------------------
    NTSTATUS SetFormat(PKSDATAFORMAT dataFormat) override;
    ULONG SetNotificationFreq(ULONG interval, PULONG framingSize) override;
    NTSTATUS SetState(KSSTATE state) override;
    NTSTATUS GetPosition(PULONG position) override;
    NTSTATUS NormalizePhysicalPosition(PLONGLONG physicalPosition) override;
    VOID Silence(PVOID buffer, ULONG byteCount) override;

    // ---- IDmaChannel ---------------------------------------------------------
    NTSTATUS AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS constraint) override;
    VOID FreeBuffer() override;
    ULONG TransferCount() override { return m_nAllocatedSize; }
    ULONG MaximumBufferSize() override { return WAVE_MAX_BUFFER_SIZE; }
    ULONG AllocatedBufferSize() override { return m_nAllocatedSize; }
    ULONG BufferSize() override { return m_nBufferSize ? m_nBufferSize : m_nAllocatedSize; }
    VOID SetBufferSize(ULONG bufferSize) override;
    PVOID SystemAddress() override { return m_pBuffer; }
    PHYSICAL_ADDRESS PhysicalAddress() override;
    PADAPTER_OBJECT GetAdapterObject() override { return NULL; }
    VOID CopyTo(PVOID destination, PVOID source, ULONG byteCount) override;
    VOID CopyFrom(PVOID destination, PVOID source, ULONG byteCount) override;

    // ---- IDrmAudioStream -------------------------------------------------------
    NTSTATUS SetContentId(ULONG contentId, PCDRMRIGHTS rights) override;

    // The callback registered with the USB stream (context: the stream,
    // argument1: the CYCLIC_CONTROL_MSG).
    static VOID CyclicControlCallback(PVOID context, PVOID argument1, PVOID argument2);
    VOID OnCyclicControlMsg(const CYCLIC_CONTROL_MSG* message);

    // ---- read-only views for tests (taken under m_SpinLock) ------------------
    KSSTATE State();
    WAVEFORMATEXTENSIBLE Format();
    ULONG CopyOffset();
    ULONG Position();
    ULONG CurrentTransferBytes();
    PCYCLIC_CLIENT Client() const { return __atomic_load_n(&m_pClient, __ATOMIC_ACQUIRE); }
    const CDspInterleaveSrc* FormatLayer() const { return m_pFormatLayer; }

private:
    // wave_stream_messages.cpp
    VOID OnFormatMessage(const CYCLIC_CONTROL_MSG* message);
    VOID SetRateParts(const WAVEFORMATEXTENSIBLE* clientFormat);
    ULONG ConvertLocked(ULONG clientBytes);
    VOID CopyRenderData(PUCHAR buffer, ULONG length, BOOLEAN own, const WAVEFORMATEXTENSIBLE* clientFormat);
    VOID CopyCaptureData(PUCHAR buffer, ULONG length);
    VOID OnBytesDone(ULONG bytes, const WAVEFORMATEXTENSIBLE* clientFormat);
    VOID PushTransferSize(ULONG bytes);
    VOID FillSilenceLocked(ULONG offset, ULONG bytes);
    VOID ResetPositionsLocked();
    VOID ContinuePositionLocked(ULONG framesPerTransfer, ULONG transfers);
    BOOLEAN SameByteRate(const WAVEFORMATEXTENSIBLE* clientFormat) const;
    BOOLEAN SameLayout(const WAVEFORMATEXTENSIBLE* clientFormat) const;

    // miniport_wave_cyclic_stream.cpp
    NTSTATUS InitSteps(PKSDATAFORMAT dataFormat, PSERVICEGROUP* serviceGroup);
    NTSTATUS TakeFormat(PKSDATAFORMAT dataFormat, WAVEFORMATEXTENSIBLE* format);
    NTSTATUS EnterRun(ICyclicControl* control);
    NTSTATUS LeaveRun(ICyclicControl* control);
    VOID SetClient(PCYCLIC_CLIENT client) { __atomic_store_n(&m_pClient, client, __ATOMIC_RELEASE); }
    BOOLEAN InBuffer(PVOID start, ULONG byteCount, ULONG limit) const;
    template <typename T>
    T Locked(const T& member);

    CMiniportWaveCyclic* m_pMiniport;
    IStreamEngine* m_pStreamEngine;
    ULONG m_nPin;
    KSSTATE m_State;
    ULONG m_nNotificationInterval;
    PVOID m_hClient;
    PCYCLIC_CLIENT m_pClient;
    PSERVICEGROUP m_pServiceGroup;
    WAVEFORMATEXTENSIBLE m_Format;
    PUCHAR m_pBuffer;
    ULONG m_nAllocatedSize;
    ULONG m_nPosition;
    ULONG m_nBufferSize;
    ULONG m_nLastPosition;
    ULONG m_nCopyOffset;
    ULONG m_nCurrentTransferBytes;
    LONGLONG m_llLastCompletion;
    KSPIN_LOCK m_SpinLock;
    BOOLEAN m_bCapture;
    BOOLEAN m_bCountedOpen;
    ULONG m_TransferSizes[WAVE_TRANSFER_RING];
    ULONG m_nSizeRead;
    ULONG m_nSizeWrite;
    WAVE_RATE_CONVERTER m_Rate;
    CDspInterleaveSrc* m_pFormatLayer;
    WAVEFORMATEXTENSIBLE m_RunningFormat;
};

// Performance-counter time in 10-us units (counter x 100000 / frequency,
// computed without 64-bit overflow).
LONGLONG WaveNow();

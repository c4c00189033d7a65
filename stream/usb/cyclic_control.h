// CCyclicControl: the USB stream object of one AudioStreaming interface.
// It derives from the stream engine and adds the isochronous pipe, ten
// preallocated transfer contexts, the completion loop, a worker thread for
// resubmission and recovery, and the clients' side: the highest-priority
// acquired client decides the format, the highest-priority running client
// owns the running stream, and every client hears the stream through the
// named callback object "\Callback\CyclicControlAddr%p" (CYCLIC_CONTROL_MSG,
// delivered synchronously in the sender's context).
//
// Files: cyclic_control.cpp (clients and messages), cyclic_transfers.cpp
// (set-up, states, transfers, worker, recovery), cyclic_interface.cpp
// (alternate settings and descriptors); the concrete classes are
// usb_render_stream and usb_capture_stream.
//
// Levels and locks: the client slots, Open, Run, Stop, Close and the
// worker's recovery run at PASSIVE_LEVEL under the engine's m_Lock
// (re-entrant). SubmitTransfer holds m_SubmitLock (DISPATCH_LEVEL);
// completions run at DISPATCH_LEVEL and never take m_Lock. Order: m_Lock
// -> m_SubmitLock -> m_SlotLock and the engine's m_SpinLock; a capture
// stream's m_RingLock -> m_SpinLock.
#pragma once

#include "adapter/audio_hal.h"
#include "adapter/usb/usb_audio_device.h"
#include "dsp/limiter.h"
#include "stream/engine/cyclic_client.h"
#include "stream/engine/stream_engine.h"

// {7C4D1930-875A-418C-A0A4-3A30456A8996}
inline constexpr GUID IID_ICyclicControl = {0x7C4D1930, 0x875A, 0x418C,
                                            {0xA0, 0xA4, 0x3A, 0x30, 0x45, 0x6A, 0x89, 0x96}};
// {AA68946D-7D26-4137-9A5D-71E1EDB6C0CC}
inline constexpr GUID IID_IDrmContentForward = {0xAA68946D, 0x7D26, 0x4137,
                                                {0x9A, 0x5D, 0x71, 0xE1, 0xED, 0xB6, 0xC0, 0xCC}};

// Tags: client records, format entries and the stream limiter; URBs,
// transfer contexts, data blocks and interface copies.
inline constexpr ULONG CYCLIC_CLIENT_TAG = MakePoolTag("USBS");
inline constexpr ULONG CYCLIC_URB_TAG = MakePoolTag("URB ");

#define CYCLIC_TRANSFER_SLOTS 10

// Message codes.
#define CYCLIC_MSG_BYTES_DONE 1
#define CYCLIC_MSG_FORMAT 2
#define CYCLIC_MSG_RENDER_FILL 3
#define CYCLIC_MSG_CAPTURE_DATA 4
// Top bit of FramesPerTransfer in CYCLIC_MSG_FORMAT: the owner changed.
#define CYCLIC_MSG_FORMAT_CHANGED 0x80000000UL

// What the completion path asks of the worker thread.
#define STREAM_ACTION_NONE 0
#define STREAM_ACTION_RESUBMIT 1
#define STREAM_ACTION_RECOVER 2

// Argument1 of every notification (Argument2 NULL). Built on the sender's
// stack: valid only during the callback. pClient names the owner of the
// running stream.
typedef struct _CYCLIC_CONTROL_MSG {
    PCYCLIC_CLIENT pClient;
    ULONG Code;
    union {
        PUCHAR Buffer;  // RENDER_FILL, CAPTURE_DATA
        ULONG Bytes;    // BYTES_DONE
        struct {
            ULONG FramesPerTransfer;  // with CYCLIC_MSG_FORMAT_CHANGED
            ULONG Transfers;
        };  // FORMAT
    };
    ULONG Length;  // bytes at Buffer
} CYCLIC_CONTROL_MSG, *PCYCLIC_CONTROL_MSG;

static_assert(sizeof(CYCLIC_CONTROL_MSG) == 32, "CYCLIC_CONTROL_MSG is 32 bytes");
static_assert(offsetof(CYCLIC_CONTROL_MSG, Buffer) == 16 && offsetof(CYCLIC_CONTROL_MSG, Transfers) == 20,
              "CYCLIC_CONTROL_MSG union");
static_assert(offsetof(CYCLIC_CONTROL_MSG, Length) == 24, "CYCLIC_CONTROL_MSG Length");
static_assert(sizeof(struct _URB_ISOCH_TRANSFER) == 152, "isochronous URB with one packet");
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12, "isochronous packet descriptor");
static_assert(GET_SELECT_INTERFACE_REQUEST_SIZE(0) == 56 && GET_SELECT_INTERFACE_REQUEST_SIZE(2) == 56 + 2 * 24,
              "select-interface URB is 56 + 24 per pipe");
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40, "stream format record");

// A format of the stream with the alternate setting that carries it
// (PagedPool, "USBS").
typedef struct _CYCLIC_FORMAT_ENTRY {
    LIST_ENTRY Link;
    UCHAR AlternateSetting;
    WAVEFORMATEXTENSIBLE Format;
} CYCLIC_FORMAT_ENTRY, *PCYCLIC_FORMAT_ENTRY;

class CCyclicControl;

// Holds a CMutexLock for a scope (PASSIVE_LEVEL).
class CMutexScope {
public:
    explicit CMutexScope(CMutexLock& lock) : m_Lock(lock) { m_Lock.Lock(); }
    ~CMutexScope() { m_Lock.Unlock(); }
    CMutexScope(const CMutexScope&) = delete;
    CMutexScope& operator=(const CMutexScope&) = delete;

private:
    CMutexLock& m_Lock;
};

// One of the ten isochronous transfers built by Open; the IRP is reused
// for every transfer.
typedef struct _USB_TRANSFER_CONTEXT {
    PIRP Irp;
    PURB Urb;
    CCyclicControl* Owner;
    ULONG Length;  // bytes of the last submitted transfer
    PUCHAR Buffer;
    ULONG Index;  // slot, 0 to 9
} USB_TRANSFER_CONTEXT, *PUSB_TRANSFER_CONTEXT;

struct ICyclicControl : public IUnknown {
    virtual NTSTATUS RegisterClient(ULONG priority, WAVEFORMATEXTENSIBLE* format, ULONG framesPerTransfer,
                                    ULONG transfers, PCALLBACK_FUNCTION callback, PVOID context,
                                    PCYCLIC_CLIENT* client) = 0;
    virtual NTSTATUS UnregisterClient(PVOID handle) = 0;
    virtual NTSTATUS ClientRun(PVOID handle, ULONG startFrame, PULONG framesPerTransfer, IDspNode* node) = 0;
    virtual NTSTATUS ClientStop(PVOID handle, IDspNode* node) = 0;
    virtual NTSTATUS ClientAcquire(PVOID handle, PULONG framesPerTransfer, PULONG frameNumber) = 0;
    virtual NTSTATUS ClientRelease(PVOID handle) = 0;
    virtual NTSTATUS SelectAlternateSetting(UCHAR alternateSetting, PCYCLIC_CLIENT client) = 0;
    virtual NTSTATUS FreeTransfers() = 0;
    virtual NTSTATUS AbortPipe() = 0;
    virtual NTSTATUS RecoverFromError() = 0;
    virtual NTSTATUS ResetAlternateSetting() = 0;
    virtual NTSTATUS Restart() = 0;
    virtual NTSTATUS SubmitTransfer() = 0;
    virtual NTSTATUS OnTransferComplete(PDEVICE_OBJECT device, PIRP irp, PUSB_TRANSFER_CONTEXT context) = 0;
    virtual VOID StreamThread() = 0;
    virtual NTSTATUS Open(PCYCLIC_CLIENT client, PULONG frameNumber) = 0;
    virtual NTSTATUS Close() = 0;
    virtual NTSTATUS Run(ULONG startFrame, BOOLEAN useStartFrame) = 0;
    virtual NTSTATUS Stop() = 0;
    virtual BOOLEAN IsAltSettingValid(UCHAR alternateSetting, ULONG samplingRate) = 0;
};
typedef ICyclicControl* PCYCLICCONTROL;

struct IDrmContentForward : public IUnknown {
    virtual NTSTATUS SetContentId(ULONG contentId, PCDRMRIGHTS rights) = 0;
};

class CCyclicControl : public ICyclicControl, public IDrmContentForward, public CStreamEngine {
public:
    CCyclicControl(PUNKNOWN outer, ULONG interfaceNumber, ULONG terminalId);
    ULONG GetTerminalLink() override { return m_nTerminalId; }
    // Frees the format entries, ends the worker thread (waiting for it),
    // drops the callback object and the limiter; the engine's destructor
    // then waits for the client lists. The stream should be closed.
    ~CCyclicControl() override;

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // device: the model's unknown, answering IUsbAudioDevice and IAudioHal
    // (no reference is kept). Starts the worker thread.
    NTSTATUS Init(ULONG isCapture, PUNKNOWN device);
    using CStreamEngine::Init;
    NTSTATUS AddFormat(const WAVEFORMATEXTENSIBLE* format, UCHAR alternateSetting);
    using CStreamEngine::AddFormat;
    NTSTATUS FindUnitById(ULONG id, IUacUnit** unit);

    // ---- client slots (cyclic_control.cpp) --------------------------------
    NTSTATUS RegisterClient(ULONG priority, WAVEFORMATEXTENSIBLE* format, ULONG framesPerTransfer,
                            ULONG transfers, PCALLBACK_FUNCTION callback, PVOID context,
                            PCYCLIC_CLIENT* client) override;
    NTSTATUS UnregisterClient(PVOID handle) override;
    NTSTATUS ClientRun(PVOID handle, ULONG startFrame, PULONG framesPerTransfer, IDspNode* node) override;
    NTSTATUS ClientStop(PVOID handle, IDspNode* node) override;
    NTSTATUS ClientAcquire(PVOID handle, PULONG framesPerTransfer, PULONG frameNumber) override;
    NTSTATUS ClientRelease(PVOID handle) override;
    NTSTATUS SetContentId(ULONG contentId, PCDRMRIGHTS rights) override;

    // ---- machinery (cyclic_transfers.cpp) ---------------------------------
    NTSTATUS SelectAlternateSetting(UCHAR, PCYCLIC_CLIENT) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS FreeTransfers() override;
    NTSTATUS AbortPipe() override;
    NTSTATUS RecoverFromError() override;
    NTSTATUS ResetAlternateSetting() override;
    NTSTATUS Restart() override;
    NTSTATUS SubmitTransfer() override { return STATUS_NOT_IMPLEMENTED; }
    // Generic completion, kept by no concrete class: resubmission is left
    // to the worker thread and the context is given back whole.
    NTSTATUS OnTransferComplete(PDEVICE_OBJECT device, PIRP irp, PUSB_TRANSFER_CONTEXT context) override;
    VOID StreamThread() override;
    NTSTATUS Open(PCYCLIC_CLIENT, PULONG) override { return STATUS_UNSUCCESSFUL; }
    NTSTATUS Close() override;
    NTSTATUS Run(ULONG startFrame, BOOLEAN useStartFrame) override;
    NTSTATUS Stop() override;
    BOOLEAN IsAltSettingValid(UCHAR, ULONG) override { return TRUE; }

    NTSTATUS FindAlternateSetting(const WAVEFORMATEX* format, PULONG alternateSetting);
    // Packets per 1 ms frame of the setting's first isochronous data
    // endpoint: 1 at full speed; 8 >> (bInterval - 1) at high speed, and 0
    // for a bInterval outside 1..4 (such settings cannot be opened).
    ULONG GetPacketsPerFrame(UCHAR alternateSetting);
    // Bytes one packet of the setting's data endpoint (the one
    // GetPacketsPerFrame reads) carries: (wMaxPacketSize & 0x7FF) x (1 +
    // bits 11-12). FALSE when the setting has no data endpoint.
    BOOLEAN DataEndpointPayload(UCHAR alternateSetting, PULONG bytes);
    // Bytes of the largest packet the stream sends for a format on the
    // setting, for streams that size packets from the rate (render); 0 for
    // those that size them from the endpoint (capture) and for settings
    // that cannot be streamed.
    virtual ULONG LargestPacketBytes(const WAVEFORMATEX&, UCHAR) { return 0; }
    ULONG GetCurrentFrame();
    NTSTATUS AllocateTransfer(PUSB_TRANSFER_CONTEXT* context);
    PUSB_TRANSFER_CONTEXT ClaimTransfer();
    VOID ReturnTransfer(PUSB_TRANSFER_CONTEXT context);
    // Claim and return over a pair of slot arrays guarded by lock (the data
    // contexts' or another set's, such as a render stream's feedback
    // contexts).
    PUSB_TRANSFER_CONTEXT ClaimSlot(PKSPIN_LOCK lock, PUSB_TRANSFER_CONTEXT* freeSlots,
                                    PUSB_TRANSFER_CONTEXT* busySlots);
    static VOID ReturnSlot(PKSPIN_LOCK lock, PUSB_TRANSFER_CONTEXT* freeSlots, PUSB_TRANSFER_CONTEXT* busySlots,
                           PUSB_TRANSFER_CONTEXT context);
    VOID RecycleTransfer(PUSB_TRANSFER_CONTEXT context);
    // Frees every context of a free-slot array guarded by lock.
    VOID RecycleSlots(PKSPIN_LOCK lock, PUSB_TRANSFER_CONTEXT* freeSlots);
    static NTSTATUS TransferCompletionRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context);
    static VOID ThreadStart(PVOID context);

    // ---- read-only views for the tests and tools ----------------------------
    LONG StreamState() const { return __atomic_load_n(&m_StreamState, __ATOMIC_ACQUIRE); }
    ULONG GetInterfaceNumber() const { return m_nInterfaceNumber; }
    ULONG TransfersInUse() const { return m_nTransfers; }
    ULONG FramesPerTransfer() const { return m_nFramesPerTransfer; }
    ULONG PacketsPerFrame() const { return m_nPacketsPerFrame; }
    ULONG SamplesPerPacket() const { return m_nSamplesPerPacket; }
    PCYCLIC_CLIENT AcquiredClient() const { return m_pAcquiredClient; }
    PCYCLIC_CLIENT RunningClient() const { return __atomic_load_n(&m_pRunningClient, __ATOMIC_ACQUIRE); }
    BOOLEAN DeviceGone() const { return __atomic_load_n(&m_bDeviceGone, __ATOMIC_ACQUIRE) != 0; }
    BOOLEAN HoldsBusyReference() const { return m_bHoldsBusy; }
    const WAVEFORMATEXTENSIBLE& CurrentFormat() const { return m_CurrentWaveFormat; }
    // Bytes of each transfer context's data buffer (after Open).
    ULONG DataBufferBytes() const { return m_nDataBytes; }

protected:
    // Ends the worker thread and waits for its last act. Every concrete
    // class calls it first thing in its destructor: the worker makes
    // virtual calls on the object, which must not meet a half-destroyed
    // one. Idempotent.
    VOID StopWorker();
    // The model's transport with a reference, or NULL; Release after use.
    IUsbAudioDevice* AcquireUsbDevice();
    VOID SetRunningClient(PCYCLIC_CLIENT client) { __atomic_store_n(&m_pRunningClient, client, __ATOMIC_RELEASE); }
    VOID SetDeviceGone(BOOLEAN gone) { __atomic_store_n(&m_bDeviceGone, gone, __ATOMIC_RELEASE); }
    LONG ExchangeState(LONG state) { return InterlockedExchange(&m_StreamState, state); }

    // ---- messages ----------------------------------------------------------
    VOID Publish(CYCLIC_CONTROL_MSG* message);
    VOID PublishFormat(PCYCLIC_CLIENT owner, BOOLEAN changed);
    VOID PublishBytesDone(ULONG bytes);
    VOID PublishBuffer(ULONG code, PUCHAR buffer, ULONG length);

    // ---- shared steps of the concrete classes ---------------------------------
    // Open's frame: format and setting lookup, the class's geometry
    // (ComputeGeometry), CLOSED -> OPENED by compare-exchange, lookaside
    // lists, ten contexts, the class's extra blocks (AllocateStreamBlocks),
    // the alternate setting, and the frame number. Any failure leaves the
    // stream closed with everything freed.
    NTSTATUS OpenStream(PCYCLIC_CLIENT client, PULONG frameNumber);
    // Sets m_nFramesPerTransfer, m_nTransfers, m_nPacketsPerFrame,
    // m_nSamplesPerPacket and the block sizes for client's format.
    virtual NTSTATUS ComputeGeometry(PCYCLIC_CLIENT client, UCHAR alternateSetting) = 0;
    virtual NTSTATUS AllocateStreamBlocks() { return STATUS_SUCCESS; }
    virtual VOID ResetStreamCounters() {}
    VOID DeleteLookasides();
    // Select-interface request, interface copy, data pipe in direction
    // (IN when pipeIn), sampling rate for a client, busy count. *rateStatus
    // receives the SET_CUR status (success when none was sent); without
    // rateStatus no sampling rate is sent (streams clocked by a clock
    // source).
    NTSTATUS SelectInterface(UCHAR alternateSetting, PCYCLIC_CLIENT client, BOOLEAN pipeIn,
                             NTSTATUS* rateStatus);
    // The selection of streams whose rate is set on a clock source: no
    // sampling rate; a client's setting without a pipe in the direction
    // fails with STATUS_INVALID_PARAMETER and leaves the interface at
    // setting 0, the busy count as it was.
    NTSTATUS SelectInterfaceWithoutRate(UCHAR alternateSetting, PCYCLIC_CLIENT client, BOOLEAN pipeIn);
    // SET CUR of the sampling frequency of the clock source whose node in
    // the model has id clockUnitId: the status of the lookup (the model's
    // units, STATUS_UNSUCCESSFUL when none has that id), of the query for
    // IClockSource or of the request.
    NTSTATUS SetClockSourceRate(ULONG clockUnitId, ULONG rate);
    NTSTATUS SendSamplingRate(IUsbAudioDevice* device, UCHAR endpoint, ULONG rate);
    NTSTATUS KeepInterfaceInfo(IUsbAudioDevice* device, PURB urb, ULONG pipes);
    BOOLEAN PickDataPipe(BOOLEAN pipeIn);
    VOID AccountBusy(IUsbAudioDevice* device, UCHAR alternateSetting);
    // First isochronous data endpoint of the setting, searched up to the
    // next interface descriptor; NULL when none.
    PUSB_ENDPOINT_DESCRIPTOR FindDataEndpoint(UCHAR alternateSetting);
    // Last IN endpoint of the setting (an explicit feedback endpoint beside
    // an OUT data endpoint); NULL when none.
    PUSB_ENDPOINT_DESCRIPTOR FindLastInEndpoint(UCHAR alternateSetting);
    PUSB_ENDPOINT_DESCRIPTOR FindEndpoint(UCHAR alternateSetting, BOOLEAN (*match)(const USB_ENDPOINT_DESCRIPTOR*),
                                          BOOLEAN last);
    USBD_PIPE_HANDLE DataPipeHandle();
    UCHAR DataEndpointAddress();

    // SubmitTransfer's frame: claims a context, zeroes its URB and fills
    // the isochronous header (flags | ASAP unless start frames are used).
    PUSB_TRANSFER_CONTEXT BeginTransfer(ULONG transferFlags, ULONG packets);
    // Start frame, IRP, outstanding count, and down the stack.
    NTSTATUS SendTransfer(PUSB_TRANSFER_CONTEXT context);
    // An OUT transfer of bytes whose packets are set: the buffer cleared,
    // filled by the owner (CYCLIC_MSG_RENDER_FILL) and run through the
    // data path; FillAndSend then sends it.
    VOID FillBuffer(PUSB_TRANSFER_CONTEXT context, ULONG bytes);
    NTSTATUS FillAndSend(PUSB_TRANSFER_CONTEXT context, ULONG bytes);
    // The completion's tail: gives the context back, resubmits or asks for
    // recovery, counts the transfer done. Returns
    // STATUS_MORE_PROCESSING_REQUIRED.
    NTSTATUS FinishTransfer(PUSB_TRANSFER_CONTEXT context, NTSTATUS irpStatus, USBD_STATUS urbStatus);
    VOID TransferDone();
    VOID KickRecovery();

    BOOLEAN IsRunning() const { return StreamState() == STREAM_STATE_RUNNING; }

    PUCHAR m_pRing;
    ULONG m_nRingSize;
    ULONG m_nRingReadPos;
    ULONG m_nRingWritePos;
    PUNKNOWN m_pDevice;
    ULONG m_nTerminalId;
    LIST_ENTRY m_FormatList;
    ULONG m_nPacketsPerFrame;
    ULONG m_nFramesPerTransfer;
    ULONG m_nTransfers;
    ULONG m_nSamplesPerPacket;
    BOOLEAN m_bDeviceGone;
    PUSBD_INTERFACE_INFORMATION m_pInterfaceInfo;
    UCHAR m_DataPipeIndex;
    ULONG m_nNextStartFrame;
    BOOLEAN m_bUseStartFrame;
    KSPIN_LOCK m_SubmitLock;
    volatile LONG m_nOutstanding;
    volatile LONG m_PendingAction;
    KEVENT m_IdleEvent;
    KEVENT m_TerminateEvent;
    KEVENT m_ThreadDoneEvent;
    KEVENT m_KickEvent;
    PCYCLIC_CLIENT m_pRunningClient;
    PCYCLIC_CLIENT m_pAcquiredClient;
    KSPIN_LOCK m_SlotLock;
    PUSB_TRANSFER_CONTEXT m_BusyTransfers[CYCLIC_TRANSFER_SLOTS];
    PUSB_TRANSFER_CONTEXT m_FreeTransfers[CYCLIC_TRANSFER_SLOTS];
    NPAGED_LOOKASIDE_LIST m_UrbLookaside;
    NPAGED_LOOKASIDE_LIST m_ContextLookaside;
    NPAGED_LOOKASIDE_LIST m_BufferLookaside;
    PCALLBACK_OBJECT m_pCyclicCallback;
    CLimiter* m_pLimiter;

    // Sizes of the blocks Open builds, from ComputeGeometry.
    ULONG m_nUrbBytes;
    ULONG m_nDataBytes;
    ULONG m_nPacketsPerTransfer;
    // Bytes per sample frame of the format the stream was opened with:
    // packets and the ring are sized in it.
    ULONG m_nBlockAlign;
    // The stream counts itself busy (BusyAddRef) while it holds a nonzero
    // alternate setting; released only when held.
    BOOLEAN m_bHoldsBusy;
    // Whether the lookaside lists exist (between Open and Close).
    BOOLEAN m_bLookasidesReady;
    // Whether Init started the worker thread (the destructor waits for it).
    BOOLEAN m_bThreadStarted;
};

// CUsbAsyncRenderStream: the USB stream of an isochronous OUT endpoint of a
// USB Audio Class 2.0 device. The sampling rate is set on the clock source
// that clocks the stream's terminal (Open, before the alternate setting is
// selected). When the setting carries an isochronous IN feedback endpoint
// beside the OUT endpoint, every data transfer is preceded by a feedback
// transfer, and the rate the device reports (FeedbackRate, within 1000 Hz of
// the nominal rate) sizes the packets: over time the OUT stream carries
// exactly that many samples per second. A failed data or feedback transfer
// resets both pipes and resubmits, at most three transfers from then on.
#pragma once

#include "stream/usb/cyclic_control.h"

// Pool tag of the UAC 2.0 parser's stream objects.
inline constexpr ULONG UAC2_STREAM_TAG = MakePoolTag("UAC2");
// Tag of the UAC 2.0 streams' synchronous class requests and capture ring.
inline constexpr ULONG UAC2_REQUEST_TAG = MakePoolTag("US20");
// Tag of the vendor request that prepares native DSD playback.
inline constexpr ULONG UAC2_VENDOR_TAG = MakePoolTag("pmet");

// Whether alternate setting `alternateSetting` of the AudioStreaming
// interface is valid now, by the interface's Valid Alternate Settings
// control (GET CUR). Setting 0 is valid without a request; a failed
// request, a setting beyond the answer's bitmap or beyond the bytes the
// device returned is not. PASSIVE_LEVEL.
BOOLEAN Uac2AltSettingValid(PUNKNOWN device, ULONG interfaceNumber, UCHAR alternateSetting);

class CUsbAsyncRenderStream : public CCyclicControl {
public:
    CUsbAsyncRenderStream(PUNKNOWN outer, ULONG interfaceNumber, ULONG terminalId, ULONG clockUnitId);
    ~CUsbAsyncRenderStream() override;

    // A stream opened anew begins without a run of dropped feedback.
    NTSTATUS Open(PCYCLIC_CLIENT client, PULONG frameNumber) override {
        InterlockedExchange(&m_bDroppingFeedback, 0);
        return OpenStream(client, frameNumber);
    }
    NTSTATUS SelectAlternateSetting(UCHAR alternateSetting, PCYCLIC_CLIENT client) override;
    NTSTATUS FreeTransfers() override;
    NTSTATUS RecoverFromError() override;
    NTSTATUS SubmitTransfer() override;
    NTSTATUS OnTransferComplete(PDEVICE_OBJECT device, PIRP irp, PUSB_TRANSFER_CONTEXT context) override;
    BOOLEAN IsAltSettingValid(UCHAR alternateSetting, ULONG samplingRate) override;
    // Bytes of the largest packet at the format's own rate, as the class
    // 1.0 render stream sends it; feedback moves packets from there by the
    // few samples the device itself asks for.
    ULONG LargestPacketBytes(const WAVEFORMATEX& format, UCHAR alternateSetting) override;
    // For native DSD formats of the acquired client: the vendor request that
    // switches the interface to DSD. Any other format: success, no request.
    NTSTATUS SendDsdVendorRequest();
    // This class has no pipe abort: the slot sends the DSD request.
    NTSTATUS AbortPipe() override { return SendDsdVendorRequest(); }

    ULONG ClockUnitId() const { return m_nClockUnitId; }
    LONG FeedbackRate() const { return __atomic_load_n(&m_nFeedbackRate, __ATOMIC_ACQUIRE); }
    // Whether the selected setting has one OUT and one IN pipe.
    BOOLEAN HasFeedback() const { return m_bFeedback; }
    ULONG FeedbackPacketsPerFrame() const { return m_nFeedbackPacketsPerFrame; }
    // Feedback values dropped since the stream was made because their rate
    // lay more than 1000 Hz from the nominal rate (a device sending the
    // other width: 10.14 at high speed, 16.16 at full speed). A packet that
    // brought no value is not counted.
    ULONG DroppedFeedbackValues() const { return __atomic_load_n(&m_nDroppedFeedback, __ATOMIC_ACQUIRE); }

protected:
    NTSTATUS ComputeGeometry(PCYCLIC_CLIENT client, UCHAR alternateSetting) override;
    NTSTATUS AllocateStreamBlocks() override;
    VOID ResetStreamCounters() override { m_nRateRemainder = 0; }
    ULONG FeedbackPollsPerFrame(UCHAR alternateSetting);
    NTSTATUS BuildTransfer(LONG rate);
    NTSTATUS SubmitFeedback(IUsbAudioDevice* device);
    PUSB_TRANSFER_CONTEXT ClaimFeedbackTransfer();
    VOID ReturnFeedbackTransfer(PUSB_TRANSFER_CONTEXT context);
    static NTSTATUS FeedbackCompletionRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context);
    NTSTATUS OnFeedbackComplete(PIRP irp, PUSB_TRANSFER_CONTEXT context);
    VOID DecodeFeedback(PUSB_TRANSFER_CONTEXT context);

    ULONG m_nClockUnitId;
    // The format's rate, which feedback moves within 1000 Hz.
    ULONG m_nNominalRate = 0;
    BOOLEAN m_bHighSpeed = FALSE;
    // Samples per second the device asks for: the nominal rate after Open,
    // then every decoded feedback transfer's.
    volatile LONG m_nFeedbackRate = 0;
    LONG m_nRateRemainder = 0;
    UCHAR m_FeedbackPipeIndex = 0;
    KSPIN_LOCK m_FeedbackSlotLock;
    PUSB_TRANSFER_CONTEXT m_BusyFeedback[CYCLIC_TRANSFER_SLOTS] = {};
    PUSB_TRANSFER_CONTEXT m_FreeFeedback[CYCLIC_TRANSFER_SLOTS] = {};
    BOOLEAN m_bFeedback = FALSE;
    // Feedback packets per 1 ms frame (high speed: 8 >> (bInterval - 1) of
    // the feedback endpoint for bInterval 1..3; otherwise 1).
    ULONG m_nFeedbackPacketsPerFrame = 1;
    // Completion side (DISPATCH_LEVEL, any processor): the dropped values
    // and whether the last transfer that brought values dropped some, so
    // that a run of dropped values is logged once, when it starts.
    volatile LONG m_nDroppedFeedback = 0;
    volatile LONG m_bDroppingFeedback = 0;
};

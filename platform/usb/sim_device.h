// Transport-independent part of a simulated USB audio device. The bus turns
// URBs into calls here and adds only transport and timing:
//
//   HandleControlTransfer(setup, data, length)   every control transfer
//   ConsumeIsoOut(endpoint, data, length)        one OUT packet in its slot
//   ProduceIsoIn(endpoint, data, capacity)       one IN packet (data or feedback)
//   TakeInMessage(endpoint, ...)                 interrupt / bulk IN transfer
//
// The device answers standard requests from its descriptor set, class
// requests through UacModel, HID requests on HID interfaces, vendor
// requests from a table keyed by the setup fields or a pluggable
// responder, and stalls everything else. Fault rules matched on the setup
// packet can stall, shorten, alter, drop, delay or disconnect an answer;
// the last three are dispositions the bus carries out. Every call is
// serialised by one mutex, so the bus may call from any thread; callbacks
// (the IN-message listener, the HID hook, the vendor responder) run
// without it held, except the responder, which runs under it and must not
// call back into the device.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

#include "platform/usb/uac_stream.h"

namespace simusb {

// What the bus must do with a control transfer's answer.
enum class Disposition {
    Complete,      // complete now with status and bytes
    NoAnswer,      // never complete (until cancelled)
    Late,          // complete after delayMs of bus time
    NotConnected,  // fail with STATUS_DEVICE_NOT_CONNECTED
};

struct ControlResult {
    USBD_STATUS status = USBD_STATUS_STALL_PID;
    ULONG bytes = 0;
    Disposition disposition = Disposition::Complete;
    ULONG delayMs = 0;
};

struct ControlRule {
    // Match: each field that is set must equal the setup packet's.
    std::optional<UCHAR> bmRequestType, bRequest;
    std::optional<USHORT> wValue, wIndex;
    enum Action { Stall, Short, AlterByte, NoAnswer, Late, NotConnected } action = Stall;
    ULONG shortTo = 0;                  // Short: at most this many bytes
    ULONG offset = 0;                   // AlterByte: byte of the answer ...
    uint8_t value = 0;                  // ... and its new value
    ULONG delayMs = 0;                  // Late
    ULONG skip = 0;                     // matches let through before acting
    LONG count = -1;                    // times to act; -1 for ever
};

struct ControlLogEntry {
    SetupPacket setup;
    Bytes data;  // OUT: what the host sent; IN: what the device answered
    USBD_STATUS status = 0;
    Disposition disposition = Disposition::Complete;
};

struct IsoPacketResult {
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    ULONG bytes = 0;
};

class SimDevice {
public:
    explicit SimDevice(DescriptorSet descriptors);

    const DescriptorSet& descriptors() const { return set_; }
    bool highSpeed() const { return set_.speed == UsbSpeed::High; }

    ControlResult HandleControlTransfer(const SetupPacket& setup, uint8_t* data, ULONG length);

    // Isochronous packets, one call per packet in slot order. OUT feeds the
    // endpoint's sink; IN reads the endpoint's source, or the feedback of
    // the sink it serves. A scripted status fails the packet (OUT data
    // lost, IN empty) while time still passes.
    IsoPacketResult ConsumeIsoOut(UCHAR endpoint, const uint8_t* data, ULONG length);
    IsoPacketResult ProduceIsoIn(UCHAR endpoint, uint8_t* data, ULONG capacity);
    void ScriptPacketStatuses(UCHAR endpoint, std::vector<USBD_STATUS> statuses);

    // Interrupt and bulk IN messages queued by tests. The listener is told
    // (outside the lock) when a message arrives, so the bus can complete
    // the oldest pending transfer; a message larger than the transfer is
    // cut to its length.
    void QueueInMessage(UCHAR endpoint, Bytes message);
    void QueueUac1Status(UCHAR originator, UCHAR statusType = 0);
    void QueueUac2Interrupt(UCHAR entity, UCHAR controlSelector, UCHAR channel,
                            UCHAR attribute = UAC2_CUR, UCHAR info = 0);
    bool TakeInMessage(UCHAR endpoint, uint8_t* data, ULONG capacity, ULONG* bytes);
    size_t PendingInMessages(UCHAR endpoint) const;
    void SetInMessageListener(std::function<void(UCHAR endpoint)> listener);

    void AddControlRule(const ControlRule& rule);
    void ClearControlRules();
    std::vector<ControlLogEntry> RequestLog() const;
    void ClearRequestLog();

    // Vendor requests: exact answers first, then the responder, then stall.
    void SetVendorAnswer(UCHAR bmRequestType, UCHAR bRequest, USHORT wValue, USHORT wIndex,
                         Bytes answer);
    using VendorResponder = std::function<bool(const SetupPacket&, uint8_t* data, ULONG length,
                                                ControlResult* result)>;
    void SetVendorResponder(VendorResponder responder);

    // HID interfaces: SET_REPORT payloads are logged (and passed to the
    // hook); GET_REPORT answers the report set here for its wValue.
    std::vector<Bytes> HidSetReports() const;
    void SetHidInputReport(USHORT wValue, Bytes report);
    // A sequence of input reports for wValue: each GET_REPORT takes the
    // next; the last one stays as the report set for wValue.
    void ScriptHidInputReports(USHORT wValue, std::vector<Bytes> reports);
    void SetHidReportHook(std::function<void(const SetupPacket&, const Bytes&)> hook);

    // Bus-side state changes: port reset returns every interface to
    // alternate setting 0 (the configuration stays).
    void ResetPort();
    UCHAR configuration() const;
    UCHAR AlternateSetting(UCHAR interfaceNumber) const;

    // The samples and the log of an IN endpoint's source, kept for every
    // stream it starts (see AudioSource::SetGenerator, SetRecording).
    void SetSourceGenerator(UCHAR endpoint, SampleGenerator generator);
    void SetSourceRecording(UCHAR endpoint, bool on);
    // What every OUT endpoint's sink takes, handed over as it arrives with
    // the endpoint's address (see AudioSink::SetConsumer); called with the
    // device lock held. An empty one restores the sinks' recordings.
    using SinkConsumer = std::function<void(UCHAR endpoint, const uint8_t* data, size_t bytes)>;
    void SetSinkConsumer(SinkConsumer consumer);
    // The device clock of an OUT endpoint's sink runs ppm fast (negative:
    // slow) from the next stream it starts (see AudioSink::SetDriftPpm).
    void SetSinkDriftPpm(UCHAR endpoint, double ppm);
    // Explicit feedback in the other speed's width from now on (see
    // EncodeOtherWidthFeedback): a device the host misreads.
    void SetFeedbackOtherWidth(bool on);

    // Direct access for tests; lock with lock() while the bus may run.
    UacModel& model() { return model_; }
    AudioSink* Sink(UCHAR endpoint);
    AudioSource* Source(UCHAR endpoint);
    std::unique_lock<std::mutex> lock() const { return std::unique_lock<std::mutex>(mutex_); }

private:
    ControlResult Dispatch(const SetupPacket& s, uint8_t* data, ULONG length);
    ControlResult Standard(const SetupPacket& s, uint8_t* data, ULONG length);
    ControlResult GetDescriptor(const SetupPacket& s, uint8_t* data, ULONG length);
    ControlResult SetInterface(UCHAR number, UCHAR alternate);
    bool Hid(const SetupPacket& s, uint8_t* data, ULONG length, ControlResult* r);
    void ApplyRules(const SetupPacket& s, uint8_t* data, ULONG length, ControlResult* r);
    void StartStreams(UCHAR interfaceNumber);
    void BindConsumer(AudioSink& sink, UCHAR endpoint);
    ULONG IntervalUs(const EndpointInfo& e) const;
    std::optional<USBD_STATUS> NextScriptedStatus(UCHAR endpoint);

    mutable std::mutex mutex_;
    DescriptorSet set_;
    UacModel model_;
    UCHAR configuration_ = 0;
    std::map<UCHAR, AudioSink> sinks_;
    std::map<UCHAR, double> sinkDriftPpm_;
    std::map<UCHAR, AudioSource> sources_;
    std::map<UCHAR, SampleGenerator> generators_;
    std::map<UCHAR, bool> sourceRecording_;
    SinkConsumer sinkConsumer_;
    std::map<UCHAR, UCHAR> feedbackFor_;  // feedback endpoint -> OUT data endpoint
    bool feedbackOtherWidth_ = false;
    std::map<UCHAR, std::deque<USBD_STATUS>> packetScripts_;
    std::map<UCHAR, std::deque<Bytes>> inMessages_;
    std::function<void(UCHAR)> inListener_;
    std::vector<ControlRule> rules_;
    std::vector<ControlLogEntry> log_;
    std::map<uint64_t, Bytes> vendorAnswers_;
    VendorResponder vendorResponder_;
    std::vector<Bytes> hidSetReports_;
    std::map<USHORT, Bytes> hidInputReports_;
    std::map<USHORT, std::deque<Bytes>> hidInputScripts_;
    std::function<void(const SetupPacket&, const Bytes&)> hidHook_;
    std::map<UCHAR, bool> halted_;
};

}  // namespace simusb

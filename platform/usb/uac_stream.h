// Audio ends of the simulated device's isochronous endpoints: a sink that
// plays OUT packets from a FIFO on the device's own clock and reports
// explicit feedback, and a source that records IN samples on its own clock.
// Time moves by calls: each packet stands for one service interval of its
// endpoint (1 ms at full speed, 125 us x 2^(bInterval-1) at high speed), so
// tests and the bus drive minutes of audio without a clock. Not
// thread-safe: SimDevice serialises every call.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/usb/uac_model.h"

namespace simusb {

// Sample value of the source ramps: frame n of channel c counts up from
// c * 0x1000, wrapping at 16 bits, left-aligned in the format's container
// (a container wider than 4 bytes counts as 4).
LONG RampSample(uint64_t frame, UCHAR channel, const StreamFormat& format);

// Explicit feedback value per USB 2.0 5.12.4.2 for a rate in Hz, rounded to
// nearest: full speed 10.14 samples per 1 ms frame in 3 bytes, high speed
// 16.16 samples per 125 us microframe in 4 bytes, little-endian. Returns
// the byte count (3 or 4).
ULONG EncodeFeedback(double rateHz, bool highSpeed, uint8_t* out);
// The same rate in the other speed's width, as some devices send it: at
// high speed 10.14 samples per 1 ms frame in 3 bytes, at full speed 16.16
// samples per 1 ms frame in 4 bytes, cut to capacity. Returns the bytes
// written.
ULONG EncodeOtherWidthFeedback(double rateHz, bool highSpeed, uint8_t* out, ULONG capacity);

class AudioSink {
public:
    // Starts a stream: empty FIFO, the device clock at rate x (1 + ppm/1e6).
    // target is the fill the feedback steers to (4 ms of frames); the FIFO
    // holds four times that, and drops what does not fit.
    void Start(ULONG rateHz, const StreamFormat& format, ULONG intervalUs);
    void SetDriftPpm(double ppm) { ppm_ = ppm; }
    void SetRecording(bool on) { recording_ = on; }
    // Hands every frame the FIFO takes to consumer as it arrives, instead of
    // keeping it in recorded() (long runs stay bounded); an empty one
    // restores recording.
    using Consumer = std::function<void(const uint8_t* data, size_t bytes)>;
    void SetConsumer(Consumer consumer) { consumer_ = std::move(consumer); }

    // One OUT packet in its slot. Whole frames enter the FIFO; the device
    // clock then consumes one interval's worth once the FIFO was primed to
    // the target. Returns false when the packet is not whole frames.
    bool Packet(const uint8_t* data, ULONG length);
    // A slot whose packet was lost (error status): time passes, no data.
    void EmptySlot() { Packet(nullptr, 0); }

    // Feedback per USB 2.0 5.12.4.2: the device's rate corrected towards
    // the target fill (at most +-500 Hz), as 10.14 samples per 1 ms frame in
    // 3 bytes at full speed or 16.16 samples per 125 us microframe in 4
    // bytes at high speed. Returns the bytes written (0 if capacity is short).
    // With otherWidth, in the other speed's width (EncodeOtherWidthFeedback).
    ULONG Feedback(uint8_t* out, ULONG capacity, bool highSpeed, bool otherWidth = false) const;
    double FeedbackRateHz() const;

    bool running() const { return running_; }
    ULONG rate() const { return rate_; }
    int64_t fill() const { return fill_; }
    int64_t target() const { return target_; }
    int64_t capacity() const { return 4 * target_; }
    uint64_t framesReceived() const { return received_; }
    uint64_t underruns() const { return underruns_; }
    uint64_t overruns() const { return overruns_; }
    uint64_t partialPackets() const { return partial_; }
    const std::vector<uint8_t>& recorded() const { return recorded_; }
    void ClearRecording() { recorded_.clear(); }

private:
    ULONG rate_ = 0;
    StreamFormat format_;
    ULONG intervalUs_ = 1000;
    double ppm_ = 0;
    bool running_ = false, primed_ = false, recording_ = true;
    int64_t fill_ = 0, target_ = 1;
    double consumed_ = 0;  // fractional frames owed to the device clock
    uint64_t received_ = 0, underruns_ = 0, overruns_ = 0, partial_ = 0;
    std::vector<uint8_t> recorded_;
    Consumer consumer_;
};

// A source's sample of frame n, channel c of a stream at rateHz, as
// RampSample gives it: a signed value left-aligned in the container (the
// host program's microphone tone or WAV file).
using SampleGenerator =
    std::function<LONG(uint64_t frame, UCHAR channel, const StreamFormat& format, ULONG rateHz)>;

class AudioSource {
public:
    // Starts a stream at rate x (1 + ppm/1e6). A format whose samples do not
    // take 1 to 4 bytes is not streamed: the source stays stopped.
    void Start(ULONG rateHz, const StreamFormat& format, ULONG intervalUs);
    void SetDriftPpm(double ppm) { ppm_ = ppm; }
    // The first n packets after Start carry no data (device still starting).
    void SetEmptyStartPackets(ULONG n) { emptyStart_ = n; }

    // One IN packet: the frames the device clock produced in this interval,
    // at most capacity bytes (whole frames; the rest is counted as lost).
    ULONG Packet(uint8_t* out, ULONG capacity);
    // Samples from generator instead of the ramp (an empty one restores
    // the ramp). Frames count on across restarts.
    void SetGenerator(SampleGenerator generator) { generator_ = std::move(generator); }
    // Keep every byte sent, in order, across restarts (the source's log).
    void SetRecording(bool on) { recording_ = on; }
    const std::vector<uint8_t>& recorded() const { return recorded_; }
    void ClearRecording() { recorded_.clear(); }

    bool running() const { return running_; }
    ULONG rate() const { return rate_; }
    uint64_t framesProduced() const { return produced_; }
    uint64_t framesLost() const { return lost_; }

private:
    ULONG rate_ = 0;
    StreamFormat format_;
    ULONG intervalUs_ = 1000;
    double ppm_ = 0;
    bool running_ = false;
    ULONG emptyStart_ = 0, packets_ = 0;
    double owed_ = 0;
    uint64_t produced_ = 0, lost_ = 0;
    SampleGenerator generator_;
    bool recording_ = false;
    std::vector<uint8_t> recorded_;
};

}  // namespace simusb

#include "platform/usb/uac_stream.h"

#include <algorithm>
#include <cmath>

namespace simusb {

namespace {

// Frames the device clock runs through in one interval.
double FramesPerInterval(ULONG rate, double ppm, ULONG intervalUs) {
    return (double)rate * (1.0 + ppm / 1e6) * (double)intervalUs / 1e6;
}

// The low `bytes` (at most 4) bytes of v, little-endian.
void PutSample(uint8_t* p, LONG v, UCHAR bytes) {
    for (UCHAR i = 0; i < bytes; ++i) p[i] = (uint8_t)((ULONG)v >> (8 * i));
}

// The source writes each sample as one 32-bit value: it streams only
// formats whose samples take 1 to 4 bytes. The size comes from the
// descriptor, which may declare anything up to 255.
bool SourceCanStream(const StreamFormat& format) {
    return format.channels != 0 && format.subframeSize >= 1 && format.subframeSize <= 4;
}

}  // namespace

LONG RampSample(uint64_t frame, UCHAR channel, const StreamFormat& format) {
    const LONG v16 = (int16_t)(uint16_t)(frame + (uint64_t)channel * 0x1000);
    // Left-aligned in the container; one wider than 4 bytes counts as 4.
    const int shift = 8 * std::min<int>(format.subframeSize, 4) - 16;
    return shift >= 0 ? (LONG)((ULONG)v16 << shift) : v16 >> -shift;
}

void AudioSink::Start(ULONG rateHz, const StreamFormat& format, ULONG intervalUs) {
    rate_ = rateHz;
    format_ = format;
    intervalUs_ = intervalUs ? intervalUs : 1000;
    running_ = rateHz != 0 && format.FrameBytes() != 0;
    primed_ = false;
    fill_ = 0;
    consumed_ = 0;
    target_ = std::max<int64_t>(1, (int64_t)rateHz * 4 / 1000);
}

bool AudioSink::Packet(const uint8_t* data, ULONG length) {
    if (!running_) return false;
    const ULONG frameBytes = format_.FrameBytes();
    const ULONG frames = length / frameBytes;
    const bool whole = length % frameBytes == 0;
    if (!whole) ++partial_;
    received_ += frames;
    int64_t room = capacity() - fill_;
    const int64_t kept = std::min<int64_t>(frames, room);
    if (kept < (int64_t)frames) ++overruns_;
    fill_ += kept;
    if (data && kept > 0 && consumer_) {
        consumer_(data, (size_t)kept * frameBytes);
    } else if (recording_ && data) {
        recorded_.insert(recorded_.end(), data, data + kept * frameBytes);
    }
    if (!primed_ && fill_ >= target_) primed_ = true;
    if (primed_) {
        consumed_ += FramesPerInterval(rate_, ppm_, intervalUs_);
        const int64_t due = (int64_t)consumed_;
        consumed_ -= (double)due;
        if (due > fill_) {
            ++underruns_;  // the device plays silence and primes again
            fill_ = 0;
            primed_ = false;
            consumed_ = 0;
        } else {
            fill_ -= due;
        }
    }
    return whole;
}

double AudioSink::FeedbackRateHz() const {
    const double device = (double)rate_ * (1.0 + ppm_ / 1e6);
    const double correction = std::clamp(4.0 * (double)(target_ - fill_), -500.0, 500.0);
    return device + correction;
}

ULONG EncodeFeedback(double rateHz, bool highSpeed, uint8_t* out) {
    const ULONG bytes = highSpeed ? 4 : 3;
    const double perInterval = rateHz / (highSpeed ? 8000.0 : 1000.0);
    const double scale = highSpeed ? 65536.0 : 16384.0;
    PutSample(out, (LONG)(ULONG)std::lround(perInterval * scale), (UCHAR)bytes);
    return bytes;
}

ULONG EncodeOtherWidthFeedback(double rateHz, bool highSpeed, uint8_t* out, ULONG capacity) {
    const ULONG bytes = std::min<ULONG>(highSpeed ? 3 : 4, capacity);
    const double scale = highSpeed ? 16384.0 : 65536.0;
    PutSample(out, (LONG)(ULONG)std::lround(rateHz / 1000.0 * scale), (UCHAR)bytes);
    return bytes;
}

ULONG AudioSink::Feedback(uint8_t* out, ULONG capacity, bool highSpeed, bool otherWidth) const {
    if (capacity < (highSpeed ? 4u : 3u) || !running_) return 0;
    if (otherWidth) return EncodeOtherWidthFeedback(FeedbackRateHz(), highSpeed, out, capacity);
    return EncodeFeedback(FeedbackRateHz(), highSpeed, out);
}

void AudioSource::Start(ULONG rateHz, const StreamFormat& format, ULONG intervalUs) {
    rate_ = rateHz;
    format_ = format;
    intervalUs_ = intervalUs ? intervalUs : 1000;
    running_ = rateHz != 0 && SourceCanStream(format);
    packets_ = 0;
    owed_ = 0;
}

ULONG AudioSource::Packet(uint8_t* out, ULONG capacity) {
    if (!running_) return 0;
    owed_ += FramesPerInterval(rate_, ppm_, intervalUs_);
    const uint64_t frames = (uint64_t)owed_;
    owed_ -= (double)frames;
    if (packets_++ < emptyStart_) return 0;
    const ULONG frameBytes = format_.FrameBytes();
    const uint64_t fit = std::min<uint64_t>(frames, capacity / frameBytes);
    lost_ += frames - fit;
    for (uint64_t f = 0; f < fit; ++f) {
        for (UCHAR c = 0; c < format_.channels; ++c) {
            LONG v = generator_ ? generator_(produced_, c, format_, rate_) : RampSample(produced_, c, format_);
            PutSample(out + f * frameBytes + (ULONG)c * format_.subframeSize, v, format_.subframeSize);
        }
        ++produced_;
    }
    if (recording_) recorded_.insert(recorded_.end(), out, out + fit * frameBytes);
    return (ULONG)(fit * frameBytes);
}

}  // namespace simusb

// Playing and recording through the wave filters, as Windows' audio engine
// would: the streaming pin of a wave filter opened with a format
// (sim::WavePin), run for the simulated time asked, stepped down and
// closed. Data moves in blocks: playback reads its source as the pin takes
// it and hands what the device's OUT endpoint received to a byte sink as it
// arrives; recording hands the pin's captured bytes on the same way.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tools/host/host_session.h"

namespace host {

// Called about every 10 ms of simulated time with the seconds done and the
// seconds the run takes.
using Progress = std::function<void(double done, double total)>;

// Where the bytes of a run go as they arrive; an empty one collects them in
// StreamRun::bytes.
using ByteSink = std::function<void(const uint8_t* data, size_t bytes)>;

// The format of the bytes a device's endpoint receives, told once before
// the first of them.
using FormatSink = std::function<void(const WAVEFORMATEXTENSIBLE& format)>;

// The PCM of a playback, read block by block.
class PcmSource {
public:
    virtual ~PcmSource() = default;
    virtual uint64_t TotalBytes() const = 0;
    // Up to maxBytes of whole frames; 0 at the end.
    virtual size_t Read(uint8_t* out, size_t maxBytes) = 0;
};

// Bytes held by the caller.
class BytesSource : public PcmSource {
public:
    explicit BytesSource(const std::vector<uint8_t>& bytes) : m_Bytes(bytes) {}
    uint64_t TotalBytes() const override { return m_Bytes.size(); }
    size_t Read(uint8_t* out, size_t maxBytes) override;

private:
    const std::vector<uint8_t>& m_Bytes;
    size_t m_Next = 0;
};

// A sine of hz at dbfs (peak) for seconds, in an integer PCM format,
// computed block by block.
class ToneSource : public PcmSource {
public:
    ToneSource(const WAVEFORMATEXTENSIBLE& format, double hz, double dbfs, double seconds);
    uint64_t TotalBytes() const override { return m_Frames * m_Format.Format.nBlockAlign; }
    size_t Read(uint8_t* out, size_t maxBytes) override;

private:
    WAVEFORMATEXTENSIBLE m_Format;
    double m_Hz, m_Dbfs;
    uint64_t m_Frames, m_Next = 0;
};

// How the frames a device's OUT endpoint received divide: silence before
// the played signal (the transfers sent ahead of the pin's position 0), the
// played frames, and what followed them (the drain). The signal begins
// where the received frames stop being silent, less the silent frames the
// played data itself begins with; a run that received only silence has no
// lead-in.
//
// Where the device's frames are the pin's (same size), the received frames
// after the lead-in are also compared with the played ones in order: the
// first played frame that is not what the device received there is the
// first missing one. The played frames wait for the comparison as they are
// queued (about a second ahead); more than kComparedAheadSeconds of them
// waiting means the device stopped taking data, and the oldest is missing.
class ReceivedSplit {
public:
    static constexpr uint64_t kComparedAheadSeconds = 10;

    explicit ReceivedSplit(const WAVEFORMATEXTENSIBLE& format);
    void Played(const uint8_t* data, size_t bytes);
    void Received(const uint8_t* data, size_t bytes);
    // The endpoint's own frame size, where the device receives frames of
    // another width than the pin plays (a stream that sends only some of
    // the channels); by default the pin's. Frames of another size are
    // counted, not compared.
    void SetReceivedFrameBytes(size_t bytes);
    uint64_t PlayedFrames() const { return m_Played.frames; }
    uint64_t ReceivedFrames() const { return m_Received.frames; }
    uint64_t LeadFrames() const;
    uint64_t SignalFrames() const;
    uint64_t TailFrames() const { return ReceivedFrames() - LeadFrames() - SignalFrames(); }
    // Whether the content was compared (the frames are the same size).
    bool Compared() const { return m_ReceivedFrameBytes == m_FrameBytes; }
    // The index of the first played frame the device did not receive as
    // played, or -1 when every played frame arrived (or none was compared).
    int64_t FirstMissingFrame() const;

private:
    struct Count {
        uint64_t frames = 0;
        uint64_t silent = 0;  // frames before the first one that is not silence
        bool sound = false;
    };
    void Add(Count& count, const uint8_t* data, size_t bytes, size_t frameBytes) const;
    bool Silent(const uint8_t* frame, size_t frameBytes) const;
    void Compare(const uint8_t* data, size_t bytes);
    void MatchSilence();
    void DropCompared();
    void Missing(uint64_t frame);

    size_t m_FrameBytes, m_ReceivedFrameBytes;
    uint8_t m_Silence;  // 0x80 for unsigned 8-bit samples
    Count m_Played, m_Received;
    // Played and Received may come from different threads (the client's
    // and the device's).
    mutable std::mutex m_Lock;
    // Played bytes not yet compared from m_PendingHead on, which is played
    // frame m_Matched; m_Mismatch is the first missing frame once found.
    std::vector<uint8_t> m_Pending;
    size_t m_PendingHead = 0;
    size_t m_PendingLimit;
    uint64_t m_Matched = 0;
    int64_t m_Mismatch = -1;
};

struct StreamRun {
    NTSTATUS status = STATUS_SUCCESS;
    std::string error;  // why the run did not happen (status tells who refused)
    bool formatRefused = false;
    WAVEFORMATEXTENSIBLE format = {};
    std::vector<uint8_t> bytes;  // without a byte sink
    // Playback: the OUT endpoint that received the data (0: none did), the
    // frames it received divided as ReceivedSplit says, and the render
    // transfers that failed while the stream ran, and the feedback values
    // the driver dropped (a Class 2.0 device sending a width it cannot use).
    UCHAR endpoint = 0;
    uint64_t playedFrames = 0, leadFrames = 0, signalFrames = 0, tailFrames = 0;
    // The first played frame the device did not receive as played (-1:
    // none; see ReceivedSplit).
    int64_t firstMissingFrame = -1;
    ULONG failedTransfers = 0;
    ULONG droppedFeedback = 0;
    // Recording: the frames asked for and the frames taken (no more).
    uint64_t askedFrames = 0, recordedFrames = 0;
};

// The data format a pin is opened with: the 64-byte header, the wave
// format, and (for formats flagged with attributes) the RAW mode list.
std::vector<uint8_t> ConnectFormat(const WAVEFORMATEXTENSIBLE& wave, bool withAttributes);

// The format a filter's intersection gives for a wildcard PCM range.
bool IntersectedFormat(const WaveFilter& filter, WAVEFORMATEXTENSIBLE* format, std::string* error);

// The engine formats of a wave filter's endpoint, as the engine offers them.
std::vector<WAVEFORMATEXTENSIBLE> OfferedFormats(HostSession& session, const WaveFilter& filter);
std::string FormatText(const WAVEFORMATEXTENSIBLE& format);

// Samples of 3-byte 24-bit PCM widened to 32-bit containers, bit-exact in
// their top 24 bits (the rest zero), for a device that carries 24 bits in
// 4-byte subslots.
class WidenedSource : public PcmSource {
public:
    WidenedSource(PcmSource& narrow, USHORT channels) : m_Narrow(narrow), m_Channels(channels) {}
    uint64_t TotalBytes() const override { return m_Narrow.TotalBytes() / 3 * 4; }
    size_t Read(uint8_t* out, size_t maxBytes) override;

private:
    PcmSource& m_Narrow;
    USHORT m_Channels;
    std::vector<uint8_t> m_Block;
};

// The format a 24-bit PCM file in format plays as on a device that offers
// no 3-byte 24-bit format and 24 bits in 32-bit containers: the same
// channels and rate, 24 valid bits in 32. False when the file is not
// 24-bit PCM or the device offers a 3-byte 24-bit format, or none in 32.
bool WidenedFormat(const WAVEFORMATEXTENSIBLE& format, const std::vector<WAVEFORMATEXTENSIBLE>& offered,
                   WAVEFORMATEXTENSIBLE* widened);

// ToneSource's bytes at once.
std::vector<uint8_t> ToneBytes(const WAVEFORMATEXTENSIBLE& format, double hz, double dbfs, double seconds);

// Plays source in format; received gets what the device's OUT endpoint
// took, lead-in and drain included.
StreamRun Play(HostSession& session, const WAVEFORMATEXTENSIBLE& format, PcmSource& source, const ByteSink& received,
               const Progress& progress);
// The same; receivedFormat is told the format of the endpoint's bytes (its
// channels, rate and container, which may differ from the pin's) before
// received gets the first of them.
StreamRun Play(HostSession& session, const WAVEFORMATEXTENSIBLE& format, PcmSource& source, const ByteSink& received,
               const Progress& progress, const FormatSink& receivedFormat);
StreamRun Play(HostSession& session, const WAVEFORMATEXTENSIBLE& format, const std::vector<uint8_t>& pcm,
               const Progress& progress);
// Records exactly seconds of the capture filter's format (whole frames,
// rounded to nearest) unless the stream fails or stops delivering.
StreamRun Record(HostSession& session, double seconds, const ByteSink& recorded, const Progress& progress);
StreamRun Record(HostSession& session, double seconds, const Progress& progress);

// What a finished playback lost, for the user: the played frames that did
// not reach the device, the first of them where the content was compared,
// transfers that failed; empty when nothing was.
std::string PlaybackShortfall(const StreamRun& run);
// The feedback values a playback dropped, for the user; empty when none.
std::string FeedbackNote(const StreamRun& run);

}  // namespace host

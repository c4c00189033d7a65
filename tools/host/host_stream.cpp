// Playback and recording through the wave filters (see host_stream.h).
#include "tools/host/host_stream.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include <algorithm>

#include "platform/portcls/wave_pin.h"
#include "sim/executor.h"
#include "stream/usb/usb_async_render_stream.h"
#include "stream/usb/usb_render_stream.h"
#include "stream/wave/wave_guids.h"
#include "tools/host/host_device.h"
#include "tools/host/ks_names.h"

namespace host {

namespace {

constexpr LONGLONG kStepMs = 10;
// After the last queued byte: the pin's 20 ms lead, the 15 ms of transfers
// in flight and some slack, so the device has played everything.
constexpr LONGLONG kDrainMs = 60;

void Wait(LONGLONG ms) { sim::Sleep(ms * sim::kTicksPerMillisecond); }

// Opens the streaming pin; the error text names who refused.
bool OpenPin(sim::WavePin& pin, const WaveFilter& filter, const WAVEFORMATEXTENSIBLE& format, StreamRun* run) {
    std::vector<uint8_t> connect = ConnectFormat(format, false);
    run->status = pin.Open(filter.port, 0, connect.data(), (ULONG)connect.size());
    if (NT_SUCCESS(run->status)) return true;
    run->formatRefused = run->status == STATUS_NO_MATCH || run->status == STATUS_INVALID_PARAMETER;
    run->error = Narrow(filter.name) + " refused " + FormatText(format) + ": " + StatusText(run->status);
    return false;
}

// The stream engine behind a wave filter (no reference), or NULL.
IStreamEngine* EngineOf(HostSession& session, const WaveFilter& filter) {
    IAudioHal* hal = session.Adapter();
    ULONG count = hal ? hal->GetStreamEngineCount() : 0;
    for (ULONG i = 0; i < count; i++) {
        IStreamEngine* engine = NULL;
        WCHAR name[STREAM_NAME_MAX_CHARS + 1] = {};
        if (!NT_SUCCESS(hal->GetStreamEngine(i, &engine)) || engine == NULL || !NT_SUCCESS(engine->GetName(name)))
            continue;
        if (std::u16string(name) + u"Wave" == filter.name) return engine;
    }
    return NULL;
}

NTSTATUS Stop(sim::WavePin& pin) {
    NTSTATUS status = pin.SetState(KSSTATE_STOP);
    pin.Close();
    return status;
}

}  // namespace

std::vector<uint8_t> ConnectFormat(const WAVEFORMATEXTENSIBLE& wave, bool withAttributes) {
    KSDATAFORMAT header = {};
    header.FormatSize = sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE);
    header.Flags = withAttributes ? KSDATAFORMAT_ATTRIBUTES : 0;
    header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header.SubFormat = WaveSubFormat(wave);
    header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    std::vector<uint8_t> out(sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE));
    memcpy(out.data(), &header, sizeof(header));
    memcpy(out.data() + sizeof(header), &wave, sizeof(wave));
    if (withAttributes) {
        KSMULTIPLE_ITEM list = {sizeof(KSMULTIPLE_ITEM) + sizeof(KSATTRIBUTE) + sizeof(GUID), 1};
        KSATTRIBUTE mode = {sizeof(KSATTRIBUTE) + sizeof(GUID), 0, KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE};
        const auto put = [&out](const void* p, size_t n) {
            out.insert(out.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
        };
        put(&list, sizeof(list));
        put(&mode, sizeof(mode));
        put(&AUDIO_SIGNALPROCESSINGMODE_RAW, sizeof(GUID));
    }
    return out;
}

bool IntersectedFormat(const WaveFilter& filter, WAVEFORMATEXTENSIBLE* format, std::string* error) {
    KSDATARANGE_AUDIO range = {};
    range.DataRange.FormatSize = sizeof(range);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WILDCARD;
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE result = {};
    ULONG length = 0;
    NTSTATUS status = sim::WavePin::IntersectPin(filter.port, 0, &range.DataRange, sizeof(result), &result, &length);
    if (!NT_SUCCESS(status) || length != sizeof(result)) {
        *error = Narrow(filter.name) + ": no format from the intersection (" + StatusText(status) + ")";
        return false;
    }
    *format = result.WaveFormatExt;
    return true;
}

std::vector<WAVEFORMATEXTENSIBLE> OfferedFormats(HostSession& session, const WaveFilter& filter) {
    std::vector<WAVEFORMATEXTENSIBLE> formats;
    IStreamEngine* engine = EngineOf(session, filter);
    for (ULONG k = 0; engine != NULL && k < engine->GetFormatCount(); k++) {
        WAVEFORMATEXTENSIBLE f;
        if (NT_SUCCESS(engine->GetFormat(k, &f))) formats.push_back(f);
    }
    return formats;
}

std::string FormatText(const WAVEFORMATEXTENSIBLE& f) {
    std::string sub = f.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? GuidName(WaveSubFormat(f))
                                                                   : "tag " + std::to_string(f.Format.wFormatTag);
    if (sub.rfind("KSDATAFORMAT_SUBTYPE_", 0) == 0) sub = sub.substr(21);
    char mask[16];
    std::snprintf(mask, sizeof(mask), "0x%X", (unsigned)f.dwChannelMask);
    return std::to_string(f.Format.nChannels) + " ch " + std::to_string(f.Format.nSamplesPerSec) + " Hz " +
           std::to_string(f.Samples.wValidBitsPerSample) + "/" + std::to_string(f.Format.wBitsPerSample) + " bit " +
           sub + " mask " + mask;
}

size_t BytesSource::Read(uint8_t* out, size_t maxBytes) {
    const size_t n = std::min(maxBytes, m_Bytes.size() - m_Next);
    memcpy(out, m_Bytes.data() + m_Next, n);
    m_Next += n;
    return n;
}

ToneSource::ToneSource(const WAVEFORMATEXTENSIBLE& format, double hz, double dbfs, double seconds)
    : m_Format(format), m_Hz(hz), m_Dbfs(dbfs), m_Frames((uint64_t)std::llround(seconds * format.Format.nSamplesPerSec)) {}

size_t ToneSource::Read(uint8_t* out, size_t maxBytes) {
    const WAVEFORMATEXTENSIBLE& f = m_Format;
    const ULONG bytes = f.Format.wBitsPerSample / 8;
    if (f.Format.nBlockAlign == 0) return 0;
    const uint64_t frames = std::min<uint64_t>(maxBytes / f.Format.nBlockAlign, m_Frames - m_Next);
    simusb::StreamFormat shape{(UCHAR)f.Format.nChannels, (UCHAR)bytes, (UCHAR)f.Samples.wValidBitsPerSample};
    uint8_t* p = out;
    for (uint64_t n = m_Next; n < m_Next + frames; n++) {
        LONG v = ToneSample(m_Hz, m_Dbfs, n, f.Format.nSamplesPerSec, shape);
        if (bytes == 1) v += 0x80;  // 8-bit PCM is unsigned
        for (USHORT c = 0; c < f.Format.nChannels; c++)
            for (ULONG b = 0; b < bytes; b++) *p++ = (uint8_t)((ULONG)v >> (8 * b));
    }
    m_Next += frames;
    return (size_t)(p - out);
}

size_t WidenedSource::Read(uint8_t* out, size_t maxBytes) {
    const size_t frameBytes = (size_t)m_Channels * 3;
    if (frameBytes == 0) return 0;
    m_Block.resize(maxBytes / ((size_t)m_Channels * 4) * frameBytes);
    const size_t n = m_Narrow.Read(m_Block.data(), m_Block.size());
    for (size_t i = 0; i < n / 3; i++) {
        out[4 * i] = 0;
        memcpy(out + 4 * i + 1, m_Block.data() + 3 * i, 3);
    }
    return n / 3 * 4;
}

bool WidenedFormat(const WAVEFORMATEXTENSIBLE& format, const std::vector<WAVEFORMATEXTENSIBLE>& offered,
                   WAVEFORMATEXTENSIBLE* widened) {
    const auto integer = [](const WAVEFORMATEXTENSIBLE& f) {
        return f.Format.wFormatTag != WAVE_FORMAT_EXTENSIBLE || WaveSubFormat(f) == KSDATAFORMAT_SUBTYPE_PCM;
    };
    if (format.Format.wBitsPerSample != 24 || !integer(format)) return false;
    bool threeBytes = false, inFour = false;
    for (const WAVEFORMATEXTENSIBLE& f : offered) {
        if (!integer(f)) continue;
        threeBytes |= f.Format.wBitsPerSample == 24;
        inFour |= f.Format.wBitsPerSample == 32 && f.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
                  f.Samples.wValidBitsPerSample == 24;
    }
    if (threeBytes || !inFour) return false;
    *widened = format;
    widened->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    widened->Format.cbSize = 22;
    widened->Format.wBitsPerSample = 32;
    widened->Format.nBlockAlign = (WORD)(format.Format.nChannels * 4);
    widened->Format.nAvgBytesPerSec = widened->Format.nBlockAlign * format.Format.nSamplesPerSec;
    widened->Samples.wValidBitsPerSample = 24;
    SetWaveSubFormat(widened, KSDATAFORMAT_SUBTYPE_PCM);
    return true;
}

std::vector<uint8_t> ToneBytes(const WAVEFORMATEXTENSIBLE& f, double hz, double dbfs, double seconds) {
    ToneSource tone(f, hz, dbfs, seconds);
    std::vector<uint8_t> out((size_t)tone.TotalBytes());
    out.resize(tone.Read(out.data(), out.size()));
    return out;
}

ReceivedSplit::ReceivedSplit(const WAVEFORMATEXTENSIBLE& format)
    : m_FrameBytes(format.Format.nBlockAlign ? format.Format.nBlockAlign : 1),
      m_ReceivedFrameBytes(m_FrameBytes),
      m_Silence(format.Format.wBitsPerSample == 8 ? 0x80 : 0),
      m_PendingLimit((size_t)(kComparedAheadSeconds * std::max<uint64_t>(format.Format.nSamplesPerSec, 1) * m_FrameBytes)) {}

bool ReceivedSplit::Silent(const uint8_t* frame, size_t frameBytes) const {
    return std::all_of(frame, frame + frameBytes, [this](uint8_t b) { return b == m_Silence; });
}

void ReceivedSplit::Add(Count& count, const uint8_t* data, size_t bytes, size_t frameBytes) const {
    const uint64_t frames = bytes / frameBytes;
    for (uint64_t i = 0; i < frames && !count.sound; i++) {
        count.sound = !Silent(data + i * frameBytes, frameBytes);
        if (!count.sound) count.silent++;
    }
    count.frames += frames;
}

void ReceivedSplit::Missing(uint64_t frame) {
    m_Mismatch = (int64_t)frame;
    std::vector<uint8_t>().swap(m_Pending);
    m_PendingHead = 0;
}

void ReceivedSplit::Played(const uint8_t* data, size_t bytes) {
    std::lock_guard<std::mutex> guard(m_Lock);
    Add(m_Played, data, bytes, m_FrameBytes);
    if (m_Mismatch >= 0 || !Compared()) return;
    m_Pending.insert(m_Pending.end(), data, data + bytes / m_FrameBytes * m_FrameBytes);
    if (m_Pending.size() - m_PendingHead > m_PendingLimit) Missing(m_Matched);
}

// Until the device receives something other than silence, its silence is
// the lead-in and the played data's own silent start, which matches.
void ReceivedSplit::MatchSilence() {
    const uint64_t silent = std::min(m_Received.silent, m_Played.silent);
    if (silent <= m_Matched) return;
    m_PendingHead += (size_t)(silent - m_Matched) * m_FrameBytes;
    m_Matched = silent;
    DropCompared();
}

// Compared bytes leave once they are at least half of what is held.
void ReceivedSplit::DropCompared() {
    if (m_PendingHead != 0 && m_PendingHead >= m_Pending.size() - m_PendingHead) {
        m_Pending.erase(m_Pending.begin(), m_Pending.begin() + (ptrdiff_t)m_PendingHead);
        m_PendingHead = 0;
    }
}

void ReceivedSplit::Compare(const uint8_t* data, size_t bytes) {
    const size_t frames = bytes / m_FrameBytes;
    for (size_t i = 0; i < frames && m_Mismatch < 0; i++) {
        if (m_PendingHead == m_Pending.size()) return;  // past the played frames: the drain
        if (memcmp(data + i * m_FrameBytes, m_Pending.data() + m_PendingHead, m_FrameBytes) != 0) {
            Missing(m_Matched);
            return;
        }
        m_PendingHead += m_FrameBytes;
        m_Matched++;
    }
    DropCompared();
}

void ReceivedSplit::Received(const uint8_t* data, size_t bytes) {
    std::lock_guard<std::mutex> guard(m_Lock);
    const bool sounded = m_Received.sound;
    Add(m_Received, data, bytes, m_ReceivedFrameBytes);
    if (!Compared() || m_Mismatch >= 0) return;
    size_t skip = 0;
    if (!sounded) {
        MatchSilence();
        if (!m_Received.sound) return;
        // The silent frames of this block were counted in the lead.
        const size_t frames = bytes / m_FrameBytes;
        while (skip < frames && Silent(data + skip * m_FrameBytes, m_FrameBytes)) skip++;
        skip *= m_FrameBytes;
    }
    Compare(data + skip, bytes / m_FrameBytes * m_FrameBytes - skip);
}

void ReceivedSplit::SetReceivedFrameBytes(size_t bytes) {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (bytes != 0) m_ReceivedFrameBytes = bytes;
}

int64_t ReceivedSplit::FirstMissingFrame() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!Compared()) return -1;
    if (m_Mismatch >= 0) return m_Mismatch;
    return m_Matched < m_Played.frames ? (int64_t)m_Matched : -1;
}

uint64_t ReceivedSplit::LeadFrames() const {
    if (!m_Received.sound) return 0;
    return m_Received.silent > m_Played.silent ? m_Received.silent - m_Played.silent : 0;
}

uint64_t ReceivedSplit::SignalFrames() const { return std::min(m_Played.frames, m_Received.frames - LeadFrames()); }

namespace {

// The format of what an endpoint receives: the setting's channels,
// container and valid bits at the stream's rate, as PCM; the played
// format's channel mask where the channel counts agree, else the first
// positions. The played format where the setting has none.
WAVEFORMATEXTENSIBLE ReceivedFormat(const simusb::AltSetting* alt, ULONG rate, const WAVEFORMATEXTENSIBLE& played) {
    if (alt == nullptr || !alt->hasFormat || alt->format.channels == 0 || alt->format.subframeSize == 0 || rate == 0)
        return played;
    const simusb::StreamFormat& s = alt->format;
    WAVEFORMATEXTENSIBLE f = {};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = s.channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = (WORD)(8 * s.subframeSize);
    f.Format.nBlockAlign = (WORD)s.FrameBytes();
    f.Format.nAvgBytesPerSec = f.Format.nBlockAlign * rate;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = s.bits > 0 && s.bits <= f.Format.wBitsPerSample ? s.bits : f.Format.wBitsPerSample;
    f.dwChannelMask = played.Format.nChannels == s.channels ? played.dwChannelMask
                      : s.channels >= 32                     ? 0xFFFFFFFFu
                                                             : (1u << s.channels) - 1;
    SetWaveSubFormat(&f, KSDATAFORMAT_SUBTYPE_PCM);
    return f;
}

// Taps every OUT endpoint of the device for the life of the object: the
// first endpoint that delivers is the one the driver streams to, and its
// bytes go to the split and on to the sink.
class DeviceTap {
public:
    DeviceTap(simusb::SimDevice& device, ReceivedSplit& split, const ByteSink& sink, std::vector<uint8_t>* collect,
              const WAVEFORMATEXTENSIBLE& played, const FormatSink& formatSink)
        : m_Device(device) {
        device.SetSinkConsumer([this, &split, sink, collect, played, formatSink](UCHAR endpoint, const uint8_t* data,
                                                                                  size_t bytes) {
            if (m_Endpoint == 0) {
                m_Endpoint = endpoint;
                // Count the frames the endpoint's setting carries.
                const simusb::AltSetting* alt = m_Device.model().ActiveAltFor(endpoint);
                if (alt != nullptr && alt->hasFormat) split.SetReceivedFrameBytes(alt->format.FrameBytes());
                if (formatSink) formatSink(ReceivedFormat(alt, m_Device.model().StreamRate(endpoint), played));
            }
            if (endpoint != m_Endpoint) return;
            split.Received(data, bytes);
            if (sink) sink(data, bytes);
            else collect->insert(collect->end(), data, data + bytes);
        });
    }
    ~DeviceTap() { Detach(); }
    // No more data after this; the endpoint then reads safely.
    void Detach() { m_Device.SetSinkConsumer(nullptr); }
    UCHAR Endpoint() const { return m_Endpoint; }

private:
    simusb::SimDevice& m_Device;
    UCHAR m_Endpoint = 0;  // under the device lock until Detach
};

// Keeps about a second of the source queued ahead of the pin, in blocks of
// a quarter second, so that the pin never runs dry mid-signal and the
// source is read as it plays.
class Feeder {
public:
    Feeder(sim::WavePin& pin, PcmSource& source, ReceivedSplit& split, const WAVEFORMATEXTENSIBLE& format)
        : m_Pin(pin), m_Source(source), m_Split(split), m_Ahead(format.Format.nAvgBytesPerSec) {
        const size_t block = format.Format.nBlockAlign ? format.Format.nBlockAlign : 1;
        m_Buffer.resize(std::max(block, format.Format.nAvgBytesPerSec / 4 / block * block));
    }
    void Top() {
        while (!m_Ended && m_Pin.QueuedRenderBytes() < m_Ahead) {
            const size_t n = m_Source.Read(m_Buffer.data(), m_Buffer.size());
            m_Ended = n == 0;
            if (n == 0) break;
            // Known as played before the pin can write it.
            m_Split.Played(m_Buffer.data(), n);
            m_Pin.QueueRender(m_Buffer.data(), n);
        }
    }
    bool Done() { return m_Ended && m_Pin.QueuedRenderBytes() == 0; }

private:
    sim::WavePin& m_Pin;
    PcmSource& m_Source;
    ReceivedSplit& m_Split;
    size_t m_Ahead;
    std::vector<uint8_t> m_Buffer;
    bool m_Ended = false;
};

}  // namespace

StreamRun Play(HostSession& session, const WAVEFORMATEXTENSIBLE& format, PcmSource& source, const ByteSink& received,
               const Progress& progress) {
    return Play(session, format, source, received, progress, nullptr);
}

StreamRun Play(HostSession& session, const WAVEFORMATEXTENSIBLE& format, PcmSource& source, const ByteSink& received,
               const Progress& progress, const FormatSink& receivedFormat) {
    StreamRun run;
    run.format = format;
    WaveFilter filter = session.FindWaveFilter(false);
    if (filter.port == NULL) {
        run.status = STATUS_NOT_FOUND;
        run.error = "the device has no render wave filter";
        return run;
    }
    sim::WavePin pin;
    if (!OpenPin(pin, filter, format, &run)) return run;
    // Failed transfers are counted by the USB Audio Class 1.0 render stream;
    // another stream class has no count to read.
    CUsbRenderStream* stream = dynamic_cast<CUsbRenderStream*>(EngineOf(session, filter));
    const ULONG failedBefore = stream ? stream->FailedTransfers() : 0;
    // Dropped feedback values are counted by the Class 2.0 render stream.
    CUsbAsyncRenderStream* async = dynamic_cast<CUsbAsyncRenderStream*>(EngineOf(session, filter));
    const ULONG droppedBefore = async ? async->DroppedFeedbackValues() : 0;
    ReceivedSplit split(format);
    DeviceTap tap(session.Device(), split, received, &run.bytes, format, receivedFormat);
    Feeder feeder(pin, source, split, format);
    feeder.Top();
    run.status = pin.SetState(KSSTATE_RUN);
    const double total = (double)source.TotalBytes() / format.Format.nAvgBytesPerSec;
    // A device that stops taking data (unplugged, say) ends the run one
    // second after the data should have gone.
    const LONGLONG limit = (LONGLONG)(total * 1000) + 1000;
    LONGLONG ms = 0;
    while (NT_SUCCESS(run.status) && !feeder.Done() && ms < limit) {
        Wait(kStepMs);
        ms += kStepMs;
        feeder.Top();
        if (progress) progress(ms / 1000.0, total);
    }
    Wait(kDrainMs);
    // Failures counted before the stop: the stop's cancellations are not
    // failures anyway, and nothing after it is the run's.
    run.failedTransfers = stream ? stream->FailedTransfers() - failedBefore : 0;
    run.droppedFeedback = async ? async->DroppedFeedbackValues() - droppedBefore : 0;
    NTSTATUS stopped = Stop(pin);
    tap.Detach();
    if (NT_SUCCESS(run.status)) run.status = stopped;
    if (!NT_SUCCESS(run.status)) run.error = "playback ended with " + StatusText(run.status);
    run.endpoint = tap.Endpoint();
    run.playedFrames = split.PlayedFrames();
    run.leadFrames = split.LeadFrames();
    run.signalFrames = split.SignalFrames();
    run.tailFrames = split.TailFrames();
    run.firstMissingFrame = split.FirstMissingFrame();
    return run;
}

StreamRun Play(HostSession& session, const WAVEFORMATEXTENSIBLE& format, const std::vector<uint8_t>& pcm,
               const Progress& progress) {
    BytesSource source(pcm);
    return Play(session, format, source, nullptr, progress);
}

std::string PlaybackShortfall(const StreamRun& run) {
    std::string text;
    if (run.signalFrames < run.playedFrames)
        text = std::to_string(run.playedFrames - run.signalFrames) + " of the " + std::to_string(run.playedFrames) +
               " played frames did not reach the device";
    if (run.firstMissingFrame >= 0)
        text += (text.empty() ? "" : "; ") + std::string("played frame ") + std::to_string(run.firstMissingFrame) +
                " is the first the device did not receive as played (in order, after the lead-in)";
    if (run.failedTransfers != 0)
        text += (text.empty() ? "" : "; ") + std::to_string(run.failedTransfers) + " render transfers failed while the stream ran";
    return text;
}

std::string FeedbackNote(const StreamRun& run) {
    if (run.droppedFeedback == 0) return "";
    return std::to_string(run.droppedFeedback) +
           " feedback values of the device were dropped (not within 1000 Hz of the format's rate); the stream kept "
           "the nominal rate";
}

StreamRun Record(HostSession& session, double seconds, const ByteSink& recorded, const Progress& progress) {
    StreamRun run;
    WaveFilter filter = session.FindWaveFilter(true);
    if (filter.port == NULL) {
        run.status = STATUS_NOT_FOUND;
        run.error = "the device has no capture wave filter";
        return run;
    }
    if (!IntersectedFormat(filter, &run.format, &run.error)) {
        run.status = STATUS_NO_MATCH;
        return run;
    }
    sim::WavePin pin;
    if (!OpenPin(pin, filter, run.format, &run)) return run;
    const size_t block = run.format.Format.nBlockAlign ? run.format.Format.nBlockAlign : 1;
    run.askedFrames = (uint64_t)std::llround(seconds * run.format.Format.nSamplesPerSec);
    // Takes what the pin captured, up to the frames asked for.
    const auto take = [&] {
        std::vector<uint8_t> got = pin.TakeCaptured();
        const uint64_t frames = std::min<uint64_t>(got.size() / block, run.askedFrames - run.recordedFrames);
        if (frames == 0) return;
        if (recorded) recorded(got.data(), frames * block);
        else run.bytes.insert(run.bytes.end(), got.data(), got.data() + frames * block);
        run.recordedFrames += frames;
    };
    run.status = pin.SetState(KSSTATE_RUN);
    // The capture position trails the device by a few transfers: the run
    // goes on until the frames are in, for at most a second more.
    const LONGLONG limit = std::llround(seconds * 1000) + 1000;
    for (LONGLONG ms = 0; NT_SUCCESS(run.status) && run.recordedFrames < run.askedFrames && ms < limit; ms += kStepMs) {
        Wait(kStepMs);
        take();
        if (progress) progress((double)run.recordedFrames / run.format.Format.nSamplesPerSec, seconds);
    }
    NTSTATUS stopped = Stop(pin);
    take();
    if (NT_SUCCESS(run.status)) run.status = stopped;
    if (!NT_SUCCESS(run.status)) run.error = "recording ended with " + StatusText(run.status);
    return run;
}

StreamRun Record(HostSession& session, double seconds, const Progress& progress) {
    return Record(session, seconds, nullptr, progress);
}

}  // namespace host

// Playback and recording through the wave filters (see host_stream.h).
#include "tools/host/host_stream.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/portcls/wave_pin.h"
#include "sim/executor.h"
#include "tools/host/host_device.h"
#include "stream/wave/wave_guids.h"
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
    IAudioHal* hal = session.Adapter();
    ULONG count = hal ? hal->GetStreamEngineCount() : 0;
    for (ULONG i = 0; i < count; i++) {
        IStreamEngine* engine = NULL;
        WCHAR name[STREAM_NAME_MAX_CHARS + 1] = {};
        if (!NT_SUCCESS(hal->GetStreamEngine(i, &engine)) || engine == NULL || !NT_SUCCESS(engine->GetName(name)))
            continue;
        if (std::u16string(name) + u"Wave" != filter.name) continue;
        for (ULONG k = 0; k < engine->GetFormatCount(); k++) {
            WAVEFORMATEXTENSIBLE f;
            if (NT_SUCCESS(engine->GetFormat(k, &f))) formats.push_back(f);
        }
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

std::vector<uint8_t> ToneBytes(const WAVEFORMATEXTENSIBLE& f, double hz, double dbfs, double seconds) {
    const ULONG bytes = f.Format.wBitsPerSample / 8;
    const uint64_t frames = (uint64_t)std::llround(seconds * f.Format.nSamplesPerSec);
    simusb::StreamFormat shape{(UCHAR)f.Format.nChannels, (UCHAR)bytes, (UCHAR)f.Samples.wValidBitsPerSample};
    std::vector<uint8_t> out;
    out.reserve(frames * f.Format.nBlockAlign);
    for (uint64_t n = 0; n < frames; n++) {
        LONG v = ToneSample(hz, dbfs, n, f.Format.nSamplesPerSec, shape);
        if (bytes == 1) v += 0x80;  // 8-bit PCM is unsigned
        for (USHORT c = 0; c < f.Format.nChannels; c++)
            for (ULONG b = 0; b < bytes; b++) out.push_back((uint8_t)((ULONG)v >> (8 * b)));
    }
    return out;
}

StreamRun Play(HostSession& session, const WAVEFORMATEXTENSIBLE& format, const std::vector<uint8_t>& pcm,
               const Progress& progress) {
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
    simusb::AudioSink* sink = NULL;
    {
        auto lock = session.Device().lock();
        sink = session.Device().Sink(kHeadsetOutEndpoint);
        if (sink) sink->ClearRecording();
    }
    pin.QueueRender(pcm.data(), pcm.size());
    run.status = pin.SetState(KSSTATE_RUN);
    const double total = (double)pcm.size() / format.Format.nAvgBytesPerSec;
    // A device that stops taking data (unplugged, say) ends the run one
    // second after the data should have gone.
    const LONGLONG limit = (LONGLONG)(total * 1000) + 1000;
    LONGLONG ms = 0;
    while (NT_SUCCESS(run.status) && pin.QueuedRenderBytes() > 0 && ms < limit) {
        Wait(kStepMs);
        ms += kStepMs;
        if (progress) progress(ms / 1000.0, total);
    }
    Wait(kDrainMs);
    NTSTATUS stopped = Stop(pin);
    if (NT_SUCCESS(run.status)) run.status = stopped;
    if (!NT_SUCCESS(run.status)) run.error = "playback ended with " + StatusText(run.status);
    auto lock = session.Device().lock();
    sink = session.Device().Sink(kHeadsetOutEndpoint);
    if (sink) run.bytes = sink->recorded();
    return run;
}

StreamRun Record(HostSession& session, double seconds, const Progress& progress) {
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
    run.status = pin.SetState(KSSTATE_RUN);
    const LONGLONG total = std::llround(seconds * 1000);
    for (LONGLONG ms = 0; NT_SUCCESS(run.status) && ms < total; ms += kStepMs) {
        Wait(std::min(kStepMs, total - ms));
        std::vector<uint8_t> got = pin.TakeCaptured();
        run.bytes.insert(run.bytes.end(), got.begin(), got.end());
        if (progress) progress((ms + kStepMs) / 1000.0, seconds);
    }
    NTSTATUS stopped = Stop(pin);
    std::vector<uint8_t> got = pin.TakeCaptured();
    run.bytes.insert(run.bytes.end(), got.begin(), got.end());
    if (NT_SUCCESS(run.status)) run.status = stopped;
    if (!NT_SUCCESS(run.status)) run.error = "recording ended with " + StatusText(run.status);
    return run;
}

}  // namespace host

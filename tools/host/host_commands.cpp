// The host program's commands on a started session (see host_cli.h).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>

#include "sim/debug.h"
#include "tools/host/host_cli.h"
#include "tools/host/host_controls.h"
#include "tools/host/host_device.h"
#include "tools/host/host_report.h"
#include "tools/host/host_stream.h"
#include "tools/host/ks_names.h"
#include "tools/host/wav_io.h"

namespace host {

namespace {

// Progress on stderr for runs over 2 s, at most once per wall second.
class ProgressLine {
public:
    ProgressLine(std::ostream& err, bool quiet, const char* what) : m_Err(err), m_Quiet(quiet), m_What(what) {}
    Progress Callback() {
        return [this](double done, double total) { Report(done, total); };
    }

private:
    void Report(double done, double total) {
        if (m_Quiet || total <= 2.0) return;
        auto now = std::chrono::steady_clock::now();
        if (now - m_Last < std::chrono::seconds(1)) return;
        m_Last = now;
        double wall = std::chrono::duration<double>(now - m_Start).count();
        char line[128];
        std::snprintf(line, sizeof(line), "uachost: %s %.1f of %.1f simulated s, %.0fx real time\n", m_What, done,
                      total, wall > 0 ? done / wall : 0.0);
        m_Err << line << std::flush;
    }

    std::ostream& m_Err;
    bool m_Quiet;
    const char* m_What;
    std::chrono::steady_clock::time_point m_Start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point m_Last = m_Start;
};

// A WAV file as a playback source.
class WavSource : public PcmSource {
public:
    explicit WavSource(WavReader& reader) : m_Reader(reader) {}
    uint64_t TotalBytes() const override { return m_Reader.Bytes(); }
    size_t Read(uint8_t* out, size_t maxBytes) override { return m_Reader.Read(out, maxBytes); }

private:
    WavReader& m_Reader;
};

int DriverFailure(std::ostream& err, const std::string& what, NTSTATUS status) {
    err << "uachost: " << what << ": " << StatusText(status) << "\n";
    return kExitDriverFailure;
}

int RequireStart(HostSession& session, std::ostream& err) {
    if (session.Running()) return kExitOk;
    return DriverFailure(err, "the driver did not start the device", session.StartStatus());
}

int BadInput(std::ostream& err, const std::string& why) {
    err << "uachost: " << why << "\n";
    return kExitBadInput;
}

// The output file of a run, opened before the run so that a path that
// cannot be written is refused before any time is spent.
struct Output {
    WavWriter writer;
    ByteSink Sink() {
        return [this](const uint8_t* data, size_t bytes) { writer.Write(data, bytes); };
    }
};

int PlayCommand(HostSession& session, const Command& c, std::ostream& out, std::ostream& err) {
    WAVEFORMATEXTENSIBLE format;
    std::string error;
    std::unique_ptr<PcmSource> source, file;
    WavReader wav;
    if (c.tone) {
        if (!IntersectedFormat(session.FindWaveFilter(false), &format, &error)) return DriverFailure(err, error, STATUS_NO_MATCH);
        source = std::make_unique<ToneSource>(format, c.toneHz, c.toneDbfs, c.toneSeconds);
    } else {
        if (!wav.Open(c.wavIn, &error)) return BadInput(err, error);
        if (!wav.Warning().empty()) err << "uachost: warning: " << wav.Warning() << "\n";
        format = wav.Format();
        file = std::make_unique<WavSource>(wav);
        WAVEFORMATEXTENSIBLE widened;
        if (WidenedFormat(format, OfferedFormats(session, session.FindWaveFilter(false)), &widened)) {
            source = std::make_unique<WidenedSource>(*file, format.Format.nChannels);
            format = widened;
        } else {
            source = std::move(file);
        }
    }
    Output output;
    if (!output.writer.Open(c.out, format, &error)) return BadInput(err, error);
    // The file describes what the device received, in the device's format.
    std::string formatError;
    const FormatSink received = [&](const WAVEFORMATEXTENSIBLE& f) { output.writer.SetFormat(f, &formatError); };
    ProgressLine progress(err, c.quiet, "played");
    StreamRun run = Play(session, format, *source, output.Sink(), progress.Callback(), received);
    if (run.formatRefused) {
        err << "uachost: " << run.error << "\nthe render filter offers:\n";
        for (const WAVEFORMATEXTENSIBLE& f : OfferedFormats(session, session.FindWaveFilter(false)))
            err << "  " << FormatText(f) << "\n";
        return kExitBadInput;
    }
    if (!NT_SUCCESS(run.status)) return DriverFailure(err, run.error, run.status);
    if (wav.Failed()) return BadInput(err, "cannot read " + c.wavIn + " to its end");
    if (!formatError.empty()) return BadInput(err, formatError);
    if (!output.writer.Finish(&error)) return BadInput(err, error);
    char endpoint[8];
    std::snprintf(endpoint, sizeof(endpoint), "0x%02X", run.endpoint);
    out << "played " << run.playedFrames << " frames of " << FormatText(format) << "; the device (endpoint "
        << endpoint << ") received " << run.leadFrames << " frames of lead-in silence, " << run.signalFrames
        << " played frames and " << run.tailFrames << " frames of drain tail, written to " << c.out << "\n";
    const std::string feedback = FeedbackNote(run);
    if (!feedback.empty()) err << "uachost: warning: " << feedback << "\n";
    const std::string shortfall = PlaybackShortfall(run);
    if (shortfall.empty()) return kExitOk;
    err << "uachost: " << shortfall << "\n";
    return kExitDriverFailure;
}

int RecordCommand(HostSession& session, const Command& c, std::ostream& out, std::ostream& err) {
    WaveFilter filter = session.FindWaveFilter(true);
    WAVEFORMATEXTENSIBLE format;
    std::string error;
    if (filter.port == NULL) return DriverFailure(err, "the device has no capture wave filter", STATUS_NOT_FOUND);
    if (!IntersectedFormat(filter, &format, &error)) return DriverFailure(err, error, STATUS_NO_MATCH);
    const std::shared_ptr<const MicSamples> mic = session.Mic();
    if (mic != nullptr && !(error = MicMismatch(*mic, c.device.micWav, format)).empty()) return BadInput(err, error);
    Output output;
    if (!output.writer.Open(c.out, format, &error)) return BadInput(err, error);
    ProgressLine progress(err, c.quiet, "recorded");
    StreamRun run = Record(session, c.seconds, output.Sink(), progress.Callback());
    if (!NT_SUCCESS(run.status)) return DriverFailure(err, run.error, run.status);
    if (!output.writer.Finish(&error)) return BadInput(err, error);
    if (mic != nullptr && mic->Frames() < run.recordedFrames)
        err << "uachost: warning: --mic-wav " << c.device.micWav << " ended at frame " << mic->Frames() << " of the "
            << run.recordedFrames << " recorded; the microphone sent silence after it\n";
    out << "recorded " << run.recordedFrames << " frames of " << FormatText(run.format) << ", written to " << c.out << "\n";
    if (run.recordedFrames == run.askedFrames) return kExitOk;
    err << "uachost: the device delivered " << run.recordedFrames << " of the " << run.askedFrames << " frames asked for\n";
    return kExitDriverFailure;
}

// The effect switches, then the headphone node's room and mode, each read
// back after it was set.
int SetEffects(HostSession& session, const Command& c, std::ostream& out, std::ostream& err) {
    const EffectNodes effects = FindEffectNodes(session);
    struct Switch {
        const std::string& text;
        bool present;
        ULONG node;
        const char* name;
    } switches[] = {{c.surroundText, effects.hasSurround, effects.surroundNode, "surround"},
                    {c.headphoneText, effects.hasHeadphone, effects.headphoneNode, "headphone"}};
    for (const Switch& s : switches) {
        if (s.text.empty()) continue;
        if (!s.present) return DriverFailure(err, std::string("no ") + s.name + " effect node", STATUS_NOT_FOUND);
        bool on = s.text == "1";
        NTSTATUS status = SetEffectSwitch(session, s.node, on);
        if (NT_SUCCESS(status)) status = GetEffectSwitch(session, s.node, &on);
        if (!NT_SUCCESS(status)) return DriverFailure(err, std::string(s.name) + " of node " + std::to_string(s.node), status);
        out << s.name << " (node " << s.node << "): " << (on ? "on" : "off") << "\n";
    }
    struct Value {
        const std::optional<ULONG>& given;
        ULONG index;
        const char* name;
    } values[] = {{c.room, 0, "room"}, {c.mode, 1, "mode"}};
    for (const Value& v : values) {
        if (!v.given) continue;
        if (!effects.hasHeadphone) return DriverFailure(err, "no headphone effect node", STATUS_NOT_FOUND);
        ULONG value = *v.given;
        NTSTATUS status = SetEffectValue(session, effects.headphoneNode, v.index, value);
        if (NT_SUCCESS(status)) status = GetEffectValue(session, effects.headphoneNode, v.index, &value);
        if (!NT_SUCCESS(status)) return DriverFailure(err, std::string("headphone ") + v.name, status);
        out << "headphone " << v.name << " (node " << effects.headphoneNode << "): " << value << "\n";
    }
    return kExitOk;
}

int SetCommand(HostSession& session, const Command& c, std::ostream& out, std::ostream& err) {
    RenderControls controls = FindRenderControls(session);
    if (c.setVolume) {
        if (!c.nodeGiven && !controls.hasVolume) return DriverFailure(err, "no volume node on the render path", STATUS_NOT_FOUND);
        ULONG node = c.nodeGiven ? c.node : controls.volumeNode;
        LONG level = (LONG)std::lround(c.volumeDb * 65536.0);
        NTSTATUS status = SetVolume(session, node, level);
        if (NT_SUCCESS(status)) status = GetVolume(session, node, &level);
        if (!NT_SUCCESS(status)) return DriverFailure(err, "volume of node " + std::to_string(node), status);
        out << "volume (node " << node << "): " << LevelText(level) << "\n";
    }
    if (c.setMute) {
        if (!c.nodeGiven && !controls.hasMute) return DriverFailure(err, "no mute node on the render path", STATUS_NOT_FOUND);
        ULONG node = c.nodeGiven ? c.node : controls.muteNode;
        bool mute = c.mute;
        NTSTATUS status = SetMute(session, node, mute);
        if (NT_SUCCESS(status)) status = GetMute(session, node, &mute);
        if (!NT_SUCCESS(status)) return DriverFailure(err, "mute of node " + std::to_string(node), status);
        out << "mute (node " << node << "): " << (mute ? "on" : "off") << "\n";
    }
    int code = SetEffects(session, c, out, err);
    if (code != kExitOk) return code;
    // Stored now, with the state directory's answer, not only at the end.
    std::string error;
    return session.SaveState(&error) ? kExitOk : BadInput(err, error);
}

// The demo's files go to the state directory (or the current one).
std::string DemoPath(const Command& c, const char* name) {
    return (c.stateDir.empty() ? std::string(".") : c.stateDir) + "/" + name;
}

int DemoCommand(HostSession& session, const Command& c, std::ostream& out, std::ostream& err) {
    PrintShow(session, out);
    Command step = c;
    step.tone = true;
    step.toneHz = 1000;
    step.toneDbfs = -20;
    step.toneSeconds = c.seconds;
    step.out = DemoPath(c, "played.wav");
    int code = PlayCommand(session, step, out, err);
    step.out = DemoPath(c, "recorded.wav");
    if (code == kExitOk) code = RecordCommand(session, step, out, err);
    for (int i = 0; i < 3 && code == kExitOk; i++) {
        Command set = c;
        set.setVolume = i == 0;
        set.volumeDb = -6;
        set.setMute = i > 0;
        set.mute = i == 1;
        code = SetCommand(session, set, out, err);
    }
    if (code == kExitOk) {
        NTSTATUS status = session.Remove();
        out << "device removed: " << StatusText(status) << "\n";
    }
    return code;
}

}  // namespace

int RunCommand(HostSession& session, const Command& c, std::ostream& out, std::ostream& err) {
    if (c.name == "inspect") {
        out << DumpJson(InspectJson(session));
        return session.Running() ? kExitOk : kExitDriverFailure;
    }
    // Why the driver refused the device, in its own words.
    if (!session.Running())
        for (const std::string& line : sim::DebugLog()) err << "driver: " << line << "\n";
    if (c.name == "show") {
        PrintShow(session, out);
        return session.Running() ? kExitOk : DriverFailure(err, "the driver did not start the device", session.StartStatus());
    }
    int code = RequireStart(session, err);
    if (code != kExitOk) return code;
    if (c.name == "play") return PlayCommand(session, c, out, err);
    if (c.name == "record") return RecordCommand(session, c, out, err);
    if (c.name == "set") return SetCommand(session, c, out, err);
    return DemoCommand(session, c, out, err);
}

}  // namespace host

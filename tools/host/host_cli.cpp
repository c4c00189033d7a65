// Command line and the program's run (see host_cli.h).
#include "tools/host/host_cli.h"

#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>

#include "sim/bugcheck.h"
#include "sim/executor.h"
#include "sim/object.h"
#include "sim/pool.h"
#include "sim/violation.h"
#include "tools/host/host_report.h"
#include "tools/host/ks_names.h"

namespace host {

namespace {

bool ParseNumber(const std::string& text, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return end && *end == 0 && std::isfinite(*value);
}

// "HZ[:DBFS[:SECONDS]]"; why text is not one, or empty.
std::string ToneError(const std::string& text, Command* c) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ':');) parts.push_back(part);
    if (parts.empty() || parts.size() > 3 || !ParseNumber(parts[0], &c->toneHz) ||
        (parts.size() > 1 && !ParseNumber(parts[1], &c->toneDbfs)) ||
        (parts.size() > 2 && !ParseNumber(parts[2], &c->toneSeconds)))
        return "wants HZ[:DBFS[:SECONDS]] (numbers without units), got " + text;
    c->tone = true;
    if (!(c->toneHz > 0 && c->toneHz < 100000)) return "HZ must be above 0 and below 100000, got " + parts[0];
    if (!(c->toneDbfs <= 0)) return "DBFS is the peak level below full scale and must be at most 0, got " + parts[1];
    if (!(c->toneSeconds > 0 && c->toneSeconds <= 3600)) return "SECONDS must be above 0 and at most 3600, got " + parts[2];
    return "";
}

CLI::Validator ToneText() {
    return CLI::Validator(
        [](std::string& text) {
            Command scratch;
            return ToneError(text, &scratch);
        },
        "HZ[:DBFS[:SECONDS]]");
}

// A level in dB, a finite plain number within [-200, 200].
CLI::Validator LevelDb() {
    return CLI::Validator(
        [](std::string& text) {
            double value = 0;
            return ParseNumber(text, &value) && value >= -200 && value <= 200
                       ? std::string()
                       : "wants a level in dB from -200 to 200 as a plain number (-6, no unit), got " + text;
        },
        "DB in [-200, 200]");
}

// Above 0, at most max.
CLI::Validator PositiveUpTo(double max) {
    return CLI::Validator(
        [max](std::string& text) {
            double value = 0;
            return ParseNumber(text, &value) && value > 0 && value <= max
                       ? std::string()
                       : "wants a number above 0 and at most " + std::to_string((int)max) + ", got " + text;
        },
        "(0, " + std::to_string((int)max) + "]");
}

CLI::Option* AddSeconds(CLI::App* command, Command* c, const char* what) {
    return command->add_option("--seconds", c->seconds, what)->check(PositiveUpTo(3600));
}

void AddOut(CLI::App* command, Command* c) {
    command->add_option("--out", c->out,
                        "the WAV file to write: a new or regular file, replaced when the run ends, or a link to "
                        "one (24 bits in 32-bit containers are written as 24-bit PCM)")
        ->required();
}

// The grammar of host_cli.h; every option belongs to the commands it
// applies to. The global options may also follow the command.
void DefineCommandLine(CLI::App& app, Command* c) {
    app.set_version_flag("--version", UACHOST_VERSION);
    app.require_subcommand(1, 1);
    app.fallthrough();
    CLI::Option* device =
        app.add_option("--device", c->device.descriptorFile, "descriptor file of the device (default: the built-in headset)");
    app.add_option("--speed", c->speedText, "bus speed of the --device file's device: full or high (default: high for a class 2.0 device, "
                    "else full)")
        ->check(CLI::IsMember({"full", "high"}))
        ->needs(device);
    app.add_option("--state", c->stateDir, "state directory: the registry image and SystemRoot");
    app.add_option("--mic-wav", c->device.micWav,
                   "WAV file the device's microphone sends, at the capture stream's rate; a mono file feeds every "
                   "channel, another has the stream's channel count");
    app.add_flag("--quiet", c->quiet, "no progress lines");
    app.add_flag("--verbose", c->verbose, "the pool report and the permanent objects on stderr at the end, also when nothing is left");

    CLI::App* demo = app.add_subcommand("demo", "show, a 1 kHz tone at -20 dBFS, a recording, volume -6 dB, mute on and off, removal");
    AddSeconds(demo, c, "seconds of each part")->capture_default_str();
    app.add_subcommand("show", "filters, formats, the render volume and mute");
    CLI::App* play = app.add_subcommand("play",
                                        "plays a WAV file in its own format (a 3-byte 24-bit PCM file as 24 valid bits in "
                                        "32-bit containers where the device offers no 3-byte 24-bit format), or a tone in "
                                        "the filter's format; --out gets what the device received, in the device's format");
    CLI::Option* wav = play->add_option("--wav", c->wavIn, "the WAV file to play");
    play->add_option("--tone", c->toneText, "a sine: frequency, peak level in dBFS (default -20), seconds (default 3)")
        ->check(ToneText())
        ->excludes(wav);
    AddOut(play, c);
    CLI::App* record = app.add_subcommand("record", "records the capture filter's format");
    AddSeconds(record, c, "seconds to record")->required();
    AddOut(record, c);
    CLI::App* set = app.add_subcommand("set", "sets the render volume, mute and the effects, stored in --state DIR");
    set->add_option("--volume", c->volumeDb, "level in dB")->check(LevelDb());
    set->add_option("--mute", c->muteText, "0 or 1")->check(CLI::IsMember({"0", "1"}));
    set->add_option("--surround", c->surroundText, "the surround effect: 0 or 1")->check(CLI::IsMember({"0", "1"}));
    set->add_option("--headphone", c->headphoneText, "the headphone effect: 0 or 1")->check(CLI::IsMember({"0", "1"}));
    set->add_option("--room", c->room, "the headphone effect's room (0 to 2)")->check(CLI::Range(0, 2));
    set->add_option("--mode", c->mode, "the headphone effect's mode (0 to 2)")->check(CLI::Range(0, 2));
    set->add_option("--node", c->node, "the node (default: the first on the render path)")->check(CLI::Range(0, 1000));
    app.add_subcommand("inspect", "the running driver as JSON");
}

// Edits from a to b: insertions, deletions, substitutions and swaps of two
// neighbouring letters.
size_t Distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); i++) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); j++) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); i++) {
        for (size_t j = 1; j <= b.size(); j++) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1] ? 1 : 0)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// " (did you mean NAME?)" for the known name nearest to given, when it is
// at most a third of its letters (at least one) away; else empty.
std::string DidYouMean(const std::string& given, const std::vector<std::string>& known) {
    std::string best;
    size_t bestDistance = std::max<size_t>(1, given.size() / 3) + 1;
    for (const std::string& name : known) {
        const size_t d = Distance(given, name);
        if (d < bestDistance) {
            best = name;
            bestDistance = d;
        }
    }
    return best.empty() ? "" : " (did you mean " + best + "?)";
}

std::vector<std::string> CommandNames(CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) names.push_back(command->get_name());
    return names;
}

// Every long option of the program and its commands ("--name").
std::vector<std::string> OptionNames(CLI::App& app) {
    std::vector<std::string> names;
    std::vector<CLI::App*> apps = app.get_subcommands([](CLI::App*) { return true; });
    apps.push_back(&app);
    for (const CLI::App* a : apps)
        for (const CLI::Option* option : a->get_options())
            for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
    return names;
}

// The first "--name" of args (before "=") that no command knows, or empty.
std::string UnknownOption(CLI::App& app, const std::vector<std::string>& args) {
    const std::vector<std::string> known = OptionNames(app);
    for (const std::string& arg : args) {
        if (arg == "--") break;
        if (arg.rfind("--", 0) != 0) continue;
        const std::string name = arg.substr(0, arg.find('='));
        if (std::find(known.begin(), known.end(), name) == known.end()) return name;
    }
    return "";
}

}  // namespace

std::optional<int> ParseCommand(const std::vector<std::string>& args, Command* c, std::ostream& out, std::ostream& err) {
    CLI::App app("The driver in the kernel stand-in against a simulated USB audio device.", "uachost");
    DefineCommandLine(app, c);
    std::vector<const char*> argv = {"uachost"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    try {
        app.parse((int)argv.size(), argv.data());
        CLI::App* command = app.get_subcommands().front();
        c->name = command->get_name();
        c->device.speed = c->speedText == "high" ? simusb::UsbSpeed::High : simusb::UsbSpeed::Full;
        c->device.speedChosen = !c->speedText.empty();
        c->tone = !c->toneText.empty() && ToneError(c->toneText, c).empty();
        const CLI::Option* volume = command->get_option_no_throw("--volume");
        c->setVolume = volume != nullptr && volume->count() > 0;
        c->setMute = !c->muteText.empty();
        c->mute = c->muteText == "1";
        const CLI::Option* node = command->get_option_no_throw("--node");
        c->nodeGiven = node != nullptr && node->count() > 0;
        if (c->name == "play" && c->wavIn.empty() && !c->tone)
            throw CLI::ValidationError("play wants --wav IN or --tone HZ[:DBFS[:SECONDS]]");
        const bool effects = !c->surroundText.empty() || !c->headphoneText.empty() || c->room || c->mode;
        if (c->name == "set" && !c->setVolume && !c->setMute && !effects)
            throw CLI::ValidationError(
                "set wants --volume DB, --mute 0|1, --surround 0|1, --headphone 0|1, --room N or --mode N");
        if (c->name == "set" && c->stateDir.empty())
            throw CLI::ValidationError("set stores its values in a state directory: without --state DIR nothing is kept");
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e, out, err);
        const std::vector<std::string> left = app.remaining();
        const std::string unknown = UnknownOption(app, args);
        if (app.get_subcommands().empty() && !left.empty() && left[0].rfind("-", 0) != 0)
            err << "uachost: unknown command " << left[0] << DidYouMean(left[0], CommandNames(app)) << "\n";
        else if (!unknown.empty())
            err << "uachost: unknown option " << unknown << DidYouMean(unknown, OptionNames(app)) << "\n";
        else
            err << "uachost: " << e.what() << "\n";
        err << "Run uachost --help for the commands and their options.\n";
        return kExitBadInput;
    }
    return std::nullopt;
}

int RunHost(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Command command;
    std::string error;
    if (std::optional<int> code = ParseCommand(args, &command, out, err)) return *code;
    const unsigned long violationsBefore = sim::ViolationCount();
    sim::ExecutorOptions options;
    int code = kExitOk;
    sim::ScopeReport report;
    {
        sim::KernelScope scope(options);
        {
            HostSession session;
            if (!command.stateDir.empty() && !session.UseStateDirectory(command.stateDir, &error)) {
                code = kExitBadInput;
            } else if (!session.PlugDevice(command.device, &error)) {
                code = kExitBadInput;
            }
            for (const std::string& warning : session.Warnings()) err << "uachost: warning: " << warning << "\n";
            if (code != kExitOk) {
                if (command.name == "inspect") out << DumpJson(ErrorJson(error));
                err << "uachost: " << error << "\n";
            } else {
                session.Start();
                code = RunCommand(session, command, out, err);
                session.Remove();
                // The image is written once here for what the run changed.
                if (!session.SaveState(&error) && code == kExitOk) {
                    err << "uachost: " << error << "\n";
                    code = kExitBadInput;
                }
            }
        }
        report = scope.Finish();
    }
    // Stdout carries only the command's output: the report goes to stderr,
    // when something was left or --verbose asks for it.
    if (!report.Clean() || command.verbose) {
        err << "live pool by tag: " << (report.Clean() ? "none\n" : "\n" + report.problems);
        if (!report.permanentObjects.empty()) err << "permanent objects (not leaks):\n" << report.permanentObjects;
    }
    if (sim::ViolationCount() != violationsBefore) {
        err << "uachost: a stand-in rule was broken (see above)\n";
        return kExitRuleBroken;
    }
    return report.Clean() ? code : kExitRuleBroken;
}

namespace {

// Only async-signal-safe calls from here to _exit: the handler may run on
// any thread, in the middle of anything.
void WriteText(const char* text) {
    size_t length = 0;
    while (text[length] != 0) length++;
    while (length > 0) {
        ssize_t written = write(STDERR_FILENO, text, length);
        if (written <= 0) return;
        text += written;
        length -= static_cast<size_t>(written);
    }
}

void OnAbort(int) {
    ULONG code = sim::PendingBugcheck();
    if (code == 0) {
        WriteText("uachost: stopped by abort()\n");
    } else {
        char hex[11] = "0x";
        for (int i = 0; i < 8; i++) hex[2 + i] = "0123456789ABCDEF"[(code >> (28 - 4 * i)) & 0xF];
        hex[10] = 0;
        WriteText("uachost: stopped by bugcheck ");
        WriteText(hex);
        WriteText(" ");
        WriteText(sim::BugcheckName(code));
        WriteText(" (its STOP line is above)\n");
    }
    _exit(kExitStopped);
}

void OnTerminate() {
    std::string reason = "no exception";
    if (std::exception_ptr exception = std::current_exception()) {
        try {
            std::rethrow_exception(exception);
        } catch (const std::exception& e) {
            reason = e.what();
        } catch (...) {
            reason = "an exception of unknown type";
        }
    }
    std::fprintf(stderr, "uachost: stopped by std::terminate (%s)\n", reason.c_str());
    std::fflush(stderr);
    _exit(kExitStopped);
}

}  // namespace

void InstallStopHandlers() {
    std::signal(SIGABRT, OnAbort);
    std::set_terminate(OnTerminate);
}

}  // namespace host

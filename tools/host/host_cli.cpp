// Command line and the program's run (see host_cli.h).
#include "tools/host/host_cli.h"

#include <unistd.h>

#include <CLI/CLI.hpp>

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

// "HZ[:DBFS[:SECONDS]]"
bool ParseTone(const std::string& text, Command* c) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ':');) parts.push_back(part);
    if (parts.empty() || parts.size() > 3 || !ParseNumber(parts[0], &c->toneHz)) return false;
    if (parts.size() > 1 && !ParseNumber(parts[1], &c->toneDbfs)) return false;
    if (parts.size() > 2 && !ParseNumber(parts[2], &c->toneSeconds)) return false;
    c->tone = true;
    return c->toneHz > 0 && c->toneHz < 100000 && c->toneDbfs <= 0 && c->toneSeconds > 0 && c->toneSeconds <= 3600;
}

CLI::Validator ToneText() {
    return CLI::Validator(
        [](std::string& text) {
            Command scratch;
            return ParseTone(text, &scratch) ? std::string() : "wants HZ[:DBFS[:SECONDS]], got " + text;
        },
        "HZ[:DBFS[:SECONDS]]");
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
    command->add_option("--out", c->out, "the WAV file to write")->required();
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
    app.add_option("--mic-wav", c->device.micWav, "WAV file the device's microphone sends");
    app.add_flag("--quiet", c->quiet, "no progress lines");

    CLI::App* demo = app.add_subcommand("demo", "show, a 1 kHz tone at -20 dBFS, a recording, volume -6 dB, mute on and off, removal");
    AddSeconds(demo, c, "seconds of each part")->capture_default_str();
    app.add_subcommand("show", "filters, formats, the render volume and mute");
    CLI::App* play = app.add_subcommand("play", "plays a WAV file in its own format, or a tone in the filter's format");
    CLI::Option* wav = play->add_option("--wav", c->wavIn, "the WAV file to play");
    play->add_option("--tone", c->toneText, "a sine: frequency, peak level in dBFS (default -20), seconds (default 3)")
        ->check(ToneText())
        ->excludes(wav);
    AddOut(play, c);
    CLI::App* record = app.add_subcommand("record", "records the capture filter's format");
    AddSeconds(record, c, "seconds to record")->required();
    AddOut(record, c);
    CLI::App* set = app.add_subcommand("set", "sets the render volume, mute and the effects");
    set->add_option("--volume", c->volumeDb, "level in dB")->check(CLI::Range(-200.0, 200.0));
    set->add_option("--mute", c->muteText, "0 or 1")->check(CLI::IsMember({"0", "1"}));
    set->add_option("--surround", c->surroundText, "the surround effect: 0 or 1")->check(CLI::IsMember({"0", "1"}));
    set->add_option("--headphone", c->headphoneText, "the headphone effect: 0 or 1")->check(CLI::IsMember({"0", "1"}));
    set->add_option("--room", c->room, "the headphone effect's room (0 to 2)")->check(CLI::NonNegativeNumber);
    set->add_option("--mode", c->mode, "the headphone effect's mode (0 to 2)")->check(CLI::NonNegativeNumber);
    set->add_option("--node", c->node, "the node (default: the first on the render path)")->check(CLI::Range(0, 1000));
    app.add_subcommand("inspect", "the running driver as JSON");
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
        c->tone = !c->toneText.empty() && ParseTone(c->toneText, c);
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
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e, out, err);
        const std::vector<std::string> left = app.remaining();
        if (app.get_subcommands().empty() && !left.empty() && left[0].rfind("-", 0) != 0)
            err << "uachost: unknown command " << left[0] << "\n";
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
            }
        }
        report = scope.Finish();
    }
    if (command.name != "inspect" || !report.Clean()) {
        std::ostream& to = command.name == "inspect" ? err : out;
        to << "live pool by tag: " << (report.Clean() ? "none\n" : "\n" + report.problems);
        if (!report.permanentObjects.empty()) to << "permanent objects (not leaks):\n" << report.permanentObjects;
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

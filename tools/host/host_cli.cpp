// Command line and the program's run (see host_cli.h).
#include "tools/host/host_cli.h"

#include <unistd.h>

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

// One option with its value; false when it is not an option of this kind.
bool TakeOption(const std::string& option, const std::string& value, Command* c, std::string* error) {
    double number = 0;
    if (option == "--device") c->device.descriptorFile = value;
    else if (option == "--state") c->stateDir = value;
    else if (option == "--mic-wav") c->device.micWav = value;
    else if (option == "--wav") c->wavIn = value;
    else if (option == "--out") c->out = value;
    else if (option == "--tone") {
        if (!ParseTone(value, c)) *error = "--tone wants HZ[:DBFS[:SECONDS]], got " + value;
    } else if (option == "--seconds") {
        if (!ParseNumber(value, &c->seconds) || c->seconds <= 0 || c->seconds > 3600) *error = "bad --seconds " + value;
        c->secondsGiven = true;
    } else if (option == "--volume") {
        if (!ParseNumber(value, &c->volumeDb) || c->volumeDb < -200 || c->volumeDb > 200) *error = "bad --volume " + value;
        c->setVolume = true;
    } else if (option == "--mute") {
        if (value != "0" && value != "1") *error = "--mute wants 0 or 1, got " + value;
        c->mute = value == "1";
        c->setMute = true;
    } else if (option == "--node") {
        if (!ParseNumber(value, &number) || number < 0 || number > 1000 || number != std::floor(number))
            *error = "bad --node " + value;
        c->node = (ULONG)number;
        c->nodeGiven = true;
    } else {
        return false;
    }
    return true;
}

bool CheckCommand(const Command& c, std::string* error) {
    static const char* const kCommands[] = {"demo", "show", "play", "record", "set", "inspect"};
    bool known = false;
    for (const char* name : kCommands) known |= c.name == name;
    if (!known) *error = c.name.empty() ? "no command given" : "unknown command " + c.name;
    else if (c.name == "play" && (c.tone == !c.wavIn.empty() || c.out.empty()))
        *error = "play wants --wav IN or --tone HZ[:DBFS[:SECONDS]], and --out OUT.wav";
    else if (c.name == "record" && (!c.secondsGiven || c.out.empty())) *error = "record wants --seconds S --out OUT.wav";
    else if (c.name == "set" && !c.setVolume && !c.setMute) *error = "set wants --volume DB and/or --mute 0|1";
    return error->empty();
}

}  // namespace

bool ParseCommand(const std::vector<std::string>& args, Command* c, std::string* error) {
    error->clear();
    for (size_t i = 0; i < args.size() && error->empty(); i++) {
        const std::string& a = args[i];
        if (a == "--quiet") {
            c->quiet = true;
        } else if (a.rfind("--", 0) == 0) {
            if (i + 1 >= args.size()) {
                *error = a + " wants a value";
            } else if (!TakeOption(a, args[i + 1], c, error)) {
                *error = "unknown option " + a;
            }
            i++;
        } else if (c->name.empty()) {
            c->name = a;
        } else {
            *error = "unexpected argument " + a;
        }
    }
    return error->empty() && CheckCommand(*c, error);
}

int RunHost(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Command command;
    std::string error;
    if (!ParseCommand(args, &command, &error)) {
        err << "uachost: " << error << "\n";
        return kExitBadInput;
    }
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
            if (code != kExitOk) {
                if (command.name == "inspect") out << ErrorJson(error).Dump();
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

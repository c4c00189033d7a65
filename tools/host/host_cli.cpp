// Command line and the program's run (see host_cli.h).
#include "tools/host/host_cli.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "sim/executor.h"
#include "sim/object.h"
#include "sim/pool.h"
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
    if (::testing::UnitTest::GetInstance()->ad_hoc_test_result().Failed()) {
        err << "uachost: a stand-in rule was broken (see above)\n";
        return kExitLeak;
    }
    return report.Clean() ? code : kExitLeak;
}

}  // namespace host

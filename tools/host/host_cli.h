// The host program's command line and its run: the stand-in's kernel
// scope, the session, the command, the removal and the leak report.
//
//   uachost [--device FILE [--speed full|high]] [--state DIR] [--mic-wav FILE] [--quiet] [--verbose] COMMAND
//     demo      [--seconds S] show, a 1 kHz tone at -20 dBFS, a recording,
//               volume -6 dB, mute on and off, removal (S seconds each,
//               default 3)
//     show      filters, formats, the render volume and mute
//     play      (--wav IN | --tone HZ[:DBFS[:SECONDS]]) --out OUT.wav
//     record    --seconds S --out OUT.wav
//     set       [--volume DB] [--mute 0|1] [--node N] (needs --state: the
//               values are stored there)
//     inspect   JSON only
//   uachost --help, uachost COMMAND --help: the usage; --version.
// --speed: the bus speed of the --device file's device (default: high when
// its first configuration holds an Audio Class 2.0 Audio Control
// interface, else full); without --device it is refused. The global options may also follow the
// command; an option of another
// command is refused. play reports the frames the device received as
// lead-in silence, the played frames and the drain tail, and fails (2)
// when played frames did not arrive, arrived other than played (naming the
// first), or transfers failed (feedback values the driver dropped are a
// warning on stderr); record writes exactly the seconds asked.
// set stores what it set in the state directory at once, and a run writes
// the registry image once at its end if it changed: one that cannot be
// written is bad input (1).
//
// Exit status (stdout carries only the command's own output, JSON for
// inspect; every reason below is printed on stderr, and so is the report
// of pool left at the end, with the permanent objects, when something is
// left or --verbose asks for it):
//   0  success
//   1  bad input: the command line, a descriptor, state or WAV file
//   2  a driver or stream failure (its NTSTATUS is printed)
//   3  a stand-in rule was broken and the run went on: a driver contract
//      the harnesses check, or pool, handles or timers left at the end
//   4  the run was stopped: a bugcheck (its stop code, name and detail),
//      abort() or std::terminate
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/host/host_session.h"

namespace host {

enum ExitCode { kExitOk = 0, kExitBadInput = 1, kExitDriverFailure = 2, kExitRuleBroken = 3, kExitStopped = 4 };

struct Command {
    std::string name;
    DeviceChoice device;
    std::string stateDir;
    std::string speedText;  // --speed as given
    bool quiet = false, verbose = false;
    double seconds = 3.0;  // demo parts, record
    std::string wavIn, out;
    std::string toneText, muteText;  // as given
    std::string surroundText, headphoneText;  // as given, "" when absent
    std::optional<ULONG> room, mode;
    bool tone = false;
    double toneHz = 1000, toneDbfs = -20, toneSeconds = 3;
    bool setVolume = false, setMute = false, nodeGiven = false;
    double volumeDb = 0;
    bool mute = false;
    ULONG node = 0;
};

// Empty when the command is to run; otherwise the exit code, after the
// usage or version on out (0) or the reason on err (kExitBadInput).
std::optional<int> ParseCommand(const std::vector<std::string>& args, Command* command, std::ostream& out,
                                std::ostream& err);

// Runs a parsed command on a session that is prepared and started (or
// whose start failed); the exit code.
int RunCommand(HostSession& session, const Command& command, std::ostream& out, std::ostream& err);

// The whole program (main calls this): parses, owns the kernel scope, and
// reports live pool by tag and permanent objects at the end. A stand-in
// rule reported broken during the call gives kExitRuleBroken.
int RunHost(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// From now on a bugcheck, abort() or std::terminate ends the process with
// kExitStopped and one line on stderr naming the cause (main calls it
// first; a bugcheck has printed its STOP line already).
void InstallStopHandlers();

}  // namespace host

// uachost: the driver in the stand-in against a simulated USB audio device
// (see host_cli.h for the command line).
#include <csignal>
#include <iostream>
#include <string>
#include <unistd.h>

#include "tools/host/host_cli.h"

namespace {

// A broken stand-in rule stops the process through abort(): report it as
// such rather than as a crash.
void OnAbort(int) { _exit(host::kExitLeak); }

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGABRT, OnAbort);
    std::vector<std::string> args(argv + 1, argv + argc);
    return host::RunHost(args, std::cout, std::cerr);
}

// uachost: the driver in the stand-in against a simulated USB audio device
// (see host_cli.h for the command line and the exit status).
#include <iostream>
#include <string>

#include "tools/host/host_cli.h"

int main(int argc, char** argv) {
    host::InstallStopHandlers();
    std::vector<std::string> args(argv + 1, argv + argc);
    return host::RunHost(args, std::cout, std::cerr);
}

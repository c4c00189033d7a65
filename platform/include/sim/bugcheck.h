// Stand-in rule violations. Platform code reports a broken kernel rule the
// way the platform would: a bugcheck that prints the stop code and a
// description, then aborts (tests catch it as a death). Breaches the run
// can go on from are reported instead (sim/violation.h).
#pragma once

#include <string>

#include "nt/types.h"

namespace sim {

[[noreturn]] void Bugcheck(ULONG code, const std::string& detail);
// Name of a stop code ("IRQL_NOT_LESS_OR_EQUAL"), or "" when unknown.
const char* BugcheckName(ULONG code);
// The stop code of the bugcheck that is ending the process, 0 before one.
// Lock-free: a SIGABRT handler may read it to tell a bugcheck from a plain
// abort().
ULONG PendingBugcheck();

}  // namespace sim

// A rule of the stand-in itself (not a driver assertion: never compiled
// away). `code` is a bugcheck code from nt/ke.h.
#define SIM_CHECK(cond, code, detail)                 \
    do {                                              \
        if (!(cond)) ::sim::Bugcheck((code), (detail)); \
    } while (0)

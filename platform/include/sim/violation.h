// Broken stand-in rules that are not fatal: a harness contract a driver
// failed (an IRP returned with a status other than the one it completed
// with, a write past a system buffer, devices left after DriverUnload).
// The run goes on; the report goes to one process-wide handler.
//
// Every report is counted, whichever handler is installed, so a program
// can tell at its end whether a rule was broken. The default handler
// prints "file:line: what" on stderr. Tests install a handler that turns
// each report into a test failure. Rules whose breach leaves the stand-in
// unable to go on are bugchecks (sim/bugcheck.h), not reports.
#pragma once

#include <functional>
#include <string>

namespace sim {

using ViolationHandler = std::function<void(const char* file, int line, const std::string& what)>;

// Installs handler for every later report (an empty one restores the
// default); returns the handler it replaces (empty when that was the
// default). Reports may come from any thread: the handler runs on the
// reporting thread and must be safe there.
ViolationHandler SetViolationHandler(ViolationHandler handler);

// Counts the report and passes it to the handler.
void ReportViolation(const char* file, int line, const std::string& what);

// Reports since the process started.
unsigned long ViolationCount();

}  // namespace sim

// A report from the line that found the breach.
#define SIM_VIOLATION(what) ::sim::ReportViolation(__FILE__, __LINE__, (what))

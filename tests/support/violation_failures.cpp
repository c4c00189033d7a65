// Every test executable links this file whole: from before main, a broken
// stand-in rule (sim::ReportViolation) is a failure of the running test at
// the line that found it, instead of a line on stderr.
#include <gtest/gtest.h>

#include "sim/violation.h"

namespace {

void FailTheTest(const char* file, int line, const std::string& what) { ADD_FAILURE_AT(file, line) << what; }

// A static initialiser rather than a test environment: tests with their
// own main, and code that runs before the first test, are covered too.
struct InstallHandler {
    InstallHandler() { sim::SetViolationHandler(FailTheTest); }
} const kInstallHandler;

}  // namespace

// Test access to the kernel debugger output of DbgPrint and DbgPrintEx.
//
// The output is kept as lines (split at '\n'; text after the last newline
// is the open line). At most kDebugLogLines complete lines are kept: when a
// long run prints more, the oldest go and are counted, so the log cannot
// grow without limit. Every call may come from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace sim {

inline constexpr size_t kDebugLogLines = 4096;

// The kept output since the last ClearDebugOutput, in order, as printed
// (newlines included).
std::string DebugOutput();
// The same as lines without their newline; an open last line is included.
std::vector<std::string> DebugLog();
// Lines dropped from the front since the last ClearDebugOutput.
size_t DebugLinesDropped();
void ClearDebugOutput();
// Also write each message to stderr (default: ZK_DEBUG_PRINT=1).
void SetDebugEcho(bool echo);

}  // namespace sim

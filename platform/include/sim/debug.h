// Test access to the kernel debugger output of DbgPrint and DbgPrintEx.
#pragma once

#include <string>

namespace sim {

// Everything printed since the last ClearDebugOutput, in order.
std::string DebugOutput();
void ClearDebugOutput();
// Also write each message to stderr (default: ZK_DEBUG_PRINT=1).
void SetDebugEcho(bool echo);

}  // namespace sim

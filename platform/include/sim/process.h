// Processes. The executor gives every thread a current process: the system
// process unless a test or the I/O manager's simulated user process sets
// another one for the calling thread.
#pragma once

#include "nt/ps.h"

// The stand-in's process record; drivers treat PEPROCESS as opaque.
// Extension belongs to whoever created the process (the I/O manager's
// simulated user processes hang their state there).
struct _KPROCESS {
    ULONG Signature;  // kProcessSignature
    ULONG ProcessId;
    const char* Name;
    PVOID Extension;
};

namespace sim {

constexpr ULONG kProcessSignature = 0x636f7250;  // "Proc"

PEPROCESS SystemProcess();
// Sets the calling thread's current process (NULL: the system process) and
// returns the previous one. New system threads run in the system process.
PEPROCESS SetCurrentProcess(PEPROCESS process);

// Runs the calling thread in `process` for the scope's lifetime.
class ProcessScope {
public:
    explicit ProcessScope(PEPROCESS process) : previous_(SetCurrentProcess(process)) {}
    ~ProcessScope() { SetCurrentProcess(previous_); }
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

private:
    PEPROCESS previous_;
};

}  // namespace sim

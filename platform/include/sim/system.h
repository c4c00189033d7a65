// Test control of system-wide settings: the system version behind
// RtlIsNtDdiVersionAvailable, RtlGetVersion and PsGetVersion, and the
// timer-resolution requests of ExSetTimerResolution.
#pragma once

#include "nt/types.h"

namespace sim {

struct SystemVersion {
    ULONG major;
    ULONG minor;
    ULONG build;
    ULONG ntddi;  // NTDDI_* value RtlIsNtDdiVersionAvailable compares against
    USHORT servicePackMajor;
};

constexpr SystemVersion kWindowsXpSp3{5, 1, 2600, 0x05010300, 3};
constexpr SystemVersion kWindowsVista{6, 0, 6000, 0x06000000, 0};
constexpr SystemVersion kWindows7{6, 1, 7601, 0x06010000, 1};
constexpr SystemVersion kWindows10{10, 0, 19045, 0x0A00000A, 0};
constexpr SystemVersion kWindows11{10, 0, 22621, 0x0A00000C, 0};  // the default

SystemVersion GetSystemVersion();
// Holds until changed or until the next KernelScope starts (which restores
// the default).
void SetSystemVersion(const SystemVersion& version);

// Outstanding ExSetTimerResolution(.., TRUE) requests.
LONG TimerResolutionRequests();

}  // namespace sim

// System-wide settings: the system version behind every version check and
// the timer-resolution requests of ExSetTimerResolution.
#include <mutex>

#include "executor_internal.h"
#include "sim/system.h"

namespace {

constexpr ULONG kDefaultIncrement = 156250;  // 15.625 ms
constexpr ULONG kFineIncrement = 10000;      // 1 ms while requested

struct SystemState {
    std::mutex lock;
    sim::SystemVersion version = sim::kWindows11;
    LONG resolutionRequests = 0;
};

SystemState& State() {
    static SystemState* state = new SystemState;
    return *state;
}

}  // namespace

namespace sim {

SystemVersion GetSystemVersion() {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().version;
}

void SetSystemVersion(const SystemVersion& version) {
    std::lock_guard<std::mutex> guard(State().lock);
    State().version = version;
}

LONG TimerResolutionRequests() {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().resolutionRequests;
}

namespace detail {

void ResetSystemSettings() {
    std::lock_guard<std::mutex> guard(State().lock);
    State().version = kWindows11;
    State().resolutionRequests = 0;
}

}  // namespace detail
}  // namespace sim

ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution) {
    UNREFERENCED_PARAMETER(DesiredTime);
    std::lock_guard<std::mutex> guard(State().lock);
    SystemState& s = State();
    if (SetResolution) {
        ++s.resolutionRequests;
    } else if (s.resolutionRequests > 0) {
        --s.resolutionRequests;
    }
    return s.resolutionRequests > 0 ? kFineIncrement : kDefaultIncrement;
}

ULONG KeQueryTimeIncrement() {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().resolutionRequests > 0 ? kFineIncrement : kDefaultIncrement;
}

BOOLEAN RtlIsNtDdiVersionAvailable(ULONG Version) {
    return Version <= sim::GetSystemVersion().ntddi ? TRUE : FALSE;
}

NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW VersionInformation) {
    if (VersionInformation == nullptr) return STATUS_INVALID_PARAMETER;
    ULONG size = VersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(RTL_OSVERSIONINFOW) && size != sizeof(RTL_OSVERSIONINFOEXW)) return STATUS_INVALID_PARAMETER;
    sim::SystemVersion v = sim::GetSystemVersion();
    VersionInformation->dwMajorVersion = v.major;
    VersionInformation->dwMinorVersion = v.minor;
    VersionInformation->dwBuildNumber = v.build;
    VersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    for (WCHAR& c : VersionInformation->szCSDVersion) c = 0;
    if (size == sizeof(RTL_OSVERSIONINFOEXW)) {
        auto* ex = reinterpret_cast<PRTL_OSVERSIONINFOEXW>(VersionInformation);
        ex->wServicePackMajor = v.servicePackMajor;
        ex->wServicePackMinor = 0;
        ex->wSuiteMask = 0;
        ex->wProductType = 1;  // workstation
        ex->wReserved = 0;
    }
    return STATUS_SUCCESS;
}

BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber, PUNICODE_STRING CSDVersion) {
    sim::SystemVersion v = sim::GetSystemVersion();
    if (MajorVersion) *MajorVersion = v.major;
    if (MinorVersion) *MinorVersion = v.minor;
    if (BuildNumber) *BuildNumber = v.build;
    if (CSDVersion) CSDVersion->Length = 0;
    return FALSE;
}

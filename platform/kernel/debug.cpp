// Kernel debugger output: DbgPrint formats with the runtime's narrow
// formatter (RtlStringCchVPrintfA: %d, %x, %s, %ws, %S, %p, widths, sizes)
// and appends the message, at most 512 bytes as on the platform, to a
// capture buffer, echoing it to stderr when asked.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "executor_internal.h"
#include "nt/dbg.h"
#include "nt/rtl.h"
#include "sim/debug.h"

namespace {

constexpr size_t kMaxMessage = 512;

struct DebugState {
    std::mutex lock;
    std::string captured;
    bool echo = [] {
        const char* v = std::getenv("ZK_DEBUG_PRINT");
        return v != nullptr && std::strcmp(v, "1") == 0;
    }();
};

DebugState& State() {
    static DebugState* state = new DebugState;
    return *state;
}

// A message the formatter refuses (an unsupported conversion) is kept as
// its format text, so nothing printed is lost silently.
void Emit(PCSTR format, va_list args) {
    char message[kMaxMessage + 1];
    NTSTATUS status = RtlStringCchVPrintfA(message, sizeof message, format, args);
    const char* text = (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) ? message : format;
    std::string out(text, strnlen(text, kMaxMessage));
    DebugState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.captured += out;
    if (s.echo) {
        std::fputs(out.c_str(), stderr);
        std::fflush(stderr);
    }
}

}  // namespace

ULONG DbgPrint(PCSTR Format, ...) {
    va_list ap;
    va_start(ap, Format);
    Emit(Format, ap);
    va_end(ap);
    return STATUS_SUCCESS;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    UNREFERENCED_PARAMETER(ComponentId);
    UNREFERENCED_PARAMETER(Level);
    va_list ap;
    va_start(ap, Format);
    Emit(Format, ap);
    va_end(ap);
    return STATUS_SUCCESS;
}

VOID DbgBreakPoint() { sim::Bugcheck(KMODE_EXCEPTION_NOT_HANDLED, "DbgBreakPoint with no kernel debugger attached"); }

namespace sim {

std::string DebugOutput() {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().captured;
}

void ClearDebugOutput() {
    std::lock_guard<std::mutex> guard(State().lock);
    State().captured.clear();
}

void SetDebugEcho(bool echo) {
    std::lock_guard<std::mutex> guard(State().lock);
    State().echo = echo;
}

}  // namespace sim

// Kernel debugger output: DbgPrint formats with the runtime's narrow
// formatter (RtlStringCchVPrintfA: %d, %x, %s, %ws, %S, %p, widths, sizes)
// and appends the message, at most 512 bytes as on the platform, to the
// bounded line log of sim/debug.h, echoing it to stderr when asked.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
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
    std::deque<std::string> lines;  // complete lines, oldest first
    std::string open;               // text after the last newline
    size_t dropped = 0;
    bool echo = [] {
        const char* v = std::getenv("ZK_DEBUG_PRINT");
        return v != nullptr && std::strcmp(v, "1") == 0;
    }();
};

DebugState& State() {
    static DebugState* state = new DebugState;
    return *state;
}

// Caller holds s.lock.
void KeepLine(DebugState& s, std::string line) {
    s.lines.push_back(std::move(line));
    if (s.lines.size() > sim::kDebugLogLines) {
        s.lines.pop_front();
        ++s.dropped;
    }
}

// Splits the text at its newlines onto the open line and the log. An open
// line that outgrows one message without a newline is kept as a line of
// its own, so it stays bounded too.
void Append(DebugState& s, const std::string& text) {
    size_t from = 0;
    for (size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', from)) {
        s.open.append(text, from, nl - from);
        KeepLine(s, std::move(s.open));
        s.open.clear();
        from = nl + 1;
    }
    s.open.append(text, from, std::string::npos);
    if (s.open.size() > kMaxMessage) {
        KeepLine(s, std::move(s.open));
        s.open.clear();
    }
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
    Append(s, out);
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
    DebugState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    std::string out;
    for (const std::string& line : s.lines) out += line + "\n";
    return out + s.open;
}

std::vector<std::string> DebugLog() {
    DebugState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    std::vector<std::string> out(s.lines.begin(), s.lines.end());
    if (!s.open.empty()) out.push_back(s.open);
    return out;
}

size_t DebugLinesDropped() {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().dropped;
}

void ClearDebugOutput() {
    DebugState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.lines.clear();
    s.open.clear();
    s.dropped = 0;
}

void SetDebugEcho(bool echo) {
    std::lock_guard<std::mutex> guard(State().lock);
    State().echo = echo;
}

}  // namespace sim

// The handler of non-fatal stand-in rule breaches (see sim/violation.h).
#include "sim/violation.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace sim {

namespace {

struct ViolationState {
    std::mutex lock;  // guards handler
    ViolationHandler handler;
    std::atomic<unsigned long> count{0};
};

// Built on first use, so a handler installed by another file's static
// initialiser finds it ready.
ViolationState& State() {
    static ViolationState state;
    return state;
}

void PrintViolation(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "%s:%d: %s\n", file, line, what.c_str());
    std::fflush(stderr);
}

}  // namespace

ViolationHandler SetViolationHandler(ViolationHandler handler) {
    ViolationState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    ViolationHandler previous = std::move(state.handler);
    state.handler = std::move(handler);
    return previous;
}

void ReportViolation(const char* file, int line, const std::string& what) {
    ViolationState& state = State();
    state.count.fetch_add(1);
    ViolationHandler handler;
    {
        // A copy, called without the lock: a handler may report again or
        // swap handlers.
        std::lock_guard<std::mutex> guard(state.lock);
        handler = state.handler;
    }
    if (handler) {
        handler(file, line, what);
    } else {
        PrintViolation(file, line, what);
    }
}

unsigned long ViolationCount() { return State().count.load(); }

}  // namespace sim

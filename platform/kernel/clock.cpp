// Time: every reading comes from the executor's one clock. System time is
// the boot system time plus the interrupt time elapsed since boot; the
// performance counter counts interrupt time at 10 MHz.
#include <thread>

#include "executor_internal.h"

using namespace sim::detail;

namespace {

constexpr LONGLONG kPerformanceFrequency = 10000000;  // one count per 100 ns

}  // namespace

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = sim::SystemTimeNow(); }

VOID KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = sim::SystemTimeNow(); }

ULONGLONG KeQueryInterruptTime() { return static_cast<ULONGLONG>(ClockNow()); }

ULONGLONG KeQueryInterruptTimePrecise(PULONGLONG QpcTimeStamp) {
    ULONGLONG now = static_cast<ULONGLONG>(ClockNow());
    if (QpcTimeStamp) *QpcTimeStamp = now;
    return now;
}

ULONGLONG KeQueryUnbiasedInterruptTime() { return static_cast<ULONGLONG>(ClockNow()); }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency) PerformanceFrequency->QuadPart = kPerformanceFrequency;
    LARGE_INTEGER counter;
    counter.QuadPart = ClockNow();
    return counter;
}

VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
    CurrentCount->QuadPart = ClockNow() / static_cast<LONGLONG>(KeQueryTimeIncrement());
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
    if (sim::CurrentClockMode() != sim::ClockMode::RealTime) {
        std::this_thread::yield();
        return;
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
    while (std::chrono::steady_clock::now() < end) std::this_thread::yield();
}

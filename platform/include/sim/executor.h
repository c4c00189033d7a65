// The executor and its virtual clock: the heart of the kernel stand-in.
//
// Rules
// - Managed threads: system threads (PsCreateSystemThread), the worker
//   threads of ExQueueWorkItem, the DPC thread(s), and host threads (the
//   test's own, std::threads). A host thread becomes managed the first time
//   it calls into the executor (a wait, a signal, a DPC, a timer, a work
//   item, a thread creation, sim::RegisterCurrentThread) and stays managed
//   until it exits or calls sim::UnregisterCurrentThread. Calls that only
//   read (time, IRQL) never register.
// - Time: one clock drives system time, interrupt time, the performance
//   counter, every wait time-out, timers, sim::ScheduleAt callbacks and
//   the simulated bus's USB frames. In virtual mode it stands still while any managed
//   thread runs and jumps to the earliest deadline once every managed
//   thread waits in a stand-in wait (KeWait*, KeDelayExecutionThread, the
//   DPC and worker queues, sim::Settle, TestThread::Join, OutsideWait). A
//   500 ms wait therefore costs no wall time. Entries due at the same time
//   fire in the order they were set.
// - A managed thread blocked in something the executor cannot see
//   (std::thread::join, a host mutex or sleep) counts as running and holds
//   the clock: use TestThread::Join or an OutsideWait scope. When virtual
//   time is held for ZK_EXECUTOR_STALL_SECONDS (default 20) of wall time
//   with deadlines pending, the executor prints the running threads once.
// - Deadlock: when every managed thread waits, nothing is scheduled and at
//   least one thread waits without a time-out for something other than its
//   service queue, the executor prints every thread's wait and bugchecks
//   (DEADLOCK_DETECTED): the test fails instead of hanging.
// - DPCs, timer DPCs and ScheduleAt callbacks run on the DPC thread at
//   DISPATCH_LEVEL, one at a time in queue order (deterministic). Work items
//   run at PASSIVE_LEVEL on a worker pool that starts with one thread and
//   adds one when every worker is blocked and items are waiting.
// - Stress mode (ZK_EXECUTOR_STRESS=1 or ExecutorOptions::stress): two DPC
//   threads and two workers run concurrently and the clock also advances
//   with wall time, accelerated (stressSpeed), for ThreadSanitizer runs.
// - Real-time mode (the host program): the clock follows wall time; no
//   deadlock detection.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "nt/ke.h"

namespace sim {

enum class ClockMode { Virtual, RealTime };

struct ExecutorOptions {
    ClockMode clock = ClockMode::Virtual;
    bool stress = false;
    // Virtual seconds per wall second while threads run in stress mode.
    double stressSpeed = 50.0;
    // 0 selects the default: 1 (2 in stress mode).
    int dpcThreads = 0;
    int initialWorkers = 0;
    // Defaults, with stress taken from ZK_EXECUTOR_STRESS.
    static ExecutorOptions FromEnvironment();
};

// What a scope found at its end. `problems` is empty when clean; the
// permanent named objects are reported apart and are not a failure.
struct ScopeReport {
    std::string problems;
    std::string permanentObjects;
    bool Clean() const { return problems.empty(); }
};

// A fresh executor for a test (or the host program): registers the calling
// thread as the managed thread "main". Finish() (or the destructor) waits
// for every system thread to end (a deadlock is reported as such), drains
// the DPC and work queues, stops the service threads and then checks: no
// timer or scheduled callback left queued, timer-resolution requests
// balanced, no handle left open, no pool block left (after the permanent
// named objects, reported apart, have been dropped). Only one scope exists
// at a time.
class KernelScope {
public:
    explicit KernelScope(const ExecutorOptions& options = ExecutorOptions::FromEnvironment());
    ~KernelScope();
    KernelScope(const KernelScope&) = delete;
    KernelScope& operator=(const KernelScope&) = delete;
    ScopeReport Finish();

private:
    bool finished_ = false;
    int64_t poolBaseline_ = 0;
    size_t handleBaseline_ = 0;
};

// ------------------------------------------------------------------ clock

// Interrupt time (100 ns since the executor started) and system time.
LONGLONG Now();
LONGLONG SystemTimeNow();
constexpr LONGLONG kTicksPerMillisecond = 10000;
constexpr LONGLONG kTicksPerSecond = 10000000;
// System time at which every executor starts: 2026-01-01 00:00:00 UTC.
constexpr LONGLONG kBootSystemTime = 134116992000000000LL;
// Interrupt time at which every executor starts (one second after boot).
constexpr LONGLONG kBootInterruptTime = kTicksPerSecond;

// ---------------------------------------------------- scheduled callbacks

// The hook for simulated hardware (the USB bus's frames and completions):
// runs fn on a DPC thread at DISPATCH_LEVEL once the clock reaches dueTime
// (interrupt time). Returns an id for CancelScheduled. Callable at any IRQL
// from any thread.
uint64_t ScheduleAt(LONGLONG dueTime, std::function<void()> fn);
uint64_t ScheduleAfter(LONGLONG delay, std::function<void()> fn);
// TRUE when the callback had not yet been started; it then never runs.
bool CancelScheduled(uint64_t id);

// Blocks the calling managed thread until every other managed thread waits
// and the DPC and work queues are empty, without advancing the clock.
void Settle();
// Sleeps the calling thread for `delay` (100 ns units) of virtual time.
void Sleep(LONGLONG delay);

// ---------------------------------------------------------------- threads

void RegisterCurrentThread(const char* name);
void UnregisterCurrentThread();
bool IsCurrentThreadManaged();
// Names the calling thread in deadlock and stall reports (registers it).
void SetCurrentThreadName(const char* name);

// A host thread managed for its whole life. Join waits through the
// executor, so the clock keeps running while the joiner waits.
class TestThread {
public:
    TestThread(std::string name, std::function<void()> body);
    ~TestThread();
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;
    void Join();

private:
    struct State;
    State* state_;
};

// While alive, the calling managed thread counts as waiting (the clock may
// advance) although it blocks in a host call; it is not a deadlock
// participant. Resuming is not synchronised with the clock.
class OutsideWait {
public:
    explicit OutsideWait(const char* what);
    ~OutsideWait();
    OutsideWait(const OutsideWait&) = delete;
    OutsideWait& operator=(const OutsideWait&) = delete;

private:
    bool active_;
};

// ------------------------------------------------------------- inspection

bool StressMode();
ClockMode CurrentClockMode();
// Managed threads alive (any state).
int ManagedThreadCount();
// One line per managed thread: name, state and what it waits for.
std::string DescribeThreads();

}  // namespace sim

// Executor lifetime (start, stop, KernelScope and its end-of-scope checks)
// and the sim:: thread helpers (registration, TestThread, OutsideWait,
// Settle, Sleep).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "executor_internal.h"
#include "sim/debug.h"
#include "sim/object.h"
#include "sim/pool.h"
#include "sim/system.h"

namespace sim::detail {

void StartLocked(const ExecutorOptions& options) {
    Executor& e = Exec();
    e.options = options;
    e.generation.fetch_add(1);
    e.running = true;
    e.stopping = false;
    e.threads.clear();
    e.runningCount = 0;
    e.clockQueue.clear();
    e.timerKeys.clear();
    e.callbacks.clear();
    e.dpcQueue.clear();
    e.dpcRunning.clear();
    e.idleDpcThreads.clear();
    e.flushWaiters.clear();
    e.workQueue.clear();
    e.idleWorkers.clear();
    e.workerCount = 0;
    e.settleWaiters.clear();
    e.nextSeq = 1;
    bool realTime = options.clock == ClockMode::RealTime;
    e.wallDriven.store(realTime || options.stress);
    e.speed.store(realTime ? 1.0 : (options.stressSpeed > 0 ? options.stressSpeed : 50.0));
    e.wallStartNs.store(std::chrono::steady_clock::now().time_since_epoch().count());
    e.jumpOffset.store(0);
    e.virtualNow.store(kBootInterruptTime);
    ClearArmed();
    e.scheduler = std::thread(SchedulerLoop);
    StartDpcThreads(options.dpcThreads > 0 ? options.dpcThreads : (options.stress ? 2 : 1));
    StartWorkers(options.initialWorkers > 0 ? options.initialWorkers : (options.stress ? 2 : 1));
}

namespace {

void CheckServiceThreadsIdle() {
    for (const ThreadRecord* r : Exec().threads) {
        bool service = r->kind == ThreadKind::Dpc || r->kind == ThreadKind::Worker;
        if (service && r->waitKind != WaitKind::ServiceQueue && r->waitKind != WaitKind::None)
            RuleViolation("executor stopped while a work item still blocks:\n" + DescribeThreadsLocked());
        if (r->kind == ThreadKind::System)
            RuleViolation("executor stopped while a system thread still runs:\n" + DescribeThreadsLocked());
    }
}

}  // namespace

void StopExecutor() {
    Executor& e = Exec();
    std::unique_lock<std::mutex> lk(Lock());
    if (!e.running) return;
    e.stopping = true;
    NotifyScheduler();
    std::thread scheduler = std::move(e.scheduler);
    lk.unlock();
    if (scheduler.joinable()) scheduler.join();
    lk.lock();
    CheckServiceThreadsIdle();
    for (ThreadRecord* r : e.idleDpcThreads) Wake(r, STATUS_SUCCESS);
    for (ThreadRecord* r : e.idleWorkers) Wake(r, STATUS_SUCCESS);
    e.idleDpcThreads.clear();
    e.idleWorkers.clear();
    std::vector<std::thread> service = std::move(e.serviceThreads);
    std::vector<std::unique_ptr<SystemThreadSlot>> systems = std::move(e.systemThreads);
    lk.unlock();
    for (std::thread& t : service) t.join();
    for (auto& slot : systems)
        if (slot->thread.joinable()) slot->thread.join();
    lk.lock();
    for (ThreadRecord* r : e.threads) r->generation = 0;  // host threads still alive
    e.threads.clear();
    e.running = false;
    ClearArmed();
}

}  // namespace sim::detail

namespace sim {

using namespace detail;

ExecutorOptions ExecutorOptions::FromEnvironment() {
    ExecutorOptions options;
    const char* stress = std::getenv("ZK_EXECUTOR_STRESS");
    options.stress = stress != nullptr && std::strcmp(stress, "1") == 0;
    return options;
}

LONGLONG Now() { return ClockNow(); }
LONGLONG SystemTimeNow() { return ClockNow() - kBootInterruptTime + kBootSystemTime; }

bool StressMode() {
    std::lock_guard<std::mutex> guard(Lock());
    return Exec().options.stress;
}

ClockMode CurrentClockMode() {
    std::lock_guard<std::mutex> guard(Lock());
    return Exec().options.clock;
}

// ------------------------------------------------------------------ scope

namespace {

// Waits for every system thread to end; returns whether there was one.
bool WaitForSystemThreads() {
    bool waited = false;
    for (;;) {
        PKTHREAD object = nullptr;
        {
            std::lock_guard<std::mutex> guard(Lock());
            for (auto& slot : Exec().systemThreads) {
                if (!slot->done) {
                    object = slot->object;
                    ObReferenceObject(object);
                    break;
                }
            }
        }
        if (!object) return waited;
        KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(object);
        waited = true;
    }
}

// Waits until the queues are empty and every DPC and worker thread waits for
// work, letting the clock run (a work item may still sleep).
void Drain() {
    ThreadRecord* r = Current();
    std::unique_lock<std::mutex> lk(Lock());
    r->drainAll = true;
    Exec().settleWaiters.push_back(r);
    Block(lk, r, WaitKind::Settle, "KernelScope::Finish", false, 0);
    r->drainAll = false;
}

std::string LeftoverClockEntries() {
    std::string out;
    std::lock_guard<std::mutex> guard(Lock());
    char line[160];
    for (auto& [timer, key] : Exec().timerKeys) {
        std::snprintf(line, sizeof line, "timer %p still set (due at interrupt time %lld)\n",
                      static_cast<const void*>(timer), static_cast<long long>(key.due));
        out += line;
    }
    if (!Exec().callbacks.empty()) {
        std::snprintf(line, sizeof line, "%zu scheduled callback(s) never ran or were cancelled\n",
                      Exec().callbacks.size());
        out += line;
    }
    return out;
}

}  // namespace

KernelScope::KernelScope(const ExecutorOptions& options) {
    {
        std::lock_guard<std::mutex> guard(Lock());
        if (Exec().scopeActive) RuleViolation("a KernelScope is already active");
    }
    StopExecutor();
    ResetSystemSettings();
    ClearDebugOutput();
    {
        std::lock_guard<std::mutex> guard(Lock());
        StartLocked(options);
        Exec().scopeActive = true;
        RegisterHostLocked("main");
    }
    poolBaseline_ = PoolLiveBlocks();
    handleBaseline_ = ObOpenHandleCount();
}

KernelScope::~KernelScope() {
    if (finished_) return;
    ScopeReport report = Finish();
    if (!report.Clean()) std::fprintf(stderr, "KernelScope ended with problems:\n%s", report.problems.c_str());
}

ScopeReport KernelScope::Finish() {
    ScopeReport report;
    if (finished_) return report;
    finished_ = true;
    do {
        Drain();  // a work item may still start a system thread
    } while (WaitForSystemThreads());
    report.problems += LeftoverClockEntries();
    LONG resolution = TimerResolutionRequests();
    if (resolution != 0)
        report.problems += "ExSetTimerResolution requests outstanding: " + std::to_string(resolution) + "\n";
    {
        std::lock_guard<std::mutex> guard(Lock());
        UnregisterHostLocked();
    }
    StopExecutor();
    {
        std::lock_guard<std::mutex> guard(Lock());
        Exec().scopeActive = false;
    }
    report.permanentObjects = ObPermanentReport();
    ObResetNamespace();
    if (PoolLiveBlocks() != poolBaseline_)
        report.problems += "pool blocks left at the end (" + std::to_string(PoolLiveBlocks() - poolBaseline_) +
                           " more than at the start):\n" + PoolLeakReport();
    if (ObOpenHandleCount() != handleBaseline_)
        report.problems += "handles left open: " + std::to_string(ObOpenHandleCount() - handleBaseline_) + "\n";
    return report;
}

// ------------------------------------------------------- thread helpers

void Settle() {
    CheckIrqlAtMost(APC_LEVEL, "sim::Settle");
    ThreadRecord* r = Current();
    std::unique_lock<std::mutex> lk(Lock());
    Exec().settleWaiters.push_back(r);
    Block(lk, r, WaitKind::Settle, "sim::Settle", false, 0);
}

void Sleep(LONGLONG delay) {
    LARGE_INTEGER interval;
    interval.QuadPart = -delay;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void RegisterCurrentThread(const char* name) {
    EnsureStarted();
    std::lock_guard<std::mutex> guard(Lock());
    ThreadRecord* r = RegisterHostLocked(name);
    if (name) r->name = name;
}

void UnregisterCurrentThread() {
    std::lock_guard<std::mutex> guard(Lock());
    UnregisterHostLocked();
}

bool IsCurrentThreadManaged() {
    std::lock_guard<std::mutex> guard(Lock());
    return CurrentIfManaged() != nullptr && Exec().running;
}

void SetCurrentThreadName(const char* name) {
    ThreadRecord* r = Current();
    std::lock_guard<std::mutex> guard(Lock());
    r->name = name;
}

struct TestThread::State {
    std::thread thread;
    KEVENT done;
    bool joined = false;
};

TestThread::TestThread(std::string name, std::function<void()> body) : state_(new State) {
    KeInitializeEvent(&state_->done, NotificationEvent, FALSE);
    EnsureStarted();
    ThreadRecord* r;
    {
        // Registered before it starts, so the clock cannot move in between.
        std::lock_guard<std::mutex> guard(Lock());
        r = CreateHostRecordLocked(name.c_str());
    }
    State* s = state_;
    s->thread = std::thread([s, r, body = std::move(body)] {
        TlsSlot& t = Tls();
        t.record = r;
        t.ownsRecord = true;
        body();
        // The record (and the KTHREAD a mutex names as owner) is freed when
        // this thread exits: a mutex still owned would point at freed memory.
        if (r->ownedMutexes != 0) RuleViolation("test thread '" + r->name + "' ended holding a mutex");
        KeSetEvent(&s->done, 0, FALSE);
    });
}

TestThread::~TestThread() {
    Join();
    delete state_;
}

void TestThread::Join() {
    if (state_->joined) return;
    state_->joined = true;
    KeWaitForSingleObject(&state_->done, Executive, KernelMode, FALSE, nullptr);
    state_->thread.join();
}

OutsideWait::OutsideWait(const char* what) : active_(true) {
    ThreadRecord* r = Current();
    std::lock_guard<std::mutex> guard(Lock());
    r->waitKind = WaitKind::Outside;
    r->waitApi = what;
    if (--Exec().runningCount == 0) NotifyScheduler();
}

OutsideWait::~OutsideWait() {
    if (!active_) return;
    std::lock_guard<std::mutex> guard(Lock());
    ThreadRecord* r = CurrentIfManaged();
    if (r == nullptr || r->waitKind != WaitKind::Outside) return;
    r->waitKind = WaitKind::None;
    ++Exec().runningCount;
}

}  // namespace sim

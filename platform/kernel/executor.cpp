// The executor: thread registration, blocking and waking, the clock and its
// queue, and the scheduler thread that advances time, wakes Settle callers,
// grows the worker pool and reports deadlocks.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include <pthread.h>

#include "executor_internal.h"

namespace sim::detail {

std::mutex& Lock() {
    static std::mutex* lock = new std::mutex;  // outlives static destructors
    return *lock;
}

namespace {

Executor* g_executor = nullptr;

// A forked child (a death test in the "fast" style) has none of the
// executor's threads: it gets a fresh executor that starts on first use.
void LockBeforeFork() { Lock().lock(); }
void UnlockInParent() { Lock().unlock(); }
void ResetInChild() {
    auto* fresh = new Executor;  // the parent's copy is left untouched
    fresh->generation.store(g_executor->generation.load() + 1);
    g_executor = fresh;
    Lock().unlock();
}

Executor* InstallExecutor() {
    g_executor = new Executor;  // outlives static destructors
    pthread_atfork(LockBeforeFork, UnlockInParent, ResetInChild);
    return g_executor;
}

}  // namespace

Executor& Exec() {
    static Executor* installed = InstallExecutor();
    (void)installed;
    return *g_executor;
}

TlsSlot& Tls() {
    thread_local TlsSlot slot;
    return slot;
}

namespace {

std::atomic<int> g_hostThreadNumber{0};

bool Registered(const ThreadRecord* r) {
    return r != nullptr && r->generation == Exec().generation.load() && Exec().running;
}

void EraseThread(ThreadRecord* r) {
    auto& list = Exec().threads;
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i] == r) {
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

// A registered thread leaves: it no longer counts as running.
void UnregisterLocked(ThreadRecord* r) {
    EraseThread(r);
    if (r->waitKind == WaitKind::None) --Exec().runningCount;
    r->generation = 0;
    NotifyScheduler();
}

}  // namespace

TlsSlot::~TlsSlot() {
    if (record && ownsRecord) {
        {
            std::lock_guard<std::mutex> guard(Lock());
            if (Registered(record)) UnregisterLocked(record);
        }
        delete record;
    }
    record = nullptr;
}

ThreadRecord* CurrentIfManaged() {
    ThreadRecord* r = Tls().record;
    return (r && r->generation == Exec().generation.load()) ? r : nullptr;
}

ThreadRecord* RecordOf(PKTHREAD thread) {
    return thread ? static_cast<ThreadRecord*>(thread->SimThread) : nullptr;
}

ThreadRecord* CreateHostRecordLocked(const char* name) {
    auto* r = new ThreadRecord;
    r->kind = ThreadKind::Host;
    r->name = name ? name : "host thread " + std::to_string(++g_hostThreadNumber);
    r->kthread = &r->ownThread;
    InitHeader(&r->ownThread.Header, ThreadObject, 0);
    r->ownThread.Priority = r->ownThread.BasePriority = 8;
    r->ownThread.SimThread = r;
    r->ownThread.ThreadId = reinterpret_cast<ULONG_PTR>(r);
    r->generation = Exec().generation.load();
    Exec().threads.push_back(r);
    ++Exec().runningCount;
    return r;
}

ThreadRecord* RegisterHostLocked(const char* name) {
    TlsSlot& t = Tls();
    if (t.record && t.ownsRecord) {
        if (Registered(t.record)) return t.record;
        delete t.record;
    }
    t.record = CreateHostRecordLocked(name);
    t.ownsRecord = true;
    return t.record;
}

void UnregisterHostLocked() {
    TlsSlot& t = Tls();
    if (t.record && t.ownsRecord && Registered(t.record)) UnregisterLocked(t.record);
}

ThreadRecord* Current() {
    if (ThreadRecord* r = CurrentIfManaged()) return r;
    EnsureStarted();
    std::lock_guard<std::mutex> guard(Lock());
    return RegisterHostLocked(nullptr);
}

void EnsureStarted() {
    std::lock_guard<std::mutex> guard(Lock());
    if (!Exec().running) StartLocked(ExecutorOptions::FromEnvironment());
}

void NotifyScheduler() { Exec().schedCv.notify_all(); }

// ------------------------------------------------------------------ clock

LONGLONG ClockNow() {
    Executor& e = Exec();
    if (!e.wallDriven.load()) return e.virtualNow.load();
    auto elapsed = std::chrono::steady_clock::now().time_since_epoch().count() - e.wallStartNs.load();
    double ticks = static_cast<double>(elapsed) / 100.0 * e.speed.load();
    return kBootInterruptTime + static_cast<LONGLONG>(ticks) + e.jumpOffset.load();
}

LONGLONG DeadlineFrom(LONGLONG timeout) {
    if (timeout < 0) return ClockNow() - timeout;
    return timeout - kBootSystemTime + kBootInterruptTime;
}

QueueKey ClockInsert(LONGLONG due, EntryKind kind, void* target, uint64_t id) {
    Executor& e = Exec();
    QueueKey key{due, e.nextSeq++};
    e.clockQueue.emplace(key, QueueEntry{kind, target, id});
    if (e.wallDriven.load()) NotifyScheduler();
    return key;
}

// ------------------------------------------------------- block and wake

NTSTATUS Block(std::unique_lock<std::mutex>& lk, ThreadRecord* r, WaitKind kind, const char* api,
               bool hasDeadline, LONGLONG deadline) {
    Executor& e = Exec();
    r->waitKind = kind;
    r->waitApi = api;
    r->satisfied = false;
    r->hasDeadline = hasDeadline;
    if (hasDeadline) {
        QueueKey key = ClockInsert(deadline, EntryKind::WaitTimeout, r, 0);
        r->deadline = key.due;
        r->deadlineSeq = key.seq;
    }
    if (--e.runningCount == 0) NotifyScheduler();
    while (!r->satisfied) r->cv.wait(lk);
    r->waitKind = WaitKind::None;
    r->waitCount = 0;
    r->waitObjects = nullptr;
    r->waitBlocks = nullptr;
    return r->waitStatus;
}

void Wake(ThreadRecord* r, NTSTATUS status) {
    if (r->waitKind == WaitKind::None || r->satisfied) return;
    Executor& e = Exec();
    r->satisfied = true;
    r->waitStatus = status;
    if (r->hasDeadline) {
        e.clockQueue.erase(QueueKey{r->deadline, r->deadlineSeq});
        r->hasDeadline = false;
    }
    if (r->waitKind == WaitKind::Dispatcher && r->waitBlocks) {
        for (ULONG i = 0; i < r->waitCount; ++i) {
            ListRemove(&r->waitBlocks[i].WaitListEntry);
            Disarm(r->waitObjects[i], ArmedKind::WaitedObject);
        }
    }
    if (r->waitKind != WaitKind::Outside) ++e.runningCount;
    r->cv.notify_one();
}

// ----------------------------------------------------- managed threads

ThreadRecord* SpawnManaged(ThreadKind kind, const std::string& name, PKTHREAD object,
                           std::function<void(ThreadRecord*)> body, std::thread* out) {
    Executor& e = Exec();
    auto* r = new ThreadRecord;
    r->kind = kind;
    r->name = name;
    r->generation = e.generation.load();
    if (object) {
        r->kthread = object;
    } else {
        r->kthread = &r->ownThread;
        InitHeader(&r->ownThread.Header, ThreadObject, 0);
        r->ownThread.Priority = r->ownThread.BasePriority = kind == ThreadKind::Worker ? 12 : 31;
        r->ownThread.ThreadId = reinterpret_cast<ULONG_PTR>(r);
    }
    r->kthread->SimThread = r;
    e.threads.push_back(r);
    ++e.runningCount;
    *out = std::thread([r, body = std::move(body)] {
        TlsSlot& t = Tls();
        t.record = r;
        t.ownsRecord = false;
        t.irql = PASSIVE_LEVEL;
        body(r);
    });
    return r;
}

void RetireManaged(ThreadRecord* r) {
    {
        std::lock_guard<std::mutex> guard(Lock());
        EraseThread(r);
        --Exec().runningCount;
        NotifyScheduler();
    }
    Tls().record = nullptr;
    delete r;
}

// -------------------------------------------------------------- scheduler

namespace {

void FireDue(LONGLONG now) {
    Executor& e = Exec();
    while (!e.clockQueue.empty() && e.clockQueue.begin()->first.due <= now) {
        auto it = e.clockQueue.begin();
        QueueKey key = it->first;
        QueueEntry entry = it->second;
        e.clockQueue.erase(it);
        switch (entry.kind) {
        case EntryKind::Timer:
            FireTimer(static_cast<PKTIMER>(entry.target), key);
            break;
        case EntryKind::WaitTimeout:
            Wake(static_cast<ThreadRecord*>(entry.target), STATUS_TIMEOUT);
            break;
        case EntryKind::Callback:
            QueueCallbackItem(entry.id);
            break;
        }
    }
}

bool HasForeverWaiter() {
    for (ThreadRecord* r : Exec().threads) {
        bool blocking = r->waitKind == WaitKind::Dispatcher || r->waitKind == WaitKind::Settle ||
                        r->waitKind == WaitKind::FlushDpcs;
        if (blocking && !r->hasDeadline) return true;
    }
    return false;
}

[[noreturn]] void ReportDeadlock() {
    std::string text = "deadlock: every managed thread waits and nothing is scheduled\n";
    text += DescribeThreadsLocked();
    Bugcheck(DEADLOCK_DETECTED, text);
}

bool ServiceThreadsIdle() {
    for (const ThreadRecord* r : Exec().threads) {
        bool service = r->kind == ThreadKind::Dpc || r->kind == ThreadKind::Worker;
        if (service && r->waitKind != WaitKind::ServiceQueue) return false;
    }
    return true;
}

// Wakes the Settle callers whose condition holds; true when any woke.
bool WakeSettleWaiters() {
    Executor& e = Exec();
    if (e.settleWaiters.empty() || !e.dpcQueue.empty() || !e.workQueue.empty()) return false;
    bool serviceIdle = ServiceThreadsIdle();
    bool woke = false;
    for (size_t i = 0; i < e.settleWaiters.size();) {
        ThreadRecord* r = e.settleWaiters[i];
        if (!r->drainAll || serviceIdle) {
            e.settleWaiters.erase(e.settleWaiters.begin() + static_cast<std::ptrdiff_t>(i));
            Wake(r, STATUS_SUCCESS);
            woke = true;
        } else {
            ++i;
        }
    }
    return woke;
}

// Every managed thread waits: do the next thing that can happen. Returns
// false when nothing can happen until a thread outside the executor acts.
bool HandleIdle(LONGLONG now) {
    Executor& e = Exec();
    e.lastIdleWall = std::chrono::steady_clock::now();
    e.stallReported = false;
    if (WakeSettleWaiters()) return true;
    if (!e.workQueue.empty() && e.idleWorkers.empty() && e.workerCount < kMaxWorkers) {
        SpawnWorker();
        return true;
    }
    if (!e.clockQueue.empty() && e.options.clock == ClockMode::Virtual) {
        LONGLONG due = e.clockQueue.begin()->first.due;
        if (due > now) {
            if (e.wallDriven.load()) {
                e.jumpOffset.fetch_add(due - now);
            } else {
                e.virtualNow.store(due);
            }
        }
        FireDue(due > now ? due : now);
        return true;
    }
    if (e.options.clock == ClockMode::Virtual && e.clockQueue.empty() && HasForeverWaiter()) ReportDeadlock();
    return false;
}

double StallSeconds() {
    const char* v = std::getenv("ZK_EXECUTOR_STALL_SECONDS");
    double s = v ? std::atof(v) : 0.0;
    return s > 0 ? s : 20.0;
}

void CheckStall() {
    Executor& e = Exec();
    if (e.runningCount == 0 || e.clockQueue.empty() || e.stallReported || e.wallDriven.load()) return;
    double held = std::chrono::duration<double>(std::chrono::steady_clock::now() - e.lastIdleWall).count();
    if (held < StallSeconds()) return;
    e.stallReported = true;
    std::fprintf(stderr,
                 "executor: virtual time held for %.0f s of wall time by running threads; a managed "
                 "thread blocked outside the stand-in (std::thread::join, a host mutex or sleep) stops "
                 "the clock: use sim::TestThread::Join or sim::OutsideWait.\n%s",
                 held, DescribeThreadsLocked().c_str());
}

void WaitForChange(std::unique_lock<std::mutex>& lk) {
    Executor& e = Exec();
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    if (e.wallDriven.load() && !e.clockQueue.empty()) {
        LONGLONG ahead = e.clockQueue.begin()->first.due - ClockNow();
        if (ahead <= 0) return;
        auto wall = std::chrono::nanoseconds(static_cast<int64_t>(static_cast<double>(ahead) * 100.0 / e.speed.load()));
        if (std::chrono::steady_clock::now() + wall < limit) limit = std::chrono::steady_clock::now() + wall;
    }
    e.schedCv.wait_until(lk, limit);
    CheckStall();
}

}  // namespace

void SchedulerLoop() {
    Executor& e = Exec();
    std::unique_lock<std::mutex> lk(Lock());
    e.lastIdleWall = std::chrono::steady_clock::now();
    while (!e.stopping) {
        LONGLONG now = ClockNow();
        if (e.wallDriven.load()) FireDue(now);
        if (e.runningCount == 0 && HandleIdle(now)) continue;
        WaitForChange(lk);
    }
}

// ------------------------------------------------------------ reporting

namespace {

std::string Hex(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

std::string ThreadName(PKTHREAD t) {
    ThreadRecord* r = RecordOf(t);
    return r ? "'" + r->name + "'" : "an ended thread " + Hex(t);
}

std::string DescribeObject(PVOID object) {
    auto* h = static_cast<DISPATCHER_HEADER*>(object);
    std::string at = " " + Hex(object);
    std::string state = h->SignalState > 0 ? " (signalled)" : " (not signalled)";
    switch (h->Type) {
    case EventNotificationObject: return "notification event" + at + state;
    case EventSynchronizationObject: return "synchronization event" + at + state;
    case MutantObject: {
        auto* m = static_cast<PKMUTEX>(object);
        if (h->SignalState > 0) return "mutex" + at + " (free)";
        return "mutex" + at + " owned by " + ThreadName(m->OwnerThread);
    }
    case SemaphoreObject: return "semaphore" + at + " (count " + std::to_string(h->SignalState) + ")";
    case TimerNotificationObject:
    case TimerSynchronizationObject:
        return std::string("timer") + at + (h->Inserted ? " (set)" : " (not set)") + state;
    case ThreadObject: return "thread " + ThreadName(static_cast<PKTHREAD>(object)) + state;
    default: return "object" + at;
    }
}

const char* KindName(ThreadKind k) {
    switch (k) {
    case ThreadKind::Host: return "host";
    case ThreadKind::System: return "system";
    case ThreadKind::Dpc: return "DPC";
    case ThreadKind::Worker: return "worker";
    }
    return "?";
}

std::string DescribeWait(const ThreadRecord* r) {
    std::string timeout = r->hasDeadline ? " until " + std::to_string(r->deadline) : " without time-out";
    switch (r->waitKind) {
    case WaitKind::None: return "running";
    case WaitKind::Dispatcher: {
        std::string s = std::string("waits in ") + r->waitApi + timeout + " for ";
        if (r->waitCount > 1) s += r->waitType == WaitAll ? "all of: " : "any of: ";
        for (ULONG i = 0; i < r->waitCount; ++i) s += (i ? "; " : "") + DescribeObject(r->waitObjects[i]);
        return s;
    }
    case WaitKind::Delay: return "sleeps (KeDelayExecutionThread)" + timeout;
    case WaitKind::ServiceQueue: return "waits for work";
    case WaitKind::Settle: return "waits in sim::Settle for the other threads to wait";
    case WaitKind::FlushDpcs: return "waits in KeFlushQueuedDpcs";
    case WaitKind::Outside: return std::string("blocked outside the stand-in (") + r->waitApi + ")";
    }
    return "?";
}

}  // namespace

std::string DescribeThreadsLocked() {
    std::string out;
    char head[64];
    std::snprintf(head, sizeof head, "  virtual time %" PRId64 ", %zu clock entries\n",
                  static_cast<int64_t>(ClockNow()), Exec().clockQueue.size());
    out += head;
    for (const ThreadRecord* r : Exec().threads)
        out += "  '" + r->name + "' (" + KindName(r->kind) + "): " + DescribeWait(r) + "\n";
    return out;
}

// ----------------------------------------------------------- armed map

namespace {

struct ArmedEntry {
    size_t size;
    ArmedKind kind;
    int count;
};

std::mutex& ArmedLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

std::map<uintptr_t, ArmedEntry>& Armed() {
    static auto* armed = new std::map<uintptr_t, ArmedEntry>;
    return *armed;
}

const char* ArmedName(ArmedKind k) {
    switch (k) {
    case ArmedKind::Timer: return "a queued timer";
    case ArmedKind::Dpc: return "a queued DPC";
    case ArmedKind::WorkItem: return "a queued work item";
    case ArmedKind::WaitedObject: return "an object threads are waiting on";
    }
    return "?";
}

}  // namespace

void Arm(const void* p, size_t size, ArmedKind kind) {
    std::lock_guard<std::mutex> guard(ArmedLock());
    auto [it, inserted] = Armed().emplace(reinterpret_cast<uintptr_t>(p), ArmedEntry{size, kind, 1});
    if (!inserted) ++it->second.count;
}

void Disarm(const void* p, ArmedKind) {
    std::lock_guard<std::mutex> guard(ArmedLock());
    auto it = Armed().find(reinterpret_cast<uintptr_t>(p));
    if (it != Armed().end() && --it->second.count == 0) Armed().erase(it);
}

void CheckNotArmed(const void* p, size_t size, const char* api) {
    uintptr_t start = reinterpret_cast<uintptr_t>(p);
    std::lock_guard<std::mutex> guard(ArmedLock());
    auto& armed = Armed();
    if (armed.empty()) return;
    auto it = armed.lower_bound(start);
    const std::pair<const uintptr_t, ArmedEntry>* hit = nullptr;
    if (it != armed.end() && it->first < start + (size ? size : 1)) hit = &*it;
    if (!hit && it != armed.begin()) {
        --it;
        if (it->first + it->second.size > start) hit = &*it;
    }
    if (!hit) return;
    char text[256];
    std::snprintf(text, sizeof text, "%s: memory at %p (%zu bytes) holds %s at %p", api, p, size,
                  ArmedName(hit->second.kind), reinterpret_cast<void*>(hit->first));
    Bugcheck(TIMER_OR_DPC_INVALID, text);
}

void ClearArmed() {
    std::lock_guard<std::mutex> guard(ArmedLock());
    Armed().clear();
}

// Called by the pool before a block is freed.
void CheckPoolFree(PVOID p, SIZE_T size) { CheckNotArmed(p, size, "ExFreePool"); }

}  // namespace sim::detail

namespace sim {

std::string DescribeThreads() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return detail::DescribeThreadsLocked();
}

int ManagedThreadCount() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return static_cast<int>(detail::Exec().threads.size());
}

}  // namespace sim

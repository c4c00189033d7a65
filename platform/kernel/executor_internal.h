// Private state of the executor, shared by the kernel-core sources.
//
// One scheduler lock (Lock()) guards every dispatcher object's state and
// wait list, every executor queue and every thread record's wait fields,
// as the platform's dispatcher lock does. Whoever satisfies a wait marks the
// waiter runnable under that lock, so the clock never advances between a
// wake-up and the woken thread running. Pool is never freed while the lock
// is held (the pool-free check takes a lock of its own).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "nt/ex.h"
#include "nt/ke.h"
#include "nt/ps.h"
#include "sim/bugcheck.h"
#include "sim/executor.h"

namespace sim::detail {

// Stop code for rules of the stand-in that have no platform stop code.
constexpr ULONG kRuleViolation = 0x5A4B0001;
constexpr UCHAR kDispatcherSignature = 0xD7;
constexpr int kMaxWorkers = 32;

enum class ThreadKind { Host, System, Dpc, Worker };

// What a blocked thread waits for (reports and deadlock detection).
enum class WaitKind {
    None,
    Dispatcher,   // KeWaitFor*Object(s)
    Delay,        // KeDelayExecutionThread
    ServiceQueue, // a DPC or worker thread waiting for work
    Settle,       // sim::Settle
    FlushDpcs,    // KeFlushQueuedDpcs
    Outside,      // sim::OutsideWait
};

struct ThreadRecord {
    KTHREAD ownThread{};        // the KTHREAD of host and service threads
    PKTHREAD kthread = nullptr; // &ownThread, or the system thread's object
    std::string name;
    ThreadKind kind = ThreadKind::Host;
    std::atomic<uint64_t> generation{0};
    std::condition_variable cv;

    // Wait state, under Lock().
    WaitKind waitKind = WaitKind::None;
    bool satisfied = false;
    NTSTATUS waitStatus = STATUS_SUCCESS;
    const char* waitApi = "";
    ULONG waitCount = 0;
    PVOID* waitObjects = nullptr;
    PKWAIT_BLOCK waitBlocks = nullptr;
    WAIT_TYPE waitType = WaitAny;
    bool hasDeadline = false;
    LONGLONG deadline = 0;
    uint64_t deadlineSeq = 0;
    uint64_t flushTarget = 0;
    bool drainAll = false;  // Settle also waits for every service thread to idle
    KWAIT_BLOCK builtinBlocks[THREAD_WAIT_OBJECTS]{};

    int ownedMutexes = 0;
};

// Ordered key of the clock's queue: entries due at the same time fire in
// the order they were queued.
struct QueueKey {
    LONGLONG due;
    uint64_t seq;
    bool operator<(const QueueKey& o) const { return due != o.due ? due < o.due : seq < o.seq; }
};

enum class EntryKind { Timer, WaitTimeout, Callback };
struct QueueEntry {
    EntryKind kind;
    void* target;  // PKTIMER or ThreadRecord*
    uint64_t id;   // callback id
};

// An item of the DPC queue: a KDPC or a ScheduleAt callback.
struct DpcItem {
    PKDPC dpc;
    uint64_t callbackId;
    uint64_t seq;
};

struct SystemThreadSlot {
    std::thread thread;
    PKTHREAD object = nullptr;
    bool done = false;
};

struct Executor {
    std::atomic<uint64_t> generation{0};
    bool running = false;
    bool stopping = false;
    bool scopeActive = false;
    ExecutorOptions options;
    std::condition_variable schedCv;

    std::vector<ThreadRecord*> threads;
    int runningCount = 0;

    // Clock. Virtual mode: virtualNow. Real-time and stress: wall time since
    // wallStart times speed, plus the jumps taken when every thread waited.
    std::atomic<bool> wallDriven{false};
    std::atomic<double> speed{1.0};
    std::atomic<int64_t> wallStartNs{0};  // steady_clock, nanoseconds
    std::atomic<LONGLONG> virtualNow{kBootInterruptTime};
    std::atomic<LONGLONG> jumpOffset{0};

    std::map<QueueKey, QueueEntry> clockQueue;
    uint64_t nextSeq = 1;
    std::unordered_map<const KTIMER*, QueueKey> timerKeys;
    struct Scheduled {
        std::function<void()> fn;
        bool inClockQueue;
        QueueKey key;
    };
    std::unordered_map<uint64_t, Scheduled> callbacks;
    uint64_t nextCallbackId = 1;

    std::deque<DpcItem> dpcQueue;
    std::vector<uint64_t> dpcRunning;  // seqs of items being run
    std::vector<ThreadRecord*> idleDpcThreads;
    std::vector<ThreadRecord*> flushWaiters;

    std::deque<PWORK_QUEUE_ITEM> workQueue;
    std::vector<ThreadRecord*> idleWorkers;
    int workerCount = 0;

    std::vector<ThreadRecord*> settleWaiters;

    std::thread scheduler;
    std::vector<std::thread> serviceThreads;
    std::vector<std::unique_ptr<SystemThreadSlot>> systemThreads;

    std::chrono::steady_clock::time_point lastIdleWall;
    bool stallReported = false;
};

std::mutex& Lock();
Executor& Exec();

// Thread-local state of every host thread, managed or not.
struct alignas(16) TlsSlot {
    KIRQL irql = PASSIVE_LEVEL;
    int spinLocksHeld = 0;
    ThreadRecord* record = nullptr;
    bool ownsRecord = false;  // host threads own their record
    PEPROCESS process = nullptr;
    ~TlsSlot();
};
TlsSlot& Tls();

// The calling thread's record, registering it (and starting a default
// executor) when needed. Must not be called with Lock() held.
ThreadRecord* Current();
// The record when the thread is managed by the running executor, else NULL.
ThreadRecord* CurrentIfManaged();
ThreadRecord* RecordOf(PKTHREAD thread);
void EnsureStarted();
// Under Lock(): registers the calling host thread (idempotent) / removes it.
ThreadRecord* RegisterHostLocked(const char* name);
// Under Lock(): a registered host record (counted as running) that the new
// thread adopts through its TlsSlot.
ThreadRecord* CreateHostRecordLocked(const char* name);
void UnregisterHostLocked();
// Under Lock(): starts a fresh executor generation with its service threads.
void StartLocked(const ExecutorOptions& options);
// Without Lock(): stops the service threads and joins every thread.
void StopExecutor();
void SchedulerLoop();
// Called by the pool before a block is freed.
void CheckPoolFree(PVOID p, SIZE_T size);

// Under Lock(): blocks the current thread until Wake; returns the status.
// A deadline >= 0 wakes it with STATUS_TIMEOUT at that interrupt time.
NTSTATUS Block(std::unique_lock<std::mutex>& lk, ThreadRecord* r, WaitKind kind, const char* api,
               bool hasDeadline, LONGLONG deadline);
// Under Lock(): ends the wait of r (no-op unless it waits).
void Wake(ThreadRecord* r, NTSTATUS status);
// Under Lock(): the thread count changed to idle; pokes the scheduler.
void NotifyScheduler();

// Under Lock(): creates a managed thread running body; the record counts as
// running from now on.
ThreadRecord* SpawnManaged(ThreadKind kind, const std::string& name, PKTHREAD object,
                           std::function<void(ThreadRecord*)> body, std::thread* out);
// Called by a managed internal thread as its last act (takes Lock()).
void RetireManaged(ThreadRecord* r);

LONGLONG ClockNow();
// Relative (negative) or absolute (positive, system time) to interrupt time.
LONGLONG DeadlineFrom(LONGLONG timeout);
QueueKey ClockInsert(LONGLONG due, EntryKind kind, void* target, uint64_t id);

// Dispatcher (dispatcher.cpp), under Lock().
void CheckDispatcherObject(const DISPATCHER_HEADER* h, const char* api);
void SatisfyWaiters(DISPATCHER_HEADER* h);
void InitHeader(DISPATCHER_HEADER* h, UCHAR type, LONG state);

// Timers and DPCs (timer_dpc.cpp), under Lock().
void FireTimer(PKTIMER timer, const QueueKey& key);
void QueueCallbackItem(uint64_t id);
void StartDpcThreads(int count);
bool DpcQueueIdle();
// Work items (workitem.cpp), under Lock().
void SpawnWorker();
void StartWorkers(int count);

// Kernel structures the executor is using (queued timers, DPCs and work
// items, objects with waiters): freeing pool that holds one, or
// re-initialising one, bugchecks.
enum class ArmedKind { Timer, Dpc, WorkItem, WaitedObject };
void Arm(const void* p, size_t size, ArmedKind kind);
void Disarm(const void* p, ArmedKind kind);
void CheckNotArmed(const void* p, size_t size, const char* api);
void ClearArmed();

std::string DescribeThreadsLocked();
void ResetSystemSettings();  // version and timer resolution (version.cpp)

// Intrusive list helpers for dispatcher wait lists.
inline void ListInit(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
inline bool ListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
inline void ListInsertTail(PLIST_ENTRY head, PLIST_ENTRY e) {
    e->Blink = head->Blink;
    e->Flink = head;
    head->Blink->Flink = e;
    head->Blink = e;
}
inline void ListRemove(PLIST_ENTRY e) {
    e->Blink->Flink = e->Flink;
    e->Flink->Blink = e->Blink;
    e->Flink = e->Blink = nullptr;
}

[[noreturn]] void RuleViolation(const std::string& detail);
void CheckIrqlAtMost(KIRQL max, const char* api);

// Thrown by PsTerminateSystemThread, caught by the thread's start frame.
struct ThreadTermination {
    NTSTATUS status;
};

}  // namespace sim::detail

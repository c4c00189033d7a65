// Timers, DPCs and the DPC thread(s). A timer is an entry of the clock's
// queue; at expiry (on the scheduler) it is signalled and its DPC queued.
// The DPC queue also carries sim::ScheduleAt callbacks. DPC threads run
// items at DISPATCH_LEVEL in queue order.
#include <cstdio>
#include <limits>

#include "executor_internal.h"

namespace sim::detail {

namespace {

constexpr UCHAR kDpcObject = 0x13;
constexpr UCHAR kThreadedDpcObject = 0x18;

void InsertTimerLocked(PKTIMER timer, LONGLONG due) {
    Executor& e = Exec();
    QueueKey key = ClockInsert(due, EntryKind::Timer, timer, 0);
    e.timerKeys[timer] = key;
    timer->Header.Inserted = 1;
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    Arm(timer, sizeof(KTIMER), ArmedKind::Timer);
}

bool RemoveTimerLocked(PKTIMER timer) {
    Executor& e = Exec();
    auto it = e.timerKeys.find(timer);
    if (it == e.timerKeys.end()) return false;
    e.clockQueue.erase(it->second);
    e.timerKeys.erase(it);
    timer->Header.Inserted = 0;
    Disarm(timer, ArmedKind::Timer);
    return true;
}

void CheckTimer(PKTIMER timer, const char* api) {
    UCHAR type = timer ? timer->Header.Type : 0xFF;
    if (!timer || timer->Header.Signature != kDispatcherSignature ||
        (type != TimerNotificationObject && type != TimerSynchronizationObject))
        Bugcheck(TIMER_OR_DPC_INVALID, std::string(api) + ": the timer was never initialised");
}

void CheckDpc(PKDPC dpc, const char* api) {
    if (!dpc || (dpc->Type != kDpcObject && dpc->Type != kThreadedDpcObject))
        Bugcheck(TIMER_OR_DPC_INVALID, std::string(api) + ": the DPC was never initialised");
}

void WakeDpcThread() {
    Executor& e = Exec();
    if (e.idleDpcThreads.empty()) return;
    ThreadRecord* r = e.idleDpcThreads.back();
    e.idleDpcThreads.pop_back();
    Wake(r, STATUS_SUCCESS);
}

bool InsertDpcLocked(PKDPC dpc, PVOID arg1, PVOID arg2) {
    Executor& e = Exec();
    if (dpc->DpcData != nullptr) return false;
    dpc->SystemArgument1 = arg1;
    dpc->SystemArgument2 = arg2;
    dpc->DpcData = &e;
    DpcItem item{dpc, 0, e.nextSeq++};
    if (dpc->Importance == HighImportance) {
        e.dpcQueue.push_front(item);
    } else {
        e.dpcQueue.push_back(item);
    }
    Arm(dpc, sizeof(KDPC), ArmedKind::Dpc);
    WakeDpcThread();
    return true;
}

// Sequence number of the oldest DPC-queue item not yet finished.
uint64_t OldestPendingSeq() {
    Executor& e = Exec();
    uint64_t oldest = std::numeric_limits<uint64_t>::max();
    for (const DpcItem& item : e.dpcQueue) oldest = std::min(oldest, item.seq);
    for (uint64_t seq : e.dpcRunning) oldest = std::min(oldest, seq);
    return oldest;
}

// Wakes KeFlushQueuedDpcs callers whose DPCs have all run.
void CheckFlushWaiters() {
    Executor& e = Exec();
    if (e.flushWaiters.empty()) return;
    uint64_t oldest = OldestPendingSeq();
    for (size_t i = 0; i < e.flushWaiters.size();) {
        ThreadRecord* r = e.flushWaiters[i];
        if (r->flushTarget < oldest) {
            e.flushWaiters.erase(e.flushWaiters.begin() + static_cast<std::ptrdiff_t>(i));
            Wake(r, STATUS_SUCCESS);
        } else {
            ++i;
        }
    }
}

void EraseRunning(uint64_t seq) {
    auto& running = Exec().dpcRunning;
    for (size_t i = 0; i < running.size(); ++i) {
        if (running[i] == seq) {
            running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

void RunAtDispatch(const std::function<void()>& body, const char* what) {
    TlsSlot& t = Tls();
    t.irql = DISPATCH_LEVEL;
    body();
    if (t.irql != DISPATCH_LEVEL)
        Bugcheck(IRQL_NOT_LESS_OR_EQUAL, std::string(what) + " returned at IRQL " + std::to_string(t.irql));
    if (t.spinLocksHeld != 0) RuleViolation(std::string(what) + " returned holding a spin lock");
    t.irql = PASSIVE_LEVEL;
}

void DpcThreadBody(ThreadRecord* r) {
    Executor& e = Exec();
    std::unique_lock<std::mutex> lk(Lock());
    for (;;) {
        while (e.dpcQueue.empty() && !e.stopping) {
            e.idleDpcThreads.push_back(r);
            Block(lk, r, WaitKind::ServiceQueue, "DPC queue", false, 0);
        }
        if (e.dpcQueue.empty()) break;
        DpcItem item = e.dpcQueue.front();
        e.dpcQueue.pop_front();
        e.dpcRunning.push_back(item.seq);
        std::function<void()> body;
        const char* what = "a scheduled callback";
        if (item.dpc) {
            PKDPC dpc = item.dpc;
            dpc->DpcData = nullptr;
            Disarm(dpc, ArmedKind::Dpc);
            PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
            PVOID context = dpc->DeferredContext, a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
            body = [=] { routine(dpc, context, a1, a2); };
            what = "a DPC routine";
        } else {
            auto it = e.callbacks.find(item.callbackId);
            body = std::move(it->second.fn);
            e.callbacks.erase(it);
        }
        lk.unlock();
        RunAtDispatch(body, what);
        body = nullptr;
        lk.lock();
        EraseRunning(item.seq);
        CheckFlushWaiters();
    }
    lk.unlock();
    RetireManaged(r);
}

}  // namespace

void FireTimer(PKTIMER timer, const QueueKey& key) {
    Executor& e = Exec();
    e.timerKeys.erase(timer);
    timer->Header.Inserted = 0;
    Disarm(timer, ArmedKind::Timer);
    timer->Header.SignalState = 1;
    SatisfyWaiters(&timer->Header);
    if (timer->Dpc) {
        ULARGE_INTEGER now;
        now.QuadPart = static_cast<ULONGLONG>(ClockNow() - kBootInterruptTime + kBootSystemTime);
        InsertDpcLocked(timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(now.u.LowPart)),
                        reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(now.u.HighPart)));
    }
    if (timer->Period > 0) InsertTimerLocked(timer, key.due + timer->Period * kTicksPerMillisecond);
}

void QueueCallbackItem(uint64_t id) {
    Executor& e = Exec();
    auto it = e.callbacks.find(id);
    if (it == e.callbacks.end()) return;
    it->second.inClockQueue = false;
    e.dpcQueue.push_back(DpcItem{nullptr, id, e.nextSeq++});
    WakeDpcThread();
}

void StartDpcThreads(int count) {
    Executor& e = Exec();
    for (int i = 0; i < count; ++i) {
        std::thread t;
        SpawnManaged(ThreadKind::Dpc, "DPC thread " + std::to_string(i), nullptr, DpcThreadBody, &t);
        e.serviceThreads.push_back(std::move(t));
    }
}

bool DpcQueueIdle() { return Exec().dpcQueue.empty() && Exec().dpcRunning.empty(); }

}  // namespace sim::detail

using namespace sim::detail;

// ---------------------------------------------------------------- timers

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    CheckNotArmed(Timer, sizeof(KTIMER), "KeInitializeTimer");
    InitHeader(&Timer->Header, Type == SynchronizationTimer ? TimerSynchronizationObject : TimerNotificationObject, 0);
    Timer->DueTime.QuadPart = 0;
    ListInit(&Timer->TimerListEntry);
    Timer->Dpc = nullptr;
    Timer->Processor = 0;
    Timer->Period = 0;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetTimerEx");
    CheckTimer(Timer, "KeSetTimerEx");
    if (Dpc) CheckDpc(Dpc, "KeSetTimerEx");
    if (Period < 0) RuleViolation("KeSetTimerEx: negative period");
    Current();
    std::lock_guard<std::mutex> guard(Lock());
    bool wasQueued = RemoveTimerLocked(Timer);
    Timer->Header.SignalState = 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    InsertTimerLocked(Timer, DeadlineFrom(DueTime.QuadPart));
    return wasQueued ? TRUE : FALSE;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
    CheckTimer(Timer, "KeCancelTimer");
    std::lock_guard<std::mutex> guard(Lock());
    return RemoveTimerLocked(Timer) ? TRUE : FALSE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    CheckTimer(Timer, "KeReadStateTimer");
    std::lock_guard<std::mutex> guard(Lock());
    return Timer->Header.SignalState > 0 ? TRUE : FALSE;
}

// ------------------------------------------------------------------ DPCs

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    CheckNotArmed(Dpc, sizeof(KDPC), "KeInitializeDpc");
    Dpc->Type = kDpcObject;
    Dpc->Importance = MediumImportance;
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

VOID KeInitializeThreadedDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    KeInitializeDpc(Dpc, DeferredRoutine, DeferredContext);
    Dpc->Type = kThreadedDpcObject;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    CheckDpc(Dpc, "KeInsertQueueDpc");
    Current();
    std::lock_guard<std::mutex> guard(Lock());
    return InsertDpcLocked(Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    CheckDpc(Dpc, "KeRemoveQueueDpc");
    std::lock_guard<std::mutex> guard(Lock());
    if (Dpc->DpcData == nullptr) return FALSE;
    auto& queue = Exec().dpcQueue;
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (it->dpc == Dpc) {
            queue.erase(it);
            break;
        }
    }
    Dpc->DpcData = nullptr;
    Disarm(Dpc, ArmedKind::Dpc);
    CheckFlushWaiters();
    return TRUE;
}

VOID KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) { Dpc->Importance = static_cast<UCHAR>(Importance); }

VOID KeSetTargetProcessorDpc(PRKDPC Dpc, CHAR Number) { Dpc->Number = static_cast<USHORT>(Number); }

VOID KeFlushQueuedDpcs() {
    CheckIrqlAtMost(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
    ThreadRecord* r = Current();
    std::unique_lock<std::mutex> lk(Lock());
    Executor& e = Exec();
    r->flushTarget = e.nextSeq - 1;
    if (OldestPendingSeq() > r->flushTarget) return;
    e.flushWaiters.push_back(r);
    Block(lk, r, WaitKind::FlushDpcs, "KeFlushQueuedDpcs", false, 0);
}

// ---------------------------------------------------- scheduled callbacks

namespace sim {

uint64_t ScheduleAt(LONGLONG dueTime, std::function<void()> fn) {
    detail::Current();
    std::lock_guard<std::mutex> guard(detail::Lock());
    detail::Executor& e = detail::Exec();
    uint64_t id = e.nextCallbackId++;
    detail::QueueKey key = detail::ClockInsert(dueTime, detail::EntryKind::Callback, nullptr, id);
    e.callbacks.emplace(id, detail::Executor::Scheduled{std::move(fn), true, key});
    return id;
}

uint64_t ScheduleAfter(LONGLONG delay, std::function<void()> fn) {
    return ScheduleAt(detail::ClockNow() + delay, std::move(fn));
}

bool CancelScheduled(uint64_t id) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    detail::Executor& e = detail::Exec();
    auto it = e.callbacks.find(id);
    if (it == e.callbacks.end()) return false;
    if (it->second.inClockQueue) {
        e.clockQueue.erase(it->second.key);
    } else {
        for (auto q = e.dpcQueue.begin(); q != e.dpcQueue.end(); ++q) {
            if (q->callbackId == id) {
                e.dpcQueue.erase(q);
                break;
            }
        }
    }
    e.callbacks.erase(it);
    detail::CheckFlushWaiters();
    return true;
}

}  // namespace sim

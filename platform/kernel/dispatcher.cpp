// Dispatcher objects and waits: events, mutexes, semaphores, waits on any
// of them (and on timers and threads), and KeDelayExecutionThread. All
// state changes happen under the scheduler lock; a signal satisfies the
// waiters in arrival order.
#include <cstdio>

#include "executor_internal.h"
#include "sim/hooks.h"

namespace sim::detail {

void InitHeader(DISPATCHER_HEADER* h, UCHAR type, LONG state) {
    h->Type = type;
    h->Signature = kDispatcherSignature;
    h->Inserted = 0;
    h->Reserved = 0;
    h->SignalState = state;
    ListInit(&h->WaitListHead);
}

void CheckDispatcherObject(const DISPATCHER_HEADER* h, const char* api) {
    bool known = h && (h->Type == EventNotificationObject || h->Type == EventSynchronizationObject ||
                       h->Type == MutantObject || h->Type == SemaphoreObject || h->Type == ThreadObject ||
                       h->Type == TimerNotificationObject || h->Type == TimerSynchronizationObject);
    if (!known || h->Signature != kDispatcherSignature) {
        char text[160];
        std::snprintf(text, sizeof text, "%s: %p is not an initialised dispatcher object", api,
                      static_cast<const void*>(h));
        Bugcheck(INVALID_DATA_ACCESS_TRAP, text);
    }
}

namespace {

bool SignaledFor(const DISPATCHER_HEADER* h, PKTHREAD thread) {
    if (h->Type == MutantObject) {
        auto* m = reinterpret_cast<const KMUTEX*>(h);
        return h->SignalState > 0 || m->OwnerThread == thread;
    }
    return h->SignalState > 0;
}

// Takes what a satisfied wait consumes.
void Acquire(DISPATCHER_HEADER* h, ThreadRecord* r) {
    switch (h->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
        h->SignalState = 0;
        break;
    case SemaphoreObject:
        --h->SignalState;
        break;
    case MutantObject: {
        auto* m = reinterpret_cast<PKMUTEX>(h);
        if (h->SignalState == 1) {
            m->OwnerThread = r->kthread;
            ++r->ownedMutexes;
        }
        --h->SignalState;
        break;
    }
    default:
        break;
    }
}

bool TrySatisfy(ThreadRecord* r, PVOID* objects, ULONG count, WAIT_TYPE type, NTSTATUS* status) {
    if (type == WaitAny) {
        for (ULONG i = 0; i < count; ++i) {
            auto* h = static_cast<DISPATCHER_HEADER*>(objects[i]);
            if (SignaledFor(h, r->kthread)) {
                Acquire(h, r);
                *status = STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
                return true;
            }
        }
        return false;
    }
    for (ULONG i = 0; i < count; ++i)
        if (!SignaledFor(static_cast<DISPATCHER_HEADER*>(objects[i]), r->kthread)) return false;
    for (ULONG i = 0; i < count; ++i) Acquire(static_cast<DISPATCHER_HEADER*>(objects[i]), r);
    *status = STATUS_SUCCESS;
    return true;
}

}  // namespace

void SatisfyWaiters(DISPATCHER_HEADER* h) {
    bool again = true;
    while (again && h->SignalState > 0) {
        again = false;
        for (PLIST_ENTRY e = h->WaitListHead.Flink; e != &h->WaitListHead; e = e->Flink) {
            PKWAIT_BLOCK wb = CONTAINING_RECORD(e, KWAIT_BLOCK, WaitListEntry);
            ThreadRecord* r = RecordOf(wb->Thread);
            NTSTATUS status;
            if (r && !r->satisfied && TrySatisfy(r, r->waitObjects, r->waitCount, r->waitType, &status)) {
                Wake(r, status);  // unlinks r's wait blocks: walk the list again
                again = true;
                break;
            }
        }
    }
}

namespace {

NTSTATUS WaitImpl(ULONG count, PVOID objects[], WAIT_TYPE type, PLARGE_INTEGER timeout, PKWAIT_BLOCK blocks,
                  const char* api) {
    bool mayBlock = timeout == nullptr || timeout->QuadPart != 0;
    CheckIrqlAtMost(mayBlock ? APC_LEVEL : DISPATCH_LEVEL, api);
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS)
        Bugcheck(MAXIMUM_WAIT_OBJECTS_EXCEEDED, std::string(api) + ": object count out of range");
    if (count > THREAD_WAIT_OBJECTS && blocks == nullptr)
        Bugcheck(MAXIMUM_WAIT_OBJECTS_EXCEEDED,
                 std::string(api) + ": more than THREAD_WAIT_OBJECTS objects need a wait block array");
    if (type != WaitAll && type != WaitAny) RuleViolation(std::string(api) + ": invalid wait type");
    ThreadRecord* r = Current();
    bool hasDeadline = timeout != nullptr && timeout->QuadPart != 0;
    LONGLONG deadline = hasDeadline ? DeadlineFrom(timeout->QuadPart) : 0;

    std::unique_lock<std::mutex> lk(Lock());
    for (ULONG i = 0; i < count; ++i) CheckDispatcherObject(static_cast<DISPATCHER_HEADER*>(objects[i]), api);
    NTSTATUS status;
    if (TrySatisfy(r, objects, count, type, &status)) return status;
    if (!mayBlock || (hasDeadline && deadline <= ClockNow())) return STATUS_TIMEOUT;
    if (blocks == nullptr) blocks = r->builtinBlocks;
    for (ULONG i = 0; i < count; ++i) {
        auto* h = static_cast<DISPATCHER_HEADER*>(objects[i]);
        blocks[i].Thread = r->kthread;
        blocks[i].Object = objects[i];
        blocks[i].NextWaitBlock = i + 1 < count ? &blocks[i + 1] : &blocks[0];
        blocks[i].WaitKey = static_cast<USHORT>(i);
        blocks[i].WaitType = static_cast<UCHAR>(type);
        blocks[i].BlockState = 1;
        ListInsertTail(&h->WaitListHead, &blocks[i].WaitListEntry);
        Arm(h, sizeof(DISPATCHER_HEADER), ArmedKind::WaitedObject);
    }
    r->waitCount = count;
    r->waitObjects = objects;
    r->waitBlocks = blocks;
    r->waitType = type;
    return Block(lk, r, WaitKind::Dispatcher, api, hasDeadline, deadline);
}

DISPATCHER_HEADER* EventHeader(PRKEVENT event, const char* api) {
    CheckDispatcherObject(&event->Header, api);
    if (event->Header.Type != EventNotificationObject && event->Header.Type != EventSynchronizationObject)
        Bugcheck(INVALID_DATA_ACCESS_TRAP, std::string(api) + ": the object is not an event");
    return &event->Header;
}

PKMUTEX MutexOf(PRKMUTEX mutex, const char* api) {
    CheckDispatcherObject(&mutex->Header, api);
    if (mutex->Header.Type != MutantObject)
        Bugcheck(INVALID_DATA_ACCESS_TRAP, std::string(api) + ": the object is not a mutex");
    return mutex;
}

}  // namespace
}  // namespace sim::detail

using namespace sim::detail;

// Object types for events and semaphores that live as kernel objects (the
// user-mode events a simulated process hands to a driver by handle).
namespace {
_OBJECT_TYPE g_eventType{"Event", nullptr};
_OBJECT_TYPE g_semaphoreType{"Semaphore", nullptr};
POBJECT_TYPE g_eventTypePointer = &g_eventType;
POBJECT_TYPE g_semaphoreTypePointer = &g_semaphoreType;
}  // namespace

POBJECT_TYPE* ExEventObjectType = &g_eventTypePointer;
POBJECT_TYPE* ExSemaphoreObjectType = &g_semaphoreTypePointer;

// ---------------------------------------------------------------- events

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    CheckNotArmed(Event, sizeof(KEVENT), "KeInitializeEvent");
    InitHeader(&Event->Header, Type == SynchronizationEvent ? EventSynchronizationObject : EventNotificationObject,
               State ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    Current();
    std::lock_guard<std::mutex> guard(Lock());
    DISPATCHER_HEADER* h = EventHeader(Event, "KeSetEvent");
    LONG previous = h->SignalState;
    h->SignalState = 1;
    SatisfyWaiters(h);
    return previous;
}

LONG KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    CheckIrqlAtMost(DISPATCH_LEVEL, "KePulseEvent");
    Current();
    std::lock_guard<std::mutex> guard(Lock());
    DISPATCHER_HEADER* h = EventHeader(Event, "KePulseEvent");
    LONG previous = h->SignalState;
    h->SignalState = 1;
    SatisfyWaiters(h);
    h->SignalState = 0;
    return previous;
}

LONG KeResetEvent(PRKEVENT Event) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    std::lock_guard<std::mutex> guard(Lock());
    DISPATCHER_HEADER* h = EventHeader(Event, "KeResetEvent");
    LONG previous = h->SignalState;
    h->SignalState = 0;
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

LONG KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(Lock());
    return EventHeader(Event, "KeReadStateEvent")->SignalState;
}

// --------------------------------------------------------------- mutexes

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    UNREFERENCED_PARAMETER(Level);
    CheckNotArmed(Mutex, sizeof(KMUTEX), "KeInitializeMutex");
    InitHeader(&Mutex->Header, MutantObject, 1);
    ListInit(&Mutex->MutantListEntry);
    Mutex->OwnerThread = NULL;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

namespace {

// The test's hook after a mutex becomes free; the flag spares the lock
// when there is none.
std::atomic<bool> g_hasReleasedHook{false};
std::mutex g_releasedHookLock;
std::function<void(PRKMUTEX)> g_releasedHook;

void CallReleasedHook(PRKMUTEX mutex) {
    if (!g_hasReleasedHook.load(std::memory_order_acquire)) return;
    std::function<void(PRKMUTEX)> hook;
    {
        std::lock_guard<std::mutex> guard(g_releasedHookLock);
        hook = g_releasedHook;
    }
    if (hook) hook(mutex);
}

}  // namespace

void sim::SetMutexReleasedHook(std::function<void(PRKMUTEX)> hook) {
    std::lock_guard<std::mutex> guard(g_releasedHookLock);
    g_hasReleasedHook.store(static_cast<bool>(hook), std::memory_order_release);
    g_releasedHook = std::move(hook);
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Wait);
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex");
    ThreadRecord* r = Current();
    LONG previous;
    bool freed = false;
    {
        std::lock_guard<std::mutex> guard(Lock());
        PKMUTEX m = MutexOf(Mutex, "KeReleaseMutex");
        if (m->Header.SignalState > 0 || m->OwnerThread != r->kthread)
            sim::Bugcheck(THREAD_NOT_MUTEX_OWNER, "KeReleaseMutex: the mutex is not owned by the calling thread '" +
                                                 r->name + "'");
        previous = m->Header.SignalState;
        if (++m->Header.SignalState == 1) {
            m->OwnerThread = NULL;
            --r->ownedMutexes;
            SatisfyWaiters(&m->Header);
            freed = true;
        }
    }
    if (freed) CallReleasedHook(Mutex);
    return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) {
    std::lock_guard<std::mutex> guard(Lock());
    return MutexOf(Mutex, "KeReadStateMutex")->Header.SignalState;
}

// ------------------------------------------------------------ semaphores

VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    if (Count < 0 || Limit <= 0 || Count > Limit)
        RuleViolation("KeInitializeSemaphore: count " + std::to_string(Count) + " and limit " +
                      std::to_string(Limit) + " are inconsistent");
    CheckNotArmed(Semaphore, sizeof(KSEMAPHORE), "KeInitializeSemaphore");
    InitHeader(&Semaphore->Header, SemaphoreObject, Count);
    Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeReleaseSemaphore");
    Current();
    std::lock_guard<std::mutex> guard(Lock());
    CheckDispatcherObject(&Semaphore->Header, "KeReleaseSemaphore");
    LONG previous = Semaphore->Header.SignalState;
    if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment)
        sim::Bugcheck(SEMAPHORE_LIMIT_EXCEEDED, "KeReleaseSemaphore: adjustment beyond the limit");
    Semaphore->Header.SignalState = previous + Adjustment;
    SatisfyWaiters(&Semaphore->Header);
    return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
    std::lock_guard<std::mutex> guard(Lock());
    return Semaphore->Header.SignalState;
}

// ------------------------------------------------------------------ waits

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    PVOID objects[1] = {Object};
    return WaitImpl(1, objects, WaitAny, Timeout, nullptr, "KeWaitForSingleObject");
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    return WaitImpl(Count, Object, WaitType, Timeout, WaitBlockArray, "KeWaitForMultipleObjects");
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    CheckIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
    if (Interval == nullptr) RuleViolation("KeDelayExecutionThread: NULL interval");
    ThreadRecord* r = Current();
    LONGLONG deadline = DeadlineFrom(Interval->QuadPart);
    std::unique_lock<std::mutex> lk(Lock());
    if (deadline <= ClockNow()) {
        lk.unlock();
        std::this_thread::yield();
        return STATUS_SUCCESS;
    }
    Block(lk, r, WaitKind::Delay, "KeDelayExecutionThread", true, deadline);
    return STATUS_SUCCESS;
}

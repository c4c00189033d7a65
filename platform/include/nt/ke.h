// Kernel core: IRQL, spin locks, dispatcher objects (events, mutexes,
// semaphores, timers, threads), waits, DPCs, time, interlocked operations
// and bugchecks. Everything here runs on the stand-in's executor and its
// virtual clock (sim/executor.h): waits and timers cost no wall time.
#pragma once

#include "nt/status.h"
#include "nt/types.h"

// ---------------------------------------------------------------- IRQL

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define CLOCK_LEVEL 13
#define HIGH_LEVEL 15

KIRQL KeGetCurrentIrql();
// Raising to a lower level, or lowering to a higher one, bugchecks.
VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
VOID KeLowerIrql(KIRQL NewIrql);
KIRQL KeRaiseIrqlToDpcLevel();

// --------------------------------------------------------- assertions

// The platform's release build compiles ASSERT away and execution goes on,
// so an asserted condition is a contract its callers keep; the expression
// is not evaluated here either.
#define ASSERT(exp) ((void)sizeof((exp) ? 1 : 0))
#define ASSERTMSG(msg, exp) ((void)(msg), ASSERT(exp))
#define NT_ASSERT(exp) ASSERT(exp)

// Pageable code may only run at PASSIVE_LEVEL or APC_LEVEL; the stand-in
// bugchecks (IRQL_NOT_LESS_OR_EQUAL) when it is entered above that.
VOID KeCheckPagedCode(const char* function);
#define PAGED_CODE() KeCheckPagedCode(__func__)

// ------------------------------------------------------------- bugcheck

#define IRQL_NOT_GREATER_OR_EQUAL 0x00000009
#define IRQL_NOT_LESS_OR_EQUAL 0x0000000A
#define NO_MORE_IRP_STACK_LOCATIONS 0x00000035
#define MAXIMUM_WAIT_OBJECTS_EXCEEDED 0x0000000C
#define SPIN_LOCK_ALREADY_OWNED 0x0000000F
#define SPIN_LOCK_NOT_OWNED 0x00000010
#define THREAD_NOT_MUTEX_OWNER 0x00000011
#define SEMAPHORE_LIMIT_EXCEEDED 0x0000005A
#define INVALID_DATA_ACCESS_TRAP 0x00000004
#define KMODE_EXCEPTION_NOT_HANDLED 0x0000001E
#define SYSTEM_THREAD_EXCEPTION_NOT_HANDLED 0x0000007E
#define BAD_POOL_CALLER 0x000000C2
#define TIMER_OR_DPC_INVALID 0x000000C7
#define DRIVER_IRQL_NOT_LESS_OR_EQUAL 0x000000D1
#define WORKER_THREAD_RETURNED_AT_BAD_IRQL 0x000000E1
#define WORKER_INVALID 0x000000E4
#define DEADLOCK_DETECTED 0x00000162
#define MANUALLY_INITIATED_CRASH 0x000000E2

// Prints the stop code and its parameters to stderr and aborts the process.
[[noreturn]] VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                               ULONG_PTR P4);
[[noreturn]] VOID KeBugCheck(ULONG BugCheckCode);

// ------------------------------------------------------------ spin locks

// 0 when free; otherwise the owning thread's identity. A lock word that is
// neither (pool poison, garbage) bugchecks as an uninitialised lock.
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

typedef struct _KSPIN_LOCK_QUEUE {
    struct _KSPIN_LOCK_QUEUE* volatile Next;
    PKSPIN_LOCK volatile Lock;
} KSPIN_LOCK_QUEUE, *PKSPIN_LOCK_QUEUE;

typedef struct _KLOCK_QUEUE_HANDLE {
    KSPIN_LOCK_QUEUE LockQueue;
    KIRQL OldIrql;
} KLOCK_QUEUE_HANDLE, *PKLOCK_QUEUE_HANDLE;
static_assert(sizeof(KLOCK_QUEUE_HANDLE) == 24, "KLOCK_QUEUE_HANDLE is 24 bytes on x64");

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
// Raises to DISPATCH_LEVEL (from at most DISPATCH_LEVEL) and takes the lock.
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
inline VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    *OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock);
}
// Releases a lock the current thread holds (else SPIN_LOCK_NOT_OWNED) and
// lowers to NewIrql.
VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
// The caller is already at DISPATCH_LEVEL or above (else the stand-in bugchecks).
VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock);

VOID KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle);
VOID KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle);
VOID KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle);
VOID KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle);

// ------------------------------------------------------ dispatcher objects

typedef enum _KOBJECTS {
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    MutantObject = 2,
    ProcessObject = 3,
    QueueObject = 4,
    SemaphoreObject = 5,
    ThreadObject = 6,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9,
} KOBJECTS;

// Common head of every object a thread can wait on. Signature marks an
// initialised object; WaitListHead links the KWAIT_BLOCKs of the threads
// waiting on it in arrival order. Objects must not be copied or moved.
typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Signature;
    UCHAR Inserted;  // timers: set while queued
    UCHAR Reserved;
    volatile LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;
static_assert(sizeof(DISPATCHER_HEADER) == 24, "DISPATCHER_HEADER is 24 bytes on x64");

typedef struct _KTHREAD KTHREAD, *PKTHREAD, *PRKTHREAD;
typedef struct _KTHREAD ETHREAD, *PETHREAD;

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer = 0, SynchronizationTimer = 1 } TIMER_TYPE;
typedef enum _WAIT_TYPE { WaitAll = 0, WaitAny = 1 } WAIT_TYPE;
typedef enum _KWAIT_REASON {
    Executive = 0,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
} KWAIT_REASON;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;
static_assert(sizeof(KEVENT) == 24, "KEVENT is 24 bytes on x64");

// SignalState is 1 when free and 1 - (recursion depth) while owned.
typedef struct _KMUTANT {
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;
    PKTHREAD OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;
static_assert(sizeof(KMUTEX) == 56, "KMUTEX is 56 bytes on x64");

typedef struct _KSEMAPHORE {
    DISPATCHER_HEADER Header;
    LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;
static_assert(sizeof(KSEMAPHORE) == 32, "KSEMAPHORE is 32 bytes on x64");

struct _KDPC;

// DueTime is the interrupt time (100 ns since boot) at which a queued timer
// expires; Period is in milliseconds (0: one-shot).
typedef struct _KTIMER {
    DISPATCHER_HEADER Header;
    ULARGE_INTEGER DueTime;
    LIST_ENTRY TimerListEntry;
    struct _KDPC* Dpc;
    ULONG Processor;
    LONG Period;
} KTIMER, *PKTIMER, *PRKTIMER;
static_assert(sizeof(KTIMER) == 64, "KTIMER is 64 bytes on x64");

// Thread object. Priority is recorded only (the executor does not schedule
// by priority). SimThread belongs to the executor.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    volatile KPRIORITY Priority;
    KPRIORITY BasePriority;
    PVOID SimThread;
    PVOID StartRoutine;
    ULONG_PTR ThreadId;
};

#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64

typedef struct _KWAIT_BLOCK {
    LIST_ENTRY WaitListEntry;
    PKTHREAD Thread;
    PVOID Object;
    struct _KWAIT_BLOCK* NextWaitBlock;
    USHORT WaitKey;
    UCHAR WaitType;
    UCHAR BlockState;
} KWAIT_BLOCK, *PKWAIT_BLOCK, *PRKWAIT_BLOCK;

#define EVENT_INCREMENT 1
#define SEMAPHORE_INCREMENT 1
#define MUTANT_INCREMENT 1

#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_PRIORITY 32

// Events. KeSetEvent and KeResetEvent return the previous state; the Wait
// argument of KeSetEvent is accepted and has no effect.
VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
LONG KeResetEvent(PRKEVENT Event);
VOID KeClearEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);
LONG KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);

// Mutexes are recursive for their owner; KeReleaseMutex by another thread
// bugchecks (THREAD_NOT_MUTEX_OWNER), as does a thread that ends holding one.
VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
LONG KeReadStateMutex(PRKMUTEX Mutex);

VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
// Returns the previous count; going above the limit bugchecks.
LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait);
LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

// Waits. Timeout NULL waits forever; negative is relative, positive an
// absolute system time, both in 100 ns units; 0 only polls. A wait that may
// block needs IRQL <= APC_LEVEL (else IRQL_NOT_LESS_OR_EQUAL); waiting on
// an object that was never initialised bugchecks. Returns STATUS_WAIT_0 + i
// (WaitAny), STATUS_SUCCESS (WaitAll) or STATUS_TIMEOUT. Alerts and APCs
// are not emulated.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                  KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray);
#define KeWaitForMutexObject KeWaitForSingleObject
// Sleeps for a relative (negative) or until an absolute (positive) time;
// IRQL <= APC_LEVEL. Returns STATUS_SUCCESS.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);

// ------------------------------------------------------------------ DPCs

typedef struct _KDPC KDPC, *PKDPC, *PRKDPC;
typedef VOID KDEFERRED_ROUTINE(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef enum _KDPC_IMPORTANCE { LowImportance, MediumImportance, HighImportance } KDPC_IMPORTANCE;

// DpcData is non-NULL while the DPC is queued.
struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    volatile USHORT Number;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    volatile PVOID DpcData;
};

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
VOID KeInitializeThreadedDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
// FALSE when the DPC was already queued (its arguments are then unchanged).
// DPCs run at DISPATCH_LEVEL on the executor's DPC thread, in queue order
// (HighImportance goes to the front).
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
VOID KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance);
VOID KeSetTargetProcessorDpc(PRKDPC Dpc, CHAR Number);
// Returns once every DPC queued before the call has run; PASSIVE_LEVEL.
VOID KeFlushQueuedDpcs();

// ---------------------------------------------------------------- timers

VOID KeInitializeTimer(PKTIMER Timer);
VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
// Returns TRUE when the timer was already queued (it is re-queued). At
// expiry the timer is signalled and its DPC queued with the low and high
// halves of the system time as arguments; a periodic timer (Period in ms)
// is queued again one period after its previous due time.
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
// Returns whether the timer was queued. A DPC already queued by an earlier
// expiry still runs.
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);

// ------------------------------------------------------------------ time

// System time: 100 ns since 1601-01-01 (UTC). Interrupt time: 100 ns since
// the executor started. Both come from the one virtual clock.
VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
VOID KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime);
ULONGLONG KeQueryInterruptTime();
ULONGLONG KeQueryInterruptTimePrecise(PULONGLONG QpcTimeStamp);
ULONGLONG KeQueryUnbiasedInterruptTime();
// Counter and frequency (10 MHz: one count per 100 ns of interrupt time).
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
// The clock interval in 100 ns units: 156250, or 10000 while a 1 ms
// resolution is requested through ExSetTimerResolution.
ULONG KeQueryTimeIncrement();
VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount);
// Busy wait: costs no virtual time (yields), wall time in real-time mode.
VOID KeStallExecutionProcessor(ULONG MicroSeconds);

// --------------------------------------------------------------- threads

PKTHREAD KeGetCurrentThread();
// Priorities are recorded only; both return the previous priority.
KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
KPRIORITY KeQueryPriorityThread(PKTHREAD Thread);
ULONG KeGetCurrentProcessorNumber();
ULONG KeQueryActiveProcessorCount(KAFFINITY* ActiveProcessors);

// ------------------------------------------------------ interlocked ops

// Full-barrier atomic operations. The 32-bit forms return the new value
// (Increment, Decrement, Add) or the previous one (Exchange*, Or, And, Xor).
inline LONG InterlockedIncrement(LONG volatile* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(LONG volatile* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedAdd(LONG volatile* p, LONG v) { return __atomic_add_fetch(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchangeAdd(LONG volatile* p, LONG v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(LONG volatile* p, LONG v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedCompareExchange(LONG volatile* p, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline LONG InterlockedOr(LONG volatile* p, LONG v) { return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedAnd(LONG volatile* p, LONG v) { return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedXor(LONG volatile* p, LONG v) { return __atomic_fetch_xor(p, v, __ATOMIC_SEQ_CST); }
// Atomic reads: ReadAcquire orders later accesses after it, ReadNoFence
// only makes the read itself atomic.
inline LONG ReadAcquire(LONG const volatile* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
inline LONG ReadNoFence(LONG const volatile* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }

inline LONG64 InterlockedIncrement64(LONG64 volatile* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedDecrement64(LONG64 volatile* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedAdd64(LONG64 volatile* p, LONG64 v) { return __atomic_add_fetch(p, v, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedExchangeAdd64(LONG64 volatile* p, LONG64 v) {
    return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchange64(LONG64 volatile* p, LONG64 v) {
    return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedCompareExchange64(LONG64 volatile* p, LONG64 exchange, LONG64 comparand) {
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline LONG64 InterlockedOr64(LONG64 volatile* p, LONG64 v) { return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedAnd64(LONG64 volatile* p, LONG64 v) { return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST); }

inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v) {
    return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand) {
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

inline VOID KeMemoryBarrier() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
#define MemoryBarrier KeMemoryBarrier

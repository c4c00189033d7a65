// IRQL per thread, spin locks and bugchecks. IRQL is simulated: raising it
// changes only what the stand-in's checks allow (no preemption is masked).
// A spin lock word holds its owner's identity (the address of the owner's
// 16-byte aligned thread-local slot), so a release by another thread, a
// recursive acquisition and an uninitialised lock word are caught.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "executor_internal.h"

namespace sim {

const char* BugcheckName(ULONG code) {
    switch (code) {
    case INVALID_DATA_ACCESS_TRAP: return "INVALID_DATA_ACCESS_TRAP";
    case IRQL_NOT_GREATER_OR_EQUAL: return "IRQL_NOT_GREATER_OR_EQUAL";
    case IRQL_NOT_LESS_OR_EQUAL: return "IRQL_NOT_LESS_OR_EQUAL";
    case MAXIMUM_WAIT_OBJECTS_EXCEEDED: return "MAXIMUM_WAIT_OBJECTS_EXCEEDED";
    case SPIN_LOCK_ALREADY_OWNED: return "SPIN_LOCK_ALREADY_OWNED";
    case SPIN_LOCK_NOT_OWNED: return "SPIN_LOCK_NOT_OWNED";
    case THREAD_NOT_MUTEX_OWNER: return "THREAD_NOT_MUTEX_OWNER";
    case NO_MORE_IRP_STACK_LOCATIONS: return "NO_MORE_IRP_STACK_LOCATIONS";
    case SEMAPHORE_LIMIT_EXCEEDED: return "SEMAPHORE_LIMIT_EXCEEDED";
    case SYSTEM_THREAD_EXCEPTION_NOT_HANDLED: return "SYSTEM_THREAD_EXCEPTION_NOT_HANDLED";
    case BAD_POOL_CALLER: return "BAD_POOL_CALLER";
    case TIMER_OR_DPC_INVALID: return "TIMER_OR_DPC_INVALID";
    case DRIVER_IRQL_NOT_LESS_OR_EQUAL: return "DRIVER_IRQL_NOT_LESS_OR_EQUAL";
    case WORKER_THREAD_RETURNED_AT_BAD_IRQL: return "WORKER_THREAD_RETURNED_AT_BAD_IRQL";
    case WORKER_INVALID: return "WORKER_INVALID";
    case DEADLOCK_DETECTED: return "DEADLOCK_DETECTED";
    case MANUALLY_INITIATED_CRASH: return "MANUALLY_INITIATED_CRASH";
    case detail::kRuleViolation: return "STAND_IN_RULE_VIOLATION";
    default: return "";
    }
}

namespace {

std::atomic<ULONG> g_pendingBugcheck{0};
static_assert(std::atomic<ULONG>::is_always_lock_free, "read from a signal handler");

}  // namespace

ULONG PendingBugcheck() { return g_pendingBugcheck.load(); }

void Bugcheck(ULONG code, const std::string& detail) {
    g_pendingBugcheck.store(code);
    const char* name = BugcheckName(code);
    const detail::ThreadRecord* r = detail::Tls().record;
    std::fprintf(stderr, "*** STOP 0x%08X %s on thread '%s' at IRQL %u: %s\n", code, name,
                 r ? r->name.c_str() : "unmanaged", static_cast<unsigned>(detail::Tls().irql), detail.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace sim

namespace sim::detail {

void RuleViolation(const std::string& detail) { Bugcheck(kRuleViolation, detail); }

void CheckIrqlAtMost(KIRQL max, const char* api) {
    KIRQL irql = Tls().irql;
    if (irql <= max) return;
    Bugcheck(IRQL_NOT_LESS_OR_EQUAL, std::string(api) + " called at IRQL " + std::to_string(irql) +
                                         " (allowed up to " + std::to_string(max) + ")");
}

namespace {

ULONG_PTR Self() { return reinterpret_cast<ULONG_PTR>(&Tls()); }

void CheckLockWord(PKSPIN_LOCK lock, ULONG_PTR word, const char* api) {
    if ((word & 0xF) == 0) return;
    char text[160];
    std::snprintf(text, sizeof text, "%s: spin lock at %p is not initialised (word 0x%llx)", api,
                  static_cast<void*>(lock), static_cast<unsigned long long>(word));
    RuleViolation(text);
}

void AcquireWord(PKSPIN_LOCK lock, const char* api) {
    ULONG_PTR self = Self();
    for (int spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
        if (expected == self)
            Bugcheck(SPIN_LOCK_ALREADY_OWNED, std::string(api) + ": the calling thread already holds this lock");
        CheckLockWord(lock, expected, api);
        if (spins > 64) std::this_thread::yield();
    }
    ++Tls().spinLocksHeld;
}

void ReleaseWord(PKSPIN_LOCK lock, const char* api) {
    if (lock == nullptr) Bugcheck(SPIN_LOCK_NOT_OWNED, std::string(api) + ": NULL lock");
    ULONG_PTR word = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (word != Self()) {
        CheckLockWord(lock, word, api);
        Bugcheck(SPIN_LOCK_NOT_OWNED, std::string(api) + ": the lock is not held by the calling thread");
    }
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
    --Tls().spinLocksHeld;
}

void RequireDispatch(const char* api) {
    if (Tls().irql < DISPATCH_LEVEL)
        Bugcheck(IRQL_NOT_GREATER_OR_EQUAL, std::string(api) + " needs IRQL DISPATCH_LEVEL, the caller is at " +
                                                std::to_string(Tls().irql));
}

}  // namespace
}  // namespace sim::detail

using namespace sim::detail;

// ------------------------------------------------------------------ IRQL

KIRQL KeGetCurrentIrql() { return Tls().irql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    KIRQL current = Tls().irql;
    if (NewIrql < current)
        sim::Bugcheck(IRQL_NOT_GREATER_OR_EQUAL, "KeRaiseIrql to " + std::to_string(NewIrql) + " from " +
                                                     std::to_string(current));
    *OldIrql = current;
    Tls().irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
    KIRQL current = Tls().irql;
    if (NewIrql > current)
        sim::Bugcheck(IRQL_NOT_LESS_OR_EQUAL, "KeLowerIrql to " + std::to_string(NewIrql) + " from " +
                                                  std::to_string(current));
    if (NewIrql < DISPATCH_LEVEL && Tls().spinLocksHeld > 0)
        RuleViolation("KeLowerIrql below DISPATCH_LEVEL while holding a spin lock");
    Tls().irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel() {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

VOID KeCheckPagedCode(const char* function) {
    if (Tls().irql > APC_LEVEL)
        sim::Bugcheck(IRQL_NOT_LESS_OR_EQUAL, std::string("PAGED_CODE in ") + function + " at IRQL " +
                                                  std::to_string(Tls().irql));
}

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    char text[128];
    std::snprintf(text, sizeof text, "KeBugCheckEx (0x%llx, 0x%llx, 0x%llx, 0x%llx)",
                  static_cast<unsigned long long>(P1), static_cast<unsigned long long>(P2),
                  static_cast<unsigned long long>(P3), static_cast<unsigned long long>(P4));
    sim::Bugcheck(BugCheckCode, text);
}

VOID KeBugCheck(ULONG BugCheckCode) { KeBugCheckEx(BugCheckCode, 0, 0, 0, 0); }

// ------------------------------------------------------------ spin locks

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, 0, __ATOMIC_RELAXED); }

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    KIRQL old = KeRaiseIrqlToDpcLevel();
    AcquireWord(SpinLock, "KeAcquireSpinLock");
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    ReleaseWord(SpinLock, "KeReleaseSpinLock");
    KeLowerIrql(NewIrql);
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    RequireDispatch("KeAcquireSpinLockAtDpcLevel");
    AcquireWord(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    RequireDispatch("KeReleaseSpinLockFromDpcLevel");
    ReleaseWord(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    RequireDispatch("KeTryToAcquireSpinLockAtDpcLevel");
    ULONG_PTR expected = 0;
    ULONG_PTR self = reinterpret_cast<ULONG_PTR>(&Tls());
    if (__atomic_compare_exchange_n(SpinLock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        ++Tls().spinLocksHeld;
        return TRUE;
    }
    if (expected == self)
        sim::Bugcheck(SPIN_LOCK_ALREADY_OWNED, "KeTryToAcquireSpinLockAtDpcLevel: already held by the caller");
    return FALSE;
}

BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock) { return __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0; }

VOID KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
    KIRQL old = KeRaiseIrqlToDpcLevel();
    AcquireWord(SpinLock, "KeAcquireInStackQueuedSpinLock");
    LockHandle->LockQueue.Next = nullptr;
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->OldIrql = old;
}

VOID KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
    ReleaseWord(LockHandle->LockQueue.Lock, "KeReleaseInStackQueuedSpinLock");
    LockHandle->LockQueue.Lock = nullptr;
    KeLowerIrql(LockHandle->OldIrql);
}

VOID KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
    RequireDispatch("KeAcquireInStackQueuedSpinLockAtDpcLevel");
    AcquireWord(SpinLock, "KeAcquireInStackQueuedSpinLockAtDpcLevel");
    LockHandle->LockQueue.Next = nullptr;
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->OldIrql = DISPATCH_LEVEL;
}

VOID KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle) {
    RequireDispatch("KeReleaseInStackQueuedSpinLockFromDpcLevel");
    ReleaseWord(LockHandle->LockQueue.Lock, "KeReleaseInStackQueuedSpinLockFromDpcLevel");
    LockHandle->LockQueue.Lock = nullptr;
}

// Simulated IRQL: spin locks raise and restore it, and each broken IRQL or
// lock rule bugchecks where the platform would.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "nt/ex.h"
#include "nt/ke.h"
#include "nt/pool.h"
#include "nt/ps.h"
#include "sim/executor.h"
#include "tests/support/kernel_test.h"

namespace {

class IrqlTest : public sim::KernelTest {};

TEST_F(IrqlTest, SpinLocksRaiseToDispatchAndRestoreTheCallersLevel) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL apc;
    KeRaiseIrql(APC_LEVEL, &apc);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_FALSE(KeTestSpinLock(&lock));
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    EXPECT_TRUE(KeTestSpinLock(&lock));
    KeLowerIrql(apc);

    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&lock, &handle);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KLOCK_QUEUE_HANDLE inner;
    KSPIN_LOCK second;
    KeInitializeSpinLock(&second);
    KeAcquireInStackQueuedSpinLockAtDpcLevel(&second, &inner);
    KeReleaseInStackQueuedSpinLockFromDpcLevel(&inner);
    KeReleaseInStackQueuedSpinLock(&handle);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(IrqlTest, TryToAcquireFailsWhileAnotherThreadHoldsTheLock) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    std::atomic<int> stage{0};
    sim::TestThread holder("holder", [&] {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        stage = 1;
        while (stage.load() != 2) {
        }
        KeReleaseSpinLock(&lock, old);
    });
    while (stage.load() != 1) {
    }
    KIRQL old = KeRaiseIrqlToDpcLevel();
    EXPECT_FALSE(KeTryToAcquireSpinLockAtDpcLevel(&lock));
    stage = 2;
    while (!KeTryToAcquireSpinLockAtDpcLevel(&lock)) {
    }
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(old);
    holder.Join();
}

TEST_F(IrqlTest, PollingWaitsAndNonPagedPoolAreAllowedAtDispatch) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    LARGE_INTEGER zero{};
    KIRQL old = KeRaiseIrqlToDpcLevel();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    KeReleaseMutex(&mutex, FALSE);
    KeSetEvent(&event, 0, FALSE);
    PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, MakePoolTag("Irql"));
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
    KeLowerIrql(old);
    KeRaiseIrql(APC_LEVEL, &old);
    PAGED_CODE();
    KeLowerIrql(old);
}

struct DeathCase {
    const char* name;
    void (*run)();
    const char* message;
};

class IrqlDeathTest : public sim::KernelTest, public ::testing::WithParamInterface<DeathCase> {};

TEST_P(IrqlDeathTest, Bugchecks) {
    EXPECT_DEATH(GetParam().run(), GetParam().message);
}

void AtDispatch(void (*body)()) {
    KeRaiseIrqlToDpcLevel();
    body();
}

const DeathCase kDeathCases[] = {
    {"DelayAtDispatch",
     [] {
         AtDispatch([] {
             LARGE_INTEGER t;
             t.QuadPart = -10;
             KeDelayExecutionThread(KernelMode, FALSE, &t);
         });
     },
     "IRQL_NOT_LESS_OR_EQUAL.*KeDelayExecutionThread called at IRQL 2"},
    {"WaitForeverAtDispatch",
     [] {
         static KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         AtDispatch([] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
     },
     "IRQL_NOT_LESS_OR_EQUAL.*KeWaitForSingleObject"},
    {"WaitWithTimeoutAtDispatch",
     [] {
         static KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         AtDispatch([] {
             LARGE_INTEGER t;
             t.QuadPart = -10;
             KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t);
         });
     },
     "IRQL_NOT_LESS_OR_EQUAL.*KeWaitForSingleObject"},
    {"PagedCodeAtDispatch", [] { AtDispatch([] { PAGED_CODE(); }); }, "PAGED_CODE in .* at IRQL 2"},
    {"PagedPoolAtDispatch",
     [] { AtDispatch([] { ExAllocatePoolWithTag(PagedPool, 8, MakePoolTag("Page")); }); },
     "BAD_POOL_CALLER.*paged pool at IRQL 2"},
    {"FlushDpcsAtDispatch", [] { AtDispatch([] { KeFlushQueuedDpcs(); }); }, "KeFlushQueuedDpcs called at IRQL 2"},
    {"LowerIrqlUpward", [] { KeLowerIrql(DISPATCH_LEVEL); }, "IRQL_NOT_LESS_OR_EQUAL.*KeLowerIrql to 2 from 0"},
    {"RaiseIrqlDownward",
     [] {
         AtDispatch([] {
             KIRQL old;
             KeRaiseIrql(PASSIVE_LEVEL, &old);
         });
     },
     "IRQL_NOT_GREATER_OR_EQUAL"},
    {"ReleaseSpinLockNotHeld",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
     },
     "SPIN_LOCK_NOT_OWNED"},
    {"RecursiveSpinLock",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         KeAcquireSpinLockAtDpcLevel(&lock);
     },
     "SPIN_LOCK_ALREADY_OWNED"},
    {"UninitialisedSpinLock",
     [] {
         KSPIN_LOCK lock;
         std::memset(&lock, 0xCD, sizeof lock);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
     },
     "spin lock at .* is not initialised"},
    {"AtDpcLevelAcquireFromPassive",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KeAcquireSpinLockAtDpcLevel(&lock);
     },
     "IRQL_NOT_GREATER_OR_EQUAL.*KeAcquireSpinLockAtDpcLevel"},
    {"LowerBelowDispatchHoldingSpinLock",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old = KeRaiseIrqlToDpcLevel();
         KeAcquireSpinLockAtDpcLevel(&lock);
         KeLowerIrql(old);
     },
     "below DISPATCH_LEVEL while holding a spin lock"},
    {"CallbackObjectAtDispatch",
     [] {
         AtDispatch([] {
             PCALLBACK_OBJECT object;
             OBJECT_ATTRIBUTES attributes;
             InitializeObjectAttributes(&attributes, nullptr, 0, nullptr, nullptr);
             ExCreateCallback(&object, &attributes, TRUE, TRUE);
         });
     },
     "ExCreateCallback called at IRQL 2"},
    {"SystemThreadAtDispatch",
     [] {
         AtDispatch([] {
             HANDLE h;
             PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr);
         });
     },
     "PsCreateSystemThread called at IRQL 2"},
};

INSTANTIATE_TEST_SUITE_P(Rules, IrqlDeathTest, ::testing::ValuesIn(kDeathCases),
                         [](const ::testing::TestParamInfo<DeathCase>& info) { return info.param.name; });

}  // namespace

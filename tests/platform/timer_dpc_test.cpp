// Timers, DPCs and work items: cancel semantics, queue order, flushing,
// the worker pool, and the bugchecks for misused structures.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "nt/ex.h"
#include "nt/ke.h"
#include "sim/executor.h"
#include "tests/support/kernel_test.h"

namespace {

constexpr LONGLONG kMs = sim::kTicksPerMillisecond;

LARGE_INTEGER Relative(LONGLONG ticks) {
    LARGE_INTEGER t;
    t.QuadPart = -ticks;
    return t;
}

// Records the DPCs that ran, in order, with their IRQL and arguments.
struct DpcLog {
    std::vector<int> order;
    std::vector<KIRQL> irqls;
    std::vector<ULONG_PTR> args;
};

struct LoggedDpc {
    KDPC dpc;
    DpcLog* log;
    int id;
};

void LogDpc(PKDPC, PVOID context, PVOID a1, PVOID a2) {
    auto* d = static_cast<LoggedDpc*>(context);
    d->log->order.push_back(d->id);
    d->log->irqls.push_back(KeGetCurrentIrql());
    d->log->args.push_back(reinterpret_cast<ULONG_PTR>(a1) | (reinterpret_cast<ULONG_PTR>(a2) << 32));
}

void InitLogged(LoggedDpc* d, DpcLog* log, int id) {
    d->log = log;
    d->id = id;
    KeInitializeDpc(&d->dpc, LogDpc, d);
}

// A DPC that holds the DPC thread until released, so a test can look at
// the queue behind it.
std::atomic<bool> g_release{false};
void HoldDpcThread(PKDPC, PVOID, PVOID, PVOID) {
    while (!g_release.load()) {
    }
}

class TimerDpcTest : public sim::KernelTest {
protected:
    void SetUp() override {
        sim::KernelTest::SetUp();
        g_release = false;
        KeInitializeDpc(&holder_, HoldDpcThread, nullptr);
    }
    void Hold() { KeInsertQueueDpc(&holder_, nullptr, nullptr); }
    void Release() {
        g_release = true;
        KeFlushQueuedDpcs();
    }
    KDPC holder_;
};

TEST_F(TimerDpcTest, DpcsRunInQueueOrderWithHighImportanceFirst) {
    DpcLog log;
    LoggedDpc d[4];
    for (int i = 0; i < 4; ++i) InitLogged(&d[i], &log, i + 1);
    KeSetImportanceDpc(&d[2].dpc, HighImportance);
    Hold();
    EXPECT_TRUE(KeInsertQueueDpc(&d[0].dpc, reinterpret_cast<PVOID>(7), nullptr));
    EXPECT_TRUE(KeInsertQueueDpc(&d[1].dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&d[0].dpc, reinterpret_cast<PVOID>(9), nullptr));  // already queued
    EXPECT_TRUE(KeInsertQueueDpc(&d[2].dpc, nullptr, nullptr));
    EXPECT_TRUE(KeInsertQueueDpc(&d[3].dpc, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&d[3].dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&d[3].dpc));
    Release();
    EXPECT_EQ(log.order, (std::vector<int>{3, 1, 2}));
    EXPECT_EQ(log.args[1], 7u);  // the first insertion's arguments
    for (KIRQL irql : log.irqls) EXPECT_EQ(irql, DISPATCH_LEVEL);
}

TEST_F(TimerDpcTest, CancelTimerLeavesAnAlreadyQueuedDpcToRun) {
    DpcLog log;
    LoggedDpc tick;
    InitLogged(&tick, &log, 1);
    KTIMER holdTimer, periodic;
    KeInitializeTimer(&holdTimer);
    KeInitializeTimer(&periodic);
    // Both expire at 10 ms: the holder's DPC is queued first and keeps the
    // DPC thread busy, so the tick's DPC is still queued when we cancel.
    KeSetTimer(&holdTimer, Relative(10 * kMs), &holder_);
    KeSetTimerEx(&periodic, Relative(10 * kMs), 10, &tick.dpc);
    sim::Sleep(10 * kMs);
    EXPECT_NE(tick.dpc.DpcData, nullptr);
    EXPECT_TRUE(KeCancelTimer(&periodic));  // re-queued for 20 ms
    EXPECT_FALSE(KeCancelTimer(&periodic));
    EXPECT_FALSE(KeCancelTimer(&holdTimer));  // expired
    EXPECT_TRUE(KeReadStateTimer(&periodic));
    Release();
    sim::Sleep(100 * kMs);
    EXPECT_EQ(log.order, std::vector<int>{1});
}

TEST_F(TimerDpcTest, SetTimerReportsWhetherItWasQueuedAndPassesTheSystemTime) {
    DpcLog log;
    LoggedDpc d;
    InitLogged(&d, &log, 1);
    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeSetTimer(&timer, Relative(50 * kMs), &d.dpc));
    EXPECT_TRUE(KeSetTimer(&timer, Relative(30 * kMs), &d.dpc));  // moved, not added
    sim::Sleep(100 * kMs);
    ASSERT_EQ(log.order, std::vector<int>{1});
    EXPECT_EQ(static_cast<LONGLONG>(log.args[0]), sim::kBootSystemTime + 30 * kMs);
}

TEST_F(TimerDpcTest, FlushWaitsForQueuedDpcsOnly) {
    KeFlushQueuedDpcs();  // nothing queued: returns at once
    DpcLog log;
    LoggedDpc d;
    InitLogged(&d, &log, 1);
    KeInsertQueueDpc(&d.dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
    EXPECT_EQ(log.order, std::vector<int>{1});
}

struct WorkLog {
    std::vector<int> order;
    std::vector<KIRQL> irqls;
    KEVENT gate;
};

struct LoggedWork {
    WORK_QUEUE_ITEM item;
    WorkLog* log;
    int id;
    bool waitForGate;
};

void LogWork(PVOID context) {
    auto* w = static_cast<LoggedWork*>(context);
    if (w->waitForGate) KeWaitForSingleObject(&w->log->gate, Executive, KernelMode, FALSE, nullptr);
    w->log->order.push_back(w->id);
    w->log->irqls.push_back(KeGetCurrentIrql());
}

TEST_F(TimerDpcTest, WorkItemsRunInQueueOrderAtPassiveLevel) {
    WorkLog log;
    KeInitializeEvent(&log.gate, NotificationEvent, FALSE);
    LoggedWork w[3] = {{{}, &log, 1, true}, {{}, &log, 2, false}, {{}, &log, 3, false}};
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // queuing is allowed at DISPATCH_LEVEL
    for (LoggedWork& item : w) {
        ExInitializeWorkItem(&item.item, LogWork, &item);
        ExQueueWorkItem(&item.item, DelayedWorkQueue);
    }
    KeLowerIrql(old);
    KeSetEvent(&log.gate, 0, FALSE);
    sim::Settle();
    EXPECT_EQ(log.order, (std::vector<int>{1, 2, 3}));
    for (KIRQL irql : log.irqls) EXPECT_EQ(irql, PASSIVE_LEVEL);
}

TEST_F(TimerDpcTest, WorkItemWaitingForALaterOneDoesNotStallThePool) {
    WorkLog log;
    KeInitializeEvent(&log.gate, NotificationEvent, FALSE);
    struct Setter {
        WORK_QUEUE_ITEM item;
        WorkLog* log;
    } setter{{}, &log};
    LoggedWork waiter{{}, &log, 1, true};
    ExInitializeWorkItem(&waiter.item, LogWork, &waiter);
    ExInitializeWorkItem(&setter.item, [](PVOID c) { KeSetEvent(&static_cast<Setter*>(c)->log->gate, 0, FALSE); }, &setter);
    ExQueueWorkItem(&waiter.item, CriticalWorkQueue);
    ExQueueWorkItem(&setter.item, CriticalWorkQueue);
    sim::Settle();
    EXPECT_EQ(log.order, std::vector<int>{1});
}

using TimerDpcDeathTest = TimerDpcTest;

TEST_F(TimerDpcDeathTest, FreeingPoolThatHoldsAQueuedTimerBugchecks) {
    auto* timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KTIMER), MakePoolTag("Tmr ")));
    KeInitializeTimer(timer);
    KeSetTimer(timer, Relative(kMs), nullptr);
    EXPECT_DEATH(ExFreePool(timer), "TIMER_OR_DPC_INVALID.*holds a queued timer");
    KeCancelTimer(timer);
    ExFreePool(timer);
}

TEST_F(TimerDpcDeathTest, ReinitialisingAQueuedTimerBugchecks) {
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, Relative(kMs), nullptr);
    EXPECT_DEATH(KeInitializeTimer(&timer), "KeInitializeTimer: .*holds a queued timer");
    KeCancelTimer(&timer);
}

TEST_F(TimerDpcDeathTest, QueuingAQueuedWorkItemBugchecks) {
    WorkLog log;
    KeInitializeEvent(&log.gate, NotificationEvent, FALSE);
    LoggedWork blocker{{}, &log, 1, true};
    LoggedWork w{{}, &log, 2, false};
    ExInitializeWorkItem(&blocker.item, LogWork, &blocker);
    ExInitializeWorkItem(&w.item, LogWork, &w);
    EXPECT_DEATH(
        {
            // The one worker blocks in the first item, so the second stays queued.
            ExQueueWorkItem(&blocker.item, DelayedWorkQueue);
            ExQueueWorkItem(&w.item, DelayedWorkQueue);
            ExQueueWorkItem(&w.item, DelayedWorkQueue);
        },
        "WORKER_INVALID");
}

TEST_F(TimerDpcDeathTest, WorkItemReturningAtDispatchLevelBugchecks) {
    WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, [](PVOID) { KeRaiseIrqlToDpcLevel(); }, nullptr);
    EXPECT_DEATH(
        {
            ExQueueWorkItem(&item, DelayedWorkQueue);
            sim::Settle();
        },
        "WORKER_THREAD_RETURNED_AT_BAD_IRQL");
}

TEST_F(TimerDpcDeathTest, DpcThatLowersIrqlBugchecks) {
    KDPC dpc;
    KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
    EXPECT_DEATH(
        {
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
            KeFlushQueuedDpcs();
        },
        "a DPC routine returned at IRQL 0");
}

}  // namespace

// The executor's clock: virtual waits cost no wall time, timers and
// scheduled callbacks fire in due order, Settle, deadlock detection and the
// end-of-scope checks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "nt/ex.h"
#include "nt/ke.h"
#include "nt/ps.h"
#include "sim/executor.h"
#include "tests/support/kernel_test.h"

namespace {

using Clock = std::chrono::steady_clock;

LARGE_INTEGER Relative(LONGLONG ticks) {
    LARGE_INTEGER t;
    t.QuadPart = -ticks;
    return t;
}

class ExecutorTest : public sim::KernelTest {};

TEST_F(ExecutorTest, LongVirtualWaitsCostNoWallTime) {
    auto wallStart = Clock::now();
    LARGE_INTEGER before;
    KeQuerySystemTime(&before);
    LARGE_INTEGER halfSecond = Relative(500 * sim::kTicksPerMillisecond);
    for (int i = 0; i < 7200; ++i) KeDelayExecutionThread(KernelMode, FALSE, &halfSecond);  // one virtual hour
    LARGE_INTEGER after;
    KeQuerySystemTime(&after);
    EXPECT_EQ(after.QuadPart - before.QuadPart, 3600 * sim::kTicksPerSecond);
    EXPECT_LT(Clock::now() - wallStart, std::chrono::seconds(10));
}

TEST_F(ExecutorTest, ClocksAgree) {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, 10000000);
    EXPECT_EQ(static_cast<ULONGLONG>(counter.QuadPart), KeQueryInterruptTime());
    EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(sim::kBootInterruptTime));
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    EXPECT_EQ(system.QuadPart, sim::kBootSystemTime);
    sim::Sleep(3 * sim::kTicksPerMillisecond);
    EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart, sim::kBootInterruptTime + 30000);
}

struct TimerCount {
    KTIMER timer;
    KDPC dpc;
    int fired = 0;
    LONGLONG lastAt = 0;
};

void CountTimerDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* t = static_cast<TimerCount*>(context);
    ++t->fired;
    t->lastAt = sim::Now();
}

TEST_F(ExecutorTest, PeriodicTimerFiresTwelveTimesInAVirtualMinute) {
    auto wallStart = Clock::now();
    TimerCount t;
    KeInitializeTimer(&t.timer);
    KeInitializeDpc(&t.dpc, CountTimerDpc, &t);
    LONGLONG start = sim::Now();
    KeSetTimerEx(&t.timer, Relative(5 * sim::kTicksPerSecond), 5000, &t.dpc);
    sim::Sleep(60 * sim::kTicksPerSecond);
    KeFlushQueuedDpcs();
    EXPECT_EQ(t.fired, 12);
    EXPECT_EQ(t.lastAt - start, 60 * sim::kTicksPerSecond);
    EXPECT_TRUE(KeCancelTimer(&t.timer));
    EXPECT_LT(Clock::now() - wallStart, std::chrono::seconds(5));
}

TEST_F(ExecutorTest, AbsoluteDeadlineUsesSystemTime) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER absolute;
    absolute.QuadPart = now.QuadPart + 2 * sim::kTicksPerSecond;
    KeDelayExecutionThread(KernelMode, FALSE, &absolute);
    LARGE_INTEGER after;
    KeQuerySystemTime(&after);
    EXPECT_EQ(after.QuadPart, absolute.QuadPart);
}

TEST_F(ExecutorTest, ScheduledCallbacksRunInDueOrderAtDispatchLevel) {
    std::vector<int> order;
    std::vector<KIRQL> irqls;
    LONGLONG base = sim::Now();
    auto record = [&](int id) {
        return [&, id] {
            order.push_back(id);
            irqls.push_back(KeGetCurrentIrql());
        };
    };
    sim::ScheduleAt(base + 300, record(3));
    sim::ScheduleAt(base + 100, record(1));
    sim::ScheduleAt(base + 300, record(4));  // same time: queue order
    uint64_t cancelled = sim::ScheduleAt(base + 200, record(99));
    sim::ScheduleAfter(200, record(2));
    EXPECT_TRUE(sim::CancelScheduled(cancelled));
    EXPECT_FALSE(sim::CancelScheduled(cancelled));
    sim::Sleep(1000);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
    for (KIRQL irql : irqls) EXPECT_EQ(irql, DISPATCH_LEVEL);
}

TEST_F(ExecutorTest, SettleWaitsForOtherThreadsWithoutMovingTheClock) {
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    int steps = 0;
    sim::TestThread worker("worker", [&] {
        KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
        ++steps;
    });
    LONGLONG before = sim::Now();
    KeSetEvent(&go, 0, FALSE);
    sim::Settle();
    EXPECT_EQ(steps, 1);
    EXPECT_EQ(sim::Now(), before);
    worker.Join();
}

TEST_F(ExecutorTest, JoinLetsTheClockRun) {
    LONGLONG woke = 0;
    sim::TestThread sleeper("sleeper", [&] {
        sim::Sleep(2 * sim::kTicksPerSecond);
        woke = sim::Now();
    });
    LONGLONG start = sim::Now();
    sleeper.Join();
    EXPECT_EQ(woke - start, 2 * sim::kTicksPerSecond);
}

TEST_F(ExecutorTest, ScopeReportsTimersLeftSetAndPoolLeaks) {
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, Relative(sim::kTicksPerSecond), nullptr);
    PVOID leak = ExAllocatePoolWithTag(NonPagedPoolNx, 40, MakePoolTag("Leak"));
    sim::ScopeReport report = FinishScope();
    EXPECT_NE(report.problems.find("still set"), std::string::npos) << report.problems;
    EXPECT_NE(report.problems.find("'Leak': 1 blocks, 40 bytes"), std::string::npos) << report.problems;
    ExFreePool(leak);
}

void SleepThenEnd(PVOID ended) {
    sim::Sleep(sim::kTicksPerSecond);
    *static_cast<bool*>(ended) = true;
}

void StartThreadFromWork(PVOID ended) {
    HANDLE handle;
    PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, SleepThenEnd, ended);
    ZwClose(handle);
}

TEST_F(ExecutorTest, ScopeWaitsForThreadsThatLateWorkStarts) {
    bool ended = false;
    WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, StartThreadFromWork, &ended);
    ExQueueWorkItem(&item, DelayedWorkQueue);
    sim::ScopeReport report = FinishScope();
    EXPECT_TRUE(report.Clean()) << report.problems;
    EXPECT_TRUE(ended);
}

TEST_F(ExecutorTest, ScopeReportsUnbalancedTimerResolution) {
    ExSetTimerResolution(10000, TRUE);
    sim::ScopeReport report = FinishScope();
    EXPECT_NE(report.problems.find("ExSetTimerResolution requests outstanding: 1"), std::string::npos);
}

TEST_F(ExecutorTest, OutsideWaitLetsTheClockRunDuringAHostBlock) {
    std::atomic<bool> done{false};
    sim::TestThread sleeper("sleeper", [&] {
        sim::Sleep(10 * sim::kTicksPerSecond);
        done = true;
    });
    {
        sim::OutsideWait wait("host sleep");
        for (int i = 0; i < 500 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(done);
    sleeper.Join();
}

class RealTimeTest : public sim::KernelTest {
protected:
    sim::ExecutorOptions Options() const override {
        sim::ExecutorOptions options;
        options.clock = sim::ClockMode::RealTime;
        return options;
    }
};

TEST_F(RealTimeTest, ClockAndTimersFollowWallTime) {
    auto wallStart = Clock::now();
    LONGLONG start = sim::Now();
    sim::Sleep(30 * sim::kTicksPerMillisecond);
    EXPECT_GE(Clock::now() - wallStart, std::chrono::milliseconds(30));
    EXPECT_GE(sim::Now() - start, 30 * sim::kTicksPerMillisecond);
    KTIMER timer;
    KeInitializeTimer(&timer);
    wallStart = Clock::now();
    KeSetTimer(&timer, Relative(20 * sim::kTicksPerMillisecond), nullptr);
    KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
    EXPECT_GE(Clock::now() - wallStart, std::chrono::milliseconds(20));
}

using ExecutorDeathTest = ExecutorTest;

TEST_F(ExecutorDeathTest, DeadlockIsReportedWithTheWaits) {
    EXPECT_DEATH(
        {
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            sim::SetCurrentThreadName("stuck test");
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        },
        "DEADLOCK_DETECTED.*\n(.*\n)*.*'stuck test'.*waits in KeWaitForSingleObject without time-out for "
        "notification event");
}

TEST_F(ExecutorDeathTest, MutexDeadlockBetweenTwoThreadsNamesTheOwner) {
    EXPECT_DEATH(
        {
            KMUTEX a;
            KMUTEX b;
            KeInitializeMutex(&a, 0);
            KeInitializeMutex(&b, 0);
            KEVENT holdsB;
            KeInitializeEvent(&holdsB, NotificationEvent, FALSE);
            // Main owns `a` before `other` exists: otherwise `other` could
            // take both mutexes and end before main waits at all.
            KeWaitForSingleObject(&a, Executive, KernelMode, FALSE, nullptr);
            sim::TestThread other("other", [&] {
                KeWaitForSingleObject(&b, Executive, KernelMode, FALSE, nullptr);
                KeSetEvent(&holdsB, 0, FALSE);
                KeWaitForSingleObject(&a, Executive, KernelMode, FALSE, nullptr);
            });
            KeWaitForSingleObject(&holdsB, Executive, KernelMode, FALSE, nullptr);
            KeWaitForSingleObject(&b, Executive, KernelMode, FALSE, nullptr);
        },
        "mutex 0x[0-9a-f]+ owned by 'other'");
}

TEST_F(ExecutorDeathTest, TestThreadEndingWithAMutexHeldIsARuleViolation) {
    EXPECT_DEATH(
        {
            KMUTEX m;
            KeInitializeMutex(&m, 0);
            sim::TestThread holder("holder", [&] { KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr); });
            holder.Join();
        },
        "STAND_IN_RULE_VIOLATION.*test thread 'holder' ended holding a mutex");
}

// A fork-style death test after the executor started (lazily, no scope):
// the child must get a working executor of its own instead of hanging.
TEST(ExecutorForkDeathTest, ForkedChildGetsAFreshExecutor) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not allow threads after a multi-threaded fork";
#endif
    std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "fast");
    LARGE_INTEGER tick = Relative(1);
    KeDelayExecutionThread(KernelMode, FALSE, &tick);
    EXPECT_DEATH(
        {
            KeDelayExecutionThread(KernelMode, FALSE, &tick);
            KeBugCheck(MANUALLY_INITIATED_CRASH);
        },
        "MANUALLY_INITIATED_CRASH");
    GTEST_FLAG_SET(death_test_style, style);
}

}  // namespace

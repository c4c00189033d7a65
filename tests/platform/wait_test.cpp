// Dispatcher objects and waits: events, mutexes, semaphores, timers and
// thread objects, WaitAny and WaitAll with time-outs on the virtual clock.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "nt/ex.h"
#include "nt/ke.h"
#include "nt/ps.h"
#include "sim/executor.h"
#include "sim/object.h"
#include "tests/support/kernel_test.h"

namespace {

constexpr LONGLONG kMs = sim::kTicksPerMillisecond;

LARGE_INTEGER Relative(LONGLONG ticks) {
    LARGE_INTEGER t;
    t.QuadPart = -ticks;
    return t;
}

class WaitTest : public sim::KernelTest {};

TEST_F(WaitTest, NotificationEventReleasesEveryWaiterAndStaysSet) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> woke{0};  // both waiters run at once
    sim::TestThread a("a", [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), ++woke; });
    sim::TestThread b("b", [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), ++woke; });
    sim::Settle();
    EXPECT_EQ(woke, 0);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
    a.Join();
    b.Join();
    EXPECT_EQ(woke, 2);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(WaitTest, SynchronizationEventReleasesOneWaiterPerSet) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::vector<int> order;
    sim::TestThread a("a", [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), order.push_back(1); });
    sim::Settle();
    sim::TestThread b("b", [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), order.push_back(2); });
    sim::Settle();
    KeSetEvent(&event, 0, FALSE);
    sim::Settle();
    EXPECT_EQ(order, std::vector<int>{1});  // first come, first served
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    KeSetEvent(&event, 0, FALSE);
    a.Join();
    b.Join();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(WaitTest, MutexIsRecursiveForItsOwnerAndPollsFailForOthers) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    LARGE_INTEGER zero{};
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&mutex), -1);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());

    NTSTATUS other = STATUS_SUCCESS;
    sim::TestThread poller("poller", [&] { other = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero); });
    poller.Join();
    EXPECT_EQ(other, STATUS_TIMEOUT);

    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    sim::TestThread taker("taker", [&] {
        other = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero);
        if (other == STATUS_SUCCESS) KeReleaseMutex(&mutex, FALSE);
    });
    taker.Join();
    EXPECT_EQ(other, STATUS_SUCCESS);
}

TEST_F(WaitTest, MutexWaitTimesOutOnTheVirtualClock) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KEVENT held, release;
    KeInitializeEvent(&held, NotificationEvent, FALSE);
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    sim::TestThread owner("owner", [&] {
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        KeSetEvent(&held, 0, FALSE);
        KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
        KeReleaseMutex(&mutex, FALSE);
    });
    KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
    LARGE_INTEGER timeout = Relative(250 * kMs);
    LONGLONG start = sim::Now();
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(sim::Now() - start, 250 * kMs);
    KeSetEvent(&release, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    KeReleaseMutex(&mutex, FALSE);
    owner.Join();
}

TEST_F(WaitTest, SemaphoreCountsAndKeepsItsLimit) {
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 1, 2);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 2, FALSE), 0);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 2);
}

// One row: two events, their kind and initial state, when each is set
// (ms from the start, -1 never), the wait and what it must return.
struct MultiWaitCase {
    const char* name;
    WAIT_TYPE type;
    EVENT_TYPE kind;
    bool initial[2];
    int setAtMs[2];
    int timeoutMs;  // -1 forever
    NTSTATUS status;
    int returnsAtMs;
    LONG stateAfter[2];  // right after the wait returned
};

class MultiWaitTest : public sim::KernelTest, public ::testing::WithParamInterface<MultiWaitCase> {};

TEST_P(MultiWaitTest, ReturnsTheRightStatusAtTheRightTime) {
    const MultiWaitCase& c = GetParam();
    KEVENT events[2];
    for (int i = 0; i < 2; ++i) {
        KeInitializeEvent(&events[i], c.kind, c.initial[i]);
        if (c.setAtMs[i] >= 0) {
            PKEVENT e = &events[i];
            sim::ScheduleAfter(c.setAtMs[i] * kMs, [e] { KeSetEvent(e, 0, FALSE); });
        }
    }
    PVOID objects[2] = {&events[0], &events[1]};
    LARGE_INTEGER timeout = Relative(c.timeoutMs * kMs);
    LONGLONG start = sim::Now();
    NTSTATUS status = KeWaitForMultipleObjects(2, objects, c.type, Executive, KernelMode, FALSE,
                                               c.timeoutMs < 0 ? nullptr : &timeout, nullptr);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(sim::Now() - start, c.returnsAtMs * kMs);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(KeReadStateEvent(&events[i]), c.stateAfter[i]) << "event " << i;
    sim::Sleep(1000 * kMs);  // the remaining scheduled sets run before the events go
}

const MultiWaitCase kMultiWaitCases[] = {
    {"AnyAlreadySet", WaitAny, NotificationEvent, {false, true}, {-1, -1}, 500, STATUS_WAIT_1, 0, {0, 1}},
    {"AnyFirstToBeSet", WaitAny, NotificationEvent, {false, false}, {300, 100}, 500, STATUS_WAIT_1, 100, {0, 1}},
    {"AnyTimesOut", WaitAny, NotificationEvent, {false, false}, {-1, -1}, 500, STATUS_TIMEOUT, 500, {0, 0}},
    {"AnyPollsWithZeroTimeout", WaitAny, NotificationEvent, {false, false}, {-1, -1}, 0, STATUS_TIMEOUT, 0, {0, 0}},
    {"AnyConsumesSynchronization", WaitAny, SynchronizationEvent, {true, true}, {-1, -1}, 500, STATUS_WAIT_0, 0, {0, 1}},
    {"AllWhenTheLastIsSet", WaitAll, NotificationEvent, {false, false}, {100, 300}, 500, STATUS_SUCCESS, 300, {1, 1}},
    {"AllForever", WaitAll, SynchronizationEvent, {false, false}, {200, 100}, -1, STATUS_SUCCESS, 200, {0, 0}},
    {"AllTimesOutAndConsumesNothing", WaitAll, SynchronizationEvent, {false, false}, {100, -1}, 500, STATUS_TIMEOUT, 500, {1, 0}},
    {"AllConsumesBothSynchronization", WaitAll, SynchronizationEvent, {true, true}, {-1, -1}, 500, STATUS_SUCCESS, 0, {0, 0}},
};

INSTANTIATE_TEST_SUITE_P(Cases, MultiWaitTest, ::testing::ValuesIn(kMultiWaitCases),
                         [](const ::testing::TestParamInfo<MultiWaitCase>& info) { return info.param.name; });

TEST_F(WaitTest, ManyObjectsNeedAWaitBlockArray) {
    KEVENT events[5];
    PVOID objects[5];
    for (int i = 0; i < 5; ++i) {
        KeInitializeEvent(&events[i], NotificationEvent, FALSE);
        objects[i] = &events[i];
    }
    KWAIT_BLOCK blocks[5];
    sim::ScheduleAfter(10 * kMs, [&] { KeSetEvent(&events[4], 0, FALSE); });
    EXPECT_EQ(KeWaitForMultipleObjects(5, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, blocks),
              STATUS_WAIT_0 + 4);
}

TEST_F(WaitTest, SynchronizationTimerWakesOneWaiter) {
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    KeSetTimer(&timer, Relative(100 * kMs), nullptr);
    LONGLONG start = sim::Now();
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(sim::Now() - start, 100 * kMs);
    EXPECT_FALSE(KeReadStateTimer(&timer));
}

struct ThreadRun {
    KEVENT started;
    int reached = 0;
};

void RunsThenTerminates(PVOID context) {
    auto* run = static_cast<ThreadRun*>(context);
    run->reached = 1;
    KeSetEvent(&run->started, 0, FALSE);
    sim::Sleep(20 * kMs);
    PsTerminateSystemThread(STATUS_SUCCESS);
    run->reached = 2;  // never runs
}

TEST_F(WaitTest, SystemThreadObjectIsSignalledWhenTheThreadEnds) {
    ThreadRun run;
    KeInitializeEvent(&run.started, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, RunsThenTerminates, &run),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(KeSetPriorityThread(static_cast<PKTHREAD>(thread), 31), 8);
    EXPECT_EQ(KeSetPriorityThread(static_cast<PKTHREAD>(thread), 24), 31);
    EXPECT_EQ(KeQueryPriorityThread(static_cast<PKTHREAD>(thread)), 24);
    LONGLONG start = sim::Now();
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(sim::Now() - start, 20 * kMs);
    EXPECT_EQ(run.reached, 1);
    ObDereferenceObject(thread);
}

TEST_F(WaitTest, SystemThreadCreationFailsCleanlyWithoutPool) {
    sim::PoolFailNth(1);
    HANDLE handle = nullptr;
    ThreadRun run;
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, RunsThenTerminates, &run),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(handle, nullptr);
}

using WaitDeathTest = WaitTest;

TEST_F(WaitDeathTest, WaitingOnAnUninitialisedObjectBugchecks) {
    alignas(8) unsigned char junk[sizeof(KEVENT)];
    std::fill(std::begin(junk), std::end(junk), 0xCD);
    EXPECT_DEATH(KeWaitForSingleObject(junk, Executive, KernelMode, FALSE, nullptr), "not an initialised dispatcher object");
}

TEST_F(WaitDeathTest, ReleasingAMutexOwnedByAnotherThreadBugchecks) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_DEATH(KeReleaseMutex(&mutex, FALSE), "THREAD_NOT_MUTEX_OWNER");
}

void EndsHoldingMutex(PVOID context) {
    KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
}

TEST_F(WaitDeathTest, SystemThreadEndingWithAMutexBugchecks) {
    EXPECT_DEATH(
        {
            KMUTEX mutex;
            KeInitializeMutex(&mutex, 0);
            HANDLE handle;
            PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, EndsHoldingMutex, &mutex);
            sim::Sleep(kMs);
        },
        "ended holding a mutex");
}

TEST_F(WaitDeathTest, FourObjectsWithoutWaitBlocksBugcheck) {
    KEVENT events[4];
    PVOID objects[4];
    for (int i = 0; i < 4; ++i) {
        KeInitializeEvent(&events[i], NotificationEvent, TRUE);
        objects[i] = &events[i];
    }
    EXPECT_DEATH(KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
                 "MAXIMUM_WAIT_OBJECTS_EXCEEDED");
}

}  // namespace

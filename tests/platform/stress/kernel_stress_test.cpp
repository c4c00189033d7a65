// The kernel core under real concurrency: host threads, two DPC threads and
// the worker pool contend on spin locks, mutexes, events, timers, work
// items and callback objects. Every test runs in stress mode whatever the
// environment says; the checks are totals that any lost update breaks.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "nt/ex.h"
#include "nt/ke.h"
#include "nt/ps.h"
#include "sim/executor.h"
#include "tests/support/kernel_test.h"

namespace {

constexpr LONGLONG kMs = sim::kTicksPerMillisecond;

class KernelStressTest : public sim::KernelTest {
protected:
    sim::ExecutorOptions Options() const override {
        sim::ExecutorOptions options = sim::ExecutorOptions::FromEnvironment();
        options.stress = true;
        return options;
    }

    // Starts `count` host threads running body(index) and joins them.
    void RunThreads(int count, const std::function<void(int)>& body) {
        std::vector<std::unique_ptr<sim::TestThread>> threads;
        for (int i = 0; i < count; ++i)
            threads.push_back(std::make_unique<sim::TestThread>("stress " + std::to_string(i), [&body, i] { body(i); }));
        for (auto& t : threads) t->Join();
    }
};

TEST_F(KernelStressTest, RunsInStressMode) {
    EXPECT_TRUE(sim::StressMode());
    EXPECT_EQ(KeQueryActiveProcessorCount(nullptr), 2u);
}

struct SharedCounter {
    KSPIN_LOCK lock;
    long value = 0;  // guarded by lock
};

void IncrementAtDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* c = static_cast<SharedCounter*>(context);
    KeAcquireSpinLockAtDpcLevel(&c->lock);
    ++c->value;
    KeReleaseSpinLockFromDpcLevel(&c->lock);
}

TEST_F(KernelStressTest, SpinLockSerialisesThreadsAndDpcs) {
    constexpr int kThreads = 4, kRounds = 2000, kDpcs = 64;
    SharedCounter counter;
    KeInitializeSpinLock(&counter.lock);
    std::vector<KDPC> dpcs(kDpcs);
    for (KDPC& d : dpcs) KeInitializeDpc(&d, IncrementAtDpc, &counter);
    std::atomic<int> queued{0};
    RunThreads(kThreads, [&](int index) {
        for (int i = 0; i < kRounds; ++i) {
            KLOCK_QUEUE_HANDLE handle;
            KeAcquireInStackQueuedSpinLock(&counter.lock, &handle);
            ++counter.value;
            KeReleaseInStackQueuedSpinLock(&handle);
            if (index == 0 && i % (kRounds / kDpcs) == 0 && queued < kDpcs) {
                KeInsertQueueDpc(&dpcs[queued], nullptr, nullptr);
                ++queued;
            }
        }
    });
    KeFlushQueuedDpcs();
    KIRQL old;
    KeAcquireSpinLock(&counter.lock, &old);
    EXPECT_EQ(counter.value, kThreads * kRounds + queued.load());
    KeReleaseSpinLock(&counter.lock, old);
}

TEST_F(KernelStressTest, RecursiveMutexAcrossThreads) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    long value = 0;  // guarded by mutex
    RunThreads(4, [&](int) {
        for (int i = 0; i < 500; ++i) {
            KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
            KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
            ++value;
            KeReleaseMutex(&mutex, FALSE);
            KeReleaseMutex(&mutex, FALSE);
        }
    });
    EXPECT_EQ(value, 2000);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST_F(KernelStressTest, SynchronizationEventsPingPong) {
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    constexpr int kRounds = 2000;
    int seen = 0;  // handed over through the events
    sim::TestThread partner("partner", [&] {
        for (int i = 0; i < kRounds; ++i) {
            KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
            ++seen;
            KeSetEvent(&pong, 0, FALSE);
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        KeSetEvent(&ping, 0, FALSE);
        KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
    }
    partner.Join();
    EXPECT_EQ(seen, kRounds);
}

struct TimedSignal {
    KTIMER timer;
    KDPC dpc;
    KEVENT event;
};

void SignalFromDpc(PKDPC, PVOID context, PVOID, PVOID) { KeSetEvent(&static_cast<TimedSignal*>(context)->event, 0, FALSE); }

TEST_F(KernelStressTest, TimersRaceWaitTimeouts) {
    constexpr int kThreads = 4, kRounds = 100;
    std::atomic<int> signalled{0}, timedOut{0};
    RunThreads(kThreads, [&](int index) {
        TimedSignal s;
        KeInitializeTimer(&s.timer);
        KeInitializeDpc(&s.dpc, SignalFromDpc, &s);
        KeInitializeEvent(&s.event, NotificationEvent, FALSE);
        for (int i = 0; i < kRounds; ++i) {
            KeClearEvent(&s.event);
            LARGE_INTEGER due, timeout;
            due.QuadPart = -((i + index) % 5 + 1) * kMs;
            timeout.QuadPart = -3 * kMs;
            KeSetTimer(&s.timer, due, &s.dpc);
            NTSTATUS status = KeWaitForSingleObject(&s.event, Executive, KernelMode, FALSE, &timeout);
            (status == STATUS_SUCCESS ? signalled : timedOut)++;
            KeCancelTimer(&s.timer);
            KeFlushQueuedDpcs();  // the DPC may still touch s
        }
    });
    EXPECT_EQ(signalled + timedOut, kThreads * kRounds);
    EXPECT_GT(signalled.load(), 0);
}

struct ChainedWork {
    KDPC dpc;
    WORK_QUEUE_ITEM item;
    KEVENT done;
    std::atomic<int>* ran;
};

void RunWork(PVOID context) {
    auto* w = static_cast<ChainedWork*>(context);
    ++*w->ran;
    KeSetEvent(&w->done, 0, FALSE);
}

void QueueWorkFromDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* w = static_cast<ChainedWork*>(context);
    ExQueueWorkItem(&w->item, DelayedWorkQueue);
}

TEST_F(KernelStressTest, DpcsQueueWorkItemsFromTwoDpcThreads) {
    constexpr int kItems = 32, kRounds = 20;
    std::atomic<int> ran{0};
    std::vector<ChainedWork> work(kItems);
    for (int round = 0; round < kRounds; ++round) {
        for (ChainedWork& w : work) {
            w.ran = &ran;
            KeInitializeEvent(&w.done, NotificationEvent, FALSE);
            KeInitializeDpc(&w.dpc, QueueWorkFromDpc, &w);
            ExInitializeWorkItem(&w.item, RunWork, &w);
            KeInsertQueueDpc(&w.dpc, nullptr, nullptr);
        }
        for (ChainedWork& w : work) KeWaitForSingleObject(&w.done, Executive, KernelMode, FALSE, nullptr);
        sim::Settle();  // every worker back on its queue before the items are reused
    }
    EXPECT_EQ(ran.load(), kItems * kRounds);
}

void Count(PVOID context, PVOID, PVOID) { static_cast<std::atomic<int>*>(context)->fetch_add(1); }

TEST_F(KernelStressTest, NotifyRacesRegisterAndUnregister) {
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(u"\\Callback\\Stress");
    name.Length = static_cast<USHORT>(std::char_traits<char16_t>::length(name.Buffer) * 2);
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attr;
    InitializeObjectAttributes(&attr, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    PCALLBACK_OBJECT object;
    ASSERT_EQ(ExCreateCallback(&object, &attr, TRUE, TRUE), STATUS_SUCCESS);
    std::atomic<int> calls{0};
    std::atomic<bool> stop{false};
    PVOID steady = ExRegisterCallback(object, Count, &calls);
    sim::TestThread notifier("notifier", [&] {
        int n = 0;
        while (!stop.load()) {
            ExNotifyCallback(object, nullptr, nullptr);
            ++n;
        }
        EXPECT_GE(calls.load(), n);  // the steady registration saw every notification
    });
    RunThreads(3, [&](int) {
        for (int i = 0; i < 300; ++i) {
            std::atomic<int> mine{0};
            PVOID reg = ExRegisterCallback(object, Count, &mine);
            ASSERT_NE(reg, nullptr);
            ExNotifyCallback(object, nullptr, nullptr);
            ExUnregisterCallback(reg);  // returns only once no call into `mine` runs
            EXPECT_GE(mine.load(), 1);
        }
    });
    stop = true;
    notifier.Join();
    ExUnregisterCallback(steady);
    ObDereferenceObject(object);
}

// Every other thread ends through PsTerminateSystemThread, the rest return.
void ShortLivedThread(PVOID context) {
    if (static_cast<std::atomic<int>*>(context)->fetch_add(1) % 2) PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(KernelStressTest, SystemThreadsStartAndEndConcurrently) {
    std::atomic<int> ran{0};
    RunThreads(3, [&](int) {
        for (int i = 0; i < 40; ++i) {
            HANDLE handle;
            ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ShortLivedThread, &ran),
                      STATUS_SUCCESS);
            PVOID thread;
            ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
                      STATUS_SUCCESS);
            ZwClose(handle);
            KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
            ObDereferenceObject(thread);
        }
    });
    EXPECT_EQ(ran.load(), 120);
}

TEST_F(KernelStressTest, InterlockedOperationsDoNotLoseUpdates) {
    volatile LONG counter = 0;
    volatile LONG64 wide = 0;
    volatile LONG bits = 0;
    RunThreads(4, [&](int index) {
        for (int i = 0; i < 10000; ++i) {
            InterlockedIncrement(&counter);
            InterlockedExchangeAdd64(&wide, 3);
            LONG seen;
            do {
                seen = InterlockedOr(&bits, 0);
            } while (InterlockedCompareExchange(&bits, seen ^ (1 << index), seen) != seen);
        }
    });
    EXPECT_EQ(InterlockedOr(&counter, 0), 40000);
    EXPECT_EQ(InterlockedExchangeAdd64(&wide, 0), 120000);
    EXPECT_EQ(InterlockedOr(&bits, 0), 0);  // each bit flipped an even number of times
}

}  // namespace

// CMutexLock on the kernel stand-in: recursion for its owner, TryLock
// against another thread, Lock waiting for the owner, PASSIVE_LEVEL only.
#include <gtest/gtest.h>

#include "adapter/base/mutex_lock.h"
#include "sim/executor.h"
#include "tests/support/kernel_test.h"

namespace {

class MutexLockTest : public sim::KernelTest {};

TEST_F(MutexLockTest, OwnerMayLockAgainAndEveryLockNeedsItsUnlock) {
    CMutexLock lock;
    EXPECT_TRUE(lock.Lock());
    EXPECT_TRUE(lock.Lock());
    EXPECT_TRUE(lock.TryLock());
    EXPECT_FALSE(lock.Reserved1());
    EXPECT_FALSE(lock.Reserved2());
    EXPECT_TRUE(lock.TryUnlock());
    EXPECT_TRUE(lock.Unlock());

    BOOLEAN whileHeld = TRUE;
    sim::TestThread other("other", [&] { whileHeld = lock.TryLock(); });
    other.Join();
    EXPECT_FALSE(whileHeld) << "one Lock is still outstanding";

    EXPECT_TRUE(lock.Unlock());
    BOOLEAN afterRelease = FALSE;
    sim::TestThread again("again", [&] {
        afterRelease = lock.TryLock();
        if (afterRelease) lock.TryUnlock();
    });
    again.Join();
    EXPECT_TRUE(afterRelease);
}

TEST_F(MutexLockTest, TryLockOnAMutexAnotherThreadHoldsFailsAtOnce) {
    CMutexLock lock;
    ASSERT_TRUE(lock.Lock());
    BOOLEAN acquired = TRUE;
    LONGLONG waited = -1;
    sim::TestThread other("other", [&] {
        LONGLONG start = sim::Now();
        acquired = lock.TryLock();
        waited = sim::Now() - start;
    });
    other.Join();
    EXPECT_FALSE(acquired);
    EXPECT_EQ(waited, 0);
    lock.Unlock();
}

TEST_F(MutexLockTest, LockWaitsUntilTheOwnerUnlocks) {
    CMutexLock lock;
    ASSERT_TRUE(lock.Lock());
    LONGLONG acquiredAt = 0;
    LONGLONG start = sim::Now();
    sim::TestThread waiter("waiter", [&] {
        lock.Lock();
        acquiredAt = sim::Now();
        lock.Unlock();
    });
    sim::Sleep(100 * sim::kTicksPerMillisecond);
    EXPECT_EQ(acquiredAt, 0) << "the waiter got the mutex while it was held";
    lock.Unlock();
    waiter.Join();
    EXPECT_EQ(acquiredAt - start, 100 * sim::kTicksPerMillisecond);
}

TEST_F(MutexLockTest, LockAtDispatchLevelBugchecks) {
    EXPECT_DEATH(
        {
            CMutexLock lock;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            lock.Lock();
        },
        "IRQL");
}

}  // namespace

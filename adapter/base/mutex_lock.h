// CMutexLock: a lock object over one kernel mutex, used as a member of its
// owner (never allocated by itself). PASSIVE_LEVEL only; code that runs at
// DISPATCH_LEVEL uses spin locks.
//
// The mutex is recursive for its owner: each Lock needs its Unlock, each
// successful TryLock its TryUnlock.
#pragma once

#include "nt/ke.h"

class CMutexLock final {
public:
    CMutexLock();
    CMutexLock(const CMutexLock&) = delete;
    CMutexLock& operator=(const CMutexLock&) = delete;

    // Waits without a time-out; TRUE.
    virtual BOOLEAN Lock();
    // Does nothing; FALSE.
    virtual BOOLEAN Reserved1();
    // TRUE.
    virtual BOOLEAN Unlock();
    // Does nothing; FALSE.
    virtual BOOLEAN Reserved2();
    // TRUE only when the mutex was acquired at once (zero time-out).
    virtual BOOLEAN TryLock();
    // Releases what TryLock acquired; TRUE.
    virtual BOOLEAN TryUnlock();

private:
    KMUTEX m_Mutex;
};

// CMutexLock over a kernel mutex.
#include "adapter/base/mutex_lock.h"

CMutexLock::CMutexLock() { KeInitializeMutex(&m_Mutex, 0); }

BOOLEAN CMutexLock::Lock() {
    KeWaitForSingleObject(&m_Mutex, Executive, KernelMode, FALSE, NULL);
    return TRUE;
}

BOOLEAN CMutexLock::Reserved1() { return FALSE; }

BOOLEAN CMutexLock::Unlock() {
    KeReleaseMutex(&m_Mutex, FALSE);
    return TRUE;
}

BOOLEAN CMutexLock::Reserved2() { return FALSE; }

BOOLEAN CMutexLock::TryLock() {
    LARGE_INTEGER noWait;
    noWait.QuadPart = 0;
    return KeWaitForSingleObject(&m_Mutex, Executive, KernelMode, FALSE, &noWait) == STATUS_SUCCESS;
}

BOOLEAN CMutexLock::TryUnlock() {
    KeReleaseMutex(&m_Mutex, FALSE);
    return TRUE;
}

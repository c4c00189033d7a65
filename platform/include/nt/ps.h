// System threads and processes.
#pragma once

#include "nt/ke.h"
#include "nt/ob.h"

// A process. Drivers only pass it around; the simulated user processes of
// the I/O manager fill it in (sim/process.h).
typedef struct _KPROCESS KPROCESS, *PKPROCESS, *PRKPROCESS;
typedef struct _KPROCESS EPROCESS, *PEPROCESS;

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef VOID KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

// Object types (the platform exports pointers to them).
extern POBJECT_TYPE* PsThreadType;
extern POBJECT_TYPE* PsProcessType;

// Starts StartRoutine(StartContext) on a new executor-managed thread at
// PASSIVE_LEVEL, priority 8, in the system process. The thread object is a
// kernel object: *ThreadHandle holds one reference (ZwClose drops it), the
// running thread holds another; it is signalled when the thread ends.
// PASSIVE_LEVEL. Fails with STATUS_INSUFFICIENT_RESOURCES when the object
// cannot be allocated.
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext);
// Ends the calling system thread (does not return). The stand-in unwinds
// the thread's stack with a private exception; calling it on a thread that
// PsCreateSystemThread did not start bugchecks.
[[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);

PETHREAD PsGetCurrentThread();
HANDLE PsGetCurrentThreadId();
PEPROCESS PsGetCurrentProcess();
HANDLE PsGetCurrentProcessId();
PEPROCESS IoGetCurrentProcess();
BOOLEAN PsIsSystemThread(PETHREAD Thread);

// Executive services: work items, named callback objects, lookaside lists,
// timer resolution and the system version.
#pragma once

#include "nt/ke.h"
#include "nt/ob.h"
#include "nt/pool.h"

extern POBJECT_TYPE* ExEventObjectType;
extern POBJECT_TYPE* ExSemaphoreObjectType;
extern POBJECT_TYPE* ExCallbackObjectType;

// ------------------------------------------------------------ work items

typedef VOID WORKER_THREAD_ROUTINE(PVOID Parameter);
typedef WORKER_THREAD_ROUTINE* PWORKER_THREAD_ROUTINE;

// List.Flink is NULL while the item is not queued.
typedef struct _WORK_QUEUE_ITEM {
    LIST_ENTRY List;
    PWORKER_THREAD_ROUTINE WorkerRoutine;
    volatile PVOID Parameter;
} WORK_QUEUE_ITEM, *PWORK_QUEUE_ITEM;
static_assert(sizeof(WORK_QUEUE_ITEM) == 32, "WORK_QUEUE_ITEM is 32 bytes on x64");

typedef enum _WORK_QUEUE_TYPE {
    CriticalWorkQueue,
    DelayedWorkQueue,
    HyperCriticalWorkQueue,
    NormalWorkQueue,
    BackgroundWorkQueue,
    RealTimeWorkQueue,
    SuperCriticalWorkQueue,
} WORK_QUEUE_TYPE;

#define ExInitializeWorkItem(Item, Routine, Context) \
    do {                                             \
        (Item)->WorkerRoutine = (Routine);           \
        (Item)->Parameter = (Context);               \
        (Item)->List.Flink = NULL;                   \
        (Item)->List.Blink = NULL;                   \
    } while (0)

// Queues the item (IRQL <= DISPATCH_LEVEL); its routine runs at
// PASSIVE_LEVEL on a worker thread, items in queue order (every queue type
// shares one pool). Queuing an item that is still queued bugchecks
// (WORKER_INVALID); a routine returning above PASSIVE_LEVEL bugchecks.
VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType);

// ------------------------------------------------------ callback objects

typedef struct _CALLBACK_OBJECT* PCALLBACK_OBJECT;
typedef VOID CALLBACK_FUNCTION(PVOID CallbackContext, PVOID Argument1, PVOID Argument2);
typedef CALLBACK_FUNCTION* PCALLBACK_FUNCTION;

// Opens the callback object named in ObjectAttributes ("\Callback\..."),
// case-insensitively, or creates it when Create is TRUE and the name is new
// (OBJ_PERMANENT keeps it alive by its name after the last dereference).
// Without a name Create must be TRUE and the object is unnamed. On success
// *CallbackObject holds a reference the caller drops with
// ObDereferenceObject. AllowMultipleCallbacks applies only to a new object.
// PASSIVE_LEVEL. Errors: STATUS_OBJECT_NAME_NOT_FOUND (absent and not
// Create), STATUS_OBJECT_PATH_NOT_FOUND (not under "\Callback\"),
// STATUS_OBJECT_NAME_INVALID, STATUS_INVALID_PARAMETER,
// STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* CallbackObject, POBJECT_ATTRIBUTES ObjectAttributes,
                          BOOLEAN Create, BOOLEAN AllowMultipleCallbacks);
// Returns the registration handle, or NULL (out of memory, or a second
// registration on an object that does not allow several). The registration
// holds a reference on the object. IRQL <= APC_LEVEL.
PVOID ExRegisterCallback(PCALLBACK_OBJECT CallbackObject, PCALLBACK_FUNCTION CallbackFunction,
                         PVOID CallbackContext);
// Waits until the callback is no longer running, then frees the
// registration and drops its reference. IRQL <= APC_LEVEL.
VOID ExUnregisterCallback(PVOID CallbackRegistration);
// Calls every registered function in registration order, synchronously, in
// the caller's thread and at its IRQL (<= DISPATCH_LEVEL).
VOID ExNotifyCallback(PVOID CallbackObject, PVOID Argument1, PVOID Argument2);

// ------------------------------------------------------- lookaside lists

typedef PVOID ALLOCATE_FUNCTION(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
typedef ALLOCATE_FUNCTION* PALLOCATE_FUNCTION;
typedef VOID FREE_FUNCTION(PVOID Buffer);
typedef FREE_FUNCTION* PFREE_FUNCTION;

// A cache of equal-sized blocks. Freed blocks are kept (up to Depth, which
// 0 sets to the system default of 4) and handed out again; beyond the depth
// they go back to pool. Their contents are not cleared.
typedef struct _GENERAL_LOOKASIDE {
    SINGLE_LIST_ENTRY ListHead;
    USHORT Depth;
    USHORT MaximumDepth;
    ULONG TotalAllocates;
    ULONG AllocateMisses;
    ULONG TotalFrees;
    ULONG FreeMisses;
    POOL_TYPE Type;
    ULONG Tag;
    ULONG Size;
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
    LIST_ENTRY ListEntry;
    volatile LONG Lock;
    USHORT Count;
    UCHAR Signature;
    UCHAR Reserved;
} GENERAL_LOOKASIDE, *PGENERAL_LOOKASIDE;

typedef struct _NPAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST;

typedef struct _PAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
} PAGED_LOOKASIDE_LIST, *PPAGED_LOOKASIDE_LIST;

#define POOL_RAISE_IF_ALLOCATION_FAILURE 0x00000010
#define POOL_NX_ALLOCATION 0x00000200

// Allocate/Free NULL select ExAllocatePoolWithTag/ExFreePool; Flags
// POOL_NX_ALLOCATION makes the non-paged list use NonPagedPoolNx. The non-paged
// list works at IRQL <= DISPATCH_LEVEL, the paged one at <= APC_LEVEL.
VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                     USHORT Depth);
VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);

VOID ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                    PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                    USHORT Depth);
VOID ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside);
PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside);
VOID ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);

// ------------------------------------------------------ timer resolution

// DesiredTime in 100 ns units. TRUE adds one request, FALSE takes one back
// (a FALSE without an outstanding request does nothing). While any request
// is outstanding the clock interval is 1 ms (10000), else 15.625 ms
// (156250); returns the interval now in force. The count is readable
// through sim::TimerResolutionRequests().
ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution);

// -------------------------------------------------------- system version

#define NTDDI_WINXP 0x05010000
#define NTDDI_WINXPSP2 0x05010200
#define NTDDI_WS03 0x05020000
#define NTDDI_VISTA 0x06000000
#define NTDDI_WIN7 0x06010000
#define NTDDI_WIN8 0x06020000
#define NTDDI_WINBLUE 0x06030000
#define NTDDI_WIN10 0x0A000000
#define NTDDI_WIN10_NI 0x0A00000C

#define VER_PLATFORM_WIN32_NT 2

typedef struct _OSVERSIONINFOW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *POSVERSIONINFOW, RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;
static_assert(sizeof(RTL_OSVERSIONINFOW) == 276, "RTL_OSVERSIONINFOW is 276 bytes");

typedef struct _OSVERSIONINFOEXW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
    USHORT wServicePackMajor;
    USHORT wServicePackMinor;
    USHORT wSuiteMask;
    UCHAR wProductType;
    UCHAR wReserved;
} OSVERSIONINFOEXW, *POSVERSIONINFOEXW, RTL_OSVERSIONINFOEXW, *PRTL_OSVERSIONINFOEXW;
static_assert(sizeof(RTL_OSVERSIONINFOEXW) == 284, "RTL_OSVERSIONINFOEXW is 284 bytes");

// TRUE when the running system (sim::SetSystemVersion; default Windows 11
// 22H2, NTDDI 0x0A00000C) is at least Version.
BOOLEAN RtlIsNtDdiVersionAvailable(ULONG Version);
// dwOSVersionInfoSize must be the size of one of the two structures, else
// STATUS_INVALID_PARAMETER.
NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW VersionInformation);
// Any pointer may be NULL; CSDVersion gets an empty string. Returns FALSE
// (a free build).
BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                     PUNICODE_STRING CSDVersion);

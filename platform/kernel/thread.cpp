// System threads (PsCreateSystemThread and friends), thread priorities and
// the current process. A system thread's object is a kernel object (type
// "Thread"): its handle and ObReferenceObjectByHandle give the KTHREAD that
// KeWaitForSingleObject waits on; it is signalled when the thread ends.
#include <cstdio>

#include "executor_internal.h"
#include "sim/object.h"
#include "sim/process.h"

namespace {

_OBJECT_TYPE g_threadType{"Thread", nullptr};
_OBJECT_TYPE g_processType{"Process", nullptr};
POBJECT_TYPE g_threadTypePointer = &g_threadType;
POBJECT_TYPE g_processTypePointer = &g_processType;

constexpr ULONG kSystemProcessId = 4;
constexpr ULONG kThreadPoolTag = MakePoolTag("Thre");
std::atomic<ULONG_PTR> g_nextThreadId{100};

KPROCESS g_systemProcess{sim::kProcessSignature, kSystemProcessId, "System", nullptr};

}  // namespace

POBJECT_TYPE* PsThreadType = &g_threadTypePointer;
POBJECT_TYPE* PsProcessType = &g_processTypePointer;

namespace sim::detail {

namespace {

void EndSystemThread(ThreadRecord* r, SystemThreadSlot* slot) {
    TlsSlot& t = Tls();
    if (t.irql != PASSIVE_LEVEL)
        Bugcheck(IRQL_NOT_LESS_OR_EQUAL, "a system thread ended at IRQL " + std::to_string(t.irql));
    if (t.spinLocksHeld != 0) RuleViolation("a system thread ended holding a spin lock");
    if (r->ownedMutexes != 0) RuleViolation("a system thread ended holding a mutex");
    PKTHREAD object = r->kthread;
    {
        std::lock_guard<std::mutex> guard(Lock());
        object->Header.SignalState = 1;
        SatisfyWaiters(&object->Header);
        object->SimThread = nullptr;
        slot->done = true;
    }
    RetireManaged(r);
    ObDereferenceObject(object);  // the running thread's own reference
}

// Joins the system threads that have ended, so a long run does not keep
// them; called without the scheduler lock (an ending thread still takes it).
void ReapEndedThreads() {
    std::vector<std::unique_ptr<SystemThreadSlot>> ended;
    {
        std::lock_guard<std::mutex> guard(Lock());
        auto& slots = Exec().systemThreads;
        for (auto it = slots.begin(); it != slots.end();) {
            if ((*it)->done) {
                ended.push_back(std::move(*it));
                it = slots.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& slot : ended) slot->thread.join();
}

}  // namespace

}  // namespace sim::detail

using namespace sim::detail;

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(ObjectAttributes);
    UNREFERENCED_PARAMETER(ProcessHandle);
    CheckIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
    if (ThreadHandle == nullptr || StartRoutine == nullptr) return STATUS_INVALID_PARAMETER;
    Current();
    ReapEndedThreads();
    auto* object = static_cast<PKTHREAD>(sim::ObCreateObject(*PsThreadType, sizeof(KTHREAD), kThreadPoolTag));
    if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    InitHeader(&object->Header, ThreadObject, 0);
    object->Priority = object->BasePriority = 8;
    object->StartRoutine = reinterpret_cast<PVOID>(StartRoutine);
    object->ThreadId = g_nextThreadId.fetch_add(4);
    HANDLE handle = sim::ObCreateHandle(object);
    if (ClientId) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(kSystemProcessId));
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(object->ThreadId);
    }
    char name[64];
    std::snprintf(name, sizeof name, "system thread %lu (%p)", static_cast<unsigned long>(object->ThreadId),
                  reinterpret_cast<void*>(StartRoutine));
    {
        std::lock_guard<std::mutex> guard(Lock());
        auto slot = std::make_unique<SystemThreadSlot>();
        slot->object = object;
        SystemThreadSlot* s = slot.get();
        auto body = [StartRoutine, StartContext, s](ThreadRecord* r) {
            Tls().process = &g_systemProcess;
            try {
                StartRoutine(StartContext);
            } catch (const ThreadTermination&) {
            }
            EndSystemThread(r, s);
        };
        SpawnManaged(ThreadKind::System, name, object, body, &s->thread);
        Exec().systemThreads.push_back(std::move(slot));
    }
    *ThreadHandle = handle;
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    ThreadRecord* r = CurrentIfManaged();
    if (r == nullptr || r->kind != ThreadKind::System)
        RuleViolation("PsTerminateSystemThread called on a thread PsCreateSystemThread did not start");
    CheckIrqlAtMost(PASSIVE_LEVEL, "PsTerminateSystemThread");
    throw ThreadTermination{ExitStatus};
}

PKTHREAD KeGetCurrentThread() { return Current()->kthread; }
PETHREAD PsGetCurrentThread() { return Current()->kthread; }
HANDLE PsGetCurrentThreadId() { return reinterpret_cast<HANDLE>(Current()->kthread->ThreadId); }

BOOLEAN PsIsSystemThread(PETHREAD Thread) {
    std::lock_guard<std::mutex> guard(Lock());
    ThreadRecord* r = RecordOf(Thread);
    return (r == nullptr || r->kind != ThreadKind::Host) ? TRUE : FALSE;
}

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    if (Thread == nullptr) RuleViolation("KeSetPriorityThread: NULL thread");
    if (Priority < LOW_PRIORITY || Priority > HIGH_PRIORITY)
        RuleViolation("KeSetPriorityThread: priority " + std::to_string(Priority) + " out of range");
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetPriorityThread");
    return __atomic_exchange_n(&Thread->Priority, Priority, __ATOMIC_SEQ_CST);
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) { return __atomic_load_n(&Thread->Priority, __ATOMIC_SEQ_CST); }

ULONG KeGetCurrentProcessorNumber() { return 0; }

ULONG KeQueryActiveProcessorCount(KAFFINITY* ActiveProcessors) {
    ULONG count = sim::StressMode() ? 2 : 1;
    if (ActiveProcessors) *ActiveProcessors = (KAFFINITY(1) << count) - 1;
    return count;
}

// -------------------------------------------------------------- processes

PEPROCESS PsGetCurrentProcess() {
    PEPROCESS p = Tls().process;
    return p ? p : &g_systemProcess;
}

PEPROCESS IoGetCurrentProcess() { return PsGetCurrentProcess(); }

HANDLE PsGetCurrentProcessId() {
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(PsGetCurrentProcess()->ProcessId));
}

namespace sim {

PEPROCESS SystemProcess() { return &g_systemProcess; }

PEPROCESS SetCurrentProcess(PEPROCESS process) {
    PEPROCESS previous = PsGetCurrentProcess();
    detail::Tls().process = process == &g_systemProcess ? nullptr : process;
    return previous;
}

}  // namespace sim

// Simulated user processes: their process records, user event handles, the
// resources they release when they end, and IoIs32bitProcess.
#include <algorithm>
#include <atomic>

#include "nt/ex.h"
#include "nt/pool.h"
#include "platform/kernel/io_internal.h"
#include "sim/iomgr.h"
#include "sim/object.h"
#include "sim/user_process.h"

namespace {

constexpr ULONG kEventTag = MakePoolTag("Even");
std::atomic<ULONG> g_nextProcessId{0x1000};

}  // namespace

namespace sim {

UserProcess::UserProcess(bool is32Bit, const char* name) : is32Bit_(is32Bit), process_{} {
    process_.Signature = kProcessSignature;
    process_.ProcessId = g_nextProcessId.fetch_add(4);
    process_.Name = name;
    process_.Extension = this;
}

UserProcess::~UserProcess() {
    // Handles close in the process, as when it exits: device handles first
    // (the driver cleans up in the process's context), then events.
    ProcessScope scope(&process_);
    while (!resources_.empty()) {
        ProcessResource* resource = resources_.back();
        resources_.pop_back();
        resource->OnProcessExit();
    }
    for (HANDLE handle : handles_) ZwClose(handle);
    handles_.clear();
    size_t left = UserMappingCount();
    if (left != 0)
        Bugcheck(PROCESS_HAS_LOCKED_PAGES,
                 "process " + std::to_string(process_.ProcessId) + " ended with " +
                     std::to_string(left) + " user mapping(s) a driver never undid");
    magic_ = 0;
}

HANDLE UserProcess::CreateEvent(bool manualReset, bool initialState) {
    auto* event = static_cast<PKEVENT>(ObCreateObject(*ExEventObjectType, sizeof(KEVENT), kEventTag));
    if (event == NULL) return NULL;
    KeInitializeEvent(event, manualReset ? NotificationEvent : SynchronizationEvent,
                      initialState ? TRUE : FALSE);
    HANDLE handle = ObCreateHandle(event);
    ObDereferenceObject(event);  // the handle holds the object now
    handles_.push_back(handle);
    return handle;
}

PKEVENT UserProcess::EventObject(HANDLE handle) const {
    if (std::find(handles_.begin(), handles_.end(), handle) == handles_.end()) return NULL;
    return static_cast<PKEVENT>(ObLookupHandle(handle, *ExEventObjectType));
}

bool UserProcess::IsEventSignalled(HANDLE handle) const {
    PKEVENT event = EventObject(handle);
    return event != NULL && KeReadStateEvent(event) != 0;
}

NTSTATUS UserProcess::CloseHandle(HANDLE handle) {
    auto it = std::find(handles_.begin(), handles_.end(), handle);
    if (it == handles_.end()) return STATUS_INVALID_HANDLE;
    handles_.erase(it);
    return ZwClose(handle);
}

size_t UserProcess::UserMappingCount() { return sim::UserMappingCount(&process_); }

void UserProcess::Track(ProcessResource* resource) { resources_.push_back(resource); }

void UserProcess::Untrack(ProcessResource* resource) {
    resources_.erase(std::remove(resources_.begin(), resources_.end(), resource), resources_.end());
}

UserProcess* UserProcessOf(PEPROCESS process) {
    if (process == NULL || process->Signature != kProcessSignature || process->Extension == NULL)
        return nullptr;
    auto* user = static_cast<UserProcess*>(process->Extension);
    return user->magic_ == UserProcess::kMagic ? user : nullptr;
}

bool Is32BitProcess(PEPROCESS process) {
    UserProcess* user = UserProcessOf(process);
    return user != nullptr && user->Is32Bit();
}

void IoSetRequestorProcess(PIRP irp, PEPROCESS process) {
    CheckIrp(irp, "IoSetRequestorProcess");
    irp->IoManager.RequestorProcess = process;
    irp->RequestorMode = process != NULL ? UserMode : KernelMode;
}

void IoResetTestState() {
    ResetMappingFailures();
    ResetPowerFailures();
}

}  // namespace sim

BOOLEAN IoIs32bitProcess(PIRP Irp) {
    PEPROCESS process;
    if (Irp != NULL) {
        sim::CheckIrp(Irp, "IoIs32bitProcess");
        process = static_cast<PEPROCESS>(Irp->IoManager.RequestorProcess);
    } else {
        process = PsGetCurrentProcess();
    }
    return sim::Is32BitProcess(process) ? TRUE : FALSE;
}

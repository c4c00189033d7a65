// Simulated user processes and the memory drivers map into them.
//
// A user process has its process record, user event handles and the
// resources (device handles) it releases when it ends. All processes share
// the host's address space, but a user mapping of pool pages is an alias of
// them at an address of its own (below 4 GiB in a 32-bit process), so the
// kernel address never reaches user mode; memory that is not a pool block
// of whole pages cannot be aliased and maps to itself. Each user mapping is
// recorded with its process so that the platform's rules can be checked:
// unmap in the process that mapped, unmap before the MDL is freed and
// before the process ends.
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "nt/ex.h"
#include "nt/ke.h"
#include "nt/pool.h"
#include "nt/ps.h"
#include "platform/kernel/io_internal.h"
#include "sim/iomgr.h"
#include "sim/object.h"
#include "sim/pool.h"
#include "sim/user_process.h"

namespace {

constexpr ULONG kMdlTag = MakePoolTag("Mdl ");

struct UserMapping {
    PMDL mdl;
    PEPROCESS process;
    PVOID address;
    void* alias;  // the aliased pages, or NULL for a mapping of the memory itself
    size_t aliasBytes;
};

std::mutex g_lock;
std::vector<UserMapping> g_mappings;
int g_failUserMappings = 0;

PVOID DescribedAddress(PMDL Mdl) { return MmGetMdlVirtualAddress(Mdl); }

std::string ProcessText(PEPROCESS process) {
    return std::to_string(process->ProcessId) + " (" + (process->Name ? process->Name : "?") + ")";
}

// A second mapping of the MDL's whole pages (below 4 GiB for a 32-bit
// process); NULL when they are not pool pages of their own.
void* AliasPages(PMDL Mdl, bool low, size_t* bytes) {
    *bytes = (Mdl->ByteOffset + Mdl->ByteCount + PAGE_SIZE - 1) & ~size_t(PAGE_SIZE - 1);
    if (!sim::PoolPagesAliasable(Mdl->StartVa, *bytes)) return nullptr;
    void* alias;
    if (low) {
        void* slot = mmap(nullptr, *bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
        if (slot == MAP_FAILED) throw NT_EXCEPTION{STATUS_INSUFFICIENT_RESOURCES};
        alias = mremap(Mdl->StartVa, 0, *bytes, MREMAP_MAYMOVE | MREMAP_FIXED, slot);
        if (alias == MAP_FAILED) munmap(slot, *bytes);
    } else {
        alias = mremap(Mdl->StartVa, 0, *bytes, MREMAP_MAYMOVE);
    }
    if (alias == MAP_FAILED) throw NT_EXCEPTION{STATUS_INSUFFICIENT_RESOURCES};
    return alias;
}

PVOID MapIntoUserProcess(PMDL Mdl, PVOID RequestedAddress) {
    sim::RequireIrqlAtMost(APC_LEVEL, "MmMapLockedPagesSpecifyCache(UserMode)");
    PEPROCESS process = PsGetCurrentProcess();
    if (sim::UserProcessOf(process) == nullptr)
        sim::Bugcheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                      "MmMapLockedPagesSpecifyCache(UserMode) called outside a user process");
    if (RequestedAddress != NULL)
        sim::Bugcheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                      "MmMapLockedPagesSpecifyCache: a requested user address is not emulated");
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_failUserMappings > 0) {
        --g_failUserMappings;
        throw NT_EXCEPTION{STATUS_INSUFFICIENT_RESOURCES};
    }
    size_t bytes = 0;
    void* alias = AliasPages(Mdl, sim::Is32BitProcess(process), &bytes);
    PVOID address = alias != nullptr ? static_cast<PUCHAR>(alias) + Mdl->ByteOffset : DescribedAddress(Mdl);
    g_mappings.push_back(UserMapping{Mdl, process, address, alias, bytes});
    return address;
}

// Removes the user mapping of Mdl at BaseAddress made in the current
// process. False when there is none at all.
bool UnmapFromUserProcess(PVOID BaseAddress, PMDL Mdl) {
    PEPROCESS current = PsGetCurrentProcess();
    std::lock_guard<std::mutex> guard(g_lock);
    const UserMapping* other = nullptr;
    for (auto it = g_mappings.begin(); it != g_mappings.end(); ++it) {
        if (it->mdl != Mdl || it->address != BaseAddress) continue;
        if (it->process == current) {
            if (it->alias != nullptr) munmap(it->alias, it->aliasBytes);
            g_mappings.erase(it);
            return true;
        }
        other = &*it;
    }
    if (other != nullptr)
        sim::Bugcheck(PROCESS_HAS_LOCKED_PAGES,
                      "MmUnmapLockedPages of MDL " + sim::Hex(Mdl) + " in process " +
                          ProcessText(current) + ", but it was mapped in process " +
                          ProcessText(other->process));
    return false;
}

}  // namespace

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                   BOOLEAN ChargeQuota, struct _IRP* Irp) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
    auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(MDL), kMdlTag));
    if (mdl == NULL) return NULL;
    ULONG_PTR va = reinterpret_cast<ULONG_PTR>(VirtualAddress);
    *mdl = MDL{};
    mdl->Size = static_cast<CSHORT>(sizeof(MDL));
    mdl->StartVa = reinterpret_cast<PVOID>(va & ~ULONG_PTR(PAGE_SIZE - 1));
    mdl->ByteOffset = static_cast<ULONG>(va & (PAGE_SIZE - 1));
    mdl->ByteCount = Length;
    if (Irp != NULL) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL* link = &Irp->MdlAddress;
            while (*link != NULL) link = &(*link)->Next;
            *link = mdl;
        }
    }
    return mdl;
}

VOID IoFreeMdl(PMDL Mdl) {
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeMdl");
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (const auto& mapping : g_mappings)
            if (mapping.mdl == Mdl)
                sim::Bugcheck(PROCESS_HAS_LOCKED_PAGES,
                              "IoFreeMdl of MDL " + sim::Hex(Mdl) +
                                  ", which is still mapped into process " +
                                  ProcessText(mapping.process));
    }
    ExFreePoolWithTag(Mdl, kMdlTag);
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MappedSystemVa = DescribedAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                   ULONG BugCheckOnFailure, ULONG Priority) {
    UNREFERENCED_PARAMETER(CacheType);
    UNREFERENCED_PARAMETER(BugCheckOnFailure);
    UNREFERENCED_PARAMETER(Priority);
    PMDL mdl = MemoryDescriptorList;
    if (!(mdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_PAGES_LOCKED)))
        sim::Bugcheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                      "MmMapLockedPagesSpecifyCache: MDL " + sim::Hex(mdl) +
                          " describes pages that are not resident");
    if (AccessMode == UserMode) return MapIntoUserProcess(mdl, RequestedAddress);
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "MmMapLockedPagesSpecifyCache(KernelMode)");
    if (!(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL)) {
        mdl->MappedSystemVa = DescribedAddress(mdl);
        mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    }
    return mdl->MappedSystemVa;
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
    PMDL mdl = MemoryDescriptorList;
    if (UnmapFromUserProcess(BaseAddress, mdl)) return;
    // A system mapping: nothing was really mapped for resident pool.
    if ((mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) &&
        BaseAddress == mdl->MappedSystemVa) {
        mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
        return;
    }
    sim::Bugcheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                  "MmUnmapLockedPages: " + sim::Hex(BaseAddress) + " is no mapping of MDL " +
                      sim::Hex(mdl));
}

PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
    UNREFERENCED_PARAMETER(Priority);
    if (!(Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))) {
        Mdl->MappedSystemVa = DescribedAddress(Mdl);
        Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    }
    return Mdl->MappedSystemVa;
}

namespace sim {

void MmFailUserMappings(int count) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_failUserMappings = count;
}

size_t UserMappingCount(PEPROCESS process) {
    std::lock_guard<std::mutex> guard(g_lock);
    size_t n = 0;
    for (const auto& mapping : g_mappings) n += mapping.process == process ? 1 : 0;
    return n;
}

void ResetMappingFailures() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_failUserMappings = 0;
}

}  // namespace sim

// ----------------------------------------------------------- processes

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
    HANDLE handle = ObCreateHandle(event, &process_);
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
    ProcessScope scope(&process_);
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

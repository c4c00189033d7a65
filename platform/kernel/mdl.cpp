// MDLs and their mappings. There is one address space: a mapping returns
// the described memory itself, but each user mapping is recorded with its
// process so that the platform's rules can be checked: unmap in the
// process that mapped, unmap before the MDL is freed and before the
// process ends.
#include <mutex>
#include <vector>

#include "nt/ke.h"
#include "nt/pool.h"
#include "nt/ps.h"
#include "platform/kernel/io_internal.h"
#include "sim/iomgr.h"
#include "sim/user_process.h"

namespace {

constexpr ULONG kMdlTag = MakePoolTag("Mdl ");

struct UserMapping {
    PMDL mdl;
    PEPROCESS process;
    PVOID address;
};

std::mutex g_lock;
std::vector<UserMapping> g_mappings;
int g_failUserMappings = 0;

PVOID DescribedAddress(PMDL Mdl) { return MmGetMdlVirtualAddress(Mdl); }

std::string ProcessText(PEPROCESS process) {
    return std::to_string(process->ProcessId) + " (" + (process->Name ? process->Name : "?") + ")";
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
    PVOID address = DescribedAddress(Mdl);
    g_mappings.push_back(UserMapping{Mdl, process, address});
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

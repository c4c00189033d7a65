// Memory descriptor lists and mapping of resident memory into the calling
// user process.
//
// The stand-in has one address space: a user-mode mapping returns the same
// memory as the system address, but every mapping is recorded with the
// process it was made in, so an unmap from another process, an MDL freed
// while still mapped, or a process that ends with a mapping left behind is
// caught loudly (it would crash the platform).
#pragma once

#include "nt/status.h"

struct _IRP;
struct _EPROCESS;

typedef SHORT CSHORT;

#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12

typedef struct _MDL {
    struct _MDL* Next;        // chained MDLs of one IRP (secondary buffers)
    CSHORT Size;              // bytes of this structure
    CSHORT MdlFlags;          // MDL_*
    struct _EPROCESS* Process;
    PVOID MappedSystemVa;     // valid with MDL_MAPPED_TO_SYSTEM_VA or _SOURCE_IS_NONPAGED_POOL
    PVOID StartVa;            // page-aligned start of the described range
    ULONG ByteCount;          // bytes described
    ULONG ByteOffset;         // offset of the first byte within StartVa's page
} MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_WRITE_OPERATION 0x0080

typedef enum _MEMORY_CACHING_TYPE {
    MmNonCached = 0,
    MmCached = 1,
    MmWriteCombined = 2
} MEMORY_CACHING_TYPE;

typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority = 0,
    NormalPagePriority = 16,
    HighPagePriority = 32
} MM_PAGE_PRIORITY;

// Flags that may be or'ed into the priority argument.
#define MdlMappingNoWrite 0x80000000
#define MdlMappingNoExecute 0x40000000

// A structured exception raised by the platform (a user-mode mapping that
// fails). Driver code catches it where the platform needs __try/__except:
//     try { ... } catch (const NT_EXCEPTION& e) { status = e.ExceptionCode; }
struct NT_EXCEPTION {
    NTSTATUS ExceptionCode;
};

// Allocates an MDL describing Length bytes at VirtualAddress. With an Irp,
// the MDL becomes Irp->MdlAddress (SecondaryBuffer FALSE) or is chained
// after it (TRUE). NULL without memory. IRQL <= DISPATCH_LEVEL.
PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                   BOOLEAN ChargeQuota, struct _IRP* Irp);
// Frees an MDL. It must not be mapped into any user process any more.
VOID IoFreeMdl(PMDL Mdl);
// Completes an MDL for resident (non-paged) pool: the system address is the
// described address itself.
VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);

// KernelMode: the system address (NULL on failure when BugCheckOnFailure is
// FALSE). UserMode: maps into the current user process and returns the user
// address; IRQL <= APC_LEVEL, the caller must run in a user process's
// context (a dispatch routine for a user request), and a failure raises
// NT_EXCEPTION whatever BugCheckOnFailure says.
PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                   ULONG BugCheckOnFailure, ULONG Priority);
// Undoes a mapping. A user mapping must be undone in the process that made
// it (IRP_MJ_CLEANUP runs there; IRP_MJ_CLOSE may not).
VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);

inline PVOID MmGetMdlVirtualAddress(PMDL Mdl) {
    return static_cast<PVOID>(static_cast<PUCHAR>(Mdl->StartVa) + Mdl->ByteOffset);
}
inline ULONG MmGetMdlByteCount(PMDL Mdl) { return Mdl->ByteCount; }
inline ULONG MmGetMdlByteOffset(PMDL Mdl) { return Mdl->ByteOffset; }

// The system address of the described memory, mapping it when needed;
// NULL on failure.
PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority);

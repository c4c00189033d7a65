// The user-mode mapping of a ring: the platform raises a structured
// exception when it cannot map, which the kernel catches with
// __try/__except. Here it arrives as NT_EXCEPTION, so this one file is
// compiled with exceptions (CMakeLists.txt); nothing else may throw.
#include "stream/asio/asio_ring.h"

#include "nt/mm.h"

NTSTATUS AsioMapIntoProcess(PMDL mdl, PVOID* user) {
    *user = NULL;
    try {
        *user = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, NULL, FALSE,
                                             HighPagePriority | MdlMappingNoExecute);
    } catch (const NT_EXCEPTION& e) {
        return e.ExceptionCode;
    }
    return *user != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

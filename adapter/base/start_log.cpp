// The start-failure lines.
#include "adapter/base/start_log.h"

#include "nt/dbg.h"

NTSTATUS LogStartFailure(const char* step, NTSTATUS status) {
    if (!NT_SUCCESS(status))
        DbgPrint("start: %s failed (status %x); the device is not started\n", step, (unsigned)status);
    return status;
}

NTSTATUS LogInterfaceStartFailure(ULONG interfaceNumber, const char* step, NTSTATUS status) {
    if (!NT_SUCCESS(status))
        DbgPrint("interface %u: %s failed (status %x); the device is not started\n", (unsigned)interfaceNumber, step,
                 (unsigned)status);
    return status;
}

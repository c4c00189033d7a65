// Simulated user-mode processes: the callers of the driver's private
// interfaces (a 32-bit or 64-bit client). A process owns user event handles
// and the device handles opened in it; when it ends it closes them (so the
// driver sees IRP_MJ_CLEANUP and IRP_MJ_CLOSE in the process) and then
// bugchecks when a driver left a user mapping in it, as the platform does.
//
//   sim::UserProcess client(/*is32Bit=*/true);
//   HANDLE event = client.CreateEvent(false, false);
//   { auto scope = client.Enter(); /* driver calls see client as current */ }
#pragma once

#include <vector>

#include "nt/ke.h"
#include "sim/process.h"

namespace sim {

// Something that must be released before its process ends (an open device
// handle of the ioctl harness).
class ProcessResource {
public:
    virtual void OnProcessExit() = 0;

protected:
    ~ProcessResource() = default;
};

class UserProcess {
public:
    explicit UserProcess(bool is32Bit = false, const char* name = "client.exe");
    ~UserProcess();
    UserProcess(const UserProcess&) = delete;
    UserProcess& operator=(const UserProcess&) = delete;

    PEPROCESS Process() { return &process_; }
    bool Is32Bit() const { return is32Bit_; }
    // Makes this process current on the calling thread for the scope.
    ProcessScope Enter() { return ProcessScope(&process_); }

    // A user-mode event (CreateEvent): a handle to an event object that a
    // driver references with ObReferenceObjectByHandle(handle, ...,
    // *ExEventObjectType, UserMode, ...).
    HANDLE CreateEvent(bool manualReset, bool initialState);
    // The event behind a handle of this process (no reference), or NULL.
    PKEVENT EventObject(HANDLE handle) const;
    bool IsEventSignalled(HANDLE handle) const;
    NTSTATUS CloseHandle(HANDLE handle);

    // User mappings (MmMapLockedPagesSpecifyCache, UserMode) made in this
    // process and not yet undone.
    size_t UserMappingCount();

    void Track(ProcessResource* resource);
    void Untrack(ProcessResource* resource);

private:
    friend UserProcess* UserProcessOf(PEPROCESS process);
    static constexpr ULONG kMagic = 0x72657355;  // "User"
    ULONG magic_ = kMagic;
    bool is32Bit_;
    KPROCESS process_;
    std::vector<HANDLE> handles_;
    std::vector<ProcessResource*> resources_;
};

// TRUE for a simulated 32-bit user process.
bool Is32BitProcess(PEPROCESS process);
// The UserProcess behind a process record, or nullptr (the system process).
UserProcess* UserProcessOf(PEPROCESS process);

}  // namespace sim

// The ioctl harness: what a user-mode client does with a device handle.
// It opens a file object on a device interface (or on a device with a
// reference string), sends device-control requests the way the I/O manager
// builds them for DeviceIoControl, and closes the handle (IRP_MJ_CLEANUP,
// then IRP_MJ_CLOSE). Every request runs on the calling thread in the
// context of the client's simulated process (32-bit or 64-bit) and is
// checked against the completion contract (sim/send_irp.h).
//
//   sim::UserProcess client(/*is32Bit=*/false);
//   sim::UserHandle asio(client);
//   ASSERT_EQ(asio.OpenInterface(link), STATUS_SUCCESS);   // FileName "\<reference>"
//   ULONG flag = 0;
//   sim::IoctlResult r = asio.DeviceIoControl(IOCTL_X, nullptr, 0, &flag, sizeof(flag));
//   EXPECT_EQ(r.status, STATUS_SUCCESS);
//   asio.Close();
//
// METHOD_BUFFERED transfer, as the I/O manager does it:
//   - the system buffer has max(in, out) bytes; the input is copied in and
//     the rest is filled with the poison byte 0xCD; a guard area after it is
//     checked when the request completes (a driver that wrote past the
//     buffer is reported, see sim/violation.h);
//   - an error status copies nothing back;
//   - any other status copies min(Information, out) bytes back;
//   - a success with Information above the output length is reported
//     (the platform would write past the caller's buffer); a warning such as
//     STATUS_BUFFER_OVERFLOW may report a larger Information (the size the
//     caller needs), which is returned as is.
// METHOD_NEITHER passes the caller's pointers (Type3InputBuffer and
// UserBuffer). The direct methods are not emulated (reported, and the
// request fails with STATUS_NOT_IMPLEMENTED).
#pragma once

#include <string>

#include "nt/io.h"
#include "sim/user_process.h"

namespace sim {

struct IoctlResult {
    NTSTATUS status;        // the request's final status
    ULONG_PTR information;  // IoStatus.Information as the driver left it
    ULONG bytesCopied;      // bytes copied into the caller's output buffer
};

constexpr uint8_t kSystemBufferPoison = 0xCD;

class UserHandle final : public ProcessResource {
public:
    explicit UserHandle(UserProcess& process) : process_(process) {}
    // Closes the handle when it is still open.
    ~UserHandle();
    UserHandle(const UserHandle&) = delete;
    UserHandle& operator=(const UserHandle&) = delete;

    // Opens a registered interface by its symbolic link. A link that is not
    // registered or not enabled gives STATUS_OBJECT_NAME_NOT_FOUND without a
    // request. The file name is "\<reference string>" (empty without one);
    // the file object's device is the interface's PDO.
    NTSTATUS OpenInterface(const std::u16string& symbolicLink);
    // Opens `device` (any device of a stack; the create goes to its top)
    // with FileName `fileName` and an optional related file object.
    NTSTATUS OpenDevice(PDEVICE_OBJECT device, const std::u16string& fileName,
                        PFILE_OBJECT related = NULL);
    IoctlResult DeviceIoControl(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength);
    // IRP_MJ_CLEANUP then IRP_MJ_CLOSE; returns the cleanup's status.
    NTSTATUS Close();

    bool IsOpen() const { return file_ != NULL; }
    PFILE_OBJECT FileObject() const { return file_; }
    UserProcess& Process() const { return process_; }

    void OnProcessExit() override { Close(); }

private:
    IoctlResult Buffered(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength);
    IoctlResult Neither(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength);
    NTSTATUS SendFileRequest(UCHAR majorFunction);

    UserProcess& process_;
    PFILE_OBJECT file_ = NULL;
    PDEVICE_OBJECT target_ = NULL;  // the device the name resolved to (referenced by file_)
};

}  // namespace sim

// The ioctl harness: a user-mode client's handle on a device.
#include "sim/ioctl_harness.h"

#include <cstring>

#include "harness_text.h"
#include "nt/ke.h"
#include "nt/pool.h"
#include "sim/iomgr.h"
#include "sim/send_irp.h"
#include "sim/violation.h"

namespace sim {

namespace {

constexpr ULONG kSystemBufferTag = MakePoolTag("IoSB");
// Bytes after the system buffer that a well-behaved driver never touches.
constexpr ULONG kGuardBytes = 32;
constexpr uint8_t kGuardByte = 0x5A;

std::string CodeText(ULONG code) { return harness::HexText(code); }

// What DeviceIoControl gets back: the buffered output rules of the I/O
// manager applied to a completed request.
ULONG CopyBack(ULONG code, const IrpOutcome& outcome, const PUCHAR systemBuffer, void* out,
               ULONG outLength) {
    NTSTATUS status = outcome.ioStatus.Status;
    ULONG_PTR information = outcome.ioStatus.Information;
    if (NT_ERROR(status)) return 0;
    if (information > outLength && !NT_WARNING(status))
        SIM_VIOLATION("IOCTL " + CodeText(code) + " succeeded with Information " + std::to_string(information) +
                      " above the output length " + std::to_string(outLength));
    ULONG copy = static_cast<ULONG>(information < outLength ? information : outLength);
    if (copy != 0 && systemBuffer != NULL) std::memcpy(out, systemBuffer, copy);
    return copy;
}

}  // namespace

UserHandle::~UserHandle() {
    if (file_ != NULL) Close();
}

NTSTATUS UserHandle::OpenInterface(const std::u16string& symbolicLink) {
    DeviceInterface found;
    if (!IoFindDeviceInterface(symbolicLink, &found) || !found.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::u16string fileName = found.referenceString.empty() ? u"" : u"\\" + found.referenceString;
    return OpenDevice(found.pdo, fileName);
}

NTSTATUS UserHandle::OpenDevice(PDEVICE_OBJECT device, const std::u16string& fileName, PFILE_OBJECT related) {
    if (file_ != NULL) {
        SIM_VIOLATION("the handle is already open");
        return STATUS_UNSUCCESSFUL;
    }
    PFILE_OBJECT file = IoCreateFileObject(device, fileName, related);
    if (file == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    ProcessScope scope = process_.Enter();
    IrpOutcome outcome = SendIrp(device, [&](PIRP irp, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_CREATE;
        sp->FileObject = file;
        sp->Parameters.Create.Options = ULONG(FILE_OPEN) << 24;
        sp->Parameters.Create.ShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
        irp->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
        irp->Tail.Overlay.OriginalFileObject = file;
        IoSetRequestorProcess(irp, process_.Process());
    });
    NTSTATUS status = outcome.ioStatus.Status;
    if (!outcome.completed) return STATUS_PENDING;  // reported; the file object stays with the IRP
    if (!NT_SUCCESS(status)) {
        // A failed create never sees cleanup or close.
        ObDereferenceObject(file);
        return status;
    }
    file_ = file;
    target_ = device;
    InterlockedIncrement(&device->ReferenceCount);
    process_.Track(this);
    return status;
}

NTSTATUS UserHandle::SendFileRequest(UCHAR majorFunction) {
    return SendIrp(target_, [&](PIRP irp, PIO_STACK_LOCATION sp) {
               sp->MajorFunction = majorFunction;
               sp->FileObject = file_;
               irp->Flags = IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
               irp->Tail.Overlay.OriginalFileObject = file_;
               IoSetRequestorProcess(irp, process_.Process());
           }).ioStatus.Status;
}

NTSTATUS UserHandle::Close() {
    if (file_ == NULL) return STATUS_INVALID_HANDLE;
    NTSTATUS status;
    {
        ProcessScope scope = process_.Enter();
        status = SendFileRequest(IRP_MJ_CLEANUP);
        SendFileRequest(IRP_MJ_CLOSE);
    }
    InterlockedDecrement(&target_->ReferenceCount);
    process_.Untrack(this);
    ObDereferenceObject(file_);
    file_ = NULL;
    target_ = NULL;
    return status;
}

IoctlResult UserHandle::DeviceIoControl(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength) {
    if (file_ == NULL) {
        SIM_VIOLATION("DeviceIoControl on a handle that is not open");
        return IoctlResult{STATUS_INVALID_HANDLE, 0, 0};
    }
    switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: return Buffered(code, in, inLength, out, outLength);
    case METHOD_NEITHER: return Neither(code, in, inLength, out, outLength);
    default:
        SIM_VIOLATION("IOCTL " + CodeText(code) + ": direct I/O is not emulated");
        return IoctlResult{STATUS_NOT_IMPLEMENTED, 0, 0};
    }
}

IoctlResult UserHandle::Buffered(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength) {
    ULONG size = inLength > outLength ? inLength : outLength;
    PUCHAR buffer = NULL;
    if (size != 0) {
        buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, size + kGuardBytes, kSystemBufferTag));
        if (buffer == NULL) return IoctlResult{STATUS_INSUFFICIENT_RESOURCES, 0, 0};
        if (inLength != 0) std::memcpy(buffer, in, inLength);
        std::memset(buffer + inLength, kSystemBufferPoison, size - inLength);
        std::memset(buffer + size, kGuardByte, kGuardBytes);
    }
    ProcessScope scope = process_.Enter();
    IrpOutcome outcome = SendIrp(target_, [&](PIRP irp, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        sp->FileObject = file_;
        sp->Parameters.DeviceIoControl.OutputBufferLength = outLength;
        sp->Parameters.DeviceIoControl.InputBufferLength = inLength;
        sp->Parameters.DeviceIoControl.IoControlCode = code;
        sp->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(in);
        irp->AssociatedIrp.SystemBuffer = buffer;
        irp->UserBuffer = out;
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (outLength != 0 ? IRP_INPUT_OPERATION : 0);
        irp->Tail.Overlay.OriginalFileObject = file_;
        IoSetRequestorProcess(irp, process_.Process());
    });
    if (!outcome.completed) return IoctlResult{STATUS_PENDING, 0, 0};  // reported; the buffer stays with the IRP
    IoctlResult result{outcome.ioStatus.Status, outcome.ioStatus.Information, 0};
    if (buffer != NULL) {
        for (ULONG i = 0; i < kGuardBytes; ++i) {
            if (buffer[size + i] == kGuardByte) continue;
            SIM_VIOLATION("IOCTL " + CodeText(code) + " wrote past its " + std::to_string(size) +
                          "-byte system buffer (guard byte " + std::to_string(i) + " is " +
                          harness::HexText(buffer[size + i], 2) + ", expected " + harness::HexText(kGuardByte, 2) + ")");
            break;
        }
    }
    result.bytesCopied = CopyBack(code, outcome, buffer, out, outLength);
    if (buffer != NULL) ExFreePoolWithTag(buffer, kSystemBufferTag);
    return result;
}

IoctlResult UserHandle::Neither(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength) {
    ProcessScope scope = process_.Enter();
    IrpOutcome outcome = SendIrp(target_, [&](PIRP irp, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        sp->FileObject = file_;
        sp->Parameters.DeviceIoControl.OutputBufferLength = outLength;
        sp->Parameters.DeviceIoControl.InputBufferLength = inLength;
        sp->Parameters.DeviceIoControl.IoControlCode = code;
        sp->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(in);
        irp->UserBuffer = out;
        irp->Tail.Overlay.OriginalFileObject = file_;
        IoSetRequestorProcess(irp, process_.Process());
    });
    if (!outcome.completed) return IoctlResult{STATUS_PENDING, 0, 0};
    // The driver wrote the caller's buffer itself; only the size rule applies.
    return IoctlResult{outcome.ioStatus.Status, outcome.ioStatus.Information,
                       CopyBack(code, outcome, NULL, out, outLength)};
}

}  // namespace sim

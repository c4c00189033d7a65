// File stand-in: read-only files below "\SystemRoot\", mapped to a host
// directory, opened through kernel handles.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <new>
#include <vector>

#include "nt/ke.h"
#include "nt/rtl.h"
#include "nt/zw.h"
#include "sim/files.h"
#include "sim/object.h"
#include "sim/strings.h"

namespace {

namespace fs = std::filesystem;

constexpr ULONG kFileObjectTag = MakePoolTag("File");
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                     DELETE | GENERIC_WRITE | GENERIC_ALL | 0x00040000 /* WRITE_DAC */ |
                                     0x00080000 /* WRITE_OWNER */;
constexpr char16_t kSystemRootPrefix[] = u"\\SystemRoot\\";

struct FileBody {
    int fd;
    ACCESS_MASK access;
    bool kernel;       // OBJ_KERNEL_HANDLE: access not checked
    bool synchronous;  // keeps a current position
    std::mutex lock;   // guards position
    uint64_t position = 0;
};

void DeleteFileBody(PVOID body) {
    auto* file = static_cast<FileBody*>(body);
    close(file->fd);
    file->~FileBody();
}

_OBJECT_TYPE g_fileObjectType{"File", DeleteFileBody};

std::mutex g_rootLock;
std::string g_systemRoot;

bool SameFolded(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) return false;
    return true;
}

// A name element that cannot leave its directory or mean something else on
// the host: no ".", "..", separators, wildcards or control characters.
bool ValidElement(std::u16string_view name) {
    if (name.empty() || name == u"." || name == u"..") return false;
    for (char16_t c : name)
        if (c < 0x20 || std::u16string_view(u"/\\:*?\"<>|").find(c) != std::u16string_view::npos) return false;
    return true;
}

// The directory entry whose name matches `element` without case.
bool FindEntry(const fs::path& dir, std::u16string_view element, fs::path& found) {
    std::error_code ec;
    fs::path exact = dir / sim::ToUtf8(element);
    if (fs::exists(exact, ec)) {
        found = exact;
        return true;
    }
    std::vector<fs::path> matches;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        if (SameFolded(sim::FromUtf8(entry.path().filename().string()), element)) matches.push_back(entry.path());
    if (matches.empty()) return false;
    std::sort(matches.begin(), matches.end());
    found = matches.front();
    return true;
}

// Maps "\SystemRoot\a\b" to a host path of an existing regular file.
NTSTATUS MapName(std::u16string_view name, fs::path& hostPath) {
    std::u16string_view prefix(kSystemRootPrefix);
    if (name.size() < prefix.size() || !SameFolded(name.substr(0, prefix.size()), prefix))
        return STATUS_OBJECT_PATH_NOT_FOUND;
    fs::path dir;
    {
        std::lock_guard<std::mutex> guard(g_rootLock);
        if (g_systemRoot.empty()) return STATUS_OBJECT_PATH_NOT_FOUND;
        dir = g_systemRoot;
    }
    std::vector<std::u16string_view> elements;
    for (size_t start = prefix.size();;) {
        size_t end = name.find(u'\\', start);
        elements.push_back(name.substr(start, end == name.npos ? name.npos : end - start));
        if (end == name.npos) break;
        start = end + 1;
    }
    for (auto element : elements)
        if (!ValidElement(element)) return STATUS_OBJECT_NAME_INVALID;
    std::error_code ec;
    for (size_t i = 0; i + 1 < elements.size(); ++i) {
        if (!FindEntry(dir, elements[i], dir) || !fs::is_directory(dir, ec)) return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    if (!FindEntry(dir, elements.back(), hostPath)) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (fs::is_directory(hostPath, ec)) return STATUS_FILE_IS_A_DIRECTORY;
    if (!fs::is_regular_file(hostPath, ec)) return STATUS_OBJECT_NAME_NOT_FOUND;
    return STATUS_SUCCESS;
}

NTSTATUS CheckCreateArguments(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES oa, PIO_STATUS_BLOCK iosb,
                              ULONG disposition, ULONG options) {
    if (handle == nullptr || oa == nullptr || iosb == nullptr || oa->ObjectName == nullptr) return STATUS_INVALID_PARAMETER;
    const UNICODE_STRING* name = oa->ObjectName;
    if (name->Length % 2 != 0 || name->Length > name->MaximumLength || (name->Buffer == nullptr && name->Length != 0))
        return STATUS_INVALID_PARAMETER;
    if (oa->RootDirectory != nullptr || (options & FILE_DIRECTORY_FILE)) return STATUS_NOT_SUPPORTED;
    if ((access & kWriteRights) || disposition != FILE_OPEN) return STATUS_ACCESS_DENIED;
    return STATUS_SUCCESS;
}

// A file handle referenced for the length of one call.
class FileRef {
public:
    ~FileRef() {
        if (body_) ObDereferenceObject(body_);
    }
    NTSTATUS Open(HANDLE handle) {
        PVOID object = nullptr;
        NTSTATUS status = ObReferenceObjectByHandle(handle, 0, &g_fileObjectType, KernelMode, &object, nullptr);
        if (NT_SUCCESS(status)) body_ = static_cast<FileBody*>(object);
        return status;
    }
    FileBody* operator->() { return body_; }

private:
    FileBody* body_ = nullptr;
};

bool UseCurrentPosition(PLARGE_INTEGER offset) {
    return offset == nullptr || (offset->u.HighPart == -1 && offset->u.LowPart == FILE_USE_FILE_POINTER_POSITION);
}

uint64_t FileSize(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                      ULONG EaLength) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(AllocationSize);
    UNREFERENCED_PARAMETER(FileAttributes);
    UNREFERENCED_PARAMETER(ShareAccess);
    UNREFERENCED_PARAMETER(EaBuffer);
    UNREFERENCED_PARAMETER(EaLength);
    NTSTATUS status =
        CheckCreateArguments(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, CreateDisposition, CreateOptions);
    if (!NT_SUCCESS(status)) return status;
    const UNICODE_STRING* name = ObjectAttributes->ObjectName;
    fs::path hostPath;
    status = MapName(std::u16string_view(name->Buffer ? name->Buffer : u"", name->Length / sizeof(WCHAR)), hostPath);
    if (!NT_SUCCESS(status)) return status;
    int fd = open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return STATUS_ACCESS_DENIED;
    PVOID body = sim::ObCreateObject(&g_fileObjectType, sizeof(FileBody), kFileObjectTag);
    if (body == nullptr) {
        close(fd);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ACCESS_MASK access = DesiredAccess;
    if (access & (GENERIC_READ | MAXIMUM_ALLOWED)) access |= FILE_GENERIC_READ;
    bool synchronous = CreateOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT);
    new (body) FileBody{fd, access, (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0, synchronous, {}, 0};
    *FileHandle = sim::ObCreateHandle(body);
    ObDereferenceObject(body);  // the handle holds the object now
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = FILE_OPENED;
    return STATUS_SUCCESS;
}

NTSTATUS ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                    PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions) {
    return ZwCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0, ShareAccess, FILE_OPEN,
                        OpenOptions, nullptr, 0);
}

NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                    PULONG Key) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Event);
    UNREFERENCED_PARAMETER(ApcRoutine);
    UNREFERENCED_PARAMETER(ApcContext);
    UNREFERENCED_PARAMETER(Key);
    FileRef file;
    NTSTATUS status = file.Open(FileHandle);
    if (!NT_SUCCESS(status)) return status;
    if (IoStatusBlock == nullptr || (Buffer == nullptr && Length != 0)) return STATUS_INVALID_PARAMETER;
    if (!file->kernel && !(file->access & FILE_READ_DATA)) return STATUS_ACCESS_DENIED;
    bool current = UseCurrentPosition(ByteOffset);
    if (current && !file->synchronous) return STATUS_INVALID_PARAMETER;
    if (!current && ByteOffset->QuadPart < 0) return STATUS_INVALID_PARAMETER;

    std::lock_guard<std::mutex> guard(file->lock);
    uint64_t offset = current ? file->position : static_cast<uint64_t>(ByteOffset->QuadPart);
    uint64_t size = FileSize(file->fd);
    IoStatusBlock->Information = 0;
    if (Length != 0 && offset >= size) {
        IoStatusBlock->Status = STATUS_END_OF_FILE;
        return STATUS_END_OF_FILE;
    }
    size_t wanted = static_cast<size_t>(std::min<uint64_t>(Length, size - std::min(offset, size)));
    ssize_t got = wanted ? pread(file->fd, Buffer, wanted, static_cast<off_t>(offset)) : 0;
    if (got < 0) {
        IoStatusBlock->Status = STATUS_IO_DEVICE_ERROR;
        return STATUS_IO_DEVICE_ERROR;
    }
    if (file->synchronous) file->position = offset + static_cast<uint64_t>(got);
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = static_cast<ULONG_PTR>(got);
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                ULONG Length, FILE_INFORMATION_CLASS FileInformationClass) {
    PAGED_CODE();
    FileRef file;
    NTSTATUS status = file.Open(FileHandle);
    if (!NT_SUCCESS(status)) return status;
    if (IoStatusBlock == nullptr || FileInformation == nullptr) return STATUS_INVALID_PARAMETER;
    ULONG written;
    if (FileInformationClass == FileStandardInformation) {
        if (Length < sizeof(FILE_STANDARD_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
        FILE_STANDARD_INFORMATION info{};
        info.EndOfFile.QuadPart = static_cast<LONGLONG>(FileSize(file->fd));
        info.AllocationSize.QuadPart = (info.EndOfFile.QuadPart + 4095) / 4096 * 4096;
        info.NumberOfLinks = 1;
        memcpy(FileInformation, &info, sizeof(info));
        written = sizeof(info);
    } else if (FileInformationClass == FilePositionInformation) {
        if (Length < sizeof(FILE_POSITION_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
        std::lock_guard<std::mutex> guard(file->lock);
        FILE_POSITION_INFORMATION info{};
        info.CurrentByteOffset.QuadPart = static_cast<LONGLONG>(file->position);
        memcpy(FileInformation, &info, sizeof(info));
        written = sizeof(info);
    } else {
        return STATUS_INVALID_INFO_CLASS;
    }
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = written;
    return STATUS_SUCCESS;
}

namespace sim {

void SetSystemRoot(const std::string& directory) {
    std::lock_guard<std::mutex> guard(g_rootLock);
    g_systemRoot = directory;
}

std::string GetSystemRoot() {
    std::lock_guard<std::mutex> guard(g_rootLock);
    return g_systemRoot;
}

size_t FileOpenCount() { return ObLiveCount(&g_fileObjectType); }

}  // namespace sim

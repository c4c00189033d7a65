// Registry and file calls of the kernel stand-in.
//
// Registry: one in-memory tree under "\Registry" ("\Registry\Machine\...",
// "\Registry\User\..."), names compared without case, keys opened through
// handles that ZwClose closes. Every call here (files too) is pageable: above
// APC_LEVEL the stand-in bugchecks.
//
// Access rights are kept on each handle and checked: a write through a handle
// opened for KEY_QUERY_VALUE fails with STATUS_ACCESS_DENIED. A handle opened
// with OBJ_KERNEL_HANDLE is a kernel handle and is not checked (kernel-mode
// callers of the platform are not limited by the access mask).
//
// Files: read-only access to files below "\SystemRoot\", which the host
// program or test maps to a directory (sim/files.h); names match without case.
#pragma once

#include "nt/iostatus.h"
#include "nt/ob.h"

// Standard rights not in nt/ob.h.
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define MAXIMUM_ALLOWED 0x02000000L
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_EXECUTE 0x20019

// Value types.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11
#define REG_QWORD_LITTLE_ENDIAN 11

// ZwCreateKey options and dispositions. Only NON_VOLATILE and VOLATILE are
// supported; a volatile key is not saved with the registry image.
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_OPTION_CREATE_LINK 0x00000002L
#define REG_OPTION_BACKUP_RESTORE 0x00000004L
#define REG_OPTION_OPEN_LINK 0x00000008L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

typedef enum _KEY_INFORMATION_CLASS {
    KeyBasicInformation = 0,
    KeyNodeInformation = 1,
    KeyFullInformation = 2,
    KeyNameInformation = 3,
} KEY_INFORMATION_CLASS;

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
} KEY_VALUE_INFORMATION_CLASS;

// Key information. LastWriteTime is in 100 ns units of the virtual clock.
typedef struct _KEY_BASIC_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG NameLength;  // bytes
    WCHAR Name[1];     // the key's own name, not terminated
} KEY_BASIC_INFORMATION, *PKEY_BASIC_INFORMATION;

typedef struct _KEY_NODE_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG ClassOffset;
    ULONG ClassLength;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_NODE_INFORMATION, *PKEY_NODE_INFORMATION;

typedef struct _KEY_FULL_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG ClassOffset;
    ULONG ClassLength;
    ULONG SubKeys;
    ULONG MaxNameLen;
    ULONG MaxClassLen;
    ULONG Values;
    ULONG MaxValueNameLen;
    ULONG MaxValueDataLen;
    WCHAR Class[1];
} KEY_FULL_INFORMATION, *PKEY_FULL_INFORMATION;

typedef struct _KEY_NAME_INFORMATION {
    ULONG NameLength;
    WCHAR Name[1];  // full path from "\Registry"
} KEY_NAME_INFORMATION, *PKEY_NAME_INFORMATION;

typedef struct _KEY_VALUE_BASIC_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_BASIC_INFORMATION, *PKEY_VALUE_BASIC_INFORMATION;

typedef struct _KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;  // from the start of the record; 8-byte aligned, after the name
    ULONG DataLength;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

static_assert(sizeof(KEY_BASIC_INFORMATION) == 24 && offsetof(KEY_BASIC_INFORMATION, Name) == 16, "layout");
static_assert(sizeof(KEY_NODE_INFORMATION) == 32 && offsetof(KEY_NODE_INFORMATION, Name) == 24, "layout");
static_assert(sizeof(KEY_FULL_INFORMATION) == 48 && offsetof(KEY_FULL_INFORMATION, Class) == 44, "layout");
static_assert(sizeof(KEY_NAME_INFORMATION) == 8 && offsetof(KEY_NAME_INFORMATION, Name) == 4, "layout");
static_assert(sizeof(KEY_VALUE_BASIC_INFORMATION) == 16 && offsetof(KEY_VALUE_BASIC_INFORMATION, Name) == 12,
              "layout");
static_assert(sizeof(KEY_VALUE_FULL_INFORMATION) == 24 && offsetof(KEY_VALUE_FULL_INFORMATION, Name) == 20,
              "layout");
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16 && offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12,
              "layout");

// Query size protocol shared by every information call below: Length below
// the record's fixed part (the offset of its variable array) gives
// STATUS_BUFFER_TOO_SMALL; a fixed part that fits without the variable part
// gives STATUS_BUFFER_OVERFLOW with the fixed part filled; in every case
// *ResultLength is the full size needed.

// Missing key (or a missing key on the way): STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
// Creates the last name of the path when missing (the keys before it must
// exist). Class is ignored.
NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                    ULONG Length, PULONG ResultLength);
// Subkeys in case-insensitive name order, values in creation order; an
// index past the end gives STATUS_NO_MORE_ENTRIES.
NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength);
NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
// Missing value: STATUS_OBJECT_NAME_NOT_FOUND. An empty name is the key's
// default value.
NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength);
// Stores DataSize bytes as given (the type is not checked against the data).
NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize);
NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);
// A key with subkeys gives STATUS_CANNOT_DELETE. Handles still open on a
// deleted key fail every later call with STATUS_KEY_DELETED; they are
// still closed with ZwClose.
NTSTATUS ZwDeleteKey(HANDLE KeyHandle);
// Writes the registry image when a backing file is set (sim/registry.h).
NTSTATUS ZwFlushKey(HANDLE KeyHandle);

// RtlWriteRegistryValue: Path is absolute (RTL_REGISTRY_ABSOLUTE) or below
// the given root; the key is created when missing (its parent must exist).
#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_SERVICES 1
#define RTL_REGISTRY_CONTROL 2
#define RTL_REGISTRY_WINDOWS_NT 3
#define RTL_REGISTRY_DEVICEMAP 4
#define RTL_REGISTRY_USER 5
#define RTL_REGISTRY_HANDLE 0x40000000
#define RTL_REGISTRY_OPTIONAL 0x80000000
NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength);

// Files. Only FILE_OPEN of an existing regular file for reading is served;
// write access or another disposition gives STATUS_ACCESS_DENIED. With
// FILE_SYNCHRONOUS_IO_* the handle keeps a current position, which a read
// without ByteOffset (or with FILE_USE_FILE_POINTER_POSITION) uses.
// Event and APC arguments are ignored: every call completes before it returns.
NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                      ULONG EaLength);
NTSTATUS ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                    PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions);
// A read starting at or past the end gives STATUS_END_OF_FILE with
// Information 0; a read crossing the end returns the bytes up to it.
NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                    PULONG Key);
// FileStandardInformation and FilePositionInformation; a short buffer gives
// STATUS_INFO_LENGTH_MISMATCH, another class STATUS_INVALID_INFO_CLASS.
NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                ULONG Length, FILE_INFORMATION_CLASS FileInformationClass);

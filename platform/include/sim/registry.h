// Test- and host-side control of the registry stand-in: reset, inspect and
// preset values by path, save the tree to a file and load it again (a
// "reboot" with the same registry).
//
// Paths are absolute registry paths ("\Registry\Machine\SYSTEM\..."),
// matched without case. Functions that write create missing keys on the
// way. All functions are thread-safe against the Zw calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "nt/types.h"

namespace sim {

struct RegistryValue {
    ULONG type = 0;
    std::vector<uint8_t> data;
};

// Empties the tree, leaving "\Registry\Machine" with SYSTEM, SOFTWARE and
// HARDWARE below it, and "\Registry\User". Handles still open on the old
// tree fail their later calls with STATUS_KEY_DELETED. Clears the backing
// file.
void RegistryReset();

bool RegistryKeyExists(const std::u16string& path);
NTSTATUS RegistryCreateKey(const std::u16string& path);
// Deletes a key with everything below it.
NTSTATUS RegistryDeleteTree(const std::u16string& path);
std::vector<std::u16string> RegistrySubkeys(const std::u16string& path);
std::vector<std::u16string> RegistryValueNames(const std::u16string& path);

std::optional<RegistryValue> RegistryGetValue(const std::u16string& path, const std::u16string& name);
NTSTATUS RegistrySetValue(const std::u16string& path, const std::u16string& name, ULONG type,
                          const std::vector<uint8_t>& data);
NTSTATUS RegistrySetDword(const std::u16string& path, const std::u16string& name, ULONG value);
// REG_SZ with the terminator counted in the data size.
NTSTATUS RegistrySetString(const std::u16string& path, const std::u16string& name, const std::u16string& value);
NTSTATUS RegistryDeleteValue(const std::u16string& path, const std::u16string& name);

// Registry image: non-volatile keys and their values as text.
//
//   registry-image 1
//   key "\Registry\Machine\SYSTEM\Settings"
//   value "Name" REG_BINARY 01020304
//   value "" REG_SZ 4100000000
//
// One key line per key, parents before children, siblings by name without
// case; each key's value lines follow it, by name without case. Names are
// in double quotes; a character outside printable ASCII, '"' and '%' are
// written as '%' and four hex digits of the UTF-16 code unit. Types are
// written by name (REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD,
// REG_DWORD_BIG_ENDIAN, REG_LINK, REG_MULTI_SZ, REG_QWORD) or as a decimal
// number; data as hex bytes, "-" when empty.
// Lines that are empty or begin with '#' are skipped. A key lies at most
// kRegistryMaxKeyDepth names below "\Registry"; a file holds at most
// kRegistryImageMaxBytes.
std::string RegistryImage();
inline constexpr size_t kRegistryMaxKeyDepth = 512;
inline constexpr size_t kRegistryImageMaxBytes = size_t(16) << 20;
// Replaces the tree with the image. A malformed image gives
// STATUS_REGISTRY_CORRUPT and leaves the tree as it was; *badLine (when
// given) then holds the 1-based number of the line that broke it (the
// last line when the header is missing) and *reason (when given) what is
// wrong with it.
NTSTATUS RegistryLoadImage(const std::string& image);
NTSTATUS RegistryLoadImage(const std::string& image, size_t* badLine, std::string* reason = nullptr);

// STATUS_REGISTRY_IO_FAILED when the file cannot be written; *reason (when
// given) then names the step and the system's reason.
NTSTATUS RegistrySave(const std::string& filePath);
NTSTATUS RegistrySave(const std::string& filePath, std::string* reason);
// STATUS_OBJECT_NAME_NOT_FOUND when the file does not exist;
// STATUS_REGISTRY_CORRUPT, with *badLine 0 and a reason, for a file larger
// than kRegistryImageMaxBytes (one that never ends, too), or as
// RegistryLoadImage says.
NTSTATUS RegistryLoad(const std::string& filePath);
NTSTATUS RegistryLoad(const std::string& filePath, size_t* badLine, std::string* reason = nullptr);
// Loads the file when it exists (or writes the tree to it when not), then
// keeps it as the backing file: the image goes back to it on
// RegistryFlush and ZwFlushKey when the tree changed since it was last
// written, and when the file is detached or replaced (an empty path
// detaches it). Changes are not written one by one. Fails with the
// flush's status, attaching nothing, when the old file cannot take what
// it was owed.
NTSTATUS RegistrySetBackingFile(const std::string& filePath);
NTSTATUS RegistrySetBackingFile(const std::string& filePath, size_t* badLine, std::string* reason = nullptr);
// Writes the image to the backing file if the tree changed since it was
// last written; success when there is no backing file or nothing changed.
// STATUS_REGISTRY_IO_FAILED, the tree still marked as changed, when the
// file cannot be written (*reason as RegistrySave says).
NTSTATUS RegistryFlush(std::string* reason = nullptr);

// Key handles (objects) currently open: a test ends with none.
size_t RegistryOpenKeyCount();

}  // namespace sim

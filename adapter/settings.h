// The settings store: every value the driver remembers between starts
// lives under the "Settings" subkey of the device's driver (software) key,
// optionally one subkey further down (used by the settings-file import),
// reached through the port class's registry keys. Each call opens and
// closes its keys; PASSIVE_LEVEL only.
//
// Values are almost always REG_BINARY holding the exact bytes of the
// caller's variable; the settings-file import writes its numbers as
// REG_BINARY of one or four bytes each and its text as REG_SZ. A read
// states what it expects (its read class, below), and a stored value of
// another shape is ignored as if it were missing, so the caller's default
// applies instead of a value half made of stored bytes.
#pragma once

#include "nt/io.h"
#include "nt/zw.h"

#define SETTINGS_OP_READ 1
#define SETTINGS_OP_WRITE 2

// Value names are at most this many characters with their terminator when
// built from a base name and an index.
#define SETTINGS_INDEXED_NAME_CCH 50

// fdo: the adapter's FDO (IAudioHal GetDeviceObject). subkey: NULL for
// "Settings" itself, else a subkey below it (created when missing, as is
// "Settings"). type: REG_SZ, REG_BINARY or REG_DWORD; anything else gives
// STATUS_UNSUCCESSFUL before any key is opened.
// Write: type is the stored type; the status of the registry write.
// Read: type is the read class:
//   REG_BINARY  a fixed record (a level, a name GUID): a REG_BINARY of
//               exactly length bytes;
//   REG_DWORD   a little-endian number or switch of length bytes: a
//               REG_BINARY of 1 to length bytes, zero-extended (a settings
//               file stores "0x01" as one byte);
//   REG_SZ      variable length (a file name): up to length bytes of any
//               type; a shorter value fills only its own bytes.
// Both fixed classes also take a 4-byte REG_DWORD when length is 4.
// A missing value gives STATUS_OBJECT_NAME_NOT_FOUND, and so does a record
// or number of another length or type (with one debugger line naming it); a
// variable-length value longer than length gives STATUS_UNSUCCESSFUL (or
// STATUS_BUFFER_OVERFLOW). The buffer is untouched on failure.
NTSTATUS AccessSettingsValue(PDEVICE_OBJECT fdo, ULONG op, PCWSTR subkey, PCWSTR valueName,
                             ULONG type, PVOID buffer, ULONG length);
// A fixed record in "Settings" itself, stored as REG_BINARY.
NTSTATUS SettingsBinaryValue(PDEVICE_OBJECT fdo, ULONG op, PVOID buffer, ULONG length,
                             PCWSTR valueName);
// A number or switch in "Settings" itself: read zero-extended (the REG_DWORD
// read class), stored as REG_BINARY like every value the driver writes.
// Inline, so that any provider of AccessSettingsValue serves it.
inline NTSTATUS SettingsNumberValue(PDEVICE_OBJECT fdo, ULONG op, PVOID buffer, ULONG length,
                                    PCWSTR valueName) {
    const ULONG type = op == SETTINGS_OP_READ ? REG_DWORD : REG_BINARY;
    return AccessSettingsValue(fdo, op, NULL, valueName, type, buffer, length);
}
// The value named baseName followed by index in decimal ("Unit" and 12
// give "Unit12"). A name that does not fit SETTINGS_INDEXED_NAME_CCH gives
// STATUS_INVALID_PARAMETER: a cut name would alias another value.
NTSTATUS SettingsBinaryValueIndexed(PDEVICE_OBJECT fdo, ULONG op, PVOID buffer, ULONG length,
                                    PCWSTR baseName, LONG index);

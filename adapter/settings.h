// The settings store: every value the driver remembers between starts
// lives under the "Settings" subkey of the device's driver (software) key,
// optionally one subkey further down (used by the settings-file import),
// reached through the port class's registry keys. Each call opens and
// closes its keys; PASSIVE_LEVEL only.
//
// Values are almost always REG_BINARY holding the exact bytes of the
// caller's variable. A read copies the stored bytes whatever their stored
// type; a stored value shorter than the caller's buffer fills only its own
// bytes, a longer one is refused.
#pragma once

#include "nt/io.h"

#define SETTINGS_OP_READ 1
#define SETTINGS_OP_WRITE 2

// Value names are at most this many characters with their terminator when
// built from a base name and an index.
#define SETTINGS_INDEXED_NAME_CCH 50

// fdo: the adapter's FDO (IAudioHal GetDeviceObject). subkey: NULL for
// "Settings" itself, else a subkey below it (created when missing, as is
// "Settings"). type: REG_SZ, REG_BINARY or REG_DWORD; anything else gives
// STATUS_UNSUCCESSFUL before any key is opened.
// Read: a missing value gives STATUS_OBJECT_NAME_NOT_FOUND, a stored value
// longer than length STATUS_UNSUCCESSFUL; the buffer is untouched on
// failure. Write: the status of the registry write.
NTSTATUS AccessSettingsValue(PDEVICE_OBJECT fdo, ULONG op, PCWSTR subkey, PCWSTR valueName,
                             ULONG type, PVOID buffer, ULONG length);
// REG_BINARY in "Settings" itself.
NTSTATUS SettingsBinaryValue(PDEVICE_OBJECT fdo, ULONG op, PVOID buffer, ULONG length,
                             PCWSTR valueName);
// The value named baseName followed by index in decimal ("Unit" and 12
// give "Unit12"). A name that does not fit SETTINGS_INDEXED_NAME_CCH gives
// STATUS_INVALID_PARAMETER: a cut name would alias another value.
NTSTATUS SettingsBinaryValueIndexed(PDEVICE_OBJECT fdo, ULONG op, PVOID buffer, ULONG length,
                                    PCWSTR baseName, LONG index);

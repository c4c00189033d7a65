// The read classes of the settings store.
#include "adapter/settings_value.h"

#include "nt/dbg.h"
#include "nt/rtl.h"
#include "nt/zw.h"

namespace {

// A 4-byte REG_DWORD holds the same bytes as a 4-byte little-endian record.
bool IsDwordRead(ULONG storedType, ULONG storedLength, ULONG length) {
    return storedType == REG_DWORD && storedLength == 4 && length == 4;
}

// A fixed record: exactly the caller's bytes.
bool FitsRecord(ULONG storedType, ULONG storedLength, ULONG length) {
    return (storedType == REG_BINARY && storedLength == length) ||
           IsDwordRead(storedType, storedLength, length);
}

// A number or switch: a REG_BINARY of 1 to length bytes is its low bytes (a
// settings file stores "0x01" as one byte).
bool FitsNumber(ULONG storedType, ULONG storedLength, ULONG length) {
    return (storedType == REG_BINARY && storedLength != 0 && storedLength <= length) ||
           IsDwordRead(storedType, storedLength, length);
}

NTSTATUS Ignore(PCWSTR valueName, ULONG readType, ULONG storedType, ULONG storedLength,
                ULONG length) {
    DbgPrint("Settings value %ws ignored: %lu bytes of type %lu do not fit a %lu-byte %s\n",
             valueName, storedLength, storedType, length,
             readType == REG_DWORD ? "number" : "record");
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // namespace

NTSTATUS TakeStoredValue(PCWSTR valueName, ULONG readType, ULONG storedType, const void* data,
                         ULONG storedLength, PVOID buffer, ULONG length) {
    if (readType == REG_SZ) {
        if (data == NULL) return STATUS_BUFFER_OVERFLOW;
        if (storedLength > length) return STATUS_UNSUCCESSFUL;
        if (storedLength != 0) RtlCopyMemory(buffer, data, storedLength);
        return STATUS_SUCCESS;
    }
    const bool fits = readType == REG_DWORD ? FitsNumber(storedType, storedLength, length)
                                            : FitsRecord(storedType, storedLength, length);
    if (!fits || data == NULL) return Ignore(valueName, readType, storedType, storedLength, length);
    if (readType == REG_DWORD) RtlZeroMemory(buffer, length);
    if (storedLength != 0) RtlCopyMemory(buffer, data, storedLength);
    return STATUS_SUCCESS;
}

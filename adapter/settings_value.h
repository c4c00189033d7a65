// How a settings read takes a stored value into the caller's variable.
// Shared by every store of "Settings" values, so that the registry store and
// an in-memory one apply the same rules.
#pragma once

#include "nt/types.h"

// readType is the read class of AccessSettingsValue (settings.h); storedType
// and storedLength are the value's registry type and full data length. data
// holds storedLength bytes, or is NULL when the value was too long to fetch
// (only its type and length are known then).
// Returns STATUS_SUCCESS with the value copied, STATUS_OBJECT_NAME_NOT_FOUND
// for a fixed record or number of another length or type (one debugger line
// names the value and why); a variable-length value longer than length gives
// STATUS_UNSUCCESSFUL, or STATUS_BUFFER_OVERFLOW when it was too long to
// fetch. The buffer is untouched on failure.
NTSTATUS TakeStoredValue(PCWSTR valueName, ULONG readType, ULONG storedType, const void* data,
                         ULONG storedLength, PVOID buffer, ULONG length);

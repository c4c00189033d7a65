// The kernel-mode IUnknown: the first three operations of every COM-style
// interface the port-class and kernel-streaming headers declare.
#pragma once

#include "nt/status.h"
#include "nt/types.h"

// {00000000-0000-0000-C000-000000000046}
inline constexpr GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// QueryInterface writes an AddRef'd pointer, or NULL and
// STATUS_INVALID_PARAMETER for an identifier the object does not support;
// AddRef and Release return the new count. Objects are released, never
// deleted through an interface.
struct IUnknown {
    virtual NTSTATUS QueryInterface(REFIID iid, PVOID* out) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};
typedef IUnknown* PUNKNOWN;

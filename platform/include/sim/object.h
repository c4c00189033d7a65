// The stand-in's object manager: reference-counted kernel objects with a
// type, an optional case-insensitive name and a permanent flag, plus the
// kernel handle table. Platform code only; drivers use ObReferenceObject,
// ObDereferenceObject, ObReferenceObjectByHandle and ZwClose.
#pragma once

#include <string>

#include "nt/ob.h"
#include "nt/ps.h"

namespace sim {

using ObjectType = _OBJECT_TYPE;

// Creates an object with one reference and a zeroed body of bodySize bytes
// from non-paged pool under poolTag. The body pointer is what drivers see.
PVOID ObCreateObject(const ObjectType* type, SIZE_T bodySize, ULONG poolTag);

// Named objects: the namespace is case-insensitive. ObInsertNamed adds a
// reference held by the name while the object is permanent.
NTSTATUS ObInsertNamed(PVOID body, const std::u16string& name, bool permanent);
// Looks a name up; returns the object with a new reference, or NULL.
PVOID ObLookupNamed(const std::u16string& name, const ObjectType* type);
void ObMakeTemporary(PVOID body);
bool ObIsPermanent(PVOID body);
// Number of permanent named objects (reported apart from pool leaks).
size_t ObPermanentCount();
std::string ObPermanentReport();
// Drops every permanent object (end of a test "boot").
void ObResetNamespace();

const ObjectType* ObGetType(PVOID body);
LONG ObGetRefCount(PVOID body);
// Live objects of one type (NULL: all types).
size_t ObLiveCount(const ObjectType* type = nullptr);

// Handle table. A handle holds one reference to its object. A kernel
// handle (owner NULL) resolves in every process; a user handle only in its
// owner: ObReferenceObjectByHandle and ZwClose elsewhere give
// STATUS_INVALID_HANDLE, as another process's handle table would.
HANDLE ObCreateHandle(PVOID body, PEPROCESS owner = NULL);
// Returns the object (without a new reference) or NULL when the handle is
// not open or not of the type (type NULL matches any).
PVOID ObLookupHandle(HANDLE handle, const ObjectType* type);
size_t ObOpenHandleCount();

}  // namespace sim


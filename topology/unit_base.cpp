// Unit base: id, kind and the source-id list.
#include "topology/unit_base.h"

#include <cstring>

#include "nt/pool.h"

CUacUnitBase::CUacUnitBase(PUNKNOWN outer, ULONG id, ULONG kind)
    : CUnknown(outer), m_Id(id), m_Kind(kind), m_SourceCount(0), m_SourceIds(NULL) {}

CUacUnitBase::~CUacUnitBase() {
    if (m_SourceIds) {
        ExFreePoolWithTag(m_SourceIds, TOPO_SOURCE_TAG);
        m_SourceIds = NULL;
    }
}

NTSTATUS CUacUnitBase::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (out == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *out = NULL;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IUacUnit)) {
        IUacUnit* unit = static_cast<IUacUnit*>(this);
        unit->AddRef();
        *out = unit;
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CUacUnitBase::GetSourceIds(ULONG* count, ULONG* ids) {
    if (count == NULL || ids == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (*count > m_SourceCount) {
        *count = m_SourceCount;
    }
    if (*count != 0) {
        memcpy(ids, m_SourceIds, *count * sizeof(ULONG));
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUacUnitBase::SetSourceIds(ULONG count, const ULONG* ids) {
    if (ids == NULL && count != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG* copy = NULL;
    if (count != 0) {
        copy = static_cast<ULONG*>(
            ExAllocatePoolWithTag(PagedPool, (SIZE_T)count * sizeof(ULONG), TOPO_SOURCE_TAG));
        if (copy == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        memcpy(copy, ids, (SIZE_T)count * sizeof(ULONG));
    }
    if (m_SourceIds) {
        ExFreePoolWithTag(m_SourceIds, TOPO_SOURCE_TAG);
    }
    m_SourceIds = copy;
    m_SourceCount = count;
    return STATUS_SUCCESS;
}

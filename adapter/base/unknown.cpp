// CUnknown: reference counting and destruction of every driver object.
#include "adapter/base/unknown.h"

#include "nt/ke.h"

CUnknown::CUnknown(PUNKNOWN outerUnknown)
    : m_lRefCount(0),
      m_pUnknownOuter(outerUnknown ? outerUnknown : &m_NonDelegating),
      m_NonDelegating(this),
      m_lDestroying(0) {}

CUnknown::~CUnknown() = default;

NTSTATUS CUnknown::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (IsEqualGUID(iid, IID_IUnknown)) return ReturnInterface(NonDelegatingUnknown(), out);
    return RefuseInterface(out);
}

ULONG CUnknown::NonDelegatingAddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_lRefCount)); }

ULONG CUnknown::NonDelegatingRelease() {
    LONG count = InterlockedDecrement(&m_lRefCount);
    if (count != 0) return static_cast<ULONG>(count);
    // The destructor may release objects that give this one's interfaces
    // back without having counted them; such a Release finds the flag set.
    if (InterlockedExchange(&m_lDestroying, 1) != 0) return 0;
    m_lRefCount = 1;
    delete this;
    return 0;
}

// COM-style objects of the driver: the non-delegating unknown and the
// CUnknown base that every class of the driver derives from (IUnknown itself
// comes from the platform's headers).
//
// A class derives first from the interfaces it exposes (the first is its
// primary interface), then from CUnknown, directly or through a base class:
//
//   class CFoo : public IFoo, public IBar, public CUnknown {
//   public:
//       explicit CFoo(PUNKNOWN outer) : CUnknown(outer) {}
//       DECLARE_FORWARDING_UNKNOWN()
//       NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override {
//           if (iid == IID_IUnknown || iid == IID_IFoo) return ReturnInterface(static_cast<IFoo*>(this), out);
//           if (iid == IID_IBar) return ReturnInterface(static_cast<IBar*>(this), out);
//           return RefuseInterface(out);
//       }
//       ...
//   };
//
// Reference counts may change on any thread and at any IRQL.
#pragma once

#include <utility>

#include "adapter/base/pool_new.h"
#include "nt/status.h"
#include "nt/unknown.h"


// The object's own unknown, which an aggregating (outer) object holds and
// through which the object's lifetime is controlled.
struct INonDelegatingUnknown {
    virtual NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) = 0;
    virtual ULONG NonDelegatingAddRef() = 0;
    virtual ULONG NonDelegatingRelease() = 0;

protected:
    ~INonDelegatingUnknown() = default;
};
typedef INonDelegatingUnknown* PNONDELEGATINGUNKNOWN;

class CUnknown : public INonDelegatingUnknown, public CPoolObject {
public:
    // outerUnknown NULL: the object is its own controlling unknown.
    explicit CUnknown(PUNKNOWN outerUnknown);

    // Answers IID_IUnknown with the non-delegating unknown; anything else is
    // refused. Every class replaces it with its own identifiers.
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;
    ULONG NonDelegatingAddRef() override;
    // At 0 the count is set to 1 and the object is destroyed, once: a
    // Release that reaches 0 again while the destructor runs (objects it
    // releases giving back references they never took) destroys nothing.
    ULONG NonDelegatingRelease() override;
    virtual ~CUnknown();

    // Where every interface's QueryInterface, AddRef and Release go.
    PUNKNOWN GetOuterUnknown() const { return m_pUnknownOuter; }

    // The non-delegating unknown in IUnknown form: what a factory returns to
    // an aggregating object, and the outer unknown of an object that has
    // none. Its QueryInterface, AddRef and Release are the NonDelegating ones.
    PUNKNOWN NonDelegatingUnknown() { return &m_NonDelegating; }

protected:
    // For NonDelegatingQueryInterface: *out = iface, AddRef'd through it.
    // A NULL out is refused without touching anything.
    template <typename I>
    static NTSTATUS ReturnInterface(I* iface, PVOID* out) {
        if (out == NULL) return STATUS_INVALID_PARAMETER;
        *out = iface;
        iface->AddRef();
        return STATUS_SUCCESS;
    }
    static NTSTATUS RefuseInterface(PVOID* out) {
        if (out != NULL) *out = NULL;
        return STATUS_INVALID_PARAMETER;
    }

private:
    // Presents the non-delegating operations as a real IUnknown.
    class NonDelegatingForwarder final : public IUnknown {
    public:
        explicit NonDelegatingForwarder(CUnknown* owner) : m_pOwner(owner) {}
        NTSTATUS QueryInterface(REFIID iid, PVOID* out) override {
            return m_pOwner->NonDelegatingQueryInterface(iid, out);
        }
        ULONG AddRef() override { return m_pOwner->NonDelegatingAddRef(); }
        ULONG Release() override { return m_pOwner->NonDelegatingRelease(); }

    private:
        CUnknown* m_pOwner;
    };

    volatile LONG m_lRefCount;
    PUNKNOWN m_pUnknownOuter;
    NonDelegatingForwarder m_NonDelegating;
    volatile LONG m_lDestroying;
};

// In a class that derives from interfaces and CUnknown: QueryInterface,
// AddRef and Release of every interface forward unchanged to the outer
// unknown. A class that adds interfaces to a base class repeats it.
#define DECLARE_FORWARDING_UNKNOWN()                                                                    \
    NTSTATUS QueryInterface(REFIID iid, PVOID* out) override { return GetOuterUnknown()->QueryInterface(iid, out); } \
    ULONG AddRef() override { return GetOuterUnknown()->AddRef(); }                                     \
    ULONG Release() override { return GetOuterUnknown()->Release(); }

// Factory of a class T constructed as T(outer, args...): allocates it from
// poolType with tag and returns its non-delegating unknown with one
// reference in *out. No memory: *out = NULL, STATUS_INSUFFICIENT_RESOURCES.
template <typename T, typename... Args>
NTSTATUS CreateUnknown(PUNKNOWN* out, PUNKNOWN outerUnknown, POOL_TYPE poolType, ULONG tag, Args&&... args) {
    *out = NULL;
    T* object = new (poolType, tag) T(outerUnknown, std::forward<Args>(args)...);
    if (object == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    *out = object->NonDelegatingUnknown();
    (*out)->AddRef();
    return STATUS_SUCCESS;
}

// Reference counting and pool allocation of the port-class stand-in's own
// objects: ports, service groups, registry keys and a wave pin's service
// sink. They are never aggregated, so an object's QueryInterface, AddRef
// and Release are its own:
//
//   class CFoo : public IFoo, public CPcObject {
//   public:
//       PC_OBJECT_UNKNOWN()
//       NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override {
//           if (iid == IID_IUnknown || iid == IID_IFoo) return ReturnInterface(static_cast<IFoo*>(this), out);
//           return RefuseInterface(out);
//       }
//   };
//   CFoo* foo = new (NonPagedPoolNx, tag) CFoo();   // count 0: the creator AddRefs
#pragma once

#include <cstddef>

#include "nt/status.h"
#include "nt/types.h"

namespace pcls {

class CPcObject {
public:
    // Zero-filled pool block, or NULL when the pool is exhausted.
    static void* operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept;
    static void operator delete(void* block) noexcept;
    static void operator delete(void* block, POOL_TYPE poolType, ULONG tag) noexcept;
    static void* operator new(size_t size) = delete;

    virtual NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) = 0;
    ULONG AddRefObject();
    // At 0 the object is destroyed, once: a Release that reaches 0 again
    // while the destructor runs destroys nothing.
    ULONG ReleaseObject();

protected:
    CPcObject() = default;
    virtual ~CPcObject() = default;

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
    volatile LONG m_lRefCount = 0;
    volatile LONG m_lDestroying = 0;
};

}  // namespace pcls

// The IUnknown operations of a class deriving from interfaces and CPcObject.
#define PC_OBJECT_UNKNOWN()                                                                   \
    NTSTATUS QueryInterface(REFIID iid, PVOID* out) override { return NonDelegatingQueryInterface(iid, out); } \
    ULONG AddRef() override { return AddRefObject(); }                                        \
    ULONG Release() override { return ReleaseObject(); }

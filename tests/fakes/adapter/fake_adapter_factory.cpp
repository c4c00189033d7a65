// StartDevice's adapter factory, replaced by the fake adapter for the tests
// that link this file (never together with the real adapter object).
#include "adapter/driver_entry.h"
#include "tests/fakes/adapter/fake_adapter.h"

NTSTATUS CreateUsbAudioHal(PUNKNOWN* unknown) {
    *unknown = NULL;
    auto* adapter = new (NonPagedPoolNx, MakePoolTag("FAdp")) fakes::FakeAdapter(fakes::NextAdapter());
    if (adapter == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    *unknown = static_cast<IAudioHal*>(adapter);
    (*unknown)->AddRef();
    return STATUS_SUCCESS;
}

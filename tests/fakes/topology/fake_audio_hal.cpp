// Fake adapter: unit list, callback object, device object.
#include "tests/fakes/topology/fake_audio_hal.h"

#include "nt/ex.h"
#include "nt/ob.h"
#include "nt/rtl.h"

namespace fakes {

namespace {
// Only its address is used: the fake settings accessors ignore it.
UCHAR g_DeviceObjectStandIn[64];
}  // namespace

CFakeAudioHal* CFakeAudioHal::Create() {
    CFakeAudioHal* hal = new (NonPagedPoolNx, MakePoolTag("FHal")) CFakeAudioHal(NULL);
    if (hal != NULL) {
        hal->AddRef();
    }
    return hal;
}

CFakeAudioHal::CFakeAudioHal(PUNKNOWN outer) : CAudioHal(outer) {
    // The list CAudioHal::Init would make; without it AddUnit fails.
    Units = new (NonPagedPoolNx, HAL_LIST_TAG) CList();
    WCHAR name[51];
    RtlStringCchPrintfW(name, 51, u"\\Callback\\AudioHalAddr%p", static_cast<IAudioHal*>(this));
    UNICODE_STRING unicodeName;
    RtlInitUnicodeString(&unicodeName, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicodeName, OBJ_CASE_INSENSITIVE, NULL, NULL);
    // Not permanent: it goes with the fake's last reference (~CAudioHal).
    if (!NT_SUCCESS(ExCreateCallback(&CallbackObject, &attributes, TRUE, TRUE))) {
        CallbackObject = NULL;
    }
}

CFakeAudioHal::~CFakeAudioHal() = default;

NTSTATUS CFakeAudioHal::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (IsEqualGUID(iid, IID_IUnknown) || (IsEqualGUID(iid, IID_IAudioHal) && !FailAudioHalQuery)) {
        return ReturnInterface(static_cast<IAudioHal*>(this), out);
    }
    return RefuseInterface(out);
}

void CFakeAudioHal::Notify(ULONG id, ULONG type, ULONG code) {
    AUDIOHAL_NOTIFICATION message = {type, code, id, 0};
    if (CallbackObject != NULL) {
        ExNotifyCallback(CallbackObject, &message, NULL);
    }
}

NTSTATUS CFakeAudioHal::GetStreamEngineCapabilities(ULONG, ENDPOINT_CAPS* caps) {
    if (caps == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *caps = Caps;
    return STATUS_SUCCESS;
}

NTSTATUS CFakeAudioHal::GetStreamEngine(ULONG, IStreamEngine** engine) {
    if (engine != NULL) {
        *engine = NULL;
    }
    return STATUS_INVALID_PARAMETER;
}

PDEVICE_OBJECT CFakeAudioHal::GetDeviceObject() {
    return reinterpret_cast<PDEVICE_OBJECT>(g_DeviceObjectStandIn);
}

NTSTATUS CFakeAudioHal::RegisterCallback(PCALLBACK_FUNCTION function, PVOID context, PVOID* registration) {
    if (CallbackObject == NULL || FailRegisterCallback || registration == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    *registration = ExRegisterCallback(CallbackObject, function, context);
    if (*registration == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    m_Registrations++;
    return STATUS_SUCCESS;
}

NTSTATUS CFakeAudioHal::UnregisterCallback(PVOID registration) {
    ExUnregisterCallback(registration);
    m_Registrations--;
    return STATUS_SUCCESS;
}

NTSTATUS CFakeAudioHal::GetEndpointCapabilities(BOOLEAN, ULONG, ENDPOINT_CAPS* caps) {
    return GetStreamEngineCapabilities(0, caps);
}

}  // namespace fakes

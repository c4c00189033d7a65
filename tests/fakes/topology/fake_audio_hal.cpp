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

CFakeAudioHal::CFakeAudioHal(PUNKNOWN outer) : CUnknown(outer) {
    WCHAR name[51];
    RtlStringCchPrintfW(name, 51, u"\\Callback\\AudioHalAddr%p", static_cast<IAudioHal*>(this));
    UNICODE_STRING unicodeName;
    RtlInitUnicodeString(&unicodeName, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicodeName, OBJ_CASE_INSENSITIVE, NULL, NULL);
    if (!NT_SUCCESS(ExCreateCallback(&m_CallbackObject, &attributes, TRUE, TRUE))) {
        m_CallbackObject = NULL;
    }
}

CFakeAudioHal::~CFakeAudioHal() {
    for (IUacUnit* unit : m_Units) {
        unit->Release();
    }
    if (m_CallbackObject != NULL) {
        ObDereferenceObject(m_CallbackObject);
    }
}

NTSTATUS CFakeAudioHal::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (IsEqualGUID(iid, IID_IUnknown) || (IsEqualGUID(iid, IID_IAudioHal) && !FailAudioHalQuery)) {
        return ReturnInterface(static_cast<IAudioHal*>(this), out);
    }
    return RefuseInterface(out);
}

NTSTATUS CFakeAudioHal::AddUnit(IUacUnit* unit) {
    if (unit == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    unit->AddRef();
    m_Units.push_back(unit);
    return STATUS_SUCCESS;
}

void CFakeAudioHal::Notify(ULONG id, ULONG type, ULONG code) {
    AUDIOHAL_NOTIFICATION message = {type, code, id, 0};
    if (m_CallbackObject != NULL) {
        ExNotifyCallback(m_CallbackObject, &message, NULL);
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

NTSTATUS CFakeAudioHal::GetUnit(ULONG index, IUacUnit** unit) {
    if (unit == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *unit = NULL;
    if (index >= m_Units.size()) {
        return STATUS_INVALID_PARAMETER;
    }
    *unit = m_Units[index];
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT CFakeAudioHal::GetDeviceObject() {
    return reinterpret_cast<PDEVICE_OBJECT>(g_DeviceObjectStandIn);
}

NTSTATUS CFakeAudioHal::RegisterCallback(PCALLBACK_FUNCTION function, PVOID context, PVOID* registration) {
    if (m_CallbackObject == NULL || FailRegisterCallback || registration == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    *registration = ExRegisterCallback(m_CallbackObject, function, context);
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

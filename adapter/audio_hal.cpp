// CAudioHal: the unit and stream-engine lists, the HAL's callback object,
// the wiring of the unit graph after parsing, and the base power handling.
#include "adapter/audio_hal.h"

#include "adapter/base/start_log.h"
#include "nt/rtl.h"
#include "stream/engine/stream_engine.h"
#include "topology/unit_interfaces.h"

// Interface a render-path unit would answer to be told about its engine.
// {20C8868C-E090-4CEF-BD03-B80F0ECD7C19}
inline constexpr GUID IID_IRenderUnitHook = {0x20C8868C, 0xE090, 0x4CEF,
                                             {0xBD, 0x03, 0xB8, 0x0F, 0x0E, 0xCD, 0x7C, 0x19}};

namespace {

// Sources a selector may have and still be linked.
constexpr ULONG kMaxMuxSources = 10;
// "\Callback\AudioHalAddr" and 16 hex digits fit easily.
constexpr size_t kCallbackNameCch = 51;

// Releases every element (an IUnknown) and deletes the list.
void DrainList(CList*& list) {
    if (list == NULL) return;
    PVOID data = NULL;
    while (list->RemoveHead(&data)) static_cast<IUnknown*>(data)->Release();
    delete list;
    list = NULL;
}

NTSTATUS AppendCounted(CList* list, IUnknown* object) {
    if (object == NULL) return STATUS_INVALID_PARAMETER;
    if (list == NULL) return STATUS_UNSUCCESSFUL;
    object->AddRef();
    if (list->AddTail(object) == NULL) {
        object->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

// Calls visit(element) in list order until it returns false.
template <typename Visit>
void ForEach(CList* list, Visit visit) {
    if (list == NULL) return;
    PVOID data = NULL;
    for (POSITION pos = list->GetHeadPosition(); list->GetNext(pos, &data);)
        if (!visit(data)) return;
}

NTSTATUS GetListElement(CList* list, ULONG index, PVOID* out) {
    if (list == NULL) return STATUS_UNSUCCESSFUL;
    if (index >= (ULONG)list->GetCount() || !list->GetAt((LONG)index, out))
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

}  // namespace

CAudioHal::CAudioHal(PUNKNOWN outerUnknown)
    : CUnknown(outerUnknown),
      Fdo(NULL),
      LowerDevice(NULL),
      Pdo(NULL),
      PowerState(PowerDeviceUnspecified),
      CallbackObject(NULL),
      Units(NULL),
      StreamEngines(NULL),
      EndpointCaps() {}

CAudioHal::~CAudioHal() {
    ReleaseLists();
    if (CallbackObject != NULL) {
        ObDereferenceObject(CallbackObject);
        CallbackObject = NULL;
    }
}

void CAudioHal::ReleaseLists() {
    // Units first, then stream engines, for every derived class.
    DrainList(Units);
    DrainList(StreamEngines);
}

NTSTATUS CAudioHal::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (iid == IID_IUnknown || iid == IID_IAudioHal)
        return ReturnInterface(static_cast<IAudioHal*>(this), out);
    if (iid == IID_IAdapterPowerManagement)
        return ReturnInterface(static_cast<IAdapterPowerManagement*>(this), out);
    return RefuseInterface(out);
}

NTSTATUS CAudioHal::GetStreamEngineCapabilities(ULONG index, ENDPOINT_CAPS* caps) {
    UNREFERENCED_PARAMETER(index);
    if (caps == NULL) return STATUS_INVALID_PARAMETER;
    *caps = EndpointCaps;
    return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::GetComponentId(KSCOMPONENTID* componentId) {
    UNREFERENCED_PARAMETER(componentId);
    return STATUS_INVALID_DEVICE_REQUEST;
}

ULONG CAudioHal::GetStreamEngineCount() { return StreamEngines ? (ULONG)StreamEngines->GetCount() : 0; }

NTSTATUS CAudioHal::GetStreamEngine(ULONG index, IStreamEngine** engine) {
    if (engine == NULL) return STATUS_INVALID_PARAMETER;
    *engine = NULL;
    PVOID data = NULL;
    NTSTATUS status = GetListElement(StreamEngines, index, &data);
    if (NT_SUCCESS(status)) *engine = static_cast<IStreamEngine*>(data);
    return status;
}

ULONG CAudioHal::GetUnitCount() { return Units ? (ULONG)Units->GetCount() : 0; }

NTSTATUS CAudioHal::GetUnit(ULONG index, IUacUnit** unit) {
    if (unit == NULL) return STATUS_INVALID_PARAMETER;
    *unit = NULL;
    PVOID data = NULL;
    NTSTATUS status = GetListElement(Units, index, &data);
    if (NT_SUCCESS(status)) *unit = static_cast<IUacUnit*>(data);
    return status;
}

NTSTATUS CAudioHal::Init(PRESOURCELIST resources, PDEVICE_OBJECT fdo, PDEVICE_OBJECT lowerDevice,
                         PDEVICE_OBJECT pdo) {
    UNREFERENCED_PARAMETER(resources);
    PAGED_CODE();
    Units = new (NonPagedPoolNx, HAL_LIST_TAG) CList();
    StreamEngines = new (NonPagedPoolNx, HAL_LIST_TAG) CList();
    if (Units == NULL || StreamEngines == NULL) {
        ReleaseLists();
        return LogStartFailure("the unit and engine lists", STATUS_INSUFFICIENT_RESOURCES);
    }
    auto* name = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, kCallbackNameCch * sizeof(WCHAR), HAL_TEMP_TAG));
    if (name == NULL) {
        ReleaseLists();
        return LogStartFailure("the callback object's name", STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlStringCchPrintfW(name, kCallbackNameCch, u"\\Callback\\AudioHalAddr%p",
                        static_cast<IAudioHal*>(this));
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, NULL, NULL);
    // Without the object only RegisterCallback fails later; Init goes on.
    if (CallbackObject == NULL) ExCreateCallback(&CallbackObject, &attributes, TRUE, TRUE);

    Pdo = pdo;
    Fdo = fdo;
    LowerDevice = lowerDevice;
    PowerState = PowerDeviceD0;
    // InitHardware logs its own failing step.
    NTSTATUS status = InitHardware();
    if (NT_SUCCESS(status)) status = LogStartFailure("connecting the units", ConnectUnits());
    if (!NT_SUCCESS(status)) ReleaseLists();
    ExFreePoolWithTag(name, HAL_TEMP_TAG);
    return status;
}

NTSTATUS CAudioHal::Start() {
    ForEach(Units, [](PVOID unit) {
        static_cast<IUacUnit*>(unit)->Start();  // results ignored
        return true;
    });
    return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::Stop() {
    ForEach(Units, [](PVOID unit) {
        static_cast<IUacUnit*>(unit)->Stop();
        return true;
    });
    return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::RegisterCallback(PCALLBACK_FUNCTION function, PVOID context, PVOID* registration) {
    if (registration == NULL || function == NULL) return STATUS_INVALID_PARAMETER;
    *registration = NULL;
    if (CallbackObject == NULL) return STATUS_UNSUCCESSFUL;
    *registration = ExRegisterCallback(CallbackObject, function, context);
    return *registration ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CAudioHal::UnregisterCallback(PVOID registration) {
    if (registration != NULL) ExUnregisterCallback(registration);
    return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::PreprocessIrp(PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::InitHardware() { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS CAudioHal::GetEndpointCapabilities(BOOLEAN isCapture, ULONG endpointType, ENDPOINT_CAPS* caps) {
    UNREFERENCED_PARAMETER(isCapture);
    UNREFERENCED_PARAMETER(endpointType);
    if (caps == NULL) return STATUS_INVALID_PARAMETER;
    *caps = EndpointCaps;
    return STATUS_SUCCESS;
}

// ---- power --------------------------------------------------------------

VOID CAudioHal::PowerChangeState(POWER_STATE newState) {
    ULONG state = newState.DeviceState;
    if (state == PowerState) return;
    if (state == PowerDeviceD0) {
        ApplyUnits();
    } else if (state < PowerDeviceD1 || state > PowerDeviceD3) {
        return;  // not a device state: ignored, not stored
    }
    PowerState = state;
}

NTSTATUS CAudioHal::QueryPowerChangeState(POWER_STATE newStateQuery) {
    UNREFERENCED_PARAMETER(newStateQuery);
    return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::QueryDeviceCapabilities(PDEVICE_CAPABILITIES capabilities) {
    if (capabilities != NULL) capabilities->SurpriseRemovalOK = 1;
    return STATUS_SUCCESS;
}

// ---- lists --------------------------------------------------------------

NTSTATUS CAudioHal::AddStreamEngine(IStreamEngine* engine) { return AppendCounted(StreamEngines, engine); }

NTSTATUS CAudioHal::AddUnit(IUacUnit* unit) { return AppendCounted(Units, unit); }

NTSTATUS CAudioHal::FindUnitById(ULONG id, IUacUnit** unit) {
    if (unit == NULL) return STATUS_INVALID_PARAMETER;
    *unit = NULL;
    ForEach(Units, [&](PVOID data) {
        auto* candidate = static_cast<IUacUnit*>(data);
        if (candidate->GetId() == id) *unit = candidate;  // the last match wins
        return true;
    });
    return *unit ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CAudioHal::ApplyUnits() {
    NTSTATUS status = STATUS_SUCCESS;
    ForEach(Units, [&](PVOID unit) {
        status = static_cast<IUacUnit*>(unit)->Apply();
        return NT_SUCCESS(status);
    });
    return status;
}

// ---- graph wiring -------------------------------------------------------

NTSTATUS CAudioHal::ConnectUnits() {
    LinkSelectorUnits();
    ULONG engines = GetStreamEngineCount();
    for (ULONG i = 0; i < engines; ++i) {
        IStreamEngine* engine = NULL;
        if (NT_SUCCESS(GetStreamEngine(i, &engine)) && engine) LinkStreamEngineUnits(engine);
    }
    return ApplyUnits();
}

NTSTATUS CAudioHal::LinkSelectorUnits() {
    ULONG count = GetUnitCount();
    for (ULONG i = 0; i < count; ++i) {
        IUacUnit* unit = NULL;
        if (!NT_SUCCESS(GetUnit(i, &unit)) || unit == NULL) continue;
        if (unit->GetKind() != UNIT_KIND_MUX || unit->GetSourceCount() > kMaxMuxSources) continue;
        ULONG ids[kMaxMuxSources] = {};
        ULONG sources = kMaxMuxSources;
        if (!NT_SUCCESS(unit->GetSourceIds(&sources, ids))) continue;
        IMuxUnit* mux = NULL;
        if (!NT_SUCCESS(unit->QueryInterface(IID_IMuxUnit, reinterpret_cast<PVOID*>(&mux))) || !mux)
            continue;
        for (ULONG j = 1; j <= sources && j <= kMaxMuxSources; ++j) LinkSelectorSource(j, mux, ids[j - 1]);
        mux->Release();
    }
    return STATUS_SUCCESS;
}

void CAudioHal::LinkSelectorSource(ULONG input, IMuxUnit* mux, ULONG unitId) {
    // A chain of distinct units is never longer than the unit list.
    ULONG capacity = GetUnitCount();
    if (capacity == 0) return;
    auto* chain = static_cast<IUacUnit**>(
        ExAllocatePoolWithTag(PagedPool, capacity * sizeof(IUacUnit*), HAL_LIST_TAG));
    if (chain == NULL) return;
    // Walk upstream while each unit has exactly one source, stopping at a
    // unit already on the chain.
    ULONG length = 0;
    IUacUnit* unit = NULL;
    while (length < capacity && NT_SUCCESS(FindUnitById(unitId, &unit))) {
        bool seen = false;
        for (ULONG k = 0; k < length && !seen; ++k) seen = chain[k] == unit;
        ULONG source = 0, one = 1;
        if (seen || unit->GetSourceCount() != 1 || !NT_SUCCESS(unit->GetSourceIds(&one, &source)) || one != 1)
            break;
        chain[length++] = unit;
        unitId = source;
    }
    // Link from the far end, so units farther upstream learn first.
    while (length > 0) {
        unit = chain[--length];
        ULONG selection = 0;
        mux->GetValue(&selection);
        IMuxListener* listener = NULL;
        if (NT_SUCCESS(unit->QueryInterface(IID_IMuxListener, reinterpret_cast<PVOID*>(&listener))) &&
            listener) {
            mux->AddListener(listener);
            listener->SetInputIndex(input);
            listener->OnSelectionChanged(selection);
            listener->Release();
        }
    }
    ExFreePoolWithTag(chain, HAL_LIST_TAG);
}

void CAudioHal::LinkStreamEngineUnits(IStreamEngine* engine) {
    // The hand-over interfaces of capture switches and render hooks; no
    // unit of this driver answers them, so the walk only asks.
    const bool capture = engine->IsCapture() != 0;
    ULONG count = engine->GetUnitCount();
    for (ULONG i = 0; i < count; ++i) {
        IUacUnit* unit = NULL;
        if (!NT_SUCCESS(engine->GetUnit(i, &unit)) || unit == NULL) continue;
        PVOID answer = NULL;
        if (capture) {
            if (NT_SUCCESS(unit->QueryInterface(IID_IDevSwitch15Unit, &answer)) ||
                NT_SUCCESS(unit->QueryInterface(IID_IDevSwitch19Unit, &answer))) {
                if (answer) static_cast<IUnknown*>(answer)->Release();
            }
        } else if (NT_SUCCESS(unit->QueryInterface(IID_IRenderUnitHook, &answer)) && answer) {
            static_cast<IUnknown*>(answer)->Release();
        }
    }
}

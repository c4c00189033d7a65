// Topology miniport: construction, Init, destruction, power notification
// and the IMiniportInfo mapping.
#include "topology/miniport_topology.h"

#include <cstring>

#include "nt/ke.h"

#include "nt/pool.h"
#include "nt/rtl.h"

namespace {
constexpr ULONG kNameBytes = 102;

// Registered on the adapter's callback object; runs synchronously in the
// notifying thread at passive level.
VOID ControlChangeCallback(PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(argument2);
    if (context != NULL && argument1 != NULL) {
        static_cast<CMiniportTopology*>(context)->OnUnitChanged(
            static_cast<const AUDIOHAL_NOTIFICATION*>(argument1));
    }
}
}  // namespace

NTSTATUS CreateMiniportTopology(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN unknownOuter,
                                POOL_TYPE poolType) {
    UNREFERENCED_PARAMETER(classId);
    if (unknown == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    return CreateUnknown<CMiniportTopology>(unknown, unknownOuter, poolType, TOPO_BUILD_TAG);
}

CMiniportTopology::CMiniportTopology(PUNKNOWN outer)
    : CUnknown(outer),
      m_Description(),
      m_pPort(NULL),
      m_pPortEvents(NULL),
      m_pName(NULL),
      m_CallbackRegistration(NULL),
      m_pAudioHal(NULL),
      m_PowerState(PowerDeviceD0),
      m_Graph() {}

CMiniportTopology::~CMiniportTopology() {
    if (m_CallbackRegistration != NULL) {
        m_pAudioHal->UnregisterCallback(m_CallbackRegistration);
        m_CallbackRegistration = NULL;
    }
    UndoInit();
    TopoFreeGraph(&m_Graph);
}

NTSTATUS CMiniportTopology::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (out == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *out = NULL;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniport) ||
        IsEqualGUID(iid, IID_IMiniportTopology)) {
        return ReturnInterface(static_cast<IMiniportTopology*>(this), out);
    }
    if (IsEqualGUID(iid, IID_IMiniportInfo)) {
        return ReturnInterface(static_cast<IMiniportInfo*>(this), out);
    }
    if (IsEqualGUID(iid, IID_IPowerNotify)) {
        return ReturnInterface(static_cast<IPowerNotify*>(this), out);
    }
    return RefuseInterface(out);
}

CMiniportTopology* CMiniportTopology::FromTarget(PUNKNOWN majorTarget) {
    if (majorTarget == NULL) {
        return NULL;
    }
    IMiniportTopology* topology = NULL;
    if (!NT_SUCCESS(majorTarget->QueryInterface(IID_IMiniportTopology, (PVOID*)&topology))) {
        return NULL;
    }
    CMiniportTopology* miniport = static_cast<CMiniportTopology*>(topology);
    topology->Release();
    return miniport;
}

NTSTATUS CMiniportTopology::GetDescription(PPCFILTER_DESCRIPTOR* description) {
    if (description == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_Description.Filter == NULL) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    *description = m_Description.Filter;
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportTopology::DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID,
                                                  PULONG) {
    return STATUS_NOT_IMPLEMENTED;
}

// Any failure after the port is kept undoes everything but the working
// lists, which stay until the destructor.
NTSTATUS CMiniportTopology::Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList,
                                 PPORTTOPOLOGY port) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(resourceList);
    if (port == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    m_pPort = port;
    m_pPort->AddRef();
    NTSTATUS status = InitSteps(unknownAdapter, port);
    if (!NT_SUCCESS(status)) {
        UndoInit();
    }
    return status;
}

NTSTATUS CMiniportTopology::InitSteps(PUNKNOWN unknownAdapter, PPORTTOPOLOGY port) {
    if (unknownAdapter == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = unknownAdapter->QueryInterface(IID_IAudioHal, (PVOID*)&m_pAudioHal);
    if (NT_SUCCESS(status)) {
        status = TopoCollectPinUnits(m_pAudioHal, &m_Graph);
    }
    if (NT_SUCCESS(status)) {
        status = TopoCollectNodeUnits(m_pAudioHal, &m_Graph);
    }
    if (NT_SUCCESS(status)) {
        status = TopoBuildDescriptor(m_pAudioHal, &m_Graph, &m_Description);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    m_pName = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, kNameBytes, TOPO_BUILD_TAG));
    if (m_pName == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlStringCbPrintfW(m_pName, kNameBytes, u"%s%s", u"Global", u"Topo");
    status = port->QueryInterface(IID_IPortEvents, (PVOID*)&m_pPortEvents);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return m_pAudioHal->RegisterCallback(ControlChangeCallback, this, &m_CallbackRegistration);
}

void CMiniportTopology::UndoInit() {
    TopoFreeDescription(&m_Description);
    if (m_pAudioHal) {
        m_pAudioHal->Release();
        m_pAudioHal = NULL;
    }
    if (m_pName) {
        ExFreePoolWithTag(m_pName, TOPO_BUILD_TAG);
        m_pName = NULL;
    }
    if (m_pPortEvents) {
        m_pPortEvents->Release();
        m_pPortEvents = NULL;
    }
    if (m_pPort) {
        m_pPort->Release();
        m_pPort = NULL;
    }
    m_CallbackRegistration = NULL;
}

// Only a real change between D0 and D3 is kept; the adapter itself handles
// power for the device.
VOID CMiniportTopology::PowerChangeNotify(POWER_STATE newState) {
    ULONG state = (ULONG)newState.DeviceState;
    if (state != m_PowerState && state >= PowerDeviceD0 && state <= PowerDeviceD3) {
        m_PowerState = state;
    }
}

NTSTATUS CMiniportTopology::QueryMappedId(ULONG* id) {
    if (id == NULL || m_Graph.PinCount == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG unitId = *id;
    *id = 0;
    for (ULONG i = 0; i < m_Graph.PinCount; ++i) {
        if (m_Graph.Pins[i].Unit->GetId() == unitId) {
            *id = m_Graph.Pins[i].Index;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS CMiniportTopology::GetName(PWSTR* name) {
    if (name == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *name = m_pName;
    return STATUS_SUCCESS;
}

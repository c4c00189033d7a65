// CUacHal: what every device-family model shares: the interfaces, the
// entity list, the capability query by engine index, the pending output-type
// change of an engine, the search for the audio interfaces of the held
// configuration and the cycle check of the entity graph. The stream-path
// walks are in uac_stream_path.cpp.
#include "adapter/uac_hal.h"

#include "adapter/base/start_log.h"
#include "adapter/usb/usb_audio_device.h"
#include "nt/rtl.h"
#include "stream/engine/stream_engine.h"
#include "topology/interface_ref.h"
#include "topology/terminal_units.h"
#include "topology/uac_entity.h"
#include "usb/usbd.h"

namespace {

// Entity ids are one byte (bUnitID, bTerminalID); the graph check keeps one
// slot per id.
constexpr ULONG kEntityIds = 256;

// The held configuration of the adapter, or NULL.
PUSB_CONFIGURATION_DESCRIPTOR HeldConfiguration(IUsbAudioDevice* usb) {
    return usb != NULL ? usb->GetConfigurationDescriptor() : NULL;
}

// Bytes from `at` to the end of the held configuration (wTotalLength, which
// the transport stores only when the device delivered exactly that many).
ULONG BytesToEnd(const USB_CONFIGURATION_DESCRIPTOR* configuration, const void* at) {
    const auto* base = reinterpret_cast<const UCHAR*>(configuration);
    const auto* position = static_cast<const UCHAR*>(at);
    const ULONG held = configuration->wTotalLength;
    if (position < base || position >= base + held) return 0;
    return (ULONG)(base + held - position);
}

}  // namespace

CUacHal::CUacHal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId)
    : CAudioHal(outerUnknown),
      AcInterfaceNumber(0),
      AcInterfaceInfo(NULL),
      StatusPipeIndex(UAC_NO_STATUS_PIPE),
      StatusThread(NULL),
      VendorId(vendorId),
      ProductId(productId),
      Entities(NULL),
      ChipVariant(0) {
    KeInitializeEvent(&StopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ThreadExitedEvent, NotificationEvent, FALSE);
}

CUacHal::~CUacHal() {
    ReleaseEntities();
    delete Entities;
    Entities = NULL;
}

NTSTATUS CUacHal::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (iid == IID_IUacHal) return ReturnInterface(static_cast<IUacHal*>(this), out);
    return CAudioHal::NonDelegatingQueryInterface(iid, out);
}

NTSTATUS CUacHal::GetStreamEngineCapabilities(ULONG index, ENDPOINT_CAPS* caps) {
    ULONG isCapture = 0, type = ENDPOINT_STREAM;
    const ULONG count = GetStreamEngineCount();
    for (ULONG i = 0; i < count; ++i) {
        IStreamEngine* engine = NULL;
        if (!NT_SUCCESS(GetStreamEngine(i, &engine)) || engine == NULL) break;
        isCapture = engine->IsCapture();
        type = engine->GetEndpointType();
        if (i == index) break;
    }
    NTSTATUS status = GetEndpointCapabilities(isCapture != 0, type, caps);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

NTSTATUS CUacHal::GetCallbackObject(PVOID* object) {
    if (object == NULL) return STATUS_UNSUCCESSFUL;
    *object = GetHalCallbackObject();
    return STATUS_SUCCESS;
}

// ---- entities ---------------------------------------------------------------

NTSTATUS CUacHal::FindEntityById(ULONG id, CUacEntity** entity) {
    if (entity == NULL) return STATUS_INVALID_PARAMETER;
    *entity = NULL;
    if (Entities == NULL) return STATUS_UNSUCCESSFUL;
    PVOID data = NULL;
    for (POSITION pos = Entities->GetHeadPosition(); Entities->GetNext(pos, &data);) {
        auto* candidate = static_cast<CUacEntity*>(data);
        if (candidate->GetId() == id) *entity = candidate;
    }
    return *entity != NULL ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUacHal::AddEntity(CUacEntity* entity) {
    if (entity == NULL) return STATUS_INVALID_PARAMETER;
    if (Entities == NULL) return STATUS_UNSUCCESSFUL;
    entity->AddRef();
    if (Entities->AddHead(entity) == NULL) {
        entity->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

void CUacHal::ReleaseEntities() {
    PVOID data = NULL;
    while (Entities != NULL && Entities->RemoveHead(&data)) static_cast<CUacEntity*>(data)->Release();
}

ULONG CUacHal::GetEntityCount() const { return Entities != NULL ? (ULONG)Entities->GetCount() : 0; }

NTSTATUS CUacHal::GetEntity(ULONG index, CUacEntity** entity) {
    if (entity == NULL) return STATUS_INVALID_PARAMETER;
    *entity = NULL;
    PVOID data = NULL;
    if (Entities == NULL || index >= GetEntityCount() || !Entities->GetAt((LONG)index, &data))
        return STATUS_INVALID_PARAMETER;
    *entity = static_cast<CUacEntity*>(data);
    return STATUS_SUCCESS;
}

BOOLEAN CUacHal::HasPendingEndpointChange(IStreamEngine* engine) {
    if (engine == NULL) return FALSE;
    const ULONG count = engine->GetUnitCount();
    for (ULONG i = 0; i < count; ++i) {
        IUacUnit* unit = NULL;
        if (!NT_SUCCESS(engine->GetUnit(i, &unit)) || unit == NULL) return FALSE;
        if (unit->GetKind() != UNIT_KIND_TERMINAL_TYPE) continue;
        InterfaceRef<ITerminalTypeUnit> selector(unit, IID_ITerminalTypeUnit);
        if (selector.get() == NULL || !selector->IsChanged()) return FALSE;
        selector->ClearChanged();
        return TRUE;
    }
    return FALSE;
}

// ---- the audio interfaces of the held configuration ----------------------------

NTSTATUS CUacHal::ParseAudioControlInterface() {
    InterfaceRef<IUsbAudioDevice> usb(GetOuterUnknown(), IID_IUsbAudioDevice);
    PUSB_CONFIGURATION_DESCRIPTOR configuration = HeldConfiguration(usb.get());
    if (configuration == NULL) return STATUS_UNSUCCESSFUL;
    PUSB_INTERFACE_DESCRIPTOR control = USBD_ParseConfigurationDescriptorEx(
        configuration, configuration, -1, -1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, -1);
    if (control == NULL) return STATUS_SUCCESS;
    AcInterfaceNumber = control->bInterfaceNumber;
    return ParseAudioControl(reinterpret_cast<const UCHAR*>(control), BytesToEnd(configuration, control));
}

NTSTATUS CUacHal::ParseAudioStreamingInterfaces() {
    InterfaceRef<IUsbAudioDevice> usb(GetOuterUnknown(), IID_IUsbAudioDevice);
    PUSB_CONFIGURATION_DESCRIPTOR configuration = HeldConfiguration(usb.get());
    if (configuration == NULL) return STATUS_UNSUCCESSFUL;
    PUSB_INTERFACE_DESCRIPTOR streaming = USBD_ParseConfigurationDescriptorEx(
        configuration, configuration, -1, -1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, -1);
    if (streaming == NULL) return STATUS_SUCCESS;
    return ParseAudioStreaming(configuration, reinterpret_cast<const UCHAR*>(streaming),
                               BytesToEnd(configuration, streaming));
}

// ---- cycle check ------------------------------------------------------------------

namespace {

// Depth-first over the entities reachable by id, iteratively: the stack
// holds at most one frame per entity id. A frame's sources are those the
// linking pass connected (1 to UAC_MAX_LINKED_SOURCES); a source id that
// names no entity is no edge (the linking pass has refused such a device
// already). Its two blocks are paged pool, freed with the check.
class CCycleCheck {
public:
    CCycleCheck(CUacHal* model, ULONG interfaceNumber)
        : m_Model(model),
          m_InterfaceNumber(interfaceNumber),
          m_State(static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, kEntityIds, HAL_TEMP_TAG))),
          m_Stack(static_cast<FRAME*>(ExAllocatePoolWithTag(PagedPool, kEntityIds * sizeof(FRAME), HAL_TEMP_TAG))),
          m_Depth(0) {
        if (m_State != NULL) RtlZeroMemory(m_State, kEntityIds);
    }
    ~CCycleCheck() {
        if (m_State != NULL) ExFreePoolWithTag(m_State, HAL_TEMP_TAG);
        if (m_Stack != NULL) ExFreePoolWithTag(m_Stack, HAL_TEMP_TAG);
    }
    CCycleCheck(const CCycleCheck&) = delete;
    CCycleCheck& operator=(const CCycleCheck&) = delete;

    // STATUS_UNSUCCESSFUL when some entity reaches itself.
    NTSTATUS Run() {
        if (m_State == NULL || m_Stack == NULL)
            return LogInterfaceStartFailure(m_InterfaceNumber, "the entity graph check", STATUS_INSUFFICIENT_RESOURCES);
        NTSTATUS status = STATUS_SUCCESS;
        for (ULONG root = 0; root < kEntityIds && NT_SUCCESS(status); ++root) {
            status = Push(root);
            while (m_Depth != 0 && NT_SUCCESS(status)) {
                FRAME& top = m_Stack[m_Depth - 1];
                if (top.Next < top.Count) {
                    status = Push(top.Ids[top.Next++]);
                } else {
                    m_State[top.Entity->GetId()] = kDone;
                    --m_Depth;
                }
            }
        }
        return status;
    }

private:
    struct FRAME {
        CUacEntity* Entity;
        ULONG Ids[UAC_MAX_LINKED_SOURCES];
        ULONG Count;
        ULONG Next;
    };
    enum : UCHAR { kUnseen = 0, kOnPath = 1, kDone = 2 };

    // Enters the entity with this id unless it is none or done.
    NTSTATUS Push(ULONG id) {
        CUacEntity* entity = NULL;
        if (id >= kEntityIds || !NT_SUCCESS(m_Model->FindEntityById(id, &entity))) return STATUS_SUCCESS;
        if (m_State[id] == kOnPath) {  // a cycle, or a self-source
            const BYTE* descriptor = entity->Descriptor();
            LogDescriptorRefusal(m_InterfaceNumber, id, descriptor != NULL ? descriptor[2] : 0,
                                 "the entity is its own source through its source ids");
            return STATUS_UNSUCCESSFUL;
        }
        if (m_State[id] == kDone) return STATUS_SUCCESS;
        FRAME& frame = m_Stack[m_Depth++];
        frame.Entity = entity;
        frame.Count = entity->GetSourceCount();
        if (frame.Count > UAC_MAX_LINKED_SOURCES) frame.Count = 0;
        if (frame.Count != 0) entity->GetSourceIds(&frame.Count, frame.Ids);
        frame.Next = 0;
        m_State[id] = kOnPath;
        return STATUS_SUCCESS;
    }

    CUacHal* m_Model;
    ULONG m_InterfaceNumber;
    UCHAR* m_State;
    FRAME* m_Stack;
    ULONG m_Depth;
};

}  // namespace

NTSTATUS CUacHal::CheckEntityGraph() {
    CCycleCheck check(this, AcInterfaceNumber);
    return check.Run();
}

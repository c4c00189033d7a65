// UAC entity base: descriptor copy, node list and wiring, class and vendor
// requests.
#include "topology/uac_entity.h"

#include <climits>
#include <cstring>

#include "adapter/usb/usb_audio_device.h"
#include "nt/dbg.h"
#include "nt/pool.h"
#include "topology/interface_ref.h"

namespace {
constexpr ULONG KindBit(ULONG kind) { return 1u << kind; }

// Kinds whose single source ConnectSources sets.
constexpr ULONG kConnectSingleSourceKinds =
    KindBit(1) | KindBit(2) | KindBit(3) | KindBit(6) | KindBit(7) | KindBit(8) | KindBit(9) |
    KindBit(10) | KindBit(11) | KindBit(13) | KindBit(15) | KindBit(18) | KindBit(19) |
    KindBit(20) | KindBit(22) | KindBit(23);
// Kinds whose single source ChainNodes sets (kind 24 as well).
constexpr ULONG kChainSingleSourceKinds = kConnectSingleSourceKinds | KindBit(24);

bool KindIn(ULONG kind, ULONG set) { return kind < 32 && (set & KindBit(kind)) != 0; }

void SetSingleSource(IUacUnit* node, ULONG id) { node->SetSourceIds(1, &id); }
}  // namespace

// ---- level encodings ----

LONG DeviceWordToLevel(USHORT value) { return (LONG)(SHORT)value * 256; }

USHORT LevelToDeviceWord(LONG level) {
    if (level == LEVEL_MINUS_INFINITY) {
        return 0x8000;
    }
    return (USHORT)(level >> 8);
}

LONG DeviceByteToLevel(UCHAR value) { return (LONG)(signed char)value * 16384; }

UCHAR LevelToDeviceByte(LONG level) { return (UCHAR)(level >> 14); }

VOID LogDescriptorRefusal(ULONG interfaceNumber, ULONG entityId, ULONG subtype, const char* rule) {
    DbgPrint("interface %u, entity %u, subtype %u: %s; the device is not started\n", (unsigned)interfaceNumber,
             (unsigned)entityId, (unsigned)subtype, rule);
}

VOID LogEntityRefusal(const BYTE* descriptor, const void* device, const char* rule) {
    InterfaceRef<IUsbAudioDevice> usb(static_cast<IUnknown*>(const_cast<void*>(device)), IID_IUsbAudioDevice);
    const ULONG interfaceNumber = usb.get() != NULL ? usb->GetAudioControlInterfaceNumber() : 0;
    const ULONG id = descriptor[0] > UAC_ENTITY_ID_OFFSET ? descriptor[UAC_ENTITY_ID_OFFSET] : 0;
    LogDescriptorRefusal(interfaceNumber, id, descriptor[2], rule);
}

NTSTATUS CheckEntityDescriptor(const BYTE* descriptor, const void* device, const void* builder,
                               UCHAR subtype, ULONG minLength) {
    if (descriptor == NULL || device == NULL || builder == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (descriptor[0] < 3 || descriptor[1] != UAC_CS_INTERFACE || descriptor[2] != subtype ||
        descriptor[0] < minLength) {
        if (descriptor[0] >= 3) {
            LogEntityRefusal(descriptor, device, "the descriptor is too short or of another kind");
        }
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

// ---- CUacEntity ----

CUacEntity::CUacEntity(PUNKNOWN outer, ULONG index)
    : CUacUnitBase(outer, index, 0), m_Device(NULL), m_Descriptor(NULL), m_Nodes(NULL) {}

CUacEntity::~CUacEntity() {
    if (m_Descriptor != NULL) {
        ExFreePoolWithTag(m_Descriptor, UAC_ENTITY_TAG);
    }
    if (m_Nodes != NULL) {
        PVOID node = NULL;
        while (m_Nodes->RemoveHead(&node)) {
            static_cast<IUacUnit*>(node)->Release();
        }
        delete m_Nodes;
    }
}

NTSTATUS CUacEntity::SetDescriptor(const BYTE* descriptor, IUnknown* device) {
    if (descriptor == NULL || device == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG length = descriptor[0];
    BYTE* copy = static_cast<BYTE*>(ExAllocatePoolWithTag(PagedPool, length, UAC_ENTITY_TAG));
    CList* nodes = m_Nodes != NULL ? m_Nodes : new (NonPagedPoolNx, UAC_ENTITY_TAG) CList();
    if (copy == NULL || nodes == NULL) {
        if (copy != NULL) {
            ExFreePoolWithTag(copy, UAC_ENTITY_TAG);
        }
        if (nodes != NULL && nodes != m_Nodes) {
            delete nodes;
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memcpy(copy, descriptor, length);
    if (m_Descriptor != NULL) {
        ExFreePoolWithTag(m_Descriptor, UAC_ENTITY_TAG);
    }
    m_Descriptor = copy;
    m_Nodes = nodes;
    m_Device = device;
    return STATUS_SUCCESS;
}

NTSTATUS CUacEntity::OnControlChange(ULONG controlSelector, ULONG channel, ULONG* nodeId) {
    UNREFERENCED_PARAMETER(controlSelector);
    UNREFERENCED_PARAMETER(channel);
    if (nodeId == NULL || m_Nodes == NULL || m_Nodes->GetCount() != 1) {
        return STATUS_UNSUCCESSFUL;
    }
    return GetLastNodeId(nodeId);
}

NTSTATUS CUacEntity::AddNode(IUacUnit* node) {
    if (node == NULL || m_Nodes == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    node->AddRef();
    if (m_Nodes->AddTail(node) == NULL) {
        node->Release();
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUacEntity::GetNodeCount(ULONG* count) {
    if (count == NULL || m_Nodes == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    *count = (ULONG)m_Nodes->GetCount();
    return STATUS_SUCCESS;
}

NTSTATUS CUacEntity::GetNode(ULONG index, IUacUnit** node) {
    if (node == NULL || m_Nodes == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    PVOID data = NULL;
    if (index > (ULONG)LONG_MAX || !m_Nodes->GetAt((LONG)index, &data)) {
        return STATUS_UNSUCCESSFUL;
    }
    *node = static_cast<IUacUnit*>(data);
    return STATUS_SUCCESS;
}

NTSTATUS CUacEntity::GetLastNodeId(ULONG* id) {
    PVOID last = NULL;
    if (id == NULL || m_Nodes == NULL || !m_Nodes->GetTail(&last) || last == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    *id = static_cast<IUacUnit*>(last)->GetId();
    return STATUS_SUCCESS;
}

IUacUnit* CUacEntity::FindNodeOfKind(ULONG kind) {
    if (m_Nodes == NULL) {
        return NULL;
    }
    PVOID data = NULL;
    POSITION pos = m_Nodes->GetHeadPosition();
    while (m_Nodes->GetNext(pos, &data)) {
        if (static_cast<IUacUnit*>(data)->GetKind() == kind) {
            return static_cast<IUacUnit*>(data);
        }
    }
    return NULL;
}

// A mux or sum takes the whole list only when the count matches its own;
// a count mismatch, like the kinds without sources, changes nothing.
NTSTATUS CUacEntity::ConnectSources(ULONG count, const ULONG* sourceNodeIds) {
    PVOID first = NULL;
    if (sourceNodeIds == NULL || count == 0 || m_Nodes == NULL || !m_Nodes->GetHead(&first) ||
        first == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    IUacUnit* node = static_cast<IUacUnit*>(first);
    const ULONG kind = node->GetKind();
    if (kind == UNIT_KIND_MUX || kind == UNIT_KIND_SUM) {
        if (count == node->GetSourceCount()) {
            node->SetSourceIds(count, sourceNodeIds);
        }
    } else if (KindIn(kind, kConnectSingleSourceKinds)) {
        SetSingleSource(node, sourceNodeIds[0]);
    }
    return STATUS_SUCCESS;
}

void CUacEntity::ChainNodes() {
    PVOID data = NULL;
    if (m_Nodes == NULL || !m_Nodes->GetHead(&data)) {
        return;
    }
    ULONG running = static_cast<IUacUnit*>(data)->GetId();
    POSITION pos = m_Nodes->GetHeadPosition();
    m_Nodes->GetNext(pos, &data);  // the first node
    while (m_Nodes->GetNext(pos, &data)) {
        IUacUnit* node = static_cast<IUacUnit*>(data);
        const ULONG kind = node->GetKind();
        if (KindIn(kind, kChainSingleSourceKinds)) {
            SetSingleSource(node, running);
        }
        if (kind != UNIT_KIND_OUTPUT_PIN) {
            running = node->GetId();
        }
    }
}

NTSTATUS CUacEntity::TakeIdentity(ULONG sourceCount, const BYTE* sourceIds) {
    SetId(m_Descriptor[UAC_ENTITY_ID_OFFSET]);
    SetKind(m_Descriptor[2]);
    if (sourceCount == 0) {
        return SetSourceIds(0, NULL);
    }
    ULONG* ids = static_cast<ULONG*>(
        ExAllocatePoolWithTag(PagedPool, (SIZE_T)sourceCount * sizeof(ULONG), UAC1_NODE_TAG));
    if (ids == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < sourceCount; ++i) {
        ids[i] = sourceIds[i];
    }
    NTSTATUS status = SetSourceIds(sourceCount, ids);
    ExFreePoolWithTag(ids, UAC1_NODE_TAG);
    return status;
}

NTSTATUS CUacEntity::AddUnitToBuilder(IAudioHal* builder, IUacUnit* unit) {
    if (builder == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    return static_cast<CAudioHal*>(builder)->AddUnit(unit);
}

NTSTATUS CUacEntity::SendRequest(UAC_REQUEST request, USHORT value, PVOID buffer, ULONG length,
                                 ULONG* transferred) {
    if ((ULONG)request >= UAC_REQUEST_COUNT || m_Descriptor == NULL ||
        (buffer == NULL && length != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    const UAC_REQUEST_ROW& row = UAC_REQUEST_TABLE[request];
    InterfaceRef<IUsbAudioDevice> usb(m_Device, IID_IUsbAudioDevice);
    if (!NT_SUCCESS(usb.status())) {
        return usb.status();
    }
    const USHORT wValue = row.Value == UAC_VALUE_FROM_CALLER ? value : (USHORT)row.Value;
    const bool vendor = row.Kind == UAC_REQUEST_VENDOR ||
                        (row.Kind == UAC_REQUEST_CLASS_OR_VENDOR && (wValue >> 8) >= 0x80);
    URB urb;
    memset(&urb, 0, sizeof(urb));
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r = urb.UrbControlVendorClassRequest;
    r.Hdr.Length = sizeof(r);
    r.Hdr.Function = vendor ? URB_FUNCTION_VENDOR_INTERFACE : URB_FUNCTION_CLASS_INTERFACE;
    r.TransferFlags = row.In ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
    r.TransferBufferLength = length;
    r.TransferBuffer = buffer;
    r.Request = row.Request;
    r.Value = wValue;
    r.Index = (USHORT)(EntityId() << 8 | usb->GetAudioControlInterfaceNumber());
    if (row.In && length != 0) {
        memset(buffer, 0, length);
    }
    NTSTATUS status = usb->SubmitUrbSync(&urb);
    if (!NT_SUCCESS(status) || !row.In) {
        return status;
    }
    const ULONG received = r.TransferBufferLength < length ? r.TransferBufferLength : length;
    if (transferred != NULL) {
        *transferred = received;
        return status;
    }
    return received < length ? STATUS_UNSUCCESSFUL : status;
}

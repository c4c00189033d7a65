// Service groups and their DPC.
#include "nt/ke.h"
#include "platform/portcls/pc_service_group.h"

namespace pcls {

CServiceGroup::CServiceGroup() {
    KeInitializeSpinLock(&m_Lock);
    KeInitializeDpc(&m_Dpc, ServiceDpc, this);
}

CServiceGroup::~CServiceGroup() {
    // Members are released here; a queued DPC holds a reference, so none is
    // queued any more.
    for (ULONG i = 0; i < m_MemberCount; ++i) m_Members[i]->Release();
}

NTSTATUS CServiceGroup::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (iid == IID_IUnknown || iid == IID_IServiceSink || iid == IID_IServiceGroup)
        return ReturnInterface(static_cast<IServiceGroup*>(this), out);
    return RefuseInterface(out);
}

CServiceGroup* CServiceGroup::FromInterface(PSERVICEGROUP group) {
    return group ? dynamic_cast<CServiceGroup*>(group) : nullptr;
}

NTSTATUS CServiceGroup::AddMember(PSERVICESINK ServiceSink) {
    if (ServiceSink == nullptr) return STATUS_INVALID_PARAMETER;
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    NTSTATUS status = STATUS_SUCCESS;
    if (m_MemberCount == kMaxMembers) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        ServiceSink->AddRef();
        m_Members[m_MemberCount++] = ServiceSink;
    }
    KeReleaseSpinLock(&m_Lock, irql);
    return status;
}

VOID CServiceGroup::RemoveMember(PSERVICESINK ServiceSink) {
    PSERVICESINK removed = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    for (ULONG i = 0; i < m_MemberCount; ++i) {
        if (m_Members[i] != ServiceSink) continue;
        removed = m_Members[i];
        m_Members[i] = m_Members[--m_MemberCount];
        m_Members[m_MemberCount] = nullptr;
        break;
    }
    KeReleaseSpinLock(&m_Lock, irql);
    if (removed) removed->Release();
}

VOID CServiceGroup::RequestService() {
    PSERVICESINK members[kMaxMembers];
    ULONG count;
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    count = m_MemberCount;
    for (ULONG i = 0; i < count; ++i) {
        members[i] = m_Members[i];
        members[i]->AddRef();
    }
    KeReleaseSpinLock(&m_Lock, irql);
    for (ULONG i = 0; i < count; ++i) {
        members[i]->RequestService();
        members[i]->Release();
    }
}

void CServiceGroup::QueueService() {
    AddRef();  // held by the queued DPC
    if (!KeInsertQueueDpc(&m_Dpc, nullptr, nullptr)) Release();
}

VOID CServiceGroup::ServiceDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* group = static_cast<CServiceGroup*>(context);
    group->RequestService();
    group->Release();
}

}  // namespace pcls

NTSTATUS PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown) {
    PAGED_CODE();
    NTSTATUS status = pcls::CheckCall(sim::PcCall::NewServiceGroup);
    if (!NT_SUCCESS(status)) return status;
    if (OutServiceGroup == nullptr) return STATUS_INVALID_PARAMETER;
    *OutServiceGroup = nullptr;
    if (OuterUnknown != nullptr) return STATUS_INVALID_PARAMETER;  // groups are not aggregated
    auto* group = new (NonPagedPoolNx, pcls::kTagServiceGroup) pcls::CServiceGroup();
    if (group == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    group->AddRef();
    *OutServiceGroup = group;
    return STATUS_SUCCESS;
}

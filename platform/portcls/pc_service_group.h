// Service groups (PcNewServiceGroup): a set of service sinks that one
// RequestService reaches, and the DPC through which IPortWaveCyclic::Notify
// asks for that at DISPATCH_LEVEL. Groups are never aggregated.
#pragma once

#include "platform/portcls/pc_internal.h"

namespace pcls {

class CServiceGroup : public IServiceGroup, public CPcObject {
public:
    // Members a group can hold at once; AddMember beyond it fails with
    // STATUS_INSUFFICIENT_RESOURCES.
    static constexpr ULONG kMaxMembers = 16;

    CServiceGroup();
    ~CServiceGroup() override;
    PC_OBJECT_UNKNOWN()

    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;
    // Calls every member's RequestService, outside the group's lock, each
    // member held by a reference for the call. IRQL <= DISPATCH_LEVEL.
    VOID RequestService() override;
    NTSTATUS AddMember(PSERVICESINK ServiceSink) override;
    VOID RemoveMember(PSERVICESINK ServiceSink) override;

    // Queues the service DPC unless it is already queued (then the pending
    // pass serves this request too). Any IRQL up to DISPATCH_LEVEL.
    void QueueService();
    static CServiceGroup* FromInterface(PSERVICEGROUP group);

private:
    static KDEFERRED_ROUTINE ServiceDpc;

    KSPIN_LOCK m_Lock;
    PSERVICESINK m_Members[kMaxMembers] = {};
    ULONG m_MemberCount = 0;
    KDPC m_Dpc;
};

}  // namespace pcls

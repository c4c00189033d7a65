// The ports of the port-class subset. A port binds one miniport (IPort::
// Init), is registered as a subdevice of an FDO, carries the filter handles
// and wave pins opened on it, and releases its miniport when its subdevice
// is unregistered (or when the device stops or goes away), which breaks the
// port<->miniport reference cycle.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/portcls/pc_internal.h"

namespace pcls {

// Common part of both ports: the unregistration interfaces, the version,
// the bound miniport and its users. Not aggregatable (ports never are).
class CPortBase : public IPortClsVersion,
                  public IUnregisterSubdevice,
                  public IUnregisterPhysicalConnection,
                  public CPcObject {
public:
    explicit CPortBase(PC_PORT_KIND kind);
    ~CPortBase() override;
    PC_OBJECT_UNKNOWN()

    DWORD GetVersion() override;
    NTSTATUS UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown) override;
    NTSTATUS UnregisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                          ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin) override;

    PC_PORT_KIND Kind() const { return m_Kind; }
    // The port behind any interface pointer of a port of this stand-in, or
    // NULL for anything else.
    static CPortBase* FromUnknown(PUNKNOWN unknown);
    // The port's IUnknown (what QueryInterface(IID_IUnknown) answers, and
    // the IPort that PcNewPort handed out).
    virtual PUNKNOWN Identity() = 0;

    // Snapshot accessors; the pointers stay valid while the caller holds a
    // user count (AddUser) or runs inside the port class's own PnP path.
    const PCFILTER_DESCRIPTOR* Descriptor();
    PMINIPORT Miniport();  // no reference
    PUNKNOWN MajorTarget();
    PDEVICE_OBJECT BoundFdo();
    bool HasMiniport();

    // Registration state, changed by the subdevice code under the device lock.
    std::atomic<bool> m_Registered{false};

    // After unregistration: release the miniport now, or when the last
    // filter handle or pin closes.
    void DropMiniport();
    // Filter handles and pins hold the port's miniport while open.
    NTSTATUS AddUser();
    void RemoveUser();
    void AttachFilter(PC_FILTER_INSTANCE* filter);
    void DetachFilter(PC_FILTER_INSTANCE* filter);
    PVOID* FrontEndContext() { return &m_FrontEndContext; }

    // Pin instances (wave pins); FALSE when the pin's limits are reached.
    bool AcquirePinInstance(ULONG pinId, ULONG maxFilter, ULONG maxGlobal);
    void ReleasePinInstance(ULONG pinId);

    // Called by a device going away: forget the FDO binding.
    void ForgetDevice();

protected:
    // The shared body of IPort::Init. queryAndInit queries the miniport for
    // the port's miniport interface and calls its Init; it returns that
    // interface as IMiniport (one reference) through *bound.
    NTSTATUS BindMiniport(PDEVICE_OBJECT DeviceObject, PUNKNOWN UnknownMiniport,
                          PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList);
    virtual NTSTATUS QueryAndInitMiniport(PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                                          PRESOURCELIST ResourceList, PMINIPORT* bound) = 0;
    // Answers the interfaces common to both ports.
    NTSTATUS QueryCommon(REFIID iid, PVOID* out);

private:
    void ReleaseMiniportNow();

    const PC_PORT_KIND m_Kind;
    std::mutex m_Lock;
    bool m_InitCalled = false;
    PMINIPORT m_Miniport = nullptr;  // one reference while bound
    PUNKNOWN m_MajorTarget = nullptr;
    const PCFILTER_DESCRIPTOR* m_Descriptor = nullptr;
    PcDevice* m_Device = nullptr;  // the FDO's record while it exists
    PDEVICE_OBJECT m_Fdo = nullptr;
    bool m_DropPending = false;
    ULONG m_Users = 0;
    std::vector<PC_FILTER_INSTANCE*> m_Filters;
    std::vector<ULONG> m_PinInstances;
    PVOID m_FrontEndContext = nullptr;
};

class CPortTopology : public IPortTopology, public IPortEvents, public CPortBase {
public:
    CPortTopology();
    ~CPortTopology() override;
    PC_OBJECT_UNKNOWN()

    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;
    NTSTATUS Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport,
                  PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) override;
    VOID AddEventToEventList(PKSEVENT_ENTRY EventEntry) override;
    VOID GenerateEventList(GUID* Set, ULONG EventId, BOOL PinEvent, ULONG PinId, BOOL NodeEvent,
                           ULONG NodeId) override;

    std::vector<sim::PcPortEventCall> EventLog();
    PUNKNOWN Identity() override { return static_cast<IPortTopology*>(this); }

protected:
    NTSTATUS QueryAndInitMiniport(PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                                  PRESOURCELIST ResourceList, PMINIPORT* bound) override;

private:
    std::mutex m_LogLock;
    std::vector<sim::PcPortEventCall> m_EventLog;
};

class CPortWaveCyclic : public IPortWaveCyclic, public CPortBase {
public:
    CPortWaveCyclic();
    PC_OBJECT_UNKNOWN()

    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;
    NTSTATUS Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport,
                  PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) override;
    VOID Notify(PSERVICEGROUP ServiceGroup) override;
    PUNKNOWN Identity() override { return static_cast<IPortWaveCyclic*>(this); }

protected:
    NTSTATUS QueryAndInitMiniport(PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                                  PRESOURCELIST ResourceList, PMINIPORT* bound) override;
};

}  // namespace pcls

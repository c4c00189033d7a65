// The topology miniport of the adapter: builds the "GlobalTopo" filter
// from the adapter's unit list when the port initialises it, serves the
// filter's properties and control-change events, and maps unit ids to
// topology pin ids for the wave subdevices.
#pragma once

#include "adapter/audio_hal.h"
#include "portcls/portcls.h"
#include "topology/topo_builder.h"

// {1C704CEB-6111-4878-A9AF-0575E1C79F76}
inline constexpr GUID IID_IMiniportInfo = {0x1C704CEB, 0x6111, 0x4878,
                                           {0xA9, 0xAF, 0x05, 0x75, 0xE1, 0xC7, 0x9F, 0x76}};

// Private interface of this driver's miniports.
struct IMiniportInfo : public IUnknown {
    // Topology: unit id in, topology pin id out. Wave: the unit id of the
    // engine's USB streaming terminal.
    virtual NTSTATUS QueryMappedId(ULONG* id) = 0;
    // The subdevice name, owned by the miniport.
    virtual NTSTATUS GetName(PWSTR* name) = 0;
};

// The port-class miniport create callback: the object from poolType
// ("TOPO"), returned as its non-delegating unknown with one reference.
NTSTATUS CreateMiniportTopology(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN unknownOuter,
                                POOL_TYPE poolType);

class CMiniportTopology : public IMiniportTopology,
                          public IPowerNotify,
                          public IMiniportInfo,
                          public CUnknown {
public:
    explicit CMiniportTopology(PUNKNOWN outer);
    ~CMiniportTopology() override;

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // IMiniport / IMiniportTopology
    NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR* description) override;
    NTSTATUS DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange,
                                   PKSDATARANGE matchingDataRange, ULONG outputBufferLength,
                                   PVOID resultantFormat, PULONG resultantFormatLength) override;
    NTSTATUS Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList,
                  PPORTTOPOLOGY port) override;
    // IPowerNotify
    VOID PowerChangeNotify(POWER_STATE newState) override;
    // IMiniportInfo
    NTSTATUS QueryMappedId(ULONG* id) override;
    NTSTATUS GetName(PWSTR* name) override;

    // For the handlers: the miniport behind a request's MajorTarget (the
    // unknown given to the port's Init), or NULL. No reference is taken;
    // the port keeps the miniport alive while it serves requests.
    static CMiniportTopology* FromTarget(PUNKNOWN majorTarget);

    const TOPO_GRAPH* Graph() const { return &m_Graph; }
    PPORTEVENTS PortEvents() const { return m_pPortEvents; }
    IAudioHal* AudioHal() const { return m_pAudioHal; }
    ULONG PowerState() const { return m_PowerState; }

    // KSEVENT_CONTROL_CHANGE for one node through the port's event list.
    void RaiseControlChange(ULONG nodeId);
    // Notification from the adapter's callback object (AUDIOHAL_NOTIFICATION).
    void OnUnitChanged(const AUDIOHAL_NOTIFICATION* message);

private:
    NTSTATUS InitSteps(PUNKNOWN unknownAdapter, PPORTTOPOLOGY port);
    void UndoInit();

    TOPO_DESCRIPTION m_Description;
    PPORTTOPOLOGY m_pPort;
    PPORTEVENTS m_pPortEvents;
    PWSTR m_pName;
    PVOID m_CallbackRegistration;
    IAudioHal* m_pAudioHal;
    ULONG m_PowerState;
    TOPO_GRAPH m_Graph;
};

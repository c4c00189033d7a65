// Control-change events: enabling through the front end, unit
// notifications on the adapter's callback object, the private level SET,
// disabling and release.
#include "nt/ex.h"
#include "sim/object.h"
#include "tests/topology/property_graph.h"
#include "topology/topo_tables.h"

namespace topotest {
namespace {

// A client's event: a KEVENT object reached through a handle.
class ClientEvent {
public:
    ClientEvent() {
        m_Event = static_cast<PRKEVENT>(sim::ObCreateObject(*ExEventObjectType, sizeof(KEVENT), MakePoolTag("TEvt")));
        KeInitializeEvent(m_Event, NotificationEvent, FALSE);
        m_Handle = sim::ObCreateHandle(m_Event);
        ObDereferenceObject(m_Event);
    }
    ~ClientEvent() { ZwClose(m_Handle); }
    KSEVENTDATA Data() const {
        KSEVENTDATA d = {};
        d.NotificationType = KSEVENTF_EVENT_HANDLE;
        d.EventHandle.Event = m_Handle;
        return d;
    }
    // Signalled since the last call?
    bool Take() { return KeResetEvent(m_Event) != 0; }

private:
    PRKEVENT m_Event;
    HANDLE m_Handle;
};

KSE_NODE ControlChange(ULONG node, ULONG flags = KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_TOPOLOGY) {
    KSE_NODE e = {};
    e.Event.Set = KSEVENTSETID_AudioControlChange;
    e.Event.Id = KSEVENT_CONTROL_CHANGE;
    e.Event.Flags = flags;
    e.NodeId = node;
    return e;
}

int g_Owner;  // the filter handle's file object stands in as owner

class EventTest : public PropertyGraphTest {
protected:
    NTSTATUS Enable(ClientEvent& client, ULONG node, ULONG flags = KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_TOPOLOGY) {
        KSE_NODE e = ControlChange(node, flags);
        KSEVENTDATA d = client.Data();
        return KsEnableEvent(port->Target(), &e, sizeof(e), &d, sizeof(d), &g_Owner);
    }
    NTSTATUS Disable(ClientEvent& client) {
        KSEVENTDATA d = client.Data();
        return KsDisableEvent(port->Target(), &d, sizeof(d), &g_Owner);
    }
    void TearDown() override {
        KsFreeEvents(&g_Owner);
        PropertyGraphTest::TearDown();
    }
};

TEST_F(EventTest, UnitNotificationSignalsTheNodesEventOnce) {
    ClientEvent client;
    ASSERT_EQ(Enable(client, kNodeVolume), STATUS_SUCCESS);
    EXPECT_EQ(port->Events().Count(), 1u);
    hal->Notify(3);  // the volume node's unit
    EXPECT_TRUE(client.Take());
    EXPECT_EQ(port->GenerateCalls(), 1u);
    EXPECT_EQ(port->LastGeneratedNode(), (ULONG)kNodeVolume);
    EXPECT_FALSE(client.Take());
}

TEST_F(EventTest, PinsOtherTypesAndUnknownIdsSignalNothing) {
    ClientEvent client;
    ASSERT_EQ(Enable(client, kNodeVolume), STATUS_SUCCESS);
    hal->Notify(1);                 // the microphone pin's unit
    hal->Notify(3, 2);              // a message of another type
    hal->Notify(3, 1, 2);           // another code
    hal->Notify(4242);              // no unit
    hal->Notify(4);                 // another node: generated, but not this event
    EXPECT_FALSE(client.Take());
    EXPECT_EQ(port->GenerateCalls(), 1u);
}

TEST_F(EventTest, PrivateLevelSetRaisesTheEventAndVolumeLevelDoesNot) {
    ClientEvent client;
    ASSERT_EQ(Enable(client, kNodeVolume), STATUS_SUCCESS);
    std::vector<UCHAR> level = Bytes({(ULONG)-65536});
    ASSERT_EQ(Send(NodeRequest(KSPROPSETID_Audio, 4, KSPROPERTY_TYPE_SET, kNodeVolume, {0}), 4, &level).Status,
              STATUS_SUCCESS);
    EXPECT_FALSE(client.Take());
    ASSERT_EQ(Send(NodeRequest(KSPROPSETID_PrivateAudio, 3, KSPROPERTY_TYPE_SET, kNodeVolume, {0}), 4, &level).Status,
              STATUS_SUCCESS);
    EXPECT_TRUE(client.Take());
    EXPECT_EQ(port->GenerateCalls(), 1u);
}

TEST_F(EventTest, NothingAfterDisableOrRelease) {
    ClientEvent client;
    ASSERT_EQ(Enable(client, kNodeMute), STATUS_SUCCESS);
    ASSERT_EQ(Disable(client), STATUS_SUCCESS);
    EXPECT_EQ(Disable(client), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(port->Events().Count(), 0u);
    hal->Notify(4);
    EXPECT_FALSE(client.Take());

    ASSERT_EQ(Enable(client, kNodeMute), STATUS_SUCCESS);
    fakes::CFakeAudioHal* adapter = hal;
    adapter->AddRef();
    ReleaseAll();  // the miniport unregisters from the adapter
    EXPECT_EQ(adapter->RegistrationCount(), 0u);
    adapter->Notify(4);
    EXPECT_FALSE(client.Take());
    adapter->Release();
    KsFreeEvents(&g_Owner);
    EXPECT_EQ(KsEnabledEventCount(), 0u);
}

TEST_F(EventTest, EnableIsRefusedWhereNoEventIsCarried) {
    ClientEvent client;
    EXPECT_EQ(Enable(client, kNodeMux), STATUS_NOT_FOUND);       // the selector carries none
    EXPECT_EQ(Enable(client, kNodeSingleMux), STATUS_NOT_FOUND);
    EXPECT_EQ(Enable(client, kNodeCount), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Enable(client, kNodeVolume, KSEVENT_TYPE_ENABLE), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Enable(client, kNodeVolume, KSEVENT_TYPE_ONESHOT | KSEVENT_TYPE_TOPOLOGY), STATUS_NOT_SUPPORTED);
    KSE_NODE e = ControlChange(kNodeVolume);
    KSEVENTDATA d = client.Data();
    d.NotificationType = KSEVENTF_SEMAPHORE_HANDLE;
    EXPECT_EQ(KsEnableEvent(port->Target(), &e, sizeof(e), &d, sizeof(d), &g_Owner), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(KsEnableEvent(port->Target(), &e, 24, &d, sizeof(d), &g_Owner), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(KsEnabledEventCount(), 0u);
}

TEST_F(EventTest, EventHandlerVerbsAndNodeRange) {
    PCEVENT_REQUEST r = {};
    r.MajorTarget = miniportUnknown;
    r.Node = kNodeCount;
    r.Verb = PCEVENT_VERB_REMOVE;
    EXPECT_EQ(EventHandler(&r), STATUS_INVALID_PARAMETER);
    r.Node = kNodeVolume;
    EXPECT_EQ(EventHandler(&r), STATUS_SUCCESS);
    r.Verb = PCEVENT_VERB_SUPPORT;
    EXPECT_EQ(EventHandler(&r), STATUS_SUCCESS);
    r.Verb = 8;
    EXPECT_EQ(EventHandler(&r), STATUS_INVALID_PARAMETER);
    r.Verb = PCEVENT_VERB_ADD;  // no entry
    EXPECT_EQ(EventHandler(&r), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(port->Events().Count(), 0u);
}

}  // namespace
}  // namespace topotest

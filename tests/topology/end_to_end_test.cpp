// "GlobalTopo" through the port class: a driver whose StartDevice installs
// the topology subdevice as the device core does, a client that opens the
// filter by name and sends raw IOCTL_KS_PROPERTY and IOCTL_KS_ENABLE_EVENT
// requests, and a unit notification on the adapter's callback object that
// signals the enabled event. Removing the device unregisters the subdevice,
// which releases the miniport and with it every unit reference and block.
#include "nt/ex.h"
#include "platform/ks/ks_portcls_hooks.h"
#include "platform/portcls/sim_portcls.h"
#include "sim/ioctl_harness.h"
#include "sim/object.h"
#include "sim/pnp_harness.h"
#include "tests/topology/topo_fixture.h"

namespace topotest {
namespace {

fakes::CFakeAudioHal* g_Adapter = NULL;

NTSTATUS InstallTopology(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST) {
    PPORT port = NULL;
    NTSTATUS status = PcNewPort(&port, CLSID_PortTopology);
    if (!NT_SUCCESS(status)) return status;
    PUNKNOWN miniport = NULL;
    status = CreateMiniportTopology(&miniport, CLSID_PortTopology, NULL, NonPagedPoolNx);
    if (NT_SUCCESS(status)) {
        status = port->Init(fdo, irp, miniport, static_cast<IAudioHal*>(g_Adapter), NULL);
    }
    IMiniportInfo* info = NULL;
    if (NT_SUCCESS(status)) {
        status = miniport->QueryInterface(IID_IMiniportInfo, (PVOID*)&info);
    }
    PWSTR name = NULL;
    if (NT_SUCCESS(status)) {
        status = info->GetName(&name);
    }
    if (NT_SUCCESS(status)) {
        status = PcRegisterSubdevice(fdo, name, port);
    }
    if (info) info->Release();
    if (miniport) miniport->Release();
    port->Release();
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    return PcAddAdapterDevice(driver, pdo, InstallTopology, 4, PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    return PcInitializeAdapterDriver(driver, registryPath, AddDevice);
}

class EndToEndTest : public TopoTest {
protected:
    void SetUp() override {
        TopoTest::SetUp();
        sim::PcResetState();
        KsInstallTopologyFilterHooks();
        g_Adapter = hal;
    }
    void TearDown() override {
        sim::PcResetState();
        g_Adapter = NULL;
        TopoTest::TearDown();
    }
};

TEST_F(EndToEndTest, ClientReadsSetsDescribesAndReceivesAnEvent) {
    AddInputPin(1, ENDPOINT_STREAM);
    CVolumeUnit* volume = AddVolume(2, 1);
    AddOutputPin(3, 2, ENDPOINT_SPK);
    {
        sim::PnpHarness device;
        ASSERT_EQ(device.LoadDriver(DriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(device.AddDevice(), STATUS_SUCCESS);
        ASSERT_EQ(device.StartDevice(), STATUS_SUCCESS);
        sim::UserProcess client;
        sim::UserHandle filter(client);
        ASSERT_EQ(filter.OpenDevice(device.TopDevice(), u"\\GlobalTopo"), STATUS_SUCCESS);

        // SET channel 1 to -3 dB, GET it back, then the basic support.
        std::vector<UCHAR> set = NodeRequest(KSPROPSETID_Audio, 4, KSPROPERTY_TYPE_SET, 0, {1});
        LONG level = -3 * 65536;
        sim::IoctlResult r = filter.DeviceIoControl(IOCTL_KS_PROPERTY, set.data(), (ULONG)set.size(), &level, 4);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        LONG stored = 0;
        volume->GetValue(1, &stored);
        EXPECT_EQ(stored, level);
        std::vector<UCHAR> get = NodeRequest(KSPROPSETID_Audio, 4, KSPROPERTY_TYPE_GET, 0, {1});
        LONG got = 0;
        r = filter.DeviceIoControl(IOCTL_KS_PROPERTY, get.data(), (ULONG)get.size(), &got, 4);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, 4u);
        EXPECT_EQ(got, level);
        std::vector<UCHAR> basic = NodeRequest(KSPROPSETID_Audio, 4, KSPROPERTY_TYPE_BASICSUPPORT, 0);
        UCHAR description[88] = {};
        r = filter.DeviceIoControl(IOCTL_KS_PROPERTY, basic.data(), (ULONG)basic.size(), description, 88);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, 88u);
        std::vector<UCHAR> jack = FilterRequest(KSPROPSETID_Jack, 1, KSPROPERTY_TYPE_GET, {1});
        r = filter.DeviceIoControl(IOCTL_KS_PROPERTY, jack.data(), (ULONG)jack.size(), description, 64);
        EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);  // the speaker pin has no jacks

        // Enable KSEVENT_CONTROL_CHANGE on the volume node.
        PRKEVENT event = static_cast<PRKEVENT>(sim::ObCreateObject(*ExEventObjectType, sizeof(KEVENT), MakePoolTag("TEvt")));
        KeInitializeEvent(event, NotificationEvent, FALSE);
        HANDLE handle = sim::ObCreateHandle(event);
        ObDereferenceObject(event);
        KSE_NODE enable = {};
        enable.Event.Set = KSEVENTSETID_AudioControlChange;
        enable.Event.Id = KSEVENT_CONTROL_CHANGE;
        enable.Event.Flags = KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_TOPOLOGY;
        enable.NodeId = 0;
        KSEVENTDATA data = {};
        data.NotificationType = KSEVENTF_EVENT_HANDLE;
        data.EventHandle.Event = handle;
        r = filter.DeviceIoControl(IOCTL_KS_ENABLE_EVENT, &enable, sizeof(enable), &data, sizeof(data));
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        hal->Notify(2);
        EXPECT_EQ(KeReadStateEvent(event), 1);
        KeResetEvent(event);
        hal->Notify(3);  // a pin: nothing
        EXPECT_EQ(KeReadStateEvent(event), 0);

        filter.Close();  // frees the enabled event
        EXPECT_EQ(KsEnabledEventCount(), 0u);
        ZwClose(handle);
        EXPECT_EQ(device.RemoveDevice(), STATUS_SUCCESS);
        device.UnloadDriver();
    }
    EXPECT_EQ(hal->RegistrationCount(), 0u);
    EXPECT_EQ(volume->AddRef(), 2u);  // the adapter's reference and this one
    volume->Release();
    EXPECT_EQ(sim::PoolLiveBlocks(TOPO_BUILD_TAG), 0);
}

}  // namespace
}  // namespace topotest

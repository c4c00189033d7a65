// End to end: the driver loads through the PnP harness on a simulated UAC
// 1.0 headset, chooses the generic UAC 1.0 slot (here the fake model),
// starts, serves ASIO requests to the recording operations through the
// buffered harness, hears a control change through the adapter, goes
// D0 -> D3 -> D0, and is surprise-removed and removed: no pool leak, no
// callback registration left, only the two permanent callback objects.
#include <gtest/gtest.h>

#include "adapter/private_interfaces.h"
#include "adapter/uac_hal.h"
#include "sim/ioctl_harness.h"
#include "sim/object.h"
#include "sim/system.h"
#include "tests/fakes/adapter/asio_recorder.h"
#include "tests/fakes/adapter/driver_fixture.h"
#include "tests/fakes/adapter/fake_log.h"
#include "tests/fakes/adapter/fake_miniports.h"
#include "tests/fakes/adapter/fake_model.h"
#include "platform/usb/uac_builder.h"

namespace {

using fakes::Asio;
using fakes::LogWith;

struct Heard {
    int calls = 0;
    AUDIOHAL_NOTIFICATION message = {};
};

VOID OnChange(PVOID context, PVOID argument1, PVOID) {
    auto* heard = static_cast<Heard*>(context);
    ++heard->calls;
    heard->message = *static_cast<AUDIOHAL_NOTIFICATION*>(argument1);
}

class EndToEnd : public fakes::DriverTest {};

TEST_F(EndToEnd, HeadsetLoadsStartsServesPowersAndGoes) {
    fakes::EngineSpec render;
    render.type = ENDPOINT_SPK;
    render.caps.Flags = ENDPOINT_CAPS_ASIO;
    fakes::EngineSpec capture;
    capture.type = ENDPOINT_MIC;
    capture.capture = true;
    fakes::NextModel().engines = {render, capture};
    fakes::NextModel().units = {fakes::UnitSpec{}};
    PlugUsb(simusb::BuildUac1Headset());
    const LONG timerRequests = sim::TimerResolutionRequests();

    LoadAndAdd();
    ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    EXPECT_EQ(LogWith("model:uac1"), std::vector<std::string>{"model:uac1:4617:31233:0"});
    EXPECT_EQ(fakes::Models().running, 1);
    ASSERT_NE(Context()->AudioHal, nullptr);
    EXPECT_TRUE(Context()->AsioInterfaceEnabled);
    EXPECT_EQ(sim::TimerResolutionRequests(), timerRequests + 1);

    sim::UserProcess process;
    {
        sim::UserHandle asio(process);
        ASSERT_EQ(asio.OpenInterface(AsioLink()), STATUS_SUCCESS);
        Asio().reply = {0x80, 0xBB, 0, 0};
        ULONG rate = 0;
        sim::IoctlResult r = asio.DeviceIoControl(IOCTL_ASIO_GET_SAMPLE_RATE, NULL, 0, &rate, sizeof(rate));
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(rate, 48000u);
        ULONG latency = 3;
        r = asio.DeviceIoControl(IOCTL_ASIO_SET_LATENCY, &latency, sizeof(latency), NULL, 0);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        asio.Close();
    }
    EXPECT_EQ(Asio().Names(),
              (std::vector<std::string>{"AsioOpen", "AsioGetSampleRate", "AsioSetLatency", "AsioDisposeBuffers",
                                        "AsioClose"}));

    // A listener registered through the adapter hears the model's object.
    IAudioHal* adapter = Context()->AudioHal;
    Heard heard;
    PVOID registration = NULL;
    ASSERT_EQ(adapter->RegisterCallback(OnChange, &heard, &registration), STATUS_SUCCESS);
    IUacHal* model = NULL;
    ASSERT_EQ(adapter->QueryInterface(IID_IUacHal, reinterpret_cast<PVOID*>(&model)), STATUS_SUCCESS);
    PVOID callbackObject = NULL;
    ASSERT_EQ(model->GetCallbackObject(&callbackObject), STATUS_SUCCESS);
    model->Release();
    AUDIOHAL_NOTIFICATION change = {AUDIOHAL_NOTIFY_CONTROL_CHANGE, AUDIOHAL_NOTIFY_CODE, 5, 0};
    ExNotifyCallback(callbackObject, &change, NULL);
    EXPECT_EQ(heard.calls, 1);
    EXPECT_EQ(heard.message.Id, 5u);
    EXPECT_EQ(adapter->UnregisterCallback(registration), STATUS_SUCCESS);

    fakes::ClearLog();
    ASSERT_EQ(Device().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(sim::TimerResolutionRequests(), timerRequests);
    ASSERT_EQ(Device().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(LogWith("model:power"), (std::vector<std::string>{"model:power:D3", "model:power:D0"}));
    EXPECT_EQ(sim::TimerResolutionRequests(), timerRequests + 1);

    ASSERT_EQ(Device().SurpriseRemoval(), STATUS_SUCCESS);
    EXPECT_EQ(fakes::Models().running, 0);
    ASSERT_EQ(Device().RemoveDevice(), STATUS_SUCCESS);
    EXPECT_EQ(fakes::Models().destroyed, 1);
    EXPECT_EQ(fakes::LiveFakeMiniports(), 0);
    EXPECT_EQ(sim::TimerResolutionRequests(), timerRequests);
    // The adapter's and the model's callback objects stay by their names
    // (permanent), each held by nothing else.
    EXPECT_EQ(sim::ObPermanentCount(), 2u) << sim::ObPermanentReport();
    RemoveAndUnload();
}

}  // namespace

// The adapter object's seams to the USB side, on the simulated headset:
// IUsbAudioDevice answered by the embedded transport, a port recovery that
// re-initialises the model through the power interface the adapter handed
// over, and selective suspend owned by the adapter (the idle device goes
// to D2 through the port class, the next IRP brings it back once).
#include <gtest/gtest.h>

#include "adapter/usb/usb_audio_device.h"
#include "adapter/usb_audio_hal.h"
#include "sim/executor.h"
#include "sim/send_irp.h"
#include "tests/fakes/adapter/driver_fixture.h"
#include "tests/fakes/adapter/fake_log.h"
#include "tests/fakes/adapter/fake_model.h"
#include "platform/usb/uac_builder.h"

namespace {

using fakes::LogWith;

class SeamTest : public fakes::DriverTest {
protected:
    void Start(bool selectiveSuspend = false) {
        fakes::NextModel().engines = {fakes::EngineSpec{}};
        PlugUsb(simusb::BuildUac1Headset());
        if (selectiveSuspend) Port().SetDeviceParameter(u"SelectiveSuspendEnabled", 1);
        LoadAndAdd();
        ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
        ASSERT_EQ(Context()->AudioHal->QueryInterface(IID_IUsbAudioDevice, reinterpret_cast<PVOID*>(&m_Usb)),
                  STATUS_SUCCESS);
        m_Usb->Release();  // the adapter stays published
    }
    IUsbAudioDevice* m_Usb = NULL;
};

TEST_F(SeamTest, UsbAudioDeviceIsTheTransport) {
    Start();
    PUSB_CONFIGURATION_DESCRIPTOR configuration = m_Usb->GetConfigurationDescriptor();
    ASSERT_NE(configuration, nullptr);
    EXPECT_EQ(configuration->wTotalLength, simusb::BuildUac1Headset().configuration.size());
    EXPECT_NE(m_Usb->GetConfigurationHandle(), nullptr);
    EXPECT_EQ(m_Usb->GetAudioControlInterfaceNumber(), 0);
    EXPECT_FALSE(m_Usb->IsHighSpeed());
    EXPECT_EQ(m_Usb->GetLowerDeviceObject(), Device().Pdo());
    EXPECT_EQ(m_Usb->BusyAddRef(), 1);
    EXPECT_EQ(m_Usb->BusyRelease(), 0);
    Port().bus().SetFrameNumber(1234);
    ULONG frame = 0;
    EXPECT_EQ(m_Usb->GetCurrentFrameNumber(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame, 1234u);
    PIRP irp = m_Usb->AllocateIrp();
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, Fdo()->StackSize + 1);
    EXPECT_EQ(m_Usb->FreeIrp(irp), STATUS_SUCCESS);

    UCHAR device[18] = {};
    URB urb = {};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0,
                                 0, device, NULL, sizeof(device), NULL);
    EXPECT_EQ(m_Usb->SubmitUrbSync(&urb), STATUS_SUCCESS);
    EXPECT_EQ(device[1], USB_DEVICE_DESCRIPTOR_TYPE);
}

TEST_F(SeamTest, PortRecoveryReinitialisesTheModel) {
    Start();
    fakes::ClearLog();
    simusb::PortStatusAnswer gone;
    gone.status = STATUS_NO_SUCH_DEVICE;
    Port().bus().ScriptPortStatus({gone, simusb::PortStatusAnswer{}});
    EXPECT_FALSE(m_Usb->CheckPresenceAndRecover());
    EXPECT_EQ(Port().bus().ResetPortCount(), 1);
    EXPECT_EQ(LogWith("model:power"), (std::vector<std::string>{"model:power:D3", "model:power:D0"}));
}

TEST_F(SeamTest, SelectiveSuspendBelongsToTheAdapter) {
    Start(true);
    simusb::SimUsbBus& bus = Port().bus();
    fakes::ClearLog();
    ASSERT_TRUE(bus.WaitUntil([&] { return bus.suspended(); }, 11000));
    EXPECT_EQ(static_cast<CUsbAudioHal*>(Context()->AudioHal)->GetPowerState(), (ULONG)PowerDeviceD2);
    EXPECT_EQ(LogWith("model:power"), std::vector<std::string>{"model:power:D2"});

    // Any request wakes it, once.
    sim::SendIrp(Device().Pdo(), [](PIRP, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        sp->Parameters.DeviceIoControl.IoControlCode = 0x2F0003;
    });
    EXPECT_FALSE(bus.suspended());
    EXPECT_EQ(static_cast<CUsbAudioHal*>(Context()->AudioHal)->GetPowerState(), (ULONG)PowerDeviceD0);
    EXPECT_EQ(LogWith("model:power"), (std::vector<std::string>{"model:power:D2", "model:power:D0"}));
    EXPECT_EQ(Device().RemoveDevice(), STATUS_SUCCESS);
    EXPECT_FALSE(bus.IdleRequestPending());
    EXPECT_EQ(bus.BusInterfaceReferences(), 0);
}

}  // namespace

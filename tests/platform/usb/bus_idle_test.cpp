// The simulated bus: idle notification (the hub's side of selective
// suspend) and the suspended PDO.
#include "bus_test_util.h"

namespace bustest {
namespace {

// What the hub's callback saw, and what it does: optionally ask for D2 and
// wait for it, optionally block until the test releases it.
struct CallbackProbe {
    PDEVICE_OBJECT pdo = nullptr;
    simusb::SimUsbBus* bus = nullptr;
    bool requestD2 = false;
    bool block = false;
    KEVENT entered, release;
    int calls = 0;
    KIRQL irql = HIGH_LEVEL;
    LONGLONG at = 0;
    bool sawRequestPending = false;

    CallbackProbe() {
        KeInitializeEvent(&entered, NotificationEvent, FALSE);
        KeInitializeEvent(&release, NotificationEvent, FALSE);
    }

    static VOID PowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    }
    static VOID Callback(PVOID context) {
        auto* p = static_cast<CallbackProbe*>(context);
        ++p->calls;
        p->irql = KeGetCurrentIrql();
        p->at = sim::Now();
        p->sawRequestPending = p->bus->IdleRequestPending();  // would deadlock under the bus lock
        KeSetEvent(&p->entered, IO_NO_INCREMENT, FALSE);
        if (p->block) KeWaitForSingleObject(&p->release, Executive, KernelMode, FALSE, nullptr);
        if (p->requestD2) {
            KEVENT done;
            KeInitializeEvent(&done, NotificationEvent, FALSE);
            POWER_STATE state;
            state.DeviceState = PowerDeviceD2;
            if (PoRequestPowerIrp(p->pdo, IRP_MN_SET_POWER, state, PowerDone, &done, nullptr) == STATUS_PENDING)
                KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        }
    }
};

class IdleBusTest : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        probe_.pdo = pdo();
        probe_.bus = &bus();
        info_ = {CallbackProbe::Callback, &probe_};
    }
    // An idle notification request carrying info_ (or `info`).
    std::unique_ptr<UsbRequest> IdleRequest(PVOID info = nullptr, ULONG length = sizeof(USB_IDLE_CALLBACK_INFO)) {
        auto r = std::make_unique<UsbRequest>(pdo(), IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION);
        r->Next()->Parameters.DeviceIoControl.Type3InputBuffer = info != nullptr ? info : &info_;
        r->Next()->Parameters.DeviceIoControl.InputBufferLength = length;
        return r;
    }
    bool WaitEntered(ULONG ms) {
        LARGE_INTEGER t;
        t.QuadPart = -(LONGLONG)ms * kMs;
        return KeWaitForSingleObject(&probe_.entered, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS;
    }

    CallbackProbe probe_;
    USB_IDLE_CALLBACK_INFO info_{};
};

TEST_F(IdleBusTest, RequestNeedsSixteenBytesOfCallbackInformation) {
    auto noBuffer = std::make_unique<UsbRequest>(pdo(), IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION);
    EXPECT_EQ(noBuffer->Send(), STATUS_INVALID_PARAMETER);
    auto shortBuffer = IdleRequest(&info_, 8);
    EXPECT_EQ(shortBuffer->Send(), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(bus().IdleRequestPending());
}

TEST_F(IdleBusTest, SecondRequestIsBusyAndCancelCompletesTheFirst) {
    bus().SetIdleDelayMs(1000);
    auto first = IdleRequest(), second = IdleRequest();
    ASSERT_EQ(first->Send(), STATUS_PENDING);
    EXPECT_EQ(second->Send(), STATUS_DEVICE_BUSY);
    first->Cancel();
    ASSERT_TRUE(first->Wait(1));
    EXPECT_EQ(first->status(), STATUS_CANCELLED);
    EXPECT_FALSE(bus().IdleRequestPending());
    EXPECT_EQ(probe_.calls, 0);
}

TEST_F(IdleBusTest, CallbackRunsAtPassiveLevelOnceTrafficHasBeenQuietForTheDelay) {
    bus().SetIdleDelayMs(50);
    uint8_t buffer[18];
    ASSERT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof(buffer)), STATUS_SUCCESS);
    const LONGLONG quietFrom = sim::Now();
    sim::Sleep(10 * kMs);
    auto idle = IdleRequest();
    ASSERT_EQ(idle->Send(), STATUS_PENDING);
    ASSERT_TRUE(WaitEntered(1000));
    EXPECT_EQ(probe_.at - quietFrom, 50 * kMs);
    EXPECT_EQ(probe_.irql, PASSIVE_LEVEL);
    EXPECT_TRUE(probe_.sawRequestPending);
    EXPECT_TRUE(bus().WaitUntil([&] { return bus().IdleCallbackCount() == 1; }, 10));
    EXPECT_FALSE(idle->completed()) << "the request stays pending until cancelled";
    idle->Cancel();
    ASSERT_TRUE(idle->Wait(1));
    EXPECT_EQ(idle->status(), STATUS_CANCELLED);
}

TEST_F(IdleBusTest, PendingIsochronousTrafficHoldsTheCallbackBack) {
    ASSERT_EQ(SelectConfiguration(), STATUS_SUCCESS);
    std::vector<USBD_PIPE_INFORMATION> pipes;
    ASSERT_EQ(SelectInterface(1, 1, &pipes), STATUS_SUCCESS);
    UrbBuffer storage(GET_ISO_URB_SIZE(64));
    std::vector<uint8_t> data(64 * 192);
    auto& u = storage.urb()->UrbIsochronousTransfer;
    u.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    u.Hdr.Length = (USHORT)GET_ISO_URB_SIZE(64);
    u.PipeHandle = pipes[0].PipeHandle;
    u.TransferFlags = USBD_START_ISO_TRANSFER_ASAP;
    u.TransferBuffer = data.data();
    u.TransferBufferLength = (ULONG)data.size();
    u.NumberOfPackets = 64;
    for (ULONG i = 0; i < 64; ++i) u.IsoPacket[i] = {i * 192, 192, 0};
    UsbRequest iso(pdo(), storage.urb());
    ASSERT_EQ(iso.Send(), STATUS_PENDING);
    auto idle = IdleRequest();
    ASSERT_EQ(idle->Send(), STATUS_PENDING);
    ASSERT_TRUE(iso.Wait(100));
    ASSERT_TRUE(WaitEntered(100));
    EXPECT_GE(probe_.at, iso.completedAt()) << "called back while isochronous traffic was pending";
    idle->Cancel();
    ASSERT_TRUE(idle->Wait(1));
}

TEST_F(IdleBusTest, SuspendedPdoFailsAndCountsUrbsUntilD0) {
    probe_.requestD2 = true;
    auto idle = IdleRequest();
    ASSERT_EQ(idle->Send(), STATUS_PENDING);
    // The callback returns once the D2 request has completed.
    ASSERT_TRUE(bus().WaitUntil([&] { return bus().IdleCallbackCount() == 1; }, 100));
    EXPECT_TRUE(bus().suspended());
    EXPECT_EQ(port_->harness().PdoPowerState(), PowerDeviceD2);
    uint8_t buffer[18];
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE,
                                 0, 0, buffer, nullptr, sizeof(buffer), nullptr);
    EXPECT_EQ(Submit(&urb), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_NOT_ACCESSED);
    EXPECT_EQ(bus().SuspendedFailures(), 1u);
    idle->Cancel();
    ASSERT_TRUE(idle->Wait(1));
    EXPECT_EQ(port_->harness().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_FALSE(bus().suspended());
    EXPECT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof(buffer)), STATUS_SUCCESS);
}

struct ScriptCase {
    const char* name;
    simusb::IdleScript script;
    int callbacks;
    NTSTATUS status;  // the idle request's completion
};

class IdleScriptTest : public IdleBusTest, public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(IdleScriptTest, CompletesAsScripted) {
    bus().ScriptIdle(GetParam().script);
    auto idle = IdleRequest();
    idle->Send();
    ASSERT_TRUE(idle->Wait(100));
    EXPECT_EQ(idle->status(), GetParam().status);
    EXPECT_EQ(probe_.calls, GetParam().callbacks);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, IdleScriptTest,
    ::testing::Values(
        ScriptCase{"Refused", {simusb::IdleScript::Refuse, STATUS_NOT_SUPPORTED}, 0, STATUS_NOT_SUPPORTED},
        ScriptCase{"CompletedAfterCallback", {simusb::IdleScript::CompleteAfterCallback, STATUS_SUCCESS}, 1,
                   STATUS_SUCCESS},
        ScriptCase{"FailedAfterCallback", {simusb::IdleScript::CompleteAfterCallback, STATUS_UNSUCCESSFUL}, 1,
                   STATUS_UNSUCCESSFUL}),
    [](const ::testing::TestParamInfo<ScriptCase>& info) { return std::string(info.param.name); });

TEST_F(IdleBusTest, CancelDuringTheCallbackCompletesWhenItReturns) {
    probe_.block = true;
    auto idle = IdleRequest();
    ASSERT_EQ(idle->Send(), STATUS_PENDING);
    ASSERT_TRUE(WaitEntered(100));
    idle->Cancel();
    EXPECT_FALSE(idle->Wait(50)) << "completed while its callback still ran";
    KeSetEvent(&probe_.release, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(idle->Wait(10));
    EXPECT_EQ(idle->status(), STATUS_CANCELLED);
}

TEST_F(IdleBusTest, UnplugCompletesTheRequest) {
    bus().SetIdleDelayMs(1000);
    auto idle = IdleRequest();
    ASSERT_EQ(idle->Send(), STATUS_PENDING);
    bus().Unplug();
    ASSERT_TRUE(idle->Wait(1));
    EXPECT_EQ(idle->status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(probe_.calls, 0);
}

}  // namespace
}  // namespace bustest

// The adapter object on the driver's FDO, its watched idle answer, and the
// power IRPs counted at the PDO.
#include "tests/adapter/usb/usb_adapter.h"

#include <gtest/gtest.h>

#include "adapter/device_context.h"
#include "portcls/portcls.h"
#include "sim/executor.h"
#include "sim/send_irp.h"

namespace adaptertest {

bool PowerIrpCounter::HandleIrp(PDEVICE_OBJECT pdo, PIRP irp, NTSTATUS* status) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_POWER && sp->MinorFunction == IRP_MN_SET_POWER &&
        sp->Parameters.Power.Type == DevicePowerState) {
        const DEVICE_POWER_STATE state = sp->Parameters.Power.State.DeviceState;
        if (state > PowerDeviceUnspecified && state < PowerDeviceMaximum) ++seen_[state];
    }
    return bus_.HandleIrp(pdo, irp, status);
}

void WatchedAdapter::OnPowerQuery(std::function<DEVICE_POWER_STATE()> hook) {
    std::lock_guard<std::mutex> guard(hookLock_);
    hook_ = std::move(hook);
}

DEVICE_POWER_STATE WatchedAdapter::IdlePowerState() {
    ++powerQueries_;
    std::function<DEVICE_POWER_STATE()> hook;
    {
        std::lock_guard<std::mutex> guard(hookLock_);
        hook = hook_;
    }
    if (hook) {
        const DEVICE_POWER_STATE state = hook();
        if (state != PowerDeviceUnspecified) return state;
    }
    return CUsbAudioHal::IdlePowerState();
}

UsbAdapter::UsbAdapter(fakes::DriverTest& test, PowerIrpCounter& powerIrps)
    : test_(test), powerIrps_(powerIrps), adapter_(new (NonPagedPoolNx, ADAPTER_TAG) WatchedAdapter()) {
    static_cast<IAudioHal*>(adapter_)->AddRef();
}

UsbAdapter::~UsbAdapter() { static_cast<IAudioHal*>(adapter_)->Release(); }

NTSTATUS UsbAdapter::Start() {
    PDEVICE_CONTEXT context = GetDeviceContext(fdo());
    IAudioHal* hal = adapter_;
    NTSTATUS status = hal->Init(NULL, fdo(), context->LowerDevice, context->Pdo);
    if (NT_SUCCESS(status)) status = PcRegisterAdapterPowerManagement(hal, fdo());
    if (!NT_SUCCESS(status)) return status;
    hal->AddRef();
    context->AudioHal = hal;
    return STATUS_SUCCESS;
}

LONGLONG UsbAdapter::SendDeviceControl() {
    const LONGLONG before = sim::Now();
    sim::IrpOutcome outcome = sim::SendIrp(port().Pdo(), [](PIRP, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        sp->Parameters.DeviceIoControl.IoControlCode = 0x2F0003;
    });
    // Past the gate the port class finds no filter for it.
    EXPECT_EQ(outcome.ioStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
    return sim::Now() - before;
}

void UsbAdapterTest::TearDown() {
    adapter_.reset();
    fakes::DriverTest::TearDown();
    powerIrps_.reset();
}

UsbAdapter& UsbAdapterTest::Make(simusb::DescriptorSet set) {
    PlugUsb(std::move(set));
    powerIrps_ = std::make_unique<PowerIrpCounter>(Port().bus());
    Port().harness().SetDeviceHandler(powerIrps_.get());
    LoadAndAdd();
    adapter_ = std::make_unique<UsbAdapter>(*this, *powerIrps_);
    return *adapter_;
}

}  // namespace adaptertest

// The test adapter: FDO, power state and dispatch around the transport and
// the idle control.
#include "fake_adapter.h"

#include <gtest/gtest.h>

#include "sim/executor.h"
#include "sim/iomgr.h"
#include "sim/send_irp.h"

namespace adaptertest {

FakeAdapter::FakeAdapter(simusb::DescriptorSet set)
    : port_(std::make_unique<simusb::SimUsbPort>(std::move(set))) {
    driver_ = sim::IoCreateDriverObject(u"usbaudiotest");
    for (auto& entry : driver_->MajorFunction) entry = Dispatch;
    EXPECT_EQ(IoCreateDevice(driver_, sizeof(FakeAdapter*), nullptr, FILE_DEVICE_KS, 0, FALSE, &fdo_),
              STATUS_SUCCESS);
    *static_cast<FakeAdapter**>(fdo_->DeviceExtension) = this;
    lower_ = IoAttachDeviceToDeviceStack(fdo_, port_->Pdo());
    fdo_->Flags &= ~DO_DEVICE_INITIALIZING;
}

FakeAdapter::~FakeAdapter() {
    // The adapter destructor's order: selective suspend stops first, then
    // the device objects go; the transport and the port follow as members.
    idle_.Shutdown();
    IoDetachDevice(lower_);
    IoDeleteDevice(fdo_);
    sim::IoReleaseDriverObject(driver_);
}

NTSTATUS FakeAdapter::Start() {
    transport_.Init(fdo_, lower_);
    NTSTATUS status = transport_.ReadDescriptors();
    if (NT_SUCCESS(status)) status = transport_.SelectConfiguration();
    if (NT_SUCCESS(status)) status = transport_.QueryBusInterface();
    idle_.Start(NT_SUCCESS(status));
    return status;
}

LONGLONG FakeAdapter::SendDeviceControl() {
    const LONGLONG before = sim::Now();
    sim::IrpOutcome outcome = sim::SendIrp(port_->Pdo(), [](PIRP, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        sp->Parameters.DeviceIoControl.IoControlCode = 0x2F0003;
    });
    EXPECT_EQ(outcome.ioStatus.Status, STATUS_SUCCESS);
    return sim::Now() - before;
}

void FakeAdapter::OnPowerQuery(std::function<DEVICE_POWER_STATE()> hook) {
    std::lock_guard<std::mutex> guard(hookLock_);
    hook_ = std::move(hook);
}

DEVICE_POWER_STATE FakeAdapter::IdlePowerState() {
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
    return power_.load();
}

NTSTATUS FakeAdapter::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    FakeAdapter* self = *static_cast<FakeAdapter**>(device->DeviceExtension);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_POWER) return self->OnPower(irp);
    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        self->idle_.PreprocessIrp(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(self->lower_, irp);
}

NTSTATUS FakeAdapter::OnPower(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == DevicePowerState) {
        const DEVICE_POWER_STATE state = sp->Parameters.Power.State.DeviceState;
        if (state > PowerDeviceUnspecified && state < PowerDeviceMaximum) ++powerIrps_[state];
        power_ = state;
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower_, irp);
}

}  // namespace adaptertest

// The driver's adapter object (CUsbAudioHal) on a simulated USB device, for
// the transport and selective-suspend tests. The driver is loaded and its
// AddDevice makes the FDO on the device's PDO; the test then creates the
// adapter object and starts it as StartDevice does: Init (descriptors,
// configuration, bus interface, the family model from the fake factory
// table, selective suspend), the adapter's power management registered
// with the port class, and the adapter published in the device context, so
// that the driver's dispatch routines pass every IRP through its gate and
// the port class hands it every device power change. The test keeps its own
// reference, so an adapter whose start failed can still be inspected.
//
// The adapter is a thin subclass that watches one owner answer of the idle
// machinery (IdlePowerState): the tests count those calls and can hold or
// override them.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "adapter/usb_audio_hal.h"
#include "platform/usb/uac_builder.h"
#include "platform/usb/usb_port.h"
#include "tests/fakes/adapter/driver_fixture.h"

namespace adaptertest {

// Records PowerChangeState calls; not reference counted (lives in the test).
// Handed to the transport in place of the model's power interface.
class RecordingPower final : public IAdapterPowerManagement {
public:
    NTSTATUS QueryInterface(REFIID, PVOID* out) override {
        *out = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    VOID PowerChangeState(POWER_STATE state) override {
        std::lock_guard<std::mutex> guard(lock_);
        calls_.push_back(state.DeviceState);
    }
    NTSTATUS QueryPowerChangeState(POWER_STATE) override { return STATUS_SUCCESS; }
    NTSTATUS QueryDeviceCapabilities(PDEVICE_CAPABILITIES) override { return STATUS_SUCCESS; }
    std::vector<DEVICE_POWER_STATE> calls() const {
        std::lock_guard<std::mutex> guard(lock_);
        return calls_;
    }

private:
    mutable std::mutex lock_;
    std::vector<DEVICE_POWER_STATE> calls_;
};

// Counts the device SET_POWER IRPs that reach the PDO, by state, and hands
// every IRP on to the simulated bus.
class PowerIrpCounter final : public sim::BusDeviceHandler {
public:
    explicit PowerIrpCounter(sim::BusDeviceHandler& bus) : bus_(bus) {}
    bool HandleIrp(PDEVICE_OBJECT pdo, PIRP irp, NTSTATUS* status) override;
    int Count(DEVICE_POWER_STATE state) const { return seen_[state].load(); }

private:
    sim::BusDeviceHandler& bus_;
    std::atomic<int> seen_[PowerDeviceMaximum] = {};
};

// CUsbAudioHal with its idle power-state answer watched.
class WatchedAdapter final : public CUsbAudioHal {
public:
    // Called at each IdlePowerState() (from the idle machinery's threads);
    // its result replaces the stored state when it is not Unspecified.
    void OnPowerQuery(std::function<DEVICE_POWER_STATE()> hook);
    int PowerQueries() const { return powerQueries_.load(); }
    DEVICE_POWER_STATE IdlePowerState() override;

private:
    std::atomic<int> powerQueries_{0};
    std::mutex hookLock_;
    std::function<DEVICE_POWER_STATE()> hook_;
};

// One adapter object on the fixture's device; holds a reference until it is
// destroyed.
class UsbAdapter {
public:
    UsbAdapter(fakes::DriverTest& test, PowerIrpCounter& powerIrps);
    ~UsbAdapter();
    UsbAdapter(const UsbAdapter&) = delete;
    UsbAdapter& operator=(const UsbAdapter&) = delete;

    // Init, then (when it succeeded) the power registration and the
    // publication in the device context; Init's status, or the first
    // failure after it.
    NTSTATUS Start();
    // A device-control IRP from above, through the FDO's dispatch; the
    // virtual time it spent in the idle gate.
    LONGLONG SendDeviceControl();

    simusb::SimUsbPort& port() { return test_.Port(); }
    simusb::SimUsbBus& bus() { return port().bus(); }
    simusb::SimDevice& device() { return port().device(); }
    CUsbTransport& transport() { return adapter_->Transport(); }
    CIdleControl& idle() { return adapter_->IdleControl(); }
    RecordingPower& modelPower() { return modelPower_; }
    PDEVICE_OBJECT fdo() { return test_.Fdo(); }

    // The adapter's stored power state and the device power IRPs that
    // reached the device.
    DEVICE_POWER_STATE power() const { return (DEVICE_POWER_STATE)adapter_->GetPowerState(); }
    int PowerIrps(DEVICE_POWER_STATE state) const { return powerIrps_.Count(state); }
    void OnPowerQuery(std::function<DEVICE_POWER_STATE()> hook) { adapter_->OnPowerQuery(std::move(hook)); }
    int PowerQueries() const { return adapter_->PowerQueries(); }

private:
    fakes::DriverTest& test_;
    PowerIrpCounter& powerIrps_;
    WatchedAdapter* adapter_;
    RecordingPower modelPower_;
};

// Plugs the device, loads the driver and adds the FDO; Make creates the
// adapter object on it (not started). TearDown drops the test's reference
// first, then removes the device (which destroys a published adapter)
// before the kernel scope's checks.
class UsbAdapterTest : public fakes::DriverTest {
protected:
    void TearDown() override;
    UsbAdapter& Make(simusb::DescriptorSet set = simusb::BuildUac1Headset());

    std::unique_ptr<UsbAdapter> adapter_;

private:
    std::unique_ptr<PowerIrpCounter> powerIrps_;
};

}  // namespace adaptertest

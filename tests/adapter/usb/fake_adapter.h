// The adapter's part for the transport and selective-suspend tests, until
// the adapter object exists: a test driver's FDO attached to the simulated
// device's PDO, the adapter's power state, a model power interface that
// records its calls, and the transport and idle control the adapter embeds.
//
// The FDO's dispatch does what the driver's does for these Parts: every
// device-control IRP passes the idle gate (PreprocessIrp) and completes;
// device SET_POWER moves the stored power state (as PowerChangeState) and
// goes down to the PDO; everything else goes down unchanged.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "adapter/usb/selective_suspend.h"
#include "adapter/usb/usb_transport.h"
#include "platform/usb/usb_port.h"

namespace adaptertest {

// Records PowerChangeState calls; not reference counted (lives in the test).
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

class FakeAdapter final : public IIdleOwner {
public:
    explicit FakeAdapter(simusb::DescriptorSet set);
    ~FakeAdapter();
    FakeAdapter(const FakeAdapter&) = delete;
    FakeAdapter& operator=(const FakeAdapter&) = delete;

    // Transport Init and the three start-up steps, then idle Start; the
    // first failure, which idle Start is told about.
    NTSTATUS Start();
    // A device-control IRP from above, through the FDO's dispatch; the
    // virtual time it spent in the idle gate.
    LONGLONG SendDeviceControl();

    simusb::SimUsbPort& port() { return *port_; }
    simusb::SimUsbBus& bus() { return port_->bus(); }
    simusb::SimDevice& device() { return port_->device(); }
    CUsbTransport& transport() { return transport_; }
    CIdleControl& idle() { return idle_; }
    RecordingPower& modelPower() { return modelPower_; }
    PDEVICE_OBJECT fdo() const { return fdo_; }

    // The stored power state and the device power IRPs seen by the FDO.
    DEVICE_POWER_STATE power() const { return power_.load(); }
    int PowerIrps(DEVICE_POWER_STATE state) const { return powerIrps_[state].load(); }
    // Called at each IdlePowerState() (from the idle machinery's threads);
    // its result replaces the stored state when it is not Unspecified.
    void OnPowerQuery(std::function<DEVICE_POWER_STATE()> hook);
    int PowerQueries() const { return powerQueries_.load(); }

    // IIdleOwner
    PDEVICE_OBJECT IdleFdo() override { return fdo_; }
    PDEVICE_OBJECT IdlePdo() override { return port_->Pdo(); }
    PDEVICE_OBJECT IdleLowerDevice() override { return lower_; }
    DEVICE_POWER_STATE IdlePowerState() override;

private:
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS OnPower(PIRP irp);

    std::unique_ptr<simusb::SimUsbPort> port_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    RecordingPower modelPower_;
    // Destroyed before the port: the transport drops its bus interface
    // reference, the idle control waits for its machinery.
    CUsbTransport transport_;
    CIdleControl idle_{this, &transport_};
    std::atomic<DEVICE_POWER_STATE> power_{PowerDeviceD0};
    std::atomic<int> powerIrps_[PowerDeviceMaximum] = {};
    std::atomic<int> powerQueries_{0};
    std::mutex hookLock_;
    std::function<DEVICE_POWER_STATE()> hook_;
};

}  // namespace adaptertest

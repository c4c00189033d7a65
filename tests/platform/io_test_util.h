// A device stack of test devices for the I/O manager tests. Each device's
// dispatch routine is a std::function the test sets; by default a device
// passes every IRP down, and the bottom device completes it with
// STATUS_SUCCESS.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "nt/io.h"
#include "sim/iomgr.h"

namespace iotest {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct Layer {
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT lower = nullptr;  // what IoAttachDeviceToDeviceStack returned
    Dispatch dispatch;
};

inline NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS PassDown(const Layer& layer, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(layer.lower, irp);
}

// Layer 0 is the bottom (a physical device object when `physical` is set).
class TestStack {
public:
    explicit TestStack(int layers, const std::u16string& instancePath = u"") {
        driver_ = sim::IoCreateDriverObject(u"iotest");
        for (auto& entry : driver_->MajorFunction) entry = Route;
        for (int i = 0; i < layers; ++i) {
            auto layer = std::make_unique<Layer>();
            IoCreateDevice(driver_, sizeof(Layer*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &layer->device);
            *static_cast<Layer**>(layer->device->DeviceExtension) = layer.get();
            layer->device->Flags &= ~DO_DEVICE_INITIALIZING;
            if (i == 0 && !instancePath.empty()) sim::IoSetPhysicalDevice(layer->device, instancePath);
            if (i > 0) layer->lower = IoAttachDeviceToDeviceStack(layer->device, layers_.back()->device);
            Layer* raw = layer.get();
            raw->dispatch = i == 0 ? Dispatch([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); })
                                   : Dispatch([raw](PDEVICE_OBJECT, PIRP irp) { return PassDown(*raw, irp); });
            layers_.push_back(std::move(layer));
        }
    }
    ~TestStack() {
        for (size_t i = layers_.size(); i-- > 0;) {
            Layer& layer = *layers_[i];
            if (layer.device == nullptr) continue;  // the test deleted it
            if (layer.lower != nullptr) IoDetachDevice(layer.lower);
            IoDeleteDevice(layer.device);
        }
        sim::IoReleaseDriverObject(driver_);
    }
    TestStack(const TestStack&) = delete;
    TestStack& operator=(const TestStack&) = delete;

    Layer& operator[](size_t i) { return *layers_[i]; }
    PDEVICE_OBJECT Top() { return layers_.back()->device; }
    PDEVICE_OBJECT Bottom() { return layers_.front()->device; }
    CCHAR StackSize() { return Top()->StackSize; }

private:
    static NTSTATUS Route(PDEVICE_OBJECT device, PIRP irp) {
        return (*static_cast<Layer**>(device->DeviceExtension))->dispatch(device, irp);
    }

    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<Layer>> layers_;
};

}  // namespace iotest

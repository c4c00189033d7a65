// Test side of the simulated bus: a fixture with a device plugged into the
// PnP harness, and requests sent to its PDO the way a client driver sends
// them (its own IRP, a completion routine that keeps it).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "nt/io.h"
#include "sim/executor.h"
#include "platform/usb/usb_port.h"
#include "tests/support/kernel_test.h"

namespace bustest {

constexpr LONGLONG kMs = sim::kTicksPerMillisecond;

// One internal device-control request to the PDO.
class UsbRequest {
public:
    UsbRequest(PDEVICE_OBJECT target, ULONG ioctl, PVOID argument1 = nullptr)
        : target_(target), irp_(IoAllocateIrp(target->StackSize + 1, FALSE)) {
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
        IoSetNextIrpStackLocation(irp_);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = ioctl;
        next->Parameters.Others.Argument1 = argument1;
        IoSetCompletionRoutine(irp_, Completed, this, TRUE, TRUE, TRUE);
    }
    explicit UsbRequest(PDEVICE_OBJECT target, PURB urb) : UsbRequest(target, IOCTL_INTERNAL_USB_SUBMIT_URB, urb) {}
    ~UsbRequest() {
        if (sent_ && !completed()) {
            ADD_FAILURE() << "request still pending at the end of the test; cancelling it";
            Cancel();
            Wait(60000);
        }
        IoFreeIrp(irp_);
    }
    UsbRequest(const UsbRequest&) = delete;
    UsbRequest& operator=(const UsbRequest&) = delete;

    PIO_STACK_LOCATION Next() { return IoGetNextIrpStackLocation(irp_); }
    PIRP irp() { return irp_; }

    NTSTATUS Send() {
        sent_ = true;
        sentAt_ = sim::Now();
        inside_ = true;
        returned_ = IoCallDriver(target_, irp_);
        inside_ = false;
        return returned_;
    }
    // Send, then wait for the completion; the IRP's final status.
    NTSTATUS SendAndWait(ULONG timeoutMs = 60000) {
        Send();
        return Wait(timeoutMs) ? status() : STATUS_TIMEOUT;
    }
    bool Wait(ULONG timeoutMs) {
        LARGE_INTEGER t;
        t.QuadPart = -(LONGLONG)timeoutMs * kMs;
        return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS;
    }
    void Cancel() { IoCancelIrp(irp_); }

    bool completed() const { return KeReadStateEvent(const_cast<PKEVENT>(&done_)) != 0; }
    NTSTATUS returned() const { return returned_; }
    NTSTATUS status() const { return irp_->IoStatus.Status; }
    bool completedInsideCall() const { return completedInside_; }
    KIRQL completionIrql() const { return irql_; }
    LONGLONG sentAt() const { return sentAt_; }
    LONGLONG completedAt() const { return completedAt_; }

private:
    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP, PVOID context) {
        auto* self = static_cast<UsbRequest*>(context);
        self->completedInside_ = self->inside_;
        self->irql_ = KeGetCurrentIrql();
        self->completedAt_ = sim::Now();
        KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PDEVICE_OBJECT target_;
    PIRP irp_;
    KEVENT done_;
    bool sent_ = false;
    std::atomic<bool> inside_{false};
    bool completedInside_ = false;
    KIRQL irql_ = 0;
    NTSTATUS returned_ = STATUS_PENDING;
    LONGLONG sentAt_ = 0, completedAt_ = 0;
};

// URB storage of any size, zeroed, 16-byte aligned.
class UrbBuffer {
public:
    explicit UrbBuffer(size_t bytes) : storage_((bytes + 15) / 16) {}
    PURB urb() { return reinterpret_cast<PURB>(storage_.data()); }
    size_t size() const { return storage_.size() * 16; }

private:
    struct alignas(16) Block {
        uint8_t bytes[16];
    };
    std::vector<Block> storage_;
};

// A device plugged into the PnP harness; no driver is loaded, so tests
// talk to the PDO directly. Times are checked exactly, so the clock is
// virtual whatever the environment asks for.
class BusTest : public sim::KernelTest {
protected:
    sim::ExecutorOptions Options() const override {
        sim::ExecutorOptions options = sim::ExecutorOptions::FromEnvironment();
        options.stress = false;
        return options;
    }
    virtual simusb::DescriptorSet Descriptors() { return simusb::BuildUac1Headset(); }

    void SetUp() override {
        sim::KernelTest::SetUp();
        port_ = std::make_unique<simusb::SimUsbPort>(Descriptors());
    }
    void TearDown() override {
        port_.reset();
        sim::KernelTest::TearDown();
    }

    simusb::SimUsbBus& bus() { return port_->bus(); }
    simusb::SimDevice& device() { return port_->device(); }
    PDEVICE_OBJECT pdo() { return port_->Pdo(); }

    // Synchronous helpers; each returns the IRP's final status.
    NTSTATUS Submit(PURB urb) {
        UsbRequest r(pdo(), urb);
        return r.SendAndWait();
    }
    NTSTATUS GetDescriptor(UCHAR type, UCHAR index, void* buffer, ULONG length, ULONG* received = nullptr);
    // Selects the configuration with every interface at alternate setting 0.
    NTSTATUS SelectConfiguration();
    // Selects an alternate setting; *pipes receives its pipes.
    NTSTATUS SelectInterface(UCHAR number, UCHAR alternate,
                             std::vector<USBD_PIPE_INFORMATION>* pipes = nullptr);
    // Sets a UAC 1.0 endpoint's sampling frequency (SET_CUR).
    NTSTATUS SetEndpointRate(UCHAR endpoint, ULONG rate);

    std::unique_ptr<simusb::SimUsbPort> port_;
};

}  // namespace bustest

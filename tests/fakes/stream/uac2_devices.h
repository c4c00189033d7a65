// Simulated USB Audio Class 2.0 devices for the stream tests and
// benchmarks, built in code: an asynchronous device whose clock source 10
// clocks both terminals, at full or high speed with chosen intervals:
//   interface 1 render
//     alt 1  OUT 0x01 (asynchronous) and, unless spec.feedback is off, the
//            explicit feedback IN 0x81;
//     alt 2  no endpoints;  alt 3 only an IN data endpoint;
//     alt 4  the feedback IN 0x81 listed before the OUT 0x01;
//     alt 5  two OUT endpoints, 0x01 and 0x02;
//   interface 2 capture: alt 1 IN 0x82, alt 2 no endpoints, alt 3 only OUT.
// Also the clock source's node the streams look up in the model.
#pragma once

#include <vector>

#include "adapter/base/unknown.h"
#include "adapter/usb/usb_audio_device.h"
#include "platform/usb/uac_builder.h"
#include "tests/fakes/stream/uac1_devices.h"
#include "topology/unit_base.h"
#include "topology/unit_interfaces.h"

namespace streamfakes {

struct Uac2DeviceSpec {
    simusb::UsbSpeed speed = simusb::UsbSpeed::High;
    UCHAR dataInterval = 1;      // bInterval of the data endpoints
    UCHAR feedbackInterval = 4;  // bInterval of the feedback endpoint
    bool feedback = true;        // alt 1 of the render interface has one
    UCHAR channels = 2;
    UCHAR subslot = 2;
    UCHAR bits = 16;
};

simusb::DescriptorSet BuildUac2StreamDevice(const Uac2DeviceSpec& spec);

inline constexpr UCHAR kClockId = 10;
inline constexpr ULONG kClockUnitId = 0x0A01;  // the clock source's node in the model
inline constexpr UCHAR kFeedbackEndpoint = 0x81;
inline constexpr UCHAR kAltTwoOut = 5;

// The clock source's node: its IClockSource sends SET CUR of the sampling
// frequency to the device's clock source, and notes every rate asked.
class FakeClockNode : public IUacUnit, public IClockSource, public CUnknown {
public:
    static FakeClockNode* Create(ULONG id, IUsbAudioDevice* device);

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    ULONG GetId() override { return m_Id; }
    ULONG GetKind() override { return 0; }
    ULONG GetSourceCount() override { return 0; }
    NTSTATUS GetSourceIds(ULONG* count, ULONG*) override;
    NTSTATUS Apply() override { return STATUS_SUCCESS; }
    NTSTATUS ReadBack() override { return STATUS_SUCCESS; }
    NTSTATUS Start() override { return STATUS_SUCCESS; }
    NTSTATUS Stop() override { return STATUS_SUCCESS; }
    NTSTATUS SetSourceIds(ULONG, const ULONG*) override { return STATUS_NOT_SUPPORTED; }

    NTSTATUS GetSampleRates(ULONG*, ULONG*) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS GetSampleRateCount(ULONG*) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS SetSampleRate(ULONG rate) override;
    NTSTATUS GetSampleRate(ULONG*) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS GetClockValid(BYTE*) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS Init(ULONG, const ULONG*) override { return STATUS_SUCCESS; }

    bool refuseClockInterface = false;
    std::vector<ULONG> ratesSet;

private:
    FakeClockNode(ULONG id, IUsbAudioDevice* device) : CUnknown(NULL), m_Id(id), m_Device(device) {}
    ULONG m_Id;
    IUsbAudioDevice* m_Device;
};

}  // namespace streamfakes

#include "tests/fakes/stream/uac2_devices.h"

#include <algorithm>

#include "usb/usbd.h"

namespace streamfakes {

namespace {

using simusb::ConfigBuilder;

constexpr UCHAR kAudio = USB_DEVICE_CLASS_AUDIO;
constexpr UCHAR kAs = USB_AUDIO_SUBCLASS_AUDIOSTREAMING;
constexpr UCHAR kV2 = USB_AUDIO_PROTOCOL_2_0;
constexpr UCHAR kIsoAsync = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS;
constexpr UCHAR kIsoFeedback = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_USAGE_FEEDBACK;
constexpr ULONG kTopRate = 192000;

// Room for the top clock rate plus the feedback window and a frame.
USHORT PacketRoom(const Uac2DeviceSpec& spec) {
    const UCHAR interval = std::min<UCHAR>(std::max<UCHAR>(spec.dataInterval, 1), 4);
    const ULONG perSecond = spec.speed == simusb::UsbSpeed::High ? 8000u >> (interval - 1) : 1000u;
    return (USHORT)(((kTopRate + 1000) / perSecond + 2) * spec.channels * spec.subslot);
}

void StreamingAlt(ConfigBuilder& c, UCHAR number, UCHAR alternate, UCHAR terminal, const Uac2DeviceSpec& spec) {
    c.Interface(number, alternate, kAudio, kAs, kV2)
        .Uac2AsGeneral(terminal, 0x05, UAC_FORMAT_TYPE_I, 0x00000001, spec.channels, 0x3)
        .Uac2FormatTypeI(spec.subslot, spec.bits);
}

}  // namespace

simusb::DescriptorSet BuildUac2StreamDevice(const Uac2DeviceSpec& spec) {
    simusb::DeviceFields d;
    d.bcdUSB = 0x0200;
    d.deviceClass = USB_DEVICE_CLASS_MISCELLANEOUS;
    d.deviceSubClass = 0x02;
    d.deviceProtocol = 0x01;
    d.idVendor = simusb::kSimVendorId;
    d.idProduct = simusb::kUac2DeviceProductId;
    const USHORT room = PacketRoom(spec);
    const USHORT feedbackRoom = spec.speed == simusb::UsbSpeed::High ? 4 : 3;
    const UCHAR b = spec.dataInterval;
    ConfigBuilder c;
    c.Configuration(1, USB_CONFIG_BUS_POWERED, 100)
        .Association(0, 3, kAudio, 0x00, kV2)
        .Interface(0, 0, kAudio, USB_AUDIO_SUBCLASS_AUDIOCONTROL, kV2)
        .Uac2Header(0x0A)
        .Uac2ClockSource(kClockId, 0x03, 0x07)
        .Uac2InputTerminal(1, simusb::UAC_TERMINAL_USB_STREAMING, kClockId, spec.channels, 0x3)
        .Uac2OutputTerminal(3, simusb::UAC_TERMINAL_SPEAKER, 1, kClockId)
        .Uac2InputTerminal(4, simusb::UAC_TERMINAL_LINE_CONNECTOR, kClockId, spec.channels, 0x3)
        .Uac2OutputTerminal(6, simusb::UAC_TERMINAL_USB_STREAMING, 4, kClockId);
    c.Interface(kRenderInterface, 0, kAudio, kAs, kV2);
    StreamingAlt(c, kRenderInterface, kAltStreaming, 1, spec);
    c.Endpoint(kRenderEndpoint, kIsoAsync, room, b).Uac2IsoEndpoint();
    if (spec.feedback) c.Endpoint(kFeedbackEndpoint, kIsoFeedback, feedbackRoom, spec.feedbackInterval);
    StreamingAlt(c, kRenderInterface, kAltNoEndpoints, 1, spec);
    StreamingAlt(c, kRenderInterface, kAltOtherDirection, 1, spec);
    c.Endpoint(0x83, kIsoAsync, room, b).Uac2IsoEndpoint();
    StreamingAlt(c, kRenderInterface, kAltFeedbackFirst, 1, spec);
    c.Endpoint(kFeedbackEndpoint, kIsoFeedback, feedbackRoom, spec.feedbackInterval)
        .Endpoint(kRenderEndpoint, kIsoAsync, room, b)
        .Uac2IsoEndpoint();
    StreamingAlt(c, kRenderInterface, kAltTwoOut, 1, spec);
    c.Endpoint(kRenderEndpoint, kIsoAsync, room, b).Uac2IsoEndpoint();
    c.Endpoint(0x02, kIsoAsync, room, b).Uac2IsoEndpoint();
    c.Interface(kCaptureInterface, 0, kAudio, kAs, kV2);
    StreamingAlt(c, kCaptureInterface, kAltStreaming, 6, spec);
    c.Endpoint(kCaptureEndpoint, kIsoAsync, room, b).Uac2IsoEndpoint();
    StreamingAlt(c, kCaptureInterface, kAltNoEndpoints, 6, spec);
    StreamingAlt(c, kCaptureInterface, kAltOtherDirection, 6, spec);
    c.Endpoint(0x04, kIsoAsync, room, b).Uac2IsoEndpoint();

    simusb::DescriptorSet set;
    set.device = simusb::BuildDeviceDescriptor(d);
    set.configuration = c.Build();
    set.speed = spec.speed;
    return set;
}

FakeClockNode* FakeClockNode::Create(ULONG id, IUsbAudioDevice* device) {
    auto* node = new (NonPagedPoolNx, MakePoolTag("FkCk")) FakeClockNode(id, device);
    node->AddRef();
    return node;
}

NTSTATUS FakeClockNode::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (iid == IID_IUnknown || iid == IID_IUacUnit) return ReturnInterface(static_cast<IUacUnit*>(this), out);
    if (iid == IID_IClockSource && !refuseClockInterface) return ReturnInterface(static_cast<IClockSource*>(this), out);
    return RefuseInterface(out);
}

NTSTATUS FakeClockNode::GetSourceIds(ULONG* count, ULONG*) {
    if (count) *count = 0;
    return STATUS_SUCCESS;
}

// SET CUR of the clock source's sampling-frequency control (4 bytes).
NTSTATUS FakeClockNode::SetSampleRate(ULONG rate) {
    ratesSet.push_back(rate);
    URB urb = {};
    UCHAR data[4] = {(UCHAR)rate, (UCHAR)(rate >> 8), (UCHAR)(rate >> 16), (UCHAR)(rate >> 24)};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_OUT, 0, 0x01, 0x0100, (USHORT)(kClockId << 8), data, NULL,
                          sizeof(data), NULL);
    return m_Device->SubmitUrbSync(&urb);
}

}  // namespace streamfakes

#include "tests/fakes/stream/uac1_devices.h"

#include <algorithm>

namespace streamfakes {

namespace {

using simusb::ConfigBuilder;

constexpr UCHAR kIsoAdaptive = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ADAPTIVE;
constexpr UCHAR kIsoAsync = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS;
constexpr UCHAR kIsoFeedback = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_USAGE_FEEDBACK;

USHORT PacketRoom(const Uac1DeviceSpec& spec, UCHAR channels) {
    const UCHAR interval = std::min<UCHAR>(std::max<UCHAR>(spec.interval, 1), 4);
    ULONG perSecond = spec.speed == simusb::UsbSpeed::High ? 8000u >> (interval - 1) : 1000u;
    ULONG top = *std::max_element(spec.rates.begin(), spec.rates.end());
    return (USHORT)((top / perSecond + 1) * channels * spec.subframeBytes);
}

void StreamingAlt(ConfigBuilder& c, UCHAR number, UCHAR alternate, UCHAR terminal, UCHAR channels,
                  const Uac1DeviceSpec& spec) {
    c.Interface(number, alternate, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0)
        .Uac1AsGeneral(terminal, 1, 0x0001)
        .Uac1FormatTypeI(channels, spec.subframeBytes, spec.bits, spec.rates);
}

}  // namespace

simusb::DescriptorSet BuildUac1Device(const Uac1DeviceSpec& spec) {
    const USHORT out = spec.outMaxPacket ? spec.outMaxPacket : PacketRoom(spec, spec.renderChannels);
    const USHORT in = spec.inMaxPacket ? spec.inMaxPacket : PacketRoom(spec, spec.captureChannels);
    const UCHAR b = spec.interval;
    ConfigBuilder c;
    c.Configuration()
        .Interface(0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, 0)
        .Uac1Header({kRenderInterface, kCaptureInterface})
        .Uac1InputTerminal(1, simusb::UAC_TERMINAL_USB_STREAMING, spec.renderChannels, 0x0003)
        .Uac1OutputTerminal(3, simusb::UAC_TERMINAL_SPEAKER, 1)
        .Uac1InputTerminal(4, simusb::UAC_TERMINAL_MICROPHONE, spec.captureChannels, 0x0000)
        .Uac1OutputTerminal(6, simusb::UAC_TERMINAL_USB_STREAMING, 4);
    // Speaker.
    c.Interface(kRenderInterface, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0);
    StreamingAlt(c, kRenderInterface, kAltStreaming, 1, spec.renderChannels, spec);
    c.AudioEndpoint(kRenderEndpoint, kIsoAdaptive, out, b).Uac1IsoEndpoint(0x01);
    StreamingAlt(c, kRenderInterface, kAltNoEndpoints, 1, spec.renderChannels, spec);
    StreamingAlt(c, kRenderInterface, kAltOtherDirection, 1, spec.renderChannels, spec);
    c.AudioEndpoint(0x83, kIsoAsync, out, b).Uac1IsoEndpoint(0x01);
    StreamingAlt(c, kRenderInterface, kAltFeedbackFirst, 1, spec.renderChannels, spec);
    c.AudioEndpoint(0x81, kIsoFeedback, 4, 4, 3).AudioEndpoint(kRenderEndpoint, kIsoAsync, out, b, 0, 0x81)
        .Uac1IsoEndpoint(0x01);
    // Microphone.
    c.Interface(kCaptureInterface, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0);
    StreamingAlt(c, kCaptureInterface, kAltStreaming, 6, spec.captureChannels, spec);
    c.AudioEndpoint(kCaptureEndpoint, kIsoAsync, in, b).Uac1IsoEndpoint(0x01);
    StreamingAlt(c, kCaptureInterface, kAltNoEndpoints, 6, spec.captureChannels, spec);
    StreamingAlt(c, kCaptureInterface, kAltOtherDirection, 6, spec.captureChannels, spec);
    c.AudioEndpoint(0x04, kIsoAdaptive, in, b).Uac1IsoEndpoint(0x01);

    simusb::DeviceFields d;
    d.bcdUSB = spec.speed == simusb::UsbSpeed::High ? 0x0200 : 0x0110;
    d.idVendor = simusb::kSimVendorId;
    d.idProduct = 0x7A10;
    simusb::DescriptorSet set;
    set.device = simusb::BuildDeviceDescriptor(d);
    set.configuration = c.Build();
    set.strings[0] = simusb::BuildLanguageIds({0x0409});
    set.speed = spec.speed;
    return set;
}

}  // namespace streamfakes

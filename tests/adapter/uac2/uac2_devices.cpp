// Class 2.0 devices of the UAC 2.0 model tests.
#include "tests/adapter/uac2/uac2_devices.h"

namespace uac2test {

Bytes AcDescriptor(UCHAR subtype, const Bytes& rest) {
    Bytes d(3 + rest.size());
    d[0] = (uint8_t)d.size();
    d[1] = 0x24;
    d[2] = subtype;
    for (size_t i = 0; i < rest.size(); ++i) d[3 + i] = rest[i];
    return d;
}

DescriptorSet Uac2Device(const DeviceOptions& o) {
    const UCHAR kAudio = USB_DEVICE_CLASS_AUDIO;
    const UCHAR kAs = USB_AUDIO_SUBCLASS_AUDIOSTREAMING;
    const UCHAR kV2 = USB_AUDIO_PROTOCOL_2_0;
    const UCHAR kIsoAsync = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS;
    const USHORT packet = o.renderPacket != 0 ? o.renderPacket : (USHORT)(25 * o.channels * o.subslot);
    ConfigBuilder c;
    c.Configuration()
        .Interface(0, 0, kAudio, USB_AUDIO_SUBCLASS_AUDIOCONTROL, kV2)
        .Uac2Header(0x0A)
        .Uac2ClockSource(kClockId, 0x03, 0x07);
    for (const Bytes& e : o.extraEntities) c.Descriptor(Bytes(e.begin() + 1, e.end()));
    c.Uac2InputTerminal(1, simusb::UAC_TERMINAL_USB_STREAMING, o.terminalClock, o.channels, 0x3)
        .Uac2FeatureUnit(2, 1, {Pair(1, 3) | Pair(2, 3), Pair(2, 3), Pair(2, 3)})
        .Uac2OutputTerminal(3, o.outputType, 2, kClockId, o.typedOutput ? 0x0004 : 0)
        .Uac2InputTerminal(4, simusb::UAC_TERMINAL_LINE_CONNECTOR, kClockId, 2, 0x3)
        .Uac2FeatureUnit(5, 4, {Pair(1, 3) | Pair(2, 3), 0, 0})
        .Uac2OutputTerminal(6, simusb::UAC_TERMINAL_USB_STREAMING, 5, kClockId);
    for (UCHAR k = 0; k < o.extraRenderPaths; ++k)
        c.Uac2InputTerminal((UCHAR)(20 + k), simusb::UAC_TERMINAL_USB_STREAMING, kClockId, 2, 0x3)
            .Uac2OutputTerminal((UCHAR)(30 + k), simusb::UAC_TERMINAL_SPEAKER, (UCHAR)(20 + k), kClockId);
    if (o.interruptPipe) c.Endpoint(kInterruptEndpoint, USB_ENDPOINT_TYPE_INTERRUPT, 6, 4);
    if (o.bulkPipe) c.Endpoint(kBulkEndpoint, USB_ENDPOINT_TYPE_BULK, 512, 0);
    c.Interface(1, 0, kAudio, kAs, kV2)
        .Interface(1, 1, kAudio, kAs, kV2)
        .Uac2AsGeneral(1, 0x05, o.formatType, o.formats, o.channels, 0x3)
        .Descriptor({0x24, 0x02, o.formatType, o.subslot, o.bits})
        .Endpoint(0x01, kIsoAsync, packet, 1)
        .Uac2IsoEndpoint()
        .Endpoint(0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_USAGE_FEEDBACK, 4, 4);
    if (o.secondAlternate) {
        c.Interface(1, 2, kAudio, kAs, kV2)
            .Uac2AsGeneral(1, 0x05, UAC_FORMAT_TYPE_I, 0x00000001, 2, 0x3)
            .Uac2FormatTypeI(2, 16)
            .Endpoint(0x01, kIsoAsync, 100, 1)
            .Uac2IsoEndpoint()
            .Endpoint(0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_USAGE_FEEDBACK, 4, 4);
    }
    c.Interface(2, 0, kAudio, kAs, kV2)
        .Interface(2, 1, kAudio, kAs, kV2)
        .Uac2AsGeneral(6, 0x05, UAC_FORMAT_TYPE_I, 0x00000001, 2, 0x3)
        .Uac2FormatTypeI(4, 24)
        .Endpoint(0x82, kIsoAsync, 200, 1)
        .Uac2IsoEndpoint();
    for (UCHAR k = 0; k < o.extraRenderPaths; ++k)
        c.Interface((UCHAR)(3 + k), 0, kAudio, kAs, kV2)
            .Interface((UCHAR)(3 + k), 1, kAudio, kAs, kV2)
            .Uac2AsGeneral((UCHAR)(20 + k), 0x05, UAC_FORMAT_TYPE_I, 0x00000001, 2, 0x3)
            .Uac2FormatTypeI(4, 24)
            .Endpoint((UCHAR)(3 + k), kIsoAsync, 200, 1)
            .Uac2IsoEndpoint()
            .Endpoint((UCHAR)(0x83 + k + 2), USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_USAGE_FEEDBACK, 4, 4);
    simusb::DeviceFields d;
    d.bcdUSB = 0x0200;
    d.idVendor = o.vendor;
    d.idProduct = o.product;
    DescriptorSet set;
    set.device = simusb::BuildDeviceDescriptor(d);
    set.configuration = c.Build();
    set.strings[0] = simusb::BuildLanguageIds({0x0409});
    set.speed = o.speed;
    return set;
}

}  // namespace uac2test

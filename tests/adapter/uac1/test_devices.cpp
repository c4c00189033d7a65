// Devices built in code for the UAC 1.0 model tests.
#include "tests/adapter/uac1/test_devices.h"

#include "tests/adapter/uac1/model_fixture.h"

namespace uac1test {

DescriptorSet MakeSet(const Bytes& configuration, USHORT vendor, USHORT product) {
    simusb::DeviceFields fields;
    fields.idVendor = vendor;
    fields.idProduct = product;
    DescriptorSet set;
    set.device = simusb::BuildDeviceDescriptor(fields);
    set.configuration = configuration;
    set.strings[0] = simusb::BuildLanguageIds({0x0409});
    set.strings[0x50] = simusb::BuildStringDescriptor(kNeutralModelString);
    return set;
}

void SetIds(DescriptorSet* set, USHORT vendor, USHORT product) {
    set->device[8] = (uint8_t)vendor;
    set->device[9] = (uint8_t)(vendor >> 8);
    set->device[10] = (uint8_t)product;
    set->device[11] = (uint8_t)(product >> 8);
}

ConfigBuilder& AudioControl(ConfigBuilder& c, const std::vector<UCHAR>& streaming) {
    return c.Configuration()
        .Interface(0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, 0)
        .Uac1Header(streaming);
}

ConfigBuilder& Streaming(ConfigBuilder& c, UCHAR interfaceNumber, UCHAR terminalLink, bool in, UCHAR channels,
                         const std::vector<ULONG>& rates) {
    const USHORT packet = (USHORT)(channels * 2 * 49);
    return c.Interface(interfaceNumber, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0)
        .Interface(interfaceNumber, 1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0)
        .Uac1AsGeneral(terminalLink, 1, 0x0001)
        .Uac1FormatTypeI(channels, 2, 16, rates)
        .AudioEndpoint(in ? (UCHAR)(0x80 | interfaceNumber) : interfaceNumber, in ? 0x05 : 0x09, packet, 1)
        .Uac1IsoEndpoint(0x01);
}

size_t FindDescriptor(const Bytes& b, const std::function<bool(const uint8_t*)>& match, int n) {
    for (size_t at = 0; at + 2 <= b.size() && b[at] >= 2 && at + b[at] <= b.size(); at += b[at])
        if (match(&b[at]) && n-- == 0) return at;
    return SIZE_MAX;
}

size_t FindClassSpecific(const Bytes& b, UCHAR subtype, int n) {
    return FindDescriptor(b, [&](const uint8_t* d) { return d[1] == 0x24 && d[0] >= 3 && d[2] == subtype; }, n);
}

size_t FindEntity(const Bytes& b, UCHAR subtype, UCHAR id) {
    return FindDescriptor(b, [&](const uint8_t* d) { return d[1] == 0x24 && d[0] >= 4 && d[2] == subtype && d[3] == id; });
}

void FixTotalLength(Bytes* b) {
    (*b)[2] = (uint8_t)b->size();
    (*b)[3] = (uint8_t)(b->size() >> 8);
}

}  // namespace uac1test

namespace uac1test {

Bytes SimpleRender() {
    ConfigBuilder c;
    AudioControl(c, {1})
        .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
        .Uac1FeatureUnit(2, 1, 1, {0x01, 0x00, 0x00})
        .Uac1OutputTerminal(3, 0x0301, 2);
    Streaming(c, 1, 1, false);
    return c.Build();
}

Bytes Terminals16And64() {
    ConfigBuilder c;
    AudioControl(c, {1, 2})
        .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
        .Uac1OutputTerminal(16, 0x0301, 1)
        .Uac1InputTerminal(2, 0x0201, 1, 0x0000)
        .Uac1OutputTerminal(64, 0x0101, 2);
    Streaming(c, 1, 1, false);
    Streaming(c, 2, 64, true, 1);
    return c.Build();
}

}  // namespace uac1test

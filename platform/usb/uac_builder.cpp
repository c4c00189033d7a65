#include "platform/usb/uac_builder.h"

#include <algorithm>
#include <set>
#include <stdexcept>

namespace simusb {

namespace {

void Put16(Bytes& b, ULONG v) {
    b.push_back((uint8_t)v);
    b.push_back((uint8_t)(v >> 8));
}
void Put24(Bytes& b, ULONG v) {
    Put16(b, v);
    b.push_back((uint8_t)(v >> 16));
}
void Put32(Bytes& b, ULONG v) {
    Put16(b, v);
    Put16(b, v >> 16);
}

// Descriptor-by-descriptor view of finished bytes (bLength trusted: the
// builder wrote them).
template <typename Fn>
void ForEachDescriptor(const Bytes& b, Fn fn) {
    for (size_t at = 0; at + 2 <= b.size() && b[at] >= 2; at += b[at]) fn(at);
}

}  // namespace

// Sized first and then copied: GCC 12 at -O3 reports a false -Warray-bounds
// for insert() at the end of a short vector built from an initializer list.
Bytes Concat(const Bytes& head, const Bytes& tail) {
    Bytes b(head.size() + tail.size());
    std::copy(head.begin(), head.end(), b.begin());
    std::copy(tail.begin(), tail.end(), b.begin() + (ptrdiff_t)head.size());
    return b;
}

Bytes BuildDeviceDescriptor(const DeviceFields& f) {
    Bytes b{18, USB_DEVICE_DESCRIPTOR_TYPE};
    Put16(b, f.bcdUSB);
    b.insert(b.end(), {f.deviceClass, f.deviceSubClass, f.deviceProtocol, f.maxPacketSize0});
    Put16(b, f.idVendor);
    Put16(b, f.idProduct);
    Put16(b, f.bcdDevice);
    b.insert(b.end(), {f.iManufacturer, f.iProduct, f.iSerialNumber, f.numConfigurations});
    return b;
}

Bytes BuildStringDescriptor(const std::u16string& text) {
    if (text.size() > 126) throw std::invalid_argument("string descriptor above 126 units");
    Bytes b{(uint8_t)(2 + 2 * text.size()), USB_STRING_DESCRIPTOR_TYPE};
    for (char16_t c : text) Put16(b, c);
    return b;
}

Bytes BuildLanguageIds(const std::vector<USHORT>& languageIds) {
    Bytes b{(uint8_t)(2 + 2 * languageIds.size()), USB_STRING_DESCRIPTOR_TYPE};
    for (USHORT id : languageIds) Put16(b, id);
    return b;
}

ConfigBuilder& ConfigBuilder::Descriptor(const Bytes& body) {
    if (body.empty() || body.size() + 1 > 255) throw std::invalid_argument("descriptor size");
    bytes_.push_back((uint8_t)(body.size() + 1));
    bytes_.insert(bytes_.end(), body.begin(), body.end());
    return *this;
}

ConfigBuilder& ConfigBuilder::CsInterface(UCHAR subtype, const Bytes& body) {
    return Descriptor(Concat({USB_CS_INTERFACE_DESCRIPTOR_TYPE, subtype}, body));
}

ConfigBuilder& ConfigBuilder::Configuration(UCHAR value, UCHAR attributes, UCHAR maxPower,
                                            UCHAR iConfiguration) {
    // wTotalLength and bNumInterfaces are filled by Build().
    return Descriptor({USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 0, value, iConfiguration,
                       attributes, maxPower});
}

ConfigBuilder& ConfigBuilder::Association(UCHAR first, UCHAR count, UCHAR cls, UCHAR subclass,
                                          UCHAR protocol, UCHAR iFunction) {
    return Descriptor({USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE, first, count, cls, subclass,
                       protocol, iFunction});
}

ConfigBuilder& ConfigBuilder::Interface(UCHAR number, UCHAR alternate, UCHAR cls,
                                        UCHAR subclass, UCHAR protocol, UCHAR iInterface) {
    return Descriptor({USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, 0, cls, subclass,
                       protocol, iInterface});
}

ConfigBuilder& ConfigBuilder::Endpoint(UCHAR address, UCHAR attributes, USHORT maxPacketSize,
                                       UCHAR interval) {
    Bytes b{USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes};
    Put16(b, maxPacketSize);
    b.push_back(interval);
    return Descriptor(b);
}

ConfigBuilder& ConfigBuilder::AudioEndpoint(UCHAR address, UCHAR attributes,
                                            USHORT maxPacketSize, UCHAR interval, UCHAR refresh,
                                            UCHAR synchAddress) {
    Bytes b{USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes};
    Put16(b, maxPacketSize);
    b.insert(b.end(), {interval, refresh, synchAddress});
    return Descriptor(b);
}

ConfigBuilder& ConfigBuilder::HidDescriptor(USHORT reportLength) {
    Bytes b{USB_HID_DESCRIPTOR_TYPE};
    Put16(b, 0x0111);
    b.insert(b.end(), {0, 1, 0x22});
    Put16(b, reportLength);
    return Descriptor(b);
}

ConfigBuilder& ConfigBuilder::Uac1Header(const std::vector<UCHAR>& streamingInterfaces) {
    uac1Headers_[bytes_.size()] = streamingInterfaces;
    Bytes b;
    Put16(b, 0x0100);
    Put16(b, 0);  // wTotalLength, filled by Build()
    b.push_back((uint8_t)streamingInterfaces.size());
    b.insert(b.end(), streamingInterfaces.begin(), streamingInterfaces.end());
    return CsInterface(UAC_AC_HEADER, b);
}

ConfigBuilder& ConfigBuilder::Uac1InputTerminal(UCHAR id, USHORT type, UCHAR channels,
                                                USHORT channelConfig, UCHAR assocTerminal,
                                                UCHAR iTerminal) {
    Bytes b{id};
    Put16(b, type);
    b.insert(b.end(), {assocTerminal, channels});
    Put16(b, channelConfig);
    b.insert(b.end(), {0, iTerminal});
    return CsInterface(UAC_INPUT_TERMINAL, b);
}

ConfigBuilder& ConfigBuilder::Uac1OutputTerminal(UCHAR id, USHORT type, UCHAR source,
                                                 UCHAR assocTerminal, UCHAR iTerminal) {
    Bytes b{id};
    Put16(b, type);
    b.insert(b.end(), {assocTerminal, source, iTerminal});
    return CsInterface(UAC_OUTPUT_TERMINAL, b);
}

ConfigBuilder& ConfigBuilder::Uac1FeatureUnit(UCHAR id, UCHAR source, UCHAR controlSize,
                                              const std::vector<USHORT>& controls) {
    Bytes b{id, source, controlSize};
    for (USHORT c : controls) {
        b.push_back((uint8_t)c);
        if (controlSize >= 2) b.push_back((uint8_t)(c >> 8));
    }
    b.push_back(0);  // iFeature
    return CsInterface(UAC_FEATURE_UNIT, b);
}

ConfigBuilder& ConfigBuilder::SelectorUnit(UCHAR id, const std::vector<UCHAR>& sources) {
    Bytes b = Concat({id, (uint8_t)sources.size()}, sources);
    b.push_back(0);  // iSelector
    return CsInterface(UAC_SELECTOR_UNIT, b);
}

ConfigBuilder& ConfigBuilder::Uac1MixerUnit(UCHAR id, const std::vector<UCHAR>& sources,
                                            UCHAR channels, USHORT channelConfig,
                                            const Bytes& controls) {
    Bytes b = Concat({id, (uint8_t)sources.size()}, sources);
    b.push_back(channels);
    Put16(b, channelConfig);
    b.push_back(0);  // iChannelNames
    b.insert(b.end(), controls.begin(), controls.end());
    b.push_back(0);  // iMixer
    return CsInterface(UAC_MIXER_UNIT, b);
}

ConfigBuilder& ConfigBuilder::Uac1AsGeneral(UCHAR terminalLink, UCHAR delay, USHORT formatTag) {
    Bytes b{terminalLink, delay};
    Put16(b, formatTag);
    return CsInterface(UAC_AS_GENERAL, b);
}

ConfigBuilder& ConfigBuilder::Uac1FormatTypeI(UCHAR channels, UCHAR subframeSize, UCHAR bits,
                                              const std::vector<ULONG>& rates) {
    Bytes b{UAC_FORMAT_TYPE_I, channels, subframeSize, bits, (uint8_t)rates.size()};
    for (ULONG r : rates) Put24(b, r);
    return CsInterface(UAC_FORMAT_TYPE, b);
}

ConfigBuilder& ConfigBuilder::Uac1FormatTypeIContinuous(UCHAR channels, UCHAR subframeSize,
                                                        UCHAR bits, ULONG lower, ULONG upper) {
    Bytes b{UAC_FORMAT_TYPE_I, channels, subframeSize, bits, 0};
    Put24(b, lower);
    Put24(b, upper);
    return CsInterface(UAC_FORMAT_TYPE, b);
}

ConfigBuilder& ConfigBuilder::Uac1IsoEndpoint(UCHAR attributes, UCHAR lockDelayUnits,
                                              USHORT lockDelay) {
    Bytes b{USB_CS_ENDPOINT_DESCRIPTOR_TYPE, UAC_EP_GENERAL, attributes, lockDelayUnits};
    Put16(b, lockDelay);
    return Descriptor(b);
}

ConfigBuilder& ConfigBuilder::Uac2Header(UCHAR category, UCHAR controls) {
    Bytes b;
    Put16(b, 0x0200);
    b.push_back(category);
    Put16(b, 0);  // wTotalLength, filled by Build()
    b.push_back(controls);
    return CsInterface(UAC_AC_HEADER, b);
}

ConfigBuilder& ConfigBuilder::Uac2ClockSource(UCHAR id, UCHAR attributes, UCHAR controls,
                                              UCHAR assocTerminal) {
    return CsInterface(UAC2_CLOCK_SOURCE, {id, attributes, controls, assocTerminal, 0});
}

ConfigBuilder& ConfigBuilder::Uac2InputTerminal(UCHAR id, USHORT type, UCHAR clock,
                                                UCHAR channels, ULONG channelConfig,
                                                USHORT controls) {
    Bytes b{id};
    Put16(b, type);
    b.insert(b.end(), {0, clock, channels});
    Put32(b, channelConfig);
    b.push_back(0);  // iChannelNames
    Put16(b, controls);
    b.push_back(0);  // iTerminal
    return CsInterface(UAC_INPUT_TERMINAL, b);
}

ConfigBuilder& ConfigBuilder::Uac2OutputTerminal(UCHAR id, USHORT type, UCHAR source,
                                                 UCHAR clock, USHORT controls) {
    Bytes b{id};
    Put16(b, type);
    b.insert(b.end(), {0, source, clock});
    Put16(b, controls);
    b.push_back(0);  // iTerminal
    return CsInterface(UAC_OUTPUT_TERMINAL, b);
}

ConfigBuilder& ConfigBuilder::Uac2FeatureUnit(UCHAR id, UCHAR source,
                                              const std::vector<ULONG>& controls) {
    Bytes b{id, source};
    for (ULONG c : controls) Put32(b, c);
    b.push_back(0);  // iFeature
    return CsInterface(UAC_FEATURE_UNIT, b);
}

ConfigBuilder& ConfigBuilder::Uac2SelectorUnit(UCHAR id, const std::vector<UCHAR>& sources) {
    Bytes b{id, (UCHAR)sources.size()};
    b.insert(b.end(), sources.begin(), sources.end());
    b.insert(b.end(), {0, 0});  // bmControls, iSelector
    return CsInterface(UAC_SELECTOR_UNIT, b);
}

ConfigBuilder& ConfigBuilder::Uac2MixerUnit(UCHAR id, const std::vector<UCHAR>& sources, UCHAR channels,
                                            ULONG channelConfig) {
    Bytes b{id, (UCHAR)sources.size()};
    b.insert(b.end(), sources.begin(), sources.end());
    b.push_back(channels);
    Put32(b, channelConfig);
    b.insert(b.end(), {0, 0, 0, 0});  // iChannelNames, bmMixerControls (1 byte), bmControls, iMixer
    return CsInterface(UAC_MIXER_UNIT, b);
}

ConfigBuilder& ConfigBuilder::Uac2ExtensionUnit(UCHAR id, USHORT code, const std::vector<UCHAR>& sources,
                                                UCHAR channels, ULONG channelConfig) {
    Bytes b{id};
    Put16(b, code);
    b.push_back((UCHAR)sources.size());
    b.insert(b.end(), sources.begin(), sources.end());
    b.push_back(channels);
    Put32(b, channelConfig);
    b.insert(b.end(), {0, 0, 0});  // iChannelNames, bmControls, iExtension
    return CsInterface(UAC2_EXTENSION_UNIT, b);
}

ConfigBuilder& ConfigBuilder::Uac2ClockSelector(UCHAR id, const std::vector<UCHAR>& sources) {
    Bytes b{id, (UCHAR)sources.size()};
    b.insert(b.end(), sources.begin(), sources.end());
    b.insert(b.end(), {0, 0});  // bmControls, iClockSelector
    return CsInterface(UAC2_CLOCK_SELECTOR, b);
}

ConfigBuilder& ConfigBuilder::Uac2Entity(UCHAR subtype, const Bytes& body) { return CsInterface(subtype, body); }

ConfigBuilder& ConfigBuilder::Uac2AsGeneral(UCHAR terminalLink, UCHAR controls,
                                            UCHAR formatType, ULONG formats, UCHAR channels,
                                            ULONG channelConfig) {
    Bytes b{terminalLink, controls, formatType};
    Put32(b, formats);
    b.push_back(channels);
    Put32(b, channelConfig);
    b.push_back(0);  // iChannelNames
    return CsInterface(UAC_AS_GENERAL, b);
}

ConfigBuilder& ConfigBuilder::Uac2FormatTypeI(UCHAR subslotSize, UCHAR bits) {
    return CsInterface(UAC_FORMAT_TYPE, {UAC_FORMAT_TYPE_I, subslotSize, bits});
}

ConfigBuilder& ConfigBuilder::Uac2FormatTypeIII(UCHAR subslotSize, UCHAR bits) {
    return CsInterface(UAC_FORMAT_TYPE, {UAC_FORMAT_TYPE_III, subslotSize, bits});
}

ConfigBuilder& ConfigBuilder::Uac2IsoEndpoint(UCHAR attributes, UCHAR controls) {
    return Descriptor({USB_CS_ENDPOINT_DESCRIPTOR_TYPE, UAC_EP_GENERAL, attributes, controls, 0,
                       0, 0});
}

Bytes ConfigBuilder::Build() const {
    Bytes b = bytes_;
    std::set<UCHAR> interfaces;
    size_t currentInterface = SIZE_MAX;
    size_t acHeader = SIZE_MAX;
    ForEachDescriptor(b, [&](size_t at) {
        const uint8_t type = b[at + 1];
        if (type != USB_CS_INTERFACE_DESCRIPTOR_TYPE) acHeader = SIZE_MAX;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            interfaces.insert(b[at + 2]);
            currentInterface = at;
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && currentInterface != SIZE_MAX) {
            ++b[currentInterface + 4];
        } else if (type == USB_CS_INTERFACE_DESCRIPTOR_TYPE && currentInterface != SIZE_MAX &&
                   b[currentInterface + 6] == USB_AUDIO_SUBCLASS_AUDIOCONTROL) {
            if (b[at + 2] == UAC_AC_HEADER) acHeader = at;
            if (acHeader != SIZE_MAX) {
                // Header wTotalLength: header through the last class-specific
                // descriptor of the Audio Control interface. UAC 1.0 keeps it
                // at offset 5, UAC 2.0 at offset 6.
                const size_t field = acHeader + (uac1Headers_.count(acHeader) ? 5 : 6);
                const size_t total = at + b[at] - acHeader;
                b[field] = (uint8_t)total;
                b[field + 1] = (uint8_t)(total >> 8);
            }
        }
    });
    if (b.size() >= 9 && b[1] == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        b[2] = (uint8_t)b.size();
        b[3] = (uint8_t)(b.size() >> 8);
        b[4] = (uint8_t)interfaces.size();
    }
    return b;
}

namespace {

// Feature unit controls, Audio Class 1.0 bit positions (bit cs-1).
constexpr USHORT kMute1 = 1u << (UAC_FU_MUTE - 1);
constexpr USHORT kVolume1 = 1u << (UAC_FU_VOLUME - 1);
// Audio Class 2.0 control pairs (bits 2cs-2 and 2cs-1), host programmable.
constexpr ULONG kMute2 = 3u << (2 * UAC_FU_MUTE - 2);
constexpr ULONG kVolume2 = 3u << (2 * UAC_FU_VOLUME - 2);

std::map<uint8_t, Bytes> Strings(const std::u16string& product, const std::u16string& model) {
    return {{0, BuildLanguageIds({0x0409})},
            {1, BuildStringDescriptor(u"Simulated Devices")},
            {2, BuildStringDescriptor(product)},
            {3, BuildStringDescriptor(u"SIM0001")},
            {0x50, BuildStringDescriptor(model)}};
}

}  // namespace

DescriptorSet BuildUac1Headset() { return BuildUac1Headset(Uac1HeadsetOptions()); }

DescriptorSet BuildUac1Headset(const Uac1HeadsetOptions& options) {
    DeviceFields d;
    d.idVendor = kSimVendorId;
    d.idProduct = kUac1HeadsetProductId;
    d.iManufacturer = 1;
    d.iProduct = 2;
    d.iSerialNumber = 3;

    ConfigBuilder c;
    c.Configuration()
        .Interface(0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, 0)
        .Uac1Header({1, 2})
        .Uac1InputTerminal(1, UAC_TERMINAL_USB_STREAMING, 2, 0x0003)
        .Uac1FeatureUnit(2, 1, 1,
                         options.masterControls ? std::vector<USHORT>{kMute1 | kVolume1, 0, 0}
                                                : std::vector<USHORT>{kMute1, kVolume1, kVolume1})
        .Uac1OutputTerminal(3, options.outputTerminalType, 2)
        .Uac1InputTerminal(4, options.inputTerminalType, 1, 0x0000)
        .Uac1FeatureUnit(5, 4, 1, {kMute1 | kVolume1, 0})
        .Uac1OutputTerminal(6, UAC_TERMINAL_USB_STREAMING, 5)
        .AudioEndpoint(0x83, USB_ENDPOINT_TYPE_INTERRUPT, 2, 32)
        // Playback: 16-bit stereo; 49 frames of 4 bytes fit 44.1 and 48 kHz.
        .Interface(1, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0)
        .Interface(1, 1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0)
        .Uac1AsGeneral(1, 1, 0x0001)
        .Uac1FormatTypeI(2, 2, 16, {48000, 44100})
        .AudioEndpoint(0x01, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ADAPTIVE, 196, 1)
        .Uac1IsoEndpoint(0x01)  // sampling frequency control
        // Capture: 16-bit mono.
        .Interface(2, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0)
        .Interface(2, 1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0)
        .Uac1AsGeneral(6, 1, 0x0001)
        .Uac1FormatTypeI(1, 2, 16, {48000, 44100})
        .AudioEndpoint(0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS, 98,
                       1)
        .Uac1IsoEndpoint(0x01);

    DescriptorSet set;
    set.device = BuildDeviceDescriptor(d);
    set.configuration = c.Build();
    set.strings = Strings(u"Simulated USB Headset", u"SIMHS1");
    set.speed = UsbSpeed::Full;
    return set;
}

DescriptorSet BuildUac2AsyncDevice() {
    DeviceFields d;
    d.bcdUSB = 0x0200;
    d.deviceClass = USB_DEVICE_CLASS_MISCELLANEOUS;
    d.deviceSubClass = 0x02;
    d.deviceProtocol = 0x01;  // interface association descriptors
    d.idVendor = kSimVendorId;
    d.idProduct = kUac2DeviceProductId;
    d.iManufacturer = 1;
    d.iProduct = 2;
    d.iSerialNumber = 3;

    const UCHAR kAudio = USB_DEVICE_CLASS_AUDIO;
    const UCHAR kAs = USB_AUDIO_SUBCLASS_AUDIOSTREAMING;
    const UCHAR kV2 = USB_AUDIO_PROTOCOL_2_0;
    const UCHAR kIsoAsync = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS;
    // 192 kHz at 8000 packets per second: 24 frames, 25 with the slack of
    // an asynchronous stream; 8 bytes per frame (2 x 32-bit slots).
    const USHORT kPacket = 25 * 8;
    ConfigBuilder c;
    c.Configuration(1, USB_CONFIG_BUS_POWERED, 100)
        .Association(0, 3, kAudio, 0x00, kV2)
        .Interface(0, 0, kAudio, USB_AUDIO_SUBCLASS_AUDIOCONTROL, kV2)
        .Uac2Header(0x0A)
        .Uac2ClockSource(10, 0x03, 0x07)  // internal programmable; frequency r/w, validity r
        .Uac2InputTerminal(1, UAC_TERMINAL_USB_STREAMING, 10, 2, 0x3)
        .Uac2FeatureUnit(2, 1, {kMute2 | kVolume2, kVolume2, kVolume2})
        .Uac2OutputTerminal(3, UAC_TERMINAL_HEADPHONES, 2, 10)
        .Uac2InputTerminal(4, UAC_TERMINAL_LINE_CONNECTOR, 10, 2, 0x3)
        .Uac2FeatureUnit(5, 4, {kMute2 | kVolume2, 0, 0})
        .Uac2OutputTerminal(6, UAC_TERMINAL_USB_STREAMING, 5, 10)
        .Endpoint(0x83, USB_ENDPOINT_TYPE_INTERRUPT, 6, 4)
        .Interface(1, 0, kAudio, kAs, kV2)
        .Interface(1, 1, kAudio, kAs, kV2)
        .Uac2AsGeneral(1, 0x05, UAC_FORMAT_TYPE_I, 0x00000001, 2, 0x3)
        .Uac2FormatTypeI(4, 24)
        .Endpoint(0x01, kIsoAsync, kPacket, 1)
        .Uac2IsoEndpoint()
        .Endpoint(0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_USAGE_FEEDBACK, 4, 4)
        .Interface(1, 2, kAudio, kAs, kV2)
        .Uac2AsGeneral(1, 0x05, UAC_FORMAT_TYPE_I, 0x00000001, 2, 0x3)
        .Uac2FormatTypeI(2, 16)
        .Endpoint(0x01, kIsoAsync, kPacket / 2, 1)
        .Uac2IsoEndpoint()
        .Endpoint(0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_USAGE_FEEDBACK, 4, 4)
        .Interface(2, 0, kAudio, kAs, kV2)
        .Interface(2, 1, kAudio, kAs, kV2)
        .Uac2AsGeneral(6, 0x05, UAC_FORMAT_TYPE_I, 0x00000001, 2, 0x3)
        .Uac2FormatTypeI(4, 24)
        .Endpoint(0x82, kIsoAsync, kPacket, 1)
        .Uac2IsoEndpoint();

    DescriptorSet set;
    set.device = BuildDeviceDescriptor(d);
    set.configuration = c.Build();
    set.strings = Strings(u"Simulated USB Audio 2.0 Device", u"SIMA2");
    set.speed = UsbSpeed::High;
    return set;
}

}  // namespace simusb

// Builds USB Audio Class 1.0 and 2.0 descriptor sets in code for the
// simulated devices. Every bLength, the configuration's wTotalLength and
// bNumInterfaces, each interface's bNumEndpoints and each Audio Control
// header's wTotalLength are computed by Build(); the bytes it returns are
// plain vectors that tests may alter afterwards to make a device lie.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "usb/usb_defs.h"

namespace simusb {

using Bytes = std::vector<uint8_t>;

enum class UsbSpeed { Full, High };

// One subrange of an Audio Class 2.0 clock source's RANGE answer, in Hz.
struct ClockSubrange {
    uint32_t minimum = 0, maximum = 0, resolution = 0;

    bool operator==(const ClockSubrange& o) const {
        return minimum == o.minimum && maximum == o.maximum && resolution == o.resolution;
    }
};

// Everything a device answers to GET_DESCRIPTOR, plus the bus speed.
// strings maps a string index to its whole descriptor (bLength, type 3,
// UTF-16LE); index 0 holds the language IDs. configuration2, when not
// empty, is the second configuration (descriptor index 1). clocks gives
// the RANGE answer of Audio Class 2.0 clock sources of the first
// configuration by bClockID (absent ones keep the device's default rates).
struct DescriptorSet {
    Bytes device;
    Bytes configuration;
    Bytes configuration2;
    std::map<uint8_t, Bytes> strings;
    std::map<uint8_t, std::vector<ClockSubrange>> clocks;
    UsbSpeed speed = UsbSpeed::Full;

    bool operator==(const DescriptorSet& o) const {
        return device == o.device && configuration == o.configuration &&
               configuration2 == o.configuration2 && strings == o.strings &&
               clocks == o.clocks && speed == o.speed;
    }
};

struct DeviceFields {
    USHORT bcdUSB = 0x0110;
    UCHAR deviceClass = 0, deviceSubClass = 0, deviceProtocol = 0;
    UCHAR maxPacketSize0 = 64;
    USHORT idVendor = 0, idProduct = 0, bcdDevice = 0x0100;
    UCHAR iManufacturer = 0, iProduct = 0, iSerialNumber = 0;
    UCHAR numConfigurations = 1;
};

// head followed by tail, in one vector sized up front.
Bytes Concat(const Bytes& head, const Bytes& tail);

Bytes BuildDeviceDescriptor(const DeviceFields& fields);
// UTF-16LE string descriptor; text of at most 126 code units.
Bytes BuildStringDescriptor(const std::u16string& text);
Bytes BuildLanguageIds(const std::vector<USHORT>& languageIds);

class ConfigBuilder {
public:
    // Standard descriptors.
    ConfigBuilder& Configuration(UCHAR value = 1, UCHAR attributes = USB_CONFIG_BUS_POWERED,
                                 UCHAR maxPower = 50, UCHAR iConfiguration = 0);
    ConfigBuilder& Association(UCHAR firstInterface, UCHAR count, UCHAR cls, UCHAR subclass,
                               UCHAR protocol, UCHAR iFunction = 0);
    ConfigBuilder& Interface(UCHAR number, UCHAR alternate, UCHAR cls, UCHAR subclass,
                             UCHAR protocol, UCHAR iInterface = 0);
    ConfigBuilder& Endpoint(UCHAR address, UCHAR attributes, USHORT maxPacketSize,
                            UCHAR interval);
    // Audio Class 1.0 endpoints carry bRefresh and bSynchAddress (9 bytes).
    ConfigBuilder& AudioEndpoint(UCHAR address, UCHAR attributes, USHORT maxPacketSize,
                                 UCHAR interval, UCHAR refresh = 0, UCHAR synchAddress = 0);
    // Any descriptor: bLength is prepended, body starts with bDescriptorType.
    ConfigBuilder& Descriptor(const Bytes& body);
    ConfigBuilder& HidDescriptor(USHORT reportLength);

    // Audio Class 1.0, Audio Control.
    ConfigBuilder& Uac1Header(const std::vector<UCHAR>& streamingInterfaces);
    ConfigBuilder& Uac1InputTerminal(UCHAR id, USHORT type, UCHAR channels, USHORT channelConfig,
                                     UCHAR assocTerminal = 0, UCHAR iTerminal = 0);
    ConfigBuilder& Uac1OutputTerminal(UCHAR id, USHORT type, UCHAR source,
                                      UCHAR assocTerminal = 0, UCHAR iTerminal = 0);
    // controls[0] is the master channel; controlSize 1 or 2 bytes per entry.
    ConfigBuilder& Uac1FeatureUnit(UCHAR id, UCHAR source, UCHAR controlSize,
                                   const std::vector<USHORT>& controls);
    ConfigBuilder& SelectorUnit(UCHAR id, const std::vector<UCHAR>& sources);
    ConfigBuilder& Uac1MixerUnit(UCHAR id, const std::vector<UCHAR>& sources, UCHAR channels,
                                 USHORT channelConfig, const Bytes& controls);
    // Audio Class 1.0, Audio Streaming.
    ConfigBuilder& Uac1AsGeneral(UCHAR terminalLink, UCHAR delay, USHORT formatTag);
    ConfigBuilder& Uac1FormatTypeI(UCHAR channels, UCHAR subframeSize, UCHAR bits,
                                   const std::vector<ULONG>& rates);
    ConfigBuilder& Uac1FormatTypeIContinuous(UCHAR channels, UCHAR subframeSize, UCHAR bits,
                                             ULONG lower, ULONG upper);
    ConfigBuilder& Uac1IsoEndpoint(UCHAR attributes, UCHAR lockDelayUnits = 0,
                                   USHORT lockDelay = 0);

    // Audio Class 2.0, Audio Control.
    ConfigBuilder& Uac2Header(UCHAR category, UCHAR controls = 0);
    ConfigBuilder& Uac2ClockSource(UCHAR id, UCHAR attributes, UCHAR controls,
                                   UCHAR assocTerminal = 0);
    ConfigBuilder& Uac2InputTerminal(UCHAR id, USHORT type, UCHAR clock, UCHAR channels,
                                     ULONG channelConfig, USHORT controls = 0);
    ConfigBuilder& Uac2OutputTerminal(UCHAR id, USHORT type, UCHAR source, UCHAR clock,
                                      USHORT controls = 0);
    // controls[0] is the master channel, 4 bytes per entry.
    ConfigBuilder& Uac2FeatureUnit(UCHAR id, UCHAR source, const std::vector<ULONG>& controls);
    ConfigBuilder& Uac2SelectorUnit(UCHAR id, const std::vector<UCHAR>& sources);
    ConfigBuilder& Uac2MixerUnit(UCHAR id, const std::vector<UCHAR>& sources, UCHAR channels,
                                 ULONG channelConfig);
    ConfigBuilder& Uac2ExtensionUnit(UCHAR id, USHORT code, const std::vector<UCHAR>& sources,
                                     UCHAR channels, ULONG channelConfig);
    ConfigBuilder& Uac2ClockSelector(UCHAR id, const std::vector<UCHAR>& sources);
    // Any other class-specific Audio Control descriptor (an effect or
    // processing unit, say): subtype and the bytes after it.
    ConfigBuilder& Uac2Entity(UCHAR subtype, const Bytes& body);
    // Audio Class 2.0, Audio Streaming.
    ConfigBuilder& Uac2AsGeneral(UCHAR terminalLink, UCHAR controls, UCHAR formatType,
                                 ULONG formats, UCHAR channels, ULONG channelConfig);
    ConfigBuilder& Uac2FormatTypeI(UCHAR subslotSize, UCHAR bits);
    ConfigBuilder& Uac2FormatTypeIII(UCHAR subslotSize, UCHAR bits);
    ConfigBuilder& Uac2IsoEndpoint(UCHAR attributes = 0, UCHAR controls = 0);

    // The configuration bytes with every computed field filled in.
    Bytes Build() const;

private:
    ConfigBuilder& CsInterface(UCHAR subtype, const Bytes& body);
    Bytes bytes_;
    std::map<size_t, std::vector<UCHAR>> uac1Headers_;  // offset -> interface collection
};

// Terminal types used by the built-in devices.
enum : USHORT {
    UAC_TERMINAL_USB_STREAMING = 0x0101,
    UAC_TERMINAL_MICROPHONE = 0x0201,
    UAC_TERMINAL_SPEAKER = 0x0301,
    UAC_TERMINAL_HEADPHONES = 0x0302,
    UAC_TERMINAL_HEADSET = 0x0402,
    UAC_TERMINAL_LINE_CONNECTOR = 0x0603,
};

// Built-in devices.
//
// UAC 1.0 full-speed headset: interface 0 Audio Control (input terminal 1
// USB streaming -> feature unit 2 [mute master, volume L/R] -> output
// terminal 3 headphones; input terminal 4 microphone -> feature unit 5
// [mute, volume] -> output terminal 6 USB streaming; interrupt IN 0x83 of
// 2 bytes), interface 1 playback (alt 1: 16-bit stereo, 48000/44100 Hz,
// adaptive OUT 0x01), interface 2 capture (alt 1: 16-bit mono, 48000/44100
// Hz, asynchronous IN 0x82). String 0x50 names a model the driver treats
// as the generic UAC 1.0 family.
//
// Options change the terminal types and move the playback volume and mute
// to the master channel (bmaControls(0) of feature unit 2, which covers
// every channel); the defaults give the layout above.
struct Uac1HeadsetOptions {
    USHORT outputTerminalType = 0x0302;  // terminal 3
    USHORT inputTerminalType = 0x0201;   // terminal 4
    bool masterControls = false;
};
DescriptorSet BuildUac1Headset();
DescriptorSet BuildUac1Headset(const Uac1HeadsetOptions& options);

// UAC 2.0 high-speed asynchronous device: clock source 10 (44.1 to 192
// kHz), input terminal 1 USB streaming -> feature unit 2 -> output terminal
// 3 headphones; input terminal 4 line in -> feature unit 5 -> output
// terminal 6 USB streaming; interrupt IN 0x83 of 6 bytes; interface 1
// playback (alt 1 24-bit, alt 2 16-bit; asynchronous OUT 0x01 with a 4-byte
// feedback IN 0x81 of bInterval 4), interface 2 capture (alt 1 24-bit,
// asynchronous IN 0x82).
DescriptorSet BuildUac2AsyncDevice();

inline constexpr USHORT kSimVendorId = 0x1209;
inline constexpr USHORT kUac1HeadsetProductId = 0x7A01;
inline constexpr USHORT kUac2DeviceProductId = 0x7A02;
inline constexpr ULONG kUac2ClockRates[] = {44100, 48000, 88200, 96000, 176400, 192000};

}  // namespace simusb

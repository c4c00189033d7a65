// Class 2.0 devices built in code for the UAC 2.0 model tests, and the
// pieces they are made of.
#pragma once

#include <vector>

#include "platform/usb/uac_builder.h"

namespace uac2test {

using simusb::Bytes;
using simusb::ConfigBuilder;
using simusb::DescriptorSet;

inline constexpr USHORT kVendor = 0x1209;
inline constexpr USHORT kProduct = 0x7A26;
inline constexpr UCHAR kInterruptEndpoint = 0x83;
inline constexpr UCHAR kBulkEndpoint = 0x84;
inline constexpr UCHAR kClockId = 10;

// A control pair of a class 2.0 feature unit entry.
constexpr ULONG Pair(ULONG cs, ULONG bits) { return bits << (2 * cs - 2); }

struct DeviceOptions {
    bool interruptPipe = true;
    bool bulkPipe = false;
    // Render interface 1 alternate 1: AS_GENERAL and FORMAT_TYPE.
    UCHAR formatType = 1;
    ULONG formats = 0x00000001;
    UCHAR channels = 2;
    UCHAR subslot = 4;
    UCHAR bits = 24;
    // Alternate 1's wMaxPacketSize; 0: 25 frames of the format.
    USHORT renderPacket = 0;
    simusb::UsbSpeed speed = simusb::UsbSpeed::High;
    // A second alternate setting of 16-bit PCM.
    bool secondAlternate = false;
    // Entities inserted in the Audio Control interface after the clock.
    std::vector<Bytes> extraEntities;
    // The terminals' clock link.
    UCHAR terminalClock = kClockId;
    USHORT vendor = kVendor, product = kProduct;
    // Output terminal 3 with its connector control (the device can then
    // list several types behind it, and must list each type's jacks).
    bool typedOutput = false;
    // Output terminal 3's type (headphone endpoints offer only their
    // 2-channel formats).
    USHORT outputType = simusb::UAC_TERMINAL_HEADPHONES;
    // Further render paths IT 20 + k USB streaming -> OT 30 + k speaker,
    // streamed by interface 3 + k.
    UCHAR extraRenderPaths = 0;
};

// Audio Control interface 0: clock 10; IT 1 USB streaming -> FU 2 [mute
// and volume on the master, volume on 1 and 2] -> OT 3 headphones; IT 4
// line connector -> FU 5 [mute, volume] ->
// OT 6 USB streaming; interrupt IN 0x83 of 6 bytes, bulk IN 0x84.
// Interface 1 renders (asynchronous OUT 0x01 with feedback IN 0x81),
// interface 2 captures (asynchronous IN 0x82). High speed unless the
// options say otherwise.
DescriptorSet Uac2Device(const DeviceOptions& options = DeviceOptions());

// A class-specific Audio Control descriptor: subtype, then its bytes.
Bytes AcDescriptor(UCHAR subtype, const Bytes& rest);

}  // namespace uac2test

// Simulated USB Audio Class 1.0 devices for the stream tests, built in
// code: a speaker (interface 1) and a microphone (interface 2) at full or
// high speed with a chosen bInterval, plus alternate settings the streams
// must refuse:
//   interface 1: alt 1 the speaker's PCM (OUT 0x01), alt 2 no endpoints,
//                alt 3 only an IN endpoint, alt 4 an explicit-feedback IN
//                endpoint listed before the OUT data endpoint;
//   interface 2: alt 1 the microphone's PCM (IN 0x82), alt 2 no endpoints,
//                alt 3 only an OUT endpoint.
#pragma once

#include <vector>

#include "platform/usb/uac_builder.h"

namespace streamfakes {

struct Uac1DeviceSpec {
    simusb::UsbSpeed speed = simusb::UsbSpeed::Full;
    UCHAR interval = 1;  // bInterval of the data endpoints
    UCHAR renderChannels = 2;
    UCHAR captureChannels = 1;
    UCHAR subframeBytes = 2;
    UCHAR bits = 16;
    std::vector<ULONG> rates = {48000, 44100};
    // wMaxPacketSize of the data endpoints; 0 computes room for one
    // sample frame more than the highest rate needs per packet.
    USHORT outMaxPacket = 0;
    USHORT inMaxPacket = 0;
};

simusb::DescriptorSet BuildUac1Device(const Uac1DeviceSpec& spec);

inline constexpr UCHAR kRenderInterface = 1;
inline constexpr UCHAR kCaptureInterface = 2;
inline constexpr UCHAR kRenderEndpoint = 0x01;
inline constexpr UCHAR kCaptureEndpoint = 0x82;
inline constexpr UCHAR kAltStreaming = 1, kAltNoEndpoints = 2, kAltOtherDirection = 3, kAltFeedbackFirst = 4;

}  // namespace streamfakes

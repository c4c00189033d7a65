// The simulated device of the host program. The built-in one is the UAC
// 1.0 headset of the stand-in with headset terminals both ways (so its
// wave filters are "HeadSetOut00Wave" and "HeadSetIn00Wave"), volume and
// mute on the playback master channel (-60 to 0 dB in 1 dB steps), one
// presence-detecting jack on each headset terminal, plugged in, and a
// microphone that sends a 440 Hz tone at -12 dBFS or the samples of a WAV
// file. Its source keeps no log of what it sent (a run would hold all of
// it); a test that compares turns the log on.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/usb/uac_builder.h"
#include "portcls/portcls_types.h"
#include "platform/usb/usb_port.h"

namespace host {

// Endpoints and terminals of the built-in headset.
inline constexpr UCHAR kHeadsetOutEndpoint = 0x01;
inline constexpr UCHAR kHeadsetInEndpoint = 0x82;
inline constexpr UCHAR kHeadsetOutputTerminal = 3;
inline constexpr UCHAR kHeadsetInputTerminal = 4;
inline constexpr UCHAR kHeadsetPlaybackUnit = 2;
// The microphone's default tone.
inline constexpr double kMicToneHz = 440.0;
inline constexpr double kMicToneDbfs = -12.0;

// A microphone's WAV file: frames of 32-bit left-aligned samples, at the
// file's rate.
struct MicSamples {
    USHORT channels = 0;
    ULONG rate = 0;
    std::vector<int32_t> samples;
    uint64_t Frames() const { return channels ? samples.size() / channels : 0; }
};
// Largest microphone file (its samples are held in memory).
constexpr size_t kMaxMicSamples = size_t(1) << 28;
bool ReadMicSamples(const std::string& path, MicSamples* mic, std::string* error);

// A source generator sending mic's channel (or its channel 0 where it has
// fewer), scaled to the stream's container; silence past its end.
// Nothing converts the file: MicMismatch says what a stream cannot take.
simusb::SampleGenerator MicGenerator(std::shared_ptr<const MicSamples> mic);

// Why mic cannot feed a capture stream of format (its rate differs; its
// channel count differs and it is not mono, whose one channel feeds every
// channel of the stream), naming the file; empty when it can.
std::string MicMismatch(const MicSamples& mic, const std::string& path, const WAVEFORMATEXTENSIBLE& format);

simusb::DescriptorSet HostHeadset();

// Jacks and microphone samples (mic: a WAV's, or NULL for the tone) on a
// device made from HostHeadset().
void PrepareHeadset(simusb::SimDevice& device, std::shared_ptr<const MicSamples> mic);

// Plugs or unplugs the jack of the playback (render) or microphone
// terminal and sends the status interrupt that makes the driver look.
void SetHeadsetJack(simusb::SimDevice& device, bool render, bool plugged);

// Sample of a sine at frequency and level (dBFS, peak), frame n at rate,
// rounded to nearest for the format's container.
LONG ToneSample(double hz, double dbfs, uint64_t frame, ULONG rate, const simusb::StreamFormat& format);

}  // namespace host

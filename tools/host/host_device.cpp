// The host program's built-in headset (see host_device.h).
#include "tools/host/host_device.h"

#include <cmath>
#include <cstring>
#include <memory>

namespace host {

namespace {

// One jack per terminal on both channels, without the bits that would say
// it cannot detect presence: its state follows the connection mask.
constexpr ULONG kJackChannels = 0x3;

// A WAV's channel 0 (or the matching channel), frame n, scaled to the
// stream's container; silence past its end.
LONG WavSample(const WavAudio& wav, uint64_t frame, UCHAR channel, const simusb::StreamFormat& format) {
    if (frame >= wav.Frames()) return 0;
    const UCHAR source = channel < wav.channels ? channel : 0;
    const ULONG bytes = wav.bitsPerSample / 8;
    const uint8_t* p = wav.data.data() + frame * wav.BlockAlign() + (size_t)source * bytes;
    int32_t v = 0;
    for (ULONG i = 0; i < bytes; i++) v |= (int32_t)p[i] << (8 * i);
    if (bytes == 1) v -= 0x80;  // 8-bit PCM is unsigned
    const int shift = 32 - 8 * (int)bytes;
    v = (int32_t)((uint32_t)v << shift) >> shift;  // sign-extend
    const int target = 8 * format.subframeSize;
    const int have = 8 * (int)bytes;
    return target >= have ? (LONG)((uint32_t)v << (target - have)) : (LONG)(v >> (have - target));
}

}  // namespace

simusb::DescriptorSet HostHeadset() {
    simusb::Uac1HeadsetOptions options;
    options.outputTerminalType = simusb::UAC_TERMINAL_HEADSET;
    options.inputTerminalType = simusb::UAC_TERMINAL_HEADSET;
    options.masterControls = true;
    return simusb::BuildUac1Headset(options);
}

LONG ToneSample(double hz, double dbfs, uint64_t frame, ULONG rate, const simusb::StreamFormat& format) {
    if (rate == 0) return 0;
    const double full = std::ldexp(1.0, 8 * format.subframeSize - 1) - 1;
    const double amplitude = std::pow(10.0, dbfs / 20.0) * full;
    const double phase = 2.0 * M_PI * hz * (double)(frame % ((uint64_t)rate * 1000)) / (double)rate;
    return (LONG)std::lround(amplitude * std::sin(phase));
}

void PrepareHeadset(simusb::SimDevice& device, const WavAudio* mic) {
    {
        auto lock = device.lock();
        for (UCHAR terminal : {kHeadsetOutputTerminal, kHeadsetInputTerminal}) {
            device.model().SetJacks(terminal, {{kJackChannels, 0}});
            device.model().SetConnectedMask(terminal, kJackChannels);
        }
    }
    simusb::SampleGenerator generator;
    if (mic != nullptr) {
        auto wav = std::make_shared<WavAudio>(*mic);
        generator = [wav](uint64_t frame, UCHAR channel, const simusb::StreamFormat& format, ULONG) {
            return WavSample(*wav, frame, channel, format);
        };
    } else {
        // The tone's phase follows the device's own frame count at the
        // rate of the running stream.
        generator = [](uint64_t frame, UCHAR, const simusb::StreamFormat& format, ULONG rate) {
            return ToneSample(kMicToneHz, kMicToneDbfs, frame, rate, format);
        };
    }
    device.SetSourceGenerator(kHeadsetInEndpoint, generator);
    device.SetSourceRecording(kHeadsetInEndpoint, true);
    auto lock = device.lock();
    if (simusb::AudioSink* sink = device.Sink(kHeadsetOutEndpoint)) sink->SetRecording(true);
}

void SetHeadsetJack(simusb::SimDevice& device, bool render, bool plugged) {
    const UCHAR terminal = render ? kHeadsetOutputTerminal : kHeadsetInputTerminal;
    {
        auto lock = device.lock();
        device.model().SetConnectedMask(terminal, plugged ? kJackChannels : 0);
    }
    device.QueueUac1Status(terminal);
}

}  // namespace host
